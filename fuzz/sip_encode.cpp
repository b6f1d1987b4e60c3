// Fuzz target: the SIP text encoder on whatever the parser accepts.  The
// text is parsed as one datagram; the parser's refusals and a 400 are
// answered through the stateless response builder, and a parsed message of
// kinds 'A'-'F' (and their responses) is encoded again.  Every text sent
// must parse with our parser, its Content-Length must equal its body, and no
// buffer may be left allocated.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/entity.h"
#include "runtime/msg.h"
#include "runtime/om_os.h"
#include "sip/text/sip_encode.h"
#include "sip/text/sip_parse.h"
#include "sip/text/sip_response.h"

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

void free_handler(msg_t* m) { Free_msg(m); }

const entity_table_row_t TABLE[] = {
    {ENT_SM, free_handler, 0, 0, nullptr, 0},
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

void ignore_trap(u16, const char*) {}

int held() { return om_os_buffer_pool_stats().in_use - om_os_it_buffer_pool_stats().count; }

std::vector<std::string> sent;

void take(buffer_t* chain, std::uint8_t) {
  std::string text;
  for (const buffer_t* b = chain; b != nullptr; b = b->next)
    text.append(reinterpret_cast<const char*>(Buffer_data(b)), b->data_size);
  Free_buffer(chain);
  sent.push_back(text);
}

// The text parses as a datagram and its Content-Length counts its body.
void check_text(const std::string& text) {
  const std::size_t blank = text.find("\r\n\r\n");
  check(blank != std::string::npos);
  std::vector<char> buf(text.begin(), text.end());
  sip_hdr_area_t* area = &sip_hdr_area;
  sip_parse_env.build_response = nullptr;
  sip_parser parser;
  sip_parse__start(parser, buf.data(), buf.size());
  const std::uint8_t r = sip_parse_message(parser, 1);
  check(r == SIP_PARSE_DONE);
  check(area->count[static_cast<unsigned>(sip_header_id::content_length)] == 1);
  check(area->content_length.value == text.size() - (blank + 4) ||
        // A raw body is followed by a line end that it does not count.
        area->content_length.value + 2 == text.size() - (blank + 4));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  om_os_set_trap_handler(ignore_trap);
  om_os_start_options o;
  o.table = TABLE;
  o.sm_thread = false;
  o.timer_thread = false;
  o.bkgr_thread = false;
  om_os_start_with(o);
  om_os_run_ready(0);
  sip_encode_env.send_to_transport = take;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1 || size > 65536) return 0;
  const int base = held();
  sip_encode_env.compact = (data[0] & 1) != 0;
  sip_encode_env.header_room = (data[0] & 2) != 0 ? 44 : 0;
  sent.clear();
  std::vector<char> buf(data + 1, data + size);
  sip_work__release();
  sip_parse_env.build_response = sip_build_response__for_parser;
  sip_parser parser;
  sip_parse__start(parser, buf.data(), buf.size());
  const std::uint8_t r = sip_parse_message(parser, 1);
  if (r == SIP_PARSE_DONE) {
    (void)sip_build_response(400, "Bad request", (data[0] & 4) != 0 ? 30 : 0, 1);
    std::uint8_t kind = 0;
    const std::uint8_t m = sip_hdr_area.method;
    if (m >= SIP_METHOD_INVITE && m <= SIP_METHOD_REGISTER) kind = static_cast<std::uint8_t>('A' + (m - 0xE1));
    if (m == SIP_METHOD_RESPONSE && sip_hdr_area.count[18] != 0 && sip_hdr_area.cseq.method >= 0xC1 &&
        sip_hdr_area.cseq.method <= 0xC6)
      kind = static_cast<std::uint8_t>('a' + (sip_hdr_area.cseq.method - 0xC1));
    if (kind != 0) {
      sip_encode_kind = kind;
      (void)sip_encode_message(SIP_ENCODE_STATELESS);
    }
  }
  const std::vector<std::string> texts = sent;
  for (const std::string& t : texts) check_text(t);
  sip_work__release();
  check(held() == base);
  return 0;
}
