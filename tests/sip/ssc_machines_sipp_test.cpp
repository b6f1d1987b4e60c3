// The call and dialog-entry machines of ENT_SSC against SIPp on loopback
// (127.0.0.1 only), in real time: ENT_SIP and ENT_SSC with a UDP socket in
// place of the socket entity and a scripted user in place of ENT_FOIP.
// Every datagram goes into a pcap file that tshark decodes afterwards.
// Every wait is bounded; each scenario must end with SIPp's exit status 0.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "runtime/buffer.h"
#include "runtime/sm.h"
#include "runtime/support/rt_harness.h"
#include "runtime/timer.h"
#include "sip/text/md5.h"
#include "sip/prim/ssc_codes.h"
#include "sip/ent/sip_entity.h"
#include "sip/ssc/ssc_digest.h"
#include "sip/ssc/ssc_handler.h"
#include "sip/support/loopback_udp.h"
#include "sip/support/pcap_udp.h"
#include "sip/support/sipp_run.h"
#include "sip/support/loopback_stack.h"
#include "sip/prim/support/ssc_invite.h"

namespace {

using clock_type = std::chrono::steady_clock;
using H = ssc_header_id;

ssc_test::stack_socket& g_sock = ssc_test::loopback_socket();
u16 g_port = 0;
std::string g_pcap;

// One datagram into the capture, stamped with the time it passed.
void capture(const u8* data, std::size_t n, u16 sport, u16 dport) {
  const auto us =
      std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count();
  g_pcap += ssc_test::pcap_record(std::string(reinterpret_cast<const char*>(data), n), sport, dport,
                                  static_cast<u32>(us / 1000000), static_cast<u32>(us % 1000000));
}

const entity_table_row_t TABLE[] = {
    SIP_ENTITY_ROW,
    SSC_ENTITY_ROW,
    {ENT_SM, rt_test::record_handler, 0, 0, nullptr, 0},
    {ENT_IP, ssc_test::loopback_ip_handler, 0, 0, nullptr, 0},
    {ENT_FOIP, rt_test::record_handler, 0, 0, nullptr, 0},
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

std::string scenario_dir() { return std::string(KV_SOURCE_DIR) + "/tests/sip/sipp/"; }

bool have(const char* tool) {
  return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0;
}

void send_to(ent_id_t from, ent_id_t to, code_t code, const std::vector<u8>& data, u16 nai) {
  msg_t* m = rt_test::make_msg(from, to, code, {}, nai, 0);
  Msg_attach_chain(m, Store_data_in_buffers(data.data(), static_cast<u32>(data.size()), nullptr));
  Send_msg(m);
  rt_test::pump();
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);)
    if (!l.empty()) out.push_back(l);
  return out;
}

