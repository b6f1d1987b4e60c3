// Displays of the application.
#include "session/app/app_foip_dsp.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "common/program_log.h"

namespace {

std::atomic<app_foip_dsp__output_t> output{nullptr};

std::string fmt(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char* format, ...) {
  char line[1024];
  va_list ap;
  va_start(ap, format);
  (void)std::vsnprintf(line, sizeof line, format, ap);
  va_end(ap);
  return line;
}

// A text field of a record, never read past its size.
std::string field(const char* text, std::size_t size) { return std::string(text, strnlen(text, size)); }
template <std::size_t N>
std::string field(const char (&text)[N]) {
  return field(text, N);
}

void line(std::string& out, const std::string& text) {
  out += text;
  out += '\n';
}

}  // namespace

void app_foip_dsp__set_output(app_foip_dsp__output_t out) { output.store(out); }

void app_foip_dsp__print(nai_t nai, u16 event_class, const char* routine, const std::string& text) {
  app_foip_dsp__output_t out = output.load();
  if (out) {
    out(nai, event_class, text.c_str());
  } else {
    foip_trc__print_event(nai, event_class, text.c_str());
  }
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    ProgramLog(1, "app_foip_dsp - %s 1 : %s", routine, text.substr(at, end - at).c_str());
    at = end + 1;
  }
}

// ---------------------------------------------------------------------------
// Management lines and primitive lines.

std::string app_foip_dsp__format_mngt_event(u8 kind, const char* text, nai_t nai, u16 session_cnt, u16 batch_cnt) {
  if (!text) text = "";
  switch (kind) {
    case 1: return fmt("(nai %3d)                                     %s\n", nai, text);
    case 2: return fmt("          (session cnt %4d)                  %s\n", session_cnt, text);
    case 3: return fmt("(nai %3d) (session cnt %4d)                  %s\n", nai, session_cnt, text);
    case 4: return fmt("                             (batch cnt %4d) %s\n", batch_cnt, text);
    case 5: return fmt("(nai %3d)                    (batch cnt %4d) %s\n", nai, batch_cnt, text);
    case 6: return fmt("          (session cnt %4d) (batch cnt %4d) %s\n", session_cnt, batch_cnt, text);
    case 7: return fmt("(nai %3d) (session cnt %4d) (batch cnt %4d) %s\n", nai, session_cnt, batch_cnt, text);
    default: return fmt("%46s%s\n", "", text);
  }
}

void app_foip_dsp__mngt_event(u8 kind, const char* text, nai_t nai, u16 session_cnt, u16 batch_cnt) {
  app_foip_dsp__print(nai, USR_MNGT_EVT, "app_foip_dsp__mngt_event",
                      app_foip_dsp__format_mngt_event(kind, text, nai, session_cnt, batch_cnt));
}

std::string app_foip_dsp__format_primitive_short_form(u8 kind, char direction, const char* name, nai_t nai, u16 conn_id,
                                                      const void* msg_address, const char* result_text) {
  std::string shown = name ? name : "";
  if (direction == 'C') shown = fmt("%s (%.40s)", shown.c_str(), result_text ? result_text : "");
  const char* label = direction == 'S' ? "Snd Msg" : "Rcv Msg";
  const char* pad = "                 ";  // 17 blanks
  std::string s;
  switch (kind) {
    case 1: s = fmt("(nai %3d)                    %s%s: %-34s", nai, pad, label, shown.c_str()); break;
    case 3: s = fmt("(nai %3d) (conn_id %3d)      %s%s: %-34s", nai, conn_id, pad, label, shown.c_str()); break;
    default: s = fmt("                             %s%s: %-34s", pad, label, shown.c_str()); break;
  }
  if (msg_address)
    s += fmt(" (0x%08lX)", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(msg_address) & 0xFFFFFFFFu));
  return s + "\n";
}

void app_foip_dsp__primitive_short_form(u8 kind, char direction, const char* name, nai_t nai, u16 conn_id,
                                        const void* msg_address, const char* result_text) {
  app_foip_dsp__print(
      nai, USR_MSG, "app_foip_dsp__primitive_short_form",
      app_foip_dsp__format_primitive_short_form(kind, direction, name, nai, conn_id, msg_address, result_text));
}

