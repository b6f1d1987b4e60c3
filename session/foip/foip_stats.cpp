// Fax and T.38 statistics of ENT_FOIP.
#include "session/foip/foip_stats.h"

#include <array>
#include <cstdio>
#include <vector>

#include "runtime/entity_ids.h"
#include "session/foip/foip_err.h"
#include "session/foip/foip_t38_mgt.h"
#include "session/trace/foip_trc.h"

namespace {

struct rate_row {
  u16 drate, good;
};
constexpr rate_row kRates[FOIP_STAT__NB_RATES] = {{2400, 450},  {4800, 900},   {7200, 1350},
                                                  {9600, 1800}, {12000, 2250}, {14400, 2700}};
constexpr u32 kDirections[3] = {FOIP_STAT__FROM_IP, FOIP_STAT__TO_IP, FOIP_STAT__FROM_TDM};
constexpr const char* kDirectionHeads[3] = {"   Direction: From IP\n", "\n   Direction: To IP\n",
                                            "\n   Direction: From TDM\n"};

// Modulation code -> rate row (-1: not counted).
constexpr int rate_of(u8 modulation) {
  switch (modulation) {
    case 0: return 0;
    case 2: return 1;
    case 3:
    case 11: return 2;
    case 1:
    case 9: return 3;
    case 6:
    case 10: return 4;
    case 4:
    case 8: return 5;
    default: return -1;
  }
}

constexpr u16 kFaxCodes[] = {10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 30, 31};
constexpr u16 kV25Codes[] = {98, 112, 97, 99, 105, 108, 104, 84, 73};
constexpr u16 kCfCodes[] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 13, 15,
                            21, 23, 24, 29, 33, 34, 35, 36, 37, 38, 39, 40, 42};
constexpr u16 kDeaCodes[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
constexpr u16 kCauseCodes[] = {1, 2, 3, 4, 5, 6, 7};

struct glb_t {
  foip_stat__tcf_row tcf[3][FOIP_STAT__NB_RATES];
  foip_stat__pg_row pg[3][FOIP_STAT__NB_RATES];
  std::array<std::vector<foip_stat__counter>, 5> lists;
  u32 dea_ok = 0, dea_nok = 0;
} g;

template <size_t N>
std::vector<foip_stat__counter> make_list(const u16 (&codes)[N]) {
  std::vector<foip_stat__counter> v;
  for (u16 c : codes) v.push_back({c, 0});
  v.push_back({0xFFFF, 0});
  v.push_back({0xFFFF, 0});  // codes not listed
  return v;
}

int direction_index(u32 d) {
  for (int i = 0; i < 3; ++i)
    if (kDirections[i] == d) return i;
  return -1;
}

void print(const std::string& text) {
  if (!text.empty()) foip_trc__print_event(0, FOIP__SMNGT_STAT, text.substr(0, 4998).c_str());
}

}  // namespace

void foip_stat__init_tcf_len() {
  for (auto& dir : g.tcf)
    for (u8 r = 0; r < FOIP_STAT__NB_RATES; ++r) {
      dir[r] = foip_stat__tcf_row{};
      dir[r].drate = kRates[r].drate;
      dir[r].good_len = kRates[r].good;
    }
}
void foip_stat__init_fax_pg_len() {
  for (auto& dir : g.pg)
    for (u8 r = 0; r < FOIP_STAT__NB_RATES; ++r) {
      dir[r] = foip_stat__pg_row{};
      dir[r].drate = kRates[r].drate;
    }
}
void foip_stat__init_fax_ret_codes() {
  g.lists[FOIP_STAT__LIST_FAX] = make_list(kFaxCodes);
  g.lists[FOIP_STAT__LIST_V25] = make_list(kV25Codes);
  g.lists[FOIP_STAT__LIST_CF] = make_list(kCfCodes);
}
void foip_stat__init_t38_dea_codes() {
  g.lists[FOIP_STAT__LIST_T38_DEA] = make_list(kDeaCodes);
  g.lists[FOIP_STAT__LIST_T38_CAUSE] = make_list(kCauseCodes);
  g.dea_ok = g.dea_nok = 0;
}
void foip_stat__init() {
  foip_stat__init_tcf_len();
  foip_stat__init_fax_pg_len();
  foip_stat__init_fax_ret_codes();
  foip_stat__init_t38_dea_codes();
}

