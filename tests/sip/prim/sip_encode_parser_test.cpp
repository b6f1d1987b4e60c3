// What the encoder needs of the parser: a stream whose folded headers are
// joined in place still reports where its data ends, so messages arriving in
// pieces come out whole; quoted display names may escape 0x7F; and the
// compact Referred-By name the encoder writes is read back.
#include <gtest/gtest.h>

#include "tests/sip/prim/sip_encode_fixture.h"

using namespace sip_enc_test;

namespace {

class SipEncodeParser : public SipEncodeTest {};

struct Parsed {
  std::uint8_t method;
  std::string subject;
  std::string body;
};

// Feeds `text` to the stream parser in two reads split at `split`, keeping
// the unparsed rest as a receive loop does, and lists the messages.
std::vector<Parsed> parse_stream(const std::string& text, std::size_t split) {
  std::vector<Parsed> out;
  std::string pending;
  auto drain = [&]() {
    for (int guard = 0; guard < 10 && !pending.empty(); ++guard) {
      std::vector<char> buf(pending.begin(), pending.end());
      sip_work__release();
      sip_parser parser;
      sip_parse__start(parser, buf.data(), buf.size());
      const std::uint8_t r = sip_parse_message(parser, 0);
      if (r == SIP_PARSE_INCOMPLETE) {
        // Keep what the parser says is still data.
        pending.assign(parser.scan.cursor, parser.scan.end);
        return;
      }
      if (r == SIP_PARSE_MORE || r == SIP_PARSE_DONE) {
        Parsed p{sip_hdr_area.method, sip_hdr_area.count[53] != 0 ? str(sip_hdr_area.subject.text) : "", ""};
        if (sip_hdr_area.count[62] != 0) p.body = str(sip_hdr_area.body[0].text);
        out.push_back(p);
      } else {
        out.push_back({r, "refused", ""});
      }
      if (r == SIP_PARSE_MORE) pending.assign(parser.scan.cursor, parser.scan.end);
      else pending.clear();
    }
  };
  pending = text.substr(0, split);
  drain();
  pending += text.substr(split);
  drain();
  return out;
}

}  // namespace

TEST_F(SipEncodeParser, FoldedStreamSplitAtEveryByte) {
  const std::string invite = crlf(
      "INVITE sip:bob@example.com SIP/2.0\n"
      "Via: SIP/2.0/TCP 192.0.2.1:5060\n    ;branch=z9hG4bK-1\n"
      "To: <sip:bob@example.com>\n"
      "From: <sip:alice@example.com>;tag=88\n"
      "Subject: one\n\t   two\n   three\n"
      "Call-ID: abc@192.0.2.1\n"
      "CSeq: 1 INVITE\n"
      "Content-Type: text/plain\n"
      "Content-Length: 12\n\n"
      "hello world!");
  const std::string options = crlf(
      "OPTIONS sip:bob@example.com SIP/2.0\nVia: SIP/2.0/TCP 192.0.2.1\nTo: <sip:b@h>\n"
      "From: <sip:a@h>;tag=1\nCall-ID: x\nCSeq: 2 OPTIONS\nContent-Length: 0\n\n");
  const std::string stream = invite + options;
  for (std::size_t split = 0; split <= stream.size(); ++split) {
    SCOPED_TRACE(split);
    const std::vector<Parsed> got = parse_stream(stream, split);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].method, SIP_METHOD_INVITE);
    // A fold cut inside its blanks may keep more than one blank: the same
    // value for SIP (linear white space).
    std::string subject;
    for (char ch : got[0].subject) {
      const bool blank = ch == ' ' || ch == '\t';
      if (!blank || subject.empty() || subject.back() != ' ') subject += blank ? ' ' : ch;
    }
    EXPECT_EQ(subject, "one two three");
    EXPECT_EQ(got[0].body, "hello world!");
    EXPECT_EQ(got[1].method, SIP_METHOD_OPTIONS);
  }
}

TEST_F(SipEncodeParser, QuotedDisplayNameMayEscapeDel) {
  struct Case {
    const char* quoted;  // inside the quotes
    bool kept;
    const char* display;
  } cases[] = {
      {"A\\\x7f"
       "B",
       true,
       "A\x7f"
       "B"},
      {"A\\\"B", true, "A\"B"},
      {"A\\\xc3"
       "B",
       false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.display);
    sip_parse_run run;
    sip_parse_text(
        run, crlf(std::string("INVITE sip:b@h SIP/2.0\nVia: SIP/2.0/UDP h;branch=z9hG4bK-1\n"
                              "To: \"") +
                  c.quoted + "\" <sip:b@h>\nFrom: <sip:a@h>;tag=1\nCall-ID: x\nCSeq: 1 INVITE\nContent-Length: 0\n\n"));
    EXPECT_EQ(sip_hdr_area.count[56], c.kept ? 1 : 0);
    if (!c.kept) continue;
    EXPECT_EQ(str(sip_hdr_area.to.display), c.display);
    // Written back escaped, read back the same.
    const std::string out = encode('A');
    sip_parse_run back;
    sip_parse_text(back, out);
    EXPECT_EQ(str(sip_hdr_area.to.display), c.display) << out;
  }
}

TEST_F(SipEncodeParser, CompactReferredByReadsBack) {
  sip_parse_run run;
  sip_parse_text(run, crlf("OPTIONS sip:b@h SIP/2.0\nVia: SIP/2.0/UDP h;branch=z9hG4bK-1\nTo: <sip:b@h>\n"
                           "From: <sip:a@h>;tag=1\nCall-ID: x\nCSeq: 1 OPTIONS\n"
                           "b: <sip:referrer@h>;cid=\"1@h\"\nContent-Length: 0\n\n"));
  ASSERT_EQ(sip_hdr_area.count[78], 1);
  EXPECT_EQ(str(sip_hdr_area.referred_by.cid), "1@h");
  sip_encode_env.compact = true;
  const std::string out = encode('C');
  EXPECT_NE(out.find("\r\nb: <sip:referrer@h>;cid=\"1@h\"\r\n"), std::string::npos) << out;
  sip_parse_run back;
  sip_parse_text(back, out);
  EXPECT_EQ(sip_hdr_area.count[78], 1);
  EXPECT_EQ(str(sip_hdr_area.referred_by.na.addr.user), "referrer");
}
