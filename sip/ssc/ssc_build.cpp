// Request and answer builders of ENT_SSC: the handle helpers and the call's
// defaults.  The senders are in ssc_send.cpp.
#include "sip/ssc/ssc_build.h"

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <vector>

#include "runtime/buffer.h"
#include "runtime/msg.h"
#include "runtime/om_os.h"
#include "sip/ssc/ssc_build_int.h"
#include "sip/ssc/ssc_handler.h"
#include "sip/ssc/ssc_helpers.h"
#include "sip/ssc/ssc_ident.h"
#include "sip/ssc/ssc_internal.h"
#include "sip/ssc/ssc_tx.h"

using ssc_internal::new_handle;
using ssc_internal::release_handle;

using namespace ssc_build_detail;

namespace ssc_build_detail {

void clear_list(ssc_handle* h, hid id) {
  if (void** head = h ? Ssc_list_head(h, id) : nullptr) *head = nullptr;
}

bool allowed(ssc_handle* h, hid id) { return Ssc_header_allowed(h->type, id); }

// A text kept in the handle's own area.
const char* area_text(ssc_handle* h, const char* text) {
  const std::size_t n = std::strlen(text);
  if (n + 1 > 0xFFFF) return nullptr;
  char* p = static_cast<char*>(Ssc_alloc_area(h, static_cast<u16>(n + 1)));
  if (p) std::memcpy(p, text, n + 1);
  return p;
}

bool tag_usable(const char* tag) {
  return tag[0] != '\0' && tag[0] != '\n' && tag[0] != static_cast<char>(SSC_TAG_NONE);
}

ssc_handle* call_defaults() {
  ssc_call* c = ssc_mod().call;
  if (c == nullptr) return nullptr;
  if (c->defaults == nullptr) c->defaults = new_handle(ssc_msg_type::INVITE);
  return c->defaults;
}

// The call of the saved registration entry (another call than this one).
ssc_call* registration_call() {
  const ssc_module& mod = ssc_mod();
  if (mod.ua == nullptr) return nullptr;
  for (ssc_dialog_entry* e : mod.ua->reg_slots) {
    if (e && e->call && e->call != mod.call && e->call->in_use) return e->call;
  }
  return nullptr;
}
ssc_handle* registration_defaults() {
  ssc_call* c = registration_call();
  return c ? c->defaults : nullptr;
}
ssc_handle* binding_store() {
  const ssc_module& mod = ssc_mod();
  return mod.ua && mod.ua->binding.state != 0 ? mod.ua->binding.store : nullptr;
}

// Copies the list from the first source that has one; false on no room.
bool copy_from_first(ssc_handle* dst, hid id, std::initializer_list<ssc_handle*> sources) {
  if (has(dst, id)) return true;
  for (ssc_handle* s : sources) {
    if (has(s, id)) return ssc_copy_list(dst, id, s);
  }
  return true;
}

// Mask of the header 2 list (option-tag codes as bytes).
u32 hdr2_mask_of(ssc_handle* h) {
  u32 mask = 0;
  for (auto* b = first<ssc_hdr_byte>(h, hid::PROFILE_BYTE); b; b = next_of(b)) {
    ssc_hdr_code_text one{nullptr, b->value, nullptr};
    mask |= Ssc_option_tags_mask(&one);
  }
  return mask;
}

u32 tags_mask(ssc_handle* h, hid id) { return h ? Ssc_option_tags_mask(first<ssc_hdr_code_text>(h, id)) : 0; }

void peer_masks_from(ssc_handle* h) {
  ssc_dialog_entry* e = ssc_mod().entry;
  if (e == nullptr || h == nullptr) return;
  e->peer_supported = tags_mask(h, hid::SUPPORTED);
  e->peer_require = tags_mask(h, hid::REQUIRE);
}

bool list_has_code(ssc_handle* h, hid id, u8 code) {
  for (auto* t = first<ssc_hdr_code_text>(h, id); t; t = next_of(t)) {
    if (t->code == code) return true;
  }
  return false;
}

// Option tags of a request or answer (bits 1 to 5 only: 100rel is the
// user's to ask for), then the call's masks back to their configured copies.
bool apply_option_tags(ssc_handle* h) {
  ssc_call* c = ssc_mod().call;
  const ssc_dialog_entry* e = ssc_mod().entry;
  const u32 peer_req = e ? e->peer_require : 0;
  const u32 peer_sup = e ? e->peer_supported : 0;
  const u32 need = ssc_required_tags(peer_req, peer_sup, c->supported_mask, c->hdr2_mask, c->require_mask,
                                     static_cast<u8>(ssc_idx(h->type)));
  const u32 offer = (c->supported_mask | c->hdr2_mask) & ~need;
  bool ok = true;
  for (unsigned bit = 1; bit <= 5; ++bit) {
    const u8 letter = ssc_option_tag_letter(bit);
    const auto add = [&](hid id) {
      if (list_has_code(h, id, letter)) return;
      auto* t = static_cast<ssc_hdr_code_text*>(Ssc_alloc_header(h, id));
      if (t == nullptr) {
        ok = false;
        return;
      }
      t->code = letter;
      t->text = nullptr;
    };
    if ((need >> bit & 1u) && allowed(h, hid::REQUIRE)) add(hid::REQUIRE);
    if ((offer >> bit & 1u) && allowed(h, hid::SUPPORTED)) add(hid::SUPPORTED);
  }
  c->supported_mask = c->supported_cfg;
  c->require_mask = c->require_cfg;
  return ok;
}

ssc_aux_record* current_aux() {
  ssc_module& mod = ssc_mod();
  if (mod.ua == nullptr) return nullptr;
  u16 index = SSC_NO_INDEX16;
  if (mod.entry && mod.entry->aux != SSC_NO_INDEX16) index = mod.entry->aux;
  else if (ssc_run().handle) index = ssc_run().handle->carried_word_1;
  if (index >= mod.ua->aux_records.size()) return nullptr;
  return &mod.ua->aux_records[index];
}

}  // namespace ssc_build_detail

