// The SIP text encoder's edge cases: header order per kind, list and
// one-line-per-instance headers, compact names, URIs, authentication
// values, bodies and Content-Length, buffer chains, failures that must send
// nothing, and the two response builders.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "sip/text/sip_branch.h"
#include "sip/prim/sip_elem_layout.h"
#include "tests/sip/prim/sip_encode_fixture.h"

using namespace sip_enc_test;

namespace {

const std::string kInvite = crlf(
    "INVITE sip:bob@example.com SIP/2.0\n"
    "Via: SIP/2.0/UDP 192.0.2.1:5060;branch=z9hG4bK-1\n"
    "Max-Forwards: 70\n"
    "To: <sip:bob@example.com>\n"
    "From: \"Alice\" <sip:alice@example.com>;tag=88\n"
    "Call-ID: abc@192.0.2.1\n"
    "CSeq: 1 INVITE\n"
    "Content-Length: 0\n\n");

std::string with_headers(const std::string& extra) {
  std::string t = kInvite;
  t.insert(t.find("Content-Length"), crlf(extra));
  return t;
}

std::size_t at(const std::string& text, const std::string& what) { return text.find(what); }

// The text after `lead` up to the line end ("" when `lead` is absent).
std::string value_after(const std::string& text, const std::string& lead) {
  const std::size_t p = text.find(lead);
  if (p == std::string::npos) return "";
  const std::size_t from = p + lead.size();
  return text.substr(from, text.find("\r\n", from) - from);
}

bool upper_hex(const std::string& s, std::size_t min, std::size_t max) {
  return s.size() >= min && s.size() <= max &&
         std::all_of(s.begin(), s.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); });
}

class SipEncode : public SipEncodeTest {};

}  // namespace

// ---------------------------------------------------------------------------
// Order, shapes and names

TEST_F(SipEncode, HeadersFollowTheKindsTable) {
  sip_parse_run run;
  const std::string out = reencode(run, with_headers("Accept: application/sdp\nWarning: 399 h \"x\"\n"));
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(out.rfind("INVITE sip:bob@example.com SIP/2.0\r\nAccept: application/sdp\r\n", 0), 0u) << out;
  EXPECT_LT(at(out, "Accept:"), at(out, "Max-Forwards:"));
  EXPECT_LT(at(out, "To:"), at(out, "Via:"));
  EXPECT_EQ(at(out, "Warning"), std::string::npos) << "not in the INVITE table";
  EXPECT_EQ(out.substr(out.size() - 21), "Content-Length: 0\r\n\r\n");
}

TEST_F(SipEncode, MessagesWithoutBodyRowsEndWithAnEmptyBody) {
  sip_parse_run run;
  sip_parse_text(run, with_headers("Content-Type: text/plain\n"));
  sip_hdr_area.body[0].text = {7, "zq9body"};
  sip_hdr_area.count[62] = 1;  // CANCEL has no body rows: never written
  for (bool compact : {false, true}) {
    sip_encode_env.compact = compact;
    const std::string out = encode('E');
    EXPECT_EQ(out.rfind("CANCEL sip:bob@example.com SIP/2.0\r\n", 0), 0u) << out;
    const std::string tail = compact ? "\r\nl: 0\r\n\r\n" : "\r\nContent-Length: 0\r\n\r\n";
    EXPECT_EQ(out.substr(out.size() - tail.size()), tail) << out;
    EXPECT_EQ(at(out, "Content-Type"), std::string::npos);
    EXPECT_EQ(at(out, "zq9body"), std::string::npos);
  }
}

TEST_F(SipEncode, ListsAndLinesPerInstance) {
  sip_parse_run run;
  std::string out = reencode(run, with_headers("Accept: application/sdp, text/plain\n"
                                               "Via: SIP/2.0/UDP h2;branch=z9hG4bK-2\n"
                                               "Via: SIP/2.0/TCP h3:5070;branch=z9hG4bK-3;rport\n"
                                               "Supported: timer, 100rel\n"));
  EXPECT_NE(at(out, "Accept: application/sdp,text/plain\r\n"), std::string::npos) << out;
  EXPECT_NE(at(out, "Supported: timer,100rel\r\n"), std::string::npos);
  const std::size_t v1 = at(out, "Via: SIP/2.0/UDP 192.0.2.1:5060;branch=z9hG4bK-1\r\n");
  const std::size_t v2 = at(out, "Via: SIP/2.0/UDP h2;branch=z9hG4bK-2\r\n");
  const std::size_t v3 = at(out, "Via: SIP/2.0/TCP h3:5070;rport;branch=z9hG4bK-3\r\n");
  ASSERT_NE(v1, std::string::npos);
  EXPECT_LT(v1, v2);
  EXPECT_LT(v2, v3) << out;

  out = reencode(run, run.buf.empty() ? std::string() : std::string(run.buf.begin(), run.buf.end()), true);
  EXPECT_EQ(at(out, "\r\nVia:"), std::string::npos);
  EXPECT_NE(at(out, "\r\nv: SIP/2.0/TCP h3:5070"), std::string::npos) << out;
  EXPECT_NE(at(out, "\r\nf: \"Alice\" <sip:alice@example.com>;tag=88\r\n"), std::string::npos);
  EXPECT_NE(at(out, "\r\nk: timer,100rel\r\n"), std::string::npos);
  EXPECT_EQ(out.substr(out.size() - 10), "\r\nl: 0\r\n\r\n");
}

