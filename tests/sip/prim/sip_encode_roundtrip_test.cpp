// Round trip of the SIP text encoder: every message of the RFC 4475 torture
// set that our parser accepts, the RFC 3261 section 24 examples and the fax
// corpus is parsed, encoded, parsed again and compared field by field on
// every header its kind's table writes; a second encoding must give the same
// bytes, with and without compact header names.
#include <gtest/gtest.h>

#include "bench/sip_parse_corpus.h"
#include "tests/sip/prim/sip_encode_fixture.h"
#include "tests/sip/text/sip_torture_fixture.h"

using namespace sip_enc_test;

namespace {

// RFC 3261 section 24: the registration and the session setup examples.
std::vector<std::string> rfc3261_examples() {
  return {
      crlf("REGISTER sip:registrar.biloxi.com SIP/2.0\n"
           "Via: SIP/2.0/UDP bobspc.biloxi.com:5060;branch=z9hG4bKnashds7\n"
           "Max-Forwards: 70\n"
           "To: Bob <sip:bob@biloxi.com>\n"
           "From: Bob <sip:bob@biloxi.com>;tag=456248\n"
           "Call-ID: 843817637684230@998sdasdh09\n"
           "CSeq: 1826 REGISTER\n"
           "Contact: <sip:bob@192.0.2.4>\n"
           "Expires: 7200\n"
           "Content-Length: 0\n\n"),
      crlf("SIP/2.0 200 OK\n"
           "Via: SIP/2.0/UDP bobspc.biloxi.com:5060;branch=z9hG4bKnashds7;received=192.0.2.4\n"
           "To: Bob <sip:bob@biloxi.com>;tag=2493k59kd\n"
           "From: Bob <sip:bob@biloxi.com>;tag=456248\n"
           "Call-ID: 843817637684230@998sdasdh09\n"
           "CSeq: 1826 REGISTER\n"
           "Contact: <sip:bob@192.0.2.4>\n"
           "Expires: 7200\n"
           "Content-Length: 0\n\n"),
      crlf("INVITE sip:bob@biloxi.com SIP/2.0\n"
           "Via: SIP/2.0/UDP pc33.atlanta.com;branch=z9hG4bKnashds8\n"
           "Max-Forwards: 70\n"
           "To: Bob <sip:bob@biloxi.com>\n"
           "From: Alice <sip:alice@atlanta.com>;tag=1928301774\n"
           "Call-ID: a84b4c76e66710\n"
           "CSeq: 314159 INVITE\n"
           "Contact: <sip:alice@pc33.atlanta.com>\n"
           "Content-Type: application/sdp\n"
           "Content-Length: 142\n\n"
           "v=0\no=alice 2890844526 2890844526 IN IP4 pc33.atlanta.com\ns=-\nc=IN IP4 pc33.atlanta.com\n"
           "t=0 0\nm=audio 49172 RTP/AVP 0\na=rtpmap:0 PCMU/8000\n"),
      crlf("SIP/2.0 180 Ringing\n"
           "Via: SIP/2.0/UDP server10.biloxi.com;branch=z9hG4bK4b43c2ff8.1\n"
           " ;received=192.0.2.3\n"
           "Via: SIP/2.0/UDP bigbox3.site3.atlanta.com;branch=z9hG4bK77ef4c2312983.1\n"
           " ;received=192.0.2.2\n"
           "Via: SIP/2.0/UDP pc33.atlanta.com;branch=z9hG4bKnashds8\n"
           " ;received=192.0.2.1\n"
           "Record-Route: <sip:server10.biloxi.com;lr>\n"
           "Record-Route: <sip:bigbox3.site3.atlanta.com;lr>\n"
           "To: Bob <sip:bob@biloxi.com>;tag=a6c85cf\n"
           "From: Alice <sip:alice@atlanta.com>;tag=1928301774\n"
           "Call-ID: a84b4c76e66710@pc33.atlanta.com\n"
           "Contact: <sip:bob@192.0.2.4>\n"
           "CSeq: 314159 INVITE\n"
           "Content-Length: 0\n\n"),
      crlf("ACK sip:bob@192.0.2.4 SIP/2.0\n"
           "Via: SIP/2.0/UDP pc33.atlanta.com;branch=z9hG4bKnashds9\n"
           "Route: <sip:bigbox3.site3.atlanta.com;lr>\n"
           "Route: <sip:server10.biloxi.com;lr>\n"
           "Max-Forwards: 70\n"
           "To: Bob <sip:bob@biloxi.com>;tag=a6c85cf\n"
           "From: Alice <sip:alice@atlanta.com>;tag=1928301774\n"
           "Call-ID: a84b4c76e66710@pc33.atlanta.com\n"
           "CSeq: 314159 ACK\n"
           "Content-Length: 0\n\n"),
      crlf("BYE sip:alice@pc33.atlanta.com SIP/2.0\n"
           "Via: SIP/2.0/UDP 192.0.2.4;branch=z9hG4bKnashds10\n"
           "Max-Forwards: 70\n"
           "From: Bob <sip:bob@biloxi.com>;tag=a6c85cf\n"
           "To: Alice <sip:alice@atlanta.com>;tag=1928301774\n"
           "Call-ID: a84b4c76e66710@pc33.atlanta.com\n"
           "CSeq: 231 BYE\n"
           "Content-Length: 0\n\n"),
  };
}

struct Source {
  std::string name;
  std::string text;
};

std::vector<Source> sources() {
  std::vector<Source> s;
  for (const auto& c : sip_torture::torture_cases())
    if (c.result == SIP_PARSE_DONE) s.push_back({c.name, c.text});
  int i = 0;
  for (const auto& t : rfc3261_examples()) s.push_back({"rfc3261-24#" + std::to_string(i++), t});
  i = 0;
  for (const auto& t : sip_bench::corpus()) s.push_back({"corpus#" + std::to_string(i++), t});
  return s;
}

class SipEncodeRoundTrip : public SipEncodeTest {};

}  // namespace

