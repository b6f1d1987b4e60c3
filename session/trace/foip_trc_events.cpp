// foip_trc: event lines (queue, routing by class and masks) and the T.38
// trace text of the sessions.
#include <cstdio>
#include <cstring>

#include "runtime/om_os.h"
#include "session/trace/foip_trc_internal.h"

using namespace foip_trc_detail;

namespace {

constexpr u16 USER_CLASSES = FOIP__USR_1 | FOIP__USR_2 | FOIP__USR_3 | FOIP__USR_4 | FOIP__USR_5;
constexpr u16 GLOBAL_DISPLAY_CLASSES =
    FOIP__CNF_GLB | FOIP__SIP_EVT_1 | FOIP__SIP_EVT_2 | FOIP__SIP_EVT_3 | FOIP__SMNGT_EVT | FOIP__SMNGT_STAT;
constexpr u16 GLOBAL_RECORD_CLASSES = 0x03FF;  // FOIP__CNF_GLB .. FOIP__SMNGT_STAT
constexpr u16 SESSION_CLASSES = FOIP__CNF_SESSION | FOIP__T38_EVT | FOIP__T38_STAT | FOIP__FAX_EVT;

// A piece of text fits one record with the newline that may be put back.
constexpr size_t PIECE_MAX = EVENT_TEXT_MAX - 2;

foip_trc__connected_hook_t connected_hook = nullptr;

// Display prefixes of the user classes, and their file forms.
const char* user_prefix(u16 cls) {
  switch (cls & USER_CLASSES) {
    case FOIP__USR_1: return "APP Mng ";
    case FOIP__USR_2: return "APP Msg ";
    case FOIP__USR_3: return "APP Msg+";
    case FOIP__USR_4: return "APP IPC ";
    case FOIP__USR_5: return "APP IPC!";
    default: return "";
  }
}

void queue_piece(nai_t nai, u16 cls, const char* p, size_t n, bool add_newline, char letter) {
  glb_ctx& c = g();
  om_os_lock();
  event_rec* r = c.events.take_locked();
  if (r) {
    std::memcpy(r->text, p, n);
    shown_as_text(r->text, n);
    if (add_newline) r->text[n++] = '\n';
    r->text[n] = '\0';
    r->length = static_cast<u16>(n);
    r->nai = nai;
    r->cls = cls;
    r->letter = letter;
    r->lost = 0;
    c.events.append_locked(r);
  }
  om_os_unlock();
}

// Writes an event record into an event file: the user classes behind their
// prefix, then the text, then the lost warning.
void record_into(trc_file& t, const event_rec& r) {
  if (!t.f) return;
  if (r.cls & USER_CLASSES) {
    char prefix[12];
    (void)std::snprintf(prefix, sizeof prefix, "\n%s", user_prefix(r.cls));
    if (!put(t, prefix)) return;
  }
  if (!put(t, r.text, r.length)) return;
  if (r.lost) put(t, LOST_WARNING);
}

void display(const event_rec& r, u16 mask) {
  if (r.cls & USER_CLASSES) {
    if (r.cls & mask) console_printf("\n%s%s", user_prefix(r.cls), r.text);
  }
}

void flush_one_event(const event_rec& r) {
  glb_ctx& c = g();
  const u16 gd = c.s.display_event_bfi, gr = c.s.record_event_bfi;
  // Global display.
  if (r.cls & GLOBAL_DISPLAY_CLASSES & gd) console_printf("\r%s", r.text);
  display(r, gd);
  // Global event file.
  if ((r.cls & (GLOBAL_RECORD_CLASSES | USER_CLASSES) & gr) || (r.cls & FOIP__DSP_ERR)) record_into(c.event, r);
  check_rotate(c.event);
  if (r.cls & FOIP__DSP_ERR) console_printf("\r%s", r.text);
  // The record's session.
  session_ctx* s = session(r.nai);
  if (!s) return;
  const u16 sd = s->s.display_event_bfi, sr = s->s.record_event_bfi;
  if (r.cls & (FOIP__CNF_SESSION | FOIP__T38_STAT | FOIP__FAX_EVT) & sd) console_printf("\r%s", r.text);
  if (r.cls & FOIP__T38_EVT) {
    if (progress_active()) {
      if (r.letter) foip_trc__progress_bar(5, &r.letter);
    } else if (sd & FOIP__T38_EVT) {
      console_printf("\r%s", r.text);
    }
  }
  display(r, sd);
  if ((r.cls & (SESSION_CLASSES | USER_CLASSES) & sr) || (r.cls & FOIP__DSP_ERR)) record_into(s->event, r);
  check_rotate(s->event);
}

}  // namespace

