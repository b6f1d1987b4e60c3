#include "fax/cf_map.h"

#include "fax/t30_engine.h"

namespace {

constexpr u16 kFrom[CF_SPEEDS] = {0x9B7E, 0x9B7C, 0x9A78, 0x9A70, 0x9860, 0x9840, 0x9000};
constexpr u16 kUpToSend[CF_SPEEDS] = {0x1102, 0x1106, 0x130E, 0x131E, 0x1B3E, 0x1F7E, 0x9B7E};
constexpr u16 kUpToReceive[CF_SPEEDS] = {0x1102, 0x1106, 0x1106, 0x131E, 0x131E, 0x1F7E, 0x9B7E};

// T.30 clearing causes 0 to 42 that do not map to themselves.
struct cause_row {
  u8 from, to;
};
constexpr cause_row kCauses[] = {{0, 10},  {12, 8},  {14, 7},  {16, 7}, {17, 10}, {18, 10}, {19, 8},  {20, 8}, {22, 21},
                                 {25, 11}, {26, 11}, {27, 11}, {28, 7}, {30, 8},  {31, 10}, {32, 10}, {41, 9}};

}  // namespace

u8 cf_speed_index(u16 modulation) {
  for (u8 i = 0; i < CF_SPEEDS; ++i)
    if (cf_speed_modulation[i] == modulation) return i;
  return 0;
}

u8 cf_speed_code(u8 index) { return cf_speed_codes[index < CF_SPEEDS ? index : 0]; }

int cf_speed_index_of_code(u8 code) {
  for (u8 i = 0; i < CF_SPEEDS; ++i)
    if (cf_speed_codes[i] == code) return i;
  return -1;
}

u16 cf_speed_mask(u8 min_index, u8 max_index, bool receive_tables) {
  if (min_index >= CF_SPEEDS) min_index = 0;
  if (max_index >= CF_SPEEDS) max_index = CF_SPEEDS - 1;
  const u16* up = receive_tables ? kUpToReceive : kUpToSend;
  return static_cast<u16>(up[max_index] & kFrom[min_index]);
}

cf_speed_range cf_remote_speeds(u16 mask) {
  mask = static_cast<u16>(mask & ~0x0400);
  for (int high = CF_SPEEDS - 1; high >= 0; --high)
    for (int low = 0; low <= high; ++low)
      if (static_cast<u16>(kUpToSend[high] & ~0x0400 & kFrom[low]) == mask)
        return {static_cast<u8>(low), static_cast<u8>(high)};
  return {0, CF_SPEEDS - 1};
}

u8 cf_session_cause(u16 t30_cause) {
  const u16 n = t30_cause & 0x3F;
  if (n > 42) return 10;
  for (const cause_row& r : kCauses)
    if (r.from == n) return r.to;
  return static_cast<u8>(n);
}

u16 cf_end_page_rq(char processing, bool interrupt, bool retrain) {
  u16 w = processing == 'N' ? (T30_EPQ_PAGE | T30_EPQ_NEW_DOC) : processing == 'P' ? (T30_EPQ_PAGE | T30_EPQ_MORE) : 0;
  if (interrupt) w |= T30_EPQ_PRI;
  if (retrain) w |= T30_EPQ_RESEND;
  return w;
}

u16 cf_end_page_rs(char quality, bool interrupt) {
  const u16 w = quality == 'G' ? 0 : quality == 'M' ? 1 : 2;
  return static_cast<u16>(w + (interrupt ? 4 : 0));
}

char cf_quality_letter(u16 quality) { return quality == 0 ? 'G' : quality == 1 ? 'M' : 'B'; }

char cf_processing_letter(u16 command) {
  const u16 c = command & ~0x0004;
  return c == 0 ? 'P' : c == 1 ? 'N' : 'S';
}
