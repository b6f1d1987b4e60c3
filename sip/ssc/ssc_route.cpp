// ENT_SSC handler: management requests, classification of each sender's
// messages, route dispatch and the self-queue.
#include <cstring>
#include <deque>
#include <vector>

#include "runtime/buffer.h"
#include "runtime/mem.h"
#include "runtime/om_os.h"
#include "runtime/sm.h"
#include "runtime/timer.h"
#include "sip/prim/ssc_record_codec.h"
#include "sip/prim/ssc_sdp_glue.h"
#include "sip/ssc/ssc_build.h"
#include "sip/ssc/ssc_handler.h"
#include "sip/ssc/ssc_ident.h"
#include "sip/ssc/ssc_internal.h"
#include "sip/ssc/ssc_tx.h"

using namespace ssc_internal;

namespace {

constexpr u8 DISPATCH = 2;
constexpr u8 DROP = 3;

ssc_run_state& run() { return ssc_run(); }

// SIP code -> SSC message type of the decoded handle.
ssc_msg_type type_of_sip_code(code_t c) {
  switch (c) {
    case 193: return ssc_msg_type::INVITE_RS;
    case 195: return ssc_msg_type::OPTIONS_RS;
    case 196: return ssc_msg_type::BYE_RS;
    case 197: return ssc_msg_type::CANCEL_RS;
    case 198: return ssc_msg_type::REGISTER_RS;
    case 225: return ssc_msg_type::INVITE;
    case 226: return ssc_msg_type::ACK;
    case 227: return ssc_msg_type::OPTIONS;
    case 228: return ssc_msg_type::BYE;
    case 229: return ssc_msg_type::CANCEL;
    case 230: return ssc_msg_type::REGISTER;
    default: return ssc_msg_type::NONE;
  }
}

void set(u8 route, u8 event) {
  ssc_mod().route = route;
  ssc_mod().event = event;
}

void ssc_binding__release();

// The configured local address of a profile as a local-address message of
// the entity to itself (event 66 on 'G'): the binding is made from it.
void configured_local_address(const ssc_config_profile& p) {
  ssc_module& mod = ssc_mod();
  if (ssc_ua__select(p.nai) != 2) return;
  ssc_handle* h = new_handle(ssc_msg_type::LOCAL_ADDR);
  if (h == nullptr) return;
  auto* r = static_cast<ssc_hdr_route*>(Ssc_alloc_header(h, ssc_header_id::ROUTE));
  char* host = static_cast<char*>(Ssc_alloc_area(h, SSC_HOST_FIELD));
  if (r == nullptr || host == nullptr) {
    release_handle(h);
    return;
  }
  r->s1 = nullptr;
  r->s2 = nullptr;
  r->b1 = 0;
  r->uri.scheme = 1;
  r->uri.user_form = 0xFF;
  r->uri.user = nullptr;
  r->uri.uri_text_2 = nullptr;
  r->uri.host_family = p.family;
  r->uri.port = p.port;
  std::memcpy(r->uri.host_v4, p.addr, 4);
  std::memcpy(r->uri.host_v6, p.addr, 16);
  std::memcpy(host, p.host, SSC_HOST_FIELD);
  r->uri.host_name = p.family == 'N' ? host : nullptr;
  // Packed and read back, as a user's message would arrive.
  msg_t* packed = SIP_sc_format_rq(p.nai, SSC_NO_CONN, 255, h);
  release_handle(h);
  if (packed == nullptr) return;
  ssc_handle* cur = new_handle(ssc_msg_type::NONE);
  if (cur != nullptr && Ssc_unformat_msg(cur, packed) == 2) {
    ssc_handle* keep = run().handle;
    run().handle = cur;
    mod.route = 'G';
    ssc_send(ENT_SSC, 'G', 66);
    run().handle = keep;
  }
  release_handle(cur);
  Free_msg(packed);
}

// ---- ENT_SM --------------------------------------------------------------------

void reply_in_place(code_t code, const u8* data, u8 n) {
  msg_t* m = run().msg;
  Msg_set_inline_body(m, data, n);
  m->code = code;
  m->to = m->from;
  m->from = ENT_SSC;
  run().msg = nullptr;
  Send_msg(m);
}

void management(msg_t* m) {
  switch (m->code) {
    case SM_CONFIG_RQ: {
      if (ssc_mod().agents.empty()) {
        om_os_config c{};
        (void)om_os_get_config(&c);
        ssc_entity_init(c.max_nai);
      }
      u8 area[512];
      u8 r;
      std::vector<ssc_config_profile> profiles;
      if (m->p_buffer != nullptr) {
        u32 total = 0;
        u8* body = Reassemble_buffers(area, sizeof area, m->p_buffer, &total);
        if (body == nullptr) {
          (void)om_os_trap(300);
          r = SSC_CFG_NO_BLOCKS;
        } else {
          r = ssc_config_parse(body, total, profiles);
          if (body != area) (void)Free_tmp_block(body);
        }
      } else {
        r = ssc_config_parse(Msg_data(m), m->data_size, profiles);
      }
      if (r == SSC_CFG_OK) r = ssc_configure_profiles(profiles);
      if (r == SSC_CFG_OK) {
        for (const ssc_config_profile& p : profiles)
          if (p.addr_count == 1) configured_local_address(p);
      }
      const u8 co[3] = {static_cast<u8>(r == SSC_CFG_OK ? 2 : 3), static_cast<u8>(r == SSC_CFG_OK ? 0 : r),
                        static_cast<u8>(r == SSC_CFG_OK ? 0 : ENT_SSC)};
      reply_in_place(SM_CONFIG_CO, co, 3);
      return;
    }
    case SM_RST_CFG_RQ: {
      // Self-messages still queued for the agent go with it.
      auto& q = self_queue();
      for (auto it = q.begin(); it != q.end();) {
        if ((*it)->nai == m->nai) {
          free_self_message(*it);
          it = q.erase(it);
        } else {
          ++it;
        }
      }
      if (ssc_ua__select(m->nai) == 2) ssc_binding__release();  // its keep-alive record, probe call and headers
      const u8 co[1] = {ssc_remove_user_agent(m->nai)};
      reply_in_place(SM_RST_CFG_CO, co, 1);
      return;
    }
    case SM_STOP_RQ: {
      if (ssc_ua__select(m->nai) == 2) {
        const u8 co[1] = {2};
        reply_in_place(SM_STOP_CO, co, 1);
      }
      return;
    }
    default: return;
  }
}

// ---- classification --------------------------------------------------------------

ssc_dialog_entry* mod_entry() { return ssc_mod().entry; }

u8 classify_timer(msg_t* m) {
  const ssc_class_row& row = ssc_timer_row(static_cast<u8>(m->code));
  if (row.route == SSC_ROUTE_NONE) return DISPATCH;
  if (row.sel == ssc_sel::open_call) {
    // The cell's SAP is the entry's index; only the current start counts.
    if (ssc_call__open_for_user(m->conn_id, m->sapi) != 2) return DROP;
    if (!ssc_entry_timer_current(mod_entry(), static_cast<u8>(m->code - '0'), Timer_expiry_id(m))) return DROP;
    u8 route = row.route;
    if ((row.steps & SSC_STEP_IDLE_TO_F) && ssc_mod().entry->state == SSC_ENTRY_IDLE) route = 'F';
    set(route, row.event);
    return DISPATCH;
  }
  ssc_module& mod = ssc_mod();
  if ((m->conn_id & 0xFF) != 0 || mod.ua->keepalive.mode == 0) return DROP;
  if (m->code == '2' && Timer_expiry_id(m) != mod.ua->keepalive.probe_id) return DROP;  // stale
  mod.keepalive = &mod.ua->keepalive;
  mod.binding = mod.keepalive->binding;
  set(row.route, row.event);
  return DISPATCH;
}

const char* tag_of(ssc_handle* h, ssc_header_id id) {
  auto* na = Ssc_first<ssc_hdr_name_addr>(h, id);
  if (!ssc_ptr_set(na) || !ssc_ptr_set(na->s3)) return nullptr;
  return na->s3;
}

// Unsupported entries of a 420 for the request's Require list.
void refuse_extensions(ssc_handle* req, u32 supported, u16 conn) {
  ssc_handle* rs = ssc_new_response_handle(req);
  if (rs == nullptr) return;
  auto* st = static_cast<ssc_hdr_status*>(Ssc_alloc_header(rs, ssc_header_id::RETURN_CODE));
  if (st) {
    st->code = 420;
    st->reason = "Bad Extension";
  }
  for (auto* r = Ssc_first<ssc_hdr_code_text>(req, ssc_header_id::REQUIRE); ssc_ptr_set(r); r = r->next) {
    ssc_hdr_code_text one = *r;
    one.next = nullptr;
    const u32 mask = Ssc_option_tags_mask(&one);
    if (r->code == 'f') continue;                                     // histinfo gets no entry
    if ((mask & 0x80u) == 0 && (mask & supported) == mask) continue;  // a known tag we support
    auto* u = static_cast<ssc_hdr_code_text*>(Ssc_alloc_header(rs, ssc_header_id::UNSUPPORTED));
    if (u == nullptr) continue;  // left out of the answer
    u->code = r->code;
    u->text = r->text;
  }
  ssc_send_response(rs, conn);
  release_handle(rs);
}

u8 ssc_check_require(ssc_handle* h, u16 conn) {
  ssc_user_agent* ua = ssc_mod().ua;
  if ((ua->option_flags & 0x02) == 0) return 2;
  const u8 cls = ssc_msg_type_table[ssc_idx(h->type)].msg_class;
  if (cls != 1 || h->type == ssc_msg_type::ACK || h->type == ssc_msg_type::CANCEL) return 2;
  const u32 mask = Ssc_option_tags_mask(Ssc_first<ssc_hdr_code_text>(h, ssc_header_id::REQUIRE));
  if (ssc_require_acceptable(mask, ua->supported_mask)) return 2;
  refuse_extensions(h, ua->supported_mask, conn);
  (void)ssc_report_error('b', 'r', ssc_mod().event);
  return 3;
}

u8 classify_sip(msg_t* m) {
  ssc_module& mod = ssc_mod();
  if (m->code == 40) {
    msg_t* r = run().msg;
    r->code = 41;
    r->to = r->from;
    r->from = ENT_SSC;
    run().msg = nullptr;
    Send_msg(r);
    return DROP;
  }
  if (m->code == 63) {
    const u8* d = Msg_data(m);
    if (Msg_data_size(m) < 5) return DROP;
    run().sip_error = static_cast<u16>(d[0] | (d[1] << 8));
    std::memcpy(run().sip_detail, d + 2, 3);
    u8 body[SSC_ERROR_IN_SIZE];
    (void)ssc_relay_error_body(d, Msg_data_size(m), body);
    Msg_set_inline_body(m, body, SSC_ERROR_IN_SIZE);
    set('F', 56);
    if (ssc_call__by_sip_conn(m->conn_id) == 2) {
      (void)ssc_dialog__select(-1);
      // An error about an OPTIONS (the request, or its confirm as ENT_SIP names it).
      const u8 about = run().sip_detail[2];
      if ((about == SSC_OPTIONS_RQ || about == SSC_OPTIONS_CO) && mod.call->user_conn == SSC_NO_CONN &&
          mod.ua->keepalive.mode != 0 && mod.ua->keepalive.call_index == m->conn_id) {
        mod.keepalive = &mod.ua->keepalive;
        mod.route = 'G';
      }
    }
    return DISPATCH;
  }
  const ssc_class_row& row = ssc_sip_row(static_cast<u8>(m->code));
  const ssc_msg_type type = type_of_sip_code(m->code);
  if (type == ssc_msg_type::NONE) return DROP;
  // The body, gathered into one block.
  u8 area[2048];
  const u8* body = nullptr;
  u32 len = 0;
  u8* tmp = nullptr;
  if (m->p_buffer) {
    tmp = Reassemble_buffers(area, sizeof area, m->p_buffer, &len);
    if (tmp == nullptr) {
      (void)ssc_report_error('d', 'r', 27);
      return DROP;
    }
    body = tmp;
  } else {
    body = Msg_data(m);
    len = m->data_size;
  }
  ssc_handle* h = new_handle(type);
  run().handle = h;
  ssc_rc_fail fail;
  const bool ok = h && len <= 0xFFFF && ssc_decode_from_sip(h, body, static_cast<u16>(len), &fail) == SSC_RC_OK;
  if (tmp && tmp != area) (void)Free_tmp_block(tmp);
  if (!ok) return DROP;
  if (ssc_sdp_decode_body(h) != 2) return DROP;
  set(row.route, row.event);
  if (ssc_check_require(h, m->conn_id) != 2) return DROP;
  const bool response = ssc_msg_type_table[ssc_idx(type)].msg_class == 2;
  const char* tag = m->code == 197 ? nullptr : tag_of(h, response ? ssc_header_id::TO : ssc_header_id::FROM);
  if (ssc_call__match_sip(m->conn_id, tag) != 2) return DROP;
  if (row.steps & SSC_STEP_REG_LINK) {  // a REGISTER answer: its entry is the saved one
    mod.reg_entry = mod.entry;
    mod.reg_call = mod.call;
  }
  if (row.steps & SSC_STEP_IDLE_TO_F) {
    if (mod.call->user_conn == SSC_NO_CONN) {
      if (mod.ua->keepalive.mode != 0 && mod.ua->keepalive.call_index == m->conn_id) {
        mod.keepalive = &mod.ua->keepalive;
        mod.route = 'G';
      } else {
        mod.route = SSC_ROUTE_NONE;
      }
    } else if (mod.entry->state == SSC_ENTRY_IDLE) {
      mod.route = 'F';
    }
  }
  if (ssc_msg_type_table[ssc_idx(type)].msg_class == 1) mod.call->rx_tick = om_os_tick();
  (void)ssc_tx_track(h, SSC_TX_RECEIVED);
  auto* st = Ssc_first<ssc_hdr_status>(h, ssc_header_id::RETURN_CODE);
  if (ssc_ptr_set(st) && ssc_status_ends_dialog(st->code)) {
    const u8 keep = mod.route;
    mod.route = 'C';
    ssc_send(ENT_SSC, 'C', SSC_EVENT_DIALOG_GONE);
    mod.route = keep;
  }
  return DISPATCH;
}

u8 classify_self(msg_t* m) {
  ssc_module& mod = ssc_mod();
  if (Msg_data_size(m) < SSC_SELF_BODY_SIZE) return DROP;
  const u8* d = Msg_data(m);
  u32 number;
  std::memcpy(&number, d + 4, 4);
  run().handle = table_take(number);
  set(m->sapi, static_cast<u8>(m->code));
  if (m->sapi == 'G') {
    if (m->code == 66) return DISPATCH;  // local addresses: no record yet
    if (m->conn_id != 0) return DROP;
    if (m->code == 97) mod.binding = &mod.ua->binding;
    else {
      mod.keepalive = &mod.ua->keepalive;
      mod.binding = mod.keepalive->binding;
    }
    return DISPATCH;
  }
  if (m->sapi == 'S') {
    if (m->code == 96) {
      mod.binding = &mod.ua->binding;
      return DISPATCH;
    }
    return ssc_call__by_sip_conn(m->conn_id) == 2 ? DISPATCH : DROP;
  }
  if (m->conn_id != SSC_NO_CONN) (void)ssc_call__by_sip_conn(m->conn_id);
  if (mod.call == nullptr || ssc_dialog__select(d[0]) != 2) {
    if (m->sapi == 'H') return DISPATCH;
    mod.event = SSC_EVENT_FAILED;
    return DROP;
  }
  return DISPATCH;
}

u8 classify_user(msg_t* m) {
  ssc_module& mod = ssc_mod();
  ssc_handle* h = new_handle(ssc_msg_type::NONE);
  run().handle = h;
  if (h == nullptr || Ssc_unformat_msg(h, m) != 2) return DROP;
  const ssc_class_row& row = ssc_user_row(static_cast<u8>(m->code));
  if (row.route == SSC_ROUTE_NONE) return DISPATCH;
  const int index = m->sapi == 255 ? -1 : m->sapi;
  bool fresh = false;  // the call was made for this message
  switch (row.sel) {
    case ssc_sel::open_call:
      if (ssc_call__open_for_user(m->conn_id, index) != 2 && ssc_call__new_for_user(m->conn_id) != 2) return DROP;
      break;
    case ssc_sel::first_or_new:
      if (ssc_call__open_for_user(m->conn_id, -1) != 2 && ssc_call__new_for_user(m->conn_id) != 2) return DROP;
      break;
    case ssc_sel::entry0:
      if (ssc_call__open_for_user(m->conn_id, 0) != 2) {
        if (ssc_call__new_for_user(m->conn_id) != 2) return DROP;
        fresh = true;
      }
      break;
    case ssc_sel::aux_only:
      if (h->carried_word_1 == 0xFFFF || h->carried_word_1 >= mod.ua->aux_count) {
        mod.event = SSC_EVENT_FAILED;
        return DROP;
      }
      break;
    default: break;
  }
  if ((row.steps & SSC_STEP_REG_LINK) && mod.entry != nullptr) {
    // A REGISTER for registration number n takes slot n the first time.
    if (h->carried_word_2 < 0xFFFF && mod.entry->reg_slot == SSC_NO_INDEX16 &&
        ssc_reg_dialog__link(h->carried_word_2) != 2) {
      if (fresh && mod.entry->state == SSC_ENTRY_IDLE) {
        ssc_dialog__release();
        (void)ssc_call__release();
      }
      mod.event = SSC_EVENT_FAILED;
      return DROP;
    }
    mod.reg_entry = mod.entry;
    mod.reg_call = mod.call;
  } else if ((row.steps & SSC_STEP_SLOT) && h->carried_word_2 < 0xFFFF) {
    (void)ssc_reg_dialog__select(h->carried_word_2);
  }
  u8 route = row.route;
  if ((row.steps & SSC_STEP_IDLE_TO_F) && mod.entry && mod.entry->state == SSC_ENTRY_IDLE) route = 'F';
  set(route, row.event);
  if ((row.steps & SSC_STEP_AUX_KEEP) && mod.entry && h->carried_word_1 < mod.ua->aux_count)
    mod.entry->aux = h->carried_word_1;
  if (row.tx_type != 255)
    (void)ssc_tx_find(static_cast<ssc_msg_type>(row.tx_type), h->transaction_number, SSC_TX_RECEIVED);
  if (row.steps & SSC_STEP_FIND_SENT_INVITE) (void)ssc_tx_find(ssc_msg_type::INVITE, 0xFFFF, SSC_TX_SENT);
  if (ssc_sdp_encode_body(h) != 2) {
    run().sip_detail[2] = static_cast<u8>(m->code);
    set('F', 81);
  }
  if (mod.call) mod.call->pending_indication = 0;
  return DISPATCH;
}

// ---- management requests relayed by ENT_SM ----------------------------------------
// Header 91 as this entity reads it: w1 the sub-code, b1 the result byte and
// b2 the cause letter of the answer, w2 the record index, d1 and d2 the
// intervals (mode 2, mode 1; 0xFFFFFFFF: the binding's), b4 the mode digit,
// b5 the primary flag, b6 the exclusive flag.

ssc_hdr_mgmt* mgmt_of(ssc_handle* h) {
  auto* g = Ssc_first<ssc_hdr_mgmt>(h, ssc_header_id::MANAGEMENT);
  return ssc_ptr_set(reinterpret_cast<const char*>(g)) ? g : nullptr;
}

void ssc_answer_management() {
  msg_t* m = run().msg;
  ssc_hdr_mgmt* g = run().handle ? mgmt_of(run().handle) : nullptr;
  if (m == nullptr || m->p_buffer == nullptr || g == nullptr || m->p_buffer->data_size < SSC_SM_PREFIX_SIZE) return;
  u8* d = Buffer_data(m->p_buffer);
  d[6] = g->b1;
  d[7] = g->b2;
  m->code = SSC_SM_ANSWER;
  m->to = ENT_SM;
  m->from = ENT_SSC;
  run().msg = nullptr;
  Send_msg(m);
}

u8 classify_sm(msg_t* m) {
  ssc_module& mod = ssc_mod();
  if (m->code != SSC_SM_RQ) return DISPATCH;
  ssc_handle* h = new_handle(ssc_msg_type::NONE);
  run().handle = h;
  if (h == nullptr || Ssc_unformat_msg(h, m) != 2) return DROP;
  ssc_hdr_mgmt* g = mgmt_of(h);
  if (g == nullptr) return DROP;
  const ssc_mgmt_row* row = ssc_mgmt_row_of(static_cast<u8>(g->w1));
  if (row == nullptr) {
    g->b1 = 3;
    g->b2 = 'A';
  } else if (row->sel == ssc_sel::keepalive) {
    if (g->w2 == 0) {  // one keep-alive record per agent
      mod.keepalive = &mod.ua->keepalive;
      mod.binding = mod.keepalive->binding;
      set('G', row->event);
    } else {
      g->b1 = 3;
      g->b2 = 'B';
    }
  } else {
    mod.binding = &mod.ua->binding;
    set('G', row->event);
  }
  if (mod.event == SSC_EVENT_NONE) ssc_answer_management();
  return DISPATCH;
}

void ssc_keepalive__take() {
  ssc_module& mod = ssc_mod();
  ssc_keepalive& k = mod.ua->keepalive;
  if (k.mode != 0) return;
  k.binding = &mod.ua->binding;
  k.binding_index = mod.ua->binding.index;
  k.mode = 2;
  if (mod.ua->primary == SSC_NO_INDEX8) mod.ua->primary = k.index;
  ++mod.ua->binding.keepalive_count;
  mod.keepalive = &k;
  (void)ssc_report_event('A');
}

// Releases the probe call of the record (entries and call), if any.
void release_probe_call(ssc_keepalive& k) {
  ssc_module& mod = ssc_mod();
  if (k.call_index == SSC_NO_CONN) return;
  ssc_call* keep_call = mod.call;
  ssc_dialog_entry* keep_entry = mod.entry;
  if (ssc_call__by_sip_conn(k.call_index) == 2) {
    ssc_call* c = mod.call;
    while (c->first) {
      mod.entry = c->first;
      ssc_dialog__release();
    }
    (void)ssc_call__release();
  }
  k.call_index = SSC_NO_CONN;
  mod.call = keep_call == nullptr || keep_call->in_use ? keep_call : nullptr;
  mod.entry = mod.call ? keep_entry : nullptr;
}

void ssc_keepalive__release() {
  ssc_module& mod = ssc_mod();
  ssc_keepalive& k = mod.ua->keepalive;
  if (k.mode == 0) return;
  mod.keepalive = &k;
  (void)ssc_report_event('B');
  if (mod.ua->primary == k.index) mod.ua->primary = SSC_NO_INDEX8;
  if (k.binding && k.binding->keepalive_count) --k.binding->keepalive_count;
  if (k.probe_timer) {
    Timer_stop(k.probe_timer);
    Timer_free(k.probe_timer);
  }
  release_probe_call(k);
  const u8 index = k.index;
  const u16 id = k.probe_id;
  k = ssc_keepalive{};
  k.index = index;
  k.probe_id = id;
}

void ssc_binding__release() {
  ssc_binding& b = ssc_mod().ua->binding;
  if (b.state == 0) return;
  ssc_keepalive__release();
  const u8 index = b.index;
  const u32 id = b.id;
  release_handle(b.store);
  b = ssc_binding{};
  b.index = index;
  b.id = id;
  if (ssc_mod().ua->bindings_in_use) --ssc_mod().ua->bindings_in_use;
}

void probe_timer_start(ssc_keepalive& k, u32 ms) {
  if (k.probe_timer == nullptr) {
    k.probe_timer = Timer_alloc(ENT_SSC, ssc_mod().ua->nai, 'G', k.index);
    if (k.probe_timer == nullptr) return;
  }
  k.probe_id = static_cast<u16>(k.probe_id + 1);
  Timer_start(k.probe_timer, ms, k.probe_id, '2');
  k.running = 1;
}

u32 probe_interval(const ssc_keepalive& k) {
  const u32 v = k.mode == 1 ? k.interval_mode1 : k.interval_mode2;
  return v == 0xFFFFFFFFu || v == 0 ? 30000u : v;
}

// An OPTIONS probe built from the binding's headers: To is the local
// address, Request-URI its URI, a fresh Call-ID; sent on a call without user
// side whose SIP conn_id the record keeps.
void probe_send(ssc_keepalive& k) {
  ssc_module& mod = ssc_mod();
  if (k.call_index != SSC_NO_CONN) return;  // one probe at a time
  ssc_binding* b = k.binding;
  if (b == nullptr || b->store == nullptr) return;
  if (ssc_call__new_for_user(SSC_NO_CONN) != 2) {
    probe_timer_start(k, 1000);  // no call record free: try again later
    return;
  }
  ssc_call* c = mod.call;
  k.call_index = c->sip_conn;
  ssc_handle* h = new_handle(ssc_msg_type::NONE);
  if (h == nullptr || Ssc_copy_msg(h, b->store) == nullptr) {
    release_handle(h);
    release_probe_call(k);
    probe_timer_start(k, probe_interval(k));
    return;
  }
  h->type = ssc_msg_type::OPTIONS;
  for (unsigned id = 0; id < SSC_HEADER_ID_COUNT; ++id) {
    const auto hid = static_cast<ssc_header_id>(id);
    void** head = Ssc_list_head(h, hid);
    if (head == nullptr) continue;
    const bool keep = hid == ssc_header_id::FROM || hid == ssc_header_id::VIA || hid == ssc_header_id::ROUTE ||
                      hid == ssc_header_id::MAX_FORWARDS || hid == ssc_header_id::USER_AUTH;
    if (!keep || !Ssc_header_allowed(h->type, hid)) *head = nullptr;
  }
  auto* route = Ssc_first<ssc_hdr_route>(h, ssc_header_id::ROUTE);
  auto* to = static_cast<ssc_hdr_name_addr*>(Ssc_alloc_header(h, ssc_header_id::TO));
  auto* ruri = static_cast<ssc_hdr_request_uri*>(Ssc_alloc_header(h, ssc_header_id::REQUEST_URI));
  auto* cid = static_cast<ssc_hdr_call_id*>(Ssc_alloc_header(h, ssc_header_id::CALL_ID));
  char* id_text = static_cast<char*>(Ssc_alloc_area(h, 17));
  auto* from = Ssc_first<ssc_hdr_name_addr>(h, ssc_header_id::FROM);
  if (route == nullptr || to == nullptr || ruri == nullptr || cid == nullptr || id_text == nullptr) {
    release_handle(h);
    release_probe_call(k);
    probe_timer_start(k, probe_interval(k));
    return;
  }
  to->b1 = 0;
  to->uri = route->uri;
  to->uri.uri_text_2 = nullptr;  // the Route's parameters ("lr") are not the address's
  ruri->uri = to->uri;
  ssc_new_call_id_text(id_text, 17, mod.call_id_offset++);
  cid->local = id_text;
  cid->family = 0xFF;
  if (ssc_ptr_set(reinterpret_cast<const char*>(from))) {
    cid->family = from->uri.host_family;
    cid->host = from->uri.host_name;
    std::memcpy(cid->v4, from->uri.host_v4, 4);
    std::memcpy(cid->v6, from->uri.host_v6, 16);
  }
  if (!ssc_ptr_set(reinterpret_cast<const char*>(Ssc_first<ssc_hdr_u32>(h, ssc_header_id::MAX_FORWARDS)))) {
    if (auto* mf = static_cast<ssc_hdr_u32*>(Ssc_alloc_header(h, ssc_header_id::MAX_FORWARDS))) mf->value = 70;
  }
  run().tx_handle = h;
  (void)ssc_tx_track(h, SSC_TX_SENT);
  ssc_send(ENT_SIP, 0, SSC_OPTIONS_RQ);
}

// The probe ended (answer or error): release its call and wait for the next.
void probe_done(ssc_keepalive& k) {
  release_probe_call(k);
  if (k.mode != 1 && k.mode != 2) {
    (void)om_os_trap(312);
    return;
  }
  probe_timer_start(k, probe_interval(k));
}

}  // namespace

