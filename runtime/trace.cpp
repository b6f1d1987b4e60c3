// The message trace ring, the trace mask and the audit hook.
#include <cstring>

#include "common/byte_order.h"
#include "runtime/om_os_internal.h"
#include "runtime/timer.h"

using namespace om_os_rt;

namespace {

alignas(16) u8 ring[OM_OS_TRACE_RECORDS][OM_OS_TRACE_RECORD_SIZE];
u32 next_index = 1;
om_os_audit_hook_t audit_hook = nullptr;

// Addresses are recorded as their low 32 bits.
u32 addr32(const void* p) { return static_cast<u32>(reinterpret_cast<uintptr_t>(p)); }

// Takes the next record and marks the following one as the end.
u8* take_record() {
  om_os_lock_hold hold;
  u8* r = ring[next_index];
  next_index = next_index + 1 >= OM_OS_TRACE_RECORDS ? 1 : next_index + 1;
  std::memcpy(ring[next_index], "????", 4);
  return r;
}

void fill_common(u8* r, u8 letter) {
  put_le32(r + 0, om_os_tick());
  r[4] = letter;
  r[14] = g.congestion.load();
  // Counters are read without their locks: a record may be written while
  // CACH or TIMR is held, and a slightly stale count is good enough here.
  // They are relaxed atomics (relaxed_value) so that these reads are sound.
  u16 timers = 0;
  timers_stats(&timers);
  const u16 counters[9] = {g.msgs.in_use,   g.bufs.in_use,      timers,
                           g.it_msgs.count, g.it_bufs.count,    g.msgs.episodes,
                           g.bufs.episodes, g.it_msgs.episodes, g.it_bufs.episodes};
  for (int i = 0; i < 9; ++i) put_le16(r + 16 + 2 * i, counters[i]);
}

void write_description(u8* r) {
  std::memset(r, 0, OM_OS_TRACE_RECORD_SIZE);
  put_le32(r + 0, 0x89ABCDEF);
  r[4] = 0x12;
  r[5] = 0x13;
  r[6] = 0x14;
  r[7] = 0x15;
  put_le16(r + 8, 0x1616);
  r[10] = 0x17;
  put_le16(r + 12, 0x1818);
  r[14] = 0x19;
  const u16 c[9] = {0x3333, 0x4444, 0x5555, 0x6666, 0x7777, 0x8888, 0x9999, 0xAAAA, 0xBBBB};
  for (int i = 0; i < 9; ++i) put_le16(r + 16 + 2 * i, c[i]);
  put_le32(r + 36, 0xCCCCCCCC);
  put_le32(r + 40, 0xDDDDDDDD);
  put_le16(r + 44, 0xEEEE);
  const u8 d[6] = {0xFF, 0x01, '@', 0x01, static_cast<u8>(Timer_get_unit()), 0x02};
  std::memcpy(r + 46, d, sizeof d);
}

}  // namespace

void om_os_rt::audit(u8 letter, const msg_t* m) {
  om_os_audit_hook_t h = audit_hook;
  if (h) h(letter, m);
}

void om_os_rt::trace_reset() {
  om_os_lock_hold hold;
  std::memset(ring, 0, sizeof ring);
  write_description(ring[0]);
  next_index = 1;
}

void om_os_trace_record(u8 letter, const msg_t* m) {
  u8* r = take_record();
  fill_common(r, letter);
  if (m) {
    r[5] = m->from;
    r[6] = m->to;
    r[7] = m->code;
    put_le16(r + 8, m->nai);
    r[10] = m->sapi;
    put_le16(r + 12, m->conn_id);
    put_le32(r + 36, addr32(m));
    put_le32(r + 40, addr32(m->p_buffer));
    u16 len = Msg_data_size(m);
    put_le16(r + 44, len);
    // Copy no further than the record's room allows, whatever the header says.
    i32 room = m->p_buffer ? static_cast<i32>(g.buffer_size) - m->p_buffer->data_offset
                           : static_cast<i32>(g.msg_size) - m->data_offset;
    if (m->data_offset < MSG_HEADER_SIZE && !m->p_buffer) room = 0;
    if (m->p_buffer && m->p_buffer->data_offset < BUFFER_HEADER_SIZE) room = 0;
    u32 n = len < OM_OS_TRACE_DATA_MAX ? len : OM_OS_TRACE_DATA_MAX;
    if (room < 0) room = 0;
    if (n > static_cast<u32>(room)) n = static_cast<u32>(room);
    std::memcpy(r + 46, Msg_data(m), n);
  }
  audit(letter, m);
}

void om_os_rt::trace_pool_op(u8 letter, const msg_t* m, const buffer_t* b) {
  u8* r = take_record();
  fill_common(r, letter);
  r[5] = static_cast<u8>(om_os_current_entity());
  r[6] = ENT_NIL;
  r[7] = 0;
  put_le16(r + 8, 0);
  r[10] = 0;
  put_le16(r + 12, 0);
  put_le32(r + 36, addr32(m));
  put_le32(r + 40, addr32(b ? b : (m ? m->p_buffer : nullptr)));
  put_le16(r + 44, 0);
  audit(letter, m);
}

void om_os_rt::trace_timer_op(u8 letter, const timer_trace_info& t) {
  u8* r = take_record();
  fill_common(r, letter);
  r[5] = static_cast<u8>(om_os_current_entity());
  r[6] = t.entity;
  r[7] = t.code;
  put_le16(r + 8, t.nai);
  r[10] = t.sapi;
  put_le16(r + 12, t.conn_id);
  put_le32(r + 36, addr32(t.cell));
  put_le32(r + 40, 0);
  put_le16(r + 44, 0);
  audit(letter, nullptr);
}

void om_os_set_trace_mask(u32 v) {
  if (v == 0) v = 0xFFFF83FFu;
  else if (v == 1) v = 0x300;
  g.trace_mask.store(v);
}

u32 om_os_get_trace_mask() { return g.trace_mask.load(); }

void om_os_set_audit_hook(om_os_audit_hook_t hook) { audit_hook = hook; }

const u8* om_os_trace_ring() { return &ring[0][0]; }

u32 om_os_trace_next_index() {
  om_os_lock_hold hold;
  u32 n = next_index;
  return n;
}
