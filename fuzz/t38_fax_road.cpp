// The receiving side of a fax channel, whole, fed with the datagrams a
// far T.38 gateway sends: the T.38 entity with its IAF fax service and
// V.25 signalling, the fax modem layer, the T.30 engine, the fax session
// layer, the V.25 call set-up entity, the page converter and the fax
// management entity, all real, on a virtual clock.  The management entity
// is configured and asked to receive (as the FOIP entity would), then the
// input's datagrams arrive with time passing between them.
//
// Checked: the runtime drains after every step; once the user asks the
// session to stop, it ends (FAX__DEA_CO or FAX__DEA_IN) within two minutes
// of virtual time; every datagram we send back reads as UDPTL; after the
// T.38 session is reset and every entity released, every message and
// buffer is back in its pool.
//
// Input: records of an op byte and its operands: op & 3 == 0 or 1 a
// datagram from the gateway (length: one byte, or with op bit 2 two bytes
// up to 1400), 2 time passes ((byte + 1) x 20 ms), 3 a datagram from
// another address.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "common/byte_order.h"
#include "fax/acu.h"
#include "fax/cf.h"
#include "fax/fax_config.h"
#include "fax/fax_entity.h"
#include "fax/fc.h"
#include "fax/fm.h"
#include "fax/t30_engine.h"
#include "fuzz/entity_fuzz.h"
#include "fuzz/fax_fuzz.h"
#include "runtime/sock.h"
#include "t38/t38_config.h"
#include "t38/t38_entity.h"
#include "t38/t38iaf.h"
#include "t38/udptl.h"

