// ENT_SSC (0x83) records: user agents with their calls, dialog entries,
// conn_id tables, binding and keep-alive record; the configuration body that
// creates them; the cursor operations every routine of the entity works
// through.
//
// Contract:
// - All records of one user agent are made at configuration in one block
//   (ssc_user_agent owns fixed-size arrays sized from the configuration);
//   nothing is allocated per call afterwards.
// - A call has a user-side conn_id (ENT_FOIP's) and a SIP-side one (towards
//   ENT_SIP); each side has a table conn_id -> call.  The SIP side hands out
//   conn_ids counting up, the user side counting down, so calls opened from
//   either end keep the same number on both sides while it is free.
// - Results are 2 (done / found) or 3 (not); module state is one set, valid
//   while one message is handled, reached through ssc_mod().
// - ssc_remove_user_agent releases every call in use, with or without a user
//   side (keep-alive probes have none), so nothing of the agent outlives it.
#pragma once
#include <cstddef>
#include <memory>
#include <vector>

#include "runtime/types.h"
#include "sip/ssc/ssc_digest.h"

inline constexpr u16 SSC_NO_CONN = 0xFFFF;
inline constexpr u16 SSC_NO_INDEX16 = 0xFFFF;
inline constexpr u8 SSC_NO_INDEX8 = 255;
inline constexpr std::size_t SSC_TAG_FIELD = 65;  // 64 characters and the NUL
inline constexpr u8 SSC_TAG_NONE = 10;            // first byte of a reset entry's tag
inline constexpr u8 SSC_ENTRY_IDLE = 1;

// Configuration results.
inline constexpr u8 SSC_CFG_OK = 2;
inline constexpr u8 SSC_CFG_NO_BLOCKS = 49;
inline constexpr u8 SSC_CFG_NO_AGENT = 50;
inline constexpr u8 SSC_CFG_BAD_FAMILY = 52;

// ---------------------------------------------------------------------------
// Configuration body (SM_CONFIG_RQ for ENT_SSC), little-endian: u32 template,
// u16 profile count, then 100-byte profiles.
inline constexpr std::size_t SSC_CONFIG_HEAD = 6;
inline constexpr std::size_t SSC_CONFIG_PROFILE = 100;
inline constexpr std::size_t SSC_CONFIG_SIZE = SSC_CONFIG_HEAD + SSC_CONFIG_PROFILE;  // 106 with one profile
inline constexpr std::size_t SSC_HOST_FIELD = 65;

// Option byte bit 0: ENT_SSC answers a received BYE or CANCEL itself and
// tells the user with SESS_CLOSED_IN (clear: the user gets the indication
// and answers it).
inline constexpr u8 SSC_OPT_SESSION_NOTICES = 0x01;

struct ssc_config_profile {
  u16 nai = 0;
  u16 calls = 0;          // a: calls opened either way
  u16 extra_dialogs = 0;  // b: forks and transactions
  u16 aux = 0;            // c: auxiliary records
  u16 reg_slots = 0;      // d: registration slots
  u8 user_entity = 0;
  u16 option_flags = 0;
  u8 option_byte = 0;
  u8 addr_count = 0;  // 0 or 1
  u16 port = 0;
  u8 family = 0;  // '4', '6', 'N'
  char host[SSC_HOST_FIELD] = {};
  u8 addr[16] = {};
};

// Reads the body field by field.  2, or 49 when the body is shorter than its
// profile count says (or the count is 0), 52 for an address family other
// than '4', '6', 'N' or more than the one address a profile has room for.
[[nodiscard]] u8 ssc_config_parse(const u8* body, std::size_t len, std::vector<ssc_config_profile>& out);

// ---------------------------------------------------------------------------
struct ssc_call;
struct timer_cell_t;
struct ssc_handle;
struct msg_t;

inline constexpr u8 SSC_ENTRY_TIMERS = 3;

