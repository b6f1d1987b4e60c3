// The FOIP entity's SIP side through the real ENT_SSC and ENT_SIP against
// SIPp on loopback (127.0.0.1 only), in real time: a UDP socket stands in
// for the socket entity, the T.38 and fax layers open and close at once.
// An outgoing call of mode 2 is answered without SDP, goes to T.38 with our
// re-INVITE and ends with our BYE.  Every wait is bounded; SIPp must exit 0.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sys/time.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/byte_order.h"
#include "runtime/buffer.h"
#include "runtime/sm.h"
#include "runtime/sock.h"
#include "runtime/support/rt_harness.h"
#include "runtime/timer.h"
#include "session/foip/app_foip_prim.h"
#include "session/foip/foip.h"
#include "session/foip/foip_call.h"
#include "session/foip/foip_ctx.h"
#include "session/config/foip_sip_cfg.h"
#include "session/foip/foip_sip_mgt.h"
#include "session/trace/foip_trc.h"
#include "session/config/support/cfg_test_support.h"
#include "session/foip/support/foip_sip_side.h"
#include "session/foip/support/foip_test_support.h"
#include "sip/ent/sip_config.h"
#include "sip/ent/sip_entity.h"
#include "sip/ssc/ssc_handler.h"
#include "sip/support/loopback_udp.h"
#include "sip/support/pcap_udp.h"
#include "sip/support/sipp_run.h"
#include "sip/support/wire_capture.h"
#include "t38/t38_entity.h"

