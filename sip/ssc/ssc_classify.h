// Classification tables of ENT_SSC: for each sender, which records a message
// concerns and which machine (route) gets which input (event).
//
// Contract: one constexpr table per sender, read by ssc_classify_msg; the
// lookups return the row of a code (or the "other" row).  Routes: 'A'
// profile handler, 'C' dialog-entry machine, 'F' call machine, 'G' general
// events, 'H' dialog-entry machine on the saved registration entry, 'I' call
// machine then general events, 'S' binding events, 255 none.  Event 126 is
// "not classified", 64 "classification failed".
#pragma once
#include "runtime/types.h"

inline constexpr u8 SSC_ROUTE_NONE = 255;
inline constexpr u8 SSC_EVENT_NONE = 126;
inline constexpr u8 SSC_EVENT_FAILED = 64;

// Record selection a row asks for.
enum class ssc_sel : u8 {
  none,
  open_call,     // call of the user-side conn_id and its entry of the SAP's index, else a new call
  first_or_new,  // the call's first entry, else a new call
  entry0,        // call with entry index 0
  keepalive,     // keep-alive record of the conn_id's low byte / of the request's index
  binding,       // binding of the index
  aux_only,      // only the auxiliary record (failure: event 64)
  sip_match,     // call of the SIP-side conn_id, entry matched on the remote tag
};

// Further steps of a user row (bit flags).
inline constexpr u8 SSC_STEP_AUX = 0x01;               // select the auxiliary record of carried_word_1
inline constexpr u8 SSC_STEP_AUX_KEEP = 0x02;          // and the entry keeps its index
inline constexpr u8 SSC_STEP_SLOT = 0x04;              // select the registration slot of carried_word_2
inline constexpr u8 SSC_STEP_REG_LINK = 0x08;          // link the entry into its registration slot; save it
inline constexpr u8 SSC_STEP_FIND_SENT_INVITE = 0x10;  // the INVITE sent in the call becomes current
inline constexpr u8 SSC_STEP_IDLE_TO_F = 0x20;         // route 'F' when the entry is idle (state 1)

struct ssc_class_row {
  u8 code;
  ssc_sel sel;
  u8 route;
  u8 event;
  u8 steps;
  u8 tx_type;  // message type of the received request answered (255: none)
};

struct ssc_mgmt_row {
  u8 sub_code;
  ssc_sel sel;
  u8 event;
  bool checked;  // a failed selection answers result 3, cause 'B'
};

// The row of a code, or the sender's "other" row (code 0, route 255, event 126).
[[nodiscard]] const ssc_class_row& ssc_timer_row(u8 code);
[[nodiscard]] const ssc_class_row& ssc_sip_row(u8 code);
[[nodiscard]] const ssc_class_row& ssc_user_row(u8 code);
// Management sub-code row, or null for an unknown sub-code (result 3, cause 'A').
[[nodiscard]] const ssc_mgmt_row* ssc_mgmt_row_of(u8 sub_code);

// The whole tables, for walking in tests and traces.
struct ssc_class_table {
  const ssc_class_row* rows;
  unsigned count;
};
[[nodiscard]] ssc_class_table ssc_timer_table();
[[nodiscard]] ssc_class_table ssc_sip_table();
[[nodiscard]] ssc_class_table ssc_user_table();

// SIP responses whose status makes the entity send itself event 95 on 'C'.
[[nodiscard]] inline bool ssc_status_ends_dialog(u32 status) { return status == 481 || status == 408 || status == 50; }
inline constexpr u8 SSC_EVENT_DIALOG_GONE = 95;

// The 8-byte SSC_ERROR_IN body relayed from a SIP_ERROR_IN: '~' at 0, the
// error number at 2-3 (little-endian), 255 at 4, the three detail bytes at
// 5-7.  `sip_body` is the SIP_ERROR_IN body {u16 error, 3 detail bytes};
// false when it is shorter than 5 bytes.
inline constexpr u8 SSC_ERROR_IN_SIZE = 8;
[[nodiscard]] bool ssc_relay_error_body(const u8* sip_body, u32 len, u8 out[SSC_ERROR_IN_SIZE]);
// The SSC_ERROR_IN body ENT_SSC makes itself: origin 0x83, error, 255, 0,
// fatal flag, code concerned.
void ssc_error_in_body(u16 error, u8 fatal, u8 code, u8 out[SSC_ERROR_IN_SIZE]);
