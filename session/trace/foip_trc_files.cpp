// foip_trc: set-up, the io lock, the console and the trace files (naming,
// rotation, resumption, headers and closing lines).
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "common/program_log.h"
#include "platform/local_time.h"
#include "platform/paths.h"
#include "runtime/om_os.h"
#include "session/trace/foip_trc_internal.h"

namespace foip_trc_detail {

glb_ctx& g() {
  static glb_ctx ctx;
  return ctx;
}

session_ctx* session(nai_t nai) {
  if (nai >= FOIP_TRC__MAX_SESSIONS) return nullptr;
  session_ctx* s = &g().sessions[nai];
  return s->active ? s : nullptr;
}

// ---------------------------------------------------------------------------
// io lock.

namespace {
std::mutex io_mu;
std::atomic<std::thread::id> io_owner{};
std::atomic<bool> trap_flush_pending{false};
foip_trc__console_t console_sink = nullptr;
}  // namespace

bool io_held_by_this_thread() { return io_owner.load() == std::this_thread::get_id(); }

io_section::io_section() : nested_(io_held_by_this_thread()) {
  if (nested_) return;
  io_mu.lock();
  io_owner.store(std::this_thread::get_id());
}

io_section::~io_section() {
  if (nested_) return;
  glb_ctx& c = g();
  bool audit_open = c.audit_file.f != nullptr;
  for (const session_ctx& s : c.sessions) audit_open = audit_open || (s.active && s.audit.f);
  c.audit_file_open.store(audit_open);
  io_owner.store(std::thread::id{});
  io_mu.unlock();
  // A trap raised while this thread flushed is written now.
  if (trap_flush_pending.exchange(false)) foip_trc__flush_audit();
}

void request_trap_flush() { trap_flush_pending.store(true); }

void console(const char* text) {
  foip_trc__console_t c = console_sink;
  if (c) {
    c(text);
    return;
  }
  (void)std::fputs(text, stdout);
  (void)std::fflush(stdout);
}

void console_printf(const char* format, ...) {
  char buf[1024];
  va_list ap;
  va_start(ap, format);
  (void)std::vsnprintf(buf, sizeof buf, format, ap);
  va_end(ap);
  console(buf);
}

// ---------------------------------------------------------------------------
// Files.

std::string numbered(const std::string& base, u8 index) { return base + "_" + std::to_string(index); }

namespace {

void fail(trc_file& t, const char* what) {
  ProgramLog(4, "Trace file %s: %s, file closed", t.path.c_str(), what);
  if (t.f) (void)std::fclose(t.f);
  t.f = nullptr;
  if (t.kind == 5)
    for (session_ctx& s : g().sessions)
      if (&s.t38 == &t) s.t38_open.store(false);
}

}  // namespace

void counter_line(trc_file& t) {
  if (!t.f) return;
  if (std::fprintf(t.f, "%s %lu\n--------------------------------\n\n",
                   "Log_File_counter:", static_cast<unsigned long>(t.counter)) < 0 ||
      std::fflush(t.f) != 0) {
    fail(t, "write failed");
    return;
  }
  ++t.counter;
}

bool open_path(trc_file& t, const std::string& name, const char* mode) {
  t.path = name;
  t.f = std::fopen(platform::ToLinuxPath(name).c_str(), mode);
  if (!t.f) {
    ProgramLog(4, "Trace file %s: cannot be opened", name.c_str());
    return false;
  }
  return true;
}

namespace {

u32 file_size(FILE* f) {
  if (!f) return 0;
  (void)std::fseek(f, 0, SEEK_END);
  long n = std::ftell(f);
  return n > 0 ? static_cast<u32>(n) : 0;
}

void remove_file(const std::string& name) { (void)std::remove(platform::ToLinuxPath(name).c_str()); }

}  // namespace

bool put(trc_file& t, const char* p, size_t n) {
  if (!t.f) return false;
  if ((n && std::fwrite(p, 1, n, t.f) != n) || std::fflush(t.f) != 0) {
    fail(t, "write failed");
    return false;
  }
  t.written += static_cast<u32>(n);
  return true;
}

bool put(trc_file& t, const char* s) { return put(t, s, std::strlen(s)); }

bool putf(trc_file& t, const char* format, ...) {
  if (!t.f) return false;
  char buf[2048];
  va_list ap;
  va_start(ap, format);
  int n = std::vsnprintf(buf, sizeof buf, format, ap);
  va_end(ap);
  if (n < 0) return false;
  return put(t, buf, static_cast<size_t>(n) < sizeof buf ? static_cast<size_t>(n) : sizeof buf - 1);
}

void prepare(trc_file& t, u8 kind, const foip_trc__file_param& p) {
  t.kind = kind;
  t.base = p.fname;
  t.limit = p.max_length;
  t.kept = p.nb_files ? p.nb_files : 1;
  t.index = 0;
  t.counter = 0;
  t.written = 0;
  t.path.clear();
}

void delete_numbered(const trc_file& t, unsigned from) {
  for (unsigned n = from; n < 256; ++n) remove_file(numbered(t.base, static_cast<u8>(n)));
}

bool open_plain(trc_file& t, const char* mode) {
  if (!open_path(t, t.base, mode)) return false;
  t.written = file_size(t.f);
  return true;
}

bool open_fresh(trc_file& t, const char* mode) {
  if (!open_path(t, numbered(t.base, t.index), mode)) return false;
  bool empty = file_size(t.f) == 0;
  if (empty) counter_line(t);
  t.written = file_size(t.f);
  return t.f != nullptr;
}

bool resume(trc_file& t) {
  bool exists[256];
  unsigned present = 0;
  for (unsigned i = 0; i < 256; ++i) {
    exists[i] = platform::FileExists(platform::ToLinuxPath(numbered(t.base, static_cast<u8>(i))));
    present += exists[i];
  }
  t.index = 0;
  if (present == 0) return false;
  // The set must be one run of consecutive indexes (wrapping from 255 to 0).
  int start = -1;
  for (unsigned i = 0; i < 256; ++i)
    if (exists[i] && !exists[(i + 255) & 255]) {
      start = static_cast<int>(i);
      break;
    }
  unsigned run = 0;
  if (start >= 0)
    while (run < 256 && exists[(start + run) & 255]) ++run;
  if (start < 0 || run != present) {
    delete_numbered(t, 0);
    return false;
  }
  while (run > t.kept) {  // the oldest go
    remove_file(numbered(t.base, static_cast<u8>(start)));
    start = (start + 1) & 255;
    --run;
  }
  t.index = static_cast<u8>((start + run - 1) & 255);
  if (!open_path(t, numbered(t.base, t.index), "a+")) {
    t.index = 0;
    return false;
  }
  std::rewind(t.f);
  char word[25] = {};
  unsigned long n = 0;
  if (std::fscanf(t.f, "%24s %lu", word, &n) == 2 && std::strcmp(word, "Log_File_counter:") == 0)
    t.counter = static_cast<u32>(n + 1);
  else t.counter = 0;
  t.written = file_size(t.f);
  return true;
}

void check_rotate(trc_file& t) {
  if (!t.f || t.limit == FOIP_TRC__LIMIT_NONE) return;
  if (t.written < static_cast<u32>(t.limit) * FOIP_TRC__LIMIT_UNIT) return;
  (void)std::fclose(t.f);
  t.f = nullptr;
  t.index = static_cast<u8>(t.index + 1);
  remove_file(numbered(t.base, static_cast<u8>(t.index - t.kept)));
  if (!open_path(t, numbered(t.base, t.index), "wb")) {
    if (t.kind == 5)
      for (session_ctx& s : g().sessions)
        if (&s.t38 == &t) s.t38_open.store(false);
    return;
  }
  counter_line(t);
  t.written = 0;
}

void drop(trc_file& t) {
  if (t.f) (void)std::fclose(t.f);
  t.f = nullptr;
}

void close_with_title(trc_file& t, const char* title) {
  if (t.f) {
    platform::LocalTime lt = platform::GetLocalTime();
    putf(t,
         "\n%s  Date (YY/MM/DD) : %4d/%02d/%02d\n  Time (HH:MM:SS) : %02d:%02d:%02d\n"
         "----------------------------\n",
         title, lt.year, lt.month, lt.day, lt.hour, lt.minute, lt.second);
    drop(t);
  }
  u8 kind = t.kind;
  t = trc_file{};
  t.kind = kind;
}

void shown_as_text(char* p, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    const u8 c = static_cast<u8>(p[i]);
    if ((c < 0x20 && c != '\n' && c != '\r' && c != '\t') || c >= 0x7F) p[i] = '.';
  }
}

