// T.4/T.6 line codec: MH (T.4 one-dimensional), MR (T.4 two-dimensional) and
// MMR (T.6) coding and decoding of bilevel fax pages, line by line.
//
// Coded data are most significant bit first; in a bitmap line a set bit is a
// black pel and bit 0x80 of byte 0 is the first pel.  A line buffer holds
// (width + 7) / 8 bytes.
//
// Decoding a page:
//   t4t6_decoder* h; t4t6__open(&h, T4T6_MMR, 1728);
//   h->line = buffer;                       // or nullptr to only count lines
//   h->data = block; h->data_len = n;
//   for (;;) {
//     t4t6__decode_page(h);
//     if (h->line_ready) { use h->line (white when h->error_line) }
//     if (h->page_status != T4T6_PAGE_DECODING) break;   // end of page or error
//     if (h->end_of_data) {
//       if (no more data) {                 // the data ended without RTC/EOFB
//         t4t6__finish_page(h);             // delivers a last complete line
//         if (h->line_ready) { use h->line }
//         break;
//       }
//       h->data = next block; h->data_len = ...;
//     }
//   }
//   t4t6__release(h);
//
// Encoding a page:
//   t4t6_encoder* e; t4t6__open_encoder(&e, T4T6_MR, 1728, 2);
//   e->out = {buf, 0, 0, room_in_bits};
//   t4t6__end_page(e, 0);        // optional leading EOL (MH/MR)
//   for each line: e->line = bits; t4t6__encode_line(e);
//   t4t6__end_page(e, 1);        // RTC (MH/MR) or EOFB (MMR)
//   bytes = e->out.byte_index + (e->out.bit_offset ? 1 : 0);
//   t4t6__release_encoder(e);
//
// One decoder or encoder serves one page.  Contexts keep all their state, so
// several may be used at once from different callers.
#pragma once

#include <cstdint>

#include "fax/fax_bit.h"
#include "platform/int_types.h"

enum t4t6_coding : u8 {
  T4T6_MH = 1,   // T.4 one-dimensional
  T4T6_MR = 2,   // T.4 two-dimensional
  T4T6_MMR = 3,  // T.6
};

// Results of t4t6__open and t4t6__open_encoder.
enum : u16 {
  T4T6_OPEN_OK = 0,
  T4T6_OPEN_NO_ARRAY_1 = 1,  // first changing-element array / line buffers
  T4T6_OPEN_NO_ARRAY_2 = 2,  // second changing-element array
  T4T6_OPEN_NO_HANDLE = 3,   // no handle pointer given
  T4T6_OPEN_ALLOC_HANDLE = 4,
  T4T6_OPEN_ALLOC_CTX = 5,
  T4T6_OPEN_BAD_PARAM = 6,  // unknown coding, or a width of 0 or above T4T6_MAX_WIDTH
};

inline constexpr u32 T4T6_MAX_WIDTH = 65535;

// Results of t4t6__decode_line.
enum : i16 {
  T4T6_LINE_DONE = 1,    // a line is complete
  T4T6_LINE_MORE = 0,    // more data needed
  T4T6_LINE_ERROR = -1,  // line ended early / EOL inside a line (MMR: end of page)
  T4T6_LINE_FATAL = -2,  // coding error that ends decoding
  T4T6_LINE_EMPTY = -3,  // an EOL ended an empty line
};

// Page status of the decoder handle.
enum : u32 {
  T4T6_PAGE_DECODING = 0,
  T4T6_PAGE_END = 1,
  T4T6_PAGE_ERROR = 2,
};

struct t4t6_decoder_ctx;
struct t4t6_encoder_ctx;

// Decoder handle: the caller fills data, data_len and line, and reads the rest.
struct t4t6_decoder {
  const u8* data = nullptr;
  u32 data_len = 0;     // bytes
  u8* line = nullptr;   // output line, (width + 7) / 8 bytes; may be null
  u8 end_of_data = 0;   // the data were used up: give new data next call
  u8 line_ready = 0;    // a line was delivered into `line`
  u8 error_line = 0;    // the delivered line was in error (delivered white)
  u32 error_lines = 0;  // number of error lines so far
  u32 page_status = T4T6_PAGE_DECODING;
  u32 end_bit_pos = 0;  // bit position in `data` at which the page ended or failed
  t4t6_decoder_ctx* ctx = nullptr;
};

[[nodiscard]] u16 t4t6__open(t4t6_decoder** handle, u8 coding, u32 width);
// Decodes from the handle's data until a line is ready, the data are used up
// or the page ends.
void t4t6__decode_page(t4t6_decoder* handle);
// Decodes the next line from the context's current data (see t4t6__decode_page).
i16 t4t6__decode_line(t4t6_decoder_ctx* ctx);
// Tells the decoder that no more data will come for the page (call it after
// t4t6__decode_page set end_of_data).  A line whose runs reached the width
// but whose EOL never came (MH or MR data that end after the last line
// without EOL or RTC) is delivered; a line cut off inside its codes is
// delivered white as an error line (MMR: page status T4T6_PAGE_ERROR).
// Otherwise the page status becomes T4T6_PAGE_END.
void t4t6__finish_page(t4t6_decoder* handle);
void t4t6__release(t4t6_decoder* handle);

// Counters of a decoder.
u32 t4t6__lines_decoded(const t4t6_decoder* handle);  // good lines delivered
u32 t4t6__bits_used(const t4t6_decoder* handle);      // bits taken by the last call
u32 t4t6__line_bits(const t4t6_decoder* handle);      // bits of the last line ended (with its EOL)

// Encoder handle: the caller points `line` at the line to code and sets `out`.
struct t4t6_encoder {
  const u8* line = nullptr;
  fax_bit_cursor out;
  t4t6_encoder_ctx* ctx = nullptr;
};

// K is the MR parameter (lines per group starting with a 1-D line); values
// below 1 count as 1.
[[nodiscard]] u16 t4t6__open_encoder(t4t6_encoder** handle, u8 coding, u32 width, u32 k);
// Codes the line and appends it at the output cursor.  Returns false when the
// output room ran out (the output is then incomplete and stops at its end).
bool t4t6__encode_line(t4t6_encoder* handle);
// final = 1: MH/MR write RTC (six EOLs, with tag bit 1 for MR) and restart the
// K counter; MMR writes EOFB and pads the last byte with 0 bits.  final = 0:
// MH/MR write one EOL (tag 1 for MR); MMR only pads the last byte.
bool t4t6__end_page(t4t6_encoder* handle, int final);
void t4t6__release_encoder(t4t6_encoder* handle);

// Output room a coded line can need, EOL included, in bytes.
inline constexpr u32 t4t6__max_line_bytes(u32 width) { return width + 16; }

// Position of the first pel at or after `pos` whose colour differs from the
// colour `colour` (0 white, 1 black); `width` when there is none.
u32 t4t6__next_changing_element(const u8* line, u32 width, u32 pos, int colour);
