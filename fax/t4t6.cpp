#include "fax/t4t6.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "common/byte_order.h"
#include "fax/t4t6_tables.h"

using namespace t4t6_tables;

// ---------------------------------------------------------------------------
// Changing elements
//
// A line is kept as the list of its changing elements: the positions of the
// pels whose colour differs from the pel before (the line starts white), in
// increasing order, followed by three copies of the width as sentinels.  Even
// entries start black runs, odd entries start white runs.

namespace {

inline uint32_t clz8(uint8_t x) { return fax_bit_tables.zero_count[x] >> 4; }

inline uint32_t next_change(const uint8_t* line, uint32_t width, uint32_t pos, int colour) {
  if (pos >= width) return width;
  const uint32_t nbytes = (width + 7) / 8;
  const uint8_t inv = colour ? 0xFF : 0x00;
  uint32_t bi = pos >> 3;
  uint8_t x = static_cast<uint8_t>((line[bi] ^ inv) & fax_bit_tables.low_mask[pos & 7]);
  if (x) return std::min(bi * 8 + clz8(x), width);
  ++bi;
  const uint64_t inv64 = colour ? ~uint64_t{0} : 0;
  while (bi + 8 <= nbytes) {
    const uint64_t w = get_be64(line + bi) ^ inv64;
    if (w) return std::min(bi * 8 + static_cast<uint32_t>(__builtin_clzll(w)), width);
    bi += 8;
  }
  for (; bi < nbytes; ++bi) {
    x = static_cast<uint8_t>(line[bi] ^ inv);
    if (x) return std::min(bi * 8 + clz8(x), width);
  }
  return width;
}

// Fills `out` (room for width + 4 entries) with the changing elements of a
// bitmap line; returns their number.
uint32_t find_changes(const uint8_t* line, uint32_t width, uint32_t* out) {
  uint32_t n = 0, pos = 0;
  int colour = 0;
  for (;;) {
    pos = next_change(line, width, pos, colour);
    if (pos >= width) break;
    out[n++] = pos;
    colour ^= 1;
  }
  out[n] = out[n + 1] = out[n + 2] = width;
  return n;
}

// Paints the black runs of a change list into a cleared line buffer.
void render_line(uint8_t* out, uint32_t width, const uint32_t* ch, uint32_t n) {
  std::memset(out, 0, (width + 7) / 8);
  for (uint32_t k = 0; k < n; k += 2) {
    const uint32_t s = ch[k];
    const uint32_t e = k + 1 < n ? ch[k + 1] : width;
    if (e <= s) continue;
    uint32_t sb = s >> 3, eb = (e - 1) >> 3;
    const uint8_t first = fax_bit_tables.low_mask[s & 7];
    const uint8_t last = fax_bit_tables.top_mask[((e - 1) & 7) + 1];
    if (sb == eb) {
      out[sb] |= first & last;
      continue;
    }
    out[sb] |= first;
    for (uint32_t b = sb + 1; b < eb; ++b) out[b] = 0xFF;
    out[eb] |= last;
  }
}

// Index of b1: the first changing element of the reference line after a0
// whose kind (parity) matches the colour of a0, starting the search at j.
inline uint32_t seek_b1(const uint32_t* ref, uint32_t j, int32_t a0, uint32_t width) {
  while (static_cast<int32_t>(ref[j]) <= a0 && ref[j] < width) j += 2;
  return j;
}

}  // namespace

uint32_t t4t6__next_changing_element(const uint8_t* line, uint32_t width, uint32_t pos, int colour) {
  return next_change(line, width, pos, colour);
}

// ---------------------------------------------------------------------------
// Decoder

namespace {

enum line_state : uint8_t {
  S_CODING,    // decoding the codes of a line
  S_WAIT_EOL,  // MH/MR: the line reached the width, its EOL must follow
  S_SKIP,      // MH/MR: error in the line, skipping up to the next EOL
  S_NEED_TAG,  // MR: EOL read, its tag bit must follow
};

}  // namespace

