// State shared by the modules of foip_trc.  Not for other modules.
#pragma once
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "runtime/dcod.h"
#include "runtime/om_os.h"
#include "session/trace/foip_trc.h"

namespace foip_trc_detail {

inline constexpr u32 READY_WORD = 0x12345678;
inline constexpr u32 EVENT_TEXT_MAX = 249;  // characters with the NUL
inline constexpr u32 T38_BLOCK_BYTES = 50;
inline constexpr char LOST_WARNING[] = "\n>>> WARNING: Trace Lost\n\n";

// ---------------------------------------------------------------------------
// Pool with a FIFO of records linked through `next`; changed under the
// runtime's pool lock.  Records are made in blocks the first time they are
// needed, up to `limit`, and kept until the queue is made again or dropped:
// a queue that is never busy costs little memory.
template <class R>
struct rec_queue {
  static constexpr u16 BLOCK = 64;
  std::vector<std::unique_ptr<R[]>> blocks;
  u16 made = 0;
  R* free_head = nullptr;
  R* head = nullptr;
  R* tail = nullptr;
  u16 count = 0, high_water = 0, limit = 0;

  void create(u16 n) {
    blocks.clear();
    blocks.reserve((n + BLOCK - 1) / BLOCK);  // growing under the lock never moves the list
    made = 0;
    limit = n;
    free_head = nullptr;
    head = tail = nullptr;
    count = high_water = 0;
  }
  bool exists() const { return limit != 0; }
  // Under the lock: a free record, or null (the last queued one then gets
  // the lost flag) when the queue is full or the pool is empty.
  R* take_locked() {
    if (count >= limit || (!free_head && !grow_locked())) {
      if (tail) tail->lost = 1;
      return nullptr;
    }
    R* r = free_head;
    free_head = r->next;
    r->next = nullptr;
    return r;
  }
  // One more block of free records while fewer than `limit` were made.
  bool grow_locked() {
    if (made >= limit) return false;
    const u16 n = static_cast<u16>(std::min<u32>(BLOCK, static_cast<u32>(limit - made)));
    std::unique_ptr<R[]> b(new (std::nothrow) R[n]);
    if (!b) return false;
    for (u16 i = n; i-- > 0;) {
      b[i].next = free_head;
      free_head = &b[i];
    }
    blocks.push_back(std::move(b));
    made = static_cast<u16>(made + n);
    return true;
  }
  void append_locked(R* r) {
    r->next = nullptr;
    if (tail) tail->next = r;
    else head = r;
    tail = r;
    ++count;
    if (count > high_water) high_water = count;
  }
  R* pop_locked() {
    R* r = head;
    if (!r) return nullptr;
    head = r->next;
    if (!head) tail = nullptr;
    --count;
    r->next = nullptr;
    return r;
  }
  void release_locked(R* r) {
    r->next = free_head;
    free_head = r;
  }
  // Its counters, read under the lock.
  foip_trc__queue_stats stats() const {
    om_os_lock();
    const foip_trc__queue_stats s{count, high_water};
    om_os_unlock();
    return s;
  }
};

struct event_rec {
  nai_t nai = 0;
  u16 cls = 0;
  char letter = 0;
  char text[EVENT_TEXT_MAX] = {};
  u16 length = 0;
  u8 lost = 0;
  event_rec* next = nullptr;
};

struct t38_block {
  u8 data[T38_BLOCK_BYTES] = {};
  u16 length = 0;
  u8 lost = 0;
  t38_block* next = nullptr;
};

struct audit_rec {
  u16 counters[5] = {};
  u8 congestion = 0;
  u32 time_ms = 0;
  u8 kind = 0;
  u32 msg_addr = 0, buf_addr = 0;  // low 32 bits, for the display
  bool has_msg = false, has_buf = false;
  dcod__msg_view view;  // header fields; data points into `data` when formatted
  u16 link_count = 0;
  u8 chained = 0;  // more than one buffer
  u16 total_size = 0;
  u16 length = 0;
  u8 data[FOIP_TRC__AUDIT_DATA_MAX + 1] = {};
  u16 trap_code = 0;
  u8 lost = 0;
  audit_rec* next = nullptr;
};

// ---------------------------------------------------------------------------
// One file set.  Changed only under the io lock.
struct trc_file {
  u8 kind = 0;
  std::string base;  // base name
  std::string path;  // the file written now
  u16 limit = FOIP_TRC__LIMIT_NONE;
  u8 kept = 1;
  u8 index = 0;
  FILE* f = nullptr;
  u32 counter = 0;  // Log_File_counter of the next numbered file
  u32 written = 0;
};

struct session_ctx {
  bool active = false;
  foip_trc__session_settings s;
  trc_file event, audit, t38;
  std::unique_ptr<rec_queue<t38_block>> t38q;  // under the pool lock
  std::atomic<bool> t38_open{false};
};

struct glb_ctx {
  std::atomic<u32> ready{0};
  foip_trc__glb_settings s;
  rec_queue<event_rec> events;
  rec_queue<audit_rec> audit;
  trc_file event, audit_file;
  u32 audit_start = 0;
  std::atomic<bool> audit_stopped{false};
  // Whether any audit file (global or of a session) is open: without one a
  // message audit record would be formatted for nobody, so none is queued.
  // Refreshed whenever the io lock is left.
  std::atomic<bool> audit_file_open{false};
  // The filter as the producers read it: mode | from << 8 | to << 16 |
  // code << 24 per entry.
  std::atomic<u32> filter_words[FOIP_TRC__NB_FILTER] = {};
  session_ctx sessions[FOIP_TRC__MAX_SESSIONS];
};

glb_ctx& g();
session_ctx* session(nai_t nai);  // null unless nai is an active session

// ---------------------------------------------------------------------------
// The io lock: one flusher at a time for the files and the console.  Nested
// use in one thread does not lock again; a trap queued meanwhile is flushed
// when the outermost holder leaves.
class io_section {
 public:
  io_section();
  ~io_section();
  io_section(const io_section&) = delete;
  io_section& operator=(const io_section&) = delete;
  bool nested() const { return nested_; }

