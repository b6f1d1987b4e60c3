// A message with a copy of its body, as the fax layers build them.
#pragma once

#include <cstring>
#include <span>

#include "runtime/buffer.h"
#include "runtime/msg.h"

// Attaches a copy of `data` to m in a buffer chain (nothing when it is
// empty). When no buffer can be had, m is freed and the answer is false.
[[nodiscard]] inline bool fax_attach_copy(msg_t* m, std::span<const u8> data) {
  if (data.empty()) return true;
  buffer_t* b = Store_data_in_buffers(data.data(), static_cast<u32>(data.size()), nullptr);
  if (!b) {
    Free_msg(m);
    return false;
  }
  Msg_attach_chain(m, b);
  return true;
}

// A new message from `from` to `to` carrying a copy of body (inline or in a
// buffer); null when neither can be had.
[[nodiscard]] inline msg_t* fax_new_msg(ent_id_t from, ent_id_t to, code_t code, nai_t nai, u8 sapi, u16 conn_id,
                                        std::span<const u8> body) {
  msg_t* m = nullptr;
  buffer_t* b = nullptr;
  u8* p = nullptr;
  Alloc_msg_data(&m, &b, static_cast<u32>(body.size()), &p);
  if (!p) return nullptr;
  if (!body.empty()) std::memcpy(p, body.data(), body.size());
  Msg_set_head(m, {from, to, code, nai, sapi, conn_id});
  return m;
}
