// Request and answer builders of ENT_SSC for the call and dialog-entry
// machines.
#include "sip/ssc_build_extra.h"

#include <cstdio>
#include <cstring>
#include <utility>

#include "runtime/om_os.h"
#include "sip/ssc_handler.h"
#include "sip/ssc_helpers.h"
#include "sip/ssc_ident.h"
#include "sip/ssc_internal.h"
#include "sip/ssc_tx.h"

namespace {

ssc_handle*& cur() { return ssc_run().handle; }

void*& next_of(void* inst) { return *static_cast<void**>(inst); }

template <class T>
T* first(ssc_handle* h, ssc_header_id id) {
  if (h == nullptr) return nullptr;
  T* p = Ssc_first<T>(h, id);
  return ssc_ptr_set(reinterpret_cast<const char*>(p)) ? p : nullptr;
}

bool has(ssc_handle* h, ssc_header_id id) { return first<void>(h, id) != nullptr; }

bool tag_none(const char* t) { return t == nullptr || t[0] == '\0' || t[0] == static_cast<char>(SSC_TAG_NONE); }

// A text copied into the handle's area (null when no room).
const char* area_text(ssc_handle* h, const char* s) {
  const std::size_t n = std::strlen(s) + 1;
  if (n > 0xFFFF) return nullptr;
  char* p = static_cast<char*>(Ssc_alloc_area(h, static_cast<u16>(n)));
  if (p) std::memcpy(p, s, n);
  return p;
}

// The tag of a From or To: the given one, or none.
bool set_tag(ssc_handle* h, ssc_header_id id, const char* tag) {
  auto* na = first<ssc_hdr_name_addr>(h, id);
  if (na == nullptr) return true;
  if (tag_none(tag)) {
    na->s3 = nullptr;
    return true;
  }
  na->s3 = area_text(h, tag);
  return na->s3 != nullptr;
}

// Sends a handle that is not the current one (it is released afterwards).
u8 send_other(ssc_handle* h, code_t code) {
  ssc_run_state& r = ssc_run();
  ssc_handle* keep = r.tx_handle;
  r.tx_handle = h;
  (void)ssc_tx_track(h, SSC_TX_SENT);
  ssc_send(ENT_SIP, 0, code);
  r.tx_handle = keep;
  ssc_internal::release_handle(h);
  return 2;
}

u8 send_current(code_t code) {
  (void)ssc_tx_track(cur(), SSC_TX_SENT);
  ssc_run_state& r = ssc_run();
  ssc_handle* keep = r.tx_handle;
  r.tx_handle = nullptr;
  ssc_send(ENT_SIP, 0, code);
  r.tx_handle = keep;
  return 2;
}

u8 fail(u16 number) {
  (void)ssc_report_error('d', 'r', number);
  return 3;
}

// Copies of the request's lists into the answer where it has none, the
// top Via with the request's source (ssc_new_response_handle does that).
bool answer_from_request(ssc_handle* a, ssc_handle* req, bool with_expires) {
  ssc_handle* base = ssc_new_response_handle(req);
  if (base == nullptr) return false;
  bool ok = true;
  for (ssc_header_id id : {ssc_header_id::VIA, ssc_header_id::RECORD_ROUTE, ssc_header_id::FROM, ssc_header_id::TO,
                           ssc_header_id::CALL_ID}) {
    if (Ssc_header_allowed(a->type, id)) ok = ok && ssc_copy_list(a, id, base);
  }
  if (with_expires) ok = ok && ssc_copy_list(a, ssc_header_id::EXPIRES, req);
  a->transaction_number = req->transaction_number;
  ssc_handle* b = base;
  ssc_internal::release_handle(b);
  return ok;
}

bool add_status(ssc_handle* h, u16 code, const char* reason) {
  if (has(h, ssc_header_id::RETURN_CODE)) return true;
  auto* st = static_cast<ssc_hdr_status*>(Ssc_alloc_header(h, ssc_header_id::RETURN_CODE));
  if (st == nullptr) return false;
  st->code = code;
  st->reason = reason;
  return true;
}

// Completes and sends an answer `a` to the request `req` (the request's
// transaction current).
u8 finish_answer(ssc_handle* a, ssc_handle* req, u16 status, const char* reason, bool with_expires) {
  ssc_module& mod = ssc_mod();
  if (!add_status(a, status, reason) || !answer_from_request(a, req, with_expires)) return fail(6);
  ssc_handle* d = mod.call ? mod.call->defaults : nullptr;
  // The user's Contact in an answer becomes the call's.
  if (d && !ssc_copy_list(d, ssc_header_id::CONTACT, a)) return fail(7);
  if (d && Ssc_header_allowed(a->type, ssc_header_id::CONTACT) && !ssc_copy_list(a, ssc_header_id::CONTACT, d))
    return fail(7);
  if (mod.call && !set_tag(a, ssc_header_id::TO, mod.call->local_tag)) return fail(8);
  return 2;
}

code_t answer_code(ssc_msg_type t) {
  switch (t) {
    case ssc_msg_type::INVITE_RS: return SSC_SIP_INVITE_RS;
    case ssc_msg_type::OPTIONS_RS: return SSC_SIP_OPTIONS_RS;
    case ssc_msg_type::BYE_RS: return SSC_SIP_BYE_RS;
    case ssc_msg_type::CANCEL_RS: return SSC_SIP_CANCEL_RS;
    case ssc_msg_type::REGISTER_RS: return SSC_SIP_REGISTER_RS;
    default: return 0;
  }
}

// A Via of our own when neither the request nor the call has one: version
// "2.0", UDP, the host and port of our Contact, else of our From.
bool add_own_via(ssc_handle* h) {
  ssc_handle* d = ssc_mod().call ? ssc_mod().call->defaults : nullptr;
  const ssc_uri* u = nullptr;
  if (auto* c = first<ssc_hdr_contact>(h, ssc_header_id::CONTACT)) u = &c->uri;
  else if (auto* c2 = first<ssc_hdr_contact>(d, ssc_header_id::CONTACT)) u = &c2->uri;
  else if (auto* f = first<ssc_hdr_name_addr>(h, ssc_header_id::FROM)) u = &f->uri;
  if (u == nullptr || (u->host_family != '4' && u->host_family != '6' && u->host_family != 'N')) return false;
  auto* v = static_cast<ssc_hdr_via*>(Ssc_alloc_header(h, ssc_header_id::VIA));
  if (v == nullptr) return false;
  v->protocol = 1;
  v->s1 = nullptr;
  v->transport = 'U';
  v->s2 = "2.0";
  v->s3 = nullptr;
  v->family1 = u->host_family;
  v->s4 = u->host_family == 'N' && ssc_ptr_set(u->host_name) ? u->host_name : nullptr;
  std::memcpy(v->v4_1, u->host_v4, 4);
  std::memcpy(v->v6_1, u->host_v6, 16);
  v->port = u->port;
  v->b3 = 0xFF;
  v->s5 = nullptr;
  v->w2 = 0xFFFF;
  v->s6 = nullptr;
  v->s7 = nullptr;
  return true;
}

}  // namespace

