// Element decoders: every node of a downward primitive is copied back into
// the header work area through the element layouts, then each field is
// checked.  The body comes from another entity and is read as untrusted: its
// structure is checked before any field is used.
#include <cstring>

#include "common/byte_order.h"
#include "sip/text/sip_branch.h"
#include "sip/prim/sip_elem.h"
#include "sip/text/sip_uri.h"
#include "platform/int_types.h"

namespace {

constexpr int OK = SIP_ELEM_OK;
constexpr int BAD = SIP_ELEM_BAD;
constexpr int MISSING = SIP_ELEM_MISSING;

#define KV_TRY(expr)         \
  do {                       \
    const int r_ = (expr);   \
    if (r_ != OK) return r_; \
  } while (0)

// Characters of a checked text (its NUL left out).
u16 chars(const sip_str& s) { return s.len > 0 && s.ptr[s.len - 1] == 0 ? s.len - 1 : s.len; }

int cls(const sip_str& s, bool mandatory, u32 mask) { return sip_check__class(&s, mandatory, mask); }
int esc(const sip_str& s, bool mandatory, u32 mask) { return sip_check__class_escaped(&s, mandatory, mask); }
// Other-parameter texts: a text that fails is dropped, decoding goes on.
void drop(sip_str& s, u32 mask) {
  if (cls(s, false, mask) != OK) s = {};
}
// Quoted texts: escapes are added in a copy from the work memory; no room
// for the copy refuses the text.
int quote(sip_str& s) { return sip_check__quote(&s) == OK ? OK : BAD; }
int comment(const sip_str& s) { return sip_check__comment(&s); }
// Texts without a class rule: no CR, LF or NUL, so that they cannot end a
// header line of the text they are written into.
int plain(const sip_str& s) {
  const u16 n = chars(s);
  for (u16 i = 0; i < n; ++i)
    if (s.ptr[i] == '\r' || s.ptr[i] == '\n' || s.ptr[i] == 0) return BAD;
  return OK;
}
int raw4(const sip_str& s) { return s.len == 0 || s.len == 4 ? OK : MISSING; }
int code(const sip_value_table& t, u8 v, const char** text = nullptr) {
  const char* found = nullptr;
  const int r = sip_value__lookup(t, v, &found);
  if (r == OK && text != nullptr) *text = found;
  return r;
}
// A code, or with 255 the value as text (mask 0x20).
int code_or_text(const sip_value_table& t, u8 v, const sip_str& text, bool mandatory) {
  if (v == SIP_CODE_NONE) return cls(text, mandatory, SIP_CC_TOKEN);
  return code(t, v) == OK ? OK : BAD;
}

// SDP texts: every failure gives 19, an empty mandatory text included.
int sdp(const sip_str& s, bool mandatory, u32 mask) {
  return sdp_str__check_class(s, mandatory ? 1 : 0, mask) == SIP_RESULT_OK ? OK : BAD;
}
// Further SDP lines: whole lines of visible characters (and blanks), each
// ending in CR LF.
int sdp_lines(const sip_str& s) {
  u16 n = s.len;
  if (n > 0 && s.ptr[n - 1] == 0) --n;  // a text field's NUL
  bool line_start = true;
  for (u16 i = 0; i < n; ++i) {
    const auto c = static_cast<unsigned char>(s.ptr[i]);
    if (c == '\r') {
      if (line_start || i + 1 >= n || s.ptr[i + 1] != '\n') return BAD;
      ++i;
      line_start = true;
      continue;
    }
    if (c < 0x20 || c > 0x7E) return BAD;
    line_start = false;
  }
  return line_start ? OK : BAD;
}
// A connection: with a network type, 0 or 4 address bytes (18), and without
// bytes the address text (SDP class 0x400).
int sdp_conn(sdp_connection& c, bool always) {
  if (c.nettype == SDP_NONE8 && !always) return OK;
  KV_TRY(raw4(c.addr));
  if (c.addr.len == 0) KV_TRY(sdp(c.host, true, 0x400));
  return OK;
}
int sdp_code(const sip_value_table& t, u8 v, const char** text) { return code(t, v, text) == OK ? OK : BAD; }

// ---------------------------------------------------------------------------
// URI block

enum class uri_fields { all, all_but_headers, user_other_only };

int uri_block(sip_addr& a, uri_fields which) {
  KV_TRY(code(sip_vt_scheme, a.scheme));
  if (a.scheme == 'A' || a.scheme == '*') return OK;
  if (a.user_param == 'P') {
    KV_TRY(code(sip_vt_global, static_cast<u8>(a.global)));
    KV_TRY(esc(a.phone_number, false, 0x80009));
    KV_TRY(esc(a.isub, false, 0x80009));
    KV_TRY(esc(a.postd, false, 0x80009));
    KV_TRY(esc(a.phone_context, false, 0x10));
    KV_TRY(esc(a.tsp, false, 0x10));
    if (esc(a.tel_other, false, 0x18a0) != OK) a.tel_other = {};
  } else {
    a.global = -1;
    a.phone_number = a.isub = a.postd = a.phone_context = a.tsp = a.tel_other = sip_str{};
  }
  if (a.user.len == 1 && a.user.ptr[0] == 0) a.user = {};
  KV_TRY(esc(a.user, false, a.scheme == 1 ? 0x100 : 0x2100));
  KV_TRY(esc(a.password, false, 0x100));
  KV_TRY(raw4(a.ipv4));
  if (a.ipv4.len == 0) {
    KV_TRY(cls(a.host, true, a.scheme == 1 ? SIP_CC_HOST : SIP_CC_PARAM));
    // A host written as a dotted quad must be a valid address.
    if (a.scheme == 1 && sip_host__dotted_quad_test(sip_str{chars(a.host), a.host.ptr})) return SIP_ELEM_BAD_ADDRESS;
  }
  KV_TRY(code(sip_vt_user_param, a.user_param));
  if (a.user_param != SIP_CODE_NONE) KV_TRY(cls(a.user_other, false, SIP_CC_TOKEN));
  if (which == uri_fields::user_other_only) return OK;
  KV_TRY(code(sip_vt_uri_transport, a.transport));
  KV_TRY(cls(a.maddr, false, SIP_CC_HOST));
  if (a.transport != SIP_CODE_NONE) KV_TRY(cls(a.transport_other, false, SIP_CC_TOKEN));
  if (which == uri_fields::all) KV_TRY(esc(a.headers, false, 0x40000));
  drop(a.params_other, 0x10a0);
  return OK;
}

// Name-address headers: flag, display name, URI.
int name_addr(sip_name_addr& na, uri_fields which) {
  KV_TRY(code(sip_vt_yes_no, na.quoted));
  KV_TRY(quote(na.display));
  return uri_block(na.addr, which);
}
int route_like(sip_name_addr& na, bool hdr_params) {
  KV_TRY(name_addr(na, uri_fields::all));
  KV_TRY(code(sip_vt_method, na.addr.method_param));
  KV_TRY(code(sip_vt_loose_routing, na.addr.lr));
  if (hdr_params) KV_TRY(plain(na.params_other));
  return OK;
}
int from_like(sip_name_addr& na, bool tag) {
  // Not carried by these elements.
  na.addr.transport = na.addr.ttl = na.addr.method_param = SIP_CODE_NONE;
  KV_TRY(name_addr(na, uri_fields::user_other_only));
  if (tag) KV_TRY(cls(na.tag, false, SIP_CC_TOKEN));
  KV_TRY(plain(na.addr.text));
  drop(na.params_other, 0x10a0);
  return OK;
}

int credentials(sip_credentials_rec& c) {
  KV_TRY(code(sip_vt_auth_scheme, c.scheme));
  if (c.scheme == 'B') {
    KV_TRY(cls(c.basic, true, SIP_CC_BASE64));
    return OK;
  }
  KV_TRY(code(sip_vt_algorithm, c.algorithm));
  KV_TRY(code(sip_vt_qop, c.qop));
  for (sip_str* q : {&c.username, &c.realm, &c.nonce, &c.uri, &c.cnonce, &c.opaque}) KV_TRY(quote(*q));
  KV_TRY(plain(c.response));
  KV_TRY(cls(c.algorithm_text, false, SIP_CC_TOKEN));
  KV_TRY(cls(c.qop_text, false, SIP_CC_TOKEN));
  drop(c.other, 0x10a0);
  return OK;
}

int challenge(sip_challenge_rec& c) {
  KV_TRY(code(sip_vt_auth_scheme, c.scheme));
  KV_TRY(code(sip_vt_stale, c.stale));
  KV_TRY(code(sip_vt_algorithm, c.algorithm));
  if (c.qop_count > 2) return BAD;
  for (unsigned i = 0; i < c.qop_count; ++i)
    if (c.qop_options[i] == SIP_CODE_NONE || code(sip_vt_qop, c.qop_options[i]) != OK) return BAD;
  for (sip_str* q : {&c.realm, &c.domain, &c.nonce, &c.opaque}) KV_TRY(quote(*q));
  KV_TRY(cls(c.algorithm_text, false, SIP_CC_TOKEN));
  KV_TRY(cls(c.qop_text, false, SIP_CC_TOKEN));
  drop(c.other, 0x10a0);
  return OK;
}

int media_type(sip_media_type_rec& m) {
  KV_TRY(code(sip_vt_media_type, m.type));
  if (m.type == SIP_CODE_NONE) KV_TRY(cls(m.type_text, true, SIP_CC_TOKEN));
  const sip_value_table* sub = sip_vt__subtypes(m.type);
  const char* text = nullptr;
  if (sub == nullptr || m.subtype == SIP_CODE_NONE || sip_value__lookup(*sub, m.subtype, &text) != OK)
    KV_TRY(cls(m.subtype_text, true, SIP_CC_TOKEN));
  KV_TRY(code(sip_vt_isup_version, m.base));
  KV_TRY(cls(m.boundary, false, 0x10a0));
  KV_TRY(cls(m.version, false, SIP_CC_TOKEN));
  KV_TRY(cls(m.base_text, false, SIP_CC_TOKEN));
  drop(m.params_other, 0x10a0);
  return OK;
}

int disposition(sip_disposition_rec& d, const sip_str& handling_text) {
  KV_TRY(code(sip_vt_disposition_type, d.disposition));
  if (d.disposition == SIP_CODE_NONE) KV_TRY(cls(d.disposition_text, true, SIP_CC_TOKEN));
  KV_TRY(code(sip_vt_disposition_handling, d.handling));
  if (d.handling == SIP_CODE_NONE) KV_TRY(cls(handling_text, false, SIP_CC_TOKEN));
  drop(d.params_other, 0x10a0);
  return OK;
}

int callid(sip_callid_parsed& c, bool mandatory, u32 mask) {
  KV_TRY(cls(c.word, mandatory, mask));
  if (c.addr_len != 0 && c.addr_len != 4) return MISSING;
  if (c.addr_len == 0) KV_TRY(cls(c.host, false, mask));
  return OK;
}

int via(sip_via_rec& v) {
  KV_TRY(code(sip_vt_via_protocol, v.protocol));
  KV_TRY(code(sip_vt_via_transport, v.transport));
  KV_TRY(cls(v.protocol_text, false, SIP_CC_TOKEN));
  KV_TRY(cls(v.version, false, SIP_CC_TOKEN));
  KV_TRY(cls(v.transport_text, false, SIP_CC_TOKEN));
  KV_TRY(raw4(v.host_ipv4));
  if (v.host_ipv4.len == 0) {
    KV_TRY(cls(v.host, true, SIP_CC_HOST));
    if (sip_host__dotted_quad_test(sip_str{chars(v.host), v.host.ptr})) return SIP_ELEM_BAD_ADDRESS;
  }
  KV_TRY(cls(v.maddr, false, SIP_CC_HOST));
  KV_TRY(raw4(v.received));
  KV_TRY(esc(v.branch, false, SIP_CC_TOKEN));
  if (sip_prim_code < 82) {
    if (chars(v.branch) == 0) {
      if (!sip_branch__make(&v.branch)) return BAD;
    } else if (chars(v.branch) < 7 || std::memcmp(v.branch.ptr, SIP_BRANCH_COOKIE, 7) != 0) {
      return BAD;
    }
  }
  drop(v.params_other, 0x10a0);
  return OK;
}

// The per-header checks, after the fields are in the instance.  `extra`
// holds the texts that the work area has no place for (handling, screen,
// Warning parameters), in field order.
int check(sip_header_id id, void* rec, const sip_str* extra) {
  switch (static_cast<unsigned>(id)) {
    case 1: {
      auto& a = *static_cast<sip_addr*>(rec);
      a.method_param = SIP_CODE_NONE;  // the method is the primitive's
      KV_TRY(uri_block(a, uri_fields::all_but_headers));
      KV_TRY(plain(a.text));
      return raw4(sip_prim_area.rl_dest_addr);
    }
    case 2: {
      auto& s = *static_cast<sip_status_line_rec*>(rec);
      if (s.code < 100 || s.code > 699) return BAD;
      drop(s.reason, SIP_CC_TEXT);
      return OK;
    }
    case 3: {
      auto& a = *static_cast<sip_accept_rec*>(rec);
      KV_TRY(code(sip_vt_media_type, a.type));
      const sip_value_table* sub = sip_vt__subtypes(a.type);
      if (a.subtype != SIP_CODE_NONE && (sub == nullptr || code(*sub, a.subtype) != OK)) return BAD;
      KV_TRY(cls(a.type_text, false, SIP_CC_TOKEN));
      KV_TRY(cls(a.subtype_text, false, SIP_CC_TOKEN));
      KV_TRY(cls(a.params_first, false, 0x10a0));
      KV_TRY(cls(a.q, false, SIP_CC_DIGIT_DOT));
      drop(a.params_second, 0x10a0);
      return OK;
    }
    case 4:
    case 14: {
      auto& e = *static_cast<sip_encoding_rec*>(rec);
      KV_TRY(code(sip_vt_content_coding, e.coding));
      drop(e.params, 0x10a0);
      return OK;
    }
    case 5: {
      auto& l = *static_cast<sip_accept_language_rec*>(rec);
      KV_TRY(cls(l.primary, false, SIP_CC_ALPHA));
      KV_TRY(cls(l.subtag, false, SIP_CC_ALPHA));
      KV_TRY(cls(l.q, false, SIP_CC_DIGIT_DOT));
      drop(l.params, 0x10a0);
      return OK;
    }
    case 6:
    case 21: {
      auto& i = *static_cast<sip_info_uri_rec*>(rec);
      KV_TRY(cls(i.uri, id == sip_header_id::error_info, SIP_CC_PARAM));
      drop(i.params_other, 0x10a0);
      return OK;
    }
    case 7:
      return static_cast<sip_code_rec*>(rec)->code == SIP_CODE_NONE
                 ? BAD
                 : code(sip_vt_method, static_cast<sip_code_rec*>(rec)->code);
    case 8: {
      auto& a = *static_cast<sip_auth_info_rec*>(rec);
      KV_TRY(code(sip_vt_qop, a.qop));
      for (sip_str* q : {&a.nextnonce, &a.rspauth, &a.cnonce}) KV_TRY(quote(*q));
      return cls(a.qop_text, false, SIP_CC_TOKEN);
    }
    case 9:
    case 39: return credentials(*static_cast<sip_credentials_rec*>(rec));
    case 10: return callid(*static_cast<sip_callid_parsed*>(rec), true, SIP_CC_WORD);
    case 11: {
      auto& c = *static_cast<sip_call_info_rec*>(rec);
      KV_TRY(code(sip_vt_call_info_purpose, c.purpose));
      KV_TRY(cls(c.purpose_text, false, SIP_CC_TOKEN));
      KV_TRY(cls(c.uri, false, SIP_CC_PARAM));
      drop(c.params_other, 0x10a0);
      return OK;
    }
    case 12: {
      auto& c = *static_cast<sip_contact_rec*>(rec);
      KV_TRY(name_addr(c.na, uri_fields::all));
      KV_TRY(code(sip_vt_method, c.na.addr.method_param));
      KV_TRY(code(sip_vt_contact_action, c.action));
      KV_TRY(cls(c.q, false, SIP_CC_DIGIT_DOT));
      KV_TRY(cls(c.expires_date, false, SIP_CC_DATE));
      KV_TRY(comment(c.comment));
      return plain(c.na.params_other);
    }
    case 13:
    case 69:
    case 70: return disposition(*static_cast<sip_disposition_rec*>(rec), extra[0]);
    case 15: return cls(static_cast<sip_text_rec*>(rec)->text, true, SIP_CC_TOKEN);
    case 17:
    case 68: return media_type(*static_cast<sip_media_type_rec*>(rec));
    case 19: return cls(static_cast<sip_text_rec*>(rec)->text, false, SIP_CC_DATE);
    case 20: {
      auto& d = *static_cast<sip_diversion_rec*>(rec);
      KV_TRY(name_addr(d.na, uri_fields::all));
      KV_TRY(code(sip_vt_method, d.na.addr.method_param));
      KV_TRY(code(sip_vt_loose_routing, d.na.addr.lr));
      KV_TRY(code(sip_vt_diversion_reason, d.reason));
      KV_TRY(code(sip_vt_diversion_privacy, d.privacy));
      KV_TRY(code(sip_vt_screen, d.screen));
      KV_TRY(cls(d.reason_text, false, 0x10a0));
      KV_TRY(cls(d.privacy_text, false, 0x10a0));
      KV_TRY(cls(extra[0], false, 0x10a0));
      drop(d.na.params_other, 0x10a0);
      return OK;
    }
    case 22:
    case 26:
    case 28: return OK;
    case 23:
    case 56: return from_like(*static_cast<sip_name_addr*>(rec), true);
    case 24: {
      auto& h = *static_cast<sip_history_info_rec*>(rec);
      KV_TRY(route_like(h.na, false));
      KV_TRY(cls(h.index, false, SIP_CC_DIGIT_DOT));
      drop(h.na.params_other, 0x10a0);
      return OK;
    }
    case 25: {
      auto& c = *static_cast<sip_callid_parsed*>(rec);
      KV_TRY(cls(c.word, false, SIP_CC_TOKEN));
      if (c.addr_len != 0 && c.addr_len != 4) return MISSING;
      if (c.addr_len == 0) KV_TRY(cls(c.host, true, SIP_CC_TOKEN));
      return OK;
    }
    case 27: return cls(static_cast<sip_text_rec*>(rec)->text, true, SIP_CC_DIGIT_DOT);
    case 29: drop(static_cast<sip_min_se_rec*>(rec)->params, 0x10a0); return OK;
    case 30:
    case 53: return cls(static_cast<sip_text_rec*>(rec)->text, false, SIP_CC_TEXT);
    case 31:
    case 33:
    case 34:
    case 35: return route_like(*static_cast<sip_name_addr*>(rec), false);
    case 42:
    case 48:
    case 50: return route_like(*static_cast<sip_name_addr*>(rec), true);
    case 32: {
      auto& c = *static_cast<sip_code_text_rec*>(rec);
      return code_or_text(sip_vt_early_media, c.code, c.text, false);
    }
    case 36: {
      auto& c = *static_cast<sip_code_text_rec*>(rec);
      return code_or_text(sip_vt_priority, c.code, c.text, true);
    }
    case 37: {
      auto& c = *static_cast<sip_code_text_rec*>(rec);
      return code_or_text(sip_vt_privacy, c.code, c.text, true);
    }
    case 38:
    case 61: return challenge(*static_cast<sip_challenge_rec*>(rec));
    case 40: return cls(static_cast<sip_text_rec*>(rec)->text, false, SIP_CC_TOKEN);
    case 41: {
      auto& r = *static_cast<sip_reason_rec*>(rec);
      KV_TRY(code(sip_vt_reason_protocol, r.protocol));
      if (r.protocol == SIP_CODE_NONE) KV_TRY(cls(r.protocol_text, true, SIP_CC_TOKEN));
      KV_TRY(quote(r.text));
      drop(r.params_other, 0x10a0);
      return OK;
    }
    case 43: {
      auto& r = *static_cast<sip_replaces_rec*>(rec);
      if (r.call_ref == 0xFFFF) {
        KV_TRY(callid(r.call_id, true, SIP_CC_WORD));
      } else if (sip_prim_env.call_check == nullptr || sip_prim_env.call_check(r.call_ref) != 2) {
        return BAD;
      }
      KV_TRY(cls(r.from_tag, false, SIP_CC_TOKEN));
      KV_TRY(cls(r.to_tag, false, SIP_CC_TOKEN));
      drop(r.params_other, 0x10a0);
      return OK;
    }
    case 44: return from_like(*static_cast<sip_name_addr*>(rec), false);
    case 45: return code(sip_vt_request_disposition, static_cast<sip_code_rec*>(rec)->code);
    case 46:
    case 54:
    case 57: {
      auto& c = *static_cast<sip_code_text_rec*>(rec);
      return code_or_text(sip_vt_option_tag, c.code, c.text, false);
    }
    case 47: {
      auto& r = *static_cast<sip_retry_after_rec*>(rec);
      KV_TRY(comment(r.comment));
      drop(r.params_other, 0x10a0);
      return OK;
    }
    case 49:
    case 58: {
      auto& p = *static_cast<sip_product_rec*>(rec);
      KV_TRY(cls(p.product, false, SIP_CC_TOKEN_LWS));
      KV_TRY(cls(p.version, false, SIP_CC_TOKEN));
      return comment(p.comment);
    }
    case 51: {
      auto& s = *static_cast<sip_session_expires_rec*>(rec);
      KV_TRY(code(sip_vt_refresher, s.refresher));
      drop(s.params_other, 0x10a0);
      return OK;
    }
    case 52: {
      auto& s = *static_cast<sip_session_id_rec*>(rec);
      KV_TRY(cls(s.id, false, SIP_CC_ALNUM));
      drop(s.params_other, 0x10a0);
      return OK;
    }
    case 55: drop(static_cast<sip_timestamp_rec*>(rec)->extra, 0x10a0); return OK;
    case 59: return via(*static_cast<sip_via_rec*>(rec));
    case 60: {
      auto& w = *static_cast<sip_warning_rec*>(rec);
      KV_TRY(raw4(w.agent_ipv4));
      if (w.agent_ipv4.len == 0) KV_TRY(cls(w.agent, true, SIP_CC_HOST));
      // The other parameters (extra[0]) have no place in the work area and
      // are dropped whatever they hold.
      return quote(w.text);
    }
    case 62: return OK;
    case 63: {
      auto& s = *static_cast<sdp_session*>(rec);
      KV_TRY(sdp_code(sip_vt_sdp_nettype, s.conn.nettype, &s.conn.nettype_text));
      KV_TRY(sdp_code(sip_vt_sdp_bwtype, s.bwtype, &s.bwtype_text));
      KV_TRY(sdp_conn(s.conn, false));
      KV_TRY(sdp(s.name, false, 0x80));
      KV_TRY(sdp(s.start_time, false, 0x1));
      KV_TRY(sdp(s.stop_time, false, 0x1));
      return sdp_lines(s.extra_lines);
    }
    case 64: {
      auto& m = *static_cast<sdp_media_av*>(rec);
      KV_TRY(sdp_code(sip_vt_sdp_media, m.kind, &m.kind_text));
      KV_TRY(sdp_code(sip_vt_sdp_nettype, m.conn.nettype, &m.conn.nettype_text));
      KV_TRY(sdp_code(sip_vt_sdp_bwtype, m.bwtype, &m.bwtype_text));
      for (unsigned i = 0; i < m.format_count; ++i) {
        const u8 f = m.formats[i];
        if (!(f >= 96 && f <= 127) && (f == SDP_NONE8 || code(sip_vt_sdp_codec, f) != OK)) return BAD;
      }
      if (m.format_count > SDP_MAX_FORMATS) return BAD;
      KV_TRY(sdp_code(sip_vt_sdp_direction, m.direction, &m.direction_text));
      KV_TRY(sdp_code(sip_vt_sdp_transport, m.transport, &m.transport_text));
      KV_TRY(sdp_code(sip_vt_sdp_keymethod, m.keymethod, &m.keymethod_text));
      KV_TRY(sdp_conn(m.conn, false));
      KV_TRY(sdp(m.key, false, 0x20));
      return sdp_lines(m.extra_lines);
    }
    case 65: {
      auto& r = *static_cast<sdp_rtpmap*>(rec);
      if (chars(r.encoding_name) > 0) {
        KV_TRY(sdp(r.encoding_name, false, 0x20));
      } else if (r.codec != SDP_NONE8) {
        KV_TRY(sdp_code(sip_vt_sdp_codec, r.codec, &r.codec_text));
      }
      return sdp(r.fmtp, false, 0x80);
    }
    case 66: {
      auto& o = *static_cast<sdp_media_other*>(rec);
      KV_TRY(sdp_code(sip_vt_sdp_nettype, o.conn.nettype, &o.conn.nettype_text));
      KV_TRY(sdp_code(sip_vt_sdp_bwtype, o.bwtype, &o.bwtype_text));
      KV_TRY(sdp_code(sip_vt_sdp_keymethod, o.keymethod, &o.keymethod_text));
      KV_TRY(sdp_conn(o.conn, false));
      for (const sip_str* t : {&o.name, &o.transport, &o.format, &o.format2}) KV_TRY(sdp(*t, false, 0x5));
      KV_TRY(sdp(o.key, false, 0x20));
      return sdp_lines(o.extra_lines);
    }
    case 67: {
      auto& o = *static_cast<sdp_origin*>(rec);
      KV_TRY(sdp_code(sip_vt_sdp_nettype, o.nettype, &o.nettype_text));
      KV_TRY(sdp(o.user, true, 0xa400));
      KV_TRY(sdp(o.session_id, true, 0x1));
      KV_TRY(sdp(o.version, false, 0x1));
      KV_TRY(raw4(o.addr));
      if (o.addr.len == 0) KV_TRY(sdp(o.host, true, 0x400));
      return OK;
    }
    case 78: {
      auto& r = *static_cast<sip_referred_by_rec*>(rec);
      KV_TRY(uri_block(r.na.addr, uri_fields::all));
      KV_TRY(code(sip_vt_method, r.na.addr.method_param));
      KV_TRY(code(sip_vt_loose_routing, r.na.addr.lr));
      KV_TRY(plain(r.na.display));
      KV_TRY(plain(r.cid));
      drop(r.na.params_other, 0x10a0);
      return OK;
    }
    case 83: {
      auto& m = *static_cast<sdp_media_image*>(rec);
      KV_TRY(sdp_code(sip_vt_sdp_image, m.kind, &m.kind_text));
      KV_TRY(sdp_code(sip_vt_sdp_t38_format, m.format, &m.format_text));
      KV_TRY(sdp_code(sip_vt_sdp_nettype, m.conn.nettype, &m.conn.nettype_text));
      KV_TRY(sdp_code(sip_vt_sdp_bwtype, m.bwtype, &m.bwtype_text));
      KV_TRY(sdp_code(sip_vt_sdp_direction, m.direction, &m.direction_text));
      KV_TRY(sdp_code(sip_vt_sdp_transport, m.transport, &m.transport_text));
      KV_TRY(sdp_code(sip_vt_sdp_keymethod, m.keymethod, &m.keymethod_text));
      KV_TRY(sdp_code(sip_vt_t38_rate_management, m.t38_rate_management, &m.t38_rate_management_text));
      KV_TRY(sdp_code(sip_vt_t38_udp_ec, m.t38_udp_ec, &m.t38_udp_ec_text));
      KV_TRY(sdp_conn(m.conn, false));
      KV_TRY(sdp(m.key, false, 0x20));
      if (sdp_lines(m.extra_lines) != OK) m.extra_lines = {};
      return OK;
    }
    default: return BAD;
  }
}

}  // namespace

