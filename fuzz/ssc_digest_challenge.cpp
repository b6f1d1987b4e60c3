// Digest challenge step and response: any challenge fields (texts of any
// length, any codes, any qop list) either give a retry with a 32-character
// response and the Request-URI as sent, or a decline with no response kept;
// the same nonce is never answered twice.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sip/ssc/ssc_digest.h"

namespace {

// Splits the input at NUL bytes into up to n texts.
std::vector<std::string> fields(const uint8_t* data, size_t size, size_t n) {
  std::vector<std::string> out(n);
  size_t k = 0;
  for (size_t i = 0; i < size && k < n; ++i) {
    if (data[i] == 0) {
      ++k;
      continue;
    }
    out[k].push_back(static_cast<char>(data[i]));
  }
  return out;
}

const char* opt(const std::string& s) { return s.empty() ? nullptr : s.c_str(); }

bool is_hex32(const char* r) {
  if (std::strlen(r) != 32) return false;
  for (int i = 0; i < 32; ++i)
    if (!std::strchr("0123456789abcdef", r[i])) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 6) return 0;
  const uint8_t* codes = data;
  const auto f = fields(data + 6, size - 6, 10);
  // realm, nonce, opaque, algorithm text, qop codes, qop text, user, password, uri, second nonce
  ssc_digest_challenge_view c;
  c.status = (codes[0] & 1) ? 401 : 407;
  if (codes[0] & 2) c.status = static_cast<uint16_t>(400 + codes[0] % 200);
  c.present = (codes[0] & 4) == 0;
  c.scheme = (codes[1] & 1) ? 'D' : codes[1];
  c.stale = codes[2];
  c.algorithm = codes[3];
  c.realm = opt(f[0]);
  c.nonce = opt(f[1]);
  c.opaque = opt(f[2]);
  c.algorithm_text = opt(f[3]);
  c.qop_options = reinterpret_cast<const uint8_t*>(f[4].data());
  c.qop_count = static_cast<uint16_t>(f[4].size());
  c.qop_text = opt(f[5]);
  const ssc_digest_user u{opt(f[6]), opt(f[7]), opt(f[0])};
  const char* method = (codes[4] & 1) ? "INVITE" : "REGISTER";

  ssc_digest_block b;
  const ssc_digest_verdict v = ssc_digest_challenge(b, c, u, f[8], method, codes[5]);
  if (v.result == SSC_DIGEST_RETRY) {
    if (!is_hex32(b.response) || f[8] != b.digest_uri || b.nonce_count != 1) std::abort();
    // The same nonce again, stale or not, is declined.
    ssc_digest_challenge_view again = c;
    again.stale = 'T';
    if (ssc_digest_challenge(b, again, u, f[8], method, codes[5]).result != SSC_DIGEST_DECLINED) std::abort();
    // A re-send with the body computes a fresh response or none.
    b.nonce_count = 2;
    if (ssc_digest_prepare(b, f[8], method, data, size)) {
      if (!is_hex32(b.response)) std::abort();
    } else if (b.response[0] != '\0') {
      std::abort();
    }
    // A new nonce marked stale restarts the count.
    again.nonce = opt(f[9]);
    if (ssc_digest_challenge(b, again, u, f[8], method, codes[5]).result == SSC_DIGEST_RETRY && b.nonce_count != 1)
      std::abort();
  } else if (v.result == SSC_DIGEST_DECLINED) {
    if (b.response[0] != '\0') std::abort();
  } else {
    std::abort();
  }
  return 0;
}
