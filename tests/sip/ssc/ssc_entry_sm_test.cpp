// ENT_SSC dialog entry machine: one case per table row (checked to reach
// every row), the common rows of every state, unexpected events, the INVITE
// response step and the REGISTER response with its refresh interval.
#include "sip/ssc/ssc_entry_sm.h"

#include <gtest/gtest.h>

#include <set>

#include "sip/ssc/ssc_ident.h"

namespace {

using A = ssc_entry_action;
using F = ssc_entry_facts;
constexpr u8 NX = SSC_ENTRY_NEXT_COMPUTED;

F cls(u8 c) {
  F f;
  f.status_class = c;
  return f;
}
F notices() {
  F f;
  f.notices = true;
  return f;
}
template <class Edit>
F with(Edit e) {
  F f;
  e(f);
  return f;
}

struct Case {
  u8 state, event;
  F facts;
  A action;
  u8 next;
};

const Case kCases[] = {
    {1, 4, {}, A::invite_response, NX},
    {1, 5, with([](F& f) { f.expires_zero = true; }), A::refuse_invite_487, 9},
    {1, 5, {}, A::take_invite, 11},
    {1, 19, {}, A::closed_notice, 1},
    {1, 20, with([](F& f) { f.refresh_zero = true; }), A::register_start, 1},
    {1, 20, {}, A::register_start, 19},
    {1, 22, {}, A::take_register, 18},
    {1, 40, {}, A::options_start, NX},
    {1, 41, {}, A::take_options, 22},
    {1, 3, {}, A::none, 1},
    {1, 6, {}, A::none, 1},
    {1, 27, {}, A::none, 1},
    {1, 57, {}, A::none, 1},
    {1, 65, {}, A::none, 1},
    {1, 95, {}, A::none, 1},

    {7, 4, {}, A::invite_response, NX},
    {7, 7, {}, A::send_cancel, 7},
    {7, 13, {}, A::pass_bye_in, 17},
    {7, 13, notices(), A::bye_notice, 1},
    {7, 57, {}, A::none, 1},
    {7, 65, {}, A::none, 1},

    {8, 3, {}, A::send_ack, 10},
    {8, 11, {}, A::send_bye, 16},
    {8, 13, {}, A::pass_bye_in, 17},
    {8, 13, notices(), A::bye_notice, 1},
    {8, 19, {}, A::ack_and_bye_user, 16},
    {8, 64, {}, A::ack_and_bye, 16},

    {9, 6, {}, A::pass_ack_or_closed, 1},
    {9, 8, {}, A::answer_cancel, 9},
    {9, 19, {}, A::mark_closed, 9},

    {10, 2, with([](F& f) { f.reinvite_received = true; }), A::answer_reinvite, 10},
    {10, 3, with([](F& f) { f.reinvite_2xx = true; }), A::send_user_ack, 10},
    {10, 4, with([](F& f) { f.reinvite_running = true; }), A::reinvite_response, NX},
    {10, 5, {}, A::take_reinvite, 10},
    {10, 6, with([](F& f) { f.internal_24 = true; }), A::ack_ends_session, 1},
    {10, 6, {}, A::pass_ack_in, 10},
    {10, 8, {}, A::answer_cancel, 10},
    {10, 11, {}, A::send_bye, 16},
    {10, 13, {}, A::pass_bye_in, 17},
    {10, 13, notices(), A::bye_notice_reinvite, 1},
    {10, 19, {}, A::close_with_bye, 16},
    {10, 40, {}, A::options_step, 10},
    {10, 43, {}, A::options_step, 10},
    {10, 69, {}, A::options_step, 10},
    {10, 41, {}, A::pass_options_in, 10},
    {10, 42, {}, A::send_options_answer, 10},
    {10, 64, {}, A::bye_closed, 16},
    {10, 95, {}, A::bye_not_closed, 16},

    {11, 2, cls(0), A::answer_invite, 11},
    {11, 2, cls(1), A::answer_invite, 10},
    {11, 2, cls(3), A::answer_invite, 9},
    {11, 8, {}, A::pass_cancel_in, 14},
    {11, 8, notices(), A::cancel_notice, 9},
    {11, 13, {}, A::bye_and_487, 9},
    {11, 19, {}, A::close_404, 9},
    {11, 54, {}, A::expired_487, 9},

    {14, 9, {}, A::cancel_answer_487, 1},

    {16, 4, with([](F& f) { f.reinvite_running = true; }), A::reinvite_ack, 16},
    {16, 6, with([](F& f) { f.internal_50 = true; }), A::none, 16},
    {16, 6, {}, A::resend_bye, 16},
    {16, 12, with([](F& f) {
       f.status_class = 1;
       f.reinvite_running = true;
     }),
     A::none, 7},
    {16, 12, with([](F& f) { f.internal_24 = true; }), A::bye_ended, 1},
    {16, 13, {}, A::answer_crossing_bye, 1},
    {16, 57, {}, A::none, 16},
    {16, 95, {}, A::none, 16},

    {17, 14, {}, A::send_bye_answer, 1},
    {18, 23, {}, A::send_register_answer, 1},

    {19, 21, {}, A::register_response, NX},
    {19, 40, {}, A::options_in_register, 19},
    {19, 43, {}, A::options_in_register, 19},
    {19, 69, {}, A::options_in_register, 19},
    {19, 89, {}, A::defer_register, 19},
    {19, 91, {}, A::defer_register, 19},
    {19, 57, {}, A::none, 19},
    {19, 65, {}, A::none, 19},

    {20, 20, {}, A::register_again, 19},
    {20, 40, {}, A::options_in_register, 20},
    {20, 43, {}, A::options_in_register, 20},
    {20, 69, {}, A::options_in_register, 20},
    {20, 41, {}, A::pass_options_in, 20},
    {20, 54, {}, A::register_refresh, NX},
    {20, 89, {}, A::register_refresh, NX},
    {20, 91, {}, A::register_refresh, NX},

    {21, 40, {}, A::options_step, NX},
    {21, 43, {}, A::options_step, NX},
    {21, 69, {}, A::options_step, NX},

    {22, 42, cls(1), A::send_options_answer, 1},
    {22, 42, cls(0), A::send_options_answer, 22},
};

const u8 kStates[] = {1, 7, 8, 9, 10, 11, 14, 16, 17, 18, 19, 20, 21, 22};

}  // namespace

