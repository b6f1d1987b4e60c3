#include "t38/support/t38iaf_b2b.h"

#include <algorithm>

#include "common/byte_order.h"
#include "runtime/om_os.h"
#include "runtime/sock.h"
#include "runtime/timer.h"
#include "t38/t38_entity.h"
#include "t38/t38_report.h"

namespace kv::t38::testing {

std::vector<fm_event>* T38IafB2B::fm_log = nullptr;
bool T38IafB2B::drop_all = false;
std::function<void(nai_t, const std::vector<u8>&)> T38IafB2B::ip_tap;

namespace {

void fm_handler(msg_t* m) {
  if (T38IafB2B::fm_log != nullptr) {
    fm_event e{m->nai, m->from, m->sapi, m->code, {}, {}, rt_test::virtual_now()};
    if (m->p_buffer != nullptr) e.data = rt_test::chain_bytes(m->p_buffer);
    else e.data.assign(Msg_inline_data(m), Msg_inline_data(m) + m->data_size);
    e.inline_data.assign(Msg_inline_data(m), Msg_inline_data(m) + m->data_size);
    T38IafB2B::fm_log->push_back(e);
  }
  Free_msg(m);
}

// ENT_IP: every datagram a session sends arrives at the other one.
void ip_handler(msg_t* m) {
  if (m->code == SOCK_U_DA_RQ && !T38IafB2B::drop_all) {
    const nai_t peer = m->nai == kA ? kB : kA;
    std::vector<u8> data = rt_test::chain_bytes(m->p_buffer);
    if (m->p_buffer == nullptr) data.assign(Msg_inline_data(m), Msg_inline_data(m) + m->data_size);
    if (T38IafB2B::ip_tap) {
      if (data.size() >= SOCK_UDP_HEADER_SIZE) {
        T38IafB2B::ip_tap(m->nai, std::vector<u8>(data.begin() + SOCK_UDP_HEADER_SIZE, data.end()));
      }
      Free_msg(m);
      return;
    }
    Send_msg(socket_msg(SOCK_U_DA_IN, peer, data));
  } else if (m->code == SOCK_DA_RQ && !T38IafB2B::drop_all) {
    // A TCP stream: the bytes as they are, to the other session.
    const nai_t peer = m->nai == kA ? kB : kA;
    std::vector<u8> data = rt_test::chain_bytes(m->p_buffer);
    if (m->p_buffer == nullptr) data.assign(Msg_inline_data(m), Msg_inline_data(m) + m->data_size);
    Send_msg(socket_msg(SOCK_DA_IN, peer, data));
  }
  Free_msg(m);
}

const entity_table_row_t kTable[] = {
    {ENT_SM, rt_test::record_handler, 0, 0, nullptr, 0},
    {ENT_FOIP, rt_test::record_handler, 0, 0, nullptr, 0},
    {ENT_FM, fm_handler, 0, 0, nullptr, 0},
    {ENT_IP, ip_handler, 0, 0, nullptr, 0},
    T38_ENTITY_ROW,
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

}  // namespace

void T38IafB2B::SetUp() {
  fm_log = new std::vector<fm_event>();
  drop_all = false;
  rt_test::use_virtual_clock(1000);
  rt_test::start_manual(kTable);
  t38_set_iaf_port(&iaf);
  t38_set_trace_port(&trace);
  ASSERT_EQ(request(ENT_FOIP, T38__SET_CONFIG_RQ, t38__common_body(3000), 0, T38__SAPI_MANAGEMENT).size(), 8u);
  rt_test::rec().clear();
}

void T38IafB2B::TearDown() {
  rt_test::stop();
  t38_set_iaf_port(nullptr);
  t38_set_trace_port(nullptr);
  delete fm_log;
  fm_log = nullptr;
  ip_tap = nullptr;
}

void T38IafB2B::deliver(nai_t nai, const std::vector<u8>& datagram) {
  Send_msg(socket_msg(SOCK_U_DA_IN, nai, with_source(datagram)));
  rt_test::pump();
}

t38_session_entry T38IafB2B::entry(nai_t nai) {
  t38_session_entry e = udp_entry(nai, 4000, 1);
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

void T38IafB2B::start(const std::function<void(t38_session_entry&)>& tweak) {
  std::vector<t38_session_entry> entries{entry(kA), entry(kB)};
  if (tweak) {
    for (auto& e : entries) tweak(e);
  }
  auto co = request(ENT_FOIP, T38__SET_CONFIG_RQ, t38__session_body(entries), 0, T38__SAPI_MANAGEMENT);
  ASSERT_GE(co.size(), 2u);
  ASSERT_EQ(co[0], 2) << "cause " << int(co[1]);
  for (nai_t n : {kA, kB}) {
    auto a = request(ENT_FOIP, T38__ACT_RQ, {}, n, T38__SAPI_MANAGEMENT);
    ASSERT_EQ(a, (std::vector<u8>{2, 0, 'J'}));
  }
  rt_test::pump();
}

std::vector<u8> T38IafB2B::request(ent_id_t from, code_t code, const std::vector<u8>& body, nai_t nai, u8 sapi) {
  const size_t before = rt_test::rec().messages().size();
  msg_t* m = nullptr;
  if (body.size() <= om_os_get_msg_room()) {
    m = rt_test::make_msg(from, ENT_T38, code, body, nai, OM_OS_CONN_NONE);
  } else {
    m = Alloc_msg();
    Msg_attach_chain(m, Store_data_in_buffers(body.data(), static_cast<u32>(body.size()), nullptr));
    m->from = from;
    m->to = ENT_T38;
    m->code = code;
    m->nai = nai;
    m->conn_id = OM_OS_CONN_NONE;
  }
  m->sapi = sapi;
  Send_msg(m);
  rt_test::pump();
  auto all = rt_test::rec().messages();
  for (size_t i = before; i < all.size(); ++i) {
    if (all[i].to == from && all[i].from == ENT_T38 && all[i].code != T38__REPORT_IN) return all[i].data;
  }
  return {};
}

namespace {
msg_t* fm_msg(nai_t nai, code_t code, u8 sapi, const std::vector<u8>& inline_data) {
  msg_t* m = rt_test::make_msg(ENT_FM, ENT_T38, code, inline_data, nai, OM_OS_CONN_NONE);
  m->sapi = sapi;
  return m;
}
std::vector<u8> words(std::initializer_list<u16> w) {
  std::vector<u8> out;
  for (u16 v : w) {
    out.push_back(static_cast<u8>(v));
    out.push_back(static_cast<u8>(v >> 8));
  }
  return out;
}
}  // namespace

void T38IafB2B::fax_act(nai_t nai, u16 direction, u16 mode, u16 short_train, u16 options) {
  Send_msg(fm_msg(nai, T38IAF__FAX_ACT_RQ, T38IAF__SAPI_FAX, words({direction, mode, short_train, 0xFFFF, options})));
  rt_test::pump();
}

void T38IafB2B::fax_dea(nai_t nai) {
  Send_msg(fm_msg(nai, T38IAF__FAX_DEA_RQ, T38IAF__SAPI_FAX, {}));
  rt_test::pump();
}

void T38IafB2B::fax_da(nai_t nai, const std::vector<u8>& bytes, u16 last) {
  msg_t* m = fm_msg(nai, T38IAF__FAX_DA_RQ, T38IAF__SAPI_FAX, words({last}));
  if (!bytes.empty()) {
    buffer_t* chain = Store_data_in_buffers(bytes.data(), static_cast<u32>(bytes.size()), nullptr);
    for (buffer_t* b = chain; b != nullptr; b = b->next) b->link_count = 1;
    m->p_buffer = chain;
    m->chain_size = static_cast<u16>(std::min<size_t>(bytes.size(), 0xFFFF));
  }
  Send_msg(m);
  rt_test::pump();
}

void T38IafB2B::signal(nai_t nai, code_t code, u16 action, u16 tone) {
  Send_msg(fm_msg(nai, code, T38IAF__SAPI_SIGNAL, words({action, tone})));
  rt_test::pump();
}

void T38IafB2B::advance(u32 ms) {
  for (u32 t = 0; t < ms; ++t) {
    rt_test::advance_clock(1);
    om_os_timer_poll();
    rt_test::pump();
  }
}

bool T38IafB2B::run_until(const std::function<bool()>& pred, u32 max_ms) {
  for (u32 t = 0; t <= max_ms; ++t) {
    if (pred()) return true;
    advance(1);
  }
  return pred();
}

std::vector<fm_event> T38IafB2B::events(nai_t nai, code_t code) const {
  std::vector<fm_event> out;
  for (const auto& e : *fm_log) {
    if (e.nai == nai && e.code == code) out.push_back(e);
  }
  return out;
}

std::vector<u16> T38IafB2B::progress(nai_t nai) const {
  std::vector<u16> out;
  for (const auto& e : events(nai, T38IAF__FAX_PROGRESS_IN)) out.push_back(get_le16(e.data.data()));
  return out;
}

long T38IafB2B::progress_time(nai_t nai, u16 code) const {
  for (const auto& e : events(nai, T38IAF__FAX_PROGRESS_IN)) {
    if (get_le16(e.data.data()) == code) return static_cast<long>(e.at);
  }
  return -1;
}

int T38IafB2B::error_reports(nai_t nai) const {
  const t38_session* s = t38__find_session(nai);
  return s != nullptr ? s->rep.trap_count : -1;
}

std::vector<std::vector<u8>> T38IafB2B::received(nai_t nai) const {
  std::vector<std::vector<u8>> out;
  for (const auto& e : events(nai, T38IAF__FAX_DA_IN)) out.push_back(e.data);
  return out;
}

}  // namespace kv::t38::testing
