#include "t38/ifp.h"

#include <array>

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

bool exhausted(const asnp_context& ctx) {
  return ctx.error == ASNP_ERR_NO_BUFFER || ctx.error == ASNP_ERR_OPEN_NO_BUFFER;
}

// Encoding failure: pool exhaustion wins over the step's own code.
u16 cod_fail(const asnp_context& ctx, u16 trap) { return exhausted(ctx) ? T38__TRAP__IFP_PCK__NO_MORE_BUFFER : trap; }

u16 encode_body(asnp_context& ctx, const t38_ifp_packet& pck) {
  bool is_data = pck.type == T38_IFP__TYPE_DATA;
  bool has_fields = pck.fields != nullptr;
  if (asnp_set_sequence(ctx, ASNP_KIND_ROOT, 1, has_fields ? 1 : 0) != ASNP_OK) {
    return cod_fail(ctx, has_fields ? T38__TRAP__IFP_PCK__ERR_COD_IFP_PCK_1 : T38__TRAP__IFP_PCK__ERR_COD_IFP_PCK_2);
  }
  if (asnp_set_choice(ctx, ASNP_KIND_ROOT, false, is_data ? 1 : 0, 1) != ASNP_OK) {
    return cod_fail(ctx, is_data ? T38__TRAP__IFP_PCK__ERR_COD_IFP_PCK_5 : T38__TRAP__IFP_PCK__ERR_COD_IFP_PCK_3);
  }
  u32 value = pck.type_value & 0x7F;
  u32 root = is_data ? T38_IFP__DATA_HIGHEST_ROOT : T38_IFP__INDICATOR_HIGHEST_ROOT;
  if (asnp_set_enumerated(ctx, ASNP_KIND_EXT, value > root, value, root) != ASNP_OK) {
    return cod_fail(ctx, is_data ? T38__TRAP__IFP_PCK__ERR_COD_IFP_PCK_6 : T38__TRAP__IFP_PCK__ERR_COD_IFP_PCK_4);
  }
  if (!has_fields) return T38__TRAP__NONE;
  u32 count = 0;
  for (const t38_data_field* f = pck.fields; f != nullptr; f = f->next) ++count;
  if (asnp_set_sequence_of(ctx, ASNP_KIND_ROOT, false, count) != ASNP_OK) {
    return cod_fail(ctx, T38__TRAP__IFP_PCK__ERR_COD_IFP_PCK_7);
  }
  for (const t38_data_field* f = pck.fields; f != nullptr; f = f->next) {
    if (asnp_set_sequence(ctx, ASNP_KIND_ROOT, 1, f->length != 0 ? 1 : 0) != ASNP_OK) {
      return cod_fail(ctx, T38__TRAP__IFP_PCK__ERR_COD_IFP_PCK_8);
    }
    if (asnp_set_enumerated(ctx, ASNP_KIND_ROOT, false, f->field_type, T38_FIELD__T4_NON_ECM_SIG_END) != ASNP_OK) {
      return cod_fail(ctx, T38__TRAP__IFP_PCK__ERR_COD_IFP_PCK_9);
    }
    if (f->length == 0) continue;
    if (f->length > T38__MAX_SIZE_DATA_FIELD) return T38__TRAP__IFP_PCK__ERR_COD_IFP_PCK_10;
    u8 wire[T38__MAX_SIZE_DATA_FIELD];
    for (u16 i = 0; i < f->length; ++i) wire[i] = kReverse[f->data[i]];
    if (asnp_set_octet_string(ctx, ASNP_KIND_ROOT, f->length, 1, 65535, wire) != ASNP_OK) {
      return cod_fail(ctx, T38__TRAP__IFP_PCK__ERR_COD_IFP_PCK_10);
    }
  }
  return T38__TRAP__NONE;
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

u16 dec_fail(const asnp_context& ctx, u16 trap) { return exhausted(ctx) ? T38__TRAP__IFP_PCK__NO_MORE_BUFFER : trap; }

u16 decode_fields(asnp_context& ctx, const t38_ifp_decode_env& env, field_list_builder& out) {
  u32 count = 0;
  if (asnp_get_sequence_of(ctx, ASNP_KIND_ROOT, nullptr, &count) != ASNP_OK) {
    return dec_fail(ctx, T38__TRAP__IFP_PCK__ERR_DECOD_IFP_PCK_8);
  }
  // Each field takes at least four bits: a larger count is a lie.
  if (count > 2 * (asnp_bytes_left(ctx) + 1)) return T38__TRAP__IFP_PCK__ERR_DECOD_IFP_PCK_8;
  for (u32 i = 0; i < count; ++i) {
    u8 has_data = 0;
    if (asnp_get_sequence(ctx, ASNP_KIND_ROOT, 1, &has_data) != ASNP_OK) {
      return dec_fail(ctx, T38__TRAP__IFP_PCK__ERR_DECOD_IFP_PCK_10);
    }
    u32 type = 0;
    if (asnp_get_enumerated(ctx, ASNP_KIND_ROOT, nullptr, &type, T38_FIELD__T4_NON_ECM_SIG_END) != ASNP_OK) {
      return dec_fail(ctx, T38__TRAP__IFP_PCK__ERR_DECOD_IFP_PCK_11);
    }
    if (type > T38_FIELD__T4_NON_ECM_SIG_END) return T38__TRAP__IFP_PCK__ERR_DECOD_IFP_PCK_12;
    t38_data_field* cur = out.open();
    if (cur == nullptr) return T38__TRAP__IFP_PCK__NO_MORE_DATA_FIELD;
    cur->field_type = static_cast<u8>(type);
    if (has_data == 0) {
      if (env.optimize_filling_dfield) ++cur->packed;
      out.close();
      continue;
    }
    u32 got = T38__MAX_SIZE_DATA_FIELD - cur->length;
    u8 r = asnp_get_octet_string(ctx, ASNP_KIND_ROOT, &got, 1, 65535, cur->data + cur->length);
    for (;;) {
      if (r != ASNP_OK && r != ASNP_MORE) return dec_fail(ctx, T38__TRAP__IFP_PCK__ERR_DECOD_IFP_PCK_13);
      for (u32 k = 0; k < got; ++k) cur->data[cur->length + k] = kReverse[cur->data[cur->length + k]];
      cur->length = static_cast<u16>(cur->length + got);
      if (r == ASNP_OK) break;
      // The field goes on: this object is full.
      cur->continued = 1;
      cur->field_type = continued_type(static_cast<u8>(type));
      out.close();
      cur = out.open();
      if (cur == nullptr) return T38__TRAP__IFP_PCK__NO_MORE_DATA_FIELD;
      cur->field_type = static_cast<u8>(type);
      got = T38__MAX_SIZE_DATA_FIELD;
      r = asnp_get_octet_string(ctx, ASNP_KIND_ROOT, &got, 1, 65535, cur->data);
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

u16 decode_body(asnp_context& ctx, const t38_ifp_decode_env& env, t38_ifp_packet& pck, field_list_builder& out) {
  u8 presence = 0;
  if (asnp_get_sequence(ctx, ASNP_KIND_ROOT, 1, &presence) != ASNP_OK) {
    return dec_fail(ctx, T38__TRAP__IFP_PCK__ERR_DECOD_IFP_PCK_1);
  }
  u32 choice = 0;
  if (asnp_get_choice(ctx, ASNP_KIND_ROOT, nullptr, &choice, 1) != ASNP_OK) {
    return dec_fail(ctx, T38__TRAP__IFP_PCK__ERR_DECOD_IFP_PCK_2);
  }
  u32 value = 0;
  if (choice == 0) {
    if (asnp_get_enumerated(ctx, ASNP_KIND_EXT, nullptr, &value, T38_IFP__INDICATOR_HIGHEST_ROOT) != ASNP_OK) {
      return dec_fail(ctx, T38__TRAP__IFP_PCK__ERR_DECOD_IFP_PCK_3);
    }
    if (value > T38_IFP__INDICATOR_HIGHEST_ROOT) return T38__TRAP__IFP_PCK__ERR_DECOD_IFP_PCK_4;
    pck.type = T38_IFP__TYPE_T30_INDICATOR;
    pck.type_value = static_cast<u8>(value);
  } else if (choice == 1) {
    if (asnp_get_enumerated(ctx, ASNP_KIND_EXT, nullptr, &value, T38_IFP__DATA_HIGHEST_ROOT) != ASNP_OK) {
      return dec_fail(ctx, T38__TRAP__IFP_PCK__ERR_DECOD_IFP_PCK_5);
    }
    if (value > T38_IFP__DATA_HIGHEST_ROOT) return T38__TRAP__IFP_PCK__ERR_DECOD_IFP_PCK_6;
    pck.type = T38_IFP__TYPE_DATA;
    pck.type_value = static_cast<u8>(T38_IFP__DATA_BIT | value);
  } else {
    return T38__TRAP__IFP_PCK__ERR_DECOD_IFP_PCK_7;
  }
  if (presence == 0) return T38__TRAP__NONE;
  return decode_fields(ctx, env, out);
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
  asnp_context ctx;
  if (asnp_init_encode(ctx, nullptr, 0, header_room, &pool) != ASNP_OK) return T38__TRAP__IFP_PCK__NO_MORE_BUFFER;
  u16 trap = encode_body(ctx, pck);
  if (trap != T38__TRAP__NONE) {
    asnp_release(ctx);
    return trap;
  }
  u8* data = nullptr;
  u32 length = 0;
  chain_buf chain = nullptr;
  if (asnp_end_encode(ctx, &data, &length, &chain) != ASNP_OK) {
    asnp_release(ctx);
    return T38__TRAP__IFP_PCK__NO_MORE_BUFFER;
  }
  pck.encoded = byte_ref{data, length, chain};
  return T38__TRAP__NONE;
}

u16 encode_ifp_packet_flat(const t38_ifp_packet& pck, u8* out, u32 size, u32* length) {
  asnp_context ctx;
  if (asnp_init_encode(ctx, out, size, 0, nullptr) != ASNP_OK) return T38__TRAP__IFP_PCK__ERR_COD_IFP_PCK;
  u16 trap = encode_body(ctx, pck);
  if (trap != T38__TRAP__NONE) return trap;
  if (asnp_end_encode(ctx, nullptr, length, nullptr) != ASNP_OK) return T38__TRAP__IFP_PCK__ERR_COD_IFP_PCK;
  return T38__TRAP__NONE;
}

u16 decode_ifp_packet(u8 mode, const t38_ifp_decode_env& env, t38_ifp_packet& pck) {
  u16 trap = T38__TRAP__NONE;
  if (env.fields == nullptr) {
    trap = T38__TRAP__IFP_PCK__NO_MORE_DATA_FIELD;
  } else {
    asnp_context ctx;
    field_list_builder out(*env.fields);
    if (asnp_init_decode(ctx, pck.encoded, env.chains) != ASNP_OK) {
      trap = T38__TRAP__IFP_PCK__ERR_DECOD_IFP_PCK_1;
    } else {
      trap = decode_body(ctx, env, pck, out);
    }
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