TEST_F(SipEncode, KindWithoutTableSendsNothing) {
  sip_parse_run run;
  sip_parse_text(run, kInvite);
  std::uint8_t r = 0;
  EXPECT_EQ(encode('b', &r), "");
  EXPECT_EQ(r, SIP_ENCODE_NO_TABLE);
  EXPECT_EQ(encode('Q', &r), "");
  EXPECT_EQ(r, SIP_ENCODE_NO_TABLE);
}

TEST_F(SipEncode, HeaderValueTable) {
  struct Case {
    const char* in;   // header line(s) added to an INVITE
    const char* out;  // the line expected in the encoding
  } cases[] = {
      {"Date: Sat, 13 Nov 2010 23:29:00 GMT\n", "Date: Sat, 13 Nov 2010 23:29:00 GMT\r\n"},
      {"Authorization: Digest username=\"bob\"\n", "Authorization: Digest username=\"bob\"\r\n"},
      {"Authorization: Digest username=\"b\", realm=\"r\", nonce=\"n\", uri=\"sip:x\", response=\"0a\", "
       "algorithm=MD5, cnonce=\"c\", opaque=\"o\", qop=auth, nc=0000000A\n",
       "Authorization: Digest username=\"b\",realm=\"r\",nonce=\"n\",uri=\"sip:x\",response=\"0a\","
       "algorithm=MD5,cnonce=\"c\",opaque=\"o\",qop=auth,nc=0000000a\r\n"},
      {"Authorization: Basic QWxhZGRpbjpvcGVu\n", "Authorization: Basic QWxhZGRpbjpvcGVu\r\n"},
      {"Replaces: 12@h.example;early-only\n", "Replaces: 12@h.example;from-tag=0;to-tag=0;early-only\r\n"},
      {"Replaces: 12@10.0.0.1;to-tag=a;from-tag=b\n", "Replaces: 12@10.0.0.1;from-tag=b;to-tag=a\r\n"},
      {"Privacy: id\n", "Privacy: id\r\n"},
      {"Contact: \"A \\\"q\\\" B\" <sip:a@h;transport=tcp;lr>;expires=60\n",
       "Contact: \"A \\\"q\\\" B\"<sip:a@h;transport=tcp>;expires=60\r\n"},
      {"Contact: *\n", "Contact: *\r\n"},
      {"Record-Route: <sip:p1.example;lr>;x=1\n", "Record-Route: <sip:p1.example;lr>;x=1\r\n"},
      {"Route: Proxy <sip:p1.example;lr;method=INVITE?h=1>\n", "Route: Proxy<sip:p1.example;method=INVITE;lr?h=1>\r\n"},
      {"Session-Expires: 1800;refresher=uac\n", "Session-Expires: 1800;refresher=uac\r\n"},
      {"Timestamp: 54.25 1.5\n", "Timestamp: 54.25 1.5\r\n"},
      {"User-Agent: Tessaly/1.0 (fax) Other\n", "User-Agent: Tessaly/1.0 (fax) Other\r\n"},
      {"Reason: Q.850;cause=16;text=\"Normal\"\n", "Reason: q.850;cause=16;text=\"Normal\"\r\n"},
      {"Diversion: <sip:x@h>;reason=user-busy;counter=2;screen=no\n",
       "Diversion: <sip:x@h>;reason=user-busy;counter=2;screen=no\r\n"},
      {"Referred-By: <sip:r@h>;cid=\"x@y\"\n", "Referred-By: <sip:r@h>;cid=\"x@y\"\r\n"},
      {"Content-Type: application/sdp\n", "Content-Type: application/sdp\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    sip_parse_run run;
    const std::string out = reencode(run, with_headers(c.in));
    EXPECT_NE(at(out, c.out), std::string::npos) << out;
  }
}

TEST_F(SipEncode, ChallengesAndAuthenticationInfo) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"WWW-Authenticate: Basic realm=\"r\"\n", "WWW-Authenticate: Basic realm=\"r\"\r\n"},
      {"WWW-Authenticate: Digest realm=\"r\", domain=\"d\", nonce=\"n\", stale=FALSE, algorithm=MD5, "
       "qop=\"auth,auth-int\"\n",
       "WWW-Authenticate: Digest realm=\"r\",domain=\"d\",nonce=\"n\",stale=false,algorithm=MD5,"
       "qop=\"auth,auth-int\"\r\n"},
      {"Authentication-Info: nextnonce=\"x\", qop=auth, nc=00000010\n",
       "Authentication-Info: nextnonce=\"x\",qop=auth,nc=00000010\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    sip_parse_run run;
    std::string text = crlf(
        "SIP/2.0 401 Unauthorized\nVia: SIP/2.0/UDP h;branch=z9hG4bK-1\nTo: <sip:b@h>;tag=1\n"
        "From: <sip:a@h>;tag=2\nCall-ID: x\nCSeq: 1 INVITE\n");
    text += crlf(c.in) + "Content-Length: 0\r\n\r\n";
    const std::string out = reencode(run, text);
    EXPECT_NE(at(out, c.out), std::string::npos) << out;
  }
}

