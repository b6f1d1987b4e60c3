// TPKT framing of IFP packets over TCP (RFC 1006): version 3, reserved 0,
// big-endian length of the whole frame including these four bytes.
#pragma once

#include <cstdint>
#include <functional>

#include "t38/byte_chain.h"
#include "platform/int_types.h"

namespace kv::t38 {

struct t38_ifp_packet;

inline constexpr u8 T38_TPKT__VERSION = 3;
inline constexpr u16 T38_TPKT__HEADER_SIZE = 4;
// The largest IFP packet a TCP session takes (50000) and its header.
inline constexpr u32 T38_TPKT__DEFAULT_MAX_FRAME = 50000 + T38_TPKT__HEADER_SIZE;

// Writes the four header bytes for an IFP packet of `ifp_length` bytes;
// false when the frame would not fit the 16-bit length.
[[nodiscard]] bool t38_tpkt__put_header(u8* out, u32 ifp_length);

// Encodes the packet with room for the header in front and writes the
// header: pck.encoded then covers header and packet.  0 or a trap code.
[[nodiscard]] u16 t38_tpkt__encode(t38_ifp_packet& pck, chain_pool& pool);

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
    u8 result = 2;             // 2, or 3 when a trap is reported
    u16 trap = 0;              // 12146 bad header, 12094 no buffer
    u32 frames = 0;            // payloads handed to the sink
    u32 empty_frames = 0;      // length-4 frames skipped
    u32 bytes_skipped = 0;     // dropped while hunting for a header
    u32 payloads_dropped = 0;  // frames lost for want of buffers
  };

  explicit t38_tpkt_reassembler(chain_pool& pool, u32 max_frame = T38_TPKT__DEFAULT_MAX_FRAME);
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
  enum class state : u8 { header, payload, discard };
  void take_byte(u8 b, feed_result& r, const frame_sink& sink);
  void take_payload(const u8* p, u32 n, feed_result& r, const frame_sink& sink);
  bool header_sound() const;

  chain_pool& pool_;
  u32 max_frame_;
  state state_ = state::header;
  u8 header_[T38_TPKT__HEADER_SIZE] = {};
  u8 header_count_ = 0;
  bool in_sync_ = true;
  u32 missing_ = 0;
  u32 frame_length_ = 0;
  chain_buf frame_first_ = nullptr;
  chain_buf frame_last_ = nullptr;
};

}  // namespace kv::t38
