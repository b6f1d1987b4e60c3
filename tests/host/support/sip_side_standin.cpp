#include "host/support/sip_side_standin.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>

#include "runtime/entity.h"
#include "runtime/msg.h"
#include "session/foip/app_foip_prim.h"
#include "session/foip/foip_ctx.h"
#include "session/foip/foip_err.h"
#include "session/foip/foip_t38_mgt.h"
#include "t38/t38_config.h"

namespace {

constexpr code_t kOfferCue = 'Z';   // ENT_SSC -> ENT_FOIP: play an incoming call
constexpr code_t kHangUpCue = 'Y';  // ENT_SSC -> ENT_FOIP: play the far end's BYE
constexpr u16 kCallConnId = 70;     // connection id of the offered call
constexpr u8 kCallNameSize = 24;

std::mutex g_lock;
sip_standin_peer g_peer;
std::map<nai_t, sip_standin_peer> g_session_peers;
char g_called[kCallNameSize] = "";
nai_t g_bound = FOIP__NAI_GLOBAL;  // session of the offered call
int g_call_token = 0;              // the "call record" a session points at
std::set<nai_t> g_open;            // sessions with an open call (runtime thread only)

sip_standin_peer peer(nai_t nai = FOIP__NAI_GLOBAL) {
  std::lock_guard<std::mutex> hold(g_lock);
  const auto it = g_session_peers.find(nai);
  return it == g_session_peers.end() ? g_peer : it->second;
}

kv::t38::t38__t38_capabilities udp_caps(const foip__t38_udptl_cap& c) {
  kv::t38::t38__t38_capabilities r = kv::t38::t38__default_capabilities();
  if (c.use_t38_cap_bfi == 0) return r;
  r.t38_version = c.t38_version;
  if (c.fax_max_bit_rate) r.fax_max_bit_rate = c.fax_max_bit_rate;
  r.drate_mgt_method = c.drate_mgt_method ? c.drate_mgt_method : r.drate_mgt_method;
  r.remove_fill_bits_t4 = c.remove_fill_bits_t4;
  r.transcode_mmr = c.transcode_mmr;
  r.transcode_jbig = c.transcode_jbig;
  if (c.fax_max_buffer_size) r.fax_max_buffer_size = c.fax_max_buffer_size;
  if (c.max_datagram_size) r.max_datagram_size = c.max_datagram_size;
  r.udp_ec = c.udp_ec;
  return r;
}

// What the SDP answer gives the T.38 management: the peer and its
// capabilities.
void write_media(foip__na_ctx* s) {
  const sip_standin_peer p = peer(s->nai);
  t38_mgt__remote_media r;
  r.addr_kind = 4;
  std::memcpy(r.ipv4, p.ipv4, 4);
  r.port = p.port;
  r.udp_caps = udp_caps(s->param.t38_capabilites_param.udptl_param);
  r.tcp_caps = kv::t38::t38__default_capabilities();
  t38_mgt__set_remote_media(s->nai, r);
}

void open_call(foip__na_ctx* s, u16 origin) {
  write_media(s);
  foip__set_sip_call(s, &g_call_token, true);
  g_open.insert(s->nai);
  foip__send_mgt(FOIP_MGT__SIP_CALL_OPENED, s->nai, FOIP__RC_OK, origin, 0, 0);
}

void offer_call() {
  foip__glb_context& g = foip__glb();
  auto a = std::make_unique<foip__alert>();
  a->called_kind = 1;
  {
    std::lock_guard<std::mutex> hold(g_lock);
    std::memcpy(a->sz_called_phone_number, g_called, sizeof g_called);
  }
  a->calling.kind = 2;
  std::snprintf(a->calling.sz_user_name, sizeof a->calling.sz_user_name, "spandsp");
  const sip_standin_peer p = peer();
  a->remote_addr.ip_addr.ip_family = OM_IP_FAMILY_V4;
  std::memcpy(a->remote_addr.ip_addr.addr.v4.addr, p.ipv4, 4);
  a->media.media_count = 1;
  std::memcpy(a->media.media[0].ipv4, p.ipv4, 4);
  foip_api__addr to;
  to.from = ENT_FOIP;
  to.to = g.user_entity;
  to.nai = g.sip.sig_nai;
  to.sapi = FOIP__SAPI;
  to.conn_id = kCallConnId;
  g_bound = FOIP__NAI_GLOBAL;
  (void)foip_api__send_record(to, FOIP__ALERT_IN, *a);
}

void alert_answer() {
  const msg_t* m = foip__current_msg();
  if (!m || m->conn_id != kCallConnId) return;
  auto a = std::make_unique<foip__alert>();
  if (foip_api__read_record(m, FOIP__ALERT_RS, a.get()) != FOIP_API__OK) return;
  if (a->answer == FOIP__ALERT_PROVISIONAL) return;
  foip__na_ctx* s = foip__get_na_ctx(g_bound);
  if (a->answer == FOIP__ALERT_REJECT) {
    if (s) foip__free_na_ctx(s->nai);
    g_bound = FOIP__NAI_GLOBAL;
    return;
  }
  if (!s) {
    const u8 r = foip__chk_session_param(FOIP__ALERT_RS, m->nai, a->session_param, m->from, &s);
    if (r != 2 || !s) {
      foip__send_stop_in(FOIP__START_ERR_SRC__FOIP_CHK_PARAM, r, m->from, m->nai, kCallConnId, nullptr);
      return;
    }
    s->q_status = FOIP_MGT__Q_ACTIVE;
    s->state = FOIP_MGT__SIP_CALL_PROGRESS;
    g_bound = s->nai;
  }
  if (a->answer != FOIP__ALERT_ACCEPT) return;
  write_media(s);
  if (s->kind_of_t38_transport == 'T' && foip__hooks().t38_mgt__automaton)
    foip__hooks().t38_mgt__automaton(s, T38_MGT__EVT_USR_ACT_RQ, 'T', 'I');
  open_call(s, 0);
}

// The far end's BYE as the SIP side passes it on: the call is gone and the
// session hears that its call closed.
void far_end_hangs_up() {
  const std::set<nai_t> open = std::move(g_open);
  g_open.clear();
  for (nai_t nai : open) {
    foip__na_ctx* s = foip__get_na_ctx(nai);
    if (!s || !s->sip_call) continue;
    foip__set_sip_call(s, nullptr, false);
    foip__send_mgt(FOIP_MGT__SIP_CALL_CLOSED, nai, 0, 0, 0, 0);
  }
}

void standin(foip__na_ctx* s, u8 event) {
  switch (event) {
    case SSC_MGT__EVT_OPEN_CALL:
      if (s) open_call(s, 1);
      break;
    case SSC_MGT__EVT_CLOSE_CALL:
      if (!s) break;
      g_open.erase(s->nai);
      foip__set_sip_call(s, nullptr, false);
      foip__send_mgt(FOIP_MGT__SIP_CALL_CLOSED, s->nai, FOIP__RC_OK, 1, 0, 0);
      break;
    case SSC_MGT__EVT_SSC:
      if (const msg_t* m = foip__current_msg(); m && m->code == kOfferCue) offer_call();
      if (const msg_t* m = foip__current_msg(); m && m->code == kHangUpCue) far_end_hangs_up();
      break;
    case SSC_MGT__EVT_ALERT_RS: alert_answer(); break;
    case SSC_MGT__EVT_RESET: foip_cnf__close(); break;
    default: break;
  }
}

void release_call(foip__na_ctx* s) {
  g_open.erase(s->nai);
  foip__set_sip_call(s, nullptr, false);
  if (s->nai == g_bound) g_bound = FOIP__NAI_GLOBAL;
}

}  // namespace