bool ssc_copy_header(ssc_handle* dst, ssc_header_id id, const void* inst) {
  const ssc_header_desc_row* row = ssc_header_row(id);
  void** head = Ssc_list_head(dst, id);
  if (row == nullptr || head == nullptr || inst == nullptr) return false;
  const u32 n = row->size + ssc_header_size(id, inst);
  if (n > 0xFFFF) return false;
  auto* p = static_cast<u8*>(Ssc_alloc_area(dst, static_cast<u16>(n)));
  if (p == nullptr) return false;
  std::memcpy(p, inst, row->size);
  next_of(p) = nullptr;
  ssc_header_copy(id, p, p + row->size);
  void** at = head;
  while (*at != nullptr && ssc_ptr_set(static_cast<const char*>(*at))) at = &next_of(*at);
  *at = p;
  return true;
}

bool ssc_copy_list(ssc_handle* dst, ssc_header_id id, ssc_handle* src) {
  if (src == nullptr || dst == nullptr || has(dst, id)) return true;
  for (void* s = first<void>(src, id); s != nullptr && ssc_ptr_set(static_cast<const char*>(s)); s = next_of(s))
    if (!ssc_copy_header(dst, id, s)) return false;
  return true;
}

ssc_handle* ssc_set_type_filtered(ssc_handle* h, ssc_msg_type t) {
  if (!ssc_is_handle(h) || ssc_idx(t) >= 41) return nullptr;
  h->type = t;
  for (unsigned id = 0; id < SSC_HEADER_ID_COUNT; ++id) {
    const auto hid = static_cast<ssc_header_id>(id);
    void** head = Ssc_list_head(h, hid);
    if (head && hid != ssc_header_id::TX_LINK && !Ssc_header_allowed(t, hid)) *head = nullptr;
  }
  return h;
}

