// A live T.38 session against independent peers over loopback: spandsp's
// T.38 core on the far side of a UDP socket and of a TCP connection reads
// the IFP packets the session sends and sends packets the session reads;
// tshark decodes a capture of the session's datagrams without malformed
// marks.  The peers' UDPTL and TPKT framing is written here from the
// recommendations, not with the codecs under test.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "runtime/sock.h"
#include "t38/support/t38_loopback.h"
#include "t38/t38_entity.h"

#if defined(KV_HAVE_SPANDSP)
#include <spandsp.h>
#endif

namespace kv::t38 {
namespace {

using testing::field_def;
using testing::T38LoopbackTest;
using bytes = std::vector<uint8_t>;

const bytes kOk = {2, 2, 'J'};
constexpr uint8_t D = T38_IFP__DATA_BIT;

// A DIS frame in the fax engine's bit order and page data.
const bytes kDis{0xFF, 0x13, 0x80, 0x00, 0xEE, 0xF8};
const bytes kPage{0x00, 0x08, 0x80, 0x56, 0x11, 0x22};

struct packet {
  uint8_t type_byte;
  std::vector<field_def> fields;
};
const std::vector<packet> kOurs = {
    {T38_IND__CNG, {}},
    {T38_IND__V21_PREAMBLE, {}},
    {D | T38_DATA__V21, {{T38_FIELD__HDLC_DATA, kDis}, {T38_FIELD__HDLC_FCS_OK_SIG_END, {}}}},
    {T38_IND__V17_14400_LONG_TRAINING, {}},
    {D | T38_DATA__V17_14400, {{T38_FIELD__T4_NON_ECM_DATA, kPage}}},
    {D | T38_DATA__V17_14400, {{T38_FIELD__T4_NON_ECM_SIG_END, kPage}}},
    {T38_IND__NO_SIGNAL, {}},
};

bytes reversed(const bytes& in) {
  bytes out;
  for (uint8_t b : in) out.push_back(t38_ifp__reverse_bits(b));
  return out;
}

// Minimal UDPTL of the peers (lengths below 128): seq-number, primary open
// type, redundancy alternative with its secondaries.
bytes peer_udptl(uint16_t seq, const bytes& primary, const std::vector<bytes>& secondaries) {
  bytes d = {static_cast<uint8_t>(seq >> 8), static_cast<uint8_t>(seq), static_cast<uint8_t>(primary.size())};
  d.insert(d.end(), primary.begin(), primary.end());
  d.push_back(0x00);  // CHOICE index 0, padded to the octet
  d.push_back(static_cast<uint8_t>(secondaries.size()));
  for (const bytes& s : secondaries) {
    d.push_back(static_cast<uint8_t>(s.size()));
    d.insert(d.end(), s.begin(), s.end());
  }
  return d;
}

// An open type at `at` (lengths below 16384); false when it runs short.
bool peer_open_type(const bytes& d, size_t& at, bytes* out) {
  if (at >= d.size()) return false;
  size_t len = d[at++];
  if (len & 0x80) {
    if (at >= d.size()) return false;
    len = ((len & 0x3F) << 8) | d[at++];
  }
  if (at + len > d.size()) return false;
  out->assign(d.begin() + static_cast<long>(at), d.begin() + static_cast<long>(at + len));
  at += len;
  return true;
}

// Sequence number, primary and secondaries (newest first) of a datagram.
bool peer_parse(const bytes& d, uint16_t* seq, bytes* primary, std::vector<bytes>* secondaries) {
  if (d.size() < 3) return false;
  *seq = static_cast<uint16_t>((d[0] << 8) | d[1]);
  size_t at = 2;
  if (!peer_open_type(d, at, primary) || at + 2 > d.size() || d[at] != 0x00) return false;
  const size_t count = d[at + 1];
  at += 2;
  secondaries->assign(count, bytes{});
  for (size_t i = 0; i < count; ++i) {
    if (!peer_open_type(d, at, &(*secondaries)[i])) return false;
  }
  return at == d.size();
}

bytes tpkt(const bytes& ifp) {
  bytes f = {3, 0, static_cast<uint8_t>((ifp.size() + 4) >> 8), static_cast<uint8_t>(ifp.size() + 4)};
  f.insert(f.end(), ifp.begin(), ifp.end());
  return f;
}

void send_ours(t38_session& s) {
  for (const packet& p : kOurs) {
    t38_data_field* f = p.fields.empty() ? nullptr : testing::make_fields(s.pools, p.fields);
    ASSERT_EQ(t38_ifp__send(T38_IFP__MODE_SEND, p.type_byte, f, s), 2);
  }
}

class T38SessionInterop : public T38LoopbackTest {
 protected:
  // Every datagram that reaches the peer socket, within a bounded wait.
  std::vector<bytes> receive_datagrams(int fd, size_t n) {
    std::vector<bytes> out;
    for (int guard = 0; guard < 200 && out.size() < n; ++guard) {
      pump_until([] { return false; }, 2);
      while (testing::readable(fd, 5)) {
        uint8_t buf[2048];
        ssize_t k = recv(fd, buf, sizeof buf, 0);
        if (k <= 0) break;
        out.emplace_back(buf, buf + k);
      }
    }
    return out;
  }
  void connect_tcp(nai_t nai, u16 port) {
    sock_addr a;
    a.addr_net = htonl(INADDR_LOOPBACK);
    a.port = port;
    bytes block(SOCK_ADDR_BLOCK_SIZE);
    sock_addr_pack(a, block.data());
    to_ip(SOCK_EST_RQ, nai, block);
    ASSERT_TRUE(wait_user(SOCK_EST_CO));
  }
};

#if defined(KV_HAVE_SPANDSP)

struct peer_event {
  bool indicator;
  int value;
  int field_type;
  bytes data;
  bool operator==(const peer_event&) const = default;
};

class spandsp_peer {
 public:
  spandsp_peer() {
    core_ = t38_core_init(nullptr, &on_indicator, &on_data, &on_missing, this, &on_tx, this);
    t38_set_t38_version(core_, 0);
  }
  ~spandsp_peer() { t38_core_free(core_); }
  t38_core_state_t* core() { return core_; }
  void rx(const bytes& ifp, uint16_t seq) {
    t38_core_rx_ifp_packet(core_, ifp.data(), static_cast<int>(ifp.size()), seq);
  }
  std::vector<bytes> sent;
  std::vector<peer_event> received;
  int missing = 0;

