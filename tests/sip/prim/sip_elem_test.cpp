// Element encoders and decoders: golden bytes written out from the element
// layouts' byte tables (not from the code's layout rows), and the decoders'
// rules as tables of cases.
#include "sip/prim/sip_elem.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "common/byte_order.h"
#include "sip/text/sip_branch.h"
#include "tests/sip/text/sip_text_fixture.h"

namespace {

// A text as the parser records it: its characters, no NUL.
sip_str S(const char* text) { return sip_str{static_cast<std::uint16_t>(std::strlen(text)), text}; }
const std::uint8_t ADDR[4] = {192, 0, 2, 7};
sip_str RAW4() { return sip_str{4, reinterpret_cast<const char*>(ADDR)}; }

sip_addr uri(const char* user, const char* host) {
  sip_addr a{};
  a.scheme = 1;
  a.global = -1;
  a.port = 0xFFFF;
  a.transport = a.ttl = a.user_param = a.method_param = 0xFF;
  a.lr = 0;
  a.user = S(user);
  a.host = S(host);
  return a;
}

sip_name_addr name_addr(const char* user, const char* host) {
  sip_name_addr n{};
  n.addr = uri(user, host);
  return n;
}

sip_via_rec via(const char* branch) {
  sip_via_rec v{};
  v.protocol = 1;
  v.transport = 'U';
  v.port = 5060;
  v.rport = 0xFFFF;
  v.ttl = 0xFF;
  v.version = S("2.0");
  v.host_ipv4 = RAW4();
  v.branch = S(branch);
  return v;
}

// The expected bytes of one node, written field by field from the byte
// tables: fixed part first, then each variable field in the order the
// test adds them (ascending length-field offset).
struct golden {
  std::vector<std::uint8_t> fixed;
  std::vector<std::uint8_t> var;
  explicit golden(std::size_t n) : fixed(n, 0) {}
  golden& u8(std::size_t off, std::uint8_t v) {
    fixed.at(off) = v;
    return *this;
  }
  golden& u16(std::size_t off, std::uint16_t v) {  // little-endian host
    fixed.at(off) = static_cast<std::uint8_t>(v);
    fixed.at(off + 1) = static_cast<std::uint8_t>(v >> 8);
    return *this;
  }
  golden& u32(std::size_t off, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) fixed.at(off + i) = static_cast<std::uint8_t>(v >> (8 * i));
    return *this;
  }
  golden& text(std::size_t off, const std::string& s) {
    u16(off, static_cast<std::uint16_t>(s.size() + 1));
    var.insert(var.end(), s.begin(), s.end());
    var.push_back(0);
    return *this;
  }
  golden& raw(std::size_t off, std::vector<std::uint8_t> b) {
    u16(off, static_cast<std::uint16_t>(b.size()));
    var.insert(var.end(), b.begin(), b.end());
    return *this;
  }
  std::vector<std::uint8_t> bytes() const {
    std::vector<std::uint8_t> out = fixed;
    out.insert(out.end(), var.begin(), var.end());
    return out;
  }
};

// A one-slot flat body holding `n` instances of `id` from the work area.
struct body {
  std::vector<std::uint8_t> area = std::vector<std::uint8_t>(8192);
  std::uint16_t size = 0;
  body(sip_header_id id, unsigned n) {
    sip_prim__init_flat(2, area.data(), static_cast<std::uint32_t>(area.size()), sip_prim_cur);
    for (unsigned i = 0; i < n; ++i) {
      sip_hdr_area.index = static_cast<std::uint8_t>(i);
      sip_elem__encode(id, 0);
    }
    sip_hdr_area.index = 0;
    size = sip_prim__finish(sip_prim_cur);
    EXPECT_FALSE(sip_prim_cur.failed);
  }
  // The bytes of the first node (to the end of the body).
  std::vector<std::uint8_t> first_node() const {
    const std::uint16_t at = get_host16(area.data());
    return std::vector<std::uint8_t>(area.begin() + at, area.begin() + size);
  }
  std::uint8_t* node(unsigned k) {
    std::uint16_t at = get_host16(area.data());
    while (k-- > 0) at = get_host16(area.data() + at);
    return area.data() + at;
  }
  std::uint16_t decode(sip_header_id id) {
    sip_hdr_area.count[sip_hdr_slot(id)] = 0;
    sip_prim__open(area.data(), size, sip_prim_cur);
    return sip_elem__decode(id, area.data());
  }
};

