#include "sip/text/sip_scan.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/sip/text/sip_text_fixture.h"

namespace {

struct ClassCase {
  std::uint32_t bit;
  const char* members;
  const char* outsiders;
};

// Members and non-members of each class, as the header grammars rely on them.
constexpr ClassCase class_cases[] = {
    {SIP_CC_DIGIT, "0123456789", "aA/:"},
    {SIP_CC_ALPHA, "azAZ", "09-_"},
    {SIP_CC_HEX, "09afAF", "gG%"},
    {SIP_CC_PHONE_EXTRA, "#*ABCDPWabcdpw", "EeXx0"},
    {SIP_CC_PARAM, "!#$%&'()*+-./09:=@AZ^_`az|~", ";,?\"<> \t[]"},
    {SIP_CC_TOKEN, "!#$%&'*+-.09AZ^_`az|~", "()/:;=@,\"<> "},
    {SIP_CC_HYPHEN, "-", "_+"},
    {SIP_CC_LWS, " \t", "\r\n"},
    {SIP_CC_USER, "!#$&'()*+,-./09;=?AZ_az~", "%:@<>\"` "},
    {SIP_CC_DOT, ".", ","},
    {SIP_CC_ESCAPE, "%", "."},
    {SIP_CC_SEPARATOR, "\"(),/:;<>=@[\\]{}", "?ab- "},
    {SIP_CC_COMMA_COLON, ",:", ";"},
    {SIP_CC_BASE64, "+/09=AZaz", "-_"},
    {SIP_CC_TEXT, "\t !~\x80\xFD", "\r\n\x7F\xFE\xFF"},
    {SIP_CC_WORD_EXTRA, "\"()-/:<>?[\\]{}", "!a@"},
    {SIP_CC_DISPLAY, " !$&'()*+-./09:=?AZ_az~", "\"<>,;@"},
    {SIP_CC_VISUAL_SEP, "()-.", "+/"},
};

TEST(SipCharClass, MembersAndOutsiders) {
  for (const auto& c : class_cases) {
    for (const char* p = c.members; *p; ++p)
      EXPECT_TRUE(sip_cc(*p, c.bit)) << std::hex << c.bit << " should hold '" << *p << "'";
    for (const char* p = c.outsiders; *p; ++p)
      EXPECT_FALSE(sip_cc(*p, c.bit)) << std::hex << c.bit << " should not hold '" << *p << "'";
  }
}

TEST(SipCharClass, ControlBytesBelongToNoClass) {
  for (unsigned b : {0x00u, 0x08u, 0x0Au, 0x0Du, 0x1Fu, 0x7Fu, 0xFEu, 0xFFu}) EXPECT_EQ(sip_char_class[b], 0u) << b;
  EXPECT_TRUE(sip_cc('\t', SIP_CC_LWS));
}

class SipScan : public ::testing::Test {
 protected:
  sip_text_fixture text;
  void TearDown() override { sip_work__release(); }
};

TEST_F(SipScan, LineEnds) {
  struct {
    const char* in;
    int result;
    const char* rest;
  } cases[] = {
      {"abc\r\nnext", 2, "next"}, {"abc\nnext", 1, "next"},
      {"abc\rnext", 1, "next"},  // a lone CR ends a line like CR LF
      {"abc\r", 1, ""},           {"abc", 0, ""},
      {"\n\rx", 1, "\rx"},
  };
  for (const auto& c : cases) {
    text.load(c.in);
    EXPECT_EQ(sip_scan__line_end(text.scan), c.result) << c.in;
    EXPECT_EQ(text.rest(), c.rest) << c.in;
  }
}

// The line end is found wherever it falls, also among bytes that differ
// from CR or LF by one bit, and the first of several is taken.
TEST_F(SipScan, LineEndsAtEveryOffset) {
  const std::string fillers[] = {"a", "\x0c", "\x0e", "\x8d", "\x8a", "\x0b", "\t"};
  const struct {
    const char* brk;
    int result;
  } breaks[] = {{"\r\n", 2}, {"\n", 1}, {"\r", 1}, {"\n\r", 1}};
  for (const auto& filler : fillers) {
    for (std::size_t offset = 0; offset < 20; ++offset) {
      for (const auto& b : breaks) {
        std::string line;
        for (std::size_t i = 0; i < offset; ++i) line += filler;
        const std::string in = line + b.brk + "next\r\nlast";
        text.load(in);
        EXPECT_EQ(sip_scan__line_end(text.scan), b.result) << offset << " " << b.brk;
        EXPECT_EQ(text.rest(), in.substr(offset + static_cast<std::size_t>(b.result))) << offset << " " << b.brk;
      }
      text.load(std::string(offset, filler[0]));
      EXPECT_EQ(sip_scan__line_end(text.scan), 0) << offset;
      EXPECT_EQ(text.scan.cursor, text.scan.end) << offset;
    }
  }
}

TEST_F(SipScan, UnfoldJoinsContinuationLinesInPlace) {
  struct {
    const char* in;
    int result;
    const char* line;
    const char* rest;
  } cases[] = {
      // Three blanks: the CR LF and two blanks go, one blank stays.
      {"Subject: a\r\n   b\r\nX: 1", 2, "Subject: a b", "X: 1"},
      {"Subject: a\n\tb\n c\r\n\r\n", 2, "Subject: a\tb c", "\r\n"},
      {"Subject: a\r \t b\rX", 1, "Subject: a b", "X"},
      {"Subject: a", 0, "", ""},
  };
  for (const auto& c : cases) {
    text.load(c.in);
    char* start = text.scan.cursor;
    std::size_t before = text.buf.size();
    int r = sip_scan__unfold_line(text.scan);
    EXPECT_EQ(r, c.result) << c.in;
    if (r != 0) {
      std::string line(start, text.scan.cursor - r);
      EXPECT_EQ(line, c.line) << c.in;
      EXPECT_LT(static_cast<std::size_t>(text.scan.end - start), before + 1);
    }
    EXPECT_EQ(text.rest(), c.rest) << c.in;
  }
}

TEST_F(SipScan, UnfoldMovesEndBackByTheBytesRemoved) {
  text.load("A: a\r\n   b\r\n");
  char* end = text.scan.end;
  EXPECT_EQ(sip_scan__unfold_line(text.scan), 2);
  EXPECT_EQ(end - text.scan.end, 4);  // CR LF and two blanks
}

TEST_F(SipScan, FindLineEndKeepsTheCursor) {
  text.load("a b\r\n c\r\nnext");
  char* start = text.scan.cursor;
  ASSERT_TRUE(sip_scan__find_line_end(text.scan));
  EXPECT_EQ(text.scan.cursor, start);
  EXPECT_EQ(std::string(start, text.scan.line_end), "a b c");
  text.load("no line end");
  EXPECT_FALSE(sip_scan__find_line_end(text.scan));
}

TEST_F(SipScan, MatchCodeFindsWholeNamesInAnyCase) {
  struct {
    const char* word;
    int result;
    std::uint8_t code;
  } cases[] = {
      {"udp", 2, 'U'}, {"UDP", 2, 'U'}, {"uDp", 2, 'U'}, {"sctp", 2, 'S'}, {"TLS", 2, 'L'},
      {"udpx", 19, 0}, {"ud", 19, 0},   {"", 19, 0},     {"ws", 19, 0},    {"Udp", 2, 'U'},
  };
  for (const auto& c : cases) {
    const char* t = c.word;
    std::uint8_t code = 0;
    int r =
        sip_scan__match_code(&t, static_cast<std::uint16_t>(std::strlen(c.word)), sip_uri_transport_table, 4, &code);
    EXPECT_EQ(r, c.result) << c.word;
    if (r == 2) {
      EXPECT_EQ(code, c.code) << c.word;
      EXPECT_EQ(t, c.word + std::strlen(c.word));
    } else {
      EXPECT_EQ(t, c.word);
    }
  }
}

TEST_F(SipScan, OtherParamsAreJoinedAndCappedAt512) {
  sip_str params{};
  text.load("a=1;b;c = \"x;y\";" + std::string(600, 'd') + ";e=2");
  ASSERT_EQ(sip_scan__other_param(text.scan, &params), 2);
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(sip_scan__take(text.scan, ';'));
    ASSERT_EQ(sip_scan__other_param(text.scan, &params), 2);
  }
  EXPECT_EQ(str_of(params), "a=1;b;c = \"x;y\";e=2");  // the 600-byte one is dropped