ssc_handle* ssc_fresh_handle(ssc_msg_type t) {
  ssc_handle*& h = cur();
  if (h && h->ref_count == 1 && Ssc_init_handle(h, t) == 2) return h;
  ssc_internal::release_handle(h);
  h = ssc_internal::new_handle(t);
  return h;
}

void ssc_prepare_call_defaults(ssc_handle* req, bool swap) {
  ssc_call* c = ssc_mod().call;
  if (c == nullptr || c->defaults != nullptr || req == nullptr) return;
  ssc_handle* d = ssc_internal::new_handle(ssc_msg_type::NONE);
  if (d == nullptr || Ssc_copy_msg(d, req) == nullptr) {
    ssc_internal::release_handle(d);
    (void)fail(18);
    return;
  }
  if (swap) {
    void** f = Ssc_list_head(d, ssc_header_id::FROM);
    void** t = Ssc_list_head(d, ssc_header_id::TO);
    if (f && t) std::swap(*f, *t);
    // Our Contact and Via are not the peer's.
    for (ssc_header_id id : {ssc_header_id::CONTACT, ssc_header_id::VIA, ssc_header_id::RECORD_ROUTE})
      if (void** h = Ssc_list_head(d, id)) *h = nullptr;
  }
  c->defaults = d;
}

std::size_t ssc_request_uri_text(ssc_handle* h, char* out, std::size_t size) {
  auto* ru = first<ssc_hdr_request_uri>(h, ssc_header_id::REQUEST_URI);
  if (ru == nullptr || size < 2 || size > 0xFFFF) return 0;
  // The user part is written when the URI has one (as the encoder does).
  ssc_uri u = ru->uri;
  if (u.user_form != 'P' && ssc_ptr_set(u.user) && u.user != nullptr) u.user_form = 'U';
  std::size_t n = ssc_uri_text(out, &u, static_cast<u16>(size));
  auto put = [&](const char* s) {
    for (; *s; ++s) {
      if (n + 1 >= size) {
        n = size;  // marks the overflow
        return;
      }
      out[n++] = *s;
    }
    out[n] = '\0';
  };
  if (n + 1 >= size) return 0;
  if (ru->uri.port != 0xFFFF && ru->uri.port != 0) {
    char p[8];
    std::snprintf(p, sizeof p, ":%u", static_cast<unsigned>(ru->uri.port));
    put(p);
  }
  if (n < size && ssc_ptr_set(ru->uri.uri_text_2) && ru->uri.uri_text_2[0] != '\0') {
    put(";");
    if (n < size) put(ru->uri.uri_text_2);
  }
  if (n >= size) {
    out[0] = '\0';
    return 0;
  }
  return n;
}

