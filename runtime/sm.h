// The system-management entity ENT_SM.
//
// ENT_SM configures the system at start (it sends each entity of the start-up
// list its configuration as SM_CONFIG_RQ), relays management requests to the
// entity named in the request and brings the confirm back to the requester,
// turns pool-congestion notices into SM_BUSY_RQ / SM_CLR_BUSY_RQ broadcasts,
// and sends copies of chosen messages to subscribers (triggers).
//
// Request bodies: the target entity of SM_CONFIG_RQ, SM_RST_CFG_RQ,
// SM_INIT_RQ, SM_STOP_RQ and '(' is the first byte of the message's inline
// area, also when the body travels in a buffer chain (Sm_set_target writes
// it); the target of SM_INFO_RQ and ' ' is the first byte of the message
// data wherever they lie.  Confirms carry status (2 ok, 3 failed), a detail
// byte, then the answering entity, which ENT_SM fills in.
#pragma once
#include "runtime/entity.h"
#include "runtime/msg.h"
#include "runtime/types.h"

enum : code_t {
  SM_CONFIG_RQ = 'C',
  SM_CONFIG_CO = 'c',
  SM_RST_CFG_RQ = 'D',
  SM_RST_CFG_CO = 'd',
  SM_INIT_RQ = 'E',
  SM_INIT_CO = 'e',
  SM_STOP_RQ = 'F',
  SM_STOP_CO = 'f',
  SM_INFO_RQ = 'G',
  SM_INFO_CO = 'h',
  SM_INFO_IN = 'g',
  SM_INFO_RS = 'H',
  SM_BUSY_IN = 'a',
  SM_BUSY_RQ = 'A',
  SM_CLR_BUSY_IN = 'b',
  SM_CLR_BUSY_RQ = 'B',
  SM_REPORT_IN = 'k',
  SM_REPORT_RQ = 'K',
  SM_SET_TRIG_IN = 'L',
  SM_SET_RPORT_IN = 'l',
  SM_POWER_ON_IN = 'i',
  SM_POWER_ON_RQ = 'I',
  SM_POWER_OFF_IN = 'j',
  SM_POWER_OFF_RQ = 'J',
  SM_PUT_UPDAT_IN = 'w',
  SM_PUT_UPDAT_RS = 'W',
  SM_GET_UPDAT_IN = 'x',
  SM_GET_UPDAT_RS = 'X',
  SM_FLUSH_UPD_IN = '>',
  SM_FLUSH_UPD_RS = '<',
  SM_CHN_MAINT_RQ = 'Y',
  SM_CHN_MAINT_CO = 'y',
  SM_CFG_UPDAT_IN = '0',
  SM_MIP_ROUT_CO = 'v',
  // Two unnamed request/confirm pairs, relayed like the others.
  SM_SPARE1_RQ = ' ',
  SM_SPARE1_CO = '!',
  SM_SPARE2_RQ = '(',
  SM_SPARE2_CO = ']',
};

// Traps of ENT_SM.
enum : u16 {
  SM_TRAP_STARTUP_SEND = 80,    // a start-up configuration cannot be sent
  SM_TRAP_CONFIRM_FAILED = 82,  // failed confirm at start-up or without request
  SM_TRAP_READY_REFUSED = 84,   // the ready hook refused
  SM_TRAP_NO_TMP_BLOCK = 86,    // no temporary block for long configuration data
};

// Detail byte of the failure confirm with which ENT_SM answers a request for
// an entity that is not registered.
inline constexpr u8 SM_CAUSE_UNKNOWN_ENTITY = 1;

// Phases.
inline constexpr u8 SM_PHASE_IDLE = 0;
inline constexpr u8 SM_PHASE_RUNNING = 1;
inline constexpr u8 SM_PHASE_STARTING = 5;

// One row of the start-up configuration list.
struct sm_startup_row_t {
  ent_id_t entity;
  const void* data;
  u32 length;
  u8 wait_confirm;  // 1: the list waits for this entity's SM_CONFIG_CO
  u8 skip;
};

// Hooks of the program: called with every start-up configuration body (the
// copy that is sent) before it is sent; called once when start-up is
// complete, returning 2.
typedef void (*sm_startup_config_hook_t)(ent_id_t entity, u8* data, u32 length);
typedef u8 (*sm_ready_hook_t)();

// Sets the start-up list (rows stay the caller's; count rows).  Empty by
// default.
void sm_set_startup_list(const sm_startup_row_t* rows, u32 count);
void sm_set_hooks(sm_startup_config_hook_t startup_config, sm_ready_hook_t ready);

void sm_entity_init();
void sm_entity_handler(msg_t* m);

// The entity-table row of ENT_SM.
inline constexpr entity_table_row_t SM_ENTITY_ROW = {ENT_SM, sm_entity_handler, 0, 0, sm_entity_init, 0};

// Writes / reads the target byte of a relayed request (first inline byte).
void Sm_set_target(msg_t* m, ent_id_t target);
ent_id_t Sm_target(const msg_t* m);

// Trigger body of SM_SET_TRIG_IN / SM_SET_RPORT_IN (10 bytes, packed, little-endian).
struct sm_trigger_body {
  u8 operation;  // 1 add, else remove
  ent_id_t subscriber;
  code_t code;      // 0 any
  ent_id_t source;  // 0 or ENT_NIL any
  nai_t nai;        // 0xFFFF any
  u8 sapi;          // 0xFF any
  u16 conn_id;      // 0xFFFF any
  u8 report_kind;   // 0 any
};
inline constexpr u32 SM_TRIGGER_BODY_SIZE = 10;
void sm_trigger_body_pack(const sm_trigger_body& t, u8 out[SM_TRIGGER_BODY_SIZE]);

// State, for reports and tests.
u8 sm_phase();
u8 sm_startup_result();
