// The encoder's text read by an independent SIP parser: every message of the
// round-trip set, encoded with and without compact names, and the stateless
// responses go into one capture that tshark decodes without a malformed
// packet or an expert error.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "bench/sip_parse_corpus.h"
#include "tests/sip/prim/sip_encode_fixture.h"
#include "tests/sip/text/sip_torture_fixture.h"

using namespace sip_enc_test;

namespace {

void put16be(std::string& s, std::size_t at, std::uint16_t v) {
  s[at] = static_cast<char>(v >> 8);
  s[at + 1] = static_cast<char>(v & 0xFF);
}

void append_le32(std::string& s, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
}

void append_le16(std::string& s, std::uint16_t v) {
  s += static_cast<char>(v & 0xFF);
  s += static_cast<char>(v >> 8);
}

// One IPv4/UDP packet record of a "raw IPv4" capture.
std::string udp_record(const std::string& payload, std::uint32_t second) {
  std::string ip(28, '\0');
  ip[0] = 0x45;
  put16be(ip, 2, static_cast<std::uint16_t>(28 + payload.size()));
  ip[8] = 64;
  ip[9] = 17;
  const std::uint8_t src[4] = {192, 0, 2, 1}, dst[4] = {192, 0, 2, 2};
  std::memcpy(&ip[12], src, 4);
  std::memcpy(&ip[16], dst, 4);
  std::uint32_t sum = 0;
  for (int i = 0; i < 20; i += 2)
    sum += static_cast<std::uint32_t>((static_cast<std::uint8_t>(ip[i]) << 8) | static_cast<std::uint8_t>(ip[i + 1]));
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  put16be(ip, 10, static_cast<std::uint16_t>(~sum));
  put16be(ip, 20, 5060);
  put16be(ip, 22, 5060);
  put16be(ip, 24, static_cast<std::uint16_t>(8 + payload.size()));
  const std::string packet = ip + payload;
  std::string r;
  append_le32(r, 1700000000 + second);
  append_le32(r, 0);
  append_le32(r, static_cast<std::uint32_t>(packet.size()));
  append_le32(r, static_cast<std::uint32_t>(packet.size()));
  return r + packet;
}

std::string pcap_header() {
  std::string f;
  append_le32(f, 0xA1B2C3D4);
  append_le16(f, 2);
  append_le16(f, 4);
  append_le32(f, 0);
  append_le32(f, 0);
  append_le32(f, 65535);
  append_le32(f, 101);  // LINKTYPE_RAW
  return f;
}

std::string run_command(const std::string& cmd) {
  std::string out;
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return out;
  char buf[4096];
  std::size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

class SipEncodeTshark : public SipEncodeTest {};

}  // namespace

TEST_F(SipEncodeTshark, EveryEncodedMessageDecodesCleanly) {
  if (std::system("command -v tshark >/dev/null 2>&1") != 0) GTEST_SKIP() << "tshark is not installed";
  std::vector<std::string> inputs;
  for (const auto& c : sip_torture::torture_cases()) {
    // The torture set's S/MIME part is not real CMS: tshark rightly calls it
    // malformed, whoever wrote the SIP text around it.
    if (c.result == SIP_PARSE_DONE && c.text.find("pkcs7") == std::string::npos) inputs.push_back(c.text);
  }
  for (const auto& t : sip_bench::corpus()) inputs.push_back(t);

  std::vector<std::string> messages;
  for (const auto& text : inputs) {
    for (bool compact : {false, true}) {
      sip_parse_run run;
      const std::string out = reencode(run, text, compact);
      if (!out.empty()) messages.push_back(out);
    }
    // The stateless answers to every request.
    sip_parse_run run;
    sip_parse_text(run, text);
    if (sip_hdr_area.method >= SIP_METHOD_INVITE && sip_hdr_area.method != SIP_METHOD_ACK) {
      for (std::uint16_t status : {400, 501, 503})
        if (sip_build_response(status, "Refused", status == 503 ? 30 : 0, 1) == SIP_RESULT_OK)
          messages.push_back(sent().back().text);
    }
  }
  ASSERT_GE(messages.size(), 40u);

  std::string file = pcap_header();
  for (std::size_t i = 0; i < messages.size(); ++i) file += udp_record(messages[i], static_cast<std::uint32_t>(i));
  const std::string path = ::testing::TempDir() + "sip_encode_tshark_" + std::to_string(getpid()) + ".pcap";
  {
    FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(std::fwrite(file.data(), 1, file.size(), f), file.size());
    std::fclose(f);
  }
  // One line per packet: its number, whether SIP was found, malformed marks,
  // the severities of its expert items, then the values tshark read, which
  // must be the ones our parser reads from the same text.
  const std::string fields =
      run_command("timeout 120 tshark -r " + path +
                  " -T fields -E separator='|' -E occurrence=f -e frame.number -e sip.Method -e sip.Status-Code"
                  " -e _ws.malformed -e _ws.expert.severity -e sip.Call-ID -e sip.CSeq.seq -e sip.CSeq.method"
                  " -e sip.Content-Length -e sip.from.tag -e sip.to.tag -e sip.Via.branch 2>/dev/null");
  std::remove(path.c_str());
  std::size_t lines = 0;
  std::size_t pos = 0;
  while (pos < fields.size()) {
    std::size_t nl = fields.find('\n', pos);
    if (nl == std::string::npos) nl = fields.size();
    const std::string line = fields.substr(pos, nl - pos);
    pos = nl + 1;
    if (line.empty()) continue;
    ++lines;
    std::vector<std::string> col;
    std::size_t a = 0;
    for (std::size_t b; (b = line.find('|', a)) != std::string::npos; a = b + 1) col.push_back(line.substr(a, b - a));
    col.push_back(line.substr(a));
    ASSERT_EQ(col.size(), 12u) << line;
    const std::size_t n = std::stoul(col[0]) - 1;
    ASSERT_LT(n, messages.size());
    EXPECT_TRUE(!col[1].empty() || !col[2].empty()) << "not read as SIP:\n" << messages[n];
    EXPECT_EQ(col[3], "") << "malformed:\n" << messages[n];
    // Severities: 8388608 error, 6291456 warning (tshark's expert levels).
    EXPECT_EQ(col[4].find("8388608"), std::string::npos) << "expert error:\n" << messages[n];
    sip_parse_run ours;
    sip_parse_text(ours, messages[n]);
    ASSERT_EQ(ours.result, SIP_PARSE_DONE);
    const sip_hdr_area_t& w = sip_hdr_area;
    std::string call_id = w.count[10] != 0 ? str(w.call_id.word) : "";
    if (w.count[10] == 0) {
    } else if (w.call_id.addr_len == 4) {
      call_id += "@";
      for (int i = 0; i < 4; ++i) call_id += (i ? "." : "") + std::to_string(w.call_id.addr[i]);
    } else if (w.call_id.host.len != 0) {
      call_id += "@" + str(w.call_id.host);
    }
    EXPECT_EQ(col[5], call_id) << messages[n];
    EXPECT_EQ(col[6], w.count[18] != 0 ? std::to_string(w.cseq.number) : "") << messages[n];
    EXPECT_EQ(col[8], std::to_string(w.content_length.value)) << messages[n];
    EXPECT_EQ(col[9], w.count[23] != 0 ? str(w.from.tag) : "") << messages[n];
    EXPECT_EQ(col[10], w.count[56] != 0 ? str(w.to.tag) : "") << messages[n];
    EXPECT_EQ(col[11], w.count[59] != 0 ? str(w.via[0].branch) : "") << messages[n];
    const std::size_t blank = messages[n].find("\r\n\r\n");
    const std::size_t body = messages[n].size() - (blank + 4);
    EXPECT_TRUE(w.content_length.value == body || w.content_length.value + 2 == body) << messages[n];
  }
  EXPECT_EQ(lines, messages.size()) << fields.substr(0, 2000);
}
