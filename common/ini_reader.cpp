#include "common/ini_reader.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace {

bool IsSeparator(char c) { return c == ':' || c == '='; }
bool IsValueBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool StartsWithNoCase(const char* line, const char* key) { return strncasecmp(line, key, std::strlen(key)) == 0; }

// Parses the leading decimal number of `text` (optional sign).  False when it
// falls outside [low, high].
bool ParseNumber(const char* text, long long low, long long high, long long* out) {
  while (*text == ' ' || *text == '\t') ++text;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = (*text++ == '-');
  long long v = 0;
  while (*text >= '0' && *text <= '9') {
    v = v * 10 + (*text++ - '0');
    if (v > high - low + 1) return false;  // far out of range; stop before overflow
  }
  if (negative) v = -v;
  if (v < low || v > high) return false;
  *out = v;
  return true;
}

// Reads the value of `key` into a line buffer; returns the value (or "" for
// an empty one) or null when the key is missing.
const char* FindValue(FILE* stream, const char* key, char* line, long start, char stop) {
  long where = 0;
  if (!IniFindEntryEx(stream, key, line, kIniLineSize, start, &where, stop)) return nullptr;
  const char* v = IniGetValue(line);
  return v ? v : "";
}

}  // namespace

int IniReadLine(FILE* stream, char* buffer, int size, long* position) {
  if (position) *position = stream ? std::ftell(stream) : -1;
  if (buffer && size > 0) buffer[0] = '\0';
  if (!stream) return 0;
  int c = std::getc(stream);
  if (c == EOF) return 0;
  int n = 0;
  for (; c != EOF && c != '\n'; c = std::getc(stream)) {
    if (buffer && n < size - 1) {
      if (c < 32 || c == 127) c = ' ';
      buffer[n++] = static_cast<char>(c);
    }
  }
  if (buffer && size > 0) {
    while (n > 0 && IsValueBlank(buffer[n - 1])) --n;
    buffer[n] = '\0';
  }
  return 1;
}

const char* IniGetValue(const char* line) {
  if (!line) return nullptr;
  const char* p = line;
  while (*p && !IsSeparator(*p)) ++p;
  if (!*p) return nullptr;
  ++p;
  while (IsValueBlank(*p)) ++p;
  return *p ? p : nullptr;
}

char* IniGetValue(char* line) { return const_cast<char*>(IniGetValue(static_cast<const char*>(line))); }

int IniIsParagraph(const char* line) { return line && line[0] == '['; }

int IniIsEntryLine(const char* line) { return line && line[0] != '\0' && line[0] != ' ' && line[0] != ';'; }

int IniFindParagraph(FILE* stream, const char* name, char* buffer, int size, long* position) {
  if (!stream || !buffer || size <= 0) return 0;
  const long origin = std::ftell(stream);
  while (IniReadLine(stream, buffer, size, nullptr)) {
    if (IniIsParagraph(buffer) && (!name || !*name || StartsWithNoCase(buffer, name))) {
      if (position) *position = std::ftell(stream);
      return 1;
    }
  }
  std::clearerr(stream);
  // Back where the search began; a stream that cannot seek fails its next read.
  (void)std::fseek(stream, origin, SEEK_SET);
  buffer[0] = '\0';
  return 0;
}

int IniFindEntryEx(FILE* stream, const char* key, char* buffer, int size, long start, long* position, char stop) {
  if (!stream || !buffer || size <= 0) return 0;
  if (start != 0 && std::fseek(stream, start, SEEK_SET) != 0) return 0;
  const long origin = std::ftell(stream);
  long line_at = 0;
  while (IniReadLine(stream, buffer, size, &line_at)) {
    if (IniIsParagraph(buffer) || (stop != 0 && buffer[0] == stop)) break;
    if (IniIsEntryLine(buffer) && (!key || !*key || StartsWithNoCase(buffer, key))) {
      if (position) *position = line_at;
      return 1;
    }
  }
  std::clearerr(stream);
  (void)std::fseek(stream, origin, SEEK_SET);
  buffer[0] = '\0';
  return 0;
}

int IniFindEntry(FILE* stream, const char* key, char* buffer, int size, long start, long* position) {
  return IniFindEntryEx(stream, key, buffer, size, start, position, 0);
}

