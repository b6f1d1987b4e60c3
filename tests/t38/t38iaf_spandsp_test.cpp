// An IAF session against an independent T.38 stack (spandsp's T.38 core),
// in process on the virtual clock: at every rate from 2400 to 14400 bit/s
// the session sends page data and HDLC frames that spandsp reads, and reads
// the page data and HDLC frames that spandsp sends; V.21 frames both ways.
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
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed * 3 + i * 11);
  return v;
}

// spandsp's T.38 core: what it reads of our datagrams, and what it sends.
class spandsp_peer {
 public:
  spandsp_peer() {
    core_ = t38_core_init(nullptr, &on_indicator, &on_data, &on_missing, this, &on_tx, this);
    t38_set_t38_version(core_, 0);
  }
  ~spandsp_peer() { t38_core_free(core_); }
  spandsp_peer(const spandsp_peer&) = delete;
  spandsp_peer& operator=(const spandsp_peer&) = delete;

  // One of our datagrams: its primary goes to spandsp.
  void from_us(const bytes& datagram) {
    heap_chain_pool pool;
    t38_udptl_in in;
    ASSERT_EQ(t38_udptl__decode(byte_ref{datagram.data(), static_cast<uint32_t>(datagram.size()), nullptr}, nullptr,
                                pool, in),
              0);
    bytes ifp(in.primary.length);
    copy_bytes(&pool, in.primary, ifp.data(), ifp.size());
    t38_udptl__release(in, pool);
    ASSERT_GE(t38_core_rx_ifp_packet(core_, ifp.data(), static_cast<int>(ifp.size()), in.seq), 0);
  }
  // What spandsp sent since the last call, as UDPTL datagrams.
  std::vector<bytes> take_datagrams() {
    std::vector<bytes> out;
    for (const bytes& ifp : sent_) out.push_back(udptl(tx_seq_++, ifp));
    sent_.clear();
    return out;
  }

  t38_core_state_t* core() { return core_; }
  std::vector<int> indicators;
  int data_type = -1;
  bytes t4;  // t4-non-ecm-data, wire order
  int t4_ends = 0;
  std::vector<bytes> frames;  // complete frames (fcs-OK), wire order
  int missing = 0;

 private:
  static int on_tx(t38_core_state_t*, void* user, const uint8_t* buf, int len, int) {
    static_cast<spandsp_peer*>(user)->sent_.emplace_back(buf, buf + len);
    return 0;
  }
  static int on_indicator(t38_core_state_t*, void* user, int indicator) {
    static_cast<spandsp_peer*>(user)->indicators.push_back(indicator);
    return 0;
  }
  static int on_data(t38_core_state_t*, void* user, int data_type, int field_type, const uint8_t* buf, int len) {
    auto* p = static_cast<spandsp_peer*>(user);
    p->data_type = data_type;
    bytes d;
    if (buf != nullptr && len > 0) d.assign(buf, buf + len);
    switch (field_type) {
      case T38_FIELD_HDLC_DATA: p->frame_.insert(p->frame_.end(), d.begin(), d.end()); break;
      case T38_FIELD_HDLC_FCS_OK:
      case T38_FIELD_HDLC_FCS_OK_SIG_END:
        p->frame_.insert(p->frame_.end(), d.begin(), d.end());
        p->frames.push_back(p->frame_);
        p->frame_.clear();
        break;
      case T38_FIELD_T4_NON_ECM_DATA: p->t4.insert(p->t4.end(), d.begin(), d.end()); break;
      case T38_FIELD_T4_NON_ECM_SIG_END:
        p->t4.insert(p->t4.end(), d.begin(), d.end());
        ++p->t4_ends;
        break;
      default: break;
    }
    return 0;
  }
  static int on_missing(t38_core_state_t*, void* user, int, int) {
    ++static_cast<spandsp_peer*>(user)->missing;
    return 0;
  }

  t38_core_state_t* core_ = nullptr;
  std::vector<bytes> sent_;
  bytes frame_;
  uint16_t tx_seq_ = 0;
};

struct rate_case {
  u16 transparent_mode, hdlc_mode;
  u32 rate;
  int indicator, data_type;
};
constexpr rate_case kRates[] = {
    {0x1102, 0x6102, 2400, T38_IND_V27TER_2400_TRAINING, T38_DATA_V27TER_2400},
    {0x1104, 0x6104, 4800, T38_IND_V27TER_4800_TRAINING, T38_DATA_V27TER_4800},
    {0x1208, 0x6208, 7200, T38_IND_V29_7200_TRAINING, T38_DATA_V29_7200},
    {0x1210, 0x6210, 9600, T38_IND_V29_9600_TRAINING, T38_DATA_V29_9600},
    {0x1820, 0x6820, 12000, T38_IND_V17_12000_LONG_TRAINING, T38_DATA_V17_12000},
    {0x1840, 0x6840, 14400, T38_IND_V17_14400_LONG_TRAINING, T38_DATA_V17_14400},
};

class IafSpandsp : public T38IafB2B {
 protected:
  void SetUp() override {
    T38IafB2B::SetUp();
    ip_tap = [this](nai_t nai, const std::vector<u8>& d) {
      if (nai == kA) peer.from_us(d);
    };
    start();
  }
  // spandsp's packets to session A.
  void flush_peer() {
    for (const bytes& d : peer.take_datagrams()) deliver(kA, d);
  }
  void reset_sessions() {
    request(ENT_FOIP, T38__RESET_CONFIG_RQ, {}, kA, T38__SAPI_MANAGEMENT);
    request(ENT_FOIP, T38__RESET_CONFIG_RQ, {}, kB, T38__SAPI_MANAGEMENT);
  }

