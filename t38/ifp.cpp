#include "t38/ifp.h"

#include <array>
#include <cstring>
#include <vector>

#include "t38/t38_traps.h"

namespace kv::t38 {

namespace {

constexpr std::array<u8, 256> make_reverse_table() {
  std::array<u8, 256> t{};
  for (int i = 0; i < 256; ++i) {
    u8 r = 0;
    for (int b = 0; b < 8; ++b) {
      if (i & (1 << b)) r = static_cast<u8>(r | (0x80 >> b));
    }
    t[static_cast<std::size_t>(i)] = r;
  }
  return t;
}

constexpr std::array<u8, 256> kReverse = make_reverse_table();

// One step of reverse_copy: the bits of every byte of one word W taken from
// `in` reversed into `out` (swap neighbouring bits, then pairs, then
// nibbles; k1, k2 and k4 are W's masks 0x55.., 0x33.. and 0x0F..).
template <class W>
[[gnu::always_inline]] inline void reverse_word(u8* out, const u8* in, W k1, W k2, W k4) {
  W x;
  std::memcpy(&x, in, sizeof x);
  x = ((x >> 1) & k1) | ((x & k1) << 1);
  x = ((x >> 2) & k2) | ((x & k2) << 2);
  x = ((x >> 4) & k4) | ((x & k4) << 4);
  std::memcpy(out, &x, sizeof x);
}

// Bit order of the field data: sixteen bytes at a time, then eight, then
// four, then the table for the last few.  The steps never overlap: a packet decoded soon
// after it was encoded (a loop-back, a test) reads each step back with one
// load that matches one store, which the processor forwards; an overlapping
// tail would make it wait for the stores to reach the cache.  Kept out of
// line: inlined into a field's tail, the compiler takes the eight-byte steps
// for writes past the field.
[[gnu::noinline]] void reverse_copy(u8* out, const u8* in, u32 n) {
  constexpr u64 k1 = 0x5555555555555555ull, k2 = 0x3333333333333333ull, k4 = 0x0F0F0F0F0F0F0F0Full;
  // Sixteen bytes in a vector register.
  using v16 = u64 __attribute__((vector_size(16)));
  u32 i = 0;
  for (; i + 16 <= n; i += 16) reverse_word<v16>(out + i, in + i, v16{k1, k1}, v16{k2, k2}, v16{k4, k4});
  if (i + 8 <= n) {
    reverse_word<u64>(out + i, in + i, k1, k2, k4);
    i += 8;
  }
  if (i + 4 <= n) {
    reverse_word<u32>(out + i, in + i, static_cast<u32>(k1), static_cast<u32>(k2), static_cast<u32>(k4));
    i += 4;
  }
  for (; i < n; ++i) out[i] = kReverse[in[i]];
}

// The aligned-PER layout of an IFP packet is small and fixed: a bit cursor
// over one flat area writes and reads it.  Only the octet string's length and
// the field count are octet-aligned.
class per_writer {
 public:
  per_writer(u8* area, u32 room) : area_(area), room_(room) {}
  // n <= 8 bits, most significant first; whole octets go out at once, the
  // rest waits in the accumulator.
  bool bits(u32 value, u8 n) {
    acc_ = (acc_ << n) | (value & ((1u << n) - 1));
    pending_ = static_cast<u8>(pending_ + n);
    if (pending_ < 8) return true;
    pending_ = static_cast<u8>(pending_ - 8);
    if (pos_ >= room_) return false;
    area_[pos_++] = static_cast<u8>(acc_ >> pending_);
    return true;
  }
  // Pads the last octet with 0 bits.
  bool align() {
    if (pending_ == 0) return true;
    return bits(0, static_cast<u8>(8 - pending_));
  }
  // Aligned octets, bit-reversed from the engine's order.
  bool reversed_octets(const u8* in, u32 n) {
    if (n > room_ - pos_) return false;
    reverse_copy(area_ + pos_, in, n);
    pos_ += n;
    return true;
  }
  // One aligned octet.
  bool octet(u8 v) {
    if (pos_ >= room_) return false;
    area_[pos_++] = v;
    return true;
  }
  // Completes the last octet; the encoding's length in octets, or 0 when
  // there is no room for it.
  u32 finish() { return align() ? pos_ : 0; }
  // `n` whole octets to be written by the caller, at an octet boundary; null
  // when there is no room.
  u8* take_octets(u32 n) {
    if (pending_ != 0 || n > room_ - pos_) return nullptr;
    u8* p = area_ + pos_;
    pos_ += n;
    return p;
  }

