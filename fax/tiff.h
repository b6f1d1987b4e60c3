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

inline constexpr char tiff__banner[] = "(@)TIFF v1.3.4 (04 Fev 2010)";

// tiff_return_codes
enum tiff_return_codes : uint8_t {
  TIFF_DONE = 2,        // done; for tiff__read_page: the last page was read
  TIFF_ERR = 3,         // no or unopened context, context too small, bad header value,
                        // or a resolution with a zero denominator
  TIFF_NEXT_PAGE = 5,   // a page was read and another follows
  TIFF_ERR_FOPEN = 30,  // a file could not be opened
  TIFF_ERR_MAGIC = 31,  // no TIFF header (magic number not 42)
  TIFF_ERR_SEEK = 32,   // an IFD, value or strip lies outside the file, or IFDs loop
  TIFF_ERR_TOO_MANY_ENTRIES = 33,
  TIFF_ERR_STRIP_OFFSETS = 34,   // IFD without entries, or StripOffsets not present exactly once
  TIFF_ERR_ROWS_PER_STRIP = 35,  // (translated by callers, never returned here)
  TIFF_ERR_STRIP_BYTE_COUNTS = 36,
  TIFF_ERR_STRIP_COUNTS = 37,  // StripOffsets and StripByteCounts counts differ
  TIFF_ERR_BYTE_VALUE = 38,    // a BYTE or ASCII value of 256 bytes or more
  TIFF_ERR_WORD_VALUE = 39,    // a SHORT, LONG or RATIONAL value of 20000 bytes or more
  TIFF_ERR_WRITE = 40,         // writing the TIFF or the page data file failed (disk full ...)
};

enum : uint8_t {
  TIFF_BILEVEL_IMAGE = 0,
  TIFF_GRAYSCALE_IMAGE = 1,
  TIFF_PALETTE_IMAGE = 2,
  TIFF_RGB_IMAGE = 3,
};

enum : uint8_t {
  TIFF_HIGHEST_BIT_FIRST = 1,
  TIFF_LOWEST_BIT_FIRST = 2,
};

// Page compression (header values, not TIFF tag values).
enum : uint16_t {
  TIFF_UNSUPPORTED_COMPRESSION = 0,  // read: a TIFF compression this module does not handle
  TIFF_UNCOMPRESSED = 1,
  TIFF_T4_MONO = 2,  // T.4 one-dimensional (MH)
  TIFF_T4_BI = 3,    // T.4 two-dimensional (MR)
  TIFF_T6 = 4,       // T.6 (MMR)
};

enum : uint16_t {
  TIFF_WHITEISZERO = 0,
  TIFF_BLACKISZERO = 1,
};

struct tiff__palette_entry {
  uint8_t red = 0, green = 0, blue = 0;
};

// Page header record.
struct tiff__pg_header {
  uint8_t image_type = TIFF_BILEVEL_IMAGE;
  uint32_t image_width = 0;
  uint32_t image_length = 0;
  uint16_t bits_per_sample = 1;  // for RGB the sum of the three samples
  uint8_t fill_order = TIFF_HIGHEST_BIT_FIRST;
  uint16_t compression = TIFF_UNCOMPRESSED;
  uint16_t color_format = TIFF_WHITEISZERO;
  uint16_t resolution_unit = 1;
  uint16_t x_resolution = 0;
  uint16_t y_resolution = 0;
  char sz_software[100] = {};
  char sz_image_description[50] = {};
  char sz_tiff_artist[50] = {};
  tiff__palette_entry palette[256] = {};
  uint32_t image_nb_bytes = 0;  // page data bytes (reading only)
  // Writing: also write the tags whose defaults fax readers expect spelled
  // out (NewSubfileType 0, BitsPerSample 1, SamplesPerPixel 1, T4Options
  // of a T.4 page even when 0): 15 entries for a bilevel T.4 page.
  bool fax_tags = false;
};

// "Bilevel image", "Grayscale image" ... for an image type; "" when unknown.
const char* tiff__image_type_name(uint8_t image_type);

inline constexpr int TIFF_MAX_IFD_ENTRIES = 30;
inline constexpr uint32_t TIFF_VALUE_AREA_BYTES = 20000;  // SHORT, LONG, RATIONAL values
inline constexpr uint32_t TIFF_BYTE_AREA_BYTES = 256;     // BYTE, ASCII values
inline constexpr int TIFF_MAX_PAGES = 4096;

// One IFD entry: tag, type, count, the value (or its offset) and the value
// bytes as they stand in the file.
struct tiff__ifd_entry {
  uint16_t tag = 0;
  uint16_t type = 0;
  uint32_t count = 0;
  uint32_t value = 0;
  uint8_t area[TIFF_VALUE_AREA_BYTES] = {};
};

inline constexpr uint32_t TIFF_CTX_OPEN = 0x12341234;
inline constexpr uint32_t TIFF_CTX_CLOSED = 0xedcbedcb;

// File context, allocated and owned by the caller.
struct tiff__ctx {
  uint32_t marker = 0;
  std::FILE* stream = nullptr;
  tiff__ifd_entry entries[TIFF_MAX_IFD_ENTRIES];
  uint32_t last_link_pos = 0;  // position of the last next-IFD field written
  uint32_t offset = 0;         // writing: where the next item goes; reading: the next IFD (0 = none)
  uint16_t byte_order = 0x4949;
  // Reading: the file size and the IFDs already read (to refuse loops).
  uint64_t file_size = 0;
  uint32_t pages_read = 0;
  uint32_t ifd_seen[TIFF_MAX_PAGES] = {};
  bool io_error = false;  // a read or write of the stream failed
};

uint32_t tiff__get_ctx_size();
uint8_t tiff__start_write(tiff__ctx* ctx, uint32_t ctx_size, const char* file_name);
uint8_t tiff__start_read(tiff__ctx* ctx, uint32_t ctx_size, const char* file_name);
uint8_t tiff__write_page(tiff__ctx* ctx, tiff__pg_header* pg_header, const char* page_data_file_name);
uint8_t tiff__read_page(tiff__ctx* ctx, tiff__pg_header* pg_header, const char* output_file_name);
void tiff__close(tiff__ctx* ctx);

// Byte-order primitives on the context's stream ("MM": most significant byte
// first, anything else least significant first).  A failed transfer sets
// ctx->io_error; reads then give 0.
void tiff__put_u8(tiff__ctx* ctx, uint8_t v);
void tiff__put_u16(tiff__ctx* ctx, uint16_t v);
void tiff__put_u32(tiff__ctx* ctx, uint32_t v);
uint8_t tiff__get_u8(tiff__ctx* ctx);
uint16_t tiff__get_u16(tiff__ctx* ctx);
uint32_t tiff__get_u32(tiff__ctx* ctx);
// Writes one 12-byte IFD entry.
void tiff__put_ifd_entry(tiff__ctx* ctx, const tiff__ifd_entry& entry);
