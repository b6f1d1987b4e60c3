// One protocol entity in a runtime of stand-ins, fed messages that the fuzz
// input chooses: who sends, which code (one the entity knows or any byte),
// which nai and connection, which body (inline or in a buffer chain), and
// how much time passes between them, so that the entity's own timers run.
// The stand-ins free what they are sent and keep a short note of it.
//
// Checked for every input: the runtime drains after every step (no message
// loop), and once the entity has released everything, every message and
// buffer is back in its pool.  Header only; one target per entity includes
// it and describes its entity with an entity_fuzz::target.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "runtime/buffer.h"
#include "runtime/entity.h"
#include "runtime/msg.h"
#include "runtime/om_os.h"
#include "runtime/sm.h"
#include "runtime/timer.h"

namespace entity_fuzz {

using bytes = std::vector<u8>;

// The fuzz input, read front to back; zeros once it is used up.
class reader {
 public:
  reader(const u8* data, std::size_t size) : p_(data), n_(size) {}
  bool empty() const { return n_ == 0; }
  u8 byte() {
    if (n_ == 0) return 0;
    --n_;
    return *p_++;
  }
  u16 word() { return static_cast<u16>(byte() | (byte() << 8)); }
  bytes take(std::size_t count) {
    if (count > n_) count = n_;
    bytes out(p_, p_ + count);
    p_ += count;
    n_ -= count;
    return out;
  }

