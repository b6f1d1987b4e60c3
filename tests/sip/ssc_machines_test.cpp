// The call and dialog-entry machines of ENT_SSC in the whole stack: the
// user's SSC messages in, SIP text on the wire out (ENT_SIP encodes), the
// peer's datagrams in, the user's indications out.  Runtime in manual mode
// on a virtual clock; the peer is scripted text.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/byte_order.h"
#include "runtime/buffer.h"
#include "runtime/sm.h"
#include "runtime/sock.h"
#include "runtime/support/rt_harness.h"
#include "sip/text/md5.h"
#include "sip/prim/ssc_codes.h"
#include "sip/ent/sip_config.h"
#include "sip/ent/sip_entity.h"
#include "sip/ssc/ssc_call_sm.h"
#include "sip/ssc/ssc_digest.h"
#include "sip/ssc/ssc_handler.h"
#include "sip/support/loopback_stack.h"
#include "sip/ent/support/sip_harness.h"
#include "sip/prim/support/ssc_invite.h"

namespace {

using H = ssc_header_id;
constexpr u16 PEER_PORT = 5070;
constexpr u16 CONN = 7;

const entity_table_row_t TABLE[] = {
    SIP_ENTITY_ROW,
    SSC_ENTITY_ROW,
    {ENT_SM, rt_test::record_handler, 0, 0, nullptr, 0},
    {ENT_IP, rt_test::record_handler, 0, 0, nullptr, 0},
    {ENT_FOIP, rt_test::record_handler, 0, 0, nullptr, 0},
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

std::vector<u8> datagram(const std::string& text, u16 port) {
  std::vector<u8> d(SOCK_UDP_HEADER_SIZE + text.size());
  d[0] = 4;
  d[4] = 127;
  d[7] = 1;
  put_host16(&d[8], port);
  std::memcpy(&d[SOCK_UDP_HEADER_SIZE], text.data(), text.size());
  return d;
}

std::string first_line(const std::string& m) { return m.substr(0, m.find("\r\n")); }

// Value of the first header line `name` (full name), or "".
std::string header(const std::string& m, const std::string& name) {
  const std::string key = "\r\n" + name + ": ";
  const auto at = m.find(key);
  if (at == std::string::npos) return "";
  const auto start = at + key.size();
  return m.substr(start, m.find("\r\n", start) - start);
}

// Every header line `name` of a message, in order.
std::vector<std::string> header_lines(const std::string& m, const std::string& name) {
  std::vector<std::string> out;
  const std::string key = "\r\n" + name + ": ";
  for (auto at = m.find(key); at != std::string::npos; at = m.find(key, at + 1)) {
    const auto start = at + key.size();
    out.push_back(m.substr(start, m.find("\r\n", start) - start));
  }
  return out;
}

// A parameter of a credentials header: name="value" or name=value.
std::string param(const std::string& h, const std::string& name) {
  for (std::size_t at = h.find(name + "="); at != std::string::npos; at = h.find(name + "=", at + 1)) {
    if (at != 0 && h[at - 1] != ' ' && h[at - 1] != ',') continue;
    std::size_t v = at + name.size() + 1;
    if (h[v] == '"') return h.substr(v + 1, h.find('"', v + 1) - v - 1);
    const auto end = h.find_first_of(", \r", v);
    return h.substr(v, end == std::string::npos ? std::string::npos : end - v);
  }
  return "";
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

// The response a credentials header should carry, recomputed from its own
// text (MD5, qop auth or none).
std::string expected_response(const std::string& cred, const std::string& method, const std::string& password) {
  const std::string ha1 = md5_hex(param(cred, "username") + ":" + param(cred, "realm") + ":" + password);
  const std::string ha2 = md5_hex(method + ":" + param(cred, "uri"));
  if (param(cred, "qop").empty()) return md5_hex(ha1 + ":" + param(cred, "nonce") + ":" + ha2);
  return md5_hex(ha1 + ":" + param(cred, "nonce") + ":" + param(cred, "nc") + ":" + param(cred, "cnonce") + ":" +
                 param(cred, "qop") + ":" + ha2);
}

// Request-URI of a request's first line.
std::string request_uri(const std::string& m) {
  const std::string l = first_line(m);
  const auto a = l.find(' ');
  return l.substr(a + 1, l.rfind(' ') - a - 1);
}

// A response to a request: its Vias, From, To (with a tag when given),
// Call-ID and CSeq, then the extra lines.
std::string respond(const std::string& rq, const std::string& status, const std::string& to_tag,
                    const std::string& extra = "") {
  std::string s = "SIP/2.0 " + status + "\r\n";
  for (const std::string& v : header_lines(rq, "Via")) s += "Via: " + v + "\r\n";
  s += "From: " + header(rq, "From") + "\r\n";
  std::string to = header(rq, "To");
  if (!to_tag.empty() && to.find(";tag=") == std::string::npos) to += ";tag=" + to_tag;
  s += "To: " + to + "\r\n";
  s += "Call-ID: " + header(rq, "Call-ID") + "\r\n";
  s += "CSeq: " + header(rq, "CSeq") + "\r\n";
  s += extra;
  s += "Content-Length: 0\r\n\r\n";
  return s;
}

struct up_msg {
  code_t code;
  u16 conn;
  u16 status;
  u16 number;
  u8 byte0;
  std::vector<u8> data;
};

class SscMachines : public ::testing::Test {
 protected:
  void SetUp() override {
    rt_test::use_virtual_clock(100000);
    rt_test::start_manual(TABLE);
    ssc_entity_reset(8);
    rt_test::rec().clear();
    std::vector<u8> sip(SIP_CONFIG_SIZE);
    sip_config_pack(sip_test::one_endpoint(), sip.data());
    send(ENT_SM, ENT_SIP, SM_CONFIG_RQ, sip, 0);
    send(ENT_SM, ENT_SSC, SM_CONFIG_RQ, ssc_test::ssc_config_body(sip_test::USER_NAI), 0);
    rt_test::rec().clear();
    ASSERT_EQ(ssc_ua__select(sip_test::USER_NAI), 2);
  }
  void TearDown() override {
    send(ENT_SM, ENT_SSC, SM_RST_CFG_RQ, {0}, sip_test::USER_NAI);
    EXPECT_EQ(ssc_entity_counts().handles, 0u);
    EXPECT_EQ(ssc_entity_counts().self_queue, 0u);
    ssc_entity_reset(0);
    rt_test::stop();
  }
  void send(ent_id_t from, ent_id_t to, code_t code, const std::vector<u8>& data, u16 nai) {
    msg_t* m = rt_test::make_msg(from, to, code, {}, nai, 0);
    if (data.size() <= 64) {
      Msg_set_inline_body(m, data.data(), static_cast<u8>(data.size()));
    } else {
      Msg_attach_chain(m, Store_data_in_buffers(data.data(), static_cast<u32>(data.size()), nullptr));
    }
    Send_msg(m);
    collect();
  }
  void advance(u32 ms) {
    for (u32 i = 0; i < ms; i += 10) {
      rt_test::advance_clock(10);
      om_os_timer_poll();
      collect();
    }
  }
  // Pumps, then sorts what the fakes got: datagrams, user messages, reports.
  void collect() {
    rt_test::pump();
    for (const auto& m : rt_test::rec().messages()) {
      if (m.to == ENT_IP && m.code == SOCK_U_DA_RQ) {
        out.emplace_back(m.data.begin() + SOCK_UDP_HEADER_SIZE, m.data.end());
      } else if (m.to == ENT_FOIP) {
        up_msg u{m.code, m.conn_id, 0, 0, 0, m.data};
        if (m.code != SSC_ERROR_IN && m.chained) {
          ssc_handle* got = Ssc_alloc_handle();
          msg_t* mm = rt_test::make_msg(ENT_SSC, ENT_FOIP, m.code, {}, m.nai, m.conn_id);
          Msg_attach_chain(mm, Store_data_in_buffers(m.data.data(), static_cast<u32>(m.data.size()), nullptr));
          if (Ssc_unformat_msg(got, mm) == 2) {
            auto* st = Ssc_first<ssc_hdr_status>(got, H::RETURN_CODE);
            if (st) u.status = st->code;
            u.number = got->transaction_number;
            u.byte0 = got->carried_byte_0;
          }
          (void)Ssc_free_handle(got);
          Free_msg(mm);
        }
        up.push_back(u);
      } else if (m.from == ENT_SSC && m.to == ENT_SM && m.code == SSC_SM_REPORT && m.data.size() > 4) {
        reports.push_back(m.data[2]);
      }
    }
    rt_test::rec().clear();
  }
  // A handle of the user to ENT_SSC (the handle is released).
  void user(code_t code, ssc_handle* h, u16 conn = CONN, u8 sap = 255) {
    msg_t* m = SIP_sc_format_rq(sip_test::USER_NAI, conn, sap, h);
    (void)Ssc_free_handle(h);
    ASSERT_NE(m, nullptr);
    m->from = ENT_FOIP;
    m->to = ENT_SSC;
    m->code = code;
    Send_msg(m);
    collect();
  }
  void peer(const std::string& text) {
    send(ENT_PH_IT, ENT_SIP, SOCK_U_DA_IN, datagram(text, PEER_PORT), sip_test::TRANSPORT_NAI);
  }
  // The datagrams sent since the last take.
  std::vector<std::string> wire() {
    auto w = out;
    out.clear();
    return w;
  }
  std::vector<up_msg> to_user() {
    auto u = up;
    up.clear();
    return u;
  }
  static std::vector<code_t> codes(const std::vector<up_msg>& u) {
    std::vector<code_t> c;
    for (const auto& m : u) c.push_back(m.code);
    return c;
  }

  static ssc_handle* new_handle(ssc_msg_type t) {
    ssc_handle* h = Ssc_alloc_handle();
    EXPECT_EQ(Ssc_init_handle(h, t), 2);
    return h;
  }
  // The user's INVITE to the peer (T.38 offer), with user authentication.
  static ssc_handle* invite(bool auth = true) {
    ssc_handle* h = new_handle(ssc_msg_type::INVITE);
    ssc_test::invite_fields f;
    f.addr_port = PEER_PORT;
    f.uri_port = PEER_PORT;
    add_invite_headers(h, f);
    ssc_test::add_t38_body(h, {});
    if (auth) add_user_auth(h);
    h->transaction_number = 1;
    return h;
  }
  static void add_user_auth(ssc_handle* h) {
    auto* a = static_cast<ssc_hdr_str4*>(Ssc_alloc_header(h, H::USER_AUTH));
    a->s1 = "alice";
    a->s2 = "secret";
    a->s3 = nullptr;
    a->s4 = nullptr;
  }
  // An INVITE of the peer to us.
  static std::string peer_invite(const std::string& branch = "z9hG4bKin1", const std::string& extra = "") {
    std::string s = "INVITE sip:fax@127.0.0.1 SIP/2.0\r\n";
    s += "Via: SIP/2.0/UDP 127.0.0.1:5070;branch=" + branch + "\r\n";
    s += "From: <sip:caller@127.0.0.1>;tag=peer1\r\n";
    s += "To: <sip:fax@127.0.0.1>\r\n";
    s += "Call-ID: in-1@127.0.0.1\r\n";
    s += "CSeq: 1 INVITE\r\n";
    s += "Contact: <sip:caller@127.0.0.1:5070>\r\n";
    s += "Max-Forwards: 70\r\n";
    s += extra;
    s += "Content-Length: 0\r\n\r\n";
    return s;
  }
  static std::string peer_request(const std::string& method, const std::string& cseq, const std::string& to_tag,
                                  const std::string& branch) {
    std::string s = method + " sip:fax@127.0.0.1 SIP/2.0\r\n";
    s += "Via: SIP/2.0/UDP 127.0.0.1:5070;branch=" + branch + "\r\n";
    s += "From: <sip:caller@127.0.0.1>;tag=peer1\r\n";
    s += "To: <sip:fax@127.0.0.1>" + (to_tag.empty() ? "" : ";tag=" + to_tag) + "\r\n";
    s += "Call-ID: in-1@127.0.0.1\r\n";
    s += "CSeq: " + cseq + " " + method + "\r\n";
    s += "Max-Forwards: 70\r\n";
    s += "Content-Length: 0\r\n\r\n";
    return s;
  }
  // The user's answer to the offered INVITE of transaction `number`.
  void user_answer(u16 number, u16 status, const char* reason) {
    ssc_handle* h = new_handle(ssc_msg_type::INVITE_RS);
    auto* st = static_cast<ssc_hdr_status*>(Ssc_alloc_header(h, H::RETURN_CODE));
    st->code = status;
    st->reason = reason;
    auto* c = static_cast<ssc_hdr_contact*>(Ssc_alloc_header(h, H::CONTACT));
    c->b1 = 0;
    c->uri.scheme = 1;
    c->uri.user = "fax";
    c->uri.host_family = '4';
    std::memcpy(c->uri.host_v4, ssc_test::LOOPBACK, 4);
    c->uri.port = 5060;
    h->transaction_number = number;
    user(SSC_INVITE_RS, h, in_conn);
  }
  // An incoming call offered to the user: the INVITE's transaction number;
  // the user-side conn_id of the call in in_conn.
  u16 offered_call(const std::string& extra = "") {
    peer(peer_invite("z9hG4bKin1", extra));
    auto u = to_user();
    EXPECT_EQ(codes(u), std::vector<code_t>{SSC_INVITE_IN});
    if (u.empty()) return 0;
    in_conn = u[0].conn;
    return u[0].number;
  }
  // An outgoing call up to its 2xx and the user's ACK: the INVITE as sent.
  std::string active_call() {
    user(SSC_INVITE_RQ, invite(false));
    auto w = wire();
    EXPECT_EQ(w.size(), 1u);
    if (w.empty()) return "";
    const std::string inv = w[0];
    peer(respond(inv, "200 OK", "callee1", "Contact: <sip:fax@127.0.0.1:5070>\r\n"));
    EXPECT_EQ(codes(to_user()), std::vector<code_t>{SSC_INVITE_CO});
    user(SSC_ACK_RQ, new_handle(ssc_msg_type::ACK));
    w = wire();
    EXPECT_EQ(w.size(), 1u);
    if (!w.empty()) {
      EXPECT_EQ(first_line(w[0]), "ACK sip:fax@127.0.0.1:5070 SIP/2.0");
    }
    return inv;
  }
  bool call_open(u16 conn = CONN) { return ssc_call__by_user_conn(conn) == 2; }
  u16 in_conn = 0;

  std::vector<std::string> out;
  std::vector<up_msg> up;
  std::string reports;
};

TEST_F(SscMachines, OutgoingCallRingsAnswersAndEndsWithBye) {
  user(SSC_INVITE_RQ, invite(false));
  auto w = wire();
  ASSERT_EQ(w.size(), 1u);
  const std::string inv = w[0];
  EXPECT_EQ(first_line(inv), "INVITE sip:fax@127.0.0.1:5070 SIP/2.0");
  EXPECT_NE(header(inv, "From").find(";tag=1928301774"), std::string::npos) << inv;
  EXPECT_NE(inv.find("m=image 40000 udptl t38"), std::string::npos) << inv;
  peer(respond(inv, "180 Ringing", "callee1"));
  EXPECT_EQ(codes(to_user()), std::vector<code_t>{SSC_INVITE_CO});
  peer(respond(inv, "200 OK", "callee1", "Contact: <sip:fax@127.0.0.1:5070>\r\n"));
  auto u = to_user();
  ASSERT_EQ(codes(u), std::vector<code_t>{SSC_INVITE_CO});
  EXPECT_EQ(u[0].status, 200);
  user(SSC_ACK_RQ, new_handle(ssc_msg_type::ACK));
  w = wire();
  ASSERT_EQ(w.size(), 1u);
  EXPECT_EQ(first_line(w[0]), "ACK sip:fax@127.0.0.1:5070 SIP/2.0");
  EXPECT_NE(header(w[0], "To").find(";tag=callee1"), std::string::npos) << w[0];
  EXPECT_EQ(header(w[0], "Call-ID"), header(inv, "Call-ID"));
  user(SSC_BYE_RQ, new_handle(ssc_msg_type::BYE));
  w = wire();
  ASSERT_EQ(w.size(), 1u);
  EXPECT_EQ(first_line(w[0]), "BYE sip:fax@127.0.0.1:5070 SIP/2.0");
  EXPECT_NE(header(w[0], "To").find(";tag=callee1"), std::string::npos) << w[0];
  EXPECT_NE(header(w[0], "From").find(";tag=1928301774"), std::string::npos) << w[0];
  peer(respond(w[0], "200 OK", ""));
  // A BYE of the user (not a close) ends the session as a notice.
  EXPECT_EQ(codes(to_user()), (std::vector<code_t>{SESS_CLOSED_IN, CALL_CLOSED_IN}));
  EXPECT_FALSE(call_open());
}

TEST_F(SscMachines, SecondForkAnsweringIsAcknowledgedAndEnded) {
  const std::string inv = active_call();
  peer(respond(inv, "200 OK", "callee2", "Contact: <sip:fork2@127.0.0.1:5072>\r\n"));
  EXPECT_TRUE(to_user().empty()) << "the user hears of one answer only";
  auto w = wire();
  ASSERT_EQ(w.size(), 2u);
  EXPECT_EQ(first_line(w[0]), "ACK sip:fork2@127.0.0.1:5072 SIP/2.0");
  EXPECT_EQ(first_line(w[1]), "BYE sip:fork2@127.0.0.1:5072 SIP/2.0");
  EXPECT_NE(header(w[1], "To").find(";tag=callee2"), std::string::npos);
  peer(respond(w[1], "200 OK", ""));
  EXPECT_TRUE(to_user().empty()) << "the first dialog goes on";
  EXPECT_TRUE(call_open());
}

TEST_F(SscMachines, ChallengeAnsweredOncePerNonceForEachHeaderKind) {
  struct kase {
    const char* status;
    const char* challenge;
    const char* credentials;
  };
  const kase cases[] = {
      {"401 Unauthorized", "WWW-Authenticate", "Authorization"},
      {"407 Proxy Authentication Required", "Proxy-Authenticate", "Proxy-Authorization"},
  };
  for (const kase& k : cases) {
    SCOPED_TRACE(k.status);
    user(SSC_INVITE_RQ, invite());
    auto w = wire();
    ASSERT_EQ(w.size(), 1u);
    const std::string ch =
        std::string(k.challenge) + ": Digest realm=\"fax.example\", nonce=\"n0nce1\", qop=\"auth\"\r\n";
    peer(respond(w[0], k.status, "srv1", ch));
    EXPECT_TRUE(to_user().empty()) << "the challenge is answered, not passed";
    w = wire();
    ASSERT_EQ(w.size(), 2u);  // ACK of the 4xx, the INVITE again
    EXPECT_EQ(first_line(w[0]).substr(0, 4), "ACK ");
    const std::string again = w[1];
    EXPECT_EQ(first_line(again).substr(0, 7), "INVITE ");
    const std::string cred = header(again, k.credentials);
    ASSERT_FALSE(cred.empty()) << again;
    EXPECT_EQ(param(cred, "uri"), request_uri(again));
    EXPECT_EQ(param(cred, "nc"), "00000001");
    EXPECT_EQ(param(cred, "qop"), "auth");
    EXPECT_EQ(param(cred, "response"), expected_response(cred, "INVITE", "secret"));
    EXPECT_EQ(header(again, "Call-ID"), header(w[0], "Call-ID"));
    // The same nonce again: no second re-send; the user gets the 4xx.
    peer(respond(again, k.status, "srv1", ch));
    auto u = to_user();
    ASSERT_EQ(codes(u), (std::vector<code_t>{SSC_INVITE_CO, CALL_CLOSED_IN}));
    EXPECT_EQ(u[0].status, std::atoi(k.status));
    // The end of the call names the call the user opened.
    EXPECT_EQ(u[1].conn, u[0].conn);
    w = wire();
    ASSERT_EQ(w.size(), 1u);
    EXPECT_EQ(first_line(w[0]).substr(0, 4), "ACK ");
    EXPECT_FALSE(call_open());
    to_user();
  }
}

TEST_F(SscMachines, StaleNonceAnsweredAgainWithCountFromOne) {
  user(SSC_INVITE_RQ, invite());
  auto w = wire();
  ASSERT_EQ(w.size(), 1u);
  peer(respond(w[0], "401 Unauthorized", "srv1",
               "WWW-Authenticate: Digest realm=\"fax.example\", nonce=\"first\", qop=\"auth\"\r\n"));
  w = wire();
  ASSERT_EQ(w.size(), 2u);
  peer(respond(w[1], "401 Unauthorized", "srv1",
               "WWW-Authenticate: Digest realm=\"fax.example\", nonce=\"second\", stale=true, qop=\"auth\"\r\n"));
  w = wire();
  ASSERT_EQ(w.size(), 2u);
  const std::string cred = header(w[1], "Authorization");
  EXPECT_EQ(param(cred, "nonce"), "second");
  EXPECT_EQ(param(cred, "nc"), "00000001");
  EXPECT_EQ(param(cred, "response"), expected_response(cred, "INVITE", "secret"));
  peer(respond(w[1], "200 OK", "srv1", "Contact: <sip:fax@127.0.0.1:5070>\r\n"));
  EXPECT_EQ(codes(to_user()), std::vector<code_t>{SSC_INVITE_CO});
}

TEST_F(SscMachines, ChallengesThatCannotBeAnsweredReachTheUser) {
  const char* const challenges[] = {
      "",                                                                           // 401 without WWW-Authenticate
      "WWW-Authenticate: Digest nonce=\"n1\"\r\n",                                  // no realm
      "WWW-Authenticate: Digest realm=\"r\"\r\n",                                   // no nonce
      "WWW-Authenticate: Digest realm=\"r\", nonce=\"n1\", algorithm=SHA-999\r\n",  // unknown algorithm
      "WWW-Authenticate: Digest realm=\"r\", nonce=\"n1\", qop=\"auth-conf\"\r\n",  // unknown qop
  };
  for (const char* c : challenges) {
    SCOPED_TRACE(c);
    user(SSC_INVITE_RQ, invite());
    auto w = wire();
    ASSERT_EQ(w.size(), 1u);
    peer(respond(w[0], "401 Unauthorized", "srv1", c));
    auto u = to_user();
    ASSERT_FALSE(u.empty());
    EXPECT_EQ(u[0].code, SSC_INVITE_CO);
    EXPECT_EQ(u[0].status, 401);
    w = wire();
    ASSERT_EQ(w.size(), 1u) << "only the ACK";
    EXPECT_EQ(first_line(w[0]).substr(0, 4), "ACK ");
    EXPECT_FALSE(call_open());
  }
  // A 403 never re-sends.
  user(SSC_INVITE_RQ, invite());
  auto w = wire();
  ASSERT_EQ(w.size(), 1u);
  peer(respond(w[0], "403 Forbidden", "srv1"));
  EXPECT_EQ(wire().size(), 1u);
  EXPECT_EQ(to_user()[0].status, 403);
}

// qop auth-int: HA2 takes H(entity-body) over exactly the body the re-sent
// INVITE carries; a Request-URI too long for the credentials declines the
// challenge rather than sending a cut one.
TEST_F(SscMachines, AuthIntHashesTheBodySentAndLongUrisDecline) {
  user(SSC_INVITE_RQ, invite());
  auto w = wire();
  ASSERT_EQ(w.size(), 1u);
  peer(respond(w[0], "401 Unauthorized", "srv1",
               "WWW-Authenticate: Digest realm=\"fax.example\", nonce=\"n1\", qop=\"auth-int\"\r\n"));
  w = wire();
  ASSERT_EQ(w.size(), 2u);
  const std::string& again = w[1];
  const std::string cred = header(again, "Authorization");
  EXPECT_EQ(param(cred, "qop"), "auth-int");
  const std::string body = again.substr(again.find("\r\n\r\n") + 4);
  ASSERT_NE(body.find("m=image"), std::string::npos);
  EXPECT_EQ(std::to_string(body.size()), header(again, "Content-Length"));
  const std::string ha1 = md5_hex("alice:fax.example:secret");
  const std::string ha2 = md5_hex("INVITE:" + param(cred, "uri") + ":" + md5_hex(body));
  EXPECT_EQ(param(cred, "response"),
            md5_hex(ha1 + ":n1:" + param(cred, "nc") + ":" + param(cred, "cnonce") + ":auth-int:" + ha2));
  peer(respond(again, "200 OK", "srv1", "Contact: <sip:fax@127.0.0.1:5070>\r\n"));
  to_user();
  wire();

  ssc_handle* h = invite();
  const std::string long_params = "x-fax=" + std::string(120, 'p');  // the URI passes the 128 of the record
  Ssc_first<ssc_hdr_request_uri>(h, H::REQUEST_URI)->params = long_params.c_str();
  Ssc_first<ssc_hdr_call_id>(h, H::CALL_ID)->local = "second-call";
  user(SSC_INVITE_RQ, h, CONN + 1);
  w = wire();
  ASSERT_EQ(w.size(), 1u);
  ASSERT_NE(first_line(w[0]).find(";x-fax=ppp"), std::string::npos) << first_line(w[0]);
  peer(respond(w[0], "401 Unauthorized", "srv2", "WWW-Authenticate: Digest realm=\"fax.example\", nonce=\"n2\"\r\n"));
  auto u = to_user();
  ASSERT_FALSE(u.empty());
  EXPECT_EQ(u[0].status, 401);
  w = wire();
  ASSERT_EQ(w.size(), 1u) << "only the ACK";
  EXPECT_EQ(first_line(w[0]).substr(0, 4), "ACK ");
}

TEST_F(SscMachines, ReinviteWithKnownNonceCarriesAFreshResponse) {
  user(SSC_INVITE_RQ, invite());
  auto w = wire();
  peer(respond(w[0], "401 Unauthorized", "srv1",
               "WWW-Authenticate: Digest realm=\"fax.example\", nonce=\"n0nce1\", qop=\"auth\"\r\n"));
  w = wire();
  ASSERT_EQ(w.size(), 2u);
  const std::string first_cred = header(w[1], "Authorization");
  peer(respond(w[1], "200 OK", "callee1", "Contact: <sip:fax@127.0.0.1:5071>\r\n"));
  to_user();
  user(SSC_ACK_RQ, new_handle(ssc_msg_type::ACK));
  wire();
  // The re-INVITE goes to the remote target with nc 2 and its own response.
  ssc_handle* re = new_handle(ssc_msg_type::INVITE);
  ssc_test::add_t38_body(re, {});
  re->transaction_number = 2;
  user(SSC_INVITE_RQ, re);
  w = wire();
  ASSERT_EQ(w.size(), 1u);
  EXPECT_EQ(first_line(w[0]), "INVITE sip:fax@127.0.0.1:5071 SIP/2.0");
  EXPECT_NE(header(w[0], "To").find(";tag=callee1"), std::string::npos);
  const std::string cred = header(w[0], "Authorization");
  ASSERT_FALSE(cred.empty()) << w[0];
  EXPECT_EQ(param(cred, "uri"), "sip:fax@127.0.0.1:5071");
  EXPECT_EQ(param(cred, "nc"), "00000002");
  EXPECT_NE(param(cred, "response"), param(first_cred, "response"));
  EXPECT_EQ(param(cred, "response"), expected_response(cred, "INVITE", "secret"));
  EXPECT_NE(w[0].find("m=image 40000 udptl t38"), std::string::npos);
  peer(respond(w[0], "200 OK", "callee1", "Contact: <sip:fax@127.0.0.1:5071>\r\n"));
  auto u = to_user();
  ASSERT_EQ(codes(u), std::vector<code_t>{SSC_INVITE_CO});
  EXPECT_EQ(u[0].status, 200);
  user(SSC_ACK_RQ, new_handle(ssc_msg_type::ACK));
  w = wire();
  ASSERT_EQ(w.size(), 1u);
  EXPECT_EQ(first_line(w[0]).substr(0, 4), "ACK ");
}

TEST_F(SscMachines, IncomingCallAnsweredAcknowledgedAndClosedByPeer) {
  const u16 number = offered_call();
  user_answer(number, 200, "OK");
  auto w = wire();
  ASSERT_EQ(w.size(), 1u);
  EXPECT_EQ(first_line(w[0]), "SIP/2.0 200 OK");
  const std::string to = header(w[0], "To");
  EXPECT_NE(to.find(";tag="), std::string::npos) << w[0];
  const std::string tag = to.substr(to.find(";tag=") + 5);
  peer(peer_request("ACK", "1", tag, "z9hG4bKack1"));
  EXPECT_EQ(codes(to_user()), std::vector<code_t>{SSC_ACK_IN});
  peer(peer_request("BYE", "2", tag, "z9hG4bKbye1"));
  EXPECT_EQ(codes(to_user()), std::vector<code_t>{SSC_BYE_IN});
  ssc_handle* ok = new_handle(ssc_msg_type::BYE_RS);
  auto* st = static_cast<ssc_hdr_status*>(Ssc_alloc_header(ok, H::RETURN_CODE));
  st->code = 200;
  st->reason = "OK";
  user(SSC_BYE_RS, ok, in_conn);
  w = wire();
  ASSERT_EQ(w.size(), 1u);
  EXPECT_EQ(first_line(w[0]), "SIP/2.0 200 OK");
  EXPECT_NE(header(w[0], "CSeq").find("BYE"), std::string::npos);
  EXPECT_EQ(codes(to_user()), (std::vector<code_t>{SESS_CLOSED_IN, CALL_CLOSED_IN}));
  EXPECT_FALSE(call_open(in_conn));
}

// A call refused by the user, or closed before its answer (404), ends on
// both entities with the refusal: the far end's ACK, on the INVITE's
// branch, only ends the server transaction that re-sent the refusal.
TEST_F(SscMachines, RefusedCallEndsWithItsRefusalAndTheAckIsAbsorbed) {
  for (const bool close : {false, true}) {
    SCOPED_TRACE(close ? "closed before the answer" : "refused 486");
    const u16 number = offered_call();
    if (close) user(CLOSE_SESS_RQ, new_handle(ssc_msg_type::CLOSE_SESSION), in_conn);
    else user_answer(number, 486, "Busy Here");
    auto w = wire();
    ASSERT_EQ(w.size(), 1u);
    EXPECT_EQ(first_line(w[0]), close ? "SIP/2.0 404 Not Found" : "SIP/2.0 486 Busy Here");
    EXPECT_FALSE(call_open(in_conn));
    EXPECT_EQ(sip_entity_state().pools->calls.in_use(), 0u);
    EXPECT_EQ(sip_entity_state().pools->server_txs.in_use(), 1u);
    advance(600);  // the refusal again, at T1 and after
    EXPECT_GE(wire().size(), 1u);
    const std::string to = header(w[0], "To");
    peer(peer_request("ACK", "1", to.substr(to.find(";tag=") + 5), "z9hG4bKin1"));
    EXPECT_TRUE(wire().empty());
    EXPECT_EQ(sip_entity_state().pools->server_txs.in_use(), 0u);
    (void)to_user();
    advance(5000);
    EXPECT_TRUE(wire().empty());
    EXPECT_TRUE(to_user().empty());
  }
}

TEST_F(SscMachines, CloseBeforeTheAckSendsTheByeAfterIt) {
  const u16 number = offered_call();
  user_answer(number, 200, "OK");
  auto w = wire();
  ASSERT_EQ(w.size(), 1u);
  const std::string to = header(w[0], "To");
  const std::string tag = to.substr(to.find(";tag=") + 5);
  user(CLOSE_SESS_RQ, new_handle(ssc_msg_type::CLOSE_SESSION), in_conn);
  EXPECT_TRUE(wire().empty()) << "no BYE before the ACK";
  peer(peer_request("ACK", "1", tag, "z9hG4bKack1"));
  w = wire();
  ASSERT_EQ(w.size(), 1u);
  EXPECT_EQ(first_line(w[0]), "BYE sip:caller@127.0.0.1:5070 SIP/2.0");
  EXPECT_NE(header(w[0], "From").find(";tag=" + tag), std::string::npos) << w[0];
  EXPECT_NE(header(w[0], "To").find(";tag=peer1"), std::string::npos) << w[0];
  peer(respond(w[0], "200 OK", ""));
  auto u = codes(to_user());
  ASSERT_FALSE(u.empty());
  EXPECT_EQ(u.back(), CALL_CLOSED_IN);
  EXPECT_FALSE(call_open(in_conn));
}

TEST_F(SscMachines, CancelWithSessionNoticesAnswers200And487) {
  ssc_mod().ua->option_byte = 0x01;
  offered_call();
  std::string cancel = peer_request("CANCEL", "1", "", "z9hG4bKin1");
  peer(cancel);
  auto w = wire();
  ASSERT_EQ(w.size(), 2u) << (w.empty() ? "" : w[0]) << reports;
  EXPECT_EQ(first_line(w[0]), "SIP/2.0 200 OK");
  EXPECT_NE(header(w[0], "CSeq").find("CANCEL"), std::string::npos);
  EXPECT_EQ(first_line(w[1]), "SIP/2.0 487 Request Terminated");
  EXPECT_NE(header(w[1], "CSeq").find("INVITE"), std::string::npos);
  // The 487 opened no dialog: the call ends with it, and the ACK only ends
  // the INVITE's server transaction.
  EXPECT_EQ(codes(to_user()), (std::vector<code_t>{SESS_CLOSED_IN, CALL_CLOSED_IN}));
  EXPECT_FALSE(call_open(in_conn));
  const std::string to = header(w[1], "To");
  peer(peer_request("ACK", "1", to.substr(to.find(";tag=") + 5), "z9hG4bKin1"));
  EXPECT_TRUE(to_user().empty());
}

TEST_F(SscMachines, CancelWithoutSessionNoticesIsTheUsersToAnswer) {
  const u16 number = offered_call();
  peer(peer_request("CANCEL", "1", "", "z9hG4bKin1"));
  auto u = to_user();
  ASSERT_EQ(codes(u), std::vector<code_t>{SSC_CANCEL_IN});
  EXPECT_TRUE(wire().empty()) << "the user answers";
  ssc_handle* ok = new_handle(ssc_msg_type::CANCEL_RS);
  auto* st = static_cast<ssc_hdr_status*>(Ssc_alloc_header(ok, H::RETURN_CODE));
  st->code = 200;
  st->reason = "OK";
  ok->transaction_number = number;
  user(SSC_CANCEL_RS, ok, in_conn);
  auto w = wire();
  ASSERT_EQ(w.size(), 2u);
  EXPECT_EQ(first_line(w[0]), "SIP/2.0 200 OK");
  EXPECT_NE(header(w[0], "CSeq").find("CANCEL"), std::string::npos);
  EXPECT_EQ(first_line(w[1]), "SIP/2.0 487 Request Terminated");
  EXPECT_NE(header(w[1], "CSeq").find("INVITE"), std::string::npos);
}

TEST_F(SscMachines, ByeWithSessionNoticesIsAnsweredHere) {
  ssc_mod().ua->option_byte = 0x01;
  const std::string inv = active_call();
  std::string bye = "BYE sip:tessaly@127.0.0.1:5060 SIP/2.0\r\n";
  bye += "Via: SIP/2.0/UDP 127.0.0.1:5070;branch=z9hG4bKb1\r\n";
  bye += "From: " + header(respond(inv, "200 OK", "callee1"), "To") + "\r\n";
  bye += "To: " + header(inv, "From") + "\r\n";
  bye += "Call-ID: " + header(inv, "Call-ID") + "\r\nCSeq: 7 BYE\r\nContent-Length: 0\r\n\r\n";
  peer(bye);
  auto w = wire();
  ASSERT_EQ(w.size(), 1u);
  EXPECT_EQ(first_line(w[0]), "SIP/2.0 200 OK");
  EXPECT_EQ(codes(to_user()), (std::vector<code_t>{SESS_CLOSED_IN, CALL_CLOSED_IN}));
  EXPECT_FALSE(call_open());
}

TEST_F(SscMachines, CrossingByesAreBothAnswered) {
  const std::string inv = active_call();
  user(SSC_BYE_RQ, new_handle(ssc_msg_type::BYE));
  auto w = wire();
  ASSERT_EQ(w.size(), 1u);
  const std::string bye = w[0];
  std::string theirs = "BYE sip:tessaly@127.0.0.1:5060 SIP/2.0\r\n";
  theirs += "Via: SIP/2.0/UDP 127.0.0.1:5070;branch=z9hG4bKx1\r\n";
  theirs += "From: " + header(respond(inv, "200 OK", "callee1"), "To") + "\r\n";
  theirs += "To: " + header(inv, "From") + "\r\n";
  theirs += "Call-ID: " + header(inv, "Call-ID") + "\r\nCSeq: 9 BYE\r\nContent-Length: 0\r\n\r\n";
  peer(theirs);
  w = wire();
  ASSERT_EQ(w.size(), 1u);
  EXPECT_EQ(first_line(w[0]), "SIP/2.0 200 OK");
  // ENT_SIP releases the dialog with our answer: the session ends now, and
  // the late answer to our BYE finds nothing.
  EXPECT_EQ(codes(to_user()), (std::vector<code_t>{SESS_CLOSED_IN, CALL_CLOSED_IN}));
  EXPECT_FALSE(call_open());
  peer(respond(bye, "200 OK", ""));
  EXPECT_TRUE(to_user().empty());
  EXPECT_TRUE(wire().empty());
}

TEST_F(SscMachines, UserInviteWhileOursAwaitsItsAckIsRefused491) {
  const u16 number = offered_call();
  user_answer(number, 200, "OK");
  wire();
  user(SSC_INVITE_RQ, new_handle(ssc_msg_type::INVITE), in_conn);
  auto u = to_user();
  ASSERT_EQ(codes(u), std::vector<code_t>{SSC_INVITE_CO});
  EXPECT_EQ(u[0].status, 491);
  EXPECT_TRUE(wire().empty());
}

// REGISTER: challenge, 200 with Contact expires=4, refresh after 2 s with
// the same Call-ID and nc 2, de-registration with Expires 0.
TEST_F(SscMachines, RegistrationChallengedRefreshedAndRemoved) {
  auto reg = [](u32 contact_expires) {
    ssc_handle* h = new_handle(ssc_msg_type::REGISTER);
    ssc_test::invite_fields f;
    f.addr_port = PEER_PORT;
    f.uri_port = PEER_PORT;
    add_invite_headers(h, f);
    if (void** ci = Ssc_list_head(h, H::CALL_ID)) *ci = nullptr;
    if (void** ru = Ssc_list_head(h, H::REQUEST_URI)) static_cast<ssc_hdr_request_uri*>(*ru)->uri.user = nullptr;
    Ssc_first<ssc_hdr_contact>(h, H::CONTACT)->d1 = contact_expires;
    add_user_auth(h);
    h->transaction_number = 1;
    return h;
  };
  user(SSC_REGISTER_RQ, reg(4), 0);
  auto w = wire();
  ASSERT_EQ(w.size(), 1u);
  EXPECT_EQ(first_line(w[0]), "REGISTER sip:127.0.0.1:5070 SIP/2.0");
  peer(respond(w[0], "401 Unauthorized", "reg1",
               "WWW-Authenticate: Digest realm=\"fax.example\", nonce=\"7c0ffee5\", qop=\"auth\"\r\n"));
  w = wire();
  ASSERT_EQ(w.size(), 1u);
  const std::string second = w[0];
  const std::string cred = header(second, "Authorization");
  EXPECT_EQ(param(cred, "uri"), "sip:127.0.0.1:5070");
  EXPECT_EQ(param(cred, "nc"), "00000001");
  EXPECT_EQ(param(cred, "response"), expected_response(cred, "REGISTER", "secret"));
  EXPECT_EQ(header(second, "To").find(";tag="), std::string::npos);
  peer(respond(second, "200 OK", "reg1", "Contact: <sip:tessaly@127.0.0.1>;expires=4\r\n"));
  auto u = to_user();
  ASSERT_EQ(codes(u), std::vector<code_t>{SSC_REGISTER_CO});
  EXPECT_EQ(u[0].byte0, 1);
  advance(1990);
  EXPECT_TRUE(wire().empty());
  advance(20);
  w = wire();
  ASSERT_EQ(w.size(), 1u);
  const std::string refresh = w[0];
  EXPECT_EQ(header(refresh, "Call-ID"), header(second, "Call-ID"));
  EXPECT_GT(std::atoi(header(refresh, "CSeq").c_str()), std::atoi(header(second, "CSeq").c_str()));
  const std::string cred2 = header(refresh, "Authorization");
  EXPECT_EQ(param(cred2, "nc"), "00000002");
  EXPECT_EQ(param(cred2, "response"), expected_response(cred2, "REGISTER", "secret"));
  peer(respond(refresh, "200 OK", "reg1", "Contact: <sip:tessaly@127.0.0.1>;expires=4\r\n"));
  EXPECT_TRUE(to_user().empty()) << "a refresh is not news to the user";
  // De-registration.
  user(SSC_REGISTER_RQ, reg(0), 0);
  w = wire();
  ASSERT_EQ(w.size(), 1u);
  EXPECT_EQ(header(w[0], "Expires"), "0");
  EXPECT_EQ(header(w[0], "Call-ID"), header(second, "Call-ID"));
  // The nonce count goes on with the nonce (never 1 again: a replay).
  const std::string cred3 = header(w[0], "Authorization");
  EXPECT_EQ(param(cred3, "nc"), "00000003");
  EXPECT_EQ(param(cred3, "response"), expected_response(cred3, "REGISTER", "secret"));
  peer(respond(w[0], "200 OK", "reg1"));
  u = to_user();
  ASSERT_FALSE(u.empty());
  EXPECT_EQ(u[0].code, SSC_REGISTER_CO);
}

TEST_F(SscMachines, Register2xxWithoutExpiryRefreshesFromWhatWasAsked) {
  ssc_handle* h = new_handle(ssc_msg_type::REGISTER);
  ssc_test::invite_fields f;
  f.addr_port = PEER_PORT;
  add_invite_headers(h, f);
  Ssc_first<ssc_hdr_contact>(h, H::CONTACT)->d1 = 6;
  h->transaction_number = 1;
  user(SSC_REGISTER_RQ, h, 0);
  auto w = wire();
  ASSERT_EQ(w.size(), 1u);
  peer(respond(w[0], "200 OK", "reg1"));  // no Expires, no contact expires
  EXPECT_EQ(codes(to_user()), std::vector<code_t>{SSC_REGISTER_CO});
  advance(2980);
  EXPECT_TRUE(wire().empty());
  advance(40);
  w = wire();
  ASSERT_EQ(w.size(), 1u) << "refreshed after half of the 6 s asked for";
  EXPECT_EQ(first_line(w[0]).substr(0, 9), "REGISTER ");
}

TEST_F(SscMachines, OptionsRepeatedUntilTheUserSendsIntervalZero) {
  auto options = [](u32 interval) {
    ssc_handle* h = new_handle(ssc_msg_type::OPTIONS);
    ssc_test::invite_fields f;
    f.addr_port = PEER_PORT;
    f.uri_port = PEER_PORT;
    add_invite_headers(h, f);
    static_cast<ssc_hdr_u32*>(Ssc_alloc_header(h, H::OPTIONS_VALUE))->value = interval;
    h->transaction_number = 3;
    return h;
  };
  user(SSC_OPTIONS_RQ, options(2));
  auto w = wire();
  ASSERT_EQ(w.size(), 1u);
  EXPECT_EQ(first_line(w[0]), "OPTIONS sip:fax@127.0.0.1:5070 SIP/2.0");
  peer(respond(w[0], "200 OK", "o1"));
  EXPECT_EQ(codes(to_user()), std::vector<code_t>{SSC_OPTIONS_CO});
  advance(2010);
  w = wire();
  ASSERT_EQ(w.size(), 1u);
  EXPECT_EQ(first_line(w[0]).substr(0, 8), "OPTIONS ");
  peer(respond(w[0], "200 OK", "o1"));
  EXPECT_EQ(codes(to_user()), std::vector<code_t>{SSC_OPTIONS_CO});
  user(SSC_OPTIONS_RQ, options(0));
  advance(2500);
  EXPECT_TRUE(wire().empty());
  EXPECT_FALSE(call_open());
}

TEST_F(SscMachines, UnexpectedEventsAreReportedAndTheStateKept) {
  // A BYE answer of the user while the incoming INVITE waits: entry state 11.
  offered_call();
  ssc_handle* h = new_handle(ssc_msg_type::BYE_RS);
  h->transaction_number = 99;
  user(SSC_BYE_RS, h, in_conn);
  auto u = to_user();
  ASSERT_EQ(codes(u), std::vector<code_t>{SSC_ERROR_IN});
  EXPECT_EQ(u[0].data[2] | (u[0].data[3] << 8), 900);
  EXPECT_EQ(reports, "b");
  EXPECT_TRUE(wire().empty());
  ASSERT_TRUE(call_open(in_conn));
  EXPECT_EQ(ssc_mod().call->state, CALL_OFFERED);
  reports.clear();

  // A close while an OPTIONS outside a dialog runs (call state 12): the
  // same report, the OPTIONS goes on, nothing re-sent.
  ssc_handle* o = new_handle(ssc_msg_type::OPTIONS);
  ssc_test::invite_fields f;
  f.addr_port = PEER_PORT;
  add_invite_headers(o, f);
  o->transaction_number = 4;
  user(SSC_OPTIONS_RQ, o);
  ASSERT_EQ(wire().size(), 1u);
  user(CLOSE_SESS_RQ, new_handle(ssc_msg_type::CLOSE_SESSION));
  u = to_user();
  ASSERT_EQ(codes(u), std::vector<code_t>{SSC_ERROR_IN});
  EXPECT_EQ(u[0].data[2] | (u[0].data[3] << 8), 900);
  EXPECT_EQ(reports, "b");
  EXPECT_TRUE(wire().empty());
  ASSERT_TRUE(call_open());
  EXPECT_EQ(ssc_mod().call->state, CALL_OPTIONS);
}

// A REGISTER for registration number n takes slot n; the Service-Route its
// 200 gives becomes the route set of later calls; a second REGISTER naming a
// slot already taken is dropped and leaves no call.
TEST_F(SscMachines, RegistrationSlotGivesItsServiceRouteToNewCalls) {
  auto reg = [](u16 slot) {
    ssc_handle* h = new_handle(ssc_msg_type::REGISTER);
    ssc_test::invite_fields f;
    f.addr_port = PEER_PORT;
    add_invite_headers(h, f);
    Ssc_first<ssc_hdr_contact>(h, H::CONTACT)->d1 = 60;
    h->transaction_number = 1;
    h->carried_word_2 = slot;
    return h;
  };
  user(SSC_REGISTER_RQ, reg(3), 0);
  auto w = wire();
  ASSERT_EQ(w.size(), 1u);
  peer(respond(w[0], "200 OK", "reg1", "Service-Route: <sip:edge@127.0.0.1:5090;lr>\r\n"));
  EXPECT_EQ(codes(to_user()), std::vector<code_t>{SSC_REGISTER_CO});
  ASSERT_NE(ssc_mod().ua->reg_slots[3], nullptr);

  user(SSC_REGISTER_RQ, reg(3), 1);
  EXPECT_TRUE(wire().empty());
  EXPECT_FALSE(call_open(1));

  user(SSC_INVITE_RQ, invite(false));
  w = wire();
  ASSERT_EQ(w.size(), 1u);
  EXPECT_NE(header(w[0], "Route").find("sip:edge@127.0.0.1:5090;lr"), std::string::npos) << w[0];
  EXPECT_EQ(ssc_mod().ua->reg_slots[3]->reg_slot, 3);
}

}  // namespace
