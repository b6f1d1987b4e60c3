// Identifiers, refresh rule and option-tag formula of ENT_SSC.
#include "sip/ssc/ssc_ident.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <string>

#include "sip/support/loopback_udp.h"

TEST(SscIdent, StatusClass) {
  struct Case {
    bool has;
    u32 status;
    u8 cls;
  };
  const Case cases[] = {{false, 200, 4}, {true, 0, 4},   {true, 99, 4},  {true, 100, 0}, {true, 199, 0},
                        {true, 200, 1},  {true, 299, 1}, {true, 300, 2}, {true, 399, 2}, {true, 400, 3},
                        {true, 420, 3},  {true, 699, 3}, {true, 700, 4}, {true, 35, 4}};
  for (const Case& c : cases) EXPECT_EQ(ssc_status_class(c.has, c.status), c.cls) << c.status;
}

TEST(SscIdent, RefreshRuleNeverWrapsAndIsCapped) {
  struct Case {
    u32 expires;
    u32 ms;
  };
  const Case cases[] = {
      {0, 0},
      {1, 0},
      {60, 30000},
      {1199, 599000},
      {1200, 600000},
      {3600, 3000000},
      // (v - 600) * 1000 overflows u32 from about 4.3 million seconds on:
      // computed wide, then held at the cap instead of wrapping to a short
      // interval.
      {4295567, SSC_REFRESH_MAX_MS},
      {4294967295u, SSC_REFRESH_MAX_MS},
  };
  for (const Case& c : cases) EXPECT_EQ(ssc_refresh_ms(c.expires), c.ms) << c.expires;
  EXPECT_EQ(ssc_seconds_to_ms(4294967295u), SSC_REFRESH_MAX_MS);
  EXPECT_NE(ssc_refresh_ms(4294967295u), SSC_REFRESH_UNKNOWN);
}

TEST(SscIdent, ContactExpiresOverridesExpires) {
  EXPECT_EQ(ssc_expires_refresh(SSC_REFRESH_UNKNOWN, true, 3600, 60), 30000u);
  EXPECT_EQ(ssc_expires_refresh(SSC_REFRESH_UNKNOWN, true, 3600, 0xFFFFFFFFu), 3000000u);
  EXPECT_EQ(ssc_expires_refresh(1234, false, 0, 0xFFFFFFFFu), 1234u);  // neither: unchanged
  EXPECT_EQ(ssc_expires_refresh(1234, false, 0, 0), 0u);               // REGISTER Contact expires=0
}

TEST(SscIdent, TokenMatchesMd5OfValueBytes) {
  // Expected texts from `md5sum` of the value's 4 bytes, least significant
  // first, each digest byte AND 63 into the alphabet.
  char t[64];
  EXPECT_EQ(ssc_make_token(1, t, 64), 17);
  EXPECT_STREQ(t, "3IOAugvrBtCMoxAb");  // md5 4352d88a78aa3975...
  EXPECT_EQ(ssc_make_token(0x12345678, t, 64), 17);
  EXPECT_STREQ(t, "sJcXeN0uAi:Wj8vI");  // md5 f6532621685700b8...
  EXPECT_EQ(ssc_make_token(1, t, 10), 10);
  EXPECT_STREQ(t, "3IOAugvrB");
  EXPECT_EQ(ssc_make_token(1, t, 1), 1);
  EXPECT_STREQ(t, "");
  EXPECT_EQ(ssc_make_token(1, t, 0), 0);
}

// The same rule against the system's md5sum over the 4 value bytes (least
// significant first), for values that exercise every byte position.
TEST(SscIdent, TokenMatchesSystemMd5sum) {
  if (std::system("command -v md5sum >/dev/null 2>&1") != 0) GTEST_SKIP() << "md5sum is not installed";
  const std::string file = ::testing::TempDir() + "ssc_token_" + std::to_string(getpid());
  for (u32 v : {0u, 1u, 0x80u, 0x12345678u, 0xDEADBEEFu, 0xFFFFFFFFu}) {
    const char bytes[4] = {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
                           static_cast<char>(v >> 24)};
    std::ofstream(file, std::ios::binary).write(bytes, 4);
    const std::string hex = ssc_test::run_command("md5sum " + file);
    ASSERT_GE(hex.size(), 32u);
    std::string want;
    for (int i = 0; i < 16; ++i) want += SSC_TOKEN_ALPHABET[std::stoi(hex.substr(2 * i, 2), nullptr, 16) & 63];
    char t[64];
    EXPECT_EQ(ssc_make_token(v, t, sizeof t), 17);
    EXPECT_EQ(std::string(t), want) << std::hex << v;
  }
  std::remove(file.c_str());
}

