// ENT_SSC call machine table: one case per row (the test checks that every
// row is reached), the events no state expects, and the mends (a close while
// our 2xx awaits its ACK sends the BYE after the ACK; a 4xx re-sends only
// when the challenge step answers it).
#include "sip/ssc/ssc_call_sm.h"

#include <gtest/gtest.h>

#include <set>
#include <vector>

namespace {

using A = ssc_call_action;

ssc_call_facts cls(u8 c, bool retry = false) {
  ssc_call_facts f;
  f.status_class = c;
  f.challenge_retry = retry;
  return f;
}
ssc_call_facts fatal() {
  ssc_call_facts f;
  f.fatal = true;
  return f;
}
ssc_call_facts no_entries(u8 c = 4) {
  ssc_call_facts f;
  f.no_entries = true;
  f.status_class = c;
  return f;
}
ssc_call_facts options_done() {
  ssc_call_facts f;
  f.options_done = true;
  return f;
}
ssc_call_facts close_pending() {
  ssc_call_facts f;
  f.close_pending = true;
  return f;
}

struct Case {
  u8 state, event;
  ssc_call_facts facts;
  A action;
  u8 next;
};

const Case kCases[] = {
    // CALL_IDLE / CALL_READY
    {1, 1, {}, A::send_invite, 2},
    {11, 5, {}, A::pass_invite_in, 10},
    {1, 19, {}, A::pass_close_co_release, 1},
    {11, 20, {}, A::entry_register, 8},
    {1, 40, options_done(), A::options_step, 1},
    {1, 40, {}, A::options_step, 12},
    {1, 56, {}, A::error_fatal_abort, 1},
    {1, 63, {}, A::none, 1},
    {1, 81, {}, A::relay_fatal_release, 1},
    // CALL_INVITING
    {2, 4, cls(0), A::pass_invite_co, 3},
    {2, 4, cls(1), A::pass_invite_co_cancel, 5},
    {2, 4, cls(2), A::pass_final_notice, 1},
    {2, 4, cls(3, true), A::resend_credentials, 2},
    {2, 4, cls(3), A::pass_final_release, 1},
    {2, 19, {}, A::none, 6},
    {2, 56, fatal(), A::error_in_invite, 1},
    {2, 56, {}, A::error_in_invite, 2},
    {2, 81, {}, A::relay_not_fatal, 2},
    // CALL_PROCEEDING
    {3, 4, cls(0), A::pass_invite_co, 3},
    {3, 4, cls(1), A::pass_invite_co_cancel, 5},
    {3, 4, cls(4), A::pass_final_notice, 1},
    {3, 4, cls(3, true), A::resend_credentials, 2},
    {3, 4, cls(3), A::pass_final_release, 1},
    {3, 19, {}, A::find_invite_cancel, 6},
    {3, 56, fatal(), A::error_in, 1},
    {3, 56, {}, A::error_in, 3},
    {3, 63, no_entries(), A::notice_no_entries, 1},
    {3, 81, {}, A::relay_not_fatal, 3},
    // CALL_ACTIVE
    {5, 1, {}, A::reinvite, 5},
    {5, 4, cls(0), A::send_cancel, 5},
    {5, 4, cls(1), A::entry_ack_bye, 5},
    {5, 5, {}, A::pass_invite_in, 5},
    {5, 19, {}, A::entry_close, 6},
    {5, 56, fatal(), A::error_in, 1},
    {5, 56, {}, A::error_in, 5},
    {5, 61, {}, A::pass_notice, 1},
    {5, 63, no_entries(), A::notice_no_entries, 1},
    {5, 81, {}, A::relay_not_fatal, 5},
    // CALL_CLOSING
    {6, 4, cls(0), A::cancel_unless_sent, 6},
    {6, 4, cls(1), A::entry_ack_bye, 6},
    {6, 4, cls(3), A::close_co_refused, 1},
    {6, 4, cls(3, true), A::close_co_refused, 1},
    {6, 4, no_entries(2), A::close_co_ended, 1},
    {6, 4, cls(4), A::none, 6},
    {6, 6, close_pending(), A::entry_close, 6},
    {6, 10, {}, A::none, 1},
    {6, 56, fatal(), A::close_error, 1},
    {6, 56, {}, A::close_error, 6},
    {6, 60, {}, A::pass_close_co, 1},
    {6, 61, {}, A::pass_close_co, 1},
    {6, 63, no_entries(), A::notice_no_entries, 1},
    {6, 81, {}, A::relay_not_fatal, 6},
    // CALL_ANSWERED
    {7, 1, {}, A::refuse_491, 7},
    {7, 6, {}, A::none, 5},
    {7, 19, {}, A::mark_close_pending, 6},
    {7, 56, fatal(), A::error_in, 1},
    {7, 56, {}, A::error_in, 7},
    {7, 61, {}, A::pass_notice, 1},
    {7, 81, {}, A::relay_not_fatal, 7},
    // CALL_REGISTERING
    {8, 20, {}, A::entry_register, 8},
    {8, 56, fatal(), A::error_in, 8},
    {8, 63, no_entries(), A::notice_no_entries, 1},
    {8, 81, {}, A::relay_not_fatal, 8},
    // CALL_OFFERED
    {10, 2, cls(0), A::none, 10},
    {10, 2, cls(1), A::none, 7},
    {10, 2, cls(3), A::none, 1},
    {10, 19, {}, A::entry_close, 6},
    {10, 56, fatal(), A::error_in, 1},
    {10, 56, {}, A::error_in, 10},
    {10, 60, {}, A::retype_notice, 1},
    {10, 61, {}, A::pass_notice, 1},
    {10, 63, no_entries(), A::notice_no_entries, 1},
    {10, 81, {}, A::relay_not_fatal, 10},
    // CALL_OPTIONS
    {12, 40, options_done(), A::options_step, 1},
    {12, 40, {}, A::options_step, 12},
    {12, 43, options_done(), A::options_step, 1},
    {12, 43, {}, A::options_step, 12},
    {12, 69, options_done(), A::options_step, 1},
    {12, 69, {}, A::options_step, 12},
    {12, 56, fatal(), A::options_error, 1},
    {12, 56, {}, A::options_error, 12},
    {12, 81, {}, A::relay_not_fatal, 12},
};

}  // namespace

