#include "platform/int_types.h"
#include "controller/receive_routing.h"

#include <strings.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "common/ini_reader.h"
#include "common/shared_open.h"
#include "controller/device_log.h"
#include "controller/device_states.h"
#include "controller/fax_file.h"
#include "controller/file_names.h"
#include "platform/paths.h"

namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { (void)std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

struct FormatRow {
  int format;
  const char* name;
  const char* extension;
};
constexpr FormatRow kFormats[] = {
    {0, "invalid", "???"},
    {1, "BINARY", "BIN"},
    {2, "ASCII", "TXT"},
    {3, "POSTSCRIPT", "POS"},
    {4, "MH", "MH"},
    {5, "TIFF-NORMAL", "G3N"},
    {6, "TIFF-FINE", "G3F"},
    {7, "TIFF-SUPERFINE", "G3S"},
    {8, "EPSON", "EPN"},
    {9, "HP-100", "HP1"},
    {10, "HP-300", "HP3"},
    {11, "CONTROL", "CTL"},
    {50, "TIFF-UNCOMPRESSED", "TIF"},
    {51, "BMP-UNCOMPRESSED", "BMP"},
    {52, "PCX", "PCX"},
    {53, "TARGA", "TRG"},
    {54, "GIF", "GIF"},
    {55, "WPG", "WPG"},
    {56, "WMF", "WMF"},
    {57, "TIFF-HUFFMAN", "TIF"},
    {58, "TIFF-G3-FAX", "TIF"},
    {59, "TIFF-LZW", "TIF"},
    {60, "TIFF-G4-FAX", "TIF"},
    {61, "DCX", "DCX"},
    {62, "BMP-COMPRESSED", "BMP"},
    {63, "JPEG", "JPG"},
    {64, "EPS", "EPS"},
    {65, "PICT", "PCT"},
    {66, "TIFF-PACK", "TIF"},
    {67, "TIFF-2D", "TIF"},
    {68, "PDF", "PDF"},
};

const FormatRow& RowOf(int format) {
  for (const FormatRow& r : kFormats)
    if (r.format == format) return r;
  return kFormats[0];
}

std::string LeftTrimmed(const std::string& s) {
  const std::size_t i = s.find_first_not_of(' ');
  return i == std::string::npos ? std::string() : s.substr(i);
}

}  // namespace

std::string CleanCallField(const std::string& text, std::size_t chars) {
  std::string out;
  for (const char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 32 || u == 127) continue;
    if (out.size() >= chars) break;
    out += c;
  }
  return out;
}

bool IsPlainUserName(const std::string& user) {
  if (user.empty() || user.size() > RELAY_USER_CHARS || user == "." || user == "..") return false;
  for (const char c : user) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 32 || u == 127 || std::strchr("\\/:*?\"<>|", c)) return false;
  }
  return true;
}

int GetRelayInfoFromDTMF(const std::string& digits, const std::string& identifier, std::string* number,
                         std::string* did) {
  CtlLog(1, "GetRelayInfoFromDTMF() Function Called");
  if (!number || !did || identifier.empty()) {
    CtlLog(1, "GetRelayInfoFromDTMF() - preconditions not met");
    return 0;
  }
  const std::string d = CleanCallField(digits, CALL_DID_CHARS);
  if (d.size() <= identifier.size()) {
    CtlLog(1, "GetRelayInfoFromDTMF() - dialed number too short, cannot be relay");
    return 0;
  }
  if (d.compare(0, identifier.size(), identifier) != 0) {
    CtlLog(1, "GetRelayInfoFromDTMF() DTMF does not start with relay identifier");
    return 0;
  }
  CtlLog(1, "GetRelayInfoFromDTMF() - DTMFTones: %s", d.c_str());
  const std::string rest = d.substr(identifier.size());
  CtlLog(1, "GetRelayInfoFromDTMF() New DTMF Tones: %s", rest.c_str());
  const std::size_t second = rest.find(identifier);
  if (second != std::string::npos) {
    *number = rest.substr(second + identifier.size()).substr(0, RELAY_NUMBER_CHARS);
    *did = rest.substr(0, second).substr(0, RELAY_DID_CHARS);
    CtlLog(1, "GetRelayInfoFromDTMF() Dialed Number: %s", number->c_str());
    CtlLog(1, "GetRelayInfoFromDTMF() DID Number: %s", did->c_str());
  } else {
    *number = rest.substr(0, RELAY_NUMBER_CHARS);
    did->clear();
  }
  return 1;
}

std::string DirectoryFilterForDid(const std::string& did) {
  std::string v;
  for (const char c : did) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (c == '*' || c == '(' || c == ')' || c == '\\' || u == 0 || u >= 0x80) {
      char buf[4];
      (void)std::snprintf(buf, sizeof buf, "\\%02x", u);
      v += buf;
    } else {
      v += c;
    }
  }
  return "(&(halvornConnectorUserDID=" + v + ")(halvornConnectorUserReceiveDID=TRUE))";
}