void keep_lines(const u8* p, size_t n, std::string* out) {
  out->reserve(out->size() + n);
  for (size_t i = 0; i < n; ++i) {
    u8 c = p[i];
    out->push_back((c >= 0x20 && c < 0x7F) || c == '\n' || c == '\r' || c == '\t' ? static_cast<char>(c) : '.');
  }
}

}  // namespace foip_trc_detail

using namespace foip_trc_detail;

namespace {

constexpr char TITLE_T38[] = "-------------\n T.38 traces\n-------------\n";
constexpr char TITLE_SESSION_EVENTS[] = "----------------\n Session events\n----------------\n";
constexpr char TITLE_GLOBAL_EVENTS[] = "---------------\n Global Events\n---------------\n";
constexpr char CLOSED_T38[] = "--------------------\n T.38 traces closed\n";
constexpr char CLOSED_GLOBAL_EVENTS[] = "----------------------\n Global Events closed\n";
constexpr char CLOSED_SESSION_EVENTS[] = "-----------------------\n Session events closed\n";
constexpr char CLOSED_GLOBAL_AUDIT[] = "-----------------------------\n Global Message audit closed\n";
constexpr char CLOSED_SESSION_AUDIT[] = "------------------------------\n Session Message audit closed\n";

void session_header(trc_file& t, const char* title, nai_t nai, const std::string& user) {
  platform::LocalTime lt = platform::GetLocalTime();
  putf(t,
       "\n%s  Nai             : %d\n  User string     : %s\n  Filename        : %s\n"
       "  Date (YY/MM/DD) : %4d/%02d/%02d\n  Time (HH:MM:SS) : %02d:%02d:%02d\n\n",
       title, nai, user.c_str(), t.path.c_str(), lt.year, lt.month, lt.day, lt.hour, lt.minute, lt.second);
}

void release_t38_pool(session_ctx& s) {
  std::unique_ptr<rec_queue<t38_block>> q;
  om_os_lock();
  q.swap(s.t38q);
  om_os_unlock();
  s.t38_open.store(false);
}

}  // namespace

