// ENT_SSC records, configuration and cursors.
#include "sip/ssc/ssc_entity.h"

#include <cstring>

#include "sip/ssc/ssc_ident.h"
#include "sip/ssc/ssc_tx.h"
#include "sip/ssc/ssc_internal.h"
#include "runtime/entity_ids.h"
#include "runtime/msg.h"
#include "runtime/om_os.h"
#include "runtime/timer.h"

namespace {

ssc_module g_mod;

u16 rd16(const u8* p) { return static_cast<u16>(p[0] | (p[1] << 8)); }

// Offsets inside a profile (from its nai field).
constexpr std::size_t P_NAI = 0, P_CALLS = 2, P_EXTRA = 4, P_AUX = 6, P_REG = 8, P_ENTITY = 10, P_FLAGS = 12,
                      P_OPTBYTE = 14, P_ADDR_COUNT = 15, P_PORT = 16, P_FAMILY = 18, P_HOST = 19, P_ADDR = 84;

void reset_call(ssc_call& c) {
  ssc_internal::release_handle(c.defaults);
  for (msg_t* m : c.held) {
    if (m->from == ENT_SSC) ssc_internal::free_self_message(m);  // its handle number too
    else Free_msg(m);
  }
  ssc_call* keep_link = c.free_link;
  c = ssc_call{};
  c.free_link = keep_link;
}

}  // namespace

ssc_module& ssc_mod() { return g_mod; }

int ssc_entity_init(u16 nai_count) {
  g_mod = ssc_module{};
  g_mod.agents.resize(nai_count);
  return 0;
}

u8 ssc_config_parse(const u8* body, std::size_t len, std::vector<ssc_config_profile>& out) {
  out.clear();
  if (body == nullptr || len < SSC_CONFIG_HEAD) return SSC_CFG_NO_BLOCKS;
  const u16 count = rd16(body + 4);
  if (count == 0 || (len - SSC_CONFIG_HEAD) / SSC_CONFIG_PROFILE < count) return SSC_CFG_NO_BLOCKS;
  for (u16 i = 0; i < count; ++i) {
    const u8* p = body + SSC_CONFIG_HEAD + i * SSC_CONFIG_PROFILE;
    ssc_config_profile pr;
    pr.nai = rd16(p + P_NAI);
    pr.calls = rd16(p + P_CALLS);
    pr.extra_dialogs = rd16(p + P_EXTRA);
    pr.aux = rd16(p + P_AUX);
    pr.reg_slots = rd16(p + P_REG);
    pr.user_entity = p[P_ENTITY];
    pr.option_flags = rd16(p + P_FLAGS);
    pr.option_byte = p[P_OPTBYTE];
    pr.addr_count = p[P_ADDR_COUNT];
    if (pr.addr_count > 1) return SSC_CFG_BAD_FAMILY;  // a profile has room for one address
    if (pr.addr_count == 1) {
      pr.port = rd16(p + P_PORT);
      pr.family = p[P_FAMILY];
      switch (pr.family) {
        case '4': std::memcpy(pr.addr, p + P_ADDR, 4); break;
        case '6': std::memcpy(pr.addr, p + P_ADDR, 16); break;
        case 'N': {
          std::size_t n = 0;
          while (n < SSC_HOST_FIELD - 1 && p[P_HOST + n] != 0) {
            pr.host[n] = static_cast<char>(p[P_HOST + n]);
            ++n;
          }
          pr.host[n] = '\0';
          break;
        }
        default: return SSC_CFG_BAD_FAMILY;
      }
    }
    out.push_back(pr);
  }
  return SSC_CFG_OK;
}

