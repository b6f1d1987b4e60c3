// t38-fax-peer: an independent T.38 fax terminal for the demonstration and
// the interoperability tests: spandsp's T.38 terminal (T.30 and its TIFF
// layer) on a UDP socket of 127.0.0.1, with UDPTL framing written here (and
// not taken from the system under test).  It answers (or calls) once,
// receives a fax into a TIFF file or sends one, and ends by itself within
// its time bound.  It also compares two fax files page by page.
//
//   t38-fax-peer receive FILE [options]
//   t38-fax-peer send FILE [options]
//     --port N          local UDP port on 127.0.0.1 (default 0: any)
//     --remote H:P      where to send; without it (and until --remote-file
//                       names one) the sender of the first datagram
//     --remote-file F   a file holding "H P" or "H:P", looked for while
//                       running (written by the SIP side once the call's
//                       media address is known)
//     --port-file F     writes the local port into F once bound
//     --seconds N       time bound (default 120)
//     --calling         act as the calling terminal (default: answering)
//     --unpaced         send as fast as spandsp makes the packets instead of
//                       spacing them as on a line
//     --ident TEXT      own T.30 identity (default "T38 FAX PEER")
//     --verbose         spandsp's T.30 and T.38 log on standard error
//   t38-fax-peer compare SENT RECEIVED
//     page by page: equal, or equal below header rows the sender added
//
// Lines printed: "t38-fax-peer: port N", "t38-fax-peer: remote H:P",
// "t38-fax-peer: result N (TEXT) pages N ident "..."".  Exit code 0 when the
// fax went through (compare: every page equal), 1 for a bad command line,
// 2 otherwise.
//
// Test-only: it links spandsp and libtiff, which no program of the system
// does.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <spandsp.h>
#include <tiffio.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

// --- UDPTL (T.38 clause 9.1, ASN.1 aligned PER) ---
// UDPTLPacket ::= SEQUENCE { seq-number INTEGER (0..65535),
//   primary-ifp-packet OPEN TYPE, error-recovery CHOICE {
//   secondary-ifp-packets SEQUENCE OF OPEN TYPE, fec-info ... } }

void PutLength(Bytes& out, std::size_t n) {
  if (n < 0x80) {
    out.push_back(static_cast<std::uint8_t>(n));
  } else {
    out.push_back(static_cast<std::uint8_t>(0x80 | (n >> 8)));
    out.push_back(static_cast<std::uint8_t>(n & 0xFF));
  }
}

bool GetLength(const Bytes& in, std::size_t& at, std::size_t* n) {
  if (at >= in.size()) return false;
  const std::uint8_t b = in[at++];
  if ((b & 0x80) == 0) {
    *n = b;
    return true;
  }
  if ((b & 0xC0) != 0x80 || at >= in.size()) return false;  // fragments are not used for IFP sizes
  *n = static_cast<std::size_t>((b & 0x3F) << 8 | in[at++]);
  return true;
}

bool GetOpen(const Bytes& in, std::size_t& at, Bytes* out) {
  std::size_t n = 0;
  if (!GetLength(in, at, &n) || n > in.size() - at) return false;
  out->assign(in.begin() + static_cast<std::ptrdiff_t>(at), in.begin() + static_cast<std::ptrdiff_t>(at + n));
  at += n;
  return true;
}

// `history` holds the IFPs sent before this one, newest first.
Bytes EncodeUdptl(std::uint16_t seq, const Bytes& ifp, const std::deque<Bytes>& history) {
  Bytes out = {static_cast<std::uint8_t>(seq >> 8), static_cast<std::uint8_t>(seq)};
  PutLength(out, ifp.size());
  out.insert(out.end(), ifp.begin(), ifp.end());
  out.push_back(0x00);  // secondary-ifp-packets
  PutLength(out, history.size());
  for (const Bytes& old : history) {
    PutLength(out, old.size());
    out.insert(out.end(), old.begin(), old.end());
  }
  return out;
}

struct Udptl {
  std::uint16_t seq = 0;
  Bytes primary;
  std::vector<Bytes> secondary;  // seq - 1, seq - 2, ...
};

