#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "sip/text/sdp.h"
#include "sip/text/support/sdp_support.h"

namespace {

std::string addr_text(sip_str a) {
  if (a.len != 4) return "";
  auto* b = reinterpret_cast<const uint8_t*>(a.ptr);
  return std::to_string(b[0]) + "." + std::to_string(b[1]) + "." + std::to_string(b[2]) + "." + std::to_string(b[3]);
}

const std::string t38_offer_head = crlf({
    "v=0",
    "o=- 1234 1 IN IP4 192.0.2.1",
    "s=-",
    "c=IN IP4 192.0.2.1",
    "t=0 0",
});

}  // namespace

// Offers and answers as T.38 gateways and soft switches send them.
TEST(SdpParse, OffersAndAnswersOfT38Peers) {
  struct row {
    const char* name;
    std::string text;
    std::function<void(const sdp_store&)> check;
  } rows[] = {
      {"gateway offer with every attribute, flags written :0",
       crlf({"v=0", "o=GW-UserAgent 2120 6420 IN IP4 192.0.2.10", "s=SIP Call", "c=IN IP4 192.0.2.10", "t=0 0",
             "m=image 17002 udptl t38", "c=IN IP4 192.0.2.10", "a=T38FaxVersion:0", "a=T38MaxBitRate:14400",
             "a=T38FaxFillBitRemoval:0", "a=T38FaxTranscodingMMR:0", "a=T38FaxTranscodingJBIG:0",
             "a=T38FaxRateManagement:transferredTCF", "a=T38FaxMaxBuffer:200", "a=T38FaxMaxDatagram:320",
             "a=T38FaxUdpEC:t38UDPRedundancy"}),
       [](const sdp_store& s) {
         ASSERT_EQ(s.desc.image_count, 1);
         const sdp_media_image& m = s.image[0];
         EXPECT_EQ(m.port, 17002);
         EXPECT_EQ(m.transport, SDP_TRANSPORT_UDPTL);
         EXPECT_EQ(m.format, SDP_FORMAT_T38);
         EXPECT_EQ(m.t38_version, 0);
         EXPECT_EQ(m.t38_max_bit_rate, 14400u);
         EXPECT_EQ(m.t38_fill_bit_removal, 0);
         EXPECT_EQ(m.t38_transcoding_mmr, 0);
         EXPECT_EQ(m.t38_transcoding_jbig, 0);
         EXPECT_EQ(m.t38_rate_management, SDP_RATEMGMT_TRANSFERRED_TCF);
         EXPECT_EQ(m.t38_max_buffer, 200u);
         EXPECT_EQ(m.t38_max_datagram, 320u);
         EXPECT_EQ(m.t38_udp_ec, SDP_UDPEC_REDUNDANCY);
         EXPECT_EQ(addr_text(m.conn.addr), "192.0.2.10");
         EXPECT_EQ(s.desc.origin_present, 1);
         EXPECT_EQ(sdp_str_text(s.origin.user), "GW-UserAgent");
         EXPECT_EQ(sdp_str_text(s.session.name), "SIP Call");
       }},
      {"soft switch offer without T38FaxMaxBuffer",
       crlf({"v=0", "o=- 1234 1236 IN IP4 203.0.113.5", "s=PBX", "c=IN IP4 203.0.113.5", "t=0 0",
             "m=image 4402 udptl t38", "a=T38FaxVersion:0", "a=T38MaxBitRate:14400",
             "a=T38FaxRateManagement:transferredTCF", "a=T38FaxMaxDatagram:400", "a=T38FaxUdpEC:t38UDPRedundancy"}),
       [](const sdp_store& s) {
         ASSERT_EQ(s.desc.image_count, 1);
         EXPECT_EQ(s.image[0].t38_max_buffer, SDP_NONE32);
         EXPECT_EQ(s.image[0].t38_max_datagram, 400u);
         EXPECT_EQ(s.image[0].conn.nettype, SDP_NONE8);  // the session's connection applies
         EXPECT_EQ(addr_text(s.session.conn.addr), "203.0.113.5");
       }},
      {"bare minimum: localTCF, no buffer, datagram or error correction",
       t38_offer_head + crlf({"m=image 6000 udptl t38", "a=T38FaxVersion:0", "a=T38MaxBitRate:9600",
                              "a=T38FaxRateManagement:localTCF"}),
       [](const sdp_store& s) {
         const sdp_media_image& m = s.image[0];
         EXPECT_EQ(m.t38_rate_management, SDP_RATEMGMT_LOCAL_TCF);
         EXPECT_EQ(m.t38_max_buffer, SDP_NONE32);
         EXPECT_EQ(m.t38_max_datagram, SDP_NONE32);
         EXPECT_EQ(m.t38_udp_ec, SDP_NONE8);
         EXPECT_EQ(m.t38_fill_bit_removal, 0);
       }},
      {"names in other letter cases, bare flags, FEC, unknown T.38 attributes kept",
       t38_offer_head +
           crlf({"m=image 6000 UDPTL T38", "a=t38faxversion:3", "a=T38MaxBitrate:33600", "a=T38FaxFillBitRemoval",
                 "a=T38FaxTranscodingMMR:1", "a=T38FaxRateManagement:TransferredTCF", "a=T38FaxMaxIFP:72",
                 "a=T38FaxUdpEc:t38UDPFEC", "a=T38VendorInfo:0 0 0"}),
       [](const sdp_store& s) {
         const sdp_media_image& m = s.image[0];
         EXPECT_EQ(m.transport, SDP_TRANSPORT_UDPTL);
         EXPECT_EQ(m.t38_version, 3);
         EXPECT_EQ(m.t38_max_bit_rate, 33600u);
         EXPECT_EQ(m.t38_fill_bit_removal, 1);
         EXPECT_EQ(m.t38_transcoding_mmr, 1);
         EXPECT_EQ(m.t38_transcoding_jbig, 0);
         EXPECT_EQ(m.t38_rate_management, SDP_RATEMGMT_TRANSFERRED_TCF);
         EXPECT_EQ(m.t38_udp_ec, SDP_UDPEC_FEC);
         EXPECT_EQ(sdp_str_text(m.extra_lines), "a=T38FaxMaxIFP:72\r\na=T38VendorInfo:0 0 0\r\n");
       }},
      {"audio plus image fallback offer",
       crlf({"v=0", "o=user 53655765 2353687637 IN IP4 198.51.100.7", "s=-", "c=IN IP4 198.51.100.7", "t=0 0",
             "m=audio 49170 RTP/AVP 0 8 101", "a=rtpmap:0 PCMU/8000", "a=rtpmap:8 PCMA/8000",
             "a=rtpmap:101 telephone-event/8000", "a=fmtp:101 0-15", "a=ptime:20", "a=sendrecv",
             "m=image 49172 udptl t38", "a=T38FaxVersion:0", "a=T38MaxBitRate:14400",
             "a=T38FaxRateManagement:transferredTCF", "a=T38FaxMaxBuffer:1800", "a=T38FaxMaxDatagram:1400",
             "a=T38FaxUdpEC:t38UDPRedundancy"}),
       [](const sdp_store& s) {
         ASSERT_EQ(s.desc.av_count, 1);
         const sdp_media_av& a = s.av[0];
         EXPECT_EQ(a.kind, SDP_KIND_AUDIO);
         EXPECT_EQ(a.port, 49170);
         EXPECT_EQ(a.transport, SDP_TRANSPORT_RTP_AVP);
         ASSERT_EQ(a.format_count, 3);
         EXPECT_EQ(a.formats[0], 0);
         EXPECT_EQ(a.formats[1], 8);
         EXPECT_EQ(a.formats[2], 101);
         EXPECT_EQ(a.ptime, 20);
         EXPECT_EQ(a.direction, SDP_DIR_SENDRECV);
         ASSERT_EQ(s.desc.rtpmap_count, 3);
         EXPECT_EQ(s.rtpmap[0].codec, 0);
         EXPECT_EQ(s.rtpmap[1].codec, 8);
         EXPECT_EQ(s.rtpmap[2].codec, 0x65);
         EXPECT_EQ(s.rtpmap[2].clock_rate, 8000u);
         EXPECT_EQ(sdp_str_text(s.rtpmap[2].fmtp), "0-15");
         ASSERT_EQ(s.desc.image_count, 1);
         EXPECT_EQ(s.image[0].media_index, 1);
         EXPECT_EQ(s.image[0].port, 49172);
       }},
      {"answer rejecting audio, accepting image",
       crlf({"v=0", "o=- 5 6 IN IP4 192.0.2.20", "s=-", "c=IN IP4 192.0.2.20", "t=0 0", "m=audio 0 RTP/AVP 0 96",
             "m=image 5004 udptl t38", "a=T38FaxVersion:0", "a=T38FaxRateManagement:transferredTCF",
             "a=T38FaxUdpEC:t38UDPRedundancy"}),
       [](const sdp_store& s) {
         // A rejected stream (port 0) needs no rtpmap for its dynamic type.
         EXPECT_EQ(s.av[0].port, 0);
         EXPECT_EQ(s.image[0].port, 5004);
       }},
      {"several m-lines: video, audio, two T.38 streams, an application",
       crlf({"v=0", "s=-", "c=IN IP4 192.0.2.30", "t=0 0", "m=video 51372 RTP/AVP 31", "m=audio 49170 RTP/AVP 0",
             "m=image 6000 udptl t38", "c=IN IP4 192.0.2.31", "a=T38FaxRateManagement:localTCF", "m=image 6002 tcp t38",
             "a=T38FaxRateManagement:localTCF", "m=application 9 TCP/MSRP *"}),
       [](const sdp_store& s) {
         ASSERT_EQ(s.desc.av_count, 2);
         EXPECT_EQ(s.av[0].kind, SDP_KIND_VIDEO);
         EXPECT_EQ(s.av[1].kind, SDP_KIND_AUDIO);
         EXPECT_EQ(s.av[1].media_index, 1);
         ASSERT_EQ(s.desc.image_count, 2);
         EXPECT_EQ(s.image[0].media_index, 2);
         EXPECT_EQ(addr_text(s.image[0].conn.addr), "192.0.2.31");
         EXPECT_EQ(s.image[1].transport, SDP_TRANSPORT_TCP);
         EXPECT_EQ(s.image[1].media_index, 3);
         ASSERT_EQ(s.desc.other_count, 1);
         EXPECT_EQ(sdp_str_text(s.other[0].name), "application");
         EXPECT_EQ(sdp_str_text(s.other[0].transport), "TCP/MSRP");
         EXPECT_EQ(sdp_str_text(s.other[0].format), "*");
         EXPECT_EQ(s.other[0].media_index, 4);
         EXPECT_EQ(s.desc.origin_present, 0);
       }},
      {"LF line ends and a host name connection",
       "v=0\no=- 1 1 IN IP4 gw.example.net\ns=-\nc=IN IP4 gw.example.net\nt=0 0\nm=image 7000 udptl t38\n",
       [](const sdp_store& s) {
         EXPECT_EQ(sdp_str_text(s.session.conn.host), "gw.example.net");
         EXPECT_EQ(s.session.conn.addr.len, 0);
         EXPECT_EQ(sdp_str_text(s.origin.host), "gw.example.net");
         EXPECT_EQ(s.image[0].port, 7000);
       }},
  };
  for (auto& r : rows) {
    SCOPED_TRACE(r.name);
    sdp_store s;
    sdp_reason why = sdp_reason::none;
    size_t stop = 0;
    ASSERT_EQ(s.parse(r.text, &why, &stop), SDP_PARSE_END) << sdp_reason__text(why);
    EXPECT_EQ(stop, r.text.size());
    r.check(s);
  }
}

