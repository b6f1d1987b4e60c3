// ENT_SSC digest authentication: RFC vectors, MD5-sess and auth-int against
// values computed with Python hashlib, the challenge step's decisions and
// the credentials header.
#include "sip/ssc/ssc_digest.h"
#include "sip/ssc/ssc_entry_sm.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>
#include <string>

#include "runtime/support/rt_harness.h"
#include "sip/text/md5.h"
#include "sip/prim/sip_elem.h"
#include "sip/text/sip_encode.h"
#include "sip/prim/sip_prim_dispatch.h"
#include "sip/text/sip_parse.h"
#include "sip/text/sip_prim_kind.h"
#include "tests/sip/prim/ssc_bridge_fixture.h"
#include "tests/sip/support/loopback_udp.h"
#include "tests/sip/support/pcap_udp.h"
#include "tests/sip/prim/support/ssc_invite.h"

namespace {

sip_digest_input input(const char* user, const char* realm, const char* password, const char* nonce, const char* cnonce,
                       u8 alg, u8 qop, u32 nc, const char* method, const char* uri) {
  sip_digest_input in;
  in.user = user;
  in.realm = realm;
  in.password = password;
  in.nonce = nonce;
  in.cnonce = cnonce;
  in.algorithm = alg;
  in.qop = qop;
  in.nonce_count = nc;
  in.method = method;
  in.uri = uri;
  return in;
}

std::string compute(sip_digest_input in, const std::string& body = {}) {
  in.body = reinterpret_cast<const u8*>(body.data());
  in.body_len = body.size();
  char r[33] = {};
  if (!sip_digest_compute(in, r)) return "<none>";
  return r;
}

std::string compute(const ssc_digest_block& b) {
  return compute(
      input(b.user, b.realm, b.password, b.nonce, b.cnonce, b.algorithm, b.qop, b.nonce_count, b.method, b.digest_uri));
}

constexpr const char* kRfc2617Nonce = "dcd98b7102dd2f0e8b11d0f600bfb0c093";
const u8 kQopAuth[] = {'A'};
const u8 kQopIntThenAuth[] = {'I', 'A'};
const u8 kQopInt[] = {'I'};

ssc_digest_challenge_view challenge(u16 status, const char* nonce, u8 stale = 255) {
  ssc_digest_challenge_view c;
  c.status = status;
  c.present = true;
  c.realm = "fax.example";
  c.nonce = nonce;
  c.stale = stale;
  c.qop_options = kQopAuth;
  c.qop_count = 1;
  return c;
}

const ssc_digest_user kUser{"alice", "secret", "fax.example"};

}  // namespace

TEST(SscDigest, ResponseVectors) {
  struct Case {
    const char* name;
    sip_digest_input b;
    std::string body;
    const char* expected;
  };
  const std::string sdp = "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\n";
  const Case cases[] = {
      // RFC 2617 section 3.5.
      {"rfc2617",
       input("Mufasa", "testrealm@host.com", "Circle Of Life", kRfc2617Nonce, "0a4f113b", 'M', 'A', 1, "GET",
             "/dir/index.html"),
       "", "6629fae49393a05397450978507c4ef1"},
      // RFC 7616 section 3.9.1, MD5.
      {"rfc7616",
       input("Mufasa", "http-auth@example.org", "Circle of Life", "7ypf/xlj9XXwfDPEoM4URrv/xwf94BcCAzFZH4GiTo0v",
             "f2/wE4q74E6zIJEtWaHKaf5wv/H5QzzpXusqGemxURZJ", 'M', 'A', 1, "GET", "/dir/index.html"),
       "", "8ca523f5e9506fed4657c9700eebdbec"},
      // MD5-sess: HA1 over the hexadecimal digest (hashlib).
      {"md5-sess",
       input("Mufasa", "testrealm@host.com", "Circle Of Life", kRfc2617Nonce, "0a4f113b", 'D', 'A', 1, "GET",
             "/dir/index.html"),
       "", "8e3825c57e897f5a0dec6c2d4e5059d0"},
      // auth-int: H(body) over the body bytes, URI with port and parameters, nc 10.
      {"auth-int",
       input("Mufasa", "testrealm@host.com", "Circle Of Life", kRfc2617Nonce, "0a4f113b", 'M', 'I', 10, "INVITE",
             "sip:fax@127.0.0.1:5070;transport=udp"),
       sdp, "b58ac904642a1b5242209795c36ed3b5"},
      {"auth-int empty body",
       input("Mufasa", "testrealm@host.com", "Circle Of Life", kRfc2617Nonce, "0a4f113b", 'M', 'I', 1, "INVITE",
             "sip:fax@127.0.0.1:5070;transport=udp"),
       "", "cb1b31437ad0f6a4e5766ddc1b944e07"},
      // No qop (RFC 2069 form), empty password hashes as empty.
      {"no qop, empty password",
       input("Mufasa", "testrealm@host.com", "", kRfc2617Nonce, "", 'M', 255, 0, "REGISTER", "sip:127.0.0.1:5070"), "",
       "d9eddc42e2633693b7ea9e77179a878b"},
      // Cannot be computed: no user name, unknown algorithm.
      {"no user", input("", "r", "p", "n", "c", 'M', 'A', 1, "INVITE", "sip:a@b"), "", "<none>"},
      {"unknown algorithm", input("u", "r", "p", "n", "c", 'X', 'A', 1, "INVITE", "sip:a@b"), "", "<none>"},
  };
  for (const Case& c : cases) EXPECT_EQ(compute(c.b, c.body), c.expected) << c.name;
}