struct ssc_dialog_entry {
  u16 conn_id = SSC_NO_CONN;
  u8 index = SSC_NO_INDEX8;
  char remote_tag[SSC_TAG_FIELD] = {};
  u16 aux = SSC_NO_INDEX16;
  ssc_dialog_entry* next = nullptr;
  ssc_dialog_entry* prev = nullptr;
  u8 state = 0;
  u16 reg_slot = SSC_NO_INDEX16;
  u32 refresh_ms = 0xFFFFFFFFu;
  u32 peer_supported = 0;
  u32 peer_require = 0;
  ssc_call* call = nullptr;  // call the entry belongs to (null when free)
  // Timer cells (entity 0x83, the agent's nai, SAP = the entry's index,
  // conn_id = the entry's conn_id), taken on first start and freed with the
  // entry; the id of each cell's current start.
  timer_cell_t* timers[SSC_ENTRY_TIMERS] = {};
  u16 timer_ids[SSC_ENTRY_TIMERS] = {};
  // Dialog state the request builders read: the message whose first Contact
  // is the remote target, the message whose Record-Route list is the route
  // set (reversed for a response) and the own-route flag (one reference
  // each, released with the entry).
  ssc_handle* target = nullptr;
  ssc_handle* route_msg = nullptr;
  bool own_route = false;
  bool route_reversed = false;
  // Entry machine: the INVITE kind inside a confirmed dialog (1 none, 2
  // re-INVITE sent, 8 2xx to it received, 11 re-INVITE received), the kept
  // REGISTER (one reference) and the registration-in-progress mark.
  u8 invite_kind = 1;
  ssc_handle* kept = nullptr;
  bool reg_in_progress = false;
};

// Starts timer n of the entry for ms milliseconds with the expiry code;
// 3 when no cell is left.  A restart makes earlier expiries stale.
[[nodiscard]] u8 ssc_entry_timer_start(ssc_dialog_entry* e, u8 n, u32 ms, code_t code);
void ssc_entry_timer_stop(ssc_dialog_entry* e, u8 n);
// True when an expiry (timer n, id) is the current start of the entry's cell.
[[nodiscard]] bool ssc_entry_timer_current(const ssc_dialog_entry* e, u8 n, u16 id);

struct ssc_call {
  ssc_dialog_entry* first = nullptr;
  ssc_dialog_entry* last = nullptr;
  ssc_call* free_link = nullptr;
  u16 user_conn = SSC_NO_CONN;
  u16 sip_conn = SSC_NO_CONN;
  u8 next_index = 0;
  u8 entry_count = 0;
  u8 state = 1;
  u8 carried_byte_1 = 255;
  u8 carried_byte_2 = 255;
  u32 option_words[4] = {};
  void* tx_first[2] = {};  // open transactions: received, sent (ssc_tx.h)
  void* tx_last[2] = {};
  u8 pending_indication = 0;
  bool in_use = false;
  char local_tag[SSC_TAG_FIELD] = {};
  char call_id[SSC_TAG_FIELD] = {};
  u8 call_id_kind = 0;                         // '4', '6', 'N'
  char call_id_host[SSC_HOST_FIELD - 1] = {};  // 63 characters and the NUL
  // Default headers of the call's requests and answers (To the remote party,
  // From the local party, Contact, Via, route set as Route, option-tag and
  // product lists, Max-Forwards, credentials header): one handle, one
  // reference, released with the call.
  ssc_handle* defaults = nullptr;
  // Option-tag masks: Supported and Require (each with the configured copy
  // it returns to after every request) and the header 2 list.
  u32 supported_mask = 0;
  u32 require_mask = 0;
  u32 supported_cfg = 0;
  u32 require_cfg = 0;
  u32 hdr2_mask = 0;
  u8 control_flags = 0;  // bit 0: CANCEL sent, bit 1: registration deferred
  u32 rx_tick = 0;       // tick count when the call's last request was received
  // Call machine: the digest state, who closed the call, and a close while
  // our 2xx awaited its ACK.
  ssc_digest_block digest;
  bool closed_by_us = false;
  bool close_pending = false;
  // Messages held back until the call can take them, oldest first (freed
  // with the call).
  std::vector<msg_t*> held;
};

// Auxiliary record: the profile the user registered (route 'A'), state '0'
// no profile, '1' registered; the profile is the held user handle.
struct ssc_aux_record {
  u8 state = '0';
  ssc_handle* profile = nullptr;
  u8 byte7 = 255;
};

struct ssc_binding {
  u8 index = 0;
  u8 state = 0;  // 0 free, 1 in use, 3 in use with a local address and a keep-alive record
  u32 interval_mode2 = 0xFFFFFFFFu;
  u32 interval_mode1 = 0xFFFFFFFFu;
  u32 id = 0;  // nai * 256 + index
  u16 keepalive_count = 0;
  // The headers the binding keeps (Request-URI, local-address Route, From,
  // Via, Max-Forwards, credentials): the handle that set it, one reference
  // held while the binding is in use.
  ssc_handle* store = nullptr;
};

