// ENT_SSC call machine table.
#include "sip/ssc/ssc_call_sm.h"

#include <iterator>

namespace {

using C = ssc_call_cond;
using A = ssc_call_action;

// States 1 (CALL_IDLE) and 11 (CALL_READY) share their rows; they are
// written for state 1 and looked up with 11 mapped to 1.
constexpr ssc_call_row kRows[] = {
    {1, 1, C::any, A::send_invite, 2},
    {1, 5, C::any, A::pass_invite_in, 10},
    {1, 19, C::any, A::pass_close_co_release, 1},
    {1, 20, C::any, A::entry_register, 8},
    {1, 40, C::options_done, A::options_step, 1},
    {1, 40, C::any, A::options_step, 12},
    {1, 56, C::any, A::error_fatal_abort, 1},
    {1, 63, C::any, A::none, 1},
    {1, 81, C::any, A::relay_fatal_release, 1},

    {2, 4, C::class0, A::pass_invite_co, 3},
    {2, 4, C::class1, A::pass_invite_co_cancel, 5},
    {2, 4, C::class2or4, A::pass_final_notice, 1},
    {2, 4, C::class3_retry, A::resend_credentials, 2},
    {2, 4, C::class3, A::pass_final_release, 1},
    {2, 19, C::any, A::none, 6},
    {2, 56, C::fatal, A::error_in_invite, 1},
    {2, 56, C::any, A::error_in_invite, 2},
    {2, 81, C::any, A::relay_not_fatal, 2},

    {3, 4, C::class0, A::pass_invite_co, 3},
    {3, 4, C::class1, A::pass_invite_co_cancel, 5},
    {3, 4, C::class2or4, A::pass_final_notice, 1},
    {3, 4, C::class3_retry, A::resend_credentials, 2},
    {3, 4, C::class3, A::pass_final_release, 1},
    {3, 19, C::any, A::find_invite_cancel, 6},
    {3, 56, C::fatal, A::error_in, 1},
    {3, 56, C::any, A::error_in, 3},
    {3, 63, C::no_entries, A::notice_no_entries, 1},
    {3, 81, C::any, A::relay_not_fatal, 3},

    {5, 1, C::any, A::reinvite, 5},
    {5, 4, C::class0, A::send_cancel, 5},
    {5, 4, C::class1, A::entry_ack_bye, 5},
    {5, 5, C::any, A::pass_invite_in, 5},
    {5, 19, C::any, A::entry_close, 6},
    {5, 56, C::fatal, A::error_in, 1},
    {5, 56, C::any, A::error_in, 5},
    {5, 61, C::any, A::pass_notice, 1},
    {5, 63, C::no_entries, A::notice_no_entries, 1},
    {5, 81, C::any, A::relay_not_fatal, 5},

    {6, 4, C::class0, A::cancel_unless_sent, 6},
    {6, 4, C::class1, A::entry_ack_bye, 6},
    {6, 4, C::class3, A::close_co_refused, 1},
    {6, 4, C::class3_retry, A::close_co_refused, 1},
    {6, 4, C::class2or4_no_entries, A::close_co_ended, 1},
    {6, 4, C::class2or4, A::none, 6},
    {6, 6, C::close_pending, A::entry_close, 6},  // the ACK came: now the BYE
    {6, 10, C::any, A::none, 1},
    {6, 56, C::fatal, A::close_error, 1},
    {6, 56, C::any, A::close_error, 6},
    {6, 60, C::any, A::pass_close_co, 1},
    {6, 61, C::any, A::pass_close_co, 1},
    {6, 63, C::no_entries, A::notice_no_entries, 1},
    {6, 81, C::any, A::relay_not_fatal, 6},

    {7, 1, C::any, A::refuse_491, 7},
    {7, 6, C::any, A::none, 5},
    {7, 19, C::any, A::mark_close_pending, 6},
    {7, 56, C::fatal, A::error_in, 1},
    {7, 56, C::any, A::error_in, 7},
    {7, 61, C::any, A::pass_notice, 1},
    {7, 81, C::any, A::relay_not_fatal, 7},

    {8, 20, C::any, A::entry_register, 8},
    {8, 56, C::any, A::error_in, 8},
    {8, 63, C::no_entries, A::notice_no_entries, 1},
    {8, 81, C::any, A::relay_not_fatal, 8},

    {10, 2, C::class0, A::none, 10},
    {10, 2, C::class1, A::none, 7},
    {10, 2, C::class2to4, A::none, 1},
    {10, 19, C::any, A::entry_close, 6},
    {10, 56, C::fatal, A::error_in, 1},
    {10, 56, C::any, A::error_in, 10},
    {10, 60, C::any, A::retype_notice, 1},
    {10, 61, C::any, A::pass_notice, 1},
    {10, 63, C::no_entries, A::notice_no_entries, 1},
    {10, 81, C::any, A::relay_not_fatal, 10},

    {12, 40, C::options_done, A::options_step, 1},
    {12, 40, C::any, A::options_step, 12},
    {12, 43, C::options_done, A::options_step, 1},
    {12, 43, C::any, A::options_step, 12},
    {12, 69, C::options_done, A::options_step, 1},
    {12, 69, C::any, A::options_step, 12},
    {12, 56, C::fatal, A::options_error, 1},
    {12, 56, C::any, A::options_error, 12},
    {12, 81, C::any, A::relay_not_fatal, 12},
};

bool holds(ssc_call_cond c, const ssc_call_facts& f) {
  switch (c) {
    case C::any: return true;
    case C::class0: return f.status_class == 0;
    case C::class1: return f.status_class == 1;
    case C::class2or4: return f.status_class == 2 || f.status_class == 4;
    case C::class3_retry: return f.status_class == 3 && f.challenge_retry;
    case C::class3: return f.status_class == 3 && !f.challenge_retry;
    case C::class2to4: return f.status_class >= 2;
    case C::fatal: return f.fatal;
    case C::class2or4_no_entries: return f.no_entries && (f.status_class == 2 || f.status_class == 4);
    case C::no_entries: return f.no_entries;
    case C::options_done: return f.options_done;
    case C::close_pending: return f.close_pending;
  }
  return false;
}

}  // namespace

const ssc_call_row* ssc_call_rows(std::size_t* count) {
  *count = std::size(kRows);
  return kRows;
}

ssc_call_step ssc_call_decide(u8 state, u8 event, const ssc_call_facts& f) {
  const u8 key = state == u8{CALL_READY} ? u8{CALL_IDLE} : state;
  for (std::size_t i = 0; i < std::size(kRows); ++i) {
    const ssc_call_row& r = kRows[i];
    if (r.state != key || r.event != event) continue;
    if (!holds(r.cond, f)) continue;
    return {r.action, r.next, static_cast<int>(i)};
  }
  if (state == CALL_REGISTERING || state == CALL_OPTIONS) return {A::report, state, -1};
  return {A::none, state, -1};
}
