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

namespace kv::t38 {

// Room kept in front of an outgoing datagram for the socket address record.
inline constexpr uint16_t T38_UDPTL__ADDR_RECORD_SIZE = 28;
// Secondaries kept from one received datagram; older ones on the wire are
// checked but not copied.
inline constexpr uint16_t T38_UDPTL__MAX_KEPT_SECONDARIES = 16;

inline constexpr uint8_t T38_UDPTL__RECOVERY_REDUNDANCY = 0;
inline constexpr uint8_t T38_UDPTL__RECOVERY_FEC = 1;

// What to send: the primary's encoding and the older encodings, newest first.
struct t38_udptl_out {
  uint16_t seq = 0;
  byte_ref primary;
  const byte_ref* secondaries = nullptr;
  uint16_t n_secondaries = 0;
};

struct t38_udptl_encoded {
  uint8_t* data = nullptr;        // first datagram byte (after the headroom)
  uint32_t length = 0;            // datagram length
  chain_buf chain = nullptr;      // owns the datagram (chain mode)
  uint16_t secondaries_sent = 0;  // the newest ones; the rest were shed
};

// Datagram size with the k newest secondaries.
uint32_t t38_udptl__encoded_size(const t38_udptl_out& pkt, uint16_t k);

// Encodes into a new chain of `pool` with `headroom` bytes in front, shedding
// the oldest secondaries until the datagram fits `max_datagram_size`.
// Chained inputs are walked with `pool` as well.  Returns 0 or a trap code
// (12101 when even the primary alone is too long).
uint16_t t38_udptl__encode(const t38_udptl_out& pkt, uint16_t max_datagram_size, uint16_t headroom, chain_pool& pool,
                           t38_udptl_encoded& out);
// The same into a flat area of `size` bytes (no headroom).
uint16_t t38_udptl__encode_flat(const t38_udptl_out& pkt, uint16_t max_datagram_size, uint8_t* area, uint32_t size,
                                chain_pool* input_pool, t38_udptl_encoded& out);

struct t38_udptl_in {
  uint16_t seq = 0;
  byte_ref primary;  // copied into a chain of the output pool
  uint8_t recovery = T38_UDPTL__RECOVERY_REDUNDANCY;
  uint16_t recovery_trap = 0;        // 13120 for FEC (the primary stands)
  uint32_t secondaries_on_wire = 0;  // count read and checked
  // Kept, newest first.  This bounded count, not the count on the wire, is
  // the one to trust when estimating the peer's redundancy depth.
  uint16_t n_secondaries = 0;
  byte_ref secondaries[T38_UDPTL__MAX_KEPT_SECONDARIES];
  uint16_t secondary_trap = 0;  // why the secondaries were dropped, or 0
};

// Decodes one datagram (without its address record).  The primary and the
// kept secondaries are copied into new chains of `out_pool`; `in_pool` walks
// a chained source.  Returns 0, or a trap code with nothing left allocated.
// A bad secondary drops all secondaries (secondary_trap) but not the primary.
uint16_t t38_udptl__decode(const byte_ref& datagram, chain_pool* in_pool, chain_pool& out_pool, t38_udptl_in& out);
// Releases the chains of a decoded datagram.
void t38_udptl__release(t38_udptl_in& in, chain_pool& pool);

// 32-bit sequence of a received 16-bit one against the last delivered
// number (0xFFFFFFFF: none yet): more than 1000 below its low half is a wrap.
uint32_t t38_udptl__extend_seq(uint16_t seq, uint32_t last_delivered);

// Largest data field for redundancy count n and datagram size d: at most 50.
uint16_t t38_udptl__max_data_field_size(uint16_t n_redundancy, uint16_t max_datagram_size);
// Room for data in one IFP packet with n fields (used to split page data).
uint32_t t38_udptl__estimate_data_room(uint16_t n_redundancy, uint16_t max_datagram_size, uint32_t n_fields);

}  // namespace kv::t38
