// The T.38 trace writer and the T.30 inspection: line headers, hex dumps,
// trace reports, the store hook and its switches, the DIS/DTC rate clamp
// and V.8 bit, page counting, and golden texts of a traced V.21 exchange
// and of the dumps.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "common/byte_order.h"
#include "t38/support/t38iaf_b2b.h"
#include "t38/t38_entity.h"
#include "t38/t38_report.h"
#include "t38/t38_t30.h"

namespace kv::t38::testing {
namespace {

struct stored_line {
  nai_t nai;
  u32 trace_class;
  std::string text;
};
std::vector<stored_line> g_stored;

void store(nai_t nai, u32 trace_class, const char* text, u32 length) {
  g_stored.push_back({nai, trace_class, std::string(text, length)});
}

class TraceTest : public T38IafB2B {
 protected:
  void SetUp() override {
    T38IafB2B::SetUp();
    g_stored.clear();
    t38_trace__set_store(store);
  }
  void TearDown() override {
    t38_trace__set_store(nullptr);
    T38IafB2B::TearDown();
  }
  static std::string text_of(nai_t nai, u32 classes) {
    std::string out;
    for (const auto& l : g_stored) {
      if (l.nai == nai && (l.trace_class & classes) != 0) out += l.text;
    }
    return out;
  }
  // A V.21 exchange of frames from A to B.
  void send_frames(const std::vector<std::vector<u8>>& frames) {
    fax_act(kB, 2, 0x2081);
    fax_act(kA, 1, 0x2081);
    for (size_t i = 0; i < frames.size(); ++i) fax_da(kA, frames[i], i + 1 == frames.size());
    ASSERT_TRUE(run_until([&] { return received(kB).size() == frames.size(); }, 10000));
    ASSERT_TRUE(run_until([&] { return progress_time(kA, T38IAF__FAX_END_OF_DATA) >= 0; }, 5000));
    fax_dea(kA);
    fax_dea(kB);
  }
};

void expect_golden(const std::string& name, const std::string& got) {
  const std::string path = std::string(KV_SOURCE_DIR) + "/tests/t38/golden/" + name;
  if (std::getenv("KV_WRITE_GOLDEN")) {
    std::ofstream(path, std::ios::binary) << got;
  }
  std::ifstream in(path, std::ios::binary);
  ASSERT_TRUE(in.good()) << path;
  std::stringstream want;
  want << in.rdbuf();
  EXPECT_EQ(got, want.str()) << path;
}

TEST(TraceHeader, AgeClassAndDirection) {
  struct header_case {
    u32 age;
    u32 trace_class;
    u8 direction;
    const char* want;
  };
  const header_case cases[] = {
      {1234, 0x80, 0, "000001234 ms : T.30           :3: from IP  : "},
      {0, 0x2, 5, "000000000 ms : MSG            :M: to   ENT : "},
      {987654321, 0x10000, 6, "987654321 ms : BAD HDLC FRAME :Z:          : "},
      {5, 0x3, 1, "000000005 ms : ????           :?: to   IP  : "},
      {5, 0x20, 9, "000000005 ms : T.38 PCK       :8: from IP  : "},
      {5, 0x100, 0x80, "             :                :T:          : "},
      {5, 0x7, 0x81, "             : ????           :?:          : "},
  };
  for (const header_case& c : cases) EXPECT_EQ(t38_trace__header(c.age, c.trace_class, c.direction), c.want);
}

TEST(TraceFormat, NumberFormatter) {
  struct number_case {
    i32 value;
    u32 flags;
    const char* want;
  };
  const number_case cases[] = {
      {1234, 10, "1234"},
      {-1234, 10, "-1234"},
      {-1, 10 | T38_FMT__UNSIGNED, "4294967295"},
      {255, 16, "ff"},
      {255, 16 | T38_FMT__UPPER, "FF"},
      {1234, 10 | (9 << 8), "000001234"},
      {5, 2 | (4 << 8), "0101"},
      {35, 36 | T38_FMT__UPPER, "Z"},
      {-16, 16, "fffffff0"},  // only base 10 is signed
      {7, 1, ""},
      {7, 37, ""},
  };
  char out[48];
  for (const number_case& c : cases) {
    EXPECT_EQ(t38_trace__format_number(c.value, out, c.flags), std::strlen(c.want)) << c.want;
    EXPECT_STREQ(out, c.want);
  }
}

TEST(TraceFormat, LineWriterConversions) {
  EXPECT_EQ(t38_trace__format("a=%d b=%u c=%x d=%X", -5, 7u, 255, 171), "a=-5 b=7 c=FF d=AB");
  EXPECT_EQ(t38_trace__format("[%4d] [%8X] %lu%%", 42, 0x1234, 9u), "[0042] [00001234] 9%%");
  EXPECT_EQ(t38_trace__format("%s:%c", "nai", 'J'), "nai:J");
  EXPECT_EQ(t38_trace__format("%d %d %d %d %d", 1, 2, 3, 4), "1 2 3 4 %d") << "a fifth conversion stays";
  EXPECT_EQ(t38_trace__format("%f %q %d", 3), "%f %q 3") << "unknown conversions stay";
  EXPECT_EQ(t38_trace__format("%s", static_cast<const char*>(nullptr)), "");
}

TEST_F(TraceTest, HexDumpLinesAndCut) {
  start([](t38_session_entry& e) { e.report.trace_report_bfi = T38_TRC__T30; });
  t38_session& s = *t38__find_session(kA);
  std::vector<u8> bytes(40);
  for (u8 i = 0; i < 40; ++i) bytes[i] = i;
  g_stored.clear();
  t38_trace__hex(s, 6, T38_TRC__T30, "Title", bytes.data(), 40, 50);
  ASSERT_EQ(g_stored.size(), 2u);
  // The title takes a third of its length off the first line's 32 bytes.
  EXPECT_EQ(g_stored[0].text.substr(15),
            "T.30           :3:          : Title (len = 50) 00 01 02 03 04 05 06 07 08 09 0A 0B "
            "0C 0D 0E 0F 10 11 12 13 14 15 16 17 18 19 1A 1B 1C 1D 1E \n");
  EXPECT_EQ(g_stored[1].text, "             :                :3:          : 1F 20 21 22 23 24 25 26 27 ...\n");
}

TEST_F(TraceTest, SetUpRaisesTimersAndDumpSizesToTheirFloors) {
  start([](t38_session_entry& e) {
    e.report.trace_flush_timer = 0;
    e.report.freq_error_report_ms = 5;
    e.report.max_byte_fax_hex = 0;
    e.report.max_byte_asn1_hex = 3;
    e.report.max_byte_udptl_hex = 200;
  });
  const t38__report_param& r = t38__find_session(kA)->report_cfg;
  EXPECT_EQ(r.trace_flush_timer, 100u);
  EXPECT_EQ(r.freq_error_report_ms, 100u);
  EXPECT_EQ(r.max_byte_fax_hex, 10);
  EXPECT_EQ(r.max_byte_asn1_hex, 10);
  EXPECT_EQ(r.max_byte_udptl_hex, 200);
}

TEST_F(TraceTest, StoreAndReportSwitches) {
  struct switch_case {
    u8 macro;
    bool stored;
    bool reported;
  };
  for (switch_case sc : {switch_case{0, true, true}, {1, true, false}, {2, false, true}, {3, false, false}}) {
    SCOPED_TRACE(int(sc.macro));
    start([&](t38_session_entry& e) {
      e.report.trace_report_bfi = T38_TRC__AUTOMATON;
      e.report.report__macro_ctrl_bfi = sc.macro;
      e.report.trace_flush_timer = 500;
    });
    g_stored.clear();
    rt_test::rec().clear();
    fax_act(kA, 1, 0x1840);
    advance(600);
    EXPECT_EQ(!text_of(kA, T38_TRC__AUTOMATON).empty(), sc.stored);
    int reports = 0;
    for (const auto& m : rt_test::rec().messages()) {
      if (m.code == T38__REPORT_IN && m.nai == kA && !m.data.empty() && m.data[0] == 'T') ++reports;
    }
    EXPECT_EQ(reports > 0, sc.reported);
    request(ENT_FOIP, T38__RESET_CONFIG_RQ, {}, kA, T38__SAPI_MANAGEMENT);
    request(ENT_FOIP, T38__RESET_CONFIG_RQ, {}, kB, T38__SAPI_MANAGEMENT);
  }
}

TEST_F(TraceTest, ReportGoesOutAtTheCharacterCountElseAtTheTimer) {
  start([](t38_session_entry& e) {
    e.report.trace_report_bfi = T38_TRC__AUTOMATON;
    e.report.trace_flush_nb_char = 1000;
    e.report.trace_flush_timer = 5000;
  });
  rt_test::rec().clear();
  auto reports = [] {
    std::vector<std::vector<u8>> out;
    for (const auto& m : rt_test::rec().messages()) {
      if (m.code == T38__REPORT_IN && m.nai == kA && !m.data.empty() && m.data[0] == 'T') out.push_back(m.data);
    }
    return out;
  };
  fax_act(kA, 1, 0x1840);  // far more than 1000 characters of automaton trace
  auto r = reports();
  ASSERT_FALSE(r.empty());
  const u16 len = get_le16(r[0].data() + 8);
  EXPECT_GE(len, 1000u);
  EXPECT_EQ(r[0].size(), T38__REPORT_BODY_SIZE + len);
  EXPECT_EQ(r[0][1], 'I');
  // What is left goes at the timer.
  const size_t before = r.size();
  const std::string rest = trace.pending(*t38__find_session(kA));
  ASSERT_FALSE(rest.empty());
  advance(5100);
  EXPECT_GT(reports().size(), before);
}

TEST_F(TraceTest, DisRateFieldIsClampedAndV8BitCleared) {
  struct clamp_case {
    u16 max_bit_rate;
    u8 rate_in;
    u8 rate_out;
  };
  for (clamp_case cc : {clamp_case{14400, 11, 11}, {9600, 11, 3}, {9600, 1, 1}, {4800, 11, 2}, {4800, 3, 2}}) {
    SCOPED_TRACE(cc.max_bit_rate);
    start([&](t38_session_entry& e) { e.caps.fax_max_bit_rate = cc.max_bit_rate; });
    const std::vector<u8> dis{0xFF, 0x13, 0x80, 0x20, static_cast<u8>(0x40 | (cc.rate_in << 2)), 0x00};
    send_frames({dis});
    const auto got = received(kB);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0][3] & 0x20, 0) << "V.8 bit";
    EXPECT_EQ((got[0][4] >> 2) & 0xF, cc.rate_out);
    EXPECT_EQ(got[0][4] & 0xC3, 0x40) << "other bits of the octet pass";
    request(ENT_FOIP, T38__RESET_CONFIG_RQ, {}, kA, T38__SAPI_MANAGEMENT);
    request(ENT_FOIP, T38__RESET_CONFIG_RQ, {}, kB, T38__SAPI_MANAGEMENT);
    fm_log->clear();
  }
}

