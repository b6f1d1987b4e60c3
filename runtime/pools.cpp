// Message and buffer pools, the interrupt-side pools, congestion notices and
// the helpers that put data into messages.
#include <cstring>

#include "runtime/mem.h"
#include "runtime/om_os_internal.h"
#include "runtime/sm.h"

using namespace om_os_rt;

namespace {

constexpr u8 BUF_STATE_USED = 0xB5;
constexpr u8 BUF_STATE_FREE = 0x0F;

// Defaults of the interrupt-side watermarks for a 0 value.
constexpr u16 IT_MSG_DEFAULTS[5] = {8, 10, 12, 2, 6};  // low, normal, high, on, off
constexpr u16 IT_BUF_DEFAULTS[5] = {6, 8, 10, 2, 5};

msg_t* as_msg(void* p) { return static_cast<msg_t*>(p); }
buffer_t* as_buf(void* p) { return static_cast<buffer_t*>(p); }

void init_msg(msg_t* m) {
  m->link = nullptr;
  m->next = nullptr;
  m->p_buffer = nullptr;
  m->chain_size = 0;
  m->in_use = 1;
  m->data_offset = MSG_HEADER_SIZE;
  m->data_size = 0;
}

void init_buffer(buffer_t* b) {
  b->link_count = 0;
  b->next = nullptr;
  b->data_offset = BUFFER_HEADER_SIZE;
  b->data_size = 0;
  b->state = BUF_STATE_USED;
}

u32 msg_record_bytes() { return static_cast<u32>(sizeof(msg_t)) + (g.msg_size - MSG_HEADER_SIZE); }
u32 buffer_record_bytes() { return static_cast<u32>(sizeof(buffer_t)) + (g.buffer_size - BUFFER_HEADER_SIZE); }

bool any_congested() { return g.msgs.congested || g.bufs.congested || g.it_msgs.congested || g.it_bufs.congested; }

// Under the pool lock: marks a pool congested; true when a busy notice must
// be sent (after the lock is left).
bool raise_locked(u8* flag, relaxed_value<u16>* episodes) {
  *flag = 1;
  ++*episodes;
  if (g.congestion.load() == 1) return false;
  g.congestion.store(1);
  return g.want_busy_any != 0;
}

bool clear_locked(u8* flag) {
  *flag = 0;
  if (any_congested()) return false;
  if (g.congestion.load() == 0) return false;
  g.congestion.store(0);
  return g.want_clr_any != 0;
}

// Congestion check of a normal pool after an allocation / a release.
void check_raise(pool_state& p, u16 in_use) {
  bool send = false;
  {
    om_os_lock_hold hold;
    if (!p.congested && static_cast<i32>(p.limit) - in_use <= static_cast<i32>(p.cong_on))
      send = raise_locked(&p.congested, &p.episodes);
  }
  if (send) send_congestion_notice(SM_BUSY_IN, false);
}

void check_clear(pool_state& p, u16 in_use) {
  bool send = false;
  {
    om_os_lock_hold hold;
    if (p.congested && static_cast<i32>(p.limit) - in_use >= static_cast<i32>(p.cong_off))
      send = clear_locked(&p.congested);
  }
  if (send) send_congestion_notice(SM_CLR_BUSY_IN, false);
}

// Under the pool lock: pushes onto an interrupt-side pool; true when a clear
// notice is due.
bool it_push_locked(it_pool_state& p, void* rec, void** link_field) {
  *link_field = p.head;
  p.head = rec;
  ++p.count;
  if (p.congested && p.count == p.cong_off) return clear_locked(&p.congested);
  return false;
}

// Under the pool lock: pops from an interrupt-side pool; null when empty.
template <class Rec>
Rec* it_pop_locked(it_pool_state& p, Rec* Rec::*link) {
  Rec* r = static_cast<Rec*>(p.head);
  if (r) {
    p.head = r->*link;
    --p.count;
  }
  return r;
}

// Under the pool lock: takes a record for a caller, with the congestion check
// and the low-water mark; *raise is set when a busy notice is due.
template <class Rec>
Rec* it_take_locked(it_pool_state& p, Rec* Rec::*link, bool* raise) {
  Rec* r = it_pop_locked(p, link);
  if (r) {
    if (!p.congested && p.count == p.cong_on) *raise = raise_locked(&p.congested, &p.episodes);
    if (p.count < p.lowest) p.lowest = p.count;
  }
  return r;
}

// Takes a record from an interrupt-side pool for a caller: `taken` readies
// and traces it before a busy notice that is due goes out.  Null when the
// pool is empty.
template <class Rec, class Taken>
Rec* it_get(it_pool_state& p, Rec* Rec::*link, Taken taken) {
  bool raise = false;
  Rec* r = nullptr;
  {
    om_os_lock_hold hold;
    r = it_take_locked(p, link, &raise);
  }
  if (!r) return nullptr;
  taken(r);
  if (raise) send_congestion_notice(SM_BUSY_IN, true);
  return r;
}

// Empties an interrupt-side pool; `release` readies each record and hands
// it back to its normal pool.
template <class Rec, class Release>
void it_drain(it_pool_state& p, Rec* Rec::*link, Release release) {
  for (;;) {
    Rec* r = nullptr;
    {
      om_os_lock_hold hold;
      r = it_pop_locked(p, link);
    }
    if (!r) break;
    release(r);
  }
}

// Gives a readied record back to an interrupt-side pool: `traced` traces it
// before a clear notice that is due goes out.
template <class Traced>
void it_give_back(it_pool_state& p, void* rec, void** link_field, Traced traced) {
  bool clear = false;
  {
    om_os_lock_hold hold;
    clear = it_push_locked(p, rec, link_field);
  }
  traced();
  if (clear) send_congestion_notice(SM_CLR_BUSY_IN, true);
}

// Returns a record to its normal pool (cache or heap).  false when none is
// counted in use (the caller traps).
bool pool_release(pool_state& p, void* rec, void** link_field, u8 kind, u16* in_use_after) {
  bool to_heap = false;
  {
    plat_cs_hold hold(cs_cach);
    if (p.in_use == 0) return false;
    --p.in_use;
    *in_use_after = p.in_use;
    if (p.cache_count >= p.cache_limit) {
      to_heap = true;
    } else {
      *link_field = p.cache_head;
      p.cache_head = rec;
      ++p.cache_count;
    }
  }
  if (to_heap) om_os_mem_free(rec, kind);
  return true;
}

// Takes a record from a normal pool, with the busy notice that may be due;
// null (with the trap) at the limit.
void* pool_take(pool_state& p, u8 kind, u32 bytes, u16 trap) {
  u16 n = 0;
  bool over = false;
  void* rec = nullptr;
  {
    plat_cs_hold hold(cs_cach);
    n = static_cast<u16>(p.in_use + 1);
    over = n == 0 || n > p.limit;
    if (!over) {
      p.in_use = n;
      if (n > p.high_water) p.high_water = n;
      if (p.cache_count != 0) {
        rec = p.cache_head;
        // Cached records chain through their first pointer-sized link field.
        p.cache_head =
            (kind == OM_OS_MEM_MSG) ? static_cast<void*>(as_msg(rec)->link) : static_cast<void*>(as_buf(rec)->next);
        --p.cache_count;
      }
    }
  }
  if (over) {
    om_os_trap(trap);
    return nullptr;
  }
  if (!rec) {
    rec = om_os_mem_alloc(bytes, kind);
    if (!rec) {
      {
        plat_cs_hold hold(cs_cach);
        --p.in_use;
      }
      om_os_trap(trap);
      return nullptr;
    }
  }
  check_raise(p, n);
  return rec;
}

// A record of a normal pool that `ready` readies and traces; null (with the
// trap) at the limit.
template <class Rec, class Ready>
Rec* pool_get(pool_state& p, u8 kind, u32 bytes, u16 trap, Ready ready) {
  Rec* r = static_cast<Rec*>(pool_take(p, kind, bytes, trap));
  if (r) ready(r);
  return r;
}

// A freed record goes to the interrupt-side pool while that one is below its
// normal level: true when it went there, *clear set when a clear notice is
// due (the caller sends it after its trace).
bool it_keep_freed(it_pool_state& p, void* rec, void** link_field, bool* clear) {
  om_os_lock_hold hold;
  if (p.count >= p.normal) return false;
  *clear = it_push_locked(p, rec, link_field);
  return true;
}

// A freed record back to its normal pool, with the clear notice that may be
// due; false when the pool counts none in use (the caller traps).
bool pool_give_back(pool_state& p, void* rec, void** link_field, u8 kind) {
  u16 in_use = 0;
  if (!pool_release(p, rec, link_field, kind, &in_use)) return false;
  check_clear(p, in_use);
  return true;
}

// Drops one holder of a buffer that chains share; true while others still
// hold it.
bool drop_link(buffer_t* b) {
  om_os_lock_hold hold;
  if (b->link_count == 0) return false;
  --b->link_count;
  return b->link_count != 0;
}

void release_buffer(buffer_t* b) {
  b->state = BUF_STATE_FREE;
  b->link_count = 0;
  void** link = reinterpret_cast<void**>(&b->next);
  bool clear_it = false;
  if (it_keep_freed(g.it_bufs, b, link, &clear_it)) {
    if (clear_it) send_congestion_notice(SM_CLR_BUSY_IN, true);
    return;
  }
  if (g.trace_mask.load() & OM_OS_TRACE_BUFFER_POOL) trace_pool_op('f', nullptr, b);
  if (!pool_give_back(g.bufs, b, link, OM_OS_MEM_BUFFER)) {
    b->state = BUF_STATE_USED;  // leave it as it was
    om_os_trap(OM_OS_TRAP_BUFFER_FREE);
  }
}

void free_chain_it(buffer_t* b) {
  while (b) {
    buffer_t* next = b->next;
    It_free_buffer(b);
    b = next;
  }
}

// Brings an interrupt-side pool back to its normal level once it has fallen
// below its low mark (from the normal pool, unless that one is congested) or
// risen above its high mark (straight back to the normal pool).  `link` is
// the field the pools chain the records through; `mark_free` readies a
// record for the normal pool's cache.
template <class Rec>
void refill_it_pool(it_pool_state& it, pool_state& pool, u8 mem_kind, Rec* Rec::*link, Rec* (*alloc)(),
                    void (*put)(Rec*), void (*mark_free)(Rec*)) {
  // Any thread may mark the normal pool congested meanwhile: its flag is read
  // under the pool lock with the count.
  u16 count = 0, low = 0, normal = 0, high = 0;
  bool held_back = false;
  {
    om_os_lock_hold hold;
    count = it.count;
    held_back = pool.congested != 0;
    low = it.low;
    normal = it.normal;
    high = it.high;
  }
  if (count < low) {
    while (count < normal && !held_back) {
      Rec* r = alloc();
      if (!r) break;
      put(r);
      {
        om_os_lock_hold hold;
        count = it.count;
        held_back = pool.congested != 0;
      }
    }
  } else if (count > high) {
    while (count > normal) {
      Rec* r = nullptr;
      {
        om_os_lock_hold hold;
        r = it_pop_locked(it, link);
        count = it.count;
      }
      if (!r) break;
      mark_free(r);
      (void)pool_give_back(pool, r, reinterpret_cast<void**>(&(r->*link)), mem_kind);
    }
  }
}

void alloc_msg_data_impl(bool it, msg_t** pm, buffer_t** pb, u32 n, u8** data) {
  *data = nullptr;
  const u32 room = om_os_get_msg_room();
  const u32 broom = om_os_get_buffer_room();
  if (n > room && n > broom) return;  // more than one buffer: refused, nothing touched
  msg_t* m = *pm;
  buffer_t* b = *pb;
  bool m_new = false;
  if (!m) {
    m = it ? It_get_msg() : Alloc_msg();
    if (!m) return;
    m_new = true;
  }
  // A buffer must be had before anything of the caller's is changed.
  buffer_t* chain = m_new ? nullptr : m->p_buffer;
  buffer_t* use = (b != nullptr) ? b : chain;
  if (n > room && !use) {
    use = it ? It_get_buffer() : Alloc_buffer();
    if (!use) {
      if (m_new) it ? It_put_msg(m) : Free_msg(m);
      return;
    }
  }
  if (!m_new) {
    m->data_offset = MSG_HEADER_SIZE;
    m->p_buffer = nullptr;
    m->chain_size = 0;
    if (chain && chain != use) it ? free_chain_it(chain) : Free_buffer(chain);
  }
  if (n <= room) {
    if (use) it ? free_chain_it(use) : Free_buffer(use);
    m->data_size = static_cast<u8>(n);
    *pm = m;
    *pb = nullptr;
    *data = Msg_inline_data(m);
    return;
  }
  use->data_offset = BUFFER_HEADER_SIZE;
  if (use->next) {
    it ? free_chain_it(use->next) : Free_buffer(use->next);
    use->next = nullptr;
  }
  use->data_size = static_cast<u16>(n);
  use->link_count = 1;
  m->data_size = 0;
  m->p_buffer = use;
  m->chain_size = static_cast<u16>(n);
  *pm = m;
  *pb = use;
  *data = Buffer_data(use);
}

}  // namespace

