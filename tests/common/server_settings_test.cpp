// ReadSystemParams: locating KORVANE.INI, the folders of "[SERVER]" and
// their derivations, the options of K-DB\SETUP.INI and every status word.
#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/program_log.h"
#include "common/server_settings.h"
#include "common/support/temp_folder.h"
#include "platform/paths.h"
#include "platform/syslog.h"

namespace {

bool DropEvent(const char*, platform::EventSeverity, unsigned, const char*) { return true; }

using kvtest::ReadLines;
using kvtest::TempFolder;
using ::testing::Contains;
using ::testing::HasSubstr;

class SettingsTest : public ::testing::Test {
 protected:
  SettingsTest() {
    ini_ = tmp_.File("KORVANE.INI");
    setenv("KORVANE_INI_PATH", ini_.c_str(), 1);
    setenv("XDG_CONFIG_HOME", tmp_.File("xdg").c_str(), 1);
    unsetenv("KORVANE_CLIENT_INI_PATH");
    mkdir(tmp_.File("system").c_str(), 0777);
    mkdir(tmp_.File("system/K-DB").c_str(), 0777);
    LogInit(nullptr, tmp_.File("lib.log").c_str(), 3, "KV");
    platform::SetSystemEventWriter(&DropEvent);  // level-6 lines stay out of syslog
  }
  ~SettingsTest() override {
    unsetenv("KORVANE_INI_PATH");
    unsetenv("XDG_CONFIG_HOME");
    unsetenv("KORVANE_CLIENT_INI_PATH");
    platform::SetSystemEventWriter(nullptr);
    SystemParameters() = SystemParams{};
    LogInit(nullptr, nullptr, 3, "TEST");
  }
  // A [SERVER] paragraph whose system area is the temporary folder's "system".
  std::string SystemAreaLine() const { return "SystemArea: " + tmp_.File("system") + "\n"; }
  void WriteServerIni(const std::string& extra = "") {
    kvtest::WriteFile(ini_, "[SERVER]\n" + SystemAreaLine() + "RequestArea: /srv/req\nUserArea: /home/u1\n" + extra);
  }
  void WriteSetup(const std::string& text) { kvtest::WriteFile(tmp_.File("system/K-DB/SETUP.INI"), text); }
  std::vector<std::string> LibraryLines() const { return ReadLines(tmp_.File("lib.log")); }

