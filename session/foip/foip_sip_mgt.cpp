// SIP side of the FOIP entity: configuration and reset of the SIP entities,
// registration answers, and the routing of SIP-side events.
#include "session/foip/foip_sip_mgt.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "runtime/automaton.h"
#include "runtime/entity_ids.h"
#include "runtime/sm.h"
#include "session/foip/app_foip_prim.h"
#include "session/foip/foip_call.h"
#include "session/foip/foip_call_info.h"
#include "session/foip/foip_ctx.h"
#include "session/foip/foip_dump.h"
#include "session/foip/foip_err.h"
#include "session/foip/foip_sip_build.h"
#include "session/trace/foip_trc.h"
#include "sip/prim/ssc_codes.h"
#include "sip/prim/ssc_header.h"
#include "t38/t38_entity.h"

namespace {

sip_mgt__glb_ctx g_sip;

constexpr ent_id_t SM_TARGET_SSC = ENT_SSC;
constexpr ent_id_t SM_TARGET_SIP = ENT_SIP;
constexpr ent_id_t SM_TARGET_IP = ENT_IP;

// Copies the data of a message (inline or in its buffer chain).
std::vector<u8> body_of(const msg_t* m) {
  const u32 n = Msg_total_size(m);
  std::vector<u8> out(n);
  if (n) std::memcpy(out.data(), Msg_data(m), std::min<u32>(n, Msg_data_size(m)));
  return out;
}

// A message to ENT_SM with a body (inline when small).
u8 send_sm(code_t code, nai_t nai, u8 sapi, u16 conn_id, const u8* body, u32 n, ent_id_t target) {
  return foip__send_body(nullptr, {ENT_FOIP, ENT_SM, code, nai, sapi, conn_id}, body, n, target) ? 2 : 3;
}

// Subscribes ENT_FOIP to the SM_REPORT_IN of an entity.
u8 send_trigger(ent_id_t source) {
  sm_trigger_body t{};
  t.operation = 1;
  t.subscriber = ENT_FOIP;
  t.code = SM_REPORT_IN;
  t.source = source;
  t.nai = 0xFFFF;
  t.sapi = 0xFF;
  t.conn_id = 0xFFFF;
  t.report_kind = 0;
  u8 body[SM_TRIGGER_BODY_SIZE];
  sm_trigger_body_pack(t, body);
  return send_sm(SM_SET_TRIG_IN, 0xFFFF, 0xFF, 0xFFFF, body, sizeof body, 0);
}

u8 send_config(ent_id_t target, std::vector<u8> body) {
  body[0] = target;  // the relay word names the entity
  return send_sm(SM_CONFIG_RQ, 0xFFFF, 0xFF, 0xFFFF, body.data(), static_cast<u32>(body.size()), target);
}

void free_resources() {
  for (sip_call__slot& c : g_sip.call) {
    if (c.timer) {
      Timer_stop(c.timer);
      Timer_free(c.timer);
      c.timer = nullptr;
    }
  }
  for (ssc_handle** h : {&g_sip.build_handle, &g_sip.rx_handle}) {
    if (*h) {
      (void)Ssc_free_handle(*h);
      *h = nullptr;
    }
  }
}

void answer_config(u8 rc, u8 source, u8 code, const char* step) {
  foip__glb_context& g = foip__glb();
  if (rc == FOIP__RC_OK) {
    g_sip.phase = SIP_MGT__RUNNING;
    g.configured_mark = FOIP__MARK_VALID;
    foip__set_sip_ready(2);
  } else {
    g_sip.phase = SIP_MGT__NOT_CONFIGURED;
    g.configured_mark = FOIP__MARK_INVALID;
    foip__set_sip_ready(1);
    (void)step;
  }
  msg_t* held = g_sip.held_config;
  g_sip.held_config = nullptr;
  if (held) foip__send_confirm(held, FOIP__SET_CONFIG_CO, rc, source, code, FOIP__NAI_GLOBAL, FOIP__CONN_NONE);
}

void fail(u8 source, u8 code, const char* step) { answer_config(3, source, code, step); }

// Configuration phases 1 to 4: each answer, checked, sends the next
// request; a failure answers the held FOIP__SET_CONFIG_RQ.

// The result and error bytes of the current message when its code is
// `code` (no message or another code: false, the answer is ignored).
bool confirm_of(code_t code, u8& result, u8& error) {
  const msg_t* m = foip__current_msg();
  if (!m || m->code != code) return false;
  const std::vector<u8> body = body_of(m);
  result = body.size() > 0 ? body[0] : FOIP__RC_NOK;
  error = body.size() > 1 ? body[1] : 0;
  return true;
}

void take_t38_capabilities(foip__na_ctx*) {
  const msg_t* m = foip__current_msg();
  if (!m) return;
  const std::vector<u8> body = body_of(m);
  const u8 result = body.size() > 0 ? body[0] : FOIP__RC_NOK;
  const u8 error = body.size() > 1 ? body[1] : 0;
  if (result != FOIP__RC_OK || body.size() < kv::t38::T38__CAPABILITIES_CO_SIZE)
    return fail(FOIP__CFG_ERR_SRC__T38_CAPABILITIES, error, "T38__CAPABILITIES_CO");
  g_sip.tcp_present = foip__read_t38_capabilities(body.data(), &g_sip.local_t38);
  // These are also the global local capabilities every session starts
  // from (until the application asks for them itself).
  foip__glb().t38_tcp_capable = foip__read_t38_capabilities(body.data(), &foip__glb().glb_lcl_cap);
  if (send_ssc_config_rq() != FOIP__RC_OK)
    return fail(FOIP__CFG_ERR_SRC__FOIP_CHK_PARAM, FOIP__CFG_ERR__MSG_BUFF_RESOURCE, "T38__CAPABILITIES_CO");
  g_sip.phase = SIP_MGT__WAIT_SSC_CONFIG;
}

// An entity's SM_CONFIG_CO: refused, failure of `source`; else the next
// request (`send`, none for the last), or a failure when it cannot go.
void entity_configured(u8 source, const char* step, u8 (*send)(), u8 next) {
  u8 result = 0, error = 0;
  if (!confirm_of(SM_CONFIG_CO, result, error)) return;
  if (result != FOIP__RC_OK) return fail(source, error, step);
  if (!send) return answer_config(FOIP__RC_OK, FOIP__CFG_SRC_OK, 2, nullptr);
  if (send() != FOIP__RC_OK) return fail(FOIP__CFG_ERR_SRC__FOIP_CHK_PARAM, FOIP__CFG_ERR__MSG_BUFF_RESOURCE, step);
  g_sip.phase = next;
}
void ssc_configured(foip__na_ctx*) {
  entity_configured(FOIP__CFG_ERR_SRC__SIP_CONFIG, "SIP_SC SM_SET_CONFIG_CO", send_sip_config_rq,
                    SIP_MGT__WAIT_SIP_CONFIG);
}
void sip_configured(foip__na_ctx*) {
  entity_configured(FOIP__CFG_ERR_SRC__SIP_CONFIG, "SIP SM_SET_CONFIG_CO", send_sock_config_rq,
                    SIP_MGT__WAIT_IP_CONFIG);
}
void ip_configured(foip__na_ctx*) {
  entity_configured(FOIP__CFG_ERR_SRC__SOCKET_CONFIG, "Socket SM_SET_CONFIG_CO", nullptr, SIP_MGT__RUNNING);
}

// The end of the SIP side's reset: resources back, the FOIP reset goes on.
void reset_done() {
  sip_mgt__release();
  foip_cnf__close();
}

// Reset phases 6 to 8: each SM_RST_CFG_CO, whatever its result, sends the
// next reset request; the last one, or one that cannot go, ends the reset.
void entity_reset(u8 (*send)(), u8 next) {
  const msg_t* m = foip__current_msg();
  if (!m || m->code != SM_RST_CFG_CO) return;
  if (send && send() == FOIP__RC_OK) g_sip.phase = next;
  else reset_done();
}
void ip_reset(foip__na_ctx*) { entity_reset(send_sip_reset_config_rq, SIP_MGT__WAIT_SIP_RESET); }
void sip_reset(foip__na_ctx*) { entity_reset(send_ssc_reset_config_rq, SIP_MGT__WAIT_SSC_RESET); }
void ssc_reset(foip__na_ctx*) { entity_reset(nullptr, SIP_MGT__NOT_CONFIGURED); }

void answer_register(code_t code, u8 rc, u8 source, u8 err) {
  msg_t* m = foip__take_current_msg();
  if (!m) return;
  foip__send_confirm(m, code, rc, source, err, m->nai, m->conn_id);
}

// Primitives of ENT_SSC on a call id and the call-automaton event each
// raises.
struct call_route_row {
  code_t code;
  u8 event;
  const char* line;
};
constexpr call_route_row CALL_ROUTES[] = {
    {SSC_SET_PARM_CO, EVT_SSC_SET_PARAM_SESSION_CO, nullptr},
    {SSC_ERROR_IN, EVT_SSC_ERROR_IN, nullptr},
    {CALL_CLOSED_IN, EVT_SSC_CALL_CLOSED_IN, "\n(nai %d, conn_id %3d) SSC Evt: Receive SSC_CALL_CLOSED_IN"},
    {SSC_INVITE_CO, EVT_SSC_INVITE_CO, nullptr},
    {CLOSE_SESS_CO, EVT_SSC_CLOSE_SESSION_CO, "\n(nai %d, conn_id %3d) SSC Evt: Receive SSC_CLOSE_SESSION_CO"},
    {SSC_INVITE_IN, EVT_SSC_INVITE_IN, nullptr},
    {SSC_ACK_IN, EVT_SSC_ACK_IN, "\n(nai %d, conn_id %3d) SSC Evt: Receive SSC_ACK_IN"},
    {SSC_OPTIONS_IN, EVT_SSC_OPTIONS_IN, "\n(nai %d, conn_id %3d) SSC Evt: Receive SSC_OPTIONS_IN"},
    {SESS_CLOSED_IN, EVT_SSC_SESSION_CLOSED_IN, "\n(nai %d, conn_id %3d) SSC Evt: Receive SSC_SESSION_CLOSED_IN"},
};

void print_line(const char* fmt, u16 conn_id) {
  char line[198];
  (void)std::snprintf(line, sizeof line, fmt, g_sip.glb_sip_param.sig_nai, conn_id);
  foip_trc__print_event(g_sip.glb_sip_param.sig_nai, FOIP__SIP_EVT_1, line);
}

// A new request on a connection id that no call record serves: the caller
// is answered at once instead of waiting for a time-out.
void answer_without_call(u8 event, u16 conn_id) {
  const nai_t nai = g_sip.glb_sip_param.sig_nai;
  if (event == EVT_SSC_OPTIONS_IN) (void)send_ssc_options_rs_OK(g_sip.build_handle, nai, conn_id);
  else (void)send_ssc_close_session_rq(g_sip.build_handle, nai, conn_id, 503, "Service Unavailable");
}

void print_reg(const char* fmt, int a, int b) {
  char line[198];
  (void)std::snprintf(line, sizeof line, fmt, a, b);
  foip_trc__print_event(g_sip.glb_sip_param.sig_nai, FOIP__SIP_EVT_1, line);
}

}  // namespace

