// app_foip_cnf__config: the start-up configuration and the building of the
// session records.
#include <cstdarg>
#include <cstring>
#include <string>

#include "platform/int_types.h"
#include "common/program_log.h"
#include "platform/paths.h"
#include "session/config/app_foip_cnf.h"
#include "session/config/app_foip_cnf_internal.h"
#include "session/config/app_foip_glb_cfg.h"
#include "session/config/app_foip_ini.h"
#include "session/config/app_foip_session_cfg.h"
#include "session/config/ini_tools_text.h"

namespace {

using ini_tools_text::format;

using app_foip_cnf_internal::log;

using app_foip_cnf_internal::trap;

u8 help_only(app_foip_cnf__context& ctx) {
  ctx.app_ended = 1;
  ctx.closed = 1;
  return APP_FOIP_CNF__HELP_ONLY;
}

// The "[TESSALY]" values that concern the global parameters.
void apply_setup_to_global(app_foip_cnf__context& ctx) {
  const app_foip_cnf__setup& s = ctx.setup;
  auto& sip = ctx.glb_param.glb_sip_param;
  sip.local_sip_addr.ip_addr.ip_family = OM_IP_FAMILY_V4;
  if (s.has_local_sip_port) sip.local_sip_addr.ip_port = s.local_sip_port;
  if (s.has_local_ip) {
    sip.local_sip_addr.sz_fqdn[0] = '\0';
    foip__set_ipv4(sip.local_sip_addr.ip_addr, s.local_ip);
  }
  if (s.has_registrar_ip) {
    sip.registrar_addr.sz_fqdn[0] = '\0';
    foip__set_ipv4(sip.registrar_addr.ip_addr, s.registrar_ip);
  }
  if (s.has_registrar_port) sip.registrar_addr.ip_port = s.registrar_port;
}

// The "[TESSALY]" values that concern session i; `quiet` leaves out the
// notes already logged when the session was built.
void apply_setup_to_session(const app_foip_cnf__setup& s, app_foip_cnf__session& session, std::size_t i,
                            bool quiet = false) {
  foip__session_param& p = session.cfg.param;
  auto& media = p.t38_media_add_param.local_media_add.local_media_ip_addr;
  if (s.has_local_ip) {
    media.sz_fqdn[0] = '\0';
    foip__set_ipv4(media.ip_addr, s.local_ip);
  }
  auto& remote = p.sip_session_param.remote_sip_addr;
  if (s.has_gateway_ip) {
    remote.sz_fqdn[0] = '\0';
    foip__set_ipv4(remote.ip_addr, s.gateway_ip);
  }
  if (s.has_gateway_port) remote.ip_port = s.gateway_port;
  auto& auth = p.sip_session_param.sip_authentication;
  if (s.has_user_name) foip__copy_text(auth.sz_user_name, s.user_name);
  if (s.has_password) foip__copy_text(auth.sz_user_password, s.password);
  auth.flag_enable = auth.sz_user_name[0] != '\0' && auth.sz_user_password[0] != '\0' && auth.sz_realm[0] != '\0';
  if (!quiet && (s.has_user_name || s.has_password) && auth.flag_enable == 0)
    log(4, "SIPUsername:/SIPPassword: not used by session %zu: no authentication realm in its file", i + 1);
  const u16 port = static_cast<u16>(s.media_port_start + 10 * i);
  media.ip_port = port;
  session.cfg.rotation_base = port;
  if (s.has_speed) p.fax_common_param.max_speed = app_foip_cnf__speed_code(s.speed);
}

// The session file of index i: its own element of the session list when the
// list has one, else the list's first file.
const char* session_file_for(const app_foip_ini__app_settings& app, std::size_t i) {
  if (i < app.session_file_count && app.session_file[i][0] != '\0') return app.session_file[i];
  return app.session_file[0];
}

// Reads a session file into a fresh record and copies it.  At index 0 the
// stored session tables are filled from it before the copy.
bool read_session(app_foip_cnf__context& ctx, const app_foip_cnf__options& options, app_foip_cnf__session& s,
                  const char* file) {
  foip__copy_text(s.file_name, file);
  app_foip_ini__init_session_values(s.cfg);
  std::string path = platform::ToLinuxPath(file);
  if (app_foip_ini__read_session_cfg(path.c_str(), s.cfg.values.values()) != 2) {
    trap(APP_FOIP_CNF__TRAP_SESSION_CONFIG);
    return false;
  }
  if (s.index == 0) {
    ctx.stored_session_table[0] = s.cfg.values;
    ctx.stored_session_table[1] = s.cfg.values;
    log(1, "Storing session config into globals: %s", file);
    std::string sessionx = platform::ToLinuxPath(options.sessionx_path);
    if (platform::FileExists(sessionx)) {
      if (app_foip_ini__read_session_cfg(sessionx.c_str(), ctx.stored_session_table[1].values()) == 2) {
        log(1, "%s detected", options.sessionx_path);
      } else {
        log(1, "%s not detected", options.sessionx_path);
        ctx.stored_session_table[1] = ctx.stored_session_table[0];
      }
    }
  }
  if (app_foip_ini__copy_cnf_tbl_2_cnf_struct(s.cfg.values.values(), s.cfg, ctx.glb_param) != 2) {
    trap(APP_FOIP_CNF__TRAP_SESSION_CONFIG);
    return false;
  }
  return true;
}

// Appends the copy number to a user name ("%s_%d") or a phone number
// ("%s%d"); false when the result does not fit its field.
template <std::size_t N>
bool numbered_identity(char (&field)[N], bool by_name, int number) {
  std::string text = by_name ? format("%s_%d", field, number) : format("%s%d", field, number);
  if (text.size() >= N) return false;
  foip__copy_text(field, text.c_str());
  return true;
}

// Makes session index i a copy of a source record.
bool copy_from_source(app_foip_cnf__context& ctx, const app_foip_cnf__session& source, bool is_source_1, u16 offset,
                      app_foip_cnf__session& s) {
  const std::size_t i = s.index;
  s.cfg = source.cfg;
  s.ref_nai = source.nai;
  foip__copy_text(s.file_name, source.file_name);
  foip__session_param& p = s.cfg.param;
  auto& media = p.t38_media_add_param.local_media_add.local_media_ip_addr;
  const u32 port = u32(source.cfg.param.t38_media_add_param.local_media_add.local_media_ip_addr.ip_port) + offset;
  if (port + 9 > 0xFFFF) {
    log(5, "app_foip_cnf__config session %zu: no room for its media ports above %u", i + 1, unsigned(port - offset));
    trap(APP_FOIP_CNF__TRAP_SESSION_CONFIG);
    return false;
  }
  media.ip_port = static_cast<u16>(port);
  s.cfg.rotation_base = media.ip_port;

  auto& id = p.t38_media_add_param.sip_media_identification;
  const int number = is_source_1 ? int(i + 1) : int(i);
  const bool local_by_name = id.local_user_identification == FOIP__USR_ID__NAME;
  const bool remote_by_name = id.remote_user_identification == FOIP__USR_ID__NAME;
  bool fits = local_by_name ? numbered_identity(id.sz_local_user_name, true, number)
                            : numbered_identity(id.sz_local_user_phone_number, false, number);
  fits = fits && (remote_by_name ? numbered_identity(id.sz_remote_user_name, true, number)
                                 : numbered_identity(id.sz_remote_user_phone_number, false, number));
  if (!fits) {
    log(5, "app_foip_cnf__config session %zu: identification too long for the number %d", i + 1, number);
    trap(APP_FOIP_CNF__TRAP_SESSION_CONFIG);
    return false;
  }
  log(1, "app_foip_cnf__config local identification: %s",
      local_by_name ? id.sz_local_user_name : id.sz_local_user_phone_number);
  log(1, "app_foip_cnf__config remote identification: %s",
      remote_by_name ? id.sz_remote_user_name : id.sz_remote_user_phone_number);

  auto& trc = p.trc_param;
  if (trc.event.display_event_bfi != 0) trc.event.display_event_bfi = 4;
  const char* path = ctx.app.auto_build_trace_path;
  if (path[0] == '\0') {
    trc.event.record_event_bfi = 0;
    trc.t38_trc.t38_trc_bfi = 0;
    trc.audit.sz_fname_audit[0] = '\0';
    trc.event.sz_fname_event[0] = trc.t38_trc.sz_fname_t38_trc[0] = '\0';
    return true;
  }
  struct trace_name {
    bool on;
    const char* pattern;
    char* field;
  } const names[] = {
      {trc.event.record_event_bfi != 0, "__trc_evt_session%03d.txt", trc.event.sz_fname_event},
      {trc.t38_trc.t38_trc_bfi != 0, "__trc_t38_session%03d.txt", trc.t38_trc.sz_fname_t38_trc},
      {trc.audit.sz_fname_audit[0] != '\0', "__trc_session%03d.aud", trc.audit.sz_fname_audit},
  };
  for (const trace_name& n : names) {
    if (!n.on) continue;
    std::string name = format("%s%s", path, format(n.pattern, int(i + 1)).c_str());
    if (name.size() >= FOIP__FNAME_MAX_LEN) {
      log(5, "app_foip_cnf__config session %zu: trace file name too long: %s", i + 1, name.c_str());
      trap(APP_FOIP_CNF__TRAP_SESSION_CONFIG);
      return false;
    }
    foip__copy_text(n.field, FOIP__FNAME_MAX_LEN, name.c_str());
  }
  return true;
}

void bind(app_foip_cnf__context& ctx, app_foip_cnf__session& s, nai_t nai) {
  s.nai = nai;
  s.cfg.param.session_general_param.nai = nai;
  s.cfg.param.fax_common_param.keep_bit_order__rx = 0;
  s.start_delay = ctx.app.start_delay;
}

bool build_plain(app_foip_cnf__context& ctx, const app_foip_cnf__options& options) {
  for (std::size_t i = 0; i < ctx.setup.max_sessions; ++i) {
    const char* file = session_file_for(ctx.app, i);
    if (file[0] == '\0') continue;
    auto s = std::make_unique<app_foip_cnf__session>();
    s->index = static_cast<u16>(i);
    if (!read_session(ctx, options, *s, file)) return false;
    apply_setup_to_session(ctx.setup, *s, i);
    bind(ctx, *s, ctx.session_nai[i]);
    ctx.sessions.push_back(std::move(s));
  }
  return true;
}

bool build_auto(app_foip_cnf__context& ctx, const app_foip_cnf__options& options) {
  const auto& app = ctx.app;
  if (app.auto_build_mode == 2 && std::strcmp(app.auto_build_source_1, app.auto_build_source_2) == 0) {
    trap(APP_FOIP_CNF__TRAP_AUTO_BUILD_CLASH);
    return false;
  }
  const app_foip_cnf__session* source_1 = nullptr;
  const app_foip_cnf__session* source_2 = nullptr;
  u16 offset = 0;
  for (std::size_t i = 0; i < ctx.setup.max_sessions; ++i) {
    auto s = std::make_unique<app_foip_cnf__session>();
    s->index = static_cast<u16>(i);
    const char* own = i < app.session_file_count ? app.session_file[i] : "";
    if (own[0] != '\0') {
      if (!read_session(ctx, options, *s, own)) return false;
      bind(ctx, *s, ctx.session_nai[i]);
      if (std::strcmp(own, app.auto_build_source_1) == 0) source_1 = s.get();
      else if (app.auto_build_mode == 2 && std::strcmp(own, app.auto_build_source_2) == 0) source_2 = s.get();
    } else {
      if (source_1 == nullptr) break;
      const bool use_source_1 = app.auto_build_mode == 1 || i % 2 == 0;
      if (!use_source_1 && source_2 == nullptr) {
        trap(APP_FOIP_CNF__TRAP_AUTO_BUILD_NO_SOURCE_2);
        return false;
      }
      if (use_source_1) offset = static_cast<u16>(offset + 10);
      if (!copy_from_source(ctx, use_source_1 ? *source_1 : *source_2, use_source_1, offset, *s)) return false;
      bind(ctx, *s, ctx.session_nai[i]);
    }
    ctx.sessions.push_back(std::move(s));
  }
  return true;
}

struct file_closer {
  void operator()(std::FILE* f) const { (void)std::fclose(f); }
};

// The configuration trace file: dumps, the configuration display, the media
// addressing table.
bool write_config_trace(app_foip_cnf__context& ctx, const char* glb_file_name) {
  const auto& event = ctx.glb_param.glb_trc_param.event;
  ctx.config_trace_file[0] = '\0';
  if ((event.record_event_bfi & 1) == 0 || event.sz_fname_event[0] == '\0') return true;
  std::string name = event.max_length_of_event_file < 0xFFFF ? format("%s_%d", event.sz_fname_event, 0)
                                                             : std::string(event.sz_fname_event);
  std::unique_ptr<std::FILE, file_closer> f(std::fopen(platform::ToLinuxPath(name).c_str(), "wb"));
  if (!f) {
    trap(APP_FOIP_CNF__TRAP_TRACE_FILE);
    return false;
  }
  foip__copy_text(ctx.config_trace_file, name.c_str());
  std::FILE* file = f.get();
  app_foip_cnf_internal::write_dumps(file);
  std::vector<app_foip_ini__session_view> views;
  for (const auto& s : ctx.sessions) views.push_back({s->file_name, s->nai, s->cfg.values.values()});
  const auto app_foip_ini__print_display = [file](const char* text) {
    (void)std::fputs(text, file);
    return INI_TOOLS__OUTPUT_OK;
  };
  app_foip_ini__display_config(glb_file_name, ctx.glb_table.values(), views.data(), views.size(),
                               app_foip_ini__print_display);
  if (ctx.app.auto_build_mode != 0) {
    (void)std::fprintf(file, "\nAuto build sessions\n    Mode                 : %d\n    Session reference    : %s\n",
                       int(ctx.app.auto_build_mode), ctx.app.auto_build_source_1);
    if (ctx.app.auto_build_mode == 2)
      (void)std::fprintf(file, "    Session reference 2  : %s\n", ctx.app.auto_build_source_2);
    (void)std::fprintf(file, "    Number of sessions   : %d\n\n", int(ctx.app.auto_build_count));
  }
  app_foip_cnf__display_media_table(
      ctx, [](const char* line, void* arg) { (void)std::fprintf(static_cast<std::FILE*>(arg), "%s\n", line); }, file);
  (void)std::fputs("\nHere APP_FOIP stops to write directly into this file. All access will be done thru FOIP API\n",
                   file);
  return true;
}

}  // namespace

