#include "fax/t4t6.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
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

inline u32 clz8(u8 x) { return fax_bit_tables.zero_count[x] >> 4; }

inline u32 next_change(const u8* line, u32 width, u32 pos, int colour) {
  if (pos >= width) return width;
  const u32 nbytes = (width + 7) / 8;
  const u8 inv = colour ? 0xFF : 0x00;
  u32 bi = pos >> 3;
  u8 x = static_cast<u8>((line[bi] ^ inv) & fax_bit_tables.low_mask[pos & 7]);
  if (x) return std::min(bi * 8 + clz8(x), width);
  ++bi;
  const u64 inv64 = colour ? ~u64{0} : 0;
  while (bi + 8 <= nbytes) {
    const u64 w = get_be64(line + bi) ^ inv64;
    if (w) return std::min(bi * 8 + static_cast<u32>(__builtin_clzll(w)), width);
    bi += 8;
  }
  for (; bi < nbytes; ++bi) {
    x = static_cast<u8>(line[bi] ^ inv);
    if (x) return std::min(bi * 8 + clz8(x), width);
  }
  return width;
}

// Fills `out` (room for width + 4 entries) with the changing elements of a
// bitmap line; returns their number.  The line is read 64 pels at a time: the
// set bits of x ^ (x >> 1), with the last pel of the previous word shifted
// in, mark the pels whose colour differs from the pel before.
u32 find_changes(const u8* line, u32 width, u32* out) {
  const u32 nbytes = (width + 7) / 8;
  u32 n = 0;
  u64 prev = 0;  // last pel of the previous word, in bit 63
  for (u32 at = 0; at < nbytes; at += 8) {
    u64 x;
    if (at + 8 <= nbytes) {
      x = get_be64(line + at);
    } else {
      x = 0;
      for (u32 b = at; b < nbytes; ++b) x |= u64{line[b]} << (56 - 8 * (b - at));
    }
    u64 t = x ^ ((x >> 1) | prev);
    prev = x << 63;
    const u32 base = at * 8;
    if (base + 64 > width) t &= ~(~u64{0} >> (width - base));  // pels from the width on
    while (t) {
      const int z = __builtin_clzll(t);
      out[n++] = base + static_cast<u32>(z);
      t ^= (u64{1} << 63) >> z;
    }
  }
  out[n] = out[n + 1] = out[n + 2] = width;
  return n;
}

inline void put_be64(u8* p, u64 v) {
  if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
  std::memcpy(p, &v, sizeof v);
}

// Draws a line from its changing elements into all (width + 7) / 8 bytes of
// `out`, 64 pels at a time.  Each changing element flips the pels from its
// position to the end of its word; the flips are collected per word first
// (elements at even and odd indexes in separate arrays, so that neighbours
// in one word do not wait on each other), then each word starts in the
// colour of the pel before it and is stored at once.  Pad bits after the
// width stay 0.  A line without changing elements is white.
void render_line(u8* out, u32 width, const u32* ch, u32 n) {
  const u32 nbytes = (width + 7) / 8;
  if (n == 0) {
    std::memset(out, 0, nbytes);
    return;
  }
  constexpr u32 max_words = (T4T6_MAX_WIDTH + 63) / 64;
  u64 flip_even[max_words], flip_odd[max_words];
  const u32 nwords = (width + 63) / 64;
  std::memset(flip_even, 0, nwords * sizeof(u64));
  std::memset(flip_odd, 0, nwords * sizeof(u64));
  u32 k = 0;
  for (; k + 1 < n; k += 2) {
    flip_even[ch[k] >> 6] ^= ~u64{0} >> (ch[k] & 63);
    flip_odd[ch[k + 1] >> 6] ^= ~u64{0} >> (ch[k + 1] & 63);
  }
  if (k < n) flip_even[ch[k] >> 6] ^= ~u64{0} >> (ch[k] & 63);
  u64 colour = 0;  // all ones when the pel before the word is black
  for (u32 w = 0; w < nwords; ++w) {
    u64 x = colour ^ flip_even[w] ^ flip_odd[w];
    colour = 0 - (x & 1);
    if (w * 64 + 64 > width) x &= ~(~u64{0} >> (width - w * 64));  // the last word: pels after the width
    const u32 at = w * 8;
    if (at + 8 <= nbytes) {
      put_be64(out + at, x);
      continue;
    }
    for (u32 b = at; b < nbytes; ++b, x <<= 8) out[b] = static_cast<u8>(x >> 56);
  }
}