TEST(SdpParse, AcceptsAndRefuses) {
  struct row {
    const char* name;
    std::string text;
    uint8_t result;
    sdp_reason reason;
  } rows[] = {
      {"v=1", crlf({"v=1", "c=IN IP4 192.0.2.1", "m=image 1 udptl t38"}), 0, sdp_reason::bad_version},
      {"v=0 and a space", crlf({"v=0 ", "c=IN IP4 192.0.2.1", "m=image 1 udptl t38"}), 0, sdp_reason::bad_version},
      {"origin first", crlf({"o=- 1 1 IN IP4 192.0.2.1", "v=0", "c=IN IP4 192.0.2.1", "m=image 1 udptl t38"}), 0,
       sdp_reason::bad_version},
      {"v=0 alone without a line end", "v=0", 0, sdp_reason::bad_version},
      {"empty text", "", 0, sdp_reason::bad_version},
      {"no connection", crlf({"v=0", "m=image 1 udptl t38"}), 0, sdp_reason::no_connection},
      {"no media", crlf({"v=0", "c=IN IP4 192.0.2.1"}), 0, sdp_reason::no_media},
      {"two origins", t38_offer_head + crlf({"o=- 1 1 IN IP4 192.0.2.1", "m=image 1 udptl t38"}), 0,
       sdp_reason::duplicate_line},
      {"two session names", t38_offer_head + crlf({"s=x", "m=image 1 udptl t38"}), 0, sdp_reason::duplicate_line},
      {"two time lines", t38_offer_head + crlf({"t=1 2", "m=image 1 udptl t38"}), 0, sdp_reason::duplicate_line},
      {"a bad origin is ignored, a later one is fine",
       crlf({"v=0", "o=- x 1 IN IP4 192.0.2.1", "o=- 1 1 IN IP4 192.0.2.1", "c=IN IP4 192.0.2.1",
             "m=image 1 udptl t38"}),
       SDP_PARSE_END, sdp_reason::none},
      {"dynamic payload type without rtpmap", t38_offer_head + crlf({"m=audio 700 RTP/AVP 0 96"}), 0,
       sdp_reason::missing_rtpmap},
      {"rtpmap for the dynamic type",
       t38_offer_head + crlf({"m=audio 700 RTP/AVP 0 96", "a=rtpmap:96 telephone-event/8000"}), SDP_PARSE_END,
       sdp_reason::none},
      {"rtpmap on the next media line does not count",
       t38_offer_head + crlf({"m=audio 700 RTP/AVP 96", "m=audio 702 RTP/AVP 96", "a=rtpmap:96 telephone-event/8000"}),
       0, sdp_reason::missing_rtpmap},
      {"session sendonly, audio recvonly", t38_offer_head + crlf({"a=sendonly", "m=audio 1 RTP/AVP 0", "a=recvonly"}),
       0, sdp_reason::direction_conflict},
      {"sendonly at both levels", t38_offer_head + crlf({"a=sendonly", "m=audio 1 RTP/AVP 0", "a=sendonly"}),
       SDP_PARSE_END, sdp_reason::none},
      {"direction with a value", t38_offer_head + crlf({"a=sendonly:x", "m=image 1 udptl t38"}), 0,
       sdp_reason::bad_attribute},
      {"unknown bandwidth type has no effect", t38_offer_head + crlf({"b=X-YZ:128", "m=image 1 udptl t38"}),
       SDP_PARSE_END, sdp_reason::none},
      {"bandwidth without colon", t38_offer_head + crlf({"b=AS", "m=image 1 udptl t38"}), 0, sdp_reason::bad_bandwidth},
      {"bandwidth without digits", t38_offer_head + crlf({"b=AS:", "m=image 1 udptl t38"}), 0,
       sdp_reason::bad_bandwidth},
      {"connection of unknown network type", crlf({"v=0", "c=XX IP4 192.0.2.1", "m=image 1 udptl t38"}), 0,
       sdp_reason::bad_connection},
      {"connection of unknown address type", crlf({"v=0", "c=IN IPX 192.0.2.1", "m=image 1 udptl t38"}), 0,
       sdp_reason::bad_connection},
      {"connection without address", crlf({"v=0", "c=IN IP4 ", "m=image 1 udptl t38"}), 0, sdp_reason::bad_connection},
      {"host name longer than 64", crlf({"v=0", ("c=IN IP4 " + std::string(65, 'h')).c_str(), "m=image 1 udptl t38"}),
       0, sdp_reason::bad_connection},
      {"LOCAL EPN connection", crlf({"v=0", "c=LOCAL EPN 4711", "m=image 1 udptl t38"}), SDP_PARSE_END,
       sdp_reason::none},
      {"LOCAL with another address type", crlf({"v=0", "c=LOCAL XYZ 4711", "m=image 1 udptl t38"}), 0,
       sdp_reason::bad_connection},
      {"media port without digits", t38_offer_head + crlf({"m=audio x RTP/AVP 0"}), 0, sdp_reason::bad_media},
      {"media transport at the line end", t38_offer_head + crlf({"m=audio 1 RTP/AVP"}), 0, sdp_reason::bad_media},
      {"media line without formats", t38_offer_head + crlf({"m=audio 1 RTP/AVP "}), 0, sdp_reason::bad_media},
      {"media transport unknown", t38_offer_head + crlf({"m=audio 1 RTP/XYZ 0"}), 0, sdp_reason::bad_media},
      {"port count without digits", t38_offer_head + crlf({"m=audio 1/ RTP/AVP 0"}), 0, sdp_reason::bad_media},
      {"port count without digits, other media", t38_offer_head + crlf({"m=text 1/ RTP/AVP 98"}), 0,
       sdp_reason::bad_media},
      {"image without format", t38_offer_head + crlf({"m=image 1 udptl"}), 0, sdp_reason::bad_media},
      {"fifth image line goes to other media",
       t38_offer_head + crlf({"m=image 1 udptl t38", "m=image 2 udptl t38", "m=image 3 udptl t38",
                              "m=image 4 udptl t38", "m=image 5 udptl t38"}),
       SDP_PARSE_END, sdp_reason::none},
      {"media name of 17 characters", t38_offer_head + crlf({"m=abcdefghijklmnopq 1 udp x"}), 0, sdp_reason::bad_media},
      {"key method unknown", t38_offer_head + crlf({"m=image 1 udptl t38", "k=secret:abc"}), 0, sdp_reason::bad_key},
      {"key too long", t38_offer_head + crlf({"m=image 1 udptl t38", ("k=clear:" + std::string(129, 'k')).c_str()}), 0,
       sdp_reason::bad_key},
      // An optional T.38 attribute without a usable value is dropped and
      // reported; the offer is kept.
      {"T38FaxVersion without digits", t38_offer_head + crlf({"m=image 1 udptl t38", "a=T38FaxVersion:x"}),
       SDP_PARSE_END, sdp_reason::none},
      {"T38FaxMaxBuffer without colon", t38_offer_head + crlf({"m=image 1 udptl t38", "a=T38FaxMaxBuffer"}),
       SDP_PARSE_END, sdp_reason::none},
      {"T38FaxRateManagement without value", t38_offer_head + crlf({"m=image 1 udptl t38", "a=T38FaxRateManagement:"}),
       SDP_PARSE_END, sdp_reason::none},
      {"bare T38FaxUdpEC", t38_offer_head + crlf({"m=image 1 udptl t38", "a=T38FaxUdpEC", "a=T38MaxBitRate:9600"}),
       SDP_PARSE_END, sdp_reason::none},
      {"empty T38MaxBitRate", t38_offer_head + crlf({"m=image 1 udptl t38", "a=T38MaxBitRate:"}), SDP_PARSE_END,
       sdp_reason::none},
      {"T38FaxVersion too large is still refused",
       t38_offer_head + crlf({"m=image 1 udptl t38", "a=T38FaxVersion:300"}), 0, sdp_reason::number_too_large},
      {"T38FaxUdpEC value outside the table has no effect",
       t38_offer_head + crlf({"m=image 1 udptl t38", "a=T38FaxUdpEC:t38UDPNoEC"}), SDP_PARSE_END, sdp_reason::none},
      {"attribute without name", t38_offer_head + crlf({"m=image 1 udptl t38", "a=:x"}), 0, sdp_reason::bad_attribute},
      {"rtpmap without colon", t38_offer_head + crlf({"m=audio 1 RTP/AVP 0", "a=rtpmap"}), 0,
       sdp_reason::bad_attribute},
      {"malformed lines are ignored", t38_offer_head + crlf({"m=image 1 udptl t38", "a= x", "garbage", "x"}),
       SDP_PARSE_END, sdp_reason::none},
      {"a later v= line is ignored", t38_offer_head + crlf({"v=7", "m=image 1 udptl t38"}), SDP_PARSE_END,
       sdp_reason::none},
  };
  for (auto& r : rows) {
    sdp_store s;
    sdp_reason why = sdp_reason::none;
    EXPECT_EQ(s.parse(r.text, &why), r.result) << r.name;
    EXPECT_EQ(why, r.reason) << r.name << ": " << sdp_reason__text(why);
  }
}

