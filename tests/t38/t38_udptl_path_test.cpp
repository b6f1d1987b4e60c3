// The IFP layer of a live session over UDPTL: redundancy, idle resends,
// shedding and splitting on the way out; the receive fifo with its sequence
// extension, duplicates, loss detection and data-lost flag on the way in.
#include <gtest/gtest.h>

#include "runtime/sock.h"
#include "t38/runtime_chain.h"
#include "t38/support/t38_session_fixtures.h"
#include "t38/t38_entity.h"
#include "t38/t38_traps.h"
#include "t38/udptl.h"

namespace kv::t38 {
namespace {

using testing::field_def;
using testing::ifp;
using testing::T38EntityTest;
using testing::udp_entry;
using testing::udptl;
using bytes = std::vector<uint8_t>;

const bytes kOk = {2, 2, 'J'};

struct decoded_dgram {
  uint16_t seq = 0;
  bytes primary;
  std::vector<bytes> secondaries;
};

decoded_dgram decode(const bytes& d) {
  heap_chain_pool pool;
  t38_udptl_in in;
  decoded_dgram out;
  EXPECT_EQ(t38_udptl__decode(byte_ref{d.data(), static_cast<uint32_t>(d.size()), nullptr}, nullptr, pool, in), 0);
  out.seq = in.seq;
  out.primary = testing::bytes_of(&pool, in.primary);
  for (uint16_t i = 0; i < in.n_secondaries; ++i)
    out.secondaries.push_back(testing::bytes_of(&pool, in.secondaries[i]));
  t38_udptl__release(in, pool);
  return out;
}

uint8_t data_type(uint8_t v) { return static_cast<uint8_t>(T38_IFP__DATA_BIT | v); }

class UdptlPathTest : public T38EntityTest {
 protected:
  t38_session& open(t38_session_entry e) {
    EXPECT_EQ(configure({e}), kOk);
    return session(e.addr.nai);
  }
  u8 send_indicator(t38_session& s, uint8_t ind) { return t38_ifp__send(T38_IFP__MODE_SEND, ind, nullptr, s); }
  u8 send_data(t38_session& s, const std::vector<field_def>& defs) {
    return t38_ifp__send(T38_IFP__MODE_SEND, data_type(T38_DATA__V21), fields(s.nai, defs), s);
  }
};

TEST_F(UdptlPathTest, SecondariesNewestFirstAndIdleResendIsTheSameDatagram) {
  t38_session& s = open(udp_entry(1, 4000, 2));
  for (uint8_t i = 0; i <= 12; ++i) ASSERT_EQ(send_indicator(s, static_cast<uint8_t>(i % 16)), 2);
  auto d = datagrams();
  ASSERT_EQ(d.size(), 13u);
  decoded_dgram last = decode(d[12]);
  EXPECT_EQ(last.seq, 12);
  EXPECT_EQ(last.primary, ifp(12));
  EXPECT_EQ(last.secondaries, (std::vector<bytes>{ifp(11), ifp(10)}));
  EXPECT_EQ(decode(d[0]).secondaries.size(), 0u);
  EXPECT_EQ(s.ifp.tx_count, 3);
  ASSERT_EQ(t38_ifp__send(T38_IFP__MODE_IDLE, 0, nullptr, s), 2);
  d = datagrams();
  ASSERT_EQ(d.size(), 14u);
  EXPECT_EQ(d[13], d[12]);
  // The address record names the peer.
  auto msg = sent(ENT_IP, SOCK_U_DA_RQ).back();
  const sock_addr to = sock_addr_unpack(msg.data.data());
  EXPECT_EQ(to.family, SOCK_FAMILY_IPV4);
  EXPECT_EQ(to.port, 4000);
  EXPECT_EQ(msg.sapi, 1);
  EXPECT_EQ(s.ifp.cnt.udptl_sent, 14u);
  EXPECT_EQ(s.ifp.cnt.idle_sent, 1u);
}

TEST_F(UdptlPathTest, DatagramsStayWithinTheSizeBySheddingOrAreRefused) {
  t38_session_entry e = udp_entry(1, 4000, 3);
  e.caps.max_datagram_size = 50;
  t38_session& s = open(e);
  const field_def f{T38_FIELD__HDLC_DATA, bytes(12, 0x5A)};
  for (int i = 0; i < 4; ++i) ASSERT_EQ(send_data(s, {f}), 2);
  for (const bytes& d : datagrams()) EXPECT_LE(d.size(), 50u);
  EXPECT_LT(decode(datagrams().back()).secondaries.size(), 3u);
  EXPECT_GT(s.ifp.cnt.asn1_redundancy, 0u);
  // A packet too long even alone is not sent.
  const size_t before = datagrams().size();
  EXPECT_EQ(send_data(s, {{T38_FIELD__HDLC_DATA, bytes(50, 1)}}), 3);
  EXPECT_EQ(datagrams().size(), before);
  ASSERT_FALSE(trace.errors.empty());
  EXPECT_EQ(trace.errors.back(), T38__TRAP__IFP_PCK__ASN1__TOO_LONG);
}

TEST_F(UdptlPathTest, PageDataIsSplitToTheEstimatedRoom) {
  t38_session_entry e = udp_entry(1, 4000, 3);
  e.caps.max_datagram_size = 100;
  t38_session& s = open(e);
  ASSERT_EQ(s.ifp.max_dfield_size, 16);
  std::vector<field_def> defs;
  for (uint8_t i = 0; i < 6; ++i) defs.push_back({T38_FIELD__T4_NON_ECM_DATA, bytes(16, i)});
  ASSERT_EQ(t38_ifp__send(T38_IFP__MODE_SEND, data_type(T38_DATA__V17_14400), fields(1, defs), s), 2);
  auto d = datagrams();
  ASSERT_GT(d.size(), 1u);
  // Every field arrives once, in order, across the packets.
  std::vector<field_def> got;
  heap_field_pool pool;
  for (const bytes& dg : d) {
    EXPECT_LE(dg.size(), 100u);
    decoded_dgram x = decode(dg);
    t38_ifp_packet pck;
    pck.encoded = byte_ref{x.primary.data(), static_cast<uint32_t>(x.primary.size()), nullptr};
    ASSERT_EQ(decode_ifp_packet(T38_IFP__DECODE_KEEP, t38_ifp_decode_env{nullptr, &pool, false}, pck), 0);
    for (const auto& f : testing::fields_of(pck.fields)) got.push_back(f);
    t38_ifp__free_data_fields(pool, pck.fields);
  }
  EXPECT_EQ(got, defs);
  // Only the packets kept for redundancy still hold fields.
  u32 held = 0;
  for (const t38_ifp_packet* p = s.ifp.tx_first; p != nullptr; p = p->next)
    held += testing::fields_of(p->fields).size();
  EXPECT_EQ(s.pools.data_fields().in_use, held);
}

TEST_F(UdptlPathTest, LowerRedundancyWaitsUnlessFastSwitch) {
  for (u8 fast : {0, 1}) {
    SCOPED_TRACE(int(fast));
    t38_session_entry e = udp_entry(static_cast<nai_t>(1 + fast), 4000, 3);
    e.ip.fast_switch_redundancy = fast;
    t38_session& s = open(e);
    t38_ifp__update_redundancy(1, s);
    EXPECT_EQ(s.ifp.red_current, fast ? 1 : 3);
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(s.ifp.red_current, fast ? 1 : 3) << i;
      ASSERT_EQ(send_indicator(s, T38_IND__CNG), 2);
    }
    EXPECT_EQ(s.ifp.red_current, 1);
    // Raising it applies at once.
    t38_ifp__update_redundancy(2, s);
    EXPECT_EQ(s.ifp.red_current, 2);
  }
}

TEST_F(UdptlPathTest, InactivityUpdates) {
  t38_session_entry e = udp_entry(1);
  e.ip.idle_ip_inactivity_ms = 100;
  t38_session& s = open(e);
  t38_ifp__update_inactivity(50, s);  // shorter: at once
  EXPECT_EQ(s.ifp.inact_current, 50u);
  t38_ifp__update_inactivity(400, s);  // longer: after five packets
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(s.ifp.inact_current, 50u);
    ASSERT_EQ(send_indicator(s, T38_IND__CNG), 2);
  }
  EXPECT_EQ(s.ifp.inact_current, 400u);
  t38_ifp__update_inactivity(0xFFFF, s);
  EXPECT_EQ(s.ifp.inact_current, 0u);
  EXPECT_EQ(s.timers[TI_IP_INACTIVE].armed, 0);
  const size_t n = datagrams().size();
  advance(1000);
  EXPECT_EQ(datagrams().size(), n);
}

