// Phone-number filter, the host's own address, and the bounded text and
// strict IPv4 helpers of the configuration records.
#include "session/config/app_foip_mngt.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/netif.h"
#include "session/config/foip_param.h"

namespace {

TEST(PhoneFilter, KeepsDropsAndRefuses) {
  struct {
    const char* text;
    std::size_t room;
    uint8_t result;
    const char* out;
  } cases[] = {
      {"+33144556677", 26, APP_FOIP_MNGT__PHONE_KEPT, "+33144556677"},
      {"AaBbCcDdpPwW-.()", 26, APP_FOIP_MNGT__PHONE_KEPT, "AaBbCcDdpPwW-.()"},
      {"+33 1 44#55*66", 26, APP_FOIP_MNGT__PHONE_FILTERED, "+331445566"},
      {"Ee Ff", 26, APP_FOIP_MNGT__PHONE_FILTERED, ""},
      {"12%2F34", 26, APP_FOIP_MNGT__PHONE_KEPT, "12%2F34"},
      {"12%2G34", 26, APP_FOIP_MNGT__PHONE_REFUSED, "12"},
      {"12%2", 26, APP_FOIP_MNGT__PHONE_REFUSED, "12"},
      {"12%", 26, APP_FOIP_MNGT__PHONE_REFUSED, "12"},
      // The terminating NUL counts against the room.
      {"12345", 6, APP_FOIP_MNGT__PHONE_KEPT, "12345"},
      {"123456", 6, APP_FOIP_MNGT__PHONE_REFUSED, "12345"},
      {"1%41", 4, APP_FOIP_MNGT__PHONE_REFUSED, "1"},
      {"", 1, APP_FOIP_MNGT__PHONE_KEPT, ""},
      {nullptr, 4, APP_FOIP_MNGT__PHONE_KEPT, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text != nullptr ? c.text : "(null)");
    char out[32];
    std::memset(out, 'x', sizeof out);
    EXPECT_EQ(app_foip_mngt__filter_phone_number(c.text, out, c.room), c.result);
    EXPECT_STREQ(out, c.out);
    EXPECT_LT(std::strlen(out), c.room);
  }
  char none[1] = {'x'};
  EXPECT_EQ(app_foip_mngt__filter_phone_number("1", none, 0), APP_FOIP_MNGT__PHONE_REFUSED);
  EXPECT_EQ(none[0], 'x');
}

TEST(LocalAddress, FirstNonLoopbackInterfaceAddressOrZero) {
  om_ip_addr_t a;
  app_foip_mngt__get_local_ip_address(&a);
  EXPECT_EQ(a.ip_family, OM_IP_FAMILY_V4);
  std::optional<uint32_t> expected = platform::FirstHostIPv4Address();
  EXPECT_EQ(foip__get_ipv4(a), expected.value_or(0));
  EXPECT_NE(a.addr.v4.addr[0], 127);
}

TEST(FoipParam, StrictIpv4) {
  struct {
    const char* text;
    bool ok;
    uint8_t b[4];
  } cases[] = {
      {"192.0.2.10", true, {192, 0, 2, 10}},
      {"0.0.0.0", true, {0, 0, 0, 0}},
      {"255.255.255.255", true, {255, 255, 255, 255}},
      {"256.1.1.1", false, {}},
      {"1.2.3.300", false, {}},
      {"1.2.3", false, {}},
      {"1.2.3.4.5", false, {}},
      {"1.2.3.4 ", false, {}},
      {" 1.2.3.4", false, {}},
      {"1.2.3.4x", false, {}},
      {"0x7f.0.0.1", false, {}},
      {"1..3.4", false, {}},
      {"0001.2.3.4", false, {}},
      {"", false, {}},
      {nullptr, false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text != nullptr ? c.text : "(null)");
    uint32_t v = 0xDEADBEEF;
    EXPECT_EQ(foip__parse_ipv4(c.text, &v), c.ok);
    if (c.ok) EXPECT_EQ(std::memcmp(&v, c.b, 4), 0);
    else EXPECT_EQ(v, 0xDEADBEEFu);
  }
}

TEST(FoipParam, BoundedTextCopies) {
  char field[5];
  EXPECT_TRUE(foip__copy_text(field, "abcd"));
  EXPECT_STREQ(field, "abcd");
  EXPECT_FALSE(foip__copy_text(field, "abcdef"));
  EXPECT_STREQ(field, "abcd");
  EXPECT_TRUE(foip__copy_text(field, nullptr));
  EXPECT_STREQ(field, "");
  // Overlapping source (a field copied onto itself) stays intact.
  foip__copy_text(field, "xyz");
  EXPECT_TRUE(foip__copy_text(field, field));
  EXPECT_STREQ(field, "xyz");
}

}  // namespace
