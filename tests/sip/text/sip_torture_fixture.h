// RFC 4475 torture messages as fixtures: the text of each, the parser's
// expected result and answer, and checks of what it fills in.  Shared by the
// parser's torture test and the primitive codec's round trip.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "sip/text/sip_body.h"
#include "sip/text/sip_parse.h"
#include "tests/sip/text/sip_parse_fixture.h"
#include "tests/sip/text/sip_text_fixture.h"

namespace sip_torture {

// The SDP body of several RFC 4475 requests (150 bytes with CR LF).
inline const std::string sdp150 =
    "v=0\r\no=mhandley 29739 7272939 IN IP4 192.0.2.3\r\ns=-\r\nc=IN IP4 192.0.2.4\r\nt=0 0\r\n"
    "m=audio 49217 RTP/AVP 0 12\r\nm=video 3227 RTP/AVP 31\r\na=rtpmap:31 LPC\r\n";

inline unsigned count(sip_header_id id) { return sip_hdr_area.count[static_cast<unsigned>(id)]; }

struct Torture {
  const char* name;  // the RFC 4475 test name
  std::string text;
  std::uint8_t result;
  unsigned response;       // 0: none
  const char* difference;  // where the RFC expects another answer
  std::function<void()> check;
};

inline std::vector<Torture> torture_cases() {
  std::vector<Torture> t;

  t.push_back({"wsinv",
               crlf("INVITE sip:vivekg@chair-dnrc.example.com;unknownparam SIP/2.0\n"
                    "TO :\n sip:vivekg@chair-dnrc.example.com ;   tag    = 1918181833n\n"
                    "from   : \"J Rosenberg \\\\\\\"\"       <sip:jdrosen@example.com>\n  ;\n  tag = 98asjd8\n"
                    "MaX-fOrWaRdS: 0068\n"
                    "Call-ID: wsinv.ndaksdj@192.0.2.1\n"
                    "Content-Length   : 150\n"
                    "cseq: 0009\n  INVITE\n"
                    "Via  : SIP  /   2.0\n /UDP\n    192.0.2.2;branch=390skdjuw\n"
                    "s :\n"
                    "NewFangledHeader:   newfangled value\n continued newfangled value\n"
                    "UnknownHeaderWithUnusualValue: ;;,,;;,;\n"
                    "Content-Type: application/sdp\n"
                    "Route:\n <sip:services.example.com;lr;unknownwith=value;unknown-no-value>\n"
                    "v:  SIP  / 2.0  / TCP     spindle.example.com   ;\n  branch  =   z9hG4bK9ikj8  ,\n"
                    " SIP  /    2.0   / UDP  192.168.255.111   ; branch=\n z9hG4bK30239\n"
                    "m:\"Quoted string \\\"\\\"\" <sip:jdrosen@example.com> ; newparam =\n      newvalue ;\n"
                    "  secondparam ; q = 0.33\n\n") +
                   sdp150,
               4, 0, nullptr, [] {
                 EXPECT_EQ(str_of(sip_hdr_area.to.tag), "1918181833n");
                 EXPECT_EQ(str_of(sip_hdr_area.from.display), "J Rosenberg \\\"");
                 EXPECT_EQ(str_of(sip_hdr_area.from.tag), "98asjd8");
                 EXPECT_EQ(sip_hdr_area.max_forwards.value, 68u);
                 EXPECT_EQ(sip_hdr_area.cseq.number, 9u);
                 EXPECT_EQ(sip_hdr_area.cseq.method, 0xC1);
                 EXPECT_EQ(count(sip_header_id::via), 3u);
                 EXPECT_EQ(str_of(sip_hdr_area.via[2].branch), "z9hG4bK30239");
                 EXPECT_EQ(count(sip_header_id::subject), 1u);
                 EXPECT_EQ(sip_hdr_area.route[0].addr.lr, 1);
                 EXPECT_EQ(str_of(sip_hdr_area.contact[0].na.display), "Quoted string \"\"");
                 EXPECT_EQ(str_of(sip_hdr_area.contact[0].q), "0.33");
                 EXPECT_EQ(str_of(sip_hdr_area.contact[0].na.params_other), "newparam =\x20newvalue;secondparam");
                 ASSERT_EQ(count(sip_header_id::body), 1u);
                 EXPECT_EQ(sip_hdr_area.body[0].text.len, 148);
               }});

  t.push_back({"intmeth",
               crlf("!interesting-Method0123456789_*+`.%indeed'~ sip:1_unusual.URI~(to-be!sure)&isn't+it$/crazy?,/;;*"
                    ":&it+has=1,weird!*pas$wo~d_too.(doesn't-it)@example.com SIP/2.0\n"
                    "Via: SIP/2.0/TCP host1.example.com;branch=z9hG4bK-.!%66*_+`'~\n"
                    "To: \"BEL:\\\x07 NUL:\\") +
                   std::string(1, '\0') +
                   crlf(" DEL:\\\x7F\" <sip:1_unusual.URI~(to-be!sure)"
                        "&isn't+it$/crazy?,/;;*@example.com>\n"
                        "From: token1~` token2'+_ token3*%!.- <sip:mundane@example.com>;tag=_token~1'+`*%!-.\n"
                        "Call-ID: intmeth.word%ZK-!.*_+'@word`~)(><:\\/\"][?}{\n"
                        "CSeq: 139122385 !interesting-Method0123456789_*+`.%indeed'~\n"
                        "Max-Forwards: 255\n"
                        "extensionHeader-!.%*+_`'~: \xEF\xBB\xBF\xE5\xA4\xA7\xE5\x81\x9C\xE9\x9B\xBB\n"
                        "Content-Length: 0\n\n"),
               3, 501, "RFC 4475 has this valid request processed; a method we do not implement is answered 501",
               [] { EXPECT_EQ(sip_hdr_area.method, SIP_METHOD_UNKNOWN); }});

  t.push_back({"esc01",
               crlf("INVITE sip:sips%3Auser%40example.com@example.net SIP/2.0\n"
                    "To: sip:%75se%72@example.com\n"
                    "From: <sip:I%20have%20spaces@example.net>;tag=938\n"
                    "Max-Forwards: 87\n"
                    "i: esc01.239409asdfakjkn23onasd0-3234\n"
                    "CSeq: 234234 INVITE\n"
                    "Via: SIP/2.0/UDP host5.example.net;branch=z9hG4bKkdjuw\n"
                    "C: application/sdp\n"
                    "Contact:\n  <sip:cal%6Cer@host5.example.net;%6C%72;n%61me=v%61lue%25%34%31>\n"
                    "Content-Length: 150\n\n") +
                   sdp150,
               4, 0, nullptr, [] {
                 EXPECT_EQ(str_of(sip_hdr_area.request_line.user), "sips%3Auser%40example.com");
                 EXPECT_EQ(str_of(sip_hdr_area.to.addr.user), "%75se%72");
                 EXPECT_EQ(str_of(sip_hdr_area.from.addr.user), "I%20have%20spaces");
                 EXPECT_EQ(count(sip_header_id::contact), 1u);
                 EXPECT_EQ(count(sip_header_id::body), 1u);
               }});

  t.push_back({"escnull",
               crlf("REGISTER sip:example.com SIP/2.0\n"
                    "To: sip:null-%00-null@example.com\n"
                    "From: sip:null-%00-null@example.com;tag=839923423\n"
                    "Max-Forwards: 70\n"
                    "Call-ID: escnull.39203ndfvkjdasfkq3w4otrq0adsfdfnavd\n"
                    "CSeq: 14398234 REGISTER\n"
                    "Via: SIP/2.0/UDP host5.example.com;branch=z9hG4bKkdjuw\n"
                    "Contact: <sip:%00@host5.example.com>\n"
                    "Contact: <sip:%00%00@host5.example.com>\n"
                    "L:0\n\n"),
               4, 0, nullptr, [] {
                 EXPECT_EQ(count(sip_header_id::contact), 2u);
                 EXPECT_EQ(str_of(sip_hdr_area.to.addr.user), "null-%00-null");
               }});

  t.push_back({"esc02",
               crlf("RE%47IST%45R sip:registrar.example.com SIP/2.0\n"
                    "To: \"%Z%45\" <sip:resource@example.com>\n"
                    "From: \"%Z%45\" <sip:resource@example.com>;tag=f232jadfj23\n"
                    "Call-ID: esc02.asdfnqwo34rq23i34jrjasdcnl23nrlknsdf\n"
                    "Via: SIP/2.0/TCP host.example.com;branch=z9hG4bK209asdjf\n"
                    "CSeq: 29344 RE%47IST%45R\n"
                    "Max-Forwards: 70\n"
                    "Contact: <sip:alias1@host1.example.com>\n"
                    "C%6Fntact: <sip:alias2@host2.example.com>\n"
                    "Contact: <sip:alias3@host3.example.com>\n"
                    "l: 0\n\n"),
               3, 501, nullptr, [] { EXPECT_EQ(sip_hdr_area.method, SIP_METHOD_UNKNOWN); }});

  t.push_back({"lwsdisp",
               crlf("OPTIONS sip:user@example.com SIP/2.0\n"
                    "To: sip:user@example.com\n"
                    "From: caller<sip:caller@example.com>;tag=323\n"
                    "Max-Forwards: 70\n"
                    "Call-ID: lwsdisp.1234abcd@funky.example.com\n"
                    "CSeq: 60 OPTIONS\n"
                    "Via: SIP/2.0/UDP funky.example.com;branch=z9hG4bKkdjuw\n"
                    "l: 0\n\n"),
               4, 0, nullptr, [] {
                 EXPECT_EQ(str_of(sip_hdr_area.from.display), "caller");
                 EXPECT_EQ(str_of(sip_hdr_area.from.tag), "323");
               }});

  t.push_back({"longreq",
               crlf("INVITE sip:user@example.com SIP/2.0\n"
                    "To: \"I have a user name of " +
                    std::string(100, 'e') +
                    "xtreme proportion\"<sip:user@example.com:6000;"
                    "unknownparam1=very" +
                    std::string(100, 'l') + "ongvalue;longparam" + std::string(40, 'n') +
                    "ame=shortvalue>\n"
                    "From: sip:caller@example.net;tag=" +
                    std::string(90, '3') +
                    "\n"
                    "Call-ID: long" +
                    std::string(90, 'r') +
                    "eq.one@example.com\n"
                    "CSeq: 3882340 INVITE\n"
                    "Max-Forwards: 70\n"
                    "Via: SIP/2.0/TCP sip33.example.com\n"
                    "v: SIP/2.0/TCP sip32.example.com\n"
                    "Content-Length: 0\n\n"),
               4, 0,
               "RFC 4475 expects the long values accepted; fields are limited to 64 bytes here, so To, From "
               "and Call-ID are dropped",
               [] {
                 EXPECT_EQ(count(sip_header_id::to), 0u);
                 EXPECT_EQ(count(sip_header_id::from), 0u);
                 EXPECT_EQ(count(sip_header_id::call_id), 0u);
                 EXPECT_EQ(count(sip_header_id::via), 2u);
               }});

  t.push_back({"dblreq",
               crlf("REGISTER sip:example.com SIP/2.0\n"
                    "To: sip:j.user@example.com\n"
                    "From: sip:j.user@example.com;tag=43251j3j324\n"
                    "Max-Forwards: 8\n"
                    "I: dblreq.0ha0isndaksdj99sdfafnl3lk233412\n"
                    "Contact: sip:j.user@host.example.com\n"
                    "CSeq: 8 REGISTER\n"
                    "Via: SIP/2.0/UDP 192.0.2.125;branch=z9hG4bKkdjuw23492\n"
                    "Content-Length: 0\n\n\n"
                    "INVITE sip:joe@example.com SIP/2.0\n"
                    "t: sip:joe@example.com\n"
                    "From: sip:caller@example.net;tag=141334\n"
                    "Max-Forwards: 8\n"
                    "Call-ID: dblreq.0ha0isnda977644900765@192.0.2.15\n"
                    "CSeq: 8 INVITE\n"
                    "Via: SIP/2.0/UDP 192.0.2.15;branch=z9hG4bKkdjuw380234\n"
                    "Content-Type: application/sdp\n"
                    "Content-Length: 150\n\n") +
                   sdp150,
               4, 0, nullptr, [] {
                 EXPECT_EQ(sip_hdr_area.method, SIP_METHOD_REGISTER);
                 EXPECT_EQ(count(sip_header_id::body), 0u);
               }});

  t.push_back({"semiuri",
               crlf("OPTIONS sip:user;par=u%40example.net@example.com SIP/2.0\n"
                    "To: sip:j_user@example.com\n"
                    "From: sip:caller@example.org;tag=33242\n"
                    "Max-Forwards: 3\n"
                    "Call-ID: semiuri.0ha0isndaksdj\n"
                    "CSeq: 8 OPTIONS\n"
                    "Accept: application/sdp, application/pkcs7-mime,\n"
                    "        multipart/mixed, multipart/signed,\n"
                    "        message/sip, message/sipfrag\n"
                    "Via: SIP/2.0/UDP 192.0.2.1;branch=z9hG4bKkdjuw\n"
                    "l: 0\n\n"),
               4, 0, nullptr, [] {
                 EXPECT_EQ(str_of(sip_hdr_area.request_line.user), "user;par=u%40example.net");
                 EXPECT_EQ(count(sip_header_id::accept), 4u);  // four rows kept, the rest dropped
               }});

  t.push_back({"transports",
               crlf("OPTIONS sip:user@example.com SIP/2.0\n"
                    "To: sip:user@example.com\n"
                    "From: <sip:caller@example.com>;tag=323\n"
                    "Max-Forwards: 70\n"
                    "Call-ID:  transports.kijh4akdnaqjkwendsasfdj\n"
                    "Accept: application/sdp\n"
                    "CSeq: 60 OPTIONS\n"
                    "Via: SIP/2.0/UDP t1.example.com;branch=z9hG4bKkdjuw\n"
                    "Via: SIP/2.0/SCTP t2.example.com;branch=z9hG4bKklasjdhf\n"
                    "Via: SIP/2.0/TLS t3.example.com;branch=z9hG4bK2980unddj\n"
                    "Via: SIP/2.0/UNKNOWN t4.example.com;branch=z9hG4bKasd0f3en\n"
                    "Via: SIP/2.0/TCP t5.example.com;branch=z9hG4bK0a9idfnee\n"
                    "l: 0\n\n"),
               4, 0, nullptr, [] {
                 ASSERT_EQ(count(sip_header_id::via), 5u);
                 EXPECT_EQ(sip_hdr_area.via[1].transport, 'S');
                 EXPECT_EQ(sip_hdr_area.via[2].transport, 'L');
                 EXPECT_EQ(sip_hdr_area.via[3].transport, SIP_CODE_NONE);
                 EXPECT_EQ(str_of(sip_hdr_area.via[3].transport_text), "UNKNOWN");
               }});

  {
    std::string body =
        "--boundary42\r\nContent-Type: application/sdp\r\n\r\n"
        "v=0\r\no=alice 2890844526 2890844526 IN IP4 host.example.com\r\ns=-\r\nc=IN IP4 host.example.com\r\n"
        "t=0 0\r\nm=audio 49170 RTP/AVP 0\r\na=rtpmap:0 PCMU/8000\r\n\r\n"
        "--boundary42\r\nContent-Type: application/pkcs7-signature; name=smime.p7s\r\n"
        "Content-Transfer-Encoding: base64\r\nContent-Disposition: attachment; filename=smime.p7s;\r\n"
        "   handling=required\r\n\r\n"
        "ghyHhHUujhJhjH77n8HHGTrfvbnj756tbB9HG4VQpfyF467GhIGfHfYT6\r\n4VQpfyF467GhIGfHfYT6jH77n8HHGghyHhHUujhJh\r\n\r\n"
        "--boundary42--\r\n";
    t.push_back({"mpart01",
                 crlf("MESSAGE sip:kumiko@example.org SIP/2.0\n") +
                     crlf("Via: SIP/2.0/UDP 127.0.0.1:5070;branch=z9hG4bK-d87543-4dade06d0bdb11ee-1--d87543-;rport\n"
                          "Max-Forwards: 70\n"
                          "Route: <sip:127.0.0.1:5080>\n"
                          "Identity: r5mwreLuyDRYBi/0TiPwEsY3rEVsk/G2WxhgTV1PF7hHuLgrCfdOBwMuSAxSi2ZCQ=\n"
                          "From: <sip:fluffy@example.com>;tag=2fb0dcc9\n"
                          "To: <sip:kumiko@example.org>\n"
                          "Call-ID: 3d9485ad0c49859b@Zmx1ZmZ5LW1hYy0xNi5sb2NhbA..\n"
                          "CSeq: 1 MESSAGE\n"
                          "Content-Transfer-Encoding: binary\n"
                          "Content-Type: multipart/mixed;boundary=boundary42\n"
                          "Content-Length: " +
                          std::to_string(body.size()) + "\n\n") +
                     body,
                 3, 501, "MESSAGE is not implemented here, so the request is answered 501", nullptr});
    // The same body in an INVITE shows the parts.
    t.push_back({"mpart01 body in an INVITE",
                 crlf("INVITE sip:kumiko@example.org SIP/2.0\nCSeq: 1 INVITE\n"
                      "Content-Type: multipart/mixed;boundary=boundary42\n"
                      "Content-Length: " +
                      std::to_string(body.size()) + "\n\n") +
                     body,
                 4, 0, nullptr, [] {
                   ASSERT_EQ(count(sip_header_id::body), 2u);
                   EXPECT_EQ(sip_hdr_area.part_content_type[0].subtype, 'H');
                   EXPECT_EQ(sip_hdr_area.part_content_type[1].subtype, 'o');  // pkcs7-signature
                   EXPECT_EQ(count(sip_header_id::part_content_disposition), 1u);
                 }});
  }

  t.push_back({"unreason",
               crlf("SIP/2.0 200 = 2**3 * 5**2 \xD0\xBD\xD0\xBE \xD1\x81\xD1\x82\xD0\xBE "
                    "\xD0\xB4\xD0\xB5\xD0\xB2\xD1\x8F\xD0\xBD\xD0\xBE\xD1\x81\xD1\x82\xD0\xBE "
                    "\xD0\xB4\xD0\xB5\xD0\xB2\xD1\x8F\xD1\x82\xD1\x8C\n"
                    "Via: SIP/2.0/UDP 192.0.2.198;branch=z9hG4bK1324923\n"
                    "Call-ID: unreason.1234ksdfak3j2erwedfsASdf\n"
                    "CSeq: 35 INVITE\n"
                    "From: sip:user@example.com;tag=11141343\n"
                    "To: sip:user@example.edu;tag=2229\n"
                    "Content-Length: 154\n"
                    "Content-Type: application/sdp\n"
                    "Contact: <sip:user@host198.example.com>\n\n") +
                   sdp150 + "v=0\r",
               4, 0, nullptr, [] {
                 EXPECT_EQ(sip_hdr_area.status_line.code, 200);
                 EXPECT_GT(sip_hdr_area.status_line.reason.len, 20);
               }});

  t.push_back({"noreason",
               crlf("SIP/2.0 100 \n"
                    "Via: SIP/2.0/UDP 192.0.2.105;branch=z9hG4bK2398ndaoe\n"
                    "Call-ID: noreason.asndj203insdf99223ndf\n"
                    "CSeq: 35 INVITE\n"
                    "From: <sip:user@example.com>;tag=39ansfi3\n"
                    "To: <sip:user@example.edu>;tag=902jndnke3\n"
                    "Content-Length: 0\n"
                    "Contact: <sip:user@host105.example.com>\n\n"),
               4, 0, nullptr, [] {
                 EXPECT_EQ(sip_hdr_area.status_line.code, 100);
                 EXPECT_EQ(sip_hdr_area.status_line.reason.len, 0);
               }});

  // Invalid messages.
  t.push_back({"badinv01",
               crlf("INVITE sip:user@example.com SIP/2.0\n"
                    "To: sip:j.user@example.com\n"
                    "From: sip:caller@example.net;tag=134161461246\n"
                    "Max-Forwards: 7\n"
                    "Call-ID: badinv01.0ha0isndaksdjasdf3234nas\n"
                    "CSeq: 8 INVITE\n"
                    "Via: SIP/2.0/UDP 192.0.2.15;;,;,,\n"
                    "Contact: \"Joe\" <sip:joe@example.org>;;;;\n"
                    "Content-Length: 150\n"
                    "Content-Type: application/sdp\n\n") +
                   sdp150,
               4, 0,
               "RFC 4475 expects 400; the malformed Via and Contact are dropped and reported (cause 19) "
               "and the request, now without Via, is refused by the transaction layer",
               [] {
                 EXPECT_EQ(count(sip_header_id::via), 0u);
                 EXPECT_EQ(count(sip_header_id::contact), 0u);
               }});

  t.push_back({"clerr",
               crlf("INVITE sip:user@example.com SIP/2.0\n"
                    "Max-Forwards: 80\n"
                    "To: sip:j.user@example.com\n"
                    "From: sip:caller@example.net;tag=93942939o2\n"
                    "Contact: <sip:caller@hungry.example.net>\n"
                    "Call-ID: clerr.0ha0isndaksdjweiafasdk3\n"
                    "CSeq: 8 INVITE\n"
                    "Via: SIP/2.0/UDP host5.example.com;branch=z9hG4bK-39234-23523\n"
                    "Content-Type: application/sdp\n"
                    "Content-Length: 9999\n\n") +
                   sdp150,
               5, 400, nullptr, nullptr});

  t.push_back({"ncl",
               crlf("INVITE sip:user@example.com SIP/2.0\n"
                    "Max-Forwards: 254\n"
                    "To: sip:j.user@example.com\n"
                    "From: sip:caller@example.net;tag=32394234\n"
                    "Call-ID: ncl.0ha0isndaksdj2193423r542w35\n"
                    "CSeq: 0 INVITE\n"
                    "Via: SIP/2.0/UDP 192.0.2.53;branch=z9hG4bKkdjuw\n"
                    "Contact: <sip:caller@example53.example.net>\n"
                    "Content-Type: application/sdp\n"
                    "Content-Length: -999\n\n") +
                   sdp150,
               3, 400, nullptr, nullptr});

  t.push_back({"scalar02",
               crlf("REGISTER sip:example.com SIP/2.0\n"
                    "Via: SIP/2.0/TCP host129.example.com;branch=z9hG4bK342sdfoi3\n"
                    "To: <sip:user@example.com>\n"
                    "From: <sip:user@example.com>;tag=239232jh3\n"
                    "CSeq: 36893488147419103232 REGISTER\n"
                    "Call-ID: scalar02.23o0pd9vanlq3wnrlnewofjas9ui32\n"
                    "Max-Forwards: 300\n"
                    "Expires: 1" +
                    std::string(100, '0') +
                    "\n"
                    "Contact: <sip:user@host129.example.com>\n  ;expires=280297596632815\n"
                    "Content-Length: 0\n\n"),
               4, 0,
               "RFC 4475 expects 400; the overlarge CSeq, Expires and Contact are refused (never cut) and "
               "dropped, and the request without CSeq gets no answer from the transaction layer",
               [] {
                 EXPECT_EQ(count(sip_header_id::cseq), 0u);
                 EXPECT_EQ(count(sip_header_id::expires), 0u);
                 EXPECT_EQ(count(sip_header_id::contact), 0u);
               }});

  t.push_back({"scalarlg",
               crlf("SIP/2.0 503 Service Unavailable\n"
                    "Via: SIP/2.0/TCP host129.example.com;branch=z9hG4bKzzxdiwo34sw;received=192.0.2.129\n"
                    "To: <sip:user@example.com>\n"
                    "From: <sip:other@example.net>;tag=2easdjfejw\n"
                    "CSeq: 9292394834772304023312 OPTIONS\n"
                    "Call-ID: scalarlg.noase0of0234hn2qofoaf0232aewf2394r\n"
                    "Retry-After: 949302838503028349304023988\n"
                    "Warning: 1812 overture \"In Progress\"\n"
                    "Content-Length: 0\n\n"),
               4, 0, "RFC 4475 has the response dropped; here its bad headers are dropped (no answer either way)", [] {
                 EXPECT_EQ(count(sip_header_id::cseq), 0u);
                 EXPECT_EQ(count(sip_header_id::retry_after), 0u);
                 EXPECT_EQ(count(sip_header_id::warning), 0u);
               }});

  t.push_back({"quotbal",
               crlf("INVITE sip:user@example.com SIP/2.0\n"
                    "To: \"Mr. J. User <sip:j.user@example.com>\n"
                    "From: sip:caller@example.net;tag=93334\n"
                    "Max-Forwards: 10\n"
                    "Call-ID: quotbal.aksdj\n"
                    "Contact: <sip:caller@host59.example.net>\n"
                    "CSeq: 8 INVITE\n"
                    "Via: SIP/2.0/UDP 192.0.2.59:5050;branch=z9hG4bKkdjuw39234\n"
                    "Content-Type: application/sdp\n"
                    "Content-Length: 150\n\n") +
                   sdp150,
               4, 0,
               "RFC 4475 expects 400; the To header is dropped and the request fails the mandatory-header "
               "check later",
               [] { EXPECT_EQ(count(sip_header_id::to), 0u); }});

  t.push_back({"ltgtruri",
               crlf("INVITE <sip:user@example.com> SIP/2.0\n"
                    "To: sip:user@example.com\n"
                    "From: sip:caller@example.net;tag=39291\n"
                    "Max-Forwards: 23\n"
                    "Call-ID: ltgtruri.1@192.0.2.5\n"
                    "CSeq: 1 INVITE\n"
                    "Via: SIP/2.0/UDP 192.0.2.5\n"
                    "Content-Type: application/sdp\n"
                    "Content-Length: 150\n\n") +
                   sdp150,
               19, 0, "RFC 4475 expects 400; a malformed Request-URI gets no answer (reported with cause 19)",
               nullptr});

  t.push_back({"lwsruri",
               crlf("INVITE sip:user@example.com; lr SIP/2.0\n"
                    "To: sip:user@example.com;tag=3xfe-9921883-z9f\n"
                    "From: sip:caller@example.net;tag=231413434\n"
                    "Max-Forwards: 5\n"
                    "Call-ID: lwsruri.asdfasdoeoi2323-asdfwrn23-asd834rk423\n"
                    "CSeq: 2130706432 INVITE\n"
                    "Via: SIP/2.0/UDP 192.0.2.1:5060;branch=z9hG4bKkdjuw2395\n"
                    "Contact: <sip:caller@host1.example.net>\n"
                    "Content-Type: application/sdp\n"
                    "Content-Length: 150\n\n") +
                   sdp150,
               19, 0, "RFC 4475 expects 400; a malformed Request-URI gets no answer", nullptr});

  t.push_back({"lwsstart",
               crlf("INVITE  sip:user@example.com  SIP/2.0\n"
                    "Max-Forwards: 8\n"
                    "To: sip:user@example.com\n"
                    "From: sip:caller@example.net;tag=8814\n"
                    "Call-ID: lwsstart.dfknq234oi243099adsdfnawe3@example.com\n"
                    "CSeq: 1893884 INVITE\n"
                    "Via: SIP/2.0/UDP host1.example.com;branch=z9hG4bKkdjuw3923\n"
                    "Contact: <sip:caller@host1.example.net>\n"
                    "Content-Type: application/sdp\n"
                    "Content-Length: 150\n\n") +
                   sdp150,
               4, 0, "RFC 4475 expects 400; several blanks between the request-line elements are accepted here",
               nullptr});

  t.push_back({"trws",
               crlf("OPTIONS sip:remote-target@example.com SIP/2.0  \n"
                    "Via: SIP/2.0/TCP host1.examle.com;branch=z9hG4bK299342093\n"
                    "To: <sip:remote-target@example.com>\n"
                    "From: <sip:local-resource@example.com>;tag=329429089\n"
                    "Call-ID: trws.oicu34958239neffasdhr2345r\n"
                    "Accept: application/sdp\n"
                    "CSeq: 238923 OPTIONS\n"
                    "Max-Forwards: 70\n"
                    "Content-Length: 0\n\n"),
               4, 0, "RFC 4475 expects 400; trailing blanks after the version are accepted here", nullptr});

  t.push_back({"escruri",
               crlf("INVITE sip:user@example.com?Route=%3Csip:example.com%3E SIP/2.0\n"
                    "To: sip:user@example.com\n"
                    "From: sip:caller@example.net;tag=341518\n"
                    "Max-Forwards: 7\n"
                    "Contact: <sip:caller@host39923.example.net>\n"
                    "Call-ID: escruri.23940-asdfhj-aje3br-234q098w-fawerh2q-h4n5\n"
                    "CSeq: 149209342 INVITE\n"
                    "Via: SIP/2.0/UDP host-of-the-hour.example.com;branch=z9hG4bKkdjuw\n"
                    "Content-Type: application/sdp\n"
                    "Content-Length: 150\n\n") +
                   sdp150,
               19, 0,
               "RFC 4475 expects 400; URI headers above 20 bytes make the Request-URI malformed, "
               "which gets no answer",
               nullptr});

  t.push_back({"baddate",
               crlf("INVITE sip:user@example.com SIP/2.0\n"
                    "To: sip:user@example.com\n"
                    "From: sip:caller@example.net;tag=2234923\n"
                    "Max-Forwards: 70\n"
                    "Call-ID: baddate.239423mnsadf3j23lj42--sedfnm234\n"
                    "CSeq: 1392934 INVITE\n"
                    "Via: SIP/2.0/UDP host.example.com;branch=z9hG4bKkdjuw\n"
                    "Date: Fri, 01 Jan 2010 16:00:00 EST\n"
                    "Contact: <sip:caller@host5.example.net>\n"
                    "Content-Type: application/sdp\n"
                    "Content-Length: 150\n\n") +
                   sdp150,
               4, 0, nullptr, [] { EXPECT_EQ(count(sip_header_id::date), 1u); }});

  t.push_back({"regbadct",
               crlf("REGISTER sip:example.com SIP/2.0\n"
                    "To: sip:user@example.com\n"
                    "From: sip:user@example.com;tag=998332\n"
                    "Max-Forwards: 70\n"
                    "Call-ID: regbadct.k345asrl3fdbv@10.0.0.1\n"
                    "CSeq: 1 REGISTER\n"
                    "Via: SIP/2.0/UDP 135.180.130.133:5060;branch=z9hG4bKkdjuw\n"
                    "Contact: sip:user@example.com?Route=%3Csip:sip.example.com%3E\n"
                    "l: 0\n\n"),
               4, 0, "RFC 4475 expects 400; the Contact is dropped (cause 19)",
               [] { EXPECT_EQ(count(sip_header_id::contact), 0u); }});

  t.push_back({"badaspec",
               crlf("OPTIONS sip:user@example.org SIP/2.0\n"
                    "Via: SIP/2.0/UDP host4.example.com:5060;branch=z9hG4bKkdju43234\n"
                    "Max-Forwards: 70\n"
                    "From: \"Bell, Alexander\" <sip:a.g.bell@example.com>;tag=433423\n"
                    "To: \"Watson, Thomas\" < sip:t.watson@example.org >\n"
                    "Call-ID: badaspec.sdf0234n2nds0a099u23h3hnnw009cdkne3\n"
                    "Accept: application/sdp\n"
                    "CSeq: 3923239 OPTIONS\n"
                    "l: 0\n\n"),
               4, 0, "RFC 4475 expects 400; the To header is dropped (cause 19)", [] {
                 EXPECT_EQ(count(sip_header_id::to), 0u);
                 EXPECT_EQ(str_of(sip_hdr_area.from.display), "Bell, Alexander");
               }});

  t.push_back({"baddn",
               crlf("OPTIONS sip:t.watson@example.org SIP/2.0\n"
                    "Via:     SIP/2.0/UDP c.example.com:5060;branch=z9hG4bKkdjuw\n"
                    "Max-Forwards:      70\n"
                    "From:    Bell, Alexander <sip:a.g.bell@example.com>;tag=43\n"
                    "To:      Watson, Thomas <sip:t.watson@example.org>\n"
                    "Call-ID: baddn.31415@c.example.com\n"
                    "Accept: application/sdp\n"
                    "CSeq:    3923239 OPTIONS\n"
                    "l: 0\n\n"),
               4, 0, "RFC 4475 expects 400; From and To are dropped (cause 19)", [] {
                 EXPECT_EQ(count(sip_header_id::from), 0u);
                 EXPECT_EQ(count(sip_header_id::to), 0u);
               }});

  t.push_back({"badvers",
               crlf("OPTIONS sip:t.watson@example.org SIP/7.0\n"
                    "Via:     SIP/7.0/UDP c.example.com;branch=z9hG4bKkdjuw\n"
                    "Max-Forwards:     70\n"
                    "From:    A. Bell <sip:a.g.bell@example.com>;tag=qweoiqpe\n"
                    "To:      T. Watson <sip:t.watson@example.org>\n"
                    "Call-ID: badvers.31417@c.example.com\n"
                    "CSeq:    1 OPTIONS\n"
                    "l: 0\n\n"),
               19, 0, "RFC 4475 expects 505; another version is a malformed request line here (no answer)", nullptr});

  t.push_back({"mismatch01",
               crlf("OPTIONS sip:user@example.com SIP/2.0\n"
                    "To: sip:j.user@example.com\n"
                    "From: sip:caller@example.net;tag=34525\n"
                    "Max-Forwards: 6\n"
                    "Call-ID: mismatch01.dj0234sxdfl3\n"
                    "CSeq: 8 INVITE\n"
                    "Via: SIP/2.0/UDP host.example.com;branch=z9hG4bKkdjuw\n"
                    "l: 0\n\n"),
               3, 400, nullptr, nullptr});

  t.push_back({"mismatch02",
               crlf("NEWMETHOD sip:user@example.com SIP/2.0\n"
                    "To: sip:j.user@example.com\n"
                    "From: sip:caller@example.net;tag=34525\n"
                    "Max-Forwards: 6\n"
                    "Call-ID: mismatch02.dj0234sxdfl3\n"
                    "CSeq: 8 INVITE\n"
                    "Contact: <sip:caller@host.example.net>\n"
                    "Via: SIP/2.0/UDP host.example.net;branch=z9hG4bKkdjuw\n"
                    "Content-Type: application/sdp\n"
                    "l: 138\n\n"
                    "v=0\no=mhandley 29739 7272939 IN IP4 192.0.2.1\nc=IN IP4 192.0.2.1\nm=audio 49217 RTP/AVP 0 12\n"
                    "m=video 3227 RTP/AVP 31\na=rtpmap:31 LPC\n"),
               3, 501, nullptr, nullptr});

  t.push_back({"bigcode",
               crlf("SIP/2.0 4294967301 better not break the receiver\n"
                    "Via: SIP/2.0/UDP 192.0.2.105;branch=z9hG4bK2398ndaoe\n"
                    "Call-ID: bigcode.asdof3uj203asdnf3429uasdhfas3ehjasdfas9i\n"
                    "CSeq: 353494 INVITE\n"
                    "From: <sip:user@example.com>;tag=39ansfi3\n"
                    "To: <sip:user@example.edu>;tag=902jndnke3\n"
                    "Content-Length: 0\n"
                    "Contact: <sip:user@host105.example.com>\n\n"),
               3, 0, nullptr, nullptr});

  t.push_back({"insuf",
               crlf("INVITE sip:user@example.com SIP/2.0\n"
                    "CSeq: 193942 INVITE\n"
                    "Via: SIP/2.0/UDP 192.0.2.95;branch=z9hG4bKkdj.insuf\n"
                    "Content-Type: application/sdp\n"
                    "l: 150\n\n") +
                   sdp150,
               4, 0,
               "RFC 4475 expects 400; the missing Call-ID, From and To are found by the mandatory-header check "
               "of the primitive codec, not here",
               [] { EXPECT_EQ(count(sip_header_id::call_id), 0u); }});

  t.push_back({"unksm",
               crlf("OPTIONS nobodyKnowsThisScheme:totallyopaquecontent SIP/2.0\n"
                    "To: sip:user@example.com\n"
                    "From: sip:caller@example.net;tag=384\n"
                    "Max-Forwards: 3\n"
                    "Call-ID: unksm.smf9823rn25xyz7@host.example.com\n"
                    "CSeq: 3923423 OPTIONS\n"
                    "Via: SIP/2.0/TCP host9.example.net;branch=z9hG4bKkdjuw39234\n"
                    "Content-Length: 0\n\n"),
               4, 0, "RFC 4475 expects 416 from a UAS; the scheme is kept as an opaque URI for it to decide", [] {
                 EXPECT_EQ(sip_hdr_area.request_line.scheme, 0);
                 EXPECT_EQ(str_of(sip_hdr_area.request_line.host), "nobodyKnowsThisScheme:totallyopaquecontent");
               }});

  t.push_back({"unksm2",
               crlf("REGISTER sip:example.com SIP/2.0\n"
                    "To: isbn:2983792873\n"
                    "From: <http://www.example.com>;tag=3234233\n"
                    "Call-ID: unksm2.daksdj@hyphenated-host.example.com\n"
                    "CSeq: 234902 REGISTER\n"
                    "Max-Forwards: 70\n"
                    "Via: SIP/2.0/UDP 192.0.2.21:5060;branch=z9hG4bKkdjuw\n"
                    "Contact: <name:John_Smith>\n"
                    "l: 0\n\n"),
               4, 0, nullptr, [] {
                 EXPECT_EQ(str_of(sip_hdr_area.to.addr.host), "isbn:2983792873");
                 EXPECT_EQ(count(sip_header_id::from), 1u);
                 EXPECT_EQ(count(sip_header_id::contact), 1u);
               }});

  t.push_back({"zeromf",
               crlf("OPTIONS sip:user@example.com SIP/2.0\n"
                    "To: sip:user@example.com\n"
                    "From: sip:caller@example.net;tag=3ghsd41\n"
                    "Call-ID: zeromf.jfasdlfnm2o2l43r5u0asdfas\n"
                    "CSeq: 39234321 OPTIONS\n"
                    "Via: SIP/2.0/UDP host1.example.com;branch=z9hG4bKkdjuw2349i\n"
                    "Max-Forwards: 0\n"
                    "Content-Length: 0\n\n"),
               4, 0, nullptr, [] { EXPECT_EQ(sip_hdr_area.max_forwards.value, 0u); }});

  t.push_back({"cparam01",
               crlf("REGISTER sip:example.com SIP/2.0\n"
                    "Via: SIP/2.0/UDP saturn.example.com:5060;branch=z9hG4bKkdjuw\n"
                    "Max-Forwards: 70\n"
                    "From: sip:watson@example.com;tag=DkfVgjkrtMwaerKKpe\n"
                    "To: sip:watson@example.com\n"
                    "Call-ID: cparam01.70710@saturn.example.com\n"
                    "CSeq: 2 REGISTER\n"
                    "Contact: sip:+19725552222@gw1.example.net;unknownparam\n"
                    "l: 0\n\n"),
               4, 0, nullptr, [] {
                 // Without angle brackets the parameter belongs to the header.
                 EXPECT_EQ(str_of(sip_hdr_area.contact[0].na.params_other), "unknownparam");
                 EXPECT_EQ(sip_hdr_area.contact[0].na.addr.params_other.len, 0);
               }});

  t.push_back({"regescrt",
               crlf("REGISTER sip:example.com SIP/2.0\n"
                    "To: sip:user@example.com\n"
                    "From: sip:user@example.com;tag=8\n"
                    "Max-Forwards: 70\n"
                    "Call-ID: regescrt.k345asrl3fdbv@192.0.2.1\n"
                    "CSeq: 14398234 REGISTER\n"
                    "Via: SIP/2.0/UDP host5.example.com;branch=z9hG4bKkdjuw\n"
                    "M: <sip:user@example.com?Route=%3Csip:sip.example.com%3E>\n"
                    "L:0\n\n"),
               4, 0, "URI headers are limited to 20 bytes here, so the Contact is dropped",
               [] { EXPECT_EQ(count(sip_header_id::contact), 0u); }});

  t.push_back({"ipv6-good",
               crlf("REGISTER sip:[2001:db8::10] SIP/2.0\n"
                    "To: sip:user@example.com\n"
                    "From: sip:user@example.com;tag=81x2\n"
                    "Via: SIP/2.0/UDP [2001:db8::9:1];branch=z9hG4bKas3-111\n"
                    "Call-ID: SSG9559905523997077@hlau_4100\n"
                    "Max-Forwards: 70\n"
                    "Contact: \"Caller\" <sip:caller@[2001:db8::1]>\n"
                    "CSeq: 98176 REGISTER\n"
                    "Content-Length: 0\n\n"),
               19, 0, "IPv6 references are not supported: the Request-URI is malformed here (no answer)", nullptr});

  return t;
}

}  // namespace sip_torture
