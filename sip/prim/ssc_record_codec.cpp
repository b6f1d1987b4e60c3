#include "sip/prim/ssc_record_codec.h"

#include <array>
#include <cstring>
#include <utility>

#include "common/byte_order.h"
#include "sip/prim/sip_prim.h"

namespace {

// The handle being converted: the fields kept in its fixed part (Request-URI
// transport address, transaction number) are read and written through it.
ssc_handle* cur_handle = nullptr;
bool first_via = false;

}  // namespace

// Pairs {SIP method letter, ssc_msg_type}.
const u8 ssc_kind_type_map[SSC_KIND_TYPE_PAIRS][2] = {
    {'A', 0},     {'D', 1},     {'F', 2},     {'B', 3},     {'C', 4},     {'E', 5},     {0xFF, 40},   {0xFF, 0xFF},
    {0xFF, 0xFF}, {0xFF, 0xFF}, {0xFF, 0xFF}, {0xFF, 0xFF}, {0xFF, 0xFF}, {0xFF, 0xFF}, {0xFF, 0xFF}, {0xFF, 0xFF},
    {0xFF, 0xFF}, {0xFF, 0xFF}, {0xFF, 0xFF}, {0xFF, 0xFF}, {0xFF, 0xFF}, {0xFF, 0xFF}, {0xFF, 0xFF}, {0xFF, 0xFF},
    {0xFF, 0xFF}, {0xFF, 0xFF}, {0xFF, 0xFF}, {0, 0},       {0, 0},
};