TEST(SscDigest, HexAndNonceCountText) {
  const u8 d[16] = {0x00, 0x01, 0x0a, 0xff, 0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70, 0x80, 0x90, 0xa0, 0xb0, 0xc0};
  char out[33];
  hex_digest(d, out);
  EXPECT_STREQ(out, "00010aff102030405060708090a0b0c0");

  ssc_digest_block b;
  std::strcpy(b.user, "u");
  std::strcpy(b.realm, "r");
  std::strcpy(b.nonce, "n");
  std::strcpy(b.cnonce, "c");
  b.algorithm = 'M';
  b.qop = 'A';
  b.nonce_count = 10;
  ASSERT_TRUE(ssc_digest_prepare(b, "sip:a@b", "INVITE", nullptr, 0));
  EXPECT_STREQ(b.nc_text, "0000000a");
  b.nonce_count = 255;
  ASSERT_TRUE(ssc_digest_prepare(b, "sip:a@b", "INVITE", nullptr, 0));
  EXPECT_STREQ(b.nc_text, "000000ff");
}

TEST(SscDigest, ChallengeStep) {
  // One row per decision; each starts from a fresh block unless `answered`
  // says a challenge with nonce "n1" was answered before.
  struct Case {
    const char* name;
    ssc_digest_challenge_view c;
    bool answered;
    ssc_digest_user user;
    std::string uri;
    u8 result;
    u8 report_kind;
    u16 report_number;
  };
  auto with = [](ssc_digest_challenge_view c, auto edit) {
    edit(c);
    return c;
  };
  const std::string long_uri = "sip:" + std::string(130, 'x') + "@127.0.0.1";
  const std::string nonce64(64, 'n');
  const std::string nonce65(65, 'n');
  const Case cases[] = {
      {"401 answered", challenge(401, "n1"), false, kUser, "sip:fax@127.0.0.1:5070", 4, 0, 0},
      {"407 answered", challenge(407, "n1"), false, kUser, "sip:fax@127.0.0.1:5070", 4, 0, 0},
      {"403 declined", challenge(403, "n1"), false, kUser, "sip:a@b", 5, 0, 0},
      {"401 without header", with(challenge(401, "n1"), [](auto& c) { c.present = false; }), false, kUser, "sip:a@b", 5,
       'c', 1},
      {"407 without header", with(challenge(407, "n1"), [](auto& c) { c.present = false; }), false, kUser, "sip:a@b", 5,
       'c', 0},
      {"no realm", with(challenge(401, "n1"), [](auto& c) { c.realm = nullptr; }), false, kUser, "sip:a@b", 5, 'e', 1},
      {"no nonce", challenge(401, ""), false, kUser, "sip:a@b", 5, 'e', 1},
      {"64-character nonce", challenge(401, nonce64.c_str()), false, kUser, "sip:a@b", 4, 0, 0},
      {"65-character nonce", challenge(401, nonce65.c_str()), false, kUser, "sip:a@b", 5, 'e', 1},
      {"unknown algorithm", with(challenge(401, "n1"), [](auto& c) { c.algorithm_text = "SHA-512-256"; }), false, kUser,
       "sip:a@b", 5, 'e', 1},
      {"unknown qop only",
       with(challenge(401, "n1"),
            [](auto& c) {
              c.qop_count = 0;
              c.qop_text = "auth-conf";
            }),
       false, kUser, "sip:a@b", 5, 'e', 1},
      {"Basic scheme", with(challenge(401, "n1"), [](auto& c) { c.scheme = 'B'; }), false, kUser, "sip:a@b", 5, 'e', 1},
      {"no user name", challenge(401, "n1"), false, ssc_digest_user{}, "sip:a@b", 5, 'e', 2},
      {"URI too long for the record", challenge(401, "n1"), false, kUser, long_uri, 5, 'e', 1},
      {"same nonce again", challenge(401, "n1", 'T'), true, kUser, "sip:a@b", 5, 'e', 1},
      {"new nonce, not stale", challenge(401, "n2"), true, kUser, "sip:a@b", 5, 'e', 1},
      {"new nonce, stale", challenge(407, "n2", 'T'), true, kUser, "sip:a@b", 4, 0, 0},
  };
  for (const Case& k : cases) {
    ssc_digest_block b;
    if (k.answered) {
      ASSERT_EQ(ssc_digest_challenge(b, challenge(401, "n1"), kUser, "sip:a@b", "INVITE", 1).result, 4);
      b.nonce_count = 3;
    }
    const ssc_digest_verdict v = ssc_digest_challenge(b, k.c, k.user, k.uri, "INVITE", 0x1234);
    EXPECT_EQ(v.result, k.result) << k.name;
    EXPECT_EQ(v.report_kind, k.report_kind) << k.name;
    EXPECT_EQ(v.report_number, k.report_number) << k.name;
    if (v.result == SSC_DIGEST_RETRY) {
      EXPECT_EQ(b.nonce_count, 1u) << k.name;
      EXPECT_EQ(std::strlen(b.response), 32u) << k.name;
      EXPECT_EQ(b.digest_uri, k.uri) << k.name;
      EXPECT_EQ(b.header_kind, k.c.status == 401 ? 'W' : 'P') << k.name;
    } else {
      EXPECT_EQ(b.response[0], '\0') << k.name << ": no response is kept for a declined challenge";
    }
  }
}

