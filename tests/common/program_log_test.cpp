// Program log (TESSALY.log), log library (SERVER.LOG), event log hand-over
// and the daily message log.
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/event_log.h"
#include "common/program_log.h"
#include "common/server_settings.h"
#include "common/support/temp_folder.h"
#include "platform/syslog.h"

namespace {

using kvtest::FixedLocalTime;
using kvtest::MakeTime;
using kvtest::ReadLines;
using kvtest::TempFolder;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

struct EventEntry {
  platform::EventSeverity severity;
  unsigned id;
  std::string text;
};
std::vector<EventEntry> g_events;
bool RecordEvent(const char* ident, platform::EventSeverity severity, unsigned id, const char* text) {
  EXPECT_STREQ(ident, "Korvane Server");
  g_events.push_back({severity, id, text});
  return true;
}

// A server area in a temporary folder with its K-DB folder, a fixed clock
// (2026-03-07 09:05:04) and the event log captured.
class LogTest : public ::testing::Test {
 protected:
  LogTest() : clock_(MakeTime(2026, 3, 7, 9, 5, 4)) {
    mkdir(tmp_.File("K-DB").c_str(), 0777);
    SystemParams& p = SystemParameters();
    p = SystemParams{};
    std::snprintf(p.ServerArea, sizeof p.ServerArea, "%s", tmp_.ServerPath().c_str());
    g_events.clear();
    platform::SetSystemEventWriter(&RecordEvent);
  }
  ~LogTest() override {
    platform::SetSystemEventWriter(nullptr);
    SystemParameters() = SystemParams{};
    LogInit(nullptr, nullptr, 3, "TEST");
  }
  std::string ProgramFile() const { return tmp_.File("K-DB/TESSALY.log"); }
  std::string ServerFile() const { return tmp_.File("K-DB/SERVER.LOG"); }
  std::string DailyFile(const char* name) const { return tmp_.File(std::string("K-DB/") + name); }