// ---------------------------------------------------------------------------
// Set-up.

void foip_trc__init() {
  glb_ctx& c = g();
  io_section io;
  om_os_lock();
  c.events.create(FOIP_TRC__EVENT_POOL);
  c.audit.create(FOIP_TRC__AUDIT_POOL);
  om_os_unlock();
  c.audit_start = om_os_tick();
  c.audit_stopped.store(false);
  for (auto& w : c.filter_words) w.store(FOIP_TRC__FILTER_LAST_ITEM);
  progress_reset();
  c.ready.store(READY_WORD);
}

void foip_trc__shutdown() {
  glb_ctx& c = g();
  io_section io;
  c.ready.store(0);
  drop(c.event);
  drop(c.audit_file);
  c.event = trc_file{};
  c.audit_file = trc_file{};
  for (session_ctx& s : c.sessions) {
    drop(s.event);
    drop(s.audit);
    drop(s.t38);
    s.event = s.audit = s.t38 = trc_file{};
    release_t38_pool(s);
    s.active = false;
  }
  om_os_lock();
  c.events = rec_queue<event_rec>{};
  c.audit = rec_queue<audit_rec>{};
  om_os_unlock();
  c.s = foip_trc__glb_settings{};
}

void foip_trc__set_glb_settings(const foip_trc__glb_settings& s) {
  io_section io;
  glb_ctx& c = g();
  c.s = s;
  for (u16 i = 0; i < FOIP_TRC__NB_FILTER; ++i) {
    const foip_trc__audit_filter& f = s.audit_filter[i];
    c.filter_words[i].store(static_cast<u32>(f.item_mode) | static_cast<u32>(f.from) << 8 |
                            static_cast<u32>(f.to) << 16 | static_cast<u32>(f.code) << 24);
  }
}

