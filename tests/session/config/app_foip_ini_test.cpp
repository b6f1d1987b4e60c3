// Configuration files of the application: reading glb.cfg and session files,
// skeletons and help checked against golden files, and the round trip
// skeleton -> read -> display for both files.
#include "session/config/app_foip_ini.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/program_log.h"
#include "common/server_settings.h"
#include "runtime/om_os.h"
#include "session/config/app_foip_glb_cfg.h"
#include "session/config/app_foip_session_cfg.h"
#include "session/config/support/cfg_test_support.h"

namespace {

const std::string kGolden = std::string(KV_SOURCE_DIR) + "/tests/session/golden/";

struct file_tables {
  const char* name;
  const ini_tools__section* sections;
  const ini_tools__keyword* keywords;
  ini_tools__table (*make)();
};

const file_tables kGlb{"glb", app_foip_ini__glb_sections, app_foip_ini__glb_keywords, app_foip_ini__new_glb_table};
const file_tables kSession{"session", app_foip_ini__session_sections, app_foip_ini__session_keywords,
                           app_foip_ini__new_session_table};

std::string skeleton(const file_tables& f, int mode) {
  ini_tools__table t = f.make();
  return cfg_test::collect([&](const ini_tools__output_cb& out) {
    return ini_tools__write_skeleton(mode, t.values(), f.sections, f.keywords, out);
  });
}

std::string display(const file_tables& f, const ini_tools__table& t) {
  return cfg_test::collect([&](const ini_tools__output_cb& out) {
    return ini_tools__display_values(t.values(), f.sections, f.keywords, out);
  });
}

// One displayed line: section, label, keyword name and value.
struct shown {
  std::string section, label, name, value;
};

// Lines "    (label)   name   = value" (eight blanks in array elements).
std::vector<shown> parse_display(const std::string& text) {
  std::vector<shown> out;
  std::string section;
  std::size_t b = 0;
  while (b < text.size()) {
    std::size_t e = text.find('\n', b);
    std::string l = text.substr(b, e == std::string::npos ? std::string::npos : e - b);
    b = e == std::string::npos ? text.size() : e + 1;
    if (!l.empty() && l[0] == '[') {
      section = l;
      continue;
    }
    std::size_t open = l.find_first_not_of(' ');
    std::size_t close = l.find(')');
    std::size_t eq = l.find(" = ");
    if (open == std::string::npos || (open != 4 && open != 8) || l[open] != '(' || close == std::string::npos ||
        eq == std::string::npos || eq < close)
      continue;
    std::string name = l.substr(close + 1, eq - close - 1);
    name = name.substr(name.find_first_not_of(' '));
    name = name.substr(0, name.find_last_not_of(' ') + 1);
    out.push_back({section, l.substr(open + 1, close - open - 1), name, l.substr(eq + 3)});
  }
  return out;
}

TEST(AppFoipIniHelp, SkeletonsMatchTheirGoldenFiles) {
  for (const file_tables* f : {&kGlb, &kSession}) {
    SCOPED_TRACE(f->name);
    EXPECT_EQ(cfg_test::check_golden(kGolden + f->name + "_skeleton.cfg", skeleton(*f, 0)), "");
  }
}

TEST(AppFoipIniHelp, HelpFileMatchesItsGoldenFile) {
  cfg_test::temp_dir dir;
  std::string path = dir.path() + "/help.txt";
  testing::internal::CaptureStdout();
  EXPECT_EQ(app_foip_ini__write_help(path.c_str()), 2);
  std::string console = testing::internal::GetCapturedStdout();
  EXPECT_EQ(console, "\nHelp has been saved into file: " + path + "\n");
  std::string help = cfg_test::read_file(path);
  EXPECT_EQ(cfg_test::check_golden(kGolden + "help.txt", help), "");

  // Without a file the same text goes to the console.
  testing::internal::CaptureStdout();
  EXPECT_EQ(app_foip_ini__write_help(nullptr), 2);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), help);

  EXPECT_EQ(app_foip_ini__write_help((dir.path() + "/no/such/folder/help.txt").c_str()), 3);
}

