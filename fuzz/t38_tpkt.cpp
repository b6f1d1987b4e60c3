// Fuzzes the TPKT reassembler.  Input: byte 0 = mode (bit 0) and split seed,
// byte 1 = maximum frame length / 8, then the stream.
//   Mode 0: the rest is a raw byte stream.  It is fed in pieces of sizes
//   drawn from the seed (flat areas or chains, also starting inside a chain's
//   first buffer), and the payloads, counters and final state must equal
//   those of a plain reading of the whole stream by the framing rules.
//   Mode 1: the rest is a list of payloads (one length byte, then that many
//   bytes); they are framed, the stream is split the same way, and exactly
//   those payloads (empty ones skipped) must come out, in order.
// Each payload is also decoded as IFP, which must free what it took.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "t38/ifp.h"
#include "t38/tpkt.h"

using namespace kv::t38;

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

using bytes = std::vector<uint8_t>;

struct outcome {
  std::vector<bytes> payloads;
  uint32_t empty_frames = 0;
  uint32_t bytes_skipped = 0;
  bool in_sync = true;
  bool mid_frame = false;
};

// The framing rules read off the whole stream at once: a header is sound
// when its version is 3 and its length lies in [4, max_frame]; an unsound
// one loses a byte and is looked at again.
outcome model(const bytes& s, uint32_t max_frame) {
  outcome o;
  std::size_t pos = 0;
  bytes window;
  while (pos < s.size()) {
    window.push_back(s[pos++]);
    if (window.size() < T38_TPKT__HEADER_SIZE) continue;
    const uint32_t length = uint32_t{window[2]} << 8 | window[3];
    if (window[0] != T38_TPKT__VERSION || length < T38_TPKT__HEADER_SIZE || length > max_frame) {
      o.in_sync = false;
      ++o.bytes_skipped;
      window.erase(window.begin());
      continue;
    }
    o.in_sync = true;
    window.clear();
    if (length == T38_TPKT__HEADER_SIZE) {
      ++o.empty_frames;
      continue;
    }
    const std::size_t want = length - T38_TPKT__HEADER_SIZE;
    if (s.size() - pos < want) {
      o.mid_frame = true;
      return o;
    }
    o.payloads.emplace_back(s.begin() + static_cast<std::ptrdiff_t>(pos),
                            s.begin() + static_cast<std::ptrdiff_t>(pos + want));
    pos += want;
  }
  o.mid_frame = !window.empty();
  return o;
}

struct splitter {
  uint32_t state;
  uint32_t largest;
  uint32_t next() {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return 1 + state % largest;
  }
};

// Feeds `s` in pieces and collects what comes out.
outcome feed_split(const bytes& s, uint32_t max_frame, splitter split, bool check_ifp) {
  heap_chain_pool pool(32, 400);  // the reassembler's buffers: room for any frame
  heap_chain_pool in_pool(7);     // the pieces given as chains
  heap_chain_pool ifp_pool(32, 400);
  heap_field_pool fields(300);
  outcome o;
  {
    t38_tpkt_reassembler rx(pool, max_frame);
    auto sink = [&](const byte_ref& payload) {
      check(payload.chain != nullptr && payload.length + T38_TPKT__HEADER_SIZE <= max_frame);
      bytes got(payload.length);
      check(copy_bytes(&pool, payload, got.data(), got.size()) == got.size());
      pool.release(payload.chain);
      if (check_ifp) {
        t38_ifp_packet pck;
        pck.encoded = byte_ref{got.data(), static_cast<uint32_t>(got.size()), nullptr};
        t38_ifp_decode_env env{&ifp_pool, &fields, true};
        if (decode_ifp_packet(T38_IFP__DECODE_RELEASE, env, pck) == 0) t38_ifp__free_data_fields(fields, pck.fields);
      }
      o.payloads.push_back(std::move(got));
    };
    uint32_t frames = 0;
    for (std::size_t at = 0; at < s.size();) {
      const std::size_t n = std::min<std::size_t>(split.next(), s.size() - at);
      byte_ref piece{s.data() + at, static_cast<uint32_t>(n), nullptr};
      chain_buf chain = nullptr;
      const uint32_t how = split.state % 3;
      if (how != 0) {
        // As a chain; the second way puts one unused byte in front.
        bytes staged;
        if (how == 2) staged.push_back(0xA5);
        staged.insert(staged.end(), s.begin() + static_cast<std::ptrdiff_t>(at),
                      s.begin() + static_cast<std::ptrdiff_t>(at + n));
        chain = store_in_chain(in_pool, staged.data(), staged.size());
        check(chain != nullptr);
        piece = byte_ref{in_pool.data(chain) + (how == 2 ? 1 : 0), static_cast<uint32_t>(n), chain};
      }
      const auto r = rx.feed(piece, chain ? &in_pool : nullptr, sink);
      in_pool.release(chain);
      check(r.payloads_dropped == 0);
      check((r.result == 2) == (r.trap == 0));
      frames += r.frames;
      o.empty_frames += r.empty_frames;
      o.bytes_skipped += r.bytes_skipped;
      at += n;
    }
    check(frames == o.payloads.size());
    o.in_sync = rx.in_sync();
    o.mid_frame = rx.mid_frame();
  }
  check(pool.live() == 0 && in_pool.live() == 0 && ifp_pool.live() == 0 && fields.live() == 0);
  return o;
}

bool same(const outcome& a, const outcome& b) {
  return a.payloads == b.payloads && a.empty_frames == b.empty_frames && a.bytes_skipped == b.bytes_skipped &&
         a.in_sync == b.in_sync && a.mid_frame == b.mid_frame;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || size > 20000) return 0;
  const bool framed = (data[0] & 1) != 0;
  const uint32_t max_frame = 4 + data[1] * 8u;
  // Pieces of at most 1, 3, 7 ... 127 bytes, or of up to a whole frame and more.
  const uint32_t largest = (data[0] >> 1 & 7) == 7 ? max_frame + 8 : (2u << (data[0] >> 1 & 7)) - 1;
  splitter split{0x9E3779B9u ^ (uint32_t{data[0]} << 8 | data[1]) ^ static_cast<uint32_t>(size), largest};
  data += 2;
  size -= 2;
  bytes stream;
  outcome want;
  if (!framed) {
    stream.assign(data, data + size);
    want = model(stream, max_frame);
  } else {
    for (std::size_t at = 0; at < size;) {
      const std::size_t n =
          std::min<std::size_t>({std::size_t{data[at]}, size - at - 1, std::size_t{max_frame} - T38_TPKT__HEADER_SIZE});
      const uint8_t header[T38_TPKT__HEADER_SIZE] = {T38_TPKT__VERSION, 0, static_cast<uint8_t>((n + 4) >> 8),
                                                     static_cast<uint8_t>(n + 4)};
      stream.insert(stream.end(), header, header + T38_TPKT__HEADER_SIZE);
      stream.insert(stream.end(), data + at + 1, data + at + 1 + n);
      if (n == 0) ++want.empty_frames;
      else want.payloads.emplace_back(data + at + 1, data + at + 1 + n);
      at += 1 + n;
    }
    check(same(want, model(stream, max_frame)));
  }
  check(same(feed_split(stream, max_frame, split, true), want));
  // One byte at a time gives the same again.
  check(same(feed_split(stream, max_frame, splitter{1, 1}, false), want));
  return 0;
}
