// Configuration of ENT_FOIP: FOIP__SET_CONFIG_RQ, the session parameter
// check of FOIP__START_RQ / FOIP__ALERT_RS, the T.38 capabilities relay, the
// reset, and the string and file checks they use.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "fax/fax_page_file.h"
#include "fax/tiff.h"
#include "runtime/buffer.h"
#include "runtime/entity.h"
#include "runtime/timer.h"
#include "session/foip/foip.h"
#include "session/foip/foip_ctx.h"
#include "session/foip/foip_dump.h"
#include "session/foip/foip_err.h"
#include "session/trace/foip_trc.h"
#include "t38/t38_config.h"
#include "t38/t38_entity.h"

namespace {

constexpr char kHex[] = "0123456789AaBbCcDdEeFf";
bool is_hex(char c) { return c != '\0' && std::strchr(kHex, c) != nullptr; }

// Length limits of the trace files: 0 and 10001..65534 -> 10000; 65535 stays.
u16 norm_max_length(u16 v) { return (v == 0 || (v > 10000 && v < 65535)) ? 10000 : v; }
u8 norm_nb_files(u8 v) { return v == 0 ? 1 : (v > 127 ? 127 : v); }

// The event classes and the event and audit files, which the global and the
// session trace settings share (the files not appended).
template <class Settings, class Param>
void common_trc_settings(Settings& s, const Param& t) {
  s.display_event_bfi = t.event.display_event_bfi;
  s.record_event_bfi = t.event.record_event_bfi;
  s.event = {t.event.sz_fname_event, t.event.max_length_of_event_file, t.event.nb_of_multiple_event_files, 0};
  s.audit = {t.audit.sz_fname_audit, t.audit.max_length_of_audit_file, t.audit.nb_of_multiple_audit_files, 0};
}

}  // namespace

// ---------------------------------------------------------------------------
// String and file checks.

u8 foip__chk_phone_number(char* out, const char* in, std::size_t room) {
  static constexpr char kAllowed[] = "+0123456789AaBbCcDdpPwW-.()%";
  char tmp[256];
  std::size_t n = 0;
  bool dropped = false;
  if (room == 0) return 3;
  const std::size_t cap = std::min(room, sizeof tmp);
  for (const char* p = in ? in : ""; *p; ++p) {
    const char c = *p;
    if (std::strchr(kAllowed, c) == nullptr) {
      dropped = true;
      continue;
    }
    if (c == '%') {
      if (!is_hex(p[1]) || !is_hex(p[2])) return 3;
      if (n + 3 >= cap) return 3;
      tmp[n++] = p[0];
      tmp[n++] = p[1];
      tmp[n++] = p[2];
      p += 2;
      continue;
    }
    if (n + 1 >= cap) return 3;
    tmp[n++] = c;
  }
  tmp[n] = '\0';
  std::memcpy(out, tmp, n + 1);
  return dropped ? 2 : 1;
}

bool foip__chk_user_name(const char* name) {
  static constexpr char kAllowed[] = "0123456789-_.!~*'()&=+$,;?/#";
  for (const char* p = name; *p; ++p) {
    const char c = *p;
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || std::strchr(kAllowed, c)) continue;
    if (c == '%' && is_hex(p[1]) && is_hex(p[2])) {
      p += 2;
      continue;
    }
    return false;
  }
  return true;
}

void foip__norm_path(char* name) {
  for (char* p = name; *p; ++p)
    if (*p == '\\') *p = '/';
}

u8 foip__chk_file_access(const char* name, u8 mode) {
  if (name == nullptr || *name == '\0') return 2;
  if (mode == 1) {
    std::FILE* f = std::fopen(name, "rb");
    if (!f) return 3;
    (void)std::fclose(f);
    return 2;
  }
  if (mode == 2) {
    // Create it only when it does not exist, and remove only what was
    // created here: an existing file is left as it was.
    const int fd = ::open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd >= 0) {
      ::close(fd);
      ::unlink(name);
      return 2;
    }
    if (errno != EEXIST) return 3;
    return ::access(name, W_OK) == 0 ? 2 : 3;
  }
  const int fd = ::open(name, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return 3;
  ::close(fd);
  return 2;
}

bool foip__format_fname(char* out, std::size_t room, const char* pattern, long a1, long a2) {
  if (room == 0) return false;
  std::string r;
  const long args[2] = {a1, a2};
  int used = 0;
  for (const char* p = pattern; *p; ++p) {
    if (*p != '%') {
      r += *p;
      continue;
    }
    if (p[1] == '%') {
      r += '%';
      ++p;
      continue;
    }
    // %[flags][width]conv with an integer conversion only.
    const char* q = p + 1;
    std::string spec = "%";
    while (*q && std::strchr("-+ 0#", *q)) spec += *q++;
    int width_digits = 0;
    while (*q >= '0' && *q <= '9' && width_digits < 3) {
      spec += *q++;
      ++width_digits;
    }
    if (*q && std::strchr("diuxXo", *q) && used < 2 && !(*q >= '0' && *q <= '9')) {
      spec += 'l';
      spec += *q;
      char num[64];
      (void)std::snprintf(num, sizeof num, spec.c_str(), args[used++]);
      r += num;
      p = q;
    } else {
      r += '%';  // anything else is text
    }
  }
  if (r.size() + 1 > room) return false;
  std::memcpy(out, r.c_str(), r.size() + 1);
  return true;
}

