// POSIX sockets behind the platform socket layer.
#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

struct errno_row {
  int e;
  u16 wsa;
};

constexpr errno_row ERRNO_MAP[] = {
    {EINTR, PLAT_WSAEINTR},
    {EBADF, PLAT_WSAEBADF},
    {EACCES, PLAT_WSAEACCES},
    {EPERM, PLAT_WSAEACCES},
    {EFAULT, PLAT_WSAEFAULT},
    {EINVAL, PLAT_WSAEINVAL},
    {EMFILE, PLAT_WSAEMFILE},
    {ENFILE, PLAT_WSAEMFILE},
    {EAGAIN, PLAT_WSAEWOULDBLOCK},
#if EWOULDBLOCK != EAGAIN
    {EWOULDBLOCK, PLAT_WSAEWOULDBLOCK},
#endif
    {EINPROGRESS, PLAT_WSAEINPROGRESS},
    {EALREADY, PLAT_WSAEALREADY},
    {ENOTSOCK, PLAT_WSAENOTSOCK},
    {EDESTADDRREQ, PLAT_WSAEDESTADDRREQ},
    {EMSGSIZE, PLAT_WSAEMSGSIZE},
    {EPROTOTYPE, PLAT_WSAEPROTOTYPE},
    {ENOPROTOOPT, PLAT_WSAENOPROTOOPT},
    {EPROTONOSUPPORT, PLAT_WSAEPROTONOSUPPORT},
    {ESOCKTNOSUPPORT, PLAT_WSAESOCKTNOSUPPORT},
    {EOPNOTSUPP, PLAT_WSAEOPNOTSUPP},
    {EPFNOSUPPORT, PLAT_WSAEPFNOSUPPORT},
    {EAFNOSUPPORT, PLAT_WSAEAFNOSUPPORT},
    {EADDRINUSE, PLAT_WSAEADDRINUSE},
    {EADDRNOTAVAIL, PLAT_WSAEADDRNOTAVAIL},
    {ENETDOWN, PLAT_WSAENETDOWN},
    {ENETUNREACH, PLAT_WSAENETUNREACH},
    {ENETRESET, PLAT_WSAENETRESET},
    {ECONNABORTED, PLAT_WSAECONNABORTED},
    {ECONNRESET, PLAT_WSAECONNRESET},
    {EPIPE, PLAT_WSAESHUTDOWN},
    {ENOBUFS, PLAT_WSAENOBUFS},
    {ENOMEM, PLAT_WSAENOBUFS},
    {EISCONN, PLAT_WSAEISCONN},
    {ENOTCONN, PLAT_WSAENOTCONN},
    {ESHUTDOWN, PLAT_WSAESHUTDOWN},
    {ETIMEDOUT, PLAT_WSAETIMEDOUT},
    {ECONNREFUSED, PLAT_WSAECONNREFUSED},
    {EHOSTDOWN, PLAT_WSAEHOSTDOWN},
    {EHOSTUNREACH, PLAT_WSAEHOSTUNREACH},
};

u16 last_error() { return plat_sock_error_from_errno(errno); }

sockaddr_in make_addr(u32 addr_net, u16 port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = addr_net;
  sa.sin_port = htons(port);
  return sa;
}

u16 set_int_option(int fd, int level, int name, int value) {
  return setsockopt(fd, level, name, &value, sizeof value) == 0 ? 0 : last_error();
}

constexpr size_t MAX_PIECES = 64;

// The call made again while a signal interrupts it.
template <class Call>
auto retry_interrupted(Call call) {
  decltype(call()) r;
  do {
    r = call();
  } while (r < 0 && errno == EINTR);
  return r;
}

// The message header of a scatter/gather call over at most MAX_PIECES
// pieces; name is the address sent to or the room for the sender's (null:
// none).
struct piece_msg {
  iovec iov[MAX_PIECES];
  msghdr mh{};
  piece_msg(const plat_sock_piece* pieces, size_t count, void* name, socklen_t namelen) {
    for (size_t i = 0; i < count; ++i) {
      iov[i].iov_base = pieces[i].data;
      iov[i].iov_len = pieces[i].size;
    }
    mh.msg_name = name;
    mh.msg_namelen = namelen;
    mh.msg_iov = iov;
    mh.msg_iovlen = count;
  }
};

}  // namespace

u16 plat_sock_error_from_errno(int e) {
  if (e == 0) return 0;
  for (const errno_row& r : ERRNO_MAP)
    if (r.e == e) return r.wsa;
  return PLAT_WSAEOTHER;
}