std::string app_foip_dsp__format_primitive_hdr(const char* name, nai_t nai, bool with_conn_id, u16 conn_id,
                                               u16 session_cnt, u16 batch_cnt) {
  std::string s = "\n";
  if (nai == 0xFFFF) {
    line(s, fmt("          (session cnt %4d) (batch cnt %4d) -------------------------------------------", session_cnt,
                batch_cnt));
    line(s, fmt("Display contents of %s ", name));
    return s;
  }
  line(s, fmt("(nai %3d) (session cnt %4d) (batch cnt %4d) -------------------------------------------", nai,
              session_cnt, batch_cnt));
  if (with_conn_id) {
    line(s, fmt("Display contents of %s (nai %d conn_id %d) ", name, nai, conn_id));
  } else {
    line(s, fmt("Display contents of %s (nai %d) ", name, nai));
  }
  return s;
}

// ---------------------------------------------------------------------------
// Record contents.

void app_foip_dsp__foip__confirm(std::string& out, const char* name, const foip__confirm& c) {
  if (c.return_code != FOIP__RC_OK) {
    line(out, fmt("%25s Return code : NOK", name));
    line(out, fmt("Error Source: (%d) %s", c.error_source, field(c.sz_error_source).c_str()));
    line(out, fmt("Error Code  : (%u) %s", foip__shown_error_code(c), field(c.sz_error_code).c_str()));
  } else {
    line(out, fmt("%25s Return code         : OK", name));
    line(out, fmt("Enhanced Return code: (%d) %s", c.error_code, field(c.sz_error_code).c_str()));
  }
}

const char* app_foip_dsp__pg_encoding_name(u8 v) {
  switch (v) {
    case 1: return "T.4 Mono (MH)";
    case 2: return "T.4 Bi (MR)";
    case 4: return "T.6 (MMR)";
    default: return "unknown";
  }
}

const char* app_foip_dsp__pg_resolution_name(u16 v) {
  switch (v) {
    case 0x1: return "200 ppi *  100 lpi";
    case 0x2: return "200 ppi *  200 lpi";
    case 0x4: return "300 ppi *  300 lpi";
    case 0x8: return "400 ppi *  400 lpi";
    case 0x10: return "600 ppi *  600 lpi";
    case 0x20: return "1200 ppi * 1200 lpi";
    case 0x40: return "200 ppi *  400 lpi (B&W only)";
    case 0x80: return "300 ppi *  600 lpi (B&W only)";
    case 0x100: return "400 ppi *  800 lpi (B&W only)";
    case 0x200: return "600 ppi * 1200 lpi (B&W only)";
    default: return "unknown";
  }
}

const char* app_foip_dsp__pg_width_name(u8 v) {
  switch (v) {
    case '1': return "215 mm (A4, Letter, Legal)";
    case '2': return "255 mm (B4)";
    case '3': return "303 mm (A3)";
    default: return "unknown";
  }
}

const char* app_foip_dsp__pg_length_name(u8 v) {
  switch (v) {
    case 'A': return "A4, 297 mm";
    case 'B': return "B4, 364 mm";
    case 'U': return "Unlimited length";
    default: return "unknown";
  }
}

const char* app_foip_dsp__pg_quality_name(u8 v) {
  switch (v) {
    case 'G': return "Good quality   (MCF T.30 frame)";
    case 'M': return "Medium quality (RTP T.30 frame)";
    case 'B': return "Bad quality    (RTN T.30 frame)";
    default: return "unknown MCF, RTN or RTP not detected";
  }
}