u8 foip__chk_tiff_file(const char* name, bool dump, nai_t nai) {
  if (name == nullptr || *name == '\0') return 2;
  auto ctx = std::make_unique<tiff__ctx>();
  u8 r = tiff__start_read(ctx.get(), tiff__get_ctx_size(), name);
  if (r == TIFF_ERR_FOPEN) return FOIP__START_ERR_TIFF_ERR__FOPEN_FAILURE;
  if (r != TIFF_DONE) return FOIP__START_ERR_TIFF_ERR__WRONG_TIFF_HEADER;
  struct res {
    u16 x, y;
  };
  static constexpr res kRes[] = {{200, 100}, {200, 200}, {200, 400}, {300, 300},  {300, 600},
                                 {400, 400}, {400, 800}, {600, 600}, {600, 1200}, {1200, 1200}};
  u8 result = 2;
  std::string text = dump ? foip__tiff_file_head_text(name) : std::string();
  for (unsigned page = 1;; ++page) {
    tiff__pg_header h;
    r = tiff__read_page(ctx.get(), &h, nullptr);
    if (dump && (r == TIFF_NEXT_PAGE || r == TIFF_DONE)) text += foip__tiff_page_text(page, h);
    if (r != TIFF_NEXT_PAGE && r != TIFF_DONE) {
      switch (r) {
        case 32: result = 92; break;
        case 33: result = 93; break;
        case 34: result = 94; break;
        case 35: result = 95; break;
        case 36: result = 96; break;
        case 38: result = 97; break;
        case 39: result = 98; break;
        default: result = 90; break;
      }
      break;
    }
    if (h.compression < 1 || h.compression > 4) {
      result = FOIP__START_ERR_TIFF_PG_HDR_BAD_ENCODING_METHOD;
      break;
    }
    // Resolutions in dots per inch (centimetre units converted).
    u32 x = h.x_resolution, y = h.y_resolution;
    if (h.resolution_unit == 3) {
      x = (x * 254 + 50) / 100;
      y = (y * 254 + 50) / 100;
      x = x < 150 ? 100 * ((x + 50) / 100) : x;
    }
    bool ok = false;
    for (const res& rr : kRes) {
      const auto near = [](u32 a, u32 b) { return a + 3 >= b && a <= b + 3; };
      ok = ok || (near(x, rr.x) && near(y, rr.y));
    }
    // The fax engine's own table also takes the common fax forms (204 dpi
    // across, 8 pels/mm), so a page it can send is never refused here.
    ok = ok || fax_resolution_code(h.x_resolution, h.y_resolution, h.resolution_unit) != 0;
    if (!ok) {
      result = FOIP__START_ERR_TIFF_PG_HDR_BAD_RESOLUTION;
      break;
    }
    if (r == TIFF_DONE) break;
  }
  tiff__close(ctx.get());
  if (dump) {
    text += "           --------------------------\n";
    foip_trc__print_event(nai, FOIP__CNF_SESSION, text.c_str());
  }
  return result;
}

// ---------------------------------------------------------------------------
// Session check.

