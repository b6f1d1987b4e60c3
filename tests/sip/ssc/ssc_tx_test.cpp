// Open transactions of a call: numbering, finding by type and number,
// closing by response class, ACK and CANCEL, and release of the handles.
#include "sip/ssc/ssc_tx.h"

#include <gtest/gtest.h>

#include "runtime/support/rt_harness.h"
#include "sip/ssc/ssc_handler.h"
#include "sip/ssc/ssc_internal.h"

namespace {

const entity_table_row_t TABLE[] = {{ENT_SM, rt_test::record_handler, 0, 0, nullptr, 0},
                                    {ENT_NIL, nullptr, 0, 0, nullptr, 0}};

class SscTx : public ::testing::Test {
 protected:
  void SetUp() override {
    rt_test::use_virtual_clock(1000);
    rt_test::start_manual(TABLE);
    ssc_entity_reset(4);
    std::vector<ssc_config_profile> p(1);
    p[0].nai = 1;
    p[0].calls = 4;
    p[0].extra_dialogs = 4;
    ASSERT_EQ(ssc_configure_profiles(p), SSC_CFG_OK);
    ASSERT_EQ(ssc_ua__select(1), 2);
    ASSERT_EQ(ssc_call__new_for_user(0), 2);
  }
  void TearDown() override {
    ssc_entity_reset(0);
    EXPECT_EQ(ssc_entity_counts().handles, 0u);
    rt_test::stop();
  }
  // A handle counted as the entity's (released by the tx module).
  ssc_handle* handle(ssc_msg_type t, u16 number = 0xFFFF, int status = -1) {
    ssc_handle* h = ssc_internal::new_handle(t);
    h->transaction_number = number;
    if (status >= 0) {
      auto* st = static_cast<ssc_hdr_status*>(Ssc_alloc_header(h, ssc_header_id::RETURN_CODE));
      st->code = static_cast<u16>(status);
      st->reason = "x";
    }
    return h;
  }
  void drop(ssc_handle* h) { ssc_internal::release_handle(h); }
};

}  // namespace

TEST_F(SscTx, ReceivedRequestsAreNumberedAndFound) {
  ssc_call* c = ssc_mod().call;
  ssc_handle* inv = handle(ssc_msg_type::INVITE);
  ssc_handle* opt = handle(ssc_msg_type::OPTIONS);
  ASSERT_EQ(ssc_tx_track(inv, SSC_TX_RECEIVED), 2);
  ASSERT_EQ(ssc_tx_track(opt, SSC_TX_RECEIVED), 2);
  EXPECT_EQ(inv->transaction_number, 0x8000);
  EXPECT_EQ(opt->transaction_number, 0x8001);
  EXPECT_EQ(ssc_tx_count(c, SSC_TX_RECEIVED), 2u);
  EXPECT_EQ(ssc_tx_find(ssc_msg_type::OPTIONS, 0x8001, SSC_TX_RECEIVED), 2);
  EXPECT_EQ(ssc_tx().pending, opt);
  EXPECT_EQ(ssc_tx_find(ssc_msg_type::OPTIONS, 0x8000, SSC_TX_RECEIVED), 3);
  EXPECT_EQ(ssc_tx().current, nullptr);
  EXPECT_EQ(ssc_tx_find(ssc_msg_type::INVITE, 0xFFFF, SSC_TX_RECEIVED), 2);
  EXPECT_EQ(ssc_tx_find(ssc_msg_type::INVITE, 0xFFFF, SSC_TX_SENT), 3);
  // A received CANCEL makes the received INVITE current.
  ssc_handle* can = handle(ssc_msg_type::CANCEL);
  ASSERT_EQ(ssc_tx_track(can, SSC_TX_RECEIVED), 2);
  EXPECT_EQ(ssc_tx().pending, inv);
  EXPECT_EQ(ssc_tx_count(c, SSC_TX_RECEIVED), 2u);
  drop(inv);
  drop(opt);
  drop(can);
}