 private:
  static int on_tx(t38_core_state_t*, void* u, const uint8_t* b, int len, int) {
    static_cast<spandsp_peer*>(u)->sent.emplace_back(b, b + len);
    return 0;
  }
  static int on_indicator(t38_core_state_t*, void* u, int ind) {
    static_cast<spandsp_peer*>(u)->received.push_back({true, ind, 0, {}});
    return 0;
  }
  static int on_data(t38_core_state_t*, void* u, int type, int field, const uint8_t* b, int len) {
    bytes d;
    if (b != nullptr && len > 0) d.assign(b, b + len);
    static_cast<spandsp_peer*>(u)->received.push_back({false, type, field, d});
    return 0;
  }
  static int on_missing(t38_core_state_t*, void* u, int, int) {
    ++static_cast<spandsp_peer*>(u)->missing;
    return 0;
  }
  t38_core_state_t* core_ = nullptr;
};

// What spandsp reports for our packets: indicators, and each field with
// its data in wire bit order.
std::vector<peer_event> expected_events() {
  std::vector<peer_event> out;
  for (const packet& p : kOurs) {
    if (!(p.type_byte & D)) {
      out.push_back({true, p.type_byte, 0, {}});
      continue;
    }
    for (const field_def& f : p.fields) out.push_back({false, p.type_byte & 0x7F, f.type, reversed(f.data)});
  }
  return out;
}

// spandsp sends a V.21 frame and page data; what the session must deliver.
std::vector<packet> spandsp_sends(spandsp_peer& peer) {
  t38_core_send_indicator(peer.core(), T38_IND_CED);
  t38_core_send_indicator(peer.core(), T38_IND_V21_PREAMBLE);
  const bytes dis_wire = reversed(kDis);
  t38_data_field_t fields[2] = {{T38_FIELD_HDLC_DATA, dis_wire.data(), static_cast<int>(dis_wire.size())},
                                {T38_FIELD_HDLC_FCS_OK_SIG_END, nullptr, 0}};
  t38_core_send_data_multi_field(peer.core(), T38_DATA_V21, fields, 2, T38_PACKET_CATEGORY_CONTROL_DATA_END);
  const bytes page_wire = reversed(kPage);
  t38_core_send_data(peer.core(), T38_DATA_V29_9600, T38_FIELD_T4_NON_ECM_DATA, page_wire.data(),
                     static_cast<int>(page_wire.size()), T38_PACKET_CATEGORY_IMAGE_DATA);
  return {{T38_IND__CED, {}},
          {T38_IND__V21_PREAMBLE, {}},
          {D | T38_DATA__V21, {{T38_FIELD__HDLC_DATA, kDis}, {T38_FIELD__HDLC_FCS_OK_SIG_END, {}}}},
          {D | T38_DATA__V29_9600, {{T38_FIELD__T4_NON_ECM_DATA, kPage}}}};
}

void expect_delivered(const std::vector<testing::delivered>& got, const std::vector<packet>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(got[i].type_byte, want[i].type_byte) << i;
    EXPECT_EQ(got[i].fields, want[i].fields) << i;
  }
}

TEST_F(T38SessionInterop, SpandspOverUdpWithAndWithoutLoss) {
  for (bool lossy : {false, true}) {
    SCOPED_TRACE(lossy ? "every third datagram lost each way" : "no loss");
    TearDown();
    SetUp();
    ASSERT_TRUE(udp_socket(1));
    u16 peer_port = 0;
    int fd = testing::udp_peer(&peer_port);
    ASSERT_GE(fd, 0);
    t38_session_entry e = testing::udp_entry(1, peer_port, 2);
    if (lossy) {
      e.sim.nb_of_pck_lost = 1;  // the session loses every third datagram it receives
      e.sim.freq_pck_lost = 3;
    }
    ASSERT_EQ(configure({e}), kOk);
    send_ours(*t38__find_session(1));
    std::vector<bytes> dgrams = receive_datagrams(fd, kOurs.size());
    ASSERT_EQ(dgrams.size(), kOurs.size());
    // The peer loses every third datagram too and takes the missing
    // packets from the secondaries of the next one.
    spandsp_peer peer;
    uint16_t next = 0;
    for (size_t i = 0; i < dgrams.size(); ++i) {
      if (lossy && i % 3 == 2) continue;
      uint16_t seq = 0;
      bytes primary;
      std::vector<bytes> secondaries;
      ASSERT_TRUE(peer_parse(dgrams[i], &seq, &primary, &secondaries));
      for (size_t k = secondaries.size(); k > 0; --k) {
        const uint16_t sseq = static_cast<uint16_t>(seq - k);
        if (sseq >= next && sseq < seq) peer.rx(secondaries[k - 1], sseq);
      }
      peer.rx(primary, seq);
      next = static_cast<uint16_t>(seq + 1);
    }
    EXPECT_EQ(peer.received, expected_events());
    EXPECT_EQ(peer.missing, 0);

    const std::vector<packet> want = spandsp_sends(peer);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port(1));
    for (size_t i = 0; i < peer.sent.size(); ++i) {
      std::vector<bytes> sec;
      for (size_t k = 1; k <= 2 && k <= i; ++k) sec.push_back(peer.sent[i - k]);
      const bytes d = peer_udptl(static_cast<uint16_t>(i), peer.sent[i], sec);
      sendto(fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
    ASSERT_TRUE(pump_until([&] { return iaf.got[1].size() >= want.size(); }, 3000));
    expect_delivered(iaf.got[1], want);
    const t38_session& s = *t38__find_session(1);
    EXPECT_EQ(s.ifp.cnt.lost, 0u);
    if (lossy) {
      EXPECT_GT(s.ifp.cnt.retrieved, 0u);
    }
    close(fd);
  }
}

TEST_F(T38SessionInterop, SpandspOverTcp) {
  ASSERT_TRUE(tcp_socket(2, false));
  u16 lport = 0;
  int listener = testing::tcp_listener(&lport);
  ASSERT_GE(listener, 0);
  ASSERT_EQ(configure({testing::tcp_entry(2, lport)}), kOk);
  connect_tcp(2, lport);
  ASSERT_TRUE(testing::readable(listener, 5000));
  int fd = accept(listener, nullptr, nullptr);
  ASSERT_GE(fd, 0);
  send_ours(*t38__find_session(2));
  // The peer reads the stream and cuts it into frames itself.
  bytes stream;
  spandsp_peer peer;
  uint16_t seq = 0;
  for (int guard = 0; guard < 200 && peer.received.size() < expected_events().size(); ++guard) {
    pump_until([] { return false; }, 2);
    while (testing::readable(fd, 5)) {
      uint8_t buf[2048];
      ssize_t k = recv(fd, buf, sizeof buf, 0);
      if (k <= 0) break;
      stream.insert(stream.end(), buf, buf + k);
    }
    while (stream.size() >= 4) {
      ASSERT_EQ(stream[0], 3);
      const size_t len = (stream[2] << 8) | stream[3];
      ASSERT_GE(len, 4u);
      if (stream.size() < len) break;
      peer.rx(bytes(stream.begin() + 4, stream.begin() + static_cast<long>(len)), seq++);
      stream.erase(stream.begin(), stream.begin() + static_cast<long>(len));
    }
  }
  EXPECT_EQ(peer.received, expected_events());

  const std::vector<packet> want = spandsp_sends(peer);
  // All frames in one write, so that the session reassembles joined frames.
  bytes out;
  for (const bytes& p : peer.sent) {
    const bytes f = tpkt(p);
    out.insert(out.end(), f.begin(), f.end());
  }
  ASSERT_EQ(::send(fd, out.data(), out.size(), 0), static_cast<ssize_t>(out.size()));
  ASSERT_TRUE(pump_until([&] { return iaf.got[2].size() >= want.size(); }, 3000));
  expect_delivered(iaf.got[2], want);
  close(fd);
  close(listener);
}

#else

TEST(T38SessionInteropSpandsp, Skipped) { GTEST_SKIP() << "spandsp is not installed"; }

#endif

// ---------------------------------------------------------------------------
// tshark reads a capture of the session's datagrams.

void put16be(bytes& b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v >> 8));
  b.push_back(static_cast<uint8_t>(v));
}
void put32le(std::ofstream& f, uint32_t v) {
  const char c[4] = {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
  f.write(c, 4);
}

// A classic pcap file, raw IPv4 link type, one loopback UDP packet each.
void write_pcap(const std::string& path, const std::vector<bytes>& datagrams, uint16_t port) {
  std::ofstream f(path, std::ios::binary);
  put32le(f, 0xA1B2C3D4);
  put32le(f, 0x00040002);
  put32le(f, 0);
  put32le(f, 0);
  put32le(f, 65535);
  put32le(f, 228);
  uint32_t t = 1000;
  for (const bytes& d : datagrams) {
    bytes ip = {0x45, 0};
    put16be(ip, static_cast<uint16_t>(28 + d.size()));
    put16be(ip, 0);
    put16be(ip, 0x4000);
    ip.push_back(64);
    ip.push_back(17);
    put16be(ip, 0);
    for (int i = 0; i < 2; ++i) ip.insert(ip.end(), {127, 0, 0, 1});
    uint32_t sum = 0;
    for (size_t i = 0; i < 20; i += 2) sum += (uint32_t{ip[i]} << 8) | ip[i + 1];
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    ip[10] = static_cast<uint8_t>(~sum >> 8);
    ip[11] = static_cast<uint8_t>(~sum);
    put16be(ip, port);
    put16be(ip, port);
    put16be(ip, static_cast<uint16_t>(8 + d.size()));
    put16be(ip, 0);
    ip.insert(ip.end(), d.begin(), d.end());
    put32le(f, t++);
    put32le(f, 0);
    put32le(f, static_cast<uint32_t>(ip.size()));
    put32le(f, static_cast<uint32_t>(ip.size()));
    f.write(reinterpret_cast<const char*>(ip.data()), static_cast<std::streamsize>(ip.size()));
  }
}

TEST_F(T38SessionInterop, TsharkDecodesTheSessionsDatagrams) {
  if (std::system("command -v tshark >/dev/null 2>&1") != 0) GTEST_SKIP() << "tshark is not installed";
  ASSERT_TRUE(udp_socket(1));
  u16 peer_port = 0;
  int fd = testing::udp_peer(&peer_port);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(configure({testing::udp_entry(1, peer_port, 3)}), kOk);
  send_ours(*t38__find_session(1));
  ASSERT_EQ(t38_ifp__send(T38_IFP__MODE_IDLE, 0, nullptr, *t38__find_session(1)), 2);
  std::vector<bytes> dgrams = receive_datagrams(fd, kOurs.size() + 1);
  close(fd);
  ASSERT_EQ(dgrams.size(), kOurs.size() + 1);
  const std::string path = ::testing::TempDir() + "kv_t38_session_" + std::to_string(getpid()) + ".pcap";
  write_pcap(path, dgrams, 45038);
  const std::string cmd =
      "tshark -r " + path +
      " -d udp.port==45038,t38 -T fields -E separator='|' -E occurrence=a -E aggregator=';'"
      " -e t38.seq_number -e t38.secondary_ifp_packets -e t38.malformed -e _ws.malformed 2>/dev/null";
  std::vector<std::string> rows;
  if (FILE* p = popen(cmd.c_str(), "r")) {
    char line[4096];
    for (int guard = 0; guard < 100 && std::fgets(line, sizeof line, p) != nullptr; ++guard) rows.emplace_back(line);
    pclose(p);
  }
  if (std::getenv("KV_KEEP_PCAP") == nullptr) std::remove(path.c_str());
  ASSERT_EQ(rows.size(), dgrams.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    const size_t seq = i < kOurs.size() ? i : kOurs.size() - 1;  // the idle resend repeats the last
    const std::string secondaries = std::to_string(std::min<size_t>(seq, 3));
    EXPECT_EQ(rows[i], std::to_string(seq) + "|" + secondaries + "||\n") << "datagram " << i;
  }
}

}  // namespace
}  // namespace kv::t38