TEST(SscCallSm, EveryRow) {
  std::set<int> reached;
  for (const Case& c : kCases) {
    // CALL_IDLE and CALL_READY share their rows.
    std::vector<u8> states{c.state};
    if (c.state == CALL_IDLE || c.state == CALL_READY) states = {CALL_IDLE, CALL_READY};
    for (const u8 st : states) {
      const ssc_call_step s = ssc_call_decide(st, c.event, c.facts);
      EXPECT_EQ(s.action, c.action) << int(st) << "/" << int(c.event);
      EXPECT_EQ(s.next, c.next) << int(st) << "/" << int(c.event);
      reached.insert(s.row);
    }
  }
  std::size_t n = 0;
  n = ssc_call_machine().rows.size();
  for (std::size_t i = 0; i < n; ++i) EXPECT_TRUE(reached.count(static_cast<int>(i))) << "row " << i << " untested";
}

TEST(SscCallSm, UnexpectedEvents) {
  // States 8 and 12 report what they do not expect; the others ignore it.
  // The state is kept either way, states 4 and 9 included.
  const u8 states[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  for (u8 st : states) {
    for (u8 ev : {u8{3}, u8{68}, u8{126}}) {
      const ssc_call_step s = ssc_call_decide(st, ev, {});
      EXPECT_EQ(s.next, st) << int(st) << "/" << int(ev);
      EXPECT_EQ(s.action, (st == 8 || st == 12) ? A::report : A::none) << int(st) << "/" << int(ev);
    }
  }
  // Rows with a condition that does not hold fall through to the default.
  EXPECT_EQ(ssc_call_decide(6, 6, {}).action, A::none) << "an ACK without a close waiting";
  EXPECT_EQ(ssc_call_decide(3, 63, {}).next, 3) << "an entry went idle, others remain";
  EXPECT_EQ(ssc_call_decide(8, 63, {}).action, A::report);
}

TEST(SscCallSm, CloseWhileOurAnswerAwaitsItsAck) {
  // 10 --2xx answer--> 7 --close--> 6 (remembered) --ACK--> BYE from the entry.
  u8 st = ssc_call_decide(CALL_OFFERED, 2, cls(1)).next;
  ASSERT_EQ(st, CALL_ANSWERED);
  const ssc_call_step close = ssc_call_decide(st, 19, {});
  EXPECT_EQ(close.action, A::mark_close_pending);
  ASSERT_EQ(close.next, CALL_CLOSING);
  const ssc_call_step ack = ssc_call_decide(close.next, 6, close_pending());
  EXPECT_EQ(ack.action, A::entry_close);
  EXPECT_EQ(ack.next, CALL_CLOSING);
}

TEST(SscCallSm, FourXxResendsOnlyWhenTheChallengeIsAnswered) {
  for (u8 st : {u8{2}, u8{3}}) {
    EXPECT_EQ(ssc_call_decide(st, 4, cls(3, true)).action, A::resend_credentials);
    const ssc_call_step declined = ssc_call_decide(st, 4, cls(3, false));
    EXPECT_EQ(declined.action, A::pass_final_release);
    EXPECT_EQ(declined.next, CALL_IDLE);
  }
}
