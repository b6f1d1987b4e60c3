// Page data outside error-correction mode: the page limits taken from the
// negotiated capabilities, the received-page line check with its MCF / RTP /
// RTN decision, and the re-framing of the lines of a page to send.
//
// Page data are handled in the codec's bit order (first bit = most
// significant bit of an octet); the page-data path reverses every octet
// towards and from the modem layer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "fax/fax_bit.h"
#include "fax/t30_capability.h"
#include "fax/t30_cause.h"
#include "fax/t4t6.h"
#include "platform/int_types.h"

// Line limits by length code (call defaults): A4 1258, B4 1540, unlimited
// 16383.
inline constexpr u16 T30_LINE_LIMITS[8] = {0, 1258, 1540, 0, 16383, 0, 0, 0};
inline constexpr u16 T30_NO_LINE_LIMIT = 32767;
inline constexpr size_t T30_RX_LINE_BUFFER = 16420;    // octets of one received line
inline constexpr u32 T30_TX_EOL_SEARCH_LIMIT = 65744;  // bits searched for an EOL

enum class t30_line_conversion : u8 {
  once = 0,      // every line once
  twice = 1,     // normal-resolution document over a fine call: every line twice
  odd_only = 2,  // fine document over a normal call: lines 1, 3, 5 ...
};

// Format of a page, set when the page starts.
struct t30_page_format {
  u8 coding = T30_CODING_MH;  // capability coding bit (MH, MR, MMR, T.85)
  u32 width = 1728;           // pels per line
  u16 max_lines = T30_NO_LINE_LIMIT;
  u32 max_line_bits = 0;
  // Sending side.
  u8 min_octets = 0;  // 255: the scan code has no entry
  t30_line_conversion conversion = t30_line_conversion::once;
};

// Page limits from the negotiated record, the user's selection and the
// modulation of the page data.
t30_page_format t30_page__format(const t30_capability& negotiated, const t30_selection& selection, u16 page_modulation);

// Minimum octets per line by scan code and speed (255 for the paired codes).
u8 t30_page__min_octets(u8 scan_code, u16 modulation);

// The end-of-page pattern written after the last line of a page sent: MH six
// EOLs, MR two zero bits and six EOL+1, each followed by 64 zero bits unless
// `with_zero_tail` is false (ECM); nothing for MMR and T.85.
std::vector<u8> t30_page__end_pattern(u8 coding, bool with_zero_tail);

// Post-message response chosen from the counts of a received page.
enum class t30_page_response : u8 { mcf = 0, rtp = 1, rtn = 2, empty = 3 };
t30_page_response t30_page__decide(u32 lines, u32 bad_lines, u32 longest_run);

// Status of a received-page check.
enum class t30_rx_status : u8 { ok = 0, too_many_lines = 1, too_many_bits = 2 };

// What the engine does at the end of a received page (outside ECM).
struct t30_page_end {
  enum action_kind : u8 {
    respond,     // send `response` once the post-message command is there
    stop,        // stop the channel with `cause`
    wait_again,  // empty page: wait for the command again
  };
  action_kind action = respond;
  t30_page_response response = t30_page_response::mcf;
  u16 cause = 0;
};
// `empty_pages` is the channel's count of empty pages, raised here.
t30_page_end t30_page__end(t30_rx_status status, u32 good_lines, u32 bad_lines, u32 longest_run, u32& empty_pages);

// EOL search over the bits left at a cursor. `zeros` carries the run of 0
// bits at the end of the previous data into the next call. Returns the
// number of bits up to and including the EOL's 1 bit, or 0 when the data
// ended first. `saw_one` (when given) is set when a 1 bit that is not an
// EOL's lay before the EOL; `eol_zeros` (when given) receives the length of
// the run of 0 bits that the EOL's 1 ends (fill included, and the zeros
// carried from earlier data).
u32 t30__find_eol(const fax_bit_cursor& cur, u32& zeros, bool* saw_one = nullptr, u32* eol_zeros = nullptr);