namespace {

template <class Dst, class Src>
void limit_caps(Dst& lcl, const Src& glb, u16 bfi, const Src& want, bool udptl, u8& overwritten) {
  auto num = [&](auto& field, auto g, auto w) {
    field = w > g ? g : w;
    if (w > g) overwritten = 1;
  };
  auto mask = [&](auto& field, auto g, auto w) {
    if ((w & g) == 0) {
      field = g;
      overwritten = 1;
    } else {
      field = w;
    }
  };
  auto flag = [&](auto& field, auto g, auto w) {
    field = (w == 1 && g == 1) ? 1 : 0;
    if (w == 1 && g != 1) overwritten = 1;
  };
  if (bfi & FOIP__T38_CAP_VERSION) num(lcl.t38_version, glb.t38_version, want.t38_version);
  if (bfi & FOIP__T38_CAP_MAX_BIT_RATE) num(lcl.fax_max_bit_rate, glb.fax_max_bit_rate, want.fax_max_bit_rate);
  if (bfi & FOIP__T38_CAP_RATE_MANAGEMENT) mask(lcl.drate_mgt_method, glb.drate_mgt_method, want.drate_mgt_method);
  if (bfi & FOIP__T38_CAP_FILL_BIT_REMOVAL)
    flag(lcl.remove_fill_bits_t4, glb.remove_fill_bits_t4, want.remove_fill_bits_t4);
  if (bfi & FOIP__T38_CAP_TRANSCODING_MMR) flag(lcl.transcode_mmr, glb.transcode_mmr, want.transcode_mmr);
  if (bfi & FOIP__T38_CAP_TRANSCODING_JBIG) flag(lcl.transcode_jbig, glb.transcode_jbig, want.transcode_jbig);
  if constexpr (requires { lcl.udp_ec; }) {
    if (udptl) {
      if (bfi & FOIP__T38_CAP_MAX_BUFFER)
        num(lcl.fax_max_buffer_size, glb.fax_max_buffer_size, want.fax_max_buffer_size);
      if (bfi & FOIP__T38_CAP_MAX_DATAGRAM) num(lcl.max_datagram_size, glb.max_datagram_size, want.max_datagram_size);
      if (bfi & FOIP__T38_CAP_UDP_EC) mask(lcl.udp_ec, glb.udp_ec, want.udp_ec);
    }
  }
}

template <class T>
T from_overwrite(const auto& o) {
  T t{};
  foip__copy_t38_caps(t, o);
  return t;
}
// The session's local capabilities (UDPTL or TPKT part) from the global ones.
template <class Lcl>
void copy_lcl_from_glb(Lcl& d, const auto& s) {
  d = from_overwrite<Lcl>(s);
  d.use_t38_cap_bfi = s.use_t38_cap_bfi;
}

// A file that will be written: the name, with its integer directives
// substituted, must be creatable.
bool creatable(const char* pattern, long a1, long a2) {
  char name[FOIP__FNAME_MAX_LEN + 64];
  if (!foip__format_fname(name, sizeof name, pattern, a1, a2)) return false;
  return foip__chk_file_access(name, 2) == 2;
}

bool trc_file_ok(const char* name) {
  if (!*name) return true;
  std::string t = std::string(name) + "_tst";
  return foip__chk_file_access(t.c_str(), 2) == 2;
}

foip_trc__session_settings trc_settings(const foip__trc_param& t) {
  foip_trc__session_settings s;
  s.user_string = t.common.sz_user_id_string;
  common_trc_settings(s, t);
  s.audit.append = t.audit.append_audit_file;
  s.t38_trc = {t.t38_trc.sz_fname_t38_trc, t.t38_trc.max_length_of_t38_trc_file, t.t38_trc.nb_of_multiple_t38_trc_files,
               t.t38_trc.append_t38_trc_file};
  return s;
}

template <std::size_t N>
bool terminated(const char (&field)[N]) {
  return std::memchr(field, '\0', N) != nullptr;
}

// A text field without its terminating zero is refused with the code of
// its own check; the other texts are cut at their last byte.
u8 check_texts(foip__session_param& p) {
  const auto& id = p.t38_media_add_param.sip_media_identification;
  if (!terminated(id.sz_local_user_name)) return FOIP__START_ERR__LOCAL_USER_NAME;
  if (!terminated(id.sz_remote_user_name)) return FOIP__START_ERR__REMOTE_USER_NAME;
  if (!terminated(id.sz_local_user_phone_number)) return FOIP__START_ERR__LOCAL_USER_PHONE_NUMBER_TOO_LONG;
  if (!terminated(id.sz_remote_user_phone_number)) return FOIP__START_ERR__REMOTE_USER_PHONE_NUMBER_TOO_LONG;
  if (!terminated(p.fax_common_param.sz_fname_tiff_tmp_pg)) return FOIP__START_ERR__FAX__TMP_TIFF_FILE_ACCESS;
  for (const auto& f : p.fax_send_pg.sz_tiff_fname_fax_pg)
    if (!terminated(f)) return FOIP__START_ERR__FAX__TIFF_FNAME_FAX_PG_ACCESS;
  if (!terminated(p.fax_rcv_pg.sz_tiff_fname_rcv_fax_pg)) return FOIP__START_ERR__FAX__GENERIC_FNAME_RCV_FAX_PG_ACCESS;
  if (!terminated(p.trc_param.event.sz_fname_event)) return FOIP__START_ERR__FNAME_EVT_ACCESS;
  if (!terminated(p.trc_param.audit.sz_fname_audit)) return FOIP__START_ERR__FNAME_AUDIT_ACCESS;
  if (!terminated(p.trc_param.t38_trc.sz_fname_t38_trc)) return FOIP__START_ERR__FNAME_T38_TRC_ACCESS;
  auto cut = [](auto& f) { f[sizeof f - 1] = '\0'; };
  cut(p.trc_param.common.sz_user_id_string);
  cut(p.fax_common_param.fax_id);
  cut(p.fax_polling_param.pwd);
  cut(p.fax_polling_param.sep);
  cut(p.fax_polling_param.psa);
  cut(p.fax_send_pg.tx_fax_page_settings.sz_pg_header);
  cut(p.sip_session_param.remote_sip_addr.sz_fqdn);
  cut(p.sip_session_param.sip_authentication.sz_user_name);
  cut(p.sip_session_param.sip_authentication.sz_user_password);
  cut(p.sip_session_param.sip_authentication.sz_realm);
  cut(p.t38_media_add_param.local_media_add.local_media_ip_addr.sz_fqdn);
  cut(p.t38_media_add_param.local_media_add.nat_local_media_ip_addr.sz_fqdn);
  return 2;
}

u8 check_into(code_t primitive, nai_t msg_nai, const foip__session_param& in, ent_id_t user, foip__na_ctx*& s) {
  foip__glb_context& g = foip__glb();
  if (g.configured_mark != FOIP__MARK_VALID) return FOIP__START_ERR__GLB_CNF_NOT_SET;
  const nai_t nai = in.session_general_param.nai;
  const size_t max_nai = g.table.size();
  if (nai > max_nai) return FOIP__START_ERR__NAI;
  if (primitive == FOIP__START_RQ && nai != msg_nai) return FOIP__START_ERR__NAI_2;
  if (foip__get_na_ctx(nai)) return FOIP__START_ERR__NAI_ALREADY_USED;
  s = foip__alloc_na_ctx(nai);
  if (!s) return FOIP__START_ERR__ALLOC_RESOURCE;
  foip__session_param& p = s->param;
  p = in;
  if (const u8 r = check_texts(p); r != 2) return r;
  // General part.
  s->user_entity = user;
  s->direction = in.session_general_param.direction;
  s->kind_of_session = 'I';
  p.session_general_param.kind_of_session = 'I';
  s->kind_of_t38_transport = in.session_general_param.kind_of_t38_transport;
  if (!g.t38_tcp_capable) s->kind_of_t38_transport = 'U';
  p.session_general_param.kind_of_t38_transport = s->kind_of_t38_transport;
  // SIP parameters.
  auto& rem = p.sip_session_param.remote_sip_addr;
  if (s->direction == 'O') {
    if (rem.ip_addr.ip_family != OM_IP_FAMILY_V4 && rem.ip_addr.ip_family != OM_IP_FAMILY_NONE)
      rem.ip_addr.ip_family = OM_IP_FAMILY_NONE;
  } else {
    rem.sz_fqdn[0] = '\0';
    rem.ip_port = 0;
    rem.ip_addr.ip_family = OM_IP_FAMILY_NONE;
  }
  // Local T.38 capabilities, limited by the global ones.
  copy_lcl_from_glb(s->lcl_cap.udptl_param, g.glb_lcl_cap.udptl_param);
  copy_lcl_from_glb(s->lcl_cap.tpkt_param, g.glb_lcl_cap.tpkt_param);
  const u8 tr = s->kind_of_t38_transport;
  if (tr == 'U' || tr == 'X' || tr == 'x') {
    const auto& o = in.overwrite_lcl_t38_cap.udptl_param;
    limit_caps(s->lcl_cap.udptl_param, from_overwrite<foip__lcl_udptl_cap>(g.glb_lcl_cap.udptl_param),
               o.use_t38_cap_bfi, from_overwrite<foip__lcl_udptl_cap>(o), true, s->overwritten);
  }
  if (tr == 'T' || tr == 'X' || tr == 'x') {
    const auto& o = in.overwrite_lcl_t38_cap.tpkt_param;
    limit_caps(s->lcl_cap.tpkt_param, from_overwrite<foip__lcl_tpkt_cap>(g.glb_lcl_cap.tpkt_param), o.use_t38_cap_bfi,
               from_overwrite<foip__lcl_tpkt_cap>(o), false, s->overwritten);
  }
  // Media identification.
  auto& id = p.t38_media_add_param.sip_media_identification;
  if (id.sz_local_user_name[0] == '\0') return FOIP__START_ERR__NO_LOCAL_USER_NAME;
  if (!foip__chk_user_name(id.sz_local_user_name)) return FOIP__START_ERR__LOCAL_USER_NAME;
  if (primitive == FOIP__START_RQ) {
    if (id.remote_user_identification == FOIP__USR_ID__NAME && !foip__chk_user_name(id.sz_remote_user_name))
      return FOIP__START_ERR__REMOTE_USER_NAME;
    if (id.local_user_identification == FOIP__USR_ID__PHONE_NUMBER &&
        foip__chk_phone_number(id.sz_local_user_phone_number, id.sz_local_user_phone_number, 25) == 3)
      return FOIP__START_ERR__LOCAL_USER_PHONE_NUMBER_TOO_LONG;
    if (id.remote_user_identification == FOIP__USR_ID__PHONE_NUMBER &&
        foip__chk_phone_number(id.sz_remote_user_phone_number, id.sz_remote_user_phone_number, 25) == 3)
      return FOIP__START_ERR__REMOTE_USER_PHONE_NUMBER_TOO_LONG;
  }
  // Media address and ports.
  auto& media = p.t38_media_add_param.local_media_add;
  // The derived ports (port + 1, port + 2) must stay 16-bit ports.
  if (media.local_media_ip_addr.ip_port == 0 ||
      (media.upd_local_media_port_rules != 1 &&
       (media.local_media_ip_addr.ip_port > 65533 || media.nat_local_media_ip_addr.ip_port > 65533)))
    return FOIP__START_ERR__LOCAL_MEDIA_PORT;
  if (media.local_media_ip_addr.ip_addr.ip_family != OM_IP_FAMILY_V4)
    media.local_media_ip_addr.ip_addr.ip_family = OM_IP_FAMILY_NONE;
  auto& nat = media.nat_local_media_ip_addr.ip_addr.ip_family;
  if (nat == 0) nat = OM_IP_FAMILY_NONE;
  if (g.sip.nat.flag_nat_support == 1 && nat != OM_IP_FAMILY_V4) nat = OM_IP_FAMILY_NONE;
  const u16 port = media.local_media_ip_addr.ip_port;
  const u16 nport = media.nat_local_media_ip_addr.ip_port;
  if (media.upd_local_media_port_rules == 1) {
    s->udptl_port = s->tpkt_port = s->pcm_port = port;
    s->nat_udptl_port = s->nat_tpkt_port = s->nat_pcm_port = nport;
  } else {
    s->udptl_port = static_cast<u16>(port + 2);
    s->tpkt_port = port;
    s->pcm_port = static_cast<u16>(port + 1);
    s->nat_udptl_port = static_cast<u16>(nport + 2);
    s->nat_tpkt_port = nport;
    s->nat_pcm_port = static_cast<u16>(nport + 1);
  }
  // Fax common parameters.
  auto& fc = p.fax_common_param;
  fc.rx_max_fax_cap.pg_encoding |= 0x01;
  fc.rx_max_fax_cap.pg_resolution |= 0x01;
  fc.tx_wished_fax_cap.pg_encoding |= 0x01;
  if (fc.rx_max_fax_cap.ecm_frame_size == '0') fc.rx_max_fax_cap.pg_encoding &= static_cast<u8>(~0x04);
  if (fc.tx_wished_fax_cap.ecm_frame_size == '0') fc.tx_wished_fax_cap.pg_encoding &= static_cast<u8>(~0x04);
  foip__norm_path(fc.sz_fname_tiff_tmp_pg);
  if (fc.sz_fname_tiff_tmp_pg[0] == '\0') return FOIP__START_ERR__FAX__TMP_TIFF_FILE;
  if (!creatable(fc.sz_fname_tiff_tmp_pg, 1234, nai)) return FOIP__START_ERR__FAX__TMP_TIFF_FILE_ACCESS;
  // Pages to send.
  const bool poll = p.fax_polling_param.flag_poll != 0;
  const bool sends = (s->direction == 'O' && !poll) || (s->direction == 'I' && poll);
  const bool receives = (s->direction == 'O' && poll) || (s->direction == 'I' && !poll);
  s->nb_snd_files = 0;
  if (sends) {
    for (auto& f : p.fax_send_pg.sz_tiff_fname_fax_pg) {
      foip__norm_path(f);
      if (f[0] == '\0') continue;
      if (foip__chk_file_access(f, 1) != 2) return FOIP__START_ERR__FAX__TIFF_FNAME_FAX_PG_ACCESS;
      const u8 r = foip__chk_tiff_file(f, false, nai);
      if (r != 2) return r;
      ++s->nb_snd_files;
    }
  }
  if (receives) {
    auto& rn = p.fax_rcv_pg.sz_tiff_fname_rcv_fax_pg;
    foip__norm_path(rn);
    if (rn[0] && !creatable(rn, p.fax_rcv_pg.usr_val, nai))
      return FOIP__START_ERR__FAX__GENERIC_FNAME_RCV_FAX_PG_ACCESS;
  }
  const bool rcv_empty = p.fax_rcv_pg.sz_tiff_fname_rcv_fax_pg[0] == '\0';
  if (s->direction == 'O' && poll && rcv_empty) return FOIP__START_ERR__DIRECTION_2;
  if (s->direction == 'O' && !poll && s->nb_snd_files == 0) return FOIP__START_ERR__DIRECTION_1;
  if (s->direction == 'I' && poll && s->nb_snd_files == 0) return FOIP__START_ERR__DIRECTION_4;
  if (s->direction == 'I' && !poll && rcv_empty) return FOIP__START_ERR__DIRECTION_3;
  // Traces.
  auto& t = p.trc_param;
  foip__norm_path(t.event.sz_fname_event);
  foip__norm_path(t.audit.sz_fname_audit);
  foip__norm_path(t.t38_trc.sz_fname_t38_trc);
  if (!trc_file_ok(t.event.sz_fname_event)) return FOIP__START_ERR__FNAME_EVT_ACCESS;
  if (!trc_file_ok(t.audit.sz_fname_audit)) return FOIP__START_ERR__FNAME_AUDIT_ACCESS;
  if (!trc_file_ok(t.t38_trc.sz_fname_t38_trc)) return FOIP__START_ERR__FNAME_T38_TRC_ACCESS;
  t.event.max_length_of_event_file = norm_max_length(t.event.max_length_of_event_file);
  t.audit.max_length_of_audit_file = norm_max_length(t.audit.max_length_of_audit_file);
  t.t38_trc.max_length_of_t38_trc_file = norm_max_length(t.t38_trc.max_length_of_t38_trc_file);
  t.event.nb_of_multiple_event_files = norm_nb_files(t.event.nb_of_multiple_event_files);
  t.audit.nb_of_multiple_audit_files = norm_nb_files(t.audit.nb_of_multiple_audit_files);
  t.t38_trc.nb_of_multiple_t38_trc_files = norm_nb_files(t.t38_trc.nb_of_multiple_t38_trc_files);
  t.t38_trc.t38_trc_bfi &= ~(0x10u | 0x200u | 0x400u | 0x20000u | 0x80000u);
  // Session timers.
  s->ti_launch.cell = Timer_alloc(ENT_FOIP, nai, FOIP__SAPI, FOIP__CONN_NONE);
  s->ti_t38.cell = Timer_alloc(ENT_FOIP, nai, FOIP__SAPI, FOIP__CONN_NONE);
  if (!s->ti_launch.cell || !s->ti_t38.cell) return FOIP__START_ERR__TIMER_RESOURCE;
  s->launch_delay_ms = FOIP__LAUNCH_FAX_MS;
  s->t38_delay_ms = p.session_general_param.start_t38_session_ms;
  // Trace files of the session.
  if (nai < FOIP_TRC__MAX_SESSIONS) {
    (void)foip_trc__session_init(nai, trc_settings(t));
    if (foip_trc__open_session_event_file(nai) != 2) return FOIP__START_ERR__FNAME_EVT_ACCESS;
    if (foip_trc__open_t38_trc_file(nai) != 2) return FOIP__START_ERR__FNAME_T38_TRC_ACCESS;
    if (foip_trc__open_session_audit_file(nai) != 2) return FOIP__START_ERR__FNAME_AUDIT_ACCESS;
  }
  foip__dsp_session_param(*s);
  s->mark = FOIP__MARK_VALID;
  return 2;
}

}  // namespace