TEST_F(UdptlPathTest, SequenceExtensionAgainstTheLastDelivered) {
  struct row {
    u32 last;
    uint16_t seq;
    bool kept;
    u32 ext;
  };
  const row rows[] = {
      {65534, 3, true, 65539}, {100, 90, false, 0}, {100, 65000, true, 65000}, {0x1FFFF, 5, true, 0x20005}};
  nai_t nai = 1;
  for (const row& r : rows) {
    SCOPED_TRACE(r.seq);
    t38_session& s = open(udp_entry(nai, 4000, 0));
    iaf.take_packets = false;
    s.ifp.last_delivered = r.last;
    receive(nai, udptl(r.seq, ifp(T38_IND__CED)));
    if (r.kept) {
      ASSERT_NE(s.ifp.rx_head, nullptr);
      EXPECT_EQ(s.ifp.rx_head->ext_seq, r.ext);
    } else {
      EXPECT_EQ(s.ifp.rx_head, nullptr);
      EXPECT_EQ(s.ifp.cnt.already_received, 1u);
    }
    ++nai;
  }
}

TEST_F(UdptlPathTest, RedundancyFillsGapsAndDuplicatesAreDropped) {
  t38_session& s = open(udp_entry(1, 4000, 2));
  auto pk = [](uint16_t i) { return ifp(static_cast<uint8_t>(i % 16)); };
  receive(1, udptl(0, pk(0)));
  receive(1, udptl(0, pk(0)));                  // duplicate
  receive(1, udptl(3, pk(3), {pk(2), pk(1)}));  // 1 and 2 lost, repeated here
  ASSERT_EQ(iaf.got[1].size(), 4u);
  for (u32 i = 0; i < 4; ++i) EXPECT_EQ(iaf.got[1][i].ext_seq, i);
  EXPECT_EQ(s.ifp.cnt.already_received, 1u);
  EXPECT_EQ(s.ifp.cnt.lost, 0u);
  EXPECT_EQ(s.ifp.peer_redundancy, 2);
  EXPECT_EQ(s.pools.ifp_packets().in_use, 0);
}

