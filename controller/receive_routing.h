// Incoming-call routing and receive filing of the device controller: relay
// digits, DID rules against the directory and ROUTING.INI, the receive
// control file in the user's K-IN folder, the route and format of a
// received fax, its job result status, and the name a partial receive is
// kept under at shutdown.
//
// The directory is an interface: on Linux there is none and every lookup
// answers "not found", so ROUTING.INI decides.  A real directory gets the
// DID escaped as an LDAP filter value (DirectoryFilterForDid).
//
// Call fields from the network (remote CSID, CLI, DID, sub-address, relay
// digits) are cleaned before use: control characters dropped (a CR LF would
// add control file lines) and the text cut to its field.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

#include "platform/int_types.h"
#include "common/status_words.h"

inline constexpr int PERC_CALL_REFUSED = 37;
inline constexpr StatusWord STATUS_PARTIAL_RECEIVE = 0xF016;

// Field sizes (characters, without the NUL).
inline constexpr std::size_t CALL_IP_CHARS = 19;
inline constexpr std::size_t CALL_CLI_CHARS = 20;
inline constexpr std::size_t CALL_DID_CHARS = 60;
inline constexpr std::size_t CALL_CSID_CHARS = 20;
inline constexpr std::size_t CALL_SUBADDR_CHARS = 20;
inline constexpr std::size_t RELAY_USER_CHARS = 8;
inline constexpr std::size_t RELAY_NUMBER_CHARS = 60;
inline constexpr std::size_t RELAY_DID_CHARS = 20;
inline constexpr std::size_t EXT_CSID_CHARS = 31;

// Text without control characters (below 32 and 127), cut to `chars`.
std::string CleanCallField(const std::string& text, std::size_t chars);

// A user name usable as a folder name: 1 to 8 characters, none of
// \ / : * ? " < > | or control characters, not "." or "..".
bool IsPlainUserName(const std::string& user);

// Splits relay digits "<id>[<did><id>]<number>": 1 with the number (at most
// 60) and the relay DID (at most 20, empty when none), else 0.
int GetRelayInfoFromDTMF(const std::string& digits, const std::string& identifier, std::string* number,
                         std::string* did);

// The directory of users by DID.  The default one (Linux) finds nothing.
class UserDirectory {
 public:
  virtual ~UserDirectory() = default;
  virtual bool IsDidInDirectory(const std::string& did) { return (void)did, false; }
  virtual bool UserFromDid(const std::string& did, std::string* user) { return (void)did, (void)user, false; }
};
// "(&(halvornConnectorUserDID=<did>)(halvornConnectorUserReceiveDID=TRUE))"
// with the DID escaped as RFC 4515 asks (\2a for '*' and so on).
std::string DirectoryFilterForDid(const std::string& did);

// The fax server user of a mail name from MAILLIST.INI (path given): the
// first "[USER]" paragraph whose "Emailname:" equals `name` without regard
// to case names it by "Korvname:", or by "EMailKorvname:" when that is set
// and "Profile:" is missing or not 0.  1 with the user upper-cased, 0 when
// none (or no file).
int SearchEmailnameMail(const std::string& maillist, const std::string& name, std::string* user);

struct RelaySettings {
  bool enabled = false;
  std::string identifier = "*";
  bool reject_unmatched = true;
  bool anonymous_send = false;
  std::string default_user;
};

class CallRouter {
 public:
  // `routing_ini` is the path of ROUTING.INI; `directory` may be null.
  CallRouter(std::string routing_ini, UserDirectory* directory)
      : routing_ini_(std::move(routing_ini)), dir_(directory) {}

  // 1 and the user when the DID names one (directory, then "[SUBADDR]" of
  // ROUTING.INI; a value starting with '@' names nobody).
  int UserFromDid(const std::string& did, std::string* user);
  // 1 when the DID is empty, in the directory or in "[SUBADDR]", or when
  // ROUTING.INI or its paragraph cannot be read.
  int IsKnownDid(const std::string& did);
  // 1 when the digits are a relay call (reject set when it must be
  // refused; else relay user and destination set), 0 otherwise.
  int ProcessRelayCall(const RelaySettings& relay, const std::string& digits, const std::string& gateway_ip,
                       bool* reject, std::string* relay_user, std::string* relay_dest);

 private:
  // 1 with the value of "<did>:" in "[SUBADDR]", 0 when absent, -1 when the
  // file or paragraph is missing.
  int LookupSubaddr(const std::string& did, std::string* value);

  std::string routing_ini_;
  UserDirectory* dir_;
};

// Route of a received fax by format: 4 for 7 (400 lpi), 3 for 6, else 2.
int ReceiveRoute(int format);
// Format of a received fax by its vertical resolution: 5 below 200 lpi,
// 6 up to 399, 7 from 400 (superfine is filed as such).
int ReceiveFormat(u16 y_res);
// "G3N", "G3F", "G3S", ... ("???" when unknown) and the format's name.
const char* FormatExtension(int format);
const char* FormatName(int format);

// Status of the job result of a receive: 0xF016 when it was partial (fax
// interrupted or ended by "fax not received" after pages), else 0.
StatusWord ReceiveJobStatus(bool partial);

// Copies a broken-down local time into the year..second fields of a call's
// or a header's description.
template <class T>
void SetCalendarFields(T& out, const std::tm& tm) {
  out.year = tm.tm_year + 1900;
  out.month = tm.tm_mon + 1;
  out.day = tm.tm_mday;
  out.hour = tm.tm_hour;
  out.minute = tm.tm_min;
  out.second = tm.tm_sec;
}

struct ReceiveCallInfo {
  std::string csid, cli, did, subaddr, relay_user, relay_dest;
  int year = 2010, month = 1, day = 1, hour = 0, minute = 0, second = 0;  // local time
};

// Writes "~RECDxxx.CTL" and an empty message file of the format's extension
// in "<all_users><user>/K-IN/" (Linux paths; all_users ends in '/'):
// 0 with the control and message file names (without folder), or
// PERC 15.  A user that is not a plain folder name is refused.
int WriteReceiveControlFile(const std::string& all_users, const std::string& user, int route, int format,
                            const ReceiveCallInfo& call, const std::string& csid_separator, std::string* control_name,
                            std::string* message_name);

// The name a partially received file is kept under at shutdown:
// "<path>_<d>.<m>.<yyyy>.<h>.<mm>.TIF", with "_<n>" before ".TIF" when that
// name is taken, so that no kept file is ever overwritten.
std::string PartialReceiveBackupName(const std::string& path, int day, int month, int year, int hour, int minute);
