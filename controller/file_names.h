// File names of the device controller: unique names of the fax server's
// pattern "~" + four-letter prefix + three characters + "." + extension,
// unique across all extensions (stems compared without case), and small
// path routines.
#pragma once

#include <cstddef>

// Results of MakeUniqueFileName.
enum UniqueNameResult : int {
  UNIQUE_OK = 0,
  UNIQUE_BAD_ARGUMENTS = 1,
  UNIQUE_TOO_MANY_FILES = 2,
  UNIQUE_NO_FOLDER = 3,
  UNIQUE_NO_FREE_NAME = 4,
  UNIQUE_OTHER = 5,
};

// Number of decimal tries before the names switch to base 36.
inline constexpr int kUniqueDecimalTries = 20;

// Creates an empty file "<folder>~<prefix><3 chars>.<ext>" whose stem no other
// file of the folder has, and returns its name (without the folder) in `name`
// (`name_size` bytes, at least 13).  `folder` is a server path ending in '\'.
[[nodiscard]] int MakeUniqueFileName(const char* prefix, const char* extension, const char* folder, char* name,
                                     std::size_t name_size);
// The same with the clock readings that seed the search given.
[[nodiscard]] int MakeUniqueFileNameAt(const char* prefix, const char* extension, const char* folder, char* name,
                                       std::size_t name_size, unsigned seconds, unsigned milliseconds);

// Entries of the folder of `pattern` ("<folder>\<stem>.*") whose stem equals
// the pattern's (without case), counted up to `limit`.
int CountMatchingFiles(const char* folder, const char* stem, int limit);

// Pointer behind the last '.' of the file name part (the end when none).
const char* ExtensionOf(const char* path);
// Removes a trailing '\' unless it follows ':'.
void RemoveTrailingBackslash(char* path);
