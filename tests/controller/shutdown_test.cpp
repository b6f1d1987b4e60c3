// Stopping a device controller that has a job in hand: the real marrock
// program between the test's DRENNIC and MORVATH slots and a scripted
// TESSALY, on the real clock, gets SIGTERM (which it takes as the fax
// server's shutdown packet) in the middle of a 5-page send and in the middle
// of a receive.  It must end within its bound with exit code 0, report the
// send exactly once (a fax handed to tessaly is aborted there first, and is
// not reported as sent), and file what a receive had, reported as a partial
// fax (0xF016), or keep it under a name of its own when it cannot be filed.
// On the virtual clock: while closing down, an abort that tessaly never
// answers is given up after 2 s (not the 60 s of a request in service), so
// that the program ends promptly with its job reported.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/byte_order.h"
#include "common/tessaly_packets.h"
#include "controller/support/controller_harness.h"

#if defined(KV_HAVE_LIBTIFF)
#include <tiffio.h>
#endif

extern char** environ;

namespace {

using kvtest::Bytes;
using kvtest::ControllerWorld;
using kvtest::TessalyMode;
using Clock = std::chrono::steady_clock;

std::string BinaryDir() {
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return ".";
  path[n] = '\0';
  std::string s(path);
  return s.substr(0, s.rfind('/'));
}

pid_t Spawn(const std::vector<std::string>& args, FILE* out) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fileno(out), 1);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

