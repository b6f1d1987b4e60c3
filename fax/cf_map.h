// The fax session layer's mappings between its own codes and the T.30
// engine's: speed indexes and codes, modulation masks, clearing causes,
// the end-of-page words and the page-end report letters.
//
// End-of-page words. The engine reads T30_END_PAGE_RQ as: 0x200 | 0x001
// more pages (MPS), 0x002 with 0x200 or 0x100 a new document (EOM), else
// the last page (EOP); 0x020 the procedure-interrupt form of the command;
// 0x004 the resend flag, which after an RTN sends the page again (back to
// the DCS and training) instead of ending the call. The session layer writes
// its requests in that reading: a procedure interrupt adds 0x020 and a
// request to train again (resend after RTN) adds 0x004, so that an RTN on
// the last page gives the page another try rather than a DCN.
#pragma once

#include <cstdint>

#include "fax/cf_info.h"
#include "runtime/types.h"

inline constexpr size_t CF_SPEEDS = 7;
// T.30 modulation words of the speed indexes (2400 to 14400, then V.34).
inline constexpr u16 cf_speed_modulation[CF_SPEEDS] = {0x1102, 0x1104, 0x1208, 0x1210, 0x1820, 0x1840, 0x9000};
// Speed codes of the indexes.
inline constexpr u8 cf_speed_codes[CF_SPEEDS] = {CF_SPD_2400,  CF_SPD_4800,  CF_SPD_7200, CF_SPD_9600,
                                                 CF_SPD_12000, CF_SPD_14400, CF_SPD_33600};

// Index of a modulation word (0 for a word not in the table).
u8 cf_speed_index(u16 modulation);
// Speed code of an index (the lowest for an index out of range).
u8 cf_speed_code(u8 index);
// Index of a speed code, or -1.
int cf_speed_index_of_code(u8 code);

// Modulation mask of T30_WhatToDo_RS for a speed range of the negotiated
// set: U[max] AND F[min]; `receive_tables` picks the U row of a receiving
// side or a polling case.
u16 cf_speed_mask(u8 min_index, u8 max_index, bool receive_tables);

// The lowest and highest speed index of a far side's modulation mask (bit
// 0x400 ignored); a mask not among the 28 known ones counts as 2400 to 33600.
struct cf_speed_range {
  u8 min_index, max_index;
};
cf_speed_range cf_remote_speeds(u16 mask);

// Session cause of a T.30 clearing cause (6 bits).
u8 cf_session_cause(u16 t30_cause);

// T30_END_PAGE_RQ word: processing 'P' (more pages), 'N' (new document) or
// 'S' (last page); see the reading above.
u16 cf_end_page_rq(char processing, bool interrupt, bool retrain);
// T30_END_PAGE_RS word: page quality 'G', 'M' or 'B'; plus 4 for the
// procedure-interrupt answer (PIP / PIN).
u16 cf_end_page_rs(char quality, bool interrupt);

// Letters of CF_MAJR_SYNC_IN / _CO from T30_END_PAGE_IN / _CO words.
char cf_quality_letter(u16 quality);     // 0 'G', 1 'M', else 'B'
char cf_processing_letter(u16 command);  // bit 2 ignored: 0 'P', 1 'N', else 'S'
