// ENT_SIP and ENT_SSC as the SIP tests and benchmarks run them: the two
// configuration bodies, and a UDP socket on 127.0.0.1 in place of the socket
// entity under ENT_SIP.  Header only: benchmarks build it in too.
#pragma once
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstring>
#include <memory>
#include <vector>

#include "common/byte_order.h"
#include "runtime/buffer.h"
#include "runtime/entity.h"
#include "runtime/msg.h"
#include "runtime/sock.h"
#include "sip/ent/sip_config.h"
#include "sip/ssc/ssc_entity.h"
#include "sip/support/loopback_udp.h"

namespace ssc_test {

inline constexpr u16 STACK_USER_NAI = 1;       // ENT_SIP's endpoint and ENT_SSC's profile
inline constexpr u16 STACK_TRANSPORT_NAI = 2;  // the socket under ENT_SIP

// ENT_SSC option flag: a request whose Require names an extension we do not
// support is refused with 420.
inline constexpr u16 SSC_FLAG_REQUIRE_CHECK = 0x02;

// ENT_SIP's SM_CONFIG_RQ body: one endpoint for ENT_SSC over ENT_IP, T1
// 100 ms, T2 800 ms, 1 s hold.
inline std::vector<u8> stack_sip_config_body() {
  sip_config c;
  c.endpoint_count = 1;
  sip_config_endpoint& e = c.endpoints[0];
  e.nai = STACK_USER_NAI;
  e.address_type = 1;
  e.user_entity = ENT_SSC;
  e.transport_entity = ENT_IP;
  e.transport_nai = STACK_TRANSPORT_NAI;
  e.t1_ms = 100;
  e.t2_ms = 800;
  e.hold_ms = 1000;
  std::vector<u8> body(SIP_CONFIG_SIZE);
  sip_config_pack(c, body.data());
  return body;
}

// ENT_SSC's SM_CONFIG_RQ body: one profile for `nai` with 62 calls, 68 extra
// dialogs, 62 registration slots and ENT_FOIP as the user, no address.
inline std::vector<u8> ssc_config_body(u16 nai, u16 option_flags = 0) {
  std::vector<u8> body(SSC_CONFIG_SIZE, 0);
  put_le16(&body[4], 1);  // profiles
  u8* p = &body[SSC_CONFIG_HEAD];
  put_le16(p + 0, nai);
  put_le16(p + 2, 62);  // calls
  put_le16(p + 4, 68);  // extra dialogs
  put_le16(p + 8, 62);  // registration slots
  p[10] = ENT_FOIP;
  put_le16(p + 12, option_flags);
  return body;
}

// Both configurations, each handed to `send(to, body)` to go as SM_CONFIG_RQ
// from ENT_SM with NAI 0 and be handled before it returns; then selects the
// user agent.  Whether it is there.
template <class Send>
[[nodiscard]] bool configure_stack(Send&& send, u16 ssc_flags = 0) {
  send(ENT_SIP, stack_sip_config_body());
  send(ENT_SSC, ssc_config_body(STACK_USER_NAI, ssc_flags));
  return ssc_ua__select(STACK_USER_NAI) == 2;
}

// The socket under ENT_SIP: datagram requests leave through it, datagrams
// that arrive go up to ENT_SIP as SOCK_U_DA_IN.  `tap`, when set, sees every
// datagram both ways with its source and destination ports.
class stack_socket {
 public:
  using tap_fn = void (*)(const u8* data, std::size_t n, u16 sport, u16 dport);
  tap_fn tap = nullptr;

  // Binds a free port on 127.0.0.1, with a receive buffer of
  // `receive_buffer` bytes when not 0 (for bursts of calls); whether it did.
  [[nodiscard]] bool open(int receive_buffer = 0) {
    udp_ = std::make_unique<udp>();
    if (udp_->fd < 0 || udp_->port == 0) return false;
    if (receive_buffer > 0) (void)setsockopt(udp_->fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    return true;
  }
  void close() { udp_.reset(); }
  [[nodiscard]] u16 port() const { return udp_ ? udp_->port : 0; }

  // The datagram of a SOCK_U_DA_RQ to the address in its header; other
  // messages are ignored.  The message stays the caller's.
  void send_request(const msg_t* m) const {
    if (!udp_ || m->code != SOCK_U_DA_RQ) return;
    std::vector<u8> d;
    if (m->p_buffer != nullptr) {
      d.resize(Buffer_chain_length(m->p_buffer));
      u32 len = 0;
      Reassemble_buffers(d.data(), static_cast<u32>(d.size()), m->p_buffer, &len);
      d.resize(len);
    } else {
      d.assign(Msg_data(m), Msg_data(m) + m->data_size);
    }
    if (d.size() <= SOCK_UDP_HEADER_SIZE) return;
    const sock_addr a = sock_addr_unpack(d.data());
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = a.addr_net;
    to.sin_port = htons(a.port);
    const u8* payload = d.data() + SOCK_UDP_HEADER_SIZE;
    const std::size_t n = d.size() - SOCK_UDP_HEADER_SIZE;
    (void)sendto(udp_->fd, payload, n, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    if (tap) tap(payload, n, udp_->port, a.port);
  }

  // A datagram that arrives within `timeout_ms` goes to ENT_SIP (not yet
  // handled); whether one did.
  bool receive_one(int timeout_ms) const {
    if (!udp_) return false;
    pollfd p{udp_->fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) return false;
    std::vector<u8> d(SOCK_UDP_HEADER_SIZE + 65536);
    sockaddr_in from{};
    socklen_t len = sizeof from;
    const ssize_t n = recvfrom(udp_->fd, d.data() + SOCK_UDP_HEADER_SIZE, d.size() - SOCK_UDP_HEADER_SIZE, 0,
                               reinterpret_cast<sockaddr*>(&from), &len);
    if (n <= 0) return false;
    d.resize(SOCK_UDP_HEADER_SIZE + static_cast<std::size_t>(n));
    sock_addr a;
    a.addr_net = from.sin_addr.s_addr;
    a.port = ntohs(from.sin_port);
    sock_addr_pack(a, d.data());
    if (tap) tap(d.data() + SOCK_UDP_HEADER_SIZE, static_cast<std::size_t>(n), a.port, udp_->port);
    msg_t* m = Alloc_msg();
    if (m == nullptr) return false;
    m->from = ENT_PH_IT;
    m->to = ENT_SIP;
    m->code = SOCK_U_DA_IN;
    m->sapi = 0;
    m->nai = STACK_TRANSPORT_NAI;
    m->conn_id = 0;
    Msg_attach_chain(m, Store_data_in_buffers(d.data(), static_cast<u32>(d.size()), nullptr));
    Send_msg(m);
    return true;
  }

 private:
  std::unique_ptr<udp> udp_;
};

// The program's one socket under ENT_SIP, and the handler that stands in
// for ENT_IP with it: each datagram request leaves through the socket.
inline stack_socket& loopback_socket() {
  static stack_socket s;
  return s;
}
inline void loopback_ip_handler(msg_t* m) {
  loopback_socket().send_request(m);
  Free_msg(m);
}

}  // namespace ssc_test
