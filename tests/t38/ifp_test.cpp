// IFP packet codec: wire bytes of indicators and data packets, bit order of
// field data, errors of malformed packets, and how received fields fill
// 50-byte data-field objects.
#include "t38/ifp.h"

#include <gtest/gtest.h>

#include <vector>

#include "t38/support/ifp_fixtures.h"
#include "t38/t38_traps.h"

namespace kv::t38 {
namespace {

using testing::bytes_of;
using testing::chain_of;
using testing::encode_flat;
using testing::field_def;
using testing::fields_of;
using testing::make_fields;
using bytes = std::vector<uint8_t>;

constexpr uint8_t data_byte(uint8_t value) { return static_cast<uint8_t>(T38_IFP__DATA_BIT | value); }

bytes seq_bytes(std::size_t n, uint8_t start) {
  bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(start + i);
  return b;
}

// Decodes flat bytes; the field list is returned in `fields`.
struct decoded {
  uint16_t trap = 0;
  uint8_t type = 0;
  uint8_t type_value = 0;
  std::vector<field_def> fields;
  std::vector<uint8_t> continued;
  std::vector<uint8_t> packed;
};

bool operator==(const decoded& a, const decoded& b) {
  return a.trap == b.trap && a.type == b.type && a.type_value == b.type_value && a.fields == b.fields &&
         a.continued == b.continued && a.packed == b.packed;
}

// Decodes `in` held flat (chain_buffer 0) or in a chain of buffers of that
// many bytes.
decoded decode_held(const bytes& in, std::size_t chain_buffer, bool optimize, std::size_t field_limit) {
  heap_field_pool fields(field_limit);
  heap_chain_pool chains(static_cast<u16>(chain_buffer + 2));
  t38_ifp_packet pck;
  if (chain_buffer == 0 || in.empty()) {
    pck.encoded.first = in.data();
  } else {
    pck.encoded.chain = chain_of(chains, in, chain_buffer);
    pck.encoded.first = chains.data(pck.encoded.chain);
  }
  pck.encoded.length = static_cast<uint32_t>(in.size());
  t38_ifp_decode_env env{&chains, &fields, optimize};
  decoded out;
  out.trap = decode_ifp_packet(T38_IFP__DECODE_RELEASE, env, pck);
  out.type = pck.type;
  out.type_value = pck.type_value;
  out.fields = fields_of(pck.fields);
  for (auto* f = pck.fields; f != nullptr; f = f->next) {
    out.continued.push_back(f->continued);
    out.packed.push_back(f->packed);
  }
  t38_ifp__free_data_fields(fields, pck.fields);
  EXPECT_EQ(fields.live(), 0u);
  EXPECT_EQ(chains.live(), 0u);  // released in mode 1, success or not
  if (out.trap != 0) {
    EXPECT_TRUE(out.fields.empty());
  }
  return out;
}

// Decodes from a chain of small buffers, so that fields straddle them, and
// checks that the same bytes held flat and in one large buffer decode alike.
decoded decode(const bytes& in, bool optimize = false, std::size_t field_limit = SIZE_MAX) {
  decoded out = decode_held(in, 5, optimize, field_limit);
  EXPECT_TRUE(decode_held(in, 0, optimize, field_limit) == out) << "flat";
  EXPECT_TRUE(decode_held(in, 1600, optimize, field_limit) == out) << "one buffer";
  return out;
}

TEST(IfpEncode, WireBytes) {
  struct row {
    const char* what;
    uint8_t type_byte;
    std::vector<field_def> fields;
    bytes wire;
  };
  const row rows[] = {
      {"no-signal", T38_IND__NO_SIGNAL, {}, {0x00}},
      {"cng", T38_IND__CNG, {}, {0x02}},
      {"ced", T38_IND__CED, {}, {0x04}},
      {"v21-preamble", T38_IND__V21_PREAMBLE, {}, {0x06}},
      {"v17-14400-long-training", T38_IND__V17_14400_LONG_TRAINING, {}, {0x1E}},
      // data v21, one hdlc-data field FF 13 in engine order -> FF C8 on the wire
      {"hdlc-data",
       data_byte(T38_DATA__V21),
       {{T38_FIELD__HDLC_DATA, {0xFF, 0x13}}},
       {0xC0, 0x01, 0x80, 0x00, 0x01, 0xFF, 0xC8}},
      {"v17-14400 t4 data",
       data_byte(T38_DATA__V17_14400),
       {{T38_FIELD__T4_NON_ECM_DATA, {0x01}}},
       {0xD0, 0x01, 0xE0, 0x00, 0x00, 0x80}},
      // two empty fields share one octet: 0 010 | 0 001
      {"fcs-OK + sig-end",
       data_byte(T38_DATA__V21),
       {{T38_FIELD__HDLC_FCS_OK, {}}, {T38_FIELD__HDLC_SIG_END, {}}},
       {0xC0, 0x02, 0x21}},
  };
  for (const auto& r : rows) EXPECT_EQ(encode_flat(r.type_byte, r.fields), r.wire) << r.what;
}

TEST(IfpRoundTrip, EveryDataValueAndFieldType) {
  for (uint8_t value = 0; value <= T38_IFP__DATA_HIGHEST_ROOT; ++value) {
    for (uint8_t type = 0; type <= T38_FIELD__T4_NON_ECM_SIG_END; ++type) {
      std::vector<field_def> fields{{type, seq_bytes(17, static_cast<uint8_t>(value * 16 + type))},
                                    {T38_FIELD__HDLC_DATA, {}}};
      decoded d = decode(encode_flat(data_byte(value), fields));
      ASSERT_EQ(d.trap, 0) << int(value) << "/" << int(type);
      EXPECT_EQ(d.type, T38_IFP__TYPE_DATA);
      EXPECT_EQ(d.type_value, data_byte(value));
      EXPECT_EQ(d.fields, fields);
    }
  }
  for (uint8_t ind = 0; ind <= T38_IFP__INDICATOR_HIGHEST_ROOT; ++ind) {
    decoded d = decode(encode_flat(ind, {}));
    ASSERT_EQ(d.trap, 0);
    EXPECT_EQ(d.type, T38_IFP__TYPE_T30_INDICATOR);
    EXPECT_EQ(d.type_value, ind);
  }
}

// The field data is bit-reversed in steps of 16, 8 and 4 bytes and the
// rest byte by byte: every length of a field, on the wire and back.
TEST(IfpRoundTrip, EveryFieldLength) {
  for (uint16_t n = 1; n <= T38__MAX_SIZE_DATA_FIELD; ++n) {
    bytes payload(n);
    for (uint16_t i = 0; i < n; ++i) payload[i] = static_cast<uint8_t>(i * 37 + n * 11 + 1);
    const std::vector<field_def> fields{{T38_FIELD__T4_NON_ECM_DATA, payload}};
    const bytes wire = encode_flat(data_byte(T38_DATA__V17_14400), fields);
    ASSERT_EQ(wire.size(), 5u + n) << n;
    for (uint16_t i = 0; i < n; ++i) ASSERT_EQ(wire[5 + i], t38_ifp__reverse_bits(payload[i])) << n << "/" << i;
    decoded d = decode(wire);
    ASSERT_EQ(d.trap, 0) << n;
    EXPECT_EQ(d.fields, fields) << n;
  }
}

TEST(IfpEncode, ChainedEncodingKeepsHeaderRoomAndBitReversesWithoutTouchingTheFields) {
  heap_field_pool fields;
  heap_chain_pool chains(8);
  t38_ifp_packet pck;
  t38_data_field* list = make_fields(fields, {{T38_FIELD__T4_NON_ECM_DATA, seq_bytes(20, 1)}});
  ASSERT_EQ(t38_ifp__set_type(pck, data_byte(T38_DATA__V29_9600), list), 0);
  ASSERT_EQ(encode_ifp_packet(pck, 4, chains), 0);
  EXPECT_EQ(pck.encoded.first, chains.data(pck.encoded.chain) + 4);
  bytes wire = bytes_of(&chains, pck.encoded);
  bytes flat = encode_flat(data_byte(T38_DATA__V29_9600), {{T38_FIELD__T4_NON_ECM_DATA, seq_bytes(20, 1)}});
  EXPECT_EQ(wire, flat);
  EXPECT_EQ(wire[5], t38_ifp__reverse_bits(1));
  EXPECT_EQ(list->data[0], 1);  // the caller's field stays in engine order
  chains.release(pck.encoded.chain);
  t38_ifp__free_data_fields(fields, list);
}

TEST(IfpEncode, Failures) {
  heap_field_pool fields;
  t38_ifp_packet pck;
  EXPECT_EQ(t38_ifp__set_type(pck, data_byte(T38_DATA__V21), nullptr), T38__TRAP__IFP_PCK__MISSING_DATA_FIELD);
  t38_data_field* list = make_fields(fields, {{T38_FIELD__HDLC_DATA, {1}}});
  EXPECT_EQ(t38_ifp__set_type(pck, T38_IND__CED, list), T38__TRAP__IFP_PCK__DATA_FIELD_PRESENT);
  ASSERT_EQ(t38_ifp__set_type(pck, data_byte(T38_DATA__V21), list), 0);

  heap_chain_pool none(64, 0);
  EXPECT_EQ(encode_ifp_packet(pck, 0, none), T38__TRAP__IFP_PCK__NO_MORE_BUFFER);
  heap_chain_pool tiny(4, 1);  // the first buffer only: runs out inside the field
  EXPECT_EQ(encode_ifp_packet(pck, 0, tiny), T38__TRAP__IFP_PCK__NO_MORE_BUFFER);
  EXPECT_EQ(tiny.live(), 0u);

  list->length = T38__MAX_SIZE_DATA_FIELD + 1;
  uint8_t area[128];
  uint32_t length = 0;
  EXPECT_EQ(encode_ifp_packet_flat(pck, area, sizeof area, &length), T38__TRAP__IFP_PCK__ERR_COD_IFP_PCK_10);
  list->length = 1;
  list->field_type = 8;
  EXPECT_EQ(encode_ifp_packet_flat(pck, area, sizeof area, &length), T38__TRAP__IFP_PCK__ERR_COD_IFP_PCK_9);
  t38_ifp__free_data_fields(fields, list);
}

TEST(IfpDecode, MalformedPackets) {
  struct row {
    const char* what;
    bytes in;
    uint16_t trap;
  };
  const row rows[] = {
      {"empty", {}, T38__TRAP__IFP_PCK__ERR_DECOD_IFP_PCK_1},
      {"indicator extension value 16", {0x20, 0x00}, T38__TRAP__IFP_PCK__ERR_DECOD_IFP_PCK_4},
      {"indicator extension cut short", {0x20}, T38__TRAP__IFP_PCK__ERR_DECOD_IFP_PCK_3},
      {"data value 9", {0x52}, T38__TRAP__IFP_PCK__ERR_DECOD_IFP_PCK_6},
      {"data extension value cut", {0x60}, T38__TRAP__IFP_PCK__ERR_DECOD_IFP_PCK_5},
      {"no field count", {0xC0}, T38__TRAP__IFP_PCK__ERR_DECOD_IFP_PCK_8},
      {"count beyond the data", {0xC0, 0x7F, 0x80}, T38__TRAP__IFP_PCK__ERR_DECOD_IFP_PCK_8},
      {"field missing", {0xC0, 0x01}, T38__TRAP__IFP_PCK__ERR_DECOD_IFP_PCK_10},
      {"field length missing", {0xC0, 0x01, 0x80}, T38__TRAP__IFP_PCK__ERR_DECOD_IFP_PCK_13},
      {"field length lies", {0xC0, 0x01, 0x80, 0x00, 0x31, 1, 2, 3}, T38__TRAP__IFP_PCK__ERR_DECOD_IFP_PCK_13},
      {"second field cut", {0xC0, 0x02, 0x80, 0x00, 0x00, 0x55}, T38__TRAP__IFP_PCK__ERR_DECOD_IFP_PCK_10},
  };
  for (const auto& r : rows) EXPECT_EQ(decode(r.in).trap, r.trap) << r.what;
}

TEST(IfpDecode, LongFieldsContinueInNewObjects) {
  struct row {
    uint8_t type;
    std::size_t length;
    std::vector<uint8_t> types;  // of the objects, in order
    std::vector<std::size_t> sizes;
  };
  const row rows[] = {
      {T38_FIELD__HDLC_DATA, 120, {0, 0, 0}, {50, 50, 20}},    {T38_FIELD__HDLC_FCS_OK, 120, {0, 0, 2}, {50, 50, 20}},
      {T38_FIELD__HDLC_FCS_BAD_SIG_END, 60, {0, 5}, {50, 10}}, {T38_FIELD__T4_NON_ECM_SIG_END, 60, {6, 7}, {50, 10}},
      {T38_FIELD__HDLC_SIG_END, 51, {1, 1}, {50, 1}},          {T38_FIELD__T4_NON_ECM_DATA, 100, {6, 6}, {50, 50}},
  };
  for (const auto& r : rows) {
    // Built straight in PER: one field longer than a data-field object.
    bytes payload = seq_bytes(r.length, 3);
    bytes in{0xC0, 0x01, static_cast<uint8_t>(0x80 | (r.type << 4)), 0x00, static_cast<uint8_t>(r.length - 1)};
    for (uint8_t b : payload) in.push_back(t38_ifp__reverse_bits(b));
    decoded d = decode(in);
    ASSERT_EQ(d.trap, 0);
    std::vector<uint8_t> types;
    std::vector<std::size_t> sizes;
    bytes joined;
    for (const auto& f : d.fields) {
      types.push_back(f.type);
      sizes.push_back(f.data.size());
      joined.insert(joined.end(), f.data.begin(), f.data.end());
    }
    EXPECT_EQ(types, r.types) << "type " << int(r.type);
    EXPECT_EQ(sizes, r.sizes) << "type " << int(r.type);
    EXPECT_EQ(joined, payload);
    for (std::size_t i = 0; i + 1 < d.continued.size(); ++i) EXPECT_EQ(d.continued[i], 1);
    EXPECT_EQ(d.continued.back(), 0);
  }
}

TEST(IfpDecode, PackingOfConsecutiveFields) {
  std::vector<field_def> frame_end{
      {T38_FIELD__HDLC_DATA, seq_bytes(10, 0)}, {T38_FIELD__HDLC_DATA, seq_bytes(5, 10)}, {T38_FIELD__HDLC_FCS_OK, {}}};
  bytes wire = encode_flat(data_byte(T38_DATA__V21), frame_end);

  decoded apart = decode(wire, false);
  EXPECT_EQ(apart.fields, frame_end);

  decoded packed = decode(wire, true);
  ASSERT_EQ(packed.fields.size(), 1u);
  EXPECT_EQ(packed.fields[0].type, T38_FIELD__HDLC_FCS_OK);
  EXPECT_EQ(packed.fields[0].data, seq_bytes(15, 0));
  EXPECT_EQ(packed.packed[0], 3);

  // Packing stops at a full object: the overflow goes on in the next one.
  bytes overflow = encode_flat(data_byte(T38_DATA__V21),
                               {{T38_FIELD__HDLC_DATA, seq_bytes(40, 0)}, {T38_FIELD__HDLC_DATA, seq_bytes(20, 40)}});
  decoded o = decode(overflow, true);
  ASSERT_EQ(o.fields.size(), 2u);
  EXPECT_EQ(o.fields[0].data, seq_bytes(50, 0));
  EXPECT_EQ(o.continued[0], 1);
  EXPECT_EQ(o.fields[1].data, seq_bytes(10, 50));

  // A frame end with data closes its object even with room left.
  decoded ends = decode(
      encode_flat(data_byte(T38_DATA__V21), {{T38_FIELD__HDLC_FCS_OK_SIG_END, {1, 2}}, {T38_FIELD__HDLC_DATA, {3}}}),
      true);
  ASSERT_EQ(ends.fields.size(), 2u);
  EXPECT_EQ(ends.fields[0].type, T38_FIELD__HDLC_FCS_OK_SIG_END);
}

TEST(IfpDecode, FieldPoolExhaustionLeavesNothingAllocated) {
  bytes in{0xC0, 0x01, 0x80, 0x00, 119};
  in.resize(in.size() + 120, 0x11);
  EXPECT_EQ(decode(in, false, 2).trap, T38__TRAP__IFP_PCK__NO_MORE_DATA_FIELD);
  EXPECT_EQ(decode(in, false, 0).trap, T38__TRAP__IFP_PCK__NO_MORE_DATA_FIELD);
}

TEST(IfpDecode, KeepModeLeavesTheEncodingWithItsOwner) {
  heap_field_pool fields;
  heap_chain_pool chains(16);
  bytes wire = encode_flat(T38_IND__CED, {});
  t38_ifp_packet pck;
  pck.encoded.chain = chain_of(chains, wire, 16);
  pck.encoded.first = chains.data(pck.encoded.chain);
  pck.encoded.length = 1;
  t38_ifp_decode_env env{&chains, &fields, false};
  ASSERT_EQ(decode_ifp_packet(T38_IFP__DECODE_KEEP, env, pck), 0);
  EXPECT_EQ(pck.decoded, 1);
  EXPECT_EQ(pck.type_value, T38_IND__CED);
  EXPECT_EQ(chains.live(), 1u);
  chains.release(pck.encoded.chain);
}

}  // namespace
}  // namespace kv::t38
