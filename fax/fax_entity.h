// Fax management entity ENT_FAX (0x80): runs one fax session per configured
// nai for its user (ENT_FOIP) over the V.25 set-up entity ENT_ACU, the fax
// session layer ENT_CF and the page converter ENT_FC.
//
// User primitives (SAP 10, connection id 0xFFFF):
//   FAX__ACT_RQ 'A' (4 bytes: status, error, source, act_action 1 send /
//     2 receive) -> FAX__ACT_CO 'a', the same body filled in.
//   FAX__DEA_RQ 'Y' (byte 3 stop reason) -> FAX__DEA_CO 'y' once the session
//     is idle; a session that ends by itself sends FAX__DEA_IN 'I'.  Both
//     carry FAX_DEA_SIZE bytes: end status, cause, source, 0, then the
//     fax__session_status.
//   FAX__REPORT_IN 'z' (180 bytes: 'E', 0, 0, 0, the 176-byte event record).
// Configuration: SM_CONFIG_RQ from ENT_SM with a fax__config (fax_config.h);
// the entity then configures ENT_FC and ENT_MFM (once), ENT_ACU and ENT_CF,
// one at a time, and answers.  A configuration that fails is undone: the
// nai can be configured again.  SM_RST_CFG_RQ resets ENT_ACU and ENT_CF and
// releases the session.
#pragma once

#include "runtime/entity.h"
#include "runtime/msg.h"
#include "runtime/types.h"

inline constexpr char fax__banner[] = "(@)FAX Management v2.1.2 (24 Fev 2010)";

enum : code_t {
  FAX__ACT_RQ = 'A',
  FAX__ACT_CO = 'a',
  FAX__DEA_RQ = 'Y',
  FAX__DEA_CO = 'y',
  FAX__DEA_IN = 'I',
  FAX__REPORT_IN = 'z',
  FAX__DBG_AUTO = 'Z',
  FAX__TI_START = 's',
  FAX__TI_WAIT_EOF_T30_SESSION = 'e',
};

inline constexpr u8 FAX_SAPI = 10;
inline constexpr u8 FAX_SOURCE_SELF = 128;

// FAX__ACT_CO error codes and sources.
enum : u8 {
  FAX__NOT_READY = 11,
  FAX__SESSION_ALREADY_RUNNING = 12,
  FAX__UNKNOWN_ACTION = 13,
  FAX__NO_SND_FAX_PG = 21,
  FAX__POLL_NO_RCV_FNAME = 22,
  FAX__NO_RCV_FNAME = 31,
  FAX__POLL_NO_SND_FAX_PG = 32,
};
enum : u8 { FAX_ERRSRC_REQUEST = 10, FAX_ERRSRC_SEND = 20, FAX_ERRSRC_RECEIVE = 30 };

// End causes decided by the entity itself (source 128).
enum : u8 {
  FAX_CAUSE_OPEN_SEND_PAGE = 11,
  FAX_CAUSE_CREATE_RCV_FILE = 12,
  FAX_CAUSE_WRITE_RCV_PAGE = 13,
  FAX_CAUSE_RTN_ECM = 18,
  FAX_CAUSE_RTN_LOWEST_SPEED = 19,
  FAX_CAUSE_PAGE_CHECK = 20,
  FAX_CAUSE_NO_RESOLUTION = 21,
  FAX_CAUSE_USER_STOP = 22,  // stop requested before the T.30 session began
  FAX_CAUSE_MAX_PAGES = 30,
  FAX_CAUSE_MAX_BYTES = 31,
  FAX_CAUSE_PAGE_NOT_SENDABLE = 47,  // page wider than the negotiated width
};

// fax__session_status (little-endian).
inline constexpr u32 FAX_SESSION_STATUS_SIZE = 6760;
inline constexpr u32 FAX_DEA_SIZE = 6764;
inline constexpr u32 FAX_PG_ROWS = 20;
inline constexpr u32 FAX_PG_ROW_SIZE = 168;
namespace fax_st {
inline constexpr u32 REMOTE_ID = 0;  // 22 bytes
inline constexpr u32 PAGES_TO_SEND = 22;
inline constexpr u32 PAGES_SENT = 24;
inline constexpr u32 SENT_GOOD = 26;
inline constexpr u32 SENT_MEDIUM = 28;
inline constexpr u32 SENT_BAD = 30;
inline constexpr u32 SENT_ROWS = 32;
inline constexpr u32 PAGES_RCV = 3392;
inline constexpr u32 RCV_GOOD = 3394;
inline constexpr u32 RCV_MEDIUM = 3396;
inline constexpr u32 RCV_BAD = 3398;
inline constexpr u32 RCV_ROWS = 3400;
}  // namespace fax_st

// FAX__REPORT_IN event record (176 bytes, at byte 4 of the body).
inline constexpr u32 FAX_REPORT_SIZE = 180;
inline constexpr u32 FAX_REPORT_RECORD_SIZE = 176;
enum : u8 { FAX_REM_FAX_ID = 1, FAX_REMOTE_IAF = 2, FAX_PG_SENT = 3, FAX_PG_RCV = 4 };
namespace fax_rep {
inline constexpr u32 EVENT = 0;
inline constexpr u32 PAGE_NUMBER = 4;  // u16; the remote identity text for event 1
inline constexpr u32 FILE_NAME = 8;    // 100 bytes; page rows start here
inline constexpr u32 ENCODING = 109;
inline constexpr u32 RESOLUTION = 110;  // u16
inline constexpr u32 WIDTH = 112;
inline constexpr u32 LENGTH = 113;
inline constexpr u32 QUALITY = 114;
inline constexpr u32 POST_KIND = 115;
inline constexpr u32 PAGE_BYTES = 116;   // u32
inline constexpr u32 CONVERSIONS = 120;  // u16
inline constexpr u32 DISCARDED = 124;    // i32
inline constexpr u32 DECODED_VALID = 128;
inline constexpr u32 DECODED_LINES = 132;  // u32
inline constexpr u32 T6_ERROR = 136;
inline constexpr u32 T4_ERRORS = 140;  // u32
}  // namespace fax_rep

void fax_entity_handler(msg_t* m);
void fax_entity_init();
// Its debug texts for the message trace.
extern const dcod__vocabulary fax_vocabulary;
inline constexpr entity_table_row_t FAX_ENTITY_ROW = {ENT_FAX, fax_entity_handler, 0, 0, fax_entity_init,
                                                      1,       &fax_vocabulary};

// Where the entity's fax event lines go (class 16 of the FOIP event
// printer in the program); null drops them.
using fax_event_printer_t = void (*)(nai_t nai, const char* text);
void fax_set_event_printer(fax_event_printer_t printer);

// Releases every session (timers, files) without answers; for a runtime
// that is about to stop.
void fax_release_all();

// State of the session of a nai (0..7), or -1 without a session; for tests
// and dumps.
int fax_session_state(nai_t nai);
