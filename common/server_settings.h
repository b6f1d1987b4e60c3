// Server settings that both programs read first at start-up: the server's
// folders from KORVANE.INI and a few options from K-DB\SETUP.INI, and the
// lookup of those files.
#pragma once

#include <cstdint>
#include <cstdio>

#include "common/status_words.h"
#include "platform/int_types.h"

// The log library's file when "LogFile:" names none, in the server's K-DB
// folder. Tessaly's library log uses the same name, so that on a
// case-sensitive file system the server programs still share one file.
inline constexpr const char kServerLogName[] = "SERVER.LOG";

// Folder values are server paths that end in a backslash when not empty.
struct SystemParams {
  char AllUserArea[256] = "";
  char RequestArea[256] = "";
  char ServerArea[256] = "";
  char SystemArea[256] = "";
  char MailArea[256] = "";
  int MailAreaGiven = 0;  // 0 when MailArea was derived from ServerArea
  int ManualODBC = 0;
  char DevicesParagraph[64] = "[DEVICES]";
  i16 FailoverTimeout = 2;         // 1..30
  i16 FailoverStartupTimeout = 5;  // 5..20
  int AutoEnrolClient = 0;
  char LogFile[269] = "";  // the log library's file for the server programs
  u16 LogKeepDays = 0;     // 1 or more: daily message log on
  i16 LogLevel = 3;        // second threshold of LogMessage
  u16 Language = 0x409;
  char LanguageCode[4] = "ENG";
  u16 ServerProgSleepMS = 100;
  u16 ServiceStartTimeout = 600;
  u32 EPSMaxCheckChars = 1000;
  u32 EPSMaxCheckEscs = 200;
  int DetectEpson = 1;
};

// The settings of this process (defaults until ReadSystemParams runs).
SystemParams& SystemParameters();

// Reads the settings: finds KORVANE.INI (GetServerIniPath, else
// FindClientIni), reads "[SERVER]" (or "[WORKSTATION]") for the folders,
// then K-DB\SETUP.INI in the system folder for "[FAILOVER]",
// "[WORKSTATION]" and "[OPTIONS]".  When `setup_ini` is given, the open
// SETUP.INI stream (rewound) is handed over there; else it is closed.
// Returns 0, or 0xF018 settings file not found, 0xF00C not opened, 0xF019 no
// "[SERVER]" or "[WORKSTATION]", 0xF025 a required area missing, 0xF026
// SETUP.INI not opened; every failure is logged at level 6.
StatusWord ReadSystemParams(FILE** setup_ini);

// Path of KORVANE.INI ($KORVANE_INI_PATH, else /var/lib/korvane/KORVANE.INI)
// into `path` (`size` bytes); 0 when that file exists, else 0xF018.
StatusWord GetServerIniPath(char* path, std::size_t size);

// Path of the client settings file ($KORVANE_CLIENT_INI_PATH); 0 when that
// file exists, else 0xF018.
StatusWord GetClientIniPath(char* path, std::size_t size);

// Special folders.
inline constexpr int kFolderApplicationData = 0x1A;
// The folder's path; 0, or 0xF000 when the folder is not known.
StatusWord GetFolderPath(int folder, char* path, std::size_t size);

// The user's own copy of the client settings: the application-data folder,
// "Halvorn\", "Korvane Client\" (each created) and "KVCLIENT.INI"; when that
// file is missing there, the file found by GetClientIniPath is copied to it.
// Returns 0 or 0xF018.  FindClientIni is the same but empties the path on
// failure.
StatusWord GetClientIniFolder(char* path, std::size_t size);
StatusWord FindClientIni(char* path, std::size_t size);

// The folder that holds `folder` (a server path, trailing backslash ignored),
// with its trailing separator: "E:\FAX\SYSTEM\" gives "E:\FAX\".  Returns 0
// when there is no parent or it does not fit.
[[nodiscard]] int ParentFolder(const char* folder, char* parent, std::size_t size);
