// Building the frame sets that the T.30 engine sends: DIS, DTC, DCS and CFR
// with their optional frames, at most 310 octets in all.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "fax/t30_capability.h"
#include "fax/t30_ident.h"

inline constexpr uint8_t T30_CONTROL_OPTIONAL = 0xC0;
inline constexpr uint8_t T30_CONTROL_FINAL = 0xC8;

struct t30_frame_set {
  static constexpr size_t max_octets = 310;
  static constexpr size_t max_frames = 8;
  struct ref {
    uint16_t offset = 0;
    uint16_t length = 0;
  };
  std::array<uint8_t, max_octets> octets{};
  uint16_t used = 0;
  uint8_t count = 0;
  std::array<ref, max_frames> frames{};
  uint8_t final_class = 0;  // 1 DIS, 2 DTC, 3 DCS, 4 CFR

  std::span<const uint8_t> frame(size_t i) const {
    return i < count ? std::span<const uint8_t>(octets.data() + frames[i].offset, frames[i].length)
                     : std::span<const uint8_t>{};
  }
};

enum class t30_build_status : uint8_t {
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
