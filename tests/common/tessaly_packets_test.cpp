// Packets between the device controller and tessaly: each layout against a
// hex fixture laid out from its field table, bounded texts both ways, and
// readers that refuse packets shorter than their layout.
#include "common/tessaly_packets.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

std::string Hex(const std::uint8_t* p, std::size_t n) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string s;
  for (std::size_t i = 0; i < n; ++i) {
    s += kDigits[p[i] >> 4];
    s += kDigits[p[i] & 15];
  }
  return s;
}
// Text as hex, padded with NULs to `width` bytes.
std::string T(const char* text, std::size_t width) {
  std::string s = Hex(reinterpret_cast<const std::uint8_t*>(text), std::strlen(text));
  return s + std::string(2 * (width - std::strlen(text)), '0');
}
std::string Z(std::size_t n) { return std::string(2 * n, '0'); }

TEST(TessalyPackets, RequestLayoutsMatchFixtures) {
  std::uint8_t out[kSendFaxSize + 8];

  RegisterDevicePacket reg;
  reg.device_id = 0x1234;
  std::strcpy(reg.reply_slot, "FFOIP\\G1\\3");
  ASSERT_EQ(WriteRegisterDevice(reg, out), 94u);
  EXPECT_EQ(Hex(out, 94), "5e000a0100003412" + T("FFOIP\\G1\\3", 86));

  SendFaxPacket s;
  s.device_id = 0x0102;
  std::strcpy(s.message_name, "MSG00001");
  s.job_number = -2;
  s.job_sub_number = 7;
  std::strcpy(s.folder, "/tmp/t\\");
  std::strcpy(s.file_name, "KV3P001.TIF");
  std::strcpy(s.telephone, "0123456");
  std::strcpy(s.recipient, "Bob");
  s.pages = 3;
  std::strcpy(s.sender_telephone, "+44 1");
  std::strcpy(s.sender_name, "Ann");
  std::strcpy(s.sender_csid, "CSID");
  ASSERT_EQ(WriteSendFax(s, out), 464u);
  EXPECT_EQ(Hex(out, 464), "d0010a0200000201" + T("MSG00001", 9) + Z(3) + "feffffff" + "0700" + T("/tmp/t\\", 257) +
                               T("KV3P001.TIF", 13) + T("0123456", 41) + T("Bob", 31) + "0300" + T("+44 1", 40) +
                               T("Ann", 31) + T("CSID", 20) + Z(3));

  RecvFaxPacket r;
  r.device_id = 9;
  std::strcpy(r.folder, "/tmp/r\\");
  std::strcpy(r.file_name, "t301.TIF");
  r.accept = 1;
  ASSERT_EQ(WriteRecvFax(r, out), 284u);
  EXPECT_EQ(Hex(out, 284), "1c010a0300000900" + T("/tmp/r\\", 257) + T("t301.TIF", 13) + Z(2) + "01000000");

  ASSERT_EQ(WriteAbortFax(0xABCD, out), 8u);
  EXPECT_EQ(Hex(out, 8), "08000a040000cdab");
  ASSERT_EQ(WriteDeviceStatus(0xABCD, 1, out), 10u);
  EXPECT_EQ(Hex(out, 10), "0a000a050000cdab0100");
  ASSERT_EQ(WriteShutdown(0, out), 8u);
  EXPECT_EQ(Hex(out, 8), "08000a0600000000");
}

TEST(TessalyPackets, ReplyLayoutsMatchFixtures) {
  std::uint8_t out[kFaxStatusSize];
  FaxStatusPacket fs;
  fs.device_id = 0x0304;
  fs.kind = FAX_STATUS_CALL_CONNECTED;
  fs.value = 0xF10A;
  std::strcpy(fs.text, "5551234");
  ASSERT_EQ(WriteFaxStatus(fs, out), 268u);
  EXPECT_EQ(Hex(out, 268),
            "0c010b0100000403"
            "1100"
            "0af1" +
                T("5551234", 256));

  ReceiveConnectedPacket rc;
  rc.device_id = 1;
  std::strcpy(rc.remote_csid, "REMOTE");
  std::strcpy(rc.did, "200");
  ASSERT_EQ(WriteReceiveConnected(rc, out), 90u);
  EXPECT_EQ(Hex(out, 90), "5a000b0200000100" + T("REMOTE", 41) + T("200", 41));

  RingInPacket ri;
  ri.device_id = 2;
  std::strcpy(ri.called, "sales");
  std::strcpy(ri.caller_number, "100");
  std::strcpy(ri.caller_address, "127.0.0.1");
  ASSERT_EQ(WriteRingIn(ri, out), 112u);
  EXPECT_EQ(Hex(out, 112), "70000b0300000200" + T("sales", 31) + T("100", 41) + T("127.0.0.1", 31) + Z(1));

  // Round trips through the readers.
  FaxStatusPacket fs2;
  ASSERT_TRUE(ReadFaxStatus(out, 0, &fs2) == false);
  std::uint8_t buf[kFaxStatusSize];
  WriteFaxStatus(fs, buf);
  ASSERT_TRUE(ReadFaxStatus(buf, sizeof buf, &fs2));
  EXPECT_EQ(fs2.kind, 17);
  EXPECT_EQ(fs2.value, 0xF10A);
  EXPECT_STREQ(fs2.text, "5551234");
}

