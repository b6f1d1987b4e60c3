#include "platform/int_types.h"
#include "controller/controller_config.h"

#include <strings.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/ini_reader.h"
#include "controller/device_log.h"

namespace {

constexpr int kLine = kIniLineSize;

void Fatal(const char* text) { CtlLog(6, "%s", text); }

// Reads a text key into `out`; a value longer than the field is cut with a
// warning.  Returns 1 when the key was found.
int GetCut(FILE* ini, const char* key, char* out, std::size_t size, long start) {
  char value[kLine];
  if (!IniGetString(ini, key, value, sizeof value, start)) return 0;
  if (std::strlen(value) >= size) CtlLog(4, "Value of %s too long, cut to %zu characters", key, size - 1);
  SafeStrncpy(out, value, size);
  return 1;
}

bool StartsWithNoCase(const char* text, const char* prefix) {
  return strncasecmp(text, prefix, std::strlen(prefix)) == 0;
}

void Upper(char* s) {
  for (; *s; ++s) *s = static_cast<char>(std::toupper(static_cast<unsigned char>(*s)));
}

// DemoMode: value into mode, simulated calls and send result.
void ReadDemoMode(const char* value, ControllerConfig* c) {
  c->demo_mode = DEMO_OFF;
  if (!value[0] || StartsWithNoCase(value, "OFF")) return;
  char first[32] = "", second[32] = "";
  (void)std::sscanf(value, "%31s %31s", first, second);
  if (strcasecmp(first, "on") == 0) {
    c->demo_mode = DEMO_SLOW;
    c->demo_simulated_calls = 1;
    c->demo_result = 0;
    return;
  }
  if (strcasecmp(first, "FAST") == 0) c->demo_mode = DEMO_FAST;
  else if (strcasecmp(first, "SLOW") == 0) c->demo_mode = DEMO_SLOW;
  else return;
  c->demo_result = -1;
  if (!second[0]) return;
  if (strcasecmp(second, "SEND") == 0) {
    c->demo_result = 0;
  } else if (strcasecmp(second, "REC") == 0) {
    c->demo_result = 0;
    c->demo_simulated_calls = 1;
  } else if (strcasecmp(second, "TELNUM") == 0) {
    c->demo_result = -2;
  } else if (std::isdigit(static_cast<unsigned char>(second[0]))) {
    long n = std::strtol(second, nullptr, 10);
    if (n > 14) c->demo_mode = DEMO_OFF;
    else c->demo_result = static_cast<int>(n);
  }
}

// The temporary folder: TEMP, else TMP, else <server area>K-TEMP\.
bool TempFolder(const char* server_area, char* out, std::size_t size) {
  std::string folder;
  const char* env = std::getenv("TEMP");
  if (!env || !env[0]) env = std::getenv("TMP");
  if (env && env[0] && std::strlen(env) < 260) folder = env;
  else if (server_area && server_area[0]) folder = std::string(server_area) + "K-TEMP\\";
  if (folder.empty() || folder.size() + 2 > size) return false;
  if (folder.back() != '\\' && folder.back() != '/') folder += '\\';
  std::string shown = folder;
  if (shown.size() > 1 && shown[shown.size() - 2] != ':') shown.pop_back();
  CtlLog(1, "Using directory %s", shown.c_str());
  SafeStrncpy(out, folder.c_str(), size);
  return true;
}

bool SpeakerValue(const char* v, int* out) {
  if (strcasecmp(v, "ON") == 0) *out = 3;
  else if (strcasecmp(v, "CONNECT") == 0) *out = 2;
  else if (strcasecmp(v, "OFF") == 0) *out = 1;
  else return false;
  return true;
}

}  // namespace

int TraceLogMode(const char* v) {
  static constexpr struct {
    const char* word;
    int mode;
  } kWords[] = {{"", 1},      {"Y", 1},   {"YES", 1}, {"TRUE", 1},  {"ON", 1},  {"1", 1},    {"N", 0},     {"NO", 0},
                {"FALSE", 0}, {"OFF", 0}, {"0", 0},   {"ERROR", 2}, {"ERR", 2}, {"FULL", 3}, {"DEBUG", 4}, {"DBG", 4}};
  for (const auto& w : kWords)
    if (strcasecmp(v, w.word) == 0) return w.mode;
  return -1;
}

