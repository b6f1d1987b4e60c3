// The call automaton in the real ENT_FOIP, against an ENT_SSC scripted by
// the test: outgoing and incoming calls, their refusals and how each end
// reaches the session or the FOIP user, the 491 back-off, the limit of
// incompatible answers, re-INVITEs and the o= rule, and the event lines.
#include "session/foip/foip_call.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "runtime/sm.h"
#include "runtime/support/rt_harness.h"
#include "runtime/timer.h"
#include "session/foip/app_foip_prim.h"
#include "session/foip/foip.h"
#include "session/foip/foip_ctx.h"
#include "session/foip/foip_sip_mgt.h"
#include "session/foip/foip_t38_mgt.h"
#include "session/trace/foip_trc.h"
#include "session/foip/support/foip_sip_side.h"
#include "session/config/support/cfg_test_support.h"
#include "session/foip/support/foip_test_support.h"
#include "sip/text/sdp.h"
#include "sip/prim/ssc_codes.h"
#include "sip/prim/ssc_header.h"
#include "sip/prim/ssc_msg.h"
#include "t38/t38_entity.h"

namespace {

using namespace rt_test;
using H = ssc_header_id;

constexpr nai_t SIG = 5;
constexpr u8 LOOP[4] = {127, 0, 0, 1};

// ---------------------------------------------------------------------------
// What the fakes saw.

struct ssc_seen {
  code_t code = 0;
  u16 conn_id = 0;
  u16 status = 0;      // RETURN_CODE, 0 none
  std::string reason;  // its reason phrase
  u16 media = 0;       // SDP media headers (62 + 75)
  u16 t38_media = 0;
  std::string version;  // o= version
  std::vector<u16> ports;
  std::string m_lines;  // in m-line order: "U0 I+" (kind, port 0 or set)
  bool has_to = false, has_from = false, has_contact = false, has_via = false;
};
std::vector<ssc_seen> g_ssc;
std::vector<foip__alert> g_alerts;
std::vector<foip__report> g_reports;
std::vector<foip__report> g_traps;
struct stop_in_seen {
  u16 conn_id;
  foip__confirm c;
};
std::vector<stop_in_seen> g_stop_in;
std::vector<u8> g_t38_events;
std::string g_console;

void fake_ssc(msg_t* m) {
  ssc_seen s;
  s.code = m->code;
  s.conn_id = m->conn_id;
  ssc_handle* h = Ssc_alloc_handle();
  if (h && Ssc_unformat_msg(h, m) == 2) {
    if (auto* st = Ssc_first<ssc_hdr_status>(h, H::RETURN_CODE)) {
      s.status = st->code;
      if (ssc_ptr_set(st->reason)) s.reason = st->reason;
    }
    std::vector<std::pair<u8, std::string>> by_pos;
    const auto line = [&](u8 pos, u8 kind, u16 port) {
      by_pos.emplace_back(pos, std::string(1, static_cast<char>(kind)) + (port == 0 ? "0" : "+"));
    };
    for (auto* a = Ssc_first<ssc_hdr_sdp_media>(h, H::AUDIO_CNCT_DESCR); a; a = a->next, ++s.media) {
      s.ports.push_back(a->port);
      line(a->media_pos, a->kind, a->port);
    }
    for (auto* t = Ssc_first<ssc_hdr_sdp_t38>(h, H::T38_CNCT_DESCR); t; t = t->next, ++s.media, ++s.t38_media) {
      s.ports.push_back(t->port);
      line(t->media_pos, 'I', t->port);
    }
    std::stable_sort(by_pos.begin(), by_pos.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& [pos, text] : by_pos) s.m_lines += (s.m_lines.empty() ? "" : " ") + text;
    if (auto* o = Ssc_first<ssc_hdr_sdp_origin>(h, H::ORIGIN_CNCT_DESCR); o && ssc_ptr_set(o->version))
      s.version = o->version;
    s.has_to = Ssc_first<ssc_hdr_name_addr>(h, H::TO) != nullptr;
    s.has_from = Ssc_first<ssc_hdr_name_addr>(h, H::FROM) != nullptr;
    s.has_contact = Ssc_first<ssc_hdr_contact>(h, H::CONTACT) != nullptr;
    s.has_via = Ssc_first<ssc_hdr_via>(h, H::VIA) != nullptr;
  }
  if (h) (void)Ssc_free_handle(h);
  g_ssc.push_back(s);
  Free_msg(m);
}

void fake_app(msg_t* m) {
  rec().add(describe(m));
  if (m->code == FOIP__ALERT_IN) {
    auto a = std::make_unique<foip__alert>();
    if (foip_api__read_record(m, FOIP__ALERT_IN, a.get()) == FOIP_API__OK) g_alerts.push_back(*a);
  } else if (m->code == FOIP__REPORT_IN) {
    auto r = std::make_unique<foip__report>();
    if (foip_api__read_report(m, r.get()) == FOIP_API__OK) {
      if (r->kind_of_report == FOIP__REPORT__EVT) g_reports.push_back(*r);
      if (r->kind_of_report == FOIP__REPORT__TRAP) g_traps.push_back(*r);
    }
  } else if (m->code == FOIP__STOP_IN && m->conn_id != FOIP__CONN_NONE) {
    stop_in_seen s{m->conn_id, {}};
    if (foip_api__read_stop(m, FOIP__STOP_IN, &s.c, nullptr, nullptr, nullptr) == FOIP_API__OK) g_stop_in.push_back(s);
  }
  Free_msg(m);
}

void fake_sm(msg_t* m) {
  const ent_id_t target = Sm_target(m);
  if (m->code == SM_CONFIG_RQ) Send_msg(make_msg(ENT_SM, ENT_FOIP, SM_CONFIG_CO, {2, 2, target}, m->nai, m->conn_id));
  if (m->code == SM_RST_CFG_RQ) Send_msg(make_msg(ENT_SM, ENT_FOIP, SM_RST_CFG_CO, {2, 0, target}, m->nai, m->conn_id));
  Free_msg(m);
}

// T.38 and fax layers that open and close at once.
void t38_hook(foip__na_ctx* s, u8 event, u8, u8) {
  g_t38_events.push_back(event);
  foip_test::t38_side_at_once(s, event);
}

void console(const char* text) { g_console += text; }

const entity_table_row_t TABLE[] = {
    {ENT_APP_FOIP, fake_app, 0, 0, nullptr, 0},
    FOIP_ENTITY_ROW,
    {ENT_T38, foip_sip_test::t38_capabilities_handler, 0, 0, nullptr, 0},
    {ENT_SM, fake_sm, 0, 0, nullptr, 0},
    {ENT_IP, record_handler, 0, 0, nullptr, 0},
    {ENT_SSC, fake_ssc, 0, 0, nullptr, 0},
    {ENT_FAX, record_handler, 0, 0, nullptr, 0},
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

// ---------------------------------------------------------------------------
// What ENT_SSC sends.

struct sdp_media_spec {
  u8 kind = 'I';  // 'I' T.38, 'U' audio
  u16 port = 40000;
  u8 transport = SDP_TRANSPORT_UDPTL;
  u8 udp_ec = SDP_UDPEC_REDUNDANCY;
  std::vector<u8> formats = {0};
};
struct sdp_spec {
  bool present = true;
  bool session_addr = true;
  const u8* addr = LOOP;
  const char* version = "1";
  std::vector<sdp_media_spec> media = {sdp_media_spec{}};
  u8 media_lines = 0xFF;  // m-lines the codec counted (0xFF: not counted)
};

void add_sdp(ssc_handle* h, const sdp_spec& d) {
  if (!d.present) return;
  auto* s = static_cast<ssc_hdr_sdp_session*>(Ssc_alloc_header(h, H::SDP_MAIN_BODY));
  s->net_type = 'I';
  if (d.session_addr) {
    s->family = '4';
    std::memcpy(s->v4, d.addr, 4);
  }
  s->session_name = "-";
  s->start_time = "0";
  s->stop_time = "0";
  s->media_lines = d.media_lines;
  auto* o = static_cast<ssc_hdr_sdp_origin*>(Ssc_alloc_header(h, H::ORIGIN_CNCT_DESCR));
  o->net_type = 'I';
  o->user = "peer";
  o->session_id = "7";
  o->version = d.version;
  o->family = '4';
  std::memcpy(o->v4, LOOP, 4);
  u8 pos = 0;
  for (const sdp_media_spec& m : d.media) {
    if (m.kind == 'I') {
      auto* t = static_cast<ssc_hdr_sdp_t38*>(Ssc_alloc_header(h, H::T38_CNCT_DESCR));
      t->media_pos = pos++;
      t->kind = 'I';
      t->format = '8';
      t->port = m.port;
      t->transport = m.transport;
      t->version = 0;
      t->max_bit_rate = 9600;
      t->fill_bit_removal = 0;
      t->mmr = 0;
      t->jbig = 0;
      t->rate_management = SDP_RATEMGMT_TRANSFERRED_TCF;
      t->max_buffer = 1800;
      t->max_datagram = 300;
      t->udp_ec = m.udp_ec;
    } else {
      auto* a = static_cast<ssc_hdr_sdp_media*>(Ssc_alloc_header(h, H::AUDIO_CNCT_DESCR));
      a->media_pos = pos++;
      a->kind = m.kind;
      a->port = m.port;
      a->transport = SDP_TRANSPORT_RTP_AVP;
      a->format_count = static_cast<u16>(m.formats.size());
      a->formats = m.formats.data();
    }
  }
}

void add_party(ssc_handle* h, H id, const char* user) {
  auto* n = static_cast<ssc_hdr_name_addr*>(Ssc_alloc_header(h, id));
  n->b1 = 0;
  n->uri.scheme = 1;
  n->uri.user_form = 'U';
  n->uri.user = user;
  n->uri.host_family = '4';
  std::memcpy(n->uri.host_v4, LOOP, 4);
  n->uri.port = 0xFFFF;
}

// A primitive from ENT_SSC carrying a handle of `type` that `fill` fills.
void from_ssc(code_t code, ssc_msg_type type, u16 conn_id, const std::function<void(ssc_handle*)>& fill) {
  ssc_handle* h = Ssc_alloc_handle();
  ASSERT_NE(h, nullptr);
  ASSERT_EQ(Ssc_init_handle(h, type), 2);
  fill(h);
  msg_t* m = SIP_sc_format_rq(SIG, conn_id, 0xFF, h);
  (void)Ssc_free_handle(h);
  ASSERT_NE(m, nullptr);
  m->from = ENT_SSC;
  m->to = ENT_FOIP;
  m->code = code;
  Send_msg(m);
  pump();
}

void invite_co(u16 conn_id, u16 status, const sdp_spec& sdp = {}) {
  from_ssc(SSC_INVITE_CO, ssc_msg_type::INVITE_RS, conn_id, [&](ssc_handle* h) {
    auto* st = static_cast<ssc_hdr_status*>(Ssc_alloc_header(h, H::RETURN_CODE));
    st->code = status;
    st->reason = "x";
    add_party(h, H::FROM, "fax0");
    add_party(h, H::TO, "peer");
    if (status >= 200 && status < 300) add_sdp(h, sdp);
  });
}

void invite_in(u16 conn_id, const sdp_spec& sdp, const char* to = "fax1") {
  from_ssc(SSC_INVITE_IN, ssc_msg_type::INVITE, conn_id, [&](ssc_handle* h) {
    add_party(h, H::FROM, "peer");
    if (to) add_party(h, H::TO, to);
    add_sdp(h, sdp);
  });
}

void ack_in(u16 conn_id, const sdp_spec* sdp = nullptr) {
  from_ssc(SSC_ACK_IN, ssc_msg_type::ACK, conn_id, [&](ssc_handle* h) {
    if (sdp) add_sdp(h, *sdp);
  });
}

void simple_from_ssc(code_t code, u16 conn_id) {
  Send_msg(make_msg(ENT_SSC, ENT_FOIP, code, {}, SIG, conn_id));
  pump();
}

class FoipCall : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::make_unique<cfg_test::temp_dir>();
    page_ = dir_->path() + "/page.tif";
    ASSERT_TRUE(foip_test::write_tiff(page_, 200, 200));
    g_ssc.clear();
    g_alerts.clear();
    g_reports.clear();
    g_traps.clear();
    g_stop_in.clear();
    g_t38_events.clear();
    g_console.clear();
    foip__layer_hooks h;
    foip_sip__plug(h);
    h.t38_mgt__automaton = t38_hook;
    h.fax_mgt__automaton = foip_test::fax_side_at_once;
    foip__set_layer_hooks(h);
    use_virtual_clock(1000);
    start_manual(TABLE);
    pump();
    sip_mgt__glb_init();
    foip_trc__set_console(console);
    rec().clear();
  }
  void TearDown() override {
    foip_trc__set_console(nullptr);
    foip_entity_stop();
    sip_mgt__glb_init();
    stop();
    foip__set_layer_hooks({});
  }

