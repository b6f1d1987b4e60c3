// The call and dialog-entry machines of ENT_SSC: facts of the current
// message, the table lookup, the row's action, the next state.
#include "sip/ssc/ssc_machines.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/random.h"
#include "runtime/om_os.h"
#include "sip/text/sip_hdr.h"
#include "sip/text/sip_prim_kind.h"
#include "sip/prim/ssc_codes.h"
#include "sip/ssc/ssc_build.h"
#include "sip/ssc/ssc_call_sm.h"
#include "sip/ssc/ssc_entry_sm.h"
#include "sip/ssc/ssc_handler.h"
#include "sip/ssc/ssc_helpers.h"
#include "sip/ssc/ssc_ident.h"
#include "sip/ssc/ssc_internal.h"
#include "sip/ssc/ssc_tx.h"

namespace {

using H = ssc_header_id;
constexpr u16 SSC_ERROR_DISCARDED = 900;
constexpr u16 SSC_INTERNAL_24 = 24;
constexpr u16 SSC_INTERNAL_50 = 50;

// SIP primitive codes of what ENT_SSC sends (the numbers of the user's
// request and answer codes).
constexpr code_t SIP_INVITE_RQ = SSC_INVITE_RQ, SIP_ACK_RQ = SSC_ACK_RQ, SIP_OPTIONS_RQ = SSC_OPTIONS_RQ,
                 SIP_BYE_RQ = SSC_BYE_RQ, SIP_INVITE_RS = SSC_INVITE_RS, SIP_OPTIONS_RS = SSC_OPTIONS_RS,
                 SIP_BYE_RS = SSC_BYE_RS, SIP_CANCEL_RS = SSC_CANCEL_RS;

// The received handle: what goes to the user.
ssc_handle*& cur() { return ssc_run().handle; }
ssc_module& mod() { return ssc_mod(); }

// The handle the builders send becomes `h` (its reference taken over).
void make_current(ssc_handle* h) {
  ssc_internal::release_handle(ssc_run().tx_handle);
  ssc_run().tx_handle = h;
}
// The received handle is the one to send.
void use_received() { ssc_internal::release_handle(ssc_run().tx_handle); }

template <class T>
T* first(ssc_handle* h, ssc_header_id id) {
  if (h == nullptr) return nullptr;
  T* p = Ssc_first<T>(h, id);
  return ssc_ptr_set(reinterpret_cast<const char*>(p)) ? p : nullptr;
}

bool has_status(ssc_handle* h) { return first<ssc_hdr_status>(h, H::RETURN_CODE) != nullptr; }
u16 status_of(ssc_handle* h) {
  auto* st = first<ssc_hdr_status>(h, H::RETURN_CODE);
  return st ? st->code : 0;
}
u8 class_of(ssc_handle* h) { return ssc_status_class(has_status(h), status_of(h)); }

bool tag_none(const char* t) { return t == nullptr || t[0] == '\0' || t[0] == static_cast<char>(SSC_TAG_NONE); }

void self_event(u8 route, u8 event) {
  ssc_module& m = mod();
  const u8 keep = m.route;
  m.route = route;
  ssc_send(ENT_SSC, route, event);
  m.route = keep;
}

void pass(code_t code) { (void)ssc_send_to_user(code); }

void retype(ssc_msg_type t) {
  if (cur()) (void)ssc_set_type_filtered(cur(), t);
}

// A fresh handle of the type, passed to the user.
void fresh_pass(ssc_msg_type t, code_t code) {
  ssc_internal::release_handle(cur());
  cur() = ssc_internal::new_handle(t);
  if (cur() != nullptr) pass(code);
}

bool add_status(ssc_handle* h, u16 code, const char* reason) {
  if (h == nullptr) return false;
  if (first<ssc_hdr_status>(h, H::RETURN_CODE)) return true;
  auto* st = static_cast<ssc_hdr_status*>(Ssc_alloc_header(h, H::RETURN_CODE));
  if (st == nullptr) return false;
  st->code = code;
  st->reason = reason;
  return true;
}

// Request-URI of a request as ENT_SIP writes it (port, the routing
// parameters transport, ttl, maddr and user, then the other parameters);
// its length, 0 when there is none or it does not fit (never a cut URI).
std::size_t request_uri_text(ssc_handle* h, char* out, std::size_t size) {
  auto* ru = first<ssc_hdr_request_uri>(h, H::REQUEST_URI);
  if (ru == nullptr || size < 2 || size > 0xFFFF) return 0;
  // The user part is written when the URI has one, as the encoder does.
  ssc_uri u = ru->uri;
  if (u.user_form != 'P' && u.user != nullptr && ssc_ptr_set(u.user)) u.user_form = 'U';
  std::string t(out, ssc_uri_text(out, &u, static_cast<u16>(size)));
  auto text = [](const char* s) { return s != nullptr && ssc_ptr_set(s) && s[0] != '\0'; };
  auto coded = [&](const char* name, const sip_value_table& table, u8 code, const char* other) {
    const char* word = nullptr;
    if (code != 0xFF && sip_value__lookup(table, code, &word) == SIP_RESULT_OK && word != nullptr) {
      t += name;
      t += word;
    } else if (text(other)) {
      t += name;
      t += other;
    }
  };
  if (u.port != 0xFFFF) {
    t += ':';
    t += std::to_string(u.port);
  }
  coded(";transport=", sip_vt_uri_transport, u.transport, u.transport_text);
  if (u.ttl != 0xFF) {
    t += ";ttl=";
    t += std::to_string(u.ttl);
  }
  if (text(u.maddr)) {
    t += ";maddr=";
    t += u.maddr;
  }
  coded(";user=", sip_vt_user_param, u.user_param, u.user_param_text);
  if (text(ru->params)) {
    t += ';';
    t += ru->params;
  }
  if (t.size() + 1 >= size) {
    out[0] = '\0';
    return 0;
  }
  std::memcpy(out, t.c_str(), t.size() + 1);
  return t.size();
}

// ---- errors -----------------------------------------------------------------

// The SSC_ERROR_IN body of the received error (8 bytes: byte 6 the fatal
// flag, byte 7 the code concerned), null when there is none.
u8* error_body() {
  msg_t* m = ssc_run().msg;
  if (m == nullptr || m->p_buffer != nullptr || Msg_data_size(m) < SSC_ERROR_IN_SIZE) return nullptr;
  return Msg_data(m);
}
bool error_fatal() {
  const u8* b = error_body();
  return b && b[6] != 0;
}
void make_fatal(bool fatal) {
  if (u8* b = error_body()) b[6] = fatal ? 1 : 0;
}
u16 error_number() {
  const u8* b = error_body();
  return b ? static_cast<u16>(b[2] | (b[3] << 8)) : 0;
}
// The received error record to the user as SSC_ERROR_IN.
void pass_error() {
  const u8* b = error_body();
  if (b == nullptr || mod().ua == nullptr) return;
  ssc_run_state& r = ssc_run();
  if (r.building) Free_msg(r.building);
  r.building = Alloc_msg();
  if (r.building == nullptr) return;
  Msg_set_inline_body(r.building, b, SSC_ERROR_IN_SIZE);
  ssc_send('A', 255, SSC_ERROR_IN);
}

void report(bool fatal) {
  ssc_send_error_in(SSC_ERROR_DISCARDED, fatal ? 1 : 0);
  (void)ssc_report_error('b', 'r', mod().event);
}

// ---- digest -----------------------------------------------------------------

u64 random64() {
  u64 v = 0;
  if (!plat_random_bytes(&v, sizeof v)) v = (static_cast<u64>(plat_random_u32()) << 32) | plat_random_u32();
  return v;
}

ssc_digest_user call_user() {
  ssc_call* c = mod().call;
  return ssc_digest_user_of(c ? c->defaults : nullptr);
}

// Body bytes of a request (auth-int).
void body_of(ssc_handle* h, const u8** bytes, std::size_t* len) {
  *bytes = nullptr;
  *len = 0;
  auto* b = first<ssc_hdr_body>(h, H::BODY);
  if (b && b->length != 0 && b->length != 0xFFFF && b->bytes) {
    *bytes = b->bytes;
    *len = b->length;
  }
}

// The challenge step for the received response, answering a request of
// `method` whose handle is `req`.
bool challenge_accepted(ssc_handle* req, const char* method) {
  ssc_call* c = mod().call;
  if (c == nullptr || req == nullptr) return false;
  char uri[SSC_DIGEST_URI_MAX + 1];
  const std::size_t n = request_uri_text(req, uri, sizeof uri);
  const ssc_digest_verdict v = ssc_digest_challenge(c->digest, ssc_digest_view_of(cur()), call_user(),
                                                    std::string_view(uri, n), method, random64());
  if (v.result != SSC_DIGEST_RETRY && v.report_kind != 0) (void)ssc_report_error(v.report_kind, 'r', v.report_number);
  return v.result == SSC_DIGEST_RETRY;
}

// Credentials for the current handle from the digest block, computed for
// its own Request-URI and body; none when that cannot be done.
void add_fresh_credentials(const char* method) {
  ssc_call* c = mod().call;
  ssc_handle* h = ssc_current_handle();
  if (c == nullptr || h == nullptr || c->digest.nonce[0] == '\0') return;
  char uri[SSC_DIGEST_URI_MAX + 1];
  const std::size_t n = request_uri_text(h, uri, sizeof uri);
  const u8* body;
  std::size_t len;
  body_of(h, &body, &len);
  for (H id : {H::AUTHORIZATION, H::PROXY_AUTHORIZATION})
    if (void** head = Ssc_list_head(h, id)) *head = nullptr;
  if (n == 0 || !ssc_digest_prepare(c->digest, std::string_view(uri, n), method, body, len)) return;
  if (ssc_digest_add_credentials(c->digest, h) != 2)
    (void)ssc_report_error('d', 'r', c->digest.header_kind == SSC_KIND_PROXY ? 2 : 1);
}

// The pending request again, with credentials: a copy of the request the
// challenge answered, its old transaction closed.
bool resend_with_credentials(ssc_msg_type type, const char* method, code_t code) {
  ssc_handle* req = ssc_tx().pending;
  if (req == nullptr || req->type != type) {
    if (ssc_tx_find(type, 0xFFFF, SSC_TX_SENT) != 2) return false;
    req = ssc_tx().pending;
  }
  ssc_handle* copy = ssc_internal::new_handle(ssc_msg_type::NONE);
  if (copy == nullptr || Ssc_copy_msg(copy, req) == nullptr) {
    ssc_internal::release_handle(copy);
    return false;
  }
  make_current(copy);
  if (void** v = Ssc_list_head(copy, H::VIA))  // a new transaction: ENT_SIP gives it a new branch
    for (auto* via = static_cast<ssc_hdr_via*>(*v); via && ssc_ptr_set(via); via = via->next) via->s7 = nullptr;
  add_fresh_credentials(method);
  if (ssc_dialog_entry* e = mod().entry) {
    ssc_hold_handle(nullptr, 0);
    ssc_hold_handle(nullptr, 1);
    e->own_route = false;
    e->remote_tag[0] = static_cast<char>(SSC_TAG_NONE);
    e->peer_supported = 0;
    e->peer_require = 0;
  }
  (void)ssc_send_request(code);
  ++mod().call->digest.nonce_count;
  return true;
}

// The Request-URI of the current request when it has none: the remote
// target, else the call's To (the digest needs it before sending).
void request_uri_from_target() {
  ssc_handle* h = ssc_current_handle();
  if (h == nullptr || first<void>(h, H::REQUEST_URI)) return;
  const ssc_uri* u = nullptr;
  ssc_dialog_entry* e = mod().entry;
  if (auto* t = e ? first<ssc_hdr_contact>(e->target, H::CONTACT) : nullptr) u = &t->uri;
  else if (auto* to = first<ssc_hdr_name_addr>(mod().call->defaults, H::TO)) u = &to->uri;
  if (u == nullptr) return;
  ssc_hdr_request_uri ru;
  std::memset(&ru, 0xFF, sizeof ru);
  ru.next = nullptr;
  ru.uri = *u;
  ru.params = nullptr;
  (void)ssc_copy_header(h, H::REQUEST_URI, &ru);
}

// ---- call machine -----------------------------------------------------------

// Before a new INVITE, OPTIONS or REGISTER of the user: the call's route
// set and defaults, the Request-URI default, local tag and Call-ID.
void open_request() {
  ssc_handle* h = cur();
  ssc_build_route_set();
  ssc_prepare_call_defaults(h);
  use_received();
  ssc_default_request_uri();
  auto* from = first<ssc_hdr_name_addr>(h, H::FROM);
  if (from == nullptr) from = first<ssc_hdr_name_addr>(mod().call->defaults, H::FROM);
  ssc_set_local_tag_and_call_id(from, first<ssc_hdr_call_id>(h, H::CALL_ID));
}

// The agent closes sessions itself (bit 0 of its option byte).
bool session_notices() { return mod().ua && (mod().ua->option_byte & SSC_OPT_SESSION_NOTICES) != 0; }

void notice_final() {
  if (!session_notices()) return;
  retype(ssc_msg_type::CLOSE_SESSION);
  pass(SESS_CLOSED_IN);
}

u8 options_from_call(u8 event) {
  if (event == 40 && mod().call->state != CALL_OPTIONS) open_request();
  if (mod().entry) mod().entry->remote_tag[0] = static_cast<char>(SSC_TAG_NONE);
  const u8 r = ssc_options_step(event);
  if (r == SSC_OPTIONS_DONE) ssc_release_idle_entries();
  return r;
}

void call_act(ssc_call_action a, u8 event) {
  ssc_module& m = mod();
  ssc_call* c = m.call;
  using A = ssc_call_action;
  switch (a) {
    case A::none: break;
    case A::send_invite:
      open_request();
      (void)ssc_send_request(SIP_INVITE_RQ);
      break;
    case A::pass_invite_in: pass(SSC_INVITE_IN); break;
    case A::pass_close_co_release:
      pass(CLOSE_SESS_CO);
      ssc_release_idle_entries();
      break;
    case A::entry_register: self_event('C', 20); break;
    case A::options_step: break;  // run while the facts were taken
    case A::error_fatal_abort:
      make_fatal(true);
      ssc_abort_entries();
      pass_error();
      break;
    case A::relay_fatal_release:
      ssc_relay_sip_error();
      ssc_release_idle_entries();
      break;
    case A::relay_not_fatal: ssc_relay_sip_error(); break;
    case A::pass_invite_co: pass(SSC_INVITE_CO); break;
    case A::pass_invite_co_cancel:
      pass(SSC_INVITE_CO);
      if (c->entry_count > 1) (void)ssc_send_cancel();
      break;
    case A::pass_final_notice:
      if (class_of(cur()) == 4 && status_of(cur()) == SSC_INTERNAL_24) self_event('G', 67);
      pass(SSC_INVITE_CO);
      notice_final();
      break;
    case A::resend_credentials:
      (void)resend_with_credentials(ssc_msg_type::INVITE, "INVITE", SIP_INVITE_RQ);
      ssc_release_idle_entries();
      break;
    case A::pass_final_release:
      pass(SSC_INVITE_CO);
      notice_final();
      ssc_release_idle_entries();
      break;
    case A::error_in_invite:
    case A::error_in:
      if (error_fatal()) ssc_abort_entries();
      pass_error();
      break;
    case A::find_invite_cancel:
      (void)ssc_tx_find(ssc_msg_type::INVITE, 0xFFFF, SSC_TX_SENT);
      (void)ssc_send_cancel();
      break;
    case A::notice_no_entries: fresh_pass(ssc_msg_type::CLOSE_SESSION, SESS_CLOSED_IN); break;
    case A::reinvite: {
      if (m.entry) m.entry->invite_kind = 2;
      use_received();
      // A known nonce: a response of its own for this request, with the
      // next nonce count.
      const bool counted = c->digest.nonce[0] != '\0';
      if (counted) {
        request_uri_from_target();
        add_fresh_credentials("INVITE");
      }
      (void)ssc_send_request(SIP_INVITE_RQ);
      if (counted) ++c->digest.nonce_count;
      break;
    }
    case A::send_cancel: (void)ssc_send_cancel(); break;
    case A::entry_ack_bye: self_event('C', 64); break;
    case A::entry_close:
      // The close the user asked for while our 2xx awaited its ACK: the
      // ACK came, the entry now sends the BYE (not the ACK's headers).
      if (c->close_pending) {
        c->close_pending = false;
        ssc_internal::release_handle(cur());
        cur() = ssc_internal::new_handle(ssc_msg_type::CLOSE_SESSION);
        if (cur() == nullptr) break;
      }
      self_event('C', 19);
      break;
    case A::pass_notice: pass(SESS_CLOSED_IN); break;
    case A::cancel_unless_sent:
      if ((c->control_flags & 0x01) == 0) (void)ssc_send_cancel();
      break;
    case A::close_co_ended:
      retype(ssc_msg_type::CLOSE_SESSION);
      pass(CLOSE_SESS_CO);
      break;
    case A::close_co_refused:
      ssc_release_idle_entries();
      retype(ssc_msg_type::CLOSE_SESSION_CO);
      pass(CLOSE_SESS_CO);
      break;
    case A::close_error:
      if (error_fatal()) {
        fresh_pass(ssc_msg_type::CLOSE_SESSION_CO, CLOSE_SESS_CO);
        ssc_abort_entries();
      }
      pass_error();
      break;
    case A::pass_close_co: pass(CLOSE_SESS_CO); break;
    case A::refuse_491: {
      ssc_handle* h = cur();
      h->type = ssc_msg_type::INVITE_RS;
      if (void** head = Ssc_list_head(h, H::RETURN_CODE)) *head = nullptr;
      if (auto* st = static_cast<ssc_hdr_status*>(Ssc_alloc_header(h, H::RETURN_CODE))) {
        st->code = 491;
        st->reason = "request pending";
      }
      pass(SSC_INVITE_CO);
      break;
    }
    case A::mark_close_pending: c->close_pending = true; break;
    case A::options_error: pass_error(); break;
    case A::retype_notice:
      retype(ssc_msg_type::CLOSE_SESSION);
      pass(SESS_CLOSED_IN);
      break;
    case A::report: report(false); break;
  }
  (void)event;
}

// ---- entry machine ----------------------------------------------------------

// Forgets the entry's dialog: remote target, route set, peer masks, kept
// REGISTER.
void clear_entry(ssc_dialog_entry* e) {
  ssc_hold_handle(nullptr, 0);
  ssc_hold_handle(nullptr, 1);
  ssc_internal::release_handle(e->kept);
  e->own_route = false;
  e->route_reversed = false;
  e->peer_supported = 0;
  e->peer_require = 0;
}

// The answer defaults of an incoming call, and a Via of our own made from
// the call's Contact when neither a profile nor a registration gave one (the
// call's later requests, a BYE, need it).
void prepare_answer(ssc_handle* answer) {
  ssc_prepare_answer_defaults(answer);
  ssc_handle* d = mod().call->defaults;
  auto* ct = first<ssc_hdr_contact>(d, H::CONTACT);
  if (ct == nullptr || first<void>(d, H::VIA)) return;
  auto* v = static_cast<ssc_hdr_via*>(Ssc_alloc_header(d, H::VIA));
  if (v == nullptr) {
    (void)ssc_report_error('d', 'r', 19);
    return;
  }
  v->protocol = 1;
  v->s1 = nullptr;
  v->transport = 'U';
  v->s2 = "2.0";
  v->s3 = nullptr;
  v->family1 = ct->uri.host_family;
  v->s4 = ct->uri.host_family == 'N' ? ct->uri.host_name : nullptr;
  std::memcpy(v->v4_1, ct->uri.host_v4, 4);
  std::memcpy(v->v6_1, ct->uri.host_v6, 16);
  v->port = ct->uri.port;
  v->b3 = 0xFF;
  v->s5 = nullptr;
  v->w2 = 0xFFFF;
  v->s6 = nullptr;
  v->s7 = nullptr;
}

void fix_local_tag(ssc_handle* answer) {
  ssc_call* c = mod().call;
  if (c->local_tag[0] != '\0') return;
  auto* to = first<ssc_hdr_name_addr>(answer, H::TO);
  ssc_set_local_tag(c, to && !tag_none(to->s3) ? to->s3 : nullptr);
}

// The received INVITE answered with a status of ours.
void answer_invite_status(u16 status, const char* reason) {
  fix_local_tag(nullptr);
  if (ssc_tx_find(ssc_msg_type::INVITE, 0xFFFF, SSC_TX_RECEIVED) != 2) {
    (void)ssc_report_error('f', 'r', 1);
    return;
  }
  if (ssc_fresh_handle(ssc_msg_type::INVITE_RS) == nullptr) return;
  (void)ssc_send_answer_status(status, reason);
}

// The pending request answered by a fresh handle of the response type
// (default 200 "OK").
void answer_fresh(ssc_msg_type rs, code_t code) {
  ssc_handle* h = ssc_fresh_handle(rs);
  if (h == nullptr || !add_status(h, 200, "OK")) return;
  (void)ssc_send_answer(code);
}

// A received CANCEL answered 200.  While the INVITE is open its transaction
// is the pending request and gives the answer its Via, parties and Call-ID;
// once the INVITE has its 2xx or 3xx that transaction is closed, and the
// CANCEL itself stands in for it (it carries the INVITE's Via, parties and
// Call-ID), so that the CANCEL still gets its 200 and the INVITE keeps its
// answer.
void answer_received_cancel() {
  ssc_tx_state& tx = ssc_tx();
  ssc_handle* received = ssc_run().handle;
  const bool borrowed = tx.pending == nullptr && received != nullptr && received->type == ssc_msg_type::CANCEL;
  if (borrowed) tx.pending = received;
  answer_fresh(ssc_msg_type::CANCEL_RS, SIP_CANCEL_RS);
  if (borrowed && tx.pending == received) tx.pending = nullptr;
}

// The received BYE answered 200.
void answer_bye() {
  if (ssc_tx_find(ssc_msg_type::BYE, 0xFFFF, SSC_TX_RECEIVED) != 2) return;
  answer_fresh(ssc_msg_type::BYE_RS, SIP_BYE_RS);
}

// A request made of nothing but the call and the entry (ACK, BYE).
void send_fresh_request(ssc_msg_type t, code_t code) {
  if (ssc_fresh_handle(t) != nullptr) (void)ssc_send_request(code);
}

void reinvite_487() {
  ssc_dialog_entry* e = mod().entry;
  if (e->invite_kind != 11) return;
  answer_invite_status(487, "Request Terminated");
  e->invite_kind = 1;
}

// A received INVITE on a fresh entry: remote target and parties, Call-ID,
// route set; 100 "trying" at once when the agent asks for it.
void start_invite_entry() {
  ssc_module& m = mod();
  ssc_dialog_entry* e = m.entry;
  ssc_handle* h = cur();
  clear_entry(e);
  ssc_note_request_parties(h);
  if (auto* ci = first<ssc_hdr_call_id>(h, H::CALL_ID)) ssc_take_call_id(m.call, ci);
  ssc_route_set_from_request(h);
  if (m.ua->option_flags & 0x01) {
    if (ssc_fresh_handle(ssc_msg_type::INVITE_RS) != nullptr) (void)ssc_send_answer_status(100, "trying");
  }
}

bool invite_expires_zero() {
  if ((mod().ua->option_flags & 0x04) == 0) return false;
  auto* ex = first<ssc_hdr_u32>(cur(), H::EXPIRES);
  return ex && ex->value == 0;
}

u32 refresh_of(ssc_handle* h, u32 current) {
  auto* ex = first<ssc_hdr_u32>(h, H::EXPIRES);
  auto* ct = first<ssc_hdr_contact>(h, H::CONTACT);
  return ssc_expires_refresh(current, ex != nullptr, ex ? ex->value : 0, ct ? ct->d1 : 0xFFFFFFFFu);
}

// The entry keeps `h` as its REGISTER; a copy of it becomes current.
bool keep_and_copy(ssc_dialog_entry* e, ssc_handle* h) {
  if (h == nullptr) return false;
  if (e->kept != h) {
    ++h->ref_count;
    ssc_internal::release_handle(e->kept);
    e->kept = h;
  }
  ssc_handle* copy = ssc_internal::new_handle(ssc_msg_type::NONE);
  if (copy == nullptr || Ssc_copy_msg(copy, e->kept) == nullptr) {
    ssc_internal::release_handle(copy);
    return false;
  }
  make_current(copy);
  return true;
}

void copy_text(char* field, std::size_t size, const char* s) {
  (void)std::snprintf(field, size, "%s", s != nullptr && ssc_ptr_set(s) ? s : "");
}

void register_start() {
  ssc_module& m = mod();
  ssc_call* c = m.call;
  ssc_dialog_entry* e = m.entry;
  ssc_handle* user = cur();
  c->digest = ssc_digest_block{};
  ssc_prepare_call_defaults(user);
  ssc_set_local_tag_and_call_id(first<ssc_hdr_name_addr>(user, H::TO), first<ssc_hdr_call_id>(user, H::CALL_ID));
  const ssc_digest_user u = call_user();
  copy_text(c->digest.user, sizeof c->digest.user, u.user);
  copy_text(c->digest.password, sizeof c->digest.password, u.password);
  copy_text(c->digest.realm, sizeof c->digest.realm, u.realm);
  e->refresh_ms = refresh_of(user, SSC_REFRESH_UNKNOWN);
  if (e->refresh_ms == 0) return;
  if (!keep_and_copy(e, user)) return;
  char uri[SSC_DIGEST_URI_MAX + 1];
  const std::size_t n = request_uri_text(ssc_current_handle(), uri, sizeof uri);
  std::memcpy(c->digest.digest_uri, uri, n);
  c->digest.digest_uri[n] = '\0';
  e->reg_in_progress = true;
  (void)ssc_send_register();
}

// The kept REGISTER again (refresh, repeat): a copy, with credentials when
// a nonce is known; the nonce count goes on after it.
void register_send_kept(bool count_up) {
  ssc_module& m = mod();
  ssc_dialog_entry* e = m.entry;
  if (e->kept == nullptr || !keep_and_copy(e, e->kept)) return;
  const bool counted = m.call->digest.nonce[0] != '\0';
  if (counted) add_fresh_credentials("REGISTER");
  (void)ssc_send_register();
  if (counted && count_up) ++m.call->digest.nonce_count;
}

void pass_register_result(u8 byte) {
  if (cur()) cur()->carried_byte_0 = byte;
  pass(SSC_REGISTER_CO);
}

u8 register_response() {
  ssc_module& m = mod();
  ssc_dialog_entry* e = m.entry;
  ssc_register_facts f;
  ssc_handle* h = cur();
  f.has_status = has_status(h);
  f.status_class = class_of(h);
  f.refresh_ms = e->refresh_ms;
  if (auto* ex = first<ssc_hdr_u32>(h, H::EXPIRES)) {
    f.has_expires = true;
    f.expires_s = ex->value;
  }
  if (auto* ct = first<ssc_hdr_contact>(h, H::CONTACT)) f.contact_expires = ct->d1;
  if (e->kept) {
    if (auto* ex = first<ssc_hdr_u32>(e->kept, H::EXPIRES)) {
      f.asked_has_expires = true;
      f.asked_expires_s = ex->value;
    } else if (auto* ct = first<ssc_hdr_contact>(e->kept, H::CONTACT); ct && ct->d1 != 0xFFFFFFFFu) {
      f.asked_has_expires = true;
      f.asked_expires_s = ct->d1;
    }
  }
  f.deferred = (m.call->control_flags & 0x02) != 0;
  if (f.has_status && f.status_class == 3 && !f.deferred) f.challenge_retry = challenge_accepted(e->kept, "REGISTER");
  const ssc_register_outcome o = ssc_register_response(f);
  if (o.report) {
    report(false);
    return ENTRY_REGISTERING;
  }
  if (f.status_class == 1) {
    e->remote_tag[0] = static_cast<char>(SSC_TAG_NONE);
    // The registrar's Service-Route replaces the kept one (the route of the
    // agent's later requests); without one none is kept.
    if (ssc_handle* d = m.call->defaults) {
      if (void** head = Ssc_list_head(d, H::SERVICE_ROUTE)) *head = nullptr;
      if (!ssc_copy_list(d, H::SERVICE_ROUTE, h)) (void)ssc_report_error('d', 'r', 18);
    }
  }
  e->refresh_ms = o.refresh_ms;
  if (o.start_timer) (void)ssc_entry_timer_start(e, 0, o.refresh_ms, '0');
  if (o.resend) {
    register_send_kept(false);
    ++m.call->digest.nonce_count;
  }
  if (o.pass_result) {
    // A standing registration is news once (byte 1, while the user waits);
    // an ended or failed one always (byte 0).
    if (!(f.status_class == 1 && o.next == ENTRY_REGISTERED)) pass_register_result(0);
    if (f.status_class == 1 && e->reg_in_progress) {
      pass_register_result(1);
      e->reg_in_progress = false;
    }
  }
  // The held registration events are taken up again.
  m.call->control_flags &= static_cast<u8>(~0x02);
  ssc_release_held();
  return o.next;
}

void register_again() {
  ssc_module& m = mod();
  ssc_dialog_entry* e = m.entry;
  ssc_handle* user = cur();
  const u32 r = refresh_of(user, e->refresh_ms);
  e->refresh_ms = r;
  ssc_entry_timer_stop(e, 0);
  if (r != 0) {
    // The nonce count goes on with the nonce (a count used again would be
    // refused as a replay).
    if (!keep_and_copy(e, user)) return;
  } else {
    // De-registration: the kept REGISTER with Expires 0 and contact expires 0.
    ssc_handle* k = e->kept;
    if (k == nullptr) return;
    auto* ex = first<ssc_hdr_u32>(k, H::EXPIRES);
    if (ex == nullptr) ex = static_cast<ssc_hdr_u32*>(Ssc_alloc_header(k, H::EXPIRES));
    if (ex) ex->value = 0;
    if (auto* ct = first<ssc_hdr_contact>(k, H::CONTACT)) ct->d1 = 0;
    if (!keep_and_copy(e, k)) return;
  }
  e->reg_in_progress = true;
  const bool counted = m.call->digest.nonce[0] != '\0';
  if (counted) add_fresh_credentials("REGISTER");
  (void)ssc_send_register();
  if (counted) ++m.call->digest.nonce_count;
}

u8 register_refresh(u8 event) {
  ssc_module& m = mod();
  ssc_dialog_entry* e = m.entry;
  if (event == 91) {
    ssc_digest_reset(m.call->digest, call_user());
    e->reg_in_progress = true;
  }
  if (event != 54) ssc_entry_timer_stop(e, 0);
  // Without a SIP-side conn_id the refresh waits a second and tries again.
  if (m.call->sip_conn == SSC_NO_CONN && ssc_call__bind_sip_conn() != 2) {
    (void)ssc_entry_timer_start(e, 0, 1000, '0');
    return ENTRY_REGISTERED;
  }
  register_send_kept(true);
  return ENTRY_REGISTERING;
}

void invite_response_step(u8* next) {
  ssc_module& m = mod();
  ssc_dialog_entry* e = m.entry;
  ssc_handle* h = cur();
  const bool matched = ssc_tx().current != nullptr;
  const ssc_invite_outcome o = ssc_invite_response(class_of(h), status_of(h), e->own_route, !tag_none(e->remote_tag),
                                                   e->target != nullptr, matched);
  if (o.take_route) ssc_route_set_from_response(h);
  if (o.take_target) {
    ssc_remote_target_take(h);
    if (class_of(h) == 1) ssc_remote_target_update(h);
  }
  if (o.send_ack) (void)ssc_send_ack();
  if (o.notify_call) self_event('F', 4);
  *next = o.next;
}

// The re-INVITE we sent was answered.
u8 reinvite_response() {
  ssc_module& m = mod();
  ssc_dialog_entry* e = m.entry;
  ssc_handle* h = cur();
  switch (class_of(h)) {
    case 0: pass(SSC_INVITE_CO); return ENTRY_CONFIRMED;
    case 1:
      pass(SSC_INVITE_CO);
      e->invite_kind = 8;
      return ENTRY_CONFIRMED;
    case 3:
      (void)ssc_send_ack();
      if (challenge_accepted(ssc_tx().pending, "INVITE") &&
          resend_with_credentials(ssc_msg_type::INVITE, "INVITE", SIP_INVITE_RQ))
        return ENTRY_CONFIRMED;
      e->invite_kind = 1;
      pass(SSC_INVITE_CO);
      return ENTRY_CONFIRMED;
    default:
      pass(SSC_INVITE_CO);
      e->invite_kind = 1;
      if (status_of(h) == SSC_INTERNAL_50) return ENTRY_CONFIRMED;
      retype(ssc_msg_type::CLOSE_SESSION);
      self_event('F', 61);
      return ENTRY_IDLE;
  }
}

// The user's close request leaves as the BYE.
void close_as_bye() {
  use_received();
  if (cur() && ssc_set_type_filtered(cur(), ssc_msg_type::BYE)) (void)ssc_send_request(SIP_BYE_RQ);
  mod().call->closed_by_us = true;
}

void entry_act(ssc_entry_action a, u8 event, u8* next) {
  ssc_module& m = mod();
  ssc_dialog_entry* e = m.entry;
  ssc_call* c = m.call;
  using A = ssc_entry_action;
  switch (a) {
    case A::none: break;
    case A::invite_response: invite_response_step(next); break;
    case A::take_invite: {
      start_invite_entry();
      if ((m.ua->option_flags & 0x04) != 0) {
        if (auto* ex = first<ssc_hdr_u32>(cur(), H::EXPIRES))
          (void)ssc_entry_timer_start(e, 0, ssc_seconds_to_ms(ex->value), '0');
      }
      self_event('F', 5);
      break;
    }
    case A::refuse_invite_487:
      start_invite_entry();
      answer_invite_status(487, "Request Terminated");
      c->closed_by_us = true;
      break;
    case A::closed_notice: self_event('F', 60); break;
    case A::register_start:
      register_start();
      if (e->refresh_ms == 0) *next = ENTRY_IDLE;
      break;
    case A::take_register: {
      clear_entry(e);
      ssc_handle* d = m.call->defaults;
      if (d == nullptr) d = m.call->defaults = ssc_internal::new_handle(ssc_msg_type::INVITE);
      if (d) {
        (void)ssc_copy_list(d, H::FROM, cur());
        (void)ssc_copy_list(d, H::TO, cur());
      }
      if (auto* ci = first<ssc_hdr_call_id>(cur(), H::CALL_ID)) ssc_take_call_id(c, ci);
      pass(SSC_REGISTER_IN);
      break;
    }
    case A::options_start:
      clear_entry(e);
      open_request();
      *next = ssc_options_step(40) == SSC_OPTIONS_DONE ? ENTRY_IDLE : ENTRY_OPTIONS_SENT;
      break;
    case A::take_options:
      clear_entry(e);
      ssc_note_request_parties(cur());
      if (auto* ci = first<ssc_hdr_call_id>(cur(), H::CALL_ID)) ssc_take_call_id(c, ci);
      ssc_route_set_from_request(cur());
      ssc_new_local_tag(c->local_tag, sizeof c->local_tag);
      pass(SSC_OPTIONS_IN);
      break;
    case A::send_cancel:
      use_received();
      (void)ssc_fill_cancel();
      break;
    case A::pass_bye_in: pass(SSC_BYE_IN); break;
    case A::bye_notice:
      retype(ssc_msg_type::CLOSE_SESSION_CO);
      self_event('F', 61);
      answer_bye();
      break;
    case A::send_ack:
      use_received();
      (void)ssc_send_request(SIP_ACK_RQ);
      break;
    case A::send_bye:
      use_received();
      (void)ssc_send_request(SIP_BYE_RQ);
      break;
    case A::ack_and_bye_user:
      send_fresh_request(ssc_msg_type::ACK, SIP_ACK_RQ);
      close_as_bye();
      break;
    case A::ack_and_bye:
      send_fresh_request(ssc_msg_type::ACK, SIP_ACK_RQ);
      send_fresh_request(ssc_msg_type::BYE, SIP_BYE_RQ);
      c->closed_by_us = true;
      break;
    case A::pass_ack_or_closed:
      if (!c->closed_by_us) {
        pass(SSC_ACK_IN);
      } else {
        retype(ssc_msg_type::CLOSE_SESSION_CO);
        self_event('F', 60);
      }
      break;
    case A::answer_cancel: answer_received_cancel(); break;
    case A::mark_closed: c->closed_by_us = true; break;
    case A::answer_reinvite:
      use_received();
      prepare_answer(cur());
      if (class_of(cur()) >= 1 && class_of(cur()) <= 3) e->invite_kind = 1;
      self_event('F', 2);
      (void)ssc_send_answer(SIP_INVITE_RS);
      break;
    case A::send_user_ack:
      use_received();
      (void)ssc_send_request(SIP_ACK_RQ);
      e->invite_kind = 1;
      break;
    case A::reinvite_response: *next = reinvite_response(); break;
    case A::take_reinvite:
      e->invite_kind = 11;
      ssc_remote_target_update(cur());
      self_event('F', 5);
      break;
    case A::pass_ack_in:
      self_event('F', 6);
      pass(SSC_ACK_IN);
      break;
    case A::ack_ends_session:
      retype(ssc_msg_type::CLOSE_SESSION);
      self_event('F', 61);
      break;
    case A::bye_notice_reinvite:
      answer_bye();
      retype(ssc_msg_type::CLOSE_SESSION);
      self_event('F', 61);
      reinvite_487();
      break;
    case A::close_with_bye:
      close_as_bye();
      reinvite_487();
      break;
    case A::options_step: (void)ssc_options_step(event); break;
    case A::pass_options_in: pass(SSC_OPTIONS_IN); break;
    case A::send_options_answer:
      use_received();
      prepare_answer(cur());
      (void)ssc_send_answer(SIP_OPTIONS_RS);
      if (e->state == ENTRY_OPTIONS_RECEIVED) *next = class_of(cur()) >= 1 && class_of(cur()) <= 3 ? 1 : 22;
      break;
    case A::bye_closed:
      send_fresh_request(ssc_msg_type::BYE, SIP_BYE_RQ);
      c->closed_by_us = true;
      break;
    case A::bye_not_closed:
      send_fresh_request(ssc_msg_type::BYE, SIP_BYE_RQ);
      c->closed_by_us = false;
      break;
    case A::answer_invite: {
      use_received();
      ssc_handle* h = cur();
      prepare_answer(h);
      (void)add_status(h, 100, "trying");
      if (status_of(h) != 100) fix_local_tag(h);
      if (class_of(h) >= 1) ssc_entry_timer_stop(e, 0);
      self_event('F', 2);
      (void)ssc_send_answer_status(100, "trying");
      break;
    }
    case A::pass_cancel_in: pass(SSC_CANCEL_IN); break;
    case A::cancel_notice:
      fix_local_tag(nullptr);
      answer_fresh(ssc_msg_type::CANCEL_RS, SIP_CANCEL_RS);
      answer_invite_status(487, "Request Terminated");
      retype(ssc_msg_type::CLOSE_SESSION);
      self_event('F', 61);
      c->closed_by_us = true;
      break;
    case A::bye_and_487:
      answer_bye();
      answer_invite_status(487, "Request Terminated");
      c->closed_by_us = true;
      break;
    case A::close_404: {
      // The user's own failure status (415, 488, 486...) is the answer;
      // anything else closes with 404.
      const ssc_hdr_status* asked = first<ssc_hdr_status>(cur(), H::RETURN_CODE);
      char reason[64] = "Not Found";
      u16 status = 404;
      if (asked != nullptr && asked->code >= 300 && asked->code <= 699) {
        status = asked->code;
        if (asked->reason != nullptr && asked->reason[0] != '\0')
          (void)std::snprintf(reason, sizeof reason, "%s", asked->reason);
      }
      answer_invite_status(status, reason);
      c->closed_by_us = true;
      break;
    }
    case A::expired_487:
      answer_invite_status(487, "Request Terminated");
      c->closed_by_us = true;
      break;
    case A::cancel_answer_487:
      use_received();
      (void)ssc_send_answer(SIP_CANCEL_RS);
      answer_invite_status(487, "Request Terminated");
      break;
    case A::reinvite_ack:
      if (class_of(cur()) == 1) send_fresh_request(ssc_msg_type::ACK, SIP_ACK_RQ);
      else if (class_of(cur()) == 3) (void)ssc_send_ack();
      if (class_of(cur()) >= 1) e->invite_kind = 1;
      break;
    case A::resend_bye:
      if (ssc_tx_find(ssc_msg_type::BYE, 0xFFFF, SSC_TX_SENT) == 2) {
        ssc_handle* copy = ssc_internal::new_handle(ssc_msg_type::NONE);
        if (copy && Ssc_copy_msg(copy, ssc_tx().pending)) {
          make_current(copy);
          (void)ssc_send_request(SIP_BYE_RQ);
        } else {
          ssc_internal::release_handle(copy);
        }
      }
      break;
    case A::bye_ended:
      retype(ssc_msg_type::CLOSE_SESSION_CO);
      self_event('F', c->closed_by_us ? 60 : 61);
      break;
    case A::answer_crossing_bye:
      // ENT_SIP releases the dialog with this answer: our BYE's answer will
      // not come, the session ends here.
      answer_bye();
      retype(ssc_msg_type::CLOSE_SESSION_CO);
      self_event('F', c->closed_by_us ? 60 : 61);
      break;
    case A::send_bye_answer:
      use_received();
      (void)ssc_send_answer(SIP_BYE_RS);
      break;
    case A::send_register_answer:
      use_received();
      prepare_answer(cur());
      (void)ssc_send_register_answer();
      break;
    case A::register_response: *next = register_response(); break;
    case A::options_in_register:
      e->remote_tag[0] = static_cast<char>(SSC_TAG_NONE);
      (void)ssc_options_step(event);
      break;
    case A::defer_register:
      // A registration event while a REGISTER runs waits for its response.
      ssc_hold_message();
      c->control_flags |= 0x02;
      break;
    case A::register_again: register_again(); break;
    case A::register_refresh: *next = register_refresh(event); break;
    case A::pass_error: pass_error(); break;
    case A::send_options:
      use_received();
      (void)ssc_send_request(SIP_OPTIONS_RQ);
      break;
    case A::pass_options_co: pass(SSC_OPTIONS_CO); break;
    case A::report: break;
  }
}

}  // namespace