TEST(SscDigest, QopChoiceAndFreshResponsePerRequest) {
  ssc_digest_block b;
  auto c = challenge(401, "n1");
  c.qop_options = kQopIntThenAuth;
  c.qop_count = 2;
  ASSERT_EQ(ssc_digest_challenge(b, c, kUser, "sip:fax@127.0.0.1:5070", "INVITE", 7).result, 4);
  EXPECT_EQ(b.qop, 'A') << "auth is preferred when offered";
  EXPECT_STREQ(b.cnonce, "0000000000000007");

  ssc_digest_block i;
  c.qop_options = kQopInt;
  c.qop_count = 1;
  ASSERT_EQ(ssc_digest_challenge(i, c, kUser, "sip:fax@127.0.0.1:5070", "INVITE", 7).result, 4);
  EXPECT_EQ(i.qop, 'I');

  // A later request with the same nonce (a re-INVITE) gets its own URI, the
  // next nonce count and a response of its own.
  const std::string first = b.response;
  b.nonce_count = 2;
  ASSERT_TRUE(ssc_digest_prepare(b, "sip:fax@127.0.0.1:5070;transport=udp", "INVITE", nullptr, 0));
  EXPECT_STREQ(b.nc_text, "00000002");
  EXPECT_STREQ(b.digest_uri, "sip:fax@127.0.0.1:5070;transport=udp");
  EXPECT_NE(first, b.response);
  EXPECT_EQ(compute(b), b.response);

  // One that cannot be computed leaves no old response behind.
  b.user[0] = '\0';
  EXPECT_FALSE(ssc_digest_prepare(b, "sip:fax@127.0.0.1:5070", "INVITE", nullptr, 0));
  EXPECT_EQ(b.response[0], '\0');
}

TEST(SscDigest, ResetForANewRegistration) {
  ssc_digest_block b;
  ASSERT_EQ(ssc_digest_challenge(b, challenge(401, "n1"), kUser, "sip:a@b", "REGISTER", 1).result, 4);
  ssc_digest_reset(b, kUser);
  EXPECT_EQ(b.nonce[0], '\0');
  EXPECT_STREQ(b.realm, "fax.example");
  EXPECT_EQ(b.algorithm, 'M');
  EXPECT_EQ(b.qop, 255);
  EXPECT_EQ(b.nonce_count, 1u);
  // The same nonce may be answered again after the reset.
  EXPECT_EQ(ssc_digest_challenge(b, challenge(401, "n1"), kUser, "sip:a@b", "REGISTER", 1).result, 4);
}

class SscDigestHandle : public ::testing::Test {
 protected:
  void SetUp() override {
    rt_test::use_virtual_clock(1000);
    rt_test::start_manual(TABLE);
  }
  void TearDown() override { rt_test::stop(); }
  static constexpr entity_table_row_t TABLE[] = {{ENT_SM, rt_test::record_handler, 0, 0, nullptr, 0},
                                                 {ENT_NIL, nullptr, 0, 0, nullptr, 0}};
};

TEST_F(SscDigestHandle, InitialRegisterCredentials) {
  ssc_handle* h = Ssc_alloc_handle();
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(Ssc_init_handle(h, ssc_msg_type::REGISTER), 2);
  ssc_digest_block b;
  EXPECT_EQ(ssc_digest_add_initial(b, h, true), 3) << "no user name";
  std::strcpy(b.user, "alice");
  std::strcpy(b.realm, "fax.example");
  std::strcpy(b.digest_uri, "sip:127.0.0.1:5070");
  ASSERT_EQ(ssc_digest_add_initial(b, h, true), 2);
  auto* cr = Ssc_first<ssc_hdr_credentials>(h, ssc_header_id::AUTHORIZATION);
  ASSERT_NE(cr, nullptr);
  EXPECT_EQ(cr->scheme, 'D');
  EXPECT_EQ(cr->algorithm, 'M');
  EXPECT_STREQ(cr->s[0], "alice");
  EXPECT_STREQ(cr->s[1], "fax.example");
  EXPECT_STREQ(cr->s[2], "");
  EXPECT_STREQ(cr->s[3], "sip:127.0.0.1:5070");
  EXPECT_STREQ(cr->s[4], "");
  // Once a nonce is known the computed credentials take over.
  std::strcpy(b.nonce, "n1");
  ssc_handle* h2 = Ssc_alloc_handle();
  ASSERT_EQ(Ssc_init_handle(h2, ssc_msg_type::REGISTER), 2);
  EXPECT_EQ(ssc_digest_add_initial(b, h2, false), 3);
  (void)Ssc_free_handle(h2);
  (void)Ssc_free_handle(h);
}

TEST_F(SscDigestHandle, CredentialsHeaderOfEachKind) {
  for (u16 status : {401, 407}) {
    ssc_handle* h = Ssc_alloc_handle();
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(Ssc_init_handle(h, ssc_msg_type::INVITE), 2);
    ssc_digest_block b;
    auto c = challenge(status, "n1");
    c.opaque = "op";
    ASSERT_EQ(ssc_digest_challenge(b, c, kUser, "sip:fax@127.0.0.1:5070", "INVITE", 9).result, 4);
    ASSERT_EQ(ssc_digest_add_credentials(b, h), 2);
    const auto id = status == 401 ? ssc_header_id::AUTHORIZATION : ssc_header_id::PROXY_AUTHORIZATION;
    const auto other = status == 401 ? ssc_header_id::PROXY_AUTHORIZATION : ssc_header_id::AUTHORIZATION;
    auto* cr = Ssc_first<ssc_hdr_credentials>(h, id);
    ASSERT_NE(cr, nullptr);
    EXPECT_EQ(Ssc_first<ssc_hdr_credentials>(h, other), nullptr);
    EXPECT_EQ(cr->scheme, 'D');
    EXPECT_EQ(cr->algorithm, 'M');
    EXPECT_EQ(cr->qop, 'A');
    EXPECT_EQ(cr->nonce_count, 1u);
    EXPECT_STREQ(cr->s[0], "alice");
    EXPECT_STREQ(cr->s[1], "fax.example");
    EXPECT_STREQ(cr->s[2], "n1");
    EXPECT_STREQ(cr->s[3], "sip:fax@127.0.0.1:5070");
    EXPECT_STREQ(cr->s[4], b.response);
    EXPECT_STREQ(cr->s[6], "0000000000000009");
    EXPECT_STREQ(cr->s[7], "op");
    // A second add keeps the one instance.
    EXPECT_EQ(ssc_digest_add_credentials(b, h), 2);
    EXPECT_EQ(cr->next, nullptr);
    // Without a computed response nothing is added.
    ssc_handle* h2 = Ssc_alloc_handle();
    ASSERT_EQ(Ssc_init_handle(h2, ssc_msg_type::INVITE), 2);
    ssc_digest_block empty;
    EXPECT_EQ(ssc_digest_add_credentials(empty, h2), 3);
    EXPECT_EQ(Ssc_first<ssc_hdr_credentials>(h2, ssc_header_id::AUTHORIZATION), nullptr);
    (void)Ssc_free_handle(h2);
    (void)Ssc_free_handle(h);
  }
}

