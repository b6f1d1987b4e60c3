// Two T.38 sessions back to back over real loopback sockets of ENT_IP:
// UDPTL with and without loss (recovered by redundancy), TPKT over TCP, and
// bad datagrams and streams that never stop the good packets behind them.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <dirent.h>
#include <fstream>
#include <iterator>
#include <random>

#include "runtime/sock.h"
#include "t38/support/t38_loopback.h"
#include "t38/t38_entity.h"

namespace kv::t38 {
namespace {

using testing::delivered;
using testing::field_def;
using testing::ifp;
using testing::T38LoopbackTest;
using testing::udptl;
using bytes = std::vector<uint8_t>;

const bytes kOk = {2, 2, 'J'};
constexpr uint8_t D = T38_IFP__DATA_BIT;

struct packet {
  uint8_t type_byte;
  std::vector<field_def> fields;
};

// A short fax dialogue: tones, a V.21 frame, training and page data.
std::vector<packet> dialogue(int pages) {
  std::vector<packet> out = {
      {T38_IND__CNG, {}},
      {T38_IND__V21_PREAMBLE, {}},
      {D | T38_DATA__V21,
       {{T38_FIELD__HDLC_DATA, {0xFF, 0x13, 0x80, 0x00, 0xEE, 0xF8}}, {T38_FIELD__HDLC_FCS_OK_SIG_END, {}}}},
      {T38_IND__V17_14400_LONG_TRAINING, {}},
  };
  for (int i = 0; i < pages; ++i) {
    bytes data(40);
    for (size_t k = 0; k < data.size(); ++k) data[k] = static_cast<uint8_t>(i * 7 + k);
    out.push_back({D | T38_DATA__V17_14400, {{T38_FIELD__T4_NON_ECM_DATA, data}}});
  }
  out.push_back({D | T38_DATA__V17_14400, {{T38_FIELD__T4_NON_ECM_SIG_END, {}}}});
  out.push_back({T38_IND__NO_SIGNAL, {}});
  return out;
}

void send_all(t38_session& s, const std::vector<packet>& pks) {
  for (const packet& p : pks) {
    t38_data_field* f = p.fields.empty() ? nullptr : testing::make_fields(s.pools, p.fields);
    ASSERT_EQ(t38_ifp__send(T38_IFP__MODE_SEND, p.type_byte, f, s), 2);
  }
}

void expect_same(const std::vector<delivered>& got, const std::vector<packet>& sent) {
  ASSERT_EQ(got.size(), sent.size());
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].type_byte, sent[i].type_byte) << i;
    EXPECT_EQ(got[i].fields, sent[i].fields) << i;
  }
}

class T38BackToBack : public T38LoopbackTest {
 protected:
  // Sessions 1 and 2 on UDP sockets, each sending to the other.
  void open_udp(u8 redundancy, u8 lost, u8 freq) {
    ASSERT_TRUE(udp_socket(1));
    ASSERT_TRUE(udp_socket(2));
    t38_session_entry a = testing::udp_entry(1, port(2), redundancy);
    a.ip.idle_ip_inactivity_ms = 30;
    t38_session_entry b = testing::udp_entry(2, port(1), redundancy);
    b.sim.nb_of_pck_lost = lost;
    b.sim.freq_pck_lost = freq;
    ASSERT_EQ(configure({a, b}), kOk);
  }
};

TEST_F(T38BackToBack, UdptlWithAndWithoutLoss) {
  struct row {
    const char* what;
    u8 lost, freq;
  };
  const row rows[] = {{"no loss", 0, 0}, {"every third datagram destroyed", 1, 3}, {"two in every seven", 2, 5}};
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    TearDown();
    SetUp();
    open_udp(2, r.lost, r.freq);
    t38_session& s1 = *t38__find_session(1);
    t38_session& s2 = *t38__find_session(2);
    const auto pks = dialogue(20);
    send_all(s1, pks);
    ASSERT_TRUE(pump_until([&] { return iaf.got[2].size() >= pks.size(); }));
    expect_same(iaf.got[2], pks);
    EXPECT_EQ(s2.ifp.cnt.lost, 0u);
    if (r.lost != 0) {
      EXPECT_GT(s2.ifp.cnt.retrieved, 0u);
    }
    // And back the other way.
    send_all(s2, dialogue(2));
    ASSERT_TRUE(pump_until([&] { return iaf.got[1].size() >= dialogue(2).size(); }));
    expect_same(iaf.got[1], dialogue(2));
    // Both ends are the negotiated peers of each other.
    EXPECT_EQ(s1.ifp.cnt.foreign_source + s2.ifp.cnt.foreign_source, 0u);
  }
}

TEST_F(T38BackToBack, TpktOverTcp) {
  ASSERT_TRUE(tcp_socket(2, true));
  ASSERT_TRUE(tcp_socket(1, false));
  to_ip(SOCK_LISTEN_RQ, 2, {0, 0, 0});
  ASSERT_TRUE(wait_user(SOCK_LISTEN_CO));
  t38_session_entry a = testing::tcp_entry(1, port(2));
  t38_session_entry b = testing::tcp_entry(2, port(1));
  b.addr.sock_conn_id = 1;  // the listener's child
  ASSERT_EQ(configure({a, b}), kOk);
  sock_addr to;
  to.addr_net = htonl(INADDR_LOOPBACK);
  to.port = port(2);
  bytes block(SOCK_ADDR_BLOCK_SIZE);
  sock_addr_pack(to, block.data());
  to_ip(SOCK_EST_RQ, 1, block);
  ASSERT_TRUE(wait_user(SOCK_EST_CO));
  ASSERT_TRUE(wait_user(SOCK_EST_IN));
  const auto pks = dialogue(30);
  send_all(*t38__find_session(1), pks);
  send_all(*t38__find_session(2), dialogue(1));
  ASSERT_TRUE(pump_until([&] { return iaf.got[2].size() >= pks.size() && iaf.got[1].size() >= dialogue(1).size(); }));
  expect_same(iaf.got[2], pks);
  expect_same(iaf.got[1], dialogue(1));
  for (size_t i = 0; i < iaf.got[2].size(); ++i) EXPECT_EQ(iaf.got[2][i].ext_seq, i);
}

