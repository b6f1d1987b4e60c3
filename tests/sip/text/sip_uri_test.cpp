#include "sip/text/sip_uri.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "sip/text/sip_scan.h"
#include "tests/sip/text/sip_text_fixture.h"

namespace {

std::string ip_of(sip_str s) {
  if (s.len != 4) return std::string();
  auto b = reinterpret_cast<const unsigned char*>(s.ptr);
  return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." + std::to_string(b[3]);
}

// Expected record of a URI that parses.  Text fields compare as written;
// numeric fields use the record's absent values unless set.
struct UriCase {
  const char* uri;
  std::uint8_t scheme;
  const char* user;
  const char* password;
  const char* host;
  const char* ipv4;
  std::uint16_t port;
  std::uint8_t transport;
  std::uint8_t user_param;
  std::int8_t global;
  const char* phone;
  const char* params_other;
  const char* headers;
};

constexpr std::uint16_t NP = SIP_PORT_NONE;
constexpr std::uint8_t NC = SIP_CODE_NONE;

// RFC 3261 section 19.1.3 and section 25 forms, RFC 4475 URIs that concern
// parsing, and forms of our own.
const UriCase good_uris[] = {
    {"sip:alice@atlanta.com", 1, "alice", "", "atlanta.com", "", NP, NC, NC, -1, "", "", ""},
    {"sip:alice:secretword@atlanta.com;transport=tcp", 1, "alice", "secretword", "atlanta.com", "", NP, 'T', NC, -1, "",
     "", ""},
    {"sips:1212@gateway.com", 'S', "1212", "", "gateway.com", "", NP, NC, NC, -1, "", "", ""},
    {"sip:alice@192.0.2.4", 1, "alice", "", "", "192.0.2.4", NP, NC, NC, -1, "", "", ""},
    {"sip:alice;day=tuesday@atlanta.com", 1, "alice;day=tuesday", "", "atlanta.com", "", NP, NC, NC, -1, "", "", ""},
    {"sip:+1-212-555-1212:1234@gateway.com;user=phone", 1, "", "1234", "gateway.com", "", NP, NC, 'P', 1,
     "1-212-555-1212", "", ""},
    {"sip:atlanta.com;method=REGISTER?to=alice", 1, "", "", "atlanta.com", "", NP, NC, NC, -1, "", "", "to=alice"},
    {"SIP:Bob@Biloxi.COM:5060", 1, "Bob", "", "Biloxi.COM", "", 5060, NC, NC, -1, "", "", ""},
    {"sip:carol@chicago.com;newparam=5;lr", 1, "carol", "", "chicago.com", "", NP, NC, NC, -1, "", "newparam=5", ""},
    // RFC 4475 3.1.1.10 (escaped user part) and 3.1.1.7 (escaped null).
    {"sip:sips%3Auser%40example.com@example.net", 1, "sips%3Auser%40example.com", "", "example.net", "", NP, NC, NC, -1,
     "", "", ""},
    {"sip:null-%00-null@example.com", 1, "null-%00-null", "", "example.com", "", NP, NC, NC, -1, "", "", ""},
    // RFC 4475 3.1.1.13: user with a ';' and an escaped '@'.
    {"sip:user;par=u%40example.net@example.com", 1, "user;par=u%40example.net", "", "example.com", "", NP, NC, NC, -1,
     "", "", ""},
    {"sip:host.example;maddr=10.0.0.1;ttl=16;transport=sctp;unknownparam", 1, "", "", "host.example", "", NP, 'S', NC,
     -1, "", "unknownparam", ""},
    {"sip:10.1.1.1:65534", 1, "", "", "", "10.1.1.1", 65534, NC, NC, -1, "", "", ""},
    // Other schemes are kept whole as text.
    {"tel:+358-555-1234567", 0, "", "", "tel:+358-555-1234567", "", NP, NC, NC, -1, "", "", ""},
    {"mailto:watson@bell-telephone.com", 0, "mailto:watson", "", "bell-telephone.com", "", NP, NC, NC, -1, "", "", ""},
    // user=phone with a user part that is not a number keeps it as user text.
    {"sip:+1-212-555-EXAMPLE@gw.com;user=phone", 1, "+1-212-555-EXAMPLE", "", "gw.com", "", NP, NC, NC, -1, "", "", ""},
};

class SipUri : public ::testing::Test {
 protected:
  sip_text_fixture text;
  sip_addr addr{};
  void TearDown() override { sip_work__release(); }
  int parse(const std::string& uri) {
    text.load(uri);
    return sip_parse_uri(text.scan, &addr);
  }
};

TEST_F(SipUri, GoodUris) {
  for (const auto& c : good_uris) {
    ASSERT_EQ(parse(c.uri), 2) << c.uri;
    EXPECT_EQ(text.scan.cursor, text.scan.line_end);
    EXPECT_EQ(addr.scheme, c.scheme) << c.uri;
    EXPECT_EQ(str_of(addr.user), c.user) << c.uri;
    EXPECT_EQ(str_of(addr.password), c.password) << c.uri;
    EXPECT_EQ(str_of(addr.host), c.host) << c.uri;
    EXPECT_EQ(ip_of(addr.ipv4), c.ipv4) << c.uri;
    EXPECT_EQ(addr.port, c.port) << c.uri;
    EXPECT_EQ(addr.transport, c.transport) << c.uri;
    EXPECT_EQ(addr.user_param, c.user_param) << c.uri;
    EXPECT_EQ(addr.global, c.global) << c.uri;
    EXPECT_EQ(str_of(addr.phone_number), c.phone) << c.uri;
    EXPECT_EQ(str_of(addr.params_other), c.params_other) << c.uri;
    EXPECT_EQ(str_of(addr.headers), c.headers) << c.uri;
    EXPECT_EQ(str_of(addr.text), c.uri) << c.uri;
  }
}

TEST_F(SipUri, SipsWithEverything) {
  ASSERT_EQ(parse("sips:bob:pw@192.168.1.20:5061;transport=tcp;lr;foo=bar"), 2);
  EXPECT_EQ(addr.scheme, 'S');
  EXPECT_EQ(ip_of(addr.ipv4), "192.168.1.20");
  EXPECT_EQ(addr.port, 5061);
  EXPECT_EQ(addr.transport, 'T');
  EXPECT_EQ(addr.lr, 1);
  EXPECT_EQ(str_of(addr.params_other), "foo=bar");
}

TEST_F(SipUri, ParametersInDetail) {
  ASSERT_EQ(parse("sip:h;TRANSPORT=WS;ttl=255;method=bye;user=ip;maddr=239.255.255.1;lr=on"), 2);
  EXPECT_EQ(addr.transport, NC);
  EXPECT_EQ(str_of(addr.transport_other), "WS");
  EXPECT_EQ(addr.ttl, 255);
  EXPECT_EQ(addr.method_param, 'D');
  EXPECT_EQ(addr.user_param, 'I');
  EXPECT_EQ(str_of(addr.maddr), "239.255.255.1");
  EXPECT_EQ(addr.lr, 1);

  ASSERT_EQ(parse("sip:h;method=FOO;user=np-queried"), 2);
  EXPECT_EQ(addr.method_param, NC);  // an unknown method is ignored
  EXPECT_EQ(str_of(addr.user_other), "np-queried");

  ASSERT_EQ(parse("sip:h;LR"), 2);  // "lr" is recognised in lower case only
  EXPECT_EQ(addr.lr, 0);
  EXPECT_EQ(str_of(addr.params_other), "LR");
}

TEST_F(SipUri, TelephoneNumbers) {
  ASSERT_EQ(parse("sip:+1-(212)-555.1212;isub=1411;postd=pp22;phone-context=example.com;x=y;z=w@gw;user=phone"), 2);
  EXPECT_EQ(addr.global, 1);
  EXPECT_EQ(str_of(addr.phone_number), "1-(212)-555.1212");
  EXPECT_EQ(str_of(addr.isub), "1411");
  EXPECT_EQ(str_of(addr.postd), "pp22");
  EXPECT_EQ(str_of(addr.phone_context), "example.com");
  EXPECT_EQ(str_of(addr.tel_other), "x=y");  // only the first unknown one is kept
  EXPECT_EQ(str_of(addr.user), "");

  ASSERT_EQ(parse("sip:5551234@gw;user=phone"), 2);
  EXPECT_EQ(addr.global, 0);
  EXPECT_EQ(str_of(addr.phone_number), "5551234");

  EXPECT_EQ(parse("sip:12345678901234567890123456@gw;user=phone"), 3);       // 26 digits
  EXPECT_EQ(parse("sip:1234;isub=123456789012345678901@gw;user=phone"), 3);  // isub of 21
}

struct BadUri {
  const char* uri;
  const char* why;
};

const BadUri bad_uris[] = {
    {"sip:@example.com", "empty user before '@'"},
    {"sip:example.com:0", "port 0"},
    {"sip:example.com:65535", "port 65535"},
    {"sip:example.com:99999999999", "port overflow"},
    {"sip:example.com:", "port without digits"},
    {"sip:", "no host"},
    {"sip:[2001:db8::10]", "IPv6 reference (RFC 4475 3.1.1.x): no IPv6 hosts here"},
    {"sip:user@example.com;=x", "empty parameter name"},
    {"sip:example.com;transport=", "empty transport"},
    {"sip:example.com;transport=abcdefghi", "transport text of 9"},
    {"sip:example.com;user=abcdefghijklmnopq", "user parameter text of 17"},
    {"sip:example.com;ttl=256", "ttl above 255"},
    {"sip:example.com;maddr=", "empty maddr"},
    {"sip:example.com garbage", "text after the host"},
    {"sip:example.com?subject=project%20x&priority=urgent", "headers longer than 20 (RFC 3261 19.1.3)"},
    {"sip:300.0.0.1", "dotted quad with an octet above 255"},
    {"sip:1.2.3.1234", "dotted quad with a group of four digits"},
    {"sip:user@exa mple.com", "blank in the host"},
    {"sip:us\"er@example.com", "quote in the user"},
    {"sip:us%4@example.com", "bad escape in the user"},
    {"sip:a<b@example.com", "a byte that is neither user text nor a password"},
};

TEST_F(SipUri, BadUris) {
  for (const auto& c : bad_uris) {
    EXPECT_EQ(parse(c.uri), 3) << c.uri << " (" << c.why << ")";
    EXPECT_EQ(text.scan.cursor, text.scan.line_end) << c.uri;
  }
}

TEST_F(SipUri, UserAndHostAreLimitedTo64) {
  EXPECT_EQ(parse("sip:" + std::string(64, 'u') + "@" + std::string(64, 'h')), 2);
  EXPECT_EQ(parse("sip:" + std::string(65, 'u') + "@h"), 3);
  EXPECT_EQ(parse("sip:u@" + std::string(65, 'h')), 3);
  EXPECT_EQ(parse("sip:u:" + std::string(65, 'p') + "@h"), 3);
}

TEST_F(SipUri, NoParamsFormStopsAtTheHostAndPort) {
  text.load("sip:alice@atlanta.com:5070  ");
  EXPECT_EQ(sip_parse_uri_noparams(text.scan, &addr), 2);
  EXPECT_EQ(addr.port, 5070);
  text.load("sip:alice@atlanta.com?x=1");
  EXPECT_EQ(sip_parse_uri_noparams(text.scan, &addr), 3);
  text.load("tel:+1-555");
  EXPECT_EQ(sip_parse_uri_noparams(text.scan, &addr), 2);
  EXPECT_EQ(str_of(addr.host), "tel:+1-555");
}

TEST_F(SipUri, ParsingStopsAtLineEnd) {
  // The caller bounds the URI, e.g. at the '>' of a name-address.
  text.load("sip:a@b.example>;tag=1");
  text.scan.line_end = text.scan.cursor + 15;
  ASSERT_EQ(sip_parse_uri(text.scan, &addr), 2);
  EXPECT_EQ(str_of(addr.host), "b.example");
  EXPECT_EQ(*text.scan.cursor, '>');
}

TEST(SipHostDottedQuad, TellsMalformedQuadsFromNames) {
  struct {
    const char* host;
    bool malformed;
  } cases[] = {
      {"10.0.0.1", false}, {"300.0.0.1", true},  {"1.2.3.1000", true}, {"example.com", false},
      {"1.2.3", false},    {"1.2.3.4.5", false}, {"1..2.3", false},    {"1.2.3.4a", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(sip_host__dotted_quad_test(sip_str{static_cast<std::uint16_t>(std::strlen(c.host)), c.host}), c.malformed)
        << c.host;
}

}  // namespace
