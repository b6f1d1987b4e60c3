// Layer hooks of a FOIP session whose T.38 and fax layers open and close at
// once, for tests, benchmarks and fuzz targets.  Header only.
#pragma once
#include "session/foip/foip.h"
#include "session/foip/foip_ctx.h"

namespace foip_test {

// The T.38 layer of a session opens and closes at once.
inline void t38_side_at_once(foip__na_ctx* s, u8 event) {
  const nai_t nai = foip__session_nai(s);
  if (event == T38_MGT__EVT_USR_ACT_RQ) {
    foip__set_t38_active(s, true);
    foip__send_mgt(FOIP_MGT__T38_OPENED, nai, 2, 0, 0, 0);
  }
  if (event == T38_MGT__EVT_USR_DEA_RQ) {
    foip__set_t38_active(s, false);
    foip__send_mgt(FOIP_MGT__T38_CLOSED, nai, 0, 0, 0, 0);
  }
}
// The same as the T.38 layer hook.
inline void t38_hook_at_once(foip__na_ctx* s, u8 event, u8, u8) { t38_side_at_once(s, event); }

// A fax side (layer hook) that starts, opens and closes at once.
inline void fax_side_at_once(foip__na_ctx* s, u8 event) {
  const nai_t nai = foip__session_nai(s);
  if (event == FAX_MGT__EVT_USR_ACT_RQ) {
    foip__send_mgt(FOIP_MGT__START_DONE, nai, 0, 0, 0, 0);
    foip__send_mgt(FOIP_MGT__FAX_OPENED, nai, 2, 0, 0, 0);
  }
  if (event == FAX_MGT__EVT_USR_DEA_RQ) foip__send_mgt(FOIP_MGT__FAX_CLOSED, nai, 0, 0, 0, 0);
}

}  // namespace foip_test
