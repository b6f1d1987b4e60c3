// Header value parsers: the shared forms, the address headers, Via, CSeq,
// Call-ID, Content-Length and the media types.  The other headers are in
// sip_hdr_parse_other.cpp.
#include "sip/text/sip_hdr_parse.h"
#include "sip/text/sip_code_rows.h"
#include "sip/text/sip_media_rows.h"

#include "sip/text/sip_hdr_parse_int.h"

sip_parse_services sip_parse_env;

void sip_parse__report(sip_parser& ps, u16 cause, u8 detail) {
  if (ps.env.report_error != nullptr) ps.env.report_error(cause, detail);
}

namespace sip_hp {

bool unescaped_copy(sip_str* value) {
  if (std::memchr(value->ptr, '\\', value->len) == nullptr) return true;
  char* copy = static_cast<char*>(sip_work__alloc(value->len));
  if (copy == nullptr) return false;
  std::memcpy(copy, value->ptr, value->len);
  u16 len = value->len;
  if (sip_str__unescape(copy, &len) != SIP_RESULT_OK) return false;
  sip_work__use(len);
  value->ptr = copy;
  value->len = len;
  return true;
}

bool as_ipv4(sip_str text, sip_str* ipv4) {
  const char* p = text.ptr;
  u16 len = text.len;
  if (!sip_str__parse_ipv4(&p, &len)) return false;
  ipv4->ptr = p;
  ipv4->len = len;
  return true;
}

namespace {

constexpr u16 DISPLAY_MAX = 64;

// Bytes before the '<': tokens separated by blanks.  False when another
// byte occurs.
bool display_tokens(char* from, char* lt, bool single, sip_str* display) {
  char* p = from;
  char* last = from;
  int words = 0;
  while (p < lt) {
    if (sip_cc(*p, SIP_CC_TOKEN)) {
      while (p < lt && sip_cc(*p, SIP_CC_TOKEN)) ++p;
      ++words;
      last = p;
    } else if (*p == ' ' || *p == '\t') {
      ++p;
    } else {
      return false;
    }
  }
  if (single && words > 1) return false;
  *display = span(from, last);
  return true;
}

// The URI between '<' (at the cursor) and the next '>'.
bool bracketed_uri(sip_parser& ps, sip_addr* addr) {
  char* gt = static_cast<char*>(std::memchr(cur(ps), '>', static_cast<std::size_t>(lend(ps) - cur(ps))));
  if (gt == nullptr) return false;
  ++cur(ps);
  char* saved = lend(ps);
  ps.scan.line_end = gt;
  int r = sip_parse_uri(ps.scan, addr);
  ps.scan.line_end = saved;
  cur(ps) = gt + 1;
  return r == 2;
}

bool uri_up_to(sip_parser& ps, char* stop, sip_addr* addr, bool params) {
  char* saved = lend(ps);
  ps.scan.line_end = stop;
  int r = params ? sip_parse_uri(ps.scan, addr) : sip_parse_uri_noparams(ps.scan, addr);
  ps.scan.line_end = saved;
  cur(ps) = stop;
  return r == 2;
}

}  // namespace

bool parse_name_addr(sip_parser& ps, sip_name_addr* na, na_form form, bool* bare) {
  sip_scan__clear(na, sizeof *na);
  *bare = false;
  char* start = cur(ps);
  if (peek(ps) == '"') {
    sip_str name;
    if (!quoted(ps, &name, DISPLAY_MAX) || !unescaped_copy(&name)) return false;
    na->display = name;
    na->quoted = 1;
    sip_scan__skip_lws(ps.scan);
    if (peek(ps) != '<') return false;
    return bracketed_uri(ps, &na->addr);
  }
  char* lt = static_cast<char*>(std::memchr(start, '<', static_cast<std::size_t>(lend(ps) - start)));
  if (lt != nullptr) {
    sip_str display;
    if (display_tokens(start, lt, form == na_form::referred_by, &display)) {
      if (display.len > DISPLAY_MAX) return false;
      na->display = display;
      cur(ps) = lt;
      return bracketed_uri(ps, &na->addr);
    }
  }
  *bare = true;
  switch (form) {
    case na_form::bare_noparams: {
      char* p = start;
      while (p < lend(ps) && sip_cc(*p, SIP_CC_PARAM)) ++p;
      return uri_up_to(ps, p, &na->addr, false);
    }
    case na_form::bare_to_comma: {
      if (lt != nullptr) return false;
      char* p = start;
      while (p < lend(ps) && *p != ',') ++p;
      while (p > start && (p[-1] == ' ' || p[-1] == '\t')) --p;
      return uri_up_to(ps, p, &na->addr, true);
    }
    case na_form::referred_by:
      if (lt != nullptr) return false;
      return uri_up_to(ps, lend(ps), &na->addr, true);
    default: return false;
  }
}

bool skip_param(sip_parser& ps) {
  if (sip_scan__run(ps.scan, SIP_CC_TOKEN) == 0) return false;
  char* after_name = cur(ps);
  sip_scan__skip_lws(ps.scan);
  if (!sip_scan__take(ps.scan, '=')) {
    cur(ps) = after_name;
    return true;
  }
  sip_scan__skip_lws(ps.scan);
  if (peek(ps) == '"') {
    sip_str q;
    return sip_scan__quoted_string(ps.scan, &q);
  }
  sip_scan__run(ps.scan, SIP_CC_PARAM_VALUE);
  return true;
}

int next_param(sip_parser& ps, bool tight, bool list) {
  sip_scan__skip_lws(ps.scan);
  if (at_end(ps)) return 0;
  if (list && peek(ps) == ',') return 0;
  if (!sip_scan__take(ps.scan, ';')) return -1;
  if (tight) {
    if (peek(ps) == ' ' || peek(ps) == '\t') return -1;
  } else {
    sip_scan__skip_lws(ps.scan);
  }
  return 1;
}

}  // namespace sip_hp

