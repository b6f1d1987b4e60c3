// foip_trc: the batch progress line.
//
// The background task (every 100 ms) and the FOIP task both call
// foip_trc__progress_bar without a lock: the fields are atomics written
// whole, and a printed line may mix values of two moments.
#include <atomic>
#include <cstdio>
#include <cstring>

#include "session/trace/foip_trc_internal.h"

using namespace foip_trc_detail;

namespace {

constexpr size_t STRIP = 100;

struct progress_state {
  std::atomic<u8> active{0};
  std::atomic<char> spinner{'.'};
  std::atomic<u16> batch{0}, sessions{0}, sip{0};
  std::atomic<char> strip[STRIP];
  std::atomic<u8> position{0};
};

progress_state& ps() {
  static progress_state p;
  return p;
}

char next_spinner(char c) {
  switch (c) {
    case '-': return '\\';
    case '\\': return '|';
    case '|': return '/';
    case '/': return '-';
    default: return c;
  }
}

void print_line() {
  progress_state& p = ps();
  char strip[STRIP + 1];
  for (size_t i = 0; i < STRIP; ++i) strip[i] = p.strip[i].load(std::memory_order_relaxed);
  strip[STRIP] = '\0';
  char line[148];
  (void)std::snprintf(line, sizeof line, "\r[%c] [%-4d ] [%-4d ] [%-4d ] [%s]", p.spinner.load(), p.batch.load(),
                      p.sessions.load(), p.sip.load(), strip);
  console(line);
}

}  // namespace

namespace foip_trc_detail {

void progress_reset() {
  progress_state& p = ps();
  p.active.store(0);
  p.spinner.store('.');
  p.batch.store(0);
  p.sessions.store(0);
  p.sip.store(0);
  for (auto& c : p.strip) c.store(' ', std::memory_order_relaxed);
  p.position.store(0);
}

bool progress_active() { return ps().active.load() != 0; }

}  // namespace foip_trc_detail

void foip_trc__progress_bar(u8 op, const void* value) {
  progress_state& p = ps();
  switch (op) {
    case 1: {
      bool on;
      {
        io_section io;  // the settings are changed under the io lock
        on = g().s.flag_display_progress_bar != 0;
      }
      if (!on) {
        p.active.store(0);
        p.spinner.store('.');
        return;
      }
      console_printf("    %-7s Session SIP     T.38  \n    %-7s Cnt     Cnt     Events\n", "Batch", "Cnt");
      progress_reset();
      p.spinner.store('/');
      p.active.store(1);
      return;
    }
    case 2:
      if (!p.active.load()) {
        char s[2] = {p.spinner.load(), '\0'};
        console(s);
        return;
      }
      p.spinner.store(next_spinner(p.spinner.load()));
      break;
    case 3:
    case 4:
    case 6: {
      if (!p.active.load() || !value) return;
      u16 v;
      std::memcpy(&v, value, sizeof v);
      (op == 3 ? p.batch : op == 4 ? p.sessions : p.sip).store(v);
      break;
    }
    case 5: {
      if (!p.active.load() || !value) return;
      u8 at = p.position.load();
      if (at >= STRIP) {
        for (auto& c : p.strip) c.store(' ', std::memory_order_relaxed);
        at = 0;
      }
      p.strip[at].store(*static_cast<const char*>(value), std::memory_order_relaxed);
      p.position.store(static_cast<u8>(at + 1));
      break;
    }
    default: return;
  }
  print_line();
}
