// INVITEs with offers we cannot read or cannot use, or larger than we
// take, sent from a raw UDP socket to the whole of tessaly (a controller
// registered, ready to receive and taking every call): each gets its final
// answer, a request that cannot be read never rings the controller, and a
// good call afterwards still rings.
#include "host/support/sip_road.h"

#if defined(KV_HAVE_SPANDSP) && defined(KV_HAVE_LIBTIFF)

#include <chrono>
#include <string>
#include <vector>

#include "common/status_words.h"
#include "host/support/milestone_fixture.h"
#include "sip/support/loopback_udp.h"

namespace sip_road {
namespace {

using clock_type = std::chrono::steady_clock;

// A free loopback UDP port (taken and given back at once).
uint16_t free_port() {
  ssc_test::udp probe;
  return probe.port;
}

std::string invite_to(uint16_t to, uint16_t from, int n, const std::string& sdp,
                      const std::string& content_type = "application/sdp") {
  const std::string tag = std::to_string(n);
  std::string m = "INVITE sip:0000001@127.0.0.1:" + std::to_string(to) +
                  " SIP/2.0\r\n"
                  "Via: SIP/2.0/UDP 127.0.0.1:" +
                  std::to_string(from) + ";branch=z9hG4bKhostile" + tag +
                  "\r\n"
                  "From: <sip:peer@127.0.0.1>;tag=h" +
                  tag +
                  "\r\n"
                  "To: <sip:0000001@127.0.0.1>\r\n"
                  "Call-ID: hostile" +
                  tag +
                  "@127.0.0.1\r\n"
                  "CSeq: 1 INVITE\r\n"
                  "Contact: <sip:peer@127.0.0.1:" +
                  std::to_string(from) +
                  ">\r\n"
                  "Max-Forwards: 70\r\n";
  if (!sdp.empty()) m += "Content-Type: " + content_type + "\r\n";
  m += "Content-Length: " + std::to_string(sdp.size()) + "\r\n\r\n" + sdp;
  return m;
}

void replace_text_in(std::string& text, const std::string& from, const std::string& to) {
  const std::size_t at = text.find(from);
  ASSERT_NE(at, std::string::npos) << from;
  text.replace(at, from.size(), to);
}

// A request of the INVITE with `lines` header lines added before
// Max-Forwards.
std::string with_lines(std::string text, const std::string& lines) {
  const std::size_t at = text.find("Max-Forwards:");
  if (at != std::string::npos) text.insert(at, lines);
  return text;
}

// `n` Via lines of relays the request came through, below the sender's.
std::string relay_vias(int n) {
  std::string v;
  for (int i = 0; i < n; ++i) {
    const std::string k = std::to_string(i);
    v += "Via: SIP/2.0/UDP relay";
    v += k;
    v += ".example.com:5060;branch=z9hG4bKrelay";
    v += k;
    v += "\r\n";
  }
  return v;
}

std::string offer(const std::string& media_line, const std::string& connection, const std::string& extra = "") {
  return "v=0\r\no=peer 1 1 IN IP4 127.0.0.1\r\ns=-\r\n" + connection + "t=0 0\r\n" + media_line +
         "a=T38FaxVersion:0\r\na=T38FaxRateManagement:transferredTCF\r\na=T38FaxUdpEC:t38UDPRedundancy\r\n" + extra;
}

// A request in the call the answer `response` belongs to: the INVITE's Via
// (a new branch for a BYE), From and Call-ID, and the To of the answer.
std::string in_call(const char* method, int cseq, const std::string& response, uint16_t to) {
  auto line = [&](const char* name) {
    const std::size_t at = response.find(std::string("\r\n") + name);
    if (at == std::string::npos) return std::string();
    const std::size_t end = response.find("\r\n", at + 2);
    return response.substr(at + 2, end - at - 2) + "\r\n";
  };
  std::string via = line("Via:");
  if (std::string(method) == "BYE") via.insert(via.find("branch=") + 7, "bye");
  return std::string(method) + " sip:0000001@127.0.0.1:" + std::to_string(to) + " SIP/2.0\r\n" + via + line("From:") +
         line("To:") + line("Call-ID:") + "CSeq: " + std::to_string(cseq) + " " + method +
         "\r\nMax-Forwards: 70\r\nContent-Length: 0\r\n\r\n";
}

TEST_F(SipRoadTest, EveryInviteGetsItsFinalAnswer) {
  const uint16_t sip = free_port(), gateway = free_port(), media = free_port();
  ASSERT_NE(sip, 0);
  MakeArea(sip, gateway, media);
  StartTessaly(true);
  if (HasFatalFailure()) return;

  const std::string c = "c=IN IP4 127.0.0.1\r\n";
  const std::string good = "m=image 10000 udptl t38\r\n";
  // The controller takes every call it hears of.  An offer that cannot be
  // read is answered 400 at once; one whose media we cannot use is answered
  // 415 "No compatible T.38 capabilites" when the call is taken; an
  // unspecified connection address is a call on hold, taken (200) and left
  // waiting for a re-INVITE; a T.38 version or error correction we do not
  // know is answered with our own; audio alone is taken, for a re-INVITE to
  // T.38 later.  Sizes: a body longer than the session side can carry is
  // answered 413, a datagram longer than the SIP receive size (4,500 bytes)
  // 513 from the header lines that came whole; a long request within the
  // receive size is read.
  std::string formats;
  for (int i = 0; i < 500; ++i) {
    formats += ' ';
    formats += std::to_string(i);
  }
  struct Case {
    const char* name;
    std::string sdp;
    int answer;              // the status code of the final answer
    bool rings;              // the controller hears of the call
    std::string lines = {};  // header lines added
  };
  const Case cases[] = {
      {"port -1", offer("m=image -1 udptl t38\r\n", c), 415, true},
      {"port 70000", offer("m=image 70000 udptl t38\r\n", c), 400, false},
      {"c=0.0.0.0", offer(good, "c=IN IP4 0.0.0.0\r\n"), 200, true},
      {"T38FaxVersion 255", offer(good, c, "a=T38FaxVersion:255\r\n"), 200, true},
      {"unknown error correction", offer(good, c, "a=T38FaxUdpEC:t38UDPMagic\r\n"), 200, true},
      {"T.38 over TCP", offer("m=image 10000 tcp t38\r\n", c), 415, true},
      {"T.38 on port 0", offer("m=image 0 udptl t38\r\n", c), 415, true},
      {"no connection line", offer(good, "", "a=T38FaxVersion:255\r\n"), 400, false},
      {"audio only", offer("m=audio 10000 RTP/AVP 0\r\n", c), 200, true},
      {"500 payload formats", offer("m=audio 10000 RTP/AVP" + formats + "\r\n" + good, c), 413, false},
      {"a 30,000-character attribute", offer(good, c, "a=X-long:" + std::string(30000, 'x') + "\r\n"), 513, false},
      {"header lines past the receive size", offer(good, c), 513, false, relay_vias(70)},
      {"a 60,000-byte datagram", offer(good, c, "a=X-pad:" + std::string(60000, 'p') + "\r\n"), 513, false},
      {"a long request within the receive size", offer(good, c), 200, true, relay_vias(30)},
  };
  int n = 0;
  for (const Case& k : cases) {
    ssc_test::udp peer;
    ASSERT_NE(peer.port, 0);
    const std::string text = with_lines(invite_to(sip, peer.port, ++n, k.sdp), k.lines);
    ASSERT_TRUE(peer.send_to(sip, text)) << k.name << ": " << text.size() << " bytes";
    // The controller takes every call it hears of.
    const std::optional<tessaly_test::Reply> rang = NextOf({}, 1500);
    if (rang && rang->type == TESSALY_RING_IN) (void)controller_->Receive(1);
    const std::string r = peer.final_response(8000);
    const std::string first = r.substr(0, r.find("\r\n"));
    EXPECT_EQ(first.substr(0, 11), "SIP/2.0 " + std::to_string(k.answer)) << k.name << ": " << first;
    if (!r.empty()) (void)peer.send_to(sip, in_call("ACK", 1, r, sip));
    if (r.rfind("SIP/2.0 2", 0) == 0) {
      // A call that was taken is ended, leaving the device free.
      (void)peer.send_to(sip, in_call("BYE", 2, r, sip));
      (void)peer.final_response(3000);
      const std::optional<tessaly_test::Reply> end = NextOf({FAX_STATUS_FAX_RECEIVED, FAX_STATUS_FAX_NOT_RECEIVED,
                                                             FAX_STATUS_SESSION_LOST, FOIP_STATUS_FAX_NOT_CONNECTED},
                                                            8000);
      EXPECT_TRUE(end.has_value()) << k.name << ": the controller hears the end of the call";
    }
    // A request that cannot be read never reaches the controller.
    EXPECT_EQ(rang.has_value() && rang->type == TESSALY_RING_IN, k.rings) << k.name;
  }

  // A good offer afterwards rings the controller.
  ssc_test::udp peer;
  ASSERT_TRUE(peer.send_to(sip, invite_to(sip, peer.port, ++n, offer(good, c))));
  const std::optional<tessaly_test::Reply> ring = NextOf({}, 10000);
  EXPECT_TRUE(ring && ring->type == TESSALY_RING_IN) << "a good call after the hostile ones";
  EXPECT_TRUE(StopTessaly());
}

// Datagrams of 60,000 bytes as fast as a peer can send them: each one the
// socket takes is answered 513, none takes more of the pools than a
// datagram of the receive size, and a good call afterwards is answered.
TEST_F(SipRoadTest, AFloodOfHugeDatagramsLeavesRoomForTheNextCall) {
  const uint16_t sip = free_port(), gateway = free_port(), media = free_port();
  ASSERT_NE(sip, 0);
  MakeArea(sip, gateway, media);
  StartTessaly(true);
  if (HasFatalFailure()) return;
  const std::string c = "c=IN IP4 127.0.0.1\r\n", good = "m=image 10000 udptl t38\r\n";
  ssc_test::udp flood;
  const std::string huge = offer(good, c, "a=X-pad:" + std::string(60000, 'p') + "\r\n");
  for (int i = 0; i < 300; ++i) (void)flood.send_to(sip, invite_to(sip, flood.port, 1000 + i, huge));
  int too_large = 0;
  for (std::string r = flood.receive(3000); !r.empty(); r = flood.receive(1000))
    if (r.rfind("SIP/2.0 513 Message Too Large\r\n", 0) == 0) ++too_large;
  EXPECT_GT(too_large, 0) << "no datagram of the flood was answered";

  ssc_test::udp peer;
  ASSERT_TRUE(peer.send_to(sip, invite_to(sip, peer.port, 1, offer(good, c))));
  const std::optional<tessaly_test::Reply> ring = NextOf({}, 10000);
  ASSERT_TRUE(ring && ring->type == TESSALY_RING_IN) << "a good call after the flood";
  (void)controller_->Receive(1);
  const std::string r = peer.final_response(8000);
  EXPECT_EQ(r.rfind("SIP/2.0 200", 0), 0u) << r.substr(0, r.find("\r\n"));
  if (!r.empty()) {
    (void)peer.send_to(sip, in_call("ACK", 1, r, sip));
    (void)peer.send_to(sip, in_call("BYE", 2, r, sip));
    (void)peer.final_response(3000);
  }
  EXPECT_TRUE(StopTessaly());
}

// A call from an address other than the configured gateway is taken like
// any other (a trunk may send from several addresses), but nothing in it
// changes the settings or the gateway: the next send still goes to the
// configured gateway (sipp there answers 486), and SETUP.INI and the
// configuration files are as they were.
TEST_F(SipRoadTest, ACallFromAStrangerLeavesTheGatewayAlone) {
  const uint16_t sip = free_port(), gateway = free_port(), media = free_port();
  ASSERT_NE(sip, 0);
  MakeArea(sip, gateway, media);
  WriteFaxTiff(PagesFile(), milestone::three_pages(5));
  const std::vector<std::string> files = {"K-DB/SETUP.INI", "KORVANE.INI", "Tessaly/glb.cfg", "Tessaly/session01.cfg",
                                          "Tessaly/session02.cfg"};
  StartTessaly(true);
  if (HasFatalFailure()) return;
  std::vector<std::string> before;
  for (const std::string& f : files) before.push_back(kvtest::ReadFile(area_.File(f)));

  // The stranger names itself everywhere a gateway could be taken from.
  ssc_test::udp stranger;
  std::string text = invite_to(sip, stranger.port, 1, offer("m=image 10000 udptl t38\r\n", "c=IN IP4 127.0.0.1\r\n"));
  replace_text_in(text, "Max-Forwards: 70\r\n",
                  "Max-Forwards: 70\r\nRecord-Route: <sip:127.0.0.1:" + std::to_string(stranger.port) +
                      ";lr>\r\nReply-To: <sip:gw@127.0.0.1:" + std::to_string(stranger.port) + ">\r\n");
  ASSERT_TRUE(stranger.send_to(sip, text));
  std::optional<tessaly_test::Reply> r = NextOf({}, 5000);
  ASSERT_TRUE(r && r->type == TESSALY_RING_IN) << "the stranger's call rings";
  ASSERT_TRUE(RequestDone(controller_->Receive(1)));
  const std::string ok = stranger.final_response(8000);
  ASSERT_EQ(ok.rfind("SIP/2.0 200", 0), 0u) << ok;
  (void)stranger.send_to(sip, in_call("ACK", 1, ok, sip));
  (void)stranger.send_to(sip, in_call("BYE", 2, ok, sip));
  (void)stranger.final_response(3000);
  r = NextOf({FAX_STATUS_FAX_RECEIVED, FAX_STATUS_FAX_NOT_RECEIVED, FAX_STATUS_SESSION_LOST}, 10000);
  ASSERT_TRUE(r.has_value()) << "the stranger's call ends";

  // The next send goes to the configured gateway.
  sipp_process sipp(peer_dir_.path(), Scenario("uas-busy.xml"), gateway, 0, {});
  ASSERT_TRUE(RequestDone(controller_->Send("0612345678")));
  r = NextOf({FAX_STATUS_FAX_SENT, FOIP_STATUS_FAX_NOT_SENT, FOIP_STATUS_FAX_NOT_CONNECTED, FAX_STATUS_SESSION_LOST},
             20000);
  ASSERT_TRUE(r.has_value()) << "no final status of the send";
  EXPECT_EQ(r->status.kind, FOIP_STATUS_FAX_NOT_CONNECTED);
  EXPECT_EQ(r->status.value, STATUS_FAX_ENGAGED) << "the send reached the configured gateway";
  EXPECT_EQ(sipp.wait(20000), 0) << sipp.errors() << sipp.messages();
  const std::string stray = stranger.receive(0);
  EXPECT_EQ(stray.find("INVITE"), std::string::npos) << "the send went to the stranger: " << stray;
  EXPECT_TRUE(StopTessaly());
  for (std::size_t i = 0; i < files.size(); ++i)
    EXPECT_EQ(kvtest::ReadFile(area_.File(files[i])), before[i]) << files[i] << " changed";
}

}  // namespace
}  // namespace sip_road

#endif
