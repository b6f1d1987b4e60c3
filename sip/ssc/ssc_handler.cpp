// ENT_SSC handler: management by ENT_SM, classification, route dispatch,
// self-queue and send side.
#include "sip/ssc/ssc_handler.h"

#include <cstring>
#include <deque>

#include "runtime/buffer.h"
#include "runtime/om_os.h"
#include "runtime/sm.h"
#include "sip/prim/ssc_record_codec.h"
#include "sip/prim/ssc_sdp_glue.h"
#include "sip/ssc/ssc_ident.h"
#include "sip/ssc/ssc_internal.h"
#include "sip/ssc/ssc_machines.h"
#include "sip/ssc/ssc_tx.h"

namespace {

ssc_run_state g_run;
std::deque<msg_t*> g_self_queue;
std::vector<ssc_handle*> g_handle_table;  // self-message handle numbers: index + 1
u32 g_table_used = 0;
u32 g_live_handles = 0;
std::vector<ssc_stub_event> g_stub_events;

void stub_machine() {
  const ssc_module& m = ssc_mod();
  g_stub_events.push_back({m.route, m.event, m.call ? m.call->sip_conn : SSC_NO_CONN});
}
ssc_machine_fn g_call_machine = ssc_call_sm;
ssc_machine_fn g_entry_machine = ssc_entry_sm;

// ---- handles -----------------------------------------------------------------

ssc_handle* new_handle(ssc_msg_type type) {
  ssc_handle* h = Ssc_alloc_handle();
  if (h == nullptr) return nullptr;
  ++g_live_handles;
  if (type != ssc_msg_type::NONE && Ssc_init_handle(h, type) != 2) {
    --g_live_handles;
    (void)Ssc_free_handle(h);
    return nullptr;
  }
  return h;
}

void release_handle(ssc_handle*& h) {
  if (h == nullptr) return;
  if (h->ref_count <= 1) --g_live_handles;
  (void)Ssc_free_handle(h);
  h = nullptr;
}

u32 table_put(ssc_handle* h) {
  if (h == nullptr) return 0;
  ++h->ref_count;
  for (std::size_t i = 0; i < g_handle_table.size(); ++i) {
    if (g_handle_table[i] == nullptr) {
      g_handle_table[i] = h;
      ++g_table_used;
      return static_cast<u32>(i + 1);
    }
  }
  g_handle_table.push_back(h);
  ++g_table_used;
  return static_cast<u32>(g_handle_table.size());
}

// Takes the table's reference back (the caller now holds it).
ssc_handle* table_take(u32 number) {
  if (number == 0 || number > g_handle_table.size()) return nullptr;
  ssc_handle* h = g_handle_table[number - 1];
  g_handle_table[number - 1] = nullptr;
  if (h) --g_table_used;
  return h;
}

void free_self_message(msg_t* q) {
  if (Msg_data_size(q) >= SSC_SELF_BODY_SIZE) {
    const u8* b = Msg_data(q);
    u32 number;
    std::memcpy(&number, b + 4, 4);
    ssc_handle* h = table_take(number);
    release_handle(h);
  }
  Free_msg(q);
}

// ---- sending -------------------------------------------------------------------

bool code_has_sip_body(code_t c) { return (c >= 65 && c <= 70) || c == 97 || (c >= 99 && c <= 102); }

bool code_delivers_handle(code_t c) {
  switch (c) {
    case 193:
    case 195:
    case 196:
    case 197:
    case 210:
    case 225:
    case 226:
    case 227:
    case 228:
    case 229:
    case 242: return true;
    default: return false;
  }
}

u16 agent_nai() { return ssc_mod().ua ? ssc_mod().ua->nai : 0xFFFF; }

// The SIP body of a handle, or null.
buffer_t* sip_body_of(ssc_handle* h) {
  if (h == nullptr) return nullptr;
  buffer_t* out = nullptr;
  ssc_rc_fail fail;
  if (ssc_encode_to_sip(h, &out, &fail) != SSC_RC_OK) return nullptr;
  return out;
}

void take_building(msg_t*& m) {
  m = g_run.building;
  g_run.building = nullptr;
  if (m == nullptr) m = Alloc_msg();
}

}  // namespace