ssc_mgt__route ssc_mgt__route_ssc(code_t code, u16 conn_id) {
  ssc_mgt__route r;
  if (conn_id >= FOIP__SIP_CALL_CONN_BASE && conn_id < FOIP__SIP_CALL_CONN_BASE + FOIP__MAX_SIP_CALL) {
    for (const call_route_row& row : CALL_ROUTES) {
      if (row.code != code) continue;
      r.target = SSC_MGT__TO_CALL;
      r.index = static_cast<u16>(conn_id - FOIP__SIP_CALL_CONN_BASE);
      r.event = row.event;
      r.line = row.line;
    }
  } else if (code == SSC_INVITE_IN || code == SSC_OPTIONS_IN) {
    for (const call_route_row& row : CALL_ROUTES) {
      if (row.code != code) continue;
      r.target = SSC_MGT__TO_NO_CALL;
      r.event = row.event;
      r.line = row.line;
    }
  } else if (conn_id < FOIP__MAX_SIP_REGISTER) {
    if (code == CALL_CLOSED_IN || code == SSC_REGISTER_CO) {
      r.target = SSC_MGT__TO_REGISTER;
      r.index = conn_id;
      r.event = code == CALL_CLOSED_IN ? SIP_REGISTER__EVT_SSC_CALL_CLOSED_IN : SIP_REGISTER__EVT_SSC_REGISTER_CO;
    }
  }
  return r;
}

