// Call-control helpers of ENT_SSC.
#include "sip/ssc/ssc_helpers.h"

#include <cstring>
#include <utility>

#include "sip/prim/ssc_msg.h"
#include "sip/ssc/ssc_ident.h"

namespace {

struct text_out {
  char* out;
  u16 size;
  u16 n = 0;
  void put(const char* s) {
    if (s == nullptr) return;
    while (*s && n + 1 < size) out[n++] = *s++;
    if (size) out[n] = '\0';
  }
  void put(char c) {
    const char s[2] = {c, 0};
    put(s);
  }
};

bool set(const char* p) { return ssc_ptr_set(p); }

}  // namespace

u16 ssc_uri_text(char* out, const ssc_uri* uri, u16 size) {
  text_out t{out, size};
  if (size) out[0] = '\0';
  if (uri == nullptr || size == 0) return 0;
  if (uri->scheme == 'A') {
    if (set(uri->user)) t.put(uri->user);
    t.put('@');
    if (set(uri->host_name)) t.put(uri->host_name);
    return t.n;
  }
  t.put(uri->scheme == 'S' ? "sips:" : "sip:");
  bool user_written = false;
  if (uri->user_form == 'U' && set(uri->user)) {
    t.put(uri->user);
    user_written = true;
  } else if (uri->user_form == 'P' && set(uri->tel_number)) {
    if (uri->tel_global == 1) t.put('+');
    t.put(uri->tel_number);
    const std::pair<const char*, const char*> params[] = {
        {";isub=", uri->tel_2}, {";postd=", uri->tel_3}, {";phone-context=", uri->tel_4}, {";tsp=", uri->tel_5}};
    for (const auto& [name, value] : params) {
      if (!set(value)) continue;
      t.put(name);
      t.put(value);
    }
    if (set(uri->tel_6)) t.put(uri->tel_6);
    user_written = true;
  }
  if (user_written) {
    if (set(uri->uri_text_3)) {
      t.put(':');
      t.put(uri->uri_text_3);
    }
    t.put('@');
  }
  char num[48];
  switch (uri->host_family) {
    case '4': {
      char d[4][4];
      for (int i = 0; i < 4; ++i) ssc_u32_to_dec(d[i], sizeof d[i], uri->host_v4[i]);
      std::size_t k = 0;
      for (int i = 0; i < 4; ++i) {
        if (i) num[k++] = '.';
        for (const char* p = d[i]; *p;) num[k++] = *p++;
      }
      num[k] = '\0';
      t.put(num);
      break;
    }
    case '6': {
      std::size_t k = 0;
      num[k++] = '[';
      for (int i = 0; i < 8; ++i) {
        if (i) num[k++] = ':';
        char g[9];
        ssc_u32_to_hex(g, sizeof g, static_cast<u32>(uri->host_v6[2 * i] << 8 | uri->host_v6[2 * i + 1]));
        for (const char* p = g; *p;) num[k++] = static_cast<char>(*p >= 'A' && *p <= 'F' ? *p + 32 : *p), ++p;
      }
      num[k++] = ']';
      num[k] = '\0';
      t.put(num);
      break;
    }
    case 'N':
      if (set(uri->host_name)) t.put(uri->host_name);
      break;
    default: break;
  }
  return t.n;
}

bool ssc_text_differs(const char* a, const char* b) {
  const bool sa = set(a), sb = set(b);
  if (!sa || !sb) return sa != sb;
  return std::strcmp(a, b) != 0;
}

u16 ssc_str_len(const char* text, u16 max) {
  if (!set(text)) return 0;
  u16 n = 0;
  while (n < max && text[n] != '\0') ++n;
  return n;
}

bool ssc_route_is_loose(const ssc_hdr_route* r) {
  if (r == nullptr || !set(r->uri.uri_text_2)) return false;
  // Parameters as "a;b=c;lr" (with or without a leading ';').
  const char* p = r->uri.uri_text_2;
  while (*p) {
    while (*p == ';') ++p;
    const char* start = p;
    while (*p && *p != ';' && *p != '=') ++p;
    const std::size_t len = static_cast<std::size_t>(p - start);
    if (len == 2 && (start[0] == 'l' || start[0] == 'L') && (start[1] == 'r' || start[1] == 'R')) return true;
    while (*p && *p != ';') ++p;
  }
  return false;
}

