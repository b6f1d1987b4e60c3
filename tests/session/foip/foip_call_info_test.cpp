// Party, host and product fields read from SSC address headers, cut to their
// fields, and the media-address trace text.
#include "session/foip/foip_call_info.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "runtime/entity_ids.h"

namespace {

ssc_hdr_name_addr header() {
  ssc_hdr_name_addr h;
  std::memset(&h, 0xFF, sizeof h);  // as a fresh instance: nothing set
  h.next = nullptr;
  return h;
}

TEST(FoipCallInfo, UserPart) {
  const std::string digits30(30, '7');
  const std::string long_name(100, 'n');
  struct row {
    const char* name;
    u8 form, global;
    const char* number;
    const char* user;
    u8 want_result, want_kind;
    std::string want_name, want_phone;
  };
  const row rows[] = {
      {"global number keeps 24 digits", 'P', 1, digits30.c_str(), nullptr, 2, 1, "", "+" + std::string(24, '7')},
      {"local number", 'P', 0, "1234", nullptr, 2, 1, "", "1234"},
      {"user name cut to 64", 'U', 0, nullptr, long_name.c_str(), 2, 2, std::string(64, 'n'), ""},
      {"no user", 'U', 0, nullptr, nullptr, 3, 0, "", ""},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    ssc_hdr_name_addr h = header();
    h.uri.user_form = r.form;
    h.uri.tel_global = r.global;
    if (r.number) h.uri.tel_number = r.number;
    if (r.user) h.uri.user = r.user;
    u8 kind = 99;
    char name[FOIP_CALL__USER_NAME_SIZE];
    char phone[FOIP_CALL__PHONE_SIZE];
    EXPECT_EQ(read_sip_user_part(&h, &kind, name, phone), r.want_result);
    EXPECT_EQ(kind, r.want_kind);
    EXPECT_EQ(name, r.want_name);
    EXPECT_EQ(phone, r.want_phone);
  }
  u8 kind = 0;
  char name[FOIP_CALL__USER_NAME_SIZE];
  char phone[FOIP_CALL__PHONE_SIZE];
  EXPECT_EQ(read_sip_user_part(nullptr, &kind, name, phone), 3);
}

TEST(FoipCallInfo, HostPart) {
  ssc_hdr_name_addr h = header();
  const std::string host(80, 'h');
  h.uri.host_family = 'N';
  h.uri.host_name = host.c_str();
  h.uri.port = 0xFFFF;
  foip__full_ip_addr a;
  EXPECT_EQ(read_sip_host_part(&h, a), 2);
  EXPECT_EQ(a.ip_port, 5060);
  EXPECT_EQ(a.ip_addr.ip_family, OM_IP_FAMILY_NONE);
  EXPECT_EQ(std::string(a.sz_fqdn), std::string(64, 'h'));

  h.uri.host_family = '4';
  const u8 v4[4] = {192, 0, 2, 9};
  std::memcpy(h.uri.host_v4, v4, 4);
  h.uri.port = 5070;
  EXPECT_EQ(read_sip_host_part(&h, a), 2);
  EXPECT_EQ(a.ip_port, 5070);
  EXPECT_EQ(a.ip_addr.ip_family, OM_IP_FAMILY_V4);
  EXPECT_EQ(a.ip_addr.addr.v4.addr[3], 9);
  EXPECT_EQ(a.sz_fqdn[0], '\0');

  EXPECT_EQ(read_sip_host_part(nullptr, a), 3);
  EXPECT_EQ(a.ip_addr.ip_family, OM_IP_FAMILY_NONE);
}

TEST(FoipCallInfo, UserAgentTextsStayInTheirFields) {
  const std::string p(50, 'p'), v(50, 'v'), c(50, 'c');
  ssc_hdr_product h{nullptr, p.c_str(), v.c_str(), c.c_str()};
  char product[FOIP_CALL__PRODUCT_SIZE], version[FOIP_CALL__VERSION_SIZE], comment[FOIP_CALL__COMMENT_SIZE];
  read_sip_user_agent(&h, product, version, comment);
  EXPECT_EQ(std::string(product), std::string(31, 'p'));
  EXPECT_EQ(std::string(version), std::string(15, 'v'));
  EXPECT_EQ(std::string(comment), std::string(31, 'c'));
  read_sip_user_agent(nullptr, product, version, comment);
  EXPECT_EQ(product[0], '\0');
}

TEST(FoipCallInfo, MediaAddressText) {
  const u8 v4[4] = {127, 0, 0, 1};
  char out[200];
  struct row {
    const char* name;
    u8 family;
    const char* want;
  };
  const row rows[] = {
      {"", 4, "L = [127.0.0.1] (4002)\n"},
      {"media.example", 4, "L = \"media.example\" [127.0.0.1] (4002)\n"},
      {"", 6, "L = (IPv6 not supported) (4002)\n"},
      {"media.example", 9, "L = \"media.example\" [empty] (4002)\n"},
  };
  for (const row& r : rows) {
    const std::size_t n = format_media_address(out, sizeof out, "L = ", r.name, r.family, v4, 4002);
    EXPECT_STREQ(out, r.want);
    EXPECT_EQ(n, std::strlen(r.want));
  }
  char small[10];
  EXPECT_EQ(format_media_address(small, sizeof small, "L = ", "", 4, v4, 4002), 9u);
  EXPECT_STREQ(small, "L = [127.");
}

}  // namespace