  void configure(u8 mode = 1, u32 delay = 1000, u16 header_bfi = 0) {
    foip__global_param g;
    foip_test::global_param(g, 4);
    g.glb_sip_param.sig_nai = SIG;
    g.glb_sip_param.operating_mode = mode;
    g.glb_sip_param.re_invite_delay = delay;
    g.glb_sip_param.get_sip_header_bfi = header_bfi;
    g.glb_sip_param.local_sip_addr.ip_addr.ip_family = OM_IP_FAMILY_V4;
    std::memcpy(g.glb_sip_param.local_sip_addr.ip_addr.addr.v4.addr, LOOP, 4);
    g.glb_sip_param.local_sip_addr.ip_port = 5060;
    g.glb_trc_param.event.display_event_bfi = FOIP__SIP_EVT_1 | FOIP__SIP_EVT_2 | FOIP__SIP_EVT_3;
    ASSERT_EQ(foip_api__send_set_config_rq(g), FOIP_API__OK);
    pump();
    ASSERT_EQ(sip_mgt__glb().phase, SIP_MGT__RUNNING);
    g_ssc.clear();
  }
  void session_common(foip__session_param& p, u8 transport) {
    p.session_general_param.kind_of_t38_transport = transport;
    auto& lm = p.t38_media_add_param.local_media_add.local_media_ip_addr;
    lm.ip_addr.ip_family = OM_IP_FAMILY_V4;
    std::memcpy(lm.ip_addr.addr.v4.addr, LOOP, 4);
    lm.ip_port = 30000;
    auto& r = p.sip_session_param.remote_sip_addr;
    r.ip_addr.ip_family = OM_IP_FAMILY_V4;
    std::memcpy(r.ip_addr.addr.v4.addr, LOOP, 4);
    r.ip_port = 5070;
    p.t38_media_add_param.sip_media_identification.local_user_identification = FOIP__USR_ID__NAME;
    p.t38_media_add_param.sip_media_identification.remote_user_identification = FOIP__USR_ID__NAME;
    foip__copy_text(p.t38_media_add_param.sip_media_identification.sz_remote_user_name, "peer");
  }
  void start_out(nai_t nai, u8 transport = 'U') {
    foip__session_param p;
    foip_test::outgoing_param(p, nai, dir_->path(), page_);
    session_common(p, transport);
    ASSERT_EQ(foip_api__send_start_rq(nai, p), FOIP_API__OK);
    pump();
  }
  void start_in(nai_t nai, u8 transport = 'U') {
    foip__session_param p;
    foip_test::incoming_param(p, nai, dir_->path());
    session_common(p, transport);
    ASSERT_EQ(foip_api__send_start_rq(nai, p), FOIP_API__OK);
    pump();
  }
  // Fires the timers due within `ms` of virtual time.
  void run_for(u32 ms) {
    for (u32 t = 0; t < ms; t += 10) {
      advance_clock(10);
      om_os_timer_poll();
      pump();
    }
  }
  std::string lines() {
    (void)foip_trc__flush_events();
    return g_console;
  }
  std::vector<code_t> ssc_codes() {
    std::vector<code_t> out;
    for (const ssc_seen& s : g_ssc) out.push_back(s.code);
    return out;
  }
  std::vector<foip__confirm> start_co() { return foip_test::confirms(FOIP__START_CO); }