ssc_route_plan ssc_plan_routing(const ssc_hdr_route* route_set, bool has_remote_target) {
  ssc_route_plan plan{ssc_route_plan::ruri::to, nullptr, false};
  if (set(reinterpret_cast<const char*>(route_set)) && !ssc_route_is_loose(route_set)) {
    plan.request_uri = ssc_route_plan::ruri::first_route;
    plan.routes = set(reinterpret_cast<const char*>(route_set->next)) ? route_set->next : nullptr;
    plan.strict = has_remote_target;
    return plan;
  }
  plan.routes = set(reinterpret_cast<const char*>(route_set)) ? route_set : nullptr;
  plan.request_uri = has_remote_target ? ssc_route_plan::ruri::remote_target : ssc_route_plan::ruri::to;
  return plan;
}

void ssc_take_call_id(ssc_call* c, const ssc_hdr_call_id* h) {
  ssc_copy_text(c->call_id, sizeof c->call_id, set(h->local) ? h->local : "");
  c->call_id_kind = h->family;
  c->call_id_host[0] = '\0';
  if (h->family == 'N') ssc_copy_text(c->call_id_host, sizeof c->call_id_host, set(h->host) ? h->host : "");
  else if (h->family == '4') std::memcpy(c->call_id_host, h->v4, 4);
  else if (h->family == '6') std::memcpy(c->call_id_host, h->v6, 16);
}

void ssc_make_call_id(ssc_call* c, const ssc_uri* from_uri, u32 offset) {
  ssc_new_call_id_text(c->call_id, sizeof c->call_id, offset);
  c->call_id_kind = from_uri ? from_uri->host_family : 0;
  c->call_id_host[0] = '\0';
  if (from_uri == nullptr) return;
  if (from_uri->host_family == 'N') {
    ssc_copy_text(c->call_id_host, sizeof c->call_id_host, set(from_uri->host_name) ? from_uri->host_name : "");
  } else if (from_uri->host_family == '4') {
    std::memcpy(c->call_id_host, from_uri->host_v4, 4);
  } else if (from_uri->host_family == '6') {
    std::memcpy(c->call_id_host, from_uri->host_v6, 16);
  }
}

void ssc_set_local_tag(ssc_call* c, const char* tag) {
  if (set(tag) && tag[0] != '\0') ssc_copy_text(c->local_tag, sizeof c->local_tag, tag);
  else ssc_new_local_tag(c->local_tag, sizeof c->local_tag);
}

ssc_delay ssc_timestamp_delay(u32 received_tick, u32 now_tick) {
  const u32 d = now_tick - received_tick;
  return {d / 1000, d % 1000};
}

// ---- string store ---------------------------------------------------------------

namespace {

constexpr u16 NONE = 0xFFFF;
constexpr u16 FIRST = 6;  // chunks start behind the block's 6-byte head
constexpr u16 MIN_SPLIT = 20;

u16 rd(const u8* p) { return static_cast<u16>(p[0] | (p[1] << 8)); }
void wr(u8* p, u16 v) {
  p[0] = static_cast<u8>(v);
  p[1] = static_cast<u8>(v >> 8);
}

u16 room_size() { return om_os_get_buffer_room(); }

buffer_t* new_block() {
  buffer_t* b = Alloc_buffer();
  if (b == nullptr) return nullptr;
  b->link_count = 1;
  b->next = nullptr;
  u8* r = Buffer_room(b);
  wr(r, FIRST);
  wr(r + FIRST, static_cast<u16>(room_size() - FIRST));
  wr(r + FIRST + 2, NONE);
  return b;
}

void* alloc_in(buffer_t* b, u16 need) {
  u8* r = Buffer_room(b);
  u16 prev = NONE;
  for (u16 off = rd(r); off != NONE; prev = off, off = rd(r + off + 2)) {
    const u16 size = rd(r + off);
    if (size < need) continue;
    const u16 next = rd(r + off + 2);
    u16 follow = next;
    if (size - need >= MIN_SPLIT) {
      const u16 rest = static_cast<u16>(off + need);
      wr(r + rest, static_cast<u16>(size - need));
      wr(r + rest + 2, next);
      wr(r + off, need);
      follow = rest;
    }
    if (prev == NONE) wr(r, follow);
    else wr(r + prev + 2, follow);
    return r + off + 2;
  }
  return nullptr;
}

}  // namespace