using namespace sip_hp;

namespace {

// ---------------------------------------------------------------------------
// Name-address headers

// From, To: tag and other parameters.
u8 parse_from_to(sip_parser& ps, id_t id, sip_name_addr* na) {
  if (!instance_allowed(ps, id, 1)) return SIP_HDR_FAILED;
  bool bare;
  if (!parse_name_addr(ps, na, na_form::bare_noparams, &bare)) return SIP_HDR_FAILED;
  const bool ok = each_param(ps, false, false, &na->params_other, [&ps, na] {
    bool eq;
    if (!param_is(ps, "tag", &eq)) return param::other;
    if (!eq || na->tag.len != 0) return param::bad;
    sip_str tag = run(ps, SIP_CC_TOKEN);
    if (tag.len == 0 || tag.len > 64) return param::bad;
    na->tag = tag;
    return param::taken;
  });
  return ok ? done(id) : SIP_HDR_FAILED;
}

u8 parse_from(sip_parser& ps) { return parse_from_to(ps, id_t::from, &ps.area.from); }
u8 parse_to(sip_parser& ps) { return parse_from_to(ps, id_t::to, &ps.area.to); }

u8 parse_reply_to(sip_parser& ps) {
  if (!instance_allowed(ps, id_t::reply_to, 1)) return SIP_HDR_FAILED;
  sip_name_addr* na = &ps.area.reply_to;
  bool bare;
  if (!parse_name_addr(ps, na, na_form::bare_noparams, &bare)) return SIP_HDR_FAILED;
  if (!other_params_only(ps, false, false, &na->params_other)) return SIP_HDR_FAILED;
  return done(id_t::reply_to);
}

// Route, Record-Route, Service-Route: brackets required, parameters right
// after their ';'.
elem route_element(sip_parser& ps, sip_name_addr* na) {
  bool bare;
  if (!parse_name_addr(ps, na, na_form::brackets_only, &bare)) return elem::fail;
  return other_params_only(ps, true, true, &na->params_other) ? elem::ok : elem::fail;
}

u8 parse_route(sip_parser& ps) { return parse_rows(ps, id_t::route, &sip_hdr_area_t::route, route_element); }
u8 parse_record_route(sip_parser& ps) {
  return parse_rows(ps, id_t::record_route, &sip_hdr_area_t::record_route, route_element);
}
u8 parse_service_route(sip_parser& ps) {
  return parse_list(ps, id_t::service_route, 1, [&ps](unsigned) { return route_element(ps, &ps.area.service_route); });
}

// A name-address element without header parameters: Path and
// P-Media-Authorization (brackets required), P-Asserted-Identity and
// P-Preferred-Identity (bare URI up to a ',').
elem name_addr_alone(sip_parser& ps, sip_name_addr* na, na_form form) {
  bool bare;
  if (!parse_name_addr(ps, na, form, &bare)) return elem::fail;
  sip_scan__skip_lws(ps.scan);
  return (at_end(ps) || peek(ps) == ',') ? elem::ok : elem::fail;
}
elem bracket_only_element(sip_parser& ps, sip_name_addr* na) { return name_addr_alone(ps, na, na_form::brackets_only); }
elem identity_element(sip_parser& ps, sip_name_addr* na) { return name_addr_alone(ps, na, na_form::bare_to_comma); }

u8 parse_path(sip_parser& ps) { return parse_rows(ps, id_t::path, &sip_hdr_area_t::path, bracket_only_element); }
u8 parse_p_media_authorization(sip_parser& ps) {
  return parse_rows(ps, id_t::p_media_authorization, &sip_hdr_area_t::p_media_authorization, bracket_only_element);
}

u8 parse_p_asserted_identity(sip_parser& ps) {
  return parse_rows(ps, id_t::p_asserted_identity, &sip_hdr_area_t::p_asserted_identity, identity_element);
}
u8 parse_p_preferred_identity(sip_parser& ps) {
  return parse_list(ps, id_t::p_preferred_identity, 1,
                    [&ps](unsigned) { return identity_element(ps, &ps.area.p_preferred_identity); });
}

u8 parse_history_info(sip_parser& ps) {
  return parse_list(ps, id_t::history_info, 1, [&ps](unsigned) {
    sip_history_info_rec* r = &ps.area.history_info;
    r->index = sip_str{};
    bool bare;
    if (!parse_name_addr(ps, &r->na, na_form::bare_to_comma, &bare)) return elem::fail;
    const bool ok = each_param(ps, false, true, &r->na.params_other, [&ps, r] {
      bool eq;
      if (!param_is(ps, "index", &eq) || !eq) return param::other;
      sip_str v = run(ps, SIP_CC_DIGIT_DOT);
      if (v.len == 0 || v.len > 32) return param::bad;
      r->index = v;
      return param::taken;
    });
    return ok ? elem::ok : elem::fail;
  });
}

u8 parse_referred_by(sip_parser& ps) {
  if (!instance_allowed(ps, id_t::referred_by, 1)) return SIP_HDR_FAILED;
  sip_referred_by_rec* r = &ps.area.referred_by;
  r->cid = sip_str{};
  bool bare;
  if (!parse_name_addr(ps, &r->na, na_form::referred_by, &bare)) return SIP_HDR_FAILED;
  if (bare) return done(id_t::referred_by);
  const bool ok = each_param(ps, false, false, &r->na.params_other, [&ps, r] {
    bool eq;
    if (!param_is(ps, "cid", &eq) || !eq) return param::other;
    sip_str v;
    if (!quoted(ps, &v, 64)) return param::bad;
    r->cid = v;
    return param::taken;
  });
  return ok ? done(id_t::referred_by) : SIP_HDR_FAILED;
}

// Contact: '*' or name-addresses with q, action and expires.
elem contact_element(sip_parser& ps, unsigned row) {
  sip_contact_rec* c = &ps.area.contact[row];
  sip_scan__clear(c, sizeof *c);
  c->action = SIP_CODE_NONE;
  c->expires = SIP_U32_NONE;
  if (peek(ps) == '*') {
    char* after = cur(ps) + 1;
    cur(ps) = after;
    if (only_lws_left(ps)) {
      sip_scan__clear(&c->na, sizeof c->na);
      c->na.addr.scheme = '*';
      c->na.addr.port = SIP_PORT_NONE;
      c->na.addr.global = -1;
      c->na.addr.transport = c->na.addr.ttl = c->na.addr.user_param = c->na.addr.method_param = SIP_CODE_NONE;
      return elem::ok;
    }
    cur(ps) = after - 1;
  }
  bool bare;
  if (!parse_name_addr(ps, &c->na, na_form::bare_noparams, &bare)) return elem::fail;
  for (;;) {
    sip_scan__skip_lws(ps.scan);
    if (peek(ps) == '(') {
      ++cur(ps);
      char* inside = cur(ps);
      if (sip_scan__comment(ps.scan) != SIP_RESULT_OK) return elem::fail;
      if (cur(ps) - inside > 32) return elem::fail;
      c->comment = span(inside, cur(ps));
      ++cur(ps);
      sip_scan__skip_lws(ps.scan);
      return (at_end(ps) || peek(ps) == ',') ? elem::ok : elem::fail;
    }
    int np = next_param(ps, false, true);
    if (np == 0) return elem::ok;
    if (np < 0) return elem::fail;
    char* start = cur(ps);
    bool eq;
    if (param_is(ps, "q", &eq)) {
      if (!eq) return elem::fail;
      sip_str v = run(ps, SIP_CC_DIGIT_DOT);
      if (v.len > 5) return elem::fail;
      c->q = v;
    } else if (param_is(ps, "action", &eq)) {
      if (!eq) return elem::fail;
      sip_str v = run(ps, SIP_CC_TOKEN);
      if (!lookup(v, sip_codes::contact_actions, &c->action)) return elem::fail;
    } else if (param_is(ps, "expires", &eq)) {
      if (!eq) return elem::fail;
      if (peek(ps) == '"') {
        sip_str date;
        if (!quoted(ps, &date, 32)) return elem::fail;
        c->expires_date = date;
      } else if (!number(ps, &c->expires)) {
        return elem::fail;
      }
    } else {
      cur(ps) = start;
      if (sip_scan__other_param(ps.scan, &c->na.params_other) != SIP_SCAN_OK) return elem::fail;
    }
  }
}

u8 parse_contact(sip_parser& ps) {
  return parse_list(ps, id_t::contact, SIP_MAX_CONTACT, [&ps](unsigned row) { return contact_element(ps, row); });
}

// ---------------------------------------------------------------------------
// Via

constexpr u16 VIA_TEXT_MAX = 8;

bool via_param(sip_parser& ps, sip_via_rec* v) {
  char* start = cur(ps);
  sip_str name = run(ps, SIP_CC_TOKEN);
  if (name.len == 0) return false;
  static constexpr sip_code_row names[] = {{0, "ttl"}, {1, "maddr"}, {2, "rport"}, {3, "received"}, {4, "branch"}};
  u8 which;
  if (!lookup(name, names, 5, &which)) {
    cur(ps) = start;
    return sip_scan__other_param(ps.scan, &v->params_other) == SIP_SCAN_OK;
  }
  char* after = cur(ps);
  sip_scan__skip_lws(ps.scan);
  if (!sip_scan__take(ps.scan, '=')) {
    if (which != 2) return false;
    cur(ps) = after;
    v->rport = 0;
    return true;
  }
  sip_scan__skip_lws(ps.scan);
  switch (which) {
    case 0: {
      u32 ttl;
      if (!number(ps, &ttl) || ttl > 255) return false;
      v->ttl = static_cast<u8>(ttl);
      return true;
    }
    case 1: {
      sip_str m = run(ps, SIP_CC_HOST);
      if (m.len == 0 || m.len > 64) return false;
      v->maddr = m;
      return true;
    }
    case 2: {
      u32 port;
      if (!number(ps, &port) || port == 0 || port > 65535) return false;
      v->rport = static_cast<u16>(port);
      return true;
    }
    case 3: {
      sip_str r = run(ps, SIP_CC_DIGIT_DOT);
      return r.len > 0 && as_ipv4(r, &v->received);
    }
    default: {
      sip_str b = run(ps, SIP_CC_BRANCH);
      if (b.len == 0 || b.len > 64) return false;
      v->branch = b;
      return true;
    }
  }
}

elem via_element(sip_parser& ps, unsigned row) {
  sip_via_rec* v = &ps.area.via[row];
  sip_scan__clear(v, sizeof *v);
  v->transport = SIP_CODE_NONE;
  v->port = SIP_PORT_NONE;
  v->rport = 0xFFFF;
  v->ttl = SIP_CODE_NONE;
  sip_str proto = run(ps, SIP_CC_TOKEN);
  if (proto.len == 0) return elem::fail;
  if (proto.len == 3 && sip_fold(proto.ptr[0]) == 's' && sip_fold(proto.ptr[1]) == 'i' &&
      sip_fold(proto.ptr[2]) == 'p') {
    v->protocol = 1;
  } else {
    if (proto.len > VIA_TEXT_MAX) return elem::fail;
    v->protocol_text = proto;
  }
  sip_scan__skip_lws(ps.scan);
  if (!sip_scan__take(ps.scan, '/')) return elem::fail;
  sip_scan__skip_lws(ps.scan);
  sip_str version = run(ps, SIP_CC_TOKEN);
  if (version.len == 0 || version.len > 6) return elem::fail;
  v->version = version;
  sip_scan__skip_lws(ps.scan);
  if (!sip_scan__take(ps.scan, '/')) return elem::fail;
  sip_scan__skip_lws(ps.scan);
  sip_str transport = run(ps, SIP_CC_TOKEN);
  if (transport.len == 0) return elem::fail;
  if (!lookup(transport, sip_via_transport_table, 4, &v->transport)) {
    if (transport.len > VIA_TEXT_MAX) return elem::fail;
    v->transport_text = transport;
  }
  if (!sip_cc(peek(ps), SIP_CC_LWS)) return elem::fail;
  sip_scan__skip_lws(ps.scan);
  char* sent_by = cur(ps);
  sip_str host = run(ps, SIP_CC_HOST);
  if (host.len == 0) return elem::fail;
  if (!as_ipv4(host, &v->host_ipv4)) {
    if (host.len > 64 || sip_host__dotted_quad_test(host)) return elem::fail;
    v->host = host;
  }
  sip_scan__skip_lws(ps.scan);
  if (sip_scan__take(ps.scan, ':')) {
    sip_scan__skip_lws(ps.scan);
    u32 port;
    if (!number(ps, &port) || port == 0 || port > 65535) return elem::fail;
    v->port = static_cast<u16>(port);
  }
  v->sent_by = span(sent_by, cur(ps));
  for (;;) {
    int np = next_param(ps, false, true);
    if (np == 0) return elem::ok;
    if (np < 0 || !via_param(ps, v)) return elem::fail;
  }
}

u8 parse_via(sip_parser& ps) {
  return parse_list(ps, id_t::via, SIP_MAX_VIA, [&ps](unsigned row) { return via_element(ps, row); });
}

// ---------------------------------------------------------------------------
// CSeq, Call-ID, numbers

u8 parse_cseq(sip_parser& ps) {
  if (!instance_allowed(ps, id_t::cseq, 1)) return SIP_HDR_FAILED;
  sip_cseq_rec* c = &ps.area.cseq;
  *c = sip_cseq_rec{};
  if (!number(ps, &c->number)) return SIP_HDR_FAILED;
  sip_scan__skip_lws(ps.scan);
  sip_str method = run(ps, SIP_CC_TOKEN);
  if (method.len == 0) return SIP_HDR_FAILED;
  u8 letter;
  if (lookup(method, sip_method_table, 6, &letter)) {
    c->method = static_cast<u8>(0xC0 + (letter - 'A' + 1));
  } else {
    if (ps.area.method != SIP_METHOD_UNKNOWN) return SIP_HDR_FAILED;
    c->method = SIP_CODE_NONE;
    c->method_text = method;
  }
  return only_lws_left(ps) ? done(id_t::cseq) : SIP_HDR_FAILED;
}

// A Call-ID value (word, optional '@' host) into `id`.
bool callid_value(sip_parser& ps, sip_callid_parsed* id) {
  *id = sip_callid_parsed{};
  sip_str word = run(ps, SIP_CC_WORD);
  if (word.len == 0 || word.len > 64) return false;
  id->word = word;
  if (sip_scan__take(ps.scan, '@')) {
    sip_str host = run(ps, SIP_CC_WORD);
    if (host.len == 0 || host.len > 64) return false;
    sip_str ip;
    if (as_ipv4(host, &ip)) {
      id->addr_len = 4;
      id->addr = reinterpret_cast<const u8*>(ip.ptr);
    } else {
      id->host = host;
    }
  }
  return true;
}

u8 parse_call_id(sip_parser& ps) {
  if (!instance_allowed(ps, id_t::call_id, 1)) return SIP_HDR_FAILED;
  if (!callid_value(ps, &ps.area.call_id)) return SIP_HDR_FAILED;
  return only_lws_left(ps) ? done(id_t::call_id) : SIP_HDR_FAILED;
}

u8 parse_number_header(sip_parser& ps, id_t id, sip_number_rec* rec, bool trailing_lws) {
  if (!instance_allowed(ps, id, 1)) return SIP_HDR_FAILED;
  if (!number(ps, &rec->value)) return SIP_HDR_FAILED;
  if (trailing_lws) return only_lws_left(ps) ? done(id) : SIP_HDR_FAILED;
  return at_end(ps) ? done(id) : SIP_HDR_FAILED;
}

u8 parse_expires(sip_parser& ps) { return parse_number_header(ps, id_t::expires, &ps.area.expires, true); }
u8 parse_max_forwards(sip_parser& ps) {
  return parse_number_header(ps, id_t::max_forwards, &ps.area.max_forwards, false);
}
u8 parse_min_expires(sip_parser& ps) { return parse_number_header(ps, id_t::min_expires, &ps.area.min_expires, false); }

// Content-Length keeps its full value; one that does not fit in 32 bits
// fails and is answered by the message parser.
u8 parse_content_length(sip_parser& ps) {
  if (!instance_allowed(ps, id_t::content_length, 1)) return SIP_HDR_FAILED;
  if (!number(ps, &ps.area.content_length.value)) return SIP_HDR_FAILED;
  return done(id_t::content_length);
}

// ---------------------------------------------------------------------------
// Media types

using namespace sip_media;  // the media type, subtype and base-value rows

struct subtype_table {
  u8 type;
  const sip_code_row* rows;
  unsigned count;
};

#define KV_ROWS(t) (t), sizeof(t) / sizeof((t)[0])
constexpr subtype_table subtype_tables[] = {{'M', KV_ROWS(multipart_subtypes)}, {'E', KV_ROWS(message_subtypes)},
                                            {'I', KV_ROWS(image_subtypes)},     {'U', KV_ROWS(audio_subtypes)},
                                            {'V', KV_ROWS(video_subtypes)},     {'O', KV_ROWS(model_subtypes)},
                                            {'T', KV_ROWS(text_subtypes)},      {'A', KV_ROWS(application_subtypes)}};
#undef KV_ROWS

}  // namespace

