// The tools of the demonstration fax, as real processes on loopback: the
// sample fax is what its generator writes and libtiff reads it cleanly; the
// T.38 fax peer (spandsp) takes the sample from another peer over UDPTL and
// its page comparison tells equal, header-extended and differing files
// apart; garbage datagrams do not upset it; the stand-in's fax request
// carries the file, format and route where the controller reads them.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/byte_order.h"
#include "common/mailslot.h"
#include "common/support/temp_folder.h"
#include "host/support/child_process.h"

#if defined(KV_HAVE_LIBTIFF)
#include <tiffio.h>
#endif

namespace {

using kvtest::BinaryDir;
using kvtest::Reap;
using kvtest::Spawn;

using ::testing::HasSubstr;
using ::testing::Not;
using Clock = std::chrono::steady_clock;

const std::string kSample = std::string(KV_SOURCE_DIR) + "/tools/samples/SAMPLE3.TIF";

int RunProgram(const std::vector<std::string>& args, const std::string& out_path, int ms = 20000) {
  return kvtest::RunProgram(args, out_path, {}, ms);
}

// Waits until `path` holds a number (a port).
int WaitPort(const std::string& path, int ms) {
  const auto end = Clock::now() + std::chrono::milliseconds(ms);
  while (Clock::now() < end) {
    const int port = std::atoi(kvtest::ReadFile(path).c_str());
    if (port > 0) return port;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return 0;
}

TEST(SampleFax, IsWhatTheGeneratorWritesAndReadsCleanly) {
  kvtest::TempFolder tmp;
  const std::string out = tmp.File("SAMPLE3.TIF");
  ASSERT_EQ(RunProgram({BinaryDir() + "/make-sample-fax", out}, tmp.File("gen.txt")), 0)
      << kvtest::ReadFile(tmp.File("gen.txt"));
  EXPECT_EQ(kvtest::ReadFile(out), kvtest::ReadFile(kSample)) << "tools/samples/SAMPLE3.TIF is out of date";
  // Every page decodes whole, with no warning, at fine resolution.
  ASSERT_EQ(RunProgram({"/usr/bin/tiffinfo", "-D", out}, tmp.File("info.txt")), 0);
  const std::string info = kvtest::ReadFile(tmp.File("info.txt"));
  EXPECT_THAT(info, Not(HasSubstr("Warning")));
  std::size_t pages = 0;
  for (std::size_t at = info.find("Image Width: 1728 Image Length: 900"); at != std::string::npos;
       at = info.find("Image Width: 1728 Image Length: 900", at + 1))
    ++pages;
  EXPECT_EQ(pages, 3u) << info;
  EXPECT_THAT(info, HasSubstr("Resolution: 204, 196 pixels/inch"));
  EXPECT_THAT(info, HasSubstr("Compression Scheme: CCITT Group 3"));
  // A folder that cannot be written is refused and leaves nothing.
  EXPECT_EQ(RunProgram({BinaryDir() + "/make-sample-fax", tmp.File("no/such/X.TIF")}, tmp.File("gen.txt")), 1);
}

#if defined(KV_HAVE_LIBTIFF) && defined(KV_HAVE_SPANDSP)
// Copies the sample with `header_rows` black rows above each page, or with
// its last page left out.
void WriteVariant(const std::string& path, std::uint32_t header_rows, bool drop_last) {
  TIFF* in = TIFFOpen(kSample.c_str(), "r");
  TIFF* out = TIFFOpen(path.c_str(), "w");
  ASSERT_TRUE(in && out);
  int page = 0;
  do {
    if (drop_last && page == 2) break;
    std::uint32_t width = 0, rows = 0;
    TIFFGetField(in, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(in, TIFFTAG_IMAGELENGTH, &rows);
    TIFFSetField(out, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(out, TIFFTAG_IMAGELENGTH, rows + header_rows);
    TIFFSetField(out, TIFFTAG_BITSPERSAMPLE, 1);
    TIFFSetField(out, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(out, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX3);
    TIFFSetField(out, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
    TIFFSetField(out, TIFFTAG_XRESOLUTION, 204.0f);
    TIFFSetField(out, TIFFTAG_YRESOLUTION, 196.0f);
    TIFFSetField(out, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    TIFFSetField(out, TIFFTAG_ROWSPERSTRIP, rows + header_rows);
    std::vector<std::uint8_t> line(static_cast<std::size_t>(TIFFScanlineSize(in)), 0xFF);
    for (std::uint32_t y = 0; y < header_rows; ++y) TIFFWriteScanline(out, line.data(), y, 0);
    for (std::uint32_t y = 0; y < rows; ++y) {
      TIFFReadScanline(in, line.data(), y, 0);
      TIFFWriteScanline(out, line.data(), header_rows + y, 0);
    }
    TIFFWriteDirectory(out);
    ++page;
  } while (TIFFReadDirectory(in));
  TIFFClose(in);
  TIFFClose(out);
}

TEST(FaxPeer, ComparisonTellsEqualHeaderExtendedAndDifferingFiles) {
  kvtest::TempFolder tmp;
  WriteVariant(tmp.File("header.tif"), 40, false);
  WriteVariant(tmp.File("short.tif"), 0, true);
  const struct {
    std::string received;
    int code;
    const char* text;
  } cases[] = {
      {kSample, 0, "compare: page 3 equal (1728 x 900)\ncompare: the pages received are the pages sent\n"},
      {tmp.File("header.tif"), 0, "compare: page 2 equal below 40 header rows\n"},
      {tmp.File("short.tif"), 2, "compare: 3 pages sent, 2 received\n"},
      {tmp.File("missing.tif"), 2, "compare: cannot read "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.received);
    EXPECT_EQ(RunProgram({BinaryDir() + "/t38-fax-peer", "compare", kSample, c.received}, tmp.File("out.txt")), c.code);
    EXPECT_THAT(kvtest::ReadFile(tmp.File("out.txt")), HasSubstr(c.text));
  }
  // The header variant the other way round: the sent page is longer.
  EXPECT_EQ(
      RunProgram({BinaryDir() + "/t38-fax-peer", "compare", tmp.File("header.tif"), kSample}, tmp.File("out.txt")), 2);
  EXPECT_THAT(kvtest::ReadFile(tmp.File("out.txt")), HasSubstr("compare: page 1 DIFFERS"));
}

// The caller comes 20 s after the answering peer started, as a busy system
// may: the answering peer's T.30 runs from the call, not from its own start
// (it would have spent its DIS attempts and hung up by then).
TEST(FaxPeer, TwoPeersPassTheSampleOverUdptl) {
  kvtest::TempFolder tmp;
  const std::string peer = BinaryDir() + "/t38-fax-peer";
  const pid_t receiver = Spawn({peer, "receive", tmp.File("rx.tif"), "--port-file", tmp.File("rx.port"), "--seconds",
                                "70", "--unpaced", "--ident", "RECEIVER"},
                               tmp.File("rx.txt"));
  ASSERT_GT(receiver, 0);
  const int port = WaitPort(tmp.File("rx.port"), 5000);
  ASSERT_GT(port, 0);
  std::this_thread::sleep_for(std::chrono::seconds(20));
  const int sent = RunProgram({peer, "send", kSample, "--calling", "--unpaced", "--remote",
                               "127.0.0.1:" + std::to_string(port), "--seconds", "40", "--ident", "SENDER"},
                              tmp.File("tx.txt"), 45000);
  EXPECT_EQ(Reap(receiver, 45000), 0) << kvtest::ReadFile(tmp.File("rx.txt"));
  EXPECT_EQ(sent, 0) << kvtest::ReadFile(tmp.File("tx.txt"));
  EXPECT_THAT(kvtest::ReadFile(tmp.File("rx.txt")), HasSubstr("result 0 (OK) pages 3 ident \"SENDER\""));
  EXPECT_THAT(kvtest::ReadFile(tmp.File("tx.txt")), HasSubstr("result 0 (OK) pages 3 ident \"RECEIVER\""));
  EXPECT_EQ(RunProgram({peer, "compare", kSample, tmp.File("rx.tif")}, tmp.File("cmp.txt")), 0)
      << kvtest::ReadFile(tmp.File("cmp.txt"));
}

TEST(FaxPeer, GarbageDatagramsAndNoCallEndWithinTheBound) {
  kvtest::TempFolder tmp;
  const auto began = Clock::now();
  const pid_t peer = Spawn({BinaryDir() + "/t38-fax-peer", "receive", tmp.File("rx.tif"), "--port-file",
                            tmp.File("rx.port"), "--seconds", "2"},
                           tmp.File("rx.txt"));
  ASSERT_GT(peer, 0);
  const int port = WaitPort(tmp.File("rx.port"), 5000);
  ASSERT_GT(port, 0);
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<std::uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const std::vector<std::vector<std::uint8_t>> garbage = {
      {},
      {0x00},
      {0x00, 0x01, 0x7F},                    // primary longer than the datagram
      {0x00, 0x02, 0x01, 0x00, 0x00, 0x05},  // five secondaries announced, none there
      {0x00, 0x03, 0xC0, 0x10},              // a fragmented length
      {0xFF, 0xFF, 0x02, 0x00, 0x00, 0x00, 0x00},
      std::vector<std::uint8_t>(1500, 0xA5),
  };
  for (const auto& g : garbage) sendto(fd, g.data(), g.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
  close(fd);
  EXPECT_EQ(Reap(peer, 10000), 2);
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - began).count(), 8000);
  EXPECT_THAT(kvtest::ReadFile(tmp.File("rx.txt")), HasSubstr("TIMEOUT"));
}
#endif

TEST(StandinPost, SendsWithoutHoldingTheSlots) {
  kvtest::TempFolder tmp;
  ASSERT_EQ(setenv("KORVANE_MAILSLOT_DIR", tmp.path().c_str(), 1), 0);
  MailslotHandle slot;
  ASSERT_EQ(MsgMakePipe("FOIP\\G1\\1", 0, &slot), 0u);
  MailslotHandle drennic;  // a stand-in already holds DRENNIC
  ASSERT_EQ(MsgMakePipe("DRENNIC", 0, &drennic), 0u);
  const std::string standin = BinaryDir() + "/drennic-standin";
  const struct {
    std::vector<std::string> args;
    std::size_t length;
    std::uint8_t packet_class, type;
  } cases[] = {
      {{"sendfax", "FOIP\\G1\\1", "4711", "00001", "/srv/fax/REQ\\", "SAMPLE3.TIF", "6", "3"}, 620, 2, 11},
      {{"shutdown", "FOIP\\G1\\1"}, 8, 99, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0]);
    std::vector<std::string> args = {standin, "--post"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    ASSERT_EQ(RunProgram(args, tmp.File("out.txt")), 0) << kvtest::ReadFile(tmp.File("out.txt"));
    std::uint8_t p[1000] = {};
    std::uint16_t length = 0;
    ASSERT_EQ(MsgReadRequest(slot, p, sizeof p, &length), 0u);
    EXPECT_EQ(length, c.length);
    EXPECT_EQ(p[2], c.packet_class);
    EXPECT_EQ(p[3], c.type);
    if (c.type == 11) {
      EXPECT_EQ(get_le16(p + 8), 4711);
      EXPECT_STREQ(reinterpret_cast<const char*>(p + 283), "SAMPLE3.TIF");
      EXPECT_EQ(get_le16(p + 310), 6);
    }
  }
  // The slots stay with their holder: --post neither takes nor removes them.
  std::uint8_t probe[8] = {0, 0, 1, 9};
  ASSERT_EQ(MsgSendRequest("DRENNIC", 10, probe, sizeof probe, 0), 0u);
  std::uint8_t got[16] = {};
  std::uint16_t got_length = 0;
  EXPECT_EQ(MsgReadRequest(drennic, got, sizeof got, &got_length), 0u);
  // A slot nobody holds is an error, at once.
  EXPECT_EQ(RunProgram({standin, "--post", "shutdown", "FOIP\\G9\\9"}, tmp.File("out.txt")), 2);
  EXPECT_THAT(kvtest::ReadFile(tmp.File("out.txt")), HasSubstr("ERROR 0xF023 sending to FOIP\\G9\\9"));
  MsgClosePipe(&drennic);
  MsgClosePipe(&slot);
}

}  // namespace