bool DecodeUdptl(const Bytes& in, Udptl* u) {
  if (in.size() < 4) return false;
  u->seq = static_cast<std::uint16_t>(in[0] << 8 | in[1]);
  std::size_t at = 2;
  if (!GetOpen(in, at, &u->primary) || at >= in.size()) return false;
  u->secondary.clear();
  if (in[at++] & 0x80) return true;  // FEC: only the primary is used
  std::size_t count = 0;
  if (!GetLength(in, at, &count)) return false;
  for (std::size_t i = 0; i < count; ++i) {
    Bytes b;
    if (!GetOpen(in, at, &b)) return false;
    u->secondary.push_back(std::move(b));
  }
  return true;
}

// --- the terminal on its socket ---

struct Peer {
  int fd = -1;
  bool remote_known = false;
  sockaddr_in remote{};
  std::uint16_t tx_seq = 0;
  std::deque<Bytes> history;
  int expected = -1;  // next sequence number looked for
  bool done = false;
  int completion = -1;
  t38_terminal_state_t* terminal = nullptr;
  unsigned dropped_before_remote = 0;
};

constexpr std::size_t kRedundancy = 3;

int OnTx(t38_core_state_t*, void* user, const std::uint8_t* buf, int len, int /*count*/) {
  Peer* p = static_cast<Peer*>(user);
  const Bytes ifp(buf, buf + len);
  const Bytes datagram = EncodeUdptl(p->tx_seq++, ifp, p->history);
  p->history.push_front(ifp);
  if (p->history.size() > kRedundancy) p->history.pop_back();
  if (!p->remote_known) {
    ++p->dropped_before_remote;
    return 0;
  }
  sendto(p->fd, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&p->remote), sizeof p->remote);
  return 0;
}

void OnPhaseE(t30_state_t*, void* user, int completion) {
  Peer* p = static_cast<Peer*>(user);
  p->done = true;
  p->completion = completion;
}

bool ParseAddress(std::string text, sockaddr_in* out) {
  for (char& c : text)
    if (c == ':' || c == '\n' || c == '\t') c = ' ';
  char host[64] = "";
  unsigned port = 0;
  if (std::sscanf(text.c_str(), "%63s %u", host, &port) != 2 || port == 0 || port > 65535) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  if (inet_pton(AF_INET, host, &a.sin_addr) != 1) return false;
  *out = a;
  return true;
}

void SetRemote(Peer& p, const sockaddr_in& a) {
  p.remote = a;
  p.remote_known = true;
  char host[INET_ADDRSTRLEN] = "";
  inet_ntop(AF_INET, &a.sin_addr, host, sizeof host);
  std::printf("t38-fax-peer: remote %s:%u\n", host, ntohs(a.sin_port));
  (void)std::fflush(stdout);
}

void Deliver(Peer& p, const Udptl& u) {
  t38_core_state_t* core = t38_terminal_get_t38_core_state(p.terminal);
  if (p.expected >= 0) {
    const int ahead = static_cast<std::uint16_t>(u.seq - p.expected);
    if (ahead >= 0x8000) return;  // old or repeated
    // Lost packets come back from the redundancy, oldest first.
    for (int k = ahead; k >= 1; --k)
      if (static_cast<std::size_t>(k) <= u.secondary.size()) {
        const Bytes& b = u.secondary[static_cast<std::size_t>(k - 1)];
        t38_core_rx_ifp_packet(core, b.data(), static_cast<int>(b.size()), static_cast<std::uint16_t>(u.seq - k));
      }
  }
  t38_core_rx_ifp_packet(core, u.primary.data(), static_cast<int>(u.primary.size()), u.seq);
  p.expected = static_cast<std::uint16_t>(u.seq + 1);
}

struct Options {
  bool send = false;
  std::string file;
  unsigned port = 0;
  std::string remote, remote_file, port_file;
  unsigned seconds = 120;
  bool calling = false;
  bool unpaced = false;
  std::string ident = "T38 FAX PEER";
  bool verbose = false;
};

int Usage() {
  (void)std::fprintf(stderr,
                     "Usage: t38-fax-peer receive|send FILE [--port N] [--remote H:P] [--remote-file F]\n"
                     "                    [--port-file F] [--seconds N] [--calling] [--unpaced] [--ident TEXT]\n"
                     "                    [--verbose]\n"
                     "       t38-fax-peer compare SENT RECEIVED\n");
  return 1;
}