TEST(SscEntrySm, EveryRow) {
  std::set<int> reached;
  for (const Case& c : kCases) {
    const ssc_entry_step s = ssc_entry_decide(c.state, c.event, c.facts);
    EXPECT_EQ(s.action, c.action) << int(c.state) << "/" << int(c.event);
    EXPECT_EQ(s.next, c.next) << int(c.state) << "/" << int(c.event);
    reached.insert(s.row);
  }
  std::size_t n = 0;
  n = ssc_entry_machine().rows.size();
  for (std::size_t i = 0; i < n; ++i) EXPECT_TRUE(reached.count(static_cast<int>(i))) << "row " << i << " untested";
}

TEST(SscEntrySm, CommonRows) {
  for (u8 st : kStates) {
    const bool options = st == 7 || st == 8 || st == 11 || st == 16 || st == 17;
    if (options) {
      EXPECT_EQ(ssc_entry_decide(st, 40, {}).action, A::send_options) << int(st);
      EXPECT_EQ(ssc_entry_decide(st, 41, {}).action, A::pass_options_in) << int(st);
      EXPECT_EQ(ssc_entry_decide(st, 42, {}).action, A::send_options_answer) << int(st);
      EXPECT_EQ(ssc_entry_decide(st, 43, {}).action, A::pass_options_co) << int(st);
      EXPECT_EQ(ssc_entry_decide(st, 43, {}).next, st);
    }
    // The error record: idle always, when fatal, or never (state 1).
    const bool always = st == 8 || st == 9 || st == 11 || st == 14 || st >= 18;
    const ssc_entry_step e = ssc_entry_decide(st, 56, {});
    EXPECT_EQ(e.action, A::pass_error) << int(st);
    EXPECT_EQ(e.next, always ? 1 : st) << int(st);
    F fatal;
    fatal.fatal = true;
    EXPECT_EQ(ssc_entry_decide(st, 56, fatal).next, 1) << int(st);
    // Abort: idle except while registering.
    EXPECT_EQ(ssc_entry_decide(st, 65, {}).next, st == 19 ? 19 : 1) << int(st);
    // Release of an idle entry: idle only from 7, 8, 11 (and 1 stays 1).
    EXPECT_EQ(ssc_entry_decide(st, 57, {}).next, (st == 7 || st == 8 || st == 11) ? 1 : st) << int(st);
  }
}

TEST(SscEntrySm, UnexpectedEventsAreReportedAndTheStateKept) {
  for (u8 st : kStates) {
    for (u8 ev : {u8{26}, u8{99}, u8{126}}) {
      const ssc_entry_step s = ssc_entry_decide(st, ev, {});
      EXPECT_EQ(s.action, A::report) << int(st) << "/" << int(ev);
      EXPECT_EQ(s.next, st);
      EXPECT_EQ(s.error_fatal, st == 1) << "fatal only in ENTRY_IDLE";
    }
  }
  // Rows whose condition fails are reported too, never run.
  EXPECT_EQ(ssc_entry_decide(10, 4, cls(3)).action, A::report) << "a response with no re-INVITE running";
  EXPECT_EQ(ssc_entry_decide(10, 2, cls(1)).action, A::report) << "an answer with no re-INVITE received";
  EXPECT_EQ(ssc_entry_decide(16, 12, cls(3)).action, A::report);
  // States without a handler keep their value silently.
  EXPECT_EQ(ssc_entry_decide(12, 4, {}).action, A::none);
  EXPECT_EQ(ssc_entry_decide(12, 4, {}).next, 12);
}