void ssc_call_sm() {
  ssc_module& m = mod();
  ssc_call* c = m.call;
  if (c == nullptr) return;
  const u8 event = m.event;
  if (event == 62) {
    if (c->state == CALL_IDLE) c->state = CALL_READY;
    ssc_prepare_call_defaults(cur());
  } else {
    if (event == 10 && class_of(cur()) != 1) ssc_release_idle_entries();
    if (event == 63 && m.entry && m.entry->call == c) {
      ssc_dialog__release();
      m.entry = c->first;
    }
    ssc_call_facts f;
    f.status_class = class_of(cur());
    f.no_entries = c->first == nullptr;
    f.close_pending = c->close_pending;
    if (event == 56) {
      const u8* b = error_body();
      if (c->state == CALL_INVITING && b && b[7] == SIP_INVITE_RQ) make_fatal(true);
      if (c->state == CALL_OPTIONS) {
        const bool ends = b && b[0] == '~' && error_number() != SSC_INTERNAL_24;
        make_fatal(ends);
        if (ends) ssc_release_idle_entries();
      }
      f.fatal = error_fatal();
    }
    const u8 key = c->state == CALL_READY ? u8{CALL_IDLE} : c->state;
    if (event == 4 && f.status_class == 3 && (key == CALL_INVITING || key == CALL_PROCEEDING))
      f.challenge_retry = challenge_accepted(ssc_tx().pending, "INVITE");
    // The OPTIONS step runs for the rows that name it; its result picks the row.
    if ((key == CALL_IDLE && event == 40) || (key == CALL_OPTIONS && (event == 40 || event == 43 || event == 69)))
      f.options_done = options_from_call(event) == SSC_OPTIONS_DONE;
    const ssc_call_step s = ssc_call_decide(c->state, event, f);
    if (s.action == ssc_call_action::report) report(false);
    else call_act(s.action, event);
    if (mod().call == c) c->state = s.next;
  }
  if (c->state == CALL_IDLE && c->first == nullptr) {
    // The call is named on its indication even when a step above has let go
    // of it (the user finds the call by its conn id).
    m.call = c;
    m.entry = nullptr;
    if (c->pending_indication == 0) fresh_pass(ssc_msg_type::CLOSE_SESSION, CALL_CLOSED_IN);
    (void)ssc_call__release();
  }
}

