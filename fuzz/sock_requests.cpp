// Feeds arbitrary configuration bodies and socket requests to ENT_IP: every
// input must end with the runtime stopped cleanly, no crash, no hang.
//
// Input: records of {selector, key, flags, length, data[length]}.  The
// selector picks the code and the source entity from a table, the key byte
// the socket's sapi (bit 0), nai (bits 1-2) and conn_id (bits 3-4); flags
// bit 0 puts the data in a buffer chain.  So that the target only ever
// talks to itself, configured sockets are bound to 127.0.0.1 and every
// address in a request is turned into 127.0.0.1; host lookups ask for
// "localhost".
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "runtime/entity.h"
#include "runtime/msg.h"
#include "runtime/om_os.h"
#include "runtime/sm.h"
#include "runtime/sock.h"
#include "runtime/sock_config.h"
#include "runtime/timer.h"

namespace {

void free_handler(msg_t* m) { Free_msg(m); }

const entity_table_row_t TABLE[] = {
    {ENT_SM, free_handler, 0, 0, nullptr, 0},
    {ENT_SIP, free_handler, 0, 0, nullptr, 0},
    IP_ENTITY_ROW,
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

struct source {
  code_t code;
  ent_id_t from;
};
const source SOURCES[] = {
    {SM_CONFIG_RQ, ENT_SM},
    {SM_RST_CFG_RQ, ENT_SM},
    {SM_INIT_RQ, ENT_SM},
    {SM_STOP_RQ, ENT_SM},
    {SM_MIP_ROUT_RQ, ENT_SM},
    {SM_CLR_BUSY_RQ, ENT_SM},
    {SOCK_EST_RQ, ENT_SIP},
    {SOCK_REL_RQ, ENT_SIP},
    {SOCK_LISTEN_RQ, ENT_SIP},
    {SOCK_STOP_LISTEN_RQ, ENT_SIP},
    {SOCK_U_DA_RQ, ENT_SIP},
    {SOCK_DA_RQ, ENT_SIP},
    {SOCK_COMMIT_RQ, ENT_SIP},
    {SOCKADDDELIP_RQ, ENT_SIP},
    {SOCK_INTSYNC_RQ, ENT_SIP},
    {SOCK_DNS_RQ, ENT_SIP},
    {SOCK_ICMP_RQ, ENT_SIP},
    {SOCK_RAW_IP_RQ, ENT_SIP},
    {SOCK_IT_PEER_CLOSED, ENT_PH_IT},
    {SOCK_IT_CLOSE_LISTENER, ENT_PH_IT},
    {SOCK_IT_LISTEN_AGAIN, ENT_PH_IT},
    {SOCK_IT_SHUT_DOWN, ENT_PH_IT},
    {SOCK_IT_ROUND, ENT_PH_IT},
    {SOCK_IT_RESOLVED, ENT_PH_IT},
    {SOCK_TIMER_RETRY, ENT_TI},
};

void ignore_trap(u16, const char*) {}

// Keeps the input on the loopback interface.
void tame(code_t code, u8* d, size_t n) {
  if (code == SM_CONFIG_RQ && n >= SOCK_CONFIG_HEADER_SIZE + SOCK_CONFIG_ENTRY_SIZE) {
    u8* e = d + SOCK_CONFIG_HEADER_SIZE;
    e[5] = 1;  // one local address, 127.0.0.1, bound
    e[6] = 127;
    e[7] = 0;
    e[8] = 0;
    e[9] = 1;
    e[12] = 1;
    if (e[13] == SOCK_KIND_RAW) e[13] = SOCK_KIND_UDP;
    e[31] = static_cast<u8>(e[31] & 3);  // a small backlog
    e[32] = e[33] = e[34] = 0;
  }
  if ((code == SOCK_U_DA_RQ || code == SOCK_EST_RQ) && n >= 8) {
    d[4] = 127;
    d[5] = 0;
    d[6] = 0;
    d[7] = 1;
  }
  if (code == SOCK_DNS_RQ && n >= 4 + 10) std::memcpy(d + 4, "localhost", 10);
  if (code == SOCK_DNS_RQ && n > 4 && n < 14) d[4] = 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  om_os_set_trap_handler(ignore_trap);
  om_os_start_options o;
  o.table = TABLE;
  o.sm_thread = false;
  o.timer_thread = false;
  o.bkgr_thread = false;
  om_os_start_with(o);
  om_os_run_ready(0);

  size_t at = 0;
  u32 sent = 0;
  while (at + 4 <= size && sent < 64) {
    const source& src = SOURCES[data[at] % (sizeof SOURCES / sizeof SOURCES[0])];
    const u8 key = data[at + 1], flags = data[at + 2], len = data[at + 3];
    at += 4;
    const size_t n = len <= size - at ? len : size - at;
    u8 body[256];
    std::memcpy(body, data + at, n);
    at += n;
    tame(src.code, body, n);
    msg_t* m = nullptr;
    if (flags & 1) {
      m = Alloc_msg();
      if (!m) break;
      buffer_t* b = Store_data_in_buffers(body, static_cast<u32>(n), nullptr);
      if (b) Msg_attach_chain(m, b);
    } else {
      buffer_t* b = nullptr;
      u8* p = nullptr;
      Alloc_msg_data(&m, &b, static_cast<u32>(n), &p);
      if (!p) break;
      if (n) std::memcpy(p, body, n);
    }
    m->from = src.from;
    m->to = ENT_IP;
    m->code = src.code;
    m->sapi = static_cast<u8>(1 + (key & 1));
    m->nai = static_cast<nai_t>((key >> 1) & 3);
    m->conn_id = static_cast<u16>((key >> 3) & 3);
    if (src.from == ENT_SM) Sm_set_target(m, ENT_IP);
    Send_msg(m);
    ++sent;
    om_os_run_ready(0);
    om_os_timer_poll();
  }
  om_os_run_ready(0);
  om_os_stop();
  om_os_set_trap_handler(nullptr);
  return 0;
}