 private:
  u8* area_;
  u32 room_;
  u32 pos_ = 0;
  u32 acc_ = 0;
  u8 pending_ = 0;  // bits in the accumulator not yet written
};

// Unconstrained length (count of a SEQUENCE OF): one octet below 128, two
// below 16384; fragmented lengths are not written.
bool put_unconstrained_length(per_writer& w, u32 n) {
  if (!w.align()) return false;
  if (n < 128) return w.octet(static_cast<u8>(n));
  if (n < 16384) return w.octet(static_cast<u8>(0x80 | (n >> 8))) && w.octet(static_cast<u8>(n));
  return false;
}

// An enumerated value of an extensible type whose root runs 0..root (4 bits
// for both the indicator and the data roots); beyond the root, a normally
// small number.
bool put_extensible_enum(per_writer& w, u32 value, u32 root) {
  if (value <= root) return w.bits(0, 1) && w.bits(value, 4);
  u32 n = value - root - 1;
  if (n <= 63) return w.bits(1, 1) && w.bits(0, 1) && w.bits(n, 6);
  // Semi-constrained: a length octet and the value's octet (n < 256 here).
  return w.bits(1, 1) && w.bits(1, 1) && put_unconstrained_length(w, 1) && w.octet(static_cast<u8>(n));
}

// Nearly every packet is a type value within its root and fewer than 128
// fields that each carry data: every element then ends on an octet boundary
// (header bits padded), so the packet is written octet by octet.  False
// (nothing written) for any other shape, which takes the general path.
bool encode_octet_shaped(per_writer& w, const t38_ifp_packet& pck) {
  const bool is_data = pck.type == T38_IFP__TYPE_DATA;
  const u32 value = pck.type_value & 0x7F;
  if (value > (is_data ? T38_IFP__DATA_HIGHEST_ROOT : T38_IFP__INDICATOR_HIGHEST_ROOT)) return false;
  u32 count = 0, need = 1;
  for (const t38_data_field* f = pck.fields; f != nullptr; f = f->next) {
    if (f->length == 0 || f->length > T38__MAX_SIZE_DATA_FIELD || f->field_type > T38_FIELD__T4_NON_ECM_SIG_END)
      return false;
    need += 3u + f->length;
    ++count;
  }
  if (count >= 128) return false;
  if (count != 0) ++need;
  u8* p = w.take_octets(need);
  if (p == nullptr) return false;
  // presence, choice, extension bit 0, the 4-bit value, one pad bit.
  *p++ = static_cast<u8>((count != 0 ? 0x80 : 0) | (is_data ? 0x40 : 0) | (value << 1));
  if (count == 0) return true;
  *p++ = static_cast<u8>(count);
  for (const t38_data_field* f = pck.fields; f != nullptr; f = f->next) {
    // data present, field type, four pad bits; the length less one in two octets.
    *p++ = static_cast<u8>(0x80 | (f->field_type << 4));
    *p++ = 0;
    *p++ = static_cast<u8>(f->length - 1);
    reverse_copy(p, f->data, f->length);
    p += f->length;
  }
  return true;
}

u16 encode_body(per_writer& w, const t38_ifp_packet& pck) {
  if (encode_octet_shaped(w, pck)) return T38__TRAP__NONE;
  const bool is_data = pck.type == T38_IFP__TYPE_DATA;
  const bool has_fields = pck.fields != nullptr;
  if (!w.bits(has_fields ? 1 : 0, 1)) {
    return has_fields ? T38__TRAP__IFP_PCK__ERR_COD_IFP_PCK_1 : T38__TRAP__IFP_PCK__ERR_COD_IFP_PCK_2;
  }
  if (!w.bits(is_data ? 1 : 0, 1)) {
    return is_data ? T38__TRAP__IFP_PCK__ERR_COD_IFP_PCK_5 : T38__TRAP__IFP_PCK__ERR_COD_IFP_PCK_3;
  }
  const u32 value = pck.type_value & 0x7F;
  const u32 root = is_data ? T38_IFP__DATA_HIGHEST_ROOT : T38_IFP__INDICATOR_HIGHEST_ROOT;
  if (!put_extensible_enum(w, value, root)) {
    return is_data ? T38__TRAP__IFP_PCK__ERR_COD_IFP_PCK_6 : T38__TRAP__IFP_PCK__ERR_COD_IFP_PCK_4;
  }
  if (!has_fields) return T38__TRAP__NONE;
  u32 count = 0;
  for (const t38_data_field* f = pck.fields; f != nullptr; f = f->next) ++count;
  if (!put_unconstrained_length(w, count)) return T38__TRAP__IFP_PCK__ERR_COD_IFP_PCK_7;
  for (const t38_data_field* f = pck.fields; f != nullptr; f = f->next) {
    if (!w.bits(f->length != 0 ? 1 : 0, 1)) return T38__TRAP__IFP_PCK__ERR_COD_IFP_PCK_8;
    // field-type: ENUMERATED 0..7, no extension.
    if (f->field_type > T38_FIELD__T4_NON_ECM_SIG_END || !w.bits(f->field_type, 3)) {
      return T38__TRAP__IFP_PCK__ERR_COD_IFP_PCK_9;
    }
    if (f->length == 0) continue;
    if (f->length > T38__MAX_SIZE_DATA_FIELD) return T38__TRAP__IFP_PCK__ERR_COD_IFP_PCK_10;
    // field-data: OCTET STRING (SIZE (1..65535)), its length as an aligned
    // 16-bit offset from 1.
    const u32 raw = f->length - 1u;
    if (!w.align() || !w.octet(static_cast<u8>(raw >> 8)) || !w.octet(static_cast<u8>(raw)) ||
        !w.reversed_octets(f->data, f->length)) {
      return T38__TRAP__IFP_PCK__ERR_COD_IFP_PCK_10;
    }
  }
  return T38__TRAP__NONE;
}

// The reading side of the same layout; every read stops at the end of the
// area.
class per_reader {
 public:
  per_reader(const u8* area, u32 length) : area_(area), bit_end_(length * 8u) {}
  // n <= 8 bits, most significant first.
  bool bits(u8 n, u32* value) {
    const u32 end = bit_ + n;
    if (end > bit_end_) return false;
    const u32 at = bit_ >> 3;
    u32 window = u32{area_[at]} << 8;
    if (((end - 1) >> 3) != at) window |= area_[at + 1];
    *value = (window >> (16 - (bit_ & 7) - n)) & ((1u << n) - 1);
    bit_ = end;
    return true;
  }
  void align() { bit_ = (bit_ + 7) & ~7u; }
  // One aligned octet.
  bool octet(u32* value) {
    if (bit_ + 8 > bit_end_) return false;
    *value = area_[bit_ >> 3];
    bit_ += 8;
    return true;
  }
  // Whole octets left after the current position.
  u32 bytes_left() const {
    const u32 at = (bit_ + 7) >> 3;
    const u32 length = bit_end_ >> 3;
    return at < length ? length - at : 0;
  }
  // The next `n` octets when the position is on an octet boundary and they
  // are all there, else null; skip() moves past them.
  const u8* octets_here(u32 n) const {
    if ((bit_ & 7) != 0 || bit_ + 8 * n > bit_end_) return nullptr;
    return area_ + (bit_ >> 3);
  }
  void skip_bits(u32 n) { bit_ += n; }
  // Aligned octets into the engine's bit order; the caller checked that
  // they are there.
  void reversed_octets(u8* out, u32 n) {
    reverse_copy(out, area_ + (bit_ >> 3), n);
    bit_ += 8 * n;
  }

