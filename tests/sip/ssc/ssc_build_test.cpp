// ENT_SSC request and answer builders: defaults, tags and Call-ID of a new
// request, loose and strict routing, the 100 answer's Timestamp, ACK and
// CANCEL from the pending INVITE, REGISTER from the profile, the profile
// handler and the OPTIONS repeat.  What reaches ENT_SIP is read back through
// the record codec.  Runtime in manual mode with a virtual clock.
#include "sip/ssc/ssc_build.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "runtime/buffer.h"
#include "runtime/om_os.h"
#include "runtime/sm.h"
#include "runtime/support/rt_harness.h"
#include "runtime/timer.h"
#include "sip/prim/ssc_record_codec.h"
#include "sip/ssc/ssc_handler.h"
#include "sip/ssc/ssc_internal.h"
#include "sip/ssc/ssc_tx.h"
#include "sip/prim/support/ssc_requests.h"

namespace {

using H = ssc_header_id;
constexpr u16 NAI = 1;

const entity_table_row_t TABLE[] = {
    SSC_ENTITY_ROW,
    {ENT_SM, rt_test::record_handler, 0, 0, nullptr, 0},
    {ENT_SIP, rt_test::record_handler, 0, 0, nullptr, 0},
    {ENT_FOIP, rt_test::record_handler, 0, 0, nullptr, 0},
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

std::function<void()> g_machine;
void machine() {
  if (g_machine) g_machine();
}

void put16(std::vector<u8>& b, std::size_t at, u16 v) {
  b[at] = static_cast<u8>(v);
  b[at + 1] = static_cast<u8>(v >> 8);
}

template <class T>
T* first(ssc_handle* h, H id) {
  T* p = Ssc_first<T>(h, id);
  return ssc_ptr_set(reinterpret_cast<const char*>(p)) ? p : nullptr;
}

// A copy of the test's handle counted as the entity's own (the test's is freed).
ssc_handle* counted(ssc_handle* tmp) {
  ssc_handle* h = ssc_internal::new_handle(ssc_msg_type::NONE);
  EXPECT_NE(Ssc_copy_msg(h, tmp), nullptr);
  h->addr_family = tmp->addr_family;
  h->addr_port = tmp->addr_port;
  std::memcpy(h->addr_v4, tmp->addr_v4, 4);
  (void)Ssc_free_handle(tmp);
  return h;
}

std::string text(const char* s) { return ssc_ptr_set(s) ? std::string(s) : std::string("<none>"); }

ssc_msg_type type_of_code(code_t c) {
  switch (c) {
    case SSC_INVITE_RQ: return ssc_msg_type::INVITE;
    case SSC_ACK_RQ: return ssc_msg_type::ACK;
    case SSC_OPTIONS_RQ: return ssc_msg_type::OPTIONS;
    case SSC_BYE_RQ: return ssc_msg_type::BYE;
    case SSC_CANCEL_RQ: return ssc_msg_type::CANCEL;
    case SSC_REGISTER_RQ: return ssc_msg_type::REGISTER;
    case SSC_INVITE_RS: return ssc_msg_type::INVITE_RS;
    case SSC_REGISTER_RS: return ssc_msg_type::REGISTER_RS;
    default: return ssc_msg_type::NONE;
  }
}

// A handle of the given type with one named route per entry ("p1;lr").
void add_route(ssc_handle* h, H id, const char* host, bool lr) {
  auto* r = ssc_test::add<ssc_hdr_route>(h, id);
  r->uri.scheme = 1;
  r->uri.host_family = 'N';
  r->uri.host_name = host;
  r->uri.port = 0xFFFF;
  r->uri.uri_text_2 = lr ? "lr" : nullptr;
}

class SscBuild : public ::testing::Test {
 protected:
  void SetUp() override {
    rt_test::use_virtual_clock(1000);
    rt_test::start_manual(TABLE);
    ssc_entity_reset(8);
    rt_test::rec().clear();
    ssc_set_machines(machine, machine);
    std::vector<u8> b(SSC_CONFIG_SIZE, 0);
    put16(b, 4, 1);
    put16(b, 6, NAI);
    put16(b, 8, 8);   // calls
    put16(b, 10, 8);  // extra dialogs
    put16(b, 12, 2);  // auxiliary records
    put16(b, 14, 2);  // registration slots
    b[16] = ENT_FOIP;
    send_data(ENT_SM, SM_CONFIG_RQ, b, 0);
    rt_test::rec().clear();
  }
  void TearDown() override {
    TearDownHeld();
    end_run();
    g_machine = nullptr;
    send_data(ENT_SM, SM_RST_CFG_RQ, {0}, NAI);
    const ssc_counts c = ssc_entity_counts();
    EXPECT_EQ(c.handles, 0u);
    EXPECT_EQ(c.table_entries, 0u);
    EXPECT_EQ(c.self_queue, 0u);
    ssc_set_machines(nullptr, nullptr);
    ssc_entity_reset(0);
    rt_test::stop();
  }

  void send(msg_t* m) {
    Send_msg(m);
    rt_test::pump();
  }
  void send_data(ent_id_t from, code_t code, const std::vector<u8>& data, u16 nai, u16 conn = 0) {
    msg_t* m = nullptr;
    if (data.size() <= 64) {
      m = rt_test::make_msg(from, ENT_SSC, code, data, nai, conn);
    } else {
      m = rt_test::make_msg(from, ENT_SSC, code, {}, nai, conn);
      Msg_attach_chain(m, Store_data_in_buffers(data.data(), static_cast<u32>(data.size()), nullptr));
    }
    send(m);
  }
  // A user message carrying the handle (freed here).
  void from_user(ssc_handle* h, code_t code, u16 conn) {
    msg_t* m = SIP_sc_format_rq(NAI, conn, 255, h);
    (void)Ssc_free_handle(h);
    ASSERT_NE(m, nullptr);
    m->from = ENT_FOIP;
    m->code = code;
    send(m);
  }
  std::vector<rt_test::seen_msg> take_for(ent_id_t to) {
    auto all = rt_test::rec().messages();
    rt_test::rec().clear();
    std::vector<rt_test::seen_msg> out;
    for (auto& m : all)
      if (m.to == to) out.push_back(m);
    return out;
  }
  // Cursors on a new call of the user's conn_id, as inside a handler run.
  void open_call(u16 conn) {
    ASSERT_EQ(ssc_ua__select(NAI), 2);
    ASSERT_EQ(ssc_call__new_for_user(conn), 2);
  }
  // What a handler run releases at its end.
  void end_run() {
    ssc_internal::release_handle(ssc_run().handle);
    ssc_internal::release_handle(ssc_run().tx_handle);
    ssc_tx_free_closed();
  }
  // The SIP primitives sent so far, read back as handles (owned by the test).
  struct sent {
    code_t code;
    ssc_handle* h;
  };
  std::vector<sent> sent_to_sip() {
    rt_test::pump();
    std::vector<sent> out;
    for (const auto& m : take_for(ENT_SIP)) {
      ssc_handle* h = Ssc_alloc_handle();
      EXPECT_EQ(Ssc_init_handle(h, type_of_code(m.code)), 2);
      ssc_rc_fail fail;
      EXPECT_EQ(ssc_decode_from_sip(h, m.data.data(), static_cast<u16>(m.data.size()), &fail), SSC_RC_OK);
      out.push_back({m.code, h});
      held_.push_back(h);
    }
    return out;
  }
  void TearDownHeld() {
    for (ssc_handle* h : held_) (void)Ssc_free_handle(h);
    held_.clear();
  }
  ~SscBuild() override { TearDownHeld(); }

  std::vector<ssc_handle*> held_;
};

std::vector<std::string> route_hosts(ssc_handle* h) {
  std::vector<std::string> out;
  for (auto* r = first<ssc_hdr_route>(h, H::ROUTE); r;
       r = ssc_ptr_set(reinterpret_cast<const char*>(r->next)) ? r->next : nullptr)
    out.push_back(text(r->uri.host_name));
  return out;
}

bool has_code(ssc_handle* h, H id, u8 code) {
  for (auto* t = first<ssc_hdr_code_text>(h, id); t;
       t = ssc_ptr_set(reinterpret_cast<const char*>(t->next)) ? t->next : nullptr)
    if (t->code == code) return true;
  return false;
}

}  // namespace

// A new request from the user's headers: the call keeps them as defaults;
// tag and Call-ID are made (64 random bits each) when the user gives none;
// Max-Forwards 70; 'timer' is required only where the type allows it.
TEST_F(SscBuild, RequestCompletedFromCallDefaults) {
  struct row {
    ssc_msg_type type;
    code_t code;
    bool timer_required;
  } rows[] = {{ssc_msg_type::INVITE, SSC_INVITE_RQ, true}, {ssc_msg_type::BYE, SSC_BYE_RQ, false}};
  u16 conn = 3;
  for (const row& r : rows) {
    open_call(conn++);
    ssc_handle* user = ssc_test::invite({}, false, nullptr);
    ssc_prepare_call_defaults(user);
    ssc_set_local_tag_and_call_id(nullptr, nullptr);
    (void)Ssc_free_handle(user);
    ssc_call* c = ssc_mod().call;
    EXPECT_EQ(std::strlen(c->local_tag), 16u);
    EXPECT_EQ(std::strlen(c->call_id), 16u);
    c->require_mask = 1u << 1;  // timer, this request only
    ASSERT_NE(ssc_fresh_handle(r.type), nullptr);
    ASSERT_EQ(ssc_send_request(r.code), 2);
    EXPECT_EQ(c->require_mask, c->require_cfg);
    const std::string tag = c->local_tag, call_id = c->call_id;
    end_run();
    auto out = sent_to_sip();
    ASSERT_EQ(out.size(), 1u);
    ssc_handle* h = out[0].h;
    auto* ru = first<ssc_hdr_request_uri>(h, H::REQUEST_URI);
    ASSERT_NE(ru, nullptr);
    EXPECT_EQ(text(ru->uri.user), "fax");  // the To's URI
    auto* from = first<ssc_hdr_name_addr>(h, H::FROM);
    auto* to = first<ssc_hdr_name_addr>(h, H::TO);
    ASSERT_NE(from, nullptr);
    ASSERT_NE(to, nullptr);
    EXPECT_EQ(text(from->s3), tag);
    EXPECT_FALSE(ssc_ptr_set(to->s3));  // no remote tag yet
    // ENT_SIP takes a BYE's Call-ID from its dialog: only the INVITE carries one.
    auto* cid = first<ssc_hdr_call_id>(h, H::CALL_ID);
    if (r.type == ssc_msg_type::INVITE) {
      EXPECT_NE(first<ssc_hdr_contact>(h, H::CONTACT), nullptr);
      ASSERT_NE(cid, nullptr);
      EXPECT_EQ(text(cid->local), call_id);
      EXPECT_EQ(cid->family, '4');  // the From's host
    }
    auto* mf = first<ssc_hdr_u32>(h, H::MAX_FORWARDS);
    ASSERT_NE(mf, nullptr);
    EXPECT_EQ(mf->value, 70u);
    EXPECT_NE(first<ssc_hdr_via>(h, H::VIA), nullptr);
    EXPECT_EQ(has_code(h, H::REQUIRE, 't'), r.timer_required) << static_cast<int>(r.type);
  }
}

// Routing rule in a dialog: a first route without "lr" is the Request-URI
// and the remote target goes last; with "lr" the whole set is the Route and
// the remote target the Request-URI; a response's set is reversed.
TEST_F(SscBuild, LooseAndStrictRouting) {
  struct row {
    const char* what;
    bool first_lr;
    bool from_response;
    const char* request_uri_host;
    std::vector<std::string> routes;
  } rows[] = {
      {"strict", false, false, "p1", {"p2", "ua.example"}},
      {"loose", true, false, "ua.example", {"p1", "p2"}},
      {"loose, from a response", true, true, "ua.example", {"p2", "p1"}},
  };
  u16 conn = 3;
  for (const row& r : rows) {
    open_call(conn++);
    ssc_handle* user = ssc_test::invite();
    ssc_prepare_call_defaults(user);
    ssc_set_local_tag_and_call_id(first<ssc_hdr_name_addr>(user, H::FROM), first<ssc_hdr_call_id>(user, H::CALL_ID));
    (void)Ssc_free_handle(user);
    ssc_handle* peer = ssc_internal::new_handle(r.from_response ? ssc_msg_type::INVITE_RS : ssc_msg_type::INVITE);
    add_route(peer, H::RECORD_ROUTE, "p1", r.first_lr);
    add_route(peer, H::RECORD_ROUTE, "p2", true);
    auto* ct = ssc_test::add<ssc_hdr_contact>(peer, H::CONTACT);
    ct->uri.scheme = 1;
    ct->uri.host_family = 'N';
    ct->uri.host_name = "ua.example";
    ct->uri.port = 0xFFFF;
    if (r.from_response) ssc_route_set_from_response(peer);
    else ssc_route_set_from_request(peer);
    ssc_remote_target_take(peer);
    ssc_internal::release_handle(peer);  // the entry holds its own references
    std::strcpy(ssc_mod().entry->remote_tag, "peer-tag");
    ASSERT_NE(ssc_fresh_handle(ssc_msg_type::BYE), nullptr);
    ASSERT_EQ(ssc_send_request(SSC_BYE_RQ), 2);
    end_run();
    auto out = sent_to_sip();
    ASSERT_EQ(out.size(), 1u) << r.what;
    auto* ru = first<ssc_hdr_request_uri>(out[0].h, H::REQUEST_URI);
    ASSERT_NE(ru, nullptr);
    EXPECT_EQ(text(ru->uri.host_name), r.request_uri_host) << r.what;
    EXPECT_EQ(route_hosts(out[0].h), r.routes) << r.what;
    auto* to = first<ssc_hdr_name_addr>(out[0].h, H::TO);
    ASSERT_NE(to, nullptr);
    EXPECT_EQ(text(to->s3), "peer-tag");
    EXPECT_EQ(std::string(ssc_mod().call->call_id), "a84b4c76e66710");
  }
}

// A 100 to a request with a Timestamp repeats it with the delay since the
// request came in; the top Via gets received and rport; without a pending
// request nothing is sent and kind 'f' is reported.
TEST_F(SscBuild, TryingRepeatsTimestampWithDelay) {
  open_call(3);
  EXPECT_EQ(ssc_send_answer_status(100, "Trying"), 3);
  rt_test::pump();
  auto reports = take_for(ENT_SM);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].data[2], 'f');
  ssc_handle* req = ssc_test::invite();
  req->addr_port = 5999;  // the real source, not the Via's sent-by
  auto* ts = ssc_test::add<ssc_hdr_timestamp>(req, H::TIMESTAMP);
  ts->d1 = 54;
  ts->d2 = 0;
  ts->d3 = 0;
  ts->d4 = 0;
  req = counted(req);
  ssc_mod().call->rx_tick = om_os_tick();
  ssc_note_request_parties(req);
  ASSERT_NE(ssc_tx_open(req, SSC_TX_RECEIVED), nullptr);
  ssc_internal::release_handle(req);  // the transaction holds it
  rt_test::advance_clock(1530);
  ASSERT_EQ(ssc_send_answer_status(100, "Trying"), 2);
  end_run();
  auto out = sent_to_sip();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].code, SSC_INVITE_RS);
  ssc_handle* h = out[0].h;
  auto* st = first<ssc_hdr_status>(h, H::RETURN_CODE);
  ASSERT_NE(st, nullptr);
  EXPECT_EQ(st->code, 100);
  auto* t = first<ssc_hdr_timestamp>(h, H::TIMESTAMP);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->d1, 54u);
  EXPECT_EQ(t->d3, 1u);  // 1.5 s
  EXPECT_EQ(t->d4, 5u);
  auto* via = first<ssc_hdr_via>(h, H::VIA);
  ASSERT_NE(via, nullptr);
  EXPECT_EQ(via->family2, '4');
  EXPECT_EQ(via->w2, 5999);
  auto* to = first<ssc_hdr_name_addr>(h, H::TO);
  ASSERT_NE(to, nullptr);
  EXPECT_EQ(text(to->uri.user), "fax");  // our party
  EXPECT_FALSE(ssc_ptr_set(to->s3));     // our tag comes with the first answer after 100
  auto* from = first<ssc_hdr_name_addr>(h, H::FROM);
  ASSERT_NE(from, nullptr);
  EXPECT_EQ(text(from->uri.user), "caller");
}

