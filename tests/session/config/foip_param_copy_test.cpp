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

}  // namespace
