// Send, scan and receive jobs of the device controller against the test's
// DRENNIC slot and a scripted TESSALY at the mailslot level, on the virtual
// clock: a 3-page fine send gets its headers and is followed page by page;
// busy, abort, bad jobs and a missing fax-sent report end it with their
// status words; retries count only attempts that got too few pages through,
// and a restart skips the pages already sent behind a retransmission header;
// a closedown ends the job in hand.  An incoming call to a DID in
// ROUTING.INI is filed in the receive user's K-IN folder (superfine kept,
// partial receives marked, relay fields written), calls to unknown DIDs or
// without a receive user are refused.  Every fax file marrock writes is read
// back by libtiff.
#include <sys/mount.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "common/byte_order.h"
#include "common/tessaly_packets.h"
#include "controller/controller.h"
#include "controller/fax_file.h"
#include "controller/page_header_render.h"
#include "controller/receive_routing.h"
#include "controller/support/controller_harness.h"
#include "platform/paths.h"

namespace {

namespace fs = std::filesystem;
using kvtest::Bytes;
using kvtest::ControllerWorld;
using kvtest::TessalyMode;
using ::testing::HasSubstr;

const std::vector<std::string> kGroupArgs = {"marrock", "GROUP", "G1", "3", "5"};
constexpr const char* kSlot = "FOIP\\G1\\3";

std::uint8_t TypeOf(const Bytes& b) { return b.size() > 3 ? b[3] : 0; }

FaxBitmap Pattern(std::uint32_t width, std::uint32_t lines, std::uint32_t seed, std::uint16_t y_res) {
  FaxBitmap p;
  p.width = width;
  p.lines = lines;
  p.y_res = y_res;
  p.bits.assign(std::size_t{p.stride()} * lines, 0);
  for (std::uint32_t y = 0; y < lines; ++y)
    for (std::uint32_t x = (y * 5 + seed) % 40; x < width; x += 40 + seed)
      p.row(y)[x >> 3] |= static_cast<std::uint8_t>(0x80 >> (x & 7));
  return p;
}

std::vector<FaxBitmap> WriteFax(const std::string& path, int pages, std::uint16_t lpi, std::uint32_t lines = 120) {
  std::vector<FaxBitmap> out;
  FaxFileWriter w;
  EXPECT_EQ(w.Start(path, lpi, FAX_PAGE_WIDTH), STATUS_OK);
  for (int i = 0; i < pages; ++i) {
    out.push_back(Pattern(FAX_PAGE_WIDTH, lines, static_cast<std::uint32_t>(i + 1), lpi));
    EXPECT_EQ(w.WritePage(out.back(), i + 1 == pages), STATUS_OK);
  }
  return out;
}

std::string Slurp(const std::string& command) {
  std::string out;
  if (FILE* p = popen(command.c_str(), "r")) {
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
  }
  return out;
}

// libtiff decodes every page of the file without a complaint.
void ExpectTiffinfoClean(const std::string& path, int pages) {
  const std::string out = Slurp("tiffinfo -D '" + path + "' 2>&1");
  ASSERT_FALSE(out.empty()) << "tiffinfo missing";
  EXPECT_EQ(out.find("rror"), std::string::npos) << out.substr(0, 2000);
  EXPECT_EQ(out.find("arning"), std::string::npos) << out.substr(0, 2000);
  std::size_t n = 0;
  for (std::size_t at = out.find("TIFF Directory"); at != std::string::npos; at = out.find("TIFF Directory", at + 1))
    ++n;
  EXPECT_EQ(n, static_cast<std::size_t>(pages)) << out.substr(0, 2000);
}

Bytes SendJob(std::uint16_t job, const std::string& folder, const std::string& file, int format, int route,
              const std::string& telephone) {
  Bytes p = kvtest::DeviceRequestPacket(RST_DEVICE_SEND, 0, kDeviceRequestSize);
  put_le16(p.data() + 8, job);
  PutTextField(p.data() + 10, 9, "MSG00042");
  PutTextField(p.data() + 26, 257, folder.c_str());
  PutTextField(p.data() + 283, 13, file.c_str());
  put_le16(p.data() + 310, static_cast<std::uint16_t>(format));
  put_le16(p.data() + 312, static_cast<std::uint16_t>(route));
  PutTextField(p.data() + 314, 41, telephone.c_str());
  PutTextField(p.data() + 386, 31, "Recipient");
  put_le32(p.data() + 460, HEADER_PAGE_NUMBERS | HEADER_NAMES | HEADER_DATE | HEADER_TIME);
  PutTextField(p.data() + 505, 31, "Sender");
  return p;
}

Bytes Status(std::uint16_t device, std::uint16_t kind, std::uint16_t value) {
  return kvtest::FaxStatusBytes(device, kind, value);
}

struct JobResult {
  StatusWord status = 0xFFFF;
  std::uint16_t job = 0xFFFF, state = 0, connect = 0, pages = 0xFFFF;
};

class JobsTest : public ::testing::Test {
 protected:
  JobsTest() {
    const std::string server = world_.tmp.File("server");
    mkdir((server + "/K-TEMP").c_str(), 0777);
    EXPECT_EQ(MakeHeaderFontFile(server + "/K-DB/ELIT_LN.FN", false), STATUS_OK);
    EXPECT_EQ(MakeHeaderFontFile(server + "/K-DB/ELIT_LF.FN", true), STATUS_OK);
    fs::create_directories(world_.tmp.File("users/FAXIN/K-IN"));
    fs::create_directories(world_.tmp.File("server/msgs"));
    kvtest::WriteFile(world_.tmp.File("system/K-DB/ROUTING.INI"), "[SUBADDR]\n5551: FAXIN\n7777: @nobody\n");
  }
  void Start(const std::string& device_body = "Port: FOIP\nRecdUser: FAXIN\nPhoneNum: 0123\n",
             const std::string& extra = "") {
    world_.WriteIni(device_body, extra);
    world_.SetTessaly(TessalyMode::kAnswer);
    ASSERT_EQ(c_.InitialiseController(kGroupArgs), 0);
    device_ = c_.identity().device_id;
    world_.DrennicPackets();
    world_.MorvathPackets();
    world_.tessaly_requests().clear();
  }
  // Runs main-loop rounds until the controller is idle again with nothing waiting.
  void Run(int rounds = 3) {
    int r = 0;
    for (int i = 0; i < rounds && !c_.closedown_requested(); ++i) r = c_.MainLoopRound(r);
  }
  // DRENNIC packets split into job results and the device status lines.
  void Collect(std::vector<JobResult>* results, std::vector<std::string>* states, std::vector<Bytes>* received) {
    for (const Bytes& b : world_.DrennicPackets()) {
      if (TypeOf(b) == RST_DRENNIC_JOB_RESULT) {
        results->push_back({get_le16(b.data() + 4), get_le16(b.data() + 18), get_le16(b.data() + 20),
                            get_le16(b.data() + 22), get_le16(b.data() + 24)});
      } else if (TypeOf(b) == RST_DRENNIC_DEVICE_STATUS) {
        states->push_back(std::to_string(get_le16(b.data() + 18)) + "/" + std::to_string(get_le16(b.data() + 20)));
      } else if (TypeOf(b) == RST_DRENNIC_MESSAGE_RECEIVED && received) {
        received->push_back(b);
      }
    }
  }
  // Files of the receive user's K-IN folder.
  std::vector<std::string> Inbox() {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(world_.tmp.File("users/FAXIN/K-IN")))
      names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  std::vector<Bytes> Requests(std::uint8_t type) {
    std::vector<Bytes> out;
    for (const Bytes& b : world_.tessaly_requests())
      if (TypeOf(b) == type) out.push_back(b);
    return out;
  }

