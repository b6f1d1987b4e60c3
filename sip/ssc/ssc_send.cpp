// Senders of ENT_SSC: the completion of an outgoing request or answer, ACK,
// CANCEL, REGISTER, the held messages, the OPTIONS keep-alive step and the
// profile handler of route 'A'.
#include "sip/ssc/ssc_build.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "runtime/buffer.h"
#include "runtime/msg.h"
#include "runtime/om_os.h"
#include "sip/ssc/ssc_build_int.h"
#include "sip/ssc/ssc_handler.h"
#include "sip/ssc/ssc_helpers.h"
#include "sip/ssc/ssc_ident.h"
#include "sip/ssc/ssc_internal.h"
#include "sip/ssc/ssc_tx.h"

using namespace ssc_build_detail;
using ssc_internal::new_handle;
using ssc_internal::release_handle;

namespace {

// The name-address list of `id` replaced by a copy of `src` with `tag`
// (null: the copy keeps its own; "" or a line feed: none).
bool put_party(ssc_handle* h, hid id, const ssc_hdr_name_addr* src, const char* tag) {
  if (src == nullptr) return true;
  clear_list(h, id);
  if (!ssc_copy_header(h, id, src)) return false;
  if (tag == nullptr) return true;
  auto* na = first<ssc_hdr_name_addr>(h, id);
  if (!tag_usable(tag)) {
    na->s3 = nullptr;
    return true;
  }
  na->s3 = area_text(h, tag);
  return na->s3 != nullptr;
}

bool set_tag(ssc_handle* h, hid id, const char* tag) {
  auto* na = first<ssc_hdr_name_addr>(h, id);
  if (na == nullptr) return true;
  if (!tag_usable(tag)) {
    na->s3 = nullptr;
    return true;
  }
  na->s3 = area_text(h, tag);
  return na->s3 != nullptr;
}

const char* remote_tag() {
  const ssc_dialog_entry* e = ssc_mod().entry;
  return e ? e->remote_tag : "";
}

// The Call-ID of the call as a header of the handle (replacing any).
bool put_call_id(ssc_handle* h) {
  ssc_call* c = ssc_mod().call;
  if (c->call_id[0] == '\0') {
    if (auto* cid = first<ssc_hdr_call_id>(h, hid::CALL_ID)) {
      ssc_take_call_id(c, cid);
    } else {
      auto* from = first<ssc_hdr_name_addr>(h, hid::FROM);
      if (from == nullptr) from = first<ssc_hdr_name_addr>(c->defaults, hid::FROM);
      ssc_make_call_id(c, from ? &from->uri : nullptr, ssc_mod().call_id_offset++);
    }
  }
  clear_list(h, hid::CALL_ID);
  auto* cid = static_cast<ssc_hdr_call_id*>(Ssc_alloc_header(h, hid::CALL_ID));
  if (cid == nullptr) return false;
  cid->local = area_text(h, c->call_id);
  cid->family = c->call_id_kind;
  cid->host = nullptr;
  if (c->call_id_kind == 'N') cid->host = area_text(h, c->call_id_host);
  else if (c->call_id_kind == '4') std::memcpy(cid->v4, c->call_id_host, 4);
  else if (c->call_id_kind == '6') std::memcpy(cid->v6, c->call_id_host, 16);
  else cid->family = 0xFF;
  return cid->local != nullptr;
}

// The top Via learns where the request came from (received and rport).
void fill_received(ssc_handle* h, const ssc_handle* req) {
  auto* via = first<ssc_hdr_via>(h, hid::VIA);
  if (via == nullptr || via->family2 == '4' || via->family2 == '6') return;
  if (req->addr_family != '4' && req->addr_family != '6') return;
  via->family2 = req->addr_family;
  std::memcpy(via->v4_2, req->addr_v4, 4);
  std::memcpy(via->v6_2, req->addr_v6, 16);
  if (req->addr_port != 0 && req->addr_port != 0xFFFF) via->w2 = req->addr_port;
}

// The entry's route set in sending order.
std::vector<const ssc_hdr_route*> entry_route_set() {
  std::vector<const ssc_hdr_route*> out;
  const ssc_dialog_entry* e = ssc_mod().entry;
  if (e == nullptr || e->route_msg == nullptr) return out;
  for (auto* r = first<ssc_hdr_route>(e->route_msg, hid::RECORD_ROUTE); r && out.size() < 64; r = next_of(r))
    out.push_back(r);
  if (e->route_reversed) std::reverse(out.begin(), out.end());
  return out;
}

std::vector<const ssc_hdr_route*> list_of(ssc_handle* h, hid id) {
  std::vector<const ssc_hdr_route*> out;
  for (auto* r = first<ssc_hdr_route>(h, id); r && out.size() < 64; r = next_of(r)) out.push_back(r);
  return out;
}

const ssc_hdr_contact* remote_target() {
  const ssc_dialog_entry* e = ssc_mod().entry;
  return e ? first<ssc_hdr_contact>(e->target, hid::CONTACT) : nullptr;
}

// Request-URI and Route by the routing rule (the Request-URI is missing).
bool route_request(ssc_handle* h, const std::vector<const ssc_hdr_route*>& routes) {
  const ssc_hdr_contact* target = remote_target();
  auto* ru = static_cast<ssc_hdr_request_uri*>(Ssc_alloc_header(h, hid::REQUEST_URI));
  if (ru == nullptr) return false;
  ru->params = nullptr;
  const bool strict = !routes.empty() && !ssc_route_is_loose(routes.front());
  std::size_t from = 0;
  if (strict) {
    ru->uri = routes.front()->uri;
    from = 1;
  } else if (target) {
    ru->uri = target->uri;
  } else if (auto* to = first<ssc_hdr_name_addr>(h, hid::TO)) {
    ru->uri = to->uri;
  } else {
    return false;
  }
  // The URI's strings belong to another handle: copy the record through the
  // header copy so they live in this one.
  ssc_hdr_request_uri tmp = *ru;
  tmp.next = nullptr;
  clear_list(h, hid::REQUEST_URI);
  if (!ssc_copy_header(h, hid::REQUEST_URI, &tmp)) return false;
  if (!routes.empty() || has(h, hid::ROUTE)) {
    clear_list(h, hid::ROUTE);
    for (std::size_t i = from; i < routes.size(); ++i) {
      if (!ssc_copy_header(h, hid::ROUTE, routes[i])) return false;
    }
  }
  if (strict && target) {
    // The remote target goes last, as a Route without parameters of its own.
    ssc_hdr_route last{};
    std::memset(&last, 0xFF, sizeof last);
    last.next = nullptr;
    last.s1 = nullptr;
    last.b1 = 0xFF;
    last.uri = target->uri;
    last.s2 = nullptr;
    if (!ssc_copy_header(h, hid::ROUTE, &last)) return false;
  }
  return true;
}

u8 fail(u8 kind, u16 at) {
  (void)ssc_report_error(kind, ERROR_CLASS, at);
  return 3;
}

// Sends the current handle to ENT_SIP (tracked unless told otherwise).
u8 hand_on(ssc_handle* h, code_t code, bool track) {
  ssc_run_state& r = ssc_run();
  if (r.tx_handle != h) {  // the send side takes tx_handle first
    ++h->ref_count;
    release_handle(r.tx_handle);
    r.tx_handle = h;
  }
  if (track) (void)ssc_tx_track(h, SSC_TX_SENT);
  ssc_send(ENT_SIP, 0, code);
  return 2;
}

// The entry to answer for: an answer is numbered as its request.
bool complete_request(ssc_handle* h, u16& at) {
  ssc_module& mod = ssc_mod();
  ssc_call* c = mod.call;
  ssc_dialog_entry* e = mod.entry;
  ssc_handle* d = call_defaults();
  if (d == nullptr) return false;
  const bool own_route = e && e->own_route;
  at = AT_REQUEST_ROUTE;
  // 1-2: route set and Request-URI.
  std::vector<const ssc_hdr_route*> routes;
  const bool had_route = has(h, hid::ROUTE);
  if (own_route) routes = entry_route_set();
  else if (!had_route) routes = list_of(d, hid::ROUTE);
  if (!has(h, hid::TO) && !ssc_copy_list(h, hid::TO, d)) return false;
  if (!has(h, hid::REQUEST_URI)) {
    if (had_route && !own_route) routes = list_of(h, hid::ROUTE);
    if (!route_request(h, routes)) return false;
  } else if (!had_route) {
    for (const ssc_hdr_route* r : routes) {
      if (!ssc_copy_header(h, hid::ROUTE, r)) return false;
    }
  }
  at = AT_REQUEST_HEADER;
  // 3: headers the call keeps.
  for (hid id : {hid::CONTACT, hid::VIA, hid::ALLOW, hid::ACCEPT}) {
    if (allowed(h, id) && !has(h, id) && !ssc_copy_list(h, id, d)) return false;
  }
  // 4: option tags.
  if (!apply_option_tags(h)) return false;
  // 5: Max-Forwards, User-Agent, From, Call-ID.
  for (hid id : {hid::MAX_FORWARDS, hid::USER_AGENT, hid::FROM}) {
    if (allowed(h, id) && !has(h, id) && !ssc_copy_list(h, id, d)) return false;
  }
  if (!put_call_id(h)) return false;
  // 6: tags.
  if (!set_tag(h, hid::FROM, c->local_tag)) return false;
  if (!set_tag(h, hid::TO, remote_tag())) return false;
  // 7: a keep-alive probe goes by the binding's local-address Route.
  if (!own_route && !has(h, hid::ROUTE) && mod.keepalive) {
    if (ssc_handle* b = binding_store(); b && !ssc_copy_list(h, hid::ROUTE, b)) return false;
    c->carried_byte_1 = mod.ua->binding.index;
    c->carried_byte_2 = mod.keepalive->index;
  }
  // 8: Max-Forwards.
  if (allowed(h, hid::MAX_FORWARDS) && !has(h, hid::MAX_FORWARDS)) {
    auto* mf = static_cast<ssc_hdr_u32*>(Ssc_alloc_header(h, hid::MAX_FORWARDS));
    if (mf == nullptr) return false;
    mf->value = MAX_FORWARDS_DEFAULT;
  }
  return true;
}

u8 send_request_tracked(code_t code, bool track) {
  ssc_handle* h = ssc_current_handle();
  if (h == nullptr || ssc_mod().call == nullptr) return fail(KIND_HEADER, AT_REQUEST_ROUTE);
  u16 at = AT_REQUEST_ROUTE;
  if (!complete_request(h, at)) return fail(KIND_HEADER, at);
  return hand_on(h, code, track);
}

// The answer's current handle: the current one when it is a response, else
// a new one for the pending request.
ssc_handle* answer_handle() {
  ssc_handle* h = ssc_current_handle();
  if (h && ssc_idx(h->type) < SSC_MSG_TYPE_COUNT && ssc_msg_type_table[ssc_idx(h->type)].msg_class == 2) return h;
  ssc_handle* p = ssc_tx().pending;
  if (p == nullptr || ssc_new_response_current(p) != 2) return nullptr;
  return ssc_current_handle();
}

bool ensure_status(ssc_handle* h, u16 code, const char* text) {
  if (!allowed(h, hid::RETURN_CODE) || has(h, hid::RETURN_CODE)) return true;
  auto* st = static_cast<ssc_hdr_status*>(Ssc_alloc_header(h, hid::RETURN_CODE));
  if (st == nullptr) return false;
  st->code = code;
  st->reason = text;
  return true;
}

// Header 0 of a profile answer: byte 0 the result, byte 1 the cause.
bool set_profile_result(ssc_handle* h, u8 result, u8 cause) {
  auto* p = first<ssc_hdr_profile_parms>(h, hid::PROFILE_PARMS);
  if (p == nullptr) p = static_cast<ssc_hdr_profile_parms*>(Ssc_alloc_header(h, hid::PROFILE_PARMS));
  if (p == nullptr) return false;
  p->parm[0] = result;
  p->parm[1] = cause;
  return true;
}

void profile_answer(ssc_handle* h, code_t code) {
  msg_t* m = SIP_sc_format_rq(ssc_mod().ua->nai, SSC_NO_CONN, 255, h);
  if (m == nullptr) {
    (void)ssc_report_error(KIND_HEADER, ERROR_CLASS, AT_PROFILE + 3);
    return;
  }
  m->from = ENT_SSC;
  m->to = ssc_mod().ua->user_entity;
  m->nai = ssc_mod().ua->nai;
  m->conn_id = SSC_NO_CONN;
  m->sapi = 255;
  m->code = code;
  Send_msg(m);
}

}  // namespace

