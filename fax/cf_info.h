// The fax session layer's information record (body of CF_INFO_IN and
// CF_INFO_CO, 820 bytes): a snapshot of the session's parameter sets, what
// the far side reported and the local identities. Integers are host order.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "fax/cf_params.h"
#include "runtime/types.h"

inline constexpr size_t CF_INFO_SIZE = 820;
inline constexpr size_t CF_ID_SIZE = 20;
inline constexpr size_t CF_ADDRESS_TEXT = 77;
inline constexpr size_t CF_NSF_SIZE = 50;

struct cf_address {
  u8 type = 0;
  u8 length = 0;  // at most 77
  std::array<u8, CF_ADDRESS_TEXT> text{};
};

// A 20-character field as the far side reported it: 0 until reported, then
// 20 with the text padded with spaces.
struct cf_text_field {
  u8 length = 0;
  std::array<u8, CF_ID_SIZE> text{};
  // Keeps up to 20 bytes of `value`, space-padded.
  void keep(std::span<const u8> value);
};

struct cf_remote {
  cf_param_set set;
  u16 service = 0;
  cf_text_field id, subaddress, password, selective_polling, psa;
  std::array<cf_address, 3> addresses{};
  u8 nsf_length = 0;
  std::array<u8, CF_NSF_SIZE> nsf{};
  // Keeps an address record {type, length, text}, the length cut to 77.
  static void keep_address(cf_address& a, std::span<const u8> record);
  // Keeps non-standard data, cut to 50 bytes.
  void keep_nsf(std::span<const u8> data);
};

struct cf_info_state {
  cf_params params;
  cf_remote remote;
  std::array<std::array<u8, CF_ID_SIZE>, 2> local_id{};
  std::array<cf_address, 3> local_address{};
  u16 line_rate = 0, line_word = 0;
  u8 cause = 1;  // session clearing cause, 1 before any
  cf_info_state();
};

// Writes the record; `kind` goes to byte 3. Bytes the record does not name
// are left as `out` had them (zero them first for CF_INFO_IN).
void cf_write_info(const cf_info_state& s, u8 kind, std::span<u8, CF_INFO_SIZE> out);