  std::unique_ptr<cfg_test::temp_dir> dir_;
  std::string page_;
};

constexpr code_t SET_PARAM = SSC_SET_PARM_RQ, INVITE = SSC_INVITE_RQ, ACK = 'B', CLOSE = 'R', ANSWER = 'a';

// ---------------------------------------------------------------------------

TEST_F(FoipCall, OutgoingCallGoesToT38AndEndsOnCallClosed) {
  configure();
  start_out(0);
  ASSERT_EQ(ssc_codes(), (std::vector<code_t>{SET_PARAM, INVITE}));
  EXPECT_EQ(g_ssc[1].conn_id, 62);
  EXPECT_EQ(g_ssc[1].t38_media, 1);  // mode 1: T.38 only
  EXPECT_EQ(g_ssc[1].version, "890844526");
  EXPECT_EQ(foip__session_state(0), FOIP_MGT__SIP_CALL_PROGRESS);

  invite_co(62, 200);
  ASSERT_EQ(g_ssc.size(), 3u);
  EXPECT_EQ(g_ssc[2].code, ACK);
  EXPECT_EQ(foip_call__record(0).state, CALL_DONE);
  EXPECT_EQ(foip__session_state(0), FOIP_MGT__RUNNING);
  // The peer's media went to the T.38 side.
  const t38_mgt__remote_media& r = t38_mgt__get_ctx(0).remote;
  EXPECT_EQ(r.port, 40000);
  EXPECT_EQ(r.addr_kind, 4);
  EXPECT_EQ(0, std::memcmp(r.ipv4, LOOP, 4));
  ASSERT_FALSE(g_reports.empty());
  EXPECT_EQ(g_reports.back().kind, FOIP__EVENT__SIP_CALL_OPEN);
  EXPECT_EQ(g_reports.back().body.call_open.sip_ret_code, 200);
  EXPECT_EQ(g_reports.back().body.call_open.media.rem_media_port, 40000);
  // Our side as our offer announced it: the session's address and UDPTL port.
  const foip__negotiated_media& local = g_reports.back().body.call_open.media;
  EXPECT_EQ(local.loc_media_family, OM_IP_FAMILY_V4);
  EXPECT_EQ(0, std::memcmp(local.loc_media_ipv4, LOOP, 4));
  EXPECT_EQ(local.loc_media_port, 30002);

  ASSERT_EQ(foip_api__send_stop_rq(0), FOIP_API__OK);
  pump();
  EXPECT_EQ(g_ssc.back().code, CLOSE);
  EXPECT_EQ(g_ssc.back().status, 0);  // BYE: no status of our own
  EXPECT_EQ(foip_call__record(0).state, FREE_PROGRESS);
  simple_from_ssc(CALL_CLOSED_IN, 62);
  EXPECT_EQ(foip_call__record(0).state, CALL_FREE);
  EXPECT_EQ(foip__session_count(), 0);
  EXPECT_EQ(g_reports.back().kind, FOIP__EVENT__SIP_CALL_CLOSE);
  EXPECT_EQ(g_reports.back().body.sip_conn_id, 62);

  const std::string out = lines();
  for (const char* want : {
           "(nai 5, conn_id  62) SSC Evt: Send SSC_SET_PARAM_SESSION_RQ",
           "(nai 5, conn_id  62) SSC Evt: Send SSC_INVITE_RQ",
           "(nai 5, conn_id  62) SSC Evt: Receive SSC_INVITE_CO (Ret code: (200) OK (200))",
           ">>   Remote Media IP address   = [127.0.0.1] (40000)",
           "                         T38MaxBitRate         = 9600",
           "                            Session activated (NAI)   = 0",
           "(nai 5, conn_id  62) SSC Evt: Send SSC_ACK_RQ",
           "(nai 5, conn_id  62) SSC Evt: Send SSC_CLOSE_SESSION_RQ",
           "(nai 5, conn_id  62) SSC Evt: Receive SSC_CALL_CLOSED_IN",
           "                            Media T.38 (UDP (UDPTL))",
       })
    EXPECT_NE(out.find(want), std::string::npos) << want << "\n" << out;
}

// Every way an outgoing call ends before it opened reaches the session as
// SIP_CALL_OPENED result 3 with the status: the session fails its start
// with that source and code, none is left waiting on the call.
TEST_F(FoipCall, OutgoingCallThatNeverOpensFailsTheStart) {
  struct row {
    const char* name;
    u8 mode;
    u8 transport;
    std::function<void()> script;
    u8 want_source, want_code;
  };
  const row rows[] = {
      {"486 busy", 1, 'U',
       [] {
         invite_co(62, 486);
         simple_from_ssc(CALL_CLOSED_IN, 62);
       },
       4, 86},
      {"answer without media address", 1, 'U',
       [] {
         sdp_spec d;
         d.session_addr = false;
         invite_co(62, 200, d);
         simple_from_ssc(CALL_CLOSED_IN, 62);
       },
       0, 3},
      {"answer without status", 1, 'U',
       [] {
         from_ssc(SSC_INVITE_CO, ssc_msg_type::INVITE_RS, 62, [](ssc_handle* h) { add_party(h, H::TO, "peer"); });
         ASSERT_EQ(g_traps.size(), 1u);
         EXPECT_EQ(g_traps[0].body.error.trap_foip.trap_code, 23056);
         EXPECT_STREQ(g_traps[0].body.error.trap_foip.sz_diag,
                      "FOIP: (process_ssc_invite_co) SSC_INVITE_CO without return code");
         EXPECT_EQ(g_ssc.back().code, CLOSE);
         simple_from_ssc(CALL_CLOSED_IN, 62);
       },
       0, 6},
      {"far end hangs up", 1, 'U',
       [] {
         simple_from_ssc(SESS_CLOSED_IN, 62);
         simple_from_ssc(CALL_CLOSED_IN, 62);
       },
       0, 6},
      // TCP asked for while the T.38 side has no TCP: nothing to offer, no
      // INVITE, status 1 at once.
      {"nothing to offer", 1, 'T', [] {}, 0, 1},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    configure(r.mode);
    rec().clear();
    g_traps.clear();
    if (r.transport == 'T') {
      // The session may ask for TCP while the SIP side has no TCP media.
      foip__glb().t38_tcp_capable = 1;
      sip_mgt__glb().tcp_present = 0;
    }
    start_out(0, r.transport);
    r.script();
    const auto co = start_co();
    ASSERT_EQ(co.size(), 1u);
    EXPECT_EQ(co[0].return_code, 3);
    EXPECT_EQ(co[0].error_source, r.want_source);
    EXPECT_EQ(co[0].error_code, r.want_code);
    EXPECT_EQ(foip__session_count(), 0);
    EXPECT_EQ(foip_call__record(0).state, CALL_FREE);
    if (r.transport == 'T') {
      EXPECT_EQ(ssc_codes(), std::vector<code_t>{});
    }
    ASSERT_EQ(foip_api__send_reset_config_rq(), FOIP_API__OK);
    pump();
  }
}

