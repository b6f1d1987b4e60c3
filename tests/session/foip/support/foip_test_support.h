// Helpers of the FOIP entity tests: TIFF page files, session and global
// parameter records that pass every check, and scripted layers that answer
// at once.
#pragma once

#include <string>
#include <vector>

#include "fax/tiff.h"
#include "runtime/msg.h"
#include "session/foip/app_foip_prim.h"
#include "session/config/foip_param.h"
#include "session/foip/support/layers_at_once.h"

struct foip__na_ctx;

namespace foip_test {

// Writes a one-page uncompressed TIFF file with the given resolution (dpi)
// and returns true on success.  `bad_compression` rewrites its Compression
// tag to LZW (5), which the fax side does not take.
bool write_tiff(const std::string& path, unsigned xres, unsigned yres, bool bad_compression = false);

// An outgoing session on `nai` that sends `page` (temporary files in dir).
void outgoing_param(foip__session_param& p, nai_t nai, const std::string& dir, const std::string& page);
// An incoming session on `nai` that receives into dir.
void incoming_param(foip__session_param& p, nai_t nai, const std::string& dir);
// A global configuration without trace files.
void global_param(foip__global_param& g, nai_t nb_simultaneous = 1);

// The confirm parts of the recorded answers `code` to ENT_APP_FOIP, oldest
// first (answers too short for one are left out).
std::vector<foip__confirm> confirms(code_t code);

// A SIP side (layer hook) that opens and closes the call at once and closes
// FOIP on its reset.
void sip_side_at_once(foip__na_ctx* s, u8 event);
// fax_side_at_once: in session/foip/support/layers_at_once.h.

}  // namespace foip_test
