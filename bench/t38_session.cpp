// One live T.38 session's cost per IFP packet of page data (50 bytes,
// redundancy 3): the send path (IFP and UDPTL encoding, the transmit list,
// the SOCK_U_DA_RQ to ENT_IP) and the receive path (the entity's handler,
// the UDPTL decoding of a datagram with three secondaries, the receive fifo
// and delivery).  The runtime runs in the benchmark's thread; ENT_IP is a
// sink, and a minimal IAF side takes every delivered packet.
//
// The "cpu_share_19x14400" counter is the CPU share of 19 sessions at
// 14400 bit/s, each sending and receiving one such packet every 10 ms
// polling tick (100 packets a second each way, more than the 36 a second
// that 14400 bit/s fill with 50-byte fields).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "common/byte_order.h"
#include "runtime/om_os.h"
#include "runtime/sock.h"
#include "t38/t38_config.h"
#include "t38/t38_entity.h"
#include "t38/t38_iaf_port.h"
#include "t38/t38_session.h"
#include "t38/udptl.h"

using namespace kv::t38;

namespace {

std::vector<u8> last_datagram;
u64 datagrams_out = 0;

void ip_sink(msg_t* m) {
  if (m->code == SOCK_U_DA_RQ && last_datagram.empty()) {
    for (buffer_t* b = m->p_buffer; b != nullptr; b = b->next) {
      last_datagram.insert(last_datagram.end(), Buffer_data(b), Buffer_data(b) + b->data_size);
    }
  }
  ++datagrams_out;
  Free_msg(m);
}

void user_sink(msg_t* m) { Free_msg(m); }

class bench_iaf final : public t38_iaf_port {
 public:
  u8 main_automaton(u8 kind, msg_t** m, t38_session& s) override {
    if (kind != T38IAF__KIND_UDPTL) return 2;
    const u8 r = t38_ifp__store_rcv_udptl_pck(*m, s);
    for (;;) {
      t38_rx_packet p;
      (void)t38_ifp__get_ifp_pck(p, s);
      if (p.type_byte == T38_IFP__NOTHING) break;
      ++delivered;
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
  u64 delivered = 0;
};

bench_iaf iaf;

const entity_table_row_t TABLE[] = {
    {ENT_FOIP, user_sink, 0, 0, nullptr, 0},
    {ENT_IP, ip_sink, 0, 0, nullptr, 0},
    T38_ENTITY_ROW,
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

void send_to_t38(code_t code, const std::vector<u8>& body) {
  msg_t* m = Alloc_msg();
  Msg_attach_chain(m, Store_data_in_buffers(body.data(), static_cast<u32>(body.size()), nullptr));
  m->from = ENT_FOIP;
  m->to = ENT_T38;
  m->code = code;
  Send_msg(m);
  om_os_run_ready(0);
}

// Starts the runtime with one UDP session (nai 1, redundancy 3).
t38_session* start() {
  om_os_start_options o;
  o.table = TABLE;
  o.sm_thread = false;
  o.timer_thread = false;
  o.bkgr_thread = false;
  om_os_start_with(o);
  t38_set_iaf_port(&iaf);
  send_to_t38(T38__SET_CONFIG_RQ, t38__common_body(3000));
  t38_session_entry e;
  e.addr.nai = 1;
  e.addr.remote_ipv4_addr[0] = 127;
  e.addr.remote_ipv4_addr[3] = 1;
  e.addr.remote_port = 4000;
  e.ip.nb_red_ifp_pck__default = 3;
  e.caps = t38__default_capabilities();
  send_to_t38(T38__SET_CONFIG_RQ, t38__session_body({e}));
  return t38__find_session(1);
}

void stop() {
  t38_set_iaf_port(nullptr);
  om_os_stop();
}

t38_data_field* page_field(t38_session& s, u8 seed) {
  t38_data_field* f = t38_mem__alloc_data_object(0, s);
  f->field_type = T38_FIELD__T4_NON_ECM_DATA;
  f->length = T38__MAX_SIZE_DATA_FIELD;
  for (u16 i = 0; i < f->length; ++i) f->data[i] = static_cast<u8>(seed + i * 37);
  return f;
}

constexpr u8 kPageType = T38_IFP__DATA_BIT | T38_DATA__V17_14400;

double send_ns = 0;
double receive_ns = 0;

void report_share(benchmark::State& state) {
  if (send_ns > 0 && receive_ns > 0) {
    state.counters["cpu_share_19x14400"] = 19.0 * 100.0 * (send_ns + receive_ns) / 1e9;
  }
}

void BM_SessionSendPacket(benchmark::State& state) {
  t38_session* s = start();
  if (s == nullptr) {
    state.SkipWithError("no session");
    stop();
    return;
  }
  u8 seed = 0;
  for (auto _ : state) {
    if (t38_ifp__send(T38_IFP__MODE_SEND, kPageType, page_field(*s, seed++), *s) != 2) {
      state.SkipWithError("send failed");
      break;
    }
    om_os_run_ready(0);
  }
  const u64 n = static_cast<u64>(state.iterations());
  state.SetItemsProcessed(static_cast<int64_t>(n));
  stop();
}
BENCHMARK(BM_SessionSendPacket);

// Datagrams of packets 4k .. 4k+3 as the peer sends them (each with three
// secondaries); the receive loop cycles through fresh sequence numbers.
void BM_SessionReceivePacket(benchmark::State& state) {
  t38_session* s = start();
  if (s == nullptr) {
    state.SkipWithError("no session");
    stop();
    return;
  }
  last_datagram.clear();
  (void)t38_ifp__send(T38_IFP__MODE_SEND, kPageType, page_field(*s, 1), *s);
  (void)t38_ifp__send(T38_IFP__MODE_SEND, kPageType, page_field(*s, 2), *s);
  (void)t38_ifp__send(T38_IFP__MODE_SEND, kPageType, page_field(*s, 3), *s);
  last_datagram.clear();
  (void)t38_ifp__send(T38_IFP__MODE_SEND, kPageType, page_field(*s, 4), *s);
  om_os_run_ready(0);
  std::vector<u8> dgram = last_datagram;  // address record + datagram of seq 3
  u16 seq = 3;
  for (auto _ : state) {
    put_be16(dgram.data() + SOCK_UDP_HEADER_SIZE, seq++);
    msg_t* m = Alloc_msg();
    Msg_attach_chain(m, Store_data_in_buffers(dgram.data(), static_cast<u32>(dgram.size()), nullptr));
    m->from = ENT_IP;
    m->to = ENT_T38;
    m->nai = 1;
    m->code = SOCK_U_DA_IN;
    Send_msg(m);
    om_os_run_ready(0);
  }
  state.SetItemsProcessed(state.iterations());
  state.counters["delivered"] = static_cast<double>(iaf.delivered);
  stop();
}
BENCHMARK(BM_SessionReceivePacket);

// Both paths once more, timed together, with the CPU share they imply.
void BM_SessionSendAndReceive(benchmark::State& state) {
  t38_session* s = start();
  if (s == nullptr) {
    state.SkipWithError("no session");
    stop();
    return;
  }
  for (int i = 0; i < 4; ++i) (void)t38_ifp__send(T38_IFP__MODE_SEND, kPageType, page_field(*s, 9), *s);
  last_datagram.clear();
  (void)t38_ifp__send(T38_IFP__MODE_SEND, kPageType, page_field(*s, 9), *s);
  om_os_run_ready(0);
  std::vector<u8> dgram = last_datagram;
  u16 seq = 4;
  u8 seed = 0;
  const auto begin = std::chrono::steady_clock::now();
  for (auto _ : state) {
    (void)t38_ifp__send(T38_IFP__MODE_SEND, kPageType, page_field(*s, seed++), *s);
    put_be16(dgram.data() + SOCK_UDP_HEADER_SIZE, seq++);
    msg_t* m = Alloc_msg();
    Msg_attach_chain(m, Store_data_in_buffers(dgram.data(), static_cast<u32>(dgram.size()), nullptr));
    m->from = ENT_IP;
    m->to = ENT_T38;
    m->nai = 1;
    m->code = SOCK_U_DA_IN;
    Send_msg(m);
    om_os_run_ready(0);
  }
  const double ns = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - begin).count();
  const double per_pair = state.iterations() > 0 ? ns / static_cast<double>(state.iterations()) : 0;
  send_ns = per_pair / 2;
  receive_ns = per_pair / 2;
  state.counters["ns_per_packet_pair"] = per_pair;
  report_share(state);
  stop();
}
BENCHMARK(BM_SessionSendAndReceive);

}  // namespace

BENCHMARK_MAIN();
