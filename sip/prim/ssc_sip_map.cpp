#include "sip/prim/ssc_sip_map.h"

#include <array>
#include <cstddef>

#include "sip/text/sip_prim_kind_rows.h"

namespace {

// Method bits of the pairing, one per request type (and the response of the
// same method).
constexpr u8 I = 1, B = 2, R = 4, A = 8, O = 16, C = 32;
constexpr u8 ALL_RQ = I | B | R | A | O | C;
constexpr u8 ALL_RS = I | B | R | O | C;
constexpr u8 NO_CANCEL_RQ = ALL_RQ & ~C;
constexpr u8 NO_ACK_RQ = ALL_RQ & ~A;
constexpr u8 IBRO = I | B | R | O;

struct pairing {
  u8 ssc;
  u8 sip;
  u8 requests;
  u8 responses;
};

// SSC header, SIP header, the request types and response types that carry it.
// ACK carries Content-Disposition and Proxy-Authorization like the other
// requests: its SIP table has both rows, and the ACK of a 2xx repeats the
// INVITE's credentials.
constexpr pairing PAIRS[] = {
    {3, 1, ALL_RQ, 0},
    {4, 2, A, ALL_RS},
    {5, 3, NO_ACK_RQ, ALL_RS},
    {6, 4, NO_ACK_RQ, ALL_RS},
    {7, 5, NO_ACK_RQ, ALL_RS},
    {8, 6, I, I},
    {9, 7, ALL_RQ, ALL_RS},
    {10, 8, 0, IBRO},
    {11, 9, ALL_RQ, 0},
    {12, 10, I | R | A | O, I},
    {13, 11, I | R | O, I | R | O},
    {14, 12, I | R | A | O, IBRO},
    {15, 13, IBRO | A, IBRO},
    {16, 14, NO_CANCEL_RQ, IBRO},
    {17, 15, NO_CANCEL_RQ, IBRO},
    {18, 17, NO_CANCEL_RQ, IBRO},
    {20, 19, ALL_RQ, ALL_RS},
    {21, 21, 0, ALL_RS},
    {22, 22, I | R, I | R},
    {23, 23, ALL_RQ, ALL_RS},
    {24, 25, I, 0},
    {25, 26, ALL_RQ, 0},
    {26, 27, NO_CANCEL_RQ, IBRO},
    {27, 28, 0, R},
    {28, 29, I, I},
    {29, 30, I | R | O, I | R | O},
    {30, 31, I | B | O, I | B | O},
    {31, 33, I, I},
    {32, 34, I | B | O, I | B | O},
    {33, 35, R, R},
    {34, 36, I, 0},
    {35, 37, ALL_RQ, ALL_RS},
    {36, 38, 0, ALL_RS},
    {37, 39, IBRO | A, 0},
    {38, 40, NO_CANCEL_RQ, 0},
    {39, 41, ALL_RQ, I},
    {40, 42, ALL_RQ, ALL_RS},
    {41, 43, I, 0},
    {42, 44, I, I},
    {43, 46, NO_CANCEL_RQ, IBRO},
    {44, 47, 0, ALL_RS},
    {45, 48, ALL_RQ, 0},
    {46, 49, 0, ALL_RS},
    {49, 50, 0, R},
    {50, 51, I, I},
    {51, 53, I | R, 0},
    {52, 54, NO_ACK_RQ, ALL_RS},
    {53, 55, ALL_RQ, ALL_RS},
    {54, 56, ALL_RQ, ALL_RS},
    {55, 57, O, IBRO},
    {56, 58, ALL_RQ, ALL_RS},
    {57, 59, ALL_RQ, ALL_RS},
    {58, 60, 0, ALL_RS},
    {59, 61, 0, IBRO},
    {60, 62, NO_CANCEL_RQ, IBRO},
    {61, 63, NO_CANCEL_RQ, IBRO},
    {62, 64, NO_CANCEL_RQ, IBRO},
    {63, 65, NO_CANCEL_RQ, IBRO},
    {64, 66, NO_CANCEL_RQ, IBRO},
    {65, 67, NO_CANCEL_RQ, IBRO},
    {66, 68, NO_CANCEL_RQ, IBRO},
    {67, 69, NO_CANCEL_RQ, IBRO},
    {68, 70, NO_CANCEL_RQ, IBRO},
    {72, 78, IBRO, 0},
    {75, 83, NO_CANCEL_RQ, IBRO},
    {85, 20, I, I},
    {89, 32, I, I},
    {92, 52, ALL_RQ, ALL_RS},
    {93, 24, I | R | O, I | R | O},
    {94, 45, ALL_RQ, 0},
    {96, 48, ALL_RQ, 0},
};

struct kind_rows {
  const sip_kind_hdr_row* rows;
  std::size_t count;
};
template <std::size_t N>
constexpr kind_rows rows_of(const sip_kind_hdr_row (&r)[N]) {
  return {r, N};
}

struct type_def {
  u8 bit;
  bool response;
  sip_msg_kind kind;
  kind_rows rows;
};
using namespace sip_kind_rows;
constexpr type_def TYPES[SSC_SIP_MAP_ROWS] = {
    {I, false, sip_msg_kind::invite_rq, rows_of(rows_invite_rq)},
    {B, false, sip_msg_kind::bye_rq, rows_of(rows_bye_rq)},
    {R, false, sip_msg_kind::register_rq, rows_of(rows_register_rq)},
    {A, false, sip_msg_kind::ack_rq, rows_of(rows_ack_rq)},
    {O, false, sip_msg_kind::options_rq, rows_of(rows_options_rq)},
    {C, false, sip_msg_kind::cancel_rq, rows_of(rows_cancel_rq)},
    {},
    {},
    {},
    {},
    {},
    {},
    {},
    {I, true, sip_msg_kind::invite_rs, rows_of(rows_invite_rs)},
    {B, true, sip_msg_kind::bye_rs, rows_of(rows_bye_rs)},
    {R, true, sip_msg_kind::register_rs, rows_of(rows_register_rs)},
    {O, true, sip_msg_kind::options_rs, rows_of(rows_options_rs)},
    {C, true, sip_msg_kind::cancel_rs, rows_of(rows_cancel_rs)},
};

constexpr int row_of(const kind_rows& k, u8 sip) {
  for (std::size_t r = 0; r < k.count; ++r)
    if (static_cast<unsigned>(k.rows[r].id) == sip) return static_cast<int>(r);
  return -1;
}
constexpr bool carries(const type_def& t, const pairing& p) {
  return ((t.response ? p.responses : p.requests) & t.bit) != 0;
}

constexpr std::size_t MAX_ENTRIES = std::size(PAIRS) + 1;
using list_t = std::array<ssc_sip_map_entry, MAX_ENTRIES>;

constexpr list_t build(unsigned type) {
  list_t out{};
  std::size_t n = 0;
  const type_def& t = TYPES[type];
  if (t.bit != 0)
    for (const pairing& p : PAIRS)
      if (carries(t, p)) {
        const int r = row_of(t.rows, p.sip);
        out[n++] = {static_cast<ssc_header_id>(p.ssc), 0, static_cast<u16>(r < 0 ? 0xFFFF : 2 * r)};
      }
  out[n] = {static_cast<ssc_header_id>(SSC_MAP_END), 0, 0};
  return out;
}

// Every entry names a row of its kind's table, and every row is named.
constexpr bool map_sound() {
  for (unsigned type = 0; type < SSC_SIP_MAP_ROWS; ++type) {
    const type_def& t = TYPES[type];
    if (t.bit == 0) continue;
    for (const pairing& p : PAIRS)
      if (carries(t, p) && row_of(t.rows, p.sip) < 0) return false;
    for (std::size_t r = 0; r < t.rows.count; ++r) {
      bool named = false;
      for (const pairing& p : PAIRS)
        if (carries(t, p) && static_cast<unsigned>(t.rows.rows[r].id) == p.sip) named = true;
      if (!named) return false;
    }
  }
  return true;
}
static_assert(map_sound(), "the SSC-to-SIP pairing and the SIP kind tables disagree");

constexpr list_t LISTS[SSC_SIP_MAP_ROWS] = {build(0),  build(1),  build(2),  build(3),  build(4),  build(5),
                                            build(6),  build(7),  build(8),  build(9),  build(10), build(11),
                                            build(12), build(13), build(14), build(15), build(16), build(17)};

constexpr ssc_sip_map_row row(unsigned type) {
  const type_def& t = TYPES[type];
  if (t.bit == 0) return {nullptr, sip_msg_kind::invite_rq, 0};
  return {LISTS[type].data(), t.kind, static_cast<u16>(2 * t.rows.count)};
}

}  // namespace

const ssc_sip_map_row ssc_sip_map_table[SSC_SIP_MAP_ROWS] = {
    row(0), row(1),  row(2),  row(3),  row(4),  row(5),  row(6),  row(7),  row(8),
    row(9), row(10), row(11), row(12), row(13), row(14), row(15), row(16), row(17),
};

const ssc_sip_map_row* ssc_sip_map__row(ssc_msg_type type) {
  const unsigned t = ssc_idx(type);
  if (t >= SSC_SIP_MAP_ROWS || ssc_sip_map_table[t].list == nullptr) return nullptr;
  return &ssc_sip_map_table[t];
}