bytes read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

std::vector<bytes> corpus(const std::string& name) {
  std::vector<bytes> out;
  const std::string dir = std::string(KV_SOURCE_DIR) + "/fuzz/corpus/" + name;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] != '.') out.push_back(read_file(dir + "/" + e->d_name));
    }
    closedir(d);
  }
  return out;
}

TEST_F(T38BackToBack, BadDatagramsNeverStopTheGoodOnesBehindThem) {
  ASSERT_TRUE(udp_socket(1));
  u16 peer_port = 0;
  int peer = testing::udp_peer(&peer_port);
  ASSERT_GE(peer, 0);
  ASSERT_EQ(configure({testing::udp_entry(1, peer_port, 0)}), kOk);
  std::vector<bytes> bad = corpus("t38_udptl");
  for (const bytes& b : corpus("t38_ifp")) bad.push_back(b);
  ASSERT_GE(bad.size(), 4u);
  std::mt19937 rng(38);
  for (int i = 0; i < 100; ++i) {
    bytes junk(1 + rng() % 80);
    for (auto& x : junk) x = static_cast<uint8_t>(rng());
    bad.push_back(junk);
  }
  // A good packet behind every bad datagram; sequence numbers far above
  // anything the junk could claim once extended.
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(port(1));
  uint16_t seq = 0;
  const bytes good = ifp(T38_IND__CED);
  size_t good_sent = 0;
  for (const bytes& b : bad) {
    sendto(peer, b.data(), b.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    const bytes g = udptl(seq++, good);
    sendto(peer, g.data(), g.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    ++good_sent;
    if (good_sent % 16 == 0) pump_until([] { return false; }, 5);
  }
  const bytes last = udptl(seq, ifp(T38_IND__CNG));
  sendto(peer, last.data(), last.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  ASSERT_TRUE(pump_until([&] { return !iaf.got[1].empty() && iaf.got[1].back().type_byte == T38_IND__CNG; }));
  // Junk that decodes may move the sequence on; the 16 bits stay.
  EXPECT_EQ(iaf.got[1].back().ext_seq & 0xFFFF, seq);
  t38_session& s = *t38__find_session(1);
  EXPECT_GT(s.ifp.cnt.decode_errors, 0u);
  EXPECT_EQ(s.pools.ifp_packets().in_use, s.ifp.rx_count);
  EXPECT_EQ(s.pools.data_fields().in_use, 0);
  close(peer);
}

TEST_F(T38BackToBack, BadStreamsNeverStopTheGoodFramesBehindThem) {
  ASSERT_TRUE(tcp_socket(1, false));
  u16 lport = 0;
  int listener = testing::tcp_listener(&lport);
  ASSERT_GE(listener, 0);
  ASSERT_EQ(configure({testing::tcp_entry(1, lport)}), kOk);
  sock_addr a;
  a.addr_net = htonl(INADDR_LOOPBACK);
  a.port = lport;
  bytes block(SOCK_ADDR_BLOCK_SIZE);
  sock_addr_pack(a, block.data());
  to_ip(SOCK_EST_RQ, 1, block);
  ASSERT_TRUE(wait_user(SOCK_EST_CO));
  ASSERT_TRUE(testing::readable(listener, 5000));
  int peer = accept(listener, nullptr, nullptr);
  ASSERT_GE(peer, 0);
  auto frame = [](const bytes& p) {
    bytes f = {3, 0, static_cast<uint8_t>((p.size() + 4) >> 8), static_cast<uint8_t>(p.size() + 4)};
    f.insert(f.end(), p.begin(), p.end());
    return f;
  };
  std::vector<bytes> bad = corpus("t38_tpkt");
  bad.push_back({0xFF, 0xFF, 0xFF, 0xFF, 0x00});
  bad.push_back({3, 0, 0, 1});
  bad.push_back(frame({0xFF, 0xEE}));
  ASSERT_GE(bad.size(), 4u);
  uint8_t marker = 0;
  for (const bytes& b : bad) {
    ASSERT_EQ(::send(peer, b.data(), b.size(), 0), static_cast<ssize_t>(b.size()));
    // Good frames until one comes through: a bad header may announce a
    // long frame that swallows what follows until it is complete.
    ++marker;
    const bytes g = frame(ifp(D | T38_DATA__V21, {{T38_FIELD__HDLC_DATA, {marker}}}));
    bool through = false;
    for (int i = 0; i < 2000 && !through; ++i) {
      ASSERT_EQ(::send(peer, g.data(), g.size(), 0), static_cast<ssize_t>(g.size()));
      through = pump_until(
          [&] {
            return !iaf.got[1].empty() && iaf.got[1].back().fields.size() == 1 &&
                   iaf.got[1].back().fields[0].data == bytes{marker};
          },
          i < 10 ? 20 : 1);
    }
    EXPECT_TRUE(through) << "after bad stream " << int(marker);
  }
  t38_session& s = *t38__find_session(1);
  EXPECT_EQ(s.pools.ifp_packets().in_use, 0);
  close(peer);
  close(listener);
}

}  // namespace
}  // namespace kv::t38
