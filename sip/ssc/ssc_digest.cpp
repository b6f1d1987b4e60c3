// ENT_SSC digest authentication: challenge step, response, credentials.
#include "platform/int_types.h"
#include "sip/ssc/ssc_digest.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "sip/text/md5.h"

namespace {

bool empty(const char* s) { return s == nullptr || *s == '\0'; }

// Copies a text into a fixed field; false (field emptied) when it does not fit.
template <std::size_t N>
bool set_text(char (&field)[N], std::string_view s) {
  if (s.size() >= N) {
    field[0] = '\0';
    return false;
  }
  if (!s.empty()) std::memcpy(field, s.data(), s.size());
  field[s.size()] = '\0';
  return true;
}

std::string_view view(const char* s) { return s ? std::string_view(s) : std::string_view(); }

// hex(MD5(p0 ":" p1 ":" ...)).
void md5_hex_joined(std::initializer_list<std::string_view> parts, char out[33]) {
  md5_ctx ctx;
  md5_init(&ctx);
  bool first = true;
  for (std::string_view p : parts) {
    if (!first) md5_update(&ctx, ":", 1);
    first = false;
    md5_update(&ctx, p.data(), static_cast<u32>(p.size()));
  }
  u8 d[16];
  md5_final(d, &ctx);
  hex_digest(d, out);
}

const char* qop_text(u8 qop) {
  switch (qop) {
    case SSC_QOP_AUTH: return "auth";
    case SSC_QOP_AUTH_INT: return "auth-int";
    default: return nullptr;
  }
}

ssc_digest_verdict decline(u8 kind, u16 number) { return {SSC_DIGEST_DECLINED, kind, number}; }

}  // namespace

void hex_digest(const u8 digest[16], char out[33]) {
  static constexpr char kHex[] = "0123456789abcdef";
  for (int i = 0; i < 16; ++i) {
    out[2 * i] = kHex[digest[i] >> 4];
    out[2 * i + 1] = kHex[digest[i] & 0x0F];
  }
  out[32] = '\0';
}

bool sip_digest_compute(const sip_digest_input& in, char response[33]) {
  if (in.user.empty() || in.realm.empty() || in.nonce.empty() || in.method.empty()) return false;
  if (in.algorithm != SSC_ALG_MD5 && in.algorithm != SSC_ALG_MD5_SESS) return false;
  const char* qop = qop_text(in.qop);
  if (in.qop != SSC_DIGEST_UNSET && qop == nullptr) return false;
  // The client nonce enters MD5-sess and every qop response.
  if ((in.qop != SSC_DIGEST_UNSET || in.algorithm == SSC_ALG_MD5_SESS) && in.cnonce.empty()) return false;

  char ha1[33];
  md5_hex_joined({in.user, in.realm, in.password}, ha1);
  if (in.algorithm == SSC_ALG_MD5_SESS) {
    char base[33];
    std::memcpy(base, ha1, sizeof base);
    md5_hex_joined({base, in.nonce, in.cnonce}, ha1);
  }

  char ha2[33];
  if (in.qop == SSC_QOP_AUTH_INT) {
    md5_ctx ctx;
    md5_init(&ctx);
    if (in.body != nullptr && in.body_len > 0) md5_update(&ctx, in.body, static_cast<u32>(in.body_len));
    u8 d[16];
    md5_final(d, &ctx);
    char hbody[33];
    hex_digest(d, hbody);
    md5_hex_joined({in.method, in.uri, hbody}, ha2);
  } else {
    md5_hex_joined({in.method, in.uri}, ha2);
  }

  if (in.qop == SSC_DIGEST_UNSET) {
    md5_hex_joined({ha1, in.nonce, ha2}, response);
  } else {
    char nc[9];
    (void)std::snprintf(nc, sizeof nc, "%08x", static_cast<unsigned>(in.nonce_count));
    md5_hex_joined({ha1, in.nonce, nc, in.cnonce, qop, ha2}, response);
  }
  return true;
}

ssc_digest_challenge_view ssc_digest_view_of(ssc_handle* response) {
  ssc_digest_challenge_view v;
  if (!ssc_is_handle(response)) return v;
  const auto* st = Ssc_first<ssc_hdr_status>(response, ssc_header_id::RETURN_CODE);
  if (st == nullptr) return v;
  v.status = st->code;
  const bool www = v.status == 401;
  const auto* c =
      Ssc_first<ssc_hdr_challenge>(response, www ? ssc_header_id::WWW_AUTHENTICATE : ssc_header_id::PROXY_AUTHENTICATE);
  if (c == nullptr) return v;
  v.present = true;
  v.scheme = c->b1;
  v.stale = c->b2;
  v.algorithm = c->b3;
  v.realm = c->s1;
  v.qop_options = c->bytes;
  v.qop_count = c->count;
  if (www) {  // realm, domain, nonce, opaque, algorithm text, qop, qop text
    v.nonce = c->s3;
    v.opaque = c->s4;
    v.algorithm_text = c->s5;
    v.qop_text = c->s6;
  } else {  // realm, nonce, opaque, algorithm text, qop, qop text
    v.nonce = c->s2;
    v.opaque = c->s3;
    v.algorithm_text = c->s4;
    v.qop_text = c->s5;
  }
  return v;
}