TEST_F(SipEncode, ViaRportAndMadeBranch) {
  sip_branch__seed(0x41);
  sip_parse_run run;
  std::string out = reencode(run, crlf("OPTIONS sip:h SIP/2.0\nVia: SIP/2.0/UDP h;rport\nVia: SIP/2.0/UDP g\n"
                                       "To: <sip:b@h>\nFrom: <sip:a@h>;tag=2\nCall-ID: x\nCSeq: 1 OPTIONS\n\n"));
  const std::string made = value_after(out, "Via: SIP/2.0/UDP h;rport;branch=");
  ASSERT_EQ(made.rfind("z9hG4bK-", 0), 0u) << out;
  ASSERT_EQ(made.substr(made.size() - 3), "-41") << out;
  EXPECT_TRUE(upper_hex(made.substr(8, made.size() - 11), 1, 4)) << made;
  EXPECT_NE(at(out, "Via: SIP/2.0/UDP g\r\n"), std::string::npos) << "only the first Via gets a branch";
  // The instance keeps the made branch, in work memory that outlives the
  // output lines.
  EXPECT_EQ(str(sip_hdr_area.via[0].branch), made);
  out = encode('C');
  EXPECT_NE(at(out, made), std::string::npos) << "the kept branch is sent again";
  sip_hdr_area.via[0].branch = {};
  out = encode('C');
  EXPECT_NE(at(out, ";branch=z9hG4bK-"), std::string::npos);
  EXPECT_NE(at(out, "-42\r\n"), std::string::npos) << "the counter moved on";
  // A response never gets one.
  sip_hdr_area.via[0].branch = {};
  sip_hdr_area.status_line = {200, {2, "OK"}};
  sip_hdr_area.count[2] = 1;
  out = encode('c');
  EXPECT_NE(at(out, "Via: SIP/2.0/UDP h;rport\r\n"), std::string::npos) << out;
}

// ---------------------------------------------------------------------------
// URIs

TEST_F(SipEncode, UriForms) {
  sip_parse_run run;
  sip_parse_text(run, kInvite);
  const char ip[] = {10, 0, 0, 1};
  struct Case {
    std::function<void(sip_addr&)> set;
    const char* request_line;
  } cases[] = {
      {[&](sip_addr& a) {
         a.host = {};
         a.ipv4 = {4, ip};
       },
       "INVITE sip:bob@10.0.0.1 SIP/2.0\r\n"},
      {[&](sip_addr& a) {
         a.host = {};
         a.ipv4 = {4, ip};
         a.port = 5060;
       },
       "INVITE sip:bob@10.0.0.1:5060 SIP/2.0\r\n"},
      {[](sip_addr& a) {
         a.user = {};
         a.user_param = 'P';
         a.global = 1;
         a.phone_number = {4, "1234"};
         a.isub = {2, "77"};
       },
       "INVITE sip:+1234;isub=77@example.com;user=phone SIP/2.0\r\n"},
      {[](sip_addr& a) { a.user = {}; }, "INVITE sip:example.com SIP/2.0\r\n"},
      {[](sip_addr& a) {
         a.scheme = 0;
         a.params_other = {1, "x"};
       },
       "INVITE bob@example.com;x SIP/2.0\r\n"},
      {[](sip_addr& a) {
         a.lr = 1;
         a.method_param = 'A';
         a.headers = {3, "a=b"};
         a.transport = 'T';
         a.ttl = 5;
       },
       "INVITE sip:bob@example.com;transport=tcp;ttl=5 SIP/2.0\r\n"},
  };
  const sip_addr saved = sip_hdr_area.request_line;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request_line);
    sip_hdr_area.request_line = saved;
    c.set(sip_hdr_area.request_line);
    const std::string out = encode('A');
    EXPECT_EQ(out.rfind(c.request_line, 0), 0u) << out;
  }
}

