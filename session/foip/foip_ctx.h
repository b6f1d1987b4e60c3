// Contexts of the FOIP entity ENT_FOIP, shared by its modules (entity,
// session control, configuration, errors, dumps).  Not for other entities:
// they use session/foip.h.
#pragma once

#include <memory>
#include <vector>

#include "runtime/automaton.h"
#include "runtime/msg.h"
#include "runtime/timer.h"
#include "runtime/types.h"
#include "session/foip/app_foip_prim.h"
#include "session/foip/foip.h"
#include "session/config/foip_param.h"

inline constexpr u32 FOIP__MARK_VALID = 0x12345678;
inline constexpr u32 FOIP__MARK_INVALID = 0xedcba987;

// Timer codes of ENT_FOIP.
enum : code_t {
  FOIP__TI_LAUNCH_FAX = 'l',
  FOIP__TI_T38_DLY = 'm',
  FOIP__TI_TRC = 't',
  FOIP__TI_GENERAL = 'g',
  FOIP__WAIT_T38_CAP = '3',
};
inline constexpr u32 FOIP__TI_TRC_MS = 50;
inline constexpr u32 FOIP__TI_GENERAL_MS = 200;
inline constexpr u32 FOIP__LAUNCH_FAX_MS = 900;

// Queue status of a session.
enum : u8 {
  FOIP_MGT__Q_NONE = 0,
  FOIP_MGT__Q_ACTIVE = 1,
  FOIP_MGT__Q_RELEASED = 2,
  FOIP_MGT__Q_WAIT_START = 3,
  FOIP_MGT__Q_WAIT_STOP = 4,
  FOIP_MGT__Q_WAIT_CALL = 5,
  FOIP_MGT__Q_WAIT_ANY_CALL = 6,
};

struct foip__na_ctx;

// One FIFO of sessions (links in the session).
struct foip_mgt__fifo_t {
  foip__na_ctx* head = nullptr;
  foip__na_ctx* tail = nullptr;
};

// One session timer: the cell and the id of its last start.
struct foip__session_timer {
  timer_cell_t* cell = nullptr;
  u16 id = 0;
  bool armed = false;
};

struct foip__na_ctx {
  u32 mark = 0;
  nai_t nai = 0;
  u8 kind_of_session = 0;
  u8 direction = 0;
  u8 kind_of_t38_transport = 0;
  ent_id_t user_entity = 0;

  // Session control.
  msg_t* start_rq = nullptr;     // held FOIP__START_RQ
  std::vector<msg_t*> stop_rqs;  // FOIP__STOP_RQ waiting for their answer, in arrival order
  u8 q_status = FOIP_MGT__Q_NONE;
  foip__na_ctx* q_prev = nullptr;
  foip__na_ctx* q_next = nullptr;
  u8 state = 0;
  u8 failure = 0, err_source = 0, err_code = 0;
  u8 stop_flag = 0;
  u8 ended = 0;
  void* sip_call = nullptr;  // the SIP side's call context
  u8 sip_call_established = 0;
  u8 t38_active = 0;

  // Statuses reported by the layers (copied into the stop answers).
  u8 sip_status_present = 0;
  foip__sip_status sip_status{};
  u8 t38_status_present = 0;
  foip__t38_session_status t38_status{};
  u8 fax_status_present = 0;
  foip__fax_session_status fax_status{};

  // Accepted session parameters (after defaults and limits).
  foip__session_param param{};
  foip__overwrite_lcl_t38_cap lcl_cap{};
  u8 overwritten = 0;
  u16 udptl_port = 0, tpkt_port = 0, pcm_port = 0;
  u16 nat_udptl_port = 0, nat_tpkt_port = 0, nat_pcm_port = 0;
  u8 nb_snd_files = 0;

  foip__session_timer ti_launch;  // 'l'
  foip__session_timer ti_t38;     // 'm'
  u32 launch_delay_ms = FOIP__LAUNCH_FAX_MS;
  u32 t38_delay_ms = 0;

  const char* name() const { return param.trc_param.common.sz_user_id_string; }
};

struct foip__glb_context {
  u32 configured_mark = FOIP__MARK_INVALID;
  u8 cfg_refused = 0;
  u8 closed = 0;
  ent_id_t user_entity = ENT_APP_FOIP;

  msg_t* cur_msg = nullptr;     // the handler's message; null once kept or sent
  msg_t* second_msg = nullptr;  // freed at the end of the handler as well
  msg_t* pending_t38_cap = nullptr;
  msg_t* pending_reset = nullptr;

  std::vector<std::unique_ptr<foip__na_ctx>> table;  // one slot per nai once configured
  u16 nb_ctx = 0, nb_ctx_high_water = 0;

  foip__glb_common_param common{};
  foip__glb_trc_param trc{};
  foip__glb_sip_param sip{};
  foip__t38_capabilites_param glb_lcl_cap{};  // global local T.38 capabilities
  u8 t38_tcp_capable = 1;
  u8 sip_ready = 0;  // 2 configured, 1 refused

