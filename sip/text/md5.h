// MD5 message digest (RFC 1321), used for digest authentication and for
// making tag and branch texts.
#pragma once

#include <cstdint>

#include "platform/int_types.h"

struct md5_ctx {
  u32 state[4];   // A, B, C, D
  u32 count[2];   // number of bits, modulo 2^64, low word first
  u8 buffer[64];  // input not yet transformed
};

void md5_init(md5_ctx* ctx);
void md5_update(md5_ctx* ctx, const void* data, u32 len);
// Writes the 16-byte digest and wipes the context.
void md5_final(u8 digest[16], md5_ctx* ctx);
