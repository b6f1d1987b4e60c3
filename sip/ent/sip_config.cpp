// The layout of the SIP entity's configuration body, written once.
#include "platform/int_types.h"
#include "sip/ent/sip_config.h"

#include <cstring>
#include <type_traits>

namespace {

// Little-endian field access.  The same visitor walks the fields for both
// directions: `writer` copies members into the bytes, `reader` the reverse.
struct writer {
  u8* base;
  template <class T>
  void operator()(std::size_t at, const T& v) const {
    if constexpr (std::is_integral_v<T>) {
      for (std::size_t i = 0; i < sizeof(T); ++i) base[at + i] = static_cast<u8>(v >> (8 * i));
    } else {
      std::memcpy(base + at, v.data(), v.size());
    }
  }
};

struct reader {
  const u8* base;
  template <class T>
  void operator()(std::size_t at, T& v) const {
    if constexpr (std::is_integral_v<T>) {
      u64 x = 0;
      for (std::size_t i = 0; i < sizeof(T); ++i) x |= static_cast<u64>(base[at + i]) << (8 * i);
      v = static_cast<T>(x);
    } else {
      std::memcpy(v.data(), base + at, v.size());
    }
  }
};

// The 144-byte endpoint entry: offset and field.
template <class E, class F>
void endpoint_fields(E& e, F&& f) {
  f(0, e.nai);
  f(2, e.address_type);
  f(4, e.options);
  f(6, e.address_length);
  f(7, e.address);
  f(12, e.default_port);
  f(14, e.user_entity);
  f(20, e.hold_ms);
  f(24, e.t1_ms);
  f(28, e.t2_ms);
  f(32, e.supervision_ms);
  f(36, e.max_calls);
  f(40, e.lookup_table_size);
  f(44, e.callid_buckets);
  f(46, e.transport_entity);
  f(48, e.transport_nai);
  f(50, e.datagram_room);
  f(51, e.other_room);
  f(52, e.resolver_entity);
  f(53, e.endpoint_flags);
  f(56, e.invite_resend_ms);
  f(60, e.provisional_wait_ms);
  f(64, e.lookup_life_ms);
  f(68, e.bye_hold_ms);
  f(72, e.branch_buckets);
  f(74, e.proxy_host);
  f(140, e.proxy_port);
}
static_assert(140 + 2 <= SIP_CONFIG_ENDPOINT_SIZE);

// The 468-byte body: global part, then the three entry slots.
template <class C, class F>
void config_fields(C& c, F&& f) {
  f(0, c.relay_word);
  f(4, c.server_tx_count);
  f(12, c.call_count);
  f(16, c.cache_count);
  f(20, c.lookup_count);
  f(24, c.endpoint_count);
  for (std::size_t i = 0; i < SIP_CONFIG_MAX_ENDPOINTS; ++i) {
    const std::size_t at = SIP_CONFIG_ENDPOINT_OFFSET + i * SIP_CONFIG_ENDPOINT_SIZE;
    endpoint_fields(c.endpoints[i], [&](std::size_t off, auto& v) { f(at + off, v); });
  }
  f(460, c.tick_period_ms);
  f(464, c.tick_window);
}
static_assert(SIP_CONFIG_ENDPOINT_OFFSET + SIP_CONFIG_MAX_ENDPOINTS * SIP_CONFIG_ENDPOINT_SIZE == 460);
static_assert(464 + 2 <= SIP_CONFIG_SIZE);

template <class T>
T or_default(T v, T def) {
  return v != 0 ? v : def;
}

u16 even(u16 n) { return static_cast<u16>((n + 1u) & ~1u); }

}  // namespace

void sip_config_pack(const sip_config& cfg, u8 out[SIP_CONFIG_SIZE]) {
  std::memset(out, 0, SIP_CONFIG_SIZE);
  const writer w{out};
  config_fields(cfg, [&](std::size_t at, const auto& v) { w(at, v); });
}

bool sip_config_read(const u8* body, std::size_t length, sip_config* out) {
  if (body == nullptr || out == nullptr || length < SIP_CONFIG_SIZE) return false;
  *out = sip_config{};
  const reader r{body};
  config_fields(*out, [&](std::size_t at, auto& v) { r(at, v); });
  if (out->endpoint_count > SIP_CONFIG_MAX_ENDPOINTS) out->endpoint_count = SIP_CONFIG_MAX_ENDPOINTS;
  for (auto& e : out->endpoints) e.proxy_host.back() = '\0';
  return true;
}

sip_global_settings sip_config_resolve_global(const sip_config& cfg) {
  sip_global_settings g{};
  g.server_tx_count = or_default<u32>(cfg.server_tx_count, 200);
  g.call_count = or_default<u32>(cfg.call_count, 200);
  g.cache_count = cfg.cache_count;
  g.lookup_count = or_default<u32>(cfg.lookup_count, 50);
  g.tick_period_ms = or_default<u32>(cfg.tick_period_ms, 1000);
  g.tick_window = or_default<u16>(cfg.tick_window, 10);
  return g;
}

sip_endpoint_settings sip_config_resolve(const sip_config_endpoint& e) {
  sip_endpoint_settings s{};
  s.nai = e.nai;
  s.transport_nai = e.transport_nai;
  s.address_type = e.address_type;
  s.address_length = e.address_length > 4 ? 4 : e.address_length;
  std::memcpy(s.address.data(), e.address.data(), 4);
  s.proxy_host = e.proxy_host;
  s.proxy_host.back() = '\0';
  s.proxy_host_length = static_cast<u16>(std::strlen(s.proxy_host.data()));
  s.options = e.options;
  if ((s.options & (SIP_OPT_PROXY_ADDRESS | SIP_OPT_PROXY_NAME)) == 0) s.options &= ~SIP_OPT_PROXY_PORT;
  s.proxy_port = or_default<u16>(e.proxy_port, 5060);
  s.default_port = or_default<u16>(e.default_port, 5060);
  s.user_entity = e.user_entity;
  s.transport_entity = e.transport_entity;
  s.resolver_entity = or_default(e.resolver_entity, e.transport_entity);
  s.endpoint_flags = e.endpoint_flags;
  s.datagram_room = static_cast<u16>(even(e.datagram_room) + 28);
  s.other_room = even(e.other_room);
  s.hold_ms = or_default<u32>(e.hold_ms, 32000);
  s.ack_life_ms = s.hold_ms;
  s.t1_ms = or_default<u32>(e.t1_ms, 500);
  s.t2_ms = or_default<u32>(e.t2_ms, 4000);
  s.supervision_ms = or_default<u32>(e.supervision_ms, 3000);
  s.invite_resend_ms = or_default<u32>(e.invite_resend_ms, 20000);
  s.provisional_wait_ms = or_default<u32>(e.provisional_wait_ms, 360000);
  s.bye_hold_ms = or_default<u32>(e.bye_hold_ms, 30000);
  s.lookup_life_ms = or_default<u32>(e.lookup_life_ms, 30000);
  s.max_calls = e.max_calls == 0 ? 100 : (e.max_calls > 65534 ? 65534 : e.max_calls);
  s.lookup_table_size = or_default<u32>(e.lookup_table_size, 50);
  s.callid_buckets = or_default<u16>(e.callid_buckets, 10);
  s.branch_buckets = or_default<u16>(e.branch_buckets, 10);
  return s;
}
