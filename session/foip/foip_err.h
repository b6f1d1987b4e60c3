// Errors of the FOIP entity: the trap routine and its message pool, and the
// tables that give every error source, error code and fax diagnostic its
// text.  The texts travel in the confirm part of the FOIP API answers and in
// FOIP__REPORT_IN trap reports; they are fixed, peers and operators read them.
#pragma once

#include "runtime/msg.h"
#include "runtime/types.h"
#include "session/foip/app_foip_prim.h"

// One row of a {value, name} table.  Row 0 holds the default name; the table
// ends at the first later row whose name is empty.
struct foip__name_entry {
  u32 value;
  const char* name;
};
// The name of `value` in `table`, or the table's default name.
const char* foip__get_name(const foip__name_entry* table, u32 value);

// ---------------------------------------------------------------------------
// Error sources.
enum : u8 {
  FOIP__START_ERR_SRC__FOIP_CHK_PARAM = 240,
  FOIP__START_ERR_SRC__OTHER_ERRORS = 225,
  FOIP__T38_CAP_ERR_SRC = 190,
  FOIP__REGISTER_ERR_SRC__FOIP_CHK_PARAM = 200,
  FOIP__CFG_ERR_SRC__FOIP_CHK_PARAM = 255,
  FOIP__STOP_SRC = 129,  // source of the answers of a session that ran
};

// Codes of source 255 (global configuration).
enum : u8 {
  FOIP__CFG_ERR__CONFIRM_BUF_TOO_SMALL = 1,
  FOIP__CFG_ERR__FOIP__REPORT_IN_BUF_TOO_SMALL = 2,
  FOIP__CFG_ERR__REASSEMBLE_BUFF = 3,
  FOIP__CFG_ERR__ALLOC_RESOURCE = 4,
  FOIP__CFG_ERR__TIMER_RESOURCE = 5,
  FOIP__CFG_ERR__MSG_BUFF_RESOURCE = 6,
  FOIP__CFG_ERR__FNAME_GLB_EVENT_ACCES_FILE = 7,
  FOIP__CFG_ERR__FNAME_GLB_AUDIT_ACCES_FILE = 8,
};

// Codes of source 225.
enum : u8 {
  FOIP__START_ERR__FOIP_ENTITY_NOT_READY = 1,
  FOIP__START_ERR__GLB_FOIP_ENTITY_CNF_NOK = 2,
};

// Codes of source 240 (session parameter check).
enum : u8 {
  FOIP__START_ERR__GLB_CNF_NOT_SET = 1,
  FOIP__START_ERR__REASSEMBLE_BUFF = 2,
  FOIP__START_ERR__NAI = 3,
  FOIP__START_ERR__NAI_2 = 4,
  FOIP__START_ERR__NAI_ALREADY_USED = 5,
  FOIP__START_ERR__ALLOC_RESOURCE = 6,
  FOIP__START_ERR__TIMER_RESOURCE = 7,
  FOIP__START_ERR__LOCAL_USER_PHONE_NUMBER_TOO_LONG = 8,
  FOIP__START_ERR__REMOTE_USER_PHONE_NUMBER_TOO_LONG = 9,
  FOIP__START_ERR__NO_LOCAL_USER_NAME = 10,  // no text of its own
  FOIP__START_ERR__LOCAL_USER_NAME = 11,     // no text of its own
  FOIP__START_ERR__REMOTE_USER_NAME = 12,    // no text of its own
  FOIP__START_ERR__FAX__GENERIC_FNAME_RCV_FAX_PG_ACCESS = 14,
  FOIP__START_ERR__DIRECTION_1 = 15,
  FOIP__START_ERR__DIRECTION_2 = 16,
  FOIP__START_ERR__DIRECTION_3 = 17,
  FOIP__START_ERR__DIRECTION_4 = 18,
  FOIP__START_ERR__FNAME_EVT_ACCESS = 19,
  FOIP__START_ERR__FNAME_AUDIT_ACCESS = 20,
  FOIP__START_ERR__FNAME_T38_TRC_ACCESS = 21,
  FOIP__START_ERR__LOCAL_MEDIA_PORT = 24,
  FOIP__START_ERR__FAX__TIFF_FNAME_FAX_PG_ACCESS = 84,
  FOIP__START_ERR__FAX__TMP_TIFF_FILE = 84,
  FOIP__START_ERR__FAX__TMP_TIFF_FILE_ACCESS = 85,
  FOIP__START_ERR_TIFF_ERR__FOPEN_FAILURE = 90,
  FOIP__START_ERR_TIFF_ERR__WRONG_TIFF_HEADER = 91,
  FOIP__START_ERR_TIFF_ERR__WRONG_TIFF_FILE = 92,
  FOIP__START_ERR_TIFF_PG_HDR_BAD_ENCODING_METHOD = 102,
  FOIP__START_ERR_TIFF_PG_HDR_BAD_RESOLUTION = 104,
};