  ControllerWorld world_;
  Controller c_{&world_.clock};
  std::uint16_t device_ = 0;
};

// The scripted tessaly keeps a copy of every file it is handed.
struct HandedFiles {
  std::vector<std::string> copies;
  std::vector<SendFaxPacket> packets;
  void Take(const Bytes& request, const std::string& dir) {
    SendFaxPacket p;
    ASSERT_TRUE(ReadSendFax(request.data(), request.size(), &p));
    const std::string copy = dir + "/handed" + std::to_string(copies.size()) + ".tif";
    fs::copy_file(platform::ToLinuxPath(p.folder) + p.file_name, copy, fs::copy_options::overwrite_existing);
    copies.push_back(copy);
    packets.push_back(p);
  }
};

TEST_F(JobsTest, ThreePageFineSendGetsHeadersAndIsFollowedPageByPage) {
  Start();
  const auto message = WriteFax(world_.tmp.File("server/msgs/MSG00042.G3F"), 3, 200);
  HandedFiles handed;
  world_.script = [&](const Bytes& req) {
    if (TypeOf(req) != RST_TESSALY_SEND_FAX) return;
    handed.Take(req, world_.tmp.path());
    for (Bytes b : {Status(device_, FAX_STATUS_CONNECTED, 0), Status(device_, FAX_STATUS_PAGE_SENT, 1),
                    Status(device_, FAX_STATUS_PAGE_SENT, 2), Status(device_, FAX_STATUS_PAGE_SENT, 3),
                    Status(device_, FAX_STATUS_FAX_SENT, 0)})
      world_.QueueToController(b);
  };
  ASSERT_EQ(
      world_.SendRequest(kSlot, SendJob(7, world_.tmp.File("server/msgs") + "\\", "MSG00042.G3F", 6, 3, "x 555 01")),
      0);
  Run();
  std::vector<JobResult> results;
  std::vector<std::string> states;
  Collect(&results, &states, nullptr);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].status, 0);
  EXPECT_EQ(results[0].job, 7);
  EXPECT_EQ(results[0].pages, 3);
  // SENDING (3) once per page, then IDLE.
  EXPECT_THAT(states, ::testing::IsSupersetOf({"3/1", "3/2", "3/3"}));
  EXPECT_EQ(states.back(), "1/0");
  ASSERT_EQ(handed.copies.size(), 1u);
  EXPECT_STREQ(handed.packets[0].telephone, "55501");
  EXPECT_STREQ(handed.packets[0].sender_csid, "0123");
  EXPECT_EQ(handed.packets[0].pages, 3);
  EXPECT_STREQ(handed.packets[0].message_name, "MSG00042");
  ExpectTiffinfoClean(handed.copies[0], 3);
  // Each page is its header band above the message page, unchanged.
  std::vector<FaxBitmap> pages;
  ASSERT_EQ(ReadFaxFile(handed.copies[0], &pages), STATUS_OK);
  ASSERT_EQ(pages.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    ASSERT_GT(pages[i].lines, message[i].lines);
    const std::uint32_t band = pages[i].lines - message[i].lines;
    EXPECT_EQ(band, 2u * 2 + 24 + 2);  // blank lines, font rows, blank lines
    const std::vector<std::uint8_t> body(pages[i].row(band), pages[i].row(band) + message[i].bits.size());
    EXPECT_EQ(body, message[i].bits) << "page " << i + 1;
    EXPECT_NE(std::count(pages[i].bits.begin(), pages[i].bits.begin() + band * pages[i].stride(), 0),
              static_cast<long>(band * pages[i].stride()))
        << "header band empty";
  }
  // The outgoing and header files are gone.
  EXPECT_FALSE(fs::exists(world_.tmp.File("temp/KV3P001.TIF")));
  EXPECT_TRUE(fs::is_empty(world_.tmp.File("server/K-TEMP")));
  EXPECT_TRUE(world_.Logged("2 SendMsgFinished() 0"));
  EXPECT_EQ(c_.tessaly().foip_status(), FOIP_READY);
}

