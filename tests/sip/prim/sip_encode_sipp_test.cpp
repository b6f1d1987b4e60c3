// SIPp against the encoder on loopback (127.0.0.1 only).  As UAS, SIPp
// takes our INVITE with a T.38 offer, ACK, OPTIONS, REGISTER and BYE and
// answers them (its scenario checks the offer); as UAC, its requests get our
// stateless 400, 501 with Allow, 481 and 503 with Retry-After, which it
// matches to its transactions.  Both runs must end with SIPp's exit status 0.
// Every wait is bounded.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "bench/sip_parse_corpus.h"
#include "tests/sip/prim/sip_encode_fixture.h"

using namespace sip_enc_test;

namespace {

std::string scenario_dir() { return std::string(KV_SOURCE_DIR) + "/tests/sip/sipp/"; }

// A UDP socket bound to 127.0.0.1 on a port the kernel picks.
int udp_socket(std::uint16_t* port) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return -1;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = 0;
  socklen_t len = sizeof a;
  if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    close(fd);
    return -1;
  }
  *port = ntohs(a.sin_port);
  return fd;
}

std::uint16_t free_port() {
  std::uint16_t port = 0;
  const int fd = udp_socket(&port);
  if (fd >= 0) close(fd);
  return port;
}

struct Sipp {
  pid_t pid = -1;
  // Starts sipp with `args` (its output to a log file); false when it
  // cannot be started.
  bool start(const std::string& args, const std::string& log) {
    pid = fork();
    if (pid < 0) return false;
    if (pid == 0) {
      const std::string cmd = "exec timeout 30 sipp " + args + " >" + log + " 2>&1";
      execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    return true;
  }
  // Exit status, or -1 when it is still running.
  int poll_exit() {
    int status = 0;
    if (pid < 0) return -2;
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r != pid) return -1;
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
  }
  ~Sipp() {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
};

// Where the encoder's datagrams go in these tests.
int g_fd = -1;
sockaddr_in g_peer{};

void send_datagram(buffer_t* chain, std::uint8_t) {
  std::string text;
  for (const buffer_t* b = chain; b != nullptr; b = b->next)
    text.append(reinterpret_cast<const char*>(Buffer_data(b)), b->data_size);
  Free_buffer(chain);
  sent().push_back({text, 0, 0, 0, {}});
  (void)sendto(g_fd, text.data(), text.size(), 0, reinterpret_cast<const sockaddr*>(&g_peer), sizeof g_peer);
}

// One datagram within `ms` milliseconds, or "".
std::string receive(int fd, int ms, sockaddr_in* from = nullptr) {
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, ms) <= 0) return "";
  char buf[65536];
  sockaddr_in a{};
  socklen_t len = sizeof a;
  const ssize_t n = recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&a), &len);
  if (n <= 0) return "";
  if (from != nullptr) *from = a;
  return std::string(buf, static_cast<std::size_t>(n));
}

bool have_sipp() { return std::system("command -v sipp >/dev/null 2>&1") == 0; }

class SipEncodeSipp : public SipEncodeTest {
 protected:
  void SetUp() override {
    SipEncodeTest::SetUp();
    g_fd = udp_socket(&port);
    ASSERT_GE(g_fd, 0);
    sip_encode_env.send_to_transport = send_datagram;
  }
  void TearDown() override {
    if (g_fd >= 0) close(g_fd);
    g_fd = -1;
    SipEncodeTest::TearDown();
  }
  std::uint16_t port = 0;
};

// Encodes the request `text` (parsed by our parser first) to SIPp, resending
// until a final response comes; its status, 0 when none came.
unsigned request(const std::string& text, bool answered = true) {
  sip_parse_run run;
  sip_parse_text(run, text);
  if (run.result != SIP_PARSE_DONE) return 0;
  const std::uint8_t kind = parsed_kind();
  for (int attempt = 0; attempt < 8; ++attempt) {
    sip_encode_kind = kind;
    if (sip_encode_message(SIP_ENCODE_STATELESS) != SIP_RESULT_OK) return 0;
    if (!answered) return 1;
    for (int wait = 0; wait < 10; ++wait) {
      const std::string reply = receive(g_fd, 500);
      if (reply.empty()) break;
      sip_parse_run back;
      sip_parse_text(back, reply);
      if (back.result == SIP_PARSE_DONE && sip_hdr_area.count[2] != 0 && sip_hdr_area.status_line.code >= 200)
        return sip_hdr_area.status_line.code;
    }
  }
  return 0;
}

}  // namespace

