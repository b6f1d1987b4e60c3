// TIFF fax file module: writes received fax pages into a multi-page TIFF file
// (one IFD and one strip per page) and reads the pages of a TIFF file to send,
// one page at a time, into a page header and a plain file of its coded data.
//
// Usage:
//   auto ctx = std::make_unique<tiff__ctx>();
//   tiff__start_read(ctx.get(), tiff__get_ctx_size(), "doc.tif");
//   tiff__pg_header hdr;
//   for (;;) { code = tiff__read_page(ctx.get(), &hdr, "page.dat"); if (code != TIFF_NEXT_PAGE) break; }
//   tiff__close(ctx.get());
//
// Page data are the page's strip bytes as stored (in the file's fill order).
// For T.4/T.6 pages the reader delivers one continuous coding of the page
// that ends with its end-of-page mark (RTC or EOFB): a mark missing from the
// file is appended, and a T.6 page stored in several strips (each coded on
// its own) is re-coded as one.
#pragma once

#include <cstdint>
#include <cstdio>

#include "platform/int_types.h"

inline constexpr char tiff__banner[] = "(@)TIFF v1.3.4 (04 Fev 2010)";

// tiff_return_codes
enum tiff_return_codes : u8 {
  TIFF_DONE = 2,        // done; for tiff__read_page: the last page was read
  TIFF_ERR = 3,         // no or unopened context, context too small, bad header value,
                        // or a resolution with a zero denominator
  TIFF_NEXT_PAGE = 5,   // a page was read and another follows
  TIFF_ERR_FOPEN = 30,  // a file could not be opened
  TIFF_ERR_MAGIC = 31,  // no TIFF header (magic number not 42)
  TIFF_ERR_SEEK = 32,   // an IFD, value or strip lies outside the file, or IFDs loop
  TIFF_ERR_TOO_MANY_ENTRIES = 33,
  TIFF_ERR_STRIP_OFFSETS = 34,   // IFD without entries, or StripOffsets not present exactly once
  TIFF_ERR_ROWS_PER_STRIP = 35,  // RowsPerStrip of 0
  TIFF_ERR_STRIP_BYTE_COUNTS = 36,
  TIFF_ERR_STRIP_COUNTS = 37,  // StripOffsets and StripByteCounts counts differ
  TIFF_ERR_BYTE_VALUE = 38,    // a BYTE or ASCII value of 256 bytes or more
  TIFF_ERR_WORD_VALUE = 39,    // a SHORT, LONG or RATIONAL value of 20000 bytes or more
  TIFF_ERR_WRITE = 40,         // writing the TIFF or the page data file failed (disk full ...)
};

enum : u8 {
  TIFF_BILEVEL_IMAGE = 0,
  TIFF_GRAYSCALE_IMAGE = 1,
  TIFF_PALETTE_IMAGE = 2,
  TIFF_RGB_IMAGE = 3,
};

enum : u8 {
  TIFF_HIGHEST_BIT_FIRST = 1,
  TIFF_LOWEST_BIT_FIRST = 2,
};

// Page compression (header values, not TIFF tag values).
enum : u16 {
  TIFF_UNSUPPORTED_COMPRESSION = 0,  // read: a TIFF compression this module does not handle
  TIFF_UNCOMPRESSED = 1,
  TIFF_T4_MONO = 2,  // T.4 one-dimensional (MH)
  TIFF_T4_BI = 3,    // T.4 two-dimensional (MR)
  TIFF_T6 = 4,       // T.6 (MMR)
};

enum : u16 {
  TIFF_WHITEISZERO = 0,
  TIFF_BLACKISZERO = 1,
};

struct tiff__palette_entry {
  u8 red = 0, green = 0, blue = 0;
};

