// The socket entity with its receive thread and resolvers, against real
// sockets on 127.0.0.1 with peers written here.  ENT_SM and the user entity
// are recording fakes; the SM task runs in the test thread.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <optional>
#include <set>
#include <thread>

#include "gtest/gtest.h"
#include "platform/socket.h"
#include "runtime/mem.h"
#include "runtime/sm.h"
#include "runtime/sock.h"
#include "runtime/sock_config.h"
#include "runtime/support/rt_harness.h"
#include "runtime/timer.h"

namespace {

using rt_test::seen_msg;

constexpr ent_id_t USER = ENT_SIP;
const u8 LOOPBACK[4] = {127, 0, 0, 1};

const entity_table_row_t TABLE[] = {
    {ENT_SM, rt_test::record_handler, 0, 0, nullptr, 0},
    {USER, rt_test::record_handler, 0, 0, nullptr, 0},
    IP_ENTITY_ROW,
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

u32 loopback_net() {
  u32 a;
  std::memcpy(&a, LOOPBACK, 4);
  return a;
}

// The address block of a connect request to the loopback port.
std::vector<u8> loopback_block(u16 port) {
  sock_addr a;
  a.addr_net = loopback_net();
  a.port = port;
  std::vector<u8> block(SOCK_ADDR_BLOCK_SIZE);
  sock_addr_pack(a, block.data());
  return block;
}

// ---------------------------------------------------------------------------
// Peers.

struct fd_holder {
  int fd = -1;
  explicit fd_holder(int f = -1) : fd(f) {}
  ~fd_holder() {
    if (fd >= 0) close(fd);
  }
  fd_holder(const fd_holder&) = delete;
  fd_holder& operator=(const fd_holder&) = delete;
};

sockaddr_in loop_addr(u16 port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(port);
  return sa;
}

int bound_socket(int type, u16 port) {
  int fd = socket(AF_INET, type, 0);
  sockaddr_in sa = loop_addr(port);
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

u16 port_of(int fd) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  return ntohs(sa.sin_port);
}

bool readable(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, ms) == 1;
}

// A port with nothing listening on it.
u16 dead_tcp_port() {
  fd_holder s(bound_socket(SOCK_STREAM, 0));
  return port_of(s.fd);
}

// ---------------------------------------------------------------------------
// Fixture.

class SockTest : public ::testing::Test {
 protected:
  void SetUp() override { rt_test::start_manual(TABLE); }
  void TearDown() override { rt_test::stop(); }

