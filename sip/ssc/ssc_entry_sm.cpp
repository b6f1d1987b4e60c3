// ENT_SSC dialog entry machine: its rows and their choices, the INVITE
// response step and the REGISTER response and refresh rules.
#include "sip/ssc/ssc_entry_sm.h"

#include <array>
#include <iterator>

#include "sip/ssc/ssc_ident.h"
#include "sip/ssc/ssc_row_index.h"

namespace {

namespace fsm = kv::fsm;
using S = ssc_entry_st;
using E = ssc_entry_ev;
using A = ssc_entry_action;
using F = ssc_entry_facts;
constexpr u8 NX = SSC_ENTRY_NEXT_COMPUTED;

struct choice {
  A action;
  u8 next;            // used by rows whose next the choice gives
  bool taken = true;  // false: the row does not take this message
  bool error_fatal = false;
};
using choose = choice (*)(u8 state, u8 event, const F& f);

bool has_common_options(u8 state) { return state == 7 || state == 8 || state == 11 || state == 16 || state == 17; }

bool error_ends_always(u8 state) {
  switch (state) {
    case 8:
    case 9:
    case 11:
    case 14:
    case 18:
    case 19:
    case 20:
    case 21:
    case 22: return true;
    default: return false;
  }
}

bool handled(u8 state) {
  return state == 1 || state == 7 || state == 8 || state == 9 || state == 10 || state == 11 || state == 14 ||
         (state >= 16 && state <= 22);
}

// What no row of the state takes: the common rows (OPTIONS inside a dialog,
// the error record, abort, release), else a report; the state is kept.
choice common(u8 state, u8 event, const F& f) {
  if (has_common_options(state)) {
    switch (event) {
      case 40: return {A::send_options, state, false};
      case 41: return {A::pass_options_in, state, false};
      case 42: return {A::send_options_answer, state, false};
      case 43: return {A::pass_options_co, state, false};
      default: break;
    }
  }
  if (!handled(state)) return {A::none, state, false};
  if (event == 56) {
    const bool ends = error_ends_always(state) || (state != 1 && f.fatal);
    return {A::pass_error, ends ? ENTRY_IDLE : state, false};
  }
  if (event == 65) return {A::none, state == 19 ? state : ENTRY_IDLE, false};
  if (event == 57) return {A::none, (state == 7 || state == 8 || state == 11) ? ENTRY_IDLE : state, false};
  return {A::report, state, false, state == ENTRY_IDLE};
}

// The row's action, its next state written in the row.
template <A a>
choice run(u8 state, u8, const F&) {
  return {a, state};
}

// The row's action; the action computes the next state.
template <A a>
choice computed(u8, u8, const F&) {
  return {a, NX};
}

// Only while the fact holds; otherwise as no row.
template <A a, bool F::*fact>
choice only_when(u8 state, u8 event, const F& f) {
  return f.*fact ? choice{a, state} : common(state, event, f);
}

// A BYE received: passed to the user, or ended here with session notices.
template <A notice>
choice bye_received(u8, u8, const F& f) {
  return f.notices ? choice{notice, ENTRY_IDLE} : choice{A::pass_bye_in, ENTRY_BYE_RECEIVED};
}

choice invite_received(u8, u8, const F& f) {
  return f.expires_zero ? choice{A::refuse_invite_487, ENTRY_REJECTED} : choice{A::take_invite, ENTRY_INVITED};
}

choice register_rq(u8, u8, const F& f) { return {A::register_start, f.refresh_zero ? ENTRY_IDLE : ENTRY_REGISTERING}; }

choice reinvite_response(u8 state, u8 event, const F& f) {
  return f.reinvite_running ? choice{A::reinvite_response, NX} : common(state, event, f);
}

choice confirmed_ack(u8 state, u8 event, const F& f) {
  if (f.internal_24) return {A::ack_ends_session, ENTRY_IDLE};
  if (f.status == 0) return {A::pass_ack_in, state};
  return common(state, event, f);
}

// The user's answer to a received INVITE: its status class decides.
choice invite_answer(u8, u8, const F& f) {
  if (f.status_class == 0) return {A::answer_invite, ENTRY_INVITED};
  return {A::answer_invite, f.status_class == 1 ? ENTRY_CONFIRMED : ENTRY_REJECTED};
}

choice cancel_received(u8, u8, const F& f) {
  return f.notices ? choice{A::cancel_notice, ENTRY_REJECTED} : choice{A::pass_cancel_in, ENTRY_CANCELLED};
}

choice ack_while_bye_sent(u8 state, u8, const F& f) {
  return {f.internal_24 || f.internal_50 ? A::none : A::resend_bye, state};
}

// Our BYE answered (a 2xx, or the internal 24).
choice bye_response(u8 state, u8 event, const F& f) {
  if (f.status_class != 1 && !f.internal_24) return common(state, event, f);
  return f.reinvite_running ? choice{A::none, ENTRY_EARLY} : choice{A::bye_ended, ENTRY_IDLE};
}

choice options_answer(u8, u8, const F& f) {
  const bool final = f.status_class >= 1 && f.status_class <= 3;
  return {A::send_options_answer, final ? ENTRY_IDLE : ENTRY_OPTIONS_RECEIVED};
}

using entry_row = fsm::row<S, E, choose>;
constexpr auto by_action = fsm::by_action;
constexpr auto keep = fsm::keep;

constexpr entry_row kRows[] = {
    {S::idle, E::invite_response, computed<A::invite_response>, by_action},
    {S::idle, E::invite_received, invite_received, by_action},
    {S::idle, E::close, run<A::closed_notice>, keep},
    {S::idle, E::register_rq, register_rq, by_action},
    {S::idle, E::register_received, run<A::take_register>, S::register_received},
    {S::idle, E::options_rq, computed<A::options_start>, by_action},
    {S::idle, E::options_received, run<A::take_options>, S::options_received},
    {S::idle, E::ack_rq, run<A::none>, keep},
    {S::idle, E::ack_received, run<A::none>, keep},
    {S::idle, E::event_27, run<A::none>, keep},
    {S::idle, E::release, run<A::none>, keep},
    {S::idle, E::abort, run<A::none>, keep},
    {S::idle, E::dialog_gone, run<A::none>, keep},

    {S::early, E::invite_response, computed<A::invite_response>, by_action},
    {S::early, E::cancel_rq, run<A::send_cancel>, keep},
    {S::early, E::bye_received, bye_received<A::bye_notice>, by_action},
    {S::early, E::release, run<A::none>, S::idle},
    {S::early, E::abort, run<A::none>, S::idle},

    {S::received_2xx, E::ack_rq, run<A::send_ack>, S::confirmed},
    {S::received_2xx, E::bye_rq, run<A::send_bye>, S::bye_sent},
    {S::received_2xx, E::bye_received, bye_received<A::bye_notice>, by_action},
    {S::received_2xx, E::close, run<A::ack_and_bye_user>, S::bye_sent},
    {S::received_2xx, E::ack_and_end, run<A::ack_and_bye>, S::bye_sent},

    {S::rejected, E::ack_received, run<A::pass_ack_or_closed>, S::idle},
    {S::rejected, E::cancel_received, run<A::answer_cancel>, keep},
    {S::rejected, E::close, run<A::mark_closed>, keep},

    {S::confirmed, E::invite_answer, only_when<A::answer_reinvite, &F::reinvite_received>, keep},
    {S::confirmed, E::ack_rq, only_when<A::send_user_ack, &F::reinvite_2xx>, keep},
    {S::confirmed, E::invite_response, reinvite_response, by_action},
    {S::confirmed, E::invite_received, run<A::take_reinvite>, keep},
    {S::confirmed, E::ack_received, confirmed_ack, by_action},
    {S::confirmed, E::cancel_received, run<A::answer_cancel>, keep},
    {S::confirmed, E::bye_rq, run<A::send_bye>, S::bye_sent},
    {S::confirmed, E::bye_received, bye_received<A::bye_notice_reinvite>, by_action},
    {S::confirmed, E::close, run<A::close_with_bye>, S::bye_sent},
    {S::confirmed, E::options_rq, run<A::options_step>, keep},
    {S::confirmed, E::options_response, run<A::options_step>, keep},
    {S::confirmed, E::options_timer, run<A::options_step>, keep},
    {S::confirmed, E::options_received, run<A::pass_options_in>, keep},
    {S::confirmed, E::options_answer, run<A::send_options_answer>, keep},
    {S::confirmed, E::ack_and_end, run<A::bye_closed>, S::bye_sent},
    {S::confirmed, E::dialog_gone, run<A::bye_not_closed>, S::bye_sent},

    {S::invited, E::invite_answer, invite_answer, by_action},
    {S::invited, E::cancel_received, cancel_received, by_action},
    {S::invited, E::bye_received, run<A::bye_and_487>, S::rejected},
    {S::invited, E::close, run<A::close_404>, S::rejected},
    {S::invited, E::entry_timer, run<A::expired_487>, S::rejected},

    {S::cancelled, E::cancel_answer, run<A::cancel_answer_487>, S::idle},

    {S::bye_sent, E::invite_response, only_when<A::reinvite_ack, &F::reinvite_running>, keep},
    {S::bye_sent, E::ack_received, ack_while_bye_sent, keep},
    {S::bye_sent, E::bye_response, bye_response, by_action},
    {S::bye_sent, E::bye_received, run<A::answer_crossing_bye>, S::idle},
    {S::bye_sent, E::release, run<A::none>, keep},
    {S::bye_sent, E::dialog_gone, run<A::none>, keep},

    {S::bye_received, E::bye_answer, run<A::send_bye_answer>, S::idle},

    {S::register_received, E::register_answer, run<A::send_register_answer>, S::idle},

    {S::registering, E::register_response, computed<A::register_response>, by_action},
    {S::registering, E::options_rq, run<A::options_in_register>, keep},
    {S::registering, E::options_response, run<A::options_in_register>, keep},
    {S::registering, E::options_timer, run<A::options_in_register>, keep},
    {S::registering, E::registration_event, run<A::defer_register>, keep},
    {S::registering, E::registration_reset, run<A::defer_register>, keep},
    {S::registering, E::release, run<A::none>, keep},
    {S::registering, E::abort, run<A::none>, keep},

    {S::registered, E::register_rq, run<A::register_again>, S::registering},
    {S::registered, E::options_rq, run<A::options_in_register>, keep},
    {S::registered, E::options_response, run<A::options_in_register>, keep},
    {S::registered, E::options_timer, run<A::options_in_register>, keep},
    {S::registered, E::options_received, run<A::pass_options_in>, keep},
    {S::registered, E::entry_timer, computed<A::register_refresh>, by_action},
    {S::registered, E::registration_event, computed<A::register_refresh>, by_action},
    {S::registered, E::registration_reset, computed<A::register_refresh>, by_action},

    {S::options_sent, E::options_rq, computed<A::options_step>, by_action},
    {S::options_sent, E::options_response, computed<A::options_step>, by_action},
    {S::options_sent, E::options_timer, computed<A::options_step>, by_action},

    {S::options_received, E::options_answer, options_answer, by_action},
};

constexpr auto kTable = fsm::compile(kRows, fsm::cell<choose>{common, fsm::kKeep});
constexpr auto kPlain = fsm::plain(kRows);

// The row of each cell, for traces and tests.
constexpr ssc_row_index kRowOf(kRows);

// States the choices and the actions that compute the next state may pick.
constexpr u8 kChosen[] = {ENTRY_IDLE,        ENTRY_EARLY,      ENTRY_2XX_RECEIVED, ENTRY_REJECTED,
                          ENTRY_CONFIRMED,   ENTRY_INVITED,    ENTRY_CANCELLED,    ENTRY_BYE_RECEIVED,
                          ENTRY_REGISTERING, ENTRY_REGISTERED, ENTRY_OPTIONS_SENT, ENTRY_OPTIONS_RECEIVED};

}  // namespace

