#include "sip/text/sip_parse.h"

#include <cstring>

#include "sip/text/sip_body.h"
#include "sip/text/sip_scan.h"
#include "sip/text/sip_uri.h"

namespace {

using id_t = sip_header_id;

inline u8& count_of(sip_parser& ps, id_t id) { return ps.area.count[static_cast<unsigned>(id)]; }

void respond(sip_parser& ps, u16 code, const char* reason, int datagram) {
  if (ps.env.build_response != nullptr) ps.env.build_response(code, reason, 0, datagram);
}

bool is_lws(char c) { return c == ' ' || c == '\t'; }

// The rest of a method name after its first letter, then one blank.
struct method_row {
  char first;
  const char* rest;
  u8 code;
};
constexpr method_row methods[] = {
    {'I', "NVITE ", SIP_METHOD_INVITE}, {'A', "CK ", SIP_METHOD_ACK},       {'O', "PTIONS ", SIP_METHOD_OPTIONS},
    {'B', "YE ", SIP_METHOD_BYE},       {'C', "ANCEL ", SIP_METHOD_CANCEL}, {'R', "EGISTER ", SIP_METHOD_REGISTER},
};

u8 parse_status_line(sip_parser& ps) {
  char*& c = ps.scan.cursor;
  char* le = ps.scan.line_end;
  c += 3;  // "SIP" in any case
  sip_scan__skip_lws(ps.scan);
  if (!sip_scan__take(ps.scan, '/')) return SIP_PARSE_REJECTED;
  sip_scan__skip_lws(ps.scan);
  if (le - c < 3 || std::memcmp(c, "2.0", 3) != 0) return SIP_PARSE_REJECTED;
  c += 3;
  sip_scan__skip_lws(ps.scan);
  char* digits = c;
  while (c < le && *c >= '0' && *c <= '9') ++c;
  if (c - digits != 3) return SIP_PARSE_REJECTED;
  u16 code = static_cast<u16>((digits[0] - '0') * 100 + (digits[1] - '0') * 10 + (digits[2] - '0'));
  // Status codes run from 100 to 699.
  if (code < 100 || code > 699) return SIP_PARSE_REJECTED;
  sip_scan__skip_lws(ps.scan);
  ps.area.status_line.code = code;
  ps.area.status_line.reason.ptr = c;
  ps.area.status_line.reason.len = static_cast<u16>(le - c);
  ++count_of(ps, id_t::status_line);
  ps.area.method = SIP_METHOD_RESPONSE;
  c = le;
  return SIP_RESULT_OK;
}

}  // namespace

void sip_parse__start(sip_parser& ps, char* data, std::size_t len) {
  sip_hdr_count__reset(ps.area);
  ps.area.index = 0;
  ps.scan.cursor = data;
  ps.scan.end = data + len;
  ps.scan.line_end = data + len;
}

u8 sip_parse_request_uri(sip_parser& ps) {
  char*& c = ps.scan.cursor;
  char* le = ps.scan.line_end;
  char* uri_end = c;
  while (uri_end < le && !is_lws(*uri_end)) ++uri_end;
  if (uri_end >= le || uri_end == c) return SIP_PARSE_BAD_URI;
  ps.scan.line_end = uri_end;
  int r = sip_parse_uri(ps.scan, &ps.area.request_line);
  ps.scan.line_end = le;
  if (r != SIP_RESULT_OK) return SIP_PARSE_BAD_URI;
  c = uri_end;
  sip_scan__skip_lws(ps.scan);
  if (le - c < 7) return SIP_PARSE_BAD_URI;
  if ((c[0] | 0x20) != 's' || (c[1] | 0x20) != 'i' || (c[2] | 0x20) != 'p' || c[3] != '/' ||
      std::memcmp(c + 4, "2.0", 3) != 0)
    return SIP_PARSE_BAD_URI;
  c += 7;
  sip_scan__skip_lws(ps.scan);
  if (c != le) return SIP_PARSE_BAD_URI;
  ++count_of(ps, id_t::request_line);
  return SIP_RESULT_OK;
}