void InitRelayParams(FILE* ini, RelayParams* relay) {
  CtlLog(1, "Initializing Fax Relay Parameters");
  char line[kLine];
  long para = 0;
  std::rewind(ini);
  if (!IniFindParagraph(ini, "[RELAY]", line, sizeof line, &para)) {
    CtlLog(1, "Could not find fax relay paragraph");
    return;
  }
  GetCut(ini, "RelayDefaultUser:", relay->default_user, sizeof relay->default_user, para);
  char id[kLine];
  if (IniGetString(ini, "RelayIdentifier:", id, sizeof id, para)) {
    if (std::strlen(id) > 4) CtlLog(4, "Relay Identifier too long, truncating value");
    SafeStrncpy(relay->identifier, id, sizeof relay->identifier);
  }
  IniGetBool(ini, "RelayEnabled:", &relay->enabled, para);
  IniGetBool(ini, "RelayRejectUnknownID:", &relay->reject_unknown_id, para);
  IniGetBool(ini, "RelayAnonymousSend:", &relay->anonymous_send, para);
}

void ReadStartOptions(FILE* ini, ControllerConfig* c) {
  char line[kLine];
  long para = 0;
  std::rewind(ini);
  if (!IniFindParagraph(ini, "[OPTIONS]", line, sizeof line, &para)) return;
  char value[kLine];
  if (IniGetString(ini, "DateFormatShort:", value, sizeof value, para)) {
    // An empty value takes the system's short date format.
    SafeStrncpy(c->date_format_short, value[0] ? value : "dd/MM/yyyy", sizeof c->date_format_short);
  }
  IniGetString(ini, "HeaderLineFont:", c->header_line_font, sizeof c->header_line_font, para);
  IniGetString(ini, "CharacterSet:", c->character_set, sizeof c->character_set, para);
}

