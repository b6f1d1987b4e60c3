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

// Codes of the information record.
// Speed codes, by speed index 0 to 6.
enum : u8 {
  CF_SPD_2400 = 2,
  CF_SPD_4800 = 4,
  CF_SPD_7200 = 7,
  CF_SPD_9600 = 9,
  CF_SPD_12000 = 12,
  CF_SPD_14400 = 14,
  CF_SPD_33600 = 33,
};
// Resolution mask bits.
enum : u16 {
  CF_PR_0200_0100 = 0x001,
  CF_PR_0200_0200 = 0x002,
  CF_PR_0300_0300 = 0x004,
  CF_PR_0400_0400 = 0x008,
  CF_PR_0600_0600 = 0x010,
  CF_PR_1200_1200 = 0x020,
  CF_PR_0200_0400 = 0x040,
  CF_PR_0300_0600 = 0x080,
  CF_PR_0400_0800 = 0x100,
  CF_PR_0600_1200 = 0x200,
  CF_PR_0100_0100 = 0x400,
};
// Page width, page length, ECM and scan-time codes, by index.
enum : u8 {
  CF_PW_215_MM = '1',
  CF_PW_255_MM = '2',
  CF_PW_303_MM = '3',
  CF_PL_A4 = 'A',
  CF_PL_B4 = 'B',
  CF_PL_UNLIM = 'U',
  CF_ECM_NO = '0',
  CF_ECM_64 = '6',
  CF_ECM_256 = '2',
  CF_ST_0000 = '0',
  CF_ST_0505 = '1',
  CF_ST_1005 = '2',
  CF_ST_1010 = '3',
  CF_ST_2010 = '4',
  CF_ST_2020 = '5',
  CF_ST_4020 = '6',
  CF_ST_4040 = '7',
};
// Coding mask bits (8: the coding of T.30 FIF bit 78).
enum : u8 {
  CF_PENC_T4_1D_MH = 1,
  CF_PENC_T4_2D_MR = 2,
  CF_PENC_T6_MMR = 4,
};
// Resolution unit preference.
enum : u8 {
  CF_RU_ANY = 0,
  CF_RU_METRIC = 1,
  CF_RU_INCH = 2,
};

// Offsets of the named fields of the record. The far side's ten flags start
// at 43, so that its password, selective-polling, selective-polling
// subaddress and resolution-unit flags fall at 44, 45, 46 and 51.
enum cf_info_offset : size_t {
  rem_rdy_to_be_polled = 30,
  rem_page_resol = 32,
  rem_max_speed = 34,
  rem_max_page_width = 35,
  rem_max_page_length = 38,
  rem_encoding = 39,
  rem_ecm_frame_size = 40,
  rem_scan_time = 41,
  rem_flags = 43,
  rem_pwd_support = 44,
  rem_sep_support = 45,
  rem_sep_sa_support = 46,
  rem_pref_resol_unit = 51,
  rem_id = 54,
  rem_pwd_sid = 332,
  rem_sep = 353,
  rem_psa = 374,
  cur_page_resol = 468,
  cur_min_speed = 470,
  cur_max_speed = 471,
  cur_max_page_width = 472,
  cur_max_page_length = 473,
  cur_encoding = 476,
  cur_s_ecm_frame_size = 477,
  cur_scan_time = 480,
};

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
