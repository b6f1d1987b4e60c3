// Server paths to Linux paths, the INI and mailslot locations from the
// environment, folders and the language id; local time and its test source;
// the system event writer.
#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include <gtest/gtest.h>

#include "common/support/temp_folder.h"
#include "platform/local_time.h"
#include "platform/paths.h"
#include "platform/syslog.h"

namespace {

TEST(Paths, ServerPathToLinuxPath) {
  struct Case {
    const char* in;
    const char* out;
  };
  const Case cases[] = {
      {"K-DB\\SETUP.INI", "K-DB/SETUP.INI"},
      {"E:\\FAX\\SYSTEM\\", "/FAX/SYSTEM/"},
      {"c:\\x", "/x"},
      {".\\Tessaly\\glb.cfg", "./Tessaly/glb.cfg"},
      {"/srv/Fax\\K-DB\\SERVER.log", "/srv/Fax/K-DB/SERVER.log"},  // case kept
      {"", ""},
      {"1:\\x", "1:/x"},  // not a drive letter
  };
  for (const Case& c : cases) EXPECT_EQ(platform::ToLinuxPath(c.in), c.out) << c.in;
}

TEST(Paths, LocationsFromTheEnvironment) {
  unsetenv("KORVANE_INI_PATH");
  unsetenv("KORVANE_MAILSLOT_DIR");
  EXPECT_EQ(platform::ServerIniPath(), "/var/lib/korvane/KORVANE.INI");
  EXPECT_EQ(platform::MailslotDirectory(), "/var/lib/korvane/mailslot");
  setenv("KORVANE_INI_PATH", "/etc/k/KORVANE.INI", 1);
  setenv("KORVANE_MAILSLOT_DIR", "/run/k/slots//", 1);
  EXPECT_EQ(platform::ServerIniPath(), "/etc/k/KORVANE.INI");
  EXPECT_EQ(platform::MailslotDirectory(), "/run/k/slots");
  setenv("KORVANE_INI_PATH", "", 1);
  EXPECT_EQ(platform::ServerIniPath(), "/var/lib/korvane/KORVANE.INI");
  unsetenv("KORVANE_INI_PATH");
  unsetenv("KORVANE_MAILSLOT_DIR");
}

TEST(Paths, MakeFoldersAndFileExists) {
  kvtest::TempFolder tmp;
  EXPECT_TRUE(platform::MakeFolders(tmp.File("a/b/c"), 0755));
  EXPECT_TRUE(platform::MakeFolders(tmp.File("a/b/c"), 0755));
  EXPECT_FALSE(platform::FileExists(tmp.File("a/b/c")));
  kvtest::WriteFile(tmp.File("a/file"), "x");
  EXPECT_TRUE(platform::FileExists(tmp.File("a/file")));
  EXPECT_FALSE(platform::MakeFolders(tmp.File("a/file/d"), 0755));
  struct stat st {};
  ASSERT_EQ(stat(tmp.File("a/b").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u);
}

TEST(Paths, LanguageIdFromLocale) {
  struct Case {
    const char* lang;
    unsigned short id;
  };
  const Case cases[] = {{"es_ES.UTF-8", 0x40A}, {"de_DE", 0x407}, {"fr_CA", 0x40C},
                        {"it_IT", 0x410},       {"en_GB", 0x409}, {"C", 0x409}};
  const char* saved_all = std::getenv("LC_ALL");
  const std::string keep = saved_all ? saved_all : "";
  for (const Case& c : cases) {
    setenv("LC_ALL", c.lang, 1);
    EXPECT_EQ(platform::SystemLanguageId(), c.id) << c.lang;
  }
  if (saved_all) setenv("LC_ALL", keep.c_str(), 1);
  else unsetenv("LC_ALL");
}

TEST(LocalTime, MatchesTheSystemClockAndCanBeReplaced) {
  const std::time_t now = std::time(nullptr);
  std::tm t{};
  localtime_r(&now, &t);
  const platform::LocalTime lt = platform::GetLocalTime();
  EXPECT_EQ(lt.year, t.tm_year + 1900);
  EXPECT_EQ(lt.month, t.tm_mon + 1);
  EXPECT_GE(lt.millisecond, 0);
  EXPECT_LT(lt.millisecond, 1000);
  {
    kvtest::FixedLocalTime fixed(kvtest::MakeTime(1999, 12, 31, 23, 59, 58));
    EXPECT_EQ(platform::GetLocalTime().year, 1999);
    EXPECT_EQ(platform::GetLocalTime().second, 58);
  }
  EXPECT_EQ(platform::GetLocalTime().year, t.tm_year + 1900);
}

TEST(SystemEvent, WriterCanBeReplacedAndSyslogAcceptsEntries) {
  static int calls = 0;
  platform::SetSystemEventWriter([](const char*, platform::EventSeverity, unsigned, const char*) {
    ++calls;
    return false;
  });
  EXPECT_FALSE(platform::WriteSystemEvent("Korvane Server", platform::EventSeverity::kError, 0xD803, "x"));
  EXPECT_EQ(calls, 1);
  platform::SetSystemEventWriter(nullptr);
  EXPECT_TRUE(platform::WriteSystemEvent("Korvane Server", platform::EventSeverity::kInformation, 0x5801,
                                         "platform test entry"));
}

}  // namespace