u8 app_foip_cnf__config(const app_foip_cnf__startup_record& record, app_foip_cnf__context& ctx,
                        const app_foip_cnf__options& options) {
  ctx.magic = APP_FOIP_CNF__MAGIC_INIT;
  ctx.foip_ready = 0;
  ctx.sessions.clear();
  ctx.stored_session_table[0] = ini_tools__table();
  ctx.stored_session_table[1] = ini_tools__table();
  ctx.config_trace_file[0] = '\0';

  // Help only.
  if (record.run_mode != 0) {
    app_foip_cnf__display_command_line_help();
    if (record.run_mode == 2) app_foip_ini__write_help(record.help_fname);
    return help_only(ctx);
  }
  if (record.glb_cfg_path[0] == '\0') {
    app_foip_cnf__display_command_line_help();
    return help_only(ctx);
  }

  // Global configuration.
  ctx.glb_table = app_foip_ini__new_glb_table();
  std::string glb_path = platform::ToLinuxPath(record.glb_cfg_path);
  if (app_foip_ini__read_glb_cfg(glb_path.c_str(), ctx.glb_table.values()) != 2) return APP_FOIP_CNF__FAILED;
  ctx.glb_param = foip__global_param{};
  ctx.app = app_foip_ini__app_settings{};
  if (app_foip_ini__copy_glb_cnf_tbl_2_glb_cnf_struct(ctx.glb_table.values(), ctx.glb_param, ctx.app) != 2) {
    trap(APP_FOIP_CNF__TRAP_GLOBAL_CONFIG);
    return APP_FOIP_CNF__FAILED;
  }

  // Settings of the fax server.
  std::unique_ptr<std::FILE, file_closer> setup(
      std::fopen(platform::ToLinuxPath(options.setup_ini_path).c_str(), "rb"));
  if (!setup) {
    log(5, "Cannot find or open setup.ini file");
    return APP_FOIP_CNF__FAILED;
  }
  std::string computer = options.computer_name != nullptr ? options.computer_name : platform::ComputerName();
  u8 read = app_foip_cnf__read_setup(setup.get(), computer.c_str(), &ctx.setup);
  setup.reset();
  if (read != 2) return APP_FOIP_CNF__FAILED;
  if (ctx.setup.paragraph_found) {
    apply_setup_to_global(ctx);
    log(1, "Read settings from setup.ini");
  }

  app_foip_cnf__display_keyboard_help(ctx);
  std::memcpy(ctx.session_nai, record.session_nai, sizeof ctx.session_nai);

  // Session records.
  bool built = ctx.app.auto_build_mode == 0 ? build_plain(ctx, options) : build_auto(ctx, options);
  if (!built) return APP_FOIP_CNF__FAILED;

  ctx.sip_nai = record.sip_nai;
  ctx.glb_param.glb_sip_param.sig_nai = record.sip_nai;
  app_foip_cnf__build_media_table(ctx);
  ctx.user_evt_timer_ms = 100;
  for (const auto& s : ctx.sessions)
    if (s->cfg.register_wanted) ctx.user_evt_timer_ms = 15000;

  if (!write_config_trace(ctx, record.glb_cfg_path)) return APP_FOIP_CNF__FAILED;
  ctx.magic = APP_FOIP_CNF__MAGIC_CONFIGURED;
  return APP_FOIP_CNF__CONFIGURED;
}

bool app_foip_cnf__reload_session(const app_foip_cnf__context& ctx, app_foip_cnf__session& s, int which) {
  s.cfg.values = ctx.stored_session_table[which == 0 ? 0 : 1];
  if (app_foip_ini__copy_cnf_tbl_2_cnf_struct(s.cfg.values.values(), s.cfg, ctx.glb_param) != 2) return false;
  if (ctx.app.auto_build_mode == 0) apply_setup_to_session(ctx.setup, s, s.index, true);
  return true;
}
