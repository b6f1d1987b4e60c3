#include "fax/tiff.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "common/byte_order.h"
#include "fax/fax_bit.h"
#include "fax/t4t6.h"

namespace {

// TIFF field types and tags used here.
enum : u16 { T_BYTE = 1, T_ASCII = 2, T_SHORT = 3, T_LONG = 4, T_RATIONAL = 5 };
enum : u16 {
  TAG_NEW_SUBFILE_TYPE = 254,
  TAG_IMAGE_WIDTH = 256,
  TAG_IMAGE_LENGTH = 257,
  TAG_BITS_PER_SAMPLE = 258,
  TAG_COMPRESSION = 259,
  TAG_PHOTOMETRIC = 262,
  TAG_FILL_ORDER = 266,
  TAG_IMAGE_DESCRIPTION = 270,
  TAG_STRIP_OFFSETS = 273,
  TAG_SAMPLES_PER_PIXEL = 277,
  TAG_ROWS_PER_STRIP = 278,
  TAG_STRIP_BYTE_COUNTS = 279,
  TAG_X_RESOLUTION = 282,
  TAG_Y_RESOLUTION = 283,
  TAG_T4_OPTIONS = 292,
  TAG_RESOLUTION_UNIT = 296,
  TAG_SOFTWARE = 305,
  TAG_ARTIST = 315,
  TAG_COLOR_MAP = 320,
};

// TIFF Compression tag values.
enum : u32 { TC_NONE = 1, TC_CCITT_T4 = 3, TC_CCITT_T6 = 4 };
// T4Options bits.
enum : u32 { T4_OPT_2D = 0x1 };

// Coded pages up to this size are checked (and mended) as a whole; larger
// ones, far beyond any fax page, are copied as they stand.
constexpr u64 TIFF_MAX_CODED_PAGE_BYTES = 64u << 20;

constexpr u16 ORDER_II = 0x4949;
constexpr u16 ORDER_MM = 0x4d4d;

u32 element_size(u16 type) {
  switch (type) {
    case T_BYTE:
    case T_ASCII: return 1;
    case T_SHORT: return 2;
    case T_LONG: return 4;
    case T_RATIONAL: return 8;
    default: return 0;
  }
}

bool used_tag(u16 tag) {
  switch (tag) {
    case TAG_IMAGE_WIDTH:
    case TAG_IMAGE_LENGTH:
    case TAG_BITS_PER_SAMPLE:
    case TAG_COMPRESSION:
    case TAG_PHOTOMETRIC:
    case TAG_FILL_ORDER:
    case TAG_IMAGE_DESCRIPTION:
    case TAG_STRIP_OFFSETS:
    case TAG_SAMPLES_PER_PIXEL:
    case TAG_ROWS_PER_STRIP:
    case TAG_STRIP_BYTE_COUNTS:
    case TAG_X_RESOLUTION:
    case TAG_Y_RESOLUTION:
    case TAG_T4_OPTIONS:
    case TAG_RESOLUTION_UNIT:
    case TAG_SOFTWARE:
    case TAG_ARTIST:
    case TAG_COLOR_MAP: return true;
    default: return false;
  }
}

bool is_open(const tiff__ctx* ctx) { return ctx && ctx->marker == TIFF_CTX_OPEN; }

bool seek(tiff__ctx* ctx, u64 pos) {
  if (pos > 0x7FFFFFFF || std::fseek(ctx->stream, static_cast<long>(pos), SEEK_SET) != 0) {
    ctx->io_error = true;
    return false;
  }
  return true;
}

bool seek_end(tiff__ctx* ctx, u32* pos) {
  if (std::fseek(ctx->stream, 0, SEEK_END) != 0) return ctx->io_error = true, false;
  const long p = std::ftell(ctx->stream);
  if (p < 0 || p > 0x7FFFFFFF) return ctx->io_error = true, false;
  *pos = static_cast<u32>(p);
  return true;
}

bool put_bytes(tiff__ctx* ctx, const void* p, size_t n) {
  if (n && std::fwrite(p, 1, n, ctx->stream) != n) ctx->io_error = true;
  return !ctx->io_error;
}

u16 u16_at(const tiff__ctx* ctx, const u8* p) { return ctx->byte_order == ORDER_MM ? get_be16(p) : get_le16(p); }
u32 u32_at(const tiff__ctx* ctx, const u8* p) { return ctx->byte_order == ORDER_MM ? get_be32(p) : get_le32(p); }

// Element i of an entry read from a file, in the file's byte order (for a
// RATIONAL its numerator).
u32 element(const tiff__ctx* ctx, const tiff__ifd_entry& e, u32 i) {
  const u8* p = e.area + size_t{i} * element_size(e.type);
  switch (e.type) {
    case T_BYTE:
    case T_ASCII: return p[0];
    case T_SHORT: return u16_at(ctx, p);
    case T_LONG:
    case T_RATIONAL: return u32_at(ctx, p);
    default: return 0;
  }
}

// Stores v in the file's byte order into an entry's value bytes.
void store16(const tiff__ctx* ctx, u8* p, u16 v) {
  if (ctx->byte_order == ORDER_MM) put_be16(p, v);
  else put_le16(p, v);
}

void copy_text(char* dst, size_t room, const tiff__ifd_entry& e) {
  const size_t n = std::min<size_t>(e.count, room - 1);
  size_t i = 0;
  for (; i < n && e.area[i]; ++i) dst[i] = static_cast<char>(e.area[i]);
  dst[i] = 0;
}

u8 start(tiff__ctx* ctx, u32 ctx_size) {
  if (!ctx || ctx_size < tiff__get_ctx_size()) return TIFF_ERR;
  tiff__close(ctx);  // a context opened again gives up its previous file
  ctx->stream = nullptr;
  ctx->last_link_pos = 0;
  ctx->offset = 0;
  ctx->file_size = 0;
  ctx->pages_read = 0;
  ctx->io_error = false;
  ctx->byte_order = ORDER_II;
  return TIFF_DONE;
}

// ---------------------------------------------------------------------------
// Page data of T.4/T.6 pages

struct file_closer {
  void operator()(std::FILE* f) const {
    if (f) (void)std::fclose(f);  // writers flush and check before letting go
  }
};
using file_ptr = std::unique_ptr<std::FILE, file_closer>;

u8 coding_of(u16 compression) {
  switch (compression) {
    case TIFF_T4_MONO: return T4T6_MH;
    case TIFF_T4_BI: return T4T6_MR;
    case TIFF_T6: return T4T6_MMR;
    default: return 0;
  }
}

// Decodes `data` (most significant bit first) and tells whether the coding
// reaches its end-of-page mark; `lines` receives the lines decoded.
bool reaches_page_end(const std::vector<u8>& data, u8 coding, u32 width) {
  t4t6_decoder* h = nullptr;
  if (t4t6__open(&h, coding, width) != T4T6_OPEN_OK) return true;  // cannot tell: leave as is
  h->data = data.data();
  h->data_len = static_cast<u32>(data.size());
  while (h->page_status == T4T6_PAGE_DECODING) {
    t4t6__decode_page(h);
    if (h->end_of_data) break;
  }
  const bool ended = h->page_status != T4T6_PAGE_DECODING;
  t4t6__release(h);
  return ended;
}

// Re-codes the strips of a T.6 page, each coded on its own, as one T.6
// coding.  Returns false when a strip cannot be decoded.
bool recode_t6_strips(const std::vector<std::vector<u8>>& strips, u32 width, u32 length, u32 rows_per_strip,
                      std::vector<u8>& out) {
  t4t6_encoder* enc = nullptr;
  if (t4t6__open_encoder(&enc, T4T6_MMR, width, 0) != T4T6_OPEN_OK) return false;
  std::vector<u8> line((width + 7) / 8);
  std::vector<u8> scratch(t4t6__max_line_bytes(width) + 8);
  enc->out = fax_bit_cursor{scratch.data(), 0, 0, static_cast<i32>(scratch.size() * 8)};
  auto drain = [&] {  // move whole bytes out, keep the partial one
    out.insert(out.end(), scratch.begin(), scratch.begin() + enc->out.byte_index);
    scratch[0] = scratch[enc->out.byte_index];
    enc->out = fax_bit_cursor{scratch.data(), 0, enc->out.bit_offset,
                              static_cast<i32>(scratch.size() * 8) - enc->out.bit_offset};
  };
  bool ok = true;
  u32 lines_left = length;
  for (const auto& strip : strips) {
    if (lines_left == 0) break;
    t4t6_decoder* dec = nullptr;
    if (t4t6__open(&dec, T4T6_MMR, width) != T4T6_OPEN_OK) {
      ok = false;
      break;
    }
    dec->line = line.data();
    dec->data = strip.data();
    dec->data_len = static_cast<u32>(strip.size());
    u32 rows = std::min(rows_per_strip, lines_left);
    while (rows > 0 && dec->page_status == T4T6_PAGE_DECODING) {
      t4t6__decode_page(dec);
      if (dec->line_ready) {
        enc->line = line.data();
        ok = t4t6__encode_line(enc) && ok;
        drain();
        --rows;
        --lines_left;
      }
      if (dec->end_of_data) break;
    }
    if (dec->page_status == T4T6_PAGE_ERROR) ok = false;
    t4t6__release(dec);
    if (!ok) break;
  }
  ok = t4t6__end_page(enc, 1) && ok;
  out.insert(out.end(), scratch.begin(), scratch.begin() + enc->out.byte_index + (enc->out.bit_offset ? 1 : 0));
  t4t6__release_encoder(enc);
  return ok;
}

// Builds the page data of a T.4/T.6 page from its strips (see tiff.h).
std::vector<u8> coded_page_data(const std::vector<std::vector<u8>>& strips, const tiff__pg_header& hdr,
                                u32 rows_per_strip) {
  std::vector<u8> data;
  for (const auto& s : strips) data.insert(data.end(), s.begin(), s.end());
  const u8 coding = coding_of(hdr.compression);
  const u32 width = hdr.image_width;
  if (!coding || width == 0 || width > T4T6_MAX_WIDTH) return data;
  const bool reversed = hdr.fill_order == TIFF_LOWEST_BIT_FIRST;
  const bool bounded = u64{hdr.image_length} * ((width + 7) / 8) <= TIFF_MAX_CODED_PAGE_BYTES;
  if (coding == T4T6_MMR && strips.size() > 1 && bounded) {
    std::vector<std::vector<u8>> msb = strips;
    if (reversed)
      for (auto& s : msb) fax_bit__copy_reversed(s.data(), s.data(), static_cast<u32>(s.size()));
    std::vector<u8> recoded;
    if (!recode_t6_strips(msb, width, hdr.image_length, std::max<u32>(rows_per_strip, 1), recoded)) return data;
    if (reversed) fax_bit__copy_reversed(recoded.data(), recoded.data(), static_cast<u32>(recoded.size()));
    return recoded;
  }
  std::vector<u8> msb = data;
  if (reversed) fax_bit__copy_reversed(msb.data(), msb.data(), static_cast<u32>(msb.size()));
  if (reaches_page_end(msb, coding, width)) return data;
  // Append the missing end-of-page mark, byte aligned: RTC, or EOFB whose
  // leading zeros absorb the fill after the last line.
  std::vector<u8> mark;
  if (coding == T4T6_MMR) {
    mark = {0x00, 0x10, 0x01};
  } else {
    for (int i = 0; i < 6; ++i) mark.insert(mark.end(), {0x00, u8(coding == T4T6_MR ? 0x03 : 0x01)});
  }
  if (reversed) fax_bit__copy_reversed(mark.data(), mark.data(), static_cast<u32>(mark.size()));
  data.insert(data.end(), mark.begin(), mark.end());
  return data;
}

}  // namespace