// CANCEL once per call, copied from the sent INVITE; the ACK closes the
// INVITE's transaction.
TEST_F(SscBuild, CancelOnceAndAckFromPendingInvite) {
  open_call(3);
  ssc_handle* user = counted(ssc_test::invite());
  ssc_prepare_call_defaults(user);
  ssc_set_local_tag_and_call_id(first<ssc_hdr_name_addr>(user, H::FROM), first<ssc_hdr_call_id>(user, H::CALL_ID));
  ssc_run().handle = user;
  ASSERT_EQ(ssc_send_request(SSC_INVITE_RQ), 2);
  ssc_call* c = ssc_mod().call;
  EXPECT_EQ(ssc_tx_count(c, SSC_TX_SENT), 1u);
  ssc_dialog_entry* entry = ssc_mod().entry;
  ASSERT_EQ(ssc_send_cancel(), 2);
  EXPECT_EQ(ssc_mod().entry, entry);
  EXPECT_EQ(ssc_send_cancel(), 3);  // once per call
  ASSERT_EQ(ssc_tx_find(ssc_msg_type::INVITE, 0xFFFF, SSC_TX_SENT), 2);
  ASSERT_EQ(ssc_send_ack(), 2);
  EXPECT_EQ(ssc_tx_count(c, SSC_TX_SENT), 1u);  // the CANCEL's
  end_run();
  auto out = sent_to_sip();
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0].code, SSC_INVITE_RQ);
  EXPECT_EQ(out[1].code, SSC_CANCEL_RQ);
  EXPECT_EQ(out[2].code, SSC_ACK_RQ);
  for (std::size_t i = 1; i < 3; ++i) {
    ssc_handle* h = out[i].h;
    auto* ru = first<ssc_hdr_request_uri>(h, H::REQUEST_URI);
    ASSERT_NE(ru, nullptr);
    EXPECT_EQ(text(ru->uri.user), "fax");
    auto* from = first<ssc_hdr_name_addr>(h, H::FROM);
    ASSERT_NE(from, nullptr);
    EXPECT_EQ(text(from->s3), "1928301774");
    EXPECT_NE(first<ssc_hdr_via>(h, H::VIA), nullptr);
  }
}