// ---- handle helpers ----------------------------------------------------------

bool ssc_copy_header(ssc_handle* dst, ssc_header_id id, const void* inst) {
  const ssc_header_desc_row* row = ssc_header_row(id);
  void** head = dst ? Ssc_list_head(dst, id) : nullptr;
  if (row == nullptr || head == nullptr || inst == nullptr) return false;
  // The second Route list shares the Route record and its functions.
  const hid as = id == hid::ROUTE_2 ? hid::ROUTE : id;
  const u32 extra = ssc_header_size(as, inst);
  const u32 n = row->size + extra;
  if (n > 0xFFFF) return false;
  auto* p = static_cast<u8*>(Ssc_alloc_area(dst, static_cast<u16>(n)));
  if (p == nullptr) return false;
  std::memcpy(p, inst, row->size);
  void* none = nullptr;
  std::memcpy(p, &none, sizeof none);
  ssc_header_copy(as, p, p + row->size);
  void** at = head;
  for (unsigned guard = 0; ssc_ptr_set(static_cast<const char*>(*at)) && guard < 0x10000; ++guard)
    at = static_cast<void**>(*at);
  *at = p;
  return true;
}

bool ssc_copy_list(ssc_handle* dst, ssc_header_id id, ssc_handle* src) {
  if (dst == nullptr || has(dst, id) || src == nullptr) return true;
  const void* s = first<void>(src, id);
  for (unsigned guard = 0; ssc_ptr_set(static_cast<const char*>(s)) && guard < 0x10000; ++guard) {
    if (!ssc_copy_header(dst, id, s)) return false;
    void* n;
    std::memcpy(&n, s, sizeof n);
    s = n;
  }
  return true;
}

ssc_handle* ssc_set_type(ssc_handle* h, ssc_msg_type t) {
  if (!ssc_is_handle(h) || ssc_idx(t) >= SSC_MSG_TYPE_COUNT || ssc_idx(h->type) >= SSC_MSG_TYPE_COUNT) return nullptr;
  h->type = t;
  return h;
}

ssc_handle* ssc_set_type_filtered(ssc_handle* h, ssc_msg_type t) {
  if (ssc_set_type(h, t) == nullptr) return nullptr;
  for (unsigned id = 0; id < SSC_HEADER_ID_COUNT; ++id) {
    const auto i = static_cast<hid>(id);
    if (i == hid::TX_LINK) continue;  // the transaction record stays with its handle
    void** head = Ssc_list_head(h, i);
    if (head && !Ssc_header_allowed(t, i)) *head = nullptr;
  }
  return h;
}

ssc_handle* ssc_current_handle() {
  ssc_run_state& r = ssc_run();
  return r.tx_handle ? r.tx_handle : r.handle;
}

ssc_handle* ssc_fresh_handle(ssc_msg_type t) {
  ssc_handle* h = new_handle(t);
  if (h == nullptr) return nullptr;
  release_handle(ssc_run().tx_handle);
  ssc_run().tx_handle = h;
  return h;
}

u8 ssc_new_response_current(ssc_handle* req) {
  ssc_handle* rs = ssc_new_response_handle(req);
  if (rs == nullptr) return 3;
  release_handle(ssc_run().tx_handle);
  ssc_run().tx_handle = rs;
  return 2;
}

void ssc_hold_handle(ssc_handle* h, u8 slot) {
  ssc_dialog_entry* e = ssc_mod().entry;
  if (e == nullptr || slot > 1) return;
  ssc_handle*& held = slot == 0 ? e->target : e->route_msg;
  if (held == h) return;
  if (h) ++h->ref_count;
  release_handle(held);
  held = h;
}