TEST_F(SscTx, ResponsesCloseByClass) {
  ssc_call* c = ssc_mod().call;
  struct Case {
    ssc_msg_type req, rs;
    int status;
    bool closes;
  };
  const Case cases[] = {
      {ssc_msg_type::INVITE, ssc_msg_type::INVITE_RS, 180, false},
      {ssc_msg_type::INVITE, ssc_msg_type::INVITE_RS, 200, true},
      {ssc_msg_type::INVITE, ssc_msg_type::INVITE_RS, 302, true},
      {ssc_msg_type::INVITE, ssc_msg_type::INVITE_RS, 486, false},  // its ACK follows
      {ssc_msg_type::INVITE, ssc_msg_type::INVITE_RS, 50, true},    // class 4
      {ssc_msg_type::INVITE, ssc_msg_type::INVITE_RS, 35, false},   // internal status
      {ssc_msg_type::BYE, ssc_msg_type::BYE_RS, 100, false},
      {ssc_msg_type::BYE, ssc_msg_type::BYE_RS, 200, true},
      {ssc_msg_type::OPTIONS, ssc_msg_type::OPTIONS_RS, 404, true},
  };
  u16 number = 1;
  for (const Case& k : cases) {
    ssc_handle* req = handle(k.req, number);
    ASSERT_EQ(ssc_tx_track(req, SSC_TX_SENT), 2);
    EXPECT_EQ(req->transaction_number, number);  // the user's number is kept
    ssc_handle* rs = handle(k.rs, number, k.status);
    EXPECT_EQ(ssc_tx_track(rs, SSC_TX_RECEIVED), 2);
    EXPECT_EQ(ssc_tx_count(c, SSC_TX_SENT), k.closes ? 0u : 1u) << k.status;
    if (!k.closes) {
      ASSERT_EQ(ssc_tx_find(k.req, number, SSC_TX_SENT), 2);
      (void)ssc_tx_close();
    }
    drop(req);
    drop(rs);
    ++number;
    ssc_tx_free_closed();
  }
  // A response without its request finds nothing.
  ssc_handle* stray = handle(ssc_msg_type::BYE_RS, 77, 200);
  EXPECT_EQ(ssc_tx_track(stray, SSC_TX_RECEIVED), 3);
  drop(stray);
}

TEST_F(SscTx, AckClosesTheInviteAndReleaseFreesAll) {
  ssc_call* c = ssc_mod().call;
  ssc_handle* inv = handle(ssc_msg_type::INVITE, 9);
  ASSERT_EQ(ssc_tx_track(inv, SSC_TX_SENT), 2);
  ssc_handle* rs = handle(ssc_msg_type::INVITE_RS, 9, 486);
  ASSERT_EQ(ssc_tx_track(rs, SSC_TX_RECEIVED), 2);
  EXPECT_EQ(ssc_tx_count(c, SSC_TX_SENT), 1u);
  ssc_handle* ack = handle(ssc_msg_type::ACK, 9);
  ASSERT_EQ(ssc_tx_track(ack, SSC_TX_SENT), 2);
  EXPECT_EQ(ssc_tx_count(c, SSC_TX_SENT), 0u);

  // Open records go with the call.
  ssc_handle* bye = handle(ssc_msg_type::BYE);
  ASSERT_EQ(ssc_tx_track(bye, SSC_TX_RECEIVED), 2);
  drop(inv);
  drop(rs);
  drop(ack);
  drop(bye);
  EXPECT_EQ(ssc_entity_counts().handles, 2u);  // held by the records
  while (c->first) {
    ssc_mod().entry = c->first;
    ssc_dialog__release();
  }
  ASSERT_EQ(ssc_call__release(), 2);
  ssc_tx_free_closed();
  EXPECT_EQ(ssc_entity_counts().handles, 0u);
}