 private:
  const u8* area_;
  u32 bit_end_;
  u32 bit_ = 0;
};

bool get_unconstrained_length(per_reader& r, u32* n) {
  r.align();
  u32 b = 0;
  if (!r.octet(&b)) return false;
  if ((b & 0x80) == 0) {
    *n = b;
    return true;
  }
  if ((b & 0xC0) != 0x80) return false;  // fragmented
  u32 lo = 0;
  if (!r.octet(&lo)) return false;
  *n = ((b & 0x3F) << 8) | lo;
  return true;
}

bool get_extensible_enum(per_reader& r, u32 root, u32* value) {
  u32 ext = 0;
  if (!r.bits(1, &ext)) return false;
  if (ext == 0) return r.bits(4, value);
  u32 big = 0;
  if (!r.bits(1, &big)) return false;
  u32 n = 0;
  if (big == 0) {
    if (!r.bits(6, &n)) return false;
  } else {
    // Semi-constrained whole number: 1 to 4 octets.
    u32 octets = 0;
    if (!get_unconstrained_length(r, &octets) || octets == 0 || octets > 4) return false;
    for (u32 i = 0; i < octets; ++i) {
      u32 b = 0;
      if (!r.octet(&b)) return false;
      n = (n << 8) | b;
    }
    if (n > 0xFFFFFFFFu - root - 1) return false;
  }
  *value = root + 1 + n;
  return true;
}

// The type an object takes when a field overflows it and goes on in the next.
u8 continued_type(u8 type) {
  if (type >= T38_FIELD__HDLC_FCS_OK && type <= T38_FIELD__HDLC_FCS_BAD_SIG_END) return T38_FIELD__HDLC_DATA;
  if (type == T38_FIELD__T4_NON_ECM_SIG_END) return T38_FIELD__T4_NON_ECM_DATA;
  return type;
}

class field_list_builder {
 public:
  explicit field_list_builder(t38_field_pool& pool) : pool_(pool) {}
  t38_data_field* open() {
    if (cur_ == nullptr) {
      cur_ = pool_.alloc_data_field();
    }
    return cur_;
  }
  void close() {
    if (cur_ == nullptr) return;
    if (tail_ == nullptr) head_ = cur_;
    else tail_->next = cur_;
    tail_ = cur_;
    cur_ = nullptr;
  }
  void discard() {
    if (cur_ != nullptr) pool_.free_data_field(cur_);
    cur_ = nullptr;
    t38_ifp__free_data_fields(pool_, head_);
    head_ = tail_ = nullptr;
  }
  t38_data_field* take() {
    close();
    t38_data_field* h = head_;
    head_ = tail_ = nullptr;
    return h;
  }
  t38_data_field* current() const { return cur_; }