void foip_trc__print_event(nai_t nai, u16 event_class, const char* text, char letter) {
  if (!text) return;
  if (g().ready.load() != READY_WORD) {
    console_printf("%s", text);
    return;
  }
  const bool user = (event_class & USER_CLASSES) != 0;
  const char* p = text;
  while (*p) {
    size_t n = 0;
    while (p[n] && p[n] != '\n' && n < PIECE_MAX) ++n;
    if (p[n] == '\n') {
      queue_piece(nai, event_class, p, n, !user, letter);
      p += n + 1;
    } else {
      queue_piece(nai, event_class, p, n, false, letter);
      p += n;
    }
  }
}

void foip_trc__error_box(const char* text, nai_t nai) {
  if (nai >= 0xFFFF) return;
  char head[64];
  (void)std::snprintf(head, sizeof head, "\n\n---- Error (Nai #%02d) ------------------\n", nai);
  foip_trc__print_event(nai, FOIP__DSP_ERR, head);
  foip_trc__print_event(nai, FOIP__DSP_ERR, text ? text : "");
  foip_trc__print_event(nai, FOIP__DSP_ERR, "-----------------------------------------\n");
  foip_trc__flush_events();
}

u8 foip_trc__flush_events() {
  glb_ctx& c = g();
  io_section io;
  for (;;) {
    om_os_lock();
    event_rec* r = c.events.pop_locked();
    om_os_unlock();
    if (!r) break;
    flush_one_event(*r);
    om_os_lock();
    c.events.release_locked(r);
    om_os_unlock();
  }
  return OM_OS_OK;
}

// ---------------------------------------------------------------------------
// T.38 trace text.

void foip_trc__set_connected_hook(foip_trc__connected_hook_t hook) { connected_hook = hook; }

void foip_trc__store_t38_trace(nai_t nai, u8 report_type, const char* text, u16 length) {
  if (report_type == 128) {
    foip_trc__connected_hook_t h = connected_hook;
    if (h) h(nai);
  }
  glb_ctx& c = g();
  if (c.ready.load() != READY_WORD || !text || length == 0) return;
  if (nai >= FOIP_TRC__MAX_SESSIONS) return;
  session_ctx& s = c.sessions[nai];
  if (!s.t38_open.load()) return;
  om_os_lock();
  rec_queue<t38_block>* q = s.active ? s.t38q.get() : nullptr;
  for (u16 at = 0; q && at < length;) {
    t38_block* b = q->take_locked();
    if (!b) break;  // the last queued block is marked lost; the rest is dropped
    const u32 left = static_cast<u32>(length - at);
    const u16 n = static_cast<u16>(left < T38_BLOCK_BYTES ? left : T38_BLOCK_BYTES);
    std::memcpy(b->data, text + at, n);
    shown_as_text(reinterpret_cast<char*>(b->data), n);
    b->length = n;
    b->lost = 0;
    q->append_locked(b);
    at = static_cast<u16>(at + n);
  }
  om_os_unlock();
}

u8 foip_trc__flush_t38_trc(nai_t nai) {
  if (nai >= FOIP_TRC__MAX_SESSIONS) return OM_OS_NOK;
  session_ctx& s = g().sessions[nai];
  io_section io;
  // Consecutive blocks go out in one write.
  char out[4096];
  size_t used = 0;
  auto write_out = [&] {
    if (used) put(s.t38, out, used);
    used = 0;
    check_rotate(s.t38);
  };
  for (;;) {
    om_os_lock();
    rec_queue<t38_block>* q = s.t38q.get();
    t38_block* b = q ? q->pop_locked() : nullptr;
    om_os_unlock();
    if (!b) break;
    std::memcpy(out + used, b->data, b->length);
    used += b->length;
    const bool lost = b->lost != 0;
    om_os_lock();
    q->release_locked(b);
    om_os_unlock();
    if (lost) {
      if (used) put(s.t38, out, used);
      used = 0;
      put(s.t38, LOST_WARNING);
      check_rotate(s.t38);
    } else if (used + T38_BLOCK_BYTES > sizeof out) {
      write_out();
    }
  }
  write_out();
  return OM_OS_OK;
}

foip_trc__queue_stats foip_trc__event_queue_stats() { return g().events.stats(); }

foip_trc__queue_stats foip_trc__t38_queue_stats(nai_t nai) {
  foip_trc__queue_stats s{0, 0};
  if (nai >= FOIP_TRC__MAX_SESSIONS) return s;
  om_os_lock();
  if (auto* q = g().sessions[nai].t38q.get()) s = {q->count, q->high_water};
  om_os_unlock();
  return s;
}