// A peer's bare or empty optional T.38 attribute is dropped with a report;
// the rest of the offer stands.
TEST(SdpParse, ValuelessT38AttributeDroppedAndReported) {
  const struct {
    const char* what;
    std::string text;
    bool reported;
  } rows[] = {
      {"bare T38FaxUdpEC", t38_offer_head + crlf({"m=image 7 udptl t38", "a=T38FaxUdpEC", "a=T38MaxBitRate:9600"}),
       true},
      {"empty T38FaxMaxDatagram",
       t38_offer_head + crlf({"m=image 7 udptl t38", "a=T38FaxMaxDatagram:", "a=T38MaxBitRate:9600"}), true},
      {"clean offer", t38_offer_head + crlf({"m=image 7 udptl t38", "a=T38MaxBitRate:9600"}), false},
  };
  for (const auto& r : rows) {
    sdp_store s;
    s.text = r.text;
    const char* p = s.text.data();
    bool ignored = !r.reported;
    ASSERT_EQ(sdp_parse(&p, s.text.data() + s.text.size(), &s.desc, &s.work, 0, nullptr, &ignored), SDP_PARSE_END)
        << r.what;
    EXPECT_EQ(ignored, r.reported) << r.what;
    ASSERT_EQ(s.desc.image_count, 1) << r.what;
    EXPECT_EQ(s.image[0].port, 7) << r.what;
    EXPECT_EQ(s.image[0].t38_max_bit_rate, 9600u) << r.what;
    EXPECT_EQ(s.image[0].t38_udp_ec, SDP_NONE8) << r.what;
    EXPECT_EQ(s.image[0].t38_max_datagram, SDP_NONE32) << r.what;
  }
}