// Index of b1: the first changing element of the reference line after a0
// whose kind (parity) matches the colour of a0, starting the search at j.
inline u32 seek_b1(const u32* ref, u32 j, i32 a0, u32 width) {
  while (static_cast<i32>(ref[j]) <= a0 && ref[j] < width) j += 2;
  return j;
}

}  // namespace

u32 t4t6__next_changing_element(const u8* line, u32 width, u32 pos, int colour) {
  return next_change(line, width, pos, colour);
}

// ---------------------------------------------------------------------------
// Decoder

namespace {

enum line_state : u8 {
  S_CODING,    // decoding the codes of a line
  S_WAIT_EOL,  // MH/MR: the line reached the width, its EOL must follow
  S_SKIP,      // MH/MR: error in the line, skipping up to the next EOL
  S_NEED_TAG,  // MR: EOL read, its tag bit must follow
};

// Why the codes of a line stopped.
enum stop_reason : u8 {
  W_DONE,     // a run ended (read_run) or a horizontal mode ended
  W_MORE,     // the data ended inside a code
  W_REACHED,  // the line reached the width
  W_ERROR,    // no valid code, or runs past the width
  W_EOL,      // 11 zero bits where a code should start: an EOL (or its fill)
};

}  // namespace

struct t4t6_decoder_ctx {
  u8 coding = T4T6_MH;
  u32 width = 0;
  // Input: the current data block and the bit window filled from it.  Bits
  // of an incomplete code at the end of a block stay in the window.  Bits
  // past `nb` in the window are 0 or the next bits of the block.
  const u8* in = nullptr;
  u32 in_len = 0;
  u32 in_pos = 0;
  u64 win = 0;  // left aligned
  int nb = 0;   // valid bits in win
  u32 pending_zeros = 0;
  bool need_data = true;
  u64 bits_before = 0;  // bits of the blocks before the current one
  // Changing elements of the current and the reference line.
  u32* cur = nullptr;
  u32* ref = nullptr;
  u32 cap = 0;
  u32 ncur = 0;
  u8 kind = 1;  // next line: 1 one-dimensional, 2 two-dimensional
  // Position within the line.
  u8 state = S_CODING;
  u8 colour = 0;
  u8 h_left = 0;  // runs left to read in horizontal mode
  i32 a0 = -1;
  u32 run_acc = 0;
  u32 h_run1 = 0;
  u32 j = 0;
  i16 eol_result = 0;
  // End of page.
  u32 empty_threshold = 4;
  u32 empty_count = 0;
  // Counters.
  u32 lines = 0;
  u64 line_start = 0;
  u32 last_call_bits = 0;
  u32 last_line_bits = 0;
  u8* out = nullptr;
};

namespace {

inline u64 bits_consumed(const t4t6_decoder_ctx& c) {
  return c.bits_before + u64{c.in_pos} * 8 - static_cast<u32>(c.nb);
}

inline void reset_line(t4t6_decoder_ctx& c) {
  c.state = S_CODING;
  c.colour = 0;
  c.h_left = 0;
  c.a0 = -1;
  c.run_acc = 0;
  c.j = 0;
  c.ncur = 0;
}

// A complete line: drawn into the output, then the reference for the next.
inline void deliver_line(t4t6_decoder_ctx& c) {
  c.cur[c.ncur] = c.cur[c.ncur + 1] = c.cur[c.ncur + 2] = c.width;
  if (c.out) render_line(c.out, c.width, c.cur, c.ncur);
  std::swap(c.cur, c.ref);
  ++c.lines;
}

// The scan state of one decoding call.  It is a local object whose fields
// the compiler keeps in registers: it is loaded from the context at the start
// of a call and stored back at its end, so that stores of changing elements
// cannot alias it.
//
// Positions are pointers (next input byte, next changing element, b1 in the
// reference line) rather than base plus index, to leave registers for the
// rest.
struct line_scan {
  const u32 width;
  const u8 coding;
  const u8* p;  // next byte of the block
  const u8* const in_end;
  u32* out;              // next changing element of the line
  u32* const out_limit;  // an element stored past it is one too many
  const u32* b;          // b1 in the reference line
  u64 win;
  int nb;
  u32 pending;
  i32 a0;
  u32 run;
  u32 run1;
  u8 colour;
  u8 h_left;
  u8 state;
  u8 kind;
  i16 eol_result;