std::string str(sip_str s) { return std::string(s.ptr == nullptr ? "" : s.ptr, sip_str__chars(s)); }

class SipElem : public ::testing::Test {
 protected:
  void SetUp() override {
    sip_hdr_count__reset();
    sip_prim_area = sip_prim_area_t{};
    sip_prim_code = 'A';
    sip_prim_env = sip_prim_services{};
  }
  void TearDown() override {
    sip_work__release();
    sip_prim_env = sip_prim_services{};
  }
};

}  // namespace

// ---------------------------------------------------------------------------
// Golden bytes

TEST_F(SipElem, RouteAndAssertedIdentityDifferOnlyInTheirLastField) {
  sip_name_addr n = name_addr("", "proxy.x");
  n.addr.lr = 1;
  sip_hdr_area.route[0] = n;
  sip_hdr_area.p_asserted_identity[0] = n;
  auto common = [](std::size_t fixed) {
    golden g(fixed);
    g.u8(3, 1).u8(4, 0xFF).u16(6, 0xFFFF).u8(8, 0xFF).u8(9, 0xFF).u8(10, 0xFF).u8(11, 0xFF).u8(12, 1);
    g.text(34, "proxy.x");
    return g;
  };
  const auto route = body(sip_header_id::route, 1).first_node();
  EXPECT_EQ(route, common(50).bytes());
  EXPECT_EQ(route.size(), 58u);  // 50 fixed + 8 for a 7-character host
  EXPECT_EQ(get_host16(route.data() + 34), 8);
  EXPECT_EQ(body(sip_header_id::p_asserted_identity, 1).first_node(), common(48).bytes());

  // With other header parameters the Route carries them last, at 48.
  sip_hdr_area.route[0].params_other = S("x=1");
  sip_hdr_area.route[0].display = S("Bob");
  golden g = common(50);
  g.var.clear();
  g.text(26, "Bob").text(34, "proxy.x").text(48, "x=1");
  EXPECT_EQ(body(sip_header_id::route, 1).first_node(), g.bytes());
}

TEST_F(SipElem, ChallengesPlaceTheNonceByTheirDomainField) {
  sip_challenge_rec c{};
  c.scheme = 'D';
  c.stale = 0xFF;
  c.algorithm = 'M';
  c.aka_version = 0xFF;
  c.realm = S("r");
  c.domain = S("d");
  c.nonce = S("n0");
  c.qop_count = 2;
  c.qop_options[0] = 'A';
  c.qop_options[1] = 'I';
  sip_hdr_area.www_authenticate = c;
  sip_hdr_area.proxy_authenticate = c;
  golden w(22);
  w.u8(2, 'D').u8(3, 0xFF).u8(4, 'M').u8(5, 0xFF);
  w.text(6, "r").text(8, "d").text(10, "n0").raw(16, {'A', 'I'});
  EXPECT_EQ(body(sip_header_id::www_authenticate, 1).first_node(), w.bytes());
  golden p(20);
  p.u8(2, 'D').u8(3, 0xFF).u8(4, 'M').u8(5, 0xFF);
  p.text(6, "r").text(8, "n0").raw(14, {'A', 'I'});  // no domain in a Proxy-Authenticate
  EXPECT_EQ(body(sip_header_id::proxy_authenticate, 1).first_node(), p.bytes());
}

