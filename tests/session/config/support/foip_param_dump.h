// Readable dumps of the FOIP configuration records, one "path = value" line
// per field, for golden files and for comparing two records.
#pragma once

#include <string>

#include "session/config/app_foip_cnf.h"
#include "session/config/foip_param.h"

namespace cfg_test {

std::string dump(const foip__global_param& p);
std::string dump(const foip__session_param& p);
std::string dump(const foip__sip_register_param& p);
// A built session: nai, ref nai, direction, rotation base, registration wish,
// file, registration settings and parameters.
std::string dump(const app_foip_cnf__session& s);
std::string dump(const app_foip_cnf__setup& s);

}  // namespace cfg_test
