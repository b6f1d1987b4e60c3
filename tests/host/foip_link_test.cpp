// The device-controller side of the FOIP indications and confirms, called
// as the application entity calls them, with a registered controller whose
// reply slot the test reads: ring-in, connected, pages, end of a session and
// stop confirms.
#include "host/foip_link.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "common/support/temp_folder.h"
#include "host/device_table.h"
#include "host/dispatcher.h"
#include "host/scripted_controller.h"
#include "session/app/app_foip.h"

namespace {

using tessaly_test::Reply;
using tessaly_test::ScriptedController;

constexpr std::uint16_t kId = 0x55;

class FoipLink : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("KORVANE_MAILSLOT_DIR", slots_.path().c_str(), 1);
    controller_ = std::make_unique<ScriptedController>(kId, "F9\\1");
    ASSERT_TRUE(controller_->ok());
    ResetDeviceTable();
    RegisterDevicePacket reg;
    reg.device_id = kId;
    std::snprintf(reg.reply_slot, sizeof reg.reply_slot, "F9\\1");
    ASSERT_EQ(RegisterDeviceEntry(reg), 1);
    auto s = std::make_unique<app_foip__session_ctx>();
    s->nai = 1;
    s->direction = FOIP__DIR_OUT;
    session_ = s.get();
    app_foip__ctx().sessions.push_back(std::move(s));
    msg_ = msg_t{};
    msg_.from = ENT_FOIP;
    msg_.to = ENT_APP_FOIP;
    msg_.nai = 1;
    msg_.sapi = 1;
    msg_.conn_id = 12;
  }
  void TearDown() override {
    app_foip__ctx().sessions.clear();
    ResetDeviceTable();
    controller_.reset();
    unsetenv("KORVANE_MAILSLOT_DIR");
  }
  DeviceEntry& entry() { return *GetEntryInfo(kId); }
  void Set(void (*change)(DeviceEntry&)) {
    DeviceEntry copy = entry();
    change(copy);
    ASSERT_EQ(UpdateEntry(copy), 1);
  }
  // An outgoing session in its stop after a 486 answer, in `abort_state`.
  void StoppingAfterBusy(std::int32_t abort_state) {
    session_->direction = FOIP__DIR_OUT;  // a confirmed stop leaves it incoming
    DeviceEntry copy = entry();
    copy.session_active = 1;
    copy.abort_state = abort_state;
    copy.sip_status = 486;
    ASSERT_EQ(UpdateEntry(copy), 1);
  }
  void ExpectStatus(std::uint16_t kind, std::uint16_t value, const char* text = "") {
    const std::optional<Reply> r = controller_->Next(2000);
    ASSERT_TRUE(r.has_value()) << "expected kind " << kind;
    ASSERT_EQ(r->type, TESSALY_FAX_STATUS);
    EXPECT_EQ(r->status.kind, kind);
    EXPECT_EQ(r->status.value, value);
    EXPECT_STREQ(r->status.text, text);
  }
  void ExpectConnected(const char* csid, const char* did) {
    const std::optional<Reply> r = controller_->Next(2000);
    ASSERT_TRUE(r.has_value());
    ASSERT_EQ(r->type, TESSALY_RECEIVE_CONNECTED);
    EXPECT_STREQ(r->connected.remote_csid, csid);
    EXPECT_STREQ(r->connected.did, did);
  }
  void ExpectNothing() { EXPECT_FALSE(controller_->Next(100).has_value()); }

  static std::unique_ptr<foip__report> Page(std::uint8_t event, std::uint16_t number, char state) {
    auto r = std::make_unique<foip__report>();
    r->kind_of_report = FOIP__REPORT__EVT;
    r->kind = event;
    r->body.page.pg_number = number;
    r->body.page.pg.pg_state = static_cast<u8>(state);
    std::snprintf(r->body.page.pg.sz_tiff_fname, sizeof r->body.page.pg.sz_tiff_fname, "rcv/in_1.tif");
    return r;
  }

  kvtest::TempFolder slots_;
  std::unique_ptr<ScriptedController> controller_;
  app_foip__session_ctx* session_ = nullptr;
  msg_t msg_{};
};