// ---------------------------------------------------------------------------

void om_os_rt::pools_reset() {
  g.msgs = pool_state{};
  g.bufs = pool_state{};
  g.it_msgs = it_pool_state{};
  g.it_bufs = it_pool_state{};
  g.congestion.store(0);
  g.want_busy_any = 0;
  g.want_clr_any = 0;
}

namespace {

// One normal pool's settings: its record size (at least min_size) and its
// congestion thresholds are checked in that order, each with its trap.
template <class Size>
bool apply_pool(pool_state& p, Size& size, Size new_size, u32 min_size, u16 limit, u16 cache_limit, u16 on, u16 off) {
  p.limit = limit;
  size = new_size;
  if (static_cast<u32>(new_size) < min_size) {
    om_os_trap(OM_OS_TRAP_MSG_SIZE);
    return false;
  }
  p.cache_limit = cache_limit;
  p.cong_on = on;
  p.cong_off = off;
  if (off == 0 || off > limit || off < on) {
    om_os_trap(OM_OS_TRAP_CONGESTION_CFG);
    return false;
  }
  return true;
}

}  // namespace

u8 om_os_rt::pools_apply(const om_os_config& c) {
  const bool ok = apply_pool(g.msgs, g.msg_size, c.msg_size, MSG_HEADER_SIZE + 10, c.msg_limit, c.msg_cache_limit,
                             c.msg_congestion_on, c.msg_congestion_off) &&
                  apply_pool(g.bufs, g.buffer_size, c.buffer_size, BUFFER_HEADER_SIZE + 10, c.buffer_limit,
                             c.buffer_cache_limit, c.buffer_congestion_on, c.buffer_congestion_off);
  return ok ? OM_OS_OK : OM_OS_NOK;
}