TEST_F(SipEncodeRoundTrip, ParseOfEncodingEqualsParse) {
  unsigned compared = 0;
  for (const auto& src : sources()) {
    for (bool compact : {false, true}) {
      SCOPED_TRACE(src.name + (compact ? " compact" : ""));
      sip_parse_run first;
      sip_parse_text(first, src.text);
      const std::uint8_t kind = parsed_kind();
      if (kind == 0) continue;
      const bool has_via = sip_hdr_area.count[59] != 0;
      const bool had_branch = has_via && sip_hdr_area.via[0].branch.len != 0;
      std::vector<std::string> original = dump(kind);
      sip_encode_env.compact = compact;
      const std::string text1 = encode(kind);
      ASSERT_FALSE(text1.empty());

      sip_parse_run second;
      sip_parse_text(second, text1);
      ASSERT_EQ(second.result, SIP_PARSE_DONE) << text1;
      ASSERT_EQ(parsed_kind(), kind);
      std::vector<std::string> again = dump(kind);
      if (has_via && !had_branch) {
        // A request without a branch gets one made: the one difference.
        EXPECT_EQ(str(sip_hdr_area.via[0].branch).rfind("z9hG4bK-", 0), 0u);
        for (auto* d : {&original, &again})
          std::erase_if(*d, [](const std::string& x) { return x.rfind("59[0]@30=", 0) == 0; });
      }
      EXPECT_EQ(original, again) << diff(original, again) << text1;
      const std::string text2 = encode(kind);
      EXPECT_EQ(text1, text2);
      if (compact) {
        EXPECT_EQ(text1.find("\r\nVia:"), std::string::npos);
        EXPECT_EQ(text1.find("\r\nContent-Length:"), std::string::npos);
      }
      ++compared;
    }
  }
  EXPECT_GE(compared, 2u * 20u);
}
