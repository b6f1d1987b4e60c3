// RFC 4475 torture messages that our parser can judge on its own, each with
// the parser's result, the answer it asks for and what it reports.  The
// request-line and header rules are those of the parser: blanks between the
// request-line elements and after the version are read; a malformed request
// line is reported to the receive loop and not answered; a header that does
// not parse is dropped and reported (the receive loop then finds the request
// without its To); a response whose status line does not parse is dropped.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sip/text/sip_body.h"
#include "tests/sip/text/sip_parse_fixture.h"

namespace {

const std::string kSdp =
    "v=0\r\no=mhandley 29739 7272939 IN IP4 192.0.2.1\r\ns=-\r\nc=IN IP4 192.0.2.1\r\nt=0 0\r\nm=audio 49217 RTP/AVP "
    "0 12\r\nm=video 3227 RTP/AVP 31\r\na=rtpmap:31 LPC\r\n";

std::string with_sdp(const std::string& head) {
  return head + "Content-Type: application/sdp\r\nContent-Length: " + std::to_string(kSdp.size()) + "\r\n\r\n" + kSdp;
}

std::string reports_of(const sip_parse_run& run) {
  std::string out;
  for (const auto& r : run.reports) out += "(" + std::to_string(r.first) + "," + std::to_string(r.second) + ")";
  return out;
}

TEST(SipParseTorture, MessagesOfRfc4475) {
  struct Case {
    const char* name;
    std::string text;
    unsigned result;
    unsigned response;
    const char* reports;
    const char* why;
  };
  const Case cases[] = {
      {"quotbal",
       with_sdp("INVITE sip:user@example.com SIP/2.0\r\nTo: \"Mr. J. User <sip:j.user@example.com>\r\nFrom: "
                "sip:caller@example.net;tag=93334\r\nMax-Forwards: 10\r\nCall-ID: quotbal.aksdj\r\nContact: "
                "<sip:caller@host59.example.net>\r\nCSeq: 53715 INVITE\r\nVia: SIP/2.0/UDP "
                "192.0.2.15;branch=z9hG4bKkdjuw\r\n"),
       4, 0, "(19,56)", "the unterminated quote fails To: dropped, and the request lacks a To to answer"},
      {"lwsruri",
       with_sdp("INVITE sip:user@example.com; lr SIP/2.0\r\nTo: sip:user@example.com;tag=3xfe-9921883-z9f\r\nFrom: "
                "sip:caller@example.net;tag=231413434\r\nMax-Forwards: 5\r\nCall-ID: "
                "lwsruri.asdfasdoeoi2323-asdfwrs\r\nCSeq: 23 INVITE\r\nVia: SIP/2.0/UDP "
                "192.0.2.1:5060;branch=z9hG4bKkdjuw2395\r\nContact: <sip:caller@host1.example.net>\r\n"),
       19, 0, "(19,1)", "a blank inside the Request-URI: malformed request line, reported, not answered"},
      {"lwsstart",
       with_sdp("INVITE  sip:user@example.com  SIP/2.0\r\nMax-Forwards: 8\r\nTo: sip:user@example.com\r\nFrom: "
                "sip:caller@example.net;tag=8814\r\nCall-ID: lwsstart.dfknq234oi243099adsdfnawe3@example.com\r\nCSeq: "
                "1893884 INVITE\r\nVia: SIP/2.0/UDP host1.example.com;branch=z9hG4bKkdjuw3923\r\nContact: "
                "<sip:caller@host1.example.net>\r\n"),
       4, 0, "", "several blanks between the request-line elements are read"},
      {"trws",
       "OPTIONS sip:remote-target@example.com SIP/2.0  \r\nVia: SIP/2.0/TCP "
       "host1.example.com;branch=z9hG4bK299342093\r\nTo: <sip:remote-target@example.com>\r\nFrom: "
       "<sip:local-resource@example.com>;tag=329429089\r\nCall-ID: trws.oicu34958239neffasdhr2345r\r\nAccept: "
       "application/sdp\r\nCSeq: 238923 OPTIONS\r\nMax-Forwards: 70\r\nContent-Length: 0\r\n\r\n",
       4, 0, "", "blanks after the version are read"},
      {"escruri",
       "INVITE sip:user@example.com?Route=%3Csip:example.com%3E SIP/2.0\r\nTo: sip:user@example.com\r\nFrom: "
       "sip:caller@example.net;tag=341518\r\nMax-Forwards: 7\r\nContact: "
       "<sip:caller@host39923.example.net>\r\nCall-ID: escruri.23940-asdfhj-aje3br-234q098w-fawerh2q-h4n5\r\nCSeq: "
       "149209342 INVITE\r\nVia: SIP/2.0/UDP host-of-the-caller.example.net;branch=z9hG4bKkdjuw\r\nContent-Length: "
       "0\r\n\r\n",
       19, 0, "(19,1)", "escaped headers in the Request-URI: malformed request line"},
      {"badaspec",
       "OPTIONS sip:user@example.org SIP/2.0\r\nVia: SIP/2.0/UDP "
       "host4.example.com:5060;branch=z9hG4bKkdju43234\r\nMax-Forwards: 70\r\nFrom: \"Bell, Alexander\" "
       "<sip:a.g.bell@example.com>;tag=433423\r\nTo: \"Watson, Thomas\" < sip:t.watson@example.org >\r\nCall-ID: "
       "badaspec.sdf0234n2nds0a099u23h3hnnw009cdkne3\r\nAccept: application/sdp\r\nCSeq: 3923239 OPTIONS\r\nl: "
       "0\r\n\r\n",
       4, 0, "(19,56)", "blanks inside the addr-spec fail To"},
      {"badvers",
       "OPTIONS sip:t.watson@example.org SIP/7.0\r\nVia:     SIP/7.0/UDP "
       "c.example.com;branch=z9hG4bKkdjuw\r\nMax-Forwards:     70\r\nFrom:    A. Bell "
       "<sip:a.g.bell@example.com>;tag=qweoiqpe\r\nTo:      T. Watson <sip:t.watson@example.org>\r\nCall-ID: "
       "badvers.31417@c.example.com\r\nCSeq:    1 OPTIONS\r\nl: 0\r\n\r\n",
       19, 0, "(19,1)", "version 7.0: malformed request line"},
      {"bigcode",
       "SIP/2.0 4294967301 better not break the receiver\r\nVia: SIP/2.0/UDP "
       "192.0.2.105;branch=z9hG4bK2398ndaoe\r\nCall-ID: bigcode.asdof3uj203asdnf3429uasdhfas3ehjasdfas9i\r\nCSeq: "
       "353494 INVITE\r\nFrom: <sip:user@example.com>;tag=39ansfi3\r\nTo: "
       "<sip:user@example.edu>;tag=902jndnke3\r\nContent-Length: 0\r\nContact: <sip:user@host105.example.com>\r\n\r\n",
       3, 0, "(3,1)", "a status code of ten digits: the response is dropped"},
      {"unreason",
       with_sdp("SIP/2.0 200 = 2**3 * 5**2 \xd0\xbd\xd0\xbe \xd1\x81\xd1\x82\xd0\xbe "
                "\xd0\xb4\xd0\xb5\xd0\xb2\xd1\x8f\xd0\xbd\xd0\xbe\xd1\x81\xd1\x82\xd0\xbe "
                "\xd0\xb4\xd0\xb5\xd0\xb2\xd1\x8f\xd1\x82\xd1\x8c - "
                "\xd0\xbf\xd1\x80\xd0\xbe\xd1\x81\xd1\x82\xd0\xbe\xd0\xb5\r\nVia: SIP/2.0/UDP "
                "192.0.2.198;branch=z9hG4bK1324923\r\nCall-ID: unreason.1234ksdfak3j2erwedfsASdf\r\nCSeq: 35 "
                "INVITE\r\nFrom: sip:user@example.com;tag=11141343\r\nTo: sip:user@example.edu;tag=2229\r\nContact: "
                "<sip:user@host198.example.com>\r\n"),
       4, 0, "", "a reason phrase of UTF-8 text and symbols is read"},
  };
  for (const Case& c : cases) {
    sip_parse_run run;
    sip_parse_text(run, c.text, 1);
    EXPECT_EQ(run.result, c.result) << c.name << ": " << c.why;
    EXPECT_EQ(run.response(), c.response) << c.name << ": " << c.why;
    EXPECT_EQ(reports_of(run), c.reports) << c.name << ": " << c.why;
    sip_work__release();
  }
}

}  // namespace
