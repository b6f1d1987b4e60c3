// Calls answered by ENT_FOIP through the real ENT_SSC and ENT_SIP: SIPp calls
// with a T.38 offer (tests/session/sipp/uac-t38-call-bye.xml: INVITE, our
// 200 with T.38, ACK, BYE, our 200) at rising rates, a bounded number of
// calls per step, until a step has a failed call.  Incoming sessions that
// take any call wait in ENT_FOIP; the user starts a new one each time one
// ends.  The T.38 and fax layers open and close at once; a UDP socket on
// 127.0.0.1 stands in for the socket entity.  Reports, per rate, the calls
// per second achieved and this process's CPU time per call (the idle turns
// of its polling loop included), and the highest rate with no failed call:
// SIPp saw every call pass and every session ended without failure.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/byte_order.h"
#include "runtime/buffer.h"
#include "runtime/om_os.h"
#include "runtime/sm.h"
#include "runtime/sock.h"
#include "runtime/timer.h"
#include "session/foip/app_foip_prim.h"
#include "session/foip/foip.h"
#include "session/foip/foip_ctx.h"
#include "session/config/foip_sip_cfg.h"
#include "session/foip/foip_sip_mgt.h"
#include "sip/ent/sip_config.h"
#include "sip/ent/sip_entity.h"
#include "sip/ssc/ssc_handler.h"
#include "t38/t38_entity.h"
#include "tests/session/foip/support/foip_sip_side.h"
#include "tests/runtime/support/unthreaded_runtime.h"
#include "tests/sip/support/sipp_run.h"

