// The T.38 entity: configuration causes, the capability clamp and session
// check, reset, capabilities, parameter changes, activation, timer slots,
// T38__DEA_IN, traps and error reports, pools and the network simulation.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "common/byte_order.h"
#include "runtime/om_os.h"
#include "runtime/sm.h"
#include "runtime/sock.h"
#include "runtime/timer.h"
#include "t38/support/t38_session_fixtures.h"
#include "t38/t38_entity.h"
#include "t38/t38_report.h"

namespace kv::t38 {
namespace {

using testing::T38EntityTest;
using testing::tcp_entry;
using testing::udp_entry;
using bytes = std::vector<uint8_t>;

bytes nok(u8 cause) { return {3, cause, 'J'}; }
const bytes kOk = {2, 2, 'J'};

TEST_F(T38EntityTest, EveryConfigurationCause) {
  struct row {
    const char* what;
    std::function<bytes()> run;
    u8 cause;
  };
  auto with = [](std::function<void(t38_session_entry&)> edit) {
    t38_session_entry e = udp_entry(7);
    edit(e);
    return e;
  };
  const std::vector<row> rows = {
      {"common part while sessions exist", [&] { return request(ENT_FOIP, T38__SET_CONFIG_RQ, t38__common_body(1)); },
       101},
      {"nai already configured", [&] { return configure({udp_entry(1)}); }, 104},
      {"gateway session", [&] { return configure({with([](auto& e) { e.kind_of_session = 'G'; })}); }, 105},
      {"unknown kind of session", [&] { return configure({with([](auto& e) { e.kind_of_session = 'X'; })}); }, 105},
      {"no transferred TCF", [&] { return configure({with([](auto& e) { e.caps.drate_mgt_method = 1; })}); }, 108},
      {"buffer size 0", [&] { return configure({with([](auto& e) { e.caps.fax_max_buffer_size = 0; })}); }, 110},
      {"buffer below datagram", [&] { return configure({with([](auto& e) { e.caps.fax_max_buffer_size = 100; })}); },
       111},
      {"datagram size 0", [&] { return configure({with([](auto& e) { e.caps.max_datagram_size = 0; })}); }, 112},
      {"no redundancy", [&] { return configure({with([](auto& e) { e.caps.udp_ec = 1; })}); }, 113},
      {"nai beyond the table", [&] { return configure({udp_entry(63)}); }, 12},
      {"unknown kind_of_cnf",
       [&] {
         return request(ENT_FOIP, T38__SET_CONFIG_RQ, {0, 0, 0, 7, 0, 0});
       },
       100},
      {"body cut in an entry",
       [&] {
         bytes b = t38__session_body({udp_entry(7)});
         b.resize(b.size() - 5);
         return request(ENT_FOIP, T38__SET_CONFIG_RQ, b);
       },
       100},
      {"IAF set-up refuses",
       [&] {
         iaf.setup_result = 150;
         bytes co = configure({udp_entry(7)});
         iaf.setup_result = 2;
         return co;
       },
       150},
  };
  ASSERT_EQ(configure({udp_entry(1)}), kOk);
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    bytes co = r.run();
    co.resize(3);
    EXPECT_EQ(co, nok(r.cause));
    EXPECT_EQ(t38__find_session(7), nullptr);
  }
  EXPECT_EQ(t38__session_count(), 1u);
}

TEST_F(T38EntityTest, SessionsBeforeTheCommonPartAndBeyondSixtyTwoAreRefused) {
  rt_test::stop();
  rt_test::use_virtual_clock(0);
  // A fresh entity: no common part yet.
  const entity_table_row_t table[] = {{ENT_FOIP, rt_test::record_handler, 0, 0, nullptr, 0},
                                      {ENT_SM, rt_test::record_handler, 0, 0, nullptr, 0},
                                      T38_ENTITY_ROW,
                                      {ENT_NIL, nullptr, 0, 0, nullptr, 0}};
  rt_test::start_manual(table);
  EXPECT_EQ(configure({udp_entry(1)}), nok(102));
  // Through ENT_SM the confirm code is 'c'.
  ASSERT_EQ(request(ENT_SM, SM_CONFIG_RQ, t38__common_body(1)).at(0), 2);
  std::vector<t38_session_entry> all;
  for (nai_t n = 0; n < 63; ++n) all.push_back(udp_entry(n));
  EXPECT_EQ(configure(all, ENT_SM), kOk);
  EXPECT_EQ(sent(ENT_SM, SM_CONFIG_CO).size(), 2u);
  EXPECT_EQ(t38__session_count(), 63u);
  EXPECT_EQ(configure({udp_entry(1)}), nok(103));
  EXPECT_EQ(session(5).report_code, T38__REPORT_IN_SM);
}

TEST_F(T38EntityTest, TimerCellsRunningOutRefuseWithCause13) {
  rt_test::stop();
  om_os_config c = om_os_default_config;
  c.timer_limit = 8;
  c.timer_cache_limit = 8;
  rt_test::use_config(c);
  rt_test::use_virtual_clock(0);
  const entity_table_row_t table[] = {
      {ENT_FOIP, rt_test::record_handler, 0, 0, nullptr, 0}, T38_ENTITY_ROW, {ENT_NIL, nullptr, 0, 0, nullptr, 0}};
  rt_test::start_manual(table);
  ASSERT_EQ(request(ENT_FOIP, T38__SET_CONFIG_RQ, t38__common_body(1)).at(0), 2);
  EXPECT_EQ(configure({udp_entry(1)}), kOk);
  EXPECT_EQ(configure({udp_entry(2)}), nok(13));
  EXPECT_EQ(t38__find_session(2), nullptr);
  // The cells of the refused session went back: releasing the first lets
  // another one in.
  EXPECT_EQ(request(ENT_FOIP, T38__RESET_CONFIG_RQ, {}, 1), (bytes{2, 'J', 2}));
  EXPECT_EQ(configure({udp_entry(2)}), kOk);
}

TEST_F(T38EntityTest, RuntimeCongestionReleasesRedundancyAndItsEndIsReported) {
  t38_session_entry e = udp_entry(1, 4000, 3);
  e.report.error_report_bfi = 0x10;
  ASSERT_EQ(configure({e}), kOk);
  t38_session& s = session(1);
  for (int i = 0; i < 5; ++i) ASSERT_EQ(t38_ifp__send(T38_IFP__MODE_SEND, T38_IND__CNG, nullptr, s), 2);
  rt_test::pump();
  ASSERT_EQ(s.ifp.tx_count, 4);
  std::vector<buffer_t*> held;
  for (int i = 0; i < 7000 && om_os_get_congestion() == 0; ++i) held.push_back(Alloc_buffer());
  ASSERT_EQ(om_os_get_congestion(), 1);
  request(ENT_FOIP, T38__CAPABILITIES_RQ, {});
  EXPECT_EQ(trace.congestions, 1);
  EXPECT_EQ(s.ifp.tx_count, 1);
  // Received datagrams are ignored meanwhile.
  receive(1, testing::udptl(0, testing::ifp(T38_IND__CED)));
  EXPECT_EQ(iaf.stores.back(), 3);
  for (buffer_t* b : held) Free_buffer(b);
  request(ENT_FOIP, T38__CAPABILITIES_RQ, {});
  advance(30);
  auto r = sent(ENT_FOIP, T38__REPORT_IN);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(get_le32(&r[0].data[8]), 0x10u);
  EXPECT_EQ(get_le32(&r[0].data[160]), 1u);
}

TEST_F(T38EntityTest, EntriesBeforeARefusedOneStay) {
  t38_session_entry gw = udp_entry(3);
  gw.kind_of_session = T38__GATEWAY_SESSION;
  EXPECT_EQ(configure({udp_entry(1), udp_entry(2), gw, udp_entry(4)}), nok(105));
  EXPECT_NE(t38__find_session(1), nullptr);
  EXPECT_NE(t38__find_session(2), nullptr);
  EXPECT_EQ(t38__find_session(4), nullptr);
}

TEST_F(T38EntityTest, CapabilityClampAndSessionCheck) {
  t38_session_entry a = udp_entry(1, 4000, 3);
  a.caps.t38_version = 3;
  a.caps.fax_max_bit_rate = 33600;
  a.caps.drate_mgt_method = 3;
  a.caps.transcode_mmr = 1;
  a.ip.idle_ip_inactivity_ms = 5;
  a.ip.v21_ip_inactivity_ms = 0;
  a.ip.vhspd_ip_inactivity_ms = 9;
  t38_session_entry b = udp_entry(2, 4000, 3);
  b.caps.max_datagram_size = 100;
  t38_session_entry c = tcp_entry(3);
  c.ip.nb_red_ifp_pck__default = 4;
  c.ip.idle_ip_inactivity_ms = 300;
  ASSERT_EQ(configure({a, b, c}), kOk);
  const t38_session& s1 = session(1);
  EXPECT_EQ(s1.adjusted.t38_version, 1);
  EXPECT_EQ(s1.adjusted.fax_max_bit_rate, 14400);
  EXPECT_EQ(s1.adjusted.drate_mgt_method, 2);
  EXPECT_EQ(s1.adjusted.transcode_mmr, 0);
  EXPECT_EQ(s1.negotiated.t38_version, 3);
  EXPECT_EQ(s1.ip.idle_ip_inactivity_ms, 10u);
  EXPECT_EQ(s1.ip.v21_ip_inactivity_ms, 0u);
  EXPECT_EQ(s1.ip.vhspd_ip_inactivity_ms, 10u);
  EXPECT_EQ(s1.ifp.max_dfield_size, 50);
  EXPECT_EQ(s1.ifp.red_current, 3);
  EXPECT_EQ(s1.ifp.last_delivered, 0xFFFFFFFFu);
  EXPECT_EQ(s1.ifp.peer_redundancy, 1);
  EXPECT_EQ(session(2).ifp.max_dfield_size, 16);
  const t38_session& s3 = session(3);
  EXPECT_EQ(s3.ip.nb_red_ifp_pck__default, 0);
  EXPECT_EQ(s3.ip.idle_ip_inactivity_ms, 0u);
  EXPECT_EQ(s3.adjusted.fax_max_buffer_size, 50001);
  EXPECT_EQ(s3.adjusted.max_datagram_size, 50000);
  EXPECT_EQ(s3.ifp.max_dfield_size, 50);
  EXPECT_TRUE(s3.tpkt != nullptr);
}

TEST_F(T38EntityTest, ResetReleasesTheSessionOrAnswers190) {
  EXPECT_EQ(request(ENT_FOIP, T38__RESET_CONFIG_RQ, {}, 4), (bytes{3, 'J', 190}));
  ASSERT_EQ(configure({udp_entry(4)}), kOk);
  ASSERT_EQ(configure({udp_entry(5)}, ENT_SM), kOk);
  EXPECT_EQ(request(ENT_FOIP, T38__RESET_CONFIG_RQ, {}, 4), (bytes{2, 'J', 2}));
  EXPECT_EQ(t38__find_session(4), nullptr);
  EXPECT_EQ(iaf.resets, 1);
  ASSERT_EQ(trace.ends.size(), 1u);
  EXPECT_FALSE(trace.ends[0]);
  EXPECT_EQ(request(ENT_SM, SM_RST_CFG_RQ, {0}, 5), (bytes{2, 'J', 2}));
  EXPECT_EQ(sent(ENT_SM, SM_RST_CFG_CO).size(), 1u);
  EXPECT_EQ(t38__session_count(), 0u);
  // The nai can be configured again.
  EXPECT_EQ(configure({udp_entry(4)}), kOk);
}

TEST_F(T38EntityTest, CapabilitiesParametersAndActivation) {
  bytes caps = request(ENT_FOIP, T38__CAPABILITIES_RQ, {}, 40);
  ASSERT_EQ(caps.size(), T38__CAPABILITIES_CO_SIZE);
  EXPECT_EQ(caps[0], 2);
  EXPECT_EQ(caps[2], 'J');
  EXPECT_EQ(caps[4], 1);                  // version
  EXPECT_EQ(get_le16(&caps[5]), 14400);   // bit rate
  EXPECT_EQ(caps[7], 2);                  // transferred TCF
  EXPECT_EQ(get_le16(&caps[11]), 10500);  // buffer
  EXPECT_EQ(get_le16(&caps[13]), 1500);   // datagram
  EXPECT_EQ(caps[15], 2);                 // redundancy
  EXPECT_EQ(caps[16], 1);                 // TCP

  ASSERT_EQ(configure({udp_entry(2)}), kOk);
  auto param = [&](u8 kind, u32 value) {
    bytes b(10, 0);
    b[3] = kind;
    put_le32(&b[4], value);
    bytes co = request(ENT_FOIP, T38__SET_PARAM_RQ, b, 2);
    co.resize(3);
    return co;
  };
  EXPECT_EQ(param(1, 9600), kOk);
  EXPECT_EQ(param(1, 1234), (bytes{3, 77, 'J'}));
  EXPECT_EQ(param(2, 9600), (bytes{3, 1, 'J'}));

  request(ENT_FM, T38__ACT_RQ, {}, 2);
  EXPECT_EQ(session(2).mark, T38__SESSION_ACTIVATED);
  EXPECT_EQ(session(2).act_entity, ENT_FM);
  request(ENT_FM, T38__DEA_RQ, {}, 2);
  EXPECT_EQ(session(2).mark, T38__SESSION_CONFIGURED);
  EXPECT_EQ(iaf.user_codes, (std::vector<code_t>{T38__ACT_RQ, T38__DEA_RQ}));
  // Primitives for a nai without a session are dropped.
  request(ENT_FM, T38__ACT_RQ, {}, 9);
  EXPECT_EQ(iaf.user_codes.size(), 2u);
}

TEST_F(T38EntityTest, TimerExpiryCountsOnlyWithTheCurrentIdentifier) {
  t38_session_entry e = udp_entry(2);
  e.ip.idle_ip_inactivity_ms = 200;
  ASSERT_EQ(configure({e}), kOk);
  t38_session& s = session(2);
  ASSERT_EQ(t38_ifp__send(T38_IFP__MODE_SEND, T38_IND__CNG, nullptr, s), 2);
  ASSERT_EQ(datagrams().size(), 1u);
  const u8 current = s.timers[TI_IP_INACTIVE].id;
  EXPECT_EQ(s.timers[TI_IP_INACTIVE].armed, 1);
  auto expiry = [&](u8 id) {
    msg_t* m = rt_test::make_msg(ENT_TI, ENT_T38, 'i', {id, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 2);
    Send_msg(m);
    rt_test::pump();
  };
  expiry(static_cast<u8>(current - 1));
  EXPECT_EQ(datagrams().size(), 1u);
  expiry(current);
  ASSERT_EQ(datagrams().size(), 2u);
  EXPECT_EQ(datagrams()[1], datagrams()[0]);  // the idle resend
  // The real timer: every 200 ms of silence one more resend.
  advance(450);
  EXPECT_EQ(datagrams().size(), 4u);
  EXPECT_EQ(s.ifp.cnt.idle_sent, 3u);
}

TEST_F(T38EntityTest, DeaInCarriesStatisticsAndCounters) {
  ASSERT_EQ(configure({udp_entry(2)}), kOk);
  t38_session& s = session(2);
  request(ENT_FM, T38__ACT_RQ, {}, 2);
  ASSERT_EQ(t38_ifp__send(T38_IFP__MODE_SEND, T38_IND__CED, nullptr, s), 2);
  const uint8_t other[4] = {10, 1, 2, 3};
  Send_msg(testing::socket_msg(SOCK_U_DA_IN, 2,
                               testing::with_source(testing::udptl(0, testing::ifp(T38_IND__CNG)), 4000, other)));
  rt_test::pump();
  t38__send_t38__dea_in(2, 0, "end", s);
  rt_test::pump();
  auto dea = sent(ENT_FM, T38__DEA_IN);
  ASSERT_EQ(dea.size(), 1u);
  const bytes& b = dea[0].data;
  ASSERT_EQ(b.size(), T38__DEA_IN_SIZE);
  EXPECT_EQ(b[0], 2);
  EXPECT_EQ(b[2], 'J');
  EXPECT_EQ(dea[0].sapi, T38__SAPI_MANAGEMENT);
  EXPECT_EQ(get_le32(&b[4]), 0xA1A2A3A4u);  // IAF statistics
  EXPECT_EQ(get_le32(&b[4 + 84]), 1u);      // UDPTL packets sent
  EXPECT_EQ(get_le32(&b[4 + 120]), 1u);     // datagrams received
  EXPECT_EQ(get_le16(&b[4 + 112]), 1500);   // adjusted datagram size
  EXPECT_EQ(get_le32(&b[4 + T38__STAT_FOREIGN_SOURCE_OFFSET]), 1u);
  EXPECT_EQ(get_le16(&b[4 + 264 + 20]), 5);  // last enhanced counter
  // The packet from the other address was delivered all the same.
  ASSERT_EQ(iaf.got[2].size(), 1u);
  EXPECT_EQ(iaf.got[2][0].type_byte, T38_IND__CNG);
}

TEST_F(T38EntityTest, TrapReportsCopyNamesAndTextsWithABound) {
  t38_session_entry on = udp_entry(1);
  on.report.error_report_bfi = 1;
  t38_session_entry off = udp_entry(2);
  ASSERT_EQ(configure({on, off}), kOk);
  const std::string name(60, 'N');
  const std::string text(150, 'T');
  t38_report__trap(0, 1, 12099, name.c_str(), text.c_str(), session(1));
  t38_report__trap(0, 1, 12099, name.c_str(), text.c_str(), session(2));
  t38_report__trap(1, 1, 12019, "T38__TRAP__IFP_OM_OS_BLOCK_MEM_ERROR_FREE_TWICE", "x", session(1));
  rt_test::pump();
  auto reports = sent(ENT_FOIP, T38__REPORT_IN);
  ASSERT_EQ(reports.size(), 2u);  // none for the session without error reports
  const bytes& r = reports[0].data;
  ASSERT_EQ(r.size(), T38__REPORT_BODY_SIZE);
  EXPECT_EQ(r[0], 'R');
  EXPECT_EQ(get_le32(&r[8]), 1u);
  EXPECT_EQ(get_le16(&r[12]), 12099);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&r[14])), std::string(44, 'N'));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&r[59])), std::string(99, 'T'));
  // A report built with a non-zero origin is relayed by the entity.
  EXPECT_EQ(reports[1].from, ENT_T38);
  EXPECT_EQ(get_le16(&reports[1].data[12]), 12019);
  EXPECT_EQ(session(2).rep.trap_count, 1u);
  EXPECT_EQ(trace.errors.size(), 3u);
}

