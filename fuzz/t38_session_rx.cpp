// Feeds arbitrary received datagrams and TCP data to live T.38 sessions
// through the entity's handler: no crash, no leak, and the pools balance
// after every input (every IFP packet object and data field still held
// waits in the receive fifo).
//
// Input: byte 0 bit 0 picks the TCP session (else UDP), bit 1 puts the
// data in a buffer chain, bit 2 sends the address record of another host;
// byte 1 is where the data are cut into two messages; the rest is the
// datagram or the stream.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "runtime/om_os.h"
#include "runtime/sock.h"
#include "t38/t38_config.h"
#include "t38/t38_entity.h"
#include "t38/t38_iaf_port.h"
#include "t38/t38_session.h"

using namespace kv::t38;

namespace {

void free_handler(msg_t* m) { Free_msg(m); }
void ignore_trap(u16, const char*) {}

const entity_table_row_t TABLE[] = {
    {ENT_FOIP, free_handler, 0, 0, nullptr, 0},
    {ENT_IP, free_handler, 0, 0, nullptr, 0},
    T38_ENTITY_ROW,
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

class fuzz_iaf final : public t38_iaf_port {
 public:
  u8 main_automaton(u8 kind, msg_t** m, t38_session& s) override {
    if (kind == T38IAF__KIND_USER) return 2;
    const u8 r = kind == T38IAF__KIND_UDPTL ? t38_ifp__store_rcv_udptl_pck(*m, s) : t38_ifp__store_rcv_tpkt_pck(*m, s);
    for (int guard = 0; guard < 100000; ++guard) {
      t38_rx_packet p;
      (void)t38_ifp__get_ifp_pck(p, s);
      if (p.type_byte == T38_IFP__NOTHING) break;
      t38_mem__free_data_objects(p.fields, s);
    }
    return r;
  }
  u8 polling_setup(t38_session&) override { return 2; }
  u8 session_setup(t38_session&) override { return 2; }
  void session_reset(t38_session&) override {}
  u8 update_drate(t38_session&, u32, u16, u8*) override { return 2; }
  void polling_expiry(msg_t**) override {}
  void statistics(const t38_session&, u32*, u16*) override {}
};

fuzz_iaf iaf;

void to_t38(ent_id_t from, code_t code, nai_t nai, const u8* data, size_t n, bool chained) {
  msg_t* m = nullptr;
  if (!chained && n <= om_os_get_msg_room()) {
    buffer_t* b = nullptr;
    u8* p = nullptr;
    Alloc_msg_data(&m, &b, static_cast<u32>(n), &p);
    if (m == nullptr) return;
    if (n > 0) std::memcpy(p, data, n);
  } else {
    m = Alloc_msg();
    if (m == nullptr) return;
    if (n > 0) Msg_attach_chain(m, Store_data_in_buffers(data, static_cast<u32>(n), nullptr));
  }
  m->from = from;
  m->to = ENT_T38;
  m->nai = nai;
  m->sapi = 1;
  m->conn_id = 0;
  m->code = code;
  Send_msg(m);
  om_os_run_ready(0);
}

void configure(const std::vector<u8>& body) { to_t38(ENT_FOIP, T38__SET_CONFIG_RQ, 0, body.data(), body.size(), true); }

void start_once() {
  static bool started = false;
  if (started) return;
  started = true;
  om_os_set_trap_handler(ignore_trap);
  om_os_start_options o;
  o.table = TABLE;
  o.sm_thread = false;
  o.timer_thread = false;
  o.bkgr_thread = false;
  om_os_start_with(o);
  t38_set_iaf_port(&iaf);
  configure(t38__common_body(3000));
}

t38_session_entry entry(nai_t nai, u8 media) {
  t38_session_entry e;
  e.addr.nai = nai;
  e.addr.remote_ipv4_addr[0] = 127;
  e.addr.remote_ipv4_addr[3] = 1;
  e.addr.remote_port = 4000;
  e.ip.media_transport = media;
  e.ip.nb_red_ifp_pck__default = 3;
  e.ip.flag_optimize_filling_dfield = 1;
  e.caps = t38__default_capabilities();
  e.report.error_report_bfi = 0x1FF;
  return e;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2 || size > 20000) return 0;
  start_once();
  const bool tcp = data[0] & 1;
  const bool chained = data[0] & 2;
  const nai_t nai = tcp ? 2 : 1;
  configure(t38__session_body({entry(nai, tcp ? T38__MEDIA_TPKT : T38__MEDIA_UDPTL)}));
  const u8* body = data + 2;
  const size_t n = size - 2;
  if (tcp) {
    const size_t cut = n == 0 ? 0 : data[1] % (n + 1);
    to_t38(ENT_IP, SOCK_DA_IN, nai, body, cut, chained);
    to_t38(ENT_IP, SOCK_DA_IN, nai, body + cut, n - cut, chained);
  } else {
    std::vector<u8> dgram(SOCK_UDP_HEADER_SIZE);
    sock_addr a;
    a.addr_net = (data[0] & 4) ? 0x0401010A : 0x0100007F;
    a.port = 4000;
    sock_udp_header_pack(a, SOCK_FAMILY_IPV4, 0, dgram.data());
    dgram.insert(dgram.end(), body, body + n);
    to_t38(ENT_IP, SOCK_U_DA_IN, nai, dgram.data(), dgram.size(), chained);
  }
  t38_session* s = t38__find_session(nai);
  if (s == nullptr) std::abort();
  // Whatever is still held waits in the receive fifo.
  u32 fields = 0;
  for (const t38_ifp_packet* p = s->ifp.rx_head; p != nullptr; p = p->next) {
    for (const t38_data_field* f = p->fields; f != nullptr; f = f->next) ++fields;
  }
  if (s->pools.data_fields().in_use != fields) std::abort();
  if (s->pools.ifp_packets().in_use != s->ifp.rx_count) std::abort();
  const std::vector<u8> reset;
  to_t38(ENT_FOIP, T38__RESET_CONFIG_RQ, nai, reset.data(), 0, false);
  if (t38__find_session(nai) != nullptr) std::abort();
  return 0;
}
