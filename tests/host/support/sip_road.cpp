#include "host/support/sip_road.h"

#if defined(KV_HAVE_SPANDSP) && defined(KV_HAVE_LIBTIFF)

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "host/support/tessaly_in_process.h"

namespace sip_road {

using tessaly_test::Reply;
using clock_type = std::chrono::steady_clock;

sipp_process::sipp_process(const std::string& dir, const std::string& scenario, uint16_t local, uint16_t remote,
                           const std::vector<std::pair<std::string, std::string>>& keys,
                           const std::vector<std::string>& run)
    : dir_(dir), name_(std::filesystem::path(scenario).stem().string()) {
  std::vector<std::string> args = {"sipp"};
  if (remote) args.push_back("127.0.0.1:" + std::to_string(remote));
  for (const char* a : {"-sf", scenario.c_str(), "-i", "127.0.0.1", "-p"}) args.emplace_back(a);
  args.push_back(std::to_string(local));
  if (run.empty()) {
    for (const char* a : {"-m", "1", "-trace_msg"}) args.emplace_back(a);
  } else {
    args.insert(args.end(), run.begin(), run.end());
  }
  for (const char* a : {"-nostdin", "-timeout", "100s", "-timeout_error", "-trace_err"}) args.emplace_back(a);
  args.push_back("-message_file");
  args.push_back(dir_ + "/" + name_ + "_messages.log");
  args.push_back("-error_file");
  args.push_back(dir_ + "/" + name_ + "_errors.log");
  for (const auto& [k, v] : keys) {
    args.push_back("-key");
    args.push_back(k);
    args.push_back(v);
  }
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const std::string out = dir_ + "/" + name_ + "_screen.log";
  std::fflush(nullptr);
  pid_ = fork();
  if (pid_ == 0) {
    const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int null_fd = open("/dev/null", O_RDONLY);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
    }
    if (null_fd >= 0) dup2(null_fd, 0);
    execvp("sipp", argv.data());
    _exit(127);
  }
}

sipp_process::~sipp_process() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

int sipp_process::wait(int ms) {
  if (pid_ <= 0) return -1;
  const auto end = clock_type::now() + std::chrono::milliseconds(ms);
  while (clock_type::now() < end) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
  return -1;
}

std::string sipp_process::messages() const { return kvtest::ReadFile(dir_ + "/" + name_ + "_messages.log"); }
std::string sipp_process::errors() const {
  return kvtest::ReadFile(dir_ + "/" + name_ + "_errors.log") + kvtest::ReadFile(dir_ + "/" + name_ + "_screen.log");
}

std::vector<sipp_message> sipp_messages(const std::string& trace) {
  // Each message follows a line of dashes and a line naming its direction
  // ("UDP message received [n] bytes :" or "UDP message sent (n bytes):"),
  // then an empty line.
  static const std::string dashes = "-----------------------------------------------";
  std::vector<sipp_message> out;
  std::size_t at = trace.find(dashes);
  while (at != std::string::npos) {
    const std::size_t next = trace.find(dashes, at + dashes.size());
    const std::string block = trace.substr(at, next == std::string::npos ? std::string::npos : next - at);
    at = next;
    const std::size_t line2 = block.find('\n');
    const std::size_t body = block.find("\n\n");
    if (line2 == std::string::npos || body == std::string::npos) continue;
    const std::string head = block.substr(line2 + 1, body - line2 - 1);
    if (head.find("message received") == std::string::npos && head.find("message sent") == std::string::npos) continue;
    sipp_message m;
    m.received = head.find("message received") != std::string::npos;
    // The line of dashes ends with the date and "HH:MM:SS.ffffff".
    unsigned h = 0, min = 0;
    double sec = 0;
    const std::string first = block.substr(0, line2);
    const std::size_t colon = first.find(':');
    if (colon != std::string::npos && colon >= 2 &&
        std::sscanf(first.c_str() + colon - 2, "%u:%u:%lf", &h, &min, &sec) == 3)
      m.at = h * 3600.0 + min * 60.0 + sec;
    m.text = block.substr(body + 2);
    out.push_back(std::move(m));
  }
  return out;
}