void om_os_rt::send_congestion_notice(code_t code, bool from_it_side) {
  msg_t* m = from_it_side ? It_get_msg() : Alloc_msg();
  if (!m) return;
  Msg_set_head(m, {from_it_side ? ENT_PH_IT : ENT_NIL, ENT_SM, code});
  Send_msg(m);
}

// ---------------------------------------------------------------------------
// Messages.

msg_t* Alloc_msg() {
  return pool_get<msg_t>(g.msgs, OM_OS_MEM_MSG, msg_record_bytes(), OM_OS_TRAP_MSG_POOL, [](msg_t* m) {
    init_msg(m);
    if (g.trace_mask.load() & OM_OS_TRACE_MSG_POOL) trace_pool_op('A', m, nullptr);
  });
}

void Msg_set_route(msg_t* m, ent_id_t from, ent_id_t to, code_t code) {
  m->from = from;
  m->to = to;
  m->code = code;
}

void Msg_set_head(msg_t* m, const msg_head& h) {
  Msg_set_route(m, h.from, h.to, h.code);
  m->nai = h.nai;
  m->sapi = h.sapi;
  m->conn_id = h.conn_id;
}

msg_head Msg_get_head(const msg_t* m) { return {m->from, m->to, m->code, m->nai, m->sapi, m->conn_id}; }

