// Device state report table, PERC texts, status-word maps, the DRENNIC and
// MORVATH packet layouts against hex fixtures, and unique file names.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/support/temp_folder.h"
#include "controller/device_log.h"
#include "controller/device_states.h"
#include "controller/drennic_packets.h"
#include "controller/file_names.h"
#include "controller/support/controller_harness.h"

namespace {

using kvtest::Bytes;
using kvtest::Hex;

std::string T(const char* text, std::size_t width) {
  Bytes b(text, text + std::strlen(text));
  b.resize(width, 0);
  return Hex(b);
}
std::string Z(std::size_t n) { return std::string(2 * n, '0'); }
std::string H(const std::uint8_t* p, std::size_t n) { return Hex(Bytes(p, p + n)); }

TEST(DeviceStates, ReportTableRows) {
  // Only the edge cases the table singles out; each row against the current states.
  EXPECT_EQ(DeviceStateReported(DS_IDLE, DS_STARTUP), 1);
  EXPECT_EQ(DeviceStateReported(DS_IDLE, DS_IDLE), 0);
  EXPECT_EQ(DeviceStateReported(DS_SENDING, DS_SENDING), 1);
  EXPECT_EQ(DeviceStateReported(DS_RECEIVING, DS_CALL_RECEIVED), 0);
  EXPECT_EQ(DeviceStateReported(DS_CALL_RECEIVED, DS_IDLE), 1);
  for (unsigned s : {DS_WAIT_CONNECT, DS_POLL_RECEIVE, DS_WAIT_SCAN_DOC}) {
    EXPECT_EQ(DeviceStateReported(s, DS_STARTUP), 1) << s;
    for (unsigned c = 1; c <= 12; ++c) EXPECT_EQ(DeviceStateReported(s, c), 0) << s << " from " << c;
  }
  for (unsigned s = DS_DEVICE_OFFLINE; s <= DS_DEVICE_FAILED; ++s) EXPECT_EQ(DeviceStateReported(s, s), 0);
  EXPECT_EQ(DeviceStateReported(14, 1), 0);
  EXPECT_EQ(DeviceStateReported(1, 0), 0);
}

TEST(DeviceStates, NamesCodesAndPercTexts) {
  EXPECT_STREQ(DeviceStateName(DS_IDLE), "IDLE");
  EXPECT_STREQ(DeviceStateName(DS_DEVICE_FAILED), "DEVICE FAILED");
  EXPECT_STREQ(DeviceStateName(DS_STARTUP), "???");
  EXPECT_STREQ(DeviceStateName(40), "???");
  EXPECT_EQ(DeviceStateCode(DS_CALL_RECEIVED), 9);
  EXPECT_EQ(DeviceStateCode(DS_STARTUP), 0);
  EXPECT_FALSE(DeviceStateUnknown(DS_STARTUP));
  EXPECT_TRUE(DeviceStateUnknown(14));
  EXPECT_TRUE(DeviceStateCarriesPage(DS_SCANNING));
  EXPECT_FALSE(DeviceStateCarriesPage(DS_WAIT_SCAN_DOC));
  EXPECT_STREQ(PercText(0), "OK");
  EXPECT_STREQ(PercText(28), "FAX DEVICE NOT CONNECTED");
  EXPECT_STREQ(PercText(34), "???");
  EXPECT_STREQ(PercText(36), "FAX INTERRUPTED");
  EXPECT_STREQ(PercText(37), "???");
  EXPECT_STREQ(PercText(-1), "???");
  EXPECT_TRUE(PercUnknown(37));
  EXPECT_FALSE(PercUnknown(34));
}

TEST(DeviceStates, StatusWordMaps) {
  struct {
    StatusWord status;
    int perc;
    const char* text;
  } foip[] = {{0xF100, 19, "Device failed"},
              {0xF101, 7, "Device is busy"},
              {0xF103, 8, "Couldn't connect to remote fax"},
              {0xF105, 36, "Transmission error, incomplete fax"},
              {0xF107, 29, "Port access error"},
              {0xF10A, 8, "Phone number engaged"},
              {0xF10B, 8, "Call not answered"},
              {0xF10C, 28, "No dial tone on fax line"},
              {0x0000, 8, nullptr},
              {0xF108, 8, nullptr}};
  for (const auto& c : foip) {
    FoipErrorMap m = FoipErrorEntry(c.status);
    EXPECT_EQ(m.perc, c.perc) << std::hex << c.status;
    if (c.text) EXPECT_STREQ(m.log_text, c.text);
    else EXPECT_EQ(m.log_text, nullptr);
  }
  struct {
    int perc;
    StatusWord send;
    StatusWord scan;
  } jobs[] = {{0, 0, 0},
              {1, 0xF00A, 0xF00A},
              {26, 0xF00A, 0xF00A},
              {2, 0xF102, 0xF102},
              {3, 0xF102, 0xF102},
              {7, 0xF102, 0xF102},
              {8, 0xF103, 0xF100},
              {6, 0xF100, 0xF108},
              {10, 0xF104, 0xF100},
              {15, 0xF006, 0xF006},
              {16, 0xF001, 0xF001},
              {35, 0xF10D, 0xF100},
              {20, 0xF100, 0xF100}};
  for (const auto& c : jobs) {
    bool not_a_fax = false;
    EXPECT_EQ(SendJobStatusWord(c.perc, 0xF103, &not_a_fax), c.send) << c.perc;
    EXPECT_EQ(not_a_fax, c.perc == 35);
    EXPECT_EQ(ScanJobStatusWord(c.perc), c.scan) << c.perc;
  }
  EXPECT_EQ(BusyStatusWord(DS_DEVICE_OFFLINE), 0xF102);
  EXPECT_EQ(BusyStatusWord(DS_DEVICE_FAILED), 0xF100);
  EXPECT_EQ(BusyStatusWord(DS_SENDING), 0xF101);
}

TEST(DrennicPackets, LayoutsMatchFixtures) {
  const DeviceFields d{"FOIP", 5};
  const std::string dev = T("FOIP", 10) + "0500";
  std::uint8_t out[kPortInitSize];

  WriteJobResult(d, 0xF101, 0x1234, 3, 60, 2, out);
  EXPECT_EQ(H(out, 26), "1a00010601f1" + dev +
                            "3412"
                            "0300"
                            "3c00"
                            "0200");
  WriteScanResult(d, 0xF102, 7, 10, 9, out);
  EXPECT_EQ(H(out, 24), "1800010702f1" + dev +
                            "0700"
                            "0a00"
                            "0900");
  WriteMessageReceived(d, "FAXIN", "~RECD123.CTL", out);
  EXPECT_EQ(H(out, 40), "280001080000" + dev + T("FAXIN", 9) + T("~RECD123.CTL", 13));
  WriteDrennicDeviceStatus(d, 3, 4, out);
  EXPECT_EQ(H(out, 22), "160001090000" + dev +
                            "0300"
                            "0400");
  WriteDeviceStart(d, "FOIP\\G1\\3", 0xBEEF, 0x4000000C, 0, out);
  EXPECT_EQ(H(out, 116), "7400010a0000" + dev + T("FOIP\\G1\\3", 86) + "efbe" + Z(2) + "0c000040" + Z(4));
  WritePortInit(d, "FOIP\\G1\\3", "FOIP5", out);
  EXPECT_EQ(H(out, 118), "760006050000" + dev + T("FOIP\\G1\\3", 86) + T("FOIP5", 13) + Z(1));
  WriteFault(4242, out);
  EXPECT_EQ(H(out, 12), "0c0006070000" + Z(2) + "92100000");
  WriteOfflineReply(0xF101, 77, out);
  EXPECT_EQ(H(out, 8), "0800080101f14d00");
}

TEST(DrennicPackets, OldSendRequestIsConverted) {
  Bytes old = kvtest::DeviceRequestPacket(RST_DEVICE_SEND_OLD, 0, kOldSendRequestSize);
  old[8] = 0x21;  // job 0x21
  std::memcpy(old.data() + 10, "MSGOLD", 6);
  std::memset(old.data() + 26, 'D', 64);  // full 64-character directory
  std::memcpy(old.data() + 90, "A.G3N", 5);
  old[118] = 4;  // route
  std::memcpy(old.data() + 120, "555", 3);
  std::memcpy(old.data() + 340, "MYCSID", 6);
  old[422] = 2;
  DeviceRequest r;
  ASSERT_EQ(ReadDeviceRequest(old.data(), old.size(), &r), RequestRead::kOk);
  EXPECT_EQ(r.type, RST_DEVICE_SEND);
  EXPECT_EQ(r.job_number, 0x21);
  SendRequestView v;
  ReadSendRequestView(r.job, &v);
  EXPECT_STREQ(v.message_name, "MSGOLD");
  EXPECT_EQ(std::string(v.folder), std::string(64, 'D'));
  EXPECT_STREQ(v.file_name, "A.G3N");
  EXPECT_EQ(v.route, 4);
  EXPECT_STREQ(v.telephone, "555");
  EXPECT_STREQ(v.sender_csid, "MYCSID");
  EXPECT_EQ(v.pages_sent, 2);
}

TEST(DrennicPackets, RequestsShorterThanTheirLayoutAreRefused) {
  for (std::uint8_t type = 1; type <= 12; ++type) {
    const std::size_t need = DeviceRequestMinSize(type);
    Bytes p = kvtest::DeviceRequestPacket(type, 0, need);
    DeviceRequest r;
    EXPECT_EQ(ReadDeviceRequest(p.data(), p.size(), &r), RequestRead::kOk) << int(type);
    EXPECT_EQ(ReadDeviceRequest(p.data(), need - 1, &r), RequestRead::kTooShort) << int(type);
  }
  // Class 99 closes down whatever its length or device id.
  const std::uint8_t shutdown[3] = {3, 0, 99};
  DeviceRequest r;
  ASSERT_EQ(ReadDeviceRequest(shutdown, 3, &r), RequestRead::kOk);
  EXPECT_EQ(r.type, RST_DEVICE_CLOSEDOWN);
  EXPECT_EQ(r.device_id, 0);
}

class UniqueNames : public ::testing::Test {
 protected:
  std::string Folder() const { return tmp_.path() + "/\\"; }
  void Touch(const std::string& name) { kvtest::WriteFile(tmp_.File(name), ""); }
  kvtest::TempFolder tmp_;
};

TEST_F(UniqueNames, StemIsUniqueAcrossExtensionsAndCase) {
  char name[16];
  // Seconds 3 + milliseconds 120: the first candidate is 123.
  Touch("~recd123.g3n");  // another extension, other case: the stem is taken
  ASSERT_EQ(MakeUniqueFileNameAt("RECD", "CTL", Folder().c_str(), name, sizeof name, 3, 120), UNIQUE_OK);
  EXPECT_STREQ(name, "~RECD124.CTL");
  EXPECT_TRUE(kvtest::Exists(tmp_.File("~RECD124.CTL")));
}

TEST_F(UniqueNames, Base36After20DecimalTries) {
  for (int n = 0; n < 20; ++n) {
    char stem[32];
    std::snprintf(stem, sizeof stem, "~RECD%03d.CTL", 500 + n);
    Touch(stem);
  }
  char name[16];
  // Decimal start 500; base-36 start (0 * 53 + 500) % 46646 + 10 = 510 = "0E6".
  ASSERT_EQ(MakeUniqueFileNameAt("RECD", "CTL", Folder().c_str(), name, sizeof name, 500, 0), UNIQUE_OK);
  EXPECT_STREQ(name, "~RECD0E6.CTL");
}

TEST_F(UniqueNames, BadArgumentsAndFolders) {
  char name[16];
  EXPECT_EQ(MakeUniqueFileNameAt("REC", "CTL", Folder().c_str(), name, sizeof name, 0, 0), UNIQUE_BAD_ARGUMENTS);
  EXPECT_EQ(MakeUniqueFileNameAt("RECD", "CTLX", Folder().c_str(), name, sizeof name, 0, 0), UNIQUE_BAD_ARGUMENTS);
  EXPECT_EQ(MakeUniqueFileNameAt("RECD", "CTL", tmp_.path().c_str(), name, sizeof name, 0, 0), UNIQUE_OTHER);
  EXPECT_EQ(MakeUniqueFileNameAt("RECD", "CTL", (tmp_.path() + "/none\\").c_str(), name, sizeof name, 0, 0),
            UNIQUE_NO_FOLDER);
  EXPECT_EQ(CountMatchingFiles(tmp_.path().c_str(), "~RECD000", 5), 0);
}

TEST_F(UniqueNames, PathRoutines) {
  char path[64] = "C:\\FAX\\IN\\~RECD123.CTL";
  EXPECT_STREQ(ExtensionOf(path), "CTL");
  EXPECT_EQ(ReplaceExtension(path, sizeof path, "G3N"), 1);
  EXPECT_STREQ(path, "C:\\FAX\\IN\\~RECD123.G3N");
  char bare[16] = "NAME";
  EXPECT_EQ(ReplaceExtension(bare, sizeof bare, "TIF"), 0);
  EXPECT_STREQ(bare, "NAME.TIF");
  EXPECT_EQ(CutToFolder(path), 1);
  EXPECT_STREQ(path, "C:\\FAX\\IN\\");
  RemoveTrailingBackslash(path);
  EXPECT_STREQ(path, "C:\\FAX\\IN");
  char root[8] = "C:\\";
  RemoveTrailingBackslash(root);
  EXPECT_STREQ(root, "C:\\");
  std::FILE* f = nullptr;
  EXPECT_EQ(OpenByMode(&f, Folder().c_str(), "new.bin", 'C'), 0);
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  EXPECT_EQ(OpenByMode(&f, Folder().c_str(), "missing.bin", 'R'), 15);
  EXPECT_EQ(OpenByMode(&f, Folder().c_str(), "new.bin", 'X'), -1);
}

TEST_F(UniqueNames, CopyFileContentsReplacesTheTarget) {
  std::string source_text;
  for (int i = 0; i < 1300; ++i) source_text += static_cast<char>('A' + i % 26);
  kvtest::WriteFile(tmp_.File("src"), source_text);
  kvtest::WriteFile(tmp_.File("dst"), std::string(4000, 'z'));
  std::FILE* src = std::fopen(tmp_.File("src").c_str(), "rb");
  std::FILE* dst = std::fopen(tmp_.File("dst").c_str(), "r+b");
  ASSERT_TRUE(src && dst);
  std::fseek(src, 100, SEEK_SET);  // the source is rewound first
  EXPECT_EQ(CopyFileContents(src, dst), 0);
  std::fclose(src);
  std::fclose(dst);
  EXPECT_EQ(kvtest::ReadFile(tmp_.File("dst")), source_text);
  EXPECT_EQ(CopyFileContents(nullptr, nullptr), 0xF00C);
}

}  // namespace
