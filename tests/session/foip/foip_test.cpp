// ENT_FOIP against a fake user (ENT_APP_FOIP), fake T.38, SSC and fax
// entities, and scripted layer automata: configuration and its refusals,
// every refusal of a session's parameters with its texts, the admission
// FIFOs, the session-control automaton's answers, traps and the reset.
#include "session/foip/foip.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "runtime/mem.h"
#include "runtime/om_os.h"
#include "runtime/support/rt_harness.h"
#include "session/foip/foip_ctx.h"
#include "session/foip/foip_dump.h"
#include "session/foip/foip_err.h"
#include "session/foip/foip_long_data.h"
#include "session/trace/foip_trc.h"
#include "session/config/support/cfg_test_support.h"
#include "session/foip/support/foip_test_support.h"
#include "t38/t38_entity.h"

namespace {

namespace fs = std::filesystem;
using namespace rt_test;

// ---------------------------------------------------------------------------
// Fakes.

u8 g_t38_tcp = 1;  // TCP flag of the fake T.38 entity's capabilities

void fake_t38_handler(msg_t* m) {
  rec().add(describe(m));
  if (m->code == kv::t38::T38__CAPABILITIES_RQ) {
    u8 body[kv::t38::T38__CAPABILITIES_CO_SIZE] = {2, 0, 'J', 0};
    u8* c = body + 4;
    c[0] = 1;                  // version
    c[1] = 0x40, c[2] = 0x38;  // 14400
    c[3] = 2;
    c[7] = 0x04, c[8] = 0x29;   // 10500
    c[9] = 0xDC, c[10] = 0x05;  // 1500
    c[11] = 2;
    c[12] = g_t38_tcp;
    msg_t* a = make_msg(ENT_T38, ENT_FOIP, kv::t38::T38__CAPABILITIES_CO, std::vector<u8>(body, body + sizeof body),
                        FOIP__NAI_GLOBAL, 0xFFFF);
    Send_msg(a);
  }
  Free_msg(m);
}

const entity_table_row_t TABLE[] = {
    {ENT_APP_FOIP, record_handler, 0, 0, nullptr, 0}, FOIP_ENTITY_ROW,
    {ENT_T38, fake_t38_handler, 0, 0, nullptr, 0},    {ENT_SSC, record_handler, 0, 0, nullptr, 0},
    {ENT_FAX, record_handler, 0, 0, nullptr, 0},      {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

// Scripted layers: each call is logged; in auto mode every layer answers
// at once with success.
struct layer_call {
  char layer;  // 's' SIP side, 't' T.38, 'f' fax
  nai_t nai;
  u8 event;
};
struct layers_t {
  bool auto_answer = false;
  bool fax_start_done = true;  // auto mode: FOIP_MGT__START_DONE when the fax opens
  std::vector<layer_call> calls;
} L;

void ssc_hook(foip__na_ctx* s, u8 event) {
  const nai_t nai = s ? foip__session_nai(s) : FOIP__NAI_GLOBAL;
  L.calls.push_back({'s', nai, event});
  if (event == SSC_MGT__EVT_RESET || L.auto_answer) foip_test::sip_side_at_once(s, event);
}
void t38_hook(foip__na_ctx* s, u8 event, u8, u8) {
  const nai_t nai = foip__session_nai(s);
  L.calls.push_back({'t', nai, event});
  if (event == T38_MGT__EVT_USR_ACT_RQ) foip__set_t38_active(s, true);
  if (event == T38_MGT__EVT_USR_DEA_RQ) foip__set_t38_active(s, false);
  if (!L.auto_answer) return;
  if (event == T38_MGT__EVT_USR_ACT_RQ) foip__send_mgt(FOIP_MGT__T38_OPENED, nai, 2, 0, 0, 0);
  if (event == T38_MGT__EVT_USR_DEA_RQ) foip__send_mgt(FOIP_MGT__T38_CLOSED, nai, 0, 0, 0, 0);
}
void fax_hook(foip__na_ctx* s, u8 event) {
  const nai_t nai = foip__session_nai(s);
  L.calls.push_back({'f', nai, event});
  if (!L.auto_answer) return;
  if (event == FAX_MGT__EVT_USR_ACT_RQ) {
    if (L.fax_start_done) foip__send_mgt(FOIP_MGT__START_DONE, nai, 0, 0, 0, 0);
    foip__send_mgt(FOIP_MGT__FAX_OPENED, nai, 2, 0, 0, 0);
  }
  if (event == FAX_MGT__EVT_USR_DEA_RQ) foip__send_mgt(FOIP_MGT__FAX_CLOSED, nai, 0, 0, 0, 0);
}

// What the user got.
struct answer_t {
  code_t code;
  nai_t nai;
  u16 conn_id;
  foip__confirm confirm;
  std::vector<u8> data;
};
std::vector<answer_t> user_answers(code_t code = 0) {
  std::vector<answer_t> out;
  for (const seen_msg& m : rec().messages()) {
    if (m.to != ENT_APP_FOIP || (code && m.code != code)) continue;
    answer_t a{m.code, m.nai, m.conn_id, {}, m.data};
    if (m.data.size() >= sizeof(foip__confirm) && m.code != FOIP__REPORT_IN)
      std::memcpy(&a.confirm, m.data.data(), sizeof a.confirm);
    out.push_back(a);
  }
  return out;
}

int held_msgs() { return int(om_os_msg_pool_stats().in_use) - int(om_os_it_msg_pool_stats().count); }

class FoipEntity : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::make_unique<cfg_test::temp_dir>();
    page_ = dir_->path() + "/page.tif";
    ASSERT_TRUE(foip_test::write_tiff(page_, 200, 200));
    L = layers_t{};
    g_t38_tcp = 1;
    foip__layer_hooks h;
    h.ssc_mgt__automaton = ssc_hook;
    h.t38_mgt__automaton = t38_hook;
    h.fax_mgt__automaton = fax_hook;
    foip__set_layer_hooks(h);
    use_virtual_clock(1000);
    start_manual(TABLE);
    pump();
  }
  void TearDown() override {
    foip_entity_stop();
    stop();
    foip__set_layer_hooks({});
  }

  void configure(nai_t nb = 1) {
    foip__global_param g;
    foip_test::global_param(g, nb);
    configure(g);
  }
  void configure(const foip__global_param& g) {
    ASSERT_EQ(foip_api__send_set_config_rq(g), FOIP_API__OK);
    pump();
  }
  void start(const foip__session_param& p, nai_t msg_nai) {
    ASSERT_EQ(foip_api__send_start_rq(msg_nai, p), FOIP_API__OK);
    pump();
  }
  void start_out(nai_t nai) {
    foip__session_param p;
    foip_test::outgoing_param(p, nai, dir_->path(), page_);
    start(p, nai);
  }
  void stop_rq(nai_t nai) {
    ASSERT_EQ(foip_api__send_stop_rq(nai), FOIP_API__OK);
    pump();
  }
  void mgt(code_t code, nai_t nai, u16 result = 2, u16 origin = 1, u16 src = 0, u16 code_value = 0) {
    foip__send_mgt(code, nai, result, origin, src, code_value);
    pump();
  }
  foip__stop read_stop(const answer_t& a) {
    foip__stop s{};
    EXPECT_EQ(a.data.size(), sizeof s);
    if (a.data.size() == sizeof s) std::memcpy(&s, a.data.data(), sizeof s);
    return s;
  }

  std::unique_ptr<cfg_test::temp_dir> dir_;
  std::string page_;
};

// ---------------------------------------------------------------------------
// Configuration.

TEST_F(FoipEntity, MessagesBeforeConfigurationAreDroppedWithoutAnswer) {
  start_out(1);
  stop_rq(1);
  EXPECT_TRUE(user_answers().empty());
  EXPECT_FALSE(foip__is_configured());
}

TEST_F(FoipEntity, ConfigurationAcceptedDefaultsTheAdmissionLimit) {
  configure(0);
  auto a = user_answers(FOIP__SET_CONFIG_CO);
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(a[0].confirm.return_code, 2);
  EXPECT_EQ(a[0].nai, FOIP__NAI_GLOBAL);
  EXPECT_TRUE(foip__is_configured());
  EXPECT_EQ(foip__glb().nb_simultaneous_start_stop, 1);
}

TEST_F(FoipEntity, ConfigurationTraceLimitsAreNormalised) {
  foip__global_param g;
  foip_test::global_param(g);
  g.glb_trc_param.event.max_length_of_event_file = 10001;
  g.glb_trc_param.event.nb_of_multiple_event_files = 200;
  g.glb_trc_param.audit.max_length_of_audit_file = 0;
  g.glb_trc_param.audit.nb_of_multiple_audit_files = 0;
  configure(g);
  const auto& t = foip__glb().trc;
  EXPECT_EQ(t.event.max_length_of_event_file, 10000);
  EXPECT_EQ(t.event.nb_of_multiple_event_files, 127);
  EXPECT_EQ(t.audit.max_length_of_audit_file, 10000);
  EXPECT_EQ(t.audit.nb_of_multiple_audit_files, 1);
}

// A refused configuration leaves the entity unconfigured with the refusal's
// texts; a later correct configuration succeeds.
TEST_F(FoipEntity, RefusedConfigurationLeavesEntityUnconfiguredAndRetrySucceeds) {
  // Refusal found before the record is read: a body of the wrong length.
  msg_t* bad = make_msg(ENT_APP_FOIP, ENT_FOIP, FOIP__SET_CONFIG_RQ, {1, 2, 3}, FOIP__NAI_GLOBAL, 0xFFFF);
  Send_msg(bad);
  pump();
  auto a = user_answers(FOIP__SET_CONFIG_CO);
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(a[0].confirm.return_code, 3);
  EXPECT_EQ(a[0].confirm.error_source, 255);
  EXPECT_EQ(a[0].confirm.error_code, 3);
  EXPECT_STREQ(a[0].confirm.sz_error_code,
               "FOIP__CFG_ERR__REASSEMBLE_BUFF, Can't reassemble VXL buffers of FOIP__SET_CONFIG_RQ primitive");
  EXPECT_FALSE(foip__is_configured());
  start_out(1);  // dropped: not configured
  EXPECT_TRUE(user_answers(FOIP__START_CO).empty());

  // Refusal after the record was read: an event file that cannot be created.
  foip__global_param g;
  foip_test::global_param(g);
  foip__copy_text(g.glb_trc_param.event.sz_fname_event, (dir_->path() + "/missing/evt").c_str());
  rec().clear();
  configure(g);
  a = user_answers(FOIP__SET_CONFIG_CO);
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(a[0].confirm.error_code, 7);
  EXPECT_FALSE(foip__is_configured());

  rec().clear();
  configure();
  a = user_answers(FOIP__SET_CONFIG_CO);
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(a[0].confirm.return_code, 2);
  EXPECT_TRUE(foip__is_configured());
  start_out(1);
  EXPECT_EQ(foip__session_state(1), FOIP_MGT__SIP_CALL_PROGRESS);
}

// ---------------------------------------------------------------------------
// Every source/code pair that configuration or primitives can provoke.

struct refusal_row {
  const char* name;
  code_t answer;
  u8 source, code;
  const char* code_text_prefix;  // "" when the code has no text of its own
  std::function<void(FoipEntity*, foip__session_param&, foip__global_param&)> setup;
};

class FoipRefusals : public FoipEntity {
 public:
  void run(const refusal_row& r);
  std::string dir() const { return dir_->path(); }
  std::string page() const { return page_; }
};

enum : u8 { SKIP_START = 0xAA, OTHER_MSG_NAI = 0xBB };

void FoipRefusals::run(const refusal_row& r) {
  SCOPED_TRACE(r.name);
  foip__session_param p;
  foip_test::outgoing_param(p, 1, dir_->path(), page_);
  foip__global_param g;
  foip_test::global_param(g);
  nai_t msg_nai = 1;
  r.setup(this, p, g);
  rec().clear();
  if (r.answer == FOIP__SET_CONFIG_CO && g.glb_common_param.tag_dbg_field_are_loaded == SKIP_START) {
    Send_msg(make_msg(ENT_APP_FOIP, ENT_FOIP, FOIP__SET_CONFIG_RQ, {1, 2, 3}, FOIP__NAI_GLOBAL, 0xFFFF));
    pump();
  } else if (r.answer == FOIP__SET_CONFIG_CO) {
    configure(g);
  } else {
    if (!foip__is_configured()) configure(g);
    msg_nai = p.session_general_param.tag_dbg_field_are_loaded == OTHER_MSG_NAI ? 1 : p.session_general_param.nai;
    if (p.session_general_param.tag_dbg_field_are_loaded == SKIP_START) return;
    rec().clear();
    start(p, msg_nai);
  }
  auto a = user_answers(r.answer);
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(a[0].confirm.return_code, 3);
  EXPECT_EQ(a[0].confirm.error_source, r.source);
  EXPECT_EQ(a[0].confirm.error_code, r.code);
  const char* src_text = nullptr;
  const char* code_text = nullptr;
  foip_err__start_error_text(r.source, r.code, &src_text, &code_text);
  EXPECT_STREQ(a[0].confirm.sz_error_source, src_text);
  EXPECT_EQ(std::string(a[0].confirm.sz_error_code).rfind(r.code_text_prefix, 0), 0u) << a[0].confirm.sz_error_code;
  if (r.answer == FOIP__START_CO) {
    EXPECT_EQ(a[0].nai, msg_nai);
    EXPECT_EQ(foip__session_count(), 0) << "nothing of a refused session remains";
  }
}

using S = foip__session_param;
using G = foip__global_param;

TEST_F(FoipRefusals, EveryProvokableSourceAndCodeIsAnsweredWithItsTexts) {
  const std::string d = dir();
  const std::string bad_res = d + "/res.tif", bad_enc = d + "/enc.tif", junk = d + "/junk.tif";
  ASSERT_TRUE(foip_test::write_tiff(bad_res, 200, 300));
  ASSERT_TRUE(foip_test::write_tiff(bad_enc, 200, 200, true));
  std::ofstream(junk) << "this is not a TIFF file";
  const std::string long_name(FOIP__NAME_SIZE, 'a');

  const refusal_row rows[] = {
      {"event file", FOIP__SET_CONFIG_CO, 255, 7, "FOIP__CFG_ERR__FNAME_GLB_EVENT_ACCES_FILE",
       [&](FoipEntity*, S&, G& g) { foip__copy_text(g.glb_trc_param.event.sz_fname_event, (d + "/no/e").c_str()); }},
      {"audit file", FOIP__SET_CONFIG_CO, 255, 8, "FOIP__CFG_ERR__FNAME_GLB_AUDIT_ACCES_FILE",
       [&](FoipEntity*, S&, G& g) { foip__copy_text(g.glb_trc_param.audit.sz_fname_audit, (d + "/no/a").c_str()); }},
      {"nai above the configured number", FOIP__START_CO, 240, 3, "FOIP__START_ERR__NAI,",
       [&](FoipEntity*, S& p, G&) { p.session_general_param.nai = 64; }},
      {"nai of parameters differs from message", FOIP__START_CO, 240, 4, "FOIP__START_ERR__NAI_2",
       [&](FoipEntity*, S& p, G&) {
         p.session_general_param.nai = 2;
         p.session_general_param.tag_dbg_field_are_loaded = OTHER_MSG_NAI;
       }},
      {"nai equal to the configured number", FOIP__START_CO, 240, 6, "FOIP__START_ERR__ALLOC_RESOURCE",
       [&](FoipEntity*, S& p, G&) { p.session_general_param.nai = 63; }},
      {"local user name empty", FOIP__START_CO, 240, 10, "Error code unknown",
       [&](FoipEntity*, S& p, G&) { p.t38_media_add_param.sip_media_identification.sz_local_user_name[0] = 0; }},
      {"local user name with a blank", FOIP__START_CO, 240, 11, "Error code unknown",
       [&](FoipEntity*, S& p, G&) {
         foip__copy_text(p.t38_media_add_param.sip_media_identification.sz_local_user_name, "fax one");
       }},
      {"local user name ends in a half escape", FOIP__START_CO, 240, 11, "Error code unknown",
       [&](FoipEntity*, S& p, G&) {
         foip__copy_text(p.t38_media_add_param.sip_media_identification.sz_local_user_name, "fax%4");
       }},
      {"local user name %n%s", FOIP__START_CO, 240, 11, "Error code unknown",
       [&](FoipEntity*, S& p, G&) {
         foip__copy_text(p.t38_media_add_param.sip_media_identification.sz_local_user_name, "%n%s");
       }},
      {"local user name without terminator", FOIP__START_CO, 240, 11, "Error code unknown",
       [&](FoipEntity*, S& p, G&) {
         std::memset(p.t38_media_add_param.sip_media_identification.sz_local_user_name, 'a', FOIP__NAME_SIZE);
       }},
      {"remote user name invalid", FOIP__START_CO, 240, 12, "Error code unknown",
       [&](FoipEntity*, S& p, G&) {
         auto& id = p.t38_media_add_param.sip_media_identification;
         id.remote_user_identification = FOIP__USR_ID__NAME;
         foip__copy_text(id.sz_remote_user_name, "a b");
       }},
      {"local phone number of 25 characters", FOIP__START_CO, 240, 8,
       "FOIP__START_ERR__LOCAL_USER_PHONE_NUMBER_TOO_LONG",
       [&](FoipEntity*, S& p, G&) {
         auto& id = p.t38_media_add_param.sip_media_identification;
         id.local_user_identification = FOIP__USR_ID__PHONE_NUMBER;
         foip__copy_text(id.sz_local_user_phone_number, "1234567890123456789012345");
       }},
      {"remote phone number with a bad escape", FOIP__START_CO, 240, 9,
       "FOIP__START_ERR__REMOTE_USER_PHONE_NUMBER_TOO_LONG",
       [&](FoipEntity*, S& p, G&) {
         auto& id = p.t38_media_add_param.sip_media_identification;
         id.remote_user_identification = FOIP__USR_ID__PHONE_NUMBER;
         foip__copy_text(id.sz_remote_user_phone_number, "12%G4");
       }},
      {"media port 65535", FOIP__START_CO, 240, 24, "FOIP__START_ERR__LOCAL_MEDIA_PORT",
       [&](FoipEntity*, S& p, G&) { p.t38_media_add_param.local_media_add.local_media_ip_addr.ip_port = 65535; }},
      {"media port 65534", FOIP__START_CO, 240, 24, "FOIP__START_ERR__LOCAL_MEDIA_PORT",
       [&](FoipEntity*, S& p, G&) { p.t38_media_add_param.local_media_add.local_media_ip_addr.ip_port = 65534; }},
      {"media port 0", FOIP__START_CO, 240, 24, "FOIP__START_ERR__LOCAL_MEDIA_PORT",
       [&](FoipEntity*, S& p, G&) { p.t38_media_add_param.local_media_add.local_media_ip_addr.ip_port = 0; }},
      {"NAT media port 65535", FOIP__START_CO, 240, 24, "FOIP__START_ERR__LOCAL_MEDIA_PORT",
       [&](FoipEntity*, S& p, G&) { p.t38_media_add_param.local_media_add.nat_local_media_ip_addr.ip_port = 65535; }},
      {"configuration record of the wrong length", FOIP__SET_CONFIG_CO, 255, 3, "FOIP__CFG_ERR__REASSEMBLE_BUFF",
       [&](FoipEntity*, S&, G& g) { g.glb_common_param.tag_dbg_field_are_loaded = SKIP_START; }},
      {"file names without terminator", FOIP__START_CO, 240, 21, "FOIP__START_ERR__FNAME_T38_TRC_ACCESS",
       [&](FoipEntity*, S& p, G&) { std::memset(p.trc_param.t38_trc.sz_fname_t38_trc, '%', FOIP__FNAME_MAX_LEN); }},
      {"receive file name without terminator", FOIP__START_CO, 240, 14,
       "FOIP__START_ERR__FAX__GENERIC_FNAME_RCV_FAX_PG_ACCESS",
       [&](FoipEntity*, S& p, G&) {
         foip_test::incoming_param(p, 1, d);
         std::memset(p.fax_rcv_pg.sz_tiff_fname_rcv_fax_pg, 'r', FOIP__FNAME_MAX_LEN);
       }},
      {"temporary page file empty", FOIP__START_CO, 240, 84, "FOIP__START_ERR__FAX__TIFF_FNAME_FAX_PG_ACCESS",
       [&](FoipEntity*, S& p, G&) { p.fax_common_param.sz_fname_tiff_tmp_pg[0] = 0; }},
      {"temporary page file in a missing folder", FOIP__START_CO, 240, 85, "FOIP__START_ERR__FAX__TMP_TIFF_FILE_ACCESS",
       [&](FoipEntity*, S& p, G&) {
         foip__copy_text(p.fax_common_param.sz_fname_tiff_tmp_pg, (d + "/no/tmp%d.%d").c_str());
       }},
      {"temporary page file without terminator", FOIP__START_CO, 240, 85, "FOIP__START_ERR__FAX__TMP_TIFF_FILE_ACCESS",
       [&](FoipEntity*, S& p, G&) { std::memset(p.fax_common_param.sz_fname_tiff_tmp_pg, 'x', FOIP__FNAME_MAX_LEN); }},
      {"page file missing", FOIP__START_CO, 240, 84, "FOIP__START_ERR__FAX__TIFF_FNAME_FAX_PG_ACCESS",
       [&](FoipEntity*, S& p, G&) {
         foip__copy_text(p.fax_send_pg.sz_tiff_fname_fax_pg[0], (d + "/none.tif").c_str());
       }},
      {"page file not TIFF", FOIP__START_CO, 240, 91, "FOIP__START_ERR_TIFF_ERR__WRONG_TIFF_HEADER",
       [&](FoipEntity*, S& p, G&) { foip__copy_text(p.fax_send_pg.sz_tiff_fname_fax_pg[0], junk.c_str()); }},
      {"page encoding LZW", FOIP__START_CO, 240, 102, "FOIP__START_ERR_TIFF_PG_HDR_BAD_ENCODING_METHOD",
       [&](FoipEntity*, S& p, G&) { foip__copy_text(p.fax_send_pg.sz_tiff_fname_fax_pg[1], bad_enc.c_str()); }},
      {"page of 200 x 300 dpi", FOIP__START_CO, 240, 104, "FOIP__START_ERR_TIFF_PG_HDR_BAD_RESOLUTION",
       [&](FoipEntity*, S& p, G&) { foip__copy_text(p.fax_send_pg.sz_tiff_fname_fax_pg[0], bad_res.c_str()); }},
      {"receive file in a missing folder", FOIP__START_CO, 240, 14,
       "FOIP__START_ERR__FAX__GENERIC_FNAME_RCV_FAX_PG_ACCESS",
       [&](FoipEntity*, S& p, G&) {
         foip_test::incoming_param(p, 1, d);
         foip__copy_text(p.fax_rcv_pg.sz_tiff_fname_rcv_fax_pg, (d + "/no/r%d").c_str());
       }},
      {"outgoing, no page", FOIP__START_CO, 240, 15, "FOIP__START_ERR__DIRECTION_1",
       [&](FoipEntity*, S& p, G&) { p.fax_send_pg.sz_tiff_fname_fax_pg[0][0] = 0; }},
      {"outgoing polling, no receive name", FOIP__START_CO, 240, 16, "FOIP__START_ERR__DIRECTION_2",
       [&](FoipEntity*, S& p, G&) { p.fax_polling_param.flag_poll = 1; }},
      {"incoming, no receive name", FOIP__START_CO, 240, 17, "FOIP__START_ERR__DIRECTION_3",
       [&](FoipEntity*, S& p, G&) {
         foip_test::incoming_param(p, 1, d);
         p.fax_rcv_pg.sz_tiff_fname_rcv_fax_pg[0] = 0;
       }},
      {"incoming polling, no page", FOIP__START_CO, 240, 18, "FOIP__START_ERR__DIRECTION_4",
       [&](FoipEntity*, S& p, G&) {
         foip_test::incoming_param(p, 1, d);
         p.fax_polling_param.flag_poll = 1;
       }},
      {"session event file", FOIP__START_CO, 240, 19, "FOIP__START_ERR__FNAME_EVT_ACCESS",
       [&](FoipEntity*, S& p, G&) { foip__copy_text(p.trc_param.event.sz_fname_event, (d + "/no/e").c_str()); }},
      {"session audit file", FOIP__START_CO, 240, 20, "FOIP__START_ERR__FNAME_AUDIT_ACCESS",
       [&](FoipEntity*, S& p, G&) { foip__copy_text(p.trc_param.audit.sz_fname_audit, (d + "/no/a").c_str()); }},
      {"session T.38 trace file", FOIP__START_CO, 240, 21, "FOIP__START_ERR__FNAME_T38_TRC_ACCESS",
       [&](FoipEntity*, S& p, G&) { foip__copy_text(p.trc_param.t38_trc.sz_fname_t38_trc, (d + "/no/t").c_str()); }},
      {"start record of the wrong length", FOIP__START_CO, 240, 2, "FOIP__START_ERR__REASSEMBLE_BUFF",
       [&](FoipEntity* f, S& p, G& g) {
         if (!foip__is_configured()) {
           ASSERT_EQ(foip_api__send_set_config_rq(g), FOIP_API__OK);
           pump();
         }
         rec().clear();
         Send_msg(make_msg(ENT_APP_FOIP, ENT_FOIP, FOIP__START_RQ, {1, 2, 3}, 1, 0xFFFF));
         pump();
         p.session_general_param.tag_dbg_field_are_loaded = SKIP_START;
         (void)f;
       }},
      {"SIP side not ready", FOIP__START_CO, 225, 1, "FOIP__START_ERR__FOIP_ENTITY_NOT_READY",
       [&](FoipEntity*, S&, G& g) {
         ASSERT_EQ(foip_api__send_set_config_rq(g), FOIP_API__OK);
         pump();
         foip__set_sip_ready(0);
       }},
      {"SIP side refused its configuration", FOIP__START_CO, 225, 2, "FOIP__START_ERR__GLB_FOIP_ENTITY_CNF_NOK",
       [&](FoipEntity*, S&, G& g) {
         ASSERT_EQ(foip_api__send_set_config_rq(g), FOIP_API__OK);
         pump();
         foip__set_sip_ready(1);
       }},
  };
  for (const refusal_row& r : rows) {
    run(r);
    foip__set_sip_ready(2);
  }
}

// Buffers too small for a confirm record: refused with code 1 (no texts),
// and the entity stays unconfigured.
TEST_F(FoipRefusals, BuffersTooSmallForConfirm) {
  foip_entity_stop();
  stop();
  om_os_config c = om_os_default_config;
  c.buffer_size = 300;  // room 288 < sizeof(foip__confirm)
  use_config(c);
  use_virtual_clock(1000);
  start_manual(TABLE);
  pump();
  configure();
  auto a = user_answers(FOIP__SET_CONFIG_CO);
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(a[0].confirm.return_code, 3);
  EXPECT_EQ(a[0].confirm.error_source, 255);
  EXPECT_EQ(a[0].confirm.error_code, 1);
  EXPECT_STREQ(a[0].confirm.sz_error_source, "");
  EXPECT_STREQ(a[0].confirm.sz_error_code, "");
  EXPECT_FALSE(foip__is_configured());
}

TEST_F(FoipRefusals, SessionAlreadyUsedAndCheckBeforeConfiguration) {
  foip__session_param p;
  foip_test::outgoing_param(p, 1, dir(), page());
  foip__na_ctx* s = nullptr;
  // Not reachable by a primitive (an unconfigured entity drops FOIP__START_RQ).
  EXPECT_EQ(foip__chk_session_param(FOIP__START_RQ, 1, p, ENT_APP_FOIP, &s), 1);
  EXPECT_EQ(s, nullptr);
  configure();
  start_out(1);
  rec().clear();
  start_out(1);
  auto a = user_answers(FOIP__START_CO);
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(a[0].confirm.error_code, 5);
  EXPECT_STREQ(a[0].confirm.sz_error_code, "FOIP__START_ERR__NAI_ALREADY_USED, Session already initialized");
  EXPECT_EQ(foip__session_count(), 1);
}

TEST_F(FoipEntity, SessionTableBounds) {
  EXPECT_EQ(foip__get_na_ctx(0), nullptr) << "no table before configuration";
  configure();
  start_out(0);
  start_out(62);
  EXPECT_NE(foip__get_na_ctx(0), nullptr);
  EXPECT_NE(foip__get_na_ctx(62), nullptr);
  EXPECT_EQ(foip__get_na_ctx(63), nullptr);
  EXPECT_EQ(foip__get_na_ctx(FOIP__NAI_GLOBAL), nullptr);
  EXPECT_EQ(foip__alloc_na_ctx(63), nullptr);
  EXPECT_EQ(foip__get_next_na_ctx(true, 0), foip__get_na_ctx(0));
  EXPECT_EQ(foip__get_next_na_ctx(false, 0), foip__get_na_ctx(62));
  EXPECT_EQ(foip__get_next_na_ctx(false, 62), nullptr);
  EXPECT_EQ(foip__glb().nb_ctx_high_water, 2);
  stop_rq(62);  // the last nai has no trace context of its own
  EXPECT_EQ(foip__get_na_ctx(62), nullptr);
  EXPECT_EQ(user_answers(FOIP__STOP_CO).size(), 1u);
}

TEST_F(FoipEntity, CapabilitiesAreAnsweredBeforeConfiguration) {
  ASSERT_EQ(foip_api__send_t38_capabilities_rq(FOIP__NAI_GLOBAL), FOIP_API__OK);
  pump();
  auto a = user_answers(FOIP__T38_CAPABILITIES_CO);
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(a[0].confirm.return_code, 2);
  EXPECT_EQ(a[0].confirm.error_source, 2);
  EXPECT_EQ(a[0].confirm.error_code, 2);
  EXPECT_EQ(foip__glb().pending_t38_cap, nullptr);
}

// ---------------------------------------------------------------------------
// Accepted parameters.

TEST_F(FoipEntity, AcceptedParametersAreCleanedAndLimited) {
  configure();
  // The capabilities of the fake T.38 entity become the global ones.
  ASSERT_EQ(foip_api__send_t38_capabilities_rq(FOIP__NAI_GLOBAL), FOIP_API__OK);
  pump();
  foip__session_param p;
  foip_test::outgoing_param(p, 2, dir_->path(), page_);
  auto& id = p.t38_media_add_param.sip_media_identification;
  id.local_user_identification = FOIP__USR_ID__PHONE_NUMBER;
  foip__copy_text(id.sz_local_user_phone_number, "+33 1 23 45");
  auto& o = p.overwrite_lcl_t38_cap.udptl_param;
  o.use_t38_cap_bfi = FOIP__T38_CAP_VERSION | FOIP__T38_CAP_MAX_DATAGRAM;
  o.t38_version = 3;
  o.max_datagram_size = 400;
  start(p, 2);
  foip__na_ctx* s = foip__get_na_ctx(2);
  ASSERT_NE(s, nullptr);
  EXPECT_STREQ(s->param.t38_media_add_param.sip_media_identification.sz_local_user_phone_number, "+3312345");
  EXPECT_EQ(s->lcl_cap.udptl_param.t38_version, 1);  // the global capability
  EXPECT_EQ(s->lcl_cap.udptl_param.max_datagram_size, 400);
  EXPECT_EQ(s->overwritten, 1);
  EXPECT_EQ(s->udptl_port, 20002);
  EXPECT_EQ(s->tpkt_port, 20000);
  EXPECT_EQ(s->pcm_port, 20001);
  const std::string dump = foip__session_param_text(s->param, s);
  EXPECT_NE(dump.find("               UDPTL (20002)  TPKT (20000)  PCMA / PCMU (20001)\n"), std::string::npos);
  EXPECT_NE(dump.find("           Local T.38 capabalities (overwritten):\n"), std::string::npos);
}

TEST_F(FoipEntity, TcpTransportFallsBackToUdpWhenT38OffersNoTcp) {
  g_t38_tcp = 0;
  configure();
  ASSERT_EQ(foip_api__send_t38_capabilities_rq(FOIP__NAI_GLOBAL), FOIP_API__OK);
  pump();
  auto caps = user_answers(FOIP__T38_CAPABILITIES_CO);
  ASSERT_EQ(caps.size(), 1u);
  foip__t38_capabilities c{};
  std::memcpy(&c, caps[0].data.data(), sizeof c);
  EXPECT_EQ(c.confirm.return_code, 2);
  EXPECT_EQ(c.t38_over_tcp, 0);
  EXPECT_EQ(c.cap.udptl_param.fax_max_bit_rate, 14400);
  EXPECT_EQ(c.cap.udptl_param.max_datagram_size, 1500);
  foip__session_param p;
  foip_test::outgoing_param(p, 1, dir_->path(), page_);
  p.session_general_param.kind_of_t38_transport = 'T';
  start(p, 1);
  ASSERT_NE(foip__get_na_ctx(1), nullptr);
  EXPECT_EQ(foip__get_na_ctx(1)->kind_of_t38_transport, 'U');
}

// Names with printf directives are used as text: only the integer
// directives are substituted and "%n%s" is neither executed nor read.
TEST_F(FoipEntity, FileNamesWithPrintfDirectivesAreNotFormats) {
  configure();
  foip__session_param p;
  foip_test::incoming_param(p, 3, dir_->path());
  foip__copy_text(p.fax_rcv_pg.sz_tiff_fname_rcv_fax_pg, (dir_->path() + "/%n%s_%d").c_str());
  foip__copy_text(p.fax_common_param.sz_fname_tiff_tmp_pg, (dir_->path() + "/%s%n%d.%d").c_str());
  start(p, 3);
  EXPECT_TRUE(user_answers(FOIP__START_CO).empty());
  ASSERT_NE(foip__get_na_ctx(3), nullptr);
  // The checks created nothing that stays.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_->path()), fs::directory_iterator()), 1);
}

// ---------------------------------------------------------------------------
// Session control.

TEST_F(FoipEntity, FullOutgoingSessionStartsAndStops) {
  configure();
  L.auto_answer = true;
  const int before = held_msgs();
  start_out(1);
  auto a = user_answers(FOIP__START_CO);
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(a[0].confirm.return_code, 2);
  EXPECT_EQ(a[0].confirm.error_source, 129);
  EXPECT_EQ(a[0].confirm.error_code, 2);
  EXPECT_EQ(foip__session_state(1), FOIP_MGT__RUNNING);
  stop_rq(1);
  a = user_answers(FOIP__STOP_CO);
  ASSERT_EQ(a.size(), 1u);
  const foip__stop st = read_stop(a[0]);
  EXPECT_EQ(st.confirm.return_code, 2);
  EXPECT_EQ(st.confirm.error_code, 26);  // no page sent or received
  EXPECT_EQ(st.fax.present, 1);
  EXPECT_STREQ(st.fax.sz_diag, "(FOIP__FAX_STATUS_RET_CODE_UNDEFINED) ret_code not defined");
  EXPECT_EQ(st.t38.diag_nok, 0xFF);
  EXPECT_EQ(foip__session_count(), 0);
  EXPECT_EQ(foip__start_phase_count(), 0);
  EXPECT_EQ(held_msgs(), before) << "no message is leaked";
}

TEST_F(FoipEntity, StartFifoWithLimitOneWaitsForStartDone) {
  configure(1);
  start_out(1);
  start_out(2);
  EXPECT_EQ(foip__session_state(1), FOIP_MGT__SIP_CALL_PROGRESS);
  EXPECT_EQ(foip__session_state(2), FOIP_MGT__IDLE);
  EXPECT_EQ(foip__get_na_ctx(2)->q_status, FOIP_MGT__Q_WAIT_START);
  mgt(FOIP_MGT__SIP_CALL_OPENED, 1);
  mgt(FOIP_MGT__T38_OPENED, 1);
  EXPECT_EQ(foip__session_state(1), FOIP_MGT__FAX_OPEN_PROGRESS);
  EXPECT_EQ(foip__session_state(2), FOIP_MGT__IDLE);
  mgt(FOIP_MGT__START_DONE, 1);
  EXPECT_EQ(foip__session_state(2), FOIP_MGT__SIP_CALL_PROGRESS);
}

TEST_F(FoipEntity, StartFifoAdvancesWhenFirstSessionFails) {
  configure(1);
  start_out(1);
  start_out(2);
  mgt(FOIP_MGT__SIP_CALL_OPENED, 1, 3, 1, 4, 86);  // 486 Busy Here
  auto a = user_answers(FOIP__START_CO);
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(a[0].nai, 1);
  EXPECT_EQ(a[0].confirm.return_code, 3);
  EXPECT_EQ(a[0].confirm.error_source, 4);
  EXPECT_EQ(a[0].confirm.error_code, 86);
  EXPECT_STREQ(a[0].confirm.sz_error_code, "SIP Error (486 - Busy Here)");
  EXPECT_STREQ(a[0].confirm.sz_error_source,
               "FOIP__START_ERR_SRC__SIP_RCODE_4XX, Process: SIP connection failure range 4xx (Request Failure)");
  EXPECT_EQ(foip__session_state(1), 0xFF);
  EXPECT_EQ(foip__session_state(2), FOIP_MGT__SIP_CALL_PROGRESS);
}

// A session stopped before it ran answers its held start as a failure
// (129, 15), ahead of the stop's answer: the user waits for both.
void expect_start_failed_before_stop(nai_t nai) {
  std::vector<code_t> order;
  for (const answer_t& m : user_answers())
    if (m.nai == nai && (m.code == FOIP__START_CO || m.code == FOIP__STOP_CO)) order.push_back(m.code);
  EXPECT_EQ(order, (std::vector<code_t>{FOIP__START_CO, FOIP__STOP_CO}));
  auto a = user_answers(FOIP__START_CO);
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(a[0].nai, nai);
  EXPECT_EQ(a[0].confirm.return_code, 3);
  EXPECT_EQ(a[0].confirm.error_source, 129);
  EXPECT_EQ(a[0].confirm.error_code, 15);
}

TEST_F(FoipEntity, StopOfWaitingSessionIsAnsweredAtOnceWithStatus) {
  configure(1);
  start_out(1);
  start_out(2);
  stop_rq(2);
  auto a = user_answers(FOIP__STOP_CO);
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(a[0].nai, 2);
  const foip__stop st = read_stop(a[0]);
  EXPECT_EQ(st.confirm.return_code, 2);
  EXPECT_EQ(st.fax.present, 1);
  EXPECT_EQ(foip__session_state(2), 0xFF);
  expect_start_failed_before_stop(2);
}

TEST_F(FoipEntity, DoubleStopAnswersStatusThenCode25) {
  configure();
  L.auto_answer = true;
  start_out(1);
  L.auto_answer = false;
  stop_rq(1);
  stop_rq(1);
  EXPECT_TRUE(user_answers(FOIP__STOP_CO).empty()) << "answered when the session is idle";
  mgt(FOIP_MGT__FAX_CLOSED, 1);
  mgt(FOIP_MGT__T38_CLOSED, 1);
  mgt(FOIP_MGT__SIP_CALL_CLOSED, 1);
  auto a = user_answers(FOIP__STOP_CO);
  ASSERT_EQ(a.size(), 2u);
  const foip__stop first = read_stop(a[0]);
  const foip__stop second = read_stop(a[1]);
  EXPECT_EQ(first.confirm.error_code, 26);
  EXPECT_EQ(first.fax.present, 1);
  EXPECT_EQ(second.confirm.error_code, 25);
  EXPECT_EQ(second.fax.present, 0);
  EXPECT_EQ(foip__session_count(), 0);
  // A stop for a nai without session: code 25 at once.
  stop_rq(5);
  a = user_answers(FOIP__STOP_CO);
  ASSERT_EQ(a.size(), 3u);
  EXPECT_EQ(read_stop(a[2]).confirm.error_code, 25);
}

TEST_F(FoipEntity, StopAdmissionWithLimitOneRunsOneStopAtATime) {
  configure(1);
  L.auto_answer = true;
  start_out(1);
  start_out(2);
  L.auto_answer = false;
  ASSERT_EQ(foip__session_state(1), FOIP_MGT__RUNNING);
  ASSERT_EQ(foip__session_state(2), FOIP_MGT__RUNNING);
  stop_rq(1);
  stop_rq(2);
  EXPECT_EQ(foip__session_state(1), FOIP_MGT__FAX_CLOSE_PROGRESS);
  EXPECT_EQ(foip__session_state(2), FOIP_MGT__RUNNING);
  EXPECT_EQ(foip__get_na_ctx(2)->q_status, FOIP_MGT__Q_WAIT_STOP);
  // The first session ends; the next stop is admitted by the 200 ms tick.
  mgt(FOIP_MGT__FAX_CLOSED, 1);
  mgt(FOIP_MGT__T38_CLOSED, 1);
  mgt(FOIP_MGT__SIP_CALL_CLOSED, 1);
  EXPECT_EQ(foip__session_state(1), 0xFF);
  EXPECT_EQ(foip__session_state(2), FOIP_MGT__RUNNING);
  advance_clock(250);
  om_os_timer_poll();
  pump();
  EXPECT_EQ(foip__session_state(2), FOIP_MGT__FAX_CLOSE_PROGRESS);
}

// A far-end hang-up while the fax session opens: the fax session is closed
// when it reports, and the held start is answered as a failure.
TEST_F(FoipEntity, HangUpWhileFaxOpensAnswersStartAsFailure) {
  configure();
  start_out(1);
  mgt(FOIP_MGT__SIP_CALL_OPENED, 1);
  foip__set_sip_call(foip__get_na_ctx(1), foip__get_na_ctx(1), true);
  mgt(FOIP_MGT__T38_OPENED, 1);
  ASSERT_EQ(foip__session_state(1), FOIP_MGT__FAX_OPEN_PROGRESS);
  foip__set_sip_call(foip__get_na_ctx(1), foip__get_na_ctx(1), false);
  mgt(FOIP_MGT__SIP_CALL_CLOSED, 1);
  EXPECT_EQ(foip__get_na_ctx(1)->stop_flag, 1);
  mgt(FOIP_MGT__FAX_OPENED, 1);
  EXPECT_EQ(foip__session_state(1), FOIP_MGT__FAX_CLOSE_PROGRESS);
  EXPECT_TRUE(user_answers(FOIP__START_CO).empty());
  mgt(FOIP_MGT__FAX_CLOSED, 1);
  mgt(FOIP_MGT__T38_CLOSED, 1);
  auto a = user_answers(FOIP__START_CO);
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(a[0].confirm.return_code, 3);
  EXPECT_EQ(a[0].confirm.error_source, 129);
  EXPECT_EQ(a[0].confirm.error_code, 15);
  EXPECT_TRUE(user_answers(FOIP__STOP_IN).empty());
  EXPECT_EQ(foip__session_count(), 0);
}

TEST_F(FoipEntity, UserStopWhileFaxOpensEndsWithStopCo) {
  configure();
  L.auto_answer = true;
  L.fax_start_done = false;
  start_out(1);
  // auto mode answered FAX_OPENED already; rewind with a fresh manual session.
  stop_rq(1);
  rec().clear();
  L = layers_t{};
  start_out(2);
  mgt(FOIP_MGT__SIP_CALL_OPENED, 2);
  mgt(FOIP_MGT__T38_OPENED, 2);
  stop_rq(2);
  EXPECT_EQ(foip__get_na_ctx(2)->stop_flag, 1);
  mgt(FOIP_MGT__FAX_OPENED, 2);
  mgt(FOIP_MGT__FAX_CLOSED, 2);
  mgt(FOIP_MGT__T38_CLOSED, 2);
  EXPECT_EQ(user_answers(FOIP__STOP_CO).size(), 1u);
  expect_start_failed_before_stop(2);
}

TEST_F(FoipEntity, SessionEndingWithoutStopSendsStopIn) {
  configure();
  L.auto_answer = true;
  start_out(1);
  mgt(FOIP_MGT__SIP_CALL_CLOSED, 1);  // far end hangs up a running session
  auto a = user_answers(FOIP__STOP_IN);
  ASSERT_EQ(a.size(), 1u);
  const foip__stop st = read_stop(a[0]);
  EXPECT_EQ(st.confirm.return_code, 2);
  EXPECT_EQ(st.confirm.error_code, 26);
  EXPECT_EQ(foip__session_count(), 0);
}

TEST_F(FoipEntity, IncomingSessionsTakeCallsByUserOrAny) {
  configure(2);
  foip__session_param p;
  foip_test::incoming_param(p, 1, dir_->path());
  auto& id = p.t38_media_add_param.sip_media_identification;
  id.local_user_identification = FOIP__USR_ID__PHONE_NUMBER;
  foip__copy_text(id.sz_local_user_phone_number, "(01)23-45");
  start(p, 1);
  foip_test::incoming_param(p, 2, dir_->path());
  p.t38_media_add_param.sip_media_identification.flag_invite_in__no_filter = 1;
  start(p, 2);
  EXPECT_EQ(foip_mgt__take_incoming_session("nobody", "012345"), foip__get_na_ctx(1));
  EXPECT_EQ(foip__session_state(1), FOIP_MGT__SIP_CALL_PROGRESS);
  foip__na_ctx* any = foip_mgt__take_incoming_session("x%41", "5551234");
  ASSERT_EQ(any, foip__get_na_ctx(2));
  EXPECT_STREQ(any->param.t38_media_add_param.sip_media_identification.sz_local_user_name, "x%41");
  EXPECT_EQ(foip_mgt__take_incoming_session("fax1", "1"), nullptr);
  // An incoming call opened: counted in the start phase, T.38 started 'I'.
  mgt(FOIP_MGT__SIP_CALL_OPENED, 1, 2, 0);
  EXPECT_EQ(foip__session_state(1), FOIP_MGT__T38_OPEN_PROGRESS);
  EXPECT_EQ(foip__start_phase_count(), 1);
}

TEST_F(FoipEntity, SessionTimersReachTheirLayerOnlyWithTheCurrentId) {
  configure();
  start_out(1);
  foip__na_ctx* s = foip__get_na_ctx(1);
  L.calls.clear();
  foip__start_launch_timer(s);
  foip__start_launch_timer(s);     // restarted: the first expiry is stale
  foip__start_t38_delay_timer(s);  // 100 ms
  advance_clock(120);
  om_os_timer_poll();
  pump();
  ASSERT_EQ(L.calls.size(), 1u);
  EXPECT_EQ(L.calls[0].layer, 't');
  EXPECT_EQ(L.calls[0].event, T38_MGT__EVT_TI_T38_GENERAL_DELAY);
  advance_clock(900);
  om_os_timer_poll();
  pump();
  ASSERT_EQ(L.calls.size(), 2u);
  EXPECT_EQ(L.calls[1].layer, 'f');
  EXPECT_EQ(L.calls[1].event, FAX_MGT__EVT_TI_LAUNCH_FAX);
  // A stale expiry (id of an earlier start) is ignored.
  msg_t* old = make_msg(ENT_TI, ENT_FOIP, 'l', {0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 1, 0xFFFF);
  const u16 stale = static_cast<u16>(s->ti_launch.id - 1);
  std::memcpy(Msg_data(old), &stale, 2);
  foip__start_launch_timer(s);
  Send_msg(old);
  pump();
  EXPECT_EQ(L.calls.size(), 2u);
  foip__stop_session_timers(s);
}

TEST_F(FoipEntity, AutomatonStepsAreTracedToTheAudit) {
  foip__global_param g;
  foip_test::global_param(g);
  const std::string audit = dir_->path() + "/glb.aud";
  foip__copy_text(g.glb_trc_param.audit.sz_fname_audit, audit.c_str());
  g.glb_trc_param.audit.audit_filter[0].item_mode = FOIP__DCOD__FILTER_LAST_ITEM;
  configure(g);
  const int before = held_msgs();
  start_out(1);
  mgt(FOIP_MGT__T38_OPENED, 1);  // not expected in SIP_CALL_PROGRESS: ignored, still traced
  EXPECT_EQ(foip__session_state(1), FOIP_MGT__SIP_CALL_PROGRESS);
  EXPECT_EQ(held_msgs(), before + 1) << "only the held start request: trace records are never sent";
  (void)foip_trc__flush_audit();
  const std::string text = cfg_test::read_file(audit);
  EXPECT_NE(text.find("Evt: EVT_FIFO__START_RQ  Cur state: IDLE  New state: SIP_CALL_PROGRESS  Branch (aa)"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("Evt: EVT_T38_OPENED  Cur state: SIP_CALL_PROGRESS  New state: SIP_CALL_PROGRESS  Branch (cg)"),
            std::string::npos);
}

// ---------------------------------------------------------------------------
// Traps.

TEST_F(FoipEntity, TrapsAreRoutedToTheUser) {
  configure();
  start_out(4);
  rec().clear();
  const std::string long_name(50, 'N');
  Foip__trap(FOIP__NAI_GLOBAL, 7, FOIP__TRAP_CLASS, 21001, long_name.c_str(), "FOIP: (x) text");
  Foip__trap(4, 7, FOIP__TRAP_CLASS, 21003, "A", "B");
  Foip__trap(9, 7, FOIP__TRAP_CLASS, 21004, "C", "D");
  Foip__trap(100, 7, FOIP__TRAP_CLASS, 21005, "E", "F");
  Foip__trap(4, 7, 2, 21006, "not class 1", "lost");
  pump();
  auto a = user_answers(FOIP__REPORT_IN);
  ASSERT_EQ(a.size(), 4u);
  const nai_t want_nai[] = {FOIP__NAI_GLOBAL, 4, FOIP__NAI_GLOBAL, 100};
  const u16 want_conn[] = {0xFFFF, 0xFFFF, 0xFFFF, 7};
  for (size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(a[i].nai, want_nai[i]);
    EXPECT_EQ(a[i].conn_id, want_conn[i]);
    ASSERT_EQ(a[i].data.size(), FOIP__REPORT_SHORT_SIZE);
    foip__report r{};
    std::memcpy(static_cast<void*>(&r), a[i].data.data(), FOIP__REPORT_SHORT_SIZE);
    EXPECT_EQ(r.kind_of_report, 'T');
    EXPECT_EQ(r.kind, 3);
    EXPECT_EQ(r.body.error.trap_foip.kind_of_foip_error, 1);
    EXPECT_EQ(r.body.error.trap_foip.trap_code, 21001 + (i == 0 ? 0 : i + 1));
    if (i == 0) {
      EXPECT_EQ(std::string(r.body.error.trap_foip.sz_trap_name), long_name.substr(0, 44));
    }
  }
}

// The entity's long-data routines answer with their own result codes and
// trap what went wrong; nothing is kept after a failure.
TEST_F(FoipEntity, LongDataRoutinesGiveResultCodesAndTraps) {
  configure();
  rec().clear();
  std::vector<u8*> blocks;
  for (int i = 0; i < 64; ++i) {
    u8* b = Alloc_tmp_block(sizeof(foip__stop));
    if (!b) break;
    blocks.push_back(b);
  }
  {
    foip_proc_api__long_data ld;
    EXPECT_EQ(foip__prepare_long_data_to_send(sizeof(foip__stop), ld), FOIP__LD_NO_TMP_BLOCK);
    EXPECT_EQ(ld.msg, nullptr);
    foip_proc_api__long_data none;
    EXPECT_EQ(foip__eof_long_data_to_send(none), FOIP__LD_NOK);
  }
  for (u8* b : blocks) Free_tmp_block(b);
  {
    foip_proc_api__long_data ld;
    ASSERT_EQ(foip__prepare_long_data_to_send(sizeof(foip__stop), ld), FOIP__LD_OK);
    std::memset(ld.data, 0x5A, sizeof(foip__stop));
    ASSERT_EQ(foip__eof_long_data_to_send(ld), FOIP__LD_OK);
    msg_t* m = ld.take_msg();
    foip_proc_api__long_data in;
    EXPECT_EQ(foip__get_long_data_received(m, sizeof(foip__stop) + 1, in), FOIP__LD_LENGTH);
    EXPECT_EQ(in.block, nullptr);
    foip_proc_api__long_data in2;
    ASSERT_EQ(foip__get_long_data_received(m, sizeof(foip__stop), in2), FOIP__LD_OK);
    EXPECT_EQ(in2.data[sizeof(foip__stop) - 1], 0x5A);
    foip__release_long_data(in2);
    Free_msg(m);
  }
  pump();
  auto a = user_answers(FOIP__REPORT_IN);
  ASSERT_EQ(a.size(), 2u);
  const u16 want[] = {FOIP__TRAP__ERR_NO_MORE_SEGMENTED_BUFFER, FOIP__TRAP__ERR_MSG_NOT_ALLOCATED};
  for (size_t i = 0; i < a.size(); ++i) {
    foip__report r{};
    std::memcpy(static_cast<void*>(&r), a[i].data.data(), FOIP__REPORT_SHORT_SIZE);
    EXPECT_EQ(r.body.error.trap_foip.trap_code, want[i]);
  }
}

TEST_F(FoipEntity, TrapPoolLosesReportsUntilRefilled) {
  configure();
  rec().clear();
  for (int i = 0; i < 25; ++i) Foip__trap(FOIP__NAI_GLOBAL, 0, FOIP__TRAP_CLASS, 21008, "T", "x");
  pump();
  EXPECT_EQ(user_answers(FOIP__REPORT_IN).size(), 20u);
  EXPECT_EQ(foip_err__pool_count(), 0);
  stop_rq(9);  // any message processed refills the pool
  EXPECT_EQ(foip_err__pool_count(), 20);
}

std::vector<u8> t38_report(u32 bit, u16 code, const char* name, const char* text, u32 count) {
  std::vector<u8> b(164, 0);
  b[0] = 'R';
  std::memcpy(&b[8], &bit, 4);
  std::memcpy(&b[12], &code, 2);
  std::strncpy(reinterpret_cast<char*>(&b[14]), name, 44);
  std::strncpy(reinterpret_cast<char*>(&b[59]), text, 99);
  std::memcpy(&b[160], &count, 4);
  return b;
}

TEST_F(FoipEntity, T38ReportsAreRelayedAsTrapsOrErrorReports) {
  configure();
  start_out(2);
  rec().clear();
  L.calls.clear();
  const u16 pool = foip_err__pool_count();
  // Buffers held by anybody: the interrupt side's reserve belongs to nobody.
  auto held = [] { return om_os_buffer_pool_stats().in_use - om_os_it_buffer_pool_stats().count; };
  const int buffers = held();
  Send_msg(make_msg(ENT_T38, ENT_FOIP, 'R', t38_report(1, 12011, "T38__TRAP__MAIN__NO_MSG_NO_BUFFER", "no msg", 1), 9));
  Send_msg(make_msg(ENT_T38, ENT_FOIP, 'R', t38_report(8, 0, "", "", 17), 9));
  Send_msg(make_msg(ENT_T38, ENT_FOIP, 'R', t38_report(8, 0, "", "", 3), 2));  // a session's: its T.38 management
  pump();
  auto a = user_answers(FOIP__REPORT_IN);
  ASSERT_EQ(a.size(), 2u);
  foip__report r{};
  std::memcpy(static_cast<void*>(&r), a[0].data.data(), FOIP__REPORT_SHORT_SIZE);
  EXPECT_EQ(a[0].nai, FOIP__NAI_GLOBAL);
  EXPECT_EQ(r.kind_of_report, 'T');
  EXPECT_EQ(r.kind, 4);
  EXPECT_EQ(r.body.error.trap_t38.trap_code, 12011);
  EXPECT_STREQ(r.body.error.trap_t38.sz_trap_name, "T38__TRAP__MAIN__NO_MSG_NO_BUFFER");
  EXPECT_STREQ(r.body.error.trap_t38.sz_diag, "no msg");
  std::memcpy(static_cast<void*>(&r), a[1].data.data(), FOIP__REPORT_SHORT_SIZE);
  EXPECT_EQ(r.kind_of_report, 'R');
  EXPECT_EQ(r.kind, 2);
  EXPECT_EQ(r.body.error.t38.t38_error_kind, 8u);
  EXPECT_EQ(r.body.error.t38.error_count, 17u);
  ASSERT_EQ(L.calls.size(), 1u);
  EXPECT_EQ(L.calls[0].event, T38_MGT__EVT_T38_REPORT_IN);
  EXPECT_GE(foip_err__pool_count(), pool) << "the received reports replace the pool messages used";
  // The reports kept in the pool hold none of their data: a server that
  // relays reports for weeks keeps its buffers.
  EXPECT_EQ(held(), buffers);
}

std::string g_console;
void capture_console(const char* text) { g_console += text; }

TEST_F(FoipEntity, MemoryStatisticsAfterLastSessionWhenAsked) {
  foip__global_param g;
  foip_test::global_param(g);
  g.glb_trc_param.event.display_event_bfi = FOIP__SMNGT_STAT;
  g.glb_trc_param.stat.statistic_mode = 1;
  g_console.clear();
  foip_trc__set_console(capture_console);
  configure(g);
  L.auto_answer = true;
  start_out(1);
  EXPECT_EQ(g_console.find("Memory statistics"), std::string::npos);
  stop_rq(1);
  (void)foip_trc__flush_events();
  foip_trc__set_console(nullptr);
  EXPECT_NE(g_console.find("Memory statistics"), std::string::npos) << g_console;
  EXPECT_NE(g_console.find("   System Management Memory state (process) - Current   Msg = "), std::string::npos);
  EXPECT_NE(g_console.find("(1 sessions)"), std::string::npos);
}

// ---------------------------------------------------------------------------
// Reset.

TEST_F(FoipEntity, ResetStopsSessionsClosesAndAllowsNewConfiguration) {
  configure(2);
  L.auto_answer = true;
  start_out(1);
  start_out(2);
  ASSERT_EQ(foip__session_count(), 2);
  ASSERT_EQ(foip_api__send_reset_config_rq(), FOIP_API__OK);
  pump();
  auto a = user_answers(FOIP__RESET_CONFIG_CO);
  ASSERT_EQ(a.size(), 1u);
  EXPECT_EQ(a[0].confirm.return_code, 2);
  EXPECT_EQ(foip__session_count(), 0);
  EXPECT_FALSE(foip__is_configured());
  EXPECT_EQ(foip__glb().closed, 1);
  EXPECT_TRUE(user_answers(FOIP__STOP_CO).empty()) << "the stops were ENT_FOIP's own";
  rec().clear();
  configure();
  EXPECT_EQ(user_answers(FOIP__SET_CONFIG_CO).at(0).confirm.return_code, 2);
}

}  // namespace
