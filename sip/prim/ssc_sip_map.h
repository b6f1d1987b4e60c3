// SSC-to-SIP header map (`ssc_sip_map_table`): for each SSC message type that
// crosses between session control and the SIP transaction entity, which SSC
// headers travel in the SIP primitive and in which index slot of the body.
//
// The lists are derived at compile time from one pairing of SSC headers with
// SIP headers and from the SIP side's per-kind header tables: a slot offset is
// always twice the row of the paired SIP header in the kind's table, and every
// row of every kind's table is named by some entry (checked at compile time).
// A header of a handle that its type's list does not name is neither sent nor
// received.  The two Route lists (45 and 96) share the Route slot, 45 first.
#pragma once

#include <cstdint>

#include "sip/text/sip_prim_kind.h"
#include "sip/prim/ssc_header.h"
#include "platform/int_types.h"

// One 6-byte entry: SSC header id, 0, slot offset in the index area.  The
// list head position in the handle comes from the catalogue (Ssc_list_head).
struct ssc_sip_map_entry {
  ssc_header_id id;  // SSC_MAP_END ends a list
  u8 reserved;
  u16 slot_offset;
};
inline constexpr u8 SSC_MAP_END = 0xFF;

struct ssc_sip_map_row {
  const ssc_sip_map_entry* list;  // null: the type does not cross
  sip_msg_kind kind;              // the SIP kind whose table the slots count
  u16 index_bytes;                // 2 x the kind's rows
};

// Rows for types 0..17 (6..12 empty).
inline constexpr unsigned SSC_SIP_MAP_ROWS = 18;
extern const ssc_sip_map_row ssc_sip_map_table[SSC_SIP_MAP_ROWS];

// The row of a type, or null for a type that does not cross.
const ssc_sip_map_row* ssc_sip_map__row(ssc_msg_type type);
