// Outputs shared by the files of the start-up configuration.  Private to
// session/.
#pragma once

#include <cstdint>
#include <cstdio>

namespace app_foip_cnf_internal {

// Through the hooks of app_foip_cnf__set_hooks.
void trap(uint16_t code);
void write_dumps(std::FILE* file);

}  // namespace app_foip_cnf_internal