namespace {

using entity_fuzz::bytes;
using namespace kv::t38;
namespace fs = std::filesystem;
constexpr nai_t kNai = 1;
constexpr u16 kGatewayPort = 4000;

std::vector<bytes> g_sent;  // datagrams the T.38 entity sent
bool g_activated = false;   // FAX__ACT_CO came
bool g_ended = false;       // FAX__DEA_CO or FAX__DEA_IN came

// ENT_FOIP: what the fax management entity tells it.
void foip(msg_t* m) {
  if (m->from == ENT_FAX && m->nai == kNai) {
    g_activated = g_activated || m->code == FAX__ACT_CO;
    g_ended = g_ended || m->code == FAX__DEA_CO || m->code == FAX__DEA_IN;
  }
  Free_msg(m);
}

// ENT_SM as far as ENT_FAX needs it: its requests go to the entity they
// name, the lower entities' confirms come back to it.
void sm(msg_t* m) {
  const bool request = m->code == SM_CONFIG_RQ || m->code == SM_RST_CFG_RQ;
  const bool confirm = m->code == SM_CONFIG_CO || m->code == SM_RST_CFG_CO;
  if (request && m->from == ENT_FAX) {
    m->to = Sm_target(m);
    m->from = ENT_SM;
    Send_msg(m);
    return;
  }
  if (confirm && (m->from == ENT_FC || m->from == ENT_MFM || m->from == ENT_ACU || m->from == ENT_CF)) {
    m->to = ENT_FAX;
    m->from = ENT_SM;
    Send_msg(m);
    return;
  }
  entity_fuzz::stand_in(m);
}

void ip(msg_t* m) {
  if (m->code == SOCK_U_DA_RQ && g_sent.size() < 4096) {
    bytes d = entity_fuzz::data_of(m);
    if (d.size() >= SOCK_UDP_HEADER_SIZE) g_sent.emplace_back(d.begin() + SOCK_UDP_HEADER_SIZE, d.end());
  }
  Free_msg(m);
}

void mt30(msg_t* m) { entity_fuzz::stand_in(m); }

const entity_table_row_t TABLE[] = {
    {ENT_SM, sm, 0, 0, nullptr, 0},
    {ENT_FOIP, foip, 0, 0, nullptr, 0},
    {ENT_IP, ip, 0, 0, nullptr, 0},
    T38_ENTITY_ROW,
    {ENT_T30, t30_entity_handler, 0, 0, nullptr, 0},
    {ENT_FM, fm_entity_handler, 0, 0, nullptr, 0},
    {ENT_MFM, mfm_entity_handler, 0, 0, nullptr, 0},
    {ENT_CF, cf_entity_handler, 0, 0, nullptr, 0},
    {ENT_MT30, mt30, 0, 0, nullptr, 0},
    {ENT_ACU, acu_entity_handler, 0, 0, nullptr, 0},
    {ENT_FAX, fax_entity_handler, 0, 0, nullptr, 0},
    FC_ENTITY_ROW,
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

t38iaf_service g_iaf;

const fs::path& scratch() {
  static const fs::path dir = fax_fuzz::make_scratch("fuzz_t38_fax_road");
  return dir;
}

t38_session_entry session() {
  t38_session_entry e;
  e.kind_of_session = T38__IAF_SESSION;
  e.addr.nai = kNai;
  e.addr.remote_ip_family = 4;
  const u8 lo[4] = {127, 0, 0, 1};
  std::memcpy(e.addr.remote_ipv4_addr, lo, 4);
  e.addr.remote_port = kGatewayPort;
  e.addr.sock_sapi = 1;
  e.addr.sock_conn_id = 0;
  e.ip.media_transport = T38__MEDIA_UDPTL;
  e.ip.nb_red_ifp_pck__default = 1;
  e.ip.nb_red_ifp_pck__tcf = 1;
  e.ip.nb_red_ifp_pck__fax_pg_no_ecm = 1;
  e.ip.nb_red_ifp_pck__fax_pg_ecm = 1;
  e.caps = t38__default_capabilities();
  e.report.freq_error_report_ms = 1000;
  e.report.trace_flush_timer = 1000;
  e.iaf.v21_size_first_buf = T38IAF__T30_FRM_LENGTH;
  e.iaf.v21_size_buf = T38IAF__T30_FRM_LENGTH;
  e.iaf.transparent_first_char_delay_ms = 20;
  e.iaf.transparent_char_delay_ms = 20;
  e.iaf.ecm_first_char_delay_ms = T38IAF__ECM_FRM_LENGTH;
  e.iaf.ecm_char_delay_ms = T38IAF__ECM_FRM_LENGTH;
  e.iaf.flow_ctrl_thr_high = 4;
  e.iaf.flow_ctrl_thr_low = 1;
  return e;
}

void to_t38(code_t code, const bytes& body, nai_t nai) {
  entity_fuzz::post(ENT_FOIP, ENT_T38, code, nai, T38__SAPI_MANAGEMENT, OM_OS_CONN_NONE, body, true);
}

bytes fax_config(bool ecm) { return fax_fuzz::session_config(kNai, ecm, "+33 2 FUZZ", scratch(), "", 300000); }

void datagram(const bytes& payload, bool stranger) {
  bytes d(SOCK_UDP_HEADER_SIZE);
  sock_addr a;
  a.addr_net = stranger ? 0x0401010A : 0x0100007F;
  a.port = kGatewayPort;
  sock_udp_header_pack(a, SOCK_FAMILY_IPV4, 0x0100007F, d.data());
  d.insert(d.end(), payload.begin(), payload.end());
  entity_fuzz::post(ENT_IP, ENT_T38, SOCK_U_DA_IN, kNai, 1, 0, d, true);
}

// Every datagram we sent reads as UDPTL.
void check_sent() {
  heap_chain_pool pool(64, 20000);
  for (const bytes& d : g_sent) {
    t38_udptl_in in;
    if (t38_udptl__decode(byte_ref{d.data(), static_cast<u32>(d.size()), nullptr}, nullptr, pool, in) != 0)
      __builtin_trap();
    t38_udptl__release(in, pool);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 16384) return 0;
  entity_fuzz::notes().clear();
  g_sent.clear();
  g_activated = g_ended = false;
  entity_fuzz::now() = 1000;
  om_os_set_trap_handler(entity_fuzz::ignore_trap);
  om_os_set_tick_source(entity_fuzz::read_clock);
  om_os_start_options o;
  o.table = TABLE;
  o.sm_thread = false;
  o.timer_thread = false;
  o.bkgr_thread = false;
  om_os_start_with(o);
  entity_fuzz::pump();
  const int msgs0 = entity_fuzz::msgs_held(), buffers0 = entity_fuzz::buffers_held();
  fax_entity_init();
  t38_set_iaf_port(&g_iaf);

  entity_fuzz::reader in(data, size);
  const bool ecm = (in.byte() & 1) != 0;
  to_t38(T38__SET_CONFIG_RQ, t38__common_body(3000), 0);
  to_t38(T38__SET_CONFIG_RQ, t38__session_body({session()}), 0);
  to_t38(T38__ACT_RQ, {}, kNai);
  entity_fuzz::post(ENT_SM, ENT_FAX, SM_CONFIG_RQ, kNai, FAX_SAPI, OM_OS_CONN_NONE, fax_config(ecm), true, ENT_FAX);
  entity_fuzz::advance(40);
  entity_fuzz::post(ENT_FOIP, ENT_FAX, FAX__ACT_RQ, kNai, FAX_SAPI, OM_OS_CONN_NONE, {0, 0, 0, 2}, false);
  if (!g_activated) __builtin_trap();  // the set-up itself must work

  u32 passed = 0;
  for (int steps = 0; !in.empty() && steps < 4000 && passed < 600000; ++steps) {
    const u8 op = in.byte();
    if ((op & 3) == 2) {
      const u32 ms = (in.byte() + 1u) * 20u;
      entity_fuzz::advance(ms);
      passed += ms;
      continue;
    }
    const std::size_t len = (op & 4) != 0 ? in.word() % 1401 : in.byte();
    datagram(in.take(len), (op & 3) == 3);
  }

  // Asked to stop, the session ends within two minutes.
  entity_fuzz::post(ENT_FOIP, ENT_FAX, FAX__DEA_RQ, kNai, FAX_SAPI, OM_OS_CONN_NONE, {0, 0, 0, 1}, false);
  for (u32 t = 0; t < 120000 && !g_ended; t += 100) entity_fuzz::advance(100);
  if (!g_ended) __builtin_trap();
  check_sent();

  to_t38(T38__RESET_CONFIG_RQ, {}, kNai);
  fax_release_all();
  cf_release_all();
  t30_release_all();
  acu_release_all();
  fm_release_all();
  entity_fuzz::pump();
  if (entity_fuzz::msgs_held() != msgs0 || entity_fuzz::buffers_held() != buffers0) __builtin_trap();
  om_os_stop();
  t38_set_iaf_port(nullptr);
  om_os_set_tick_source(nullptr);
  std::error_code ec;
  for (const fs::directory_entry& e : fs::directory_iterator(scratch(), ec)) fs::remove(e.path(), ec);
  return 0;
}