const char* tiff__image_type_name(u8 image_type) {
  switch (image_type) {
    case TIFF_BILEVEL_IMAGE: return "Bilevel image";
    case TIFF_GRAYSCALE_IMAGE: return "Grayscale image";
    case TIFF_PALETTE_IMAGE: return "Palette color image";
    case TIFF_RGB_IMAGE: return "RGB image";
    default: return "";
  }
}

u32 tiff__get_ctx_size() { return static_cast<u32>(sizeof(tiff__ctx)); }

// ---------------------------------------------------------------------------
// Byte-order primitives

void tiff__put_u8(tiff__ctx* ctx, u8 v) {
  if (std::fputc(v, ctx->stream) == EOF) ctx->io_error = true;
}

void tiff__put_u16(tiff__ctx* ctx, u16 v) {
  u8 b[2];
  store16(ctx, b, v);
  put_bytes(ctx, b, 2);
}

void tiff__put_u32(tiff__ctx* ctx, u32 v) {
  u8 b[4];
  if (ctx->byte_order == ORDER_MM) put_be32(b, v);
  else put_le32(b, v);
  put_bytes(ctx, b, 4);
}

u8 tiff__get_u8(tiff__ctx* ctx) {
  const int c = std::fgetc(ctx->stream);
  if (c == EOF) {
    ctx->io_error = true;
    return 0;
  }
  return static_cast<u8>(c);
}

