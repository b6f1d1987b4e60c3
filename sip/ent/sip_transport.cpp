// ENT_SIP's socket side: messages of the socket entity and its resolver,
// the name cache and the pending name lookups.
#include <algorithm>
#include <cstring>

#include "platform/int_types.h"
#include "common/byte_order.h"
#include "runtime/buffer.h"
#include "runtime/mem.h"
#include "runtime/om_os.h"
#include "runtime/sock.h"
#include "sip/text/sip_str.h"
#include "sip/ent/sip_entity.h"
#include "sip/ent/sip_entity_int.h"
#include "sip/ent/sip_rx.h"

namespace {

constexpr u32 NPOS = 0xFFFFFFFFu;
constexpr std::size_t DNS_RQ_SIZE = 72;
constexpr std::size_t DNS_ENTRY_SIZE = 12;
constexpr std::size_t DNS_FIRST_ENTRY = 8;

// Signed distance from now to a tick: 0 or less once it has come.
i32 ticks_until(u32 deadline) { return static_cast<i32>(deadline - om_os_tick()); }
u32 ms_to_ticks(u32 ms) { return ms / Timer_get_unit(); }

sip_str as_str(std::string_view s) {
  return sip_str{static_cast<u16>(std::min<std::size_t>(s.size(), 0xFFFF)), s.data()};
}

// Drops every cache entry whose expiry has come.
void cache_drop_expired(sip_endpoint& ep) {
  auto& pool = sip_mod.pools.cache;
  for (auto it = ep.cache.begin(); it != ep.cache.end();) {
    if (ticks_until(pool[*it].expiry_tick) <= 0) {
      pool.give_back(*it);
      it = ep.cache.erase(it);
    } else {
      ++it;
    }
  }
}

void cache_insert(sip_endpoint& ep, u32 rec) {
  auto& pool = sip_mod.pools.cache;
  const u32 expiry = pool[rec].expiry_tick;
  auto it = std::find_if(ep.cache.begin(), ep.cache.end(),
                         [&](u32 r) { return static_cast<i32>(pool[r].expiry_tick - expiry) >= 0; });
  const bool first = it == ep.cache.begin();
  ep.cache.insert(it, rec);
  if (first && ep.cache_refresh.cell != nullptr) ep.cache_refresh.start(pool[rec].ttl_ms, SIP_TIMER_CODE_CACHE);
}

void send_dns_rq(const sip_endpoint& ep, const sip_pending_lookup& lk) {
  u8 data[DNS_RQ_SIZE] = {};
  put_le32(data, lk.number);
  std::memcpy(data + 4, lk.name.data(), lk.name.size());
  sip_send_data(ep.cfg.resolver_entity, ep.cfg.nai, 1, 0, SOCK_DNS_RQ, data, DNS_RQ_SIZE);
}

void arm_lookup_sweep(sip_endpoint& ep) {
  if (ep.pending.empty()) {
    ep.lookup_sweep.stop();
    return;
  }
  const i32 left = ticks_until(sip_mod.pools.lookups[ep.pending.front()].timeout_tick);
  ep.lookup_sweep.start(left > 0 ? static_cast<u32>(left) * Timer_get_unit() : 0, 0);
}

// Takes the lookup of `number` out of the table and the pending list: its
// record index, or NPOS when no such lookup is pending.
u32 lookup_release(sip_endpoint& ep, u32 number) {
  if (number >= ep.lookup_table.size() || ep.lookup_table[number] == NPOS) return NPOS;
  const u32 rec = ep.lookup_table[number];
  ep.lookup_table[number] = NPOS;
  ep.lookup_next = std::min(ep.lookup_next, number);
  while (ep.lookup_high > 0 && ep.lookup_table[ep.lookup_high - 1] == NPOS) --ep.lookup_high;
  const bool was_first = !ep.pending.empty() && ep.pending.front() == rec;
  ep.pending.remove(rec);
  if (was_first) arm_lookup_sweep(ep);
  return rec;
}

u8 sip_dns__start_lookup(sip_endpoint& ep, std::string_view host, u16 conn_id) {
  auto& pool = sip_mod.pools.lookups;
  if (ep.lookup_next >= ep.lookup_table.size()) return 3;
  const u32 rec = pool.take();
  if (rec == NPOS) return 3;
  sip_pending_lookup& lk = pool[rec];
  lk.number = ep.lookup_next;
  lk.timeout_tick = om_os_tick() + ms_to_ticks(ep.cfg.lookup_life_ms);
  lk.conn_id = conn_id;
  const std::size_t n = std::min(host.size(), lk.name.size() - 1);
  std::memcpy(lk.name.data(), host.data(), n);
  lk.name[n] = '\0';
  lk.hash = sip_hash__str(as_str(host.substr(0, n)));
  ep.lookup_table[lk.number] = rec;
  const bool first = ep.pending.empty();
  ep.pending.push_back(rec);
  if (lk.number >= ep.lookup_high) ep.lookup_high = lk.number + 1;
  u32 next = lk.number + 1;
  while (next < ep.lookup_high && ep.lookup_table[next] != NPOS) ++next;
  ep.lookup_next = next;
  if (first) ep.lookup_sweep.start(ep.cfg.lookup_life_ms, 0);
  send_dns_rq(ep, lk);
  return 4;
}

void dns_confirm(sip_endpoint& ep) {
  const msg_t* m = sip_mod.msg;
  u8 area[SOCK_DNS_CO_SIZE];
  const u8* data = Msg_data(m);
  u32 length = Msg_data_size(m);
  u8* gathered = nullptr;
  if (m->p_buffer != nullptr && m->p_buffer->next != nullptr) {
    gathered = Reassemble_buffers(area, sizeof area, m->p_buffer, &length);
    if (gathered == nullptr) return;
    data = gathered;
  }
  sip_dns_answer ans;
  const bool ok = sip_dns_answer_read(data, length, &ans);
  if (gathered != nullptr && gathered != area) (void)Free_tmp_block(gathered);
  if (!ok) return;
  const u32 rec = lookup_release(ep, ans.number);
  if (rec == NPOS) return;
  const sip_pending_lookup lk = sip_mod.pools.lookups[rec];
  sip_mod.pools.lookups.give_back(rec);
  auto& cache = sip_mod.pools.cache;
  if (lk.conn_id == SIP_NO_CONN) {
    // A refresh: the entry that waits for this number is resolved again.
    for (auto it = ep.cache.begin(); it != ep.cache.end(); ++it) {
      sip_name_cache_entry& e = cache[*it];
      if (e.lookup_number != ans.number) continue;
      e.lookup_number = SIP_LOOKUP_RESOLVED;
      if (ans.count == 0 || ans.addrs[0].ttl_s == 0) {
        cache.give_back(*it);
        ep.cache.erase(it);
        break;
      }
      e.address = ans.addrs[0].address;
      e.ttl_ms = ans.addrs[0].ttl_s * 1000u;
      e.expiry_tick = om_os_tick() + ms_to_ticks(e.ttl_ms);
      const u32 r = *it;
      ep.cache.erase(it);
      cache_insert(ep, r);
      break;
    }
    return;
  }
  for (u8 i = 0; i < ans.count; ++i) {
    const sip_dns_address& a = ans.addrs[i];
    if (a.ttl_s == 0) continue;
    const u32 c = cache.take();
    if (c == NPOS) continue;
    sip_name_cache_entry& e = cache[c];
    e.ttl_ms = a.ttl_s > 0xFFFFFFFFu / 1000u ? 0xFFFFFFFFu / 1000u * 1000u : a.ttl_s * 1000u;
    e.expiry_tick = om_os_tick() + ms_to_ticks(e.ttl_ms);
    e.lookup_number = SIP_LOOKUP_RESOLVED;
    const std::size_t n = std::min<std::size_t>(std::strlen(lk.name.data()), e.name.size() - 1);
    std::memcpy(e.name.data(), lk.name.data(), n);
    e.name[n] = '\0';
    e.hash = lk.hash;
    e.family = 4;
    e.address = a.address;
    cache_insert(ep, c);
  }
}

}  // namespace