u8 sip_parse_start_line(sip_parser& ps) {
  char* start = ps.scan.cursor;
  if (!sip_scan__find_line_end(ps.scan)) {
    for (char* p = start; p < ps.scan.end; ++p)
      if (static_cast<unsigned char>(*p) > 32) return SIP_PARSE_INCOMPLETE;
    return SIP_PARSE_REJECTED;
  }
  ps.area.method = SIP_METHOD_UNKNOWN;
  char* le = ps.scan.line_end;
  char*& c = ps.scan.cursor;
  if (c >= le) return SIP_PARSE_REJECTED;  // a message that begins with an empty line
  char first = *c;
  u8 r;
  if ((first == 'S' || first == 's') && le - c >= 3 && (c[1] | 0x20) == 'i' && (c[2] | 0x20) == 'p') {
    r = parse_status_line(ps);
  } else {
    bool known = false;
    for (const auto& m : methods) {
      if (m.first != first) continue;
      std::size_t n = std::strlen(m.rest);
      if (static_cast<std::size_t>(le - c - 1) >= n && std::memcmp(c + 1, m.rest, n) == 0) {
        ps.area.method = m.code;
        c += 1 + n;
        known = true;
      }
      break;
    }
    if (!known) {
      ++c;
      while (c < le && static_cast<unsigned char>(*c) < 33) ++c;
      while (c < le && !is_lws(*c)) ++c;
      if (c >= le) return SIP_PARSE_REJECTED;  // the line ends inside the method token
    }
    sip_scan__skip_lws(ps.scan);
    r = sip_parse_request_uri(ps);
  }
  if (r != SIP_RESULT_OK) return r;
  sip_scan__unfold_line(ps.scan);
  return SIP_RESULT_OK;
}

sip_header_id sip_parse_header_name(sip_parser& ps) {
  char*& c = ps.scan.cursor;
  char* end = ps.scan.end;
  if (*c == '\r' || *c == '\n') {
    // The blank line that ends the headers.
    c += (*c == '\r' && c + 1 < end && c[1] == '\n') ? 2 : 1;
    if (count_of(ps, id_t::content_type) == 0 || c >= end) {
      if (count_of(ps, id_t::content_type) == 0) {
        // Extra empty lines are dropped, unless Content-Length says that a
        // body (which may begin with a line end) follows.
        if (count_of(ps, id_t::content_length) == 0 || ps.area.content_length.value == 0)
          while (c < end && (*c == '\r' || *c == '\n')) ++c;
        ps.scan.end = c;
      }
      return id_t::end_of_headers;
    }
    ps.scan.line_end = end;
    ps.area.index = count_of(ps, id_t::body);
    return id_t::body;
  }
  if (!sip_scan__find_line_end(ps.scan)) ps.scan.line_end = end;
  id_t id = sip_hdr__match_name(ps.scan);
  if (id == id_t::none) {
    sip_scan__unfold_line(ps.scan);
    return id_t::none;
  }
  ps.area.index = count_of(ps, id);
  return id;
}

namespace {

// True when the data from `from` holds the empty line that ends a header
// section: until it has come, a stream's last header line may still be cut
// or continued.
bool headers_complete(const char* from, const char* end) {
  for (const char* p = from; p < end; ++p) {
    if (*p != '\n') continue;
    if (p + 1 < end && p[1] == '\n') return true;
    if (p + 2 < end && p[1] == '\r' && p[2] == '\n') return true;
  }
  return false;
}

}  // namespace