u8 ssc_configure_profiles(const std::vector<ssc_config_profile>& profiles) {
  ssc_module& m = g_mod;
  for (const ssc_config_profile& pr : profiles) {
    if (pr.nai >= m.agents.size() || m.agents[pr.nai]) return SSC_CFG_NO_BLOCKS;
    const u32 calls = static_cast<u32>(pr.calls) + pr.reg_slots;
    const u32 entries = static_cast<u32>(pr.extra_dialogs) + pr.reg_slots;
    if (calls == 0 || calls >= SSC_NO_CONN || entries > 0xFFFE) return SSC_CFG_NO_BLOCKS;
    auto ua = std::make_unique<ssc_user_agent>();
    ua->nai = pr.nai;
    ua->call_count = static_cast<u16>(calls);
    ua->aux_count = pr.aux;
    ua->reg_slot_count = pr.reg_slots;
    ua->calls.resize(calls);
    ua->by_user_conn.assign(calls, nullptr);
    ua->by_sip_conn.assign(calls, nullptr);
    ua->entries.resize(entries);
    ua->reg_slots.assign(pr.reg_slots, nullptr);
    ua->aux.resize(pr.aux);
    ua->aux_records.resize(pr.aux);
    for (u32 i = 0; i < calls; ++i) ua->calls[i].free_link = i + 1 < calls ? &ua->calls[i + 1] : nullptr;
    ua->free_calls = &ua->calls[0];
    for (u32 i = 0; i < entries; ++i) {
      ssc_dialog_entry& e = ua->entries[i];
      e.next = i + 1 < entries ? &ua->entries[i + 1] : nullptr;
      e.prev = i > 0 ? &ua->entries[i - 1] : nullptr;
      e.state = SSC_ENTRY_IDLE;
    }
    ua->free_entries = entries ? &ua->entries[0] : nullptr;
    ua->next_sip_conn = 0;
    ua->next_user_conn = static_cast<u16>(calls - 1);
    m.agents[pr.nai] = std::move(ua);
  }
  for (const ssc_config_profile& pr : profiles) {
    ssc_user_agent* ua = pr.nai < m.agents.size() ? m.agents[pr.nai].get() : nullptr;
    if (ua == nullptr) return SSC_CFG_NO_AGENT;
    ua->option_flags = pr.option_flags;
    ua->option_byte = pr.option_byte;
    ua->user_entity = pr.user_entity == 0 ? 'A' : pr.user_entity;
    for (u16 i = 0; i < ua->aux_count; ++i) ua->aux[i] = i;
    ua->binding = ssc_binding{};
    ua->binding.id = static_cast<u32>(pr.nai) * 256u;
    ua->keepalive = ssc_keepalive{};
  }
  m.configured = true;
  return SSC_CFG_OK;
}

u8 ssc_configure(const u8* body, std::size_t len) {
  std::vector<ssc_config_profile> profiles;
  const u8 r = ssc_config_parse(body, len, profiles);
  if (r != SSC_CFG_OK) return r;
  return ssc_configure_profiles(profiles);
}

// ---------------------------------------------------------------------------
u8 ssc_ua__select(u16 nai) {
  ssc_module& m = g_mod;
  m.ua = nai < m.agents.size() ? m.agents[nai].get() : nullptr;
  m.keepalive = nullptr;
  m.binding = nullptr;
  if (m.ua == nullptr) return 3;
  if (m.ua->primary != SSC_NO_INDEX8) {
    m.keepalive = &m.ua->keepalive;
    m.binding = m.keepalive->binding;
  }
  return 2;
}

u8 ssc_call__by_user_conn(u16 conn) {
  ssc_module& m = g_mod;
  m.call = (m.ua && conn < m.ua->call_count) ? m.ua->by_user_conn[conn] : nullptr;
  return m.call ? 2 : 3;
}

u8 ssc_call__by_sip_conn(u16 conn) {
  ssc_module& m = g_mod;
  m.call = (m.ua && conn < m.ua->call_count) ? m.ua->by_sip_conn[conn] : nullptr;
  return m.call ? 2 : 3;
}

u8 ssc_dialog__select(int index) {
  ssc_module& m = g_mod;
  m.entry = nullptr;
  if (m.call == nullptr) return 3;
  for (ssc_dialog_entry* e = m.call->first; e; e = e->next) {
    if (index < 0 || e->index == index) {
      m.entry = e;
      return 2;
    }
  }
  return 3;
}

u8 ssc_call__open_for_user(u16 conn, int index) {
  if (ssc_call__by_user_conn(conn) != 2) return 3;
  if (g_mod.call->sip_conn == SSC_NO_CONN && ssc_call__bind_sip_conn() != 2) return 3;
  return ssc_dialog__select(index);
}