u8 ssc_classify_msg() {
  ssc_module& mod = ssc_mod();
  msg_t* m = run().msg;
  if (m->from == ENT_SSC) {
    if (ssc_ua__select(m->nai) != 2) {
      mod.event = SSC_EVENT_FAILED;
      return DROP;
    }
    return classify_self(m);
  }
  if (ssc_ua__select(m->nai) != 2) {
    mod.event = SSC_EVENT_FAILED;
    if (m->from == ENT_SIP) (void)ssc_report_error('a', 'r', m->nai);
    return DROP;
  }
  if (m->from == ENT_SM) return classify_sm(m);
  if (m->from == ENT_TI) return classify_timer(m);
  if (m->from == ENT_SIP) return classify_sip(m);
  return classify_user(m);
}

namespace {

// Every entry of the registration list registers again (event 91 on route
// 'H' to this entity, one message each).
void register_all_again() {
  ssc_module& mod = ssc_mod();
  ssc_call* const keep_call = mod.call;
  ssc_dialog_entry* const keep_entry = mod.entry;
  const u8 keep_route = mod.route;
  for (ssc_dialog_entry* e : mod.ua->reg_slots) {
    if (e == nullptr || e->call == nullptr || !e->call->in_use) continue;
    mod.call = e->call;
    mod.entry = e;
    mod.route = 'H';
    ssc_send(ENT_SSC, 'H', 91);
  }
  mod.call = keep_call;
  mod.entry = keep_entry;
  mod.route = keep_route;
}

}  // namespace

