// Configuration structures of the FOIP API.
//
// foip__global_param travels in FOIP__SET_CONFIG_RQ, foip__session_param in
// FOIP__START_RQ and FOIP__ALERT_RS.  Both are in-process records: they never
// reach a file or the wire as bytes.  Every text field holds a NUL-terminated
// text; the fields whose content may fill the whole named size (the fax id, the
// page header, polling codes) have one byte more for the terminator.
//
// The bounded copies below are the only way texts enter these records.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/types.h"

inline constexpr std::size_t FOIP__FQDN_MAX_LEN = 64;
inline constexpr std::size_t FOIP__FNAME_MAX_LEN = 100;
inline constexpr std::size_t FOIP__USER_ID_STRING_MAX_LEN = 80;
inline constexpr std::size_t FOIP__PWD_SIZE = 20;
inline constexpr std::size_t FOIP__SEP_PSA_SIZE = 20;
inline constexpr std::size_t FOIP__FAX_ID_SIZE = 20;
inline constexpr std::size_t FOIP__MAX_SND_TIFF_FILE = 10;
inline constexpr std::size_t FOIP__MAX_MEDIA_NA = 62;
inline constexpr std::size_t FOIP__DCOD__NB_FILTER = 20;
inline constexpr std::size_t FOIP__DCOD__SZ_ENT_NAME_MAX_LEN = 20;
inline constexpr std::size_t FOIP__DCOD__SZ_CODE_MAX_LEN = 30;
inline constexpr std::size_t FOIP__PG_HEADER_MAX_LEN = 133;
// User names, passwords, realms: texts of up to 63 characters.
inline constexpr std::size_t FOIP__NAME_SIZE = 64;
// Phone numbers: up to 25 characters.
inline constexpr std::size_t FOIP__PHONE_NB_MAX_LEN = 25;

// Address families of om_ip_addr_t.
inline constexpr u8 OM_IP_FAMILY_V4 = 4;
inline constexpr u8 OM_IP_FAMILY_NONE = 9;

// Session directions (session record).
inline constexpr u8 FOIP__DIR_OUT = 1;
inline constexpr u8 FOIP__DIR_IN = 2;

// Filter item modes of the message audit.
inline constexpr u8 FOIP__DCOD__FILTER_LAST_ITEM = 1;
inline constexpr u8 FOIP__DCOD__FILTER_ALL_FIELDS = 2;
inline constexpr u8 FOIP__DCOD__FILTER_IGNORE_CODE = 3;

struct om_ipv4_addr {
  u8 addr[4];  // network order
};
struct om_ipv6_addr {
  u8 addr[16];
};
struct om_ip_addr_t {
  u8 ip_family = OM_IP_FAMILY_NONE;
  union {
    om_ipv4_addr v4;
    om_ipv6_addr v6;
  } addr{};
};

struct foip__full_ip_addr {
  char sz_fqdn[FOIP__FQDN_MAX_LEN + 1];
  om_ip_addr_t ip_addr;
  u16 ip_port;
};

// ---------------------------------------------------------------------------
// Global parameters.

struct foip__glb_common_param {
  nai_t nb_simultaneous_start_stop;
  u32 tag_dbg_field_are_loaded;
  u32 dbg_field1;
  u32 dbg_field2;
};

struct foip__glb_nat {
  u8 flag_nat_support;
  foip__full_ip_addr nat_local_sip_addr;
};

struct foip__glb_sip_param {
  nai_t sig_nai;
  u8 operating_mode;
  u32 re_invite_delay;  // timer_val_t, ms
  foip__full_ip_addr local_sip_addr;
  foip__glb_nat nat;
  u16 get_sip_header_bfi;
  foip__full_ip_addr outbound_proxy;
  foip__full_ip_addr registrar_addr;
};

struct foip__glb_event_trc {
  u16 display_event_bfi;
  u8 flag_display_progress_bar;
  u16 record_event_bfi;
  char sz_fname_event[FOIP__FNAME_MAX_LEN];
  u8 nb_of_multiple_event_files;
  u16 max_length_of_event_file;
};

