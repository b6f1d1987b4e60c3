// The system-management entity ENT_SM: start-up configuration, relay of
// management requests and their confirms, congestion broadcasts, triggers.
#include "runtime/sm.h"

#include <cstring>
#include <vector>

#include "common/byte_order.h"
#include "runtime/mem.h"
#include "runtime/om_os.h"

namespace {

struct pending_rq {
  code_t awaited;
  ent_id_t target;
  ent_id_t requester;
  nai_t nai;  // 0xFFFF: any
};

struct trigger {
  ent_id_t subscriber;
  code_t code;      // 0: any
  ent_id_t source;  // 0 or ENT_NIL: any
  nai_t nai;        // 0xFFFF: any
  u8 sapi;          // 0xFF: any
  u16 conn_id;      // 0xFFFF: any
  u8 report_kind;   // 0: any; compared for SM_REPORT_IN only
};

struct sm_state {
  u8 phase = SM_PHASE_IDLE;
  u8 result = OM_OS_OK;
  u8 unconfirmed = 0;
  ent_id_t awaited = ENT_NIL;
  u32 position = 0;
  ent_id_t requester = ENT_NIL;
  std::vector<pending_rq> pending;
  std::vector<trigger> triggers;
};
sm_state s;

const sm_startup_row_t* startup_rows = nullptr;
u32 startup_count = 0;
sm_startup_config_hook_t startup_config_hook = nullptr;
sm_ready_hook_t ready_hook = nullptr;

bool registered(ent_id_t id) { return om_os_entity_task(id) != OM_OS_NO_TASK; }

// Byte idx of the message data (chain or inline), the data being extended
// with zeros when shorter; null when the room does not reach it.
u8* data_byte(msg_t* m, u32 idx) {
  if (m->p_buffer) {
    buffer_t* b = m->p_buffer;
    u32 start = b->data_offset - BUFFER_HEADER_SIZE;
    if (start + idx >= om_os_get_buffer_room()) return nullptr;
    if (b->data_size <= idx) {
      std::memset(Buffer_data(b) + b->data_size, 0, idx + 1 - b->data_size);
      m->chain_size = static_cast<u16>(m->chain_size + (idx + 1 - b->data_size));
      b->data_size = static_cast<u16>(idx + 1);
    }
    return Buffer_data(b) + idx;
  }
  u32 start = m->data_offset - MSG_HEADER_SIZE;
  if (start + idx >= om_os_get_msg_room()) return nullptr;
  if (m->data_size <= idx) {
    std::memset(Msg_inline_data(m) + m->data_size, 0, idx + 1 - m->data_size);
    m->data_size = static_cast<u8>(idx + 1);
  }
  return Msg_inline_data(m) + idx;
}

void call_ready_hook(bool* ok) {
  u8 r = ready_hook ? ready_hook() : OM_OS_OK;
  *ok = r == OM_OS_OK;
  if (!*ok) om_os_trap(SM_TRAP_READY_REFUSED);
}

// Sends one start-up configuration; 0 or the trap code of the failure.
u16 send_startup_config(const sm_startup_row_t& row) {
  const u32 room = om_os_get_buffer_room();
  buffer_t* chain = nullptr;
  if (row.length > room) {
    if (!om_os_entity_long_config(row.entity)) return SM_TRAP_STARTUP_SEND;
    u8* tmp = Alloc_tmp_block(row.length);
    if (!tmp) return SM_TRAP_NO_TMP_BLOCK;
    std::memcpy(tmp, row.data, row.length);
    if (startup_config_hook) startup_config_hook(row.entity, tmp, row.length);
    chain = Store_data_in_buffers(tmp, row.length, nullptr);
    Free_tmp_block(tmp);
    if (!chain) return SM_TRAP_STARTUP_SEND;
  } else {
    chain = Alloc_buffer();
    if (!chain) return SM_TRAP_STARTUP_SEND;
    if (row.length) std::memcpy(Buffer_data(chain), row.data, row.length);
    chain->data_size = static_cast<u16>(row.length);
    chain->link_count = 1;
    if (startup_config_hook) startup_config_hook(row.entity, Buffer_data(chain), row.length);
  }
  msg_t* m = Alloc_msg();
  if (!m) {
    Free_buffer(chain);
    return SM_TRAP_STARTUP_SEND;
  }
  Msg_set_head(m, {ENT_SM, row.entity, SM_CONFIG_RQ});
  Msg_inline_area(m)[0] = row.entity;  // target byte, as in relayed requests
  chain->link_count = 1;
  Msg_attach_chain(m, chain);
  Send_msg(m);
  return 0;
}

// Walks the start-up list from the kept position.
void walk_startup_list() {
  for (; s.position < startup_count; ++s.position) {
    const sm_startup_row_t& row = startup_rows[s.position];
    if (row.skip || !registered(row.entity)) continue;
    u16 err = send_startup_config(row);
    if (err) {
      if (err != SM_TRAP_STARTUP_SEND) om_os_trap(err);
      om_os_trap(SM_TRAP_STARTUP_SEND);
      continue;
    }
    ++s.unconfirmed;
    if (row.wait_confirm == 1) {
      s.awaited = row.entity;
      ++s.position;
      s.phase = SM_PHASE_STARTING;
      return;
    }
  }
  // Exhausted.
  s.awaited = ENT_NIL;
  if (s.phase == SM_PHASE_STARTING) {
    if (s.unconfirmed == 0) {
      bool ok = false;
      call_ready_hook(&ok);
      if (!ok) return;  // stays in phase 5
    }
    s.phase = SM_PHASE_RUNNING;
    return;
  }
  s.phase = SM_PHASE_RUNNING;
  if (s.unconfirmed == 0) {
    bool ok = false;
    call_ready_hook(&ok);
  }
}

void handle_start(msg_t* m) {
  It_refill_msg_pool();
  It_refill_buffer_pool();
  s.requester = Msg_total_size(m) > 0 ? Msg_data(m)[0] : ENT_NIL;
  Free_msg(m);
  s.pending.clear();
  s.triggers.clear();
  s.result = OM_OS_OK;
  s.unconfirmed = 0;
  s.position = 0;
  s.phase = SM_PHASE_RUNNING;  // walk_startup_list sets phase 5 when it waits
  walk_startup_list();
}

void handle_startup_confirm(msg_t* m) {
  u8 status = Msg_total_size(m) > 0 ? Msg_data(m)[0] : OM_OS_OK;
  Free_msg(m);
  if (s.unconfirmed) --s.unconfirmed;
  if (status != OM_OS_OK) {
    s.result = OM_OS_NOK;
    om_os_trap(SM_TRAP_CONFIRM_FAILED);
    return;
  }
  walk_startup_list();
}

// ---------------------------------------------------------------------------
// Triggers.

bool same_trigger(const trigger& a, const trigger& b) {
  return a.subscriber == b.subscriber && a.code == b.code && a.source == b.source && a.nai == b.nai &&
         a.sapi == b.sapi && a.conn_id == b.conn_id && (a.code != SM_REPORT_IN || a.report_kind == b.report_kind);
}

void trigger_change(const msg_t* m, bool report) {
  if (Msg_total_size(m) < SM_TRIGGER_BODY_SIZE || Msg_data_size(m) < SM_TRIGGER_BODY_SIZE) return;
  const u8* d = Msg_data(m);
  trigger t{};
  u8 op = d[0];
  t.subscriber = d[1];
  t.code = d[2];
  t.source = d[3];
  t.nai = get_le16(d + 4);
  t.sapi = d[6];
  t.conn_id = get_le16(d + 7);
  t.report_kind = d[9];
  if (report) {
    t.report_kind = t.code;
    t.code = SM_REPORT_IN;
  }
  for (auto it = s.triggers.begin(); it != s.triggers.end(); ++it) {
    if (same_trigger(*it, t)) {
      if (op != 1) s.triggers.erase(it);
      return;
    }
  }
  // A copy sent to ENT_SM would be matched again here, without end.
  if (op == 1 && t.subscriber != ENT_SM) s.triggers.push_back(t);
}

bool trigger_matches(const trigger& t, const msg_t* m) {
  if (t.code != 0 && t.code != m->code) return false;
  if (t.source != 0 && t.source != ENT_NIL && t.source != m->from) return false;
  if (t.nai != 0xFFFF && t.nai != m->nai) return false;
  if (t.sapi != 0xFF && t.sapi != m->sapi) return false;
  if (t.conn_id != 0xFFFF && t.conn_id != m->conn_id) return false;
  if (t.code == SM_REPORT_IN && t.report_kind != 0) {
    if (Msg_data_size(m) < 2 || Msg_data(m)[1] != t.report_kind) return false;
  }
  return true;
}

// Copies the message to every matching subscriber, then frees it.
void match_and_free(msg_t* m) {
  for (const trigger& t : s.triggers) {
    if (!trigger_matches(t, m)) continue;
    if (om_os_get_congestion()) break;  // no copies while congested
    msg_t* c = Copy_msg(m);
    if (!c) break;
    c->from = ENT_SM;
    c->to = t.subscriber;
    Send_msg(c);
  }
  Free_msg(m);
}

// ---------------------------------------------------------------------------
// Relays.

code_t confirm_of(code_t rq) {
  switch (rq) {
    case SM_CONFIG_RQ: return SM_CONFIG_CO;
    case SM_RST_CFG_RQ: return SM_RST_CFG_CO;
    case SM_INIT_RQ: return SM_INIT_CO;
    case SM_STOP_RQ: return SM_STOP_CO;
    case SM_SPARE2_RQ: return SM_SPARE2_CO;
    case SM_INFO_RQ: return SM_INFO_CO;
    case SM_SPARE1_RQ: return SM_SPARE1_CO;
    case SM_CHN_MAINT_RQ: return SM_CHN_MAINT_CO;
    default: return 0;
  }
}

void relay_request(msg_t* m, ent_id_t target) {
  const code_t co = confirm_of(m->code);
  if (!registered(target) || target == ENT_SM) {
    // Answer the requester at once rather than leave it waiting.  ENT_SM
    // itself is no target: the request would come back here for ever.
    const u8 body[3] = {OM_OS_NOK, SM_CAUSE_UNKNOWN_ENTITY, target};
    Msg_set_inline_body(m, body, 3);
    Reply_msg(m, ENT_SM, co);
    return;
  }
  s.pending.push_back(pending_rq{co, target, m->from, m->nai});
  m->from = ENT_SM;
  m->to = target;
  Send_msg(m);
}

// Sends a confirm back to its requester; false (message freed through the
// triggers) when no request matches.
bool relay_confirm(msg_t* m) {
  for (auto it = s.pending.begin(); it != s.pending.end(); ++it) {
    if (it->awaited == m->code && it->target == m->from && (it->nai == 0xFFFF || it->nai == m->nai)) {
      m->to = it->requester;
      m->from = ENT_SM;
      s.pending.erase(it);
      Send_msg(m);
      return true;
    }
  }
  match_and_free(m);
  return false;
}

// Confirm bodies: status, detail, answering entity.
void fill_answering(msg_t* m, bool only_when_zero) {
  if (Msg_total_size(m) == 0) {
    const u8 body[3] = {OM_OS_OK, 0, m->from};
    Msg_set_inline_body(m, body, 3);
    return;
  }
  u8* p = data_byte(m, 2);
  if (p && (!only_when_zero || *p == 0)) *p = m->from;
}

void handle_config_confirm(msg_t* m) {
  u8 status = Msg_total_size(m) > 0 ? Msg_data(m)[0] : OM_OS_OK;
  if (status != OM_OS_OK) s.result = OM_OS_NOK;
  if (s.unconfirmed) {
    --s.unconfirmed;
    Free_msg(m);
    if (s.unconfirmed == 0) {
      bool ok = false;
      call_ready_hook(&ok);
      if (s.requester != ENT_NIL) (void)Send_new_msg({ENT_SM, s.requester, SM_CONFIG_CO}, &s.result, 1);
    }
    return;
  }
  fill_answering(m, true);
  if (!relay_confirm(m) && status != OM_OS_OK) om_os_trap(SM_TRAP_CONFIRM_FAILED);
}

void broadcast(msg_t* m, code_t code, u8 which) {
  msg_t* reuse = m;
  if (reuse->p_buffer) {
    Free_buffer(reuse->p_buffer);
    reuse->p_buffer = nullptr;
  }
  reuse->chain_size = 0;
  reuse->data_offset = MSG_HEADER_SIZE;
  reuse->data_size = 0;
  for (u32 id = OM_OS_ENT_FIRST; id <= OM_OS_ENT_LAST; ++id) {
    if (!registered(static_cast<ent_id_t>(id)) || !om_os_get_entity_flag(id, which)) continue;
    msg_t* n = reuse ? reuse : Alloc_msg();
    reuse = nullptr;
    if (!n) return;
    Msg_set_head(n, {ENT_SM, static_cast<ent_id_t>(id), code});
    n->data_size = 0;
    Send_msg(n);
  }
  if (reuse) Free_msg(reuse);
}

void reply_info(msg_t* m) {
  buffer_t* chain = nullptr;
  const sm_startup_row_t* row = nullptr;
  if (Msg_total_size(m) == 2) {
    ent_id_t e = Msg_data(m)[0];
    for (u32 i = 0; i < startup_count; ++i)
      if (startup_rows[i].entity == e) row = &startup_rows[i];
  }
  if (row) {
    chain = Store_data_in_buffers(row->data, row->length, nullptr);
  } else {
    u8 body[OM_OS_CONFIG_RECORD_SIZE + 20] = {};
    om_os_config c{};
    om_os_get_config(&c);
    om_os_config_pack(c, body);
    const u32 words[4] = {0x03220A04, 0x01000101, 0x01010001, 0x01010101};
    for (int i = 0; i < 4; ++i)
      for (int k = 0; k < 4; ++k) body[OM_OS_CONFIG_RECORD_SIZE + 4 * i + k] = static_cast<u8>(words[i] >> (8 * k));
    // The last word named the runtime's own data: no address leaves the
    // process, so it stays 0.
    chain = Store_data_in_buffers(body, sizeof body, nullptr);
  }
  if (m->p_buffer) Free_buffer(m->p_buffer);
  m->p_buffer = nullptr;
  m->chain_size = 0;
  m->data_size = 0;
  if (!chain) {
    Free_msg(m);
    return;
  }
  chain->link_count = 1;
  Msg_attach_chain(m, chain);
  Reply_msg(m, ENT_SM, SM_INFO_RS);
}

void reply_same(msg_t* m, code_t code) { Reply_msg(m, ENT_SM, code); }

void handle_running(msg_t* m) {
  switch (m->code) {
    case SM_CONFIG_RQ:
    case SM_RST_CFG_RQ:
    case SM_INIT_RQ:
    case SM_STOP_RQ:
    case SM_SPARE2_RQ: relay_request(m, Sm_target(m)); return;
    case SM_INFO_RQ:
    case SM_SPARE1_RQ: relay_request(m, Msg_total_size(m) > 0 ? Msg_data(m)[0] : static_cast<ent_id_t>(0)); return;
    case SM_CHN_MAINT_RQ: relay_request(m, 'M'); return;
    case SM_CONFIG_CO: handle_config_confirm(m); return;
    case SM_RST_CFG_CO:
    case SM_INIT_CO:
      fill_answering(m, false);
      relay_confirm(m);
      return;
    case SM_STOP_CO:
      if (!m->p_buffer && m->data_size > 0) {
        buffer_t* b = Store_data_in_buffers(Msg_inline_data(m), m->data_size, nullptr);
        if (b) {
          b->link_count = 1;
          Msg_attach_chain(m, b);
          m->data_size = 0;
        }
      }
      Msg_inline_data(m)[0] = m->from;
      relay_confirm(m);
      return;
    case SM_SPARE1_CO:
    case SM_INFO_CO: {
      u8* p = data_byte(m, 0);
      if (p) *p = m->from;
      relay_confirm(m);
      return;
    }
    case SM_SPARE2_CO:
    case SM_CHN_MAINT_CO: relay_confirm(m); return;
    case SM_BUSY_IN: broadcast(m, SM_BUSY_RQ, 1); return;
    case SM_CLR_BUSY_IN: broadcast(m, SM_CLR_BUSY_RQ, 0); return;
    case SM_INFO_IN: reply_info(m); return;
    case SM_FLUSH_UPD_IN: reply_same(m, SM_FLUSH_UPD_RS); return;
    case SM_PUT_UPDAT_IN:
    case SM_GET_UPDAT_IN: {
      u8* p = data_byte(m, 0);
      if (p) *p = OM_OS_NOK;
      reply_same(m, m->code == SM_PUT_UPDAT_IN ? SM_PUT_UPDAT_RS : SM_GET_UPDAT_RS);
      return;
    }
    case SM_POWER_ON_IN:
    case SM_POWER_OFF_IN: {
      const code_t fwd = m->code == SM_POWER_ON_IN ? SM_POWER_ON_RQ : SM_POWER_OFF_RQ;
      for (ent_id_t e : {static_cast<ent_id_t>('M'), static_cast<ent_id_t>('m')}) {
        if (!registered(e)) continue;
        msg_t* c = Copy_msg(m);
        if (!c) continue;
        Msg_set_route(c, ENT_SM, e, fwd);
        Send_msg(c);
      }
      break;
    }
    case SM_SET_TRIG_IN: trigger_change(m, false); break;
    case SM_SET_RPORT_IN: trigger_change(m, true); break;
    default: break;
  }
  match_and_free(m);
}

}  // namespace

