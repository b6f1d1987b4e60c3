// Writing and reading the sock_config record.
#include "runtime/sock_config.h"

#include <cstring>

#include "common/byte_order.h"

namespace {

// Walks an entry's fields in record order (the layout in sock_config.h, no
// gaps); io is a writer, a reader or a sizer with field(value), of 1, 2 or 4
// bytes by the value's size, and bytes(array).  E is const for writing.
template <class IO, class E>
constexpr void visit_entry(IO& io, E& e) {
  io.field(e.sapi);
  io.field(e.nai);
  io.field(e.conn_id);
  io.field(e.address_count);
  io.bytes(e.address);
  io.field(e.port);
  io.field(e.bind_address);
  io.field(e.kind);
  io.field(e.control_entity);
  io.field(e.data_entity);
  io.field(e.state);
  io.field(e.receive_size);
  io.field(e.rcvbuf_size);
  io.field(e.retry_delay_ms);
  io.field(e.retry_limit);
  io.field(e.tcp_listen);
  io.field(e.tcp_backlog);
  io.field(e.tcp_keep_coalescing);
  io.field(e.tos);
  io.field(e.cut_up);
}

struct entry_sizer {
  u32 size = 0;
  template <class T>
  constexpr void field(const T&) {
    size += sizeof(T);
  }
  template <std::size_t N>
  constexpr void bytes(const u8 (&)[N]) {
    size += N;
  }
};

constexpr u32 entry_size() {
  entry_sizer z;
  const sock_config_entry e{};
  visit_entry(z, e);
  return z.size;
}
static_assert(entry_size() == SOCK_CONFIG_ENTRY_SIZE, "sock_config entry layout");

struct entry_writer {
  u8* p;
  template <class T>
  void field(T v) {
    if constexpr (sizeof(T) == 1) *p = v;
    else if constexpr (sizeof(T) == 2) put_le16(p, v);
    else put_le32(p, v);
    p += sizeof(T);
  }
  template <std::size_t N>
  void bytes(const u8 (&a)[N]) {
    std::memcpy(p, a, N);
    p += N;
  }
};

struct entry_reader {
  const u8* p;
  template <class T>
  void field(T& v) {
    if constexpr (sizeof(T) == 1) v = *p;
    else if constexpr (sizeof(T) == 2) v = get_le16(p);
    else v = get_le32(p);
    p += sizeof(T);
  }
  template <std::size_t N>
  void bytes(u8 (&a)[N]) {
    std::memcpy(a, p, N);
    p += N;
  }
};

}  // namespace

void sock_config_entry_pack(const sock_config_entry& e, u8* out) {
  std::memset(out, 0, SOCK_CONFIG_ENTRY_SIZE);
  entry_writer w{out};
  visit_entry(w, e);
}

sock_config_entry sock_config_entry_unpack(const u8* in) {
  sock_config_entry e;
  entry_reader r{in};
  visit_entry(r, e);
  return e;
}

namespace {
// A body that claims `count` entries and holds the given ones.
std::vector<u8> sock_config_body_with_count(u32 leading_word, u16 count,
                                            const std::vector<sock_config_entry>& entries) {
  std::vector<u8> out(SOCK_CONFIG_HEADER_SIZE + entries.size() * SOCK_CONFIG_ENTRY_SIZE);
  put_le32(out.data(), leading_word);
  put_le16(out.data() + 4, count);
  for (size_t i = 0; i < entries.size(); ++i)
    sock_config_entry_pack(entries[i], out.data() + SOCK_CONFIG_HEADER_SIZE + i * SOCK_CONFIG_ENTRY_SIZE);
  return out;
}
}  // namespace

std::vector<u8> sock_config_body(u32 leading_word, const std::vector<sock_config_entry>& entries) {
  return sock_config_body_with_count(leading_word, static_cast<u16>(entries.size()), entries);
}

void sock_key_body_pack(u8 sapi, u16 nai, u16 conn_id, u8 out[SOCK_KEY_BODY_SIZE]) {
  std::memset(out, 0, SOCK_KEY_BODY_SIZE);
  out[4] = sapi;
  put_le16(out + 6, nai);
  put_le16(out + 8, conn_id);
}
