#include "common/server_settings.h"

#include <cstring>
#include <string>
#include <strings.h>

#include "common/ini_reader.h"
#include "common/program_log.h"
#include "common/shared_open.h"
#include "platform/paths.h"

namespace {

constexpr const char* kSettingsFileName = "KORVANE.INI";
constexpr std::size_t kMaxLogFilePath = 268;

// Reads one folder value, first "Name:" then "Name=", searched from just
// behind the paragraph line; a value with no room for its trailing backslash
// counts as missing.
void ReadArea(FILE* f, long paragraph, const char* name, char* out, std::size_t size) {
  const std::string colon = std::string(name) + ":";
  const std::string equals = std::string(name) + "=";
  out[0] = '\0';
  if (!IniGetString(f, colon.c_str(), out, static_cast<int>(size), paragraph)) {
    IniGetString(f, equals.c_str(), out, static_cast<int>(size), paragraph);
  }
  if (!AddBackslash(out, size)) {
    LogMessage(5, "%s value too long in %s file", name, kSettingsFileName);
    out[0] = '\0';
  }
}

// "NAME [PARAGRAPH]": the computer name and its devices paragraph (or the
// default when none follows the name).
void SplitServerEntry(const char* value, std::string* name, std::string* paragraph, const char* default_paragraph) {
  std::string v(value);
  const std::size_t blank = v.find_first_of(" \t");
  *name = v.substr(0, blank);
  std::string rest = blank == std::string::npos ? std::string() : v.substr(blank + 1);
  const std::size_t first = rest.find_first_not_of(" \t");
  rest = first == std::string::npos ? std::string() : rest.substr(first);
  *paragraph = rest.empty() ? std::string(default_paragraph) : rest;
}

void ReadFailover(FILE* setup, SystemParams& p) {
  char line[kIniLineSize];
  long para = 0;
  if (!IniFindParagraph(setup, "[FAILOVER]", line, sizeof line, &para)) return;

  const std::string computer = platform::ComputerName();
  char value[kIniLineSize];
  if (IniGetString(setup, "PrimaryServer:", value, sizeof value, para) && value[0]) {
    std::string name, paragraph;
    SplitServerEntry(value, &name, &paragraph, "[DEVICES]");
    if (!computer.empty() && strcasecmp(name.c_str(), computer.c_str()) == 0) {
      SafeStrncpy(p.DevicesParagraph, paragraph.c_str(), sizeof p.DevicesParagraph);
    }
  }
  if (IniGetString(setup, "BackupServer:", value, sizeof value, para) && value[0]) {
    std::string name, paragraph;
    SplitServerEntry(value, &name, &paragraph, "[DEVICES-BACKUP]");
    if (!computer.empty() && strcasecmp(name.c_str(), computer.c_str()) == 0) {
      SafeStrncpy(p.DevicesParagraph, paragraph.c_str(), sizeof p.DevicesParagraph);
    }
  }
  if (!p.DevicesParagraph[0]) SafeStrncpy(p.DevicesParagraph, "[DEVICES]", sizeof p.DevicesParagraph);

  i16 timeout = p.FailoverTimeout;
  if (IniGetShort(setup, "Timeout:", &timeout, para)) {
    p.FailoverTimeout = (timeout >= 1 && timeout <= 30) ? timeout : 2;
  }
  i16 startup = p.FailoverStartupTimeout;
  if (IniGetShort(setup, "StartupTimeout:", &startup, para)) {
    p.FailoverStartupTimeout = (startup >= 5 && startup <= 20) ? startup : 5;
  }
}

void ReadOptions(FILE* setup, SystemParams& p) {
  char line[kIniLineSize];
  long para = 0;
  char log_file[kMaxLogFilePath + 1] = {};
  SafeStrncpy(log_file, kServerLogName, sizeof log_file);
  const bool have_options = IniFindParagraph(setup, "[OPTIONS]", line, sizeof line, &para) != 0;
  if (have_options) {
    if (!IniGetString(setup, "LogFile:", log_file, sizeof log_file, para) || !log_file[0]) {
      SafeStrncpy(log_file, kServerLogName, sizeof log_file);
    }
    IniGetShort(setup, "LogKeepDays: ", &p.LogKeepDays, para);
    IniGetShort(setup, "LogLevel: ", &p.LogLevel, para);
  }

  u16 language = 0;
  if (have_options && IniGetShort(setup, "Language:", &language, para)) {
    switch (language) {
      case 0x40A: SafeStrncpy(p.LanguageCode, "ESP", sizeof p.LanguageCode); break;
      case 0x407: SafeStrncpy(p.LanguageCode, "DEU", sizeof p.LanguageCode); break;
      case 0x410: SafeStrncpy(p.LanguageCode, "ITA", sizeof p.LanguageCode); break;
      case 0x40C: SafeStrncpy(p.LanguageCode, "FRA", sizeof p.LanguageCode); break;
      default:
        SafeStrncpy(p.LanguageCode, "ENG", sizeof p.LanguageCode);
        language = 0x409;
        break;
    }
    p.Language = language;
  } else {
    p.Language = platform::SystemLanguageId();
  }

  if (have_options) {
    IniGetShort(setup, "ServerProgSleepMS:", &p.ServerProgSleepMS, para);
    IniGetShort(setup, "ServiceStartTimeout:", &p.ServiceStartTimeout, para);
    IniGetLong(setup, "EPSMaxCheckChars:", &p.EPSMaxCheckChars, para);
    IniGetLong(setup, "EPSMaxCheckEscs:", &p.EPSMaxCheckEscs, para);
    IniGetBool(setup, "DetectEpson:", &p.DetectEpson, para);
  }

  if (GetFileNamePart(log_file) == log_file) {
    const std::string full = std::string(p.ServerArea) + "K-DB\\" + log_file;
    if (full.size() <= kMaxLogFilePath) {
      SafeStrncpy(p.LogFile, full.c_str(), sizeof p.LogFile);
    } else {
      LogMessage(6, "Invalid log file name '%s%s%s'", p.ServerArea, "K-DB\\", log_file);
      p.LogFile[0] = '\0';
    }
  } else {
    SafeStrncpy(p.LogFile, log_file, sizeof p.LogFile);
  }
}

}  // namespace

