// Cross-checks of our T.30 frames against spandsp's T.30 implementation: its
// DIS/DTC/DCS decoder reads what we build, our parser reads the CSI, DIS,
// TSI and DCS that it builds, and it reads our identification frame.
//
// spandsp holds frame octets in line order (first bit sent = least
// significant bit), we hold them first-bit-most-significant: every octet is
// bit-reversed on the way between the two.
#include <gtest/gtest.h>

#if defined(KV_HAVE_SPANDSP)

#include <spandsp.h>

#include <cstdio>
#include <string>
#include <vector>

#if defined(KV_HAVE_LIBTIFF)
#include <tiffio.h>
#include <unistd.h>
#endif

#include "fax/fax_bit.h"
#include "fax/t30_capability.h"
#include "fax/t30_frame_set.h"
#include "fax/t30_ident.h"

namespace {

using bytes = std::vector<uint8_t>;

bytes reversed(std::span<const uint8_t> in) {
  bytes out(in.size());
  fax_bit__copy_reversed(out.data(), in.data(), static_cast<uint32_t>(in.size()));
  return out;
}

// spandsp's logging calls a plain function: collect its text here.
std::string g_log;
void collect_log(int, const char* text) { g_log += text; }

std::vector<bytes> g_sent;  // frames spandsp sent, in its line order
void collect_hdlc(void*, const uint8_t* msg, int len) {
  if (len > 0) g_sent.emplace_back(msg, msg + len);
}
void ignore_type(void*, int, int, int, int) {}

struct spandsp_t30 {
  t30_state_t* s = nullptr;
  explicit spandsp_t30(bool calling) {
    g_log.clear();
    g_sent.clear();
    s = t30_init(nullptr, calling, ignore_type, nullptr, ignore_type, nullptr, collect_hdlc, nullptr);
    logging_state_t* log = t30_get_logging_state(s);
    span_log_set_level(log, SPAN_LOG_FLOW);
    span_log_set_message_handler(log, collect_log);
  }
  ~spandsp_t30() { t30_free(s); }
  // Step the transmitter until `n` frames went out (bounded).
  void send_steps(size_t frames_wanted) {
    for (int i = 0; i < 20 && g_sent.size() < frames_wanted; ++i)
      t30_front_end_status(s, T30_FRONT_END_SEND_STEP_COMPLETE);
  }
  std::string decode(std::span<const uint8_t> ours) {
    g_log.clear();
    const bytes line = reversed(ours);
    t30_decode_dis_dtc_dcs(s, line.data(), static_cast<int>(line.size()));
    return g_log;
  }
};

bool has_line(const std::string& log, const std::string& text) { return log.find(text) != std::string::npos; }

bytes build_final(t30_set_kind kind, const t30_capability& c, uint16_t dcs_modulation = 0) {
  t30_build_options opt;
  opt.fif.dcs_modulation = dcs_modulation;
  t30_frame_set set;
  EXPECT_EQ(t30_build_set(kind, c, t30_local_params{}, opt, set), t30_build_status::ok);
  const auto f = set.frame(set.count - 1);
  return bytes(f.begin(), f.end());
}

TEST(T30Spandsp, DecodesOurDis) {
  spandsp_t30 sp(false);
  const std::string log = sp.decode(build_final(t30_set_kind::dis, t30_cap__defaults()));
  const char* want[] = {
      "DIS:",
      "Ready to transmit a fax document (polling): Set",
      "Can receive fax: Set",
      "Supported data signalling rates: V.27 ter, V.29, and V.17",
      "R8x7.7lines/mm and/or 200x200pels/25.4mm: Set",
      "2-D coding: Set",
      "Recording width: 215mm +- 1%, 255mm +- 1% and 303mm +- 1%",
      "Recording length: Unlimited",
      "Receiver's minimum scan line time: 0ms at 3.85 l/mm; T7.7 = T3.85",
      "Error correction mode (ECM): ECM",
      "T.6 coding: Set",
      "Polled sub-address: Set",
      "R8x15.4lines/mm: Set",
      "300x300pels/25.4mm: Set",
      "R16x15.4lines/mm and/or 400x400pels/25.4mm: Set",
      "Selective polling: Set",
      "Sub-addressing: Set",
      "Password: Set",
      "North American Letter (215.9mm x 279.4mm): Set",
      "North American Legal (215.9mm x 355.6mm): Set",
      "Single-progression sequential coding (Rec. T.85) basic: Set",
      "Single-progression sequential coding (Rec. T.85) optional L0: Set",
      "600pels/25.4mm x 600lines/25.4mm: Set",
      "1200pels/25.4mm x 1200lines/25.4mm: Set",
      "300pels/25.4mm x 600lines/25.4mm: Set",
      "400pels/25.4mm x 800lines/25.4mm: Set",
      "600pels/25.4mm x 1200lines/25.4mm: Set",
      "Internet Routing Address (IRA): Not set",
  };
  for (const char* w : want) EXPECT_TRUE(has_line(log, w)) << w << "\n" << log;
}

TEST(T30Spandsp, DecodesOurDcs) {
  struct Case {
    const char* name;
    uint16_t modulation;
    void (*edit)(t30_capability&);
    std::vector<const char*> want;
  };
  auto base = [] {
    t30_capability c;
    c.service = T30_SVC_TRANSMIT;
    c.modulation = 0x1B7E;
    c.resolution = T30_RES_NORMAL;
    c.coding = T30_CODING_MH;
    c.width = T30_WIDTH_A4;
    c.length = T30_LENGTH_A4;
    c.scan_time = 5;
    return c;
  };
  const Case cases[] = {
      {"v17 14400 fine mr",
       0x1840,
       [](t30_capability& c) {
         c.resolution = T30_RES_FINE;
         c.coding = T30_CODING_MR;
       },
       {"Selected data signalling rate: V.17 14400bps", "R8x7.7lines/mm and/or 200x200pels/25.4mm: Set",
        "2-D coding: Set", "Recording width: 215mm +- 1%", "Recording length: A4 (297mm)",
        "Minimum scan line time: 20ms"}},
      {"v17 12000", 0x1820, [](t30_capability&) {}, {"Selected data signalling rate: V.17 12000bps"}},
      {"v17 9600", 0x1810, [](t30_capability&) {}, {"Selected data signalling rate: V.17 9600bps"}},
      {"v17 7200", 0x1808, [](t30_capability&) {}, {"Selected data signalling rate: V.17 7200bps"}},
      {"v29 9600", 0x1210, [](t30_capability&) {}, {"Selected data signalling rate: V.29, 9600bps"}},
      {"v29 7200", 0x1208, [](t30_capability&) {}, {"Selected data signalling rate: V.29 7200bps"}},
      {"v27 4800", 0x1104, [](t30_capability&) {}, {"Selected data signalling rate: V.27ter 4800bps"}},
      {"v27 2400", 0x1102, [](t30_capability&) {}, {"Selected data signalling rate: V.27ter 2400bps"}},
      {"ecm 64 mmr",
       0x1840,
       [](t30_capability& c) {
         c.coding = T30_CODING_MMR;
         c.ecm = 1;
         c.ecm_frame_size = 1;
       },
       {"Error correction mode (ECM): ECM", "Frame size: 64 octets", "T.6 coding: Set", "Minimum scan line time: 0ms"}},
      {"ecm 256",
       0x1840,
       [](t30_capability& c) {
         c.ecm = 2;
         c.ecm_frame_size = 2;
       },
       {"Frame size: 256 octets"}},
      {"b4 unlimited 40ms",
       0x1840,
       [](t30_capability& c) {
         c.width = T30_WIDTH_B4;
         c.length = T30_LENGTH_UNLIMITED;
         c.scan_time = 7;
       },
       {"Recording width: 255mm +- 1%", "Recording length: Unlimited", "Minimum scan line time: 40ms"}},
      {"a3 b4 5ms",
       0x1840,
       [](t30_capability& c) {
         c.width = T30_WIDTH_A3;
         c.length = T30_LENGTH_B4;
         c.scan_time = 1;
       },
       {"Recording width: 303mm +- 1%", "Recording length: B4 (364mm)", "Minimum scan line time: 5ms"}},
      {"10 ms", 0x1840, [](t30_capability& c) { c.scan_time = 3; }, {"Minimum scan line time: 10ms"}},
      {"300 dpi inch",
       0x1840,
       [](t30_capability& c) {
         c.resolution = T30_RES_300;
         c.unit_preference = 2;
       },
       {"300x300pels/25.4mm: Set", "Resolution type selection: Inch"}},
      {"subaddress password",
       0x1840,
       [](t30_capability& c) {
         c.subaddress = 1;
         c.password = 1;
       },
       {"Sub-addressing: Set", "Sender identification transmission: Set"}},
  };
  spandsp_t30 sp(false);
  for (const Case& k : cases) {
    t30_capability c = base();
    k.edit(c);
    const std::string log = sp.decode(build_final(t30_set_kind::dcs, c, k.modulation));
    EXPECT_TRUE(has_line(log, "DCS:")) << k.name;
    for (const char* w : k.want) EXPECT_TRUE(has_line(log, w)) << k.name << ": " << w << "\n" << log;
  }
}

// Frames that spandsp builds as the answering side: CSI then DIS.
TEST(T30Spandsp, ReadsItsCsiAndDis) {
  struct Case {
    const char* name;
    int modems;
    bool ecm;
    int compressions;
    uint16_t modulation;
    uint8_t coding;
    uint8_t ecm_value;
  };
  const Case cases[] = {
      {"all modems, no ecm", T30_SUPPORT_V27TER | T30_SUPPORT_V29 | T30_SUPPORT_V17, false,
       T30_SUPPORT_T4_1D_COMPRESSION | T30_SUPPORT_T4_2D_COMPRESSION, 0x1B7E, 3, 0},
      {"v27 v29, ecm, t6", T30_SUPPORT_V27TER | T30_SUPPORT_V29, true,
       T30_SUPPORT_T4_1D_COMPRESSION | T30_SUPPORT_T4_2D_COMPRESSION | T30_SUPPORT_T6_COMPRESSION, 0x131E, 7, 3},
      {"v27 only", T30_SUPPORT_V27TER, false, T30_SUPPORT_T4_1D_COMPRESSION, 0x1106, 1, 0},
  };
  for (const Case& k : cases) {
    spandsp_t30 sp(false);
    t30_set_tx_ident(sp.s, "+49 1234");
    t30_set_rx_file(sp.s, "/dev/null", -1);
    t30_set_supported_modems(sp.s, k.modems);
    t30_set_ecm_capability(sp.s, k.ecm);
    t30_set_supported_compressions(sp.s, k.compressions);
    t30_restart(sp.s);
    sp.send_steps(2);
    ASSERT_GE(g_sent.size(), 2u) << k.name << "\n" << g_log;
    std::vector<bytes> ours;
    std::vector<std::span<const uint8_t>> spans;
    for (size_t i = 0; i < 2; ++i) ours.push_back(reversed(g_sent[i]));
    for (const bytes& b : ours) spans.emplace_back(b.data(), b.size());
    t30_remote_ident rx;
    t30_capability remote;
    ASSERT_TRUE(t30_ident__parse_set(t30_set_kind::dis, spans, rx, remote)) << k.name;
    // spandsp fills the identity with spaces to 20 characters.
    EXPECT_EQ(rx.identity.view(), std::string(12, ' ') + "+49 1234") << k.name;
    EXPECT_EQ(remote.service & T30_SVC_RECEIVE, T30_SVC_RECEIVE) << k.name;
    EXPECT_EQ(remote.modulation, k.modulation) << k.name;
    EXPECT_EQ(remote.coding, k.coding) << k.name;
    EXPECT_EQ(remote.ecm, k.ecm_value) << k.name;
    EXPECT_EQ(remote.resolution & T30_RES_FINE, T30_RES_FINE) << k.name;
  }
}

#if defined(KV_HAVE_LIBTIFF)
// A one-page fax file for spandsp to send.
std::string write_page_file() {
  char name[] = "/tmp/kv_t30_spandsp_XXXXXX";
  const int fd = mkstemp(name);
  if (fd < 0) return {};
  close(fd);
  TIFF* t = TIFFOpen(name, "w");
  if (t == nullptr) return {};
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, 1728);
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, 16);
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 1);
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
  TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX3);
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
  TIFFSetField(t, TIFFTAG_FILLORDER, FILLORDER_LSB2MSB);
  TIFFSetField(t, TIFFTAG_XRESOLUTION, 204.0f);
  TIFFSetField(t, TIFFTAG_YRESOLUTION, 196.0f);
  TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
  TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 16);
  TIFFSetField(t, TIFFTAG_PAGENUMBER, 0, 1);
  std::vector<uint8_t> row(216, 0);
  for (uint32_t y = 0; y < 16; ++y) TIFFWriteScanline(t, row.data(), y, 0);
  TIFFWriteDirectory(t);
  TIFFClose(t);
  return name;
}