int SearchEmailnameMail(const std::string& maillist, const std::string& name, std::string* user) {
  FilePtr f(SharedOpen(30, maillist.c_str(), "r"));
  if (!f) return 0;
  char line[kIniLineSize];
  long pos = 0;
  while (IniFindParagraph(f.get(), "[USER]", line, sizeof line, &pos)) {
    char value[kIniLineSize] = "";
    if (IniGetString(f.get(), "Emailname:", value, sizeof value, pos) && strcasecmp(value, name.c_str()) == 0) {
      char found[kIniLineSize] = "";
      (void)IniGetString(f.get(), "Korvname:", found, sizeof found, pos);
      u32 profile = 0;
      if (!IniGetLong(f.get(), "Profile:", &profile, pos) || profile != 0) {
        char mail_user[kIniLineSize] = "";
        if (IniGetString(f.get(), "EMailKorvname:", mail_user, sizeof mail_user, pos) && mail_user[0])
          SafeStrncpy(found, mail_user, sizeof found);
      }
      if (found[0]) {
        std::string u = found;
        for (char& c : u) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        *user = u;
        return 1;
      }
    }
    (void)std::fseek(f.get(), pos, SEEK_SET);
  }
  return 0;
}

int CallRouter::LookupSubaddr(const std::string& did, std::string* value) {
  FilePtr f(std::fopen(routing_ini_.c_str(), "r"));
  char line[kIniLineSize];
  long pos = 0;
  if (!f || !IniFindParagraph(f.get(), "[SUBADDR]", line, sizeof line, &pos)) {
    CtlLog(4, "Unable to open routing rules file %s", "ROUTING.INI");
    return -1;
  }
  const std::string key = did + ":";
  char buf[kIniLineSize] = {};
  if (!IniGetString(f.get(), key.c_str(), buf, sizeof buf, pos)) return 0;
  if (value) *value = buf;
  return 1;
}

int CallRouter::UserFromDid(const std::string& did_in, std::string* user) {
  const std::string did = CleanCallField(did_in, CALL_DID_CHARS);
  if (did.empty()) return 0;
  if (dir_ && dir_->UserFromDid(did, user)) return 1;
  std::string value;
  if (LookupSubaddr(did, &value) != 1) return 0;
  CtlLog(1, "GetUserDromDIDInSubaddrRouting() Found DID in routing.ini: %s", value.c_str());
  if (value.empty() || value[0] == '@') return 0;
  *user = value.substr(0, RELAY_USER_CHARS);
  return 1;
}

int CallRouter::IsKnownDid(const std::string& did_in) {
  const std::string did = CleanCallField(did_in, CALL_DID_CHARS);
  if (did.empty()) return 1;
  if (dir_ && dir_->IsDidInDirectory(did)) return 1;
  return LookupSubaddr(did, nullptr) != 0 ? 1 : 0;
}

int CallRouter::ProcessRelayCall(const RelaySettings& relay, const std::string& digits, const std::string& gateway_ip,
                                 bool* reject, std::string* relay_user, std::string* relay_dest) {
  *reject = false;
  if (!relay.enabled) return 0;
  relay_user->clear();
  relay_dest->clear();
  CtlLog(1, "ProcessRelayCall() DTMF Tones: %s Gateway IP Address: %s", CleanCallField(digits, CALL_DID_CHARS).c_str(),
         CleanCallField(gateway_ip, CALL_IP_CHARS).c_str());
  std::string number, did;
  if (!GetRelayInfoFromDTMF(digits, relay.identifier, &number, &did)) return 0;
  CtlLog(1, "ProcessIncomingCall() This fax should be relayed.  Number: %s, DID: %s", number.c_str(), did.c_str());
  std::string user;
  if (!did.empty()) {
    if (!UserFromDid(did, &user)) {
      if (!relay.anonymous_send || relay.reject_unmatched || relay.default_user.empty()) {
        CtlLog(5, "No match for received Relay ID '%s' - rejecting call", did.c_str());
        *reject = true;
        return 1;
      }
      CtlLog(4, "No match for received Relay ID '%s' - relaying using default user", did.c_str());
      user = relay.default_user;
    }
  } else {
    if (!relay.anonymous_send) {
      CtlLog(5, "No Relay ID specified - rejecting call");
      *reject = true;
      return 1;
    }
    user = relay.default_user;
  }
  *relay_user = user.substr(0, RELAY_USER_CHARS);
  *relay_dest = number.substr(0, RELAY_NUMBER_CHARS);
  return 1;
}

int ReceiveRoute(int format) { return format == 7 ? 4 : format == 6 ? 3 : 2; }

int ReceiveFormat(u16 y_res) {
  const u16 lpi = FaxLinesPerInch(y_res);  // 98 -> 100, 196 -> 200, 392 -> 400
  return lpi < 200 ? 5 : lpi < 400 ? 6 : 7;
}