// Line check of one received page: cuts the data into lines at the EOLs,
// decodes every line, drops the erroneous ones, keeps the good ones in octet
// form for the user and counts what the post-message response is chosen
// from. The decoder reads each line in the octet form that goes up, so what
// goes up decodes as it was judged.
class t30_rx_page_check {
 public:
  t30_rx_page_check() = default;
  ~t30_rx_page_check();
  t30_rx_page_check(const t30_rx_page_check&) = delete;
  t30_rx_page_check& operator=(const t30_rx_page_check&) = delete;

  // Page start; false when the line decoder could not be opened.
  bool start(const t30_page_format& format);
  // Received page data.
  void feed(std::span<const u8> data);
  // The modem layer ended the page data.
  void end_of_data();

  // Octets to pass up so far. Until the page data end, the EOL written after
  // the last good line is kept back (its tag may still change).
  std::vector<u8> take();

  t30_rx_status status() const { return status_; }
  bool finished() const { return ended_ || status_ != t30_rx_status::ok; }
  u32 good_lines() const { return good_; }
  u32 bad_lines() const { return bad_; }
  u32 longest_run() const { return longest_run_; }
  // The response for the page (valid once finished).
  t30_page_response response() const { return t30_page__decide(good_ + bad_, bad_, longest_run_); }

 private:
  // Runs the decoder over `data`; returns the lines it ended: 1 good, 0 error.
  std::vector<u8> run_decoder(std::span<const u8> data);
  void add_line_bits(const fax_bit_cursor& src, u32 n);
  void complete_line();
  void good_line(const std::vector<u8>& octets);
  void error_line(u32 line_bits);
  void write_eol(u8 tag_octet);
  void count_bad(u32 n);

  t30_page_format fmt_{};
  bool mr_ = false;
  bool mmr_ = false;
  t4t6_decoder* decoder_ = nullptr;
  bool decoder_expects_2d_ = false;  // MR: the last EOL the decoder read had tag 0
  bool decoder_needs_1d_ = false;    // MR: what goes up now announces a 1-D line
  std::vector<u8> candidate_;        // the line being judged, in octet form

  // Current line.
  std::vector<u8> line_;  // its bits, as received, from bit 0
  u32 line_bits_ = 0;     // bits of the current line so far
  bool line_overflow_ = false;
  bool line_has_code_ = false;
  bool need_tag_ = false;
  u8 next_tag_ = 1;
  u32 zeros_ = 0;

  // Counters.
  u32 good_ = 0;
  u32 bad_ = 0;
  u32 run_ = 0;
  u32 longest_run_ = 0;
  u8 held_state_ = 0;
  u32 held_count_ = 0;
  t30_rx_status status_ = t30_rx_status::ok;
  bool ended_ = false;

  // Output.
  std::vector<u8> out_;
  bool eol_pending_ = false;  // out_ ends with the EOL after the last good line
};

// One message of page data towards the modem layer.
struct t30_tx_message {
  std::vector<u8> data;
  bool last = false;  // the message that ends the page
};

// Re-framing of the lines of a page to send: each line found between EOLs is
// written with an octet-aligned EOL and the fill that the minimum scan-line
// time asks for, once, twice or not at all by the resolution conversion.
class t30_tx_page_framer {
 public:
  // `message_room`: octets of one message (runtime buffer less its header).
  void start(const t30_page_format& format, size_t message_room = 1600 - 12);
  // The user's page data; `page_end` is set with the last data of the page.
  std::vector<t30_tx_message> feed(std::span<const u8> data, bool page_end);

  u32 lines_found() const { return lines_; }
  u32 copies_written() const { return copies_; }

 private:
  void write_copy(std::vector<t30_tx_message>& out, const std::vector<u8>& line, u32 bits, u32 first_bit);
  void flush(std::vector<t30_tx_message>& out, bool last);

  t30_page_format fmt_{};
  size_t room_ = 1588;
  std::vector<u8> pending_;  // user bits not yet cut into lines
  u32 pending_bit0_ = 0;     // bit offset of pending_'s first bit (0..7)
  u32 pending_bits_ = 0;
  u32 zeros_ = 0;
  bool seen_eol_ = false;
  u32 lines_ = 0;
  u32 copies_ = 0;
  bool done_ = false;
  std::vector<u8> msg_;
};
