#include "sip/text/md5.h"

#include <cstring>

#include "common/byte_order.h"

namespace {

constexpr u8 md5_pad[64] = {0x80};

// Shift amounts per round and step.
constexpr unsigned md5_shift[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

// T[i] = floor(2^32 * |sin(i + 1)|).
constexpr u32 md5_sine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

inline u32 rotl(u32 x, unsigned n) { return (x << n) | (x >> (32 - n)); }

void md5_transform(u32 state[4], const u8 block[64]) {
  u32 x[16];
  for (int i = 0; i < 16; ++i) x[i] = get_le32(block + 4 * i);
  u32 a = state[0], b = state[1], c = state[2], d = state[3];
  for (unsigned i = 0; i < 64; ++i) {
    unsigned round = i / 16;
    u32 f;
    unsigned k;
    switch (round) {
      case 0:
        f = (b & c) | (~b & d);
        k = i;
        break;
      case 1:
        f = (b & d) | (c & ~d);
        k = (5 * i + 1) & 15;
        break;
      case 2:
        f = b ^ c ^ d;
        k = (3 * i + 5) & 15;
        break;
      default:
        f = c ^ (b | ~d);
        k = (7 * i) & 15;
        break;
    }
    u32 t = a + f + x[k] + md5_sine[i];
    a = d;
    d = c;
    c = b;
    b = b + rotl(t, md5_shift[round][i & 3]);
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

}  // namespace

void md5_init(md5_ctx* ctx) {
  ctx->count[0] = ctx->count[1] = 0;
  ctx->state[0] = 0x67452301;
  ctx->state[1] = 0xEFCDAB89;
  ctx->state[2] = 0x98BADCFE;
  ctx->state[3] = 0x10325476;
}

void md5_update(md5_ctx* ctx, const void* data, u32 len) {
  const auto* in = static_cast<const u8*>(data);
  u32 index = (ctx->count[0] >> 3) & 0x3F;
  u32 bits_low = len << 3;
  ctx->count[0] += bits_low;
  if (ctx->count[0] < bits_low) ++ctx->count[1];
  ctx->count[1] += len >> 29;

  u32 part = 64 - index;
  u32 i = 0;
  if (len >= part) {
    std::memcpy(ctx->buffer + index, in, part);
    md5_transform(ctx->state, ctx->buffer);
    for (i = part; i + 63 < len; i += 64) md5_transform(ctx->state, in + i);
    index = 0;
  }
  if (len > i) std::memcpy(ctx->buffer + index, in + i, len - i);
}

void md5_final(u8 digest[16], md5_ctx* ctx) {
  u8 bits[8];
  put_le32(bits, ctx->count[0]);
  put_le32(bits + 4, ctx->count[1]);
  u32 index = (ctx->count[0] >> 3) & 0x3F;
  u32 pad_len = index < 56 ? 56 - index : 120 - index;
  md5_update(ctx, md5_pad, pad_len);
  md5_update(ctx, bits, 8);
  for (int i = 0; i < 4; ++i) put_le32(digest + 4 * i, ctx->state[i]);
  std::memset(ctx, 0, sizeof *ctx);
}