TEST_F(JobsTest, BusyAbortAndBadJobsEndWithTheirStatusWords) {
  Start();
  WriteFax(world_.tmp.File("server/msgs/MSG00042.G3F"), 2, 100);
  kvtest::WriteFile(world_.tmp.File("server/msgs/NOTAFAX.G3N"), "II*_ but nothing more");
  const std::string folder = world_.tmp.File("server/msgs") + "\\";
  // A job of MSG00042 for route 2, format 5, to 1234 unless the case says otherwise.
  const auto job = [&](std::uint16_t id, const char* file = "MSG00042.G3F", int format = 5,
                       const char* number = "1234") { return SendJob(id, folder, file, format, 2, number); };
  struct Case {
    const char* name;
    Bytes job;
    StatusWord status;
    std::uint16_t pages;
    const char* log;
    std::vector<Bytes> script = {};  // tessaly's reports after the file
    bool abort_after_page = false;
    bool retried = false;  // a second try follows the first
  };
  const Bytes connected = Status(device_, FAX_STATUS_CONNECTED, 0);
  const Bytes page1 = Status(device_, FAX_STATUS_PAGE_SENT, 1);
  const Bytes page2 = Status(device_, FAX_STATUS_PAGE_SENT, 2);
  const Bytes sent = Status(device_, FAX_STATUS_FAX_SENT, 0);
  const Bytes engaged = Status(device_, FOIP_STATUS_FAX_NOT_CONNECTED, STATUS_FAX_ENGAGED);
  const Case cases[] = {
      {"busy (486)", job(11), STATUS_FAX_ENGAGED, 0, "3 Phone number engaged", {engaged}},
      {"abort", job(12), STATUS_JOB_ABORTED, 1, "3 Abort received in state SENDING", {connected, page1}, true},
      {"format not the route's", job(13, "MSG00042.G3F", 6), STATUS_BAD_ARGUMENT, 0,
       "5 Format 6 not valid for route 2"},
      {"missing file", job(14, "NOFILE.G3N"), STATUS_FILE_FAILURE, 0, "5 Error opening send file"},
      {"empty number", job(15, "MSG00042.G3F", 5, "x  "), STATUS_BAD_ARGUMENT, 0, "5 Invalid telephone number x  "},
      {"message file not a fax", job(16, "NOTAFAX.G3N"), STATUS_FILE_FAILURE, 0,
       "5 Error 0xF01C initialising reading Tiff file"},
      {"last page without fax sent, twice",
       job(17),
       STATUS_FAX_FAILED,
       2,
       "4 Timed out waiting for TESSALY fax successful message",
       {connected, page1, page2},
       false,
       true},
      {"fax sent before its last page report", job(18), 0, 2, "3 Fax sent successfully", {connected, page1, sent}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    world_.ClearLog();
    world_.tessaly_requests().clear();
    world_.script = [&](const Bytes& req) {
      if (TypeOf(req) != RST_TESSALY_SEND_FAX) return;
      for (const Bytes& b : c.script) world_.QueueToController(b);
      if (c.abort_after_page) world_.SendRequest(kSlot, kvtest::DeviceRequestPacket(RST_DEVICE_ABORT, 0, 8));
    };
    ASSERT_EQ(world_.SendRequest(kSlot, c.job), 0);
    Run();
    std::vector<JobResult> results;
    std::vector<std::string> states;
    Collect(&results, &states, nullptr);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].status, c.status);
    EXPECT_EQ(results[0].pages, c.pages);
    EXPECT_TRUE(world_.Logged(c.log));
    if (c.abort_after_page) {
      EXPECT_EQ(Requests(RST_TESSALY_ABORT_FAX).size(), 1u);
    }
    if (c.retried) {
      // Retried once (two tries), each attempt cancelled on tessaly's side.
      EXPECT_EQ(world_.CountLogged("Timed out waiting for TESSALY fax successful message"), 2);
      EXPECT_EQ(Requests(RST_TESSALY_SEND_FAX).size(), 2u);
      EXPECT_EQ(Requests(RST_TESSALY_ABORT_FAX).size(), 2u);
    }
    EXPECT_EQ(c_.tessaly().foip_status(), FOIP_READY);
    EXPECT_EQ(c_.fax_server().device_state(), DS_IDLE);
    EXPECT_FALSE(fs::exists(world_.tmp.File("temp/KV3P001.TIF")));
  }
}

