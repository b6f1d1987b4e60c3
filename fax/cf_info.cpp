#include "fax/cf_info.h"

#include <algorithm>
#include <cstring>

#include "fax/cf_map.h"

namespace {

constexpr u8 kWidths[] = {CF_PW_215_MM, CF_PW_255_MM, CF_PW_303_MM};
constexpr u8 kLengths[] = {CF_PL_A4, CF_PL_B4, CF_PL_UNLIM};
constexpr u8 kEcm[] = {CF_ECM_NO, CF_ECM_64, CF_ECM_256};
constexpr u8 kScanTimes[] = {CF_ST_0000, CF_ST_0505, CF_ST_1005, CF_ST_1010,
                             CF_ST_2010, CF_ST_2020, CF_ST_4020, CF_ST_4040};

template <size_t N>
u8 code_of(const u8 (&table)[N], u8 pos) {
  return table[pos < N ? pos : 0];
}
u8 scan_code(u8 pos) { return code_of(kScanTimes, pos); }

void put16(u8* p, u16 v) { std::memcpy(p, &v, 2); }
void put32(u8* p, u32 v) { std::memcpy(p, &v, 4); }

void put_address(u8* p, const cf_address& a) {
  p[0] = a.type;
  p[1] = std::min<u8>(a.length, CF_ADDRESS_TEXT);
  std::memcpy(p + 2, a.text.data(), CF_ADDRESS_TEXT);
}

void put_field(u8* p, const cf_text_field& f) {
  p[0] = f.length;
  if (f.length) std::memcpy(p + 1, f.text.data(), CF_ID_SIZE);
}

// The nine-flag form leaves out the internet-fax flag.
void put_nine(u8* p, const std::array<u8, CF_FLAGS>& f) {
  size_t j = 0;
  for (size_t i = 0; i < CF_FLAGS; ++i)
    if (i != CF_FLAG_INTERNET_FAX) p[j++] = f[i];
}

u8 encoding_code(u8 mask) {
  if (mask & 8) return 8;
  if (mask & CF_PENC_T6_MMR) return 7;
  if (mask & CF_PENC_T4_2D_MR) return 3;
  return mask & CF_PENC_T4_1D_MH;
}

// The eight bytes every parameter set of the record has in a row: maximum
// speed, width, length, letter and legal flags, coding (as the caller gives
// it), ECM and ECM frame codes.
void put_limits(u8* p, const cf_param_set& set, u8 coding) {
  p[0] = cf_speed_code(set.max_speed);
  p[1] = code_of(kWidths, set.width);
  p[2] = code_of(kLengths, set.length);
  p[3] = set.letter;
  p[4] = set.legal;
  p[5] = coding;
  p[6] = code_of(kEcm, set.ecm);
  p[7] = code_of(kEcm, set.ecm_frame);
}

}  // namespace

void cf_text_field::keep(std::span<const u8> value) {
  text.fill(' ');
  if (!value.empty()) std::memcpy(text.data(), value.data(), std::min(value.size(), CF_ID_SIZE));
  length = CF_ID_SIZE;
}

void cf_remote::keep_address(cf_address& a, std::span<const u8> record) {
  a = {};
  if (record.size() < 2) return;
  a.type = record[0];
  a.length = static_cast<u8>(std::min<size_t>({record[1], CF_ADDRESS_TEXT, record.size() - 2}));
  std::memcpy(a.text.data(), record.data() + 2, a.length);
}

void cf_remote::keep_nsf(std::span<const u8> data) {
  nsf.fill(0);
  nsf_length = static_cast<u8>(std::min(data.size(), CF_NSF_SIZE));
  if (nsf_length != 0) std::memcpy(nsf.data(), data.data(), nsf_length);
}

cf_info_state::cf_info_state() {
  for (auto& id : local_id) id.fill(' ');
}

void cf_write_info(const cf_info_state& s, u8 kind, std::span<u8, CF_INFO_SIZE> out) {
  u8* r = out.data();
  const cf_params& p = s.params;
  r[0] = 2;
  r[3] = kind;
  r[5] = p.info_flag;
  // Configured set.
  const cf_param_set& c = p.configured;
  put16(r + 6, c.resolution);
  r[8] = cf_speed_code(c.min_speed);
  put_limits(r + 9, c, c.coding);
  r[17] = scan_code(c.scan);
  r[18] = r[19] = 0;
  std::memcpy(r + 20, c.flags.data(), CF_FLAGS);
  // Far side.
  const cf_param_set& f = s.remote.set;
  r[rem_rdy_to_be_polled] = (s.remote.service & 0x1000) && (s.remote.service & 0x200) ? 1 : 0;
  put16(r + rem_page_resol, f.resolution);
  r[rem_max_speed] = cf_speed_code(f.max_speed);
  r[rem_max_page_width] = code_of(kWidths, f.width);
  r[36] = f.letter;
  r[37] = f.legal;
  r[rem_max_page_length] = code_of(kLengths, f.length);
  r[rem_encoding] = f.coding;
  r[rem_ecm_frame_size] = code_of(kEcm, std::min(f.ecm, f.ecm_frame));
  r[rem_scan_time] = scan_code(f.scan);
  r[42] = 0;
  std::memcpy(r + rem_flags, f.flags.data(), CF_FLAGS);
  r[53] = s.remote.id.length;
  if (s.remote.id.length) std::memcpy(r + rem_id, s.remote.id.text.data(), CF_ID_SIZE);
  put_address(r + 74, s.remote.addresses[0]);
  put_address(r + 153, s.remote.addresses[1]);
  put_address(r + 232, s.remote.addresses[2]);
  put_field(r + 311, s.remote.subaddress);
  put_field(r + rem_pwd_sid, s.remote.password);
  put_field(r + rem_sep, s.remote.selective_polling);
  put_field(r + rem_psa, s.remote.psa);
  r[395] = s.remote.nsf_length;
  std::memcpy(r + 396, s.remote.nsf.data(), s.remote.nsf_length);
  // Session set.
  const cf_param_set& e = p.session;
  put16(r + 446, e.resolution);
  put_limits(r + 448, e, e.coding);
  r[456] = scan_code(e.scan);
  r[457] = 0;
  put_nine(r + 458, e.flags);
  // Negotiated set.
  const cf_param_set& n = p.negotiated;
  put16(r + cur_page_resol, n.resolution);
  r[cur_min_speed] = cf_speed_code(n.min_speed);
  put_limits(r + cur_max_speed, n, encoding_code(n.coding));
  r[479] = 0;
  r[cur_scan_time] = scan_code(n.scan);
  r[481] = p.value_92;
  put_nine(r + 482, n.flags);
  put16(r + 492, s.line_rate);
  put16(r + 494, s.line_word);
  r[496] = p.value_94;
  r[497] = p.doc_ready;
  r[498] = p.polling;
  std::memcpy(r + 499, s.local_id[0].data(), CF_ID_SIZE);
  std::memcpy(r + 519, s.local_id[1].data(), CF_ID_SIZE);
  put_address(r + 539, s.local_address[0]);
  put_address(r + 618, s.local_address[1]);
  put_address(r + 697, s.local_address[2]);
  r[776] = p.value_382 & 0x0F;
  r[777] = p.value_384;
  put16(r + 778, p.value_386);
  put32(r + 780, 3000);
  r[784] = p.value_390;
  r[785] = p.bit_order;
  r[786] = p.value_394;
  r[787] = 0;
  r[788] = s.cause;
  std::memset(r + 789, 0, CF_INFO_SIZE - 789);
}