TEST_F(FoipLink, IncomingCallRingsTheFreeReceiverAndHoldsTheCall) {
  Set([](DeviceEntry& e) { e.receive_enabled = 1; });
  auto call = std::make_unique<foip__alert>();
  call->called_kind = 1;
  std::snprintf(call->sz_called_phone_number, sizeof call->sz_called_phone_number, "0612345678");
  std::snprintf(call->calling.sz_user_name, sizeof call->calling.sz_user_name, "alice");
  call->media.media_count = 1;
  const u8 ip[4] = {10, 0, 0, 7};
  std::memcpy(call->media.media[0].ipv4, ip, 4);
  foip_link__alert_in(&msg_, call.get(), FOIP_API__OK);
  const std::optional<Reply> r = controller_->Next(2000);
  ASSERT_TRUE(r.has_value());
  ASSERT_EQ(r->type, TESSALY_RING_IN);
  EXPECT_STREQ(r->ring.called, "0612345678");
  EXPECT_STREQ(r->ring.caller_number, "alice");
  EXPECT_STREQ(r->ring.caller_address, "10.0.0.7");
  EXPECT_EQ(entry().session_active, 1u);
  ASSERT_TRUE(entry().call_address);
  EXPECT_EQ(entry().call_address->conn_id, 12);
  EXPECT_EQ(entry().watchdog, 0);
}

TEST_F(FoipLink, RemoteIdentityGoesOutByDirection) {
  auto id = std::make_unique<foip__report>();
  id->kind_of_report = FOIP__REPORT__EVT;
  id->kind = FOIP__EVENT__FAX_REMOTE_FAX_ID;
  std::snprintf(id->body.remote_fax_id, sizeof id->body.remote_fax_id, "+33 1 44 55");
  foip_link__report_in(&msg_, id.get(), FOIP_API__OK);
  ExpectStatus(FAX_STATUS_CONNECTED, 0, "+33 1 44 55");
  EXPECT_EQ(entry().fax_connected, 1u);

  session_->direction = FOIP__DIR_IN;
  Set([](DeviceEntry& e) { std::snprintf(e.did, sizeof e.did, "4455"); });
  foip_link__report_in(&msg_, id.get(), FOIP_API__OK);
  ExpectConnected("+33 1 44 55", "4455");
  // An error report changes nothing and sends nothing.
  auto err = std::make_unique<foip__report>();
  err->kind_of_report = FOIP__REPORT__ERR;
  foip_link__report_in(&msg_, err.get(), FOIP_API__OK);
  ExpectNothing();
}

TEST_F(FoipLink, PageReceivedBeforeAnyIdentitySendsOneConnectedFirst) {
  session_->direction = FOIP__DIR_IN;
  auto alert = std::make_unique<foip__alert>();
  Set([](DeviceEntry& e) { e.receive_enabled = 1; });
  foip_link__alert_in(&msg_, alert.get(), FOIP_API__OK);  // a new call clears the connected mark
  ASSERT_EQ(controller_->Next(2000)->type, TESSALY_RING_IN);
  foip_link__report_in(&msg_, Page(FOIP__EVENT__FAX_PG_RECEIVED, 1, 'G').get(), FOIP_API__OK);
  ExpectConnected("", "");
  ExpectStatus(FAX_STATUS_PAGE_RECEIVED, 1);
  foip_link__report_in(&msg_, Page(FOIP__EVENT__FAX_PG_RECEIVED, 2, 'S').get(), FOIP_API__OK);
  ExpectNothing();
  EXPECT_EQ(entry().page_received, 1u);
  // Another call, refused while this device receives, leaves its mark: the
  // next page sends no second connected.
  foip_link__alert_in(&msg_, alert.get(), FOIP_API__OK);
  foip_link__report_in(&msg_, Page(FOIP__EVENT__FAX_PG_RECEIVED, 3, 'G').get(), FOIP_API__OK);
  ExpectStatus(FAX_STATUS_PAGE_RECEIVED, 3);
  ExpectNothing();
}

