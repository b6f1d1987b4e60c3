// Session record of ENT_FAX and the calls between its modules (automaton,
// management, user events).  Internal to fax/fax_*.cpp.
#pragma once

#include <array>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "fax/acu.h"
#include "fax/cf.h"
#include "fax/cf_info.h"
#include "fax/cf_params.h"
#include "fax/fax_config.h"
#include "fax/fax_entity.h"
#include "fax/fax_page_file.h"
#include "runtime/automaton.h"
#include "runtime/msg.h"
#include "runtime/timer.h"

struct t4t6_decoder;

enum fax_state : u8 {
  FAX_IDLE = 0,
  FAX_WAIT_V25_CONN = 1,
  FAX_START_SESSION = 2,
  FAX_CNF_SESSION = 3,
  FAX_T30_DIS_DCS_NEGO = 4,
  FAX_PAGE = 5,
  FAX_END_OF_SND_PAGE = 6,
  FAX_STOP_SESSION = 7,
};
inline constexpr u8 FAX_STATE_COUNT = 8;
inline constexpr u8 FAX_EVENT_COUNT = 23;

// User requests of the automaton.
enum : u16 {
  FAX_AUTO__MDM_SETPARM_RQ = 1,
  FAX_AUTO__STOP_CONNECTION_RQ = 2,
  FAX_AUTO__START_FAX_ORG_RQ = 3,
  FAX_AUTO__START_FAX_ANS_RQ = 4,
};

// User events.
enum : u8 {
  FAX_AUTO__EVT_CONFIG_DONE = 1,
  FAX_AUTO__EVT_FAX_PARAM_ORG = 4,
  FAX_AUTO__EVT_FAX_PARAM_ANS = 5,
  FAX_AUTO__EVT_FAX_MORE_PARAM__TX = 6,
  FAX_AUTO__EVT_FAX_MORE_PARAM__RX = 7,
  FAX_AUTO__EVT_FAX_PARAM_PG_CONV = 8,
  FAX_AUTO__EVT_FAX_INFO_IN = 9,
  FAX_AUTO__EVT_FAX_PG_CONV = 10,
  FAX_AUTO__EVT_TX_RX_FAX_PG = 11,
  FAX_AUTO__EVT_EOF_RCV_FAX_PG = 12,
  FAX_AUTO__EVT_EOF_SND_FAX_PG = 13,
  FAX_AUTO__EVT_IDLE = 15,
};

// User-event results.
enum : u8 {
  FAX_UE_OK = 2,
  FAX_UE_FAILED = 3,  // the session is being ended
  FAX_UE_END_PAGE = 15,
  FAX_UE_END_PAGE_RENEG = 16,
  FAX_UE_LAST_PAGE = 17,
  FAX_UE_GOOD = 18,
  FAX_UE_MEDIUM = 19,
  FAX_UE_BAD = 20,
  FAX_UE_PAGE_PARAMS = 21,
  FAX_UE_POLLING = 22,
  FAX_UE_NO_CONVERSION = 23,
  FAX_UE_CONV_END_OF_FILE = 24,
};

// Sub-events of FAX_AUTO__EVT_FAX_PG_CONV (the `extra` argument).
enum : u8 {
  FAX_CONV_INIT_CO = 1,  // FC__INIT_PG_CO (data: the record)
  FAX_CONV_READ = 2,     // raw page data for the converter (buffer given)
  FAX_CONV_DATA_IN = 3,  // FC__DA_IN (data: converted bytes)
  FAX_CONV_STOP_CO = 4,  // FC__STOP_PG_CO (data: the decoder report)
  FAX_CONV_STOP_IN = 5,  // FC__STOP_PG_IN
};

// Conversion states of a session.
enum : u8 {
  FAX_CONV_NONE = 0,
  FAX_CONV_FEEDING = 1,
  FAX_CONV_PAUSED = 2,  // enough converted data queued: feeding waits
  FAX_CONV_DONE = 3,    // no more input goes to the converter
};
// Flow control of the converted-data queue.
inline constexpr size_t FAX_CONV_QUEUE_HIGH = 15;
inline constexpr size_t FAX_CONV_QUEUE_LOW = 8;
// Largest raw data block fed to the converter.
inline constexpr u32 FAX_CONV_FEED_MAX = 300;

// Record sizes (CF_SETPARM_SIZE, CF_INFO_SIZE), the CF primitive codes and
// CF_SAPI are the session layer's (fax/cf.h); the ACU codes the V.25
// entity's.
inline constexpr u8 ACU_SAPI = 'a';

inline constexpr u32 FAX_SESSION_MAGIC = 0x12345678;
inline constexpr u32 FAX_SESSION_INVALID = 0xedcba987;

