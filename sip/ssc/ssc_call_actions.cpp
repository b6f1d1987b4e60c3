// The actions of the ENT_SSC call machine, one function each, and the step
// that runs the machine for the current message.
#include <array>

#include "sip/text/sip_hdr.h"
#include "sip/ssc/ssc_call_sm.h"
#include "sip/ssc/ssc_helpers.h"
#include "sip/ssc/ssc_ident.h"
#include "sip/ssc/ssc_machine_steps.h"
#include "sip/ssc/ssc_machines.h"
#include "sip/ssc/ssc_tx.h"

namespace {

using namespace ssc_steps;
using A = ssc_call_action;

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

// ---- actions ------------------------------------------------------------------

void none(ssc_call&) {}

void send_invite(ssc_call&) {
  open_request();
  (void)ssc_send_request(SIP_INVITE_RQ);
}

void pass_invite_in(ssc_call&) { pass(SSC_INVITE_IN); }

void pass_close_co_release(ssc_call&) {
  pass(CLOSE_SESS_CO);
  ssc_release_idle_entries();
}

void entry_register(ssc_call&) { self_event('C', 20); }

void error_fatal_abort(ssc_call&) {
  make_fatal(true);
  ssc_abort_entries();
  pass_error();
}

void relay_fatal_release(ssc_call&) {
  ssc_relay_sip_error();
  ssc_release_idle_entries();
}

void relay_not_fatal(ssc_call&) { ssc_relay_sip_error(); }

void pass_invite_co(ssc_call&) { pass(SSC_INVITE_CO); }

void pass_invite_co_cancel(ssc_call& c) {
  pass(SSC_INVITE_CO);
  if (c.entry_count > 1) (void)ssc_send_cancel();
}

void pass_final_notice(ssc_call&) {
  if (class_of(cur()) == 4 && status_of(cur()) == SSC_INTERNAL_24) self_event('G', 67);
  pass(SSC_INVITE_CO);
  notice_final();
}

void resend_credentials(ssc_call&) {
  (void)resend_with_credentials(ssc_msg_type::INVITE, "INVITE", SIP_INVITE_RQ);
  ssc_release_idle_entries();
}

void pass_final_release(ssc_call&) {
  pass(SSC_INVITE_CO);
  notice_final();
  ssc_release_idle_entries();
}

void error_in(ssc_call&) {
  if (error_fatal()) ssc_abort_entries();
  pass_error();
}

void find_invite_cancel(ssc_call&) {
  (void)ssc_tx_find(ssc_msg_type::INVITE, 0xFFFF, SSC_TX_SENT);
  (void)ssc_send_cancel();
}

void notice_no_entries(ssc_call&) { fresh_pass(ssc_msg_type::CLOSE_SESSION, SESS_CLOSED_IN); }

void reinvite(ssc_call& c) {
  if (ssc_dialog_entry* e = mod().entry) e->invite_kind = 2;
  use_received();
  // A known nonce: a response of its own for this request, with the next
  // nonce count.
  const bool counted = c.digest.nonce[0] != '\0';
  if (counted) {
    request_uri_from_target();
    add_fresh_credentials("INVITE");
  }
  (void)ssc_send_request(SIP_INVITE_RQ);
  if (counted) ++c.digest.nonce_count;
}

void send_cancel(ssc_call&) { (void)ssc_send_cancel(); }

void entry_ack_bye(ssc_call&) { self_event('C', 64); }

void entry_close(ssc_call& c) {
  // The close the user asked for while our 2xx awaited its ACK: the ACK
  // came, the entry now sends the BYE (not the ACK's headers).
  if (c.close_pending) {
    c.close_pending = false;
    ssc_internal::release_handle(cur());
    cur() = ssc_internal::new_handle(ssc_msg_type::CLOSE_SESSION);
    if (cur() == nullptr) return;
  }
  self_event('C', 19);
}

void pass_notice(ssc_call&) { pass(SESS_CLOSED_IN); }

void cancel_unless_sent(ssc_call& c) {
  if ((c.control_flags & 0x01) == 0) (void)ssc_send_cancel();
}

void close_co_ended(ssc_call&) {
  retype(ssc_msg_type::CLOSE_SESSION);
  pass(CLOSE_SESS_CO);
}

void close_co_refused(ssc_call&) {
  ssc_release_idle_entries();
  retype(ssc_msg_type::CLOSE_SESSION_CO);
  pass(CLOSE_SESS_CO);
}

void close_error(ssc_call&) {
  if (error_fatal()) {
    fresh_pass(ssc_msg_type::CLOSE_SESSION_CO, CLOSE_SESS_CO);
    ssc_abort_entries();
  }
  pass_error();
}

void pass_close_co(ssc_call&) { pass(CLOSE_SESS_CO); }

void refuse_491(ssc_call&) {
  ssc_handle* h = cur();
  h->type = ssc_msg_type::INVITE_RS;
  if (void** head = Ssc_list_head(h, H::RETURN_CODE)) *head = nullptr;
  if (auto* st = static_cast<ssc_hdr_status*>(Ssc_alloc_header(h, H::RETURN_CODE))) {
    st->code = 491;
    st->reason = "request pending";
  }
  pass(SSC_INVITE_CO);
}

void mark_close_pending(ssc_call& c) { c.close_pending = true; }

void options_error(ssc_call&) { pass_error(); }

void retype_notice(ssc_call&) {
  retype(ssc_msg_type::CLOSE_SESSION);
  pass(SESS_CLOSED_IN);
}

void report_event(ssc_call&) { report(false); }

using perform = void (*)(ssc_call&);

// The OPTIONS step runs while the facts are taken (its result picks the
// next state): the action itself has nothing left to do.
constexpr action_binding<A, perform> kBindings[] = {
    {A::none, none},
    {A::send_invite, send_invite},
    {A::pass_invite_in, pass_invite_in},
    {A::pass_close_co_release, pass_close_co_release},
    {A::entry_register, entry_register},
    {A::options_step, none},
    {A::error_fatal_abort, error_fatal_abort},
    {A::relay_fatal_release, relay_fatal_release},
    {A::relay_not_fatal, relay_not_fatal},
    {A::pass_invite_co, pass_invite_co},
    {A::pass_invite_co_cancel, pass_invite_co_cancel},
    {A::pass_final_notice, pass_final_notice},
    {A::resend_credentials, resend_credentials},
    {A::pass_final_release, pass_final_release},
    {A::error_in, error_in},
    {A::error_in_invite, error_in},
    {A::find_invite_cancel, find_invite_cancel},
    {A::notice_no_entries, notice_no_entries},
    {A::reinvite, reinvite},
    {A::send_cancel, send_cancel},
    {A::entry_ack_bye, entry_ack_bye},
    {A::entry_close, entry_close},
    {A::pass_notice, pass_notice},
    {A::cancel_unless_sent, cancel_unless_sent},
    {A::close_co_ended, close_co_ended},
    {A::close_co_refused, close_co_refused},
    {A::close_error, close_error},
    {A::pass_close_co, pass_close_co},
    {A::refuse_491, refuse_491},
    {A::mark_close_pending, mark_close_pending},
    {A::options_error, options_error},
    {A::retype_notice, retype_notice},
    {A::report, report_event},
};
constexpr auto kPerform = bind_actions(kBindings);

}  // namespace