TEST(TessalyPackets, ProgramStartToMorvath) {
  std::uint8_t out[kMorvathProgramStartSize];
  // The device controller: its title cut to 10 characters.
  ASSERT_EQ(WriteMorvathProgramStart("FOIP-GROUP12-345", 10, out), 24u);
  EXPECT_EQ(Hex(out, 24), "180006030000" + T("FOIP-GROUP", 11) + Z(3) + "01000000");
  // tessaly: "TESSALY" in at most 8 bytes.
  WriteMorvathProgramStart("TESSALY", 8, out);
  EXPECT_EQ(Hex(out, 24), "180006030000" + T("TESSALY", 8) + Z(6) + "01000000");
}

TEST(TessalyPackets, FullFieldsWithoutNulStayBounded) {
  // A ring-in whose 31-byte called name and 31-byte address fill their fields.
  std::uint8_t p[kRingInSize];
  std::memset(p, 'A', sizeof p);
  p[0] = kRingInSize;
  p[1] = 0;
  p[2] = RT_TESSALY_REPLY;
  p[3] = TESSALY_RING_IN;
  RingInPacket ri;
  ASSERT_TRUE(ReadRingIn(p, sizeof p, &ri));
  EXPECT_EQ(std::strlen(ri.called), 31u);
  EXPECT_EQ(std::strlen(ri.caller_number), 41u);
  EXPECT_EQ(std::strlen(ri.caller_address), 31u);

  // Writers cut to the field less one byte.
  RegisterDevicePacket reg;
  std::memset(reg.reply_slot, 'S', sizeof reg.reply_slot - 1);
  std::uint8_t out[kRegisterDeviceSize];
  WriteRegisterDevice(reg, out);
  EXPECT_EQ(out[8 + 84], 'S');
  EXPECT_EQ(out[8 + 85], 0);
}

TEST(TessalyPackets, ReadersRefuseShortOrForeignPackets) {
  struct Case {
    const char* name;
    std::size_t layout;
    bool (*read)(const std::uint8_t*, std::size_t);
    std::uint8_t cls;
    std::uint8_t type;
  };
  const Case cases[] = {
      {"fax status", kFaxStatusSize,
       [](const std::uint8_t* d, std::size_t n) {
         FaxStatusPacket p;
         return ReadFaxStatus(d, n, &p);
       },
       11, 1},
      {"receive connected", kReceiveConnectedSize,
       [](const std::uint8_t* d, std::size_t n) {
         ReceiveConnectedPacket p;
         return ReadReceiveConnected(d, n, &p);
       },
       11, 2},
      {"ring-in", kRingInSize,
       [](const std::uint8_t* d, std::size_t n) {
         RingInPacket p;
         return ReadRingIn(d, n, &p);
       },
       11, 3},
      {"register", kRegisterDeviceSize,
       [](const std::uint8_t* d, std::size_t n) {
         RegisterDevicePacket p;
         return ReadRegisterDevice(d, n, &p);
       },
       10, 1},
      {"send", kSendFaxSize,
       [](const std::uint8_t* d, std::size_t n) {
         SendFaxPacket p;
         return ReadSendFax(d, n, &p);
       },
       10, 2},
      {"receive", kRecvFaxSize,
       [](const std::uint8_t* d, std::size_t n) {
         RecvFaxPacket p;
         return ReadRecvFax(d, n, &p);
       },
       10, 3},
      {"device status", kDeviceStatusSize,
       [](const std::uint8_t* d, std::size_t n) {
         std::uint16_t v;
         return ReadDeviceStatus(d, n, &v);
       },
       10, 5},
  };
  for (const Case& c : cases) {
    Bytes b(c.layout, 0);
    b[2] = c.cls;
    b[3] = c.type;
    EXPECT_TRUE(c.read(b.data(), b.size())) << c.name;
    EXPECT_FALSE(c.read(b.data(), b.size() - 1)) << c.name << " short";
    b[3] = static_cast<std::uint8_t>(c.type + 1);
    EXPECT_FALSE(c.read(b.data(), b.size())) << c.name << " other type";
    b[3] = c.type;
    b[2] = static_cast<std::uint8_t>(c.cls ^ 1);
    EXPECT_FALSE(c.read(b.data(), b.size())) << c.name << " other class";
  }
}

}  // namespace