namespace {

using clock_type = std::chrono::steady_clock;

ssc_test::stack_socket& g_sock = ssc_test::loopback_socket();
u16 g_port = 0;
std::vector<std::string> g_sent;  // first lines of what we sent

// Every datagram either way, stamped when our socket sent or read it.
ssc_test::wire_capture g_wire;

void capture(const u8* data, std::size_t n, u16 sport, u16 dport) {
  g_wire.add(data, n, sport, dport);
  if (sport == g_port) {
    const std::string& text = g_wire.datagrams.back().payload;
    g_sent.push_back(text.substr(0, text.find("\r\n")));
  }
}

using ssc_test::have_tshark;

// tshark's fields output over the capture (rows of fields).
std::vector<std::vector<std::string>> tshark_rows(const std::string& args) {
  return g_wire.tshark_rows(::testing::TempDir() + "foip_call_sipp_" + std::to_string(getpid()) + ".pcap", args);
}

// Nothing that tshark decodes from the capture is malformed or an error.
void expect_well_formed() {
  EXPECT_TRUE(tshark_rows("-Y _ws.malformed -e frame.number").empty()) << "malformed frames";
  const auto errors = tshark_rows("-Y '_ws.expert.severity == error' -e frame.number -e _ws.expert.message");
  for (const auto& r : errors) ADD_FAILURE() << "expert error in frame " << r[0] << ": " << r.back();
}

// Event lines go to stderr when FOIP_SIPP_DEBUG is set (and are shown then).
void console(const char* t) {
  if (std::getenv("FOIP_SIPP_DEBUG")) std::fputs(t, stderr);
}

const entity_table_row_t TABLE[] = {
    SIP_ENTITY_ROW,
    SSC_ENTITY_ROW,
    FOIP_ENTITY_ROW,
    {ENT_APP_FOIP, rt_test::record_handler, 0, 0, nullptr, 0},
    {ENT_SM, foip_sip_test::sm_confirm_handler, 0, 0, nullptr, 0},
    {ENT_IP, ssc_test::loopback_ip_handler, 0, 0, nullptr, 0},
    {ENT_T38, foip_sip_test::t38_capabilities_handler, 0, 0, nullptr, 0},
    {ENT_FAX, rt_test::record_handler, 0, 0, nullptr, 0},
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

std::string scenario_dir() { return std::string(KV_SOURCE_DIR) + "/tests/sip/sipp/"; }

std::string own_scenarios() { return std::string(KV_SOURCE_DIR) + "/tests/session/sipp/"; }

void send_to(ent_id_t from, ent_id_t to, code_t code, const std::vector<u8>& data, u16 nai) {
  msg_t* m = rt_test::make_msg(from, to, code, {}, nai, 0);
  Msg_attach_chain(m, Store_data_in_buffers(data.data(), static_cast<u32>(data.size()), nullptr));
  Send_msg(m);
  rt_test::pump();
}

class FoipCallSipp : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!sipp_test::have_sipp()) GTEST_SKIP() << "sipp is not installed";
    dir_ = std::make_unique<cfg_test::temp_dir>();
    page_ = dir_->path() + "/page.tif";
    ASSERT_TRUE(foip_test::write_tiff(page_, 200, 200));
    ASSERT_TRUE(g_sock.open());
    g_sock.tap = capture;
    g_port = g_sock.port();
    g_sent.clear();
    g_wire.clear();
    foip_sip_test::plug_hooks(foip_test::fax_side_at_once);
    rt_test::use_real_clock();
    rt_test::start_manual(TABLE);
    rt_test::pump();
    sip_mgt__glb_init();
    foip_trc__set_console(console);
    ssc_entity_reset(8);
    // ENT_SSC gets the configuration that ENT_FOIP makes for it.
    ASSERT_TRUE(foip_sip_test::configure_sip_entities(
        [](ent_id_t to, const std::vector<u8>& body) { send_to(ENT_SM, to, SM_CONFIG_RQ, body, 0); }));
    foip__global_param g;
    foip_test::global_param(g, 2);
    foip_sip_test::sip_side_param(g, FOIP__SEND_RE_INVITE, g_port);
    g.glb_trc_param.event.display_event_bfi = std::getenv("FOIP_SIPP_DEBUG") ? 0x00E0 : 0;
    ASSERT_EQ(foip_api__send_set_config_rq(g), FOIP_API__OK);
    rt_test::pump();
    ASSERT_EQ(sip_mgt__glb().phase, SIP_MGT__RUNNING);
    rt_test::rec().clear();
  }
  void TearDown() override {
    if (g_sock.port() == 0) return;
    foip_trc__set_console(nullptr);
    foip_entity_stop();
    sip_mgt__glb_init();
    ssc_entity_reset(0);
    rt_test::stop();
    foip__set_layer_hooks({});
    g_sock.close();
  }

  void turn() {
    if (g_sock.receive_one(5)) rt_test::pump();
    om_os_timer_poll();
    rt_test::pump();
  }

  // An outgoing call of mode 2 to SIPp playing `scenario`; with `stop`, the
  // user stops the session once it runs.  Result: SIPp's exit status (-1
  // when it did not end in time); `ran` tells whether the session ran.
  int call_sipp(const std::string& scenario, bool stop, bool& ran) {
    sipp_test::sipp_process sipp;
    const u16 sipp_port = start_uas(sipp, scenario, "foip_call");
    EXPECT_NE(sipp_port, 0);
    foip__session_param p;
    foip_test::outgoing_param(p, 0, dir_->path(), page_);
    auto& id = p.t38_media_add_param.sip_media_identification;
    id.local_user_identification = FOIP__USR_ID__NAME;
    id.remote_user_identification = FOIP__USR_ID__NAME;
    foip__copy_text(id.sz_remote_user_name, "sipp");
    foip_sip_test::set_loopback(p.t38_media_add_param.local_media_add.local_media_ip_addr.ip_addr);
    auto& r = p.sip_session_param.remote_sip_addr;
    foip_sip_test::set_loopback(r.ip_addr);
    r.ip_port = sipp_port;
    EXPECT_EQ(foip_api__send_start_rq(0, p), FOIP_API__OK);
    rt_test::pump();
    // ENT_SSC closes the call once its BYE transaction is over.
    return run_sipp(sipp, 0, stop, ran, std::chrono::seconds(20),
                    [] { return foip_call__record(0).state == CALL_FREE && foip__session_count() == 0; });
  }

  // SIPp answering once with `scenario` on a free port (its output in log_
  // under `name`), given time to bind it; the port, 0 when SIPp did not
  // start.
  u16 start_uas(sipp_test::sipp_process& sipp, const std::string& scenario, const std::string& name) {
    u16 port = 0;
    {
      const ssc_test::udp probe;  // a free port for SIPp
      port = probe.port;
    }
    log_ = sipp_test::log_path(::testing::TempDir(), name);
    if (!sipp.start("-sf " + scenario + " -i 127.0.0.1 -p " + std::to_string(port) +
                        " -m 1 -nostdin -timeout 15s -timeout_error",
                    log_))
      return 0;
    usleep(300 * 1000);  // SIPp binds its port
    return port;
  }

  // An incoming session on `nai` that takes a call to "fax", its media on
  // 127.0.0.1.
  void start_incoming(nai_t nai) {
    foip__session_param p;
    foip_test::incoming_param(p, nai, dir_->path());
    auto& id = p.t38_media_add_param.sip_media_identification;
    id.local_user_identification = FOIP__USR_ID__NAME;
    foip__copy_text(id.sz_local_user_name, "fax");
    foip_sip_test::set_loopback(p.t38_media_add_param.local_media_add.local_media_ip_addr.ip_addr);
    ASSERT_EQ(foip_api__send_start_rq(nai, p), FOIP_API__OK);
    rt_test::pump();
  }

  // SIPp calling us once with `scenario` (its output in log_ under `name`),
  // giving up after `timeout_s`; whether it started.
  bool start_uac(sipp_test::sipp_process& sipp, const std::string& scenario, const std::string& name, int timeout_s) {
    log_ = sipp_test::log_path(::testing::TempDir(), name);
    return sipp.start("127.0.0.1:" + std::to_string(g_port) + " -sf " + scenario +
                          " -i 127.0.0.1 -p 0 -m 1 -nostdin -timeout " + std::to_string(timeout_s) + "s -timeout_error",
                      log_);
  }

  // Turns until SIPp exits or `limit` passes; `ran` tells whether the
  // session on `nai` ran, and with `stop` the user stops it once it does.
  // SIPp is killed then, and the loop turns up to 2 s more until `settled`.
  // Result: SIPp's exit status (-1 when it did not end in time).
  int run_sipp(sipp_test::sipp_process& sipp, nai_t nai, bool stop, bool& ran, std::chrono::seconds limit,
               bool (*settled)()) {
    ran = false;
    bool stopped = false;
    int status = -1;
    const auto deadline = clock_type::now() + limit;
    while (clock_type::now() < deadline) {
      if ((status = sipp.poll_exit()) != sipp_test::sipp_process::RUNNING) break;
      turn();
      (void)foip_trc__flush_events();
      if (foip__session_state(nai) == FOIP_MGT__RUNNING) ran = true;
      if (stop && !stopped && ran) {
        stopped = true;
        EXPECT_EQ(foip_api__send_stop_rq(nai), FOIP_API__OK);
        rt_test::pump();
      }
    }
    sipp.kill_now();
    const auto end = clock_type::now() + std::chrono::seconds(2);
    while (clock_type::now() < end && !settled()) turn();
    return status;
  }

  // The first lines of what we sent, one a line.
  static std::string sent() {
    std::string all;
    for (const std::string& l : g_sent) all += l + "\n";
    return all;
  }

  std::unique_ptr<cfg_test::temp_dir> dir_;
  std::string page_;
  std::string log_;  // SIPp's output of call_sipp
};