void* ssc_store_alloc(ssc_store* s, u16 size) {
  u32 want = ((static_cast<u32>(size) + 1) & ~1u) + 2;
  if (want < 4) want = 4;  // room for the free-list link once freed
  if (want > 0xFFFF || want > static_cast<u32>(room_size() - FIRST)) return nullptr;
  const u16 need = static_cast<u16>(want);
  buffer_t* last = nullptr;
  for (buffer_t* b = s->chain; b; b = b->next) {
    if (void* p = alloc_in(b, need)) return p;
    last = b;
  }
  buffer_t* b = new_block();
  if (b == nullptr) return nullptr;
  if (last) last->next = b;
  else s->chain = b;
  return alloc_in(b, need);
}

void ssc_store_free(ssc_store* s, void* data) {
  if (data == nullptr) return;
  u8* p = static_cast<u8*>(data) - 2;
  for (buffer_t* b = s->chain; b; b = b->next) {
    u8* r = Buffer_room(b);
    if (p < r + FIRST || p >= r + room_size()) continue;
    const u16 off = static_cast<u16>(p - r);
    u16 prev = NONE, next = rd(r);
    while (next != NONE && next < off) {
      prev = next;
      next = rd(r + next + 2);
    }
    wr(r + off + 2, next);
    if (prev == NONE) wr(r, off);
    else wr(r + prev + 2, off);
    if (next != NONE && off + rd(r + off) == next) {  // merge with the following chunk
      wr(r + off, static_cast<u16>(rd(r + off) + rd(r + next)));
      wr(r + off + 2, rd(r + next + 2));
    }
    if (prev != NONE && prev + rd(r + prev) == off) {  // and with the preceding one
      wr(r + prev, static_cast<u16>(rd(r + prev) + rd(r + off)));
      wr(r + prev + 2, rd(r + off + 2));
    }
    return;
  }
}

char* ssc_store_text(ssc_store* s, const char* text) {
  if (!set(text)) return nullptr;
  const std::size_t n = std::strlen(text);
  if (n + 1 > 0xFFFF) return nullptr;
  char* p = static_cast<char*>(ssc_store_alloc(s, static_cast<u16>(n + 1)));
  if (p) std::memcpy(p, text, n + 1);
  return p;
}

void ssc_store_release(ssc_store* s) {
  while (s->chain) {
    buffer_t* next = s->chain->next;
    s->chain->next = nullptr;
    Free_buffer(s->chain);
    s->chain = next;
  }
}

u32 ssc_store_free_bytes(const ssc_store* s) {
  u32 total = 0;
  for (const buffer_t* b = s->chain; b; b = b->next) {
    const u8* r = Buffer_room(b);
    for (u16 off = rd(r); off != NONE; off = rd(r + off + 2)) total += rd(r + off);
  }
  return total;
}

void ssc_entry_refresh_from(ssc_dialog_entry* e, ssc_handle* h) {
  if (e == nullptr || h == nullptr) return;
  auto* ex = Ssc_first<ssc_hdr_u32>(h, ssc_header_id::EXPIRES);
  auto* ct = Ssc_first<ssc_hdr_contact>(h, ssc_header_id::CONTACT);
  const bool has_ex = ssc_ptr_set(reinterpret_cast<const char*>(ex));
  const bool has_ct = ssc_ptr_set(reinterpret_cast<const char*>(ct));
  e->refresh_ms = ssc_expires_refresh(e->refresh_ms, has_ex, has_ex ? ex->value : 0, has_ct ? ct->d1 : 0xFFFFFFFFu);
}