struct foip__audit_filter {
  u8 item_mode;
  ent_id_t from;
  ent_id_t to;
  code_t code;
  char sz_from[FOIP__DCOD__SZ_ENT_NAME_MAX_LEN];
  char sz_to[FOIP__DCOD__SZ_ENT_NAME_MAX_LEN];
  char sz_code[FOIP__DCOD__SZ_CODE_MAX_LEN];
};

struct foip__glb_audit_trc {
  char sz_fname_audit[FOIP__FNAME_MAX_LEN];
  u8 nb_of_multiple_audit_files;
  u16 max_length_of_audit_file;
  foip__audit_filter audit_filter[FOIP__DCOD__NB_FILTER];
};

struct foip__glb_stat {
  u8 statistic_mode;
};

struct foip__glb_trc_param {
  foip__glb_event_trc event;
  foip__glb_audit_trc audit;
  foip__glb_stat stat;
};

struct foip__global_param {
  foip__glb_common_param glb_common_param;
  foip__glb_sip_param glb_sip_param;
  foip__glb_trc_param glb_trc_param;
};

// ---------------------------------------------------------------------------
// Session parameters.

struct foip__t38iaf_enhanced {
  u8 flag_iaf_equipement;
  u32 udp_ip_data_rate_bps;
  u32 tcp_ip_data_rate_bps;
};

struct foip__session_general_param {
  u8 kind_of_session;  // 'I' IAF, 'G' gateway
  u8 direction;        // 'O' or 'I', written when the session starts
  nai_t nai;
  u8 kind_of_t38_transport;  // 'U', 'T', 'X' (UDP then TCP), 'x' (TCP then UDP)
  foip__t38iaf_enhanced t38iaf_enh;
  u32 start_t38_session_ms;
  u32 delay_wait_eof_t30_session;
  u32 tag_dbg_field_are_loaded;
  u32 dbg_field1;
  u32 dbg_field2;
};

struct foip__sip_authentication {
  u8 flag_enable;
  char sz_user_name[FOIP__NAME_SIZE];
  char sz_user_password[FOIP__NAME_SIZE];
  char sz_realm[FOIP__NAME_SIZE];
};

struct foip__session_sip_param {
  foip__full_ip_addr remote_sip_addr;
  foip__sip_authentication sip_authentication;
};

// Bits of use_t38_cap_bfi and of the force fields (values of "force t38
// remote cap").
inline constexpr u16 FOIP__T38_CAP_VERSION = 1;
inline constexpr u16 FOIP__T38_CAP_MAX_BIT_RATE = 2;
inline constexpr u16 FOIP__T38_CAP_RATE_MANAGEMENT = 4;
inline constexpr u16 FOIP__T38_CAP_MAX_BUFFER = 8;
inline constexpr u16 FOIP__T38_CAP_MAX_DATAGRAM = 16;
inline constexpr u16 FOIP__T38_CAP_UDP_EC = 32;
inline constexpr u16 FOIP__T38_CAP_FILL_BIT_REMOVAL = 64;
inline constexpr u16 FOIP__T38_CAP_TRANSCODING_MMR = 128;
inline constexpr u16 FOIP__T38_CAP_TRANSCODING_JBIG = 256;

struct foip__t38_udptl_cap {
  u16 use_t38_cap_bfi;
  u16 test_mode__force_t38_rem_cap_bfi;
  u8 t38_version;
  u16 fax_max_bit_rate;
  u8 drate_mgt_method;
  u8 remove_fill_bits_t4;
  u8 transcode_mmr;
  u8 transcode_jbig;
  u16 fax_max_buffer_size;
  u16 max_datagram_size;
  u8 udp_ec;
};

struct foip__t38_tpkt_cap {
  u16 use_t38_cap_bfi;
  u16 test_mode__force_t38_rem_cap_bfi;
  u8 t38_version;
  u16 fax_max_bit_rate;
  u8 drate_mgt_method;
  u8 remove_fill_bits_t4;
  u8 transcode_mmr;
  u8 transcode_jbig;
};

struct foip__t38_capabilites_param {
  foip__t38_udptl_cap udptl_param;
  foip__t38_tpkt_cap tpkt_param;
};