bool sip_dns_answer_read(const u8* data, std::size_t length, sip_dns_answer* out) {
  if (data == nullptr || out == nullptr || length < DNS_FIRST_ENTRY) return false;
  *out = sip_dns_answer{};
  out->number = get_le32(data);
  std::size_t n = data[7];
  n = std::min<std::size_t>(n, SOCK_DNS_MAX_ADDRS);
  n = std::min<std::size_t>(n, (length - DNS_FIRST_ENTRY) / DNS_ENTRY_SIZE);
  out->count = static_cast<u8>(n);
  for (std::size_t i = 0; i < n; ++i) {
    const u8* e = data + DNS_FIRST_ENTRY + i * DNS_ENTRY_SIZE;
    std::memcpy(out->addrs[i].address.data(), e + 4, 4);
    out->addrs[i].ttl_s = get_le32(e + 8);
  }
  return true;
}

bool sip_name_equal(const char* stored, std::string_view host) {
  return sip_str__cmp_nocase(stored, as_str(host)) == 0;
}

void sip_transport_event() {
  sip_endpoint* ep = sip_mod.ep;
  const msg_t* m = sip_mod.msg;
  switch (m->code) {
    case SOCK_DNS_CO: dns_confirm(*ep); return;
    case SOCK_U_DA_IN: {
      // The parser rewrites the text in place: always a private copy.
      const u32 total = m->p_buffer != nullptr ? Buffer_chain_length(m->p_buffer) : m->data_size;
      if (total < SOCK_UDP_HEADER_SIZE) return;
      std::vector<char> data(total);
      if (m->p_buffer != nullptr) {
        std::size_t at = 0;
        for (const buffer_t* b = m->p_buffer; b != nullptr; b = b->next) {
          std::memcpy(data.data() + at, Buffer_data(b), b->data_size);
          at += b->data_size;
        }
      } else {
        std::memcpy(data.data(), Msg_data(m), total);
      }
      std::array<u8, 4> from{};
      std::memcpy(from.data(), data.data() + 4, 4);
      const u16 port = get_host16(reinterpret_cast<const u8*>(data.data()) + 8);
      char* text = data.data() + SOCK_UDP_HEADER_SIZE;
      const std::size_t length = total - SOCK_UDP_HEADER_SIZE;
      if (static_cast<u8>(data[SOCK_UDP_CUT_AT]) == SOCK_UDP_CUT) {
        sip_rx__too_large(*ep, text, length, from, port);
      } else {
        sip_rx__datagram(*ep, text, length, from, port);
      }
      return;
    }
    default: return;  // commit confirms and the rest need no action
  }
}

