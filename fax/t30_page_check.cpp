#include "fax/t30_page_check.h"

#include <algorithm>

namespace {

// Minimum octets per line, rows by scan code 0, 1, 3, 5, 7 and columns by
// speed 2400 ... 14400 bit/s.
constexpr u8 kMinOctets[5][6] = {
    {0, 0, 0, 0, 0, 0}, {2, 3, 5, 6, 8, 9}, {3, 6, 9, 12, 15, 18}, {6, 12, 18, 24, 30, 36}, {12, 24, 36, 48, 60, 72},
};

constexpr u32 kLineTime = 13060;    // 13.06 s of line time, in ms
constexpr u32 kLineTimeX3 = 19100;  // at 600 pels across
constexpr u32 kLineTimeX6 = 37100;  // at 1200 pels across
constexpr u16 kLegalLines = 1505;
constexpr u32 kHeldLineBits = 24;  // an erroneous line this short may be an EOL of RTC

constexpr int speed_index(u16 modulation) {
  for (int i = 0; i < 6; ++i)
    if (modulation & (0x02u << i)) return i;
  return 0;
}

// Writes bits most significant first into a growing octet string.
class bit_writer {
 public:
  explicit bit_writer(std::vector<u8>& out) : out_(out) {}
  void bit(bool one) {
    if (bits_ % 8 == 0) out_.push_back(0);
    if (one) out_.back() = static_cast<u8>(out_.back() | (0x80u >> (bits_ % 8)));
    ++bits_;
  }
  void zeros(u32 n) {
    for (u32 i = 0; i < n; ++i) bit(false);
  }
  u32 bits() const { return bits_; }

 private:
  std::vector<u8>& out_;
  u32 bits_ = 0;
};

fax_bit_cursor cursor_at(const u8* base, u32 bit, u32 bits_left) {
  fax_bit_cursor c;
  c.base = const_cast<u8*>(base);
  c.byte_index = bit / 8;
  c.bit_offset = static_cast<i32>(bit % 8);
  c.bits_left = static_cast<i32>(bits_left);
  return c;
}

// Appends n bits starting at `src` to `out` from an octet boundary; the last
// octet is completed with zero bits.
void append_bits(std::vector<u8>& out, const fax_bit_cursor& src, u32 n) {
  if (n == 0) return;
  const size_t at = out.size();
  out.resize(at + (n + 7) / 8, 0);
  fax_bit__field_copy(cursor_at(out.data() + at, 0, n), src, n);
}

u8 decoder_coding(u8 coding) {
  if (coding == T30_CODING_MH) return T4T6_MH;
  if (coding == T30_CODING_MR) return T4T6_MR;
  return T4T6_MMR;
}

}  // namespace

// ---------------------------------------------------------------------------
// Page limits.

u8 t30_page__min_octets(u8 scan_code, u16 modulation) {
  int row;
  switch (scan_code) {
    case 0: row = 0; break;
    case 1: row = 1; break;
    case 3: row = 2; break;
    case 5: row = 3; break;
    case 7: row = 4; break;
    default: return 255;
  }
  return kMinOctets[row][speed_index(modulation)];
}

t30_page_format t30_page__format(const t30_capability& neg, const t30_selection& sel, u16 page_modulation) {
  t30_page_format f;
  f.coding = neg.coding;

  const u8 width_code = sel.width != 0xFF ? sel.width : neg.width;
  u32 w = width_code == T30_WIDTH_A3 ? 2432 : width_code == T30_WIDTH_B4 ? 2048 : 1728;
  const u16 res = neg.resolution;
  u32 line_time = kLineTime;
  if (res & T30_RES_EXCLUDED) {
    w /= 2;
  } else if (res & (T30_RES_300 | T30_RES_300_600)) {
    w += w / 2;
  } else if (res & (T30_RES_R16 | T30_RES_400_800)) {
    w *= 2;
  } else if (res & (T30_RES_600 | T30_RES_600_1200)) {
    w *= 3;
    line_time = kLineTimeX3;
  } else if (res & T30_RES_1200) {
    w *= 6;
    line_time = kLineTimeX6;
  }
  f.width = w;

  u32 lines = T30_LINE_LIMITS[neg.length & 7];
  if (neg.legal && lines < kLegalLines) lines = kLegalLines;
  u32 factor = 1;
  if (res & T30_RES_FINE) factor = 2;
  else if (res & T30_RES_300) factor = 3;
  else if (res & (T30_RES_R16 | T30_RES_SUPERFINE)) factor = 4;
  else if (res & (T30_RES_600 | T30_RES_300_600)) factor = 6;
  else if (res & T30_RES_400_800) factor = 8;
  else if (res & (T30_RES_1200 | T30_RES_600_1200)) factor = 12;
  f.max_lines = lines > T30_NO_LINE_LIMIT / factor ? T30_NO_LINE_LIMIT : static_cast<u16>(lines * factor);

  f.max_line_bits = (t30_modulation_speed(page_modulation) / 100) * (line_time / 10);
  f.min_octets = t30_page__min_octets(neg.scan_time, page_modulation);

  if (neg.resolution == T30_RES_FINE && sel.resolution == T30_RES_NORMAL) f.conversion = t30_line_conversion::twice;
  else if (neg.resolution == T30_RES_NORMAL && sel.resolution == T30_RES_FINE)
    f.conversion = t30_line_conversion::odd_only;
  return f;
}

