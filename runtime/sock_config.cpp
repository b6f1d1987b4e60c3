// Writing and reading the sock_config record.
#include "runtime/sock_config.h"

#include <cstring>

#include "common/byte_order.h"

namespace {

// Field offsets of an entry.
enum : u32 {
  OFF_SAPI = 0,
  OFF_NAI = 1,
  OFF_CONN = 3,
  OFF_ADDR_COUNT = 5,
  OFF_ADDR = 6,
  OFF_PORT = 10,
  OFF_BIND = 12,
  OFF_KIND = 13,
  OFF_CONTROL = 14,
  OFF_DATA = 15,
  OFF_STATE = 16,
  OFF_RECV_SIZE = 17,
  OFF_RCVBUF = 21,
  OFF_RETRY_DELAY = 25,
  OFF_RETRY_LIMIT = 29,
  OFF_LISTEN = 30,
  OFF_BACKLOG = 31,
  OFF_COALESCE = 35,
  OFF_TOS = 36,
  OFF_CUT_UP = 37,
};
static_assert(OFF_CUT_UP + 1 == SOCK_CONFIG_ENTRY_SIZE, "sock_config entry layout");

}  // namespace

namespace {

// Walks an entry's fields at their offsets; io is a writer or a reader with
// field(offset, value), of 1, 2 or 4 bytes by the value's size, and
// bytes(offset, array).  E is const for writing.
template <class IO, class E>
void visit_entry(IO& io, E& e) {
  io.field(OFF_SAPI, e.sapi);
  io.field(OFF_NAI, e.nai);
  io.field(OFF_CONN, e.conn_id);
  io.field(OFF_ADDR_COUNT, e.address_count);
  io.bytes(OFF_ADDR, e.address);
  io.field(OFF_PORT, e.port);
  io.field(OFF_BIND, e.bind_address);
  io.field(OFF_KIND, e.kind);
  io.field(OFF_CONTROL, e.control_entity);
  io.field(OFF_DATA, e.data_entity);
  io.field(OFF_STATE, e.state);
  io.field(OFF_RECV_SIZE, e.receive_size);
  io.field(OFF_RCVBUF, e.rcvbuf_size);
  io.field(OFF_RETRY_DELAY, e.retry_delay_ms);
  io.field(OFF_RETRY_LIMIT, e.retry_limit);
  io.field(OFF_LISTEN, e.tcp_listen);
  io.field(OFF_BACKLOG, e.tcp_backlog);
  io.field(OFF_COALESCE, e.tcp_keep_coalescing);
  io.field(OFF_TOS, e.tos);
  io.field(OFF_CUT_UP, e.cut_up);
}

struct entry_writer {
  u8* out;
  template <class T>
  void field(u32 at, T v) {
    if constexpr (sizeof(T) == 1) out[at] = v;
    else if constexpr (sizeof(T) == 2) put_le16(out + at, v);
    else put_le32(out + at, v);
  }
  template <std::size_t N>
  void bytes(u32 at, const u8 (&a)[N]) {
    std::memcpy(out + at, a, N);
  }
};

struct entry_reader {
  const u8* in;
  template <class T>
  void field(u32 at, T& v) {
    if constexpr (sizeof(T) == 1) v = in[at];
    else if constexpr (sizeof(T) == 2) v = get_le16(in + at);
    else v = get_le32(in + at);
  }
  template <std::size_t N>
  void bytes(u32 at, u8 (&a)[N]) {
    std::memcpy(a, in + at, N);
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