void app_foip_dsp__foip__fax_pg_descriptor(std::string& out, u16 pg_number, const foip__fax_pg_descriptor& pg) {
  line(out, "{");
  line(out, fmt("  Pg number                   : %d", pg_number));
  line(out, fmt("  Tiff file name              : %s", field(pg.sz_tiff_fname).c_str()));
  if (pg.pg_nb_bytes == FOIP__PG_LENGTH_UNKNOWN) {
    line(out, "  Page length (bytes)         : 0 (Page length unknown)");
  } else {
    line(out, fmt("  Page length (bytes)         : %lu", static_cast<unsigned long>(pg.pg_nb_bytes)));
  }
  line(out, fmt("  Pg encoding                 : %s", app_foip_dsp__pg_encoding_name(pg.pg_encoding)));
  line(out, fmt("  Pg resolution               : %s", app_foip_dsp__pg_resolution_name(pg.pg_resolution)));
  line(out, fmt("  Pg width                    : %s", app_foip_dsp__pg_width_name(pg.pg_width)));
  line(out, fmt("  Pg length                   : %s", app_foip_dsp__pg_length_name(pg.pg_length)));
  line(out, fmt("  Pg quality                  : %s", app_foip_dsp__pg_quality_name(pg.pg_quality)));
  line(out, "  { Dynamic Tx Fax page encoding (Tx Fax page only)");
  line(out, fmt("    Enabled conversion          : 0x%04X", pg.enabled_conversion));
  static constexpr struct {
    u16 bit;
    const char* name;
  } kConversions[] = {{1, "TEXT_2_BMP"}, {2, "T4T6_2_BMP"}, {4, "COLOR"}};
  for (const auto& c : kConversions)
    if (pg.enabled_conversion & c.bit) line(out, fmt("                                  %s", c.name));
  if (pg.nb_discarded_lines == -1) {
    line(out, "    Nb of discarded lines       : ?? (Can't be computed)");
  } else {
    line(out, fmt("    Nb of discarded lines       : %ld", static_cast<long>(pg.nb_discarded_lines)));
  }
  if (pg.flag_decoding_info) {
    line(out, fmt("    Nb of T.4/T.6 decoded lines : %ld", static_cast<long>(pg.nb_decoded_lines)));
    line(out, fmt("    T.6 error detected          : %s", pg.t6_error ? "TRUE" : "FALSE"));
    line(out, fmt("    Nb of T.4 errors detected   : %d", pg.nb_t4_errors));
  }
  line(out, "  }");
  line(out, "}");
}

namespace {

void page_rows(std::string& out, const char* what, u16 count, const foip__fax_pg_descriptor* rows) {
  for (u16 i = 0; i < count; ++i) {
    if (i == FOIP__MAX_PG_REPORTS) {
      line(out, fmt(">> Information of following pages is not available, the %s pages from %d on were reported "
                    "by earlier FOIP__REPORT_IN primitives",
                    what, static_cast<int>(FOIP__MAX_PG_REPORTS) + 1));
      break;
    }
    app_foip_dsp__foip__fax_pg_descriptor(out, static_cast<u16>(i + 1), rows[i]);
  }
}

// Prints a status record of a session: "<title>: EMPTY" when it is absent,
// else the title and the lines `fill` writes.
template <class Fill>
void print_status(nai_t nai, const char* who, const char* title, bool present, Fill fill) {
  std::string out;
  if (!present) {
    line(out, fmt("%s: EMPTY", title));
  } else {
    line(out, fmt("%s:", title));
    fill(out);
  }
  app_foip_dsp__print(nai, USR_MSG_FULL, who, out);
}

}  // namespace

void app_foip_dsp__foip__fax_session_status(nai_t nai, const foip__fax_session_status* fax) {
  const bool present = fax && fax->present == 1;
  print_status(nai, "app_foip_dsp__foip__fax_session_status", "Fax status", present, [fax](std::string& out) {
    const std::string id = field(fax->remote_fax_id);
    line(out, fmt("Remote Fax ID                : [%20s]", id.empty() ? "empty" : id.c_str()));
    line(out, fmt("Max modulation / Data rate   : %d", fax->max_modulation));
    line(out, fmt("Min modulation / Data rate   : %d", fax->min_modulation));
    line(out, fmt("Number of Fax page(s) to send: %d", fax->nb_pg_to_send));
    line(out, fmt("Number of Fax page(s) sent   : %d (good %d, medium %d, bad %d)", fax->nb_pg_sent,
                  fax->nb_pg_sent_good, fax->nb_pg_sent_medium, fax->nb_pg_sent_bad));
    page_rows(out, "sent", fax->nb_pg_sent, fax->sent_pg);
    line(out, fmt("Number of Fax page(s) received: %d (good %d, medium %d, bad %d)", fax->nb_pg_received,
                  fax->nb_pg_received_good, fax->nb_pg_received_medium, fax->nb_pg_received_bad));
    page_rows(out, "received", fax->nb_pg_received, fax->received_pg);
    line(out, "Fax return code:");
    line(out, fmt("  Return code : %d", fax->fax_return_code));
    line(out, fmt("  Source      : %d", fax->source));
    line(out, fmt("  Diag        : %d", fax->diag));
    line(out, fmt("  Diag string : %s", field(fax->sz_diag).c_str()));
  });
}

