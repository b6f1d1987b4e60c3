// The fax session layer ENT_CF ('s'): one session context per nai between
// the fax automaton (its user) and the T.30 engine ENT_T30 ('e'). It turns
// CF requests into T.30 requests and T.30 indications into CF indications,
// keeps the configured, session and negotiated parameter sets and what the
// far side reported, maps modulations to speed codes and T.30 clearing
// causes to session causes, and configures the T.30 engine.
//
// Configuration (SM_CONFIG_RQ from ENT_SM, a 68-byte record): u16 entry
// count at 4 (one entry), the entry from 8 with its u16 nai at 8; the
// capability limits at 32 (minimum speed code), 33 (maximum speed code),
// 34 (u16 resolution mask), 36 (coding mask), 37 (width code '1'..'3'),
// 38 (length code 'A', 'B', 'U'), 39 (scan time code '0'..'7'), 40 (ECM
// code '0', '6', '2'); u16 number of nai slots at 66 (0: the runtime's
// count); byte 52 the lower entity of the engine's V.34 control. The layer
// configures the T.30 engine (MT30_CONFIG_RQ, channel = nai) and answers SM_CONFIG_CO {2, 0, 's'} when the
// engine has confirmed, {3, 17, 'e'} when it refused, {3, cause, 's'} at
// once for a record in error (causes below).
//
// Session events run only for a context in mode 'F' (byte 4 of CF_INIT_RQ).
// Messages up go to the context's user with SAP 255 and the connection id
// of its CF_INIT_RQ; messages down go to ENT_T30 with the nai as the
// engine's channel number.
//
// Page data: CF_DA_RQ (inline u16 0 or 1 = last data of the page, the
// octets in the buffer chain) is taken while connected in phase 3 or 5; its
// octets are bit-reversed unless the bit-order option is set, then go on as
// T30_DA_RQ, or wait in the held-data queue while data may not flow.
// CF_MAJR_SYNC_RQ ends the page with an end mark and T30_END_PAGE_RQ.
#pragma once

#include <cstdint>
#include <deque>
#include <span>

#include "fax/cf_info.h"
#include "fax/cf_map.h"
#include "fax/cf_params.h"
#include "runtime/entity.h"
#include "runtime/msg.h"
#include "runtime/types.h"

inline constexpr const char* CF_BANNER = "(@)CF v1.69.1 (07 May 2009)";

// CF primitives (user <-> ENT_CF).
enum : code_t {
  CF_INIT_RQ = 'B',
  CF_INIT_CO = 'b',
  CF_STOP_RQ = 'C',
  CF_STOP_CO = 'c',
  CF_CONN_RQ = 'F',
  CF_CONN_IN = 'f',  // known, never sent
  CF_CONN_CO = 'g',
  CF_DISC_RQ = 'H',
  CF_DISC_IN = 'h',
  CF_DISC_CO = 'i',
  CF_DA_RQ = 'J',
  CF_DA_IN = 'j',
  CF_FLUSH_RQ = 'K',
  CF_SIGNAL_RQ = 'L',
  CF_SIGNAL_IN = 'l',  // known, never sent
  CF_INFO_RQ = 'M',
  CF_INFO_IN = 'm',
  CF_INFO_CO = 'n',
  CF_SETPARM_RQ = 'O',
  CF_SETPARM_CO = 'o',
  CF_CAPBILITY_RQ = 'R',
  CF_CAPBILITY_CO = 'r',
  CF_CAPBILITY_IN = 's',
  CF_CAPBILITY_RS = 'S',
  CF_MAJR_SYNC_RQ = 'P',
  CF_MAJR_SYNC_CO = 'q',
  CF_MAJR_SYNC_IN = 'p',
  CF_MAJR_SYNC_RS = 'Q',
  CF_INT_SYNC_RQ = '+',
  CF_INT_SYNC_CO = '-',
  CF_TEST_RQ = 'T',  // the test primitives are known and not handled
  CF_TEST_IN = 'u',
  CF_TEST_CO = 't',
  CF_BUSY_RQ = '(',
  CF_BUSY_IN = ')',
  CF_CLR_BUSY_RQ = '[',
  CF_CLR_BUSY_IN = ']',
};

