#include "fax/t30_frame_set.h"

#include <cstring>

namespace {

constexpr size_t kAddressFrameRoom = 83;  // room asked before an address frame

class set_writer {
 public:
  set_writer(t30_frame_set& out, u8 x_bit) : out_(out), x_bit_(x_bit) { out_ = {}; }

  bool text(u8 fcf, const t30_text& t) {
    if (!room(T30_TEXT_FRAME_SIZE)) return false;
    t30_ident__write_text_frame(next(), T30_CONTROL_OPTIONAL, fcf | x_bit_, t);
    return commit(T30_TEXT_FRAME_SIZE);
  }

  bool nsd(u8 fcf, const t30_local_params& p) {
    const size_t n = 3 + p.nsd_length;
    if (!room(n)) return false;
    u8* f = next();
    f[0] = 0xFF;
    f[1] = T30_CONTROL_OPTIONAL;
    f[2] = fcf;
    std::memcpy(f + 3, p.nsd, p.nsd_length);
    return commit(n);
  }

  bool address(u8 fcf, const t30_address& a) {
    if (out_.used + kAddressFrameRoom > t30_frame_set::max_octets) return false;
    const size_t n = t30_ident__address_frame_size(a);
    if (!room(n)) return false;
    t30_ident__write_address_frame(next(), T30_CONTROL_OPTIONAL, fcf | x_bit_, a);
    return commit(n);
  }

  bool final(u8 fcf, std::span<const u8> fif, u8 cls) {
    const size_t n = 3 + fif.size();
    if (!room(n)) return false;
    u8* f = next();
    f[0] = 0xFF;
    f[1] = T30_CONTROL_FINAL;
    f[2] = fcf | x_bit_;
    if (!fif.empty()) std::memcpy(f + 3, fif.data(), fif.size());
    out_.final_class = cls;
    return commit(n);
  }

 private:
  bool room(size_t n) const {
    return out_.count < t30_frame_set::max_frames && out_.used + n <= t30_frame_set::max_octets;
  }
  u8* next() { return out_.octets.data() + out_.used; }
  bool commit(size_t n) {
    out_.frames[out_.count] = {out_.used, static_cast<u16>(n)};
    ++out_.count;
    out_.used = static_cast<u16>(out_.used + n);
    return true;
  }

  t30_frame_set& out_;
  u8 x_bit_;
};

bool internet_address_wanted(const t30_capability& r) {
  return r.t37 == 1 || r.internet_fax_mode == 1 || r.internet_fax_mode == 2;
}

}  // namespace

t30_build_status t30_build_set(t30_set_kind kind, const t30_capability& r, const t30_local_params& p,
                               const t30_build_options& opt, t30_frame_set& out) {
  using K = t30_set_kind;
  u8 x_bit = 0;
  if (kind == K::dcs && (opt.dis_received || !opt.dcs_received)) x_bit = T30_FCF_X;
  if (kind == K::cfr && opt.dis_received) x_bit = T30_FCF_X;
  set_writer w(out, x_bit);
  auto fail = [&](t30_build_status s) {
    out = {};
    return s;
  };
  const auto too_long = [&] { return fail(t30_build_status::too_long); };

  const bool has_identity = p.identity.length != 0;
  const bool has_address = internet_address_wanted(r) && p.address[0].length != 0;
  switch (kind) {
    case K::dis: {
      if (p.nsd_length != 0 && !w.nsd(T30_FCF_NSF, p)) return too_long();
      if (has_identity && !w.text(T30_FCF_CSI, p.identity)) return too_long();
      break;
    }
    case K::dtc: {
      if (p.nsd_length != 0 && !w.nsd(T30_FCF_NSC, p)) return too_long();
      if (has_identity && !w.text(T30_FCF_CIG, p.identity)) return too_long();
      if (r.password && p.password.length != 0 && !w.text(T30_FCF_PWD, p.password)) return too_long();
      if (r.selective_polling && p.sep.length != 0 && !w.text(T30_FCF_SEP, p.sep)) return too_long();
      if (r.polled_subaddress && p.psa.length != 0 && !w.text(T30_FCF_PSA, p.psa)) return too_long();
      if (has_address && !w.address(T30_FCF_CIA, p.address[0])) return too_long();
      if (r.isp == 1 && p.address[1].length != 0 && !w.address(T30_FCF_ISP, p.address[1])) return too_long();
      break;
    }
    case K::dcs: {
      if (has_identity && !w.text(T30_FCF_TSI, p.identity)) return too_long();
      if (r.subaddress && p.subaddress.length != 0 && !w.text(T30_FCF_SUB, p.subaddress)) return too_long();
      if (r.password && p.password.length != 0 && !w.text(T30_FCF_SID, p.password)) return too_long();
      if (has_address && !w.address(T30_FCF_TSA, p.address[0])) return too_long();
      if (r.ira == 1 && p.address[2].length != 0 && !w.address(T30_FCF_IRA, p.address[2])) return too_long();
      break;
    }
    case K::cfr: {
      if (has_address && !w.address(T30_FCF_CSA, p.address[0])) return too_long();
      if (!w.final(T30_FCF_CFR, {}, 4)) return too_long();
      return t30_build_status::ok;
    }
    default: return fail(t30_build_status::bad_kind);
  }

  const auto fif = t30_cap__build_fif(kind, r, opt.fif);
  if (!fif) return fail(t30_build_status::no_rate_code);
  const u8 fcf = kind == K::dis ? T30_FCF_DIS : kind == K::dtc ? T30_FCF_DTC : T30_FCF_DCS;
  if (!w.final(fcf, fif->view(), static_cast<u8>(kind))) return too_long();
  return t30_build_status::ok;
}
