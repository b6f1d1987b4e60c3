// The whole fax path below the fax automaton: for each side a scripted fax
// automaton drives the fax session layer ENT_CF, which runs the T.30 engine,
// the fax modem layer and the T.38 entity's IAF service; datagrams go over
// UDPTL on the virtual clock, between two of our stacks and between ours and
// spandsp's T.38 terminal (paced and unpaced).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>

#include "common/byte_order.h"
#include "fax/cf.h"
#include "fax/support/fax_test_pages.h"
#include "fax/support/fm_t38_loop.h"
#include "fax/support/t38_terminal_peer.h"
#include "t38/t38_entity.h"
#include "fax/t30_cause.h"
#include "fax/t30_engine.h"
#include "runtime/sm.h"
#include "runtime/support/rt_harness.h"
#include "t38/udptl.h"

#if defined(KV_HAVE_SPANDSP) && defined(KV_HAVE_LIBTIFF)
#include <spandsp.h>
#include <tiffio.h>
#endif

namespace fm_test {
namespace {

using bytes = std::vector<uint8_t>;

// The fax automaton's part, scripted, for one nai.
struct cf_user {
  bool sender = false;
  std::vector<bytes> to_send;  // pages in the codec's bit order
  size_t next = 0;
  std::vector<bytes> received;
  bytes current;
  std::string codes;             // every CF indication in order (CF_INFO_IN by its kind)
  std::string sync_in, sync_co;  // processing letters of the page ends
  bool ended = false;
  u8 cause = 0;
  bool retrain_last = false;  // the last page asks for a retrain (and another try) after an RTN
  std::string answers;        // qualities to answer the first pages with ('M' RTP, 'B' RTN); then as judged
  bool resend = false;        // a page waits for the next end of negotiation
  // After an RTN on the last page, ask for the capabilities and send the page
  // on their confirmation (as the fax automaton does), rather than wait for
  // the next end of negotiation.
  bool capability_after_rtn = false;
};
std::map<nai_t, cf_user>* g_users = nullptr;

msg_t* to_cf(nai_t nai, code_t code, const bytes& body) {
  msg_t* m = nullptr;
  if (body.size() <= om_os_get_msg_room()) {
    m = rt_test::make_msg(ENT_FAX, ENT_CF, code, body, nai, 0x40 + nai);
  } else {
    m = Alloc_msg();
    Msg_attach_chain(m, Store_data_in_buffers(body.data(), static_cast<u32>(body.size()), nullptr));
    m->from = ENT_FAX;
    m->to = ENT_CF;
    m->code = code;
    m->nai = nai;
    m->conn_id = 0x40 + nai;
  }
  return m;
}

void send_page(nai_t nai, cf_user& u) {
  if (u.next >= u.to_send.size()) return;
  const bytes& page = u.to_send[u.next];
  for (size_t at = 0; at < page.size(); at += 700) {
    const size_t n = std::min<size_t>(700, page.size() - at);
    msg_t* m = rt_test::make_msg(ENT_FAX, ENT_CF, CF_DA_RQ, {0, 0}, nai, 0x40 + nai);
    Msg_attach_chain(m, Store_data_in_buffers(page.data() + at, static_cast<u32>(n), nullptr));
    Send_msg(m);
  }
  const bool last = u.next + 1 == u.to_send.size();
  const u8 retrain = last && u.retrain_last ? 1 : 0;
  Send_msg(to_cf(nai, CF_MAJR_SYNC_RQ, {0, 0, 0, static_cast<u8>(last ? 'S' : 'P'), 0, retrain}));
}

void fax_user(msg_t* m) {
  cf_user& u = (*g_users)[m->nai];
  u.codes.push_back(static_cast<char>(m->code == CF_INFO_IN && Msg_data_size(m) > 3 ? Msg_data(m)[3] : m->code));
  const u8* d = Msg_data(m);
  const u16 n = Msg_data_size(m);
  switch (m->code) {
    case CF_CONN_CO:
      if (u.sender) Send_msg(to_cf(m->nai, CF_CAPBILITY_RQ, {}));
      break;
    case CF_CAPBILITY_CO:
      if (u.sender) send_page(m->nai, u);
      break;
    case CF_DA_IN:
      for (const buffer_t* b = m->p_buffer; b; b = b->next)
        u.current.insert(u.current.end(), Buffer_data(b), Buffer_data(b) + b->data_size);
      break;
    case CF_MAJR_SYNC_IN: {
      u.sync_in.push_back(n > 3 ? static_cast<char>(d[3]) : '?');
      u.received.push_back(u.current);
      u.current.clear();
      bytes rs{0, 0, 0, n > 3 ? d[3] : u8{'P'}, n > 4 ? d[4] : u8{'G'}, 0};
      if (!u.answers.empty()) {
        rs[4] = static_cast<u8>(u.answers[0]);
        u.answers.erase(0, 1);
      }
      Send_msg(to_cf(m->nai, CF_MAJR_SYNC_RS, rs));
      break;
    }
    case CF_MAJR_SYNC_CO:
      u.sync_co.push_back(n > 3 ? static_cast<char>(d[3]) : '?');
      if (n > 4 && (d[4] == 'G' || d[4] == 'M') && d[3] == 'P') {
        ++u.next;
        send_page(m->nai, u);
      }
      if (n > 4 && d[4] == 'B' && d[3] == 'S' && u.capability_after_rtn) {
        Send_msg(to_cf(m->nai, CF_CAPBILITY_RQ, {}));
      } else if (n > 4 && d[4] == 'B') {
        u.resend = true;  // the same page once the training is done again
      }
      break;
    case CF_INFO_IN:
      if (n > 3 && d[3] == CF_INFO_IN_DCS_SENT && u.resend) {
        u.resend = false;
        send_page(m->nai, u);
      }
      break;
    case CF_DISC_IN:
      u.ended = true;
      u.cause = n > 0 ? d[0] : 0;
      break;
    case CF_DISC_CO: u.ended = true; break;
    default: break;
  }
  Free_msg(m);
}

fax_test::page test_page(uint32_t seed) { return fax_test::make_page(fax_test::kind::text, 1728, 60, seed); }

class CfStack : public FmT38Loop {
 protected:
  void SetUp() override {
    users_ = {};
    g_users = &users_;
    session_layer = cf_entity_handler;
    fax_user = fm_test::fax_user;
    FmT38Loop::SetUp();
    // The session layer configures the engine's channels itself.
    t30_release_all();
    for (nai_t n : {kCaller, kAnswerer}) {
      configure_cf(n);
      ASSERT_NE(cf_find(n), nullptr);
    }
    rt_test::rec().clear();
  }
  void TearDown() override {
    cf_release_all();
    FmT38Loop::TearDown();
    session_layer = t30_test::fake_users::handler;
    fax_user = rt_test::record_handler;
    g_users = nullptr;
  }
  static void configure_cf(nai_t nai) {
    bytes r = {0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x50, 0x00, 0x00, 0x00, 0x01, 0x00, 0x05, 0x00, 0x03, 0x01, 0x00,
               0x01, 0x01, 0x00, 0xc8, 0x00, 0x00, 0x00, 0xb8, 0x0b, 0x00, 0x00, 0x88, 0x13, 0x00, 0x00, 0x02, 0x0e,
               0xff, 0x03, 0x07, 0x33, 0x55, 0x30, 0x32, 0x00, 0x01, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
               0x00, 0x00, 0x00, 0x00, 0x00, 0x1e, 0x00, 0x00, 0x00, 0x05, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00};
    put_le16(r.data() + 8, nai);
    r[52] = ENT_T38;
    put_le16(r.data() + 66, 63);
    msg_t* m = Alloc_msg();
    Msg_attach_chain(m, Store_data_in_buffers(r.data(), static_cast<u32>(r.size()), nullptr));
    m->from = ENT_SM;
    m->to = ENT_CF;
    m->code = SM_CONFIG_RQ;
    m->nai = 0;
    m->conn_id = OM_OS_CONN_NONE;
    Send_msg(m);
    rt_test::pump();
  }
  // Parameters, INIT and CONN for one side. The sender's pages pass as
  // given (bit-order option 1); the receiver's come up as the engine has them.
  void start_side(nai_t nai, bool originate, bool sender, u8 max_speed_code = 14) {
    bytes p(CF_SETPARM_SIZE, 0);
    p[3] = 'P';
    p[4] = 1;
    p[5] = 1;
    put_le16(p.data() + 6, 0x002);  // fine
    p[8] = 1;
    p[9] = max_speed_code;
    p[18] = 1;
    p[19] = 1;  // MH
    p[20] = 1;
    p[21] = '0';  // no ECM
    p[392] = 1;
    p[393] = sender ? 1 : 0;
    p[100] = 1;
    std::memcpy(&p[101], sender ? "+33 1 SENDER        " : "+33 2 RECEIVER      ", 20);
    Send_msg(to_cf(nai, CF_SETPARM_RQ, p));
    bytes init(60, 0);
    init[3] = originate ? 'O' : 'A';
    init[4] = 'F';
    Send_msg(to_cf(nai, CF_INIT_RQ, init));
    Send_msg(to_cf(nai, CF_CONN_RQ, {}));
    rt_test::pump();
  }
  void expect_pages(const cf_user& u, const std::vector<fax_test::page>& pages) {
    ASSERT_EQ(u.received.size(), pages.size());
    for (size_t i = 0; i < pages.size(); ++i) {
      const fax_test::decoded d = fax_test::decode(u.received[i], 1, 1728);
      EXPECT_EQ(d.error_lines, 0u) << "page " << i;
      EXPECT_TRUE(d.pg == pages[i]) << fax_test::describe_difference(pages[i], d.pg);
    }
  }
  cf_user& side(nai_t n) { return users_[n]; }

