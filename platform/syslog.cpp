#include "platform/syslog.h"

#include <atomic>
#include <mutex>
#include <syslog.h>

namespace platform {

namespace {
std::atomic<SystemEventWriter> g_writer{nullptr};
std::mutex g_syslog_lock;  // openlog/closelog are process-wide
}  // namespace

bool WriteSystemEvent(const char* ident, EventSeverity severity, unsigned event_id, const char* text) {
  if (SystemEventWriter w = g_writer.load(std::memory_order_acquire)) {
    return w(ident, severity, event_id, text);
  }
  int priority = LOG_INFO;
  if (severity == EventSeverity::kWarning) priority = LOG_WARNING;
  if (severity == EventSeverity::kError) priority = LOG_ERR;
  std::lock_guard<std::mutex> hold(g_syslog_lock);
  openlog(ident, LOG_PID, LOG_DAEMON);
  syslog(priority, "[%04X] %s", event_id & 0xFFFFu, text ? text : "");
  closelog();
  return true;
}

void SetSystemEventWriter(SystemEventWriter writer) { g_writer.store(writer, std::memory_order_release); }

}  // namespace platform