  explicit line_scan(const t4t6_decoder_ctx& c)
      : width(c.width),
        coding(c.coding),
        p(c.in + c.in_pos),
        in_end(c.in + c.in_len),
        out(c.cur + c.ncur),
        out_limit(c.cur + (c.cap - 4)),
        b(c.ref + c.j),
        win(c.win),
        nb(c.nb),
        pending(c.pending_zeros),
        a0(c.a0),
        run(c.run_acc),
        run1(c.h_run1),
        colour(c.colour),
        h_left(c.h_left),
        state(c.state),
        kind(c.kind),
        eol_result(c.eol_result) {}

  // Stores the scan state back into the context.
  [[gnu::always_inline]] void store(t4t6_decoder_ctx& c) const {
    c.in_pos = static_cast<u32>(p - c.in);
    c.win = win;
    c.nb = nb;
    c.pending_zeros = pending;
    c.ncur = static_cast<u32>(out - c.cur);
    c.a0 = a0;
    c.run_acc = run;
    c.h_run1 = run1;
    c.j = static_cast<u32>(b - c.ref);
    c.colour = colour;
    c.h_left = h_left;
    c.state = state;
    c.kind = kind;
    c.eol_result = eol_result;
  }

  // Adds as many whole bytes to the window as it has room for, read as one
  // big-endian word: the block must have at least 8 bytes left.
  [[gnu::always_inline]] void fill_from_eight() {
    win |= get_be64(p) >> nb;
    const int take = (63 - nb) >> 3;
    p += take;
    nb += 8 * take;
  }

  // Adds whole bytes to the window; called with nb <= 55, so that at least
  // one byte goes in while the block has data.
  [[gnu::always_inline]] void refill() {
    if (in_end - p >= 8) [[likely]] {
      fill_from_eight();
      return;
    }
    while (nb <= 55 && p < in_end) {  // nb stays below 64
      win |= u64{*p++} << (56 - nb);
      nb += 8;
    }
  }

  // Tops the window up before a mode code or a pair of 1-D runs, without a
  // test on the bit count while 8 bytes of the block are left (bits already
  // held are ORed in again with the same values): a refill that depends on
  // the bit count is a branch mispredicted every few codes.
  [[gnu::always_inline]] void top_up() {
    if (in_end - p >= 8) [[likely]] {
      fill_from_eight();
    } else if (nb <= 55) {
      refill();
    }
  }
  // A code did not fit in the bits held: true when more bits came in.
  [[gnu::always_inline]] bool refilled() {
    if (nb > 55 || p >= in_end) return false;
    refill();
    return true;
  }

  [[gnu::always_inline]] void consume(int k) {  // k < 64
    win <<= k;
    nb -= k;
  }

  // Looks for an EOL (at least 11 zero bits then a 1, counting the zeros
  // already pending).  1: found and consumed; 0: the data ended; -1: a 1 bit
  // came after fewer than 11 zeros (consumed with them).
  int scan_eol() {
    for (;;) {
      if (nb == 0) {
        refill();
        if (nb == 0) return 0;
      }
      const int z = std::min(win ? __builtin_clzll(win) : 64, nb);
      if (z == nb) {
        pending += static_cast<u32>(z);
        win = z >= 64 ? 0 : win << z;
        nb = 0;
        continue;
      }
      const u32 total = pending + static_cast<u32>(z);
      consume(z + 1);
      pending = 0;
      return total >= 11 ? 1 : -1;
    }
  }

  // A code lookup found no code (len no_code) or one longer than the bits
  // held.
  [[gnu::always_inline]] stop_reason stalled(int table_bits, int len) const {
    if ((win >> 53) == 0) return W_EOL;  // no code starts with 11 zeros
    if (len == no_code && nb >= table_bits) return W_ERROR;
    return W_MORE;
  }

