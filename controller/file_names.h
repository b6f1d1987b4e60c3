// File names of the device controller: unique names of the fax server's
// pattern "~" + four-letter prefix + three characters + "." + extension,
// unique across all extensions (stems compared without case), and small
// path routines.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

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
// Replaces the extension of the file name part with `extension` (of `size`
// bytes in all); returns 1 when the path had one (it is added otherwise).
int ReplaceExtension(char* path, std::size_t size, const char* extension);
// Cuts the path behind its last '\'; returns 1 when a folder part ending in
// '\' is left.
int CutToFolder(char* path);
// Opens "<folder><name>" by mode letter through the shared open with the
// default wait: 'A' append, 'C' create, 'R' read, 'W' read and write.
// Returns 0, PERC 15 when it cannot be opened, or -1 for another letter
// (logged "Invalid OpFile parameter (%d)" at level 6; the caller ends the
// program).
int OpenByMode(std::FILE** file, const char* folder, const char* name, char mode);

// True when the Linux path lies inside one of the server's folders
// (ServerArea, SystemArea, AllUserArea, RequestArea and MailArea of
// KORVANE.INI) once ".", ".." and symbolic links are resolved.  Files that
// jobs name are taken only from there.
bool InsideServerArea(const std::string& linux_path);