// The profile handler: a second registration is refused with cause 'B'
// while the first stands; a REGISTER built from the profile has no To tag
// and a From equal to its To; removal frees the profile.
TEST_F(SscBuild, ProfileAndRegisterFromIt) {
  const auto profile_result = [&](code_t expect_code) {
    auto msgs = take_for(ENT_FOIP);
    EXPECT_EQ(msgs.size(), 1u);
    if (msgs.empty()) return std::pair<int, int>{-1, -1};
    EXPECT_EQ(msgs[0].code, expect_code);
    ssc_handle* h = Ssc_alloc_handle();
    msg_t* m = rt_test::make_msg(ENT_SSC, ENT_FOIP, expect_code, {}, NAI, 0xFFFF);
    Msg_attach_chain(m, Store_data_in_buffers(msgs[0].data.data(), static_cast<u32>(msgs[0].data.size()), nullptr));
    EXPECT_EQ(Ssc_unformat_msg(h, m), 2);
    Free_msg(m);
    auto* p = first<ssc_hdr_profile_parms>(h, H::PROFILE_PARMS);
    std::pair<int, int> r{-1, -1};
    if (p) r = {p->parm[0], p->parm[1]};
    (void)Ssc_free_handle(h);
    return r;
  };
  const auto prof_req = [&](ssc_msg_type t, code_t code) {
    ssc_handle* h = Ssc_alloc_handle();
    ASSERT_EQ(Ssc_init_handle(h, t), 2);
    h->carried_word_1 = 1;  // auxiliary record 1
    if (t == ssc_msg_type::PROF_REG) {
      auto* to = ssc_test::add<ssc_hdr_name_addr>(h, H::FROM);
      to->b1 = 0;
      to->uri.scheme = 1;
      to->uri.user = "fax7";
      to->uri.host_family = 'N';
      to->uri.host_name = "registrar.example";
      to->uri.port = 0xFFFF;
      to->s3 = "stale-tag";
      ssc_test::add<ssc_hdr_code_text>(h, H::SUPPORTED)->code = 't';
    }
    from_user(h, code, 0xFFFF);
  };
  prof_req(ssc_msg_type::PROF_REG, SSC_PROF_REG_RQ);
  EXPECT_EQ(profile_result(SSC_PROF_REG_CO), (std::pair<int, int>{2, 0}));
  prof_req(ssc_msg_type::PROF_REG, SSC_PROF_REG_RQ);
  EXPECT_EQ(profile_result(SSC_PROF_REG_CO), (std::pair<int, int>{3, 'B'}));

  open_call(3);
  ssc_mod().entry->aux = 1;
  ssc_handle* reg = ssc_fresh_handle(ssc_msg_type::REGISTER);
  ASSERT_NE(reg, nullptr);
  auto* ru = ssc_test::add<ssc_hdr_request_uri>(reg, H::REQUEST_URI);
  ru->uri.scheme = 1;
  ru->uri.host_family = 'N';
  ru->uri.host_name = "registrar.example";
  ru->uri.port = 0xFFFF;
  ssc_set_local_tag_and_call_id(nullptr, nullptr);
  ASSERT_EQ(ssc_send_register(), 2);
  end_run();
  auto out = sent_to_sip();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].code, SSC_REGISTER_RQ);
  auto* to = first<ssc_hdr_name_addr>(out[0].h, H::TO);
  auto* from = first<ssc_hdr_name_addr>(out[0].h, H::FROM);
  ASSERT_NE(to, nullptr);
  ASSERT_NE(from, nullptr);
  EXPECT_FALSE(ssc_ptr_set(to->s3));
  EXPECT_EQ(text(from->uri.user), "fax7");
  EXPECT_EQ(text(from->uri.host_name), "registrar.example");
  EXPECT_EQ(text(from->s3), ssc_mod().call ? ssc_mod().call->local_tag : "");
  EXPECT_TRUE(has_code(out[0].h, H::SUPPORTED, 't'));

  prof_req(ssc_msg_type::PROF_REM, SSC_PROF_REM_RQ);
  EXPECT_EQ(profile_result(SSC_PROF_REM_CO), (std::pair<int, int>{2, 0}));
  EXPECT_EQ(ssc_mod().agents[NAI]->aux_records[1].state, '0');
}

