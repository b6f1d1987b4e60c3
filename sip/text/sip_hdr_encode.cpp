// SIP header encoders: one per header id, each writing its line (or lines)
// from the instances in the header work area.  List headers put every
// instance on one line; Route, Record-Route, Service-Route and Via write a
// line per instance; the other headers write their first instance only.
#include <algorithm>
#include <cstring>

#include "sip/text/sip_branch.h"
#include "sip/text/sip_encode_int.h"
#include "platform/int_types.h"

namespace {

using hid = sip_header_id;

// ---------------------------------------------------------------------------
// Line shapes

// One line; every instance followed by `sep`, the last one's replaced by the
// line end.  `value` returns false for an instance it skipped.
template <class Rec, class Value>
void list_line(hid id, u8 count, std::size_t max, Rec* recs, Value value, const char* sep = ",") {
  put_header_name(id);
  const std::size_t n = std::min<std::size_t>(count, max);
  bool any = false;
  for (std::size_t i = 0; i < n; ++i) {
    sip_hdr_area.index = static_cast<u8>(i);
    if (!value(recs[i], i)) continue;
    put(sep);
    any = true;
  }
  if (any) unput(static_cast<u16>(std::strlen(sep)));
  put_crlf();
}

template <class Rec, class Value>
void each_line(hid id, u8 count, std::size_t max, Rec* recs, Value value) {
  const std::size_t n = std::min<std::size_t>(count, max);
  for (std::size_t i = 0; i < n; ++i) {
    sip_hdr_area.index = static_cast<u8>(i);
    put_header_name(id);
    value(recs[i], i);
    put_crlf();
    // Each line is committed on its own: lines, not the whole header, must
    // fit a buffer.
    (void)sip_out__commit_line();
  }
}

template <class Rec, class Value>
void single_line(hid id, const Rec& rec, Value value) {
  sip_hdr_area.index = 0;
  put_header_name(id);
  value(rec);
  put_crlf();
}

template <class T, std::size_t N>
constexpr std::size_t size_of(T (&)[N]) {
  return N;
}

void put_params(sip_str params) {
  if (!has(params)) return;
  put_char(';');
  put(params);
}

// Parameters kept raw with their own leading ';' (or without it).
void put_raw_params(sip_str params) {
  if (!has(params)) return;
  if (params.ptr[0] != ';') put_char(';');
  put(params);
}

void put_quoted_param(const char* literal, sip_str value) {
  if (!has(value)) return;
  put(literal);
  put(value);
  put_char('"');
}

void put_call_id(const sip_callid_parsed& c) {
  put(c.word);
  if (c.addr_len == 4 && c.addr != nullptr) {
    put_char('@');
    put_ipv4(sip_str{4, reinterpret_cast<const char*>(c.addr)});
  } else if (has(c.host)) {
    put_char('@');
    put(c.host);
  }
}

// The name-address of the route and identity headers: display name directly
// before the bracketed address.
void put_name_addr(const sip_name_addr& na, bool lr = true) {
  if (has(na.display)) put_display(na.display, na.quoted);
  sip_out__addr_params(na.addr, lr);
}

// ---------------------------------------------------------------------------
// Encoders

void enc_status_line(u8) { sip_out__status_line(); }

void enc_accept(u8 count) {
  list_line(hid::accept, count, SIP_MAX_ACCEPT, sip_hdr_area.accept, [](const sip_accept_rec& a, std::size_t) {
    if (a.type == SIP_CODE_NONE && !has(a.type_text)) return false;
    put_coded(sip_vt_media_type, a.type, a.type_text);
    put_char('/');
    const sip_value_table* sub = sip_vt__subtypes(a.type);
    if (sub != nullptr && a.subtype != SIP_CODE_NONE) put_coded(*sub, a.subtype, a.subtype_text);
    else put(a.subtype_text);
    put_params(a.params_first);
    if (has(a.q)) {
      put(";q=");
      put(a.q);
    }
    put_params(a.params_second);
    return true;
  });
}

void encoding_list(hid id, u8 count, std::size_t max, sip_encoding_rec* recs) {
  list_line(id, count, max, recs, [](const sip_encoding_rec& e, std::size_t) {
    put_coded(sip_vt_content_coding, e.coding, {});
    put_raw_params(e.params);
    return true;
  });
}
void enc_accept_encoding(u8 count) {
  encoding_list(hid::accept_encoding, count, SIP_MAX_ACCEPT_ENCODING, sip_hdr_area.accept_encoding);
}
void enc_content_encoding(u8 count) {
  encoding_list(hid::content_encoding, count, SIP_MAX_CONTENT_ENCODING, sip_hdr_area.content_encoding);
}

void enc_accept_language(u8 count) {
  list_line(hid::accept_language, count, SIP_MAX_ACCEPT_LANGUAGE, sip_hdr_area.accept_language,
            [](const sip_accept_language_rec& l, std::size_t) {
              put(l.primary);
              if (has(l.subtag)) {
                put_char('-');
                put(l.subtag);
              }
              if (has(l.q)) {
                put(";q=");
                put(l.q);
              }
              put_params(l.params);
              return true;
            });
}

void info_list(hid id, u8 count, std::size_t max, sip_info_uri_rec* recs) {
  list_line(id, count, max, recs, [](const sip_info_uri_rec& r, std::size_t) {
    put_char('<');
    put(r.uri);
    put_char('>');
    put_params(r.params_other);
    return true;
  });
}
void enc_alert_info(u8 count) { info_list(hid::alert_info, count, SIP_MAX_ALERT_INFO, sip_hdr_area.alert_info); }
void enc_error_info(u8 count) { info_list(hid::error_info, count, SIP_MAX_ERROR_INFO, sip_hdr_area.error_info); }

void enc_allow(u8 count) {
  list_line(hid::allow, count, SIP_MAX_ALLOW, sip_hdr_area.allow, [](const sip_code_rec& r, std::size_t) {
    const char* name = nullptr;
    if (sip_value__lookup(sip_vt_method, r.code, &name) != SIP_RESULT_OK || name == nullptr) return false;
    put(name);
    return true;
  });
}

// ---------------------------------------------------------------------------
// Authentication

// Lower-case hexadecimal, always 8 digits (the nonce count).
void put_nc(u32 nc) {
  char digits[8];
  for (int i = 7; i >= 0; --i, nc >>= 4) digits[i] = "0123456789abcdef"[nc & 0xF];
  put("nc=");
  (void)sip_out__append_bytes(digits, 8);
  put_char(',');
}

void put_algorithm(u8 aka, u8 code, sip_str text) {
  if (aka != SIP_CODE_NONE) {
    put("algorithm=AKAv");
    put_dec(aka);
    put_char('-');
  } else if (code != SIP_CODE_NONE || has(text)) {
    put("algorithm=");
  } else {
    return;
  }
  put_coded(sip_vt_algorithm, code, text);
  put_char(',');
}

void put_q(const char* literal, sip_str value) {
  if (!has(value)) return;
  put(literal);
  put(value);
  put("\",");
}

void credentials(hid id, const sip_credentials_rec& c) {
  single_line(id, c, [](const sip_credentials_rec& r) {
    put_coded(sip_vt_auth_scheme, r.scheme, {});
    put_char(' ');
    if (r.scheme == 'B') {
      put(r.basic);
      return;
    }
    put_q("username=\"", r.username);
    put_q("realm=\"", r.realm);
    put_q("nonce=\"", r.nonce);
    put_q("uri=\"", r.uri);
    put_q("response=\"", r.response);
    put_algorithm(r.aka_version, r.algorithm, r.algorithm_text);
    put_q("cnonce=\"", r.cnonce);
    put_q("opaque=\"", r.opaque);
    if (r.qop != SIP_CODE_NONE || has(r.qop_text)) {
      put("qop=");
      put_coded(sip_vt_qop, r.qop, r.qop_text);
      put_char(',');
    }
    if (r.nc != SIP_U32_NONE) put_nc(r.nc);
    if (has(r.other)) {
      put(r.other);
      put_char(',');
    }
    unput(1);
  });
}
void enc_authorization(u8) { credentials(hid::authorization, sip_hdr_area.authorization[0]); }
void enc_proxy_authorization(u8) { credentials(hid::proxy_authorization, sip_hdr_area.proxy_authorization[0]); }

void challenge(hid id, const sip_challenge_rec& c, bool www) {
  single_line(id, c, [www](const sip_challenge_rec& r) {
    put_coded(sip_vt_auth_scheme, r.scheme, {});
    put_char(' ');
    if (r.scheme == 'B') {
      put_q("realm=\"", r.realm);
      unput(1);
      return;
    }
    put_q("realm=\"", r.realm);
    if (www) put_q("domain=\"", r.domain);
    put_q("nonce=\"", r.nonce);
    put_q("opaque=\"", r.opaque);
    if (r.stale != SIP_CODE_NONE) {
      put("stale=");
      put_coded(sip_vt_stale, r.stale, {});
      put_char(',');
    }
    put_algorithm(r.aka_version, r.algorithm, r.algorithm_text);
    const u8 n = std::min<u8>(r.qop_count, SIP_QOP_OPTIONS_MAX);
    if (n != 0 || has(r.qop_text)) {
      put("qop=\"");
      for (u8 i = 0; i < n; ++i) {
        put_coded(sip_vt_qop, r.qop_options[i], {});
        put_char(',');
      }
      if (has(r.qop_text)) {
        put(r.qop_text);
        put_char(',');
      }
      unput(1);
      put("\",");
    }
    if (has(r.other)) {
      put(r.other);
      put_char(',');
    }
    unput(1);
  });
}
void enc_www_authenticate(u8) { challenge(hid::www_authenticate, sip_hdr_area.www_authenticate, true); }
void enc_proxy_authenticate(u8) { challenge(hid::proxy_authenticate, sip_hdr_area.proxy_authenticate, false); }

void enc_authentication_info(u8) {
  single_line(hid::authentication_info, sip_hdr_area.authentication_info, [](const sip_auth_info_rec& a) {
    const char* start = sip_out.ptr;
    put_q("nextnonce=\"", a.nextnonce);
    put_q("rspauth=\"", a.rspauth);
    put_q("cnonce=\"", a.cnonce);
    if (a.qop != SIP_CODE_NONE || has(a.qop_text)) {
      put("qop=");
      put_coded(sip_vt_qop, a.qop, a.qop_text);
      put_char(',');
    }
    if (a.nc != SIP_U32_NONE) put_nc(a.nc);
    if (sip_out.ptr != start) unput(1);
  });
}

// ---------------------------------------------------------------------------
// Call-ID, CSeq, numbers and texts

void enc_call_id(u8) {
  sip_callid_parsed id = sip_hdr_area.call_id;
  sip_callid_parsed from_call;
  if (sip_encode_env.call_id != nullptr && sip_encode_env.call_id(0xFFFF, &from_call)) id = from_call;
  single_line(hid::call_id, id, put_call_id);
}

void enc_cseq(u8) {
  single_line(hid::cseq, sip_hdr_area.cseq, [](const sip_cseq_rec& c) {
    put_dec(c.number);
    put_char(' ');
    const char* name = nullptr;
    if (c.method >= 0xC1 && c.method <= 0xC6 &&
        sip_value__lookup(sip_vt_method, static_cast<u8>('A' + (c.method - 0xC1)), &name) == SIP_RESULT_OK &&
        name != nullptr)
      put(name);
    else put(c.method_text);
  });
}

void number_line(hid id, u32 v) {
  single_line(id, v, [](u32 x) { put_dec(x); });
}
void enc_expires(u8) { number_line(hid::expires, sip_hdr_area.expires.value); }
void enc_max_forwards(u8) { number_line(hid::max_forwards, sip_hdr_area.max_forwards.value); }
void enc_min_expires(u8) { number_line(hid::min_expires, sip_hdr_area.min_expires.value); }

void text_line(hid id, sip_str text) {
  single_line(id, text, [](sip_str t) { put(t); });
}
void enc_date(u8) { text_line(hid::date, sip_hdr_area.date[0].text); }
void enc_mime_version(u8) { text_line(hid::mime_version, sip_hdr_area.mime_version.text); }
void enc_organization(u8) { text_line(hid::organization, sip_hdr_area.organization.text); }
void enc_subject(u8) { text_line(hid::subject, sip_hdr_area.subject.text); }

void text_list(hid id, u8 count, std::size_t max, sip_text_rec* recs) {
  list_line(id, count, max, recs, [](const sip_text_rec& r, std::size_t) {
    if (!has(r.text)) return false;
    put(r.text);
    return true;
  });
}
void enc_content_language(u8 count) {
  text_list(hid::content_language, count, SIP_MAX_CONTENT_LANGUAGE, sip_hdr_area.content_language);
}
void enc_proxy_require(u8 count) {
  text_list(hid::proxy_require, count, SIP_MAX_PROXY_REQUIRE, sip_hdr_area.proxy_require);
}

void code_text_list(hid id, u8 count, std::size_t max, sip_code_text_rec* recs, const sip_value_table& table,
                    const char* sep = ",") {
  list_line(
      id, count, max, recs,
      [&table](const sip_code_text_rec& r, std::size_t) {
        if (r.code == SIP_CODE_NONE && !has(r.text)) return false;
        put_coded(table, r.code, r.text);
        return true;
      },
      sep);
}
void enc_require(u8 count) {
  code_text_list(hid::require, count, SIP_MAX_REQUIRE, sip_hdr_area.require, sip_vt_option_tag);
}
void enc_supported(u8 count) {
  code_text_list(hid::supported, count, SIP_MAX_SUPPORTED, sip_hdr_area.supported, sip_vt_option_tag);
}
void enc_unsupported(u8 count) {
  code_text_list(hid::unsupported, count, SIP_MAX_UNSUPPORTED, sip_hdr_area.unsupported, sip_vt_option_tag);
}
void enc_p_early_media(u8 count) {
  code_text_list(hid::p_early_media, count, 1, &sip_hdr_area.p_early_media, sip_vt_early_media);
}
void enc_privacy(u8 count) { code_text_list(hid::privacy, count, 1, &sip_hdr_area.privacy, sip_vt_privacy, ";"); }
void enc_priority(u8) {
  single_line(hid::priority, sip_hdr_area.priority,
              [](const sip_code_text_rec& r) { put_coded(sip_vt_priority, r.code, r.text); });
}
void enc_request_disposition(u8 count) {
  list_line(hid::request_disposition, count, 1, &sip_hdr_area.request_disposition,
            [](const sip_code_rec& r, std::size_t) {
              if (r.code == SIP_CODE_NONE) return false;
              put_coded(sip_vt_request_disposition, r.code, {});
              return true;
            });
}

void enc_min_se(u8) {
  single_line(hid::min_se, sip_hdr_area.min_se, [](const sip_min_se_rec& r) {
    put_dec(r.value);
    put_params(r.params);
  });
}

void enc_session_expires(u8) {
  single_line(hid::session_expires, sip_hdr_area.session_expires, [](const sip_session_expires_rec& r) {
    put_dec(r.delta);
    if (r.refresher != SIP_CODE_NONE) {
      put(";refresher=");
      put_coded(sip_vt_refresher, r.refresher, {});
    }
    put_params(r.params_other);
  });
}

void enc_session_id(u8) {
  single_line(hid::session_id, sip_hdr_area.session_id, [](const sip_session_id_rec& r) {
    put(r.id);
    put_params(r.params_other);
  });
}

void enc_retry_after(u8) {
  single_line(hid::retry_after, sip_hdr_area.retry_after, [](const sip_retry_after_rec& r) {
    put_dec(r.delta);
    if (has(r.comment)) {
      put_char('(');
      put(r.comment);
      put_char(')');
    }
    if (r.duration != SIP_U32_NONE) {
      put(";duration=");
      put_dec(r.duration);
    }
  });
}

void enc_timestamp(u8) {
  single_line(hid::timestamp, sip_hdr_area.timestamp, [](const sip_timestamp_rec& r) {
    put_dec(r.time);
    if (r.time_fraction != 0) {
      put_char('.');
      put_dec(r.time_fraction);
    }
    if (r.delay != 0 || r.delay_fraction != 0) {
      put_char(' ');
      put_dec(r.delay);
      if (r.delay_fraction != 0) {
        put_char('.');
        put_dec(r.delay_fraction);
      }
    }
    // The rest of the value as received, after a blank.
    if (has(r.extra)) {
      put_char(' ');
      put(r.extra);
    }
  });
}

void product_list(hid id, u8 count, sip_product_rec* recs) {
  list_line(
      id, count, SIP_MAX_SERVER, recs,
      [](const sip_product_rec& p, std::size_t) {
        if (has(p.product)) {
          put(p.product);
          if (has(p.version)) {
            put_char('/');
            put(p.version);
          }
          if (has(p.comment)) put_char(' ');
        }
        if (has(p.comment)) {
          put_char('(');
          put(p.comment);
          put_char(')');
        }
        return has(p.product) || has(p.comment);
      },
      " ");
}
void enc_server(u8 count) { product_list(hid::server, count, sip_hdr_area.server); }
void enc_user_agent(u8 count) { product_list(hid::user_agent, count, sip_hdr_area.user_agent); }

void enc_in_reply_to(u8 count) {
  list_line(hid::in_reply_to, count, SIP_MAX_IN_REPLY_TO, sip_hdr_area.in_reply_to,
            [](const sip_callid_parsed& c, std::size_t) {
              put_call_id(c);
              return true;
            });
}

void enc_warning(u8 count) {
  list_line(hid::warning, count, SIP_MAX_WARNING, sip_hdr_area.warning, [](const sip_warning_rec& w, std::size_t) {
    put_dec(w.code);
    put_char(' ');
    if (has(w.agent)) put(w.agent);
    else put_ipv4(w.agent_ipv4);
    if (w.port != SIP_PORT_NONE) {
      put_char(':');
      put_dec(w.port);
    }
    put(" \"");
    put(w.text);
    put_char('"');
    return true;
  });
}

void enc_reason(u8) {
  single_line(hid::reason, sip_hdr_area.reason[0], [](const sip_reason_rec& r) {
    put_coded(sip_vt_reason_protocol, r.protocol, r.protocol_text);
    if (r.cause != 0xFFFF) {
      put(";cause=");
      put_dec(r.cause);
    }
    put_quoted_param(";text=\"", r.text);
    put_params(r.params_other);
  });
}

// ---------------------------------------------------------------------------
// Media types and dispositions

void put_media_type(const sip_media_type_rec& m) {
  put_coded(sip_vt_media_type, m.type, m.type_text);
  put_char('/');
  const sip_value_table* sub = sip_vt__subtypes(m.type);
  if (sub != nullptr && m.subtype != SIP_CODE_NONE) put_coded(*sub, m.subtype, m.subtype_text);
  else put(m.subtype_text);
  put_quoted_param(";boundary=\"", m.boundary);
  if (has(m.version)) {
    put(";version=");
    put(m.version);
  }
  if (m.base != SIP_CODE_NONE || has(m.base_text)) {
    put(";base=");
    put_coded(sip_vt_isup_version, m.base, m.base_text);
  }
  put_params(m.params_other);
}

void put_disposition(const sip_disposition_rec& d) {
  put_coded(sip_vt_disposition_type, d.disposition, d.disposition_text);
  if (d.handling != SIP_CODE_NONE) {
    put(";handling=");
    put_coded(sip_vt_disposition_handling, d.handling, {});
  }
  put_params(d.params_other);
}

void enc_content_type(u8) { single_line(hid::content_type, sip_hdr_area.content_type[0], put_media_type); }
void enc_content_disposition(u8) {
  single_line(hid::content_disposition, sip_hdr_area.content_disposition[0], put_disposition);
}

// ---------------------------------------------------------------------------
// Addresses

void from_to(hid id, const sip_name_addr& na) {
  single_line(id, na, [](const sip_name_addr& r) {
    if (has(r.display)) {
      put_display(r.display, r.quoted);
      put_char(' ');
    }
    sip_out__addr_short(r.addr);
    if (has(r.tag)) {
      put(";tag=");
      put(r.tag);
    }
    put_params(r.params_other);
  });
}
void enc_from(u8) { from_to(hid::from, sip_hdr_area.from); }
void enc_to(u8) { from_to(hid::to, sip_hdr_area.to); }

void enc_reply_to(u8) {
  single_line(hid::reply_to, sip_hdr_area.reply_to, [](const sip_name_addr& r) {
    if (has(r.display)) put_display(r.display, r.quoted);
    sip_out__addr_short(r.addr);
    put_params(r.params_other);
  });
}

void route_lines(hid id, u8 count, std::size_t max, sip_name_addr* recs) {
  each_line(id, count, max, recs, [](const sip_name_addr& na, std::size_t) {
    put_name_addr(na);
    put_params(na.params_other);
  });
}
void enc_route(u8 count) { route_lines(hid::route, count, SIP_MAX_ROUTE, sip_hdr_area.route); }
void enc_record_route(u8 count) {
  route_lines(hid::record_route, count, SIP_MAX_RECORD_ROUTE, sip_hdr_area.record_route);
}
void enc_service_route(u8 count) { route_lines(hid::service_route, count, 1, &sip_hdr_area.service_route); }

void addr_list(hid id, u8 count, std::size_t max, sip_name_addr* recs) {
  list_line(id, count, max, recs, [](const sip_name_addr& na, std::size_t) {
    put_name_addr(na);
    return true;
  });
}
void enc_p_asserted_identity(u8 count) {
  addr_list(hid::p_asserted_identity, count, SIP_MAX_P_ASSERTED_IDENTITY, sip_hdr_area.p_asserted_identity);
}
void enc_p_preferred_identity(u8 count) {
  addr_list(hid::p_preferred_identity, count, 1, &sip_hdr_area.p_preferred_identity);
}
void enc_p_media_authorization(u8 count) {
  addr_list(hid::p_media_authorization, count, SIP_MAX_P_MEDIA_AUTHORIZATION, sip_hdr_area.p_media_authorization);
}
void enc_path(u8 count) { addr_list(hid::path, count, SIP_MAX_PATH, sip_hdr_area.path); }

void enc_history_info(u8 count) {
  list_line(hid::history_info, count, 1, &sip_hdr_area.history_info, [](const sip_history_info_rec& h, std::size_t i) {
    // Each entry, not the whole line, must fit a buffer.
    if (i != 0) (void)sip_out__commit_line();
    put_name_addr(h.na);
    if (has(h.index)) {
      put(";index=");
      put(h.index);
    }
    put_params(h.na.params_other);
    return true;
  });
}

void enc_referred_by(u8 count) {
  list_line(hid::referred_by, count, 1, &sip_hdr_area.referred_by, [](const sip_referred_by_rec& r, std::size_t) {
    put_name_addr(r.na);
    put_quoted_param(";cid=\"", r.cid);
    put_params(r.na.params_other);
    return true;
  });
}

void enc_contact(u8 count) {
  list_line(hid::contact, count, SIP_MAX_CONTACT, sip_hdr_area.contact, [](const sip_contact_rec& c, std::size_t) {
    if (c.na.addr.scheme == '*') {
      put_char('*');
      return true;
    }
    put_name_addr(c.na, false);
    if (has(c.q)) {
      put(";q=");
      put(c.q);
    }
    if (c.action != SIP_CODE_NONE) {
      put(";action=");
      put_coded(sip_vt_contact_action, c.action, {});
    }
    if (c.expires != SIP_U32_NONE) {
      put(";expires=");
      put_dec(c.expires);
    } else {
      put_quoted_param(";expires=\"", c.expires_date);
    }
    put_params(c.na.params_other);
    // A comment ends the element: nothing may follow it.
    if (has(c.comment)) {
      put_char('(');
      put(c.comment);
      put_char(')');
    }
    return true;
  });
}

void enc_diversion(u8 count) {
  list_line(hid::diversion, count, 1, &sip_hdr_area.diversion, [](const sip_diversion_rec& d, std::size_t) {
    put_name_addr(d.na);
    // Reason and privacy values outside their tables were quoted strings.
    if (d.reason != SIP_CODE_NONE) {
      put(";reason=");
      put_coded(sip_vt_diversion_reason, d.reason, {});
    } else {
      put_quoted_param(";reason=\"", d.reason_text);
    }
    if (d.counter != SIP_CODE_NONE) {
      put(";counter=");
      put_dec(d.counter);
    }
    if (d.limit != SIP_CODE_NONE) {
      put(";limit=");
      put_dec(d.limit);
    }
    if (d.privacy != SIP_CODE_NONE) {
      put(";privacy=");
      put_coded(sip_vt_diversion_privacy, d.privacy, {});
    } else {
      put_quoted_param(";privacy=\"", d.privacy_text);
    }
    if (d.screen != SIP_CODE_NONE) {
      put(";screen=");
      put_coded(sip_vt_screen, d.screen, {});
    }
    put_params(d.na.params_other);
    return true;
  });
}

void enc_replaces(u8) {
  single_line(hid::replaces, sip_hdr_area.replaces, [](const sip_replaces_rec& r) {
    sip_callid_parsed id = r.call_id;
    sip_callid_parsed of_call;
    if (r.call_ref != 0xFFFF && sip_encode_env.call_id != nullptr && sip_encode_env.call_id(r.call_ref, &of_call))
      id = of_call;
    put_call_id(id);
    put(";from-tag=");
    if (has(r.from_tag)) put(r.from_tag);
    else put_char('0');
    put(";to-tag=");
    if (has(r.to_tag)) put(r.to_tag);
    else put_char('0');
    if (r.early_only == 1) put(";early-only");
    put_params(r.params_other);
  });
}

// ---------------------------------------------------------------------------
// Via

void via_line(sip_via_rec& v, std::size_t i, bool parsed_form) {
  if (v.protocol == 1) put("SIP");
  else put(v.protocol_text);
  put_char('/');
  put(v.version);
  put_char('/');
  put_coded(sip_vt_via_transport, v.transport, v.transport_text);
  put_char(' ');
  if (has(v.host)) put(v.host);
  else put_ipv4(v.host_ipv4);
  if (v.port != SIP_PORT_NONE) {
    put_char(':');
    put_dec(v.port);
  }
  if (v.ttl != SIP_CODE_NONE) {
    put(";ttl=");
    put_dec(v.ttl);
  }
  if (has(v.maddr)) {
    put(";maddr=");
    put(v.maddr);
  }
  if (v.received.len == 4) {
    put(";received=");
    put_ipv4(v.received);
  }
  if (!parsed_form && v.rport != 0xFFFF) {
    put(";rport");
    if (v.rport != 0) {
      put_char('=');
      put_dec(v.rport);
    }
  }
  if (!has(v.branch) && !parsed_form && i == 0 && sip_encode_kind >= 'A' && sip_encode_kind <= 'F') {
    // The made branch lives in the work area, so the instance can keep it.
    sip_str made;
    if (!sip_branch__make(&made)) {
      sip_encode__fail();
      return;
    }
    v.branch = made;
  }
  if (has(v.branch)) {
    put(";branch=");
    put(v.branch);
  }
  put_params(v.params_other);
}

void enc_via(u8 count) {
  each_line(hid::via, count, SIP_MAX_VIA, sip_hdr_area.via,
            [](sip_via_rec& v, std::size_t i) { via_line(v, i, false); });
}

}  // namespace

