// Faults of the running system, with the real programs on a temporary
// server area: the stand-in for the fax server, tessaly and one controller
// (FOIP-G1-1).  The gateway of SETUP.INI is a loopback port where nobody
// answers, so a send stays handed over to tessaly until something ends it.
//   - tessaly killed while it holds a send: the job ends with a failure
//     result within a few seconds, not after the page wait's half hour; a
//     tessaly started again gets the device registered at once, and the next
//     send reaches it;
//   - send jobs naming a FIFO or a file outside the server area are refused
//     at once (the FIFO never blocks the controller);
//   - send jobs naming malformed fax files are refused before a call is
//     placed (a table of six breakages, and the same layout well formed);
//   - a closedown while tessaly dials reports the job and ends the
//     controller within 5 s;
//   - tessaly killed in the middle of a received fax (a far fax of spandsp
//     over T.38, called in by sipp): the call ends with a result within 8 s,
//     the pages that arrived are filed as a partial fax, and after a tessaly
//     started again the next fax on the same channel is filed whole.
#include <fcntl.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/support/temp_folder.h"
#include "host/support/child_process.h"
#include "host/support/milestone_fixture.h"
#include "host/support/sip_road.h"

#if defined(KV_HAVE_LIBTIFF)
#include <tiffio.h>
#endif