TEST_F(JobsTest, RestartSkipsSentPagesBehindTheRetransmissionHeader) {
  Start("Port: FOIP\nRecdUser: FAXIN\nRestartSplitPages: 2\nRestartInitialPages: 1\nMinSendRetryPages: 0\n");
  const auto message = WriteFax(world_.tmp.File("server/msgs/MSG00042.G3N"), 4, 100, 60);
  const FaxBitmap retry_header = Pattern(FAX_PAGE_WIDTH, 9, 30, 100);
  {
    FaxFileWriter w;
    ASSERT_EQ(w.Start(world_.tmp.File("server/K-DB/RETRYHDR.G3N"), 100, FAX_PAGE_WIDTH), STATUS_OK);
    ASSERT_EQ(w.WritePage(retry_header, true), STATUS_OK);
  }
  HandedFiles handed;
  world_.script = [&](const Bytes& req) {
    if (TypeOf(req) != RST_TESSALY_SEND_FAX) return;
    handed.Take(req, world_.tmp.path());
    world_.QueueToController(Status(device_, FAX_STATUS_CONNECTED, 0));
    if (handed.copies.size() == 1) {
      // The first attempt breaks down after three pages (device busy: retried).
      for (std::uint16_t p = 1; p <= 3; ++p) world_.QueueToController(Status(device_, FAX_STATUS_PAGE_SENT, p));
      world_.QueueToController(Status(device_, FOIP_STATUS_FAX_NOT_SENT, STATUS_FAX_BUSY));
    } else {
      for (std::uint16_t p = 1; p <= 2; ++p) world_.QueueToController(Status(device_, FAX_STATUS_PAGE_SENT, p));
      world_.QueueToController(Status(device_, FAX_STATUS_FAX_SENT, 0));
    }
  };
  ASSERT_EQ(world_.SendRequest(kSlot, SendJob(21, world_.tmp.File("server/msgs") + "\\", "MSG00042.G3N", 5, 2, "1234")),
            0);
  Run();
  std::vector<JobResult> results;
  std::vector<std::string> states;
  Collect(&results, &states, nullptr);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].status, 0);
  EXPECT_EQ(results[0].pages, 4);
  ASSERT_EQ(handed.copies.size(), 2u);
  EXPECT_EQ(handed.packets[1].pages, 2);
  EXPECT_TRUE(world_.Logged("2 Skipping pages 2 to 3"));
  ExpectTiffinfoClean(handed.copies[1], 2);
  std::vector<FaxBitmap> pages;
  ASSERT_EQ(ReadFaxFile(handed.copies[1], &pages), STATUS_OK);
  ASSERT_EQ(pages.size(), 2u);
  // Page 1 under the retransmission header, then page 4 under its own header.
  ASSERT_EQ(pages[0].lines, retry_header.lines + message[0].lines);
  EXPECT_EQ(std::vector<std::uint8_t>(pages[0].row(0), pages[0].row(retry_header.lines)), retry_header.bits);
  EXPECT_EQ(std::vector<std::uint8_t>(pages[0].row(retry_header.lines), pages[0].row(pages[0].lines)), message[0].bits);
  const std::uint32_t band = pages[1].lines - message[3].lines;
  EXPECT_EQ(band, 2u * 1 + 12 + 1);
  EXPECT_EQ(std::vector<std::uint8_t>(pages[1].row(band), pages[1].row(pages[1].lines)), message[3].bits);
}

TEST_F(JobsTest, AttemptThatSentEnoughPagesDoesNotCountAsATry) {
  // One try only, but an attempt that got a page through is not counted.
  Start(
      "Port: FOIP\nRecdUser: FAXIN\nSendMsgTries: 1\nMinSendRetryPages: 1\nRestartSplitPages: 0\n"
      "RestartInitialPages: 0\n");
  WriteFax(world_.tmp.File("server/msgs/MSG00042.G3N"), 3, 100, 40);
  int attempts = 0;
  world_.script = [&](const Bytes& req) {
    if (TypeOf(req) != RST_TESSALY_SEND_FAX) return;
    ++attempts;
    world_.QueueToController(Status(device_, FAX_STATUS_CONNECTED, 0));
    if (attempts == 1) {
      world_.QueueToController(Status(device_, FAX_STATUS_PAGE_SENT, 1));
      world_.QueueToController(Status(device_, FOIP_STATUS_FAX_NOT_SENT, STATUS_FAX_BUSY));
    } else if (attempts == 2) {
      world_.QueueToController(Status(device_, FOIP_STATUS_FAX_NOT_SENT, STATUS_FAX_BUSY));  // nothing sent
    }
  };
  ASSERT_EQ(world_.SendRequest(kSlot, SendJob(51, world_.tmp.File("server/msgs") + "\\", "MSG00042.G3N", 5, 2, "1234")),
            0);
  Run();
  EXPECT_EQ(attempts, 2);
  std::vector<JobResult> results;
  std::vector<std::string> states;
  Collect(&results, &states, nullptr);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].status, STATUS_FAX_OFFLINE);  // PERC 7
  EXPECT_EQ(results[0].pages, 1);
  EXPECT_EQ(world_.CountLogged("3 Device is busy"), 2);
}

// Receive scripts: tessaly writes the receive file, then reports the call.
struct ReceiveScript {
  int pages = 2;
  std::uint16_t lpi = 200;
  bool complete = true;       // fax received, else fax not received after the pages
  bool closedown = false;     // a closedown arrives after the pages instead
  bool garbage = false;       // the receive file is not a fax
  bool connected = true;      // the receive-connected report comes
  bool tessaly_dies = false;  // tessaly's slot goes after the pages instead
  const char* csid = "ACME:23";
  const char* did = "5551";
  std::vector<FaxBitmap> written;
  std::vector<RecvFaxPacket> answers;
};