struct t4t6_decoder_ctx {
  uint8_t coding = T4T6_MH;
  uint32_t width = 0;
  // Input: the current data block and the bit window filled from it.  Bits
  // of an incomplete code at the end of a block stay in the window.
  const uint8_t* in = nullptr;
  uint32_t in_len = 0;
  uint32_t in_pos = 0;
  uint64_t win = 0;  // left aligned
  int nb = 0;        // valid bits in win
  uint32_t pending_zeros = 0;
  bool need_data = true;
  // Changing elements of the current and the reference line.
  uint32_t* cur = nullptr;
  uint32_t* ref = nullptr;
  uint32_t cap = 0;
  uint32_t ncur = 0;
  uint8_t kind = 1;  // next line: 1 one-dimensional, 2 two-dimensional
  // Position within the line.
  uint8_t state = S_CODING;
  uint8_t colour = 0;
  uint8_t h_left = 0;  // runs left to read in horizontal mode
  uint32_t codes = 0;  // codes read in this line
  int32_t a0 = -1;
  uint32_t run_acc = 0;
  uint32_t h_run1 = 0;
  uint32_t j = 0;
  int16_t eol_result = 0;
  // End of page.
  uint32_t empty_threshold = 4;
  uint32_t empty_count = 0;
  // Counters.
  uint32_t lines = 0;
  uint64_t consumed = 0;
  uint64_t line_start = 0;
  uint32_t last_call_bits = 0;
  uint32_t last_line_bits = 0;
  uint8_t* out = nullptr;
};

