#include "fax/t30_ident.h"

#include <algorithm>
#include <cstring>

#include "fax/fax_bit.h"

namespace {

constexpr u8 kAddressOctet = 0xFF;

// Identity rule of T30_SETPARM_RQ: at most 20 characters, trailing spaces
// removed (all spaces give an empty text).
void store_text(t30_text& t, std::span<const u8> data) {
  size_t n = std::min(data.size(), T30_TEXT_MAX);
  while (n > 0 && data[n - 1] == ' ') --n;
  t = {};
  std::memcpy(t.text, data.data(), n);
  t.length = static_cast<u8>(n);
}

// Received text of a frame: up to 20 characters, reversed in order and in bit
// order; a longer field is not taken.
bool take_text(t30_text& t, std::span<const u8> fif) {
  if (fif.size() > T30_TEXT_MAX) return false;
  t = {};
  fax_bit__copy_reversed_backwards(t.text, fif.data(), static_cast<u32>(fif.size()));
  t.length = static_cast<u8>(fif.size());
  return true;
}

// A received text frame that also tells what the far side offers: when it
// is kept, it is marked present and the far side's option is set.
void take_marked_text(t30_remote_ident& rx, t30_text& t, u16 present_bit, u8& option, std::span<const u8> fif) {
  if (!take_text(t, fif)) return;
  rx.present |= present_bit;
  option = 1;
}

// Received address frame: an unread octet, type and length (bit-reversed),
// then the text; the length must match the frame and be at most 77.
bool take_address(t30_address& a, std::span<const u8> fif) {
  if (fif.size() < 3) return false;
  const u8 len = fax_bit_tables.reverse[fif[2]];
  if (len != fif.size() - 3 || len > T30_ADDRESS_TEXT_MAX) return false;
  a = {};
  a.type = fax_bit_tables.reverse[fif[1]];
  a.length = len;
  fax_bit__copy_reversed(a.text, fif.data() + 3, len);
  return true;
}

// FCF of an optional frame with the X bit taken off where the frame exists in
// both forms (the frames of a DCS set and CSA).
u8 fold_x_bit(u8 fcf) {
  if ((fcf >= 0xC2 && fcf <= 0xC7) || fcf == (T30_FCF_CSA | T30_FCF_X)) return fcf & 0x7F;
  return fcf;
}

}  // namespace

bool t30_setparm(t30_local_params& p, u16 selector, std::span<const u8> data) {
  if (selector >= T30_SETPARM_NSD_FIRST && selector <= T30_SETPARM_NSD_LAST) {
    const size_t n = std::min(data.size(), T30_NSD_MAX);
    std::memset(p.nsd, 0, sizeof p.nsd);
    std::memcpy(p.nsd, data.data(), n);
    p.nsd_length = static_cast<u8>(n);
    return true;
  }
  switch (selector) {
    case T30_SETPARM_IDENTITY:
    case T30_SETPARM_IDENTITY_2: store_text(p.identity, data); return true;
    case T30_SETPARM_SUBADDRESS: store_text(p.subaddress, data); return true;
    case T30_SETPARM_PASSWORD: store_text(p.password, data); return true;
    case T30_SETPARM_SEP: store_text(p.sep, data); return true;
    case T30_SETPARM_PSA: store_text(p.psa, data); return true;
    default: break;
  }
  if (selector >= T30_SETPARM_ADDRESS_FIRST && selector <= T30_SETPARM_ADDRESS_LAST) {
    t30_address& a = p.address[selector - T30_SETPARM_ADDRESS_FIRST];
    a = {};
    if (data.size() >= 1) a.type = data[0];
    if (data.size() >= 2) {
      // The length octet is cut to 77 and to the text actually given.
      const size_t len = std::min({static_cast<size_t>(data[1]), T30_ADDRESS_TEXT_MAX, data.size() - 2});
      std::memcpy(a.text, data.data() + 2, len);
      a.length = static_cast<u8>(len);
    }
    return true;
  }
  return false;
}

void t30_ident__take_optional(std::span<const std::span<const u8>> frames, t30_remote_ident& rx,
                              t30_capability& remote) {
  for (std::span<const u8> f : frames) {
    if (f.size() < 3 || f[0] != kAddressOctet) return;
    const std::span<const u8> fif = f.subspan(3);
    switch (fold_x_bit(f[2])) {
      case T30_FCF_CSI:
      case T30_FCF_CIG:
      case T30_FCF_TSI: take_text(rx.identity, fif); break;
      case T30_FCF_NSF:
      case T30_FCF_NSC:
      case T30_FCF_NSS: {
        const size_t n = std::min(fif.size(), T30_NSD_MAX);
        std::memset(rx.nsd, 0, sizeof rx.nsd);
        std::memcpy(rx.nsd, fif.data(), n);
        rx.nsd_length = static_cast<u8>(n);
        rx.present |= T30_RX_NSD;
        break;
      }
      case T30_FCF_SUB: take_marked_text(rx, rx.subaddress, T30_RX_SUBADDRESS, remote.subaddress, fif); break;
      case T30_FCF_PWD:
      case T30_FCF_SID: take_marked_text(rx, rx.password, T30_RX_PASSWORD, remote.password, fif); break;
      case T30_FCF_SEP: take_marked_text(rx, rx.sep, T30_RX_SEP, remote.selective_polling, fif); break;
      case T30_FCF_PSA: take_marked_text(rx, rx.psa, T30_RX_PSA, remote.polled_subaddress, fif); break;
      case T30_FCF_CIA:
      case T30_FCF_TSA:
      case T30_FCF_CSA:
        if (take_address(rx.address[0], fif)) rx.present |= T30_RX_ADDRESS;
        break;
      case T30_FCF_ISP:
        if (take_address(rx.address[1], fif)) {
          rx.present |= T30_RX_ISP;
          remote.isp = 1;
        }
        break;
      case T30_FCF_IRA:
        if (take_address(rx.address[2], fif)) {
          rx.present |= T30_RX_IRA;
          remote.ira = 1;
        }
        break;
      default: return;
    }
  }
}