u16 tiff__get_u16(tiff__ctx* ctx) {
  const u8 a = tiff__get_u8(ctx), b = tiff__get_u8(ctx);
  return ctx->byte_order == ORDER_MM ? static_cast<u16>(a << 8 | b) : static_cast<u16>(b << 8 | a);
}

u32 tiff__get_u32(tiff__ctx* ctx) {
  const u32 a = tiff__get_u16(ctx), b = tiff__get_u16(ctx);
  return ctx->byte_order == ORDER_MM ? (a << 16 | b) : (b << 16 | a);
}

void tiff__put_ifd_entry(tiff__ctx* ctx, const tiff__ifd_entry& e) {
  tiff__put_u16(ctx, e.tag);
  tiff__put_u16(ctx, e.type);
  tiff__put_u32(ctx, e.count);
  if (((e.type == T_BYTE || e.type == T_ASCII) && e.count > 4) || (e.type == T_SHORT && e.count > 2) ||
      e.type == T_LONG || e.type == T_RATIONAL) {
    tiff__put_u32(ctx, e.value);  // the value itself (LONG, count 1) or the offset of the values
  } else if (e.type == T_BYTE || e.type == T_ASCII) {
    put_bytes(ctx, e.area, e.count);
    for (u32 i = e.count; i < 4; ++i) tiff__put_u8(ctx, '0');
  } else if (e.type == T_SHORT && e.count == 2) {
    put_bytes(ctx, e.area, 4);
  } else {
    tiff__put_u16(ctx, static_cast<u16>(e.value));
    tiff__put_u16(ctx, 0);
  }
}