TEST(T30Inspection, PpsWithZeroFirstOctetCountsNoNewPage) {
  t38_session s;  // no trace writer: only the counting runs
  t30_call_record call;
  t30_frame_record f;
  auto frame = [&](std::vector<u8> bytes) {
    t30_frame__reset(f);
    for (u8& b : bytes) t30_frame__octet(f, b, 14400, call);
    return t30_frame__end(f, true, call, s);
  };
  auto page_data = [&] {
    t30_frame__reset(f);
    const u8 d[3] = {1, 2, 3};
    t30_frame__hs_field(f, T38_FIELD__HDLC_DATA, d, 3, call, s);
    t30_frame__hs_field(f, T38_FIELD__HDLC_FCS_OK_SIG_END, nullptr, 0, call, s);
  };
  frame({0xFF, 0x13, 0x84});  // CFR: the next data is a new page
  page_data();
  EXPECT_EQ(call.page_count, 1);
  frame({0xFF, 0x13, 0xBE, 0x00, 0, 0, 0});  // PPS-NULL: same page goes on
  page_data();
  EXPECT_EQ(call.page_count, 1);
  frame({0xFF, 0x13, 0xBE, 0x4E, 0, 0, 0});  // PPS-MPS: the next page
  page_data();
  EXPECT_EQ(call.page_count, 2);
  EXPECT_EQ(frame({0xFF, 0x13, 0x83, 0x00, 0x60, 0x00, 0x4C}), T30__FRAME_DCS);
  EXPECT_EQ(call.fact_rate, 8);
  EXPECT_EQ(call.fact_ecm, 1);
  EXPECT_EQ(call.fact_ecm_size, 64);
  EXPECT_EQ(call.highest, 8);
  EXPECT_EQ(frame({0xFF, 0x13, 0xFB}), T30__FRAME_DCN);
  EXPECT_EQ(frame({0xFF, 0x03}), T30__FRAME_OTHER) << "too short for an FCF";
  u8 stats[T30__STATISTICS_SIZE];
  t30__statistics(call, stats, nullptr);
  EXPECT_EQ(get_le16(stats), 2);
  EXPECT_EQ(stats[2], 8);
  EXPECT_EQ(get_le16(stats + 4 + 2 * 14), 2) << "PPS counted";
}