ssc_digest_user ssc_digest_user_of(ssc_handle* h) {
  ssc_digest_user u;
  if (!ssc_is_handle(h)) return u;
  const auto* a = Ssc_first<ssc_hdr_str4>(h, ssc_header_id::USER_AUTH);
  if (a == nullptr) return u;
  u.user = a->s1;
  u.password = a->s2;
  u.realm = a->s3;
  return u;
}

void ssc_digest_reset(ssc_digest_block& b, const ssc_digest_user& u) {
  b.nonce[0] = '\0';
  b.opaque[0] = '\0';
  if (!set_text(b.realm, view(u.realm))) b.realm[0] = '\0';
  b.algorithm = SSC_ALG_MD5;
  b.nonce_count = 1;
  b.qop = SSC_DIGEST_UNSET;
  b.response[0] = '\0';
  b.credentials_known = false;
}

namespace {

ssc_digest_verdict challenge_step(ssc_digest_block& b, const ssc_digest_challenge_view& c, const ssc_digest_user& u,
                                  std::string_view request_uri, const char* method, u64 cnonce_seed) {
  if (c.status != 401 && c.status != 407) return decline(0, 0);
  const u16 who = c.status == 401 ? 1 : 0;
  if (!c.present) return decline('c', who);
  // Unanswerable challenges: another scheme, no realm or nonce, texts too
  // long for the block, an algorithm or qop we do not know.
  if (c.scheme != 'D' || empty(c.realm) || empty(c.nonce)) return decline('e', who);
  if (std::strlen(c.realm) > SSC_DIGEST_TEXT_MAX || std::strlen(c.nonce) > SSC_DIGEST_TEXT_MAX ||
      (c.opaque && std::strlen(c.opaque) > SSC_DIGEST_OPAQUE_MAX))
    return decline('e', who);
  if (!empty(c.algorithm_text)) return decline('e', who);
  if (c.algorithm != SSC_DIGEST_UNSET && c.algorithm != SSC_ALG_MD5 && c.algorithm != SSC_ALG_MD5_SESS)
    return decline('e', who);
  u8 qop = SSC_DIGEST_UNSET;
  bool offered_int = false;
  for (u16 i = 0; c.qop_options != nullptr && i < c.qop_count; ++i) {
    if (c.qop_options[i] == SSC_QOP_AUTH) qop = SSC_QOP_AUTH;
    if (c.qop_options[i] == SSC_QOP_AUTH_INT) offered_int = true;
  }
  if (qop == SSC_DIGEST_UNSET && offered_int) qop = SSC_QOP_AUTH_INT;
  if (qop == SSC_DIGEST_UNSET && (c.qop_count > 0 || !empty(c.qop_text))) return decline('e', who);

  // One answer per nonce: a further challenge only with a new nonce marked
  // stale.
  if (b.nonce[0] != '\0' && (std::strcmp(b.nonce, c.nonce) == 0 || c.stale != 'T')) return decline('e', who);

  if (b.credentials_known) ssc_digest_reset(b, u);
  (void)set_text(b.nonce, c.nonce);
  (void)set_text(b.opaque, view(c.opaque));
  (void)set_text(b.realm, c.realm);
  b.algorithm = c.algorithm == SSC_DIGEST_UNSET ? SSC_ALG_MD5 : c.algorithm;
  b.qop = qop;
  b.header_kind = c.status == 401 ? SSC_KIND_WWW : SSC_KIND_PROXY;
  b.credentials_known = true;
  if (b.cnonce[0] == '\0')
    (void)std::snprintf(b.cnonce, sizeof b.cnonce, "%016llX", static_cast<unsigned long long>(cnonce_seed));
  b.nonce_count = 1;
  if (b.user[0] == '\0') {
    if (empty(u.user) || !set_text(b.user, u.user)) {
      b.user[0] = '\0';
      return decline('e', 2);
    }
    if (!set_text(b.password, view(u.password))) return decline('e', 2);
  }
  if (!ssc_digest_prepare(b, request_uri, method, nullptr, 0)) return decline('e', who);
  return {SSC_DIGEST_RETRY, 0, 0};
}

}  // namespace

ssc_digest_verdict ssc_digest_challenge(ssc_digest_block& b, const ssc_digest_challenge_view& c,
                                        const ssc_digest_user& u, std::string_view request_uri, const char* method,
                                        u64 cnonce_seed) {
  const ssc_digest_verdict v = challenge_step(b, c, u, request_uri, method, cnonce_seed);
  // A declined challenge leaves no response behind to be sent again.
  if (v.result != SSC_DIGEST_RETRY) b.response[0] = '\0';
  return v;
}

