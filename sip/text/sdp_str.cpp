#include "platform/int_types.h"
#include "sip/text/sdp_str.h"

#include <cstring>

u8 sdp_str__check_class(sip_str s, u16 required, u32 mask) {
  u16 n = s.ptr ? s.len : 0;
  if (n > 0 && s.ptr[n - 1] == '\0') --n;
  if (n == 0) return required ? SIP_RESULT_NOK : SIP_RESULT_OK;
  for (u16 i = 0; i < n; ++i) {
    if (!sdp_in_class(static_cast<u8>(s.ptr[i]), mask)) return SIP_RESULT_NOK;
  }
  return SIP_RESULT_OK;
}

namespace {

template <bool Fold>
u8 lookup(const char** text, u16 n, const sdp_keyword_row* table, u32 rows, u8* code) {
  const char* t = *text;
  for (u32 r = rows; r-- > 0;) {
    const char* k = table[r].keyword;
    if (k == nullptr) continue;
    u16 i = 0;
    // Walk the keyword and the text together; stop at the keyword's NUL so
    // that nothing past either end is read.
    for (; i < n && k[i] != '\0'; ++i) {
      u8 a = static_cast<u8>(t[i]);
      u8 b = static_cast<u8>(k[i]);
      if (Fold ? sdp_fold(a) != sdp_fold(b) : a != b) break;
    }
    if (i == n && k[i] == '\0') {
      *code = table[r].code;
      *text = t + n;
      return SIP_RESULT_OK;
    }
  }
  return SIP_RESULT_NOK;
}

}  // namespace

u8 sdp_keyword__lookup(const char** text, u16 n, const sdp_keyword_row* table, u32 rows, u8* code) {
  return lookup<false>(text, n, table, rows, code);
}

u8 sdp_keyword__lookup_nocase(const char** text, u16 n, const sdp_keyword_row* table, u32 rows, u8* code) {
  return lookup<true>(text, n, table, rows, code);
}

u8* sdp_work__room(u16 count, sdp_work_buf* work) {
  if (work == nullptr || work->data == nullptr) return nullptr;
  if (static_cast<u32>(work->size) + count > work->capacity) return nullptr;
  return work->data + work->size;
}