  std::map<nai_t, cf_user> users_;
};

TEST_F(CfStack, TwoOfOurStacksCarryTwoPagesThroughTheSessionLayer) {
  for (u8 speed : {u8{9}, u8{14}}) {
    SCOPED_TRACE(static_cast<int>(speed));
    TearDown();
    SetUp();
    const std::vector<fax_test::page> pages = {test_page(speed), test_page(speed + 1u)};
    cf_user& caller = side(kCaller);
    caller.sender = true;
    for (const auto& p : pages) caller.to_send.push_back(fax_test::encode(p, 1));
    start_side(kAnswerer, false, false, speed);
    start_side(kCaller, true, true, speed);
    run_until([&] { return side(kCaller).ended && side(kAnswerer).ended; }, 300000);
    ASSERT_TRUE(side(kCaller).ended) << side(kCaller).codes;
    ASSERT_TRUE(side(kAnswerer).ended) << side(kAnswerer).codes;
    EXPECT_EQ(side(kCaller).sync_co, "PS");
    EXPECT_EQ(side(kAnswerer).sync_in, "PS");
    expect_pages(side(kAnswerer), pages);
    // Both ends clear normally: the caller after its last page, the answerer on the DCN.
    EXPECT_EQ(side(kCaller).cause, cf_session_cause(WLOCDCOK & 0x3F));
    EXPECT_EQ(side(kAnswerer).cause, cf_session_cause(WREMDCOK & 0x3F));
    // The negotiated speed is the one configured.
    const cf_context* c = cf_find(kCaller);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(cf_speed_code(c->info.params.negotiated.max_speed), speed);
  }
}

// A session layer lives as long as the server: each call resets the nai's
// configuration when it ends and configures it again for the next one. The
// engine's channel goes with the reset, so every later configuration is taken
// and every later fax on the same nais arrives whole, in either direction.
TEST_F(CfStack, FaxAfterFaxOnTheSameNaisAfterAResetAndANewConfiguration) {
  auto reset_and_configure = [](nai_t n) {
    rt_test::rec().clear();
    Send_msg(rt_test::make_msg(ENT_SM, ENT_CF, SM_RST_CFG_RQ, {}, n, OM_OS_CONN_NONE));
    rt_test::pump();
    configure_cf(n);
    bytes rst, co;
    for (const rt_test::seen_msg& m : rt_test::rec().messages()) {
      if (m.to != ENT_SM) continue;
      if (m.code == SM_RST_CFG_CO) rst = m.data;
      if (m.code == SM_CONFIG_CO) co = m.data;
    }
    EXPECT_EQ(rst, (bytes{2, 0, ENT_CF})) << "nai " << n;
    EXPECT_EQ(co, (bytes{2, 0, ENT_CF})) << "nai " << n;
    ASSERT_NE(cf_find(n), nullptr);
  };
  using namespace kv::t38;
  for (int call = 0; call < 4; ++call) {
    SCOPED_TRACE(call);
    users_ = {};
    if (call > 0) {
      // The T.38 sessions of the last call end and new ones start, as each call has them.
      for (nai_t n : {kCaller, kAnswerer}) {
        const auto rst = t38_request(T38__RESET_CONFIG_RQ, {}, n);
        ASSERT_FALSE(rst.empty());
        ASSERT_EQ(rst[0], OM_OS_OK);
        const auto co = t38_request(T38__SET_CONFIG_RQ, t38__session_body({iaf_entry(n, 4000)}), 0);
        ASSERT_GE(co.size(), 2u);
        ASSERT_EQ(co[0], 2) << "cause " << int(co[1]);
        ASSERT_EQ(t38_request(T38__ACT_RQ, {}, n), (std::vector<u8>{2, 0, 'J'}));
      }
      for (nai_t n : {kCaller, kAnswerer}) reset_and_configure(n);
    }
    // Odd calls go the other way: the nai that received now sends.
    const nai_t from = call % 2 ? kAnswerer : kCaller;
    const nai_t to = call % 2 ? kCaller : kAnswerer;
    const std::vector<fax_test::page> pages = {test_page(70u + static_cast<u32>(call))};
    cf_user& sender = side(from);
    sender.sender = true;
    for (const auto& p : pages) sender.to_send.push_back(fax_test::encode(p, 1));
    start_side(to, false, false);
    start_side(from, true, true);
    run_until([&] { return side(from).ended && side(to).ended; }, 300000);
    ASSERT_TRUE(side(from).ended) << side(from).codes;
    ASSERT_TRUE(side(to).ended) << side(to).codes;
    EXPECT_EQ(side(from).sync_co, "S") << side(from).codes << " / " << side(to).codes;
    expect_pages(side(to), pages);
    EXPECT_EQ(side(from).cause, cf_session_cause(WLOCDCOK & 0x3F));
  }
}

// An RTP on the first page: the engine trains again before the next page,
// which waits in the session layer until the new negotiation has ended.
TEST_F(CfStack, AfterAnRtpTheNextPageFollowsTheNewTraining) {
  const std::vector<fax_test::page> pages = {test_page(81), test_page(82)};
  cf_user& caller = side(kCaller);
  caller.sender = true;
  for (const auto& p : pages) caller.to_send.push_back(fax_test::encode(p, 1));
  side(kAnswerer).answers = "M";
  start_side(kAnswerer, false, false);
  start_side(kCaller, true, true);
  run_until([&] { return side(kCaller).ended && side(kAnswerer).ended; }, 300000);
  ASSERT_TRUE(side(kCaller).ended) << side(kCaller).codes;
  ASSERT_TRUE(side(kAnswerer).ended) << side(kAnswerer).codes;
  EXPECT_EQ(side(kCaller).sync_co, "PS");
  EXPECT_EQ(std::count(side(kCaller).codes.begin(), side(kCaller).codes.end(), CF_INFO_IN_DCS_SENT), 2)
      << side(kCaller).codes;
  expect_pages(side(kAnswerer), pages);
  EXPECT_EQ(side(kCaller).cause, cf_session_cause(WLOCDCOK & 0x3F));
}

// An RTN on the last page: the sender asked for a retrain, so the page goes
// out again after a new training instead of the call ending on a rejected
// page; the receiver keeps the good copy. The sender may also ask for the
// capabilities again before the page (the engine's question is then
// answered once, and the confirmation comes with the end of negotiation).
TEST_F(CfStack, AnRtnOnTheLastPageSendsItAgainAfterARetrain) {
  for (bool ask : {false, true}) {
    SCOPED_TRACE(ask ? "capability request after the RTN" : "page at the next end of negotiation");
    if (ask) {
      TearDown();
      SetUp();
    }
    const std::vector<fax_test::page> pages = {test_page(71)};
    cf_user& caller = side(kCaller);
    caller.sender = true;
    caller.retrain_last = true;
    caller.capability_after_rtn = ask;
    caller.to_send.push_back(fax_test::encode(pages[0], 1));
    side(kAnswerer).answers = "B";
    start_side(kAnswerer, false, false);
    start_side(kCaller, true, true);
    run_until([&] { return side(kCaller).ended && side(kAnswerer).ended; }, 300000);
    ASSERT_TRUE(side(kCaller).ended) << side(kCaller).codes;
    ASSERT_TRUE(side(kAnswerer).ended) << side(kAnswerer).codes;
    EXPECT_EQ(side(kCaller).sync_co, "SS") << side(kCaller).codes << " cause " << int(side(kCaller).cause) << " / "
                                           << side(kAnswerer).codes << " cause " << int(side(kAnswerer).cause);
    EXPECT_EQ(side(kAnswerer).sync_in, "SS");
    ASSERT_EQ(side(kAnswerer).received.size(), 2u);
    const fax_test::decoded d = fax_test::decode(side(kAnswerer).received[1], 1, 1728);
    EXPECT_TRUE(d.pg == pages[0]) << fax_test::describe_difference(pages[0], d.pg);
    EXPECT_EQ(side(kCaller).cause, cf_session_cause(WLOCDCOK & 0x3F));
  }
}

#if defined(KV_HAVE_SPANDSP) && defined(KV_HAVE_LIBTIFF)

using namespace kv::t38;

using spandsp_terminal = spandsp_t38_terminal;

class CfStackSpandsp : public CfStack {
 protected:
  void run(spandsp_terminal& peer) {
    const uint32_t start = rt_test::virtual_now();
    while (!(side(kCaller).ended && peer.done) && rt_test::virtual_now() - start < 300000) {
      rt_test::advance_clock(5);
      om_os_timer_poll();
      rt_test::pump();
      peer.step(5, kCaller);
      rt_test::pump();
    }
  }
};

TEST_F(CfStackSpandsp, WeSendTwoPagesToSpandsp) {
  const std::vector<fax_test::page> pages = {test_page(51), test_page(52)};
  cf_user& u = side(kCaller);
  u.sender = true;
  for (const auto& p : pages) u.to_send.push_back(fax_test::encode(p, 1));
  spandsp_terminal peer(false, true);
  fax_test::temp_dir dir;
  const std::string rx = dir.file("rx.tif");
  t30_set_rx_file(peer.t30(), rx.c_str(), -1);
  ip_tap = [&](nai_t from, const bytes& d) {
    if (from == kCaller) peer.from_us(d);
  };
  start_side(kCaller, true, true);
  run(peer);
  ASSERT_TRUE(u.ended) << u.codes;
  ASSERT_TRUE(peer.done);
  EXPECT_EQ(peer.completion, T30_ERR_OK);
  EXPECT_EQ(u.sync_co, "PS");
  EXPECT_EQ(u.cause, cf_session_cause(WLOCDCOK & 0x3F));
  for (int i = 0; i < 2; ++i) EXPECT_TRUE(fax_test::libtiff_read(rx, i) == pages[static_cast<size_t>(i)]) << i;
}

// spandsp calls and sends, paced as on a line and as fast as it can; every
// page must arrive whole either way.
TEST_F(CfStackSpandsp, SpandspSendsUsTwoPagesPacedAndUnpaced) {
  for (bool paced : {true, false}) {
    SCOPED_TRACE(paced ? "paced" : "unpaced");
    TearDown();
    SetUp();
    const std::vector<fax_test::page> pages = {fax_test::make_page(fax_test::kind::lines, 1728, 80, 61),
                                               fax_test::make_page(fax_test::kind::text, 1728, 80, 62)};
    fax_test::temp_dir dir;
    const std::string tx = dir.file("tx.tif");
    fax_test::libtiff_write_fax(tx, pages);
    spandsp_terminal peer(true, paced);
    t30_set_tx_file(peer.t30(), tx.c_str(), -1, -1);
    ip_tap = [&](nai_t from, const bytes& d) {
      if (from == kCaller) peer.from_us(d);
    };
    start_side(kCaller, false, false);
    run(peer);
    cf_user& u = side(kCaller);
    ASSERT_TRUE(u.ended) << u.codes;
    ASSERT_TRUE(peer.done);
    EXPECT_EQ(peer.completion, T30_ERR_OK);
    EXPECT_EQ(u.sync_in, "PS");
    EXPECT_EQ(u.cause, cf_session_cause(WREMDCOK & 0x3F));
    expect_pages(u, pages);
  }
}

#endif

}  // namespace
}  // namespace fm_test