TEST_F(TraceTest, DcnStopsTheAnalysisOfReceivedPackets) {
  start();
  send_frames({{0xFF, 0x13, 0xFB}});
  EXPECT_EQ(t38__find_session(kB)->dcn_seen, 1);
  EXPECT_EQ(iaf.find(*t38__find_session(kB))->enh[0], 1);
}

TEST_F(TraceTest, GoldenTraceOfAV21Exchange) {
  start([](t38_session_entry& e) {
    e.report.trace_report_bfi = T38_TRC__T30 | T38_TRC__PACKET;
    e.report.max_byte_fax_hex = 16;
    e.caps.fax_max_bit_rate = 9600;
  });
  g_stored.clear();
  send_frames({{0xFF, 0x03, 0x40, 'h', 'g', 'f', 'e', 'd', 'c', 'b', 'a'},
               {0xFF, 0x13, 0x80, 0x20, 0x6C, 0x1F, 0x01, 0x02, 0x03, 0x04, 0x05,
                0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x04}});
  expect_golden("v21_exchange_sender.txt", text_of(kA, T38_TRC__T30 | T38_TRC__PACKET));
  expect_golden("v21_exchange_receiver.txt", text_of(kB, T38_TRC__T30));
}

TEST_F(TraceTest, GoldenDetailedPacketTrace) {
  start([](t38_session_entry& e) {
    e.report.trace_report_bfi = T38_TRC__PACKET;
    e.report.detailed_packet_trace = 1;
    e.ip.nb_red_ifp_pck__default = 2;
  });
  g_stored.clear();
  send_frames({{0xFF, 0x13, 0x84}});
  const std::string text = text_of(kA, T38_TRC__PACKET);
  EXPECT_NE(text.find("       Secondary IFP Packet {"), std::string::npos);
  expect_golden("v21_exchange_detailed.txt", text);
}