class ReceiveTest : public JobsTest {
 protected:
  void Script(ReceiveScript* s) {
    world_.script = [this, s](const Bytes& req) {
      if (TypeOf(req) != RST_TESSALY_RECV_FAX) return;
      RecvFaxPacket p;
      ASSERT_TRUE(ReadRecvFax(req.data(), req.size(), &p));
      s->answers.push_back(p);
      if (!p.accept) return;
      const std::string path = platform::ToLinuxPath(p.folder) + p.file_name;
      if (s->pages) s->written = WriteFax(path, s->pages, s->lpi, 80);
      if (s->garbage) kvtest::WriteFile(path, "not a fax at all");
      ReceiveConnectedPacket rc;
      rc.device_id = device_;
      std::snprintf(rc.remote_csid, sizeof rc.remote_csid, "%s", s->csid);
      std::snprintf(rc.did, sizeof rc.did, "%s", s->did);
      Bytes b(kReceiveConnectedSize);
      WriteReceiveConnected(rc, b.data());
      if (s->connected) world_.QueueToController(b);
      for (int i = 1; i <= s->pages; ++i)
        world_.QueueToController(Status(device_, FAX_STATUS_PAGE_RECEIVED, static_cast<std::uint16_t>(i)));
      if (s->tessaly_dies) {
        world_.SetTessaly(TessalyMode::kMissing);
        return;
      }
      if (s->closedown) {
        world_.SendRequest(kSlot, kvtest::DeviceRequestPacket(RST_DEVICE_CLOSEDOWN, 0, 8));
        return;
      }
      world_.QueueToController(s->complete ? Status(device_, FAX_STATUS_FAX_RECEIVED, 0)
                                           : Status(device_, FAX_STATUS_FAX_NOT_RECEIVED, 0xF105));
    };
  }
  void Ring(const char* called, const char* caller = "02071234567") {
    RingInPacket ri;
    ri.device_id = device_;
    std::snprintf(ri.called, sizeof ri.called, "%s", called);
    std::snprintf(ri.caller_number, sizeof ri.caller_number, "%s", caller);
    std::snprintf(ri.caller_address, sizeof ri.caller_address, "127.0.0.1");
    Bytes b(kRingInSize);
    WriteRingIn(ri, b.data());
    world_.QueueToController(b);
    world_.ServeTessaly();
  }
  std::string Control() {
    for (const std::string& n : Inbox())
      if (n.size() > 4 && n.substr(n.size() - 4) == ".CTL")
        return kvtest::ReadFile(world_.tmp.File("users/FAXIN/K-IN/" + n));
    return "";
  }
};

TEST_F(ReceiveTest, CallToKnownDidIsFiledInTheUsersInbox) {
  Start("Port: FOIP\nRecdUser: FAXIN\nRejectIncoming: DID\n");
  ReceiveScript s;
  Script(&s);
  Ring("5551");
  Run();
  ASSERT_EQ(s.answers.size(), 1u);
  EXPECT_EQ(s.answers[0].accept, 1u);
  const auto inbox = Inbox();
  ASSERT_EQ(inbox.size(), 2u);
  EXPECT_THAT(inbox[0], ::testing::MatchesRegex("~RECD...\\.CTL"));
  EXPECT_EQ(inbox[1], inbox[0].substr(0, 8) + ".G3F");
  // The message file: the received pages, pixel for pixel, read by libtiff.
  const std::string msg = world_.tmp.File("users/FAXIN/K-IN/" + inbox[1]);
  ExpectTiffinfoClean(msg, 2);
  std::vector<FaxBitmap> pages;
  ASSERT_EQ(ReadFaxFile(msg, &pages), STATUS_OK);
  ASSERT_EQ(pages.size(), 2u);
  for (std::size_t i = 0; i < 2; ++i) EXPECT_EQ(pages[i].bits, s.written[i].bits) << "page " << i + 1;
  const std::string ctl = Control();
  EXPECT_THAT(ctl, HasSubstr("[KORVANE]\r\nType: ReceiveControl\r\n"));
  EXPECT_THAT(ctl, HasSubstr("File: " + inbox[1] + "\r\n"));
  EXPECT_THAT(ctl, HasSubstr("Format: TIFF-FINE\r\n"));
  EXPECT_THAT(ctl, HasSubstr("From: FAX-FINE 'ACME'\r\n"));
  EXPECT_THAT(ctl, HasSubstr("DTMF: 5551\r\nExtCSID: 23\r\n"));
  EXPECT_THAT(ctl, HasSubstr("FullCSID: ACME\r\nCLI: 02071234567\r\n"));
  std::vector<JobResult> results;
  std::vector<std::string> states;
  std::vector<Bytes> received;
  Collect(&results, &states, &received);
  ASSERT_EQ(received.size(), 1u);
  char user[10] = "", control[14] = "";
  GetTextField(received[0].data() + 18, 9, user, sizeof user);
  GetTextField(received[0].data() + 27, 13, control, sizeof control);
  EXPECT_STREQ(user, "FAXIN");
  EXPECT_EQ(control, inbox[0]);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].job, 0);
  EXPECT_EQ(results[0].status, 0);
  EXPECT_EQ(results[0].pages, 2);
  EXPECT_THAT(states, ::testing::IsSupersetOf({"9/0", "4/1", "4/2"}));
  EXPECT_EQ(states.back(), "1/0");
  // The temporary receive files are gone.
  EXPECT_FALSE(fs::exists(world_.tmp.File("temp/t301.TIF")));
  EXPECT_FALSE(fs::exists(world_.tmp.File("temp/ct301.TIF")));
  EXPECT_EQ(c_.tessaly().foip_status(), FOIP_READY);
}

