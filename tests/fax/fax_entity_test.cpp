// ENT_FAX against recording neighbours (ENT_SM, ENT_ACU, ENT_CF, ENT_FC,
// ENT_MFM and the user ENT_FOIP) on the virtual clock: configuration of the
// fax path (and its undoing), the FAX__ primitives, a page sent from a TIFF
// file and a page received into one, stop requests in every state, and the
// end-of-session status.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "common/byte_order.h"
#include "fax/fax_config.h"
#include "fax/fax_entity.h"
#include "fax/fax_session.h"
#include "fax/fc.h"
#include "platform/local_time.h"
#include "fax/support/fax_test_pages.h"
#include "fax/t4t6.h"
#include "runtime/buffer.h"
#include "runtime/om_os.h"
#include "runtime/sm.h"
#include "runtime/support/rt_harness.h"
#include "runtime/timer.h"

namespace {

using bytes = std::vector<u8>;
using fax_test::page;
using rt_test::seen_msg;

constexpr nai_t kNai = 1;

const entity_table_row_t kTable[] = {
    {ENT_SM, rt_test::record_handler, 0, 0, nullptr, 0},
    {ENT_ACU, rt_test::record_handler, 0, 0, nullptr, 0},
    {ENT_CF, rt_test::record_handler, 0, 0, nullptr, 0},
    {ENT_FC, rt_test::record_handler, 0, 0, nullptr, 0},
    {ENT_MFM, rt_test::record_handler, 0, 0, nullptr, 0},
    {ENT_FOIP, rt_test::record_handler, 0, 0, nullptr, 0},
    FAX_ENTITY_ROW,
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

// The session-layer information record: kind and the values read from it.
bytes info_record(u8 kind, u8 encoding = 1, u16 resolution = FAX_RES_200_100, const char* id = "REMOTE 1") {
  bytes r(CF_INFO_SIZE, 0);
  r[3] = kind;
  put_le16(r.data() + 32, 0x7F);  // remote resolutions
  r[34] = 14;                     // remote maximum speed
  r[35] = '3';
  r[38] = 'U';
  r[39] = 7;    // MH, MR, MMR
  r[40] = '0';  // no ECM
  r[53] = static_cast<u8>(std::strlen(id));
  std::memcpy(r.data() + 54, id, std::strlen(id));
  put_le16(r.data() + 468, resolution);
  r[471] = 14;
  r[472] = '1';
  r[473] = 'A';
  r[476] = encoding;
  r[477] = '0';
  return r;
}

bytes setparm_ok() {
  bytes b(CF_SETPARM_SIZE, 0);
  b[0] = 2;
  return b;
}

// A page end (CF_MAJR_SYNC_*) of post-page `kind` and page `quality`.
bytes page_end(u8 kind, u8 quality) {
  bytes b(16, 0);
  b[3] = kind;
  b[4] = quality;
  return b;
}

struct fax_entity_test : ::testing::Test {
  fax_test::temp_dir dir;

  void SetUp() override {
    rt_test::use_virtual_clock(1000);
    rt_test::start_manual(kTable);
    rt_test::rec().clear();
  }
  void TearDown() override {
    fax_release_all();
    rt_test::stop();
  }

  void send(ent_id_t from, code_t code, const bytes& data = {}, nai_t nai = kNai) {
    msg_t* m = Alloc_msg();
    ASSERT_NE(m, nullptr);
    if (data.size() <= om_os_get_msg_room()) {
      m->data_size = static_cast<u8>(data.size());
      if (!data.empty()) std::memcpy(Msg_inline_data(m), data.data(), data.size());
    } else {
      Msg_attach_chain(m, Store_data_in_buffers(data.data(), static_cast<u32>(data.size()), nullptr));
    }
    if (from == ENT_SM && (code == SM_CONFIG_RQ || code == SM_RST_CFG_RQ)) Sm_set_target(m, ENT_FAX);
    m->from = from;
    m->to = ENT_FAX;
    m->nai = nai;
    m->sapi = from == ENT_CF ? CF_SAPI : FAX_SAPI;
    m->conn_id = 0xFFFF;
    m->code = code;
    Send_msg(m);
    rt_test::pump();
  }

  // Takes (and forgets) the messages recorded for `to` with `code`.
  std::vector<seen_msg> take(ent_id_t to, code_t code) {
    std::vector<seen_msg> got, rest;
    for (const seen_msg& m : rt_test::rec().messages()) (m.to == to && m.code == code ? got : rest).push_back(m);
    rt_test::rec().clear();
    for (const seen_msg& m : rest) rt_test::rec().add(m);
    return got;
  }
  seen_msg one(ent_id_t to, code_t code) {
    auto v = take(to, code);
    EXPECT_EQ(v.size(), 1u) << "to " << int(to) << " code " << char(code);
    return v.empty() ? seen_msg{} : v.back();
  }

  fax_config_writer config(const std::string& send_file = "") {
    fax_config_writer c;
    c.u16_at(fax_cfg::NB_SESSIONS, 1);
    c.u16_at(fax_cfg::NAI, kNai);
    c.u32_at(fax_cfg::START_TIMER_MS, 10);
    c.byte(fax_cfg::MAX_SPEED, 14);
    c.byte(fax_cfg::MIN_SPEED_ORG, 2);
    c.text(fax_cfg::TMP_PG_FORMAT, 100, dir.file("pg_%d_%d.tmp"));
    c.byte(fax_cfg::ECM_OFFERED, '0');
    c.byte(fax_cfg::CODINGS_ANS, 7);
    c.u16_at(fax_cfg::RESOLUTIONS_ANS, 0x7F);
    c.byte(fax_cfg::WIDTH_ANS, '3');
    c.byte(fax_cfg::LENGTH_ANS, 'U');
    c.byte(fax_cfg::LOCAL_ECM, '0');
    c.byte(fax_cfg::LOCAL_CODINGS, 7);
    c.text(fax_cfg::LOCAL_ID, 20, "LOCAL 1");
    if (!send_file.empty()) c.send_file(0, send_file);
    c.u16_at(fax_cfg::COPIES, 1);
    c.text(fax_cfg::RCV_FORMAT, 100, dir.file("rcv_%d_%d.tif"));
    c.u16_at(fax_cfg::RCV_NUMBER, 7);
    return c;
  }
  std::string rcv_name() const { return dir.file("rcv_7_1.tif"); }

  // Sends the configuration; answers each lower-entity step with `status`
  // (failing at step `fail_at`, 0 never); returns the answer to ENT_SM.
  seen_msg configure(const fax_config_writer& c, int fail_at = 0, std::vector<size_t>* step_sizes = nullptr) {
    send(ENT_SM, SM_CONFIG_RQ, bytes(c.p, c.p + FAX_CONFIG_SIZE));
    for (int step = 1; step <= 6; ++step) {
      auto reqs = take(ENT_SM, SM_CONFIG_RQ);
      if (reqs.empty()) break;
      if (step_sizes) step_sizes->push_back(reqs[0].data.size());
      send(ENT_SM, SM_CONFIG_CO, {static_cast<u8>(step == fail_at ? 3 : 2), 0, 0});
    }
    auto answers = take(ENT_SM, SM_CONFIG_CO);
    return answers.empty() ? seen_msg{} : answers.back();
  }
  void make_ready() {
    rt_test::advance_clock(20);
    om_os_timer_poll();
    rt_test::pump();
  }
  seen_msg act(u8 action) {
    send(ENT_FOIP, FAX__ACT_RQ, {0, 0, 0, action});
    return one(ENT_FOIP, FAX__ACT_CO);
  }

  // Runs the call up to T.30 negotiation: ACU and CF answer as they should.
  void start_call(u8 action) {
    ASSERT_EQ(act(action).data[0], 2);
    one(ENT_ACU, action == 1 ? ACU_CONN_RQ : ACU_CONN_RS);
    send(ENT_ACU, ACU_CONN_CO, bytes(108, 0));
    one(ENT_CF, CF_INIT_RQ);
    send(ENT_CF, CF_INIT_CO, bytes(60, 2));
    one(ENT_CF, CF_SETPARM_RQ);
    send(ENT_CF, CF_SETPARM_CO, setparm_ok());
    one(ENT_CF, CF_CONN_RQ);
    ASSERT_EQ(fax_session_state(kNai), FAX_T30_DIS_DCS_NEGO);
  }
  // A call that sends `file`: up to T.30 negotiation, then the far side's
  // DIS, our `dcs` and the parameters pass, and the first page may flow.
  void start_sending(const std::string& file, const bytes& dcs = info_record('C')) {
    ASSERT_EQ(configure(config(file)).data[0], 2);
    make_ready();
    start_call(1);
    send(ENT_CF, CF_INFO_IN, info_record('i'));
    send(ENT_CF, CF_CONN_CO, bytes(12, 2));
    send(ENT_CF, CF_INFO_IN, dcs);
    send(ENT_CF, CF_SETPARM_CO, setparm_ok());
    one(ENT_CF, CF_CAPBILITY_RQ);
    send(ENT_CF, CF_CAPBILITY_CO, bytes(4, 2));
  }
  // Lets the page data flow (each internal sync answered) until the page ends.
  // Returns the page end (CF_MAJR_SYNC_RQ data).
  bytes flow_page() {
    std::vector<seen_msg> end;
    for (int i = 0; i < 200 && end.empty(); ++i) {
      end = take(ENT_CF, CF_MAJR_SYNC_RQ);
      if (!take(ENT_CF, CF_INT_SYNC_RQ).empty()) send(ENT_CF, CF_INT_SYNC_CO);
    }
    EXPECT_EQ(end.size(), 1u);
    return end.empty() ? bytes{} : end.back().data;
  }
  // Ends the T.30 session from ENT_CF (cause 2) and clears the call.
  seen_msg finish_call(code_t end_code) {
    send(ENT_CF, CF_DISC_IN, {2});
    one(ENT_CF, CF_STOP_RQ);
    send(ENT_CF, CF_STOP_CO, {2, 0, 0});
    one(ENT_ACU, ACU_CLEAR_RQ);
    send(ENT_ACU, ACU_CLEAR_CO, bytes(88, 0));
    EXPECT_EQ(fax_session_state(kNai), FAX_IDLE);
    return one(ENT_FOIP, end_code);
  }
};

TEST_F(fax_entity_test, configuration_steps_run_in_order_and_fc_mfm_only_once) {
  std::vector<size_t> sizes;
  seen_msg a = configure(config(), 0, &sizes);
  EXPECT_EQ(a.data[0], 2);
  EXPECT_EQ(sizes, (std::vector<size_t>{8, 5, 140, 68}));  // FC, MFM, ACU, CF
  // Reset: ACU then CF, the answer, then the converter is told to stop.
  send(ENT_SM, SM_RST_CFG_RQ, {0, 0, 0});
  EXPECT_EQ(take(ENT_SM, SM_RST_CFG_RQ).size(), 1u);
  send(ENT_SM, SM_RST_CFG_CO, {2, 0, 0});
  EXPECT_EQ(take(ENT_SM, SM_RST_CFG_RQ).size(), 1u);
  send(ENT_SM, SM_RST_CFG_CO, {2, 0, 0});
  EXPECT_EQ(one(ENT_SM, SM_RST_CFG_CO).data[0], 2);
  EXPECT_EQ(fax_session_state(kNai), -1);
  sizes.clear();
  EXPECT_EQ(configure(config(), 0, &sizes).data[0], 2);
  EXPECT_EQ(sizes, (std::vector<size_t>{140, 68}));
}

TEST_F(fax_entity_test, refused_configurations_are_undone) {
  fax_config_writer two = config();
  two.u16_at(fax_cfg::NB_SESSIONS, 2);
  seen_msg a = configure(two);
  EXPECT_EQ(a.data[0], 3);
  EXPECT_EQ(a.data[1], FAX__CFG_ERR_ONLY_1_NA);
  fax_config_writer bad_file = config(dir.file("missing.tif"));
  a = configure(bad_file);
  EXPECT_EQ(a.data[1], FAX__CFG_ERR_OPEN_TX_TIFF_FNAME);
  EXPECT_EQ(fax_session_state(kNai), -1);
  // ENT_CF refuses (step 4): ENT_ACU, configured already, is reset and
  // the nai is free again.
  a = configure(config(), 4);
  EXPECT_EQ(a.data[0], 3);
  EXPECT_EQ(take(ENT_SM, SM_RST_CFG_RQ).size(), 1u);
  send(ENT_SM, SM_RST_CFG_CO, {2, 0, 0});
  EXPECT_EQ(fax_session_state(kNai), -1);
  EXPECT_EQ(configure(config()).data[0], 2);
}

TEST_F(fax_entity_test, act_and_dea_requests_are_checked) {
  ASSERT_EQ(configure(config()).data[0], 2);
  seen_msg co = act(1);
  EXPECT_EQ(co.data, (bytes{3, FAX__NOT_READY, FAX_ERRSRC_REQUEST, 1}));
  make_ready();
  EXPECT_EQ(act(1).data, (bytes{3, FAX__NO_SND_FAX_PG, FAX_ERRSRC_SEND, 1}));
  EXPECT_EQ(act(9).data, (bytes{3, FAX__UNKNOWN_ACTION, FAX_ERRSRC_REQUEST, 9}));
  send(ENT_FOIP, FAX__DEA_RQ, bytes(8, 0));
  EXPECT_EQ(bytes(one(ENT_FOIP, FAX__DEA_CO).data).at(0), 2);
  EXPECT_EQ(act(2).data, (bytes{2, 2, FAX_SOURCE_SELF, 2}));
  EXPECT_EQ(act(2).data, (bytes{3, FAX__SESSION_ALREADY_RUNNING, FAX_ERRSRC_REQUEST, 2}));
  EXPECT_EQ(fax_session_state(kNai), FAX_WAIT_V25_CONN);
}

TEST_F(fax_entity_test, a_stop_is_honoured_in_every_state_with_a_cause) {
  // (state reached, what the stop sends, the end status and cause).
  for (u8 target = FAX_WAIT_V25_CONN; target <= FAX_STOP_SESSION; ++target) {
    SCOPED_TRACE(int(target));
    if (target == FAX_END_OF_SND_PAGE) continue;  // reached only when sending
    ASSERT_EQ(configure(config()).data[0], 2);
    make_ready();
    ASSERT_EQ(act(2).data[0], 2);
    take(ENT_ACU, ACU_CONN_RS);
    if (target >= FAX_START_SESSION) send(ENT_ACU, ACU_CONN_CO, bytes(108, 0));
    if (target >= FAX_CNF_SESSION) send(ENT_CF, CF_INIT_CO, bytes(60, 2));
    if (target >= FAX_T30_DIS_DCS_NEGO) send(ENT_CF, CF_SETPARM_CO, setparm_ok());
    if (target >= FAX_PAGE) send(ENT_CF, CF_INFO_IN, info_record('c'));
    if (target == FAX_STOP_SESSION) {
      send(ENT_CF, CF_DISC_IN, {5});  // the end-of-T.30 wait runs
    }
    rt_test::rec().clear();
    ASSERT_EQ(fax_session_state(kNai), target);
    send(ENT_FOIP, FAX__DEA_RQ, bytes(8, 0));
    if (target == FAX_WAIT_V25_CONN) {
      one(ENT_ACU, ACU_CLEAR_RQ);
    } else if (target <= FAX_CNF_SESSION) {
      one(ENT_CF, CF_STOP_RQ);
      send(ENT_CF, CF_STOP_CO, {2, 0, 0});
      one(ENT_ACU, ACU_CLEAR_RQ);
    } else if (target == FAX_STOP_SESSION) {
      rt_test::advance_clock(30);  // the wait was cut to 25 ms
      om_os_timer_poll();
      rt_test::pump();
      one(ENT_CF, CF_STOP_RQ);
      send(ENT_CF, CF_STOP_CO, {2, 0, 0});
      one(ENT_ACU, ACU_CLEAR_RQ);
    } else {
      one(ENT_CF, CF_DISC_RQ);
      send(ENT_CF, CF_DISC_IN, {2});
      one(ENT_CF, CF_STOP_RQ);
      send(ENT_CF, CF_STOP_CO, {2, 0, 0});
      one(ENT_ACU, ACU_CLEAR_RQ);
    }
    send(ENT_ACU, ACU_CLEAR_CO, bytes(88, 0));
    seen_msg co = one(ENT_FOIP, FAX__DEA_CO);
    ASSERT_EQ(co.data.size(), FAX_DEA_SIZE);
    if (target <= FAX_CNF_SESSION) {
      EXPECT_EQ(co.data[0], 3);
      EXPECT_EQ(co.data[1], FAX_CAUSE_USER_STOP);
      EXPECT_EQ(co.data[2], FAX_SOURCE_SELF);
    } else {
      EXPECT_EQ(co.data[2], ENT_CF);
      EXPECT_NE(co.data[1], 0);
    }
    EXPECT_EQ(fax_session_state(kNai), FAX_IDLE);
    fax_release_all();
    rt_test::rec().clear();
  }
}

#ifdef KV_HAVE_LIBTIFF
TEST_F(fax_entity_test, a_page_is_sent_from_a_tiff_file) {
  const page p = fax_test::make_page(fax_test::kind::text, 1728, 120, 4);
  fax_test::libtiff_write(dir.file("send.tif"), p, 3, 0, 120, false, 1);
  ASSERT_EQ(configure(config(dir.file("send.tif"))).data[0], 2);
  make_ready();
  start_call(1);
  send(ENT_CF, CF_INFO_IN, info_record('i'));
  EXPECT_EQ(one(ENT_FOIP, FAX__REPORT_IN).data[4], FAX_REM_FAX_ID);
  send(ENT_CF, CF_CONN_CO, bytes(12, 2));
  const seen_msg parm = one(ENT_CF, CF_SETPARM_RQ);
  EXPECT_EQ(parm.data[62], 1);  // coding present: the best common one without ECM
  EXPECT_EQ(parm.data[63], FAX_ENC_MR);
  EXPECT_EQ(get_le16(parm.data.data() + 48), FAX_RES_200_100);
  send(ENT_CF, CF_INFO_IN, info_record('C'));
  send(ENT_CF, CF_SETPARM_CO, setparm_ok());
  one(ENT_CF, CF_CAPBILITY_RQ);
  send(ENT_CF, CF_CAPBILITY_CO, bytes(4, 2));
  bytes sent;
  bool ended = false;
  for (int i = 0; i < 1000 && !ended; ++i) {
    for (const seen_msg& m : take(ENT_CF, CF_DA_RQ)) sent.insert(sent.end(), m.data.begin(), m.data.end());
    auto end = take(ENT_CF, CF_MAJR_SYNC_RQ);
    if (!end.empty()) {
      EXPECT_EQ(end[0].data[3], 'S');
      ended = true;
    }
    if (!take(ENT_CF, CF_INT_SYNC_RQ).empty()) send(ENT_CF, CF_INT_SYNC_CO);
  }
  ASSERT_TRUE(ended);
  EXPECT_EQ(fax_test::decode(sent, T4T6_MH, 1728).pg, p);
  send(ENT_CF, CF_MAJR_SYNC_CO, page_end('S', 'G'));
  const seen_msg rep = one(ENT_FOIP, FAX__REPORT_IN);
  EXPECT_EQ(rep.data[4 + fax_rep::EVENT], FAX_PG_SENT);
  EXPECT_EQ(get_le32(rep.data.data() + 4 + fax_rep::PAGE_BYTES), sent.size());
  const seen_msg in = finish_call(FAX__DEA_IN);
  const u8* st = in.data.data() + 4;
  EXPECT_EQ(in.data[0], 2);
  EXPECT_EQ(get_le16(st + fax_st::PAGES_TO_SEND), 1);
  EXPECT_EQ(get_le16(st + fax_st::PAGES_SENT), 1);
  EXPECT_EQ(get_le16(st + fax_st::SENT_GOOD), 1);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(st + fax_st::SENT_ROWS)), dir.file("send.tif"));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(st)), "REMOTE 1");
}