foip_stat__counter& foip_stat__find_counter(u16 code, u8 list) {
  std::vector<foip_stat__counter>& v = g.lists[list < g.lists.size() ? list : 0];
  if (v.empty()) foip_stat__init();
  size_t i = 0;
  for (; v[i].code != 0xFFFF; ++i)
    if (v[i].code == code) return v[i];
  return v[i + 1];
}

void foip_stat__update_tcf_pg_len(u8 kind, u8 modulation, u32 direction, u32 length) {
  const int r = rate_of(modulation);
  const int d = direction_index(direction);
  if (r < 0 || d < 0) return;
  if (kind == 1) {
    foip_stat__tcf_row& row = g.tcf[d][r];
    ++row.cnt;
    row.sum += length;
    if (length != row.good_len) ++row.cnt_not_good;
    if (length >= row.max_len) row.max_len = length;
    if (length <= row.min_len) row.min_len = length;
    const u32 tenth = row.good_len * 10u / 100u;
    if (length > row.good_len + tenth) ++row.cnt_above;
    if (length < row.good_len - tenth) ++row.cnt_below;
  } else {
    foip_stat__pg_row& row = g.pg[d][r];
    row.sum += length;
    ++row.cnt;
    if (length >= row.max_len) row.max_len = length;
    if (length <= row.min_len) row.min_len = length;
  }
}

void foip_stat__count_t38_dea(bool ok, u8 cause) {
  if (ok) {
    ++g.dea_ok;
  } else {
    ++g.dea_nok;
    ++foip_stat__find_counter(cause, FOIP_STAT__LIST_T38_CAUSE).counter;
  }
}
void foip_stat__count_t38_dea_code(u8 code, u16 count) {
  foip_stat__find_counter(code, FOIP_STAT__LIST_T38_DEA).counter += count;
}

namespace {

// The rows of each direction that counted something, under the head of the
// direction, each as `row_text` writes it.
template <class Table, class RowText>
void append_directions(std::string& out, const Table& table, RowText row_text) {
  for (int d = 0; d < 3; ++d) {
    bool any = false;
    for (const auto& row : table[d]) any |= row.cnt != 0;
    if (!any) continue;
    out += kDirectionHeads[d];
    for (const auto& row : table[d])
      if (row.cnt) out += row_text(row);
  }
}

}  // namespace

std::string foip_stat__tcf_len_text() {
  std::string out = "\n----------------------------------\nTCF length statistics\n---------------------\n";
  append_directions(out, g.tcf, [](const foip_stat__tcf_row& row) {
    char line[400];
    const u32 tenth = row.good_len * 10u / 100u;
    (void)std::snprintf(
        line, sizeof line,
        "       - Drate: %u  Good len: %u  +10%%: %u  -10%%: %u  (cnt %lu)\n         Results -> Average = "
        "%lu  Max len = %lu  Min len = %lu   Cnt not %u = %u  Cnt above 10%% = %u  Cnt below 10%% = %u\n",
        row.drate, row.good_len, row.good_len + tenth, row.good_len - tenth, static_cast<unsigned long>(row.cnt),
        static_cast<unsigned long>(row.sum / row.cnt), static_cast<unsigned long>(row.max_len),
        static_cast<unsigned long>(row.min_len), row.good_len, row.cnt_not_good, row.cnt_above, row.cnt_below);
    return std::string(line);
  });
  return out;
}

std::string foip_stat__fax_pg_len_text() {
  std::string out =
      "\n----------------------------------\nFax page length statistics\nWARNING: These statistics are valid only if "
      "the same Fax page is transferred\n--------------------------\n";
  append_directions(out, g.pg, [](const foip_stat__pg_row& row) {
    char line[300];
    (void)std::snprintf(
        line, sizeof line,
        "       - Drate: %u  (cnt %lu)\n         Results -> Average = %lu  Max len = %lu  Min len = %lu\n", row.drate,
        static_cast<unsigned long>(row.cnt), static_cast<unsigned long>(row.sum / row.cnt),
        static_cast<unsigned long>(row.max_len), static_cast<unsigned long>(row.min_len));
    return std::string(line);
  });
  return out;
}