TEST_F(T38EntityTest, LossesAreReportedAtTheNextTickThenTogether) {
  t38_session_entry e = udp_entry(1);
  e.report.error_report_bfi = 0x8;
  e.report.freq_error_report_ms = 500;
  ASSERT_EQ(configure({e}), kOk);
  t38_session& s = session(1);
  t38_report__trap(0, 0x8, 0, "", "", s, 3);
  advance(30);  // the next ticks of the wheel
  auto r = sent(ENT_FOIP, T38__REPORT_IN);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(get_le32(&r[0].data[8]), 8u);
  EXPECT_EQ(get_le32(&r[0].data[160]), 3u);
  t38_report__trap(0, 0x8, 0, "", "", s, 1);
  t38_report__trap(0, 0x8, 0, "", "", s, 2);
  advance(300);
  EXPECT_EQ(sent(ENT_FOIP, T38__REPORT_IN).size(), 1u);
  advance(250);
  r = sent(ENT_FOIP, T38__REPORT_IN);
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(get_le32(&r[1].data[160]), 6u);
}

TEST_F(T38EntityTest, NetworkSimulationIsAnnouncedAlways) {
  t38_session_entry e = udp_entry(1);
  e.sim.nb_of_pck_lost = 4;
  e.sim.freq_pck_lost = 1;
  ASSERT_EQ(configure({e}), kOk);
  auto r = sent(ENT_FOIP, T38__REPORT_IN);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].data[0], 'E');
  EXPECT_EQ(get_le32(&r[0].data[8]), T38__EVENT__NETWORK_SIMULATION);
  EXPECT_EQ(session(1).sim_cfg.freq_pck_lost, 8);
}

