#include "sip/text/sip_str.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

sip_str counted(const std::string& s) { return sip_str{static_cast<uint16_t>(s.size()), s.data()}; }
sip_str lit(const char* s) { return sip_str{static_cast<uint16_t>(std::strlen(s)), s}; }

// A cursor on a text; the line ends where the text ends.
struct cursor_text {
  std::string text;
  sip_scan_state_t sc;
  explicit cursor_text(std::string t) : text(std::move(t)) {
    sc.cursor = text.data();
    sc.line_end = text.data() + text.size();
    sc.end = sc.line_end;
  }
  size_t pos() const { return static_cast<size_t>(sc.cursor - text.data()); }
};

std::string out_text(const char* buf) { return std::string(buf, static_cast<size_t>(sip_out.ptr - buf)); }

}  // namespace

TEST(SipStr, FromCstrCountsTheNulAndReadersAcceptBothForms) {
  sip_str s;
  sip_str__from_cstr(&s, "abc");
  EXPECT_EQ(s.len, 4);
  sip_str__from_cstr(&s, "");
  EXPECT_EQ(s.len, 0);
  EXPECT_EQ(s.ptr, nullptr);
  sip_str__from_cstr(&s, nullptr);
  EXPECT_EQ(s.len, 0);

  sip_str with_nul;
  sip_str__from_cstr(&with_nul, "abc");
  char buf[16];
  sip_out__start(buf, sizeof buf);
  ASSERT_EQ(sip_out__append_str(with_nul), SIP_RESULT_OK);
  EXPECT_EQ(out_text(buf), "abc");
  EXPECT_EQ(sip_hash__str(with_nul), sip_hash__str(counted("abc")));
  EXPECT_EQ(sip_str__cmp_cstr("abc", with_nul), 0);
}

TEST(SipStr, ToCstrAndCopyOutAreBounded) {
  char small[4];
  EXPECT_EQ(sip_str__to_cstr(small, sizeof small, counted("abc")), SIP_RESULT_OK);
  EXPECT_STREQ(small, "abc");
  EXPECT_EQ(sip_str__to_cstr(small, sizeof small, counted("abcd")), SIP_RESULT_NOK);
  EXPECT_STREQ(small, "");
  EXPECT_EQ(sip_str__to_cstr(small, sizeof small, sip_str{}), SIP_RESULT_OK);
  EXPECT_STREQ(small, "");

  char area[8];
  char* w = area;
  EXPECT_EQ(sip_str__copy_out(&w, area + sizeof area, sip_str{}), 0);
  EXPECT_EQ(w, area);
  EXPECT_EQ(sip_str__copy_out(&w, area + sizeof area, counted("abc")), 4);
  EXPECT_EQ(w, area + 4);
  EXPECT_STREQ(area, "abc");
  EXPECT_EQ(sip_str__copy_out(&w, area + sizeof area, counted("wxyz")), -1);  // needs 5, 4 left
  EXPECT_EQ(w, area + 4);
  EXPECT_EQ(sip_str__copy_out(&w, area + sizeof area, counted("xyz")), 4);
  EXPECT_EQ(w, area + sizeof area);
}

TEST(SipStr, UnescapeRemovesQuotedPairBackslashes) {
  struct row {
    std::string in;
    uint8_t result;
    std::string out;
  } rows[] = {
      {R"(a\"b)", SIP_RESULT_OK, R"(a"b)"}, {R"(\\\\)", SIP_RESULT_OK, R"(\\)"}, {"plain", SIP_RESULT_OK, "plain"},
      {R"(end\)", SIP_RESULT_NOK, ""},      {"a\\\nb", SIP_RESULT_NOK, ""},      {"a\\\rb", SIP_RESULT_NOK, ""},
      {"a\\\x7f", SIP_RESULT_OK, "a\x7f"},  // quoted-pair takes 0x00-0x7F but CR and LF
      {"a\\\x80", SIP_RESULT_NOK, ""},
  };
  for (auto& r : rows) {
    std::string t = r.in;
    uint16_t len = static_cast<uint16_t>(t.size());
    EXPECT_EQ(sip_str__unescape(t.data(), &len), r.result) << r.in;
    if (r.result == SIP_RESULT_OK) {
      EXPECT_EQ(t.substr(0, len), r.out) << r.in;
    }
  }
}