TEST_F(fax_entity_test, pages_are_received_into_a_tiff_file) {
  const page p1 = fax_test::make_page(fax_test::kind::text, 1728, 90, 8);
  const page p2 = fax_test::make_page(fax_test::kind::lines, 1728, 60, 9);
  ASSERT_EQ(configure(config()).data[0], 2);
  make_ready();
  start_call(2);
  send(ENT_CF, CF_INFO_IN, info_record('c', 2, FAX_RES_200_200));
  ASSERT_EQ(fax_session_state(kNai), FAX_PAGE);
  EXPECT_EQ(one(ENT_FOIP, FAX__REPORT_IN).data[4], FAX_REM_FAX_ID);
  for (const page* p : {&p1, &p2}) {
    const bytes coded = fax_test::encode(*p, T4T6_MR);
    for (size_t at = 0; at < coded.size(); at += 500)
      send(ENT_CF, CF_DA_IN,
           bytes(coded.begin() + static_cast<long>(at),
                 coded.begin() + static_cast<long>(std::min(coded.size(), at + 500))));
    bytes sync(16, 0);
    sync[3] = p == &p1 ? 'P' : 'S';
    sync[4] = 'G';
    send(ENT_CF, CF_MAJR_SYNC_IN, sync);
    EXPECT_EQ(one(ENT_CF, CF_MAJR_SYNC_RS).data[4], 'G');
    EXPECT_EQ(one(ENT_FOIP, FAX__REPORT_IN).data[4], FAX_PG_RCV);
  }
  const seen_msg in = finish_call(FAX__DEA_IN);
  EXPECT_EQ(in.data[0], 2);
  EXPECT_EQ(get_le16(in.data.data() + 4 + fax_st::PAGES_RCV), 2);
  EXPECT_EQ(fax_test::libtiff_read(rcv_name(), 0), p1);
  EXPECT_EQ(fax_test::libtiff_read(rcv_name(), 1), p2);
  EXPECT_EQ(std::system(("tiffinfo -D " + rcv_name() + " > /dev/null 2>&1").c_str()), 0);
  EXPECT_FALSE(std::filesystem::exists(rcv_name() + ".part"));
}