// The fields of a tshark line, each without the quotes tshark keeps.
std::vector<std::string> split(const std::string& l, char sep) {
  std::vector<std::string> f;
  std::size_t at = 0;
  for (;;) {
    const std::size_t bar = l.find(sep, at);
    std::string v = l.substr(at, bar == std::string::npos ? std::string::npos : bar - at);
    if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
    f.push_back(v);
    if (bar == std::string::npos) break;
    at = bar + 1;
  }
  return f;
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

// What the user (the fake ENT_FOIP) received.
struct up_msg {
  code_t code;
  u16 conn;
  u16 status = 0;
  u16 number = 0;
};

// A free UDP port on loopback for SIPp to bind.
u16 free_port() {
  ssc_test::udp probe;
  return probe.port;
}

class SscMachinesSipp : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!sipp_test::have_sipp()) GTEST_SKIP() << "sipp is not installed";
    ASSERT_TRUE(g_sock.open());
    g_sock.tap = capture;
    g_port = g_sock.port();
    g_pcap = ssc_test::pcap_header();
    rt_test::use_real_clock();
    rt_test::start_manual(TABLE);
    ssc_entity_reset(8);
    ASSERT_TRUE(ssc_test::configure_stack(
        [](ent_id_t to, const std::vector<u8>& body) { send_to(ENT_SM, to, SM_CONFIG_RQ, body, 0); }));
    rt_test::rec().clear();
  }
  void TearDown() override {
    if (g_sock.port() == 0) return;
    send_to(ENT_SM, ENT_SSC, SM_RST_CFG_RQ, {0}, 1);
    EXPECT_EQ(ssc_entity_counts().handles, 0u);
    ssc_entity_reset(0);
    rt_test::stop();
    g_sock.close();
  }

  // One turn: a datagram in (when one waits), timers, messages, the user.
  void turn(const std::function<void(const up_msg&)>& user_reacts) {
    if (g_sock.receive_one(5)) rt_test::pump();
    om_os_timer_poll();
    rt_test::pump();
    if (tick) tick();
    auto seen = rt_test::rec().messages();
    rt_test::rec().clear();
    for (const auto& m : seen) {
      if (m.to != ENT_FOIP) continue;
      up_msg u{m.code, m.conn_id};
      if (m.chained) {
        ssc_handle* got = Ssc_alloc_handle();
        msg_t* mm = rt_test::make_msg(ENT_SSC, ENT_FOIP, m.code, {}, m.nai, m.conn_id);
        Msg_attach_chain(mm, Store_data_in_buffers(m.data.data(), static_cast<u32>(m.data.size()), nullptr));
        if (Ssc_unformat_msg(got, mm) == 2) {
          auto* st = Ssc_first<ssc_hdr_status>(got, H::RETURN_CODE);
          if (st) u.status = st->code;
          u.number = got->transaction_number;
        }
        (void)Ssc_free_handle(got);
        Free_msg(mm);
      }
      up.push_back(u);
      if (user_reacts) user_reacts(u);
    }
  }

  // Runs SIPp with the scenario until it exits (20 s at most), the user
  // reacting to what reaches it; `start` runs once SIPp is up.  SIPp's exit
  // status.
  int run(const std::string& scenario, const std::string& args, const std::function<void()>& start,
          const std::function<void(const up_msg&)>& user_reacts) {
    const std::string log = sipp_test::log_path(::testing::TempDir(), scenario);
    sipp_test::sipp_process sipp;
    if (!sipp.start(
            args + " -sf " + scenario_dir() + scenario + " -i 127.0.0.1 -m 1 -nostdin -timeout 15s -timeout_error",
            log)) {
      ADD_FAILURE() << "sipp did not start";
      return -3;
    }
    const auto start_at = clock_type::now() + std::chrono::milliseconds(300);  // SIPp binds its port
    bool started = !start;
    const int status = sipp.wait(std::chrono::seconds(20), [&] {
      if (!started && clock_type::now() >= start_at) {
        started = true;
        start();
      }
      turn(user_reacts);
    });
    // What is still on its way (a last answer) is handled before the checks.
    for (int i = 0; i < 20; ++i) turn(user_reacts);
    if (status != 0) ADD_FAILURE() << "sipp log: " << log;
    return status;
  }

  // tshark on the capture: one line per SIP message with the fields asked
  // for, separated by '|'; and the number of malformed frames.
  std::vector<std::vector<std::string>> tshark(const std::string& fields, int* malformed) {
    const std::string path = ::testing::TempDir() + "ssc_machines_" + std::to_string(getpid()) + ".pcap";
    {
      std::ofstream f(path, std::ios::binary);
      f << g_pcap;
    }
    std::vector<std::vector<std::string>> out;
    const std::string decode = "tshark -r " + path + " -d udp.port==" + std::to_string(g_port) + ",sip ";
    for (const std::string& l :
         lines_of(ssc_test::run_command(decode + "-Y sip -T fields -E separator='|' " + fields + " 2>/dev/null")))
      out.push_back(split(l, '|'));
    *malformed = static_cast<int>(
        lines_of(ssc_test::run_command(decode + "-Y '_ws.malformed || _ws.expert.severity == error' -T fields -e "
                                                "frame.number 2>/dev/null"))
            .size());
    return out;
  }

  // A handle of the user to ENT_SSC (the handle is released).
  void user(code_t code, ssc_handle* h, u16 conn) {
    msg_t* m = SIP_sc_format_rq(1, conn, 255, h);
    (void)Ssc_free_handle(h);
    ASSERT_NE(m, nullptr);
    m->from = ENT_FOIP;
    m->to = ENT_SSC;
    m->code = code;
    Send_msg(m);
    rt_test::pump();
  }
  static ssc_handle* handle(ssc_msg_type t) {
    ssc_handle* h = Ssc_alloc_handle();
    EXPECT_EQ(Ssc_init_handle(h, t), 2);
    return h;
  }
  // Request headers towards SIPp at `peer` (Request-URI, From, To, Call-ID,
  // Contact and Via of ours, Max-Forwards).
  static ssc_handle* request(ssc_msg_type t, u16 peer, const char* call_id) {
    ssc_handle* h = handle(t);
    ssc_test::invite_fields f;
    f.addr_port = peer;
    f.uri_port = peer;
    f.local_port = g_port;
    f.call_id = call_id;
    add_invite_headers(h, f);
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
  static void add_status(ssc_handle* h, u16 code, const char* reason) {
    auto* st = static_cast<ssc_hdr_status*>(Ssc_alloc_header(h, H::RETURN_CODE));
    st->code = code;
    st->reason = reason;
  }
  // The user's answer to an offered INVITE (transaction `number`), with our
  // Contact and, when asked, a T.38 description.
  void answer_invite(const up_msg& u, u16 status, const char* reason, bool t38 = false) {
    ssc_handle* h = handle(ssc_msg_type::INVITE_RS);
    add_status(h, status, reason);
    auto* c = static_cast<ssc_hdr_contact*>(Ssc_alloc_header(h, H::CONTACT));
    c->b1 = 0;
    c->uri.scheme = 1;
    c->uri.user = "fax";
    c->uri.host_family = '4';
    std::memcpy(c->uri.host_v4, ssc_test::LOOPBACK, 4);
    c->uri.port = g_port;
    if (t38) ssc_test::add_t38_body(h, {});
    h->transaction_number = u.number;
    user(SSC_INVITE_RS, h, u.conn);
  }
  void answer(code_t code, ssc_msg_type t, const up_msg& u) {
    ssc_handle* h = handle(t);
    add_status(h, 200, "OK");
    h->transaction_number = u.number;
    user(code, h, u.conn);
  }
  std::vector<code_t> codes() const {
    std::vector<code_t> c;
    for (const auto& m : up) c.push_back(m.code);
    return c;
  }
  bool got(code_t code) const {
    for (const auto& m : up)
      if (m.code == code) return true;
    return false;
  }

  std::vector<up_msg> up;
  std::function<void()> tick;  // run on every turn when set
};