  TempFolder tmp_;
  FixedLocalTime clock_;
};

TEST_F(LogTest, ProgramLogLineHasTimePrefixAndLibraryLineHasIdentifierAndLetter) {
  InitialiseLog(3);
  ProgramLog(3, "Tessaly - Version %s", "15.0.930");
  EXPECT_THAT(ReadLines(ProgramFile()), ElementsAre("26-03-07 09:05:04 - Tessaly - Version 15.0.930"));
  EXPECT_THAT(ReadLines(ServerFile()), ElementsAre("26-03-07 09:05:04  TESSALY    - (I) - Tessaly - Version 15.0.930"));
}

TEST_F(LogTest, ProgramLogThresholdAndHandOver) {
  InitialiseLog(3);
  ProgramLog(2, "trace line");     // below the threshold: nowhere
  ProgramLog(4, "warning %d", 7);  // both files
  EXPECT_THAT(ReadLines(ProgramFile()), ElementsAre("26-03-07 09:05:04 - warning 7"));
  EXPECT_THAT(ReadLines(ServerFile()), ElementsAre("26-03-07 09:05:04  TESSALY    - (W) - warning 7"));

  InitialiseLog(1);  // the program log is emptied at each start
  ProgramLog(1, "detail");
  EXPECT_THAT(ReadLines(ProgramFile()), ElementsAre("26-03-07 09:05:04 - detail"));
  // Levels 1 and 2 stay in the program log.
  EXPECT_EQ(ReadLines(ServerFile()).size(), 1u);
}

TEST_F(LogTest, ProgramLogCutsLongLinesTo150WithDots) {
  InitialiseLog(1);
  struct Case {
    std::size_t text_length;  // the prefix adds 20
    std::size_t written;
    bool dots;
  };
  const Case cases[] = {
      {128, 148, false}, {129, 149, false}, {130, 150, true},
      {131, 150, true},  {4990, 150, true}, {20000, 150, true},  // beyond the line buffer
  };
  for (const Case& c : cases) {
    InitialiseLog(1);
    const std::string text(c.text_length, 'x');
    ProgramLog(1, "%s", text.c_str());
    const auto lines = ReadLines(ProgramFile());
    ASSERT_EQ(lines.size(), 1u) << c.text_length;
    EXPECT_EQ(lines[0].size(), c.written) << c.text_length;
    const bool ends_with_dots = lines[0].size() >= 3 && lines[0].compare(lines[0].size() - 3, 3, "...") == 0;
    EXPECT_EQ(ends_with_dots, c.dots) << c.text_length;
    if (c.dots) {
      EXPECT_EQ(lines[0].substr(20, 127), std::string(127, 'x'));
    }
  }
}

TEST_F(LogTest, ProgramLogWithoutOpenFileStillFeedsLibrary) {
  // Before InitialiseLog only level-6 lines pass, and they reach the event log.
  LogInit(nullptr, nullptr, 3, "TESSALY");
  ProgramLog(5, "dropped");
  ProgramLog(6, "system line");
  ASSERT_EQ(g_events.size(), 1u);
  EXPECT_EQ(g_events[0].text, "system line");
}

TEST_F(LogTest, MissingLogFolderLeavesProgramLogOffAndCountsLibraryLines) {
  std::filesystem::remove_all(tmp_.File("K-DB"));
  InitialiseLog(3);
  testing::internal::CaptureStdout();
  ProgramLog(3, "nowhere to go");
  const std::string console = testing::internal::GetCapturedStdout();
  EXPECT_THAT(console, HasSubstr("TESSALY    - ERROR opening file '" + tmp_.ServerPath() + "K-DB\\SERVER.LOG' (2)"));
  EXPECT_FALSE(kvtest::Exists(ProgramFile()));
  EXPECT_EQ(LogLostLineCount(), 1);
  mkdir(tmp_.File("K-DB").c_str(), 0777);
  ProgramLog(3, "back");
  EXPECT_FALSE(kvtest::Exists(ProgramFile()));  // stays off until the next start
  EXPECT_THAT(ReadLines(ServerFile()), ElementsAre("26-03-07 09:05:04  TESSALY    - (E) - (1 system message lost)",
                                                   "26-03-07 09:05:04  TESSALY    - (I) - back"));
}

TEST_F(LogTest, LibraryLevelLetters) {
  LogInit(nullptr, ServerFile().c_str(), 0, "KV");
  SystemParameters().LogLevel = 0;
  for (int level = 0; level <= 7; ++level) LogMessage(level, "level %d", level);
  EXPECT_THAT(
      ReadLines(ServerFile()),
      ElementsAre("26-03-07 09:05:04  KV         - (?) - level 0", "26-03-07 09:05:04  KV         - (.) - level 1",
                  "26-03-07 09:05:04  KV         - (-) - level 2", "26-03-07 09:05:04  KV         - (I) - level 3",
                  "26-03-07 09:05:04  KV         - (W) - level 4", "26-03-07 09:05:04  KV         - (E) - level 5",
                  "26-03-07 09:05:04  KV         - (S) - level 6", "26-03-07 09:05:04  KV         - (?) - level 7"));
}

TEST_F(LogTest, LibraryLinePassesWhenItReachesEitherThreshold) {
  struct Case {
    int lib_level, option_level, line_level;
    bool written;
  };
  const Case cases[] = {
      {3, 3, 2, false}, {3, 3, 3, true}, {5, 3, 3, true},  {5, 4, 3, false},
      {2, 5, 2, true},  {5, 2, 2, true}, {6, 6, 5, false}, {6, 6, 6, true},
  };
  for (const Case& c : cases) {
    std::remove(ServerFile().c_str());
    LogInit(nullptr, ServerFile().c_str(), c.lib_level, "KV");
    SystemParameters().LogLevel = static_cast<std::int16_t>(c.option_level);
    LogMessage(c.line_level, "x");
    EXPECT_EQ(ReadLines(ServerFile()).size(), c.written ? 1u : 0u)
        << c.lib_level << " " << c.option_level << " " << c.line_level;
  }
}

TEST_F(LogTest, LibraryIdentifierIsCutOrPaddedToTen) {
  testing::internal::CaptureStdout();
  LogInit(nullptr, ServerFile().c_str(), 3, "ABCDEFGHIJKLM");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "LogInit() - warning: szID too long\n");
  EXPECT_STREQ(LogLibraryId(), "ABCDEFGHIJ");
  LogInit(nullptr, ServerFile().c_str(), 3, "");
  EXPECT_STREQ(LogLibraryId(), "          ");
  testing::internal::CaptureStdout();
  LogInit(nullptr, "", 3, "X");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "LogInit() - szFileName and fp both NULL\n");
}

TEST_F(LogTest, LibraryFileNameTooLongEndsTheProcess) {
  const std::string name(269, 'n');
  EXPECT_EXIT(LogInit(nullptr, name.c_str(), 3, "KV"), ::testing::ExitedWithCode(1), "");
  const std::string longest = tmp_.ServerPath() + std::string(268 - tmp_.ServerPath().size(), 'n');
  LogInit(nullptr, longest.c_str(), 3, "KV");  // 268 characters are accepted
  SUCCEED();
}

TEST_F(LogTest, LibraryLineIsCutAt199Characters) {
  LogInit(nullptr, ServerFile().c_str(), 3, "KV");
  const std::string text(400, 'y');
  LogMessage(3, "%s", text.c_str());
  const auto lines = ReadLines(ServerFile());
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].size(), 199u);
}

