// The FOIP API: the primitives between the application entity ENT_APP_FOIP
// (the user) and the FOIP entity ENT_FOIP, their codes, their records and the
// way a record travels in a message.
//
// Records are in-process structures of this program: they travel between the
// two entities as the bytes of the structure, never to a file or the wire.
// Both sides include this header; it is the only place where the layouts are
// written.  Every record is zeroed before it is filled (value-initialise it:
// `foip__stop s{};`).
//
// Long data: a record that fits one buffer (the buffer room) travels inline
// or in one buffer; a larger one is written into a temporary block and goes
// out as a chain of buffers.  A receiver takes the data in place (inline, one
// buffer) or reassembled into a temporary block, and always checks the length
// against the record of the code: a body of another length is refused.
//
// Messages: the builders allocate, fill and send (Send_msg hands the message
// over; from a thread that is not a runtime task it goes to the destination
// task's external queue).  The readers never free the message: its handler
// does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "runtime/msg.h"
#include "runtime/types.h"
#include "session/config/foip_param.h"

// ---------------------------------------------------------------------------
// Codes.

enum : code_t {
  FOIP__SET_CONFIG_RQ = 'A',
  FOIP__SET_CONFIG_CO = 'a',
  FOIP__RESET_CONFIG_RQ = 'I',
  FOIP__RESET_CONFIG_CO = 'i',
  FOIP__T38_CAPABILITIES_RQ = 'T',
  FOIP__T38_CAPABILITIES_CO = 't',
  FOIP__START_RQ = 'B',
  FOIP__START_CO = 'b',
  FOIP__STOP_RQ = 'E',
  FOIP__STOP_CO = 'e',
  FOIP__STOP_IN = 'F',
  FOIP__ALERT_IN = 'G',
  FOIP__ALERT_RS = 'g',
  FOIP__REPORT_IN = 'H',
  FOIP__SIP_REGISTER_RQ = 'R',
  FOIP__SIP_REGISTER_CO = 'r',
  FOIP__SIP_UNREGISTER_RQ = 'N',
  FOIP__SIP_UNREGISTER_CO = 'n',
};

// SAPs of the API: 1 for every primitive but the capabilities request.
inline constexpr u8 FOIP__SAPI = 1;
inline constexpr u8 FOIP__SAPI_T38_CAPABILITIES = 2;
inline constexpr nai_t FOIP__NAI_GLOBAL = 0xFFFF;
inline constexpr u16 FOIP__CONN_NONE = 0xFFFF;

// Return code of a confirm that succeeded (any other value: refused), and
// the one this side gives a refusal or a failed step.
inline constexpr u8 FOIP__RC_OK = 2;
inline constexpr u8 FOIP__RC_NOK = 3;

// ---------------------------------------------------------------------------
// Records.

inline constexpr std::size_t FOIP__ERR_SOURCE_TEXT_SIZE = 130;
inline constexpr std::size_t FOIP__ERR_CODE_TEXT_SIZE = 180;

// Confirm part: first field of every record but the report and the alert.
struct foip__confirm {
  u8 return_code;  // 2 OK
  u8 error_code;   // when OK: the enhanced return code
  u8 error_source;
  char sz_error_source[FOIP__ERR_SOURCE_TEXT_SIZE];
  char sz_error_code[FOIP__ERR_CODE_TEXT_SIZE];
};
// The error number shown for a confirm: code + 100 x source for the sources
// 0, 3, 4, 5 and 6 (the SIP classes), else the code.
unsigned foip__shown_error_code(const foip__confirm& c);

struct foip__set_config {
  foip__confirm confirm;
  foip__global_param global_param;
};

struct foip__reset_config {
  foip__confirm confirm;
};

struct foip__t38_capabilities {
  foip__confirm confirm;
  u8 t38_over_tcp;  // 1: T.38 over TCP is supported
  foip__t38_capabilites_param cap;
};

struct foip__start {
  foip__confirm confirm;
  foip__session_param session_param;
};

struct foip__sip_register {
  foip__confirm confirm;
  foip__sip_register_param reg;
};

struct foip__sip_unregister {
  foip__confirm confirm;
};

