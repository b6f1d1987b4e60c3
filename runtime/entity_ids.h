// One-byte entity identifiers of Tessaly.
#pragma once
#include "runtime/types.h"

inline constexpr ent_id_t ENT_SM = 'z';  // system management
inline constexpr ent_id_t ENT_MFM = 'F';
inline constexpr ent_id_t ENT_IP = 'I';  // socket entity
inline constexpr ent_id_t ENT_T38 = 'J';
inline constexpr ent_id_t ENT_ACU = 'u';
inline constexpr ent_id_t ENT_CF = 's';
inline constexpr ent_id_t ENT_T30 = 'e';
inline constexpr ent_id_t ENT_FM = 'f';
inline constexpr ent_id_t ENT_SIP = '~';
inline constexpr ent_id_t ENT_SSC = 0x83;
inline constexpr ent_id_t ENT_FAX = 0x80;
inline constexpr ent_id_t ENT_FC = 0x85;
inline constexpr ent_id_t ENT_APP_FOIP = 'A';
inline constexpr ent_id_t ENT_FOIP = 0x81;
inline constexpr ent_id_t ENT_TI = 'T';     // source of timer expiries
inline constexpr ent_id_t ENT_PH_IT = 'q';  // interrupt side (socket receive thread)
inline constexpr ent_id_t ENT_MT30 = 'E';   // named by the trace decoder only
inline constexpr ent_id_t ENT_NIL = 'n';    // no entity; end of the entity table

// Registrable identifiers.
inline constexpr ent_id_t OM_OS_ENT_FIRST = 32;
inline constexpr ent_id_t OM_OS_ENT_LAST = 150;
inline constexpr unsigned OM_OS_ENT_COUNT = OM_OS_ENT_LAST - OM_OS_ENT_FIRST + 1;  // 119
