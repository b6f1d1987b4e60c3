// Page files of the fax management entity: pages to send and the received file.
#include "fax/fax_page_file.h"

#include <cstdio>
#include <cstring>
#include <fstream>

#include "fax/fax_bit.h"
#include "fax/fax_config.h"
#include "fax/t4t6.h"

namespace {

// Width table rows, in search order.
struct width_row {
  u32 pels;
  u16 res;
  char code;
};
constexpr width_row kWidths[] = {
    {1728, 1, '1'},   {1728, 2, '1'},  {1728, 64, '1'},  {2048, 1, '2'},   {2048, 2, '2'},   {2048, 64, '2'},
    {2432, 1, '3'},   {2432, 2, '3'},  {2432, 64, '3'},  {2592, 4, '1'},   {2592, 128, '1'}, {3072, 4, '2'},
    {3072, 128, '2'}, {3456, 8, '1'},  {3456, 256, '1'}, {3648, 4, '3'},   {3648, 128, '3'}, {4096, 8, '2'},
    {4096, 256, '2'}, {4864, 8, '3'},  {4864, 256, '3'}, {5184, 16, '1'},  {5184, 512, '1'}, {6144, 16, '2'},
    {6144, 512, '2'}, {7296, 16, '3'}, {7296, 512, '3'}, {10368, 32, '1'}, {12288, 32, '2'}, {14592, 32, '3'},
};

// Length table: class, 'A' inch, 'A' other, 'B' inch, 'B' other.
struct length_row {
  u8 vclass;
  u32 a_inch, a_other, b_inch, b_other;
};
constexpr length_row kLengths[] = {
    {1, 1169, 1143, 1433, 1401},      {2, 2338, 2286, 2866, 2802},  {4, 3507, 3430, 4299, 4204},
    {8, 4677, 4572, 5732, 5605},      {16, 7015, 6860, 8598, 8408}, {32, 9354, 9148, 11464, 11211},
    {64, 14031, 13721, 17196, 16816},
};

// Resolution codes: dpi pair and vertical class.
struct res_row {
  u16 code, x, y;
  u8 vclass;
};
constexpr res_row kResolutions[] = {
    {1, 200, 100, 1},     {2, 200, 200, 2},  {4, 300, 300, 4},    {8, 400, 400, 8},    {16, 600, 600, 16},
    {32, 1200, 1200, 64}, {64, 200, 400, 8}, {128, 300, 600, 16}, {256, 400, 800, 32}, {512, 600, 1200, 64},
};

// Common fax resolutions that are not exact (x, y) pairs of the table.
struct alias_row {
  u16 unit, x_lo, x_hi, y_lo, y_hi, code;
};
constexpr alias_row kAliases[] = {
    {2, 200, 204, 97, 100, FAX_RES_200_100},   // 204 x 98 dpi
    {2, 200, 204, 195, 200, FAX_RES_200_200},  // 204 x 196 dpi
    {2, 200, 204, 390, 400, FAX_RES_200_400},  // 204 x 391 dpi
    {3, 79, 81, 38, 40, FAX_RES_200_100},      // 8 x 3.85 lines/mm
    {3, 79, 81, 76, 80, FAX_RES_200_200},      // 8 x 7.7 lines/mm
    {3, 79, 81, 153, 158, FAX_RES_200_400},    // 8 x 15.4 lines/mm
};

std::string format_name(const std::string& format, unsigned first, unsigned second) {
  // Only two %d directives are honoured; any other directive refuses the format.
  std::string out;
  int args = 0;
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%') {
      out += format[i];
      continue;
    }
    if (i + 1 < format.size() && format[i + 1] == 'd' && args < 2) {
      out += std::to_string(args++ == 0 ? first : second);
      ++i;
    } else if (i + 1 < format.size() && format[i + 1] == '%') {
      out += '%';
      ++i;
    } else {
      return {};
    }
  }
  return out.size() < fax_cfg::NAME_SIZE ? out : std::string{};
}