// ---------------------------------------------------------------------------
// Open and close

u8 tiff__start_write(tiff__ctx* ctx, u32 ctx_size, const char* file_name) {
  if (start(ctx, ctx_size) != TIFF_DONE) return TIFF_ERR;
  if (!file_name || !(ctx->stream = std::fopen(file_name, "wb"))) return TIFF_ERR_FOPEN;
  ctx->marker = TIFF_CTX_OPEN;
  tiff__put_u8(ctx, 'I');
  tiff__put_u8(ctx, 'I');
  tiff__put_u16(ctx, 42);
  tiff__put_u32(ctx, 8);
  ctx->last_link_pos = 4;
  ctx->offset = 8;
  if (std::fflush(ctx->stream) != 0) ctx->io_error = true;
  return ctx->io_error ? TIFF_ERR_WRITE : TIFF_DONE;
}

u8 tiff__start_read(tiff__ctx* ctx, u32 ctx_size, const char* file_name) {
  if (start(ctx, ctx_size) != TIFF_DONE) return TIFF_ERR;
  if (!file_name) return TIFF_ERR_FOPEN;
  // A file to send may be read-only: reading is all this context does.
  ctx->stream = std::fopen(file_name, "rb+");
  if (!ctx->stream) ctx->stream = std::fopen(file_name, "rb");
  if (!ctx->stream) return TIFF_ERR_FOPEN;
  ctx->marker = TIFF_CTX_OPEN;
  u32 size = 0;
  if (!seek_end(ctx, &size) || !seek(ctx, 0)) return TIFF_ERR_MAGIC;
  ctx->file_size = size;
  const u8 lo = tiff__get_u8(ctx), hi = tiff__get_u8(ctx);
  ctx->byte_order = static_cast<u16>(hi << 8 | lo);
  // Only "II" and "MM" say how the numbers are stored.
  if (ctx->byte_order != ORDER_II && ctx->byte_order != ORDER_MM) return TIFF_ERR_MAGIC;
  if (tiff__get_u16(ctx) != 42 || ctx->io_error) return TIFF_ERR_MAGIC;
  ctx->offset = tiff__get_u32(ctx);
  if (ctx->io_error) return TIFF_ERR_MAGIC;
  return TIFF_DONE;
}

void tiff__close(tiff__ctx* ctx) {
  if (!ctx || ctx->marker != TIFF_CTX_OPEN) return;
  // Every page written was flushed and checked: nothing is left to report.
  if (ctx->stream) (void)std::fclose(ctx->stream);
  ctx->stream = nullptr;
  ctx->marker = TIFF_CTX_CLOSED;
}

// ---------------------------------------------------------------------------
// Writing

namespace {

// Copies the page data file into the strip at the running offset; returns
// the bytes written, or -1 on a write or read error.
i64 write_strip(tiff__ctx* ctx, const tiff__pg_header& hdr, std::FILE* in) {
  static thread_local u8 buf[87552];
  i64 total = 0;
  if (hdr.compression != TIFF_UNCOMPRESSED) {
    for (;;) {
      const size_t n = std::fread(buf, 1, sizeof buf, in);
      if (n && !put_bytes(ctx, buf, n)) return -1;
      total += static_cast<i64>(n);
      if (n < sizeof buf) break;
    }
    return std::ferror(in) ? -1 : total;
  }
  u32 bits = 1;
  if (hdr.image_type == TIFF_GRAYSCALE_IMAGE) bits = 8;
  else if (hdr.image_type == TIFF_RGB_IMAGE) bits = 24;
  else if (hdr.image_type == TIFF_PALETTE_IMAGE) bits = std::max<u32>(hdr.bits_per_sample, 1);
  const u64 row = (u64{bits} * hdr.image_width + 7) / 8;
  if (row > sizeof buf) return -1;
  for (u32 y = 0; y < hdr.image_length; ++y) {
    const size_t n = std::fread(buf, 1, row, in);
    if (n == 0) break;
    std::memset(buf + n, 0, row - n);  // a short last row is completed with zeros
    if (!put_bytes(ctx, buf, row)) return -1;
    total += static_cast<i64>(row);
    if (n < row) break;
  }
  return std::ferror(in) ? -1 : total;
}

struct value_writer {
  tiff__ctx* ctx;
  int n = 0;
  u32 next_value;  // offset of the next value data
  tiff__ifd_entry& add(u16 tag, u16 type, u32 count, u32 value = 0) {
    tiff__ifd_entry& e = ctx->entries[n++];
    e.tag = tag;
    e.type = type;
    e.count = count;
    e.value = value;
    return e;
  }
  // Gives an entry whose values do not fit in 4 bytes its data offset.
  void place(tiff__ifd_entry& e) {
    const u32 bytes = e.count * element_size(e.type);
    if (bytes <= 4) return;
    e.value = next_value;
    next_value += bytes + (bytes & 1);  // values start on word boundaries
  }
  void text(u16 tag, const char* src, size_t room) {
    char s[256] = {};
    std::memcpy(s, src, std::min<size_t>(room, 255));
    s[std::min<size_t>(room, 255) - 1] = 0;  // forced to end in its last position
    const u32 count = static_cast<u32>(std::strlen(s)) + 1;
    tiff__ifd_entry& e = add(tag, T_ASCII, count);
    std::memcpy(e.area, s, count);
    place(e);
  }
  void rational(u16 tag, u16 res) {
    tiff__ifd_entry& e = add(tag, T_RATIONAL, 1);
    store16(ctx, e.area + 0, 0);
    store16(ctx, e.area + 2, res);
    store16(ctx, e.area + 4, 0);
    store16(ctx, e.area + 6, 1);
    place(e);
  }
};

}  // namespace

