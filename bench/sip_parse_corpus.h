// The parser benchmark's corpus: typical messages of a fax call (INVITE with
// a T.38 offer, 200 OK with the answer, ACK, BYE, REGISTER with credentials).
// Shared by the parser and primitive codec benchmarks and the codec's tests.
#pragma once

#include <string>
#include <vector>

namespace sip_bench {

inline std::string crlf(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

inline const std::string t38_sdp = crlf(
    "v=0\no=tessaly 2890844526 2890844526 IN IP4 192.0.2.10\ns=-\nc=IN IP4 192.0.2.10\nt=0 0\n"
    "m=image 40000 udptl t38\na=T38FaxVersion:0\na=T38MaxBitRate:14400\na=T38FaxRateManagement:transferredTCF\n"
    "a=T38FaxMaxBuffer:262\na=T38FaxMaxDatagram:176\na=T38FaxUdpEC:t38UDPRedundancy\n");

inline std::vector<std::string> corpus() {
  std::vector<std::string> m;
  m.push_back(crlf("INVITE sip:+4930123456@gw.example.net;user=phone SIP/2.0\n"
                   "Via: SIP/2.0/UDP 192.0.2.10:5060;branch=z9hG4bK-3A7F-1;rport\n"
                   "Max-Forwards: 70\n"
                   "From: \"Fax Server\" <sip:fax@192.0.2.10>;tag=4F2A\n"
                   "To: <sip:+4930123456@gw.example.net;user=phone>\n"
                   "Call-ID: 5b1c2d3e4f@192.0.2.10\n"
                   "CSeq: 1 INVITE\n"
                   "Contact: <sip:fax@192.0.2.10:5060>\n"
                   "Allow: INVITE, ACK, OPTIONS, BYE, CANCEL\n"
                   "Supported: timer\n"
                   "User-Agent: Tessaly/1.0\n"
                   "Content-Type: application/sdp\n"
                   "Content-Length: " +
                   std::to_string(t38_sdp.size()) + "\n\n") +
              t38_sdp);
  m.push_back(crlf("SIP/2.0 200 OK\n"
                   "Via: SIP/2.0/UDP 192.0.2.10:5060;branch=z9hG4bK-3A7F-1;rport=5060;received=192.0.2.10\n"
                   "Record-Route: <sip:proxy.example.net;lr>\n"
                   "From: \"Fax Server\" <sip:fax@192.0.2.10>;tag=4F2A\n"
                   "To: <sip:+4930123456@gw.example.net;user=phone>;tag=as7d8f\n"
                   "Call-ID: 5b1c2d3e4f@192.0.2.10\n"
                   "CSeq: 1 INVITE\n"
                   "Contact: <sip:+4930123456@198.51.100.7:5060>\n"
                   "Server: Gateway/2.3 (T.38)\n"
                   "Content-Type: application/sdp\n"
                   "Content-Length: " +
                   std::to_string(t38_sdp.size()) + "\n\n") +
              t38_sdp);
  m.push_back(
      crlf("ACK sip:+4930123456@198.51.100.7:5060 SIP/2.0\n"
           "Via: SIP/2.0/UDP 192.0.2.10:5060;branch=z9hG4bK-3A80-2\n"
           "Route: <sip:proxy.example.net;lr>\n"
           "Max-Forwards: 70\n"
           "From: \"Fax Server\" <sip:fax@192.0.2.10>;tag=4F2A\n"
           "To: <sip:+4930123456@gw.example.net;user=phone>;tag=as7d8f\n"
           "Call-ID: 5b1c2d3e4f@192.0.2.10\n"
           "CSeq: 1 ACK\n"
           "Content-Length: 0\n\n"));
  m.push_back(
      crlf("BYE sip:fax@192.0.2.10:5060 SIP/2.0\n"
           "Via: SIP/2.0/UDP 198.51.100.7:5060;branch=z9hG4bKbye77\n"
           "Max-Forwards: 70\n"
           "From: <sip:+4930123456@gw.example.net;user=phone>;tag=as7d8f\n"
           "To: \"Fax Server\" <sip:fax@192.0.2.10>;tag=4F2A\n"
           "Call-ID: 5b1c2d3e4f@192.0.2.10\n"
           "CSeq: 102 BYE\n"
           "Reason: Q.850;cause=16;text=\"Normal call clearing\"\n"
           "Content-Length: 0\n\n"));
  m.push_back(
      crlf("REGISTER sip:registrar.example.net SIP/2.0\n"
           "Via: SIP/2.0/UDP 192.0.2.10:5060;branch=z9hG4bK-3A81-3;rport\n"
           "Max-Forwards: 70\n"
           "From: <sip:fax@registrar.example.net>;tag=77C1\n"
           "To: <sip:fax@registrar.example.net>\n"
           "Call-ID: reg-0001@192.0.2.10\n"
           "CSeq: 2 REGISTER\n"
           "Contact: <sip:fax@192.0.2.10:5060>;expires=3600\n"
           "Authorization: Digest username=\"fax\", realm=\"registrar.example.net\", "
           "nonce=\"ea9c8e88df84f1cec4341ae6cbe5a359\", uri=\"sip:registrar.example.net\", "
           "response=\"5c0b5a5f2d0f6e4b1e4b4b5c6d7e8f90\", algorithm=MD5, cnonce=\"0a4f113b\", "
           "qop=auth, nc=00000001\n"
           "Expires: 3600\n"
           "Content-Length: 0\n\n"));
  return m;
}

}  // namespace sip_bench