// A page refused with RTN comes again after a new training, without a new
// negotiation: the session keeps taking pages (for a page to follow and for
// the last one alike), and the page sent again is received.
TEST_F(fax_entity_test, a_refused_page_is_received_when_it_comes_again) {
  const page p = fax_test::make_page(fax_test::kind::text, 1728, 40, 12);
  const bytes coded = fax_test::encode(p, T4T6_MH);
  for (u8 kind : {'P', 'S'}) {
    SCOPED_TRACE(testing::Message() << "post-page kind " << kind);
    if (kind == 'S') {
      TearDown();
      SetUp();
    }
    ASSERT_EQ(configure(config()).data[0], 2);
    make_ready();
    start_call(2);
    send(ENT_CF, CF_INFO_IN, info_record('c'));
    bytes sync(16, 0);
    sync[3] = kind;
    for (u8 quality : {'B', 'G'}) {
      send(ENT_CF, CF_DA_IN, coded);
      sync[4] = quality;
      send(ENT_CF, CF_MAJR_SYNC_IN, sync);
      EXPECT_EQ(one(ENT_CF, CF_MAJR_SYNC_RS).data[4], quality);
      EXPECT_EQ(fax_session_state(kNai), FAX_PAGE);
    }
    const seen_msg in = finish_call(FAX__DEA_IN);
    const u8* st = in.data.data() + 4;
    EXPECT_EQ(get_le16(st + fax_st::PAGES_RCV), 2);
    EXPECT_EQ(get_le16(st + fax_st::RCV_BAD), 1);
    EXPECT_EQ(get_le16(st + fax_st::RCV_GOOD), 1);
    EXPECT_EQ(fax_test::libtiff_read(rcv_name(), 1), p);
  }
}