namespace sip_hp {

bool media_type_codes(sip_str type, sip_str subtype, u8* tcode, u8* scode, sip_str* ttext, sip_str* stext) {
  *tcode = *scode = SIP_CODE_NONE;
  *ttext = *stext = sip_str{};
  if (!lookup(type, media_types, sizeof media_types / sizeof media_types[0], tcode)) {
    if (type.len > 16) return false;
    *ttext = type;
  }
  bool found = false;
  for (const auto& t : subtype_tables)
    if (t.type == *tcode) found = lookup(subtype, t.rows, t.count, scode);
  if (!found && *tcode == '*' && subtype.len == 1 && subtype.ptr[0] == '*') {
    *scode = '*';
    found = true;
  }
  if (!found) {
    if (subtype.len > 32) return false;
    *stext = subtype;
  }
  return true;
}

}  // namespace sip_hp

namespace {
// Empties a header record of a body part, all but its part number.
template <class R>
void clear_but_part(R* rec) {
  const u8 part = rec->part;
  sip_scan__clear(rec, sizeof *rec);
  rec->part = part;
}
}  // namespace

bool sip_parse_media_type(sip_parser& ps, sip_media_type_rec* rec) {
  clear_but_part(rec);
  rec->base = SIP_CODE_NONE;
  sip_str type = run(ps, SIP_CC_TOKEN);
  sip_scan__skip_lws(ps.scan);
  if (type.len == 0 || !sip_scan__take(ps.scan, '/')) return false;
  sip_scan__skip_lws(ps.scan);
  sip_str subtype = run(ps, SIP_CC_TOKEN);
  if (subtype.len == 0) return false;
  if (!media_type_codes(type, subtype, &rec->type, &rec->subtype, &rec->type_text, &rec->subtype_text)) return false;
  return each_param(ps, false, false, &rec->params_other, [&ps, rec] {
    bool eq;
    if (param_is(ps, "boundary", &eq) && eq) {
      sip_str b;
      if (peek(ps) == '"') {
        if (!quoted(ps, &b, 70)) return param::bad;
      } else {
        b = run(ps, SIP_CC_TOKEN);
        if (b.len == 0 || b.len > 70) return param::bad;
      }
      rec->boundary = b;
    } else if (param_is(ps, "version", &eq) && eq) {
      sip_str v = peek(ps) == '"' ? sip_str{} : run(ps, SIP_CC_PARAM_VALUE);
      if (v.len == 0 && !quoted(ps, &v, 64)) return param::bad;
      if (v.len > 64) return param::bad;
      rec->version = v;
    } else if (param_is(ps, "base", &eq) && eq) {
      sip_str v = run(ps, SIP_CC_PARAM_VALUE);
      if (v.len == 0 || v.len > 64) return param::bad;
      if (!lookup(v, base_values, sizeof base_values / sizeof base_values[0], &rec->base)) rec->base_text = v;
    } else {
      return param::other;
    }
    return param::taken;
  });
}

