// The T.38 entity ENT_T38 ('J'): one T.38 session per nai, configured,
// activated and released by its user (ENT_FOIP, or ENT_SM relaying), carried
// over UDPTL or TPKT through the socket entity ENT_IP.
//
// Primitives received: T38__SET_CONFIG_RQ ':' / SM_CONFIG_RQ 'C' (body:
// t38__config_session, t38_config.h) -> T38__SET_CONFIG_CO 'y' / 'c' {return
// code, cause, 'J'} written over the first three body bytes;
// T38__RESET_CONFIG_RQ '|' / SM_RST_CFG_RQ 'D' (the message's nai) ->
// 'z' / 'd' {return code, 'J', cause}; T38__CAPABILITIES_RQ 'P' -> 'p' {2,
// 0, 'J', 0, capabilities}; T38__SET_PARAM_RQ 'Q' {ret, cause, 'J', kind, u32,
// u16} -> 'q'; T38__ACT_RQ 'E' and every other user primitive go to the IAF
// service; SOCK_U_DA_IN 'z' and SOCK_DA_IN 'u' from ENT_IP / ENT_PH_IT; 'R'
// from ENT_PH_IT (a report to relay); timer expiries from ENT_TI.
//
// T38__DEA_IN 'I' (T38__DEA_IN_SIZE bytes, little-endian): 0 u8 return code,
// 1 u8 cause, 2 'J', 3 0, 4 the statistics record (T38__STATISTICS_SIZE
// bytes, t38__statistics), 268 eleven u16 enhanced return-code counters,
// 290 two bytes 0.
#pragma once

#include "runtime/entity.h"
#include "runtime/msg.h"
#include "runtime/types.h"
#include "t38/t38_session.h"

namespace kv::t38 {

inline constexpr char T38__BANNER[] = "(@)T38 v1.17.4 (24 Nov 2009)";

enum : code_t {
  T38__SET_CONFIG_RQ = ':',
  T38__SET_CONFIG_CO = 'y',
  T38__RESET_CONFIG_RQ = 0x7C,
  T38__RESET_CONFIG_CO = 'z',
  T38__CAPABILITIES_RQ = 'P',
  T38__CAPABILITIES_CO = 'p',
  T38__SET_PARAM_RQ = 'Q',
  T38__SET_PARAM_CO = 'q',
  T38__ACT_RQ = 'E',
  T38__DEA_RQ = 'S',
  T38__DEA_IN = 'I',
  T38IAF__TI_POLLING = 'p',
};

inline constexpr u8 T38__MAX_SESSIONS = 63;  // refused from this many on
inline constexpr u32 T38__CAPABILITIES_CO_SIZE = 4 + T38__CAPABILITIES_SIZE;
inline constexpr u32 T38__STATISTICS_SIZE = 264;
inline constexpr u32 T38__DEA_IN_SIZE = 292;
// Offset of the count of datagrams from other sources than the peer's
// address, in the statistics record.
inline constexpr u32 T38__STAT_FOREIGN_SOURCE_OFFSET = 260;

void t38_entity_init();
void t38_entity_handler(msg_t* m);
// Releases every session and the table (runtime stop, tests).
void t38_entity_stop();

inline constexpr entity_table_row_t T38_ENTITY_ROW = {ENT_T38, t38_entity_handler, 0, 0, t38_entity_init, 1};

u16 t38__session_count();
// The statistics record of a session.
void t38__statistics(const t38_session& s, u8 out[T38__STATISTICS_SIZE]);
// Writes the body of T38__DEA_IN (or T38__DEA_CO, laid out alike) over p:
// return code, cause, the session's statistics and the T38IAF__ENH_COUNTERS
// enhanced return-code counters `enh`.
void t38__dea_body(u8* p, u8 ret_code, u8 cause, const t38_session& s, const u16* enh);
// Traces the enhanced return-code counters that are not 0.
void t38__log_enh_counters(t38_session& s, const u16* enh);
// Sends T38__DEA_IN for a session that the T.38 side ends.
void t38__send_t38__dea_in(u8 ret_code, u8 cause, const char* cause_text, t38_session& s);

}  // namespace kv::t38