// Page report of the fax engine.
inline constexpr u32 FOIP__PG_LENGTH_UNKNOWN = 0xFFFFFFFF;
struct foip__fax_pg_descriptor {
  char sz_tiff_fname[FOIP__FNAME_MAX_LEN];
  u8 pg_encoding;     // 1 MH, 2 MR, 4 MMR
  u16 pg_resolution;  // bit value
  u8 pg_width;        // '1', '2', '3'
  u8 pg_length;       // 'A', 'B', 'U'
  u8 pg_quality;      // 'G', 'M', 'B'
  u8 pg_state;        // the byte after the quality letter ('S' tested)
  u32 pg_nb_bytes;    // FOIP__PG_LENGTH_UNKNOWN when unknown
  u16 enabled_conversion;
  i32 nb_discarded_lines;  // -1 unknown
  u8 flag_decoding_info;
  i32 nb_decoded_lines;
  u8 t6_error;
  u16 nb_t4_errors;
};

inline constexpr std::size_t FOIP__MAX_PG_REPORTS = 20;
inline constexpr std::size_t FOIP__REMOTE_FAX_ID_SIZE = 22;

struct foip__fax_session_status {
  u8 present;          // 1 present
  u8 fax_return_code;  // 2 OK, 3 NOK
  u8 source;           // entity that reported the return code
  u8 diag;
  char sz_diag[132];
  char remote_fax_id[FOIP__REMOTE_FAX_ID_SIZE];
  u16 max_modulation;
  u16 min_modulation;
  u16 nb_pg_to_send;
  u16 nb_pg_sent;
  u16 nb_pg_sent_good, nb_pg_sent_medium, nb_pg_sent_bad;
  foip__fax_pg_descriptor sent_pg[FOIP__MAX_PG_REPORTS];
  u16 nb_pg_received;
  u16 nb_pg_received_good, nb_pg_received_medium, nb_pg_received_bad;
  foip__fax_pg_descriptor received_pg[FOIP__MAX_PG_REPORTS];
};

inline constexpr std::size_t FOIP__T38_STATUS_ROWS = 11;
struct foip__t38_status_row {
  u16 counter;
  u8 enh_ret_code;
  char sz_enh_ret_code[73];
};
struct foip__t38_udptl_stat {
  u32 nb_udptl_total, nb_udptl_idle, nb_asn1_data_total, nb_asn1_data_efficency, nb_asn1_data_redundancy,
      nb_asn1_data_idle;
};
struct foip__t38_tpkt_stat {
  u32 nb_tpkt_total, nb_asn1_data_total, nb_asn1_decode_err;
};
struct foip__t38_session_status {
  u8 present;
  u8 reserved;
  u8 return_code;  // 2 OK
  foip__t38_status_row rows[FOIP__T38_STATUS_ROWS];
  u8 diag_nok;
  char sz_diag_nok[103];
  u8 stat_present;  // 1
  u8 transport;     // 'U' UDP, 'T' TCP
  foip__t38_udptl_stat udp_snd, udp_rcv;
  foip__t38_tpkt_stat tcp_snd, tcp_rcv;
};

// One party of a call.
inline constexpr std::size_t FOIP__PARTY_NAME_SIZE = 65;
inline constexpr std::size_t FOIP__PARTY_PHONE_SIZE = 26;
struct foip__party {
  u8 kind;  // 1 telephone number, 2 user name
  char sz_user_name[FOIP__PARTY_NAME_SIZE];
  char sz_phone_number[FOIP__PARTY_PHONE_SIZE];
};

// Image of one SIP address header.
inline constexpr std::size_t FOIP__SIP_HEADER_IMAGES = 5;
enum : u8 {
  FOIP__HDR_REQUEST_URI = 1,
  FOIP__HDR_FROM = 2,
  FOIP__HDR_TO = 4,
  FOIP__HDR_P_ASSERTED_IDENTITY = 8,
  FOIP__HDR_72 = 16,
};
struct foip__sip_tel_user {
  u8 number_flag;
  char number[25];
  char postd[20];
  char isub[10];
  char param_1[32];
  char param_2[32];
  char param_3[64];
};
struct foip__sip_header_image {
  u8 kind;  // 0 unused, else FOIP__HDR_*
  char display_name[64];
  u8 user_kind;  // 0 none, 1 telephone, 2 name
  union {
    foip__sip_tel_user tel;
    char name[64];
  } user;
  char addr_text[64];
  u32 host_kind;  // 0 none, 1 domain name, 2 IPv4
  union {
    u8 ipv4[4];
    char fqdn[64];
  } host;
  u16 port;
  u8 transport;  // 1 'U', 2 'T', 3 'S', 4 'L', 5 other (named), 0 none
  char transport_name[8];
  u8 user_param;  // 1 phone, 2 'I', 3 other (text)
  char user_param_text[16];
  u8 method;
  u8 ttl;  // 255 none
  char maddr[64];
  u8 lr;
  char other_params[64];
  char header_params[512];
  char extra_text[64];     // kind 16 only
  char extra_params[512];  // kind 16 only
};

