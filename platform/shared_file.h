// Files opened with a share mode, the way the server programs share their
// INI and log files.  The share mode is kept with open-file-description
// record locks on two bytes far beyond any data (byte R: readers and every
// holder that lets others read; byte W: writers), so the rules hold between
// threads of one process as well as between programs:
//   "r"            reads; others may read and write        R shared
//   "a", "a+"      appends; others may read only           R shared, W exclusive
//   "r+", "w", "w+", "c", "c+"  no sharing                 R and W exclusive
// The locks are advisory: every server program opens through this layer.
#pragma once

#include <cstdio>
#include <string>

namespace platform {

struct SharedFileResult {
  FILE* file = nullptr;         // the open stream, or nullptr
  int error = 0;                // errno of the failure
  bool share_conflict = false;  // another holder's share mode refused us
};

// One attempt to open `path` (a Linux path) with `mode`: a first letter of
// r, w, a or c (c: create a new file only), an optional '+', and 't' or 'b'
// (no difference on Linux).  "w" empties the file only once the lock is held.
SharedFileResult OpenShared(const std::string& path, const char* mode);

}  // namespace platform