TEST_F(ReceiveTest, SuperfinePartialAndEmptyReceives) {
  Start("Port: FOIP\nRecdUser: FAXIN\n");
  struct Case {
    const char* name;
    int pages;
    std::uint16_t lpi;
    bool complete;
    StatusWord status;
    const char* extension;
    const char* format_line;
  };
  const Case cases[] = {
      {"superfine", 1, 400, true, 0, ".G3S", "Format: TIFF-SUPERFINE\r\n"},
      {"not received after two pages", 2, 100, false, STATUS_PARTIAL_RECEIVE, ".G3N", "Format: TIFF-NORMAL\r\n"},
      {"no page at all", 0, 200, false, 0, nullptr, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const std::string& n : Inbox()) fs::remove(world_.tmp.File("users/FAXIN/K-IN/" + n));
    world_.ClearLog();
    ReceiveScript s;
    s.pages = c.pages;
    s.lpi = c.lpi;
    s.complete = c.complete;
    Script(&s);
    Ring("");
    Run();
    std::vector<JobResult> results;
    std::vector<std::string> states;
    std::vector<Bytes> received;
    Collect(&results, &states, &received);
    if (!c.extension) {
      EXPECT_TRUE(Inbox().empty());
      EXPECT_TRUE(results.empty());
      EXPECT_TRUE(world_.Logged("5 Error FILE ERROR receiving page from Fax"));
      continue;
    }
    const auto inbox = Inbox();
    ASSERT_EQ(inbox.size(), 2u);
    EXPECT_EQ(inbox[1].substr(8), c.extension);
    ExpectTiffinfoClean(world_.tmp.File("users/FAXIN/K-IN/" + inbox[1]), c.pages);
    std::vector<FaxBitmap> pages;
    ASSERT_EQ(ReadFaxFile(world_.tmp.File("users/FAXIN/K-IN/" + inbox[1]), &pages), STATUS_OK);
    ASSERT_EQ(pages.size(), static_cast<std::size_t>(c.pages));
    for (std::size_t i = 0; i < pages.size(); ++i) EXPECT_EQ(pages[i].bits, s.written[i].bits);
    EXPECT_THAT(Control(), HasSubstr(c.format_line));
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].status, c.status);
    EXPECT_EQ(results[0].pages, c.pages);
    EXPECT_EQ(received.size(), 1u);
    if (!c.complete) {
      EXPECT_TRUE(world_.Logged("4 Converted partially received message"));
    }
  }
}

TEST_F(ReceiveTest, UnknownDidAndRelayRulesRefuseTheCall) {
  Start("Port: FOIP\nRecdUser: FAXIN\nRejectIncoming: DID\n");
  ReceiveScript s;
  Script(&s);
  Ring("9999");
  Run();
  ASSERT_EQ(s.answers.size(), 1u);
  EXPECT_EQ(s.answers[0].accept, 0u);
  EXPECT_TRUE(world_.Logged("4 Rejecting call to unknown DID number: 9999"));
  EXPECT_TRUE(Inbox().empty());
  std::vector<JobResult> results;
  std::vector<std::string> states;
  Collect(&results, &states, nullptr);
  EXPECT_TRUE(results.empty());
  EXPECT_EQ(c_.fax_server().device_state(), DS_IDLE);
  // A call whose CLI carries CR LF cannot add lines to the control file.
  s.answers.clear();
  Ring("5551", "0207\r\nRelayUser: EVIL");
  Run();
  ASSERT_EQ(s.answers.size(), 1u);
  EXPECT_EQ(s.answers[0].accept, 1u);
  EXPECT_THAT(Control(), HasSubstr("CLI: 0207RelayUser: EVIL\r\nRelayUser: \r\n"));
}

TEST_F(ReceiveTest, DeviceWithoutReceiveUserRefusesTheCall) {
  Start("Port: FOIP\n");
  ReceiveScript s;
  Script(&s);
  Ring("5551");
  Run();
  ASSERT_EQ(s.answers.size(), 1u);
  EXPECT_EQ(s.answers[0].accept, 0u);
  EXPECT_TRUE(world_.Logged("5 No user configured for incoming call - ignoring it"));
  EXPECT_TRUE(Inbox().empty());
}

TEST_F(ReceiveTest, RelayCallsCarryUserAndDestination) {
  Start("Port: FOIP\nRecdUser: FAXIN\nRejectIncoming: DID\n", "[RELAY]\nRelayEnabled: 1\nRelayIdentifier: *\n");
  ReceiveScript s;
  s.did = "";
  Script(&s);
  Ring("*5551*0044123");
  Run();
  ASSERT_EQ(s.answers.size(), 1u);
  EXPECT_EQ(s.answers[0].accept, 1u);
  EXPECT_THAT(Control(), HasSubstr("RelayUser: FAXIN\r\nRelayDest: 0044123\r\n"));
  // Without a relay id and anonymous sending off, the call is refused.
  s.answers.clear();
  Ring("*0044123");
  Run();
  ASSERT_EQ(s.answers.size(), 1u);
  EXPECT_EQ(s.answers[0].accept, 0u);
  EXPECT_TRUE(world_.Logged("5 No Relay ID specified - rejecting call"));
}

TEST_F(ReceiveTest, ClosedownWhileReceivingFilesWhatArrivedOrKeepsIt) {
  Start("Port: FOIP\nRecdUser: FAXIN\n");
  ReceiveScript s;
  s.pages = 2;
  s.closedown = true;
  Script(&s);
  Ring("");
  Run();
  EXPECT_TRUE(c_.closedown_requested());
  EXPECT_FALSE(c_.job_in_hand());
  std::vector<JobResult> results;
  std::vector<std::string> states;
  std::vector<Bytes> received;
  Collect(&results, &states, &received);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].status, STATUS_PARTIAL_RECEIVE);
  EXPECT_EQ(results[0].pages, 2);
  EXPECT_EQ(received.size(), 1u);
  const auto inbox = Inbox();
  ASSERT_EQ(inbox.size(), 2u);
  ExpectTiffinfoClean(world_.tmp.File("users/FAXIN/K-IN/" + inbox[1]), 2);
  EXPECT_EQ(Requests(RST_TESSALY_ABORT_FAX).size(), 1u);
}

