// The system event log: entries go to syslog under an identifier.
#pragma once

namespace platform {

enum class EventSeverity { kInformation, kWarning, kError };

// Writes one entry to syslog (facility daemon) under `ident`.  Returns true
// when the entry was handed over.
bool WriteSystemEvent(const char* ident, EventSeverity severity, unsigned event_id, const char* text);

// Replaces the writer (nullptr restores syslog); tests use it to see the
// entries that would have been written.
using SystemEventWriter = bool (*)(const char* ident, EventSeverity severity, unsigned event_id, const char* text);
void SetSystemEventWriter(SystemEventWriter writer);

}  // namespace platform