u8 foip__chk_session_param(code_t primitive, nai_t msg_nai, const foip__session_param& p, ent_id_t user,
                           foip__na_ctx** out) {
  foip__na_ctx* s = nullptr;
  const u8 r = check_into(primitive, msg_nai, p, user, s);
  if (r != 2) {
    if (s) {
      if (s->nai < FOIP_TRC__MAX_SESSIONS) foip_trc__session_end(s->nai);
      foip__free_na_ctx(s->nai);
    }
    s = nullptr;
  }
  *out = s;
  return r;
}

foip__na_ctx* foip__start_rq() {
  foip__glb_context& g = foip__glb();
  msg_t* m = g.cur_msg;
  auto rec = std::make_unique<foip__start>();
  if (foip_api__read_record(m, FOIP__START_RQ, rec.get()) != FOIP_API__OK) {
    foip__send_confirm(m, FOIP__START_CO, 3, FOIP__START_ERR_SRC__FOIP_CHK_PARAM, FOIP__START_ERR__REASSEMBLE_BUFF,
                       m->nai, FOIP__CONN_NONE);
    return nullptr;
  }
  if (g.sip_ready != 2) {
    foip__send_confirm(
        m, FOIP__START_CO, 3, FOIP__START_ERR_SRC__OTHER_ERRORS,
        g.sip_ready == 1 ? FOIP__START_ERR__GLB_FOIP_ENTITY_CNF_NOK : FOIP__START_ERR__FOIP_ENTITY_NOT_READY, m->nai,
        FOIP__CONN_NONE);
    return nullptr;
  }
  foip__na_ctx* s = nullptr;
  const u8 r = foip__chk_session_param(FOIP__START_RQ, m->nai, rec->session_param, m->from, &s);
  if (r != 2) {
    foip__send_confirm(m, FOIP__START_CO, 3, FOIP__START_ERR_SRC__FOIP_CHK_PARAM, r, m->nai, FOIP__CONN_NONE);
    return nullptr;
  }
  s->start_rq = m;
  g.cur_msg = nullptr;
  return s;
}