void app_foip_dsp__foip__t38_session_status(nai_t nai, const foip__t38_session_status* t38) {
  const bool present = t38 && t38->present == 1;
  print_status(nai, "app_foip_dsp__foip__t38_session_status", "T.38 status", present, [t38](std::string& out) {
    line(out, fmt("Return code : %s", t38->return_code == FOIP__RC_OK ? "OK" : "NOK"));
    line(out, "Counter : Enhanced return code");
    for (const foip__t38_status_row& r : t38->rows)
      line(out, fmt(": %4d    : (%d) %s", r.counter, r.enh_ret_code, field(r.sz_enh_ret_code).c_str()));
    if (t38->return_code != FOIP__RC_OK)
      line(out, fmt("diag nok : (%d) %s", t38->diag_nok, field(t38->sz_diag_nok).c_str()));
    if (t38->stat_present == 1 && t38->transport == 'U') {
      line(out, "IP statistics (UDP transport)");
      const foip__t38_udptl_stat* sides[2] = {&t38->udp_snd, &t38->udp_rcv};
      const char* names[2] = {"send", "receive"};
      for (int i = 0; i < 2; ++i) {
        const foip__t38_udptl_stat& s = *sides[i];
        line(out,
             fmt("  %s: nb_udptl_total %lu nb_udptl_idle %lu nb_asn1_data_total %lu nb_asn1_data_efficency %lu "
                 "nb_asn1_data_redundancy %lu nb_asn1_data_idle %lu",
                 names[i], static_cast<unsigned long>(s.nb_udptl_total), static_cast<unsigned long>(s.nb_udptl_idle),
                 static_cast<unsigned long>(s.nb_asn1_data_total), static_cast<unsigned long>(s.nb_asn1_data_efficency),
                 static_cast<unsigned long>(s.nb_asn1_data_redundancy),
                 static_cast<unsigned long>(s.nb_asn1_data_idle)));
      }
    } else if (t38->stat_present == 1 && t38->transport == 'T') {
      line(out, "IP statistics (TCP transport)");
      const foip__t38_tpkt_stat* sides[2] = {&t38->tcp_snd, &t38->tcp_rcv};
      const char* names[2] = {"send", "receive"};
      for (int i = 0; i < 2; ++i)
        line(out, fmt("  %s: nb_tpkt_total %lu nb_asn1_data_total %lu nb_asn1_decode_err %lu", names[i],
                      static_cast<unsigned long>(sides[i]->nb_tpkt_total),
                      static_cast<unsigned long>(sides[i]->nb_asn1_data_total),
                      static_cast<unsigned long>(sides[i]->nb_asn1_decode_err)));
    }
  });
}

namespace {

std::string addr_text(const char* label, const foip__full_ip_addr& a) {
  std::string s;
  const std::string fqdn = field(a.sz_fqdn);
  if (!fqdn.empty()) {
    line(s, fmt("%s : %s", label, fqdn.c_str()));
  } else if (a.ip_addr.ip_family != OM_IP_FAMILY_V4) {
    line(s, fmt("%s : empty", label));
    return s;
  } else {
    const u8* b = a.ip_addr.addr.v4.addr;
    line(s, fmt("%s : %d.%d.%d.%d", label, b[0], b[1], b[2], b[3]));
  }
  line(s, fmt("%s : %d", label, a.ip_port));
  return s;
}

// "<what>_addr" (domain name, IPv4 address or empty) and "<what>_port" of
// one side of the negotiated media.
template <std::size_t N>
void media_lines(std::string& out, const char* what, const char (&fqdn)[N], u8 family, const u8 (&ipv4)[4], u16 port) {
  const std::string name = field(fqdn);
  const std::string label = fmt("%s_addr", what);
  if (!name.empty()) line(out, fmt("%-27s : %s", label.c_str(), name.c_str()));
  else if (family == OM_IP_FAMILY_V4)
    line(out, fmt("%-27s : %d.%d.%d.%d", label.c_str(), ipv4[0], ipv4[1], ipv4[2], ipv4[3]));
  else line(out, fmt("%-27s : empty", label.c_str()));
  line(out, fmt("%-27s : %d", fmt("%s_port", what).c_str(), port));
}

const char* header_name(u8 kind) {
  switch (kind) {
    case FOIP__HDR_REQUEST_URI: return "Request-URI";
    case FOIP__HDR_FROM: return "From";
    case FOIP__HDR_TO: return "To";
    case FOIP__HDR_P_ASSERTED_IDENTITY: return "P-Asserted-Identity";
    case FOIP__HDR_72: return "Referred-By";
    default: return "?";
  }
}

// The "SIP Header / SIP URI" block: every header image in use.
void sip_headers(std::string& out, const foip__sip_header_image (&headers)[FOIP__SIP_HEADER_IMAGES]) {
  line(out, "SIP Header / SIP URI");
  for (const foip__sip_header_image& h : headers)
    if (h.kind != 0) dsp_foip__sip_header(out, header_name(h.kind), h);
}

}  // namespace