struct ssc_keepalive {
  u8 index = 0;
  u8 primary_candidate = 0;
  u8 mode = 0;                   // 0 free, 1 or 2 in use
  u16 call_index = SSC_NO_CONN;  // SIP-side conn_id of the running probe call
  u16 last_status = 0;
  u16 counter = 0;
  u8 running = 0;
  u32 interval_mode2 = 0;
  u32 interval_mode1 = 0;
  u8 binding_index = SSC_NO_INDEX8;
  ssc_binding* binding = nullptr;
  timer_cell_t* probe_timer = nullptr;  // expiry code '2', SAP 'G', conn_id = index
  u16 probe_id = 0;
};

struct ssc_user_agent {
  u16 nai = 0;
  u16 call_count = 0;  // a + d, also the size of each conn_id table
  u16 aux_count = 0;
  u16 reg_slot_count = 0;
  u8 user_entity = 'A';
  u16 option_flags = 0;
  u8 option_byte = 0;
  u8 cfg_bytes[3] = {1, 0, 255};
  u16 next_sip_conn = 0;   // counts up
  u16 next_user_conn = 0;  // counts down
  u8 primary = SSC_NO_INDEX8;
  u8 previous_primary = SSC_NO_INDEX8;
  u8 bindings_in_use = 0;
  u32 supported_mask = 0;  // option tags the agent supports (Require check)
  std::vector<ssc_call> calls;
  std::vector<ssc_call*> by_user_conn;
  std::vector<ssc_call*> by_sip_conn;
  std::vector<ssc_dialog_entry> entries;
  std::vector<ssc_dialog_entry*> reg_slots;
  std::vector<u16> aux;
  std::vector<ssc_aux_record> aux_records;  // by aux index
  ssc_call* free_calls = nullptr;
  ssc_dialog_entry* free_entries = nullptr;
  ssc_binding binding;
  ssc_keepalive keepalive;
  u16 calls_in_use = 0;
  u16 entries_in_use = 0;
};

// Module state of the entity.
struct ssc_module {
  std::vector<std::unique_ptr<ssc_user_agent>> agents;  // by nai
  bool configured = false;
  ssc_user_agent* ua = nullptr;
  ssc_call* call = nullptr;
  ssc_dialog_entry* entry = nullptr;
  ssc_binding* binding = nullptr;
  ssc_keepalive* keepalive = nullptr;
  u8 route = 255;
  u8 event = 126;
  u16 cseq = 0;
  u32 call_id_offset = 0;
  // The saved registration entry and its call (route 'H', registration
  // defaults of new calls).
  ssc_dialog_entry* reg_entry = nullptr;
  ssc_call* reg_call = nullptr;
};

ssc_module& ssc_mod();
// Clears the module: no agent, not configured.  `nai_count` is the size of
// the user-agent table (the runtime's nai count).  Returns 0.
int ssc_entity_init(u16 nai_count);

// Creates the agents of the parsed profiles (result 2, 49 or 50).
[[nodiscard]] u8 ssc_configure_profiles(const std::vector<ssc_config_profile>& profiles);
// Parses and applies a configuration body: 2, 49, 50 or 52.
[[nodiscard]] u8 ssc_configure(const u8* body, std::size_t len);
// Releases every call of the agent and the agent itself: 2, or 3 for none.
[[nodiscard]] u8 ssc_remove_user_agent(u16 nai);

// Cursors (set the current pointers of ssc_mod()).
[[nodiscard]] u8 ssc_ua__select(u16 nai);
[[nodiscard]] u8 ssc_call__by_user_conn(u16 conn);
[[nodiscard]] u8 ssc_call__by_sip_conn(u16 conn);
[[nodiscard]] u8 ssc_dialog__select(int index);  // -1: the first
[[nodiscard]] u8 ssc_call__open_for_user(u16 conn, int index);

// Record creation and release on the current agent.
[[nodiscard]] u8 ssc_call__new_for_user(u16 conn);
[[nodiscard]] u8 ssc_call__new_for_sip(u16 conn);
[[nodiscard]] u8 ssc_call__match_sip(u16 conn, const char* remote_tag);
[[nodiscard]] u8 ssc_call__bind_sip_conn();
[[nodiscard]] u8 ssc_call__bind_user_conn();
void ssc_call__unbind_sip_conn();
void ssc_call__unbind_user_conn();
[[nodiscard]] u8 ssc_dialog__take_first();
[[nodiscard]] u8 ssc_dialog__fork(const char* tag);
void ssc_dialog__reset(ssc_dialog_entry* e);
void ssc_dialog__release();
// Registration slots: the current entry put into slot n (3 when n is out of
// range or taken); slot n's entry made the saved registration entry (3 when
// the slot is empty).
[[nodiscard]] u8 ssc_reg_dialog__link(u16 n);
[[nodiscard]] u8 ssc_reg_dialog__select(u16 n);
[[nodiscard]] u8 ssc_call__release();