bool t30_ident__parse_set(t30_set_kind kind, std::span<const std::span<const u8>> frames, t30_remote_ident& rx,
                          t30_capability& remote, bool* force_ftt) {
  if (force_ftt) *force_ftt = false;
  if (kind == t30_set_kind::nss) {
    t30_ident__take_optional(frames, rx, remote);
    return true;
  }
  remote = {};
  if (frames.empty()) return false;
  const std::span<const u8> last = frames.back();
  if (last.size() < 3) return false;
  const auto parsed = t30_cap__parse_fif(kind, last.subspan(3));
  if (!parsed) return false;
  remote = parsed->cap;
  if (force_ftt) *force_ftt = parsed->force_ftt;
  t30_ident__take_optional(frames.first(frames.size() - 1), rx, remote);
  return true;
}

std::vector<t30_progress_item> t30_ident__progress(const t30_remote_ident& rx, t30_set_kind kind) {
  using K = t30_set_kind;
  std::vector<t30_progress_item> out;
  auto text = [&](u8 sub, const t30_text& t) {
    if (t.length == 0) return;
    out.push_back({sub, std::vector<u8>(t.text, t.text + t.length)});
  };
  auto address = [&](u8 sub, const t30_address& a) {
    t30_progress_item it{sub, std::vector<u8>(T30_ADDRESS_RECORD_SIZE, 0)};
    it.data[0] = a.type;
    it.data[1] = a.length;
    std::memcpy(it.data.data() + 2, a.text, std::min<size_t>(a.length, T30_ADDRESS_TEXT_MAX));
    out.push_back(std::move(it));
  };
  if (rx.present & T30_RX_NSD) {
    const u8 sub = kind == K::dis ? 1 : kind == K::dtc ? 2 : kind == K::nss ? 3 : 0;
    if (sub != 0 && rx.nsd_length != 0) out.push_back({sub, std::vector<u8>(rx.nsd, rx.nsd + rx.nsd_length)});
  }
  if (kind == K::dis || kind == K::dtc || kind == K::dcs) text(4, rx.identity);
  if (kind == K::dcs && (rx.present & T30_RX_SUBADDRESS)) text(5, rx.subaddress);
  if ((kind == K::dcs || kind == K::dtc) && (rx.present & T30_RX_PASSWORD)) text(6, rx.password);
  if (kind == K::dtc && (rx.present & T30_RX_SEP)) text(7, rx.sep);
  if (kind == K::dtc && (rx.present & T30_RX_PSA)) text(8, rx.psa);
  if ((kind == K::dcs || kind == K::dtc || kind == K::cfr) && (rx.present & T30_RX_ADDRESS)) address(9, rx.address[0]);
  if (kind == K::dtc && (rx.present & T30_RX_ISP)) address(10, rx.address[1]);
  if (kind == K::dcs && (rx.present & T30_RX_IRA)) address(11, rx.address[2]);
  return out;
}

void t30_ident__write_text_frame(u8* out, u8 control, u8 fcf, const t30_text& text) {
  out[0] = kAddressOctet;
  out[1] = control;
  out[2] = fcf;
  u8* fif = out + 3;
  const size_t n = std::min<size_t>(text.length, T30_TEXT_MAX);
  fax_bit__copy_reversed_backwards(fif, text.text, static_cast<u32>(n));
  t4t6__fill_bytes(fif + n, fax_bit_tables.reverse[' '], static_cast<u32>(T30_TEXT_MAX - n));
}

size_t t30_ident__address_frame_size(const t30_address& a) {
  return std::min<size_t>(a.length, T30_ADDRESS_TEXT_MAX) + 6;
}

void t30_ident__write_address_frame(u8* out, u8 control, u8 fcf, const t30_address& a) {
  const size_t n = std::min<size_t>(a.length, T30_ADDRESS_TEXT_MAX);
  out[0] = kAddressOctet;
  out[1] = control;
  out[2] = fcf;
  out[3] = 0x00;
  out[4] = fax_bit_tables.reverse[a.type];
  out[5] = fax_bit_tables.reverse[static_cast<u8>(n)];
  fax_bit__copy_reversed(out + 6, a.text, static_cast<u32>(n));
}