int RunTerminal(const Options& o) {
  Peer p;
  p.fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(static_cast<std::uint16_t>(o.port));
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (p.fd < 0 || bind(p.fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    (void)std::fprintf(stderr, "t38-fax-peer: cannot bind 127.0.0.1:%u\n", o.port);
    return 2;
  }
  socklen_t len = sizeof local;
  getsockname(p.fd, reinterpret_cast<sockaddr*>(&local), &len);
  std::printf("t38-fax-peer: port %u\n", ntohs(local.sin_port));
  (void)std::fflush(stdout);
  if (!o.port_file.empty()) {
    std::ofstream(o.port_file + ".new") << ntohs(local.sin_port) << "\n";
    if (std::rename((o.port_file + ".new").c_str(), o.port_file.c_str()) != 0)
      (void)std::fprintf(stderr, "t38-fax-peer: cannot write %s\n", o.port_file.c_str());
  }
  sockaddr_in remote{};
  if (!o.remote.empty()) {
    if (!ParseAddress(o.remote, &remote)) return Usage();
    SetRemote(p, remote);
  }

  p.terminal = t38_terminal_init(nullptr, o.calling, &OnTx, &p);
  if (o.unpaced) t38_terminal_set_config(p.terminal, T38_TERMINAL_OPTION_NO_PACING);
  t30_state_t* t30 = t38_terminal_get_t30_state(p.terminal);
  t30_set_tx_ident(t30, o.ident.c_str());
  t30_set_phase_e_handler(t30, &OnPhaseE, &p);
  t30_set_supported_modems(t30, T30_SUPPORT_V27TER | T30_SUPPORT_V29 | T30_SUPPORT_V17);
  t30_set_supported_compressions(t30, T30_SUPPORT_T4_1D_COMPRESSION | T30_SUPPORT_T4_2D_COMPRESSION);
  t30_set_ecm_capability(t30, false);
  if (o.send) t30_set_tx_file(t30, o.file.c_str(), -1, -1);
  else t30_set_rx_file(t30, o.file.c_str(), -1);
  if (o.verbose) {
    const int level = SPAN_LOG_SHOW_SEVERITY | SPAN_LOG_SHOW_PROTOCOL | SPAN_LOG_FLOW;
    span_log_set_level(t30_get_logging_state(t30), level);
    span_log_set_level(t38_core_get_logging_state(t38_terminal_get_t38_core_state(p.terminal)), level);
  }

  const auto start = Clock::now();
  const auto end = start + std::chrono::seconds(o.seconds);
  auto last = start;
  auto finished = Clock::time_point::max();
  while (Clock::now() < end && Clock::now() < finished) {
    pollfd pfd{p.fd, POLLIN, 0};
    poll(&pfd, 1, 20);
    for (;;) {
      std::uint8_t buf[2048];
      sockaddr_in from{};
      socklen_t from_len = sizeof from;
      const ssize_t n = recvfrom(p.fd, buf, sizeof buf, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &from_len);
      if (n <= 0) break;
      if (!p.remote_known) SetRemote(p, from);
      Udptl u;
      if (DecodeUdptl(Bytes(buf, buf + n), &u)) Deliver(p, u);
    }
    if (!p.remote_known && !o.remote_file.empty()) {
      std::ifstream f(o.remote_file);
      std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
      if (ParseAddress(text, &remote)) SetRemote(p, remote);
    }
    const auto now = Clock::now();
    // The terminal's clock runs from the moment the call is up (the far
    // end's media address known): an answering terminal started before the
    // call would otherwise spend its DIS attempts on nobody while a busy
    // caller still sets the call up, and give up before the first word.
    if (!p.remote_known) last = now;
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - last).count();
    if (ms > 0) {
      t38_terminal_send_timeout(p.terminal, static_cast<int>(ms * 8));  // 8000 samples a second
      last = now;
    }
    // After phase E, a moment for the last frames to leave and be answered.
    if (p.done && finished == Clock::time_point::max()) finished = Clock::now() + std::chrono::milliseconds(1500);
  }
  t30_stats_t stats;
  t30_get_transfer_statistics(t30, &stats);
  const int pages = o.send ? stats.pages_tx : stats.pages_rx;
  const std::string ident = t30_get_rx_ident(t30) ? t30_get_rx_ident(t30) : "";
  const bool ended = p.done;
  if (!ended) t30_terminate(t30);
  std::printf("t38-fax-peer: result %d (%s) pages %d ident \"%s\"%s\n", ended ? p.completion : -1,
              ended ? t30_completion_code_to_str(p.completion) : "no end of call within the time bound", pages,
              ident.c_str(), ended ? "" : " TIMEOUT");
  (void)std::fflush(stdout);
  t38_terminal_free(p.terminal);
  close(p.fd);
  return ended && p.completion == T30_ERR_OK ? 0 : 2;
}

