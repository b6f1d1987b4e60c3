// Whole calls through ENT_SIP and ENT_SSC with their machines: SIPp calls
// at 50 calls per second, 500 calls (tests/sip/sipp/uac-call.xml: INVITE,
// our 180 and 200, ACK, BYE, our 200), a scripted user answering each call
// and each BYE, a UDP socket on 127.0.0.1 in place of the socket entity.
// Reports calls per second and the CPU time of this process per call.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/buffer.h"
#include "runtime/om_os.h"
#include "runtime/sm.h"
#include "runtime/timer.h"
#include "sip/prim/ssc_codes.h"
#include "sip/ent/sip_entity.h"
#include "sip/ssc/ssc_handler.h"
#include "tests/runtime/support/unthreaded_runtime.h"
#include "tests/sip/support/sipp_run.h"
#include "tests/sip/support/loopback_stack.h"
#include "tests/sip/prim/support/ssc_invite.h"

namespace {

using clock_type = std::chrono::steady_clock;

ssc_test::stack_socket& g_sock = ssc_test::loopback_socket();
int g_closed = 0;

void to_ssc(code_t code, ssc_handle* h, u16 conn) {
  msg_t* m = SIP_sc_format_rq(1, conn, 255, h);
  (void)Ssc_free_handle(h);
  if (m == nullptr) return;
  m->from = ENT_FOIP;
  m->to = ENT_SSC;
  m->code = code;
  Send_msg(m);
}

ssc_handle* answer(ssc_msg_type t, u16 status, const char* reason, u16 number) {
  ssc_handle* h = Ssc_alloc_handle();
  if (h == nullptr || Ssc_init_handle(h, t) != 2) return nullptr;
  auto* st = static_cast<ssc_hdr_status*>(Ssc_alloc_header(h, ssc_header_id::RETURN_CODE));
  st->code = status;
  st->reason = reason;
  if (t == ssc_msg_type::INVITE_RS) {
    auto* c = static_cast<ssc_hdr_contact*>(Ssc_alloc_header(h, ssc_header_id::CONTACT));
    c->b1 = 0;
    c->uri.scheme = 1;
    c->uri.user = "fax";
    c->uri.host_family = '4';
    std::memcpy(c->uri.host_v4, ssc_test::LOOPBACK, 4);
    c->uri.port = g_sock.port();
  }
  h->transaction_number = number;
  return h;
}

// The user: each offered call rings and is answered, each BYE answered.
void user_handler(msg_t* m) {
  const code_t code = m->code;
  const u16 conn = m->conn_id;
  if (code == SSC_INVITE_IN || code == SSC_BYE_IN) {
    ssc_handle* got = Ssc_alloc_handle();
    if (got && Ssc_unformat_msg(got, m) == 2) {
      const u16 number = got->transaction_number;
      if (code == SSC_INVITE_IN) {
        to_ssc(SSC_INVITE_RS, answer(ssc_msg_type::INVITE_RS, 180, "Ringing", number), conn);
        to_ssc(SSC_INVITE_RS, answer(ssc_msg_type::INVITE_RS, 200, "OK", number), conn);
      } else {
        to_ssc(SSC_BYE_RS, answer(ssc_msg_type::BYE_RS, 200, "OK", number), conn);
      }
    }
    if (got) (void)Ssc_free_handle(got);
  }
  if (code == CALL_CLOSED_IN) ++g_closed;
  Free_msg(m);
}

void free_handler(msg_t* m) { Free_msg(m); }

const entity_table_row_t TABLE[] = {
    SIP_ENTITY_ROW,
    SSC_ENTITY_ROW,
    {ENT_SM, free_handler, 0, 0, nullptr, 0},
    {ENT_IP, ssc_test::loopback_ip_handler, 0, 0, nullptr, 0},
    {ENT_FOIP, user_handler, 0, 0, nullptr, 0},
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

void drive() { rt_test::drive(64); }

bool start() {
  rt_test::start_unthreaded(TABLE);
  om_os_run_ready(0);
  if (!g_sock.open()) return false;
  ssc_entity_reset(8);
  return ssc_test::configure_stack([](ent_id_t to, const std::vector<u8>& body) {
    rt_test::send_chain(ENT_SM, to, SM_CONFIG_RQ, body.data(), body.size(), 0);
    drive();
  });
}

void BM_SippCallsThroughTheStack(benchmark::State& state) {
  if (!sipp_test::have_sipp()) {
    state.SkipWithError("sipp is not installed");
    return;
  }
  if (!start()) {
    state.SkipWithError("stack not configured");
    return;
  }
  constexpr int CALLS = 500;
  for (auto _ : state) {
    g_closed = 0;
    const std::string scenario = std::string(KV_SOURCE_DIR) + "/tests/sip/sipp/uac-call.xml";
    const std::string log = "/tmp/bench_ssc_calls_sipp_" + std::to_string(getpid()) + ".log";
    sipp_test::sipp_process sipp;
    if (!sipp.start("127.0.0.1:" + std::to_string(g_sock.port()) + " -sf " + scenario + " -i 127.0.0.1 -p 0 -r 50 -m " +
                        std::to_string(CALLS) + " -nostdin -timeout 50s -timeout_error",
                    log, 60)) {
      state.SkipWithError("sipp did not start");
      return;
    }
    const double cpu0 = rt_test::cpu_seconds();
    const auto t0 = clock_type::now();
    const int status = sipp.wait(std::chrono::seconds(55), [] {
      (void)g_sock.receive_one(1);
      drive();
    });
    const double wall = std::chrono::duration<double>(clock_type::now() - t0).count();
    const double cpu = rt_test::cpu_seconds() - cpu0;
    if (status != 0) state.SkipWithError(("sipp failed, see " + log).c_str());
    state.SetIterationTime(wall);
    state.counters["calls_per_s"] = CALLS / wall;
    state.counters["cpu_us_per_call"] = cpu * 1e6 / CALLS;
    state.counters["calls_closed"] = g_closed;
  }
}
BENCHMARK(BM_SippCallsThroughTheStack)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