void sip_standin__set_peer(const sip_standin_peer& p) {
  std::lock_guard<std::mutex> hold(g_lock);
  g_peer = p;
}

void sip_standin__set_session_peer(nai_t nai, const sip_standin_peer& p) {
  std::lock_guard<std::mutex> hold(g_lock);
  g_session_peers[nai] = p;
}

void sip_standin__install(foip__layer_hooks& h) {
  h.ssc_mgt__automaton = standin;
  h.sip_set_config = nullptr;
  h.sip_release_call = release_call;
}

namespace {

// A cue to the stand-in on the call, posted from outside the runtime's
// thread: an interrupt-side message.
void post_cue(code_t cue) {
  msg_t* m = It_get_msg();
  if (!m) return;
  m->from = ENT_SSC;
  m->to = ENT_FOIP;
  m->nai = 0;
  m->sapi = 0;
  m->conn_id = kCallConnId;
  m->code = cue;
  Send_msg(m);
}

}  // namespace

void sip_standin__offer_call(const char* called) {
  {
    std::lock_guard<std::mutex> hold(g_lock);
    std::snprintf(g_called, sizeof g_called, "%s", called);
  }
  post_cue(kOfferCue);
}

void sip_standin__far_end_hangs_up() { post_cue(kHangUpCue); }