TEST_F(SipElem, ContentTypesOfMessageAndBodyPart) {
  sip_media_type_rec m{};
  m.part = 3;
  m.type = 'A';
  m.subtype = 'H';
  m.base = 0xFF;
  m.params_other = S("x=y");
  sip_hdr_area.content_type[0] = m;
  sip_hdr_area.part_content_type[0] = m;
  golden c(18);
  c.u8(2, 'A').u8(3, 'H').u8(4, 0xFF).text(16, "x=y");
  EXPECT_EQ(body(sip_header_id::content_type, 1).first_node(), c.bytes());
  golden p(18);
  p.u8(2, 3).u8(3, 'A').u8(4, 'H').u8(5, 0xFF).text(16, "x=y");
  EXPECT_EQ(body(sip_header_id::part_content_type, 1).first_node(), p.bytes());
}

TEST_F(SipElem, CallIdCarriesAnAddressRawAndANameAsText) {
  sip_hdr_area.call_id = sip_callid_parsed{S("abc"), 4, ADDR, sip_str{}};
  golden a(8);
  a.text(2, "abc").raw(4, {192, 0, 2, 7});
  EXPECT_EQ(body(sip_header_id::call_id, 1).first_node(), a.bytes());
  sip_hdr_area.call_id = sip_callid_parsed{S("abc"), 0, nullptr, S("host.example")};
  golden h(8);
  h.text(2, "abc").text(6, "host.example");
  EXPECT_EQ(body(sip_header_id::call_id, 1).first_node(), h.bytes());
}

TEST_F(SipElem, AudioMediaLineCarriesItsFormatsRaw) {
  static const std::uint8_t formats[] = {0, 8, 101};
  sdp_media_av& m = sip_prim_area.av[0];
  m.kind = 'U';
  m.port = 49170;
  m.transport = 0;
  m.formats = formats;
  m.format_count = 3;
  golden g(30);
  g.u8(2, 'U').u16(4, 49170).u8(6, 0xFF).u8(7, 0).u8(8, 0xFF).u8(9, 0xFF).u16(10, 0xFFFF).u8(12, 0xFF);
  g.u16(14, 0xFFFF).u16(16, 0xFFFF).u8(18, 0xFF).raw(24, {0, 8, 101});
  EXPECT_EQ(body(SIP_HDR_SDP_MEDIA, 1).first_node(), g.bytes());
}

TEST_F(SipElem, ViaAndRequestLineGetTheirEncodingConstants) {
  sip_hdr_area.via[0] = via("z9hG4bK1");
  sip_prim_area.via_number = 0x0102;
  sip_prim_area.local_port = 5062;
  static const std::uint8_t src[4] = {198, 51, 100, 9};
  sip_prim_area.source_addr = sip_str{4, reinterpret_cast<const char*>(src)};
  golden v(34);
  v.u16(2, 0x0102).u8(4, 1).u8(5, 'U').u16(6, 5060).u16(8, 0xFFFF).u16(10, 5062).u8(12, 0xFF).u8(13, 0xFF);
  v.text(16, "2.0").raw(20, {192, 0, 2, 7}).raw(28, {198, 51, 100, 9}).text(30, "z9hG4bK1");
  EXPECT_EQ(body(sip_header_id::via, 1).first_node(), v.bytes());

  sip_hdr_area.request_line = uri("fax", "gw.example");
  sip_hdr_area.request_line.port = 5070;
  golden r(44);
  r.u8(2, 1).u8(3, 0xFF).u16(4, 5070).u16(6, 0xFFFF).u8(8, 0xFF).u8(9, 0xFF).u8(10, 0xFF).u8(11, 0);
  r.text(24, "fax").text(30, "gw.example");
  EXPECT_EQ(body(sip_header_id::request_line, 1).first_node(), r.bytes());

  sip_hdr_area.status_line = sip_status_line_rec{180, S("Ringing")};
  golden s(6);
  s.u16(2, 180).text(4, "Ringing");
  EXPECT_EQ(body(sip_header_id::status_line, 1).first_node(), s.bytes());
}

