// Whole exchanges through ENT_SIP: datagrams from the socket side, answers
// of a scripted user (session control) built as SIP primitives, and what
// leaves towards the socket entity.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/byte_order.h"
#include "runtime/sm.h"
#include "runtime/sock.h"
#include "sip/prim/sip_elem.h"
#include "sip/text/sip_parse.h"
#include "sip/text/sip_prim_kind.h"
#include "sip/ent/sip_call.h"
#include "sip/ent/sip_entity.h"
#include "sip/ent/support/sip_harness.h"

using sip_test::harness;
using sip_test::USER_NAI;

namespace {

std::vector<std::uint8_t> datagram(const std::string& text) {
  std::vector<std::uint8_t> d(28 + text.size());
  d[0] = 4;
  d[4] = 127;
  d[7] = 1;
  put_host16(&d[8], 5070);
  std::memcpy(&d[28], text.data(), text.size());
  return d;
}

const char* const CALLID = "flow-1@127.0.0.1";

std::string msg(const std::string& start, const std::string& branch, const std::string& cseq,
                const std::string& to_tag) {
  std::string s = start + "\r\n";
  s += "Via: SIP/2.0/UDP 127.0.0.1:5070;branch=" + branch + "\r\n";
  s += "From: <sip:a@127.0.0.1>;tag=f1\r\n";
  s += "To: <sip:fax@127.0.0.1>" + (to_tag.empty() ? std::string() : ";tag=" + to_tag) + "\r\n";
  s += std::string("Call-ID: ") + CALLID + "\r\n";
  s += "CSeq: " + cseq + "\r\n";
  s += "Contact: <sip:a@127.0.0.1:5070>\r\n";
  s += "Content-Length: 0\r\n\r\n";
  return s;
}

// The primitive body the user sends for a response: the response text parsed
// into the work area and built as the kind's primitive.
std::vector<std::uint8_t> response_prim(char kind, const std::string& text) {
  std::string copy = text;
  sip_parser parser;
  sip_parse__start(parser, copy.data(), copy.size());
  const std::uint8_t r = sip_parse_message(parser, 1);
  EXPECT_TRUE(r == SIP_PARSE_DONE || r == SIP_PARSE_MORE);
  buffer_t* chain = nullptr;
  EXPECT_EQ(sip_prim__build_up(sip_kind_index_rs[kind - 'a' + 1], 0, &chain), 2);
  std::vector<std::uint8_t> body = rt_test::chain_bytes(chain);
  Free_buffer(chain);
  return body;
}

// A request of the user: its text built as the kind's primitive.
std::vector<std::uint8_t> request_prim(char kind, const std::string& text) {
  std::string copy = text;
  sip_parser parser;
  sip_parse__start(parser, copy.data(), copy.size());
  const std::uint8_t r = sip_parse_message(parser, 1);
  EXPECT_TRUE(r == SIP_PARSE_DONE || r == SIP_PARSE_MORE);
  buffer_t* chain = nullptr;
  EXPECT_EQ(sip_prim__build_up(sip_kind_index_rq[kind - 'A' + 1], 0, &chain), 2);
  std::vector<std::uint8_t> body = rt_test::chain_bytes(chain);
  Free_buffer(chain);
  return body;
}

// A message of our own call to far@127.0.0.1:5070 (From tag o1), or the far
// end's response to it.
std::string ours(const std::string& start, const std::string& branch, const std::string& cseq,
                 const std::string& to_tag) {
  std::string s = start + "\r\n";
  s += "Via: SIP/2.0/UDP 127.0.0.1:5060;branch=" + branch + "\r\n";
  s += "From: <sip:fax@127.0.0.1>;tag=o1\r\n";
  s += "To: <sip:far@127.0.0.1:5070>" + (to_tag.empty() ? std::string() : ";tag=" + to_tag) + "\r\n";
  s += "Call-ID: out-flow-1@127.0.0.1\r\n";
  s += "CSeq: " + cseq + "\r\n";
  s += "Contact: <sip:fax@127.0.0.1:5060>\r\n";
  s += "Max-Forwards: 70\r\n";
  s += "Content-Length: 0\r\n\r\n";
  return s;
}

std::string header_of(const std::string& text, const std::string& name) {
  const std::size_t at = text.find("\r\n" + name + ":");
  if (at == std::string::npos) return "";
  const std::size_t start = text.find_first_not_of(' ', at + name.size() + 3);
  return text.substr(start, text.find("\r\n", start) - start);
}
std::string branch_of(const std::string& text) {
  const std::string via = header_of(text, "Via");
  const std::size_t at = via.find("branch=");
  return at == std::string::npos ? "" : via.substr(at + 7, via.find(';', at) - at - 7);
}

struct out {
  std::vector<std::string> wire;     // first lines sent
  std::vector<std::uint8_t> up;      // codes to the user
  std::vector<std::string> texts;    // whole messages sent
  std::vector<std::uint16_t> conns;  // conn_ids of what went to the user
};

// `text` with the Call-ID of call number `n`.
std::string of_call(std::string text, int n) {
  const std::size_t at = text.find(CALLID);
  return text.replace(at, std::strlen(CALLID), "call-" + std::to_string(n) + "@127.0.0.1");
}

class Flow : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(h.configure(sip_test::one_endpoint()), (std::vector<std::uint8_t>{2, 2, ENT_SIP}));
  }
  out collect() {
    out o;
    for (const auto& m : h.take()) {
      if (m.to == ENT_IP && m.code == SOCK_U_DA_RQ) {
        std::string t(m.data.begin() + 28, m.data.end());
        o.wire.push_back(t.substr(0, t.find("\r\n")));
        o.texts.push_back(t);
      }
      if (m.to == ENT_SSC) {
        o.up.push_back(m.code);
        o.conns.push_back(m.conn_id);
      }
    }
    return o;
  }
  out from_net(const std::string& text) {
    h.send(ENT_PH_IT, SOCK_U_DA_IN, datagram(text), sip_test::TRANSPORT_NAI);
    return collect();
  }
  out from_user(char kind, const std::string& text, std::uint16_t conn_id) {
    h.send(ENT_SSC, static_cast<code_t>(kind), response_prim(kind, text), USER_NAI, conn_id);
    return collect();
  }
  out request_from_user(char kind, const std::string& text, std::uint16_t conn_id) {
    h.send(ENT_SSC, static_cast<code_t>(kind), request_prim(kind, text), USER_NAI, conn_id);
    return collect();
  }
  harness h;
};

