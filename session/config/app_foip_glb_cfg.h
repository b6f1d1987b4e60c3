// Tables of the global configuration file glb.cfg: sections, keywords and the
// global value table's defaults.
#pragma once

#include <cstdint>

#include "platform/int_types.h"
#include "session/config/ini_tools.h"

namespace glb_cfg {

// Section ids.
inline constexpr u16 sec_general = 1;
inline constexpr u16 sec_ipc = 2;
inline constexpr u16 sec_batch_processing = 3;
inline constexpr u16 sec_batch_auto_build = 4;
inline constexpr u16 sec_batch_statistics = 5;
inline constexpr u16 sec_sip = 6;
inline constexpr u16 sec_sip_outbound_proxy = 7;
inline constexpr u16 sec_sip_registrar = 8;
inline constexpr u16 sec_session_configurations = 0x8009;
inline constexpr u16 sec_traces = 10;
inline constexpr u16 sec_audit_filtering = 0x800B;
inline constexpr u16 sec_debug = 12;

// Value ids.
inline constexpr u16 display_progress_bar = 1;
inline constexpr u16 assert_control = 2;
inline constexpr u16 overwrite_rcv_fax_pages = 3;
inline constexpr u16 path_of_session_files = 4;
inline constexpr u16 path_of_trace_files = 5;
inline constexpr u16 nb_simultaneous_start = 6;
inline constexpr u16 launch_batch_process = 10;
inline constexpr u16 batch_session_counter = 11;
inline constexpr u16 session_delay = 12;
inline constexpr u16 batch_nb_simultaneous_start = 13;
inline constexpr u16 auto_build_mode = 20;
inline constexpr u16 auto_build_number_of_sessions = 21;
inline constexpr u16 auto_build_session_reference = 22;
inline constexpr u16 auto_build_session_reference_2 = 23;
inline constexpr u16 auto_build_path_of_trace_files = 24;
inline constexpr u16 statistic_mode = 30;
inline constexpr u16 statistic_timer = 31;
inline constexpr u16 sip_incoming_call_mode = 40;
inline constexpr u16 sip_operating_mode = 41;
inline constexpr u16 sip_delay = 42;
inline constexpr u16 local_sip_domain_name = 43;
inline constexpr u16 local_sip_ip_address = 44;
inline constexpr u16 local_sip_port = 45;
inline constexpr u16 nat_support = 46;
inline constexpr u16 nat_local_sip_domain_name = 47;
inline constexpr u16 nat_local_sip_ip_address = 48;
inline constexpr u16 nat_local_sip_port = 49;
inline constexpr u16 session_file_name = 80;
inline constexpr u16 outbound_proxy_domain_name = 90;
inline constexpr u16 outbound_proxy_ip_address = 91;
inline constexpr u16 outbound_proxy_port = 92;
inline constexpr u16 registrar_domain_name = 100;
inline constexpr u16 registrar_ip_address = 101;
inline constexpr u16 registrar_port = 102;
inline constexpr u16 local_ipc_port = 110;
inline constexpr u16 remote_ipc_port = 111;
inline constexpr u16 display_event = 60;
inline constexpr u16 level_of_sip_event_displayed = 61;
inline constexpr u16 record_event = 62;
inline constexpr u16 level_of_sip_event_recorded = 63;
inline constexpr u16 event_file_name = 64;
inline constexpr u16 max_length_of_event_file = 65;
inline constexpr u16 audit_file_name = 66;
inline constexpr u16 max_length_of_audit_file = 67;
inline constexpr u16 log_options = 68;
inline constexpr u16 max_number_of_event_files = 77;
inline constexpr u16 max_number_of_audit_files = 78;
inline constexpr u16 filter_mode = 70;
inline constexpr u16 filter_entity_from = 71;
inline constexpr u16 filter_entity_to = 72;
inline constexpr u16 filter_primitive_code = 73;
inline constexpr u16 filter_ascii_primitive_code = 74;
inline constexpr u16 tag_debug_field = 120;
inline constexpr u16 debug_field_1 = 121;
inline constexpr u16 debug_field_2 = 122;

// Most elements of the two array sections.
inline constexpr u16 max_session_files = 62;
inline constexpr u16 max_audit_filters = 20;

}  // namespace glb_cfg

extern const ini_tools__section app_foip_ini__glb_sections[];
extern const ini_tools__keyword app_foip_ini__glb_keywords[];
extern const ini_tools__value app_foip_ini__glb_defaults[];
extern const ini_tools__array_size app_foip_ini__glb_array_sizes[];

// A new global value table holding the defaults (arrays empty).
ini_tools__table app_foip_ini__new_glb_table();
