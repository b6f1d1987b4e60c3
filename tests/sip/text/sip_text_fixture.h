// Test helper: holds a writable copy of a SIP text and points the scanner at it.
#pragma once

#include <string>
#include <vector>

#include "sip/text/sip_str.h"

struct sip_text_fixture {
  std::vector<char> buf;
  sip_scan_state_t scan;

  // Copies `text` (sized exactly, so that ASan catches a read past `end`)
  // and sets cursor, end and line_end to it.
  void load(const std::string& text) {
    buf = std::vector<char>(text.begin(), text.end());
    char* b = buf.empty() ? nullptr : buf.data();
    scan.cursor = b;
    scan.end = b + buf.size();
    scan.line_end = b + buf.size();
  }
  // The bytes from `cursor` to `end`.
  std::string rest() const { return std::string(scan.cursor, scan.end); }
};

inline std::string str_of(sip_str s) { return s.len == 0 ? std::string() : std::string(s.ptr, s.len); }