  sip_str full{};
  std::string p500 = "p=" + std::string(498, 'v');
  text.load(p500 + ";q=12345678901;r=1");
  ASSERT_EQ(sip_scan__other_param(text.scan, &full), 2);
  ASSERT_TRUE(sip_scan__take(text.scan, ';'));
  ASSERT_EQ(sip_scan__other_param(text.scan, &full), 2);  // 500 + 1 + 13 > 512: dropped
  ASSERT_TRUE(sip_scan__take(text.scan, ';'));
  ASSERT_EQ(sip_scan__other_param(text.scan, &full), 2);  // 500 + 1 + 3 fits
  EXPECT_EQ(str_of(full), p500 + ";r=1");
}

TEST_F(SipScan, OtherParamFailures) {
  sip_str params{};
  text.load("a=\"open");
  EXPECT_EQ(sip_scan__other_param(text.scan, &params), 3);
  text.load("=1");
  EXPECT_EQ(sip_scan__other_param(text.scan, &params), 3);  // no name
}

TEST_F(SipScan, DecimalRunsRefuseOverflow) {
  struct {
    const char* in;
    bool ok;
    std::uint32_t value;
  } cases[] = {
      {"0", true, 0},           {"4294967295", true, 4294967295u},
      {"4294967296", false, 0}, {"99999999999999999999", false, 0},
      {"12ab", true, 12},       {"x1", false, 0},
      {"", false, 0},
  };
  for (const auto& c : cases) {
    text.load(c.in);
    std::uint32_t v = 7;
    EXPECT_EQ(sip_scan__u32(text.scan, &v), c.ok) << c.in;
    if (c.ok) {
      EXPECT_EQ(v, c.value) << c.in;
    }
  }
}

