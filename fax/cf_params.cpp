#include "fax/cf_params.h"

#include <string_view>

#include "common/byte_order.h"
#include "fax/cf_map.h"

namespace {

constexpr std::string_view kWidths = "123", kLengths = "ABU", kEcm = "062", kScan = "01234567";

int position(std::string_view table, u8 code) {
  const size_t at = table.find(static_cast<char>(code));
  return code != 0 && at != std::string_view::npos ? static_cast<int>(at) : -1;
}

class applier {
 public:
  applier(cf_params& p, std::span<const u8> r) : p_(p), r_(r) {}
  bool changed = false;

  bool present(size_t at) const { return r_[at] == 1; }
  u8 value(size_t at) const { return r_[at + 1]; }

  // Stores v into the sets of the block.
  template <typename F>
  void store(bool first_block, F&& set) {
    if (first_block) set(p_.configured);
    set(p_.session);
    set(p_.negotiated);
  }

  void resolution(size_t at, size_t value_at, bool first_block) {
    if (r_[at] != 1) return;
    u16 v = get_le16(r_.data() + value_at);
    if (first_block) v |= 0x001;
    v &= p_.limit.resolution;
    if (v == 0) {
      changed = true;
      return;
    }
    store(first_block, [&](cf_param_set& s) { s.resolution = v; });
  }
  // An index found in its table (negative: not found) held to the limit of
  // field: a ceiling, or a floor where raise is set.
  void bounded(int i, bool first_block, u8 cf_param_set::*field, bool raise) {
    if (i < 0) {
      changed = true;
      return;
    }
    u8 v = static_cast<u8>(i);
    const u8 bound = p_.limit.*field;
    if (raise ? v < bound : v > bound) {
      v = bound;
      changed = true;
    }
    store(first_block, [&](cf_param_set& s) { s.*field = v; });
  }
  void max_speed(size_t at, bool first_block) {
    if (!present(at)) return;
    bounded(cf_speed_index_of_code(value(at)), first_block, &cf_param_set::max_speed, false);
  }
  void min_speed(size_t at) {
    if (!present(at)) return;
    bounded(cf_speed_index_of_code(value(at)), false, &cf_param_set::min_speed, true);
  }
  // A code looked up in its table; above the limit: lowered.
  void lowered(size_t at, bool first_block, std::string_view table, u8 cf_param_set::*field) {
    if (!present(at)) return;
    bounded(position(table, value(at)), first_block, field, false);
  }
  // A yes/no option; asking for one the limit does not allow changes
  // nothing. `slot` picks the option out of a parameter set.
  template <class Slot>
  void yes_no(size_t at, bool first_block, Slot slot) {
    if (!present(at)) return;
    if (value(at) != 0 && slot(p_.limit) == 0) {
      changed = true;
      return;
    }
    const u8 v = value(at) != 0 ? 1 : 0;
    store(first_block, [&](cf_param_set& s) { slot(s) = v; });
  }
  void flag(size_t at, bool first_block, u8 cf_param_set::*field) {
    yes_no(at, first_block, [field](cf_param_set& s) -> u8& { return s.*field; });
  }
  void flag_at(size_t at, bool first_block, cf_flag f) {
    yes_no(at, first_block, [f](cf_param_set& s) -> u8& { return s.flags[f]; });
  }
  void coding(size_t at, bool first_block) {
    if (!present(at)) return;
    u8 v = value(at) & 0x0F;
    if (!first_block) v &= p_.limit.coding;
    store(first_block, [&](cf_param_set& s) { s.coding = v; });
  }
  void ecm(size_t at, bool first_block) {
    if (!present(at)) return;
    const int i = position(kEcm, value(at));
    if (i < 0) {
      changed = true;
      return;
    }
    if (p_.limit.ecm == 0 && i != 0) changed = true;
    const u8 v = static_cast<u8>(i < p_.limit.ecm ? i : p_.limit.ecm);
    store(first_block, [&](cf_param_set& s) { s.ecm = v; });
  }
  // Any ECM code but "no ECM" asks for the larger frames (2), lowered to the
  // limit.
  void ecm_frame(size_t at, bool first_block) {
    if (!present(at)) return;
    const int i = position(kEcm, value(at));
    bounded(i <= 0 ? i : 2, first_block, &cf_param_set::ecm_frame, false);
  }
  // Below the limit: raised.
  void scan(size_t at, bool first_block) {
    if (!present(at)) return;
    bounded(position(kScan, value(at)), first_block, &cf_param_set::scan, true);
  }
  void missing_option(size_t at) {
    if (present(at) && value(at) != 0) changed = true;
  }
  void unit(size_t at, bool first_block) {
    if (!present(at)) return;
    if (value(at) >= 3) {
      changed = true;
      return;
    }
    const u8 v = value(at);
    store(first_block, [&](cf_param_set& s) { s.flags[CF_FLAG_UNIT] = v; });
  }
  void kept(size_t at, u8& out) {
    if (present(at)) out = value(at);
  }

 private:
  cf_params& p_;
  std::span<const u8> r_;
};

constexpr cf_flag kSevenFlags[] = {
    CF_FLAG_SUBADDRESS, CF_FLAG_PASSWORD, CF_FLAG_SELECTIVE_POLLING, CF_FLAG_POLLED_SUBADDRESS, CF_FLAG_BIT1,
    CF_FLAG_BIT102,     CF_FLAG_BIT101};

void block(applier& a, bool first) {
  const size_t base = first ? 0 : 42;  // second-block pairs sit 42 bytes on (50/51 for 8/9)
  if (first) {
    a.resolution(5, 6, true);
    a.max_speed(8, true);
  } else {
    a.resolution(46, 48, false);
    a.min_speed(52);
    a.max_speed(50, false);
  }
  a.lowered(base + 10 + (first ? 0 : 2), first, kWidths, &cf_param_set::width);
  a.lowered(base + 12 + (first ? 0 : 2), first, kLengths, &cf_param_set::length);
  const size_t b = first ? 14 : 58;
  a.flag(b, first, &cf_param_set::letter);
  a.flag(b + 2, first, &cf_param_set::legal);
  a.coding(b + 4, first);
  a.ecm(b + 6, first);
  a.ecm_frame(b + 8, first);
  a.scan(b + 10, first);
  if (first) a.missing_option(26);
  for (size_t i = 0; i < 7; ++i) a.flag_at(b + 14 + 2 * i, first, kSevenFlags[i]);
  a.unit(b + 28, first);
  a.flag_at(b + 30, first, CF_FLAG_BIT79);
}

}  // namespace

bool cf_apply_setparm(cf_params& p, std::span<u8> record) {
  if (record.size() < CF_SETPARM_SIZE || record[3] != 'P') return false;
  applier a(p, record);
  block(a, true);
  block(a, false);
  if (a.present(90)) p.info_flag = a.value(90) == 1 ? 1 : 0;
  a.missing_option(70);  // taken after 90/91
  a.kept(92, p.value_92);
  a.kept(94, p.value_94);
  a.kept(96, p.doc_ready);
  a.kept(98, p.polling);
  if (a.present(382)) p.value_382 = a.value(382) & 0x0F;
  a.kept(384, p.value_384);
  if (record[386] == 1) p.value_386 = get_le16(record.data() + 388);
  a.kept(390, p.value_390);
  a.kept(392, p.bit_order);
  a.kept(394, p.value_394);
  record[0] = a.changed ? 3 : 2;
  record[1] = 0;
  record[2] = 0;
  return true;
}
