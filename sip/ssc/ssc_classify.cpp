// Classification tables of ENT_SSC, one per sender.
#include "sip/ssc/ssc_classify.h"

#include <iterator>

namespace {

constexpr u8 R_NONE = SSC_ROUTE_NONE;
constexpr u8 NO_TX = 255;

// Timer expiries (the code is the timer's code).
constexpr ssc_class_row kTimerRows[] = {
    {'0', ssc_sel::open_call, 'C', 54, 0, NO_TX},
    {'1', ssc_sel::open_call, 'C', 69, SSC_STEP_IDLE_TO_F, NO_TX},
    {'2', ssc_sel::keepalive, 'G', 85, 0, NO_TX},
    {'3', ssc_sel::keepalive, 'G', 90, 0, NO_TX},
};

// Primitives from ENT_SIP.  Code 40 (handshake) is answered with 41 and
// runs no machine; code 63 is the relayed error.
constexpr ssc_class_row kSipRows[] = {
    {40, ssc_sel::none, R_NONE, SSC_EVENT_NONE, 0, NO_TX},
    {63, ssc_sel::none, 'F', 56, 0, NO_TX},
    {193, ssc_sel::sip_match, 'C', 4, 0, NO_TX},
    {195, ssc_sel::sip_match, 'C', 43, SSC_STEP_IDLE_TO_F, NO_TX},
    {196, ssc_sel::sip_match, 'C', 12, 0, NO_TX},
    {197, ssc_sel::sip_match, 'F', 10, 0, NO_TX},
    {198, ssc_sel::sip_match, 'C', 21, SSC_STEP_REG_LINK, NO_TX},
    {225, ssc_sel::sip_match, 'C', 5, 0, NO_TX},
    {226, ssc_sel::sip_match, 'C', 6, 0, NO_TX},
    {227, ssc_sel::sip_match, 'C', 41, 0, NO_TX},
    {228, ssc_sel::sip_match, 'C', 13, 0, NO_TX},
    {229, ssc_sel::sip_match, 'C', 8, 0, NO_TX},
    {230, ssc_sel::sip_match, 'C', 22, 0, NO_TX},
};

constexpr u8 A = SSC_STEP_AUX;
constexpr u8 AK = SSC_STEP_AUX | SSC_STEP_AUX_KEEP;

// Messages of the user (ENT_FOIP).
constexpr ssc_class_row kUserRows[] = {
    {38, ssc_sel::first_or_new, 'F', 62, A, NO_TX},
    {40, ssc_sel::aux_only, 'A', 0, A, NO_TX},
    {43, ssc_sel::aux_only, 'A', 55, A, NO_TX},
    {65, ssc_sel::open_call, 'F', 1, AK | SSC_STEP_SLOT, NO_TX},
    {66, ssc_sel::open_call, 'C', 3, A, NO_TX},
    {67, ssc_sel::open_call, 'C', 40, A | SSC_STEP_SLOT | SSC_STEP_IDLE_TO_F, NO_TX},
    {68, ssc_sel::open_call, 'C', 11, A, NO_TX},
    {69, ssc_sel::open_call, 'C', 7, A | SSC_STEP_FIND_SENT_INVITE, NO_TX},
    {70, ssc_sel::entry0, 'F', 20, AK | SSC_STEP_REG_LINK, NO_TX},
    {82, ssc_sel::open_call, 'F', 19, A, NO_TX},
    {91, ssc_sel::none, 'G', 66, 0, NO_TX},
    {97, ssc_sel::open_call, 'C', 2, AK | SSC_STEP_SLOT, 0},
    {99, ssc_sel::open_call, 'C', 42, A, 4},
    {100, ssc_sel::open_call, 'C', 14, A, 1},
    {101, ssc_sel::open_call, 'C', 9, A, 0},
    {102, ssc_sel::entry0, 'C', 23, A, 2},
    {114, ssc_sel::open_call, 'F', 68, A, NO_TX},
};

constexpr ssc_mgmt_row kMgmtRows[] = {
    {'A', ssc_sel::keepalive, 82, true}, {'B', ssc_sel::keepalive, 83, true}, {'C', ssc_sel::keepalive, 84, true},
    {'D', ssc_sel::binding, 86, false},  {'E', ssc_sel::binding, 87, false},
};

constexpr ssc_class_row kOther = {0, ssc_sel::none, R_NONE, SSC_EVENT_NONE, 0, NO_TX};

template <std::size_t N>
const ssc_class_row& find_row(const ssc_class_row (&rows)[N], u8 code) {
  for (const ssc_class_row& r : rows)
    if (r.code == code) return r;
  return kOther;
}

}  // namespace

const ssc_class_row& ssc_timer_row(u8 code) { return find_row(kTimerRows, code); }
const ssc_class_row& ssc_sip_row(u8 code) { return find_row(kSipRows, code); }
const ssc_class_row& ssc_user_row(u8 code) { return find_row(kUserRows, code); }

const ssc_mgmt_row* ssc_mgmt_row_of(u8 sub_code) {
  for (const ssc_mgmt_row& r : kMgmtRows)
    if (r.sub_code == sub_code) return &r;
  return nullptr;
}

ssc_class_table ssc_timer_table() { return {kTimerRows, static_cast<unsigned>(std::size(kTimerRows))}; }
ssc_class_table ssc_sip_table() { return {kSipRows, static_cast<unsigned>(std::size(kSipRows))}; }
ssc_class_table ssc_user_table() { return {kUserRows, static_cast<unsigned>(std::size(kUserRows))}; }

bool ssc_relay_error_body(const u8* sip_body, u32 len, u8 out[SSC_ERROR_IN_SIZE]) {
  if (sip_body == nullptr || len < 5) return false;
  out[0] = '~';
  out[1] = 0;
  out[2] = sip_body[0];
  out[3] = sip_body[1];
  out[4] = 255;
  out[5] = sip_body[2];
  out[6] = sip_body[3];
  out[7] = sip_body[4];
  return true;
}

void ssc_error_in_body(u16 error, u8 fatal, u8 code, u8 out[SSC_ERROR_IN_SIZE]) {
  out[0] = 0x83;
  out[1] = 0;
  out[2] = static_cast<u8>(error);
  out[3] = static_cast<u8>(error >> 8);
  out[4] = 255;
  out[5] = 0;
  out[6] = fatal;
  out[7] = code;
}