  spandsp_peer peer;
};

TEST_F(IafSpandsp, SpandspReadsOurPageDataAtEveryRate) {
  for (const rate_case& rc : kRates) {
    SCOPED_TRACE(rc.rate);
    spandsp_peer& p = peer;
    p.t4.clear();
    p.indicators.clear();
    p.t4_ends = 0;
    fm_log->clear();
    const bytes page = pattern(1500, static_cast<uint8_t>(rc.rate / 1000));
    fax_act(kA, 1, rc.transparent_mode);
    fax_da(kA, {page.begin(), page.begin() + 800}, 0);
    fax_da(kA, {page.begin() + 800, page.end()}, 1);
    ASSERT_TRUE(run_until([&] { return p.t4_ends == 1; }, 10000));
    ASSERT_FALSE(p.indicators.empty());
    EXPECT_EQ(p.indicators.back(), rc.indicator);
    EXPECT_EQ(p.data_type, rc.data_type);
    EXPECT_EQ(p.t4, reversed(page));
    EXPECT_EQ(p.missing, 0);
    fax_dea(kA);
  }
}

TEST_F(IafSpandsp, WeReadItsPageDataAtEveryRate) {
  for (const rate_case& rc : kRates) {
    SCOPED_TRACE(rc.rate);
    fm_log->clear();
    fax_act(kA, 2, rc.transparent_mode);
    t38_core_send_indicator(peer.core(), rc.indicator);
    flush_peer();
    ASSERT_EQ(progress(kA), (std::vector<u16>{T38IAF__FAX_CD_ON}));
    const bytes wire = pattern(3000, static_cast<uint8_t>(rc.rate / 1000));
    for (size_t at = 0; at < wire.size(); at += 200) {
      t38_core_send_data(peer.core(), rc.data_type, T38_FIELD_T4_NON_ECM_DATA, wire.data() + at, 200,
                         T38_PACKET_CATEGORY_IMAGE_DATA);
      flush_peer();
    }
    t38_core_send_data(peer.core(), rc.data_type, T38_FIELD_T4_NON_ECM_SIG_END, nullptr, 0,
                       T38_PACKET_CATEGORY_IMAGE_DATA_END);
    flush_peer();
    bytes got;
    for (const auto& r : received(kA)) got.insert(got.end(), r.begin(), r.end());
    EXPECT_EQ(got, reversed(wire));
    EXPECT_EQ(progress(kA).back(), T38IAF__FAX_CD_OFF);
    fax_dea(kA);
  }
}

TEST_F(IafSpandsp, HdlcFramesBothWaysAtEveryRate) {
  struct hdlc_case {
    u16 mode;
    int indicator, data_type;
  };
  std::vector<hdlc_case> cases{{0x2081, T38_IND_V21_PREAMBLE, T38_DATA_V21}};
  for (const rate_case& rc : kRates) cases.push_back({rc.hdlc_mode, rc.indicator, rc.data_type});
  for (const hdlc_case& hc : cases) {
    SCOPED_TRACE(hc.mode);
    // Ours to spandsp.
    peer.frames.clear();
    const bool v21 = hc.data_type == T38_DATA_V21;
    std::vector<bytes> frames;
    if (v21) {
      frames = {{0xFF, 0x03, 0x40, 'C', 'S', 'I'}, {0xFF, 0x13, 0x84}};
    } else {
      for (uint8_t k = 0; k < 2; ++k) {
        bytes f{0xFF, 0x03, 0x06, k};
        bytes body = pattern(256, k);
        f.insert(f.end(), body.begin(), body.end());
        frames.push_back(f);
      }
    }
    fax_act(kA, 1, hc.mode);
    for (size_t i = 0; i < frames.size(); ++i) fax_da(kA, frames[i], i + 1 == frames.size());
    ASSERT_TRUE(run_until([&] { return peer.frames.size() == frames.size(); }, 10000));
    for (size_t i = 0; i < frames.size(); ++i) EXPECT_EQ(peer.frames[i], reversed(frames[i])) << i;
    EXPECT_EQ(peer.data_type, hc.data_type);
    ASSERT_TRUE(run_until([&] { return progress_time(kA, T38IAF__FAX_END_OF_DATA) >= 0; }, 5000));
    fax_dea(kA);
    fm_log->clear();
    // Spandsp's to ours.
    fax_act(kA, 2, hc.mode);
    t38_core_send_indicator(peer.core(), hc.indicator);
    flush_peer();
    for (const bytes& f : frames) {
      const bytes wire = reversed(f);
      t38_data_field_t fields[2] = {{T38_FIELD_HDLC_DATA, wire.data(), static_cast<int>(wire.size())},
                                    {T38_FIELD_HDLC_FCS_OK, nullptr, 0}};
      t38_core_send_data_multi_field(peer.core(), hc.data_type, fields, 2, T38_PACKET_CATEGORY_CONTROL_DATA);
      flush_peer();
    }
    t38_core_send_data(peer.core(), hc.data_type, T38_FIELD_HDLC_SIG_END, nullptr, 0,
                       T38_PACKET_CATEGORY_CONTROL_DATA_END);
    flush_peer();
    EXPECT_EQ(received(kA), frames);
    EXPECT_EQ(progress(kA).back(), T38IAF__FAX_CD_OFF);
    fax_dea(kA);
    fm_log->clear();
  }
}

#else

TEST(IafSpandsp, Skipped) { GTEST_SKIP() << "spandsp is not installed"; }

#endif

}  // namespace
}  // namespace kv::t38::testing
