// INI reader of the server programs.  Files are read line by line from an
// open stream:
//  - a line is read with at most size - 1 characters; the rest of a longer
//    line is skipped; every control character (below 32, and 127) becomes a
//    blank; trailing blanks are removed;
//  - a line starting with '[' is a paragraph line; a line that is empty or
//    starts with a blank or ';' is not an entry;
//  - a key matches a line that starts with the key text (which includes its
//    ':' or '='), compared without regard to case over the key's length;
//  - the value is the text after the first ':' or '='.
// `start` arguments are file offsets; 0 means the current position.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "platform/int_types.h"

// Line length used for key lookups (280 characters and the NUL).
inline constexpr int kIniLineSize = 281;

// Reads one line into `buffer`; `position` (optional) receives the line's
// offset.  Returns 0 at end of file (buffer emptied), else 1.
[[nodiscard]] int IniReadLine(FILE* stream, char* buffer, int size, long* position);

// The value of a line: the text after the first ':' or '=', with leading
// blanks, tabs, carriage returns and line feeds skipped; null when there is
// no separator or nothing follows.
const char* IniGetValue(const char* line);
char* IniGetValue(char* line);

int IniIsParagraph(const char* line);
int IniIsEntryLine(const char* line);

// Reads forward from the current position to the first paragraph line that
// starts with `name` (any paragraph line for a null or empty name).  Returns
// 1 with `position` just behind that line; else seeks back to where it
// started, empties the buffer and returns 0.
int IniFindParagraph(FILE* stream, const char* name, char* buffer, int size, long* position);

// From `start`, reads the lines up to the next paragraph line (or a line
// starting with `stop`, when not 0) and returns 1 at the first entry line
// starting with `key` (the first entry line for a null or empty key), with
// `position` at that line.  Else seeks back, empties the buffer and returns 0.
[[nodiscard]] int IniFindEntryEx(FILE* stream, const char* key, char* buffer, int size, long start, long* position,
                                 char stop);
[[nodiscard]] int IniFindEntry(FILE* stream, const char* key, char* buffer, int size, long start, long* position);

// The value as a decimal number (its leading digits, optional sign).  Returns
// 1; 0 with the value untouched when the key or its value is missing, or when
// the number does not fit (into -32768..65535 for a short, into
// -2147483648..4294967295 for a long).
int IniGetShort(FILE* stream, const char* key, u16* value, long start);
int IniGetShort(FILE* stream, const char* key, i16* value, long start);
int IniGetLong(FILE* stream, const char* key, u32* value, long start);

// "Y", "YES", "TRUE", "ON", "1" and an empty value give 1; "N", "NO",
// "FALSE", "OFF", "0" give 0 (without regard to case); anything else counts
// as not found (returns 0, value untouched).
int IniGetBool(FILE* stream, const char* key, int* value, long start);

// The value cut to size - 1 characters (an empty value gives ""); returns 1
// when the key was found.
[[nodiscard]] int IniGetStringAt(FILE* stream, const char* key, char* buffer, int size, long start, char stop);
int IniGetString(FILE* stream, const char* key, char* buffer, int size, long start);

// Splits a value list.  The token at `text` is a double-quoted string (quotes
// included) or the text up to a comma, blank, tab, CR, LF or the end; its
// length goes to `length`; `next` points behind the following blanks and one
// comma, or is null at the end.  Returns `text`.
const char* IniNextToken(const char* text, int* length, const char** next);

// Copies at most `size` bytes and always ends with a NUL in the last byte;
// nothing for a size of 0 or no source.
void SafeStrncpy(char* destination, const char* source, std::size_t size);
// Removes leading and trailing white space in place; returns `text`.
char* StrTrim(char* text);
// The part of a path behind the last '\', '/' or ':'.
const char* GetFileNamePart(const char* path);
// Appends '\' to a non-empty path that ends in neither '\' nor '/'.  Returns
// 0 when the buffer of `size` bytes has no room for it (path unchanged).
[[nodiscard]] int AddBackslash(char* path, std::size_t size);