u16 sip_elem__decode(sip_header_id id, const u8* slot) {
  sip_prim_cursor& c = sip_prim_cur;
  const sip_elem_layout* l = sip_elem__layout(id);
  if (l == nullptr) return BAD;
  const u8 n = sip_prim__first_element(slot, l->fixed_len, c);
  if (n == SIP_PRIM_BAD_LIST) return SIP_ELEM_MALFORMED;
  if (n > l->max) return SIP_ELEM_TOO_MANY;
  sip_hdr_area.index = 0;
  for (unsigned i = 0; i < n; ++i) {
    if (i > 0) {
      (void)sip_prim__next_element(l->fixed_len, c);
      sip_hdr_area.index = static_cast<u8>(i);
    }
    void* rec = l->record(i);
    l->clear(rec);
    const u8* node = c.element;
    sip_str extra[2];
    unsigned extras = 0;
    for (std::size_t k = 0; k < l->field_count; ++k) {
      const sip_elem_field& f = l->fields[k];
      const u8* at = node + f.offset;
      switch (f.kind) {
        case sip_elem_kind::u8:
          if (f.set_num != nullptr) f.set_num(rec, *at);
          break;
        case sip_elem_kind::u16:
          if (f.set_num != nullptr) f.set_num(rec, get_host16(at));
          break;
        case sip_elem_kind::u32:
          if (f.set_num != nullptr) f.set_num(rec, get_host32(at));
          break;
        case sip_elem_kind::text:
        case sip_elem_kind::raw: {
          const u16 len = get_host16(at);
          const u8* p = sip_prim__take(len, c);
          if (p == nullptr) return SIP_ELEM_MALFORMED;
          // A text is stored with its NUL.
          if (f.kind == sip_elem_kind::text && len > 0 && p[len - 1] != 0) return BAD;
          const sip_str s{len, len == 0 ? nullptr : reinterpret_cast<const char*>(p)};
          if (f.set_str != nullptr) {
            f.set_str(rec, s);
          } else if (f.kind == sip_elem_kind::text && extras < 2) {
            extra[extras++] = s;
          }
          break;
        }
      }
    }
    const int r = check(id, rec, extra);
    if (r != OK) return static_cast<u16>(r);
    sip_hdr_area.count[sip_hdr_slot(id)] = static_cast<u8>(i + 1);
  }
  return OK;
}

