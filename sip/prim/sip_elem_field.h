// Field model of the SIP primitive's elements: a field's byte position,
// width and kind in its node, the getter and setter that reach it in the
// header work area, and the rows' building macros.  The rows themselves are
// in sip_elem_hdr_fields.h (headers) and sip_elem_layout.h (body and SDP).
//
// Rules for every element: offsets count from the node's first byte, whose
// u16 link comes first; integers are in host byte order; the fixed part is
// zeroed before it is filled; a text field stores its characters and a NUL
// and its u16 length counts the NUL; a raw field stores its bytes and their
// count; a length of 0 stores nothing; the variable part holds the fields in
// the order of their length fields, without padding.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <type_traits>
#include <utility>

#include "sip/text/sdp.h"
#include "sip/text/sip_hdr.h"
#include "sip/text/sip_prim_area.h"
#include "platform/int_types.h"

enum class sip_elem_kind : u8 { u8, u16, u32, text, raw };

// One field of an element.  Numbers are read by get_num and stored by
// set_num; texts and raw fields by get_str / set_str.  A null getter writes
// 0 (or nothing); a null setter means the decoder skips the field.
struct sip_elem_field {
  u8 offset;
  sip_elem_kind kind;
  u32 (*get_num)(const void* rec);
  void (*set_num)(void* rec, u32 value);
  sip_str (*get_str)(const void* rec);
  void (*set_str)(void* rec, sip_str value);
};

struct sip_elem_layout {
  sip_header_id id;
  u8 fixed_len;  // counts the link
  u8 max;        // most instances in one primitive
  const sip_elem_field* fields;
  std::size_t field_count;
  void* (*record)(unsigned index);  // the work-area instance
  void (*clear)(void* rec);         // empties an instance before it is decoded
};

namespace sip_elem_detail {
template <class T>
constexpr void assign(T& dst, u32 v) {
  dst = static_cast<T>(v);
}
template <class T>
constexpr u32 widen(T v) {
  return static_cast<u32>(static_cast<std::make_unsigned_t<T>>(v));
}

// Fields whose value is not a plain member of the work-area record.
// Upward, a request's Request-URI carries where the datagram came from (set
// by the receive path for the build, 0xFFFF / empty otherwise).
inline u32 rl_dest_port_get(const void*) { return sip_prim_area.rl_dest_port; }
inline void rl_dest_port_set(void*, u32 v) { sip_prim_area.rl_dest_port = static_cast<u16>(v); }
inline u32 rl_next_hop_get(const void*) { return 0; }
inline void rl_next_hop_set(void*, u32 v) { sip_prim_area.rl_next_hop = static_cast<u8>(v); }
inline sip_str rl_dest_addr_get(const void*) { return sip_prim_area.rl_dest_addr; }
inline void rl_dest_addr_set(void*, sip_str v) { sip_prim_area.rl_dest_addr = v; }
inline u32 via_number_get(const void*) { return sip_prim_area.via_number; }
inline void via_number_set(void*, u32 v) { sip_prim_area.via_number = static_cast<u16>(v); }
inline u32 via_local_port_get(const void*) { return sip_prim_area.local_port; }
inline u32 const_ff_get(const void*) { return 0xFF; }
inline sip_str via_source_get(const void*) { return sip_prim_area.source_addr; }
inline sip_str callid_addr_get(const void* r) {
  const auto* c = static_cast<const sip_callid_parsed*>(r);
  return {c->addr_len, reinterpret_cast<const char*>(c->addr)};
}
inline void callid_addr_set(void* r, sip_str v) {
  auto* c = static_cast<sip_callid_parsed*>(r);
  c->addr_len = v.len;
  c->addr = reinterpret_cast<const u8*>(v.ptr);
}
inline sip_str repl_addr_get(const void* r) {
  return callid_addr_get(&static_cast<const sip_replaces_rec*>(r)->call_id);
}
inline void repl_addr_set(void* r, sip_str v) { callid_addr_set(&static_cast<sip_replaces_rec*>(r)->call_id, v); }
// The offered qop options: at most 2 travel.
inline sip_str qop_options_get(const void* r) {
  const auto* c = static_cast<const sip_challenge_rec*>(r);
  return {static_cast<u16>(c->qop_count < 2 ? c->qop_count : 2), reinterpret_cast<const char*>(c->qop_options)};
}
inline void qop_options_set(void* r, sip_str v) {
  auto* c = static_cast<sip_challenge_rec*>(r);
  const u16 n = v.len < SIP_QOP_OPTIONS_MAX ? v.len : SIP_QOP_OPTIONS_MAX;
  for (u16 i = 0; i < n; ++i) c->qop_options[i] = static_cast<u8>(v.ptr[i]);
  c->qop_count = static_cast<u8>(v.len > 0xFF ? 0xFF : v.len);
}
inline sip_str sdp_formats_get(const void* r) {
  const auto* m = static_cast<const sdp_media_av*>(r);
  return {m->format_count, reinterpret_cast<const char*>(m->formats)};
}
inline void sdp_formats_set(void* r, sip_str v) {
  auto* m = static_cast<sdp_media_av*>(r);
  m->format_count = v.len;
  m->formats = reinterpret_cast<const u8*>(v.ptr);
}
// Texts the work area has no place for: sent empty, checked when received.
inline sip_str none_get(const void*) { return {}; }
inline constexpr auto handling_text_get = none_get;
inline constexpr auto screen_text_get = none_get;
inline constexpr auto warning_other_get = none_get;
inline constexpr void (*handling_text_set)(void*, sip_str) = nullptr;
inline constexpr void (*screen_text_set)(void*, sip_str) = nullptr;
inline constexpr void (*warning_other_set)(void*, sip_str) = nullptr;
inline constexpr void (*via_local_port_set)(void*, u32) = nullptr;
inline constexpr void (*const_ff_set)(void*, u32) = nullptr;
inline constexpr void (*via_source_set)(void*, sip_str) = nullptr;
}  // namespace sip_elem_detail