TEST_F(FoipCallSipp, AnsweredWithoutSdpThenOurReinviteToT38ThenBye) {
  bool ran = false;
  const int status = call_sipp(scenario_dir() + "uas-reinvite-t38.xml", true, ran);
  const std::string sent = FoipCallSipp::sent();
  EXPECT_EQ(status, 0) << "sipp log: " << log_ << "\n" << sent;
  EXPECT_TRUE(ran) << sent;
  // Our BYE answered 200: ENT_SSC closes the call, the record comes free and
  // the session ends with the answer to its stop.
  EXPECT_EQ(foip_call__record(0).state, CALL_FREE) << sent;
  EXPECT_EQ(foip__session_count(), 0);
  EXPECT_EQ(foip_test::confirms(FOIP__STOP_CO).size(), 1u);
}

// The far end hangs up a running call: ENT_SSC answers its BYE 200 (not 408
// after the user failed to answer), the call closes and the session ends
// with FOIP__STOP_IN.
TEST_F(FoipCallSipp, PeerByeIsAnswered200AndEndsTheSession) {
  bool ran = false;
  const int status = call_sipp(own_scenarios() + "uas-t38-peer-bye.xml", false, ran);
  const std::string sent = FoipCallSipp::sent();
  bool ok_to_bye = false;
  for (const std::string& l : g_sent) {
    EXPECT_NE(l, "SIP/2.0 408 Request Timeout");
    ok_to_bye = ok_to_bye || l == "SIP/2.0 200 OK";
  }
  EXPECT_EQ(status, 0) << "sipp log: " << log_ << "\n" << sent;
  EXPECT_TRUE(ran) << sent;
  EXPECT_TRUE(ok_to_bye) << sent;
  EXPECT_EQ(foip_call__record(0).state, CALL_FREE) << sent;
  EXPECT_EQ(foip__session_count(), 0);
  EXPECT_EQ(foip_test::confirms(FOIP__STOP_IN).size(), 1u);
  EXPECT_TRUE(foip_test::confirms(FOIP__STOP_CO).empty());
}

}  // namespace

