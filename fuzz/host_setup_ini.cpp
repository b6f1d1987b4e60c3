// tessaly's reads of K-DB\SETUP.INI: the system settings ("[FAILOVER]",
// "[WORKSTATION]", "[OPTIONS]" through ReadSystemParams), the "[TESSALY]"
// values the host takes at start (log level, gateway, priority,
// configuration path) and the gateway reread before each send.  The input
// is the whole SETUP.INI.  Every text read stays terminated within its
// field, the numbers stay within their ranges, and a gateway that is no
// IPv4 address or port leaves the session's own in place.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/ini_reader.h"
#include "common/program_log.h"
#include "common/server_settings.h"
#include "host/dispatcher.h"

namespace {

std::string g_setup;

void Setup() {
  static bool done = [] {
    static char dir[] = "/tmp/kvfuzz-setup-XXXXXX";
    if (!mkdtemp(dir)) std::abort();
    const std::string area = std::string(dir) + "/";
    if (std::system(("mkdir -p '" + area + "K-DB'").c_str()) != 0) std::abort();
    const std::string ini = area + "KORVANE.INI";
    FILE* k = std::fopen(ini.c_str(), "wb");
    if (!k) std::abort();
    (void)std::fprintf(k, "[SERVER]\nSystemArea: %s\nServerArea: %s\nRequestArea: %s\nAllUserArea: %s\n", area.c_str(),
                       area.c_str(), area.c_str(), area.c_str());
    (void)std::fclose(k);
    setenv("KORVANE_INI_PATH", ini.c_str(), 1);
    g_setup = area + "K-DB/SETUP.INI";
    return true;
  }();
  (void)done;
}

void terminated(const char* text, std::size_t size) {
  if (std::memchr(text, 0, size) == nullptr) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Setup();
  if (size > 65536) return 0;
  FILE* f = std::fopen(g_setup.c_str(), "wb");
  if (!f) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, f) != size) std::abort();
  if (std::fclose(f) != 0) std::abort();

  SystemParameters() = SystemParams{};
  if (ReadSystemParams(nullptr) == STATUS_OK) {
    const SystemParams& p = SystemParameters();
    terminated(p.DevicesParagraph, sizeof p.DevicesParagraph);
    terminated(p.LogFile, sizeof p.LogFile);
    terminated(p.LanguageCode, sizeof p.LanguageCode);
    terminated(p.MailArea, sizeof p.MailArea);
    if (p.FailoverTimeout < 1 || p.FailoverTimeout > 30) std::abort();
    if (p.FailoverStartupTimeout < 5 || p.FailoverStartupTimeout > 20) std::abort();
  }

  // The start-up reads of "[TESSALY]".
  f = std::fopen(g_setup.c_str(), "rb");
  if (!f) std::abort();
  char line[kIniLineSize];
  long para = 0;
  if (IniFindParagraph(f, "[TESSALY]", line, sizeof line, &para) == 1) {
    std::int16_t level = 3;
    IniGetShort(f, "LogLevel:", &level, para);
    std::uint16_t priority = 2;
    IniGetShort(f, "ProcessPriority:", &priority, para);
    char text[kIniLineSize];
    for (const char* key : {"SIPGatewayAddress:", "ConfigPath:", "LocalSIPPort:"}) {
      std::memset(text, 'x', sizeof text);
      text[0] = 0;
      IniGetString(f, key, text, sizeof text, para);
      terminated(text, sizeof text);
    }
  }
  (void)std::fclose(f);

  // The gateway reread before a send.
  SystemParameters() = SystemParams{};
  (void)std::snprintf(SystemParameters().SystemArea, sizeof SystemParameters().SystemArea, "%s",
                      g_setup.substr(0, g_setup.size() - std::strlen("K-DB/SETUP.INI")).c_str());
  foip__session_param param{};
  param.sip_session_param.remote_sip_addr.ip_port = 5070;
  ReadGatewaySettings(param);
  if (param.sip_session_param.remote_sip_addr.ip_port == 0) std::abort();
  return 0;
}
