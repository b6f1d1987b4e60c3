#include "platform/thread.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <system_error>
#include <thread>

struct plat_thread {
  std::thread th;
  std::atomic<u32> tid{0};
  plat_thread_fn fn = nullptr;
  void* arg = nullptr;
  int priority = 0;
};

u32 plat_thread_self_id() { return static_cast<u32>(syscall(SYS_gettid)); }

static int nice_for(int priority) {
  if (priority >= PLAT_PRIO_TIME_CRITICAL) return -10;
  if (priority > 0) return -5;
  if (priority < 0) return 10;
  return 0;
}

bool plat_thread_set_priority(int priority) {
  int nice = nice_for(priority);
  if (nice == 0) return true;
  return setpriority(PRIO_PROCESS, static_cast<id_t>(plat_thread_self_id()), nice) == 0;
}

plat_thread* plat_thread_start(plat_thread_fn fn, void* arg, int priority, int* error) {
  auto* t = new plat_thread;
  t->fn = fn;
  t->arg = arg;
  t->priority = priority;
  try {
    t->th = std::thread([t] {
      t->tid.store(plat_thread_self_id());
      plat_thread_set_priority(t->priority);  // best effort
      t->fn(t->arg);
    });
  } catch (const std::system_error& e) {
    if (error) *error = e.code().value();
    delete t;
    return nullptr;
  }
  if (error) *error = 0;
  return t;
}

void plat_thread_join(plat_thread* t) {
  if (!t) return;
  if (t->th.joinable()) t->th.join();
  delete t;
}

void plat_thread_detach(plat_thread* t) {
  if (!t) return;
  if (t->th.joinable()) t->th.detach();
  // The thread still reads *t until it ends: keep the record alive.
}

u32 plat_thread_id(const plat_thread* t) { return t ? t->tid.load() : 0; }
