// A classic pcap file of UDP datagrams on 127.0.0.1 (raw IPv4 link type),
// for handing what a test sent or received to tshark.
#pragma once
#include <cstddef>
#include <string>

#include "runtime/types.h"

namespace ssc_test {

inline void put16be(std::string& s, std::size_t at, u16 v) {
  s[at] = static_cast<char>(v >> 8);
  s[at + 1] = static_cast<char>(v & 0xFF);
}
inline void le32(std::string& s, u32 v) {
  for (int i = 0; i < 4; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
}
inline void le16(std::string& s, u16 v) {
  s += static_cast<char>(v & 0xFF);
  s += static_cast<char>(v >> 8);
}
// One raw-IPv4 pcap record of a UDP datagram on loopback, stamped with the
// given time (seconds and microseconds).
inline std::string pcap_record(const std::string& payload, u16 sport, u16 dport, u32 sec = 1700000000, u32 usec = 0) {
  std::string ip(28, '\0');
  ip[0] = 0x45;
  put16be(ip, 2, static_cast<u16>(28 + payload.size()));
  ip[8] = 64;
  ip[9] = 17;
  ip[12] = ip[16] = 127;
  ip[15] = ip[19] = 1;
  u32 sum = 0;
  for (int i = 0; i < 20; i += 2) sum += (static_cast<u8>(ip[i]) << 8) | static_cast<u8>(ip[i + 1]);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  put16be(ip, 10, static_cast<u16>(~sum));
  put16be(ip, 20, sport);
  put16be(ip, 22, dport);
  put16be(ip, 24, static_cast<u16>(8 + payload.size()));
  const std::string packet = ip + payload;
  std::string r;
  le32(r, sec);
  le32(r, usec);
  le32(r, static_cast<u32>(packet.size()));
  le32(r, static_cast<u32>(packet.size()));
  return r + packet;
}
inline std::string pcap_header() {
  std::string f;
  le32(f, 0xA1B2C3D4);
  le16(f, 2);
  le16(f, 4);
  le32(f, 0);
  le32(f, 0);
  le32(f, 65535);
  le32(f, 101);  // raw IPv4
  return f;
}

}  // namespace ssc_test