// ---- senders -------------------------------------------------------------------

u8 ssc_send_request(code_t code) { return send_request_tracked(code, true); }

u8 ssc_send_answer(code_t code) {
  ssc_module& mod = ssc_mod();
  ssc_handle* req = ssc_tx().pending;
  if (req == nullptr || mod.call == nullptr) return fail(KIND_NO_REQUEST, 0);
  ssc_handle* h = answer_handle();
  if (h == nullptr) return fail(KIND_HEADER, AT_ANSWER);
  ssc_handle* d = call_defaults();
  ssc_handle* prof = ssc_current_profile();
  bool ok = d != nullptr && ensure_status(h, 200, "OK");
  // Via and Record-Route of the request; received and rport on the top Via.
  if (ok) {
    clear_list(h, hid::VIA);
    ok &= ssc_copy_list(h, hid::VIA, req);
    fill_received(h, req);
    if (allowed(h, hid::RECORD_ROUTE)) {
      clear_list(h, hid::RECORD_ROUTE);
      ok &= ssc_copy_list(h, hid::RECORD_ROUTE, req);
    }
  }
  if (ok && allowed(h, hid::CONTACT)) ok &= copy_from_first(h, hid::CONTACT, {d, prof});
  if (ok) ok &= apply_option_tags(h);
  if (ok && allowed(h, hid::SERVER)) ok &= copy_from_first(h, hid::SERVER, {d});
  for (hid id : {hid::ALLOW, hid::ACCEPT}) {
    if (ok && allowed(h, id)) ok &= copy_from_first(h, id, {d, prof});
  }
  // To: our party with our tag; From: the remote party with its tag.
  if (ok) {
    auto* local = first<ssc_hdr_name_addr>(d, hid::FROM);
    auto* remote = first<ssc_hdr_name_addr>(d, hid::TO);
    if (local == nullptr) local = first<ssc_hdr_name_addr>(req, hid::TO);
    if (remote == nullptr) remote = first<ssc_hdr_name_addr>(req, hid::FROM);
    ok &= put_party(h, hid::TO, local, mod.call->local_tag);
    ok &= put_party(h, hid::FROM, remote, remote_tag());
    if (!has(h, hid::CALL_ID)) ok &= ssc_copy_list(h, hid::CALL_ID, req);
  }
  if (!ok) return fail(KIND_HEADER, AT_ANSWER);
  h->transaction_number = req->transaction_number;
  return hand_on(h, code, true);
}

