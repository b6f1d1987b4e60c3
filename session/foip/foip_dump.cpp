// Module information and configuration dumps of ENT_FOIP: the module list
// with the banners, the build limits, the structure sizes, the global
// configuration and each accepted session's parameters.  Each block is
// formatted into one text and handed to the event printer.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "fax/tiff.h"
#include "runtime/msg.h"
#include "runtime/timer.h"
#include "session/foip/foip.h"
#include "session/foip/foip_ctx.h"
#include "session/foip/foip_dump.h"
#include "session/foip/foip_err.h"
#include "session/trace/foip_trc.h"

namespace {

void add(std::string& out, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void add(std::string& out, const char* fmt, ...) {
  char line[1024];
  va_list ap;
  va_start(ap, fmt);
  (void)std::vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  out += line;
}

struct banner {
  const char* module;
  const char* text;
};
constexpr banner kBanners[] = {
    {"FOIP", FOIP__BANNER},
    {"FAX", "(@)FAX Management v2.1.2 (24 Fev 2010)"},
    {"TIFF", tiff__banner},
    {"FC", "(@)Fax Conversion v1.0.2 (30 Dec 2009)"},
    {"FAX_TK", "(@)FAX_TOOLKIT v2.16.1 (18 Jun 2009)"},
    {"ACU", "(@)ACU v1.40 (16 Mar 2006)"},
    {"CF", "(@)CF v1.69.1 (07 May 2009)"},
    {"FS", "(@)FS v2.53 (10 Sep 2007)"},
    {"T38", "(@)T38 v1.17.4 (24 Nov 2009)"},
    {"ASNP", "(@)ASNP v1.5 (28 Nov 2007)"},
    {"OM BLOCK", "(@)CALDERWYN-OS v3.11 (13 Jun 2005)"},
    {"SOCKET", "(@)SOCKET v2.51.3 (27 Oct 2009)"},
    {"SIP", "SIP (@)v3.56.5 (09 Nov 2009)"},
    {"SDP", "(@)SDP v3.3.1 (10 Nov 2009)"},
    {"SSC", "(@)SSC v2.28.0 (09 Nov 2009)"},
    {"SERVICES", "(@)SERVICES v3.194.0 (20 Oct 2009)"},
    {"OB_INIT", "(@)OB_INIT v1.112.0 (20 Oct 2009)"},
    {"DCOD", "(@)DCOD v5.35.2 (05 Nov 2009)"},
};

constexpr foip__name_entry kEventClassNames[] = {
    {0, ""},
    {0x0001, "FOIP__CNF_GLB"},
    {0x0002, "FOIP__CNF_SESSION"},
    {0x0004, "FOIP__T38_EVT"},
    {0x0008, "FOIP__T38_STAT"},
    {0x0010, "FOIP__FAX_EVT"},
    {0x0020, "FOIP__SIP_EVT_1"},
    {0x0040, "FOIP__SIP_EVT_2"},
    {0x0080, "FOIP__SIP_EVT_3"},
    {0x0100, "FOIP__SMNGT_EVT"},
    {0x0200, "FOIP__SMNGT_STAT"},
    {0x0400, "FOIP__USR_1"},
    {0x0800, "FOIP__USR_2"},
    {0x1000, "FOIP__USR_3"},
    {0x2000, "FOIP__USR_4"},
    {0x4000, "FOIP__USR_5"},
    {0x8000, "FOIP__DSP_ERR"},
    {0, ""},
};
constexpr const char* kLine = "--------------------------------------------------------------\n";

std::string addr_text(const char* prefix, const foip__full_ip_addr& a) {
  char buf[298];
  foip__ip_addr_text(buf, sizeof buf, prefix, a.ip_addr);
  return buf;
}

void emit(nai_t nai, u16 cls, const std::string& text) {
  foip_trc__print_event(nai, cls, text.c_str());
  (void)foip_trc__flush_events();
}

}  // namespace

void foip__ip_addr_text(char* out, std::size_t room, const char* prefix, const om_ip_addr_t& a) {
  if (a.ip_family == OM_IP_FAMILY_V4)
    (void)std::snprintf(out, room, "%s(%d.%d.%d.%d)", prefix, a.addr.v4.addr[0], a.addr.v4.addr[1], a.addr.v4.addr[2],
                        a.addr.v4.addr[3]);
  else if (a.ip_family == 6) (void)std::snprintf(out, room, "%s(IPv6 not supported)", prefix);
  else (void)std::snprintf(out, room, "%s(empty)", prefix);
}

std::string foip__dsp_bfi(unsigned indent, u32 value, const foip__name_entry* names, std::size_t room) {
  std::string out;
  const std::string pad(indent > 99 ? 99 : indent, ' ');
  bool first = true;
  for (u32 bit = 1; bit != 0; bit <<= 1) {
    if ((value & bit) == 0) continue;
    std::string line = (first ? std::string() : pad) + foip__get_name(names, bit) + "\n";
    if (out.size() + line.size() + pad.size() + 4 >= room) {
      out += pad + "...\n";
      break;
    }
    out += line;
    first = false;
  }
  return out;
}

std::string foip__module_info_text() {
  std::string t;
  add(t,
      "\n%s   FOIP module\n   Main functionnalities:\n                          T.38 IAF\n"
      "                          Dynamic Fax Page Encoding\n                          SIP + SSC (SIP_SC)\n"
      "                          Number of session: %d\n\n",
      kLine, static_cast<int>(FOIP__MAX_MEDIA_NA));
  bool first = true;
  for (const banner& b : kBanners) {
    add(t, "%s%-9s %s\n", first ? "   Module version: " : "                   ", b.module, b.text);
    first = false;
  }
  t += kLine;
  return t;
}

std::string foip__dsp_compilation_flags() {
  std::string t;
  add(t, "\n%s   Compilation Flags (foip_par)\n\n   Global compilation flags\n", kLine);
  add(t, "       OS = Linux    OM_IPV6 = undefined\n");
  add(t, "\n   SIP parameters\n");
  add(t, "       FOIP__SIP_STR_PRODUCT = %s\n       FOIP__SIP_STR_VERSION = %s\n       FOIP__SIP_STR_COMMENT = %s\n",
      "Calderwyn-Sip-T.38IAF", "v2.7.0", "PRODUCT ID:7, 25 Nov 2009");
  add(t, "       FOIP__SIP_MX_USER_SIZE = %d    FOIP__SIP_MX_PHONE_NUMBER_SIZE = %d\n", 64, 25);
  add(t,
      "       FOIP__SIP_MX_PRODUCT_SIZE = %d    FOIP__SIP_MX_PROD_VERS_SIZE = %d    FOIP__SIP_MX_COMMENT_SIZE = %d\n",
      32, 16, 32);
  add(t, "       FOIP__SDP_SZ_SESSION_ID = %s\n", "2890844526");
  add(t, "\n   Common Sizing defines\n");
  add(t, "       FOIP__MAX_MEDIA_NA = %d\n       FOIP__FNAME_MAX_LEN = %d\n", 62, 100);
  add(t, "       FOIP__MAX_SND_PG_FILE_DESCRIPTOR = %d\n       FOIP__MAX_RCV_PG_FILE_DESCRIPTOR = %d\n", 20, 20);
  add(t,
      "       FOIP__MAX_SND_TIFF_FILE = %d\n       FOIP__USER_ID_STRING_MAX_LEN = %d\n       FOIP__FQDN_MAX_LEN = %d\n",
      10, 80, 64);
  add(t, "\n   Traces\n");
  add(t, "\n       FOIP__TRC_T38 = ON    FOIP__MAX_SIZE_STR_T38 = %d    FOIP__MAX_SIZE_FIFO_T38 = %d\n", 50, 2500);
  t += kLine;
  return t;
}

std::string foip__dsp_sizeof() {
  std::string t;
  add(t, "\n%s   Sizeof of main structures of FOIP API\n\n", kLine);
  add(t, "       sizeof(foip__confirm) = %zu\n", sizeof(foip__confirm));
  add(t, "       sizeof(foip__set_config) = %zu\n", sizeof(foip__set_config));
  add(t, "       sizeof(foip__reset_config) = %zu\n", sizeof(foip__reset_config));
  add(t, "       sizeof(foip__start) = %zu\n", sizeof(foip__start));
  add(t, "       sizeof(foip__stop) = %zu\n", sizeof(foip__stop));
  add(t, "       sizeof(foip__alert) = %zu\n", sizeof(foip__alert));
  add(t, "       sizeof(foip__sip_register) = %zu\n", sizeof(foip__sip_register));
  add(t, "       sizeof(foip__sip_unregister) = %zu\n", sizeof(foip__sip_unregister));
  add(t, "       sizeof(foip__report) = %zu\n", sizeof(foip__report));
  add(t, "       sizeof(foip__t38_capabilities) = %zu\n", sizeof(foip__t38_capabilities));
  add(t, "\n%s   Sizeof of main internal structures of FOIP\n\n", kLine);
  add(t, "       sizeof(foip__glb_context) = %zu\n", sizeof(foip__glb_context));
  add(t, "       sizeof(foip__na_ctx) = %zu\n", sizeof(foip__na_ctx));
  return t;
}

namespace {

// The name, count and length lines of a log file (`kind` "event" or "audit").
void add_log_file(std::string& t, const char* kind, const char* fname, u8 files, u16 max_length) {
  add(t, "               char sz_fname_%s (%s)\n", kind, fname);
  add(t, "               u8 nb_of_multiple_%s_files (%u)\n", kind, files);
  if (max_length == 65535)
    add(t, "               u16 max_length_of_%s_file (FOIP__UNLIMITED_LOG_FILE_LENGTH) Unlimited\n", kind);
  else
    add(t, "               u16 max_length_of_%s_file (%d) * 100 * 1024 = %dKB\n", kind, max_length, max_length * 100);
}

}  // namespace

std::string foip__glb_config_text(const foip__global_param& p) {
  std::string t;
  add(t, "\n%s   Global configuration (from FOIP__SET_CONFIG_RQ):\n\n       struct foip__global_param {\n", kLine);
  const auto& c = p.glb_common_param;
  add(t, "           struct foip__glb_common_param {\n");
  add(t, "               u16 nb_simultaneous_start_stop (%u)\n", c.nb_simultaneous_start_stop);
  add(t, "               u32 tag_dbg_field_are_loaded (0x%x)\n", c.tag_dbg_field_are_loaded);
  add(t, "               u32 dbg_field1 (0x%x)\n               u32 dbg_field2 (0x%x)\n", c.dbg_field1, c.dbg_field2);
  add(t, "           }glb_common_param;\n");
  const auto& s = p.glb_sip_param;
  add(t, "           struct foip__glb_sip_param {\n");
  add(t, "               u16 sig_nai (%u)\n               u8 operating_mode (%u)\n", s.sig_nai, s.operating_mode);
  add(t, "               u32 re_invite_delay (%u)\n", s.re_invite_delay);
  add(t, "               local_sip_addr: sz_fqdn (%s) %s port (%u)\n", s.local_sip_addr.sz_fqdn,
      addr_text("ip_addr ", s.local_sip_addr).c_str(), s.local_sip_addr.ip_port);
  add(t, "               u8 flag_nat_support (%u)\n", s.nat.flag_nat_support);
  add(t, "               nat_local_sip_addr: sz_fqdn (%s) %s port (%u)\n", s.nat.nat_local_sip_addr.sz_fqdn,
      addr_text("ip_addr ", s.nat.nat_local_sip_addr).c_str(), s.nat.nat_local_sip_addr.ip_port);
  add(t, "               u16 get_sip_header_bfi (0x%x)\n", s.get_sip_header_bfi);
  add(t, "               outbound_proxy: sz_fqdn (%s) %s port (%u)\n", s.outbound_proxy.sz_fqdn,
      addr_text("ip_addr ", s.outbound_proxy).c_str(), s.outbound_proxy.ip_port);
  add(t, "               registrar_addr: sz_fqdn (%s) %s port (%u)\n", s.registrar_addr.sz_fqdn,
      addr_text("ip_addr ", s.registrar_addr).c_str(), s.registrar_addr.ip_port);
  add(t, "           }glb_sip_param;\n");
  const auto& e = p.glb_trc_param.event;
  add(t, "           struct foip__glb_trc_param {\n");
  add(t, "               u16 display_event_bfi (0x%04x) ", e.display_event_bfi);
  t += foip__dsp_bfi(39, e.display_event_bfi, kEventClassNames, 4998 - t.size());
  if (e.display_event_bfi == 0) t += "\n";
  add(t, "               u8 flag_display_progress_bar (%u)\n", e.flag_display_progress_bar);
  add(t, "               u16 record_event_bfi (0x%04x) ", e.record_event_bfi);
  t += foip__dsp_bfi(39, e.record_event_bfi, kEventClassNames, 4998 - t.size());
  if (e.record_event_bfi == 0) t += "\n";
  add_log_file(t, "event", e.sz_fname_event, e.nb_of_multiple_event_files, e.max_length_of_event_file);
  const auto& a = p.glb_trc_param.audit;
  if (a.sz_fname_audit[0] == '\0') {
    add(t, "               char sz_fname_audit () Ignored (no audit file)\n");
  } else {
    add_log_file(t, "audit", a.sz_fname_audit, a.nb_of_multiple_audit_files, a.max_length_of_audit_file);
  }
  add(t, "               u8 statistic_mode (%u)\n", p.glb_trc_param.stat.statistic_mode);
  add(t, "           }glb_trc_param;\n");
  add(t, "      };\n\n%s\n", kLine);
  return t;
}

std::string foip__sip_register_param_text(const foip__sip_register_param& p) {
  // Texts of the request are the user's: each cut at its field.
  const auto text = [](const auto& field) { return std::string(field, strnlen(field, sizeof field)); };
  const auto addr = [&](const char* indent, const char* name, const foip__full_ip_addr& a) {
    std::string t;
    add(t, "%s%s: sz_fqdn (%s) %s port (%u)\n", indent, name, text(a.sz_fqdn).c_str(), addr_text("ip_addr ", a).c_str(),
        a.ip_port);
    return t;
  };
  std::string t;
  add(t, "\n%s   SIP Register parameters (from FOIP__SIP_REGISTER_RQ):\n\n       struct foip__sip_register_param {\n",
      kLine);
  add(t, "           u8 user_identification (%u)\n", p.user_identification);
  add(t, "           char sz_user_name (%s)\n", text(p.sz_user_name).c_str());
  add(t, "           char sz_user_phone_number (%s)\n", text(p.sz_user_phone_number).c_str());
  t += addr("           ", "registered_addr", p.registered_addr);
  const foip__sip_registering& r = p.registering;
  add(t, "           struct foip__sip_registering {\n");
  add(t, "               u8 user_identification (%u)\n", r.user_identification);
  add(t, "               char sz_user_name (%s)\n", text(r.sz_user_name).c_str());
  add(t, "               char sz_user_phone_number (%s)\n", text(r.sz_user_phone_number).c_str());
  t += addr("               ", "addr", r.addr);
  add(t, "           }registering;\n");
  add(t, "           u32 expires_sec (%u)\n", p.expires_sec);
  const foip__sip_authentication& a = p.sip_authentication;
  add(t, "           struct foip__sip_authentication {\n");
  add(t, "               u8 flag_enable (%u)\n", a.flag_enable);
  add(t, "               char sz_user_name (%s)\n", text(a.sz_user_name).c_str());
  add(t, "               char sz_user_password (%s)\n", a.sz_user_password[0] != '\0' ? "********" : "");
  add(t, "               char sz_realm (%s)\n", text(a.sz_realm).c_str());
  add(t, "           }sip_authentication;\n");
  add(t, "           u8 flag_snd_sip_register_to_registrar (%u)\n", p.flag_snd_sip_register_to_registrar);
  add(t, "      };\n\n%s\n", kLine);
  return t;
}

void foip__dsp_sip_register_param(const foip__sip_register_param& p) {
  emit(0, FOIP__CNF_GLB, foip__sip_register_param_text(p));
}

std::string foip__session_param_text(const foip__session_param& p, const foip__na_ctx* s) {
  std::string t;
  add(t, "\n%s   Session parameters (from FOIP__START_RQ or FOIP__ALERT_RS):\n\n       struct foip__session_param {\n",
      kLine);
  const auto& g = p.session_general_param;
  add(t, "           struct foip__session_general_param {\n");
  add(t, "               u8 kind_of_session (%c)\n               u8 direction (%c)\n               u16 nai (%u)\n",
      g.kind_of_session ? g.kind_of_session : '?', g.direction ? g.direction : '?', g.nai);
  add(t, "               u8 kind_of_t38_transport (%c)\n", g.kind_of_t38_transport ? g.kind_of_t38_transport : '?');
  add(t, "               u32 start_t38_session_ms (%u)\n               u32 delay_wait_eof_t30_session (%u)\n",
      g.start_t38_session_ms, g.delay_wait_eof_t30_session);
  add(t, "           }session_general_param;\n");
  const auto& ou = p.overwrite_lcl_t38_cap.udptl_param;
  add(t, "           struct foip__overwrite_lcl_t38_cap {\n");
  add(t, "               u16 udptl use_t38_cap_bfi (0x%x)  t38_version (%u)  fax_max_bit_rate (%u)\n",
      ou.use_t38_cap_bfi, ou.t38_version, ou.fax_max_bit_rate);
  add(t, "               u16 tpkt use_t38_cap_bfi (0x%x)%s\n", p.overwrite_lcl_t38_cap.tpkt_param.use_t38_cap_bfi,
      g.kind_of_t38_transport == 'U' ? " (ignored)" : "");
  add(t, "           }overwrite_lcl_t38_cap;\n");
  if (s) {
    const auto& u = s->lcl_cap.udptl_param;
    add(t, "           Local T.38 capabalities%s:\n", s->overwritten ? " (overwritten)" : "");
    add(t, "               UDPTL: t38_version (%u)  fax_max_bit_rate (%u)  drate_mgt_method (%u)  udp_ec (%u)\n",
        u.t38_version, u.fax_max_bit_rate, u.drate_mgt_method, u.udp_ec);
    add(t, "                      fax_max_buffer_size (%u)  max_datagram_size (%u)\n", u.fax_max_buffer_size,
        u.max_datagram_size);
    add(t, "                      remove_fill_bits_t4 (%u)  transcode_mmr (%u)  transcode_jbig (%u)\n",
        u.remove_fill_bits_t4, u.transcode_mmr, u.transcode_jbig);
  }
  const auto& id = p.t38_media_add_param.sip_media_identification;
  add(t, "           struct foip__sip_media_identification {\n");
  add(t, "               u8 local_user_identification (%u)\n               u8 flag_invite_in__no_filter (%u)\n",
      id.local_user_identification, id.flag_invite_in__no_filter);
  add(t, "               char sz_local_user_name (%s)\n               char sz_local_user_phone_number (%s)\n",
      id.sz_local_user_name, id.sz_local_user_phone_number);
  add(t, "               u8 remote_user_identification (%u)\n", id.remote_user_identification);
  add(t, "               char sz_remote_user_name (%s)\n               char sz_remote_user_phone_number (%s)\n",
      id.sz_remote_user_name, id.sz_remote_user_phone_number);
  add(t, "           }sip_media_identification;\n");
  if (s) {
    add(t, "           Remark: The media IP port will be:\n");
    add(t, "               UDPTL (%u)  TPKT (%u)  PCMA / PCMU (%u)\n", s->udptl_port, s->tpkt_port, s->pcm_port);
    add(t, "               NAT: UDPTL (%u)  TPKT (%u)  PCMA / PCMU (%u)\n", s->nat_udptl_port, s->nat_tpkt_port,
        s->nat_pcm_port);
  }
  const auto& fc = p.fax_common_param;
  add(t, "           struct foip__fax_common_param {\n");
  add(t, "               char fax_id (%s)\n               u8 max_speed (%u)\n               u8 min_speed (%u)\n",
      fc.fax_id, fc.max_speed, fc.min_speed);
  add(t, "               char sz_fname_tiff_tmp_pg (%s)\n", fc.sz_fname_tiff_tmp_pg);
  add(t, "           }fax_common_param;\n");
  const bool poll = p.fax_polling_param.flag_poll != 0;
  const bool sends = (g.direction == 'O' && !poll) || (g.direction == 'I' && poll);
  add(t, "           u8 flag_poll (%u)\n", p.fax_polling_param.flag_poll);
  if (!sends) {
    add(t, "           struct foip__fax_send_pg (ignored)\n");
  } else {
    add(t, "           struct foip__fax_send_pg {\n");
    for (const auto& f : p.fax_send_pg.sz_tiff_fname_fax_pg) {
      if (f[0] == '\0') {
        add(t, "               (Empty) >>> End of list\n");
        break;
      }
      add(t, "               char sz_tiff_fname_fax_pg (%s)\n", f);
    }
    add(t, "           }fax_send_pg;\n");
  }
  if (sends) {
    add(t, "           struct foip__fax_rcv_pg (ignored)\n");
  } else {
    add(t, "           struct foip__fax_rcv_pg {\n               char sz_tiff_fname_rcv_fax_pg (%s)\n",
        p.fax_rcv_pg.sz_tiff_fname_rcv_fax_pg);
    add(t, "               u16 usr_val (%u)\n           }fax_rcv_pg;\n", p.fax_rcv_pg.usr_val);
  }
  add(t, "           struct foip__trc_param {\n               char sz_user_id_string (%s)\n",
      p.trc_param.common.sz_user_id_string);
  add(t, "           }trc_param;\n       }; /* EOS struct foip__session_param */\n\n%s\n", kLine);
  return t;
}

void foip__write_dumps(std::FILE* file) {
  (void)std::fputs(foip__module_info_text().c_str(), file);
  (void)std::fputs(foip__dsp_compilation_flags().c_str(), file);
  (void)std::fputs(foip__dsp_sizeof().c_str(), file);
}

void foip__dsp_module_info() {
  emit(0, 256, foip__module_info_text());
  emit(0, FOIP__CNF_GLB, foip__dsp_compilation_flags());
  emit(0, FOIP__CNF_GLB, foip__dsp_sizeof());
}

void foip__dsp_glb_config() {
  const foip__glb_context& g = foip__glb();
  foip__global_param p{};
  p.glb_common_param = g.common;
  p.glb_sip_param = g.sip;
  p.glb_trc_param = g.trc;
  emit(0, FOIP__CNF_GLB, foip__glb_config_text(p));
}

void foip__dsp_session_param(const foip__na_ctx& s) {
  emit(s.nai, FOIP__CNF_SESSION, foip__session_param_text(s.param, &s));
}

std::string foip__memory_statistics_text(u16 sessions_high_water) {
  const om_os_pool_stats msg = om_os_msg_pool_stats();
  const om_os_pool_stats buf = om_os_buffer_pool_stats();
  const om_os_it_pool_stats imsg = om_os_it_msg_pool_stats();
  const om_os_it_pool_stats ibuf = om_os_it_buffer_pool_stats();
  const om_os_timer_stats ti = om_os_timer_pool_stats();
  const unsigned n = sessions_high_water ? sessions_high_water : 1;
  const auto it_current = [](const om_os_it_pool_stats& p) { return p.normal > p.count ? p.normal - p.count : 0u; };
  std::string t;
  add(t,
      "\n----------------------------------\nMemory statistics\n-----------------\n"
      "   System Management Memory state (process) - Current   Msg = %u  Buffer = %u - Max Msg = %u  Buffer = %u\n"
      "                                  (IT)      - Current   Msg = %u  Buffer = %u - Remainder of free Msg = %u  "
      "Buffer = %u\n"
      "   System Management congestion counters    - (Process) Msg = %u  Buffer = %u - (IT) Msg = %u  Buffer = %u\n\n"
      "   System Management Timer cells            - Current = %u  Max = %u\n\n"
      "   Max message / buffer per session: Msg = %u  Buffer = %u  (%d sessions)\n----------------------------------\n",
      msg.in_use, buf.in_use, msg.high_water, buf.high_water, it_current(imsg), it_current(ibuf), imsg.count,
      ibuf.count, msg.episodes, buf.episodes, imsg.episodes, ibuf.episodes, ti.in_use, ti.high_water,
      msg.high_water / n, buf.high_water / n, static_cast<int>(sessions_high_water));
  return t;
}

void foip__dsp_memory_statistics() { emit(0, 512, foip__memory_statistics_text(foip__glb().nb_ctx_high_water)); }

std::string foip__tiff_page_text(unsigned page, const tiff__pg_header& h) {
  static constexpr const char* kCompression[] = {"Unsupported", "Uncompressed", "T.4 MH", "T.4 MR", "T.6 MMR"};
  std::string t;
  add(t, "           Header Fax page %u\n", page);
  add(t, "               image_type = %u (%s)\n", h.image_type, tiff__image_type_name(h.image_type));
  add(t, "               image_width = %u (Tiff Tag ID : ImageWidth)\n", h.image_width);
  add(t, "               image_length = %u (Tiff Tag ID : ImageLength)\n", h.image_length);
  add(t, "               bits_per_sample = %u (Tiff Tag ID : BitsPerSample)\n", h.bits_per_sample);
  add(t, "               fill_order = %u (Tiff Tag ID : FillOrder)\n", h.fill_order);
  add(t, "               compression = %u (%s) (Tiff Tag ID : Compression)\n", h.compression,
      h.compression <= 4 ? kCompression[h.compression] : "?");
  add(t, "               color_format = %u (Tiff Tag ID : PhotometricInterpretation)\n", h.color_format);
  add(t, "               resolution_unit = %u (Tiff Tag ID : ResolutionUnit)\n", h.resolution_unit);
  add(t, "               x_ resolution = %u (Tiff Tag ID : XResolution)\n", h.x_resolution);
  add(t, "               y_resolution = %u (Tiff Tag ID : YResolution)\n", h.y_resolution);
  add(t, "               image_nb_bytes = %u\n", h.image_nb_bytes);
  if (h.sz_software[0]) add(t, "               sz_software = %.99s\n", h.sz_software);
  if (h.sz_image_description[0]) add(t, "               sz_image_description = %.49s\n", h.sz_image_description);
  if (h.sz_tiff_artist[0]) add(t, "               sz_tiff_artist = %.49s\n", h.sz_tiff_artist);
  return t;
}

std::string foip__tiff_file_head_text(const char* name) {
  std::string t;
  add(t, "           --------------------------\n           Contents of Tiff file (%s)\n", name);
  return t;
}
