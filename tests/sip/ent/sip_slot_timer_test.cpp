// A transaction slot's retransmission runs from the moment its message
// leaves.  ENT_SIP shares its task with the socket entity and the other
// entities of the program: when several calls are set up at once, a request
// handed to the transport may wait behind other work of the task before it
// goes out, and its first copy must still come T1 after it, not at once.
// Virtual clock; the other work is an entity whose handler takes the time
// given (the user sends its INVITE and queues that work just behind it).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "runtime/buffer.h"
#include "runtime/msg.h"
#include "runtime/sm.h"
#include "runtime/sock.h"
#include "runtime/support/rt_harness.h"
#include "runtime/timer.h"
#include "sip/prim/sip_elem.h"
#include "sip/text/sip_parse.h"
#include "sip/text/sip_prim_kind.h"
#include "sip/ent/sip_config.h"
#include "sip/ent/sip_entity.h"

namespace {

constexpr std::uint16_t USER_NAI = 1, TRANSPORT_NAI = 2, CONN = 7;
constexpr std::uint32_t T1 = 100;
constexpr code_t TRIGGER = 0x01;

std::vector<std::pair<std::uint32_t, std::string>> g_wire;  // when, first line
std::uint32_t g_busy_ms = 0;
std::vector<std::uint8_t> g_invite;  // the user's INVITE primitive

void transport(msg_t* m) {
  if (m->code == SOCK_U_DA_RQ) {
    const std::vector<u8> d = rt_test::describe(m).data;
    const std::string text(d.begin() + std::min<std::size_t>(28, d.size()), d.end());
    g_wire.emplace_back(rt_test::virtual_now(), text.substr(0, text.find("\r\n")));
  }
  Free_msg(m);
}

// Work of another entity of the task.
void busy(msg_t* m) {
  rt_test::advance_clock(g_busy_ms);
  Free_msg(m);
}

void send_to(ent_id_t from, ent_id_t to, code_t code, const std::vector<std::uint8_t>& data, std::uint16_t nai) {
  msg_t* m = rt_test::make_msg(from, to, code, {}, nai, CONN);
  if (!data.empty()) Msg_attach_chain(m, Store_data_in_buffers(data.data(), static_cast<u32>(data.size()), nullptr));
  Send_msg(m);
}

// The session-control user: on the trigger, its INVITE goes down and other
// work of the task is queued behind it.
void user(msg_t* m) {
  if (m->code == TRIGGER) {
    send_to(ENT_SSC, ENT_SIP, 'A', g_invite, USER_NAI);
    Send_msg(rt_test::make_msg(ENT_SSC, ENT_FC, 0x02));
  }
  Free_msg(m);
}

const entity_table_row_t TABLE[] = {
    SIP_ENTITY_ROW,
    {ENT_SM, rt_test::record_handler, 0, 0, nullptr, 0},
    {ENT_SSC, user, 0, 0, nullptr, 0},
    {ENT_IP, transport, 0, 0, nullptr, 0},
    {ENT_FC, busy, 0, 0, nullptr, 0},
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

std::vector<std::uint8_t> invite_prim() {
  std::string text =
      "INVITE sip:far@127.0.0.1:5070 SIP/2.0\r\n"
      "Via: SIP/2.0/UDP 127.0.0.1:5060;branch=z9hG4bKslot1\r\n"
      "From: <sip:fax@127.0.0.1>;tag=o1\r\n"
      "To: <sip:far@127.0.0.1:5070>\r\n"
      "Call-ID: slot-timer@127.0.0.1\r\n"
      "CSeq: 1 INVITE\r\n"
      "Contact: <sip:fax@127.0.0.1:5060>\r\n"
      "Max-Forwards: 70\r\n"
      "Content-Length: 0\r\n\r\n";
  sip_parser parser;
  sip_parse__start(parser, text.data(), text.size());
  const std::uint8_t r = sip_parse_message(parser, 1);
  EXPECT_TRUE(r == SIP_PARSE_DONE || r == SIP_PARSE_MORE);
  buffer_t* chain = nullptr;
  EXPECT_EQ(sip_prim__build_up(sip_kind_index_rq['A' - 'A' + 1], 0, &chain), 2);
  std::vector<std::uint8_t> body = rt_test::chain_bytes(chain);
  Free_buffer(chain);
  return body;
}

void advance(std::uint32_t ms) {
  for (std::uint32_t i = 0; i < ms; ++i) {
    rt_test::advance_clock(1);
    om_os_timer_poll();
    rt_test::pump();
  }
}

// Gaps between the INVITE's copies on the wire, after `busy_ms` of other work
// queued behind the first.
std::vector<std::uint32_t> invite_gaps(std::uint32_t busy_ms) {
  g_wire.clear();
  g_busy_ms = busy_ms;
  rt_test::use_virtual_clock(100000);
  rt_test::start_manual(TABLE);
  sip_config c;
  c.endpoint_count = 1;
  sip_config_endpoint& e = c.endpoints[0];
  e.nai = USER_NAI;
  e.address_type = 1;
  e.address_length = 4;
  e.address = {127, 0, 0, 1, 0};
  e.user_entity = ENT_SSC;
  e.transport_entity = ENT_IP;
  e.transport_nai = TRANSPORT_NAI;
  e.t1_ms = T1;
  e.t2_ms = 800;
  std::vector<std::uint8_t> body(SIP_CONFIG_SIZE);
  sip_config_pack(c, body.data());
  send_to(ENT_SM, ENT_SIP, SM_CONFIG_RQ, body, 0);
  rt_test::pump();
  g_invite = invite_prim();
  Send_msg(rt_test::make_msg(ENT_APP_FOIP, ENT_SSC, TRIGGER));
  rt_test::pump();
  advance(busy_ms + 8 * T1);  // copies T1, 2 T1 and 4 T1 apart
  rt_test::stop();
  std::vector<std::uint32_t> gaps;
  for (std::size_t i = 1; i < g_wire.size(); ++i) gaps.push_back(g_wire[i].first - g_wire[i - 1].first);
  EXPECT_FALSE(g_wire.empty());
  if (!g_wire.empty()) {
    EXPECT_EQ(g_wire[0].first, 100000 + busy_ms) << "the first INVITE left after the work";
  }
  return gaps;
}

TEST(SlotTimer, TheFirstCopyOfAnInviteComesT1AfterItReallyLeft) {
  // The timing wheel turns every 10 ms: a copy may come up to one turn early.
  constexpr std::uint32_t kTurn = 10;
  for (const std::uint32_t busy_ms : {0u, 90u, 250u}) {
    SCOPED_TRACE("other work before the INVITE left: " + std::to_string(busy_ms) + " ms");
    const std::vector<std::uint32_t> gaps = invite_gaps(busy_ms);
    ASSERT_GE(gaps.size(), 3u);
    EXPECT_GE(gaps[0], T1 - kTurn);
    EXPECT_GE(gaps[1], 2 * T1 - kTurn);
    EXPECT_GE(gaps[2], 4 * T1 - kTurn);
    EXPECT_LE(gaps[0], T1 + kTurn);
  }
}

}  // namespace
