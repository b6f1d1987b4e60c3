// ENT_SIP ('~'): the SIP transaction and transport-user entity of Tessaly.
//
// Above it sits the session-control entity (the endpoint's user entity),
// below it the socket entity.  The handler dispatches each message by its
// sender: timer expiries, name-lookup answers and datagrams of the socket
// side, management requests of ENT_SM, and SIP primitives of the user, which
// go to the downward dispatch.  Configuration (sip_config.h) builds the
// shared record pools once and one endpoint per entry; the module tick '('
// goes to the user of the first endpoint, which answers ')'.
//
// Errors go up as SIP_ERROR_IN (at most one per handled message) and are
// reported to ENT_SM as SM_REPORT_IN.  Everything runs in the SM thread.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/int_types.h"
#include "runtime/entity.h"
#include "runtime/msg.h"
#include "sip/ent/sip_config.h"
#include "sip/ent/sip_records.h"

// Codes of ENT_SIP's own primitives.
inline constexpr code_t SIP_TICK_IN = '(';
inline constexpr code_t SIP_TICK_ANSWER_RQ = ')';
inline constexpr code_t SIP_ERROR_IN = '?';

// Timer kinds (the SAP of the cells) that the entity takes.
inline constexpr u8 SIP_TIMER_RETRANSMIT = 201;
inline constexpr u8 SIP_TIMER_TIMEOUT = 162;
inline constexpr u8 SIP_TIMER_INVITE_RESEND = 'T';
inline constexpr u8 SIP_TIMER_BYE_HOLD = 66;
inline constexpr u8 SIP_TIMER_ENDPOINT = 0;  // codes below
inline constexpr u8 SIP_TIMER_LOOKUP = 45;
inline constexpr u8 SIP_TIMER_TICK = 123;
// Re-sending of a refused INVITE's final response by its server transaction
// (the conn_id of the cell is the transaction's record number).
inline constexpr u8 SIP_TIMER_SERVER_TX = 161;
inline constexpr code_t SIP_TIMER_CODE_CACHE = 0;
inline constexpr code_t SIP_TIMER_CODE_FORK = 1;
inline constexpr code_t SIP_TIMER_CODE_FINISHED = 2;

// Results of configuration (byte 1 of SM_CONFIG_CO).
enum : u8 {
  SIP_CFG_OK = 2,
  SIP_CFG_MEMORY = 10,
  SIP_CFG_BAD_NAI = 11,
  SIP_CFG_ADDRESS_TYPE = 12,
  SIP_CFG_NO_ENDPOINT = 13,
  SIP_CFG_TIMER = 15,
  SIP_CFG_NOT_GATHERED = 16,
};

// Error numbers of SIP_ERROR_IN raised by the entity itself.
inline constexpr u16 SIP_ERR_UNEXPECTED_SENDER = 13;

void sip_entity_init();
void sip_entity_handler(msg_t* m);

inline constexpr entity_table_row_t SIP_ENTITY_ROW = {ENT_SIP, sip_entity_handler, 0, 0, sip_entity_init, 1};

// SIP_ERROR_IN to `dest` unless one already left for the current message.
void sip_send_error_in(ent_id_t dest, u16 nai, u16 conn_id, u16 error, u8 detail1, u8 detail2, u8 detail3);
// Error report (SM_REPORT_IN, class 'r') to ENT_SM.
void sip_report_error(u16 cause, u8 detail);
// Dialog event report (SM_REPORT_IN, class 'e') to ENT_SM: the state and
// remote tag of `dialog` of `call` (255 and no tag without them).
inline constexpr u16 SIP_DIALOG_EVENT_ANY = 0xFFFF;
void sip_report_dialog_event(u16 number, const sip_call* call = nullptr, u8 dialog = 255);

// What tests and benchmarks may look at.
struct sip_entity_view {
  u32 endpoints;
  const sip_shared_pools* pools;  // null before the first configuration
};
sip_entity_view sip_entity_state();
// Settings of the endpoint of a user-side nai; null when none.
const sip_endpoint_settings* sip_endpoint_settings_of(u16 nai);
// Running flag and next incoming conn_id of that endpoint.
bool sip_endpoint_running(u16 nai);
u16 sip_endpoint_next_conn_id(u16 nai);

// Name resolution for the endpoint of a user-side nai: 2 with the address
// (cache hit, expired entries dropped first), 4 a lookup was sent to the
// resolver, 3 none could be started.  `conn_id` is the call that waits.
[[nodiscard]] u8 sip_dns__resolve(u16 nai, std::string_view host, u16 conn_id, std::array<u8, 4>* address);
// Entries of the endpoint's name cache and pending lookups.
u32 sip_dns__cache_size(u16 nai);
u32 sip_dns__pending(u16 nai);