TEST(SipStr, ComparisonsDecodeEscapesOnEitherSide) {
  struct row {
    const char* text;
    std::string counted;
    bool nocase;
    bool equal;
  } rows[] = {
      {"a%62c", "abc", false, true},
      {"abc", "a%62c", false, true},
      {"%%", "%%", false, true},
      {"a", "%6", false, false},  // fewer than 3 characters after the %
      {"abc", "abc", false, true},
      {"abc", "ABC", false, false},
      {"abc", "ABC", true, true},
      {"a%42c", "abc", true, true},
      {"ab", "abc", false, false},
      {"abc", "ab", false, false},
      {"", "", false, true},
      {"x", "", false, false},
      {"", "x", false, false},
      {"abc", std::string("abc\0", 4), false, true},
      {"ab", std::string("ab\0cd", 5), false, true},  // a NUL inside the length ends the string
      {"ab", std::string("ax\0", 3), false, false},
      // An escape cut short by the end of either string is a difference, not an over-read.
      {"a%", "a%41", false, false},
      {"a%4", "aA", false, false},
      {"a%zz", "a?", false, false},
      {"a", "a%", false, false},
      {"", "%41", false, false},
  };
  for (auto& r : rows) {
    // Copy the NUL-terminated side into an exactly sized heap block so that
    // ASan catches any read past its NUL.
    std::vector<char> text(r.text, r.text + std::strlen(r.text) + 1);
    std::vector<char> cnt(r.counted.begin(), r.counted.end());
    sip_str s{static_cast<uint16_t>(cnt.size()), cnt.empty() ? nullptr : cnt.data()};
    int got = r.nocase ? sip_str__cmp_nocase(text.data(), s) : sip_str__cmp_cstr(text.data(), s);
    EXPECT_EQ(got == 0, r.equal) << r.text << " vs " << r.counted;
  }
  EXPECT_NE(sip_str__cmp_cstr(nullptr, counted("")), 0);
  EXPECT_NE(sip_str__cmp_cstr(nullptr, counted("a")), 0);
}

TEST(SipStr, ParseIpv4AcceptsDottedQuadsOnly) {
  struct row {
    std::string in;
    bool ok;
    uint8_t bytes[4];
  } rows[] = {
      {"10.0.0.1", true, {10, 0, 0, 1}},
      {"255.255.255.255", true, {255, 255, 255, 255}},
      {"192.0.2.1", true, {192, 0, 2, 1}},
      {std::string("1.2.3.4\0", 8), true, {1, 2, 3, 4}},
      {"10.0.0", false, {}},
      {"10.0.0.1.", false, {}},
      {"10..0.1", false, {}},
      {"1234.0.0.1", false, {}},
      {"10.0.0.1234", false, {}},
      {"300.0.0.1", false, {}},  // an octet above 255 is refused, not cut to 44
      {"10.0.0.256", false, {}},
      {"a.b.c.d", false, {}},
      {"10.0.0.1 ", false, {}},
      {"", false, {}},
  };
  for (auto& r : rows) {
    const char* p = r.in.data();
    uint16_t len = static_cast<uint16_t>(r.in.size());
    bool ok = sip_str__parse_ipv4(&p, &len);
    ASSERT_EQ(ok, r.ok) << r.in;
    if (ok) {
      ASSERT_EQ(len, 4);
      EXPECT_EQ(0, std::memcmp(p, r.bytes, 4)) << r.in;
    } else {
      EXPECT_EQ(p, r.in.data());
      EXPECT_EQ(len, r.in.size());
    }
  }
  sip_work__release();
}

