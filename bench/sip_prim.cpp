// SIP primitive codec speed over the parser benchmark's corpus: per message,
// parsing it, building its upward primitive body from the parsed work area,
// and decoding that body back into the work area.  Items are messages (or
// primitives); compare the build and decode rates with the parse rate of the
// same message.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "bench/sip_parse_corpus.h"
#include "runtime/entity.h"
#include "runtime/msg.h"
#include "runtime/om_os.h"
#include "sip/text/sdp.h"
#include "sip/prim/sip_elem.h"
#include "sip/text/sip_parse.h"
#include "tests/sip/support/quiet_runtime.h"

namespace {

void start_runtime() { sip_rt::start_once(); }

const std::vector<std::string>& messages() {
  static const std::vector<std::string> m = sip_bench::corpus();
  return m;
}

// One parsed message, held in place so that the work area may point into it.
struct parsed {
  std::vector<char> text;
  std::vector<std::uint8_t> sdp_work = std::vector<std::uint8_t>(4096);
  sip_msg_kind kind{};
  const sip_kind_index_entry* entry = nullptr;
  bool ok = false;

  explicit parsed(const std::string& t) : text(t.begin(), t.end()) {
    sip_work__release();
    sip_parser parser;
    sip_parse__start(parser, text.data(), text.size());
    if (sip_parse_message(parser, 1) != SIP_PARSE_DONE) return;
    const std::uint8_t m = sip_hdr_area.method;
    const bool response = m == SIP_METHOD_RESPONSE;
    const unsigned number = response ? sip_hdr_area.cseq.method - 0xC0u : m - 0xE0u;
    if (!sip_kind__of_method(number, response, &kind)) return;
    entry = response ? &sip_kind_index_rs[number] : &sip_kind_index_rq[number];
    load_sdp();
    ok = true;
  }

  // The SDP body into the SDP elements, as the transaction entity does.
  void load_sdp() {
    sip_prim_area = sip_prim_area_t{};
    if (sip_hdr_area.count[sip_hdr_slot(sip_header_id::body)] == 0) return;
    sdp_desc d;
    d.session = &sip_prim_area.session;
    d.av = sip_prim_area.av;
    d.rtpmap = sip_prim_area.rtpmap;
    d.other = sip_prim_area.other;
    d.origin = &sip_prim_area.origin;
    d.image = sip_prim_area.image;
    sdp_work_buf w{sdp_work.data(), 0, static_cast<std::uint16_t>(sdp_work.size())};
    const sip_str body = sip_hdr_area.body[0].text;
    const char* pos = body.ptr;
    if (sdp_parse(&pos, body.ptr + body.len, &d, &w, 0) == SDP_PARSE_REFUSED) return;
    sip_hdr_area.count[63] = 1;
    sip_hdr_area.count[64] = d.av_count;
    sip_hdr_area.count[65] = d.rtpmap_count;
    sip_hdr_area.count[66] = d.other_count;
    sip_hdr_area.count[67] = d.origin_present;
    sip_hdr_area.count[83] = d.image_count;
  }
};

void BM_Parse(benchmark::State& state) {
  const std::string& t = messages()[static_cast<std::size_t>(state.range(0))];
  std::vector<char> buf(t.size());
  for (auto _ : state) {
    std::memcpy(buf.data(), t.data(), t.size());
    sip_parser parser;
    sip_parse__start(parser, buf.data(), t.size());
    if (sip_parse_message(parser, 1) != SIP_PARSE_DONE) {
      state.SkipWithError("message not parsed");
      return;
    }
    benchmark::DoNotOptimize(sip_hdr_area.count);
    sip_work__release();
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_PrimBuild(benchmark::State& state) {
  start_runtime();
  parsed p(messages()[static_cast<std::size_t>(state.range(0))]);
  if (!p.ok) {
    state.SkipWithError("message not parsed");
    return;
  }
  for (auto _ : state) {
    buffer_t* chain = nullptr;
    if (sip_prim__build_up(*p.entry, 1, &chain) != 2) {
      state.SkipWithError("primitive not built");
      return;
    }
    benchmark::DoNotOptimize(chain->data_size);
    Free_buffer(chain);
  }
  state.SetItemsProcessed(state.iterations());
  state.SetLabel(std::string(1, static_cast<char>(p.kind)));
}

void BM_PrimDecode(benchmark::State& state) {
  start_runtime();
  parsed p(messages()[static_cast<std::size_t>(state.range(0))]);
  buffer_t* chain = nullptr;
  if (!p.ok || sip_prim__build_up(*p.entry, 1, &chain) != 2) {
    state.SkipWithError("primitive not built");
    return;
  }
  std::vector<std::uint8_t> body;
  for (const buffer_t* b = chain; b != nullptr; b = b->next)
    body.insert(body.end(), Buffer_data(b), Buffer_data(b) + b->data_size);
  Free_buffer(chain);
  sip_prim_code = static_cast<std::uint8_t>(p.kind);
  for (auto _ : state) {
    sip_header_id failed{};
    if (sip_prim__decode_body(body.data(), static_cast<std::uint16_t>(body.size()), *p.entry->table, &failed) != 2) {
      state.SkipWithError("primitive not decoded");
      return;
    }
    benchmark::DoNotOptimize(sip_hdr_area.count);
    sip_work__release();
  }
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(body.size()));
  state.SetLabel(std::string(1, static_cast<char>(p.kind)));
}

BENCHMARK(BM_Parse)->DenseRange(0, 4);
BENCHMARK(BM_PrimBuild)->DenseRange(0, 4);
BENCHMARK(BM_PrimDecode)->DenseRange(0, 4);

}  // namespace

BENCHMARK_MAIN();