struct foip__lcl_udptl_cap {
  u16 use_t38_cap_bfi;
  u8 t38_version;
  u16 fax_max_bit_rate;
  u8 drate_mgt_method;
  u8 remove_fill_bits_t4;
  u8 transcode_mmr;
  u8 transcode_jbig;
  u16 fax_max_buffer_size;
  u16 max_datagram_size;
  u8 udp_ec;
};

struct foip__lcl_tpkt_cap {
  u16 use_t38_cap_bfi;
  u8 t38_version;
  u16 fax_max_bit_rate;
  u8 drate_mgt_method;
  u8 remove_fill_bits_t4;
  u8 transcode_mmr;
  u8 transcode_jbig;
};

struct foip__overwrite_lcl_t38_cap {
  foip__lcl_udptl_cap udptl_param;
  foip__lcl_tpkt_cap tpkt_param;
};

// Copies the capabilities of both transports from one capability record to
// another.
template <class To, class From>
void foip__copy_common_t38_caps(To& to, const From& from) {
  to.t38_version = from.t38_version;
  to.fax_max_bit_rate = from.fax_max_bit_rate;
  to.drate_mgt_method = from.drate_mgt_method;
  to.remove_fill_bits_t4 = from.remove_fill_bits_t4;
  to.transcode_mmr = from.transcode_mmr;
  to.transcode_jbig = from.transcode_jbig;
}

// Copies the capabilities two capability records share: those of both
// transports, and the UDPTL ones when both records hold them.
template <class To, class From>
void foip__copy_t38_caps(To& to, const From& from) {
  foip__copy_common_t38_caps(to, from);
  if constexpr (requires {
                  to.udp_ec;
                  from.udp_ec;
                }) {
    to.fax_max_buffer_size = from.fax_max_buffer_size;
    to.max_datagram_size = from.max_datagram_size;
    to.udp_ec = from.udp_ec;
  }
}

// Kinds of user identification (media identification and registration).
inline constexpr u8 FOIP__USR_ID__UNKNOWN = 0;
inline constexpr u8 FOIP__USR_ID__PHONE_NUMBER = 1;
inline constexpr u8 FOIP__USR_ID__NAME = 2;

struct foip__sip_media_identification {
  u8 local_user_identification;
  u8 flag_invite_in__no_filter;
  char sz_local_user_name[FOIP__NAME_SIZE];
  char sz_local_user_phone_number[FOIP__PHONE_NB_MAX_LEN + 1];
  u8 remote_user_identification;
  char sz_remote_user_name[FOIP__NAME_SIZE];
  char sz_remote_user_phone_number[FOIP__PHONE_NB_MAX_LEN + 1];
};

struct foip__local_media_add {
  foip__full_ip_addr local_media_ip_addr;
  foip__full_ip_addr nat_local_media_ip_addr;
  u8 upd_local_media_port_rules;
};

struct foip__t38_media_add_param {
  foip__sip_media_identification sip_media_identification;
  foip__local_media_add local_media_add;
};

struct foip__rx_max_fax_cap {
  u8 ecm_frame_size;
  u8 pg_encoding;
  u16 pg_resolution;
  u8 pg_width_mm;
  u8 pg_length;
};

struct foip__tx_wished_fax_cap {
  u8 ecm_frame_size;
  u8 pg_encoding;
};

struct foip__fax_common_param {
  char fax_id[FOIP__FAX_ID_SIZE + 1];
  u8 max_speed;
  u8 min_speed;
  u8 keep_bit_order__rx;
  char sz_fname_tiff_tmp_pg[FOIP__FNAME_MAX_LEN];
  foip__rx_max_fax_cap rx_max_fax_cap;
  foip__tx_wished_fax_cap tx_wished_fax_cap;
};

struct foip__fax_polling_param {
  u8 flag_poll;
  char pwd[FOIP__PWD_SIZE + 1];
  char sep[FOIP__SEP_PSA_SIZE + 1];
  char psa[FOIP__SEP_PSA_SIZE + 1];
};

struct foip__tx_fax_page_settings {
  u8 line_padding_mode;
  char sz_pg_header[FOIP__PG_HEADER_MAX_LEN + 1];
  u16 bmp_top_margin_pels;
};

