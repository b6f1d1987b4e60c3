#include "host/support/t38_live_peer.h"

#if defined(KV_HAVE_SPANDSP) && defined(KV_HAVE_LIBTIFF)

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <spandsp.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

namespace milestone {
namespace {

using bytes = std::vector<uint8_t>;
using clock_type = std::chrono::steady_clock;

sockaddr_in loopback(uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(port);
  return sa;
}

// ---------------------------------------------------------------------------
// UDPTL (ITU-T T.38 annex, aligned PER): seq, primary as an open type, then
// the error-recovery choice; redundancy carries the older primaries, newest
// first.

void put_length(bytes& b, size_t n) {
  if (n < 0x80) {
    b.push_back(static_cast<uint8_t>(n));
  } else {
    b.push_back(static_cast<uint8_t>(0x80 | (n >> 8)));
    b.push_back(static_cast<uint8_t>(n));
  }
}

bool get_length(const uint8_t* d, size_t size, size_t& pos, size_t& n) {
  if (pos >= size) return false;
  const uint8_t b = d[pos++];
  if (b < 0x80) {
    n = b;
    return true;
  }
  if ((b & 0xC0) != 0x80 || pos >= size) return false;  // fragments are not used by T.38 peers
  n = (size_t(b & 0x3F) << 8) | d[pos++];
  return true;
}

bytes udptl_encode(uint16_t seq, const bytes& primary, const std::deque<bytes>& older) {
  bytes b{static_cast<uint8_t>(seq >> 8), static_cast<uint8_t>(seq)};
  put_length(b, primary.size());
  b.insert(b.end(), primary.begin(), primary.end());
  b.push_back(0x00);  // secondary-ifp-packets
  put_length(b, older.size());
  for (const bytes& p : older) {
    put_length(b, p.size());
    b.insert(b.end(), p.begin(), p.end());
  }
  return b;
}

struct udptl_packet {
  uint16_t seq = 0;
  bytes primary;
  std::vector<bytes> secondaries;  // newest first
};

bool udptl_decode(const uint8_t* d, size_t size, udptl_packet& out) {
  if (size < 3) return false;
  out.seq = static_cast<uint16_t>((d[0] << 8) | d[1]);
  size_t pos = 2, n = 0;
  if (!get_length(d, size, pos, n) || pos + n > size) return false;
  out.primary.assign(d + pos, d + pos + n);
  pos += n;
  if (pos >= size) return true;
  if (d[pos++] & 0x80) return true;  // FEC: the primary alone
  size_t count = 0;
  if (!get_length(d, size, pos, count)) return true;
  for (size_t i = 0; i < count; ++i) {
    if (!get_length(d, size, pos, n) || pos + n > size) break;
    out.secondaries.emplace_back(d + pos, d + pos + n);
    pos += n;
  }
  return true;
}

// A small deterministic generator for the losses.
struct lcg {
  uint32_t x = 12345;
  unsigned percent() {
    x = x * 1103515245u + 12345u;
    return (x >> 16) % 100;
  }
};

struct peer_run {
  t38_live_peer* self = nullptr;
  const peer_options* o = nullptr;
  t38_terminal_state_t* term = nullptr;
  std::vector<bytes> out;  // IFP packets spandsp asked to send
  clock_type::time_point cfr_at{};
  bool cfr_sent = false;
  bool phase_e = false;
  bool quit = false;  // the peer died, or the far end broke the protocol
  // The far end closed the connection (after its DCN, normally): spandsp
  // runs on without the line for a moment to reach phase E.
  bool closed = false;
  clock_type::time_point closed_at{};
};

int on_tx(t38_core_state_t*, void* user, const uint8_t* buf, int len, int count) {
  auto* r = static_cast<peer_run*>(user);
  if (count > 0 && len > 0) r->out.emplace_back(buf, buf + len);
  return 0;
}

void on_phase_e(t30_state_t* t30, void* user, int completion) {
  auto* r = static_cast<peer_run*>(user);
  t30_stats_t stats{};
  t30_get_transfer_statistics(t30, &stats);
  r->self->ecm_used = stats.error_correcting_mode != 0;
  r->self->encoding = stats.encoding;
  r->self->completion = completion;
  r->phase_e = true;
}

void on_frame(t30_state_t*, void* user, int incoming, const uint8_t* msg, int len) {
  auto* r = static_cast<peer_run*>(user);
  if (!incoming && len >= 3 && (msg[2] & 0xFE) == T30_CFR && !r->cfr_sent) {
    r->cfr_sent = true;
    r->cfr_at = clock_type::now();
  }
}

}  // namespace

t38_live_peer::t38_live_peer(const peer_options& o) : o_(o) {
  const bool tcp = o_.tcp;
  fd_ = socket(AF_INET, tcp ? SOCK_STREAM : SOCK_DGRAM, 0);
  if (fd_ < 0) return;
  const int one = 1;
  setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa = loopback(o_.local_port);
  if (bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return;
  socklen_t len = sizeof sa;
  getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len);
  port_ = ntohs(sa.sin_port);
  if (tcp && o_.listen && listen(fd_, 1) != 0) port_ = 0;
}

t38_live_peer::~t38_live_peer() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (conn_ >= 0) close(conn_);
  if (fd_ >= 0) close(fd_);
}