int InitLowerParams(FILE* ini, const ControllerIdentity& id, const char* server_area, ControllerConfig* c) {
  CtlLog(1, "InitLowerParams()");
  char line[kLine];
  char value[kLine];
  char paragraph[160];
  if (id.group_form) (void)std::snprintf(paragraph, sizeof paragraph, "[%s-%s]", id.type_name, id.group);
  else (void)std::snprintf(paragraph, sizeof paragraph, "[%s-%d]", id.type_name, id.device_type);
  long para = 0;
  std::rewind(ini);
  if (!IniFindParagraph(ini, paragraph, line, sizeof line, &para)) {
    CtlLog(6, "%s paragraph missing in Init file", paragraph);
    return -1;
  }
  // Port:
  if (!IniGetString(ini, "Port:", value, sizeof value, para)) {
    Fatal("Port: line missing from Init file");
    return -1;
  }
  Upper(value);
  char* p = value;
  std::size_t n = std::strlen(p);
  if (n >= 2 && p[0] == '"' && p[n - 1] == '"') {
    p[n - 1] = '\0';
    ++p;
  } else {
    while (*p && !std::isalnum(static_cast<unsigned char>(*p))) ++p;
  }
  n = std::strlen(p);
  if (n && p[n - 1] == ':') p[n - 1] = '\0';
  if (!p[0]) {
    Fatal("Port not specified in Init file");
    return -1;
  }
  SafeStrncpy(c->port, p, sizeof c->port);
  bool port_zero = std::strcmp(c->port, "0") == 0;

  i16 s16 = 0;
  if (IniGetShort(ini, "BaudRate:", &s16, para) && s16 != 0) c->baud_rate = s16;
  GetCut(ini, "PhoneNum:", c->phone_num, sizeof c->phone_num, para);
  GetCut(ini, "ScanWaitingDocFile:", c->scan_waiting_file, sizeof c->scan_waiting_file, para);
  GetCut(ini, "ScanConfirmFile:", c->scan_confirm_file, sizeof c->scan_confirm_file, para);
  GetCut(ini, "ScanCompletedFile:", c->scan_completed_file, sizeof c->scan_completed_file, para);
  if (!GetCut(ini, "ScanAbortedFile:", c->scan_aborted_file, sizeof c->scan_aborted_file, para))
    SafeStrncpy(c->scan_aborted_file, c->scan_completed_file[0] ? c->scan_completed_file : "SCANFAIL.TXT",
                sizeof c->scan_aborted_file);
  if (IniGetString(ini, "PrintScanMessage:", value, sizeof value, para) && (value[0] == 'N' || value[0] == 'n')) {
    c->scan_waiting_file[0] = c->scan_confirm_file[0] = c->scan_completed_file[0] = c->scan_aborted_file[0] = '\0';
  }
  GetCut(ini, "Organisation:", c->organisation, sizeof c->organisation, para);
  IniGetShort(ini, "ScanDocWait:", &c->scan_doc_wait, para);
  IniGetShort(ini, "ScanConfirmWait:", &c->scan_confirm_wait, para);
  if (IniGetShort(ini, "SendMsgTries:", &c->send_msg_tries, para) && c->send_msg_tries != 2) {
    CtlLog(3, "Maximum send message tries set to %d", c->send_msg_tries);
    if (c->send_msg_tries == 0) CtlLog(3, "No immediate redial on interrupted calls");
  }
  if (IniGetShort(ini, "ConnectTries:", &c->connect_tries, para) && c->connect_tries != 1)
    CtlLog(3, "Maximum connect tries set to %d", c->connect_tries);
  IniGetShort(ini, "RestartSplitPages:", &c->restart_split_pages, para);
  if (c->restart_split_pages == 0) CtlLog(1, "All pages resent if call interrupted");
  IniGetShort(ini, "RestartInitialPages:", &c->restart_initial_pages, para);
  if (c->restart_split_pages != 3 || c->restart_initial_pages != 1) {
    if (c->restart_initial_pages == 0) CtlLog(1, "Failed pages resent if call interrupted");
    else if (c->restart_initial_pages == 1) CtlLog(1, "First page resent if call interrupted");
    else CtlLog(1, "First %d pages resent if call interrupted", c->restart_initial_pages);
  }
  if (IniGetShort(ini, "MinSendRetryPages:", &c->min_send_retry_pages, para) && c->min_send_retry_pages != 5)
    CtlLog(3, "Minimum pages per send retry set to %d", c->min_send_retry_pages);
  GetCut(ini, "CommsLogFile:", c->comms_log_file, sizeof c->comms_log_file, para);
  GetCut(ini, "DialPrefix:", c->dial_prefix, sizeof c->dial_prefix, para);
  GetCut(ini, "DialSuffix:", c->dial_suffix, sizeof c->dial_suffix, para);
  if (IniGetString(ini, "DialType:", value, sizeof value, para))
    c->tone_dialling = (value[0] == 'T' || value[0] == 't');
  GetCut(ini, "RecdUser:", c->recd_user, sizeof c->recd_user, para);
  // This device takes calls: LocalOnly never applies (no scan or print routes).
  if (IniGetString(ini, "ReceiveOnly:", value, sizeof value, para) && (value[0] == 'Y' || value[0] == 'y')) {
    if (c->recd_user[0]) {
      CtlLog(3, "Device reserved for incoming calls");
      c->send_route_mask &= 0x7FFFFFA3u;
    } else {
      CtlLog(5, "User for incoming calls not specified");
    }
  }
  if (!c->recd_user[0]) c->send_route_mask &= ~0x40000000u;
  if (IniGetString(ini, "Speaker:", value, sizeof value, para) && !SpeakerValue(value, &c->speaker)) {
    CtlLog(5, "Speaker: line invalid in initialisation file");
    c->speaker = 1;
  }
  if (IniGetString(ini, "Trace:", value, sizeof value, para) &&
      (strcasecmp(value, "ON") == 0 || strcasecmp(value, "YES") == 0)) {
    CtlLog(3, "Trace mode enabled");
    c->trace = 2;
  }
  if (IniGetString(ini, "DemoMode:", value, sizeof value, para)) {
    ReadDemoMode(value, c);
    if (c->demo_mode != DEMO_OFF) CtlLog(3, "Demonstration mode enabled.");
  } else if (port_zero) {
    c->demo_mode = DEMO_SLOW;
    c->demo_result = 0;
  }
  if (IniGetString(ini, "NoDelete:", value, sizeof value, para) &&
      (strcasecmp(value, "ON") == 0 || strcasecmp(value, "YES") == 0)) {
    CtlLog(3, "Fax headers will not be deleted");
    c->no_delete = 1;
  }
  IniGetLong(ini, "DemoRI:", &c->demo_ri, para);
  GetCut(ini, "DemoRecFile:", c->demo_rec_file, sizeof c->demo_rec_file, para);
  IniGetLong(ini, "DemoRecPages:", &c->demo_rec_pages, para);
  IniGetLong(ini, "CalledDigitsToDTMF:", &c->called_digits_to_dtmf, para);
  {
    long here = std::ftell(ini);
    long opt = 0;
    std::rewind(ini);
    if (!IniFindParagraph(ini, "[OPTIONS]", line, sizeof line, &opt)) {
      Fatal("[OPTIONS] paragraph missing in Init file");
      return -1;
    }
    if (IniGetString(ini, "CSIDSeparator:", value, sizeof value, opt)) {
      if (std::strlen(value) > 10) {
        CtlLog(5, "Specified CSID separator too long");
        SafeStrncpy(c->csid_separator, ":", sizeof c->csid_separator);
      } else {
        SafeStrncpy(c->csid_separator, value, sizeof c->csid_separator);
      }
    }
    (void)std::fseek(ini, here, SEEK_SET);
  }
  if (c->restart_split_pages == 0 && c->restart_initial_pages == 0)
    IniGetBool(ini, "ReTransmitHeadAll: ", &c->retransmit_head_all, para);
  if (IniGetString(ini, "ReTransmissionHead: ", value, sizeof value, para)) {
    if (std::strlen(value) > 12) CtlLog(4, "Retransmission file name too long");
    else SafeStrncpy(c->retransmission_head, value, sizeof c->retransmission_head);
  }
  if (IniGetString(ini, "ReTransmissionAdditional: ", value, sizeof value, para)) {
    if (std::strlen(value) > 12) CtlLog(4, "Retransmission Additional file name too long");
    else SafeStrncpy(c->retransmission_additional, value, sizeof c->retransmission_additional);
  }

  // Channel paragraph.
  if (id.group_form) {
    char channel_para[180];
    (void)std::snprintf(channel_para, sizeof channel_para, "[%s-%s-%d]", id.type_name, id.group, id.channel);
    long cp = 0;
    std::rewind(ini);
    if (IniFindParagraph(ini, channel_para, line, sizeof line, &cp)) {
      GetCut(ini, "RecdUser:", c->recd_user, sizeof c->recd_user, cp);
      GetCut(ini, "PhoneNum:", c->phone_num, sizeof c->phone_num, cp);
      GetCut(ini, "Organisation:", c->organisation, sizeof c->organisation, cp);
    }
  }
  IniGetString(ini, "Type:", c->type, sizeof c->type, para);
  if (id.device_type < 1 || id.device_type > 999) {
    CtlLog(6, "Port number out of range: %d", id.device_type);
    return -1;
  }
  (void)std::snprintf(c->port_name, sizeof c->port_name, "%s%d", id.type_name, id.device_type);
  if (c->dial_prefix[0]) c->send_route_mask |= 0x80000000u;
  i16 reserved = 0, reserved_from = 0;
  IniGetShort(ini, "ChannelsReserved:", &reserved, para);
  IniGetShort(ini, "ChannelsReservedFrom:", &reserved_from, para);
  if (reserved > 0 && reserved_from < id.channel && id.channel <= reserved_from + reserved) {
    if (c->recd_user[0]) {
      CtlLog(3, "Device reserved for incoming calls");
      c->send_route_mask &= 0x7FFFFFA3u;
    } else {
      CtlLog(5, "User for incoming calls not specified");
    }
  }
  if (IniGetString(ini, "TraceLog:", value, sizeof value, para)) {
    int mode = TraceLogMode(value);
    if (mode < 0) {
      CtlLog(5, "TraceLog: parameter invalid");
      mode = 0;
    }
    c->trace_log = mode;
  }
  if (IniGetString(ini, "RejectIncoming:", value, sizeof value, para))
    c->reject_incoming_did = strcasecmp(value, "DID") == 0;
  u32 wait = 0;
  if (IniGetLong(ini, "CallWaitForCompleteTimeout:", &wait, para)) {
    if (wait > 32000) {
      CtlLog(5, "Call wait for complete timeout parameter out of range (0 to 32000ms)");
      wait = 0;
    }
    c->call_wait_for_complete_timeout = wait;
  }
  IniGetLong(ini, "LastPageCompleteTimeout:", &c->last_page_complete_timeout, para);
  int result = 0;
  if (!TempFolder(server_area, c->temp_folder, sizeof c->temp_folder)) {
    CtlLog(5, "Could not determine location for temp files");
    result = 16;
  }
  if (!TempFolder(server_area, c->temp_receive_folder, sizeof c->temp_receive_folder)) {
    CtlLog(5, "Could not determine location for temp receive files");
    result = 16;
  }
  std::rewind(ini);
  if (!IniFindParagraph(ini, "[DRENNIC]", line, sizeof line, &para)) {
    CtlLog(6, "%s paragraph missing in Init file", "[DRENNIC]");
    return -1;
  }
  c->receive_wanted = 1;
  return result;
}