TEST_F(fax_entity_test, a_page_that_cannot_be_written_ends_the_session_with_a_failure) {
  const page p1 = fax_test::make_page(fax_test::kind::text, 1728, 50, 10);
  ASSERT_EQ(configure(config()).data[0], 2);
  make_ready();
  start_call(2);
  send(ENT_CF, CF_INFO_IN, info_record('c'));
  send(ENT_CF, CF_DA_IN, fax_test::encode(p1, T4T6_MH));
  send(ENT_CF, CF_MAJR_SYNC_IN, page_end('P', 'G'));
  one(ENT_CF, CF_MAJR_SYNC_RS);
  // Second page: data without a single line.
  send(ENT_CF, CF_DA_IN, bytes(64, 0));
  send(ENT_CF, CF_MAJR_SYNC_IN, page_end('P', 'G'));
  one(ENT_CF, CF_DISC_RQ);
  const seen_msg in = finish_call(FAX__DEA_IN);
  EXPECT_EQ(in.data[0], 3);
  EXPECT_EQ(in.data[1], FAX_CAUSE_WRITE_RCV_PAGE);
  EXPECT_EQ(in.data[2], FAX_SOURCE_SELF);
  // The page received before stays under the file's name.
  EXPECT_EQ(fax_test::libtiff_read(rcv_name(), 0), p1);
}
#endif

