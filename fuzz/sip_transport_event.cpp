// Feeds datagrams to ENT_SIP as the socket receive side delivers them, with a
// session-control user that takes every primitive: every input must leave
// the runtime drained, no message lost, and, once the endpoint is released,
// no record of any pool in use.
//
// Input: records of {u16 length (little-endian), bytes[length]}, each the
// SIP text of one datagram.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "runtime/entity.h"
#include "runtime/msg.h"
#include "runtime/om_os.h"
#include "runtime/sm.h"
#include "runtime/sock.h"
#include "sip/ent/sip_config.h"
#include "sip/ent/sip_entity.h"

namespace {

void free_handler(msg_t* m) { Free_msg(m); }

const entity_table_row_t TABLE[] = {
    SIP_ENTITY_ROW,
    {ENT_SM, free_handler, 0, 0, nullptr, 0},
    {ENT_SSC, free_handler, 0, 0, nullptr, 0},
    {ENT_IP, free_handler, 0, 0, nullptr, 0},
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

u32 fixed_tick() { return 100000; }
void ignore_trap(u16, const char*) {}
int held() { return om_os_msg_pool_stats().in_use - om_os_it_msg_pool_stats().count; }

void send(ent_id_t from, code_t code, const std::uint8_t* data, std::size_t n, nai_t nai) {
  msg_t* m = Alloc_msg();
  if (m == nullptr) std::abort();
  if (n > 0) {
    buffer_t* b = Store_data_in_buffers(data, static_cast<u32>(n), nullptr);
    if (b == nullptr) std::abort();
    Msg_attach_chain(m, b);
  }
  m->from = from;
  m->to = ENT_SIP;
  m->nai = nai;
  m->sapi = 0;
  m->conn_id = 0;
  m->code = code;
  Send_msg(m);
  if (om_os_run_ready(0, 100000) >= 100000) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  om_os_set_trap_handler(ignore_trap);
  om_os_set_tick_source(fixed_tick);
  om_os_start_options o;
  o.table = TABLE;
  o.sm_thread = false;
  o.timer_thread = false;
  o.bkgr_thread = false;
  om_os_start_with(o);
  om_os_run_ready(0);
  const int base = held();

  sip_config cfg;
  cfg.endpoint_count = 1;
  cfg.call_count = 4;
  cfg.server_tx_count = 6;
  sip_config_endpoint& e = cfg.endpoints[0];
  e.nai = 1;
  e.address_type = 1;
  e.address_length = 4;
  e.user_entity = ENT_SSC;
  e.transport_entity = ENT_IP;
  e.transport_nai = 2;
  e.max_calls = 3;
  std::uint8_t body[SIP_CONFIG_SIZE];
  sip_config_pack(cfg, body);
  send(ENT_SM, SM_CONFIG_RQ, body, sizeof body, 0);

  std::size_t at = 0;
  while (at + 2 <= size) {
    std::size_t n = data[at] | (data[at + 1] << 8);
    at += 2;
    if (n > size - at) n = size - at;
    std::vector<std::uint8_t> d(SOCK_UDP_HEADER_SIZE + n);
    d[0] = 4;
    d[4] = 127;
    d[7] = 1;
    d[8] = 0xc4;
    d[9] = 0x13;
    if (n) std::memcpy(&d[SOCK_UDP_HEADER_SIZE], data + at, n);
    at += n;
    send(ENT_PH_IT, SOCK_U_DA_IN, d.data(), d.size(), 2);
  }
  const std::uint8_t none = 0;
  send(ENT_SM, SM_RST_CFG_RQ, &none, 1, 1);
  if (sip_entity_state().pools != nullptr) std::abort();  // the last release frees every pool
  if (held() != base) std::abort();
  om_os_stop();
  return 0;
}