TEST_F(Flow, IncomingCallAnsweredAcknowledgedAndClosed) {
  const std::string invite = msg("INVITE sip:fax@127.0.0.1 SIP/2.0", "z9hG4bKi1", "1 INVITE", "");
  out o = from_net(invite);
  ASSERT_EQ(o.up, (std::vector<std::uint8_t>{225}));
  const std::uint16_t conn = 99;

  o = from_user('a', msg("SIP/2.0 180 Ringing", "z9hG4bKi1", "1 INVITE", "t1"), conn);
  EXPECT_EQ(o.wire, (std::vector<std::string>{"SIP/2.0 180 Ringing"}));
  // The INVITE's copy gets the 180 again and does not reach the user.
  o = from_net(invite);
  EXPECT_EQ(o.wire, (std::vector<std::string>{"SIP/2.0 180 Ringing"}));
  EXPECT_TRUE(o.up.empty());

  o = from_user('a', msg("SIP/2.0 200 OK", "z9hG4bKi1", "1 INVITE", "t1"), conn);
  EXPECT_EQ(o.wire, (std::vector<std::string>{"SIP/2.0 200 OK"}));
  h.advance(350);  // T1 100: copies at 100 and 300
  o = collect();
  EXPECT_EQ(o.wire, (std::vector<std::string>{"SIP/2.0 200 OK", "SIP/2.0 200 OK"}));
  // A copy of the INVITE now gets the 200 kept for retransmission.
  o = from_net(invite);
  EXPECT_EQ(o.wire, (std::vector<std::string>{"SIP/2.0 200 OK"}));
  EXPECT_TRUE(o.up.empty());

  o = from_net(msg("ACK sip:fax@127.0.0.1 SIP/2.0", "z9hG4bKa1", "1 ACK", "t1"));
  EXPECT_EQ(o.up, (std::vector<std::uint8_t>{226}));
  h.advance(2000);
  EXPECT_TRUE(collect().wire.empty());

  const std::string bye = msg("BYE sip:fax@127.0.0.1 SIP/2.0", "z9hG4bKb1", "2 BYE", "t1");
  o = from_net(bye);
  EXPECT_EQ(o.up, (std::vector<std::uint8_t>{228}));
  o = from_user('d', msg("SIP/2.0 200 OK", "z9hG4bKb1", "2 BYE", "t1"), conn);
  EXPECT_EQ(o.wire, (std::vector<std::string>{"SIP/2.0 200 OK"}));
  EXPECT_EQ(sip_mod.pools.calls.in_use(), 0u);
  // The call is gone; a copy of the BYE still gets its 200 from the
  // answered server transaction.
  o = from_net(bye);
  EXPECT_EQ(o.wire, (std::vector<std::string>{"SIP/2.0 200 OK"}));
  EXPECT_TRUE(o.up.empty());
  h.advance(32100);  // answered server transactions live for the hold time
  EXPECT_EQ(sip_mod.pools.server_txs.in_use(), 0u);
}