TEST_F(SipEncodeSipp, SippAnswersOurFaxCall) {
  if (!have_sipp()) GTEST_SKIP() << "sipp is not installed";
  const std::uint16_t sipp_port = free_port();
  const std::string log = ::testing::TempDir() + "sipp_uas_" + std::to_string(getpid()) + ".log";
  Sipp sipp;
  ASSERT_TRUE(sipp.start("-sf " + scenario_dir() + "uas_fax.xml -i 127.0.0.1 -p " + std::to_string(sipp_port) +
                             " -m 1 -nostdin -timeout 20s -timeout_error -max_recv_loops 100",
                         log));
  g_peer = sockaddr_in{};
  g_peer.sin_family = AF_INET;
  g_peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  g_peer.sin_port = htons(sipp_port);
  usleep(300 * 1000);  // sipp binds its port

  const std::string here = "127.0.0.1:" + std::to_string(port);
  const std::string head = "sip:fax@127.0.0.1:" + std::to_string(sipp_port);
  auto msg = [&](const std::string& method, unsigned cseq, const std::string& extra, const std::string& body) {
    return crlf(method + " " + head + " SIP/2.0\nVia: SIP/2.0/UDP " + here + ";branch=z9hG4bK-" + method +
                std::to_string(cseq) + "\nMax-Forwards: 70\nFrom: \"Tessaly\" <sip:tessaly@" + here +
                ">;tag=77\nTo: <" + head + ">" + (method == "INVITE" || method == "REGISTER" ? "" : ";tag=peer") +
                "\nCall-ID: fax-call-1@127.0.0.1\nCSeq: " + std::to_string(cseq) + " " + method +
                "\nContact: <sip:tessaly@" + here + ">\n" + extra + "Content-Length: " + std::to_string(body.size()) +
                "\n\n") +
           body;
  };
  EXPECT_EQ(request(msg("INVITE", 1, "Content-Type: application/sdp\n", sip_bench::t38_sdp)), 200u);
  EXPECT_EQ(request(msg("ACK", 1, "", ""), false), 1u);
  EXPECT_EQ(request(msg("OPTIONS", 2, "Accept: application/sdp\n", "")), 200u);
  EXPECT_EQ(request(msg("REGISTER", 3, "Expires: 60\n", "")), 200u);
  EXPECT_EQ(request(msg("BYE", 4, "", "")), 200u);

  int status = -1;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(25);
  while ((status = sipp.poll_exit()) == -1 && std::chrono::steady_clock::now() < deadline) usleep(50 * 1000);
  EXPECT_EQ(status, 0) << "sipp log: " << log;
}

TEST_F(SipEncodeSipp, SippMatchesOurStatelessRefusals) {
  if (!have_sipp()) GTEST_SKIP() << "sipp is not installed";
  const std::string log = ::testing::TempDir() + "sipp_uac_" + std::to_string(getpid()) + ".log";
  Sipp sipp;
  ASSERT_TRUE(sipp.start("127.0.0.1:" + std::to_string(port) + " -sf " + scenario_dir() +
                             "uac_refusals.xml -i 127.0.0.1 -p " + std::to_string(free_port()) +
                             " -m 1 -nostdin -timeout 20s -timeout_error -max_recv_loops 100",
                         log));
  sip_parse_env.build_response = sip_build_response__for_parser;
  int status = -1;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(25);
  while ((status = sipp.poll_exit()) == -1 && std::chrono::steady_clock::now() < deadline) {
    sockaddr_in from{};
    const std::string text = receive(g_fd, 100, &from);
    if (text.empty()) continue;
    g_peer = from;
    std::vector<char> buf(text.begin(), text.end());
    sip_work__release();
    sip_parser parser;
    sip_parse__start(parser, buf.data(), buf.size());
    if (sip_parse_message(parser, 1) != SIP_PARSE_DONE) continue;  // refused: answered by the parser
    switch (sip_hdr_area.method) {
      case SIP_METHOD_INVITE: (void)sip_build_response(400, "Bad request", 0, 1); break;
      case SIP_METHOD_BYE: (void)sip_build_response(481, "Call/Transaction Does Not Exist", 0, 1); break;
      case SIP_METHOD_OPTIONS: (void)sip_build_response(503, "Service Unavailable", 30, 1); break;
      default: break;  // ACK
    }
  }
  sip_work__release();
  EXPECT_EQ(status, 0) << "sipp log: " << log;
  ASSERT_GE(sent().size(), 4u);
}
