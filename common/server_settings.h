// Server settings that both programs read first at start-up: the server's
// folders from KORVANE.INI and a few options from K-DB\SETUP.INI.
#pragma once

#include <cstdint>
#include <cstdio>

#include "common/status_words.h"

// Folder values are server paths that end in a backslash when not empty.
struct SystemParams {
  char AllUserArea[256] = "";
  char RequestArea[256] = "";
  char ServerArea[256] = "";
  char SystemArea[256] = "";
  char MailArea[256] = "";
  int MailAreaGiven = 0;        // 0 when MailArea was derived from ServerArea
  int ManualODBC = 0;
  char DevicesParagraph[64] = "[DEVICES]";
  std::int16_t FailoverTimeout = 2;         // 1..30
  std::int16_t FailoverStartupTimeout = 5;  // 5..20
  int AutoEnrolClient = 0;
  char LogFile[269] = "";       // the log library's file for the server programs
  std::uint16_t LogKeepDays = 0;  // 1 or more: daily message log on
  std::int16_t LogLevel = 3;      // second threshold of LogMessage
  std::uint16_t Language = 0x409;
  char LanguageCode[4] = "ENG";
  std::uint16_t ServerProgSleepMS = 100;
  std::uint16_t ServiceStartTimeout = 600;
  std::uint32_t EPSMaxCheckChars = 1000;
  std::uint32_t EPSMaxCheckEscs = 200;
  int DetectEpson = 1;
};

// The settings of this process (defaults until ReadSystemParams runs).
SystemParams& SystemParameters();