TEST_F(Flow, RejectedCallResendsItsFinalUntilAck) {
  // A refusal outside any dialog: the call goes back to the pool at once
  // (the user is given the ACK with it) and the server transaction alone
  // re-sends the final response until the ACK, which it absorbs.
  const std::string invite = msg("INVITE sip:fax@127.0.0.1 SIP/2.0", "z9hG4bKr1", "1 INVITE", "");
  ASSERT_EQ(from_net(invite).up, (std::vector<std::uint8_t>{225}));
  out o = from_user('a', msg("SIP/2.0 486 Busy Here", "z9hG4bKr1", "1 INVITE", "t2"), 99);
  EXPECT_EQ(o.wire, (std::vector<std::string>{"SIP/2.0 486 Busy Here"}));
  EXPECT_EQ(o.up, (std::vector<std::uint8_t>{226}));
  EXPECT_EQ(sip_mod.pools.calls.in_use(), 0u);
  EXPECT_EQ(sip_mod.pools.server_txs.in_use(), 1u);
  // A copy of the INVITE gets the final response, not a null one.
  o = from_net(invite);
  EXPECT_EQ(o.wire, (std::vector<std::string>{"SIP/2.0 486 Busy Here"}));
  EXPECT_TRUE(o.up.empty());
  h.advance(350);  // T1 100: copies at 100 and 300
  o = collect();
  EXPECT_EQ(o.wire, (std::vector<std::string>{"SIP/2.0 486 Busy Here", "SIP/2.0 486 Busy Here"}));
  EXPECT_EQ(header_of(o.texts[0], "To"), "<sip:fax@127.0.0.1>;tag=t2");
  o = from_net(msg("ACK sip:fax@127.0.0.1 SIP/2.0", "z9hG4bKr1", "1 ACK", "t2"));
  EXPECT_TRUE(o.up.empty());
  EXPECT_TRUE(o.wire.empty());
  EXPECT_EQ(sip_mod.pools.server_txs.in_use(), 0u);
  h.advance(3000);
  EXPECT_TRUE(collect().wire.empty());

  // Without an ACK the copies go on, T2 (800) apart at most, until the
  // hold time ends the transaction.
  ASSERT_EQ(from_net(of_call(msg("INVITE sip:fax@127.0.0.1 SIP/2.0", "z9hG4bKr2", "1 INVITE", ""), 2)).up.size(), 1u);
  (void)from_user('a', of_call(msg("SIP/2.0 404 Not Found", "z9hG4bKr2", "1 INVITE", "t3"), 2), 99);
  EXPECT_EQ(sip_mod.pools.calls.in_use(), 0u);
  h.advance(32100);
  o = collect();
  EXPECT_GE(o.wire.size(), 40u);  // 100, 300, 700, 1500, then every 800 ms
  EXPECT_LE(o.wire.size(), 44u);
  EXPECT_EQ(sip_mod.pools.server_txs.in_use(), 0u);
  h.advance(2000);
  EXPECT_TRUE(collect().wire.empty());
}