 private:
  bool nested_;
};
bool io_held_by_this_thread();
void request_trap_flush();

// Console.
void console(const char* text);
void console_printf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// ---------------------------------------------------------------------------
// File operations (under the io lock).

// Writes n bytes, flushes and counts them; a failure closes the file with
// one program-log line and returns false.
bool put(trc_file& t, const char* p, size_t n);
bool put(trc_file& t, const char* s);
bool putf(trc_file& t, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Rotation when the limit is reached.
void check_rotate(trc_file& t);
// Closing lines, flush, close, state cleared.
void close_with_title(trc_file& t, const char* title);
// Closes without closing lines.
void drop(trc_file& t);
// Sets up a file state from its parameters (closed).
void prepare(trc_file& t, u8 kind, const foip_trc__file_param& p);
std::string numbered(const std::string& base, u8 index);
void delete_numbered(const trc_file& t, unsigned from);
bool open_path(trc_file& t, const std::string& name, const char* mode);
void counter_line(trc_file& t);
bool open_plain(trc_file& t, const char* mode);
bool open_fresh(trc_file& t, const char* mode);
bool resume(trc_file& t);

// Sanitised copy of text for files and the console: control characters
// other than line ends and tabs become '.'.
void keep_lines(const u8* p, size_t n, std::string* out);
// The same in place: control characters other than line ends and tabs, and
// bytes from 0x7F, become '.'.
void shown_as_text(char* p, size_t n);

// Audit writer of the filter table and column lines (audit module).
void write_audit_head(trc_file& t);

// Progress line back to its start state: spinner '.', strip blank, off.
void progress_reset();
bool progress_active();

}  // namespace foip_trc_detail
