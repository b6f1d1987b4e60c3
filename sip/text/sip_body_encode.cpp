// SIP message body encoder: the Content-Length line, the empty line and the
// body, from raw parts (a single body or the parts of a multipart body) or
// from the SDP elements of the work area.  The Content-Length never counts
// the empty line that ends the header section.
#include <algorithm>
#include <cstring>

#include "sip/text/sdp.h"
#include "sip/text/sip_prim_area.h"
#include "sip/text/sip_encode_int.h"
#include "sip/text/sip_hdr_parse.h"
#include "platform/int_types.h"

namespace {

constexpr u16 SDP_OPTIONS = 2056;
constexpr char SDP_PART_TYPE[] = "Content-Type: application/SDP\r\n";

u8 count_of(sip_header_id id) { return sip_hdr_area.count[sip_hdr_slot(id)]; }

// The message's Content-Type when it is multipart, else null.
const sip_media_type_rec* multipart_type() {
  if (count_of(sip_header_id::content_type) == 0) return nullptr;
  const sip_media_type_rec& ct = sip_hdr_area.content_type[0];
  return ct.type == SIP_MEDIA_MULTIPART ? &ct : nullptr;
}

sip_str boundary_of(const sip_media_type_rec& ct) {
  static constexpr char dash[] = "-";
  return has(ct.boundary) ? ct.boundary : sip_str{1, dash};
}

void put_delimiter(sip_str boundary) {
  put("\r\n--");
  put(boundary);
  put_crlf();
}

// A Content-Disposition line.
void put_disposition_line(const sip_disposition_rec& d) {
  put_header_name(sip_header_id::content_disposition);
  put_coded(sip_vt_disposition_type, d.disposition, d.disposition_text);
  if (d.handling != SIP_CODE_NONE) {
    put(";handling=");
    put_coded(sip_vt_disposition_handling, d.handling, {});
  }
  if (has(d.params_other)) {
    put_char(';');
    put(d.params_other);
  }
  put_crlf();
}

// The SDP part's own Content-Disposition line, when there is one.
void put_sdp_part_headers() {
  put(SDP_PART_TYPE);
  if (count_of(SIP_HDR_DISPOSITION_70) != 0) {
    put_disposition_line(sip_prim_area.disposition_70[0]);
  }
}

void put_part_headers(u8 part) {
  const u8 cts = std::min<u8>(count_of(sip_header_id::part_content_type), SIP_MAX_PARTS);
  const u8 cds = std::min<u8>(count_of(sip_header_id::part_content_disposition), SIP_MAX_PARTS);
  for (u8 i = 0; i < cts; ++i) {
    const sip_media_type_rec& m = sip_hdr_area.part_content_type[i];
    if (m.part != part) continue;
    put_header_name(sip_header_id::content_type);
    put_coded(sip_vt_media_type, m.type, m.type_text);
    put_char('/');
    const sip_value_table* sub = sip_vt__subtypes(m.type);
    if (sub != nullptr && m.subtype != SIP_CODE_NONE) put_coded(*sub, m.subtype, m.subtype_text);
    else put(m.subtype_text);
    if (has(m.boundary)) {
      put(";boundary=\"");
      put(m.boundary);
      put_char('"');
    }
    if (has(m.params_other)) {
      put_char(';');
      put(m.params_other);
    }
    put_crlf();
  }
  for (u8 i = 0; i < cds; ++i) {
    const sip_disposition_rec& d = sip_hdr_area.part_content_disposition[i];
    if (d.part == part) put_disposition_line(d);
  }
}

// The SDP text at sip_out: its first CR LF, "v=0" and the lines of the work
// area's SDP elements.  False when it does not fit or cannot be written;
// *empty when nothing but "v=0" would have been written (nothing written).
bool put_sdp(bool* empty) {
  sdp_desc desc = sip_prim_area.describe();
  desc.av_count = std::min<u8>(count_of(SIP_HDR_SDP_MEDIA), SDP_MAX_AV);
  desc.rtpmap_count = std::min<u8>(count_of(SIP_HDR_SDP_FORMAT), SDP_MAX_RTPMAP);
  desc.other_count = std::min<u8>(count_of(SIP_HDR_SDP_TEXT_MEDIA), SDP_MAX_OTHER);
  desc.origin_present = count_of(SIP_HDR_SDP_ORIGIN) != 0 ? 1 : 0;
  desc.image_count = std::min<u8>(count_of(SIP_HDR_SDP_IMAGE), SDP_MAX_IMAGE);
  if (sip_out.overflow || sip_out.ptr == nullptr) return false;
  char* start = sip_out.ptr;
  if (sdp_encode(&sip_out.ptr, sip_out.end, &desc, SDP_OPTIONS) != SIP_RESULT_OK) {
    sip_out.overflow = true;
    return false;
  }
  *empty = sip_out.ptr == start;
  return true;
}

// Commits the text written in the body chain; marks the message failed when
// it does not fit.
bool commit_body(sip_out_chain& body) {
  if (sip_chain__commit(body)) return true;
  sip_encode__fail();
  return false;
}

// Multipart body in its own chain, then the Content-Length line in the
// header chain, then the body chain linked behind it.
void multipart_body(const sip_media_type_rec& ct) {
  sip_out_chain& head = sip_encode_chain;
  const sip_str boundary = boundary_of(ct);
  sip_out_chain body;
  if (!sip_chain__open(body, 0)) {
    sip_encode__fail();
    return;
  }
  bool ok = true;
  if (count_of(SIP_HDR_SDP_SESSION) != 0) {
    put_delimiter(boundary);
    put_sdp_part_headers();
    bool empty = false;
    ok = put_sdp(&empty) && commit_body(body);
    sip_hdr_count__decrement(SIP_HDR_SDP_SESSION);
  }
  // Highest part number among part headers and raw parts.
  const u8 raws = std::min<u8>(count_of(sip_header_id::body), SIP_MAX_BODY);
  int last_part = -1;
  auto see = [&last_part](u8 p) { last_part = std::max<int>(last_part, std::min<int>(p, 254)); };
  for (u8 i = 0; i < std::min<u8>(count_of(sip_header_id::part_content_type), SIP_MAX_PARTS); ++i)
    see(sip_hdr_area.part_content_type[i].part);
  for (u8 i = 0; i < std::min<u8>(count_of(sip_header_id::part_content_disposition), SIP_MAX_PARTS); ++i)
    see(sip_hdr_area.part_content_disposition[i].part);
  for (u8 i = 0; i < raws; ++i) see(sip_hdr_area.body[i].part);
  for (int p = 0; ok && p <= last_part; ++p) {
    put_delimiter(boundary);
    put_part_headers(static_cast<u8>(p));
    for (u8 i = 0; ok && i < raws; ++i) {
      const sip_body_rec& b = sip_hdr_area.body[i];
      if (b.part != p) continue;
      ok = commit_body(body);
      put_crlf();
      (void)sip_out__append_bytes(b.text.ptr, b.text.len);
    }
    ok = ok && commit_body(body);
  }
  if (ok) {
    put("\r\n--");
    put(boundary);
    put("--\r\n");
    ok = commit_body(body);
  }
  if (!ok || body.first == nullptr) {
    sip_encode__fail();
    sip_chain__free(body);
    if (head.cur != nullptr) sip_out__start(reinterpret_cast<char*>(Buffer_data(head.cur)), 0);
    return;
  }
  u32 length = 0;
  for (const buffer_t* b = body.first; b != nullptr; b = b->next) length += b->data_size;
  Free_buffer(body.cur);
  body.cur = nullptr;
  // Back to the header chain for the length line.
  sip_out__start(reinterpret_cast<char*>(Buffer_data(head.cur)),
                 static_cast<std::size_t>(om_os_get_buffer_size() - head.cur->data_offset));
  sip_out__content_length(length - 2);
  if (!sip_out__commit_line() || head.last == nullptr) {
    Free_buffer(body.first);
    return;
  }
  head.last->next = body.first;
  head.last = body.last;
}

}  // namespace