TEST_F(SipElem, EncodedElementsDecodeBack) {
  sip_hdr_area.allow[0].code = 'A';
  sip_hdr_area.allow[1].code = 'B';
  sip_hdr_area.allow[2].code = 'D';
  body b(sip_header_id::allow, 3);
  sip_hdr_area.allow[0].code = sip_hdr_area.allow[1].code = sip_hdr_area.allow[2].code = 0;
  EXPECT_EQ(b.decode(sip_header_id::allow), 2);
  EXPECT_EQ(sip_hdr_count(sip_header_id::allow), 3);
  EXPECT_EQ(sip_hdr_area.allow[2].code, 'D');

  sip_hdr_area.call_id = sip_callid_parsed{S("abc"), 4, ADDR, sip_str{}};
  body c(sip_header_id::call_id, 1);
  sip_hdr_area.call_id = {};
  EXPECT_EQ(c.decode(sip_header_id::call_id), 2);
  EXPECT_EQ(str(sip_hdr_area.call_id.word), "abc");
  ASSERT_EQ(sip_hdr_area.call_id.addr_len, 4);
  EXPECT_EQ(std::memcmp(sip_hdr_area.call_id.addr, ADDR, 4), 0);
}

// ---------------------------------------------------------------------------
// Decoder rules

namespace {

struct rule_case {
  const char* what;
  sip_header_id id;
  std::function<void()> fill;  // sets instance 0 (and more)
  unsigned instances;
  std::function<void(std::uint8_t* node)> mutate;  // changes the encoded node
  std::uint8_t prim_code;
  std::uint16_t result;
  std::function<void()> after;  // checks of the work area
};

void run(const rule_case& k) {
  SCOPED_TRACE(k.what);
  sip_hdr_count__reset();
  sip_prim_area = sip_prim_area_t{};
  k.fill();
  body b(k.id, k.instances);
  if (k.mutate) k.mutate(b.node(0));
  sip_prim_code = k.prim_code;
  EXPECT_EQ(b.decode(k.id), k.result);
  if (k.after) k.after();
  sip_work__release();
}

const std::uint8_t THREE[3] = {10, 0, 0};

}  // namespace