void ssc_entry_sm() {
  ssc_module& m = mod();
  ssc_dialog_entry* e = m.entry;
  if (e == nullptr || m.call == nullptr) return;
  const u8 event = m.event;
  ssc_entry_facts f;
  ssc_handle* h = cur();
  f.status_class = class_of(h);
  f.status = status_of(h);
  f.notices = session_notices();
  f.internal_24 = has_status(h) && f.status == SSC_INTERNAL_24;
  f.internal_50 = has_status(h) && f.status == SSC_INTERNAL_50;
  f.reinvite_received = e->invite_kind == 11;
  f.reinvite_2xx = e->invite_kind == 8;
  f.reinvite_running = e->invite_kind == 2;
  if (event == 5 && e->state == ENTRY_IDLE) f.expires_zero = invite_expires_zero();
  if (event == 20 && e->state == ENTRY_IDLE) f.refresh_zero = refresh_of(h, SSC_REFRESH_UNKNOWN) == 0;
  if (event == 2 && e->state == ENTRY_INVITED && !has_status(h)) f.status_class = 0;  // default 100
  if (event == 56) f.fatal = error_fatal();
  const ssc_entry_step s = ssc_entry_decide(e->state, event, f);
  u8 next = s.next;
  if (s.action == ssc_entry_action::report) report(s.error_fatal);
  else entry_act(s.action, event, &next);
  if (next == SSC_ENTRY_NEXT_COMPUTED) next = e->state;
  if (m.entry != e) return;
  e->state = next;
  if (next == ENTRY_IDLE) self_event('F', 63);
}