u8 foip_trc__session_init(nai_t nai, const foip_trc__session_settings& st) {
  if (nai >= FOIP_TRC__MAX_SESSIONS) return OM_OS_NOK;
  io_section io;
  session_ctx& s = g().sessions[nai];
  drop(s.event);
  drop(s.audit);
  drop(s.t38);
  s.s = st;
  prepare(s.event, 3, st.event);
  prepare(s.audit, 4, st.audit);
  prepare(s.t38, 5, st.t38_trc);
  s.t38_open.store(false);
  std::unique_ptr<rec_queue<t38_block>> q;
  if (!st.t38_trc.fname.empty()) {
    q = std::make_unique<rec_queue<t38_block>>();
    q->create(FOIP_TRC__T38_POOL);
  }
  om_os_lock();
  s.t38q.swap(q);
  s.active = true;
  om_os_unlock();
  return OM_OS_OK;
}

void foip_trc__session_end(nai_t nai) {
  session_ctx* s = session(nai);
  if (!s) return;
  io_section io;
  foip_trc__flush_events();
  foip_trc__flush_t38_trc(nai);
  foip_trc__flush_audit();
  foip_trc__close_session_event_file(nai);
  foip_trc__close_t38_trc_file(nai);
  foip_trc__close_session_audit_file(nai);
  release_t38_pool(*s);
  om_os_lock();
  s->active = false;
  om_os_unlock();
}

// ---------------------------------------------------------------------------
// File check and openers.

u8 foip_trc__file_check(u8 kind, const std::string& name, u8 mode) {
  if (name.empty()) return OM_OS_OK;
  if (kind < 1 || kind > 5) return OM_OS_NOK;
  const std::string path = platform::ToLinuxPath(name);
  FILE* f = nullptr;
  switch (mode) {
    case 1: f = std::fopen(path.c_str(), "rb"); break;
    case 2: {
      // Can the file be written?  A probe file is removed again, but a file
      // that was already there is left as it was, contents and all.
      FILE* existing = std::fopen(path.c_str(), "rb");
      const bool existed = existing != nullptr;
      if (existing) (void)std::fclose(existing);  // read-only probe: nothing to flush
      f = std::fopen(path.c_str(), "ab");
      if (!f) return OM_OS_NOK;
      (void)std::fclose(f);                           // nothing was written
      if (!existed) (void)std::remove(path.c_str());  // a probe left behind is harmless
      return OM_OS_OK;
    }
    case 3: f = std::fopen(path.c_str(), "ab"); break;
    default: return OM_OS_OK;
  }
  if (!f) return OM_OS_NOK;
  (void)std::fclose(f);
  return OM_OS_OK;
}

u8 foip_trc__open_glb_event_file() {
  glb_ctx& c = g();
  io_section io;
  if (!c.events.exists() || c.s.record_event_bfi == 0 || c.s.event.fname.empty()) return OM_OS_OK;
  if (c.event.f) return OM_OS_OK;
  prepare(c.event, 1, c.s.event);
  bool ok;
  if (c.event.limit == FOIP_TRC__LIMIT_NONE) {
    ok = open_plain(c.event, "ab");
  } else {
    delete_numbered(c.event, 1);
    ok = open_fresh(c.event, "ab");
  }
  if (!ok) return OM_OS_NOK;
  platform::LocalTime lt = platform::GetLocalTime();
  putf(c.event,
       "\n%s  Filename                : %s\n  Date (YY/MM/DD)         : %4d/%02d/%02d\n"
       "  Time (HH:MM:SS)         : %02d:%02d:%02d\n",
       TITLE_GLOBAL_EVENTS, c.event.path.c_str(), lt.year, lt.month, lt.day, lt.hour, lt.minute, lt.second);
  return c.event.f ? OM_OS_OK : OM_OS_NOK;
}

