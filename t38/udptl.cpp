#include "t38/udptl.h"

#include <algorithm>

#include "t38/ifp.h"
#include "t38/t38_traps.h"

namespace kv::t38 {

namespace {

// Octets of an unconstrained length determinant and the contents of an
// open type of n bytes (an empty one is written as one 0 octet).
u32 open_type_size(u32 n) {
  if (n == 0) n = 1;
  return (n < 128 ? 1u : 2u) + n;
}

u16 cod_fail(const asnp_context& ctx, u16 trap) {
  return ctx.error == ASNP_ERR_NO_BUFFER ? T38__TRAP__IFP_PCK__NO_MORE_BUFFER : trap;
}

u16 encode_body(asnp_context& ctx, const t38_udptl_out& pkt, u16 k, chain_pool* input_pool) {
  if (asnp_set_sequence(ctx, ASNP_KIND_ROOT, 0, 0) != ASNP_OK)
    return cod_fail(ctx, T38__TRAP__IFP_PCK__ERR_COD_UDPTL_1);
  if (asnp_set_integer(ctx, ASNP_KIND_ROOT, pkt.seq, 0, 65535) != ASNP_OK) {
    return cod_fail(ctx, T38__TRAP__IFP_PCK__ERR_COD_UDPTL_2);
  }
  if (asnp_set_open_type(ctx, pkt.primary, input_pool) != ASNP_OK)
    return cod_fail(ctx, T38__TRAP__IFP_PCK__ERR_COD_UDPTL_3);
  if (asnp_set_choice(ctx, ASNP_KIND_ROOT, false, T38_UDPTL__RECOVERY_REDUNDANCY, 1) != ASNP_OK) {
    return cod_fail(ctx, T38__TRAP__IFP_PCK__ERR_COD_UDPTL_4);
  }
  if (asnp_set_sequence_of(ctx, ASNP_KIND_ROOT, false, k) != ASNP_OK)
    return cod_fail(ctx, T38__TRAP__IFP_PCK__ERR_COD_UDPTL_6);
  for (u16 i = 0; i < k; ++i) {
    if (asnp_set_open_type(ctx, pkt.secondaries[i], input_pool) != ASNP_OK) {
      return cod_fail(ctx, T38__TRAP__IFP_PCK__ERR_COD_UDPTL_7);
    }
  }
  return T38__TRAP__NONE;
}

// The most secondaries (newest first) that keep the datagram within max;
// -1 when even none is too many.
int fitting_secondaries(const t38_udptl_out& pkt, u16 max_datagram_size) {
  for (int k = pkt.n_secondaries; k >= 0; --k) {
    if (t38_udptl__encoded_size(pkt, static_cast<u16>(k)) <= max_datagram_size) return k;
  }
  return -1;
}

}  // namespace

u32 t38_udptl__encoded_size(const t38_udptl_out& pkt, u16 k) {
  u32 size = 2 + open_type_size(pkt.primary.length) + 1 + (k < 128 ? 1u : 2u);
  for (u16 i = 0; i < k && i < pkt.n_secondaries; ++i) size += open_type_size(pkt.secondaries[i].length);
  return size;
}

u16 t38_udptl__encode(const t38_udptl_out& pkt, u16 max_datagram_size, u16 headroom, chain_pool& pool,
                      t38_udptl_encoded& out) {
  out = t38_udptl_encoded{};
  int k = fitting_secondaries(pkt, max_datagram_size);
  if (k < 0) return T38__TRAP__IFP_PCK__ASN1__TOO_LONG;
  asnp_context ctx;
  if (asnp_init_encode(ctx, nullptr, 0, headroom, &pool) != ASNP_OK) return T38__TRAP__IFP_PCK__NO_MORE_BUFFER;
  u16 trap = encode_body(ctx, pkt, static_cast<u16>(k), &pool);
  if (trap != T38__TRAP__NONE) {
    asnp_release(ctx);
    return trap;
  }
  if (asnp_end_encode(ctx, &out.data, &out.length, &out.chain) != ASNP_OK) {
    asnp_release(ctx);
    return T38__TRAP__IFP_PCK__NO_MORE_BUFFER;
  }
  out.secondaries_sent = static_cast<u16>(k);
  return T38__TRAP__NONE;
}

u16 t38_udptl__encode_flat(const t38_udptl_out& pkt, u16 max_datagram_size, u8* area, u32 size, chain_pool* input_pool,
                           t38_udptl_encoded& out) {
  out = t38_udptl_encoded{};
  int k = fitting_secondaries(pkt, max_datagram_size);
  if (k < 0) return T38__TRAP__IFP_PCK__ASN1__TOO_LONG;
  asnp_context ctx;
  if (asnp_init_encode(ctx, area, size, 0, nullptr) != ASNP_OK) return T38__TRAP__IFP_PCK__ERR_COD_UDPTL_1;
  u16 trap = encode_body(ctx, pkt, static_cast<u16>(k), input_pool);
  if (trap != T38__TRAP__NONE) return trap;
  if (asnp_end_encode(ctx, &out.data, &out.length, nullptr) != ASNP_OK) return T38__TRAP__IFP_PCK__ERR_COD_UDPTL_1;
  out.secondaries_sent = static_cast<u16>(k);
  return T38__TRAP__NONE;
}

void t38_udptl__release(t38_udptl_in& in, chain_pool& pool) {
  pool.release(in.primary.chain);
  in.primary = byte_ref{};
  for (u16 i = 0; i < in.n_secondaries; ++i) {
    pool.release(in.secondaries[i].chain);
    in.secondaries[i] = byte_ref{};
  }
  in.n_secondaries = 0;
}

u16 t38_udptl__decode(const byte_ref& datagram, chain_pool* in_pool, chain_pool& out_pool, t38_udptl_in& out) {
  out = t38_udptl_in{};
  asnp_context ctx;
  if (asnp_init_decode(ctx, datagram, in_pool) != ASNP_OK) return T38__TRAP__IFP_PCK__ERR_DECOD_UDPTL_1;
  u8 presence = 0;
  if (asnp_get_sequence(ctx, ASNP_KIND_ROOT, 0, &presence) != ASNP_OK) return T38__TRAP__IFP_PCK__ERR_DECOD_UDPTL_1;
  u32 seq = 0;
  if (asnp_get_integer(ctx, ASNP_KIND_ROOT, &seq, 0, 65535) != ASNP_OK) return T38__TRAP__IFP_PCK__ERR_DECOD_UDPTL_2;
  out.seq = static_cast<u16>(seq);

  u32 size = 0;
  chain_buf chain = nullptr;
  if (asnp_get_open_type(ctx, nullptr, &size, &chain, &out_pool) != ASNP_OK) {
    return ctx.error == ASNP_ERR_OPEN_NO_BUFFER ? T38__TRAP__IFP_PCK__NO_MORE_BUFFER
                                                : T38__TRAP__IFP_PCK__ERR_DECOD_UDPTL_3;
  }
  if (chain == nullptr) return T38__TRAP__IFP_PCK__ERR_DECOD_UDPTL_3;  // empty primary
  out.primary = byte_ref{out_pool.data(chain), size, chain};

  u32 recovery = 0;
  if (asnp_get_choice(ctx, ASNP_KIND_ROOT, nullptr, &recovery, 1) != ASNP_OK) {
    t38_udptl__release(out, out_pool);
    return T38__TRAP__IFP_PCK__ERR_DECOD_UDPTL_4;
  }
  out.recovery = static_cast<u8>(recovery);
  if (recovery == T38_UDPTL__RECOVERY_FEC) {
    out.recovery_trap = T38__TRAP__IFP_PCK__BAD_ERR_RECOVERY;
    return T38__TRAP__NONE;
  }

  u32 count = 0;
  if (asnp_get_sequence_of(ctx, ASNP_KIND_ROOT, nullptr, &count) != ASNP_OK) {
    out.secondary_trap = T38__TRAP__IFP_PCK__ERR_DECOD_UDPTL_5;
    return T38__TRAP__NONE;
  }
  // Every secondary takes at least one length octet.
  if (count > asnp_bytes_left(ctx)) {
    out.secondary_trap = T38__TRAP__IFP_PCK__ERR_DECOD_UDPTL_5;
    return T38__TRAP__NONE;
  }
  for (u32 i = 0; i < count; ++i) {
    u16 trap = T38__TRAP__NONE;
    if (out.n_secondaries < T38_UDPTL__MAX_KEPT_SECONDARIES) {
      chain = nullptr;
      size = 0;
      if (asnp_get_open_type(ctx, nullptr, &size, &chain, &out_pool) != ASNP_OK) {
        trap = ctx.error == ASNP_ERR_OPEN_NO_BUFFER ? T38__TRAP__IFP_PCK__NO_MORE_BUFFER
                                                    : T38__TRAP__IFP_PCK__ERR_DECOD_UDPTL_6;
      } else if (chain == nullptr) {
        trap = T38__TRAP__IFP_PCK__ERR_DECOD_UDPTL_6;  // an empty secondary is no IFP packet
      } else {
        out.secondaries[out.n_secondaries++] = byte_ref{out_pool.data(chain), size, chain};
      }
    } else {
      // Beyond what is kept: check the length and step over the contents.
      u32 n = 0;
      if (asnp_get_length(ctx, asnp_length_kind::unconstrained, &n, 0, ASNP_UNBOUNDED) != ASNP_OK || n == 0 ||
          n > asnp_bytes_left(ctx)) {
        trap = T38__TRAP__IFP_PCK__ERR_DECOD_UDPTL_6;
      } else {
        u8 sink[64];
        while (n > 0 && trap == T38__TRAP__NONE) {
          u32 take = std::min<u32>(n, sizeof sink);
          if (asnp_get_octets(ctx, sink, take) != ASNP_OK) trap = T38__TRAP__IFP_PCK__ERR_DECOD_UDPTL_6;
          n -= take;
        }
      }
    }
    if (trap != T38__TRAP__NONE) {
      for (u16 j = 0; j < out.n_secondaries; ++j) {
        out_pool.release(out.secondaries[j].chain);
        out.secondaries[j] = byte_ref{};
      }
      out.n_secondaries = 0;
      out.secondary_trap = trap;
      return T38__TRAP__NONE;
    }
  }
  out.secondaries_on_wire = count;
  return T38__TRAP__NONE;
}

u32 t38_udptl__extend_seq(u16 seq, u32 last_delivered) {
  if (last_delivered == 0xFFFFFFFFu) return seq;
  u32 high = last_delivered & 0xFFFF0000u;
  u16 low = static_cast<u16>(last_delivered);
  if (seq < low && low - seq > 1000) high += 0x10000u;
  return high | seq;
}

u16 t38_udptl__max_data_field_size(u16 n_redundancy, u16 max_datagram_size) {
  u32 overhead = 7u * n_redundancy + 13u;
  u32 size =
      overhead < max_datagram_size ? (max_datagram_size - overhead) / (n_redundancy + 1u) : max_datagram_size / 10u;
  return static_cast<u16>(std::min<u32>(size, T38__MAX_SIZE_DATA_FIELD));
}

u32 t38_udptl__estimate_data_room(u16 n_redundancy, u16 max_datagram_size, u32 n_fields) {
  u64 overhead = 7ull * n_redundancy + 10ull + 3ull * n_fields;
  if (overhead < max_datagram_size) {
    return static_cast<u32>((max_datagram_size - overhead) / (n_redundancy + 1u));
  }
  return max_datagram_size / 10u;
}

}  // namespace kv::t38
