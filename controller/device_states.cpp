#include "platform/int_types.h"
#include "controller/device_states.h"

#include <array>

namespace {

struct StateRow {
  const char* name;
  // Report cells against the current state 1..13.
  std::array<u8, 13> report;
};

// Rows: new state 1..12.
constexpr std::array<StateRow, 12> kStates{{
    {"IDLE", {0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}},
    {"WAIT CONNECT", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}},
    {"SENDING", {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}},
    {"RECEIVING", {1, 1, 1, 1, 1, 1, 1, 1, 0, 1, 1, 1, 1}},
    {"POLL SEND", {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}},
    {"POLL RECEIVE", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}},
    {"WAIT SCAN DOC", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}},
    {"SCANNING", {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1}},
    {"CALL RECEIVED", {1, 1, 1, 1, 1, 1, 1, 1, 0, 1, 1, 1, 1}},
    {"DEVICE OFFLINE", {1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 1, 1, 1}},
    {"DEVICE ERROR", {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 1, 1}},
    {"DEVICE FAILED", {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 1}},
}};

// PERC 0..36; 34 has no text.
constexpr std::array<const char*, 37> kPercTexts{
    "OK",
    "MESSAGE ABORTED",
    "DOCUMENT ON SCANNER",
    "INCOMING CALL",
    "DEVICE IDLE",
    "NO RESPONSE WITHIN TIMEOUT",
    "NO DOCUMENT ON SCANNER",
    "DEVICE BUSY",
    "UNABLE TO CONNECT OR NO ANSWER",
    "COMMAND REJECTED",
    "INVALID ID",
    "FAULT JOB END",
    "DEVICE BUSY",
    "DEVICE WAITING FOR DATA",
    "DEVICE IDLE",
    "FILE ERROR",
    "INVALID PARAMETER",
    "** ERR2 **",
    "NO REPLY FROM DEVICE",
    "CANNOT COMMUNICATE WITH DEVICE",
    "FAX ERROR",
    "FAX MACHINE OPENED",
    "SCANNER PROBLEM",
    "PRINTER JAM",
    "OUT OF PAPER",
    "DEVICE FAULT",
    "ABORT REQUEST RECEIVED",
    "SYSTEM SHUTDOWN REQUESTED",
    "FAX DEVICE NOT CONNECTED",
    "COMMUNICATION PORT FAULT",
    "SOFTWARE FAULT",
    "** ERR **",
    "RESEND PAGE",
    "PRINT SWITCH FAILED",
    "???",
    "NO_FAX_DEVICE",
    "FAX INTERRUPTED",
};

struct FoipErrorRow {
  StatusWord status;
  FoipErrorMap map;
};
constexpr std::array<FoipErrorRow, 8> kFoipErrors{{
    {0xF100, {19, "Device failed"}},
    {0xF101, {7, "Device is busy"}},
    {0xF103, {8, "Couldn't connect to remote fax"}},
    {0xF105, {36, "Transmission error, incomplete fax"}},
    {0xF107, {29, "Port access error"}},
    {0xF10A, {8, "Phone number engaged"}},
    {0xF10B, {8, "Call not answered"}},
    {0xF10C, {28, "No dial tone on fax line"}},
}};

// The status word of a finished job's completion code, as send and scan
// jobs both give it; codes without a row give STATUS_FAX_FAILED.
struct PercStatusRow {
  int perc;
  StatusWord status;
};
constexpr std::array<PercStatusRow, 8> kJobStatus{{
    {0, STATUS_OK},
    {1, STATUS_JOB_ABORTED},
    {26, STATUS_JOB_ABORTED},
    {2, STATUS_FAX_OFFLINE},
    {3, STATUS_FAX_OFFLINE},
    {7, STATUS_FAX_OFFLINE},
    {15, STATUS_FILE_FAILURE},
    {16, STATUS_BAD_ARGUMENT},
}};

StatusWord JobStatusWord(int perc) {
  for (const auto& row : kJobStatus)
    if (row.perc == perc) return row.status;
  return STATUS_FAX_FAILED;
}

}  // namespace

const char* DeviceStateName(unsigned state) {
  return (state >= 1 && state <= kStates.size()) ? kStates[state - 1].name : "???";
}

u16 DeviceStateCode(unsigned state) { return (state >= 1 && state <= kStates.size()) ? static_cast<u16>(state) : 0; }

bool DeviceStateUnknown(unsigned state) { return state < 1 || state > DS_STARTUP; }

int DeviceStateReported(unsigned new_state, unsigned current) {
  if (new_state < 1 || new_state > kStates.size() || current < 1 || current > DS_STARTUP) return 0;
  return kStates[new_state - 1].report[current - 1];
}

bool DeviceStateCarriesPage(unsigned state) {
  return (state >= DS_SENDING && state <= DS_POLL_RECEIVE) || state == DS_SCANNING;
}

const char* PercText(int perc) {
  return (perc >= 0 && perc <= 36) ? kPercTexts[static_cast<std::size_t>(perc)] : "???";
}

bool PercUnknown(int perc) { return perc < 0 || perc > 36; }

FoipErrorMap FoipErrorEntry(StatusWord status) {
  for (const auto& row : kFoipErrors)
    if (row.status == status) return row.map;
  return {PERC_UNABLE_TO_CONNECT, nullptr};
}

StatusWord SendJobStatusWord(int perc, StatusWord current, bool* not_a_fax) {
  if (not_a_fax) *not_a_fax = perc == 35;
  switch (perc) {
    case 8: return current;
    case 10: return STATUS_FAX_F104;
    case 35: return STATUS_FAX_NOT_A_FAX;
    default: return JobStatusWord(perc);
  }
}

StatusWord ScanJobStatusWord(int perc) { return perc == 6 ? STATUS_FAX_TIMEOUT : JobStatusWord(perc); }

StatusWord BusyStatusWord(unsigned state) {
  if (state == DS_DEVICE_OFFLINE) return STATUS_FAX_OFFLINE;
  if (state == DS_DEVICE_FAILED) return STATUS_FAX_FAILED;
  return STATUS_FAX_BUSY;
}
