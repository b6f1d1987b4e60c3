#include "sip/text/sdp_str.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

sip_str counted(const std::string& s) { return sip_str{static_cast<uint16_t>(s.size()), s.data()}; }

// Members of each class bit, as the class table lists them by range.
std::string members(uint32_t bit) {
  std::string s;
  for (int c = 0; c < 256; ++c)
    if (sdp_in_class(static_cast<uint8_t>(c), bit)) s += static_cast<char>(c);
  return s;
}

}  // namespace

TEST(SdpClass, MembersOfEachBit) {
  struct row {
    uint32_t bit;
    std::string chars;
  } rows[] = {
      {0x1, "0123456789"},
      {0x2, "#*0123456789"},
      {0x4, "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"},
      {0x8, "0123456789ABCDEFabcdef"},
      {0x10, "+/"},
      {0x20, "!\"#&'*+-.0123456789=?@ABCDEFGHIJKLMNOPQRSTUVWXYZ[]^_`abcdefghijklmnopqrstuvwxyz{|}~"},
      {0x40, " /;"},
      {0x100, "-_"},
      {0x200, "\t "},
      {0x400, "!\"#$%&'()+,-.0123456789:;<=>?ABCDEFGHIJKLMNOPQRSTUVWXYZ[\\]^_`abcdefghijklmnopqrstuvwxyz{|}"},
      {0x800, ","},
      {0x1000, "!#$%&'*+-.0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ^_`abcdefghijklmnopqrstuvwxyz{|}~"},
      {0x2000, "$*/"},
      {0x4000, ":"},
      {0x8000, "@~"},
      {0x10000, "$*-"},
  };
  for (auto& r : rows) EXPECT_EQ(members(r.bit), r.chars) << std::hex << r.bit;
  EXPECT_EQ(members(0x80).size(), 95u);
  EXPECT_EQ(members(0x80).front(), ' ');
  EXPECT_EQ(members(0x80).back(), '~');
  EXPECT_FALSE(sdp_in_class(0xE9, 0xFFFFFFFF));  // bytes of 128 and above: no class
}

TEST(SdpClass, CheckClass) {
  EXPECT_EQ(sdp_str__check_class(sip_str{}, 1, SDP_CL_DIGIT), SIP_RESULT_NOK);
  EXPECT_EQ(sdp_str__check_class(sip_str{}, 0, SDP_CL_DIGIT), SIP_RESULT_OK);
  EXPECT_EQ(sdp_str__check_class(counted("12345"), 1, SDP_CL_DIGIT), SIP_RESULT_OK);
  EXPECT_EQ(sdp_str__check_class(counted("123a5"), 1, SDP_CL_DIGIT), SIP_RESULT_NOK);
  EXPECT_EQ(sdp_str__check_class(counted("12a"), 1, SDP_CL_DIGIT | SDP_CL_ALPHA), SIP_RESULT_OK);
  sip_str with_nul;
  sip_str__from_cstr(&with_nul, "123");  // the final NUL is not checked
  EXPECT_EQ(sdp_str__check_class(with_nul, 1, SDP_CL_DIGIT), SIP_RESULT_OK);
  EXPECT_EQ(sdp_str__check_class(counted("1\xE9"), 1, 0xFFFFFFFF), SIP_RESULT_NOK);
}

TEST(SdpKeyword, LookupMatchesWholeKeywordsLastRowFirst) {
  static const sdp_keyword_row table[] = {
      {0x10, "udptl"}, {0x11, "UDPTL"}, {0x20, "udp"}, {0x99, nullptr}, {0x21, "udp"},
  };
  const std::string text = "udptl T38";
  const char* p = text.data();
  uint8_t code = 0;
  EXPECT_EQ(sdp_keyword__lookup(&p, 5, table, 5, &code), SIP_RESULT_OK);
  EXPECT_EQ(code, 0x10);
  EXPECT_EQ(p, text.data() + 5);

  // Length 3 finds "udp" (the last such row), never a prefix of "udptl".
  p = text.data();
  EXPECT_EQ(sdp_keyword__lookup(&p, 3, table, 5, &code), SIP_RESULT_OK);
  EXPECT_EQ(code, 0x21);
  p = text.data();
  EXPECT_EQ(sdp_keyword__lookup(&p, 4, table, 5, &code), SIP_RESULT_NOK);
  EXPECT_EQ(p, text.data());

  const std::string upper = "UDPTL";
  p = upper.data();
  EXPECT_EQ(sdp_keyword__lookup(&p, 5, table, 5, &code), SIP_RESULT_OK);
  EXPECT_EQ(code, 0x11);
  // Without case, the last matching row wins.
  const std::string mixed = "UdPtL";
  p = mixed.data();
  EXPECT_EQ(sdp_keyword__lookup(&p, 5, table, 5, &code), SIP_RESULT_NOK);
  EXPECT_EQ(sdp_keyword__lookup_nocase(&p, 5, table, 5, &code), SIP_RESULT_OK);
  EXPECT_EQ(code, 0x11);
  EXPECT_EQ(sdp_keyword__lookup(&p, 5, table, 0, &code), SIP_RESULT_NOK);
}

TEST(SdpWork, RoomNeverPassesTheCapacity) {
  uint8_t bytes[16];
  sdp_work_buf w{bytes, 10, sizeof bytes};
  EXPECT_EQ(sdp_work__room(6, &w), bytes + 10);
  EXPECT_EQ(sdp_work__room(7, &w), nullptr);
  EXPECT_EQ(w.size, 10);
  EXPECT_EQ(sdp_work__room(1, nullptr), nullptr);
}