msg_t* Alloc_msg(const msg_head& h) {
  msg_t* m = Alloc_msg();
  if (m) Msg_set_head(m, h);
  return m;
}

void Free_msg(msg_t* m) {
  if (!m) return;
  if (m->in_use != 1) {  // freed twice, or not a message
    om_os_trap(OM_OS_TRAP_MSG_FREE);
    return;
  }
  if (m->p_buffer) {
    Free_buffer(m->p_buffer);
    m->p_buffer = nullptr;
  }
  m->chain_size = 0;
  m->in_use = 0;
  void** link = reinterpret_cast<void**>(&m->link);
  bool clear_it = false;
  if (it_keep_freed(g.it_msgs, m, link, &clear_it)) {
    if (g.trace_mask.load() & OM_OS_TRACE_IT_MSG) trace_pool_op('P', m, nullptr);
    if (clear_it) send_congestion_notice(SM_CLR_BUSY_IN, true);
    return;
  }
  if (g.trace_mask.load() & OM_OS_TRACE_MSG_POOL) trace_pool_op('F', m, nullptr);
  if (!pool_give_back(g.msgs, m, link, OM_OS_MEM_MSG)) {
    m->in_use = 1;
    om_os_trap(OM_OS_TRAP_MSG_FREE);
  }
}

