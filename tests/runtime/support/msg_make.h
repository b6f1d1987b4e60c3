// A message built in one go, for the stand-in entities of tests and
// benchmarks.  Header only: benchmarks build it in too.
#pragma once
#include <algorithm>
#include <vector>

#include "runtime/msg.h"

namespace rt_test {

// A message from `from` to `to` with the given code and data (inline, or in
// one buffer when it does not fit); null when the pools are out.
inline msg_t* make_msg(ent_id_t from, ent_id_t to, code_t code, const std::vector<u8>& data = {}, nai_t nai = 0,
                       u16 conn_id = 0) {
  msg_t* m = nullptr;
  buffer_t* b = nullptr;
  u8* p = nullptr;
  Alloc_msg_data(&m, &b, static_cast<u32>(data.size()), &p);
  if (!p) return nullptr;
  if (!data.empty()) std::copy(data.begin(), data.end(), p);
  m->from = from;
  m->to = to;
  m->code = code;
  m->nai = nai;
  m->sapi = 0;
  m->conn_id = conn_id;
  return m;
}

}  // namespace rt_test