TEST_F(fax_entity_test, pages_past_the_twentieth_are_counted_and_reported_without_a_row) {
  ASSERT_EQ(configure(config()).data[0], 2);
  make_ready();
  start_call(2);
  send(ENT_CF, CF_INFO_IN, info_record('c'));
  take(ENT_FOIP, FAX__REPORT_IN);
  const bytes coded = fax_test::encode(fax_test::make_page(fax_test::kind::text, 1728, 30, 3), T4T6_MH);
  bytes sync(16, 0);
  sync[3] = 'P';
  sync[4] = 'M';
  for (int i = 0; i < 21; ++i) {
    send(ENT_CF, CF_DA_IN, coded);
    send(ENT_CF, CF_MAJR_SYNC_IN, sync);
    ASSERT_EQ(one(ENT_CF, CF_MAJR_SYNC_RS).data[4], 'M') << i;
    const seen_msg rep = one(ENT_FOIP, FAX__REPORT_IN);
    EXPECT_EQ(get_le16(rep.data.data() + 4 + fax_rep::PAGE_NUMBER), i + 1);
  }
  const seen_msg in = finish_call(FAX__DEA_IN);
  const u8* st = in.data.data() + 4;
  EXPECT_EQ(get_le16(st + fax_st::PAGES_RCV), 21);
  EXPECT_EQ(get_le16(st + fax_st::RCV_MEDIUM), 21);
  // Row 19, the last one kept, describes the twentieth page.
  const u8* row19 = st + fax_st::RCV_ROWS + 19 * FAX_PG_ROW_SIZE;
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(row19)), rcv_name());
  EXPECT_EQ(row19[fax_rep::QUALITY - fax_rep::FILE_NAME], 'M');
}

