// Speed of the SDP parser and encoder on a T.38 offer, and of the CRC-16 hash.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "sip/text/sdp.h"
#include "sip/text/sip_str.h"
#include "tests/sip/text/support/sdp_store.h"

namespace {

const char offer[] =
    "v=0\r\no=- 1234 1 IN IP4 192.0.2.1\r\ns=-\r\nc=IN IP4 192.0.2.1\r\nt=0 0\r\n"
    "m=audio 49170 RTP/AVP 0 8 101\r\na=rtpmap:0 PCMU/8000\r\na=rtpmap:8 PCMA/8000\r\n"
    "a=rtpmap:101 telephone-event/8000\r\na=fmtp:101 0-15\r\na=ptime:20\r\n"
    "m=image 600 udptl t38\r\na=T38FaxVersion:0\r\na=T38MaxBitRate:14400\r\n"
    "a=T38FaxRateManagement:transferredTCF\r\na=T38FaxMaxBuffer:200\r\na=T38FaxMaxDatagram:72\r\n"
    "a=T38FaxUdpEC:t38UDPRedundancy\r\n";

uint8_t parse_offer(sdp_store& s) {
  s.work.size = 0;
  const char* p = offer;
  return sdp_parse(&p, offer + sizeof offer - 1, &s.desc, &s.work, 0);
}

void BM_SdpParseOffer(benchmark::State& state) {
  sdp_store s;
  for (auto _ : state) benchmark::DoNotOptimize(parse_offer(s));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(sizeof offer - 1));
}
BENCHMARK(BM_SdpParseOffer);

void BM_SdpEncodeOffer(benchmark::State& state) {
  sdp_store s;
  if (parse_offer(s) != SDP_PARSE_END) state.SkipWithError("offer refused");
  s.origin.nettype_text = s.session.conn.nettype_text = "IN";
  s.av[0].kind_text = "audio";
  s.av[0].transport_text = "RTP/AVP";
  s.rtpmap[0].codec_text = "PCMU";
  s.rtpmap[1].codec_text = "PCMA";
  s.rtpmap[2].codec_text = "telephone-event";
  s.image[0].kind_text = "image";
  s.image[0].format_text = "t38";
  s.image[0].transport_text = "udptl";
  s.image[0].t38_rate_management_text = "transferredTCF";
  s.image[0].t38_udp_ec_text = "t38UDPRedundancy";
  char out[1600];
  for (auto _ : state) {
    char* p = out;
    benchmark::DoNotOptimize(sdp_encode(&p, out + sizeof out, &s.desc, 0));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_SdpEncodeOffer);

void BM_Crc16NocaseHash(benchmark::State& state) {
  const char* callid = "a84b4c76e66710-Zz9hG4bK-1A2B3C@pc33.atlanta.example.com";
  const auto n = static_cast<uint32_t>(std::strlen(callid));
  for (auto _ : state) benchmark::DoNotOptimize(crc16_nocase_hash(0, callid, n));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * n);
}
BENCHMARK(BM_Crc16NocaseHash);

}  // namespace

BENCHMARK_MAIN();
