// Fuzz target: the SIP message parser, as one datagram and as a stream.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "sip/text/sip_parse.h"
#include "sip/text/sip_scan.h"

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

// Rows kept per header: no count may pass them.
struct row_limit {
  sip_header_id id;
  unsigned max;
};
using id = sip_header_id;
constexpr row_limit kRows[] = {
    {id::accept, SIP_MAX_ACCEPT},
    {id::accept_encoding, SIP_MAX_ACCEPT_ENCODING},
    {id::accept_language, SIP_MAX_ACCEPT_LANGUAGE},
    {id::alert_info, SIP_MAX_ALERT_INFO},
    {id::allow, SIP_MAX_ALLOW},
    {id::authorization, SIP_MAX_AUTHORIZATION},
    {id::call_info, SIP_MAX_CALL_INFO},
    {id::contact, SIP_MAX_CONTACT},
    {id::content_disposition, SIP_MAX_CONTENT_DISPOSITION},
    {id::content_encoding, SIP_MAX_CONTENT_ENCODING},
    {id::content_language, SIP_MAX_CONTENT_LANGUAGE},
    {id::content_type, SIP_MAX_CONTENT_TYPE},
    {id::date, SIP_MAX_DATE},
    {id::error_info, SIP_MAX_ERROR_INFO},
    {id::in_reply_to, SIP_MAX_IN_REPLY_TO},
    {id::p_asserted_identity, SIP_MAX_P_ASSERTED_IDENTITY},
    {id::p_media_authorization, SIP_MAX_P_MEDIA_AUTHORIZATION},
    {id::path, SIP_MAX_PATH},
    {id::proxy_authorization, SIP_MAX_PROXY_AUTHORIZATION},
    {id::proxy_require, SIP_MAX_PROXY_REQUIRE},
    {id::reason, SIP_MAX_REASON},
    {id::record_route, SIP_MAX_RECORD_ROUTE},
    {id::require, SIP_MAX_REQUIRE},
    {id::route, SIP_MAX_ROUTE},
    {id::server, SIP_MAX_SERVER},
    {id::supported, SIP_MAX_SUPPORTED},
    {id::unsupported, SIP_MAX_UNSUPPORTED},
    {id::user_agent, SIP_MAX_USER_AGENT},
    {id::via, SIP_MAX_VIA},
    {id::warning, SIP_MAX_WARNING},
    {id::body, SIP_MAX_BODY},
    {id::part_content_type, SIP_MAX_PARTS},
    {id::part_content_disposition, SIP_MAX_PARTS},
};

// No count passes its rows (headers kept once: 1), and no record holds a
// line break.
void check_area(const char* buf, std::size_t size) {
  const sip_hdr_area_t& a = sip_hdr_area;
  for (unsigned slot = 3; slot < SIP_HDR_SLOTS; ++slot) {
    unsigned max = 1;
    for (const row_limit& r : kRows)
      if (sip_hdr_slot(r.id) == slot) max = r.max;
    check(a.count[slot] <= max);
  }
  auto no_break = [](sip_str s) {
    for (std::uint16_t i = 0; i < s.len; ++i) check(s.ptr[i] != '\r' && s.ptr[i] != '\n');
  };
  if (a.count[23]) no_break(a.from.display), no_break(a.from.tag), no_break(a.from.params_other);
  if (a.count[56]) no_break(a.to.display), no_break(a.to.tag);
  for (unsigned i = 0; i < a.count[59]; ++i) no_break(a.via[i].branch), no_break(a.via[i].params_other);
  if (a.count[2]) no_break(a.status_line.reason);
  for (unsigned i = 0; i < a.count[62]; ++i) {
    const sip_str& b = a.body[i].text;
    check(b.len == 0 || (b.ptr >= buf && b.ptr + b.len <= buf + size));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 70000) return 0;
  for (int datagram = 1; datagram >= 0; --datagram) {
    std::unique_ptr<char[]> buf(new char[size == 0 ? 1 : size]);
    if (size != 0) std::memcpy(buf.get(), data, size);
    sip_parser parser;
    sip_parse__start(parser, buf.get(), size);
    for (int n = 0; n < 64; ++n) {
      char* before = parser.scan.cursor;
      std::uint8_t r = sip_parse_message(parser, datagram);
      check(parser.scan.cursor >= buf.get() && parser.scan.cursor <= buf.get() + size);
      check(parser.scan.end <= buf.get() + size);
      if (r == SIP_PARSE_DONE || r == SIP_PARSE_MORE) check_area(buf.get(), size);
      if (r != SIP_PARSE_MORE || parser.scan.cursor <= before) break;
      sip_hdr_count__reset();
      sip_hdr_area.index = 0;
    }
    sip_work__release();
  }
  return 0;
}
