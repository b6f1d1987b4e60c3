// Parsing speed of the SIP message parser over a corpus of typical messages
// of a fax call: INVITE with a T.38 offer, 200 OK with the answer, ACK, BYE
// and a REGISTER with credentials.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "bench/sip_parse_corpus.h"
#include "sip/text/sip_parse.h"

namespace {

using sip_bench::corpus;

void BM_SipParseCorpus(benchmark::State& state) {
  const std::vector<std::string> messages = corpus();
  std::vector<char> buf(4096);
  std::int64_t parsed = 0;
  std::int64_t bytes = 0;
  for (auto _ : state) {
    for (const auto& text : messages) {
      std::memcpy(buf.data(), text.data(), text.size());
      sip_parser parser;
      sip_parse__start(parser, buf.data(), text.size());
      std::uint8_t r = sip_parse_message(parser, 1);
      if (r != SIP_PARSE_DONE) {
        state.SkipWithError("message not parsed");
        return;
      }
      benchmark::DoNotOptimize(sip_hdr_area.count);
      sip_work__release();
      ++parsed;
      bytes += static_cast<std::int64_t>(text.size());
    }
  }
  state.SetItemsProcessed(parsed);
  state.SetBytesProcessed(bytes);
}
BENCHMARK(BM_SipParseCorpus);

}  // namespace

BENCHMARK_MAIN();
