// ENT_SSC (0x83) as an entity: the message handler with its queue of
// messages to itself, classification of every sender's messages into a
// route and an event, the route dispatch, and the send side (to the user,
// to ENT_SIP with a SIP primitive body, to itself, to ENT_SM).
//
// Contract:
// - ssc_entity_handler handles one message, then every message the entity
//   queued to itself while doing so (oldest first), before returning.
// - A self-message carries 12 bytes: byte 0 the dialog index, bytes 4-7 a
//   32-bit handle number (an entry of the entity's handle table, which holds
//   one reference until the self-message is handled), byte 8 the route.
// - Nothing goes to ENT_SIP without its SIP body: when a body cannot be
//   built the user gets SSC_ERROR_IN instead (error SSC_ERR_NO_BODY).
// - Routes 'F' and 'C'/'H' run the call and dialog-entry machines
//   (ssc_machines.h); ssc_set_machines replaces them, null with stubs that
//   note the events they get.
#pragma once
#include <vector>

#include "runtime/entity.h"
#include "runtime/msg.h"
#include "sip/prim/ssc_msg.h"
#include "sip/ssc/ssc_classify.h"
#include "sip/ssc/ssc_entity.h"

inline constexpr u16 SSC_ERR_NO_BODY = 302;
inline constexpr u8 SSC_SELF_BODY_SIZE = 12;
inline constexpr code_t SSC_SM_REPORT = 107;  // 'k'
inline constexpr u8 SSC_REPORT_SIZE = 40;

void ssc_entity_handler(msg_t* m);
// Names of the SSC primitives for the message trace.
extern const dcod__vocabulary ssc_vocabulary;
#define SSC_ENTITY_ROW \
  { ENT_SSC, ssc_entity_handler, 0, 0, nullptr, 0, &ssc_vocabulary }

// Machines of routes 'F' (call) and 'C'/'H' (dialog entry); null installs
// the stub.
using ssc_machine_fn = void (*)();
void ssc_set_machines(ssc_machine_fn call_machine, ssc_machine_fn entry_machine);
// What the stubs received: (route, event) pairs since the last clear.
struct ssc_stub_event {
  u8 route;
  u8 event;
  u16 conn_id;
};
std::vector<ssc_stub_event>& ssc_stub_events();

// Current message state while a machine runs.
struct ssc_run_state {
  msg_t* msg = nullptr;             // the received message (null once handed on)
  ssc_handle* handle = nullptr;     // decoded from it
  ssc_handle* tx_handle = nullptr;  // being sent
  msg_t* building = nullptr;        // prepared message
  u8 code = 0;
  u16 sip_error = 0;
  u8 sip_detail[3] = {};
  ent_id_t sender = 0;
};
ssc_run_state& ssc_run();

// Send side.
void ssc_send(ent_id_t dest, u8 sap, code_t code);
u8 ssc_send_to_user(code_t code);
void ssc_send_response(ssc_handle* response, u16 conn_id);
// A new handle of the response type paired with the request, holding its
// Via (the top one with received address and rport of the request's
// source), Record-Route, From, To and Call-ID; null for a non-request.
ssc_handle* ssc_new_response_handle(ssc_handle* req);
u8 ssc_report_error(u8 kind, u8 error_class, u16 number);
u8 ssc_report_event(u8 kind);
void ssc_send_error_in(u16 error, u8 fatal);
// Held messages go to the end of the self-queue (handled again in this run,
// classified as from their sender); the list is emptied.
void ssc_requeue_deferred(std::vector<msg_t*>& list);
void ssc_relay_sip_error();

// Counters for tests and audits: live handles the entity holds, entries of
// its handle table, self-messages waiting.
struct ssc_counts {
  u32 handles;
  u32 table_entries;
  u32 self_queue;
};
ssc_counts ssc_entity_counts();

// Clears the entity (as at start): the nai count sizes the user-agent table.
void ssc_entity_reset(u16 nai_count);