#ifdef KV_HAVE_LIBTIFF
TEST_F(fax_entity_test, an_rtn_without_ecm_sends_the_page_again) {
  const page p = fax_test::make_page(fax_test::kind::text, 1728, 30, 4);
  fax_test::libtiff_write(dir.file("send.tif"), p, 3, 0, 30, false, 1);
  ASSERT_EQ(configure(config(dir.file("send.tif"))).data[0], 2);
  make_ready();
  start_call(1);
  send(ENT_CF, CF_INFO_IN, info_record('i'));
  send(ENT_CF, CF_CONN_CO, bytes(12, 2));
  send(ENT_CF, CF_INFO_IN, info_record('C'));
  auto send_page = [&] {
    send(ENT_CF, CF_SETPARM_CO, setparm_ok());
    one(ENT_CF, CF_CAPBILITY_RQ);
    send(ENT_CF, CF_CAPBILITY_CO, bytes(4, 2));
    flow_page();
  };
  send_page();
  send(ENT_CF, CF_MAJR_SYNC_CO, page_end('N', 'B'));  // RTN: the page goes again
  EXPECT_EQ(fax_session_state(kNai), FAX_T30_DIS_DCS_NEGO);
  one(ENT_CF, CF_CAPBILITY_RQ);
  rt_test::rec().clear();
  send(ENT_CF, CF_CAPBILITY_IN, bytes(4, 0));
  one(ENT_CF, CF_SETPARM_RQ);
  send(ENT_CF, CF_SETPARM_CO, setparm_ok());
  // CF_SETPARM_CO in negotiation asks for the capabilities again.
  one(ENT_CF, CF_CAPBILITY_RQ);
  send(ENT_CF, CF_CAPBILITY_CO, bytes(4, 2));
  flow_page();
  EXPECT_EQ(fax_session_state(kNai), FAX_STOP_SESSION);
  send(ENT_CF, CF_MAJR_SYNC_CO, page_end('S', 'G'));
  const seen_msg in = finish_call(FAX__DEA_IN);
  const u8* st = in.data.data() + 4;
  EXPECT_EQ(get_le16(st + fax_st::PAGES_SENT), 1);
  EXPECT_EQ(get_le16(st + fax_st::SENT_BAD), 1);
  EXPECT_EQ(get_le16(st + fax_st::SENT_GOOD), 1);
}

// Only the last page asks for a retrain with its end: a refused last page
// must get a new training and go again rather than end the call. The pages
// before it go on after any answer.
TEST_F(fax_entity_test, the_last_page_end_asks_for_a_retrain_and_the_pages_before_it_do_not) {
  const page p = fax_test::make_page(fax_test::kind::text, 1728, 30, 5);
  fax_test::libtiff_write(dir.file("send.tif"), p, 3, 0, 30, false, 1, 2);
  ASSERT_NO_FATAL_FAILURE(start_sending(dir.file("send.tif")));
  const bytes first = flow_page();
  ASSERT_EQ(first.size(), 16u);
  EXPECT_EQ(first[3], 'P');
  EXPECT_EQ(first[5], 0);
  EXPECT_EQ(fax_session_state(kNai), FAX_END_OF_SND_PAGE);
  send(ENT_CF, CF_MAJR_SYNC_CO, page_end('P', 'G'));
  const bytes last = flow_page();
  ASSERT_EQ(last.size(), 16u);
  EXPECT_EQ(last[3], 'S');
  EXPECT_EQ(last[5], 1);
  EXPECT_EQ(fax_session_state(kNai), FAX_STOP_SESSION);
}

// A page refused with RTN is not counted as sent while it waits to go again:
// a call that ends before the page went again reports only the pages that
// passed, in the counter and in the end-of-session status alike.
TEST_F(fax_entity_test, a_refused_page_that_never_goes_again_is_not_counted_as_sent) {
  const page p = fax_test::make_page(fax_test::kind::text, 1728, 30, 4);
  fax_test::libtiff_write(dir.file("send.tif"), p, 3, 0, 30, false, 1);
  ASSERT_NO_FATAL_FAILURE(start_sending(dir.file("send.tif")));
  flow_page();
  send(ENT_CF, CF_MAJR_SYNC_CO, page_end('S', 'B'));  // RTN on the last page
  one(ENT_CF, CF_CAPBILITY_RQ);
  ASSERT_EQ(fax_session_state(kNai), FAX_T30_DIS_DCS_NEGO);
  // The far side hangs up before the page went again.
  const seen_msg in = finish_call(FAX__DEA_IN);
  const u8* st = in.data.data() + 4;
  EXPECT_EQ(get_le16(st + fax_st::PAGES_SENT), 0);
  EXPECT_EQ(get_le16(st + fax_st::SENT_BAD), 1);
  EXPECT_EQ(get_le16(st + fax_st::SENT_GOOD), 0);
}
// A refused page cannot go again with error correction in use or at the
// lowest speed already: the call ends with its own cause; the page stays
// counted as sent, and as bad.
TEST_F(fax_entity_test, a_refused_page_that_cannot_go_again_ends_the_call_with_its_cause) {
  struct row {
    u8 ecm, speed, cause;
  };
  const row rows[] = {{'2', 14, FAX_CAUSE_RTN_ECM}, {'0', 2, FAX_CAUSE_RTN_LOWEST_SPEED}};
  const page p = fax_test::make_page(fax_test::kind::text, 1728, 30, 4);
  for (const row& r : rows) {
    SCOPED_TRACE(testing::Message() << "ecm " << r.ecm << " speed " << int(r.speed));
    if (&r != rows) {
      TearDown();
      SetUp();
    }
    fax_test::libtiff_write(dir.file("send.tif"), p, 3, 0, 30, false, 1);
    bytes dcs = info_record('C');
    dcs[471] = r.speed;
    dcs[477] = r.ecm;
    ASSERT_NO_FATAL_FAILURE(start_sending(dir.file("send.tif"), dcs));
    flow_page();
    send(ENT_CF, CF_MAJR_SYNC_CO, page_end('S', 'B'));
    one(ENT_CF, CF_DISC_RQ);
    EXPECT_TRUE(take(ENT_CF, CF_CAPBILITY_RQ).empty());
    EXPECT_EQ(fax_session_state(kNai), FAX_STOP_SESSION);
    const seen_msg in = finish_call(FAX__DEA_IN);
    EXPECT_EQ(in.data[0], 3);
    EXPECT_EQ(in.data[1], r.cause);
    EXPECT_EQ(in.data[2], FAX_SOURCE_SELF);
    EXPECT_EQ(get_le16(in.data.data() + 4 + fax_st::PAGES_SENT), 1);
    EXPECT_EQ(get_le16(in.data.data() + 4 + fax_st::SENT_BAD), 1);
  }
}
#endif