namespace {

// The registration automaton: its steps on SSC_REGISTER_CO and
// SSC_CALL_CLOSED_IN.  REGISTER_RQ and UNREGISTER_RQ take a record out of
// its state in ssc_mgt__automaton.

// Decodes the SSC_REGISTER_CO into the receive handle: its status, or null
// (trapped) when it cannot be read or carries none.
const ssc_hdr_status* read_register_co(const sip_register__ctx* r, bool unregister) {
  msg_t* m = foip__current_msg();
  const bool decoded = m && g_sip.rx_handle && Ssc_unformat_msg(g_sip.rx_handle, m) == 2;
  const auto* st = decoded ? Ssc_first<ssc_hdr_status>(g_sip.rx_handle, ssc_header_id::RETURN_CODE) : nullptr;
  if (!decoded) {
    Foip__trap(g_sip.glb_sip_param.sig_nai, r->conn_id, FOIP__TRAP_CLASS, FOIP__TRAP__SIP_SC_UNFORMAT_MSG,
               "FOIP__TRAP__SIP_SC_UNFORMAT_MSG",
               unregister ? "FOIP: (process_ssc_register_co__unregister) Ssc_unformat_msg returns NOK"
                          : "FOIP: (process_ssc_register_co) Ssc_unformat_msg returns NOK");
  } else if (!st) {
    Foip__trap(g_sip.glb_sip_param.sig_nai, r->conn_id, FOIP__TRAP_CLASS, FOIP__TRAP__SSC_REGISTER_CO_NO_RET_CODE,
               "FOIP__TRAP__SSC_REGISTER_CO_NO_RET_CODE",
               unregister ? "FOIP: (process_ssc_register_co__unregister) SSC_REGISTER_CO without return code"
                          : "FOIP: (process_ssc_register_co) SSC_REGISTER_CO without return code");
  }
  return st;
}

bool is_2xx(u16 code) { return code >= 200 && code < 300; }

void process_ssc_register_co(sip_register__ctx* r) {
  const ssc_hdr_status* st = read_register_co(r, false);
  const u16 code = st ? st->code : 0;
  r->last_status = code;
  char line[198];
  (void)std::snprintf(line, sizeof line,
                      "\n(nai %d, conn_id %3d)      SSC Evt (Register): Receive SSC_REGISTER_CO (%d)",
                      g_sip.glb_sip_param.sig_nai, r->conn_id, code);
  foip_trc__print_event(g_sip.glb_sip_param.sig_nai, FOIP__SIP_EVT_1, line);
  if (st && is_2xx(code) && r->held_register) {
    msg_t* held = r->held_register;
    r->held_register = nullptr;
    foip__send_confirm(held, FOIP__SIP_REGISTER_CO, FOIP__RC_OK, 2, 2, r->user_nai, r->conn_id);
    print_reg("\n(User nai %d, conn_id %3d) SSC Evt (Register): Send FOIP__SIP_REGISTER_CO (OK)", r->user_nai,
              r->conn_id);
  }
  r->state = st ? SIP_REGISTER__REGISTERED : SIP_REGISTER__UNREGISTER_ANSWERED;
}

void process_ssc_register_co__unregister(sip_register__ctx* r) {
  const ssc_hdr_status* st = read_register_co(r, true);
  const u16 code = st ? st->code : 0;
  char line[198];
  (void)std::snprintf(line, sizeof line,
                      "\n(nai %d, conn_id %3d)      SSC Evt (Register): Receive SSC_REGISTER_CO (%d) %s",
                      g_sip.glb_sip_param.sig_nai, r->conn_id, code, is_2xx(code) ? " " : "Rem: ignore SIP error");
  foip_trc__print_event(g_sip.glb_sip_param.sig_nai, FOIP__SIP_EVT_1, line);
}

// An answer that no request waits for is read (and trapped when bad) only.
void ignore_register_co(sip_register__ctx* r) { (void)read_register_co(r, false); }

void process_ssc_call_closed_in(sip_register__ctx* r) {
  print_reg("\n(nai %d, conn_id %3d)      SSC Evt (Register): Receive SSC_CALL_CLOSED_IN", g_sip.glb_sip_param.sig_nai,
            r->conn_id);
}

void nothing(sip_register__ctx*) {}

namespace fsm = kv::fsm;

enum class reg : u8 {
  FREE = SIP_REGISTER__FREE,
  SENT = SIP_REGISTER__SENT,
  REGISTERED = SIP_REGISTER__REGISTERED,
  UNREGISTER_SENT = SIP_REGISTER__UNREGISTER_SENT,
  UNREGISTER_ANSWERED = SIP_REGISTER__UNREGISTER_ANSWERED,
  count_
};
enum class reg_ev : u8 {
  EVT_REGISTER_RQ = SIP_REGISTER__EVT_REGISTER_RQ,
  EVT_UNREGISTER_RQ = SIP_REGISTER__EVT_UNREGISTER_RQ,
  EVT_SSC_REGISTER_CO = SIP_REGISTER__EVT_SSC_REGISTER_CO,
  EVT_SSC_CALL_CLOSED_IN = SIP_REGISTER__EVT_SSC_CALL_CLOSED_IN,
  count_
};
using reg_act = void (*)(sip_register__ctx*);

constexpr fsm::row<reg, reg_ev, reg_act> kRegisterRows[] = {
    {reg::FREE, reg_ev::EVT_SSC_REGISTER_CO, ignore_register_co, fsm::keep},
    {reg::SENT, reg_ev::EVT_SSC_REGISTER_CO, process_ssc_register_co, fsm::by_action},
    {reg::REGISTERED, reg_ev::EVT_SSC_REGISTER_CO, ignore_register_co, fsm::keep},
    {reg::UNREGISTER_SENT, reg_ev::EVT_SSC_REGISTER_CO, process_ssc_register_co__unregister, reg::UNREGISTER_ANSWERED},
    {reg::UNREGISTER_ANSWERED, reg_ev::EVT_SSC_REGISTER_CO, ignore_register_co, fsm::keep},
    {reg::FREE, reg_ev::EVT_SSC_CALL_CLOSED_IN, process_ssc_call_closed_in, reg::FREE},
    {reg::SENT, reg_ev::EVT_SSC_CALL_CLOSED_IN, process_ssc_call_closed_in, reg::FREE},
    {reg::REGISTERED, reg_ev::EVT_SSC_CALL_CLOSED_IN, process_ssc_call_closed_in, reg::FREE},
    {reg::UNREGISTER_SENT, reg_ev::EVT_SSC_CALL_CLOSED_IN, process_ssc_call_closed_in, reg::FREE},
    {reg::UNREGISTER_ANSWERED, reg_ev::EVT_SSC_CALL_CLOSED_IN, process_ssc_call_closed_in, reg::FREE},
};
constexpr auto kRegisterTable = fsm::compile(kRegisterRows, fsm::cell<reg_act>{nothing, fsm::kKeep});
constexpr auto kRegisterPlain = fsm::plain(kRegisterRows);
constexpr u8 kRegisterTargets[] = {SIP_REGISTER__REGISTERED, SIP_REGISTER__UNREGISTER_ANSWERED};
// REGISTER_RQ and UNREGISTER_RQ.
constexpr u8 kRegisterEntries[] = {SIP_REGISTER__SENT, SIP_REGISTER__UNREGISTER_SENT};

}  // namespace

