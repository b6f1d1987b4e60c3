// Sizes of open files.
#pragma once

#include <cstdio>

namespace platform {

// Sets the size of the open file (cut or extended with zeros).  True on
// success.  The stream is flushed first.
bool SetStreamSize(std::FILE* file, long size);

// The size of the open file, -1 when unknown.
long StreamSize(std::FILE* file);

}  // namespace platform
