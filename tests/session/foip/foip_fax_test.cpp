// The FOIP fax-session automaton with the real fax entity ENT_FAX behind a
// relaying ENT_SM and recording V.25 and fax-session layers: a session whose
// page file ENT_FAX refuses reports the refusal with its source and code; a
// session that opens and is stopped by its user ends with ENT_FAX's status,
// and its configuration is removed again.
#include "session/foip/foip_fax.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fax/fax_config.h"
#include "fax/fax_entity.h"
#include "fax/support/fax_test_pages.h"
#include "fax/tiff.h"
#include "runtime/om_os.h"
#include "runtime/sm.h"
#include "runtime/support/rt_harness.h"
#include "runtime/timer.h"
#include "session/foip/foip_ctx.h"
#include "session/foip/foip_t38_mgt.h"
#include "session/foip/support/foip_sip_side.h"
#include "session/config/support/cfg_test_support.h"
#include "session/foip/support/foip_test_support.h"
#include "t38/t38_entity.h"

namespace {

using namespace rt_test;

// ENT_SM: relays FOIP's requests for ENT_FAX and their answers; confirms
// ENT_FAX's own lower-entity requests at once.
void relay_sm(msg_t* m) {
  rec().add(describe(m));
  if (m->from == ENT_FOIP && (m->code == SM_CONFIG_RQ || m->code == SM_RST_CFG_RQ)) {
    m->from = ENT_SM;
    m->to = ENT_FAX;
    Send_msg(m);
    return;
  }
  if (m->from == ENT_FAX && (m->code == SM_CONFIG_CO || m->code == SM_RST_CFG_CO)) {
    m->from = ENT_SM;
    m->to = ENT_FOIP;
    Send_msg(m);
    return;
  }
  if (m->from == ENT_FAX && (m->code == SM_CONFIG_RQ || m->code == SM_RST_CFG_RQ)) {
    const ent_id_t target = Sm_target(m);
    const u8 body[3] = {2, 0, target};
    Msg_set_inline_body(m, body, 3);
    m->code = m->code == SM_CONFIG_RQ ? SM_CONFIG_CO : SM_RST_CFG_CO;
    m->from = ENT_SM;
    m->to = ENT_FAX;
    Send_msg(m);
    return;
  }
  Free_msg(m);
}

const entity_table_row_t TABLE[] = {
    {ENT_SM, relay_sm, 0, 0, nullptr, 0},
    {ENT_APP_FOIP, record_handler, 0, 0, nullptr, 0},
    FOIP_ENTITY_ROW,
    {ENT_T38, record_handler, 0, 0, nullptr, 0},
    {ENT_SSC, record_handler, 0, 0, nullptr, 0},
    FAX_ENTITY_ROW,
    {ENT_ACU, record_handler, 0, 0, nullptr, 0},
    {ENT_CF, record_handler, 0, 0, nullptr, 0},
    {ENT_FC, record_handler, 0, 0, nullptr, 0},
    {ENT_MFM, record_handler, 0, 0, nullptr, 0},
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

// SIP and T.38 layers that open and close at once; the T.38 events seen.
std::vector<u8> g_t38_events;
void t38_hook(foip__na_ctx* s, u8 event, u8, u8) {
  g_t38_events.push_back(event);
  foip_test::t38_side_at_once(s, event);
}
void fax_hook(foip__na_ctx* s, u8 event) { (void)foip_fax__automaton(s, event); }

std::vector<seen_msg> taken(ent_id_t to, code_t code) {
  std::vector<seen_msg> out;
  for (const seen_msg& m : rec().messages())
    if (m.to == to && m.code == code) out.push_back(m);
  return out;
}

class FoipFax : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::make_unique<cfg_test::temp_dir>();
    foip__layer_hooks h;
    h.ssc_mgt__automaton = foip_test::sip_side_at_once;
    h.t38_mgt__automaton = t38_hook;
    h.fax_mgt__automaton = fax_hook;
    h.release_session = foip_fax__release;
    foip__set_layer_hooks(h);
    use_virtual_clock(1000);
    start_manual(TABLE);
    pump();
    foip__global_param g;
    foip_test::global_param(g, 1);
    ASSERT_EQ(foip_api__send_set_config_rq(g), FOIP_API__OK);
    pump();
    rec().clear();
  }
  void TearDown() override {
    fax_release_all();
    foip_entity_stop();
    stop();
    foip__set_layer_hooks({});
  }
  void run_ms(u32 ms) {
    for (u32 t = 0; t < ms; t += 50) {
      advance_clock(50);
      om_os_timer_poll();
      pump();
    }
  }
  void start_out(const std::string& page) {
    foip__session_param p;
    foip_test::outgoing_param(p, 1, dir_->path(), page);
    ASSERT_EQ(foip_api__send_start_rq(1, p), FOIP_API__OK);
    pump();
  }
  foip__confirm start_co() {
    auto a = taken(ENT_APP_FOIP, FOIP__START_CO);
    foip__confirm c{};
    if (!a.empty() && a.back().data.size() >= sizeof c) std::memcpy(&c, a.back().data.data(), sizeof c);
    return c;
  }
  std::unique_ptr<cfg_test::temp_dir> dir_;
};