  // Reads the codes of one run of colour Col up to its terminating code,
  // adding them to `run`.  Make-up codes may not take `run` past `limit`;
  // the caller checks the whole run.
  template <int Col>
  [[gnu::always_inline]] stop_reason read_run(u32 limit) {
    constexpr int bits = Col ? black_bits : white_bits;
    for (;;) {
      const run_entry e = Col ? black_table[win >> (64 - black_bits)] : white_table[win >> (64 - white_bits)];
      if (e.len > nb) [[unlikely]] {
        if (refilled()) continue;
        return stalled(bits, e.len);
      }
      consume(e.len);
      run += e.run;
      if (!e.makeup) [[likely]]
        return W_DONE;
      if (run > limit) return W_ERROR;
    }
  }

  // b1 after a0 (below the width), searching from b: the reference
  // line's sentinels stop the search.  The first step is taken without a
  // branch: after a vertical mode b1 is most often one step on, and a loop
  // exit that depends on the data is mispredicted often.
  [[gnu::always_inline]] void seek_b1() {
    b += static_cast<i32>(*b) <= a0 ? 2 : 0;
    while (static_cast<i32>(*b) <= a0) b += 2;
  }

  [[gnu::always_inline]] bool push(u32 pos) {
    if (pos >= width) return true;
    if (out > out_limit) [[unlikely]]
      return false;
    *out++ = pos;
    return true;
  }
  [[gnu::always_inline]] u32 base() const { return a0 < 0 ? 0 : static_cast<u32>(a0); }

  // One run of colour C of a one-dimensional line, from `pos`.
  template <int C>
  [[gnu::always_inline]] stop_reason run_1d(u32& pos) {
    const stop_reason w = read_run<C>(width - pos);
    if (w != W_DONE) return w;
    const u32 a1 = pos + run;
    if (a1 >= width) [[unlikely]] {
      if (a1 > width) return W_ERROR;
      run = 0;
      a0 = static_cast<i32>(a1);
      colour = C ^ 1;
      return W_REACHED;
    }
    run = 0;
    if (out > out_limit) [[unlikely]]
      return W_ERROR;
    *out++ = a1;
    pos = a1;
    a0 = static_cast<i32>(a1);
    colour = C ^ 1;
    return W_DONE;
  }

  // One-dimensional: runs alternate from white.
  [[gnu::always_inline]] stop_reason code_1d() {
    u32 pos = base();
    for (;;) {
      top_up();
      stop_reason w;
      if (!colour && (w = run_1d<0>(pos)) != W_DONE) return w;
      if ((w = run_1d<1>(pos)) != W_DONE) return w;
    }
  }

  // Horizontal mode: the run of the colour C of a0, then one of the other
  // colour, read in one go; h_left tells where to resume.  `first` is the
  // table entry of the first run when it was looked up with the mode code.
  template <int C>
  [[gnu::always_inline]] stop_reason horizontal(run_entry first) {
    const u32 b = base();
    if (h_left == 2 && first.len <= nb && !first.makeup) [[likely]] {
      consume(first.len);
      run = first.run;
    } else if (h_left == 2) {
      const stop_reason w = read_run<C>(width - b);
      if (w != W_DONE) return w;
    }
    if (h_left == 2) {
      if (run > width - b) return W_ERROR;
      run1 = run;
      run = 0;
      h_left = 1;
    }
    const stop_reason w = read_run<C ^ 1>(width - b - run1);
    if (w != W_DONE) return w;
    const u32 a1 = b + run1;
    const u32 a2 = a1 + run;
    run = 0;
    h_left = 0;
    if (a2 >= width) [[unlikely]] {
      if (a2 > width || !push(a1)) return W_ERROR;
      a0 = static_cast<i32>(a2);
      return W_REACHED;
    }
    if (out >= out_limit) [[unlikely]]
      return W_ERROR;
    out[0] = a1;
    out[1] = a2;
    out += 2;
    a0 = static_cast<i32>(a2);
    seek_b1();
    return W_DONE;
  }
  [[gnu::always_inline]] stop_reason code_horizontal(run_entry first = {}) {
    return colour ? horizontal<1>(first) : horizontal<0>(first);
  }