namespace {

// SIPp calls with an audio offer, which we answer (mode 1: the far end is
// to re-INVITE), then re-INVITEs to T.38, which we take; our BYE ends it.
TEST_F(FoipCallSipp, PeerOffersAudioThenReinvitesToT38ThenByes) {
  sip_mgt__glb().glb_sip_param.operating_mode = FOIP__WAIT_RE_INVITE;
  start_incoming(1);
  if (HasFatalFailure()) return;
  sipp_test::sipp_process sipp;
  ASSERT_TRUE(start_uac(sipp, own_scenarios() + "uac-audio-then-t38.xml", "foip_uac_reinvite", 15));
  bool ran = false;
  const int status = run_sipp(sipp, 1, true, ran, std::chrono::seconds(20), [] { return foip__session_count() == 0; });
  const std::string sent = FoipCallSipp::sent();
  EXPECT_EQ(status, 0) << "sipp log: " << log_ << "\n" << sent;
  EXPECT_TRUE(ran) << sent;
  // Two 200 answers went out: the audio answer, then T.38.
  int ok = 0;
  for (const std::string& l : g_sent) ok += l == "SIP/2.0 200 OK" ? 1 : 0;
  EXPECT_GE(ok, 2) << sent;
  for (u16 i = 0; i < FOIP__MAX_SIP_CALL; ++i) {
    const u8 st = foip_call__record(i).state;
    EXPECT_TRUE(st == CALL_FREE || st == FREE_PROGRESS) << i << " " << int(st);
  }
}

}  // namespace

