// Fuzz target of the configuration file reader: the input is read as a file
// of glb.cfg (first byte even) or of a session (first byte odd), then the
// table is displayed and written as a skeleton, and copied.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "session/app_foip_glb_cfg.h"
#include "session/app_foip_session_cfg.h"
#include "session/ini_tools.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  bool session = (data[0] & 1) != 0;
  std::FILE* f = fmemopen(const_cast<uint8_t*>(data + 1), size - 1, "rb");
  if (f == nullptr) return 0;
  const ini_tools__section* sections = session ? app_foip_ini__session_sections : app_foip_ini__glb_sections;
  const ini_tools__keyword* keywords = session ? app_foip_ini__session_keywords : app_foip_ini__glb_keywords;
  ini_tools__table table = session ? app_foip_ini__new_session_table() : app_foip_ini__new_glb_table();
  std::size_t errors = 0;
  uint8_t result = ini_tools__read_cfg_stream(f, "fuzz.cfg", sections, keywords,
                                              [&](const char* m) { errors += m[0] != '\0'; }, table.values());
  std::fclose(f);
  if (result != INI_TOOLS__READ_DONE && errors != 1) __builtin_trap();  // each failure reports once
  std::size_t bytes = 0;
  auto sink = [&](const char* text) -> uint8_t {
    for (const char* p = text; *p != '\0'; ++p) ++bytes;
    return INI_TOOLS__OUTPUT_OK;
  };
  ini_tools__display_values(table.values(), sections, keywords, sink);
  ini_tools__table copy = table;
  ini_tools__write_skeleton(1, copy.values(), sections, keywords, sink);
  (void)bytes;
  return 0;
}
