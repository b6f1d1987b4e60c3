// Feeds arbitrary SSC message bodies to Ssc_unformat_msg.  Every input must
// end without a crash or an out-of-bounds read, every buffer must come back
// to the pool, and a body that was accepted must pack, unpack and pack again
// to the same bytes (directly and through Ssc_copy_msg).
//
// Input: flags (bits 0-1: buffers after the first; bit 2: the message comes
// from ENT_SM; bit 3: with code '!' rather than ' '), the primitive code,
// one u16 (little-endian) length per buffer but the last, then the body,
// cut into the buffers by those lengths (each at most one buffer's room).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/byte_order.h"
#include "runtime/msg.h"
#include "sip/prim/ssc_msg.h"
#include "tests/sip/prim/support/ssc_fuzz_runtime.h"

namespace {

using ssc_fuzz::held;

std::vector<u8> chain_bytes(const buffer_t* b) {
  std::vector<u8> out;
  for (; b; b = b->next) out.insert(out.end(), Buffer_data(b), Buffer_data(b) + b->data_size);
  return out;
}

// The packed form of h, or empty when it cannot be formatted.
std::vector<u8> packed(ssc_handle* h) {
  msg_t* m = SIP_sc_format_rq(0, 0, 0, h);
  if (!m) return {};
  std::vector<u8> v = chain_bytes(m->p_buffer);
  Free_msg(m);
  return v;
}

// Formats h, reads it back into r and returns the second packing.
std::vector<u8> repacked(ssc_handle* h, ssc_handle* r) {
  msg_t* m = SIP_sc_format_rq(0, 0, 0, h);
  if (!m) return {};
  m->from = ENT_SSC;
  m->to = ENT_FOIP;
  if (m->code == 0) m->code = CLOSE_SESS_CO;  // the close-session confirm row has no code
  if (h->type == ssc_msg_type::SM_RQ) {
    m->from = ENT_SSC;
    m->to = ENT_SM;
  }
  std::vector<u8> out;
  if (Ssc_unformat_msg(r, m) == OM_OS_OK) {
    out = packed(r);
  } else {
    std::abort();  // what we packed must read back
  }
  Free_msg(m);
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ssc_fuzz::start_runtime();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const int base = held();
  const u8 flags = data[0];
  const code_t code = data[1];
  size_t at = 2;
  const unsigned extra = flags & 3;
  const u16 room = om_os_get_buffer_room();
  std::vector<size_t> lengths;
  for (unsigned i = 0; i < extra && at + 2 <= size; ++i, at += 2) lengths.push_back(get_le16(data + at));
  lengths.push_back(size);  // the last buffer: the rest

  msg_t* m = Alloc_msg();
  if (!m) return 0;
  buffer_t* first = nullptr;
  buffer_t* last = nullptr;
  for (size_t len : lengths) {
    buffer_t* b = Alloc_buffer();
    if (!b) break;
    b->link_count = 1;
    size_t n = len < size - at ? len : size - at;
    if (n > room) n = room;
    if (n) std::memcpy(Buffer_data(b), data + at, n);
    b->data_size = static_cast<u16>(n);
    at += n;
    if (last) last->next = b;
    else first = b;
    last = b;
  }
  if (first) Msg_attach_chain(m, first);
  m->code = code;
  m->from = ENT_SSC;
  m->to = ENT_FOIP;
  if (flags & 4) {
    m->from = ENT_SM;
    m->to = ENT_SSC;
    m->code = (flags & 8) ? '!' : ' ';
  }

  ssc_handle* rx = Ssc_alloc_handle();
  ssc_handle* copy = Ssc_alloc_handle();
  ssc_handle* back = Ssc_alloc_handle();
  if (rx && copy && back && Ssc_unformat_msg(rx, m) == OM_OS_OK) {
    const std::vector<u8> once = packed(rx);
    if (Ssc_copy_msg(copy, rx)) {
      Free_msg(m);  // the copy must not need the received buffers
      m = nullptr;
      // Only the transaction number is copied; the other fixed fields are
      // the holder's.  Take them over to compare whole frames.
      copy->carried_byte_0 = rx->carried_byte_0;
      copy->carried_word_1 = rx->carried_word_1;
      copy->carried_word_2 = rx->carried_word_2;
      copy->carried_byte_1 = rx->carried_byte_1;
      copy->carried_byte_2 = rx->carried_byte_2;
      copy->addr_port = rx->addr_port;
      copy->addr_family = rx->addr_family;
      std::memcpy(copy->addr_v4, rx->addr_v4, sizeof rx->addr_v4);
      std::memcpy(copy->addr_v6, rx->addr_v6, sizeof rx->addr_v6);
      if (!once.empty() && packed(copy) != once) std::abort();
      if (!once.empty() && repacked(copy, back) != once) std::abort();
    }
  }
  if (m) Free_msg(m);
  Ssc_free_handle(back);
  Ssc_free_handle(copy);
  Ssc_free_handle(rx);
  om_os_run_ready(0);
  if (held() != base) std::abort();
  return 0;
}