namespace {

[[gnu::always_inline]] inline void refill(t4t6_decoder_ctx& c) {
  if (c.in_pos + 8 <= c.in_len) {  // whole bytes from one 8-byte load
    const int take = (64 - c.nb) >> 3;
    if (take == 0) return;
    const uint64_t v = get_be64(c.in + c.in_pos);
    c.win |= (v >> (64 - 8 * take)) << (64 - c.nb - 8 * take);
    c.in_pos += static_cast<uint32_t>(take);
    c.nb += 8 * take;
    return;
  }
  while (c.nb <= 56 && c.in_pos < c.in_len) {
    c.win |= uint64_t{c.in[c.in_pos++]} << (56 - c.nb);
    c.nb += 8;
  }
}

[[gnu::always_inline]] inline void consume(t4t6_decoder_ctx& c, int n) {
  c.win = n >= 64 ? 0 : c.win << n;
  c.nb -= n;
  c.consumed += static_cast<uint32_t>(n);
}

[[gnu::always_inline]] inline int leading_zeros(const t4t6_decoder_ctx& c) {
  const int z = c.win ? __builtin_clzll(c.win) : 64;
  return std::min(z, c.nb);
}

// Looks for an EOL (at least 11 zero bits then a 1, counting the zeros
// already pending).  1: found and consumed; 0: the data ended; -1: a 1 bit
// came after fewer than 11 zeros (consumed with them).
[[gnu::always_inline]] inline int scan_eol(t4t6_decoder_ctx& c) {
  for (;;) {
    if (c.nb == 0) {
      refill(c);
      if (c.nb == 0) return 0;
    }
    const int z = leading_zeros(c);
    if (z == c.nb) {
      c.pending_zeros += static_cast<uint32_t>(z);
      consume(c, z);
      continue;
    }
    const uint32_t total = c.pending_zeros + static_cast<uint32_t>(z);
    consume(c, z + 1);
    c.pending_zeros = 0;
    return total >= 11 ? 1 : -1;
  }
}

[[gnu::always_inline]] inline void start_line(t4t6_decoder_ctx& c) {
  c.state = S_CODING;
  c.colour = 0;
  c.h_left = 0;
  c.codes = 0;
  c.a0 = -1;
  c.run_acc = 0;
  c.j = 0;
  c.ncur = 0;
}

// Ends the current line with result r.
[[gnu::always_inline]] inline int16_t end_line(t4t6_decoder_ctx& c, int16_t r) {
  if (r == T4T6_LINE_DONE) {
    c.cur[c.ncur] = c.cur[c.ncur + 1] = c.cur[c.ncur + 2] = c.width;
    if (c.out) render_line(c.out, c.width, c.cur, c.ncur);
    std::swap(c.cur, c.ref);
    ++c.lines;
  }
  start_line(c);
  return r;
}

[[gnu::always_inline]] inline bool push_change(t4t6_decoder_ctx& c, uint32_t pos) {
  if (pos >= c.width) return true;
  if (c.ncur + 4 > c.cap) return false;
  c.cur[c.ncur++] = pos;
  return true;
}

// Reads one run code of colour `colour`.  1: a terminating code ended a run
// (its full length in run_acc); 2: a make-up code was added to run_acc; 0:
// more data needed; -1: no valid code.
[[gnu::always_inline]] inline int read_run(t4t6_decoder_ctx& c, int colour) {
  const int bits = colour ? black_bits : white_bits;
  const run_entry e = colour ? black_table[c.win >> (64 - black_bits)] : white_table[c.win >> (64 - white_bits)];
  // With fewer bits than the table takes the data have ended: a code not
  // found may still be completed by the next block.
  if (e.len == 0) return c.nb < bits ? 0 : -1;
  if (e.len > c.nb) return 0;
  consume(c, e.len);
  ++c.codes;
  c.run_acc += e.run;
  return e.makeup ? 2 : 1;
}

int16_t decode_line(t4t6_decoder_ctx& c) {
  const uint32_t width = c.width;
  for (;;) {
    if (c.nb < 32) refill(c);
    if (c.state != S_CODING) switch (c.state) {
      case S_NEED_TAG:
        if (c.nb == 0) return T4T6_LINE_MORE;
        c.kind = (c.win >> 63) ? 1 : 2;
        consume(c, 1);
        return end_line(c, c.eol_result);

      case S_SKIP:
      case S_WAIT_EOL: {
        const int r = scan_eol(c);
        if (r == 0) return T4T6_LINE_MORE;
        if (r < 0) {
          c.state = S_SKIP;
          continue;
        }
        const int16_t res = c.state == S_WAIT_EOL ? T4T6_LINE_DONE : T4T6_LINE_ERROR;
        if (c.coding == T4T6_MR) {
          c.eol_result = res;
          c.state = S_NEED_TAG;
          continue;
        }
        return end_line(c, res);
      }

      case S_CODING:
        break;
    }

    // S_CODING: an EOL (possibly after fill), or the next code.  No code
    // starts with 11 zero bits; bits past nb in the window are 0.
    if (c.pending_zeros || (c.win >> 53) == 0) {
      if (!c.pending_zeros && c.nb < 11) return T4T6_LINE_MORE;  // only zeros so far, too few to tell
      const int r = scan_eol(c);
      if (r == 0) return T4T6_LINE_MORE;
      const int16_t res = c.codes == 0 ? T4T6_LINE_EMPTY : T4T6_LINE_ERROR;
      if (c.coding == T4T6_MR) {
        c.eol_result = res;
        c.state = S_NEED_TAG;
        continue;
      }
      return end_line(c, res);
    }

    bool error = false;
    bool reached = false;
    if (c.kind == 1) {
      // One-dimensional: runs alternate from white.
      const int r = read_run(c, c.colour);
      if (r == 0) return T4T6_LINE_MORE;
      const uint32_t a0 = static_cast<uint32_t>(std::max(c.a0, 0));
      if (r < 0 || a0 + uint64_t{c.run_acc} > width) {
        error = true;
      } else if (r == 1) {
        c.a0 = static_cast<int32_t>(a0 + c.run_acc);
        c.run_acc = 0;
        if (!push_change(c, static_cast<uint32_t>(c.a0))) error = true;
        c.colour ^= 1;
        reached = static_cast<uint32_t>(c.a0) >= width;
      }
    } else if (c.h_left) {
      // Horizontal mode: two runs, of the colour of a0 then the other.
      const int colour = c.h_left == 2 ? c.colour : c.colour ^ 1;
      const int r = read_run(c, colour);
      if (r == 0) return T4T6_LINE_MORE;
      const uint32_t a0 = static_cast<uint32_t>(std::max(c.a0, 0));
      if (r < 0 || a0 + uint64_t{c.h_run1} + c.run_acc > width) {
        error = true;
      } else if (r == 1 && c.h_left == 2) {
        c.h_run1 = c.run_acc;
        c.run_acc = 0;
        c.h_left = 1;
      } else if (r == 1) {
        const uint32_t a1 = a0 + c.h_run1;
        const uint32_t a2 = a1 + c.run_acc;
        c.run_acc = 0;
        c.h_left = 0;
        if (!push_change(c, a1) || !push_change(c, a2)) error = true;
        c.a0 = static_cast<int32_t>(a2);
        c.j = seek_b1(c.ref, c.j, c.a0, width);
        reached = a2 >= width;
      }
    } else {
      const mode_entry e = mode_table[c.win >> (64 - mode_bits)];
      if ((e.mode == M_INVALID || e.mode == M_EXT) && c.nb < mode_bits) {
        return T4T6_LINE_MORE;
      } else if (e.mode == M_INVALID || e.mode == M_EXT) {
        error = true;
      } else if (e.len > c.nb) {
        return T4T6_LINE_MORE;
      } else {
        consume(c, e.len);
        ++c.codes;
        if (e.mode == M_PASS) {
          c.a0 = static_cast<int32_t>(c.ref[c.j + 1]);
          reached = static_cast<uint32_t>(c.a0) >= width;
          if (!reached) c.j = seek_b1(c.ref, c.j + 2, c.a0, width);
        } else if (e.mode == M_HORIZ) {
          c.h_left = 2;
          c.h_run1 = 0;
          c.run_acc = 0;
        } else {
          const int64_t a1 = int64_t{c.ref[c.j]} + mode_offset[e.mode];
          if (a1 < std::max(c.a0, 0) || a1 > width || !push_change(c, static_cast<uint32_t>(a1))) {
            error = true;
          } else {
            c.a0 = static_cast<int32_t>(a1);
            c.colour ^= 1;
            c.j = seek_b1(c.ref, c.j ? c.j - 1 : 1, c.a0, width);
            reached = a1 >= width;
          }
        }
      }
    }

    if (error) {
      if (c.coding == T4T6_MMR) return T4T6_LINE_FATAL;
      c.state = S_SKIP;
      continue;
    }
    if (reached) {
      if (c.coding == T4T6_MMR) return end_line(c, T4T6_LINE_DONE);
      c.state = S_WAIT_EOL;
    }
  }
}

}  // namespace