TEST(AppFoipIniHelp, SkeletonShapes) {
  std::string glb0 = skeleton(kGlb, 0);
  EXPECT_NE(glb0.find("[[Session configurations]]\n    {\n        session file name"), std::string::npos);
  EXPECT_NE(glb0.find("    }\n    {\n        ....\n        ....\n    }\n"
                      "    (Max number of array \"{ }\" into array section = 62)\n"),
            std::string::npos);
  EXPECT_NE(glb0.find("(Max number of array \"{ }\" into array section = 20)"), std::string::npos);
  // Ignored keywords have no line of their own.
  EXPECT_EQ(glb0.find("inter process communication port"), std::string::npos);

  std::string glb1 = skeleton(kGlb, 1);
  EXPECT_NE(glb1.find(";: List of parameters : - Local inter process communication port (ignored)\n"),
            std::string::npos);
  EXPECT_EQ(glb1.find(": Parameter : Local inter process communication port"), std::string::npos);
  // An undefined keyword's block ends with the must-be-defined line.
  EXPECT_NE(glb1.find(";   : Parameter : session reference\n"), std::string::npos);
  std::size_t block = glb1.find(";   : Parameter : session reference\n");
  std::size_t end = glb1.find("+-----------------\n", block);
  EXPECT_NE(glb1.rfind(";   : Undefined : Error (must be defined)\n", end), std::string::npos);
  EXPECT_GT(glb1.rfind(";   : Undefined : Error (must be defined)\n", end), block);
  // Array elements are indented inside their comment blocks too.
  EXPECT_NE(glb1.find(";       : Parameter : session file name\n"), std::string::npos);
  EXPECT_NE(glb1.find(";       : Undefined : Error (must be defined)\n"), std::string::npos);

  std::string s1 = skeleton(kSession, 1);
  EXPECT_NE(s1.find(";: Array Section      : [[FAX Send page]]\n"), std::string::npos);
  EXPECT_NE(s1.find("T38MaxBitRate 14400"), std::string::npos);  // the capabilities comment builder
  EXPECT_NE(s1.find(";   : Undefined : \"User_local\" (default value)\n"), std::string::npos);
}

// Makes a skeleton readable: drops the "more elements" example and the
// element count line of each array, then lets the reader say which lines it
// refuses (the undefined keywords whose kind needs a value) and drops those.
std::string read_skeleton(const file_tables& f, ini_tools__table& table, std::set<std::string>* dropped) {
  const std::string more = "    }\n    {\n        ....\n        ....\n    }\n    (Max number";
  std::string text = skeleton(f, 0);
  for (std::size_t at = text.find(more); at != std::string::npos; at = text.find(more, at)) {
    std::size_t end = text.find('\n', at + more.size());
    text.replace(at, end + 1 - at, "    }\n");
  }
  for (int attempt = 0; attempt < 64; ++attempt) {
    table = f.make();
    cfg_test::read_outcome out = cfg_test::read_text(text, f.sections, f.keywords, table.values());
    if (out.result == INI_TOOLS__READ_DONE) return text;
    if (out.result != INI_TOOLS__BAD_PARAMETER || out.errors.size() != 1) return "unexpected: " + out.errors.at(0);
    std::string line = out.errors[0].substr(std::string("Bad parameter: ").size());
    std::size_t eq = line.find('=');
    if (eq == std::string::npos || eq + 1 != line.size()) return "refused a value: " + line;
    std::size_t at = text.find(line);
    if (at == std::string::npos) return "line not found: " + line;
    std::size_t b = text.rfind('\n', at);
    std::size_t e = text.find('\n', at);
    text.erase(b, e - b);
    std::string name = line.substr(0, eq);
    dropped->insert(name.substr(0, name.find_last_not_of(' ') + 1));
  }
  return "too many refusals";
}

