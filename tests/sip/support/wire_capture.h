// Every datagram both ways through a test's loopback socket, stamped when
// it passed, and tshark's reading of them (fields output, '|' between
// fields).  Header only.
#pragma once
#include <sys/time.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "runtime/types.h"
#include "sip/support/loopback_udp.h"
#include "sip/support/pcap_udp.h"

namespace ssc_test {

struct datagram {
  std::string payload;
  u16 sport = 0, dport = 0;
  timeval at{};
};

inline bool have_tshark() { return std::system("command -v tshark >/dev/null 2>&1") == 0; }

// The fields of one line of tshark's fields output.
inline std::vector<std::string> split_fields(const std::string& line) {
  std::vector<std::string> f;
  std::size_t at = 0;
  for (std::size_t bar; (bar = line.find('|', at)) != std::string::npos; at = bar + 1)
    f.push_back(line.substr(at, bar - at));
  f.push_back(line.substr(at));
  return f;
}

class wire_capture {
 public:
  std::vector<datagram> datagrams;

  void clear() { datagrams.clear(); }
  // A datagram that passed the socket now.
  void add(const u8* data, std::size_t n, u16 sport, u16 dport) {
    datagram d{std::string(reinterpret_cast<const char*>(data), n), sport, dport, {}};
    gettimeofday(&d.at, nullptr);
    datagrams.push_back(std::move(d));
  }

  // tshark with `args` over the capture, written as `pcap` for the time it
  // reads it: its output lines.
  std::vector<std::string> tshark_lines(const std::string& pcap, const std::string& args) const {
    {
      std::string file = pcap_header();
      for (const datagram& d : datagrams)
        file += pcap_record(d.payload, d.sport, d.dport, static_cast<u32>(d.at.tv_sec), static_cast<u32>(d.at.tv_usec));
      std::ofstream(pcap, std::ios::binary) << file;
    }
    const std::string out =
        run_command("timeout 120 tshark -r " + pcap + " -T fields -E separator='|' " + args + " 2>/dev/null");
    std::remove(pcap.c_str());
    std::vector<std::string> lines;
    std::istringstream in(out);
    for (std::string l; std::getline(in, l);) lines.push_back(l);
    return lines;
  }
  // The same, each line split into its fields.
  std::vector<std::vector<std::string>> tshark_rows(const std::string& pcap, const std::string& args) const {
    std::vector<std::vector<std::string>> rows;
    for (const std::string& l : tshark_lines(pcap, args)) rows.push_back(split_fields(l));
    return rows;
  }
};

}  // namespace ssc_test
