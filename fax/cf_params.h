// The fax session layer's parameter sets and the user's parameter record
// (CF_SETPARM_RQ, 534 bytes): every field is a {present, value} pair (or a
// present byte and its data) that counts only with present = 1; first-block
// fields go into the configured, session and negotiated sets, second-block
// fields into the session and negotiated sets; each is checked against the
// capability limit of the configuration. The confirmation is the same
// record with byte 0 = 2 when every value was taken as given, 3 when one was
// lowered, raised or refused.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "runtime/types.h"

inline constexpr size_t CF_SETPARM_SIZE = 534;
inline constexpr size_t CF_FLAGS = 10;

// Flag positions of a set.
enum cf_flag : u8 {
  CF_FLAG_SUBADDRESS = 0,
  CF_FLAG_PASSWORD,
  CF_FLAG_SELECTIVE_POLLING,
  CF_FLAG_POLLED_SUBADDRESS,
  CF_FLAG_BIT1,
  CF_FLAG_INTERNET_FAX,
  CF_FLAG_BIT102,
  CF_FLAG_BIT101,
  CF_FLAG_UNIT,
  CF_FLAG_BIT79,
};

// One parameter set: codes are held as their positions in the letter
// tables (speed 2 4 7 9 12 14 33, width "123", length "ABU", ECM "062",
// scan time "01234567").
struct cf_param_set {
  u16 resolution = 0x001;
  u8 min_speed = 0, max_speed = 5;
  u8 width = 0, length = 0;
  u8 letter = 0, legal = 0;  // FIF bits 76 and 77
  u8 coding = 1;
  u8 ecm = 0, ecm_frame = 0;
  u8 scan = 0;
  std::array<u8, CF_FLAGS> flags{};
  bool operator==(const cf_param_set&) const = default;
};

struct cf_params {
  cf_param_set limit;  // capability limits of the configuration
  cf_param_set configured, session, negotiated;
  // Values kept for the information record and the call.
  u8 info_flag = 0;  // pair 90/91 was 1
  u8 value_92 = 0, value_94 = 0;
  u8 doc_ready = 0;  // pair 96/97
  u8 polling = 0;    // pair 98/99
  u8 value_382 = 3, value_384 = 10, value_390 = 4, value_394 = 0;
  u16 value_386 = 12;
  u8 bit_order = 0;  // pair 392/393
};

// Applies a CF_SETPARM_RQ record and turns it into its confirmation in
// place; false when the request is dropped (shorter than 534 bytes or byte
// 3 not 'P'), and then the record is left unchanged.
[[nodiscard]] bool cf_apply_setparm(cf_params& p, std::span<u8> record);