msg_t* It_get_msg() {
  return it_get(g.it_msgs, &msg_t::link, [](msg_t* m) {
    init_msg(m);
    if (g.trace_mask.load() & OM_OS_TRACE_IT_MSG) trace_pool_op('G', m, nullptr);
  });
}

void It_put_msg(msg_t* m) {
  if (!m || m->in_use != 1) return;
  if (m->p_buffer) {
    free_chain_it(m->p_buffer);
    m->p_buffer = nullptr;
  }
  m->in_use = 0;
  it_give_back(g.it_msgs, m, reinterpret_cast<void**>(&m->link), [m] {
    if (g.trace_mask.load() & OM_OS_TRACE_IT_MSG) trace_pool_op('P', m, nullptr);
  });
}

void It_refill_msg_pool() {
  refill_it_pool<msg_t>(g.it_msgs, g.msgs, OM_OS_MEM_MSG, &msg_t::link, Alloc_msg, It_put_msg,
                        [](msg_t* m) { m->in_use = 0; });
}

// ---------------------------------------------------------------------------
// Buffers.

buffer_t* Alloc_buffer() {
  return pool_get<buffer_t>(g.bufs, OM_OS_MEM_BUFFER, buffer_record_bytes(), OM_OS_TRAP_BUFFER_POOL, [](buffer_t* b) {
    init_buffer(b);
    if (g.trace_mask.load() & OM_OS_TRACE_BUFFER_POOL) trace_pool_op('a', nullptr, b);
  });
}

void Free_buffer(buffer_t* chain) {
  while (chain) {
    buffer_t* next = chain->next;
    if (chain->state != BUF_STATE_USED) {  // freed twice, or not a buffer
      om_os_trap(OM_OS_TRAP_BUFFER_FREE);
      return;
    }
    if (!drop_link(chain)) release_buffer(chain);
    chain = next;
  }
}

buffer_t* It_get_buffer() {
  return it_get(g.it_bufs, &buffer_t::next, [](buffer_t* b) {
    init_buffer(b);
    if (g.trace_mask.load() & OM_OS_TRACE_IT_BUFFER) trace_pool_op('g', nullptr, b);
  });
}

void It_put_buffer(buffer_t* b) {
  if (!b || b->state != BUF_STATE_USED) return;
  b->state = BUF_STATE_FREE;
  b->link_count = 0;
  it_give_back(g.it_bufs, b, reinterpret_cast<void**>(&b->next), [b] {
    if (g.trace_mask.load() & OM_OS_TRACE_IT_BUFFER) trace_pool_op('p', nullptr, b);
  });
}

void It_free_buffer(buffer_t* b) {
  if (!b || b->state != BUF_STATE_USED) return;
  if (!drop_link(b)) It_put_buffer(b);
}

void It_refill_buffer_pool() {
  refill_it_pool<buffer_t>(g.it_bufs, g.bufs, OM_OS_MEM_BUFFER, &buffer_t::next, Alloc_buffer, It_put_buffer,
                           [](buffer_t* b) {
                             init_buffer(b);
                             b->state = BUF_STATE_FREE;
                           });
}