  [[gnu::always_inline]] stop_reason code_2d() {
    if (h_left) {  // resuming inside horizontal mode
      const stop_reason w = code_horizontal();
      if (w != W_DONE) return w;
    }
    for (;;) {
      if (nb < 32) refill();
      const mode_entry e = mode_table[win >> (64 - mode_bits)];
      // The first run of a horizontal mode (code 001) is looked up at once,
      // not after the mode code is known.
      const u64 after_h = win << 3;
      const run_entry first =
          colour ? black_table[after_h >> (64 - black_bits)] : white_table[after_h >> (64 - white_bits)];
      if (e.len > nb) [[unlikely]] {
        if (refilled()) continue;
        return stalled(mode_bits, e.len);
      }
      consume(e.len);
      if (e.mode >= M_V0) [[likely]] {
        const i32 a1 = static_cast<i32>(*b) + mode_offset[e.mode];
        // a1 < 0 shows as above the width
        if (static_cast<u32>(a1) >= width || a1 < a0) [[unlikely]] {
          if (a1 < a0 || static_cast<u32>(a1) > width) return W_ERROR;
          a0 = a1;  // at the width: the line is complete
          colour ^= 1;
          return W_REACHED;
        }
        if (out > out_limit) [[unlikely]]
          return W_ERROR;
        *out++ = static_cast<u32>(a1);
        a0 = a1;
        colour ^= 1;
        --b;  // may reach the entry before the first, which holds -1
        seek_b1();
      } else if (e.mode == M_PASS) {
        const u32 b2 = b[1];
        a0 = static_cast<i32>(b2);
        if (b2 >= width) return W_REACHED;
        b += 2;
        seek_b1();
      } else {  // horizontal
        h_left = 2;
        run1 = 0;
        run = 0;
        const stop_reason w = code_horizontal(first);
        if (w != W_DONE) return w;
      }
    }
  }

  // An EOL ended the line with result r; for MR its tag bit comes next.
  [[gnu::always_inline]] bool tag_follows(i16 r) {
    if (coding != T4T6_MR) return false;
    eol_result = r;
    state = S_NEED_TAG;
    return true;
  }

  // Decodes up to the end of the current line or of the data.  Returns the
  // result; the line ends (and is delivered when done) when it is not MORE
  // or FATAL.
  [[gnu::always_inline]] i16 decode() {
    for (;;) {
      if (nb < 32) refill();
      switch (state) {
        case S_NEED_TAG:
          if (nb == 0) return T4T6_LINE_MORE;
          kind = (win >> 63) ? 1 : 2;
          consume(1);
          return eol_result;

        case S_SKIP:
        case S_WAIT_EOL: {
          const int r = scan_eol();
          if (r == 0) return T4T6_LINE_MORE;
          if (r < 0) {
            state = S_SKIP;
            continue;
          }
          const i16 res = state == S_WAIT_EOL ? T4T6_LINE_DONE : T4T6_LINE_ERROR;
          if (tag_follows(res)) continue;
          return res;
        }

        default: break;
      }

      const stop_reason w = pending ? W_EOL : kind == 1 ? code_1d() : code_2d();
      switch (w) {
        case W_MORE: return T4T6_LINE_MORE;
        case W_REACHED:
          if (coding == T4T6_MMR) return T4T6_LINE_DONE;
          state = S_WAIT_EOL;
          continue;
        case W_EOL: {
          if (!pending && nb < 11) return T4T6_LINE_MORE;  // only zeros so far, too few to tell
          const int r = scan_eol();
          if (r == 0) return T4T6_LINE_MORE;
          const bool empty = a0 < 0 && run == 0 && h_left == 0;  // no code read in this line
          const i16 res = empty ? T4T6_LINE_EMPTY : T4T6_LINE_ERROR;
          if (tag_follows(res)) continue;
          return res;
        }
        default:  // coding error
          if (coding == T4T6_MMR) return T4T6_LINE_FATAL;
          state = S_SKIP;
          continue;
      }
    }
  }
};

i16 decode_line(t4t6_decoder_ctx& c) {
  line_scan s(c);
  const i16 r = s.decode();
  s.store(c);
  if (r != T4T6_LINE_MORE && r != T4T6_LINE_FATAL) {
    if (r == T4T6_LINE_DONE) deliver_line(c);
    reset_line(c);
  }
  return r;
}

}  // namespace

