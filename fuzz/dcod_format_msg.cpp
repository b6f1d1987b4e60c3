// Feeds arbitrary message headers and bodies of every length from 0 to a
// buffer's room to the message trace decoder.  Every input must end without
// a crash, a read past the message's data or a write past the line, and the
// line must stay terminated.
//
// Input: from, to, code, u16 nai, sapi, u16 conn_id (little-endian), flags
// (bit 0: the data lie in a buffer, else inline when they fit 64 bytes; bit
// 1: comma form; bit 2: swapped byte order), u16 line size (at most 8192),
// u16 max bytes, then the data.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "common/byte_order.h"
#include "runtime/dcod.h"
#include "runtime/msg.h"

namespace {

constexpr u32 INLINE_ROOM = 64;
constexpr u32 BUFFER_ROOM = 1600;
constexpr size_t HEAD = 13;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < HEAD) return 0;
  const u8 flags = data[8];
  size_t line_size = get_le16(data + 9) % 8193;
  const u32 max_bytes = get_le16(data + 11);
  const u8* body = data + HEAD;
  u32 n = static_cast<u32>(size - HEAD);
  if (n > BUFFER_ROOM) n = BUFFER_ROOM;
  const bool chained = (flags & 1) || n > INLINE_ROOM;

  // A message and a buffer laid out as the runtime lays them out; the data
  // are copied so that the room behind them is exactly their length.
  std::vector<u8> msg_area(sizeof(msg_t) + (chained ? 0 : n));
  std::vector<u8> buf_area(sizeof(buffer_t) + (chained ? n : 0));
  auto* m = reinterpret_cast<msg_t*>(msg_area.data());
  std::memset(static_cast<void*>(m), 0, sizeof *m);
  m->from = data[0];
  m->to = data[1];
  m->code = data[2];
  m->nai = get_le16(data + 3);
  m->sapi = data[5];
  m->conn_id = get_le16(data + 6);
  m->in_use = 1;
  m->data_offset = MSG_HEADER_SIZE;
  if (chained) {
    auto* b = reinterpret_cast<buffer_t*>(buf_area.data());
    std::memset(static_cast<void*>(b), 0, sizeof *b);
    b->data_offset = BUFFER_HEADER_SIZE;
    b->data_size = static_cast<u16>(n);
    if (n) std::memcpy(Buffer_data(b), body, n);
    m->p_buffer = b;
    m->chain_size = static_cast<u16>(n);
  } else {
    m->data_size = static_cast<u8>(n);
    if (n) std::memcpy(Msg_inline_data(m), body, n);
  }

  dcod__init();
  dcod__set_pipe_form(!(flags & 2));
  dcod__set_byte_order(!(flags & 4));
  std::vector<char> line(line_size + 1, 'Z');
  line[line_size] = '\0';
  if (line_size) line[0] = '\0';
  dcod__format_msg(m, line.data(), line_size, max_bytes);
  if (line_size && std::strlen(line.data()) >= line_size) __builtin_trap();
  // Appending to a line that already holds text.
  if (line_size > 1) dcod__format_msg(m, line.data(), line_size, max_bytes);
  if (line_size && std::strlen(line.data()) >= line_size) __builtin_trap();
  return 0;
}