uint16_t t4t6__open(t4t6_decoder** handle, uint8_t coding, uint32_t width) {
  if (!handle) return T4T6_OPEN_NO_HANDLE;
  *handle = nullptr;
  if (coding < T4T6_MH || coding > T4T6_MMR || width == 0 || width > T4T6_MAX_WIDTH) return T4T6_OPEN_BAD_PARAM;
  auto* h = new (std::nothrow) t4t6_decoder;
  if (!h) return T4T6_OPEN_ALLOC_HANDLE;
  auto* c = new (std::nothrow) t4t6_decoder_ctx;
  if (!c) {
    delete h;
    return T4T6_OPEN_ALLOC_CTX;
  }
  c->coding = coding;
  c->width = width;
  c->cap = width + 4;
  c->cur = new (std::nothrow) uint32_t[c->cap];
  if (!c->cur) {
    delete c;
    delete h;
    return T4T6_OPEN_NO_ARRAY_1;
  }
  c->ref = new (std::nothrow) uint32_t[c->cap];
  if (!c->ref) {
    delete[] c->cur;
    delete c;
    delete h;
    return T4T6_OPEN_NO_ARRAY_2;
  }
  // MMR starts two-dimensional on an all-white reference line.
  c->ref[0] = c->ref[1] = c->ref[2] = width;
  c->kind = coding == T4T6_MMR ? 2 : 1;
  c->empty_threshold = coding == T4T6_MMR ? 1 : 4;
  start_line(*c);
  h->ctx = c;
  *handle = h;
  return T4T6_OPEN_OK;
}