TEST_F(FoipLink, EndOfASendReportsPagesOrTheFailure) {
  Set([](DeviceEntry& e) { e.session_active = 1; });
  foip_link__report_in(&msg_, Page(FOIP__EVENT__FAX_PG_SENT, 1, 'S').get(), FOIP_API__OK);
  ExpectStatus(FAX_STATUS_PAGE_SENT, 1);
  EXPECT_EQ(entry().page_sent, 1u);
  EXPECT_EQ(entry().fax_connected, 1u);

  foip__confirm ok{};
  ok.return_code = FOIP__RC_OK;
  auto fax = std::make_unique<foip__fax_session_status>();
  fax->nb_pg_received = 0;
  foip_link__stop_in(&msg_, session_, &ok, fax.get(), FOIP_API__OK);
  ExpectStatus(FAX_STATUS_PAGE_RECEIVED, 0);
  ExpectStatus(FAX_STATUS_FAX_SENT, 0);
  EXPECT_EQ(entry().session_active, 0u);
  EXPECT_EQ(session_->direction, FOIP__DIR_IN);

  // Cause 26 after pages still fails; without a connected fax: not answered.
  struct Case {
    std::uint32_t fax_connected;
    u8 fax_rc, source, diag;
    std::uint16_t value;
  };
  const Case cases[] = {{0, 3, 'u', 'b', 0xF10B},
                        {1, 2, 'u', 'b', 0xF103},
                        {1, 3, 'u', 'b', 0xF10A},
                        {1, 3, 's', 0, 0xF103},
                        {1, 3, 0x80, 0, 0xF100}};
  for (const Case& c : cases) {
    session_->direction = FOIP__DIR_OUT;
    DeviceEntry copy = entry();
    copy.session_active = 1;
    copy.page_sent = 1;
    copy.fax_connected = c.fax_connected;
    ASSERT_EQ(UpdateEntry(copy), 1);
    foip__confirm cause{};
    cause.return_code = FOIP__RC_OK;
    cause.error_code = 26;
    fax->fax_return_code = c.fax_rc;
    fax->source = c.source;
    fax->diag = c.diag;
    foip_link__stop_in(&msg_, session_, &cause, fax.get(), FOIP_API__OK);
    ExpectStatus(FOIP_STATUS_FAX_NOT_SENT, c.value);
  }
}

TEST_F(FoipLink, StopConfirmAnswersByAbortState) {
  struct Case {
    std::int32_t abort_state;
    bool ok;
    std::uint16_t kind, value;  // kind 0xFFFF: nothing sent
  };
  const Case cases[] = {
      {ABORT_BY_CONTROLLER, true, FAX_STATUS_REQUEST_DONE, 4},
      {ABORT_BY_CONTROLLER, false, FAX_STATUS_REQUEST_FAILED, 4},
      {ABORT_SEND_NOT_STARTED, true, 0xFFFF, 0},
      {ABORT_CALL_SETUP_FAILED, true, FOIP_STATUS_FAX_NOT_CONNECTED, 0xF10A},
      {ABORT_WATCHDOG, true, FOIP_STATUS_FAX_NOT_SENT, 0xF10A},
      {ABORT_NONE, true, FAX_STATUS_SESSION_LOST, 0xF100},
  };
  for (const Case& c : cases) {
    ASSERT_NO_FATAL_FAILURE(StoppingAfterBusy(c.abort_state));
    foip__confirm conf{};
    conf.return_code = c.ok ? FOIP__RC_OK : 3;
    foip_link__stop_co(&msg_, session_, &conf, FOIP_API__OK);
    if (c.kind == 0xFFFF) ExpectNothing();
    else ExpectStatus(c.kind, c.value);
    EXPECT_EQ(entry().session_active, c.ok ? 0u : 1u) << c.abort_state;
    EXPECT_EQ(entry().abort_state, c.ok ? ABORT_NONE : c.abort_state);
  }
  // An unreadable confirm leaves the entry as it was.
  Set([](DeviceEntry& e) {
    e.session_active = 1;
    e.abort_state = ABORT_BY_CONTROLLER;
  });
  foip_link__stop_co(&msg_, session_, nullptr, 17);
  ExpectStatus(FAX_STATUS_REQUEST_FAILED, 4);
  EXPECT_EQ(entry().session_active, 1u);
}

// A caller that gives up while the controller rings: FOIP reports the end of
// the call on the call's connection id with no session; the controller
// hears "not received, not answered" once and its entry takes the next call.
TEST_F(FoipLink, CallEndedWhileRingingIsReportedAndFreesTheController) {
  Set([](DeviceEntry& e) { e.receive_enabled = 1; });
  msg_.nai = 0;  // FOIP's signalling nai, no session of the application
  msg_.conn_id = 123;
  auto call = std::make_unique<foip__alert>();
  foip_link__alert_in(&msg_, call.get(), FOIP_API__OK);
  ASSERT_EQ(controller_->Next(2000)->type, TESSALY_RING_IN);
  ASSERT_EQ(entry().session_active, 1u);

  foip__confirm gone{};
  gone.return_code = 3;
  gone.error_source = 4;
  gone.error_code = 87;
  auto fax = std::make_unique<foip__fax_session_status>();
  foip_link__stop_in(&msg_, nullptr, &gone, fax.get(), FOIP_API__OK);
  ExpectStatus(FAX_STATUS_FAX_NOT_RECEIVED, STATUS_FAX_NOT_ANSWERED);
  EXPECT_EQ(entry().session_active, 0u);
  EXPECT_FALSE(entry().call);
  EXPECT_EQ(entry().watchdog, -1);
  foip_link__stop_in(&msg_, nullptr, &gone, fax.get(), FOIP_API__OK);
  ExpectNothing();
  // The answer that comes too late finds no call; the next call rings.
  RecvFaxPacket answer;
  answer.device_id = kId;
  answer.accept = 1;
  EXPECT_NE(ProcessReceiveFax(answer), STATUS_OK);
  msg_.conn_id = 122;
  foip_link__alert_in(&msg_, call.get(), FOIP_API__OK);
  ASSERT_EQ(controller_->Next(2000)->type, TESSALY_RING_IN);
  EXPECT_EQ(entry().call_address->conn_id, 122);
}

