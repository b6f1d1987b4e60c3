#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "sip/text/sdp.h"
#include "sip/text/support/sdp_support.h"

namespace {

const uint8_t addr_192_0_2_1[4] = {192, 0, 2, 1};
sip_str cs(const char* s) { return sip_str{static_cast<uint16_t>(std::strlen(s)), s}; }
sip_str quad() { return sip_str{4, reinterpret_cast<const char*>(addr_192_0_2_1)}; }

// The T.38 offer record a sending session builds.
void make_t38_offer(sdp_store& s) {
  s.desc.origin_present = 1;
  s.origin.user = cs("-");
  s.origin.session_id = cs("1");
  s.origin.version = cs("1");
  s.origin.nettype = SDP_NET_IN;
  s.origin.addr = quad();
  s.session.conn.nettype = SDP_NET_IN;
  s.session.conn.addr = quad();
  s.session.start_time = cs("0");
  s.session.stop_time = cs("0");
  s.desc.image_count = 1;
  sdp_media_image& m = s.image[0];
  m = sdp_media_image{};
  m.port = 600;
  m.transport = SDP_TRANSPORT_UDPTL;
  m.t38_version = 0;
  m.t38_max_bit_rate = 14400;
  m.t38_rate_management = SDP_RATEMGMT_TRANSFERRED_TCF;
  m.t38_max_buffer = 200;
  m.t38_max_datagram = 72;
  m.t38_udp_ec = SDP_UDPEC_REDUNDANCY;
  sdp_fill_texts(s.desc);
  m.format_text = "T38";
}

const char* const t38_offer_text =
    "\r\nv=0\r\n"
    "o=- 1 1 IN IP4 192.0.2.1\r\n"
    "c=IN IP4 192.0.2.1\r\n"
    "t=0 0\r\n"
    "m=image 600 udptl T38\r\n"
    "a=T38FaxVersion:0\r\n"
    "a=T38MaxBitRate:14400\r\n"
    "a=T38FaxRateManagement:transferredTCF\r\n"
    "a=T38FaxMaxBuffer:200\r\n"
    "a=T38FaxMaxDatagram:72\r\n"
    "a=T38FaxUdpEC:t38UDPRedundancy\r\n";

std::string encode_all(const sdp_desc& d, uint8_t* result) {
  std::string buf(4096, '\0');
  char* p = buf.data();
  *result = sdp_encode(&p, buf.data() + buf.size(), &d, 0x8);
  return buf.substr(0, static_cast<size_t>(p - buf.data()));
}

}  // namespace

TEST(SdpEncode, T38OfferInTheFixedLineOrder) {
  sdp_store s;
  make_t38_offer(s);
  uint8_t r = 0;
  EXPECT_EQ(encode_all(s.desc, &r), t38_offer_text);
  EXPECT_EQ(r, SIP_RESULT_OK);
}

TEST(SdpEncode, AllT38AttributesAndBothSeenValues) {
  sdp_store s;
  make_t38_offer(s);
  sdp_media_image& m = s.image[0];
  m.port = SDP_NONE16;
  m.t38_fill_bit_removal = 1;
  m.t38_transcoding_mmr = 1;
  m.t38_transcoding_jbig = 1;
  m.t38_rate_management = SDP_BOTH_SEEN;
  m.t38_udp_ec = SDP_BOTH_SEEN;
  m.direction = SDP_DIR_SENDRECV;
  m.direction_text = "sendrecv";
  uint8_t r = 0;
  std::string text = encode_all(s.desc, &r);
  ASSERT_EQ(r, SIP_RESULT_OK);
  EXPECT_NE(text.find("m=image $ udptl T38\r\n"
                      "a=sendrecv\r\n"
                      "a=T38FaxVersion:0\r\n"
                      "a=T38MaxBitRate:14400\r\n"
                      "a=T38FaxFillBitRemoval\r\n"
                      "a=T38FaxTranscodingMMR\r\n"
                      "a=T38FaxTranscodingJBIG\r\n"
                      "a=T38FaxRateManagement:localTCF\r\n"
                      "a=T38FaxRateManagement:transferredTCF\r\n"
                      "a=T38FaxMaxBuffer:200\r\n"
                      "a=T38FaxMaxDatagram:72\r\n"
                      "a=T38FaxUdpEC:t38UDPFEC\r\n"
                      "a=T38FaxUdpEC:t38UDPRedundancy\r\n"),
            std::string::npos)
      << text;
}