int16_t t4t6__decode_line(t4t6_decoder_ctx* ctx) {
  // The scan runs on a copy held by this call, so that the compiler may keep
  // its state in registers while changing elements are stored.
  t4t6_decoder_ctx c = *ctx;
  const uint64_t before = c.consumed;
  const int16_t r = decode_line(c);
  c.last_call_bits = static_cast<uint32_t>(c.consumed - before);
  if (r != T4T6_LINE_MORE) {
    c.last_line_bits = static_cast<uint32_t>(c.consumed - c.line_start);
    c.line_start = c.consumed;
  }
  *ctx = c;
  return r;
}

void t4t6__decode_page(t4t6_decoder* h) {
  if (!h || !h->ctx) return;
  h->end_of_data = 0;
  h->line_ready = 0;
  h->error_line = 0;
  if (h->page_status != T4T6_PAGE_DECODING) return;
  t4t6_decoder_ctx& c = *h->ctx;
  if (c.need_data) {
    c.in = h->data;
    c.in_len = h->data ? h->data_len : 0;
    c.in_pos = 0;
    c.need_data = false;
  }
  c.out = h->line;
  const uint32_t line_bytes = (c.width + 7) / 8;
  auto stop = [&](uint32_t status) {
    h->page_status = status;
    const int64_t pos = int64_t{c.in_pos} * 8 - c.nb;
    h->end_bit_pos = static_cast<uint32_t>(std::max<int64_t>(pos, 0));
  };
  for (;;) {
    const int16_t r = t4t6__decode_line(&c);
    switch (r) {
      case T4T6_LINE_MORE:
        h->end_of_data = 1;
        c.need_data = true;
        return;
      case T4T6_LINE_DONE:
        h->line_ready = 1;
        c.empty_count = 0;
        return;
      case T4T6_LINE_EMPTY:
        if (++c.empty_count >= c.empty_threshold) {
          stop(T4T6_PAGE_END);
          if (h->line) t4t6__zero_bytes(h->line, line_bytes);
          return;
        }
        continue;
      case T4T6_LINE_ERROR:
        if (c.coding == T4T6_MMR) {
          stop(T4T6_PAGE_END);
          return;
        }
        h->error_line = 1;
        h->line_ready = 1;
        ++h->error_lines;
        c.empty_count = 0;
        if (h->line) t4t6__zero_bytes(h->line, line_bytes);
        return;
      default:
        ++h->error_lines;
        stop(T4T6_PAGE_ERROR);
        return;
    }
  }
}

void t4t6__release(t4t6_decoder* h) {
  if (!h) return;
  if (h->ctx) {
    delete[] h->ctx->cur;
    delete[] h->ctx->ref;
    delete h->ctx;
  }
  delete h;
}

uint32_t t4t6__lines_decoded(const t4t6_decoder* h) { return h && h->ctx ? h->ctx->lines : 0; }
uint32_t t4t6__bits_used(const t4t6_decoder* h) { return h && h->ctx ? h->ctx->last_call_bits : 0; }
uint32_t t4t6__line_bits(const t4t6_decoder* h) { return h && h->ctx ? h->ctx->last_line_bits : 0; }

// ---------------------------------------------------------------------------
// Encoder

struct t4t6_encoder_ctx {
  uint8_t coding = T4T6_MH;
  uint32_t width = 0;
  uint8_t line_coded = 0;  // the EOL goes before every line but the first
  uint32_t k = 1;
  uint32_t count_2d = 0;   // lines since the last one-dimensional line (MR)
  // Changing elements of the line being coded and of the reference line.
  uint32_t* cur = nullptr;
  uint32_t* ref = nullptr;
};

namespace {

// Bit writer over the output cursor: codes are collected in a register and
// stored a byte at a time.  Writing stops (and `overflow` is set) when the
// room of the cursor runs out.
struct bit_sink {
  fax_bit_cursor& cur;
  uint8_t* base;
  uint32_t idx;
  uint64_t acc = 0;
  int n = 0;  // bits in acc, counting the used bits of a partly filled first byte
  uint64_t written = 0;
  uint64_t room;
  bool overflow = false;