#if defined(KV_HAVE_LIBTIFF)
// `pages` pages of the sample fax, its pages taken in turn.
void WriteFax(const std::string& path, int pages) {
  TIFF* in = TIFFOpen((std::string(KV_SOURCE_DIR) + "/tools/samples/SAMPLE3.TIF").c_str(), "r");
  TIFF* out = TIFFOpen(path.c_str(), "w");
  ASSERT_TRUE(in && out);
  for (int page = 0; page < pages; ++page) {
    ASSERT_TRUE(TIFFSetDirectory(in, static_cast<tdir_t>(page % 3)));
    std::uint32_t width = 0, rows = 0;
    TIFFGetField(in, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(in, TIFFTAG_IMAGELENGTH, &rows);
    TIFFSetField(out, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
    TIFFSetField(out, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(out, TIFFTAG_IMAGELENGTH, rows);
    TIFFSetField(out, TIFFTAG_BITSPERSAMPLE, 1);
    TIFFSetField(out, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(out, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX3);
    TIFFSetField(out, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
    TIFFSetField(out, TIFFTAG_FILLORDER, FILLORDER_LSB2MSB);
    TIFFSetField(out, TIFFTAG_XRESOLUTION, 204.0f);
    TIFFSetField(out, TIFFTAG_YRESOLUTION, 196.0f);
    TIFFSetField(out, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    TIFFSetField(out, TIFFTAG_ROWSPERSTRIP, rows);
    TIFFSetField(out, TIFFTAG_PAGENUMBER, page, pages);
    std::vector<std::uint8_t> line(static_cast<std::size_t>(TIFFScanlineSize(in)));
    for (std::uint32_t y = 0; y < rows; ++y) {
      TIFFReadScanline(in, line.data(), y, 0);
      TIFFWriteScanline(out, line.data(), y, 0);
    }
    TIFFWriteDirectory(out);
  }
  TIFFClose(in);
  TIFFClose(out);
}
#endif

// DRENNIC packets of one type (class 1).
std::vector<Bytes> OfType(const std::vector<Bytes>& packets, std::uint8_t type) {
  std::vector<Bytes> out;
  for (const Bytes& p : packets)
    if (p.size() >= 4 && p[2] == 1 && p[3] == type) out.push_back(p);
  return out;
}

constexpr std::uint8_t kJobResult = 6;
constexpr std::uint8_t kMessageReceived = 8;
constexpr std::uint8_t kDeviceStatus = 9;

class ShutdownTest : public ::testing::Test {
 protected:
  ShutdownTest() {
    world_.SetTessaly(TessalyMode::kAnswer);
    console_ = std::tmpfile();
  }
  ~ShutdownTest() override {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    std::fclose(console_);
  }

  // Serves the scripted tessaly and collects DRENNIC's packets until `done`
  // holds or `ms` ran out.
  bool Serve(int ms, const std::function<bool()>& done) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < end) {
      world_.ServeTessaly();
      for (Bytes& p : world_.DrennicPackets()) drennic_.push_back(p);
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }
  void Start() {
    pid_ = Spawn({BinaryDir() + "/marrock", "GROUP", "G1", "1", "1"}, console_);
    ASSERT_GT(pid_, 0);
    ASSERT_TRUE(Serve(15000, [this] {
      for (const Bytes& p : OfType(drennic_, kDeviceStatus))
        if (get_le16(p.data() + 18) == 1) return true;  // IDLE
      return false;
    })) << Console();
  }
  // The tessaly requests of one type so far.
  std::vector<Bytes> TessalyRequests(std::uint8_t type) {
    std::vector<Bytes> out;
    for (const Bytes& r : world_.tessaly_requests())
      if (r.size() >= 4 && r[3] == type) out.push_back(r);
    return out;
  }
  void ToController(std::uint16_t kind, std::uint16_t value) {
    world_.QueueToController(kvtest::FaxStatusBytes(device_id(), kind, value));
  }
  std::uint16_t device_id() { return world_.reply_slots.empty() ? 0 : world_.reply_slots.begin()->first; }
  // Waits until DRENNIC heard of `page` in device state `state`.
  bool WaitPageReported(std::uint16_t state, std::uint16_t page) {
    return Serve(10000, [&] {
      for (const Bytes& p : OfType(drennic_, kDeviceStatus))
        if (get_le16(p.data() + 18) == state && get_le16(p.data() + 20) == page) return true;
      return false;
    });
  }
  // SIGTERM, then up to 15 s for the program to end; its exit code, or -1.
  int Stop() {
    kill(pid_, SIGTERM);
    int code = -1;
    Serve(15000, [&] {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) != pid_) return false;
      code = WIFEXITED(status) ? WEXITSTATUS(status) : -2;
      pid_ = -1;
      return true;
    });
    Serve(300, [] { return false; });  // late packets
    return code;
  }
#if defined(KV_HAVE_LIBTIFF)
  // A call rings; the controller takes it, tessaly writes two pages into
  // the file it named and reports them; then SIGTERM, and the program must
  // end with code 0.
  void ReceiveTwoPagesThenStop() {
    ASSERT_NO_FATAL_FAILURE(Start());
    RingInPacket ring;
    ring.device_id = device_id();
    std::strcpy(ring.called, "00001");
    std::strcpy(ring.caller_number, "+44 20 7946 0999");
    std::strcpy(ring.caller_address, "127.0.0.1");
    Bytes packet(kRingInSize);
    WriteRingIn(ring, packet.data());
    world_.QueueToController(packet);
    ASSERT_TRUE(Serve(10000, [&] { return !TessalyRequests(RST_TESSALY_RECV_FAX).empty(); })) << Console();
    RecvFaxPacket answer;
    const Bytes recv = TessalyRequests(RST_TESSALY_RECV_FAX)[0];
    ASSERT_TRUE(ReadRecvFax(recv.data(), recv.size(), &answer));
    ASSERT_EQ(answer.accept, 1u) << Console();
    std::string folder = answer.folder;
    for (char& c : folder)
      if (c == '\\') c = '/';
    if (!folder.empty() && folder.back() != '/') folder += '/';
    ASSERT_NO_FATAL_FAILURE(WriteFax(folder + answer.file_name, 2));
    ReceiveConnectedPacket connected;
    connected.device_id = device_id();
    std::strcpy(connected.remote_csid, "+44 20 7946 0999");
    std::strcpy(connected.did, "00001");
    Bytes rc(kReceiveConnectedSize);
    WriteReceiveConnected(connected, rc.data());
    ToController(FAX_STATUS_CALL_CONNECTED, 0);
    world_.QueueToController(rc);
    Serve(300, [] { return false; });
    ToController(FAX_STATUS_PAGE_RECEIVED, 1);
    ToController(FAX_STATUS_PAGE_RECEIVED, 2);
    ASSERT_TRUE(WaitPageReported(4, 2)) << Console();  // RECEIVING, page 2
    EXPECT_EQ(Stop(), 0) << Console();
    EXPECT_THAT(Console(), ::testing::HasSubstr("Program closing down"));
  }
#endif
  std::string Console() {
    std::fflush(console_);
    std::rewind(console_);
    std::string text;
    char buf[512];
    while (std::fgets(buf, sizeof buf, console_)) text += buf;
    return text;
  }

  ControllerWorld world_{true};
  FILE* console_ = nullptr;
  pid_t pid_ = -1;
  std::vector<Bytes> drennic_;
};

#if defined(KV_HAVE_LIBTIFF)
TEST_F(ShutdownTest, SigtermInTheMiddleOfASendGivesExactlyOneJobResult) {
  ASSERT_NO_FATAL_FAILURE(Start());
  std::filesystem::create_directories(world_.tmp.File("req"));
  ASSERT_NO_FATAL_FAILURE(WriteFax(world_.tmp.File("req/FIVE.TIF"), 5));
  Bytes request = kvtest::SendRequestPacket(41, 0);
  const std::string folder = world_.tmp.File("req") + "/";
  std::memcpy(request.data() + 26, folder.c_str(), folder.size());
  std::memcpy(request.data() + 283, "FIVE.TIF", 8);
  put_le16(request.data() + 310, 6);  // fine
  put_le16(request.data() + 312, 3);  // FAX-FINE
  ASSERT_EQ(world_.SendRequest("FOIP\\G1\\1", request), 0u);
  // The fax is handed over, the call connects and two of five pages go.
  ASSERT_TRUE(Serve(5000, [&] { return !TessalyRequests(RST_TESSALY_SEND_FAX).empty(); })) << Console();
  ToController(FAX_STATUS_CALL_CONNECTED, 0);
  ToController(FAX_STATUS_CONNECTED, 0);
  Serve(300, [] { return false; });
  ToController(FAX_STATUS_PAGE_SENT, 1);
  ToController(FAX_STATUS_PAGE_SENT, 2);
  ASSERT_TRUE(WaitPageReported(3, 2)) << Console();  // SENDING, page 2
  EXPECT_TRUE(OfType(drennic_, kJobResult).empty()) << "the job ended before the stop";
  EXPECT_EQ(Stop(), 0) << Console();
  // One result, not reported as sent; the fax was aborted on tessaly's side.
  const std::vector<Bytes> results = OfType(drennic_, kJobResult);
  ASSERT_EQ(results.size(), 1u) << Console();
  EXPECT_EQ(get_le16(results[0].data() + 18), 41);
  EXPECT_NE(get_le16(results[0].data() + 4), 0) << "a fax stopped after 2 of 5 pages reported as sent";
  EXPECT_LE(get_le16(results[0].data() + 24), 2);
  EXPECT_EQ(TessalyRequests(RST_TESSALY_ABORT_FAX).size(), 1u);
  EXPECT_THAT(Console(), ::testing::HasSubstr("Program closing down"));
}

TEST_F(ShutdownTest, SigtermInTheMiddleOfAReceiveFilesAPartialFax) {
  std::filesystem::create_directories(world_.tmp.File("users/FAXIN/K-IN"));
  ASSERT_NO_FATAL_FAILURE(ReceiveTwoPagesThenStop());
  const std::vector<Bytes> results = OfType(drennic_, kJobResult);
  // Filed for the user and reported as a partial fax of two pages.
  EXPECT_EQ(OfType(drennic_, kMessageReceived).size(), 1u) << Console();
  ASSERT_EQ(results.size(), 1u) << Console();
  EXPECT_EQ(get_le16(results[0].data() + 18), 0);
  EXPECT_EQ(get_le16(results[0].data() + 4), 0xF016);
  EXPECT_EQ(get_le16(results[0].data() + 24), 2);
  int filed = 0;
  for (const auto& e : std::filesystem::directory_iterator(world_.tmp.File("users/FAXIN/K-IN")))
    filed += e.path().extension() == ".CTL" ? 0 : 1;
  EXPECT_EQ(filed, 1);
}

TEST_F(ShutdownTest, SigtermInTheMiddleOfAReceiveThatCannotBeFiledKeepsTheFile) {
  // No K-IN folder for the user: the partial fax cannot be filed, and what
  // arrived is kept under a name of its own instead of being deleted.
  ASSERT_NO_FATAL_FAILURE(ReceiveTwoPagesThenStop());
  EXPECT_TRUE(OfType(drennic_, kMessageReceived).empty());
  EXPECT_THAT(Console(), ::testing::HasSubstr("Shutdown whilst receiving fax, attempting to back up"));
  EXPECT_THAT(Console(), ::testing::HasSubstr("Partially received fax stored in "));
  int kept = 0;
  for (const auto& e : std::filesystem::recursive_directory_iterator(world_.tmp.path()))
    kept += e.path().filename().string().find(".TIF_") != std::string::npos && e.file_size() > 0 ? 1 : 0;
  EXPECT_GE(kept, 1);
}
#endif

TEST(ClosedownAbort, AnUnansweredAbortIsGivenUpSoonerWhileClosingDown) {
  const struct {
    bool closedown;
    std::uint64_t at_least_ms, at_most_ms;
    std::size_t requests;  // in service a re-registration (also unanswered) follows the abort
  } cases[] = {{true, 2000, 2100, 1}, {false, 120000, 126000, 2}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.closedown ? "closing down" : "in service");
    ControllerWorld world;
    world.SetTessaly(TessalyMode::kAnswer);
    Controller controller(&world.clock);
    ASSERT_EQ(controller.InitialiseController({"marrock", "GROUP", "G1", "3", "5"}), 0);
    world.tessaly_requests().clear();
    controller.tessaly().SetFOIPStatus(FOIP_DIALLED);  // a fax handed over
    world.SetTessaly(TessalyMode::kSilent);            // tessaly hangs
    if (c.closedown) controller.RequestClosedown();
    const std::uint64_t before = world.clock.elapsed_ms();
    EXPECT_EQ(controller.tessaly().CancelJob(), PERC_PORT_FAULT);
    const std::uint64_t waited = world.clock.elapsed_ms() - before;
    EXPECT_GE(waited, c.at_least_ms);
    EXPECT_LE(waited, c.at_most_ms);
    EXPECT_EQ(controller.status_word(), 0xF10E);
    ASSERT_EQ(world.tessaly_requests().size(), c.requests);
    EXPECT_EQ(world.tessaly_requests()[0][3], RST_TESSALY_ABORT_FAX);
  }
}

}  // namespace
