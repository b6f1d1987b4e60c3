#include "sip/text/sip_hdr.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/sip/text/sip_text_fixture.h"

namespace {

struct NameCase {
  const char* line;
  unsigned id;        // 0: unknown name
  const char* value;  // what the cursor is left on
};

const NameCase name_cases[] = {
    {"Via: SIP/2.0/UDP h", 59, "SIP/2.0/UDP h"},
    {"VIA : x", 59, "x"},
    {"via\t:\t x", 59, "x"},
    {"v: x", 59, "x"},
    {"Viax: x", 0, ""},
    {"Via x", 0, ""},
    {"Content-Length: 0", 16, "0"},
    {"l: 0", 16, "0"},
    {"content-language: de", 15, "de"},
    {"Content-Type: application/sdp", 17, "application/sdp"},
    {"c: application/sdp", 17, "application/sdp"},
    {"In-Reply-To: 1@h", 25, "1@h"},
    {"i: abc", 10, "abc"},
    {"Call-ID: abc", 10, "abc"},
    {"t: <sip:a@b>", 56, "<sip:a@b>"},
    {"To: <sip:a@b>", 56, "<sip:a@b>"},
    {"s: hello", 53, "hello"},
    {"f: x", 23, "x"},
    {"m: *", 12, "*"},
    {"e: gzip", 14, "gzip"},
    {"d: proxy", 45, "proxy"},
    {"x: 90", 51, "90"},
    {"k: timer", 54, "timer"},
    {"Referred-By: <sip:a@b>", 78, "<sip:a@b>"},
    {"b: <sip:a@b>", 78, "<sip:a@b>"},  // the compact form of Referred-By (RFC 3892)
    {"r: x", 0, ""},
    {"o: x", 0, ""},
    {"WWW-Authenticate: Digest", 61, "Digest"},
    {"Www-AUTHENTICATE:Digest", 61, "Digest"},
    {"P-Asserted-Identity: <sip:a@b>", 31, "<sip:a@b>"},
    {"Min-SE: 90", 29, "90"},
    {"Min-Expires: 60", 28, "60"},
    {"CSeq: 1 INVITE", 18, "1 INVITE"},
    {"X-Unknown: 1", 0, ""},
    {": no name", 0, ""},
    {"Content-Lengthy: 3", 0, ""},
    {"Content-Typf: x", 0, ""},  // a known name's first letter and length
    {"Accept-Encoding : gzip", 4, "gzip"},
    {"CONTACT\t:\t*", 12, "*"},
    {"Accept-Encoding x: 1", 0, ""},
    {"Call-ID", 0, ""},
};

TEST(SipHeaderName, Recognition) {
  sip_text_fixture text;
  for (const auto& c : name_cases) {
    text.load(c.line);
    char* start = text.scan.cursor;
    auto id = sip_hdr__match_name(text.scan);
    EXPECT_EQ(static_cast<unsigned>(id), c.id) << c.line;
    if (c.id != 0) EXPECT_EQ(std::string(text.scan.cursor, text.scan.line_end), c.value) << c.line;
    else EXPECT_EQ(text.scan.cursor, start) << c.line;
  }
}

TEST(SipHeaderCounts, ResetAndDropNeverGoBelowZero) {
  sip_hdr_area.count[59] = 3;
  sip_hdr_area.count[95] = 1;
  sip_hdr_count__reset();
  for (unsigned i = 0; i < SIP_HDR_SLOTS; ++i) ASSERT_EQ(sip_hdr_area.count[i], 0) << i;
  sip_hdr_count__decrement(sip_header_id::from);
  EXPECT_EQ(sip_hdr_count(sip_header_id::from), 0);
  sip_hdr_count(sip_header_id::from) = 2;
  sip_hdr_count__decrement(sip_header_id::from);
  EXPECT_EQ(sip_hdr_count(sip_header_id::from), 1);
}

}  // namespace
