// Helpers shared by the request and answer builders of ENT_SSC (ssc_build.cpp
// and ssc_send.cpp); internal to them.
#pragma once

#include <initializer_list>

#include "sip/prim/ssc_msg.h"
#include "sip/ssc/ssc_build.h"
#include "sip/ssc/ssc_entity.h"

namespace ssc_build_detail {

using hid = ssc_header_id;

inline constexpr u8 KIND_HEADER = 'd';
inline constexpr u8 KIND_NO_REQUEST = 'f';
inline constexpr u8 ERROR_CLASS = 'r';
inline constexpr u16 MAX_FORWARDS_DEFAULT = 70;

// Places named in the header-failure reports.
inline constexpr u16 AT_REQUEST_ROUTE = 4;
inline constexpr u16 AT_REQUEST_HEADER = 5;
inline constexpr u16 AT_ANSWER = 6;
inline constexpr u16 AT_ACK = 7;
inline constexpr u16 AT_CANCEL = 8;
inline constexpr u16 AT_REGISTER = 9;
inline constexpr u16 AT_REGISTER_ANSWER = 10;
inline constexpr u16 AT_OPTIONS = 11;
inline constexpr u16 AT_DEFAULTS = 18;
inline constexpr u16 AT_DEFAULTS_MADE = 19;
inline constexpr u16 AT_PROFILE = 20;

template <class T>
T* first(ssc_handle* h, hid id) {
  if (h == nullptr) return nullptr;
  T* p = Ssc_first<T>(h, id);
  return ssc_ptr_set(reinterpret_cast<const char*>(p)) ? p : nullptr;
}
inline bool has(ssc_handle* h, hid id) { return first<void>(h, id) != nullptr; }

template <class T>
T* next_of(T* p) {
  return ssc_ptr_set(reinterpret_cast<const char*>(p->next)) ? p->next : nullptr;
}

void clear_list(ssc_handle* h, hid id);
bool allowed(ssc_handle* h, hid id);
// A text kept in the handle's own area.
const char* area_text(ssc_handle* h, const char* text);
bool tag_usable(const char* tag);
ssc_handle* call_defaults();
// The call of the saved registration entry (another call than this one).
ssc_call* registration_call();
ssc_handle* registration_defaults();
ssc_handle* binding_store();
// Copies the list from the first source that has one; false on no room.
bool copy_from_first(ssc_handle* dst, hid id, std::initializer_list<ssc_handle*> sources);
// Mask of the header 2 list (option-tag codes as bytes).
u32 hdr2_mask_of(ssc_handle* h);
u32 tags_mask(ssc_handle* h, hid id);
void peer_masks_from(ssc_handle* h);
bool list_has_code(ssc_handle* h, hid id, u8 code);
// Option tags of a request or answer (bits 1 to 5 only: 100rel is the
// user's to ask for), then the call's masks back to their configured copies.
bool apply_option_tags(ssc_handle* h);
ssc_aux_record* current_aux();

}  // namespace ssc_build_detail