TEST_F(T38EntityTest, LossSimulationDestroysTheBurstOfEveryCycle) {
  t38_session_entry e = udp_entry(1);
  e.sim.nb_of_pck_lost = 2;
  e.sim.freq_pck_lost = 10;
  e.ip.nb_red_ifp_pck__default = 0;
  ASSERT_EQ(configure({e}), kOk);
  iaf.take_packets = false;
  for (u16 i = 0; i < 24; ++i) receive(1, testing::udptl(i, testing::ifp(T38_IND__CNG)));
  // Datagrams 10, 11, 22 and 23 (counted from 1) never reached the fifo.
  std::vector<u32> seqs;
  for (t38_ifp_packet* p = session(1).ifp.rx_head; p != nullptr; p = p->next) seqs.push_back(p->ext_seq);
  std::vector<u32> expect;
  for (u32 i = 0; i < 24; ++i) {
    if (i != 9 && i != 10 && i != 21 && i != 22) expect.push_back(i);
  }
  EXPECT_EQ(seqs, expect);
  EXPECT_EQ(session(1).sim.datagrams, 24u);
}

TEST_F(T38EntityTest, DelayedDatagramsArriveInOrderAfterTheDelay) {
  t38_session_entry e = udp_entry(1);
  e.sim.pck_delayed_ms = 300;
  e.sim.nb_of_pck_delayed = 2;
  e.sim.freq_pck_delayed = 3;
  ASSERT_EQ(configure({e}), kOk);
  for (u16 i = 0; i < 5; ++i) receive(1, testing::udptl(i, testing::ifp(T38_IND__CNG)));
  // The third and fourth are held; the fifth waits for them in the fifo.
  EXPECT_EQ(iaf.got[1].size(), 2u);
  advance(200);
  EXPECT_EQ(iaf.got[1].size(), 2u);
  advance(150);
  ASSERT_EQ(iaf.got[1].size(), 5u);
  for (u32 i = 0; i < 5; ++i) EXPECT_EQ(iaf.got[1][i].ext_seq, i);
  EXPECT_EQ(session(1).ifp.cnt.lost, 0u);
}