TEST(SdpParse, T38OfferOfTheReferenceExample) {
  const std::string text =
      crlf({"v=0", "c=IN IP4 192.0.2.1", "m=image 600 udptl t38", "a=T38FaxVersion:0", "a=T38MaxBitRate:14400",
            "a=T38FaxRateManagement:transferredTCF", "a=T38FaxUdpEC:t38UDPRedundancy"});
  sdp_store s;
  ASSERT_EQ(s.parse(text), SDP_PARSE_END);
  ASSERT_EQ(s.desc.image_count, 1);
  const sdp_media_image& m = s.image[0];
  EXPECT_EQ(m.port, 600);
  EXPECT_EQ(m.transport, 0x10);
  EXPECT_EQ(m.t38_version, 0);
  EXPECT_EQ(m.t38_max_bit_rate, 14400u);
  EXPECT_EQ(m.t38_rate_management, 2);
  EXPECT_EQ(m.t38_udp_ec, 2);
  EXPECT_EQ(addr_text(s.session.conn.addr), "192.0.2.1");
  EXPECT_EQ(s.session.conn.nettype, SDP_NET_IN);
}

// Media names and the T.38 attribute names and values compare without case;
// the other attribute names of the codec keep theirs.
TEST(SdpParse, NamesComparedWithoutCase) {
  sdp_store s;
  ASSERT_EQ(
      s.parse(t38_offer_head +
              crlf({"m=AUDIO 5000 RTP/AVP 0", "m=Video 5002 RTP/AVP 31", "m=IMAGE 6000 udptl T38", "a=T38FAXVERSION:1",
                    "a=t38faxratemanagement:LOCALTCF", "a=T38FaxUdpEC:T38UDPREDUNDANCY", "a=T38FaxTranscodingJbig"})),
      SDP_PARSE_END);
  EXPECT_EQ(s.av[0].kind, SDP_KIND_AUDIO);
  EXPECT_EQ(s.av[1].kind, SDP_KIND_VIDEO);
  ASSERT_EQ(s.desc.image_count, 1);
  EXPECT_EQ(s.image[0].t38_version, 1);
  EXPECT_EQ(s.image[0].t38_rate_management, SDP_RATEMGMT_LOCAL_TCF);
  EXPECT_EQ(s.image[0].t38_udp_ec, SDP_UDPEC_REDUNDANCY);
  EXPECT_EQ(s.image[0].t38_transcoding_jbig, 1);
  sdp_store t;
  ASSERT_EQ(t.parse(t38_offer_head + crlf({"m=audio 5000 RTP/AVP 0", "a=RTPMAP:0 PCMU/8000"})), SDP_PARSE_END);
  EXPECT_EQ(t.desc.rtpmap_count, 0);
  EXPECT_EQ(sdp_str_text(t.av[0].extra_lines), "a=RTPMAP:0 PCMU/8000\r\n");
}

TEST(SdpParse, T38ValuesSeenTwice) {
  struct row {
    std::initializer_list<const char*> lines;
    uint8_t rate;
    uint8_t ec;
  } rows[] = {
      {{"a=T38FaxUdpEC:t38UDPFEC", "a=T38FaxUdpEC:t38UDPRedundancy"}, SDP_NONE8, SDP_BOTH_SEEN},
      {{"a=T38FaxUdpEC:t38UDPFEC", "a=T38FaxUdpEC:t38UDPFEC"}, SDP_NONE8, SDP_UDPEC_FEC},
      {{"a=T38FaxRateManagement:localTCF", "a=T38FaxRateManagement:transferredTCF"}, SDP_BOTH_SEEN, SDP_NONE8},
      {{"a=T38FaxRateManagement:transferredTCF", "a=T38FaxRateManagement:bogus"},
       SDP_RATEMGMT_TRANSFERRED_TCF,
       SDP_NONE8},
  };
  for (auto& r : rows) {
    std::string text = t38_offer_head + "m=image 600 udptl t38\r\n" + crlf(r.lines);
    sdp_store s;
    ASSERT_EQ(s.parse(text), SDP_PARSE_END) << text;
    EXPECT_EQ(s.image[0].t38_rate_management, r.rate) << text;
    EXPECT_EQ(s.image[0].t38_udp_ec, r.ec) << text;
  }
}