u8 ssc_send_answer_status(u16 status, const char* text) {
  ssc_handle* req = ssc_tx().pending;
  if (req == nullptr || ssc_mod().call == nullptr) return fail(KIND_NO_REQUEST, 1);
  ssc_handle* h = answer_handle();
  if (h == nullptr || !ensure_status(h, status, text)) return fail(KIND_HEADER, AT_ANSWER);
  auto* st = first<ssc_hdr_status>(h, hid::RETURN_CODE);
  auto* ts = first<ssc_hdr_timestamp>(req, hid::TIMESTAMP);
  if (st && st->code == 100 && ts && !has(h, hid::TIMESTAMP)) {
    if (!ssc_copy_header(h, hid::TIMESTAMP, ts)) return fail(KIND_HEADER, AT_ANSWER);
    auto* out = first<ssc_hdr_timestamp>(h, hid::TIMESTAMP);
    const ssc_delay dl = ssc_timestamp_delay(ssc_mod().call->rx_tick, om_os_tick());
    // The fraction is written as decimal digits after the point: tenths of
    // a second keep it exact.
    out->d3 = dl.seconds;
    out->d4 = dl.millis / 100;
  }
  return ssc_send_answer(SSC_INVITE_RS);
}

u8 ssc_send_ack() {
  ssc_module& mod = ssc_mod();
  ssc_handle* inv = ssc_tx().pending;
  if (inv == nullptr || inv->type != ssc_msg_type::INVITE || mod.call == nullptr) return fail(KIND_NO_REQUEST, 2);
  ssc_handle* a = ssc_fresh_handle(ssc_msg_type::ACK);
  if (a == nullptr) return fail(KIND_HEADER, AT_ACK);
  ssc_handle* d = call_defaults();
  ssc_handle* prof = ssc_current_profile();
  bool ok = true;
  for (hid id : {hid::REQUEST_URI, hid::VIA, hid::CONTACT, hid::ROUTE, hid::FROM, hid::TO, hid::CALL_ID}) {
    if (allowed(a, id)) ok &= ssc_copy_list(a, id, inv);
  }
  for (hid id : {hid::ALLOW, hid::REQUIRE}) {
    if (allowed(a, id)) ok &= copy_from_first(a, id, {prof});
  }
  ok &= ensure_status(a, 200, "OK");
  ok &= copy_from_first(a, hid::TO, {d});
  ok &= copy_from_first(a, hid::FROM, {d});
  ok &= set_tag(a, hid::FROM, mod.call->local_tag);
  ok &= set_tag(a, hid::TO, remote_tag());
  if (!has(a, hid::CALL_ID)) ok &= put_call_id(a);
  if (!ok) return fail(KIND_HEADER, AT_ACK);
  a->transaction_number = inv->transaction_number;
  return hand_on(a, SSC_ACK_RQ, true);
}