void dsp_foip__sip_header(std::string& out, const char* name, const foip__sip_header_image& h) {
  const std::string display = field(h.display_name);
  std::string s = fmt("%s: %s %csip:", name, display.c_str(), '<');
  if (h.user_kind == 1) s += field(h.user.tel.number);
  else if (h.user_kind == 2) s += field(h.user.name);
  const bool has_user = h.user_kind == 1 || h.user_kind == 2;
  if (has_user && h.host_kind != 0) s += "@";
  if (h.host_kind == 1) s += field(h.host.fqdn);
  else if (h.host_kind == 2) s += fmt("%d.%d.%d.%d", h.host.ipv4[0], h.host.ipv4[1], h.host.ipv4[2], h.host.ipv4[3]);
  if (h.port != 0 && h.port != 0xFFFF) s += fmt(":%d", h.port);
  static constexpr const char* TRANSPORTS[] = {"", "udp", "tcp", "sctp", "tls"};
  if (h.transport >= 1 && h.transport <= 4) s += fmt(";transport=%s", TRANSPORTS[h.transport]);
  else if (h.transport == 5) s += fmt(";transport=%s", field(h.transport_name).c_str());
  if (h.user_param == 1) s += ";user=phone";
  else if (h.user_param == 2) s += ";user=ip";
  else if (h.user_param == 3) s += fmt(";user=%s", field(h.user_param_text).c_str());
  if (h.ttl != 255 && h.ttl != 0) s += fmt(";ttl=%d", h.ttl);
  if (h.maddr[0] != '\0') s += fmt(";maddr=%s", field(h.maddr).c_str());
  if (h.lr != 0) s += ";lr";
  if (h.other_params[0] != '\0') s += fmt(";%s", field(h.other_params).c_str());
  if (h.user_kind == 1) {
    const foip__sip_tel_user& t = h.user.tel;
    if (t.isub[0] != '\0') s += fmt(";isub=%s", field(t.isub).c_str());
    if (t.postd[0] != '\0') s += fmt(";postd=%s", field(t.postd).c_str());
    if (t.param_1[0] != '\0') s += fmt(";phone-context=%s", field(t.param_1).c_str());
    if (t.param_2[0] != '\0') s += fmt(";tsp=%s", field(t.param_2).c_str());
  }
  s += '>';
  line(out, s);
}

void app_foip_dsp__foip__sip_ret_code(std::string& out, const foip__call_info& call) {
  line(out, fmt("sip_ret_code                : %d", call.sip_ret_code));
  line(out, fmt("sz_sip_ret_code             : %s", field(call.sz_sip_ret_code).c_str()));
  line(out, fmt("sip_conn_id                 : %d", call.sip_conn_id));
  out += addr_text("private remote_sip_addr", call.remote_addr);
  out += addr_text("public remote_sip_addr", call.source_addr);
  line(out, fmt("remote_sip__product_string  : %s", field(call.remote_sip__product_string).c_str()));
  line(out, fmt("remote_sip__version_string  : %s", field(call.remote_sip__version_string).c_str()));
  line(out, fmt("remote_sip__comment_string  : %s", field(call.remote_sip__comment_string).c_str()));
  const foip__negotiated_media& m = call.media;
  media_lines(out, "loc_media", m.sz_loc_media_fqdn, m.loc_media_family, m.loc_media_ipv4, m.loc_media_port);
  media_lines(out, "rem_media", m.sz_rem_media_fqdn, m.rem_media_family, m.rem_media_ipv4, m.rem_media_port);
  sip_headers(out, call.headers);
}