// OPTIONS with a repeat interval: re-sent interval x 1000 ms after each
// final answer until the user sends an OPTIONS with interval 0.
TEST_F(SscBuild, OptionsRepeatUntilIntervalZero) {
  std::vector<u8> results;
  g_machine = [&] {
    const u8 ev = ssc_mod().event;
    if (ev == SSC_EV_USER_OPTIONS && ssc_mod().call->defaults == nullptr) {
      ssc_prepare_call_defaults(ssc_run().handle);
      ssc_set_local_tag_and_call_id(first<ssc_hdr_name_addr>(ssc_run().handle, H::FROM),
                                    first<ssc_hdr_call_id>(ssc_run().handle, H::CALL_ID));
    }
    if (ev == SSC_EV_USER_OPTIONS || ev == SSC_EV_OPTIONS_REPEAT || ev == SSC_EV_OPTIONS_CO)
      results.push_back(ssc_options_step(ev));
  };
  const auto user_options = [&](u32 interval) {
    ssc_handle* h = ssc_test::invite();
    ASSERT_NE(h, nullptr);
    h->type = ssc_msg_type::OPTIONS;
    ssc_test::add<ssc_hdr_u32>(h, H::OPTIONS_VALUE)->value = interval;
    from_user(h, SSC_OPTIONS_RQ, 4);
  };
  // The peer's 200 to the last OPTIONS sent.
  const auto answer_ok = [&](ssc_handle* sent_h) {
    ssc_handle* rs = Ssc_alloc_handle();
    ASSERT_EQ(Ssc_init_handle(rs, ssc_msg_type::OPTIONS_RS), 2);
    for (H id : {H::VIA, H::FROM, H::TO, H::CALL_ID}) ASSERT_TRUE(ssc_copy_list(rs, id, sent_h));
    auto* st = ssc_test::add<ssc_hdr_status>(rs, H::RETURN_CODE);
    st->code = 200;
    st->reason = "OK";
    rs->transaction_number = sent_h->transaction_number;
    const std::vector<u8> body = ssc_test::sip_body(rs);
    (void)Ssc_free_handle(rs);
    ASSERT_FALSE(body.empty());
    send_data(ENT_SIP, SSC_OPTIONS_CO, body, NAI, 4);
  };
  const auto run_ms = [&](u32 ms) {
    for (u32 i = 0; i < ms; i += 10) {
      rt_test::advance_clock(10);
      om_os_timer_poll();
      rt_test::pump();
    }
  };
  user_options(30);
  auto out = sent_to_sip();
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].code, SSC_OPTIONS_RQ);
  for (int round = 0; round < 2; ++round) {
    answer_ok(out[0].h);
    auto to_user = take_for(ENT_FOIP);
    ASSERT_EQ(to_user.size(), 1u) << round;
    EXPECT_EQ(to_user[0].code, SSC_OPTIONS_CO);
    run_ms(29990);
    EXPECT_TRUE(sent_to_sip().empty()) << "not before the interval";
    run_ms(20);
    out = sent_to_sip();
    ASSERT_EQ(out.size(), 1u) << round;
    EXPECT_EQ(out[0].code, SSC_OPTIONS_RQ);
  }
  // Interval 0 while the repeat runs: once answered, nothing more.
  user_options(0);
  EXPECT_TRUE(sent_to_sip().empty());
  answer_ok(out[0].h);
  run_ms(60000);
  EXPECT_TRUE(sent_to_sip().empty());
  ASSERT_FALSE(results.empty());
  EXPECT_EQ(results.back(), SSC_OPTIONS_DONE);
  EXPECT_TRUE(rt_test::rec().traps().empty());
}

