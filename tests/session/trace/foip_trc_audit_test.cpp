// Trace module: the message audit (line format, filters, detail blocks,
// lost marker, session files) and the trap audit (text, console box, traps
// raised during a flush in the same and in another thread).
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "common/byte_order.h"
#include "runtime/om_os.h"
#include "runtime/sm.h"
#include "runtime/sock.h"
#include "runtime/support/rt_harness.h"
#include "session/trace/foip_trc.h"
#include "session/config/support/cfg_test_support.h"

namespace {

std::mutex console_mu;
std::string console_text;
void capture(const char* t) {
  std::lock_guard<std::mutex> l(console_mu);
  console_text += t;
}
std::string console_copy() {
  std::lock_guard<std::mutex> l(console_mu);
  return console_text;
}

using cfg_test::count_of;
using cfg_test::read_file;

const entity_table_row_t TABLE[] = {{ENT_FOIP, rt_test::record_handler, 0, 0, nullptr, 1},
                                    {ENT_NIL, nullptr, 0, 0, nullptr, 0}};

class Audit : public ::testing::Test {
 protected:
  cfg_test::temp_dir dir;
  foip_trc__glb_settings g;

  void SetUp() override {
    rt_test::start_manual(TABLE);
    console_text.clear();
    foip_trc__set_console(capture);
    foip_trc__init();
    g.audit = {at("audit"), FOIP_TRC__LIMIT_NONE, 1, 0};
    g.record_event_bfi = FOIP__CNF_GLB;
    g.event = {at("events"), FOIP_TRC__LIMIT_NONE, 1, 0};
  }
  void TearDown() override {
    foip_trc__shutdown();
    foip_trc__set_console(nullptr);
    rt_test::stop();
  }
  std::string at(const std::string& name) const { return dir.path() + "/" + name; }
  std::string file(const std::string& name) const { return read_file(at(name)); }
  void open_global() {
    foip_trc__set_glb_settings(g);
    ASSERT_EQ(foip_trc__open_glb_audit_file(), OM_OS_OK);
    ASSERT_EQ(foip_trc__open_glb_event_file(), OM_OS_OK);
  }
  // Audits a message with the given data as kind 'I' and frees it.
  void audit(ent_id_t from, ent_id_t to, code_t code, const std::vector<u8>& data, nai_t nai = 0) {
    msg_t* m = rt_test::make_msg(from, to, code, data, nai);
    ASSERT_NE(m, nullptr);
    foip_trc__msg_audit('I', m);
    Free_msg(m);
  }
};

TEST_F(Audit, GlobalFileHeadAndLines) {
  g.audit_filter[0] = {FOIP_TRC__FILTER_IGNORE_CODE, ENT_FOIP, ENT_SSC, 0, "ENT_FOIP", "ENT_SSC", ""};
  g.audit_filter[1] = {FOIP_TRC__FILTER_LAST_ITEM, 0, 0, 0, "", "", ""};
  g.audit_filter[2] = {FOIP_TRC__FILTER_DEFAULT, ENT_SM, ENT_FOIP, SM_CONFIG_CO, "", "", ""};  // after the end
  open_global();
  audit(ENT_SM, ENT_FOIP, SM_CONFIG_CO, {2, 0, ENT_IP}, 4);
  audit(ENT_FOIP, ENT_SSC, 65, {});  // filtered
  std::vector<u8> big(1600, 0x5a);
  audit(ENT_FOIP, ENT_APP_FOIP, 'x', big);
  msg_t* m = rt_test::make_msg(ENT_FOIP, ENT_APP_FOIP, 'y', {});
  foip_trc__msg_audit('q', m);  // not an audit kind
  Free_msg(m);
  EXPECT_EQ(foip_trc__audit_queue_stats().count, 2);
  foip_trc__flush_audit();
  const std::string t = file("audit");
  EXPECT_EQ(
      t.rfind("\n----------------------\n Global Message audit\n----------------------\n  Filename                : ",
              0),
      0u);
  EXPECT_NE(t.find("  Start time system (s.ms): "), std::string::npos);
  EXPECT_NE(t.find("  List of filtered messages:\n"), std::string::npos);
  EXPECT_NE(t.find("    : FILTER_IGNORE_CODE  : ENT_FOIP            (.-0x81) : ENT_SSC             (.-0x83) : "
                   "                              (.-0x0) :\n"),
            std::string::npos);
  EXPECT_EQ(t.find("FILTER_DEFAULT"), std::string::npos);  // the list ended before it
  EXPECT_NE(t.find("|from-to|     code      | na :sp: ad |size:\n" + std::string(122, '=') + "\n"), std::string::npos);
  // One line per audited message: head, then the decoded message.
  // The load column reads what the machine was doing: only its form is fixed.
  const size_t load_at = t.find("-        |");
  ASSERT_NE(load_at, std::string::npos);
  const size_t number_at = t.find_first_not_of(' ', load_at + 10);
  ASSERT_NE(number_at, std::string::npos);
  const size_t point_at = t.find_first_not_of("0123456789", number_at);
  EXPECT_GT(point_at, number_at);
  EXPECT_EQ(t.compare(point_at, 1, "."), 0);
  EXPECT_TRUE(t.at(point_at + 1) >= '0' && t.at(point_at + 1) <= '9');
  EXPECT_NE(t.find("-I| None |     |     |SM -FOI|SM_CONFIG_CO   |   4: 0:   0|3: Config IP OK\n"), std::string::npos);
  EXPECT_EQ(t.find("SSC_INVITE_RQ"), std::string::npos);
  // More than 1500 bytes: the first 1500 are kept.
  const size_t big_at = t.find("FOI-APP|'x'            |   0: 0:   0#1500:");
  ASSERT_NE(big_at, std::string::npos);
  EXPECT_EQ(count_of(t.substr(big_at), " 5a"), 1500u);
  EXPECT_EQ(t.find("'y'"), std::string::npos);
  foip_trc__close_glb_audit_file();
  EXPECT_NE(file("audit").find("-----------------------------\n Global Message audit closed\n"), std::string::npos);
}

TEST_F(Audit, FilterWalkStopsAtTheTableEnd) {
  for (auto& f : g.audit_filter) f = {FOIP_TRC__FILTER_DEFAULT, ENT_SM, ENT_IP, 'c', "", "", ""};
  open_global();
  audit(ENT_SM, ENT_FOIP, SM_CONFIG_CO, {2, 0, ENT_IP});
  audit(ENT_SM, ENT_IP, 'c', {});
  EXPECT_EQ(foip_trc__audit_queue_stats().count, 1);
  foip_trc__flush_audit();
  EXPECT_EQ(count_of(file("audit"), "    : FILTER_DEFAULT"), 20u);
}

TEST_F(Audit, NothingIsQueuedWithoutAnAuditFile) {
  g.audit.fname.clear();
  foip_trc__set_glb_settings(g);
  ASSERT_EQ(foip_trc__open_glb_audit_file(), OM_OS_OK);
  audit(ENT_SM, ENT_FOIP, SM_CONFIG_CO, {2, 0, ENT_IP});
  EXPECT_EQ(foip_trc__audit_queue_stats().count, 0);
  // A session audit file is enough.
  foip_trc__session_settings s;
  s.audit = {at("ses_audit"), FOIP_TRC__LIMIT_NONE, 1, 0};
  ASSERT_EQ(foip_trc__session_init(9, s), OM_OS_OK);
  ASSERT_EQ(foip_trc__open_session_audit_file(9), OM_OS_OK);
  audit(ENT_SM, ENT_FOIP, SM_CONFIG_CO, {2, 0, ENT_IP}, 9);
  EXPECT_EQ(foip_trc__audit_queue_stats().count, 1);
  foip_trc__session_end(9);
  EXPECT_NE(file("ses_audit").find("Config IP OK\n"), std::string::npos);
  audit(ENT_SM, ENT_FOIP, SM_CONFIG_CO, {2, 0, ENT_IP}, 9);
  EXPECT_EQ(foip_trc__audit_queue_stats().count, 0);
  // Traps still reach the console.
  foip_trc__trap_audit(5, "no file");
  EXPECT_NE(console_copy().find("[TRAP] code: 5 diagnostic: no file"), std::string::npos);
}

TEST_F(Audit, DetailBlocksOfReceivedMessages) {
  open_global();
  // A SIP datagram: address, then the text with its lines, escape sequences
  // shown as dots.
  std::vector<u8> dgram(SOCK_UDP_HEADER_SIZE, 0);
  dgram[0] = SOCK_FAMILY_IPV4;
  dgram[4] = 10, dgram[5] = 0, dgram[6] = 0, dgram[7] = 9;
  put_le16(&dgram[8], 5060);
  const std::string sip = "INVITE sip:a@b SIP/2.0\r\nSubject: \x1b]0;owned\x07\r\n\tfolded\r\n";
  dgram.insert(dgram.end(), sip.begin(), sip.end());
  audit(ENT_PH_IT, ENT_SIP, SOCK_U_DA_IN, dgram);
  std::vector<u8> other = dgram;
  other[0] = 9;
  audit(ENT_SIP, ENT_IP, SOCK_U_DA_RQ, other);
  // DNS request and answers.
  std::vector<u8> dns_rq = {7, 0, 0, 0};
  for (char c : std::string("proxy.example")) dns_rq.push_back(static_cast<u8>(c));
  dns_rq.push_back(0);
  audit(ENT_SIP, ENT_IP, SOCK_DNS_RQ, dns_rq);
  std::vector<u8> dns_co(SOCK_DNS_CO_SIZE, 0);
  put_le32(&dns_co[0], 7);
  dns_co[4] = OM_OS_OK;
  dns_co[7] = 2;
  dns_co[8] = SOCK_FAMILY_IPV4;
  dns_co[12] = 192, dns_co[13] = 0, dns_co[14] = 2, dns_co[15] = 1;
  audit(ENT_IP, ENT_SIP, SOCK_DNS_CO, dns_co);
  dns_co[4] = OM_OS_NOK;
  dns_co[5] = 2;
  audit(ENT_IP, ENT_SIP, SOCK_DNS_CO, dns_co);
  // SSC header lists: whole items named; a short or overlong item ends the walk.
  struct walk_case {
    std::vector<u8> body;
    const char* names;
  };
  const walk_case walks[] = {
      {{0xFF, 0, 2, 12, 0, 3, 'x', 23, 0, 2, 54, 0, 2}, "CALL_ID  -  FROM  -  TO  -  \n"},
      {{0xFF, 0, 2, 12, 0, 1, 23, 0, 2}, "\n"},                     // length 1 ends the walk
      {{0xFF, 0, 2, 23, 0, 2, 12, 0, 0, 54, 0, 2}, "FROM  -  \n"},  // length 0 ends it
      {{0xFF, 0, 2, 23, 0, 2, 12, 0x40, 0}, "FROM  -  \n"},         // runs past the data
      {{0xFF, 0, 2, 1, 0, 2, 3, 0, 2, 4, 0, 2, 5, 0, 2, 6, 0, 2, 7, 0, 2, 99, 0, 2},
       "SEND_TO  -  REQUEST_URI  -  RETURN_CODE  -  ACCEPT  -  ACCEPT_ENCODING  -  ACCEPT_LANGUAGE  -  \n     "
       "Unknow Header  -  \n"},
  };
  for (const walk_case& w : walks) audit(ENT_SSC, ENT_FOIP, 225, w.body);
  audit(ENT_SSC, ENT_FOIP, 'X', {0xFF, 0, 2, 12, 0, 2});  // no list for 'X'
  foip_trc__flush_audit();
  const std::string t = file("audit");
  EXPECT_NE(t.find("-- SIP Primitive --\nFrom Remote IP address: 10.0.0.9 (5060)\n\nINVITE sip:a@b SIP/2.0\r\n"
                   "Subject: .]0;owned.\r\n\tfolded\r\n\n-------------------\n\n"),
            std::string::npos);
  EXPECT_EQ(t.find('\x1b'), std::string::npos);
  EXPECT_EQ(t.find('\x07'), std::string::npos);
  EXPECT_NE(t.find("-- SIP Primitive --\nRemote IP address: ???\n\nINVITE"), std::string::npos);
  EXPECT_NE(t.find("-- DNS Request --\nCorrelation: 7  Domain name: \"proxy.example\"\n-----------------\n\n"),
            std::string::npos);
  EXPECT_NE(t.find("-- DNS Confirmation --\nCorrelation: 7  Rcode: OK  Nb Add IP: 2  IP address; 192.0.2.1\n"
                   "----------------------\n\n"),
            std::string::npos);
  EXPECT_NE(t.find("-- DNS Confirmation --\nCorrelation: 7  Rcode: NOK  Cause: 2\n----------------------\n\n"),
            std::string::npos);
  for (const walk_case& w : walks)
    EXPECT_NE(t.find(std::string("-- List of SIP Headers --\n     ") + w.names + "-------------------------\n\n"),
              std::string::npos)
        << w.names;
  EXPECT_EQ(count_of(t, "-- List of SIP Headers --"), 5u);
}

TEST_F(Audit, LostMarkerAndSessionFiles) {
  open_global();
  foip_trc__session_settings s;
  s.user_string = "user";
  s.audit = {at("ses_audit"), 1, 20, 0};
  ASSERT_EQ(foip_trc__session_init(2, s), OM_OS_OK);
  ASSERT_EQ(foip_trc__open_session_audit_file(2), OM_OS_OK);
  for (int i = 0; i < 5001; ++i) audit(ENT_SM, ENT_FOIP, SM_CONFIG_CO, {2, 0, ENT_IP}, i < 5000 ? 2 : 3);
  foip_trc__flush_audit();
  const std::string t = file("audit");
  EXPECT_EQ(count_of(t, "Config IP OK\n"), 5000u);
  EXPECT_EQ(count_of(t, ">>> WARNING: Trace Lost"), 1u);
  const size_t warn = t.find("Config IP OK\n\n>>> WARNING: Trace Lost\n\n");
  EXPECT_NE(warn, std::string::npos);
  EXPECT_EQ(t.find("Config IP OK", warn + 5), std::string::npos);
  // The session file (numbered, limit 1) got the nai 2 lines and rotated.
  const std::string s0 = file("ses_audit_0");
  EXPECT_EQ(s0.rfind("Log_File_counter: 0\n", 0), 0u);
  EXPECT_NE(
      s0.find("\n-----------------------\n Session Message audit\n-----------------------\n  Nai             : 2\n"
              "  User string     : user\n"),
      std::string::npos);
  const std::string cur = foip_trc__current_file(4, 2);
  EXPECT_NE(cur, at("ses_audit_0"));
  EXPECT_NE(read_file(cur).find(">>> WARNING: Trace Lost"), std::string::npos);
  foip_trc__session_end(2);
  EXPECT_NE(read_file(cur).find("------------------------------\n Session Message audit closed\n"), std::string::npos);
}

TEST_F(Audit, TrapTextAndBoxes) {
  open_global();
  foip_trc__trap_audit(30005, "\x01 bad");
  foip_trc__trap_audit(82, "confirm failed");
  const std::string box =
      "\n===============================================\n[TRAP] code: 82 diagnostic: confirm failed\n"
      "===============================================\n\n";
  EXPECT_NE(console_copy().find(box), std::string::npos);
  EXPECT_NE(console_copy().find("[TRAP] code: 30005 diagnostic: not ascii string\n"), std::string::npos);
  const std::string t = file("audit");
  EXPECT_NE(t.find("|        -        |"), std::string::npos);
  EXPECT_NE(t.find("-T| None |     |[TRAP] code: 82 diagnostic: confirm failed\n\n"), std::string::npos);
  EXPECT_NE(file("events").find(box), std::string::npos);
  // After the audit is stopped no trap is recorded.
  foip_trc__stop_audit();
  console_text.clear();
  foip_trc__trap_audit(1, "late");
  EXPECT_EQ(console_copy(), "");
}

// A trap raised while this thread flushes (here: from the console output of
// the flush) is queued and written when the flush ends, without deadlock.
std::atomic<int> nested_traps{0};
void trapping_console(const char* t) {
  capture(t);
  if (std::strstr(t, "trigger") && nested_traps.fetch_add(1) == 0) foip_trc__trap_audit(77, "inside flush");
}

TEST_F(Audit, TrapInsideAFlushAndFromAnotherThread) {
  g.display_event_bfi = FOIP__CNF_GLB;
  open_global();
  foip_trc__set_console(trapping_console);
  foip_trc__print_event(0xFFFF, FOIP__CNF_GLB, "trigger\n");
  foip_trc__flush_events();
  EXPECT_EQ(nested_traps.load(), 1);
  EXPECT_NE(file("audit").find("[TRAP] code: 77 diagnostic: inside flush"), std::string::npos);
  foip_trc__set_console(capture);

  // Traps from other threads while this one flushes audit lines: every trap
  // is written once, whole, between lines.
  std::atomic<bool> go{true};
  std::thread producer([&] {
    for (int i = 0; i < 200 && go.load(); ++i) foip_trc__trap_audit(static_cast<u16>(1000 + i), "other thread");
  });
  for (int i = 0; i < 400; ++i) {
    audit(ENT_SM, ENT_FOIP, SM_CONFIG_CO, {2, 0, ENT_IP});
    foip_trc__on_timer();
  }
  producer.join();
  foip_trc__flush_audit();
  const std::string t = file("audit");
  EXPECT_EQ(count_of(t, "diagnostic: other thread\n\n"), 200u);
  EXPECT_EQ(count_of(t, "Config IP OK\n"), 400u);
  for (size_t at = t.find("[TRAP] code: 1"); at != std::string::npos; at = t.find("[TRAP] code: 1", at + 1))
    EXPECT_EQ(t.compare(at + 17, 27, " diagnostic: other thread\n\n"), 0) << t.substr(at, 60);
}

// A scripted run through the runtime's own hooks: the audit hook records
// every send and receive, the trap handler writes the trap audit, and the
// files read in order: header, lines, session lines, trap, closing lines.
void foip_bounce(msg_t* m) {
  if (m->code == 'p') {
    m->from = ENT_FOIP;
    m->to = ENT_APP_FOIP;
    m->code = 'q';
    Send_msg(m);
    return;
  }
  Free_msg(m);
}
const entity_table_row_t RUN_TABLE[] = {{ENT_FOIP, foip_bounce, 0, 0, nullptr, 1},
                                        {ENT_APP_FOIP, rt_test::record_handler, 0, 0, nullptr, 1},
                                        {ENT_NIL, nullptr, 0, 0, nullptr, 0}};

TEST_F(Audit, ScriptedRun) {
  rt_test::stop();
  rt_test::start_manual(RUN_TABLE);
  om_os_set_audit_hook(foip_trc__msg_audit);
  om_os_set_trap_handler(foip_trc__trap_audit);
  g.record_event_bfi = FOIP__CNF_GLB | FOIP__SIP_EVT_1;
  open_global();
  foip_trc__session_settings s;
  s.user_string = "[User info: nai 1  Session cnt 1  Batch cnt 0]";
  s.record_event_bfi = FOIP__FAX_EVT;
  s.event = {at("ses_event"), FOIP_TRC__LIMIT_NONE, 1, 0};
  s.audit = {at("ses_audit"), FOIP_TRC__LIMIT_NONE, 1, 0};
  s.t38_trc = {at("ses_t38"), FOIP_TRC__LIMIT_NONE, 1, 0};
  ASSERT_EQ(foip_trc__session_init(1, s), OM_OS_OK);
  ASSERT_EQ(foip_trc__open_session_event_file(1), OM_OS_OK);
  ASSERT_EQ(foip_trc__open_session_audit_file(1), OM_OS_OK);
  ASSERT_EQ(foip_trc__open_t38_trc_file(1), OM_OS_OK);

  foip_trc__print_event(0xFFFF, FOIP__CNF_GLB, "Configuration applied\n");
  foip_trc__print_event(1, FOIP__FAX_EVT, "Fax: page 1 received\n");
  foip_trc__store_t38_trace(1, 128, "T.30 DIS received\n", 18);
  Send_msg(rt_test::make_msg(ENT_APP_FOIP, ENT_FOIP, 'p', {1, 2, 3}, 1));
  rt_test::pump();
  foip_trc__on_timer();  // the trace timer
  om_os_trap(35);        // written at once
  foip_trc__session_end(1);
  foip_trc__stop_audit();
  foip_trc__program_end();

  const std::string audit = file("audit");
  // Send 'i' and receive 'I' of both messages, in order, then the trap.
  const size_t a1 = audit.find("-i| None |     |     |APP-FOI|'p'            |   1: 0:   0|3: 01 02 03\n");
  const size_t a2 = audit.find("-I| None |     |     |APP-FOI|'p'", a1);
  const size_t a3 = audit.find("-i| None |     |     |FOI-APP|'q'", a2);
  const size_t a4 = audit.find("-I| None |     |     |FOI-APP|'q'", a3);
  const size_t a5 = audit.find("[TRAP] code: 35 diagnostic: not ascii string\n\n", a4);
  const size_t a6 = audit.find("Global Message audit closed", a5);
  EXPECT_TRUE(a1 != std::string::npos && a2 != std::string::npos && a3 != std::string::npos &&
              a4 != std::string::npos && a5 != std::string::npos && a6 != std::string::npos)
      << audit;
  const std::string ses_audit = file("ses_audit");
  EXPECT_EQ(count_of(ses_audit, "|APP-FOI|'p'"), 2u);
  EXPECT_EQ(count_of(ses_audit, "|FOI-APP|'q'"), 2u);
  EXPECT_NE(ses_audit.find("[TRAP] code: 35"), std::string::npos);
  EXPECT_NE(ses_audit.find("Session Message audit closed"), std::string::npos);
  const std::string events = file("events");
  const size_t e1 = events.find("Global Events\n---------------\n  Filename");
  const size_t e2 = events.find("Configuration applied\n", e1);
  const size_t e3 = events.find("[TRAP] code: 35", e2);
  const size_t e4 = events.find("Global Events closed", e3);
  EXPECT_TRUE(e1 != std::string::npos && e2 != std::string::npos && e3 != std::string::npos && e4 != std::string::npos)
      << events;
  EXPECT_EQ(events.find("page 1"), std::string::npos);  // a session class, not recorded globally
  const std::string ses_event = file("ses_event");
  EXPECT_NE(ses_event.find("Fax: page 1 received\n"), std::string::npos);
  EXPECT_NE(ses_event.find("[TRAP] code: 35"), std::string::npos);
  EXPECT_NE(ses_event.find("Session events closed"), std::string::npos);
  const std::string t38 = file("ses_t38");
  EXPECT_NE(t38.find("T.30 DIS received\n"), std::string::npos);
  EXPECT_NE(t38.find("T.38 traces closed"), std::string::npos);
}

}  // namespace