kv::fsm::machine_view sip_register__machine() {
  return {"registration", fsm::count_of<reg>, fsm::count_of<reg_ev>, SIP_REGISTER__FREE,
          kRegisterPlain, kRegisterTargets,   kRegisterEntries};
}

void sip_register__automaton(u8 event, sip_register__ctx* r) {
  if (r == nullptr) return;
  if (event != SIP_REGISTER__EVT_SSC_REGISTER_CO && event != SIP_REGISTER__EVT_SSC_CALL_CLOSED_IN) return;
  const auto* cell = kRegisterTable.find(r->state, event);
  if (!cell) return;
  const u8 before = r->state;
  cell->action(r);
  r->state = fsm::next_of(*cell, r->state);
  if (r->state != SIP_REGISTER__FREE || before == SIP_REGISTER__FREE) return;
  // The record is free again: the user learns the end of what it asked for.
  if (msg_t* held = r->held_register) {
    r->held_register = nullptr;
    const u8 source = static_cast<u8>(r->last_status / 100), code = static_cast<u8>(r->last_status % 100);
    char line[198];
    (void)std::snprintf(
        line, sizeof line,
        "\n(User nai %d)              SSC Evt (Register): Send FOIP__SIP_REGISTER_CO (NOK, Err Src: %d  Code: %d)",
        r->user_nai, source, code);
    foip_trc__print_event(g_sip.glb_sip_param.sig_nai, FOIP__SIP_EVT_1, line);
    foip__send_confirm(held, FOIP__SIP_REGISTER_CO, 3, source, code, r->user_nai, r->conn_id);
  }
  if (msg_t* held = r->held_unregister) {
    r->held_unregister = nullptr;
    print_reg("\n(User nai %d, conn_id %3d) SSC Evt (Register): Send FOIP__SIP_UNREGISTER_CO (OK)", r->user_nai,
              r->conn_id);
    foip__send_confirm(held, FOIP__SIP_UNREGISTER_CO, 2, 2, 2, r->user_nai, r->conn_id);
  }
  r->user_nai = 0xFFFF;
  r->last_status = 0;
}