// The negotiated media of a call.
struct foip__negotiated_media {
  foip__t38_udptl_cap t38;
  char sz_rem_media_fqdn[64];
  u8 rem_media_family;  // 4 or 9
  u8 rem_media_ipv4[4];
  u16 rem_media_port;
  // Our side of the chosen media as our description announced it (the NAT
  // address and port when NAT support is on).
  char sz_loc_media_fqdn[64];
  u8 loc_media_family;  // 4 or 9
  u8 loc_media_ipv4[4];
  u16 loc_media_port;
};

// Call information record.
inline constexpr std::size_t FOIP__SIP_RET_TEXT_SIZE = 100;
struct foip__call_info {
  u16 sip_ret_code;  // SIP status (200: call completed normally) or internal code 1..7
  char sz_sip_ret_code[FOIP__SIP_RET_TEXT_SIZE];
  u16 sip_conn_id;
  foip__party local;
  foip__party remote;
  foip__full_ip_addr remote_addr;
  foip__full_ip_addr contact_addr;
  foip__full_ip_addr source_addr;
  char remote_sip__product_string[32];
  char remote_sip__version_string[16];
  char remote_sip__comment_string[32];
  foip__sip_header_image headers[FOIP__SIP_HEADER_IMAGES];
  foip__negotiated_media media;
};

struct foip__sip_status {
  u8 present;
  foip__call_info call;
};

struct foip__stop {
  foip__confirm confirm;
  foip__fax_session_status fax;
  foip__t38_session_status t38;
  foip__sip_status sip;
};

// Media description of an offer.
inline constexpr std::size_t FOIP__ALERT_MEDIA = 4;
struct foip__alert_media {
  u8 kind;       // 1 T.38 image, 2 audio, 3 other
  u8 transport;  // 14 UDPTL, 15 TCP, 0 other
  char sz_fqdn[64];
  u8 family;  // 9 or 4
  u8 ipv4[4];
  u16 port;
  u16 t38_mask;  // attributes present (T.38)
  u8 t38_version;
  u16 fax_max_bit_rate;
  u8 drate_mgt_method;
  u8 remove_fill_bits_t4;
  u8 transcode_mmr;
  u8 transcode_jbig;
  u16 fax_max_buffer_size;
  u16 max_datagram_size;
  u8 udp_ec;
  u8 vocoder;  // audio
};
struct foip__alert_media_description {
  u16 media_count;
  foip__alert_media media[FOIP__ALERT_MEDIA];
};

// Answers of an alert.
enum : u8 {
  FOIP__ALERT_REJECT = 0,
  FOIP__ALERT_ACCEPT = 1,
  FOIP__ALERT_RINGING = 5,
  FOIP__ALERT_PROVISIONAL = 6,
};
inline constexpr std::size_t FOIP__ALERT_TEXT_SIZE = 64;

struct foip__alert {
  u8 answer;       // 0 in an indication
  u8 called_kind;  // 1 phone number, 2 user name
  u8 reserved;
  char sz_called_user_name[FOIP__PARTY_NAME_SIZE];
  char sz_called_phone_number[FOIP__PARTY_PHONE_SIZE];
  foip__party calling;
  foip__full_ip_addr remote_addr;
  foip__full_ip_addr contact_addr;
  foip__full_ip_addr source_addr;
  char remote_sip__product_string[32];
  char remote_sip__version_string[16];
  char remote_sip__comment_string[32];
  foip__sip_header_image headers[FOIP__SIP_HEADER_IMAGES];
  foip__alert_media_description media;
  foip__session_param session_param;
  u16 sip_status;  // 404 for a reject
  char sz_text[FOIP__ALERT_TEXT_SIZE];
};