constexpr u16 CONN = 5;

// The response of a credentials line recomputed from its own fields (MD5,
// qop auth or none).
std::string recomputed(const std::vector<std::string>& f, const std::string& method) {
  // fields: username realm nonce uri nc cnonce qop response
  const std::string ha1 = md5_hex(f[0] + ":" + f[1] + ":secret");
  const std::string ha2 = md5_hex(method + ":" + f[3]);
  if (f[6].empty()) return md5_hex(ha1 + ":" + f[2] + ":" + ha2);
  return md5_hex(ha1 + ":" + f[2] + ":" + f[4] + ":" + f[5] + ":" + f[6] + ":" + ha2);
}

const char* const AUTH_FIELDS =
    "-e sip.Method -e sip.r-uri -e sip.auth.username -e sip.auth.realm -e sip.auth.nonce -e sip.auth.uri -e "
    "sip.auth.nc -e sip.auth.cnonce -e sip.auth.qop -e sip.auth.digest.response -e sip.Call-ID -e sip.CSeq.seq -e "
    "frame.time_relative -e sip.Expires";

// Every credentials header on the wire: its uri is the Request-URI, its
// response recomputes, its nc counts up from 1.  The requests with
// credentials, in order.
std::vector<std::vector<std::string>> check_credentials(const std::vector<std::vector<std::string>>& rows,
                                                        bool nc_counts = true) {
  std::vector<std::vector<std::string>> with;
  for (const auto& r : rows) {
    if (r.size() < 13 || r[0].empty() || r[2].empty()) continue;
    with.push_back(r);
    EXPECT_EQ(r[5], r[1]) << "sip.auth.uri differs from the Request-URI";
    const std::vector<std::string> f(r.begin() + 2, r.begin() + 10);
    EXPECT_EQ(r[9], recomputed(f, r[0])) << r[0] << " nc " << r[6];
  }
  for (std::size_t i = 0; nc_counts && i < with.size(); ++i)
    EXPECT_EQ(std::strtoul(with[i][6].c_str(), nullptr, 16), i + 1) << "nc of credentials " << i;
  return with;
}

}  // namespace