TEST(SdpParse, FormatThatIsNotANumberKeepsItsSlot) {
  sdp_store s;
  ASSERT_EQ(s.parse(t38_offer_head + crlf({"m=audio 5000 udp x 0 $"})), SDP_PARSE_END);
  ASSERT_EQ(s.av[0].format_count, 3);
  EXPECT_EQ(s.av[0].formats[0], 0xFF);
  EXPECT_EQ(s.av[0].formats[1], 0);
  EXPECT_EQ(s.av[0].formats[2], 0xFF);
}

TEST(SdpParse, PortCountOfAudioAndOtherMedia) {
  sdp_store s;
  ASSERT_EQ(s.parse(t38_offer_head +
                    crlf({"m=audio 5000/2 RTP/AVP 0", "m=text 5002/3 RTP/AVP 98", "m=video 5004 RTP/AVP 31"})),
            SDP_PARSE_END);
  ASSERT_EQ(s.desc.av_count, 2);
  EXPECT_EQ(s.av[0].port, 5000);
  EXPECT_EQ(s.av[0].port_count, 2);
  EXPECT_EQ(s.av[1].port, 5004);
  EXPECT_EQ(s.av[1].port_count, SDP_NONE8);
  ASSERT_EQ(s.desc.other_count, 1);
  EXPECT_EQ(s.other[0].port, 5002);
  EXPECT_EQ(s.other[0].port_count, 3);
}

TEST(SdpParse, ImageLineThatIsNotT38IsOtherMedia) {
  sdp_store s;
  ASSERT_EQ(s.parse(t38_offer_head + crlf({"m=image 600 udptl T.38", "a=T38FaxVersion:0"})), SDP_PARSE_END);
  EXPECT_EQ(s.desc.image_count, 0);
  ASSERT_EQ(s.desc.other_count, 1);
  EXPECT_EQ(sdp_str_text(s.other[0].name), "image");
  EXPECT_EQ(s.other[0].port, 600);
  EXPECT_EQ(sdp_str_text(s.other[0].transport), "udptl");
  EXPECT_EQ(sdp_str_text(s.other[0].format), "T.38");
  // The T.38 attribute is not one of other media: kept as an extra line.
  EXPECT_EQ(sdp_str_text(s.other[0].extra_lines), "a=T38FaxVersion:0\r\n");
}

TEST(SdpParse, RtpmapAndFmtpRules) {
  {
    // telephone-event, an rtpmap for a type not on the line, a fifth format
    // (kept: a line keeps up to ten).
    sdp_store s;
    ASSERT_EQ(s.parse(t38_offer_head + crlf({"m=audio 700 RTP/AVP 0 96 8 18 97", "a=rtpmap:96 telephone-event/8000",
                                             "a=rtpmap:100 PCMU/8000", "a=rtpmap:97 G729/8000"})),
              SDP_PARSE_END);
    ASSERT_EQ(s.av[0].format_count, 5);
    ASSERT_EQ(s.desc.rtpmap_count, 2);
    EXPECT_EQ(s.rtpmap[1].payload_type, 97);
    EXPECT_EQ(s.rtpmap[0].payload_type, 96);
    EXPECT_EQ(s.rtpmap[0].codec, 0x65);
    EXPECT_EQ(s.rtpmap[0].clock_rate, 8000u);
    EXPECT_EQ(s.rtpmap[0].channels, SDP_NONE8);
  }
  {
    // fmtp before rtpmap fills one entry; a second rtpmap has no effect;
    // names outside the codec table are kept; channels.
    sdp_store s;
    ASSERT_EQ(s.parse(t38_offer_head +
                      crlf({"m=audio 700 RTP/AVP 101 102 103", "a=fmtp:101 0-16", "a=rtpmap:101 Telephone-Event/8000",
                            "a=rtpmap:101 PCMA/8000", "a=rtpmap:102 opus/48000/2", "a=rtpmap:103 x/8000"})),
              SDP_PARSE_END);
    ASSERT_EQ(s.desc.rtpmap_count, 3);
    EXPECT_EQ(s.rtpmap[0].codec, 0x65);  // found without regard to case
    EXPECT_EQ(sdp_str_text(s.rtpmap[0].fmtp), "0-16");
    EXPECT_EQ(s.rtpmap[1].codec, SDP_NONE8);
    EXPECT_EQ(sdp_str_text(s.rtpmap[1].encoding_name), "opus");
    EXPECT_EQ(s.rtpmap[1].clock_rate, 48000u);
    EXPECT_EQ(s.rtpmap[1].channels, 2);
  }
  {
    // Lines the rules send to the extra lines.
    sdp_store s;
    ASSERT_EQ(s.parse(t38_offer_head + crlf({"m=audio 700 RTP/AVP 0", "a=rtpmap:x", "a=rtpmap:0 /8000",
                                             ("a=rtpmap:0 " + std::string(33, 'n') + "/8000").c_str(),
                                             "a=rtpmap:0 PCMU/", "a=ptime:", "a=maxptime:", "a=rtcp:9"})),
              SDP_PARSE_END);
    EXPECT_EQ(s.desc.rtpmap_count, 0);
    EXPECT_EQ(s.av[0].maxptime, SDP_NONE16);
    EXPECT_EQ(sdp_str_text(s.av[0].extra_lines), "a=rtpmap:x\r\na=rtpmap:0 /8000\r\na=rtpmap:0 " +
                                                     std::string(33, 'n') +
                                                     "/8000\r\na=rtpmap:0 PCMU/\r\na=ptime:\r\na=rtcp:9\r\n");
  }
  {
    // An fmtp line whose parameters cannot be kept makes no entry.
    sdp_store s;
    sdp_reason why;
    EXPECT_EQ(s.parse(t38_offer_head + crlf({"m=audio 700 RTP/AVP 96", "a=fmtp:96 "}), &why), 0);
    EXPECT_EQ(why, sdp_reason::missing_rtpmap);
    sdp_store t;
    ASSERT_EQ(t.parse(t38_offer_head + crlf({"m=audio 700 RTP/AVP 96", "a=fmtp:96 mode=1"})), SDP_PARSE_END);
    ASSERT_EQ(t.desc.rtpmap_count, 1);
    EXPECT_EQ(t.rtpmap[0].codec, SDP_NONE8);
    EXPECT_EQ(sdp_str_text(t.rtpmap[0].fmtp), "mode=1");
  }
  {
    // Every format of every audio line with its rtpmap fits, and what the
    // encoder writes of it (one rtpmap per format of each line) parses again.
    std::string text = t38_offer_head;
    for (int line = 0; line < SDP_MAX_AV; ++line) {
      text += "m=audio " + std::to_string(1000 + line) + " RTP/AVP 96 97 98 99 100 101 102 103 104 105\r\n";
      for (int pt = 96; pt < 106; ++pt) text += "a=rtpmap:" + std::to_string(pt) + " L16/8000\r\n";
    }
    sdp_store s;
    ASSERT_EQ(s.parse(text), SDP_PARSE_END);
    EXPECT_EQ(s.desc.rtpmap_count, SDP_MAX_RTPMAP);
    EXPECT_EQ(s.rtpmap[SDP_MAX_RTPMAP - 1].media_pos, SDP_MAX_AV - 1);
    EXPECT_EQ(s.rtpmap[SDP_MAX_RTPMAP - 1].codec, 11);  // the last "L16" row of the table
    sdp_fill_texts(s.desc);
    std::vector<char> out(16384);
    char* w = out.data();
    ASSERT_EQ(sdp_encode(&w, out.data() + out.size(), &s.desc, 0), SIP_RESULT_OK);
    sdp_store again;
    ASSERT_EQ(again.parse(std::string(out.data() + 2, w)), SDP_PARSE_END);
    EXPECT_EQ(again.desc.rtpmap_count, SDP_MAX_RTPMAP);
  }
}