namespace {

u8 failed(ssc_rc_fail* f, u8 error, ssc_header_id id) {
  if (f != nullptr) {
    f->error = error;
    f->id = id;
  }
  return error;
}

// The URI sub-record of an instance, for the values derived on decoding.
ssc_uri* uri_of(ssc_header_id id, void* inst) {
  switch (ssc_idx(id)) {
    case 3: return &static_cast<ssc_hdr_request_uri*>(inst)->uri;
    case 14: return &static_cast<ssc_hdr_contact*>(inst)->uri;
    case 23:
    case 54:
    case 93: return &static_cast<ssc_hdr_name_addr*>(inst)->uri;
    case 30:
    case 32:
    case 33: return &static_cast<ssc_hdr_identity*>(inst)->uri;
    case 40:
    case 42:
    case 45:
    case 49:
    case 96: return &static_cast<ssc_hdr_route*>(inst)->uri;
    case 72: return &static_cast<ssc_hdr_referred_by*>(inst)->uri;
    case 85: return &static_cast<ssc_hdr_diversion*>(inst)->uri;
    default: return nullptr;
  }
}

void put_num(u8* at, sip_elem_kind k, u32 v) {
  if (k == sip_elem_kind::u8) *at = static_cast<u8>(v);
  else if (k == sip_elem_kind::u16) put_host16(at, static_cast<u16>(v));
  else put_host32(at, v);
}
u32 get_num(const u8* at, sip_elem_kind k) {
  if (k == sip_elem_kind::u8) return *at;
  if (k == sip_elem_kind::u16) return get_host16(at);
  return get_host32(at);
}

// Writes `n` bytes (and a NUL) as the next variable field; its length at `at`.
void put_var(u8* at, const void* data, u16 n, bool nul, sip_prim_cursor& c) {
  if (n == 0 && nul) {
    put_host16(at, sip_prim__put("", 1, false, c));  // an empty text: its NUL alone
    return;
  }
  put_host16(at, sip_prim__put(data, n, nul, c));
}

u8 encode_allow(void* inst, u16 slot, ssc_rc_fail* fail) {
  auto* a = static_cast<ssc_hdr_allow*>(inst);
  sip_prim_cursor& c = sip_prim_cur;
  for (u8 i = 0; i < SSC_ALLOW_FLAGS; ++i) {
    const u8 letter = ssc_kind__letter_of_type(i);
    if (a->allowed[i] != 1 || letter == 0xFF || letter == 0) continue;
    if (!sip_prim__add_element(slot, c)) return failed(fail, SSC_RC_NO_ROOM, ssc_header_id::ALLOW);
    u8* node = sip_prim__begin_fixed(4, c);
    if (node == nullptr) return failed(fail, SSC_RC_NO_ROOM, ssc_header_id::ALLOW);
    node[2] = letter;
  }
  return SSC_RC_OK;
}

u8 encode_element(ssc_header_id id, void* inst, u16 slot, ssc_rc_fail* fail) {
  if (id == ssc_header_id::ALLOW) return encode_allow(inst, slot, fail);
  const ssc_elem_binding* b = ssc_elem__binding(id);
  if (b == nullptr) return SSC_RC_OK;
  sip_prim_cursor& c = sip_prim_cur;
  if (!sip_prim__add_element(slot, c)) return failed(fail, SSC_RC_NO_ROOM, id);
  u8* node = sip_prim__begin_fixed(b->fixed_len, c);
  if (node == nullptr) return failed(fail, SSC_RC_NO_ROOM, id);
  for (std::size_t i = 0; i < b->field_count; ++i) {
    const ssc_elem_field& f = b->fields[i];
    u8* at = node + f.offset;
    switch (f.form) {
      case ssc_fk::num: {
        u32 v = f.get(inst);
        if ((f.flags & SSC_F_CAP254) && v > 254) {
          v = 0;
          f.set(inst, 0);
        }
        if (f.flags & SSC_F_METHOD) v = ssc_kind__letter_of_type(static_cast<u8>(v));
        put_num(at, f.kind, v);
        break;
      }
      case ssc_fk::special: {
        const ssc_handle* h = cur_handle;
        if (f.special == SSC_SP_RURI_PORT) {
          put_host16(at, h->addr_family == '4' || h->addr_family == '6' ? h->addr_port : 0xFFFF);
        } else if (f.special == SSC_SP_RURI_ADDR) {
          if (h->addr_family == '4') put_var(at, h->addr_v4, 4, false, c);
          else if (h->addr_family == '6') put_var(at, h->addr_v6, 16, false, c);
        } else if (f.special == SSC_SP_VIA_NUMBER) {
          put_host16(at, first_via ? h->transaction_number : 0);
        }
        break;
      }
      case ssc_fk::text: {
        const char** p = f.text(inst);
        if (!ssc_ptr_set(*p)) {
          *p = nullptr;
          break;
        }
        const std::size_t limit = (f.flags & SSC_F_NO_NUL) ? f.bound + 1u : f.bound;
        std::size_t n = strnlen(*p, limit);
        if (n >= limit) {
          if (!(f.flags & SSC_F_CUT)) return failed(fail, SSC_RC_TOO_LONG, id);
          n = limit - 1;
        }
        if ((f.flags & SSC_F_NO_NUL) && n == 0) break;
        put_var(at, *p, static_cast<u16>(n), !(f.flags & SSC_F_NO_NUL), c);
        break;
      }
      case ssc_fk::addr: {
        const ssc_addr_ref a = f.addr(inst);
        if (*a.family == '4') put_var(at, a.v4, 4, false, c);
        else if (*a.family == '6') put_var(at, a.v6, 16, false, c);
        break;
      }
      case ssc_fk::bytes: {
        const ssc_bytes_ref r = f.bytes(inst);
        if (!ssc_ptr_set(*r.bytes)) {
          *r.bytes = nullptr;
          break;
        }
        const u16 n = *r.count == 0xFFFF ? 0 : *r.count;
        if (n > f.bound) return failed(fail, SSC_RC_TOO_LONG, id);
        if (n > 0) put_var(at, *r.bytes, n, false, c);
        break;
      }
    }
    if (c.failed) return failed(fail, SSC_RC_NO_ROOM, id);
  }
  return SSC_RC_OK;
}

u8 encode_none(ssc_header_id, void*, u16, ssc_rc_fail*) { return SSC_RC_OK; }
u16 decode_none(ssc_header_id, void*, ssc_rc_fail*) { return 0; }

// A copy of n bytes in the handle's area, with a NUL behind when `nul`.
u8* keep(const u8* src, u16 n, bool nul) {
  auto* dst = static_cast<u8*>(Ssc_alloc_area(cur_handle, static_cast<u16>(n + (nul ? 1 : 0))));
  if (dst == nullptr) return nullptr;
  std::memcpy(dst, src, n);
  if (nul) dst[n] = 0;
  return dst;
}

u16 decode_element(ssc_header_id id, void* inst, ssc_rc_fail* fail) {
  const ssc_elem_binding* b = ssc_elem__binding(id);
  if (b == nullptr) return 0;
  sip_prim_cursor& c = sip_prim_cur;
  const u8* node = c.element;
  u16 taken = 0;
  u8* sdp_family = nullptr;  // an SDP address still to be told from its host text
  for (std::size_t i = 0; i < b->field_count; ++i) {
    const ssc_elem_field& f = b->fields[i];
    const u8* at = node + f.offset;
    const bool var = f.form != ssc_fk::num && !(f.form == ssc_fk::special && f.kind != sip_elem_kind::raw);
    const u16 len = var ? get_host16(at) : 0;
    const u8* data = nullptr;
    if (len > 0) {
      data = sip_prim__take(len, c);
      if (data == nullptr) return failed(fail, SSC_RC_MALFORMED, id), 0;
      taken = static_cast<u16>(taken + len);
    }
    switch (f.form) {
      case ssc_fk::num: {
        u32 v = get_num(at, f.kind);
        if (f.flags & SSC_F_METHOD) v = ssc_kind__type_of_letter(static_cast<u8>(v));
        if ((f.flags & SSC_F_SCHEME) && v == 0) v = 'A';
        f.set(inst, v);
        break;
      }
      case ssc_fk::special:
        if (f.special == SSC_SP_RURI_ADDR) {
          if (len == 4) {
            cur_handle->addr_family = '4';
            std::memcpy(cur_handle->addr_v4, data, 4);
          } else if (len == 16) {
            cur_handle->addr_family = '6';
            std::memcpy(cur_handle->addr_v6, data, 16);
          }
        } else if (f.special == SSC_SP_RURI_PORT) {
          // The port the request came from, beside its address (slot 40).
          const u16 port = get_host16(at);
          if (port != 0xFFFF) cur_handle->addr_port = port;
        } else if (f.special == SSC_SP_VIA_NUMBER && first_via) {
          cur_handle->transaction_number = get_host16(at);
        }
        break;
      case ssc_fk::text: {
        const char** p = f.text(inst);
        if (len == 0) {
          *p = nullptr;
          break;
        }
        u16 n = len;
        const bool raw = (f.flags & SSC_F_NO_NUL) != 0;
        if (!raw) {
          if (data[len - 1] != 0 || std::memchr(data, 0, len - 1u) != nullptr)
            return failed(fail, SSC_RC_MALFORMED, id), 0;
          n = static_cast<u16>(len - 1);
        } else if (std::memchr(data, 0, len) != nullptr) {
          return failed(fail, SSC_RC_MALFORMED, id), 0;
        }
        const u16 limit = raw ? f.bound : static_cast<u16>(f.bound - 1);
        if (n > limit) {
          if (!(f.flags & SSC_F_CUT)) return failed(fail, SSC_RC_TOO_LONG, id), 0;
          n = limit;
        }
        const u8* copy = keep(data, n, true);
        if (copy == nullptr) return failed(fail, SSC_RC_HANDLE_FULL, id), 0;
        *p = reinterpret_cast<const char*>(copy);
        if (sdp_family != nullptr) *sdp_family = 'N';
        break;
      }
      case ssc_fk::addr: {
        const ssc_addr_ref a = f.addr(inst);
        if (len == 4) {
          *a.family = '4';
          std::memcpy(a.v4, data, 4);
        } else if (len == 16) {
          *a.family = '6';
          std::memcpy(a.v6, data, 16);
        } else if (f.flags & SSC_F_ADDR_SDP) {
          *a.family = 0xFF;
          sdp_family = a.family;
          continue;  // the host text right behind decides
        } else {
          *a.family = (f.flags & SSC_F_ADDR_NONE) ? 0xFF : 'N';
        }
        break;
      }
      case ssc_fk::bytes: {
        const ssc_bytes_ref r = f.bytes(inst);
        if (len > f.bound) return failed(fail, SSC_RC_TOO_LONG, id), 0;
        *r.count = len;
        *r.bytes = nullptr;
        if (len > 0) {
          *r.bytes = keep(data, len, false);
          if (*r.bytes == nullptr) return failed(fail, SSC_RC_HANDLE_FULL, id), 0;
        }
        break;
      }
    }
    sdp_family = nullptr;
  }
  if (ssc_uri* u = uri_of(id, inst)) {
    if (u->user != nullptr && ssc_ptr_set(u->user)) u->user_form = 'U';
    else if (u->tel_global != 0xFF) u->user_form = 'P';
  }
  return taken;
}

u16 fixed_len_of(ssc_header_id id) {
  if (id == ssc_header_id::P_MEDIA_AUTHORIZATION) return sip_elem__layout(static_cast<sip_header_id>(33))->fixed_len;
  const ssc_elem_binding* b = ssc_elem__binding(id);
  return b != nullptr ? b->fixed_len : 0;
}

void* new_instance(ssc_handle* h, ssc_header_id id, void** head, const u8* slot, ssc_rc_fail* fail) {
  sip_prim_cursor& c = sip_prim_cur;
  const u16 fixed = fixed_len_of(id);
  const u8 n = *head == nullptr ? sip_prim__first_element(slot, fixed, c) : sip_prim__next_element(fixed, c);
  if (n == SIP_PRIM_BAD_LIST) return failed(fail, SSC_RC_MALFORMED, id), nullptr;
  if (n == 0) return nullptr;
  void* inst = Ssc_add_header_to_list(h, head, id);
  if (inst == nullptr) failed(fail, SSC_RC_HANDLE_FULL, id);
  return inst;
}

// The instance size of an id (the catalogue's record of the id).
constexpr u16 size_of(unsigned id) {
  switch (id) {
    case 0: return sizeof(ssc_hdr_profile_parms);
    case 1: return sizeof(ssc_hdr_transport_addr);
    case 2:
    case 94: return sizeof(ssc_hdr_byte);
    case 3: return sizeof(ssc_hdr_request_uri);
    case 4: return sizeof(ssc_hdr_status);
    case 5: return sizeof(ssc_hdr_accept);
    case 6:
    case 16:
    case 34:
    case 35:
    case 43:
    case 52:
    case 55:
    case 89: return sizeof(ssc_hdr_code_text);
    case 7: return sizeof(ssc_hdr_str4);
    case 8:
    case 21:
    case 92: return sizeof(ssc_hdr_str2);
    case 9: return sizeof(ssc_hdr_allow);
    case 10: return sizeof(ssc_hdr_auth_info);
    case 11:
    case 37: return sizeof(ssc_hdr_credentials);
    case 12: return sizeof(ssc_hdr_call_id);
    case 13: return sizeof(ssc_hdr_call_info);
    case 14: return sizeof(ssc_hdr_contact);
    case 15:
    case 68: return sizeof(ssc_hdr_disposition);
    case 17:
    case 20:
    case 26:
    case 29:
    case 38:
    case 51: return sizeof(ssc_hdr_str1);
    case 18: return sizeof(ssc_hdr_content_type);
    case 22:
    case 25:
    case 27:
    case 90: return sizeof(ssc_hdr_u32);
    case 23:
    case 54:
    case 93: return sizeof(ssc_hdr_name_addr);
    case 24: return sizeof(ssc_hdr_in_reply_to);
    case 28: return sizeof(ssc_hdr_min_se);
    case 30:
    case 32:
    case 33: return sizeof(ssc_hdr_identity);
    case 31: return sizeof(ssc_hdr_none);
    case 36:
    case 59: return sizeof(ssc_hdr_challenge);
    case 39: return sizeof(ssc_hdr_reason);
    case 40:
    case 42:
    case 45:
    case 49:
    case 96: return sizeof(ssc_hdr_route);
    case 41: return sizeof(ssc_hdr_replaces);
    case 44: return sizeof(ssc_hdr_retry_after);
    case 46:
    case 56: return sizeof(ssc_hdr_product);
    case 50: return sizeof(ssc_hdr_session_expires);
    case 53: return sizeof(ssc_hdr_timestamp);
    case 57: return sizeof(ssc_hdr_via);
    case 58: return sizeof(ssc_hdr_warning);
    case 60: return sizeof(ssc_hdr_body);
    case 61: return sizeof(ssc_hdr_sdp_session);
    case 62: return sizeof(ssc_hdr_sdp_media);
    case 63: return sizeof(ssc_hdr_sdp_rtpmap);
    case 64: return sizeof(ssc_hdr_sdp_other_media);
    case 65: return sizeof(ssc_hdr_sdp_origin);
    case 66: return sizeof(ssc_hdr_part_type);
    case 67: return sizeof(ssc_hdr_part_headers);
    case 72: return sizeof(ssc_hdr_referred_by);
    case 75: return sizeof(ssc_hdr_sdp_t38);
    case 85: return sizeof(ssc_hdr_diversion);
    case 91: return sizeof(ssc_hdr_mgmt);
    case 95: return sizeof(ssc_hdr_tx_link);
    default: return 0;  // 84 and the ids that are not SSC headers
  }
}

constexpr ssc_record_codec_row make_row(unsigned id) {
  // Ids that are not SSC headers, and SSC-only headers: no functions.
  switch (id) {
    case 0:
    case 1:
    case 2:
    case 84:
    case 90:
    case 91:
    case 95: return {static_cast<u16>(id), size_of(id), nullptr, nullptr, nullptr};
    case 31: return {31, size_of(id), decode_none, encode_none, new_instance};
    case 96: return {96, size_of(id), nullptr, encode_element, nullptr};
    default: break;
  }
  if (ssc_elem__binding_index(static_cast<ssc_header_id>(id)) < 0) return {0, 0, nullptr, nullptr, nullptr};
  return {static_cast<u16>(id), size_of(id), decode_element, encode_element, new_instance};
}

template <std::size_t... I>
constexpr std::array<ssc_record_codec_row, sizeof...(I)> make_table(std::index_sequence<I...>) {
  return {make_row(I)...};
}
constexpr auto TABLE = make_table(std::make_index_sequence<SSC_HEADER_ID_COUNT>{});

// Decodes the Allow slot into one instance: a flag per element's method.
u8 decode_allow(ssc_handle* h, const u8* slot, ssc_rc_fail* fail) {
  sip_prim_cursor& c = sip_prim_cur;
  u8 n = sip_prim__first_element(slot, 4, c);
  if (n == SIP_PRIM_BAD_LIST) return failed(fail, SSC_RC_MALFORMED, ssc_header_id::ALLOW);
  if (n == 0) return SSC_RC_OK;
  auto* a = static_cast<ssc_hdr_allow*>(Ssc_alloc_header(h, ssc_header_id::ALLOW));
  if (a == nullptr) return failed(fail, SSC_RC_HANDLE_FULL, ssc_header_id::ALLOW);
  std::memset(a->allowed, 0, sizeof a->allowed);  // the received list alone, not the defaults
  for (; n != 0; n = sip_prim__next_element(4, c)) {
    const u8 type = ssc_kind__type_of_letter(c.element[2]);
    if (type < SSC_ALLOW_FLAGS) a->allowed[type] = 1;
  }
  return SSC_RC_OK;
}

bool is_description(ssc_header_id id) {
  const unsigned i = ssc_idx(id);
  return (i >= 61 && i <= 65) || i == 75;
}

// Clears the module's handle pointer on every way out of a walk.
struct walk_scope {
  explicit walk_scope(ssc_handle* h) { cur_handle = h; }
  ~walk_scope() { cur_handle = nullptr; }
  walk_scope(const walk_scope&) = delete;
  walk_scope& operator=(const walk_scope&) = delete;
};

}  // namespace