// A stop before the answer closes the call (ENT_SSC sends the CANCEL); the
// far end cancelling an incoming call that waits for the application ends
// it with a FOIP__STOP_IN to the application.
TEST_F(FoipCall, CancelBothWays) {
  configure();
  start_out(0);
  ASSERT_EQ(foip_api__send_stop_rq(0), FOIP_API__OK);
  pump();
  EXPECT_EQ(g_ssc.back().code, CLOSE);
  EXPECT_EQ(foip_call__record(0).state, FREE_PROGRESS);
  invite_co(62, 487);  // the INVITE's answer after the CANCEL
  simple_from_ssc(CALL_CLOSED_IN, 62);
  EXPECT_EQ(foip_call__record(0).state, CALL_FREE);
  EXPECT_EQ(foip__session_count(), 0);
  EXPECT_EQ(foip_test::confirms(FOIP__STOP_CO).size(), 1u);

  invite_in(100, sdp_spec{});
  ASSERT_EQ(g_alerts.size(), 1u);
  simple_from_ssc(SESS_CLOSED_IN, 100);
  EXPECT_EQ(foip_call__record(38).state, FREE_PROGRESS);
  simple_from_ssc(CALL_CLOSED_IN, 100);
  EXPECT_EQ(foip_call__record(38).state, CALL_FREE);
  ASSERT_EQ(g_stop_in.size(), 1u);
  EXPECT_EQ(g_stop_in[0].conn_id, 100);
  EXPECT_EQ(g_stop_in[0].c.return_code, 3);
  // A late answer of the application finds the record free: nothing is sent.
  const size_t n = g_ssc.size();
  auto rs = std::make_unique<foip__alert>();
  rs->answer = FOIP__ALERT_ACCEPT;
  ASSERT_EQ(foip_api__send_alert_rs(*rs, SIG, FOIP__SAPI, 100), FOIP_API__OK);
  pump();
  EXPECT_EQ(g_ssc.size(), n);
}

// A remote SIP address with neither name nor IPv4: the To header cannot be
// written, so it is left out whole (trap 21077); the other headers go.
TEST_F(FoipCall, UnwritableHostLeavesTheHeaderOut) {
  configure();
  foip__session_param p;
  foip_test::outgoing_param(p, 0, dir_->path(), page_);
  session_common(p, 'U');
  p.sip_session_param.remote_sip_addr.ip_addr.ip_family = OM_IP_FAMILY_NONE;
  ASSERT_EQ(foip_api__send_start_rq(0, p), FOIP_API__OK);
  pump();
  ASSERT_FALSE(g_ssc.empty());
  EXPECT_EQ(g_ssc[0].code, SET_PARAM);
  EXPECT_FALSE(g_ssc[0].has_to);
  EXPECT_TRUE(g_ssc[0].has_from);
  EXPECT_TRUE(g_ssc[0].has_contact);
  EXPECT_TRUE(g_ssc[0].has_via);
  ASSERT_EQ(g_traps.size(), 1u);
  EXPECT_EQ(g_traps[0].body.error.trap_foip.trap_code, 21077);
  EXPECT_STREQ(g_traps[0].body.error.trap_foip.sz_diag,
               "FOIP: (build_sip_header__to) Foip__sip__remote_sip_ip_family unknown");
  // An incoming call's set-param carries neither To nor From.
  g_ssc.clear();
  start_in(1);
  invite_in(123, sdp_spec{});
  ASSERT_FALSE(g_ssc.empty());
  EXPECT_EQ(g_ssc[0].code, SET_PARAM);
  EXPECT_FALSE(g_ssc[0].has_to);
  EXPECT_FALSE(g_ssc[0].has_from);
  EXPECT_TRUE(g_ssc[0].has_contact);
}

TEST_F(FoipCall, AllCallRecordsTakenFailsTheNextStartWithStatus6) {
  configure();
  for (u16 i = 0; i < FOIP__MAX_SIP_CALL; ++i) foip_call__record(i).state = CALL_DONE;
  start_out(0);
  EXPECT_TRUE(g_ssc.empty());
  const auto co = start_co();
  ASSERT_EQ(co.size(), 1u);
  EXPECT_EQ(co[0].error_source, 0);
  EXPECT_EQ(co[0].error_code, 6);
  for (u16 i = 0; i < FOIP__MAX_SIP_CALL; ++i) foip_call__record(i).state = CALL_FREE;
}

// 491 on our re-INVITE: waits 2100 ms, 2150, 2200, ...; once the stored
// back-off passes 2000 the next wait is 2100 again.
TEST_F(FoipCall, Reinvite491BacksOffAndRestarts) {
  configure(FOIP__SEND_RE_INVITE);
  start_out(0);
  sdp_spec audio;
  audio.media = {sdp_media_spec{'U', 30000, 0, 0, {8}}};
  invite_co(62, 200, audio);  // audio answer: ACK and wait for the re-INVITE
  ASSERT_EQ(g_ssc.back().code, ACK);
  EXPECT_EQ(foip_call__record(0).state, CALL_PROGRESS_2);
  run_for(1000);
  ASSERT_EQ(g_ssc.back().code, INVITE);
  const std::string first_version = g_ssc.back().version;
  EXPECT_EQ(first_version, "890844527");  // the offer changed: o= + 1
  std::vector<u32> waits;
  for (int k = 0; k < 44; ++k) {
    invite_co(62, 491);
    const size_t before = g_ssc.size();
    u32 waited = 0;
    while (g_ssc.size() == before && waited < 5000) {
      run_for(10);
      waited += 10;
    }
    waits.push_back(waited);
  }
  EXPECT_EQ(waits[0], 2100u);
  EXPECT_EQ(waits[1], 2150u);
  EXPECT_EQ(waits[2], 2200u);
  EXPECT_EQ(waits[40], 4100u);  // back-off 2000; 2050 is stored
  EXPECT_EQ(waits[41], 2100u);  // restarted
  EXPECT_EQ(waits[42], 2150u);
  // An unchanged re-INVITE keeps its o= version.
  EXPECT_EQ(g_ssc.back().version, first_version);
}

// Ten incompatible answers in a row are waited out; the eleventh ends the
// call with status 1.
TEST_F(FoipCall, TenIncompatibleAnswersThenTheCallEnds) {
  configure(FOIP__SEND_RE_INVITE);
  start_out(0);
  sdp_spec none;
  none.media = {sdp_media_spec{'I', 40000, SDP_TRANSPORT_TCP}};  // TCP: not usable here
  for (int k = 0; k < 10; ++k) {
    invite_co(62, 200, none);
    ASSERT_EQ(foip_call__record(0).state, CALL_PROGRESS_2) << k;
    EXPECT_EQ(foip_call__record(0).incompatible, k + 1);
    run_for(1000);  // the wait ends with a re-INVITE
    ASSERT_EQ(g_ssc.back().code, INVITE);
  }
  invite_co(62, 200, none);
  EXPECT_EQ(foip_call__record(0).state, FREE_PROGRESS);
  EXPECT_EQ(g_ssc.back().code, CLOSE);
  simple_from_ssc(CALL_CLOSED_IN, 62);
  const auto co = start_co();
  ASSERT_EQ(co.size(), 1u);
  EXPECT_EQ(co[0].error_source, 0);
  EXPECT_EQ(co[0].error_code, 1);
  EXPECT_EQ(foip__session_count(), 0);
}