void ssc_via_from_contact(ssc_hdr_via* v, const ssc_hdr_contact* ct) {
  v->protocol = 1;
  v->s1 = nullptr;
  v->s2 = "2.0";
  v->transport = 'U';
  v->s3 = nullptr;
  v->family1 = ct->uri.host_family;
  v->s4 = ct->uri.host_family == 'N' ? ct->uri.host_name : nullptr;
  std::memcpy(v->v4_1, ct->uri.host_v4, 4);
  std::memcpy(v->v6_1, ct->uri.host_v6, 16);
  v->port = ct->uri.port;
}

ssc_handle* ssc_current_profile() {
  const ssc_aux_record* a = current_aux();
  return a && a->state == '1' ? a->profile : nullptr;
}

// ---- call defaults -------------------------------------------------------------

namespace {

// What filling the call's defaults works on; call is null (and the fault
// reported) when there is no call or no defaults handle.
struct defaults_scope {
  ssc_call* call = nullptr;
  ssc_handle* defaults = nullptr;
  ssc_handle* profile = nullptr;
  ssc_handle* registration = nullptr;
};

defaults_scope open_defaults() {
  ssc_call* c = ssc_mod().call;
  ssc_handle* d = call_defaults();
  if (c == nullptr || d == nullptr) {
    (void)ssc_report_error(KIND_HEADER, ERROR_CLASS, AT_DEFAULTS);
    return {};
  }
  ssc_handle* prof = ssc_current_profile();
  return {c, d, prof, registration_defaults()};
}

}  // namespace

void ssc_prepare_call_defaults(ssc_handle* req) {
  const auto [c, d, prof, reg] = open_defaults();
  if (c == nullptr) return;
  bool ok = copy_from_first(d, hid::TO, {req});
  // From: the request's, the profile's, else the registered address.
  if (!has(d, hid::FROM)) {
    if (has(req, hid::FROM)) ok &= ssc_copy_list(d, hid::FROM, req);
    else if (has(prof, hid::FROM)) ok &= ssc_copy_list(d, hid::FROM, prof);
    else if (auto* to = first<ssc_hdr_name_addr>(reg, hid::TO)) ok &= ssc_copy_header(d, hid::FROM, to);
  }
  ok &= copy_from_first(d, hid::CONTACT, {req, prof, reg});
  bool made = true;
  auto* from = first<ssc_hdr_name_addr>(d, hid::FROM);
  if (!has(d, hid::CONTACT) && req && req->type == ssc_msg_type::INVITE && from) {
    ssc_hdr_contact ct;
    std::memset(&ct, 0xFF, sizeof ct);
    ct.next = nullptr;
    ct.uri = from->uri;
    ct.uri.uri_text_2 = nullptr;
    ct.s1 = ct.s2 = ct.s3 = ct.s4 = ct.s5 = nullptr;
    ct.b1 = 0;
    made &= ssc_copy_header(d, hid::CONTACT, &ct);
  }
  ok &= copy_from_first(d, hid::VIA, {req, prof, reg});
  if (auto* ct = first<ssc_hdr_contact>(d, hid::CONTACT); ct && !has(d, hid::VIA)) {
    auto* v = static_cast<ssc_hdr_via*>(Ssc_alloc_header(d, hid::VIA));
    if (v) ssc_via_from_contact(v, ct);
    made &= v != nullptr;
  }
  ok &= copy_from_first(d, hid::USER_AUTH, {req, prof, reg, binding_store()});
  if (prof) {
    c->supported_mask = c->supported_cfg = tags_mask(prof, hid::SUPPORTED);
    c->require_mask = c->require_cfg = tags_mask(prof, hid::REQUIRE);
    c->hdr2_mask = hdr2_mask_of(prof);
    for (hid id : {hid::SUPPORTED, hid::ALLOW, hid::REQUIRE, hid::ACCEPT}) ok &= copy_from_first(d, id, {prof});
  }
  if (!ok) (void)ssc_report_error(KIND_HEADER, ERROR_CLASS, AT_DEFAULTS);
  if (!made) (void)ssc_report_error(KIND_HEADER, ERROR_CLASS, AT_DEFAULTS_MADE);
}