TEST_F(TraceTest, GoldenDumps) {
  start([](t38_session_entry& e) { e.report.trace_report_bfi = T38_TRC__CNF_B | T38_TRC__PACKET; });
  send_frames({{0xFF, 0x13, 0x84}});
  g_stored.clear();
  t38_session& s = *t38__find_session(kA);
  t38_dump__compilation_parameters(s);
  t38_dump__common_configuration(s, 3000);
  u8 record[T38__STATISTICS_SIZE] = {};
  t38_dump__transport_statistics(true, record, s, 0);
  EXPECT_EQ(get_le32(record + 84), s.ifp.cnt.udptl_sent);
  expect_golden("dumps_udp.txt", text_of(kA, T38_TRC__CNF_B | T38_TRC__PACKET));
}

std::vector<u32> event_kinds(nai_t nai) {
  std::vector<u32> out;
  for (const auto& m : rt_test::rec().messages()) {
    if (m.code == T38__REPORT_IN && m.nai == nai && m.data.size() >= 12 && m.data[0] == 'E') {
      out.push_back(get_le32(m.data.data() + 8));
    }
  }
  return out;
}

TEST_F(TraceTest, EventReportsOfFramesPagesAndTones) {
  start([](t38_session_entry& e) { e.report.event_report_bfi = 0xFFFF; });
  rt_test::rec().clear();
  signal(kA, T38IAF__SIGNAL_RQ, T38IAF__TONE_XMT, T38IAF__TONE_CED);
  // DCS at 9600 (V.29), then CFR, then the page after it.
  send_frames({{0xFF, 0x13, 0x83, 0x00, 0x04, 0x00, 0x00}});
  EXPECT_EQ(event_kinds(kB), (std::vector<u32>{0x4, 0x10}));
  EXPECT_EQ(event_kinds(kA), (std::vector<u32>{0x20}));
  const auto reports = rt_test::rec().messages();
  for (const auto& m : reports) {
    if (m.code == T38__REPORT_IN && m.nai == kB && m.data.size() >= 18 && m.data[0] == 'E' &&
        get_le32(m.data.data() + 8) == 0x10) {
      EXPECT_EQ(m.data[12], 0x82) << "FCF";
      EXPECT_EQ(m.data[13], 1) << "rate field of DCS";
    }
  }
  rt_test::rec().clear();
  fm_log->clear();
  fax_act(kB, 2, 0x1210);
  fax_act(kA, 1, 0x1210);
  fax_da(kA, std::vector<u8>(100, 0x55), 1);
  ASSERT_TRUE(run_until([&] { return progress_time(kB, T38IAF__FAX_CD_OFF) >= 0; }, 5000));
  // TCF after the DCS: high-speed data begins and ends, in both sessions.
  EXPECT_EQ(event_kinds(kA), (std::vector<u32>{0x100, 0x4000}));
  EXPECT_EQ(event_kinds(kB), (std::vector<u32>{0x80, 0x2000}));
}