void t38_live_peer::start() {
  thread_ = std::thread([this] { run(); });
}

bool t38_live_peer::wait(unsigned ms) {
  const auto end = clock_type::now() + std::chrono::milliseconds(ms);
  while (clock_type::now() < end) {
    if (done) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return done;
}

void t38_live_peer::run() {
  const auto start = clock_type::now();
  const auto limit = start + std::chrono::milliseconds(o_.limit_ms);
  auto expired = [&] { return stop_ || clock_type::now() >= limit; };
  // The TCP connection first.
  int io = fd_;
  if (o_.tcp) {
    if (o_.listen) {
      while (conn_ < 0 && !expired()) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 20) > 0) conn_ = accept(fd_, nullptr, nullptr);
      }
    } else {
      while (conn_ < 0 && !expired()) {
        const int c = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in to = loopback(o_.remote_port);
        if (connect(c, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
          conn_ = c;
        } else {
          close(c);
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
      }
    }
    if (conn_ < 0) {
      done = true;
      return;
    }
    const int one = 1;
    setsockopt(conn_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    io = conn_;
  }

  peer_run r;
  r.self = this;
  r.o = &o_;
  r.term = t38_terminal_init(nullptr, o_.calling, &on_tx, &r);
  t38_terminal_set_config(r.term, o_.no_indicators ? T38_TERMINAL_OPTION_NO_INDICATORS : 0);
  t30_state_t* t30 = t38_terminal_get_t30_state(r.term);
  t30_set_phase_e_handler(t30, &on_phase_e, &r);
  t30_set_real_time_frame_handler(t30, &on_frame, &r);
  t30_set_tx_ident(t30, "SPANDSP T38");
  t30_set_supported_modems(t30, T30_SUPPORT_V27TER | T30_SUPPORT_V29 | T30_SUPPORT_V17);
  t30_set_supported_compressions(t30, o_.compressions ? o_.compressions : T30_SUPPORT_T4_1D_COMPRESSION);
  if (o_.resolutions) t30_set_supported_resolutions(t30, o_.resolutions);
  if (o_.image_sizes) t30_set_supported_image_sizes(t30, o_.image_sizes);
  t30_set_ecm_capability(t30, o_.ecm);
  if (!o_.tx_file.empty()) t30_set_tx_file(t30, o_.tx_file.c_str(), -1, -1);
  if (!o_.rx_file.empty()) t30_set_rx_file(t30, o_.rx_file.c_str(), -1);
  t38_core_state_t* core = t38_terminal_get_t38_core_state(r.term);
  if (std::getenv("MILESTONE_PEER_LOG")) {
    span_log_set_level(t30_get_logging_state(t30), SPAN_LOG_SHOW_SEVERITY | SPAN_LOG_SHOW_PROTOCOL | SPAN_LOG_FLOW);
    span_log_set_level(t38_core_get_logging_state(core),
                       SPAN_LOG_SHOW_SEVERITY | SPAN_LOG_SHOW_PROTOCOL | SPAN_LOG_FLOW);
  }

  sockaddr_in target = loopback(o_.remote_port);
  std::deque<bytes> history;  // sent primaries, newest first
  uint16_t tx_seq = 0;
  bool rx_started = false;
  uint16_t rx_next = 0;
  uint16_t tpkt_rx_seq = 0;
  bytes stream;  // TPKT bytes received, not yet framed
  // MILESTONE_LOSS_SEED gives repeated runs other loss patterns.
  lcg loss;
  if (const char* seed = std::getenv("MILESTONE_LOSS_SEED"))
    loss.x = static_cast<uint32_t>(std::strtoul(seed, nullptr, 10));
  auto lost = [&] {
    if (o_.loss_percent == 0 || loss.percent() >= o_.loss_percent) return false;
    ++dropped;
    return true;
  };
  auto deliver = [&](const bytes& ifp, uint16_t seq) {
    t38_core_rx_ifp_packet(core, ifp.data(), static_cast<int>(ifp.size()), seq);
  };

  auto last = clock_type::now();
  while (!r.phase_e && !r.quit && !expired()) {
    if (r.closed && clock_type::now() - r.closed_at > std::chrono::seconds(3)) break;
    // spandsp's clock, in samples of 8 kHz.
    const auto now = clock_type::now();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - last).count();
    if (ms > 0) {
      t38_terminal_send_timeout(r.term, static_cast<int>(ms * 8));
      last += std::chrono::milliseconds(ms);
    }
    for (const bytes& ifp : r.out) {
      if (o_.tcp) {
        bytes frame{3, 0, static_cast<uint8_t>((ifp.size() + 4) >> 8), static_cast<uint8_t>(ifp.size() + 4)};
        frame.insert(frame.end(), ifp.begin(), ifp.end());
        if (!r.closed) (void)send(io, frame.data(), frame.size(), MSG_NOSIGNAL);
      } else {
        const bytes d = udptl_encode(tx_seq++, ifp, history);
        history.push_front(ifp);
        if (history.size() > o_.redundancy) history.pop_back();
        ++datagrams;
        if (!lost()) (void)sendto(io, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&target), sizeof target);
      }
    }
    r.out.clear();
    if (o_.die_after_cfr_ms && r.cfr_sent && now - r.cfr_at >= std::chrono::milliseconds(o_.die_after_cfr_ms)) {
      // Gone without a word: the sockets close under the far end.
      if (conn_ >= 0) {
        close(conn_);
        conn_ = -1;
      }
      close(fd_);
      fd_ = -1;
      died = true;
      break;
    }
    if (r.closed) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      continue;
    }
    pollfd p{io, POLLIN, 0};
    if (poll(&p, 1, 5) <= 0) continue;
    uint8_t buf[4096];
    if (o_.tcp) {
      const ssize_t n = recv(io, buf, sizeof buf, 0);
      if (n <= 0) {
        r.closed = true;
        r.closed_at = clock_type::now();
        continue;
      }
      stream.insert(stream.end(), buf, buf + n);
      while (stream.size() >= 4) {
        const size_t len = (size_t(stream[2]) << 8) | stream[3];
        if (stream[0] != 3 || len < 4) {
          r.quit = true;  // not TPKT: give up
          break;
        }
        if (stream.size() < len) break;
        deliver(bytes(stream.begin() + 4, stream.begin() + static_cast<long>(len)), tpkt_rx_seq++);
        stream.erase(stream.begin(), stream.begin() + static_cast<long>(len));
      }
    } else {
      sockaddr_in from{};
      socklen_t flen = sizeof from;
      const ssize_t n = recvfrom(io, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &flen);
      if (n <= 0 || lost()) continue;
      target = from;
      udptl_packet pk;
      if (!udptl_decode(buf, size_t(n), pk)) continue;
      if (!rx_started) {
        rx_started = true;
        rx_next = pk.seq;
      }
      const uint16_t ahead = static_cast<uint16_t>(pk.seq - rx_next);
      if (ahead >= 0x8000) continue;  // old or repeated
      // The missing ones first, from the secondaries that cover them.
      for (uint16_t s = rx_next; s != pk.seq; ++s) {
        const uint16_t back = static_cast<uint16_t>(pk.seq - 1 - s);
        if (back < pk.secondaries.size()) deliver(pk.secondaries[back], s);
      }
      deliver(pk.primary, pk.seq);
      rx_next = static_cast<uint16_t>(pk.seq + 1);
    }
  }
  t38_terminal_free(r.term);
  done = true;
}

}  // namespace milestone

#endif