TEST_F(SscMachinesSipp, UasAuthChallengedInviteAnsweredOnce) {
  if (!have("tshark")) GTEST_SKIP() << "tshark is not installed";
  const u16 peer = free_port();
  const int status = run(
      "uas-auth.xml", "-p " + std::to_string(peer) + " -key challenge_qop auth",
      [&] {
        ssc_handle* h = request(ssc_msg_type::INVITE, peer, "auth-1");
        add_user_auth(h);
        ssc_test::add_t38_body(h, {});
        user(SSC_INVITE_RQ, h, CONN);
      },
      [&](const up_msg& u) {
        if (u.code == SSC_INVITE_CO && u.status == 200) user(SSC_ACK_RQ, handle(ssc_msg_type::ACK), CONN);
      });
  EXPECT_EQ(status, 0);
  std::vector<u16> statuses;
  for (const auto& m : up)
    if (m.code == SSC_INVITE_CO) statuses.push_back(m.status);
  EXPECT_EQ(statuses, std::vector<u16>{200}) << "the 401 is answered, never passed";
  int malformed = -1;
  const auto with = check_credentials(tshark(AUTH_FIELDS, &malformed));
  EXPECT_EQ(malformed, 0);
  ASSERT_EQ(with.size(), 1u);
  EXPECT_EQ(with[0][0], "INVITE");
  EXPECT_EQ(with[0][8], "auth");
}

TEST_F(SscMachinesSipp, UasAuthSameNonceAgainIsRetriedOnce) {
  const u16 peer = free_port();
  const int status = run(
      "uas-auth-again.xml", "-p " + std::to_string(peer),
      [&] {
        ssc_handle* h = request(ssc_msg_type::INVITE, peer, "auth-2");
        add_user_auth(h);
        user(SSC_INVITE_RQ, h, CONN);
      },
      nullptr);
  EXPECT_EQ(status, 0);
  std::vector<u16> statuses;
  for (const auto& m : up)
    if (m.code == SSC_INVITE_CO) statuses.push_back(m.status);
  EXPECT_EQ(statuses, std::vector<u16>{407}) << "one retry, then the 407 reaches the user";
}

