// IPv4 sockets, a poller with a wake-up descriptor and host-name lookup.
//
// This is the only code that calls the socket API.  Every failure is reported
// as a Windows socket error number (10035 would block, 10048 address in use,
// ...), which is what the socket entity puts into its confirms and reports.
// Addresses are IPv4 in network byte order (first octet in the lowest byte of
// memory, as the address records carry them); ports are host order.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/int_types.h"

// Socket kinds.
enum plat_sock_kind : u8 {
  PLAT_SOCK_UDP = 1,
  PLAT_SOCK_TCP = 2,
  PLAT_SOCK_RAW = 4,
};

inline constexpr int PLAT_SOCK_NONE = -1;  // no descriptor

// Windows socket error numbers reported by this layer.
enum : u16 {
  PLAT_WSAEINTR = 10004,
  PLAT_WSAEBADF = 10009,
  PLAT_WSAEACCES = 10013,
  PLAT_WSAEFAULT = 10014,
  PLAT_WSAEINVAL = 10022,
  PLAT_WSAEMFILE = 10024,
  PLAT_WSAEWOULDBLOCK = 10035,
  PLAT_WSAEINPROGRESS = 10036,
  PLAT_WSAEALREADY = 10037,
  PLAT_WSAENOTSOCK = 10038,
  PLAT_WSAEDESTADDRREQ = 10039,
  PLAT_WSAEMSGSIZE = 10040,
  PLAT_WSAEPROTOTYPE = 10041,
  PLAT_WSAENOPROTOOPT = 10042,
  PLAT_WSAEPROTONOSUPPORT = 10043,
  PLAT_WSAESOCKTNOSUPPORT = 10044,
  PLAT_WSAEOPNOTSUPP = 10045,
  PLAT_WSAEPFNOSUPPORT = 10046,
  PLAT_WSAEAFNOSUPPORT = 10047,
  PLAT_WSAEADDRINUSE = 10048,
  PLAT_WSAEADDRNOTAVAIL = 10049,
  PLAT_WSAENETDOWN = 10050,
  PLAT_WSAENETUNREACH = 10051,
  PLAT_WSAENETRESET = 10052,
  PLAT_WSAECONNABORTED = 10053,
  PLAT_WSAECONNRESET = 10054,
  PLAT_WSAENOBUFS = 10055,
  PLAT_WSAEISCONN = 10056,
  PLAT_WSAENOTCONN = 10057,
  PLAT_WSAESHUTDOWN = 10058,
  PLAT_WSAETIMEDOUT = 10060,
  PLAT_WSAECONNREFUSED = 10061,
  PLAT_WSAEHOSTDOWN = 10064,
  PLAT_WSAEHOSTUNREACH = 10065,
  PLAT_WSAEOTHER = 10100,  // no closer Windows number (WSASYSNOTREADY)
};

// The Windows socket error number of a Linux errno value (0 for 0).
u16 plat_sock_error_from_errno(int e);

// Creates a socket of the kind (raw: protocol "raw IP"); the descriptor or
// PLAT_SOCK_NONE with *err set.
[[nodiscard]] int plat_sock_open(plat_sock_kind kind, u16* err);
void plat_sock_close(int fd);

// Options; each returns 0 or the error number.
[[nodiscard]] u16 plat_sock_set_nonblocking(int fd);
[[nodiscard]] u16 plat_sock_set_rcvbuf(int fd, u32 bytes);
[[nodiscard]] u16 plat_sock_set_reuseaddr(int fd);
u16 plat_sock_set_nodelay(int fd);
u16 plat_sock_set_tos(int fd, u8 tos);

// Binds to addr (0 = any) and port (0 = chosen by the system).
[[nodiscard]] u16 plat_sock_bind(int fd, u32 addr_net, u16 port);
// The local port, or 0 when it cannot be read.
u16 plat_sock_local_port(int fd);

[[nodiscard]] u16 plat_sock_listen(int fd, int backlog);
// Accepts one waiting connection as a non-blocking descriptor; PLAT_SOCK_NONE
// with *err set (10035 when none waits).
[[nodiscard]] int plat_sock_accept(int fd, u32* addr_net, u16* port, u16* err);

// Starts a connect: 0 when it completed, 10035 / 10036 while it is under way,
// else the error.
[[nodiscard]] u16 plat_sock_connect(int fd, u32 addr_net, u16 port);
// The pending error of the socket (SO_ERROR), as a Windows number.
u16 plat_sock_pending_error(int fd);

// Shuts both directions down (errors ignored).
void plat_sock_shutdown(int fd);

// One piece of a scatter/gather transfer.
struct plat_sock_piece {
  void* data;
  size_t size;
};

// Sends the pieces as one datagram (to addr:port when addr_net or port is
// set) or as stream bytes.  Returns the bytes taken (>= 0) or the negated
// error number.
long plat_sock_sendv(int fd, const plat_sock_piece* pieces, size_t count, bool to, u32 addr_net, u16 port);

// Result of a scatter receive.
struct plat_sock_recv_result {
  long bytes;      // >= 0 bytes received, < 0 the negated error number
  bool truncated;  // a datagram larger than the pieces
  bool from_ipv4;  // the sender's address is IPv4
  u32 addr_net;    // sender (datagram sockets)
  u16 port;
};
[[nodiscard]] plat_sock_recv_result plat_sock_recvv(int fd, const plat_sock_piece* pieces, size_t count);

// A set of descriptors to wait on, with a wake-up descriptor that another
// thread sets to end a wait at once.
class plat_poller {
 public:
  enum : u8 { READ = 1, WRITE = 2 };
  enum : u8 { READABLE = 1, WRITABLE = 2, FAILED = 4 };

  plat_poller();
  ~plat_poller();
  plat_poller(const plat_poller&) = delete;
  plat_poller& operator=(const plat_poller&) = delete;

  bool ok() const { return wake_fd_ >= 0; }

  // Empties the set.
  void clear();
  // Adds a descriptor with the wanted events; returns its slot.
  size_t add(int fd, u8 events);
  size_t size() const { return fds_.size(); }
  // Waits at most ms milliseconds for an event or a wake-up; returns the
  // number of slots with events (0 on time-out or wake-up, -1 on error).
  int wait(int ms);
  // Events of a slot after wait (READABLE, WRITABLE, FAILED).
  u8 events(size_t slot) const;
  // Ends the current or the next wait (any thread).
  void wake();

 private:
  int wake_fd_ = -1;
  std::vector<int> fds_;
  std::vector<u8> want_;
  std::vector<u8> got_;
  void* pfd_ = nullptr;  // struct pollfd array
  size_t pfd_cap_ = 0;
};

// Host-name lookup results.
enum plat_dns_result : u8 {
  PLAT_DNS_OK = 0,
  PLAT_DNS_NOT_FOUND = 2,  // no such host
  PLAT_DNS_NO_DATA = 1,    // the host has no IPv4 address
  PLAT_DNS_FAILED = 3,     // any other failure
};

// The lookup result of a getaddrinfo error code.
plat_dns_result plat_dns_result_from_gai(int gai_error);

// Looks an IPv4 host up (blocking); the addresses in the order given.
plat_dns_result plat_resolve_ipv4(const char* name, std::vector<u32>* addrs_net);