TEST_F(SipEncode, AddressesAndDisplayNames) {
  sip_parse_run run;
  sip_parse_text(run, with_headers("Path: <sip:p@h>\n"));
  // Path is a REGISTER header: write the request as one.
  sip_hdr_area.path[0].addr.scheme = 0;
  sip_hdr_area.path[0].addr.user = {};
  sip_hdr_area.path[0].addr.host = {1, "*"};
  sip_hdr_area.to.display = {5, "B\"o\\b"};
  sip_hdr_area.to.quoted = 1;
  sip_hdr_area.from.quoted = 0;
  sip_hdr_area.from.display = {5, "Alice"};
  sip_hdr_area.cseq.method = 0xC6;
  const std::string out = encode('F');
  EXPECT_EQ(out.rfind("REGISTER sip:bob@example.com SIP/2.0\r\n", 0), 0u) << out;
  EXPECT_NE(at(out, "Path: *\r\n"), std::string::npos) << out;
  EXPECT_NE(at(out, "To: \"B\\\"o\\\\b\" <sip:bob@example.com>\r\n"), std::string::npos) << out;
  EXPECT_NE(at(out, "From: Alice <sip:alice@example.com>;tag=88\r\n"), std::string::npos) << out;
}

// ---------------------------------------------------------------------------
// Bodies