TEST_F(SipElem, DecoderRules) {
  const rule_case cases[] = {
      {"a request's Via without a branch gets a generated one", sip_header_id::via,
       [] { sip_hdr_area.via[0] = via(""); }, 1, nullptr, 'A', 2,
       [] { EXPECT_EQ(str(sip_hdr_area.via[0].branch).rfind("z9hG4bK-", 0), 0u); }},
      {"a response's Via without a branch keeps none", sip_header_id::via, [] { sip_hdr_area.via[0] = via(""); }, 1,
       nullptr, 'a', 2, [] { EXPECT_EQ(sip_hdr_area.via[0].branch.len, 0); }},
      {"a request branch without the cookie", sip_header_id::via, [] { sip_hdr_area.via[0] = via("abc"); }, 1, nullptr,
       'A', 19, nullptr},
      {"a response branch is not checked for the cookie", sip_header_id::via, [] { sip_hdr_area.via[0] = via("abc"); },
       1, nullptr, 'a', 2, nullptr},
      {"five Vias", sip_header_id::via,
       [] {
         for (int i = 0; i < 5; ++i) sip_hdr_area.via[i] = via("z9hG4bKx");
       },
       5, nullptr, 'A', 2, [] { EXPECT_EQ(sip_hdr_count(sip_header_id::via), 5); }},
      {"a Via transport code in no table entry", sip_header_id::via, [] { sip_hdr_area.via[0] = via("z9hG4bK1"); }, 1,
       [](std::uint8_t* n) { n[5] = 'Q'; }, 'A', 19, nullptr},
      {"a Via sent-by address of 3 bytes", sip_header_id::via,
       [] {
         sip_hdr_area.via[0] = via("z9hG4bK1");
         sip_hdr_area.via[0].host_ipv4 = sip_str{3, reinterpret_cast<const char*>(THREE)};
       },
       1, nullptr, 'A', 18, nullptr},
      {"a Contact address of 3 bytes", sip_header_id::contact,
       [] {
         sip_hdr_area.contact[0].na = name_addr("a", "");
         sip_hdr_area.contact[0].na.addr.ipv4 = sip_str{3, reinterpret_cast<const char*>(THREE)};
         sip_hdr_area.contact[0].action = 0xFF;
       },
       1, nullptr, 'A', 18, nullptr},
      {"a status reason outside its class is dropped", sip_header_id::status_line,
       [] {
         sip_hdr_area.status_line = {200, S("O\x01K")};
       },
       1, nullptr, 'a', 2, [] { EXPECT_EQ(sip_hdr_area.status_line.reason.len, 0); }},
      {"a status code below 100", sip_header_id::status_line,
       [] {
         sip_hdr_area.status_line = {99, S("x")};
       },
       1, nullptr, 'a', 19, nullptr},
      {"a status code above 699", sip_header_id::status_line,
       [] {
         sip_hdr_area.status_line = {700, S("x")};
       },
       1, nullptr, 'a', 19, nullptr},
      {"status codes 100 and 699", sip_header_id::status_line,
       [] {
         sip_hdr_area.status_line = {699, S("x")};
       },
       1, [](std::uint8_t* n) { put_host16(n + 2, 100); }, 'a', 2, nullptr},
      // The destination address is never encoded; it is put in by hand in
      // place of the URI text, the last field.
      {"a request-line destination of 3 bytes", sip_header_id::request_line,
       [] {
         sip_hdr_area.request_line = uri("a", "h.example");
         sip_hdr_area.request_line.text = S("xyz");
       },
       1,
       [](std::uint8_t* n) {
         put_host16(n + 40, 3);
         put_host16(n + 42, 1);
       },
       'A', 18, nullptr},
      {"a request-line destination of 4 bytes, port and next-hop flag are kept", sip_header_id::request_line,
       [] {
         sip_hdr_area.request_line = uri("a", "h.example");
         sip_hdr_area.request_line.text = S("xyz");
       },
       1,
       [](std::uint8_t* n) {
         put_host16(n + 40, 4);
         put_host16(n + 42, 0);
         put_host16(n + 6, 5080);
         n[11] = 1;
       },
       'A', 2,
       [] {
         EXPECT_EQ(sip_prim_area.rl_dest_addr.len, 4);
         EXPECT_EQ(sip_prim_area.rl_dest_port, 5080);
         EXPECT_EQ(sip_prim_area.rl_next_hop, 1);
       }},
      {"a host written as a dotted quad with an octet over 255", sip_header_id::to,
       [] { sip_hdr_area.to = name_addr("a", "300.1.1.1"); }, 1, nullptr, 'A', 48, nullptr},
      {"a Via host written as a dotted quad with an octet over 255", sip_header_id::via,
       [] {
         sip_hdr_area.via[0] = via("z9hG4bK1");
         sip_hdr_area.via[0].host_ipv4 = sip_str{};
         sip_hdr_area.via[0].host = S("10.256.0.1");
       },
       1, nullptr, 'A', 48, nullptr},
      {"a host written as a valid dotted quad", sip_header_id::to, [] { sip_hdr_area.to = name_addr("a", "10.1.1.1"); },
       1, nullptr, 'A', 2, nullptr},
      {"a Diversion reason text outside its class", sip_header_id::diversion,
       [] {
         sip_hdr_area.diversion = sip_diversion_rec{};
         sip_hdr_area.diversion.na = name_addr("a", "h.example");
         sip_hdr_area.diversion.reason = sip_hdr_area.diversion.privacy = sip_hdr_area.diversion.screen = 0xFF;
         sip_hdr_area.diversion.reason_text = S("a\x01");
       },
       1, nullptr, 'A', 19, nullptr},
      {"Diversion header parameters outside their class are dropped", sip_header_id::diversion,
       [] {
         sip_hdr_area.diversion = sip_diversion_rec{};
         sip_hdr_area.diversion.na = name_addr("a", "h.example");
         sip_hdr_area.diversion.reason = sip_hdr_area.diversion.privacy = sip_hdr_area.diversion.screen = 0xFF;
         sip_hdr_area.diversion.na.params_other = S("a=\x01");
       },
       1, nullptr, 'A', 2, [] { EXPECT_EQ(sip_hdr_area.diversion.na.params_other.len, 0); }},
      {"an Allow method code in no entry", sip_header_id::allow, [] { sip_hdr_area.allow[0].code = 'Z'; }, 1, nullptr,
       'A', 19, nullptr},
      {"a Content-Type subtype outside its type's table, given as text", sip_header_id::content_type,
       [] {
         sip_hdr_area.content_type[0] = sip_media_type_rec{};
         sip_hdr_area.content_type[0].type = 'U';
         sip_hdr_area.content_type[0].subtype = 'Z';
         sip_hdr_area.content_type[0].base = 0xFF;
         sip_hdr_area.content_type[0].subtype_text = S("x-new");
       },
       1, nullptr, 'A', 2, nullptr},
      {"a Content-Type subtype outside its type's table, no text", sip_header_id::content_type,
       [] {
         sip_hdr_area.content_type[0] = sip_media_type_rec{};
         sip_hdr_area.content_type[0].type = 'U';
         sip_hdr_area.content_type[0].subtype = 'Z';
         sip_hdr_area.content_type[0].base = 0xFF;
       },
       1, nullptr, 'A', 18, nullptr},
      {"SDP session without a network type needs no connection", SIP_HDR_SDP_SESSION, [] {}, 1, nullptr, 'A', 2,
       nullptr},
      {"SDP session with network type IN and no address", SIP_HDR_SDP_SESSION,
       [] { sip_prim_area.session.conn.nettype = 'I'; }, 1, nullptr, 'A', 19, nullptr},
      {"SDP session with a 3-byte address", SIP_HDR_SDP_SESSION,
       [] {
         sip_prim_area.session.conn.nettype = 'I';
         sip_prim_area.session.conn.addr = sip_str{3, reinterpret_cast<const char*>(THREE)};
       },
       1, nullptr, 'A', 18, nullptr},
      {"SDP media line with dynamic format 101", SIP_HDR_SDP_MEDIA,
       [] {
         static const std::uint8_t f[] = {0, 8, 101};
         sip_prim_area.av[0].kind = 'U';
         sip_prim_area.av[0].transport = 0;
         sip_prim_area.av[0].formats = f;
         sip_prim_area.av[0].format_count = 3;
       },
       1, nullptr, 'A', 2, [] { EXPECT_STREQ(sip_prim_area.av[0].kind_text, "audio"); }},
      {"SDP media line with format 50, in no table", SIP_HDR_SDP_MEDIA,
       [] {
         static const std::uint8_t f[] = {50};
         sip_prim_area.av[0].kind = 'U';
         sip_prim_area.av[0].transport = 0;
         sip_prim_area.av[0].formats = f;
         sip_prim_area.av[0].format_count = 1;
       },
       1, nullptr, 'A', 19, nullptr},
      {"SDP further session lines with a control character", SIP_HDR_SDP_SESSION,
       [] { sip_prim_area.session.extra_lines = S("a=x\x01\r\n"); }, 1, nullptr, 'A', 19, nullptr},
      {"SDP further session lines not ending in CR LF", SIP_HDR_SDP_SESSION,
       [] { sip_prim_area.session.extra_lines = S("a=x\r\nb=y"); }, 1, nullptr, 'A', 19, nullptr},
      {"SDP further session lines as whole lines", SIP_HDR_SDP_SESSION,
       [] { sip_prim_area.session.extra_lines = S("a=x\r\nb=y z\r\n"); }, 1, nullptr, 'A', 2, nullptr},
      {"Replaces naming a call that is not live", sip_header_id::replaces,
       [] {
         sip_hdr_area.replaces = sip_replaces_rec{};
         sip_hdr_area.replaces.call_ref = 7;
       },
       1, nullptr, 'A', 19, nullptr},
      {"Replaces naming a live call", sip_header_id::replaces,
       [] {
         sip_hdr_area.replaces = sip_replaces_rec{};
         sip_hdr_area.replaces.call_ref = 7;
         sip_prim_env.call_check = [](std::uint16_t id) -> std::uint8_t { return id == 7 ? 2 : 3; };
       },
       1, nullptr, 'A', 2, [] { sip_prim_env.call_check = nullptr; }},
      {"Replaces by Call-ID without its local part", sip_header_id::replaces,
       [] {
         sip_hdr_area.replaces = sip_replaces_rec{};
         sip_hdr_area.replaces.call_ref = 0xFFFF;
         sip_hdr_area.replaces.call_id.host = S("h.example");
       },
       1, nullptr, 'A', 18, nullptr},
      {"T.38 rate management code in no entry", SIP_HDR_SDP_IMAGE,
       [] {
         sip_prim_area.image[0] = sdp_media_image{};
         sip_prim_area.image[0].transport = SDP_TRANSPORT_UDPTL;
         sip_prim_area.image[0].t38_rate_management = 9;
       },
       1, nullptr, 'A', 19, nullptr},
  };
  for (const auto& k : cases) run(k);
}