TEST(SdpEncode, NothingButVersionLeavesThePositionUnchanged) {
  sdp_store s;
  s.session = sdp_session{};
  char buf[64];
  char* p = buf;
  EXPECT_EQ(sdp_encode(&p, buf + sizeof buf, &s.desc, 0), SIP_RESULT_OK);
  EXPECT_EQ(p, buf);
}

// The text must fit the room it is given: every shorter room fails cleanly,
// leaves the position where it was and writes nothing past the end.
TEST(SdpEncode, ChecksItsRoom) {
  sdp_store s;
  make_t38_offer(s);
  const size_t full = std::strlen(t38_offer_text);
  for (size_t room = 0; room < full; ++room) {
    // An exactly sized heap block: ASan reports any write beyond it.
    std::unique_ptr<char[]> buf(new char[room + 1]);
    char* start = buf.get();
    char* p = start;
    EXPECT_EQ(sdp_encode(&p, start + room, &s.desc, 0), SIP_RESULT_NOK) << room;
    EXPECT_EQ(p, start) << room;
  }
  std::unique_ptr<char[]> buf(new char[full]);
  char* p = buf.get();
  EXPECT_EQ(sdp_encode(&p, buf.get() + full, &s.desc, 0), SIP_RESULT_OK);
  EXPECT_EQ(std::string(buf.get(), p), t38_offer_text);
}

TEST(SdpEncode, SetCodeWithoutKeywordTextFails) {
  sdp_store s;
  make_t38_offer(s);
  s.image[0].t38_udp_ec_text = nullptr;
  char buf[1024];
  char* p = buf;
  EXPECT_EQ(sdp_encode(&p, buf + sizeof buf, &s.desc, 0), SIP_RESULT_NOK);
  EXPECT_EQ(p, buf);
}

TEST(SdpEncode, AudioRecordsTakeTheirOwnRtpmapElseTheFirstOfTheTable) {
  // The video line's own entry for 96 wins over the audio line's; the
  // second audio line has none and takes the first entry of the table.
  // Payload type 0 has no entry: no rtpmap line.
  sdp_store t;
  ASSERT_EQ(
      t.parse(crlf({"v=0", "c=IN IP4 192.0.2.1", "m=audio 5000 RTP/AVP 0 96", "a=rtpmap:96 telephone-event/8000",
                    "a=fmtp:96 0-15", "m=video 5002 RTP/AVP 96", "a=rtpmap:96 H264/90000", "m=audio 0 RTP/AVP 96"})),
      SDP_PARSE_END);
  sdp_fill_texts(t.desc);
  uint8_t r = 0;
  std::string text = encode_all(t.desc, &r);
  ASSERT_EQ(r, SIP_RESULT_OK);
  EXPECT_EQ(text,
            "\r\n" + crlf({"v=0", "c=IN IP4 192.0.2.1", "m=audio 5000 RTP/AVP 0 96", "a=rtpmap:96 telephone-event/8000",
                           "a=fmtp:96 0-15", "m=video 5002 RTP/AVP 96", "a=rtpmap:96 H264/90000",
                           "m=audio 0 RTP/AVP 96", "a=rtpmap:96 telephone-event/8000", "a=fmtp:96 0-15"}));
}