TEST_F(SipEncode, RawBodies) {
  struct Case {
    const char* headers;
    const char* body;
    const char* tail;  // end of the encoding
  } cases[] = {
      {"Content-Type: text/plain\n", "hello", "Content-Length: 5\r\n\r\nhello\r\n"},
      {"Content-Type: text/plain\nContent-Disposition: render\n", "hello", "Content-Length: 5\r\n\r\nhello"},
      {"Content-Type: text/plain\n", "line\r\n", "Content-Length: 4\r\n\r\nline\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.tail);
    std::string text = kInvite;
    text.replace(text.find("Content-Length: 0"), std::string::npos,
                 crlf(c.headers) + "Content-Length: " + std::to_string(std::strlen(c.body)) + "\r\n\r\n" + c.body);
    sip_parse_run run;
    const std::string out = reencode(run, text);
    ASSERT_GE(out.size(), std::strlen(c.tail));
    EXPECT_EQ(out.substr(out.size() - std::strlen(c.tail)), c.tail) << out;
  }
  // Zero length, and compact names.
  sip_parse_run run;
  std::string text = kInvite;
  text.replace(text.find("Content-Length: 0"), std::string::npos,
               "Content-Type: text/plain\r\nContent-Length: 0\r\n\r\n");
  sip_parse_text(run, text);
  sip_hdr_area.body[0].text = {0, ""};
  sip_hdr_area.count[62] = 1;
  sip_encode_env.compact = true;
  const std::string out = encode('A');
  EXPECT_EQ(out.substr(out.size() - 10), "\r\nl: 0\r\n\r\n") << out;
}

TEST_F(SipEncode, BodyWithoutContentTypeIsRefused) {
  sip_parse_run run;
  sip_parse_text(run, kInvite);
  sip_hdr_area.body[0].text = {5, "hello"};
  sip_hdr_area.count[62] = 1;
  std::uint8_t r = 0;
  EXPECT_EQ(encode('A', &r), "");
  EXPECT_EQ(r, SIP_RESULT_NOK);
  EXPECT_TRUE(sent().empty());
}

TEST_F(SipEncode, SdpBodies) {
  sip_parse_run run;
  sip_parse_text(run, kInvite);
  sip_prim_area = sip_prim_area_t{};
  // No line beyond "v=0": an empty body, not a wrapped length.
  sip_hdr_area.count[63] = 1;
  std::string out = encode('A');
  EXPECT_EQ(out.substr(out.size() - 21), "Content-Length: 0\r\n\r\n") << out;

  sdp_session& s = sip_prim_area.session;
  s.name = {1, "-"};
  s.start_time = {1, "0"};
  s.stop_time = {1, "0"};
  out = encode('A');
  const std::size_t blank = out.find("\r\n\r\n");
  ASSERT_NE(blank, std::string::npos);
  const std::string body = out.substr(blank + 4);
  EXPECT_EQ(body.rfind("v=0\r\n", 0), 0u) << out;
  EXPECT_NE(at(out, "Content-Length: " + std::to_string(body.size()) + "\r\n"), std::string::npos) << out;

  // Multipart without a boundary: the default boundary "-".
  sip_hdr_area.content_type[0] = sip_media_type_rec{};
  sip_hdr_area.content_type[0].type = 'M';
  sip_hdr_area.content_type[0].subtype = 'm';
  sip_hdr_area.content_type[0].base = SIP_CODE_NONE;
  sip_hdr_area.count[17] = 1;
  out = encode('A');
  const std::string mp = out.substr(out.find("\r\n\r\n") + 2);
  EXPECT_EQ(mp.rfind("\r\n\r\n---\r\nContent-Type: application/SDP\r\n\r\nv=0\r\n", 0), 0u) << out;
  EXPECT_EQ(mp.substr(mp.size() - 9), "\r\n-----\r\n") << out;
  EXPECT_NE(at(out, "Content-Length: " + std::to_string(mp.size() - 2) + "\r\n"), std::string::npos) << out;
}

TEST_F(SipEncode, MultipartRawParts) {
  sip_parse_run run;
  const std::string parts = "--zz\r\nContent-Type: text/plain\r\n\r\nabc\r\n--zz\r\n\r\ndef\r\n--zz--\r\n";
  const std::string text =
      kInvite.substr(0, kInvite.find("Content-Length")) +
      "Content-Type: multipart/mixed;boundary=\"zz\"\r\nContent-Length: " + std::to_string(parts.size()) + "\r\n\r\n" +
      parts;
  const std::string out = reencode(run, text);
  const std::string body = out.substr(out.find("\r\n\r\n") + 4);
  EXPECT_EQ(body, "--zz\r\nContent-Type: text/plain\r\n\r\nabc\r\n--zz\r\n\r\ndef\r\n--zz--\r\n") << out;
  EXPECT_NE(at(out, "Content-Length: " + std::to_string(body.size()) + "\r\n"), std::string::npos) << out;
}

// ---------------------------------------------------------------------------
// Buffers and failures

TEST_F(SipEncode, LinesPackIntoAChainOfWholeLines) {
  sip_parse_run run;
  sip_parse_text(run, kInvite);
  sip_encode_env.header_room = 40;
  // Long Via lines: more than one buffer of text.
  std::string params(500, 'p');
  for (unsigned i = 0; i < SIP_MAX_VIA; ++i) {
    sip_hdr_area.via[i] = sip_hdr_area.via[0];
    sip_hdr_area.via[i].params_other = {static_cast<std::uint16_t>(params.size()), params.c_str()};
  }
  sip_hdr_area.count[59] = SIP_MAX_VIA;
  std::uint8_t r = 0;
  const std::string out = encode('A', &r);
  ASSERT_FALSE(out.empty()) << int(r);
  const sent_message& m = sent().back();
  EXPECT_GE(m.buffers, 2u);
  EXPECT_EQ(m.first_offset, BUFFER_HEADER_SIZE + 40);
  // Every buffer ends on a line end.
  std::size_t pos = 0;
  for (std::uint16_t size : m.sizes) {
    pos += size;
    EXPECT_EQ(out.substr(pos - 2, 2), "\r\n");
  }
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 13);
}