// ---------------------------------------------------------------------------
// Global configuration.

namespace {

foip_trc__glb_settings glb_trc_settings(const foip__glb_trc_param& t) {
  foip_trc__glb_settings s;
  common_trc_settings(s, t);
  s.flag_display_progress_bar = t.event.flag_display_progress_bar;
  for (size_t i = 0; i < FOIP_TRC__NB_FILTER; ++i) {
    const auto& f = t.audit.audit_filter[i];
    s.audit_filter[i].item_mode = f.item_mode;
    s.audit_filter[i].from = f.from;
    s.audit_filter[i].to = f.to;
    s.audit_filter[i].code = f.code;
    s.audit_filter[i].sz_from = std::string(f.sz_from, strnlen(f.sz_from, sizeof f.sz_from));
    s.audit_filter[i].sz_to = std::string(f.sz_to, strnlen(f.sz_to, sizeof f.sz_to));
    s.audit_filter[i].sz_code = std::string(f.sz_code, strnlen(f.sz_code, sizeof f.sz_code));
  }
  return s;
}

// Steps 4 to 9 of the configuration; 2 or a code of source 255.
u8 configure(foip__glb_context& g, const foip__global_param& in, ent_id_t user) {
  const u16 max_nai = om_os_get_max_nai();
  g.table.clear();
  g.table.resize(max_nai);
  g.user_entity = user;
  g.common = in.glb_common_param;
  g.nb_simultaneous_start_stop =
      in.glb_common_param.nb_simultaneous_start_stop ? in.glb_common_param.nb_simultaneous_start_stop : 1;
  g.common.nb_simultaneous_start_stop = g.nb_simultaneous_start_stop;
  g.sip = in.glb_sip_param;
  g.trc = in.glb_trc_param;
  auto& ev = g.trc.event;
  ev.display_event_bfi &= 0x7FE1;
  ev.record_event_bfi &= static_cast<u16>(~0x8000);
  if (ev.flag_display_progress_bar == 1) ev.display_event_bfi = 4;
  foip__norm_path(ev.sz_fname_event);
  auto& au = g.trc.audit;
  foip__norm_path(au.sz_fname_audit);
  if (au.sz_fname_audit[0] == '\0') au.audit_filter[0].item_mode = 1;
  ev.max_length_of_event_file = norm_max_length(ev.max_length_of_event_file);
  au.max_length_of_audit_file = norm_max_length(au.max_length_of_audit_file);
  ev.nb_of_multiple_event_files = norm_nb_files(ev.nb_of_multiple_event_files);
  au.nb_of_multiple_audit_files = norm_nb_files(au.nb_of_multiple_audit_files);
  if (ev.sz_fname_event[0]) {
    char name[FOIP__FNAME_MAX_LEN + 16];
    if (ev.max_length_of_event_file < 65535) (void)std::snprintf(name, sizeof name, "%s_%d", ev.sz_fname_event, 0);
    else (void)std::snprintf(name, sizeof name, "%s", ev.sz_fname_event);
    if (foip__chk_file_access(name, 2) != 2) return FOIP__CFG_ERR__FNAME_GLB_EVENT_ACCES_FILE;
  }
  if (foip__chk_file_access(au.sz_fname_audit, 2) != 2) return FOIP__CFG_ERR__FNAME_GLB_AUDIT_ACCES_FILE;
  foip_trc__set_glb_settings(glb_trc_settings(g.trc));
  if (foip_trc__open_glb_event_file() != 2) return FOIP__CFG_ERR__FNAME_GLB_EVENT_ACCES_FILE;
  if (foip_trc__open_glb_audit_file() != 2) return FOIP__CFG_ERR__FNAME_GLB_AUDIT_ACCES_FILE;
  if (!g.ti_trc) g.ti_trc = Timer_alloc(ENT_FOIP, FOIP__NAI_GLOBAL, 0xFF, 0xFFFF);
  if (!g.ti_general) g.ti_general = Timer_alloc(ENT_FOIP, FOIP__NAI_GLOBAL, 0xFF, 0xFFFF);
  if (!g.ti_trc || !g.ti_general) return FOIP__CFG_ERR__TIMER_RESOURCE;
  Timer_start(g.ti_trc, FOIP__TI_TRC_MS, ++g.ti_seq, FOIP__TI_TRC);
  Timer_start(g.ti_general, FOIP__TI_GENERAL_MS, ++g.ti_seq, FOIP__TI_GENERAL);
  if (foip__hooks().sip_set_config) return foip__hooks().sip_set_config(in);
  return 2;
}

void release_global(foip__glb_context& g) {
  for (auto& p : g.table)
    if (p) foip__free_na_ctx(p->nai);
  g.table.clear();
  for (timer_cell_t** t : {&g.ti_trc, &g.ti_general}) {
    if (*t) {
      Timer_stop(*t);
      Timer_free(*t);
      *t = nullptr;
    }
  }
  g.nb_start_phase = g.nb_stop_phase = 0;
  g.fifo_start = g.fifo_in_user = g.fifo_in_any = g.fifo_stop = {};
}

}  // namespace