u8 ssc_send_request(code_t code) {
  ssc_module& mod = ssc_mod();
  ssc_handle* h = cur();
  ssc_call* c = mod.call;
  ssc_dialog_entry* e = mod.entry;
  if (h == nullptr || c == nullptr) return 3;
  ssc_handle* d = c->defaults;
  using H = ssc_header_id;
  // The route set of the dialog, when the request names none.
  if (e && e->own_route && e->target && !has(h, H::ROUTE) && Ssc_header_allowed(h->type, H::ROUTE)) {
    ssc_hdr_route* list[32];
    std::size_t n = 0;
    for (auto* r = first<ssc_hdr_route>(e->target, H::RECORD_ROUTE); r && ssc_ptr_set(r) && n < 32; r = r->next)
      list[n++] = r;
    for (std::size_t i = 0; i < n; ++i)
      if (!ssc_copy_header(h, H::ROUTE, list[e->route_reversed ? n - 1 - i : i])) return fail(4);
  }
  if (!ssc_copy_list(h, H::TO, d)) return fail(4);
  if (!has(h, H::REQUEST_URI)) {
    auto* ru = static_cast<ssc_hdr_request_uri*>(Ssc_alloc_header(h, H::REQUEST_URI));
    if (ru == nullptr) return fail(5);
    const auto* target = e && e->target ? first<ssc_hdr_contact>(e->target, H::CONTACT) : nullptr;
    const auto* to = first<ssc_hdr_name_addr>(h, H::TO);
    if (target) ru->uri = target->uri;
    else if (to) ru->uri = to->uri;
    ru->uri.uri_text_2 = target ? target->uri.uri_text_2 : nullptr;
  }
  for (H id : {H::CONTACT, H::VIA, H::FROM, H::CALL_ID, H::USER_AGENT}) {
    if (Ssc_header_allowed(h->type, id) && !ssc_copy_list(h, id, d)) return fail(4);
  }
  if (!has(h, H::VIA) && Ssc_header_allowed(h->type, H::VIA) && !add_own_via(h)) return fail(5);
  if (!has(h, H::MAX_FORWARDS)) {
    auto* mf = static_cast<ssc_hdr_u32*>(Ssc_alloc_header(h, H::MAX_FORWARDS));
    if (mf == nullptr) return fail(5);
    mf->value = 70;
  }
  if (!set_tag(h, H::FROM, c->local_tag) || !set_tag(h, H::TO, e ? e->remote_tag : nullptr)) return fail(5);
  return send_current(code);
}

u8 ssc_send_answer(code_t code) {
  ssc_handle* req = ssc_tx().pending;
  if (req == nullptr) {
    (void)ssc_report_error('f', 'r', 0);
    return 3;
  }
  const u8 r = finish_answer(cur(), req, 200, "OK", false);
  if (r != 2) return r;
  return send_current(code);
}

u8 ssc_answer_pending(ssc_msg_type request, u16 status, const char* reason, code_t code) {
  if (ssc_tx_find(request, 0xFFFF, SSC_TX_RECEIVED) != 2) {
    (void)ssc_report_error('f', 'r', 1);
    return 3;
  }
  return ssc_answer_request(ssc_tx().pending, status, reason, code);
}

u8 ssc_answer_request(ssc_handle* req, u16 status, const char* reason, code_t code) {
  if (!ssc_is_handle(req) || ssc_idx(req->type) >= 41) return 3;
  ssc_handle* a = ssc_internal::new_handle(ssc_msg_type_table[ssc_idx(req->type)].pair);
  if (a == nullptr) return fail(6);
  if (finish_answer(a, req, status, reason, false) != 2) {
    ssc_internal::release_handle(a);
    return 3;
  }
  if (code == 0) code = answer_code(a->type);
  return send_other(a, code);
}

