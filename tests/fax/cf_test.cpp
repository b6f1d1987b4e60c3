// The fax session layer ENT_CF between a recording fax automaton (the user)
// and a recording T.30 engine: configuration, the originating and answering
// exchanges, page data both ways with their bit order, page ends, clearing
// causes, the far side's reports and requests that must be refused.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <string>

#include "common/byte_order.h"
#include "fax/cf.h"
#include "fax/fax_bit.h"
#include "fax/t30_capability.h"
#include "fax/t30_engine.h"
#include "runtime/buffer.h"
#include "runtime/entity.h"
#include "runtime/om_os.h"
#include "runtime/sm.h"
#include "runtime/support/rt_harness.h"

namespace {

using rt_test::seen_msg;
using bytes = std::vector<u8>;

constexpr nai_t kNai = 3;
constexpr ent_id_t kUser = ENT_FAX;

const entity_table_row_t kTable[] = {
    {ENT_SM, rt_test::record_handler, 0, 0, nullptr, 0},  {kUser, rt_test::record_handler, 0, 0, nullptr, 0},
    {ENT_T30, rt_test::record_handler, 0, 0, nullptr, 0}, {ENT_CF, cf_entity_handler, 0, 0, nullptr, 0},
    {'x', rt_test::record_handler, 0, 0, nullptr, 0},     {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

// The session-layer defaults of the fax entity's configuration.
bytes config_record(nai_t nai, u16 entries = 1) {
  bytes r = {0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x50, 0x00, 0x00, 0x00, 0x01, 0x00, 0x05, 0x00, 0x03, 0x01, 0x00,
             0x01, 0x01, 0x00, 0xc8, 0x00, 0x00, 0x00, 0xb8, 0x0b, 0x00, 0x00, 0x88, 0x13, 0x00, 0x00, 0x02, 0x0e,
             0xff, 0x03, 0x07, 0x33, 0x55, 0x30, 0x32, 0x00, 0x01, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
             0x00, 0x00, 0x00, 0x00, 0x00, 0x1e, 0x00, 0x00, 0x00, 0x05, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00};
  put_le16(r.data() + 4, entries);
  put_le16(r.data() + 8, nai);
  r[52] = ENT_T38;
  put_le16(r.data() + 66, 63);
  return r;
}

bytes cap_area(const t30_capability& cap, u32 v34_word = 0) {
  std::array<u8, T30_CAP_AREA_SIZE> a{};
  t30_cap__write_area(a, {cap, T30_LOCAL_SELECTION, v34_word});
  return bytes(a.begin(), a.end());
}

bytes words(std::initializer_list<u16> ws) {
  bytes b;
  for (u16 w : ws) {
    b.push_back(static_cast<u8>(w));
    b.push_back(static_cast<u8>(w >> 8));
  }
  return b;
}

class CfTest : public ::testing::Test {
 protected:
  void SetUp() override {
    rt_test::use_virtual_clock(1000);
    rt_test::start_manual(kTable);
    ASSERT_EQ(configure(config_record(kNai)), (bytes{2, 0, ENT_CF}));
    rt_test::rec().clear();
  }
  void TearDown() override {
    cf_release_all();
    rt_test::stop();
  }

  // SM_CONFIG_RQ, the engine's answer `t30_result` (0: none), and the answer to ENT_SM.
  bytes configure(const bytes& body, u8 t30_result = 2) {
    rt_test::rec().clear();
    msg_t* m = Alloc_msg();
    Msg_attach_chain(m, Store_data_in_buffers(body.data(), static_cast<u32>(body.size()), nullptr));
    m->from = ENT_SM;
    m->to = ENT_CF;
    m->code = SM_CONFIG_RQ;
    m->conn_id = OM_OS_CONN_NONE;
    Send_msg(m);
    rt_test::pump();
    if (t30_result != 0 && !find(ENT_T30, MT30_CONFIG_RQ).empty()) {
      EXPECT_TRUE(find(ENT_SM, SM_CONFIG_CO).empty()) << "answered before the engine";
      from_t30(MT30_CONFIG_CO, {t30_result, 0, ENT_T30});
    }
    const auto co = find(ENT_SM, SM_CONFIG_CO);
    return co.empty() ? bytes{} : co.back().data;
  }
  void request(code_t code, const bytes& body = {}, ent_id_t from = kUser) {
    Send_msg(rt_test::make_msg(from, ENT_CF, code, body, kNai, 7));
    rt_test::pump();
  }
  // A request whose octets are in a chain and whose parameter word is inline.
  void data_request(const bytes& octets, u16 param = 0) {
    msg_t* m = rt_test::make_msg(kUser, ENT_CF, CF_DA_RQ, words({param}), kNai, 7);
    Msg_attach_chain(m, Store_data_in_buffers(octets.data(), static_cast<u32>(octets.size()), nullptr));
    Send_msg(m);
    rt_test::pump();
  }
  void from_t30(code_t code, const bytes& body = {}, const bytes& chain = {}) {
    msg_t* m = rt_test::make_msg(ENT_T30, ENT_CF, code, body, kNai, kNai);
    if (!chain.empty())
      Msg_attach_chain(m, Store_data_in_buffers(chain.data(), static_cast<u32>(chain.size()), nullptr));
    Send_msg(m);
    rt_test::pump();
  }
  std::vector<seen_msg> find(ent_id_t to, code_t code) {
    std::vector<seen_msg> out;
    for (const seen_msg& s : rt_test::rec().messages())
      if (s.to == to && s.code == code) out.push_back(s);
    return out;
  }
  std::string codes_to(ent_id_t to) {
    std::string out;
    for (const seen_msg& s : rt_test::rec().messages())
      if (s.to == to) out.push_back(static_cast<char>(s.code));
    return out;
  }
  std::string info_kinds() {
    std::string out;
    for (const seen_msg& s : find(kUser, CF_INFO_IN)) out.push_back(static_cast<char>(s.data.at(3)));
    return out;
  }
  bytes info_record() {
    rt_test::rec().clear();
    bytes r(CF_INFO_SIZE, 0);
    r[3] = 'P';
    request(CF_INFO_RQ, r);
    const auto co = find(kUser, CF_INFO_CO);
    return co.empty() ? bytes{} : co.back().data;
  }
  // The far side's offer: a receiver of every speed up to 14400 bit/s.
  static t30_capability far_side() {
    t30_capability c = t30_cap__defaults();
    c.service = T30_SVC_RECEIVE;
    c.modulation = 0x1F7E;
    c.ecm = 0;
    c.ecm_frame_size = 0;
    return c;
  }
  // INIT, CONN and T30_CONN_CO for the role; the records are cleared after.
  void connect(u8 role) {
    bytes init(60, 0);
    init[3] = role;
    init[4] = 'F';
    request(CF_INIT_RQ, init);
    request(CF_CONN_RQ);
    from_t30(T30_CONN_CO);
  }
  // An originating session up to the first page: the far side's DIS, the
  // user's capability request, the engine's end of negotiation.
  void originate_to_phase_3() {
    connect('O');
    from_t30(T30_WhatToDo_IN, cap_area(far_side(), 0xABCD1234));
    request(CF_CAPBILITY_RQ);
    t30_capability sent = far_side();
    sent.service = T30_SVC_RECEIVE;
    sent.modulation = 0x1840;
    from_t30(T30_EONEG_IN, cap_area(sent));
    rt_test::rec().clear();
  }
};

TEST_F(CfTest, ConfigurationWaitsForTheEngineAndRefusesBadRecords) {
  const cf_context* c = cf_find(kNai);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->user, 'n');
  // The engine's channel: this nai, with the configured lower entity.
  rt_test::rec().clear();
  EXPECT_EQ(configure(config_record(4), 0), bytes{});
  const auto rq = find(ENT_T30, MT30_CONFIG_RQ);
  ASSERT_EQ(rq.size(), 1u);
  EXPECT_EQ(get_le16(rq[0].data.data() + 8), 4);
  EXPECT_EQ(rq[0].data[10], ENT_T38);
  from_t30(MT30_CONFIG_CO, {3, 'w', ENT_T30});
  EXPECT_EQ(find(ENT_SM, SM_CONFIG_CO).back().data, (bytes{3, CF_CAUSE_T30_REFUSED, ENT_T30}));
  EXPECT_EQ(cf_find(4), nullptr);

  bytes slow_speeds = config_record(5);
  slow_speeds[32] = 14;  // minimum 14400 above maximum 9600
  slow_speeds[33] = 9;
  struct bad_case {
    bytes record;
    u8 cause;
  };
  const bad_case cases[] = {
      {config_record(kNai), CF_CAUSE_NAI_CONFIGURED},
      {config_record(63), CF_CAUSE_NAI_RANGE},
      {config_record(6, 2), CF_CAUSE_ENTRIES},
      {slow_speeds, CF_CAUSE_SPEED_RANGE},
  };
  for (const bad_case& bc : cases) {
    SCOPED_TRACE(static_cast<int>(bc.cause));
    EXPECT_EQ(configure(bc.record), (bytes{3, bc.cause, ENT_CF}));
    EXPECT_TRUE(find(ENT_T30, MT30_CONFIG_RQ).empty());
  }
  // A reset removes the context.
  rt_test::rec().clear();
  Send_msg(rt_test::make_msg(ENT_SM, ENT_CF, SM_RST_CFG_RQ, {}, kNai, OM_OS_CONN_NONE));
  rt_test::pump();
  EXPECT_EQ(find(ENT_SM, SM_RST_CFG_CO).at(0).data, (bytes{2, 0, ENT_CF}));
  EXPECT_EQ(cf_find(kNai), nullptr);
}

TEST_F(CfTest, OriginatingSessionNegotiatesAndSendsAPage) {
  bytes init(60, 0);
  init[3] = 'O';
  init[4] = 'F';
  request(CF_INIT_RQ, init);
  ASSERT_EQ(find(kUser, CF_INIT_CO).at(0).data.at(0), 2);
  request(CF_INIT_RQ, init);
  EXPECT_EQ(find(kUser, CF_INIT_CO).at(1).data.at(0), 3);  // already initialised
  request(CF_CONN_RQ);
  const auto conn = find(ENT_T30, T30_CONN_RQ);
  ASSERT_EQ(conn.size(), 1u);
  EXPECT_EQ(get_le16(conn[0].data.data()), 2);  // calling
  EXPECT_EQ(conn[0].conn_id, kNai);             // the engine's channel
  from_t30(T30_CONN_CO);
  rt_test::rec().clear();
  request(CF_CONN_RQ);  // connected: refused
  EXPECT_EQ(codes_to(ENT_T30), "");

  // The far side's DIS: reported, then the connection is confirmed with the engine's value.
  from_t30(T30_WhatToDo_IN, cap_area(far_side(), 0xABCD1234));
  EXPECT_EQ(info_kinds(), "fi");
  const auto co = find(kUser, CF_CONN_CO);
  ASSERT_EQ(co.size(), 1u);
  EXPECT_EQ(co[0].data.at(0), 2);
  EXPECT_EQ(get_le32(co[0].data.data() + 8), 0xABCD1234u);
  EXPECT_EQ(codes_to(kUser), "mmg");

  // The user's capability request: the answer for the engine.
  rt_test::rec().clear();
  request(CF_CAPBILITY_RQ);
  const auto rs = find(ENT_T30, T30_WhatToDo_RS);
  ASSERT_EQ(rs.size(), 1u);
  const t30_cap_area a = t30_cap__read_area(std::span<const u8, T30_CAP_AREA_SIZE>(rs[0].data.data(), 32));
  EXPECT_EQ(a.cap.service, 0x200);
  EXPECT_EQ(a.cap.modulation, cf_speed_mask(0, 5, false));
  EXPECT_EQ(std::popcount(static_cast<unsigned>(a.cap.resolution)), 1);  // one resolution to send in

  // End of negotiation: DCS sent, the capability request answered, data flows.
  t30_capability dcs = far_side();
  dcs.modulation = 0x1840;
  rt_test::rec().clear();
  from_t30(T30_EONEG_IN, cap_area(dcs));
  EXPECT_EQ(info_kinds(), "C");
  EXPECT_EQ(find(kUser, CF_CAPBILITY_CO).size(), 1u);
  const bytes info = info_record();
  EXPECT_EQ(info.at(470), 14);  // cur_min_speed
  EXPECT_EQ(info.at(471), 14);

  // Page data: bit-reversed for the engine, the page ended with its mark.
  rt_test::rec().clear();
  const bytes page = {0x01, 0x80, 0x12, 0xF0};
  data_request(page);
  request(CF_MAJR_SYNC_RQ, {0, 0, 0, 'S', 0, 0});
  const auto da = find(ENT_T30, T30_DA_RQ);
  ASSERT_EQ(da.size(), 2u);
  bytes reversed;
  for (u8 b : page) reversed.push_back(fax_bit_tables.reverse[b]);
  EXPECT_EQ(da[0].data, reversed);
  EXPECT_TRUE(da[1].data.empty() || da[1].data == words({1}));
  const auto end = find(ENT_T30, T30_END_PAGE_RQ);
  ASSERT_EQ(end.size(), 1u);
  EXPECT_EQ(get_le16(end[0].data.data()), cf_end_page_rq('S', false, false));
  // Until the page is confirmed, further data wait.
  data_request({0x55});
  EXPECT_EQ(find(ENT_T30, T30_DA_RQ).size(), 2u);
  from_t30(T30_END_PAGE_CO, words({T30_RSP_MCF, T30_PM_EOP}));
  const auto sync = find(kUser, CF_MAJR_SYNC_CO);
  ASSERT_EQ(sync.size(), 1u);
  EXPECT_EQ(sync[0].data.at(3), 'S');
  EXPECT_EQ(sync[0].data.at(4), 'G');
}

TEST_F(CfTest, DataHeldWhileANewDocumentIsNegotiatedGoOnInOrder) {
  originate_to_phase_3();
  data_request({0x01});
  request(CF_MAJR_SYNC_RQ, {0, 0, 0, 'N', 0, 0});
  from_t30(T30_END_PAGE_CO, words({T30_RSP_MCF, T30_PM_EOM}));
  // New document: phase 1 again, the next DIS answered at once.
  from_t30(T30_WhatToDo_IN, cap_area(far_side()));
  ASSERT_EQ(find(ENT_T30, T30_WhatToDo_RS).size(), 1u);
  const cf_context* c = cf_find(kNai);
  ASSERT_EQ(c->phase, 2);
  rt_test::rec().clear();
  data_request({0x02});
  EXPECT_TRUE(find(ENT_T30, T30_DA_RQ).empty());  // refused outside phases 3 and 5
  EXPECT_EQ(c->refused, 1u);
}

TEST_F(CfTest, DataHeldWhileTheEngineTrainsAgainGoOnInOrderAfterIt) {
  originate_to_phase_3();
  data_request({0x01});
  request(CF_MAJR_SYNC_RQ, {0, 0, 0, 'P', 0, 0});
  from_t30(T30_END_PAGE_CO, words({T30_RSP_RTP, T30_PM_MPS}));
  // The engine asks again before the next training: this side answers
  // itself, and the next page waits for the end of negotiation.
  from_t30(T30_WhatToDo_IN, cap_area(far_side()));
  ASSERT_EQ(cf_find(kNai)->phase, 5);
  rt_test::rec().clear();
  data_request({0x10});
  data_request({0x20});
  request(CF_MAJR_SYNC_RQ, {0, 0, 0, 'S', 0, 0});
  data_request({0x30});  // the page after the end mark
  EXPECT_EQ(codes_to(ENT_T30), "");
  t30_capability dcs = far_side();
  dcs.modulation = 0x1820;
  from_t30(T30_EONEG_IN, cap_area(dcs));
  // In order up to the end mark, then the page end; the rest stays held.
  EXPECT_EQ(codes_to(ENT_T30), "TTTX");
  const auto da = find(ENT_T30, T30_DA_RQ);
  ASSERT_EQ(da.size(), 3u);
  EXPECT_EQ(da[0].data, bytes{fax_bit_tables.reverse[0x10]});
  EXPECT_EQ(da[1].data, bytes{fax_bit_tables.reverse[0x20]});
  EXPECT_EQ(cf_find(kNai)->held.size(), 1u);
  EXPECT_EQ(info_record().at(471), 12);  // the new speed
}

TEST_F(CfTest, AnsweringSessionReceivesAPage) {
  connect('A');
  from_t30(T30_WhatToDo_IN, cap_area(t30_cap__defaults()));
  // The answerer answers the engine itself, with the receiving speed tables.
  const auto rs = find(ENT_T30, T30_WhatToDo_RS);
  ASSERT_EQ(rs.size(), 1u);
  const t30_cap_area a = t30_cap__read_area(std::span<const u8, T30_CAP_AREA_SIZE>(rs[0].data.data(), 32));
  EXPECT_EQ(a.cap.service, 0x100);
  EXPECT_EQ(a.cap.modulation, cf_speed_mask(0, 5, true));
  EXPECT_TRUE(find(kUser, CF_CONN_CO).empty());
  rt_test::rec().clear();
  t30_capability dcs = t30_cap__defaults();
  dcs.service = T30_SVC_TRANSMIT;
  dcs.modulation = 0x1210;
  from_t30(T30_EONEG_IN, cap_area(dcs));
  EXPECT_EQ(info_kinds(), "fc");
  ASSERT_EQ(find(kUser, CF_CONN_CO).size(), 1u);
  EXPECT_EQ(info_record().at(34), 9);  // rem_max_speed: the DCS's 9600 bit/s

  rt_test::rec().clear();
  from_t30(T30_DA_IN, words({0}), {0x01, 0x02, 0x80});
  const auto da = find(kUser, CF_DA_IN);
  ASSERT_EQ(da.size(), 1u);
  EXPECT_EQ(da[0].data, (bytes{0x01, 0x02, 0x80}));  // unchanged without the bit-order option
  from_t30(T30_END_PAGE_IN, words({1, T30_PM_MPS | 4, 0, 0, 7}));
  const auto in = find(kUser, CF_MAJR_SYNC_IN);
  ASSERT_EQ(in.size(), 1u);
  EXPECT_EQ(in[0].data.at(3), 'P');
  EXPECT_EQ(in[0].data.at(4), 'M');
  EXPECT_EQ(in[0].data.at(5), 1);
  EXPECT_EQ(get_le16(in[0].data.data() + 12), 7);
  EXPECT_EQ(get_le16(in[0].data.data() + 14), 1);
  request(CF_MAJR_SYNC_RS, {0, 0, 0, 'P', 'G', 0});
  const auto eprs = find(ENT_T30, T30_END_PAGE_RS);
  ASSERT_EQ(eprs.size(), 1u);
  EXPECT_EQ(get_le16(eprs[0].data.data()), 0);
}

TEST_F(CfTest, ClearingCausesAreMapped) {
  struct cause_case {
    u16 t30;
    code_t code;
    u8 session;
  };
  const cause_case cases[] = {
      {41, CF_DISC_IN, 9}, {0, CF_DISC_IN, 10},         {22, CF_DISC_IN, 21},
      {3, CF_DISC_IN, 3},  {0x100 | 12, CF_DISC_IN, 8}, {0x308, CF_DISC_CO, 0},
  };
  for (const cause_case& cc : cases) {
    SCOPED_TRACE(cc.t30);
    if (cf_find(kNai)->initialised) request(CF_STOP_RQ);
    connect('O');
    rt_test::rec().clear();
    from_t30(T30_DISC_IN, words({cc.t30}));
    const auto up = find(kUser, cc.code);
    ASSERT_EQ(up.size(), 1u);
    if (cc.code == CF_DISC_IN) {
      EXPECT_EQ(up[0].data.at(0), cc.session);
      EXPECT_EQ(info_record().at(788), cc.session);
    }
    EXPECT_EQ(cf_find(kNai)->state, 0);
  }
}

TEST_F(CfTest, FarSideReportsLandInTheInformationRecord) {
  connect('O');
  bytes before = info_record();
  ASSERT_EQ(before.size(), CF_INFO_SIZE);
  EXPECT_TRUE(std::all_of(before.begin() + 53, before.begin() + 74, [](u8 b) { return b == 0; }));
  EXPECT_EQ(bytes(before.begin() + 499, before.begin() + 539), bytes(40, ' '));
  EXPECT_EQ(before.at(776), 3);
  EXPECT_EQ(before.at(777), 10);
  EXPECT_EQ(get_le32(before.data() + 780), 3000u);

  const std::string long_id = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123";
  from_t30(T30_PROGRESS_IN, words({4}), bytes(long_id.begin(), long_id.end()));
  bytes after = info_record();
  EXPECT_EQ(after.at(53), 20);
  EXPECT_EQ(std::string(after.begin() + 54, after.begin() + 74), long_id.substr(0, 20));
  from_t30(T30_PROGRESS_IN, words({4}), bytes{'1', '2', '3', '4'});
  after = info_record();
  EXPECT_EQ(std::string(after.begin() + 54, after.begin() + 74), "1234" + std::string(16, ' '));

  // The line rate is reported as it comes.
  rt_test::rec().clear();
  from_t30(T30_PROGRESS_IN, words({12, 14400, 1}));
  EXPECT_EQ(info_kinds(), "r");
  EXPECT_EQ(get_le16(find(kUser, CF_INFO_IN).at(0).data.data() + 492), 14400);

  // A request of another kind is dropped.
  rt_test::rec().clear();
  bytes x(CF_INFO_SIZE, 0);
  x[3] = 'X';
  request(CF_INFO_RQ, x);
  EXPECT_TRUE(find(kUser, CF_INFO_CO).empty());
}

TEST_F(CfTest, RequestsFromStrangersAndUnknownTimersAreTrapped) {
  connect('O');
  rt_test::rec().clear();
  request(CF_CONN_RQ, {}, 'x');
  Send_msg(rt_test::make_msg(ENT_TI, ENT_CF, '0', {}, kNai, 0));
  Send_msg(rt_test::make_msg(ENT_TI, ENT_CF, 'Z', {}, kNai, 0));
  Send_msg(rt_test::make_msg(ENT_T30, ENT_CF, 'Q', {}, kNai, kNai));
  rt_test::pump();
  const auto traps = rt_test::rec().traps();
  EXPECT_EQ(std::count(traps.begin(), traps.end(), CF_TRAP_NOT_USER), 1);
  EXPECT_EQ(std::count(traps.begin(), traps.end(), CF_TRAP_UNEXPECTED), 2);
  EXPECT_EQ(codes_to(ENT_T30), "");
  // Busy relays both ways.
  request(CF_BUSY_RQ);
  from_t30(T30_CLR_BUSY_IN);
  EXPECT_EQ(codes_to(ENT_T30), "(");
  EXPECT_EQ(codes_to(kUser), "]");
}

// Answering with ECM code '0' and frame size '2' (256 octets): the offer
// to the engine carries ECM with 256-octet frames; originating, the ECM
// code alone decides.
TEST_F(CfTest, FrameSizeOfferedOnReceiveTurnsEcmOn) {
  for (const u8 role : {u8('A'), u8('O')}) {
    SCOPED_TRACE(role);
    bytes r(CF_SETPARM_SIZE, 0);
    r[3] = 'P';
    r[64] = 1;
    r[65] = '0';
    r[66] = 1;
    r[67] = '2';
    connect(role);
    request(CF_SETPARM_RQ, r);
    rt_test::rec().clear();
    from_t30(T30_WhatToDo_IN, cap_area(t30_cap__defaults()));
    if (role == 'O') request(CF_CAPBILITY_RQ);
    const auto rs = find(ENT_T30, T30_WhatToDo_RS);
    ASSERT_EQ(rs.size(), 1u);
    const t30_cap_area a = t30_cap__read_area(std::span<const u8, T30_CAP_AREA_SIZE>(rs[0].data.data(), 32));
    EXPECT_EQ(a.cap.ecm_frame_size, role == 'A' ? 2 : 0);
    EXPECT_EQ(a.cap.ecm, role == 'A' ? 2 : 0);
    request(CF_DISC_RQ);
    rt_test::rec().clear();
  }
}

TEST_F(CfTest, SetparmConfirmsAndTheBitOrderOptionTurnsTheDataPath) {
  bytes r(CF_SETPARM_SIZE, 0);
  r[3] = 'P';
  r[8] = 1;
  r[9] = 33;  // above the configured 14400 bit/s
  r[392] = 1;
  r[393] = 1;  // bit order: data sent unchanged, received data reversed
  r[100] = 1;
  std::memcpy(&r[101], "LOCAL ID            ", 20);
  request(CF_SETPARM_RQ, r);
  const auto co = find(kUser, CF_SETPARM_CO);
  ASSERT_EQ(co.size(), 1u);
  EXPECT_EQ(co[0].data.at(0), 3);
  EXPECT_EQ(info_record().at(9), 14);

  originate_to_phase_3();
  data_request({0x01, 0x80});
  EXPECT_EQ(find(ENT_T30, T30_DA_RQ).at(0).data, (bytes{0x01, 0x80}));
  r[3] = 'Z';
  rt_test::rec().clear();
  request(CF_SETPARM_RQ, r);
  EXPECT_TRUE(find(kUser, CF_SETPARM_CO).empty());  // not a 'P' record
}

// Requests and indications with empty, short or odd bodies, in every
// state a session goes through: each is refused or taken, none reads past
// its body (the sanitizers watch).
TEST_F(CfTest, ShortAndEmptyBodiesAreHandledSafely) {
  const code_t user_codes[] = {CF_INIT_RQ,
                               CF_STOP_RQ,
                               CF_CONN_RQ,
                               CF_DISC_RQ,
                               CF_DA_RQ,
                               CF_FLUSH_RQ,
                               CF_SIGNAL_RQ,
                               CF_INFO_RQ,
                               CF_SETPARM_RQ,
                               CF_CAPBILITY_RQ,
                               CF_CAPBILITY_RS,
                               CF_MAJR_SYNC_RQ,
                               CF_MAJR_SYNC_RS,
                               CF_INT_SYNC_RQ,
                               CF_BUSY_RQ,
                               CF_CLR_BUSY_RQ,
                               'T',
                               'Z'};
  const code_t t30_codes[] = {T30_CONN_CO,     T30_WhatToDo_IN, T30_EONEG_IN,    T30_PROGRESS_IN,
                              T30_END_PAGE_IN, T30_DA_IN,       T30_END_PAGE_CO, T30_BUSY_IN,
                              T30_CLR_BUSY_IN, T30_SYNC_CO,     MT30_CONFIG_CO,  T30_DISC_IN};
  const bytes bodies[] = {{}, {'P'}, {0, 0, 0, 'P', 'G'}, bytes(31, 0xFF)};
  for (int round = 0; round < 3; ++round) {
    if (round == 1) connect('O');
    if (round == 2) originate_to_phase_3();
    for (const bytes& b : bodies) {
      for (code_t code : user_codes) request(code, b);
      for (code_t code : t30_codes) {
        if (code == T30_DISC_IN) continue;  // keeps the session for the next body
        from_t30(code, b);
      }
      from_t30(T30_PROGRESS_IN, words({4}), bytes(300, 'x'));
      from_t30(T30_PROGRESS_IN, words({9}), bytes{1, 200, 'a'});
    }
  }
  from_t30(T30_DISC_IN, {});
  SUCCEED();
}

// The entity's stop routine gives the contexts back when the runtime stops:
// a second start in the same process configures the same nai again.
class CfRestart : public CfTest {
 protected:
  void SetUp() override {}
  void TearDown() override {}
};

TEST_F(CfRestart, RuntimeStopLeavesNoContextForTheNextStart) {
  const entity_table_row_t table[] = {
      {ENT_SM, rt_test::record_handler, 0, 0, nullptr, 0},
      {kUser, rt_test::record_handler, 0, 0, nullptr, 0},
      {ENT_T30, rt_test::record_handler, 0, 0, nullptr, 0},
      CF_ENTITY_ROW,
      {ENT_NIL, nullptr, 0, 0, nullptr, 0},
  };
  for (int round = 1; round <= 2; ++round) {
    SCOPED_TRACE(round);
    rt_test::use_virtual_clock(1000);
    rt_test::start_manual(table);
    EXPECT_EQ(configure(config_record(kNai)), (bytes{2, 0, ENT_CF}));
    rt_test::stop();
  }
}

}  // namespace