TEST(SdpEncode, OtherMediaAndConnectionForms) {
  sdp_store s;
  ASSERT_EQ(s.parse(crlf({"v=0", "c=LOCAL EPN 4711", "m=modem 9/2 udp v.21 x2", "c=IN IP6 2001:db8::5",
                          "a=subnet:IN IP4 10.1.0.0/16", "a=bearer:v.34/abc", "a=framing:slip", "a=dialed:123",
                          "a=called:456*", "a=dialing:#7", "m=data", "a=bearer:odd"})),
            SDP_PARSE_END);
  sdp_fill_texts(s.desc);
  uint8_t r = 0;
  EXPECT_EQ(encode_all(s.desc, &r),
            "\r\n" + crlf({"v=0", "c=LOCAL EPN 4711", "m=modem 9/2 udp v.21 x2", "c=IN IP6 2001:db8::5",
                           "a=subnet:IN IP4 10.1.0.0/16", "a=bearer:v.34/abc", "a=framing:slip", "a=dialed:123",
                           "a=called:456*", "a=dialing:#7", "m=data", "a=bearer:odd"}));
}

// parse(encode(d)) gives d back, and encoding that again gives the same text.
TEST(SdpEncode, RoundTrip) {
  const std::string texts[] = {
      crlf({"v=0", "o=- 1234 1 IN IP4 192.0.2.1", "s=-", "c=IN IP4 192.0.2.1", "t=0 0", "m=image 600 udptl t38",
            "a=T38FaxVersion:0", "a=T38MaxBitRate:14400", "a=T38FaxRateManagement:transferredTCF",
            "a=T38FaxMaxBuffer:200", "a=T38FaxMaxDatagram:72", "a=T38FaxUdpEC:t38UDPRedundancy"}),
      crlf({"v=0",
            "o=GW 2120 6420 IN IP4 gw.example.net",
            "s=SIP Call",
            "c=IN IP4 gw.example.net",
            "b=AS:64",
            "t=3034423619 3042462419",
            "r=7d 1h 0 25h",
            "i=fax",
            "m=image 17002 tcp t38",
            "c=IN IP4 192.0.2.10",
            "b=TIAS:20000",
            "k=prompt",
            "a=inactive",
            "a=T38FaxVersion:3",
            "a=T38MaxBitRate:33600",
            "a=T38FaxFillBitRemoval",
            "a=T38FaxTranscodingMMR",
            "a=T38FaxTranscodingJBIG",
            "a=T38FaxRateManagement:localTCF",
            "a=T38FaxRateManagement:transferredTCF",
            "a=T38FaxUdpEC:t38UDPFEC",
            "a=T38FaxUdpEC:t38UDPRedundancy",
            "a=T38FaxMaxIFP:72",
            "m=image 17004 udptl t38",
            "k=clear:s3cr3t",
            "a=T38FaxRateManagement:localTCF"}),
      crlf({"v=0",
            "o=user 53655765 2353687637 IN IP4 198.51.100.7",
            "s=-",
            "c=IN IP4 198.51.100.7",
            "t=0 0",
            "m=audio 49170/2 RTP/AVP 0 8 101 98",
            "b=AS:80",
            "k=base64:AbCd",
            "a=rtpmap:0 PCMU/8000",
            "a=rtpmap:8 PCMA/8000",
            "a=rtpmap:101 telephone-event/8000",
            "a=fmtp:101 0-15",
            "a=rtpmap:98 opus/48000/2",
            "a=ptime:20",
            "a=maxptime:40",
            "a=sendrecv",
            "a=rtcp:49171",
            "m=video 0 RTP/SAVP 96",
            "a=rtpmap:96 H264/90000",
            "a=fmtp:96 profile-level-id=42e01f",
            "m=image 49172 udptl t38",
            "a=T38FaxVersion:0",
            "a=T38FaxRateManagement:transferredTCF",
            "a=T38FaxUdpEC:t38UDPRedundancy",
            "m=application 9 TCP/MSRP *",
            "a=accept-types:text/plain"}),
      crlf({"v=0", "c=IN IP6 2001:db8::1", "m=audio 5000 RTP/AVP 0 96", "a=rtpmap:96 telephone-event/8000",
            "m=audio 5002 RTP/AVP 96", "a=rtpmap:96 L16/16000/2", "m=image 6000 udptl t38", "c=IN IP4 192.0.2.1",
            "m=modem 9/2 udp v.21 x2", "a=subnet:IN IP4 10.1.0.0/16", "a=bearer:v.34/abc", "a=framing:slip",
            "a=dialed:123", "a=called:456*", "a=dialing:#7", "m=image 600 udptl T.38"}),
      crlf({"v=0", "c=LOCAL EPN 4711", "m=audio 1 udp 0 x", "a=fmtp:0 mode=x", "m=data", "a=bearer:odd"}),
  };
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);
    sdp_store first;
    sdp_reason why = sdp_reason::none;
    ASSERT_EQ(first.parse(text, &why), SDP_PARSE_END) << sdp_reason__text(why);
    sdp_fill_texts(first.desc);
    std::string encoded = sdp_encode_text(first.desc);
    ASSERT_FALSE(encoded.empty());
    sdp_store second;
    ASSERT_EQ(second.parse(encoded, &why), SDP_PARSE_END) << encoded << sdp_reason__text(why);
    EXPECT_EQ(sdp_diff(first.desc, second.desc), "") << encoded;
    sdp_fill_texts(second.desc);
    EXPECT_EQ(sdp_encode_text(second.desc), encoded);
  }
}