namespace {

// A changing-element array of the decoder: `cap` entries, with one more
// before the first holding -1 (as int32), so that the b1 search may start
// one before the first entry.
u32* new_changes(u32 cap) {
  auto* p = new (std::nothrow) u32[cap + 1];
  if (!p) return nullptr;
  p[0] = 0xFFFFFFFF;
  return p + 1;
}

void delete_changes(u32* p) {
  if (p) delete[](p - 1);
}

// Owns a changing-element array until the decoder takes it.
struct changes_deleter {
  void operator()(u32* p) const { delete_changes(p); }
};
using changes_ptr = std::unique_ptr<u32, changes_deleter>;

// The start shared by the decoder's and the encoder's open: checks the
// arguments, then allocates the handle and its context and gives the context
// its coding and width.  Everything allocated stays owned by `h` and `c`
// until open_finish hands it over.
template <class Handle, class Ctx>
u16 open_start(Handle** handle, u8 coding, u32 width, std::unique_ptr<Handle>& h, std::unique_ptr<Ctx>& c) {
  if (!handle) return T4T6_OPEN_NO_HANDLE;
  *handle = nullptr;
  if (coding < T4T6_MH || coding > T4T6_MMR || width == 0 || width > T4T6_MAX_WIDTH) return T4T6_OPEN_BAD_PARAM;
  h.reset(new (std::nothrow) Handle);
  if (!h) return T4T6_OPEN_ALLOC_HANDLE;
  c.reset(new (std::nothrow) Ctx);
  if (!c) return T4T6_OPEN_ALLOC_CTX;
  c->coding = coding;
  c->width = width;
  return T4T6_OPEN_OK;
}

// The complete handle takes its context and goes to the caller.
template <class Handle, class Ctx>
u16 open_finish(Handle** handle, std::unique_ptr<Handle>& h, std::unique_ptr<Ctx>& c) {
  h->ctx = c.release();
  *handle = h.release();
  return T4T6_OPEN_OK;
}

}  // namespace

u16 t4t6__open(t4t6_decoder** handle, u8 coding, u32 width) {
  std::unique_ptr<t4t6_decoder> h;
  std::unique_ptr<t4t6_decoder_ctx> c;
  if (const u16 r = open_start(handle, coding, width, h, c); r != T4T6_OPEN_OK) return r;
  c->cap = width + 4;
  changes_ptr cur(new_changes(c->cap));
  if (!cur) return T4T6_OPEN_NO_ARRAY_1;
  changes_ptr ref(new_changes(c->cap));
  if (!ref) return T4T6_OPEN_NO_ARRAY_2;
  c->cur = cur.release();
  c->ref = ref.release();
  // MMR starts two-dimensional on an all-white reference line.
  c->ref[0] = c->ref[1] = c->ref[2] = width;
  c->kind = coding == T4T6_MMR ? 2 : 1;
  c->empty_threshold = coding == T4T6_MMR ? 1 : 4;
  reset_line(*c);
  return open_finish(handle, h, c);
}

i16 t4t6__decode_line(t4t6_decoder_ctx* ctx) {
  t4t6_decoder_ctx& c = *ctx;
  const u64 before = bits_consumed(c);
  const i16 r = decode_line(c);
  const u64 after = bits_consumed(c);
  c.last_call_bits = static_cast<u32>(after - before);
  if (r != T4T6_LINE_MORE) {
    c.last_line_bits = static_cast<u32>(after - c.line_start);
    c.line_start = after;
  }
  return r;
}

namespace {

void stop_page(t4t6_decoder* h, u32 status) {
  const t4t6_decoder_ctx& c = *h->ctx;
  h->page_status = status;
  const i64 pos = i64{c.in_pos} * 8 - c.nb;
  h->end_bit_pos = static_cast<u32>(std::max<i64>(pos, 0));
}

void clear_output(t4t6_decoder* h) {
  if (h->line) t4t6__zero_bytes(h->line, (h->ctx->width + 7) / 8);
}

// The start of a page call: the flags of the last call are cleared; the
// context, or null when there is no page being decoded.
t4t6_decoder_ctx* start_page_call(t4t6_decoder* h) {
  if (!h || !h->ctx) return nullptr;
  h->end_of_data = 0;
  h->line_ready = 0;
  h->error_line = 0;
  return h->page_status == T4T6_PAGE_DECODING ? h->ctx : nullptr;
}

}  // namespace