std::vector<u8> t30_page__end_pattern(u8 coding, bool with_zero_tail) {
  std::vector<u8> out;
  if (coding != T30_CODING_MH && coding != T30_CODING_MR) return out;
  bit_writer w(out);
  if (coding == T30_CODING_MR) w.zeros(2);
  for (int i = 0; i < 6; ++i) {
    w.zeros(11);
    w.bit(true);
    if (coding == T30_CODING_MR) w.bit(true);
  }
  if (with_zero_tail) w.zeros(64);
  return out;
}

t30_page_response t30_page__decide(u32 lines, u32 bad, u32 run) {
  if (lines == 0) return t30_page_response::empty;
  if (bad == 0) return t30_page_response::mcf;
  const u64 p7 = u64{lines} * 7 / 100;
  const u64 p10 = u64{lines} * 10 / 100;
  const int bad_level = bad > p10 ? 2 : bad > p7 ? 1 : 0;
  const int run_level = run >= 41 ? 2 : run >= 9 ? 1 : 0;
  const int level = std::max(bad_level, run_level);
  return level == 0 ? t30_page_response::mcf : level == 1 ? t30_page_response::rtp : t30_page_response::rtn;
}

t30_page_end t30_page__end(t30_rx_status status, u32 good, u32 bad, u32 run, u32& empty_pages) {
  t30_page_end e;
  if (status == t30_rx_status::too_many_bits) {
    e.action = t30_page_end::stop;
    e.cause = t30_protocol_cause(W2BITS);
    return e;
  }
  if (status == t30_rx_status::too_many_lines) {
    e.action = t30_page_end::stop;
    e.cause = t30_protocol_cause(W2LINES);
    return e;
  }
  if (good + bad == 0) {
    ++empty_pages;
    if (empty_pages > 3) {
      e.action = t30_page_end::stop;
      e.cause = t30_protocol_cause(WNOEOPR);
    } else {
      e.action = t30_page_end::wait_again;
    }
    e.response = t30_page_response::empty;
    return e;
  }
  e.response = t30_page__decide(good + bad, bad, run);
  return e;
}