void ssc_prepare_answer_defaults(ssc_handle* answer) {
  const auto [c, d, prof, reg] = open_defaults();
  if (c == nullptr) return;
  bool ok = copy_from_first(d, hid::CONTACT, {answer, prof, reg});
  ok &= copy_from_first(d, hid::VIA, {prof, reg});
  ssc_handle* masks = answer && (has(answer, hid::SUPPORTED) || has(answer, hid::REQUIRE)) ? answer : prof;
  if (masks) {
    c->supported_mask = c->supported_cfg = tags_mask(masks, hid::SUPPORTED);
    c->require_mask = c->require_cfg = tags_mask(masks, hid::REQUIRE);
    c->hdr2_mask = hdr2_mask_of(has(answer, hid::PROFILE_BYTE) ? answer : prof);
  }
  if (prof) {
    for (hid id : {hid::SUPPORTED, hid::ALLOW, hid::REQUIRE, hid::ACCEPT}) ok &= copy_from_first(d, id, {prof});
  }
  if (!ok) (void)ssc_report_error(KIND_HEADER, ERROR_CLASS, AT_DEFAULTS);
}

void ssc_build_route_set() {
  ssc_handle* d = call_defaults();
  if (d == nullptr) return;
  clear_list(d, hid::ROUTE);
  bool ok = true;
  if (ssc_handle* b = binding_store()) ok &= ssc_copy_list(d, hid::ROUTE, b);
  if (ssc_handle* reg = registration_defaults()) {
    for (auto* r = first<ssc_hdr_route>(reg, hid::SERVICE_ROUTE); r && ok; r = next_of(r))
      ok &= ssc_copy_header(d, hid::ROUTE, r);
  }
  if (!ok) (void)ssc_report_error(KIND_HEADER, ERROR_CLASS, AT_DEFAULTS);
}

void ssc_route_set_from_request(ssc_handle* req) {
  ssc_dialog_entry* e = ssc_mod().entry;
  if (e == nullptr) return;
  e->own_route = true;
  if (!has(req, hid::RECORD_ROUTE)) return;
  ssc_hold_handle(req, 1);
  e->route_reversed = false;
}

void ssc_route_set_from_response(ssc_handle* rs) {
  ssc_dialog_entry* e = ssc_mod().entry;
  if (e == nullptr) return;
  e->own_route = true;
  if (!has(rs, hid::RECORD_ROUTE) || e->route_msg != nullptr) return;
  ssc_hold_handle(rs, 1);
  e->route_reversed = true;
}

void ssc_remote_target_take(ssc_handle* h) {
  ssc_dialog_entry* e = ssc_mod().entry;
  if (e == nullptr || h == nullptr) return;
  if (e->target == nullptr && has(h, hid::CONTACT)) ssc_hold_handle(h, 0);
  peer_masks_from(h);
}

void ssc_remote_target_update(ssc_handle* h) {
  if (ssc_mod().entry && has(h, hid::CONTACT)) ssc_hold_handle(h, 0);
}

void ssc_note_request_parties(ssc_handle* req) {
  ssc_remote_target_take(req);
  ssc_handle* d = call_defaults();
  if (d == nullptr || req == nullptr) return;
  bool ok = true;
  if (!has(d, hid::TO)) {
    if (auto* f = first<ssc_hdr_name_addr>(req, hid::FROM)) ok &= ssc_copy_header(d, hid::TO, f);
  }
  if (!has(d, hid::FROM)) {
    if (auto* t = first<ssc_hdr_name_addr>(req, hid::TO)) ok &= ssc_copy_header(d, hid::FROM, t);
  }
  if (!ok) (void)ssc_report_error(KIND_HEADER, ERROR_CLASS, AT_DEFAULTS);
}

void ssc_default_request_uri() {
  ssc_handle* h = ssc_current_handle();
  if (h == nullptr || has(h, hid::REQUEST_URI)) return;
  auto* to = first<ssc_hdr_name_addr>(h, hid::TO);
  if (to == nullptr) to = first<ssc_hdr_name_addr>(ssc_mod().call ? ssc_mod().call->defaults : nullptr, hid::TO);
  if (to == nullptr) return;
  ssc_hdr_request_uri ru;
  std::memset(&ru, 0xFF, sizeof ru);
  ru.next = nullptr;
  ru.uri = to->uri;
  ru.params = nullptr;
  if (!ssc_copy_header(h, hid::REQUEST_URI, &ru)) (void)ssc_report_error(KIND_HEADER, ERROR_CLASS, AT_REQUEST_ROUTE);
}

void ssc_set_local_tag_and_call_id(const ssc_hdr_name_addr* party, const ssc_hdr_call_id* call_id) {
  ssc_call* c = ssc_mod().call;
  if (c == nullptr) return;
  ssc_set_local_tag(c, party && ssc_ptr_set(party->s3) ? party->s3 : nullptr);
  if (call_id) {
    ssc_take_call_id(c, call_id);
    return;
  }
  const ssc_uri* host = party ? &party->uri : nullptr;
  if (host == nullptr) {
    if (auto* f = first<ssc_hdr_name_addr>(c->defaults, hid::FROM)) host = &f->uri;
  }
  ssc_make_call_id(c, host, ssc_mod().call_id_offset++);
}