// ---------------------------------------------------------------------------
namespace {

ssc_call* take_call() {
  ssc_user_agent* ua = g_mod.ua;
  ssc_call* c = ua->free_calls;
  if (c == nullptr) return nullptr;
  ua->free_calls = c->free_link;
  reset_call(*c);
  c->free_link = nullptr;
  c->in_use = true;
  ++ua->calls_in_use;
  return c;
}

void put_back_call(ssc_call* c) {
  ssc_user_agent* ua = g_mod.ua;
  reset_call(*c);
  c->in_use = false;
  c->free_link = ua->free_calls;
  ua->free_calls = c;
  --ua->calls_in_use;
}

// A free place of `table` for a call: `want` when it is free, else the first
// free one from the cursor on, upwards or downwards; the cursor moves past the
// place taken.  SSC_NO_CONN when none is free.
u16 take_conn_place(const std::vector<ssc_call*>& table, u16 count, u16& cursor, u16 want, bool upwards) {
  if (want < count && table[want] == nullptr) {
    if (cursor == want) {
      if (upwards) ++cursor;
      else if (want > 0) --cursor;
    }
    return want;
  }
  if (upwards) {
    for (u32 s = cursor; s < count; ++s) {
      if (table[s] == nullptr) {
        cursor = static_cast<u16>(s + 1);
        return static_cast<u16>(s);
      }
    }
  } else {
    for (int s = cursor; s >= 0; --s) {
      if (table[s] == nullptr) {
        cursor = static_cast<u16>(s > 0 ? s - 1 : 0);
        return static_cast<u16>(s);
      }
    }
  }
  return SSC_NO_CONN;
}

}  // namespace

u8 ssc_call__bind_sip_conn() {
  ssc_user_agent* ua = g_mod.ua;
  ssc_call* c = g_mod.call;
  const u16 slot = take_conn_place(ua->by_sip_conn, ua->call_count, ua->next_sip_conn, c->user_conn, true);
  if (slot == SSC_NO_CONN) return 3;
  ua->by_sip_conn[slot] = c;
  c->sip_conn = slot;
  return 2;
}

u8 ssc_call__bind_user_conn() {
  ssc_user_agent* ua = g_mod.ua;
  ssc_call* c = g_mod.call;
  const u16 slot = take_conn_place(ua->by_user_conn, ua->call_count, ua->next_user_conn, c->sip_conn, false);
  if (slot == SSC_NO_CONN) return 3;
  ua->by_user_conn[slot] = c;
  c->user_conn = slot;
  return 2;
}

void ssc_call__unbind_sip_conn() {
  ssc_user_agent* ua = g_mod.ua;
  ssc_call* c = g_mod.call;
  if (c->sip_conn == SSC_NO_CONN) return;
  ua->by_sip_conn[c->sip_conn] = nullptr;
  if (c->sip_conn < ua->next_sip_conn) ua->next_sip_conn = c->sip_conn;
  c->sip_conn = SSC_NO_CONN;
}

void ssc_call__unbind_user_conn() {
  ssc_user_agent* ua = g_mod.ua;
  ssc_call* c = g_mod.call;
  if (c->user_conn == SSC_NO_CONN) return;
  ua->by_user_conn[c->user_conn] = nullptr;
  if (c->user_conn > ua->next_user_conn) ua->next_user_conn = c->user_conn;
  c->user_conn = SSC_NO_CONN;
}

u8 ssc_call__new_for_user(u16 conn) {
  ssc_module& m = g_mod;
  ssc_user_agent* ua = m.ua;
  if (ua == nullptr) return 3;
  if (conn != SSC_NO_CONN && (conn >= ua->call_count || ua->by_user_conn[conn] != nullptr)) return 3;
  ssc_call* c = take_call();
  if (c == nullptr) return 3;
  m.call = c;
  if (conn != SSC_NO_CONN) {
    ua->by_user_conn[conn] = c;
    c->user_conn = conn;
  }
  if (ssc_call__bind_sip_conn() != 2) {
    ssc_call__unbind_user_conn();
    put_back_call(c);
    m.call = nullptr;
    return 3;
  }
  if (ssc_dialog__take_first() != 2) {
    ssc_call__unbind_sip_conn();
    ssc_call__unbind_user_conn();
    put_back_call(c);
    m.call = nullptr;
    return 3;
  }
  return 2;
}

u8 ssc_call__new_for_sip(u16 conn) {
  ssc_module& m = g_mod;
  ssc_user_agent* ua = m.ua;
  if (ua == nullptr || conn >= ua->call_count || ua->by_sip_conn[conn] != nullptr) return 3;
  ssc_call* c = take_call();
  if (c == nullptr) return 3;
  m.call = c;
  ua->by_sip_conn[conn] = c;
  c->sip_conn = conn;
  if (ssc_call__bind_user_conn() != 2) {
    ssc_call__unbind_sip_conn();
    put_back_call(c);
    m.call = nullptr;
    return 3;
  }
  return 2;
}

namespace {
void free_timers(ssc_dialog_entry* e) {
  for (u8 n = 0; n < SSC_ENTRY_TIMERS; ++n) {
    if (e->timers[n]) {
      Timer_stop(e->timers[n]);
      Timer_free(e->timers[n]);
    }
    e->timers[n] = nullptr;
  }
  // The messages the entry holds go with its timers (reset and release).
  ssc_internal::release_handle(e->target);
  ssc_internal::release_handle(e->route_msg);
  ssc_internal::release_handle(e->kept);
}
}  // namespace