TEST_F(UdptlPathTest, LossIsDeclaredBeyondThePeerRedundancyAndMarksTheNextFrameEnd) {
  t38_session& s = open(udp_entry(1, 4000, 0));
  auto ind = [](uint16_t i) { return ifp(static_cast<uint8_t>(i % 16)); };
  for (uint16_t i = 0; i <= 6; ++i) {
    std::vector<bytes> sec;
    for (uint16_t k = 1; k <= 3 && k <= i; ++k) sec.push_back(ind(static_cast<uint16_t>(i - k)));
    receive(1, udptl(i, ind(i), sec));
  }
  ASSERT_EQ(iaf.got[1].size(), 7u);
  EXPECT_EQ(s.ifp.peer_redundancy, 3);
  const bytes frame_end = ifp(data_type(T38_DATA__V21), {{T38_FIELD__HDLC_DATA, {1, 2}}, {T38_FIELD__HDLC_FCS_OK, {}}});
  for (uint16_t i = 8; i <= 10; ++i) receive(1, udptl(i, frame_end));
  EXPECT_EQ(iaf.got[1].size(), 7u);  // 8, 9, 10 wait for 7
  receive(1, udptl(11, frame_end));
  ASSERT_EQ(iaf.got[1].size(), 11u);
  EXPECT_EQ(iaf.got[1][7].ext_seq, 8u);
  EXPECT_EQ(iaf.got[1][7].lost_flags, (std::vector<uint8_t>{0, 1}));
  EXPECT_EQ(iaf.got[1][8].lost_flags, (std::vector<uint8_t>{0, 0}));
  EXPECT_EQ(s.ifp.cnt.lost, 1u);
  EXPECT_EQ(s.rep.count[2], 1u);  // class 0x8
}