// Self-events to the call's entries: 57 to the idle ones only, 65 to all,
// each carrying its entry's index; the current entry stays current.
TEST_F(SscBuild, IdleEntriesReleasedAllAborted) {
  open_call(3);
  ssc_dialog_entry* first_entry = ssc_mod().entry;
  ASSERT_EQ(ssc_dialog__fork("b"), 2);
  ASSERT_EQ(ssc_dialog__fork("c"), 2);
  ssc_mod().entry->state = 5;  // the third entry is in a dialog
  ssc_mod().entry = first_entry;
  auto& q = ssc_internal::self_queue();
  const auto drain = [&] {
    std::vector<std::pair<u8, u8>> seen;  // (code, entry index)
    for (msg_t* m : q) {
      seen.push_back({static_cast<u8>(m->code), Msg_data(m)[0]});
      EXPECT_EQ(m->sapi, 'C');
      ssc_internal::free_self_message(m);
    }
    q.clear();
    return seen;
  };
  ssc_release_idle_entries();
  EXPECT_EQ(ssc_mod().entry, first_entry);
  EXPECT_EQ(drain(), (std::vector<std::pair<u8, u8>>{{57, 0}, {57, 1}}));
  ssc_abort_entries();
  EXPECT_EQ(ssc_mod().entry, first_entry);
  EXPECT_EQ(drain(), (std::vector<std::pair<u8, u8>>{{65, 0}, {65, 1}, {65, 2}}));
}

