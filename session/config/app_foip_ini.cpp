// The application's configuration files: reading, error monitor, help writer
// and the comment builders of the tables.
#include "platform/int_types.h"
#include "session/config/app_foip_ini.h"

#include <cstdio>
#include <string>

#include "common/program_log.h"
#include "runtime/om_os.h"
#include "session/config/app_foip_glb_cfg.h"
#include "session/config/app_foip_session_cfg.h"
#include "session/config/ini_tools_text.h"

namespace {

// The program log and the trap routine of the runtime, reached from this one
// place.
void program_log(int level, const char* text) { ProgramLog(level, "%s", text); }

// The trap's text is the host's to print from its code.
void raise_trap(u16 code) { om_os_trap(code); }

// Identification of the program at the top of the help.
constexpr const char* kIdentification = "TESSALY - fax over IP manager (@)APP_FOIP v2.7.1";

// Values of the running program named in the comments.
constexpr const char* kT38Banner = "(@)T38 v1.17.4 (24 Nov 2009)";
constexpr int kT38DfieldLimit = 50;
constexpr int kAutoBuildCount = 10;

using ini_tools_text::format;

}  // namespace

// ---------------------------------------------------------------------------
// Reading

void app_foip_ini__error_monitor(const char* text) {
  char message[255];
  (void)std::snprintf(message, sizeof message, "APP_FOIP: (error_monitor) Error into configuration file : %s\n", text);
  std::string line = std::string("app_foip_ini - error_monitor 1 : ") + message;
  program_log(1, line.c_str());
  raise_trap(APP_FOIP_INI__TRAP_CONFIG_FILE);
}

u8 app_foip_ini__read_glb_cfg(const char* file_name, ini_tools__value* glb_table) {
  u8 result = ini_tools__read_cfg_file(file_name, app_foip_ini__glb_sections, app_foip_ini__glb_keywords,
                                       app_foip_ini__error_monitor, glb_table);
  return result == INI_TOOLS__READ_DONE ? 2 : 3;
}

u8 app_foip_ini__read_session_cfg(const char* file_name, ini_tools__value* session_table) {
  u8 result = ini_tools__read_cfg_file(file_name, app_foip_ini__session_sections, app_foip_ini__session_keywords,
                                       app_foip_ini__error_monitor, session_table);
  return result == INI_TOOLS__READ_DONE ? 2 : 3;
}

void app_foip_ini__display_config(const char* glb_file_name, const ini_tools__value* glb_table,
                                  const app_foip_ini__session_view* sessions, std::size_t count,
                                  const ini_tools__output_cb& print_display) {
  auto header = [&](int n, const std::string& text) {
    print_display(text.c_str());
    program_log(1, format("app_foip_ini - app_foip_ini__display_config %d :%s", n, text.c_str()).c_str());
  };
  header(1, format("--------------------------------------\nGlobal configuration\n    File name: %s\n\n",
                   glb_file_name != nullptr ? glb_file_name : ""));
  if (ini_tools__display_values(glb_table, app_foip_ini__glb_sections, app_foip_ini__glb_keywords, print_display) ==
      INI_TOOLS__OUTPUT_STOP)
    return;
  constexpr std::size_t kMaxSessions = glb_cfg::max_session_files;
  for (std::size_t i = 0; i < count && i < kMaxSessions; ++i) {
    const app_foip_ini__session_view& s = sessions[i];
    if (s.file_name == nullptr || s.file_name[0] == '\0' || s.table == nullptr) continue;
    header(2, format("\n\n--------------------------------------\nSession #%d configuration\n    File name: %s\n"
                     "    Nai      : %d\n\n",
                     int(i + 1), s.file_name, int(s.nai)));
    if (ini_tools__display_values(s.table, app_foip_ini__session_sections, app_foip_ini__session_keywords,
                                  print_display) == INI_TOOLS__OUTPUT_STOP)
      return;
  }
  header(3, "\n\n--------------------------------------\n");
}

// ---------------------------------------------------------------------------
// Help