TEST_F(FoipCall, AnswerOnHoldWaitsWithTheTimerStopped) {
  configure();
  start_out(0);
  static const u8 HOLD[4] = {0, 0, 0, 0};
  sdp_spec d;
  d.addr = HOLD;
  invite_co(62, 200, d);
  EXPECT_EQ(foip_call__record(0).state, CALL_PROGRESS);
  EXPECT_FALSE(Timer_is_running(sip_mgt__glb().call[0].timer));
  EXPECT_EQ(foip__session_state(0), FOIP_MGT__SIP_CALL_PROGRESS);
}

// ---------------------------------------------------------------------------
// Incoming calls.

TEST_F(FoipCall, IncomingCallTakenByAWaitingSession) {
  configure();
  start_in(1);
  invite_in(123, sdp_spec{});
  // Set-param, then the 200 answer with our T.38 media on the offer's line.
  ASSERT_EQ(ssc_codes(), (std::vector<code_t>{SET_PARAM, ANSWER}));
  EXPECT_EQ(g_ssc[1].status, 200);
  EXPECT_EQ(g_ssc[1].t38_media, 1);
  EXPECT_EQ(g_ssc[1].conn_id, 123);
  sip_call__ctx& c = foip_call__record(61);
  EXPECT_EQ(c.state, CALL_PROGRESS);
  EXPECT_EQ(c.negotiated.udptl_param.fax_max_bit_rate, 9600);  // the smaller
  ack_in(123);
  EXPECT_EQ(c.state, CALL_DONE);
  EXPECT_EQ(foip__session_state(1), FOIP_MGT__RUNNING);
  EXPECT_EQ(lines().find("SIP Evt: Receive SIP_INVITE_IN") != std::string::npos, true);
}

TEST_F(FoipCall, IncomingCallThroughTheApplication) {
  configure();
  invite_in(100, sdp_spec{});
  ASSERT_EQ(g_alerts.size(), 1u);
  const foip__alert& a = g_alerts[0];
  EXPECT_STREQ(a.sz_called_user_name, "fax1");
  EXPECT_STREQ(a.calling.sz_user_name, "peer");
  EXPECT_EQ(a.media.media_count, 1);
  EXPECT_EQ(a.media.media[0].kind, 1);
  EXPECT_EQ(a.media.media[0].port, 40000);
  EXPECT_TRUE(g_ssc.empty());

  auto rs = std::make_unique<foip__alert>();
  rs->answer = FOIP__ALERT_ACCEPT;
  foip_test::incoming_param(rs->session_param, 2, dir_->path());
  session_common(rs->session_param, 'U');
  ASSERT_EQ(foip_api__send_alert_rs(*rs, SIG, FOIP__SAPI, 100), FOIP_API__OK);
  pump();
  // Set-param, 100 Trying, 200 OK.
  ASSERT_EQ(ssc_codes(), (std::vector<code_t>{SET_PARAM, ANSWER, ANSWER}));
  EXPECT_EQ(g_ssc[1].status, 100);
  EXPECT_EQ(g_ssc[2].status, 200);
  ack_in(100);
  EXPECT_EQ(foip_call__record(38).state, CALL_DONE);
  EXPECT_EQ(foip__session_state(2), FOIP_MGT__RUNNING);
  // A second answer after the accept changes nothing.
  const size_t n = g_ssc.size();
  ASSERT_EQ(foip_api__send_alert_rs(*rs, SIG, FOIP__SAPI, 100), FOIP_API__OK);
  pump();
  EXPECT_EQ(g_ssc.size(), n);
}

// Bits 1, 2, 4, 8 and four P-Asserted-Identity entries: To, From,
// Request-URI and the first two entries fill the five images.
TEST_F(FoipCall, AlertCarriesTheHeaderImagesAskedFor) {
  configure(1, 1000, 1 | 2 | 4 | 8);
  from_ssc(SSC_INVITE_IN, ssc_msg_type::INVITE, 100, [](ssc_handle* h) {
    auto* ru = static_cast<ssc_hdr_request_uri*>(Ssc_alloc_header(h, H::REQUEST_URI));
    ru->uri.scheme = 1;
    ru->uri.user_form = 'P';
    ru->uri.tel_global = 1;
    ru->uri.tel_number = "4930123";
    ru->uri.host_family = 'N';
    ru->uri.host_name = "gw.example";
    ru->uri.port = 5080;
    ru->uri.user_param = 'P';
    ru->uri.transport = 'U';
    add_party(h, H::FROM, "peer");
    add_party(h, H::TO, "fax1");
    static const char* const users[] = {"a1", "a2", "a3", "a4"};
    for (const char* u : users) {
      auto* p = static_cast<ssc_hdr_identity*>(Ssc_alloc_header(h, H::P_ASSERTED_IDENTITY));
      p->s1 = "Display Name That Is Long Enough To Be Cut Somewhere Past Sixty-Four Characters";
      p->uri.scheme = 1;
      p->uri.user_form = 'U';
      p->uri.user = u;
      p->uri.host_family = '4';
      std::memcpy(p->uri.host_v4, LOOP, 4);
      p->uri.port = 0xFFFF;
    }
    add_sdp(h, sdp_spec{});
  });
  ASSERT_EQ(g_alerts.size(), 1u);
  const foip__sip_header_image* img = g_alerts[0].headers;
  const u8 kinds[5] = {img[0].kind, img[1].kind, img[2].kind, img[3].kind, img[4].kind};
  EXPECT_EQ(kinds[0], FOIP__HDR_TO);
  EXPECT_EQ(kinds[1], FOIP__HDR_FROM);
  EXPECT_EQ(kinds[2], FOIP__HDR_REQUEST_URI);
  EXPECT_EQ(kinds[3], FOIP__HDR_P_ASSERTED_IDENTITY);
  EXPECT_EQ(kinds[4], FOIP__HDR_P_ASSERTED_IDENTITY);
  EXPECT_STREQ(img[0].user.name, "fax1");
  EXPECT_EQ(img[2].user_kind, 1);
  EXPECT_EQ(img[2].user.tel.number_flag, 1);
  EXPECT_STREQ(img[2].user.tel.number, "4930123");
  EXPECT_EQ(img[2].host_kind, 1u);
  EXPECT_STREQ(img[2].host.fqdn, "gw.example");
  EXPECT_EQ(img[2].port, 5080);
  EXPECT_EQ(img[2].transport, 1);
  EXPECT_STREQ(img[3].user.name, "a1");
  EXPECT_STREQ(img[4].user.name, "a2");
  EXPECT_EQ(std::strlen(img[3].display_name), sizeof img[3].display_name - 1);  // cut, terminated
}

TEST_F(FoipCall, RejectOfTheApplicationIsAFinalAnswer) {
  struct row {
    u16 status;
    const char* text;
    u16 want;
    const char* want_reason;
  };
  const row rows[] = {
      {486, "Busy Here", 486, "Busy Here"},
      {200, "", 404, "Address of T.38 session not found"},
      {603, "", 603, "Not set"},
  };
  configure();
  for (const row& r : rows) {
    SCOPED_TRACE(r.status);
    g_ssc.clear();
    g_stop_in.clear();
    invite_in(90, sdp_spec{});
    auto rs = std::make_unique<foip__alert>();
    rs->answer = FOIP__ALERT_REJECT;
    rs->sip_status = r.status;
    foip__copy_text(rs->sz_text, r.text);
    ASSERT_EQ(foip_api__send_alert_rs(*rs, SIG, FOIP__SAPI, 90), FOIP_API__OK);
    pump();
    ASSERT_FALSE(g_ssc.empty());
    EXPECT_EQ(g_ssc.back().code, CLOSE);
    EXPECT_EQ(g_ssc.back().status, r.want);
    EXPECT_EQ(g_ssc.back().reason, r.want_reason);
    simple_from_ssc(CALL_CLOSED_IN, 90);
    EXPECT_EQ(foip_call__record(28).state, CALL_FREE);
    ASSERT_EQ(g_stop_in.size(), 1u);
    EXPECT_EQ(g_stop_in[0].conn_id, 90);
    EXPECT_EQ(g_stop_in[0].c.error_source, r.want / 100);
    EXPECT_EQ(g_stop_in[0].c.error_code, r.want % 100);
  }
}