void ssc_general_event() {
  ssc_module& mod = ssc_mod();
  ssc_hdr_mgmt* g = run().handle ? mgmt_of(run().handle) : nullptr;
  switch (mod.event) {
    case 83:  // selects the record and does nothing more
      return;
    case 84: {  // mode and primary
      if (g == nullptr) return;
      g->b1 = 2;
      ssc_keepalive& k = mod.ua->keepalive;
      if (g->b4 == '1' || g->b4 == '2') {
        if (k.mode != 0) k.mode = static_cast<u8>(g->b4 - '0');
      } else {
        g->b1 = 3;
        g->b2 = 'C';
        ssc_answer_management();
        return;
      }
      k.primary_candidate = g->b5 ? 1 : 0;
      const u8 old = mod.ua->primary;
      if (old != SSC_NO_INDEX8 && !k.primary_candidate) mod.ua->primary = SSC_NO_INDEX8;
      if (mod.ua->primary == SSC_NO_INDEX8 && k.primary_candidate && k.mode != 0) mod.ua->primary = k.index;
      if (mod.ua->primary != old) {
        mod.ua->previous_primary = old;
        if (mod.ua->primary != SSC_NO_INDEX8 && (mod.ua->option_flags & 0x20) != 0) register_all_again();
        (void)ssc_report_event('E');
      }
      ssc_answer_management();
      return;
    }
    case 86: {  // set binding
      if (g == nullptr) return;
      ssc_binding& b = mod.ua->binding;
      if (b.state != 0) {
        g->b1 = 3;
        g->b2 = 'E';
        ssc_answer_management();
        return;
      }
      g->b1 = 2;
      b.interval_mode2 = g->d1;
      b.interval_mode1 = g->d2;
      b.state = 1;
      ++mod.ua->bindings_in_use;
      mod.binding = &b;
      b.store = run().handle;
      ++b.store->ref_count;
      if (Ssc_first<ssc_hdr_route>(run().handle, ssc_header_id::ROUTE) != nullptr) {
        ssc_keepalive__take();
        b.state = 3;
      }
      ssc_answer_management();
      return;
    }
    case 87:  // clear binding, no answer
      ssc_binding__release();
      return;
    case 66: {  // local addresses: the binding is made anew from them
      ssc_binding__release();
      ssc_handle* h = run().handle;
      if (h == nullptr) return;
      ssc_binding& b = mod.ua->binding;
      if (ssc_ptr_set(reinterpret_cast<const char*>(Ssc_first<ssc_hdr_route>(h, ssc_header_id::ROUTE)))) {
        b.state = 1;
        ++mod.ua->bindings_in_use;
        b.store = h;
        ++h->ref_count;
        mod.binding = &b;
        ssc_keepalive__take();
        b.state = 3;
      }
      if (run().sender != ENT_SSC && run().msg != nullptr) {
        // The user's request is answered: type 36 with 200 "OK" (a copy: the
        // binding keeps the request's headers).
        ssc_handle* a_h = new_handle(ssc_msg_type::NONE);
        if (a_h == nullptr || Ssc_copy_msg(a_h, h) == nullptr) {
          release_handle(a_h);
          return;
        }
        h = a_h;
        h->type = ssc_msg_type::LOCAL_ADDR_RS;
        for (unsigned id = 0; id < SSC_HEADER_ID_COUNT; ++id) {
          const auto hid = static_cast<ssc_header_id>(id);
          void** head = Ssc_list_head(h, hid);
          if (head && !Ssc_header_allowed(h->type, hid)) *head = nullptr;
        }
        if (auto* st = static_cast<ssc_hdr_status*>(Ssc_alloc_header(h, ssc_header_id::RETURN_CODE))) {
          st->code = 200;
          st->reason = "OK";
        }
        msg_t* a = SIP_sc_format_rq(mod.ua->nai, run().msg->conn_id, run().msg->sapi, h);
        release_handle(h);
        if (a) {
          a->from = ENT_SSC;
          a->to = run().sender;
          Send_msg(a);
        }
      }
      return;
    }
    case 82: {  // start keep-alive
      if (g == nullptr) return;
      ssc_keepalive& k = mod.ua->keepalive;
      ssc_binding* b = k.binding;
      g->b1 = 2;
      ssc_handle* src = b ? b->store : nullptr;
      const bool has_from =
          src && ssc_ptr_set(reinterpret_cast<const char*>(Ssc_first<ssc_hdr_name_addr>(src, ssc_header_id::FROM)));
      const bool has_via =
          src && ssc_ptr_set(reinterpret_cast<const char*>(Ssc_first<ssc_hdr_via>(src, ssc_header_id::VIA)));
      if (k.mode == 0 || !has_from || !has_via) {
        g->b1 = 3;
        g->b2 = 'C';
        ssc_answer_management();
        return;
      }
      k.interval_mode2 = g->d1 != 0xFFFFFFFFu ? g->d1 : b->interval_mode2;
      k.interval_mode1 = g->d2 != 0xFFFFFFFFu ? g->d2 : b->interval_mode1;
      if (k.probe_timer == nullptr) {
        k.probe_timer = Timer_alloc(ENT_SSC, mod.ua->nai, 'G', k.index);
        if (k.probe_timer == nullptr) {
          g->b1 = 3;
          g->b2 = 'D';
          ssc_answer_management();
          return;
        }
      }
      mod.keepalive = &k;
      ssc_send(ENT_SSC, 'G', 88);
      ssc_answer_management();
      return;
    }
    case 85:
    case 88: probe_send(mod.ua->keepalive); return;
    case 43: {  // the probe's answer
      ssc_keepalive& k = mod.ua->keepalive;
      auto* st = run().handle ? Ssc_first<ssc_hdr_status>(run().handle, ssc_header_id::RETURN_CODE) : nullptr;
      const u16 code = ssc_ptr_set(reinterpret_cast<const char*>(st)) ? st->code : 0;
      k.last_status = code;
      if (code >= 100 && code <= 199) return;
      mod.keepalive = &k;
      (void)ssc_report_event(code >= 200 && code <= 299 ? 'C' : 'D');
      probe_done(k);
      return;
    }
    case 56: {  // SIP_ERROR_IN on the probe
      ssc_keepalive& k = mod.ua->keepalive;
      mod.keepalive = &k;
      (void)ssc_report_event('D');
      probe_done(k);
      return;
    }
    case 90: {  // hold timer: the record runs free again
      ssc_keepalive& k = mod.ua->keepalive;
      k.running = 0;
      k.counter = 0;
      return;
    }
    default:
      // Keep-alive probes, local addresses and hold timers are not built here.
      ssc_stub_events().push_back({'G', mod.event, SSC_NO_CONN});
      return;
  }
}