namespace {

std::string sm_report(std::vector<u8> body, std::size_t room = 600) {
  std::vector<char> out(room + 1, '#');
  const std::size_t n = format_sm_report_in(out.data(), room, body.data(), static_cast<u32>(body.size()), "  ", 3, 70);
  EXPECT_EQ(out[room], '#');  // nothing past the room
  EXPECT_EQ(std::strlen(out.data()), n);
  return out.data();
}

std::string ssc_error(std::vector<u8> body) {
  char out[600];
  const std::size_t n = format_ssc_error_in(out, sizeof out, body.data(), static_cast<u32>(body.size()), 3, 70);
  EXPECT_EQ(std::strlen(out), n);
  return out;
}

}  // namespace

// The detail lines of SM_REPORT_IN, by origin and kind (golden texts).
TEST(FoipCallInfo, SmReportInDetails) {
  std::vector<u8> tag_body = {'~', 'e', 0xFF, 0xFF, 255, 0};
  for (int i = 0; i < 70; ++i) tag_body.push_back(i == 3 ? 0x01 : 'x');  // no end within its field
  const struct {
    const char* what;
    std::vector<u8> body;
    std::string want;
  } rows[] = {
      {"ENT_SSC error: the cause by name, the states given",
       {ENT_SSC, 'r', 'b', 0, 0x10, 0x00, 3, 255, 7, 0xE1},
       "  cause              = (98) SSC_DISCARDED_EVENT\n  code               = 225\n"
       "  dialog_state       = 3\n  call_state         = 7\n"},
      {"ENT_SSC error: a cause without name",
       {ENT_SSC, 'r', 'd', 0, 27, 0, 255, 4, 255, 0},
       "  cause              = (100) ??\n  code               = 0\n  subscription_state = 4\n"},
      {"ENT_SSC event, no state",
       {ENT_SSC, 'e', 'A', 0, 0, 0, 255, 255, 255, 193, 0, 0},
       "  cause              = 65\n  code               = 193\n"},
      {"ENT_SIP dialog event",
       {'~', 'e', 0xFF, 0xFF, 255, 7, 'a', '1', 'b', 0, 'z'},
       "  Call state : confirmed\n  Call tag   : \"a1b\""},
      {"ENT_SIP dialog event, unknown state, tag cut to its field", tag_body,
       "  Call state : ??\n  Call tag   : \"xxx?" + std::string(61, 'x') + "\""},
      {"ENT_SIP error naming a parameter",
       {'~', 'r', 20, 0, 54, 255, 0},
       "  Warning report from SIP thru SM_REPORT_IN (nai 3 conn_id 70)\n"
       "   Error         : (20) Parameter number error (20 internal SIP)\n   Parameter     : TO (54)\n"},
      {"ENT_SIP error with an extended error",
       {'~', 'r', 38, 0, 2, 255, 0},
       "  Warning report from SIP thru SM_REPORT_IN (nai 3 conn_id 70)\n"
       "   Error         : (38) Transaction error (38 internal SIP)\n   Extended error: 2\n"},
      {"ENT_SIP error of a number without text",
       {'~', 'r', 0xF5, 0x01, 0, 255, 0},
       "  Warning report from SIP thru SM_REPORT_IN (nai 3 conn_id 70)\n"
       "   Error         : (501) The SIP request method is not implemented here (501)\n   Extended error: 0\n"},
      {"status report", {ENT_SSC, 's', 0, 0, 0, 0, 0, 0, 0, 0}, ""},
      {"ENT_SSC body too short", {ENT_SSC, 'r', 'b', 0, 0}, ""},
      {"ENT_SIP error too short", {'~', 'r', 20, 0}, ""},
      {"empty", {}, ""},
  };
  for (const auto& r : rows) EXPECT_EQ(sm_report(r.body), r.want) << r.what;
  // A short room cuts the text, terminated.
  EXPECT_EQ(sm_report({ENT_SSC, 'e', 'A', 0, 0, 0, 255, 255, 255, 193}, 12), "  cause    ");
}

// The report of SSC_ERROR_IN by origin (golden texts).
TEST(FoipCallInfo, SscErrorInReport) {
  const struct {
    const char* what;
    std::vector<u8> body;
    const char* want;
  } rows[] = {
      {"from ENT_SSC",
       {ENT_SSC, 0, 0x84, 0x03, 255, 0, 0, 0xE1},
       " Warning report from SIP_SC thru SSC_ERROR_IN (nai 3 conn_id 70)\n  Origin     : SIP_SC entity\n"
       "  Error      : (900) Unknown error\n  Fatal error: No\n"},
      {"from ENT_SIP, fatal, no parameter",
       {'~', 0, 24, 0, 255, 0, 1, 'A'},
       " FATAL Error report from SIP thru SIP_ERROR_IN (nai 3 conn_id 70)\n  Origin     : SIP entity\n"
       "  Error      : (24) No response from remote gateway (24 internal SIP)\n  Primitive  : SIP_INVITE_RQ\n"
       "  Fatal error: Yes\n"},
      {"from ENT_SIP with a parameter",
       {'~', 0, 26, 0, 255, 23, 0, 'a'},
       " Warning report from SIP_SC thru SSC_ERROR_IN (nai 3 conn_id 70)\n  Origin     : SIP entity\n"
       "  Error      : (26) Parameter missing (26 internal SIP)\n  Parameter  : (23) FROM\n"
       "  Primitive  : SIP_INVITE_RS\n  Fatal error: No\n"},
      {"too short", {'~', 0, 26, 0, 255, 23, 0}, ""},
  };
  for (const auto& r : rows) EXPECT_EQ(ssc_error(r.body), r.want) << r.what;
}