namespace ssc_internal {
std::deque<msg_t*>& self_queue() { return g_self_queue; }
ssc_handle* new_handle(ssc_msg_type type) { return ::new_handle(type); }
void release_handle(ssc_handle*& h) { ::release_handle(h); }
ssc_handle* table_take(u32 number) { return ::table_take(number); }
void free_self_message(msg_t* q) { ::free_self_message(q); }
ssc_machine_fn call_machine() { return g_call_machine; }
ssc_machine_fn entry_machine() { return g_entry_machine; }
}  // namespace ssc_internal

ssc_run_state& ssc_run() { return g_run; }
std::vector<ssc_stub_event>& ssc_stub_events() { return g_stub_events; }

void ssc_set_machines(ssc_machine_fn call_machine, ssc_machine_fn entry_machine) {
  g_call_machine = call_machine ? call_machine : stub_machine;
  g_entry_machine = entry_machine ? entry_machine : stub_machine;
}

ssc_handle* ssc_new_response_handle(ssc_handle* req) {
  if (!ssc_is_handle(req) || ssc_idx(req->type) >= 41 || ssc_msg_type_table[ssc_idx(req->type)].msg_class != 1)
    return nullptr;
  ssc_handle* rs = new_handle(ssc_msg_type::NONE);
  if (rs == nullptr) return nullptr;
  if (Ssc_copy_msg(rs, req) == nullptr) {
    release_handle(rs);
    return nullptr;
  }
  rs->type = ssc_msg_type_table[ssc_idx(req->type)].pair;
  for (unsigned id = 0; id < SSC_HEADER_ID_COUNT; ++id) {
    const auto hid = static_cast<ssc_header_id>(id);
    void** head = Ssc_list_head(rs, hid);
    if (head == nullptr) continue;
    const bool keep = hid == ssc_header_id::VIA || hid == ssc_header_id::RECORD_ROUTE || hid == ssc_header_id::FROM ||
                      hid == ssc_header_id::TO || hid == ssc_header_id::CALL_ID;
    if (!keep || !Ssc_header_allowed(rs->type, hid)) *head = nullptr;
  }
  // The top Via learns where the request really came from.
  auto* via = Ssc_first<ssc_hdr_via>(rs, ssc_header_id::VIA);
  if (ssc_ptr_set(reinterpret_cast<const char*>(via)) && via->family2 != '4' && via->family2 != '6' &&
      (req->addr_family == '4' || req->addr_family == '6')) {
    via->family2 = req->addr_family;
    std::memcpy(via->v4_2, req->addr_v4, 4);
    std::memcpy(via->v6_2, req->addr_v6, 16);
    if (req->addr_port != 0 && req->addr_port != 0xFFFF) via->w2 = req->addr_port;
  }
  rs->transaction_number = req->transaction_number;
  return rs;
}

void ssc_requeue_deferred(std::vector<msg_t*>& list) {
  for (msg_t* m : list) g_self_queue.push_back(m);
  list.clear();
}

ssc_counts ssc_entity_counts() { return {g_live_handles, g_table_used, static_cast<u32>(g_self_queue.size())}; }

