// Fax-session management automaton of ENT_FOIP: for an IAF session it
// configures ENT_FAX (fax__config through ENT_SM), activates the fax session
// after the launch delay, follows it, deactivates it on request, keeps its
// final status, removes the configuration again, and reports the opening and
// the closing to the session-control automaton (FOIP_MGT__START_DONE,
// FOIP_MGT__FAX_OPENED, FOIP_MGT__FAX_CLOSED).  ENT_FAX's page and identity
// reports are relayed to the session's user as FOIP__REPORT_IN.
//
// Plug it in with foip__layer_hooks::fax_mgt__automaton = foip_fax__automaton
// and release_session = foip_fax__release (or call foip_fax__release from
// the release hook in use).
#pragma once

#include "runtime/automaton.h"
#include "runtime/types.h"
#include "session/foip/foip.h"

// States (stored per session).
enum : u8 {
  FOIP_FAX__IDLE = 0,
  FOIP_FAX__CONFIG = 1,
  FOIP_FAX__SESSION_ACT = 2,
  FOIP_FAX__SESSION_RUNNING = 3,
  FOIP_FAX__SESSION_DEA = 4,
  FOIP_FAX__RESET_CONFIG = 5,
};

// Error sources of a refused configuration or activation.
enum : u8 {
  FOIP__START_ERR_SRC__FAX_ACT__ANS = 232,
  FOIP__START_ERR_SRC__FAX_ACT__ORG = 233,
  FOIP__START_ERR_SRC__FAX_ACT__API = 234,
  FOIP__START_ERR_SRC__FAX_CONFIG = 235,
};

// One step (events FAX_MGT__EVT_* of session/foip.h), on the handler's
// current message.  2, or 3 for an event it does not know.
u8 foip_fax__automaton(foip__na_ctx* s, u8 event);
// The automaton's rows, for the check of its table.
kv::fsm::machine_view foip_fax__machine();
// Forgets the fax-session state of a session being released.
void foip_fax__release(foip__na_ctx* s);
// The fax-session state of a nai (FOIP_FAX__IDLE without one).
u8 foip_fax__state(nai_t nai);
// Builds the fax__config of a session (FAX_CONFIG_SIZE bytes).
void foip_fax__build_config(const foip__na_ctx& s, u8* out);