  TempFolder tmp_;
  std::string ini_;
};

TEST_F(SettingsTest, MissingSettingsFile) {
  EXPECT_EQ(ReadSystemParams(nullptr), 0xF018);
  EXPECT_THAT(LibraryLines(), Contains(HasSubstr("(S) - ERROR - File KORVANE.INI not found")));
}

TEST_F(SettingsTest, ClientSettingsFileIsCopiedAndUsed) {
  const std::string client = tmp_.File("client.ini");
  kvtest::WriteFile(client, "[WORKSTATION]\n" + SystemAreaLine() + "RequestArea: /r\nAllUserArea: /a\n");
  setenv("KORVANE_CLIENT_INI_PATH", client.c_str(), 1);
  WriteSetup("");
  EXPECT_EQ(ReadSystemParams(nullptr), 0);
  EXPECT_TRUE(kvtest::Exists(tmp_.File("xdg/Halvorn/Korvane Client/KVCLIENT.INI")));
  EXPECT_STREQ(SystemParameters().RequestArea, "/r\\");
}

TEST_F(SettingsTest, ParagraphMissing) {
  kvtest::WriteFile(ini_, "[OTHER]\nSystemArea: /x\n");
  EXPECT_EQ(ReadSystemParams(nullptr), 0xF019);
  EXPECT_THAT(LibraryLines(), Contains(HasSubstr("(S) - ERROR - [SERVER] Paragraph missing from KORVANE.INI file")));
}

TEST_F(SettingsTest, AreasAndTheirDerivations) {
  struct Case {
    const char* name;
    std::string ini;
    StatusWord status;
    const char* system;
    const char* server;
    const char* mail;
    const char* all_user;
    int mail_given;
    std::vector<std::string> messages;
  };
  const Case cases[] = {
      {"server and mail derived from the system area",
       "[SERVER]\nSystemArea: E:\\FAX\\SYSTEM\nRequestArea: E:\\REQ\nAllUserArea: E:\\ALL\n",
       0xF026,
       "E:\\FAX\\SYSTEM\\",
       "E:\\FAX\\server\\",
       "E:\\FAX\\MAIL\\",
       "E:\\ALL\\",
       0,
       {"ERROR - Unable to open file E:\\FAX\\SYSTEM\\K-DB\\SETUP.INI"}},
      {"all-user area from the user area",
       "[SERVER]\nSystemArea=E:\\S\nServerArea=E:\\SRV\nMailArea: M:\\MAIL\nRequestArea: R:\\\nUserArea: "
       "D:\\USERS\\U1\n",
       0xF026,
       "E:\\S\\",
       "E:\\SRV\\",
       "M:\\MAIL\\",
       "D:\\USERS\\",
       1,
       {}},
      {"workstation paragraph when there is no server paragraph",
       "[WORKSTATION]\nSystemArea: E:\\S\nRequestArea: R:\\\nAllUserArea: A:\\\n",
       0xF026,
       "E:\\S\\",
       "E:\\server\\",
       "E:\\MAIL\\",
       "A:\\",
       0,
       {}},
      {"keys are read only inside the paragraph",
       "[SERVER]\nRequestArea: R:\\\n[OTHER]\nSystemArea: E:\\S\nAllUserArea: A:\\\n",
       0xF025,
       "",
       "",
       "",
       "",
       0,
       {"SystemArea line missing from KORVANE.INI file", "ServerArea line missing from KORVANE.INI file",
        "AllUserArea line missing from KORVANE.INI file"}},
      {"system area without parent",
       "[SERVER]\nSystemArea: SYSTEM\nRequestArea: R:\\\nAllUserArea: A:\\\n",
       0xF025,
       "SYSTEM\\",
       "",
       "",
       "A:\\",
       0,
       {"ServerArea line missing from KORVANE.INI file"}},
      {"request area missing",
       "[SERVER]\nSystemArea: E:\\S\nAllUserArea: A:\\\n",
       0xF025,
       "E:\\S\\",
       "E:\\server\\",
       "E:\\MAIL\\",
       "A:\\",
       0,
       {"RequestArea line missing from KORVANE.INI file"}},
      {"user area without parent",
       "[SERVER]\nSystemArea: E:\\S\nRequestArea: R:\\\nUserArea: U1\n",
       0xF025,
       "E:\\S\\",
       "E:\\server\\",
       "E:\\MAIL\\",
       "",
       0,
       {"AllUserArea line missing from KORVANE.INI file"}},
      {"folder value too long for its backslash",
       "[SERVER]\nSystemArea: /" + std::string(254, 's') + "\nRequestArea: R:\\\nAllUserArea: A:\\\n",
       0xF025,
       "",
       "",
       "",
       "A:\\",
       0,
       {"SystemArea line missing from KORVANE.INI file"}},
  };
  for (const Case& c : cases) {
    std::remove(tmp_.File("lib.log").c_str());
    kvtest::WriteFile(ini_, c.ini);
    EXPECT_EQ(ReadSystemParams(nullptr), c.status) << c.name;
    const SystemParams& p = SystemParameters();
    EXPECT_STREQ(p.SystemArea, c.system) << c.name;
    EXPECT_STREQ(p.ServerArea, c.server) << c.name;
    EXPECT_STREQ(p.MailArea, c.mail) << c.name;
    EXPECT_STREQ(p.AllUserArea, c.all_user) << c.name;
    EXPECT_EQ(p.MailAreaGiven, c.mail_given) << c.name;
    for (const std::string& m : c.messages) {
      EXPECT_THAT(LibraryLines(), Contains(HasSubstr("(S) - " + m))) << c.name;
    }
  }
}

TEST_F(SettingsTest, OptionsOfSetupIni) {
  WriteServerIni();
  WriteSetup(
      "[WORKSTATION]\nAutoEnrolClient: yes\n"
      "[OPTIONS]\n"
      "LogKeepDays: 14\n"
      "LogLevel:5\n"  // no blank after the colon: not the key "LogLevel: "
      "Language: 1031\n"
      "ServerProgSleepMS: 250\n"
      "EPSMaxCheckChars: 123456\n"
      "DetectEpson: no\n");
  FILE* setup = nullptr;
  ASSERT_EQ(ReadSystemParams(&setup), 0);
  ASSERT_NE(setup, nullptr);
  EXPECT_EQ(std::ftell(setup), 0);  // handed over rewound
  std::fclose(setup);
  const SystemParams& p = SystemParameters();
  EXPECT_EQ(p.AutoEnrolClient, 1);
  EXPECT_EQ(p.LogKeepDays, 14);
  EXPECT_EQ(p.LogLevel, 3);
  EXPECT_EQ(p.Language, 0x407);
  EXPECT_STREQ(p.LanguageCode, "DEU");
  EXPECT_EQ(p.ServerProgSleepMS, 250);
  EXPECT_EQ(p.ServiceStartTimeout, 600);
  EXPECT_EQ(p.EPSMaxCheckChars, 123456u);
  EXPECT_EQ(p.EPSMaxCheckEscs, 200u);
  EXPECT_EQ(p.DetectEpson, 0);
  EXPECT_STREQ(p.DevicesParagraph, "[DEVICES]");
  EXPECT_EQ(p.FailoverTimeout, 2);
  EXPECT_EQ(p.FailoverStartupTimeout, 5);
  const std::string server_area = tmp_.File("server") + "\\";
  EXPECT_STREQ(p.ServerArea, server_area.c_str());
  EXPECT_EQ(std::string(p.LogFile), server_area + "K-DB\\SERVER.LOG");
  EXPECT_STREQ(p.AllUserArea, "/home/");
}

TEST_F(SettingsTest, LanguageAndLogFileCases) {
  struct Case {
    std::string options;
    std::uint16_t language;
    const char* code;
    std::string log_file;  // "@" stands for ServerArea + "K-DB\"
  };
  const std::string long_name(260, 'n');
  const Case cases[] = {
      {"Language: 1034\n", 0x40A, "ESP", "@SERVER.LOG"},
      {"Language: 1036\n", 0x40C, "FRA", "@SERVER.LOG"},
      {"Language: 1040\n", 0x410, "ITA", "@SERVER.LOG"},
      {"Language: 2057\n", 0x409, "ENG", "@SERVER.LOG"},
      {"LogFile: MY.LOG\n", 0xFFFF, "ENG", "@MY.LOG"},
      {"LogFile: /var/log/korvane.log\n", 0xFFFF, "ENG", "/var/log/korvane.log"},
      {"LogFile: " + long_name + "\n", 0xFFFF, "ENG", ""},
  };
  for (const Case& c : cases) {
    WriteServerIni();
    WriteSetup("[OPTIONS]\n" + c.options);
    ASSERT_EQ(ReadSystemParams(nullptr), 0) << c.options;
    const SystemParams& p = SystemParameters();
    const std::uint16_t expected_language = c.language == 0xFFFF ? platform::SystemLanguageId() : c.language;
    EXPECT_EQ(p.Language, expected_language) << c.options;
    EXPECT_STREQ(p.LanguageCode, c.code) << c.options;
    std::string expected = c.log_file;
    if (!expected.empty() && expected[0] == '@') expected = std::string(p.ServerArea) + "K-DB\\" + expected.substr(1);
    EXPECT_EQ(std::string(p.LogFile), expected) << c.options;
  }
  EXPECT_THAT(LibraryLines(), Contains(HasSubstr("(S) - Invalid log file name '")));
}

TEST_F(SettingsTest, FailoverCases) {
  const std::string me = platform::ComputerName();
  ASSERT_FALSE(me.empty());
  struct Case {
    std::string failover;
    const char* paragraph;
    int timeout;
    int startup;
  };
  const Case cases[] = {
      {"", "[DEVICES]", 2, 5},
      {"PrimaryServer: " + me + " [MYDEVICES]\n", "[MYDEVICES]", 2, 5},
      {"PrimaryServer: " + me + "\n", "[DEVICES]", 2, 5},
      {"BackupServer: " + me + "\n", "[DEVICES-BACKUP]", 2, 5},
      {"PrimaryServer: " + me + " [P]\nBackupServer: " + me + " [B]\n", "[B]", 2, 5},
      {"PrimaryServer: other-host [P]\n", "[DEVICES]", 2, 5},
      {"Timeout: 31\nStartupTimeout: 4\n", "[DEVICES]", 2, 5},
      {"Timeout: 30\nStartupTimeout: 20\n", "[DEVICES]", 30, 20},
      {"Timeout: 0\nStartupTimeout: 21\n", "[DEVICES]", 2, 5},
      {"Timeout: 1\nStartupTimeout: 5\n", "[DEVICES]", 1, 5},
  };
  for (const Case& c : cases) {
    WriteServerIni();
    WriteSetup("[FAILOVER]\n" + c.failover);
    ASSERT_EQ(ReadSystemParams(nullptr), 0) << c.failover;
    const SystemParams& p = SystemParameters();
    EXPECT_STREQ(p.DevicesParagraph, c.paragraph) << c.failover;
    EXPECT_EQ(p.FailoverTimeout, c.timeout) << c.failover;
    EXPECT_EQ(p.FailoverStartupTimeout, c.startup) << c.failover;
  }
}

TEST_F(SettingsTest, ParentFolderCases) {
  struct Case {
    const char* folder;
    int ok;
    const char* parent;
  };
  const Case cases[] = {
      {"E:\\FAX\\SYSTEM\\", 1, "E:\\FAX\\"},
      {"D:\\USERS\\U1", 1, "D:\\USERS\\"},
      {"/srv/fax/SYSTEM\\", 1, "/srv/fax/"},
      {"E:\\SYSTEM\\", 1, "E:\\"},
      {"SYSTEM\\", 0, ""},
      {"", 0, ""},
  };
  for (const Case& c : cases) {
    char parent[64] = "";
    EXPECT_EQ(ParentFolder(c.folder, parent, sizeof parent), c.ok) << c.folder;
    EXPECT_STREQ(parent, c.parent) << c.folder;
  }
}

}  // namespace