kv::fsm::machine_view ssc_entry_machine() {
  return {"ssc entry", fsm::count_of<S>, fsm::count_of<E>, ENTRY_IDLE, kPlain, kChosen, {}};
}

ssc_entry_step ssc_entry_decide(u8 state, u8 event, const ssc_entry_facts& f) {
  const auto* cell = kTable.find(state, event);
  const choice c = cell != nullptr ? cell->action(state, event, f) : common(state, event, f);
  if (!c.taken) return {c.action, c.next, -1, c.error_fatal};
  const int row = kRowOf.of(state, event);
  if (cell->next == fsm::kByAction) return {c.action, c.next, row};
  return {c.action, fsm::next_of(*cell, state), row};
}

ssc_invite_outcome ssc_invite_response(u8 status_class, u16 status, bool own_route, bool has_remote_tag,
                                       bool has_target, bool matched_tx) {
  ssc_invite_outcome o{false, false, false, true, ENTRY_IDLE};
  switch (status_class) {
    case 0:
      o.take_route = !own_route && status != 100;
      o.take_target = has_remote_tag && !has_target;
      o.next = ENTRY_EARLY;
      break;
    case 1:
      o.take_route = !own_route;
      o.take_target = true;  // taken, or updated when one exists
      o.next = ENTRY_2XX_RECEIVED;
      break;
    case 2: o.send_ack = true; break;
    case 3: o.send_ack = matched_tx; break;
    default: o.notify_call = status != SSC_INTERNAL_STATUS_SILENT_END; break;
  }
  return o;
}

