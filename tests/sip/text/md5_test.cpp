#include "sip/text/md5.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

std::string hex(const std::uint8_t d[16]) {
  std::string s;
  char b[3];
  for (int i = 0; i < 16; ++i) {
    std::snprintf(b, sizeof b, "%02x", d[i]);
    s += b;
  }
  return s;
}

std::string md5_of(const std::string& text) {
  md5_ctx ctx;
  md5_init(&ctx);
  md5_update(&ctx, text.data(), std::uint32_t(text.size()));
  std::uint8_t d[16];
  md5_final(d, &ctx);
  return hex(d);
}

struct Md5Vector {
  const char* input;
  const char* digest;
};

// The test suite of RFC 1321, appendix A.5.
constexpr Md5Vector rfc1321_suite[] = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"1234567890123456789012345678901234567890123456789012345678901234567890"
     "1234567890",
     "57edf4a22be3c955ac49da2e2107b67a"},
};

TEST(Md5, Rfc1321Suite) {
  for (const auto& v : rfc1321_suite) EXPECT_EQ(md5_of(v.input), v.digest) << '"' << v.input << '"';
}

TEST(Md5, PiecesGiveTheSameDigestAsOneCall) {
  const std::string whole = "Mufasa:testrealm@host.com:Circle Of Life";
  md5_ctx ctx;
  md5_init(&ctx);
  md5_update(&ctx, "Mufasa", 6);
  md5_update(&ctx, ":", 1);
  md5_update(&ctx, "testrealm@host.com:Circle Of Life", 33);
  std::uint8_t d[16];
  md5_final(d, &ctx);
  EXPECT_EQ(hex(d), md5_of(whole));
  // H(A1) of the RFC 2617 example.
  EXPECT_EQ(hex(d), "939e7578ed9e3c518a452acee763bce9");
}

TEST(Md5, PaddingAtTheBlockBoundaries) {
  // 55 bytes pad inside one block, 56 need a second one; 63/64/65 cross the
  // buffer boundary.  Digests from an independent MD5 (coreutils md5sum).
  struct {
    std::size_t n;
    const char* digest;
  } cases[] = {
      {55, "ef1772b6dff9a122358552954ad0df65"}, {56, "3b0c8ac703f828b04c6c197006d17218"},
      {63, "b06521f39153d618550606be297466d5"}, {64, "014842d480b571495a4a0363793f7367"},
      {65, "c743a45e0d2e6a95cb859adae0248435"}, {1000, "cabe45dcc9ae5b66ba86600cca6b8ba8"},
  };
  for (const auto& c : cases) EXPECT_EQ(md5_of(std::string(c.n, 'a')), c.digest) << c.n;
}

TEST(Md5, FeedingByteByByteMatchesOneCall) {
  std::string text(200, '\0');
  for (std::size_t i = 0; i < text.size(); ++i) text[i] = char(i * 7 + 3);
  md5_ctx ctx;
  md5_init(&ctx);
  for (char c : text) md5_update(&ctx, &c, 1);
  std::uint8_t d[16];
  md5_final(d, &ctx);
  EXPECT_EQ(hex(d), md5_of(text));
}

TEST(Md5, FinalWipesTheContext) {
  md5_ctx ctx;
  md5_init(&ctx);
  md5_update(&ctx, "secret", 6);
  std::uint8_t d[16];
  md5_final(d, &ctx);
  const auto* p = reinterpret_cast<const std::uint8_t*>(&ctx);
  for (std::size_t i = 0; i < sizeof ctx; ++i) ASSERT_EQ(p[i], 0) << i;
}

}  // namespace
