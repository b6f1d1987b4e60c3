// UDP round trips through the socket entity: a peer socket sends a datagram,
// the receive thread hands it to a user entity, which sends it straight back
// through ENT_IP (the address header of the indication names the sender,
// which is the destination of the request).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "runtime/om_os.h"
#include "runtime/sm.h"
#include "runtime/sock.h"
#include "runtime/sock_config.h"

namespace {

std::atomic<int> config_status{0};

void sm_fake(msg_t* m) {
  if (m->code == SM_CONFIG_CO) config_status.store(Msg_data(m)[0]);
  Free_msg(m);
}

void echo_user(msg_t* m) {
  if (m->code != SOCK_U_DA_IN) {
    Free_msg(m);
    return;
  }
  m->from = ENT_SIP;
  m->to = ENT_IP;
  m->code = SOCK_U_DA_RQ;
  Send_msg(m);
}

const entity_table_row_t TABLE[] = {
    {ENT_SM, sm_fake, 0, 0, nullptr, 0},
    {ENT_SIP, echo_user, 0, 0, nullptr, 0},
    IP_ENTITY_ROW,
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

void BM_UdpEchoRoundTrip(benchmark::State& state) {
  om_os_start_options o;
  o.table = TABLE;
  om_os_start_with(o);
  config_status.store(0);
  sock_config_entry e;
  e.sapi = 1;
  e.nai = 1;
  e.address_count = 1;
  e.address[0] = 127;
  e.address[3] = 1;
  e.bind_address = 1;
  e.kind = SOCK_KIND_UDP;
  e.control_entity = ENT_SIP;
  e.data_entity = ENT_SIP;
  e.state = 's';
  std::vector<u8> body = sock_config_body(0, {e});
  msg_t* m = nullptr;
  buffer_t* b = nullptr;
  u8* p = nullptr;
  Alloc_msg_data(&m, &b, static_cast<u32>(body.size()), &p);
  std::copy(body.begin(), body.end(), p);
  m->from = ENT_SM;
  m->to = ENT_IP;
  m->code = SM_CONFIG_RQ;
  Sm_set_target(m, ENT_IP);
  Send_msg(m);
  for (int i = 0; i < 5000 && config_status.load() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  if (config_status.load() != OM_OS_OK) {
    state.SkipWithError("socket not configured");
    om_os_stop();
    return;
  }
  const u16 port = ip_socket_port(1, 1, 0);
  int peer = socket(AF_INET, SOCK_DGRAM, 0);
  timeval tv{2, 0};
  setsockopt(peer, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(port);
  std::vector<char> out(static_cast<size_t>(state.range(0)), 'x'), in(4096);
  for (auto _ : state) {
    sendto(peer, out.data(), out.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    if (recv(peer, in.data(), in.size(), 0) != static_cast<ssize_t>(out.size())) {
      state.SkipWithError("echo lost");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
  close(peer);
  om_os_stop();
}
BENCHMARK(BM_UdpEchoRoundTrip)->Arg(160)->Arg(1400)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
