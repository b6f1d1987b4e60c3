// Helpers for tests that talk to a peer process (sipp) on loopback: a UDP
// socket bound to 127.0.0.1 and a shell command's output.
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "runtime/types.h"

namespace ssc_test {

// The standard output of `cmd` run by the shell.
inline std::string run_command(const std::string& cmd) {
  std::string out;
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return out;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

// A UDP socket on 127.0.0.1 (port 0: any free one).
struct udp {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  u16 port = 0;
  explicit udp(u16 want = 0) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(want);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return;
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
  }
  ~udp() {
    if (fd >= 0) close(fd);
  }
  udp(const udp&) = delete;
  udp& operator=(const udp&) = delete;
  bool send_to(u16 to, const std::string& text) const {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(to);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a) ==
           static_cast<ssize_t>(text.size());
  }
  std::string receive(int timeout_ms) const {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) != 1) return {};
    char buf[4096];
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
  }
  // The next final response (1xx skipped), or empty after the timeout.
  std::string final_response(int timeout_ms) const {
    for (int i = 0; i < 20; ++i) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, timeout_ms) != 1) return {};
      char buf[4096];
      const ssize_t n = recv(fd, buf, sizeof buf, 0);
      if (n <= 0) return {};
      std::string s(buf, static_cast<std::size_t>(n));
      if (s.rfind("SIP/2.0 1", 0) != 0) return s;
    }
    return {};
  }
};

}  // namespace ssc_test