sip_mgt__glb_ctx& sip_mgt__glb() { return g_sip; }

void sip_mgt__glb_init() {
  for (u16 i = 0; i <= FOIP__MAX_SIP_CALL; ++i) sip_call__reset(foip_call__record(i));
  free_resources();
  for (sip_register__ctx& r : g_sip.reg) {
    Free_msg(r.held_register);
    Free_msg(r.held_unregister);
  }
  Free_msg(g_sip.held_config);
  g_sip = sip_mgt__glb_ctx{};
}

namespace {
// Detail blocks of the message audit for the SIP side's reports.
void audit_sm_report_in(const u8* d, u32 n, u16 nai, u16 conn_id, char* out, u32 size) {
  (void)format_sm_report_in(out, size, d, n, "  ", nai, conn_id);
}
void audit_ssc_error_in(const u8* d, u32 n, u16 nai, u16 conn_id, char* out, u32 size) {
  (void)format_ssc_error_in(out, size, d, n, nai, conn_id);
}
}  // namespace

u8 sip_mgt__set_config(const foip__global_param& p) {
  foip_trc__set_report_writers(audit_sm_report_in, audit_ssc_error_in);
  sip_mgt__release();
  g_sip.glb_sip_param = p.glb_sip_param;
  sip_mgt__validate_sip_param(g_sip.glb_sip_param);
  const nai_t nai = g_sip.glb_sip_param.sig_nai;
  for (u16 i = 0; i < FOIP__MAX_SIP_REGISTER; ++i) g_sip.reg[i] = sip_register__ctx{.conn_id = i};
  for (u16 i = 0; i < FOIP__MAX_SIP_CALL; ++i) {
    sip_call__slot& c = g_sip.call[i];
    c.conn_id = static_cast<u16>(FOIP__SIP_CALL_CONN_BASE + i);
    c.timer = Timer_alloc(ENT_FOIP, nai, 0xFF, c.conn_id);
    if (!c.timer) {
      free_resources();
      return FOIP__CFG_ERR__TIMER_RESOURCE;
    }
  }
  g_sip.build_handle = Ssc_alloc_handle();
  g_sip.rx_handle = g_sip.build_handle ? Ssc_alloc_handle() : nullptr;
  if (!g_sip.build_handle || !g_sip.rx_handle) {
    free_resources();
    return FOIP__CFG_ERR__ALLOC_MEM_SSC_ALLOC_HANDLE;
  }
  foip_call__glb_init();
  msg_t* rq = foip__make_t38_capabilities_rq();
  if (!rq) {
    free_resources();
    return FOIP__CFG_ERR__MSG_BUFF_RESOURCE;
  }
  Send_msg(rq);
  g_sip.phase = SIP_MGT__WAIT_T38_CAP;
  g_sip.held_config = foip__take_current_msg();
  return 2;
}

void sip_mgt__release() {
  for (u16 i = 0; i <= FOIP__MAX_SIP_CALL; ++i) sip_call__reset(foip_call__record(i));
  free_resources();
  for (sip_register__ctx& r : g_sip.reg) {
    Free_msg(r.held_register);
    Free_msg(r.held_unregister);
    r.held_register = r.held_unregister = nullptr;
    r.state = SIP_REGISTER__FREE;
    r.user_nai = 0xFFFF;
    r.last_status = 0;
  }
  g_sip.phase = SIP_MGT__NOT_CONFIGURED;
}

u8 send_ssc_config_rq() {
  if (send_trigger(ENT_SSC) != 2) return 3;
  return send_config(SM_TARGET_SSC, foip_sip__ssc_config_body(g_sip.glb_sip_param));
}

u8 send_sip_config_rq() {
  if (send_trigger(ENT_SIP) != 2) return 3;
  const auto body = foip_sip__sip_config_body(g_sip.glb_sip_param.sig_nai);
  return send_config(SM_TARGET_SIP, std::vector<u8>(body.begin(), body.end()));
}

u8 send_sock_config_rq() { return send_config(SM_TARGET_IP, foip_sip__sock_config_body(g_sip.glb_sip_param)); }

namespace {

u8 reset_rq(ent_id_t target, const char* who) {
  const nai_t nai = g_sip.glb_sip_param.sig_nai;
  u8 r;
  if (target == ENT_IP) {
    u8 body[SOCK_KEY_BODY_SIZE];
    sock_key_body_pack(1, nai, 0, body);
    body[0] = ENT_IP;
    r = send_sm(SM_RST_CFG_RQ, nai, 1, 0, body, sizeof body, ENT_IP);
  } else {
    const u8 body[3] = {target, 0, 0};
    r = send_sm(SM_RST_CFG_RQ, nai, 0xFF, 0xFFFF, body, sizeof body, target);
  }
  if (r != 2) {
    char text[96];
    (void)std::snprintf(text, sizeof text, "FOIP: (%s) Can't allocate Msg/buffer", who);
    Foip__trap(nai, FOIP__CONN_NONE, FOIP__TRAP_CLASS, FOIP__TRAP__ERR_ALLOC_MSG_BUFFER,
               "FOIP__TRAP__ERR_ALLOC_MSG_BUFFER", text);
  }
  return r;
}

}  // namespace