// A ring the controller turns down frees its entry at once; the end of that
// call, reported afterwards, sends the controller nothing more.
TEST_F(FoipLink, RejectedRingFreesTheControllerWithoutAnotherStatus) {
  Set([](DeviceEntry& e) { e.receive_enabled = 1; });
  msg_.nai = 0;
  msg_.conn_id = 123;
  auto call = std::make_unique<foip__alert>();
  foip_link__alert_in(&msg_, call.get(), FOIP_API__OK);
  ASSERT_EQ(controller_->Next(2000)->type, TESSALY_RING_IN);
  RecvFaxPacket answer;
  answer.device_id = kId;
  answer.accept = 0;
  EXPECT_EQ(ProcessReceiveFax(answer), STATUS_OK);
  EXPECT_EQ(entry().session_active, 0u);
  EXPECT_FALSE(entry().call);
  foip__confirm gone{};
  gone.return_code = 3;
  auto fax = std::make_unique<foip__fax_session_status>();
  foip_link__stop_in(&msg_, nullptr, &gone, fax.get(), FOIP_API__OK);
  ExpectNothing();
}

// A send stopped before its call opened (by its controller's abort, or by
// tessaly itself: a send not started in time, the watchdog): FOIP answers
// the held start as failed, then confirms the stop.  The abort under way is
// kept, no second stop is asked, and the stop's confirm answers as its abort
// state says, once.
TEST_F(FoipLink, StartFailedByAStopUnderWayLeavesThatStopsAnswer) {
  struct Case {
    std::int32_t abort_state;
    std::uint16_t kind, value;  // the answer of the stop under way; kind 0xFFFF: none
  };
  const Case cases[] = {
      {ABORT_BY_CONTROLLER, FAX_STATUS_REQUEST_DONE, RST_TESSALY_ABORT_FAX},
      {ABORT_SEND_NOT_STARTED, 0xFFFF, 0},
      {ABORT_WATCHDOG, FOIP_STATUS_FAX_NOT_SENT, 0xF10A},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.abort_state);
    ASSERT_NO_FATAL_FAILURE(StoppingAfterBusy(c.abort_state));
    // The session ended before it ran: its start failed (code 15), then the
    // stop is confirmed.
    foip__confirm failed{};
    failed.return_code = 3;
    failed.error_source = 129;
    failed.error_code = 15;
    foip_link__start_co(&msg_, session_, &failed, FOIP_API__OK);
    ExpectNothing();
    EXPECT_EQ(entry().abort_state, c.abort_state);
    foip__confirm stopped{};
    stopped.return_code = FOIP__RC_OK;
    stopped.error_code = 26;
    foip_link__stop_co(&msg_, session_, &stopped, FOIP_API__OK);
    if (c.kind == 0xFFFF) ExpectNothing();
    else ExpectStatus(c.kind, c.value);
    EXPECT_EQ(entry().session_active, 0u);
    ExpectNothing();
  }
}

// A stop confirm saying the session was already gone (code 25), for a
// session whose end has been reported and cleared, sends nothing more.
TEST_F(FoipLink, StopConfirmOfASessionAlreadyEndedSendsNothing) {
  Set([](DeviceEntry& e) {
    e.session_active = 0;
    e.abort_state = ABORT_NONE;
  });
  foip__confirm gone{};
  gone.return_code = FOIP__RC_OK;
  gone.error_source = 129;
  gone.error_code = 25;
  foip_link__stop_co(&msg_, session_, &gone, FOIP_API__OK);
  ExpectNothing();
  EXPECT_EQ(entry().session_active, 0u);
  EXPECT_EQ(entry().abort_state, ABORT_NONE);
}

}  // namespace
