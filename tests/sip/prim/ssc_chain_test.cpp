// The bridge against independent peers on loopback: an SSC INVITE with a
// T.38 offer, built as the fax session builds it, goes through the SDP glue,
// the record codec and the downward dispatch into the SIP work area; its
// request is written by the SIP text encoder and sent to a sipp UAS, whose 200 answer with T.38 SDP comes back
// through our parser, the upward primitive body, the SSC decode walk and the
// glue.  The SDP values must equal sipp's; tshark must decode both messages
// cleanly, with one "m=image" line each.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "sip/prim/sip_elem.h"
#include "sip/text/sip_encode.h"
#include "sip/text/sip_parse.h"
#include "sip/prim/sip_prim_dispatch.h"
#include "sip/prim/ssc_sdp_glue.h"
#include "tests/sip/prim/ssc_bridge_fixture.h"
#include "tests/sip/support/loopback_udp.h"
#include "tests/sip/support/pcap_udp.h"
#include "tests/sip/prim/support/ssc_invite.h"

using namespace ssc_bridge_test;
using H = ssc_header_id;
using T = ssc_msg_type;

namespace {

const char* const UAS_SCENARIO = R"(<?xml version="1.0" encoding="ISO-8859-1" ?>
<scenario name="T.38 answer">
  <recv request="INVITE" />
  <send>
    <![CDATA[

SIP/2.0 200 OK
[last_Via:]
[last_From:]
[last_To:];tag=[pid]SIPpTag[call_number]
[last_Call-ID:]
[last_CSeq:]
Contact: <sip:[local_ip]:[local_port];transport=[transport]>
Content-Type: application/sdp
Content-Length: [len]

v=0
o=sipp 53655765 2353687637 IN IP[local_ip_type] [local_ip]
s=-
c=IN IP[media_ip_type] [media_ip]
t=0 0
m=image 6006 udptl t38
a=T38FaxVersion:0
a=T38MaxBitRate:9600
a=T38FaxRateManagement:transferredTCF
a=T38FaxMaxBuffer:1800
a=T38FaxMaxDatagram:300
a=T38FaxUdpEC:t38UDPRedundancy

]]>
  </send>
</scenario>
)";

using ssc_test::run_command;
using ssc_test::udp;

using ssc_test::pcap_header;
using ssc_test::pcap_record;

int count(const std::string& s, const std::string& what) {
  int n = 0;
  for (std::size_t at = s.find(what); at != std::string::npos; at = s.find(what, at + 1)) ++n;
  return n;
}

class SscChain : public Runtime {
 protected:
  void TearDown() override {
    sip_dispatch_env = {};
    sip_encode_env = sip_encode_services{};
    Runtime::TearDown();
  }
  // The T.38 INVITE of the fax session.
  ssc_handle* t38_invite(u16 sipp_port, u16 our_port) {
    ssc_handle* h = handle(T::INVITE);
    ssc_test::invite_fields f;
    f.addr_port = sipp_port;
    f.uri_port = sipp_port;
    f.local_port = our_port;
    ssc_test::add_invite_headers(h, f);
    ssc_test::add_t38_body(h, {});
    return h;
  }
};

// The encoder's text: the chain it hands to the transaction, flattened.
std::string g_request;
std::uint8_t take_chain(buffer_t* chain) {
  std::vector<u8> flat(Buffer_chain_length(chain));
  u32 len = 0;
  Reassemble_buffers(flat.data(), static_cast<u32>(flat.size()), chain, &len);
  g_request.assign(reinterpret_cast<const char*>(flat.data()), len);
  Free_buffer(chain);
  return 2;
}