// A held message waits on its call and is handled again, classified as
// before, when the call releases its held messages; one still held when
// the agent is reset goes with its call.
TEST_F(SscBuild, HeldMessageHandledAgainOnRelease) {
  std::vector<u8> events;
  g_machine = [&] {
    const u8 ev = ssc_mod().event;
    events.push_back(ev);
    if (ev == 11 && events.size() == 1) ssc_hold_message();  // the user's BYE waits
    if (ev == 7) ssc_release_held();                         // until the user's CANCEL
  };
  const auto user = [&](ssc_msg_type t, code_t code) {
    ssc_handle* h = Ssc_alloc_handle();
    ASSERT_EQ(Ssc_init_handle(h, t), 2);
    from_user(h, code, 4);
  };
  // Messages out of both pools (a freed message may refill the reserve).
  const auto msgs_out = [] { return om_os_msg_pool_stats().in_use - om_os_it_msg_pool_stats().count; };
  const int msgs_before = msgs_out();
  user(ssc_msg_type::BYE, SSC_BYE_RQ);
  EXPECT_EQ(msgs_out(), msgs_before + 1);  // the BYE is held
  user(ssc_msg_type::CANCEL, SSC_CANCEL_RQ);
  EXPECT_EQ(events, (std::vector<u8>{11, 7, 11}));
  EXPECT_EQ(msgs_out(), msgs_before);
  // Held at the reset: freed with the call.
  events.clear();
  user(ssc_msg_type::BYE, SSC_BYE_RQ);
  EXPECT_EQ(events, (std::vector<u8>{11}));
  send_data(ENT_SM, SM_RST_CFG_RQ, {0}, NAI);
  rt_test::rec().clear();
  EXPECT_EQ(msgs_out(), msgs_before);
}

