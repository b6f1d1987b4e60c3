// Wireshark's T.38 dissector reads the UDPTL datagrams we encode: sequence
// numbers, indicators, data types, field types and data (in wire bit
// order, so that its T.30 dissector finds the frame), and the redundancy.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "t38/ifp.h"
#include "t38/support/ifp_fixtures.h"
#include "t38/udptl.h"

namespace kv::t38 {
namespace {

using testing::encode_flat;
using testing::field_def;
using bytes = std::vector<uint8_t>;

constexpr uint16_t kPort = 45038;

bool have_tshark() { return std::system("command -v tshark >/dev/null 2>&1") == 0; }

void put16be(bytes& b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v >> 8));
  b.push_back(static_cast<uint8_t>(v));
}
void put32le(std::ofstream& f, uint32_t v) {
  const char c[4] = {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
  f.write(c, 4);
}
void put16le(std::ofstream& f, uint16_t v) {
  const char c[2] = {char(v), char(v >> 8)};
  f.write(c, 2);
}

// One IPv4/UDP packet from loopback to loopback carrying `payload`.
bytes ip_udp(const bytes& payload) {
  bytes ip;
  const uint16_t udp_len = static_cast<uint16_t>(8 + payload.size());
  ip.push_back(0x45);
  ip.push_back(0);
  put16be(ip, static_cast<uint16_t>(20 + udp_len));
  put16be(ip, 0);       // identification
  put16be(ip, 0x4000);  // don't fragment
  ip.push_back(64);
  ip.push_back(17);
  put16be(ip, 0);  // checksum, below
  for (int i = 0; i < 2; ++i) ip.insert(ip.end(), {127, 0, 0, 1});
  uint32_t sum = 0;
  for (std::size_t i = 0; i < 20; i += 2) sum += (uint32_t{ip[i]} << 8) | ip[i + 1];
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  ip[10] = static_cast<uint8_t>(~sum >> 8);
  ip[11] = static_cast<uint8_t>(~sum);
  put16be(ip, kPort);
  put16be(ip, kPort);
  put16be(ip, udp_len);
  put16be(ip, 0);  // no UDP checksum
  ip.insert(ip.end(), payload.begin(), payload.end());
  return ip;
}

// A classic pcap file with raw IPv4 link type.
void write_pcap(const std::string& path, const std::vector<bytes>& datagrams) {
  std::ofstream f(path, std::ios::binary);
  put32le(f, 0xA1B2C3D4);
  put16le(f, 2);
  put16le(f, 4);
  put32le(f, 0);
  put32le(f, 0);
  put32le(f, 65535);
  put32le(f, 228);  // LINKTYPE_IPV4
  uint32_t t = 1000;
  for (const auto& d : datagrams) {
    bytes pkt = ip_udp(d);
    put32le(f, t++);
    put32le(f, 0);
    put32le(f, static_cast<uint32_t>(pkt.size()));
    put32le(f, static_cast<uint32_t>(pkt.size()));
    f.write(reinterpret_cast<const char*>(pkt.data()), static_cast<std::streamsize>(pkt.size()));
  }
}

std::vector<std::vector<std::string>> run_tshark(const std::string& path, const std::string& fields) {
  std::string cmd = "tshark -r " + path + " -d udp.port==" + std::to_string(kPort) +
                    ",t38 -T fields -E separator='|' -E occurrence=a -E aggregator=';' " + fields + " 2>/dev/null";
  std::vector<std::vector<std::string>> rows;
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return rows;
  char line[4096];
  for (int guard = 0; guard < 1000 && std::fgets(line, sizeof line, p) != nullptr; ++guard) {
    std::string s(line);
    if (!s.empty() && s.back() == '\n') s.pop_back();
    std::vector<std::string> cols;
    std::stringstream ss(s);
    std::string c;
    while (std::getline(ss, c, '|')) cols.push_back(c);
    while (cols.size() < 8) cols.emplace_back();
    rows.push_back(cols);
  }
  pclose(p);
  return rows;
}

std::string hex(const bytes& b) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (uint8_t x : b) {
    s += d[x >> 4];
    s += d[x & 15];
  }
  return s;
}

bytes wire_order(const bytes& engine) {
  bytes out;
  for (uint8_t b : engine) out.push_back(t38_ifp__reverse_bits(b));
  return out;
}

