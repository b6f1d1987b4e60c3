// ENT_SSC dialog entry machine table, INVITE response step and the REGISTER
// response and refresh rules.
#include "sip/ssc/ssc_entry_sm.h"

#include <iterator>

#include "sip/ssc/ssc_ident.h"

namespace {

using C = ssc_entry_cond;
using A = ssc_entry_action;
constexpr u8 NX = SSC_ENTRY_NEXT_COMPUTED;

constexpr ssc_entry_row kRows[] = {
    {1, 4, C::any, A::invite_response, NX},
    {1, 5, C::expires_zero, A::refuse_invite_487, 9},
    {1, 5, C::any, A::take_invite, 11},
    {1, 19, C::any, A::closed_notice, 1},
    {1, 20, C::refresh_zero, A::register_start, 1},
    {1, 20, C::any, A::register_start, 19},
    {1, 22, C::any, A::take_register, 18},
    {1, 40, C::any, A::options_start, NX},
    {1, 41, C::any, A::take_options, 22},
    {1, 3, C::any, A::none, 1},
    {1, 6, C::any, A::none, 1},
    {1, 27, C::any, A::none, 1},
    {1, 57, C::any, A::none, 1},
    {1, 65, C::any, A::none, 1},
    {1, 95, C::any, A::none, 1},

    {7, 4, C::any, A::invite_response, NX},
    {7, 7, C::any, A::send_cancel, 7},
    {7, 13, C::no_notices, A::pass_bye_in, 17},
    {7, 13, C::notices, A::bye_notice, 1},
    {7, 57, C::any, A::none, 1},
    {7, 65, C::any, A::none, 1},

    {8, 3, C::any, A::send_ack, 10},
    {8, 11, C::any, A::send_bye, 16},
    {8, 13, C::no_notices, A::pass_bye_in, 17},
    {8, 13, C::notices, A::bye_notice, 1},
    {8, 19, C::any, A::ack_and_bye_user, 16},
    {8, 64, C::any, A::ack_and_bye, 16},

    {9, 6, C::any, A::pass_ack_or_closed, 1},
    {9, 8, C::any, A::answer_cancel, 9},
    {9, 19, C::any, A::mark_closed, 9},

    {10, 2, C::reinvite_received, A::answer_reinvite, 10},
    {10, 3, C::reinvite_2xx, A::send_user_ack, 10},
    {10, 4, C::reinvite_running, A::reinvite_response, NX},
    {10, 5, C::any, A::take_reinvite, 10},
    {10, 6, C::ack_internal_24, A::ack_ends_session, 1},
    {10, 6, C::ack_plain, A::pass_ack_in, 10},
    {10, 8, C::any, A::answer_cancel, 10},
    {10, 11, C::any, A::send_bye, 16},
    {10, 13, C::no_notices, A::pass_bye_in, 17},
    {10, 13, C::notices, A::bye_notice_reinvite, 1},
    {10, 19, C::any, A::close_with_bye, 16},
    {10, 40, C::any, A::options_step, 10},
    {10, 43, C::any, A::options_step, 10},
    {10, 69, C::any, A::options_step, 10},
    {10, 41, C::any, A::pass_options_in, 10},
    {10, 42, C::any, A::send_options_answer, 10},
    {10, 64, C::any, A::bye_closed, 16},
    {10, 95, C::any, A::bye_not_closed, 16},

    {11, 2, C::status_1xx, A::answer_invite, 11},
    {11, 2, C::status_2xx, A::answer_invite, 10},
    {11, 2, C::status_final_error, A::answer_invite, 9},
    {11, 8, C::no_notices, A::pass_cancel_in, 14},
    {11, 8, C::notices, A::cancel_notice, 9},
    {11, 13, C::any, A::bye_and_487, 9},
    {11, 19, C::any, A::close_404, 9},
    {11, 54, C::any, A::expired_487, 9},

    {14, 9, C::any, A::cancel_answer_487, 1},

    {16, 4, C::reinvite_running, A::reinvite_ack, 16},
    {16, 6, C::ack_internal, A::none, 16},
    {16, 6, C::any, A::resend_bye, 16},
    {16, 12, C::bye_done_reinvite, A::none, 7},
    {16, 12, C::bye_done, A::bye_ended, 1},
    {16, 13, C::any, A::answer_crossing_bye, 1},
    {16, 57, C::any, A::none, 16},
    {16, 95, C::any, A::none, 16},

    {17, 14, C::any, A::send_bye_answer, 1},

    {18, 23, C::any, A::send_register_answer, 1},

    {19, 21, C::any, A::register_response, NX},
    {19, 40, C::any, A::options_in_register, 19},
    {19, 43, C::any, A::options_in_register, 19},
    {19, 69, C::any, A::options_in_register, 19},
    {19, 89, C::any, A::defer_register, 19},
    {19, 91, C::any, A::defer_register, 19},
    {19, 57, C::any, A::none, 19},
    {19, 65, C::any, A::none, 19},

    {20, 20, C::any, A::register_again, 19},
    {20, 40, C::any, A::options_in_register, 20},
    {20, 43, C::any, A::options_in_register, 20},
    {20, 69, C::any, A::options_in_register, 20},
    {20, 41, C::any, A::pass_options_in, 20},
    {20, 54, C::any, A::register_refresh, NX},
    {20, 89, C::any, A::register_refresh, NX},
    {20, 91, C::any, A::register_refresh, NX},

    {21, 40, C::any, A::options_step, NX},
    {21, 43, C::any, A::options_step, NX},
    {21, 69, C::any, A::options_step, NX},

    {22, 42, C::answer_final, A::send_options_answer, 1},
    {22, 42, C::any, A::send_options_answer, 22},
};

bool holds(ssc_entry_cond c, const ssc_entry_facts& f, u8 event) {
  switch (c) {
    case C::any: return true;
    case C::notices: return f.notices;
    case C::no_notices: return !f.notices;
    case C::expires_zero: return f.expires_zero;
    case C::refresh_zero: return f.refresh_zero;
    case C::status_1xx: return f.status_class == 0;
    case C::status_2xx: return f.status_class == 1;
    case C::status_final_error: return f.status_class >= 2;
    case C::reinvite_received: return f.reinvite_received;
    case C::reinvite_2xx: return f.reinvite_2xx;
    case C::reinvite_running: return f.reinvite_running;
    case C::ack_plain: return f.status == 0 && !f.internal_24;
    case C::ack_internal_24: return f.internal_24;
    case C::ack_internal: return f.internal_24 || f.internal_50;
    case C::bye_done_reinvite: return (f.status_class == 1 || f.internal_24) && f.reinvite_running;
    case C::bye_done: return f.status_class == 1 || f.internal_24;
    case C::answer_final: return f.status_class >= 1 && f.status_class <= 3;
    case C::fatal: return f.fatal;
  }
  (void)event;
  return false;
}

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

}  // namespace