void t4t6__decode_page(t4t6_decoder* h) {
  t4t6_decoder_ctx* const ctx = start_page_call(h);
  if (!ctx) return;
  t4t6_decoder_ctx& c = *ctx;
  if (c.need_data) {
    c.bits_before += u64{c.in_len} * 8;
    c.in = h->data;
    c.in_len = h->data ? h->data_len : 0;
    c.in_pos = 0;
    c.need_data = false;
  }
  c.out = h->line;
  for (;;) {
    const i16 r = t4t6__decode_line(&c);
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
          stop_page(h, T4T6_PAGE_END);
          clear_output(h);
          return;
        }
        continue;
      case T4T6_LINE_ERROR:
        if (c.coding == T4T6_MMR) {
          stop_page(h, T4T6_PAGE_END);
          return;
        }
        h->error_line = 1;
        h->line_ready = 1;
        ++h->error_lines;
        c.empty_count = 0;
        clear_output(h);
        return;
      default:
        ++h->error_lines;
        stop_page(h, T4T6_PAGE_ERROR);
        return;
    }
  }
}

void t4t6__finish_page(t4t6_decoder* h) {
  t4t6_decoder_ctx* const ctx = start_page_call(h);
  if (!ctx) return;
  t4t6_decoder_ctx& c = *ctx;
  c.out = h->line;
  const bool complete = c.state == S_WAIT_EOL || (c.state == S_NEED_TAG && c.eol_result == T4T6_LINE_DONE);
  const bool nothing = (c.state == S_CODING && c.a0 < 0 && c.run_acc == 0 && c.h_left == 0) ||
                       (c.state == S_NEED_TAG && c.eol_result == T4T6_LINE_EMPTY);
  if (complete) {
    deliver_line(c);
    h->line_ready = 1;
    c.empty_count = 0;
  } else if (!nothing) {  // the data ended inside a line
    ++h->error_lines;
    if (c.coding == T4T6_MMR) {
      stop_page(h, T4T6_PAGE_ERROR);
      return;
    }
    h->error_line = 1;
    h->line_ready = 1;
    clear_output(h);
  }
  reset_line(c);
  stop_page(h, T4T6_PAGE_END);
}

void t4t6__release(t4t6_decoder* h) {
  if (!h) return;
  if (h->ctx) {
    delete_changes(h->ctx->cur);
    delete_changes(h->ctx->ref);
    delete h->ctx;
  }
  delete h;
}

u32 t4t6__lines_decoded(const t4t6_decoder* h) { return h && h->ctx ? h->ctx->lines : 0; }
u32 t4t6__bits_used(const t4t6_decoder* h) { return h && h->ctx ? h->ctx->last_call_bits : 0; }
u32 t4t6__line_bits(const t4t6_decoder* h) { return h && h->ctx ? h->ctx->last_line_bits : 0; }

// ---------------------------------------------------------------------------
// Encoder

struct t4t6_encoder_ctx {
  u8 coding = T4T6_MH;
  u32 width = 0;
  u8 line_coded = 0;  // the EOL goes before every line but the first
  u32 k = 1;
  u32 count_2d = 0;  // lines since the last one-dimensional line (MR)
  // Changing elements of the line being coded and of the reference line.
  u32* cur = nullptr;
  u32* ref = nullptr;
};

namespace {

// Bit writer over the output cursor: codes are collected in a register and
// stored a byte at a time.  Writing stops (and `overflow` is set) when the
// room of the cursor runs out.
struct bit_sink {
  fax_bit_cursor& cur;
  u8* base;
  u32 idx;
  u64 acc = 0;
  int n = 0;  // bits in acc, counting the used bits of a partly filled first byte
  u64 written = 0;
  u64 room;
  bool overflow = false;

  explicit bit_sink(fax_bit_cursor& c)
      : cur(c), base(c.base), idx(c.byte_index), room(c.bits_left > 0 ? static_cast<u32>(c.bits_left) : 0) {
    n = cur.bit_offset;
    if (n) acc = base[idx] >> (8 - n);
  }