// Rows built from other rows: `sip_elem_rows(rows, from, to, shift)` copies
// rows [from, to) with their offsets moved by `shift`;
// `sip_elem_rows_in<R, &R::m, rows, from, to>(shift)` does the same for rows
// of the record type of member m (rows written with KV_ELEM_NUM or
// KV_ELEM_STR), reaching it inside an R; `sip_elem_join`
// puts rows one after the other.  A header whose node repeats a run of
// another header's fields takes that run from the other header's rows.
template <std::size_t From, std::size_t To, std::size_t N>
constexpr std::array<sip_elem_field, To - From> sip_elem_rows(const sip_elem_field (&rows)[N], int shift) {
  static_assert(From < To && To <= N);
  std::array<sip_elem_field, To - From> out{};
  for (std::size_t i = From; i < To; ++i) {
    out[i - From] = rows[i];
    out[i - From].offset = static_cast<u8>(rows[i].offset + shift);
  }
  return out;
}

namespace sip_elem_detail {
template <class R, auto Sub, const auto& Rows, std::size_t I>
constexpr sip_elem_field row_in(int shift) {
  constexpr sip_elem_field f = Rows[I];
  sip_elem_field out{static_cast<u8>(f.offset + shift), f.kind, nullptr, nullptr, nullptr, nullptr};
  // The row's kind tells which pair of functions it has (a row written with
  // KV_ELEM_NUM or KV_ELEM_STR has both of its pair).  Asking the pointers
  // themselves is no constant expression where the compiler keeps null
  // checks of function addresses, as the undefined-behaviour sanitizer does.
  if constexpr (f.kind == sip_elem_kind::text || f.kind == sip_elem_kind::raw) {
    out.get_str = [](const void* r) -> sip_str { return Rows[I].get_str(&(static_cast<const R*>(r)->*Sub)); };
    out.set_str = [](void* r, sip_str v) { Rows[I].set_str(&(static_cast<R*>(r)->*Sub), v); };
  } else {
    out.get_num = [](const void* r) -> u32 { return Rows[I].get_num(&(static_cast<const R*>(r)->*Sub)); };
    out.set_num = [](void* r, u32 v) { Rows[I].set_num(&(static_cast<R*>(r)->*Sub), v); };
  }
  return out;
}
template <class R, auto Sub, const auto& Rows, std::size_t From, std::size_t... I>
constexpr std::array<sip_elem_field, sizeof...(I)> rows_in(int shift, std::index_sequence<I...>) {
  return {row_in<R, Sub, Rows, From + I>(shift)...};
}
}  // namespace sip_elem_detail

template <class R, auto Sub, const auto& Rows, std::size_t From, std::size_t To>
constexpr std::array<sip_elem_field, To - From> sip_elem_rows_in(int shift) {
  static_assert(From < To && To <= std::size(Rows));
  return sip_elem_detail::rows_in<R, Sub, Rows, From>(shift, std::make_index_sequence<To - From>{});
}

template <std::size_t... N>
constexpr std::array<sip_elem_field, (N + ...)> sip_elem_join(const std::array<sip_elem_field, N>&... parts) {
  std::array<sip_elem_field, (N + ...)> out{};
  std::size_t k = 0;
  ((std::copy(parts.begin(), parts.end(), out.begin() + static_cast<std::ptrdiff_t>(k)), k += N), ...);
  return out;
}

// R names a record type and m a member inside it: neither can be put in
// parentheses where these field rows use them.
// NOLINTBEGIN(bugprone-macro-parentheses)
#define KV_ELEM_NUM(off, k, R, m)                                                                                    \
  sip_elem_field {                                                                                                   \
    off, sip_elem_kind::k, [](const void* r) -> u32 { return sip_elem_detail::widen(static_cast<const R*>(r)->m); }, \
        [](void* r, u32 v) { sip_elem_detail::assign(static_cast<R*>(r)->m, v); }, nullptr, nullptr                  \
  }
#define KV_ELEM_STR(off, k, R, m)                                                                                  \
  sip_elem_field {                                                                                                 \
    off, sip_elem_kind::k, nullptr, nullptr, [](const void* r) -> sip_str { return static_cast<const R*>(r)->m; }, \
        [](void* r, sip_str v) { static_cast<R*>(r)->m = v; }                                                      \
  }
// NOLINTEND(bugprone-macro-parentheses)
#define KV_ELEM_SPECIAL_NUM(off, k, name) \
  sip_elem_field { off, sip_elem_kind::k, sip_elem_detail::name##_get, sip_elem_detail::name##_set, nullptr, nullptr }
#define KV_ELEM_SPECIAL_STR(off, k, name) \
  sip_elem_field { off, sip_elem_kind::k, nullptr, nullptr, sip_elem_detail::name##_get, sip_elem_detail::name##_set }