namespace {

// A registration through ENT_SSC: the registrar challenges with 401, the
// credentials pass SIPp's verifyauth, FOIP__SIP_REGISTER_CO (2, 2, 2)
// reaches the user; ENT_SSC refreshes; our un-registration ends it.
TEST_F(FoipCallSipp, RegistrationPassesADigestChallenge) {
  sipp_test::sipp_process sipp;
  const u16 sipp_port = start_uas(sipp, scenario_dir() + "uas-register.xml", "foip_register");
  ASSERT_NE(sipp_port, 0);
  foip__glb_sip_param& sp = sip_mgt__glb().glb_sip_param;
  foip_sip_test::set_loopback(sp.registrar_addr.ip_addr);
  sp.registrar_addr.ip_port = sipp_port;
  foip__sip_register_param r{};
  r.user_identification = FOIP__USR_ID__NAME;
  foip__copy_text(r.sz_user_name, "alice");
  foip_sip_test::set_loopback(r.registered_addr.ip_addr);
  r.registering.user_identification = 0;
  r.expires_sec = 4;
  r.sip_authentication.flag_enable = 1;
  foip__copy_text(r.sip_authentication.sz_user_name, "alice");
  foip__copy_text(r.sip_authentication.sz_user_password, "secret");
  foip__copy_text(r.sip_authentication.sz_realm, "fax.example");
  ASSERT_EQ(foip_api__send_sip_register_rq(7, r), FOIP_API__OK);
  rt_test::pump();
  int status = -1;
  bool unregistered = false;
  clock_type::time_point registered_at{};
  const auto deadline = clock_type::now() + std::chrono::seconds(20);
  while (clock_type::now() < deadline) {
    if ((status = sipp.poll_exit()) != sipp_test::sipp_process::RUNNING) break;
    turn();
    if (registered_at == clock_type::time_point{} && !foip_test::confirms(FOIP__SIP_REGISTER_CO).empty())
      registered_at = clock_type::now();
    // After ENT_SSC's refresh (2 s before the 4 s expiry), un-register.
    if (!unregistered && registered_at != clock_type::time_point{} &&
        clock_type::now() > registered_at + std::chrono::milliseconds(3000)) {
      unregistered = true;
      ASSERT_EQ(foip_api__send_sip_unregister_rq(7, 0), FOIP_API__OK);
      rt_test::pump();
    }
  }
  sipp.kill_now();
  for (int i = 0; i < 100; ++i) turn();
  const std::string sent = FoipCallSipp::sent();
  EXPECT_EQ(status, 0) << "sipp log: " << log_ << "\n" << sent;
  const auto co = foip_test::confirms(FOIP__SIP_REGISTER_CO);
  ASSERT_EQ(co.size(), 1u) << sent;
  EXPECT_EQ(co[0].return_code, 2);
  EXPECT_EQ(co[0].error_source, 2);
  EXPECT_EQ(co[0].error_code, 2);
}

}  // namespace