u8 map_tiff_code(u8 code) {
  switch (code) {
    case TIFF_ERR_MAGIC: return FAX__CFG_ERR_TIFF_ERR__WRONG_TIFF_HEADER;
    case TIFF_ERR_SEEK: return FAX__CFG_ERR_TIFF_ERR__WRONG_TIFF_FILE;
    case TIFF_ERR_TOO_MANY_ENTRIES: return FAX__CFG_ERR_TIFF_ERR__TOO_MUCH_IFD_ENTRIES;
    case TIFF_ERR_STRIP_OFFSETS: return FAX__CFG_ERR_TIFF_ERR__STRIP_ENTRY;
    case TIFF_ERR_ROWS_PER_STRIP: return FAX__CFG_ERR_TIFF_ERR__ROWS_PER_STRIP;
    case TIFF_ERR_STRIP_BYTE_COUNTS: return FAX__CFG_ERR_TIFF_ERR__STRIP_BYTE_ENTRY;
    case TIFF_ERR_BYTE_VALUE: return FAX__CFG_ERR_TIFF_ERR__TOO_MUCH_BUF_IFD_VALUE_8_ENTRIES;
    case TIFF_ERR_WORD_VALUE: return FAX__CFG_ERR_TIFF_ERR__TOO_MUCH_BUF_IFD_VALUE_16_ENTRIES;
    default: return FAX__CFG_ERR_TIFF_ERR__FOPEN_FAILURE;
  }
}

bool read_file(const std::string& name, std::vector<u8>* out) {
  std::ifstream f(name, std::ios::binary);
  if (!f) return false;
  out->assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  return !f.bad();
}

// Number of rows the coded data of a page hold (error rows included).
u32 count_rows(const std::vector<u8>& data, u8 coding, u32 width, u8 fill_order, u32 enough) {
  std::vector<u8> bits(data);
  if (fill_order == TIFF_LOWEST_BIT_FIRST && !bits.empty())
    fax_bit__copy_reversed(bits.data(), bits.data(), static_cast<u32>(bits.size()));
  t4t6_decoder* h = nullptr;
  if (t4t6__open(&h, coding, width) != T4T6_OPEN_OK) return 0;
  std::vector<u8> line((width + 7) / 8);
  h->line = line.data();
  h->data = bits.data();
  h->data_len = static_cast<u32>(bits.size());
  u32 rows = 0;
  bool finished = false;
  for (u32 guard = 0; guard < enough + 64 && rows < enough; ++guard) {
    t4t6__decode_page(h);
    if (h->line_ready) ++rows;
    if (h->page_status != T4T6_PAGE_DECODING) break;
    if (h->end_of_data) {
      if (finished) break;
      t4t6__finish_page(h);
      finished = true;
      if (h->line_ready) ++rows;
      break;
    }
  }
  t4t6__release(h);
  return rows;
}

// Checks the file's byte-order mark ("II" or "MM").
bool good_byte_order(const std::string& name) {
  std::FILE* f = std::fopen(name.c_str(), "rb");
  if (!f) return false;
  u8 b[2] = {};
  const size_t n = std::fread(b, 1, 2, f);
  (void)std::fclose(f);
  return n == 2 && b[0] == b[1] && (b[0] == 'I' || b[0] == 'M');
}

constexpr u16 TAG_SAMPLES_PER_PIXEL = 277;
constexpr u16 TAG_ROWS_PER_STRIP = 278;

