// Critical sections and auto-reset events.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "platform/int_types.h"

// A critical section: a plain, non-recursive lock.
class plat_cs {
 public:
  void enter() { m_.lock(); }
  void leave() { m_.unlock(); }
  bool try_enter() { return m_.try_lock(); }
  std::mutex& native() { return m_; }
  // The standard lock names, so that std::unique_lock<plat_cs> can hold one
  // where a function lets go of the lock for a while and takes it back.
  void lock() { m_.lock(); }
  void unlock() { m_.unlock(); }
  bool try_lock() { return m_.try_lock(); }

 private:
  std::mutex m_;
};

// Scoped holder of a plat_cs.
class plat_cs_hold {
 public:
  explicit plat_cs_hold(plat_cs& cs) : cs_(cs) { cs_.enter(); }
  ~plat_cs_hold() { cs_.leave(); }
  plat_cs_hold(const plat_cs_hold&) = delete;
  plat_cs_hold& operator=(const plat_cs_hold&) = delete;

 private:
  plat_cs& cs_;
};

// An auto-reset event: set() wakes one waiter (or the next one to wait), and
// a successful wait clears it again.
class plat_event {
 public:
  void set();
  void reset();
  // Waits without limit; returns true once the event was set.
  bool wait();
  // Waits at most ms milliseconds; returns true when the event was set, false
  // on time-out.
  bool wait_for(u32 ms);

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool signalled_ = false;
};
