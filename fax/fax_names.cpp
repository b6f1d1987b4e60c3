// ENT_FAX's debug texts for the message trace: sent on SAP 20 to itself,
// their text from the sixth data byte.
#include <cstring>

#include "fax/fax_entity.h"
#include "runtime/dcod.h"

namespace {

constexpr u8 kDebugSapi = 20;
constexpr u32 kDebugTextAt = 5;

u32 body(dcod__body& b) {
  const dcod__msg_view& m = *b.m;
  if (m.from != ENT_FAX || m.to != ENT_FAX || m.sapi != kDebugSapi) return 0;
  b.fixed_name = "FAX__DBG_AUTO";
  if (m.length <= kDebugTextAt) return m.length;
  const u8* text = m.data + kDebugTextAt;
  const u8* end = static_cast<const u8*>(std::memchr(text, 0, m.length - kDebugTextAt));
  const size_t n = end ? static_cast<size_t>(end - text) : m.length - kDebugTextAt;
  b.out->text(" ");
  b.out->printable(text, n);
  return m.length;
}

}  // namespace

const dcod__vocabulary fax_vocabulary = {nullptr, body, nullptr};