// Challenges as received: SIP text through our parser, the upward primitive
// and the SSC decode walk, then read by the challenge step.

namespace {

class SscDigestReceived : public ssc_bridge_test::Runtime {
 protected:
  ssc_handle* received(const std::string& header) {
    const std::string msg = std::string(header.rfind("WWW", 0) == 0 ? "SIP/2.0 401 Unauthorized\r\n"
                                                                    : "SIP/2.0 407 Proxy Authentication Required\r\n") +
                            "Via: SIP/2.0/UDP 127.0.0.1:5060;branch=z9hG4bK-1\r\n"
                            "From: <sip:fax@127.0.0.1>;tag=1\r\n"
                            "To: <sip:peer@127.0.0.1>;tag=2\r\n"
                            "Call-ID: c1@127.0.0.1\r\n"
                            "CSeq: 1 INVITE\r\n" +
                            header + "\r\nContent-Length: 0\r\n\r\n";
    std::vector<char> text(msg.begin(), msg.end());
    sip_work__release();
    sip_parser parser;
    sip_parse__start(parser, text.data(), text.size());
    EXPECT_EQ(sip_parse_message(parser, 1), SIP_PARSE_DONE) << msg;
    buffer_t* up = nullptr;
    EXPECT_EQ(sip_prim__build_up(sip_kind_index_rs[1], 0, &up), 2);
    if (up == nullptr) return nullptr;
    std::vector<u8> flat(Buffer_chain_length(up));
    u32 len = 0;
    Reassemble_buffers(flat.data(), static_cast<u32>(flat.size()), up, &len);
    Free_buffer(up);
    ssc_handle* rs = handle(ssc_msg_type::INVITE_RS);
    ssc_rc_fail fail;
    EXPECT_EQ(ssc_decode_from_sip(rs, flat.data(), static_cast<u16>(len), &fail), SSC_RC_OK);
    return rs;
  }
};

}  // namespace

TEST_F(SscDigestReceived, ChallengeFieldsOfBothHeaders) {
  struct Case {
    std::string header;
    u16 status;
    const char* nonce;
    const char* opaque;
    u8 stale, algorithm, qop_chosen;
  };
  const Case cases[] = {
      {"WWW-Authenticate: Digest realm=\"fax.example\", domain=\"sip:fax.example\", nonce=\"abc123\", "
       "opaque=\"op\", stale=true, algorithm=MD5-sess, qop=\"auth-int,auth\"",
       401, "abc123", "op", 'T', 'D', 'A'},
      {"Proxy-Authenticate: Digest realm=\"fax.example\", nonce=\"xyz\", opaque=\"o2\", algorithm=MD5, "
       "qop=\"auth-int\"",
       407, "xyz", "o2", 255, 'M', 'I'},
  };
  for (const Case& c : cases) {
    ssc_handle* rs = received(c.header);
    ASSERT_NE(rs, nullptr);
    const ssc_digest_challenge_view v = ssc_digest_view_of(rs);
    EXPECT_EQ(v.status, c.status);
    EXPECT_TRUE(v.present);
    EXPECT_EQ(v.scheme, 'D');
    EXPECT_STREQ(v.realm, "fax.example");
    EXPECT_STREQ(v.nonce, c.nonce);
    EXPECT_STREQ(v.opaque, c.opaque);
    EXPECT_EQ(v.stale, c.stale);
    EXPECT_EQ(v.algorithm, c.algorithm);
    ssc_digest_block b;
    ASSERT_EQ(ssc_digest_challenge(b, v, kUser, "sip:peer@127.0.0.1:5070", "INVITE", 1).result, 4) << c.header;
    EXPECT_EQ(b.qop, c.qop_chosen) << c.header;
    EXPECT_EQ(b.header_kind, c.status == 401 ? 'W' : 'P');
  }
  // A 401 without WWW-Authenticate: declined with report 'c' 1.
  ssc_handle* bare = received("Server: x");
  ASSERT_NE(bare, nullptr);
  Ssc_first<ssc_hdr_status>(bare, ssc_header_id::RETURN_CODE)->code = 401;
  const ssc_digest_challenge_view v = ssc_digest_view_of(bare);
  EXPECT_FALSE(v.present);
  ssc_digest_block b;
  const ssc_digest_verdict r = ssc_digest_challenge(b, v, kUser, "sip:a@b", "INVITE", 1);
  EXPECT_EQ(r.result, 5);
  EXPECT_EQ(r.report_kind, 'c');
  EXPECT_EQ(r.report_number, 1);
}