// A pool that runs dry is never silent: the request is answered 503 with a
// Retry-After at once, counted, and everything is back at idle once the
// calls it refused for have ended.
TEST(DryPools, AnswerServiceUnavailableWithRetryAfterAndComeBackToIdle) {
  struct dry_case {
    const char* what;
    std::uint32_t calls, server_txs;
    std::uint32_t sip_shared_pools::*counter;
  };
  const dry_case cases[] = {{"calls", 2, 50, &sip_shared_pools::refused_no_call},
                            {"server transactions", 50, 2, &sip_shared_pools::refused_no_server_tx}};
  for (const dry_case& c : cases) {
    SCOPED_TRACE(c.what);
    harness h;
    sip_config cfg = sip_test::one_endpoint();
    cfg.call_count = c.calls;
    cfg.server_tx_count = c.server_txs;
    ASSERT_EQ(h.configure(cfg), (std::vector<std::uint8_t>{2, 2, ENT_SIP}));
    auto net = [&](const std::string& text) {
      h.send(ENT_PH_IT, SOCK_U_DA_IN, datagram(text), sip_test::TRANSPORT_NAI);
    };
    auto invite = [&](int n) {
      return of_call(msg("INVITE sip:fax@127.0.0.1 SIP/2.0", "z9hG4bKd" + std::to_string(n), "1 INVITE", ""), n);
    };
    // Two calls wait for the user; the third finds its pool empty.
    std::vector<std::uint16_t> conns;
    for (int n = 1; n <= 2; ++n) {
      net(invite(n));
      for (const auto& m : h.take_for(ENT_SSC)) conns.push_back(m.conn_id);
    }
    ASSERT_EQ(conns.size(), 2u);
    h.take();
    for (const std::string& request :
         {invite(3), of_call(msg("OPTIONS sip:fax@127.0.0.1 SIP/2.0", "z9hG4bKo3", "1 OPTIONS", ""), 4)}) {
      net(request);
      std::vector<std::string> wire;
      for (const auto& m : h.take()) {
        EXPECT_NE(m.to, ENT_SSC);
        if (m.to == ENT_IP && m.code == SOCK_U_DA_RQ) wire.emplace_back(m.data.begin() + 28, m.data.end());
      }
      ASSERT_EQ(wire.size(), 1u);
      EXPECT_EQ(wire[0].substr(0, wire[0].find("\r\n")), "SIP/2.0 503 Service Unavailable");
      const std::string retry = header_of(wire[0], "Retry-After");
      ASSERT_FALSE(retry.empty()) << wire[0];
      EXPECT_GE(std::stoi(retry), 1);
      EXPECT_LE(std::stoi(retry), 9);
    }
    EXPECT_EQ(sip_mod.pools.*c.counter, 2u);
    // The user refuses both calls; the ACKs end their transactions.
    for (int n = 1; n <= 2; ++n) {
      h.send(ENT_SSC, 'a',
             response_prim('a', of_call(msg("SIP/2.0 480 Temporarily Unavailable", "z9hG4bKd" + std::to_string(n),
                                            "1 INVITE", "r" + std::to_string(n)),
                                        n)),
             USER_NAI, conns[n - 1]);
      net(of_call(
          msg("ACK sip:fax@127.0.0.1 SIP/2.0", "z9hG4bKd" + std::to_string(n), "1 ACK", "r" + std::to_string(n)), n));
    }
    EXPECT_EQ(sip_mod.pools.calls.in_use(), 0u);
    EXPECT_EQ(sip_mod.pools.server_txs.in_use(), 0u);
    // The next call is taken again.
    h.take();
    net(invite(5));
    EXPECT_EQ(h.take_for(ENT_SSC).size(), 1u);
  }
}

