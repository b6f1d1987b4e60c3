// Trace module: event routing, the event and T.38 trace files (names,
// rotation, deletion, resumption, headers, closing lines, failures) and the
// batch progress line.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>

#include "common/program_log.h"
#include "common/server_settings.h"
#include "platform/paths.h"
#include "session/trace/foip_trc.h"
#include "session/config/support/cfg_test_support.h"

namespace {

std::mutex console_mu;
std::string console_text;
void capture(const char* t) {
  std::lock_guard<std::mutex> l(console_mu);
  console_text += t;
}

using cfg_test::count_of;
using cfg_test::read_file;

class Trc : public ::testing::Test {
 protected:
  cfg_test::temp_dir dir;

  void SetUp() override {
    console_text.clear();
    foip_trc__set_console(capture);
    foip_trc__init();
  }
  void TearDown() override {
    foip_trc__shutdown();
    foip_trc__set_console(nullptr);
  }
  std::string at(const std::string& name) const { return dir.path() + "/" + name; }
  bool exists(const std::string& name) const { return platform::FileExists(at(name)); }
  std::string file(const std::string& name) const { return read_file(at(name)); }

  // Global settings with an event file.
  foip_trc__glb_settings glb(u16 record, u16 limit, u8 files, u16 display = 0) const {
    foip_trc__glb_settings s;
    s.display_event_bfi = display;
    s.record_event_bfi = record;
    s.event = {at("glb"), limit, files, 0};
    return s;
  }
  foip_trc__session_settings ses(u16 record, u16 limit, u8 files, u16 display = 0) const {
    foip_trc__session_settings s;
    s.user_string = "[User info: nai 3]";
    s.display_event_bfi = display;
    s.record_event_bfi = record;
    s.event = {at("ses"), limit, files, 0};
    return s;
  }
  // Writes about `bytes` of event text in class 1 and flushes.
  void fill(size_t bytes, nai_t nai = 0xFFFF, u16 cls = FOIP__CNF_GLB) {
    const std::string line(199, 'e');
    for (size_t done = 0; done < bytes; done += 200) {
      foip_trc__print_event(nai, cls, (line + "\n").c_str());
      if ((done / 200) % 1000 == 999) foip_trc__flush_events();
    }
    foip_trc__flush_events();
  }
};

TEST_F(Trc, GlobalEventFileRotatesAndKeepsTheConfiguredCount) {
  foip_trc__set_glb_settings(glb(FOIP__CNF_GLB, 1, 3));
  ASSERT_EQ(foip_trc__open_glb_event_file(), OM_OS_OK);
  const std::string first = file("glb_0");
  EXPECT_EQ(first.rfind("Log_File_counter: 0\n--------------------------------\n\n", 0), 0u);
  EXPECT_NE(first.find("\n---------------\n Global Events\n---------------\n  Filename                : "),
            std::string::npos);
  // Four rotations: base_1 goes with the fourth, base_2..base_4 stay.
  fill(4 * 102400 + 1000);
  EXPECT_FALSE(exists("glb_0"));
  EXPECT_FALSE(exists("glb_1"));
  for (const char* n : {"glb_2", "glb_3", "glb_4"}) EXPECT_TRUE(exists(n)) << n;
  EXPECT_EQ(file("glb_4").rfind("Log_File_counter: 4\n", 0), 0u);
  EXPECT_EQ(file("glb_3").rfind("Log_File_counter: 3\n", 0), 0u);
  EXPECT_GE(file("glb_3").size(), 102400u);
  foip_trc__close_glb_event_file();
  const std::string last = file("glb_4");
  EXPECT_NE(last.find("----------------------\n Global Events closed\n  Date (YY/MM/DD) : "), std::string::npos);
  EXPECT_EQ(last.substr(last.size() - 30), "\n----------------------------\n");
}

TEST_F(Trc, GlobalEventFileAppendsToItsFirstFileAndDeletesTheOthers) {
  std::ofstream(at("glb_0")) << "old text\n";
  std::ofstream(at("glb_1")) << "older run\n";
  foip_trc__set_glb_settings(glb(FOIP__CNF_GLB, 1, 3));
  ASSERT_EQ(foip_trc__open_glb_event_file(), OM_OS_OK);
  EXPECT_FALSE(exists("glb_1"));
  EXPECT_EQ(file("glb_0").rfind("old text\n\n---------------\n Global Events", 0), 0u);
}

TEST_F(Trc, NoLimitWritesTheBaseNameWithoutCounterLine) {
  foip_trc__set_glb_settings(glb(FOIP__CNF_GLB, FOIP_TRC__LIMIT_NONE, 3));
  ASSERT_EQ(foip_trc__open_glb_event_file(), OM_OS_OK);
  foip_trc__print_event(0xFFFF, FOIP__CNF_GLB, "hello\n");
  foip_trc__flush_events();
  EXPECT_FALSE(exists("glb_0"));
  const std::string t = file("glb");
  EXPECT_EQ(t.find("Log_File_counter:"), std::string::npos);
  EXPECT_NE(t.find("hello\n"), std::string::npos);
}

TEST_F(Trc, SessionEventFileResumesAcrossTheWrap) {
  struct resume_case {
    const char* what;
    std::vector<int> existing;
    u8 kept;
    const char* continues_in;
    std::vector<int> deleted;
    const char* next_counter;  // first line of the file opened by the next rotation
    const char* next_file;
  };
  const resume_case cases[] = {
      {"254, 255, 0, 1", {254, 255, 0, 1}, 5, "ses_1", {}, "Log_File_counter: 11\n", "ses_2"},
      {"more files than kept", {254, 255, 0, 1}, 2, "ses_1", {254, 255}, "Log_File_counter: 11\n", "ses_2"},
      {"newest 255 rotates to 0", {254, 255}, 3, "ses_255", {}, "Log_File_counter: 11\n", "ses_0"},
      {"broken set starts fresh", {3, 7}, 3, "ses_0", {3, 7}, "Log_File_counter: 1\n", "ses_1"},
  };
  int counter = 10 - 1;
  for (const resume_case& c : cases) {
    SCOPED_TRACE(c.what);
    for (int i = 0; i < 256; ++i) std::remove(at("ses_" + std::to_string(i)).c_str());
    counter = 10 - static_cast<int>(c.existing.size());
    for (int i : c.existing)
      std::ofstream(at("ses_" + std::to_string(i)))
          << "Log_File_counter: " << ++counter << "\n--------------------------------\n\nold\n";
    foip_trc__session_settings s = ses(FOIP__FAX_EVT, 1, c.kept);
    ASSERT_EQ(foip_trc__session_init(3, s), OM_OS_OK);
    ASSERT_EQ(foip_trc__open_session_event_file(3), OM_OS_OK);
    EXPECT_EQ(foip_trc__current_file(3, 3), at(c.continues_in));
    for (int i : c.deleted) EXPECT_FALSE(exists("ses_" + std::to_string(i))) << i;
    const std::string text = file(c.continues_in);
    EXPECT_NE(text.find("\n----------------\n Session events\n----------------\n  Nai             : 3\n"
                        "  User string     : [User info: nai 3]\n"),
              std::string::npos);
    fill(102400 + 200, 3, FOIP__FAX_EVT);
    EXPECT_EQ(foip_trc__current_file(3, 3), at(c.next_file));
    EXPECT_EQ(file(c.next_file).rfind(c.next_counter, 0), 0u);
    foip_trc__session_end(3);
    EXPECT_NE(file(c.next_file).find("-----------------------\n Session events closed\n"), std::string::npos);
  }
}

TEST_F(Trc, LostMarkerFollowsTheLastQueuedEvent) {
  foip_trc__set_glb_settings(glb(FOIP__CNF_GLB, FOIP_TRC__LIMIT_NONE, 1));
  ASSERT_EQ(foip_trc__open_glb_event_file(), OM_OS_OK);
  for (int i = 1; i <= 5001; ++i)
    foip_trc__print_event(0xFFFF, FOIP__CNF_GLB, ("line " + std::to_string(i) + "\n").c_str());
  EXPECT_EQ(foip_trc__event_queue_stats().count, 5000);
  foip_trc__flush_events();
  const std::string t = file("glb");
  EXPECT_EQ(count_of(t, ">>> WARNING: Trace Lost"), 1u);
  EXPECT_NE(t.find("line 5000\n\n>>> WARNING: Trace Lost\n\n"), std::string::npos);
  EXPECT_EQ(t.find("line 5001\n"), std::string::npos);
  // The pool is whole again.
  foip_trc__print_event(0xFFFF, FOIP__CNF_GLB, "after\n");
  foip_trc__flush_events();
  EXPECT_NE(file("glb").find("after\n"), std::string::npos);
}

TEST_F(Trc, TextIsCutIntoLinesAndLongLinesArriveWhole) {
  foip_trc__set_glb_settings(glb(FOIP__CNF_GLB | FOIP__USR_1, FOIP_TRC__LIMIT_NONE, 1, FOIP__USR_1));
  ASSERT_EQ(foip_trc__open_glb_event_file(), OM_OS_OK);
  foip_trc__print_event(0xFFFF, FOIP__USR_1, "one\ntwo\nthree");
  EXPECT_EQ(foip_trc__event_queue_stats().count, 3);
  const std::string long_line(600, 'x');
  foip_trc__print_event(0xFFFF, FOIP__CNF_GLB, (long_line + "\n").c_str());
  foip_trc__flush_events();
  const std::string t = file("glb");
  EXPECT_NE(t.find("\nAPP Mng one\nAPP Mng two\nAPP Mng three"), std::string::npos);
  EXPECT_NE(t.find("three" + long_line + "\n"), std::string::npos);
  EXPECT_NE(console_text.find("\nAPP Mng one\nAPP Mng two"), std::string::npos);
}

TEST_F(Trc, ControlCharactersAreShownAsDots) {
  foip_trc__set_glb_settings(glb(FOIP__SIP_EVT_1, FOIP_TRC__LIMIT_NONE, 1, FOIP__SIP_EVT_1));
  ASSERT_EQ(foip_trc__open_glb_event_file(), OM_OS_OK);
  foip_trc__session_settings s = ses(0, FOIP_TRC__LIMIT_NONE, 1);
  s.t38_trc = {at("t38"), FOIP_TRC__LIMIT_NONE, 1, 0};
  ASSERT_EQ(foip_trc__session_init(4, s), OM_OS_OK);
  ASSERT_EQ(foip_trc__open_t38_trc_file(4), OM_OS_OK);
  foip_trc__print_event(4, FOIP__SIP_EVT_1, "User-Agent: \x1b]2;title\x07\tx\r\n");
  const char t38[] = "frame \x1b[31m red\n";
  foip_trc__store_t38_trace(4, 1, t38, sizeof t38 - 1);
  foip_trc__on_timer();
  EXPECT_NE(file("glb").find("User-Agent: .]2;title.\tx\r\n"), std::string::npos);
  EXPECT_NE(console_text.find("User-Agent: .]2;title.\tx"), std::string::npos);
  EXPECT_EQ(console_text.find('\x1b'), std::string::npos);
  EXPECT_NE(file("t38").find("frame .[31m red\n"), std::string::npos);
}

TEST_F(Trc, EventsAreRoutedByClassAndMasks) {
  struct route_case {
    u16 cls;
    u16 glb_display, glb_record, ses_display, ses_record;
    bool console, global_file, session_file;
  };
  const route_case cases[] = {
      {FOIP__CNF_GLB, 1, 1, 0, 0xFFFF, true, true, false},
      {FOIP__CNF_GLB, 0, 0, 0xFFFF, 0xFFFF, false, false, false},
      {FOIP__SIP_EVT_1, 0x20, 0, 0, 0, true, false, false},
      {FOIP__FAX_EVT, 0xFFFF, 0x10, 0x10, 0x10, true, true, true},
      {FOIP__FAX_EVT, 0, 0, 0, 0x10, false, false, true},
      {FOIP__T38_STAT, 0, 0, 0x8, 0, true, false, false},
      {FOIP__USR_3, 0, 0, 0x1000, 0x1000, true, false, true},
      {FOIP__DSP_ERR, 0, 0, 0, FOIP__FAX_EVT, true, true, true},
  };
  int n = 0;
  for (const route_case& c : cases) {
    SCOPED_TRACE(n++);
    // The global file opens with any mask; routing reads the masks when the
    // events are flushed.
    std::remove(at("glb").c_str());
    std::remove(at("ses").c_str());
    foip_trc__glb_settings g = glb(0xFFFF, FOIP_TRC__LIMIT_NONE, 1, c.glb_display);
    foip_trc__set_glb_settings(g);
    ASSERT_EQ(foip_trc__open_glb_event_file(), OM_OS_OK);
    g.record_event_bfi = c.glb_record;
    foip_trc__set_glb_settings(g);
    ASSERT_EQ(foip_trc__session_init(3, ses(c.ses_record, FOIP_TRC__LIMIT_NONE, 1, c.ses_display)), OM_OS_OK);
    ASSERT_EQ(foip_trc__open_session_event_file(3), OM_OS_OK);
    console_text.clear();
    foip_trc__print_event(3, c.cls, "routed-text\n");
    foip_trc__flush_events();
    EXPECT_EQ(console_text.find("routed-text") != std::string::npos, c.console);
    EXPECT_EQ(file("glb").find("routed-text") != std::string::npos, c.global_file);
    EXPECT_EQ(file("ses").find("routed-text") != std::string::npos, c.session_file);
    foip_trc__session_end(3);
    foip_trc__close_glb_event_file();
  }
}

TEST_F(Trc, UnwritableFolderAndFullDiskCloseOnlyThatFile) {
  foip_trc__glb_settings g = glb(FOIP__CNF_GLB | FOIP__FAX_EVT, FOIP_TRC__LIMIT_NONE, 1);
  g.event.fname = "/nonexistent-folder/glb";
  foip_trc__set_glb_settings(g);
  EXPECT_EQ(foip_trc__open_glb_event_file(), OM_OS_NOK);
  g.event.fname = "/dev/full";
  foip_trc__set_glb_settings(g);
  EXPECT_EQ(foip_trc__open_glb_event_file(), OM_OS_NOK);  // the header cannot be written
  EXPECT_EQ(foip_trc__current_file(1), "");
  ASSERT_EQ(foip_trc__session_init(3, ses(FOIP__FAX_EVT, FOIP_TRC__LIMIT_NONE, 1)), OM_OS_OK);
  ASSERT_EQ(foip_trc__open_session_event_file(3), OM_OS_OK);
  foip_trc__print_event(3, FOIP__FAX_EVT, "still written\n");
  EXPECT_EQ(foip_trc__flush_events(), OM_OS_OK);
  EXPECT_NE(file("ses").find("still written\n"), std::string::npos);
  EXPECT_EQ(foip_trc__file_check(1, "/nonexistent-folder/x", 3), OM_OS_NOK);
  EXPECT_EQ(foip_trc__file_check(1, at("probe"), 2), OM_OS_OK);
  EXPECT_FALSE(exists("probe"));
  // A write check of a file that is already there leaves it and its contents.
  FILE* kept = std::fopen(at("kept").c_str(), "wb");
  ASSERT_NE(kept, nullptr);
  std::fputs("earlier trace\n", kept);
  std::fclose(kept);
  EXPECT_EQ(foip_trc__file_check(1, at("kept"), 2), OM_OS_OK);
  EXPECT_EQ(file("kept"), "earlier trace\n");
  EXPECT_EQ(foip_trc__file_check(1, at("probe"), 1), OM_OS_NOK);
  EXPECT_EQ(foip_trc__file_check(6, at("probe"), 3), OM_OS_NOK);
  EXPECT_EQ(foip_trc__file_check(6, "", 3), OM_OS_OK);
}

// A file that stops taking data mid-run (the process's file size limit
// stands in for a full disk) is closed with one program-log line; the other
// files go on and later flushes neither log again nor spin.
TEST_F(Trc, FileThatFillsUpIsClosedWithOneLogLine) {
  ASSERT_EQ(mkdir(at("K-DB").c_str(), 0777), 0);
  SystemParams& p = SystemParameters();
  const SystemParams saved = p;
  std::snprintf(p.ServerArea, sizeof p.ServerArea, "%s\\", dir.path().c_str());
  InitialiseLog(3);
  foip_trc__set_glb_settings(glb(FOIP__CNF_GLB, FOIP_TRC__LIMIT_NONE, 1));
  ASSERT_EQ(foip_trc__open_glb_event_file(), OM_OS_OK);
  ASSERT_EQ(foip_trc__session_init(3, ses(FOIP__FAX_EVT, FOIP_TRC__LIMIT_NONE, 1)), OM_OS_OK);
  ASSERT_EQ(foip_trc__open_session_event_file(3), OM_OS_OK);

  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  signal(SIGXFSZ, SIG_IGN);
  rlimit small = old;
  small.rlim_cur = 8192;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const std::string line(99, 'g');
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 40; ++i) foip_trc__print_event(0xFFFF, FOIP__CNF_GLB, (line + "\n").c_str());
    foip_trc__print_event(3, FOIP__FAX_EVT, ("session line " + std::to_string(round) + "\n").c_str());
    EXPECT_EQ(foip_trc__flush_events(), OM_OS_OK);
  }
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, SIG_DFL);

  EXPECT_EQ(foip_trc__current_file(1), "");
  EXPECT_LE(file("glb").size(), 8192u);
  EXPECT_NE(file("ses").find("session line 2\n"), std::string::npos);
  const std::string log = file("K-DB/TESSALY.log");
  EXPECT_EQ(count_of(log, "Trace file "), 1u) << log;
  EXPECT_NE(log.find("glb: write failed, file closed"), std::string::npos) << log;
  InitialiseLog(6);
  p = saved;
}

