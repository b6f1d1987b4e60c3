// The T.38 milestone against spandsp terminals that take less than the
// pages to send: a fine page to a peer with normal resolution only, an MMR
// file to a peer without T.6.  tessaly converts each page on the way; the
// peer's received file is read back with libtiff (pages, size, resolution,
// content).  A page wider than the peer takes is refused with the
// converter's cause and leaves nothing behind.
#include "host/support/milestone_fixture.h"

#if defined(KV_HAVE_SPANDSP) && defined(KV_HAVE_LIBTIFF)

#include <spandsp.h>
#include <tiffio.h>

#include <cmath>
#include <functional>

namespace milestone {
namespace {

struct received_page {
  uint32_t width = 0, length = 0;
  float yres_per_inch = 0;
};

std::vector<received_page> read_received(const std::string& path) {
  std::vector<received_page> out;
  TIFF* t = TIFFOpen(path.c_str(), "r");
  if (!t) return out;
  for (int guard = 0; guard < 100; ++guard) {
    received_page p;
    TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &p.width);
    TIFFGetField(t, TIFFTAG_IMAGELENGTH, &p.length);
    float y = 0;
    uint16_t unit = RESUNIT_INCH;
    TIFFGetField(t, TIFFTAG_YRESOLUTION, &y);
    TIFFGetField(t, TIFFTAG_RESOLUTIONUNIT, &unit);
    p.yres_per_inch = unit == RESUNIT_CENTIMETER ? y * 2.54f : y;
    out.push_back(p);
    if (!TIFFReadDirectory(t)) break;
  }
  TIFFClose(t);
  return out;
}

// Lines 0, 2, 4 ... of a page: a 200-lpi page sent at 100 lpi.
fax_test::page every_second_line(const fax_test::page& p) {
  fax_test::page out = p;
  out.height = (p.height + 1) / 2;
  out.bits.assign(size_t{out.height} * out.stride(), 0);
  for (uint32_t y = 0; y < out.height; ++y) std::copy(p.row(2 * y), p.row(2 * y) + p.stride(), out.row(y));
  return out;
}

class ConversionTest : public MilestoneTest {
 protected:
  // tessaly sends the file `write_pages` makes to a peer with `po`'s
  // capabilities over UDPTL; returns the final status kind (0: none).
  uint16_t Send(uint16_t media_port, peer_options po, const std::function<void(const std::string&)>& write_pages) {
    po.calling = false;
    po.listen = true;
    po.rx_file = peer_dir_.File("rx.tif");
    po.remote_port = static_cast<uint16_t>(media_port + media_port_shift() + 2);
    t38_live_peer peer(po);
    EXPECT_NE(peer.port(), 0);
    MakeArea('U', media_port, peer.port());
    write_pages(PagesFile());
    peer.start();
    StartTessaly(false);
    if (HasFatalFailure()) return 0;
    const resources before = quiet_in_use(2000);
    EXPECT_EQ(controller_->Send(), STATUS_OK);
    std::optional<tessaly_test::Reply> r = NextOf({FAX_STATUS_REQUEST_DONE, FAX_STATUS_REQUEST_FAILED}, 5000);
    EXPECT_TRUE(r && r->status.kind == FAX_STATUS_REQUEST_DONE);
    r = NextOf({FAX_STATUS_FAX_SENT, FOIP_STATUS_FAX_NOT_SENT, FOIP_STATUS_FAX_NOT_CONNECTED, FAX_STATUS_SESSION_LOST},
               90000);
    EXPECT_TRUE(peer.wait(30000));
    completion_ = peer.completion.load();
    EXPECT_TRUE(SettlesTo(before, 10000)) << describe(in_use()) << "; before the send: " << describe(before);
    EXPECT_TRUE(StopTessaly());
    if (!r) return 0;
    status_text_ = r->status.text;
    return r->status.kind;
  }
  int completion_ = -1;
  std::string status_text_;
};

TEST_F(ConversionTest, FinePagesGoAtNormalResolutionToAPeerWithoutFine) {
  const std::vector<fax_test::page> pages = three_pages(14700);
  peer_options po;
  po.resolutions = T30_SUPPORT_STANDARD_RESOLUTION | T30_SUPPORT_R8_RESOLUTION;
  const uint16_t kind = Send(14700, po, [&](const std::string& f) { fax_test::libtiff_write_fax(f, pages); });
  EXPECT_EQ(kind, FAX_STATUS_FAX_SENT) << status_text_;
  EXPECT_EQ(completion_, T30_ERR_OK);
  const std::vector<received_page> got = read_received(peer_dir_.File("rx.tif"));
  ASSERT_EQ(got.size(), pages.size());
  std::vector<fax_test::page> want;
  for (size_t i = 0; i < pages.size(); ++i) {
    want.push_back(every_second_line(pages[i]));
    EXPECT_EQ(got[i].width, 1728u);
    EXPECT_EQ(got[i].length, want.back().height);
    EXPECT_NEAR(got[i].yres_per_inch, 98.0f, 2.0f);
  }
  ExpectPages(peer_dir_.File("rx.tif"), want);
}

TEST_F(ConversionTest, AnMmrFileGoesInOneDimensionalCodingToAPeerWithoutT6) {
  const fax_test::page p = fax_test::make_page(fax_test::kind::text, 1728, 150, 14800);
  peer_options po;  // T.4 one-dimensional only, no ECM
  const uint16_t kind =
      Send(14800, po, [&](const std::string& f) { fax_test::libtiff_write(f, p, 4, 0, p.height, false, 2, 2, 98.0f); });
  EXPECT_EQ(kind, FAX_STATUS_FAX_SENT) << status_text_;
  EXPECT_EQ(completion_, T30_ERR_OK);
  const std::vector<received_page> got = read_received(peer_dir_.File("rx.tif"));
  ASSERT_EQ(got.size(), 2u);
  for (const received_page& g : got) {
    EXPECT_EQ(g.width, 1728u);
    EXPECT_EQ(g.length, p.height);
    EXPECT_NEAR(g.yres_per_inch, 98.0f, 2.0f);
  }
  ExpectPages(peer_dir_.File("rx.tif"), {p, p});
}

// The converter pads narrower lines but cannot cut wider ones: a B4 page to
// an A4-only peer is refused before any page data go, with the converter's
// cause, and the session ends cleanly.
TEST_F(ConversionTest, AB4PageToAnA4OnlyPeerIsRefusedWithTheConvertersCause) {
  const fax_test::page p = fax_test::make_page(fax_test::kind::text, 2048, 100, 14900);
  peer_options po;
  po.image_sizes = T30_SUPPORT_215MM_WIDTH | T30_SUPPORT_UNLIMITED_LENGTH | T30_SUPPORT_A4_LENGTH;
  const uint16_t kind =
      Send(14900, po, [&](const std::string& f) { fax_test::libtiff_write(f, p, 3, 0, p.height, false, 2, 1, 98.0f); });
  EXPECT_EQ(kind, FOIP_STATUS_FAX_NOT_SENT) << status_text_;
  EXPECT_NE(completion_, T30_ERR_OK);
}

}  // namespace
}  // namespace milestone

#endif