void foip_cnf__glb_set_config() {
  foip__glb_context& g = foip__glb();
  msg_t* m = g.cur_msg;
  g.configured_mark = FOIP__MARK_VALID;
  u8 code = 2;
  if (om_os_get_buffer_room() < sizeof(foip__confirm)) code = FOIP__CFG_ERR__CONFIRM_BUF_TOO_SMALL;
  else if (foip_err__report_too_big()) code = FOIP__CFG_ERR__FOIP__REPORT_IN_BUF_TOO_SMALL;
  auto rec = std::make_unique<foip__set_config>();
  if (code == 2 && foip_api__read_record(m, FOIP__SET_CONFIG_RQ, rec.get()) != FOIP_API__OK)
    code = FOIP__CFG_ERR__REASSEMBLE_BUFF;
  const bool record_read = code == 2;
  if (record_read) {
    release_global(g);
    code = configure(g, rec->global_param, m->from);
    foip__dsp_module_info();
    foip__dsp_glb_config();
    foip_trc__progress_bar(1, nullptr);
  }
  if (code == 2 && g.cur_msg == nullptr) {  // answered by the SIP side
    g.cfg_refused = 0;
    g.closed = 0;
    return;
  }
  if (code == 2) {
    g.cfg_refused = 0;
    g.closed = 0;
    g.sip_ready = 2;
    foip__send_confirm(m, FOIP__SET_CONFIG_CO, FOIP__RC_OK, 0, 0, FOIP__NAI_GLOBAL, FOIP__CONN_NONE);
    g.cur_msg = nullptr;
    return;
  }
  // Refused: the entity stays unconfigured (also for the refusals found
  // before the record was read), with the refusal's texts in the answer.
  g.cfg_refused = 1;
  g.sip_ready = 1;
  if (record_read) release_global(g);
  // The refusals found before the record (buffers too small) carry no texts.
  const bool texts =
      code != FOIP__CFG_ERR__CONFIRM_BUF_TOO_SMALL && code != FOIP__CFG_ERR__FOIP__REPORT_IN_BUF_TOO_SMALL;
  foip__send_confirm(m, FOIP__SET_CONFIG_CO, 3, FOIP__CFG_ERR_SRC__FOIP_CHK_PARAM, code, FOIP__NAI_GLOBAL,
                     FOIP__CONN_NONE, texts);
  g.cur_msg = nullptr;
  g.configured_mark = FOIP__MARK_INVALID;
}

