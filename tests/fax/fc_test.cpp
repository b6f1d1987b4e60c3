// ENT_FC with a fake fax management entity: configuration, the request
// checks and their causes, pass-through, decoding and re-encoding, 200 -> 100
// lpi, padding to wider lines, the page header band, the page line limit,
// corrupt input, stop and reset.  Every converted page is stored with our
// TIFF writer and decoded by libtiff.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "common/byte_order.h"
#include "fax/fc.h"
#include "fax/page_header.h"
#include "fax/t4t6.h"
#include "fax/tiff.h"
#include "fax/support/fax_test_pages.h"
#include "runtime/om_os.h"
#include "runtime/sm.h"
#include "runtime/support/rt_harness.h"

using namespace rt_test;
using bytes = std::vector<u8>;
using fax_test::page;

namespace {

const entity_table_row_t TABLE[] = {
    {ENT_SM, record_handler, 0, 0, nullptr, 0},
    FC_ENTITY_ROW,
    {ENT_FAX, record_handler, 0, 0, nullptr, 0},
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

constexpr u16 kMaxData = 300;

// A request for an A4 page: in and out alike unless changed.
fc__init_pg_conv request(u8 in_enc, u8 out_enc, u16 width = 1728, u32 lines = 100) {
  fc__init_pg_conv r;
  r.in_pg__encoding = in_enc;
  r.in_pg__line_length = width;
  r.in_pg__line_padding_mode = FC_PAD_CENTRE;
  r.in_pg__vertical_resolution = FC_LPI_200;
  r.in_pg__nb_lines = lines;
  r.in_pg__color_bilevel__flag_white_is_zero = 1;
  r.out_pg__encoding = out_enc;
  r.out_pg__line_length = width;
  r.out_pg__vertical_resolution = FC_LPI_200;
  r.out_pg__nb_lines = FC_NO_LINE_LIMIT;
  r.out_pg__color_bilevel__flag_white_is_zero = 1;
  return r;
}

void set_header(fc__init_pg_conv& r, const std::string& text) {
  std::memset(r.sz_page_header, 0, sizeof r.sz_page_header);
  std::memcpy(r.sz_page_header, text.data(), std::min(text.size(), sizeof r.sz_page_header - 1));
}

// Bitmap of `height` lines of `width` pels from raw line bytes.
page bitmap(uint32_t width, uint32_t height) {
  page p;
  p.width = width;
  p.height = height;
  p.bits.assign(size_t{p.stride()} * height, 0);
  return p;
}

page read_pbm(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::string magic;
  page p;
  f >> magic >> p.width >> p.height;
  f.get();
  EXPECT_EQ(magic, "P4");
  p.bits.assign(size_t{p.stride()} * p.height, 0);
  f.read(reinterpret_cast<char*>(p.bits.data()), static_cast<std::streamsize>(p.bits.size()));
  EXPECT_TRUE(f.good()) << path;
  return p;
}

void write_pbm(const std::string& path, const page& p) {
  std::ofstream f(path, std::ios::binary);
  f << "P4\n" << p.width << " " << p.height << "\n";
  f.write(reinterpret_cast<const char*>(p.bits.data()), static_cast<std::streamsize>(p.bits.size()));
}

page rows_of(const page& p, uint32_t first, uint32_t count) {
  page r = bitmap(p.width, count);
  std::memcpy(r.bits.data(), p.row(first), size_t{count} * p.stride());
  return r;
}

// Renders a text the way the converter does, into 1728-pel rows.
page render(const std::string& text, u8 vertical_mode, int32_t top) {
  tcg_handle h;
  h.font = text.size() <= TCG_FONT0_MAX_TEXT ? 0 : 1;
  h.vertical_mode = vertical_mode;
  h.top_margin = top;
  bytes chars(text.begin(), text.end());
  chars.push_back(TCG_END_OF_TEXT);
  EXPECT_EQ(tcg_init(&h), TCG_INIT_OK);
  h.text = chars.data();
  h.text_left = u32(chars.size());
  page p = bitmap(TCG_ROW_PELS, 0);
  bytes row(TCG_ROW_BYTES);
  while (!h.text_done) {
    h.dest = row.data();
    h.dest_room = TCG_ROW_BYTES;
    tcg_put_rows(&h);
    if (h.dest != row.data()) p.bits.insert(p.bits.end(), row.begin(), row.end()), ++p.height;
  }
  tcg_release(&h);
  return p;
}

const std::string kHeader = "10/12/2026 08:15  FROM: +33 1 23 45 67 89  TO: Korvane   Page   1/3";

class Fc : public ::testing::Test {
 protected:
  void SetUp() override {
    start_manual(TABLE);
    pump();
    rec().clear();
  }
  void TearDown() override { stop(); }

  // SM_CONFIG_RQ from ENT_SM; returns the confirm's body.
  bytes configure(u16 contexts, u16 max_data, bool with_body = true) {
    bytes body(FC_CONFIG_SIZE, 0);
    body[0] = ENT_FC;
    put_le16(body.data() + 4, contexts);
    put_le16(body.data() + 6, max_data);
    Send_msg(make_msg(ENT_SM, ENT_FC, SM_CONFIG_RQ, with_body ? body : bytes{}));
    return answer_of(SM_CONFIG_CO, ENT_SM);
  }
  void configure_ok() { ASSERT_EQ(configure(4, kMaxData)[0], FC_OK); }

  // The last message of `code` to `to`, after pumping; its body.
  bytes answer_of(code_t code, ent_id_t to = ENT_FAX) {
    pump();
    bytes got;
    bool found = false;
    for (const auto& m : rec().messages())
      if (m.code == code && m.to == to) got = m.data, found = true;
    EXPECT_TRUE(found) << "no answer '" << char(code) << "'";
    return got;
  }
  static std::vector<seen_msg> of(code_t code) {
    std::vector<seen_msg> r;
    for (const auto& m : rec().messages())
      if (m.code == code && m.to == ENT_FAX) r.push_back(m);
    return r;
  }

  // A request from ENT_FAX whose body travels in a buffer chain.
  static void send_chained(code_t code, const bytes& body, nai_t nai) {
    msg_t* m = Alloc_msg();
    m->from = ENT_FAX;
    m->to = ENT_FC;
    m->nai = nai;
    m->sapi = FC_SAPI;
    m->conn_id = 0xFFFF;
    m->code = code;
    if (!body.empty()) Msg_attach_chain(m, Store_data_in_buffers(body.data(), u32(body.size()), nullptr));
    Send_msg(m);
  }

  fc__init_pg_conv init(const fc__init_pg_conv& r, nai_t nai = 0) {
    u8 body[FC_INIT_PG_CONV_SIZE];
    fc__init_pg_conv_pack(r, body);
    send_chained(FC__INIT_PG_RQ, bytes(body, body + sizeof body), nai);
    bytes a = answer_of(FC__INIT_PG_CO);
    a.resize(FC_INIT_PG_CONV_SIZE);
    return fc__init_pg_conv_unpack(a.data());
  }

  // Page data in messages of `chunk` bytes, each in one buffer.
  void feed(const bytes& data, nai_t nai = 0, size_t chunk = kMaxData) {
    for (size_t at = 0; at < data.size(); at += chunk) {
      const size_t n = std::min(chunk, data.size() - at);
      send_chained(FC__DA_RQ, bytes(data.begin() + long(at), data.begin() + long(at + n)), nai);
      pump();
    }
  }

  // FC__STOP_PG_RQ; returns the decoder report.
  fc__decoder_report stop_page(u8 reason = FC_STOP_FINISH, nai_t nai = 0) {
    bytes body(FC_STOP_PG_RQ_SIZE, 0);
    body[FC_STOP_REASON_OFFSET] = reason;
    send_chained(FC__STOP_PG_RQ, body, nai);
    bytes a = answer_of(FC__STOP_PG_CO);
    EXPECT_GE(a.size(), FC_STOP_PG_CO_SIZE);
    a.resize(FC_STOP_PG_CO_SIZE);
    EXPECT_EQ(a[0], FC_OK);
    EXPECT_EQ(a[2], ENT_FC);
    fc__decoder_report r;
    r.valid = a[3];
    r.lines_decoded = get_le32(a.data() + 4);
    r.ended_by_error = a[8];
    r.error_lines = get_le32(a.data() + 12);
    return r;
  }

  // Every FC__DA_IN of a page, end to end; checks the addressing.
  static bytes output(nai_t nai = 0) {
    bytes out;
    for (const auto& m : of(FC__DA_IN)) {
      if (m.nai != nai) continue;
      EXPECT_EQ(m.from, ENT_FC);
      EXPECT_EQ(m.sapi, FC_SAPI);
      EXPECT_TRUE(m.chained);
      EXPECT_LE(m.data.size(), kMaxData);
      out.insert(out.end(), m.data.begin(), m.data.end());
    }
    return out;
  }

  // Stores coded data as a TIFF page with our writer and decodes it with
  // libtiff.
  page through_libtiff(const bytes& coded, u8 coding, uint32_t width, uint32_t height, u8 lpi) {
#ifdef KV_HAVE_LIBTIFF
    const std::string data = dir.file("page.dat"), path = dir.file("page.tif");
    fax_test::write_file(data, coded);
    auto ctx = std::make_unique<tiff__ctx>();
    EXPECT_EQ(tiff__start_write(ctx.get(), tiff__get_ctx_size(), path.c_str()), TIFF_DONE);
    tiff__pg_header h;
    h.image_width = width;
    h.image_length = height;
    h.compression = coding == FC_MH ? TIFF_T4_MONO : coding == FC_MR ? TIFF_T4_BI : TIFF_T6;
    h.fill_order = TIFF_HIGHEST_BIT_FIRST;
    h.color_format = TIFF_WHITEISZERO;
    h.resolution_unit = 2;
    h.x_resolution = 204;
    h.y_resolution = lpi == FC_LPI_100 ? 98 : 196;
    EXPECT_EQ(tiff__write_page(ctx.get(), &h, data.c_str()), TIFF_DONE);
    tiff__close(ctx.get());
    return fax_test::libtiff_read(path);
#else
    (void)lpi;
    auto d = fax_test::decode(coded, coding, width);
    d.pg.height = height;
    d.pg.bits.resize(size_t{d.pg.stride()} * height);
    return d.pg;
#endif
  }

  fax_test::temp_dir dir;
};

// ---------------------------------------------------------------------------
// Configuration.

TEST_F(Fc, ConfigurationChecksAndAnswers) {
  EXPECT_EQ(fc__marker(), FC_MARKER_STARTED);
  struct {
    u16 contexts, max_data;
    bool body;
    u8 cause;
  } cases[] = {
      {4, 300, false, FC_CFG_ERR_NO_BODY},
      {64, 300, true, FC_CFG_ERR_CONTEXTS},
      {4, 0, true, FC_CFG_ERR_DATA_SIZE},  // would never fill a message
      {4, u16(om_os_get_buffer_room() + 1), true, FC_CFG_ERR_DATA_SIZE},
  };
  for (const auto& c : cases) {
    const bytes a = configure(c.contexts, c.max_data, c.body);
    ASSERT_GE(a.size(), 3u);
    EXPECT_EQ(a[0], FC_NOK) << int(c.cause);
    EXPECT_EQ(a[1], c.cause);
    EXPECT_EQ(a[2], ENT_FC);
    EXPECT_EQ(fc__marker(), FC_MARKER_STARTED);
  }
  bytes a = configure(63, om_os_get_buffer_room());
  EXPECT_EQ(a[0], FC_OK);
  EXPECT_EQ(fc__marker(), FC_MARKER_CONFIGURED);
  EXPECT_EQ(fc__page_state(62), FC_PAGE_IDLE);
  EXPECT_EQ(fc__page_state(63), 0xFF);
  a = configure(4, 300);
  EXPECT_EQ(a[0], FC_NOK);
  EXPECT_EQ(a[1], FC_CFG_ERR_TWICE);

  // Reset aborts a running page, frees the table and allows a new configuration.
  ASSERT_EQ(init(request(FC_MH, FC_MMR)).result, FC_OK);
  Send_msg(make_msg(ENT_SM, ENT_FC, SM_RST_CFG_RQ, {ENT_FC, 0, 0}));
  a = answer_of(SM_RST_CFG_CO, ENT_SM);
  EXPECT_EQ(a[0], FC_OK);
  EXPECT_EQ(a[1], 0);
  EXPECT_EQ(fc__marker(), FC_MARKER_STARTED);
  EXPECT_EQ(init(request(FC_MH, FC_MMR)).cause, FC__INIT_ERR__BAD_PG_ID);
  EXPECT_EQ(configure(2, 300)[0], FC_OK);
  EXPECT_TRUE(rec().traps().empty());
}

// ---------------------------------------------------------------------------
// Request checks: every cause of the check, first failure first.

TEST(FcCheck, EveryCause) {
  struct tc {
    const char* what;
    void (*change)(fc__init_pg_conv&);
    u8 cause;
  };
  const tc cases[] = {
      {"in encoding 4", [](fc__init_pg_conv& r) { r.in_pg__encoding = 4; }, FC__INIT_ERR__INPG_ENCODING},
      {"in 1732 pels", [](fc__init_pg_conv& r) { r.in_pg__line_length = 1732; }, FC__INIT_ERR__INPG_LINE_LENGTH},
      {"in 0 pels", [](fc__init_pg_conv& r) { r.in_pg__line_length = 0; }, FC__INIT_ERR__INPG_LINE_LENGTH},
      {"padding 3", [](fc__init_pg_conv& r) { r.in_pg__line_padding_mode = 3; }, FC__INIT_ERR__INPG_LINE_PADDING_MODE},
      {"in lpi 3", [](fc__init_pg_conv& r) { r.in_pg__vertical_resolution = 3; },
       FC__INIT_ERR__INPG_VERTICAL_RESOLUTION},
      {"in lpi 128", [](fc__init_pg_conv& r) { r.in_pg__vertical_resolution = 128; },
       FC__INIT_ERR__INPG_VERTICAL_RESOLUTION},
      {"in colour", [](fc__init_pg_conv& r) { r.in_pg__kind_of_color = 1; }, FC__INIT_ERR__INPG_KIND_OF_COLOR},
      {"in white 2", [](fc__init_pg_conv& r) { r.in_pg__color_bilevel__flag_white_is_zero = 2; },
       FC__INIT_ERR__INPG_FLAG_WHITE_IS_ZERO},
      {"out raw", [](fc__init_pg_conv& r) { r.out_pg__encoding = 0; }, FC__INIT_ERR__OUTPG_ENCODING},
      {"out 1730 pels", [](fc__init_pg_conv& r) { r.out_pg__line_length = 1730; }, FC__INIT_ERR__OUTPG_LINE_LENGTH},
      {"in wider", [](fc__init_pg_conv& r) { r.in_pg__line_length = 2048; }, FC__INIT_ERR__LINE_LENGTH},
      {"out lpi 0", [](fc__init_pg_conv& r) { r.out_pg__vertical_resolution = 0; },
       FC__INIT_ERR__OUTPG_VERTICAL_RESOLUTION},
      {"out 0 lines", [](fc__init_pg_conv& r) { r.out_pg__nb_lines = 0; }, FC__INIT_ERR__OUTPG_NB_LINES},
      {"out colour", [](fc__init_pg_conv& r) { r.out_pg__kind_of_color = 2; }, FC__INIT_ERR__OUTPG_KIND_OF_COLOR},
      {"out white 9", [](fc__init_pg_conv& r) { r.out_pg__color_bilevel__flag_white_is_zero = 9; },
       FC__INIT_ERR__OUTPG_FLAG_WHITE_IS_ZERO},
      {"100 -> 200 lpi", [](fc__init_pg_conv& r) { r.in_pg__vertical_resolution = FC_LPI_100; },
       FC__INIT_ERR__BAD_RESOL_CONV_REQUEST},
      {"400 -> 100 lpi",
       [](fc__init_pg_conv& r) { r.in_pg__vertical_resolution = 4, r.out_pg__vertical_resolution = 1; },
       FC__INIT_ERR__BAD_RESOL_CONV_REQUEST},
  };
  for (const auto& c : cases) {
    fc__init_pg_conv r = request(FC_MH, FC_MMR);
    c.change(r);
    EXPECT_EQ(fc__check_init_pg_conv_param(&r), FC_NOK) << c.what;
    EXPECT_EQ(r.result, FC_NOK) << c.what;
    EXPECT_EQ(r.cause, c.cause) << c.what;
    EXPECT_EQ(r.entity, ENT_FC) << c.what;
  }
  EXPECT_STREQ(fc__cause_text(FC__INIT_ERR__OUTPG_LINE_LENGTH),
               "(FC__INIT_ERR__OUTPG_LINE_LENGTH) Bad parameter: line_length of Output page");
  EXPECT_STREQ(
      fc__cause_text(FC__TXT_ERR__OUTPUT_BUFFER_TOO_SMALL),
      "(FC__TXT_ERR__OUTPUT_BUFFER_TOO_SMALL) Internal error, Allocated buffer (p_output_bmp_buffer) is too small");
  EXPECT_STREQ(fc__cause_text(22), "(FC_xxxxxxxx) unknown code");
}

TEST(FcCheck, StageBits) {
  struct tc {
    const char* what;
    void (*change)(fc__init_pg_conv&);
    u32 bits;
  };
  const tc cases[] = {
      {"same", [](fc__init_pg_conv&) {}, 0},
      {"MH -> MMR", [](fc__init_pg_conv& r) { r.out_pg__encoding = FC_MMR; }, FC_CONV_DECODE | FC_CONV_ENCODE},
      {"header", [](fc__init_pg_conv& r) { set_header(r, "x"); }, FC_CONV_HEADER | FC_CONV_DECODE | FC_CONV_ENCODE},
      {"colour", [](fc__init_pg_conv& r) { r.in_pg__color_bilevel__flag_white_is_zero = 0; },
       FC_CONV_COLOUR | FC_CONV_DECODE | FC_CONV_ENCODE},
      {"wider", [](fc__init_pg_conv& r) { r.out_pg__line_length = 2048; },
       FC_CONV_RESOLUTION | FC_CONV_DECODE | FC_CONV_ENCODE},
      {"200 -> 100", [](fc__init_pg_conv& r) { r.out_pg__vertical_resolution = FC_LPI_100; },
       FC_CONV_RESOLUTION | FC_CONV_DECODE | FC_CONV_ENCODE},
      {"cut", [](fc__init_pg_conv& r) { r.out_pg__nb_lines = 99; }, FC_CONV_DECODE | FC_CONV_ENCODE},
      {"raw", [](fc__init_pg_conv& r) { r.in_pg__encoding = FC_RAW_BITMAP; }, FC_CONV_ENCODE},
  };
  for (const auto& c : cases) {
    fc__init_pg_conv r = request(FC_MH, FC_MH);
    c.change(r);
    ASSERT_EQ(fc__check_init_pg_conv_param(&r), FC_OK) << c.what;
    EXPECT_EQ(r.cause, FC__INIT_OK) << c.what;
    EXPECT_EQ(r.enabled_conversion_bfi, c.bits) << c.what;
  }
}

TEST(FcRecord, LayoutRoundTrip) {
  fc__init_pg_conv r = request(FC_MR, FC_MMR, 1216, 0x01020304);
  r.out_pg__line_length = 2432;
  r.out_pg__nb_lines = 0x0A0B0C0D;
  r.bmp_top_margin_pels = 0x1234;
  set_header(r, std::string(140, 'h'));  // cut to 133 characters
  u8 b[FC_INIT_PG_CONV_SIZE];
  fc__init_pg_conv_pack(r, b);
  EXPECT_EQ(b[fc_rec::IN_ENCODING], FC_MR);
  EXPECT_EQ(get_le16(b + fc_rec::IN_LINE_LENGTH), 1216);
  EXPECT_EQ(get_le32(b + fc_rec::IN_NB_LINES), 0x01020304u);
  EXPECT_EQ(get_le16(b + fc_rec::OUT_LINE_LENGTH), 2432);
  EXPECT_EQ(get_le32(b + fc_rec::OUT_NB_LINES), 0x0A0B0C0Du);
  EXPECT_EQ(get_le16(b + fc_rec::TOP_MARGIN), 0x1234);
  const fc__init_pg_conv back = fc__init_pg_conv_unpack(b);
  EXPECT_EQ(std::strlen(back.sz_page_header), 133u);
  EXPECT_EQ(back.bmp_top_margin_pels, 0x1234);
  EXPECT_EQ(back.out_pg__nb_lines, 0x0A0B0C0Du);
}

// ---------------------------------------------------------------------------
// Page start refusals of the entity.

TEST_F(Fc, InitRefusals) {
  configure_ok();
  // Page id beyond the table.
  fc__init_pg_conv a = init(request(FC_MH, FC_MMR), 4);
  EXPECT_EQ(a.result, FC_NOK);
  EXPECT_EQ(a.cause, FC__INIT_ERR__BAD_PG_ID);
  // A check failure leaves the page idle.
  fc__init_pg_conv bad = request(FC_MH, FC_MMR);
  bad.out_pg__line_length = 1730;
  a = init(bad);
  EXPECT_EQ(a.cause, FC__INIT_ERR__OUTPG_LINE_LENGTH);
  EXPECT_EQ(fc__page_state(0), FC_PAGE_IDLE);
  // No record.
  send_chained(FC__INIT_PG_RQ, {}, 0);
  bytes r = answer_of(FC__INIT_PG_CO);
  ASSERT_GE(r.size(), 3u);
  EXPECT_EQ(r[0], FC_NOK);
  EXPECT_EQ(r[1], FC__INIT_ERR__NO_INIT_DATA);
  send_chained(FC__INIT_PG_RQ, bytes(100, 0), 0);  // a short record
  EXPECT_EQ(answer_of(FC__INIT_PG_CO)[1], FC__INIT_ERR__NO_INIT_DATA);
  // A page already running.
  a = init(request(FC_MH, FC_MMR));
  EXPECT_EQ(a.result, FC_OK);
  EXPECT_EQ(a.cause, FC__INIT_OK);
  EXPECT_EQ(a.entity, ENT_FC);
  EXPECT_EQ(a.enabled_conversion_bfi, FC_CONV_DECODE | FC_CONV_ENCODE);
  a = init(request(FC_MH, FC_MMR));
  EXPECT_EQ(a.cause, FC__INIT_ERR__CONV_IN_PROGRESS);
  EXPECT_EQ(fc__page_state(0), FC_PAGE_CONVERTING);
}

// A header taller than a page fits no band: cause 79, and the page stays
// started with nothing set up until it is stopped.
TEST_F(Fc, HeaderTallerThanAPage) {
  configure_ok();
  fc__init_pg_conv r = request(FC_MH, FC_MMR);
  set_header(r, "first line\fsecond page");
  const fc__init_pg_conv a = init(r);
  EXPECT_EQ(a.result, FC_NOK);
  EXPECT_EQ(a.cause, FC__TXT_ERR__OUTPUT_BUFFER_TOO_SMALL);
  EXPECT_EQ(fc__page_state(0), FC_PAGE_CONVERTING);
  feed(fax_test::encode(fax_test::make_page(fax_test::kind::text, 1728, 10), FC_MH));
  EXPECT_TRUE(of(FC__DA_IN).empty());
  const fc__decoder_report rep = stop_page();
  EXPECT_EQ(rep.valid, 0);
  EXPECT_EQ(fc__page_state(0), FC_PAGE_IDLE);
  EXPECT_EQ(init(request(FC_MH, FC_MMR)).result, FC_OK);
}

// A top margin beyond the page is cut so that the text still fits a page;
// the band then covers the whole (short) page, white.
TEST_F(Fc, TopMarginBeyondThePage) {
  configure_ok();
  const page pg = fax_test::make_page(fax_test::kind::noise, 1728, 100, 3);
  fc__init_pg_conv r = request(FC_MMR, FC_MH, 1728, pg.height);
  r.in_pg__vertical_resolution = r.out_pg__vertical_resolution = FC_LPI_100;
  r.bmp_top_margin_pels = 60000;
  set_header(r, kHeader);
  ASSERT_EQ(init(r).result, FC_OK);
  feed(fax_test::encode(pg, FC_MMR));
  stop_page();
  EXPECT_EQ(fax_test::describe_difference(bitmap(1728, pg.height),
                                          through_libtiff(output(), FC_MH, 1728, pg.height, FC_LPI_100)),
            "");
}

// ---------------------------------------------------------------------------
// Data paths.

TEST_F(Fc, PassThroughReturnsTheDataUnchanged) {
  configure_ok();
  const fc__init_pg_conv a = init(request(FC_MMR, FC_MMR), 1);
  ASSERT_EQ(a.result, FC_OK);
  EXPECT_EQ(a.enabled_conversion_bfi, 0u);
  EXPECT_EQ(fc__page_state(1), FC_PAGE_PASS_THROUGH);
  bytes data(1000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = u8(i * 7);
  feed(data, 1, 250);
  const auto ins = of(FC__DA_IN);
  ASSERT_EQ(ins.size(), 4u);
  EXPECT_EQ(output(1), data);
  EXPECT_EQ(ins[0].nai, 1);
  stop_page(FC_STOP_FINISH, 1);
  EXPECT_EQ(of(FC__DA_IN).size(), 4u);
  EXPECT_EQ(fc__page_state(1), FC_PAGE_IDLE);
}

// One page through each coding pair; the output decodes (ours and libtiff)
// to the input page, whatever the cut of the input into messages.
TEST_F(Fc, RecodesEveryCodingPair) {
  configure_ok();
  const page pg = fax_test::make_page(fax_test::kind::text, 1728, 120, 3);
  struct tc {
    u8 in, out;
    size_t chunk;
  } cases[] = {{FC_MH, FC_MMR, 300},
               {FC_MMR, FC_MH, 7},
               {FC_MR, FC_MR, 1},  // MR -> MR with a line cut
               {FC_MMR, FC_MR, 1600},
               {FC_RAW_BITMAP, FC_MMR, 299}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << int(c.in) << " -> " << int(c.out) << " in pieces of " << c.chunk);
    rec().clear();
    fc__init_pg_conv r = request(c.in, c.out, 1728, pg.height);
    if (c.in == c.out) r.out_pg__nb_lines = pg.height - 20;
    ASSERT_EQ(init(r).result, FC_OK);
    feed(c.in == FC_RAW_BITMAP ? pg.bits : fax_test::encode(pg, c.in), 0, c.chunk);
    const uint32_t lines = c.in == c.out ? pg.height - 20 : pg.height;
    if (c.in == c.out) {
      // The line limit ends the page by itself.
      const auto stop_in = of(FC__STOP_PG_IN);
      ASSERT_EQ(stop_in.size(), 1u);
      EXPECT_EQ(stop_in[0].data[0], FC_OK);
      EXPECT_EQ(stop_in[0].data[1], FC__INIT_ERR__BAD_PG_ID);
      EXPECT_EQ(get_le32(stop_in[0].data.data() + 4), 20u);  // input lines left out
      EXPECT_EQ(fc__page_state(0), FC_PAGE_IDLE);
    }
    const fc__decoder_report rep = stop_page();
    if (c.in != FC_RAW_BITMAP && c.in != c.out) {
      EXPECT_EQ(rep.valid, 1);
      EXPECT_EQ(rep.lines_decoded, pg.height);
      EXPECT_EQ(rep.error_lines, 0u);
      EXPECT_EQ(rep.ended_by_error, 0);
    }
    const bytes out = output();
    const page want = rows_of(pg, 0, lines);
    const auto ours = fax_test::decode(out, c.out, 1728);
    EXPECT_EQ(ours.status, T4T6_PAGE_END);
    EXPECT_EQ(fax_test::describe_difference(want, ours.pg), "");
    EXPECT_EQ(fax_test::describe_difference(want, through_libtiff(out, c.out, 1728, lines, FC_LPI_200)), "");
  }
}

TEST_F(Fc, From200To100LinesPerInchKeepsEveryOtherLine) {
  configure_ok();
  const page pg = fax_test::make_page(fax_test::kind::lines, 1728, 201, 5);
  fc__init_pg_conv r = request(FC_MH, FC_MR, 1728, pg.height);
  r.out_pg__vertical_resolution = FC_LPI_100;
  ASSERT_EQ(init(r).result, FC_OK);
  feed(fax_test::encode(pg, FC_MH));
  stop_page();
  page want = bitmap(1728, 101);
  for (uint32_t y = 0; y < want.height; ++y) std::memcpy(want.row(y), pg.row(2 * y), want.stride());
  EXPECT_EQ(fax_test::describe_difference(want, through_libtiff(output(), FC_MR, 1728, 101, FC_LPI_100)), "");
}

// A 1728-pel page on a 2048-pel line: 40 white bytes, placed by the padding
// mode.
TEST_F(Fc, PadsToTheWiderLine) {
  configure_ok();
  const page pg = fax_test::make_page(fax_test::kind::noise, 1728, 40, 9);
  for (const auto& [mode, left] : {std::pair{FC_PAD_CENTRE, 20u}, {FC_PAD_LEFT, 40u}, {FC_PAD_RIGHT, 0u}}) {
    SCOPED_TRACE(int(mode));
    rec().clear();
    fc__init_pg_conv r = request(FC_MMR, FC_MMR, 1728, pg.height);
    r.in_pg__line_padding_mode = mode;
    r.out_pg__line_length = 2048;
    ASSERT_EQ(init(r).result, FC_OK);
    feed(fax_test::encode(pg, FC_MMR));
    stop_page();
    page want = bitmap(2048, pg.height);
    for (uint32_t y = 0; y < pg.height; ++y) std::memcpy(want.row(y) + left, pg.row(y), pg.stride());
    EXPECT_EQ(fax_test::describe_difference(want, through_libtiff(output(), FC_MMR, 2048, pg.height, FC_LPI_200)), "");
  }
}

// Raw bitmap input whose white is 1: lines are assembled across messages
// and inverted; a partial last line is dropped.
TEST_F(Fc, RawBitmapInverted) {
  configure_ok();
  const page pg = fax_test::make_page(fax_test::kind::text, 1728, 30, 2);
  fc__init_pg_conv r = request(FC_RAW_BITMAP, FC_MH, 1728, pg.height);
  r.in_pg__color_bilevel__flag_white_is_zero = 0;
  ASSERT_EQ(init(r).result, FC_OK);
  bytes raw = pg.bits;
  for (auto& b : raw) b = u8(~b);
  raw.resize(raw.size() + 100, 0xFF);
  feed(raw, 0, 123);
  const fc__decoder_report rep = stop_page();
  EXPECT_EQ(rep.valid, 0);
  EXPECT_EQ(fax_test::describe_difference(pg, through_libtiff(output(), FC_MH, 1728, pg.height, FC_LPI_200)), "");
}

// ---------------------------------------------------------------------------
// Header band.

// The band, top margin included, replaces the first lines of the page at
// 200 lpi; it matches the stored golden bitmap and the rest of the page is
// the input.
TEST_F(Fc, HeaderBandMatchesGoldenBitmap) {
  configure_ok();
  const page pg = fax_test::make_page(fax_test::kind::noise, 1728, 80, 4);
  fc__init_pg_conv r = request(FC_MH, FC_MMR, 1728, pg.height);
  set_header(r, kHeader);
  r.bmp_top_margin_pels = 6;
  ASSERT_EQ(init(r).enabled_conversion_bfi, FC_CONV_HEADER | FC_CONV_DECODE | FC_CONV_ENCODE);
  feed(fax_test::encode(pg, FC_MH));
  stop_page();
  const page got = through_libtiff(output(), FC_MMR, 1728, pg.height, FC_LPI_200);
  const uint32_t band = 6 + 2 * 15;
  const std::string golden = std::string(KV_SOURCE_DIR) + "/tests/fax/fixtures/fc_header_band_200lpi.pbm";
  if (std::getenv("KV_WRITE_GOLDEN")) write_pbm(golden, rows_of(got, 0, band));
  EXPECT_EQ(fax_test::describe_difference(read_pbm(golden), rows_of(got, 0, band)), "");
  EXPECT_EQ(fax_test::describe_difference(rows_of(pg, band, pg.height - band), rows_of(got, band, pg.height - band)),
            "");
  // The golden is the renderer's output: blank top rows, each glyph row twice.
  EXPECT_EQ(fax_test::describe_difference(render(kHeader, TCG_VERTICAL_OTHER, 6), read_pbm(golden)), "");
}

// The band is the top margin and every text line of the header, each glyph
// row once at 100 lpi and twice otherwise; on narrower pages its rows are cut
// to the line; a text over 80 characters uses the small font.
TEST_F(Fc, HeaderBandAtEveryWidthAndResolution) {
  configure_ok();
  const std::string long_text = kHeader + "  " + std::string(40, 'x');  // over 80 characters
  const std::string two_lines = "first line\nsecond line";
  const std::string longest = kHeader + std::string(133 - kHeader.size(), '-');
  struct tc {
    u16 width;
    u8 lpi;
    u16 top;
    const std::string* text;
    uint32_t glyph_rows;
  } cases[] = {
      {1728, FC_LPI_100, 9, &kHeader, 15},   {864, FC_LPI_200, 3, &kHeader, 30},
      {1024, FC_LPI_100, 0, &long_text, 11}, {1216, FC_LPI_200, 40, &long_text, 22},
      {2048, FC_LPI_100, 2, &kHeader, 15},   {1728, FC_LPI_100, 0, &two_lines, 30},
      {1728, FC_LPI_200, 5, &longest, 44},  // 133 characters wrap onto a second line
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.width << " pels, lpi " << int(c.lpi) << ", top " << c.top);
    rec().clear();
    const page pg = fax_test::make_page(fax_test::kind::lines, c.width, 100, 1);
    fc__init_pg_conv r = request(FC_MH, FC_MH, c.width, pg.height);
    r.in_pg__vertical_resolution = r.out_pg__vertical_resolution = c.lpi;
    r.bmp_top_margin_pels = c.top;
    set_header(r, *c.text);
    ASSERT_EQ(init(r).result, FC_OK);
    feed(fax_test::encode(pg, FC_MH));
    stop_page();
    const page got = through_libtiff(output(), FC_MH, c.width, pg.height, c.lpi);
    const uint32_t band = c.top + c.glyph_rows;
    const page text = render(*c.text, c.lpi == FC_LPI_100 ? TCG_VERTICAL_100 : TCG_VERTICAL_OTHER, c.top);
    ASSERT_EQ(text.height, band);
    page want = bitmap(c.width, band);
    for (uint32_t y = 0; y < band; ++y) std::memcpy(want.row(y), text.row(y), std::min(want.stride(), text.stride()));
    EXPECT_EQ(fax_test::describe_difference(want, rows_of(got, 0, band)), "");
    EXPECT_EQ(fax_test::describe_difference(rows_of(pg, band, 100 - band), rows_of(got, band, 100 - band)), "");
  }
}

// ---------------------------------------------------------------------------
// Bad input.

bytes corrupt_mh_page(uint32_t lines) {
  bytes data;
  for (uint32_t i = 0; i < lines; ++i) {
    data.push_back(0x00), data.push_back(0x01);  // EOL
    data.push_back(0x35), data.push_back(0x55);  // a few runs, far short of the width
  }
  for (int i = 0; i < 6; ++i) data.push_back(0x00), data.push_back(0x01);
  return data;
}

TEST_F(Fc, CorruptInputIsCountedNeverOverrun) {
  configure_ok();
  const page wide = fax_test::make_page(fax_test::kind::noise, 2048, 20, 7);
  struct tc {
    const char* what;
    u8 coding;
    bytes data;
    uint32_t error_lines;  // at least
    u8 ended_by_error;     // 2: either
  } cases[] = {
      {"MH, every line in error", FC_MH, corrupt_mh_page(50), 50, 0},
      {"MH, lines longer than the width", FC_MH, fax_test::encode(wide, FC_MH), 19, 0},
      {"MMR, lines longer than the width", FC_MMR, fax_test::encode(wide, FC_MMR), 1, 1},
      {"MH, empty page", FC_MH, bytes{0x00, 0x01, 0x00, 0x01, 0x00, 0x01, 0x00, 0x01, 0x00, 0x01, 0x00, 0x01}, 0, 0},
      {"MMR, no data at all", FC_MMR, {}, 0, 0},
      {"MMR, noise", FC_MMR, bytes(3000, 0x5A), 0, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    rec().clear();
    fc__init_pg_conv r = request(c.coding, c.coding == FC_MH ? FC_MMR : FC_MH, 1728, 0);
    ASSERT_EQ(init(r).result, FC_OK);
    feed(c.data, 0, 100);
    const fc__decoder_report rep = stop_page();
    EXPECT_EQ(rep.valid, 1);
    EXPECT_GE(rep.error_lines, c.error_lines);
    if (c.ended_by_error != 2) {
      EXPECT_EQ(rep.ended_by_error, c.ended_by_error);
    }
    // Whatever came in, the output is a whole page: lines of the right width
    // ending with RTC or EOFB.
    const bytes out = output();
    const u8 out_coding = r.out_pg__encoding;
    const auto d = fax_test::decode(out, out_coding, 1728);
    EXPECT_EQ(d.status, T4T6_PAGE_END);
    EXPECT_EQ(d.error_lines, 0u);
    if (d.pg.height > 0) through_libtiff(out, out_coding, 1728, d.pg.height, FC_LPI_200);
  }
  EXPECT_TRUE(rec().traps().empty());
}

// ---------------------------------------------------------------------------
// Primitives around the data.

TEST_F(Fc, DataSyncAndStopEdges) {
  configure_ok();
  // Data for an idle page are dropped.
  feed(bytes(10, 0));
  EXPECT_TRUE(of(FC__DA_IN).empty());
  // Data without a buffer: trap 811.
  ASSERT_EQ(init(request(FC_MMR, FC_MMR)).result, FC_OK);
  Send_msg(make_msg(ENT_FAX, ENT_FC, FC__DA_RQ, {1, 2, 3}, 0));
  pump();
  EXPECT_EQ(rec().traps(), std::vector<u16>{811});
  EXPECT_TRUE(of(FC__DA_IN).empty());
  // Sync is answered at once.
  Send_msg(make_msg(ENT_FAX, ENT_FC, FC__SYNC_RQ, {}, 0));
  EXPECT_EQ(answer_of(FC__SYNC_CO).size(), 0u);
  stop_page();
  // Stop of an unknown page.
  send_chained(FC__STOP_PG_RQ, bytes(FC_STOP_PG_RQ_SIZE, 0), 9);
  const bytes a = answer_of(FC__STOP_PG_CO);
  EXPECT_EQ(a[0], FC_NOK);
  EXPECT_EQ(a[1], FC__INIT_ERR__BAD_PG_ID);

  // An aborted page sends nothing more, even what was pending.
  rec().clear();
  ASSERT_EQ(init(request(FC_MH, FC_MMR)).result, FC_OK);
  feed(fax_test::encode(fax_test::make_page(fax_test::kind::text, 1728, 20), FC_MH), 0, 50);
  const size_t before = of(FC__DA_IN).size();
  const fc__decoder_report rep = stop_page(1);
  EXPECT_EQ(rep.valid, 1);
  EXPECT_EQ(rep.lines_decoded, 20u);
  EXPECT_EQ(of(FC__DA_IN).size(), before);
  EXPECT_EQ(fc__page_state(0), FC_PAGE_IDLE);
}

// The line limit ends the page at once, with the lines left out counted
// (0xFFFFFFFF when the input has fewer lines than the output).
TEST_F(Fc, LineLimitEndsThePage) {
  configure_ok();
  const page pg = fax_test::make_page(fax_test::kind::text, 1728, 60, 8);
  struct tc {
    u32 in_lines, out_lines;
    u8 out_lpi;
    u32 left_out;
  } cases[] = {{60, 40, FC_LPI_200, 20},
               {60, 25, FC_LPI_100, 5},
               {0, 40, FC_LPI_200, 0xFFFFFFFF},
               {30, 40, FC_LPI_200, 0xFFFFFFFF}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.out_lines);
    rec().clear();
    fc__init_pg_conv r = request(FC_MH, FC_MMR, 1728, c.in_lines);
    r.out_pg__nb_lines = c.out_lines;
    r.out_pg__vertical_resolution = c.out_lpi;
    ASSERT_EQ(init(r).result, FC_OK);
    feed(fax_test::encode(pg, FC_MH));
    const auto stop_in = of(FC__STOP_PG_IN);
    ASSERT_EQ(stop_in.size(), 1u);
    EXPECT_EQ(stop_in[0].data.size(), FC_STOP_PG_IN_SIZE);
    EXPECT_EQ(stop_in[0].data[2], ENT_FC);
    EXPECT_EQ(get_le32(stop_in[0].data.data() + 4), c.left_out);
    EXPECT_EQ(fc__page_state(0), FC_PAGE_IDLE);
    // The STOP_PG_IN comes after the last data.
    EXPECT_EQ(rec().messages().back().code, FC__STOP_PG_IN);
    through_libtiff(output(), FC_MMR, 1728, c.out_lines, c.out_lpi);
    // The stop that follows still carries the page's decoder report.
    const fc__decoder_report rep = stop_page();
    EXPECT_EQ(rep.valid, 1);
    EXPECT_GT(rep.lines_decoded, 0u);
  }
}

}  // namespace