// Report: kind of report, kind of information or error, and a body.
enum : u8 {
  FOIP__REPORT__EVT = 'E',
  FOIP__REPORT__ERR = 'R',
  FOIP__REPORT__TRAP = 'T',
};
enum : u8 {
  FOIP__EVENT__FAX_REMOTE_FAX_ID = 1,
  FOIP__EVENT__FAX_REMOTE_IAF = 2,
  FOIP__EVENT__FAX_PG_SENT = 3,
  FOIP__EVENT__FAX_PG_RECEIVED = 4,
  FOIP__EVENT__SIP_CALL_OPEN = 5,
  FOIP__EVENT__SIP_CALL_CLOSE = 6,
};
enum : u8 {
  FOIP__ERROR__T38 = 2,
  FOIP__ERROR__TRAP_FOIP = 3,
  FOIP__ERROR__TRAP_T38 = 4,
};
struct foip__report_page {
  u16 pg_number;
  foip__fax_pg_descriptor pg;
};
struct foip__report_t38_error {
  u32 t38_error_kind;
  u32 error_count;
};
struct foip__report_trap_foip {
  u16 kind_of_foip_error;
  u16 trap_code;
  char sz_trap_name[45];
  char sz_diag[100];
};
struct foip__report_trap_t38 {
  u32 kind_of_t38_error;
  u16 trap_code;
  char sz_trap_name[45];
  char sz_diag[100];
};
// The error bodies (the short form of the record).
union foip__report_error_body {
  foip__report_t38_error t38;
  foip__report_trap_foip trap_foip;
  foip__report_trap_t38 trap_t38;
};
union foip__report_body {
  // All zero (a member with default values needs a constructor here).
  foip__report_body() { std::memset(static_cast<void*>(this), 0, sizeof *this); }
  char remote_fax_id[65];
  foip__report_page page;
  foip__call_info call_open;
  u16 sip_conn_id;
  foip__report_error_body error;
};
struct foip__report {
  u8 kind_of_report;  // FOIP__REPORT__*
  u8 kind;            // kind of information (event) or of error
  foip__report_body body;
};
// Length of the short form of a report (error and trap reports).
inline constexpr u32 FOIP__REPORT_SHORT_SIZE =
    static_cast<u32>(offsetof(foip__report, body) + sizeof(foip__report_error_body));

// The trap class of a trap report: "FATAL", "SERIOUS" or "INFO".  `base` is
// 20000 for FOIP traps and 10000 for T.38 traps.
const char* foip__trap_class(u16 trap_code, u16 base);

template <class T>
inline constexpr bool foip__is_api_record = std::is_trivially_copyable_v<T>&& std::is_standard_layout_v<T>;
static_assert(foip__is_api_record<foip__set_config> && foip__is_api_record<foip__start> &&
              foip__is_api_record<foip__stop> && foip__is_api_record<foip__alert> &&
              foip__is_api_record<foip__report> && foip__is_api_record<foip__t38_capabilities> &&
              foip__is_api_record<foip__sip_register>);

// Size of the record of a code; 0 for a code that is not an API primitive.
// For FOIP__REPORT_IN this is the full record (FOIP__REPORT_SHORT_SIZE is
// the other length accepted).
u32 foip__record_size(code_t code);

// ---------------------------------------------------------------------------
// Long data.

// Results of the long-data services and of the builders and readers.
enum : u8 {
  FOIP_API__OK = 2,
  FOIP_API__ERR_ARG = 12,         // wrong code or missing argument
  FOIP_API__ERR_NO_BUFFER = 13,   // no message data room, or no buffer for the chain
  FOIP_API__ERR_NO_BLOCK = 14,    // no temporary block for a long record
  FOIP_API__ERR_REASSEMBLE = 16,  // a chain could not be reassembled
  FOIP_API__ERR_LENGTH = 17,      // the body's length is not the record's
  FOIP_API__ERR_NO_MSG = 18,
  FOIP_API__ERR_FREE_BLOCK = 19,
};

// One record on its way out or in.  Whatever it still holds (message,
// temporary block) is released when it goes out of scope.
struct foip_proc_api__long_data {
  foip_proc_api__long_data() = default;
  foip_proc_api__long_data(const foip_proc_api__long_data&) = delete;
  foip_proc_api__long_data& operator=(const foip_proc_api__long_data&) = delete;
  ~foip_proc_api__long_data();

  msg_t* msg = nullptr;  // outgoing: the message being built
  u8* block = nullptr;   // temporary block (long outgoing record, reassembled chain)
  u8* data = nullptr;    // where the record is written or read
  u32 size = 0;
  bool is_long = false;  // outgoing: the record goes out as a chain

  // Hands the built message over to the caller (the record stays written).
  msg_t* take_msg();
};