// ---------------------------------------------------------------------------
// T.38 capabilities.

namespace {

void cap_refuse(msg_t* req, u8 code) {
  struct foip__t38_capabilities rec {};
  foip__fill_confirm(FOIP__T38_CAPABILITIES_CO, 3, FOIP__T38_CAP_ERR_SRC, code, &rec.confirm);
  const foip_api__addr a{
      .from = ENT_FOIP, .to = req->from, .nai = req->nai, .sapi = req->sapi, .conn_id = req->conn_id};
  (void)foip_api__send_record(a, FOIP__T38_CAPABILITIES_CO, rec);
}

}  // namespace

void foip_cnf__t38_capabilities() {
  foip__glb_context& g = foip__glb();
  msg_t* m = g.cur_msg;
  if (m->code == FOIP__T38_CAPABILITIES_RQ) {
    msg_t* rq = foip__make_t38_capabilities_rq();
    if (!rq) {
      cap_refuse(m, FOIP__T38_CAP_ERR__MSG_BUFF_RESOURCE);
      return;
    }
    Free_msg(g.pending_t38_cap);
    g.pending_t38_cap = m;
    g.cur_msg = nullptr;
    Send_msg(rq);
    return;
  }
  // The T.38 entity's confirm.
  msg_t* req = g.pending_t38_cap;
  g.pending_t38_cap = nullptr;
  struct foip__t38_capabilities rec {};
  const u32 n = Msg_total_size(m);
  if (n >= kv::t38::T38__CAPABILITIES_CO_SIZE) {
    std::vector<u8> body(n);
    std::memcpy(body.data(), Msg_data(m), std::min<u32>(n, Msg_data_size(m)));
    rec.t38_over_tcp = foip__read_t38_capabilities(body.data(), &rec.cap);
    g.glb_lcl_cap = rec.cap;
    g.t38_tcp_capable = rec.t38_over_tcp;
  }
  rec.confirm.return_code = 2;
  rec.confirm.error_source = 2;
  rec.confirm.error_code = 2;
  const foip_api__addr a{
      .from = ENT_FOIP, .to = req->from, .nai = req->nai, .sapi = FOIP__SAPI, .conn_id = req->conn_id};
  if (foip_api__send_record(a, FOIP__T38_CAPABILITIES_CO, rec) != FOIP_API__OK)
    cap_refuse(req, FOIP__T38_CAP_ERR__PREPARE_CO_1);
  Free_msg(req);
}