u8 ssc_fill_cancel() {
  ssc_handle* req = ssc_tx().pending;
  ssc_handle* h = ssc_current_handle();
  if (req == nullptr || h == nullptr || ssc_mod().call == nullptr) return fail(KIND_NO_REQUEST, 3);
  bool ok = true;
  for (hid id : {hid::REQUEST_URI, hid::TO, hid::FROM, hid::VIA, hid::ROUTE, hid::CALL_ID}) {
    clear_list(h, id);
    ok &= ssc_copy_list(h, id, req);
  }
  if (!ok) return fail(KIND_HEADER, AT_CANCEL);
  h->transaction_number = req->transaction_number;
  return hand_on(h, SSC_CANCEL_RQ, true);
}

u8 ssc_send_cancel() {
  ssc_module& mod = ssc_mod();
  ssc_call* c = mod.call;
  if (c == nullptr || (c->control_flags & 1)) return 3;
  ssc_dialog_entry* keep = mod.entry;
  if (ssc_tx_find(ssc_msg_type::INVITE, 0xFFFF, SSC_TX_SENT) != 2) return 3;
  if (ssc_fresh_handle(ssc_msg_type::CANCEL) == nullptr) return fail(KIND_HEADER, AT_CANCEL);
  const u8 r = ssc_fill_cancel();
  mod.entry = keep;
  if (r == 2) c->control_flags |= 1;
  return r;
}

