// UDPTL datagrams carrying IFP packets with redundancy.
//
// UDPTLPacket ::= SEQUENCE { seq-number INTEGER (0..65535),
//   primary-ifp-packet open type, error-recovery CHOICE {
//   secondary-ifp-packets SEQUENCE OF open type, fec-info ... } }
// Secondaries travel newest first (seq - 1, seq - 2, ...).  Only redundancy
// is sent; a received FEC packet yields its primary alone.
#pragma once

#include <cstdint>

#include "t38/asnp.h"
#include "t38/byte_chain.h"
#include "platform/int_types.h"

namespace kv::t38 {

// Room kept in front of an outgoing datagram for the socket address record.
inline constexpr u16 T38_UDPTL__ADDR_RECORD_SIZE = 28;
// Secondaries kept from one received datagram; older ones on the wire are
// checked but not copied.
inline constexpr u16 T38_UDPTL__MAX_KEPT_SECONDARIES = 16;

inline constexpr u8 T38_UDPTL__RECOVERY_REDUNDANCY = 0;
inline constexpr u8 T38_UDPTL__RECOVERY_FEC = 1;

// What to send: the primary's encoding and the older encodings, newest first.
struct t38_udptl_out {
  u16 seq = 0;
  byte_ref primary;
  const byte_ref* secondaries = nullptr;
  u16 n_secondaries = 0;
};

struct t38_udptl_encoded {
  u8* data = nullptr;         // first datagram byte (after the headroom)
  u32 length = 0;             // datagram length
  chain_buf chain = nullptr;  // owns the datagram (chain mode)
  u16 secondaries_sent = 0;   // the newest ones; the rest were shed
};

// Datagram size with the k newest secondaries.
u32 t38_udptl__encoded_size(const t38_udptl_out& pkt, u16 k);

// Encodes into a new chain of `pool` with `headroom` bytes in front, shedding
// the oldest secondaries until the datagram fits `max_datagram_size`.
// Chained inputs are walked with `pool` as well.  Returns 0 or a trap code
// (12101 when even the primary alone is too long).
u16 t38_udptl__encode(const t38_udptl_out& pkt, u16 max_datagram_size, u16 headroom, chain_pool& pool,
                      t38_udptl_encoded& out);
// The same into a flat area of `size` bytes (no headroom).
u16 t38_udptl__encode_flat(const t38_udptl_out& pkt, u16 max_datagram_size, u8* area, u32 size, chain_pool* input_pool,
                           t38_udptl_encoded& out);

struct t38_udptl_in {
  u16 seq = 0;
  byte_ref primary;  // copied into a chain of the output pool
  u8 recovery = T38_UDPTL__RECOVERY_REDUNDANCY;
  u16 recovery_trap = 0;        // 13120 for FEC (the primary stands)
  u32 secondaries_on_wire = 0;  // count read and checked
  // Kept, newest first.  This bounded count, not the count on the wire, is
  // the one to trust when estimating the peer's redundancy depth.
  u16 n_secondaries = 0;
  byte_ref secondaries[T38_UDPTL__MAX_KEPT_SECONDARIES];
  u16 secondary_trap = 0;  // why the secondaries were dropped, or 0
};

// Decodes one datagram (without its address record).  The primary and the
// kept secondaries are copied into new chains of `out_pool`; `in_pool` walks
// a chained source.  Returns 0, or a trap code with nothing left allocated.
// A bad secondary drops all secondaries (secondary_trap) but not the primary.
[[nodiscard]] u16 t38_udptl__decode(const byte_ref& datagram, chain_pool* in_pool, chain_pool& out_pool,
                                    t38_udptl_in& out);
// Releases the chains of a decoded datagram.
void t38_udptl__release(t38_udptl_in& in, chain_pool& pool);

// 32-bit sequence of a received 16-bit one against the last delivered
// number (0xFFFFFFFF: none yet): more than 1000 below its low half is a wrap.
u32 t38_udptl__extend_seq(u16 seq, u32 last_delivered);

// Largest data field for redundancy count n and datagram size d: at most 50.
u16 t38_udptl__max_data_field_size(u16 n_redundancy, u16 max_datagram_size);
// Room for data in one IFP packet with n fields (used to split page data).
u32 t38_udptl__estimate_data_room(u16 n_redundancy, u16 max_datagram_size, u32 n_fields);

}  // namespace kv::t38
