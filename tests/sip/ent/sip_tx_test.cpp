// Sending, storing and re-sending of ENT_SIP's messages, and the
// retransmission and time-out schedule of transaction slots (T1 100 ms,
// T2 800 ms, virtual clock).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/byte_order.h"
#include "runtime/sock.h"
#include "sip/ent/sip_call.h"
#include "sip/ent/sip_entity.h"
#include "sip/ent/sip_tx.h"
#include "sip/ent/support/sip_harness.h"

using sip_test::harness;
using sip_test::USER_NAI;

namespace {

std::vector<std::uint8_t> text(const std::string& s) { return {s.begin(), s.end()}; }

class Tx : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(h.configure(sip_test::one_endpoint()), (std::vector<std::uint8_t>{2, 2, ENT_SIP}));
    ep = sip_endpoint_by_user_nai(USER_NAI);
    ASSERT_EQ(sip_call__alloc_outgoing(*ep, 7, &call), SIP_CALL_OK);
    sip_call& c = sip_mod.pools.calls[call];
    c.dest_address = {127, 0, 0, 1};
    c.dest_port = 5062;
    c.dialog_count = 1;
    c.dialogs[0].state = 2;
    t0 = rt_test::virtual_now();
  }
  // Runs ms milliseconds; returns the send times (relative to t0) of the
  // datagrams and the SIP_ERROR_IN seen.
  void run(std::uint32_t ms) {
    for (std::uint32_t i = 0; i < ms; ++i) {
      h.advance(1);
      for (const auto& m : h.take()) {
        if (m.to == ENT_IP && m.code == SOCK_U_DA_RQ) sent.push_back(rt_test::virtual_now() - t0);
        if (m.to == ENT_SSC && m.code == SIP_ERROR_IN) errors.push_back(m);
      }
    }
  }
  static void near(const std::vector<std::uint32_t>& got, const std::vector<std::uint32_t>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
      EXPECT_LE(got[i], want[i] + 12) << i;
      EXPECT_GE(got[i] + 12, want[i]) << i;
    }
  }
  sip_tx_msg request(std::uint8_t code) { return sip_tx_msg{call, 0, code, 0, 1, "z9hG4bK1", SIP_NONE}; }

  harness h;
  sip_endpoint* ep = nullptr;
  std::uint32_t call = SIP_NONE;
  std::uint32_t t0 = 0;
  std::vector<std::uint32_t> sent;
  std::vector<rt_test::seen_msg> errors;
};

TEST_F(Tx, DatagramCarriesTheAddressRecordAndTheText) {
  ASSERT_EQ(sip_tx__send_by_kind(*ep, request('A'), text("INVITE sip:a SIP/2.0\r\n\r\n")), 2);
  rt_test::pump();
  auto out = h.take_for(ENT_IP);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].code, SOCK_U_DA_RQ);
  EXPECT_EQ(out[0].nai, sip_test::TRANSPORT_NAI);
  EXPECT_EQ(out[0].sapi, 1);
  ASSERT_GT(out[0].data.size(), 28u);
  EXPECT_EQ(out[0].data[0], 4);
  EXPECT_EQ(out[0].data[4], 127);
  EXPECT_EQ(out[0].data[7], 1);
  EXPECT_EQ(get_host16(&out[0].data[8]), 5062);
  EXPECT_EQ(std::string(out[0].data.begin() + 28, out[0].data.end()), "INVITE sip:a SIP/2.0\r\n\r\n");
}

TEST_F(Tx, InviteDoublesWithoutCapAndTimesOutAt64T1) {
  ASSERT_EQ(sip_tx__send_by_kind(*ep, request('A'), text("INVITE")), 2);
  run(7000);
  near(sent, {0, 100, 300, 700, 1500, 3100, 6300});
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(get_host16(errors[0].data.data()), 24);
  EXPECT_EQ(errors[0].data[3], 1);    // no dialog left
  EXPECT_EQ(errors[0].data[4], 193);  // INVITE client
  EXPECT_EQ(errors[0].conn_id, 7);
  EXPECT_EQ(sip_mod.pools.calls.in_use(), 0u);
}

TEST_F(Tx, NonInviteIsCappedAtT2) {
  ASSERT_EQ(sip_tx__send_by_kind(*ep, request('C'), text("OPTIONS")), 2);
  run(6500);
  near(sent, {0, 100, 300, 700, 1500, 2300, 3100, 3900, 4700, 5500, 6300});
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].data[4], 195);
}