// Every INVITE that cannot be taken gets a final answer, and its record is
// only free again once ENT_SSC has closed the call.
TEST_F(FoipCall, InviteThatCannotBeTakenIsAnsweredAndItsRecordWaits) {
  struct row {
    const char* name;
    std::function<void()> send;
    u16 want;
    const char* want_reason;
    u16 trap = 0;
    const char* trap_text = nullptr;
  };
  sdp_spec no_addr;
  no_addr.session_addr = false;
  sdp_spec twelve;
  twelve.media.assign(12, sdp_media_spec{});
  // The codec passes ten media lines and counts the rest.
  sdp_spec eleven = twelve;
  eleven.media.resize(10);
  eleven.media_lines = 11;
  sdp_spec eleven_no_addr = eleven;
  eleven_no_addr.session_addr = false;
  sdp_spec tcp_only;
  tcp_only.media = {sdp_media_spec{'I', 40000, SDP_TRANSPORT_TCP}};
  const row rows[] = {
      {"undecodable", [] { simple_from_ssc(SSC_INVITE_IN, 80); }, 400, "Bad Request", 21075,
       "FOIP: (process_incoming_call_sip_invite_in) Ssc_unformat_msg returns NOK"},
      {"no To", [] { invite_in(80, sdp_spec{}, nullptr); }, 400, "Bad Request", 23053,
       "FOIP: (process_incoming_call_sip_invite_in) SIP_INVITE_IN without field To:"},
      {"no media address", [&] { invite_in(80, no_addr); }, 400, "NO remote media IP address"},
      {"twelve media lines", [&] { invite_in(80, twelve); }, 488, "Not Acceptable Here"},
      {"eleven media lines counted by the codec", [&] { invite_in(80, eleven); }, 488, "Not Acceptable Here"},
      {"eleven media lines without address", [&] { invite_in(80, eleven_no_addr); }, 488, "Not Acceptable Here"},
      {"no compatible media", [&] { invite_in(80, tcp_only, "fax3"); }, 415, "No compatible T.38 capabilites"},
  };
  configure();
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    g_ssc.clear();
    g_traps.clear();
    start_in(3);
    r.send();
    if (r.trap) {
      ASSERT_EQ(g_traps.size(), 1u);
      EXPECT_EQ(g_traps[0].body.error.trap_foip.trap_code, r.trap);
      EXPECT_STREQ(g_traps[0].body.error.trap_foip.sz_diag, r.trap_text);
    } else {
      EXPECT_TRUE(g_traps.empty());
    }
    ASSERT_FALSE(g_ssc.empty()) << lines();
    EXPECT_EQ(g_ssc.back().code, CLOSE);
    EXPECT_EQ(g_ssc.back().status, r.want);
    EXPECT_EQ(g_ssc.back().reason, r.want_reason);
    EXPECT_EQ(foip_call__record(18).state, FREE_PROGRESS);
    simple_from_ssc(CALL_CLOSED_IN, 80);
    EXPECT_EQ(foip_call__record(18).state, CALL_FREE);
    // The session that took the call (415) fails its start; the others
    // were never offered the call and still wait.
    const auto co = start_co();
    if (r.want == 415) {
      ASSERT_EQ(co.size(), 1u);
      EXPECT_EQ(co[0].error_source, 4);
      EXPECT_EQ(co[0].error_code, 15);
    } else {
      EXPECT_TRUE(co.empty());
      ASSERT_EQ(foip_api__send_stop_rq(3), FOIP_API__OK);
      pump();
    }
    EXPECT_EQ(foip__session_count(), 0);
    rec().clear();
  }
}

TEST_F(FoipCall, LateAlertAnswerNeverAnswersAnotherCall) {
  configure();
  start_out(0);  // record 0 (conn 62) carries an outgoing call
  auto rs = std::make_unique<foip__alert>();
  rs->answer = FOIP__ALERT_ACCEPT;
  ASSERT_EQ(foip_api__send_alert_rs(*rs, SIG, FOIP__SAPI, 62), FOIP_API__OK);
  pump();
  ASSERT_EQ(foip_api__send_alert_rs(*rs, SIG, FOIP__SAPI, 70), FOIP_API__OK);  // a free record
  pump();
  EXPECT_EQ(ssc_codes(), (std::vector<code_t>{SET_PARAM, INVITE}));
  EXPECT_EQ(foip_call__record(0).state, CALL_PROGRESS);
  EXPECT_EQ(foip_call__record(8).state, CALL_FREE);
}

TEST_F(FoipCall, OptionsAreAnswered200) {
  configure();
  simple_from_ssc(SSC_OPTIONS_IN, 64);
  ASSERT_EQ(g_ssc.size(), 1u);
  EXPECT_EQ(g_ssc[0].code, 'c');
  EXPECT_EQ(g_ssc[0].status, 200);
}

// The far end re-INVITEs to T.38 after our audio answer (mode 1), then
// re-INVITEs again with media that does not match the open session.
TEST_F(FoipCall, PeerReinviteToT38ThenAMismatchIsRefused) {
  configure(FOIP__WAIT_RE_INVITE);
  start_in(1);
  sdp_spec audio;
  audio.media = {sdp_media_spec{'U', 30000, 0, 0, {18, 3, 4, 97, 98, 99, 101, 9, 0}}};
  invite_in(123, audio);
  ASSERT_EQ(g_ssc.back().code, ANSWER);
  EXPECT_EQ(g_ssc.back().status, 200);
  sip_call__ctx& c = foip_call__record(61);
  EXPECT_EQ(c.state, CALL_PROGRESS_2);
  EXPECT_EQ(c.sdp.media[0].format_count, 1);  // G.711 found among nine formats
  EXPECT_EQ(c.sdp.media[0].formats[0], 0);
  ack_in(123);
  invite_in(123, sdp_spec{});  // re-INVITE with T.38
  EXPECT_EQ(g_ssc.back().status, 200);
  EXPECT_EQ(g_ssc.back().t38_media, 1);
  EXPECT_EQ(c.state, CALL_PROGRESS);
  ack_in(123);
  EXPECT_EQ(c.state, CALL_DONE);
  EXPECT_EQ(foip__session_state(1), FOIP_MGT__RUNNING);

  struct row {
    sdp_media_spec m;
    const char* want;
  };
  const row rows[] = {
      {{'U', 30000, 0, 0, {0}}, "Not Acceptable: Media T.38 already opened (Err 1)"},
      {{'I', 40000, SDP_TRANSPORT_TCP}, "Not Acceptable: Media T.38 already opened (Err 3)"},
      {{'I', 40002}, "Not Acceptable: Media T.38 already opened (Err 10)"},
      {{'I', 40000, SDP_TRANSPORT_UDPTL, SDP_UDPEC_FEC}, "Not Acceptable: Media T.38 already opened (Err 18)"},
  };
  for (const row& r : rows) {
    sdp_spec d;
    d.media = {r.m};
    invite_in(123, d);
    EXPECT_EQ(g_ssc.back().status, 406);
    EXPECT_EQ(g_ssc.back().reason, r.want);
    EXPECT_EQ(c.state, CALL_DONE);
  }
  invite_in(123, sdp_spec{});  // the same media again: 200
  EXPECT_EQ(g_ssc.back().status, 200);
}

// ---------------------------------------------------------------------------
// Registration.