SystemParams& SystemParameters() {
  static SystemParams params;
  return params;
}

int ParentFolder(const char* folder, char* parent, std::size_t size) {
  if (!folder || !parent || size == 0) return 0;
  std::string f(folder);
  while (!f.empty() && (f.back() == '\\' || f.back() == '/')) f.pop_back();
  const std::size_t sep = f.find_last_of("\\/");
  if (sep == std::string::npos || sep + 2 > size) return 0;
  SafeStrncpy(parent, f.substr(0, sep + 1).c_str(), size);
  return 1;
}

StatusWord GetServerIniPath(char* path, std::size_t size) {
  const std::string p = platform::ServerIniPath();
  if (!path || p.size() + 1 > size) return STATUS_SETTINGS_NOT_FOUND;
  SafeStrncpy(path, p.c_str(), size);
  return platform::FileExists(p) ? STATUS_OK : STATUS_SETTINGS_NOT_FOUND;
}

StatusWord GetClientIniPath(char* path, std::size_t size) {
  const std::string p = platform::ClientIniPath();
  if (!path || size == 0 || p.empty() || p.size() + 1 > size) return STATUS_SETTINGS_NOT_FOUND;
  SafeStrncpy(path, p.c_str(), size);
  return platform::FileExists(p) ? STATUS_OK : STATUS_SETTINGS_NOT_FOUND;
}

StatusWord GetFolderPath(int folder, char* path, std::size_t size) {
  if (folder != kFolderApplicationData || !path) return STATUS_FOLDER_LOOKUP_FAILED;
  const std::string p = platform::ApplicationDataFolder();
  if (p.empty() || p.size() + 1 > size) return STATUS_FOLDER_LOOKUP_FAILED;
  SafeStrncpy(path, p.c_str(), size);
  return STATUS_OK;
}

StatusWord GetClientIniFolder(char* path, std::size_t size) {
  if (!path || size == 0) return STATUS_SETTINGS_NOT_FOUND;
  char folder[256];
  if (GetFolderPath(kFolderApplicationData, folder, sizeof folder) != STATUS_OK) {
    return GetClientIniPath(path, size);
  }
  const std::string own_folder = std::string(folder) + "/Halvorn/Korvane Client";
  const std::string own = own_folder + "/KVCLIENT.INI";
  if (!platform::MakeFolders(own_folder, 0700) || own.size() + 1 > size) {
    return GetClientIniPath(path, size);
  }
  SafeStrncpy(path, own.c_str(), size);
  if (platform::FileExists(own)) return STATUS_OK;
  char source[256];
  if (GetClientIniPath(source, sizeof source) != STATUS_OK) return STATUS_SETTINGS_NOT_FOUND;
  return platform::CopyFileTo(source, own) ? STATUS_OK : STATUS_SETTINGS_NOT_FOUND;
}

StatusWord FindClientIni(char* path, std::size_t size) {
  const StatusWord s = GetClientIniFolder(path, size);
  if (s != STATUS_OK && path && size > 0) path[0] = '\0';
  return s;
}