bool sip_parse_disposition(sip_parser& ps, sip_disposition_rec* rec) {
  clear_but_part(rec);
  rec->handling = SIP_CODE_NONE;
  sip_str type = run(ps, SIP_CC_TOKEN);
  if (type.len == 0) return false;
  if (!lookup(type, sip_codes::disposition_types, &rec->disposition)) {
    if (type.len > 32) return false;
    rec->disposition = SIP_CODE_NONE;
    rec->disposition_text = type;
  }
  return each_param(ps, false, false, &rec->params_other, [&ps, rec] {
    bool eq;
    if (!param_is(ps, "handling", &eq) || !eq) return param::other;
    sip_str v = run(ps, SIP_CC_TOKEN);
    if (v.len == 0) return param::bad;
    if (!lookup(v, sip_codes::handlings, &rec->handling)) rec->handling = SIP_CODE_NONE;
    return param::taken;
  });
}

namespace {

u8 parse_content_type(sip_parser& ps) {
  if (!instance_allowed(ps, id_t::content_type, SIP_MAX_CONTENT_TYPE)) return SIP_HDR_FAILED;
  sip_media_type_rec* rec = &ps.area.content_type[ps.area.index];
  rec->part = 0;
  return sip_parse_media_type(ps, rec) ? done(id_t::content_type) : SIP_HDR_FAILED;
}

u8 parse_content_disposition(sip_parser& ps) {
  if (!instance_allowed(ps, id_t::content_disposition, SIP_MAX_CONTENT_DISPOSITION)) return SIP_HDR_FAILED;
  sip_disposition_rec* rec = &ps.area.content_disposition[ps.area.index];
  rec->part = 0;
  return sip_parse_disposition(ps, rec) ? done(id_t::content_disposition) : SIP_HDR_FAILED;
}

}  // namespace