TEST_F(FoipCall, RegisterSendsAndUnregisterOfAFreeRecordAnswersAtOnce) {
  foip__global_param g;
  configure();
  // No registrar, no proxy: refused (200, 3).
  foip__sip_register_param p{};
  p.user_identification = FOIP__USR_ID__NAME;
  foip__copy_text(p.sz_user_name, "fax");
  ASSERT_EQ(foip_api__send_sip_register_rq(7, p), FOIP_API__OK);
  pump();
  auto co = foip_test::confirms(FOIP__SIP_REGISTER_CO);
  ASSERT_EQ(co.size(), 1u);
  EXPECT_EQ(co[0].return_code, 3);
  EXPECT_EQ(co[0].error_code, 3);
  // Un-registering a record that holds nothing: (2, 2, 35) at once.
  ASSERT_EQ(foip_api__send_sip_unregister_rq(7, 4), FOIP_API__OK);
  pump();
  co = foip_test::confirms(FOIP__SIP_UNREGISTER_CO);
  ASSERT_EQ(co.size(), 1u);
  EXPECT_EQ(co[0].error_code, 35);
  // With a registrar the REGISTER goes out on record 0 and is held.
  foip__glb_sip_param& sp = sip_mgt__glb().glb_sip_param;
  foip__copy_text(sp.registrar_addr.sz_fqdn, "registrar.example");
  sp.registrar_addr.ip_port = 5080;
  p.expires_sec = 3600;
  ASSERT_EQ(foip_api__send_sip_register_rq(7, p), FOIP_API__OK);
  pump();
  ASSERT_EQ(g_ssc.size(), 1u);
  EXPECT_EQ(g_ssc[0].code, SSC_REGISTER_RQ);
  EXPECT_EQ(g_ssc[0].conn_id, 0);
  EXPECT_EQ(sip_mgt__glb().reg[0].state, SIP_REGISTER__SENT);
  EXPECT_NE(sip_mgt__glb().reg[0].held_register, nullptr);
  // The registrar's 200: FOIP__SIP_REGISTER_CO (2, 2, 2) on record 0.
  from_ssc(SSC_REGISTER_CO, ssc_msg_type::REGISTER_RS, 0, [](ssc_handle* h) {
    auto* st = static_cast<ssc_hdr_status*>(Ssc_alloc_header(h, H::RETURN_CODE));
    st->code = 200;
    st->reason = "OK";
  });
  co = foip_test::confirms(FOIP__SIP_REGISTER_CO);
  ASSERT_EQ(co.size(), 2u);
  EXPECT_EQ(co[1].return_code, 2);
  EXPECT_EQ(co[1].error_source, 2);
  EXPECT_EQ(co[1].error_code, 2);
  EXPECT_EQ(sip_mgt__glb().reg[0].state, SIP_REGISTER__REGISTERED);
  // Un-registering it sends a REGISTER with Expires 0; the answer comes when
  // ENT_SSC closes the registration.
  ASSERT_EQ(foip_api__send_sip_unregister_rq(7, 0), FOIP_API__OK);
  pump();
  ASSERT_EQ(g_ssc.size(), 2u);
  EXPECT_EQ(g_ssc[1].code, SSC_REGISTER_RQ);
  EXPECT_EQ(sip_mgt__glb().reg[0].state, SIP_REGISTER__UNREGISTER_SENT);
  // A second request for the same record is answered at once, the held one kept.
  ASSERT_EQ(foip_api__send_sip_unregister_rq(7, 0), FOIP_API__OK);
  pump();
  co = foip_test::confirms(FOIP__SIP_UNREGISTER_CO);
  ASSERT_EQ(co.size(), 2u);
  EXPECT_EQ(co[1].error_code, 35);
  EXPECT_NE(sip_mgt__glb().reg[0].held_unregister, nullptr);
  simple_from_ssc(CALL_CLOSED_IN, 0);
  co = foip_test::confirms(FOIP__SIP_UNREGISTER_CO);
  ASSERT_EQ(co.size(), 3u);
  EXPECT_EQ(co[2].return_code, 2);
  EXPECT_EQ(co[2].error_code, 2);
  EXPECT_EQ(sip_mgt__glb().reg[0].state, SIP_REGISTER__FREE);
}

// After our audio answer the far end's ACK without SDP only lets the wait
// end in our re-INVITE (mode 2), with T.38 only and a new o= version.
TEST_F(FoipCall, AckWithoutSdpArmsOurReinvite) {
  configure(FOIP__SEND_RE_INVITE, 500);
  start_in(1);
  sdp_spec audio;
  audio.media = {sdp_media_spec{'U', 30000, 0, 0, {8, 0}}};
  invite_in(123, audio);
  ASSERT_EQ(g_ssc.back().status, 200);
  const std::string answer_version = g_ssc.back().version;
  sip_call__ctx& c = foip_call__record(61);
  EXPECT_EQ(c.re_invite_allowed, 0);
  run_for(700);  // the wait ends but the re-INVITE is not allowed yet
  EXPECT_EQ(g_ssc.back().code, ANSWER);
  ack_in(123);
  EXPECT_EQ(c.re_invite_allowed, 1);
  EXPECT_EQ(c.state, CALL_PROGRESS_2);
  run_for(700);
  ASSERT_EQ(g_ssc.back().code, INVITE);
  EXPECT_EQ(g_ssc.back().t38_media, 1);
  EXPECT_EQ(std::stoul(g_ssc.back().version), std::stoul(answer_version) + 1);
  invite_co(123, 200);
  EXPECT_EQ(c.state, CALL_DONE);
  EXPECT_EQ(foip__session_state(1), FOIP_MGT__RUNNING);
}

// ---------------------------------------------------------------------------
// Our re-INVITE to T.38 keeps every m-line of the last description we sent
// (first offer, or answer to the far end's offer) in its place: T.38 takes
// the first audio line (modes 4 and 5) or the line T.38 had, else comes
// last; every other line is disabled.  The far end's answer with the same
// lines opens the call.

sdp_media_spec audio(u16 port, std::vector<u8> formats = {8}) { return {'U', port, 0, 0, std::move(formats)}; }
sdp_media_spec video(u16 port) { return {'V', port, 0, 0, {31}}; }
const sdp_media_spec T38_OFF{'I', 0};

struct reoffer_case {
  const char* name;
  u8 mode;
  bool incoming;
  std::vector<sdp_media_spec> peer;  // the answer to our first offer, or the far end's offer
  const char* first;                 // m-lines of our first offer or of our answer
  const char* reinvite;              // m-lines of our re-INVITE
};
void PrintTo(const reoffer_case& k, std::ostream* os) { *os << k.name; }

// Offers of an incoming call: one, two and three lines.
const std::vector<sdp_media_spec> ONE = {audio(30000, {8, 0})};
const std::vector<sdp_media_spec> TWO = {audio(30000), audio(30002, {0})};
const std::vector<sdp_media_spec> WITH_T38 = {audio(30000), T38_OFF, audio(30004, {0})};
const std::vector<sdp_media_spec> WITH_VIDEO = {audio(30000), video(30002), audio(30004, {0})};