namespace {

// A row of the capture as tshark decodes it.
struct sip_row {
  double t = 0;
  bool ours = false;
  std::string method, status, cseq_method, version, media;
  unsigned long cseq = 0;
};

std::vector<sip_row> sip_rows() {
  std::vector<sip_row> rows;
  for (const auto& f : tshark_rows("-Y sip -e frame.time_epoch -e udp.srcport -e sip.Method -e sip.Status-Code "
                                   "-e sip.CSeq.seq -e sip.CSeq.method -e sdp.owner.version -e sdp.media.media")) {
    if (f.size() != 8) {
      ADD_FAILURE() << "tshark row of " << f.size() << " fields";
      continue;
    }
    sip_row r;
    r.t = std::stod(f[0]);
    r.ours = f[1] == std::to_string(g_port);
    r.method = f[2];
    r.status = f[3];
    r.cseq = std::stoul(f[4].empty() ? "0" : f[4]);
    r.cseq_method = f[5];
    r.version = f[6];
    r.media = f[7];
    rows.push_back(r);
  }
  return rows;
}

// Our re-INVITE to T.38 after an audio answer (mode 4) meets 491 three
// times: each retry waits the growing back-off of an outgoing call, 2100 ms,
// then 2150, then 2200 (from the 491), and the first re-INVITE left the
// configured re-INVITE delay (200 ms) after the audio answer.  On the wire:
// nothing malformed, the re-INVITE's o= version is the offer's + 1 and the
// retries, offering the same, keep it.
TEST_F(FoipCallSipp, ReinviteMetBy491RetriesAfterTheGrowingBackoff) {
  sip_mgt__glb().glb_sip_param.operating_mode = FOIP__INVITE_MEDIA_AUDIO__SEND_RE_INVITE;
  bool ran = false;
  const int status = call_sipp(own_scenarios() + "uas-audio-reinvite-491.xml", true, ran);
  const std::string sent = FoipCallSipp::sent();
  EXPECT_EQ(status, 0) << "sipp log: " << log_ << "\n" << sent;
  EXPECT_TRUE(ran) << sent;
  EXPECT_EQ(foip_call__record(0).state, CALL_FREE) << sent;
  EXPECT_EQ(foip__session_count(), 0);
  if (!have_tshark()) GTEST_SKIP() << "tshark is not installed";
  expect_well_formed();

  // Our INVITEs (first copy of each CSeq) and the answers to them.
  std::vector<sip_row> invites;
  std::vector<double> answered_at;  // the first final answer to each of them
  std::vector<std::string> answers;
  for (const sip_row& r : sip_rows()) {
    if (r.ours && r.method == "INVITE" && (invites.empty() || invites.back().cseq != r.cseq)) {
      invites.push_back(r);
      answered_at.push_back(-1);
      answers.emplace_back();
    }
    if (!r.ours && !invites.empty() && r.cseq == invites.back().cseq && r.cseq_method == "INVITE" &&
        r.status.size() == 3 && r.status[0] != '1' && answered_at.back() < 0) {
      answered_at.back() = r.t;
      answers.back() = r.status;
    }
  }
  ASSERT_EQ(invites.size(), 5u) << "the offer, the re-INVITE and its three retries\n" << sent;
  EXPECT_EQ(answers, (std::vector<std::string>{"200", "491", "491", "491", "200"}));
  // Waits: the re-INVITE delay after the audio answer, then the back-off.
  // A timer never runs early by more than the runtime's 10 ms tick, but a
  // busy machine may run it late: the floor is tight, so that a back-off
  // that does not grow (or is too short) fails, and the ceiling leaves room
  // for a late scheduler while still catching a doubled or missed wait.
  constexpr double kEarly = 15.0;  // ms
  constexpr double kLate = 400.0;  // ms
  const double waits[] = {200, 2100, 2150, 2200};
  for (std::size_t i = 0; i < 4; ++i) {
    const double ms = (invites[i + 1].t - answered_at[i]) * 1000.0;
    EXPECT_GE(ms, waits[i] - kEarly) << "wait before INVITE " << i + 1;
    EXPECT_LE(ms, waits[i] + kLate) << "wait before INVITE " << i + 1;
    std::printf("[ 491 ] wait before INVITE %zu: %.1f ms (expected %.0f)\n", i + 1, ms, waits[i]);
  }
  // o= versions: the audio offer's, then + 1 for T.38, kept by the retries.
  EXPECT_EQ(invites[0].media, "audio,audio");
  const unsigned long first = std::stoul(invites[0].version);
  for (std::size_t i = 1; i < invites.size(); ++i) {
    EXPECT_EQ(invites[i].media, "image,audio") << i;
    EXPECT_EQ(std::stoul(invites[i].version), first + 1) << "INVITE " << i;
  }
}

// SIPp probes the fax side with an OPTIONS outside any dialog: the FOIP
// entity answers 200 without a session and keeps no call record.
TEST_F(FoipCallSipp, OptionsOutsideADialogAnswered200) {
  sipp_test::sipp_process sipp;
  ASSERT_TRUE(start_uac(sipp, scenario_dir() + "uac-options.xml", "foip_uac_options", 10));
  bool ran = false;
  const int status = run_sipp(sipp, 1, false, ran, std::chrono::seconds(12), [] { return true; });
  const std::string sent = FoipCallSipp::sent();
  EXPECT_EQ(status, 0) << "sipp log: " << log_ << "\n" << sent;
  EXPECT_FALSE(ran);
  EXPECT_NE(sent.find("SIP/2.0 200 OK"), std::string::npos) << sent;
  EXPECT_EQ(foip__session_count(), 0u);
  for (u16 i = 0; i < FOIP__MAX_SIP_CALL; ++i) EXPECT_EQ(foip_call__record(i).state, CALL_FREE) << i;
}

// SIPp offers three media, audio, T.38, audio: our answer keeps their order
// and count, takes the T.38 one with our port and rejects the two audio
// lines with port 0; nothing on the wire is malformed.
TEST_F(FoipCallSipp, AnswerKeepsTheOffersMediaOrderAndCount) {
  sip_mgt__glb().glb_sip_param.operating_mode = FOIP__WAIT_RE_INVITE;
  start_incoming(1);
  if (HasFatalFailure()) return;
  sipp_test::sipp_process sipp;
  ASSERT_TRUE(start_uac(sipp, own_scenarios() + "uac-three-media.xml", "foip_uac_three_media", 15));
  bool ran = false;
  const int status = run_sipp(sipp, 1, true, ran, std::chrono::seconds(20), [] { return foip__session_count() == 0; });
  const std::string sent = FoipCallSipp::sent();
  EXPECT_EQ(status, 0) << "sipp log: " << log_ << "\n" << sent;
  EXPECT_TRUE(ran) << sent;
  if (!have_tshark()) GTEST_SKIP() << "tshark is not installed";
  expect_well_formed();
  const auto rows = tshark_rows(
      "-Y 'sip.Status-Code == 200 && sip.CSeq.method == INVITE && sdp' -e udp.srcport -e sdp.media.media "
      "-e sdp.media.port -e sdp.media.proto");
  ASSERT_FALSE(rows.empty()) << "no 200 with SDP\n" << sent;
  const auto& a = rows.front();
  ASSERT_EQ(a.size(), 4u);
  EXPECT_EQ(a[0], std::to_string(g_port));
  EXPECT_EQ(a[1], "audio,image,audio");
  const std::string ports = a[2];
  EXPECT_EQ(ports.substr(0, 2), "0,") << ports;
  EXPECT_EQ(ports.substr(ports.size() - 2), ",0") << ports;
  EXPECT_NE(ports, "0,0,0") << "the T.38 line is taken";
  EXPECT_EQ(a[3], "RTP/AVP,udptl,RTP/AVP");
}

}  // namespace

