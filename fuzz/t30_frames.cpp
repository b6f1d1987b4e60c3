// Fuzz target: received T.30 frame sets (DIS, DTC, DCS, NSS with their
// optional frames) through the set parser, the capability intersection and a
// rebuild of the parsed record.
//
// Input: byte 0 selects the set kind; then frames, each a length octet
// followed by that many octets (a short last frame takes what is left).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <vector>

#include "fax/t30_capability.h"
#include "fax/t30_frame_set.h"
#include "fax/t30_ident.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  static constexpr t30_set_kind kinds[] = {t30_set_kind::dis, t30_set_kind::dtc, t30_set_kind::dcs, t30_set_kind::nss};
  const t30_set_kind kind = kinds[data[0] % 4];

  // Every frame in its own allocation of exactly its length.
  std::vector<std::unique_ptr<uint8_t[]>> owned;
  std::vector<std::span<const uint8_t>> frames;
  size_t pos = 1;
  while (pos < size && frames.size() < 12) {
    size_t len = data[pos++];
    if (len > size - pos) len = size - pos;
    auto buf = std::make_unique<uint8_t[]>(len + 1);
    for (size_t i = 0; i < len; ++i) buf[i] = data[pos + i];
    frames.emplace_back(buf.get(), len);
    owned.push_back(std::move(buf));
    pos += len;
  }

  t30_remote_ident rx;
  t30_capability remote;
  bool ftt = false;
  const bool ok = t30_ident__parse_set(kind, frames, rx, remote, &ftt);
  (void)t30_ident__progress(rx, kind);
  if (!ok || kind == t30_set_kind::nss) return 0;
  if (rx.identity.length > T30_TEXT_MAX || rx.nsd_length > T30_NSD_MAX) abort();
  for (const t30_address& a : rx.address)
    if (a.length > T30_ADDRESS_TEXT_MAX) abort();

  const t30_capability local = t30_cap__defaults();
  for (int sw = 0; sw < 8; ++sw) {
    const t30_capability x = t30_cap__intersect(local, remote, {(sw & 1) != 0, (sw & 2) != 0, (sw & 4) != 0});
    if (!x.empty() && (x.coding == 0 || x.resolution == 0 || (x.resolution & T30_RES_EXCLUDED))) abort();
  }
  (void)t30_neg__on_dcs(local, remote);
  (void)t30_neg__on_dtc(local, remote);

  // What was parsed builds again and reads back the same way.
  t30_fif_options opt;
  opt.dcs_modulation = remote.modulation;
  const auto fif = t30_cap__build_fif(kind, remote, opt);
  if (!fif) abort();
  const auto again = t30_cap__parse_fif(kind, fif->view());
  if (!again) abort();
  // A DCS of an internet-aware device (mode 1) carries no rate.
  const bool rate_written = !(kind == t30_set_kind::dcs && remote.internet_fax_mode == 1);
  if ((rate_written && again->cap.modulation != remote.modulation) || again->cap.width != remote.width ||
      again->cap.length != remote.length)
    abort();
  // A DIS or DTC always carries bit 10, so only the DCS keeps its service.
  if (kind == t30_set_kind::dcs && (again->cap.coding != remote.coding || again->cap.service != remote.service))
    abort();

  t30_frame_set set;
  (void)t30_build_set(kind, remote, t30_local_params{}, {}, set);
  return 0;
}