TEST(SipScan, KeywordFoldsTheTextLiteralDoesNot) {
  {
    cursor_text t("INVITE sip:x");
    EXPECT_EQ(sip_scan__keyword(t.sc, "invite"), 0);
    EXPECT_EQ(t.pos(), 6u);
  }
  {
    cursor_text t("Invite");
    EXPECT_EQ(sip_scan__keyword(t.sc, "invite"), 0);
  }
  {
    cursor_text t("INVITX");
    EXPECT_EQ(sip_scan__keyword(t.sc, "invite"), 6);  // 5 matched + 1
    EXPECT_EQ(t.pos(), 0u);
  }
  {
    // The line ends before the keyword does.
    cursor_text t("INVITE");
    t.sc.line_end = t.sc.cursor + 3;
    EXPECT_NE(sip_scan__keyword(t.sc, "invite"), 0);
    EXPECT_EQ(t.pos(), 0u);
  }
  {
    // A long partial match never wraps to 0 (a false "match").
    std::string kw(300, 'a');
    cursor_text t(std::string(255, 'a') + "b" + std::string(50, 'a'));
    EXPECT_NE(sip_scan__keyword(t.sc, kw.c_str()), 0);
    EXPECT_EQ(t.pos(), 0u);
  }
  {
    cursor_text t("sip/2.0");
    EXPECT_TRUE(sip_scan__literal(t.sc, "SIP/2.0"));
    EXPECT_EQ(t.pos(), 0u);
  }
  {
    cursor_text t("SIP/2.0 200");
    EXPECT_FALSE(sip_scan__literal(t.sc, "SIP/2.0"));
    EXPECT_EQ(t.pos(), 7u);
  }
}

TEST(SipScan, StrAdvancesOverComparedCharacters) {
  {
    cursor_text t("abcdef");
    EXPECT_EQ(sip_scan__str(t.sc, counted("abc")), 0);
    EXPECT_EQ(t.pos(), 3u);
  }
  {
    cursor_text t("abXdef");
    EXPECT_EQ(sip_scan__str(t.sc, counted("abc")), 1);  // 'c' not matched
    EXPECT_EQ(t.pos(), 3u);                             // over the first different one
  }
  {
    cursor_text t("axc");
    EXPECT_EQ(sip_scan__str(t.sc, counted("abc")), 2);
  }
  {
    cursor_text t("ab");
    EXPECT_EQ(sip_scan__str(t.sc, counted("abc")), 1);
    EXPECT_EQ(t.pos(), 2u);
  }
  {
    cursor_text t("abc");
    sip_str s;
    sip_str__from_cstr(&s, "abc");  // a final NUL is not compared
    EXPECT_EQ(sip_scan__str(t.sc, s), 0);
    EXPECT_EQ(sip_scan__str(t.sc, sip_str{}), 0);
  }
}

TEST(SipScan, CommentAndQuoted) {
  {
    cursor_text t("a(b)c)rest");
    EXPECT_EQ(sip_scan__comment(t.sc), SIP_RESULT_OK);
    EXPECT_EQ(t.pos(), 5u);
  }
  {
    cursor_text t("a(b)c");
    EXPECT_EQ(sip_scan__comment(t.sc), SIP_RESULT_NOK);
    EXPECT_EQ(t.sc.cursor, t.sc.line_end);
  }
  {
    // Deep nesting does not wrap a one-byte depth counter.
    cursor_text t(std::string(256, '(') + std::string(256, ')'));
    EXPECT_EQ(sip_scan__comment(t.sc), SIP_RESULT_NOK);
  }
  struct row {
    std::string text;
    uint8_t result;
    size_t pos;
  } rows[] = {
      {R"(abc" x)", SIP_RESULT_OK, 3},  {R"(a\"b" x)", SIP_RESULT_OK, 4},
      {R"(abc)", SIP_RESULT_NOK, 3},    {"a\\", SIP_RESULT_NOK, 1},        // escape at the line end
      {"a\\\x80\"", SIP_RESULT_NOK, 1},                                    // escaped byte above 127
      {"a\xfe\"", SIP_RESULT_NOK, 1},   {"\xc3\xa9\"", SIP_RESULT_OK, 2},  // UTF-8 text is fine
  };
  for (auto& r : rows) {
    cursor_text t(r.text);
    EXPECT_EQ(sip_scan__quoted(t.sc), r.result) << r.text;
    EXPECT_EQ(t.pos(), r.pos) << r.text;
  }
}

TEST(SipScan, CopyDownMovesBytesToTheCursor) {
  cursor_text t("ab  cd");
  t.sc.cursor += 2;
  sip_scan__copy_down(t.sc, t.text.data() + 3, 3);
  EXPECT_EQ(t.text.substr(0, 5), "ab cd");
  EXPECT_EQ(t.pos(), 5u);
}

