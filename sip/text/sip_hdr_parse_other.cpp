// Header value parsers of the other headers (parse_other_header): the option
// tags, tokens, texts, numbers with parameters, the authentication headers and
// the rest of the known headers.
#include "sip/text/sip_hdr_parse_int.h"
#include "sip/text/sip_code_rows.h"
#include "platform/int_types.h"

using namespace sip_hp;

namespace {

// q=<digits and dots, 1 to 5>
bool q_value(sip_parser& ps, sip_str* q) {
  if (q->len != 0) return false;
  sip_str v = run(ps, SIP_CC_DIGIT_DOT);
  if (v.len == 0 || v.len > 5) return false;
  *q = v;
  return true;
}

// ---------------------------------------------------------------------------
// Accept, Accept-Encoding, Accept-Language, Content-Encoding

// The parameters of an Accept or Accept-Language element: q into *q, each
// other parameter's text handed to keep(text).
template <class Keep>
elem q_and_other_params(sip_parser& ps, sip_str* q, Keep keep) {
  for (;;) {
    int np = next_param(ps, false, true);
    if (np == 0) return elem::ok;
    if (np < 0) return elem::fail;
    char* start = cur(ps);
    bool eq;
    if (param_is(ps, "q", &eq) && eq) {
      if (!q_value(ps, q)) return elem::fail;
      continue;
    }
    cur(ps) = start;
    if (!skip_param(ps)) return elem::fail;
    keep(span(start, cur(ps)));
  }
}

u8 parse_accept(sip_parser& ps) {
  unsigned first_row = ps.area.index;
  return parse_list(ps, id_t::accept, SIP_MAX_ACCEPT, [&ps, first_row](unsigned row) {
    sip_accept_rec* a = &ps.area.accept[row];
    *a = sip_accept_rec{};
    a->type = a->subtype = SIP_CODE_NONE;
    if (at_end(ps) && row == first_row) return elem::ok;  // an empty value
    char* slash = static_cast<char*>(std::memchr(cur(ps), '/', static_cast<std::size_t>(lend(ps) - cur(ps))));
    if (slash == nullptr || slash == cur(ps)) return elem::fail;
    sip_str type = span(cur(ps), slash);
    cur(ps) = slash + 1;
    sip_str subtype = run(ps, SIP_CC_TOKEN);
    if (subtype.len == 0) return elem::fail;
    if (!media_type_codes(type, subtype, &a->type, &a->subtype, &a->type_text, &a->subtype_text)) return elem::fail;
    return q_and_other_params(ps, &a->q, [a](sip_str raw) {
      if (a->q.len == 0 && a->params_first.len == 0 && raw.len <= 32) a->params_first = raw;
      else if (a->params_second.len == 0 && raw.len <= SIP_OTHER_PARAMS_MAX) a->params_second = raw;
    });
  });
}

elem encoding_element(sip_parser& ps, sip_encoding_rec* e, bool long_params_fail) {
  *e = sip_encoding_rec{};
  sip_str coding = run(ps, SIP_CC_TOKEN);
  if (coding.len == 0 || !lookup(coding, sip_codes::content_codings, &e->coding)) return elem::fail;
  sip_scan__skip_lws(ps.scan);
  char* start = cur(ps);
  char* p = start;
  while (p < lend(ps) && *p != ',') ++p;
  char* stop = p;
  while (stop > start && (stop[-1] == ' ' || stop[-1] == '\t')) --stop;
  sip_str params = span(start, stop);
  if (params.len > SIP_OTHER_PARAMS_MAX) {
    if (long_params_fail) return elem::fail;
  } else {
    e->params = params;
  }
  cur(ps) = p;
  return elem::ok;
}

u8 parse_accept_encoding(sip_parser& ps) {
  return parse_rows(ps, id_t::accept_encoding, &sip_hdr_area_t::accept_encoding,
                    [](sip_parser& p, sip_encoding_rec* e) { return encoding_element(p, e, true); });
}
u8 parse_content_encoding(sip_parser& ps) {
  return parse_rows(ps, id_t::content_encoding, &sip_hdr_area_t::content_encoding,
                    [](sip_parser& p, sip_encoding_rec* e) { return encoding_element(p, e, false); });
}

u8 parse_accept_language(sip_parser& ps) {
  return parse_list(ps, id_t::accept_language, SIP_MAX_ACCEPT_LANGUAGE, [&ps](unsigned row) {
    sip_accept_language_rec* l = &ps.area.accept_language[row];
    *l = sip_accept_language_rec{};
    sip_str primary = run(ps, SIP_CC_ALPHA);
    if (primary.len == 0 || primary.len > 2) return elem::fail;
    l->primary = primary;
    if (sip_scan__take(ps.scan, '-')) {
      sip_str sub = run(ps, SIP_CC_ALPHA);
      if (sub.len > 3) return elem::fail;
      l->subtag = sub;
    }
    return q_and_other_params(ps, &l->q, [l](sip_str raw) {
      if (l->params.len == 0 && raw.len <= SIP_OTHER_PARAMS_MAX) l->params = raw;
    });
  });
}

// ---------------------------------------------------------------------------
// Alert-Info, Error-Info, Call-Info

bool info_uri(sip_parser& ps, sip_str* uri) {
  if (!sip_scan__take(ps.scan, '<')) return false;
  char* gt = static_cast<char*>(std::memchr(cur(ps), '>', static_cast<std::size_t>(lend(ps) - cur(ps))));
  if (gt == nullptr || gt == cur(ps) || gt - cur(ps) > 128) return false;
  *uri = span(cur(ps), gt);
  cur(ps) = gt + 1;
  return true;
}

elem info_element(sip_parser& ps, sip_info_uri_rec* r) {
  *r = sip_info_uri_rec{};
  if (!info_uri(ps, &r->uri)) return elem::fail;
  return other_params_only(ps, false, true, &r->params_other) ? elem::ok : elem::fail;
}

u8 parse_alert_info(sip_parser& ps) {
  return parse_rows(ps, id_t::alert_info, &sip_hdr_area_t::alert_info, info_element);
}
u8 parse_error_info(sip_parser& ps) {
  return parse_rows(ps, id_t::error_info, &sip_hdr_area_t::error_info, info_element);
}

u8 parse_call_info(sip_parser& ps) {
  return parse_list(ps, id_t::call_info, SIP_MAX_CALL_INFO, [&ps](unsigned row) {
    sip_call_info_rec* r = &ps.area.call_info[row];
    *r = sip_call_info_rec{};
    r->purpose = SIP_CODE_NONE;
    if (!info_uri(ps, &r->uri)) return elem::fail;
    const bool ok = each_param(ps, false, true, &r->params_other, [&ps, r] {
      bool eq;
      if (!param_is(ps, "purpose", &eq) || !eq) return param::other;
      sip_str v = run(ps, SIP_CC_TOKEN);
      if (v.len == 0) return param::bad;
      if (!lookup(v, sip_codes::purposes, &r->purpose)) {
        if (v.len > 8) return param::bad;
        r->purpose_text = v;
      }
      return param::taken;
    });
    return ok ? elem::ok : elem::fail;
  });
}

// ---------------------------------------------------------------------------
// Allow and the option-tag lists

u8 parse_allow(sip_parser& ps) {
  if (at_end(ps)) return SIP_HDR_FAILED;
  return parse_list(ps, id_t::allow, SIP_MAX_ALLOW, [&ps](unsigned row) {
    sip_str m = run(ps, SIP_CC_TOKEN);
    if (m.len == 0) return elem::fail;
    u8 code;
    if (!lookup(m, sip_method_table, 6, &code)) return elem::skip;
    ps.area.allow[row].code = code;
    return elem::ok;
  });
}

elem option_tag(sip_parser& ps, sip_code_text_rec* r, bool empty_ok) {
  *r = sip_code_text_rec{};
  sip_str tag = run(ps, SIP_CC_TOKEN);
  if (tag.len == 0) {
    if (!empty_ok) return elem::fail;
    r->code = SIP_CODE_NONE;
    return elem::ok;
  }
  if (!lookup(tag, sip_codes::option_tags, &r->code)) {
    if (tag.len > 32) return elem::fail;
    r->code = SIP_CODE_NONE;
    r->text = tag;
  }
  return elem::ok;
}

elem required_tag(sip_parser& ps, sip_code_text_rec* r) { return option_tag(ps, r, false); }

u8 parse_require(sip_parser& ps) { return parse_rows(ps, id_t::require, &sip_hdr_area_t::require, required_tag); }
u8 parse_supported(sip_parser& ps) {
  return parse_rows(ps, id_t::supported, &sip_hdr_area_t::supported,
                    [](sip_parser& p, sip_code_text_rec* r) { return option_tag(p, r, true); });
}
u8 parse_unsupported(sip_parser& ps) {
  return parse_rows(ps, id_t::unsupported, &sip_hdr_area_t::unsupported, required_tag);
}

elem token_text(sip_parser& ps, sip_text_rec* r, u16 max) {
  sip_str t = run(ps, SIP_CC_TOKEN);
  if (t.len == 0 || t.len > max) return elem::fail;
  r->text = t;
  return elem::ok;
}

u8 parse_proxy_require(sip_parser& ps) {
  return parse_rows(ps, id_t::proxy_require, &sip_hdr_area_t::proxy_require,
                    [](sip_parser& p, sip_text_rec* r) { return token_text(p, r, 32); });
}
u8 parse_content_language(sip_parser& ps) {
  return parse_rows(ps, id_t::content_language, &sip_hdr_area_t::content_language,
                    [](sip_parser& p, sip_text_rec* r) { return token_text(p, r, 64); });
}

// One token from `table` (text with 0xFF when not found and `text_max` is
// not 0); the list then ends: a following ',' (or ';' when `semicolon`)
// drops the rest with cause 20.
template <std::size_t N>
u8 single_token_list(sip_parser& ps, id_t id, sip_code_text_rec* r, const sip_code_row (&table)[N], u16 text_max,
                     bool empty_row, bool semicolon) {
  if (ps.area.index != 0) return SIP_HDR_FAILED;
  *r = sip_code_text_rec{};
  sip_str t = run(ps, SIP_CC_TOKEN);
  if (t.len == 0) {
    if (!empty_row) return SIP_HDR_FAILED;
    r->code = SIP_CODE_NONE;
  } else if (!lookup(t, table, &r->code)) {
    if (text_max == 0 || t.len > text_max) return SIP_HDR_FAILED;
    r->code = SIP_CODE_NONE;
    r->text = t;
  }
  sip_scan__skip_lws(ps.scan);
  if (at_end(ps)) return done(id);
  if (peek(ps) == ',' || (semicolon && peek(ps) == ';')) {
    sip_parse__report(ps, 20, slot(id));
    return done(id);
  }
  return SIP_HDR_FAILED;
}

u8 parse_p_early_media(sip_parser& ps) {
  return single_token_list(ps, id_t::p_early_media, &ps.area.p_early_media, sip_codes::early_media, 32, true, false);
}

u8 parse_privacy(sip_parser& ps) {
  return single_token_list(ps, id_t::privacy, &ps.area.privacy, sip_codes::privacy_values, 32, false, true);
}

u8 parse_request_disposition(sip_parser& ps) {
  sip_code_text_rec r;
  u8 res = single_token_list(ps, id_t::request_disposition, &r, sip_codes::request_dispositions, 0, false, false);
  if (res != SIP_HDR_FAILED) ps.area.request_disposition.code = r.code;
  return res;
}

u8 parse_priority(sip_parser& ps) {
  if (!instance_allowed(ps, id_t::priority, 1)) return SIP_HDR_FAILED;
  sip_code_text_rec* r = &ps.area.priority;
  *r = sip_code_text_rec{};
  sip_str t = run(ps, SIP_CC_TOKEN);
  if (t.len == 0) return SIP_HDR_FAILED;
  if (!lookup(t, sip_codes::priorities, &r->code)) {
    r->code = SIP_CODE_NONE;
    r->text = t;
  }
  return only_lws_left(ps) ? done(id_t::priority) : SIP_HDR_FAILED;
}

// ---------------------------------------------------------------------------
// Texts and numbers

u8 text_header(sip_parser& ps, id_t id, sip_text_rec* r, u16 max) {
  if (!instance_allowed(ps, id, 1)) return SIP_HDR_FAILED;
  sip_str t = run(ps, SIP_CC_TEXT);
  if (!at_end(ps) || t.len > max) return SIP_HDR_FAILED;
  r->text = t;
  return done(id);
}

u8 parse_date(sip_parser& ps) {
  if (!instance_allowed(ps, id_t::date, SIP_MAX_DATE)) return SIP_HDR_FAILED;
  sip_str t = run(ps, SIP_CC_DATE);
  if (!at_end(ps) || t.len == 0 || t.len > 32) return SIP_HDR_FAILED;
  ps.area.date[ps.area.index].text = t;
  return done(id_t::date);
}

u8 parse_mime_version(sip_parser& ps) {
  if (!instance_allowed(ps, id_t::mime_version, 1)) return SIP_HDR_FAILED;
  sip_str t = run(ps, SIP_CC_DIGIT_DOT);
  if (t.len == 0 || t.len > 16 || !only_lws_left(ps)) return SIP_HDR_FAILED;
  ps.area.mime_version.text = t;
  return done(id_t::mime_version);
}

u8 parse_min_se(sip_parser& ps) {
  if (!instance_allowed(ps, id_t::min_se, 1)) return SIP_HDR_FAILED;
  sip_min_se_rec* r = &ps.area.min_se;
  *r = sip_min_se_rec{};
  if (!number(ps, &r->value)) return SIP_HDR_FAILED;
  sip_scan__skip_lws(ps.scan);
  if (at_end(ps)) return done(id_t::min_se);
  if (!sip_scan__take(ps.scan, ';')) return SIP_HDR_FAILED;
  sip_scan__skip_lws(ps.scan);
  sip_str params = span(cur(ps), lend(ps));
  if (params.len <= SIP_OTHER_PARAMS_MAX) r->params = params;
  cur(ps) = lend(ps);
  return done(id_t::min_se);
}

u8 parse_session_expires(sip_parser& ps) {
  if (!instance_allowed(ps, id_t::session_expires, 1)) return SIP_HDR_FAILED;
  sip_session_expires_rec* r = &ps.area.session_expires;
  *r = sip_session_expires_rec{};
  r->refresher = SIP_CODE_NONE;
  if (!number(ps, &r->delta)) return SIP_HDR_FAILED;
  const bool ok = each_param(ps, false, false, &r->params_other, [&ps, r] {
    bool eq;
    if (!param_is(ps, "refresher", &eq) || !eq) return param::other;
    return lookup(run(ps, SIP_CC_TOKEN), sip_codes::refreshers, &r->refresher) ? param::taken : param::bad;
  });
  return ok ? done(id_t::session_expires) : SIP_HDR_FAILED;
}

u8 parse_session_id(sip_parser& ps) {
  if (!instance_allowed(ps, id_t::session_id, 1)) return SIP_HDR_FAILED;
  sip_session_id_rec* r = &ps.area.session_id;
  *r = sip_session_id_rec{};
  sip_str id = run(ps, SIP_CC_ALNUM);
  if (id.len != 32) return SIP_HDR_FAILED;
  r->id = id;
  if (!other_params_only(ps, false, false, &r->params_other)) return SIP_HDR_FAILED;
  return done(id_t::session_id);
}

// digits [ '.' digits ]
bool decimal_with_fraction(sip_parser& ps, u32* whole, u32* fraction) {
  *fraction = 0;
  if (!number(ps, whole)) return false;
  if (sip_scan__take(ps.scan, '.') && sip_cc(peek(ps), SIP_CC_DIGIT) && !number(ps, fraction)) return false;
  return true;
}

u8 parse_timestamp(sip_parser& ps) {
  if (!instance_allowed(ps, id_t::timestamp, 1)) return SIP_HDR_FAILED;
  sip_timestamp_rec* r = &ps.area.timestamp;
  *r = sip_timestamp_rec{};
  if (!decimal_with_fraction(ps, &r->time, &r->time_fraction)) return SIP_HDR_FAILED;
  if (at_end(ps)) return done(id_t::timestamp);
  if (!sip_cc(peek(ps), SIP_CC_LWS)) return SIP_HDR_FAILED;
  sip_scan__skip_lws(ps.scan);
  if (at_end(ps)) return done(id_t::timestamp);
  if (!decimal_with_fraction(ps, &r->delay, &r->delay_fraction)) return SIP_HDR_FAILED;
  sip_scan__skip_lws(ps.scan);
  sip_str extra = span(cur(ps), lend(ps));
  if (extra.len > SIP_OTHER_PARAMS_MAX) return SIP_HDR_FAILED;
  r->extra = extra;
  cur(ps) = lend(ps);
  return done(id_t::timestamp);
}

bool comment(sip_parser& ps, sip_str* inside) {
  if (!sip_scan__take(ps.scan, '(')) return false;
  char* start = cur(ps);
  if (sip_scan__comment(ps.scan) != SIP_RESULT_OK || cur(ps) - start > 32) return false;
  *inside = span(start, cur(ps));
  ++cur(ps);
  return true;
}

u8 parse_retry_after(sip_parser& ps) {
  if (!instance_allowed(ps, id_t::retry_after, 1)) return SIP_HDR_FAILED;
  sip_retry_after_rec* r = &ps.area.retry_after;
  *r = sip_retry_after_rec{};
  r->duration = SIP_U32_NONE;
  if (!number(ps, &r->delta)) return SIP_HDR_FAILED;
  for (;;) {
    sip_scan__skip_lws(ps.scan);
    if (at_end(ps)) return done(id_t::retry_after);
    if (peek(ps) == '(') {
      if (r->comment.len != 0 || !comment(ps, &r->comment)) return SIP_HDR_FAILED;
      continue;
    }
    if (!sip_scan__take(ps.scan, ';')) return SIP_HDR_FAILED;
    sip_scan__skip_lws(ps.scan);
    char* start = cur(ps);
    bool eq;
    if (r->duration == SIP_U32_NONE && param_is(ps, "duration", &eq)) {
      if (!eq || !number(ps, &r->duration)) return SIP_HDR_FAILED;
      continue;
    }
    cur(ps) = start;
    if (sip_scan__other_param(ps.scan, &r->params_other) != SIP_SCAN_OK) return SIP_HDR_FAILED;
  }
}

// Server, User-Agent: products and comments, one row each.
u8 parse_products(sip_parser& ps, id_t id, sip_product_rec* rows) {
  unsigned base = ps.area.index;
  if (base >= SIP_MAX_SERVER) return SIP_HDR_FAILED;
  unsigned stored = 0;
  u8& count = ps.area.count[slot(id)];
  sip_scan__skip_lws(ps.scan);
  while (!at_end(ps)) {
    if (base + stored >= SIP_MAX_SERVER) {
      sip_parse__report(ps, 20, slot(id));
      break;
    }
    sip_product_rec* r = &rows[base + stored];
    *r = sip_product_rec{};
    if (peek(ps) == '(') {
      if (!comment(ps, &r->comment)) break;
    } else {
      sip_str product = run(ps, SIP_CC_TOKEN_LWS);
      if (product.len == 0 || product.len > 32) break;
      r->product = product;
      sip_scan__skip_lws(ps.scan);
      if (sip_scan__take(ps.scan, '/')) {
        sip_scan__skip_lws(ps.scan);
        sip_str version = run(ps, SIP_CC_TOKEN);
        if (version.len == 0 || version.len > 16) break;
        r->version = version;
      }
    }
    ++stored;
    sip_scan__skip_lws(ps.scan);
  }
  bool ok = at_end(ps) || base + stored >= SIP_MAX_SERVER;
  if (!ok || stored == 0) {
    count = static_cast<u8>(count + stored);
    return SIP_HDR_FAILED;
  }
  count = static_cast<u8>(count + stored - 1);
  return done(id);
}

u8 parse_server(sip_parser& ps) { return parse_products(ps, id_t::server, ps.area.server); }
u8 parse_user_agent(sip_parser& ps) { return parse_products(ps, id_t::user_agent, ps.area.user_agent); }

// ---------------------------------------------------------------------------
// In-Reply-To, Replaces, Reason, Warning, Diversion

u8 parse_in_reply_to(sip_parser& ps) {
  if (!instance_allowed(ps, id_t::in_reply_to, SIP_MAX_IN_REPLY_TO)) return SIP_HDR_FAILED;
  if (std::memchr(cur(ps), ',', static_cast<std::size_t>(lend(ps) - cur(ps))) != nullptr) return SIP_HDR_FAILED;
  sip_callid_parsed* id = &ps.area.in_reply_to[ps.area.index];
  *id = sip_callid_parsed{};
  char* at = static_cast<char*>(std::memchr(cur(ps), '@', static_cast<std::size_t>(lend(ps) - cur(ps))));
  if (at == nullptr || at == cur(ps) || at - cur(ps) > 64) return SIP_HDR_FAILED;
  id->word = span(cur(ps), at);
  cur(ps) = at + 1;
  sip_str host = run(ps, SIP_CC_TOKEN);
  if (host.len == 0) return SIP_HDR_FAILED;
  sip_str ip;
  if (as_ipv4(host, &ip)) {
    id->addr_len = 4;
    id->addr = reinterpret_cast<const u8*>(ip.ptr);
  } else {
    if (host.len > 64) return SIP_HDR_FAILED;
    id->host = host;
  }
  return only_lws_left(ps) ? done(id_t::in_reply_to) : SIP_HDR_FAILED;
}

u8 parse_replaces(sip_parser& ps) {
  if (!instance_allowed(ps, id_t::replaces, 1)) return SIP_HDR_FAILED;
  sip_replaces_rec* r = &ps.area.replaces;
  *r = sip_replaces_rec{};
  r->call_ref = 0xFFFF;
  sip_str word = run(ps, SIP_CC_WORD);
  if (word.len == 0 || word.len > 64) return SIP_HDR_FAILED;
  r->call_id.word = word;
  if (sip_scan__take(ps.scan, '@')) {
    sip_str host = run(ps, SIP_CC_WORD);
    if (host.len == 0 || host.len > 64) return SIP_HDR_FAILED;
    sip_str ip;
    if (as_ipv4(host, &ip)) {
      r->call_id.addr_len = 4;
      r->call_id.addr = reinterpret_cast<const u8*>(ip.ptr);
    } else {
      r->call_id.host = host;
    }
  }
  for (;;) {
    int np = next_param(ps, false, false);
    if (np == 0) break;
    if (np < 0) return SIP_HDR_FAILED;
    char* start = cur(ps);
    bool eq;
    if (param_is(ps, "from-tag", &eq) || param_is(ps, "to-tag", &eq)) {
      bool from = sip_fold(static_cast<u8>(*start)) == 'f';
      sip_str v = run(ps, SIP_CC_TOKEN);
      if (!eq || v.len == 0 || v.len > 64) return SIP_HDR_FAILED;
      (from ? r->from_tag : r->to_tag) = v;
      continue;
    }
    if (param_is(ps, "early-only", &eq)) {
      if (eq) return SIP_HDR_FAILED;
      r->early_only = 1;
      continue;
    }
    cur(ps) = start;
    run(ps, SIP_CC_TOKEN);
    sip_scan__skip_lws(ps.scan);
    if (peek(ps) != '=') return SIP_HDR_FAILED;
    cur(ps) = start;
    if (sip_scan__other_param(ps.scan, &r->params_other) != SIP_SCAN_OK) return SIP_HDR_FAILED;
  }
  if (ps.env.find_call != nullptr) r->call_ref = ps.env.find_call(*r);
  return done(id_t::replaces);
}

u8 parse_reason(sip_parser& ps) {
  return parse_list(ps, id_t::reason, SIP_MAX_REASON, [&ps](unsigned row) {
    sip_reason_rec* r = &ps.area.reason[row];
    *r = sip_reason_rec{};
    r->cause = 0xFFFF;
    sip_str p = run(ps, SIP_CC_TOKEN);
    if (p.len == 0) return elem::fail;
    if (!lookup(p, sip_codes::reason_protocols, &r->protocol)) {
      if (p.len > 64) return elem::fail;
      r->protocol = SIP_CODE_NONE;
      r->protocol_text = p;
    }
    const bool ok = each_param(ps, false, true, &r->params_other, [&ps, r] {
      bool eq;
      if (param_is(ps, "cause", &eq) && eq) {
        u32 c;
        if (!number(ps, &c) || c > 0xFFFE) return param::bad;
        r->cause = static_cast<u16>(c);
        return param::taken;
      }
      if (param_is(ps, "text", &eq) && eq) {
        sip_str t;
        if (!quoted(ps, &t, 64)) return param::bad;
        r->text = t;
        return param::taken;
      }
      return param::other;
    });
    return ok ? elem::ok : elem::fail;
  });
}

u8 parse_warning(sip_parser& ps) {
  return parse_list(ps, id_t::warning, SIP_MAX_WARNING, [&ps](unsigned row) {
    sip_warning_rec* w = &ps.area.warning[row];
    *w = sip_warning_rec{};
    w->port = SIP_PORT_NONE;
    sip_str code = run(ps, SIP_CC_DIGIT);
    if (code.len != 3) return elem::fail;
    w->code = static_cast<u16>((code.ptr[0] - '0') * 100 + (code.ptr[1] - '0') * 10 + (code.ptr[2] - '0'));
    if (!sip_cc(peek(ps), SIP_CC_LWS)) return elem::fail;
    sip_scan__skip_lws(ps.scan);
    sip_str agent = run(ps, SIP_CC_TOKEN);
    if (agent.len == 0) return elem::fail;
    if (!as_ipv4(agent, &w->agent_ipv4)) {
      if (agent.len > 64) return elem::fail;
      w->agent = agent;
    }
    if (sip_scan__take(ps.scan, ':')) {
      u32 port;
      if (!number(ps, &port) || port > 0xFFFE) return elem::fail;
      w->port = static_cast<u16>(port);
    }
    if (!sip_cc(peek(ps), SIP_CC_LWS)) return elem::fail;
    sip_scan__skip_lws(ps.scan);
    sip_str text;
    if (!quoted(ps, &text, 64)) return elem::fail;
    w->text = text;
    sip_scan__skip_lws(ps.scan);
    return (at_end(ps) || peek(ps) == ',') ? elem::ok : elem::fail;
  });
}

// A decimal number of one or two digits at the cursor.
bool one_or_two_digits(sip_parser& ps, u8* value) {
  sip_str v = run(ps, SIP_CC_DIGIT);
  if (v.len == 0 || v.len > 2) return false;
  u32 n;
  sip_num__dec(v.ptr, v.len, &n);
  *value = static_cast<u8>(n);
  return true;
}

u8 parse_diversion(sip_parser& ps) {
  if (ps.area.index != 0) {
    sip_hdr_count__decrement(ps.area, id_t::diversion);
    return SIP_HDR_FAILED;
  }
  return parse_list(ps, id_t::diversion, 1, [&ps](unsigned) {
    sip_diversion_rec* d = &ps.area.diversion;
    *d = sip_diversion_rec{};
    d->reason = d->counter = d->limit = d->privacy = d->screen = SIP_CODE_NONE;
    bool bare;
    if (!parse_name_addr(ps, &d->na, na_form::bare_noparams, &bare)) return elem::fail;
    const bool ok = each_param(ps, false, true, &d->na.params_other, [&ps, d] {
      bool eq;
      if (param_is(ps, "reason", &eq) && eq) {
        if (peek(ps) == '"') {
          if (!quoted(ps, &d->reason_text, SIP_OTHER_PARAMS_MAX)) return param::bad;
        } else if (!lookup(run(ps, SIP_CC_TOKEN), sip_codes::diversion_reasons, &d->reason)) {
          return param::bad;
        }
      } else if (param_is(ps, "counter", &eq) && eq) {
        if (!one_or_two_digits(ps, &d->counter)) return param::bad;
      } else if (param_is(ps, "limit", &eq) && eq) {
        if (!one_or_two_digits(ps, &d->limit)) return param::bad;
      } else if (param_is(ps, "privacy", &eq) && eq) {
        if (peek(ps) == '"') {
          if (!quoted(ps, &d->privacy_text, SIP_OTHER_PARAMS_MAX)) return param::bad;
        } else if (!lookup(run(ps, SIP_CC_TOKEN), sip_codes::diversion_privacy, &d->privacy)) {
          return param::bad;
        }
      } else if (param_is(ps, "screen", &eq) && eq) {
        if (!lookup(run(ps, SIP_CC_TOKEN), sip_codes::screens, &d->screen)) return param::bad;
      } else {
        return param::other;
      }
      return param::taken;
    });
    return ok ? elem::ok : elem::fail;
  });
}

// ---------------------------------------------------------------------------
// Authentication

constexpr sip_code_row digest_params[] = {{'a', "domain"}, {'b', "stale"},  {'0', "username"}, {'1', "realm"},
                                          {'2', "nonce"},  {'3', "uri"},    {'4', "response"}, {'5', "algorithm"},
                                          {'6', "cnonce"}, {'7', "opaque"}, {'8', "qop"},      {'9', "nc"}};

// A parameter value: a quoted string (its inside) or a token.
bool param_value(sip_parser& ps, sip_str* v, bool* was_quoted) {
  *was_quoted = peek(ps) == '"';
  if (*was_quoted) return sip_scan__quoted_string(ps.scan, v);
  *v = run(ps, SIP_CC_PARAM_VALUE);
  return true;
}

// "akav<digits>-" at the start of an algorithm value: the AKA version.
void aka_prefix(sip_str* v, u8* version) {
  if (v->len < 6 || !word_is(sip_str{4, v->ptr}, "akav")) return;
  u16 i = 4;
  while (i < v->len && sip_cc(v->ptr[i], SIP_CC_DIGIT)) ++i;
  if (i == 4 || i >= v->len || v->ptr[i] != '-' || i - 4 > 3) return;
  u32 n;
  if (!sip_num__dec(v->ptr + 4, static_cast<u16>(i - 4), &n) || n > 254) return;
  *version = static_cast<u8>(n);
  v->ptr += i + 1;
  v->len = static_cast<u16>(v->len - (i + 1));
}

bool set_limited(sip_str* field, sip_str v, u16 max) {
  if (v.len > max) return false;
  *field = v;
  return true;
}

// The name of a digest parameter and its '=' (blanks allowed around it);
// *which is the name's code in digest_params, 0xFF for any other name.
bool digest_param_name(sip_parser& ps, u8* which) {
  sip_str name = run(ps, SIP_CC_TOKEN);
  if (name.len == 0) return false;
  sip_scan__skip_lws(ps.scan);
  if (!sip_scan__take(ps.scan, '=')) return false;
  sip_scan__skip_lws(ps.scan);
  if (!lookup(name, digest_params, 12, which)) *which = 0xFF;
  return true;
}

// Behind a digest parameter's value: 1 at the end of the header value, 0
// when a ',' (and blanks) led to the next parameter, -1 otherwise.
int digest_param_end(sip_parser& ps) {
  sip_scan__skip_lws(ps.scan);
  if (at_end(ps)) return 1;
  if (!sip_scan__take(ps.scan, ',')) return -1;
  sip_scan__skip_lws(ps.scan);
  return 0;
}

bool credentials(sip_parser& ps, sip_credentials_rec* c) {
  *c = sip_credentials_rec{};
  c->algorithm = c->aka_version = c->qop = c->stale = SIP_CODE_NONE;
  c->nc = SIP_U32_NONE;
  sip_str scheme = run(ps, SIP_CC_TOKEN);
  if (word_is(scheme, "basic")) {
    c->scheme = 'B';
    sip_scan__skip_lws(ps.scan);
    sip_str cred = run(ps, SIP_CC_BASE64);
    if (cred.len == 0 || cred.len > 64 || !only_lws_left(ps)) return false;
    c->basic = cred;
    return true;
  }
  if (!word_is(scheme, "digest")) return false;
  c->scheme = 'D';
  sip_scan__skip_lws(ps.scan);
  for (;;) {
    char* start = cur(ps);
    u8 which;
    if (!digest_param_name(ps, &which)) return false;
    sip_str v;
    bool q;
    if (!param_value(ps, &v, &q)) return false;
    bool ok = true;
    switch (which) {
      case '0': ok = set_limited(&c->username, v, 64); break;
      case '1': ok = set_limited(&c->realm, v, 64); break;
      case '2': ok = set_limited(&c->nonce, v, 64); break;
      case '3': ok = set_limited(&c->uri, v, 128); break;
      case '4': ok = set_limited(&c->response, v, 128); break;
      case '6': ok = set_limited(&c->cnonce, v, 32); break;
      case '7': ok = set_limited(&c->opaque, v, 32); break;
      case '5':
        aka_prefix(&v, &c->aka_version);
        if (!lookup(v, sip_codes::algorithms, &c->algorithm)) ok = set_limited(&c->algorithm_text, v, 16);
        break;
      case '8':
        if (!lookup(v, sip_codes::qops, &c->qop)) ok = set_limited(&c->qop_text, v, 16);
        break;
      case '9': ok = v.len > 0 && sip_num__hex(v.ptr, v.len, &c->nc); break;
      case 'b': ok = lookup(v, sip_codes::stales, &c->stale); break;
      default:
        if (c->other.len == 0) ok = set_limited(&c->other, span(start, cur(ps)), 64);
        break;
    }
    if (!ok) return false;
    if (int end = digest_param_end(ps); end != 0) return end > 0;
  }
}

u8 parse_credentials(sip_parser& ps, id_t id, sip_credentials_rec* rows, unsigned limit) {
  if (ps.area.index >= limit) return SIP_HDR_FAILED;
  return credentials(ps, &rows[ps.area.index]) ? done(id) : SIP_HDR_FAILED;
}

u8 parse_authorization(sip_parser& ps) {
  return parse_credentials(ps, id_t::authorization, ps.area.authorization, SIP_MAX_AUTHORIZATION);
}
u8 parse_proxy_authorization(sip_parser& ps) {
  return parse_credentials(ps, id_t::proxy_authorization, ps.area.proxy_authorization, SIP_MAX_PROXY_AUTHORIZATION);
}

// The quoted qop list of a challenge: known options as codes in the order
// received, the first unknown one as text.
bool qop_options(sip_parser& ps, sip_challenge_rec* ch, bool every_unknown_checked) {
  sip_str inside;
  if (!sip_scan__quoted_string(ps.scan, &inside)) return false;
  char* after = cur(ps);
  const char* p = inside.ptr;
  const char* end = inside.ptr + inside.len;
  u8 codes[SIP_QOP_OPTIONS_MAX];
  u8 n = 0;
  while (p < end) {
    while (p < end && (*p == ' ' || *p == '\t' || *p == ',')) ++p;
    const char* w = p;
    while (p < end && *p != ',' && *p != ' ' && *p != '\t') ++p;
    if (p == w) break;
    sip_str word = span(w, p);
    u8 code;
    if (lookup(word, sip_codes::qops, &code)) {
      if (n < SIP_QOP_OPTIONS_MAX) codes[n++] = code;
    } else if (ch->qop_text.len == 0 || every_unknown_checked) {
      if (word.len > 16) return false;
      if (ch->qop_text.len == 0) ch->qop_text = word;
    }
  }
  std::memcpy(ch->qop_options, codes, n);
  ch->qop_count = n;
  cur(ps) = after;
  return true;
}

bool challenge(sip_parser& ps, sip_challenge_rec* ch, bool www) {
  u32 keep[2] = {ch->codec_values[0], ch->codec_values[1]};
  *ch = sip_challenge_rec{};
  ch->codec_values[0] = keep[0];
  ch->codec_values[1] = keep[1];
  ch->stale = ch->algorithm = ch->aka_version = SIP_CODE_NONE;
  sip_str scheme = run(ps, SIP_CC_TOKEN);
  sip_scan__skip_lws(ps.scan);
  if (word_is(scheme, "basic")) {
    ch->scheme = 'B';
    bool eq;
    if (!param_is(ps, "realm", &eq) || !eq) return false;
    if (!quoted(ps, &ch->realm, 64)) return false;
    sip_scan__skip_lws(ps.scan);
    if (at_end(ps)) return true;
    if (peek(ps) == ',') {
      sip_parse__report(ps, 20, slot(www ? id_t::www_authenticate : id_t::proxy_authenticate));
      return true;
    }
    return false;
  }
  if (!word_is(scheme, "digest")) return false;
  ch->scheme = 'D';
  for (;;) {
    char* start = cur(ps);
    u8 which;
    if (!digest_param_name(ps, &which)) return false;
    bool ok = true;
    sip_str v;
    switch (which) {
      case '1': ok = quoted(ps, &ch->realm, 64); break;
      case 'a':
        ok = quoted(ps, &v, 64);
        if (www) ch->domain = v;
        break;
      case '2': ok = quoted(ps, &ch->nonce, 64); break;
      case '7': ok = quoted(ps, &ch->opaque, 32); break;
      case 'b': ok = lookup(run(ps, SIP_CC_TOKEN), sip_codes::stales, &ch->stale); break;
      case '5': {
        bool q = sip_scan__take(ps.scan, '"');
        sip_str a = run(ps, SIP_CC_TOKEN);
        aka_prefix(&a, &ch->aka_version);
        if (!lookup(a, sip_codes::algorithms, &ch->algorithm)) ok = set_limited(&ch->algorithm_text, a, 16);
        if (q && !sip_scan__take(ps.scan, '"')) ok = false;
        break;
      }
      case '8': ok = peek(ps) == '"' && qop_options(ps, ch, !www); break;
      default: {
        bool q;
        ok = param_value(ps, &v, &q);
        if (ok && ch->other.len == 0) ok = set_limited(&ch->other, span(start, cur(ps)), 64);
        break;
      }
    }
    if (!ok) return false;
    if (int end = digest_param_end(ps); end != 0) return end > 0;
  }
}

u8 parse_www_authenticate(sip_parser& ps) {
  if (ps.area.index != 0) return SIP_HDR_FAILED;
  return challenge(ps, &ps.area.www_authenticate, true) ? done(id_t::www_authenticate) : SIP_HDR_FAILED;
}
u8 parse_proxy_authenticate(sip_parser& ps) {
  if (ps.area.index != 0) return SIP_HDR_FAILED;
  return challenge(ps, &ps.area.proxy_authenticate, false) ? done(id_t::proxy_authenticate) : SIP_HDR_FAILED;
}

u8 parse_authentication_info(sip_parser& ps) {
  if (!instance_allowed(ps, id_t::authentication_info, 1)) return SIP_HDR_FAILED;
  sip_auth_info_rec* a = &ps.area.authentication_info;
  *a = sip_auth_info_rec{};
  a->qop = SIP_CODE_NONE;
  a->nc = SIP_U32_NONE;
  for (;;) {
    sip_str name = run(ps, SIP_CC_TOKEN);
    sip_scan__skip_lws(ps.scan);
    if (name.len == 0 || !sip_scan__take(ps.scan, '=')) return SIP_HDR_FAILED;
    sip_scan__skip_lws(ps.scan);
    bool ok;
    if (word_is(name, "nextnonce")) {
      ok = quoted(ps, &a->nextnonce, 64);
    } else if (word_is(name, "rspauth")) {
      ok = quoted(ps, &a->rspauth, 128);
    } else if (word_is(name, "cnonce")) {
      ok = quoted(ps, &a->cnonce, 32);
    } else if (word_is(name, "qop")) {
      sip_str v = run(ps, SIP_CC_TOKEN);
      ok = v.len > 0 && (lookup(v, sip_codes::qops, &a->qop) || set_limited(&a->qop_text, v, 16));
    } else if (word_is(name, "nc")) {
      bool q = sip_scan__take(ps.scan, '"');
      sip_str v = run(ps, SIP_CC_HEX);
      ok = v.len > 0 && sip_num__hex(v.ptr, v.len, &a->nc) && (!q || sip_scan__take(ps.scan, '"'));
    } else {
      return SIP_HDR_FAILED;
    }
    if (!ok) return SIP_HDR_FAILED;
    sip_scan__skip_lws(ps.scan);
    if (at_end(ps)) return done(id_t::authentication_info);
    if (!sip_scan__take(ps.scan, ',')) return SIP_HDR_FAILED;
    sip_scan__skip_lws(ps.scan);
  }
}

}  // namespace