TEST_F(FoipFax, RefusedPageFileIsReportedWithItsSourceAndCode) {
  // An uncompressed page cannot be sent as it stands: ENT_FAX refuses it.
  const std::string page = dir_->path() + "/raw.tif";
  ASSERT_TRUE(foip_test::write_tiff(page, 200, 200));
  start_out(page);
  run_ms(100);
  const foip__confirm c = start_co();
  EXPECT_EQ(c.return_code, 3);
  EXPECT_EQ(c.error_source, FOIP__START_ERR_SRC__FAX_CONFIG);
  EXPECT_EQ(c.error_code, FAX__CFG_ERR_TIFF_PG_HDR_BAD_ENCODING_METHOD);
  EXPECT_EQ(foip_fax__state(1), FOIP_FAX__IDLE);
  EXPECT_EQ(fax_session_state(1), -1) << "ENT_FAX keeps no half-configured session";
}

TEST_F(FoipFax, OpenedSessionStoppedByItsUserEndsWithTheFaxStatus) {
  // An MH page at 200 x 100 dpi, written with our TIFF writer.
  const std::string page = dir_->path() + "/mh.tif";
  const std::string data = dir_->path() + "/mh.dat";
  fax_test::write_file(data, fax_test::encode(fax_test::make_page(fax_test::kind::text, 1728, 40, 2), 1));
  auto ctx = std::make_unique<tiff__ctx>();
  ASSERT_EQ(tiff__start_write(ctx.get(), tiff__get_ctx_size(), page.c_str()), TIFF_DONE);
  tiff__pg_header hdr;
  hdr.image_width = 1728;
  hdr.image_length = 40;
  hdr.compression = TIFF_T4_MONO;
  hdr.resolution_unit = 2;
  hdr.x_resolution = 200;
  hdr.y_resolution = 100;
  ASSERT_EQ(tiff__write_page(ctx.get(), &hdr, data.c_str()), TIFF_DONE);
  tiff__close(ctx.get());
  start_out(page);
  ASSERT_EQ(taken(ENT_APP_FOIP, FOIP__START_CO).size(), 0u)
      << int(start_co().error_source) << "/" << int(start_co().error_code);
  EXPECT_EQ(foip_fax__state(1), FOIP_FAX__CONFIG);
  EXPECT_EQ(fax_session_state(1), 0);  // idle
  run_ms(1000);                        // ENT_FAX's start delay (600 ms), then the launch delay (900 ms)
  ASSERT_EQ(taken(ENT_ACU, 'A').size(), 1u) << "the fax call is set up";
  EXPECT_EQ(foip_fax__state(1), FOIP_FAX__SESSION_RUNNING);
  EXPECT_EQ(start_co().return_code, 2);
  EXPECT_EQ(foip__session_state(1), FOIP_MGT__RUNNING);

  // A page report of the fax engine reaches the user.
  std::vector<u8> rep(FAX_REPORT_SIZE, 0);
  rep[0] = 'E';
  rep[4 + fax_rep::EVENT] = FAX_PG_SENT;
  rep[4 + fax_rep::PAGE_NUMBER] = 1;
  std::memcpy(rep.data() + 4 + fax_rep::FILE_NAME, "page.tif", 8);
  rep[4 + fax_rep::QUALITY] = 'G';
  Send_msg(make_msg(ENT_FAX, ENT_FOIP, FAX__REPORT_IN, rep, 1, 0xFFFF));
  pump();
  auto reports = taken(ENT_APP_FOIP, FOIP__REPORT_IN);
  ASSERT_EQ(reports.size(), 1u);
  foip__report r{};
  ASSERT_EQ(reports[0].data.size(), sizeof r);
  std::memcpy(&r, reports[0].data.data(), sizeof r);
  EXPECT_EQ(r.kind_of_report, FOIP__REPORT__EVT);
  EXPECT_EQ(r.kind, FOIP__EVENT__FAX_PG_SENT);
  EXPECT_EQ(r.body.page.pg_number, 1);
  EXPECT_STREQ(r.body.page.pg.sz_tiff_fname, "page.tif");
  EXPECT_EQ(r.body.page.pg.pg_quality, 'G');

  // The remote is an IAF device: the T.38 session is told of the page data
  // rate, and the user hears of it.
  g_t38_events.clear();
  rep.assign(FAX_REPORT_SIZE, 0);
  rep[0] = 'E';
  rep[4 + fax_rep::EVENT] = FAX_REMOTE_IAF;
  Send_msg(make_msg(ENT_FAX, ENT_FOIP, FAX__REPORT_IN, rep, 1, 0xFFFF));
  pump();
  EXPECT_EQ(g_t38_events, std::vector<u8>{T38_MGT__EVT_NEW_FAX_PG_DRATE});
  reports = taken(ENT_APP_FOIP, FOIP__REPORT_IN);
  ASSERT_EQ(reports.size(), 2u);
  std::memcpy(&r, reports[1].data.data(), sizeof r);
  EXPECT_EQ(r.kind, FAX_REMOTE_IAF);

  ASSERT_EQ(foip_api__send_stop_rq(1), FOIP_API__OK);
  pump();
  EXPECT_EQ(foip_fax__state(1), FOIP_FAX__SESSION_DEA);
  ASSERT_EQ(taken(ENT_ACU, 'C').size(), 1u) << "the V.25 set-up is cleared";
  msg_t* m = make_msg(ENT_ACU, ENT_FAX, 'd', std::vector<u8>(88, 0), 1, 0);
  Send_msg(m);
  pump();
  EXPECT_EQ(foip_fax__state(1), FOIP_FAX__IDLE);
  EXPECT_EQ(fax_session_state(1), -1) << "the fax configuration is removed";
  auto a = taken(ENT_APP_FOIP, FOIP__STOP_CO);
  ASSERT_EQ(a.size(), 1u);
  foip__stop st{};
  ASSERT_EQ(a[0].data.size(), sizeof st);
  std::memcpy(&st, a[0].data.data(), sizeof st);
  EXPECT_EQ(st.fax.present, 1);
  EXPECT_EQ(st.fax.source, ENT_FAX);
  EXPECT_EQ(st.fax.diag, FAX_CAUSE_USER_STOP);
  EXPECT_EQ(st.fax.fax_return_code, 3);
  EXPECT_EQ(st.fax.nb_pg_to_send, 1);
}

}  // namespace