// Room for an outgoing record of `size` bytes: in the message or one buffer
// when it fits the buffer room, else a message without data and a temporary
// block.  2, 13 (no message or buffer), 14 (no block: nothing is kept).
[[nodiscard]] u8 foip_proc_api__prepare_long_data_to_send(u32 size, foip_proc_api__long_data& ld);
// Ends an outgoing record: a long one is copied into a chain of buffers that
// is attached to the message, and its block is freed.  2, 13 (no buffer), 18
// (no message), 19 (the block could not be freed).
[[nodiscard]] u8 foip_proc_api__eof_long_data_to_send(foip_proc_api__long_data& ld);
// Takes a message's data: in place when inline or in one buffer, else
// reassembled into a temporary block.  The length must be `expected` (0: any
// length).  2, 16 (no block), 17 (another length).
[[nodiscard]] u8 foip_proc_api__get_long_data_received(const msg_t* m, u32 expected, foip_proc_api__long_data& ld);
// Frees a reassembled block.  2, or 19 when the block was not in use.
u8 foip_proc_api__release_long_data(foip_proc_api__long_data& ld);

// ---------------------------------------------------------------------------
// Sending and reading whole records.

// Addressing of a primitive.
struct foip_api__addr {
  ent_id_t from = ENT_APP_FOIP;
  ent_id_t to = ENT_FOIP;
  nai_t nai = FOIP__NAI_GLOBAL;
  u8 sapi = FOIP__SAPI;
  u16 conn_id = FOIP__CONN_NONE;
};

// Sends the message of a finished record (after
// foip_proc_api__eof_long_data_to_send) to `addr` as primitive `code`.
void foip_api__post(foip_proc_api__long_data& ld, const foip_api__addr& addr, code_t code);
// Builds and sends one primitive whose record is `size` bytes of `record`.
// 2 or a long-data failure (nothing is sent then).
[[nodiscard]] u8 foip_api__send(const foip_api__addr& addr, code_t code, const void* record, u32 size);
template <class T>
[[nodiscard]] u8 foip_api__send_record(const foip_api__addr& addr, code_t code, const T& record) {
  static_assert(foip__is_api_record<T>);
  return foip_api__send(addr, code, &record, sizeof(T));
}

// Copies the record of a message whose code is `code` into out (`size`
// bytes).  The body must have exactly the record's length.  12 when the
// message's code is another or out is null, else as
// foip_proc_api__get_long_data_received.
[[nodiscard]] u8 foip_api__read(const msg_t* m, code_t code, void* out, u32 size);
template <class T>
[[nodiscard]] u8 foip_api__read_record(const msg_t* m, code_t code, T* out) {
  static_assert(foip__is_api_record<T>);
  return foip_api__read(m, code, out, sizeof(T));
}

// Builders of the application.
[[nodiscard]] u8 foip_api__send_set_config_rq(const foip__global_param& glb);
[[nodiscard]] u8 foip_api__send_reset_config_rq();
[[nodiscard]] u8 foip_api__send_t38_capabilities_rq(nai_t nai);
[[nodiscard]] u8 foip_api__send_start_rq(nai_t nai, const foip__session_param& param);
[[nodiscard]] u8 foip_api__send_stop_rq(nai_t nai);
// A response to an alert: nai, sapi and connection id of the indication.
[[nodiscard]] u8 foip_api__send_alert_rs(const foip__alert& alert, nai_t nai, u8 sapi, u16 conn_id);
[[nodiscard]] u8 foip_api__send_sip_register_rq(nai_t nai, const foip__sip_register_param& reg);
[[nodiscard]] u8 foip_api__send_sip_unregister_rq(nai_t nai, u16 conn_id);

// Readers of the application (each takes a message from ENT_FOIP).
// Confirm part of 'a', 'b', 'i', 'n'.
[[nodiscard]] u8 foip_api__read_confirm(const msg_t* m, code_t code, foip__confirm* out);
// 'r': the confirm part and the message's connection id.
[[nodiscard]] u8 foip_api__read_sip_register_co(const msg_t* m, foip__confirm* out, u16* conn_id);
// 'e' and 'F': the confirm, and on request (non-null) the three statuses.
[[nodiscard]] u8 foip_api__read_stop(const msg_t* m, code_t code, foip__confirm* confirm, foip__fax_session_status* fax,
                                     foip__t38_session_status* t38, foip__sip_status* sip);
// 'H': the whole record, or its short form for an error or trap report (the
// rest of out is zeroed).  A short body whose kind of report is an event is
// refused with 17.
[[nodiscard]] u8 foip_api__read_report(const msg_t* m, foip__report* out);