u16 sip_prim__decode_body(const u8* body, u16 length, const sip_kind_hdr_table& table, sip_header_id* failed_id) {
  *failed_id = sip_header_id::none;
  sip_hdr_count__reset();
  sip_hdr_area.index = 0;
  sip_prim_area.rl_dest_port = 0xFFFF;
  sip_prim_area.rl_next_hop = 0;
  sip_prim_area.rl_dest_addr = {};
  const u32 index_bytes = (2u * table.row_count + 1u) & ~1u;
  if (body == nullptr || length < index_bytes) return SIP_ELEM_MALFORMED;
  for (unsigned row = 0; row < table.row_count; ++row) {
    const u8* slot = body + 2 * row;
    const u16 off = get_host16(slot);
    const sip_header_id id = table.rows[row].id;
    if (off == 0) {
      if (table.rows[row].presence == SIP_ROW_MANDATORY) {
        *failed_id = id;
        return SIP_ELEM_MANDATORY_ABSENT;
      }
      continue;
    }
    if (off >= length) {
      *failed_id = id;
      return SIP_ELEM_MALFORMED;
    }
    sip_prim__open(body, length, sip_prim_cur);
    const u16 r = sip_elem__decode(id, slot);
    if (r != SIP_ELEM_OK) {
      *failed_id = id;
      return r;
    }
  }
  return SIP_ELEM_OK;
}