TEST_F(ReceiveTest, ClosedownKeepsAReceiveFileThatCannotBeFiled) {
  Start("Port: FOIP\nRecdUser: FAXIN\n");
  ReceiveScript s;
  s.pages = 0;
  s.garbage = true;
  s.closedown = true;
  Script(&s);
  // Pages were reported, but the file holds no fax.
  world_.script = [this, &s, inner = world_.script](const Bytes& req) {
    inner(req);
    if (TypeOf(req) == RST_TESSALY_RECV_FAX) world_.QueueToController(Status(device_, FAX_STATUS_PAGE_RECEIVED, 1));
  };
  (void)s;
  Ring("");
  Run();
  std::vector<JobResult> results;
  std::vector<std::string> states;
  Collect(&results, &states, nullptr);
  // Not filed, but reported: not received, with the page that arrived.
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].status, 0xF016);
  EXPECT_EQ(results[0].pages, 1);
  EXPECT_TRUE(Inbox().empty());
  EXPECT_TRUE(world_.Logged("3 Shutdown whilst receiving fax, attempting to back up"));
  int kept = 0;
  for (const auto& e : fs::directory_iterator(world_.tmp.File("temp"))) {
    const std::string n = e.path().filename().string();
    if (n.rfind("t301.TIF_", 0) == 0) {
      ++kept;
      EXPECT_EQ(kvtest::ReadFile(e.path().string()), "not a fax at all");
    }
  }
  EXPECT_EQ(kept, 1);
  EXPECT_FALSE(fs::exists(world_.tmp.File("temp/t301.TIF")));
}

// tessaly ends (its slot goes) while a call it offered is in hand: before
// the call connected, before any page, or after two pages.  Each ends with
// one result, not received (0xF016) with the pages that arrived; pages that
// arrived are filed as a partial fax.  The device is idle again, nothing is
// left in the receive folder, and a tessaly that starts again gets the
// device registered.
struct TessalyGoneCase {
  const char* name;
  bool connected;
  int pages;
};

class TessalyGoneWhileReceiving : public ReceiveTest, public ::testing::WithParamInterface<TessalyGoneCase> {};

TEST_P(TessalyGoneWhileReceiving, EndsWithAResultAndKeepsThePages) {
  const TessalyGoneCase& c = GetParam();
  Start("Port: FOIP\nRecdUser: FAXIN\n");
  ReceiveScript s;
  s.pages = c.pages;
  s.connected = c.connected;
  s.tessaly_dies = true;
  Script(&s);
  Ring("");
  const std::uint64_t before = world_.clock.elapsed_ms();
  Run();
  // Noticed at the first poll, not after the connect or page waits.
  EXPECT_LT(world_.clock.elapsed_ms() - before, 10000u);
  EXPECT_FALSE(c_.job_in_hand());
  EXPECT_EQ(c_.tessaly().foip_status(), FOIP_READY);
  EXPECT_EQ(c_.fax_server().device_state(), DS_IDLE);
  std::vector<JobResult> results;
  std::vector<std::string> states;
  std::vector<Bytes> received;
  Collect(&results, &states, &received);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].status, 0xF016);
  EXPECT_EQ(results[0].job, 0);
  EXPECT_EQ(results[0].pages, c.pages);
  EXPECT_TRUE(world_.Logged("5 TESSALY has gone - the request or fax in hand is lost"));
  const auto inbox = Inbox();
  if (c.pages > 0) {
    EXPECT_EQ(received.size(), 1u);
    ASSERT_EQ(inbox.size(), 2u);
    ExpectTiffinfoClean(world_.tmp.File("users/FAXIN/K-IN/" + inbox[1]), c.pages);
    std::vector<FaxBitmap> pages;
    ASSERT_EQ(ReadFaxFile(world_.tmp.File("users/FAXIN/K-IN/" + inbox[1]), &pages), STATUS_OK);
    ASSERT_EQ(pages.size(), s.written.size());
    for (std::size_t i = 0; i < pages.size(); ++i) EXPECT_EQ(pages[i].bits, s.written[i].bits) << "page " << i + 1;
  } else {
    EXPECT_TRUE(received.empty());
    EXPECT_TRUE(inbox.empty());
  }
  EXPECT_FALSE(fs::exists(world_.tmp.File("temp/t301.TIF")));
  EXPECT_FALSE(fs::exists(world_.tmp.File("temp/ct301.TIF")));
  EXPECT_TRUE(Requests(RST_TESSALY_ABORT_FAX).empty()) << "an abort for a tessaly that is gone";

  // A tessaly again: the device registers in its idle round.
  world_.tessaly_requests().clear();
  world_.SetTessaly(TessalyMode::kAnswer);
  Run();
  EXPECT_TRUE(world_.Logged("TESSALY has started again - registering the device"));
  EXPECT_EQ(Requests(RST_TESSALY_REGISTER_DEVICE).size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Cases, TessalyGoneWhileReceiving,
                         ::testing::Values(TessalyGoneCase{"BeforeConnected", false, 0},
                                           TessalyGoneCase{"BeforeAnyPage", true, 0},
                                           TessalyGoneCase{"AfterTwoPages", true, 2}),
                         [](const ::testing::TestParamInfo<TessalyGoneCase>& i) { return i.param.name; });

// A closedown while the call is being connected ends the wait at once:
// tessaly is told to abort the call, the call gets its result.
TEST_F(ReceiveTest, ClosedownWhileTheCallConnectsEndsTheWaitAtOnce) {
  Start("Port: FOIP\nRecdUser: FAXIN\n");
  ReceiveScript s;
  s.pages = 0;
  s.connected = false;
  s.closedown = true;
  Script(&s);
  Ring("");
  const std::uint64_t before = world_.clock.elapsed_ms();
  Run();
  EXPECT_LT(world_.clock.elapsed_ms() - before, 5000u);
  EXPECT_TRUE(c_.closedown_requested());
  EXPECT_FALSE(c_.job_in_hand());
  std::vector<JobResult> results;
  std::vector<std::string> states;
  Collect(&results, &states, nullptr);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].status, 0xF016);
  EXPECT_EQ(results[0].pages, 0);
  EXPECT_EQ(Requests(RST_TESSALY_ABORT_FAX).size(), 1u);
}