TEST_F(LogTest, LibraryWritesToAnExtraStream) {
  const std::string extra = tmp_.File("extra.log");
  FILE* f = std::fopen(extra.c_str(), "w");
  ASSERT_NE(f, nullptr);
  LogInit(f, nullptr, 3, "KV");
  LogMessage(4, "to the stream");
  std::fclose(f);
  LogInit(nullptr, nullptr, 3, "KV");
  EXPECT_THAT(ReadLines(extra), ElementsAre("26-03-07 09:05:04  KV         - (W) - to the stream"));
}

TEST_F(LogTest, LostLinesAreCountedAndReportedBeforeTheNextLine) {
  const std::string missing_folder_file = tmp_.File("later/SERVER.LOG");
  struct Case {
    int failures;
    const char* notice;
  };
  const Case cases[] = {
      {1, "26-03-07 09:05:04  KV         - (E) - (1 system message lost)"},
      {2, "26-03-07 09:05:04  KV         - (E) - (2 system messages lost)"},
  };
  for (const Case& c : cases) {
    std::filesystem::remove_all(tmp_.File("later"));
    LogInit(nullptr, missing_folder_file.c_str(), 3, "KV");
    testing::internal::CaptureStdout();
    for (int i = 0; i < c.failures; ++i) LogMessage(3, "lost %d", i);
    const std::string console = testing::internal::GetCapturedStdout();
    EXPECT_THAT(console, HasSubstr("KV         - ERROR opening file '" + missing_folder_file + "' (2)"));
    EXPECT_EQ(LogLostLineCount(), c.failures);

    mkdir(tmp_.File("later").c_str(), 0777);
    LogMessage(5, "back again");
    EXPECT_THAT(ReadLines(missing_folder_file),
                ElementsAre(c.notice, "26-03-07 09:05:04  KV         - (E) - back again"));
    EXPECT_EQ(LogLostLineCount(), 0);
  }
}

TEST_F(LogTest, ConsoleLineFormat) {
  LogInit(nullptr, nullptr, 3, "TESSALY");
  testing::internal::CaptureStdout();
  LogConsole("hello %s", "there");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "09:05:04  TESSALY    - hello there\n");
}

TEST_F(LogTest, EventLogGetsLevelSixAndForcedLinesWithIdByLevel) {
  LogInit(nullptr, nullptr, 1, "KV");
  LogMessage(5, "not forced");
  EXPECT_TRUE(g_events.empty());
  LogMessage(6, "system \"quoted\"");
  LogForceEventLog();
  LogMessage(4, "forced warning");
  LogMessage(4, "force was one shot");
  LogForceEventLog();
  LogMessage(3, "forced info");
  LogForceEventLog();
  LogMessage(2, "forced trace");
  ASSERT_EQ(g_events.size(), 4u);
  EXPECT_EQ(g_events[0].id, 0xD803u);
  EXPECT_EQ(g_events[0].severity, platform::EventSeverity::kError);
  EXPECT_EQ(g_events[0].text, "system 'quoted'");
  EXPECT_EQ(g_events[1].id, 0x9802u);
  EXPECT_EQ(g_events[1].severity, platform::EventSeverity::kWarning);
  EXPECT_EQ(g_events[2].id, 0x5801u);
  EXPECT_EQ(g_events[2].severity, platform::EventSeverity::kInformation);
  EXPECT_EQ(g_events[3].id, 0x5801u);
}

TEST_F(LogTest, ForcedLineBelowThresholdsConsumesTheForceWithoutReporting) {
  LogInit(nullptr, nullptr, 3, "KV");
  LogForceEventLog();
  LogMessage(1, "dropped");
  LogMessage(3, "not forced any more");
  EXPECT_TRUE(g_events.empty());
}

TEST_F(LogTest, DailyMessageLogRecordFormat) {
  SystemParameters().LogKeepDays = 7;
  InitialiseLog(3);
  ProgramLog(3, "said \"hi\"");
  ProgramLog(5, "an error");
  ProgramLog(4, "a warning");
  EXPECT_THAT(
      ReadLines(DailyFile("K-260307.LOG")),
      ElementsAre("5801: 26-03-07 09:05:04,TESSALY   ,        ,00000000,0  ,0000,LIB_I_INFO          ,\"said 'hi'\"",
                  "D803: 26-03-07 09:05:04,TESSALY   ,        ,00000000,0  ,0000,LIB_E_ERROR         ,\"an error\"",
                  "9802: 26-03-07 09:05:04,TESSALY   ,        ,00000000,0  ,0000,LIB_W_WARNING       ,\"a warning\""));
}