// Texts that no class rule covers must not carry a line break or a NUL.
TEST_F(SipElem, UncheckedTextsRefuseLineBreaksAndNul) {
  struct text_case {
    const char* what;
    sip_header_id id;
    std::function<void(const char*)> fill;
  } places[] = {
      {"Referred-By display name", sip_header_id::referred_by,
       [](const char* t) {
         sip_hdr_area.referred_by = sip_referred_by_rec{};
         sip_hdr_area.referred_by.na = name_addr("a", "h.example");
         sip_hdr_area.referred_by.na.display = S(t);
       }},
      {"Referred-By cid", sip_header_id::referred_by,
       [](const char* t) {
         sip_hdr_area.referred_by = sip_referred_by_rec{};
         sip_hdr_area.referred_by.na = name_addr("a", "h.example");
         sip_hdr_area.referred_by.cid = S(t);
       }},
      {"Contact header parameters", sip_header_id::contact,
       [](const char* t) {
         sip_hdr_area.contact[0] = sip_contact_rec{};
         sip_hdr_area.contact[0].na = name_addr("a", "h.example");
         sip_hdr_area.contact[0].action = 0xFF;
         sip_hdr_area.contact[0].na.params_other = S(t);
       }},
      {"Route header parameters", sip_header_id::route,
       [](const char* t) {
         sip_hdr_area.route[0] = name_addr("a", "h.example");
         sip_hdr_area.route[0].params_other = S(t);
       }},
      {"Authorization response", sip_header_id::authorization,
       [](const char* t) {
         sip_hdr_area.authorization[0] = sip_credentials_rec{};
         sip_hdr_area.authorization[0].scheme = 'D';
         sip_hdr_area.authorization[0].algorithm = sip_hdr_area.authorization[0].qop = 0xFF;
         sip_hdr_area.authorization[0].response = S(t);
       }},
  };
  struct bad_text {
    const char* text;
    std::uint16_t result;
  } texts[] = {{"good", 2}, {"a\rb", 19}, {"a\nb", 19}};
  for (const auto& p : places) {
    for (const auto& t : texts) {
      SCOPED_TRACE(std::string(p.what) + " / " + t.text);
      sip_hdr_count__reset();
      p.fill(t.text);
      body b(p.id, 1);
      EXPECT_EQ(b.decode(p.id), t.result);
    }
    // A NUL inside the stored text (the length counts past it).
    SCOPED_TRACE(std::string(p.what) + " / NUL");
    static const char with_nul[] = {'a', 0, 'b'};
    p.fill("aXb");
    body b(p.id, 1);
    auto* at = reinterpret_cast<std::uint8_t*>(std::memchr(b.area.data(), 'X', b.size));
    ASSERT_NE(at, nullptr);
    *at = static_cast<std::uint8_t>(with_nul[1]);
    EXPECT_EQ(b.decode(p.id), 19);
  }
}