u8 send_ssc_reset_config_rq() { return reset_rq(ENT_SSC, "send_ssc_reset_config_rq"); }
u8 send_sip_reset_config_rq() { return reset_rq(ENT_SIP, "send_sip_reset_config_rq"); }
u8 send_ip_reset_config_rq() { return reset_rq(ENT_IP, "send_ip_reset_config_rq"); }

namespace {

// A registration request while running (registration event 1).
void register_rq() {
  msg_t* m = foip__current_msg();
  if (!m) return;
  const nai_t user = m->nai;
  print_reg("\n(User nai %d)              SSC Evt (Register): Receive FOIP__SIP_REGISTER_RQ", user, 0);
  auto refuse = [&](u8 code) {
    char line[198];
    (void)std::snprintf(
        line, sizeof line,
        "\n(User nai %d)              SSC Evt (Register): Send FOIP__SIP_REGISTER_CO (NOK, Err Src: %d  Code: %d)",
        user, FOIP__REGISTER_ERR_SRC__FOIP_CHK_PARAM, code);
    foip_trc__print_event(g_sip.glb_sip_param.sig_nai, FOIP__SIP_EVT_1, line);
    answer_register(FOIP__SIP_REGISTER_CO, 3, FOIP__REGISTER_ERR_SRC__FOIP_CHK_PARAM, code);
  };
  sip_register__ctx* r = nullptr;
  for (sip_register__ctx& x : g_sip.reg)
    if (x.state == SIP_REGISTER__FREE && !x.held_register && !x.held_unregister) {
      r = &x;
      break;
    }
  if (!r) return refuse(FOIP__REGISTER_ERR__NO_MORE_RESOURCE);
  auto rec = std::make_unique<foip__sip_register>();
  if (foip_api__read_record(m, FOIP__SIP_REGISTER_RQ, rec.get()) != FOIP_API__OK)
    return refuse(FOIP__REGISTER_ERR__NO_MORE_RESOURCE);
  foip__sip_register_param& p = rec->reg;
  const foip__glb_sip_param& g = g_sip.glb_sip_param;
  const bool proxy = g.outbound_proxy.sz_fqdn[0] != '\0' || g.outbound_proxy.ip_addr.ip_family == OM_IP_FAMILY_V4;
  const bool registrar = g.registrar_addr.sz_fqdn[0] != '\0' || g.registrar_addr.ip_addr.ip_family == OM_IP_FAMILY_V4;
  if (!proxy && !registrar) return refuse(FOIP__REGISTER_ERR__NO_REGISTRAR_NO_OUTPROXY);
  p.sz_user_name[sizeof p.sz_user_name - 1] = '\0';
  p.sz_user_phone_number[sizeof p.sz_user_phone_number - 1] = '\0';
  if (p.user_identification != FOIP__USR_ID__NAME) {
    char number[FOIP__PHONE_NB_MAX_LEN + 1];
    if (foip__chk_phone_number(number, p.sz_user_phone_number, sizeof number) == 3)
      return refuse(FOIP__REGISTER_ERR__USER_PHONE_NUMBER_TOO_LONG);
  }
  if (p.registered_addr.ip_addr.ip_family != OM_IP_FAMILY_V4) p.registered_addr.ip_addr.ip_family = OM_IP_FAMILY_NONE;
  p.registered_addr.sz_fqdn[sizeof p.registered_addr.sz_fqdn - 1] = '\0';
  p.registering.addr.sz_fqdn[sizeof p.registering.addr.sz_fqdn - 1] = '\0';
  foip__dsp_sip_register_param(p);
  r->user_nai = user;
  (void)send_ssc_register_rq(&p, p.expires_sec, r->conn_id);
  r->held_register = foip__take_current_msg();
  r->state = SIP_REGISTER__SENT;
}

}  // namespace