TEST(SipNum, DecimalAndHexRefuseOverflowAndNonDigits) {
  struct row {
    const char* text;
    bool hex;
    bool ok;
    uint32_t value;
  } rows[] = {
      {"", false, true, 0},
      {"0", false, true, 0},
      {"65535", false, true, 65535},
      {"4294967295", false, true, 4294967295u},
      {"4294967296", false, false, 0},
      {"99999999999", false, false, 0},
      {"12a", false, false, 0},
      {"00000000000000000001", false, true, 1},  // leading zeros do not overflow
      {"ff", true, true, 255},
      {"aF", true, true, 0xAF},
      {"FFFFFFFF", true, true, 0xFFFFFFFFu},
      {"100000000", true, false, 0},
      {"g", true, false, 0},
  };
  for (auto& r : rows) {
    uint32_t v = 77;
    uint16_t n = static_cast<uint16_t>(std::strlen(r.text));
    bool ok = r.hex ? sip_num__hex(r.text, n, &v) : sip_num__dec(r.text, n, &v);
    EXPECT_EQ(ok, r.ok) << r.text;
    EXPECT_EQ(v, r.ok ? r.value : 77u) << r.text;
  }
}

TEST(SipTick, DiffIsSignedAcrossTheWrap) {
  EXPECT_EQ(sip_tick__diff(5, 0xFFFFFFFBu), 10);
  EXPECT_EQ(sip_tick__diff(0xFFFFFFFBu, 5), -10);
  EXPECT_EQ(sip_tick__elapsed_ms(0xFFFFFFF0u, 0x10), 0x20u);
}

TEST(SipHash, Crc16XmodemOfFoldedBytes) {
  EXPECT_EQ(crc16_nocase_hash(0, "123456789", 9), 0x31C3);
  EXPECT_EQ(crc16_nocase_hash(0, "", 0), 0);
  // Upper case hashes like lower case (bytes are folded).
  EXPECT_EQ(crc16_nocase_hash(0, "AbC", 3), crc16_nocase_hash(0, "abc", 3));
  // Known XMODEM values over already-lower-case data.
  EXPECT_EQ(crc16_nocase_hash(0, "a", 1), 0x7C87);
  EXPECT_EQ(crc16_nocase_hash(0, "abc", 3), 0x9DD6);
  // A seed continues a hash over a second piece.
  EXPECT_EQ(crc16_nocase_hash(crc16_nocase_hash(0, "12345", 5), "6789", 4), 0x31C3);
  EXPECT_EQ(sip_hash__str_seeded(0x1234, sip_str{}), 0x1234);
}

TEST(SipHash, CallIdHashAndComparison) {
  static const uint8_t addr[4] = {192, 0, 2, 1};
  static const uint8_t other[4] = {192, 0, 2, 2};
  sip_callid_parsed by_addr{lit("a84b4c76e66710"), 4, addr, sip_str{}};
  sip_callid_parsed by_name{lit("a84b4c76e66710"), 0, nullptr, lit("pc33.example.com")};

  EXPECT_EQ(sip_hash__host(by_addr), crc16_nocase_hash(crc16_nocase_hash(0, "a84b4c76e66710", 14), addr, 4));
  EXPECT_EQ(sip_hash__host(by_name), crc16_nocase_hash(0, "a84b4c76e66710pc33.example.com", 30));

  sip_callid_stored stored_addr{"a84b4c76e66710", 4, addr, ""};
  sip_callid_stored stored_other{"a84b4c76e66710", 4, other, ""};
  sip_callid_stored stored_name{"a84b4c76e66710", 0, nullptr, "pc33.example.com"};
  sip_callid_stored stored_word{"b84b4c76e66710", 4, addr, ""};
  EXPECT_EQ(sip_host__cmp(stored_addr, by_addr), SIP_RESULT_OK);
  EXPECT_EQ(sip_host__cmp(stored_other, by_addr), SIP_RESULT_NOK);
  EXPECT_EQ(sip_host__cmp(stored_word, by_addr), SIP_RESULT_NOK);
  EXPECT_EQ(sip_host__cmp(stored_name, by_name), SIP_RESULT_OK);
  EXPECT_EQ(sip_host__cmp(stored_name, by_addr), SIP_RESULT_NOK);
  EXPECT_EQ(sip_host__cmp(stored_addr, by_name), SIP_RESULT_NOK);
}

