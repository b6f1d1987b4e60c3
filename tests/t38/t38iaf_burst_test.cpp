// Page data that a far side sends faster than the line rate, as spandsp's
// T.38 terminal does when it runs without pacing: every packet of a page
// arrives in one burst, and the bytes after the last full chunk ride in the
// field that ends the signal.  Every byte sent must reach the fax user, in
// transparent mode (t4-non-ecm-sig-end with data) and in HDLC mode (the
// last bytes of a frame with its fcs-OK field).
#include <gtest/gtest.h>

#include <vector>

#include "t38/support/t38iaf_b2b.h"
#include "t38/t38_entity.h"
#include "t38/udptl.h"

#if defined(KV_HAVE_SPANDSP)
#include <spandsp.h>
#endif

namespace kv::t38::testing {
namespace {

#if defined(KV_HAVE_SPANDSP)

using bytes = std::vector<uint8_t>;

bytes reversed(const bytes& in) {
  bytes out;
  for (uint8_t b : in) out.push_back(t38_ifp__reverse_bits(b));
  return out;
}

bytes pattern(size_t n, uint8_t seed) {
  bytes v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed * 7 + i * 13 + 1);
  return v;
}

// spandsp's T.38 core as the sender; its packets are kept until flushed.
class spandsp_sender {
 public:
  spandsp_sender() {
    core_ = t38_core_init(nullptr, &on_indicator, &on_data, &on_missing, this, &on_tx, this);
    t38_set_t38_version(core_, 0);
  }
  ~spandsp_sender() { t38_core_free(core_); }
  spandsp_sender(const spandsp_sender&) = delete;
  spandsp_sender& operator=(const spandsp_sender&) = delete;

  t38_core_state_t* core() { return core_; }
  std::vector<bytes> take_datagrams() {
    std::vector<bytes> out;
    for (const bytes& ifp : sent_) out.push_back(udptl(tx_seq_++, ifp));
    sent_.clear();
    return out;
  }

 private:
  static int on_tx(t38_core_state_t*, void* user, const uint8_t* buf, int len, int) {
    static_cast<spandsp_sender*>(user)->sent_.emplace_back(buf, buf + len);
    return 0;
  }
  static int on_indicator(t38_core_state_t*, void*, int) { return 0; }
  static int on_data(t38_core_state_t*, void*, int, int, const uint8_t*, int) { return 0; }
  static int on_missing(t38_core_state_t*, void*, int, int) { return 0; }

  t38_core_state_t* core_ = nullptr;
  std::vector<bytes> sent_;
  uint16_t tx_seq_ = 0;
};

struct burst_case {
  u16 mode;
  int indicator, data_type;
  size_t chunk;  // bytes per packet, as a sender sizes them for its rate
  size_t size;   // page bytes; size % chunk rides in the sig-end field
};
constexpr burst_case kBursts[] = {
    {0x1102, T38_IND_V27TER_2400_TRAINING, T38_DATA_V27TER_2400, 9, 4000},
    {0x1104, T38_IND_V27TER_4800_TRAINING, T38_DATA_V27TER_4800, 18, 4001},
    {0x1210, T38_IND_V29_9600_TRAINING, T38_DATA_V29_9600, 36, 5017},
    {0x1840, T38_IND_V17_14400_LONG_TRAINING, T38_DATA_V17_14400, 54, 6053},
    {0x1840, T38_IND_V17_14400_LONG_TRAINING, T38_DATA_V17_14400, 54, 54 * 100},  // nothing left for the end
    {0x1840, T38_IND_V17_14400_LONG_TRAINING, T38_DATA_V17_14400, 54, 53},        // all of it in the end field
};

class IafBurst : public T38IafB2B {
 protected:
  void SetUp() override {
    T38IafB2B::SetUp();
    ip_tap = [](nai_t, const std::vector<u8>&) {};
    start();
  }
  // Everything the sender queued, to session A at once: no clock runs between.
  void flush() {
    for (const bytes& d : sender.take_datagrams()) deliver(kA, d);
  }
  bytes received_bytes() const {
    bytes got;
    for (const auto& r : received(kA)) got.insert(got.end(), r.begin(), r.end());
    return got;
  }

