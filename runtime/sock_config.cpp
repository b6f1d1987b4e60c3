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

void sock_config_entry_pack(const sock_config_entry& e, u8* out) {
  std::memset(out, 0, SOCK_CONFIG_ENTRY_SIZE);
  out[OFF_SAPI] = e.sapi;
  put_le16(out + OFF_NAI, e.nai);
  put_le16(out + OFF_CONN, e.conn_id);
  out[OFF_ADDR_COUNT] = e.address_count;
  std::memcpy(out + OFF_ADDR, e.address, 4);
  put_le16(out + OFF_PORT, e.port);
  out[OFF_BIND] = e.bind_address;
  out[OFF_KIND] = e.kind;
  out[OFF_CONTROL] = e.control_entity;
  out[OFF_DATA] = e.data_entity;
  out[OFF_STATE] = e.state;
  put_le32(out + OFF_RECV_SIZE, e.receive_size);
  put_le32(out + OFF_RCVBUF, e.rcvbuf_size);
  put_le32(out + OFF_RETRY_DELAY, e.retry_delay_ms);
  out[OFF_RETRY_LIMIT] = e.retry_limit;
  out[OFF_LISTEN] = e.tcp_listen;
  put_le32(out + OFF_BACKLOG, e.tcp_backlog);
  out[OFF_COALESCE] = e.tcp_keep_coalescing;
  out[OFF_TOS] = e.tos;
  out[OFF_CUT_UP] = e.cut_up;
}

sock_config_entry sock_config_entry_unpack(const u8* in) {
  sock_config_entry e;
  e.sapi = in[OFF_SAPI];
  e.nai = get_le16(in + OFF_NAI);
  e.conn_id = get_le16(in + OFF_CONN);
  e.address_count = in[OFF_ADDR_COUNT];
  std::memcpy(e.address, in + OFF_ADDR, 4);
  e.port = get_le16(in + OFF_PORT);
  e.bind_address = in[OFF_BIND];
  e.kind = in[OFF_KIND];
  e.control_entity = in[OFF_CONTROL];
  e.data_entity = in[OFF_DATA];
  e.state = in[OFF_STATE];
  e.receive_size = get_le32(in + OFF_RECV_SIZE);
  e.rcvbuf_size = get_le32(in + OFF_RCVBUF);
  e.retry_delay_ms = get_le32(in + OFF_RETRY_DELAY);
  e.retry_limit = in[OFF_RETRY_LIMIT];
  e.tcp_listen = in[OFF_LISTEN];
  e.tcp_backlog = get_le32(in + OFF_BACKLOG);
  e.tcp_keep_coalescing = in[OFF_COALESCE];
  e.tos = in[OFF_TOS];
  e.cut_up = in[OFF_CUT_UP];
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