// Stale nonces: a new nonce with stale=true is answered (nc from 1 again),
// the same nonce again is not: that 401 reaches the user.
TEST_F(SscMachinesSipp, UasAuthStaleNonceAnsweredThenTheSameOnePassed) {
  if (!have("tshark")) GTEST_SKIP() << "tshark is not installed";
  const u16 peer = free_port();
  const int status = run(
      "uas-auth-stale.xml", "-p " + std::to_string(peer),
      [&] {
        ssc_handle* h = request(ssc_msg_type::INVITE, peer, "stale-1");
        add_user_auth(h);
        user(SSC_INVITE_RQ, h, CONN);
      },
      nullptr);
  EXPECT_EQ(status, 0);
  std::vector<u16> statuses;
  for (const auto& m : up)
    if (m.code == SSC_INVITE_CO) statuses.push_back(m.status);
  EXPECT_EQ(statuses, std::vector<u16>{401});
  int malformed = -1;
  const auto with = check_credentials(tshark(AUTH_FIELDS, &malformed), false);
  EXPECT_EQ(malformed, 0);
  ASSERT_EQ(with.size(), 2u);
  EXPECT_EQ(with[0][4], "aaa111");
  EXPECT_EQ(with[1][4], "bbb222");
  EXPECT_EQ(with[1][6], "00000001");
}

TEST_F(SscMachinesSipp, UasRegisterChallengeRefreshAndDeregistration) {
  if (!have("tshark")) GTEST_SKIP() << "tshark is not installed";
  const u16 peer = free_port();
  auto reg = [&](u32 expires) {
    ssc_handle* h = request(ssc_msg_type::REGISTER, peer, "reg-1");
    if (void** ru = Ssc_list_head(h, H::REQUEST_URI)) static_cast<ssc_hdr_request_uri*>(*ru)->uri.user = nullptr;
    Ssc_first<ssc_hdr_contact>(h, H::CONTACT)->d1 = expires;
    add_user_auth(h);
    return h;
  };
  // Registered: the refresh goes after 2 s; at 2.5 s the user removes the
  // registration.
  clock_type::time_point registered{};
  bool removed = false;
  tick = [&] {
    if (removed || registered == clock_type::time_point{} ||
        clock_type::now() < registered + std::chrono::milliseconds(2500))
      return;
    removed = true;
    user(SSC_REGISTER_RQ, reg(0), 0);
  };
  const int status = run(
      "uas-register.xml", "-p " + std::to_string(peer), [&] { user(SSC_REGISTER_RQ, reg(4), 0); },
      [&](const up_msg& u) {
        if (u.code == SSC_REGISTER_CO && registered == clock_type::time_point{}) registered = clock_type::now();
      });
  tick = nullptr;
  EXPECT_TRUE(removed);
  EXPECT_EQ(status, 0);
  int malformed = -1;
  const auto rows = tshark(AUTH_FIELDS, &malformed);
  EXPECT_EQ(malformed, 0);
  const auto with = check_credentials(rows);
  ASSERT_GE(with.size(), 3u);
  // One Call-ID, CSeq counting up; the refresh 2 s after the 200 (within
  // 100 ms of expires / 2).
  for (std::size_t i = 1; i < with.size(); ++i) {
    EXPECT_EQ(with[i][10], with[0][10]);
    EXPECT_GT(std::atoi(with[i][11].c_str()), std::atoi(with[i - 1][11].c_str()));
  }
  double ok_at = -1;
  for (const auto& r : rows)
    if (r[0].empty() && ok_at < 0 && std::atof(r[12].c_str()) > std::atof(with[0][12].c_str()))
      ok_at = std::atof(r[12].c_str());
  const double gap = std::atof(with[1][12].c_str()) - ok_at;
  EXPECT_NEAR(gap, 2.0, 0.1) << "refresh spacing";
  // The last one removes the registration.
  ASSERT_GE(with.back().size(), 14u);
  EXPECT_EQ(with.back()[13], "0");
}

TEST_F(SscMachinesSipp, UacCancelWithSessionNotices) {
  ssc_mod().ua->option_byte = 0x01;
  const int status =
      run("uac-cancel.xml", "127.0.0.1:" + std::to_string(g_port) + " -p 0", nullptr, [&](const up_msg& u) {
        if (u.code == SSC_INVITE_IN) answer_invite(u, 180, "Ringing");
      });
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(got(SESS_CLOSED_IN)) << ::testing::PrintToString(codes());
  EXPECT_FALSE(got(SSC_CANCEL_IN));
}