TEST_F(Flow, CancelAndItsAckReuseTheInviteBranchAndCseq) {
  const std::uint16_t conn = 7;
  out o = request_from_user('A', ours("INVITE sip:far@127.0.0.1:5070 SIP/2.0", "z9hG4bKo1", "1 INVITE", ""), conn);
  ASSERT_EQ(o.wire, (std::vector<std::string>{"INVITE sip:far@127.0.0.1:5070 SIP/2.0"}));
  const std::string inv_cseq = header_of(o.texts[0], "CSeq");
  const std::string n = inv_cseq.substr(0, inv_cseq.find(' '));
  ASSERT_EQ(branch_of(o.texts[0]), "z9hG4bKo1");
  o = from_net(ours("SIP/2.0 180 Ringing", "z9hG4bKo1", n + " INVITE", "far1"));
  EXPECT_EQ(o.up, (std::vector<std::uint8_t>{193}));

  // The user's CANCEL names a branch of its own; the wire has the INVITE's.
  o = request_from_user('E', ours("CANCEL sip:far@127.0.0.1:5070 SIP/2.0", "z9hG4bKother", n + " CANCEL", ""), conn);
  ASSERT_EQ(o.texts.size(), 1u);
  EXPECT_EQ(o.wire[0], "CANCEL sip:far@127.0.0.1:5070 SIP/2.0");
  EXPECT_EQ(branch_of(o.texts[0]), "z9hG4bKo1");
  EXPECT_EQ(header_of(o.texts[0], "CSeq"), n + " CANCEL");
  o = from_net(ours("SIP/2.0 200 OK", "z9hG4bKo1", n + " CANCEL", "far1"));
  EXPECT_EQ(o.up, (std::vector<std::uint8_t>{197}));
  o = from_net(ours("SIP/2.0 487 Request Terminated", "z9hG4bKo1", n + " INVITE", "far1"));
  EXPECT_EQ(o.up, (std::vector<std::uint8_t>{193}));

  // The ACK of the 487 goes with the INVITE's branch and CSeq number too.
  o = request_from_user('B', ours("ACK sip:far@127.0.0.1:5070 SIP/2.0", "z9hG4bKack", n + " ACK", "far1"), conn);
  ASSERT_EQ(o.texts.size(), 1u);
  EXPECT_EQ(branch_of(o.texts[0]), "z9hG4bKo1");
  EXPECT_EQ(header_of(o.texts[0], "CSeq"), n + " ACK");
  h.advance(33000);
  collect();
  EXPECT_EQ(sip_mod.pools.calls.in_use(), 0u);
}

TEST_F(Flow, AckOfA2xxHasItsOwnBranchAndCancelAfterItIsConfirmedLocally) {
  const std::uint16_t conn = 7;
  out o = request_from_user('A', ours("INVITE sip:far@127.0.0.1:5070 SIP/2.0", "z9hG4bKo2", "1 INVITE", ""), conn);
  ASSERT_EQ(o.texts.size(), 1u);
  const std::string cs = header_of(o.texts[0], "CSeq");
  const std::string n = cs.substr(0, cs.find(' '));
  o = from_net(ours("SIP/2.0 200 OK", "z9hG4bKo2", n + " INVITE", "far2"));
  EXPECT_EQ(o.up, (std::vector<std::uint8_t>{193}));
  // A CANCEL once the INVITE is accepted never leaves: the user gets a 200
  // confirm of it.
  o = request_from_user('E', ours("CANCEL sip:far@127.0.0.1:5070 SIP/2.0", "z9hG4bKc2", n + " CANCEL", ""), conn);
  EXPECT_TRUE(o.wire.empty());
  EXPECT_EQ(o.up, (std::vector<std::uint8_t>{197}));
  o = request_from_user('B', ours("ACK sip:far@127.0.0.1:5070 SIP/2.0", "z9hG4bKack2", n + " ACK", "far2"), conn);
  ASSERT_EQ(o.texts.size(), 1u);
  EXPECT_EQ(branch_of(o.texts[0]), "z9hG4bKack2");
  EXPECT_EQ(header_of(o.texts[0], "CSeq"), n + " ACK");
}