// ---------------------------------------------------------------------------
// Reset.

void foip_cnf__glb_reset_config() {
  foip__glb_context& g = foip__glb();
  foip_trc__print_event(0, FOIP__CNF_GLB,
                        "\n\n----------------------------------------------------------------\n"
                        "                     Close FOIP (FOIP__RESET_CONFIG_RQ received)\n"
                        "----------------------------------------------------------------\n");
  Free_msg(g.pending_reset);
  g.pending_reset = g.cur_msg;
  g.cur_msg = nullptr;
  bool stopped = false;
  for (foip__na_ctx* s = foip__get_next_na_ctx(true, 0); s; s = foip__get_next_na_ctx(false, s->nai)) {
    const bool waiting = s->q_status == FOIP_MGT__Q_WAIT_START || s->q_status == FOIP_MGT__Q_WAIT_CALL ||
                         s->q_status == FOIP_MGT__Q_WAIT_ANY_CALL;
    const bool active = s->state == FOIP_MGT__SIP_CALL_PROGRESS || s->state == FOIP_MGT__T38_OPEN_PROGRESS ||
                        s->state == FOIP_MGT__FAX_OPEN_PROGRESS || s->state == FOIP_MGT__RUNNING;
    if (!waiting && !active) continue;
    const foip_api__addr a{.from = ENT_FOIP, .to = ENT_FOIP, .nai = s->nai};
    foip__stop rec{};
    if (foip_api__send_record(a, FOIP__STOP_RQ, rec) != FOIP_API__OK) {
      Foip__trap(FOIP__NAI_GLOBAL, FOIP__CONN_NONE, FOIP__TRAP_CLASS, FOIP__TRAP__ERR_ALLOC_MSG_BUFFER,
                 "FOIP__TRAP__ERR_ALLOC_MSG_BUFFER", "FOIP: (foip_cnf__glb_reset_config) Can't allocate Msg/buffer");
      return;
    }
    stopped = true;
  }
  if (!stopped) foip__reset_sip_side();
}

void foip_cnf__close() {
  foip__glb_context& g = foip__glb();
  msg_t* req = g.pending_reset;
  g.pending_reset = nullptr;
  if (req) {
    foip__reset_config rec{};
    rec.confirm.return_code = 2;
    rec.confirm.error_code = 2;
    const foip_api__addr a{.from = ENT_FOIP, .to = req->from, .nai = req->nai};
    (void)foip_api__send_record(a, FOIP__RESET_CONFIG_CO, rec);
    Free_msg(req);
  }
  foip_trc__close_glb_event_file();
  foip_trc__close_glb_audit_file();
  release_global(g);
  g.sip_ready = 0;
  g.configured_mark = FOIP__MARK_INVALID;
  g.closed = 1;
}
