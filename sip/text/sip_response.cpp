// Responses the SIP stack builds itself: the stateless answer to the request
// just parsed and the answer to the request pending in the current dialog.
// Both build the response in the shared header work area and put the work
// area back as it was afterwards, so a caller in the middle of a parse finds
// its records and counts unchanged.
#include "sip/text/sip_response.h"

#include <algorithm>
#include <cstring>

#include "platform/random.h"
#include "sip/text/sip_encode_int.h"

namespace {

using hid = sip_header_id;

constexpr u16 REASON_MAX = 63;

// The work area as the caller left it.
sip_hdr_area_t saved_area;

struct area_guard {
  u8 kind;
  area_guard() : kind(sip_encode_kind) { saved_area = sip_hdr_area; }
  ~area_guard() {
    sip_hdr_area = saved_area;
    sip_encode_kind = kind;
  }
  area_guard(const area_guard&) = delete;
  area_guard& operator=(const area_guard&) = delete;
};

// A NUL-terminated copy of `s` (at most `max` characters) in the work area.
bool copy_out(sip_str* s, u16 max) {
  const u16 n = std::min(sip_str__chars(*s), max);
  if (n == 0) {
    *s = sip_str{};
    return true;
  }
  char* p = static_cast<char*>(sip_work__alloc(static_cast<u16>(n + 1)));
  if (p == nullptr) return false;
  std::memcpy(p, s->ptr, n);
  p[n] = 0;
  sip_work__use(static_cast<u16>(n + 1));
  *s = sip_str{static_cast<u16>(n + 1), p};
  return true;
}

bool set_status(u16 status, const char* reason) {
  sip_str r;
  sip_str__from_cstr(&r, reason);
  if (!copy_out(&r, REASON_MAX)) return false;
  sip_hdr_area.status_line.code = status;
  sip_hdr_area.status_line.reason = r;
  sip_hdr_count(hid::status_line) = 1;
  return true;
}

// A To tag of 32 random bits: 8 upper-case hexadecimal digits.
bool make_tag(sip_str* tag) {
  char* p = static_cast<char*>(sip_work__alloc(9));
  if (p == nullptr) return false;
  u32 v = plat_random_u32();
  for (int i = 7; i >= 0; --i, v >>= 4) p[i] = "0123456789ABCDEF"[v & 0xF];
  p[8] = 0;
  sip_work__use(9);
  *tag = sip_str{9, p};
  return true;
}

}  // namespace

u8 sip_build_response(u16 status, const char* reason, u16 retry_after, u8 mode) {
  const auto present = [](hid id) { return sip_hdr_count(id) != 0; };
  if (!present(hid::cseq) || !present(hid::call_id) || !present(hid::from) || !present(hid::to) || !present(hid::via))
    return SIP_RESULT_NOK;
  area_guard guard;
  const sip_out_buf_t out = sip_out;
  const u8 vias = sip_hdr_count(hid::via);
  const u8 routes = sip_hdr_count(hid::record_route);
  sip_hdr_count__reset();
  sip_hdr_count(hid::cseq) = 1;
  sip_hdr_count(hid::call_id) = 1;
  sip_hdr_count(hid::from) = 1;
  sip_hdr_count(hid::to) = 1;
  sip_hdr_count(hid::via) = vias;
  sip_hdr_count(hid::record_route) = routes;
  u8 result = SIP_RESULT_NOK;
  if ((has(sip_hdr_area.to.tag) || make_tag(&sip_hdr_area.to.tag)) && set_status(status, reason)) {
    if (retry_after != 0) {
      sip_hdr_area.retry_after = sip_retry_after_rec{};
      sip_hdr_area.retry_after.delta = retry_after;
      sip_hdr_area.retry_after.duration = SIP_U32_NONE;
      sip_hdr_count(hid::retry_after) = 1;
    }
    if (status == 501) {
      static constexpr u8 methods[] = {'A', 'B', 'C', 'D', 'E', 'F'};
      for (std::size_t i = 0; i < sizeof methods; ++i) sip_hdr_area.allow[i].code = methods[i];
      sip_hdr_count(hid::allow) = sizeof methods;
    }
    sip_encode_kind = SIP_KIND_DEFAULT;
    result = sip_encode_message(mode == SIP_ENCODE_CALL ? SIP_ENCODE_STATELESS : mode);
  }
  sip_out = out;
  return result;
}

void sip_build_response__for_parser(u16 status, const char* reason, int retry_after, int datagram) {
  (void)sip_build_response(status, reason, static_cast<u16>(retry_after), static_cast<u8>(datagram));
}

u8 sip_build_pending_response(u16 status, const char* reason) {
  sip_pending_request pending;
  if (sip_encode_env.pending == nullptr || !sip_encode_env.pending(&pending) ||
      pending.request_code < SIP_METHOD_INVITE || pending.request_code > SIP_METHOD_REGISTER ||
      pending.request_code == SIP_METHOD_ACK)
    return SIP_RESULT_NOK;
  area_guard guard;
  const sip_out_buf_t out = sip_out;
  const u8 vias = std::min<u8>(sip_hdr_count(hid::via), SIP_MAX_VIA);
  sip_hdr_count__reset();
  u8 result = SIP_RESULT_NOK;
  bool ok = true;
  // Copies of the Vias: each text as long as the parser accepts it.
  for (u8 i = 0; i < vias && ok; ++i) {
    sip_via_rec& v = sip_hdr_area.via[i];
    ok = copy_out(&v.protocol_text, 8) && copy_out(&v.version, 6) && copy_out(&v.transport_text, 8) &&
         copy_out(&v.host, 64) && copy_out(&v.maddr, 64) && copy_out(&v.branch, 64) &&
         copy_out(&v.params_other, SIP_OTHER_PARAMS_MAX);
  }
  sip_hdr_count(hid::via) = vias;
  if (ok && set_status(status, reason)) {
    sip_name_addr& to = sip_hdr_area.to;
    to = sip_name_addr{};
    to.addr = pending.to;
    to.tag = pending.to_tag;
    sip_name_addr& from = sip_hdr_area.from;
    from = sip_name_addr{};
    from.addr = pending.from;
    from.tag = pending.from_tag;
    sip_hdr_count(hid::to) = 1;
    sip_hdr_count(hid::from) = 1;
    sip_hdr_area.cseq.method = static_cast<u8>(pending.request_code - SIP_METHOD_INVITE + 0xC1);
    sip_hdr_area.cseq.method_text = sip_str{};
    sip_hdr_count(hid::cseq) = 1;
    sip_encode_kind = static_cast<u8>('a' + (pending.request_code - SIP_METHOD_INVITE));
    result = sip_encode_message(SIP_ENCODE_CALL);
  }
  sip_out = out;
  return result;
}
