// ENT_SIP with ENT_SSC against SIPp on loopback (127.0.0.1 only), in real
// time: a UDP socket stands in for the socket entity.  Every wait is
// bounded; the scenario must end with SIPp's exit status 0.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/time.h>

#include "runtime/buffer.h"
#include "runtime/sm.h"
#include "runtime/support/rt_harness.h"
#include "runtime/timer.h"
#include "sip/ent/sip_entity.h"
#include "sip/ssc/ssc_handler.h"
#include "sip/support/loopback_udp.h"
#include "sip/support/pcap_udp.h"
#include "sip/support/sipp_run.h"
#include "sip/support/loopback_stack.h"
#include "sip/support/wire_capture.h"

namespace {

using clock_type = std::chrono::steady_clock;

ssc_test::stack_socket& g_sock = ssc_test::loopback_socket();

// Every datagram on the wire, both ways, with the time it passed our socket.
ssc_test::wire_capture g_wire;

void capture(const u8* data, std::size_t n, u16 sport, u16 dport) { g_wire.add(data, n, sport, dport); }

const entity_table_row_t TABLE[] = {
    SIP_ENTITY_ROW,
    SSC_ENTITY_ROW,
    {ENT_SM, rt_test::record_handler, 0, 0, nullptr, 0},
    {ENT_IP, ssc_test::loopback_ip_handler, 0, 0, nullptr, 0},
    {ENT_FOIP, rt_test::record_handler, 0, 0, nullptr, 0},
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

// A datagram waiting on our socket (up to 5 ms) goes to ENT_SIP as the
// socket entity would hand it up.
void receive_one() {
  if (g_sock.receive_one(5)) rt_test::pump();
}

// The capture read by tshark with the given arguments: the fields output.
std::vector<std::string> tshark_lines(const std::string& args) {
  return g_wire.tshark_lines(::testing::TempDir() + "ssc_sipp_" + std::to_string(getpid()) + ".pcap", args);
}

using ssc_test::have_tshark;

std::string scenario_dir() { return std::string(KV_SOURCE_DIR) + "/tests/sip/sipp/"; }

void send_to(ent_id_t from, ent_id_t to, code_t code, const std::vector<u8>& data, u16 nai) {
  msg_t* m = rt_test::make_msg(from, to, code, {}, nai, 0);
  Msg_attach_chain(m, Store_data_in_buffers(data.data(), static_cast<u32>(data.size()), nullptr));
  Send_msg(m);
  rt_test::pump();
}

class SscSipp : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!sipp_test::have_sipp()) GTEST_SKIP() << "sipp is not installed";
    ASSERT_TRUE(g_sock.open());
    g_sock.tap = capture;
    port = g_sock.port();
    g_wire.clear();
    rt_test::use_real_clock();
    rt_test::start_manual(TABLE);
    ssc_entity_reset(8);
    ASSERT_TRUE(ssc_test::configure_stack(
        [](ent_id_t to, const std::vector<u8>& body) { send_to(ENT_SM, to, SM_CONFIG_RQ, body, 0); },
        ssc_test::SSC_FLAG_REQUIRE_CHECK));
    ssc_mod().ua->supported_mask = 0x01;  // 100rel
    rt_test::rec().clear();
  }
  void TearDown() override {
    if (g_sock.port() == 0) return;
    ssc_entity_reset(0);
    rt_test::stop();
    g_sock.close();
  }

  // One turn of the loop: a datagram in (when one waits), timers, messages.
  void turn() {
    receive_one();
    om_os_timer_poll();
    rt_test::pump();
    for (const auto& m : rt_test::rec().messages())
      if (m.from == ENT_SSC && m.to == ENT_SM && m.code == SSC_SM_REPORT && m.data.size() > 2 && m.data[1] == 'e')
        reports.push_back(m.data[2]);
    rt_test::rec().clear();
  }
  std::string reports;

  int run(const std::string& scenario, const std::string& extra = "") {
    const std::string log = sipp_test::log_path(::testing::TempDir(), scenario);
    sipp_test::sipp_process sipp;
    if (!sipp.start("127.0.0.1:" + std::to_string(port) + " -sf " + scenario_dir() + scenario +
                        " -i 127.0.0.1 -p 0 -m 1 " + extra + " -nostdin -timeout 15s -timeout_error",
                    log))
      return -3;
    const int status = sipp.wait(std::chrono::seconds(20), [] {
      receive_one();
      om_os_timer_poll();
      rt_test::pump();
      rt_test::rec().clear();
    });
    if (status != 0) ADD_FAILURE() << "sipp log: " << log;
    return status;
  }
  u16 port = 0;
};

}  // namespace

