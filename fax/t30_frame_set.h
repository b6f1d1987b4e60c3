// Building the frame sets that the T.30 engine sends: DIS, DTC, DCS and CFR
// with their optional frames, at most 310 octets in all.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "fax/t30_capability.h"
#include "fax/t30_ident.h"
#include "platform/int_types.h"

inline constexpr u8 T30_CONTROL_OPTIONAL = 0xC0;
inline constexpr u8 T30_CONTROL_FINAL = 0xC8;

struct t30_frame_set {
  static constexpr size_t max_octets = 310;
  static constexpr size_t max_frames = 8;
  struct ref {
    u16 offset = 0;
    u16 length = 0;
  };
  std::array<u8, max_octets> octets{};
  u16 used = 0;
  u8 count = 0;
  std::array<ref, max_frames> frames{};
  u8 final_class = 0;  // 1 DIS, 2 DTC, 3 DCS, 4 CFR

  std::span<const u8> frame(size_t i) const {
    return i < count ? std::span<const u8>(octets.data() + frames[i].offset, frames[i].length) : std::span<const u8>{};
  }
};

enum class t30_build_status : u8 {
  ok,
  too_long,      // the set would pass 310 octets (WCAP2MUF)
  no_rate_code,  // DCS modulation without a rate code (trap 409)
  bad_kind,      // not a DIS, DTC, DCS or CFR set
};

struct t30_build_options {
  bool dis_received = false;  // this station has received a DIS
  bool dcs_received = false;  // this station has received a DCS
  t30_fif_options fif;
};

// Builds the set of the given kind (DIS, DTC, DCS or CFR) from the result
// record and the local items. On failure `out` holds no complete set.
t30_build_status t30_build_set(t30_set_kind kind, const t30_capability& result, const t30_local_params& local,
                               const t30_build_options& opt, t30_frame_set& out);
