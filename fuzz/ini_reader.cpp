// Fuzzes the INI reader with arbitrary file contents: line reading at
// several sizes, paragraph and key lookups, typed values and value tokens.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "common/ini_reader.h"

namespace {

void WalkTokens(const char* value) {
  const char* p = value;
  for (int guard = 0; p && guard < 300; ++guard) {
    int len = 0;
    const char* next = nullptr;
    const char* tok = IniNextToken(p, &len, &next);
    if (len < 0 || tok + len > p + std::strlen(p)) __builtin_trap();
    if (next && next <= p) __builtin_trap();  // must move forward
    p = next;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<char> text(data, data + size);
  text.push_back('\0');
  FILE* f = fmemopen(text.data(), size + 1, "r");
  if (!f) return 0;

  for (int line_size : {1, 2, 17, kIniLineSize}) {
    std::rewind(f);
    std::vector<char> buf(line_size);
    for (int guard = 0; guard < 100000 && IniReadLine(f, buf.data(), line_size, nullptr); ++guard) {
      if (std::strlen(buf.data()) >= static_cast<std::size_t>(line_size)) __builtin_trap();
      if (IniGetValue(buf.data())) WalkTokens(IniGetValue(buf.data()));
    }
  }

  std::rewind(f);
  char line[kIniLineSize];
  long para = 0;
  const char* const names[] = {"[SERVER]", "[OPTIONS]", "", nullptr};
  for (const char* name : names) {
    std::rewind(f);
    if (!IniFindParagraph(f, name, line, sizeof line, &para)) continue;
    std::uint16_t s = 0;
    std::uint32_t l = 0;
    int b = 0;
    char value[40];
    IniGetShort(f, "LogLevel:", &s, para);
    IniGetLong(f, "EPSMaxCheckChars:", &l, para);
    IniGetBool(f, "DetectEpson:", &b, para);
    if (IniGetString(f, "SystemArea:", value, sizeof value, para)) {
      if (std::strlen(value) >= sizeof value) __builtin_trap();
      char copy[260];
      SafeStrncpy(copy, value, sizeof copy);
      (void)AddBackslash(copy, sizeof copy);
      StrTrim(copy);
      GetFileNamePart(copy);
    }
    (void)IniGetStringAt(f, nullptr, value, sizeof value, para, '#');
    long pos = 0;
    (void)IniFindEntryEx(f, "", line, sizeof line, para, &pos, ';');
  }
  (void)std::fclose(f);  // read only
  return 0;
}