  spandsp_sender sender;
};

TEST_F(IafBurst, EveryByteOfAnUnpacedPageReachesTheUser) {
  for (const burst_case& bc : kBursts) {
    SCOPED_TRACE(::testing::Message() << "mode " << bc.mode << " size " << bc.size);
    fm_log->clear();
    fax_act(kA, 2, bc.mode);
    const bytes page = pattern(bc.size, static_cast<uint8_t>(bc.size));
    const bytes wire = reversed(page);
    t38_core_send_indicator(sender.core(), bc.indicator);
    size_t at = 0;
    for (; at + bc.chunk <= wire.size(); at += bc.chunk) {
      t38_core_send_data(sender.core(), bc.data_type, T38_FIELD_T4_NON_ECM_DATA, wire.data() + at,
                         static_cast<int>(bc.chunk), T38_PACKET_CATEGORY_IMAGE_DATA);
    }
    t38_core_send_data(sender.core(), bc.data_type, T38_FIELD_T4_NON_ECM_SIG_END, wire.data() + at,
                       static_cast<int>(wire.size() - at), T38_PACKET_CATEGORY_IMAGE_DATA_END);
    t38_core_send_indicator(sender.core(), T38_IND_NO_SIGNAL);
    flush();
    advance(20);
    EXPECT_EQ(received_bytes(), page);
    ASSERT_FALSE(progress(kA).empty());
    EXPECT_EQ(progress(kA).back(), T38IAF__FAX_CD_OFF);
    EXPECT_EQ(iaf.find(*t38__find_session(kA))->proto_errors, 0u);
    fax_dea(kA);
  }
}

TEST_F(IafBurst, TheLastBytesOfAFrameInItsFcsFieldAreKept) {
  const bytes frame = [] {
    bytes f{0xFF, 0x03, 0x06, 0x00};
    const bytes body = pattern(200, 3);
    f.insert(f.end(), body.begin(), body.end());
    return f;
  }();
  const bytes wire = reversed(frame);
  struct end_case {
    int end_type;
    size_t tail;
  };
  for (const end_case ec : {end_case{T38_FIELD_HDLC_FCS_OK, 30}, end_case{T38_FIELD_HDLC_FCS_OK_SIG_END, 17},
                            end_case{T38_FIELD_HDLC_FCS_OK, 0}}) {
    SCOPED_TRACE(::testing::Message() << "end type " << ec.end_type << " tail " << ec.tail);
    fm_log->clear();
    fax_act(kA, 2, 0x6840);
    t38_core_send_indicator(sender.core(), T38_IND_V17_14400_LONG_TRAINING);
    const size_t head = wire.size() - ec.tail;
    t38_core_send_data(sender.core(), T38_DATA_V17_14400, T38_FIELD_HDLC_DATA, wire.data(), static_cast<int>(head),
                       T38_PACKET_CATEGORY_IMAGE_DATA);
    t38_core_send_data(sender.core(), T38_DATA_V17_14400, ec.end_type, wire.data() + head, static_cast<int>(ec.tail),
                       T38_PACKET_CATEGORY_IMAGE_DATA);
    if (ec.end_type == T38_FIELD_HDLC_FCS_OK) {
      t38_core_send_data(sender.core(), T38_DATA_V17_14400, T38_FIELD_HDLC_SIG_END, nullptr, 0,
                         T38_PACKET_CATEGORY_IMAGE_DATA_END);
    }
    t38_core_send_indicator(sender.core(), T38_IND_NO_SIGNAL);
    flush();
    advance(20);
    EXPECT_EQ(received(kA), std::vector<bytes>{frame});
    ASSERT_FALSE(progress(kA).empty());
    EXPECT_EQ(progress(kA).back(), T38IAF__FAX_CD_OFF);
    fax_dea(kA);
  }
}

#else

TEST(IafBurst, Skipped) { GTEST_SKIP() << "spandsp is not installed"; }

#endif

}  // namespace
}  // namespace kv::t38::testing