int plat_sock_open(plat_sock_kind kind, u16* err) {
  int type = SOCK_DGRAM, proto = IPPROTO_UDP;
  if (kind == PLAT_SOCK_TCP) {
    type = SOCK_STREAM;
    proto = IPPROTO_TCP;
  } else if (kind == PLAT_SOCK_RAW) {
    type = SOCK_RAW;
    proto = IPPROTO_RAW;
  }
  int fd = socket(AF_INET, type | SOCK_CLOEXEC, proto);
  if (fd < 0) {
    if (err) *err = last_error();
    return PLAT_SOCK_NONE;
  }
  if (err) *err = 0;
  return fd;
}

void plat_sock_close(int fd) {
  if (fd >= 0) close(fd);
}

u16 plat_sock_set_nonblocking(int fd) {
  int flags = fcntl(fd, F_GETFL, 0);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return last_error();
  return 0;
}

u16 plat_sock_set_rcvbuf(int fd, u32 bytes) {
  int v = bytes > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(bytes);
  return set_int_option(fd, SOL_SOCKET, SO_RCVBUF, v);
}

u16 plat_sock_set_reuseaddr(int fd) { return set_int_option(fd, SOL_SOCKET, SO_REUSEADDR, 1); }

u16 plat_sock_set_nodelay(int fd) { return set_int_option(fd, IPPROTO_TCP, TCP_NODELAY, 1); }

u16 plat_sock_set_tos(int fd, u8 tos) { return set_int_option(fd, IPPROTO_IP, IP_TOS, tos); }

u16 plat_sock_bind(int fd, u32 addr_net, u16 port) {
  sockaddr_in sa = make_addr(addr_net, port);
  return bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 ? 0 : last_error();
}

u16 plat_sock_local_port(int fd) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0 || sa.sin_family != AF_INET) return 0;
  return ntohs(sa.sin_port);
}

u16 plat_sock_listen(int fd, int backlog) { return listen(fd, backlog) == 0 ? 0 : last_error(); }

int plat_sock_accept(int fd, u32* addr_net, u16* port, u16* err) {
  sockaddr_storage ss{};
  socklen_t len = sizeof ss;
  const int c = retry_interrupted(
      [&] { return accept4(fd, reinterpret_cast<sockaddr*>(&ss), &len, SOCK_NONBLOCK | SOCK_CLOEXEC); });
  if (c < 0) {
    if (err) *err = last_error();
    return PLAT_SOCK_NONE;
  }
  if (err) *err = 0;
  u32 a = 0;
  u16 p = 0;
  if (ss.ss_family == AF_INET) {
    const sockaddr_in* sa = reinterpret_cast<const sockaddr_in*>(&ss);
    a = sa->sin_addr.s_addr;
    p = ntohs(sa->sin_port);
  }
  if (addr_net) *addr_net = a;
  if (port) *port = p;
  return c;
}

u16 plat_sock_connect(int fd, u32 addr_net, u16 port) {
  sockaddr_in sa = make_addr(addr_net, port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) return 0;
  return last_error();
}

u16 plat_sock_pending_error(int fd) {
  int v = 0;
  socklen_t len = sizeof v;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &v, &len) != 0) return last_error();
  return plat_sock_error_from_errno(v);
}

void plat_sock_shutdown(int fd) {
  if (fd >= 0) shutdown(fd, SHUT_RDWR);
}

long plat_sock_sendv(int fd, const plat_sock_piece* pieces, size_t count, bool to, u32 addr_net, u16 port) {
  if (count > MAX_PIECES) return -static_cast<long>(PLAT_WSAEMSGSIZE);
  sockaddr_in sa = make_addr(addr_net, port);
  piece_msg pm(pieces, count, to ? &sa : nullptr, to ? sizeof sa : 0);
  const ssize_t n = retry_interrupted([&] { return sendmsg(fd, &pm.mh, MSG_NOSIGNAL); });
  if (n < 0) return -static_cast<long>(last_error());
  return static_cast<long>(n);
}

