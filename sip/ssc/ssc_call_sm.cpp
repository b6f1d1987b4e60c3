// ENT_SSC call machine: its rows and the choices of the rows that depend on
// the message.
#include "sip/ssc/ssc_call_sm.h"

#include <array>
#include <utility>

#include "sip/ssc/ssc_row_index.h"

namespace {

namespace fsm = kv::fsm;
using S = ssc_call_st;
using E = ssc_call_ev;
using A = ssc_call_action;
using F = ssc_call_facts;

struct choice {
  A action;
  u8 next;            // used by rows whose next the choice gives
  bool taken = true;  // false: the row does not take this message
};
using choose = choice (*)(u8 state, const F& f);

constexpr u8 raw(S s) { return static_cast<u8>(s); }

// An event no row takes: states 8 and 12 report it, the others ignore it.
choice unexpected(u8 state, const F&) {
  const bool reports = state == CALL_REGISTERING || state == CALL_OPTIONS;
  return {reports ? A::report : A::none, state, false};
}

// The row's action, its next state written in the row.
template <A a>
choice run(u8 state, const F&) {
  return {a, state};
}

// An error record ends the call when it is fatal.
template <A a>
choice fatal_ends(u8 state, const F& f) {
  return {a, f.fatal ? CALL_IDLE : state};
}

// The OPTIONS step ran while the facts were taken: done (4) ends the call.
choice options_result(u8, const F& f) { return {A::options_step, f.options_done ? CALL_IDLE : CALL_OPTIONS}; }

// A dialog entry went idle: the last one ends the call with a notice.
choice last_entry_gone(u8 state, const F& f) {
  return f.no_entries ? choice{A::notice_no_entries, CALL_IDLE} : unexpected(state, f);
}

// A response to our INVITE before any 2xx.
choice calling_response(u8, const F& f) {
  switch (f.status_class) {
    case 0: return {A::pass_invite_co, CALL_PROCEEDING};
    case 1: return {A::pass_invite_co_cancel, CALL_ACTIVE};
    case 3:
      return f.challenge_retry ? choice{A::resend_credentials, CALL_INVITING}
                               : choice{A::pass_final_release, CALL_IDLE};
    default: return {A::pass_final_notice, CALL_IDLE};
  }
}

// A response of another fork while the call is active.
choice active_response(u8 state, const F& f) {
  if (f.status_class == 0) return {A::send_cancel, state};
  if (f.status_class == 1) return {A::entry_ack_bye, state};
  return unexpected(state, f);
}

// A response to our INVITE after the user closed.
choice closing_response(u8 state, const F& f) {
  switch (f.status_class) {
    case 0: return {A::cancel_unless_sent, state};
    case 1: return {A::entry_ack_bye, state};
    case 3: return {A::close_co_refused, CALL_IDLE};
    default: return f.no_entries ? choice{A::close_co_ended, CALL_IDLE} : choice{A::none, state};
  }
}

// The ACK of our 2xx came after the user closed: now the BYE.
choice ack_after_close(u8 state, const F& f) {
  return f.close_pending ? choice{A::entry_close, state} : unexpected(state, f);
}

// The user's answer to an incoming INVITE.
choice offered_answer(u8, const F& f) {
  if (f.status_class == 0) return {A::none, CALL_OFFERED};
  return {A::none, f.status_class == 1 ? CALL_ANSWERED : CALL_IDLE};
}

using call_row = fsm::row<S, E, choose>;
constexpr auto by_action = fsm::by_action;

// CALL_IDLE and CALL_READY share their rows.
constexpr call_row kIdleRows[] = {
    {S::idle, E::invite_rq, run<A::send_invite>, S::inviting},
    {S::idle, E::invite_received, run<A::pass_invite_in>, S::offered},
    {S::idle, E::close_rq, run<A::pass_close_co_release>, S::idle},
    {S::idle, E::register_rq, run<A::entry_register>, S::registering},
    {S::idle, E::options_rq, options_result, by_action},
    {S::idle, E::error_in, run<A::error_fatal_abort>, S::idle},
    {S::idle, E::entry_idle, run<A::none>, S::idle},
    {S::idle, E::sdp_failed, run<A::relay_fatal_release>, S::idle},
};

constexpr call_row kOtherRows[] = {
    {S::inviting, E::invite_response, calling_response, by_action},
    {S::inviting, E::close_rq, run<A::none>, S::closing},  // the CANCEL waits for a 1xx
    {S::inviting, E::error_in, fatal_ends<A::error_in_invite>, by_action},
    {S::inviting, E::sdp_failed, run<A::relay_not_fatal>, fsm::keep},

    {S::proceeding, E::invite_response, calling_response, by_action},
    {S::proceeding, E::close_rq, run<A::find_invite_cancel>, S::closing},
    {S::proceeding, E::error_in, fatal_ends<A::error_in>, by_action},
    {S::proceeding, E::entry_idle, last_entry_gone, by_action},
    {S::proceeding, E::sdp_failed, run<A::relay_not_fatal>, fsm::keep},

    {S::active, E::invite_rq, run<A::reinvite>, fsm::keep},
    {S::active, E::invite_response, active_response, by_action},
    {S::active, E::invite_received, run<A::pass_invite_in>, fsm::keep},
    {S::active, E::close_rq, run<A::entry_close>, S::closing},
    {S::active, E::error_in, fatal_ends<A::error_in>, by_action},
    {S::active, E::session_ended, run<A::pass_notice>, S::idle},
    {S::active, E::entry_idle, last_entry_gone, by_action},
    {S::active, E::sdp_failed, run<A::relay_not_fatal>, fsm::keep},

    {S::closing, E::invite_response, closing_response, by_action},
    {S::closing, E::ack_received, ack_after_close, by_action},
    {S::closing, E::cancel_co, run<A::none>, S::idle},
    {S::closing, E::error_in, fatal_ends<A::close_error>, by_action},
    {S::closing, E::closed_by_us, run<A::pass_close_co>, S::idle},
    {S::closing, E::session_ended, run<A::pass_close_co>, S::idle},
    {S::closing, E::entry_idle, last_entry_gone, by_action},
    {S::closing, E::sdp_failed, run<A::relay_not_fatal>, fsm::keep},

    {S::answered, E::invite_rq, run<A::refuse_491>, fsm::keep},
    {S::answered, E::ack_received, run<A::none>, S::active},
    {S::answered, E::close_rq, run<A::mark_close_pending>, S::closing},
    {S::answered, E::error_in, fatal_ends<A::error_in>, by_action},
    {S::answered, E::session_ended, run<A::pass_notice>, S::idle},
    {S::answered, E::sdp_failed, run<A::relay_not_fatal>, fsm::keep},

    {S::registering, E::register_rq, run<A::entry_register>, fsm::keep},
    {S::registering, E::error_in, run<A::error_in>, fsm::keep},
    {S::registering, E::entry_idle, last_entry_gone, by_action},
    {S::registering, E::sdp_failed, run<A::relay_not_fatal>, fsm::keep},

    {S::offered, E::user_answered, offered_answer, by_action},
    {S::offered, E::close_rq, run<A::entry_close>, S::closing},
    {S::offered, E::error_in, fatal_ends<A::error_in>, by_action},
    {S::offered, E::closed_by_us, run<A::retype_notice>, S::idle},
    {S::offered, E::session_ended, run<A::pass_notice>, S::idle},
    {S::offered, E::entry_idle, last_entry_gone, by_action},
    {S::offered, E::sdp_failed, run<A::relay_not_fatal>, fsm::keep},

    {S::options, E::options_rq, options_result, by_action},
    {S::options, E::options_co, options_result, by_action},
    {S::options, E::options_timer, options_result, by_action},
    {S::options, E::error_in, fatal_ends<A::options_error>, by_action},
    {S::options, E::sdp_failed, run<A::relay_not_fatal>, fsm::keep},
};

// The idle rows, once more for CALL_READY, then the others.
constexpr std::size_t kIdleCount = std::size(kIdleRows);
constexpr std::size_t kRowCount = 2 * kIdleCount + std::size(kOtherRows);
struct all_rows {
  call_row r[kRowCount];
};
consteval call_row joined(std::size_t i) {
  if (i >= 2 * kIdleCount) return kOtherRows[i - 2 * kIdleCount];
  call_row r = kIdleRows[i % kIdleCount];
  if (i >= kIdleCount) r.state = S::ready;
  return r;
}
template <std::size_t... I>
consteval all_rows join(std::index_sequence<I...>) {
  return {{joined(I)...}};
}
constexpr all_rows kRows = join(std::make_index_sequence<kRowCount>{});
constexpr auto kTable = fsm::compile(kRows.r, fsm::cell<choose>{unexpected, fsm::kKeep});
constexpr auto kPlain = fsm::plain(kRows.r);

// The row of each cell, for traces and tests.
constexpr ssc_row_index kRowOf(kRows.r);

// States the choices may pick.
constexpr u8 kChosen[] = {CALL_IDLE,    CALL_INVITING, CALL_PROCEEDING, CALL_ACTIVE,
                          CALL_CLOSING, CALL_ANSWERED, CALL_OFFERED,    CALL_OPTIONS};

// SSC_SET_PARM_RQ makes an idle call ready outside the rows.
constexpr u8 kEntered[] = {CALL_READY};

}  // namespace

kv::fsm::machine_view ssc_call_machine() {
  return {"ssc call", fsm::count_of<S>, fsm::count_of<E>, raw(S::idle), kPlain, kChosen, kEntered};
}

ssc_call_step ssc_call_decide(u8 state, u8 event, const ssc_call_facts& f) {
  const auto* cell = kTable.find(state, event);
  if (cell == nullptr) {
    const choice c = unexpected(state, f);
    return {c.action, c.next, -1};
  }
  const choice c = cell->action(state, f);
  const int row = c.taken ? kRowOf.of(state, event) : -1;
  if (!c.taken || cell->next == fsm::kByAction) return {c.action, c.next, row};
  return {c.action, fsm::next_of(*cell, state), row};
}
