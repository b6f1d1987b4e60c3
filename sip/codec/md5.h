// MD5 message digest (RFC 1321), used for digest authentication and for
// making tag and branch texts.
#pragma once

#include <cstdint>

struct md5_ctx {
  std::uint32_t state[4];   // A, B, C, D
  std::uint32_t count[2];   // number of bits, modulo 2^64, low word first
  std::uint8_t buffer[64];  // input not yet transformed
};

void md5_init(md5_ctx* ctx);
void md5_update(md5_ctx* ctx, const void* data, std::uint32_t len);
// Writes the 16-byte digest and wipes the context.
void md5_final(std::uint8_t digest[16], md5_ctx* ctx);
