#include "t38/asnp.h"

#include <algorithm>
#include <cstring>

namespace kv::t38 {

namespace {

u8 fail(asnp_context& ctx, u8 error) {
  ctx.error = error;
  return ASNP_NOK;
}

// Makes the cursor stand on a byte that can be read.
bool read_ready(asnp_context& ctx) {
  if (ctx.pos < ctx.buf_size) return true;
  return asnp_continue(ASNP_CONT_READ, ctx) == ASNP_MORE;
}

// Makes the cursor stand on a byte that can be written.
bool write_ready(asnp_context& ctx) {
  if (ctx.pos < ctx.buf_size) return true;
  return asnp_continue(ASNP_CONT_WRITE, ctx) == ASNP_MORE;
}

void step_bits(asnp_context& ctx, u8 used) {
  ctx.bits = static_cast<u8>(ctx.bits - used);
  if (ctx.bits == 0) {
    ++ctx.pos;
    ctx.bits = 8;
  }
}

// Fewest octets holding v (at least one).
u8 octets_for(u32 v) {
  u8 n = 1;
  while (n < 4 && (v >> (8 * n)) != 0) ++n;
  return n;
}

u8 put_be(asnp_context& ctx, u32 v, u8 n) {
  for (int i = n - 1; i >= 0; --i) {
    if (asnp_put_bits(ctx, 8, static_cast<u8>(v >> (8 * i))) != ASNP_OK) return ASNP_NOK;
  }
  return ASNP_OK;
}

u8 get_be(asnp_context& ctx, u32* v, u8 n) {
  u32 r = 0;
  for (u8 i = 0; i < n; ++i) {
    u8 b = 0;
    if (asnp_get_bits(ctx, 8, &b) != ASNP_OK) return ASNP_NOK;
    r = (r << 8) | b;
  }
  *v = r;
  return ASNP_OK;
}

// Unconstrained length determinant (no fragmentation).
u8 put_unconstrained_length(asnp_context& ctx, u32 length) {
  asnp_align(ctx);
  if (length < 128) return asnp_put_bits(ctx, 8, static_cast<u8>(length));
  if (length < 16384) {
    if (asnp_put_bits(ctx, 8, static_cast<u8>(0x80 | (length >> 8))) != ASNP_OK) return ASNP_NOK;
    return asnp_put_bits(ctx, 8, static_cast<u8>(length));
  }
  return fail(ctx, ASNP_ERR_UNSUPPORTED);
}

u8 get_unconstrained_length(asnp_context& ctx, u32* length) {
  asnp_align(ctx);
  u8 b = 0;
  if (asnp_get_bits(ctx, 8, &b) != ASNP_OK) return ASNP_NOK;
  if ((b & 0x80) == 0) {
    *length = b;
    return ASNP_OK;
  }
  if ((b & 0xC0) == 0x80) {
    u8 lo = 0;
    if (asnp_get_bits(ctx, 8, &lo) != ASNP_OK) return ASNP_NOK;
    *length = (static_cast<u32>(b & 0x3F) << 8) | lo;
    return ASNP_OK;
  }
  return fail(ctx, ASNP_ERR_UNSUPPORTED);  // fragmented
}

// Unconstrained whole number (two's complement octets) of a value >= 0.
u8 put_unconstrained_number(asnp_context& ctx, u32 value) {
  u8 n = octets_for(value);
  if ((value >> (8 * n - 1)) & 1) ++n;  // room for the sign bit
  if (put_unconstrained_length(ctx, n) != ASNP_OK) return ASNP_NOK;
  if (n == 5 && asnp_put_bits(ctx, 8, 0) != ASNP_OK) return ASNP_NOK;
  return put_be(ctx, value, static_cast<u8>(std::min<int>(n, 4)));
}

u8 get_unconstrained_number(asnp_context& ctx, u32* value) {
  u32 n = 0;
  if (get_unconstrained_length(ctx, &n) != ASNP_OK) return ASNP_NOK;
  if (n == 0 || n > 5) return fail(ctx, ASNP_ERR_UNSUPPORTED);
  u32 lead = 0;
  if (n == 5) {
    if (get_be(ctx, &lead, 1) != ASNP_OK) return ASNP_NOK;
    if (lead != 0) return fail(ctx, ASNP_ERR_UNSUPPORTED);
    n = 4;
  }
  u32 v = 0;
  if (get_be(ctx, &v, static_cast<u8>(n)) != ASNP_OK) return ASNP_NOK;
  if (n < 4 && ((v >> (8 * n - 1)) & 1)) return fail(ctx, ASNP_ERR_UNSUPPORTED);  // negative
  *value = v;
  return ASNP_OK;
}

// Shared by enumerated and choice indexes.
u8 put_index(asnp_context& ctx, u8 kind, bool extended, u32 value, u32 highest_root) {
  if (kind == ASNP_KIND_EXT) {
    if (!extended && value > highest_root) return fail(ctx, ASNP_ERR_OUT_OF_BOUNDS);
    if (asnp_put_bits(ctx, 1, extended ? 1 : 0) != ASNP_OK) return ASNP_NOK;
    if (extended) {
      if (value <= highest_root) return fail(ctx, ASNP_ERR_OUT_OF_BOUNDS);
      return asnp_put_normally_small_number(ctx, value - highest_root - 1);
    }
    return asnp_put_constrained_whole_number(ctx, value, 0, highest_root);
  }
  if (extended) return fail(ctx, ASNP_ERR_UNSUPPORTED);
  return asnp_put_constrained_whole_number(ctx, value, 0, highest_root);
}

u8 get_index(asnp_context& ctx, u8 kind, bool* extended, u32* value, u32 highest_root) {
  bool ext = false;
  if (kind == ASNP_KIND_EXT) {
    u8 bit = 0;
    if (asnp_get_bits(ctx, 1, &bit) != ASNP_OK) return ASNP_NOK;
    ext = bit != 0;
  }
  if (extended != nullptr) *extended = ext;
  if (ext) {
    u32 n = 0;
    if (asnp_get_normally_small_number(ctx, &n) != ASNP_OK) return ASNP_NOK;
    if (n > ASNP_UNBOUNDED - highest_root - 1) return fail(ctx, ASNP_ERR_UNSUPPORTED);
    *value = highest_root + 1 + n;
    return ASNP_OK;
  }
  return asnp_get_constrained_whole_number(ctx, value, 0, highest_root);
}

}  // namespace

// --- context handling ---------------------------------------------------------

u8 asnp_init_encode(asnp_context& ctx, u8* flat, u32 size, u16 headroom, chain_pool* pool, asnp_room_fn room_fn,
                    void* room_arg) {
  ctx = asnp_context{};
  ctx.encoding = true;
  ctx.headroom = headroom;
  ctx.room_fn = room_fn;
  ctx.room_arg = room_arg;
  ctx.pool = pool;
  if (flat != nullptr) {
    ctx.mode = ASNP_MODE_FLAT;
    if (headroom > size) return fail(ctx, ASNP_ERR_NO_ROOM);
    ctx.buf_start = flat + headroom;
    ctx.buf_size = size - headroom;
    return ASNP_OK;
  }
  ctx.mode = ASNP_MODE_CHAIN;
  if (pool == nullptr) return fail(ctx, ASNP_ERR_NO_BUFFER);
  ctx.capacity = pool->capacity();
  if (headroom >= ctx.capacity) return fail(ctx, ASNP_ERR_NO_ROOM);
  // The bit writer clears each byte it starts, so only the header room of
  // the first buffer, which is the caller's, needs clearing; the rest of the
  // data area is never read.
  u8* area = nullptr;
  u16 room = 0;
  chain_buf b = pool->alloc_area(&area, &room);
  if (b == nullptr) return fail(ctx, ASNP_ERR_NO_BUFFER);
  std::memset(area, 0, headroom);
  ctx.first = ctx.current = b;
  ctx.buf_start = area + headroom;
  ctx.buf_size = ctx.capacity - headroom;
  return ASNP_OK;
}

u8 asnp_end_encode(asnp_context& ctx, u8** data, u32* length, chain_buf* first) {
  u32 used = ctx.pos + (ctx.bits != 8 ? 1u : 0u);
  if (ctx.mode == ASNP_MODE_CHAIN) {
    if (ctx.current == nullptr) return fail(ctx, ASNP_ERR_NO_BUFFER);
    u32 front = ctx.current == ctx.first ? ctx.headroom : 0;
    ctx.pool->set_size(ctx.current, static_cast<u16>(front + used));
    if (data != nullptr) *data = ctx.pool->data(ctx.first) + ctx.headroom;
    if (first != nullptr) *first = ctx.first;
    ctx.first = ctx.current = nullptr;  // handed over
  } else {
    if (data != nullptr) *data = ctx.buf_start;  // flat: the area after its headroom
    if (first != nullptr) *first = nullptr;
  }
  if (length != nullptr) *length = ctx.bytes_before + used;
  return ASNP_OK;
}

u8 asnp_init_decode(asnp_context& ctx, const byte_ref& src, chain_pool* pool) {
  ctx = asnp_context{};
  ctx.pool = pool;
  ctx.limit = src.length;
  if (src.chain == nullptr) {
    ctx.mode = ASNP_MODE_FLAT;
    ctx.buf_start = const_cast<u8*>(src.first);
    ctx.buf_size = src.first == nullptr ? 0 : src.length;
    return ASNP_OK;
  }
  if (pool == nullptr) return fail(ctx, ASNP_ERR_END_OF_DATA);
  ctx.mode = ASNP_MODE_CHAIN;
  ctx.capacity = pool->capacity();
  ctx.first = ctx.current = src.chain;
  u8* begin = pool->data(src.chain);
  u8* end = begin + pool->size(src.chain);
  u8* at = const_cast<u8*>(src.first);
  if (at == nullptr || at < begin || at > end) at = begin;
  ctx.buf_start = at;
  ctx.buf_size = std::min<u32>(static_cast<u32>(end - at), ctx.limit);
  return ASNP_OK;
}

void asnp_release(asnp_context& ctx) {
  if (ctx.encoding && ctx.mode == ASNP_MODE_CHAIN && ctx.pool != nullptr && ctx.first != nullptr) {
    ctx.pool->release(ctx.first);
  }
  ctx.first = ctx.current = nullptr;
  ctx.buf_start = nullptr;
  ctx.buf_size = 0;
  ctx.pos = 0;
}

chain_buf asnp_alloc_buffer(chain_pool& pool) { return pool.alloc(); }

u8 asnp_continue(u8 code, asnp_context& ctx) {
  if (code == ASNP_CONT_READ) {
    ctx.error = ASNP_ERR_READ_CONT;
    u32 consumed = ctx.bytes_before + ctx.buf_size;
    if (ctx.mode == ASNP_MODE_FLAT || ctx.current == nullptr || consumed >= ctx.limit) {
      ctx.error = ASNP_ERR_END_OF_DATA;
      return ASNP_STOP;
    }
    chain_buf next = ctx.pool->next(ctx.current);
    if (next == nullptr) {
      ctx.error = ASNP_ERR_END_OF_DATA;
      return ASNP_STOP;
    }
    if (ctx.pool->size(next) == 0) {
      ctx.error = ASNP_ERR_EMPTY_BUFFER;
      return ASNP_STOP;
    }
    ctx.bytes_before = consumed;
    ctx.current = next;
    ctx.buf_start = ctx.pool->data(next);
    ctx.buf_size = std::min<u32>(ctx.pool->size(next), ctx.limit - consumed);
    ctx.pos = 0;
    ctx.bits = 8;
    ctx.error = ASNP_ERR_NONE;
    return ASNP_MORE;
  }
  if (code == ASNP_CONT_WRITE) {
    ctx.error = ASNP_ERR_WRITE_CONT;
    if (ctx.mode == ASNP_MODE_CHAIN) {
      if (ctx.pool == nullptr || ctx.current == nullptr) {
        ctx.error = ASNP_ERR_NO_BUFFER;
        return ASNP_STOP;
      }
      chain_buf b = ctx.pool->alloc_for_writing();
      if (b == nullptr) {
        ctx.error = ASNP_ERR_NO_BUFFER;
        return ASNP_STOP;
      }
      u32 front = ctx.current == ctx.first ? ctx.headroom : 0;
      ctx.pool->set_size(ctx.current, static_cast<u16>(front + ctx.pos));
      ctx.pool->set_next(ctx.current, b);
      ctx.bytes_before += ctx.pos;
      ctx.current = b;
      ctx.buf_start = ctx.pool->data(b);
      ctx.buf_size = ctx.capacity;
      ctx.pos = 0;
      ctx.error = ASNP_ERR_NONE;
      return ASNP_MORE;
    }
    if (ctx.room_fn == nullptr) {
      ctx.error = ASNP_ERR_NO_ROOM;
      return ASNP_STOP;
    }
    u32 written = ctx.headroom + ctx.pos;
    u32 new_size = 0;
    u8* area = ctx.room_fn(ctx.room_arg, written, &new_size);
    if (area == nullptr || new_size <= written) {
      ctx.error = ASNP_ERR_NO_ROOM;
      return ASNP_STOP;
    }
    ctx.buf_start = area + ctx.headroom;
    ctx.buf_size = new_size - ctx.headroom;
    ctx.error = ASNP_ERR_NONE;
    return ASNP_MORE;
  }
  return ASNP_STOP;
}

u32 asnp_position(const asnp_context& ctx) { return ctx.bytes_before + ctx.pos + (ctx.bits != 8 ? 1u : 0u); }

u32 asnp_bytes_left(const asnp_context& ctx) {
  u32 at = ctx.bytes_before + ctx.pos + (ctx.bits != 8 ? 1u : 0u);
  return ctx.limit > at ? ctx.limit - at : 0;
}

// --- bits and octets ------------------------------------------------------------

void asnp_align(asnp_context& ctx) {
  if (ctx.bits != 8) {
    ++ctx.pos;
    ctx.bits = 8;
  }
}

u8 asnp_get_bits(asnp_context& ctx, u8 n, u8* value) {
  if (n == 0 || n > 8) return fail(ctx, ASNP_ERR_UNSUPPORTED);
  u32 v = 0;
  while (n > 0) {
    if (!read_ready(ctx)) return ASNP_NOK;
    u8 take = std::min(n, ctx.bits);
    u8 shift = static_cast<u8>(ctx.bits - take);
    u8 part = static_cast<u8>((ctx.buf_start[ctx.pos] >> shift) & ((1u << take) - 1));
    v = (v << take) | part;
    n = static_cast<u8>(n - take);
    step_bits(ctx, take);
  }
  *value = static_cast<u8>(v);
  return ASNP_OK;
}

u8 asnp_put_bits(asnp_context& ctx, u8 n, u8 value) {
  if (n == 0 || n > 8) return fail(ctx, ASNP_ERR_UNSUPPORTED);
  while (n > 0) {
    if (!write_ready(ctx)) return ASNP_NOK;
    if (ctx.bits == 8) ctx.buf_start[ctx.pos] = 0;
    u8 take = std::min(n, ctx.bits);
    u8 part = static_cast<u8>((value >> (n - take)) & ((1u << take) - 1));
    ctx.buf_start[ctx.pos] = static_cast<u8>(ctx.buf_start[ctx.pos] | (part << (ctx.bits - take)));
    n = static_cast<u8>(n - take);
    step_bits(ctx, take);
  }
  return ASNP_OK;
}

u8 asnp_get_u16(asnp_context& ctx, u16* value) {
  u32 v = 0;
  if (get_be(ctx, &v, 2) != ASNP_OK) return ASNP_NOK;
  *value = static_cast<u16>(v);
  return ASNP_OK;
}

u8 asnp_put_u16(asnp_context& ctx, u16 value) { return put_be(ctx, value, 2); }

u8 asnp_get_octets(asnp_context& ctx, u8* out, u32 n) {
  u32 done = 0;
  while (done < n) {
    if (!read_ready(ctx)) return ASNP_NOK;
    if (ctx.bits != 8) {
      if (asnp_get_bits(ctx, 8, out + done) != ASNP_OK) return ASNP_NOK;
      ++done;
      continue;
    }
    u32 take = std::min(n - done, ctx.buf_size - ctx.pos);
    std::memcpy(out + done, ctx.buf_start + ctx.pos, take);
    ctx.pos += take;
    done += take;
  }
  return ASNP_OK;
}

u8 asnp_put_octets(asnp_context& ctx, const u8* in, u32 n) {
  u32 done = 0;
  while (done < n) {
    if (!write_ready(ctx)) return ASNP_NOK;
    if (ctx.bits != 8) {
      if (asnp_put_bits(ctx, 8, in[done]) != ASNP_OK) return ASNP_NOK;
      ++done;
      continue;
    }
    u32 take = std::min(n - done, ctx.buf_size - ctx.pos);
    std::memcpy(ctx.buf_start + ctx.pos, in + done, take);
    ctx.pos += take;
    done += take;
  }
  return ASNP_OK;
}

u8 asnp_put_bit_field(asnp_context& ctx, const u8* in, u32 nbits) {
  u32 i = 0;
  for (; nbits >= 8; nbits -= 8, ++i) {
    if (asnp_put_bits(ctx, 8, in[i]) != ASNP_OK) return ASNP_NOK;
  }
  if (nbits > 0) return asnp_put_bits(ctx, static_cast<u8>(nbits), static_cast<u8>(in[i] >> (8 - nbits)));
  return ASNP_OK;
}

u8 asnp_range_bits(u32 range) {
  if (range <= 2) return 1;
  u8 k = 1;
  while (k < 32 && (u64{1} << k) < range) ++k;
  return k;
}

// --- whole numbers and lengths ------------------------------------------------

u8 asnp_get_constrained_whole_number(asnp_context& ctx, u32* value, u32 lb, u32 ub) {
  if (ub < lb) return fail(ctx, ASNP_ERR_OUT_OF_BOUNDS);
  u64 range = u64{ub} - lb + 1;
  u32 raw = 0;
  if (range == 1) {
    raw = 0;
  } else if (range <= 255) {
    u8 b = 0;
    if (asnp_get_bits(ctx, asnp_range_bits(static_cast<u32>(range)), &b) != ASNP_OK) return ASNP_NOK;
    raw = b;
  } else if (range == 256) {
    asnp_align(ctx);
    if (get_be(ctx, &raw, 1) != ASNP_OK) return ASNP_NOK;
  } else if (range <= 65536) {
    asnp_align(ctx);
    if (get_be(ctx, &raw, 2) != ASNP_OK) return ASNP_NOK;
  } else {
    return fail(ctx, ASNP_ERR_UNSUPPORTED);
  }
  *value = lb + raw;  // the caller judges values above ub
  return ASNP_OK;
}

u8 asnp_put_constrained_whole_number(asnp_context& ctx, u32 value, u32 lb, u32 ub) {
  if (ub < lb || value < lb || value > ub) return fail(ctx, ASNP_ERR_OUT_OF_BOUNDS);
  u64 range = u64{ub} - lb + 1;
  u32 raw = value - lb;
  if (range == 1) return ASNP_OK;
  if (range <= 255) return asnp_put_bits(ctx, asnp_range_bits(static_cast<u32>(range)), static_cast<u8>(raw));
  if (range == 256) {
    asnp_align(ctx);
    return put_be(ctx, raw, 1);
  }
  if (range <= 65536) {
    asnp_align(ctx);
    return put_be(ctx, raw, 2);
  }
  return fail(ctx, ASNP_ERR_UNSUPPORTED);
}

u8 asnp_get_semi_constrained_whole_number(asnp_context& ctx, u32* value, u32 lb) {
  u32 n = 0;
  if (get_unconstrained_length(ctx, &n) != ASNP_OK) return ASNP_NOK;
  if (n == 0 || n > 4) return fail(ctx, ASNP_ERR_UNSUPPORTED);
  u32 raw = 0;
  if (get_be(ctx, &raw, static_cast<u8>(n)) != ASNP_OK) return ASNP_NOK;
  if (raw > ASNP_UNBOUNDED - lb) return fail(ctx, ASNP_ERR_UNSUPPORTED);
  *value = lb + raw;
  return ASNP_OK;
}

u8 asnp_put_semi_constrained_whole_number(asnp_context& ctx, u32 value, u32 lb) {
  if (value < lb) return fail(ctx, ASNP_ERR_OUT_OF_BOUNDS);
  u32 raw = value - lb;
  u8 n = octets_for(raw);
  if (put_unconstrained_length(ctx, n) != ASNP_OK) return ASNP_NOK;
  return put_be(ctx, raw, n);
}

u8 asnp_get_normally_small_number(asnp_context& ctx, u32* value) {
  u8 big = 0;
  if (asnp_get_bits(ctx, 1, &big) != ASNP_OK) return ASNP_NOK;
  if (big == 0) {
    u8 v = 0;
    if (asnp_get_bits(ctx, 6, &v) != ASNP_OK) return ASNP_NOK;
    *value = v;
    return ASNP_OK;
  }
  return asnp_get_semi_constrained_whole_number(ctx, value, 0);
}

u8 asnp_put_normally_small_number(asnp_context& ctx, u32 value) {
  if (value <= 63) {
    if (asnp_put_bits(ctx, 1, 0) != ASNP_OK) return ASNP_NOK;
    return asnp_put_bits(ctx, 6, static_cast<u8>(value));
  }
  if (asnp_put_bits(ctx, 1, 1) != ASNP_OK) return ASNP_NOK;
  return asnp_put_semi_constrained_whole_number(ctx, value, 0);
}

u8 asnp_get_length(asnp_context& ctx, asnp_length_kind kind, u32* length, u32 lb, u32 ub) {
  u32 n = 0;
  if (lb == ub) {
    n = lb;
  } else if (kind == asnp_length_kind::normally_small) {
    u8 big = 0;
    if (asnp_get_bits(ctx, 1, &big) != ASNP_OK) return ASNP_NOK;
    if (big == 0) {
      u8 v = 0;
      if (asnp_get_bits(ctx, 6, &v) != ASNP_OK) return ASNP_NOK;
      n = u32{v} + 1;
    } else if (get_unconstrained_length(ctx, &n) != ASNP_OK) {
      return ASNP_NOK;
    }
  } else if (kind == asnp_length_kind::constrained && ub != ASNP_UNBOUNDED && ub < 65536) {
    if (asnp_get_constrained_whole_number(ctx, &n, lb, ub) != ASNP_OK) return ASNP_NOK;
  } else if (get_unconstrained_length(ctx, &n) != ASNP_OK) {
    return ASNP_NOK;
  }
  if (n < lb || n > ub) return fail(ctx, ASNP_ERR_OUT_OF_BOUNDS);
  *length = n;
  return ASNP_OK;
}

u8 asnp_put_length(asnp_context& ctx, asnp_length_kind kind, u32 length, u32 lb, u32 ub) {
  if (length < lb || length > ub) return fail(ctx, ASNP_ERR_OUT_OF_BOUNDS);
  if (lb == ub) return ASNP_OK;
  if (kind == asnp_length_kind::normally_small) {
    if (length >= 1 && length <= 64) {
      if (asnp_put_bits(ctx, 1, 0) != ASNP_OK) return ASNP_NOK;
      return asnp_put_bits(ctx, 6, static_cast<u8>(length - 1));
    }
    if (asnp_put_bits(ctx, 1, 1) != ASNP_OK) return ASNP_NOK;
    return put_unconstrained_length(ctx, length);
  }
  if (kind == asnp_length_kind::constrained && ub != ASNP_UNBOUNDED && ub < 65536) {
    return asnp_put_constrained_whole_number(ctx, length, lb, ub);
  }
  return put_unconstrained_length(ctx, length);
}

// --- constructs -----------------------------------------------------------------

u8 asnp_set_integer(asnp_context& ctx, u8 kind, u32 value, u32 lb, u32 ub) {
  if (kind == ASNP_KIND_EXT) {
    bool in_root = value >= lb && value <= ub;
    if (asnp_put_bits(ctx, 1, in_root ? 0 : 1) != ASNP_OK) return ASNP_NOK;
    if (!in_root) return put_unconstrained_number(ctx, value);
    return asnp_put_constrained_whole_number(ctx, value, lb, ub);
  }
  if (ub == ASNP_UNBOUNDED) return asnp_put_semi_constrained_whole_number(ctx, value, lb);
  return asnp_put_constrained_whole_number(ctx, value, lb, ub);
}

u8 asnp_get_integer(asnp_context& ctx, u8 kind, u32* value, u32 lb, u32 ub, bool* extended) {
  if (extended != nullptr) *extended = false;
  if (kind == ASNP_KIND_EXT) {
    u8 ext = 0;
    if (asnp_get_bits(ctx, 1, &ext) != ASNP_OK) return ASNP_NOK;
    if (ext != 0) {
      if (extended != nullptr) *extended = true;
      return get_unconstrained_number(ctx, value);
    }
    return asnp_get_constrained_whole_number(ctx, value, lb, ub);
  }
  if (ub == ASNP_UNBOUNDED) return asnp_get_semi_constrained_whole_number(ctx, value, lb);
  return asnp_get_constrained_whole_number(ctx, value, lb, ub);
}

u8 asnp_set_enumerated(asnp_context& ctx, u8 kind, bool extended, u32 value, u32 highest_root) {
  return put_index(ctx, kind, extended, value, highest_root);
}

u8 asnp_get_enumerated(asnp_context& ctx, u8 kind, bool* extended, u32* value, u32 highest_root) {
  return get_index(ctx, kind, extended, value, highest_root);
}

u8 asnp_set_choice(asnp_context& ctx, u8 kind, bool extended, u32 index, u32 highest_root) {
  return put_index(ctx, kind, extended, index, highest_root);
}

u8 asnp_get_choice(asnp_context& ctx, u8 kind, bool* extended, u32* index, u32 highest_root) {
  return get_index(ctx, kind, extended, index, highest_root);
}

u8 asnp_set_sequence(asnp_context& ctx, u8 kind, u8 n_optional, u8 presence) {
  if (n_optional > 8) return fail(ctx, ASNP_ERR_UNSUPPORTED);
  if (kind == ASNP_KIND_EXT && asnp_put_bits(ctx, 1, 0) != ASNP_OK) return ASNP_NOK;
  if (n_optional == 0) return ASNP_OK;
  return asnp_put_bits(ctx, n_optional, presence);
}

u8 asnp_get_sequence(asnp_context& ctx, u8 kind, u8 n_optional, u8* presence) {
  if (n_optional > 8) return fail(ctx, ASNP_ERR_UNSUPPORTED);
  if (kind == ASNP_KIND_EXT) {
    u8 ext = 0;
    if (asnp_get_bits(ctx, 1, &ext) != ASNP_OK) return ASNP_NOK;
    if (ext != 0) return fail(ctx, ASNP_ERR_UNSUPPORTED);  // extension additions are not read
  }
  *presence = 0;
  if (n_optional == 0) return ASNP_OK;
  return asnp_get_bits(ctx, n_optional, presence);
}

u8 asnp_set_sequence_of(asnp_context& ctx, u8 kind, bool extended, u32 count) {
  if (kind == ASNP_KIND_SEQ_OF_EXT && asnp_put_bits(ctx, 1, extended ? 1 : 0) != ASNP_OK) return ASNP_NOK;
  return put_unconstrained_length(ctx, count);
}

u8 asnp_get_sequence_of(asnp_context& ctx, u8 kind, bool* extended, u32* count) {
  if (extended != nullptr) *extended = false;
  if (kind == ASNP_KIND_SEQ_OF_EXT) {
    u8 ext = 0;
    if (asnp_get_bits(ctx, 1, &ext) != ASNP_OK) return ASNP_NOK;
    if (extended != nullptr) *extended = ext != 0;
  }
  return get_unconstrained_length(ctx, count);
}

u8 asnp_set_octet_string(asnp_context& ctx, u8 kind, u32 length, u32 lb, u32 ub, const u8* data) {
  (void)kind;
  if (lb == ub) {
    if (length != lb) return fail(ctx, ASNP_ERR_OUT_OF_BOUNDS);
    if (length > 65536) return fail(ctx, ASNP_ERR_UNSUPPORTED);
    if (length > 2) asnp_align(ctx);
  } else {
    if (asnp_put_length(ctx, asnp_length_kind::constrained, length, lb, ub) != ASNP_OK) return ASNP_NOK;
    if (length > 0) asnp_align(ctx);
  }
  if (length == 0) return ASNP_OK;
  if (data == nullptr) return fail(ctx, ASNP_ERR_OUT_OF_BOUNDS);
  return asnp_put_octets(ctx, data, length);
}

u8 asnp_get_octet_string(asnp_context& ctx, u8 kind, u32* length, u32 lb, u32 ub, u8* dest) {
  (void)kind;
  u32 room = *length;
  if (ctx.ostr_state != 'L') {
    u32 n = 0;
    if (lb == ub) {
      if (lb > 65536) return fail(ctx, ASNP_ERR_UNSUPPORTED);
      n = lb;
      if (n > 2) asnp_align(ctx);
    } else {
      if (asnp_get_length(ctx, asnp_length_kind::constrained, &n, lb, ub) != ASNP_OK) return ASNP_NOK;
      if (n > 0) asnp_align(ctx);
    }
    // A lying length fails here, before anything is delivered.
    if (n > asnp_bytes_left(ctx)) return fail(ctx, ASNP_ERR_END_OF_DATA);
    if (n <= room) {
      if (n > 0 && asnp_get_octets(ctx, dest, n) != ASNP_OK) return ASNP_NOK;
      *length = n;
      return ASNP_OK;
    }
    if (room == 0) return fail(ctx, ASNP_ERR_NO_ROOM_DEST);
    if (asnp_get_octets(ctx, dest, room) != ASNP_OK) return ASNP_NOK;
    ctx.ostr_state = 'L';
    ctx.ostr_piece = room;
    ctx.ostr_length = n;
    ctx.ostr_left = n - room;
    *length = room;
    return ASNP_MORE;
  }
  if (room == 0) {
    ctx.ostr_state = 'I';
    return fail(ctx, ASNP_ERR_NO_ROOM_DEST);
  }
  u32 take = std::min(room, ctx.ostr_left);
  if (asnp_get_octets(ctx, dest, take) != ASNP_OK) {
    ctx.ostr_state = 'I';
    return ASNP_NOK;
  }
  ctx.ostr_left -= take;
  *length = take;
  if (ctx.ostr_left == 0) {
    ctx.ostr_state = 'I';
    return ASNP_OK;
  }
  return ASNP_MORE;
}

u8 asnp_set_open_type(asnp_context& ctx, const byte_ref& src, chain_pool* pool) {
  if (src.length == 0) {
    if (put_unconstrained_length(ctx, 1) != ASNP_OK) return ASNP_NOK;
    return asnp_put_bits(ctx, 8, 0);
  }
  if (put_unconstrained_length(ctx, src.length) != ASNP_OK) return ASNP_NOK;
  if (src.chain == nullptr) {
    if (src.first == nullptr) return fail(ctx, ASNP_ERR_OUT_OF_BOUNDS);
    return asnp_put_octets(ctx, src.first, src.length);
  }
  if (pool == nullptr) return fail(ctx, ASNP_ERR_OUT_OF_BOUNDS);
  u32 done = 0;
  chain_buf b = src.chain;
  const u8* p = src.first;
  while (done < src.length) {
    if (b == nullptr) return fail(ctx, ASNP_ERR_OUT_OF_BOUNDS);  // chain shorter than its length
    const u8* begin = pool->data(b);
    const u8* end = begin + pool->size(b);
    if (p == nullptr || p < begin || p > end) p = begin;
    u32 take = std::min<u32>(static_cast<u32>(end - p), src.length - done);
    if (take > 0 && asnp_put_octets(ctx, p, take) != ASNP_OK) return ASNP_NOK;
    done += take;
    b = pool->next(b);
    p = nullptr;
  }
  return ASNP_OK;
}

u8 asnp_get_open_type(asnp_context& ctx, u8* dest, u32* size, chain_buf* chain, chain_pool* out_pool) {
  if (chain != nullptr) *chain = nullptr;
  u32 n = 0;
  if (get_unconstrained_length(ctx, &n) != ASNP_OK) return ASNP_NOK;
  if (n > asnp_bytes_left(ctx)) return fail(ctx, ASNP_ERR_END_OF_DATA);
  if (dest != nullptr) {
    if (n > *size) return fail(ctx, ASNP_ERR_NO_ROOM_DEST);
    if (n > 0 && asnp_get_octets(ctx, dest, n) != ASNP_OK) return ASNP_NOK;
    *size = n;
    return ASNP_OK;
  }
  *size = n;
  if (n == 0) return ASNP_OK;
  if (out_pool == nullptr || chain == nullptr) return fail(ctx, ASNP_ERR_OPEN_NO_BUFFER);
  chain_buf first = nullptr;
  chain_buf last = nullptr;
  u32 done = 0;
  while (done < n) {
    // Filled up to its data size from the packet.
    chain_buf b = out_pool->alloc_for_writing();
    if (b == nullptr) {
      out_pool->release(first);
      return fail(ctx, ASNP_ERR_OPEN_NO_BUFFER);
    }
    if (last == nullptr) first = b;
    else out_pool->set_next(last, b);
    last = b;
    u32 take = std::min<u32>(out_pool->capacity(), n - done);
    if (asnp_get_octets(ctx, out_pool->data(b), take) != ASNP_OK) {
      out_pool->release(first);
      return ASNP_NOK;
    }
    out_pool->set_size(b, static_cast<u16>(take));
    done += take;
  }
  *chain = first;
  return ASNP_OK;
}

}  // namespace kv::t38
