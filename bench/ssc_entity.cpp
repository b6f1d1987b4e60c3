// ENT_SSC speed, one handler run per iteration:
//   classify: a SIP_INVITE_IN with a T.38 offer from ENT_SIP (gather, record
//             codec decode, SDP glue, Require check, call and dialog entry
//             made for the conn_id, route 'C' event 5);
//   send:     a user SSC_INVITE_RQ with a T.38 offer (unpack, classification,
//             SDP body encode) sent on to ENT_SIP as a SIP primitive body;
//   built:    the same, completed by the request builders first (call
//             defaults, tag, Call-ID, routing, option tags, tracking).
// The machines release the call at once, so every run starts alike.
#include <benchmark/benchmark.h>

#include <vector>

#include "runtime/buffer.h"
#include "runtime/entity.h"
#include "runtime/msg.h"
#include "runtime/om_os.h"
#include "runtime/sm.h"
#include "sip/ssc/ssc_build.h"
#include "sip/ssc/ssc_handler.h"
#include "tests/sip/prim/support/ssc_requests.h"

namespace {

void free_handler(msg_t* m) { Free_msg(m); }
const entity_table_row_t TABLE[] = {
    SSC_ENTITY_ROW,
    {ENT_SM, free_handler, 0, 0, nullptr, 0},
    {ENT_SIP, free_handler, 0, 0, nullptr, 0},
    {ENT_FOIP, free_handler, 0, 0, nullptr, 0},
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

constexpr u16 NAI = 1;

void release_call() {
  ssc_module& m = ssc_mod();
  if (m.call == nullptr) return;
  while (m.call->first) {
    m.entry = m.call->first;
    ssc_dialog__release();
  }
  (void)ssc_call__release();
}

void send_on() {
  ssc_send(ENT_SIP, 0, SSC_INVITE_RQ);
  release_call();
}

// The way the call machine sends a new INVITE: the call's defaults from the
// user's request, tag and Call-ID, then the request completed and tracked.
void build_and_send() {
  ssc_handle* h = ssc_run().handle;
  ssc_prepare_call_defaults(h);
  ssc_set_local_tag_and_call_id(Ssc_first<ssc_hdr_name_addr>(h, ssc_header_id::FROM),
                                Ssc_first<ssc_hdr_call_id>(h, ssc_header_id::CALL_ID));
  (void)ssc_send_request(SSC_INVITE_RQ);
  release_call();
}

void start() {
  static bool started = false;
  if (started) return;
  started = true;
  om_os_start_options o;
  o.table = TABLE;
  o.sm_thread = false;
  o.timer_thread = false;
  o.bkgr_thread = false;
  om_os_start_with(o);
  om_os_run_ready(0);
  ssc_entity_reset(8);
  std::vector<u8> cfg(SSC_CONFIG_SIZE, 0);
  cfg[4] = 1;
  cfg[6] = NAI;
  cfg[8] = 62;
  cfg[10] = 68;
  cfg[14] = 62;
  cfg[16] = ENT_FOIP;
  cfg[18] = 0x02;  // Require check on
  (void)ssc_configure(cfg.data(), cfg.size());
}

void BM_ClassifyInviteIn(benchmark::State& state) {
  start();
  ssc_set_machines(release_call, release_call);
  ssc_handle* h = ssc_test::invite({{'1', nullptr}}, true);
  const std::vector<u8> body = ssc_test::sip_body(h);
  (void)Ssc_free_handle(h);
  if (body.empty()) {
    state.SkipWithError("no SIP body");
    return;
  }
  for (auto _ : state) {
    msg_t* m = Alloc_msg();
    m->from = ENT_SIP;
    m->to = ENT_SSC;
    m->nai = NAI;
    m->conn_id = 3;
    m->sapi = 0;
    m->code = 225;
    Msg_attach_chain(m, Store_data_in_buffers(body.data(), static_cast<u32>(body.size()), nullptr));
    ssc_entity_handler(m);
    om_os_run_ready(0);
  }
}
BENCHMARK(BM_ClassifyInviteIn)->Unit(benchmark::kMicrosecond);

void BM_SendInviteRq(benchmark::State& state) {
  start();
  ssc_set_machines(send_on, release_call);
  ssc_handle* h = ssc_test::invite({}, true);
  for (auto _ : state) {
    msg_t* m = SIP_sc_format_rq(NAI, 5, 255, h);
    if (m == nullptr) {
      state.SkipWithError("no packed message");
      break;
    }
    m->from = ENT_FOIP;
    m->to = ENT_SSC;
    ssc_entity_handler(m);
    om_os_run_ready(0);
  }
  (void)Ssc_free_handle(h);
}
BENCHMARK(BM_SendInviteRq)->Unit(benchmark::kMicrosecond);

void BM_SendInviteRqBuilt(benchmark::State& state) {
  start();
  ssc_set_machines(build_and_send, release_call);
  ssc_handle* h = ssc_test::invite({}, true);
  for (auto _ : state) {
    msg_t* m = SIP_sc_format_rq(NAI, 5, 255, h);
    if (m == nullptr) {
      state.SkipWithError("no packed message");
      break;
    }
    m->from = ENT_FOIP;
    m->to = ENT_SSC;
    ssc_entity_handler(m);
    om_os_run_ready(0);
  }
  (void)Ssc_free_handle(h);
}
BENCHMARK(BM_SendInviteRqBuilt)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