// Our credentials on the wire: the INVITE handle with the header the block
// adds goes down the record codec, the dispatch and the text encoder.
namespace {

std::string g_wire;
u32 g_cseq = 2;
u8 g_method = 0xC1;
std::uint8_t take_wire(buffer_t* chain) {
  std::vector<u8> flat(Buffer_chain_length(chain));
  u32 len = 0;
  Reassemble_buffers(flat.data(), static_cast<u32>(flat.size()), chain, &len);
  g_wire.assign(reinterpret_cast<const char*>(flat.data()), len);
  Free_buffer(chain);
  return 2;
}

std::string param(const std::string& line, const std::string& name) {
  const std::size_t at = line.find(name + "=");
  if (at == std::string::npos) return "<absent>";
  std::size_t v = at + name.size() + 1;
  const bool quoted = line[v] == '"';
  if (quoted) ++v;
  const std::size_t end = line.find_first_of(quoted ? "\"" : ",\r", v);
  return line.substr(v, end - v);
}

std::string md5_hex(const std::string& s) {
  md5_ctx c;
  md5_init(&c);
  md5_update(&c, s.data(), static_cast<std::uint32_t>(s.size()));
  u8 d[16];
  md5_final(d, &c);
  char out[33];
  hex_digest(d, out);
  return out;
}

class SscDigestWire : public ssc_bridge_test::Runtime {
 protected:
  void TearDown() override {
    sip_dispatch_env = {};
    sip_encode_env = sip_encode_services{};
    Runtime::TearDown();
  }
  ssc_handle* invite(u16 to_port = 5070, u16 via_port = 5060) {
    ssc_handle* h = handle(ssc_msg_type::INVITE);
    ssc_test::invite_fields f;
    f.addr_port = to_port;
    f.uri_port = to_port;
    f.call_id = "d1";
    f.from_tag = "77";
    f.local_port = via_port;
    ssc_test::add_invite_headers(h, f);
    return h;
  }
  std::string wire(ssc_handle* h, code_t code = 'A', u8 method = 0xC1) {
    g_method = method;
    const auto body = encode(h);
    g_wire.clear();
    sip_encode_env = sip_encode_services{};
    sip_encode_env.cseq_request = [] {
      sip_hdr_area.cseq.number = g_cseq;
      sip_hdr_area.cseq.method = g_method;
      sip_hdr_area.cseq.method_text = {};
      sip_hdr_area.count[sip_hdr_slot(sip_header_id::cseq)] = 1;
    };
    sip_encode_env.send_by_kind = take_wire;
    sip_dispatch_env.endpoint_ready = [] { return true; };
    sip_dispatch_env.call_check = [](std::uint16_t) -> std::uint8_t { return 2; };
    sip_dispatch_env.send_prim = []() -> std::uint8_t {
      sip_encode_kind = sip_dispatch_code_copy;
      return sip_encode_message(SIP_ENCODE_CALL);
    };
    static int error;
    error = 0;
    sip_dispatch_env.send_error_in = [](std::uint16_t, std::uint8_t e, std::uint8_t d1, std::uint8_t, std::uint8_t) {
      error = e * 1000 + d1;
    };
    msg_t* m = Alloc_msg();
    m->code = code;
    m->conn_id = 1;
    buffer_t* b = Alloc_buffer();
    std::memcpy(Buffer_data(b), body.data(), body.size());
    b->data_size = static_cast<u16>(body.size());
    Msg_attach_chain(m, b);
    sip_prim_dispatch_down(m);
    Free_msg(m);
    EXPECT_EQ(error, 0) << "SIP_ERROR_IN error*1000+header";
    return g_wire;
  }
};

}  // namespace

TEST_F(SscDigestWire, CredentialsHeaderRecomputesFromItsOwnText) {
  struct Case {
    u16 status;
    const u8* qop;
    u16 qop_count;
    const char* header;
    const char* qop_text;
  };
  const Case cases[] = {
      {401, kQopAuth, 1, "Authorization: ", "auth"},
      {407, kQopInt, 1, "Proxy-Authorization: ", "auth-int"},
  };
  for (const Case& k : cases) {
    ssc_handle* h = invite();
    ssc_digest_block b;
    auto c = challenge(k.status, "n0nce");
    c.qop_options = k.qop;
    c.qop_count = k.qop_count;
    c.opaque = "op";
    ASSERT_EQ(ssc_digest_challenge(b, c, kUser, "sip:fax@127.0.0.1:5070", "INVITE", 0xABCDEF).result, 4);
    b.nonce_count = 2;  // a later request with the same nonce
    ASSERT_TRUE(ssc_digest_prepare(b, "sip:fax@127.0.0.1:5070", "INVITE", nullptr, 0));
    ASSERT_EQ(ssc_digest_add_credentials(b, h), 2);
    const std::string text = wire(h);
    ASSERT_EQ(text.rfind("INVITE sip:fax@127.0.0.1:5070 SIP/2.0", 0), 0u) << text;
    const std::size_t at = text.find("\r\n" + std::string(k.header));
    ASSERT_NE(at, std::string::npos) << text;
    const std::string line = text.substr(at + 2, text.find("\r\n", at + 2) - at - 2);
    EXPECT_EQ(line.find("auth_int"), std::string::npos) << line;
    EXPECT_EQ(param(line, "uri"), "sip:fax@127.0.0.1:5070") << line;
    EXPECT_EQ(param(line, "qop"), k.qop_text) << line;
    EXPECT_EQ(param(line, "nc"), "00000002") << line;
    EXPECT_EQ(param(line, "opaque"), "op") << line;
    // The response recomputed from the header's own fields.
    const std::string ha1 = md5_hex(param(line, "username") + ":" + param(line, "realm") + ":secret");
    std::string a2 = "INVITE:" + param(line, "uri");
    if (std::string(k.qop_text) == "auth-int") a2 += ":" + md5_hex("");
    const std::string want = md5_hex(ha1 + ":" + param(line, "nonce") + ":" + param(line, "nc") + ":" +
                                     param(line, "cnonce") + ":" + param(line, "qop") + ":" + md5_hex(a2));
    EXPECT_EQ(param(line, "response"), want) << line;
  }
}

