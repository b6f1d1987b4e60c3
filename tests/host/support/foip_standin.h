// Stand-in for the FOIP entity ENT_FOIP in the tessaly tests of the
// device-controller link (it takes HostOptions::foip_row): it accepts the
// application's configuration (so that start-up and the end of the
// application complete), answers the capabilities request, and
// refuses every session start with FOIP__START_CO return code 3 and the text
// "FOIP entity not available", so that a send fails at once and is reported
// to its device controller.  Stops, unregistrations and the configuration
// reset are confirmed.  No call is ever offered.
//
// The second behaviour (kOpenCallOnStart) answers a start with a "SIP call
// open" report and then stays silent: the session is left running, for the
// abort and watchdog paths of the device-controller link.
#pragma once

#include "runtime/entity.h"
#include "runtime/entity_ids.h"
#include "runtime/msg.h"

enum class FoipStandinMode { kRefuseStarts, kOpenCallOnStart };
void foip_standin__set_mode(FoipStandinMode mode);

void foip_standin_handler(msg_t* m);
inline constexpr entity_table_row_t FOIP_STANDIN_ENTITY_ROW = {ENT_FOIP, foip_standin_handler, 0, 0, nullptr, 0};

// Host options that run the stand-in in the given mode.
struct HostOptions;
void foip_standin__use(HostOptions& o, FoipStandinMode mode);
