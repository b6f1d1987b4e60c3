#include "sip/text/sip_branch.h"

#include <cstring>

#include "platform/random.h"
#include "runtime/mem.h"

namespace {

bool seeded = false;
u32 counter = 0;

char* put_hex(char* p, u32 v) {
  char digits[8];
  int n = 0;
  do {
    digits[n++] = "0123456789ABCDEF"[v & 0xF];
    v >>= 4;
  } while (v != 0);
  while (n > 0) *p++ = digits[--n];
  return p;
}

}  // namespace

void sip_branch__seed(u32 value) {
  counter = value;
  seeded = true;
}

void sip_branch__restart() { seeded = false; }

bool sip_branch__make(sip_str* out) {
  if (!seeded) sip_branch__seed(plat_random_u32());
  char* text = static_cast<char*>(sip_work__alloc(SIP_BRANCH_ROOM));
  if (text == nullptr) return false;
  char* p = text;
  std::memcpy(p, SIP_BRANCH_COOKIE, sizeof SIP_BRANCH_COOKIE - 1);
  p += sizeof SIP_BRANCH_COOKIE - 1;
  *p++ = '-';
  p = put_hex(p, om_os_rand() & 0x7FFFu);
  *p++ = '-';
  p = put_hex(p, counter++);
  *p++ = 0;
  const auto len = static_cast<u16>(p - text);
  sip_work__use(len);
  *out = sip_str{len, text};
  return true;
}
