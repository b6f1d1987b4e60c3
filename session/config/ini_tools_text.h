// Lookups and text helpers shared by the keyword engine's reader and writers
// and by the program's configuration front end.  Private to session/.
#pragma once

#include <cstdint>
#include <string>

#include "platform/int_types.h"
#include "session/config/ini_tools.h"

namespace ini_tools_text {

const ini_tools__section* find_section(const ini_tools__section* sections, u16 id);
// The keyword that sets a record (same value id and section).
const ini_tools__keyword* find_keyword(const ini_tools__keyword* keywords, const ini_tools__value& record);
// First name of the given kind, or nullptr.
const char* name_of_kind(const ini_tools__keyword* k, u32 name_kind);
// First name of any kind, or nullptr.
const char* first_name(const ini_tools__keyword* k);
// First named value with that value, or nullptr.
const char* value_name(const ini_tools__value_name* names, u32 value);
// Names of the set bits in value-name order joined by " | " (bits that no
// name covers are added in hexadecimal); empty for 0.
std::string bfi_names(const ini_tools__value_name* names, u32 value);
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace ini_tools_text