// The user's K-IN folder on a file system of 12 KiB: the received pages
// do not fit.  They are kept beside the receive files, nothing half written
// is left in K-IN, and DRENNIC gets a failed result instead of nothing.
TEST_F(ReceiveTest, FullDiskKeepsThePagesAndReportsAFailure) {
  Start("Port: FOIP\nRecdUser: FAXIN\n");
  const std::string inbox = world_.tmp.File("users/FAXIN/K-IN");
  fs::create_directories(inbox);
  if (mount("kvtest", inbox.c_str(), "tmpfs", 0, "size=12k") != 0) GTEST_SKIP() << "no tmpfs can be mounted here";
  struct Unmount {
    std::string path;
    ~Unmount() { (void)umount2(path.c_str(), MNT_DETACH); }
  } unmount{inbox};
  ReceiveScript s;
  s.pages = 3;
  Script(&s);
  Ring("");
  Run();
  std::vector<JobResult> results;
  std::vector<std::string> states;
  std::vector<Bytes> received;
  Collect(&results, &states, &received);
  EXPECT_TRUE(received.empty()) << "no message-received report for a fax not filed";
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].status, STATUS_IO_FAILURE);
  EXPECT_EQ(results[0].pages, 3);
  EXPECT_TRUE(Inbox().empty());
  EXPECT_TRUE(world_.Logged("5 Received fax could not be filed in"));
  // The converted pages are kept, whole.
  int kept = 0;
  for (const auto& e : fs::directory_iterator(world_.tmp.File("temp"))) {
    const std::string n = e.path().filename().string();
    if (n.rfind("ct301.TIF_", 0) != 0) continue;
    ++kept;
    std::vector<FaxBitmap> pages;
    ASSERT_EQ(ReadFaxFile(e.path().string(), &pages), STATUS_OK);
    EXPECT_EQ(pages.size(), 3u);
  }
  EXPECT_EQ(kept, 1);
  EXPECT_EQ(c_.tessaly().foip_status(), FOIP_READY);
  EXPECT_EQ(states.back(), "1/0");
}

TEST_F(JobsTest, ScanJobWaitsForADocumentThatNeverComes) {
  Start("Port: FOIP\nRecdUser: FAXIN\nScanDocWait: 30\n");
  auto scan = [](std::uint16_t job) {
    Bytes p = kvtest::DeviceRequestPacket(RST_DEVICE_SCAN, 0, kDeviceRequestSize);
    put_le16(p.data() + 8, job);
    put_le16(p.data() + 104, 77);
    return p;
  };
  struct Case {
    std::uint16_t job;
    bool abort;
    StatusWord status;
  } cases[] = {{41, false, STATUS_FAX_TIMEOUT}, {42, true, STATUS_JOB_ABORTED}};
  for (const Case& c : cases) {
    const std::uint64_t start = world_.clock.elapsed_ms();
    if (c.abort) world_.ScheduleRequest(start + 9000, kSlot, kvtest::DeviceRequestPacket(RST_DEVICE_ABORT, 0, 8));
    ASSERT_EQ(world_.SendRequest(kSlot, scan(c.job)), 0);
    Run(1);
    std::vector<Bytes> scans;
    for (const Bytes& b : world_.DrennicPackets())
      if (TypeOf(b) == RST_DRENNIC_SCAN_RESULT) scans.push_back(b);
    ASSERT_EQ(scans.size(), 1u) << c.job;
    EXPECT_EQ(get_le16(scans[0].data() + 4), c.status);
    EXPECT_EQ(get_le16(scans[0].data() + 18), c.job);
    EXPECT_EQ(get_le16(scans[0].data() + 22), 77);
    const std::uint64_t waited = world_.clock.elapsed_ms() - start;
    if (c.abort) {
      EXPECT_LT(waited, 30000u);
    } else {
      EXPECT_GE(waited, 30000u);
    }
  }
  EXPECT_TRUE(world_.Logged("5 MakeConnection() CONNECT_HOST_TO_PRINT not supported"));
}

TEST_F(JobsTest, ClosedownWhileSendingCancelsAndReports) {
  Start();
  WriteFax(world_.tmp.File("server/msgs/MSG00042.G3F"), 3, 200);
  world_.script = [&](const Bytes& req) {
    if (TypeOf(req) != RST_TESSALY_SEND_FAX) return;
    world_.QueueToController(Status(device_, FAX_STATUS_CONNECTED, 0));
    world_.QueueToController(Status(device_, FAX_STATUS_PAGE_SENT, 1));
    world_.SendRequest(kSlot, kvtest::DeviceRequestPacket(RST_DEVICE_CLOSEDOWN, 0, 8));
  };
  ASSERT_EQ(world_.SendRequest(kSlot, SendJob(31, world_.tmp.File("server/msgs") + "\\", "MSG00042.G3F", 6, 3, "1234")),
            0);
  Run();
  EXPECT_TRUE(c_.closedown_requested());
  EXPECT_FALSE(c_.job_in_hand());
  std::vector<JobResult> results;
  std::vector<std::string> states;
  Collect(&results, &states, nullptr);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].job, 31);
  EXPECT_EQ(results[0].status, STATUS_FAX_FAILED);
  EXPECT_EQ(results[0].pages, 1);
  EXPECT_EQ(Requests(RST_TESSALY_ABORT_FAX).size(), 1u);
  EXPECT_FALSE(fs::exists(world_.tmp.File("temp/KV3P001.TIF")));
}

}  // namespace