const char* FormatExtension(int format) { return RowOf(format).extension; }
const char* FormatName(int format) { return RowOf(format).name; }

StatusWord ReceiveJobStatus(bool partial) { return partial ? STATUS_PARTIAL_RECEIVE : STATUS_OK; }

int WriteReceiveControlFile(const std::string& all_users, const std::string& user, int route, int format,
                            const ReceiveCallInfo& call, const std::string& csid_separator, std::string* control_name,
                            std::string* message_name) {
  const std::string folder = all_users + user + "\\K-IN\\";
  if (!IsPlainUserName(user)) {
    CtlLog(5, "Can't create file '%s~%s*.%s'", folder.c_str(), "RECD", "CTL");
    return PERC_FILE_ERROR;
  }
  char name[16] = {};
  if (MakeUniqueFileName("RECD", "CTL", folder.c_str(), name, sizeof name) != UNIQUE_OK) {
    CtlLog(5, "Can't create file '%s~%s*.%s'", folder.c_str(), "RECD", "CTL");
    return PERC_FILE_ERROR;
  }
  const std::string linux_folder = platform::ToLinuxPath(folder);
  const std::string ctl_path = linux_folder + name;
  std::string msg = name;
  msg = msg.substr(0, msg.rfind('.') + 1) + FormatExtension(format);

  std::string csid = LeftTrimmed(CleanCallField(call.csid, CALL_CSID_CHARS));
  const std::string cli = LeftTrimmed(CleanCallField(call.cli, CALL_CLI_CHARS));
  std::string ext_csid;
  if (!csid_separator.empty()) {
    const std::size_t at = csid.find(csid_separator);
    if (at != std::string::npos) {
      ext_csid = csid.substr(at + csid_separator.size(), EXT_CSID_CHARS);
      csid.resize(at);
    }
  }
  char accepted[64];
  (void)std::snprintf(accepted, sizeof accepted, "Accepted: %.2d-%.2d-%.2d %.2d:%.2d:%.2d", call.year % 100,
                      call.month % 100, call.day % 100, call.hour % 100, call.minute % 100, call.second % 100);
  // Names of the receive routes in the route table.
  const std::string route_name = route == 4 ? "FAX-SFINE" : route == 3 ? "FAX-FINE" : "FAX";
  const std::string lines[] = {
      "[KORVANE]",
      "Type: ReceiveControl",
      "Revision: A",
      "",
      "[DOCUMENT]",
      "File: " + msg,
      "Comment: From: " + (csid.empty() ? cli : csid),
      "[MESSAGE]",
      "AssocFile:",
      std::string("Format: ") + FormatName(format),
      accepted,
      "Type: RECEIVE",
      "Status: Re",
      "UserStatus: Wa",
      "From: " + route_name + " '" + csid + "'",
      "MsgType: FAX",
      "ActionFlag: N",
      "",
      "[ROUTING]",
      "DTMF: " + CleanCallField(call.did, CALL_DID_CHARS),
      "ExtCSID: " + ext_csid,
      "SubAddr: " + CleanCallField(call.subaddr, CALL_SUBADDR_CHARS),
      "FullCSID: " + csid,
      "CLI: " + cli,
      "RelayUser: " + CleanCallField(call.relay_user, RELAY_USER_CHARS),
      "RelayDest: " + CleanCallField(call.relay_dest, RELAY_NUMBER_CHARS),
  };
  FilePtr f(std::fopen(ctl_path.c_str(), "r+b"));
  if (!f) {
    CtlLog(5, "Error creating control file '%s'", ctl_path.c_str());
    return PERC_FILE_ERROR;
  }
  bool ok = true;
  for (const std::string& l : lines) ok = std::fprintf(f.get(), "%s\r\n", l.c_str()) >= 0 && ok;
  ok = std::fclose(f.release()) == 0 && ok;
  if (!ok) {
    CtlLog(5, "Error creating control file '%s'", ctl_path.c_str());
    return PERC_FILE_ERROR;
  }
  FilePtr m(std::fopen((linux_folder + msg).c_str(), "wb"));
  if (!m) {
    CtlLog(5, "Error creating message file '%s'", (linux_folder + msg).c_str());
    return PERC_FILE_ERROR;
  }
  CtlLog(3, "Created new Control file '%s'", ctl_path.c_str());
  *control_name = name;
  *message_name = msg;
  return 0;
}

std::string PartialReceiveBackupName(const std::string& path, int day, int month, int year, int hour, int minute) {
  char stamp[64];
  (void)std::snprintf(stamp, sizeof stamp, "_%d.%d.%d.%d.%02d", day, month, year, hour, minute);
  const std::string base = path + stamp;
  std::error_code ec;
  std::string name = base + ".TIF";
  for (int n = 1; std::filesystem::exists(name, ec) && n < 100000; ++n) name = base + "_" + std::to_string(n) + ".TIF";
  return name;
}