TEST_F(SipElem, SixthViaIsRefusedBeforeAnyIsTaken) {
  for (int i = 0; i < 5; ++i) sip_hdr_area.via[i] = via("z9hG4bKx");
  body b(sip_header_id::via, 5);
  // A sixth node on the same list, written by hand (the encoder stops at 5).
  std::uint16_t tail = get_host16(b.area.data());
  while (get_host16(b.area.data() + tail) != 0) tail = get_host16(b.area.data() + tail);
  const std::uint16_t sixth = static_cast<std::uint16_t>((b.size + 1) & ~1);
  put_host16(b.area.data() + tail, sixth);
  std::memset(b.area.data() + sixth, 0, 34);
  b.size = static_cast<std::uint16_t>(sixth + 34);
  EXPECT_EQ(b.decode(sip_header_id::via), 20);
  EXPECT_EQ(sip_hdr_count(sip_header_id::via), 0);
}

TEST_F(SipElem, ExhaustedWorkMemoryIsRefused) {
  // Fill the work area to its last block.
  while (void* p = sip_work__alloc(SIP_WORK_BLOCK_ROOM)) {
    (void)p;
    sip_work__use(SIP_WORK_BLOCK_ROOM);
  }
  sip_str branch;
  EXPECT_FALSE(sip_branch__make(&branch));
  sip_hdr_area.via[0] = via("");
  body v(sip_header_id::via, 1);
  sip_prim_code = 'A';
  EXPECT_EQ(v.decode(sip_header_id::via), 19);  // no room for a branch
  sip_hdr_area.from = name_addr("a", "h.example");
  sip_hdr_area.from.display = S("needs \"escapes\"");
  body f(sip_header_id::from, 1);
  EXPECT_EQ(f.decode(sip_header_id::from), 19);  // no room for the escaped copy
}