  explicit bit_sink(fax_bit_cursor& c)
      : cur(c), base(c.base), idx(c.byte_index), room(c.bits_left > 0 ? static_cast<uint32_t>(c.bits_left) : 0) {
    n = cur.bit_offset;
    if (n) acc = base[idx] >> (8 - n);
  }

  [[gnu::always_inline]] void put(uint32_t bits, int len) {
    if (written + static_cast<uint32_t>(len) > room) {
      overflow = true;
      return;
    }
    acc = (acc << len) | bits;
    n += len;
    written += static_cast<uint32_t>(len);
    if (n >= 32) {  // store the oldest 32 bits at once
      n -= 32;
      const uint32_t v = static_cast<uint32_t>(acc >> n);
      put_be32(base + idx, v);
      idx += 4;
    }
  }
  void flush() {
    while (n >= 8) {
      base[idx++] = static_cast<uint8_t>(acc >> (n - 8));
      n -= 8;
    }
  }
  void align() {
    if (n & 7) put(0, 8 - (n & 7));
  }
  void finish() {
    flush();
    if (n > 0) base[idx] = static_cast<uint8_t>(acc << (8 - n));  // unused bits cleared
    cur.byte_index = idx;
    cur.bit_offset = n;
    cur.bits_left -= static_cast<int32_t>(written);
  }
};

// EOL, byte aligned: 0x00 0x01 for MH; for MR 0x02 before a two-dimensional
// line and 0x03 before a one-dimensional one.
[[gnu::always_inline]] inline void t4t6__put_eol(bit_sink& s, uint8_t coding, int tag) {
  s.align();
  s.put(coding == T4T6_MR ? 0x0002u | static_cast<uint32_t>(tag) : 0x0001u, 16);
}

[[gnu::always_inline]] inline void put_code(bit_sink& s, code c) { s.put(c.bits, c.len); }

[[gnu::always_inline]] inline void t4t6__put_run(bit_sink& s, int colour, uint32_t run) {
  if (run < 64) {  // most runs: one terminating code
    put_code(s, colour ? black_term[run] : white_term[run]);
    return;
  }
  while (run >= 2560) {
    put_code(s, ext_makeup[12]);
    run -= 2560;
  }
  if (run >= 1792) {
    const uint32_t m = (run - 1792) / 64;
    put_code(s, ext_makeup[m]);
    run -= 1792 + 64 * m;
  }
  if (run >= 64) {
    put_code(s, colour ? black_makeup[run / 64 - 1] : white_makeup[run / 64 - 1]);
    run %= 64;
  }
  put_code(s, colour ? black_term[run] : white_term[run]);
}

[[gnu::always_inline]] inline void t4t6__put_mode(bit_sink& s, mode m) { put_code(s, mode_code[m]); }

[[gnu::always_inline]] inline void t4t6__encode_1d(bit_sink& s, const uint32_t* ch, uint32_t n, uint32_t width) {
  uint32_t prev = 0;
  int colour = 0;
  for (uint32_t i = 0; i <= n; ++i) {
    const uint32_t pos = i < n ? ch[i] : width;
    t4t6__put_run(s, colour, pos - prev);
    prev = pos;
    colour ^= 1;
  }
}

[[gnu::always_inline]] inline void t4t6__encode_2d(bit_sink& s, const uint32_t* cur, const uint32_t* ref, uint32_t width) {
  int32_t a0 = -1;
  int colour = 0;
  uint32_t i = 0, j = 0;
  for (;;) {
    while (static_cast<int32_t>(cur[i]) <= a0 && cur[i] < width) ++i;
    const uint32_t a1 = cur[i];
    const uint32_t b1 = ref[j];
    const uint32_t b2 = ref[j + 1];
    if (b2 < a1) {
      t4t6__put_mode(s, M_PASS);
      a0 = static_cast<int32_t>(b2);
      if (b2 < width) j = seek_b1(ref, j + 2, a0, width);
    } else if (const int32_t d = static_cast<int32_t>(a1) - static_cast<int32_t>(b1); d >= -3 && d <= 3) {
      static constexpr mode vmode[] = {M_VL3, M_VL2, M_VL1, M_V0, M_VR1, M_VR2, M_VR3};
      t4t6__put_mode(s, vmode[d + 3]);
      a0 = static_cast<int32_t>(a1);
      colour ^= 1;
      j = seek_b1(ref, j ? j - 1 : 1, a0, width);
    } else {
      const uint32_t a2 = cur[i + 1];
      t4t6__put_mode(s, M_HORIZ);
      t4t6__put_run(s, colour, a1 - static_cast<uint32_t>(std::max(a0, 0)));
      t4t6__put_run(s, colour ^ 1, a2 - a1);
      a0 = static_cast<int32_t>(a2);
      j = seek_b1(ref, j, a0, width);
    }
    if (static_cast<uint32_t>(a0) >= width || s.overflow) break;
  }
}

}  // namespace