// Page header record.
struct tiff__pg_header {
  u8 image_type = TIFF_BILEVEL_IMAGE;
  u32 image_width = 0;
  u32 image_length = 0;
  u16 bits_per_sample = 1;  // for RGB the sum of the three samples
  u8 fill_order = TIFF_HIGHEST_BIT_FIRST;
  u16 compression = TIFF_UNCOMPRESSED;
  u16 color_format = TIFF_WHITEISZERO;
  u16 resolution_unit = 1;
  u16 x_resolution = 0;
  u16 y_resolution = 0;
  char sz_software[100] = {};
  char sz_image_description[50] = {};
  char sz_tiff_artist[50] = {};
  tiff__palette_entry palette[256] = {};
  u32 image_nb_bytes = 0;  // page data bytes (reading only)
  // Writing: also write the tags whose defaults fax readers expect spelled
  // out (NewSubfileType 0, BitsPerSample 1, SamplesPerPixel 1, T4Options
  // of a T.4 page even when 0): 15 entries for a bilevel T.4 page.
  bool fax_tags = false;
};

// "Bilevel image", "Grayscale image" ... for an image type; "" when unknown.
const char* tiff__image_type_name(u8 image_type);

inline constexpr int TIFF_MAX_IFD_ENTRIES = 30;
inline constexpr u32 TIFF_VALUE_AREA_BYTES = 20000;  // SHORT, LONG, RATIONAL values
inline constexpr u32 TIFF_BYTE_AREA_BYTES = 256;     // BYTE, ASCII values
inline constexpr int TIFF_MAX_PAGES = 4096;

// One IFD entry: tag, type, count, the value (or its offset) and the value
// bytes as they stand in the file.
struct tiff__ifd_entry {
  u16 tag = 0;
  u16 type = 0;
  u32 count = 0;
  u32 value = 0;
  u8 area[TIFF_VALUE_AREA_BYTES] = {};
};

inline constexpr u32 TIFF_CTX_OPEN = 0x12341234;
inline constexpr u32 TIFF_CTX_CLOSED = 0xedcbedcb;

// File context, allocated and owned by the caller.
struct tiff__ctx {
  u32 marker = 0;
  std::FILE* stream = nullptr;
  tiff__ifd_entry entries[TIFF_MAX_IFD_ENTRIES];
  u32 last_link_pos = 0;  // position of the last next-IFD field written
  u32 offset = 0;         // writing: where the next item goes; reading: the next IFD (0 = none)
  u16 byte_order = 0x4949;
  // Reading: the file size and the IFDs already read (to refuse loops).
  u64 file_size = 0;
  u32 pages_read = 0;
  u32 ifd_seen[TIFF_MAX_PAGES] = {};
  bool io_error = false;  // a read or write of the stream failed
};

u32 tiff__get_ctx_size();
[[nodiscard]] u8 tiff__start_write(tiff__ctx* ctx, u32 ctx_size, const char* file_name);
[[nodiscard]] u8 tiff__start_read(tiff__ctx* ctx, u32 ctx_size, const char* file_name);
[[nodiscard]] u8 tiff__write_page(tiff__ctx* ctx, tiff__pg_header* pg_header, const char* page_data_file_name);
[[nodiscard]] u8 tiff__read_page(tiff__ctx* ctx, tiff__pg_header* pg_header, const char* output_file_name);
void tiff__close(tiff__ctx* ctx);

// Byte-order primitives on the context's stream ("MM": most significant byte
// first, anything else least significant first).  A failed transfer sets
// ctx->io_error; reads then give 0.
void tiff__put_u8(tiff__ctx* ctx, u8 v);
void tiff__put_u16(tiff__ctx* ctx, u16 v);
void tiff__put_u32(tiff__ctx* ctx, u32 v);
u8 tiff__get_u8(tiff__ctx* ctx);
u16 tiff__get_u16(tiff__ctx* ctx);
u32 tiff__get_u32(tiff__ctx* ctx);
// Writes one 12-byte IFD entry.
void tiff__put_ifd_entry(tiff__ctx* ctx, const tiff__ifd_entry& entry);
