// Primitive codes of the SSC messages exchanged between ENT_FOIP, ENT_SSC and
// ENT_SM.  Requests from the user are 0x40 + m, the user's responses 0x60 + m,
// confirms to the user 0xC0 + m and indications 0xE0 + m (m = SIP method
// number of the primitive numbering: INVITE 1, ACK 2, OPTIONS 3, BYE 4,
// CANCEL 5, REGISTER 6).
#pragma once
#include "runtime/types.h"

inline constexpr code_t SSC_SM_RQ = ' ';      // management request to ENT_SM
inline constexpr code_t SSC_SM_ANSWER = '!';  // management answer from ENT_SM
// One primitive: the session-parameter request of the FOIP side
// (SSC_SET_PARAM_SESSION_RQ there) is this code and no other.
inline constexpr code_t SSC_SET_PARM_RQ = 38;  // '&'
inline constexpr code_t SSC_PROF_REG_RQ = 40;
inline constexpr code_t SSC_PROF_REG_CO = 41;
inline constexpr code_t SSC_PROF_REM_RQ = 43;
inline constexpr code_t SSC_PROF_REM_CO = 45;
inline constexpr code_t SSC_SET_PARM_CO = 58;  // ':'
inline constexpr code_t SSC_ERROR_IN = 63;     // '?'
inline constexpr code_t SSC_INVITE_RQ = 65;
inline constexpr code_t SSC_ACK_RQ = 66;
inline constexpr code_t SSC_OPTIONS_RQ = 67;
inline constexpr code_t SSC_BYE_RQ = 68;
inline constexpr code_t SSC_CANCEL_RQ = 69;
inline constexpr code_t SSC_REGISTER_RQ = 70;
inline constexpr code_t CLOSE_SESS_RQ = 82;      // 'R'
inline constexpr code_t CALL_CLOSED_IN = 88;     // 'X'
inline constexpr code_t SSC_LOCAL_ADDR_RQ = 91;  // local addresses
inline constexpr code_t SSC_LOCAL_ADDR_RS = 93;
inline constexpr code_t SSC_INVITE_RS = 97;
inline constexpr code_t SSC_OPTIONS_RS = 99;
inline constexpr code_t SSC_BYE_RS = 100;
inline constexpr code_t SSC_CANCEL_RS = 101;
inline constexpr code_t SSC_REGISTER_RS = 102;
inline constexpr code_t CLOSE_SESS_RS = 114;  // 'r'
inline constexpr code_t SSC_INVITE_CO = 193;
inline constexpr code_t SSC_OPTIONS_CO = 195;
inline constexpr code_t SSC_BYE_CO = 196;
inline constexpr code_t SSC_CANCEL_CO = 197;
inline constexpr code_t SSC_REGISTER_CO = 198;
inline constexpr code_t CLOSE_SESS_CO = 210;
inline constexpr code_t SSC_INVITE_IN = 225;
inline constexpr code_t SSC_ACK_IN = 226;
inline constexpr code_t SSC_OPTIONS_IN = 227;
inline constexpr code_t SSC_BYE_IN = 228;
inline constexpr code_t SSC_CANCEL_IN = 229;
inline constexpr code_t SSC_REGISTER_IN = 230;
inline constexpr code_t SESS_CLOSED_IN = 242;