// ---------------------------------------------------------------------------
// The encoded text read by an independent SDP parser: tshark decodes a
// capture holding one UDP datagram with a SIP INVITE that carries our body.

namespace {

void put16be(std::string& s, size_t at, uint16_t v) {
  s[at] = static_cast<char>(v >> 8);
  s[at + 1] = static_cast<char>(v & 0xFF);
}

void append_le32(std::string& s, uint32_t v) {
  for (int i = 0; i < 4; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
}

void append_le16(std::string& s, uint16_t v) {
  s += static_cast<char>(v & 0xFF);
  s += static_cast<char>(v >> 8);
}

// A pcap file of link type "raw IPv4" with one IPv4/UDP packet.
std::string pcap_with_udp(const std::string& payload, uint16_t sport, uint16_t dport) {
  std::string ip(28, '\0');
  ip[0] = 0x45;
  put16be(ip, 2, static_cast<uint16_t>(28 + payload.size()));
  ip[8] = 64;  // ttl
  ip[9] = 17;  // UDP
  const uint8_t src[4] = {192, 0, 2, 1}, dst[4] = {192, 0, 2, 2};
  std::memcpy(&ip[12], src, 4);
  std::memcpy(&ip[16], dst, 4);
  uint32_t sum = 0;
  for (int i = 0; i < 20; i += 2) sum += (static_cast<uint8_t>(ip[i]) << 8) | static_cast<uint8_t>(ip[i + 1]);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  put16be(ip, 10, static_cast<uint16_t>(~sum));
  put16be(ip, 20, sport);
  put16be(ip, 22, dport);
  put16be(ip, 24, static_cast<uint16_t>(8 + payload.size()));
  std::string packet = ip + payload;

  std::string f;
  append_le32(f, 0xA1B2C3D4);
  append_le16(f, 2);
  append_le16(f, 4);
  append_le32(f, 0);
  append_le32(f, 0);
  append_le32(f, 65535);
  append_le32(f, 101);  // LINKTYPE_RAW
  append_le32(f, 1700000000);
  append_le32(f, 0);
  append_le32(f, static_cast<uint32_t>(packet.size()));
  append_le32(f, static_cast<uint32_t>(packet.size()));
  return f + packet;
}

std::string run_command(const std::string& cmd) {
  std::string out;
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

}  // namespace

TEST(SdpEncode, TsharkReadsTheEncodedOffer) {
  if (std::system("command -v tshark >/dev/null 2>&1") != 0) GTEST_SKIP() << "tshark is not installed";

  sdp_store s;
  ASSERT_EQ(s.parse(crlf({"v=0", "o=- 1234 1 IN IP4 192.0.2.1", "s=-", "c=IN IP4 192.0.2.1", "t=0 0",
                          "m=audio 49170 RTP/AVP 0 101", "a=rtpmap:101 telephone-event/8000", "a=fmtp:101 0-15",
                          "a=sendrecv", "m=image 600 udptl t38", "a=T38FaxVersion:0", "a=T38MaxBitRate:14400",
                          "a=T38FaxFillBitRemoval", "a=T38FaxRateManagement:transferredTCF", "a=T38FaxMaxBuffer:200",
                          "a=T38FaxMaxDatagram:72", "a=T38FaxUdpEC:t38UDPRedundancy"})),
            SDP_PARSE_END);
  sdp_fill_texts(s.desc);
  std::string buf(2048, '\0');
  char* p = buf.data();
  ASSERT_EQ(sdp_encode(&p, buf.data() + buf.size(), &s.desc, 0), SIP_RESULT_OK);
  std::string encoded(buf.data(), p);  // begins with the CR LF that ends the header section
  std::string sip =
      "INVITE sip:fax@192.0.2.2 SIP/2.0\r\n"
      "Via: SIP/2.0/UDP 192.0.2.1:5060;branch=z9hG4bK-1-1\r\n"
      "Max-Forwards: 70\r\n"
      "From: <sip:gw@192.0.2.1>;tag=1\r\n"
      "To: <sip:fax@192.0.2.2>\r\n"
      "Call-ID: a84b4c76e66710@192.0.2.1\r\n"
      "CSeq: 1 INVITE\r\n"
      "Contact: <sip:gw@192.0.2.1>\r\n"
      "Content-Type: application/sdp\r\n"
      "Content-Length: " +
      std::to_string(encoded.size() - 2) + "\r\n" + encoded;

  std::string path = ::testing::TempDir() + "sdp_tshark_" + std::to_string(getpid()) + ".pcap";
  {
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::string file = pcap_with_udp(sip, 5060, 5060);
    ASSERT_EQ(std::fwrite(file.data(), 1, file.size(), f), file.size());
    std::fclose(f);
  }
  std::string fields = run_command(
      "timeout 120 tshark -r " + path +
      " -Y sdp -T fields -E separator='|' -E occurrence=a -E aggregator=';' -e sdp.version -e sdp.owner.username"
      " -e sdp.connection_info.address -e sdp.time.start -e sdp.media.media -e sdp.media.port -e sdp.media.proto"
      " -e sdp.media_attribute.field -e sdp.media_attribute.value -e _ws.malformed 2>/dev/null");
  std::string verbose = run_command("timeout 120 tshark -r " + path + " -V -Y sdp 2>/dev/null");
  std::remove(path.c_str());

  ASSERT_FALSE(fields.empty()) << "tshark found no SDP in the capture";
  std::vector<std::string> col;
  size_t start = 0;
  std::string line = fields.substr(0, fields.find('\n'));
  for (size_t bar; (bar = line.find('|', start)) != std::string::npos; start = bar + 1)
    col.push_back(line.substr(start, bar - start));
  col.push_back(line.substr(start));
  ASSERT_EQ(col.size(), 10u) << fields;
  EXPECT_EQ(col[0], "0");
  EXPECT_EQ(col[1], "-");
  EXPECT_EQ(col[2], "192.0.2.1");
  EXPECT_EQ(col[3], "0");
  EXPECT_EQ(col[4], "audio;image");
  EXPECT_EQ(col[5], "49170;600");
  EXPECT_EQ(col[6], "RTP/AVP;udptl");
  // Attributes without a value have no field/value split in tshark.
  EXPECT_EQ(col[7],
            "rtpmap;fmtp;T38FaxVersion;T38MaxBitRate;T38FaxRateManagement;T38FaxMaxBuffer;T38FaxMaxDatagram;"
            "T38FaxUdpEC");
  EXPECT_NE(verbose.find("Media Attribute (a): sendrecv"), std::string::npos) << verbose;
  EXPECT_NE(verbose.find("Media Attribute (a): T38FaxFillBitRemoval"), std::string::npos) << verbose;
  EXPECT_NE(verbose.find("Media Description, name and address (m): image 600 udptl t38"), std::string::npos) << verbose;
  EXPECT_NE(col[8].find("0;14400;transferredTCF;200;72;t38UDPRedundancy"), std::string::npos) << col[8];
  EXPECT_EQ(col[9], "") << "tshark marks the packet malformed";
  EXPECT_EQ(verbose.find("Malformed"), std::string::npos) << verbose;
  EXPECT_NE(verbose.find("Session Description Protocol"), std::string::npos);
}
