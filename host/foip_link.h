// The device-controller side of the FOIP indications and confirms: which
// packets a controller gets when its session's call comes in, progresses,
// starts, ends or is stopped.  Installed into the application entity as its
// link hooks; each runs in the SM thread holding the application lock.
#pragma once

#include <cstdint>

#include "runtime/msg.h"
#include "session/app/app_foip.h"

void InstallFoipLinkHooks();

void foip_link__alert_in(const msg_t* m, const foip__alert* alert, u8 read_result);
void foip_link__report_in(const msg_t* m, const foip__report* report, u8 read_result);
void foip_link__start_co(const msg_t* m, app_foip__session_ctx* s, const foip__confirm* c, u8 read_result);
void foip_link__stop_in(const msg_t* m, app_foip__session_ctx* s, const foip__confirm* c,
                        const foip__fax_session_status* fax, u8 read_result);
void foip_link__stop_co(const msg_t* m, app_foip__session_ctx* s, const foip__confirm* c, u8 read_result);