// The configuration as the session traces it, less the context sizes (they
// follow the build).
std::string session_dump(nai_t nai) {
  std::string out;
  for (const auto& l : g_stored) {
    if (l.nai != nai || l.trace_class != T38_TRC__CNF_B) continue;
    if (l.text.find("Context size:") != std::string::npos ||
        l.text.find("struct t38_session_context") != std::string::npos) {
      continue;
    }
    out += l.text;
  }
  return out;
}

TEST_F(TraceTest, GoldenSessionConfigurationUdpWithSmallDatagrams) {
  start([](t38_session_entry& e) {
    e.report.trace_report_bfi = T38_TRC__CNF_B;
    e.caps.max_datagram_size = 100;
    e.ip.nb_red_ifp_pck__default = 3;
    e.ip.nb_red_ifp_pck__tcf = 3;
    e.ip.nb_red_ifp_pck__fax_pg_no_ecm = 3;
    e.ip.nb_red_ifp_pck__fax_pg_ecm = 3;
  });
  const std::string text = session_dump(kA);
  EXPECT_NE(text.find("updated to 16 (initial value was: T38__MAX_SIZE_DATA_FIELD = 50)"), std::string::npos);
  expect_golden("session_config_udp.txt", text);
}

TEST_F(TraceTest, GoldenSessionConfigurationTcp) {
  start([](t38_session_entry& e) {
    e.report.trace_report_bfi = T38_TRC__CNF_B;
    e.ip.media_transport = T38__MEDIA_TPKT;
  });
  const std::string text = session_dump(kA);
  EXPECT_NE(text.find("(ignored) u8  nb_red_ifp_pck__default;"), std::string::npos);
  EXPECT_NE(text.find("u16 max_datagram_size; (ignored)"), std::string::npos);
  expect_golden("session_config_tcp.txt", text);
}

}  // namespace
}  // namespace kv::t38::testing
