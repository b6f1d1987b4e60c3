// ENT_SSC digest authentication (RFC 2617 with the MD5 of RFC 1321): the
// digest state of a call, the challenge step deciding whether a 401/407 is
// answered, the response computation and the credentials header.
//
// Contract:
// - sip_digest_compute is a pure function of its inputs:
//   it returns false (and writes nothing) when the response cannot be
//   computed (no user name, no realm, no nonce, unknown algorithm).  An
//   absent password hashes as the empty text.
// - qop is "auth" or "auth-int" (RFC 2617 spelling); "auth" is preferred when
//   the challenge offers both.  auth-int hashes H(entity-body) over exactly
//   the body bytes the request carries.
// - MD5-sess: HA1 = MD5(hex(MD5(user:realm:password)) ":" nonce ":" cnonce).
// - The digest URI is the Request-URI text as sent (port and parameters
//   kept); one longer than SSC_DIGEST_URI_MAX declines the challenge.
// - A challenge is answered at most once per nonce: a second challenge is
//   answered only with a new nonce and stale=true.  A declined challenge
//   leaves the response text empty, so no stale response goes out.
// - Results of ssc_digest_challenge: SSC_DIGEST_RETRY (4) or
//   SSC_DIGEST_DECLINED (5) with the error report the caller files.
#pragma once
#include <cstddef>
#include <string_view>

#include "runtime/types.h"
#include "sip/prim/ssc_msg.h"

inline constexpr u8 SSC_DIGEST_RETRY = 4;
inline constexpr u8 SSC_DIGEST_DECLINED = 5;

inline constexpr u8 SSC_ALG_MD5 = 'M';
inline constexpr u8 SSC_ALG_MD5_SESS = 'D';
inline constexpr u8 SSC_QOP_AUTH = 'A';
inline constexpr u8 SSC_QOP_AUTH_INT = 'I';
inline constexpr u8 SSC_DIGEST_UNSET = 255;
inline constexpr u8 SSC_KIND_WWW = 'W';    // answer with Authorization
inline constexpr u8 SSC_KIND_PROXY = 'P';  // answer with Proxy-Authorization

inline constexpr std::size_t SSC_DIGEST_TEXT_MAX = 64;  // nonce, realm, user name, password
inline constexpr std::size_t SSC_DIGEST_OPAQUE_MAX = 32;
inline constexpr std::size_t SSC_DIGEST_URI_MAX = 128;  // the credentials record's uri field
inline constexpr std::size_t SSC_DIGEST_CNONCE_LEN = 20;

struct ssc_digest_block {
  u32 nonce_count = 0;  // requests sent with the current nonce; 0 unset
  char nonce[SSC_DIGEST_TEXT_MAX + 1] = {};
  char opaque[SSC_DIGEST_OPAQUE_MAX + 1] = {};
  char cnonce[SSC_DIGEST_CNONCE_LEN + 1] = {};
  char user[SSC_DIGEST_TEXT_MAX + 1] = {};
  char realm[SSC_DIGEST_TEXT_MAX + 1] = {};
  char password[SSC_DIGEST_TEXT_MAX + 1] = {};
  u8 algorithm = SSC_DIGEST_UNSET;
  char nc_text[9] = {};
  const char* method = "";  // "INVITE" or "REGISTER"
  u8 header_kind = SSC_DIGEST_UNSET;
  u8 qop = SSC_DIGEST_UNSET;
  char digest_uri[SSC_DIGEST_URI_MAX + 1] = {};
  char response[33] = {};
  bool credentials_known = false;  // a challenge was copied
};

// Why a challenge was declined: the ssc_report_error arguments (kind 0: no
// report).
struct ssc_digest_verdict {
  u8 result = SSC_DIGEST_DECLINED;
  u8 report_kind = 0;  // 'c' no challenge header, 'e' not answerable
  u16 report_number = 0;
};

// The challenge of a 401/407 as the step reads it.
struct ssc_digest_challenge_view {
  u16 status = 0;
  bool present = false;  // the status's challenge header exists
  u8 scheme = 'D';
  u8 stale = SSC_DIGEST_UNSET;
  u8 algorithm = SSC_DIGEST_UNSET;
  const char* algorithm_text = nullptr;  // an algorithm we do not know
  const char* realm = nullptr;
  const char* nonce = nullptr;
  const char* opaque = nullptr;
  const u8* qop_options = nullptr;
  u16 qop_count = 0;
  const char* qop_text = nullptr;  // a qop option we do not know
};

// The user's authentication settings (SSC header 84: user name, password,
// realm).
struct ssc_digest_user {
  const char* user = nullptr;
  const char* password = nullptr;
  const char* realm = nullptr;
};

// Reads the challenge of a response handle (status, WWW-Authenticate for a
// 401, Proxy-Authenticate for a 407).
[[nodiscard]] ssc_digest_challenge_view ssc_digest_view_of(ssc_handle* response);
[[nodiscard]] ssc_digest_user ssc_digest_user_of(ssc_handle* h);

// The challenge step.  `request_uri` is the Request-URI text of the request
// to re-send; `method` its method; `cnonce_seed` the random value for a new
// client nonce.
[[nodiscard]] ssc_digest_verdict ssc_digest_challenge(ssc_digest_block& b, const ssc_digest_challenge_view& c,
                                                      const ssc_digest_user& u, std::string_view request_uri,
                                                      const char* method, u64 cnonce_seed);

// Everything a digest response depends on.
struct sip_digest_input {
  std::string_view user, realm, password, nonce, cnonce, method, uri;
  u8 algorithm = SSC_ALG_MD5;
  u8 qop = SSC_DIGEST_UNSET;
  u32 nonce_count = 1;
  const u8* body = nullptr;  // auth-int: the entity body the request carries
  std::size_t body_len = 0;
};

// The response as 32 lower-case hexadecimal characters; false (nothing
// written) when it cannot be computed.
[[nodiscard]] bool sip_digest_compute(const sip_digest_input& in, char response[33]);

// Prepares the next re-send: digest URI and method of this request, the
// response computed over its body.  False (block response emptied) when it
// cannot be computed or the URI is too long; the request must then not carry
// credentials.
[[nodiscard]] bool ssc_digest_prepare(ssc_digest_block& b, std::string_view request_uri, const char* method,
                                      const u8* body, std::size_t body_len);

// Adds Authorization (kind 'W') or Proxy-Authorization ('P') to the handle
// when it has none of that kind; 2, or 3 when no room (nothing added).
[[nodiscard]] u8 ssc_digest_add_credentials(const ssc_digest_block& b, ssc_handle* h);

// Credentials of a first REGISTER before any challenge (the user agent asks
// for them): Authorization with the user name, realm and digest URI, empty
// nonce and response; algorithm MD5 when asked.  2, or 3 (nothing added)
// without a user name, with a nonce already known, or without room.
[[nodiscard]] u8 ssc_digest_add_initial(const ssc_digest_block& b, ssc_handle* h, bool algorithm_md5);

// Forgets the challenge (for a new registration or a new challenge): realm
// back to the user's, algorithm MD5, nonce count 1, no qop.
void ssc_digest_reset(ssc_digest_block& b, const ssc_digest_user& u);

// 32 lower-case hexadecimal characters and a NUL.
void hex_digest(const u8 digest[16], char out[33]);
