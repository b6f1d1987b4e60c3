#include "sip/text/sip_body.h"

#include <cstring>

#include "sip/text/sip_hdr_parse.h"
#include "sip/text/sip_scan.h"

namespace {

using id_t = sip_header_id;

constexpr u8 BODY_STORED = static_cast<u8>(id_t::body);

// The line end at `p` (before `end`): its length, 0 when `p` is not on one.
int line_end_at(const char* p, const char* end) {
  if (p >= end) return 0;
  if (*p == '\r') return (p + 1 < end && p[1] == '\n') ? 2 : 1;
  return *p == '\n' ? 1 : 0;
}

// Drops one line end at the very end of [from, *end).
void drop_final_line_end(const char* from, char** end) {
  char* e = *end;
  if (e - from >= 2 && e[-2] == '\r' && e[-1] == '\n') *end = e - 2;
  else if (e > from && (e[-1] == '\n' || e[-1] == '\r')) *end = e - 1;
}

}  // namespace

u8 sip_store_body(sip_parser& ps) {
  if (ps.area.index >= SIP_MAX_BODY) return 0;
  std::size_t n = static_cast<std::size_t>(ps.scan.end - ps.scan.cursor);
  if (n > SIP_BODY_MAX) {
    ps.scan.cursor = ps.scan.end;
    return 0;
  }
  sip_body_rec* b = &ps.area.body[ps.area.index];
  b->part = 0;
  b->text.ptr = ps.scan.cursor;
  b->text.len = static_cast<u16>(n);
  ps.scan.cursor = ps.scan.end;
  return BODY_STORED;
}

u8 sip_parse_part_header(sip_parser& ps) {
  char* p = ps.scan.cursor;
  char* end = ps.scan.end;
  int le = line_end_at(p, end);
  if (le != 0) {
    ps.scan.cursor = p + le;
    return BODY_STORED;
  }
  // Continuation lines are joined first (within the part).
  if (!sip_scan__find_line_end(ps.scan)) ps.scan.line_end = ps.scan.end;
  end = ps.scan.end;
  char* q = ps.scan.line_end;
  id_t id = sip_hdr__match_name(ps.scan);
  if (id == id_t::content_type || id == id_t::content_disposition) {
    ps.area.index = ps.area.count[static_cast<unsigned>(id == id_t::content_type ? id_t::part_content_type
                                                                                 : id_t::part_content_disposition)];
    return static_cast<u8>(id);
  }
  ps.scan.cursor = q + line_end_at(q, end);
  return 0;
}

sip_boundary_rc sip_find_boundary(sip_parser& ps, char** next) {
  const sip_str& boundary = ps.area.content_type[0].boundary;
  char* p = ps.scan.cursor;
  char* end = ps.scan.end;
  char* line = p;
  for (;;) {
    // `line` is the start of a line.
    if (end - line >= 2 + boundary.len && line[0] == '-' && line[1] == '-' &&
        std::memcmp(line + 2, boundary.ptr, boundary.len) == 0) {
      char* q = line + 2 + boundary.len;
      bool close = end - q >= 2 && q[0] == '-' && q[1] == '-';
      if (close) q += 2;
      while (q < end && (*q == ' ' || *q == '\t')) ++q;
      int le = line_end_at(q, end);
      if (le != 0 || q == end) {
        // The line end before the delimiter belongs to it.
        char* content_end = line;
        if (content_end > p && content_end[-1] == '\n') {
          --content_end;
          if (content_end > p && content_end[-1] == '\r') --content_end;
        } else if (content_end > p && content_end[-1] == '\r') {
          --content_end;
        }
        ps.scan.cursor = content_end;
        *next = q + le;
        return close ? SIP_BOUNDARY_CLOSE : SIP_BOUNDARY_FOUND;
      }
    }
    while (line < end && *line != '\r' && *line != '\n') ++line;
    if (line >= end) return SIP_BOUNDARY_NONE;
    line += line_end_at(line, end);
    if (line >= end) return SIP_BOUNDARY_NONE;
  }
}

u8 sip_parse_body(sip_parser& ps) {
  char* entry_end = ps.scan.end;
  if (ps.area.count[static_cast<unsigned>(id_t::content_length)] != 0) {
    u32 cl = ps.area.content_length.value;
    if (cl > static_cast<std::size_t>(entry_end - ps.scan.cursor)) return SIP_BODY_SHORT;
    ps.scan.end = ps.scan.cursor + cl;
  }
  char* body_end = ps.scan.end;
  bool have_type = ps.area.count[static_cast<unsigned>(id_t::content_type)] != 0;
  const sip_media_type_rec* ct = have_type ? &ps.area.content_type[0] : nullptr;
  if (ps.env.raw_body || ct == nullptr || ct->type != SIP_MEDIA_MULTIPART) {
    drop_final_line_end(ps.scan.cursor, &ps.scan.end);
    u8 r = sip_store_body(ps);
    ps.scan.cursor = body_end;
    ps.scan.end = body_end;
    return r;
  }
  if (ct->boundary.len == 0) return 0;
  char* next = nullptr;
  if (sip_find_boundary(ps, &next) != SIP_BOUNDARY_FOUND) return 0;
  u8 part = 0;
  u8 result = 0;
  u8& ct_count = ps.area.count[static_cast<unsigned>(id_t::part_content_type)];
  u8& cd_count = ps.area.count[static_cast<unsigned>(id_t::part_content_disposition)];
  u8& body_count = ps.area.count[static_cast<unsigned>(id_t::body)];
  for (;;) {
    char* part_start = next;
    ps.scan.cursor = part_start;
    ps.scan.end = body_end;
    const sip_boundary_rc delim = sip_find_boundary(ps, &next);
    if (delim == SIP_BOUNDARY_NONE) return 0;
    char* content_end = ps.scan.cursor;
    if (content_end < part_start) content_end = part_start;
    ps.scan.cursor = part_start;
    ps.scan.end = content_end;
    bool have_ct = false, have_cd = false;
    for (;;) {
      if (ps.scan.cursor >= ps.scan.end) break;
      u8 h = sip_parse_part_header(ps);
      if (h == BODY_STORED) break;
      if (h == 0) continue;
      char* line_stop = ps.scan.line_end;
      bool ok;
      if (h == static_cast<u8>(id_t::content_type)) {
        if (have_ct || ct_count >= SIP_MAX_PARTS) return 0;
        sip_media_type_rec* r = &ps.area.part_content_type[ct_count];
        r->part = part;
        ok = sip_parse_media_type(ps, r);
        if (ok) ++ct_count;
        have_ct = true;
      } else {
        if (have_cd || cd_count >= SIP_MAX_PARTS) return 0;
        sip_disposition_rec* r = &ps.area.part_content_disposition[cd_count];
        r->part = part;
        ok = sip_parse_disposition(ps, r);
        if (ok) ++cd_count;
        have_cd = true;
      }
      if (!ok) return 0;
      ps.scan.cursor = line_stop + line_end_at(line_stop, ps.scan.end);
    }
    ps.area.index = body_count;
    result = sip_store_body(ps);
    if (result == BODY_STORED) ps.area.body[ps.area.index].part = part;
    ps.scan.end = body_end;
    if (delim == SIP_BOUNDARY_CLOSE) break;
    if (result == BODY_STORED) ++body_count;
    ++part;
    if (part == 0) return 0;  // 256 parts: refused
  }
  ps.scan.cursor = body_end;
  ps.scan.end = body_end;
  if (result == BODY_STORED) ps.area.index = static_cast<u8>(body_count);
  return result;
}