 private:
  const u8* p_;
  std::size_t n_;
};

inline constexpr std::size_t kNotes = 4096;  // notes kept per input

// One message a stand-in was sent.
struct note {
  ent_id_t from, to;
  code_t code;
  nai_t nai;
  u16 conn_id;
  bytes head;  // the first bytes of its data
};

inline std::vector<note>& notes() {
  static std::vector<note> n;
  return n;
}
// Messages the harness sent, counted by sender and code.
inline std::vector<note>& posted() {
  static std::vector<note> n;
  return n;
}
inline int posted_count(ent_id_t from, code_t code) {
  int c = 0;
  for (const note& n : posted()) c += n.from == from && n.code == code ? 1 : 0;
  return c;
}

inline u32& now() {
  static u32 t = 1000;
  return t;
}
inline u32 read_clock() { return now(); }
inline void ignore_trap(u16, const char*) {}

// Bytes of a message, whether inline or chained.
inline bytes data_of(const msg_t* m) {
  bytes d;
  if (m->p_buffer != nullptr) {
    d.resize(Buffer_chain_length(m->p_buffer));
    u32 len = 0;
    Reassemble_buffers(d.data(), static_cast<u32>(d.size()), m->p_buffer, &len);
    d.resize(len);
  } else {
    d.assign(Msg_data(m), Msg_data(m) + m->data_size);
  }
  return d;
}

inline void remember(const msg_t* m) {
  if (notes().size() >= kNotes) return;
  note n{m->from, m->to, m->code, m->nai, m->conn_id, data_of(m)};
  if (n.head.size() > 16) n.head.resize(16);
  notes().push_back(n);
}

// A stand-in entity: notes the message and frees it.
inline void stand_in(msg_t* m) {
  remember(m);
  Free_msg(m);
}

// Runs the SM task until nothing waits; a runtime that never drains is a
// message loop.
inline void pump() {
  if (om_os_run_ready(0, 200000) >= 200000) __builtin_trap();
}

// Lets `ms` pass in steps of 10 ms, expiring timers on the way.
inline void advance(u32 ms) {
  for (u32 t = 0; t < ms; t += 10) {
    now() += 10;
    (void)om_os_timer_poll();
    pump();
  }
}

// Sends a message from `from` to `to`; the body inline when it fits and
// `chained` is false, else in a buffer chain.
inline void post(ent_id_t from, ent_id_t to, code_t code, nai_t nai, u8 sapi, u16 conn_id, const bytes& body,
                 bool chained, ent_id_t sm_target = 0) {
  msg_t* m = nullptr;
  if (!chained && body.size() <= om_os_get_msg_room()) {
    buffer_t* b = nullptr;
    u8* p = nullptr;
    Alloc_msg_data(&m, &b, static_cast<u32>(body.size()), &p);
    if (m == nullptr) return;
    if (!body.empty()) std::memcpy(p, body.data(), body.size());
  } else {
    m = Alloc_msg();
    if (m == nullptr) return;
    if (!body.empty()) {
      buffer_t* b = Store_data_in_buffers(body.data(), static_cast<u32>(body.size()), nullptr);
      if (b == nullptr) {
        Free_msg(m);
        return;
      }
      Msg_attach_chain(m, b);
    }
  }
  Msg_set_head(m, {from, to, code, nai, sapi, conn_id});
  posted().push_back(note{from, to, code, nai, conn_id, {}});
  if (sm_target != 0) Sm_set_target(m, sm_target);
  Send_msg(m);
  pump();
}

// Messages and buffers taken from the pools (those parked for the receive
// thread are not taken).
inline int msgs_held() { return om_os_msg_pool_stats().in_use - om_os_it_msg_pool_stats().count; }
inline int buffers_held() { return om_os_buffer_pool_stats().in_use - om_os_it_buffer_pool_stats().count; }

// Who may send to the entity, with the codes it is known to send.
struct source {
  ent_id_t from;
  u8 sapi;
  std::vector<code_t> codes;
};

struct target {
  const entity_table_row_t* table;  // the entity and its stand-ins
  ent_id_t entity;
  std::vector<source> sources;
  std::vector<nai_t> nais;     // the first is the configured one
  void (*configure)(reader&);  // after the start; may read the input
  void (*release)();           // frees every context, before the pools are checked
  void (*check)() = nullptr;   // further checks at the end of the input
};

// One input: start, configure, then records until the input is used up:
//   op (low two bits): 0, 1 a message from a source; 2 time passes; 3 a
//   message from a source with a long body (u16 length, up to 6000);
//   source index, code (bit 7 set: one of the source's codes, else the byte
//   itself), nai index, connection id (0, 0xFFFF or the byte), body length,
//   body; bit 2 of op puts a short body in a buffer chain.
inline int run(const target& t, const u8* data, std::size_t size) {
  if (size > 16384) return 0;
  notes().clear();
  posted().clear();
  now() = 1000;
  om_os_set_trap_handler(ignore_trap);
  om_os_set_tick_source(read_clock);
  om_os_start_options o;
  o.table = t.table;
  o.sm_thread = false;
  o.timer_thread = false;
  o.bkgr_thread = false;
  om_os_start_with(o);
  pump();
  const int msgs0 = msgs_held(), buffers0 = buffers_held();
  reader in(data, size);
  t.configure(in);
  for (int steps = 0; !in.empty() && steps < 2000; ++steps) {
    const u8 op = in.byte();
    if ((op & 3) == 2) {
      const u32 ms = (in.byte() + 1u) * 20u;
      advance(ms);
      continue;
    }
    const source& s = t.sources[in.byte() % t.sources.size()];
    const u8 c = in.byte();
    const code_t code = (c & 0x80) != 0 && !s.codes.empty() ? s.codes[c % s.codes.size()] : c;
    const nai_t nai = t.nais[in.byte() % t.nais.size()];
    const u8 k = in.byte();
    const u16 conn = k == 0 ? 0 : (k == 0xFF ? 0xFFFF : k);
    std::size_t len = (op & 3) == 3 ? in.word() % 6001 : in.byte();
    const bytes body = in.take(len);
    post(s.from, t.entity, code, nai, s.sapi, conn, body, (op & 4) != 0);
  }
  if (t.check != nullptr) t.check();
  t.release();
  pump();
  // Whatever the entity held is given back, what it sent was freed.
  if (msgs_held() != msgs0 || buffers_held() != buffers0) __builtin_trap();
  om_os_stop();
  om_os_set_tick_source(nullptr);
  return 0;
}

}  // namespace entity_fuzz