TEST(AppFoipIniRoundTrip, SkeletonReadBackShowsTheDefaultsAsUserValues) {
  for (const file_tables* f : {&kGlb, &kSession}) {
    SCOPED_TRACE(f->name);
    ini_tools__table read;
    std::set<std::string> dropped;
    std::string text = read_skeleton(*f, read, &dropped);
    ASSERT_EQ(text.find("unexpected"), std::string::npos) << text;
    ASSERT_NE(text.rfind("[", 0), std::string::npos) << text;

    ini_tools__table defaults = f->make();
    std::vector<shown> before = parse_display(display(*f, defaults));
    std::string after_text = display(*f, read);
    std::vector<shown> after = parse_display(after_text);
    EXPECT_EQ(cfg_test::check_golden(kGolden + f->name + "_roundtrip_display.txt", after_text), "");

    std::map<std::string, shown> default_of;
    for (const shown& s : before) default_of[s.section + "/" + s.name] = s;
    std::size_t compared = 0;
    for (const shown& s : after) {
      if (s.label == "undef") {
        // Only keywords the reader refused to take empty stay undefined.
        EXPECT_TRUE(dropped.count(s.name)) << s.name;
        continue;
      }
      EXPECT_EQ(s.label, "user") << s.section << " " << s.name;
      auto it = default_of.find(s.section + "/" + s.name);
      if (it == default_of.end()) continue;  // array elements: no default line
      EXPECT_EQ(s.value, it->second.value) << s.section << " " << s.name;
      ++compared;
    }
    // Every plain keyword of the file was compared.
    std::size_t plain = 0;
    for (const shown& s : before)
      if (s.label != "undef" || !dropped.count(s.name)) ++plain;
    EXPECT_GE(compared + dropped.size(), plain);
    EXPECT_GT(compared, 20u);
    // Each dropped keyword was undefined in the defaults.
    for (const std::string& name : dropped) {
      bool undefined = false;
      for (const shown& s : before)
        if (s.name == name && s.label == "undef") undefined = true;
      if (!undefined) {
        // Array element keywords are not in the defaults display.
        EXPECT_NE(after_text.find("    (undef)       " + name), std::string::npos) << name;
      }
    }
  }
}

TEST(AppFoipIniRead, GlobalFileWithOnlyTheSessionList) {
  cfg_test::temp_dir dir;
  std::string file = dir.write("glb.cfg",
                               "[[Session configurations]]\n{\n  session file name = /etc/Tessaly/session1.cfg\n}\n"
                               "{\n  fname session = /etc/Tessaly/Session2.cfg\n}\n");
  ini_tools__table table = app_foip_ini__new_glb_table();
  EXPECT_EQ(app_foip_ini__read_glb_cfg(file.c_str(), table.values()), 2);
  EXPECT_EQ(cfg_test::value_of(table.values(), glb_cfg::session_file_name, 1), "3:\"/etc/Tessaly/Session2.cfg\"");
  // Everything else keeps its default: the display holds user values only in
  // the session list.
  std::vector<shown> lines = parse_display(display(kGlb, table));
  std::size_t user = 0;
  for (const shown& s : lines) {
    if (s.label == "user") {
      ++user;
      EXPECT_EQ(s.section, "[[Session configurations]]");
    }
  }
  EXPECT_EQ(user, 2u);
}

TEST(AppFoipIniRead, ResultsOfTheReaders) {
  cfg_test::temp_dir dir;
  ini_tools__table glb = app_foip_ini__new_glb_table();
  ini_tools__table session = app_foip_ini__new_session_table();
  EXPECT_EQ(app_foip_ini__read_glb_cfg(dir.write("bad.cfg", "[General]\nbogus\n").c_str(), glb.values()), 3);
  EXPECT_EQ(app_foip_ini__read_glb_cfg((dir.path() + "/missing.cfg").c_str(), glb.values()), 3);
  EXPECT_EQ(
      app_foip_ini__read_session_cfg(
          dir.write("s.cfg", "[General]\nkind of session = GW\n[FAX Receive pages]\nfile name = /srv/In.tif\n").c_str(),
          session.values()),
      2);
  EXPECT_EQ(cfg_test::value_of(session.values(), session_cfg::kind_of_session), "3:71");
  EXPECT_EQ(cfg_test::value_of(session.values(), session_cfg::rcv_tiff_file_name), "3:\"/srv/In.tif\"");
  EXPECT_EQ(app_foip_ini__read_session_cfg(dir.write("s2.cfg", "[[FAX Send page]]\n{\n}\n").c_str(), session.values()),
            3);
}