// --- comparing two fax files ---

struct PageImage {
  std::uint32_t width = 0, rows = 0;
  float yres = 0;
  std::vector<Bytes> lines;
};

bool ReadPages(const std::string& path, std::vector<PageImage>* pages) {
  TIFF* t = TIFFOpen(path.c_str(), "r");
  if (!t) return false;
  bool ok = true;
  do {
    PageImage p;
    std::uint16_t photometric = PHOTOMETRIC_MINISWHITE;
    TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &p.width);
    TIFFGetField(t, TIFFTAG_IMAGELENGTH, &p.rows);
    TIFFGetField(t, TIFFTAG_YRESOLUTION, &p.yres);
    TIFFGetField(t, TIFFTAG_PHOTOMETRIC, &photometric);
    Bytes line(static_cast<std::size_t>(TIFFScanlineSize(t)));
    for (std::uint32_t y = 0; y < p.rows && ok; ++y) {
      ok = TIFFReadScanline(t, line.data(), y, 0) >= 0;
      if (photometric == PHOTOMETRIC_MINISBLACK)
        for (std::uint8_t& b : line) b = static_cast<std::uint8_t>(~b);
      p.lines.push_back(line);
    }
    pages->push_back(std::move(p));
  } while (ok && TIFFReadDirectory(t));
  TIFFClose(t);
  return ok;
}

int Compare(const std::string& sent_path, const std::string& received_path) {
  std::vector<PageImage> sent, received;
  if (!ReadPages(sent_path, &sent)) {
    std::printf("compare: cannot read %s\n", sent_path.c_str());
    return 2;
  }
  if (!ReadPages(received_path, &received)) {
    std::printf("compare: cannot read %s\n", received_path.c_str());
    return 2;
  }
  bool all = sent.size() == received.size();
  std::printf("compare: %zu pages sent, %zu received\n", sent.size(), received.size());
  for (std::size_t i = 0; i < sent.size() && i < received.size(); ++i) {
    const PageImage& s = sent[i];
    const PageImage& r = received[i];
    bool equal = s.width == r.width && r.rows >= s.rows;
    const std::uint32_t header = equal ? r.rows - s.rows : 0;
    for (std::uint32_t y = 0; equal && y < s.rows; ++y) equal = s.lines[y] == r.lines[header + y];
    if (equal && header == 0) std::printf("compare: page %zu equal (%u x %u)\n", i + 1, s.width, s.rows);
    else if (equal) std::printf("compare: page %zu equal below %u header rows\n", i + 1, header);
    else
      std::printf("compare: page %zu DIFFERS (sent %u x %u, received %u x %u)\n", i + 1, s.width, s.rows, r.width,
                  r.rows);
    all = all && equal;
  }
  std::printf("compare: %s\n", all ? "the pages received are the pages sent" : "MISMATCH");
  return all ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  const std::string mode = argv[1];
  if (mode == "compare") return argc == 4 ? Compare(argv[2], argv[3]) : Usage();
  if (mode != "send" && mode != "receive") return Usage();
  Options o;
  o.send = mode == "send";
  o.file = argv[2];
  for (int i = 3; i < argc; ++i) {
    const std::string a = argv[i];
    const bool has_value = i + 1 < argc;
    if (a == "--calling") o.calling = true;
    else if (a == "--unpaced") o.unpaced = true;
    else if (a == "--verbose") o.verbose = true;
    else if (!has_value) return Usage();  // NOLINT(bugprone-branch-clone): as an unknown option below
    else if (a == "--port") o.port = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
    else if (a == "--remote") o.remote = argv[++i];
    else if (a == "--remote-file") o.remote_file = argv[++i];
    else if (a == "--port-file") o.port_file = argv[++i];
    else if (a == "--seconds") o.seconds = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
    else if (a == "--ident") o.ident = argv[++i];
    else return Usage();
  }
  if (o.port > 65535 || o.seconds == 0 || o.seconds > 3600) return Usage();
  return RunTerminal(o);
}