TEST(SscIdent, DecimalAndHex) {
  char t[16];
  ssc_u32_to_hex(t, sizeof t, 0x1A2B);
  EXPECT_STREQ(t, "1A2B");
  ssc_u32_to_hex(t, sizeof t, 0);
  EXPECT_STREQ(t, "0");
  ssc_u32_to_hex(t, sizeof t, 0xFFFFFFFFu);
  EXPECT_STREQ(t, "FFFFFFFF");
  ssc_u32_to_dec(t, sizeof t, 4294967295u);
  EXPECT_STREQ(t, "4294967295");
  ssc_u32_to_dec(t, sizeof t, 0);
  EXPECT_STREQ(t, "0");
  ssc_u32_to_dec(t, 4, 12345);  // bounded
  EXPECT_STREQ(t, "123");
}

TEST(SscIdent, CallIdsAndTagsDoNotRepeat) {
  // A 15-bit random source repeats within 32768 draws; 64 bits do not.
  std::set<std::string> ids, tags;
  for (int i = 0; i < 40000; ++i) {
    char id[65], tag[65];
    ssc_new_call_id_text(id, sizeof id, 0);
    ssc_new_local_tag(tag, sizeof tag);
    ASSERT_EQ(std::strlen(id), 16u);
    ASSERT_EQ(std::strlen(tag), 16u);
    for (const char* p = id; *p; ++p) ASSERT_NE(std::strchr(SSC_TOKEN_ALPHABET, *p), nullptr);
    for (const char* p = tag; *p; ++p) ASSERT_NE(std::strchr("0123456789ABCDEF", *p), nullptr);
    ASSERT_TRUE(ids.insert(id).second) << i;
    ASSERT_TRUE(tags.insert(tag).second) << i;
  }
}

TEST(SscIdent, BoundedTextCopy) {
  const std::string tag64(64, 'x');
  const std::string tag70(70, 'y');
  char field[65];
  EXPECT_EQ(ssc_copy_text(field, sizeof field, tag64.c_str()), 64u);
  EXPECT_EQ(std::string(field), tag64);
  EXPECT_EQ(ssc_copy_text(field, sizeof field, tag70.c_str()), 64u);
  EXPECT_EQ(std::string(field), tag70.substr(0, 64));
  EXPECT_EQ(ssc_copy_text(field, sizeof field, "ab"), 2u);
  EXPECT_STREQ(field, "ab");
  EXPECT_EQ(ssc_copy_text(field, sizeof field, nullptr), 0u);
  EXPECT_STREQ(field, "");
}

TEST(SscIdent, RequiredOptionTagsFormula) {
  struct Case {
    u32 peer_req, peer_sup, sup, hdr2, req;
    u8 type;
    u32 want;
  };
  const Case cases[] = {
      {0x01, 0, 0x01, 0, 0, 0, 0x01},     // peer requires 100rel, we support it
      {0x01, 0, 0, 0, 0, 0, 0x00},        // peer requires what we do not support
      {0x01, 0, 0, 0x01, 0, 0, 0x01},     // header 2 counts as supported
      {0, 0x04, 0, 0x04, 0, 0, 0x04},     // peer supports what header 2 asks
      {0, 0x04, 0x04, 0, 0, 0, 0x00},     // merely both supported: not required
      {0, 0, 0, 0, 0x08, 4, 0x08},        // our own Require always
      {0x02, 0, 0x02, 0, 0, 0, 0x02},     // timer kept for INVITE (0)
      {0x02, 0, 0x02, 0, 0, 13, 0x02},    // ... its response (13)
      {0x02, 0, 0x02, 0, 0, 11, 0x02},    // ... type 11
      {0x02, 0, 0x02, 0, 0, 23, 0x02},    // ... type 23
      {0x02, 0, 0x02, 0, 0x02, 4, 0x00},  // dropped for OPTIONS
      {0x02, 0, 0x02, 0, 0, 1, 0x00},     // dropped for BYE
  };
  for (const Case& c : cases)
    EXPECT_EQ(ssc_required_tags(c.peer_req, c.peer_sup, c.sup, c.hdr2, c.req, c.type), c.want)
        << c.peer_req << " " << c.peer_sup << " " << c.sup << " " << c.hdr2 << " " << int(c.type);
}

TEST(SscIdent, RequireCheckMaskAndLetters) {
  EXPECT_TRUE(ssc_require_acceptable(0x01, 0x01));
  EXPECT_TRUE(ssc_require_acceptable(0, 0));
  EXPECT_FALSE(ssc_require_acceptable(0x81, 0x01));  // 100rel + unknown tag
  EXPECT_FALSE(ssc_require_acceptable(0x3F, 0x1F));
  const char letters[] = "1trphl";
  for (unsigned b = 0; b < 6; ++b) EXPECT_EQ(ssc_option_tag_letter(b), letters[b]);
  EXPECT_EQ(ssc_option_tag_letter(6), 0);
  EXPECT_EQ(ssc_option_tag_letter(7), 0);
}
