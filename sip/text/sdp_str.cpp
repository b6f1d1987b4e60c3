#include "sip/text/sdp_str.h"

#include <cstring>

uint8_t sdp_str__check_class(sip_str s, uint16_t required, uint32_t mask) {
  uint16_t n = s.ptr ? s.len : 0;
  if (n > 0 && s.ptr[n - 1] == '\0') --n;
  if (n == 0) return required ? SIP_RESULT_NOK : SIP_RESULT_OK;
  for (uint16_t i = 0; i < n; ++i) {
    if (!sdp_in_class(static_cast<uint8_t>(s.ptr[i]), mask)) return SIP_RESULT_NOK;
  }
  return SIP_RESULT_OK;
}

namespace {

template <bool Fold>
uint8_t lookup(const char** text, uint16_t n, const sdp_keyword_row* table, uint32_t rows, uint8_t* code) {
  const char* t = *text;
  for (uint32_t r = rows; r-- > 0;) {
    const char* k = table[r].keyword;
    if (k == nullptr) continue;
    uint16_t i = 0;
    // Walk the keyword and the text together; stop at the keyword's NUL so
    // that nothing past either end is read.
    for (; i < n && k[i] != '\0'; ++i) {
      uint8_t a = static_cast<uint8_t>(t[i]);
      uint8_t b = static_cast<uint8_t>(k[i]);
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

uint8_t sdp_keyword__lookup(const char** text, uint16_t n, const sdp_keyword_row* table, uint32_t rows, uint8_t* code) {
  return lookup<false>(text, n, table, rows, code);
}

uint8_t sdp_keyword__lookup_nocase(const char** text, uint16_t n, const sdp_keyword_row* table, uint32_t rows,
                                   uint8_t* code) {
  return lookup<true>(text, n, table, rows, code);
}

uint8_t* sdp_work__room(uint16_t count, sdp_work_buf* work) {
  if (work == nullptr || work->data == nullptr) return nullptr;
  if (static_cast<uint32_t>(work->size) + count > work->capacity) return nullptr;
  return work->data + work->size;
}