  // Runs the SM task and the timers until pred holds (bounded).
  bool pump_until(const std::function<bool()>& pred, unsigned ms = 5000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      rt_test::pump();
      om_os_timer_poll();
      rt_test::pump();
      if (pred()) return true;
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  // The first message not yet taken that goes to `to` with `code`.
  std::optional<seen_msg> take(ent_id_t to, code_t code, unsigned ms = 5000) {
    std::optional<seen_msg> found;
    pump_until(
        [&] {
          auto all = rt_test::rec().messages();
          for (size_t i = 0; i < all.size(); ++i) {
            if (taken_.count(i) || all[i].to != to || all[i].code != code) continue;
            taken_.insert(i);
            found = all[i];
            return true;
          }
          return false;
        },
        ms);
    return found;
  }

  // Nothing of that kind arrives within ms.
  bool none(ent_id_t to, code_t code, unsigned ms) { return !take(to, code, ms).has_value(); }

  void send(ent_id_t from, code_t code, const std::vector<u8>& body, u8 sapi = 1, u16 nai = 5, u16 conn = 0) {
    msg_t* m = rt_test::make_msg(from, ENT_IP, code, body, nai, conn);
    ASSERT_NE(m, nullptr);
    m->sapi = sapi;
    Send_msg(m);
  }

  // Sends a configuration body the way ENT_SM relays it and returns the
  // confirm body.
  std::vector<u8> configure(const std::vector<u8>& body) {
    msg_t* m = nullptr;
    if (body.size() <= om_os_get_msg_room()) {
      m = rt_test::make_msg(ENT_SM, ENT_IP, SM_CONFIG_RQ, body, OM_OS_NAI_NONE, OM_OS_CONN_NONE);
    } else {
      m = Alloc_msg();
      buffer_t* b = Store_data_in_buffers(body.data(), static_cast<u32>(body.size()), nullptr);
      Msg_attach_chain(m, b);
      m->from = ENT_SM;
      m->to = ENT_IP;
      m->code = SM_CONFIG_RQ;
    }
    Sm_set_target(m, ENT_IP);
    Send_msg(m);
    auto co = take(ENT_SM, SM_CONFIG_CO);
    EXPECT_TRUE(co.has_value());
    return co ? co->data : std::vector<u8>{};
  }

  std::vector<u8> configure(const sock_config_entry& e) { return configure(sock_config_body(0, {e})); }

  std::vector<u8> reset(u8 sapi, u16 nai, u16 conn) {
    u8 key[SOCK_KEY_BODY_SIZE];
    sock_key_body_pack(sapi, nai, conn, key);
    msg_t* m = rt_test::make_msg(ENT_SM, ENT_IP, SM_RST_CFG_RQ, std::vector<u8>(key, key + sizeof key));
    Sm_set_target(m, ENT_IP);
    Send_msg(m);
    auto co = take(ENT_SM, SM_RST_CFG_CO);
    EXPECT_TRUE(co.has_value());
    return co ? co->data : std::vector<u8>{};
  }

  static sock_config_entry udp_entry(u16 nai = 5, u16 port = 0) {
    sock_config_entry e;
    e.sapi = 1;
    e.nai = nai;
    e.conn_id = 0;
    e.address_count = 1;
    std::memcpy(e.address, LOOPBACK, 4);
    e.bind_address = 1;
    e.port = port;
    e.kind = SOCK_KIND_UDP;
    e.control_entity = USER;
    e.data_entity = USER;
    e.state = 's';
    return e;
  }

  static sock_config_entry tcp_entry(u16 nai = 5) {
    sock_config_entry e = udp_entry(nai);
    e.kind = SOCK_KIND_TCP;
    return e;
  }

  // The 28-byte address header in front of a datagram to the peer.
  static std::vector<u8> udp_request(u16 port, const std::vector<u8>& payload, u8 family = SOCK_FAMILY_IPV4) {
    std::vector<u8> out(SOCK_UDP_HEADER_SIZE);
    sock_addr a;
    a.family = family;
    a.addr_net = loopback_net();
    a.port = port;
    sock_udp_header_pack(a, SOCK_FAMILY_IPV4, 0, out.data());
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
  }

  // A chained SOCK_U_DA_RQ / SOCK_DA_RQ (payload beyond the inline room).
  void send_chained(code_t code, const std::vector<u8>& data, u16 nai = 5, u16 conn = 0) {
    msg_t* m = Alloc_msg();
    ASSERT_NE(m, nullptr);
    buffer_t* b = Store_data_in_buffers(data.data(), static_cast<u32>(data.size()), nullptr);
    ASSERT_NE(b, nullptr);
    Msg_attach_chain(m, b);
    m->from = USER;
    m->to = ENT_IP;
    m->sapi = 1;
    m->nai = nai;
    m->conn_id = conn;
    m->code = code;
    Send_msg(m);
  }

  static std::vector<u8> ok_confirm() { return {OM_OS_OK, 0, 0}; }

  std::set<size_t> taken_;
};

std::vector<u8> bytes(const char* s) { return std::vector<u8>(s, s + std::strlen(s)); }

// ---------------------------------------------------------------------------
// Configuration.

TEST_F(SockTest, RefusedEntriesNameTheErrorAndTheEntry) {
  // A body of one entry, changed by `edit`.
  auto one_entry = [](sock_config_entry e, auto edit) {
    return [e, edit] {
      sock_config_entry changed = e;
      edit(changed);
      return sock_config_body(0, {changed});
    };
  };
  struct row {
    const char* what;
    std::function<std::vector<u8>()> body;
    u8 e1, e2;
  };
  const std::vector<row> rows = {
      {"two entries",
       [] {
         return sock_config_body(0, {udp_entry(5), udp_entry(6)});
       },
       SOCK_CFG_ERR_COUNT, 2},
      {"two local addresses", one_entry(udp_entry(), [](sock_config_entry& e) { e.address_count = 2; }),
       SOCK_CFG_ERR_COUNT, 2},
      {"nai 65535", one_entry(udp_entry(), [](sock_config_entry& e) { e.nai = 0xFFFF; }), SOCK_CFG_ERR_NAI, 0},
      {"kind 3", one_entry(udp_entry(), [](sock_config_entry& e) { e.kind = 3; }), SOCK_CFG_ERR_KIND, 0},
      {"state letter", one_entry(udp_entry(), [](sock_config_entry& e) { e.state = 'x'; }), SOCK_CFG_ERR_STATE, 0},
      {"listening child key",
       one_entry(tcp_entry(),
                 [](sock_config_entry& e) {
                   e.tcp_listen = 1;
                   e.conn_id = 4;
                 }),
       SOCK_CFG_ERR_LISTEN_CONN, 0},
      {"entry cut short",
       [] {
         auto b = sock_config_body(0, {udp_entry()});
         b.pop_back();
         return b;
       },
       SOCK_CFG_ERR_COUNT, 1},
      {"no header",
       [] {
         return std::vector<u8>{0, 0, 0};
       },
       SOCK_CFG_ERR_COUNT, 0},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    auto co = configure(r.body());
    EXPECT_EQ(co, (std::vector<u8>{OM_OS_NOK, r.e1, r.e2}));
  }
  EXPECT_EQ(ip_socket_count(), 0u);
}

TEST_F(SockTest, SecondConfigurationOfAKeyIsRefusedAndSkippedEntriesAreAccepted) {
  EXPECT_EQ(configure(udp_entry()), ok_confirm());
  EXPECT_EQ(configure(udp_entry()), (std::vector<u8>{OM_OS_NOK, SOCK_CFG_ERR_EXISTS, 0}));
  auto skipped = udp_entry(9);
  skipped.control_entity = 0;
  EXPECT_EQ(configure(skipped), ok_confirm());
  EXPECT_EQ(configure(sock_config_body(0, {})), ok_confirm());
  EXPECT_EQ(ip_socket_count(), 1u);
  // A listening socket whose child keys are taken is refused as a whole.
  auto child = tcp_entry(7);
  child.conn_id = 2;
  child.state = 0;
  EXPECT_EQ(configure(child), ok_confirm());
  auto listener = tcp_entry(7);
  listener.tcp_listen = 1;
  listener.tcp_backlog = 3;
  EXPECT_EQ(configure(listener), (std::vector<u8>{OM_OS_NOK, SOCK_CFG_ERR_EXISTS, 0}));
  EXPECT_EQ(ip_socket_count(), 2u);
}

TEST_F(SockTest, ConfigurationSpreadOverSeveralBuffersIsReassembled) {
  auto body = sock_config_body(0, {udp_entry()});
  body.resize(3000, 0xEE);  // trailing bytes beyond the entry are not read
  EXPECT_EQ(configure(body), ok_confirm());
  EXPECT_NE(ip_socket_port(1, 5, 0), 0);
}

TEST_F(SockTest, LongConfigurationWithoutATemporaryBlockIsRefusedAtOnce) {
  std::vector<u8*> held;
  for (int i = 0; i < 16; ++i) {
    u8* b = Alloc_tmp_block(3000);
    if (!b) break;
    held.push_back(b);
  }
  ASSERT_FALSE(held.empty());
  auto body = sock_config_body(0, {udp_entry()});
  body.resize(3000, 0);
  EXPECT_EQ(configure(body), (std::vector<u8>{OM_OS_NOK, SOCK_CFG_ERR_MEMORY, ENT_IP}));
  for (u8* b : held) Free_tmp_block(b);
  EXPECT_EQ(configure(body), ok_confirm());
}

TEST_F(SockTest, TableOf137KeepsOneSlotFreeAndFindsEveryKeyAfterRemovals) {
  // Entries without a platform socket (state 0) fill the table.
  std::vector<std::tuple<u8, u16, u16>> keys;
  u32 accepted = 0;
  for (u16 i = 0; accepted < 200; ++i) {
    sock_config_entry e = udp_entry(static_cast<u16>(i % 63), 0);
    e.sapi = static_cast<u8>(1 + i / 63);
    e.conn_id = static_cast<u16>(i % 3);
    e.port = static_cast<u16>(1000 + i);
    e.state = 0;
    auto co = configure(e);
    if (co[0] != OM_OS_OK) {
      EXPECT_EQ(co, (std::vector<u8>{OM_OS_NOK, SOCK_CFG_ERR_TABLE_FULL, 0}));
      break;
    }
    keys.emplace_back(e.sapi, e.nai, e.conn_id);
    ++accepted;
  }
  EXPECT_EQ(ip_table_size(), 137u);
  EXPECT_EQ(accepted, 136u);
  // Remove every third; the others stay reachable through their probe runs.
  for (size_t i = 0; i < keys.size(); i += 3) {
    auto [s, n, c] = keys[i];
    EXPECT_EQ(reset(s, n, c), ok_confirm());
  }
  for (size_t i = 0; i < keys.size(); ++i) {
    auto [s, n, c] = keys[i];
    SCOPED_TRACE(i);
    EXPECT_EQ(ip_socket_port(s, n, c), i % 3 == 0 ? 0 : 1000 + i);
  }
  EXPECT_EQ(reset(9, 1, 1)[0], OM_OS_NOK);  // never configured
}

TEST_F(SockTest, PortInUseIsRefusedWithTheBindErrorAndTheEntityGoesOn) {
  fd_holder taken(bound_socket(SOCK_DGRAM, 0));
  const u16 port = port_of(taken.fd);
  auto co = configure(udp_entry(5, port));
  EXPECT_EQ(co, (std::vector<u8>{OM_OS_NOK, SOCK_CFG_ERR_BIND, static_cast<u8>(PLAT_WSAEADDRINUSE)}));
  EXPECT_EQ(ip_socket_count(), 0u);
  EXPECT_EQ(configure(udp_entry(5, 0)), ok_confirm());
}

TEST_F(SockTest, ConfirmComesAfterAReceiveRoundThatWatchesTheSocket) {
  auto co = configure(udp_entry());
  ASSERT_EQ(co, ok_confirm());
  EXPECT_GE(ip_receive_rounds(), 1u);
  // The socket is watched already: a datagram sent now is received.
  fd_holder peer(bound_socket(SOCK_DGRAM, 0));
  sockaddr_in to = loop_addr(ip_socket_port(1, 5, 0));
  sendto(peer.fd, "x", 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  EXPECT_TRUE(take(USER, SOCK_U_DA_IN).has_value());
}

TEST_F(SockTest, IdleReceiveThreadWakesAboutOnceASecond) {
  ASSERT_EQ(configure(udp_entry()), ok_confirm());
  ASSERT_EQ(configure(tcp_entry(6)), ok_confirm());
  const u32 before = ip_receive_rounds();
  pump_until([] { return false; }, 1500);
  const u32 rounds = ip_receive_rounds() - before;
  EXPECT_GE(rounds, 1u);
  EXPECT_LE(rounds, 4u);
}

TEST_F(SockTest, ManagementRequestsAreAnswered) {
  msg_t* m = rt_test::make_msg(ENT_SM, ENT_IP, SM_INIT_RQ, {'I', 7, 8});
  Send_msg(m);
  auto co = take(ENT_SM, SM_INIT_CO);
  ASSERT_TRUE(co);
  EXPECT_EQ(co->data, (std::vector<u8>{'I', 7, 8}));
  ASSERT_EQ(configure(udp_entry()), ok_confirm());
  // Type of service on a running socket; an unknown operation fails.
  msg_t* v = rt_test::make_msg(ENT_SM, ENT_IP, SM_MIP_ROUT_RQ, {1, 0x10}, 5);
  v->sapi = 1;
  Send_msg(v);
  auto vo = take(ENT_SM, SM_MIP_ROUT_CO);
  ASSERT_TRUE(vo);
  EXPECT_EQ(vo->data[0], OM_OS_OK);
  msg_t* w = rt_test::make_msg(ENT_SM, ENT_IP, SM_MIP_ROUT_RQ, {9}, 5);
  w->sapi = 1;
  Send_msg(w);
  auto wo = take(ENT_SM, SM_MIP_ROUT_CO);
  ASSERT_TRUE(wo);
  EXPECT_EQ(wo->data[0], OM_OS_NOK);
  // Reset by the header when the body is not the key form.
  msg_t* r = rt_test::make_msg(ENT_SM, ENT_IP, SM_RST_CFG_RQ, {'I', 0, 0, 0}, 5);
  r->sapi = 1;
  Send_msg(r);
  auto ro = take(ENT_SM, SM_RST_CFG_CO);
  ASSERT_TRUE(ro);
  EXPECT_EQ(ro->data, ok_confirm());
  EXPECT_EQ(ip_socket_count(), 0u);
}

// ---------------------------------------------------------------------------
// UDP.

TEST_F(SockTest, UdpEchoCarriesTheAddressHeaderBothWays) {
  ASSERT_EQ(configure(udp_entry()), ok_confirm());
  const u16 port = ip_socket_port(1, 5, 0);
  ASSERT_NE(port, 0);
  fd_holder peer(bound_socket(SOCK_DGRAM, 0));
  const u16 peer_port = port_of(peer.fd);
  sockaddr_in to = loop_addr(port);
  ASSERT_EQ(sendto(peer.fd, "hello", 5, 0, reinterpret_cast<sockaddr*>(&to), sizeof to), 5);

  auto in = take(USER, SOCK_U_DA_IN);
  ASSERT_TRUE(in);
  EXPECT_EQ(in->from, ENT_PH_IT);
  EXPECT_EQ(in->nai, 5);
  EXPECT_EQ(in->sapi, 1);
  ASSERT_EQ(in->data.size(), SOCK_UDP_HEADER_SIZE + 5);
  const sock_addr from = sock_addr_unpack(in->data.data());
  EXPECT_EQ(from.family, SOCK_FAMILY_IPV4);
  EXPECT_EQ(from.addr_net, loopback_net());
  EXPECT_EQ(from.port, peer_port);
  EXPECT_EQ(in->data[12], SOCK_FAMILY_IPV4);
  EXPECT_EQ(std::memcmp(in->data.data() + 16, LOOPBACK, 4), 0);
  EXPECT_EQ(std::string(in->data.begin() + SOCK_UDP_HEADER_SIZE, in->data.end()), "hello");

  // Echo back, inline and as a chain of several buffers.
  send(USER, SOCK_U_DA_RQ, udp_request(peer_port, bytes("hi")));
  std::vector<u8> big(3500);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<u8>(i * 7);
  send_chained(SOCK_U_DA_RQ, udp_request(peer_port, big));
  rt_test::pump();
  u8 buf[5000];
  ASSERT_TRUE(readable(peer.fd, 5000));
  EXPECT_EQ(recv(peer.fd, buf, sizeof buf, 0), 2);
  EXPECT_EQ(std::memcmp(buf, "hi", 2), 0);
  ASSERT_TRUE(readable(peer.fd, 5000));
  ASSERT_EQ(recv(peer.fd, buf, sizeof buf, 0), 3500);
  EXPECT_EQ(std::memcmp(buf, big.data(), big.size()), 0);
}

TEST_F(SockTest, DatagramLargerThanTheReceiveSizeIsReportedNotCut) {
  auto e = udp_entry();
  e.receive_size = 100;
  ASSERT_EQ(configure(e), ok_confirm());
  fd_holder peer(bound_socket(SOCK_DGRAM, 0));
  sockaddr_in to = loop_addr(ip_socket_port(1, 5, 0));
  std::vector<u8> big(200, 0x55);
  sendto(peer.fd, big.data(), big.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  auto rep = take(ENT_SM, SM_REPORT_IN);
  ASSERT_TRUE(rep);
  ASSERT_EQ(rep->data.size(), SOCK_REPORT_SIZE);
  EXPECT_EQ(rep->data[1], 'e');
  EXPECT_EQ(rep->data[4], SOCK_REPORT_OVERSIZE);
  EXPECT_EQ(rep->data[12], 100);
  // Exactly the receive size still passes, and the socket goes on serving.
  sendto(peer.fd, big.data(), 100, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  auto in = take(USER, SOCK_U_DA_IN);
  ASSERT_TRUE(in);
  EXPECT_EQ(in->data.size(), SOCK_UDP_HEADER_SIZE + 100);
}

// A socket whose user asked for it gets such a datagram cut to the receive
// size and marked, still reported; a datagram that fits is not marked.
TEST_F(SockTest, DatagramLargerThanTheReceiveSizeGoesUpCutWhenAskedFor) {
  auto e = udp_entry();
  e.receive_size = 2000;
  e.cut_up = 1;
  ASSERT_EQ(configure(e), ok_confirm());
  fd_holder peer(bound_socket(SOCK_DGRAM, 0));
  sockaddr_in to = loop_addr(ip_socket_port(1, 5, 0));
  std::vector<u8> big(60000);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<u8>(i * 13);
  for (const size_t n : {big.size(), size_t{2001}, size_t{2000}}) {
    SCOPED_TRACE(n);
    ASSERT_EQ(sendto(peer.fd, big.data(), n, 0, reinterpret_cast<sockaddr*>(&to), sizeof to), static_cast<ssize_t>(n));
    auto in = take(USER, SOCK_U_DA_IN);
    ASSERT_TRUE(in);
    ASSERT_EQ(in->data.size(), SOCK_UDP_HEADER_SIZE + 2000);
    EXPECT_EQ(in->data[SOCK_UDP_CUT_AT], n > 2000 ? SOCK_UDP_CUT : 0);
    EXPECT_EQ(std::memcmp(in->data.data() + SOCK_UDP_HEADER_SIZE, big.data(), 2000), 0);
    auto rep = take(ENT_SM, SM_REPORT_IN, 200);
    EXPECT_EQ(rep.has_value(), n > 2000);
  }
}

TEST_F(SockTest, LargeReceiveSizeSpreadsADatagramOverABufferChain) {
  auto e = udp_entry();
  e.receive_size = 4000;
  e.rcvbuf_size = 65536;
  ASSERT_EQ(configure(e), ok_confirm());
  fd_holder peer(bound_socket(SOCK_DGRAM, 0));
  sockaddr_in to = loop_addr(ip_socket_port(1, 5, 0));
  std::vector<u8> data(3900);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<u8>(i ^ (i >> 8));
  sendto(peer.fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  auto in = take(USER, SOCK_U_DA_IN);
  ASSERT_TRUE(in);
  EXPECT_TRUE(in->chained);
  ASSERT_EQ(in->data.size(), SOCK_UDP_HEADER_SIZE + data.size());
  EXPECT_EQ(std::memcmp(in->data.data() + SOCK_UDP_HEADER_SIZE, data.data(), data.size()), 0);
}

TEST_F(SockTest, UnsendableDatagramsAreDroppedWithTheirReports) {
  ASSERT_EQ(configure(udp_entry()), ok_confirm());
  fd_holder peer(bound_socket(SOCK_DGRAM, 0));
  const u16 peer_port = port_of(peer.fd);
  send(USER, SOCK_U_DA_RQ, udp_request(peer_port, {}));  // header only
  send(USER, SOCK_U_DA_RQ, udp_request(peer_port, bytes("v6"), SOCK_FAMILY_IPV6));
  send(USER, SOCK_U_DA_RQ, udp_request(peer_port, bytes("f7"), 7));
  send(USER, SOCK_DA_RQ, bytes("stream data on a datagram socket"));
  send(USER, SOCK_U_DA_RQ, udp_request(peer_port, bytes("ok")));
  auto r1 = take(ENT_SM, SM_REPORT_IN);
  auto r2 = take(ENT_SM, SM_REPORT_IN);
  ASSERT_TRUE(r1 && r2);
  EXPECT_EQ(r1->data[4], SOCK_REPORT_IPV6);
  EXPECT_EQ(r2->data[4], SOCK_REPORT_BAD_FAMILY);
  EXPECT_EQ(r2->data[12], 7);
  EXPECT_EQ(r2->data[0], ENT_IP);
  EXPECT_EQ(r2->data[10], SOCK_KIND_UDP);
  EXPECT_EQ(r2->data[11], USER);
  u8 buf[100];
  ASSERT_TRUE(readable(peer.fd, 5000));
  EXPECT_EQ(recv(peer.fd, buf, sizeof buf, 0), 2);  // only the good one
  EXPECT_FALSE(readable(peer.fd, 50));
}

TEST_F(SockTest, DatagramSocketsAnswerConnectionRequestsAtOnce) {
  ASSERT_EQ(configure(udp_entry()), ok_confirm());
  const std::vector<u8> six = {1, 2, 3, 4, 5, 6};
  struct row {
    code_t rq, co;
    size_t kept;
  };
  for (row r : {row{SOCK_EST_RQ, SOCK_EST_CO, 6}, row{SOCK_REL_RQ, SOCK_REL_CO, 3},
                row{SOCK_LISTEN_RQ, SOCK_LISTEN_CO, 3}, row{SOCK_STOP_LISTEN_RQ, SOCK_STOP_LISTEN_CO, 3},
                row{SOCK_INTSYNC_RQ, SOCK_INTSYNC_CO, 6}, row{SOCK_COMMIT_RQ, SOCK_COMMIT_CO, 6}}) {
    SCOPED_TRACE(r.rq);
    send(USER, r.rq, six);
    auto co = take(USER, r.co);
    ASSERT_TRUE(co);
    EXPECT_EQ(co->from, ENT_IP);
    EXPECT_EQ(co->data, std::vector<u8>(six.begin(), six.begin() + r.kept));
  }
  // Requests for sockets that do not exist, and unknown codes, are dropped.
  send(USER, SOCK_INTSYNC_RQ, {}, 1, 44);
  send(USER, SOCK_ICMP_RQ, {});
  EXPECT_TRUE(none(USER, SOCK_INTSYNC_CO, 100));
}

TEST_F(SockTest, LocalAddressListHoldsOneAndReportsTheOverflow) {
  ASSERT_EQ(configure(udp_entry()), ok_confirm());
  auto list = [](u8 count, const u8 addr[4]) {
    std::vector<u8> l(12, 0);
    l[3] = count;
    l[4] = SOCK_FAMILY_IPV4;
    std::memcpy(l.data() + 8, addr, 4);
    return l;
  };
  const u8 other[4] = {127, 0, 0, 2};
  const u8 none_addr[4] = {0, 0, 0, 0};
  // Adding a second address overflows the list.
  auto body = list(1, other);
  auto del = list(0, none_addr);
  body.insert(body.end(), del.begin(), del.end());
  send(USER, SOCKADDDELIP_RQ, body);
  auto rep = take(ENT_SM, SM_REPORT_IN);
  ASSERT_TRUE(rep);
  EXPECT_EQ(rep->data[1], 'r');
  EXPECT_EQ(rep->data[4], SOCK_REPORT_ADDRESS_LIST);
  EXPECT_EQ(rep->data[12], 1);
  // Removing the held one first makes room: received datagrams then carry
  // the new local address.
  body = list(1, other);
  del = list(1, LOOPBACK);
  body.insert(body.end(), del.begin(), del.end());
  send(USER, SOCKADDDELIP_RQ, body);
  rt_test::pump();
  fd_holder peer(bound_socket(SOCK_DGRAM, 0));
  sockaddr_in to = loop_addr(ip_socket_port(1, 5, 0));
  sendto(peer.fd, "a", 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  auto in = take(USER, SOCK_U_DA_IN);
  ASSERT_TRUE(in);
  EXPECT_EQ(std::memcmp(in->data.data() + 16, other, 4), 0);
  EXPECT_TRUE(none(USER, SOCKADDDELIP_CO, 50));
}

// ---------------------------------------------------------------------------
// TCP.

TEST_F(SockTest, ConnectFailuresAnswerWithTheirErrorLetters) {
  ASSERT_EQ(configure(tcp_entry()), ok_confirm());
  const std::vector<u8> block = loopback_block(dead_tcp_port());
  send(USER, SOCK_EST_RQ, block);
  auto co = take(USER, SOCK_EST_CO);
  ASSERT_TRUE(co);
  ASSERT_EQ(co->data.size(), SOCK_EST_CO_SIZE);
  EXPECT_EQ(co->data[0], OM_OS_NOK);
  EXPECT_EQ(co->data[1], '&');

  send(USER, SOCK_EST_RQ, std::vector<u8>(block.begin(), block.begin() + 8));
  co = take(USER, SOCK_EST_CO);
  ASSERT_TRUE(co);
  EXPECT_EQ(co->data[1], SOCK_ERR_SHORT_BODY);
  auto v6 = block;
  v6[0] = SOCK_FAMILY_IPV6;
  send(USER, SOCK_EST_RQ, v6);
  co = take(USER, SOCK_EST_CO);
  ASSERT_TRUE(co);
  EXPECT_EQ(co->data[1], SOCK_ERR_FAMILY);
  // Closing a socket that is not connected fails with '('.
  send(USER, SOCK_REL_RQ, {0, 0, 9});
  auto rel = take(USER, SOCK_REL_CO);
  ASSERT_TRUE(rel);
  EXPECT_EQ(rel->data, (std::vector<u8>{OM_OS_NOK, SOCK_ERR_STATE, 9}));
}

TEST_F(SockTest, ConnectSendReceiveAndPeerCloses) {
  ASSERT_EQ(configure(tcp_entry()), ok_confirm());
  fd_holder listener(bound_socket(SOCK_STREAM, 0));
  ASSERT_EQ(listen(listener.fd, 1), 0);
  const std::vector<u8> block = loopback_block(port_of(listener.fd));
  send(USER, SOCK_EST_RQ, block);
  auto co = take(USER, SOCK_EST_CO);
  ASSERT_TRUE(co);
  EXPECT_EQ(co->from, ENT_PH_IT);
  EXPECT_EQ(co->data[0], OM_OS_OK);
  EXPECT_EQ(co->data[1], 0);
  EXPECT_EQ(co->data[4] | (co->data[5] << 8), ip_socket_port(1, 5, 0));
  ASSERT_TRUE(readable(listener.fd, 5000));
  fd_holder peer(accept(listener.fd, nullptr, nullptr));
  ASSERT_GE(peer.fd, 0);

  // Entity to peer, inline and chained.
  std::vector<u8> big(5000);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<u8>(i * 13);
  send(USER, SOCK_DA_RQ, bytes("abc"));
  send_chained(SOCK_DA_RQ, big);
  send(USER, SOCK_U_DA_RQ, udp_request(1, bytes("not on a stream")));
  send(USER, SOCK_COMMIT_RQ, {});
  rt_test::pump();
  std::vector<u8> got;
  u8 buf[8192];
  while (got.size() < 5003 && readable(peer.fd, 5000)) {
    ssize_t n = recv(peer.fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    got.insert(got.end(), buf, buf + n);
  }
  ASSERT_EQ(got.size(), 5003u);
  EXPECT_EQ(std::string(got.begin(), got.begin() + 3), "abc");
  EXPECT_EQ(std::memcmp(got.data() + 3, big.data(), big.size()), 0);
  EXPECT_TRUE(take(USER, SOCK_COMMIT_CO).has_value());

  // A second connect request leaves the connection alone.
  send(USER, SOCK_EST_RQ, block);
  auto again = take(USER, SOCK_EST_CO);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->data[0], OM_OS_NOK);

  // Peer to entity.
  ASSERT_EQ(::send(peer.fd, "xyz", 3, 0), 3);
  auto in = take(USER, SOCK_DA_IN);
  ASSERT_TRUE(in);
  EXPECT_EQ(in->data, bytes("xyz"));

  // The peer closes: SOCK_REL_IN with two zero bytes; data afterwards are dropped.
  close(peer.fd);
  peer.fd = -1;
  auto rel = take(USER, SOCK_REL_IN);
  ASSERT_TRUE(rel);
  EXPECT_EQ(rel->data, (std::vector<u8>{0, 0}));
  send(USER, SOCK_DA_RQ, bytes("late"));

  // The socket can connect again.
  send(USER, SOCK_EST_RQ, block);
  co = take(USER, SOCK_EST_CO);
  ASSERT_TRUE(co);
  EXPECT_EQ(co->data[0], OM_OS_OK);
  send(USER, SOCK_REL_RQ, {0, 0, 4});
  auto rco = take(USER, SOCK_REL_CO);
  ASSERT_TRUE(rco);
  EXPECT_EQ(rco->data, (std::vector<u8>{OM_OS_OK, 0, 4}));
}

TEST_F(SockTest, PeerResetIsReportedWithItsLetter) {
  ASSERT_EQ(configure(tcp_entry()), ok_confirm());
  fd_holder listener(bound_socket(SOCK_STREAM, 0));
  ASSERT_EQ(listen(listener.fd, 1), 0);
  const std::vector<u8> block = loopback_block(port_of(listener.fd));
  send(USER, SOCK_EST_RQ, block);
  ASSERT_TRUE(take(USER, SOCK_EST_CO));
  ASSERT_TRUE(readable(listener.fd, 5000));
  int peer = accept(listener.fd, nullptr, nullptr);
  ASSERT_GE(peer, 0);
  linger lg{1, 0};
  setsockopt(peer, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
  close(peer);  // reset
  auto rel = take(USER, SOCK_REL_IN);
  ASSERT_TRUE(rel);
  EXPECT_EQ(rel->data, (std::vector<u8>{'\'', 0}));
  // Other sockets are still served.
  ASSERT_EQ(configure(udp_entry(6)), ok_confirm());
  fd_holder upeer(bound_socket(SOCK_DGRAM, 0));
  sockaddr_in to = loop_addr(ip_socket_port(1, 6, 0));
  sendto(upeer.fd, "u", 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  EXPECT_TRUE(take(USER, SOCK_U_DA_IN));
}

TEST_F(SockTest, ListeningSocketAcceptsIntoItsChildrenOnly) {
  auto e = tcp_entry();
  e.tcp_listen = 1;
  e.tcp_backlog = 2;
  ASSERT_EQ(configure(e), ok_confirm());
  EXPECT_EQ(ip_socket_count(), 3u);  // the listener and two children
  send(USER, SOCK_LISTEN_RQ, {0, 0, 7});
  auto lco = take(USER, SOCK_LISTEN_CO);
  ASSERT_TRUE(lco);
  EXPECT_EQ(lco->data, (std::vector<u8>{OM_OS_OK, 0, 7}));
  const u16 port = ip_socket_port(1, 5, 0);

  auto connect_peer = [&](fd_holder& h) {
    h.fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to = loop_addr(port);
    return connect(h.fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
  };
  fd_holder p1, p2;
  ASSERT_TRUE(connect_peer(p1));
  auto in1 = take(USER, SOCK_EST_IN);
  ASSERT_TRUE(in1);
  ASSERT_TRUE(connect_peer(p2));
  auto in2 = take(USER, SOCK_EST_IN);
  ASSERT_TRUE(in2);
  EXPECT_EQ(std::set<u16>({in1->conn_id, in2->conn_id}), std::set<u16>({1, 2}));
  EXPECT_EQ(in1->nai, 5);
  const sock_addr remote = sock_addr_unpack(in1->data.data());
  EXPECT_EQ(remote.addr_net, loopback_net());
  EXPECT_EQ(remote.port, port_of(p1.fd));

  // Every child is busy: the listening descriptor closes, so further
  // connects are refused rather than accepted without a child.
  bool refused = false;
  for (int i = 0; i < 500 && !refused; ++i) {
    rt_test::pump();
    fd_holder p3;
    p3.fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to = loop_addr(port);
    refused = connect(p3.fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0;
    if (!refused) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(refused);
  pump_until([] { return false; }, 100);
  auto early = take(USER, SOCK_EST_IN, 10);
  EXPECT_FALSE(early.has_value());

  // Data on a child reach the data entity with the child's conn_id.
  ASSERT_EQ(::send(p2.fd, "c2", 2, 0), 2);
  auto d2 = take(USER, SOCK_DA_IN);
  ASSERT_TRUE(d2);
  EXPECT_EQ(d2->conn_id, in2->conn_id);

  // Releasing a child makes it free again and the socket listens again.
  send(USER, SOCK_REL_RQ, {0, 0, 0}, 1, 5, in1->conn_id);
  auto rel = take(USER, SOCK_REL_CO);
  ASSERT_TRUE(rel);
  EXPECT_EQ(rel->data[0], OM_OS_OK);
  fd_holder p4;
  bool accepted = false;
  for (int i = 0; i < 500 && !accepted; ++i) {
    rt_test::pump();
    p4.fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to = loop_addr(port);
    accepted = connect(p4.fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
    if (!accepted) {
      close(p4.fd);
      p4.fd = -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  ASSERT_TRUE(accepted);
  auto in4 = take(USER, SOCK_EST_IN);
  ASSERT_TRUE(in4);
  EXPECT_EQ(in4->conn_id, in1->conn_id);

  // Stop listening, and a non-listening TCP socket refuses both requests.
  send(USER, SOCK_STOP_LISTEN_RQ, {0, 0, 3});
  auto sco = take(USER, SOCK_STOP_LISTEN_CO);
  ASSERT_TRUE(sco);
  EXPECT_EQ(sco->data, (std::vector<u8>{OM_OS_OK, 0, 3}));
  ASSERT_EQ(configure(tcp_entry(8)), ok_confirm());
  send(USER, SOCK_LISTEN_RQ, {0, 0, 0}, 1, 8);
  auto bad = take(USER, SOCK_LISTEN_CO);
  ASSERT_TRUE(bad);
  EXPECT_EQ(bad->data[1], SOCK_ERR_NOT_LISTENING);
  send(USER, SOCK_STOP_LISTEN_RQ, {0, 0, 0}, 1, 8);
  auto bad_stop = take(USER, SOCK_STOP_LISTEN_CO);
  ASSERT_TRUE(bad_stop);
  EXPECT_EQ(bad_stop->data, (std::vector<u8>{OM_OS_NOK, SOCK_ERR_NOT_LISTENING, 0}));

  // Resetting the listener removes its children too.
  EXPECT_EQ(reset(1, 5, 0), ok_confirm());
  EXPECT_EQ(ip_socket_count(), 1u);
}

TEST_F(SockTest, BlockedSendsRetryThenGiveUpWithAReport) {
  auto e = tcp_entry();
  e.retry_limit = 2;
  e.retry_delay_ms = 5;
  ASSERT_EQ(configure(e), ok_confirm());
  fd_holder listener(bound_socket(SOCK_STREAM, 0));
  int small = 4096;
  setsockopt(listener.fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  ASSERT_EQ(listen(listener.fd, 1), 0);
  const std::vector<u8> block = loopback_block(port_of(listener.fd));
  send(USER, SOCK_EST_RQ, block);
  auto co = take(USER, SOCK_EST_CO);
  ASSERT_TRUE(co);
  ASSERT_EQ(co->data[0], OM_OS_OK);
  fd_holder peer(accept(listener.fd, nullptr, nullptr));  // never reads
  // Fill the connection until the platform blocks.
  std::vector<u8> chunk(1500, 0xAB);
  std::optional<seen_msg> rep;
  for (int i = 0; i < 4000 && !rep; ++i) {
    send_chained(SOCK_DA_RQ, chunk);
    if (i % 50 == 49) send(USER, SOCK_COMMIT_RQ, {});
    rt_test::pump();
    if (i % 50 == 0) rep = take(ENT_SM, SM_REPORT_IN, 20);
  }
  if (!rep) rep = take(ENT_SM, SM_REPORT_IN);
  ASSERT_TRUE(rep);
  EXPECT_EQ(rep->data[1], 'e');
  EXPECT_EQ(rep->data[4], SOCK_REPORT_RETRY_LIMIT);
  EXPECT_EQ(rep->data[12] | (rep->data[13] << 8), PLAT_WSAEWOULDBLOCK);
  // The given-up queue still releases the waiting commit.
  EXPECT_TRUE(take(USER, SOCK_COMMIT_CO).has_value());
}

// ---------------------------------------------------------------------------
// Name resolver.

TEST_F(SockTest, ResolverAnswersLocalhostAndUnknownNames) {
  auto rq = [](u32 tag, const char* name) {
    std::vector<u8> b(4);
    for (int i = 0; i < 4; ++i) b[i] = static_cast<u8>(tag >> (8 * i));
    b.insert(b.end(), name, name + std::strlen(name) + 1);
    return b;
  };
  send(USER, SOCK_DNS_RQ, rq(0x11223344, "localhost"));
  send(USER, SOCK_DNS_RQ, rq(0x55667788, "no-such-host.invalid"));
  std::vector<seen_msg> got;
  for (int i = 0; i < 2; ++i) {
    auto co = take(USER, SOCK_DNS_CO, 20000);
    ASSERT_TRUE(co);
    got.push_back(*co);
  }
  for (const seen_msg& co : got) {
    ASSERT_EQ(co.data.size(), SOCK_DNS_CO_SIZE);
    EXPECT_EQ(co.from, ENT_IP);
    const u32 tag = co.data[0] | (co.data[1] << 8) | (co.data[2] << 16) | (static_cast<u32>(co.data[3]) << 24);
    if (tag == 0x11223344) {
      EXPECT_EQ(co.data[4], OM_OS_OK);
      ASSERT_GE(co.data[7], 1);
      EXPECT_EQ(co.data[8], SOCK_FAMILY_IPV4);
      EXPECT_EQ(std::memcmp(co.data.data() + 12, LOOPBACK, 4), 0);
    } else {
      EXPECT_EQ(tag, 0x55667788u);
      EXPECT_EQ(co.data[4], OM_OS_NOK);
      // Not found; a resolver that cannot reach its server says "other".
      EXPECT_TRUE(co.data[5] == SOCK_DNS_DETAIL_NOT_FOUND || co.data[5] == SOCK_DNS_DETAIL_OTHER);
      EXPECT_EQ(co.data[7], 0);
    }
  }
  EXPECT_TRUE(pump_until([] { return ip_resolvers_running() == 0; }));
}

TEST(SockRecords, DnsConfirmKeepsTheFirstTenAddresses) {
  std::vector<u32> addrs;
  for (u32 i = 1; i <= 12; ++i) addrs.push_back(0x0A000000u | i);
  u8 out[SOCK_DNS_CO_SIZE];
  sock_dns_co_pack(7, OM_OS_OK, 0, addrs, out);
  EXPECT_EQ(out[0], 7);
  EXPECT_EQ(out[4], OM_OS_OK);
  EXPECT_EQ(out[7], 10);
  for (u32 i = 0; i < 10; ++i) {
    u32 a;
    std::memcpy(&a, out + 8 + 12 * i + 4, 4);
    EXPECT_EQ(a, addrs[i]);
    EXPECT_EQ(out[8 + 12 * i], SOCK_FAMILY_IPV4);
  }
}

TEST(SockRecords, ErrorLettersOfConnectsAndCloses) {
  const std::pair<u16, u8> rows[] = {{PLAT_WSAEADDRINUSE, '$'}, {PLAT_WSAECONNABORTED, '%'}, {PLAT_WSAECONNRESET, '\''},
                                     {PLAT_WSAENOTCONN, '('},   {PLAT_WSAECONNREFUSED, '&'}, {PLAT_WSAETIMEDOUT, 'R'}};
  for (auto [err, letter] : rows) EXPECT_EQ(sock_error_letter(err), letter) << err;
}

TEST(SockRecords, ConfigEntryFieldsSitAtTheirOffsets) {
  sock_config_entry e;
  e.sapi = 0x11;
  e.nai = 0x2233;
  e.conn_id = 0x4455;
  e.address_count = 1;
  e.address[0] = 10;
  e.port = 0x6677;
  e.kind = 2;
  e.receive_size = 0x01020304;
  e.tcp_backlog = 0x0A0B0C0D;
  e.tos = 0xB8;
  u8 out[SOCK_CONFIG_ENTRY_SIZE];
  sock_config_entry_pack(e, out);
  EXPECT_EQ(out[0], 0x11);
  EXPECT_EQ(out[1], 0x33);
  EXPECT_EQ(out[2], 0x22);
  EXPECT_EQ(out[3], 0x55);
  EXPECT_EQ(out[6], 10);
  EXPECT_EQ(out[10], 0x77);
  EXPECT_EQ(out[13], 2);
  EXPECT_EQ(out[17], 0x04);
  EXPECT_EQ(out[20], 0x01);
  EXPECT_EQ(out[31], 0x0D);
  EXPECT_EQ(out[36], 0xB8);
  sock_config_entry back = sock_config_entry_unpack(out);
  EXPECT_EQ(back.nai, e.nai);
  EXPECT_EQ(back.receive_size, e.receive_size);
  EXPECT_EQ(back.tcp_backlog, e.tcp_backlog);
}

}  // namespace