// Against sipp's own verifier (tests/sip/sipp/uas-auth.xml), on loopback:
// INVITE, 401 or 407, ACK, the INVITE again with our credentials, 200 only
// when sipp's verifyauth accepts them.
namespace {

using ssc_test::udp;

std::string header_line(const std::string& msg, const std::string& name) {
  const std::size_t at = msg.find("\r\n" + name + ":");
  if (at == std::string::npos) return {};
  return msg.substr(at + 2, msg.find("\r\n", at + 2) - at - 2);
}

// ACK for a non-2xx final answer: the INVITE's Via, From, Call-ID, the
// answer's To, CSeq number with ACK.
std::string ack_for(const std::string& answer, u16 sipp_port, u32 cseq) {
  return "ACK sip:fax@127.0.0.1:" + std::to_string(sipp_port) + " SIP/2.0\r\n" + header_line(answer, "Via") + "\r\n" +
         header_line(answer, "From") + "\r\n" + header_line(answer, "To") + "\r\n" + header_line(answer, "Call-ID") +
         "\r\nCSeq: " + std::to_string(cseq) + " ACK\r\nMax-Forwards: 70\r\nContent-Length: 0\r\n\r\n";
}

using ssc_test::run_command;

using ssc_test::pcap_header;
using ssc_test::pcap_record;

std::string sipp_dir() { return std::string(KV_SOURCE_DIR) + "/tests/sip/sipp/"; }

class SscDigestSipp : public SscDigestWire {
 protected:
  ssc_handle* parse_answer(const std::string& msg, int method = 1, ssc_msg_type type = ssc_msg_type::INVITE_RS) {
    std::vector<char> text(msg.begin(), msg.end());
    sip_work__release();
    sip_parser parser;
    sip_parse__start(parser, text.data(), text.size());
    EXPECT_EQ(sip_parse_message(parser, 1), SIP_PARSE_DONE) << msg;
    buffer_t* up = nullptr;
    EXPECT_EQ(sip_prim__build_up(sip_kind_index_rs[method], 0, &up), 2);
    if (up == nullptr) return nullptr;
    std::vector<u8> flat(Buffer_chain_length(up));
    u32 len = 0;
    Reassemble_buffers(flat.data(), static_cast<u32>(flat.size()), up, &len);
    Free_buffer(up);
    ssc_handle* rs = handle(type);
    EXPECT_EQ(ssc_decode_from_sip(rs, flat.data(), static_cast<u16>(len), nullptr), SSC_RC_OK);
    return rs;
  }
};

}  // namespace

TEST_F(SscDigestSipp, UasAuthAcceptsOurCredentials) {
  if (std::system("command -v sipp >/dev/null 2>&1") != 0) GTEST_SKIP() << "sipp is not installed";
  struct Case {
    const char* code;
    const char* header;
    const char* qop;
    const char* qop_chosen;
    bool sipp_verifies;  // sipp's verifyauth reads Authorization only
  };
  const Case cases[] = {
      {"401", "WWW-Authenticate", "auth-int,auth", "auth", true},
      {"401", "WWW-Authenticate", "auth-int", "auth-int", true},
      {"407", "Proxy-Authenticate", "auth-int", "auth-int", false},
  };
  for (const Case& k : cases) {
    udp ours;
    ASSERT_NE(ours.port, 0);
    u16 sipp_port = 0;
    {
      udp probe;
      sipp_port = probe.port;
    }
    // The 407 variant: the same scenario with the proxy's status and header.
    std::string scenario = sipp_dir() + "uas-auth.xml";
    if (std::string(k.code) == "407") {
      std::ifstream in(scenario);
      std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      text.replace(text.find("401 Unauthorized"), 16, "407 Proxy Authentication Required");
      text.replace(text.find("WWW-Authenticate:"), 16, "Proxy-Authenticate");
      scenario = ::testing::TempDir() + "uas-auth-407-" + std::to_string(getpid()) + ".xml";
      std::ofstream(scenario) << text;
    }
    const std::string cmd = "timeout 20 sipp -sf " + scenario + " -i 127.0.0.1 -p " + std::to_string(sipp_port) +
                            " -m 1 -timeout 15 -nostdin -bg -key challenge_qop " + k.qop + " >/dev/null 2>&1";
    ASSERT_NE(std::system(cmd.c_str()), -1);

    const std::string uri = "sip:fax@127.0.0.1:" + std::to_string(sipp_port);
    g_cseq = 1;
    const std::string first = wire(invite(sipp_port, ours.port));
    ASSERT_FALSE(first.empty());
    std::string challenge_text;
    for (int i = 0; i < 20 && challenge_text.empty(); ++i) {  // sipp may still be starting
      ours.send_to(sipp_port, first);
      challenge_text = ours.final_response(500);
    }
    ASSERT_EQ(challenge_text.rfind(std::string("SIP/2.0 ") + k.code, 0), 0u) << challenge_text;
    ours.send_to(sipp_port, ack_for(challenge_text, sipp_port, 1));

    ssc_handle* rs = parse_answer(challenge_text);
    ASSERT_NE(rs, nullptr);
    ssc_digest_block b;
    ASSERT_EQ(ssc_digest_challenge(b, ssc_digest_view_of(rs), kUser, uri, "INVITE", 0x5eed).result, 4);
    ssc_handle* again = invite(sipp_port, ours.port);
    ASSERT_EQ(ssc_digest_add_credentials(b, again), 2);
    g_cseq = 2;
    const std::string second = wire(again);
    ours.send_to(sipp_port, second);
    const std::string answer = ours.final_response(3000);
    ASSERT_FALSE(answer.empty()) << "no answer from sipp";
    if (k.sipp_verifies) {
      EXPECT_EQ(answer.rfind("SIP/2.0 200", 0), 0u) << k.code << "\n" << second << "\n" << answer;
    }
    // Our own check from the header text: URI as sent, qop, recomputed response.
    const std::string line =
        header_line(second, std::string(k.code) == "401" ? "Authorization" : "Proxy-Authorization");
    ASSERT_FALSE(line.empty()) << second;
    EXPECT_EQ(param(line, "uri"), uri);
    EXPECT_EQ(param(line, "qop"), k.qop_chosen);
    EXPECT_EQ(param(line, "nc"), "00000001");
    const std::string ha1 = md5_hex(param(line, "username") + ":" + param(line, "realm") + ":secret");
    std::string a2 = "INVITE:" + param(line, "uri");
    if (param(line, "qop") == "auth-int") a2 += ":" + md5_hex("");
    EXPECT_EQ(param(line, "response"), md5_hex(ha1 + ":" + param(line, "nonce") + ":" + param(line, "nc") + ":" +
                                               param(line, "cnonce") + ":" + param(line, "qop") + ":" + md5_hex(a2)));
    ours.send_to(sipp_port, ack_for(answer, sipp_port, 2));
  }
}