bool ssc_digest_prepare(ssc_digest_block& b, std::string_view request_uri, const char* method, const u8* body,
                        std::size_t body_len) {
  b.response[0] = '\0';
  if (!set_text(b.digest_uri, request_uri) || request_uri.empty()) return false;
  b.method = method ? method : "";
  if (b.nonce_count == 0) b.nonce_count = 1;
  (void)std::snprintf(b.nc_text, sizeof b.nc_text, "%08x", static_cast<unsigned>(b.nonce_count));
  sip_digest_input in;
  in.user = b.user;
  in.realm = b.realm;
  in.password = b.password;
  in.nonce = b.nonce;
  in.cnonce = b.cnonce;
  in.method = b.method;
  in.uri = b.digest_uri;
  in.algorithm = b.algorithm;
  in.qop = b.qop;
  in.nonce_count = b.nonce_count;
  in.body = body;
  in.body_len = body_len;
  char r[33];
  if (!sip_digest_compute(in, r)) return false;
  std::memcpy(b.response, r, sizeof r);
  return true;
}

u8 ssc_digest_add_credentials(const ssc_digest_block& b, ssc_handle* h) {
  if (!ssc_is_handle(h) || b.response[0] == '\0') return 3;
  const ssc_header_id id =
      b.header_kind == SSC_KIND_PROXY ? ssc_header_id::PROXY_AUTHORIZATION : ssc_header_id::AUTHORIZATION;
  if (Ssc_first<ssc_hdr_credentials>(h, id) != nullptr) return 2;
  auto copy = [h](const char* s) -> const char* {
    if (empty(s)) return nullptr;
    const std::size_t n = std::strlen(s) + 1;
    char* p = static_cast<char*>(Ssc_alloc_area(h, static_cast<u16>(n)));
    if (p) std::memcpy(p, s, n);
    return p;
  };
  const char* texts[] = {copy(b.user),       copy(b.realm),    copy(b.nonce),
                         copy(b.digest_uri), copy(b.response), copy(b.cnonce)};
  const char* opaque = copy(b.opaque);
  for (const char* t : texts)
    if (t == nullptr) return 3;
  if (b.opaque[0] != '\0' && opaque == nullptr) return 3;
  auto* cr = static_cast<ssc_hdr_credentials*>(Ssc_alloc_header(h, id));
  if (cr == nullptr) return 3;
  cr->scheme = 'D';
  cr->algorithm = b.algorithm;
  cr->b3 = 255;
  cr->qop = b.qop;
  cr->nonce_count = b.qop == SSC_DIGEST_UNSET ? 0xFFFFFFFFu : b.nonce_count;
  for (const char*& s : cr->s) s = nullptr;
  cr->s[0] = texts[0];
  cr->s[1] = texts[1];
  cr->s[2] = texts[2];
  cr->s[3] = texts[3];
  cr->s[4] = texts[4];
  cr->s[6] = b.qop == SSC_DIGEST_UNSET ? nullptr : texts[5];
  cr->s[7] = opaque;
  return 2;
}

u8 ssc_digest_add_initial(const ssc_digest_block& b, ssc_handle* h, bool algorithm_md5) {
  if (!ssc_is_handle(h) || b.user[0] == '\0' || b.nonce[0] != '\0') return 3;
  if (Ssc_first<ssc_hdr_credentials>(h, ssc_header_id::AUTHORIZATION) != nullptr) return 2;
  auto copy = [h](const char* s) -> const char* {
    const std::size_t n = std::strlen(s) + 1;
    char* p = static_cast<char*>(Ssc_alloc_area(h, static_cast<u16>(n)));
    if (p) std::memcpy(p, s, n);
    return p;
  };
  const char* user = copy(b.user);
  const char* realm = copy(b.realm);
  const char* uri = copy(b.digest_uri);
  const char* none = copy("");
  if (!user || !realm || !uri || !none) return 3;
  auto* cr = static_cast<ssc_hdr_credentials*>(Ssc_alloc_header(h, ssc_header_id::AUTHORIZATION));
  if (cr == nullptr) return 3;
  cr->scheme = 'D';
  cr->algorithm = algorithm_md5 ? SSC_ALG_MD5 : SSC_DIGEST_UNSET;
  cr->b3 = 255;
  cr->qop = SSC_DIGEST_UNSET;
  cr->nonce_count = 0xFFFFFFFFu;
  for (const char*& t : cr->s) t = nullptr;
  cr->s[0] = user;
  cr->s[1] = realm;
  cr->s[2] = none;
  cr->s[3] = uri;
  cr->s[4] = none;
  return 2;
}