int IniGetShort(FILE* stream, const char* key, u16* value, long start) {
  char line[kIniLineSize];
  const char* v = FindValue(stream, key, line, start, 0);
  long long n = 0;
  if (!v || !*v || !ParseNumber(v, -32768, 65535, &n)) return 0;
  if (value) *value = static_cast<u16>(n);
  return 1;
}

int IniGetShort(FILE* stream, const char* key, i16* value, long start) {
  u16 raw = 0;
  if (!IniGetShort(stream, key, &raw, start)) return 0;
  if (value) *value = static_cast<i16>(raw);
  return 1;
}

int IniGetLong(FILE* stream, const char* key, u32* value, long start) {
  char line[kIniLineSize];
  const char* v = FindValue(stream, key, line, start, 0);
  long long n = 0;
  if (!v || !*v || !ParseNumber(v, INT32_MIN, UINT32_MAX, &n)) return 0;
  if (value) *value = static_cast<u32>(n);
  return 1;
}

int IniGetBool(FILE* stream, const char* key, int* value, long start) {
  static constexpr const char* kTrue[] = {"Y", "YES", "TRUE", "ON", "1"};
  static constexpr const char* kFalse[] = {"N", "NO", "FALSE", "OFF", "0"};
  char line[kIniLineSize];
  const char* v = FindValue(stream, key, line, start, 0);
  if (!v) return 0;
  int result = -1;
  if (!*v) result = 1;
  for (const char* word : kTrue) {
    if (strcasecmp(v, word) == 0) result = 1;
  }
  for (const char* word : kFalse) {
    if (strcasecmp(v, word) == 0) result = 0;
  }
  if (result < 0) return 0;
  if (value) *value = result;
  return 1;
}

int IniGetStringAt(FILE* stream, const char* key, char* buffer, int size, long start, char stop) {
  char line[kIniLineSize];
  const char* v = FindValue(stream, key, line, start, stop);
  if (!v) return 0;
  if (buffer && size > 0) SafeStrncpy(buffer, v, static_cast<std::size_t>(size));
  return 1;
}

int IniGetString(FILE* stream, const char* key, char* buffer, int size, long start) {
  return IniGetStringAt(stream, key, buffer, size, start, 0);
}

const char* IniNextToken(const char* text, int* length, const char** next) {
  if (length) *length = 0;
  if (next) *next = nullptr;
  if (!text) return nullptr;
  const char* p = text;
  if (*p == '"') {
    ++p;
    while (*p && *p != '"') ++p;
    if (*p == '"') ++p;
  } else {
    while (*p && *p != ',' && !IsValueBlank(*p)) ++p;
  }
  if (length) *length = static_cast<int>(p - text);
  while (*p == ' ' || *p == '\t') ++p;
  if (*p == ',') ++p;
  while (*p == ' ' || *p == '\t') ++p;
  if (next) *next = *p ? p : nullptr;
  return text;
}

void SafeStrncpy(char* destination, const char* source, std::size_t size) {
  if (!destination || !source || size == 0) return;
  std::strncpy(destination, source, size);
  destination[size - 1] = '\0';
}

char* StrTrim(char* text) {
  if (!text) return text;
  char* start = text;
  while (*start && std::isspace(static_cast<unsigned char>(*start))) ++start;
  std::size_t n = std::strlen(start);
  while (n > 0 && std::isspace(static_cast<unsigned char>(start[n - 1]))) --n;
  std::memmove(text, start, n);
  text[n] = '\0';
  return text;
}

const char* GetFileNamePart(const char* path) {
  if (!path) return path;
  const char* part = path;
  for (const char* p = path; *p; ++p) {
    if (*p == '\\' || *p == '/' || *p == ':') part = p + 1;
  }
  return part;
}

int AddBackslash(char* path, std::size_t size) {
  if (!path) return 0;
  const std::size_t n = strnlen(path, size);
  if (n == 0 || path[n - 1] == '\\' || path[n - 1] == '/') return 1;
  if (n + 2 > size) return 0;
  path[n] = '\\';
  path[n + 1] = '\0';
  return 1;
}
