// Copies of the glb.cfg and session value tables into the FOIP configuration
// structures: derived values, ignored and overwritten keywords, refusal texts.
#include "session/config/foip_param_copy.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "session/config/app_foip_glb_cfg.h"
#include "session/config/app_foip_mngt.h"
#include "session/config/app_foip_session_cfg.h"
#include "session/config/support/cfg_test_support.h"
#include "session/config/support/foip_param_dump.h"

namespace {

// A send session: the smallest file that the copy accepts.
const std::string kSend = "[[FAX Send page]]\n{\n  page file name = p1.tif\n}\n";
const std::string kReceive = "[FAX Receive pages]\nfile name = in.tif\n";

struct session_outcome {
  uint8_t read = 0;
  uint8_t result = 0;
  std::vector<std::string> errors;
  app_foip_ini__session_values record;
  std::string value(uint16_t id, uint16_t el = INI_TOOLS__NO_ELEMENT) {
    return cfg_test::value_of(record.values.values(), id, el);
  }
};

session_outcome session_copy(const std::string& text, uint8_t nat = 0) {
  session_outcome o;
  app_foip_ini__init_session_values(o.record);
  auto read = cfg_test::read_text(text, app_foip_ini__session_sections, app_foip_ini__session_keywords,
                                  o.record.values.values());
  o.read = read.result;
  foip__global_param glb{};
  glb.glb_sip_param.nat.flag_nat_support = nat;
  o.result = app_foip_ini__copy_cnf_tbl_2_cnf_struct(o.record.values.values(), o.record, glb,
                                                     [&](const char* m) { o.errors.emplace_back(m); });
  return o;
}

std::string host_address() {
  om_ip_addr_t a;
  app_foip_mngt__get_local_ip_address(&a);
  const u8* b = a.addr.v4.addr;
  return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." + std::to_string(b[3]);
}

std::string v4(const om_ip_addr_t& a) {
  const u8* b = a.addr.v4.addr;
  return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." + std::to_string(b[3]);
}

TEST(SessionCopy, RefusalsCarryTheirTexts) {
  struct {
    const char* name;
    std::string text;
    const char* error;
  } cases[] = {
      {"no pages, no receive file", "", "[[Fax Page sent]] and [FAX Receive page] array not initialized"},
      {"pages and a receive file", kSend + kReceive, "[[Fax Page sent]] and [FAX Receive page] array initialized"},
      {"send counter 0 takes no page", "[FAX Send]\ncounter send = 0\n" + kSend,
       "[[Fax Page sent]] and [FAX Receive page] array not initialized"},
      {"empty local user name", kSend + "[T.38 media address]\nlocal user name = \"\"\n",
       "\"sz_local_user_name\" is empty"},
      {"remote name and address",
       kSend + "[SIP]\nremote SIP Domain Name = \"gw.example\"\nremote SIP IP address = 10.0.0.1\n",
       "\"remote_sip_addr.sz_fqdn\" and \"remote_sip_addr.ip_addr.addr.vX\" are both defined"},
      {"NAT media name and address",
       kSend + "[T.38 media address]\n(NAT) local media Domain Name = \"nat.example\"\n"
               "(NAT) local media IP address = 10.0.0.2\n",
       "\"nat_local_media_ip_addr.sz_fqdn\" and \"nat_local_media_ip_addr.ip_addr.addr.vX\" are both defined"},
      {"registration without identification", kSend + "[SIP Register]\nsend SIP register = TRUE\n",
       "\"user identification\" not initialized"},
      {"registered name and address",
       kSend + "[SIP Register]\nsend SIP register = TRUE\nuser identification = by name\nuser name = \"u\"\n"
               "registered Domain Name = \"reg.example\"\nregistered IP address = 10.0.0.3\n",
       "\"registered_addr.sz_fqdn\" and \"registered_addr.ip_addr.addr.vX\" are both defined"},
      {"registering name and address",
       kSend + "[SIP Register]\nsend SIP register = TRUE\nuser identification = by name\nuser name = \"u\"\n"
               "Registering user_identification = by name\nRegistering addr.sz_fqdn = \"r.example\"\n"
               "Registering addr.ip_addr = 10.0.0.4\n",
       "\"registering.addr.sz_fqdn\" and \"registering.addr.ip_addr.addr.vX\" are both defined"},
      {"page path and name beyond 99 characters",
       "[General]\npath of fax pages to send = " + std::string(95, 'p') + "/\n" + kSend,
       "\"Tiff file name\" is too long (102 characters, at most 99)"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    session_outcome o = session_copy(c.text, 1);
    ASSERT_EQ(o.read, INI_TOOLS__READ_DONE);
    EXPECT_EQ(o.result, APP_FOIP_INI__COPY_REFUSED);
    ASSERT_FALSE(o.errors.empty());
    EXPECT_EQ(o.errors.back(), c.error);
  }
}

TEST(SessionCopy, SendSessionDerivedValuesAndWriteBacks) {
  using namespace session_cfg;
  session_outcome o = session_copy(
      "[General]\nkind of T.38 session = GW\nkind of T.38 transport = UDP\npath of fax pages to send = pages/\n"
      "path of trace files = trc/\npath of TIFF temporary files = tmp/\n"
      "[SIP]\nremote SIP IP address = 10.1.2.3\nremote SIP port = 5070\n"
      "[SIP Authentication]\nauthentication User Name = \"bob\"\nauthentication Password = \"pw\"\n"
      "[T.38 remote capabilities]\nT38FaxVersion [UDP] = 300\nT38FaxMaxDatagram [UDP] = 1400\n"
      "[T.38 local capabilities]\nT38MaxBitRate [UDP] = 9600\n"
      "[T.38 media address]\nlocal user phone number = \"+1 (555) 12#34\"\n"
      "[FAX common]\nfax id = \"ABC\"\n"
      "[Traces / Reports]\nevent file name = ev.txt\nlist of T.38 events = CNG<IP\n"
      "(T.38 Trc) list of T.38 traces = MSG | GW_SMODEM | MEM_ALLOC\n" +
      kSend + "{\n  page file name = p2.tif\n  page encoding = MH\n}\n");
  ASSERT_EQ(o.result, APP_FOIP_INI__COPY_DONE) << (o.errors.empty() ? "" : o.errors.back());
  const foip__session_param& p = o.record.param;
  EXPECT_EQ(o.record.direction, FOIP__DIR_OUT);
  // Every session is an IAF session, whatever the file said.
  EXPECT_EQ(p.session_general_param.kind_of_session, 'I');
  EXPECT_EQ(o.value(kind_of_session), "5:73");
  EXPECT_EQ(p.session_general_param.kind_of_t38_transport, 'U');
  // Authentication needs all three texts: without a realm all are cleared.
  EXPECT_EQ(p.sip_session_param.sip_authentication.flag_enable, 0);
  EXPECT_STREQ(p.sip_session_param.sip_authentication.sz_user_name, "");
  EXPECT_EQ(o.value(auth_user_name), "5:\"\"");
  // Remote capabilities: the bits of the keywords the file set; the version
  // field is one byte, so 300 is cut to 255 and written back.
  const auto& udptl = p.t38_capabilites_param.udptl_param;
  EXPECT_EQ(udptl.use_t38_cap_bfi, FOIP__T38_CAP_VERSION | FOIP__T38_CAP_MAX_DATAGRAM);
  EXPECT_EQ(udptl.t38_version, 255);
  EXPECT_EQ(o.value(rem_udp_t38_version), "5:255");
  EXPECT_EQ(udptl.max_datagram_size, 1400);
  EXPECT_EQ(udptl.fax_max_bit_rate, 14400);
  // A UDP session sets the TCP keywords ignored; unset local ones too.
  EXPECT_EQ(o.value(rem_tcp_max_bit_rate), "0:14400");
  EXPECT_EQ(o.value(lcl_tcp_max_bit_rate).substr(0, 2), "0:");
  EXPECT_EQ(o.value(lcl_udp_t38_version).substr(0, 2), "0:");
  EXPECT_EQ(o.value(lcl_udp_max_bit_rate), "3:9600");
  EXPECT_EQ(p.overwrite_lcl_t38_cap.udptl_param.use_t38_cap_bfi, FOIP__T38_CAP_MAX_BIT_RATE);
  // The phone number loses what the filter does not keep, written back.
  EXPECT_STREQ(p.t38_media_add_param.sip_media_identification.sz_local_user_phone_number, "+1(555)1234");
  EXPECT_EQ(o.value(local_user_phone_number), "5:\"+1(555)1234\"");
  // Host address for an empty local media address, written back.
  EXPECT_EQ(v4(p.t38_media_add_param.local_media_add.local_media_ip_addr.ip_addr), host_address());
  EXPECT_EQ(o.value(local_media_ip_address), "5:" + host_address());
  EXPECT_EQ(p.t38_media_add_param.local_media_add.nat_local_media_ip_addr.ip_addr.ip_family, OM_IP_FAMILY_NONE);
  EXPECT_EQ(o.value(nat_local_media_port).substr(0, 2), "0:");
  // Fax id padded to 20 characters, terminated.
  EXPECT_STREQ(p.fax_common_param.fax_id, "ABC                 ");
  // Default temporary page name, prefixed.
  EXPECT_STREQ(p.fax_common_param.sz_fname_tiff_tmp_pg, "tmp/default_tmp_pg_na%d.%d");
  EXPECT_EQ(o.value(temporary_tiff_file_name), "5:\"tmp/default_tmp_pg_na%d.%d\"");
  // Pages prefixed; their descriptors ignored.
  EXPECT_STREQ(p.fax_send_pg.sz_tiff_fname_fax_pg[0], "pages/p1.tif");
  EXPECT_STREQ(p.fax_send_pg.sz_tiff_fname_fax_pg[1], "pages/p2.tif");
  EXPECT_STREQ(p.fax_send_pg.sz_tiff_fname_fax_pg[2], "");
  EXPECT_EQ(o.value(page_encoding, 1).substr(0, 2), "0:");
  // Remote SIP address of a send session.
  EXPECT_EQ(v4(p.sip_session_param.remote_sip_addr.ip_addr), "10.1.2.3");
  EXPECT_EQ(p.sip_session_param.remote_sip_addr.ip_port, 5070);
  // Traces: prefixed names; T.38 events only with T38_EVT; gateway bits gone.
  EXPECT_STREQ(p.trc_param.event.sz_fname_event, "trc/ev.txt");
  EXPECT_EQ(p.trc_param.event.t38_event_bfi, 0u);
  EXPECT_EQ(o.value(list_of_t38_events), "5:0");
  EXPECT_EQ(p.trc_param.t38_trc.t38_trc_bfi, 2u);
  EXPECT_EQ(o.value(t38_trace_list), "5:2");
  EXPECT_EQ(p.trc_param.event.nb_of_multiple_event_files, 5);
  EXPECT_EQ(p.trc_param.t38_trc.max_byte_asn1_hex, 50);
}

TEST(SessionCopy, ReceiveSessionClearsTheRemoteAddress) {
  using namespace session_cfg;
  session_outcome o =
      session_copy("[General]\npath of rcv fax pages = rx/\n[SIP]\nremote SIP IP address = 10.0.0.9\n" + kReceive +
                   "[Traces / Reports]\ndisplay event = T38_EVT\nlist of T.38 events = CNG<IP\n");
  ASSERT_EQ(o.result, APP_FOIP_INI__COPY_DONE);
  EXPECT_EQ(o.record.direction, FOIP__DIR_IN);
  EXPECT_STREQ(o.record.param.fax_rcv_pg.sz_tiff_fname_rcv_fax_pg, "rx/in.tif");
  EXPECT_EQ(o.record.param.sip_session_param.remote_sip_addr.ip_addr.ip_family, OM_IP_FAMILY_NONE);
  EXPECT_EQ(o.value(remote_sip_ip_address).substr(0, 2), "0:");
  EXPECT_EQ(o.record.param.trc_param.event.t38_event_bfi, 1u);
}

TEST(SessionCopy, AuthenticationAndRegistration) {
  using namespace session_cfg;
  const std::string auth =
      "[SIP Authentication]\nauthentication User Name = \"bob\"\nauthentication Password = \"pw\"\n"
      "authentication Realm = \"example.net\"\n";
  // By phone number, with the authentication texts.
  session_outcome o = session_copy(kSend + auth +
                                   "[SIP Register]\nsend SIP register = TRUE\nuser identification = by phone number\n"
                                   "user phone number = \"12 34\"\nregistered IP address = 10.0.0.5\n"
                                   "use Authentication parameters = TRUE\nregister expire delay = 600\n");
  ASSERT_EQ(o.result, APP_FOIP_INI__COPY_DONE) << (o.errors.empty() ? "" : o.errors.back());
  EXPECT_EQ(o.record.param.sip_session_param.sip_authentication.flag_enable, 1);
  EXPECT_EQ(o.record.register_wanted, 1);
  EXPECT_STREQ(o.record.reg.sz_user_phone_number, "1234");
  EXPECT_EQ(o.value(user_phone_number), "5:\"1234\"");
  EXPECT_EQ(o.value(user_name).substr(0, 2), "0:");
  EXPECT_STREQ(o.record.reg.sip_authentication.sz_realm, "example.net");
  EXPECT_EQ(o.record.reg.expires_sec, 600u);
  EXPECT_EQ(o.value(registering_port).substr(0, 2), "0:");  // no registering

  // Authentication asked without the texts: written back FALSE.
  o = session_copy(kSend +
                   "[SIP Register]\nsend SIP register = TRUE\nuser identification = use local user name/phone nb\n"
                   "use Authentication parameters = TRUE\n");
  ASSERT_EQ(o.result, APP_FOIP_INI__COPY_DONE);
  EXPECT_EQ(o.value(use_authentication_parameters), "5:0");
  EXPECT_STREQ(o.record.reg.sz_user_name, "User_local");
  EXPECT_EQ(o.value(user_name), "5:\"User_local\"");
  EXPECT_EQ(v4(o.record.reg.registered_addr.ip_addr), host_address());

  // No registration: its keywords are ignored.
  o = session_copy(kSend);
  ASSERT_EQ(o.result, APP_FOIP_INI__COPY_DONE);
  EXPECT_EQ(o.record.register_wanted, 0);
  EXPECT_EQ(o.value(register_expire_delay), "0:1");
}

TEST(SessionCopy, HeldMediaPortIsKept) {
  using namespace session_cfg;
  session_outcome o;
  app_foip_ini__init_session_values(o.record);
  auto read =
      cfg_test::read_text(kSend + "[T.38 media address]\nlocal media IP port = 4000\n", app_foip_ini__session_sections,
                          app_foip_ini__session_keywords, o.record.values.values());
  ASSERT_EQ(read.result, INI_TOOLS__READ_DONE);
  foip__global_param glb{};
  ASSERT_EQ(app_foip_ini__copy_cnf_tbl_2_cnf_struct(o.record.values.values(), o.record, glb, nullptr), 2);
  EXPECT_EQ(o.record.param.t38_media_add_param.local_media_add.local_media_ip_addr.ip_port, 4000);
  EXPECT_EQ(o.record.rotation_base, 4000);
  // A record that already holds a port (an incoming call's recopy) keeps it.
  o.record.param.t38_media_add_param.local_media_add.local_media_ip_addr.ip_port = 30020;
  o.record.rotation_base = 30020;
  ASSERT_EQ(app_foip_ini__copy_cnf_tbl_2_cnf_struct(o.record.values.values(), o.record, glb, nullptr), 2);
  EXPECT_EQ(o.record.param.t38_media_add_param.local_media_add.local_media_ip_addr.ip_port, 30020);
  EXPECT_EQ(o.record.rotation_base, 30020);
}

// ---------------------------------------------------------------------------
// Global copy

uint32_t g_mask_set = 0xFFFFFFFF;
uint32_t g_mask_now = 0x300;

struct glb_outcome {
  uint8_t read = 0;
  uint8_t result = 0;
  std::vector<std::string> errors;
  ini_tools__table table;
  foip__global_param param{};
  app_foip_ini__app_settings app;
  std::string value(uint16_t id, uint16_t el = INI_TOOLS__NO_ELEMENT) {
    return cfg_test::value_of(table.values(), id, el);
  }
};

glb_outcome glb_copy(const std::string& text) {
  glb_outcome o;
  app_foip_ini__init_array_areas(o.table);
  o.read = cfg_test::read_text(text, app_foip_ini__glb_sections, app_foip_ini__glb_keywords, o.table.values()).result;
  g_mask_set = 0xFFFFFFFF;
  app_foip_ini__set_trace_mask_hooks({[] { return g_mask_now; }, [](uint32_t v) { g_mask_set = v; }});
  o.result = app_foip_ini__copy_glb_cnf_tbl_2_glb_cnf_struct(o.table.values(), o.param, o.app,
                                                             [&](const char* m) { o.errors.emplace_back(m); });
  app_foip_ini__set_trace_mask_hooks({});
  return o;
}

TEST(GlobalCopy, RefusalsCarryTheirTexts) {
  struct {
    const char* text;
    const char* error;
  } cases[] = {
      {"[SIP Outbound Proxy]\nOutbound SIP proxy domain name = \"p.example\"\nOutbound SIP proxy IP address = "
       "10.0.0.1\n",
       "\"outproxy_addr.sz_fqdn\" and \"outproxy_addr.ip_addr.addr.vX\" are defined in same time"},
      {"[SIP Outbound Proxy]\nOutbound SIP proxy IP address = 10.0.0.1\nOutbound SIP proxy port = 0\n",
       "\"outproxy_addr.ip_port\" is not defined"},
      {"[SIP Registrar server]\nRegistrar domain name = \"r.example\"\nRegistrar IP address = 10.0.0.1\n",
       "\"registrar_addr.sz_fqdn\" and \"registrar_addr.ip_addr.addr.vX\" are defined in same time"},
      {"[SIP Registrar server]\nRegistrar domain name = \"r.example\"\nRegistrar port = 0\n",
       "\"registrar_addr.ip_port\" is not defined"},
      {"[Batch Auto Build]\nmode = Duplicate\n", "\"session reference\" not initialized"},
      {"[Batch Auto Build]\nmode = Duplicate\nsession reference =\n", "\"session reference\" is emptied"},
      {"[Batch Auto Build]\nmode = Duplicate Loop\nsession reference = a.cfg\n",
       "\"session reference 2\" not initialized"},
      {"[[Session configurations]]\n{\nfile name session = a.cfg\n}\n{\nfname session = b.cfg\n}\n"
       "[[Session configurations]]\n{\n}\n",
       nullptr},  // an empty element: the engine refuses the file
      {"[[Message Audit Filtering]]\n{\nmode = ignore field code\n}\n[Traces / Reports]\naudit file name = a.aud\n",
       "\"entity from\" not initialized"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.text);
    glb_outcome o = glb_copy(c.text);
    if (c.error == nullptr) {
      EXPECT_EQ(o.read, INI_TOOLS__ARRAY_ERROR);
      continue;
    }
    ASSERT_EQ(o.read, INI_TOOLS__READ_DONE);
    EXPECT_EQ(o.result, APP_FOIP_INI__COPY_REFUSED);
    ASSERT_FALSE(o.errors.empty());
    EXPECT_EQ(o.errors.back(), c.error);
  }
}

TEST(GlobalCopy, DefaultsAndDerivedValues) {
  using namespace glb_cfg;
  glb_outcome o = glb_copy("");
  ASSERT_EQ(o.result, APP_FOIP_INI__COPY_DONE);
  const auto& sip = o.param.glb_sip_param;
  EXPECT_EQ(o.param.glb_common_param.nb_simultaneous_start_stop, 10);
  EXPECT_EQ(sip.operating_mode, 1);
  EXPECT_EQ(sip.re_invite_delay, 10000u);
  EXPECT_EQ(sip.get_sip_header_bfi, 31);
  // Empty local SIP name and address: the host's address, written back.
  EXPECT_EQ(v4(sip.local_sip_addr.ip_addr), host_address());
  EXPECT_EQ(o.value(local_sip_ip_address), "5:" + host_address());
  EXPECT_EQ(sip.local_sip_addr.ip_port, 5060);
  EXPECT_EQ(o.value(nat_local_sip_port).substr(0, 2), "0:");
  EXPECT_EQ(sip.outbound_proxy.ip_addr.ip_family, OM_IP_FAMILY_NONE);
  EXPECT_EQ(o.app.start_delay, 5000u);
  EXPECT_EQ(o.app.incoming_call_mode, 2);
  EXPECT_EQ(o.app.auto_build_mode, 0);
  EXPECT_EQ(o.value(auto_build_session_reference).substr(0, 2), "0:");
  // No audit file: audit off; the runtime's mask keeps only the kept bit.
  EXPECT_EQ(o.param.glb_trc_param.audit.audit_filter[0].item_mode, FOIP__DCOD__FILTER_LAST_ITEM);
  EXPECT_EQ(o.value(log_options).substr(0, 2), "0:");
  EXPECT_EQ(g_mask_set, 0u);
  // "assert control" undefined or empty: taken from the runtime's mask.
  g_mask_now = 0x801E;
  o = glb_copy("");
  EXPECT_EQ(o.value(assert_control), "5:32768");
  EXPECT_EQ(g_mask_set, 0x8000u);
  g_mask_now = 0x300;
}

TEST(GlobalCopy, CapsAndOverwrites) {
  using namespace glb_cfg;
  glb_outcome o = glb_copy(
      "[General]\nnb simultaneous start = 100\npath of session files = cfg/\npath of trace files = trc/\n"
      "[Batch processing]\nnb simultaneous start = 3\nlaunch batch process = TRUE\nbatch session counter = 0\n"
      "[Batch Auto Build]\nmode = Duplicate Loop\nnumber of sessions = 7\nsession reference = a.cfg\n"
      "session reference 2 = b.cfg\npath of trace files = auto/\n"
      "[SIP]\nNAT support = TRUE\n(NAT) local SIP IP address = 203.0.113.5\n"
      "[[Session configurations]]\n{\nsession file name = s1.cfg\n}\n{\nsession file name = s2.cfg\n}\n"
      "[Traces / Reports]\ndisplay event = SIP_EVT\nlevel of sip event displayed = 2\nrecord event = CNF\n"
      "event file name = ev.txt\naudit file name = au.txt\nlog options = SEND_MSG | TIMER | ALLOC_FREE_MSG\n"
      "[[Message Audit Filtering]]\n{\nentity from = ENT_IP\nentity to = ENT_FOIP\nmsg code = 'S'\n"
      "Ascii Msg code = \"START\"\n}\n");
  ASSERT_EQ(o.result, APP_FOIP_INI__COPY_DONE) << (o.errors.empty() ? "" : o.errors.back());
  // General's keyword wins over the batch one, capped at 62.
  EXPECT_EQ(o.param.glb_common_param.nb_simultaneous_start_stop, 62);
  EXPECT_EQ(o.value(nb_simultaneous_start), "5:62");
  EXPECT_EQ(o.value(batch_nb_simultaneous_start).substr(0, 2), "0:");
  EXPECT_EQ(o.app.batch_limit, 1);
  EXPECT_EQ(o.value(batch_session_counter), "5:1");
  // Duplicate Loop needs an even number.
  EXPECT_EQ(o.app.auto_build_count, 8);
  EXPECT_EQ(o.value(auto_build_number_of_sessions), "5:8");
  EXPECT_STREQ(o.app.auto_build_source_1, "cfg/a.cfg");
  EXPECT_STREQ(o.app.auto_build_source_2, "cfg/b.cfg");
  EXPECT_STREQ(o.app.auto_build_trace_path, "auto/");
  EXPECT_EQ(o.app.session_file_count, 2);
  EXPECT_STREQ(o.app.session_file[0], "cfg/s1.cfg");
  EXPECT_STREQ(o.app.session_file[1], "cfg/s2.cfg");
  EXPECT_EQ(o.value(session_file_name, 1), "5:\"cfg/s2.cfg\"");
  const auto& nat = o.param.glb_sip_param.nat;
  EXPECT_EQ(nat.flag_nat_support, 1);
  EXPECT_EQ(v4(nat.nat_local_sip_addr.ip_addr), "203.0.113.5");
  EXPECT_EQ(nat.nat_local_sip_addr.ip_port, 5060);
  const auto& trc = o.param.glb_trc_param;
  EXPECT_EQ(trc.event.display_event_bfi, 32 | 64);
  EXPECT_EQ(trc.event.record_event_bfi, 1);
  EXPECT_STREQ(trc.event.sz_fname_event, "trc/ev.txt");
  EXPECT_EQ(trc.event.nb_of_multiple_event_files, 5);
  EXPECT_STREQ(trc.audit.sz_fname_audit, "trc/au.txt");
  // The allocation and timer bits are not audited.
  EXPECT_EQ(o.value(log_options), "5:256");
  EXPECT_EQ(g_mask_set, 256u);
  EXPECT_EQ(trc.audit.audit_filter[0].item_mode, 2);
  EXPECT_EQ(trc.audit.audit_filter[0].from, 73);
  EXPECT_STREQ(trc.audit.audit_filter[0].sz_from, "ENT_IP");
  EXPECT_STREQ(trc.audit.audit_filter[0].sz_to, "ENT_FOIP");
  EXPECT_EQ(trc.audit.audit_filter[0].code, 'S');
  EXPECT_STREQ(trc.audit.audit_filter[0].sz_code, "START");
  EXPECT_EQ(trc.audit.audit_filter[1].item_mode, FOIP__DCOD__FILTER_LAST_ITEM);

  // 62 sessions switch the automatic building off.
  o = glb_copy("[Batch Auto Build]\nmode = Duplicate\nnumber of sessions = 70\n");
  ASSERT_EQ(o.result, APP_FOIP_INI__COPY_DONE);
  EXPECT_EQ(o.app.auto_build_mode, 0);
  EXPECT_EQ(o.value(auto_build_mode), "5:0");
  EXPECT_EQ(o.value(auto_build_number_of_sessions).substr(0, 2), "0:");

  // NO_AUDIT__NO_CHECKS turns the audit off whatever its file says.
  o = glb_copy(
      "[General]\nassert control = NO_AUDIT__NO_CHECKS | CHECK_BLOCKS\n"
      "[Traces / Reports]\naudit file name = au.txt\n");
  ASSERT_EQ(o.result, APP_FOIP_INI__COPY_DONE);
  EXPECT_EQ(o.value(assert_control), "5:32768");
  EXPECT_STREQ(o.param.glb_trc_param.audit.sz_fname_audit, "");
  EXPECT_EQ(o.value(audit_file_name).substr(0, 2), "0:");
  EXPECT_EQ(g_mask_set, 0x8000u);
}

// ---------------------------------------------------------------------------
// Every field of the copies, against golden files: fully set files and the
// files that take the other branches (transports, NAT, registration, audit,
// automatic building), with the values written back and set ignored.

const std::string kGolden = std::string(KV_SOURCE_DIR) + "/tests/session/golden/";

// The host's own address varies: it reads "<host>" in the golden files.
std::string without_host(std::string text) {
  const std::string host = host_address();
  for (std::size_t at = text.find(host); at != std::string::npos; at = text.find(host, at))
    text.replace(at, host.size(), "<host>");
  return text;
}

std::string outcome_head(uint8_t result, const std::vector<std::string>& errors) {
  std::string t = "result = " + std::to_string(result) + "\n";
  for (const std::string& e : errors) t += "error: " + e + "\n";
  return t;
}

std::string displayed(ini_tools__value* table, const ini_tools__section* sections, const ini_tools__keyword* keywords) {
  return cfg_test::collect(
      [&](const ini_tools__output_cb& out) { return ini_tools__display_values(table, sections, keywords, out); });
}

std::string app_text(const app_foip_ini__app_settings& a) {
  std::string t;
  auto num = [&](const char* name, unsigned long v) {
    t += std::string("app.") + name + " = " + std::to_string(v) + "\n";
  };
  auto txt = [&](const char* name, const char* v) { t += std::string("app.") + name + " = \"" + v + "\"\n"; };
  num("overwrite_rcv_fax_pages", a.overwrite_rcv_fax_pages);
  num("batch_mode", a.batch_mode);
  num("batch_limit", a.batch_limit);
  num("start_delay", a.start_delay);
  num("incoming_call_mode", a.incoming_call_mode);
  num("auto_build_mode", a.auto_build_mode);
  num("auto_build_count", a.auto_build_count);
  txt("auto_build_source_1", a.auto_build_source_1);
  txt("auto_build_source_2", a.auto_build_source_2);
  txt("auto_build_trace_path", a.auto_build_trace_path);
  txt("session_path", a.session_path);
  txt("trace_path", a.trace_path);
  num("session_file_count", a.session_file_count);
  for (const auto& f : a.session_file)
    if (f[0] != '\0') txt("session_file", f);
  num("trace_mask", a.trace_mask);
  return t;
}

const std::string kFullGlb =
    "[General]\ndisplay progress bar = TRUE\nassert control = CHECK_BLOCKS | CHECK_CACHE\n"
    "overwrite rcv fax pages = TRUE\npath of session files = cfg/\npath of trace files = trc/\n"
    "nb simultaneous start = 12\n"
    "[Batch processing]\nlaunch batch process = TRUE\nbatch session counter = 4\nsession delay = 7\n"
    "nb simultaneous start = 3\n"
    "[Batch Auto Build]\nmode = Duplicate Loop\nnumber of sessions = 5\nsession reference = a.cfg\n"
    "session reference 2 = b.cfg\npath of trace files = auto/\n"
    "[Batch statistics]\nmode = When no more session running\nstatistic timer = 20\n"
    "[SIP]\nSIP incoming call mode = Register all sessions\nSIP operating mode = FOIP__SEND_RE_INVITE\n"
    "SIP delay = 2500\nlocal SIP domain name = \"me.example\"\nlocal SIP IP port = 5062\nNAT support = TRUE\n"
    "(NAT) local SIP Domain Name = \"nat.example\"\n(NAT) local SIP IP port = 5064\n"
    "[SIP Outbound Proxy]\nOutbound SIP proxy IP address = 192.0.2.7\nOutbound SIP proxy port = 5070\n"
    "[SIP Registrar server]\nRegistrar domain name = \"reg.example\"\nRegistrar port = 5080\n"
    "[[Session configurations]]\n{\nsession file name = s1.cfg\n}\n{\nsession file name = s2.cfg\n}\n"
    "{\nsession file name = s3.cfg\n}\n"
    "[Traces / Reports]\ndisplay event = SIP_EVT | CNF\nlevel of sip event displayed = 3\n"
    "record event = SIP_EVT | T38_EVT\nlevel of sip event recorded = 2\nevent file name = ev.txt\n"
    "max length of event file = 300\nmax number of event log files = 4\naudit file name = au.txt\n"
    "max length of audit file = 200\nmax number of audit log files = 3\n"
    "log options = SEND_MSG | RCV_MSG | ALLOC_FREE_MSG\n"
    "[[Message Audit Filtering]]\n{\nmode = ignore field code\nentity from = ENT_IP\nentity to = ENT_FOIP\n"
    "msg code = 'S'\nAscii Msg code = \"START\"\n}\n{\nentity from = ENT_FOIP\nentity to = ENT_IP\n"
    "msg code = 's'\nAscii Msg code = \"STOP\"\n}\n"
    "[Debug Fields]\nTag debug Field = 1\ndebug field 1 = 11\ndebug field 2 = 22\n";

const std::string kFullSession =
    "[General]\nkind of T.38 session = GW\nkind of T.38 transport = UDP_TCP\ndelay end of fax session = 3000\n"
    "path of fax pages to send = pages/\npath of rcv fax pages = rcv/\npath of trace files = trc/\n"
    "path of TIFF temporary files = tmp/\n"
    "[IAF Enhanced]\nIAF equipment = TRUE\nUDP IP data rate = 64000\nTCP IP data rate = 32000\n"
    "[SIP]\nremote SIP Domain Name = \"peer.example\"\nremote SIP IP port = 5090\n"
    "[SIP Authentication]\nauthentication User Name = \"bob\"\nauthentication Password = \"pw\"\n"
    "authentication Realm = \"realm\"\n"
    "[SIP Register]\nsend SIP register = TRUE\nuser identification = by phone number\nuser name = \"un\"\n"
    "user phone number = \"+33 1 23\"\nregistered IP address = 192.0.2.9\n"
    "Registering user_identification = by name\nRegistering sz_user_name = \"rn\"\n"
    "Registering sz_user_phone_number = \"(12)34\"\nRegistering addr.sz_fqdn = \"rg.example\"\n"
    "Registering addr.ip_port = 5100\nregister expire delay = 600\nuse Authentication parameters = TRUE\n"
    "send SIP Register to registrar = TRUE\n"
    "[T.38 remote capabilities]\nT38FaxVersion [UDP] = 300\nT38MaxBitRate [UDP] = 33600\n"
    "T38FaxRateManagement [UDP] = localTCF\nT38FaxFillBitRemoval [UDP] = TRUE\nT38FaxTranscodingMMR [UDP] = TRUE\n"
    "T38FaxTranscodingJBIG [UDP] = TRUE\nT38FaxMaxBuffer [UDP] = 2000\nT38FaxMaxDatagram [UDP] = 400\n"
    "T38FaxUdpEC [UDP] = t38UDPFEC\nforce t38 remote cap [UDP] = T38FaxVersion | UdpEC\n"
    "T38FaxVersion [TCP] = 3\nT38MaxBitRate [TCP] = 9600\nT38FaxRateManagement [TCP] = transferredTCF\n"
    "T38FaxFillBitRemoval [TCP] = TRUE\nT38FaxTranscodingMMR [TCP] = FALSE\nT38FaxTranscodingJBIG [TCP] = TRUE\n"
    "force t38 remote cap [TCP] = MaxBitRate\n"
    "[T.38 local capabilities]\nT38FaxVersion [UDP] = 1\nT38MaxBitRate [UDP] = 14400\n"
    "T38FaxRateManagement [UDP] = transferredTCF\nT38FaxFillBitRemoval [UDP] = TRUE\n"
    "T38FaxTranscodingMMR [UDP] = TRUE\nT38FaxTranscodingJBIG [UDP] = FALSE\nT38FaxMaxBuffer [UDP] = 1800\n"
    "T38FaxMaxDatagram [UDP] = 300\nT38FaxUdpEC [UDP] = t38UDPRedundancy\nT38FaxVersion [TCP] = 0\n"
    "T38MaxBitRate [TCP] = 4800\nT38FaxRateManagement [TCP] = localTCF\nT38FaxFillBitRemoval [TCP] = FALSE\n"
    "T38FaxTranscodingMMR [TCP] = TRUE\nT38FaxTranscodingJBIG [TCP] = TRUE\n"
    "[T.38 media address]\nincoming call no filter = TRUE\nlocal user identification = by phone number\n"
    "local user name = \"Local\"\nlocal user phone number = \"+1 555 0100\"\n"
    "remote user identification = by name\nremote user name = \"Remote\"\nremote user phone number = \"200%41\"\n"
    "local media IP address = 192.0.2.10\nlocal media IP port = 30000\nupdate media port rules = INC\n"
    "(NAT) local media Domain Name = \"natm.example\"\n(NAT) local media IP port = 31000\n"
    "[FAX common]\nfax id = \"+33 123\"\nmax speed = 9600\nmin speed = 4800\nTemporary tiff file name = t%d.tif\n"
    "(Rx path) ECM frame size = 64\n(Rx path) page algorithm = MR | T.6\n"
    "(Rx path) page resolution = 200dpi / 200dpi | 300dpi / 300dpi\n(Rx path) page width = 255mm\n"
    "(Rx path) page length = B4\n(Tx path) wished ECM frame size = 256\n(Tx path) wished page algorithm = T.6\n"
    "[FAX Send]\ncounter send = 2\npage header = \"HEAD\"\nBmp top margin = 12\nline padding mode = Left\n"
    "[[FAX Send page]]\n{\nTiff file name = p1.tif\npage encoding = MH\n}\n{\nTiff file name = p2.tif\n}\n"
    "[Traces / Reports]\ndisplay event = T38_EVT | FAX_EVT\nrecord event = CNF_SESSION\nevent file name = ev.txt\n"
    "max length of event file = 700\nmax number of event log files = 30\nlist of T.38 events = CNG<IP | CED<IP\n"
    "audit file name = au.txt\nmax length of audit file = 100\nmax number of audit log files = 2\n"
    "append audit file = TRUE\nT.38 trace file name = t38.txt\nmax length of T.38 trace file = 50\n"
    "max number of T.38 log files = 6\nappend T.38 trace file = TRUE\n"
    "(T.38 Trc) list of T.38 traces = MSG | GW_SMODEM | MEM_ALLOC\n(T.38 Trc) max ASN.1 nb bytes stored = 40\n"
    "(T.38 Trc) full display T.38 packet = TRUE\n(T.38 Trc) max T.38 pck bytes stored = 20\n"
    "(T.38 Trc) max fax data stored = 500\n(T.38 Trc) kept dfield organization = FALSE\n"
    "[Debug Fields]\nTag debug Field = 1\ndebug field 1 = 5\ndebug field 2 = 6\n";

TEST(CopyGolden, EveryFieldOfEveryBranch) {
  const struct {
    const char* name;
    std::string text;
  } glb_cases[] = {
      {"glb_full", kFullGlb},
      {"glb_defaults", ""},
      {"glb_no_audit",
       "[General]\nassert control = NO_AUDIT__NO_CHECKS\n[Batch Auto Build]\nmode = Duplicate\n"
       "number of sessions = 3\nsession reference = a.cfg\n[SIP]\nlocal SIP IP address = 192.0.2.1\n"
       "[Traces / Reports]\ndisplay event = SIP_EVT\nlevel of sip event displayed = 2\naudit file name = au.txt\n"},
  };
  for (const auto& c : glb_cases) {
    SCOPED_TRACE(c.name);
    g_mask_now = 0x801E;
    glb_outcome o = glb_copy(c.text);
    g_mask_now = 0x300;
    ASSERT_EQ(o.read, INI_TOOLS__READ_DONE);
    std::string t = outcome_head(o.result, o.errors) + "trace mask set = " + std::to_string(g_mask_set) + "\n" +
                    cfg_test::dump(o.param) + app_text(o.app) +
                    displayed(o.table.values(), app_foip_ini__glb_sections, app_foip_ini__glb_keywords);
    EXPECT_EQ(cfg_test::check_golden(kGolden + "copy_" + c.name + ".txt", without_host(t)), "");
  }
  const struct {
    const char* name;
    std::string text;
    uint8_t nat;
  } session_cases[] = {
      {"session_full", kFullSession, 1},
      {"session_full_no_nat", kFullSession, 0},
      {"session_receive_tcp",
       "[General]\nkind of T.38 transport = TCP\n[IAF Enhanced]\nIAF equipment = TRUE\n"
       "[SIP Register]\nsend SIP register = TRUE\nuser identification = use local user name/phone nb\n"
       "Registering user_identification = no registering\nuse Authentication parameters = TRUE\n"
       "[FAX Send]\ncounter send = 0\n" +
           kReceive + "Max received fax pages = 9\nMax received fax data = 123456\n",
       1},
      {"session_send_udp_register_by_name",
       "[SIP Register]\nsend SIP register = TRUE\nuser identification = by name\nuser name = \"me\"\n"
       "Registering user_identification = by phone number\nRegistering addr.ip_addr = 192.0.2.4\n"
       "[SIP]\nremote SIP IP address = 192.0.2.5\n" +
           kSend,
       0},
  };
  for (const auto& c : session_cases) {
    SCOPED_TRACE(c.name);
    session_outcome o = session_copy(c.text, c.nat);
    ASSERT_EQ(o.read, INI_TOOLS__READ_DONE);
    const app_foip_ini__session_values& r = o.record;
    std::string t = outcome_head(o.result, o.errors) + "direction = " + std::to_string(r.direction) +
                    "\nrotation_base = " + std::to_string(r.rotation_base) +
                    "\nregister_wanted = " + std::to_string(r.register_wanted) + "\n" + cfg_test::dump(r.reg) +
                    cfg_test::dump(r.param) +
                    displayed(o.record.values.values(), app_foip_ini__session_sections, app_foip_ini__session_keywords);
    EXPECT_EQ(cfg_test::check_golden(kGolden + "copy_" + c.name + ".txt", without_host(t)), "");
  }
}

}  // namespace
