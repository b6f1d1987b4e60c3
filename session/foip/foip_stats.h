// Fax and T.38 statistics of ENT_FOIP: process-wide lengths of TCF
// sequences and fax pages (or ECM blocks) per data rate and direction, and
// counters of the end results of the fax entity, the V.25 call set-up, the
// fax session layer and the T.38 deactivations.  Updated by the T.38 report
// handling and the fax-session side, printed (then reset) by the session
// control with event class FOIP__SMNGT_STAT for nai 0.  SM thread only.
#pragma once

#include <string>

#include "runtime/types.h"

// Directions of the length statistics (report bits).
inline constexpr u32 FOIP_STAT__FROM_IP = 8192, FOIP_STAT__TO_IP = 16384, FOIP_STAT__FROM_TDM = 32768;
inline constexpr u8 FOIP_STAT__NB_RATES = 6;

struct foip_stat__tcf_row {
  u16 drate = 0, good_len = 0, cnt_not_good = 0, cnt_above = 0, cnt_below = 0;
  u32 max_len = 0, min_len = 0xFFFFFFFF, sum = 0, cnt = 0;
};
struct foip_stat__pg_row {
  u16 drate = 0;
  u32 max_len = 0, min_len = 0xFFFFFFFF, sum = 0, cnt = 0;
};
struct foip_stat__counter {
  u16 code;
  u32 counter;
};

// Lists of result codes.
enum : u8 {
  FOIP_STAT__LIST_FAX = 0,
  FOIP_STAT__LIST_V25,
  FOIP_STAT__LIST_CF,
  FOIP_STAT__LIST_T38_DEA,
  FOIP_STAT__LIST_T38_CAUSE
};

void foip_stat__init();
void foip_stat__init_tcf_len();
void foip_stat__init_fax_pg_len();
void foip_stat__init_fax_ret_codes();
void foip_stat__init_t38_dea_codes();

// The row of a code in a list; the "unknown" row when the code is not listed.
foip_stat__counter& foip_stat__find_counter(u16 code, u8 list);
// kind 1 TCF, other fax page / ECM block.
void foip_stat__update_tcf_pg_len(u8 kind, u8 modulation, u32 direction, u32 length);
// Deactivations: ok counts a success; else a failure with its cause.
void foip_stat__count_t38_dea(bool ok, u8 cause);
void foip_stat__count_t38_dea_code(u8 code, u16 count);

// Texts of the four blocks (empty when nothing to print), and the printers.
std::string foip_stat__tcf_len_text();
std::string foip_stat__fax_pg_len_text();
std::string foip_stat__t38_dea_codes_text();
std::string foip_stat__fax_ret_codes_text();
void foip_stat__display_fax_ret_codes();
void foip_stat__display_tcf_len();
void foip_stat__display_fax_pg_len();
void foip_stat__display_t38_dea_codes();

const foip_stat__tcf_row& foip_stat__tcf(u32 direction, u8 rate_index);
u32 foip_stat__dea_ok();
u32 foip_stat__dea_nok();