u8 ssc_send_ack() {
  ssc_module& mod = ssc_mod();
  ssc_handle* inv = ssc_tx().pending;
  if (inv == nullptr || inv->type != ssc_msg_type::INVITE) {
    if (ssc_tx_find(ssc_msg_type::INVITE, 0xFFFF, SSC_TX_SENT) != 2) return 3;
    inv = ssc_tx().pending;
  }
  ssc_handle* a = ssc_internal::new_handle(ssc_msg_type::ACK);
  if (a == nullptr) return fail(9);
  using H = ssc_header_id;
  bool ok = true;
  for (H id : {H::REQUEST_URI, H::VIA, H::CONTACT, H::ROUTE, H::FROM, H::TO, H::CALL_ID, H::MAX_FORWARDS})
    if (Ssc_header_allowed(a->type, id)) ok = ok && ssc_copy_list(a, id, inv);
  a->transaction_number = inv->transaction_number;
  if (!ok || !set_tag(a, H::FROM, mod.call->local_tag) ||
      !set_tag(a, H::TO, mod.entry ? mod.entry->remote_tag : nullptr)) {
    ssc_internal::release_handle(a);
    return fail(9);
  }
  return send_other(a, SSC_SIP_ACK_RQ);
}

u8 ssc_fill_cancel() {
  ssc_handle* inv = ssc_tx().pending;
  if (inv == nullptr || inv->type != ssc_msg_type::INVITE) {
    if (ssc_tx_find(ssc_msg_type::INVITE, 0xFFFF, SSC_TX_SENT) != 2) return 3;
    inv = ssc_tx().pending;
  }
  ssc_handle* h = cur();
  if (h == nullptr) return 3;
  if (h->type != ssc_msg_type::CANCEL) (void)ssc_set_type_filtered(h, ssc_msg_type::CANCEL);
  using H = ssc_header_id;
  for (H id : {H::REQUEST_URI, H::TO, H::FROM, H::VIA, H::ROUTE, H::CALL_ID, H::MAX_FORWARDS}) {
    if (void** head = Ssc_list_head(h, id)) *head = nullptr;
    if (!ssc_copy_list(h, id, inv)) return fail(10);
  }
  h->transaction_number = inv->transaction_number;
  return send_current(SSC_SIP_CANCEL_RQ);
}

u8 ssc_send_cancel() {
  ssc_call* c = ssc_mod().call;
  if (c == nullptr || (c->control_flags & 0x01)) return 3;
  if (ssc_tx_find(ssc_msg_type::INVITE, 0xFFFF, SSC_TX_SENT) != 2) return 3;
  ssc_handle* keep = cur();
  ssc_handle* h = ssc_internal::new_handle(ssc_msg_type::CANCEL);
  if (h == nullptr) return fail(10);
  cur() = h;
  const u8 r = ssc_fill_cancel();
  cur() = keep;
  ssc_internal::release_handle(h);
  if (r == 2) c->control_flags |= 0x01;
  return r;
}

u8 ssc_send_register() {
  ssc_module& mod = ssc_mod();
  ssc_handle* h = cur();
  ssc_call* c = mod.call;
  if (h == nullptr || c == nullptr) return 3;
  using H = ssc_header_id;
  const u16 flags = mod.ua ? mod.ua->option_flags : 0;
  if (c->digest.user[0] != '\0' && c->digest.nonce[0] == '\0' && (flags & 0x08) && !has(h, H::AUTHORIZATION))
    (void)ssc_digest_add_initial(c->digest, h, (flags & 0x10) != 0);
  if (!ssc_copy_list(h, H::CALL_ID, c->defaults)) return fail(11);
  if (!has(h, H::FROM)) {
    auto* to = first<ssc_hdr_name_addr>(h, H::TO);
    if (to && !ssc_copy_header(h, H::FROM, to)) return fail(11);
  }
  // A REGISTER never carries a To tag.
  if (mod.entry) mod.entry->remote_tag[0] = static_cast<char>(SSC_TAG_NONE);
  return ssc_send_request(SSC_SIP_REGISTER_RQ);
}