namespace {

// Only configured entities are reset; otherwise the FOIP reset goes on at
// once (a configuration under way is answered as failed).
void reset_at_once(foip__na_ctx*) {
  if (g_sip.held_config) fail(FOIP__CFG_ERR_SRC__FOIP_CHK_PARAM, FOIP__CFG_ERR__MSG_BUFF_RESOURCE, "reset");
  reset_done();
}
void start_reset(foip__na_ctx* s) {
  if (send_ip_reset_config_rq() == FOIP__RC_OK) g_sip.phase = SIP_MGT__WAIT_IP_RESET;
  else reset_at_once(s);
}

// The running phase.

void take_register_rq(foip__na_ctx*) { register_rq(); }

void take_unregister_rq(foip__na_ctx*) {
  msg_t* m = foip__current_msg();
  if (!m) return;
  const u16 id = m->conn_id;
  print_reg("\n(User nai %d, conn_id %3d) SSC Evt (Register): Receive FOIP__SIP_UNREGISTER_RQ", m->nai, id);
  // A record that holds no registration, or whose un-registration is
  // already under way, is answered at once; a held request is never
  // replaced.
  if (id >= FOIP__MAX_SIP_REGISTER || g_sip.reg[id].state != SIP_REGISTER__REGISTERED ||
      g_sip.reg[id].held_unregister != nullptr) {
    print_reg("\n(User nai %d, conn_id %3d) SSC Evt (Register): Send FOIP__SIP_UNREGISTER_CO (OK, CONN_ID_NOT_FOUND)",
              m->nai, id);
    return answer_register(FOIP__SIP_UNREGISTER_CO, FOIP__RC_OK, 2, FOIP__REGISTER_ERR__CONN_ID_NOT_FOUND);
  }
  sip_register__ctx& r = g_sip.reg[id];
  (void)send_ssc_register_rq(nullptr, 0, r.conn_id);
  r.held_unregister = foip__take_current_msg();
  r.state = SIP_REGISTER__UNREGISTER_SENT;
}

void route_ssc(foip__na_ctx*) {
  msg_t* m = foip__current_msg();
  if (!m) return;
  const ssc_mgt__route r = ssc_mgt__route_ssc(m->code, m->conn_id);
  if (r.line) print_line(r.line, m->conn_id);
  if (r.target == SSC_MGT__TO_REGISTER) sip_register__automaton(r.event, &g_sip.reg[r.index]);
  if (r.target == SSC_MGT__TO_CALL) foip_call__automaton(r.event, nullptr, &foip_call__record(r.index));
  if (r.target == SSC_MGT__TO_NO_CALL) answer_without_call(r.event, m->conn_id);
}

bool is_call_conn(u16 id) {
  return id >= FOIP__SIP_CALL_CONN_BASE && id < FOIP__SIP_CALL_CONN_BASE + FOIP__MAX_SIP_CALL;
}
sip_call__ctx& call_of(u16 id) { return foip_call__record(static_cast<u16>(id - FOIP__SIP_CALL_CONN_BASE)); }

void sm_report_in(foip__na_ctx*) {
  msg_t* m = foip__current_msg();
  if (!m || m->code != SM_REPORT_IN) return;
  const u16 id = m->conn_id;
  foip_call__automaton(EVT_SM_REPORT_IN, nullptr,
                       is_call_conn(id) ? &call_of(id) : &foip_call__record(FOIP_CALL__SPARE));
}

void open_call(foip__na_ctx* s) { foip_call__automaton(EVT_OPEN_OUTGOING_CALL, s, nullptr); }

void close_call(foip__na_ctx* s) {
  auto* c = s ? static_cast<sip_call__ctx*>(s->sip_call) : nullptr;
  if (!c) {
    Foip__trap(g_sip.glb_sip_param.sig_nai, FOIP__CONN_NONE, FOIP__TRAP_CLASS, FOIP__TRAP__CROSSED_SSC_T38_CTX_NOT_SET,
               "FOIP__TRAP__CROSSED_SSC_T38_CTX_NOT_SET",
               "FOIP: (ssc_mgt__automaton) No Ctx link media ctx -> Sip_sc ctx");
    return;
  }
  foip_call__automaton(EVT_USR_STOP, s, c);
}

void wait_t38_cap_expired(foip__na_ctx*) {
  msg_t* m = foip__current_msg();
  if (!m) return;
  const u16 id = m->conn_id;
  if (!is_call_conn(id)) {
    Foip__trap(g_sip.glb_sip_param.sig_nai, id, FOIP__TRAP_CLASS, FOIP__TRAP__UNKNOWN_CONN_ID,
               "FOIP__TRAP__UNKNOWN_CONN_ID", "FOIP: (ssc_mgt__automaton) Unknown conn_id into TIMER primitive");
    return;
  }
  sip_call__ctx& c = call_of(id);
  // An expiry of an earlier start (stopped or restarted since) is stale.
  if (!foip_call__timer_current(c, Timer_expiry_id(m))) return;
  c.timer_armed = 0;
  foip_call__automaton(EVT_TI_WAIT_T38_CAP, nullptr, &c);
}

void alert_rs(foip__na_ctx*) {
  const msg_t* m = foip__current_msg();
  if (m && is_call_conn(m->conn_id)) foip_call__automaton(EVT_FOIP__ALERT_RS, nullptr, &call_of(m->conn_id));
}

void nothing(foip__na_ctx*) {}

enum class phase : u8 {
  NOT_CONFIGURED = SIP_MGT__NOT_CONFIGURED,
  WAIT_T38_CAP = SIP_MGT__WAIT_T38_CAP,
  WAIT_SSC_CONFIG = SIP_MGT__WAIT_SSC_CONFIG,
  WAIT_SIP_CONFIG = SIP_MGT__WAIT_SIP_CONFIG,
  WAIT_IP_CONFIG = SIP_MGT__WAIT_IP_CONFIG,
  RUNNING = SIP_MGT__RUNNING,
  WAIT_IP_RESET = SIP_MGT__WAIT_IP_RESET,
  WAIT_SIP_RESET = SIP_MGT__WAIT_SIP_RESET,
  WAIT_SSC_RESET = SIP_MGT__WAIT_SSC_RESET,
  count_
};
enum class ssc_ev : u8 {
  T38_CAPABILITIES_CO = SSC_MGT__EVT_T38_CAPABILITIES_CO,
  SM = SSC_MGT__EVT_SM,
  SSC = SSC_MGT__EVT_SSC,
  OPEN_CALL = SSC_MGT__EVT_OPEN_CALL,
  CLOSE_CALL = SSC_MGT__EVT_CLOSE_CALL,
  WAIT_T38_CAP = SSC_MGT__EVT_WAIT_T38_CAP,
  ALERT_RS = SSC_MGT__EVT_ALERT_RS,
  RESET = SSC_MGT__EVT_RESET,
  REGISTER_RQ = SSC_MGT__EVT_REGISTER_RQ,
  UNREGISTER_RQ = SSC_MGT__EVT_UNREGISTER_RQ,
  count_
};
using phase_act = void (*)(foip__na_ctx*);

// Cells not listed: ignored.
constexpr fsm::row<phase, ssc_ev, phase_act> kPhaseRows[] = {
    // Configuration.
    {phase::WAIT_T38_CAP, ssc_ev::T38_CAPABILITIES_CO, take_t38_capabilities, fsm::by_action},
    {phase::WAIT_SSC_CONFIG, ssc_ev::SM, ssc_configured, fsm::by_action},
    {phase::WAIT_SIP_CONFIG, ssc_ev::SM, sip_configured, fsm::by_action},
    {phase::WAIT_IP_CONFIG, ssc_ev::SM, ip_configured, fsm::by_action},
    {phase::NOT_CONFIGURED, ssc_ev::RESET, reset_at_once, fsm::by_action},
    {phase::WAIT_T38_CAP, ssc_ev::RESET, reset_at_once, fsm::by_action},
    {phase::WAIT_SSC_CONFIG, ssc_ev::RESET, reset_at_once, fsm::by_action},
    {phase::WAIT_SIP_CONFIG, ssc_ev::RESET, reset_at_once, fsm::by_action},
    {phase::WAIT_IP_CONFIG, ssc_ev::RESET, reset_at_once, fsm::by_action},
    // Running.
    {phase::RUNNING, ssc_ev::SM, sm_report_in, fsm::keep},
    {phase::RUNNING, ssc_ev::SSC, route_ssc, fsm::keep},
    {phase::RUNNING, ssc_ev::OPEN_CALL, open_call, fsm::keep},
    {phase::RUNNING, ssc_ev::CLOSE_CALL, close_call, fsm::keep},
    {phase::RUNNING, ssc_ev::WAIT_T38_CAP, wait_t38_cap_expired, fsm::keep},
    {phase::RUNNING, ssc_ev::ALERT_RS, alert_rs, fsm::keep},
    {phase::RUNNING, ssc_ev::REGISTER_RQ, take_register_rq, fsm::keep},
    {phase::RUNNING, ssc_ev::UNREGISTER_RQ, take_unregister_rq, fsm::keep},
    {phase::RUNNING, ssc_ev::RESET, start_reset, fsm::by_action},
    // Reset.
    {phase::WAIT_IP_RESET, ssc_ev::SM, ip_reset, fsm::by_action},
    {phase::WAIT_SIP_RESET, ssc_ev::SM, sip_reset, fsm::by_action},
    {phase::WAIT_SSC_RESET, ssc_ev::SM, ssc_reset, fsm::by_action},
};
constexpr auto kPhaseTable = fsm::compile(kPhaseRows, fsm::cell<phase_act>{nothing, fsm::kKeep});
constexpr auto kPhasePlain = fsm::plain(kPhaseRows);
constexpr u8 kPhaseTargets[] = {SIP_MGT__NOT_CONFIGURED, SIP_MGT__WAIT_SSC_CONFIG, SIP_MGT__WAIT_SIP_CONFIG,
                                SIP_MGT__WAIT_IP_CONFIG, SIP_MGT__RUNNING,         SIP_MGT__WAIT_IP_RESET,
                                SIP_MGT__WAIT_SIP_RESET, SIP_MGT__WAIT_SSC_RESET};
// The configuration starts in WAIT_T38_CAP (sip_mgt__set_config).
constexpr u8 kPhaseEntries[] = {SIP_MGT__WAIT_T38_CAP};

}  // namespace

