// Calls, conn_ids, slots and server transactions of ENT_SIP.
#include <gtest/gtest.h>

#include <cstring>

#include "runtime/sm.h"
#include "runtime/timer.h"
#include "sip/ent/sip_call.h"
#include "sip/ent/sip_entity.h"
#include "sip/ent/support/sip_harness.h"

using sip_test::harness;
using sip_test::USER_NAI;

namespace {

sip_str S(const char* s) { return sip_str{static_cast<std::uint16_t>(std::strlen(s)), s}; }

class Records : public ::testing::Test {
 protected:
  void SetUp() override {
    sip_config c = sip_test::one_endpoint();
    c.call_count = 6;
    c.server_tx_count = 3;
    c.endpoints[0].hold_ms = 1000;
    ASSERT_EQ(h.configure(c), (std::vector<std::uint8_t>{2, 2, ENT_SIP}));
    ep = sip_endpoint_by_user_nai(USER_NAI);
    ASSERT_NE(ep, nullptr);
  }
  sip_call& call(std::uint32_t i) { return sip_mod.pools.calls[i]; }
  harness h;
  sip_endpoint* ep = nullptr;
};

TEST_F(Records, IncomingCallsCountDownAndOutgoingTakesTheReservation) {
  std::uint32_t c = SIP_NONE;
  for (std::uint16_t want : {99, 98, 97}) {
    ASSERT_EQ(sip_call__alloc_incoming(*ep, 225, 1, &c), SIP_CALL_OK);
    EXPECT_EQ(call(c).conn_id, want);
    EXPECT_EQ(call(c).dialogs[0].pending_request, 225);
    EXPECT_EQ(call(c).dialogs[0].remote_cseq, 1u);
  }
  EXPECT_EQ(ep->next_incoming_conn_id, 96);
  ASSERT_EQ(sip_call__alloc_outgoing(*ep, 96, &c), SIP_CALL_OK);
  EXPECT_EQ(ep->next_incoming_conn_id, 95);
  EXPECT_EQ(call(c).dialogs[1].remote_cseq, 0xFFFFFFFFu);
  EXPECT_EQ(sip_call__alloc_outgoing(*ep, 96, &c), SIP_CALL_IN_USE);
  EXPECT_EQ(sip_call__alloc_outgoing(*ep, 100, &c), SIP_CALL_BAD_CONN);
  ASSERT_EQ(sip_call__alloc_outgoing(*ep, 40, &c), SIP_CALL_OK);
  ASSERT_EQ(sip_call__alloc_outgoing(*ep, 50, &c), SIP_CALL_OK);
  EXPECT_EQ(sip_call__alloc_outgoing(*ep, 51, &c), SIP_CALL_NO_RECORD);  // six records
  EXPECT_EQ(sip_call__alloc_incoming(*ep, 225, 1, &c), SIP_CALL_NONE);
  // Closing the call of conn_id 50 makes 50 the next incoming one.
  const std::uint32_t c50 = sip_call__check(*ep, 50);
  ASSERT_NE(c50, SIP_NONE);
  sip_call__close(*ep, c50);
  EXPECT_EQ(ep->next_incoming_conn_id, 95);  // 95 is above 50
  EXPECT_EQ(sip_call__check(*ep, 50), SIP_NONE);
  EXPECT_EQ(ep->closing_calls[50], c50);
  // Freed: the record goes back, the other five stay.
  sip_call__free(*ep, c50);
  EXPECT_EQ(sip_mod.pools.calls.in_use(), 5u);
}

TEST_F(Records, ClosingCallGivesWayToANewOneOnItsConnId) {
  std::uint32_t a = SIP_NONE, b = SIP_NONE, c = SIP_NONE;
  ASSERT_EQ(sip_call__alloc_outgoing(*ep, 5, &a), SIP_CALL_OK);
  call(a).closing = 1;  // closing, still in the active table
  ASSERT_EQ(sip_call__alloc_outgoing(*ep, 5, &b), SIP_CALL_OK);
  EXPECT_EQ(ep->closing_calls[5], a);
  call(b).closing = 1;
  ASSERT_EQ(sip_call__alloc_outgoing(*ep, 5, &c), SIP_CALL_OK);
  EXPECT_EQ(ep->closing_calls[5], b);
  EXPECT_EQ(sip_mod.pools.calls.in_use(), 2u);  // a was freed
}

TEST_F(Records, NextIncomingConnIdAfterCloseBelowIt) {
  std::uint32_t c = SIP_NONE;
  ep->next_incoming_conn_id = 40;
  ASSERT_EQ(sip_call__alloc_outgoing(*ep, 50, &c), SIP_CALL_OK);
  sip_call__close(*ep, c);
  EXPECT_EQ(ep->next_incoming_conn_id, 50);
  sip_call__free(*ep, c);
}

TEST_F(Records, DialogGenerationWraps) {
  sip_dialog_generation_set(0x7fffffff);
  std::uint32_t c = SIP_NONE;
  ASSERT_EQ(sip_call__alloc_outgoing(*ep, 1, &c), SIP_CALL_OK);
  EXPECT_EQ(call(c).dialogs[0].local_cseq, 0x7fffffffu);
  EXPECT_EQ(sip_dialog_generation(), 0u);
}

TEST_F(Records, CallIdBucketsFindTheCall) {
  std::uint32_t c = SIP_NONE, d = SIP_NONE;
  ASSERT_EQ(sip_call__alloc_outgoing(*ep, 1, &c), SIP_CALL_OK);
  ASSERT_EQ(sip_call__alloc_outgoing(*ep, 2, &d), SIP_CALL_OK);
  sip_callid_parsed id1{S("abc"), 0, nullptr, S("host.example")};
  sip_callid_parsed id2{S("abd"), 0, nullptr, S("host.example")};
  sip_call__enter_callid(*ep, c, id1);
  sip_call__enter_callid(*ep, d, id2);
  EXPECT_EQ(sip_call__by_callid(*ep, id1), c);
  EXPECT_EQ(sip_call__by_callid(*ep, id2), d);
  sip_callid_parsed other{S("abc"), 0, nullptr, S("elsewhere")};
  EXPECT_EQ(sip_call__by_callid(*ep, other), SIP_NONE);
  sip_call__close(*ep, c);
  sip_call__free(*ep, c);
  EXPECT_EQ(sip_call__by_callid(*ep, id1), SIP_NONE);
}

TEST_F(Records, SlotsAreTakenFreeFirstThenOldestAcknowledged) {
  std::uint32_t c = SIP_NONE;
  ASSERT_EQ(sip_call__alloc_outgoing(*ep, 1, &c), SIP_CALL_OK);
  sip_call& k = call(c);
  for (std::uint8_t i = 0; i < SIP_SLOTS; ++i) {
    const std::uint8_t s = sip_tx_slot__take(k, 0);
    ASSERT_EQ(s, i);
    k.slots[s].state = SIP_SLOT_CALLING;
    k.slots[s].last_use = 1000u + i;
  }
  EXPECT_EQ(sip_tx_slot__take(k, 1), SIP_NO_INDEX);
  k.slots[4].state = SIP_SLOT_ACK_SENT;
  k.slots[2].state = SIP_SLOT_ACK_SENT;
  EXPECT_EQ(sip_tx_slot__take(k, 1), 2);
  EXPECT_EQ(k.slots[2].dialog, 1);
  EXPECT_EQ(k.slots[2].mark, 'C');
}

sip_stx_key key(const char* branch, const char* sent_by, std::uint32_t cseq, std::uint8_t method,
                const char* callid = "c1", const char* from_tag = "f1") {
  sip_stx_key k;
  k.branch = S(branch);
  k.sent_by = S(sent_by);
  k.cseq = cseq;
  k.cseq_method = method;
  k.callid_word = S(callid);
  k.callid_host = S("");
  k.from_tag = S(from_tag);
  return k;
}

TEST_F(Records, ServerTransactionMatching) {
  const std::uint32_t inv = sip_server_tx__alloc(*ep, 225);
  ASSERT_NE(inv, SIP_NONE);
  sip_server_tx__fill(*ep, inv, key("z9hG4bKaa", "10.0.0.1", 1, 'A'));
  const std::uint32_t old = sip_server_tx__alloc(*ep, 227);
  ASSERT_NE(old, SIP_NONE);
  sip_server_tx__fill(*ep, old, key("", "host.b", 7, 'C'));
  struct row {
    const char* what;
    std::uint8_t code;
    sip_stx_key k;
    std::uint32_t want;
  };
  const row rows[] = {
      {"retransmitted INVITE", 225, key("z9hG4bKaa", "10.0.0.1", 99, 'A', "x", "y"), inv},
      {"ACK of the INVITE", 226, key("z9hG4bKaa", "10.0.0.1", 1, 'B'), inv},
      {"other sent-by", 225, key("z9hG4bKaa", "10.0.0.2", 1, 'A'), SIP_NONE},
      {"other method", 228, key("z9hG4bKaa", "10.0.0.1", 1, 'D'), SIP_NONE},
      {"branch that only starts alike", 225, key("z9hG4bKaab", "10.0.0.1", 1, 'A'), SIP_NONE},
      {"no branch: all fields", 227, key("", "host.b", 7, 'C'), old},
      {"no branch: other CSeq", 227, key("", "host.b", 8, 'C'), SIP_NONE},
      {"no branch: other Call-ID", 227, key("", "host.b", 7, 'C', "c2"), SIP_NONE},
      {"no branch: other From tag", 227, key("", "host.b", 7, 'C', "c1", "f11"), SIP_NONE},
  };
  for (const row& r : rows)
    EXPECT_EQ(sip_server_tx__match(*ep, r.code, r.k, SIP_NO_CONN, false, false), r.want) << r.what;
}

TEST_F(Records, AnsweredServerTransactionsAreSweptOrReclaimed) {
  std::uint32_t t[3];
  for (auto& x : t) {
    x = sip_server_tx__alloc(*ep, 227);
    ASSERT_NE(x, SIP_NONE);
    sip_server_tx__fill(*ep, x, key("z9hG4bKx", "h", 1, 'C'));
  }
  EXPECT_EQ(sip_server_tx__alloc(*ep, 227), SIP_NONE);  // all three open
  sip_server_tx__complete(*ep, t[0]);
  h.advance(400);
  sip_server_tx__complete(*ep, t[1]);
  EXPECT_EQ(sip_server_tx__match(*ep, 227, key("z9hG4bKx", "h", 1, 'C'), SIP_NO_CONN, false, false), t[2]);
  // The pool is empty: the oldest answered one is reclaimed.
  const std::uint32_t n = sip_server_tx__alloc(*ep, 227);
  EXPECT_EQ(n, t[0]);
  EXPECT_EQ(ep->finished.size(), 1u);
  h.advance(1100);  // t[1] is due 1000 ms after its answer
  EXPECT_TRUE(ep->finished.empty());
  EXPECT_EQ(sip_mod.pools.server_txs.in_use(), 2u);
}

// A timer thread that sleeps over quiet stretches turns the wheel many
// times in one go when it wakes: the sweep's expiry then comes late, queued
// behind work that answers and reclaims transactions meanwhile.  Every
// answered transaction is still freed once its hold has run out, and none
// before.
TEST_F(Records, AnsweredServerTransactionsAreSweptWhenExpiriesComeLateAndInBatches) {
  // The clock jumps `ms` at once; the wheel catches up in one batch, and
  // the expiries run only when `run` is set.
  auto jump = [&](std::uint32_t ms, bool run) {
    rt_test::advance_clock(ms);
    (void)om_os_timer_poll();
    if (run) rt_test::pump();
  };
  auto& pool = sip_mod.pools.server_txs;
  std::uint32_t t[3];
  for (auto& x : t) {
    x = sip_server_tx__alloc(*ep, 227);
    ASSERT_NE(x, SIP_NONE);
  }
  sip_server_tx__complete(*ep, t[0]);
  jump(1500, false);                   // the sweep's expiry waits in the queue ...
  sip_server_tx__complete(*ep, t[1]);  // ... behind two answers
  sip_server_tx__complete(*ep, t[2]);
  rt_test::pump();  // frees t[0] only: the others were answered just now
  EXPECT_EQ(ep->finished.size(), 2u);
  EXPECT_EQ(pool.in_use(), 2u);
  jump(1000, true);  // the sweep went on for them
  EXPECT_TRUE(ep->finished.empty());
  EXPECT_EQ(pool.in_use(), 0u);

  // A full pool reclaims the oldest answered transaction while the sweep's
  // expiry for it is queued.
  for (auto& x : t) x = sip_server_tx__alloc(*ep, 227);
  sip_server_tx__complete(*ep, t[0]);
  jump(600, true);
  sip_server_tx__complete(*ep, t[1]);
  jump(400, false);
  EXPECT_EQ(sip_server_tx__alloc(*ep, 227), t[0]);
  rt_test::pump();  // the late expiry finds t[1] not yet due
  EXPECT_EQ(ep->finished.size(), 1u);
  jump(600, true);
  EXPECT_TRUE(ep->finished.empty());
  EXPECT_EQ(pool.in_use(), 2u);
}

TEST_F(Records, ReleasingTheEndpointFreesEveryRecordAndCell) {
  std::uint32_t c = SIP_NONE;
  ASSERT_EQ(sip_call__alloc_outgoing(*ep, 3, &c), SIP_CALL_OK);
  ASSERT_EQ(sip_call__alloc_incoming(*ep, 225, 5, &c), SIP_CALL_OK);
  const std::uint32_t t = sip_server_tx__alloc(*ep, 225);
  sip_server_tx__fill(*ep, t, key("z9hG4bKq", "h", 5, 'A'));
  sip_server_tx__link_call(*ep, t, c);
  const std::uint32_t u = sip_server_tx__alloc(*ep, 227);
  sip_server_tx__complete(*ep, u);
  EXPECT_GT(om_os_timer_pool_stats().in_use, 20);
  EXPECT_EQ(h.manage(SM_RST_CFG_RQ, USER_NAI), (std::vector<std::uint8_t>{2, 0}));
  EXPECT_EQ(sip_entity_state().pools, nullptr);
  EXPECT_EQ(om_os_timer_pool_stats().in_use, 0);
}

}  // namespace