u8 ssc_send_register() {
  ssc_module& mod = ssc_mod();
  ssc_handle* h = ssc_current_handle();
  if (h == nullptr || mod.call == nullptr) return fail(KIND_HEADER, AT_REGISTER);
  ssc_handle* prof = ssc_current_profile();
  bool ok = true;
  for (hid id : {hid::TO, hid::CONTACT, hid::VIA, hid::REQUIRE, hid::SUPPORTED, hid::ALLOW, hid::ACCEPT}) {
    if (allowed(h, id)) ok &= copy_from_first(h, id, {prof});
  }
  // A profile carries its address as From: that is the address registered.
  if (!has(h, hid::TO)) {
    if (auto* f = first<ssc_hdr_name_addr>(prof, hid::FROM)) ok &= ssc_copy_header(h, hid::TO, f);
  }
  // A registration names nobody's dialog: no To tag; From is To.
  if (auto* to = first<ssc_hdr_name_addr>(h, hid::TO)) to->s3 = nullptr;
  if (!has(h, hid::FROM)) {
    if (auto* to = first<ssc_hdr_name_addr>(h, hid::TO)) ok &= ssc_copy_header(h, hid::FROM, to);
  }
  if (!has(h, hid::REQUEST_URI)) ok &= ssc_copy_list(h, hid::REQUEST_URI, binding_store());
  if (!ok) return fail(KIND_HEADER, AT_REGISTER);
  // The entry's remote tag never names a REGISTER's To.
  ssc_dialog_entry* e = mod.entry;
  char keep[SSC_TAG_FIELD];
  if (e) {
    std::memcpy(keep, e->remote_tag, sizeof keep);
    e->remote_tag[0] = '\0';
  }
  const u8 r = ssc_send_request(SSC_REGISTER_RQ);
  if (e) std::memcpy(e->remote_tag, keep, sizeof keep);
  return r;
}