kv::fsm::machine_view ssc_mgt__machine() {
  return {"SSC management", fsm::count_of<phase>, fsm::count_of<ssc_ev>, SIP_MGT__NOT_CONFIGURED,
          kPhasePlain,      kPhaseTargets,        kPhaseEntries};
}

void ssc_mgt__automaton(foip__na_ctx* s, u8 event) {
  // Before the configuration ends (and once the reset began) a registration
  // request is refused at once.
  if (g_sip.phase != SIP_MGT__RUNNING) {
    if (event == SSC_MGT__EVT_REGISTER_RQ)
      return answer_register(FOIP__SIP_REGISTER_CO, FOIP__RC_NOK, FOIP__REGISTER_ERR_SRC__FOIP_CHK_PARAM,
                             FOIP__REGISTER_ERR__GLB_CNF_NOT_SET);
    if (event == SSC_MGT__EVT_UNREGISTER_RQ)
      return answer_register(FOIP__SIP_UNREGISTER_CO, FOIP__RC_NOK, FOIP__REGISTER_ERR_SRC__FOIP_CHK_PARAM,
                             FOIP__REGISTER_ERR__GLB_CNF_NOT_SET);
  }
  if (const auto* cell = kPhaseTable.find(g_sip.phase, event)) {
    cell->action(s);
    g_sip.phase = fsm::next_of(*cell, g_sip.phase);
  }
}

void foip_sip__plug(foip__layer_hooks& h) {
  h.ssc_mgt__automaton = ssc_mgt__automaton;
  h.sip_set_config = sip_mgt__set_config;
  h.sip_release_call = foip_call__release_session;
}