TEST_F(Flow, CrossingReInvitesAreAnswered491AndNeverReachTheUser) {
  const std::string invite = msg("INVITE sip:fax@127.0.0.1 SIP/2.0", "z9hG4bKg1", "1 INVITE", "");
  ASSERT_EQ(from_net(invite).up, (std::vector<std::uint8_t>{225}));
  const std::uint16_t conn = 99;
  (void)from_user('a', msg("SIP/2.0 200 OK", "z9hG4bKg1", "1 INVITE", "t1"), conn);
  ASSERT_EQ(from_net(msg("ACK sip:fax@127.0.0.1 SIP/2.0", "z9hG4bKg2", "1 ACK", "t1")).up,
            (std::vector<std::uint8_t>{226}));
  // Our re-INVITE is pending...
  std::string re =
      "INVITE sip:a@127.0.0.1:5070 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:5060;branch=z9hG4bKre\r\n"
      "From: <sip:fax@127.0.0.1>;tag=t1\r\nTo: <sip:a@127.0.0.1>;tag=f1\r\nCall-ID: " +
      std::string(CALLID) +
      "\r\nCSeq: 1 INVITE\r\nContact: <sip:fax@127.0.0.1:5060>\r\n"
      "Content-Length: 0\r\n\r\n";
  out o = request_from_user('A', re, conn);
  ASSERT_EQ(o.wire.size(), 1u);
  // ...when the far end's crosses it.
  o = from_net(msg("INVITE sip:fax@127.0.0.1 SIP/2.0", "z9hG4bKg3", "2 INVITE", "t1"));
  EXPECT_EQ(o.wire, (std::vector<std::string>{"SIP/2.0 491 request pending"}));
  EXPECT_TRUE(o.up.empty());
}

TEST_F(Flow, CancelOfAReInviteIsRefused500) {
  ASSERT_EQ(from_net(msg("INVITE sip:fax@127.0.0.1 SIP/2.0", "z9hG4bKx1", "1 INVITE", "")).up,
            (std::vector<std::uint8_t>{225}));
  (void)from_user('a', msg("SIP/2.0 200 OK", "z9hG4bKx1", "1 INVITE", "t1"), 99);
  ASSERT_EQ(from_net(msg("ACK sip:fax@127.0.0.1 SIP/2.0", "z9hG4bKx2", "1 ACK", "t1")).up,
            (std::vector<std::uint8_t>{226}));
  ASSERT_EQ(from_net(msg("INVITE sip:fax@127.0.0.1 SIP/2.0", "z9hG4bKx3", "2 INVITE", "t1")).up,
            (std::vector<std::uint8_t>{225}));
  const out o = from_net(msg("CANCEL sip:fax@127.0.0.1 SIP/2.0", "z9hG4bKx3", "2 CANCEL", "t1"));
  EXPECT_EQ(o.wire, (std::vector<std::string>{"SIP/2.0 500 Internal Server Error"}));
  EXPECT_TRUE(o.up.empty());
}

TEST_F(Flow, SilentUserLetsTheInviteTimeOutWith408) {
  ASSERT_EQ(from_net(msg("INVITE sip:fax@127.0.0.1 SIP/2.0", "z9hG4bKm1", "1 INVITE", "")).up,
            (std::vector<std::uint8_t>{225}));
  h.advance(2900);
  EXPECT_TRUE(collect().wire.empty());
  h.advance(200);  // supervision interval 3000 ms
  const out o = collect();
  ASSERT_EQ(o.wire, (std::vector<std::string>{"SIP/2.0 408 Request Timeout"}));
  EXPECT_EQ(branch_of(o.texts[0]), "z9hG4bKm1");
  EXPECT_EQ(header_of(o.texts[0], "CSeq"), "1 INVITE");
  EXPECT_EQ(sip_mod.pools.calls.in_use(), 0u);
}

TEST_F(Flow, ResponseWithUnknownTagIsRefused481) {
  ASSERT_EQ(from_net(msg("INVITE sip:fax@127.0.0.1 SIP/2.0", "z9hG4bKu1", "1 INVITE", "")).up.size(), 1u);
  std::string r = msg("SIP/2.0 200 OK", "z9hG4bKu1", "1 INVITE", "t3");
  r.replace(r.find(";tag=f1"), 7, ";tag=f1x");  // From tag naming no dialog
  h.send(ENT_SSC, 'a', response_prim('a', r), USER_NAI, 99);
  bool refused = false;
  for (const auto& m : h.take()) {
    EXPECT_NE(m.to, ENT_IP);
    if (m.to == ENT_SSC && m.code == SIP_ERROR_IN && get_host16(m.data.data()) == 481) refused = true;
  }
  EXPECT_TRUE(refused);
}