void sip_out__call_id_parsed(u8) { single_line(hid::call_id, sip_hdr_area.call_id, put_call_id); }

void sip_out__via_parsed(u8 count) {
  each_line(hid::via, count, SIP_MAX_VIA, sip_hdr_area.via,
            [](sip_via_rec& v, std::size_t i) { via_line(v, i, true); });
}

sip_hdr_encoder sip_hdr_encoder_of(sip_header_id id) {
  switch (id) {
    case hid::status_line: return enc_status_line;
    case hid::accept: return enc_accept;
    case hid::accept_encoding: return enc_accept_encoding;
    case hid::accept_language: return enc_accept_language;
    case hid::alert_info: return enc_alert_info;
    case hid::allow: return enc_allow;
    case hid::authentication_info: return enc_authentication_info;
    case hid::authorization: return enc_authorization;
    case hid::call_id: return enc_call_id;
    case hid::call_info:
      return [](u8 count) {
        list_line(hid::call_info, count, SIP_MAX_CALL_INFO, sip_hdr_area.call_info,
                  [](const sip_call_info_rec& r, std::size_t) {
                    put_char('<');
                    put(r.uri);
                    put_char('>');
                    if (r.purpose != SIP_CODE_NONE || has(r.purpose_text)) {
                      put(";purpose=");
                      put_coded(sip_vt_call_info_purpose, r.purpose, r.purpose_text);
                    }
                    put_params(r.params_other);
                    return true;
                  });
      };
    case hid::contact: return enc_contact;
    case hid::content_disposition: return enc_content_disposition;
    case hid::content_encoding: return enc_content_encoding;
    case hid::content_language: return enc_content_language;
    case hid::content_type: return enc_content_type;
    case hid::cseq: return enc_cseq;
    case hid::date: return enc_date;
    case hid::diversion: return enc_diversion;
    case hid::error_info: return enc_error_info;
    case hid::expires: return enc_expires;
    case hid::from: return enc_from;
    case hid::history_info: return enc_history_info;
    case hid::in_reply_to: return enc_in_reply_to;
    case hid::max_forwards: return enc_max_forwards;
    case hid::mime_version: return enc_mime_version;
    case hid::min_expires: return enc_min_expires;
    case hid::min_se: return enc_min_se;
    case hid::organization: return enc_organization;
    case hid::p_asserted_identity: return enc_p_asserted_identity;
    case hid::p_early_media: return enc_p_early_media;
    case hid::p_media_authorization: return enc_p_media_authorization;
    case hid::p_preferred_identity: return enc_p_preferred_identity;
    case hid::path: return enc_path;
    case hid::priority: return enc_priority;
    case hid::privacy: return enc_privacy;
    case hid::proxy_authenticate: return enc_proxy_authenticate;
    case hid::proxy_authorization: return enc_proxy_authorization;
    case hid::proxy_require: return enc_proxy_require;
    case hid::reason: return enc_reason;
    case hid::record_route: return enc_record_route;
    case hid::replaces: return enc_replaces;
    case hid::reply_to: return enc_reply_to;
    case hid::request_disposition: return enc_request_disposition;
    case hid::require: return enc_require;
    case hid::retry_after: return enc_retry_after;
    case hid::route: return enc_route;
    case hid::server: return enc_server;
    case hid::service_route: return enc_service_route;
    case hid::session_expires: return enc_session_expires;
    case hid::session_id: return enc_session_id;
    case hid::subject: return enc_subject;
    case hid::supported: return enc_supported;
    case hid::timestamp: return enc_timestamp;
    case hid::to: return enc_to;
    case hid::unsupported: return enc_unsupported;
    case hid::user_agent: return enc_user_agent;
    case hid::via: return enc_via;
    case hid::warning: return enc_warning;
    case hid::www_authenticate: return enc_www_authenticate;
    case hid::referred_by: return enc_referred_by;
    case hid::body: return sip_out__body;
    default: break;
  }
  if (sip_hdr_slot(id) == 63) return sip_out__sdp_body;
  return nullptr;
}