void app_foip_dsp__foip__alert_text(std::string& out, const foip__alert& a) {
  line(out, fmt("local_user_identification   : %d", a.called_kind));
  line(out, fmt("sz_local_user_name          : %s", field(a.sz_called_user_name).c_str()));
  line(out, fmt("sz_local_user_phone_number  : %s", field(a.sz_called_phone_number).c_str()));
  line(out, fmt("remote_user_identification  : %d", a.calling.kind));
  line(out, fmt("sz_remote_user_name         : %s", field(a.calling.sz_user_name).c_str()));
  line(out, fmt("sz_remote_user_phone_number : %s", field(a.calling.sz_phone_number).c_str()));
  out += addr_text("private remote_sip_addr", a.remote_addr);
  out += addr_text("public remote_sip_addr", a.source_addr);
  line(out, fmt("remote_sip__product_string  : %s", field(a.remote_sip__product_string).c_str()));
  line(out, fmt("remote_sip__version_string  : %s", field(a.remote_sip__version_string).c_str()));
  line(out, fmt("remote_sip__comment_string  : %s", field(a.remote_sip__comment_string).c_str()));
  sip_headers(out, a.headers);
  const u16 listed = a.media.media_count < FOIP__ALERT_MEDIA ? a.media.media_count : FOIP__ALERT_MEDIA;
  line(out, "List of media described into SDP array of SIP Invite received");
  line(out, fmt("(Nb medias into SIP message: %d / Nb medias listed: %d)", a.media.media_count, listed));
  for (u16 i = 0; i < listed; ++i) {
    const foip__alert_media& m = a.media.media[i];
    line(out, fmt("  kind_of_media      : %d", m.kind));
    line(out, fmt("  kind_of_transport  : %d", m.transport));
    line(out, fmt("  rem_media_addr     : %d.%d.%d.%d", m.ipv4[0], m.ipv4[1], m.ipv4[2], m.ipv4[3]));
    line(out, fmt("  rem_media_addr     : %d", m.port));
  }
}

void app_foip_dsp__foip__alert(nai_t nai, const foip__alert& alert) {
  std::string out;
  app_foip_dsp__foip__alert_text(out, alert);
  app_foip_dsp__print(nai, USR_MSG_FULL, "app_foip_dsp__foip__alert", out);
}

namespace {

// The capabilities that UDPTL and TCP share, each line tagged with the
// transport.
template <class Cap>
void common_capability_lines(std::string& out, const char* tag, const Cap& c) {
  auto rate = [](u8 v) { return v == 1 ? "localTCF" : v == 3 ? "localTCF | transferredTCF" : "transferredTCF"; };
  auto on = [](u8 v) { return v == 1 ? "ON" : "OFF"; };
  line(out, fmt("%s T38FaxVersion         = %d", tag, c.t38_version));
  line(out, fmt("%s T38MaxBitRate         = %d", tag, c.fax_max_bit_rate));
  line(out, fmt("%s T38FaxRateManagement  = %s", tag, rate(c.drate_mgt_method)));
  line(out, fmt("%s T38FaxFillBitRemoval  = %s", tag, on(c.remove_fill_bits_t4)));
  line(out, fmt("%s T38FaxTranscodingMMR  = %s", tag, on(c.transcode_mmr)));
  line(out, fmt("%s T38FaxTranscodingJBIG = %s", tag, on(c.transcode_jbig)));
}

}  // namespace

std::string app_foip_dsp__format_t38_capabilities(const foip__t38_capabilities& c) {
  std::string out;
  if (c.confirm.return_code != FOIP__RC_OK) return out;
  auto ec = [](u8 v) { return v == 1 ? "t38UDPFEC" : v == 3 ? "t38UDPFEC | t38UDPRedundancy" : "t38UDPRedundancy"; };
  const foip__t38_udptl_cap& u = c.cap.udptl_param;
  common_capability_lines(out, "[UDP]", u);
  line(out, fmt("[UDP] T38FaxMaxBuffer       = %d", u.fax_max_buffer_size));
  line(out, fmt("[UDP] T38FaxMaxDatagram     = %d", u.max_datagram_size));
  line(out, fmt("[UDP] T38FaxUdpEC           = %s", ec(u.udp_ec)));
  if (c.t38_over_tcp != 1) {
    line(out, "T.38 over TCP is not supported");
    return out;
  }
  line(out, "T.38 over TCP is supported");
  common_capability_lines(out, "[TCP]", c.cap.tpkt_param);
  return out;
}