TEST_F(LogTest, DailyMessageLogCarriesTheContext) {
  SystemParameters().LogKeepDays = 1;
  LogInit(nullptr, ServerFile().c_str(), 3, "MARROCK");
  LogSetMessageLogContext("FAX1-2", "MSG00042", 0x10203, -7, 0x2A);
  LogMessage(4, "job line");
  LogSetMessageLogContext("", "", 0, 0, 0);
  LogMessage(3, "no job");
  EXPECT_THAT(
      ReadLines(DailyFile("K-260307.LOG")),
      ElementsAre("9802: 26-03-07 09:05:04,FAX1-2    ,MSG00042,00010203,-7 ,002A,LIB_W_WARNING       ,\"job line\"",
                  "5801: 26-03-07 09:05:04,MARROCK   ,        ,00000000,0  ,0000,LIB_I_INFO          ,\"no job\""));
}

TEST_F(LogTest, DailyMessageLogOnlyWhenSwitchedOnAndForLevelThreeUp) {
  struct Case {
    std::uint16_t keep_days;
    int lib_level;
    int line_level;
    bool record;
  };
  const Case cases[] = {
      {0, 1, 5, false},
      {1, 1, 2, false},
      {1, 1, 3, true},
      {30, 1, 6, true},
  };
  for (const Case& c : cases) {
    std::remove(DailyFile("K-260307.LOG").c_str());
    SystemParameters().LogKeepDays = c.keep_days;
    LogInit(nullptr, ServerFile().c_str(), c.lib_level, "KV");
    LogMessage(c.line_level, "line");
    EXPECT_EQ(kvtest::Exists(DailyFile("K-260307.LOG")), c.record) << c.keep_days << " " << c.line_level;
  }
  // Without a library file name there is no message log either.
  std::remove(DailyFile("K-260307.LOG").c_str());
  LogInit(nullptr, nullptr, 1, "KV");
  LogMessage(5, "line");
  EXPECT_FALSE(kvtest::Exists(DailyFile("K-260307.LOG")));
}

TEST_F(LogTest, DailyMessageLogChangesFileAtMidnight) {
  SystemParameters().LogKeepDays = 1;
  LogInit(nullptr, ServerFile().c_str(), 3, "KV");
  clock_.Set(MakeTime(2026, 12, 31, 23, 59, 59));
  LogMessage(3, "old year");
  clock_.Set(MakeTime(2027, 1, 1, 0, 0, 0));
  LogMessage(3, "new year");
  const auto old_day = ReadLines(DailyFile("K-261231.LOG"));
  const auto new_day = ReadLines(DailyFile("K-270101.LOG"));
  ASSERT_EQ(old_day.size(), 1u);
  ASSERT_EQ(new_day.size(), 1u);
  EXPECT_THAT(old_day[0], HasSubstr("26-12-31 23:59:59,KV"));
  EXPECT_THAT(new_day[0], HasSubstr("27-01-01 00:00:00,KV"));
}

TEST_F(LogTest, DailyMessageLogOpenFailureIsLoggedOnceWithoutLooping) {
  SystemParameters().LogKeepDays = 1;
  LogInit(nullptr, ServerFile().c_str(), 3, "KV");
  // A folder in place of today's file makes the open fail.
  mkdir(DailyFile("K-260307.LOG").c_str(), 0777);
  LogMessage(3, "first");
  EXPECT_THAT(ReadLines(ServerFile()),
              ElementsAre("26-03-07 09:05:04  KV         - (I) - first",
                          "26-03-07 09:05:04  KV         - (E) - Error opening message log file"));
  // The guard is back for the next line.
  LogMessage(3, "second");
  EXPECT_EQ(ReadLines(ServerFile()).size(), 4u);
}

TEST_F(LogTest, WriteMessageLogWithNumbersAndWithoutText) {
  EXPECT_EQ(WriteMessageLog(0x1234, "NAME", "PROGRAMNAME-LONG", "JOB", 0xABCDEF, -12, 0xBEEF, nullptr), 1);
  const char* empty_format = "";
  EXPECT_EQ(WriteMessageLog(0x1, "N", "P", "JOBNAME-TOO-LONG", 1, 123, 2, empty_format), 1);
  EXPECT_THAT(ReadLines(DailyFile("K-260307.LOG")),
              ElementsAre("1234: 26-03-07 09:05:04,PROGRAMNAM,JOB     ,00ABCDEF,-12,BEEF,NAME                ",
                          "0001: 26-03-07 09:05:04,P         ,JOBNAME-,00000001,123,0002,N                   "));
}

}  // namespace
