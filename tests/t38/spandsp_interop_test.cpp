// Interoperation with an independent T.38 stack (spandsp's T.38 core): it
// reads the IFP packets we encode and we read the ones it encodes, for
// indicators and for data packets of every field type, bit order included.
#include <gtest/gtest.h>

#include <vector>

#include "t38/ifp.h"
#include "t38/support/ifp_fixtures.h"

#if defined(KV_HAVE_SPANDSP)
#include <spandsp.h>
#endif

namespace kv::t38 {
namespace {

using testing::encode_flat;
using testing::field_def;
using testing::fields_of;
using bytes = std::vector<uint8_t>;

#if defined(KV_HAVE_SPANDSP)

bytes reversed(const bytes& in) {
  bytes out;
  for (uint8_t b : in) out.push_back(t38_ifp__reverse_bits(b));
  return out;
}

struct peer_event {
  bool indicator = false;
  int value = 0;  // indicator, or data type
  int field_type = 0;
  bytes data;
};

// A spandsp T.38 core that records what it sends and what it receives.
class spandsp_peer {
 public:
  spandsp_peer() {
    core_ = t38_core_init(nullptr, &on_indicator, &on_data, &on_missing, this, &on_tx, this);
    t38_set_t38_version(core_, 0);
  }
  ~spandsp_peer() { t38_core_free(core_); }

  t38_core_state_t* core() { return core_; }
  std::vector<bytes> sent;
  std::vector<peer_event> received;
  int missing = 0;

  void rx(const bytes& ifp) {
    ASSERT_GE(t38_core_rx_ifp_packet(core_, ifp.data(), static_cast<int>(ifp.size()), seq_++), 0);
  }

 private:
  static int on_tx(t38_core_state_t*, void* user, const uint8_t* buf, int len, int) {
    static_cast<spandsp_peer*>(user)->sent.emplace_back(buf, buf + len);
    return 0;
  }
  static int on_indicator(t38_core_state_t*, void* user, int indicator) {
    static_cast<spandsp_peer*>(user)->received.push_back({true, indicator, 0, {}});
    return 0;
  }
  static int on_data(t38_core_state_t*, void* user, int data_type, int field_type, const uint8_t* buf, int len) {
    bytes d;
    if (buf != nullptr && len > 0) d.assign(buf, buf + len);
    static_cast<spandsp_peer*>(user)->received.push_back({false, data_type, field_type, d});
    return 0;
  }
  static int on_missing(t38_core_state_t*, void* user, int, int) {
    ++static_cast<spandsp_peer*>(user)->missing;
    return 0;
  }