sip_str cs(const char* s) { return sip_str{static_cast<std::uint16_t>(std::strlen(s)), s}; }

TEST_F(SipScan, ClassChecks) {
  sip_str empty{};
  EXPECT_EQ(sip_check__class(&empty, 1, SIP_CC_TOKEN), 18);
  EXPECT_EQ(sip_check__class(&empty, 0, SIP_CC_TOKEN), 2);
  sip_str tok = cs("abc-1");
  EXPECT_EQ(sip_check__class(&tok, 1, SIP_CC_TOKEN), 2);
  sip_str bad = cs("ab c");
  EXPECT_EQ(sip_check__class(&bad, 1, SIP_CC_TOKEN), 19);
  const char with_nul[] = {'a', 'b', 0};
  sip_str n{3, with_nul};
  EXPECT_EQ(sip_check__class(&n, 1, SIP_CC_ALPHA), 2);  // a final NUL is not checked

  struct {
    const char* in;
    int result;
  } escaped[] = {
      {"ab%20c", 2}, {"%4A", 2}, {"ab%2", 19}, {"ab%", 19}, {"%2g", 19}, {"%zz", 19}, {"a b", 19},
  };
  for (const auto& c : escaped) {
    sip_str v = cs(c.in);
    EXPECT_EQ(sip_check__class_escaped(&v, 1, SIP_CC_USER), c.result) << c.in;
  }
}

TEST_F(SipScan, CommentCheck) {
  struct {
    const char* in;
    int result;
  } cases[] = {
      {"text (inner) more", 2}, {"a(b(c))", 2},    {"a) (b", 19},    {"(open", 19},
      {"ends in \\", 19},       {"esc \\) ok", 2}, {"bad \x7F", 19},
  };
  for (const auto& c : cases) {
    sip_str v = cs(c.in);
    EXPECT_EQ(sip_check__comment(&v), c.result) << c.in;
  }
}

TEST_F(SipScan, QuoteCheckEscapesAndRefusesLineBreaks) {
  sip_str plain = cs("Alice Smith");
  const char* before = plain.ptr;
  EXPECT_EQ(sip_check__quote(&plain), 2);
  EXPECT_EQ(plain.ptr, before);  // nothing to escape: the text stays

  sip_str q = cs("say \"hi\" \\ now");
  ASSERT_EQ(sip_check__quote(&q), 2);
  ASSERT_GT(q.len, 0);
  EXPECT_EQ(q.ptr[q.len - 1], '\0');
  EXPECT_EQ(std::string(q.ptr, q.len - 1), "say \\\"hi\\\" \\\\ now");

  for (const char* bad : {"a\r\nb", "a\nb", "a\rb", "a\xFE", "a\xFF"}) {
    sip_str v = cs(bad);
    EXPECT_EQ(sip_check__quote(&v), 19) << bad;
  }
  sip_str utf8 = cs("J\xC3\xBCrgen");
  EXPECT_EQ(sip_check__quote(&utf8), 2);
}

TEST_F(SipScan, CodeLookupSearchesFromTheLastRow) {
  const sip_code_value_row table[] = {{400, 1}, {486, 2}, {400, 3}};
  std::uint32_t v = 0;
  EXPECT_EQ(sip_code_lookup(400, table, &v, 3), 2);
  EXPECT_EQ(v, 3u);
  EXPECT_EQ(sip_code_lookup(486, table, &v, 3), 2);
  EXPECT_EQ(v, 2u);
  EXPECT_EQ(sip_code_lookup(500, table, &v, 3), 19);
  EXPECT_EQ(sip_code_lookup(400, table, &v, 0), 19);
}

}  // namespace