namespace {

using kvtest::BinaryDir;
using kvtest::ReadFile;
using kvtest::Reap;
using kvtest::Spawn;
using Clock = std::chrono::steady_clock;

// Ports of this program: SIP 14180-14181, media 16400-16599.
constexpr int kSip = 14180, kGateway = 14181, kMedia = 16400;

int CountText(const std::string& text, const std::string& what) {
  int n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// Waits until `file` holds `text` at least `count` times.
bool WaitText(const std::string& file, const std::string& text, int ms, int count = 1) {
  const auto end = Clock::now() + std::chrono::milliseconds(ms);
  while (Clock::now() < end) {
    if (CountText(ReadFile(file), text) >= count) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

class System {
 public:
  System() : area_(tmp_.File("area")) {
    const std::string make = "KV_MARROCK=" + BinaryDir() + "/marrock bash " + std::string(KV_SOURCE_DIR) +
                             "/tools/make-server-area.sh " + area_ + " > " + tmp_.File("make.txt") + " 2>&1";
    ok_ = std::system(make.c_str()) == 0;
    std::string setup = ReadFile(area_ + "/K-DB/SETUP.INI");
    for (auto [from, to] :
         {std::pair<std::string, std::string>{"LocalSIPPort: 5060", "LocalSIPPort: " + std::to_string(kSip)},
          {"SIPGatewayPort: 5070", "SIPGatewayPort: " + std::to_string(kGateway)},
          {"LocalMediaPortStart: 20000", "LocalMediaPortStart: " + std::to_string(kMedia)}}) {
      const std::size_t at = setup.find(from);
      if (at == std::string::npos) ok_ = false;
      else setup.replace(at, from.size(), to);
    }
    kvtest::WriteFile(area_ + "/K-DB/SETUP.INI", setup);
    env_ = {"KORVANE_INI_PATH=" + area_ + "/KORVANE.INI", "KORVANE_MAILSLOT_DIR=" + area_ + "/mailslot",
            "KORVANE_HOME=" + area_};
  }
  ~System() {
    for (pid_t* p : {&marrock_, &tessaly_, &standin_}) {
      if (*p > 0) {
        kill(*p, SIGTERM);
        (void)Reap(*p, 15000);
      }
    }
  }
  bool ok() const { return ok_; }
  const std::string& area() const { return area_; }
  std::string standin() const { return tmp_.File("standin.txt"); }
  std::string server_log() const { return area_ + "/K-DB/SERVER.LOG"; }
  std::string File(const std::string& name) const { return tmp_.File(name); }

  pid_t Start(const std::string& program, const std::vector<std::string>& args, const std::string& out) {
    std::vector<std::string> argv = {"/usr/bin/env", "-C", area_, BinaryDir() + "/" + program};
    argv.insert(argv.end(), args.begin(), args.end());
    return Spawn(argv, out, env_);
  }
  bool StartStandin() {
    standin_ = Start("drennic-standin", {"--limit", "600000", "listen", "600000"}, standin());
    return WaitSlot("DRENNIC") && WaitSlot("MORVATH") && WaitSlot("STANDIN");
  }
  bool StartTessaly(int starts) {
    tessaly_ = Start("tessaly", {}, tmp_.File("tessaly" + std::to_string(starts) + ".txt"));
    return WaitText(standin(), "MORVATH PROGRAM_START name=TESSALY", 20000, starts);
  }
  bool StartMarrock() {
    marrock_ = Start("marrock", {"GROUP", "G1", "1", "1"}, tmp_.File("marrock.txt"));
    return WaitText(standin(), "DEVICE_STATUS FOIP/1 state=1 ", 20000);
  }
  bool StartAll() { return StartStandin() && StartTessaly(1) && StartMarrock(); }
  bool MarrockEnded(int ms) {
    const int r = Reap(marrock_, std::max(ms, 0));  // killed when it outlives `ms`
    marrock_ = -1;
    return r != -1;
  }
  void KillTessaly() {
    if (tessaly_ > 0) kill(tessaly_, SIGKILL);
    (void)Reap(tessaly_, 5000);
    tessaly_ = -1;
  }
  // One request through the stand-in's --post (it does not wait).
  int Post(const std::vector<std::string>& command) {
    std::vector<std::string> argv = {"--post"};
    argv.insert(argv.end(), command.begin(), command.end());
    const pid_t p = Start("drennic-standin", argv, tmp_.File("post.txt"));
    return Reap(p, 10000);
  }
  int SendFax(int job, const std::string& folder, const std::string& file) {
    return Post({"sendfax", "FOIP\\G1\\1", std::to_string(job), "123", folder, file, "5", "2"});
  }
  // The line of the job's result, empty when none came within `ms`.
  std::string JobResult(int job, int ms) {
    const std::string key = "DRENNIC JOB_RESULT FOIP/1 ";
    const std::string job_text = " job=" + std::to_string(job) + " ";
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < end) {
      const std::string log = ReadFile(standin());
      for (std::size_t at = log.find(key); at != std::string::npos; at = log.find(key, at + 1)) {
        std::string line = log.substr(at, log.find('\n', at) - at);
        if (line.find(job_text) != std::string::npos) return line;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return "";
  }

 private:
  bool WaitSlot(const std::string& name) {
    for (int i = 0; i < 200; ++i) {
      if (std::filesystem::exists(area_ + "/mailslot/" + name)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  kvtest::TempFolder tmp_;
  std::string area_;
  std::vector<std::string> env_;
  bool ok_ = true;
  pid_t standin_ = -1, tessaly_ = -1, marrock_ = -1;
};

std::string MakeFax(const System& s, const std::string& name) {
  const std::string path = s.area() + "/REQ/" + name;
  const int r = kvtest::RunProgram({BinaryDir() + "/make-sample-fax", path}, s.File("sample.txt"), {}, 20000);
  return r == 0 ? path : "";
}

TEST(SystemRecovery, TessalyKilledDuringASendThenStartedAgain) {
  System s;
  ASSERT_TRUE(s.ok()) << ReadFile(s.File("make.txt"));
  ASSERT_TRUE(s.StartAll()) << ReadFile(s.standin());
  ASSERT_FALSE(MakeFax(s, "A.TIF").empty());
  const std::string req = s.area() + "/REQ/";

  // Handed over to tessaly, which dials a gateway that never answers (the
  // hand-over follows the outgoing file at once; tessaly's INVITE is retried
  // for half a minute).
  ASSERT_EQ(s.SendFax(11, req, "A.TIF"), 0);
  ASSERT_TRUE(WaitText(s.server_log(), "Opened new message file", 20000))
      << ReadFile(s.standin()) << ReadFile(s.File("post.txt")) << ReadFile(s.server_log());
  std::this_thread::sleep_for(std::chrono::milliseconds(2000));
  const auto killed = Clock::now();
  s.KillTessaly();
  const std::string first = s.JobResult(11, 15000);
  const double seconds = std::chrono::duration<double>(Clock::now() - killed).count();
  ASSERT_FALSE(first.empty()) << ReadFile(s.standin()) << ReadFile(s.server_log());
  std::printf("[ recovery ] job result %.2f s after tessaly was killed: %s\n", seconds, first.c_str());
  EXPECT_EQ(first.find(" status=0x0 "), std::string::npos) << first;
  EXPECT_TRUE(WaitText(s.server_log(), "TESSALY has gone", 1000)) << ReadFile(s.server_log());

  // A job while no tessaly runs ends at once with a failure.
  ASSERT_EQ(s.SendFax(12, req, "A.TIF"), 0);
  const std::string second = s.JobResult(12, 10000);
  ASSERT_FALSE(second.empty()) << ReadFile(s.standin()) << ReadFile(s.server_log());
  EXPECT_EQ(second.find(" status=0x0 "), std::string::npos) << second;

  // tessaly again: the controller registers within its idle round, and the
  // next send is handed over instead of being refused as unknown.
  ASSERT_TRUE(s.StartTessaly(2)) << ReadFile(s.standin());
  EXPECT_TRUE(WaitText(s.server_log(), "TESSALY has started again - registering the device", 10000))
      << ReadFile(s.server_log());
  ASSERT_EQ(s.SendFax(13, req, "A.TIF"), 0);
  EXPECT_TRUE(WaitText(s.server_log(), "Opened new message file", 20000, 2)) << ReadFile(s.server_log());
  std::this_thread::sleep_for(std::chrono::milliseconds(2000));
  EXPECT_EQ(ReadFile(s.server_log()).find("is not registered with TESSALY"), std::string::npos)
      << ReadFile(s.server_log());
  // Ended by the closedown of the controller while tessaly still dials:
  // its result comes and the controller has stopped within 5 s (tessaly
  // may answer the abort late; the controller does not wait it out).
  const auto told = Clock::now();
  ASSERT_EQ(s.Post({"shutdown", "FOIP\\G1\\1"}), 0);
  EXPECT_FALSE(s.JobResult(13, 5000).empty()) << ReadFile(s.standin()) << ReadFile(s.server_log());
  EXPECT_TRUE(s.MarrockEnded(
      5000 - static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - told).count())));
  std::printf("[ recovery ] controller stopped %.2f s after the shutdown request\n",
              std::chrono::duration<double>(Clock::now() - told).count());
}

TEST(SystemRecovery, SendFilesThatAreNotRegularOrOutsideTheAreaAreRefusedAtOnce) {
  System s;
  ASSERT_TRUE(s.ok()) << ReadFile(s.File("make.txt"));
  ASSERT_TRUE(s.StartAll()) << ReadFile(s.standin());
  const std::string req = s.area() + "/REQ/";
  ASSERT_EQ(mkfifo((req + "PIPE.TIF").c_str(), 0600), 0);
  ASSERT_EQ(symlink("/etc/passwd", (req + "LINK.TIF").c_str()), 0);
  struct Case {
    int job;
    std::string folder, file, status;
  } cases[] = {
      {21, req, "PIPE.TIF", "status=0xF006"},
      {22, "..\\..\\..\\..\\..\\..\\..\\..\\etc\\", "passwd", "status=0xF001"},
      {23, req + "..\\..\\..\\..\\..\\..\\..\\..\\etc\\", "passwd", "status=0xF001"},
      {24, "\\etc\\", "passwd", "status=0xF001"},
      {25, req, "LINK.TIF", "status=0xF001"},
      {26, req + "NOWHERE\\", "A.TIF", "status=0xF006"},
  };
  for (const Case& c : cases) {
    const auto began = Clock::now();
    ASSERT_EQ(s.SendFax(c.job, c.folder, c.file), 0);
    const std::string line = s.JobResult(c.job, 5000);
    EXPECT_NE(line.find(c.status), std::string::npos) << c.folder << c.file << ": " << line;
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - began).count(), 5.0);
  }
  // The controller still serves: an abort finds it idle, and nothing was dialled.
  EXPECT_EQ(ReadFile(s.server_log()).find("Attempting connection"), std::string::npos) << ReadFile(s.server_log());
  EXPECT_TRUE(WaitText(s.server_log(), "is not a regular file - refused", 1000));
  EXPECT_TRUE(WaitText(s.server_log(), "lies outside the server area - refused", 1000));
}

#if defined(KV_HAVE_SPANDSP) && defined(KV_HAVE_LIBTIFF)
// The far fax of a call to DID 00001: spandsp's T.38 terminal sending
// `tif`, sipp placing the call with the terminal's port in its offer.
class FarFax {
 public:
  FarFax(const System& s, const std::string& name, const std::string& tif) : dir_(s.File(name)) {
    std::filesystem::create_directories(dir_);
    peer_ = kvtest::Spawn({BinaryDir() + "/t38-fax-peer", "send", tif, "--calling", "--port-file", dir_ + "/peer.port",
                           "--remote-file", dir_ + "/remote.txt", "--seconds", "80", "--ident", "RX PEER"},
                          dir_ + "/peer.txt", {});
    for (int i = 0; i < 100 && ReadFile(dir_ + "/peer.port").empty(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const int port = std::atoi(ReadFile(dir_ + "/peer.port").c_str());
    if (port <= 0) return;
    sipp_ = std::make_unique<sip_road::sipp_process>(
        dir_, std::string(KV_SOURCE_DIR) + "/tests/host/sipp/uac-t38-call.xml", kGateway, kSip,
        std::vector<std::pair<std::string, std::string>>{
            {"peer_port", std::to_string(port)}, {"did", "00001"}, {"remote_file", dir_ + "/remote.txt"}});
  }
  ~FarFax() { (void)End(0); }
  FarFax(const FarFax&) = delete;
  FarFax& operator=(const FarFax&) = delete;
  bool Started() const { return peer_ > 0 && sipp_ != nullptr; }
  // True when the call and the fax went through within `ms` (else both are
  // ended).
  bool End(int ms) {
    const int sipp = sipp_ ? sipp_->wait(ms) : -1;
    sipp_.reset();
    const int peer = peer_ > 0 ? Reap(peer_, sipp == 0 ? 10000 : 0) : -1;
    peer_ = -1;
    return sipp == 0 && peer == 0;
  }
  std::string Peer() const { return ReadFile(dir_ + "/peer.txt"); }

 private:
  std::string dir_;
  pid_t peer_ = -1;
  std::unique_ptr<sip_road::sipp_process> sipp_;
};

std::vector<std::string> ReceiveResults(const System& s) {
  std::vector<std::string> out;
  for (const std::string& line : kvtest::ReadLines(s.standin()))
    if (line.find("DRENNIC JOB_RESULT FOIP/1 ") != std::string::npos && line.find(" job=0 ") != std::string::npos)
      out.push_back(line);
  return out;
}

bool WaitResults(const System& s, std::size_t n, int ms) {
  const auto end = Clock::now() + std::chrono::milliseconds(ms);
  while (Clock::now() < end) {
    if (ReceiveResults(s).size() >= n) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

// Pages of each fax filed for the user, oldest first.
std::vector<int> FiledPages(const System& s) {
  std::vector<std::filesystem::path> faxes;
  for (const auto& e : std::filesystem::directory_iterator(s.area() + "/USERS/FAXIN/K-IN"))
    if (e.path().extension() == ".G3F") faxes.push_back(e.path());
  std::sort(faxes.begin(), faxes.end(), [](const auto& a, const auto& b) {
    return std::filesystem::last_write_time(a) < std::filesystem::last_write_time(b);
  });
  std::vector<int> pages;
  pages.reserve(faxes.size());
  for (const auto& f : faxes) {
    TIFF* t = TIFFOpen(f.c_str(), "r");
    pages.push_back(t ? TIFFNumberOfDirectories(t) : -1);
    if (t) TIFFClose(t);
  }
  return pages;
}

int PagesOf(const std::string& line) {
  const std::size_t at = line.find(" pages=");
  return at == std::string::npos ? -1 : std::atoi(line.c_str() + at + 7);
}

TEST(SystemRecovery, TessalyKilledDuringAReceiveThenStartedAgain) {
  System s;
  ASSERT_TRUE(s.ok()) << ReadFile(s.File("make.txt"));
  for (const char* f : {"/Tessaly/session01.cfg", "/Tessaly/session02.cfg"})
    kvtest::WriteFile(s.area() + f,
                      ReadFile(s.area() + f) + "\n[T.38 media address]\nlocal media IP address = 127.0.0.1\n");
  ASSERT_TRUE(s.StartAll()) << ReadFile(s.standin());
  const std::string sample = s.File("tx.tif");
  fax_test::libtiff_write_fax(sample, milestone::three_pages(43));

  // The first page has arrived; tessaly dies while the second one comes.
  {
    FarFax first(s, "call1", sample);
    ASSERT_TRUE(first.Started()) << first.Peer();
    ASSERT_TRUE(WaitText(s.standin(), "DEVICE_STATUS FOIP/1 state=4 page=1", 60000))
        << ReadFile(s.standin()) << ReadFile(s.server_log()) << first.Peer();
    const auto killed = Clock::now();
    s.KillTessaly();
    ASSERT_TRUE(WaitResults(s, 1, 8000)) << ReadFile(s.standin()) << ReadFile(s.server_log());
    const double seconds = std::chrono::duration<double>(Clock::now() - killed).count();
    const std::string result = ReceiveResults(s)[0];
    std::printf("[ recovery ] receive result %.2f s after tessaly was killed: %s\n", seconds, result.c_str());
    EXPECT_NE(result.find(" status=0xF016 "), std::string::npos) << result;
    const int pages = PagesOf(result);
    EXPECT_TRUE(pages == 1 || pages == 2) << result;
    EXPECT_TRUE(WaitText(s.server_log(), "TESSALY has gone", 1000)) << ReadFile(s.server_log());
    EXPECT_TRUE(WaitText(s.standin(), "MESSAGE_RECEIVED FOIP/1 user=FAXIN", 1000)) << ReadFile(s.standin());
    EXPECT_EQ(FiledPages(s), std::vector<int>{pages});
    EXPECT_TRUE(WaitText(s.standin(), "DEVICE_STATUS FOIP/1 state=1 ", 5000, 2)) << ReadFile(s.standin());
    first.End(0);
  }

  // tessaly again: the controller registers and takes the next call.
  ASSERT_TRUE(s.StartTessaly(2)) << ReadFile(s.standin());
  ASSERT_TRUE(WaitText(s.server_log(), "Device registered with TESSALY again - ready for calls", 10000))
      << ReadFile(s.server_log());
  FarFax second(s, "call2", sample);
  ASSERT_TRUE(second.Started()) << second.Peer();
  ASSERT_TRUE(WaitResults(s, 2, 90000)) << ReadFile(s.standin()) << ReadFile(s.server_log());
  const std::string result = ReceiveResults(s)[1];
  EXPECT_NE(result.find(" status=0x0 "), std::string::npos) << result;
  EXPECT_EQ(PagesOf(result), 3) << result;
  EXPECT_TRUE(second.End(30000)) << second.Peer();
  const std::vector<int> filed = FiledPages(s);
  ASSERT_EQ(filed.size(), 2u);
  EXPECT_EQ(filed[1], 3);
}
#endif

}  // namespace

// A little-endian TIFF of one page: the given tags (sorted by the caller),
// then `data` as the strip(s) the tags point at (offset 0 in a tag value
// stands for the start of the data).
struct Tag {
  std::uint16_t tag, type;
  std::vector<std::uint32_t> values;
};
std::string TiffBytes(const std::vector<Tag>& tags, const std::string& data) {
  std::string out = "II";
  auto u16 = [&](std::uint32_t v) { out += static_cast<char>(v & 0xFF), out += static_cast<char>(v >> 8 & 0xFF); };
  auto u32 = [&](std::uint32_t v) { u16(v & 0xFFFF), u16(v >> 16); };
  u16(42);
  u32(8);
  const std::uint32_t ifd_end = 8 + 2 + 12 * static_cast<std::uint32_t>(tags.size()) + 4;
  std::uint32_t extra = ifd_end;  // values longer than four bytes follow the IFD
  for (const Tag& t : tags)
    if (t.values.size() * (t.type == 3 ? 2 : 4) > 4) extra += static_cast<std::uint32_t>(t.values.size()) * 4;
  const std::uint32_t data_at = extra;
  std::string values;
  u16(static_cast<std::uint32_t>(tags.size()));
  for (const Tag& t : tags) {
    u16(t.tag);
    u16(t.type);
    u32(static_cast<std::uint32_t>(t.values.size()));
    auto fix = [&](std::uint32_t v) { return t.tag == 273 ? v + data_at : v; };
    if (t.values.size() * (t.type == 3 ? 2 : 4) <= 4) {
      if (t.type == 3) {
        u16(t.values.empty() ? 0 : fix(t.values[0]));
        u16(t.values.size() > 1 ? fix(t.values[1]) : 0);
      } else {
        u32(t.values.empty() ? 0 : fix(t.values[0]));
      }
    } else {
      u32(ifd_end + static_cast<std::uint32_t>(values.size()));
      for (std::uint32_t v : t.values) {
        v = fix(v);
        for (int b = 0; b < 4; ++b) values += static_cast<char>(v >> (8 * b) & 0xFF);
      }
    }
  }
  u32(0);
  return out + values + data;
}

std::vector<Tag> PageTags(std::uint32_t compression, std::uint32_t lines, std::vector<std::uint32_t> offsets,
                          std::vector<std::uint32_t> counts, std::uint32_t rows_per_strip) {
  return {{256, 4, {1728}}, {257, 4, {lines}}, {258, 3, {1}}, {259, 3, {compression}},
          {262, 3, {0}},    {273, 4, offsets}, {277, 3, {1}}, {278, 4, {rows_per_strip}},
          {279, 4, counts}, {296, 3, {2}}};
}

TEST(SystemRecovery, MalformedFaxFilesAreRefusedBeforeDialling) {
  System s;
  ASSERT_TRUE(s.ok()) << ReadFile(s.File("make.txt"));
  ASSERT_TRUE(s.StartAll()) << ReadFile(s.standin());
  const std::string req = s.area() + "/REQ/";
  const std::string white(216 * 4, '\0');  // four white rows, uncompressed
  std::string odd_order = TiffBytes(PageTags(1, 4, {0}, {216 * 4}, 4), white);
  odd_order[1] = 'X';
  std::string garbage;
  for (int i = 0; i < 400; ++i) garbage += static_cast<char>((i * 97 + 13) & 0xFF);
  struct Case {
    const char* name;
    std::string file;
  } cases[] = {
      {"byte order IX", odd_order},
      {"rows per strip 0", TiffBytes(PageTags(1, 4, {0}, {216 * 4}, 0), white)},
      {"two offsets, one count", TiffBytes(PageTags(1, 4, {0, 216 * 2}, {216 * 4}, 2), white)},
      {"garbage T.6", TiffBytes(PageTags(4, 100, {0}, {400}, 100), garbage)},
      {"short T.6", TiffBytes(PageTags(4, 100, {0}, {1}, 100), std::string(1, '\x01'))},
      {"empty MH strip", TiffBytes(PageTags(3, 100, {0}, {0}, 100), "")},
  };
  int job = 31;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string name = "BAD" + std::to_string(job) + ".TIF";
    kvtest::WriteFile(req + name, c.file);
    ASSERT_EQ(s.SendFax(job, req, name), 0);
    const std::string line = s.JobResult(job, 5000);
    EXPECT_NE(line.find(" status=0xF006 "), std::string::npos) << line;
    ++job;
  }
  EXPECT_EQ(ReadFile(s.server_log()).find("Attempting connection"), std::string::npos) << ReadFile(s.server_log());
  // The same layout, well formed, goes on to dial: the refusals above are
  // for what each case breaks.
  kvtest::WriteFile(req + "GOOD.TIF", TiffBytes(PageTags(1, 4, {0}, {216 * 4}, 4), white));
  ASSERT_EQ(s.SendFax(job, req, "GOOD.TIF"), 0);
  EXPECT_TRUE(WaitText(s.server_log(), "Attempting connection", 10000)) << ReadFile(s.server_log());
}
