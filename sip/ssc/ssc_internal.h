// Internals shared by the ENT_SSC modules (not for other entities).
#pragma once
#include <deque>

#include "sip/ssc/ssc_handler.h"

namespace ssc_internal {
std::deque<msg_t*>& self_queue();
// Handles the entity holds: made and released here so they are counted.
ssc_handle* new_handle(ssc_msg_type type);
void release_handle(ssc_handle*& h);
// Self-message handle numbers.
ssc_handle* table_take(u32 number);
void free_self_message(msg_t* q);
ssc_machine_fn call_machine();
ssc_machine_fn entry_machine();
// Hooks of the SDP body glue pointed at this entity.
void install_glue();
}  // namespace ssc_internal

u8 ssc_classify_msg();
void ssc_route_event();
void ssc_general_event();
