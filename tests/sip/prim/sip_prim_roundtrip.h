// Test helper: a parsed message goes through the primitive encoders into a
// body and back through the decoders; what differs between the work area
// before and after is listed field by field.
#pragma once

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "sip/text/sdp.h"
#include "sip/prim/sip_elem.h"
#include "tests/sip/text/sip_parse_fixture.h"

namespace sip_prim_rt {

// The kind of the parsed message in the work area; false for a method
// without one.
inline bool kind_of_parsed(sip_msg_kind* kind) {
  const std::uint8_t m = sip_hdr_area.method;
  if (m >= SIP_METHOD_INVITE && m <= SIP_METHOD_REGISTER) return sip_kind__of_method(m - 0xE0u, false, kind);
  if (m == SIP_METHOD_RESPONSE && sip_hdr_area.cseq.method >= 0xC1 && sip_hdr_area.cseq.method <= 0xC6)
    return sip_kind__of_method(sip_hdr_area.cseq.method - 0xC0u, true, kind);
  return false;
}

// Parses an "application/sdp" body of the work area into the SDP elements.
struct sdp_loader {
  std::vector<std::uint8_t> work = std::vector<std::uint8_t>(4096);
  bool load() {
    for (unsigned id : {63u, 64u, 65u, 66u, 67u, 83u}) sip_hdr_area.count[id] = 0;
    sip_prim_area = sip_prim_area_t{};
    if (sip_hdr_area.count[sip_hdr_slot(sip_header_id::content_type)] == 0 ||
        sip_hdr_area.content_type[0].type != 'A' || sip_hdr_area.content_type[0].subtype != 'H' ||
        sip_hdr_area.count[sip_hdr_slot(sip_header_id::body)] == 0)
      return false;
    sip_prim_area_t& a = sip_prim_area;
    sdp_desc d;
    d.session = &a.session;
    d.av = a.av;
    d.rtpmap = a.rtpmap;
    d.other = a.other;
    d.origin = &a.origin;
    d.image = a.image;
    sdp_work_buf w{work.data(), 0, static_cast<std::uint16_t>(work.size())};
    const sip_str text = sip_hdr_area.body[0].text;
    const char* pos = text.ptr;
    if (sdp_parse(&pos, text.ptr + text.len, &d, &w, 0) == SDP_PARSE_REFUSED) return false;
    sip_hdr_area.count[63] = 1;
    sip_hdr_area.count[64] = d.av_count;
    sip_hdr_area.count[65] = d.rtpmap_count;
    sip_hdr_area.count[66] = d.other_count;
    sip_hdr_area.count[67] = d.origin_present;
    sip_hdr_area.count[83] = d.image_count;
    return true;
  }
};

inline std::vector<std::uint8_t> flatten(const buffer_t* chain) {
  std::vector<std::uint8_t> out;
  for (const buffer_t* b = chain; b != nullptr; b = b->next)
    out.insert(out.end(), Buffer_data(b), Buffer_data(b) + b->data_size);
  return out;
}

inline std::uint16_t chars_of(sip_str s) { return sip_str__chars(s); }

// The instance record at the same place in a copy of the area.
template <class Area>
const void* in_copy(const void* rec, const Area& live, const Area& copy) {
  const auto* l = reinterpret_cast<const char*>(&live);
  const auto* r = static_cast<const char*>(rec);
  if (r >= l && r < l + sizeof(Area)) return reinterpret_cast<const char*>(&copy) + (r - l);
  return nullptr;
}

struct outcome {
  std::uint16_t built = 0;    // sip_prim__build_up
  std::uint16_t decoded = 0;  // sip_prim__decode_body
  unsigned failed_id = 0;
  std::size_t body_size = 0;
  unsigned buffers = 0;
  std::vector<std::string> diffs;  // "<id>[<instance>]@<offset>"
};

// Runs the work area of a parsed message of `kind` through both ways.  The
// decoded work area points into a body that is gone on return: read the
// outcome, not the area.
inline outcome round_trip(sip_msg_kind kind) {
  outcome o;
  const sip_kind_hdr_table* t = sip_kind__table(kind);
  const bool response = !sip_kind__is_request(kind);
  const char k = static_cast<char>(kind);
  const sip_kind_index_entry& e = response ? sip_kind_index_rs[k - 'a' + 1] : sip_kind_index_rq[k - 'A' + 1];
  auto before = std::make_unique<sip_hdr_area_t>(sip_hdr_area);
  auto before_prim = std::make_unique<sip_prim_area_t>(sip_prim_area);
  buffer_t* chain = nullptr;
  o.built = sip_prim__build_up(e, 1, &chain);
  if (o.built != 2) return o;
  for (const buffer_t* b = chain; b != nullptr; b = b->next) ++o.buffers;
  const std::vector<std::uint8_t> body = flatten(chain);
  Free_buffer(chain);
  o.body_size = body.size();
  sip_prim_code = static_cast<std::uint8_t>(k);
  sip_header_id failed{};
  o.decoded = sip_prim__decode_body(body.data(), static_cast<std::uint16_t>(body.size()), *t, &failed);
  o.failed_id = static_cast<unsigned>(failed);
  if (o.decoded != 2) return o;
  for (unsigned row = 0; row < t->row_count; ++row) {
    const sip_header_id id = t->rows[row].id;
    const unsigned n = before->count[sip_hdr_slot(id)];
    const sip_elem_layout* l = sip_elem__layout(id);
    const unsigned kept = n < l->max ? n : l->max;
    char name[32];
    if (sip_hdr_area.count[sip_hdr_slot(id)] != kept) {
      std::snprintf(name, sizeof name, "%u count", sip_hdr_slot(id));
      o.diffs.push_back(name);
      continue;
    }
    for (unsigned i = 0; i < kept; ++i) {
      const void* now = l->record(i);
      const void* was = in_copy(now, sip_hdr_area, *before);
      if (was == nullptr) was = in_copy(now, sip_prim_area, *before_prim);
      for (std::size_t f = 0; f < l->field_count; ++f) {
        const sip_elem_field& fd = l->fields[f];
        bool same = true;
        if (fd.get_num != nullptr) {
          if (fd.set_num == nullptr) continue;  // written only on the way up
          same = fd.get_num(was) == fd.get_num(now) || fd.set_num == nullptr;
        } else if (fd.set_str != nullptr && fd.get_str != nullptr) {
          const sip_str a = fd.get_str(was), b = fd.get_str(now);
          const std::uint16_t na = fd.kind == sip_elem_kind::text ? chars_of(a) : a.len;
          const std::uint16_t nb = fd.kind == sip_elem_kind::text ? chars_of(b) : b.len;
          same = na == nb && (na == 0 || std::memcmp(a.ptr, b.ptr, na) == 0);
        }
        if (!same) {
          std::snprintf(name, sizeof name, "%u[%u]@%u", sip_hdr_slot(id), i, fd.offset);
          o.diffs.push_back(name);
        }
      }
    }
  }
  return o;
}

}  // namespace sip_prim_rt
