// What the actions of the ENT_SSC call and dialog-entry machines share:
// the handles they work on, passing to the user, self-events, the received
// error record and the digest steps of a re-sent request.
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/random.h"
#include "runtime/om_os.h"
#include "sip/text/sip_hdr.h"
#include "sip/text/sip_prim_kind.h"
#include "sip/ssc/ssc_helpers.h"
#include "sip/ssc/ssc_ident.h"
#include "sip/ssc/ssc_machine_steps.h"
#include "sip/ssc/ssc_tx.h"

namespace ssc_steps {

namespace {

u64 random64() {
  u64 v = 0;
  if (!plat_random_bytes(&v, sizeof v)) v = (static_cast<u64>(plat_random_u32()) << 32) | plat_random_u32();
  return v;
}

// Body bytes of a request (auth-int).
void body_of(ssc_handle* h, const u8** bytes, std::size_t* len) {
  *bytes = nullptr;
  *len = 0;
  auto* b = first<ssc_hdr_body>(h, H::BODY);
  if (b && b->length != 0 && b->length != 0xFFFF && b->bytes) {
    *bytes = b->bytes;
    *len = b->length;
  }
}

}  // namespace

// The handle the builders send becomes `h` (its reference taken over).
void make_current(ssc_handle* h) {
  ssc_internal::release_handle(ssc_run().tx_handle);
  ssc_run().tx_handle = h;
}
// The received handle is the one to send.
void use_received() { ssc_internal::release_handle(ssc_run().tx_handle); }

bool has_status(ssc_handle* h) { return first<ssc_hdr_status>(h, H::RETURN_CODE) != nullptr; }
u16 status_of(ssc_handle* h) {
  auto* st = first<ssc_hdr_status>(h, H::RETURN_CODE);
  return st ? st->code : 0;
}
u8 class_of(ssc_handle* h) { return ssc_status_class(has_status(h), status_of(h)); }

bool tag_none(const char* t) { return t == nullptr || t[0] == '\0' || t[0] == static_cast<char>(SSC_TAG_NONE); }

void self_event(u8 route, u8 event) {
  ssc_module& m = mod();
  const u8 keep = m.route;
  m.route = route;
  ssc_send(ENT_SSC, route, event);
  m.route = keep;
}

void pass(code_t code) { (void)ssc_send_to_user(code); }

void retype(ssc_msg_type t) {
  if (cur()) (void)ssc_set_type_filtered(cur(), t);
}

// A fresh handle of the type, passed to the user.
void fresh_pass(ssc_msg_type t, code_t code) {
  ssc_internal::release_handle(cur());
  cur() = ssc_internal::new_handle(t);
  if (cur() != nullptr) pass(code);
}

bool add_status(ssc_handle* h, u16 code, const char* reason) {
  if (h == nullptr) return false;
  if (first<ssc_hdr_status>(h, H::RETURN_CODE)) return true;
  auto* st = static_cast<ssc_hdr_status*>(Ssc_alloc_header(h, H::RETURN_CODE));
  if (st == nullptr) return false;
  st->code = code;
  st->reason = reason;
  return true;
}

// Request-URI of a request as ENT_SIP writes it (port, the routing
// parameters transport, ttl, maddr and user, then the other parameters);
// its length, 0 when there is none or it does not fit (never a cut URI).
std::size_t request_uri_text(ssc_handle* h, char* out, std::size_t size) {
  auto* ru = first<ssc_hdr_request_uri>(h, H::REQUEST_URI);
  if (ru == nullptr || size < 2 || size > 0xFFFF) return 0;
  // The user part is written when the URI has one, as the encoder does.
  ssc_uri u = ru->uri;
  if (u.user_form != 'P' && u.user != nullptr && ssc_ptr_set(u.user)) u.user_form = 'U';
  std::string t(out, ssc_uri_text(out, &u, static_cast<u16>(size)));
  auto text = [](const char* s) { return s != nullptr && ssc_ptr_set(s) && s[0] != '\0'; };
  auto coded = [&](const char* name, const sip_value_table& table, u8 code, const char* other) {
    const char* word = nullptr;
    if (code != 0xFF && sip_value__lookup(table, code, &word) == SIP_RESULT_OK && word != nullptr) {
      t += name;
      t += word;
    } else if (text(other)) {
      t += name;
      t += other;
    }
  };
  if (u.port != 0xFFFF) {
    t += ':';
    t += std::to_string(u.port);
  }
  coded(";transport=", sip_vt_uri_transport, u.transport, u.transport_text);
  if (u.ttl != 0xFF) {
    t += ";ttl=";
    t += std::to_string(u.ttl);
  }
  if (text(u.maddr)) {
    t += ";maddr=";
    t += u.maddr;
  }
  coded(";user=", sip_vt_user_param, u.user_param, u.user_param_text);
  if (text(ru->params)) {
    t += ';';
    t += ru->params;
  }
  if (t.size() + 1 >= size) {
    out[0] = '\0';
    return 0;
  }
  std::memcpy(out, t.c_str(), t.size() + 1);
  return t.size();
}

// ---- errors -----------------------------------------------------------------

// The SSC_ERROR_IN body of the received error (8 bytes: byte 6 the fatal
// flag, byte 7 the code concerned), null when there is none.
u8* error_body() {
  msg_t* m = ssc_run().msg;
  if (m == nullptr || m->p_buffer != nullptr || Msg_data_size(m) < SSC_ERROR_IN_SIZE) return nullptr;
  return Msg_data(m);
}
bool error_fatal() {
  const u8* b = error_body();
  return b && b[6] != 0;
}
void make_fatal(bool fatal) {
  if (u8* b = error_body()) b[6] = fatal ? 1 : 0;
}
u16 error_number() {
  const u8* b = error_body();
  return b ? static_cast<u16>(b[2] | (b[3] << 8)) : 0;
}
// The received error record to the user as SSC_ERROR_IN.
void pass_error() {
  const u8* b = error_body();
  if (b == nullptr || mod().ua == nullptr) return;
  ssc_run_state& r = ssc_run();
  if (r.building) Free_msg(r.building);
  r.building = Alloc_msg();
  if (r.building == nullptr) return;
  Msg_set_inline_body(r.building, b, SSC_ERROR_IN_SIZE);
  ssc_send('A', 255, SSC_ERROR_IN);
}

void report(bool fatal) {
  ssc_send_error_in(SSC_ERROR_DISCARDED, fatal ? 1 : 0);
  (void)ssc_report_error('b', 'r', mod().event);
}

// ---- digest -----------------------------------------------------------------

ssc_digest_user call_user() {
  ssc_call* c = mod().call;
  return ssc_digest_user_of(c ? c->defaults : nullptr);
}

// The challenge step for the received response, answering a request of
// `method` whose handle is `req`.
bool challenge_accepted(ssc_handle* req, const char* method) {
  ssc_call* c = mod().call;
  if (c == nullptr || req == nullptr) return false;
  char uri[SSC_DIGEST_URI_MAX + 1];
  const std::size_t n = request_uri_text(req, uri, sizeof uri);
  const ssc_digest_verdict v = ssc_digest_challenge(c->digest, ssc_digest_view_of(cur()), call_user(),
                                                    std::string_view(uri, n), method, random64());
  if (v.result != SSC_DIGEST_RETRY && v.report_kind != 0) (void)ssc_report_error(v.report_kind, 'r', v.report_number);
  return v.result == SSC_DIGEST_RETRY;
}

// Credentials for the current handle from the digest block, computed for
// its own Request-URI and body; none when that cannot be done.
void add_fresh_credentials(const char* method) {
  ssc_call* c = mod().call;
  ssc_handle* h = ssc_current_handle();
  if (c == nullptr || h == nullptr || c->digest.nonce[0] == '\0') return;
  char uri[SSC_DIGEST_URI_MAX + 1];
  const std::size_t n = request_uri_text(h, uri, sizeof uri);
  const u8* body;
  std::size_t len;
  body_of(h, &body, &len);
  for (H id : {H::AUTHORIZATION, H::PROXY_AUTHORIZATION})
    if (void** head = Ssc_list_head(h, id)) *head = nullptr;
  if (n == 0 || !ssc_digest_prepare(c->digest, std::string_view(uri, n), method, body, len)) return;
  if (ssc_digest_add_credentials(c->digest, h) != SSC_RESULT_OK)
    (void)ssc_report_error('d', 'r', c->digest.header_kind == SSC_KIND_PROXY ? 2 : 1);
}

// The pending request again, with credentials: a copy of the request the
// challenge answered, its old transaction closed.
bool resend_with_credentials(ssc_msg_type type, const char* method, code_t code) {
  ssc_handle* req = ssc_tx().pending;
  if (req == nullptr || req->type != type) {
    if (ssc_tx_find(type, 0xFFFF, SSC_TX_SENT) != SSC_RESULT_OK) return false;
    req = ssc_tx().pending;
  }
  ssc_handle* copy = ssc_internal::new_handle(ssc_msg_type::NONE);
  if (copy == nullptr || Ssc_copy_msg(copy, req) == nullptr) {
    ssc_internal::release_handle(copy);
    return false;
  }
  make_current(copy);
  if (void** v = Ssc_list_head(copy, H::VIA))  // a new transaction: ENT_SIP gives it a new branch
    for (auto* via = static_cast<ssc_hdr_via*>(*v); via && ssc_ptr_set(via); via = via->next) via->s7 = nullptr;
  add_fresh_credentials(method);
  if (ssc_dialog_entry* e = mod().entry) {
    ssc_hold_handle(nullptr, 0);
    ssc_hold_handle(nullptr, 1);
    e->own_route = false;
    e->remote_tag[0] = static_cast<char>(SSC_TAG_NONE);
    e->peer_supported = 0;
    e->peer_require = 0;
  }
  (void)ssc_send_request(code);
  ++mod().call->digest.nonce_count;
  return true;
}

// The Request-URI of the current request when it has none: the remote
// target, else the call's To (the digest needs it before sending).
void request_uri_from_target() {
  ssc_handle* h = ssc_current_handle();
  if (h == nullptr || first<void>(h, H::REQUEST_URI)) return;
  const ssc_uri* u = nullptr;
  ssc_dialog_entry* e = mod().entry;
  if (auto* t = e ? first<ssc_hdr_contact>(e->target, H::CONTACT) : nullptr) u = &t->uri;
  else if (auto* to = first<ssc_hdr_name_addr>(mod().call->defaults, H::TO)) u = &to->uri;
  if (u == nullptr) return;
  ssc_hdr_request_uri ru;
  std::memset(&ru, 0xFF, sizeof ru);
  ru.next = nullptr;
  ru.uri = *u;
  ru.params = nullptr;
  (void)ssc_copy_header(h, H::REQUEST_URI, &ru);
}

// Before a new INVITE, OPTIONS or REGISTER of the user: the call's route
// set and defaults, the Request-URI default, local tag and Call-ID.
void open_request() {
  ssc_handle* h = cur();
  ssc_build_route_set();
  ssc_prepare_call_defaults(h);
  use_received();
  ssc_default_request_uri();
  auto* from = first<ssc_hdr_name_addr>(h, H::FROM);
  if (from == nullptr) from = first<ssc_hdr_name_addr>(mod().call->defaults, H::FROM);
  ssc_set_local_tag_and_call_id(from, first<ssc_hdr_call_id>(h, H::CALL_ID));
}

// The agent closes sessions itself (bit 0 of its option byte).
bool session_notices() { return mod().ua && (mod().ua->option_byte & SSC_OPT_SESSION_NOTICES) != 0; }

}  // namespace ssc_steps