// Kinds of CF_INFO_IN (byte 3 of the information record).
enum : u8 {
  CF_INFO_IN_DCS_SENT = 'C',
  CF_INFO_IN_DCS_RECEIVED = 'c',
  CF_INFO_IN_FLAGS = 'f',
  CF_INFO_IN_DIS_RECEIVED = 'i',
  CF_INFO_IN_DTC_RECEIVED = 't',
  CF_INFO_IN_LINE_RATE = 'r',
  // Known to the user; this layer never sends them.
  CF_INFO_IN_FRAME_RECEIVED = '<',
  CF_INFO_IN_FRAME_SENT = '>',
  CF_INFO_IN_NSS_RECEIVED = 'n',
};

// Configuration causes of SM_CONFIG_CO.
enum : u8 {
  CF_CAUSE_T30_REFUSED = 17,
  CF_CAUSE_NO_SLOT_TABLE = 18,
  CF_CAUSE_NAI_RANGE = 19,
  CF_CAUSE_NAI_CONFIGURED = 20,
  CF_CAUSE_NO_CONTEXT_MEMORY = 21,
  CF_CAUSE_NO_CONTEXT = 22,
  CF_CAUSE_SPEED_RANGE = 23,
  CF_CAUSE_ENTRIES = 24,
};

// Traps.
enum : u16 {
  CF_TRAP_UNEXPECTED = 400,  // unknown timer code, unexpected code from 'e' or 'n'
  CF_TRAP_NOT_USER = 401,    // a request from an entity other than the context's user
  CF_TRAP_BODY_SIZE = 403,   // a body larger than a buffer
  CF_TRAP_LONG_DATA = 406,   // no long-data area
};

inline constexpr size_t CF_CONFIG_SIZE = 68;
inline constexpr u8 CF_SAPI = 255;

// One session context.
// Connection states of a context.
inline constexpr u8 CF_CONN_IDLE = 0;
inline constexpr u8 CF_CONN_CONNECTING = 1;
inline constexpr u8 CF_CONN_CONNECTED = 2;

struct cf_context {
  nai_t nai = 0;
  u16 conn_id = 0;
  ent_id_t user = 'n';
  u8 mode = 0;  // 'F': fax
  u8 role = 0;  // 'O' originate, else answer
  bool initialised = false;
  u8 state = CF_CONN_IDLE;
  u8 phase = 0;  // 0..5
  u16 service = 0;
  u8 options56 = 0;       // byte 56 of CF_INIT_RQ
  u16 options6 = 0;       // u16 at 6 of CF_INIT_RQ
  u8 readiness = 0;       // bit 1: a capability answer came, bit 2: the far side's set is known
  u32 exchanges = 0;      // T30_WhatToDo_IN counted in phase 1
  u32 what_to_do = 0;     // u32 at 4 of the last T30_WhatToDo_IN
  char pending = 0;       // 'R' capability request, 'F' connect request waiting for negotiation
  bool answered = false;  // the engine's last T30_WhatToDo_IN has had its T30_WhatToDo_RS
  cf_info_state info;
  // Counted non-standard data and the 20-byte fields to send.
  u8 nsf_kind = 0, nsf_length = 0;
  std::array<u8, CF_NSF_SIZE> nsf{};
  std::array<std::array<u8, CF_ID_SIZE>, 4> fields{};  // subaddress, password, selective polling, PSA
  std::array<bool, 4> fields_set{};
  std::array<bool, 2> local_id_set{};
  std::array<bool, 3> local_address_set{};
  // Page ends.
  char processing_rx = 'P', quality_rx = 'G', processing_tx = 'P', quality_tx = 'G';
  bool retrain = false, interrupt = false;
  // Page data.
  bool data_flows = false;
  std::deque<msg_t*> held;
  u32 bytes_sent = 0;
  u32 refused = 0;
  cf_context() = default;
  cf_context(const cf_context&) = delete;
  cf_context& operator=(const cf_context&) = delete;
  ~cf_context();
};

// The entity's message handler.
void cf_entity_handler(msg_t* m);
// Releases every context and the slot table (no messages are sent).
void cf_release_all();
// Registration: cf_release_all becomes the entity's stop routine.
void cf_entity_init();
inline constexpr entity_table_row_t CF_ENTITY_ROW = {ENT_CF, cf_entity_handler, 0, 0, cf_entity_init, 0};
// The context of a nai, or null (tests, traces).
const cf_context* cf_find(nai_t nai);