// An r= line carries repeat times: it belongs to the description and must
// neither end it nor refuse it.
TEST(SdpParse, RepeatTimesLineIsKeptNotAnEnd) {
  {
    sdp_store s;
    size_t stop = 0;
    std::string text = crlf({"v=0", "s=-", "c=IN IP4 192.0.2.1", "t=3034423619 3042462419", "r=7d 1h 0 25h",
                             "m=image 600 udptl t38", "a=T38FaxVersion:0"});
    ASSERT_EQ(s.parse(text, nullptr, &stop), SDP_PARSE_END);
    EXPECT_EQ(stop, text.size());
    EXPECT_EQ(sdp_str_text(s.session.extra_lines), "r=7d 1h 0 25h\r\n");
    EXPECT_EQ(s.image[0].t38_version, 0);
  }
  {
    // After the media line the parse goes on too.
    sdp_store s;
    ASSERT_EQ(s.parse(crlf({"v=0", "c=IN IP4 192.0.2.1", "m=image 600 udptl t38", "r=1 2 3", "a=T38FaxVersion:3"})),
              SDP_PARSE_END);
    EXPECT_EQ(s.image[0].t38_version, 3);
  }
}

TEST(SdpParse, EndsAtEmptyLineOrDot) {
  struct row {
    std::string text;
    uint8_t result;
    std::string after;  // text after the stop position
  } rows[] = {
      {"v=0\r\nc=IN IP4 192.0.2.1\r\nm=image 1 udptl t38\r\n\r\nnext part", SDP_PARSE_EMPTY_LINE, "next part"},
      {"v=0\nc=IN IP4 192.0.2.1\nm=image 1 udptl t38\n\nrest", SDP_PARSE_EMPTY_LINE, "rest"},
      {"v=0\r\nc=IN IP4 192.0.2.1\r\nm=image 1 udptl t38\r\n.\r\nrest", SDP_PARSE_DOT, "rest"},
      {"v=0\r\nc=IN IP4 192.0.2.1\r\nm=image 1 udptl t38", SDP_PARSE_END, ""},
  };
  for (auto& r : rows) {
    sdp_store s;
    size_t stop = 0;
    EXPECT_EQ(s.parse(r.text, nullptr, &stop), r.result) << r.text;
    EXPECT_EQ(r.text.substr(stop), r.after) << r.text;
  }
  // An empty line before the media line ends a description without one.
  sdp_store s;
  sdp_reason why;
  EXPECT_EQ(s.parse("v=0\r\nc=IN IP4 192.0.2.1\r\n\r\nm=image 1 udptl t38\r\n", &why), 0);
  EXPECT_EQ(why, sdp_reason::no_media);
}

TEST(SdpParse, AddressOctetAbove255IsRefused) {
  sdp_store s;
  sdp_reason why;
  EXPECT_EQ(s.parse(crlf({"v=0", "c=IN IP4 300.0.0.1", "m=image 1 udptl t38"}), &why), 0);
  EXPECT_EQ(why, sdp_reason::number_too_large);
  // In the origin line such an address makes the origin absent, as any
  // malformed origin.
  sdp_store o;
  ASSERT_EQ(o.parse(crlf({"v=0", "o=- 1 1 IN IP4 192.0.2.256", "c=IN IP4 192.0.2.1", "m=image 1 udptl t38"})),
            SDP_PARSE_END);
  EXPECT_EQ(o.desc.origin_present, 0);
  // Four digits are no dotted quad: a host name.
  sdp_store h;
  ASSERT_EQ(h.parse(crlf({"v=0", "c=IN IP4 1234.0.0.1", "m=image 1 udptl t38"})), SDP_PARSE_END);
  EXPECT_EQ(sdp_str_text(h.session.conn.host), "1234.0.0.1");
}

TEST(SdpParse, Ip6ConnectionIsReadAndRefusedForT38) {
  {
    sdp_store s;
    ASSERT_EQ(s.parse(crlf({"v=0", "o=- 1 1 IN IP6 2001:db8::1", "c=IN IP6 2001:db8::1", "m=audio 5000 RTP/AVP 0"})),
              SDP_PARSE_END);
    EXPECT_EQ(s.session.conn.addrtype, SDP_ADDR_IP6);
    EXPECT_EQ(sdp_str_text(s.session.conn.host), "2001:db8::1");
    EXPECT_EQ(s.desc.origin_present, 1);
    EXPECT_EQ(s.origin.addrtype, SDP_ADDR_IP6);
  }
  {
    sdp_store s;
    sdp_reason why;
    EXPECT_EQ(s.parse(crlf({"v=0", "c=IN IP6 2001:db8::1", "m=image 6000 udptl t38"}), &why), 0);
    EXPECT_EQ(why, sdp_reason::ip6_for_t38);
  }
  {
    sdp_store s;
    sdp_reason why;
    EXPECT_EQ(s.parse(crlf({"v=0", "c=IN IP4 192.0.2.1", "m=image 6000 udptl t38", "c=IN IP6 2001:db8::1"}), &why), 0);
    EXPECT_EQ(why, sdp_reason::ip6_for_t38);
  }
  {
    // An IPv4 connection of its own lets the T.38 stream through.
    sdp_store s;
    ASSERT_EQ(s.parse(crlf({"v=0", "c=IN IP6 2001:db8::1", "m=audio 5000 RTP/AVP 0", "m=image 6000 udptl t38",
                            "c=IN IP4 192.0.2.1"})),
              SDP_PARSE_END);
    EXPECT_EQ(addr_text(s.image[0].conn.addr), "192.0.2.1");
  }
}