std::vector<std::string> received_messages(const std::string& trace, const std::string& start) {
  std::vector<std::string> out;
  for (sipp_message& m : sipp_messages(trace)) {
    if (!m.received || m.text.compare(0, start.size(), start) != 0) continue;
    if (std::find(out.begin(), out.end(), m.text) == out.end()) out.push_back(std::move(m.text));
  }
  return out;
}

double time_of(const std::string& trace, bool received, const std::string& start, const std::string& holding) {
  for (const sipp_message& m : sipp_messages(trace))
    if (m.received == received && m.text.compare(0, start.size(), start) == 0 &&
        m.text.find(holding) != std::string::npos)
      return m.at;
  return -1.0;
}

namespace {
// The lines of a message's body (after the first empty line), without CRs.
std::vector<std::string> body_lines(const std::string& message) {
  std::vector<std::string> out;
  bool in_body = false;
  std::size_t at = 0;
  while (at < message.size()) {
    std::size_t end = message.find('\n', at);
    if (end == std::string::npos) end = message.size();
    std::string line = message.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (in_body) out.push_back(line);
    else if (line.empty()) in_body = true;
    at = end + 1;
  }
  return out;
}
}  // namespace

std::vector<std::string> media_lines(const std::string& message) {
  std::vector<std::string> out;
  for (const std::string& l : body_lines(message))
    if (l.compare(0, 2, "m=") == 0) out.push_back(l.substr(2));
  return out;
}

long long origin_version(const std::string& message) {
  for (const std::string& l : body_lines(message)) {
    if (l.compare(0, 2, "o=") != 0) continue;
    // o=<user> <session id> <version> <net type> <address type> <address>
    std::size_t at = 2;
    for (int field = 0; field < 2 && at != std::string::npos; ++field) {
      at = l.find(' ', at);
      if (at != std::string::npos) ++at;
    }
    if (at == std::string::npos || at >= l.size() || l[at] < '0' || l[at] > '9') return -1;
    return std::strtoll(l.c_str() + at, nullptr, 10);
  }
  return -1;
}

std::string SipRoadTest::Scenario(const std::string& name) {
  return tessaly_test::source_dir() + "/tests/host/sipp/" + name;
}

void SipRoadTest::MakeArea(uint16_t sip_port, uint16_t gateway_port, uint16_t media_port) {
  const std::string cmd =
      "bash " + tessaly_test::source_dir() + "/tools/make-server-area.sh " + area_.path() + " > /dev/null";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  std::string setup = kvtest::ReadFile(area_.File("K-DB/SETUP.INI"));
  tessaly_test::replace_text(setup, "LogLevel: 3", "LogLevel: 1");
  tessaly_test::replace_text(setup, "LocalSIPPort: 5060", "LocalSIPPort: " + std::to_string(sip_port));
  tessaly_test::replace_text(setup, "SIPGatewayPort: 5070", "SIPGatewayPort: " + std::to_string(gateway_port));
  tessaly_test::replace_text(setup, "LocalMediaPortStart: 20000", "LocalMediaPortStart: " + std::to_string(media_port));
  kvtest::WriteFile(area_.File("K-DB/SETUP.INI"), setup);
  std::string glb = kvtest::ReadFile(area_.File("Tessaly/glb.cfg"));
  tessaly_test::replace_text(glb, "local SIP IP port = 5060", "local SIP IP port = " + std::to_string(sip_port));
  // SIP and session-management events; with SIP_ROAD_KEEP also every message
  // between the entities.
  std::string events = "record event = CNF_GLB | SIP_EVT | SMNGT_EVT";
  if (std::getenv("SIP_ROAD_KEEP")) events += "\naudit file name = glb_audit.txt\nlog options = SEND_MSG | RCV_MSG";
  tessaly_test::replace_text(glb, "record event = CNF_GLB", events);
  kvtest::WriteFile(area_.File("Tessaly/glb.cfg"), glb);
  for (const char* name : {"Tessaly/session01.cfg", "Tessaly/session02.cfg"}) {
    std::string cfg = kvtest::ReadFile(area_.File(name));
    tessaly_test::replace_text(cfg, "[General]\n", "[General]\nkind of T.38 transport = UDP\n");
    // Sessions built from these files keep the host's first address for
    // their media unless told: the media stay on loopback.
    cfg += "\n[T.38 media address]\nlocal media IP address = 127.0.0.1\n";
    // The session's T.38, fax, management and message events, read when a case fails.
    cfg += "\n[Traces / Reports]\nrecord event = T38_EVT | FAX_EVT | USR_MNGT_EVT | USR_MSG\nevent file name = " +
           std::string(name).substr(8, 9) + "_events.txt\n";
    kvtest::WriteFile(area_.File(name), cfg);
  }
  std::string out = kvtest::ReadFile(area_.File("Tessaly/session02.cfg"));
  tessaly_test::replace_text(out, "remote SIP port = 5070", "remote SIP port = " + std::to_string(gateway_port));
  kvtest::WriteFile(area_.File("Tessaly/session02.cfg"), out);
}

