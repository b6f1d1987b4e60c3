#include "t38/support/t38_session_fixtures.h"

#include <cstring>

#include "runtime/sock.h"
#include "t38/t38_entity.h"
#include "t38/t38_report.h"
#include "t38/udptl.h"

namespace kv::t38::testing {

u8 stub_iaf::main_automaton(u8 kind, msg_t** m, t38_session& s) {
  if (kind == T38IAF__KIND_USER) {
    user_codes.push_back((*m)->code);
    return 2;
  }
  const u8 r = kind == T38IAF__KIND_UDPTL ? t38_ifp__store_rcv_udptl_pck(*m, s) : t38_ifp__store_rcv_tpkt_pck(*m, s);
  stores.push_back(r);
  if (take_packets) drain(s);
  return r;
}

void stub_iaf::drain(t38_session& s) {
  for (int guard = 0; guard < 100000; ++guard) {
    t38_rx_packet p;
    (void)t38_ifp__get_ifp_pck(p, s);
    if (p.type_byte == T38_IFP__NOTHING) return;
    delivered d{p.ext_seq, p.type_byte, fields_of(p.fields), {}};
    for (const t38_data_field* f = p.fields; f != nullptr; f = f->next) d.lost_flags.push_back(f->data_lost);
    got[s.nai].push_back(d);
    t38_mem__free_data_objects(p.fields, s);
  }
}

u8 stub_iaf::update_drate(t38_session&, u32 v32, u16, u8* cause) {
  if (v32 == 9600) return 2;
  *cause = 77;
  return 3;
}

void stub_iaf::statistics(const t38_session&, u32 stats[T38IAF__STAT_WORDS], u16 enh[T38IAF__ENH_COUNTERS]) {
  stats[0] = 0xA1A2A3A4;
  enh[10] = 5;
}

void stub_trace::line(t38_session&, u8, u32 trace_class, const char* text) { lines.emplace_back(trace_class, text); }

int stub_trace::count(const std::string& part) const {
  int n = 0;
  for (const auto& l : lines) n += l.second.find(part) != std::string::npos;
  return n;
}

t38_session_entry udp_entry(nai_t nai, u16 remote_port, u8 redundancy) {
  t38_session_entry e;
  e.kind_of_session = T38__IAF_SESSION;
  e.addr.nai = nai;
  e.addr.remote_ip_family = 4;
  const uint8_t lo[4] = {127, 0, 0, 1};
  std::memcpy(e.addr.remote_ipv4_addr, lo, 4);
  e.addr.remote_port = remote_port;
  e.addr.sock_sapi = 1;
  e.addr.sock_conn_id = 0;
  e.ip.media_transport = T38__MEDIA_UDPTL;
  e.ip.nb_red_ifp_pck__default = redundancy;
  e.ip.nb_red_ifp_pck__tcf = redundancy;
  e.ip.nb_red_ifp_pck__fax_pg_no_ecm = redundancy;
  e.ip.nb_red_ifp_pck__fax_pg_ecm = redundancy;
  e.caps = t38__default_capabilities();
  e.report.freq_error_report_ms = 1000;
  e.report.trace_flush_timer = 1000;
  return e;
}

t38_session_entry tcp_entry(nai_t nai, u16 remote_port) {
  t38_session_entry e = udp_entry(nai, remote_port, 0);
  e.ip.media_transport = T38__MEDIA_TPKT;
  return e;
}

std::vector<uint8_t> ifp(uint8_t type_byte, const std::vector<field_def>& fields) {
  return encode_flat(type_byte, fields);
}

std::vector<uint8_t> udptl(uint16_t seq, const std::vector<uint8_t>& primary,
                           const std::vector<std::vector<uint8_t>>& secondaries) {
  std::vector<byte_ref> sec;
  for (const auto& s : secondaries) sec.push_back(byte_ref{s.data(), static_cast<uint32_t>(s.size()), nullptr});
  t38_udptl_out out{seq, byte_ref{primary.data(), static_cast<uint32_t>(primary.size()), nullptr}, sec.data(),
                    static_cast<uint16_t>(sec.size())};
  std::vector<uint8_t> area(65536);
  t38_udptl_encoded enc;
  if (t38_udptl__encode_flat(out, 65535, area.data(), static_cast<uint32_t>(area.size()), nullptr, enc) != 0) return {};
  return std::vector<uint8_t>(enc.data, enc.data + enc.length);
}

std::vector<uint8_t> with_source(const std::vector<uint8_t>& datagram, u16 port, const uint8_t addr[4]) {
  sock_addr a;
  const uint8_t lo[4] = {127, 0, 0, 1};
  std::memcpy(&a.addr_net, addr != nullptr ? addr : lo, 4);
  a.port = port;
  std::vector<uint8_t> out(SOCK_UDP_HEADER_SIZE);
  sock_udp_header_pack(a, SOCK_FAMILY_IPV4, 0, out.data());
  out.insert(out.end(), datagram.begin(), datagram.end());
  return out;
}

msg_t* socket_msg(code_t code, nai_t nai, const std::vector<uint8_t>& data) {
  msg_t* m = nullptr;
  if (data.size() <= om_os_get_msg_room()) {
    buffer_t* b = nullptr;
    u8* p = nullptr;
    Alloc_msg_data(&m, &b, static_cast<u32>(data.size()), &p);
    if (!data.empty()) std::memcpy(p, data.data(), data.size());
  } else {
    m = Alloc_msg();
    Msg_attach_chain(m, Store_data_in_buffers(data.data(), static_cast<u32>(data.size()), nullptr));
  }
  m->from = ENT_IP;
  m->to = ENT_T38;
  m->nai = nai;
  m->sapi = 1;
  m->conn_id = 0;
  m->code = code;
  return m;
}

}  // namespace kv::t38::testing