u8 om_os_it_pool_init(const u16 v[10]) {
  {
    om_os_lock_hold hold;
    if (g.it_msgs.high != 0) return OM_OS_NOK;
  }
  // Empty both pools back into the normal pools.
  g.it_msgs.normal = 0;
  g.it_bufs.normal = 0;
  it_drain(g.it_msgs, &msg_t::link, [](msg_t* m) {
    init_msg(m);
    Free_msg(m);
  });
  it_drain(g.it_bufs, &buffer_t::next, [](buffer_t* b) {
    init_buffer(b);
    Free_buffer(b);
  });
  auto pick = [](u16 value, u16 dflt) { return value != 0 ? value : dflt; };
  om_os_lock_hold hold;
  it_pool_state& im = g.it_msgs;
  it_pool_state& ib = g.it_bufs;
  im.lowest = 65535;
  ib.lowest = 65535;
  im.low = pick(v[0], IT_MSG_DEFAULTS[0]);
  im.normal = pick(v[1], IT_MSG_DEFAULTS[1]);
  im.high = pick(v[2], IT_MSG_DEFAULTS[2]);
  ib.low = pick(v[3], IT_BUF_DEFAULTS[0]);
  ib.normal = pick(v[4], IT_BUF_DEFAULTS[1]);
  ib.high = pick(v[5], IT_BUF_DEFAULTS[2]);
  im.cong_on = pick(v[6], IT_MSG_DEFAULTS[3]);
  im.cong_off = pick(v[7], IT_MSG_DEFAULTS[4]);
  ib.cong_on = pick(v[8], IT_BUF_DEFAULTS[3]);
  ib.cong_off = pick(v[9], IT_BUF_DEFAULTS[4]);
  auto ordered = [](const it_pool_state& p) {
    return p.cong_on <= p.cong_off && p.cong_off <= p.low && p.low <= p.normal && p.normal <= p.high;
  };
  return ordered(im) && ordered(ib) ? OM_OS_OK : OM_OS_NOK;
}

// ---------------------------------------------------------------------------
// Data helpers.

void Alloc_msg_data(msg_t** m, buffer_t** b, u32 n, u8** data) { alloc_msg_data_impl(false, m, b, n, data); }
void It_alloc_msg_data(msg_t** m, buffer_t** b, u32 n, u8** data) { alloc_msg_data_impl(true, m, b, n, data); }

u32 Buffer_chain_length(const buffer_t* chain) {
  u32 total = 0;
  for (; chain; chain = chain->next) total += chain->data_size;
  return total;
}

u32 Msg_total_size(const msg_t* m) { return m->p_buffer ? Buffer_chain_length(m->p_buffer) : m->data_size; }

void Msg_attach_chain(msg_t* m, buffer_t* chain) {
  m->p_buffer = chain;
  u32 total = Buffer_chain_length(chain);
  m->chain_size = static_cast<u16>(total > 0xFFFF ? 0xFFFF : total);
}

buffer_t* Store_data_in_buffers(const void* data, u32 length, buffer_t* first) {
  const u32 room = om_os_get_buffer_room();
  const u8* src = static_cast<const u8*>(data);
  buffer_t* head = first;
  buffer_t* prev = nullptr;
  buffer_t* cur = first;
  buffer_t* fresh = nullptr;       // first buffer this call allocated
  buffer_t* fresh_prev = nullptr;  // the buffer in front of it
  u32 done = 0;
  do {
    if (!cur) {
      cur = Alloc_buffer();
      if (!cur) {
        // Give back what this call allocated; the caller keeps `first`.
        if (fresh) {
          if (fresh_prev) fresh_prev->next = nullptr;
          Free_buffer(fresh);
        }
        return nullptr;
      }
      if (!fresh) {
        fresh = cur;
        fresh_prev = prev;
      }
      if (prev) prev->next = cur;
      if (!head) head = cur;
    }
    u32 chunk = length - done < room ? length - done : room;
    cur->data_offset = BUFFER_HEADER_SIZE;
    cur->data_size = static_cast<u16>(chunk);
    cur->link_count = 1;
    if (chunk) std::memcpy(Buffer_room(cur), src + done, chunk);
    done += chunk;
    prev = cur;
    cur = cur->next;
  } while (done < length);
  // Buffers of the given chain that are no longer needed are released.
  if (prev->next) {
    buffer_t* rest = prev->next;
    prev->next = nullptr;
    Free_buffer(rest);
  }
  return head;
}