namespace {

// An INVITE from 127.0.0.1:`from` to "fax" with `sdp` as its body (none
// when empty).
std::string invite_to_us(u16 to, u16 from, int n, const std::string& sdp) {
  std::string m = "INVITE sip:fax@127.0.0.1:" + std::to_string(to) + " SIP/2.0\r\n" +
                  "Via: SIP/2.0/UDP 127.0.0.1:" + std::to_string(from) + ";branch=z9hG4bKtable" + std::to_string(n) +
                  "\r\n" + "From: <sip:peer@127.0.0.1>;tag=t" + std::to_string(n) + "\r\n" +
                  "To: <sip:fax@127.0.0.1>\r\n" + "Call-ID: table" + std::to_string(n) + "@127.0.0.1\r\n" +
                  "CSeq: 1 INVITE\r\n" + "Contact: <sip:peer@127.0.0.1:" + std::to_string(from) + ">\r\n" +
                  "Max-Forwards: 70\r\n";
  if (!sdp.empty()) m += "Content-Type: application/sdp\r\n";
  m += "Content-Length: " + std::to_string(sdp.size()) + "\r\n\r\n" + sdp;
  return m;
}

std::string t38_offer(const std::string& media_line, const std::string& connection, const std::string& extra = "") {
  return "v=0\r\no=peer 1 1 IN IP4 127.0.0.1\r\ns=-\r\n" + connection + "t=0 0\r\n" + media_line +
         "a=T38FaxVersion:0\r\na=T38FaxRateManagement:transferredTCF\r\na=T38FaxUdpEC:t38UDPRedundancy\r\n" + extra;
}

}  // namespace