u8 ssc_send_register_answer() {
  ssc_handle* req = ssc_tx().pending;
  if (req == nullptr) return 3;
  const u8 r = finish_answer(cur(), req, 200, "OK", true);
  if (r != 2) return r;
  return send_current(SSC_SIP_REGISTER_RS);
}

namespace {

void to_each_entry(code_t event, bool idle_only) {
  ssc_module& mod = ssc_mod();
  if (mod.call == nullptr) return;
  ssc_dialog_entry* keep = mod.entry;
  const u8 route = mod.route;
  for (ssc_dialog_entry* e = mod.call->first; e; e = e->next) {
    if (idle_only && e->state != SSC_ENTRY_IDLE) continue;
    mod.entry = e;
    mod.route = 'C';
    ssc_send(ENT_SSC, 'C', event);
  }
  mod.entry = keep;
  mod.route = route;
}

}  // namespace

void ssc_release_idle_entries() { to_each_entry(57, true); }
void ssc_abort_entries() { to_each_entry(65, false); }

u8 ssc_options_step(u8 event) {
  ssc_module& mod = ssc_mod();
  ssc_dialog_entry* e = mod.entry;
  ssc_handle* h = cur();
  if (e == nullptr) return SSC_OPTIONS_DONE;
  auto interval_of = [](ssc_handle* x) -> u32 {
    auto* v = first<ssc_hdr_u32>(x, ssc_header_id::OPTIONS_VALUE);
    return v ? v->value : 0;
  };
  auto send_copy = [&]() {
    ssc_handle* copy = ssc_internal::new_handle(ssc_msg_type::NONE);
    if (copy == nullptr || e->kept == nullptr || Ssc_copy_msg(copy, e->kept) == nullptr) {
      ssc_internal::release_handle(copy);
      return;
    }
    ssc_handle* keep = cur();
    cur() = copy;
    (void)ssc_send_request(SSC_SIP_OPTIONS_RQ);
    cur() = keep;
    ssc_internal::release_handle(copy);
  };
  switch (event) {
    case 40:
      if (e->options_phase == 0) {
        ssc_internal::release_handle(e->kept);
        if (h) {
          ++h->ref_count;
          e->kept = h;
        }
        e->options_interval = interval_of(h);
        send_copy();
        e->options_phase = 1;
      } else if (e->options_phase == 1 || e->options_phase == 3) {
        e->options_interval = interval_of(h);
        e->options_phase = 1;
      } else {
        ssc_entry_timer_stop(e, 1);
        e->options_interval = interval_of(h);
        if (e->options_interval == 0) {
          e->options_phase = 0;
        } else {
          send_copy();
          e->options_phase = 1;
        }
      }
      break;
    case 69:
      if (e->options_phase == 2) {
        send_copy();
        e->options_phase = 3;
      } else {
        (void)om_os_trap(305);
      }
      break;
    case 43: {
      if (e->options_phase == 0) break;
      auto* st = first<ssc_hdr_status>(h, ssc_header_id::RETURN_CODE);
      const u16 status = st ? st->code : 0;
      (void)ssc_send_to_user(195);
      if (status >= 100 && status <= 199) break;
      if (e->options_interval != 0) {
        if (ssc_entry_timer_start(e, 1, ssc_seconds_to_ms(e->options_interval), '1') != 2) {
          (void)om_os_trap(303);
          e->options_phase = 0;
        } else {
          e->options_phase = 2;
        }
      } else {
        e->options_phase = 0;
      }
      break;
    }
    default: break;
  }
  if (e->options_phase != 0) return SSC_OPTIONS_RUNNING;
  ssc_internal::release_handle(e->kept);
  return SSC_OPTIONS_DONE;
}