TEST_F(UdptlPathTest, SequenceJumpsAreDeclaredInOneStep) {
  struct row {
    const char* what;
    uint16_t before;  // delivered up to this one
    uint16_t jump;
    u32 lost;
  };
  const row rows[] = {{"forward", 5, 40000, 39994}, {"backward read as a wrap", 5000, 100, 60635}};
  nai_t nai = 1;
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    t38_session& s = open(udp_entry(nai, 4000, 0));
    s.ifp.last_delivered = r.before;
    const int lines_before = trace.count("is lost");
    receive(nai, udptl(r.jump, ifp(T38_IND__CNG)));
    receive(nai, udptl(static_cast<uint16_t>(r.jump + 1), ifp(T38_IND__CNG)));
    EXPECT_EQ(s.ifp.cnt.lost, r.lost);
    EXPECT_EQ(iaf.got[nai].size(), 2u);
    EXPECT_LE(trace.count("is lost") - lines_before, 1);
    ++nai;
  }
}

TEST_F(UdptlPathTest, HostileSecondaryCountNeverExhaustsThePoolOrStallsDelivery) {
  t38_session& s = open(udp_entry(1, 4000, 0));
  // A datagram that repeats 200 older packets.
  std::vector<bytes> sec(200, ifp(T38_IND__CNG));
  receive(1, udptl(300, ifp(T38_IND__CED), sec));
  EXPECT_LE(s.ifp.peer_redundancy, T38_UDPTL__MAX_KEPT_SECONDARIES);
  EXPECT_EQ(s.pools.ifp_packets().congested, 0);
  // Delivery goes on: what was kept came out, and so do later packets.
  ASSERT_FALSE(iaf.got[1].empty());
  EXPECT_EQ(iaf.got[1].back().ext_seq, 300u);
  receive(1, udptl(301, ifp(T38_IND__CNG)));
  EXPECT_EQ(iaf.got[1].back().ext_seq, 301u);
  // A gap now waits only for as many datagrams as were kept.
  for (uint16_t i = 303; i < 303 + T38_UDPTL__MAX_KEPT_SECONDARIES + 1; ++i) receive(1, udptl(i, ifp(T38_IND__CNG)));
  EXPECT_EQ(iaf.got[1].back().ext_seq, 303u + T38_UDPTL__MAX_KEPT_SECONDARIES);
  EXPECT_EQ(s.pools.ifp_packets().in_use, 0);
}

TEST_F(UdptlPathTest, FecPacketsDeliverTheirPrimaryAndFilteredOrIgnoredDatagramsNothing) {
  t38_session& s = open(udp_entry(1, 4000, 0));
  // seq 0, primary "cng", error-recovery alternative 1 (fec-info).
  receive(1, {0x00, 0x00, 0x01, 0x02, 0x80, 0x01, 0x00, 0x00});
  ASSERT_EQ(iaf.got[1].size(), 1u);
  EXPECT_EQ(iaf.got[1][0].type_byte, T38_IND__CNG);
  EXPECT_EQ(trace.errors.back(), T38__TRAP__IFP_PCK__BAD_ERR_RECOVERY);
  // An RTP packet before anything else is delivered is filtered.
  t38_session& s2 = open(udp_entry(2, 4000, 0));
  receive(2, {0x80, 0x00, 0x12, 0x34, 0, 0, 0, 0});
  EXPECT_EQ(s2.ifp.cnt.rejected, 1u);
  // After a DCN every datagram is ignored.
  s.dcn_seen = 1;
  receive(1, udptl(1, ifp(T38_IND__CED)));
  EXPECT_EQ(iaf.got[1].size(), 1u);
}