TEST_F(SipElem, BranchesHaveTheirFormAndCountOn) {
  sip_branch__seed(0xFFFFFFFE);
  sip_str a, b, c;
  ASSERT_TRUE(sip_branch__make(&a));
  ASSERT_TRUE(sip_branch__make(&b));
  ASSERT_TRUE(sip_branch__make(&c));
  for (const sip_str* s : {&a, &b, &c}) {
    const std::string t = str(*s);
    ASSERT_EQ(t.rfind("z9hG4bK-", 0), 0u) << t;
    const std::size_t dash = t.find('-', 8);
    ASSERT_NE(dash, std::string::npos) << t;
    const std::string r = t.substr(8, dash - 8);
    EXPECT_TRUE(!r.empty() && r.size() <= 4 && r.find_first_not_of("0123456789ABCDEF") == std::string::npos) << t;
    EXPECT_EQ(s->len, t.size() + 1);
  }
  EXPECT_EQ(str(a).substr(str(a).rfind('-')), "-FFFFFFFE");
  EXPECT_EQ(str(b).substr(str(b).rfind('-')), "-FFFFFFFF");
  EXPECT_EQ(str(c).substr(str(c).rfind('-')), "-0");
}

// After a restart the counter starts from a new random value, so the
// branches of two runs do not repeat each other.
TEST_F(SipElem, BranchCounterStartsAfreshOnEachRestart) {
  auto counter_part = [] {
    sip_branch__restart();
    sip_str b;
    EXPECT_TRUE(sip_branch__make(&b));
    const std::string t = str(b);
    return t.substr(t.rfind('-') + 1);
  };
  const std::string first = counter_part();
  const std::string second = counter_part();
  const std::string third = counter_part();
  EXPECT_FALSE(first == second && second == third) << first;
}
