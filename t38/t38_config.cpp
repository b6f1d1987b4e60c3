#include "t38/t38_config.h"

#include <algorithm>

#include "common/byte_order.h"

namespace kv::t38 {

namespace {

struct entry_reader {
  const u8* p;
  u32 left;
  bool ok = true;
  // One field of sizeof(T) bytes read by get, or ok cleared when too few
  // are left.
  template <class T, class Get>
  void take(T& v, Get get) {
    if (left < sizeof(T)) {
      ok = false;
      return;
    }
    v = get(p);
    p += sizeof(T);
    left -= static_cast<u32>(sizeof(T));
  }
  void byte(u8& v) {
    take(v, [](const u8* q) { return *q; });
  }
  void word(u16& v) { take(v, get_le16); }
  void dword(u32& v) { take(v, get_le32); }
};

struct entry_writer {
  std::vector<u8>& out;
  void byte(u8& v) { out.push_back(v); }
  void word(u16& v) {
    u8 b[2];
    put_le16(b, v);
    out.insert(out.end(), b, b + 2);
  }
  void dword(u32& v) {
    u8 b[4];
    put_le32(b, v);
    out.insert(out.end(), b, b + 4);
  }
};

struct entry_counter {
  u32 n = 0;
  void byte(u8&) { n += 1; }
  void word(u16&) { n += 2; }
  void dword(u32&) { n += 4; }
};

}  // namespace

u32 t38__entry_size(u8 kind_of_session) {
  t38_session_entry e;
  e.kind_of_session = kind_of_session;
  entry_counter c;
  t38__visit_entry(c, e);
  return c.n;
}

bool t38__read_entry(const u8* in, u32 avail, t38_session_entry& out) {
  out = t38_session_entry{};
  if (avail < 1) return false;
  entry_reader r{in, avail};
  t38__visit_entry(r, out);
  return r.ok;
}

namespace {
// Appends one entry to `out`.
void t38__write_entry(const t38_session_entry& e, std::vector<u8>& out) {
  t38_session_entry copy = e;
  entry_writer w{out};
  t38__visit_entry(w, copy);
}
}  // namespace

std::vector<u8> t38__common_body(u32 ced_duration_ms) {
  std::vector<u8> b(T38__COMMON_BODY_SIZE, 0);
  b[3] = T38__COMMON_CNF;
  put_le32(b.data() + 4, ced_duration_ms);
  return b;
}

std::vector<u8> t38__session_body(const std::vector<t38_session_entry>& entries) {
  std::vector<u8> b(T38__CONFIG_HEADER_SIZE + 2, 0);
  b[3] = T38__SESSION_CNF;
  put_le16(b.data() + 4, static_cast<u16>(entries.size()));
  for (const auto& e : entries) t38__write_entry(e, b);
  return b;
}

t38__t38_capabilities t38__default_capabilities() {
  t38__t38_capabilities c;
  c.t38_version = 1;
  c.fax_max_bit_rate = T38__CAP__MAX_BIT_RATE;
  c.drate_mgt_method = T38__DRATE_TRANSFERRED_TCF;
  c.fax_max_buffer_size = T38__CAP__FAX_MAX_BUFFER_SIZE;
  c.max_datagram_size = T38__CAP__MAX_DATAGRAM_SIZE;
  c.udp_ec = T38__UDP_EC_REDUNDANCY;
  c.tcp_transport_supported = 1;
  c.tcp_fax_max_bit_rate = T38__CAP__MAX_BIT_RATE;
  c.tcp_drate_mgt_method = T38__DRATE_TRANSFERRED_TCF;
  return c;
}

void t38__write_capabilities(const t38__t38_capabilities& c, u8 out[T38__CAPABILITIES_SIZE]) {
  // The capability group of an entry, on its own.
  t38_session_entry e;
  e.caps = c;
  std::vector<u8> all;
  t38__write_entry(e, all);
  constexpr u32 kCapsOffset = 44;
  std::copy(all.begin() + kCapsOffset, all.begin() + kCapsOffset + T38__CAPABILITIES_SIZE, out);
}

u8 t38__clamp_capabilities(const t38__t38_capabilities& in, u8 media_transport, t38__t38_capabilities& adj) {
  adj = in;
  adj.t38_version = std::min<u8>(in.t38_version, 1);
  adj.fax_max_bit_rate = std::min<u16>(in.fax_max_bit_rate, T38__CAP__MAX_BIT_RATE);
  if ((in.drate_mgt_method & T38__DRATE_TRANSFERRED_TCF) == 0) return T38__CAUSE_NO_TRANSFERRED_TCF;
  adj.drate_mgt_method = T38__DRATE_TRANSFERRED_TCF;
  adj.remove_fill_bits_t4 = adj.transcode_mmr = adj.transcode_jbig = 0;
  if (media_transport == T38__MEDIA_TPKT) {
    adj.fax_max_buffer_size = T38__TCP_FAX_MAX_BUFFER_SIZE;
    adj.max_datagram_size = T38__TCP_MAX_DATAGRAM_SIZE;
    return T38__CAUSE_OK;
  }
  if (in.fax_max_buffer_size == 0) return T38__CAUSE_BUFFER_SIZE_0;
  if (in.fax_max_buffer_size < in.max_datagram_size) return T38__CAUSE_BUFFER_BELOW_DATAGRAM;
  if (in.max_datagram_size == 0) return T38__CAUSE_DATAGRAM_SIZE_0;
  if ((in.udp_ec & T38__UDP_EC_REDUNDANCY) == 0) return T38__CAUSE_NO_REDUNDANCY;
  adj.udp_ec = T38__UDP_EC_REDUNDANCY;
  return T38__CAUSE_OK;
}

u32 t38__normalise_inactivity(u32 ms) { return ms >= 1 && ms <= 9 ? 10 : ms; }

void t38__check_udp_simulation(t38__udp_simulation& sim) {
  if (sim.nb_of_pck_lost != 0 && sim.freq_pck_lost < sim.nb_of_pck_lost / 2) {
    sim.freq_pck_lost = static_cast<u8>(std::min(2 * sim.nb_of_pck_lost, 255));
  }
  if (sim.pck_delayed_ms != 0 && sim.freq_pck_delayed < sim.nb_of_pck_delayed / 2) {
    sim.freq_pck_delayed = static_cast<u8>(std::min(2 * sim.nb_of_pck_delayed, 255));
  }
}

}  // namespace kv::t38
