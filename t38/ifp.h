// IFP packets: the T.38 packet objects and their aligned-PER codec.
//
// IFPPacket ::= SEQUENCE { type-of-msg CHOICE { t30-indicator ENUMERATED
// {0..15, ...}, data ENUMERATED {0..8, ...} }, data SEQUENCE OF SEQUENCE {
// field-type ENUMERATED {0..7}, field-data OCTET STRING (SIZE (1..65535))
// OPTIONAL } OPTIONAL }.  Field data is kept in the fax engine's bit order
// and bit-reversed on the wire.
#pragma once

#include <cstddef>
#include <cstdint>

#include "t38/asnp.h"
#include "t38/byte_chain.h"
#include "platform/int_types.h"

namespace kv::t38 {

inline constexpr u16 T38__MAX_SIZE_DATA_FIELD = 50;

inline constexpr u8 T38_IFP__TYPE_T30_INDICATOR = 1;
inline constexpr u8 T38_IFP__TYPE_DATA = 2;
// A type byte with this bit set names a data packet (value in the low bits).
inline constexpr u8 T38_IFP__DATA_BIT = 0x80;
inline constexpr u8 T38_IFP__INDICATOR_HIGHEST_ROOT = 15;
inline constexpr u8 T38_IFP__DATA_HIGHEST_ROOT = 8;

// T30-indicator values.
enum : u8 {
  T38_IND__NO_SIGNAL = 0,
  T38_IND__CNG,
  T38_IND__CED,
  T38_IND__V21_PREAMBLE,
  T38_IND__V27_2400_TRAINING,
  T38_IND__V27_4800_TRAINING,
  T38_IND__V29_7200_TRAINING,
  T38_IND__V29_9600_TRAINING,
  T38_IND__V17_7200_SHORT_TRAINING,
  T38_IND__V17_7200_LONG_TRAINING,
  T38_IND__V17_9600_SHORT_TRAINING,
  T38_IND__V17_9600_LONG_TRAINING,
  T38_IND__V17_12000_SHORT_TRAINING,
  T38_IND__V17_12000_LONG_TRAINING,
  T38_IND__V17_14400_SHORT_TRAINING,
  T38_IND__V17_14400_LONG_TRAINING,
};

// Data values (modulations).
enum : u8 {
  T38_DATA__V21 = 0,
  T38_DATA__V27_2400,
  T38_DATA__V27_4800,
  T38_DATA__V29_7200,
  T38_DATA__V29_9600,
  T38_DATA__V17_7200,
  T38_DATA__V17_9600,
  T38_DATA__V17_12000,
  T38_DATA__V17_14400,
};

// Field types.
enum : u8 {
  T38_FIELD__HDLC_DATA = 0,
  T38_FIELD__HDLC_SIG_END = 1,
  T38_FIELD__HDLC_FCS_OK = 2,
  T38_FIELD__HDLC_FCS_BAD = 3,
  T38_FIELD__HDLC_FCS_OK_SIG_END = 4,
  T38_FIELD__HDLC_FCS_BAD_SIG_END = 5,
  T38_FIELD__T4_NON_ECM_DATA = 6,
  T38_FIELD__T4_NON_ECM_SIG_END = 7,
};

// One data field (or, on receipt, up to 50 bytes of one or more fields).
struct t38_data_field {
  u8 field_type = 0;
  u8 data_lost = 0;
  u8 data[T38__MAX_SIZE_DATA_FIELD] = {};
  u16 length = 0;
  t38_data_field* next = nullptr;
  u8 continued = 0;  // the data goes on in the next object
  u8 packed = 0;     // received fields packed into this object
  u16 read_pos = 0;  // read position in data
};

struct t38_ifp_packet {
  u8 decoded = 0;
  u8 type = 0;        // T38_IFP__TYPE_*
  u8 type_value = 0;  // the type byte: indicator, or 0x80 + data value
  t38_data_field* fields = nullptr;
  u32 ext_seq = 0;  // low 16 bits: UDPTL seq-number; upper: wraps
  t38_ifp_packet* next = nullptr;
  t38_ifp_packet* prev = nullptr;
  byte_ref encoded;  // the PER encoding: chain, first byte, length
};

// Where data-field objects come from (the session's pool).
class t38_field_pool {
 public:
  virtual ~t38_field_pool() = default;
  virtual t38_data_field* alloc_data_field() = 0;  // cleared, or null
  virtual void free_data_field(t38_data_field* f) = 0;
};

// Data fields on the heap, counted, with an optional limit.
class heap_field_pool final : public t38_field_pool {
 public:
  explicit heap_field_pool(std::size_t limit = SIZE_MAX) : limit_(limit) {}
  t38_data_field* alloc_data_field() override;
  void free_data_field(t38_data_field* f) override;
  std::size_t live() const { return live_; }

 private:
  std::size_t limit_;
  std::size_t live_ = 0;
};

void t38_ifp__free_data_fields(t38_field_pool& pool, t38_data_field* list);

// Bit reversal of one byte (bit 0 <-> bit 7, ...).
u8 t38_ifp__reverse_bits(u8 b);

// Sets type and type value from a type byte and checks the field list
// against it: 12091 (data without fields), 12092 (indicator with fields), 0.
[[nodiscard]] u16 t38_ifp__set_type(t38_ifp_packet& pck, u8 type_byte, t38_data_field* fields);

// Encodes into a new chain with `header_room` free bytes in front; the
// encoding is left in pck.encoded (its chain owned by the packet).
// Returns 0 or a trap code.
[[nodiscard]] u16 encode_ifp_packet(t38_ifp_packet& pck, u16 header_room, chain_pool& pool);
// The same into a flat area; *length is the encoded size.
u16 encode_ifp_packet_flat(const t38_ifp_packet& pck, u8* out, u32 size, u32* length);

struct t38_ifp_decode_env {
  chain_pool* chains = nullptr;  // walks and releases pck.encoded
  t38_field_pool* fields = nullptr;
  bool optimize_filling_dfield = false;  // pack consecutive fields into one object
};

inline constexpr u8 T38_IFP__DECODE_KEEP = 0;     // the encoding stays (TPKT)
inline constexpr u8 T38_IFP__DECODE_RELEASE = 1;  // release it afterwards (UDPTL)

// Decodes pck.encoded into type, type value and data-field objects; returns
// 0 or a trap code (nothing is left allocated on failure).
[[nodiscard]] u16 decode_ifp_packet(u8 mode, const t38_ifp_decode_env& env, t38_ifp_packet& pck);

}  // namespace kv::t38