// Checks of one page read; 2 or a configuration error code.
u8 check_page(const tiff__ctx& ctx, const tiff__pg_header& hdr, const std::string& data_file, fax_page* pg) {
  for (const tiff__ifd_entry& e : ctx.entries) {
    if (e.tag == TAG_ROWS_PER_STRIP && e.value == 0) return FAX__CFG_ERR_TIFF_ERR__ROWS_PER_STRIP;
    if (e.tag == TAG_SAMPLES_PER_PIXEL && e.value != 1) return FAX__CFG_ERR_TIFF_PG_HDR_COLOR;
  }
  if (hdr.image_type != TIFF_BILEVEL_IMAGE) return FAX__CFG_ERR_TIFF_PG_HDR_COLOR;
  if (hdr.bits_per_sample != 1) return FAX__CFG_ERR_TIFF_PG_HDR_NB_BITS_PER_PIXEL;
  const u8 enc = fax_coding::encoding_of_tiff(hdr.compression);
  if (enc == 0xFF) return FAX__CFG_ERR_TIFF_PG_HDR_BAD_ENCODING_METHOD;
  if (hdr.image_width == 0) return FAX__CFG_ERR_TIFF_PG_HDR_BAD_NB_PIXEL;
  if (hdr.image_length == 0) return FAX__CFG_ERR_TIFF_ERR__WRONG_TIFF_FILE;
  const u16 res = fax_resolution_code(hdr.x_resolution, hdr.y_resolution, hdr.resolution_unit);
  if (res == 0) return FAX__CFG_ERR_TIFF_PG_HDR_BAD_RESOLUTION;
  const char wcode = fax_width_code(hdr.image_width, res);
  if (!wcode) return FAX__CFG_ERR_TIFF_PG_HDR_BAD_NB_PIXEL;
  // The page data must hold ImageLength rows.
  std::vector<u8> data;
  if (!read_file(data_file, &data)) return FAX__CFG_ERR_OPEN_TX_TMP_FNAME;
  const u32 rows =
      count_rows(data, fax_coding::codec_of_encoding(enc), hdr.image_width, hdr.fill_order, hdr.image_length);
  if (rows < hdr.image_length) return FAX__CFG_ERR_TIFF_ERR__WRONG_TIFF_FILE;

  pg->encoding = enc;
  pg->resolution = res;
  pg->width_code = wcode;
  pg->pels = hdr.image_width;
  pg->lines = hdr.image_length;
  pg->fill_order = hdr.fill_order;
  pg->res_unit = hdr.resolution_unit == 2 ? FAX_RU_INCH : hdr.resolution_unit == 3 ? FAX_RU_METRIC : FAX_RU_NONE;
  pg->length_code = fax_length_code(hdr.image_length, res, pg->res_unit, wcode);
  pg->white_is_zero = hdr.color_format == TIFF_WHITEISZERO ? 1 : 0;
  return 2;
}

}  // namespace

namespace fax_coding {
u8 encoding_of_tiff(u16 compression) {
  switch (compression) {
    case TIFF_T4_MONO: return FAX_ENC_MH;
    case TIFF_T4_BI: return FAX_ENC_MR;
    case TIFF_T6: return FAX_ENC_MMR;
    default: return 0xFF;  // uncompressed pages need a converter; others cannot be sent
  }
}
u16 tiff_of_encoding(u8 encoding) {
  switch (encoding) {
    case FAX_ENC_MH: return TIFF_T4_MONO;
    case FAX_ENC_MR: return TIFF_T4_BI;
    case FAX_ENC_MMR: return TIFF_T6;
    default: return TIFF_UNSUPPORTED_COMPRESSION;
  }
}
u8 codec_of_encoding(u8 encoding) {
  switch (encoding) {
    case FAX_ENC_MH: return T4T6_MH;
    case FAX_ENC_MR: return T4T6_MR;
    case FAX_ENC_MMR: return T4T6_MMR;
    default: return 0;
  }
}
}  // namespace fax_coding

u16 fax_resolution_code(u16 x, u16 y, u16 tiff_unit) {
  if (tiff_unit != 3)
    for (const res_row& r : kResolutions)
      if (r.x == x && r.y == y) return r.code;
  for (const alias_row& a : kAliases)
    if ((a.unit == tiff_unit || (a.unit == 2 && tiff_unit == 1)) && x >= a.x_lo && x <= a.x_hi && y >= a.y_lo &&
        y <= a.y_hi)
      return a.code;
  return 0;
}

namespace {
// Dots per inch written for a resolution code; false for an unknown code.
bool fax_resolution_dpi(u16 code, u16* x, u16* y) {
  for (const res_row& r : kResolutions)
    if (r.code == code) {
      *x = r.x;
      *y = r.y;
      return true;
    }
  return false;
}
}  // namespace

u8 fax_vertical_class(u16 code) {
  for (const res_row& r : kResolutions)
    if (r.code == code) return r.vclass;
  return 0;
}

char fax_width_code(u32 pels, u16 res_code) {
  for (const width_row& w : kWidths)
    if (w.res == res_code && w.pels >= pels) return w.code;
  return 0;
}

u32 fax_width_pels(char width_code, u16 res_code) {
  for (const width_row& w : kWidths)
    if (w.res == res_code && w.code == width_code) return w.pels;
  return 0;
}

u32 fax_length_limit(char length_code, u8 vclass, u8 res_unit) {
  for (const length_row& l : kLengths) {
    if (l.vclass != vclass) continue;
    const bool inch = res_unit == FAX_RU_INCH;
    if (length_code == 'A') return inch ? l.a_inch : l.a_other;
    if (length_code == 'B') return inch ? l.b_inch : l.b_other;
  }
  return 0xFFFFFFFFu;
}