TEST(SipOut, AppendsWriteNumbersAndText) {
  char buf[64];
  sip_out__start(buf, sizeof buf);
  sip_out__append_hex_width(0x1F, 4);
  sip_out__append_cstr(" ");
  sip_out__append_hex_width(0x12345, 4);
  sip_out__append_cstr(" ");
  sip_out__append_dec(0);
  sip_out__append_cstr(" ");
  sip_out__append_dec(4294967295u);
  sip_out__append_cstr(" ");
  sip_out__append_hex(0);
  sip_out__append_cstr(" ");
  sip_out__append_hex(0xDEADBEEF);
  sip_out__append_bytes("\r\n", 2);
  EXPECT_FALSE(sip_out.overflow);
  EXPECT_EQ(out_text(buf), "001F 12345 0 4294967295 0 DEADBEEF\r\n");
}

TEST(SipOut, EveryAppendChecksItsRoomAndOverflowSticks) {
  struct append {
    const char* name;
    uint8_t (*fn)();
    size_t needs;
  } appends[] = {
      {"bytes", [] { return sip_out__append_bytes("12345", 5); }, 5},
      {"str",
       [] {
         return sip_out__append_str(sip_str{5, "12345"});
       },
       5},
      {"cstr", [] { return sip_out__append_cstr("12345"); }, 5},
      {"dec", [] { return sip_out__append_dec(12345); }, 5},
      {"hex", [] { return sip_out__append_hex(0x12345); }, 5},
      {"hex_width", [] { return sip_out__append_hex_width(0x1, 5); }, 5},
  };
  for (auto& a : appends) {
    // Guard bytes after the room catch any write past the end.
    char buf[16];
    std::memset(buf, '#', sizeof buf);
    sip_out__start(buf, a.needs - 1);
    EXPECT_EQ(a.fn(), SIP_RESULT_NOK) << a.name;
    EXPECT_TRUE(sip_out.overflow) << a.name;
    EXPECT_EQ(sip_out.ptr, buf) << a.name;
    for (char c : buf) EXPECT_EQ(c, '#') << a.name;
    // Once overflowed, even an append that would fit is refused.
    EXPECT_EQ(sip_out__append_cstr("1"), SIP_RESULT_NOK) << a.name;

    sip_out__start(buf, a.needs);
    EXPECT_EQ(a.fn(), SIP_RESULT_OK) << a.name;
    EXPECT_EQ(sip_out.ptr, buf + a.needs) << a.name;
    EXPECT_EQ(buf[a.needs], '#') << a.name;
  }
  sip_out__start(nullptr, 0);
  EXPECT_EQ(sip_out__append_cstr("x"), SIP_RESULT_NOK);
}

TEST(SipWork, AllocChainsBlocksAndRefusesWhatCannotFit) {
  sip_work__release();
  EXPECT_EQ(sip_work__blocks(), 0);
  void* a = sip_work__alloc(1000);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(sip_work__blocks(), 1);
  // Not counted as used: the same room again.
  EXPECT_EQ(sip_work__alloc(1000), a);
  sip_work__use(1000);
  void* b = sip_work__alloc(600);
  EXPECT_EQ(b, static_cast<char*>(a) + 1000);
  EXPECT_EQ(sip_work__blocks(), 1);
  void* c = sip_work__alloc(601);  // 1000 + 601 > 1600: a new block
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(sip_work__blocks(), 2);
  std::memset(c, 0, 601);
  EXPECT_EQ(sip_work__alloc(SIP_WORK_BLOCK_ROOM + 1), nullptr);

  // The area is bounded: a flood of requests ends in null, never a crash.
  int granted = 0;
  for (int i = 0; i < 1000; ++i) {
    void* p = sip_work__alloc(SIP_WORK_BLOCK_ROOM);
    if (p == nullptr) break;
    sip_work__use(SIP_WORK_BLOCK_ROOM);
    ++granted;
  }
  EXPECT_LE(sip_work__blocks(), SIP_WORK_MAX_BLOCKS);
  EXPECT_LT(granted, 1000);
  const char* text = "10.0.0.1";
  uint16_t len = 8;
  EXPECT_FALSE(sip_str__parse_ipv4(&text, &len));  // no room: string unchanged
  EXPECT_EQ(len, 8);
  sip_work__release();
  EXPECT_EQ(sip_work__blocks(), 0);
  EXPECT_TRUE(sip_str__parse_ipv4(&text, &len));
  sip_work__release();
}