StatusWord ReadSystemParams(FILE** setup_ini) {
  if (setup_ini) *setup_ini = nullptr;
  SystemParams& p = SystemParameters();
  p = SystemParams{};

  char ini_path[512];
  if (GetServerIniPath(ini_path, sizeof ini_path) != STATUS_OK &&
      FindClientIni(ini_path, sizeof ini_path) != STATUS_OK) {
    LogMessage(6, "ERROR - File %s not found", kSettingsFileName);
    return STATUS_SETTINGS_NOT_FOUND;
  }
  FILE* f = SharedOpen(10, ini_path, "rb");
  if (!f) {
    LogMessage(6, "ERROR - Can't open file %s", ini_path);
    return STATUS_IO_FAILURE;
  }

  char line[kIniLineSize];
  long para = 0;
  if (!IniFindParagraph(f, "[SERVER]", line, sizeof line, &para)) {
    std::rewind(f);
    if (!IniFindParagraph(f, "[WORKSTATION]", line, sizeof line, &para)) {
      (void)std::fclose(f);
      LogMessage(6, "ERROR - [SERVER] Paragraph missing from %s file", kSettingsFileName);
      return STATUS_SERVER_PARAGRAPH_MISSING;
    }
  }
  ReadArea(f, para, "AllUserArea", p.AllUserArea, sizeof p.AllUserArea);
  ReadArea(f, para, "RequestArea", p.RequestArea, sizeof p.RequestArea);
  ReadArea(f, para, "ServerArea", p.ServerArea, sizeof p.ServerArea);
  ReadArea(f, para, "SystemArea", p.SystemArea, sizeof p.SystemArea);
  ReadArea(f, para, "MailArea", p.MailArea, sizeof p.MailArea);
  char user_area[kIniLineSize] = "";
  IniGetString(f, "UserArea:", user_area, sizeof user_area, para);
  IniGetBool(f, "ManualODBC:", &p.ManualODBC, para);
  // Files here are only read: closing them loses nothing.
  (void)std::fclose(f);

  bool failed = false;
  char parent[256];
  if (!p.SystemArea[0]) {
    LogMessage(6, "SystemArea line missing from %s file", kSettingsFileName);
    failed = true;
  }
  if (!p.ServerArea[0]) {
    const std::string derived =
        ParentFolder(p.SystemArea, parent, sizeof parent) ? std::string(parent) + "server\\" : std::string();
    if (!p.SystemArea[0] || derived.empty() || derived.size() >= sizeof p.ServerArea) {
      LogMessage(6, "ServerArea line missing from %s file", kSettingsFileName);
      failed = true;
    } else {
      SafeStrncpy(p.ServerArea, derived.c_str(), sizeof p.ServerArea);
    }
  }
  if (!p.AllUserArea[0]) {
    if (user_area[0] && ParentFolder(user_area, parent, sizeof parent) && std::strlen(parent) < sizeof p.AllUserArea) {
      SafeStrncpy(p.AllUserArea, parent, sizeof p.AllUserArea);
    } else {
      LogMessage(6, "AllUserArea line missing from %s file", kSettingsFileName);
      failed = true;
    }
  }
  if (!p.RequestArea[0]) {
    LogMessage(6, "RequestArea line missing from %s file", kSettingsFileName);
    failed = true;
  }
  if (p.MailArea[0]) {
    p.MailAreaGiven = 1;
  } else if (p.ServerArea[0] && ParentFolder(p.ServerArea, parent, sizeof parent)) {
    const std::string derived = std::string(parent) + "MAIL\\";
    if (derived.size() < sizeof p.MailArea) SafeStrncpy(p.MailArea, derived.c_str(), sizeof p.MailArea);
  }
  if (failed) return STATUS_AREA_MISSING;

  const std::string setup_path = std::string(p.SystemArea) + "K-DB\\SETUP.INI";
  FILE* setup = SharedOpen(30, setup_path.c_str(), "rb");
  if (!setup) {
    LogMessage(6, "ERROR - Unable to open file %s", setup_path.c_str());
    return STATUS_SETUP_INI_NOT_OPENED;
  }

  ReadFailover(setup, p);
  std::rewind(setup);
  if (IniFindParagraph(setup, "[WORKSTATION]", line, sizeof line, &para)) {
    IniGetBool(setup, "AutoEnrolClient:", &p.AutoEnrolClient, para);
  }
  std::rewind(setup);
  ReadOptions(setup, p);

  if (setup_ini) {
    std::rewind(setup);
    *setup_ini = setup;
  } else {
    (void)std::fclose(setup);
  }
  return STATUS_OK;
}