namespace sip_hp {

u8 parse_other_header(sip_parser& ps, id_t id) {
  switch (id) {
    case id_t::accept: return parse_accept(ps);
    case id_t::accept_encoding: return parse_accept_encoding(ps);
    case id_t::accept_language: return parse_accept_language(ps);
    case id_t::alert_info: return parse_alert_info(ps);
    case id_t::allow: return parse_allow(ps);
    case id_t::authentication_info: return parse_authentication_info(ps);
    case id_t::authorization: return parse_authorization(ps);
    case id_t::call_info: return parse_call_info(ps);
    case id_t::content_encoding: return parse_content_encoding(ps);
    case id_t::content_language: return parse_content_language(ps);
    case id_t::date: return parse_date(ps);
    case id_t::diversion: return parse_diversion(ps);
    case id_t::error_info: return parse_error_info(ps);
    case id_t::in_reply_to: return parse_in_reply_to(ps);
    case id_t::mime_version: return parse_mime_version(ps);
    case id_t::min_se: return parse_min_se(ps);
    case id_t::organization: return text_header(ps, id, &ps.area.organization, 32);
    case id_t::subject: return text_header(ps, id, &ps.area.subject, 128);
    case id_t::p_early_media: return parse_p_early_media(ps);
    case id_t::priority: return parse_priority(ps);
    case id_t::privacy: return parse_privacy(ps);
    case id_t::proxy_authenticate: return parse_proxy_authenticate(ps);
    case id_t::proxy_authorization: return parse_proxy_authorization(ps);
    case id_t::proxy_require: return parse_proxy_require(ps);
    case id_t::reason: return parse_reason(ps);
    case id_t::replaces: return parse_replaces(ps);
    case id_t::request_disposition: return parse_request_disposition(ps);
    case id_t::require: return parse_require(ps);
    case id_t::retry_after: return parse_retry_after(ps);
    case id_t::server: return parse_server(ps);
    case id_t::session_expires: return parse_session_expires(ps);
    case id_t::session_id: return parse_session_id(ps);
    case id_t::supported: return parse_supported(ps);
    case id_t::timestamp: return parse_timestamp(ps);
    case id_t::unsupported: return parse_unsupported(ps);
    case id_t::user_agent: return parse_user_agent(ps);
    case id_t::warning: return parse_warning(ps);
    case id_t::www_authenticate: return parse_www_authenticate(ps);
    default: return SIP_HDR_FAILED;
  }
}

}  // namespace sip_hp