TEST(SdpParse, NumbersThatDoNotFitTheirFieldAreRefused) {
  const char* lines[] = {
      "m=image 65536 udptl t38", "m=audio 65536 RTP/AVP 0", "m=audio 1/256 RTP/AVP 0",
      "m=audio 1 RTP/AVP 256",   "m=text 65536 RTP/AVP 98", "m=text 1/999 RTP/AVP 98",
  };
  for (const char* m : lines) {
    sdp_store s;
    sdp_reason why;
    EXPECT_EQ(s.parse(t38_offer_head + crlf({m}), &why), 0) << m;
    EXPECT_EQ(why, sdp_reason::number_too_large) << m;
  }
  const char* image_attrs[] = {
      "a=T38FaxVersion:256",
      "a=T38MaxBitRate:4294967296",
      "a=T38FaxMaxBuffer:99999999999",
      "a=T38FaxMaxDatagram:4294967296",
      "b=AS:65536",
  };
  for (const char* a : image_attrs) {
    sdp_store s;
    sdp_reason why;
    EXPECT_EQ(s.parse(t38_offer_head + crlf({"m=image 1 udptl t38", a}), &why), 0) << a;
    EXPECT_EQ(why, sdp_reason::number_too_large) << a;
  }
  const char* audio_attrs[] = {
      "a=ptime:65536",
      "a=maxptime:70000",
      "a=rtpmap:300 PCMU/8000",
      "a=rtpmap:0 PCMU/4294967296",
      "a=rtpmap:0 PCMU/8000/256",
      "a=fmtp:256 x",
  };
  for (const char* a : audio_attrs) {
    sdp_store s;
    sdp_reason why;
    EXPECT_EQ(s.parse(t38_offer_head + crlf({"m=audio 1 RTP/AVP 0", a}), &why), 0) << a;
    EXPECT_EQ(why, sdp_reason::number_too_large) << a;
  }
  // The largest values that fit are taken.
  sdp_store s;
  ASSERT_EQ(s.parse(t38_offer_head + crlf({"m=image 65535 udptl t38", "b=AS:65535", "a=T38FaxVersion:255",
                                           "a=T38FaxMaxBuffer:4294967294"})),
            SDP_PARSE_END);
  EXPECT_EQ(s.image[0].port, 65535);
  EXPECT_EQ(s.image[0].bw_value, 65535);
  EXPECT_EQ(s.image[0].t38_version, 255);
  EXPECT_EQ(s.image[0].t38_max_buffer, 4294967294u);
}

// A bandwidth and a key line belong to the level they follow, and to no
// other; the session keeps no key.
TEST(SdpParse, BandwidthAndKeyLandInTheirLevel) {
  const std::string media = crlf({"m=audio 1 RTP/AVP 0", "m=image 2 udptl t38", "m=modem 3 udp v.21"});
  struct row {
    const char* name;
    std::string text;
    int level;  // 0 session, 1 audio, 2 image, 3 other
  } rows[] = {
      {"session", t38_offer_head + crlf({"b=AS:11", "k=clear:kk"}) + media, 0},
      {"audio",
       t38_offer_head +
           crlf({"m=audio 1 RTP/AVP 0", "b=AS:11", "k=clear:kk", "m=image 2 udptl t38", "m=modem 3 udp v.21"}),
       1},
      {"image",
       t38_offer_head +
           crlf({"m=audio 1 RTP/AVP 0", "m=image 2 udptl t38", "b=AS:11", "k=clear:kk", "m=modem 3 udp v.21"}),
       2},
      {"other", t38_offer_head + media + crlf({"b=AS:11", "k=clear:kk"}), 3},
  };
  for (const row& r : rows) {
    sdp_store s;
    ASSERT_EQ(s.parse(r.text), SDP_PARSE_END) << r.name;
    ASSERT_EQ(s.desc.av_count, 1) << r.name;
    ASSERT_EQ(s.desc.image_count, 1) << r.name;
    ASSERT_EQ(s.desc.other_count, 1) << r.name;
    const uint16_t bw[4] = {s.session.bw_value, s.av[0].bw_value, s.image[0].bw_value, s.other[0].bw_value};
    const uint8_t bt[4] = {s.session.bwtype, s.av[0].bwtype, s.image[0].bwtype, s.other[0].bwtype};
    const sip_str key[3] = {s.av[0].key, s.image[0].key, s.other[0].key};
    const uint8_t km[3] = {s.av[0].keymethod, s.image[0].keymethod, s.other[0].keymethod};
    for (int level = 0; level < 4; ++level) {
      const bool here = level == r.level;
      EXPECT_EQ(bw[level], here ? 11 : SDP_NONE16) << r.name << " level " << level;
      EXPECT_EQ(bt[level], here ? 'a' : SDP_NONE8) << r.name << " level " << level;
      if (level == 0) continue;
      EXPECT_EQ(sdp_str_text(key[level - 1]), here ? "kk" : "") << r.name << " level " << level;
      EXPECT_EQ(km[level - 1], here ? 0 : SDP_NONE8) << r.name << " level " << level;
    }
  }
}

TEST(SdpParse, OtherMediaAttributes) {
  sdp_store s;
  ASSERT_EQ(s.parse(t38_offer_head + crlf({"m=modem 9 udp v.21", "a=bearer:v.34/abc", "a=framing:ppp-hdlc",
                                           "a=dialed:49#1*", "a=called:123", "a=dialing:0",
                                           "a=subnet:IN IP4 10.1.0.0/16", "m=data 10 udp x", "a=bearer:vendor/7"})),
            SDP_PARSE_END);
  ASSERT_EQ(s.desc.other_count, 2);
  const sdp_media_other& m = s.other[0];
  EXPECT_EQ(m.bearer, '7');
  EXPECT_EQ(sdp_str_text(m.bearer_detail), "abc");
  EXPECT_EQ(m.framing, 'H');
  EXPECT_EQ(sdp_str_text(m.called), "123");
  EXPECT_EQ(m.subnet_nettype, SDP_NET_IN);
  EXPECT_EQ(addr_text(m.subnet_addr), "10.1.0.0");
  EXPECT_EQ(m.subnet_prefix, 16);
  EXPECT_EQ(s.other[1].bearer, SDP_BEARER_FREE);
  EXPECT_EQ(sdp_str_text(s.other[1].bearer_detail), "vendor/7");
  // The leading "+" is outside the dial characters.
  sdp_store bad;
  sdp_reason why;
  EXPECT_EQ(bad.parse(t38_offer_head + crlf({"m=modem 9 udp v.21", "a=dialed:+49"}), &why), 0);
  EXPECT_EQ(why, sdp_reason::bad_attribute);
  const char* refused[] = {
      "a=framing:ppp",  "a=called:", "a=subnet:IN IP4 10.1.0.0", "a=subnet:IN IP4 10.1.0.0/33", "a=bearer:",
      "a=bearer:v.34/", "a=dialing"};
  for (const char* a : refused) {
    sdp_store r;
    EXPECT_EQ(r.parse(t38_offer_head + crlf({"m=modem 9 udp v.21", a})), 0) << a;
  }
}