void sip_out__content_length(u32 length) {
  put_header_name(sip_header_id::content_length);
  put_dec(length);
  put_crlf();
}

void sip_out__sdp_body(u8) {
  if (sip_encode_failed) return;
  const sip_media_type_rec* ct = multipart_type();
  // The body is written aside first: its length leads it.
  char scratch[1600];
  const sip_out_buf_t line = sip_out;
  sip_out__start(scratch, sizeof scratch);
  bool empty = false;
  bool ok;
  if (ct != nullptr) {
    const sip_str boundary = boundary_of(*ct);
    put_crlf();
    put_delimiter(boundary);
    put_sdp_part_headers();
    ok = put_sdp(&empty);
    put("\r\n--");
    put(boundary);
    put("--\r\n");
    ok = ok && !sip_out.overflow;
    empty = false;
  } else {
    ok = put_sdp(&empty);
  }
  const auto written = static_cast<u16>(sip_out.ptr - scratch);
  sip_out = line;
  if (!ok) {
    sip_encode__fail();
    return;
  }
  if (empty) {
    // Nothing but "v=0" to say: an empty body.
    sip_out__content_length(0);
    put_crlf();
    return;
  }
  sip_out__content_length(static_cast<u32>(written - 2));
  (void)sip_out__append_bytes(scratch, written);
}

void sip_out__body(u8 count) {
  if (sip_encode_failed || count == 0) return;
  if (count_of(sip_header_id::content_type) == 0) {
    // A body nobody can interpret is not sent (RFC 3261 20.15).
    sip_encode__fail();
    return;
  }
  if (const sip_media_type_rec* ct = multipart_type(); ct != nullptr) {
    multipart_body(*ct);
    return;
  }
  const sip_body_rec& b = sip_hdr_area.body[0];
  sip_out__content_length(b.text.len);
  put_crlf();
  if (b.text.len == 0) return;
  (void)sip_out__append_bytes(b.text.ptr, b.text.len);
  const bool session =
      count_of(sip_header_id::content_disposition) == 0 || sip_hdr_area.content_disposition[0].disposition == 's';
  const char last = b.text.ptr[b.text.len - 1];
  if (session && last != '\n' && last != '\r') put_crlf();
}
