// Our stack (T.30 engine, fax modem layer, T.38 entity with the IAF fax
// service) against spandsp's T.38 terminal, on the virtual clock, both
// ways: the pages that cross over UDPTL must arrive exactly.
#if defined(KV_HAVE_SPANDSP) && defined(KV_HAVE_LIBTIFF)

#include <gtest/gtest.h>
#include <spandsp.h>
#include <tiffio.h>

#include "fax/support/fax_test_pages.h"
#include "fax/support/fm_t38_loop.h"
#include "fax/t30_cause.h"
#include "runtime/support/rt_harness.h"
#include "runtime/timer.h"
#include "t38/udptl.h"

namespace fm_test {
namespace {

using bytes = std::vector<uint8_t>;
using namespace kv::t38;
using namespace kv::t38::testing;

class spandsp_terminal {
 public:
  explicit spandsp_terminal(bool calling) {
    s_ = t38_terminal_init(nullptr, calling, &on_tx, this);
    t38_terminal_set_config(s_, 0);  // paced as on a real line
    t30_state_t* t = t38_terminal_get_t30_state(s_);
    t30_set_phase_e_handler(t, &on_phase_e, this);
    t30_set_tx_ident(t, "SPANDSP T38");
    t30_set_supported_modems(t, T30_SUPPORT_V27TER | T30_SUPPORT_V29 | T30_SUPPORT_V17);
    t30_set_supported_compressions(t, T30_SUPPORT_T4_1D_COMPRESSION);
    t30_set_ecm_capability(t, false);
  }
  ~spandsp_terminal() { t38_terminal_free(s_); }
  spandsp_terminal(const spandsp_terminal&) = delete;
  spandsp_terminal& operator=(const spandsp_terminal&) = delete;

  t30_state_t* t30() { return t38_terminal_get_t30_state(s_); }
  // One of our datagrams: its primary goes to spandsp.
  void from_us(const bytes& datagram) {
    heap_chain_pool pool;
    t38_udptl_in in;
    if (t38_udptl__decode(byte_ref{datagram.data(), static_cast<uint32_t>(datagram.size()), nullptr}, nullptr, pool,
                          in) != 0)
      return;
    bytes ifp(in.primary.length);
    copy_bytes(&pool, in.primary, ifp.data(), ifp.size());
    t38_udptl__release(in, pool);
    t38_core_rx_ifp_packet(t38_terminal_get_t38_core_state(s_), ifp.data(), static_cast<int>(ifp.size()), in.seq);
  }
  // Runs spandsp's clock `ms` on and hands what it sent to our session.
  void step(uint32_t ms, nai_t to) {
    t38_terminal_send_timeout(s_, static_cast<int>(ms * 8));
    for (const bytes& ifp : sent_) FmT38Loop::deliver(to, udptl(tx_seq_++, ifp));
    sent_.clear();
  }
  bool done = false;
  int completion = -1;

