// spandsp's T.38 terminal on real loopback sockets and the real clock, as
// the far end of a tessaly fax: over UDPTL (with redundancy, and an optional
// loss of datagrams in both directions, as a lossy relay would drop them) or
// over TPKT (RFC 1006 framing on TCP), listening or connecting.  The
// UDPTL and TPKT framing here is this peer's own, so that a fault in
// tessaly's codecs is not mirrored.  It runs in a thread of its own; every
// wait is bounded.  Test-only.
#pragma once

#if defined(KV_HAVE_SPANDSP) && defined(KV_HAVE_LIBTIFF)

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

namespace milestone {

struct peer_options {
  bool tcp = false;
  bool calling = false;      // the peer places the call (it sends the fax)
  bool listen = true;        // TCP: listen on `port` (else connect to `remote_port`)
  std::string tx_file;       // pages the peer sends, when calling
  std::string rx_file;       // where the peer stores what it receives
  uint16_t remote_port = 0;  // UDP: first target (replies go to the last source); TCP: where to connect
  unsigned loss_percent = 0;
  unsigned redundancy = 3;  // UDPTL secondaries per datagram
  // After the peer has sent CFR, it stops dead after this many ms (0: never).
  unsigned die_after_cfr_ms = 0;
  unsigned limit_ms = 90000;   // the peer gives up after this long
  bool no_indicators = false;  // send no T30_INDICATOR packets (an option of spandsp over TCP)
  uint16_t local_port = 0;     // the port to take (0: any free one)
  // What the peer takes (spandsp's T30_SUPPORT_ bits; 0: its defaults):
  // compressions (default T.4 one-dimensional only), resolutions, image
  // sizes; ECM offered or not.
  int compressions = 0;
  int resolutions = 0;
  int image_sizes = 0;
  bool ecm = false;
};

class t38_live_peer {
 public:
  explicit t38_live_peer(const peer_options& o);
  ~t38_live_peer();
  t38_live_peer(const t38_live_peer&) = delete;
  t38_live_peer& operator=(const t38_live_peer&) = delete;

  // The local port (UDP socket or TCP listener).
  uint16_t port() const { return port_; }
  void start();
  // Waits for the end of the fax (or of the peer) up to `ms`; true when it ended.
  bool wait(unsigned ms);

  std::atomic<bool> done{false};    // the peer has ended (files closed)
  std::atomic<int> completion{-1};  // its T30_ERR_ code when phase E was reached
  // At phase E: whether the call ran in ECM, and the page coding (spandsp's
  // T4_COMPRESSION_ value).
  std::atomic<bool> ecm_used{false};
  std::atomic<int> encoding{-1};
  std::atomic<bool> died{false};
  std::atomic<unsigned> dropped{0}, datagrams{0};

 private:
  void run();
  peer_options o_;
  int fd_ = -1;    // UDP socket or TCP listener
  int conn_ = -1;  // TCP connection
  uint16_t port_ = 0;
  std::thread thread_;
  std::atomic<bool> stop_{false};
};

}  // namespace milestone

#endif