u8 foip_trc__open_session_event_file(nai_t nai) {
  session_ctx* s = session(nai);
  if (!s) return OM_OS_OK;
  io_section io;
  const u16 wanted = FOIP__CNF_SESSION | FOIP__T38_EVT | FOIP__T38_STAT | FOIP__FAX_EVT | FOIP__USR_1 | FOIP__USR_2 |
                     FOIP__USR_3 | FOIP__USR_4 | FOIP__USR_5;
  if (!(s->s.record_event_bfi & wanted) || s->s.event.fname.empty() || s->event.f) return OM_OS_OK;
  prepare(s->event, 3, s->s.event);
  bool ok = s->event.limit == FOIP_TRC__LIMIT_NONE ? open_plain(s->event, "ab")
                                                   : (resume(s->event) || open_fresh(s->event, "ab"));
  if (!ok) return OM_OS_NOK;
  session_header(s->event, TITLE_SESSION_EVENTS, nai, s->s.user_string);
  s->event.written = s->event.f ? static_cast<u32>(std::ftell(s->event.f)) : 0;
  return s->event.f ? OM_OS_OK : OM_OS_NOK;
}

u8 foip_trc__open_t38_trc_file(nai_t nai) {
  session_ctx* s = session(nai);
  if (!s) return OM_OS_OK;
  io_section io;
  om_os_lock();
  bool pool = s->t38q != nullptr;
  om_os_unlock();
  if (!pool || s->s.t38_trc.fname.empty() || s->t38.f) return OM_OS_OK;
  prepare(s->t38, 5, s->s.t38_trc);
  const bool append = s->s.t38_trc.append == 1;
  if (!append) delete_numbered(s->t38, 0);
  bool ok;
  if (s->t38.limit == FOIP_TRC__LIMIT_NONE) ok = open_plain(s->t38, "ab");
  else if (append) ok = resume(s->t38) || open_fresh(s->t38, "ab");
  else ok = open_fresh(s->t38, "ab");
  if (ok) {
    session_header(s->t38, TITLE_T38, nai, s->s.user_string);
    if (s->t38.f) s->t38.written = static_cast<u32>(std::ftell(s->t38.f));
  }
  if (!s->t38.f) {
    release_t38_pool(*s);
    return OM_OS_NOK;
  }
  s->t38_open.store(true);
  return OM_OS_OK;
}

u8 foip_trc__open_glb_audit_file() {
  glb_ctx& c = g();
  io_section io;
  if (!c.audit.exists() || c.audit_file.f) return OM_OS_OK;
  prepare(c.audit_file, 2, c.s.audit);
  if (!c.audit_file.base.empty()) delete_numbered(c.audit_file, 0);
  if (c.s.audit.fname.empty()) return OM_OS_OK;
  bool ok;
  if (c.audit_file.limit == FOIP_TRC__LIMIT_NONE) {
    ok = open_path(c.audit_file, c.audit_file.base, "wb");
  } else {
    ok = open_path(c.audit_file, numbered(c.audit_file.base, c.audit_file.index), "wb");
    if (ok) counter_line(c.audit_file);
  }
  if (!ok || !c.audit_file.f) return OM_OS_NOK;
  c.audit_file.written = 0;
  platform::LocalTime lt = platform::GetLocalTime();
  putf(c.audit_file,
       "\n%s  Filename                : %s\n  Date (YY/MM/DD)         : %4d/%02d/%02d\n"
       "  Time (HH:MM:SS)         : %02d:%02d:%02d\n  Start time system (s.ms): %ld.%03ld\n\n",
       "----------------------\n Global Message audit\n----------------------\n", c.audit_file.path.c_str(), lt.year,
       lt.month, lt.day, lt.hour, lt.minute, lt.second, static_cast<long>(c.audit_start / 1000),
       static_cast<long>(c.audit_start % 1000));
  write_audit_head(c.audit_file);
  return c.audit_file.f ? OM_OS_OK : OM_OS_NOK;
}