void ssc_send(ent_id_t dest, u8 sap, code_t code) {
  ssc_module& mod = ssc_mod();
  msg_t* m = nullptr;
  if (dest == 'A' && code_delivers_handle(code) && g_run.handle) {
    if (g_run.building) Free_msg(g_run.building);
    g_run.building = nullptr;
    if (mod.call) mod.call->pending_indication = 0;
    m = SIP_sc_format_rq(agent_nai(), mod.entry ? mod.entry->conn_id : SSC_NO_CONN, mod.entry ? mod.entry->index : 255,
                         g_run.handle);
  } else {
    take_building(m);
  }
  if (m == nullptr) return;
  m->from = ENT_SSC;
  m->nai = agent_nai();
  m->conn_id = mod.entry ? mod.entry->conn_id : SSC_NO_CONN;
  m->sapi = sap;
  m->code = code;
  m->to = dest;
  if (dest == 'A') {
    m->to = mod.ua ? mod.ua->user_entity : 'A';
    m->sapi = mod.entry ? mod.entry->index : 255;
    if (mod.call) m->conn_id = mod.call->user_conn;
    Send_msg(m);
  } else if (dest == ENT_SIP) {
    m->sapi = 0;
    if (mod.call) m->conn_id = mod.call->sip_conn;
    if (code_has_sip_body(code)) {
      buffer_t* body = sip_body_of(g_run.tx_handle ? g_run.tx_handle : g_run.handle);
      if (body == nullptr) {
        // No primitive without its body: the user hears of it instead.
        Free_msg(m);
        (void)om_os_trap(SSC_ERR_NO_BODY);
        ssc_send_error_in(SSC_ERR_NO_BODY, 0);
        return;
      }
      body->link_count = 1;
      Msg_attach_chain(m, body);
    }
    Send_msg(m);
  } else if (dest == ENT_SSC) {
    u8 body[SSC_SELF_BODY_SIZE] = {};
    body[0] = (sap != 'G' && sap != 'S') ? (mod.entry ? mod.entry->index : 255) : 0;
    const u32 number = table_put(g_run.handle);
    std::memcpy(body + 4, &number, 4);
    body[8] = mod.route;
    Msg_set_inline_body(m, body, SSC_SELF_BODY_SIZE);
    if (sap == 'G') {
      m->conn_id = mod.keepalive ? mod.keepalive->index : SSC_NO_CONN;
      if (code == 97) m->conn_id = mod.binding ? mod.binding->index : SSC_NO_CONN;
    } else if (sap == 'S' && code == 96) {
      m->conn_id = mod.binding ? mod.binding->index : SSC_NO_CONN;
    } else {
      m->conn_id = mod.call ? mod.call->sip_conn : SSC_NO_CONN;
    }
    g_self_queue.push_back(m);
  } else {
    Send_msg(m);
  }
}

u8 ssc_send_to_user(code_t code) {
  ssc_module& mod = ssc_mod();
  if (g_run.handle == nullptr) return 3;
  if (mod.call) {
    g_run.handle->carried_byte_1 = mod.call->carried_byte_1;
    g_run.handle->carried_byte_2 = mod.call->carried_byte_2;
  }
  // Without a dialog entry (a call that has none left) the call itself is
  // named, so that the user finds it.
  const u16 conn = mod.entry ? mod.entry->conn_id : mod.call ? mod.call->user_conn : SSC_NO_CONN;
  msg_t* m = SIP_sc_format_rq(agent_nai(), conn, mod.entry ? mod.entry->index : 0, g_run.handle);
  if (m == nullptr) return 3;
  m->from = ENT_SSC;
  m->nai = agent_nai();
  m->conn_id = conn;
  m->code = code;
  m->to = mod.ua ? mod.ua->user_entity : 'A';
  if (mod.call) mod.call->pending_indication = 0;
  Send_msg(m);
  return 2;
}

void ssc_send_response(ssc_handle* response, u16 conn_id) {
  if (response == nullptr) return;
  buffer_t* body = sip_body_of(response);
  const code_t code = ssc_msg_type_table[ssc_idx(response->type)].code;
  if (body == nullptr) {
    (void)om_os_trap(SSC_ERR_NO_BODY);
    ssc_send_error_in(SSC_ERR_NO_BODY, 0);
    return;
  }
  msg_t* m = Alloc_msg();
  if (m == nullptr) {
    Free_buffer(body);
    return;
  }
  m->from = ENT_SSC;
  m->to = ENT_SIP;
  m->nai = agent_nai();
  m->conn_id = conn_id;
  m->sapi = 0;
  m->code = code;
  body->link_count = 1;
  Msg_attach_chain(m, body);
  Send_msg(m);
}

u8 ssc_report_error(u8 kind, u8 error_class, u16 number) {
  const ssc_module& mod = ssc_mod();
  u8 r[SSC_REPORT_SIZE] = {};
  r[0] = ENT_SSC;
  r[1] = error_class;
  r[2] = kind;
  r[4] = static_cast<u8>(number);
  r[5] = static_cast<u8>(number >> 8);
  r[6] = mod.entry ? mod.entry->state : 255;
  r[7] = 255;
  r[8] = mod.call ? mod.call->state : 255;
  r[9] = g_run.code;
  if (g_run.building) Free_msg(g_run.building);
  g_run.building = Alloc_msg();
  if (g_run.building == nullptr) return 2;
  Msg_set_inline_body(g_run.building, r, SSC_REPORT_SIZE);
  ssc_send(ENT_SM, 255, SSC_SM_REPORT);
  return 2;
}