std::vector<std::string> g_steps;
void audit_hook(u8 letter, const msg_t* m) {
  if (letter != 'X' || m->from != ENT_FAX || m->code != FAX__DBG_AUTO) return;
  const bytes d = rt_test::describe(m).data;
  if (d.size() > 6) g_steps.emplace_back(reinterpret_cast<const char*>(d.data() + 5), d.size() - 6);
}

TEST_F(fax_entity_test, each_step_is_traced_and_unexpected_events_change_nothing) {
  g_steps.clear();
  om_os_set_audit_hook(audit_hook);
  ASSERT_EQ(configure(config()).data[0], 2);
  make_ready();
  send(ENT_CF, CF_INIT_CO, bytes(60, 2));  // not expected while idle
  send(ENT_FC, 'a', bytes(4, 2));          // a converter answer while idle
  om_os_set_audit_hook(nullptr);
  EXPECT_EQ(fax_session_state(kNai), FAX_IDLE);
  EXPECT_TRUE(take(ENT_FOIP, FAX__DEA_IN).empty()) << "no end of session: the state did not change";
  ASSERT_EQ(g_steps.size(), 3u);
  EXPECT_EQ(
      g_steps[0],
      "Evt: FAX_AUTO__MDM_SETPARM  Cur state: IDLE  New state: IDLE  Branch (aa) Func: store_modem_parameters ()");
  EXPECT_EQ(g_steps[1], "Evt: CF_INIT_CO  Cur state: IDLE  New state: IDLE  Branch (ea) Func: error_process ()");
  EXPECT_EQ(g_steps[2], "Evt: FC__INIT_PG_CONV_CO  Cur state: IDLE  New state: IDLE  Branch (ta) Func: no_action ()");
}