// A message copy: inline data copied; a chain shared (both free it) or,
// with share 1, copied byte for byte into buffers of its own.
TEST_F(SscBuild, MessageCopySharedOrOwn) {
  msg_t* in = rt_test::make_msg(ENT_SIP, ENT_SSC, 63, {1, 2, 3}, NAI, 7);
  msg_t* c = ssc_copy_message(in, 0);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(rt_test::describe(c).data, (std::vector<u8>{1, 2, 3}));
  EXPECT_EQ(c->conn_id, 7);
  EXPECT_EQ(c->code, 63);
  Free_msg(c);
  Free_msg(in);

  std::vector<u8> big(3000);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<u8>(i * 7);
  for (u8 share : {0, 1}) {
    in = rt_test::make_msg(ENT_SIP, ENT_SSC, 225, {}, NAI, 7);
    Msg_attach_chain(in, Store_data_in_buffers(big.data(), static_cast<u32>(big.size()), nullptr));
    const int buffers_before = om_os_buffer_pool_stats().in_use - om_os_it_buffer_pool_stats().count;
    c = ssc_copy_message(in, share);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->p_buffer == in->p_buffer, share == 0);
    EXPECT_EQ(rt_test::chain_bytes(c->p_buffer), big);
    const int buffers_after = om_os_buffer_pool_stats().in_use - om_os_it_buffer_pool_stats().count;
    EXPECT_EQ(buffers_after - buffers_before, share == 1 ? static_cast<int>(rt_test::chain_count(in->p_buffer)) : 0);
    Free_msg(in);
    EXPECT_EQ(rt_test::chain_bytes(c->p_buffer), big);  // still there after the original went
    Free_msg(c);
  }
}
