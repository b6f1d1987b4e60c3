// Test helpers of the SSC-to-SIP bridge: a runtime in manual mode, handles
// built field by field, and the nodes of an encoded primitive body.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/byte_order.h"
#include "runtime/om_os.h"
#include "runtime/support/rt_harness.h"
#include "sip/prim/ssc_msg.h"
#include "sip/prim/ssc_record_codec.h"

namespace ssc_bridge_test {

inline const entity_table_row_t TABLE[] = {
    {ENT_SM, rt_test::record_handler, 0, 0, nullptr, 0},
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

class Runtime : public ::testing::Test {
 protected:
  void SetUp() override {
    rt_test::start_manual(TABLE);
    rt_test::pump();
    rt_test::rec().clear();
    base_ = held();
  }
  void TearDown() override {
    for (ssc_handle* h : handles_) Ssc_free_handle(h);
    for (buffer_t* b : bodies_) Free_buffer(b);
    EXPECT_EQ(held(), base_) << "buffers leaked";
    rt_test::stop();
  }
  static int held() { return om_os_buffer_pool_stats().in_use - om_os_it_buffer_pool_stats().count; }

 public:
  ssc_handle* handle(ssc_msg_type type) {
    ssc_handle* h = Ssc_alloc_handle();
    EXPECT_NE(h, nullptr);
    EXPECT_EQ(Ssc_init_handle(h, type), 2);
    handles_.push_back(h);
    return h;
  }
  template <class T>
  T* add(ssc_handle* h, ssc_header_id id) {
    auto* p = static_cast<T*>(Ssc_alloc_header(h, id));
    EXPECT_NE(p, nullptr);
    return p;
  }
  // Encodes and keeps the body (freed at tear-down); the flat bytes.
  std::vector<u8> encode(ssc_handle* h, u8 expect = SSC_RC_OK, ssc_rc_fail* fail_out = nullptr) {
    buffer_t* out = nullptr;
    ssc_rc_fail fail;
    const u8 r = ssc_encode_to_sip(h, &out, &fail);
    EXPECT_EQ(r, expect) << "failed on SSC header " << int(ssc_idx(fail.id));
    if (fail_out) *fail_out = fail;
    if (out == nullptr) return {};
    bodies_.push_back(out);
    std::vector<u8> flat(Buffer_chain_length(out));
    u32 total = 0;
    Reassemble_buffers(flat.data(), static_cast<u32>(flat.size()), out, &total);
    flat.resize(total);
    return flat;
  }
  std::vector<ssc_handle*> handles_;
  std::vector<buffer_t*> bodies_;
  int base_ = 0;
};

// The slot offset of an SSC header in a type's list (0xFFFF: not listed).
inline u16 slot_of(ssc_msg_type type, ssc_header_id id) {
  const ssc_sip_map_row* r = ssc_sip_map__row(type);
  if (r == nullptr) return 0xFFFF;
  for (const ssc_sip_map_entry* e = r->list; ssc_idx(e->id) != SSC_MAP_END; ++e)
    if (e->id == id) return e->slot_offset;
  return 0xFFFF;
}

// The nodes of a slot's list in a flat body.
inline std::vector<const u8*> nodes(const std::vector<u8>& body, u16 slot) {
  std::vector<const u8*> out;
  if (slot == 0xFFFF || slot + 2u > body.size()) return out;
  for (u16 off = get_host16(&body[slot]); off != 0 && off < body.size() && out.size() < 64;
       off = get_host16(&body[off]))
    out.push_back(&body[off]);
  return out;
}
inline u16 w16(const u8* node, unsigned off) { return get_host16(node + off); }
inline u32 w32(const u8* node, unsigned off) { return get_host32(node + off); }

// The variable field of a node whose length slot is `slot`: the bytes behind
// the fixed part, after the fields of the lower length slots.
inline std::string var(const u8* node, u16 fixed_len, unsigned slot, const std::vector<unsigned>& length_slots) {
  unsigned at = fixed_len;
  for (unsigned s : length_slots) {
    if (s == slot) return std::string(reinterpret_cast<const char*>(node + at), w16(node, s));
    at += w16(node, s);
  }
  return {};
}

inline int list_length(ssc_handle* h, ssc_header_id id) {
  int n = 0;
  for (void* p = *Ssc_list_head(h, id); p != nullptr; p = *static_cast<void**>(p)) ++n;
  return n;
}

}  // namespace ssc_bridge_test
