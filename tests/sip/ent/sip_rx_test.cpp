// ENT_SIP's receive path fed with datagrams as the socket side delivers them:
// admission, stateless answers to the datagram's source, causes reported to
// ENT_SM, and no record left behind.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/byte_order.h"
#include "runtime/om_os.h"
#include "runtime/sm.h"
#include "runtime/sock.h"
#include "sip/text/sip_str.h"
#include "sip/ent/sip_call.h"
#include "sip/ent/sip_entity.h"
#include "sip/ent/sip_rx.h"
#include "sip/ent/support/sip_harness.h"

using sip_test::harness;
using sip_test::USER_NAI;

namespace {

constexpr std::uint16_t SRC_PORT = 5077;

std::vector<std::uint8_t> datagram(const std::string& text) {
  std::vector<std::uint8_t> d(28 + text.size());
  d[0] = 4;
  d[4] = 127;
  d[7] = 1;
  put_host16(&d[8], SRC_PORT);
  std::memcpy(&d[28], text.data(), text.size());
  return d;
}

std::string request(const std::string& method, const std::string& branch, const std::string& callid,
                    const std::string& cseq, const std::string& to_tag = "", const std::string& extra = "") {
  std::string s = method + " sip:fax@127.0.0.1 SIP/2.0\r\n";
  s += "Via: SIP/2.0/UDP 127.0.0.1:5070;branch=" + branch + "\r\n";
  s += "From: <sip:a@127.0.0.1>;tag=f1\r\n";
  s += "To: <sip:fax@127.0.0.1>" + (to_tag.empty() ? std::string() : ";tag=" + to_tag) + "\r\n";
  s += "Call-ID: " + callid + "\r\n";
  s += "CSeq: " + cseq + "\r\n";
  s += "Contact: <sip:a@127.0.0.1:5070>\r\n";
  s += "Max-Forwards: 70\r\n";
  s += extra;
  s += "Content-Length: 0\r\n\r\n";
  return s;
}

std::string from_tag(std::string text, const std::string& tag) {
  const std::size_t at = text.find(";tag=f1");
  return text.replace(at, 7, ";tag=" + tag);
}

struct outcome {
  std::vector<std::pair<std::uint16_t, std::uint8_t>> reports;  // cause, detail
  std::vector<std::string> answers;                             // status lines sent
  std::vector<std::uint8_t> up;                                 // codes to the user
  std::vector<std::uint16_t> answer_ports;
};

class Rx : public ::testing::Test {
 protected:
  void SetUp() override {
    sip_config c = sip_test::one_endpoint();
    c.endpoints[0].max_calls = 2;
    ASSERT_EQ(h.configure(c), (std::vector<std::uint8_t>{2, 2, ENT_SIP}));
  }
  outcome feed(const std::string& text) {
    h.send(ENT_PH_IT, SOCK_U_DA_IN, datagram(text), sip_test::TRANSPORT_NAI);
    outcome o;
    for (const auto& m : h.take()) {
      if (m.to == ENT_SM && m.code == SM_REPORT_IN && m.data.size() >= 5 && m.data[1] == 'r')
        o.reports.push_back({get_host16(&m.data[2]), m.data[4]});
      if (m.to == ENT_IP && m.code == SOCK_U_DA_RQ) {
        std::string t(m.data.begin() + 28, m.data.end());
        o.answers.push_back(t.substr(0, t.find("\r\n")));
        o.answer_ports.push_back(get_host16(&m.data[8]));
      }
      if (m.to == ENT_SSC) o.up.push_back(m.code);
    }
    return o;
  }
  harness h;
};

TEST_F(Rx, InviteGoesUpOnceAndItsCopyIsAbsorbed) {
  const std::string inv = request("INVITE", "z9hG4bKinv1", "call-1@host", "1 INVITE");
  outcome o = feed(inv);
  ASSERT_EQ(o.up, (std::vector<std::uint8_t>{225}));
  EXPECT_TRUE(o.answers.empty());
  o = feed(inv);
  EXPECT_TRUE(o.up.empty());
  EXPECT_EQ(o.reports, (std::vector<std::pair<std::uint16_t, std::uint8_t>>{{41, 225}}));
  EXPECT_TRUE(o.answers.empty());  // nothing was answered yet: nothing re-sent
  EXPECT_EQ(sip_mod.pools.calls.in_use(), 1u);
  EXPECT_EQ(sip_mod.pools.server_txs.in_use(), 1u);
}

TEST_F(Rx, BadDatagramsGetTheirCauseOrAStatelessAnswer) {
  // One call exists: in-dialog requests have something to be checked against.
  ASSERT_EQ(feed(request("INVITE", "z9hG4bKbase", "base@host", "5 INVITE")).up.size(), 1u);
  std::string vias;
  for (int i = 0; i < 40; ++i)
    vias += "Via: SIP/2.0/UDP 10.0.0." + std::to_string(i) + ";branch=z9hG4bKv" + std::to_string(i) + "\r\n";
  struct row {
    const char* what;
    std::string text;
    std::vector<std::pair<std::uint16_t, std::uint8_t>> reports;
    std::vector<std::string> answers;
  };
  const row rows[] = {
      {"truncated", "INVITE sip:fax@127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1;bra", {{26, 10}}, {}},
      {"bad start line", "INVITE\r\n\r\n", {{3, 1}, {37, 0}}, {}},
      {"no Call-ID",
       "OPTIONS sip:fax@127.0.0.1 SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:5070;branch=z9hG4bKx\r\n"
       "From: <sip:a@h>;tag=1\r\nTo: <sip:b@h>\r\nCSeq: 1 OPTIONS\r\nContent-Length: 0\r\n\r\n",
       {{26, 10}},
       {}},
      {"BYE of no call",
       request("BYE", "z9hG4bKbye", "nocall@host", "2 BYE", "t9"),
       {{40, 228}},
       {"SIP/2.0 481 Call/Transaction Does Not Exist"}},
      {"stray ACK", request("ACK", "z9hG4bKack", "nocall@host", "1 ACK", "t9"), {{40, 226}}, {}},
      {"stray CANCEL",
       request("CANCEL", "z9hG4bKcan", "nocall@host", "1 CANCEL"),
       {{40, 229}},
       {"SIP/2.0 481 Call/Transaction Does Not Exist"}},
      {"response of no call",
       "SIP/2.0 200 OK\r\nVia: SIP/2.0/UDP 127.0.0.1:5060;branch=z9hG4bKunknown\r\nFrom: <sip:a@h>;tag=1\r\n"
       "To: <sip:b@h>;tag=2\r\nCall-ID: none@host\r\nCSeq: 1 OPTIONS\r\nContent-Length: 0\r\n\r\n",
       {{40, 0xC3}},
       {}},
      {"BYE with a tag that only starts like the dialog's",
       from_tag(request("BYE", "z9hG4bKbye2", "base@host", "6 BYE", "x"), "f1x"),
       {{40, 228}},
       {"SIP/2.0 481 Call/Transaction Does Not Exist"}},
      {"CSeq out of order",
       request("OPTIONS", "z9hG4bKold", "base@host", "4 OPTIONS"),
       {{38, 9}},
       {"SIP/2.0 500 Internal Server Error"}},
  };
  for (const row& r : rows) {
    const outcome o = feed(r.text);
    EXPECT_EQ(o.reports, r.reports) << r.what;
    EXPECT_EQ(o.answers, r.answers) << r.what;
    EXPECT_TRUE(o.up.empty()) << r.what;
    for (std::uint16_t p : o.answer_ports) EXPECT_EQ(p, SRC_PORT) << r.what;
  }
  // Inputs at the parser's limits: answered or dropped, never delivered twice
  // and never a crash.
  for (const std::string& t : {request("OPTIONS", "z9hG4bKmax", "max@host", "4294967295 OPTIONS"),
                               request("OPTIONS", "z9hG4bKvias", "vias@host", "1 OPTIONS", "", vias)}) {
    const outcome o = feed(t);
    EXPECT_LE(o.up.size(), 1u);
  }
}

std::string invite_with_body(const std::string& callid, const std::string& sdp) {
  std::string inv = request("INVITE", "z9hG4bK" + callid, callid + "@host", "1 INVITE");
  inv.replace(inv.find("Content-Length: 0"), 17,
              "Content-Type: application/sdp\r\nContent-Length: " + std::to_string(sdp.size()));
  return inv + sdp;
}

const std::string kOffer =
    "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
    "m=image 4000 udptl t38\r\n";

std::string invite_with_sdp(const std::string& callid, std::size_t sdp_size) {
  std::string sdp = kOffer;
  while (sdp.size() < sdp_size) sdp += "a=X-pad:" + std::string(60, 'p') + "\r\n";
  return invite_with_body(callid, sdp);
}

// An offer of exactly `n` bytes, its last line padded.
std::string offer_of(std::size_t n) { return kOffer + "a=X-pad:" + std::string(n - kOffer.size() - 10, 'p') + "\r\n"; }

TEST_F(Rx, LargeInvitesNeverStopTheEntity) {
  // 1.4 kB and more: the primitive spans buffers and goes up.
  const std::string big = invite_with_sdp("big", 1300);
  ASSERT_GT(big.size(), 1400u);
  h.send(ENT_PH_IT, SOCK_U_DA_IN, datagram(big), sip_test::TRANSPORT_NAI);
  bool up = false;
  for (const auto& m : h.take())
    if (m.to == ENT_SSC && m.code == 225) {
      up = true;
      EXPECT_GT(m.data.size(), 1300u);
    }
  EXPECT_TRUE(up);
  // A body up to what the session side keeps in one buffer (its room less
  // 8) goes up, over the next buffers when the primitive needs them; a
  // longer one is answered 413 at once, reported like a primitive no
  // buffer holds, and leaves no call behind.
  const std::size_t limit = om_os_get_buffer_room() - 8u;
  struct row {
    const char* what;
    std::size_t body;
    std::vector<std::uint8_t> up;
    std::vector<std::string> answers;
  };
  const row rows[] = {
      {"a body of the limit", limit, {225}, {}},
      {"a body one byte over", limit + 1, {}, {"SIP/2.0 413 Request Entity Too Large"}},
      {"a body of 2,200 bytes", 2200, {}, {"SIP/2.0 413 Request Entity Too Large"}},
  };
  std::size_t calls = sip_mod.pools.calls.in_use();
  int n = 0;
  for (const row& r : rows) {
    // The body kept is the text less its final line end.
    const std::string sdp = offer_of(r.body + 2);
    ASSERT_EQ(sdp.size(), r.body + 2) << r.what;
    const outcome o = feed(invite_with_body("size" + std::to_string(++n), sdp));
    EXPECT_EQ(o.up, r.up) << r.what;
    EXPECT_EQ(o.answers, r.answers) << r.what;
    if (r.up.empty()) {
      EXPECT_EQ(o.reports, (std::vector<std::pair<std::uint16_t, std::uint8_t>>{{37, 2}})) << r.what;
    }
    calls += r.up.size();
    EXPECT_EQ(sip_mod.pools.calls.in_use(), calls) << r.what;
  }
  EXPECT_TRUE(rt_test::rec().traps().empty());
}

// Datagrams the socket layer cut to its receive size (marked in the
// address header): a request whose header lines came whole as far as an
// answer needs them is answered 513, anything else is dropped; nothing goes
// up and no call is kept.
TEST_F(Rx, CutDatagramsAreAnswered513WhenTheirHeadersCameWhole) {
  const std::string inv = invite_with_sdp("cut", 1300);
  const std::size_t body_at = inv.find("\r\n\r\n") + 4;
  const std::size_t callid_at = inv.find("Call-ID:");
  const std::string resp =
      "SIP/2.0 200 OK\r\nVia: SIP/2.0/UDP 127.0.0.1:5060;branch=z9hG4bKr\r\nFrom: <sip:a@h>;tag=1\r\n"
      "To: <sip:b@h>;tag=2\r\nCall-ID: r@host\r\nCSeq: 1 INVITE\r\nContent-Length: 900\r\n\r\nv=0\r\n";
  struct row {
    const char* what;
    std::string text;
    std::vector<std::string> answers;
  };
  const row rows[] = {
      {"cut in the body", inv.substr(0, body_at + 200), {"SIP/2.0 513 Message Too Large"}},
      {"cut at the blank line", inv.substr(0, body_at - 2), {"SIP/2.0 513 Message Too Large"}},
      {"cut in the middle of a header line",
       inv.substr(0, inv.find("Max-Forwards") + 5),
       {"SIP/2.0 513 Message Too Large"}},
      {"cut before its Call-ID", inv.substr(0, callid_at + 4), {}},
      {"an ACK", request("ACK", "z9hG4bKcutack", "cutack@host", "1 ACK", "t1"), {}},
      {"a response", resp, {}},
      {"no line end at all", "INVITE sip:fax@127.0.0.1 SIP/2.0", {}},
  };
  for (const row& r : rows) {
    std::vector<std::uint8_t> d = datagram(r.text);
    d[SOCK_UDP_CUT_AT] = SOCK_UDP_CUT;
    h.send(ENT_PH_IT, SOCK_U_DA_IN, d, sip_test::TRANSPORT_NAI);
    std::vector<std::string> answers;
    for (const auto& m : h.take()) {
      EXPECT_NE(m.to, ENT_SSC) << r.what;
      if (m.to == ENT_IP && m.code == SOCK_U_DA_RQ) {
        const std::string t(m.data.begin() + 28, m.data.end());
        answers.push_back(t.substr(0, t.find("\r\n")));
        EXPECT_EQ(get_host16(&m.data[8]), SRC_PORT) << r.what;
      }
    }
    EXPECT_EQ(answers, r.answers) << r.what;
    EXPECT_EQ(sip_mod.pools.calls.in_use(), 0u) << r.what;
    EXPECT_EQ(sip_mod.pools.server_txs.in_use(), 0u) << r.what;
  }
}

TEST_F(Rx, StoppedEndpointPassesNothingUp) {
  EXPECT_EQ(h.manage(SM_STOP_RQ, USER_NAI), (std::vector<std::uint8_t>{2, 0}));
  const outcome o = feed(request("OPTIONS", "z9hG4bKstop", "stop@host", "1 OPTIONS"));
  EXPECT_TRUE(o.up.empty());
}

TEST_F(Rx, CallsOverTheMaximumAreAnswered503) {
  ASSERT_EQ(feed(request("INVITE", "z9hG4bKa", "a@host", "1 INVITE")).up.size(), 1u);
  ASSERT_EQ(feed(request("INVITE", "z9hG4bKb", "b@host", "1 INVITE")).up.size(), 1u);
  const outcome o = feed(request("INVITE", "z9hG4bKc", "c@host", "1 INVITE"));
  EXPECT_TRUE(o.up.empty());
  ASSERT_EQ(o.answers, (std::vector<std::string>{"SIP/2.0 503 Service Unavailable"}));
  EXPECT_EQ(o.reports, (std::vector<std::pair<std::uint16_t, std::uint8_t>>{{49, SIP_CALL_NONE}}));
  EXPECT_EQ(sip_mod.pools.server_txs.in_use(), 2u);
}

// A server answers requests for weeks: the work memory that a parse and a
// stateless answer take goes back with each message, so the thousandth
// refusal is sent like the first (the area holds about 2,500 such answers).
TEST_F(Rx, StatelessAnswersKeepComingThroughALongLifetime) {
  ASSERT_EQ(feed(request("INVITE", "z9hG4bKa", "a@host", "1 INVITE")).up.size(), 1u);
  ASSERT_EQ(feed(request("INVITE", "z9hG4bKb", "b@host", "1 INVITE")).up.size(), 1u);
  constexpr int kRequests = 6000;
  int answered = 0;
  for (int i = 0; i < kRequests; ++i) {
    const std::string n = std::to_string(i);
    // Calls full: 503; a BYE of no call: 481.
    const outcome o = i % 2 == 0 ? feed(request("INVITE", "z9hG4bKi" + n, "i" + n + "@host", "1 INVITE"))
                                 : feed(request("BYE", "z9hG4bKb" + n, "b" + n + "@host", "2 BYE", "t" + n));
    const char* want = i % 2 == 0 ? "SIP/2.0 503 Service Unavailable" : "SIP/2.0 481 Call/Transaction Does Not Exist";
    if (o.answers == std::vector<std::string>{want}) ++answered;
  }
  EXPECT_EQ(answered, kRequests);
  EXPECT_EQ(sip_work__blocks(), 0u) << "work memory kept after the last request";
  EXPECT_EQ(sip_mod.pools.calls.in_use(), 2u);
  EXPECT_EQ(sip_mod.pools.server_txs.in_use(), 2u);
}

TEST_F(Rx, UnansweredRequestTimesOutUnderSupervisionAndEverythingIsFreed) {
  ASSERT_EQ(feed(request("OPTIONS", "z9hG4bKo", "o@host", "1 OPTIONS")).up, (std::vector<std::uint8_t>{227}));
  h.advance(3100);  // supervision interval 3000 ms by default
  bool error25 = false;
  for (const auto& m : h.take())
    if (m.to == ENT_SSC && m.code == SIP_ERROR_IN && get_host16(m.data.data()) == 25) error25 = true;
  EXPECT_TRUE(error25);
  EXPECT_EQ(sip_mod.pools.calls.in_use(), 0u);
  EXPECT_EQ(sip_mod.pools.server_txs.in_use(), 0u);
  EXPECT_EQ(h.manage(SM_RST_CFG_RQ, USER_NAI), (std::vector<std::uint8_t>{2, 0}));
  EXPECT_EQ(om_os_timer_pool_stats().in_use, 0);
}

}  // namespace
