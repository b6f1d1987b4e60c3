// The marrock program between drennic-standin (DRENNIC and MORVATH) and a
// scripted TESSALY slot, all real processes on the real clock: start-up
// packets in order, registration, IDLE, a busy answer, offline and online
// with an id, and closedown.  Two controllers started in the same second
// work side by side.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "common/byte_order.h"
#include "common/tessaly_packets.h"
#include "controller/fax_file.h"
#include "controller/page_header_render.h"
#include "controller/support/controller_harness.h"
#include "platform/paths.h"

extern char** environ;

namespace {

using kvtest::ControllerWorld;
using kvtest::TessalyMode;
using ::testing::HasSubstr;

std::string BinaryDir() {
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return ".";
  path[n] = '\0';
  std::string s(path);
  return s.substr(0, s.rfind('/'));
}

pid_t Spawn(const std::vector<std::string>& args, int out_fd) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (out_fd >= 0) posix_spawn_file_actions_adddup2(&actions, out_fd, 1);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// Waits up to `ms` for the process; kills it after that.  Returns its exit
// code, or -1 when it had to be killed.
int Reap(pid_t pid, int ms) {
  for (int waited = 0; waited < ms; waited += 10) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -2;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

// The digits behind `key` in `text`.
std::string IdOf(const std::string& text, const std::string& key) {
  std::size_t at = text.find(key);
  if (at == std::string::npos) return "";
  at += key.size();
  std::size_t end = at;
  while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
  return text.substr(at, end - at);
}

// The lines of `text` that start with `prefix`.
std::string Lines(const std::string& text, const std::string& prefix) {
  std::string out;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    if (text.compare(at, prefix.size(), prefix) == 0) out += text.substr(at, end - at) + "\n";
    at = end + 1;
  }
  return out;
}

class StandinTest : public ::testing::Test {
 protected:
  StandinTest() : world_(false) { world_.SetTessaly(TessalyMode::kAnswer); }
  ~StandinTest() override {
    stop_ = true;
    if (tessaly_.joinable()) tessaly_.join();
  }
  // The scripted TESSALY serves from its own thread once the programs run
  // (world_.script is set before).
  void StartTessaly() {
    if (tessaly_.joinable()) return;
    tessaly_ = std::thread([this] {
      while (!stop_) {
        world_.ServeTessaly();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    });
  }
  std::string Run(const std::vector<std::vector<std::string>>& marrocks, const std::vector<std::string>& standin_args,
                  int* standin_code, std::vector<int>* marrock_codes) {
    StartTessaly();
    const std::string dir = BinaryDir();
    FILE* out = std::tmpfile();
    std::vector<std::string> sargs = {dir + "/drennic-standin", "--limit", "8000"};
    sargs.insert(sargs.end(), standin_args.begin(), standin_args.end());
    pid_t standin = Spawn(sargs, fileno(out));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the slots are held
    std::vector<pid_t> pids;
    FILE* console = std::tmpfile();  // marrock's console lines
    for (const auto& m : marrocks) {
      std::vector<std::string> margs = {dir + "/marrock"};
      margs.insert(margs.end(), m.begin(), m.end());
      pids.push_back(Spawn(margs, fileno(console)));
    }
    *standin_code = Reap(standin, 40000);
    for (pid_t p : pids) marrock_codes->push_back(Reap(p, 10000));
    std::rewind(out);
    std::string text;
    char buf[512];
    while (std::fgets(buf, sizeof buf, out)) text += buf;
    std::fclose(out);
    std::rewind(console);
    console_.clear();
    while (std::fgets(buf, sizeof buf, console)) console_ += buf;
    std::fclose(console);
    return text;
  }

  ControllerWorld world_;
  std::string console_;  // what the controllers printed
  std::atomic<bool> stop_{false};
  std::thread tessaly_;
};

TEST_F(StandinTest, MarrockBetweenStandinAndTessaly) {
  int code = 0;
  std::vector<int> codes;
  const std::string slot = "FOIP\\G1\\1";
  std::string out = Run({{"GROUP", "G1", "1", "1"}},
                        {"wait", "PROGRAM_START", "wait", "state=1 ", "offline", slot, "42", "online", slot, "42",
                         "send", slot, "7", "0123", "closedown", slot, "listen", "300"},
                        &code, &codes);
  EXPECT_EQ(code, 0) << out;
  ASSERT_EQ(codes.size(), 1u);
  EXPECT_EQ(codes[0], 0) << out;
  // Start-up packets in order, then IDLE.
  const std::string id = IdOf(out, "slot=FOIP\\G1\\1 id=");
  EXPECT_NE(id, "");
  EXPECT_NE(id, "0");
  // Each slot's packets in order (the stand-in reads the two slots in turn).
  EXPECT_THAT(Lines(out, "DRENNIC "), HasSubstr("DRENNIC DEVICE_START FOIP/1 slot=FOIP\\G1\\1 id=" + id +
                                                " send=0x4000000C print=0x0\n"
                                                "DRENNIC DEVICE_STATUS FOIP/1 state=1 page=0\n"
                                                "DRENNIC DEVICE_STATUS FOIP/1 state=10 page=0\n"
                                                "DRENNIC DEVICE_STATUS FOIP/1 state=1 page=0\n"));
  EXPECT_EQ(Lines(out, "MORVATH "),
            "MORVATH PORT_INIT FOIP/1 slot=FOIP\\G1\\1 port=FOIP1\n"
            "MORVATH PROGRAM_START name=FOIP-G1-1 flag=1\n");
  // Offline with id: status 0 when the device went offline; the online
  // answers the pending offline with 0xF101.
  EXPECT_EQ(Lines(out, "STANDIN "),
            "STANDIN OFFLINE_REPLY status=0x0 id=42\n"
            "STANDIN OFFLINE_REPLY status=0xF101 id=42\n");
  // The send is taken when idle and answered with the job's number.
  EXPECT_THAT(out, HasSubstr("JOB_RESULT FOIP/1 status=0xF001 job=7 state=2"));
  // The console shows the log lines without their date.
  EXPECT_THAT(console_, HasSubstr("  FOIP-G1-1  - (I) - Device controller for FOIP-G1-1 - Version 15.0.928\n"));
  EXPECT_THAT(console_, HasSubstr("  FOIP-G1-1  - (I) - Program closing down\n"));
  EXPECT_EQ(console_.find("26-"), std::string::npos) << console_;
  // tessaly saw the registration with the reply slot and the receive status.
  ASSERT_GE(world_.tessaly_requests().size(), 2u);
  EXPECT_EQ(world_.tessaly_requests()[0][3], RST_TESSALY_REGISTER_DEVICE);
  EXPECT_EQ(world_.reply_slot, "FFOIP\\G1\\1");
}

TEST_F(StandinTest, TwoControllersStartedInTheSameSecond) {
  world_.WriteIni("Port: FOIP\nRecdUser: FAXIN\n", "[FOIP-G2]\nPort: FOIP\nRecdUser: FAXIN\n");
  int code = 0;
  std::vector<int> codes;
  std::string out =
      Run({{"GROUP", "G1", "3", "1"}, {"GROUP", "G2", "3", "1"}},
          {"wait", "name=FOIP-G1-3", "wait", "name=FOIP-G2-3", "send", "FOIP\\G1\\3", "11", "1", "send", "FOIP\\G2\\3",
           "12", "2", "closedown", "FOIP\\G1\\3", "closedown", "FOIP\\G2\\3", "listen", "300"},
          &code, &codes);
  EXPECT_EQ(code, 0) << out;
  EXPECT_EQ(codes, (std::vector<int>{0, 0})) << out;
  const std::string a = IdOf(out, "slot=FOIP\\G1\\3 id=");
  const std::string b = IdOf(out, "slot=FOIP\\G2\\3 id=");
  ASSERT_NE(a, "") << out;
  ASSERT_NE(b, "") << out;
  EXPECT_NE(a, b);
  EXPECT_EQ(world_.reply_slots.size(), 2u);
  EXPECT_THAT(out, HasSubstr("job=11"));
  EXPECT_THAT(out, HasSubstr("job=12"));
}

// The send and receive of the milestone with the real programs: the
// stand-in submits a 3-page fine fax, marrock hands it with headers to the
// scripted TESSALY and reports SENDING per page and the job result; then a
// call to a DID in ROUTING.INI is filed in the user's K-IN folder.
TEST_F(StandinTest, FaxSentAndReceivedBetweenStandinAndTessaly) {
  namespace fs = std::filesystem;
  const std::string server = world_.tmp.File("server");
  fs::create_directories(server + "/K-TEMP");
  ASSERT_EQ(MakeHeaderFontFile(server + "/K-DB/ELIT_LF.FN", true), STATUS_OK);
  fs::create_directories(world_.tmp.File("users/FAXIN/K-IN"));
  fs::create_directories(world_.tmp.File("server/msgs"));
  kvtest::WriteFile(world_.tmp.File("system/K-DB/ROUTING.INI"), "[SUBADDR]\n5551: FAXIN\n");
  world_.WriteIni("Port: FOIP\nRecdUser: FAXIN\nRejectIncoming: DID\n");
  std::vector<FaxBitmap> message;
  {
    FaxFileWriter w;
    ASSERT_EQ(w.Start(world_.tmp.File("server/msgs/MSG00007.G3F"), 200, FAX_PAGE_WIDTH), STATUS_OK);
    for (std::uint32_t p = 0; p < 3; ++p) {
      FaxBitmap b;
      b.width = FAX_PAGE_WIDTH;
      b.lines = 100;
      b.bits.assign(std::size_t{b.stride()} * b.lines, 0);
      for (std::uint32_t y = p; y < b.lines; y += 3) b.row(y)[y % b.stride()] = 0xF0;
      message.push_back(b);
      ASSERT_EQ(w.WritePage(b, p == 2), STATUS_OK);
    }
  }
  std::atomic<int> handed_ok{0};
  bool rang = false;
  world_.script = [&](const kvtest::Bytes& req) {
    const std::uint16_t device = get_le16(req.data() + 6);
    auto status = [&](std::uint16_t kind, std::uint16_t value) {
      world_.QueueToController(kvtest::FaxStatusBytes(device, kind, value));
    };
    if (req[3] == RST_TESSALY_SEND_FAX) {
      SendFaxPacket p;
      if (!ReadSendFax(req.data(), req.size(), &p)) return;
      std::vector<FaxBitmap> pages;
      if (ReadFaxFile(platform::ToLinuxPath(p.folder) + p.file_name, &pages) == STATUS_OK && pages.size() == 3) {
        bool same = true;
        for (std::size_t i = 0; i < 3; ++i)
          same = same && pages[i].lines > message[i].lines &&
                 std::equal(message[i].bits.begin(), message[i].bits.end(),
                            pages[i].row(pages[i].lines - message[i].lines));
        handed_ok = same ? 1 : 2;
      }
      status(FAX_STATUS_CONNECTED, 0);
      for (std::uint16_t i = 1; i <= 3; ++i) status(FAX_STATUS_PAGE_SENT, i);
      status(FAX_STATUS_FAX_SENT, 0);
    } else if (req[3] == RST_TESSALY_DEVICE_STATUS && handed_ok == 1 && !rang) {
      // Once the send is over, a call comes in.
      rang = true;
      RingInPacket ri;
      ri.device_id = device;
      std::snprintf(ri.called, sizeof ri.called, "5551");
      std::snprintf(ri.caller_number, sizeof ri.caller_number, "0207");
      kvtest::Bytes b(kRingInSize);
      WriteRingIn(ri, b.data());
      world_.QueueToController(b);
    } else if (req[3] == RST_TESSALY_RECV_FAX) {
      RecvFaxPacket p;
      if (!ReadRecvFax(req.data(), req.size(), &p) || !p.accept) return;
      FaxFileWriter w;
      if (w.Start(platform::ToLinuxPath(p.folder) + p.file_name, 200, FAX_PAGE_WIDTH) != STATUS_OK) return;
      (void)w.WritePage(message[0], true);
      ReceiveConnectedPacket rc;
      rc.device_id = device;
      std::snprintf(rc.remote_csid, sizeof rc.remote_csid, "REMOTE");
      std::snprintf(rc.did, sizeof rc.did, "5551");
      kvtest::Bytes b(kReceiveConnectedSize);
      WriteReceiveConnected(rc, b.data());
      world_.QueueToController(b);
      status(FAX_STATUS_PAGE_RECEIVED, 1);
      status(FAX_STATUS_FAX_RECEIVED, 0);
    }
  };
  int code = 0;
  std::vector<int> codes;
  const std::string slot = "FOIP\\G1\\1";
  std::string out =
      Run({{"GROUP", "G1", "1", "1"}},
          {"wait", "state=1 ", "sendfax", slot, "7", "555", world_.tmp.File("server/msgs") + "\\", "MSG00007.G3F", "6",
           "3", "wait", "MESSAGE_RECEIVED", "wait", "job=0 ", "closedown", slot, "listen", "300"},
          &code, &codes);
  EXPECT_EQ(code, 0) << out;
  EXPECT_EQ(codes, std::vector<int>{0}) << out;
  EXPECT_EQ(handed_ok.load(), 1) << "the handed file is not header + message pages";
  EXPECT_THAT(Lines(out, "DRENNIC "), HasSubstr("DRENNIC DEVICE_STATUS FOIP/1 state=3 page=1\n"
                                                "DRENNIC DEVICE_STATUS FOIP/1 state=3 page=2\n"
                                                "DRENNIC DEVICE_STATUS FOIP/1 state=3 page=3\n"
                                                "DRENNIC JOB_RESULT FOIP/1 status=0x0 job=7 state=3 "));
  EXPECT_THAT(out, HasSubstr("pages=3\n"));
  EXPECT_THAT(out, HasSubstr("DRENNIC MESSAGE_RECEIVED FOIP/1 user=FAXIN control=~RECD"));
  EXPECT_THAT(out, HasSubstr("DRENNIC JOB_RESULT FOIP/1 status=0x0 job=0 state=4 "));
  int filed = 0;
  for (const auto& e : fs::directory_iterator(world_.tmp.File("users/FAXIN/K-IN"))) {
    const std::string n = e.path().filename().string();
    if (n.size() > 4 && n.substr(n.size() - 4) == ".G3F") {
      ++filed;
      std::vector<FaxBitmap> pages;
      ASSERT_EQ(ReadFaxFile(e.path().string(), &pages), STATUS_OK);
      ASSERT_EQ(pages.size(), 1u);
      EXPECT_EQ(pages[0].bits, message[0].bits);
    }
  }
  EXPECT_EQ(filed, 1);
}

}  // namespace