TEST(TsharkDissector, ReadsOurDatagramsAndTheirRedundancy) {
  if (!have_tshark()) GTEST_SKIP() << "tshark is not installed";
  // A DIS frame as the fax engine hands it down (first transmitted bit in
  // bit 0): address FF, control 13 (C8 in T.30 notation), FCF 80 (DIS 01).
  const bytes dis{0xFF, 0x13, 0x80, 0x00, 0xEE, 0xF8, 0x80};
  const bytes page{0x00, 0x08, 0x80, 0x56};
  constexpr uint8_t D = T38_IFP__DATA_BIT;
  struct packet {
    uint8_t type_byte;
    std::vector<field_def> fields;
  };
  const std::vector<packet> packets = {
      {T38_IND__CNG, {}},
      {T38_IND__V21_PREAMBLE, {}},
      {D | T38_DATA__V21, {{T38_FIELD__HDLC_DATA, dis}, {T38_FIELD__HDLC_FCS_OK_SIG_END, {}}}},
      {T38_IND__V17_14400_LONG_TRAINING, {}},
      {D | T38_DATA__V17_14400, {{T38_FIELD__T4_NON_ECM_DATA, page}}},
      {D | T38_DATA__V17_14400, {{T38_FIELD__T4_NON_ECM_SIG_END, page}}},
      {D | T38_DATA__V29_7200, {{T38_FIELD__HDLC_FCS_BAD, {}}, {T38_FIELD__HDLC_SIG_END, {}}}},
  };
  const uint16_t first_seq = 65534;  // the sequence wraps inside the capture
  std::vector<bytes> ifp;
  std::vector<bytes> datagrams;
  for (std::size_t i = 0; i < packets.size(); ++i) {
    ifp.push_back(encode_flat(packets[i].type_byte, packets[i].fields));
    std::vector<byte_ref> secs;  // redundancy 2, newest first
    for (std::size_t k = 1; k <= 2 && k <= i; ++k) {
      secs.push_back(byte_ref{ifp[i - k].data(), static_cast<uint32_t>(ifp[i - k].size()), nullptr});
    }
    t38_udptl_out out{static_cast<uint16_t>(first_seq + i),
                      byte_ref{ifp[i].data(), static_cast<uint32_t>(ifp[i].size())}, secs.data(),
                      static_cast<uint16_t>(secs.size())};
    uint8_t area[512];
    t38_udptl_encoded enc;
    ASSERT_EQ(t38_udptl__encode_flat(out, 1500, area, sizeof area, nullptr, enc), 0);
    datagrams.emplace_back(enc.data, enc.data + enc.length);
  }
  std::string path = ::testing::TempDir() + "kv_t38_udptl_" + std::to_string(getpid()) + ".pcap";
  write_pcap(path, datagrams);
  auto rows = run_tshark(path,
                         "-e t38.seq_number -e t38.t30_indicator -e t38.t30_data -e t38.field_type "
                         "-e t38.field_data -e t38.secondary_ifp_packets -e t30.FacsimileControl -e t38.malformed");
  if (std::getenv("KV_KEEP_PCAP") == nullptr) std::remove(path.c_str());
  ASSERT_EQ(rows.size(), packets.size());

  // Columns hold the primary's values first, then each secondary's.
  const std::vector<std::vector<std::string>> expected = {
      {"65534", "1", "", "", "", "0"},
      {"65535", "3;1", "", "", "", "1"},
      {"0", "3;1", "0", "0;4", hex(wire_order(dis)), "2"},
      {"1", "15;3", "0", "0;4", hex(wire_order(dis)), "2"},
      {"2", "15", "8;0", "6;0;4", hex(wire_order(page)) + ";" + hex(wire_order(dis)), "2"},
      {"3", "15", "8;8", "7;6", hex(wire_order(page)) + ";" + hex(wire_order(page)), "2"},
      {"4", "", "3;8;8", "3;1;7;6", hex(wire_order(page)) + ";" + hex(wire_order(page)), "2"},
  };
  for (std::size_t i = 0; i < rows.size(); ++i) {
    for (std::size_t c = 0; c < expected[i].size(); ++c) {
      EXPECT_EQ(rows[i][c], expected[i][c]) << "datagram " << i << " column " << c;
    }
    EXPECT_EQ(rows[i][7], "") << "datagram " << i << " is malformed";
  }
  // The HDLC data reached Wireshark's T.30 dissector in the right bit order:
  // the frame with FCS OK is a DIS (FCF 1), with control C8.
  EXPECT_EQ(rows[2][6], "1");
}

}  // namespace
}  // namespace kv::t38
