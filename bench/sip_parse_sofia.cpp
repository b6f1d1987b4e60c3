// Parsing speed of our SIP parser against sofia-sip's on the same messages,
// in one run; the throughput ratios (sofia's time over ours, from the
// medians, by CPU time and by real time) are printed at the end.
//
//   sip:      the five messages of a fax call (bench/sip_parse_corpus.h);
//             the bodies are framed and kept as text on both sides;
//   sip_sdp:  the INVITE and the 200 OK of that corpus, each parsed and its
//             T.38 SDP body parsed too.
//
// Ours: the text is copied into a receive buffer, parsed as one datagram and
// the work area released (what the receive loop does per datagram); the SDP
// body goes through sdp_parse into a description.  Sofia: msg_make (copy into
// a message buffer, then every header parsed), sdp_parse of the payload,
// then the message and the SDP parser freed.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "bench/ratio_reporter.h"
#include "bench/sip_parse_corpus.h"
#include "sip/text/sdp.h"
#include "sip/text/sip_parse.h"
#include "tests/sip/text/support/sdp_store.h"

#ifdef KV_HAVE_SOFIA
#include <sofia-sip/msg.h>
#include <sofia-sip/sdp.h>
#include <sofia-sip/sip.h>
#include <sofia-sip/sip_header.h>
#include <sofia-sip/su_alloc.h>
#endif

namespace {

std::vector<std::string> sip_set() { return sip_bench::corpus(); }

// The messages of the corpus that carry SDP.
std::vector<std::string> sdp_set() {
  std::vector<std::string> all = sip_bench::corpus();
  std::vector<std::string> out;
  out.reserve(all.size());
  for (auto& m : all)
    if (m.find("\r\n\r\nv=0") != std::string::npos) out.push_back(m);
  return out;
}

// One message through our parser; false when it is not parsed whole.
bool parse_ours(const std::string& text, std::vector<char>& buf, sdp_store* sdp) {
  std::memcpy(buf.data(), text.data(), text.size());
  sip_parser parser;
  sip_parse__start(parser, buf.data(), text.size());
  if (sip_parse_message(parser, 1) != SIP_PARSE_DONE) return false;
  bool ok = true;
  if (sdp != nullptr) {
    const sip_str& body = sip_hdr_area.body[0].text;
    sdp->work.size = 0;
    const char* p = body.ptr;
    ok = sip_hdr_area.count[static_cast<unsigned>(sip_header_id::body)] == 1 &&
         sdp_parse(&p, body.ptr + body.len, &sdp->desc, &sdp->work, 0) == SDP_PARSE_END;
  }
  benchmark::DoNotOptimize(sip_hdr_area.count);
  sip_work__release();
  return ok;
}

void run_ours(benchmark::State& state, const std::vector<std::string>& messages, bool with_sdp) {
  std::vector<char> buf(4096);
  sdp_store sdp;
  std::int64_t bytes = 0;
  for (auto _ : state) {
    for (const auto& text : messages) {
      if (!parse_ours(text, buf, with_sdp ? &sdp : nullptr)) {
        state.SkipWithError("message not parsed");
        return;
      }
      bytes += static_cast<std::int64_t>(text.size());
    }
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * messages.size()));
  state.SetBytesProcessed(bytes);
}

void BM_Ours_sip(benchmark::State& state) { run_ours(state, sip_set(), false); }
void BM_Ours_sip_sdp(benchmark::State& state) { run_ours(state, sdp_set(), true); }
BENCHMARK(BM_Ours_sip);
BENCHMARK(BM_Ours_sip_sdp);

#ifdef KV_HAVE_SOFIA
bool parse_sofia(const std::string& text, bool with_sdp) {
  msg_t* msg = msg_make(sip_default_mclass(), 0, text.data(), static_cast<ssize_t>(text.size()));
  if (msg == nullptr) return false;
  sip_t* sip = sip_object(msg);
  bool ok = sip != nullptr && (sip->sip_request != nullptr || sip->sip_status != nullptr) && sip->sip_error == nullptr;
  if (ok && with_sdp) {
    ok = sip->sip_payload != nullptr;
    if (ok) {
      sdp_parser_t* p = sdp_parse(nullptr, sip->sip_payload->pl_data, static_cast<int>(sip->sip_payload->pl_len), 0);
      ok = sdp_session(p) != nullptr;
      benchmark::DoNotOptimize(p);
      sdp_parser_free(p);
    }
  }
  benchmark::DoNotOptimize(sip);
  msg_destroy(msg);
  return ok;
}

void run_sofia(benchmark::State& state, const std::vector<std::string>& messages, bool with_sdp) {
  std::int64_t bytes = 0;
  for (auto _ : state) {
    for (const auto& text : messages) {
      if (!parse_sofia(text, with_sdp)) {
        state.SkipWithError("message not parsed by sofia-sip");
        return;
      }
      bytes += static_cast<std::int64_t>(text.size());
    }
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * messages.size()));
  state.SetBytesProcessed(bytes);
}

void BM_Sofia_sip(benchmark::State& state) { run_sofia(state, sip_set(), false); }
void BM_Sofia_sip_sdp(benchmark::State& state) { run_sofia(state, sdp_set(), true); }
BENCHMARK(BM_Sofia_sip);
BENCHMARK(BM_Sofia_sip_sdp);
#endif

}  // namespace

int main(int argc, char** argv) {
  kv_bench::initialize_with_medians(argc, argv);
  kv_bench::ratio_reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
#ifdef KV_HAVE_SOFIA
  for (const char* set : {"sip", "sip_sdp"}) {
    const std::string n(set);
    const double r = reporter.ratio("BM_Ours_" + n, "BM_Sofia_" + n);
    const double c = reporter.cpu_ratio("BM_Ours_" + n, "BM_Sofia_" + n);
    if (r > 0 && c > 0)
      (void)std::printf("throughput %-8s ours / sofia-sip: %.2f by CPU time, %.2f by real time (goal at least 2)\n",
                        set, 1.0 / c, 1.0 / r);
  }
#else
  (void)std::printf("sofia-sip not found: no reference figures (bash tools/deps.sh test installs it)\n");
#endif
  return 0;
}