TEST_F(Trc, ErrorBoxIsWrittenAtOnce) {
  foip_trc__set_glb_settings(glb(FOIP__CNF_GLB, FOIP_TRC__LIMIT_NONE, 1));
  ASSERT_EQ(foip_trc__open_glb_event_file(), OM_OS_OK);
  foip_trc__error_box("disk gone\n", 7);
  EXPECT_NE(file("glb").find("\n\n---- Error (Nai #07) ------------------\ndisk gone\n"
                             "-----------------------------------------\n"),
            std::string::npos);
  EXPECT_NE(console_text.find("disk gone"), std::string::npos);
}

TEST_F(Trc, T38TraceTextInBlocks) {
  int connected = 0;
  static int* seen;
  seen = &connected;
  foip_trc__set_connected_hook([](nai_t n) { *seen += n; });
  foip_trc__session_settings s = ses(0, FOIP_TRC__LIMIT_NONE, 1);
  s.t38_trc = {at("t38"), FOIP_TRC__LIMIT_NONE, 1, 0};
  ASSERT_EQ(foip_trc__session_init(5, s), OM_OS_OK);
  ASSERT_EQ(foip_trc__open_t38_trc_file(5), OM_OS_OK);
  const std::string text(120, 't');
  foip_trc__store_t38_trace(5, 128, text.c_str(), 120);
  EXPECT_EQ(connected, 5);
  EXPECT_EQ(foip_trc__t38_queue_stats(5).count, 3);
  // 2500 blocks at most: the rest is lost and marked.
  const std::string big(2600 * 50, 'b');
  foip_trc__store_t38_trace(5, 1, big.c_str(), 60000);
  foip_trc__store_t38_trace(5, 1, big.c_str(), 60000);
  foip_trc__store_t38_trace(5, 1, big.c_str(), 60000);
  EXPECT_EQ(foip_trc__t38_queue_stats(5).count, 2500);
  foip_trc__flush_t38_trc(5);
  const std::string t = file("t38");
  EXPECT_NE(t.find("\n-------------\n T.38 traces\n-------------\n  Nai             : 5\n"), std::string::npos);
  EXPECT_NE(t.find(text + "bbbb"), std::string::npos);
  EXPECT_EQ(count_of(t, ">>> WARNING: Trace Lost"), 1u);
  foip_trc__session_end(5);
  EXPECT_NE(file("t38").find("--------------------\n T.38 traces closed\n"), std::string::npos);
  foip_trc__store_t38_trace(5, 1, "late", 4);  // no session: dropped
  foip_trc__set_connected_hook(nullptr);
}

