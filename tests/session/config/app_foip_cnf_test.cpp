// Start-up configuration from a server area (K-DB/SETUP.INI, Tessaly/glb.cfg
// and the session files): the session records built, ports, speeds, stored
// session tables, media addressing table, configuration trace file, automatic
// building, and the refusal of broken files.
#include "session/config/app_foip_cnf.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "common/program_log.h"
#include "common/server_settings.h"
#include "runtime/om_os.h"
#include "session/config/app_foip_session_cfg.h"
#include "session/config/support/cfg_test_support.h"
#include "session/config/support/foip_param_dump.h"

namespace {

namespace fs = std::filesystem;

const std::string kFixtures = std::string(KV_SOURCE_DIR) + "/tests/session/fixtures/";

std::vector<uint16_t> g_traps;
std::vector<std::string> g_printed;

// A copy of a fixture server area as the working directory, with the program
// log at level 1 in its K-DB folder and the traps and displays captured.
class ServerArea : public ::testing::Test {
 protected:
  void SetUp() override { use("default_area"); }

  void use(const std::string& fixture) {
    leave();
    area_ = std::make_unique<cfg_test::temp_dir>();
    fs::copy(kFixtures + fixture, area_->path(), fs::copy_options::recursive);
    old_cwd_ = fs::current_path();
    fs::current_path(area_->path());
    SystemParams& p = SystemParameters();
    p = SystemParams{};
    std::snprintf(p.ServerArea, sizeof p.ServerArea, "%s/", area_->path().c_str());
    InitialiseLog(1);
    g_traps.clear();
    g_printed.clear();
    om_os_set_trap_handler([](u16 code, const char*) { g_traps.push_back(code); });
    app_foip_cnf__set_hooks({[](const char* line) { g_printed.emplace_back(line); }, nullptr, nullptr});
  }

  void TearDown() override { leave(); }

  void leave() {
    if (!area_) return;
    fs::current_path(old_cwd_);
    om_os_set_trap_handler(nullptr);
    app_foip_cnf__set_hooks({});
    SystemParameters() = SystemParams{};
    LogInit(nullptr, nullptr, 3, "TEST");
    area_.reset();
  }

  void write(const std::string& rel, const std::string& text) {
    std::ofstream out(area_->path() + "/" + rel, std::ios::binary);
    out << text;
  }
  std::string read(const std::string& rel) { return cfg_test::read_file(area_->path() + "/" + rel); }
  // Replaces the first occurrence of `from` in a file of the area.
  void edit(const std::string& rel, const std::string& from, const std::string& to) {
    std::string text = read(rel);
    std::size_t at = text.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    write(rel, text.replace(at, from.size(), to));
  }
  std::string program_log() { return read("K-DB/TESSALY.log"); }

  uint8_t run(app_foip_cnf__options options = {}) {
    app_foip_cnf__startup_record record;
    std::snprintf(record.glb_cfg_path, sizeof record.glb_cfg_path, ".\\Tessaly\\glb.cfg");
    record.sip_nai = 100;
    for (std::size_t i = 0; i < FOIP__MAX_MEDIA_NA; ++i) record.session_nai[i] = static_cast<nai_t>(i + 1);
    if (options.computer_name == nullptr) options.computer_name = "TESTHOST";
    ctx_ = std::make_unique<app_foip_cnf__context>();
    return app_foip_cnf__config(record, *ctx_, options);
  }