// A registration against a sipp registrar (tests/sip/sipp/uas-register.xml):
// 401, REGISTER with credentials, 200 with Contact expires=4; the refresh
// interval from the rules of the entry machine (2 s), the refresh with the
// same Call-ID, a higher CSeq and nc + 1; then de-registration with
// Expires 0.  Every answer after the challenge is 200 only when sipp's
// verifyauth accepts the credentials.
TEST_F(SscDigestSipp, UasRegisterChallengeRefreshAndDeregistration) {
  if (std::system("command -v sipp >/dev/null 2>&1") != 0) GTEST_SKIP() << "sipp is not installed";
  using H = ssc_header_id;
  udp ours;
  ASSERT_NE(ours.port, 0);
  u16 sipp_port = 0;
  {
    udp probe;
    sipp_port = probe.port;
  }
  const std::string cmd = "timeout 30 sipp -sf " + sipp_dir() + "uas-register.xml -i 127.0.0.1 -p " +
                          std::to_string(sipp_port) + " -m 1 -timeout 25 -nostdin -bg >/dev/null 2>&1";
  ASSERT_NE(std::system(cmd.c_str()), -1);
  const std::string uri = "sip:127.0.0.1:" + std::to_string(sipp_port);

  // The REGISTER as the entry keeps it: Request-URI without user, Expires 3600.
  auto make_register = [&](u32 expires) {
    ssc_handle* h = invite(sipp_port, ours.port);
    h->type = ssc_msg_type::REGISTER;
    auto* ru = Ssc_first<ssc_hdr_request_uri>(h, H::REQUEST_URI);
    ru->uri.user = nullptr;
    ru->uri.user_form = 0xFF;
    add<ssc_hdr_u32>(h, H::EXPIRES)->value = expires;
    return h;
  };
  const code_t kRegister = 70;
  const u8 kRegisterMethod = 0xC6;

  g_cseq = 1;
  const std::string first = wire(make_register(3600), kRegister, kRegisterMethod);
  ASSERT_EQ(first.rfind("REGISTER " + uri + " SIP/2.0", 0), 0u) << first;
  std::string challenge_text;
  for (int i = 0; i < 20 && challenge_text.empty(); ++i) {
    ours.send_to(sipp_port, first);
    challenge_text = ours.final_response(500);
  }
  ASSERT_EQ(challenge_text.rfind("SIP/2.0 401", 0), 0u) << challenge_text;
  ssc_handle* rs = parse_answer(challenge_text, 6, ssc_msg_type::REGISTER_RS);
  ASSERT_NE(rs, nullptr);
  ssc_digest_block b;
  ASSERT_EQ(ssc_digest_challenge(b, ssc_digest_view_of(rs), kUser, uri, "REGISTER", 0xbeef).result, 4);

  std::vector<std::string> sent;
  std::vector<std::chrono::steady_clock::time_point> sent_at;
  auto send_with_credentials = [&](u32 expires, u32 cseq) -> std::string {
    ssc_handle* h = make_register(expires);
    EXPECT_TRUE(ssc_digest_prepare(b, uri, "REGISTER", nullptr, 0));
    EXPECT_EQ(ssc_digest_add_credentials(b, h), 2);
    ++b.nonce_count;  // the next request with this nonce counts one higher
    g_cseq = cseq;
    const std::string text = wire(h, kRegister, kRegisterMethod);
    sent.push_back(text);
    sent_at.push_back(std::chrono::steady_clock::now());
    ours.send_to(sipp_port, text);
    return ours.final_response(3000);
  };

  const std::string ok = send_with_credentials(3600, 2);
  ASSERT_EQ(ok.rfind("SIP/2.0 200", 0), 0u) << sent.back() << "\n" << ok;
  ssc_handle* ok_rs = parse_answer(ok, 6, ssc_msg_type::REGISTER_RS);
  ASSERT_NE(ok_rs, nullptr);
  const auto* contact = Ssc_first<ssc_hdr_contact>(ok_rs, H::CONTACT);
  ASSERT_NE(contact, nullptr);
  ssc_register_facts f;
  f.has_status = true;
  f.status_class = 1;
  f.contact_expires = contact->d1;
  f.asked_has_expires = true;
  f.asked_expires_s = 3600;
  const ssc_register_outcome o = ssc_register_response(f);
  ASSERT_EQ(o.next, ENTRY_REGISTERED);
  ASSERT_TRUE(o.start_timer);
  EXPECT_EQ(o.refresh_ms, 2000u) << "expires=4 refreshes after half of it";

  std::this_thread::sleep_for(std::chrono::milliseconds(o.refresh_ms));
  const std::string refreshed = send_with_credentials(3600, 3);
  EXPECT_EQ(refreshed.rfind("SIP/2.0 200", 0), 0u) << sent.back() << "\n" << refreshed;
  const auto spacing = std::chrono::duration_cast<std::chrono::milliseconds>(sent_at[1] - sent_at[0]).count();
  EXPECT_LT(std::abs(spacing - 2000), 100) << "REGISTER spacing " << spacing << " ms for expires=4";

  const std::string gone = send_with_credentials(0, 4);
  EXPECT_EQ(gone.rfind("SIP/2.0 200", 0), 0u) << sent.back() << "\n" << gone;

  // On the wire: one Call-ID, CSeq and nc counting up, the URI as sent,
  // Expires 0 last.
  ASSERT_EQ(sent.size(), 3u);
  for (std::size_t i = 0; i < sent.size(); ++i) {
    const std::string line = header_line(sent[i], "Authorization");
    EXPECT_EQ(header_line(sent[i], "Call-ID"), header_line(first, "Call-ID"));
    EXPECT_EQ(header_line(sent[i], "CSeq"), "CSeq: " + std::to_string(i + 2) + " REGISTER");
    EXPECT_EQ(param(line, "nc"), "0000000" + std::to_string(i + 1)) << line;
    EXPECT_EQ(param(line, "uri"), uri) << line;
  }
  EXPECT_EQ(header_line(sent.back(), "Expires"), "Expires: 0");

  // tshark: each credentials uri is the Request-URI, nc counts up, nothing
  // malformed.
  if (std::system("command -v tshark >/dev/null 2>&1") != 0) GTEST_SKIP() << "tshark is not installed";
  const std::string pcap = ::testing::TempDir() + "ssc_register_" + std::to_string(getpid()) + ".pcap";
  {
    std::string file = pcap_header();
    for (const std::string& m : sent) file += pcap_record(m, 5062, 5060);
    std::ofstream(pcap, std::ios::binary) << file;
  }
  const std::string fields = run_command("timeout 120 tshark -r " + pcap +
                                         " -T fields -E separator='|' -e sip.Method -e sip.r-uri -e sip.auth.uri"
                                         " -e sip.auth.nc -e _ws.malformed 2>/dev/null");
  std::remove(pcap.c_str());
  // tshark prints the uri parameter as written (quoted) or without its quotes.
  auto expected = [&](const std::string& auth_uri) {
    std::string w;
    for (int i = 1; i <= 3; ++i) w += "REGISTER|" + uri + "|" + auth_uri + "|0000000" + std::to_string(i) + "|\n";
    return w;
  };
  EXPECT_TRUE(fields == expected(uri) || fields == expected("\"" + uri + "\"")) << fields;
}