void ssc_route_event() {
  switch (ssc_mod().route) {
    case 'A': ssc_profile_prim(); break;
    case 'C': entry_machine()(); break;
    case 'F': call_machine()(); break;
    case 'G': ssc_general_event(); break;
    case 'H': {
      // The entry of the message becomes the saved registration entry; a
      // message whose call is gone runs on the one saved before.
      ssc_module& mod = ssc_mod();
      if (mod.entry != nullptr && mod.call != nullptr) {
        mod.reg_entry = mod.entry;
        mod.reg_call = mod.call;
      } else if (mod.reg_entry != nullptr && mod.reg_call != nullptr && mod.reg_call->in_use) {
        mod.entry = mod.reg_entry;
        mod.call = mod.reg_call;
      }
      entry_machine()();
      break;
    }
    case 'I':
      call_machine()();
      ssc_general_event();
      break;
    default: break;
  }
}

// ---- the handler -------------------------------------------------------------------

namespace {

void handle_one(msg_t* m) {
  ssc_module& mod = ssc_mod();
  mod.ua = nullptr;
  mod.call = nullptr;
  mod.entry = nullptr;
  mod.binding = nullptr;
  mod.keepalive = nullptr;
  mod.route = SSC_ROUTE_NONE;
  mod.event = SSC_EVENT_NONE;
  ssc_run_state& r = run();
  r.msg = m;
  r.handle = nullptr;
  r.tx_handle = nullptr;
  r.code = static_cast<u8>(m->code);
  r.sender = m->from;
  install_glue();
  if (m->from == ENT_SM && (m->code == SM_CONFIG_RQ || m->code == SM_RST_CFG_RQ || m->code == SM_STOP_RQ)) {
    management(m);
  } else if (ssc_classify_msg() == DISPATCH) {
    ssc_route_event();
  }
  release_handle(r.handle);
  release_handle(r.tx_handle);
  if (r.msg) Free_msg(r.msg);
  r.msg = nullptr;
  if (r.building) Free_msg(r.building);
  r.building = nullptr;
}

}  // namespace

void ssc_entity_handler(msg_t* m) {
  handle_one(m);
  auto& q = self_queue();
  while (!q.empty()) {
    msg_t* next = q.front();
    q.pop_front();
    handle_one(next);
  }
  ssc_tx_free_closed();
}
