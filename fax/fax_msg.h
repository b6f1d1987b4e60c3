// A message with a copy of its body, as the fax layers build them.
#pragma once

#include <cstring>
#include <span>

#include "runtime/msg.h"

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
  m->from = from;
  m->to = to;
  m->code = code;
  m->nai = nai;
  m->sapi = sapi;
  m->conn_id = conn_id;
  return m;
}