  [[gnu::always_inline]] void put(u32 bits, int len) {
    if (written + static_cast<u32>(len) > room) {
      overflow = true;
      return;
    }
    acc = (acc << len) | bits;
    n += len;
    written += static_cast<u32>(len);
    if (n >= 32) {  // store the oldest 32 bits at once
      n -= 32;
      const u32 v = static_cast<u32>(acc >> n);
      put_be32(base + idx, v);
      idx += 4;
    }
  }
  void flush() {
    while (n >= 8) {
      base[idx++] = static_cast<u8>(acc >> (n - 8));
      n -= 8;
    }
  }
  void align() {
    if (n & 7) put(0, 8 - (n & 7));
  }
  void finish() {
    flush();
    if (n > 0) base[idx] = static_cast<u8>(acc << (8 - n));  // unused bits cleared
    cur.byte_index = idx;
    cur.bit_offset = n;
    cur.bits_left -= static_cast<i32>(written);
  }
};

// EOL, byte aligned: 0x00 0x01 for MH; for MR 0x02 before a two-dimensional
// line and 0x03 before a one-dimensional one.
[[gnu::always_inline]] inline void t4t6__put_eol(bit_sink& s, u8 coding, int tag) {
  s.align();
  s.put(coding == T4T6_MR ? 0x0002u | static_cast<u32>(tag) : 0x0001u, 16);
}

[[gnu::always_inline]] inline void put_code(bit_sink& s, code c) { s.put(c.bits, c.len); }

[[gnu::always_inline]] inline void t4t6__put_run(bit_sink& s, int colour, u32 run) {
  if (run < 64) {  // most runs: one terminating code
    put_code(s, colour ? black_term[run] : white_term[run]);
    return;
  }
  while (run >= 2560) {
    put_code(s, ext_makeup[12]);
    run -= 2560;
  }
  if (run >= 1792) {
    const u32 m = (run - 1792) / 64;
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

[[gnu::always_inline]] inline void t4t6__encode_1d(bit_sink& s, const u32* ch, u32 n, u32 width) {
  u32 prev = 0;
  int colour = 0;
  for (u32 i = 0; i <= n; ++i) {
    const u32 pos = i < n ? ch[i] : width;
    t4t6__put_run(s, colour, pos - prev);
    prev = pos;
    colour ^= 1;
  }
}

[[gnu::always_inline]] inline void t4t6__encode_2d(bit_sink& s, const u32* cur, const u32* ref, u32 width) {
  i32 a0 = -1;
  int colour = 0;
  u32 i = 0, j = 0;
  for (;;) {
    while (static_cast<i32>(cur[i]) <= a0 && cur[i] < width) ++i;
    const u32 a1 = cur[i];
    const u32 b1 = ref[j];
    const u32 b2 = ref[j + 1];
    if (b2 < a1) {
      t4t6__put_mode(s, M_PASS);
      a0 = static_cast<i32>(b2);
      if (b2 < width) j = seek_b1(ref, j + 2, a0, width);
    } else if (const i32 d = static_cast<i32>(a1) - static_cast<i32>(b1); d >= -3 && d <= 3) {
      static constexpr mode vmode[] = {M_VL3, M_VL2, M_VL1, M_V0, M_VR1, M_VR2, M_VR3};
      t4t6__put_mode(s, vmode[d + 3]);
      a0 = static_cast<i32>(a1);
      colour ^= 1;
      j = seek_b1(ref, j ? j - 1 : 1, a0, width);
    } else {
      const u32 a2 = cur[i + 1];
      t4t6__put_mode(s, M_HORIZ);
      t4t6__put_run(s, colour, a1 - static_cast<u32>(std::max(a0, 0)));
      t4t6__put_run(s, colour ^ 1, a2 - a1);
      a0 = static_cast<i32>(a2);
      j = seek_b1(ref, j, a0, width);
    }
    if (static_cast<u32>(a0) >= width || s.overflow) break;
  }
}

}  // namespace

u16 t4t6__open_encoder(t4t6_encoder** handle, u8 coding, u32 width, u32 k) {
  std::unique_ptr<t4t6_encoder> h;
  std::unique_ptr<t4t6_encoder_ctx> c;
  if (const u16 r = open_start(handle, coding, width, h, c); r != T4T6_OPEN_OK) return r;
  c->k = std::max<u32>(k, 1);
  std::unique_ptr<u32[]> cur(new (std::nothrow) u32[width + 4]);
  std::unique_ptr<u32[]> ref(new (std::nothrow) u32[width + 4]);
  if (!cur || !ref) return T4T6_OPEN_NO_ARRAY_1;
  c->cur = cur.release();
  c->ref = ref.release();
  c->ref[0] = c->ref[1] = c->ref[2] = width;
  return open_finish(handle, h, c);
}

bool t4t6__encode_line(t4t6_encoder* h) {
  if (!h || !h->ctx || !h->line || !h->out.base) return false;
  t4t6_encoder_ctx& c = *h->ctx;
  const u32 n = find_changes(h->line, c.width, c.cur);
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