TEST(SscEntrySm, InviteResponse) {
  struct Case {
    u8 cls;
    u16 status;
    bool own_route, remote_tag, target, matched;
    ssc_invite_outcome want;
  };
  const Case cases[] = {
      {0, 100, false, false, false, false, {false, false, false, true, ENTRY_EARLY}},
      {0, 180, false, true, false, false, {true, true, false, true, ENTRY_EARLY}},
      {0, 183, true, true, true, false, {false, false, false, true, ENTRY_EARLY}},
      {1, 200, false, true, true, false, {true, true, false, true, ENTRY_2XX_RECEIVED}},
      {1, 200, true, true, false, false, {false, true, false, true, ENTRY_2XX_RECEIVED}},
      {2, 302, false, false, false, false, {false, false, true, true, ENTRY_IDLE}},
      {3, 486, false, false, false, true, {false, false, true, true, ENTRY_IDLE}},
      {3, 486, false, false, false, false, {false, false, false, true, ENTRY_IDLE}},
      {4, 35, false, false, false, false, {false, false, false, false, ENTRY_IDLE}},
      {4, 24, false, false, false, false, {false, false, false, true, ENTRY_IDLE}},
  };
  for (const Case& c : cases) {
    const ssc_invite_outcome o = ssc_invite_response(c.cls, c.status, c.own_route, c.remote_tag, c.target, c.matched);
    EXPECT_EQ(o.take_route, c.want.take_route) << c.status;
    EXPECT_EQ(o.take_target, c.want.take_target) << c.status;
    EXPECT_EQ(o.send_ack, c.want.send_ack) << c.status;
    EXPECT_EQ(o.notify_call, c.want.notify_call) << c.status;
    EXPECT_EQ(o.next, c.want.next) << c.status;
  }
}

TEST(SscEntrySm, RegisterResponse) {
  auto base = [] {
    ssc_register_facts f;
    f.has_status = true;
    f.refresh_ms = SSC_REFRESH_UNKNOWN;
    return f;
  };
  struct Case {
    const char* name;
    ssc_register_facts f;
    u8 next;
    bool timer, pass, resend, report;
    u32 refresh_ms;  // checked when timer
  };
  auto ok = [&](auto edit) {
    ssc_register_facts f = base();
    f.status_class = 1;
    edit(f);
    return f;
  };
  const Case cases[] = {
      {"no status",
       [] {
         ssc_register_facts f;
         return f;
       }(),
       ENTRY_REGISTERING, false, false, false, true, 0},
      {"1xx", ok([](auto& f) { f.status_class = 0; }), ENTRY_REGISTERING, false, false, false, false, 0},
      {"2xx Contact expires=4", ok([](auto& f) { f.contact_expires = 4; }), ENTRY_REGISTERED, true, true, false, false,
       2000},
      {"2xx Expires 3600", ok([](auto& f) {
         f.has_expires = true;
         f.expires_s = 3600;
       }),
       ENTRY_REGISTERED, true, true, false, false, 3000000},
      {"2xx no expiry, asked 120", ok([](auto& f) {
         f.asked_has_expires = true;
         f.asked_expires_s = 120;
       }),
       ENTRY_REGISTERED, true, true, false, false, 60000},
      {"2xx no expiry, none asked", ok([](auto&) {}), ENTRY_REGISTERED, true, true, false, false, 3000000},
      {"2xx expires 0", ok([](auto& f) { f.contact_expires = 0; }), ENTRY_IDLE, false, true, false, false, 0},
      {"2xx to a de-registration", ok([](auto& f) { f.refresh_ms = 0; }), ENTRY_IDLE, false, true, false, false, 0},
      {"401 answered", ok([](auto& f) {
         f.status_class = 3;
         f.challenge_retry = true;
       }),
       ENTRY_REGISTERING, false, false, true, false, 0},
      {"401 declined", ok([](auto& f) { f.status_class = 3; }), ENTRY_IDLE, false, true, false, false, 0},
      {"403 with an event deferred", ok([](auto& f) {
         f.status_class = 3;
         f.deferred = true;
       }),
       ENTRY_REGISTERED, false, false, false, false, 0},
      {"302", ok([](auto& f) { f.status_class = 2; }), ENTRY_IDLE, false, true, false, false, 0},
      {"302 deferred", ok([](auto& f) {
         f.status_class = 2;
         f.deferred = true;
       }),
       ENTRY_REGISTERED, false, false, false, false, 0},
  };
  for (const Case& c : cases) {
    const ssc_register_outcome o = ssc_register_response(c.f);
    EXPECT_EQ(o.next, c.next) << c.name;
    EXPECT_EQ(o.start_timer, c.timer) << c.name;
    EXPECT_EQ(o.pass_result, c.pass) << c.name;
    EXPECT_EQ(o.resend, c.resend) << c.name;
    EXPECT_EQ(o.report, c.report) << c.name;
    if (c.timer) {
      EXPECT_EQ(o.refresh_ms, c.refresh_ms) << c.name;
      EXPECT_NE(o.refresh_ms, SSC_REFRESH_UNKNOWN) << c.name << ": the registration would lapse unseen";
    }
  }
}