// Our call to far@, answered 200 and acknowledged: the dialog is confirmed.
// Returns the INVITE's CSeq number.
class OurCall : public Flow {
 protected:
  static constexpr std::uint16_t conn = 7;
  std::string invite_and_answer(const std::string& final_status, bool ack) {
    out o = request_from_user('A', ours("INVITE sip:far@127.0.0.1:5070 SIP/2.0", "z9hG4bKoc", "1 INVITE", ""), conn);
    EXPECT_EQ(o.texts.size(), 1u);
    const std::string cs = o.texts.empty() ? "1 INVITE" : header_of(o.texts[0], "CSeq");
    std::string n = cs.substr(0, cs.find(' '));
    o = from_net(ours("SIP/2.0 " + final_status, "z9hG4bKoc", n + " INVITE", "farc"));
    EXPECT_EQ(o.up, (std::vector<std::uint8_t>{193}));
    if (ack)
      (void)request_from_user('B', ours("ACK sip:far@127.0.0.1:5070 SIP/2.0", "z9hG4bKak", n + " ACK", "farc"), conn);
    return n;
  }
  // SIP_ERROR_IN numbers and dialog states reported, since the last take.
  void sort(std::vector<std::uint16_t>* errors, std::vector<std::uint8_t>* states) {
    for (const auto& m : h.take()) {
      if (m.to == ENT_SSC && m.code == SIP_ERROR_IN) errors->push_back(get_host16(m.data.data()));
      if (m.to == ENT_SM && m.code == SM_REPORT_IN && m.data.size() == 72 && m.data[1] == 'e')
        states->push_back(m.data[5]);
    }
  }
};

TEST_F(OurCall, FinalAnswerToOurInviteWaitsForTheAckUnderSupervision) {
  // 200 and 486 both: no ACK from the user within the supervision interval
  // ends the dialog with error 25; an ACK in time keeps it.
  for (const char* final_status : {"200 OK", "486 Busy Here"}) {
    SCOPED_TRACE(final_status);
    (void)invite_and_answer(final_status, false);
    h.advance(2900);
    std::vector<std::uint16_t> errors;
    std::vector<std::uint8_t> states;
    sort(&errors, &states);
    EXPECT_TRUE(errors.empty());
    h.advance(200);
    sort(&errors, &states);
    EXPECT_EQ(errors, (std::vector<std::uint16_t>{25}));
    EXPECT_EQ(states, (std::vector<std::uint8_t>{1}));
    h.advance(40000);
    (void)h.take();
    EXPECT_EQ(sip_mod.pools.calls.in_use(), 0u);
  }
  (void)invite_and_answer("200 OK", true);
  h.advance(5000);
  std::vector<std::uint16_t> errors;
  std::vector<std::uint8_t> states;
  sort(&errors, &states);
  EXPECT_TRUE(errors.empty());
  EXPECT_EQ(sip_mod.pools.calls.in_use(), 1u);
}

TEST_F(OurCall, EachDialogStateChangeIsReportedWithItsTag) {
  out o = request_from_user('A', ours("INVITE sip:far@127.0.0.1:5070 SIP/2.0", "z9hG4bKr", "1 INVITE", ""), conn);
  const std::string cs = header_of(o.texts.at(0), "CSeq");
  const std::string n = cs.substr(0, cs.find(' '));
  std::vector<rt_test::seen_msg> seen;
  auto step = [&](const std::string& text) {
    h.send(ENT_PH_IT, SOCK_U_DA_IN, datagram(text), sip_test::TRANSPORT_NAI);
    for (auto& m : h.take())
      if (m.to == ENT_SM && m.code == SM_REPORT_IN && m.data.size() == 72 && m.data[1] == 'e') seen.push_back(m);
  };
  step(ours("SIP/2.0 180 Ringing", "z9hG4bKr", n + " INVITE", "farr"));
  step(ours("SIP/2.0 180 Ringing", "z9hG4bKr", n + " INVITE", "farr"));  // no change, no report
  step(ours("SIP/2.0 200 OK", "z9hG4bKr", n + " INVITE", "farr"));
  ASSERT_EQ(seen.size(), 2u);
  for (const auto& m : seen) {
    EXPECT_EQ(m.data[0], ENT_SIP);
    EXPECT_EQ(get_host16(&m.data[2]), 0xFFFF);
    EXPECT_EQ(m.data[4], 255);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&m.data[6])), "farr");
    EXPECT_EQ(m.conn_id, conn);
  }
  EXPECT_EQ(seen[0].data[5], 4);  // proceeding
  EXPECT_EQ(seen[1].data[5], 5);  // accepted
}