TEST_F(Trc, ProgressLine) {
  // Flag off: '.' per tick.
  foip_trc__set_glb_settings(foip_trc__glb_settings{});
  foip_trc__progress_bar(1, nullptr);
  console_text.clear();
  foip_trc__progress_bar(2, nullptr);
  foip_trc__progress_bar(2, nullptr);
  u16 v = 4;
  foip_trc__progress_bar(3, &v);
  EXPECT_EQ(console_text, "..");
  // Flag on.
  foip_trc__glb_settings g;
  g.flag_display_progress_bar = 1;
  foip_trc__set_glb_settings(g);
  console_text.clear();
  foip_trc__progress_bar(1, nullptr);
  EXPECT_EQ(console_text, "    Batch   Session SIP     T.38  \n    Cnt     Cnt     Cnt     Events\n");
  console_text.clear();
  foip_trc__progress_bar(2, nullptr);
  const std::string blank(100, ' ');
  EXPECT_EQ(console_text, "\r[-] [0    ] [0    ] [0    ] [" + blank + "]");
  v = 12345;
  foip_trc__progress_bar(3, &v);
  v = 7;
  foip_trc__progress_bar(4, &v);
  v = 2;
  foip_trc__progress_bar(6, &v);
  for (int i = 0; i < 101; ++i) {
    char c = static_cast<char>(i < 100 ? 'a' + i % 26 : 'Z');
    foip_trc__progress_bar(5, &c);
  }
  console_text.clear();
  foip_trc__progress_bar(2, nullptr);
  EXPECT_EQ(console_text, "\r[\\] [12345 ] [7    ] [2    ] [Z" + std::string(99, ' ') + "]");
  console_text.clear();
  foip_trc__progress_bar(9, nullptr);
  EXPECT_EQ(console_text, "");
  // A T.38 event with a letter goes to the strip, without one it is dropped.
  ASSERT_EQ(foip_trc__session_init(1, ses(0, FOIP_TRC__LIMIT_NONE, 1, FOIP__T38_EVT)), OM_OS_OK);
  foip_trc__print_event(1, FOIP__T38_EVT, "no letter\n");
  foip_trc__print_event(1, FOIP__T38_EVT, "with letter\n", 'Q');
  console_text.clear();
  foip_trc__flush_events();
  EXPECT_EQ(console_text.find("letter"), std::string::npos);
  EXPECT_NE(console_text.find("[ZQ "), std::string::npos);
}

TEST_F(Trc, BeforeSetUpEventsGoToTheConsole) {
  foip_trc__shutdown();
  console_text.clear();
  foip_trc__print_event(0, FOIP__CNF_GLB, "early %d text");
  EXPECT_EQ(console_text, "early %d text");
  foip_trc__init();
}

}  // namespace
