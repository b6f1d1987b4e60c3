#include "sip/ent/support/sip_harness.h"

#include <algorithm>
#include <cstring>

#include "runtime/buffer.h"
#include "runtime/msg.h"
#include "runtime/sm.h"
#include "runtime/timer.h"
#include "sip/ent/sip_entity.h"

namespace sip_test {

namespace {

const entity_table_row_t TABLE[] = {
    SIP_ENTITY_ROW,
    {ENT_SM, rt_test::record_handler, 0, 0, nullptr, 0},
    {ENT_SSC, rt_test::record_handler, 0, 0, nullptr, 0},
    {ENT_IP, rt_test::record_handler, 0, 0, nullptr, 0},
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

}  // namespace

sip_config one_endpoint(std::uint16_t user_nai) {
  sip_config c;
  c.endpoint_count = 1;
  sip_config_endpoint& e = c.endpoints[0];
  e.nai = user_nai;
  e.address_type = 1;
  e.address_length = 4;
  e.address = {127, 0, 0, 1, 0};
  e.user_entity = ENT_SSC;
  e.transport_entity = ENT_IP;
  e.transport_nai = TRANSPORT_NAI;
  e.t1_ms = 100;
  e.t2_ms = 800;
  return c;
}

harness::harness(std::uint32_t start_ms) {
  rt_test::use_virtual_clock(start_ms);
  rt_test::start_manual(TABLE);
  rt_test::rec().clear();
}

harness::~harness() { rt_test::stop(); }

void harness::send(ent_id_t from, code_t code, const std::vector<std::uint8_t>& data, std::uint16_t nai,
                   std::uint16_t conn_id) {
  msg_t* m = nullptr;
  if (data.size() <= om_os_get_msg_room()) {
    m = rt_test::make_msg(from, ENT_SIP, code, data, nai, conn_id);
  } else {
    m = rt_test::make_msg(from, ENT_SIP, code, {}, nai, conn_id);
    buffer_t* chain = Store_data_in_buffers(data.data(), static_cast<u32>(data.size()), nullptr);
    Msg_attach_chain(m, chain);
  }
  Send_msg(m);
  rt_test::pump();
}

std::vector<std::uint8_t> harness::configure_raw(const std::vector<std::uint8_t>& body) {
  send(ENT_SM, SM_CONFIG_RQ, body, 0);
  auto co = take_for(ENT_SM);
  return co.empty() ? std::vector<std::uint8_t>{} : co.back().data;
}

std::vector<std::uint8_t> harness::configure(const sip_config& cfg) {
  std::vector<std::uint8_t> body(SIP_CONFIG_SIZE);
  sip_config_pack(cfg, body.data());
  return configure_raw(body);
}

std::vector<std::uint8_t> harness::manage(code_t code, std::uint16_t nai) {
  send(ENT_SM, code, {0}, nai);
  auto co = take_for(ENT_SM);
  return co.empty() ? std::vector<std::uint8_t>{} : co.back().data;
}

void harness::advance(std::uint32_t ms) {
  for (std::uint32_t i = 0; i < ms; ++i) {
    rt_test::advance_clock(1);
    om_os_timer_poll();
    rt_test::pump();
  }
}

std::vector<rt_test::seen_msg> harness::take() {
  auto all = rt_test::rec().messages();
  rt_test::rec().clear();
  return all;
}

std::vector<rt_test::seen_msg> harness::take_for(ent_id_t to) {
  auto all = take();
  all.erase(std::remove_if(all.begin(), all.end(), [to](const rt_test::seen_msg& m) { return m.to != to; }), all.end());
  return all;
}

}  // namespace sip_test