TEST_F(SscChain, T38InviteAgainstSippUas) {
  if (std::system("command -v sipp >/dev/null 2>&1") != 0) GTEST_SKIP() << "sipp is not installed";
  udp ours;
  ASSERT_NE(ours.port, 0);
  u16 sipp_port = 0;
  {
    udp probe;  // a free port for sipp
    sipp_port = probe.port;
  }
  const std::string dir = ::testing::TempDir() + "ssc_chain_" + std::to_string(getpid());
  const std::string scenario = dir + ".xml";
  {
    FILE* f = std::fopen(scenario.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fputs(UAS_SCENARIO, f);
    std::fclose(f);
  }
  ASSERT_EQ(std::system(("sipp -sf " + scenario + " -i 127.0.0.1 -p " + std::to_string(sipp_port) +
                         " -m 1 -timeout 15 -nostdin -bg >/dev/null 2>&1")
                            .c_str()) != -1,
            true);

  // Down: handle -> glue -> record codec -> dispatch -> work area -> text
  // encoder (the send path numbers the CSeq and takes the chain).
  ssc_handle* h = t38_invite(sipp_port, ours.port);
  ASSERT_EQ(ssc_sdp_encode_body(h), 2);
  const auto body = encode(h);
  g_request.clear();
  sip_encode_env = sip_encode_services{};
  sip_encode_env.cseq_request = [] {
    sip_hdr_area.cseq.number = 1;
    sip_hdr_area.cseq.method = 0xC1;
    sip_hdr_area.cseq.method_text = {};
    sip_hdr_area.count[sip_hdr_slot(sip_header_id::cseq)] = 1;
  };
  sip_encode_env.send_by_kind = take_chain;
  sip_dispatch_env.endpoint_ready = [] { return true; };
  sip_dispatch_env.call_check = [](std::uint16_t) -> std::uint8_t { return 2; };
  sip_dispatch_env.send_prim = []() -> std::uint8_t {
    sip_encode_kind = sip_dispatch_code_copy;
    return sip_encode_message(SIP_ENCODE_CALL);
  };
  msg_t* m = Alloc_msg();
  ASSERT_NE(m, nullptr);
  m->code = 'A';
  m->conn_id = 1;
  buffer_t* b = Alloc_buffer();
  std::memcpy(Buffer_data(b), body.data(), body.size());
  b->data_size = static_cast<u16>(body.size());
  Msg_attach_chain(m, b);
  static std::vector<std::array<int, 2>> errors;
  errors.clear();
  sip_dispatch_env.send_error_in = [](std::uint16_t, std::uint8_t e, std::uint8_t d1, std::uint8_t, std::uint8_t) {
    errors.push_back({e, d1});
  };
  sip_prim_dispatch_down(m);
  Free_msg(m);
  ASSERT_TRUE(errors.empty()) << "SIP_ERROR_IN " << errors[0][0] << " header " << errors[0][1];
  const std::string invite = g_request;
  ASSERT_EQ(invite.rfind("INVITE sip:fax@127.0.0.1:", 0), 0u) << invite;
  EXPECT_EQ(count(invite, "m=image"), 1) << invite;
  EXPECT_NE(invite.find("\r\nVia: SIP/2.0/UDP 127.0.0.1:" + std::to_string(ours.port) + ";branch=z9hG4bK-"),
            std::string::npos)
      << invite;
  EXPECT_NE(invite.find("\r\nCall-ID: a84b4c76e66710@127.0.0.1\r\n"), std::string::npos) << invite;
  EXPECT_NE(invite.find("a=T38FaxUdpEC:t38UDPRedundancy"), std::string::npos) << invite;

  // The exchange with sipp (retried while sipp starts).
  std::string answer;
  for (int i = 0; i < 20 && answer.empty(); ++i) {
    ASSERT_TRUE(ours.send_to(sipp_port, invite));
    answer = ours.receive(500);
  }
  std::remove(scenario.c_str());
  ASSERT_FALSE(answer.empty()) << "no answer from sipp";
  ASSERT_EQ(answer.rfind("SIP/2.0 200", 0), 0u) << answer;

  // Up: text -> parser -> upward primitive -> SSC decode walk -> glue.
  std::vector<char> text(answer.begin(), answer.end());
  sip_work__release();
  sip_parser parser;
  sip_parse__start(parser, text.data(), text.size());
  ASSERT_EQ(sip_parse_message(parser, 1), SIP_PARSE_DONE);
  buffer_t* up = nullptr;
  ASSERT_EQ(sip_prim__build_up(sip_kind_index_rs[1], 0, &up), 2);
  std::vector<u8> flat(Buffer_chain_length(up));
  u32 len = 0;
  Reassemble_buffers(flat.data(), static_cast<u32>(flat.size()), up, &len);
  Free_buffer(up);
  ssc_handle* rs = handle(T::INVITE_RS);
  ssc_rc_fail fail;
  ASSERT_EQ(ssc_decode_from_sip(rs, flat.data(), static_cast<u16>(len), &fail), SSC_RC_OK) << int(ssc_idx(fail.id));
  EXPECT_EQ(Ssc_first<ssc_hdr_status>(rs, H::RETURN_CODE)->code, 200);
  ASSERT_EQ(ssc_sdp_decode_body(rs), 2);
  auto* t = Ssc_first<ssc_hdr_sdp_t38>(rs, H::T38_CNCT_DESCR);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->port, 6006);
  EXPECT_EQ(t->transport, SDP_TRANSPORT_UDPTL);
  EXPECT_EQ(t->version, 0);
  EXPECT_EQ(t->max_bit_rate, 9600u);
  EXPECT_EQ(t->rate_management, SDP_RATEMGMT_TRANSFERRED_TCF);
  EXPECT_EQ(t->max_buffer, 1800u);
  EXPECT_EQ(t->max_datagram, 300u);
  EXPECT_EQ(t->udp_ec, SDP_UDPEC_REDUNDANCY);
  EXPECT_EQ(t->next, nullptr);
  auto* o = Ssc_first<ssc_hdr_sdp_origin>(rs, H::ORIGIN_CNCT_DESCR);
  ASSERT_NE(o, nullptr);
  EXPECT_STREQ(o->user, "sipp");

  // tshark reads both messages, each with one image line, nothing malformed.
  if (std::system("command -v tshark >/dev/null 2>&1") != 0) GTEST_SKIP() << "tshark is not installed";
  const std::string pcap = dir + ".pcap";
  {
    const std::string file =
        pcap_header() + pcap_record(invite, ours.port, 5060) + pcap_record(answer, 5060, ours.port);
    FILE* f = std::fopen(pcap.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(file.data(), 1, file.size(), f);
    std::fclose(f);
  }
  const std::string fields = run_command("timeout 120 tshark -r " + pcap +
                                         " -T fields -E separator='|' -e sip.Method -e sip.Status-Code"
                                         " -e sdp.media.media -e sdp.media.port -e _ws.malformed 2>/dev/null");
  std::remove(pcap.c_str());
  EXPECT_EQ(fields, "INVITE||image|40000|\n|200|image|6006|\n") << fields;
}

}  // namespace