namespace {

using clock_type = std::chrono::steady_clock;

constexpr nai_t kSessions = 16;  // incoming sessions waiting for any call

ssc_test::stack_socket& g_sock = ssc_test::loopback_socket();
int g_ended = 0;     // sessions ended (FOIP__STOP_IN)
int g_answered = 0;  // sessions that ran
int g_failed = 0;    // sessions that ended with a failure

void free_handler(msg_t* m) { Free_msg(m); }

void fax_hook(foip__na_ctx* s, u8 event) {
  const nai_t nai = foip__session_nai(s);
  if (event == FAX_MGT__EVT_USR_ACT_RQ) {
    ++g_answered;
    foip__send_mgt(FOIP_MGT__START_DONE, nai, 0, 0, 0, 0);
    foip__send_mgt(FOIP_MGT__FAX_OPENED, nai, 2, 0, 0, 0);
  }
  if (event == FAX_MGT__EVT_USR_DEA_RQ) foip__send_mgt(FOIP_MGT__FAX_CLOSED, nai, 0, 0, 0, 0);
}

// An incoming session on `nai` that takes any call.
bool start_incoming(nai_t nai) {
  foip__session_param p{};
  auto& g = p.session_general_param;
  g.kind_of_session = 'I';
  g.direction = 'I';
  g.nai = nai;
  g.kind_of_t38_transport = 'U';
  g.start_t38_session_ms = 100;
  auto& id = p.t38_media_add_param.sip_media_identification;
  id.local_user_identification = FOIP__USR_ID__NAME;
  id.flag_invite_in__no_filter = 1;
  foip__copy_text(id.sz_local_user_name, "fax");
  auto& lm = p.t38_media_add_param.local_media_add.local_media_ip_addr;
  foip_sip_test::set_loopback(lm.ip_addr);
  lm.ip_port = 20000;
  foip__copy_text(p.fax_common_param.sz_fname_tiff_tmp_pg, "/tmp/bench_foip_calls_tmp_%d.%d");
  foip__copy_text(p.fax_rcv_pg.sz_tiff_fname_rcv_fax_pg, "/tmp/bench_foip_calls_rcv_%d_%d.tif");
  foip__copy_text(p.trc_param.common.sz_user_id_string, ("session" + std::to_string(nai)).c_str());
  p.trc_param.event.max_length_of_event_file = 65535;
  return foip_api__send_start_rq(nai, p) == FOIP_API__OK;
}

// The user: a session that ended is replaced by a new one on its nai.
void user_handler(msg_t* m) {
  if (m->code == FOIP__STOP_IN && m->nai >= 1 && m->nai <= kSessions) {
    ++g_ended;
    foip__confirm c{};
    if (foip_api__read_stop(m, FOIP__STOP_IN, &c, nullptr, nullptr, nullptr) != FOIP_API__OK || c.return_code != 2)
      ++g_failed;
    (void)start_incoming(m->nai);
  }
  Free_msg(m);
}

const entity_table_row_t TABLE[] = {
    SIP_ENTITY_ROW,
    SSC_ENTITY_ROW,
    FOIP_ENTITY_ROW,
    {ENT_APP_FOIP, user_handler, 0, 0, nullptr, 0},
    {ENT_SM, foip_sip_test::sm_confirm_handler, 0, 0, nullptr, 0},
    {ENT_IP, ssc_test::loopback_ip_handler, 0, 0, nullptr, 0},
    {ENT_T38, foip_sip_test::t38_capabilities_handler, 0, 0, nullptr, 0},
    {ENT_FAX, free_handler, 0, 0, nullptr, 0},
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

void drive() { rt_test::drive(256); }

// Datagrams from SIPp go to ENT_SIP; then the runtime runs.
void turn() {
  for (int i = 0; i < 32 && g_sock.receive_one(i == 0 ? 1 : 0); ++i) drive();
  drive();
}

bool start() {
  foip_sip_test::plug_hooks(fax_hook);
  rt_test::start_unthreaded(TABLE);
  drive();
  if (!g_sock.open(4 << 20)) return false;
  sip_mgt__glb_init();
  ssc_entity_reset(8);
  const bool configured = foip_sip_test::configure_sip_entities([](ent_id_t to, const std::vector<u8>& body) {
    rt_test::send_chain(ENT_SM, to, SM_CONFIG_RQ, body.data(), body.size(), 0);
    drive();
  });
  if (!configured) return false;
  foip__global_param g{};
  g.glb_common_param.nb_simultaneous_start_stop = kSessions;
  g.glb_trc_param.event.max_length_of_event_file = 65535;
  g.glb_trc_param.audit.max_length_of_audit_file = 65535;
  foip_sip_test::sip_side_param(g, FOIP__WAIT_RE_INVITE, g_sock.port());
  if (foip_api__send_set_config_rq(g) != FOIP_API__OK) return false;
  for (int i = 0; i < 50 && sip_mgt__glb().phase != SIP_MGT__RUNNING; ++i) drive();
  if (sip_mgt__glb().phase != SIP_MGT__RUNNING) return false;
  for (nai_t n = 1; n <= kSessions; ++n)
    if (!start_incoming(n)) return false;
  drive();
  return true;
}

struct step_result {
  int sipp_status = -1;
  int calls = 0;
  int ended = 0;
  int failed = 0;  // sessions that ended with a failure
  double wall_s = 0, cpu_s = 0;
};

// One step: `calls` calls at `rate` calls per second; SIPp's exit status is
// 0 when every call passed.
step_result run_step(int rate, int calls) {
  step_result r;
  r.calls = calls;
  const int ended0 = g_ended;
  const int failed0 = g_failed;
  const std::string scenario = std::string(KV_SOURCE_DIR) + "/tests/session/sipp/uac-t38-call-bye.xml";
  const std::string log =
      "/tmp/bench_foip_calls_sipp_" + std::to_string(getpid()) + "_" + std::to_string(rate) + ".log";
  sipp_test::sipp_process sipp;
  if (!sipp.start("127.0.0.1:" + std::to_string(g_sock.port()) + " -sf " + scenario + " -i 127.0.0.1 -p 0 -r " +
                      std::to_string(rate) + " -m " + std::to_string(calls) +
                      " -l 200 -nostdin -timeout 50s -timeout_error -recv_timeout 5000",
                  log, 60))
    return r;
  const double cpu0 = rt_test::cpu_seconds();
  const auto t0 = clock_type::now();
  r.sipp_status = sipp.wait(std::chrono::seconds(55), turn);
  r.wall_s = std::chrono::duration<double>(clock_type::now() - t0).count();
  r.cpu_s = rt_test::cpu_seconds() - cpu0;
  // The last sessions end once ENT_SSC has closed their calls.
  const auto end = clock_type::now() + std::chrono::seconds(3);
  while (clock_type::now() < end && g_ended - ended0 < calls) turn();
  r.ended = g_ended - ended0;
  r.failed = g_failed - failed0;
  if (r.sipp_status == 0) (void)std::remove(log.c_str());
  else (void)std::fprintf(stderr, "rate %d: sipp status %d, see %s\n", rate, r.sipp_status, log.c_str());
  return r;
}

void BM_FoipAnswersSippCallsAtRisingRates(benchmark::State& state) {
  if (!sipp_test::have_sipp()) {
    state.SkipWithError("sipp is not installed");
    return;
  }
  if (!start()) {
    state.SkipWithError("FOIP's SIP side not configured");
    return;
  }
  const int rates[] = {20, 50, 100, 200, 400, 800, 1600, 3200};
  for (auto _ : state) {
    int best = 0;
    double best_cpu_us = 0;
    double total_wall = 0;
    for (const int rate : rates) {
      const int calls = std::min(rate * 3, 2400);  // at most three seconds a step
      const step_result r = run_step(rate, calls);
      total_wall += r.wall_s;
      const bool clean = r.sipp_status == 0 && r.ended == calls && r.failed == 0;
      const double cpu_us = r.cpu_s * 1e6 / calls;
      std::printf(
          "[ foip calls ] rate %4d/s: %4d calls, %4d sessions ended (%d failed), %.1f calls/s, %.0f us CPU per "
          "call%s\n",
          rate, calls, r.ended, r.failed, calls / r.wall_s, cpu_us, clean ? "" : "  (failed calls)");
      if (!clean) break;
      best = rate;
      best_cpu_us = cpu_us;
    }
    state.SetIterationTime(total_wall);
    state.counters["best_rate_per_s"] = best;
    state.counters["cpu_us_per_call"] = best_cpu_us;
  }
}
BENCHMARK(BM_FoipAnswersSippCallsAtRisingRates)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
