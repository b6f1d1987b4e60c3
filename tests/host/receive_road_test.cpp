// The road of one receive through the application entity and the
// fax-server link, on the runtime in manual mode with a fake FOIP entity:
// the call rings the controller, the controller's answer binds the session
// and accepts the call, a second call finds the controller busy and is
// refused, and the end of the session reaches the controller.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "common/program_log.h"
#include "common/server_settings.h"
#include "common/support/temp_folder.h"
#include "host/device_table.h"
#include "host/dispatcher.h"
#include "host/foip_link.h"
#include "host/scripted_controller.h"
#include "runtime/om_os.h"
#include "runtime/sm.h"
#include "runtime/support/rt_harness.h"
#include "session/app/app_foip.h"
#include "session/app/app_foip_dsp.h"
#include "session/config/support/cfg_test_support.h"

namespace {

namespace fs = std::filesystem;
using namespace rt_test;
using tessaly_test::Reply;
using tessaly_test::ScriptedController;

struct AlertAnswer {
  u8 answer;
  u16 sip_status;
  u16 conn_id;
};
std::vector<AlertAnswer> g_answers;

template <class T>
void answer(code_t code, nai_t nai, const T& rec, u16 conn_id = FOIP__CONN_NONE) {
  foip_api__addr a;
  a.from = ENT_FOIP;
  a.to = ENT_APP_FOIP;
  a.nai = nai;
  a.conn_id = conn_id;
  ASSERT_EQ(foip_api__send_record(a, code, rec), FOIP_API__OK);
}

void fake_foip(msg_t* m) {
  switch (m->code) {
    case FOIP__SET_CONFIG_RQ: {
      auto r = std::make_unique<foip__set_config>();
      r->confirm.return_code = FOIP__RC_OK;
      answer(FOIP__SET_CONFIG_CO, FOIP__NAI_GLOBAL, *r);
      break;
    }
    case FOIP__T38_CAPABILITIES_RQ: {
      foip__t38_capabilities r{};
      r.confirm.return_code = FOIP__RC_OK;
      answer(FOIP__T38_CAPABILITIES_CO, 0, r);
      break;
    }
    case FOIP__ALERT_RS: {
      auto a = std::make_unique<foip__alert>();
      if (foip_api__read_record(m, FOIP__ALERT_RS, a.get()) == FOIP_API__OK)
        g_answers.push_back({a->answer, a->sip_status, m->conn_id});
      break;
    }
    default: break;
  }
  Free_msg(m);
}

const entity_table_row_t TABLE[] = {
    SM_ENTITY_ROW,
    APP_FOIP_ENTITY_ROW,
    {ENT_FOIP, fake_foip, 0, 0, nullptr, 0},
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

class ReceiveRoad : public ::testing::Test {
 protected:
  void SetUp() override {
    area_ = std::make_unique<cfg_test::temp_dir>();
    fs::copy(std::string(KV_SOURCE_DIR) + "/tests/session/fixtures/default_area", area_->path(),
             fs::copy_options::recursive);
    old_cwd_ = fs::current_path();
    fs::current_path(area_->path());
    setenv("KORVANE_MAILSLOT_DIR", slots_.path().c_str(), 1);
    SystemParams& p = SystemParameters();
    p = SystemParams{};
    std::snprintf(p.ServerArea, sizeof p.ServerArea, "%s/", area_->path().c_str());
    std::snprintf(p.SystemArea, sizeof p.SystemArea, "%s/", area_->path().c_str());
    InitialiseLog(1);
    app_foip_cnf__set_hooks({[](const char*) {}, nullptr, nullptr});
    app_foip_dsp__set_output([](nai_t, u16, const char*) {});
    app_foip_cnf__options o;
    o.computer_name = "TESTHOST";
    app_foip__set_cnf_options(o);
    app_foip_cnf__startup_record record;
    std::snprintf(record.glb_cfg_path, sizeof record.glb_cfg_path, ".\\Tessaly\\glb.cfg");
    record.sip_nai = 100;
    for (std::size_t i = 0; i < FOIP__MAX_MEDIA_NA; ++i) record.session_nai[i] = static_cast<nai_t>(i + 1);
    app_foip_cnf__pack_startup_record(record, startup_);
    row_ = {ENT_APP_FOIP, startup_, APP_FOIP_CNF__STARTUP_RECORD_SIZE, 1, 0};
    g_answers.clear();
    ResetDeviceTable();
    InstallFoipLinkHooks();

    use_virtual_clock(1000);
    sm_set_startup_list(&row_, 1);
    start_manual(TABLE);
    pump();
    controller_ = std::make_unique<ScriptedController>(5, "F1\\1");
    ASSERT_TRUE(controller_->ok());
  }
  void TearDown() override {
    stop();
    controller_.reset();
    ResetDeviceTable();
    app_foip__set_link_hooks({});
    app_foip_dsp__set_output(nullptr);
    app_foip_cnf__set_hooks({});
    fs::current_path(old_cwd_);
    SystemParameters() = SystemParams{};
    LogInit(nullptr, nullptr, 3, "TEST");
    unsetenv("KORVANE_MAILSLOT_DIR");
  }

  void Dispatch(std::vector<std::uint8_t> packet) {
    (void)DispatchPacket(packet.data(), packet.size());
    pump();
  }
  void ExpectStatus(std::uint16_t kind, std::uint16_t value) {
    const std::optional<Reply> r = controller_->Next(2000);
    ASSERT_TRUE(r.has_value()) << "expected kind " << kind;
    ASSERT_EQ(r->type, TESSALY_FAX_STATUS);
    EXPECT_EQ(r->status.kind, kind);
    EXPECT_EQ(r->status.value, value);
  }
  void Offer(u16 conn_id) {
    auto a = std::make_unique<foip__alert>();
    a->called_kind = 1;
    std::snprintf(a->sz_called_phone_number, sizeof a->sz_called_phone_number, "0012345");
    std::snprintf(a->calling.sz_user_name, sizeof a->calling.sz_user_name, "alice");
    const u8 ip[4] = {192, 0, 2, 1};
    a->remote_addr.ip_addr.ip_family = OM_IP_FAMILY_V4;
    std::memcpy(a->remote_addr.ip_addr.addr.v4.addr, ip, 4);
    a->media.media_count = 1;
    std::memcpy(a->media.media[0].ipv4, ip, 4);
    answer(FOIP__ALERT_IN, 100, *a, conn_id);
    pump();
  }

  std::unique_ptr<cfg_test::temp_dir> area_;
  kvtest::TempFolder slots_;
  fs::path old_cwd_;
  u8 startup_[APP_FOIP_CNF__STARTUP_RECORD_SIZE];
  sm_startup_row_t row_{};
  std::unique_ptr<ScriptedController> controller_;
};

TEST_F(ReceiveRoad, RingAcceptBusyAndEnd) {
  ASSERT_EQ(app_foip__ctx().cnf.foip_ready, 1);
  std::vector<std::uint8_t> b(kRegisterDeviceSize);
  RegisterDevicePacket reg;
  reg.device_id = 5;
  std::snprintf(reg.reply_slot, sizeof reg.reply_slot, "F1\\1");
  WriteRegisterDevice(reg, b.data());
  Dispatch(b);
  ExpectStatus(FAX_STATUS_REQUEST_DONE, 1);
  b.assign(kDeviceStatusSize, 0);
  WriteDeviceStatus(5, 1, b.data());
  Dispatch(b);
  ExpectStatus(FAX_STATUS_REQUEST_DONE, 5);
  ASSERT_EQ(app_foip__get_session_ctx(1)->direction, FOIP__DIR_IN);

  Offer(33);
  std::optional<Reply> ring = controller_->Next(2000);
  ASSERT_TRUE(ring.has_value());
  ASSERT_EQ(ring->type, TESSALY_RING_IN);
  EXPECT_STREQ(ring->ring.called, "12345") << "from the called-digits offset 2";
  EXPECT_STREQ(ring->ring.caller_number, "alice");
  EXPECT_STREQ(ring->ring.caller_address, "192.0.2.1");
  EXPECT_TRUE(g_answers.empty());

  RecvFaxPacket recv;
  recv.device_id = 5;
  std::snprintf(recv.folder, sizeof recv.folder, "rcv\\");
  std::snprintf(recv.file_name, sizeof recv.file_name, "fax1.tif");
  recv.accept = 1;
  b.assign(kRecvFaxSize, 0);
  WriteRecvFax(recv, b.data());
  Dispatch(b);
  ExpectStatus(FAX_STATUS_REQUEST_DONE, 3);
  ASSERT_EQ(g_answers.size(), 3u);
  EXPECT_EQ(g_answers[0].answer, FOIP__ALERT_PROVISIONAL);
  EXPECT_EQ(g_answers[1].answer, FOIP__ALERT_RINGING);
  EXPECT_EQ(g_answers[2].answer, FOIP__ALERT_ACCEPT);
  EXPECT_EQ(g_answers[2].conn_id, 33);
  app_foip__session_ctx* s = app_foip__get_session_ctx(1);
  EXPECT_EQ(s->state, APP_FOIP__ST_RUNNING);
  EXPECT_EQ(s->call_id, 33);
  EXPECT_STREQ(s->param().fax_rcv_pg.sz_tiff_fname_rcv_fax_pg, "rcv\\fax1.tif");
  EXPECT_EQ(s->param().fax_common_param.keep_bit_order__rx, 1);

  // The only controller is busy: the next call is refused.
  g_answers.clear();
  Offer(34);
  ASSERT_EQ(g_answers.size(), 1u);
  EXPECT_EQ(g_answers[0].answer, FOIP__ALERT_REJECT);
  EXPECT_EQ(g_answers[0].sip_status, 404);
  EXPECT_EQ(g_answers[0].conn_id, 34);
  EXPECT_FALSE(controller_->Next(100).has_value());

  // The session ends before the far fax identified itself: not answered.
  auto stop_in = std::make_unique<foip__stop>();
  stop_in->confirm.return_code = FOIP__RC_OK;
  answer(FOIP__STOP_IN, 1, *stop_in);
  pump();
  ExpectStatus(FAX_STATUS_FAX_NOT_RECEIVED, STATUS_FAX_NOT_ANSWERED);
  EXPECT_EQ(GetEntryInfo(5)->session_active, 0u);
  EXPECT_FALSE(GetEntryInfo(5)->call);
  EXPECT_EQ(app_foip__get_session_ctx(1)->state, APP_FOIP__ST_IDLE);
  EXPECT_EQ(GetAvailableEntryForReceive(), GetEntryInfo(5));
}

}  // namespace