void sm_set_startup_list(const sm_startup_row_t* rows, u32 count) {
  startup_rows = rows;
  startup_count = rows ? count : 0;
}

void sm_set_hooks(sm_startup_config_hook_t startup_config, sm_ready_hook_t ready) {
  startup_config_hook = startup_config;
  ready_hook = ready;
}

void sm_entity_init() {
  s.phase = SM_PHASE_IDLE;
  s.awaited = ENT_NIL;
  s.requester = ENT_NIL;
  s.unconfirmed = 0;
  s.position = 0;
  s.result = OM_OS_OK;
  s.pending.clear();
  s.triggers.clear();
}

void sm_entity_handler(msg_t* m) {
  if (!m) return;
  if (s.phase == SM_PHASE_IDLE) {
    handle_start(m);
    return;
  }
  if (s.phase == SM_PHASE_STARTING && m->code == SM_CONFIG_CO && m->from == s.awaited) {
    handle_startup_confirm(m);
    return;
  }
  handle_running(m);
}

void Sm_set_target(msg_t* m, ent_id_t target) { Msg_inline_data(m)[0] = target; }

ent_id_t Sm_target(const msg_t* m) { return Msg_inline_data(m)[0]; }

void sm_trigger_body_pack(const sm_trigger_body& t, u8 out[SM_TRIGGER_BODY_SIZE]) {
  out[0] = t.operation;
  out[1] = t.subscriber;
  out[2] = t.code;
  out[3] = t.source;
  put_le16(out + 4, t.nai);
  out[6] = t.sapi;
  put_le16(out + 7, t.conn_id);
  out[9] = t.report_kind;
}

u8 sm_phase() { return s.phase; }
u8 sm_startup_result() { return s.result; }