TEST_F(SipEncode, WhatCannotBeWrittenIsNotSent) {
  sip_parse_run run;
  sip_parse_text(run, kInvite);
  const sip_hdr_area_t good = sip_hdr_area;
  std::string huge(1700, 'h');
  struct Case {
    const char* name;
    std::function<void()> set;
  } cases[] = {
      {"line longer than a buffer",
       [&] {
         sip_hdr_area.via[0].params_other = {1700, huge.c_str()};
       }},
      {"no start line", [] { sip_hdr_area.count[1] = 0; }},
      {"header room leaves no data room", [] { sip_encode_env.header_room = 1600; }},
      {"raw body larger than a buffer",
       [&] {
         sip_hdr_area.body[0].text = {1700, huge.c_str()};
         sip_hdr_area.count[62] = 1;
         sip_hdr_area.content_type[0] = sip_media_type_rec{};
         sip_hdr_area.content_type[0].base = SIP_CODE_NONE;
         sip_hdr_area.content_type[0].type = 'T';
         sip_hdr_area.content_type[0].subtype = 'p';
         sip_hdr_area.count[17] = 1;
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sip_hdr_area = good;
    sip_encode_env.header_room = 0;
    c.set();
    std::uint8_t r = 0;
    EXPECT_EQ(encode('A', &r), "");
    EXPECT_EQ(r, SIP_RESULT_NOK);
    EXPECT_EQ(held(), base_held);
  }
  // The pool runs dry part-way.
  sip_hdr_area = good;
  sip_encode_env.header_room = 0;
  std::vector<buffer_t*> hoard;
  for (buffer_t* b; (b = Alloc_buffer()) != nullptr;) hoard.push_back(b);
  for (int keep = 0; keep < 3; ++keep) {
    std::uint8_t r = 0;
    EXPECT_EQ(encode('A', &r), "");
    EXPECT_EQ(r, SIP_RESULT_NOK);
    if (!hoard.empty()) {
      Free_buffer(hoard.back());
      hoard.pop_back();
    }
  }
  for (buffer_t* b : hoard) Free_buffer(b);
  EXPECT_TRUE(sent().empty());
}

// ---------------------------------------------------------------------------
// Responses

TEST_F(SipEncode, StatelessResponses) {
  sip_parse_run run;
  sip_parse_text(run, kInvite);
  EXPECT_EQ(sip_build_response(501, "Not implemented", 0, 1), SIP_RESULT_OK);
  std::string out = sent().back().text;
  EXPECT_EQ(out.rfind("SIP/2.0 501 Not implemented\r\nAllow: INVITE,ACK,OPTIONS,BYE,CANCEL,REGISTER\r\n"
                      "Call-ID: abc@192.0.2.1\r\nCSeq: 1 INVITE\r\nFrom: \"Alice\" <sip:alice@example.com>;tag=88\r\n",
                      0),
            0u)
      << out;
  EXPECT_TRUE(upper_hex(value_after(out, "\r\nTo: <sip:bob@example.com>;tag="), 8, 8)) << out;
  EXPECT_EQ(out.substr(out.size() - 21), "Content-Length: 0\r\n\r\n");
  EXPECT_EQ(sent().back().code, SIP_SEND_DATAGRAM);
  // The work area is as the parser left it.
  EXPECT_EQ(sip_hdr_area.count[7], 0);
  EXPECT_EQ(sip_hdr_area.to.tag.len, 0);

  EXPECT_EQ(sip_build_response(503, "Service Unavailable", 30, 2), SIP_RESULT_OK);
  out = sent().back().text;
  EXPECT_NE(at(out, "\r\nRetry-After: 30\r\n"), std::string::npos) << out;
  EXPECT_EQ(at(out, "Allow"), std::string::npos);

  // A tag the request had is kept; a long reason is cut to 63 characters.
  sip_parse_text(run, crlf("BYE sip:a@h SIP/2.0\nVia: SIP/2.0/UDP h;branch=z9hG4bK-1\nTo: <tel:+1234>;tag=T1\n"
                           "From: <tel:+99>;tag=F\nCall-ID: c\nCSeq: 2 BYE\nRecord-Route: <sip:p;lr>\n\n"));
  const std::string reason(80, 'r');
  EXPECT_EQ(sip_build_response(481, reason.c_str(), 0, 0), SIP_RESULT_OK);
  out = sent().back().text;
  EXPECT_EQ(out.rfind("SIP/2.0 481 " + reason.substr(0, 63) + "\r\n", 0), 0u) << out;
  EXPECT_NE(at(out, "\r\nTo: <tel:+1234>;tag=T1\r\n"), std::string::npos) << out;
  EXPECT_NE(at(out, "\r\nFrom: <tel:+99>;tag=F\r\n"), std::string::npos) << out;
  EXPECT_NE(at(out, "\r\nRecord-Route: <sip:p;lr>\r\n"), std::string::npos) << out;
  sip_parse_run back;
  sip_parse_text(back, out);
  EXPECT_EQ(back.result, SIP_PARSE_DONE);
}

TEST_F(SipEncode, NoResponseWithoutTheHeadersThatRouteIt) {
  for (const char* drop : {"Via:", "To:", "From:", "Call-ID:", "CSeq:"}) {
    SCOPED_TRACE(drop);
    std::string text = kInvite;
    const std::size_t p = text.find(drop);
    text.erase(p, text.find("\r\n", p) + 2 - p);
    sip_parse_run run;
    sip_parse_text(run, text);
    EXPECT_EQ(sip_build_response(400, "Bad request", 0, 1), SIP_RESULT_NOK);
  }
  EXPECT_TRUE(sent().empty());
}

TEST_F(SipEncode, ParserRefusalsAreAnsweredThroughTheBuilder) {
  sip_parse_run run;
  sip_parse_text(run, kInvite);  // installs the fixture's hooks
  sip_parse_env.build_response = sip_build_response__for_parser;
  run.buf.assign(kInvite.begin(), kInvite.end());
  std::string text = kInvite;
  text.replace(0, 6, "NOTIFY");
  text.replace(text.find("1 INVITE"), 8, "1 NOTIFY");
  run.buf.assign(text.begin(), text.end());
  sip_parser parser;
  sip_parse__start(parser, run.buf.data(), run.buf.size());
  EXPECT_EQ(sip_parse_message(parser, 1), SIP_PARSE_REJECTED);
  ASSERT_EQ(sent().size(), 1u);
  EXPECT_EQ(sent().back().text.rfind("SIP/2.0 501 Not implemented\r\n", 0), 0u);
  EXPECT_NE(at(sent().back().text, "CSeq: 1 NOTIFY\r\n"), std::string::npos) << sent().back().text;
}

TEST_F(SipEncode, PendingResponseEchoesWholeVias) {
  sip_parse_run run;
  // Via values at the parser's limits.
  const std::string host(64, 'h'), branch = "z9hG4bK" + std::string(57, 'b'), other(512, 'o');
  sip_parse_text(run, crlf("INVITE sip:b@h SIP/2.0\nVia: SIP/2.0/UDP " + host + ";maddr=" + host + ";branch=" + branch +
                           ";" + other.substr(0, 510) +
                           "\nTo: <sip:b@h>\nFrom: <sip:a@h>;tag=1\n"
                           "Call-ID: c\nCSeq: 1 INVITE\n\n"));
  ASSERT_EQ(sip_hdr_area.count[59], 1);
  static sip_pending_request pending;
  pending.request_code = SIP_METHOD_INVITE;
  pending.to = sip_hdr_area.to.addr;
  pending.to_tag = {2, "TT"};
  pending.from = sip_hdr_area.from.addr;
  pending.from_tag = {2, "FF"};
  sip_encode_env.pending = [](sip_pending_request* out) {
    *out = pending;
    return true;
  };
  sip_encode_env.call_id = [](std::uint16_t, sip_callid_parsed* out) {
    *out = sip_callid_parsed{};
    out->word = {4, "word"};
    out->host = {6, "host.x"};
    return true;
  };
  EXPECT_EQ(sip_build_pending_response(408, "Request Timeout"), SIP_RESULT_OK);
  ASSERT_EQ(sent().size(), 1u);
  const std::string out = sent().back().text;
  EXPECT_EQ(out.rfind("SIP/2.0 408 Request Timeout\r\n", 0), 0u);
  EXPECT_NE(at(out, "Via: SIP/2.0/UDP " + host + ";maddr=" + host + ";branch=" + branch + ";" + other.substr(0, 510) +
                        "\r\n"),
            std::string::npos)
      << out;
  EXPECT_NE(at(out, "Call-ID: word@host.x\r\n"), std::string::npos);
  EXPECT_NE(at(out, "CSeq: 1 INVITE\r\n"), std::string::npos);
  EXPECT_NE(at(out, "To: <sip:b@h>;tag=TT\r\n"), std::string::npos);
  EXPECT_NE(at(out, "From: <sip:a@h>;tag=FF\r\n"), std::string::npos);
  // No pending request: nothing.
  pending.request_code = 0;
  EXPECT_EQ(sip_build_pending_response(500, "Internal Server Error"), SIP_RESULT_NOK);
  EXPECT_EQ(sent().size(), 1u);
}

TEST_F(SipEncode, CallMessagesTakeTheCallsCallIdAndCSeq) {
  sip_parse_run run;
  sip_parse_text(run, with_headers("Replaces: old@h;from-tag=a;to-tag=b\n"));
  sip_hdr_area.replaces.call_ref = 7;
  sip_encode_env.call_id = [](std::uint16_t conn, sip_callid_parsed* out) {
    static const std::uint8_t addr[4] = {192, 0, 2, 9};
    *out = sip_callid_parsed{};
    out->word = conn == 0xFFFF ? sip_str{4, "call"} : sip_str{5, "other"};
    out->addr_len = 4;
    out->addr = addr;
    return true;
  };
  sip_encode_env.cseq_request = [] {
    sip_hdr_area.cseq.number = 42;
    sip_hdr_area.cseq.method = 0xC1;
  };
  sip_hdr_area.count[10] = 0;  // the call supplies it
  sip_encode_kind = 'A';
  EXPECT_EQ(sip_encode_message(SIP_ENCODE_CALL), SIP_RESULT_OK);
  ASSERT_EQ(sent().size(), 1u);
  const std::string out = sent().back().text;
  EXPECT_NE(at(out, "\r\nCall-ID: call@192.0.2.9\r\n"), std::string::npos) << out;
  EXPECT_NE(at(out, "\r\nCSeq: 42 INVITE\r\n"), std::string::npos) << out;
  EXPECT_NE(at(out, "\r\nReplaces: other@192.0.2.9;from-tag=a;to-tag=b\r\n"), std::string::npos) << out;
  EXPECT_EQ(sent().back().code, 0) << "handed to the transaction, not the transport";
  // Without a transaction to take it, nothing is kept.
  sip_encode_env.send_by_kind = nullptr;
  EXPECT_EQ(sip_encode_message(SIP_ENCODE_CALL), SIP_RESULT_NOK);
}

TEST_F(SipEncode, MultipartWithSdpAndRawPart) {
  sip_parse_run run;
  const std::string parts = "--b1\r\nContent-Type: text/plain\r\n\r\nabc\r\n--b1--\r\n";
  sip_parse_text(run, kInvite.substr(0, kInvite.find("Content-Length")) +
                          "Content-Type: multipart/mixed;boundary=b1\r\nContent-Length: " +
                          std::to_string(parts.size()) + "\r\n\r\n" + parts);
  ASSERT_EQ(sip_hdr_area.count[62], 1);
  sip_prim_area = sip_prim_area_t{};
  sip_prim_area.session.name = {1, "-"};
  sip_prim_area.session.start_time = {1, "0"};
  sip_prim_area.session.stop_time = {1, "0"};
  sip_prim_area.disposition_70[0].disposition = 's';
  sip_prim_area.disposition_70[0].handling = 'r';
  sip_hdr_area.count[63] = 1;
  sip_hdr_area.count[70] = 1;
  sip_hdr_area.body[0].part = 0;
  const std::string out = encode('A');
  const std::string body = out.substr(out.find("\r\n\r\n") + 4);
  EXPECT_EQ(body.rfind("--b1\r\nContent-Type: application/SDP\r\nContent-Disposition: session;handling=required\r\n"
                       "\r\nv=0\r\n",
                       0),
            0u)
      << out;
  EXPECT_NE(at(body, "\r\n--b1\r\nContent-Type: text/plain\r\n\r\nabc\r\n--b1--\r\n"), std::string::npos) << out;
  EXPECT_NE(at(out, "Content-Length: " + std::to_string(body.size()) + "\r\n"), std::string::npos) << out;
  sip_parse_run back;
  sip_parse_text(back, out);
  EXPECT_EQ(back.result, SIP_PARSE_DONE);
  EXPECT_EQ(sip_hdr_area.count[62], 2);
}

TEST_F(SipEncode, StatelessAnswerEchoesHeadersAtTheParsersLimits) {
  const std::string h64(64, 'h'), b = "z9hG4bK" + std::string(57, 'b');
  std::string other;
  while (other.size() < 500) other += "p" + std::to_string(other.size()) + "=v;";
  other.pop_back();
  std::string text = "OPTIONS sip:b@h SIP/2.0\n";
  for (int i = 0; i < SIP_MAX_VIA; ++i)
    text +=
        "Via: SIP/2.0/UDP " + h64 + ":5060;ttl=9;maddr=" + h64 + ";received=10.0.0.1;branch=" + b + ";" + other + "\n";
  for (int i = 0; i < SIP_MAX_RECORD_ROUTE; ++i)
    text += "Record-Route: \"" + std::string(60, 'd') + "\" <sip:" + std::string(64, 'u') + ":" + std::string(64, 'w') +
            "@" + h64 + ":5060;transport=tcp;maddr=" + h64 + ";lr;" + other + "?" + std::string(20, 'x') + ">;" +
            other + "\n";
  text += "To: <tel:+123>\nFrom: <tel:+456>;tag=f\nCall-ID: c@h\nCSeq: 9 OPTIONS\nContent-Length: 0\n\n";
  sip_parse_run run;
  sip_parse_text(run, crlf(text));
  ASSERT_EQ(run.result, SIP_PARSE_DONE);
  ASSERT_EQ(sip_hdr_area.count[59], SIP_MAX_VIA);
  ASSERT_EQ(sip_hdr_area.count[42], SIP_MAX_RECORD_ROUTE);
  sip_encode_env.header_room = 44;
  EXPECT_EQ(sip_build_response(500, "Internal Server Error", 0, 1), SIP_RESULT_OK);
  ASSERT_EQ(sent().size(), 1u);
  const std::string out = sent().back().text;
  EXPECT_GE(sent().back().buffers, 3u);
  sip_parse_run back;
  sip_parse_text(back, out);
  ASSERT_EQ(back.result, SIP_PARSE_DONE) << out;
  EXPECT_EQ(sip_hdr_area.count[59], SIP_MAX_VIA);
  EXPECT_EQ(sip_hdr_area.count[42], SIP_MAX_RECORD_ROUTE);
  EXPECT_EQ(str(sip_hdr_area.via[4].branch), b);
  EXPECT_EQ(str(sip_hdr_area.to.addr.host), "tel:+123");
  EXPECT_EQ(sip_hdr_area.to.tag.len, 8);  // the made tag
}