 private:
  static int on_tx(t38_core_state_t*, void* user, const uint8_t* buf, int len, int count) {
    auto* self = static_cast<spandsp_terminal*>(user);
    // Indicators and data are sent once here; UDPTL redundancy covers loss.
    if (count > 0) self->sent_.emplace_back(buf, buf + len);
    return 0;
  }
  static void on_phase_e(t30_state_t*, void* user, int completion) {
    auto* self = static_cast<spandsp_terminal*>(user);
    self->done = true;
    self->completion = completion;
  }
  t38_terminal_state_t* s_ = nullptr;
  std::vector<bytes> sent_;
  uint16_t tx_seq_ = 0;
};

int tiff_pages(const std::string& path) {
  TIFF* t = TIFFOpen(path.c_str(), "r");
  if (!t) return 0;
  int n = 0;
  do ++n;
  while (TIFFReadDirectory(t));
  TIFFClose(t);
  return n;
}

class FmSpandsp : public FmT38Loop {
 protected:
  void run(t30_test::fake_user& u, spandsp_terminal& peer) {
    const uint32_t start = rt_test::virtual_now();
    while (!(u.disconnected && peer.done) && rt_test::virtual_now() - start < 300000) {
      rt_test::advance_clock(5);
      om_os_timer_poll();
      rt_test::pump();
      peer.step(5, kCaller);
      rt_test::pump();
    }
  }
};

TEST_F(FmSpandsp, WeCallAndSendTwoPagesToSpandspsT38Terminal) {
  const std::vector<fax_test::page> pages = {fax_test::make_page(fax_test::kind::text, 1728, 80, 31),
                                             fax_test::make_page(fax_test::kind::lines, 1728, 80, 32)};
  t30_test::fake_user& u = user(kCaller);
  u.sender = true;
  u.fields = t30_test::user_fields(false);
  u.selection = {T30_RES_FINE, T30_CODING_MH, T30_WIDTH_A4};
  u.fields.resolution = T30_RES_FINE;
  u.fields.coding = T30_CODING_MH;
  u.fields.width = T30_WIDTH_A4;
  for (const auto& p : pages) u.to_send.push_back({fax_test::encode(p, 1)});

  spandsp_terminal peer(false);
  fax_test::temp_dir dir;
  const std::string rx = dir.file("rx.tif");
  t30_set_rx_file(peer.t30(), rx.c_str(), -1);
  ip_tap = [&](nai_t from, const bytes& d) {
    if (from == kCaller) peer.from_us(d);
  };
  t30_test::connect(kCaller, 2);
  rt_test::pump();
  run(u, peer);
  ASSERT_TRUE(u.disconnected);
  ASSERT_TRUE(peer.done);
  EXPECT_EQ(peer.completion, T30_ERR_OK);
  EXPECT_EQ(u.cause, WT3C | WLOCDCOK);
  EXPECT_EQ(u.end_page_co, (std::vector<uint16_t>{T30_RSP_MCF, T30_RSP_MCF}));
  ASSERT_EQ(tiff_pages(rx), 2);
  for (int i = 0; i < 2; ++i) {
    const fax_test::page got = fax_test::libtiff_read(rx, i);
    EXPECT_TRUE(got == pages[static_cast<size_t>(i)]) << "page " << i;
  }
}

// spandsp calls and sends; we answer on session 1 and receive.
TEST_F(FmSpandsp, SpandspsT38TerminalCallsAndSendsUsTwoPages) {
  const std::vector<fax_test::page> pages = {fax_test::make_page(fax_test::kind::lines, 1728, 80, 41),
                                             fax_test::make_page(fax_test::kind::text, 1728, 80, 42)};
  fax_test::temp_dir dir;
  const std::string tx = dir.file("tx.tif");
  fax_test::libtiff_write_fax(tx, pages);
  spandsp_terminal peer(true);
  t30_set_tx_file(peer.t30(), tx.c_str(), -1, -1);
  t30_test::fake_user& u = user(kCaller);
  u.fields = t30_test::user_fields(false);
  u.fields.service = T30_SVC_TRANSMIT;
  ip_tap = [&](nai_t from, const bytes& d) {
    if (from == kCaller) peer.from_us(d);
  };
  t30_test::connect(kCaller, 1);
  rt_test::pump();
  run(u, peer);
  ASSERT_TRUE(u.disconnected);
  ASSERT_TRUE(peer.done);
  EXPECT_EQ(peer.completion, T30_ERR_OK);
  EXPECT_EQ(u.cause, WT3C | WREMDCOK);
  ASSERT_EQ(u.received.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    const fax_test::decoded d = fax_test::decode(u.received[i], 1, 1728);
    EXPECT_EQ(d.error_lines, 0u);
    EXPECT_TRUE(d.pg == pages[i]) << fax_test::describe_difference(pages[i], d.pg);
  }
}

}  // namespace
}  // namespace fm_test

#endif