void sip_dns__lookup_sweep(sip_endpoint& ep) {
  while (!ep.pending.empty()) {
    const u32 rec = ep.pending.front();
    const sip_pending_lookup& lk = sip_mod.pools.lookups[rec];
    if (ticks_until(lk.timeout_tick) > 0) break;
    const u32 number = lk.number;
    if (lk.conn_id == SIP_NO_CONN) {
      for (u32 c : ep.cache)
        if (sip_mod.pools.cache[c].lookup_number == number) sip_mod.pools.cache[c].lookup_number = SIP_LOOKUP_RESOLVED;
    }
    ep.pending.pop_front();
    ep.lookup_table[number] = NPOS;
    ep.lookup_next = std::min(ep.lookup_next, number);
    while (ep.lookup_high > 0 && ep.lookup_table[ep.lookup_high - 1] == NPOS) --ep.lookup_high;
    sip_mod.pools.lookups.give_back(rec);
  }
  if (!ep.pending.empty()) arm_lookup_sweep(ep);
}

void sip_dns__cache_refresh(sip_endpoint& ep) {
  auto& cache = sip_mod.pools.cache;
  for (u32 c : ep.cache) {
    sip_name_cache_entry& e = cache[c];
    if (ticks_until(e.expiry_tick) > 0) break;
    if (e.lookup_number != SIP_LOOKUP_RESOLVED) continue;
    const u32 number = ep.lookup_next;
    if (sip_dns__start_lookup(ep, e.name.data(), SIP_NO_CONN) == 4) e.lookup_number = number;
  }
  cache_drop_expired(ep);
  if (!ep.cache.empty()) {
    const i32 left = ticks_until(cache[ep.cache.front()].expiry_tick);
    ep.cache_refresh.start(left > 0 ? static_cast<u32>(left) : 0, SIP_TIMER_CODE_CACHE);
  }
}

void sip_dns__release_all(sip_endpoint& ep) {
  for (u32 c : ep.cache) sip_mod.pools.cache.give_back(c);
  for (u32 l : ep.pending) sip_mod.pools.lookups.give_back(l);
  ep.cache.clear();
  ep.pending.clear();
  std::fill(ep.lookup_table.begin(), ep.lookup_table.end(), NPOS);
  ep.lookup_next = ep.lookup_high = 0;
}

u8 sip_dns__resolve(u16 nai, std::string_view host, u16 conn_id, std::array<u8, 4>* address) {
  sip_endpoint* ep = sip_endpoint_by_user_nai(nai);
  if (ep == nullptr) return 3;
  cache_drop_expired(*ep);
  for (u32 c : ep->cache) {
    const sip_name_cache_entry& e = sip_mod.pools.cache[c];
    if (sip_name_equal(e.name.data(), host)) {
      if (address != nullptr) *address = e.address;
      return 2;
    }
  }
  return sip_dns__start_lookup(*ep, host, conn_id);
}

u32 sip_dns__cache_size(u16 nai) {
  const sip_endpoint* ep = sip_endpoint_by_user_nai(nai);
  return ep != nullptr ? static_cast<u32>(ep->cache.size()) : 0;
}
u32 sip_dns__pending(u16 nai) {
  const sip_endpoint* ep = sip_endpoint_by_user_nai(nai);
  return ep != nullptr ? static_cast<u32>(ep->pending.size()) : 0;
}
