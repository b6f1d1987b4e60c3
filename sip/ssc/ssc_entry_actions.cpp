// The actions of the ENT_SSC dialog-entry machine, one function each, the
// steps they share (answers, the INVITE and REGISTER responses, the
// registration and its refresh), and the step that runs the machine for the
// current message.
#include <cstdio>
#include <cstring>

#include "sip/text/sip_hdr.h"
#include "sip/ssc/ssc_entry_sm.h"
#include "sip/ssc/ssc_helpers.h"
#include "sip/ssc/ssc_ident.h"
#include "sip/ssc/ssc_machine_steps.h"
#include "sip/ssc/ssc_machines.h"
#include "sip/ssc/ssc_tx.h"

namespace {

using namespace ssc_steps;
using A = ssc_entry_action;
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
  ssc_via_from_contact(v, ct);
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
  if (ssc_tx_find(ssc_msg_type::INVITE, 0xFFFF, SSC_TX_RECEIVED) != SSC_RESULT_OK) {
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
  if (ssc_tx_find(ssc_msg_type::BYE, 0xFFFF, SSC_TX_RECEIVED) != SSC_RESULT_OK) return;
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

void start_registration() {
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

u8 registration_answered() {
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

void registration_asked_again() {
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

u8 registration_refresh(u8 event) {
  ssc_module& m = mod();
  ssc_dialog_entry* e = m.entry;
  if (event == 91) {
    ssc_digest_reset(m.call->digest, call_user());
    e->reg_in_progress = true;
  }
  if (event != 54) ssc_entry_timer_stop(e, 0);
  // Without a SIP-side conn_id the refresh waits a second and tries again.
  if (m.call->sip_conn == SSC_NO_CONN && ssc_call__bind_sip_conn() != SSC_RESULT_OK) {
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
u8 our_reinvite_answered() {
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

// ---- actions ------------------------------------------------------------------

namespace act {

void none(u8, u8*) {}

void invite_response(u8, u8* next) { invite_response_step(next); }

void take_invite(u8, u8*) {
  ssc_module& m = mod();
  ssc_dialog_entry* e = mod().entry;
  start_invite_entry();
  if ((m.ua->option_flags & 0x04) != 0) {
    if (auto* ex = first<ssc_hdr_u32>(cur(), H::EXPIRES))
      (void)ssc_entry_timer_start(e, 0, ssc_seconds_to_ms(ex->value), '0');
  }
  self_event('F', 5);
}

void refuse_invite_487(u8, u8*) {
  ssc_call* c = mod().call;
  start_invite_entry();
  answer_invite_status(487, "Request Terminated");
  c->closed_by_us = true;
}

void closed_notice(u8, u8*) { self_event('F', 60); }

void register_start(u8, u8* next) {
  ssc_dialog_entry* e = mod().entry;
  start_registration();
  if (e->refresh_ms == 0) *next = ENTRY_IDLE;
}

void take_register(u8, u8*) {
  ssc_module& m = mod();
  ssc_dialog_entry* e = mod().entry;
  ssc_call* c = mod().call;
  clear_entry(e);
  ssc_handle* d = m.call->defaults;
  if (d == nullptr) d = m.call->defaults = ssc_internal::new_handle(ssc_msg_type::INVITE);
  if (d) {
    (void)ssc_copy_list(d, H::FROM, cur());
    (void)ssc_copy_list(d, H::TO, cur());
  }
  if (auto* ci = first<ssc_hdr_call_id>(cur(), H::CALL_ID)) ssc_take_call_id(c, ci);
  pass(SSC_REGISTER_IN);
}

void options_start(u8, u8* next) {
  ssc_dialog_entry* e = mod().entry;
  clear_entry(e);
  open_request();
  *next = ssc_options_step(40) == SSC_OPTIONS_DONE ? ENTRY_IDLE : ENTRY_OPTIONS_SENT;
}

void take_options(u8, u8*) {
  ssc_dialog_entry* e = mod().entry;
  ssc_call* c = mod().call;
  clear_entry(e);
  ssc_note_request_parties(cur());
  if (auto* ci = first<ssc_hdr_call_id>(cur(), H::CALL_ID)) ssc_take_call_id(c, ci);
  ssc_route_set_from_request(cur());
  ssc_new_local_tag(c->local_tag, sizeof c->local_tag);
  pass(SSC_OPTIONS_IN);
}

void send_cancel(u8, u8*) {
  use_received();
  (void)ssc_fill_cancel();
}

void pass_bye_in(u8, u8*) { pass(SSC_BYE_IN); }

void bye_notice(u8, u8*) {
  retype(ssc_msg_type::CLOSE_SESSION_CO);
  self_event('F', 61);
  answer_bye();
}

void send_ack(u8, u8*) {
  use_received();
  (void)ssc_send_request(SIP_ACK_RQ);
}

void send_bye(u8, u8*) {
  use_received();
  (void)ssc_send_request(SIP_BYE_RQ);
}

void ack_and_bye_user(u8, u8*) {
  send_fresh_request(ssc_msg_type::ACK, SIP_ACK_RQ);
  close_as_bye();
}

void ack_and_bye(u8, u8*) {
  ssc_call* c = mod().call;
  send_fresh_request(ssc_msg_type::ACK, SIP_ACK_RQ);
  send_fresh_request(ssc_msg_type::BYE, SIP_BYE_RQ);
  c->closed_by_us = true;
}

void pass_ack_or_closed(u8, u8*) {
  ssc_call* c = mod().call;
  if (!c->closed_by_us) {
    pass(SSC_ACK_IN);
  } else {
    retype(ssc_msg_type::CLOSE_SESSION_CO);
    self_event('F', 60);
  }
}

void answer_cancel(u8, u8*) { answer_received_cancel(); }

void mark_closed(u8, u8*) {
  ssc_call* c = mod().call;
  c->closed_by_us = true;
}

void answer_reinvite(u8, u8*) {
  ssc_dialog_entry* e = mod().entry;
  use_received();
  prepare_answer(cur());
  if (class_of(cur()) >= 1 && class_of(cur()) <= 3) e->invite_kind = 1;
  self_event('F', 2);
  (void)ssc_send_answer(SIP_INVITE_RS);
}

void send_user_ack(u8, u8*) {
  ssc_dialog_entry* e = mod().entry;
  use_received();
  (void)ssc_send_request(SIP_ACK_RQ);
  e->invite_kind = 1;
}

void reinvite_response(u8, u8* next) { *next = our_reinvite_answered(); }

void take_reinvite(u8, u8*) {
  ssc_dialog_entry* e = mod().entry;
  e->invite_kind = 11;
  ssc_remote_target_update(cur());
  self_event('F', 5);
}

void pass_ack_in(u8, u8*) {
  self_event('F', 6);
  pass(SSC_ACK_IN);
}

void ack_ends_session(u8, u8*) {
  retype(ssc_msg_type::CLOSE_SESSION);
  self_event('F', 61);
}

void bye_notice_reinvite(u8, u8*) {
  answer_bye();
  retype(ssc_msg_type::CLOSE_SESSION);
  self_event('F', 61);
  reinvite_487();
}

void close_with_bye(u8, u8*) {
  close_as_bye();
  reinvite_487();
}

void options_step(u8 event, u8*) { (void)ssc_options_step(event); }

void pass_options_in(u8, u8*) { pass(SSC_OPTIONS_IN); }

void send_options_answer(u8, u8* next) {
  ssc_dialog_entry* e = mod().entry;
  use_received();
  prepare_answer(cur());
  (void)ssc_send_answer(SIP_OPTIONS_RS);
  if (e->state == ENTRY_OPTIONS_RECEIVED) *next = class_of(cur()) >= 1 && class_of(cur()) <= 3 ? 1 : 22;
}

void bye_closed(u8, u8*) {
  ssc_call* c = mod().call;
  send_fresh_request(ssc_msg_type::BYE, SIP_BYE_RQ);
  c->closed_by_us = true;
}

void bye_not_closed(u8, u8*) {
  ssc_call* c = mod().call;
  send_fresh_request(ssc_msg_type::BYE, SIP_BYE_RQ);
  c->closed_by_us = false;
}

void answer_invite(u8, u8*) {
  ssc_dialog_entry* e = mod().entry;
  use_received();
  ssc_handle* h = cur();
  prepare_answer(h);
  (void)add_status(h, 100, "trying");
  if (status_of(h) != 100) fix_local_tag(h);
  if (class_of(h) >= 1) ssc_entry_timer_stop(e, 0);
  self_event('F', 2);
  (void)ssc_send_answer_status(100, "trying");
}

void pass_cancel_in(u8, u8*) { pass(SSC_CANCEL_IN); }

void cancel_notice(u8, u8*) {
  ssc_call* c = mod().call;
  fix_local_tag(nullptr);
  answer_fresh(ssc_msg_type::CANCEL_RS, SIP_CANCEL_RS);
  answer_invite_status(487, "Request Terminated");
  retype(ssc_msg_type::CLOSE_SESSION);
  self_event('F', 61);
  c->closed_by_us = true;
}

void bye_and_487(u8, u8*) {
  ssc_call* c = mod().call;
  answer_bye();
  answer_invite_status(487, "Request Terminated");
  c->closed_by_us = true;
}

void close_404(u8, u8*) {
  ssc_call* c = mod().call;
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
}

void expired_487(u8, u8*) {
  ssc_call* c = mod().call;
  answer_invite_status(487, "Request Terminated");
  c->closed_by_us = true;
}

void cancel_answer_487(u8, u8*) {
  use_received();
  (void)ssc_send_answer(SIP_CANCEL_RS);
  answer_invite_status(487, "Request Terminated");
}

void reinvite_ack(u8, u8*) {
  ssc_dialog_entry* e = mod().entry;
  if (class_of(cur()) == 1) send_fresh_request(ssc_msg_type::ACK, SIP_ACK_RQ);
  else if (class_of(cur()) == 3) (void)ssc_send_ack();
  if (class_of(cur()) >= 1) e->invite_kind = 1;
}

void resend_bye(u8, u8*) {
  if (ssc_tx_find(ssc_msg_type::BYE, 0xFFFF, SSC_TX_SENT) == SSC_RESULT_OK) {
    ssc_handle* copy = ssc_internal::new_handle(ssc_msg_type::NONE);
    if (copy && Ssc_copy_msg(copy, ssc_tx().pending)) {
      make_current(copy);
      (void)ssc_send_request(SIP_BYE_RQ);
    } else {
      ssc_internal::release_handle(copy);
    }
  }
}

void bye_ended(u8, u8*) {
  ssc_call* c = mod().call;
  retype(ssc_msg_type::CLOSE_SESSION_CO);
  self_event('F', c->closed_by_us ? 60 : 61);
}

void answer_crossing_bye(u8, u8*) {
  ssc_call* c = mod().call;
  // ENT_SIP releases the dialog with this answer: our BYE's answer will
  // not come, the session ends here.
  answer_bye();
  retype(ssc_msg_type::CLOSE_SESSION_CO);
  self_event('F', c->closed_by_us ? 60 : 61);
}

void send_bye_answer(u8, u8*) {
  use_received();
  (void)ssc_send_answer(SIP_BYE_RS);
}

void send_register_answer(u8, u8*) {
  use_received();
  prepare_answer(cur());
  (void)ssc_send_register_answer();
}

void register_response(u8, u8* next) { *next = registration_answered(); }

void options_in_register(u8 event, u8*) {
  ssc_dialog_entry* e = mod().entry;
  e->remote_tag[0] = static_cast<char>(SSC_TAG_NONE);
  (void)ssc_options_step(event);
}

void defer_register(u8, u8*) {
  ssc_call* c = mod().call;
  // A registration event while a REGISTER runs waits for its response.
  ssc_hold_message();
  c->control_flags |= 0x02;
}

void register_again(u8, u8*) { registration_asked_again(); }

void register_refresh(u8 event, u8* next) { *next = registration_refresh(event); }

void pass_error(u8, u8*) { ssc_steps::pass_error(); }

void send_options(u8, u8*) {
  use_received();
  (void)ssc_send_request(SIP_OPTIONS_RQ);
}

void pass_options_co(u8, u8*) { pass(SSC_OPTIONS_CO); }

}  // namespace act

using perform = void (*)(u8 event, u8* next);

constexpr action_binding<A, perform> kBindings[] = {
    {A::none, act::none},
    {A::invite_response, act::invite_response},
    {A::take_invite, act::take_invite},
    {A::refuse_invite_487, act::refuse_invite_487},
    {A::closed_notice, act::closed_notice},
    {A::register_start, act::register_start},
    {A::take_register, act::take_register},
    {A::options_start, act::options_start},
    {A::take_options, act::take_options},
    {A::send_cancel, act::send_cancel},
    {A::pass_bye_in, act::pass_bye_in},
    {A::bye_notice, act::bye_notice},
    {A::send_ack, act::send_ack},
    {A::send_bye, act::send_bye},
    {A::ack_and_bye_user, act::ack_and_bye_user},
    {A::ack_and_bye, act::ack_and_bye},
    {A::pass_ack_or_closed, act::pass_ack_or_closed},
    {A::answer_cancel, act::answer_cancel},
    {A::mark_closed, act::mark_closed},
    {A::answer_reinvite, act::answer_reinvite},
    {A::send_user_ack, act::send_user_ack},
    {A::reinvite_response, act::reinvite_response},
    {A::take_reinvite, act::take_reinvite},
    {A::pass_ack_in, act::pass_ack_in},
    {A::ack_ends_session, act::ack_ends_session},
    {A::bye_notice_reinvite, act::bye_notice_reinvite},
    {A::close_with_bye, act::close_with_bye},
    {A::options_step, act::options_step},
    {A::pass_options_in, act::pass_options_in},
    {A::send_options_answer, act::send_options_answer},
    {A::bye_closed, act::bye_closed},
    {A::bye_not_closed, act::bye_not_closed},
    {A::answer_invite, act::answer_invite},
    {A::pass_cancel_in, act::pass_cancel_in},
    {A::cancel_notice, act::cancel_notice},
    {A::bye_and_487, act::bye_and_487},
    {A::close_404, act::close_404},
    {A::expired_487, act::expired_487},
    {A::cancel_answer_487, act::cancel_answer_487},
    {A::reinvite_ack, act::reinvite_ack},
    {A::resend_bye, act::resend_bye},
    {A::bye_ended, act::bye_ended},
    {A::answer_crossing_bye, act::answer_crossing_bye},
    {A::send_bye_answer, act::send_bye_answer},
    {A::send_register_answer, act::send_register_answer},
    {A::register_response, act::register_response},
    {A::options_in_register, act::options_in_register},
    {A::defer_register, act::defer_register},
    {A::register_again, act::register_again},
    {A::register_refresh, act::register_refresh},
    {A::pass_error, act::pass_error},
    {A::send_options, act::send_options},
    {A::pass_options_co, act::pass_options_co},
    {A::report, act::none},  // the step reports it,
};
constexpr auto kPerform = bind_actions(kBindings);

}  // namespace

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
  else kPerform[static_cast<std::size_t>(s.action)](event, &next);
  if (next == SSC_ENTRY_NEXT_COMPUTED) next = e->state;
  if (m.entry != e) return;
  e->state = next;
  if (next == ENTRY_IDLE) self_event('F', 63);
}