char fax_length_code(u32 lines, u16 res_code, u8 res_unit, char width_code) {
  const u8 vclass = fax_vertical_class(res_code);
  char code = 'U';
  if (lines <= fax_length_limit('A', vclass, res_unit)) code = 'A';
  else if (lines <= fax_length_limit('B', vclass, res_unit)) code = 'B';
  if ((width_code == '1' && code == 'B') || width_code == '3') code = 'U';
  else if (width_code == '2' && code == 'A') code = 'B';
  return code;
}

std::string fax_tmp_page_name(const std::string& format, nai_t nai, u16* counter) {
  const u16 n = (*counter)++;
  return format_name(format, nai, n);
}

std::string fax_format_name(const std::string& format, unsigned first, unsigned second) {
  return format_name(format, first, second);
}

void fax_free_send_pages(std::vector<fax_page>* pages) {
  for (const fax_page& p : *pages) (void)std::remove(p.tmp_name.c_str());  // may be gone already
  pages->clear();
}

u16 fax_count_send_pages(std::vector<fax_page>* pages) {
  auto differs = [](const fax_page& a, const fax_page& b) {
    return a.encoding != b.encoding || a.resolution != b.resolution || a.width_code != b.width_code;
  };
  for (size_t i = 1; i < pages->size(); ++i)
    if (differs((*pages)[i], (*pages)[i - 1])) (*pages)[i].renegotiate = 1;
  if (pages->size() > 1 && differs(pages->front(), pages->back())) pages->front().renegotiate = 1;
  return static_cast<u16>(pages->size());
}

u8 fax_open_send_pages(const std::vector<std::string>& files, const std::string& tmp_format, nai_t nai, u16* counter,
                       u8 copied_byte, std::vector<fax_page>* pages) {
  if (files.empty() || files.front().empty()) return 2;
  std::vector<fax_page> got;
  auto fail = [&](u8 code) {
    fax_free_send_pages(&got);
    return code;
  };
  auto ctx = std::make_unique<tiff__ctx>();
  for (size_t f = 0; f < files.size() && f < fax_cfg::SEND_FILE_COUNT && !files[f].empty(); ++f) {
    const std::string& name = files[f];
    std::FILE* probe = std::fopen(name.c_str(), "rb+");
    if (!probe) return fail(FAX__CFG_ERR_OPEN_TX_TIFF_FNAME);
    (void)std::fclose(probe);  // opened only to see that it can be
    if (!good_byte_order(name)) return fail(FAX__CFG_ERR_TIFF_ERR__WRONG_TIFF_HEADER);
    const u8 start = tiff__start_read(ctx.get(), tiff__get_ctx_size(), name.c_str());
    if (start != TIFF_DONE) {
      tiff__close(ctx.get());
      return fail(start == TIFF_ERR_MAGIC ? FAX__CFG_ERR_TIFF_ERR__WRONG_TIFF_HEADER
                                          : FAX__CFG_ERR_TIFF_ERR__FOPEN_FAILURE);
    }
    for (;;) {
      fax_page pg;
      pg.tmp_name = fax_tmp_page_name(tmp_format, nai, counter);
      std::FILE* t = pg.tmp_name.empty() ? nullptr : std::fopen(pg.tmp_name.c_str(), "wb+");
      if (!t) {
        tiff__close(ctx.get());
        return fail(FAX__CFG_ERR_OPEN_TX_TMP_FNAME);
      }
      (void)std::fclose(t);  // created empty: the page is written into it below
      got.push_back(pg);
      for (tiff__ifd_entry& e : ctx->entries) e.tag = 0;  // only this page's entries count below
      tiff__pg_header hdr;
      const u8 rc = tiff__read_page(ctx.get(), &hdr, pg.tmp_name.c_str());
      if (rc != TIFF_DONE && rc != TIFF_NEXT_PAGE) {
        tiff__close(ctx.get());
        return fail(map_tiff_code(rc));
      }
      fax_page& rec = got.back();
      rec.src_name = name;
      rec.copied_byte = copied_byte;
      const u8 check = check_page(*ctx, hdr, rec.tmp_name, &rec);
      if (check != 2) {
        tiff__close(ctx.get());
        return fail(check);
      }
      if (rc == TIFF_DONE) break;
    }
    tiff__close(ctx.get());
  }
  pages->insert(pages->end(), got.begin(), got.end());
  return 2;
}