const ssc_record_codec_row ssc_record_codec_table[SSC_HEADER_ID_COUNT] = {
#define R(n) TABLE[n]
    R(0),  R(1),  R(2),  R(3),  R(4),  R(5),  R(6),  R(7),  R(8),  R(9),  R(10), R(11), R(12), R(13),
    R(14), R(15), R(16), R(17), R(18), R(19), R(20), R(21), R(22), R(23), R(24), R(25), R(26), R(27),
    R(28), R(29), R(30), R(31), R(32), R(33), R(34), R(35), R(36), R(37), R(38), R(39), R(40), R(41),
    R(42), R(43), R(44), R(45), R(46), R(47), R(48), R(49), R(50), R(51), R(52), R(53), R(54), R(55),
    R(56), R(57), R(58), R(59), R(60), R(61), R(62), R(63), R(64), R(65), R(66), R(67), R(68), R(69),
    R(70), R(71), R(72), R(73), R(74), R(75), R(76), R(77), R(78), R(79), R(80), R(81), R(82), R(83),
    R(84), R(85), R(86), R(87), R(88), R(89), R(90), R(91), R(92), R(93), R(94), R(95), R(96),
#undef R
};

u8 ssc_kind__type_of_letter(u8 letter) {
  for (const auto& p : ssc_kind_type_map)
    if (p[0] == letter) return p[1];
  return 0xFF;
}