// A CANCEL that crosses our 200 finds the INVITE's transaction closed: the
// CANCEL is still answered 200, the call goes on and the far end's BYE ends
// it.
TEST_F(SscMachinesSipp, UacCancelAfterThe200IsAnsweredAndTheCallGoesOn) {
  ssc_mod().ua->option_byte = 0x01;
  const int status =
      run("uac-cancel-after-200.xml", "127.0.0.1:" + std::to_string(g_port) + " -p 0", nullptr, [&](const up_msg& u) {
        if (u.code == SSC_INVITE_IN) answer_invite(u, 200, "OK");
      });
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(got(SESS_CLOSED_IN)) << ::testing::PrintToString(codes());
  EXPECT_FALSE(got(SSC_CANCEL_IN));
}

TEST_F(SscMachinesSipp, UacLateAckCloseWaitsForIt) {
  const int status =
      run("uac-late-ack.xml", "127.0.0.1:" + std::to_string(g_port) + " -p 0", nullptr, [&](const up_msg& u) {
        if (u.code != SSC_INVITE_IN) return;
        answer_invite(u, 200, "OK");
        user(CLOSE_SESS_RQ, handle(ssc_msg_type::CLOSE_SESSION), u.conn);
      });
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(got(CALL_CLOSED_IN)) << ::testing::PrintToString(codes());
}

TEST_F(SscMachinesSipp, UasByeCrossBothAnswered) {
  const u16 peer = free_port();
  const int status = run(
      "uas-bye-cross.xml", "-p " + std::to_string(peer),
      [&] { user(SSC_INVITE_RQ, request(ssc_msg_type::INVITE, peer, "cross-1"), CONN); },
      [&](const up_msg& u) {
        if (u.code != SSC_INVITE_CO || u.status != 200) return;
        user(SSC_ACK_RQ, handle(ssc_msg_type::ACK), CONN);
        user(SSC_BYE_RQ, handle(ssc_msg_type::BYE), CONN);
      });
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(got(CALL_CLOSED_IN)) << ::testing::PrintToString(codes());
}

TEST_F(SscMachinesSipp, UasFork2xxSecondAcknowledgedAndEnded) {
  const u16 peer = free_port();
  const int status = run(
      "uas-fork-2xx.xml", "-p " + std::to_string(peer),
      [&] { user(SSC_INVITE_RQ, request(ssc_msg_type::INVITE, peer, "fork-1"), CONN); },
      [&](const up_msg& u) {
        if (u.code == SSC_INVITE_CO && u.status == 200) user(SSC_ACK_RQ, handle(ssc_msg_type::ACK), CONN);
      });
  EXPECT_EQ(status, 0);
}