TEST_F(SscSipp, UnsupportedRequireGets420AtTheRealPort) {
  EXPECT_EQ(run("uac-require.xml"), 0);
  for (const ssc_stub_event& e : ssc_stub_events()) EXPECT_NE(e.event, 5) << "the INVITE reached a machine";
  // SIPp's real port: where its datagrams came from (its Via says 5999).
  u16 sipp_port = 0;
  for (const ssc_test::datagram& d : g_wire.datagrams)
    if (d.dport == port) sipp_port = d.sport;
  ASSERT_NE(sipp_port, 0);
  ASSERT_NE(sipp_port, 5999);
  if (!have_tshark()) GTEST_SKIP() << "tshark is not installed";
  // The 420's top Via names the real source; it goes to the real port;
  // Unsupported names foo alone; nothing on the wire is malformed.
  const auto rows = tshark_lines(
      "-Y 'sip.Status-Code == 420' -e udp.dstport -e sip.Via.received -e sip.Via.rport "
      "-e sip.Unsupported");
  ASSERT_FALSE(rows.empty());
  for (const std::string& r : rows) {
    const auto f = ssc_test::split_fields(r);
    ASSERT_EQ(f.size(), 4u) << r;
    EXPECT_EQ(f[0], std::to_string(sipp_port));
    EXPECT_EQ(f[1], "127.0.0.1");
    EXPECT_EQ(f[2], std::to_string(sipp_port));
    EXPECT_EQ(f[3], "foo");
  }
  EXPECT_TRUE(tshark_lines("-Y _ws.malformed -e frame.number").empty());
}