u8 foip_trc__open_session_audit_file(nai_t nai) {
  glb_ctx& c = g();
  session_ctx* s = session(nai);
  if (!s || !c.audit.exists()) return OM_OS_OK;
  io_section io;
  if (s->s.audit.fname.empty() || s->audit.f) return OM_OS_OK;
  prepare(s->audit, 4, s->s.audit);
  trc_file& t = s->audit;
  bool ok;
  if (t.limit == FOIP_TRC__LIMIT_NONE) {
    ok = open_plain(t, "ab");
  } else if (s->s.audit.append != 1) {
    delete_numbered(t, 0);
    ok = open_fresh(t, "wb");
  } else {
    ok = resume(t) || open_fresh(t, "ab");
  }
  if (!ok || !t.f) return OM_OS_NOK;
  platform::LocalTime lt = platform::GetLocalTime();
  putf(t,
       "\n%s  Nai             : %d\n  User string     : %s\n  Filename        : %s\n"
       "  Date (YY/MM/DD) : %4d/%02d/%02d\n  Time (HH:MM:SS) : %02d:%02d:%02d\n"
       "  Start time system (s.ms): %ld.%03ld\n\n",
       "-----------------------\n Session Message audit\n-----------------------\n", nai, s->s.user_string.c_str(),
       t.path.c_str(), lt.year, lt.month, lt.day, lt.hour, lt.minute, lt.second,
       static_cast<long>(c.audit_start / 1000), static_cast<long>(c.audit_start % 1000));
  write_audit_head(t);
  if (t.f) t.written = static_cast<u32>(std::ftell(t.f));
  return t.f ? OM_OS_OK : OM_OS_NOK;
}

// ---------------------------------------------------------------------------
// Closers.

void foip_trc__close_glb_event_file() {
  io_section io;
  close_with_title(g().event, CLOSED_GLOBAL_EVENTS);
}

void foip_trc__close_glb_audit_file() {
  io_section io;
  close_with_title(g().audit_file, CLOSED_GLOBAL_AUDIT);
}

void foip_trc__close_session_event_file(nai_t nai) {
  if (nai >= FOIP_TRC__MAX_SESSIONS) return;
  io_section io;
  close_with_title(g().sessions[nai].event, CLOSED_SESSION_EVENTS);
}

void foip_trc__close_session_audit_file(nai_t nai) {
  if (nai >= FOIP_TRC__MAX_SESSIONS) return;
  io_section io;
  close_with_title(g().sessions[nai].audit, CLOSED_SESSION_AUDIT);
}

void foip_trc__close_t38_trc_file(nai_t nai) {
  if (nai >= FOIP_TRC__MAX_SESSIONS) return;
  io_section io;
  session_ctx& s = g().sessions[nai];
  s.t38_open.store(false);
  close_with_title(s.t38, CLOSED_T38);
}

// ---------------------------------------------------------------------------
// Timer and program end.

void foip_trc__on_timer() {
  io_section io;
  foip_trc__flush_audit();
  foip_trc__flush_events();
  // Only sessions with a T.38 block pool have T.38 text; the pool changes
  // only under the io lock, which this thread holds.
  for (nai_t n = 0; n < FOIP_TRC__MAX_SESSIONS; ++n)
    if (session_ctx* s = session(n); s && s->t38q) foip_trc__flush_t38_trc(n);
}

void foip_trc__program_end() {
  io_section io;
  foip_trc__flush_events();
  foip_trc__close_glb_event_file();
  foip_trc__flush_audit();
  foip_trc__close_glb_audit_file();
}

void foip_trc__set_console(foip_trc__console_t c) { console_sink = c; }

std::string foip_trc__current_file(u8 kind, nai_t nai) {
  io_section io;
  glb_ctx& c = g();
  const trc_file* t = nullptr;
  switch (kind) {
    case 1: t = &c.event; break;
    case 2: t = &c.audit_file; break;
    case 3:
      if (nai < FOIP_TRC__MAX_SESSIONS) t = &c.sessions[nai].event;
      break;
    case 4:
      if (nai < FOIP_TRC__MAX_SESSIONS) t = &c.sessions[nai].audit;
      break;
    case 5:
      if (nai < FOIP_TRC__MAX_SESSIONS) t = &c.sessions[nai].t38;
      break;
    default: break;
  }
  return t && t->f ? t->path : std::string();
}
