// Element encoders: one node per header instance, written from the header
// work area through the element layouts.
#include <cstring>

#include "common/byte_order.h"
#include "sip/prim/sip_elem.h"
#include "platform/int_types.h"

sip_prim_services sip_prim_env;
u8 sip_prim_code = 0;

void sip_elem__encode(sip_header_id id, u16 slot_offset) {
  sip_prim_cursor& c = sip_prim_cur;
  const sip_elem_layout* l = sip_elem__layout(id);
  if (l == nullptr || sip_hdr_area.index >= l->max) {
    c.failed = true;
    return;
  }
  const void* rec = l->record(sip_hdr_area.index);
  if (!sip_prim__add_element(slot_offset, c)) return;
  u8* node = sip_prim__begin_fixed(l->fixed_len, c);
  if (node == nullptr) return;
  for (std::size_t i = 0; i < l->field_count; ++i) {
    const sip_elem_field& f = l->fields[i];
    u8* at = node + f.offset;
    switch (f.kind) {
      case sip_elem_kind::u8: *at = static_cast<u8>(f.get_num(rec)); break;
      case sip_elem_kind::u16: put_host16(at, static_cast<u16>(f.get_num(rec))); break;
      case sip_elem_kind::u32: put_host32(at, f.get_num(rec)); break;
      case sip_elem_kind::text: {
        const sip_str s = f.get_str(rec);
        if (s.ptr != nullptr) put_host16(at, sip_prim__put(s.ptr, sip_str__chars(s), true, c));
        break;
      }
      case sip_elem_kind::raw: {
        const sip_str s = f.get_str(rec);
        if (s.ptr != nullptr) put_host16(at, sip_prim__put(s.ptr, s.len, false, c));
        break;
      }
    }
    if (c.failed) return;
  }
}

u16 sip_prim__build_up(const sip_kind_index_entry& entry, u8 mode, buffer_t** out) {
  *out = nullptr;
  if (entry.table == nullptr) return 3;
  sip_prim_cursor& c = sip_prim_cur;
  buffer_t* first = Alloc_buffer();
  sip_prim__init(static_cast<u16>(entry.index_bytes), first, c);
  const sip_kind_hdr_table& t = *entry.table;
  for (unsigned row = 0; row < t.row_count && !c.failed; ++row) {
    const sip_header_id id = t.rows[row].id;
    const unsigned n = sip_hdr_area.count[sip_hdr_slot(id)];
    if (n == 0 && t.rows[row].presence == SIP_ROW_MANDATORY && mode == 1) {
      if (sip_prim_env.report_error != nullptr) sip_prim_env.report_error(SIP_ELEM_MANDATORY_ABSENT, sip_hdr_slot(id));
      if (!sip_prim_env.allow_missing_mandatory) {
        if (first != nullptr) Free_buffer(first);
        return 400;
      }
    }
    const sip_elem_layout* l = sip_elem__layout(id);
    const unsigned held = l == nullptr ? 0 : (n < l->max ? n : l->max);
    for (unsigned i = 0; i < held && !c.failed; ++i) {
      sip_hdr_area.index = static_cast<u8>(i);
      sip_elem__encode(id, static_cast<u16>(2 * row));
    }
  }
  sip_hdr_area.index = 0;
  const u16 size = sip_prim__finish(c);
  if (c.failed || size > om_os_get_buffer_room()) {
    if (first != nullptr) Free_buffer(first);
    return 3;
  }
  first->data_size = size;
  *out = first;
  return 2;
}