u8 ssc_kind__letter_of_type(u8 index) { return index < SSC_KIND_TYPE_PAIRS ? ssc_kind_type_map[index][0] : 0xFF; }

u8 ssc_encode_to_sip(ssc_handle* h, buffer_t** out, ssc_rc_fail* fail) {
  *out = nullptr;
  if (!ssc_is_handle(h)) return failed(fail, SSC_RC_NO_LIST, ssc_header_id::PROFILE_PARMS);
  const ssc_sip_map_row* row = ssc_sip_map__row(h->type);
  if (row == nullptr) return failed(fail, SSC_RC_NO_LIST, ssc_header_id::PROFILE_PARMS);
  walk_scope scope(h);
  // With a body the description travels as its text alone: the SDP headers
  // the handle still holds are not sent beside it.
  const bool has_body = *Ssc_list_head(h, ssc_header_id::BODY) != nullptr;
  sip_prim_cursor& c = sip_prim_cur;
  buffer_t* first = Alloc_buffer();
  sip_prim__init(row->index_bytes, first, c);
  u8 r = c.failed ? failed(fail, SSC_RC_NO_ROOM, ssc_header_id::PROFILE_PARMS) : SSC_RC_OK;
  for (const ssc_sip_map_entry* e = row->list; r == SSC_RC_OK && ssc_idx(e->id) != SSC_MAP_END; ++e) {
    const ssc_record_codec_row& cr = ssc_record_codec_table[ssc_idx(e->id)];
    if (cr.encode == nullptr || (has_body && is_description(e->id))) continue;
    void** head = Ssc_list_head(h, e->id);
    if (head == nullptr) continue;
    first_via = true;
    for (void* inst = *head; inst != nullptr && r == SSC_RC_OK; inst = *static_cast<void**>(inst)) {
      r = cr.encode(e->id, inst, e->slot_offset, fail);
      first_via = false;
    }
  }
  const u16 size = sip_prim__finish(c);
  if (r == SSC_RC_OK && c.failed) r = failed(fail, SSC_RC_NO_ROOM, ssc_header_id::PROFILE_PARMS);
  if (r != SSC_RC_OK) {
    if (first != nullptr) Free_buffer(first);
    return r;
  }
  first->data_size = size;
  *out = first;
  return SSC_RC_OK;
}