  // Session control.
  u16 nb_simultaneous_start_stop = 1;
  u16 nb_start_phase = 0, nb_stop_phase = 0;
  foip_mgt__fifo_t fifo_start, fifo_in_user, fifo_in_any, fifo_stop;
  u16 nb_sip_calls = 0;

  timer_cell_t* ti_trc = nullptr;
  timer_cell_t* ti_general = nullptr;
  u16 ti_seq = 0;
};

foip__glb_context& foip__glb();

// Session table.
foip__na_ctx* foip__get_na_ctx(nai_t nai);
foip__na_ctx* foip__get_next_na_ctx(bool first, nai_t nai);
foip__na_ctx* foip__alloc_na_ctx(nai_t nai);
void foip__free_na_ctx(nai_t nai);

// Answers.
void foip__answer(msg_t* m, ent_id_t to, code_t code, u16 conn_id);
void foip__send_stop_in(u8 error_source, u8 error_code, ent_id_t to, nai_t nai, u16 conn_id, foip__na_ctx* s);
void foip__send_stop_answer(foip__na_ctx* s, msg_t* stop_rq, bool later);
void foip__fill_session_status(const foip__na_ctx* s, foip__stop* out);
// Answers a held or given request with a confirm-only record of the code's
// size (START_CO, SET_CONFIG_CO, ...): the message is reused.
void foip__send_confirm(msg_t* m, code_t code, u8 rc, u8 source, u8 err_code, nai_t nai, u16 conn_id,
                        bool texts = true);

// Session control (foip_ssm.cpp).
void foip_mgt__fifo();
u8 foip_mgt__automaton(foip__na_ctx* s, u8 event);
void foip_mgt__admit_starts();
void foip_mgt__admit_one_stop();
void foip_mgt__fifo_remove(foip__na_ctx* s);
// The automaton's rows, for the check of its table.
kv::fsm::machine_view foip_mgt__machine();

// One step of an automaton of the entity, as its trace record shows it:
// event, old and new state, the branch letters ('a' + the event's index,
// 'a' + the old state) and the text line.  The record goes to the message
// audit (and to the runtime's trace with `runtime_trace`); it is never sent.
struct foip__step {
  nai_t nai;
  u16 conn_id;
  code_t code;
  const char* side;  // first word of the text line
  const char* event_name;
  const char* old_name;
  const char* new_name;
  u8 event, old_state, new_state;
  u8 event_index;
  bool runtime_trace;
};
void foip__record_step(const foip__step& st);

// Configuration (foip_cfg.cpp).
// A little-endian 16-bit value.
inline u16 foip__read_le16(const u8* p) { return static_cast<u16>(p[0] | (p[1] << 8)); }
// The capabilities of both transports: the version given, then the bit rate
// and the four one-byte values at `p`.
template <class Cap>
void foip__read_common_t38_capabilities(Cap& c, u8 version, const u8* p) {
  c.t38_version = version;
  c.fax_max_bit_rate = foip__read_le16(p);
  c.drate_mgt_method = p[2];
  c.remove_fill_bits_t4 = p[3];
  c.transcode_mmr = p[4];
  c.transcode_jbig = p[5];
}
// Reads the local T.38 capabilities of a T38__CAPABILITIES_CO body (at
// least T38__CAPABILITIES_CO_SIZE bytes) into `cap` (the configuration's
// or the SIP side's record); returns 1 when T.38 over TCP is supported,
// leaving the TPKT part untouched otherwise.
template <class Cap>
u8 foip__read_t38_capabilities(const u8* body, Cap* cap) {
  const u8* c = body + 4;
  auto& u = cap->udptl_param;
  foip__read_common_t38_capabilities(u, c[0], c + 1);
  u.fax_max_buffer_size = foip__read_le16(c + 7);
  u.max_datagram_size = foip__read_le16(c + 9);
  u.udp_ec = c[11];
  const u8 over_tcp = c[12] ? 1 : 0;
  if (over_tcp) foip__read_common_t38_capabilities(cap->tpkt_param, c[0], c + 13);
  return over_tcp;
}
void foip_cnf__glb_set_config();
foip__na_ctx* foip__start_rq();
void foip_cnf__t38_capabilities();
void foip_cnf__glb_reset_config();
void foip_cnf__close();
// Resets the SIP side (its automaton, event 8), which closes FOIP when done;
// without a SIP side FOIP is closed at once.
void foip__reset_sip_side();
[[nodiscard]] u8 foip__chk_session_param(code_t primitive, nai_t msg_nai, const foip__session_param& p, ent_id_t user,
                                         foip__na_ctx** out);

// Dumps (foip_dump.cpp).
void foip__dsp_module_info();
void foip__dsp_glb_config();
void foip__dsp_session_param(const foip__na_ctx& s);
void foip__dsp_memory_statistics();

const foip__layer_hooks& foip__hooks();
