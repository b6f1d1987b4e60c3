// Test helper: runs the message parser on a text and records what it asked
// of the transaction entity (error reports) and the encoder (responses).
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "sip/text/sip_parse.h"
#include "sip/text/sip_str.h"

struct sip_parse_run {
  std::uint8_t result = 0;
  std::vector<std::pair<unsigned, unsigned>> reports;       // cause, detail
  std::vector<std::pair<unsigned, std::string>> responses;  // code, reason
  std::vector<int> response_datagram_flags;
  std::vector<char> buf;
  sip_parser parser;  // the SIP entity's work area and services

  bool reported(unsigned cause, unsigned detail) const {
    for (const auto& r : reports)
      if (r.first == cause && r.second == detail) return true;
    return false;
  }
  unsigned response() const { return responses.empty() ? 0 : responses.back().first; }
};

inline sip_parse_run*& sip_parse_current_run() {
  static sip_parse_run* run = nullptr;
  return run;
}

// Replaces every lone "\n" of `text` by "\r\n".
inline std::string crlf(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) out += '\r';
    out += text[i];
  }
  return out;
}

// Parses `text` (kept in run.buf, sized exactly) as one datagram or as a
// stream.  The work area is left for the caller to read and release.
inline void sip_parse_text(sip_parse_run& run, const std::string& text, int datagram = 1) {
  sip_work__release();
  run.buf = std::vector<char>(text.begin(), text.end());
  sip_parse_current_run() = &run;
  sip_parse_env.report_error = [](std::uint16_t cause, std::uint8_t detail) {
    sip_parse_current_run()->reports.emplace_back(cause, detail);
  };
  sip_parse_env.build_response = [](std::uint16_t code, const char* reason, int, int dg) {
    sip_parse_current_run()->responses.emplace_back(code, reason);
    sip_parse_current_run()->response_datagram_flags.push_back(dg);
  };
  sip_parse__start(run.parser, run.buf.empty() ? nullptr : run.buf.data(), run.buf.size());
  run.result = sip_parse_message(run.parser, datagram);
}
