// Mailslots: one-way message slots between the server programs, made of
// AF_UNIX datagram sockets under the mailslot folder (paths.h).  A slot
// name's backslashes become folder separators ("F1\2" is the socket
// <folder>/F1/2).  Every write is one datagram, so messages keep their
// boundaries and never interleave.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/int_types.h"

namespace platform {

enum class MailslotCode {
  kOk,
  kBadName,  // empty, "." or ".." parts, or too long for a socket path
  kInUse,    // a live process already holds the slot
  kMissing,  // no such slot, or nobody reads it any more
  kBusy,     // the reader's queue is full
  kEmpty,    // nothing waiting
  kFailed,   // any other failure; `error` holds errno
};

struct MailslotStatus {
  MailslotCode code = MailslotCode::kOk;
  int error = 0;
  bool ok() const { return code == MailslotCode::kOk; }
};

// The socket path of a slot name under the mailslot folder; kBadName when the
// name is unusable or the path does not fit a socket address.
MailslotStatus MailslotPath(std::string_view name, std::string* path);

// Creates the slot for reading (non-blocking), with its folders (mode 0770)
// and the socket (0660) reachable only by the server's own account and the
// group of the folder that holds the mailslot folder.  A socket file left by a dead
// process is replaced; one held by a live process gives kInUse.
MailslotStatus MailslotCreate(std::string_view name, int* fd);

// Size of the next waiting message (kEmpty when none).
MailslotStatus MailslotNextSize(int fd, std::size_t* size);
// Reads the next message whole into `buffer` (which must hold it).
MailslotStatus MailslotRead(int fd, void* buffer, std::size_t size, std::size_t* got);
// Drops the next message.
MailslotStatus MailslotDiscard(int fd);

// Opens another program's slot for writing: kMissing when it does not exist
// or nobody holds it.
MailslotStatus MailslotOpenWriter(std::string_view name, int* fd);
// Writes one message without waiting: kBusy when the reader's queue is full,
// kMissing when the reader went away.
MailslotStatus MailslotWrite(int fd, const void* data, std::size_t size);

// Who holds a slot now: 0 when nobody does (no socket file, or one left by a
// dead process), else a value that differs whenever another process has
// created the slot since (from the socket file's device and inode).
u64 MailslotHolder(std::string_view name);

// Closes a reader (removing its socket file when `path` is given) or writer.
void MailslotClose(int fd, const std::string& path = std::string());

}  // namespace platform