uint16_t t4t6__open_encoder(t4t6_encoder** handle, uint8_t coding, uint32_t width, uint32_t k) {
  if (!handle) return T4T6_OPEN_NO_HANDLE;
  *handle = nullptr;
  if (coding < T4T6_MH || coding > T4T6_MMR || width == 0 || width > T4T6_MAX_WIDTH) return T4T6_OPEN_BAD_PARAM;
  auto* h = new (std::nothrow) t4t6_encoder;
  if (!h) return T4T6_OPEN_ALLOC_HANDLE;
  auto* c = new (std::nothrow) t4t6_encoder_ctx;
  if (!c) {
    delete h;
    return T4T6_OPEN_ALLOC_CTX;
  }
  c->coding = coding;
  c->width = width;
  c->k = std::max<uint32_t>(k, 1);
  c->cur = new (std::nothrow) uint32_t[width + 4];
  c->ref = new (std::nothrow) uint32_t[width + 4];
  if (!c->cur || !c->ref) {
    delete[] c->cur;
    delete[] c->ref;
    delete c;
    delete h;
    return T4T6_OPEN_NO_ARRAY_1;
  }
  c->ref[0] = c->ref[1] = c->ref[2] = width;
  h->ctx = c;
  *handle = h;
  return T4T6_OPEN_OK;
}

bool t4t6__encode_line(t4t6_encoder* h) {
  if (!h || !h->ctx || !h->line || !h->out.base) return false;
  t4t6_encoder_ctx& c = *h->ctx;
  const uint32_t n = find_changes(h->line, c.width, c.cur);
  bit_sink s(h->out);
  if (c.coding == T4T6_MMR || (c.coding == T4T6_MR && c.count_2d != 0)) {
    if (c.coding == T4T6_MR) t4t6__put_eol(s, c.coding, 0);
    t4t6__encode_2d(s, c.cur, c.ref, c.width);
  } else {
    if (c.line_coded) t4t6__put_eol(s, c.coding, 1);
    t4t6__encode_1d(s, c.cur, n, c.width);
  }
  if (c.coding == T4T6_MR && ++c.count_2d >= c.k) c.count_2d = 0;
  c.line_coded = 1;
  std::swap(c.cur, c.ref);
  s.finish();
  return !s.overflow;
}

bool t4t6__end_page(t4t6_encoder* h, int final) {
  if (!h || !h->ctx || !h->out.base) return false;
  t4t6_encoder_ctx& c = *h->ctx;
  bit_sink s(h->out);
  if (c.coding == T4T6_MMR) {
    if (final == 1) {
      s.put(0x001, 12);
      s.put(0x001, 12);
    }
    s.align();
  } else if (final == 1) {
    for (int i = 0; i < 6; ++i) t4t6__put_eol(s, c.coding, 1);
    c.count_2d = 0;
  } else {
    t4t6__put_eol(s, c.coding, 1);
  }
  s.finish();
  return !s.overflow;
}

void t4t6__release_encoder(t4t6_encoder* h) {
  if (!h) return;
  if (h->ctx) {
    delete[] h->ctx->cur;
    delete[] h->ctx->ref;
    delete h->ctx;
  }
  delete h;
}