struct foip__fax_send_pg {
  u16 cnt_send_test;
  char sz_tiff_fname_fax_pg[FOIP__MAX_SND_TIFF_FILE][FOIP__FNAME_MAX_LEN];  // an empty name ends the list
  foip__tx_fax_page_settings tx_fax_page_settings;
};

struct foip__fax_rcv_pg {
  char sz_tiff_fname_rcv_fax_pg[FOIP__FNAME_MAX_LEN];
  u16 usr_val;
  u16 max_rx_nb_page;
  u32 max_rx_fax_data_size;
};

struct foip__trc_common {
  char sz_user_id_string[FOIP__USER_ID_STRING_MAX_LEN];
};

struct foip__trc_event {
  u16 display_event_bfi;
  u16 record_event_bfi;
  char sz_fname_event[FOIP__FNAME_MAX_LEN];
  u8 nb_of_multiple_event_files;
  u16 max_length_of_event_file;
  u32 t38_event_bfi;
};

struct foip__trc_audit {
  char sz_fname_audit[FOIP__FNAME_MAX_LEN];
  u8 nb_of_multiple_audit_files;
  u16 max_length_of_audit_file;
  u8 append_audit_file;
};

struct foip__trc_t38 {
  char sz_fname_t38_trc[FOIP__FNAME_MAX_LEN];
  u8 nb_of_multiple_t38_trc_files;
  u16 max_length_of_t38_trc_file;
  u8 append_t38_trc_file;
  u32 t38_trc_bfi;
  u16 max_byte_asn1_hex;
  u8 flag_full_t38_pck_dsp;
  u16 max_byte_t38_pck_hex;
  u16 max_byte_fax_hex;
  u8 flag_kept_dfield_organization;
};

struct foip__trc_param {
  foip__trc_common common;
  foip__trc_event event;
  foip__trc_audit audit;
  foip__trc_t38 t38_trc;
};

struct foip__session_param {
  foip__session_general_param session_general_param;
  foip__session_sip_param sip_session_param;
  foip__t38_capabilites_param t38_capabilites_param;
  foip__overwrite_lcl_t38_cap overwrite_lcl_t38_cap;
  foip__t38_media_add_param t38_media_add_param;
  foip__fax_common_param fax_common_param;
  foip__fax_polling_param fax_polling_param;
  foip__fax_send_pg fax_send_pg;
  foip__fax_rcv_pg fax_rcv_pg;
  foip__trc_param trc_param;
};

// Registration settings of a session ("SIP Register" of the session file),
// the body of a SIP registration request.
struct foip__sip_registering {
  u8 user_identification;  // 1 phone number, 2 name, 3 no registering
  char sz_user_name[FOIP__NAME_SIZE];
  char sz_user_phone_number[FOIP__PHONE_NB_MAX_LEN + 1];
  foip__full_ip_addr addr;
};

struct foip__sip_register_param {
  u8 user_identification;  // 1 phone number, 2 name
  char sz_user_name[FOIP__NAME_SIZE];
  char sz_user_phone_number[FOIP__PHONE_NB_MAX_LEN + 1];
  foip__full_ip_addr registered_addr;
  foip__sip_registering registering;
  u32 expires_sec;
  foip__sip_authentication sip_authentication;
  u8 flag_snd_sip_register_to_registrar;
};

// ---------------------------------------------------------------------------
// Bounded copies and address helpers.

// Copies at most room - 1 characters of text (null counts as empty) and
// terminates.  Returns false when the text had to be cut.
bool foip__copy_text(char* field, std::size_t room, const char* text);
template <std::size_t N>
bool foip__copy_text(char (&field)[N], const char* text) {
  return foip__copy_text(field, N, text);
}

// An address record without name and address (family none, port 0).
void foip__clear_addr(foip__full_ip_addr& a);
// Sets an IPv4 address (4 bytes in network order, as a u32 stored in memory
// order) with family 4.
void foip__set_ipv4(om_ip_addr_t& a, u32 address_network_order);
u32 foip__get_ipv4(const om_ip_addr_t& a);

// Strict dotted IPv4 text: exactly four decimal numbers 0..255 of one to three
// digits separated by '.', nothing before or after.  The address goes to
// `out` in network order.
[[nodiscard]] bool foip__parse_ipv4(const char* text, u32* out);