// The remaining headers (sip_hdr_parse_other.cpp).
namespace sip_hp {
u8 parse_other_header(sip_parser& ps, id_t id);
}

u8 sip_parse_header_value(sip_parser& ps, sip_header_id id) {
  u8 r;
  switch (id) {
    case id_t::from: r = parse_from(ps); break;
    case id_t::to: r = parse_to(ps); break;
    case id_t::reply_to: r = parse_reply_to(ps); break;
    case id_t::route: r = parse_route(ps); break;
    case id_t::record_route: r = parse_record_route(ps); break;
    case id_t::service_route: r = parse_service_route(ps); break;
    case id_t::path: r = parse_path(ps); break;
    case id_t::p_media_authorization: r = parse_p_media_authorization(ps); break;
    case id_t::p_asserted_identity: r = parse_p_asserted_identity(ps); break;
    case id_t::p_preferred_identity: r = parse_p_preferred_identity(ps); break;
    case id_t::history_info: r = parse_history_info(ps); break;
    case id_t::referred_by: r = parse_referred_by(ps); break;
    case id_t::contact: r = parse_contact(ps); break;
    case id_t::via: r = parse_via(ps); break;
    case id_t::cseq: r = parse_cseq(ps); break;
    case id_t::call_id: r = parse_call_id(ps); break;
    case id_t::expires: r = parse_expires(ps); break;
    case id_t::max_forwards: r = parse_max_forwards(ps); break;
    case id_t::min_expires: r = parse_min_expires(ps); break;
    case id_t::content_length: r = parse_content_length(ps); break;
    case id_t::content_type: r = parse_content_type(ps); break;
    case id_t::content_disposition: r = parse_content_disposition(ps); break;
    default: r = parse_other_header(ps, id); break;
  }
  // The line was joined and its end found before the value was read: the
  // rest of it holds no line end, and no continuation follows its end, so
  // the next line begins right after that end (when it is still where it
  // was).
  char* le = ps.scan.line_end;
  char* end = ps.scan.end;
  if (ps.scan.cursor <= le && le < end && (*le == '\r' || *le == '\n'))
    ps.scan.cursor = le + ((*le == '\r' && le + 1 < end && le[1] == '\n') ? 2 : 1);
  else if (ps.scan.cursor <= le && le == end) ps.scan.cursor = end;
  else sip_scan__unfold_line(ps.scan);
  return r;
}