msg_t* Alloc_msg_with_buffer(buffer_t* b, u8 room) {
  msg_t* m = Alloc_msg();
  if (!m) return nullptr;
  if (!b) return m;
  if (!b->next && static_cast<u32>(room) + b->data_size <= om_os_get_msg_room()) {
    m->data_offset = static_cast<u8>(MSG_HEADER_SIZE + room);
    m->data_size = static_cast<u8>(b->data_size);
    std::memcpy(Msg_inline_data(m), Buffer_data(b), b->data_size);
    b->link_count = 0;
    Free_buffer(b);
  } else {
    b->link_count = 1;
    Msg_attach_chain(m, b);
  }
  return m;
}

msg_t* Copy_msg(const msg_t* src) {
  if (!src) return nullptr;
  msg_t* m = Alloc_msg();
  if (!m) return nullptr;
  Msg_set_head(m, Msg_get_head(src));
  m->data_offset = src->data_offset;
  m->data_size = src->data_size;
  std::memcpy(Msg_inline_area(m), Msg_inline_area(src), om_os_get_msg_room());
  buffer_t* tail = nullptr;
  const u32 broom = om_os_get_buffer_room();
  for (const buffer_t* s = src->p_buffer; s; s = s->next) {
    buffer_t* c = Alloc_buffer();
    if (!c) {
      // A copy without all of the data is no copy: the pool trap has told
      // of the shortage, and the caller gets nothing.
      if (m->p_buffer) Msg_attach_chain(m, m->p_buffer);
      Free_msg(m);
      return nullptr;
    }
    c->data_offset = s->data_offset;
    c->data_size = s->data_size;
    c->link_count = 1;
    std::memcpy(Buffer_room(c), Buffer_room(s), broom);
    if (tail) tail->next = c;
    else m->p_buffer = c;
    tail = c;
  }
  if (m->p_buffer) Msg_attach_chain(m, m->p_buffer);
  return m;
}

u8* Reassemble_buffers(u8* area, u32 area_size, const buffer_t* chain, u32* total) {
  u32 sum = Buffer_chain_length(chain);
  if (total) *total = sum;
  if (!area || area_size < sum) {
    area = Alloc_tmp_block(sum);
    if (!area) return nullptr;
  }
  u32 at = 0;
  for (; chain; chain = chain->next) {
    std::memcpy(area + at, Buffer_data(chain), chain->data_size);
    at += chain->data_size;
  }
  return area;
}

// ---------------------------------------------------------------------------
// Configuration and state.

u8 om_os_get_msg_size() { return g.msg_size; }
u16 om_os_get_buffer_size() { return g.buffer_size; }
u16 om_os_get_max_nai() { return g.max_nai; }
u8 om_os_get_congestion() { return g.congestion.load(); }

static om_os_pool_stats stats_of(const pool_state& p) {
  om_os_pool_stats s{};
  {
    plat_cs_hold hold(cs_cach);
    s.limit = p.limit;
    s.in_use = p.in_use;
    s.high_water = p.high_water;
    s.cache_limit = p.cache_limit;
    s.cache_count = p.cache_count;
    s.congestion_on = p.cong_on;
    s.congestion_off = p.cong_off;
  }
  om_os_lock_hold hold;
  s.congested = p.congested;
  s.episodes = p.episodes;
  return s;
}

static om_os_it_pool_stats it_stats_of(const it_pool_state& p) {
  om_os_lock_hold hold;
  om_os_it_pool_stats s{p.count, p.lowest, p.congested, p.episodes, p.low, p.normal, p.high, p.cong_on, p.cong_off};
  return s;
}

om_os_pool_stats om_os_msg_pool_stats() { return stats_of(g.msgs); }
om_os_pool_stats om_os_buffer_pool_stats() { return stats_of(g.bufs); }
om_os_it_pool_stats om_os_it_msg_pool_stats() { return it_stats_of(g.it_msgs); }
om_os_it_pool_stats om_os_it_buffer_pool_stats() { return it_stats_of(g.it_bufs); }
