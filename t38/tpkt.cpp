#include "t38/tpkt.h"

#include <algorithm>
#include <cstring>

#include "common/byte_order.h"
#include "t38/ifp.h"
#include "t38/t38_traps.h"

namespace kv::t38 {

bool t38_tpkt__put_header(u8* out, u32 ifp_length) {
  u32 total = ifp_length + T38_TPKT__HEADER_SIZE;
  if (total > 0xFFFF) return false;
  out[0] = T38_TPKT__VERSION;
  out[1] = 0;
  put_be16(out + 2, static_cast<u16>(total));
  return true;
}

u16 t38_tpkt__encode(t38_ifp_packet& pck, chain_pool& pool) {
  u16 trap = encode_ifp_packet(pck, T38_TPKT__HEADER_SIZE, pool);
  if (trap != T38__TRAP__NONE) return trap;
  u8* frame = const_cast<u8*>(pck.encoded.first) - T38_TPKT__HEADER_SIZE;
  if (!t38_tpkt__put_header(frame, pck.encoded.length)) {
    pool.release(pck.encoded.chain);
    pck.encoded = byte_ref{};
    return T38__TRAP__IFP_PCK__ERR_COD_IFP_PCK;
  }
  pck.encoded.first = frame;
  pck.encoded.length += T38_TPKT__HEADER_SIZE;
  return T38__TRAP__NONE;
}

t38_tpkt_reassembler::t38_tpkt_reassembler(chain_pool& pool, u32 max_frame)
    : pool_(pool), max_frame_(std::min<u32>(std::max<u32>(max_frame, T38_TPKT__HEADER_SIZE), 0xFFFF)) {}

t38_tpkt_reassembler::~t38_tpkt_reassembler() { reset(); }

void t38_tpkt_reassembler::reset() {
  pool_.release(frame_first_);
  frame_first_ = frame_last_ = nullptr;
  state_ = state::header;
  header_count_ = 0;
  missing_ = 0;
  frame_length_ = 0;
  in_sync_ = true;
}

bool t38_tpkt_reassembler::header_sound() const {
  u32 length = get_be16(header_ + 2);
  return header_[0] == T38_TPKT__VERSION && length >= T38_TPKT__HEADER_SIZE && length <= max_frame_;
}

void t38_tpkt_reassembler::take_byte(u8 b, feed_result& r, const frame_sink& sink) {
  header_[header_count_++] = b;
  if (header_count_ < T38_TPKT__HEADER_SIZE) return;
  if (!header_sound()) {
    if (in_sync_) {
      in_sync_ = false;
      r.result = 3;
      r.trap = T38__TRAP__IFP_PCK__BAD_LEN_TPKT;
    }
    // Slide: drop the first byte and look again at the next one.
    std::memmove(header_, header_ + 1, T38_TPKT__HEADER_SIZE - 1);
    header_count_ = T38_TPKT__HEADER_SIZE - 1;
    ++r.bytes_skipped;
    return;
  }
  in_sync_ = true;
  header_count_ = 0;
  u32 length = get_be16(header_ + 2);
  if (length == T38_TPKT__HEADER_SIZE) {
    ++r.empty_frames;
    return;
  }
  missing_ = length - T38_TPKT__HEADER_SIZE;
  frame_length_ = 0;
  state_ = state::payload;
  (void)sink;
}

void t38_tpkt_reassembler::take_payload(const u8* p, u32 n, feed_result& r, const frame_sink& sink) {
  if (state_ == state::payload) {
    u32 done = 0;
    while (done < n) {
      u16 used = frame_last_ == nullptr ? pool_.capacity() : pool_.size(frame_last_);
      if (used >= pool_.capacity()) {
        chain_buf b = pool_.alloc();
        if (b == nullptr) {
          // No buffer: the frame is lost, its remaining bytes are skipped.
          pool_.release(frame_first_);
          frame_first_ = frame_last_ = nullptr;
          ++r.payloads_dropped;
          r.result = 3;
          r.trap = T38__TRAP__IFP_PCK__NO_MORE_BUFFER;
          state_ = state::discard;
          missing_ -= done;
          break;
        }
        if (frame_last_ == nullptr) frame_first_ = b;
        else pool_.set_next(frame_last_, b);
        frame_last_ = b;
        used = 0;
      }
      u32 take = std::min<u32>(n - done, pool_.capacity() - used);
      std::memcpy(pool_.data(frame_last_) + used, p + done, take);
      pool_.set_size(frame_last_, static_cast<u16>(used + take));
      done += take;
    }
    if (state_ == state::payload) {
      missing_ -= n;
      frame_length_ += n;
      if (missing_ == 0) {
        byte_ref payload{pool_.data(frame_first_), frame_length_, frame_first_};
        frame_first_ = frame_last_ = nullptr;
        state_ = state::header;
        ++r.frames;
        sink(payload);
      }
      return;
    }
    n -= done;
  }
  // discard
  missing_ -= std::min(missing_, n);
  if (missing_ == 0) state_ = state::header;
}

t38_tpkt_reassembler::feed_result t38_tpkt_reassembler::feed(const byte_ref& data, chain_pool* in_pool,
                                                             const frame_sink& sink) {
  feed_result r;
  chain_buf b = data.chain;
  const u8* p = data.first;
  u32 left = data.length;
  while (left > 0) {
    const u8* begin = p;
    u32 avail = left;
    if (b != nullptr) {
      if (in_pool == nullptr) break;
      const u8* d = in_pool->data(b);
      const u8* e = d + in_pool->size(b);
      if (begin == nullptr || begin < d || begin > e) begin = d;
      avail = std::min<u32>(static_cast<u32>(e - begin), left);
    } else if (begin == nullptr) {
      break;
    }
    u32 i = 0;
    while (i < avail) {
      if (state_ == state::header) {
        take_byte(begin[i], r, sink);
        ++i;
      } else {
        u32 take = std::min(avail - i, missing_);
        take_payload(begin + i, take, r, sink);
        i += take;
      }
    }
    left -= avail;
    if (b == nullptr) break;
    b = in_pool->next(b);
    p = nullptr;
    if (b == nullptr) break;
  }
  return r;
}

}  // namespace kv::t38
