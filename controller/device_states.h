// Device states, PERC result codes and status words of the device
// controller, with the maps between them.
//
// Every operation of the device layer returns a PERC code (a small result
// number with a fixed text); the fax server sees results as 16-bit status
// words and the channel's progress as a device state.  The state code sent
// to DRENNIC in device status and job result packets is the state value
// itself (1 IDLE .. 12 DEVICE FAILED); the start-up state 13 and unknown
// states are sent as 0.
#pragma once

#include <cstdint>

#include "platform/int_types.h"
#include "common/status_words.h"

enum DeviceState : u16 {
  DS_IDLE = 1,
  DS_WAIT_CONNECT = 2,
  DS_SENDING = 3,
  DS_RECEIVING = 4,
  DS_POLL_SEND = 5,
  DS_POLL_RECEIVE = 6,
  DS_WAIT_SCAN_DOC = 7,
  DS_SCANNING = 8,
  DS_CALL_RECEIVED = 9,
  DS_DEVICE_OFFLINE = 10,
  DS_DEVICE_ERROR = 11,
  DS_DEVICE_FAILED = 12,
  DS_STARTUP = 13,  // no name; until the main loop's first state change
};

// PERC codes the controller's logic tests by name.
enum Perc : int {
  PERC_OK = 0,
  PERC_MESSAGE_ABORTED = 1,
  PERC_DOCUMENT_ON_SCANNER = 2,
  PERC_INCOMING_CALL = 3,
  PERC_NO_DOCUMENT_ON_SCANNER = 6,
  PERC_DEVICE_BUSY = 7,
  PERC_UNABLE_TO_CONNECT = 8,
  PERC_COMMAND_REJECTED = 9,
  PERC_INVALID_ID = 10,
  PERC_FAULT_JOB_END = 11,
  PERC_DEVICE_IDLE = 14,
  PERC_FILE_ERROR = 15,
  PERC_INVALID_PARAMETER = 16,
  PERC_NO_REPLY = 18,
  PERC_FAX_ERROR = 20,
  PERC_ABORT_REQUEST = 26,
  PERC_SHUTDOWN_REQUESTED = 27,
  PERC_FAX_NOT_CONNECTED = 28,
  PERC_PORT_FAULT = 29,
  PERC_NO_FAX_DEVICE = 35,
  PERC_FAX_INTERRUPTED = 36,
};

// A PERC above this one is a device fault for the main loop.
inline constexpr int kLastNonFaultPerc = 17;

// Status word stored when registration with tessaly fails.
inline constexpr StatusWord STATUS_REGISTER_FAILED = 233;
inline constexpr StatusWord STATUS_FAX_NOT_SENT_DEFAULT = 0xF013;
inline constexpr StatusWord STATUS_FAX_NOT_RECEIVED_DEFAULT = 0xF016;
inline constexpr StatusWord STATUS_CALL_NOT_TAKEN = 0xF029;
inline constexpr StatusWord STATUS_ABORT_NOT_DELIVERED = 0xF10E;
inline constexpr StatusWord STATUS_FILE_FAILURE = 0xF006;
inline constexpr StatusWord STATUS_JOB_ABORTED = 0xF00A;
inline constexpr StatusWord STATUS_FAX_F106 = 0xF106;

// The state's name as logged ("???" outside 1..12; the start-up state has
// none either) and its code for DRENNIC (0 outside 1..12).
const char* DeviceStateName(unsigned state);
u16 DeviceStateCode(unsigned state);
// True for a state value outside 1..13 (logged "Unknown STATE (%d)").
bool DeviceStateUnknown(unsigned state);

// 1 when SetDeviceState(new_state) reports to DRENNIC from `current`.
int DeviceStateReported(unsigned new_state, unsigned current);
// True for the states whose report carries the current page number.
bool DeviceStateCarriesPage(unsigned state);

// The PERC text ("???" for 34 and above 36).
const char* PercText(int perc);
// True for a PERC above 36 (logged "Unknown PERC error return (%d)").
bool PercUnknown(int perc);

// FOIPErrorToPERC's table: the PERC of a status word from tessaly and the
// text logged at level 3 (null when nothing is logged).
struct FoipErrorMap {
  int perc;
  const char* log_text;
};
FoipErrorMap FoipErrorEntry(StatusWord status);

// Status word of a finished send job (`current` = the stored status word,
// taken for PERC 8) and of a scan job; `not_a_fax` is set for PERC 35
// ("Not a fax machine" is then logged).
StatusWord SendJobStatusWord(int perc, StatusWord current, bool* not_a_fax);
StatusWord ScanJobStatusWord(int perc);
// Busy answer to a send or scan request in `state`.
StatusWord BusyStatusWord(unsigned state);
