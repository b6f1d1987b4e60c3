// Tables of the session configuration files (sessionx.cfg): sections,
// keywords and the session default value table.
#pragma once

#include <cstdint>

#include "platform/int_types.h"
#include "session/config/ini_tools.h"

namespace session_cfg {

// Section ids.
inline constexpr u16 sec_general = 1;
inline constexpr u16 sec_iaf_enhanced = 2;
inline constexpr u16 sec_traces = 3;
inline constexpr u16 sec_sip = 4;
inline constexpr u16 sec_sip_authentication = 5;
inline constexpr u16 sec_sip_register = 6;
inline constexpr u16 sec_t38_remote_cap = 7;
inline constexpr u16 sec_t38_local_cap = 8;
inline constexpr u16 sec_t38_media_address = 9;
inline constexpr u16 sec_fax_common = 10;
inline constexpr u16 sec_fax_send = 12;
inline constexpr u16 sec_fax_send_page = 0x800D;
inline constexpr u16 sec_fax_receive_pages = 14;
inline constexpr u16 sec_samples_stream = 15;
inline constexpr u16 sec_debug = 16;

// Value ids ("General").
inline constexpr u16 kind_of_session = 1;
inline constexpr u16 path_of_fax_pages_to_send = 2;
inline constexpr u16 path_of_rcv_fax_pages = 3;
inline constexpr u16 path_of_trace_files = 4;
inline constexpr u16 path_of_samples_files = 5;
inline constexpr u16 kind_of_t38_transport = 6;
inline constexpr u16 direction = 7;
inline constexpr u16 path_of_tiff_temporary_files = 8;
inline constexpr u16 delay_end_of_fax_session = 9;
// "IAF Enhanced".
inline constexpr u16 iaf_equipment = 190;
inline constexpr u16 udp_ip_data_rate = 191;
inline constexpr u16 tcp_flow_control = 192;
inline constexpr u16 tcp_ip_data_rate = 193;
// "SIP".
inline constexpr u16 remote_sip_domain_name = 10;
inline constexpr u16 remote_sip_ip_address = 11;
inline constexpr u16 remote_sip_port = 12;
// "SIP Authentication".
inline constexpr u16 auth_user_name = 160;
inline constexpr u16 auth_password = 161;
inline constexpr u16 auth_realm = 162;
// "SIP Register".
inline constexpr u16 send_sip_register = 170;
inline constexpr u16 user_identification = 171;
inline constexpr u16 user_name = 172;
inline constexpr u16 user_phone_number = 173;
inline constexpr u16 registered_domain_name = 174;
inline constexpr u16 registered_ip_address = 175;
inline constexpr u16 registering_user_identification = 176;
inline constexpr u16 registering_user_name = 177;
inline constexpr u16 registering_user_phone_number = 178;
inline constexpr u16 registering_domain_name = 179;
inline constexpr u16 registering_ip_address = 180;
inline constexpr u16 registering_port = 181;
inline constexpr u16 register_expire_delay = 182;
inline constexpr u16 use_authentication_parameters = 183;
inline constexpr u16 send_sip_register_to_registrar = 184;
// "T.38 remote capabilities": UDPTL 20..29, TPKT 30..36.
inline constexpr u16 rem_udp_t38_version = 20;
inline constexpr u16 rem_udp_max_bit_rate = 21;
inline constexpr u16 rem_udp_rate_management = 22;
inline constexpr u16 rem_udp_fill_bit_removal = 23;
inline constexpr u16 rem_udp_transcoding_mmr = 24;
inline constexpr u16 rem_udp_transcoding_jbig = 25;
inline constexpr u16 rem_udp_max_buffer = 26;
inline constexpr u16 rem_udp_max_datagram = 27;
inline constexpr u16 rem_udp_ec = 28;
inline constexpr u16 rem_udp_force_cap = 29;
inline constexpr u16 rem_tcp_t38_version = 30;
inline constexpr u16 rem_tcp_max_bit_rate = 31;
inline constexpr u16 rem_tcp_rate_management = 32;
inline constexpr u16 rem_tcp_fill_bit_removal = 33;
inline constexpr u16 rem_tcp_transcoding_mmr = 34;
inline constexpr u16 rem_tcp_transcoding_jbig = 35;
inline constexpr u16 rem_tcp_force_cap = 36;
// "T.38 local capabilities": UDPTL 140..148, TPKT 150..155.
inline constexpr u16 lcl_udp_t38_version = 140;
inline constexpr u16 lcl_udp_max_bit_rate = 141;
inline constexpr u16 lcl_udp_rate_management = 142;
inline constexpr u16 lcl_udp_fill_bit_removal = 143;
inline constexpr u16 lcl_udp_transcoding_mmr = 144;
inline constexpr u16 lcl_udp_transcoding_jbig = 145;
inline constexpr u16 lcl_udp_max_buffer = 146;
inline constexpr u16 lcl_udp_max_datagram = 147;
inline constexpr u16 lcl_udp_ec = 148;
inline constexpr u16 lcl_tcp_t38_version = 150;
inline constexpr u16 lcl_tcp_max_bit_rate = 151;
inline constexpr u16 lcl_tcp_rate_management = 152;
inline constexpr u16 lcl_tcp_fill_bit_removal = 153;
inline constexpr u16 lcl_tcp_transcoding_mmr = 154;
inline constexpr u16 lcl_tcp_transcoding_jbig = 155;
// "T.38 media address" (value ids; some keyword ids differ).
inline constexpr u16 incoming_call_no_filter = 40;
inline constexpr u16 local_user_identification = 41;
inline constexpr u16 local_user_name = 42;
inline constexpr u16 local_user_phone_number = 43;
inline constexpr u16 remote_user_identification = 44;
inline constexpr u16 remote_user_name = 45;
inline constexpr u16 remote_user_phone_number = 46;
inline constexpr u16 remote_media_ip_address = 47;
inline constexpr u16 remote_media_port = 48;
inline constexpr u16 local_media_domain_name = 49;
inline constexpr u16 local_media_ip_address = 50;
inline constexpr u16 local_media_port = 51;
inline constexpr u16 update_media_port_rules = 52;
inline constexpr u16 nat_local_media_domain_name = 53;
inline constexpr u16 nat_local_media_ip_address = 54;
inline constexpr u16 nat_local_media_port = 55;
// "FAX common".
inline constexpr u16 fax_id = 60;
inline constexpr u16 max_speed = 61;
inline constexpr u16 min_speed = 62;
inline constexpr u16 ecm_frame_size = 63;
inline constexpr u16 temporary_tiff_file_name = 64;
inline constexpr u16 rx_ecm_frame_size = 65;
inline constexpr u16 rx_page_algorithm = 66;
inline constexpr u16 rx_page_resolution = 67;
inline constexpr u16 rx_page_width = 68;
inline constexpr u16 rx_page_length = 69;
inline constexpr u16 tx_wished_ecm_frame_size = 70;
inline constexpr u16 tx_wished_page_algorithm = 71;
// "FAX Send" and "FAX Send page".
inline constexpr u16 counter_send = 80;
inline constexpr u16 page_header = 81;
inline constexpr u16 bmp_top_margin = 82;
inline constexpr u16 line_padding_mode = 83;
inline constexpr u16 page_tiff_file_name = 90;
inline constexpr u16 page_encoding = 91;
inline constexpr u16 page_resolution = 92;
inline constexpr u16 page_width = 93;
inline constexpr u16 page_length = 94;
// "FAX Receive pages".
inline constexpr u16 rcv_tiff_file_name = 100;
inline constexpr u16 max_received_fax_pages = 101;
inline constexpr u16 max_received_fax_data = 102;
// "Traces / Reports".
inline constexpr u16 display_event = 110;
inline constexpr u16 record_event = 111;
inline constexpr u16 event_file_name = 112;
inline constexpr u16 max_length_of_event_file = 113;
inline constexpr u16 list_of_t38_events = 114;
inline constexpr u16 audit_file_name = 115;
inline constexpr u16 max_length_of_audit_file = 116;
inline constexpr u16 append_audit_file = 117;
inline constexpr u16 t38_trace_file_name = 118;
inline constexpr u16 max_length_of_t38_trace_file = 119;
inline constexpr u16 append_t38_trace_file = 120;
inline constexpr u16 t38_trace_list = 121;
inline constexpr u16 t38_trace_max_asn1_bytes = 122;
inline constexpr u16 t38_trace_full_display = 123;
inline constexpr u16 t38_trace_max_pck_bytes = 124;
inline constexpr u16 t38_trace_max_fax_data = 125;
inline constexpr u16 t38_trace_kept_dfield = 126;
inline constexpr u16 rx_samples_file_name = 127;
inline constexpr u16 tx_samples_file_name = 128;
inline constexpr u16 max_number_of_event_files = 129;
inline constexpr u16 max_number_of_audit_files = 130;
inline constexpr u16 max_number_of_t38_trace_files = 131;
// "Pre-Recorded Samples Stream" and "Debug Fields".
inline constexpr u16 sample_stream_file_name = 200;
inline constexpr u16 tag_debug_field = 210;
inline constexpr u16 debug_field_1 = 211;
inline constexpr u16 debug_field_2 = 212;

// Most elements of "FAX Send page".
inline constexpr u16 max_send_pages = 10;

}  // namespace session_cfg

extern const ini_tools__section app_foip_ini__session_sections[];
extern const ini_tools__keyword app_foip_ini__session_keywords[];
extern const ini_tools__value app_foip_ini__session_defaults[];
extern const ini_tools__array_size app_foip_ini__session_array_sizes[];

// A new session value table holding the defaults (no page to send).
ini_tools__table app_foip_ini__new_session_table();