TEST_F(SscMachinesSipp, ReinviteToT38FromEitherSide) {
  if (!have("tshark")) GTEST_SKIP() << "tshark is not installed";
  {
    SCOPED_TRACE("ours");
    const u16 peer = free_port();
    int acks = 0;
    const int status = run(
        "uas-reinvite-t38.xml", "-p " + std::to_string(peer),
        [&] { user(SSC_INVITE_RQ, request(ssc_msg_type::INVITE, peer, "re-1"), CONN); },
        [&](const up_msg& u) {
          if (u.code != SSC_INVITE_CO || u.status != 200) return;
          user(SSC_ACK_RQ, handle(ssc_msg_type::ACK), CONN);
          if (++acks == 1) {
            ssc_handle* re = handle(ssc_msg_type::INVITE);
            ssc_test::add_t38_body(re, {});
            re->transaction_number = 2;
            user(SSC_INVITE_RQ, re, CONN);
          } else {
            user(SSC_BYE_RQ, handle(ssc_msg_type::BYE), CONN);
          }
        });
    EXPECT_EQ(status, 0);
    int malformed = -1;
    const auto rows = tshark("-e sip.Method -e sdp.media -e sdp.media_attr -e sip.CSeq.seq", &malformed);
    EXPECT_EQ(malformed, 0);
    int image = 0;
    for (const auto& r : rows) {
      if (r.size() < 3 || r[0] != "INVITE" || r[1].find("image") == std::string::npos) continue;
      ++image;
      EXPECT_NE(r[1].find("udptl t38"), std::string::npos) << r[1];
      EXPECT_NE(r[2].find("T38FaxVersion"), std::string::npos) << r[2];
      EXPECT_NE(r[2].find("T38FaxRateManagement"), std::string::npos) << r[2];
    }
    EXPECT_EQ(image, 1) << "one re-INVITE with the image line";
  }
  TearDown();
  SetUp();
  {
    SCOPED_TRACE("theirs");
    int offers = 0;
    const int status =
        run("uac-reinvite-t38.xml", "127.0.0.1:" + std::to_string(g_port) + " -p 0", nullptr, [&](const up_msg& u) {
          if (u.code == SSC_INVITE_IN) answer_invite(u, 200, "OK", ++offers == 2);
          if (u.code == SSC_BYE_IN) answer(SSC_BYE_RS, ssc_msg_type::BYE_RS, u);
        });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(offers, 2);
    int malformed = -1;
    const auto rows = tshark("-e sip.Status-Code -e sdp.media -e sdp.media_attr -e sip.CSeq.method", &malformed);
    EXPECT_EQ(malformed, 0);
    int image = 0;
    for (const auto& r : rows)
      if (r.size() >= 3 && r[0] == "200" && r[1].find("image") != std::string::npos) ++image;
    EXPECT_EQ(image, 1) << "our 200 to the re-INVITE carries the T.38 answer";
  }
}

TEST_F(SscMachinesSipp, UacOptionsAnsweredByTheUser) {
  const int status =
      run("uac-options.xml", "127.0.0.1:" + std::to_string(g_port) + " -p 0", nullptr, [&](const up_msg& u) {
        if (u.code == SSC_OPTIONS_IN) answer(SSC_OPTIONS_RS, ssc_msg_type::OPTIONS_RS, u);
      });
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(got(SSC_OPTIONS_IN));
}

TEST_F(SscMachinesSipp, UasOptionsRepeatedUntilIntervalZero) {
  if (!have("tshark")) GTEST_SKIP() << "tshark is not installed";
  const u16 peer = free_port();
  int answers = 0;
  auto options = [&](u32 interval) {
    ssc_handle* h = request(ssc_msg_type::OPTIONS, peer, "opt-1");
    static_cast<ssc_hdr_u32*>(Ssc_alloc_header(h, H::OPTIONS_VALUE))->value = interval;
    h->transaction_number = 3;
    return h;
  };
  const int status = run(
      "uas-options-repeat.xml", "-p " + std::to_string(peer), [&] { user(SSC_OPTIONS_RQ, options(2), CONN); },
      [&](const up_msg& u) {
        if (u.code == SSC_OPTIONS_CO && ++answers == 2) user(SSC_OPTIONS_RQ, options(0), CONN);
      });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(answers, 2);
  int malformed = -1;
  const auto rows = tshark("-e sip.Method -e frame.time_relative", &malformed);
  EXPECT_EQ(malformed, 0);
  std::vector<double> at;
  for (const auto& r : rows)
    if (r.size() >= 2 && r[0] == "OPTIONS") at.push_back(std::atof(r[1].c_str()));
  ASSERT_EQ(at.size(), 2u) << "sent twice, never after interval 0";
  EXPECT_NEAR(at[1] - at[0], 2.0, 0.1);
}