u32 t30__find_eol(const fax_bit_cursor& cur, u32& zeros, bool* saw_one, u32* eol_zeros) {
  const u32 n = cur.bits_left > 0 ? static_cast<u32>(cur.bits_left) : 0;
  u32 off = 0;
  while (off < n) {
    const u32 z = fax_bit__count_zero_bits(cur, off);
    if (off + z >= n) {
      zeros += n - off;
      return 0;
    }
    if (zeros + z >= 11) {
      if (eol_zeros) *eol_zeros = zeros + z;
      zeros = 0;
      return off + z + 1;
    }
    if (saw_one) *saw_one = true;
    zeros = 0;
    off += z + 1;
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Received page.

t30_rx_page_check::~t30_rx_page_check() { t4t6__release(decoder_); }

bool t30_rx_page_check::start(const t30_page_format& format) {
  t4t6__release(decoder_);
  decoder_ = nullptr;
  fmt_ = format;
  mr_ = format.coding == T30_CODING_MR;
  mmr_ = format.coding != T30_CODING_MH && format.coding != T30_CODING_MR;
  decoder_expects_2d_ = false;
  decoder_needs_1d_ = false;
  line_.assign(T30_RX_LINE_BUFFER, 0);
  line_bits_ = 0;
  line_overflow_ = false;
  line_has_code_ = false;
  need_tag_ = false;
  next_tag_ = 1;
  zeros_ = 0;
  good_ = bad_ = run_ = longest_run_ = 0;
  held_state_ = 0;
  held_count_ = 0;
  status_ = t30_rx_status::ok;
  ended_ = false;
  out_.clear();
  eol_pending_ = false;
  if (t4t6__open(&decoder_, decoder_coding(format.coding), format.width) != T4T6_OPEN_OK) {
    t4t6__release(decoder_);
    decoder_ = nullptr;
    ended_ = true;
    return false;
  }
  if (!mmr_) {
    write_eol(mr_ ? 0x03 : 0x01);
    run_decoder(out_);  // the decoder reads the page's first EOL too
  }
  return true;
}

std::vector<u8> t30_rx_page_check::run_decoder(std::span<const u8> data) {
  std::vector<u8> lines;
  if (decoder_ == nullptr || data.empty()) return lines;
  decoder_->data = data.data();
  decoder_->data_len = static_cast<u32>(data.size());
  decoder_->line = nullptr;
  // Every call either ends a line or uses the data up; the bound only guards
  // against a decoder that does neither.
  for (size_t guard = data.size() * 8 + 16; guard > 0; --guard) {
    if (decoder_->page_status != T4T6_PAGE_DECODING) break;
    t4t6__decode_page(decoder_);
    if (decoder_->line_ready) lines.push_back(decoder_->error_line ? 0 : 1);
    if (decoder_->end_of_data) break;
  }
  return lines;
}

void t30_rx_page_check::feed(std::span<const u8> data) {
  // Bit positions are 32-bit: large data are taken in pieces.
  constexpr size_t kPiece = 1u << 16;
  while (data.size() > kPiece) {
    feed(data.first(kPiece));
    data = data.subspan(kPiece);
  }
  if (finished() || data.empty()) return;
  if (mmr_) {
    // No EOLs to cut at: the data go up as received and the decoder's lines
    // are counted.
    out_.insert(out_.end(), data.begin(), data.end());
    for (u8 good : run_decoder(data)) {
      if (good == 0) continue;
      ++good_;
      if (good_ > fmt_.max_lines && fmt_.max_lines < T30_NO_LINE_LIMIT) {
        status_ = t30_rx_status::too_many_lines;
        return;
      }
    }
    return;
  }

  fax_bit_cursor c = cursor_at(data.data(), 0, static_cast<u32>(data.size() * 8));
  while (c.bits_left > 0 && status_ == t30_rx_status::ok) {
    if (need_tag_) {
      next_tag_ = (c.base[c.byte_index] & (0x80u >> c.bit_offset)) ? 1 : 0;
      t4t6__bit_skip(c, 1);
      ++line_bits_;
      need_tag_ = false;
      complete_line();
      continue;
    }
    bool one = false;
    const u32 n = t30__find_eol(c, zeros_, &one);
    const u32 take = n != 0 ? n : static_cast<u32>(c.bits_left);
    add_line_bits(c, take);
    line_has_code_ |= one;
    t4t6__bit_skip(c, take);
    if (fmt_.max_line_bits != 0 && line_bits_ > fmt_.max_line_bits) {
      status_ = t30_rx_status::too_many_bits;
      return;
    }
    if (n == 0) break;
    if (mr_) need_tag_ = true;
    else complete_line();
  }
}

void t30_rx_page_check::add_line_bits(const fax_bit_cursor& src, u32 n) {
  const u64 room = u64{T30_RX_LINE_BUFFER} * 8;
  if (!line_overflow_) {
    if (u64{line_bits_} + n > room) {
      // A line longer than the line buffer cannot go up: it will count as
      // an erroneous line.
      line_overflow_ = true;
    } else {
      fax_bit__field_copy(cursor_at(line_.data(), line_bits_, static_cast<u32>(room - line_bits_)), src, n);
    }
  }
  line_bits_ = static_cast<u32>(std::min<u64>(u64{line_bits_} + n, UINT32_MAX));
}

void t30_rx_page_check::complete_line() {
  const u32 total = line_bits_;
  const u32 eol_bits = mr_ ? 13 : 12;
  const bool has_code = line_has_code_;
  const bool overflow = line_overflow_;
  line_bits_ = 0;
  line_overflow_ = false;
  line_has_code_ = false;
  if (held_state_ == 3) return;  // past the end-of-page sequence: nothing counts
  if (!has_code || overflow) {
    // EOL right after EOL (or after fill only), or a line that the line
    // buffer cannot hold.
    error_line(total);
    return;
  }
  // The line in the form it would go up: its bits, the last octet completed
  // with zero bits, then the EOL announcing the next line.
  const u32 code_bits = total > eol_bits ? total - eol_bits : 0;
  candidate_.clear();
  append_bits(candidate_, cursor_at(line_.data(), 0, code_bits), code_bits);
  candidate_.push_back(0x00);
  candidate_.push_back(mr_ ? (next_tag_ ? 0x03 : 0x02) : 0x01);
  if (decoder_needs_1d_) {
    // After an erroneous line the next line goes up announced as
    // one-dimensional; the decoder is told the same.
    static constexpr u8 kEol1d[2] = {0x00, 0x03};
    run_decoder(kEol1d);
    decoder_needs_1d_ = false;
  }
  const std::vector<u8> verdict = run_decoder(candidate_);
  if (mr_) decoder_expects_2d_ = next_tag_ == 0;
  if (verdict.size() == 1 && verdict[0] == 1) good_line(candidate_);
  else error_line(total);
}

void t30_rx_page_check::count_bad(u32 n) {
  bad_ += n;
  run_ += n;
  longest_run_ = std::max(longest_run_, run_);
}

void t30_rx_page_check::good_line(const std::vector<u8>& octets) {
  if (held_state_ == 2) count_bad(1);
  if (held_state_ == 0) held_count_ = 0;
  run_ = 0;
  held_state_ = 1;
  out_.insert(out_.end(), octets.begin(), octets.end());
  eol_pending_ = true;
  ++good_;
  if (good_ > fmt_.max_lines && fmt_.max_lines < T30_NO_LINE_LIMIT) status_ = t30_rx_status::too_many_lines;
}

void t30_rx_page_check::error_line(u32 line_bits) {
  // The line after this one cannot be read against it: what follows is
  // announced as one-dimensional.
  if (mr_ && eol_pending_) out_.back() = 0x03;
  if (mr_ && decoder_expects_2d_) {
    decoder_needs_1d_ = true;
    decoder_expects_2d_ = false;
  }
  switch (held_state_) {
    case 0: ++held_count_; break;
    case 1:
      if (line_bits > kHeldLineBits) {
        count_bad(1);
      } else {
        held_state_ = 2;
        held_count_ = 1;
      }
      break;
    case 2:
      if (line_bits > kHeldLineBits) {
        count_bad(2);
        held_state_ = 1;
        held_count_ = 0;
      } else {
        held_state_ = 3;  // the end-of-page sequence
        held_count_ = 0;
      }
      break;
    default: break;
  }
}

void t30_rx_page_check::write_eol(u8 tag_octet) {
  out_.push_back(0x00);
  out_.push_back(tag_octet);
  eol_pending_ = true;
}

void t30_rx_page_check::end_of_data() {
  if (finished()) return;
  ended_ = true;
  if (good_ > 0 && !mmr_) {
    for (int i = 0; i < 5; ++i) {
      out_.push_back(0x00);
      out_.push_back(mr_ ? 0x03 : 0x01);
    }
  }
  eol_pending_ = false;
}

std::vector<u8> t30_rx_page_check::take() {
  std::vector<u8> ready;
  const bool hold = !finished() && eol_pending_ && out_.size() >= 2;
  const size_t n = hold ? out_.size() - 2 : out_.size();
  ready.assign(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(n));
  out_.erase(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(n));
  return ready;
}

// ---------------------------------------------------------------------------
// Page to send.

void t30_tx_page_framer::start(const t30_page_format& format, size_t message_room) {
  fmt_ = format;
  room_ = message_room;
  pending_.clear();
  pending_bit0_ = 0;
  pending_bits_ = 0;
  zeros_ = 0;
  seen_eol_ = false;
  lines_ = 0;
  copies_ = 0;
  done_ = false;
  msg_.clear();
}

void t30_tx_page_framer::flush(std::vector<t30_tx_message>& out, bool last) {
  if (msg_.empty() && !last) return;
  out.push_back({std::move(msg_), last});
  msg_.clear();
}

void t30_tx_page_framer::write_copy(std::vector<t30_tx_message>& out, const std::vector<u8>& line, u32 bits,
                                    u32 first_bit) {
  std::vector<u8> copy;
  bit_writer w(copy);
  // 0x00, then the EOL's 1 placed so that the line keeps the bit position
  // within its octet that it had in the user's data (11 to 18 zeros).
  const u32 zeros = 11 + ((first_bit % 8) + 7 - 11 % 8 + 8) % 8;
  w.zeros(zeros);
  w.bit(true);
  const u32 at = w.bits();
  copy.resize((at + bits + 7) / 8, 0);
  fax_bit__field_copy(cursor_at(copy.data(), at, bits), cursor_at(line.data(), first_bit % 8, bits), bits);
  const size_t min_size = fmt_.min_octets == 255 ? 257u : fmt_.min_octets + 2u;
  if (copy.size() < min_size) copy.resize(min_size, 0);
  if (!msg_.empty() && msg_.size() + copy.size() > room_) flush(out, false);
  msg_.insert(msg_.end(), copy.begin(), copy.end());
  ++copies_;
}

std::vector<t30_tx_message> t30_tx_page_framer::feed(std::span<const u8> data, bool page_end) {
  // Bit positions are 32-bit: large data are taken in pieces.
  constexpr size_t kPiece = 1u << 16;
  std::vector<t30_tx_message> out;
  while (data.size() > kPiece && !done_) {
    for (auto& m : feed(data.first(kPiece), false)) out.push_back(std::move(m));
    data = data.subspan(kPiece);
  }
  if (done_) return out;
  pending_.insert(pending_.end(), data.begin(), data.end());
  const u32 end = static_cast<u32>(pending_.size() * 8);
  u32 line_start = pending_bit0_;
  u32 pos = pending_bit0_ + pending_bits_;  // bits already searched
  std::vector<u8> line;
  while (pos < end) {
    u32 eol_zeros = 0;
    const u32 n = t30__find_eol(cursor_at(pending_.data(), pos, end - pos), zeros_, nullptr, &eol_zeros);
    if (n == 0) {
      pos = end;
      if (end - line_start > T30_TX_EOL_SEARCH_LIMIT) {
        // No EOL for too long: these bits are dropped and the next EOL
        // starts the lines again.
        line_start = end;
        seen_eol_ = false;
      }
      break;
    }
    const u32 eol_end = pos + n;
    // The line ends where the run of zeros before the EOL's 1 begins: its
    // trailing zeros come back as the fill before the next EOL.
    const u32 eol_start = eol_end - 1 - eol_zeros;
    if (seen_eol_ && eol_start >= line_start) {
      const u32 bits = eol_start - line_start;
      // Two EOLs in a row (RTC) are no line; nor is a stretch longer than
      // the EOL search covers. An MR line equal to the one above codes as its
      // tag and one V0 code: 2 bits that must not be lost.
      const u32 min_bits = fmt_.coding == T30_CODING_MR ? 2 : 3;
      if (bits >= min_bits && bits <= T30_TX_EOL_SEARCH_LIMIT) {
        ++lines_;
        u32 copies = 1;
        if (fmt_.conversion == t30_line_conversion::twice) copies = 2;
        if (fmt_.conversion == t30_line_conversion::odd_only) copies = (lines_ % 2 == 1) ? 1 : 0;
        if (copies != 0) {
          // The line's bits from the start of its first octet.
          const u32 first_octet = line_start / 8;
          line.assign(pending_.begin() + first_octet, pending_.begin() + (eol_end + 7) / 8);
          for (u32 i = 0; i < copies; ++i) write_copy(out, line, bits, line_start % 8);
        }
      }
    }
    seen_eol_ = true;
    line_start = eol_end;
    pos = eol_end;
  }
  // Keep the octets from the one holding the current line's first bit.
  const u32 keep_from = line_start / 8;
  pending_.erase(pending_.begin(), pending_.begin() + std::min<size_t>(keep_from, pending_.size()));
  pending_bit0_ = line_start - keep_from * 8;
  pending_bits_ = pos - line_start;

  if (page_end) {
    const std::vector<u8> pattern = t30_page__end_pattern(fmt_.coding, true);
    if (!msg_.empty() && msg_.size() + pattern.size() > room_) flush(out, false);
    msg_.insert(msg_.end(), pattern.begin(), pattern.end());
    flush(out, true);
    done_ = true;
  } else {
    flush(out, false);
  }
  return out;
}
