// SIP side of the FOIP entity: its global record (sip_mgt__glb_ctx), the
// configuration and reset of the SIP entities (ENT_SSC, ENT_SIP, ENT_IP
// through ENT_SM) and the entry of every SIP-side event, ssc_mgt__automaton.
//
// Phases: 0 not configured; 1 waiting for T38__CAPABILITIES_CO; 2, 3, 4
// waiting for the SM_CONFIG_CO of ENT_SSC, ENT_SIP, ENT_IP; 5 running; 6, 7,
// 8 waiting for the SM_RST_CFG_CO of ENT_IP, ENT_SIP, ENT_SSC.
//
// Contract:
// - sip_mgt__set_config takes every resource (call timers, both SSC
//   handles) before it asks ENT_T38 for its capabilities; a failure gives
//   all of them back and leaves phase 0, so no later answer can run the
//   configuration with missing resources.
// - The held FOIP__SET_CONFIG_RQ is answered exactly once: success at the
//   end of phase 4, failure at any step.
// - A registration request while not running is answered (3, 200, 1) at
//   once; an un-registration of a record that holds no registration is
//   answered (2, 2, 35) at once and never replaces a held request.
// - Plug the SIP side into ENT_FOIP with foip_sip__plug.
#pragma once

#include <array>

#include "runtime/automaton.h"
#include "runtime/msg.h"
#include "runtime/timer.h"
#include "runtime/types.h"
#include "session/foip/foip.h"
#include "session/config/foip_param.h"
#include "session/foip/foip_sdp.h"
#include "session/config/foip_sip_cfg.h"
#include "sip/prim/ssc_msg.h"

enum : u8 {
  SIP_MGT__NOT_CONFIGURED = 0,
  SIP_MGT__WAIT_T38_CAP = 1,
  SIP_MGT__WAIT_SSC_CONFIG = 2,
  SIP_MGT__WAIT_SIP_CONFIG = 3,
  SIP_MGT__WAIT_IP_CONFIG = 4,
  SIP_MGT__RUNNING = 5,
  SIP_MGT__WAIT_IP_RESET = 6,
  SIP_MGT__WAIT_SIP_RESET = 7,
  SIP_MGT__WAIT_SSC_RESET = 8,
};

// Error sources of the configuration answer.
inline constexpr u8 FOIP__CFG_ERR_SRC__T38_CAPABILITIES = 254;
inline constexpr u8 FOIP__CFG_ERR_SRC__SIP_CONFIG = 253;
inline constexpr u8 FOIP__CFG_ERR_SRC__SOCKET_CONFIG = 252;
inline constexpr u8 FOIP__CFG_ERR__ALLOC_MEM_SSC_ALLOC_HANDLE = 39;
inline constexpr u8 FOIP__CFG_SRC_OK = 129;
inline constexpr u8 FOIP__REGISTER_ERR__GLB_CNF_NOT_SET = 1;
inline constexpr u8 FOIP__REGISTER_ERR__NO_MORE_RESOURCE = 2;
inline constexpr u8 FOIP__REGISTER_ERR__NO_REGISTRAR_NO_OUTPROXY = 3;
inline constexpr u8 FOIP__REGISTER_ERR__USER_PHONE_NUMBER_TOO_LONG = 5;
inline constexpr u8 FOIP__REGISTER_ERR__CONN_ID_NOT_FOUND = 35;

// Registration record states.
enum : u8 {
  SIP_REGISTER__FREE = 0,
  SIP_REGISTER__SENT = 1,
  SIP_REGISTER__REGISTERED = 2,
  SIP_REGISTER__UNREGISTER_SENT = 3,
  SIP_REGISTER__UNREGISTER_ANSWERED = 4,
};

struct sip_register__ctx {
  u16 conn_id = 0;
  u8 state = SIP_REGISTER__FREE;
  u16 user_nai = 0xFFFF;
  msg_t* held_register = nullptr;
  u16 last_status = 0;
  msg_t* held_unregister = nullptr;
};

// The part of a call record the configuration owns (its id and timer).
struct sip_call__slot {
  u16 conn_id = 0xFFFF;
  timer_cell_t* timer = nullptr;
};

struct sip_mgt__glb_ctx {
  u8 phase = SIP_MGT__NOT_CONFIGURED;
  foip__glb_sip_param glb_sip_param{};
  msg_t* held_config = nullptr;
  foip_sdp__t38_param local_t38{};
  u8 tcp_present = 0;
  ssc_handle* build_handle = nullptr;
  ssc_handle* rx_handle = nullptr;
  std::array<sip_register__ctx, FOIP__MAX_SIP_REGISTER> reg{};
  std::array<sip_call__slot, FOIP__MAX_SIP_CALL> call{};
};

sip_mgt__glb_ctx& sip_mgt__glb();

void sip_mgt__glb_init();
// The SIP side's configuration hook: 2 (the request is kept and answered
// later), 5 a call timer, 6 the capability request, 39 an SSC handle.
[[nodiscard]] u8 sip_mgt__set_config(const foip__global_param& p);
// Gives every resource back (timers, handles, held messages); phase 0.
void sip_mgt__release();

// The three configuration writers and the three reset requests: 2 sent, 3
// not sent.
[[nodiscard]] u8 send_ssc_config_rq();
[[nodiscard]] u8 send_sip_config_rq();
[[nodiscard]] u8 send_sock_config_rq();
[[nodiscard]] u8 send_ssc_reset_config_rq();
[[nodiscard]] u8 send_sip_reset_config_rq();
[[nodiscard]] u8 send_ip_reset_config_rq();

// The entry of every SIP-side event (SSC_MGT__EVT_* of session/foip.h); the
// current message of ENT_FOIP is the event's message.
void ssc_mgt__automaton(foip__na_ctx* s, u8 event);

// Where a primitive from ENT_SSC goes while running: a call record (ids 62
// to 123) with a call-automaton event, or a registration record (ids 0 to
// 61) with a registration event; target 0 for a primitive that is ignored.
// ENT_SIP gives incoming calls any id it holds: an INVITE or OPTIONS that
// comes on an id without call record (event 10 or 63) is answered at once,
// the OPTIONS as on a call, the INVITE refused 503.
enum : u8 { SSC_MGT__TO_NONE = 0, SSC_MGT__TO_CALL = 1, SSC_MGT__TO_REGISTER = 2, SSC_MGT__TO_NO_CALL = 3 };
struct ssc_mgt__route {
  u8 target = SSC_MGT__TO_NONE;
  u16 index = 0;
  u8 event = 0;
  const char* line = nullptr;  // event line printed before the event, or null
};
[[nodiscard]] ssc_mgt__route ssc_mgt__route_ssc(code_t code, u16 conn_id);

// Registration automaton events.
enum : u8 {
  SIP_REGISTER__EVT_REGISTER_RQ = 1,
  SIP_REGISTER__EVT_UNREGISTER_RQ = 2,
  SIP_REGISTER__EVT_SSC_REGISTER_CO = 3,
  SIP_REGISTER__EVT_SSC_CALL_CLOSED_IN = 4,
};
// Runs one registration event on a record (null: none named).
void sip_register__automaton(u8 event, sip_register__ctx* r);
// The rows of the SSC management automaton (by phase) and of the
// registration automaton, for the check of their tables.
kv::fsm::machine_view ssc_mgt__machine();
kv::fsm::machine_view sip_register__machine();

// Sets the SIP side's hooks in `h` (the other hooks are left as they are).
void foip_sip__plug(foip__layer_hooks& h);