// Negotiated values and remote capabilities (from CF_INFO_IN).
struct fax_nego {
  u16 rem_resolutions = 0;
  u8 rem_max_speed = 0;
  char rem_max_width = '1';
  char rem_max_length = 'A';
  u8 rem_codings = 1;
  char rem_ecm = '0';
  u8 rem_pref_unit = 0;
  u8 rem_ready_to_be_polled = 0, rem_pwd = 0, rem_sep = 0, rem_psa = 0;
  u8 encoding = FAX_ENC_MH;
  u16 resolution = FAX_RES_200_100;
  char width = '1';
  char length = 'A';
  u8 speed = 0;
  char ecm = '0';
  u8 res_unit = 0;
};

struct fax_auto__session {
  u32 magic = 0;
  nai_t nai = 0;
  u8 state = FAX_IDLE;
  u8 cf_busy = 0;
  u8 int_sync_pending = 0;
  u8 conv_state = FAX_CONV_NONE;
  // The converter has yet to confirm the end of the page (FC__STOP_PG_CO or
  // FC__STOP_PG_IN): converted data may still come, the page is not over.
  u8 conv_stop_pending = 0;
  std::deque<std::vector<u8>> conv_queue;  // converted data not yet sent
  u32 conv_underruns = 0;
  u8 conv_trace = 0;  // "encoding on fly" traces of the page so far
  u8 direction = 'O';
  u8 page_direction = 1;
  u8 verdict = 0;
  ent_id_t user = ENT_NIL;
  u8 stop_requested = 0;
  u8 stop_reason = 0;
  u8 end_status = 2, end_cause = 2, end_source = FAX_SOURCE_SELF;
  // Timers: armed flag and sequence number (the id of the current start).
  timer_cell_t* ti_start = nullptr;
  timer_cell_t* ti_eof = nullptr;
  u32 start_ms = 0, eof_ms = 25;
  u8 start_seq = 0, start_armed = 0;
  u8 eof_seq = 0, eof_armed = 0;
  std::array<u8, FAX_SESSION_STATUS_SIZE> status{};
  u16 sent_row = 0, rcv_row = 0;
  std::array<u8, FAX_CONFIG_SIZE> cfg{};
  fax_config_view config() const { return {cfg.data()}; }
  ent_id_t lower = ENT_T38;
  nai_t second_nai = 0;
  u8 ready = 0;
  u8 polling = 0;
  // Configuration queue: 1 waiting, 2 lower entities being configured, 3 done, 4 reset came.
  u8 queue_state = 0;
  msg_t* kept_config = nullptr;
  msg_t* kept_reset = nullptr;
  // Pages.
  std::vector<fax_page> send_pages;
  u16 pages_to_send = 0, pages_sent = 0, pages_rcv = 0;
  size_t current = 0;
  u8 resend = 0;
  std::FILE* page_file = nullptr;
  fax_page rcv_page;
  std::string tmp_name;  // temporary file of the page being received
  fax_rcv_file rcv_file;
  u32 rcv_bytes = 0;
  u8 rcv_write_failed = 0;
  fax_nego nego;
  char remote_id[21] = {};
  // Received-page check (ECM).
  t4t6_decoder* check = nullptr;
  std::vector<u8> check_line;
  u32 check_lines = 0;
  u8 check_ended = 0;
  // Date and time of the configuration.
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};

// Automaton (fax_automaton.cpp).
u8 fax_auto__run(msg_t* m, u16 user_request, fax_auto__session* s);
void fax_auto__send_cf(fax_auto__session* s, code_t code);
const char* fax_state_name(u8 state);
// The automaton's rows, for their check.
kv::fsm::machine_view fax_auto__machine();

// User events (fax_user.cpp).
u8 fax_auto__user_event_fn(u8 event, u8* buf, u32* len, const u8* data, u32 data_len, u32 extra, fax_auto__session* s);
void fax_end_session(fax_auto__session* s, u8 status, u8 source, u8 cause);

// Page header text of the page being sent (the template of the
// configuration expanded); false when the text did not fit in `room - 1`
// characters (what fitted stands, NUL-terminated).
[[nodiscard]] bool fax_page_header_expand(fax_auto__session* s, char* out, u32 room);

// Entity services (fax_mngt.cpp).
void fax_send_report(fax_auto__session* s, const u8 record[FAX_REPORT_RECORD_SIZE]);
void fax_event_print(nai_t nai, const char* text);
u16* fax_tmp_counter();
// The whole data of a message (inline or chain).
std::vector<u8> fax_msg_bytes(const msg_t* m);
// Sends a new message with `n` data bytes (inline or in one buffer).
[[nodiscard]] bool fax_send_new(ent_id_t to, nai_t nai, u8 sapi, u16 conn_id, code_t code, const u8* data, u32 n);