// Codes of source 190.
enum : u8 {
  FOIP__T38_CAP_ERR__MSG_BUFF_RESOURCE = 1,
  FOIP__T38_CAP_ERR__PREPARE_CO_1 = 2,
  FOIP__T38_CAP_ERR__PREPARE_CO_2 = 3,
};

// Error and code texts of a start or configuration error (confirm codes
// 'F', 'a', 'b', 'e', 't').
void foip_err__start_error_text(u8 source, u8 code, const char** source_text, const char** code_text);
// Error and code texts of a registration error (confirm codes 'n', 'r').
void foip_err__register_error_text(u8 source, u8 code, const char** source_text, const char** code_text);
// Text of a fax diagnostic of a diagnostic entity ('s', 'u', 0x80, 0x85);
// "Unknown diagnostic" for another entity.  The statistics lists name their
// counted diagnostic codes (up to 16 bits) with it too.
const char* foip_err__fax_diag_text(u8 entity, u32 diag);
// The SIP return-code text of a status (or internal code 1..40).
const char* foip_err__ret_code_text(u32 value);

// Fills a confirm: return code, error source and code; texts empty when the
// return code is 2, else the texts of the primitive's error family, cut to
// the fields.
void foip__fill_confirm(code_t primitive, u8 return_code, u8 error_source, u8 error_code, foip__confirm* out);

// ---------------------------------------------------------------------------
// Traps.
enum : u16 {
  FOIP__TRAP__ERR_ALLOC_MSG_BUFFER__ = 21001,
  FOIP__TRAP__ERR_MSG_NOT_ALLOCATED = 21003,
  FOIP__TRAP__ERR_NO_MORE_SEGMENTED_BUFFER = 21004,
  FOIP__TRAP__ERR__P_DATA = 21005,
  FOIP__TRAP__EOF_LONG_DATA_TO_SEND = 21006,
  FOIP__TRAP__ERR_ALLOC_MSG_BUFFER = 21007,
  FOIP__TRAP__ERR_SEND_MNGT_PRIMITIVE = 21008,
  FOIP__TRAP__ERR_NOT_COMMON_T38_CONFIG_CO = 21021,
  FOIP__TRAP__REMOTE_ADDR_NOT_SET = 21021,
  FOIP__TRAP__SIP_SC_BAD_HNDL = 21072,
  FOIP__TRAP__SSC_ALLOC_HEADER = 21073,
  FOIP__TRAP__SIP_SC_FORMAT_RQ = 21074,
  FOIP__TRAP__SIP_SC_UNFORMAT_MSG = 21075,
  FOIP__TRAP__UNKNOWN_IP_ADDR = 21077,
  FOIP__TRAP__SSC_REGISTER_CO_NO_RET_CODE = 21078,
  FOIP__TRAP__UNKNOWN_CONN_ID = 22051,
  FOIP__TRAP__SIP_MEDIA_CTX_NOT_SET = 22058,
  FOIP__TRAP__CROSSED_SSC_T38_CTX_NOT_SET = 22071,
  FOIP__TRAP__ERR_T38__SET_PARAM_CO = 23022,
  FOIP__TRAP__SIP_INVITE_IN_NO_TO = 23053,
  FOIP__TRAP__SIP_INVITE_CO_NO_RET_CODE = 23056,
};
inline constexpr u16 FOIP__TRAP_CLASS = 1;
inline constexpr u16 FOIP_ERR__POOL_MAX = 20;
inline constexpr u16 FOIP_ERR__POOL_REFILL_BELOW = 15;

// Reports a FOIP fault to the user as FOIP__REPORT_IN 'H' (kind 'T',
// sub-kind 3).  Only class 1 is reported; with an empty pool the report is
// lost.  Routing by nai: 0xFFFF, a nai without session -> the configuration's
// user with nai 0xFFFF; the SIP signalling nai -> the configuration's user
// with that nai and conn_id; a session -> the session's user entity.
void Foip__trap(nai_t nai, u16 conn_id, u16 trap_class, u16 code, const char* name, const char* text);

// Relays the current T38__REPORT_IN (an error report, data starting with
// 'R') to the user as FOIP__REPORT_IN: report bit 1 as a T.38 trap (kind
// 'T', sub-kind 4), any other as a T.38 error report (kind 'R', sub-kind 2).
// The received message takes the place of the pool message used.
void foip_err__relay_t38_report();

void foip_err__init_pool();
void foip_err__refill_pool();
void foip_err__release_pool();
u16 foip_err__pool_count();
// Set when a short-form report does not fit one buffer.
bool foip_err__report_too_big();