// Every INVITE gets a final answer, whatever its offer.  No session waits
// for a call, so the application is alerted and, never answering, the call
// ends with 408; an offer that cannot be read is answered 400 at once.
TEST_F(FoipCallSipp, EveryInviteGetsAFinalAnswer) {
  const std::string c_line = "c=IN IP4 127.0.0.1\r\n";
  const std::string good = "m=image 10000 udptl t38\r\n";
  std::string formats = "m=image 10000 udptl";
  for (int i = 0; i < 500; ++i) formats += " t38";
  formats += "\r\n";
  struct Case {
    const char* name;
    std::string sdp;
    const char* answer;
  };
  const char* kRead = "SIP/2.0 400 Bad request";
  const char* kUnanswered = "SIP/2.0 408 Request Timeout";
  // A body larger than a call's message can carry is refused by the SIP layer
  // at once.
  const char* kTooLarge = "SIP/2.0 413 Request Entity Too Large";
  const Case cases[] = {
      {"port -1 (other media without port)", t38_offer("m=image -1 udptl t38\r\n", c_line), kUnanswered},
      {"port 70000", t38_offer("m=image 70000 udptl t38\r\n", c_line), kRead},
      {"c=0.0.0.0", t38_offer(good, "c=IN IP4 0.0.0.0\r\n"), kUnanswered},
      {"T38FaxVersion 255", t38_offer(good, c_line, "a=T38FaxVersion:255\r\n"), kUnanswered},
      {"unknown error correction", t38_offer(good, c_line, "a=T38FaxUdpEC:t38UDPMagic\r\n"), kUnanswered},
      {"30000-character attribute", t38_offer(good, c_line, "a=x-long:" + std::string(30000, 'a') + "\r\n"), kTooLarge},
      {"500 payload formats", t38_offer(formats, c_line), kTooLarge},
      {"T.38 over TCP", t38_offer("m=image 10000 tcp t38\r\n", c_line), kUnanswered},
      {"T.38 on port 0", t38_offer("m=image 0 udptl t38\r\n", c_line), kUnanswered},
      {"T.38 version 255 without connection", t38_offer(good, "", "a=T38FaxVersion:255\r\n"), kRead},
      {"no offer", "", kUnanswered},
  };
  // One peer socket per case, all sent at once; each waits for its first
  // final answer (retransmissions go to its own socket).
  std::vector<std::unique_ptr<ssc_test::udp>> peers;
  std::vector<std::string> answers(std::size(cases));
  int n = 0;
  for (const Case& c : cases) {
    peers.push_back(std::make_unique<ssc_test::udp>());
    ASSERT_NE(peers.back()->port, 0);
    ASSERT_TRUE(peers.back()->send_to(g_port, invite_to_us(g_port, peers.back()->port, ++n, c.sdp))) << c.name;
  }
  const auto deadline = clock_type::now() + std::chrono::seconds(15);
  auto all_answered = [&] {
    for (const std::string& a : answers)
      if (a.empty()) return false;
    return true;
  };
  while (!all_answered() && clock_type::now() < deadline) {
    turn();
    for (std::size_t i = 0; i < peers.size(); ++i) {
      if (!answers[i].empty()) continue;
      const std::string r = peers[i]->receive(0);
      if (!r.empty() && r.rfind("SIP/2.0 1", 0) != 0) answers[i] = r.substr(0, r.find("\r\n"));
    }
  }
  for (std::size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(answers[i], cases[i].answer) << cases[i].name;
}