u8 ssc_send_register_answer() {
  ssc_module& mod = ssc_mod();
  ssc_handle* req = ssc_tx().pending;
  if (req == nullptr || mod.call == nullptr) return 3;
  ssc_handle* h = answer_handle();
  if (h == nullptr) return fail(KIND_HEADER, AT_REGISTER_ANSWER);
  bool ok = ensure_status(h, 200, "OK");
  ok &= put_party(h, hid::FROM, first<ssc_hdr_name_addr>(req, hid::FROM), remote_tag());
  ok &= put_party(h, hid::TO, first<ssc_hdr_name_addr>(req, hid::TO), mod.call->local_tag);
  for (hid id : {hid::VIA, hid::EXPIRES, hid::RECORD_ROUTE, hid::CALL_ID}) {
    if (!allowed(h, id)) continue;
    clear_list(h, id);
    ok &= ssc_copy_list(h, id, req);
  }
  fill_received(h, req);
  if (!ok) return fail(KIND_HEADER, AT_REGISTER_ANSWER);
  h->transaction_number = req->transaction_number;
  return hand_on(h, SSC_REGISTER_RS, true);
}

namespace {
void self_event_each(u8 event, bool idle_only) {
  ssc_module& mod = ssc_mod();
  if (mod.call == nullptr) return;
  ssc_dialog_entry* keep = mod.entry;
  const u8 route = mod.route;
  mod.route = 'C';
  for (ssc_dialog_entry* e = mod.call->first; e; e = e->next) {
    if (idle_only && e->state != SSC_ENTRY_IDLE) continue;
    mod.entry = e;
    ssc_send(ENT_SSC, 'C', event);
  }
  mod.route = route;
  mod.entry = keep;
}
}  // namespace

void ssc_release_idle_entries() { self_event_each(57, true); }
void ssc_abort_entries() { self_event_each(65, false); }

void ssc_hold_message() {
  ssc_call* c = ssc_mod().call;
  ssc_run_state& r = ssc_run();
  if (c == nullptr || r.msg == nullptr) return;
  c->held.push_back(r.msg);
  r.msg = nullptr;
}