const reoffer_case REOFFER_CASES[] = {
    // Outgoing: the lines of our first offer.
    {"Send_Mode2", 2, false, {audio(30000), audio(0, {0}), T38_OFF}, "U+ U+ I+", "U0 U0 I+"},
    {"Send_Mode4", 4, false, {audio(30000), audio(0, {0})}, "U+ U+", "I+ U0"},
    {"Send_Mode5", 5, false, {audio(30000)}, "U+", "I+"},
    {"Send_Mode6", 6, false, {audio(30000), T38_OFF}, "U+ I+", "U0 I+"},
    {"Send_Mode8", 8, false, {audio(30000)}, "U+", "U0 I+"},
    // Incoming: the lines of our answer, as many as the offer had.
    {"Receive_Mode2_One", 2, true, ONE, "U+", "U0 I+"},
    {"Receive_Mode4_One", 4, true, ONE, "U+", "I+"},
    {"Receive_Mode5_One", 5, true, ONE, "U+", "I+"},
    {"Receive_Mode6_One", 6, true, ONE, "U+", "U0 I+"},
    {"Receive_Mode8_One", 8, true, ONE, "U+", "U0 I+"},
    {"Receive_Mode2_Two", 2, true, TWO, "U+ U0", "U0 U0 I+"},
    {"Receive_Mode4_Two", 4, true, TWO, "U+ U0", "I+ U0"},
    {"Receive_Mode5_Two", 5, true, TWO, "U+ U0", "I+ U0"},
    {"Receive_Mode6_Two", 6, true, TWO, "U+ U0", "U0 U0 I+"},
    {"Receive_Mode8_Two", 8, true, TWO, "U+ U0", "U0 U0 I+"},
    {"Receive_Mode2_T38Off", 2, true, WITH_T38, "U+ I0 U0", "U0 I+ U0"},
    {"Receive_Mode4_T38Off", 4, true, WITH_T38, "U+ I0 U0", "U0 I+ U0"},
    {"Receive_Mode5_T38Off", 5, true, WITH_T38, "U+ I0 U0", "U0 I+ U0"},
    {"Receive_Mode6_T38Off", 6, true, WITH_T38, "U+ I0 U0", "U0 I+ U0"},
    {"Receive_Mode8_T38Off", 8, true, WITH_T38, "U+ I0 U0", "U0 I+ U0"},
    {"Receive_Mode2_Video", 2, true, WITH_VIDEO, "U+ V0 U0", "U0 V0 U0 I+"},
    {"Receive_Mode4_Video", 4, true, WITH_VIDEO, "U+ V0 U0", "I+ V0 U0"},
    {"Receive_Mode5_Video", 5, true, WITH_VIDEO, "U+ V0 U0", "I+ V0 U0"},
    {"Receive_Mode6_Video", 6, true, WITH_VIDEO, "U+ V0 U0", "U0 V0 U0 I+"},
    {"Receive_Mode8_Video", 8, true, WITH_VIDEO, "U+ V0 U0", "U0 V0 U0 I+"},
};

class FoipCallReoffer : public FoipCall, public ::testing::WithParamInterface<reoffer_case> {};

TEST_P(FoipCallReoffer, KeepsEveryLineOfTheLastDescriptionSent) {
  const reoffer_case& k = GetParam();
  configure(k.mode, 500);
  sdp_spec peer;
  peer.media = k.peer;
  const nai_t nai = k.incoming ? 1 : 0;
  const u16 conn = k.incoming ? 123 : 62;
  if (k.incoming) {
    start_in(nai);
    invite_in(conn, peer);
    ASSERT_FALSE(g_ssc.empty());
    ASSERT_EQ(g_ssc.back().status, 200);
  } else {
    start_out(nai);
    ASSERT_FALSE(g_ssc.empty());
    ASSERT_EQ(g_ssc.back().code, INVITE);
  }
  const ssc_seen first = g_ssc.back();
  EXPECT_EQ(first.m_lines, k.first);
  if (k.incoming) {
    ack_in(conn);
  } else {
    invite_co(conn, 200, peer);
    ASSERT_EQ(g_ssc.back().code, ACK);
  }
  run_for(1000);
  ASSERT_EQ(g_ssc.back().code, INVITE);
  const ssc_seen re = g_ssc.back();
  EXPECT_EQ(re.m_lines, k.reinvite);
  EXPECT_EQ(std::stoul(re.version), std::stoul(first.version) + 1);

  // The far end takes T.38 on the same lines.
  sdp_spec answer;
  answer.media.clear();
  for (std::size_t i = 0; i + 1 < re.m_lines.size(); i += 3) {
    const char kind = re.m_lines[i];
    if (kind == 'I') answer.media.push_back({'I', static_cast<u16>(re.m_lines[i + 1] == '+' ? 40000 : 0)});
    else answer.media.push_back({static_cast<u8>(kind), 0, 0, 0, {8}});
  }
  invite_co(conn, 200, answer);
  EXPECT_EQ(g_ssc.back().code, ACK);
  EXPECT_EQ(foip__session_state(nai), FOIP_MGT__RUNNING);
  EXPECT_EQ(t38_mgt__get_ctx(nai).remote.port, 40000);
}

INSTANTIATE_TEST_SUITE_P(Modes, FoipCallReoffer, ::testing::ValuesIn(REOFFER_CASES),
                         [](const ::testing::TestParamInfo<reoffer_case>& i) { return std::string(i.param.name); });

}  // namespace

// Reports of the SIP side on a call are traced with their details; a
// transaction error with parameter 5 is not.
TEST_F(FoipCall, ReportsOfTheSipSideAreTracedWithTheirDetails) {
  configure();
  start_out(0);  // call 62 in progress: it takes SSC_ERROR_IN
  const std::string pad(28, ' ');
  Send_msg(make_msg(ENT_SM, ENT_FOIP, SM_REPORT_IN, {'~', 'r', 20, 0, 54, 255, 0}, SIG, 70));
  Send_msg(make_msg(ENT_SM, ENT_FOIP, SM_REPORT_IN, {'~', 'r', 38, 0, 5, 255, 0}, SIG, 70));
  Send_msg(make_msg(ENT_SM, ENT_FOIP, SM_REPORT_IN, {ENT_SSC, 'r', 'b', 0, 7, 0, 3, 255, 8, 0xE1}, SIG, 65535));
  Send_msg(make_msg(ENT_SSC, ENT_FOIP, SSC_ERROR_IN, {ENT_SSC, 0, 0x84, 0x03, 255, 0, 0, 0xE1}, SIG, 62));
  pump();
  std::string l = lines();
  std::erase(l, '\r');  // the console starts its lines with one
  const std::string sip_error =
      "(nai " + std::to_string(SIG) + ", conn_id  70) SIP Evt: SM_REPORT_IN (REPORT_TYPE_ERROR) From SIP entity\n" +
      pad + "Warning report from SIP thru SM_REPORT_IN (nai " + std::to_string(SIG) + " conn_id 70)\n" + pad +
      " Error         : (20) Parameter number error (20 internal SIP)\n" + pad + " Parameter     : TO (54)\n";
  EXPECT_NE(l.find(sip_error), std::string::npos) << l;
  EXPECT_EQ(l.find("(38)"), std::string::npos) << l;
  const std::string ssc_report =
      "(nai " + std::to_string(SIG) + ", conn_id 65535) SSC Evt: SM_REPORT_IN (REPORT_TYPE_ERROR) From SSC entity\n" +
      pad + "cause              = (98) SSC_DISCARDED_EVENT\n" + pad + "code               = 225\n" + pad +
      "dialog_state       = 3\n" + pad + "call_state         = 8\n";
  EXPECT_NE(l.find(ssc_report), std::string::npos) << l;
  const std::string ssc_error = "(nai " + std::to_string(SIG) + ", conn_id  62) SSC Evt: SSC_ERROR_IN";
  EXPECT_NE(l.find(ssc_error), std::string::npos) << l;
  EXPECT_NE(
      l.find(" Warning report from SIP_SC thru SSC_ERROR_IN (nai " + std::to_string(SIG) +
             " conn_id 62)\n  Origin     : SIP_SC entity\n  Error      : (900) Unknown error\n  Fatal error: No\n"),
      std::string::npos)
      << l;
  EXPECT_EQ(foip_call__record(0).info.sip_ret_code, 900);
}