TEST_F(OurCall, OptionsInsideTheCallLeaveItConfirmed) {
  const std::string n = invite_and_answer("200 OK", true);
  const std::string next = std::to_string(std::stoul(n) + 1);
  out o = request_from_user('C', ours("OPTIONS sip:far@127.0.0.1:5070 SIP/2.0", "z9hG4bKop", next + " OPTIONS", "farc"),
                            conn);
  ASSERT_EQ(o.texts.size(), 1u);
  const std::string ocs = header_of(o.texts[0], "CSeq");
  o = from_net(ours("SIP/2.0 200 OK", branch_of(o.texts[0]), ocs, "farc"));
  EXPECT_EQ(o.up, (std::vector<std::uint8_t>{195}));
  // The call is still there: its BYE goes out and its 200 ends it.
  o = request_from_user('D', ours("BYE sip:far@127.0.0.1:5070 SIP/2.0", "z9hG4bKby", "9 BYE", "farc"), conn);
  ASSERT_EQ(o.wire, (std::vector<std::string>{"BYE sip:far@127.0.0.1:5070 SIP/2.0"}));
  o = from_net(ours("SIP/2.0 200 OK", branch_of(o.texts[0]), header_of(o.texts[0], "CSeq"), "farc"));
  EXPECT_EQ(o.up, (std::vector<std::uint8_t>{196}));
  EXPECT_EQ(sip_mod.pools.calls.in_use(), 0u);
}

TEST_F(OurCall, ByeRefusedByTheFarEndHoldsTheDialogThenEndsIt) {
  (void)invite_and_answer("200 OK", true);
  out o = request_from_user('D', ours("BYE sip:far@127.0.0.1:5070 SIP/2.0", "z9hG4bKbh", "9 BYE", "farc"), conn);
  ASSERT_EQ(o.texts.size(), 1u);
  o = from_net(ours("SIP/2.0 481 Call/Transaction Does Not Exist", branch_of(o.texts[0]), header_of(o.texts[0], "CSeq"),
                    "farc"));
  EXPECT_EQ(o.up, (std::vector<std::uint8_t>{196}));
  h.advance(29900);
  std::vector<std::uint16_t> errors;
  std::vector<std::uint8_t> states;
  sort(&errors, &states);
  EXPECT_TRUE(errors.empty());
  EXPECT_EQ(sip_mod.pools.calls.in_use(), 1u);
  h.advance(200);  // BYE hold time 30 s
  sort(&errors, &states);
  EXPECT_EQ(errors, (std::vector<std::uint16_t>{45}));
  EXPECT_EQ(states, (std::vector<std::uint8_t>{1}));
  EXPECT_EQ(sip_mod.pools.calls.in_use(), 0u);
}

TEST_F(OurCall, LateTryingAfterRingingStaysBelow) {
  out o = request_from_user('A', ours("INVITE sip:far@127.0.0.1:5070 SIP/2.0", "z9hG4bKt", "1 INVITE", ""), conn);
  const std::string cs = header_of(o.texts.at(0), "CSeq");
  const std::string n = cs.substr(0, cs.find(' '));
  EXPECT_EQ(from_net(ours("SIP/2.0 180 Ringing", "z9hG4bKt", n + " INVITE", "fart")).up,
            (std::vector<std::uint8_t>{193}));
  EXPECT_TRUE(from_net(ours("SIP/2.0 100 Trying", "z9hG4bKt", n + " INVITE", "fart")).up.empty());
  EXPECT_EQ(from_net(ours("SIP/2.0 183 Session Progress", "z9hG4bKt", n + " INVITE", "fart")).up,
            (std::vector<std::uint8_t>{193}));
}

}  // namespace