msg_t* ssc_copy_message(const msg_t* m, u8 share) {
  if (m == nullptr) return nullptr;
  if (share == 1) {
    // A copy cut short by an empty buffer pool is no copy.
    msg_t* c = Copy_msg(m);
    if (c && Buffer_chain_length(c->p_buffer) != Buffer_chain_length(m->p_buffer)) {
      Free_msg(c);
      c = nullptr;
    }
    return c;
  }
  msg_t* c = Alloc_msg();
  if (c == nullptr) return nullptr;
  c->from = m->from;
  c->to = m->to;
  c->nai = m->nai;
  c->sapi = m->sapi;
  c->conn_id = m->conn_id;
  c->code = m->code;
  if (m->p_buffer == nullptr) {
    Msg_set_inline_body(c, Msg_inline_data(m), m->data_size);
    return c;
  }
  {
    om_os_lock_hold hold;
    for (buffer_t* b = m->p_buffer; b; b = b->next) b->link_count = b->link_count == 0 ? 2 : b->link_count + 1;
  }
  Msg_attach_chain(c, m->p_buffer);
  return c;
}

void ssc_release_held() {
  if (ssc_call* c = ssc_mod().call) ssc_requeue_deferred(c->held);
}

// ---- OPTIONS keep-alive ------------------------------------------------------------

namespace {
constexpr u8 PHASE_SHIFT = 4;

void set_phase(ssc_hdr_tx_link* r, u8 phase) { r->flag = static_cast<u8>((r->flag & 0x0F) | (phase << PHASE_SHIFT)); }

u32 interval_of(ssc_handle* h) {
  auto* v = first<ssc_hdr_u32>(h, hid::OPTIONS_VALUE);
  return v ? v->value : 0;
}

// Sends a copy of the transaction's request (its number kept); false when
// it could not be built.
bool send_copy(ssc_hdr_tx_link* r) {
  ssc_handle* copy = new_handle(ssc_msg_type::NONE);
  if (copy == nullptr || Ssc_copy_msg(copy, r->handle) == nullptr) {
    release_handle(copy);
    return false;
  }
  ssc_set_type_filtered(copy, ssc_msg_type::OPTIONS);
  release_handle(ssc_run().tx_handle);
  ssc_run().tx_handle = copy;
  return send_request_tracked(SSC_OPTIONS_RQ, false) == 2;
}

// Opens the sent OPTIONS transaction on the user's handle (phase 0).
ssc_hdr_tx_link* open_options(ssc_handle* user) {
  if (user == nullptr || user->type != ssc_msg_type::OPTIONS) return nullptr;
  ssc_hdr_tx_link* r = ssc_tx_open(user, SSC_TX_SENT);
  if (r) set_phase(r, 0);
  return r;
}
}  // namespace

u8 ssc_options_phase(const ssc_hdr_tx_link* r) { return r ? static_cast<u8>(r->flag >> PHASE_SHIFT) : 0; }