TEST_F(Tx, FinalInviteResponseWaitsForAckCappedAtT2) {
  const std::uint32_t stx = sip_server_tx__alloc(*ep, 225);
  sip_server_tx__link_call(*ep, stx, call);
  sip_tx_msg m{call, 0, 'a', 200, 1, nullptr, stx};
  ASSERT_EQ(sip_tx__send_by_kind(*ep, m, text("SIP/2.0 200 OK")), 2);
  EXPECT_EQ(sip_mod.pools.server_txs[stx].state, SIP_STX_ANSWERED);
  run(2000);
  near(sent, {0, 100, 300, 700, 1500});
  const auto& s = sip_mod.pools.calls[call].slots[0];
  EXPECT_EQ(s.kind, 226);
  EXPECT_EQ(s.state, SIP_SLOT_COMPLETED);
}

TEST_F(Tx, AckWithoutWaitingSlotIsSentOnceAndNotStored) {
  ASSERT_EQ(sip_tx__send_by_kind(*ep, request('B'), text("ACK")), 2);
  run(1000);
  near(sent, {0});
  for (const auto& s : sip_mod.pools.calls[call].slots) EXPECT_EQ(s.state, SIP_SLOT_FREE);
}

TEST_F(Tx, KeptAckLivesForTheHoldTime) {
  sip_call& c = sip_mod.pools.calls[call];
  const std::uint8_t i = sip_tx_slot__take(c, 0);
  c.slots[i].state = SIP_SLOT_COMPLETED;
  c.slots[i].kind = 'B';
  ASSERT_EQ(sip_tx__send_by_kind(*ep, request('B'), text("ACK")), 2);
  EXPECT_EQ(c.slots[i].kind, 0);
  EXPECT_EQ(c.slots[i].state, SIP_SLOT_ACK_SENT);
  EXPECT_EQ(std::string(c.slots[i].stored.begin(), c.slots[i].stored.end()), "ACK");
  run(32100);  // ACK life 32000 ms by default
  EXPECT_EQ(c.slots[i].state, SIP_SLOT_FREE);
  near(sent, {0});
}

TEST_F(Tx, RetransmittedRequestGetsTheLastResponseReallySentOrNothing) {
  const std::uint32_t stx = sip_server_tx__alloc(*ep, 225);
  sip_server_tx__link_call(*ep, stx, call);
  sip_mod.pools.server_txs[stx].cseq = 1;
  sip_mod.rx_address = {127, 0, 0, 9};
  sip_mod.rx_port = 5099;
  // Nothing answered yet: nothing re-sent.
  EXPECT_FALSE(sip_server_tx__resend(*ep, stx));
  ASSERT_EQ(sip_tx__send_by_kind(*ep, sip_tx_msg{call, 0, 'a', 180, 1, nullptr, stx}, text("180")), 2);
  rt_test::pump();
  h.take();
  EXPECT_TRUE(sip_server_tx__resend(*ep, stx));
  rt_test::pump();
  auto out = h.take_for(ENT_IP);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(std::string(out[0].data.begin() + 28, out[0].data.end()), "180");
  EXPECT_EQ(get_host16(&out[0].data[8]), 5099);
  // After a final response the server transaction's copy is gone: the
  // slot's copy of the final response goes out again.
  ASSERT_EQ(sip_tx__send_by_kind(*ep, sip_tx_msg{call, 0, 'a', 486, 1, nullptr, stx}, text("486")), 2);
  rt_test::pump();
  h.take();
  EXPECT_TRUE(sip_server_tx__resend(*ep, stx));
  rt_test::pump();
  out = h.take_for(ENT_IP);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(std::string(out[0].data.begin() + 28, out[0].data.end()), "486");
}

TEST_F(Tx, NoSlotLeftIsResultThirtyFour) {
  for (int i = 0; i < SIP_SLOTS; ++i) ASSERT_EQ(sip_tx__send_by_kind(*ep, request('C'), text("OPTIONS")), 2);
  EXPECT_EQ(sip_tx__send_by_kind(*ep, request('C'), text("OPTIONS")), 34);
  rt_test::pump();
  EXPECT_EQ(h.take_for(ENT_IP).size(), static_cast<std::size_t>(SIP_SLOTS));
}

TEST_F(Tx, ReleasedSlotIgnoresItsQueuedExpiry) {
  ASSERT_EQ(sip_tx__send_by_kind(*ep, request('C'), text("OPTIONS")), 2);
  run(50);
  sip_tx_slot__release(sip_mod.pools.calls[call].slots[0]);
  run(7000);
  near(sent, {0});
  EXPECT_TRUE(errors.empty());
}

TEST_F(Tx, SupervisionExpiryClosesTheDialogWithError25) {
  sip_call& c = sip_mod.pools.calls[call];
  c.dialogs[0].pending_request = 228;
  c.dialogs[0].supervision.start(300, 3);
  run(400);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(get_host16(errors[0].data.data()), 25);
  EXPECT_EQ(errors[0].data[4], 228);
  EXPECT_EQ(sip_mod.pools.calls.in_use(), 0u);
}

}  // namespace