u8 sip_parse_message(sip_parser& ps, int datagram) {
  if (!datagram && !headers_complete(ps.scan.cursor, ps.scan.end)) return SIP_PARSE_INCOMPLETE;
  char* message_start = ps.scan.cursor;
  // The end of the data: joining a folded line moves the rest of the data
  // down, so the end moves with it while the headers are read.
  char* data_end = ps.scan.end;
  u8 r = sip_parse_start_line(ps);
  data_end = ps.scan.end;
  if (r != SIP_RESULT_OK) {
    sip_parse__report(ps, r, 1);
    if (r == SIP_PARSE_INCOMPLETE) ps.scan.cursor = message_start;
    return r;
  }
  const bool is_request = ps.area.method != SIP_METHOD_RESPONSE;
  const bool answerable = is_request && ps.area.method != SIP_METHOD_ACK;
  bool body_parsed = false;
  bool length_refused = false;
  bool blank_line_seen = false;
  while (ps.scan.cursor < ps.scan.end) {
    data_end = ps.scan.end;
    id_t id = sip_parse_header_name(ps);
    if (id == id_t::end_of_headers) {
      blank_line_seen = true;
      break;
    }
    if (id == id_t::none) {
      sip_parse__report(ps, 43, 0);
      continue;
    }
    if (id == id_t::body) {
      blank_line_seen = true;
      if (!datagram && count_of(ps, id_t::content_length) == 0) {
        sip_parse__report(ps, 19, 62);
        if (answerable) respond(ps, 400, "Bad request", datagram);
        return SIP_PARSE_REJECTED;
      }
      u8 b = sip_parse_body(ps);
      if (b == SIP_BODY_SHORT) {
        if (answerable && datagram) respond(ps, 400, "Bad request", 1);
        ps.scan.end = data_end;
        ps.scan.cursor = message_start;
        return SIP_PARSE_INCOMPLETE;
      }
      if (b == 0) {
        sip_parse__report(ps, 19, 62);
        if (answerable) respond(ps, 400, "Bad request", datagram);
        return SIP_PARSE_REJECTED;
      }
      ++count_of(ps, id_t::body);
      body_parsed = true;
      break;
    }
    u8 v = sip_parse_header_value(ps, id);
    data_end = ps.scan.end;
    if (v == SIP_HDR_FAILED) {
      sip_parse__report(ps, 19, static_cast<u8>(id));
      // A Content-Length that cannot be read leaves the body unframed.
      if (id == id_t::content_length) length_refused = true;
      if (!datagram && ps.scan.cursor >= ps.scan.end) break;
    } else if (v != SIP_HDR_NOTHING) {
      ++count_of(ps, id);
    }
  }

  if (ps.area.method == SIP_METHOD_UNKNOWN) {
    sip_parse__report(ps, 501, 0);
    respond(ps, 501, "Not implemented", datagram);
    return SIP_PARSE_REJECTED;
  }
  if (length_refused) {
    if (answerable) respond(ps, 400, "Bad request", datagram);
    return SIP_PARSE_REJECTED;
  }
  // A datagram whose Content-Length promises more than it carries.
  if (datagram && !body_parsed && count_of(ps, id_t::content_length) != 0 && blank_line_seen &&
      ps.area.content_length.value > static_cast<std::size_t>(data_end - ps.scan.cursor)) {
    if (answerable) respond(ps, 400, "Bad request", 1);
    ps.scan.end = data_end;
    ps.scan.cursor = message_start;
    return SIP_PARSE_INCOMPLETE;
  }
  if (is_request && count_of(ps, id_t::cseq) != 0 && static_cast<u8>(ps.area.cseq.method + 32) != ps.area.method) {
    sip_parse__report(ps, 400, 0);
    if (answerable) respond(ps, 400, "Bad request", datagram);
    return SIP_PARSE_REJECTED;
  }
  if (datagram) return SIP_PARSE_DONE;
  if (count_of(ps, id_t::content_length) == 0) {
    ps.scan.cursor = message_start;
    ps.scan.end = data_end;
    return SIP_PARSE_INCOMPLETE;
  }
  ps.area.index = 0;
  char* message_end = ps.scan.end;
  if (ps.area.content_length.value != 0 && !body_parsed) {
    // A body without Content-Type is not recorded, but Content-Length still
    // frames it: the next message of the stream begins after it.
    const std::size_t room = static_cast<std::size_t>(data_end - message_end);
    if (!blank_line_seen || count_of(ps, id_t::content_type) != 0 || ps.area.content_length.value > room) {
      ps.scan.cursor = message_start;
      ps.scan.end = data_end;
      return SIP_PARSE_INCOMPLETE;
    }
    message_end += ps.area.content_length.value;
    ps.scan.cursor = message_end;
  }
  ps.scan.end = data_end;
  if (message_end < data_end) {
    ps.scan.cursor = message_end;
    return SIP_PARSE_MORE;
  }
  return SIP_PARSE_DONE;
}