u8 tiff__write_page(tiff__ctx* ctx, tiff__pg_header* hdr, const char* page_data_file_name) {
  if (!is_open(ctx) || !hdr || hdr->image_type > TIFF_RGB_IMAGE) return TIFF_ERR;
  if (hdr->compression < TIFF_UNCOMPRESSED || hdr->compression > TIFF_T6) return TIFF_ERR;
  if (hdr->image_type == TIFF_PALETTE_IMAGE && (hdr->bits_per_sample == 0 || hdr->bits_per_sample > 8)) return TIFF_ERR;
  if (!page_data_file_name) return TIFF_ERR_FOPEN;
  file_ptr in(std::fopen(page_data_file_name, "rb"));
  if (!in) return TIFF_ERR_FOPEN;
  ctx->io_error = false;

  // Strip data at the running offset (the end of the file).
  u32 end = 0;
  if (!seek_end(ctx, &end)) return TIFF_ERR_WRITE;
  const u32 strip_offset = end;
  const i64 strip_bytes = write_strip(ctx, *hdr, in.get());
  if (strip_bytes < 0 || strip_bytes + u64{strip_offset} > 0x7FFF0000) return TIFF_ERR_WRITE;
  u64 ifd = u64{strip_offset} + static_cast<u64>(strip_bytes);
  if (ifd & 1) {  // the IFD starts on a word boundary
    tiff__put_u8(ctx, 0);
    ++ifd;
  }

  // Entries in tag order.  Value data follow the next-IFD field; the count
  // of entries is known before any offset is given out.
  const bool bilevel = hdr->image_type == TIFF_BILEVEL_IMAGE;
  const bool coded = hdr->compression != TIFF_UNCOMPRESSED;
  int count = 10;
  if (!bilevel) ++count;  // BitsPerSample
  if (coded) ++count;     // FillOrder
  const bool t4 = hdr->compression == TIFF_T4_MONO || hdr->compression == TIFF_T4_BI;
  const bool fax = hdr->fax_tags && bilevel;
  if (hdr->compression == TIFF_T4_BI || (fax && t4)) ++count;  // T4Options
  if (fax) count += 3;                                         // NewSubfileType, BitsPerSample, SamplesPerPixel
  if (hdr->image_type == TIFF_RGB_IMAGE) ++count;              // SamplesPerPixel
  if (hdr->image_type == TIFF_PALETTE_IMAGE) ++count;          // ColorMap
  for (const char* t : {hdr->sz_software, hdr->sz_image_description, hdr->sz_tiff_artist})
    if (t[0]) ++count;

  value_writer w{ctx, 0, static_cast<u32>(ifd + 2 + 12 * count + 4)};
  if (fax) w.add(TAG_NEW_SUBFILE_TYPE, T_LONG, 1, 0);
  w.add(TAG_IMAGE_WIDTH, T_LONG, 1, hdr->image_width);
  w.add(TAG_IMAGE_LENGTH, T_LONG, 1, hdr->image_length);
  if (hdr->image_type == TIFF_RGB_IMAGE) {
    tiff__ifd_entry& e = w.add(TAG_BITS_PER_SAMPLE, T_SHORT, 3);
    for (int i = 0; i < 3; ++i) store16(ctx, e.area + 2 * i, static_cast<u16>(hdr->bits_per_sample / 3));
    w.place(e);
  } else if (!bilevel) {
    w.add(TAG_BITS_PER_SAMPLE, T_SHORT, 1, hdr->bits_per_sample);
  } else if (fax) {
    w.add(TAG_BITS_PER_SAMPLE, T_SHORT, 1, 1);
  }
  static constexpr u16 tiff_compression[] = {0, TC_NONE, TC_CCITT_T4, TC_CCITT_T4, TC_CCITT_T6};
  w.add(TAG_COMPRESSION, T_SHORT, 1, tiff_compression[hdr->compression]);
  w.add(TAG_PHOTOMETRIC, T_SHORT, 1, hdr->color_format);
  if (coded) w.add(TAG_FILL_ORDER, T_SHORT, 1, hdr->fill_order);
  if (hdr->sz_image_description[0])
    w.text(TAG_IMAGE_DESCRIPTION, hdr->sz_image_description, sizeof hdr->sz_image_description);
  w.add(TAG_STRIP_OFFSETS, T_LONG, 1, strip_offset);
  if (hdr->image_type == TIFF_RGB_IMAGE) w.add(TAG_SAMPLES_PER_PIXEL, T_SHORT, 1, 3);
  if (fax) w.add(TAG_SAMPLES_PER_PIXEL, T_SHORT, 1, 1);
  w.add(TAG_ROWS_PER_STRIP, T_LONG, 1, hdr->image_length);
  w.add(TAG_STRIP_BYTE_COUNTS, T_LONG, 1, static_cast<u32>(strip_bytes));
  w.rational(TAG_X_RESOLUTION, hdr->x_resolution);
  w.rational(TAG_Y_RESOLUTION, hdr->y_resolution);
  if (hdr->compression == TIFF_T4_BI) w.add(TAG_T4_OPTIONS, T_LONG, 1, T4_OPT_2D);
  else if (fax && t4) w.add(TAG_T4_OPTIONS, T_LONG, 1, 0);
  w.add(TAG_RESOLUTION_UNIT, T_SHORT, 1, hdr->resolution_unit);
  if (hdr->sz_software[0]) w.text(TAG_SOFTWARE, hdr->sz_software, sizeof hdr->sz_software);
  if (hdr->sz_tiff_artist[0]) w.text(TAG_ARTIST, hdr->sz_tiff_artist, sizeof hdr->sz_tiff_artist);
  if (hdr->image_type == TIFF_PALETTE_IMAGE) {
    const u32 colours = 1u << hdr->bits_per_sample;
    tiff__ifd_entry& e = w.add(TAG_COLOR_MAP, T_SHORT, 3 * colours);
    for (u32 i = 0; i < colours; ++i) {
      store16(ctx, e.area + 2 * i, hdr->palette[i].red);
      store16(ctx, e.area + 2 * (colours + i), hdr->palette[i].green);
      store16(ctx, e.area + 2 * (2 * colours + i), hdr->palette[i].blue);
    }
    w.place(e);
  }

  // Link the IFD from the previous next-IFD field, then write it at the end.
  if (!seek(ctx, ctx->last_link_pos)) return TIFF_ERR_WRITE;
  tiff__put_u32(ctx, static_cast<u32>(ifd));
  if (!seek(ctx, ifd)) return TIFF_ERR_WRITE;
  tiff__put_u16(ctx, static_cast<u16>(w.n));
  for (int i = 0; i < w.n; ++i) tiff__put_ifd_entry(ctx, ctx->entries[i]);
  ctx->last_link_pos = static_cast<u32>(ifd + 2 + 12 * w.n);
  tiff__put_u32(ctx, 0);
  for (int i = 0; i < w.n; ++i) {
    const tiff__ifd_entry& e = ctx->entries[i];
    const u32 bytes = e.count * element_size(e.type);
    if (bytes <= 4) continue;
    put_bytes(ctx, e.area, bytes);
    if (bytes & 1) tiff__put_u8(ctx, 0);
  }
  ctx->offset = w.next_value;
  if (std::fflush(ctx->stream) != 0) ctx->io_error = true;
  return ctx->io_error ? TIFF_ERR_WRITE : TIFF_DONE;
}