TEST(AppFoipIniTables, CountsOfTheTables) {
  auto count_keywords = [](const ini_tools__keyword* k) {
    std::size_t n = 0;
    for (; k->names != nullptr; ++k) ++n;
    return n;
  };
  auto count_sections = [](const ini_tools__section* s) {
    std::size_t n = 0;
    for (; s->section_id != 0; ++s) ++n;
    return n;
  };
  auto count_records = [](const ini_tools__value* v, bool comments) {
    std::size_t n = 0;
    for (; v->value_id != 0; ++v)
      if ((v->state == INI_TOOLS__COMMENT) == comments) ++n;
    return n;
  };
  EXPECT_EQ(count_sections(app_foip_ini__glb_sections), 12u);
  EXPECT_EQ(count_keywords(app_foip_ini__glb_keywords), 55u);
  EXPECT_EQ(count_records(app_foip_ini__glb_defaults, false), 55u);
  EXPECT_EQ(count_records(app_foip_ini__glb_defaults, true), 1u);
  EXPECT_EQ(count_sections(app_foip_ini__session_sections), 15u);
  EXPECT_EQ(count_keywords(app_foip_ini__session_keywords), 132u);
  EXPECT_EQ(count_records(app_foip_ini__session_defaults, false) + count_records(app_foip_ini__session_defaults, true),
            142u);
  EXPECT_EQ(count_records(app_foip_ini__session_defaults, true), 10u);

  // Every keyword has its value record in its own section, of its own kind,
  // and every record but the comment entries has its keyword.
  for (const file_tables* f : {&kGlb, &kSession}) {
    SCOPED_TRACE(f->name);
    ini_tools__table t = f->make();
    for (const ini_tools__keyword* k = f->keywords; k->names != nullptr; ++k) {
      const ini_tools__value* found = nullptr;
      for (const ini_tools__value* v = t.values(); v->value_id != 0; ++v)
        if (v->value_id == k->value_id && v->section_id == k->section_id) found = v;
      ASSERT_NE(found, nullptr) << k->names[0].name;
      EXPECT_EQ(found->kind, k->kind) << k->names[0].name;
      bool section_known = false;
      for (const ini_tools__section* s = f->sections; s->section_id != 0; ++s)
        if (s->section_id == k->section_id) section_known = true;
      EXPECT_TRUE(section_known) << k->names[0].name;
    }
    std::set<std::pair<uint16_t, uint16_t>> seen;
    for (const ini_tools__value* v = t.values(); v->value_id != 0; ++v) {
      if (v->state == INI_TOOLS__COMMENT) continue;
      EXPECT_TRUE(seen.insert({v->section_id, v->value_id}).second) << v->value_id;
    }
  }
}

std::vector<uint16_t> g_traps;
void record_trap(uint16_t code, const char*) { g_traps.push_back(code); }

// A server area with its K-DB folder, the program log open at level 1 and the
// runtime's traps recorded.
class AppFoipIniLog : public ::testing::Test {
 protected:
  AppFoipIniLog() {
    mkdir((dir_.path() + "/K-DB").c_str(), 0777);
    SystemParameters() = SystemParams{};
    std::snprintf(SystemParameters().ServerArea, sizeof SystemParameters().ServerArea, "%s\\", dir_.path().c_str());
    InitialiseLog(1);
    g_traps.clear();
    om_os_set_trap_handler(&record_trap);
  }
  ~AppFoipIniLog() override {
    om_os_set_trap_handler(nullptr);
    InitialiseLog(6);
    SystemParameters() = SystemParams{};
    LogInit(nullptr, nullptr, 3, "TEST");
  }
  std::string program_log() const { return cfg_test::read_file(dir_.path() + "/K-DB/TESSALY.log"); }
  cfg_test::temp_dir dir_;
};