u8 app_foip_ini__write_help_to(const ini_tools__output_cb& output) {
  bool stopped = false;
  auto put = [&](const char* text) {
    if (!stopped && output(text) == INI_TOOLS__OUTPUT_STOP) stopped = true;
  };
  auto part = [&](u8 result) {
    if (result == INI_TOOLS__OUTPUT_STOP) stopped = true;
  };

  put("  The program configuration is done thru a global configuration file (glb_fname.cfg),\n");
  put("  and each T.38 session is configured thru its own configuration file:\n");
  put("\n");
  put("  Each keyword may be written with its verbose name or with its \"C string\" name,\n");
  put("  the path of the matching field in the configuration structure of the FOIP API.\n");
  put("  For instance these two lines of glb.cfg set the same value:\n");
  put("      display progress bar = TRUE\n");
  put("      glb_trc_param.event.flag_display_progress_bar = TRUE\n");
  put("  Names are matched without regard to case and to the blanks around them.\n");
  put("  A ';' starts a comment up to the end of the line.\n\n");

  struct file_part {
    const char* dashes;
    const char* title;
    const char* end;
    const ini_tools__value* table;
    const ini_tools__section* sections;
    const ini_tools__keyword* keywords;
  };
  ini_tools__table glb = app_foip_ini__new_glb_table();
  ini_tools__table session = app_foip_ini__new_session_table();
  const file_part parts[] = {
      {"; -------------------------------------------------\n", "; Global configuration file\n\n",
       "; (End) Global configuration file\n", glb.values(), app_foip_ini__glb_sections, app_foip_ini__glb_keywords},
      {"; --------------------------------------------------\n", "; Session configuration file\n\n",
       "; (End) Session configuration file\n", session.values(), app_foip_ini__session_sections,
       app_foip_ini__session_keywords},
  };
  for (const file_part& p : parts) {
    put(p.dashes);
    put(p.title);
    put("; Skeleton\n");
    put("; --------\n");
    if (!stopped) part(ini_tools__write_skeleton(0, p.table, p.sections, p.keywords, output));
    put("\n");
    put("; Skeleton + Comments\n");
    put("; -------------------\n");
    if (!stopped) part(ini_tools__write_skeleton(1, p.table, p.sections, p.keywords, output));
    put(p.end);
    put(p.dashes);
    put("\n");
  }
  return stopped ? INI_TOOLS__OUTPUT_STOP : INI_TOOLS__OUTPUT_OK;
}

u8 app_foip_ini__write_help(const char* file_name) {
  std::FILE* file = nullptr;
  if (file_name != nullptr && file_name[0] != '\0') {
    file = std::fopen(file_name, "wb");
    if (file == nullptr) {
      raise_trap(APP_FOIP_INI__TRAP_HELP_FILE);
      return 3;
    }
  }
  // Each text goes to the help file (or the console) and to the program log.
  auto app_foip_ini__print_help = [file](const char* text) -> u8 {
    (void)std::fputs(text, file != nullptr ? file : stdout);
    program_log(1, text);
    return INI_TOOLS__OUTPUT_OK;
  };
  app_foip_ini__print_help("\n");
  app_foip_ini__print_help(kIdentification);
  app_foip_ini__print_help("\n\n");
  app_foip_ini__write_help_to(app_foip_ini__print_help);
  if (file != nullptr) {
    std::printf("\nHelp has been saved into file: %s\n", file_name);
    (void)std::fflush(stdout);
    (void)std::fclose(file);
  }
  return 2;
}

// ---------------------------------------------------------------------------
// Comment builders

const char* app_foip_ini__assert_control_comment() {
  static const std::string text =
      ";   : Comment   : Checks made by the runtime on its pools and messages:\n"
      ";   :             RESET_DATA_AREA          fills released data areas\n"
      ";   :             CHECK_BLOCKS             checks the blocks at each allocation\n"
      ";   :             CHECK_MSG_BUFFER_HEADER  checks message and buffer headers\n"
      ";   :             CHECK_CACHE              checks the block caches\n"
      ";   :             NO_AUDIT__NO_CHECKS      no runtime audit and no checks at all\n";
  return text.c_str();
}

const char* app_foip_ini__auto_build_mode_comment() {
  static const std::string text = format(
      ";   : Comment   : Disable        : the sessions are those of [[Session configurations]].\n"
      ";   :             Duplicate      : \"number of sessions\" sessions (default %d) are built\n"
      ";   :                              from the reference session files.\n"
      ";   :             Duplicate Loop : as Duplicate, and the batch is run again and again\n"
      ";   :                              (default batch counter %d).\n",
      kAutoBuildCount, kAutoBuildCount);
  return text.c_str();
}

const char* app_foip_ini__t38_capabilities_comment() {
  static const std::string text = format(
      ";   : Capabilities of the T.38 module %s:\n"
      ";   :   UDPTL: T38FaxVersion %d, T38MaxBitRate %d, T38FaxRateManagement %s,\n"
      ";   :          T38FaxMaxBuffer %d, T38FaxMaxDatagram %d, T38FaxUdpEC %s\n"
      ";   :   TPKT : T38FaxVersion %d, T38MaxBitRate %d, T38FaxRateManagement %s\n",
      kT38Banner, 1, 14400, "transferredTCF", 10500, 1500, "t38UDPRedundancy", 1, 14400, "transferredTCF");
  return text.c_str();
}

const char* app_foip_ini__display_event_comment() {
  static const std::string text = format(
      ";   : Comment   : Classes of events shown on the console.  With the progress bar\n"
      ";   :             of glb.cfg, each T.38 session started adds one letter to the line:\n"
      ";   :             '%c' T.38 over UDP, '%c' T.38 over TCP.\n",
      'u', 't');
  return text.c_str();
}

const char* app_foip_ini__kept_dfield_comment() {
  static const std::string text = format(
      ";   : Comment   : TRUE: the data fields of an IFP packet are traced as they were\n"
      ";   :             received; FALSE: they are joined.  At most %d bytes of a data\n"
      ";   :             field are written.\n",
      kT38DfieldLimit);
  return text.c_str();
}
