// Tables of the global configuration file glb.cfg: sections, keywords and the
// global value table's defaults.
#pragma once

#include <cstdint>

#include "session/config/ini_tools.h"

namespace glb_cfg {

// Section ids.
inline constexpr uint16_t sec_general = 1;
inline constexpr uint16_t sec_ipc = 2;
inline constexpr uint16_t sec_batch_processing = 3;
inline constexpr uint16_t sec_batch_auto_build = 4;
inline constexpr uint16_t sec_batch_statistics = 5;
inline constexpr uint16_t sec_sip = 6;
inline constexpr uint16_t sec_sip_outbound_proxy = 7;
inline constexpr uint16_t sec_sip_registrar = 8;
inline constexpr uint16_t sec_session_configurations = 0x8009;
inline constexpr uint16_t sec_traces = 10;
inline constexpr uint16_t sec_audit_filtering = 0x800B;
inline constexpr uint16_t sec_debug = 12;

// Value ids.
inline constexpr uint16_t display_progress_bar = 1;
inline constexpr uint16_t assert_control = 2;
inline constexpr uint16_t overwrite_rcv_fax_pages = 3;
inline constexpr uint16_t path_of_session_files = 4;
inline constexpr uint16_t path_of_trace_files = 5;
inline constexpr uint16_t nb_simultaneous_start = 6;
inline constexpr uint16_t launch_batch_process = 10;
inline constexpr uint16_t batch_session_counter = 11;
inline constexpr uint16_t session_delay = 12;
inline constexpr uint16_t batch_nb_simultaneous_start = 13;
inline constexpr uint16_t auto_build_mode = 20;
inline constexpr uint16_t auto_build_number_of_sessions = 21;
inline constexpr uint16_t auto_build_session_reference = 22;
inline constexpr uint16_t auto_build_session_reference_2 = 23;
inline constexpr uint16_t auto_build_path_of_trace_files = 24;
inline constexpr uint16_t statistic_mode = 30;
inline constexpr uint16_t statistic_timer = 31;
inline constexpr uint16_t sip_incoming_call_mode = 40;
inline constexpr uint16_t sip_operating_mode = 41;
inline constexpr uint16_t sip_delay = 42;
inline constexpr uint16_t local_sip_domain_name = 43;
inline constexpr uint16_t local_sip_ip_address = 44;
inline constexpr uint16_t local_sip_port = 45;
inline constexpr uint16_t nat_support = 46;
inline constexpr uint16_t nat_local_sip_domain_name = 47;
inline constexpr uint16_t nat_local_sip_ip_address = 48;
inline constexpr uint16_t nat_local_sip_port = 49;
inline constexpr uint16_t session_file_name = 80;
inline constexpr uint16_t outbound_proxy_domain_name = 90;
inline constexpr uint16_t outbound_proxy_ip_address = 91;
inline constexpr uint16_t outbound_proxy_port = 92;
inline constexpr uint16_t registrar_domain_name = 100;
inline constexpr uint16_t registrar_ip_address = 101;
inline constexpr uint16_t registrar_port = 102;
inline constexpr uint16_t local_ipc_port = 110;
inline constexpr uint16_t remote_ipc_port = 111;
inline constexpr uint16_t display_event = 60;
inline constexpr uint16_t level_of_sip_event_displayed = 61;
inline constexpr uint16_t record_event = 62;
inline constexpr uint16_t level_of_sip_event_recorded = 63;
inline constexpr uint16_t event_file_name = 64;
inline constexpr uint16_t max_length_of_event_file = 65;
inline constexpr uint16_t audit_file_name = 66;
inline constexpr uint16_t max_length_of_audit_file = 67;
inline constexpr uint16_t log_options = 68;
inline constexpr uint16_t max_number_of_event_files = 77;
inline constexpr uint16_t max_number_of_audit_files = 78;
inline constexpr uint16_t filter_mode = 70;
inline constexpr uint16_t filter_entity_from = 71;
inline constexpr uint16_t filter_entity_to = 72;
inline constexpr uint16_t filter_primitive_code = 73;
inline constexpr uint16_t filter_ascii_primitive_code = 74;
inline constexpr uint16_t tag_debug_field = 120;
inline constexpr uint16_t debug_field_1 = 121;
inline constexpr uint16_t debug_field_2 = 122;

// Most elements of the two array sections.
inline constexpr uint16_t max_session_files = 62;
inline constexpr uint16_t max_audit_filters = 20;

}  // namespace glb_cfg

extern const ini_tools__section app_foip_ini__glb_sections[];
extern const ini_tools__keyword app_foip_ini__glb_keywords[];
extern const ini_tools__value app_foip_ini__glb_defaults[];
extern const ini_tools__array_size app_foip_ini__glb_array_sizes[];

// A new global value table holding the defaults (arrays empty).
ini_tools__table app_foip_ini__new_glb_table();