u8 ssc_entry_timer_start(ssc_dialog_entry* e, u8 n, u32 ms, code_t code) {
  if (e == nullptr || n >= SSC_ENTRY_TIMERS) return 3;
  if (e->timers[n] == nullptr) {
    const u16 nai = g_mod.ua ? g_mod.ua->nai : 0xFFFF;
    e->timers[n] = Timer_alloc(ENT_SSC, nai, e->index, e->conn_id != SSC_NO_CONN ? e->conn_id : 0xFFFF);
    if (e->timers[n] == nullptr) return 3;
  }
  e->timer_ids[n] = static_cast<u16>(e->timer_ids[n] + 1);
  Timer_start(e->timers[n], ms, e->timer_ids[n], code);
  return 2;
}

void ssc_entry_timer_stop(ssc_dialog_entry* e, u8 n) {
  if (e == nullptr || n >= SSC_ENTRY_TIMERS || e->timers[n] == nullptr) return;
  Timer_stop(e->timers[n]);
  e->timer_ids[n] = static_cast<u16>(e->timer_ids[n] + 1);  // a queued expiry is stale now
}

bool ssc_entry_timer_current(const ssc_dialog_entry* e, u8 n, u16 id) {
  return e != nullptr && n < SSC_ENTRY_TIMERS && e->timers[n] != nullptr && e->timer_ids[n] == id;
}

void ssc_dialog__reset(ssc_dialog_entry* e) {
  free_timers(e);
  ssc_call* keep_call = e->call;
  ssc_dialog_entry* n = e->next;
  ssc_dialog_entry* p = e->prev;
  const u16 conn = e->conn_id;
  const u8 idx = e->index;
  u16 ids[SSC_ENTRY_TIMERS];
  std::memcpy(ids, e->timer_ids, sizeof ids);  // ids keep counting: old expiries stay stale
  *e = ssc_dialog_entry{};
  std::memcpy(e->timer_ids, ids, sizeof ids);
  e->call = keep_call;
  e->next = n;
  e->prev = p;
  e->conn_id = conn;
  e->index = idx;
  e->remote_tag[0] = static_cast<char>(SSC_TAG_NONE);
  e->state = SSC_ENTRY_IDLE;
}

namespace {

ssc_dialog_entry* take_free_entry() {
  ssc_user_agent* ua = g_mod.ua;
  ssc_dialog_entry* e = ua->free_entries;
  if (e == nullptr) return nullptr;
  ua->free_entries = e->next;
  if (e->next) e->next->prev = nullptr;
  e->next = e->prev = nullptr;
  ++ua->entries_in_use;
  return e;
}

void append_entry(ssc_call* c, ssc_dialog_entry* e) {
  e->call = c;
  e->prev = c->last;
  e->next = nullptr;
  if (c->last) c->last->next = e;
  else c->first = e;
  c->last = e;
}

}  // namespace

u8 ssc_dialog__take_first() {
  ssc_module& m = g_mod;
  ssc_call* c = m.call;
  ssc_dialog_entry* e = take_free_entry();
  if (e == nullptr) return 3;
  append_entry(c, e);
  e->conn_id = c->user_conn;
  e->index = 0;
  ssc_dialog__reset(e);
  c->pending_indication = 1;
  c->next_index = 1;
  c->entry_count = 1;
  m.entry = e;
  return 2;
}

u8 ssc_dialog__fork(const char* tag) {
  ssc_module& m = g_mod;
  ssc_call* c = m.call;
  ssc_dialog_entry* prev = m.entry;
  ssc_dialog_entry* e = take_free_entry();
  if (e == nullptr) return 3;
  append_entry(c, e);
  e->conn_id = prev ? prev->conn_id : c->user_conn;
  e->index = c->next_index;
  ssc_dialog__reset(e);
  e->aux = prev ? prev->aux : SSC_NO_INDEX16;
  ssc_copy_text(e->remote_tag, sizeof e->remote_tag, tag);  // up to the tag's end, never past the field
  c->next_index = static_cast<u8>(c->next_index + 1);
  ++c->entry_count;
  m.entry = e;
  return 2;
}