u8 ssc_decode_from_sip(ssc_handle* h, const u8* body, u16 length, ssc_rc_fail* fail) {
  if (!ssc_is_handle(h)) return failed(fail, SSC_RC_NO_LIST, ssc_header_id::PROFILE_PARMS);
  const ssc_sip_map_row* row = ssc_sip_map__row(h->type);
  if (row == nullptr) return failed(fail, SSC_RC_NO_LIST, ssc_header_id::PROFILE_PARMS);
  if (body == nullptr || length < row->index_bytes) return failed(fail, SSC_RC_MALFORMED, ssc_header_id::PROFILE_PARMS);
  walk_scope scope(h);
  // Beside a body the description is read from its text alone (by the SDP
  // glue): SDP elements next to it are not taken.
  bool has_body = false;
  for (const ssc_sip_map_entry* e = row->list; ssc_idx(e->id) != SSC_MAP_END; ++e)
    if (e->id == ssc_header_id::BODY && get_host16(body + e->slot_offset) != 0) has_body = true;
  sip_prim_cursor& c = sip_prim_cur;
  sip_prim__open(body, length, c);
  for (const ssc_sip_map_entry* e = row->list; ssc_idx(e->id) != SSC_MAP_END; ++e) {
    const ssc_record_codec_row& cr = ssc_record_codec_table[ssc_idx(e->id)];
    if (cr.new_instance == nullptr || cr.decode == nullptr || (has_body && is_description(e->id))) continue;
    const u8* slot = body + e->slot_offset;
    if (get_host16(slot) >= length) return failed(fail, SSC_RC_MALFORMED, e->id);
    if (e->id == ssc_header_id::ALLOW) {
      const u8 r = decode_allow(h, slot, fail);
      if (r != SSC_RC_OK) return r;
      continue;
    }
    void** head = Ssc_list_head(h, e->id);
    if (head == nullptr) continue;
    if (*head != nullptr) return failed(fail, SSC_RC_MALFORMED, e->id);  // a list filled twice
    first_via = true;
    ssc_rc_fail local;
    for (void* inst = cr.new_instance(h, e->id, head, slot, &local); inst != nullptr;
         inst = cr.new_instance(h, e->id, head, slot, &local)) {
      cr.decode(e->id, inst, &local);
      first_via = false;
      if (local.error != SSC_RC_OK) break;
    }
    if (local.error != SSC_RC_OK) return failed(fail, local.error, local.id);
  }
  return SSC_RC_OK;
}