  t38_core_state_t* core_ = nullptr;
  uint16_t seq_ = 0;
};

struct our_packet {
  uint16_t trap = 0;
  uint8_t type_value = 0;
  std::vector<field_def> fields;
};

our_packet our_decode(const bytes& wire) {
  heap_field_pool fields;
  t38_ifp_packet pck;
  pck.encoded = byte_ref{wire.data(), static_cast<uint32_t>(wire.size()), nullptr};
  t38_ifp_decode_env env{nullptr, &fields, false};
  our_packet out;
  out.trap = decode_ifp_packet(T38_IFP__DECODE_KEEP, env, pck);
  out.type_value = pck.type_value;
  out.fields = fields_of(pck.fields);
  t38_ifp__free_data_fields(fields, pck.fields);
  return out;
}

// A T.30 DIS frame as the fax engine hands it down (first transmitted bit
// in bit 0), and as it travels in IFP packets (first transmitted bit in bit
// 7, the T.30 notation: address FF, control C8, FCF 01).
const bytes kDisEngineOrder{0xFF, 0x13, 0x80, 0x00, 0xEE, 0xF8};
const bytes kDisWireOrder{0xFF, 0xC8, 0x01, 0x00, 0x77, 0x1F};
// T.4 data starting with an EOL (eleven 0 bits and a 1), engine order.
const bytes kEolEngineOrder{0x00, 0x08, 0x80};

TEST(SpandspInterop, ItReadsOurIndicators) {
  spandsp_peer peer;
  const int indicators[] = {T38_IND_CNG,
                            T38_IND_CED,
                            T38_IND_V21_PREAMBLE,
                            T38_IND_V27TER_2400_TRAINING,
                            T38_IND_V29_9600_TRAINING,
                            T38_IND_V17_14400_LONG_TRAINING,
                            T38_IND_NO_SIGNAL};
  for (int ind : indicators) peer.rx(encode_flat(static_cast<uint8_t>(ind), {}));
  ASSERT_EQ(peer.received.size(), std::size(indicators));
  for (std::size_t i = 0; i < std::size(indicators); ++i) {
    EXPECT_TRUE(peer.received[i].indicator);
    EXPECT_EQ(peer.received[i].value, indicators[i]);
  }
  EXPECT_EQ(peer.missing, 0);
}

TEST(SpandspInterop, ItReadsOurDataOfEveryFieldTypeInItsBitOrder) {
  for (uint8_t type = 0; type <= T38_FIELD__T4_NON_ECM_SIG_END; ++type) {
    spandsp_peer peer;
    bool hdlc = type < T38_FIELD__T4_NON_ECM_DATA;
    const bytes& engine = hdlc ? kDisEngineOrder : kEolEngineOrder;
    uint8_t data_type = hdlc ? T38_DATA__V21 : T38_DATA__V17_14400;
    peer.rx(encode_flat(static_cast<uint8_t>(T38_IFP__DATA_BIT | data_type), {{type, engine}}));
    ASSERT_EQ(peer.received.size(), 1u) << "field type " << int(type);
    const peer_event& e = peer.received[0];
    EXPECT_FALSE(e.indicator);
    EXPECT_EQ(e.value, data_type == T38_DATA__V21 ? T38_DATA_V21 : T38_DATA_V17_14400);
    EXPECT_EQ(e.field_type, type);
    EXPECT_EQ(e.data, hdlc ? kDisWireOrder : reversed(kEolEngineOrder));
  }
}

TEST(SpandspInterop, ItReadsOurMultiFieldFrameEnd) {
  spandsp_peer peer;
  peer.rx(encode_flat(static_cast<uint8_t>(T38_IFP__DATA_BIT | T38_DATA__V21),
                      {{T38_FIELD__HDLC_DATA, kDisEngineOrder}, {T38_FIELD__HDLC_FCS_OK, {}}}));
  ASSERT_EQ(peer.received.size(), 2u);
  EXPECT_EQ(peer.received[0].field_type, T38_FIELD_HDLC_DATA);
  EXPECT_EQ(peer.received[0].data, kDisWireOrder);
  EXPECT_EQ(peer.received[1].field_type, T38_FIELD_HDLC_FCS_OK);
  EXPECT_TRUE(peer.received[1].data.empty());
}

TEST(SpandspInterop, WeReadItsIndicators) {
  spandsp_peer peer;
  const int indicators[] = {
      T38_IND_CNG,      T38_IND_CED, T38_IND_V21_PREAMBLE, T38_IND_V29_7200_TRAINING, T38_IND_V17_12000_SHORT_TRAINING,
      T38_IND_NO_SIGNAL};
  for (int ind : indicators) {
    std::size_t before = peer.sent.size();
    t38_core_send_indicator(peer.core(), ind);
    ASSERT_GT(peer.sent.size(), before) << ind;
    our_packet p = our_decode(peer.sent.back());
    ASSERT_EQ(p.trap, 0) << ind;
    EXPECT_EQ(p.type_value, ind);
    EXPECT_TRUE(p.fields.empty());
  }
}

TEST(SpandspInterop, WeReadItsDataOfEveryFieldTypeInOurBitOrder) {
  for (int type = T38_FIELD_HDLC_DATA; type <= T38_FIELD_T4_NON_ECM_SIG_END; ++type) {
    spandsp_peer peer;
    bool hdlc = type < T38_FIELD_T4_NON_ECM_DATA;
    bytes wire = hdlc ? kDisWireOrder : reversed(kEolEngineOrder);
    int data_type = hdlc ? T38_DATA_V21 : T38_DATA_V29_9600;
    t38_core_send_data(peer.core(), data_type, type, wire.data(), static_cast<int>(wire.size()),
                       T38_PACKET_CATEGORY_CONTROL_DATA);
    ASSERT_FALSE(peer.sent.empty()) << type;
    our_packet p = our_decode(peer.sent.back());
    ASSERT_EQ(p.trap, 0) << type;
    EXPECT_EQ(p.type_value, T38_IFP__DATA_BIT | data_type);
    ASSERT_EQ(p.fields.size(), 1u);
    EXPECT_EQ(p.fields[0].type, type);
    EXPECT_EQ(p.fields[0].data, hdlc ? kDisEngineOrder : kEolEngineOrder);
  }
}

TEST(SpandspInterop, WeReadItsMultiFieldPackets) {
  spandsp_peer peer;
  t38_data_field_t fields[2] = {{T38_FIELD_HDLC_DATA, kDisWireOrder.data(), static_cast<int>(kDisWireOrder.size())},
                                {T38_FIELD_HDLC_FCS_OK_SIG_END, nullptr, 0}};
  t38_core_send_data_multi_field(peer.core(), T38_DATA_V21, fields, 2, T38_PACKET_CATEGORY_CONTROL_DATA_END);
  ASSERT_FALSE(peer.sent.empty());
  our_packet p = our_decode(peer.sent.back());
  ASSERT_EQ(p.trap, 0);
  ASSERT_EQ(p.fields.size(), 2u);
  EXPECT_EQ(p.fields[0].data, kDisEngineOrder);
  EXPECT_EQ(p.fields[1].type, T38_FIELD__HDLC_FCS_OK_SIG_END);
  EXPECT_TRUE(p.fields[1].data.empty());
}

#else

TEST(SpandspInterop, Skipped) { GTEST_SKIP() << "spandsp is not installed"; }

#endif

}  // namespace
}  // namespace kv::t38