TEST(SdpParse, ExtraLinesAreBoundedAndWorkBufferChecked) {
  {
    // Session-level lines without a meaning here are kept whole; a line that
    // would pass 255 bytes is dropped, a later short one still fits.
    std::string long_line = "i=" + std::string(240, 'x');
    sdp_store s;
    ASSERT_EQ(s.parse(crlf({"v=0", "i=session info", "u=http://example.com/fax", long_line.c_str(), "e=fax@example.com",
                            "c=IN IP4 192.0.2.1", "m=image 1 udptl t38"})),
              SDP_PARSE_END);
    EXPECT_EQ(sdp_str_text(s.session.extra_lines),
              "i=session info\r\nu=http://example.com/fax\r\ne=fax@example.com\r\n");
  }
  {
    // A work buffer too small for the payload-type bytes refuses an audio line.
    sdp_store s;
    s.work.capacity = 3;
    sdp_reason why;
    EXPECT_EQ(s.parse(t38_offer_head.substr(0, 5) + crlf({"c=LOCAL EPN x", "m=audio 1 RTP/AVP 0"}), &why), 0);
    EXPECT_EQ(why, sdp_reason::work_buffer_full);
  }
  {
    // Extra lines without room in the work buffer are not kept.
    sdp_store s;
    s.work.capacity = 100;
    ASSERT_EQ(s.parse(crlf({"v=0", "i=x", "c=IN IP4 192.0.2.1", "m=image 1 udptl t38"})), SDP_PARSE_END);
    EXPECT_EQ(s.session.extra_lines.len, 0);
    EXPECT_LE(s.work.size, s.work.capacity);
  }
  {
    sdp_store s;
    const char* p = "v=0\r\n";
    sdp_reason why;
    EXPECT_EQ(sdp_parse(&p, p + 5, &s.desc, nullptr, 0, &why), 0);
    EXPECT_EQ(why, sdp_reason::no_work_buffer);
  }
}

TEST(SdpParse, LineWithNulByteIsIgnored) {
  sdp_store s;
  std::string text = "v=0\r\nc=IN IP4 192.0.2.1\r\ni=a" + std::string(1, '\0') + "b\r\nm=image 1 udptl t38\r\n" +
                     "a=T38FaxVersion:" + std::string(1, '\0') + "\r\n";
  ASSERT_EQ(s.parse(text), SDP_PARSE_END);
  EXPECT_EQ(s.session.extra_lines.len, 0);
  EXPECT_EQ(s.image[0].t38_version, SDP_NONE8);
}

TEST(SdpParse, LineEndsWithLoneCarriageReturns) {
  // A CR that is not followed by LF is passed over with the next character.
  sdp_store s;
  ASSERT_EQ(s.parse("v=0\r\nc=IN IP4 192.0.2.1\rX\r\nm=image 1 udptl t38\r\n"), SDP_PARSE_END);
  EXPECT_EQ(addr_text(s.session.conn.addr), "192.0.2.1");
  EXPECT_EQ(s.desc.image_count, 1);
}

// Media lines share one budget of SDP_MAX_MEDIA, whatever their kinds; the
// lines past it are counted and skipped with everything they carry.
TEST(SdpParse, MediaBudgetSharedByEveryKind) {
  const auto media = [](int n, const char* extra) {
    // Audio, video, image, other media in turn, each with `extra` lines.
    static const char* const kinds[] = {"m=audio %d RTP/AVP 0 8", "m=video %d RTP/AVP 31", "m=image %d udptl t38",
                                        "m=application %d udp wb", "m=message %d TCP/MSRP *"};
    std::string t;
    for (int i = 0; i < n; ++i) {
      char line[64];
      std::snprintf(line, sizeof line, kinds[i % 5], 1000 + i);
      t += std::string(line) + "\r\n" + extra;
    }
    return t;
  };
  const struct {
    const char* what;
    std::string text;
    uint8_t kept, lines;
  } rows[] = {
      {"four audio lines", t38_offer_head + media(1, "") + media(1, "") + media(1, "") + media(1, ""), 4, 4},
      {"ten media of every kind", t38_offer_head + media(10, ""), 10, 10},
      {"ten media, each with lines the parser does not read",
       t38_offer_head + media(10, "a=label:1\r\na=mid:x\r\ni=info\r\n"), 10, 10},
      {"eleven media lines", t38_offer_head + media(11, ""), 10, 11},
      // Lines of skipped media are not read, even malformed or IPv6 ones.
      {"twelve media lines, the last two with their own lines",
       t38_offer_head + media(10, "") + "m=audio 7 RTP/AVP 96\r\na=sendonly\r\nc=IN IP6 ::1\r\nb=AS:x\r\n" +
           "m=video 8 RTP/AVP 97\r\nk=secret\r\na=:\r\n",
       10, 12},
      {"three hundred media lines", t38_offer_head + media(300, ""), 10, 255},
  };
  // What is kept must have its connection: one on a skipped line is none.
  {
    sdp_store s;
    sdp_reason why = sdp_reason::none;
    EXPECT_EQ(
        s.parse("v=0\r\ns=-\r\nt=0 0\r\n" + media(10, "") + "m=audio 9 RTP/AVP 0\r\nc=IN IP4 192.0.2.1\r\n", &why),
        SDP_PARSE_REFUSED);
    EXPECT_EQ(why, sdp_reason::no_connection);
  }
  for (const auto& r : rows) {
    sdp_store s;
    sdp_reason why = sdp_reason::none;
    ASSERT_EQ(s.parse(r.text, &why), SDP_PARSE_END) << r.what << ": " << sdp_reason__text(why);
    const sdp_desc& d = s.desc;
    EXPECT_EQ(d.av_count + d.image_count + d.other_count, r.kept) << r.what;
    EXPECT_EQ(d.media_lines, r.lines) << r.what;
    // The kept lines are the first ones, each with its m-line position.
    bool seen[SDP_MAX_MEDIA] = {};
    for (uint8_t i = 0; i < d.av_count; ++i) seen[s.av[i].media_index] = true;
    for (uint8_t i = 0; i < d.image_count; ++i) seen[s.image[i].media_index] = true;
    for (uint8_t i = 0; i < d.other_count; ++i) seen[s.other[i].media_index] = true;
    for (uint8_t i = 0; i < r.kept; ++i) EXPECT_TRUE(seen[i]) << r.what << " position " << int(i);
    // The skipped lines changed nothing at the session level.
    EXPECT_EQ(s.session.direction, SDP_NONE8) << r.what;
    EXPECT_EQ(addr_text(s.session.conn.addr), "192.0.2.1") << r.what;
  }
}