u8 ssc_options_step(u8 event) {
  ssc_module& mod = ssc_mod();
  ssc_handle* h = ssc_run().handle;
  ssc_hdr_tx_link* r = nullptr;
  if (ssc_tx_find(ssc_msg_type::OPTIONS, 0xFFFF, SSC_TX_SENT) == 2) r = ssc_tx().current;
  else if (event == SSC_EV_USER_OPTIONS) r = open_options(h);
  u8 phase = ssc_options_phase(r);
  switch (event) {
    case SSC_EV_USER_OPTIONS:
      if (r == nullptr) {
        (void)fail(KIND_HEADER, AT_OPTIONS);
        break;
      }
      if (phase == 0) {
        if (send_copy(r)) phase = 1;
        else (void)fail(KIND_HEADER, AT_OPTIONS);
      } else if (phase == 1 || phase == 3) {
        if (!has(r->handle, hid::OPTIONS_VALUE)) {
          // The running request repeats nothing: the user's takes its place.
          (void)ssc_tx_close();
          r = open_options(h);
          if (r == nullptr) break;
        }
        if (auto* v = first<ssc_hdr_u32>(r->handle, hid::OPTIONS_VALUE)) v->value = interval_of(h);
        phase = 1;
      } else if (phase == 2) {
        ssc_entry_timer_stop(mod.entry, SSC_OPTIONS_TIMER);
        const u32 iv = interval_of(h);
        if (auto* v = first<ssc_hdr_u32>(r->handle, hid::OPTIONS_VALUE)) v->value = iv;
        if (iv == 0) phase = 0;
        else phase = send_copy(r) ? 1 : 0;
      }
      break;
    case SSC_EV_OPTIONS_REPEAT:
      if (phase != 2) {
        (void)om_os_trap(305);
        break;
      }
      phase = send_copy(r) ? 3 : 0;
      break;
    case SSC_EV_OPTIONS_CO: {
      if (r == nullptr || phase == 0) {
        phase = 0;
        break;
      }
      if (phase == 1 || phase == 3) {
        (void)ssc_send_to_user(SSC_OPTIONS_CO);
        auto* st = first<ssc_hdr_status>(h, hid::RETURN_CODE);
        const bool provisional = st && st->code >= 100 && st->code <= 199;
        if (provisional) break;
        const u32 iv = interval_of(r->handle);
        if (iv == 0) {
          phase = 0;
          break;
        }
        const u64 ms = static_cast<u64>(iv) * 1000u;
        if (ssc_entry_timer_start(mod.entry, SSC_OPTIONS_TIMER,
                                  ms > SSC_REFRESH_MAX_MS ? SSC_REFRESH_MAX_MS : static_cast<u32>(ms), '1') != 2) {
          (void)om_os_trap(303);
          phase = 0;
          break;
        }
        phase = 2;
      }
      break;
    }
    default: (void)om_os_trap(305); break;
  }
  if (r == nullptr) return SSC_OPTIONS_DONE;
  set_phase(r, phase);
  if (phase != 0) return SSC_OPTIONS_RUNNING;
  ssc_tx().current = r;
  (void)ssc_tx_close();
  return SSC_OPTIONS_DONE;
}

// ---- profile (route 'A') --------------------------------------------------------------

void ssc_profile_prim() {
  ssc_module& mod = ssc_mod();
  ssc_handle* h = ssc_run().handle;
  if (h == nullptr || mod.ua == nullptr) return;
  ssc_aux_record* a =
      h->carried_word_1 < mod.ua->aux_records.size() ? &mod.ua->aux_records[h->carried_word_1] : nullptr;
  if (a == nullptr) return;
  if (mod.event == 0) {  // SSC_PROF_REG_RQ
    if (a->state == '1') {
      if (!set_profile_result(h, 3, 'B')) return (void)ssc_report_error(KIND_HEADER, ERROR_CLASS, AT_PROFILE + 1);
      h->type = ssc_msg_type::PROF_REG;
      profile_answer(h, SSC_PROF_REG_CO);
      return;
    }
    auto* p0 = first<ssc_hdr_profile_parms>(h, hid::PROFILE_PARMS);
    a->byte7 = p0 ? p0->parm[3] : 255;
    ++h->ref_count;
    release_handle(a->profile);
    a->profile = h;
    a->state = '1';
    if (!set_profile_result(h, 2, 0)) return (void)ssc_report_error(KIND_HEADER, ERROR_CLASS, AT_PROFILE);
    profile_answer(h, SSC_PROF_REG_CO);
    return;
  }
  if (mod.event == 55) {  // SSC_PROF_REM_RQ
    if (!set_profile_result(h, 2, 0)) return (void)ssc_report_error(KIND_HEADER, ERROR_CLASS, AT_PROFILE + 2);
    profile_answer(h, SSC_PROF_REM_CO);
    if (a->state == '1') {
      release_handle(a->profile);
      a->state = '0';
    }
  }
}