u32 ssc_register_2xx_refresh_ms(const ssc_register_facts& f) {
  if (f.has_expires || f.contact_expires != 0xFFFFFFFFu)
    return ssc_expires_refresh(f.refresh_ms, f.has_expires, f.expires_s, f.contact_expires);
  // The registrar named no expiry: it granted what was asked for, or its
  // default of an hour; never an unknown interval (the binding would lapse).
  return ssc_refresh_ms(f.asked_has_expires ? f.asked_expires_s : SSC_REGISTER_DEFAULT_EXPIRES_S);
}

ssc_register_outcome ssc_register_response(const ssc_register_facts& f) {
  ssc_register_outcome o{ENTRY_REGISTERING, f.refresh_ms, false, false, false, false};
  if (!f.has_status) {
    o.report = true;
    return o;
  }
  switch (f.status_class) {
    case 0: return o;
    case 1:
      if (f.refresh_ms != 0) {
        o.refresh_ms = ssc_register_2xx_refresh_ms(f);
        if (o.refresh_ms != 0) {
          o.next = ENTRY_REGISTERED;
          o.start_timer = true;
        } else {
          o.next = ENTRY_IDLE;
        }
      } else {
        o.next = ENTRY_IDLE;
      }
      o.pass_result = true;
      return o;
    case 3:
      if (f.deferred) {
        o.next = ENTRY_REGISTERED;
      } else if (f.challenge_retry) {
        o.resend = true;
      } else {
        o.next = ENTRY_IDLE;
        o.pass_result = true;
      }
      return o;
    default:  // class 2 or 4
      if (f.deferred) {
        o.next = ENTRY_REGISTERED;
      } else {
        o.next = ENTRY_IDLE;
        o.pass_result = true;
      }
      return o;
  }
}