const ssc_entry_row* ssc_entry_rows(std::size_t* count) {
  *count = std::size(kRows);
  return kRows;
}

ssc_entry_step ssc_entry_decide(u8 state, u8 event, const ssc_entry_facts& f) {
  for (std::size_t i = 0; i < std::size(kRows); ++i) {
    const ssc_entry_row& r = kRows[i];
    if (r.state == state && r.event == event && holds(r.cond, f, event)) return {r.action, r.next, static_cast<int>(i)};
  }
  if (has_common_options(state)) {
    switch (event) {
      case 40: return {A::send_options, state, -1};
      case 41: return {A::pass_options_in, state, -1};
      case 42: return {A::send_options_answer, state, -1};
      case 43: return {A::pass_options_co, state, -1};
      default: break;
    }
  }
  const bool handled_state = state == 1 || state == 7 || state == 8 || state == 9 || state == 10 || state == 11 ||
                             state == 14 || (state >= 16 && state <= 22);
  if (!handled_state) return {A::none, state, -1};
  if (event == 56) {
    const bool ends = error_ends_always(state) || (state != 1 && f.fatal);
    return {A::pass_error, ends ? u8{ENTRY_IDLE} : state, -1};
  }
  if (event == 65) return {A::none, state == 19 ? state : u8{ENTRY_IDLE}, -1};
  if (event == 57) return {A::none, (state == 7 || state == 8 || state == 11) ? u8{ENTRY_IDLE} : state, -1};
  return {A::report, state, -1, state == ENTRY_IDLE};
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
