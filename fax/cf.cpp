#include "fax/cf.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <vector>

#include "common/byte_order.h"
#include "fax/fax_bit.h"
#include "fax/fax_msg.h"
#include "fax/t30_capability.h"
#include "fax/t30_engine.h"
#include "fax/t30_ident.h"
#include "runtime/buffer.h"
#include "runtime/entity.h"
#include "runtime/om_os.h"
#include "runtime/sm.h"

namespace {

using bytes = std::vector<u8>;

struct cf_layer {
  std::vector<std::unique_ptr<cf_context>> slots;
  bool made = false;
  msg_t* config = nullptr;  // SM_CONFIG_RQ kept until the engine confirms
  nai_t config_nai = 0;
};
cf_layer g;
bool g_kept = false;  // the message being handled was sent on or kept

// ---------------------------------------------------------------------------
// Message helpers.

bytes data_of(const msg_t* m) {
  if (m->p_buffer) {
    bytes out;
    for (const buffer_t* b = m->p_buffer; b; b = b->next)
      out.insert(out.end(), Buffer_data(b), Buffer_data(b) + b->data_size);
    return out;
  }
  return bytes(Msg_inline_data(m), Msg_inline_data(m) + m->data_size);
}

// The inline parameter word n of a message that carries its octets in a chain.
u16 param_of(const msg_t* m, unsigned n = 0) {
  if (m->data_size < 2 * (n + 1)) return 0;
  return get_le16(Msg_inline_data(m) + 2 * n);
}

u16 word_of(const bytes& d, size_t at) { return d.size() >= at + 2 ? get_le16(d.data() + at) : 0; }
u8 byte_of(const bytes& d, size_t at) { return d.size() > at ? d[at] : 0; }

msg_t* new_msg(ent_id_t to, code_t code, nai_t nai, u8 sapi, u16 conn_id, std::span<const u8> body) {
  if (body.size() > om_os_get_buffer_room()) {
    om_os_trap(CF_TRAP_BODY_SIZE);
    return nullptr;
  }
  return fax_new_msg(ENT_CF, to, code, nai, sapi, conn_id, body);
}

void up(const cf_context& c, code_t code, std::span<const u8> body = {}) {
  if (msg_t* m = new_msg(c.user, code, c.nai, CF_SAPI, c.conn_id, body)) Send_msg(m);
}

// The engine's channel of a context is its nai.
void down(const cf_context& c, code_t code, std::span<const u8> body = {}, u8 sapi = CF_SAPI) {
  if (msg_t* m = new_msg(ENT_T30, code, c.nai, sapi, c.nai, body)) Send_msg(m);
}

void down_word(const cf_context& c, code_t code, u16 w) {
  u8 b[2];
  put_le16(b, w);
  down(c, code, b);
}

// A message with its parameter word inline and `octets` in a chain.
msg_t* new_data_msg(const cf_context& c, ent_id_t to, code_t code, u16 param, std::span<const u8> octets, u8 sapi) {
  msg_t* m = Alloc_msg();
  if (!m) return nullptr;
  Msg_set_head(m, {ENT_CF, to, code, c.nai, sapi, to == ENT_T30 ? c.nai : c.conn_id});
  u8 w[2];
  put_le16(w, param);
  Msg_set_inline_body(m, w, 2);
  return fax_attach_copy(m, octets) ? m : nullptr;
}

void reverse_chain(msg_t* m) {
  for (buffer_t* b = m->p_buffer; b; b = b->next) {
    u8* p = Buffer_data(b);
    for (u16 i = 0; i < b->data_size; ++i) p[i] = fax_bit_tables.reverse[p[i]];
  }
}

cf_context* find(nai_t nai) {
  if (nai >= g.slots.size()) return nullptr;
  return g.slots[nai].get();
}

// ---------------------------------------------------------------------------
// Parameter sets.

u8 top_bit_index(u8 bits) {  // 1, 2, 4 -> 0, 1, 2
  if (bits & 4) return 2;
  if (bits & 2) return 1;
  return 0;
}

// ECM code position ('0', '6', '2') of an engine ECM field and frame size.
u8 ecm_index(u8 ecm, u8 frame) {
  if (ecm == 0) return 0;
  return frame == 1 ? 1 : 2;
}

// The far side's set from a capability area, within the limits.
void store_remote(cf_context& c, const t30_capability& cap) {
  const cf_param_set& lim = c.info.params.limit;
  cf_remote& r = c.info.remote;
  r.service = cap.service;
  if ((cap.service & 0x1300) == 0x1000) r.service = static_cast<u16>(r.service | 0x200);
  cf_param_set& s = r.set;
  const cf_speed_range sp = cf_remote_speeds(cap.modulation);
  s.min_speed = sp.min_index;
  s.max_speed = sp.max_index;
  s.resolution = cap.resolution & lim.resolution;
  s.coding = static_cast<u8>((cap.coding & 0x0F) & lim.coding);
  s.width = std::min(top_bit_index(cap.width), lim.width);
  s.length = std::min(top_bit_index(cap.length), lim.length);
  s.letter = std::min<u8>(cap.letter ? 1 : 0, lim.letter);
  s.legal = std::min<u8>(cap.legal ? 1 : 0, lim.legal);
  s.ecm = std::min(ecm_index(cap.ecm, cap.ecm_frame_size), lim.ecm);
  s.ecm_frame = std::min(ecm_index(cap.ecm, cap.ecm_frame_size), lim.ecm_frame);
  s.scan = std::max<u8>(cap.scan_time == T30_SCAN_NOT_GIVEN ? 0 : cap.scan_time, lim.scan);
  const u8 given[CF_FLAGS] = {cap.subaddress,
                              cap.password,
                              cap.selective_polling,
                              cap.polled_subaddress,
                              cap.t37,
                              cap.internet_fax_mode,
                              cap.ira,
                              cap.isp,
                              cap.unit_preference,
                              0};
  for (size_t i = 0; i < CF_FLAGS; ++i) {
    if (i == CF_FLAG_INTERNET_FAX || i == CF_FLAG_UNIT) s.flags[i] = given[i];
    else s.flags[i] = std::min<u8>(given[i] ? 1 : 0, lim.flags[i]);
  }
}

constexpr u16 kResolutionOrder[] = {0x020, 0x200, 0x010, 0x100, 0x008, 0x080, 0x004, 0x040, 0x002};

bool sending(const cf_context& c) { return (c.service & 0x200) != 0; }

void negotiate(cf_context& c) {
  const cf_params& p = c.info.params;
  const cf_param_set& se = p.session;
  const cf_param_set& fa = c.info.remote.set;
  cf_param_set n = se;
  n.min_speed = std::max(se.min_speed, fa.min_speed);
  n.max_speed = std::min(se.max_speed, fa.max_speed);
  n.coding = se.coding & fa.coding;
  n.width = std::min(se.width, fa.width);
  n.length = std::min(se.length, fa.length);
  n.letter = std::min(se.letter, fa.letter);
  n.legal = std::min(se.legal, fa.legal);
  n.ecm = std::min(se.ecm, fa.ecm);
  n.ecm_frame = std::min(se.ecm_frame, fa.ecm_frame);
  n.scan = std::max(se.scan, fa.scan);
  for (size_t i = 0; i < CF_FLAGS; ++i) n.flags[i] = std::min(se.flags[i], fa.flags[i]);
  n.flags[CF_FLAG_UNIT] = se.flags[CF_FLAG_UNIT];
  if (sending(c) && p.polling == 0) {
    const u16 common = se.resolution & fa.resolution;
    n.resolution = 0x001;
    for (u16 bit : kResolutionOrder) {
      if (common & bit) {
        n.resolution = bit;
        break;
      }
    }
  } else {
    n.resolution = se.resolution & p.limit.resolution;
  }
  c.info.params.negotiated = n;
}

// The negotiated set as the engine reads it from T30_WhatToDo_RS.
bytes what_to_do_area(const cf_context& c) {
  const cf_params& p = c.info.params;
  const cf_param_set& n = p.negotiated;
  u16 service = c.service;
  bool receive_tables = (service & 0x100) != 0;
  if ((service & 0x200) && p.polling == 1) {
    service = 0x1000;
    receive_tables = true;
  } else if ((service & 0x100) && p.doc_ready == 1) {
    service = static_cast<u16>(service | 0x1000);
  }
  t30_cap_area a;
  a.cap = t30_cap__defaults();
  t30_capability& cap = a.cap;
  cap.service = service;
  cap.modulation = cf_speed_mask(n.min_speed, n.max_speed, receive_tables);
  cap.resolution = n.resolution;
  cap.coding = n.coding;
  cap.width = static_cast<u8>((2u << n.width) - 1);
  cap.length = static_cast<u8>((2u << n.length) - 1);
  cap.scan_time = n.scan;
  cap.ecm = n.ecm == 0 ? 0 : (n.ecm == 1 ? 1 : 2);
  cap.ecm_frame_size = cap.ecm;
  // A receiver that is given a frame size offers error correction with it,
  // whatever the ECM code (the frame size is what the DIS bit stands for).
  if ((c.service & 0x100) && cap.ecm_frame_size == 0 && n.ecm_frame != 0) {
    cap.ecm_frame_size = n.ecm_frame == 1 ? 1 : 2;
    cap.ecm = cap.ecm_frame_size;
  }
  cap.subaddress = n.flags[CF_FLAG_SUBADDRESS];
  cap.password = n.flags[CF_FLAG_PASSWORD];
  cap.selective_polling = n.flags[CF_FLAG_SELECTIVE_POLLING];
  cap.polled_subaddress = n.flags[CF_FLAG_POLLED_SUBADDRESS];
  cap.unit_preference = n.flags[CF_FLAG_UNIT];
  cap.letter = n.letter;
  cap.legal = n.legal;
  if (sending(c)) {
    // The pages go out in the negotiated format: one resolution, the best
    // common coding, the narrowest common width.
    u8 coding = T30_CODING_MH;
    if (n.coding & T30_CODING_MMR) coding = T30_CODING_MMR;
    else if (n.coding & T30_CODING_MR) coding = T30_CODING_MR;
    a.selection = {n.resolution, coding, T30_WIDTH_A4};
  } else {
    a.selection = T30_LOCAL_SELECTION;
  }
  std::array<u8, T30_CAP_AREA_SIZE> out{};
  t30_cap__write_area(out, a);
  return bytes(out.begin(), out.end());
}

// The negotiated set from T30_EONEG_IN.
void store_negotiated(cf_context& c, const t30_capability& cap) {
  cf_param_set& n = c.info.params.negotiated;
  const u8 sp = cf_speed_index(cap.modulation);
  n.min_speed = n.max_speed = sp;
  n.resolution = cap.resolution;
  n.coding = cap.coding;
  n.width = top_bit_index(cap.width);
  n.length = top_bit_index(cap.length);
  n.ecm = ecm_index(cap.ecm, cap.ecm_frame_size);
  n.ecm_frame = n.ecm;
  if (cap.scan_time != T30_SCAN_NOT_GIVEN) n.scan = cap.scan_time;
  n.letter = cap.letter ? 1 : 0;
  n.legal = cap.legal ? 1 : 0;
}

// ---------------------------------------------------------------------------
// T30_SETPARM_RQ sets.

void setparm(const cf_context& c, u16 id) {
  bytes data;
  switch (id) {
    case 17:
    case 18:
    case 19:
      if (c.nsf_kind == 0 || static_cast<u16>(17 + (c.nsf_kind == 'C' ? 1 : c.nsf_kind == 'S' ? 2 : 0)) != id) return;
      data.assign(c.nsf.begin(), c.nsf.begin() + c.nsf_length);
      break;
    case 20:
    case 21:
      if (!c.local_id_set[id - 20]) return;
      data.assign(c.info.local_id[id - 20].begin(), c.info.local_id[id - 20].end());
      break;
    case 22:
    case 23:
    case 24:
    case 25:
      if (!c.fields_set[id - 22]) return;
      data.assign(c.fields[id - 22].begin(), c.fields[id - 22].end());
      break;
    case 26:
    case 27:
    case 28: {
      if (!c.local_address_set[id - 26]) return;
      const cf_address& a = c.info.local_address[id - 26];
      data.push_back(a.type);
      data.push_back(a.length);
      data.insert(data.end(), a.text.begin(), a.text.begin() + a.length);
      break;
    }
    default: return;
  }
  if (data.empty()) return;
  if (msg_t* m = new_data_msg(c, ENT_T30, T30_SETPARM_RQ, id, data, static_cast<u8>(id))) Send_msg(m);
}

void setparm_set(const cf_context& c, std::initializer_list<u16> ids) {
  for (u16 id : ids) setparm(c, id);
}

void what_to_do_rs(const cf_context& c) { down(c, T30_WhatToDo_RS, what_to_do_area(c)); }

void info_in(const cf_context& c, u8 kind) {
  std::array<u8, CF_INFO_SIZE> r{};
  cf_write_info(c.info, kind, r);
  up(c, CF_INFO_IN, r);
}

// ---------------------------------------------------------------------------
// Page data.

void release_held(cf_context& c) {
  for (msg_t* m : c.held) Free_msg(m);
  c.held.clear();
}

// Held messages go to the engine in order until an end mark; then data
// stops and the page end follows.
void flush_held(cf_context& c) {
  while (c.data_flows && !c.held.empty()) {
    msg_t* m = c.held.front();
    c.held.pop_front();
    const bool end = m->code == T30_END_PAGE_RQ;
    if (end) {
      Free_msg(m);
      c.data_flows = false;
      if (msg_t* e = new_data_msg(c, ENT_T30, T30_DA_RQ, 1, {}, CF_SAPI)) Send_msg(e);
      down_word(c, T30_END_PAGE_RQ, cf_end_page_rq(c.processing_tx, c.interrupt, c.retrain));
      return;
    }
    Send_msg(m);
  }
}

void allow_data(cf_context& c) {
  c.data_flows = true;
  flush_held(c);
}

// ---------------------------------------------------------------------------
// User requests.

void keep_setparm_fields(cf_context& c, const bytes& r) {
  for (size_t k = 0; k < 2; ++k) {
    const size_t at = 100 + 21 * k;
    if (r[at] == 1) {
      std::memcpy(c.info.local_id[k].data(), &r[at + 1], CF_ID_SIZE);
      c.local_id_set[k] = true;
    }
  }
  for (size_t k = 0; k < 3; ++k) {
    const size_t at = 142 + 80 * k;
    if (r[at] == 1) {
      cf_address& a = c.info.local_address[k];
      a.type = r[at + 1];
      a.length = std::min<u8>(r[at + 2], CF_ADDRESS_TEXT);
      std::memcpy(a.text.data(), &r[at + 3], CF_ADDRESS_TEXT);
      c.local_address_set[k] = true;
    }
  }
  for (size_t k = 0; k < 4; ++k) {
    const size_t at = 398 + 21 * k;
    if (r[at] == 1) {
      std::memcpy(c.fields[k].data(), &r[at + 1], CF_ID_SIZE);
      c.fields_set[k] = true;
    }
  }
  const u8 kind = r[482];
  if (kind == 'F' || kind == 'C' || kind == 'S') {
    c.nsf_kind = kind;
    c.nsf_length = std::min<u8>(r[483], CF_NSF_SIZE);
    std::memcpy(c.nsf.data(), &r[484], CF_NSF_SIZE);
  } else {
    c.nsf_kind = 0;
  }
}

// The answers to requests taken from any entity go to the one that asked.
void answer(const cf_context& c, const msg_t* m, code_t code, std::span<const u8> body) {
  if (msg_t* a = new_msg(m->from, code, c.nai, CF_SAPI, m->conn_id, body)) Send_msg(a);
}

void handle_setparm(cf_context& c, const msg_t* m, bytes& r) {
  if (r.size() < CF_SETPARM_SIZE) return;
  if (!cf_apply_setparm(c.info.params, std::span<u8>(r.data(), CF_SETPARM_SIZE))) return;
  keep_setparm_fields(c, r);
  answer(c, m, CF_SETPARM_CO, std::span<const u8>(r.data(), CF_SETPARM_SIZE));
}

void handle_info_rq(cf_context& c, const msg_t* m, bytes& r) {
  if (r.size() < CF_INFO_SIZE || (r[3] != 'P' && r[3] != 'S')) return;
  std::span<u8, CF_INFO_SIZE> rec(r.data(), CF_INFO_SIZE);
  cf_write_info(c.info, r[3], rec);
  answer(c, m, CF_INFO_CO, rec);
}

void answer_init_stop(const cf_context& c, const msg_t* m, code_t code, bool ok, size_t size) {
  bytes b(size, 0);
  b[0] = ok ? 2 : 3;
  if (msg_t* a = new_msg(m->from, code, c.nai, CF_SAPI, m->conn_id, b)) Send_msg(a);
}

void full_set(const cf_context& c) { setparm_set(c, {17, 20, 26, 22, 23, 24, 25, 27, 28}); }

void user_request(cf_context& c, msg_t* m) {
  const bool connected = c.state == CF_CONN_CONNECTED;
  switch (m->code) {
    case CF_INIT_RQ: {
      const bytes d = data_of(m);
      const bool ok = !c.initialised;
      if (ok) {
        c.user = m->from;
        c.conn_id = m->conn_id;
        c.mode = byte_of(d, 4);
        c.role = byte_of(d, 3);
        c.service = c.role == 'O' ? 0x200 : 0x100;
        c.options56 = byte_of(d, 56);
        c.options6 = word_of(d, 6);
        c.info.remote = {};
        c.what_to_do = 0;
        c.exchanges = 0;
        c.readiness = 0;
        c.answered = false;
        c.pending = 0;
        c.state = CF_CONN_IDLE;
        c.phase = 0;
        c.initialised = true;
      }
      answer_init_stop(c, m, CF_INIT_CO, ok, 60);
      return;
    }
    case CF_STOP_RQ: {
      const bool ok = c.state == CF_CONN_IDLE;
      if (ok) {
        c.initialised = false;
        c.info.params.session = c.info.params.configured;
        c.info.params.negotiated = c.info.params.session;
      }
      answer_init_stop(c, m, CF_STOP_CO, ok, 3);
      return;
    }
    case CF_SETPARM_RQ: {
      bytes r = data_of(m);
      handle_setparm(c, m, r);
      return;
    }
    case CF_INFO_RQ: {
      bytes r = data_of(m);
      handle_info_rq(c, m, r);
      return;
    }
    case CF_DISC_RQ:
      release_held(c);
      c.data_flows = false;
      down(c, T30_DISC_RQ);
      return;
    default: break;
  }
  if (!c.initialised || c.mode != 'F') {
    if (m->code == CF_INT_SYNC_RQ) up(c, CF_INT_SYNC_CO);
    return;
  }
  switch (m->code) {
    case CF_CONN_RQ: {
      if (c.state != CF_CONN_IDLE) return;  // refused while connecting or connected
      const cf_params& p = c.info.params;
      u8 b[9] = {};
      put_le16(b, c.role == 'O' ? 2 : 1);
      put_le16(b + 2, p.polling ? 1 : 0);
      put_le16(b + 4, p.configured.max_speed == 6 ? 1 : 0);
      b[6] = c.options56;
      put_le16(b + 7, c.options6);
      down(c, T30_CONN_RQ, b);
      c.state = CF_CONN_CONNECTING;
      c.pending = 'F';
      c.exchanges = 0;
      return;
    }
    case CF_CAPBILITY_RQ:
      if (!connected) {
        u8 b[4];
        put_le32(b, c.what_to_do);
        up(c, CF_CAPBILITY_CO, b);
        return;
      }
      c.readiness |= 2;
      c.pending = 'R';
      // The engine's question may have been answered already (a retrain
      // after a refused page): a second answer would stop it. The
      // confirmation then comes with the end of that negotiation.
      if (c.answered) return;
      negotiate(c);
      full_set(c);
      what_to_do_rs(c);
      c.answered = true;
      return;
    case CF_CAPBILITY_RS:
      if (!connected || c.phase != 2) return;
      negotiate(c);
      setparm_set(c, {17, 20, 26});
      what_to_do_rs(c);
      return;
    case CF_DA_RQ:
      if (!connected || (c.phase != 3 && c.phase != 5)) {
        ++c.refused;
        return;
      }
      c.bytes_sent += m->chain_size;
      if (c.info.params.bit_order == 0) reverse_chain(m);
      m->from = ENT_CF;
      m->to = ENT_T30;
      m->code = T30_DA_RQ;
      m->sapi = CF_SAPI;
      m->conn_id = c.nai;
      g_kept = true;
      if (c.data_flows && c.held.empty()) {
        Send_msg(m);
      } else {
        c.held.push_back(m);
      }
      return;
    case CF_MAJR_SYNC_RQ: {
      if (!connected || (c.phase != 3 && c.phase != 5)) return;
      const bytes d = data_of(m);
      c.processing_tx = static_cast<char>(byte_of(d, 3));
      c.retrain = byte_of(d, 5) == 1;
      // The end mark: the message itself, turned into the page end.
      m->code = T30_END_PAGE_RQ;
      g_kept = true;
      c.held.push_back(m);
      flush_held(c);
      return;
    }
    case CF_MAJR_SYNC_RS: {
      if (!connected || c.phase != 4) return;
      const bytes d = data_of(m);
      const char q = byte_of(d, 4) ? static_cast<char>(byte_of(d, 4)) : c.quality_rx;
      c.quality_tx = q;
      down_word(c, T30_END_PAGE_RS, static_cast<u16>(cf_end_page_rs(q, false) | (byte_of(d, 5) == 1 ? 4 : 0)));
      // A last page answered 'B' (RTN) may come again after a new training:
      // the session stays ready to receive it until the far side clears.
      if (c.processing_rx == 'N') c.phase = 1;
      else if (c.processing_rx == 'S' && q != 'B') c.phase = 2;
      return;
    }
    case CF_INT_SYNC_RQ: down(c, T30_SYNC_RQ); return;
    case CF_BUSY_RQ: down(c, T30_BUSY_RQ); return;
    case CF_CLR_BUSY_RQ: down(c, T30_CLR_BUSY_RQ); return;
    case CF_FLUSH_RQ:  // nothing is held back here to flush
    default: return;
  }
}

// ---------------------------------------------------------------------------
// T.30 engine events.

void t30_event(cf_context& c, msg_t* m) {
  const bytes d = data_of(m);
  switch (m->code) {
    case T30_BUSY_IN: up(c, CF_BUSY_IN); return;
    case T30_CLR_BUSY_IN: up(c, CF_CLR_BUSY_IN); return;
    case T30_SYNC_CO: up(c, CF_INT_SYNC_CO); return;
    case T30_CONN_CO:
      if (c.state != CF_CONN_CONNECTING) return;
      c.state = CF_CONN_CONNECTED;
      c.phase = 1;
      return;
    case T30_DISC_IN: {
      if (c.state == CF_CONN_IDLE) return;
      const u16 cause = static_cast<u16>(word_of(d, 0) & 0x3F);
      release_held(c);
      c.data_flows = false;
      c.state = CF_CONN_IDLE;
      c.phase = 0;
      if (cause == 8) {
        up(c, CF_DISC_CO);
        return;
      }
      c.info.cause = cf_session_cause(cause);
      const u8 b[1] = {c.info.cause};
      up(c, CF_DISC_IN, b);
      return;
    }
    case T30_PROGRESS_IN: {
      const u16 kind = param_of(m);
      const bytes item = m->p_buffer ? data_of(m) : bytes{};
      cf_remote& r = c.info.remote;
      switch (kind) {
        case 1:
        case 2:
        case 3: r.keep_nsf(item); break;
        case 4: r.id.keep(item); break;
        case 5: r.subaddress.keep(item); break;
        case 6: r.password.keep(item); break;
        case 7: r.selective_polling.keep(item); break;
        case 8: r.psa.keep(item); break;
        case 9:
        case 10:
        case 11: cf_remote::keep_address(r.addresses[kind - 9], item); break;
        case 12:
          c.info.line_rate = param_of(m, 1);
          c.info.line_word = param_of(m, 2);
          info_in(c, CF_INFO_IN_LINE_RATE);
          break;
        default: break;
      }
      return;
    }
    default: break;
  }
  if (c.state != CF_CONN_CONNECTED) return;
  switch (m->code) {
    case T30_WhatToDo_IN: {
      if (d.size() < T30_CAP_AREA_SIZE) return;
      const t30_cap_area a = t30_cap__read_area(std::span<const u8, T30_CAP_AREA_SIZE>(d.data(), T30_CAP_AREA_SIZE));
      c.answered = false;
      if (c.phase == 1) {
        ++c.exchanges;
        c.what_to_do = get_le32(d.data() + 4);
        store_remote(c, a.cap);
        negotiate(c);
        const bool first = c.exchanges == 1;
        if (sending(c)) {
          c.readiness |= 4;
          if (first) {
            info_in(c, CF_INFO_IN_FLAGS);
            info_in(c, CF_INFO_IN_DIS_RECEIVED);
            u8 b[12] = {2};
            put_le32(b + 8, c.what_to_do);
            up(c, CF_CONN_CO, b);
            c.pending = 0;
          } else {
            info_in(c, CF_INFO_IN_DIS_RECEIVED);
            if ((c.readiness & 6) == 6) {
              setparm_set(c, {17, 20, 26, 22, 23, 28});
              what_to_do_rs(c);
              c.answered = true;
            }
          }
        } else if (first) {
          full_set(c);
          what_to_do_rs(c);
        } else {
          up(c, CF_CAPBILITY_IN);
        }
        c.phase = 2;
      } else if (c.phase == 2) {
        c.what_to_do = get_le32(d.data() + 4);
        store_remote(c, a.cap);
        info_in(c, CF_INFO_IN_DTC_RECEIVED);
        c.service = 0x200;
        c.info.params.polling = 0;
        negotiate(c);
      } else if (c.phase == 3) {
        negotiate(c);
        setparm_set(c, {20, 26, 22, 23, 28});
        what_to_do_rs(c);
        c.answered = true;
        c.phase = 5;
        c.data_flows = false;  // the next page waits for the end of negotiation
      }
      return;
    }
    case T30_EONEG_IN: {
      if ((c.phase != 2 && c.phase != 5) || d.size() < T30_CAP_AREA_SIZE) return;
      const t30_cap_area a = t30_cap__read_area(std::span<const u8, T30_CAP_AREA_SIZE>(d.data(), T30_CAP_AREA_SIZE));
      store_negotiated(c, a.cap);
      c.answered = false;
      const bool we_send = c.phase == 5 || (a.cap.service & 0x200) != 0;
      if (we_send) {
        info_in(c, CF_INFO_IN_DCS_SENT);
      } else {
        c.info.remote.set = c.info.params.negotiated;
        if (c.exchanges == 1 && c.info.params.polling == 0) info_in(c, CF_INFO_IN_FLAGS);
        info_in(c, CF_INFO_IN_DCS_RECEIVED);
      }
      if (c.pending == 'R') {
        u8 b[4];
        put_le32(b, c.what_to_do);
        up(c, CF_CAPBILITY_CO, b);
      } else if (c.pending == 'F') {
        u8 b[12] = {2};
        put_le32(b + 8, c.what_to_do);
        up(c, CF_CONN_CO, b);
      }
      c.pending = 0;
      c.phase = we_send ? 3 : 4;
      if (we_send) allow_data(c);
      return;
    }
    case T30_END_PAGE_IN: {
      if (c.phase != 4) return;
      c.quality_rx = cf_quality_letter(word_of(d, 0));
      c.processing_rx = cf_processing_letter(word_of(d, 2));
      u8 b[16] = {};
      b[3] = static_cast<u8>(c.processing_rx);
      b[4] = static_cast<u8>(c.quality_rx);
      b[5] = (word_of(d, 2) & 4) ? 1 : 0;
      std::memcpy(b + 8, d.size() >= 8 ? d.data() + 4 : b + 8, 4);
      const u16 w8 = word_of(d, 8);
      put_le16(b + 12, w8);
      put_le16(b + 14, w8 ? 1 : 0);
      up(c, CF_MAJR_SYNC_IN, b);
      return;
    }
    case T30_END_PAGE_CO: {
      // The engine answers with the far side's response only: the page end
      // it confirms is the one this layer asked for.
      const char q = cf_quality_letter(word_of(d, 0));
      const char p = c.processing_tx;
      u8 b[16] = {};
      b[3] = static_cast<u8>(p);
      b[4] = static_cast<u8>(q);
      b[5] = (word_of(d, 2) & 4) ? 1 : 0;
      up(c, CF_MAJR_SYNC_CO, b);
      if (c.phase != 3) return;
      if (p == 'N' || (q == 'B' && c.retrain)) {
        c.phase = 1;
      } else if (p == 'S') {
        c.phase = 3;
      } else {
        allow_data(c);
      }
      return;
    }
    case T30_DA_IN: {
      if (c.phase != 4) return;
      if (c.info.params.bit_order == 1) reverse_chain(m);
      m->from = ENT_CF;
      m->to = c.user;
      m->code = CF_DA_IN;
      m->sapi = CF_SAPI;
      m->conn_id = c.conn_id;
      g_kept = true;
      Send_msg(m);
      return;
    }
    default: return;
  }
}

// ---------------------------------------------------------------------------
// Configuration.

void sm_answer(msg_t* m, u8 result, u8 cause, ent_id_t who) {
  const u8 b[3] = {result, cause, who};
  if (msg_t* a = new_msg(ENT_SM, SM_CONFIG_CO, m->nai, m->sapi, m->conn_id, b)) Send_msg(a);
}

u8 limit_index(const u8* table, size_t n, u8 code, u8 fallback) {
  for (size_t i = 0; i < n; ++i)
    if (table[i] == code) return static_cast<u8>(i);
  return fallback;
}

void configure(msg_t* m) {
  const bytes d = data_of(m);
  if (d.size() < CF_CONFIG_SIZE) {
    sm_answer(m, 3, CF_CAUSE_ENTRIES, ENT_CF);
    return;
  }
  if (!g.made) {
    u16 n = get_le16(d.data() + 66);
    if (n == 0) n = om_os_get_max_nai();
    g.slots.clear();
    g.slots.resize(n);
    g.made = true;
  }
  if (get_le16(d.data() + 4) > 1) {
    sm_answer(m, 3, CF_CAUSE_ENTRIES, ENT_CF);
    return;
  }
  const nai_t nai = get_le16(d.data() + 8);
  if (nai >= g.slots.size()) {
    sm_answer(m, 3, CF_CAUSE_NAI_RANGE, ENT_CF);
    return;
  }
  if (g.slots[nai]) {
    sm_answer(m, 3, CF_CAUSE_NAI_CONFIGURED, ENT_CF);
    return;
  }
  if (g.config) {  // one configuration at a time
    sm_answer(m, 3, CF_CAUSE_ENTRIES, ENT_CF);
    return;
  }
  auto c = std::make_unique<cf_context>();
  c->nai = nai;
  c->conn_id = nai;
  cf_param_set& lim = c->info.params.limit;
  const int lo = cf_speed_index_of_code(d[32]);
  const int hi = cf_speed_index_of_code(d[33]);
  lim.min_speed = static_cast<u8>(lo < 0 ? 0 : lo);
  lim.max_speed = static_cast<u8>(hi < 0 ? 5 : hi);
  if (lim.min_speed > lim.max_speed) {
    sm_answer(m, 3, CF_CAUSE_SPEED_RANGE, ENT_CF);
    return;
  }
  static constexpr u8 kWidth[] = {'1', '2', '3'}, kLength[] = {'A', 'B', 'U'}, kEcm[] = {'0', '6', '2'};
  lim.resolution = get_le16(d.data() + 34) | 0x001;
  lim.coding = static_cast<u8>(d[36] & 0x0F);
  lim.width = limit_index(kWidth, 3, d[37], 0);
  lim.length = limit_index(kLength, 3, d[38], 0);
  lim.scan = d[39] >= '0' && d[39] <= '7' ? static_cast<u8>(d[39] - '0') : 0;
  lim.ecm = limit_index(kEcm, 3, d[40], 0);
  lim.ecm_frame = lim.ecm == 0 ? 0 : 2;
  lim.letter = lim.legal = 1;
  lim.flags.fill(1);
  lim.flags[CF_FLAG_UNIT] = 2;
  cf_params& p = c->info.params;
  p.configured = lim;
  p.configured.ecm_frame = lim.ecm;
  p.session = p.configured;
  p.negotiated = p.session;
  g.slots[nai] = std::move(c);
  // The engine's channel for this nai.
  u8 b[12] = {};
  b[2] = ENT_CF;
  put_le16(b + 3, 1);
  b[5] = 1;
  put_le16(b + 6, static_cast<u16>(g.slots.size()));
  put_le16(b + 8, nai);
  b[10] = d[52] ? d[52] : ENT_T38;  // the lower entity of the engine's V.34 control
  msg_t* r = new_msg(ENT_T30, MT30_CONFIG_RQ, nai, CF_SAPI, 0xFFFF, b);
  if (!r) {
    g.slots[nai].reset();
    sm_answer(m, 3, CF_CAUSE_NO_CONTEXT_MEMORY, ENT_CF);
    return;
  }
  g.config = m;
  g.config_nai = nai;
  g_kept = true;
  Send_msg(r);
}

void config_answer(const msg_t* m) {
  msg_t* kept = g.config;
  if (!kept) return;
  g.config = nullptr;
  const bool ok = Msg_data_size(m) >= 1 && Msg_data(m)[0] == 2;
  if (ok) {
    sm_answer(kept, 2, 0, ENT_CF);
  } else {
    if (g.config_nai < g.slots.size()) g.slots[g.config_nai].reset();
    sm_answer(kept, 3, CF_CAUSE_T30_REFUSED, ENT_T30);
  }
  Free_msg(kept);
}

void reset(msg_t* m) {
  cf_context* c = find(m->nai);
  const u8 b[3] = {static_cast<u8>(c ? 2 : 3), 0, ENT_CF};
  if (c) {
    // The engine's channel of this nai goes with the context: the next
    // configuration of the nai configures it again.
    const nai_t nai = m->nai;
    g.slots[nai].reset();
    if (msg_t* r = new_msg(ENT_T30, MT30_RELEASE_RQ, nai, CF_SAPI, nai, {})) Send_msg(r);
  }
  if (msg_t* a = new_msg(ENT_SM, SM_RST_CFG_CO, m->nai, m->sapi, m->conn_id, b)) Send_msg(a);
}

bool any_source(code_t code) {
  return code == CF_INIT_RQ || code == CF_INFO_RQ || code == CF_BUSY_RQ || code == CF_CLR_BUSY_RQ ||
         code == CF_SETPARM_RQ;
}

void handle(msg_t* m) {
  if (m->from == ENT_TI) {
    if (m->code != '0' && m->code != '5' && m->code != '6') om_os_trap(CF_TRAP_UNEXPECTED);
    return;
  }
  if (m->from == ENT_T30) {
    if (m->code == MT30_CONFIG_CO) {
      config_answer(m);
      return;
    }
    if (m->code == MT30_RELEASE_CO) return;
    static constexpr std::string_view kEvents = ")]-cdgjpstx";
    if (kEvents.find(static_cast<char>(m->code)) == std::string_view::npos) {
      om_os_trap(CF_TRAP_UNEXPECTED);
      return;
    }
    if (cf_context* c = find(m->nai)) t30_event(*c, m);
    return;
  }
  if (m->from == ENT_SM) {
    switch (m->code) {
      case SM_CONFIG_RQ: configure(m); return;
      case SM_RST_CFG_RQ: reset(m); return;
      case SM_BUSY_RQ:
      case SM_CLR_BUSY_RQ:
        if (cf_context* c = find(m->nai); c && c->mode == 'F' && c->state == CF_CONN_CONNECTED)
          down(*c, m->code == SM_BUSY_RQ ? T30_BUSY_RQ : T30_CLR_BUSY_RQ);
        return;
      default: return;
    }
  }
  cf_context* c = find(m->nai);
  if (!c) return;
  if (!any_source(m->code) && c->user != m->from) {
    om_os_trap(CF_TRAP_NOT_USER);
    return;
  }
  user_request(*c, m);
}

}  // namespace

cf_context::~cf_context() { release_held(*this); }

void cf_entity_handler(msg_t* m) {
  g_kept = false;
  handle(m);
  if (!g_kept) Free_msg(m);
}

void cf_release_all() {
  g.slots.clear();
  g.made = false;
  if (g.config) Free_msg(g.config);
  g.config = nullptr;
}

void cf_entity_init() { om_os_set_entity_stop(ENT_CF, cf_release_all); }

const cf_context* cf_find(nai_t nai) { return find(nai); }
