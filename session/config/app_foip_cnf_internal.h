// Outputs shared by the files of the start-up configuration.  Private to
// session/.
#pragma once

#include <cstdint>
#include <cstdio>

#include "platform/int_types.h"

namespace app_foip_cnf_internal {

// Through the hooks of app_foip_cnf__set_hooks.
void trap(u16 code);
void write_dumps(std::FILE* file);
// A line of the program log, "app_foip_cnf - " and the formatted text.
void log(int level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

}  // namespace app_foip_cnf_internal