TEST_F(T38EntityTest, IfpPoolCongestionMarkAndItsEnd) {
  t38_session_entry e = udp_entry(1);
  e.report.error_report_bfi = 0x40;
  ASSERT_EQ(configure({e}), kOk);
  t38_session& s = session(1);
  std::vector<t38_ifp_packet*> held;
  for (int i = 0; i < 57; ++i) held.push_back(s.pools.alloc_ifp_pck());
  EXPECT_EQ(s.pools.ifp_packets().congested, 0);
  held.push_back(s.pools.alloc_ifp_pck());  // 2 left
  EXPECT_EQ(s.pools.ifp_packets().congested, 1);
  EXPECT_EQ(s.pools.ifp_packets().congestion_count, 1u);
  held.push_back(s.pools.alloc_ifp_pck());
  held.push_back(s.pools.alloc_ifp_pck());
  EXPECT_EQ(s.pools.alloc_ifp_pck(), nullptr);
  EXPECT_EQ(s.pools.ifp_packets().high_water, 60);
  advance(30);
  auto r = sent(ENT_FOIP, T38__REPORT_IN);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(get_le32(&r[0].data[8]), 0x40u);
  EXPECT_EQ(get_le32(&r[0].data[160]), 1u);
  // Received datagrams are ignored while the mark is set.
  receive(1, testing::udptl(0, testing::ifp(T38_IND__CNG)));
  EXPECT_EQ(iaf.stores.back(), 3);
  for (int i = 0; i < 6; ++i) {
    s.pools.free_ifp_pck(held.back());
    held.pop_back();
  }
  EXPECT_EQ(s.pools.ifp_packets().congested, 1);  // 6 free
  s.pools.free_ifp_pck(held.back());
  held.pop_back();
  EXPECT_EQ(s.pools.ifp_packets().congested, 0);  // 7 free
  for (t38_ifp_packet* p : held) s.pools.free_ifp_pck(p);
  EXPECT_EQ(s.pools.ifp_packets().in_use, 0);
}

TEST_F(T38EntityTest, DataFieldPoolCongestionAndADoubleFreeTrap) {
  t38_session_entry e = udp_entry(1);
  e.report.error_report_bfi = 0x1;
  ASSERT_EQ(configure({e}), kOk);
  t38_session& s = session(1);
  std::vector<t38_data_field*> held;
  for (int i = 0; i < 291; ++i) held.push_back(s.pools.alloc_data_object(0));
  EXPECT_EQ(s.pools.data_fields().congested, 1);  // 9 free
  for (t38_data_field* f : held) s.pools.free_data_field(f);
  EXPECT_EQ(s.pools.data_fields().congested, 0);
  EXPECT_EQ(s.pools.data_fields().high_water, 291);
  // Freeing a block twice is a pool error of this session's data fields.
  t38_data_field* f = s.pools.alloc_data_object(0);
  s.pools.free_data_field(f);
  s.pools.free_data_field(f);
  rt_test::pump();
  auto r = sent(ENT_FOIP, T38__REPORT_IN);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(get_le16(&r[0].data[12]), 12022);
}

}  // namespace
}  // namespace kv::t38
