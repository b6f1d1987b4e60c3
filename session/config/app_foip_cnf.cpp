// Start-up configuration: glb.cfg, "[TESSALY]" of SETUP.INI, session records,
// stored session tables, media addressing table and configuration trace file.
#include "platform/int_types.h"
#include "session/config/app_foip_cnf.h"

#include <cctype>
#include <cstdarg>
#include <cstring>
#include <string>

#include "common/byte_order.h"
#include "common/ini_reader.h"
#include "common/program_log.h"
#include "platform/paths.h"
#include "runtime/om_os.h"
#include "session/config/app_foip_cnf_internal.h"
#include "session/config/app_foip_ini.h"
#include "session/config/app_foip_session_cfg.h"
#include "session/config/ini_tools_text.h"

namespace {

using ini_tools_text::format;

// ---------------------------------------------------------------------------
// Hooks

void default_print(const char* line) {
  std::printf("%s\n", line);
  ProgramLog(1, "app_foip_cnf - %s", line);
}
void default_trap(u16 code) { om_os_trap(code); }

app_foip_cnf__hooks g_hooks;

void print(const std::string& line) { (g_hooks.print != nullptr ? g_hooks.print : default_print)(line.c_str()); }

using app_foip_cnf_internal::log;

std::string dotted(const om_ip_addr_t& a) {
  const u8* b = a.addr.v4.addr;
  return format("%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
}

// ---------------------------------------------------------------------------
// SETUP.INI values

// Decimal digits only, at most 65535.
bool parse_u16(const char* text, u16* out) {
  if (text == nullptr || *text == '\0') return false;
  u32 v = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
    v = v * 10 + u32(*p - '0');
    if (v > 0xFFFF) return false;
  }
  *out = static_cast<u16>(v);
  return true;
}

// Computer names compared without regard to case.
bool same_name(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

class setup_reader {
 public:
  setup_reader(std::FILE* f, long start) : f_(f), start_(start) {}

  // The value of a key (true when the key is present).
  bool text(const char* key, std::string& value) {
    char buffer[kIniLineSize];
    if (IniGetString(f_, key, buffer, sizeof buffer, start_) != 1) return false;
    value = buffer;
    return true;
  }

  // A 16-bit number; a value that is not one keeps the default, logged.
  bool number(const char* key, u16* value) {
    std::string t;
    if (!text(key, t)) return false;
    u16 v = 0;
    if (!parse_u16(t.c_str(), &v)) {
      log(4, "Bad value for %s \"%s\", %u used", key, t.c_str(), unsigned(*value));
      return false;
    }
    *value = v;
    return true;
  }

  // An IPv4 text; false with *bad set when the value is not a valid one.
  bool ipv4(const char* key, const std::string& t, u32* value) {
    if (foip__parse_ipv4(t.c_str(), value)) return true;
    log(5, "Bad IPv4 address for %s \"%s\"", key, t.c_str());
    bad_ = true;
    return false;
  }
  bool ipv4(const char* key, u32* value, bool* present) {
    std::string t;
    *present = false;
    if (!text(key, t) || t.empty()) return false;
    *present = ipv4(key, t, value);
    return *present;
  }

  // A text of at most room - 1 characters; a longer one is refused.
  bool bounded(const char* key, char* out, std::size_t room, bool* present) {
    std::string t;
    *present = false;
    if (!text(key, t)) return false;
    if (t.size() >= room) {
      log(5, "%s longer than %zu characters", key, room - 1);
      bad_ = true;
      return false;
    }
    foip__copy_text(out, room, t.c_str());
    *present = true;
    return true;
  }

  // "...Alt:" keys: "computer value".  Returns 0 absent, 1 for this
  // computer (value set), 2 for another computer.
  int alt(const char* key, const char* computer, std::string* value) {
    std::string t;
    if (!text(key, t)) return 0;
    int len = 0;
    const char* next = nullptr;
    const char* first = IniNextToken(t.c_str(), &len, &next);
    std::string name(first, std::size_t(len));
    if (computer == nullptr || !same_name(name, computer)) return 2;
    *value = next != nullptr ? std::string(next) : std::string();
    std::size_t end = value->find_last_not_of(" \t");
    value->erase(end == std::string::npos ? 0 : end + 1);
    return 1;
  }

  bool bad() const { return bad_; }

 private:
  std::FILE* f_;
  long start_;
  bool bad_ = false;
};

}  // namespace

u8 app_foip_cnf__speed_code(u16 speed) {
  switch (speed) {
    case 2400: return 2;
    case 4800: return 4;
    case 7200: return 7;
    case 9600: return 9;
    case 12000: return 12;
    default: return 14;
  }
}

u8 app_foip_cnf__read_setup(std::FILE* setup_ini, const char* computer_name, app_foip_cnf__setup* out) {
  *out = app_foip_cnf__setup{};
  char line[kIniLineSize];
  long position = 0;
  std::rewind(setup_ini);
  if (IniFindParagraph(setup_ini, "[TESSALY]", line, sizeof line, &position) != 1) return 2;
  out->paragraph_found = true;
  setup_reader r(setup_ini, position);
  std::string value;

  switch (r.alt("LocalSIPPortAlt:", computer_name, &value)) {
    case 0: out->has_local_sip_port = r.number("LocalSIPPort:", &out->local_sip_port); break;
    case 1:
      if (parse_u16(value.c_str(), &out->local_sip_port)) out->has_local_sip_port = true;
      else log(4, "Bad value for %s \"%s\"", "LocalSIPPortAlt:", value.c_str());
      break;
    default: break;  // another computer's port: none set
  }
  switch (r.alt("LocalIPAddressAlt:", computer_name, &value)) {
    case 0: r.ipv4("LocalIPAddress:", &out->local_ip, &out->has_local_ip); break;
    case 1: out->has_local_ip = r.ipv4("LocalIPAddressAlt:", value, &out->local_ip); break;
    default: break;
  }
  u16 max_sessions = 0;
  if (r.number("MaxSessions:", &max_sessions) && max_sessions > FOIP__MAX_MEDIA_NA) {
    log(4, "MaxSessions: %u is more than the %zu sessions of the program, %zu sessions are built",
        unsigned(max_sessions), FOIP__MAX_MEDIA_NA, FOIP__MAX_MEDIA_NA);
    max_sessions = FOIP__MAX_MEDIA_NA;
  }
  out->max_sessions = max_sessions;
  out->has_speed = r.number("Speed:", &out->speed);
  r.ipv4("SIPGatewayAddress:", &out->gateway_ip, &out->has_gateway_ip);
  out->has_gateway_port = r.number("SIPGatewayPort:", &out->gateway_port);
  r.bounded("SIPUsername:", out->user_name, sizeof out->user_name, &out->has_user_name);
  r.bounded("SIPPassword:", out->password, sizeof out->password, &out->has_password);
  r.number("LocalMediaPortStart:", &out->media_port_start);
  // Each session takes ten ports from its first one.
  if (u32(out->media_port_start) + 10u * out->max_sessions > 0x10000u) {
    log(5, "LocalMediaPortStart: %u leaves no room for the ports of %u sessions", unsigned(out->media_port_start),
        unsigned(out->max_sessions));
    return 3;
  }
  r.ipv4("SIPRegistrarAddress:", &out->registrar_ip, &out->has_registrar_ip);
  out->has_registrar_port = r.number("SIPRegistrarPort:", &out->registrar_port);
  r.number("CalledDigitsOffset:", &out->called_digits_offset);
  return r.bad() ? 3 : 2;
}

// ---------------------------------------------------------------------------
// Start-up record

void app_foip_cnf__pack_startup_record(const app_foip_cnf__startup_record& r,
                                       u8 out[APP_FOIP_CNF__STARTUP_RECORD_SIZE]) {
  std::memcpy(out, r.reserved, 3);
  out[3] = r.run_mode;
  std::memcpy(out + 4, r.help_fname, APP_FOIP_CNF__FNAME_SIZE);
  std::memcpy(out + 104, r.glb_cfg_path, APP_FOIP_CNF__FNAME_SIZE);
  put_le16(out + 204, r.sip_nai);
  for (std::size_t i = 0; i < FOIP__MAX_MEDIA_NA; ++i) put_le16(out + 206 + 2 * i, r.session_nai[i]);
}

bool app_foip_cnf__unpack_startup_record(const u8* data, std::size_t size, app_foip_cnf__startup_record* out) {
  if (data == nullptr || size != APP_FOIP_CNF__STARTUP_RECORD_SIZE) return false;
  std::memcpy(out->reserved, data, 3);
  out->run_mode = data[3];
  std::memcpy(out->help_fname, data + 4, APP_FOIP_CNF__FNAME_SIZE);
  out->help_fname[APP_FOIP_CNF__FNAME_SIZE - 1] = '\0';
  std::memcpy(out->glb_cfg_path, data + 104, APP_FOIP_CNF__FNAME_SIZE);
  out->glb_cfg_path[APP_FOIP_CNF__FNAME_SIZE - 1] = '\0';
  out->sip_nai = get_le16(data + 204);
  for (std::size_t i = 0; i < FOIP__MAX_MEDIA_NA; ++i) out->session_nai[i] = get_le16(data + 206 + 2 * i);
  return true;
}

// ---------------------------------------------------------------------------
// Displays

void app_foip_cnf__set_hooks(const app_foip_cnf__hooks& hooks) { g_hooks = hooks; }

void app_foip_cnf_internal::log(int level, const char* fmt, ...) {
  char text[512];
  va_list args;
  va_start(args, fmt);
  (void)std::vsnprintf(text, sizeof text, fmt, args);
  va_end(args);
  ProgramLog(level, "app_foip_cnf - %s", text);
}

void app_foip_cnf_internal::trap(u16 code) { (g_hooks.trap != nullptr ? g_hooks.trap : default_trap)(code); }

void app_foip_cnf_internal::write_dumps(std::FILE* file) {
  if (g_hooks.write_dumps != nullptr) g_hooks.write_dumps(file);
}

void app_foip_cnf__display_command_line_help() {
  constexpr const char* kProgram = "product_7";
  print("Command line:");
  print(format("  o %s.exe -F<glb_fname.cfg>", kProgram));
  print("    Launch T.38 session followings contents of glb_fname.cfg");
  print(format("  o %s.exe -H", kProgram));
  print(format("  o %s.exe -H<hlp_fname.txt>", kProgram));
  print("    Display full help of this program (skeleton of configuration files)");
  print("    or save help into hlp_fname.txt");
}

void app_foip_cnf__display_keyboard_help(const app_foip_cnf__context& ctx) {
  if (ctx.app.batch_mode == 1) {
    print(format("Keyboard commands: Automatic start (Batch counter = %d)", int(ctx.app.batch_limit)));
    print("(disable automatic mode)");
  } else {
    print(format("Keyboard commands: %s", ""));
  }
  print("Key [S]: Stop session");
  print("Key [F]: Start Fax session");
  print("Key [X]: Exit (end of application)");
  print("Key [A]: Capture audit");
  print(format("WARNING: If SIP register have been requested then all commands will be delayed during %lu sec", 15ul));
}

app_foip_cnf__session* app_foip_cnf__context::session_of(nai_t nai) const {
  for (const auto& s : sessions)
    if (s->nai == nai) return s.get();
  return nullptr;
}

namespace {

std::string addr_text(const foip__full_ip_addr& a) {
  if (a.sz_fqdn[0] != '\0') return format("%s (%d)", a.sz_fqdn, int(a.ip_port));
  return format("%s (%d)", dotted(a.ip_addr).c_str(), int(a.ip_port));
}

std::string local_id(const foip__session_param& p) {
  const auto& id = p.t38_media_add_param.sip_media_identification;
  return id.local_user_identification == FOIP__USR_ID__NAME ? id.sz_local_user_name : id.sz_local_user_phone_number;
}
std::string remote_id(const foip__session_param& p) {
  const auto& id = p.t38_media_add_param.sip_media_identification;
  return id.remote_user_identification == FOIP__USR_ID__NAME ? id.sz_remote_user_name : id.sz_remote_user_phone_number;
}
const char* dir_text(u8 direction) { return direction == FOIP__DIR_OUT ? " Snd " : " Rcv "; }

}  // namespace

void app_foip_cnf__display_media_table(const app_foip_cnf__context& ctx, void (*out)(const char* line, void* arg),
                                       void* arg) {
  auto put = [&](const std::string& s) { out(s.c_str(), arg); };
  const auto& sip = ctx.glb_param.glb_sip_param;
  const bool nat = sip.nat.flag_nat_support != 0;
  put("Media addressing scheme");
  put("-----------------------");
  if (!nat) {
    put(format("Local SIP address: %s", addr_text(sip.local_sip_addr).c_str()));
  } else {
    put("NAT supported");
    put(format("Local private SIP address: %s", addr_text(sip.local_sip_addr).c_str()));
    put(format("Local public SIP address : %s", addr_text(sip.nat.nat_local_sip_addr).c_str()));
  }
  // One row: local media (nai, names, remote SIP address, media addresses,
  // direction), remote media (nai, media address, direction), loop index.
  auto row = [&](const char* nai, const char* local, const char* remote, const char* rsip, const char* media,
                 const char* public_media, const char* dir, const char* peer, const char* peer_media,
                 const char* peer_dir, const char* loop, const char* ref) {
    std::string nat_col = nat ? format(": %-22s", public_media) : "";
    return format(":%-3s: %-19s: %-19s: %-22s: %-22s%s:%-5s:%-3s: %-22s:%-5s:: %-3s: %s", nai, local, remote, rsip,
                  media, nat_col.c_str(), dir, peer, peer_media, peer_dir, loop, ref);
  };
  const std::string rule = std::string("+---+--------------------+--------------------+-----------------------+") +
                           "-----------------------" + (nat ? "+-----------------------" : "") +
                           "+-----+---+-----------------------+-----++----+";
  put(rule);
  put(row("", "Local media", "", "", "", "", "", "", "Remote media", "", "", ""));
  put(row("NAI", "Local name/phone nb", "Remote name/phone nb", "Remote SIP address", "Local private media add",
          "Local public media add", " Fax ", "NAI", "Local media address", " Fax ", "", ""));
  put(row("", "", "", "", "", "", " Dir ", "", "", " Dir ", "", ""));
  put(rule);
  for (const app_foip_cnf__media_entry& e : ctx.media_table) {
    if (e.nai == 0xFFFF) continue;
    const app_foip_cnf__session* s = ctx.session_of(e.nai);
    if (s == nullptr) continue;
    const foip__session_param& p = s->cfg.param;
    const auto& media = p.t38_media_add_param.local_media_add;
    const app_foip_cnf__session* peer = e.peer_nai != 0xFFFF ? ctx.session_of(e.peer_nai) : nullptr;
    std::string nai = format("%d", int(e.nai));
    std::string peer_nai = peer != nullptr ? format("%d", int(e.peer_nai)) : " - ";
    std::string peer_media =
        peer != nullptr ? addr_text(peer->cfg.param.t38_media_add_param.local_media_add.local_media_ip_addr) : "";
    std::string loop = e.loop_index != 0xFFFF ? format("%d", int(e.loop_index)) : "";
    std::string ref = s->ref_nai != 0xFFFF ? format("Ref Nai: %d", int(s->ref_nai)) : "";
    put(row(nai.c_str(), local_id(p).c_str(), remote_id(p).c_str(),
            addr_text(p.sip_session_param.remote_sip_addr).c_str(), addr_text(media.local_media_ip_addr).c_str(),
            addr_text(media.nat_local_media_ip_addr).c_str(), dir_text(s->cfg.direction), peer_nai.c_str(),
            peer_media.c_str(), peer != nullptr ? dir_text(peer->cfg.direction) : "", loop.c_str(), ref.c_str()));
  }
  put(rule);
}

void app_foip_cnf__build_media_table(app_foip_cnf__context& ctx) {
  for (auto& e : ctx.media_table) e = app_foip_cnf__media_entry{};
  for (std::size_t i = 0; i < FOIP__MAX_MEDIA_NA; ++i) {
    const app_foip_cnf__session* s = ctx.session_of(ctx.session_nai[i]);
    if (s == nullptr) continue;
    app_foip_cnf__media_entry& e = ctx.media_table[i];
    e.nai = s->nai;
    const auto& mine = s->cfg.param.t38_media_add_param.sip_media_identification;
    const bool by_name = mine.remote_user_identification == FOIP__USR_ID__NAME;
    for (std::size_t j = 0; j < FOIP__MAX_MEDIA_NA; ++j) {
      if (j == i) continue;
      const app_foip_cnf__session* other = ctx.session_of(ctx.session_nai[j]);
      if (other == nullptr || other == s) continue;
      const auto& theirs = other->cfg.param.t38_media_add_param.sip_media_identification;
      bool same = by_name ? std::strcmp(theirs.sz_local_user_name, mine.sz_remote_user_name) == 0
                          : std::strcmp(theirs.sz_local_user_phone_number, mine.sz_remote_user_phone_number) == 0;
      if (same) {
        e.peer_nai = other->nai;
        break;
      }
    }
    if (e.peer_nai == 0xFFFF) continue;
    for (std::size_t k = i; k-- > 0;) {
      const app_foip_cnf__media_entry& m = ctx.media_table[k];
      if (m.nai == e.peer_nai && m.peer_nai == e.nai) {
        e.loop_index = static_cast<u16>(k);
        break;
      }
    }
  }
}