TEST_F(AppFoipIniLog, ConfigurationErrorIsLoggedAndTrapped) {
  ini_tools__table glb = app_foip_ini__new_glb_table();
  std::string file = dir_.write("glb.cfg", "[SIP]\nlocal SIP port = 70000\n");
  EXPECT_EQ(app_foip_ini__read_glb_cfg(file.c_str(), glb.values()), 3);
  EXPECT_EQ(g_traps, std::vector<uint16_t>{APP_FOIP_INI__TRAP_CONFIG_FILE});
  EXPECT_NE(program_log().find(" - app_foip_ini - error_monitor 1 : APP_FOIP: (error_monitor) Error into "
                               "configuration file : Bad parameter: local SIP port = 70000\n"),
            std::string::npos)
      << program_log();
}

TEST_F(AppFoipIniLog, ConfigurationDisplayOfTheGlobalFileAndEachSessionWithAFile) {
  ini_tools__table glb = app_foip_ini__new_glb_table();
  ini_tools__table s1 = app_foip_ini__new_session_table();
  ini_tools__table s3 = app_foip_ini__new_session_table();
  ASSERT_EQ(ini_tools__write_num(s3.values(), session_cfg::remote_sip_port, INI_TOOLS__NO_ELEMENT, 5062, nullptr),
            INI_TOOLS__OVERWRITTEN);
  const app_foip_ini__session_view sessions[] = {
      {"/etc/Tessaly/s1.cfg", 0, s1.values()}, {"", 1, s1.values()}, {"/etc/Tessaly/s3.cfg", 2, s3.values()}};
  std::string text = cfg_test::collect([&](const ini_tools__output_cb& out) {
    app_foip_ini__display_config("/etc/Tessaly/glb.cfg", glb.values(), sessions, 3, out);
    return INI_TOOLS__OUTPUT_OK;
  });
  EXPECT_EQ(text.rfind("--------------------------------------\nGlobal configuration\n    File name: "
                       "/etc/Tessaly/glb.cfg\n\n\n[General]\n",
                       0),
            0u);
  std::size_t one =
      text.find("Session #1 configuration\n    File name: /etc/Tessaly/s1.cfg\n    Nai      : 0\n\n\n[General]");
  std::size_t three = text.find("Session #3 configuration\n    File name: /etc/Tessaly/s3.cfg\n    Nai      : 2\n");
  EXPECT_NE(one, std::string::npos);
  EXPECT_NE(three, std::string::npos);
  EXPECT_EQ(text.find("Session #2"), std::string::npos);
  EXPECT_NE(text.find("(overwritten) remote SIP IP port", three), std::string::npos);
  EXPECT_EQ(text.substr(text.size() - 41), "\n\n--------------------------------------\n");
  std::string log = program_log();
  EXPECT_NE(log.find("app_foip_ini - app_foip_ini__display_config 1 :----"), std::string::npos);
  EXPECT_NE(log.find("app_foip_ini - app_foip_ini__display_config 2 :\n"), std::string::npos);
  EXPECT_NE(log.find("app_foip_ini - app_foip_ini__display_config 3 :\n"), std::string::npos);
}

TEST_F(AppFoipIniLog, HelpFileThatCannotBeCreatedIsTrapped) {
  EXPECT_EQ(app_foip_ini__write_help((dir_.path() + "/missing/help.txt").c_str()), 3);
  EXPECT_EQ(g_traps, std::vector<uint16_t>{APP_FOIP_INI__TRAP_HELP_FILE});
}

}  // namespace