void SipRoadTest::SetSipMode(const std::string& mode, unsigned delay_ms) {
  std::string glb = kvtest::ReadFile(area_.File("Tessaly/glb.cfg"));
  tessaly_test::replace_text(
      glb, "[SIP]\n", "[SIP]\nSIP operating mode = " + mode + "\nSIP delay = " + std::to_string(delay_ms) + "\n");
  kvtest::WriteFile(area_.File("Tessaly/glb.cfg"), glb);
}

void SipRoadTest::StartTessaly(bool receive) {
  tessaly_test::start_tessaly(area_, tessaly_test::test_host_options(), 0x0A01, "FA\\1", receive, tessaly_, exit_code_,
                              controller_);
}

bool SipRoadTest::StopTessaly() { return tessaly_test::stop_tessaly(tessaly_, controller_, exit_code_); }

void SipRoadTest::TearDown() {
  tessaly_test::end_tessaly(tessaly_, controller_, 0x0A02, "FA\\2");
  if (::testing::Test::HasFailure() && std::getenv("TESSALY_TEST_LOG"))
    std::fprintf(stderr, "%s\n%s", Log().c_str(), Traces().c_str());
  // SIP_ROAD_KEEP=<folder>: the area and sipp's logs of the case are copied
  // there.
  if (const char* keep = std::getenv("SIP_ROAD_KEEP")) {
    const std::string cmd =
        "mkdir -p '" + std::string(keep) + "' && cp -r " + area_.path() + " " + peer_dir_.path() + " '" + keep + "'";
    (void)std::system(cmd.c_str());
  }
}

std::string SipRoadTest::Traces() const {
  std::string all;
  std::error_code ec;
  for (const auto& e : std::filesystem::recursive_directory_iterator(area_.path(), ec)) {
    const std::string name = e.path().filename().string();
    if (e.is_regular_file() && (name.find("events") != std::string::npos || name.find(".CAP") != std::string::npos))
      all += "==== " + name + "\n" + kvtest::ReadFile(e.path().string());
  }
  return all;
}

std::optional<Reply> SipRoadTest::NextOf(std::initializer_list<uint16_t> kinds, int ms) {
  return tessaly_test::next_of(*controller_, kinds, ms);
}

::testing::AssertionResult SipRoadTest::RequestDone(StatusWord sent) {
  if (sent != STATUS_OK) return ::testing::AssertionFailure() << "the request was not sent: " << sent;
  const std::optional<Reply> r = NextOf({FAX_STATUS_REQUEST_DONE, FAX_STATUS_REQUEST_FAILED}, 5000);
  if (!r) return ::testing::AssertionFailure() << "no answer to the request";
  if (r->status.kind != FAX_STATUS_REQUEST_DONE)
    return ::testing::AssertionFailure() << "request answered with kind " << r->status.kind << ", value "
                                         << r->status.value;
  return ::testing::AssertionSuccess();
}

std::optional<Reply> SipRoadTest::CountPagesUntil(uint16_t page_kind, std::initializer_list<uint16_t> kinds,
                                                  int& pages) {
  for (;;) {
    std::optional<Reply> r = NextOf(kinds, 60000);
    if (!r || r->status.kind != page_kind) return r;
    ++pages;
  }
}

void SipRoadTest::ExpectPages(const std::string& path, const std::vector<fax_test::page>& pages) {
  tessaly_test::expect_pages(path, pages);
}

}  // namespace sip_road

#endif
