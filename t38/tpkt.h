// TPKT framing of IFP packets over TCP (RFC 1006): version 3, reserved 0,
// big-endian length of the whole frame including these four bytes.
#pragma once

#include <cstdint>
#include <functional>

#include "t38/byte_chain.h"

namespace kv::t38 {

struct t38_ifp_packet;

inline constexpr uint8_t T38_TPKT__VERSION = 3;
inline constexpr uint16_t T38_TPKT__HEADER_SIZE = 4;
// The largest IFP packet a TCP session takes (50000) and its header.
inline constexpr uint32_t T38_TPKT__DEFAULT_MAX_FRAME = 50000 + T38_TPKT__HEADER_SIZE;

// Writes the four header bytes for an IFP packet of `ifp_length` bytes;
// false when the frame would not fit the 16-bit length.
bool t38_tpkt__put_header(uint8_t* out, uint32_t ifp_length);

// Encodes the packet with room for the header in front and writes the
// header: pck.encoded then covers header and packet.  0 or a trap code.
uint16_t t38_tpkt__encode(t38_ifp_packet& pck, chain_pool& pool);

// Reassembles frames from a TCP byte stream that splits and joins them at
// will.  An impossible header (version not 3, length below 4 or above the
// maximum) makes the stream lose its framing: the reassembler reports it
// once and slides byte by byte until a sound header is found again, so that
// one corrupt frame never wedges the connection.
class t38_tpkt_reassembler {
 public:
  // Receives each whole frame's payload in a chain of the output pool; the
  // sink owns the chain from then on.
  using frame_sink = std::function<void(const byte_ref& payload)>;

  struct feed_result {
    uint8_t result = 2;             // 2, or 3 when a trap is reported
    uint16_t trap = 0;              // 12146 bad header, 12094 no buffer
    uint32_t frames = 0;            // payloads handed to the sink
    uint32_t empty_frames = 0;      // length-4 frames skipped
    uint32_t bytes_skipped = 0;     // dropped while hunting for a header
    uint32_t payloads_dropped = 0;  // frames lost for want of buffers
  };

  explicit t38_tpkt_reassembler(chain_pool& pool, uint32_t max_frame = T38_TPKT__DEFAULT_MAX_FRAME);
  ~t38_tpkt_reassembler();
  t38_tpkt_reassembler(const t38_tpkt_reassembler&) = delete;
  t38_tpkt_reassembler& operator=(const t38_tpkt_reassembler&) = delete;

  // Consumes received bytes (flat, or a chain walked with `in_pool`).
  feed_result feed(const byte_ref& data, chain_pool* in_pool, const frame_sink& sink);
  // Drops a half-read frame (connection closed or reset).
  void reset();
  bool mid_frame() const { return header_count_ != 0 || state_ != state::header; }
  bool in_sync() const { return in_sync_; }

 private:
  enum class state : uint8_t { header, payload, discard };
  void take_byte(uint8_t b, feed_result& r, const frame_sink& sink);
  void take_payload(const uint8_t* p, uint32_t n, feed_result& r, const frame_sink& sink);
  bool header_sound() const;

  chain_pool& pool_;
  uint32_t max_frame_;
  state state_ = state::header;
  uint8_t header_[T38_TPKT__HEADER_SIZE] = {};
  uint8_t header_count_ = 0;
  bool in_sync_ = true;
  uint32_t missing_ = 0;
  uint32_t frame_length_ = 0;
  chain_buf frame_first_ = nullptr;
  chain_buf frame_last_ = nullptr;
};

}  // namespace kv::t38
