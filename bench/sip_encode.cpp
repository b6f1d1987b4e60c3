// SIP text encoder speed over the parser benchmark's corpus: each message is
// parsed once, then its work area is encoded again and again (the chain
// handed to a transport that frees it).  Items are messages; the parse of
// the same corpus runs beside it for the ratio, and the stateless 400
// answer to each request, after its parse, is timed too.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bench/sip_parse_corpus.h"
#include "runtime/entity.h"
#include "runtime/msg.h"
#include "runtime/om_os.h"
#include "sip/text/sip_encode.h"
#include "sip/text/sip_parse.h"
#include "sip/text/sip_response.h"
#include "tests/sip/support/quiet_runtime.h"

namespace {

std::int64_t sent_bytes = 0;

void start_runtime() {
  static bool started = false;
  if (started) return;
  started = true;
  sip_rt::start();
  sip_encode_env.send_to_transport = [](buffer_t* chain, std::uint8_t) {
    sent_bytes += Buffer_chain_length(chain);
    Free_buffer(chain);
  };
}

// A parsed message: its text, its work area and its kind.
struct parsed {
  std::vector<char> text;
  std::unique_ptr<sip_hdr_area_t> area = std::make_unique<sip_hdr_area_t>();
  std::uint8_t kind = 0;
};

std::vector<parsed>& corpus() {
  static std::vector<parsed> all = [] {
    std::vector<parsed> v;
    for (const std::string& t : sip_bench::corpus()) {
      parsed p;
      p.text.assign(t.begin(), t.end());
      sip_parser parser;
      sip_parse__start(parser, p.text.data(), p.text.size());
      if (sip_parse_message(parser, 1) != SIP_PARSE_DONE) continue;
      const std::uint8_t m = sip_hdr_area.method;
      if (m >= SIP_METHOD_INVITE && m <= SIP_METHOD_REGISTER) p.kind = static_cast<std::uint8_t>('A' + (m - 0xE1));
      if (m == SIP_METHOD_RESPONSE) p.kind = static_cast<std::uint8_t>('a' + (sip_hdr_area.cseq.method - 0xC1));
      *p.area = sip_hdr_area;
      v.push_back(std::move(p));
    }
    return v;
  }();
  return all;
}

void BM_SipEncodeCorpus(benchmark::State& state) {
  start_runtime();
  sip_encode_env.compact = state.range(0) != 0;
  std::int64_t encoded = 0;
  sent_bytes = 0;
  for (auto _ : state) {
    for (const parsed& p : corpus()) {
      sip_hdr_area = *p.area;
      sip_encode_kind = p.kind;
      if (sip_encode_message(SIP_ENCODE_STATELESS) != SIP_RESULT_OK) {
        state.SkipWithError("message not encoded");
        return;
      }
      ++encoded;
    }
  }
  state.SetItemsProcessed(encoded);
  state.SetBytesProcessed(sent_bytes);
}
BENCHMARK(BM_SipEncodeCorpus)->Arg(0)->Arg(1);

// The same corpus parsed, for the ratio of the two rates.
void BM_SipParseSameCorpus(benchmark::State& state) {
  start_runtime();
  std::vector<char> buf(4096);
  std::int64_t parsed_count = 0;
  for (auto _ : state) {
    for (const parsed& p : corpus()) {
      std::memcpy(buf.data(), p.text.data(), p.text.size());
      sip_parser parser;
      sip_parse__start(parser, buf.data(), p.text.size());
      benchmark::DoNotOptimize(sip_parse_message(parser, 1));
      sip_work__release();
      ++parsed_count;
    }
  }
  state.SetItemsProcessed(parsed_count);
}
BENCHMARK(BM_SipParseSameCorpus);

// Each request is parsed again before its answer, as the entity does: the
// corpus's stored work areas point into work memory that the parse benchmark
// above has released, so they cannot stand in for a fresh parse here.
void BM_SipParseAndBuildResponse400(benchmark::State& state) {
  start_runtime();
  std::vector<char> buf(4096);
  std::int64_t built = 0;
  for (auto _ : state) {
    for (const parsed& p : corpus()) {
      if (p.kind < 'A' || p.kind > 'F' || p.kind == 'B') continue;
      std::memcpy(buf.data(), p.text.data(), p.text.size());
      sip_parser parser;
      sip_parse__start(parser, buf.data(), p.text.size());
      if (sip_parse_message(parser, 1) == SIP_PARSE_DONE)
        benchmark::DoNotOptimize(sip_build_response(400, "Bad request", 0, 1));
      sip_work__release();
      ++built;
    }
  }
  state.SetItemsProcessed(built);
}
BENCHMARK(BM_SipParseAndBuildResponse400);

}  // namespace

BENCHMARK_MAIN();