  std::unique_ptr<cfg_test::temp_dir> area_;
  fs::path old_cwd_;
  std::unique_ptr<app_foip_cnf__context> ctx_;
};

std::string v4(const om_ip_addr_t& a) {
  const u8* b = a.addr.v4.addr;
  return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." + std::to_string(b[3]);
}

const foip__session_param& param(const app_foip_cnf__context& ctx, std::size_t i) {
  return ctx.sessions.at(i)->cfg.param;
}
uint16_t media_port(const app_foip_cnf__context& ctx, std::size_t i) {
  return param(ctx, i).t38_media_add_param.local_media_add.local_media_ip_addr.ip_port;
}

// Everything the configuration built, as text.
std::string records(const app_foip_cnf__context& ctx) {
  std::string all = "[setup]\n" + cfg_test::dump(ctx.setup) + "[global]\n" + cfg_test::dump(ctx.glb_param);
  for (const auto& s : ctx.sessions) all += "[session]\n" + cfg_test::dump(*s);
  all += "[media table]\n";
  for (const auto& e : ctx.media_table)
    if (e.nai != 0xFFFF)
      all += std::to_string(e.nai) + " peer " + std::to_string(e.peer_nai) + " loop " + std::to_string(e.loop_index) +
             "\n";
  return all;
}

TEST_F(ServerArea, DefaultAreaConfiguresNineteenSessions) {
  ASSERT_EQ(run(), APP_FOIP_CNF__CONFIGURED) << program_log();
  EXPECT_TRUE(g_traps.empty());
  EXPECT_EQ(ctx_->magic, APP_FOIP_CNF__MAGIC_CONFIGURED);
  ASSERT_EQ(ctx_->sessions.size(), 19u);
  EXPECT_EQ(cfg_test::check_golden(kFixtures + "default_area.expected", records(*ctx_)), "");

  for (std::size_t i = 0; i < 19; ++i) {
    SCOPED_TRACE(i);
    const app_foip_cnf__session& s = *ctx_->sessions[i];
    EXPECT_EQ(s.nai, i + 1);
    EXPECT_EQ(s.cfg.param.session_general_param.nai, i + 1);
    // Session k reads the k-th file of the list, else the list's first.
    EXPECT_STREQ(s.file_name, i == 1 ? "Tessaly\\session02.cfg" : "Tessaly\\session01.cfg");
    EXPECT_EQ(s.cfg.direction, i == 1 ? FOIP__DIR_OUT : FOIP__DIR_IN);
    // "[TESSALY]" values: media port start + 10 x k, 9600 -> 9, addresses.
    EXPECT_EQ(media_port(*ctx_, i), 30000 + 10 * i);
    EXPECT_EQ(s.cfg.rotation_base, 30000 + 10 * i);
    EXPECT_EQ(s.cfg.param.fax_common_param.max_speed, 9);
    EXPECT_EQ(v4(s.cfg.param.t38_media_add_param.local_media_add.local_media_ip_addr.ip_addr), "192.0.2.10");
    EXPECT_EQ(v4(s.cfg.param.sip_session_param.remote_sip_addr.ip_addr), "192.0.2.1");
    EXPECT_EQ(s.cfg.param.sip_session_param.remote_sip_addr.ip_port, 5070);
    EXPECT_EQ(s.start_delay, 3000u);
  }
  const auto& sip = ctx_->glb_param.glb_sip_param;
  EXPECT_EQ(v4(sip.local_sip_addr.ip_addr), "192.0.2.10");
  EXPECT_EQ(sip.local_sip_addr.ip_port, 5062);
  EXPECT_EQ(v4(sip.registrar_addr.ip_addr), "192.0.2.2");
  EXPECT_EQ(sip.registrar_addr.ip_port, 5080);
  EXPECT_EQ(sip.sig_nai, 100);
  EXPECT_EQ(ctx_->setup.called_digits_offset, 2);
  EXPECT_EQ(ctx_->user_evt_timer_ms, 100u);

  // The outgoing session 2 calls "fax_in", which session 1 answers.
  EXPECT_EQ(ctx_->media_table[1].peer_nai, 1);
  EXPECT_EQ(ctx_->media_table[0].peer_nai, 0xFFFF);

  // Both stored tables hold the first session's values (no sessionx.cfg).
  EXPECT_EQ(cfg_test::value_of(ctx_->stored_session_table[0].values(), session_cfg::local_user_name), "3:\"fax_in\"");
  EXPECT_EQ(cfg_test::value_of(ctx_->stored_session_table[1].values(), session_cfg::local_user_name), "3:\"fax_in\"");
  // The stored tables are taken before the copy writes into the table.
  EXPECT_EQ(cfg_test::value_of(ctx_->stored_session_table[0].values(), session_cfg::kind_of_session), "3:71");

  std::string log = program_log();
  EXPECT_NE(log.find("app_foip_cnf - Read settings from setup.ini"), std::string::npos);
  EXPECT_NE(log.find("app_foip_cnf - Storing session config into globals: Tessaly\\session01.cfg"), std::string::npos);
  EXPECT_EQ(log.find("detected"), std::string::npos);

  // Configuration trace file: the global event file's first numbered file.
  EXPECT_STREQ(ctx_->config_trace_file, "glb_events.txt_0");
  std::string trace = read("glb_events.txt_0");
  EXPECT_NE(trace.find("Global configuration"), std::string::npos);
  EXPECT_NE(trace.find("Session #19 configuration"), std::string::npos);
  EXPECT_NE(trace.find("Media addressing scheme"), std::string::npos);
  EXPECT_NE(trace.find("Local SIP address: 192.0.2.10 (5062)"), std::string::npos);
  EXPECT_NE(trace.find("\n:2  : fax_out            : fax_in             : 192.0.2.1 (5070)      : 192.0.2.10 (30010)"
                       "    : Snd :1  : 192.0.2.10 (30000)    : Rcv ::    : \n"),
            std::string::npos);
  const std::string last =
      "\nHere APP_FOIP stops to write directly into this file. All access will be done thru FOIP API\n";
  ASSERT_GT(trace.size(), last.size());
  EXPECT_EQ(trace.substr(trace.size() - last.size()), last);

  // The keyboard help was shown.
  ASSERT_FALSE(g_printed.empty());
  EXPECT_EQ(g_printed.front(), "Keyboard commands: ");
  EXPECT_EQ(g_printed.back(),
            "WARNING: If SIP register have been requested then all commands will be delayed during 15 sec");
}

TEST_F(ServerArea, MaxSessionsAbsentBuildsNoSession) {
  edit("K-DB/SETUP.INI", "MaxSessions: 19\n", "");
  ASSERT_EQ(run(), APP_FOIP_CNF__CONFIGURED);
  EXPECT_TRUE(ctx_->sessions.empty());
  EXPECT_EQ(ctx_->setup.max_sessions, 0);
}

TEST_F(ServerArea, MaxSessionsIsCappedAtTheSessionNais) {
  edit("K-DB/SETUP.INI", "MaxSessions: 19", "MaxSessions: 100");
  ASSERT_EQ(run(), APP_FOIP_CNF__CONFIGURED);
  EXPECT_EQ(ctx_->sessions.size(), 62u);
  EXPECT_EQ(ctx_->sessions.back()->nai, 62);
  EXPECT_EQ(media_port(*ctx_, 61), 30000 + 610);
  EXPECT_NE(program_log().find("app_foip_cnf - MaxSessions: 100 is more than the 62 sessions of the program, 62 "
                               "sessions are built"),
            std::string::npos);
}

TEST_F(ServerArea, WithoutTessalyParagraphTheDefaultsHold) {
  write("K-DB/SETUP.INI", "[OPTIONS]\nMaxSessions: 4\n");
  ASSERT_EQ(run(), APP_FOIP_CNF__CONFIGURED);
  EXPECT_FALSE(ctx_->setup.paragraph_found);
  EXPECT_TRUE(ctx_->sessions.empty());
  EXPECT_EQ(program_log().find("Read settings from setup.ini"), std::string::npos);
}

TEST_F(ServerArea, OnlyTheFirstTessalyParagraphCounts) {
  write("K-DB/SETUP.INI", read("K-DB/SETUP.INI") + "\n[TESSALY]\nMaxSessions: 2\nSpeed: 2400\n");
  ASSERT_EQ(run(), APP_FOIP_CNF__CONFIGURED);
  EXPECT_EQ(ctx_->sessions.size(), 19u);
  EXPECT_EQ(param(*ctx_, 0).fax_common_param.max_speed, 9);
}

TEST_F(ServerArea, MediaPortDefaultAndSpeedCodes) {
  edit("K-DB/SETUP.INI", "LocalMediaPortStart: 30000\n", "");
  edit("K-DB/SETUP.INI", "MaxSessions: 19", "MaxSessions: 3");
  ASSERT_EQ(run(), APP_FOIP_CNF__CONFIGURED);
  EXPECT_EQ(media_port(*ctx_, 0), 20000);
  EXPECT_EQ(media_port(*ctx_, 2), 20020);

  struct {
    uint16_t speed;
    uint8_t code;
  } speeds[] = {{2400, 2}, {4800, 4}, {7200, 7}, {9600, 9}, {12000, 12}, {14400, 14}, {1200, 14}, {0, 14}};
  for (const auto& s : speeds) EXPECT_EQ(app_foip_cnf__speed_code(s.speed), s.code) << s.speed;
}

TEST_F(ServerArea, AltKeysApplyToTheirComputerOnly) {
  edit("K-DB/SETUP.INI", "LocalSIPPort: 5062\n", "LocalSIPPort: 5062\nLocalSIPPortAlt: OTHERHOST 5099\n");
  edit("K-DB/SETUP.INI", "LocalIPAddress: 192.0.2.10\n",
       "LocalIPAddress: 192.0.2.10\nLocalIPAddressAlt: testhost 192.0.2.99\n");
  ASSERT_EQ(run(), APP_FOIP_CNF__CONFIGURED);
  // Another computer's port: no port from SETUP.INI, glb.cfg's stays.
  EXPECT_EQ(ctx_->glb_param.glb_sip_param.local_sip_addr.ip_port, 5060);
  // This computer's address (the name compared without regard to case).
  EXPECT_EQ(v4(ctx_->glb_param.glb_sip_param.local_sip_addr.ip_addr), "192.0.2.99");
  EXPECT_EQ(v4(param(*ctx_, 0).t38_media_add_param.local_media_add.local_media_ip_addr.ip_addr), "192.0.2.99");

  edit("K-DB/SETUP.INI", "OTHERHOST 5099", "TestHost 5099");
  ASSERT_EQ(run(), APP_FOIP_CNF__CONFIGURED);
  EXPECT_EQ(ctx_->glb_param.glb_sip_param.local_sip_addr.ip_port, 5099);
}

TEST_F(ServerArea, CredentialsNeedTheSessionRealm) {
  edit("K-DB/SETUP.INI", "MaxSessions: 19", "MaxSessions: 2\nSIPUsername: carol\nSIPPassword: hunter2");
  ASSERT_EQ(run(), APP_FOIP_CNF__CONFIGURED);
  // Session 2's file gives a realm: SETUP.INI's credentials are used.
  const auto& auth2 = param(*ctx_, 1).sip_session_param.sip_authentication;
  EXPECT_EQ(auth2.flag_enable, 1);
  EXPECT_STREQ(auth2.sz_user_name, "carol");
  EXPECT_STREQ(auth2.sz_user_password, "hunter2");
  EXPECT_STREQ(auth2.sz_realm, "example.net");
  // Session 1's file has none: nothing is sent, and the log says why.
  const auto& auth1 = param(*ctx_, 0).sip_session_param.sip_authentication;
  EXPECT_EQ(auth1.flag_enable, 0);
  EXPECT_NE(program_log().find(
                "app_foip_cnf - SIPUsername:/SIPPassword: not used by session 1: no authentication realm in its file"),
            std::string::npos);
}

TEST_F(ServerArea, SessionxFileFillsTheSecondStoredTable) {
  write("Tessaly/sessionx.cfg", "[T.38 media address]\nlocal user name = \"gateway_in\"\n");
  ASSERT_EQ(run(), APP_FOIP_CNF__CONFIGURED);
  EXPECT_EQ(cfg_test::value_of(ctx_->stored_session_table[1].values(), session_cfg::local_user_name),
            "3:\"gateway_in\"");
  // The rest of the second table comes from the first session's file.
  EXPECT_EQ(cfg_test::value_of(ctx_->stored_session_table[1].values(), session_cfg::rcv_tiff_file_name),
            "3:\"in_%d.tif\"");
  EXPECT_NE(program_log().find("app_foip_cnf - Tessaly\\sessionx.cfg detected"), std::string::npos);

  write("Tessaly/sessionx.cfg", "[T.38 media address]\nlocal user name = \"half\nno such keyword = 1\n");
  ASSERT_EQ(run(), APP_FOIP_CNF__CONFIGURED);
  EXPECT_EQ(cfg_test::value_of(ctx_->stored_session_table[1].values(), session_cfg::local_user_name), "3:\"fax_in\"");
  EXPECT_NE(program_log().find("app_foip_cnf - Tessaly\\sessionx.cfg not detected"), std::string::npos);
}

TEST_F(ServerArea, IncomingCallReloadAppliesTheTessalySettingsAgain) {
  write("Tessaly/sessionx.cfg",
        "[T.38 media address]\nlocal user name = \"gateway_in\"\nlocal media IP address = 198.51.100.7\n");
  edit("K-DB/SETUP.INI", "MaxSessions: 19", "MaxSessions: 3");
  ASSERT_EQ(run(), APP_FOIP_CNF__CONFIGURED) << program_log();
  for (int which : {0, 1}) {
    for (std::size_t i : {0u, 2u}) {
      SCOPED_TRACE(testing::Message() << "table " << which << " session " << i);
      app_foip_cnf__session& s = *ctx_->sessions[i];
      ASSERT_TRUE(app_foip_cnf__reload_session(*ctx_, s, which));
      const foip__session_param& p = s.cfg.param;
      // The call's own values come from the stored table...
      EXPECT_STREQ(p.t38_media_add_param.sip_media_identification.sz_local_user_name,
                   which == 0 ? "fax_in" : "gateway_in");
      // ... and "[TESSALY]" still decides the addresses, ports and speed.
      EXPECT_EQ(v4(p.t38_media_add_param.local_media_add.local_media_ip_addr.ip_addr), "192.0.2.10");
      EXPECT_EQ(media_port(*ctx_, i), 30000 + 10 * i);
      EXPECT_EQ(s.cfg.rotation_base, 30000 + 10 * i);
      EXPECT_EQ(p.fax_common_param.max_speed, 9);
      EXPECT_EQ(v4(p.sip_session_param.remote_sip_addr.ip_addr), "192.0.2.1");
      EXPECT_EQ(p.sip_session_param.remote_sip_addr.ip_port, 5070);
    }
  }
  EXPECT_TRUE(g_traps.empty());
}

TEST_F(ServerArea, HelpRunModes) {
  app_foip_cnf__startup_record record;
  app_foip_cnf__context ctx;
  record.run_mode = 1;
  EXPECT_EQ(app_foip_cnf__config(record, ctx), APP_FOIP_CNF__HELP_ONLY);
  EXPECT_EQ(ctx.app_ended, 1);
  EXPECT_EQ(ctx.closed, 1);
  EXPECT_EQ(g_printed.at(0), "Command line:");
  EXPECT_EQ(g_printed.at(1), "  o product_7.exe -F<glb_fname.cfg>");

  // Mode 2 writes the help into the file named.
  record.run_mode = 2;
  std::snprintf(record.help_fname, sizeof record.help_fname, "help.txt");
  testing::internal::CaptureStdout();
  EXPECT_EQ(app_foip_cnf__config(record, ctx), APP_FOIP_CNF__HELP_ONLY);
  testing::internal::GetCapturedStdout();
  EXPECT_NE(read("help.txt").find("; Session configuration file"), std::string::npos);

  // No global configuration path: help only.
  record = app_foip_cnf__startup_record{};
  app_foip_cnf__context ctx2;
  EXPECT_EQ(app_foip_cnf__config(record, ctx2), APP_FOIP_CNF__HELP_ONLY);
  EXPECT_EQ(ctx2.app_ended, 1);
}

// Broken files: each is refused with its text (or taken with a logged
// default), never with a half-configured session.
TEST_F(ServerArea, BrokenFilesAreRefused) {
  struct edit_t {
    const char* file;
    const char* from;  // null: replace the whole file by `to`
    std::string to;
  };
  struct {
    const char* name;
    std::vector<edit_t> edits;
    uint8_t result;
    std::vector<uint16_t> traps;
    const char* log_text;  // expected in the program log
  } cases[] = {
      {"SETUP.INI missing",
       {{"K-DB/SETUP.INI", nullptr, ""}},
       3,
       {},
       "app_foip_cnf - Cannot find or open setup.ini file"},
      {"gateway octet above 255",
       {{"K-DB/SETUP.INI", "192.0.2.1\n", "192.0.2.256\n"}},
       3,
       {},
       "app_foip_cnf - Bad IPv4 address for SIPGatewayAddress: \"192.0.2.256\""},
      {"local address with extra characters",
       {{"K-DB/SETUP.INI", "192.0.2.10\n", "192.0.2.10.7\n"}},
       3,
       {},
       "app_foip_cnf - Bad IPv4 address for LocalIPAddress: \"192.0.2.10.7\""},
      {"overlong SIP user name",
       {{"K-DB/SETUP.INI", "Speed: 9600\n",
         "Speed: 9600\nSIPUsername: "
         "u2345678901234567890123456789012345678901234567890"
         "01234567890123\n"}},
       3,
       {},
       "app_foip_cnf - SIPUsername: longer than 63 characters"},
      {"huge MaxSessions",
       {{"K-DB/SETUP.INI", "MaxSessions: 19", "MaxSessions: 4294967296"}},
       2,
       {},
       "app_foip_cnf - Bad value for MaxSessions: \"4294967296\", 0 used"},
      {"empty media port start",
       {{"K-DB/SETUP.INI", "LocalMediaPortStart: 30000", "LocalMediaPortStart:"}},
       2,
       {},
       "app_foip_cnf - Bad value for LocalMediaPortStart: \"\", 20000 used"},
      {"media ports beyond 65535",
       {{"K-DB/SETUP.INI", "LocalMediaPortStart: 30000", "LocalMediaPortStart: 65400"}},
       3,
       {},
       "app_foip_cnf - LocalMediaPortStart: 65400 leaves no room for the ports of 19 sessions"},
      {"glb.cfg missing",
       {{"Tessaly/glb.cfg", nullptr, ""}},
       3,
       {30031},
       "Error into configuration file : Can't open configuration file"},
      {"glb.cfg unknown keyword",
       {{"Tessaly/glb.cfg", "[SIP]\n", "[SIP]\nlocal SIP port number = 1\n"}},
       3,
       {30031},
       "Error into configuration file : Unknown keyword: local SIP port"},
      {"glb.cfg empty SIP delay",
       {{"Tessaly/glb.cfg", "[SIP]\n", "[SIP]\nSIP delay =\n"}},
       3,
       {30031},
       "Error into configuration file : Bad parameter: SIP delay ="},
      {"glb.cfg huge session delay",
       {{"Tessaly/glb.cfg", "session delay = 3", "session delay = 99999999999"}},
       3,
       {30031},
       "Error into configuration file : Bad parameter: session delay ="},
      {"glb.cfg overlong domain name",
       {{"Tessaly/glb.cfg", "[SIP]\n", "[SIP]\nlocal SIP domain name = \"" + std::string(65, 'd') + "\"\n"}},
       3,
       {30031},
       "Error into configuration file : Bad parameter: local SIP domain name"},
      {"glb.cfg proxy without port",
       {{"Tessaly/glb.cfg", "[SIP]\n",
         "[SIP Outbound Proxy]\nOutbound SIP proxy IP address = 10.0.0.1\n"
         "Outbound SIP proxy port = 0\n[SIP]\n"}},
       3,
       {30031, 30006},
       "copy_glb_cnf_tbl_2_glb_cnf_struct 12 : \"outproxy_addr.ip_port\" is not defined"},
      {"glb.cfg duplicate session section",
       {{"Tessaly/glb.cfg", "[Traces / Reports]", "[[Session configurations]]\n{\n}\n[Traces / Reports]"}},
       3,
       {30031},
       "Error into configuration file : Empty array: }"},
      {"session file missing",
       {{"Tessaly/session02.cfg", nullptr, ""}},
       3,
       {30031, 30005},
       "Error into configuration file : Can't open configuration file"},
      {"session file without pages or receive file",
       {{"Tessaly/session01.cfg", "file name = in_%d.tif\n", ""}},
       3,
       {30031, 30005},
       "app_foip_ini__copy_cnf_tbl_2_cnf_struct 12 : [[Fax Page sent]] and [FAX Receive page] array not initialized"},
      {"session file overlong user name",
       {{"Tessaly/session02.cfg", "\"fax_out\"",
         "\"f2345678901234567890123456789012345678901234567890123456789012345\""}},
       3,
       {30031, 30005},
       "Error into configuration file : Bad parameter: local user name"},
      {"session file huge data limit",
       {{"Tessaly/session01.cfg", "Max received fax pages = 50", "Max received fax data = 99999999999"}},
       3,
       {30031, 30005},
       "Error into configuration file : Bad parameter: Max received fa"},
      {"session file eleventh page",
       {{"Tessaly/session02.cfg", "    page encoding = MH\n}\n",
         "    page encoding = MH\n}\n{\npage file name = 3.tif\n}\n{\npage file name = 4.tif\n}\n{\npage file name = "
         "5.tif\n}\n"
         "{\npage file name = 6.tif\n}\n{\npage file name = 7.tif\n}\n{\npage file name = 8.tif\n}\n"
         "{\npage file name = 9.tif\n}\n{\npage file name = 10.tif\n}\n{\npage file name = 11.tif\n}\n"}},
       3,
       {30031, 30005},
       "Error into configuration file : Too much array into one Array sec"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    use("default_area");
    for (const edit_t& e : c.edits) {
      if (e.from == nullptr && e.to.empty()) fs::remove(area_->path() + "/" + e.file);
      else if (e.from == nullptr) write(e.file, e.to);
      else edit(e.file, e.from, e.to);
    }
    EXPECT_EQ(run(), c.result);
    EXPECT_EQ(g_traps, c.traps);
    EXPECT_NE(program_log().find(c.log_text), std::string::npos) << program_log();
    if (c.result != APP_FOIP_CNF__CONFIGURED) {
      EXPECT_NE(ctx_->magic, APP_FOIP_CNF__MAGIC_CONFIGURED);
    }
  }
}

TEST_F(ServerArea, AutomaticBuildingCopiesTheSources) {
  edit("K-DB/SETUP.INI", "MaxSessions: 19", "MaxSessions: 6");
  // Session 1 answers (source 2), session 2 sends (source 1); the other
  // sessions are copies, paired by their numbered identities.
  edit("Tessaly/glb.cfg", "[SIP]\n",
       "[Batch Auto Build]\nmode = Duplicate Loop\nnumber of sessions = 6\nsession reference = session02.cfg\n"
       "session reference 2 = session01.cfg\npath of trace files = trc/\n[SIP]\n");
  edit("Tessaly/session01.cfg", "local user identification = by phone number\n", "");
  edit("Tessaly/session01.cfg", "remote user name = \"gateway\"", "remote user name = \"fax_out\"");
  edit("Tessaly/session02.cfg", "[Traces / Reports]\n",
       "[Traces / Reports]\nrecord event = FAX_EVT\ndisplay event = FAX_EVT\nevent file name = ev.txt\n");
  ASSERT_EQ(run(), APP_FOIP_CNF__CONFIGURED) << program_log();
  ASSERT_EQ(ctx_->sessions.size(), 6u);
  // Index 0 reads session01 (source 2), index 1 session02 (source 1).
  EXPECT_EQ(ctx_->sessions[0]->ref_nai, 0xFFFF);
  EXPECT_EQ(ctx_->sessions[1]->ref_nai, 0xFFFF);
  struct {
    nai_t ref;
    const char* local;
    const char* remote;
    uint16_t port_offset;  // from the source's port
  } copies[] = {
      {2, "fax_out_3", "fax_in_3", 10},  // index 2: source 1, number 3
      {1, "fax_in_3", "fax_out_3", 10},  // index 3: source 2, number 3
      {2, "fax_out_5", "fax_in_5", 20},
      {1, "fax_in_5", "fax_out_5", 20},
  };
  const uint16_t port_1 = media_port(*ctx_, 1);
  const uint16_t port_2 = media_port(*ctx_, 0);
  for (std::size_t k = 0; k < 4; ++k) {
    SCOPED_TRACE(k);
    const app_foip_cnf__session& s = *ctx_->sessions[k + 2];
    const auto& id = s.cfg.param.t38_media_add_param.sip_media_identification;
    EXPECT_EQ(s.ref_nai, copies[k].ref);
    EXPECT_STREQ(id.sz_local_user_name, copies[k].local);
    EXPECT_STREQ(id.sz_remote_user_name, copies[k].remote);
    EXPECT_EQ(media_port(*ctx_, k + 2), (copies[k].ref == 2 ? port_1 : port_2) + copies[k].port_offset);
  }
  // Copies of the sending source trace into auto-built files, shown as 4.
  const auto& trc = param(*ctx_, 2).trc_param;
  EXPECT_STREQ(trc.event.sz_fname_event, "trc/__trc_evt_session003.txt");
  EXPECT_EQ(trc.event.display_event_bfi, 4);
  EXPECT_STREQ(trc.t38_trc.sz_fname_t38_trc, "trc/__trc_t38_session003.txt");  // MSG is kept
  // Pairs: 3 <-> 4 and 5 <-> 6 in the media table, the later one with the
  // loop index of the earlier.
  EXPECT_EQ(ctx_->media_table[2].peer_nai, 4);
  EXPECT_EQ(ctx_->media_table[3].peer_nai, 3);
  EXPECT_EQ(ctx_->media_table[3].loop_index, 2);
  EXPECT_EQ(ctx_->media_table[2].loop_index, 0xFFFF);
  // The trace file tells the automatic building.
  std::string trace = read("glb_events.txt_0");
  EXPECT_NE(trace.find("Auto build sessions"), std::string::npos);
  EXPECT_NE(trace.find("Ref Nai: 2"), std::string::npos);

  // Two equal sources, and no second source: refused.
  edit("Tessaly/glb.cfg", "session reference 2 = session01.cfg", "session reference 2 = session02.cfg");
  g_traps.clear();
  EXPECT_EQ(run(), APP_FOIP_CNF__FAILED);
  EXPECT_EQ(g_traps, std::vector<uint16_t>{APP_FOIP_CNF__TRAP_AUTO_BUILD_CLASH});
  edit("Tessaly/glb.cfg", "session reference 2 = session02.cfg", "session reference 2 = session09.cfg");
  g_traps.clear();
  EXPECT_EQ(run(), APP_FOIP_CNF__FAILED);
  EXPECT_EQ(g_traps, std::vector<uint16_t>{APP_FOIP_CNF__TRAP_AUTO_BUILD_NO_SOURCE_2});

  // A numbered identity that does not fit its field is refused, not cut.
  edit("Tessaly/glb.cfg", "session reference 2 = session09.cfg", "session reference 2 = session01.cfg");
  edit("Tessaly/session01.cfg", "local user name = \"fax_in\"", "local user name = \"" + std::string(62, 'n') + "\"");
  g_traps.clear();
  EXPECT_EQ(run(), APP_FOIP_CNF__FAILED);
  EXPECT_EQ(g_traps, std::vector<uint16_t>{APP_FOIP_CNF__TRAP_SESSION_CONFIG});
  EXPECT_NE(program_log().find("session 4: identification too long for the number 3"), std::string::npos);
}

TEST(StartupRecord, ByteImage) {
  app_foip_cnf__startup_record r;
  r.run_mode = 2;
  std::snprintf(r.help_fname, sizeof r.help_fname, "help.txt");
  std::snprintf(r.glb_cfg_path, sizeof r.glb_cfg_path, ".\\Tessaly\\glb.cfg");
  r.sip_nai = 0x1234;
  for (std::size_t i = 0; i < FOIP__MAX_MEDIA_NA; ++i) r.session_nai[i] = static_cast<nai_t>(i + 1);
  uint8_t bytes[APP_FOIP_CNF__STARTUP_RECORD_SIZE];
  app_foip_cnf__pack_startup_record(r, bytes);
  EXPECT_EQ(bytes[3], 2);
  EXPECT_EQ(bytes[204], 0x34);
  EXPECT_EQ(bytes[205], 0x12);
  EXPECT_EQ(bytes[206], 1);
  EXPECT_EQ(bytes[329], 0);
  EXPECT_EQ(bytes[328], 62);
  app_foip_cnf__startup_record back;
  ASSERT_TRUE(app_foip_cnf__unpack_startup_record(bytes, sizeof bytes, &back));
  EXPECT_STREQ(back.glb_cfg_path, r.glb_cfg_path);
  EXPECT_STREQ(back.help_fname, "help.txt");
  EXPECT_EQ(back.session_nai[61], 62);
  // Wrong sizes are refused; a text without its NUL is cut.
  EXPECT_FALSE(app_foip_cnf__unpack_startup_record(bytes, sizeof bytes - 1, &back));
  std::memset(bytes + 104, 'x', 100);
  ASSERT_TRUE(app_foip_cnf__unpack_startup_record(bytes, sizeof bytes, &back));
  EXPECT_EQ(std::strlen(back.glb_cfg_path), 99u);
}

}  // namespace
