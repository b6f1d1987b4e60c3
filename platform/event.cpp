#include "platform/event.h"

#include <chrono>

void plat_event::set() {
  {
    std::lock_guard<std::mutex> g(m_);
    signalled_ = true;
  }
  cv_.notify_one();
}

void plat_event::reset() {
  std::lock_guard<std::mutex> g(m_);
  signalled_ = false;
}

bool plat_event::wait() {
  std::unique_lock<std::mutex> g(m_);
  cv_.wait(g, [this] { return signalled_; });
  signalled_ = false;
  return true;
}

bool plat_event::wait_for(u32 ms) {
  std::unique_lock<std::mutex> g(m_);
  if (!cv_.wait_for(g, std::chrono::milliseconds(ms), [this] { return signalled_; })) return false;
  signalled_ = false;
  return true;
}
