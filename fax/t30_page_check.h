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

// Line limits by length code (call defaults): A4 1258, B4 1540, unlimited
// 16383.
inline constexpr uint16_t T30_LINE_LIMITS[8] = {0, 1258, 1540, 0, 16383, 0, 0, 0};
inline constexpr uint16_t T30_NO_LINE_LIMIT = 32767;
inline constexpr size_t T30_RX_LINE_BUFFER = 16420;         // octets of one received line
inline constexpr uint32_t T30_TX_EOL_SEARCH_LIMIT = 65744;  // bits searched for an EOL

enum class t30_line_conversion : uint8_t {
  once = 0,      // every line once
  twice = 1,     // normal-resolution document over a fine call: every line twice
  odd_only = 2,  // fine document over a normal call: lines 1, 3, 5 ...
};

// Format of a page, set when the page starts.
struct t30_page_format {
  uint8_t coding = T30_CODING_MH;  // capability coding bit (MH, MR, MMR, T.85)
  uint32_t width = 1728;           // pels per line
  uint16_t max_lines = T30_NO_LINE_LIMIT;
  uint32_t max_line_bits = 0;
  // Sending side.
  uint8_t min_octets = 0;  // 255: the scan code has no entry
  t30_line_conversion conversion = t30_line_conversion::once;
};

// Page limits from the negotiated record, the user's selection and the
// modulation of the page data.
t30_page_format t30_page__format(const t30_capability& negotiated, const t30_selection& selection,
                                 uint16_t page_modulation);

// Minimum octets per line by scan code and speed (255 for the paired codes).
uint8_t t30_page__min_octets(uint8_t scan_code, uint16_t modulation);

// The end-of-page pattern written after the last line of a page sent: MH six
// EOLs, MR two zero bits and six EOL+1, each followed by 64 zero bits unless
// `with_zero_tail` is false (ECM); nothing for MMR and T.85.
std::vector<uint8_t> t30_page__end_pattern(uint8_t coding, bool with_zero_tail);

// Post-message response chosen from the counts of a received page.
enum class t30_page_response : uint8_t { mcf = 0, rtp = 1, rtn = 2, empty = 3 };
t30_page_response t30_page__decide(uint32_t lines, uint32_t bad_lines, uint32_t longest_run);

// Status of a received-page check.
enum class t30_rx_status : uint8_t { ok = 0, too_many_lines = 1, too_many_bits = 2 };

// What the engine does at the end of a received page (outside ECM).
struct t30_page_end {
  enum action_kind : uint8_t {
    respond,     // send `response` once the post-message command is there
    stop,        // stop the channel with `cause`
    wait_again,  // empty page: wait for the command again
  };
  action_kind action = respond;
  t30_page_response response = t30_page_response::mcf;
  uint16_t cause = 0;
};
// `empty_pages` is the channel's count of empty pages, raised here.
t30_page_end t30_page__end(t30_rx_status status, uint32_t good_lines, uint32_t bad_lines, uint32_t longest_run,
                           uint32_t& empty_pages);

// EOL search over the bits left at a cursor. `zeros` carries the run of 0
// bits at the end of the previous data into the next call. Returns the
// number of bits up to and including the EOL's 1 bit, or 0 when the data
// ended first. `saw_one` (when given) is set when a 1 bit that is not an
// EOL's lay before the EOL; `eol_zeros` (when given) receives the length of
// the run of 0 bits that the EOL's 1 ends (fill included, and the zeros
// carried from earlier data).
uint32_t t30__find_eol(const fax_bit_cursor& cur, uint32_t& zeros, bool* saw_one = nullptr,
                       uint32_t* eol_zeros = nullptr);

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
  void feed(std::span<const uint8_t> data);
  // The modem layer ended the page data.
  void end_of_data();

  // Octets to pass up so far. Until the page data end, the EOL written after
  // the last good line is kept back (its tag may still change).
  std::vector<uint8_t> take();

  t30_rx_status status() const { return status_; }
  bool finished() const { return ended_ || status_ != t30_rx_status::ok; }
  uint32_t good_lines() const { return good_; }
  uint32_t bad_lines() const { return bad_; }
  uint32_t longest_run() const { return longest_run_; }
  // The response for the page (valid once finished).
  t30_page_response response() const { return t30_page__decide(good_ + bad_, bad_, longest_run_); }

 private:
  // Runs the decoder over `data`; returns the lines it ended: 1 good, 0 error.
  std::vector<uint8_t> run_decoder(std::span<const uint8_t> data);
  void add_line_bits(const fax_bit_cursor& src, uint32_t n);
  void complete_line();
  void good_line(const std::vector<uint8_t>& octets);
  void error_line(uint32_t line_bits);
  void write_eol(uint8_t tag_octet);
  void count_bad(uint32_t n);

  t30_page_format fmt_{};
  bool mr_ = false;
  bool mmr_ = false;
  t4t6_decoder* decoder_ = nullptr;
  bool decoder_expects_2d_ = false;  // MR: the last EOL the decoder read had tag 0
  bool decoder_needs_1d_ = false;    // MR: what goes up now announces a 1-D line
  std::vector<uint8_t> candidate_;   // the line being judged, in octet form

  // Current line.
  std::vector<uint8_t> line_;  // its bits, as received, from bit 0
  uint32_t line_bits_ = 0;     // bits of the current line so far
  bool line_overflow_ = false;
  bool line_has_code_ = false;
  bool need_tag_ = false;
  uint8_t next_tag_ = 1;
  uint32_t zeros_ = 0;

  // Counters.
  uint32_t good_ = 0;
  uint32_t bad_ = 0;
  uint32_t run_ = 0;
  uint32_t longest_run_ = 0;
  uint8_t held_state_ = 0;
  uint32_t held_count_ = 0;
  t30_rx_status status_ = t30_rx_status::ok;
  bool ended_ = false;

  // Output.
  std::vector<uint8_t> out_;
  bool eol_pending_ = false;  // out_ ends with the EOL after the last good line
};

// One message of page data towards the modem layer.
struct t30_tx_message {
  std::vector<uint8_t> data;
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
  std::vector<t30_tx_message> feed(std::span<const uint8_t> data, bool page_end);

  uint32_t lines_found() const { return lines_; }
  uint32_t copies_written() const { return copies_; }

 private:
  void write_copy(std::vector<t30_tx_message>& out, const std::vector<uint8_t>& line, uint32_t bits,
                  uint32_t first_bit);
  void flush(std::vector<t30_tx_message>& out, bool last);

  t30_page_format fmt_{};
  size_t room_ = 1588;
  std::vector<uint8_t> pending_;  // user bits not yet cut into lines
  uint32_t pending_bit0_ = 0;     // bit offset of pending_'s first bit (0..7)
  uint32_t pending_bits_ = 0;
  uint32_t zeros_ = 0;
  bool seen_eol_ = false;
  uint32_t lines_ = 0;
  uint32_t copies_ = 0;
  bool done_ = false;
  std::vector<uint8_t> msg_;
};