plat_sock_recv_result plat_sock_recvv(int fd, const plat_sock_piece* pieces, size_t count) {
  plat_sock_recv_result r{};
  if (count > MAX_PIECES) {
    r.bytes = -static_cast<long>(PLAT_WSAEMSGSIZE);
    return r;
  }
  sockaddr_storage ss{};
  piece_msg pm(pieces, count, &ss, sizeof ss);
  const ssize_t n = retry_interrupted([&] { return recvmsg(fd, &pm.mh, 0); });
  if (n < 0) {
    r.bytes = -static_cast<long>(last_error());
    return r;
  }
  r.bytes = static_cast<long>(n);
  r.truncated = (pm.mh.msg_flags & MSG_TRUNC) != 0;
  if (pm.mh.msg_namelen >= sizeof(sockaddr_in) && ss.ss_family == AF_INET) {
    const sockaddr_in* sa = reinterpret_cast<const sockaddr_in*>(&ss);
    r.from_ipv4 = true;
    r.addr_net = sa->sin_addr.s_addr;
    r.port = ntohs(sa->sin_port);
  }
  return r;
}

// ---------------------------------------------------------------------------
// Poller.

plat_poller::plat_poller() { wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC); }

plat_poller::~plat_poller() {
  if (wake_fd_ >= 0) close(wake_fd_);
  delete[] static_cast<pollfd*>(pfd_);
}

void plat_poller::clear() {
  fds_.clear();
  want_.clear();
  got_.clear();
}

size_t plat_poller::add(int fd, u8 events) {
  fds_.push_back(fd);
  want_.push_back(events);
  got_.push_back(0);
  return fds_.size() - 1;
}

int plat_poller::wait(int ms) {
  const size_t n = fds_.size() + 1;
  if (pfd_cap_ < n) {
    delete[] static_cast<pollfd*>(pfd_);
    pfd_cap_ = n * 2;
    pfd_ = new pollfd[pfd_cap_];
  }
  pollfd* p = static_cast<pollfd*>(pfd_);
  p[0] = pollfd{wake_fd_, POLLIN, 0};
  for (size_t i = 0; i < fds_.size(); ++i) {
    short ev = 0;
    if (want_[i] & READ) ev |= POLLIN;
    if (want_[i] & WRITE) ev |= POLLOUT;
    p[i + 1] = pollfd{fds_[i], ev, 0};
    got_[i] = 0;
  }
  int r = poll(p, n, ms);
  if (r < 0) return errno == EINTR ? 0 : -1;
  if (p[0].revents) {
    u64 v;
    while (read(wake_fd_, &v, sizeof v) > 0) {}
  }
  int count = 0;
  for (size_t i = 0; i < fds_.size(); ++i) {
    short re = p[i + 1].revents;
    u8 g = 0;
    if (re & POLLIN) g |= READABLE;
    if (re & POLLOUT) g |= WRITABLE;
    if (re & (POLLERR | POLLHUP | POLLNVAL)) g |= FAILED;
    got_[i] = g;
    if (g) ++count;
  }
  return count;
}

u8 plat_poller::events(size_t slot) const { return slot < got_.size() ? got_[slot] : 0; }

void plat_poller::wake() {
  if (wake_fd_ < 0) return;
  u64 one = 1;
  ssize_t r = write(wake_fd_, &one, sizeof one);
  (void)r;
}

// ---------------------------------------------------------------------------
// Host-name lookup.

plat_dns_result plat_dns_result_from_gai(int gai_error) {
  switch (gai_error) {
    case 0: return PLAT_DNS_OK;
    case EAI_NONAME: return PLAT_DNS_NOT_FOUND;
#ifdef EAI_NODATA
    case EAI_NODATA:  // NOLINT(bugprone-branch-clone): each code sits behind its own #ifdef
      return PLAT_DNS_NO_DATA;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY: return PLAT_DNS_NO_DATA;
#endif
    default: return PLAT_DNS_FAILED;
  }
}

plat_dns_result plat_resolve_ipv4(const char* name, std::vector<u32>* addrs_net) {
  addrs_net->clear();
  if (!name || !*name) return PLAT_DNS_NOT_FOUND;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;  // one entry per address
  addrinfo* res = nullptr;
  int rc = getaddrinfo(name, nullptr, &hints, &res);
  if (rc != 0) return plat_dns_result_from_gai(rc);
  for (addrinfo* a = res; a; a = a->ai_next) {
    if (a->ai_family != AF_INET || !a->ai_addr) continue;
    const sockaddr_in* sa = reinterpret_cast<const sockaddr_in*>(a->ai_addr);
    addrs_net->push_back(sa->sin_addr.s_addr);
  }
  freeaddrinfo(res);
  return addrs_net->empty() ? PLAT_DNS_NO_DATA : PLAT_DNS_OK;
}