 private:
  t38_field_pool& pool_;
  t38_data_field* head_ = nullptr;
  t38_data_field* tail_ = nullptr;
  t38_data_field* cur_ = nullptr;
};

u16 decode_fields(per_reader& r, const t38_ifp_decode_env& env, field_list_builder& out) {
  u32 count = 0;
  if (!get_unconstrained_length(r, &count)) return T38__TRAP__IFP_PCK__ERR_DECOD_IFP_PCK_8;
  // Each field takes at least four bits: a larger count is a lie.
  if (count > 2 * (r.bytes_left() + 1)) return T38__TRAP__IFP_PCK__ERR_DECOD_IFP_PCK_8;
  for (u32 i = 0; i < count; ++i) {
    u32 has_data = 0;
    u32 type = 0;
    // A field with data that starts on an octet boundary (the usual case)
    // has its header bits, padding and length in three octets.
    const u8* head = r.octets_here(3);
    const bool octet_shaped = head != nullptr && (head[0] & 0x80) != 0;
    if (octet_shaped) {
      has_data = 1;
      type = (head[0] >> 4) & 7u;
    } else {
      if (!r.bits(1, &has_data)) return T38__TRAP__IFP_PCK__ERR_DECOD_IFP_PCK_10;
      if (!r.bits(3, &type)) return T38__TRAP__IFP_PCK__ERR_DECOD_IFP_PCK_11;
    }
    t38_data_field* cur = out.open();
    if (cur == nullptr) return T38__TRAP__IFP_PCK__NO_MORE_DATA_FIELD;
    cur->field_type = static_cast<u8>(type);
    if (has_data == 0) {
      if (env.optimize_filling_dfield) ++cur->packed;
      out.close();
      continue;
    }
    u32 left = 0;
    if (octet_shaped) {
      left = ((u32{head[1]} << 8) | head[2]) + 1;
      r.skip_bits(24);
    } else {
      r.align();
      u32 hi = 0, lo = 0;
      if (!r.octet(&hi) || !r.octet(&lo)) return T38__TRAP__IFP_PCK__ERR_DECOD_IFP_PCK_13;
      left = ((hi << 8) | lo) + 1;
    }
    // A lying length fails here, before anything is delivered.
    if (left > 65535 || left > r.bytes_left()) return T38__TRAP__IFP_PCK__ERR_DECOD_IFP_PCK_13;
    for (;;) {
      const u32 room = T38__MAX_SIZE_DATA_FIELD - cur->length;
      const u32 got = left < room ? left : room;
      r.reversed_octets(cur->data + cur->length, got);
      cur->length = static_cast<u16>(cur->length + got);
      left -= got;
      if (left == 0) break;
      // The field goes on: this object is full.
      cur->continued = 1;
      cur->field_type = continued_type(static_cast<u8>(type));
      out.close();
      cur = out.open();
      if (cur == nullptr) return T38__TRAP__IFP_PCK__NO_MORE_DATA_FIELD;
      cur->field_type = static_cast<u8>(type);
    }
    if (!env.optimize_filling_dfield) {
      out.close();
      continue;
    }
    ++cur->packed;
    bool plain = cur->field_type == T38_FIELD__HDLC_DATA || cur->field_type == T38_FIELD__T4_NON_ECM_DATA;
    if (!plain || cur->length >= T38__MAX_SIZE_DATA_FIELD) out.close();
  }
  return T38__TRAP__NONE;
}

u16 decode_body(per_reader& r, const t38_ifp_decode_env& env, t38_ifp_packet& pck, field_list_builder& out) {
  u32 presence = 0;
  u32 choice = 0;
  u32 value = 0;
  // A type value within its root: presence, choice, extension bit and value
  // in the first octet.
  const u8* first = r.octets_here(1);
  if (first != nullptr && (first[0] & 0x20) == 0) {
    presence = first[0] >> 7;
    choice = (first[0] >> 6) & 1u;
    value = (first[0] >> 1) & 0x0Fu;
    r.skip_bits(7);
  } else {
    if (!r.bits(1, &presence)) return T38__TRAP__IFP_PCK__ERR_DECOD_IFP_PCK_1;
    if (!r.bits(1, &choice)) return T38__TRAP__IFP_PCK__ERR_DECOD_IFP_PCK_2;
    const u32 root = choice == 0 ? T38_IFP__INDICATOR_HIGHEST_ROOT : T38_IFP__DATA_HIGHEST_ROOT;
    if (!get_extensible_enum(r, root, &value)) {
      return choice == 0 ? T38__TRAP__IFP_PCK__ERR_DECOD_IFP_PCK_3 : T38__TRAP__IFP_PCK__ERR_DECOD_IFP_PCK_5;
    }
  }
  if (choice == 0) {
    if (value > T38_IFP__INDICATOR_HIGHEST_ROOT) return T38__TRAP__IFP_PCK__ERR_DECOD_IFP_PCK_4;
    pck.type = T38_IFP__TYPE_T30_INDICATOR;
    pck.type_value = static_cast<u8>(value);
  } else {
    if (value > T38_IFP__DATA_HIGHEST_ROOT) return T38__TRAP__IFP_PCK__ERR_DECOD_IFP_PCK_6;
    pck.type = T38_IFP__TYPE_DATA;
    pck.type_value = static_cast<u8>(T38_IFP__DATA_BIT | value);
  }
  if (presence == 0) return T38__TRAP__NONE;
  return decode_fields(r, env, out);
}

}  // namespace

t38_data_field* heap_field_pool::alloc_data_field() {
  if (live_ >= limit_) return nullptr;
  ++live_;
  return new t38_data_field{};
}

void heap_field_pool::free_data_field(t38_data_field* f) {
  if (f == nullptr) return;
  --live_;
  delete f;
}

void t38_ifp__free_data_fields(t38_field_pool& pool, t38_data_field* list) {
  while (list != nullptr) {
    t38_data_field* next = list->next;
    pool.free_data_field(list);
    list = next;
  }
}

u8 t38_ifp__reverse_bits(u8 b) { return kReverse[b]; }

u16 t38_ifp__set_type(t38_ifp_packet& pck, u8 type_byte, t38_data_field* fields) {
  if (type_byte & T38_IFP__DATA_BIT) {
    if (fields == nullptr) return T38__TRAP__IFP_PCK__MISSING_DATA_FIELD;
    pck.type = T38_IFP__TYPE_DATA;
  } else {
    if (fields != nullptr) return T38__TRAP__IFP_PCK__DATA_FIELD_PRESENT;
    pck.type = T38_IFP__TYPE_T30_INDICATOR;
  }
  pck.type_value = type_byte;
  pck.fields = fields;
  return T38__TRAP__NONE;
}

u16 encode_ifp_packet(t38_ifp_packet& pck, u16 header_room, chain_pool& pool) {
  u8* base = nullptr;
  u16 capacity = 0;
  chain_buf first = pool.alloc_area(&base, &capacity);
  if (first == nullptr) return T38__TRAP__IFP_PCK__NO_MORE_BUFFER;
  if (header_room >= capacity) {
    pool.release(first);
    return T38__TRAP__IFP_PCK__NO_MORE_BUFFER;
  }
  // Nearly every packet fits the first buffer behind its header room.
  u8* area = base + header_room;
  per_writer direct(area, capacity - header_room);
  u16 trap = encode_body(direct, pck);
  const u32 length = trap == T38__TRAP__NONE ? direct.finish() : 0;
  if (length != 0) {
    pool.set_size(first, static_cast<u16>(header_room + length));
    pck.encoded = byte_ref{area, length, first};
    return T38__TRAP__NONE;
  }
  pool.release(first);
  // Too long for one buffer (or wrong): encode it whole, then lay it over
  // as many buffers as it takes.
  u32 need = 0;
  {
    // Each field takes at most one octet of header bits, two of length and
    // its data.
    u32 count = 0;
    for (const t38_data_field* f = pck.fields; f != nullptr; f = f->next) ++count;
    std::vector<u8> probe(16 + static_cast<std::size_t>(count) * (3 + T38__MAX_SIZE_DATA_FIELD));
    per_writer w(probe.data(), static_cast<u32>(probe.size()));
    trap = encode_body(w, pck);
    if (trap != T38__TRAP__NONE) return trap;
    need = w.finish();
    probe.resize(need);
    asnp_context ctx;
    if (asnp_init_encode(ctx, nullptr, 0, header_room, &pool) != ASNP_OK) return T38__TRAP__IFP_PCK__NO_MORE_BUFFER;
    u8* data = nullptr;
    u32 length = 0;
    chain_buf chain = nullptr;
    if (asnp_put_octets(ctx, probe.data(), need) != ASNP_OK ||
        asnp_end_encode(ctx, &data, &length, &chain) != ASNP_OK) {
      asnp_release(ctx);
      return T38__TRAP__IFP_PCK__NO_MORE_BUFFER;
    }
    pck.encoded = byte_ref{data, length, chain};
  }
  return T38__TRAP__NONE;
}

u16 encode_ifp_packet_flat(const t38_ifp_packet& pck, u8* out, u32 size, u32* length) {
  if (out == nullptr) return T38__TRAP__IFP_PCK__ERR_COD_IFP_PCK;
  per_writer w(out, size);
  u16 trap = encode_body(w, pck);
  if (trap != T38__TRAP__NONE) return trap;
  const u32 n = w.finish();
  if (n == 0) return T38__TRAP__IFP_PCK__ERR_COD_IFP_PCK;
  if (length != nullptr) *length = n;
  return T38__TRAP__NONE;
}

u16 decode_ifp_packet(u8 mode, const t38_ifp_decode_env& env, t38_ifp_packet& pck) {
  u16 trap = T38__TRAP__NONE;
  if (env.fields == nullptr) {
    trap = T38__TRAP__IFP_PCK__NO_MORE_DATA_FIELD;
  } else {
    // The reader wants the packet in one piece: a packet spread over several
    // buffers is gathered first.
    const u8* bytes = pck.encoded.first;
    u32 length = pck.encoded.length;
    std::vector<u8> gathered;
    if (pck.encoded.chain != nullptr && env.chains != nullptr) {
      if (env.chains->bytes_from(pck.encoded.chain, &bytes) < length) {
        gathered.resize(length);
        length = static_cast<u32>(copy_bytes(env.chains, pck.encoded, gathered.data(), length));
        bytes = gathered.data();
      }
    }
    if (bytes == nullptr) length = 0;
    field_list_builder out(*env.fields);
    per_reader r(bytes, length);
    trap = decode_body(r, env, pck, out);
    if (trap != T38__TRAP__NONE) {
      out.discard();
    } else {
      pck.fields = out.take();
      pck.decoded = 1;
    }
  }
  if (mode == T38_IFP__DECODE_RELEASE) {
    if (pck.encoded.chain != nullptr && env.chains != nullptr) env.chains->release(pck.encoded.chain);
    pck.encoded = byte_ref{};
  }
  return trap;
}

}  // namespace kv::t38