// ---------------------------------------------------------------------------
// Received file.

namespace {
bool copy_file(const std::string& from, const std::string& to) {
  std::FILE* in = std::fopen(from.c_str(), "rb");
  if (!in) return false;
  std::FILE* out = std::fopen(to.c_str(), "wb");
  if (!out) {
    (void)std::fclose(in);
    return false;
  }
  bool ok = true;
  char buf[8192];
  for (;;) {
    const size_t n = std::fread(buf, 1, sizeof buf, in);
    if (n && std::fwrite(buf, 1, n, out) != n) ok = false;
    if (n < sizeof buf) break;
  }
  if (std::ferror(in)) ok = false;
  if (std::fflush(out) != 0) ok = false;
  if (std::fclose(out) != 0) ok = false;
  (void)std::fclose(in);
  return ok;
}
}  // namespace

bool fax_rcv_file::open(const std::string& name) {
  if (ctx_ || name.empty()) return false;
  // The name must be writable: try it, then leave nothing behind.
  std::FILE* probe = std::fopen(name.c_str(), "wb+");
  if (!probe) return false;
  (void)std::fclose(probe);
  (void)std::remove(name.c_str());
  auto ctx = std::make_unique<tiff__ctx>();
  if (tiff__start_write(ctx.get(), tiff__get_ctx_size(), (name + ".part").c_str()) != TIFF_DONE) {
    (void)std::remove((name + ".part").c_str());
    return false;
  }
  ctx_ = std::move(ctx);
  name_ = name;
  pages_ = 0;
  return true;
}

bool fax_rcv_file::write_page(tiff__pg_header* hdr, const std::string& page_data_file) {
  if (!ctx_) return false;
  if (tiff__write_page(ctx_.get(), hdr, page_data_file.c_str()) != TIFF_DONE) return false;
  // Publish: a complete snapshot replaces the file in one rename.
  const std::string tmp = name_ + ".tmp";
  if (!copy_file(name_ + ".part", tmp) || std::rename(tmp.c_str(), name_.c_str()) != 0) {
    (void)std::remove(tmp.c_str());
    return false;
  }
  ++pages_;
  return true;
}

void fax_rcv_file::close() {
  if (!ctx_) return;
  tiff__close(ctx_.get());
  ctx_.reset();
  // Work files only: the published file stays.
  (void)std::remove((name_ + ".part").c_str());
  (void)std::remove((name_ + ".tmp").c_str());
}

bool fax_rcv_page_header(const fax_page& pg, char width_code, u8 fill_flag, const char* remote_id,
                         tiff__pg_header* hdr) {
  *hdr = tiff__pg_header{};
  hdr->image_type = TIFF_BILEVEL_IMAGE;
  hdr->image_width = fax_width_pels(width_code, pg.resolution);
  if (!hdr->image_width) return false;
  hdr->image_length = pg.lines;
  hdr->bits_per_sample = 1;
  hdr->fill_order = fill_flag ? TIFF_LOWEST_BIT_FIRST : TIFF_HIGHEST_BIT_FIRST;
  hdr->compression = fax_coding::tiff_of_encoding(pg.encoding);
  if (hdr->compression == TIFF_UNSUPPORTED_COMPRESSION) return false;
  hdr->color_format = TIFF_WHITEISZERO;
  // The dots per inch below are inches whatever unit was negotiated.
  hdr->resolution_unit = 2;
  if (!fax_resolution_dpi(pg.resolution, &hdr->x_resolution, &hdr->y_resolution)) return false;
  (void)std::snprintf(hdr->sz_software, sizeof hdr->sz_software, "%s",
                      "CALDERWYN T.38IAF PRODUCT ID: 7 (SW VER: 7 HW VER: 0), v2.7.0, 25 Nov 2009");
  const char* q = pg.quality == 'G'   ? "[G] Page quality: Good"
                  : pg.quality == 'M' ? "[M] Page quality: Medium"
                  : pg.quality == 'B' ? "[B] Page quality: Bad"
                                      : "[U] Page quality: Unknown";
  (void)std::snprintf(hdr->sz_image_description, sizeof hdr->sz_image_description, "%s", q);
  if (remote_id && remote_id[0])
    (void)std::snprintf(hdr->sz_tiff_artist, sizeof hdr->sz_tiff_artist, "%.49s", remote_id);
  return true;
}