// spandsp as the calling side reads our CSI and DIS and answers with TSI and
// DCS, which we read back.
TEST(T30Spandsp, ReadsOurIdentityAndAnswersWithDcs) {
  const std::string file = write_page_file();
  ASSERT_FALSE(file.empty());
  spandsp_t30 sp(true);
  t30_set_tx_file(sp.s, file.c_str(), -1, -1);
  t30_set_tx_ident(sp.s, "5551234");
  t30_set_ecm_capability(sp.s, false);
  t30_restart(sp.s);

  t30_local_params local;
  const std::string id = "+44 20 7946";
  t30_setparm(local, T30_SETPARM_IDENTITY, {reinterpret_cast<const uint8_t*>(id.data()), id.size()});
  // The answering side's record holds "a document comes in" (0x100).
  t30_capability fields = t30_cap__defaults();
  fields.service = T30_SVC_TRANSMIT;
  fields.ecm = fields.ecm_frame_size = 0;
  const t30_capability offer = t30_neg__offer(fields, t30_cap__defaults());
  ASSERT_FALSE(offer.empty());
  t30_frame_set set;
  ASSERT_EQ(t30_build_set(t30_set_kind::dis, offer, local, {}, set), t30_build_status::ok);
  g_sent.clear();
  for (size_t i = 0; i < set.count; ++i) {
    const bytes line = reversed(set.frame(i));
    t30_hdlc_accept(sp.s, line.data(), static_cast<int>(line.size()), 1);
  }
  t30_front_end_status(sp.s, T30_FRONT_END_RECEIVE_COMPLETE);
  EXPECT_EQ(std::string(t30_get_rx_ident(sp.s)), id);

  sp.send_steps(2);
  ASSERT_GE(g_sent.size(), 2u) << g_log;
  std::vector<bytes> ours;
  std::vector<std::span<const uint8_t>> spans;
  for (size_t i = 0; i < 2; ++i) ours.push_back(reversed(g_sent[i]));
  for (const bytes& b : ours) spans.emplace_back(b.data(), b.size());
  EXPECT_EQ(ours[1][2] & 0x7F, T30_FCF_DCS);
  t30_remote_ident rx;
  t30_capability dcs;
  ASSERT_TRUE(t30_ident__parse_set(t30_set_kind::dcs, spans, rx, dcs)) << g_log;
  EXPECT_EQ(rx.identity.view(), std::string(13, ' ') + "5551234");
  EXPECT_EQ(dcs.service, T30_SVC_TRANSMIT);
  EXPECT_EQ(dcs.modulation, 0x1840);  // its first choice from our V.17 offer
  EXPECT_EQ(dcs.ecm, 0);
  // What it chose fits what we offered.
  const t30_neg_dcs n = t30_neg__on_dcs(offer, dcs);
  EXPECT_FALSE(n.result.empty());
  EXPECT_EQ(n.page_modulation, 0x1840);
  std::remove(file.c_str());
}
#endif

}  // namespace

#else
TEST(T30Spandsp, NotInstalled) { GTEST_SKIP() << "libspandsp-dev not installed"; }
#endif
