// ENT_SIP in the runtime's own thread: an incoming INVITE datagram admitted
// and passed up, its 200 from the user encoded and sent, then ACK, BYE and
// the BYE's 200, so that every call ends and its records go back.  Reports
// calls per second and the high-water marks of the call and
// server-transaction pools.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "runtime/entity.h"
#include "runtime/msg.h"
#include "runtime/om_os.h"
#include "runtime/sm.h"
#include "runtime/sock.h"
#include "sip/prim/sip_elem.h"
#include "sip/text/sip_parse.h"
#include "sip/text/sip_prim_kind.h"
#include "sip/ent/sip_config.h"
#include "sip/ent/sip_entity.h"
#include "tests/sip/support/quiet_runtime.h"

namespace {

void free_handler(msg_t* m) { Free_msg(m); }
std::uint16_t last_conn = 0;
std::uint64_t invites_up = 0;
std::uint64_t wire_out = 0;
void ip_handler(msg_t* m) {
  if (m->code == SOCK_U_DA_RQ) ++wire_out;
  Free_msg(m);
}
void user_handler(msg_t* m) {
  if (m->code == 225) {
    last_conn = m->conn_id;
    ++invites_up;
  }
  Free_msg(m);
}

const entity_table_row_t TABLE[] = {
    SIP_ENTITY_ROW,
    {ENT_SM, free_handler, 0, 0, nullptr, 0},
    {ENT_SSC, user_handler, 0, 0, nullptr, 0},
    {ENT_IP, ip_handler, 0, 0, nullptr, 0},
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

void send(ent_id_t from, code_t code, const std::vector<std::uint8_t>& data, nai_t nai, std::uint16_t conn) {
  msg_t* m = Alloc_msg();
  buffer_t* b = Store_data_in_buffers(data.data(), static_cast<u32>(data.size()), nullptr);
  Msg_attach_chain(m, b);
  m->from = from;
  m->to = ENT_SIP;
  m->nai = nai;
  m->sapi = 0;
  m->conn_id = conn;
  m->code = code;
  Send_msg(m);
  om_os_run_ready(0);
}

std::string msg(const std::string& start, const std::string& branch, const std::string& callid, const std::string& cseq,
                const std::string& to_tag) {
  std::string s = start + "\r\nVia: SIP/2.0/UDP 127.0.0.1:5070;branch=" + branch +
                  "\r\nFrom: <sip:a@127.0.0.1>;tag=f1\r\nTo: <sip:fax@127.0.0.1>" +
                  (to_tag.empty() ? std::string() : ";tag=" + to_tag) + "\r\nCall-ID: " + callid + "\r\nCSeq: " + cseq +
                  "\r\nContact: <sip:a@127.0.0.1:5070>\r\nContent-Length: 0\r\n\r\n";
  return s;
}

std::vector<std::uint8_t> datagram(const std::string& text) {
  std::vector<std::uint8_t> d(SOCK_UDP_HEADER_SIZE + text.size());
  d[0] = 4;
  d[4] = 127;
  d[7] = 1;
  d[8] = 0xce;
  d[9] = 0x13;
  std::memcpy(&d[SOCK_UDP_HEADER_SIZE], text.data(), text.size());
  return d;
}

std::vector<std::uint8_t> response_prim(char kind, std::string text) {
  sip_parser parser;
  sip_parse__start(parser, text.data(), text.size());
  (void)sip_parse_message(parser, 1);
  buffer_t* chain = nullptr;
  std::vector<std::uint8_t> body;
  if (sip_prim__build_up(sip_kind_index_rs[kind - 'a' + 1], 0, &chain) == 2) {
    for (const buffer_t* b = chain; b != nullptr; b = b->next)
      body.insert(body.end(), Buffer_data(b), Buffer_data(b) + b->data_size);
    Free_buffer(chain);
  }
  return body;
}

void BM_SipIncomingCall(benchmark::State& state) {
  sip_rt::start(TABLE);
  sip_config cfg;
  cfg.endpoint_count = 1;
  sip_config_endpoint& e = cfg.endpoints[0];
  e.nai = 1;
  e.address_type = 1;
  e.user_entity = ENT_SSC;
  e.transport_entity = ENT_IP;
  e.transport_nai = 2;
  std::vector<std::uint8_t> body(SIP_CONFIG_SIZE);
  sip_config_pack(cfg, body.data());
  send(ENT_SM, SM_CONFIG_RQ, body, 0, 0);
  if (sip_entity_state().endpoints != 1) {
    state.SkipWithError("ENT_SIP not configured");
    om_os_stop();
    return;
  }
  const auto ok200 = response_prim('a', msg("SIP/2.0 200 OK", "z9hG4bKx", "x@h", "1 INVITE", "t1"));
  const auto bye200 = response_prim('d', msg("SIP/2.0 200 OK", "z9hG4bKy", "x@h", "2 BYE", "t1"));
  std::uint64_t n = 0;
  for (auto _ : state) {
    const std::string tag = std::to_string(n++);
    const std::string id = "bench-" + tag + "@127.0.0.1";
    send(ENT_PH_IT, SOCK_U_DA_IN,
         datagram(msg("INVITE sip:fax@127.0.0.1 SIP/2.0", "z9hG4bKi" + tag, id, "1 INVITE", "")), 2, 0);
    send(ENT_SSC, 'a', ok200, 1, last_conn);
    send(ENT_PH_IT, SOCK_U_DA_IN, datagram(msg("ACK sip:fax@127.0.0.1 SIP/2.0", "z9hG4bKa" + tag, id, "1 ACK", "t1")),
         2, 0);
    send(ENT_PH_IT, SOCK_U_DA_IN, datagram(msg("BYE sip:fax@127.0.0.1 SIP/2.0", "z9hG4bKb" + tag, id, "2 BYE", "t1")),
         2, 0);
    send(ENT_SSC, 'd', bye200, 1, last_conn);
  }
  const sip_entity_view v = sip_entity_state();
  state.SetItemsProcessed(static_cast<std::int64_t>(n));
  state.counters["invites_up"] = static_cast<double>(invites_up);
  state.counters["datagrams_out"] = static_cast<double>(wire_out);
  if (v.pools != nullptr) {
    state.counters["calls_high_water"] = v.pools->calls.high_water();
    state.counters["calls_left"] = v.pools->calls.in_use();
    state.counters["server_tx_high_water"] = v.pools->server_txs.high_water();
  }
  om_os_stop();
}
BENCHMARK(BM_SipIncomingCall);

}  // namespace

BENCHMARK_MAIN();