TEST_F(UdptlPathTest, APacketPutBackIsDeliveredAgain) {
  t38_session& s = open(udp_entry(1, 4000, 0));
  iaf.take_packets = false;
  receive(1, udptl(0, ifp(data_type(T38_DATA__V21), {{T38_FIELD__HDLC_DATA, {9, 8, 7}}})));
  t38_rx_packet p;
  ASSERT_EQ(t38_ifp__get_ifp_pck(p, s), 2);
  ASSERT_EQ(p.ext_seq, 0u);
  ASSERT_EQ(t38_ifp__store_again_rcv_ifp_pck(p.type_byte, p.fields, s), 2);
  t38_rx_packet again;
  ASSERT_EQ(t38_ifp__get_ifp_pck(again, s), 2);
  EXPECT_EQ(again.ext_seq, 0u);
  EXPECT_EQ(testing::fields_of(again.fields), (std::vector<field_def>{{T38_FIELD__HDLC_DATA, {9, 8, 7}}}));
  t38_mem__free_data_objects(again.fields, s);
  // Type and fields must agree.
  EXPECT_EQ(t38_ifp__store_again_rcv_ifp_pck(data_type(T38_DATA__V21), nullptr, s), 3);
  EXPECT_EQ(trace.errors.back(), T38__TRAP__IFP_PCK__MISSING_DATA_FIELD);
  EXPECT_EQ(s.pools.ifp_packets().in_use, 0);
  EXPECT_EQ(s.pools.data_fields().in_use, 0);
}

TEST_F(UdptlPathTest, PacketTracesAndHexDumpsGoToTheTraceWriter) {
  t38_session_entry e = udp_entry(1, 4000, 1);
  e.report.trace_report_bfi = 0x20 | 0x8;
  t38_session& s = open(e);
  ASSERT_EQ(send_indicator(s, T38_IND__CNG), 2);
  ASSERT_EQ(send_indicator(s, T38_IND__CED), 2);
  ASSERT_EQ(t38_ifp__send(T38_IFP__MODE_IDLE, 0, nullptr, s), 2);
  receive(1, udptl(0, ifp(T38_IND__V21_PREAMBLE)));
  using pt = testing::stub_trace::packet_trace;
  EXPECT_EQ(trace.packets, (std::vector<pt>{{T38_TRC__TX, 0, T38_IND__CNG, 0},
                                            {T38_TRC__TX, 1, T38_IND__CED, 1},
                                            {T38_TRC__RX, 0, T38_IND__V21_PREAMBLE, 0}}));
  ASSERT_EQ(trace.dumps.size(), 4u);  // the idle resend is dumped too
  EXPECT_EQ(trace.dumps[3].first, T38_TRC__RX);
  EXPECT_EQ(trace.count("Trace ID"), 3);  // one per class traced, and the error one
}

TEST_F(UdptlPathTest, CongestionReleasesRedundancy) {
  t38_session& s = open(udp_entry(1, 4000, 3));
  for (int i = 0; i < 5; ++i) ASSERT_EQ(send_indicator(s, T38_IND__CNG), 2);
  EXPECT_EQ(s.ifp.tx_count, 4);
  t38_ifp__release_redundancy(s);
  EXPECT_EQ(s.ifp.tx_count, 1);
  ASSERT_EQ(send_indicator(s, T38_IND__CED), 2);
  EXPECT_EQ(decode(datagrams().back()).secondaries.size(), 1u);
}

}  // namespace
}  // namespace kv::t38