namespace {
std::string rows_text(u8 list, const char* (*text_of)(u32)) {
  std::string out;
  char line[200];
  const auto& v = g.lists[list];
  size_t i = 0;
  for (; i < v.size() && v[i].code != 0xFFFF; ++i) {
    if (!v[i].counter) continue;
    (void)std::snprintf(line, sizeof line, "       - Counter: %4lu  Ret_code: (%d) %s\n",
                        static_cast<unsigned long>(v[i].counter), v[i].code, text_of(v[i].code));
    out += line;
  }
  if (i + 1 < v.size() && v[i + 1].counter) {
    (void)std::snprintf(line, sizeof line, "       - Counter: %4lu  Ret_code: (%d) unknown\n",
                        static_cast<unsigned long>(v[i + 1].counter), v[i + 1].code);
    out += line;
  }
  return out;
}
const char* cause_text(u32 code) { return t38_mgt__dea_cause_text(code); }
const char* fax_text(u32 c) { return foip_err__fax_diag_text(ENT_FAX, c); }
const char* v25_text(u32 c) { return foip_err__fax_diag_text(ENT_ACU, c); }
const char* cf_text(u32 c) { return foip_err__fax_diag_text(ENT_CF, c); }

}  // namespace

std::string foip_stat__t38_dea_codes_text() {
  if (g.lists[FOIP_STAT__LIST_T38_DEA].empty()) foip_stat__init();
  std::string out;
  char head[300];
  if (g.dea_ok) {
    const std::string rows = rows_text(FOIP_STAT__LIST_T38_DEA, t38_mgt__dea_code_text);
    if (!rows.empty())
      (void)std::snprintf(head, sizeof head,
                          "\n----------------------------------\nT38__DEA_IN/CO (OK) (cnt = %lu)\nEnhanced return code "
                          "statistics\n-------------------------------\n",
                          static_cast<unsigned long>(g.dea_ok));
    else
      (void)std::snprintf(
          head, sizeof head,
          "\n----------------------------------\nT38__DEA_IN/CO (OK) (cnt = %lu)\n-------------------------------\n",
          static_cast<unsigned long>(g.dea_ok));
    out += head;
    out += rows;
  }
  if (g.dea_nok) {
    (void)std::snprintf(head, sizeof head,
                        "\n----------------------------------\nT38__DEA_IN (NOK) (cnt = %lu)\nError causes "
                        "statistics\n-------------------------------\n",
                        static_cast<unsigned long>(g.dea_nok));
    out += head;
    out += rows_text(FOIP_STAT__LIST_T38_CAUSE, cause_text);
  }
  return out;
}

std::string foip_stat__fax_ret_codes_text() {
  if (g.lists[FOIP_STAT__LIST_FAX].empty()) foip_stat__init();
  return "\n----------------------------------\nFAX entity (ACU/CF)   \nReturn code "
         "statistics\n----------------------\n" +
         rows_text(FOIP_STAT__LIST_FAX, fax_text) + rows_text(FOIP_STAT__LIST_V25, v25_text) +
         rows_text(FOIP_STAT__LIST_CF, cf_text);
}
void foip_stat__display_fax_ret_codes() {
  if (g.lists[FOIP_STAT__LIST_FAX].empty()) foip_stat__init();
  print(
      "\n----------------------------------\nFAX entity (ACU/CF)   \nReturn code statistics\n----------------------\n" +
      rows_text(FOIP_STAT__LIST_FAX, fax_text));
  print(rows_text(FOIP_STAT__LIST_V25, v25_text));
  print(rows_text(FOIP_STAT__LIST_CF, cf_text));
}

void foip_stat__display_tcf_len() { print(foip_stat__tcf_len_text()); }
void foip_stat__display_fax_pg_len() { print(foip_stat__fax_pg_len_text()); }
void foip_stat__display_t38_dea_codes() { print(foip_stat__t38_dea_codes_text()); }

const foip_stat__tcf_row& foip_stat__tcf(u32 direction, u8 rate_index) {
  const int d = direction_index(direction);
  return g.tcf[d < 0 ? 0 : d][rate_index % FOIP_STAT__NB_RATES];
}
u32 foip_stat__dea_ok() { return g.dea_ok; }
u32 foip_stat__dea_nok() { return g.dea_nok; }
