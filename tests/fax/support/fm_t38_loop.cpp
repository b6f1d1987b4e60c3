#include "fax/support/fm_t38_loop.h"

#include "common/byte_order.h"
#include "fax/acu.h"
#include "fax/fc.h"
#include "fax/fm.h"
#include "fax/t30_engine.h"
#include "runtime/om_os.h"
#include "runtime/sm.h"
#include "runtime/sock.h"
#include "runtime/support/rt_harness.h"
#include "runtime/timer.h"
#include "t38/t38_entity.h"
#include "t38/t38_report.h"

namespace fm_test {

using namespace kv::t38;
using namespace kv::t38::testing;

std::vector<confirm_note>* FmT38Loop::confirms = nullptr;
std::function<bool(nai_t, const std::vector<uint8_t>&)> FmT38Loop::line_filter;
std::function<void(nai_t, const std::vector<uint8_t>&)> FmT38Loop::ip_tap;
void (*FmT38Loop::session_layer)(msg_t*) = t30_test::fake_users::handler;
void (*FmT38Loop::fax_user)(msg_t*) = rt_test::record_handler;
void (*FmT38Loop::sm_layer)(msg_t*) = rt_test::record_handler;

void FmT38Loop::deliver(nai_t to, const std::vector<uint8_t>& datagram) {
  Send_msg(socket_msg(SOCK_U_DA_IN, to, with_source(datagram)));
}

namespace {

void engine_tap(msg_t* m) {
  if (m->from == ENT_FM && m->code == FM_CONTROL_CO && FmT38Loop::confirms && Msg_data_size(m) >= 4) {
    const u8* d = Msg_data(m);
    FmT38Loop::confirms->push_back({m->nai, static_cast<char>(get_le16(d)), get_le16(d + 2)});
  }
  if (m->from == ENT_FM && m->code == FM_PROGRESS_IN && FmT38Loop::confirms && Msg_data_size(m) >= 4) {
    const u8* d = Msg_data(m);
    FmT38Loop::confirms->push_back({m->nai, static_cast<char>(get_le16(d)), get_le16(d + 2)});
  }
  t30_entity_handler(m);
}

void ip_handler(msg_t* m) {
  if (m->code == SOCK_U_DA_RQ) {
    const nai_t peer = m->nai == kCaller ? kAnswerer : kCaller;
    std::vector<u8> data = rt_test::chain_bytes(m->p_buffer);
    if (m->p_buffer == nullptr) data.assign(Msg_inline_data(m), Msg_inline_data(m) + m->data_size);
    if (FmT38Loop::ip_tap) {
      if (data.size() >= SOCK_UDP_HEADER_SIZE)
        FmT38Loop::ip_tap(m->nai, std::vector<u8>(data.begin() + SOCK_UDP_HEADER_SIZE, data.end()));
      Free_msg(m);
      return;
    }
    const bool pass =
        !FmT38Loop::line_filter ||
        (data.size() >= SOCK_UDP_HEADER_SIZE &&
         FmT38Loop::line_filter(m->nai, std::vector<u8>(data.begin() + SOCK_UDP_HEADER_SIZE, data.end())));
    if (pass) Send_msg(socket_msg(SOCK_U_DA_IN, peer, data));
  }
  Free_msg(m);
}

void mt30_recorder(msg_t* m) { rt_test::record_handler(m); }
void session_row(msg_t* m) { FmT38Loop::session_layer(m); }
void fax_row(msg_t* m) { FmT38Loop::fax_user(m); }
void sm_row(msg_t* m) { FmT38Loop::sm_layer(m); }

const entity_table_row_t kTable[] = {
    {ENT_SM, sm_row, 0, 0, nullptr, 0},
    {ENT_FOIP, rt_test::record_handler, 0, 0, nullptr, 0},
    {ENT_IP, ip_handler, 0, 0, nullptr, 0},
    {ENT_T30, engine_tap, 0, 0, nullptr, 0},
    {ENT_FM, fm_entity_handler, 0, 0, nullptr, 0},
    {ENT_MFM, mfm_entity_handler, 0, 0, nullptr, 0},
    {ENT_CF, session_row, 0, 0, nullptr, 0},
    {ENT_MT30, mt30_recorder, 0, 0, nullptr, 0},
    {ENT_ACU, acu_entity_handler, 0, 0, nullptr, 0},
    {ENT_FAX, fax_row, 0, 0, nullptr, 0},
    FC_ENTITY_ROW,
    T38_ENTITY_ROW,
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

}  // namespace

t38_session_entry iaf_entry(nai_t nai, u16 remote_port) {
  t38_session_entry e = udp_entry(nai, remote_port, 1);
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

std::vector<u8> t38_request(code_t code, const std::vector<u8>& body, nai_t nai) {
  rt_test::pump();
  const size_t before = rt_test::rec().messages().size();
  msg_t* m = nullptr;
  if (body.size() <= om_os_get_msg_room()) {
    m = rt_test::make_msg(ENT_FOIP, ENT_T38, code, body, nai, OM_OS_CONN_NONE);
  } else {
    m = Alloc_msg();
    Msg_attach_chain(m, Store_data_in_buffers(body.data(), static_cast<u32>(body.size()), nullptr));
    m->from = ENT_FOIP;
    m->to = ENT_T38;
    m->code = code;
    m->nai = nai;
    m->conn_id = OM_OS_CONN_NONE;
  }
  m->sapi = T38__SAPI_MANAGEMENT;
  Send_msg(m);
  rt_test::pump();
  auto all = rt_test::rec().messages();
  for (size_t i = before; i < all.size(); ++i)
    if (all[i].to == ENT_FOIP && all[i].from == ENT_T38 && all[i].code != T38__REPORT_IN) return all[i].data;
  return {};
}

void start_fax_layers() {
  msg_t* cfg = rt_test::make_msg(ENT_SM, ENT_MFM, SM_CONFIG_RQ, {ENT_MFM, 0, 0, 4, 0}, 0, OM_OS_CONN_NONE);
  Send_msg(cfg);
  rt_test::pump();
}

void FmT38Loop::SetUp() {
  confirms = new std::vector<confirm_note>();
  rt_test::use_virtual_clock(1000);
  rt_test::start_manual(kTable);
  t30_test::fake_users::get().reset();
  t38_set_iaf_port(&iaf);
  ASSERT_EQ(t38_request(T38__SET_CONFIG_RQ, t38__common_body(3000), 0).size(), 8u);
  auto co =
      t38_request(T38__SET_CONFIG_RQ, t38__session_body({iaf_entry(kCaller, 4000), iaf_entry(kAnswerer, 4000)}), 0);
  ASSERT_GE(co.size(), 2u);
  ASSERT_EQ(co[0], 2) << "cause " << int(co[1]);
  for (nai_t n : {kCaller, kAnswerer}) ASSERT_EQ(t38_request(T38__ACT_RQ, {}, n), (std::vector<u8>{2, 0, 'J'}));
  // The modem layer, then the engine's channels (channel number = nai).
  start_fax_layers();
  for (nai_t n : {kCaller, kAnswerer}) ASSERT_EQ(t30_test::configure_channel(n, 4, ENT_T38), OM_OS_OK);
  rt_test::rec().clear();
}

void FmT38Loop::TearDown() {
  t30_release_all();
  acu_release_all();
  fm_release_all();
  rt_test::stop();
  t38_set_iaf_port(nullptr);
  t30_test::fake_users::get().reset();
  delete confirms;
  confirms = nullptr;
  line_filter = nullptr;
  ip_tap = nullptr;
}

uint32_t FmT38Loop::run_until(const std::function<bool()>& done, uint32_t limit_ms) {
  const uint32_t start = rt_test::virtual_now();
  while (!done() && rt_test::virtual_now() - start < limit_ms) {
    rt_test::advance_clock(5);
    om_os_timer_poll();
    rt_test::pump();
  }
  return rt_test::virtual_now() - start;
}

}  // namespace fm_test