void ssc_call_sm() {
  ssc_module& m = mod();
  ssc_call* c = m.call;
  if (c == nullptr) return;
  const u8 event = m.event;
  if (event == static_cast<u8>(ssc_call_ev::set_parm)) {
    if (c->state == CALL_IDLE) c->state = CALL_READY;
    ssc_prepare_call_defaults(cur());
  } else {
    if (event == static_cast<u8>(ssc_call_ev::cancel_co) && class_of(cur()) != 1) ssc_release_idle_entries();
    if (event == static_cast<u8>(ssc_call_ev::entry_idle) && m.entry && m.entry->call == c) {
      ssc_dialog__release();
      m.entry = c->first;
    }
    ssc_call_facts f;
    f.status_class = class_of(cur());
    f.no_entries = c->first == nullptr;
    f.close_pending = c->close_pending;
    if (event == static_cast<u8>(ssc_call_ev::error_in)) {
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
    if (event == static_cast<u8>(ssc_call_ev::invite_response) && f.status_class == 3 &&
        (key == CALL_INVITING || key == CALL_PROCEEDING))
      f.challenge_retry = challenge_accepted(ssc_tx().pending, "INVITE");
    // The OPTIONS step runs for the rows that name it; its result picks the row.
    if ((key == CALL_IDLE && event == 40) || (key == CALL_OPTIONS && (event == 40 || event == 43 || event == 69)))
      f.options_done = options_from_call(event) == SSC_OPTIONS_DONE;
    const ssc_call_step s = ssc_call_decide(c->state, event, f);
    kPerform[static_cast<std::size_t>(s.action)](*c);
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