// Stale nonces against sipp (tests/sip/sipp/uas-auth-stale.xml): a 401 with
// stale=true and a new nonce is answered once, with nc back at 1; the same
// nonce again is declined, so no third credentialed INVITE leaves and the
// 401 is the final answer.
TEST_F(SscDigestSipp, UasAuthStaleNonceAnsweredOnceThenDeclined) {
  if (std::system("command -v sipp >/dev/null 2>&1") != 0) GTEST_SKIP() << "sipp is not installed";
  udp ours;
  ASSERT_NE(ours.port, 0);
  u16 sipp_port = 0;
  {
    udp probe;
    sipp_port = probe.port;
  }
  const std::string cmd = "timeout 20 sipp -sf " + sipp_dir() + "uas-auth-stale.xml -i 127.0.0.1 -p " +
                          std::to_string(sipp_port) + " -m 1 -timeout 15 -nostdin -bg >/dev/null 2>&1";
  ASSERT_NE(std::system(cmd.c_str()), -1);
  const std::string uri = "sip:fax@127.0.0.1:" + std::to_string(sipp_port);

  g_cseq = 1;
  const std::string first = wire(invite(sipp_port, ours.port));
  std::string answer;
  for (int i = 0; i < 20 && answer.empty(); ++i) {
    ours.send_to(sipp_port, first);
    answer = ours.final_response(500);
  }
  ssc_digest_block b;
  std::vector<u8> results;
  std::vector<std::string> ncs;
  for (u32 cseq = 1; cseq <= 4; ++cseq) {
    ASSERT_EQ(answer.rfind("SIP/2.0 401", 0), 0u) << "cseq " << cseq << "\n" << answer;
    ours.send_to(sipp_port, ack_for(answer, sipp_port, cseq));
    ssc_handle* rs = parse_answer(answer);
    ASSERT_NE(rs, nullptr);
    const ssc_digest_verdict v = ssc_digest_challenge(b, ssc_digest_view_of(rs), kUser, uri, "INVITE", 0x51a1e);
    results.push_back(v.result);
    if (v.result != SSC_DIGEST_RETRY) break;
    ssc_handle* again = invite(sipp_port, ours.port);
    ASSERT_EQ(ssc_digest_add_credentials(b, again), 2);
    g_cseq = cseq + 1;
    const std::string text = wire(again);
    ncs.push_back(param(header_line(text, "Authorization"), "nc"));
    ours.send_to(sipp_port, text);
    answer = ours.final_response(3000);
  }
  EXPECT_EQ(results, (std::vector<u8>{4, 4, 5})) << "first, stale with a new nonce, the same nonce again";
  EXPECT_EQ(ncs, (std::vector<std::string>{"00000001", "00000001"}));
}