// ---------------------------------------------------------------------------
// Reading

u8 tiff__read_page(tiff__ctx* ctx, tiff__pg_header* hdr, const char* output_file_name) {
  if (!is_open(ctx) || !hdr) return TIFF_ERR;
  *hdr = tiff__pg_header{};
  hdr->bits_per_sample = 1;
  ctx->io_error = false;

  file_ptr out;
  if (output_file_name) {
    out.reset(std::fopen(output_file_name, "wb"));
    if (!out) return TIFF_ERR_FOPEN;
  }
  const u32 ifd = ctx->offset;
  // An IFD must lie in the file, and each may be read once (no loops).
  if (ifd == 0 || u64{ifd} + 2 > ctx->file_size) return TIFF_ERR_SEEK;
  for (u32 i = 0; i < ctx->pages_read; ++i)
    if (ctx->ifd_seen[i] == ifd) return TIFF_ERR_SEEK;
  if (ctx->pages_read >= TIFF_MAX_PAGES) return TIFF_ERR_SEEK;
  if (!seek(ctx, ifd)) return TIFF_ERR_SEEK;
  const u16 n = tiff__get_u16(ctx);
  if (ctx->io_error) return TIFF_ERR_SEEK;
  if (n > TIFF_MAX_IFD_ENTRIES) return TIFF_ERR_TOO_MANY_ENTRIES;
  if (n == 0) return TIFF_ERR_STRIP_OFFSETS;
  if (u64{ifd} + 2 + 12u * n + 4 > ctx->file_size) return TIFF_ERR_SEEK;

  int strip_offsets = -1, strip_counts = -1, offsets_seen = 0, counts_seen = 0;
  u32 t4_options = 0, tiff_compression = TC_NONE, rows_per_strip = 0;
  for (int i = 0; i < n; ++i) {
    tiff__ifd_entry& e = ctx->entries[i];
    if (!seek(ctx, u64{ifd} + 2 + 12u * i)) return TIFF_ERR_SEEK;
    e.tag = tiff__get_u16(ctx);
    e.type = tiff__get_u16(ctx);
    e.count = tiff__get_u32(ctx);
    const u64 bytes = u64{e.count} * element_size(e.type);
    if (!used_tag(e.tag)) continue;  // other tags and their values are skipped
    if (bytes <= 4) {
      // The value field holds the values as they stand.
      for (int b = 0; b < 4; ++b) e.area[b] = tiff__get_u8(ctx);
      e.value = e.count ? element(ctx, e, 0) : 0;
    } else {
      if (element_size(e.type) == 1 && bytes >= TIFF_BYTE_AREA_BYTES) return TIFF_ERR_BYTE_VALUE;
      if (element_size(e.type) > 1 && bytes >= TIFF_VALUE_AREA_BYTES) return TIFF_ERR_WORD_VALUE;
      e.value = tiff__get_u32(ctx);
      if (u64{e.value} + bytes > ctx->file_size || !seek(ctx, e.value)) return TIFF_ERR_SEEK;
      if (std::fread(e.area, 1, bytes, ctx->stream) != bytes) return TIFF_ERR_SEEK;
      if (element_size(e.type) == 1) e.area[bytes] = 0;
    }
    if (ctx->io_error) return TIFF_ERR_SEEK;

    switch (e.tag) {
      case TAG_IMAGE_WIDTH: hdr->image_width = e.value; break;
      case TAG_IMAGE_LENGTH: hdr->image_length = e.value; break;
      case TAG_BITS_PER_SAMPLE: {
        u32 sum = 0;
        for (u32 k = 0; k < e.count && k < 16; ++k) sum += element(ctx, e, k);
        hdr->bits_per_sample = static_cast<u16>(e.count == 1 ? e.value : sum);
        break;
      }
      case TAG_COMPRESSION: tiff_compression = e.value; break;
      case TAG_T4_OPTIONS: t4_options = e.value; break;
      case TAG_PHOTOMETRIC: hdr->color_format = static_cast<u16>(e.value); break;
      case TAG_FILL_ORDER: hdr->fill_order = static_cast<u8>(e.value); break;
      case TAG_SAMPLES_PER_PIXEL:
        if (e.value == 3) hdr->image_type = TIFF_RGB_IMAGE;
        break;
      case TAG_RESOLUTION_UNIT: hdr->resolution_unit = static_cast<u16>(e.value); break;
      case TAG_IMAGE_DESCRIPTION: copy_text(hdr->sz_image_description, sizeof hdr->sz_image_description, e); break;
      case TAG_ARTIST: copy_text(hdr->sz_tiff_artist, sizeof hdr->sz_tiff_artist, e); break;
      case TAG_SOFTWARE: copy_text(hdr->sz_software, sizeof hdr->sz_software, e); break;
      case TAG_X_RESOLUTION:
      case TAG_Y_RESOLUTION: {
        u32 res = e.value;
        if (e.type == T_RATIONAL) {
          const u32 num = u32_at(ctx, e.area);
          const u32 den = u32_at(ctx, e.area + 4);
          if (den == 0) return TIFF_ERR;
          res = num / den;
        }
        (e.tag == TAG_X_RESOLUTION ? hdr->x_resolution : hdr->y_resolution) = static_cast<u16>(res);
        break;
      }
      case TAG_COLOR_MAP: {
        if (hdr->bits_per_sample == 0 || hdr->bits_per_sample > 8) break;
        const u32 colours = 1u << hdr->bits_per_sample;
        for (u32 k = 0; k < colours && 2 * colours + k < e.count; ++k) {
          hdr->palette[k].red = static_cast<u8>(element(ctx, e, k));
          hdr->palette[k].green = static_cast<u8>(element(ctx, e, colours + k));
          hdr->palette[k].blue = static_cast<u8>(element(ctx, e, 2 * colours + k));
        }
        break;
      }
      case TAG_STRIP_OFFSETS:
        if (offsets_seen++ == 0) strip_offsets = i;
        break;
      case TAG_STRIP_BYTE_COUNTS:
        if (counts_seen++ == 0) strip_counts = i;
        break;
      case TAG_ROWS_PER_STRIP:
        // No strip can hold no rows.
        if (e.value == 0) return TIFF_ERR_ROWS_PER_STRIP;
        rows_per_strip = e.value;
        break;
      default: break;
    }
  }
  if (offsets_seen != 1) return TIFF_ERR_STRIP_OFFSETS;
  if (counts_seen != 1) return TIFF_ERR_STRIP_BYTE_COUNTS;
  const tiff__ifd_entry& so = ctx->entries[strip_offsets];
  const tiff__ifd_entry& sc = ctx->entries[strip_counts];
  if (so.count != sc.count) return TIFF_ERR_STRIP_COUNTS;
  auto integral = [](u16 type) { return type == T_BYTE || type == T_SHORT || type == T_LONG; };
  if (!integral(so.type)) return TIFF_ERR_STRIP_OFFSETS;
  if (!integral(sc.type)) return TIFF_ERR_STRIP_BYTE_COUNTS;

  // Compression: T.4 is one- or two-dimensional by T4Options bit 0; codings
  // other than none, T.4 and T.6 are marked unsupported, never read as none.
  switch (tiff_compression) {
    case TC_NONE: hdr->compression = TIFF_UNCOMPRESSED; break;
    case TC_CCITT_T4: hdr->compression = (t4_options & T4_OPT_2D) ? TIFF_T4_BI : TIFF_T4_MONO; break;
    case TC_CCITT_T6: hdr->compression = TIFF_T6; break;
    default: hdr->compression = TIFF_UNSUPPORTED_COMPRESSION; break;
  }
  if (rows_per_strip == 0 || rows_per_strip > hdr->image_length) rows_per_strip = hdr->image_length;

  // Strips: each must lie inside the file.
  u64 total = 0;
  for (u32 s = 0; s < so.count; ++s) {
    const u64 off = element(ctx, so, s), len = element(ctx, sc, s);
    if (off + len > ctx->file_size) return TIFF_ERR_SEEK;
    total += len;
  }
  if (total > 0xFFFFFFFFu) return TIFF_ERR_SEEK;
  hdr->image_nb_bytes = static_cast<u32>(total);

  if (out && coding_of(hdr->compression) && total <= TIFF_MAX_CODED_PAGE_BYTES) {
    // A coded page is gathered whole, to be checked for its end-of-page mark.
    std::vector<std::vector<u8>> strips(so.count);
    for (u32 s = 0; s < so.count; ++s) {
      const u32 off = element(ctx, so, s), len = element(ctx, sc, s);
      strips[s].resize(len);
      if (!seek(ctx, off) || std::fread(strips[s].data(), 1, len, ctx->stream) != len) return TIFF_ERR_SEEK;
    }
    const std::vector<u8> data = coded_page_data(strips, *hdr, rows_per_strip);
    if (!data.empty() && std::fwrite(data.data(), 1, data.size(), out.get()) != data.size()) return TIFF_ERR_WRITE;
    hdr->image_nb_bytes = static_cast<u32>(data.size());
  } else if (out) {
    // Other pages are copied strip by strip through the transfer buffer.
    static thread_local u8 buf[87552];
    for (u32 s = 0; s < so.count; ++s) {
      u32 off = element(ctx, so, s), len = element(ctx, sc, s);
      if (!seek(ctx, off)) return TIFF_ERR_SEEK;
      while (len > 0) {
        const size_t chunk = std::min<size_t>(len, sizeof buf);
        if (std::fread(buf, 1, chunk, ctx->stream) != chunk) return TIFF_ERR_SEEK;
        if (std::fwrite(buf, 1, chunk, out.get()) != chunk) return TIFF_ERR_WRITE;
        len -= static_cast<u32>(chunk);
      }
    }
  }
  if (out && std::fflush(out.get()) != 0) return TIFF_ERR_WRITE;

  if (!seek(ctx, u64{ifd} + 2 + 12u * n)) return TIFF_ERR_SEEK;
  const u32 next = tiff__get_u32(ctx);
  if (ctx->io_error) return TIFF_ERR_SEEK;
  ctx->ifd_seen[ctx->pages_read++] = ifd;
  ctx->offset = next;
  return next ? TIFF_NEXT_PAGE : TIFF_DONE;
}
