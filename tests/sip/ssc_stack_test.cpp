// ENT_SIP and ENT_SSC together, datagrams in and out through a recording
// socket entity: an INVITE requiring an extension the user agent does not
// support is refused on the wire.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/byte_order.h"
#include "runtime/buffer.h"
#include "runtime/sm.h"
#include "runtime/sock.h"
#include "runtime/support/rt_harness.h"
#include "sip/ent/sip_config.h"
#include "sip/prim/ssc_codes.h"
#include "sip/ent/sip_entity.h"
#include "sip/ssc/ssc_handler.h"
#include "sip/support/loopback_stack.h"
#include "sip/ent/support/sip_harness.h"

namespace {

const entity_table_row_t TABLE[] = {
    SIP_ENTITY_ROW,
    SSC_ENTITY_ROW,
    {ENT_SM, rt_test::record_handler, 0, 0, nullptr, 0},
    {ENT_IP, rt_test::record_handler, 0, 0, nullptr, 0},
    {ENT_FOIP, rt_test::record_handler, 0, 0, nullptr, 0},
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

std::vector<u8> datagram(const std::string& text, u16 port) {
  std::vector<u8> d(28 + text.size());
  d[0] = 4;
  d[4] = 127;
  d[7] = 1;
  put_host16(&d[8], port);
  std::memcpy(&d[28], text.data(), text.size());
  return d;
}

class SscStack : public ::testing::Test {
 protected:
  void SetUp() override {
    rt_test::use_virtual_clock(100000);
    rt_test::start_manual(TABLE);
    ssc_entity_reset(8);
    rt_test::rec().clear();
    std::vector<u8> sip(SIP_CONFIG_SIZE);
    sip_config_pack(sip_test::one_endpoint(), sip.data());
    send(ENT_SM, ENT_SIP, SM_CONFIG_RQ, sip, 0);
    send(ENT_SM, ENT_SSC, SM_CONFIG_RQ, ssc_test::ssc_config_body(sip_test::USER_NAI, ssc_test::SSC_FLAG_REQUIRE_CHECK),
         0);
    std::vector<rt_test::seen_msg> co;
    for (const auto& m : rt_test::rec().messages())
      if (m.to == ENT_SM && m.code == SM_CONFIG_CO) co.push_back(m);
    rt_test::rec().clear();
    ASSERT_EQ(co.size(), 2u);
    EXPECT_EQ(co[0].data[0], 2);
    EXPECT_EQ(co[1].data[0], 2);
    ASSERT_EQ(ssc_ua__select(sip_test::USER_NAI), 2);
    ssc_mod().ua->supported_mask = 0x01;  // 100rel
  }
  void TearDown() override {
    ssc_entity_reset(0);
    rt_test::stop();
  }
  void send(ent_id_t from, ent_id_t to, code_t code, const std::vector<u8>& data, u16 nai) {
    msg_t* m = rt_test::make_msg(from, to, code, {}, nai, 0);
    if (data.size() <= 64) {
      Msg_set_inline_body(m, data.data(), static_cast<u8>(data.size()));
    } else {
      Msg_attach_chain(m, Store_data_in_buffers(data.data(), static_cast<u32>(data.size()), nullptr));
    }
    Send_msg(m);
    rt_test::pump();
  }
  std::vector<std::string> wire() {
    std::vector<std::string> out;
    for (const auto& m : rt_test::rec().messages())
      if (m.to == ENT_IP && m.code == SOCK_U_DA_RQ) out.emplace_back(m.data.begin() + 28, m.data.end());
    rt_test::rec().clear();
    return out;
  }
};

std::string invite(const std::string& require) {
  std::string s = "INVITE sip:fax@127.0.0.1 SIP/2.0\r\n";
  s += "Via: SIP/2.0/UDP 127.0.0.1:5999;branch=z9hG4bKreq1;rport\r\n";
  s += "From: <sip:a@127.0.0.1>;tag=f1\r\n";
  s += "To: <sip:fax@127.0.0.1>\r\n";
  s += "Call-ID: req-1@127.0.0.1\r\n";
  s += "CSeq: 1 INVITE\r\n";
  s += "Contact: <sip:a@127.0.0.1:5070>\r\n";
  if (!require.empty()) s += "Require: " + require + "\r\n";
  s += "Content-Length: 0\r\n\r\n";
  return s;
}

}  // namespace

TEST_F(SscStack, UnsupportedRequireIsRefusedOnTheWire) {
  send(ENT_PH_IT, ENT_SIP, SOCK_U_DA_IN, datagram(invite("100rel, foo"), 5070), sip_test::TRANSPORT_NAI);
  const auto out = wire();
  ASSERT_FALSE(out.empty());
  const std::string& rs = out.back();
  EXPECT_EQ(rs.substr(0, rs.find("\r\n")), "SIP/2.0 420 Bad Extension");
  EXPECT_NE(rs.find("Unsupported: foo\r\n"), std::string::npos) << rs;
  EXPECT_EQ(rs.find("100rel"), std::string::npos) << rs;
  EXPECT_NE(rs.find("Via: SIP/2.0/UDP 127.0.0.1:5999"), std::string::npos) << rs;
  EXPECT_NE(rs.find("CSeq: 1 INVITE\r\n"), std::string::npos) << rs;
  EXPECT_NE(rs.find("Call-ID: req-1@127.0.0.1\r\n"), std::string::npos) << rs;
  EXPECT_EQ(ssc_entity_counts().handles, 0u);
}

TEST_F(SscStack, SupportedRequireReachesTheCallMachine) {
  send(ENT_PH_IT, ENT_SIP, SOCK_U_DA_IN, datagram(invite("100rel"), 5070), sip_test::TRANSPORT_NAI);
  int offered = 0;
  for (const auto& m : rt_test::rec().messages())
    if (m.to == ENT_FOIP && m.code == SSC_INVITE_IN) ++offered;
  EXPECT_EQ(offered, 1);
  EXPECT_TRUE(wire().empty());
  // Reset of the agent: the open call and its transaction go, nothing held.
  send(ENT_SM, ENT_SSC, SM_RST_CFG_RQ, {0}, sip_test::USER_NAI);
  EXPECT_EQ(ssc_entity_counts().handles, 0u);
  EXPECT_EQ(ssc_entity_counts().self_queue, 0u);
}