#include "runtime/om_os.h"
#include "runtime/sm.h"
#include "runtime/timer.h"

namespace kv::t38::testing {

namespace {
const entity_table_row_t kTable[] = {
    {ENT_SM, rt_test::record_handler, 0, 0, nullptr, 0},
    {ENT_FOIP, rt_test::record_handler, 0, 0, nullptr, 0},
    {ENT_FM, rt_test::record_handler, 0, 0, nullptr, 0},
    {ENT_IP, rt_test::record_handler, 0, 0, nullptr, 0},
    T38_ENTITY_ROW,
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};
}  // namespace

void T38EntityTest::SetUp() {
  rt_test::use_virtual_clock(1000);
  rt_test::start_manual(kTable);
  t38_set_iaf_port(&iaf);
  t38_set_trace_port(&trace);
  ASSERT_EQ(request(ENT_FOIP, T38__SET_CONFIG_RQ, t38__common_body(3000)),
            (std::vector<u8>{2, 2, 'J', 11, 0xB8, 0x0B, 0, 0}));
  rt_test::rec().clear();
}

void T38EntityTest::TearDown() {
  rt_test::stop();
  t38_set_iaf_port(nullptr);
  t38_set_trace_port(nullptr);
}

std::vector<u8> T38EntityTest::request(ent_id_t from, code_t code, const std::vector<u8>& body, nai_t nai) {
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
  }
  if (from == ENT_SM) Sm_set_target(m, ENT_T38);
  Send_msg(m);
  rt_test::pump();
  auto all = rt_test::rec().messages();
  for (size_t i = before; i < all.size(); ++i) {
    if (all[i].to == from && all[i].from == ENT_T38 && all[i].code != T38__REPORT_IN) return all[i].data;
  }
  return {};
}

std::vector<u8> T38EntityTest::configure(const std::vector<t38_session_entry>& entries, ent_id_t from) {
  auto co = request(from, from == ENT_SM ? static_cast<code_t>(SM_CONFIG_RQ) : static_cast<code_t>(T38__SET_CONFIG_RQ),
                    t38__session_body(entries));
  if (co.size() > 3) co.resize(3);
  return co;
}

t38_session& T38EntityTest::session(nai_t nai) {
  t38_session* s = t38__find_session(nai);
  EXPECT_NE(s, nullptr) << "nai " << nai;
  return *s;
}

void T38EntityTest::advance(u32 ms) {
  for (u32 t = 0; t < ms; t += 10) {
    rt_test::advance_clock(std::min<u32>(10, ms - t));
    om_os_timer_poll();
    rt_test::pump();
  }
}

void T38EntityTest::receive(nai_t nai, const std::vector<uint8_t>& datagram, u16 port) {
  Send_msg(socket_msg(SOCK_U_DA_IN, nai, with_source(datagram, port)));
  rt_test::pump();
}

std::vector<rt_test::seen_msg> T38EntityTest::sent(ent_id_t to, code_t code) {
  rt_test::pump();
  std::vector<rt_test::seen_msg> out;
  for (const auto& m : rt_test::rec().messages()) {
    if (m.to == to && m.code == code) out.push_back(m);
  }
  return out;
}

std::vector<std::vector<uint8_t>> T38EntityTest::datagrams() {
  std::vector<std::vector<uint8_t>> out;
  for (const auto& m : sent(ENT_IP, SOCK_U_DA_RQ)) {
    out.emplace_back(m.data.begin() + SOCK_UDP_HEADER_SIZE, m.data.end());
  }
  return out;
}

t38_data_field* T38EntityTest::fields(nai_t nai, const std::vector<field_def>& defs) {
  return make_fields(session(nai).pools, defs);
}

}  // namespace kv::t38::testing