u8 ssc_call__match_sip(u16 conn, const char* tag) {
  ssc_module& m = g_mod;
  if (ssc_call__by_sip_conn(conn) != 2 && ssc_call__new_for_sip(conn) != 2) return 3;
  ssc_call* c = m.call;
  if (c->first == nullptr && ssc_dialog__take_first() != 2) return 3;
  const bool has_tag = tag != nullptr && tag[0] != '\0';
  for (ssc_dialog_entry* e = c->first; e && e->remote_tag[0] != static_cast<char>(SSC_TAG_NONE); e = e->next) {
    if (!has_tag || std::strncmp(e->remote_tag, tag, SSC_TAG_FIELD - 1) == 0) {
      m.entry = e;
      return 2;
    }
  }
  if (c->first->remote_tag[0] == static_cast<char>(SSC_TAG_NONE)) {
    m.entry = c->first;
    if (has_tag) ssc_copy_text(c->first->remote_tag, SSC_TAG_FIELD, tag);
    return 2;
  }
  m.entry = c->last;
  return ssc_dialog__fork(tag);
}

u8 ssc_reg_dialog__link(u16 n) {
  ssc_module& m = g_mod;
  ssc_dialog_entry* e = m.entry;
  if (m.ua == nullptr || e == nullptr || n >= m.ua->reg_slots.size() || m.ua->reg_slots[n] != nullptr) return 3;
  m.ua->reg_slots[n] = e;
  e->reg_slot = n;
  return 2;
}

u8 ssc_reg_dialog__select(u16 n) {
  ssc_module& m = g_mod;
  if (m.ua == nullptr || n >= m.ua->reg_slots.size() || m.ua->reg_slots[n] == nullptr) return 3;
  ssc_dialog_entry* e = m.ua->reg_slots[n];
  if (e->call == nullptr) {
    (void)om_os_trap(307);
    return 3;
  }
  m.reg_entry = e;
  m.reg_call = e->call;
  return 2;
}

void ssc_dialog__release() {
  ssc_module& m = g_mod;
  ssc_dialog_entry* e = m.entry;
  if (e == nullptr) return;
  ssc_call* c = e->call;
  ssc_user_agent* ua = m.ua;
  if (e->reg_slot != SSC_NO_INDEX16 && e->reg_slot < ua->reg_slots.size()) ua->reg_slots[e->reg_slot] = nullptr;
  e->reg_slot = SSC_NO_INDEX16;
  if (m.reg_entry == e) {
    m.reg_entry = nullptr;
    m.reg_call = nullptr;
  }
  ssc_dialog_entry* after = e->next;
  if (c) {
    if (e->prev) e->prev->next = e->next;
    else c->first = e->next;
    if (e->next) e->next->prev = e->prev;
    else c->last = e->prev;
    --c->entry_count;
  }
  free_timers(e);
  u16 ids[SSC_ENTRY_TIMERS];
  std::memcpy(ids, e->timer_ids, sizeof ids);
  *e = ssc_dialog_entry{};
  std::memcpy(e->timer_ids, ids, sizeof ids);
  e->state = SSC_ENTRY_IDLE;
  e->next = ua->free_entries;
  if (ua->free_entries) ua->free_entries->prev = e;
  ua->free_entries = e;
  --ua->entries_in_use;
  m.entry = after;
}

u8 ssc_call__release() {
  ssc_module& m = g_mod;
  ssc_call* c = m.call;
  if (c == nullptr || c->first != nullptr) return 3;
  ssc_tx_release_call(c);
  ssc_call__unbind_sip_conn();
  ssc_call__unbind_user_conn();
  put_back_call(c);
  m.call = nullptr;
  return 2;
}

u8 ssc_remove_user_agent(u16 nai) {
  ssc_module& m = g_mod;
  if (ssc_ua__select(nai) != 2) return 3;
  ssc_user_agent* ua = m.ua;
  m.reg_entry = nullptr;
  m.reg_call = nullptr;
  // Every call in use, whether reachable from the user side or not (a
  // keep-alive probe has only a SIP side).
  for (ssc_call& c : ua->calls) {
    if (!c.in_use) continue;
    m.call = &c;
    m.entry = c.first;
    while (m.call->first) {
      m.entry = m.call->first;
      ssc_dialog__release();
    }
    (void)ssc_call__release();
  }
  // What the binding and keep-alive record still hold.
  if (ua->keepalive.probe_timer) {
    Timer_stop(ua->keepalive.probe_timer);
    Timer_free(ua->keepalive.probe_timer);
    ua->keepalive.probe_timer = nullptr;
  }
  ssc_internal::release_handle(ua->binding.store);
  for (ssc_aux_record& a : ua->aux_records) ssc_internal::release_handle(a.profile);
  m.agents[nai].reset();
  m.ua = nullptr;
  m.call = nullptr;
  m.entry = nullptr;
  m.binding = nullptr;
  m.keepalive = nullptr;
  return 2;
}
