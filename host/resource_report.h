// What tessaly holds: the runtime's pools (in use, high-water mark, size)
// and the session and call tables of the protocol layers, written to the
// program log as a few lines that a person or a test can read.  The host
// writes them once the system is up and again at shutdown, after every
// session has ended and before the runtime stops, so that two reports of one
// run compare what a long life has left behind.
#pragma once

#include <string>
#include <vector>

struct ResourceCounts {
  // Messages and buffers held by somebody: the interrupt-side reserve and
  // the receive thread's spare buffers belong to nobody and are not counted.
  unsigned msgs_held = 0, buffers_held = 0, timers = 0;
  unsigned sockets = 0, sip_calls = 0, sip_server_transactions = 0, ssc_calls = 0, ssc_dialogs = 0;
  unsigned foip_sessions = 0, t38_sessions = 0, heap_records = 0;
};

ResourceCounts CurrentResourceCounts();
// The report's lines, without the heading.
std::vector<std::string> ResourceReportLines();
// Writes "Resources at <when>:" and the lines at level 3.
void LogResourceReport(const char* when);