u8 ssc_report_event(u8 kind) {
  const ssc_module& mod = ssc_mod();
  u8 r[SSC_REPORT_SIZE] = {};
  u8 n = 39;
  r[0] = ENT_SSC;
  r[1] = 'e';
  r[2] = kind;
  r[6] = mod.entry ? mod.entry->state : 255;
  r[7] = 255;
  r[8] = mod.call ? mod.call->state : 255;
  r[9] = g_run.code;
  if (kind >= 'A' && kind <= 'D' && mod.keepalive) {
    const ssc_keepalive& k = *mod.keepalive;
    r[12] = k.binding_index;
    r[13] = k.index;
    r[14] = k.primary_candidate;
    r[15] = k.mode == 2 ? '2' : '1';
    r[16] = static_cast<u8>(k.last_status);
    r[17] = static_cast<u8>(k.last_status >> 8);
  } else if (kind == 'E' && mod.ua) {
    r[36] = mod.ua->previous_primary;
    r[37] = mod.ua->primary;
  }
  if (g_run.building) Free_msg(g_run.building);
  g_run.building = Alloc_msg();
  if (g_run.building == nullptr) return 2;
  Msg_set_inline_body(g_run.building, r, n);
  ssc_send(ENT_SM, 255, SSC_SM_REPORT);
  return 2;
}

void ssc_send_error_in(u16 error, u8 fatal) {
  if (ssc_mod().ua == nullptr) return;
  u8 body[SSC_ERROR_IN_SIZE];
  ssc_error_in_body(error, fatal, g_run.code, body);
  if (g_run.building) Free_msg(g_run.building);
  g_run.building = Alloc_msg();
  if (g_run.building == nullptr) return;
  Msg_set_inline_body(g_run.building, body, SSC_ERROR_IN_SIZE);
  ssc_send('A', 255, SSC_ERROR_IN);
}

void ssc_relay_sip_error() {
  if (ssc_mod().ua == nullptr) return;
  const u8 sip[5] = {static_cast<u8>(g_run.sip_error), static_cast<u8>(g_run.sip_error >> 8), g_run.sip_detail[0],
                     g_run.sip_detail[1], g_run.sip_detail[2]};
  u8 body[SSC_ERROR_IN_SIZE];
  (void)ssc_relay_error_body(sip, sizeof sip, body);
  body[0] = ENT_SSC;
  if (g_run.building) Free_msg(g_run.building);
  g_run.building = Alloc_msg();
  if (g_run.building == nullptr) return;
  Msg_set_inline_body(g_run.building, body, SSC_ERROR_IN_SIZE);
  ssc_send('A', 255, SSC_ERROR_IN);
}

namespace {

ssc_handle* glue_new_response(ssc_handle* req) { return ssc_new_response_handle(req); }

void glue_send_response(ssc_handle* rs) {
  ssc_send_response(rs, g_run.msg ? g_run.msg->conn_id : SSC_NO_CONN);
  release_handle(rs);
}

void glue_report(u8 kind, u8 cls, u16 number) { (void)ssc_report_error(kind, cls, number); }

}  // namespace

void ssc_internal::install_glue() {
  ssc_sdp_glue_env.new_response_handle = glue_new_response;
  ssc_sdp_glue_env.send_response = glue_send_response;
  ssc_sdp_glue_env.report_error = glue_report;
}

void ssc_entity_reset(u16 nai_count) {
  for (msg_t* q : g_self_queue) free_self_message(q);
  g_self_queue.clear();
  for (ssc_handle*& h : g_handle_table) release_handle(h);
  g_handle_table.clear();
  g_table_used = 0;
  g_stub_events.clear();
  g_run = ssc_run_state{};
  if (ssc_mod().agents.size()) {
    for (std::size_t n = 0; n < ssc_mod().agents.size(); ++n)
      if (ssc_mod().agents[n]) (void)ssc_remove_user_agent(static_cast<u16>(n));
  }
  ssc_tx_reset();
  ssc_entity_init(nai_count);
  ssc_sdp_glue_env.new_response_handle = glue_new_response;
  ssc_sdp_glue_env.send_response = glue_send_response;
  ssc_sdp_glue_env.report_error = glue_report;
}
