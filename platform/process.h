// Process services of the device controller: waiting on its mailslots,
// holding a numbered lock, the termination flag of SIGTERM and the packet a
// crash sends from the signal handler.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/int_types.h"

namespace platform {

// Waits up to `ms` milliseconds until one of the `count` descriptors is
// readable (or a signal arrives).  True when one is readable.
bool WaitReadable(const int* fds, std::size_t count, u32 ms);

// Takes the exclusive lock file `path` (created when missing, folders
// included) without waiting.  The lock belongs to the process until
// ReleaseLockFile or its end.  Returns the descriptor, or -1 when another
// live process holds it or it cannot be created.
[[nodiscard]] int TakeLockFile(const std::string& path);
void ReleaseLockFile(int fd);

// SIGTERM (and SIGINT) set a flag instead of ending the process.
void InstallTerminationFlag();
bool TerminationRequested();
void ClearTerminationRequest();  // tests

// A fatal signal (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT) first writes
// `packet` as one datagram to the socket `socket_path`, then ends the
// process as the signal would.  The packet and path are copied now; the
// handler does only async-signal-safe work.
void InstallCrashPacket(const std::string& socket_path, const u8* packet, std::size_t size);

// The process id.
u32 ProcessId();

}  // namespace platform