// ENT_FAX with the real page converter: a page stored otherwise than the
// far side takes goes out converted.
const entity_table_row_t kTableWithFc[] = {
    {ENT_SM, rt_test::record_handler, 0, 0, nullptr, 0},
    {ENT_ACU, rt_test::record_handler, 0, 0, nullptr, 0},
    {ENT_CF, rt_test::record_handler, 0, 0, nullptr, 0},
    FC_ENTITY_ROW,
    {ENT_MFM, rt_test::record_handler, 0, 0, nullptr, 0},
    {ENT_FOIP, rt_test::record_handler, 0, 0, nullptr, 0},
    FAX_ENTITY_ROW,
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

struct fax_conversion_test : fax_entity_test {
  void SetUp() override {
    rt_test::use_virtual_clock(1000);
    rt_test::start_manual(kTableWithFc);
    bytes body(FC_CONFIG_SIZE, 0);
    put_le16(body.data() + 4, 4);
    put_le16(body.data() + 6, 300);
    msg_t* m = Alloc_msg();
    ASSERT_NE(m, nullptr);
    std::memcpy(Msg_inline_data(m), body.data(), body.size());
    m->data_size = static_cast<u8>(body.size());
    m->from = ENT_SM;
    m->to = ENT_FC;
    m->code = SM_CONFIG_RQ;
    Send_msg(m);
    rt_test::pump();
    rt_test::rec().clear();
  }
  // Sends one page through a call whose DCS gives `coding`, `res` and
  // `width`; returns the page data sent (empty when no page end came).
  bytes send_converted(const std::string& file, u8 coding, u16 res, char width, const std::string& header = "") {
    fax_config_writer c = config(file);
    if (!header.empty()) c.text(fax_cfg::PAGE_HEADER, fax_cfg::PAGE_HEADER_SIZE, header);
    EXPECT_EQ(configure(c).data[0], 2);
    make_ready();
    start_call(1);
    send(ENT_CF, CF_INFO_IN, info_record('i'));
    send(ENT_CF, CF_CONN_CO, bytes(12, 2));
    bytes dcs = info_record('C', coding, res);
    dcs[472] = static_cast<u8>(width);
    send(ENT_CF, CF_INFO_IN, dcs);
    send(ENT_CF, CF_SETPARM_CO, setparm_ok());
    one(ENT_CF, CF_CAPBILITY_RQ);
    send(ENT_CF, CF_CAPBILITY_CO, bytes(4, 2));
    bytes sent;
    for (int i = 0; i < 2000; ++i) {
      for (const seen_msg& m : take(ENT_CF, CF_DA_RQ)) sent.insert(sent.end(), m.data.begin(), m.data.end());
      if (!take(ENT_CF, CF_MAJR_SYNC_RQ).empty()) return sent;
      if (fax_session_state(kNai) != FAX_PAGE) break;
      if (!take(ENT_CF, CF_INT_SYNC_RQ).empty()) send(ENT_CF, CF_INT_SYNC_CO);
    }
    return {};
  }
};

// Keeps lines 0, 2, 4 ... of a page (200 lpi sent at 100 lpi).
page every_second_line(const page& p) {
  page out = p;
  out.height = (p.height + 1) / 2;
  out.bits.assign(size_t{out.height} * out.stride(), 0);
  for (u32 y = 0; y < out.height; ++y) std::memcpy(out.row(y), p.row(2 * y), p.stride());
  return out;
}

TEST_F(fax_conversion_test, a_page_that_differs_from_the_negotiated_form_arrives_converted) {
  struct conv_case {
    const char* name;
    int compression;  // TIFF: 3 T.4, 4 T.6
    int g3opts;       // 1: two-dimensional
    u32 yres;         // 98 or 196 lines per inch
    u8 dcs_coding;    // negotiated (CF_INFO_IN coding byte)
    u16 dcs_res;
    bool halved;
  };
  const conv_case cases[] = {
      {"fine page to a normal-only peer", 3, 0, 196, 1, FAX_RES_200_100, true},
      {"MMR page to a peer without T.6", 4, 0, 98, 1, FAX_RES_200_100, false},
      {"MMR fine page sent MR normal", 4, 0, 196, 2, FAX_RES_200_100, true},
      {"MH page sent MR", 3, 0, 98, 2, FAX_RES_200_100, false},
  };
  for (const conv_case& c : cases) {
    SCOPED_TRACE(c.name);
    const page p = fax_test::make_page(fax_test::kind::text, 1728, 101, 6);
    const std::string file = dir.file(std::string("conv_") + std::to_string(&c - cases) + ".tif");
    fax_test::libtiff_write(file, p, c.compression, c.g3opts, 101, false, 1, 1, static_cast<float>(c.yres));
    const bytes sent = send_converted(file, c.dcs_coding, c.dcs_res, '1');
    ASSERT_FALSE(sent.empty());
    const u8 coding = c.dcs_coding == 2 ? T4T6_MR : T4T6_MH;
    const fax_test::decoded got = fax_test::decode(sent, coding, 1728);
    EXPECT_EQ(got.error_lines, 0u);
    EXPECT_EQ(got.pg, c.halved ? every_second_line(p) : p) << fax_test::describe_difference(p, got.pg);
    take(ENT_FOIP, FAX__REPORT_IN);
    send(ENT_CF, CF_MAJR_SYNC_CO, page_end('S', 'G'));
    const seen_msg rep = one(ENT_FOIP, FAX__REPORT_IN);
    EXPECT_NE(get_le16(rep.data.data() + 4 + fax_rep::CONVERSIONS) & FC_CONV_ENCODE, 0);
    EXPECT_EQ(get_le32(rep.data.data() + 4 + fax_rep::DECODED_LINES), 101u);
    finish_call(FAX__DEA_IN);
    EXPECT_EQ(fc__page_state(kNai), FC_PAGE_IDLE);
    fax_release_all();  // the next case configures the session again
    rt_test::pump();
    rt_test::rec().clear();
  }
}

// A long busy page: the converted data outrun the sending, so feeding the
// converter pauses and resumes; nothing is lost or reordered.
TEST_F(fax_conversion_test, a_long_page_converted_while_sending_keeps_every_line) {
  const page p = fax_test::make_page(fax_test::kind::noise, 1728, 900, 3);
  fax_test::libtiff_write(dir.file("long.tif"), p, 4, 0, 900, false, 2, 1, 196.0f);
  const bytes sent = send_converted(dir.file("long.tif"), 2, FAX_RES_200_200, '1');
  ASSERT_FALSE(sent.empty());
  const fax_test::decoded got = fax_test::decode(sent, T4T6_MR, 1728);
  EXPECT_EQ(got.pg, p) << fax_test::describe_difference(p, got.pg);
}

std::vector<std::string> g_printed;
void keep_printed(nai_t, const char* text) { g_printed.emplace_back(text); }
platform::LocalTime fixed_time() { return {2026, 12, 11, 9, 8, 7, 0, 5}; }

// The page header: its directives expanded, its band laid over the first
// lines of the page, the rest of the page unchanged.
TEST_F(fax_conversion_test, the_page_header_is_expanded_and_laid_over_the_first_lines) {
  platform::SetLocalTimeSource(fixed_time);
  g_printed.clear();
  fax_set_event_printer(keep_printed);
  const page p = fax_test::make_page(fax_test::kind::lines, 1728, 120, 2);
  fax_test::libtiff_write(dir.file("hdr.tif"), p, 3, 0, 120, false, 1);
  const bytes sent = send_converted(dir.file("hdr.tif"), 1, FAX_RES_200_100, '1', "Page %p of %P %c %t%Q end");
  fax_set_event_printer(nullptr);
  platform::SetLocalTimeSource(nullptr);
  ASSERT_FALSE(sent.empty());
  bool traced = false;
  for (const std::string& l : g_printed)
    traced |= l.find("page header \"Page   1  of   1 11:12:2026 09:08:07 end\"") != std::string::npos;
  EXPECT_TRUE(traced);
  const fax_test::decoded got = fax_test::decode(sent, T4T6_MH, 1728);
  ASSERT_EQ(got.pg.height, p.height);
  bool band_differs = false;
  for (u32 y = 0; y < 17; ++y) band_differs |= std::memcmp(got.pg.row(y), p.row(y), p.stride()) != 0;
  EXPECT_TRUE(band_differs);
  for (u32 y = 17; y < p.height; ++y) ASSERT_EQ(std::memcmp(got.pg.row(y), p.row(y), p.stride()), 0) << "line " << y;
}

// A page wider than the far side takes cannot be made narrower: the call
// ends with the converter's cause, and the next call is not held up.
TEST_F(fax_conversion_test, a_page_wider_than_the_far_side_takes_ends_the_call_with_the_converters_cause) {
  const page wide = fax_test::make_page(fax_test::kind::text, 2048, 80, 5);
  fax_test::libtiff_write(dir.file("wide.tif"), wide, 3, 0, 80, false, 1);
  EXPECT_TRUE(send_converted(dir.file("wide.tif"), 1, FAX_RES_200_100, '1').empty());
  EXPECT_EQ(fax_session_state(kNai), FAX_STOP_SESSION);
  one(ENT_CF, CF_DISC_RQ);
  const seen_msg in = finish_call(FAX__DEA_IN);
  EXPECT_EQ(in.data[0], 3);
  EXPECT_EQ(in.data[1], FC__INIT_ERR__LINE_LENGTH);
  EXPECT_EQ(in.data[2], ENT_FC);
  EXPECT_EQ(fc__page_state(kNai), FC_PAGE_IDLE);
}

}  // namespace
