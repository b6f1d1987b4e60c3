// Helpers of the configuration file tests: temporary folders, reading a text
// as a configuration file, values as text, golden files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "session/config/ini_tools.h"

namespace cfg_test {

// A temporary folder removed with its files at the end of the test.
class temp_dir {
 public:
  temp_dir();
  ~temp_dir();
  temp_dir(const temp_dir&) = delete;
  temp_dir& operator=(const temp_dir&) = delete;
  const std::string& path() const { return path_; }
  // Writes a file of the folder and returns its path.
  std::string write(const std::string& name, const std::string& bytes) const;

 private:
  std::string path_;
};

struct read_outcome {
  uint8_t result = 0;
  std::vector<std::string> errors;
};

// Reads `text` as a configuration file with the given tables.
read_outcome read_text(const std::string& text, const ini_tools__section* sections, const ini_tools__keyword* keywords,
                       ini_tools__value* table);

// State and value of one record as "state:value" (value by kind: numbers in
// decimal, texts in quotes or <none>, IP records dotted or <none>).
std::string value_of(ini_tools__value* table, uint16_t id, uint16_t element = INI_TOOLS__NO_ELEMENT);

// Everything an output writer produced.
std::string collect(const std::function<uint8_t(const ini_tools__output_cb&)>& writer);

// Compares `actual` with the golden file at `path`; with KV_UPDATE_GOLDEN set
// in the environment the golden file is written instead.  Returns "" when they
// match, else a description of the first difference.
std::string check_golden(const std::string& path, const std::string& actual);

std::string read_file(const std::string& path);

// How many times `needle` occurs in `hay` (overlapping occurrences counted).
size_t count_of(const std::string& hay, const std::string& needle);

}  // namespace cfg_test