TEST_F(SscSipp, KeepAliveProbesAnsweredThenFailed) {
  // SIPp as the binding's local address on a port of its own.
  u16 sipp_port = 0;
  {
    const ssc_test::udp probe;
    ASSERT_NE(probe.port, 0);
    sipp_port = probe.port;
  }
  const std::string log = sipp_test::log_path(::testing::TempDir(), "uas-keepalive");
  sipp_test::sipp_process sipp;
  ASSERT_TRUE(sipp.start("-sf " + scenario_dir() + "uas-keepalive.xml -i 127.0.0.1 -p " + std::to_string(sipp_port) +
                             " -m 3 -nostdin -timeout 15s -timeout_error",
                         log));
  usleep(300 * 1000);  // sipp binds its port
  // The binding: From and Via of ours, the local-address Route to SIPp.
  ssc_handle* h = Ssc_alloc_handle();
  ASSERT_EQ(Ssc_init_handle(h, ssc_msg_type::SM_RQ), 2);
  auto* g = Ssc_first<ssc_hdr_mgmt>(h, ssc_header_id::MANAGEMENT);
  g->w1 = 'D';
  g->w2 = 0;
  g->d1 = 300;  // probe every 300 ms
  g->d2 = 300;
  const u8 lo[4] = {127, 0, 0, 1};
  auto uri = [&](ssc_uri& u, const char* user, u16 p) {
    std::memset(&u, 0xFF, sizeof u);
    u.scheme = 1;
    u.user_form = 'U';
    u.user = user;
    u.host_family = '4';
    std::memcpy(u.host_v4, lo, 4);
    u.port = p;
    u.uri_text_2 = nullptr;
  };
  auto* from = static_cast<ssc_hdr_name_addr*>(Ssc_alloc_header(h, ssc_header_id::FROM));
  from->b1 = 0;
  from->s1 = nullptr;
  from->s2 = nullptr;
  from->s3 = "ka1";
  uri(from->uri, "tessaly", 0xFFFF);
  auto* via = static_cast<ssc_hdr_via*>(Ssc_alloc_header(h, ssc_header_id::VIA));
  via->protocol = 1;
  via->s2 = "2.0";
  via->transport = 'U';
  via->family1 = '4';
  std::memcpy(via->v4_1, lo, 4);
  via->port = port;
  via->w2 = 0xFFFF;
  via->b3 = 0xFF;
  auto* route = static_cast<ssc_hdr_route*>(Ssc_alloc_header(h, ssc_header_id::ROUTE));
  route->s1 = nullptr;
  route->s2 = nullptr;
  route->b1 = 0;
  uri(route->uri, "fax", sipp_port);
  route->uri.uri_text_2 = "lr";
  msg_t* m = SIP_sc_format_rq(1, 0xFFFF, 255, h);
  ASSERT_NE(m, nullptr);
  m->from = ENT_SM;
  m->to = ENT_SSC;
  Send_msg(m);
  rt_test::pump();
  g->w1 = 'A';
  g->d1 = 0xFFFFFFFFu;
  g->d2 = 0xFFFFFFFFu;
  m = SIP_sc_format_rq(1, 0xFFFF, 255, h);
  (void)Ssc_free_handle(h);
  ASSERT_NE(m, nullptr);
  m->from = ENT_SM;
  m->to = ENT_SSC;
  Send_msg(m);
  rt_test::pump();

  int status = -1;
  const auto deadline = clock_type::now() + std::chrono::seconds(20);
  // Until the probe into silence has failed too (two 'D' reports).
  const auto failures = [&] { return std::count(reports.begin(), reports.end(), 'D'); };
  while (clock_type::now() < deadline && failures() < 2) {
    if (status == -1) status = sipp.poll_exit();
    turn();
  }
  if (status == -1) status = sipp.finish();
  EXPECT_EQ(status, 0) << "sipp log: " << log;
  // Record started, the probe answered, then a probe failed.
  EXPECT_EQ(reports.substr(0, 1), "A") << reports;
  EXPECT_NE(reports.find("C"), std::string::npos) << reports;
  EXPECT_NE(reports.find("D"), std::string::npos) << reports << " stub events " << [] {
    std::string t;
    for (const auto& e : ssc_stub_events()) t += std::to_string(e.route) + "/" + std::to_string(e.event) + " ";
    return t;
  }();
  EXPECT_LT(reports.find("C"), reports.find("D")) << reports;
  EXPECT_EQ(reports, "ACCDD") << "two answered, the 503 and the silence failed";

  if (!have_tshark()) GTEST_SKIP() << "tshark is not installed";
  EXPECT_TRUE(tshark_lines("-Y _ws.malformed -e frame.number").empty());
  // Probes: a new Call-ID each, To the binding's address; each leaves one
  // interval (300 ms, within 30 ms) after the previous probe's answer.
  const auto rows = tshark_lines("-e frame.time_epoch -e sip.Method -e sip.Status-Code -e sip.Call-ID -e sip.to.addr");
  std::vector<std::string> call_ids;
  double last_answer = -1;
  int spaced = 0;
  for (const std::string& r : rows) {
    const auto f = ssc_test::split_fields(r);
    ASSERT_EQ(f.size(), 5u) << r;
    const double t = std::stod(f[0]);
    if (f[1] == "OPTIONS") {
      if (std::find(call_ids.begin(), call_ids.end(), f[3]) != call_ids.end()) continue;  // a resent probe
      call_ids.push_back(f[3]);
      EXPECT_EQ(f[4], "sip:fax@127.0.0.1:" + std::to_string(sipp_port)) << r;
      if (last_answer >= 0) {
        const double gap_ms = (t - last_answer) * 1000.0;
        EXPECT_GE(gap_ms, 270.0) << r;
        EXPECT_LE(gap_ms, 330.0) << r;
        ++spaced;
      }
    } else if (!f[2].empty()) {
      last_answer = t;
    }
  }
  EXPECT_EQ(call_ids.size(), 4u) << "two answered 200, one 503, one into silence";
  EXPECT_EQ(spaced, 3);
}
