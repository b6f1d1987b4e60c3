// glb.cfg: section table, keyword table, named values and default values.
#include "platform/int_types.h"
#include "session/config/app_foip_glb_cfg.h"

#include "session/config/app_foip_ini.h"
#include "session/config/ini_tables.h"

using namespace glb_cfg;

namespace {

constexpr u8 U = INI_TOOLS__UNDEFINED;
constexpr u8 D = INI_TOOLS__DEFAULT;
constexpr u8 I = INI_TOOLS__IGNORED;

// ---------------------------------------------------------------------------
// Named values

constexpr ini_tools__value_name vn_assert_control[] = {{"RESET_DATA_AREA", 2},          {"CHECK_BLOCKS", 4},
                                                       {"CHECK_MSG_BUFFER_HEADER", 8},  {"CHECK_CACHE", 16},
                                                       {"NO_AUDIT__NO_CHECKS", 0x8000}, {"", 0}};

constexpr ini_tools__value_name vn_auto_build_mode[] = {
    {"Disable", 0}, {"Duplicate Loop", 2}, {"Duplicate", 1}, {"", 0}};

constexpr ini_tools__value_name vn_statistic_mode[] = {
    {"No statistic", 0}, {"When no more session running", 1}, {"When statistic timer is ended up", 111}, {"", 0}};

constexpr ini_tools__value_name vn_incoming_call_mode[] = {
    {"Register all sessions", 1}, {"Wait FOIP__ALERT_IN", 2}, {"", 0}};

constexpr ini_tools__value_name vn_operating_mode[] = {{"FOIP__WAIT_RE_INVITE", 1},
                                                       {"FOIP__SEND_RE_INVITE", 2},
                                                       {"FOIP__INVITE_MEDIA_AUDIO__WAIT_RE_INVITE", 3},
                                                       {"FOIP__INVITE_MEDIA_AUDIO__SEND_RE_INVITE", 4},
                                                       {"FOIP__INVITE_MEDIA_AUDIO__SEND_RE_INVITE_T38", 5},
                                                       {"FOIP__SEND_RE_INVITE__2", 6},
                                                       {"FOIP__INVITE_MEDIA_AUDIO__WAIT_RE_INVITE__2", 7},
                                                       {"FOIP__INVITE_MEDIA_AUDIO__SEND_RE_INVITE__2", 8},
                                                       {"Wait re-invite", 1},
                                                       {"Send re-invite", 2},
                                                       {"Wait re-invite (Audio Media)", 3},
                                                       {"Send re-invite (Audio Media)", 4},
                                                       {"", 0}};

constexpr ini_tools__value_name vn_event[] = {{"CNF_GLB", 1},
                                              {"CNF_SESSION", 2},
                                              {"T38_EVT", 4},
                                              {"SMNGT_EVT", 256},
                                              {"SMNGT_STAT", 512},
                                              {"T38_STAT", 8},
                                              {"FAX_EVT", 16},
                                              {"SIP_EVT", 32},
                                              {"USR_MNGT_EVT", 1024},
                                              {"USR_MSG", 2048},
                                              {"USR_MSG_FULL", 4096},
                                              {"USR_IPC", 8192},
                                              {"USR_IPC_ERR", 16384},
                                              {"CNF", 1},
                                              {"USER_1", 1024},
                                              {"USER_2", 2048},
                                              {"USER_3", 4096},
                                              {"USER_4", 8192},
                                              {"", 0}};

constexpr ini_tools__value_name vn_log_options[] = {{"SEND_MSG", 256},        {"RCV_MSG", 512},
                                                    {"ALLOC_FREE_MSG", 1024}, {"ALLOC_FREE_BUFFER", 2048},
                                                    {"IT_GET_PUT_MSG", 4096}, {"IT_GET_PUT_BUFFER", 8192},
                                                    {"TIMER", 16384},         {"", 0}};

constexpr ini_tools__value_name vn_filter_mode[] = {{"check all fields", 2}, {"ignore field code", 3}, {"", 0}};

constexpr ini_tools__value_name vn_entities[] = {
    {"ENT_SM", 122},  {"ENT_FOIP", 129}, {"ENT_APP_FOIP", 65}, {"ENT_FAX", 128}, {"ENT_CF", 115},  {"ENT_ACU", 117},
    {"ENT_MT30", 69}, {"ENT_MFM", 70},   {"ENT_T30", 101},     {"ENT_FM", 102},  {"ENT_SIP", 126}, {"ENT_SSC", 131},
    {"ENT_IP", 73},   {"ENT_T38", 74},   {"ENT_PH_IT", 113},   {"ENT_TI", 84},   {"ENT_FC", 133},  {"", 0}};

// ---------------------------------------------------------------------------
// Keyword names

INI_NAMES(n_display_progress_bar, INI_V("display progress bar"), INI_C("glb_trc_param.event.flag_display_progress_bar"))
INI_NAMES(n_assert_control, INI_V("assert control"))
INI_NAMES(n_overwrite_rcv_fax_pages, INI_V("overwrite rcv fax pages"))
INI_NAMES(n_path_of_session_files, INI_V("path of session files"))
INI_NAMES(n_path_of_trace_files, INI_V("path of trace files"))
INI_NAMES(n_nb_simultaneous_start, INI_V("nb simultaneous start"), INI_C("glb_common_param.nb_simultaneous_start_stop"))
INI_NAMES(n_local_ipc_port, INI_V("Local inter process communication port"))
INI_NAMES(n_remote_ipc_port, INI_V("Remote inter process communication port"))
INI_NAMES(n_launch_batch_process, INI_V("launch batch process"))
INI_NAMES(n_batch_session_counter, INI_V("batch session counter"))
INI_NAMES(n_session_delay, INI_V("session delay"))
INI_NAMES(n_batch_nb_simultaneous_start, INI_V("nb simultaneous start"))
INI_NAMES(n_mode, INI_V("mode"))
INI_NAMES(n_number_of_sessions, INI_V("number of sessions"))
INI_NAMES(n_session_reference, INI_V("session reference"))
INI_NAMES(n_session_reference_2, INI_V("session reference 2"))
INI_NAMES(n_statistic_timer, INI_V("statistic timer"))
INI_NAMES(n_sip_incoming_call_mode, INI_V("SIP incoming call mode"))
INI_NAMES(n_sip_operating_mode, INI_V("SIP operating mode"), INI_C("operating_mode"))
INI_NAMES(n_sip_delay, INI_V("SIP delay"), INI_C("re_invite_delay"))
INI_NAMES(n_local_sip_domain_name, INI_V("local SIP domain name"), INI_C("local_sip_addr.sz_fqdn"))
INI_NAMES(n_local_sip_ip_address, INI_V("local SIP IP address"), INI_C("local_sip_addr.ip_addr.addr.vX"))
INI_NAMES(n_local_sip_port, INI_V("local SIP IP port"), INI_V("local SIP port"), INI_C("local_sip_port.ip_port"))
INI_NAMES(n_nat_support, INI_V("NAT support"), INI_C("flag_nat_support"))
INI_NAMES(n_nat_local_sip_domain_name, INI_V("(NAT) local SIP Domain Name"), INI_C("nat_local_sip_addr.sz_fqdn"))
INI_NAMES(n_nat_local_sip_ip_address, INI_V("(NAT) local SIP IP address"), INI_C("nat_local_sip_addr.ip_addr.addr.vX"))
INI_NAMES(n_nat_local_sip_port, INI_V("(NAT) local SIP IP port"), INI_V("(NAT) local SIP port"),
          INI_C("nat_local_sip_addr.ip_port"))
INI_NAMES(n_outbound_domain_name, INI_V("Outbound SIP proxy domain name"), INI_C("outproxy_addr.sz_fqdn"))
INI_NAMES(n_outbound_ip_address, INI_V("Outbound SIP proxy IP address"), INI_C("outproxy_addr.ip_addr.addr.vX"))
INI_NAMES(n_outbound_port, INI_V("Outbound SIP proxy port"), INI_C("outproxy_addr.ip_port"))
INI_NAMES(n_registrar_domain_name, INI_V("Registrar domain name"), INI_C("registrar_addr.sz_fqdn"))
INI_NAMES(n_registrar_ip_address, INI_V("Registrar IP address"), INI_C("registrar_addr.ip_addr.addr.vX"))
INI_NAMES(n_registrar_port, INI_V("Registrar port"), INI_C("registrar_addr.ip_port"))
INI_NAMES(n_session_file_name, INI_V("session file name"), INI_V("file name session"), INI_V("fname session"))
INI_NAMES(n_display_event, INI_V("display event"), INI_C("event.display_event_bfi"))
INI_NAMES(n_level_displayed, INI_V("level of sip event displayed"))
INI_NAMES(n_record_event, INI_V("record event"), INI_C("event.record_event_bfi"))
INI_NAMES(n_level_recorded, INI_V("level of sip event recorded"))
INI_NAMES(n_event_file_name, INI_V("event file name"), INI_V("file name event"), INI_V("fname event"),
          INI_C("event.sz_fname_event"))
INI_NAMES(n_max_length_event, INI_V("max length of event file"), INI_V("max length of file event"),
          INI_C("event.max_length_of_event_file"))
INI_NAMES(n_max_number_event, INI_V("max number of event log files"), INI_C("event.nb_of_multiple_event_files"))
INI_NAMES(n_audit_file_name, INI_V("audit file name"), INI_V("file name audit"), INI_V("fname audit"),
          INI_C("audit.sz_fname_audit"))
INI_NAMES(n_max_length_audit, INI_V("max length of audit file"), INI_V("max length of file audit"),
          INI_C("audit.max_length_of_audit_file"))
INI_NAMES(n_max_number_audit, INI_V("max number of audit log files"), INI_C("audit.nb_of_multiple_audit_files"))
INI_NAMES(n_log_options, INI_V("log options"), INI_V("log options control"))
INI_NAMES(n_filter_mode, INI_V("mode"), INI_C("audit_filter.item_mode"))
INI_NAMES(n_entity_from, INI_V("entity from"), INI_C("audit_filter.from"))
INI_NAMES(n_entity_to, INI_V("entity to"), INI_C("audit_filter.to"))
INI_NAMES(n_primitive_code, INI_V("primitive code"), INI_V("msg code"), INI_C("audit_filter.code"))
INI_NAMES(n_ascii_primitive_code, INI_V("Ascii primitive code"), INI_V("Ascii Msg code"), INI_C("audit_filter.sz_code"))
INI_NAMES(n_tag_debug_field, INI_V("Tag debug Field"), INI_C("tag_dbg_field_are_loaded"))
INI_NAMES(n_debug_field_1, INI_V("debug field 1"), INI_C("dbg_field1"))
INI_NAMES(n_debug_field_2, INI_V("debug field 2"), INI_C("dbg_field2"))

constexpr i32 kMaxI32 = 2147483647;

}  // namespace

// ---------------------------------------------------------------------------
// Sections

const ini_tools__section app_foip_ini__glb_sections[] = {
    {"General", sec_general,
     INI_SC("Settings common to the whole program: progress bar, checks of the runtime,")
         INI_SL("folders of the session and trace files, start-up pacing."),
     ""},
    {"Inter Process Communication", sec_ipc,
     INI_SC("Kept for older files: the keywords are accepted and have no effect."), ""},
    {"Batch processing", sec_batch_processing,
     INI_SC("Batch runs: the sessions are started again and again, one batch after")
         INI_SL("the other, with a delay between two starts."),
     ""},
    {"Batch Auto Build", sec_batch_auto_build,
     INI_SC("Builds the session list from one or two reference session files instead of")
         INI_SL("the [[Session configurations]] array."),
     ""},
    {"Batch statistics", sec_batch_statistics, INI_SC("When the statistics of a batch run are printed."), ""},
    {"SIP", sec_sip,
     INI_SC("Local SIP identity of the program: domain name, address and port, with")
         INI_SL("the address and port seen from outside when a NAT stands in between."),
     "struct foip__glb_sip_param"},
    {"SIP Outbound Proxy", sec_sip_outbound_proxy,
     INI_SC("Proxy through which every outgoing SIP request is sent (optional)."), "struct foip__glb_outbound_proxy"},
    {"SIP Registrar server", sec_sip_registrar, INI_SC("Registrar to which the sessions register (optional)."),
     "struct foip__glb_registrar"},
    {"Session configurations", sec_session_configurations,
     INI_SC("One element per session: the configuration file of that session.")
         INI_SL("The first element configures session 1, the second session 2, ..."),
     ""},
    {"Traces / Reports", sec_traces,
     INI_SC("Which events are shown on the console and recorded in the event file,")
         INI_SL("and the event and message audit files."),
     "struct foip__glb_trc_param"},
    {"Message Audit Filtering", sec_audit_filtering,
     INI_SC("Each element is one filter of the message audit: messages matching a")
         INI_SL("filter are not written to the audit file."),
     "struct foip__glb_audit_filter"},
    {"Debug Fields", sec_debug, INI_SC("Values handed to the program for debugging only."),
     "struct foip__glb_common_param"},
    {"", 0, nullptr, nullptr},
};

// ---------------------------------------------------------------------------
// Keywords

const ini_tools__keyword app_foip_ini__glb_keywords[] = {
    {n_display_progress_bar, display_progress_bar, sec_general, INI_TOOLS__BOOL, nullptr, 0, 0, display_progress_bar},
    {n_assert_control, assert_control, sec_general, INI_TOOLS__BFI, vn_assert_control, 1, 0, assert_control},
    {n_overwrite_rcv_fax_pages, overwrite_rcv_fax_pages, sec_general, INI_TOOLS__BOOL, nullptr, 0, 0,
     overwrite_rcv_fax_pages},
    {n_path_of_session_files, path_of_session_files, sec_general, INI_TOOLS__FILE, nullptr, 0, 0,
     path_of_session_files},
    {n_path_of_trace_files, path_of_trace_files, sec_general, INI_TOOLS__FILE, nullptr, 0, 0, path_of_trace_files},
    {n_nb_simultaneous_start, nb_simultaneous_start, sec_general, INI_TOOLS__NUM, nullptr, 1, 65535,
     nb_simultaneous_start},
    {n_local_ipc_port, local_ipc_port, sec_ipc, INI_TOOLS__NUM, nullptr, 0, 65535, local_ipc_port},
    {n_remote_ipc_port, remote_ipc_port, sec_ipc, INI_TOOLS__NUM, nullptr, 0, 65535, remote_ipc_port},
    {n_launch_batch_process, launch_batch_process, sec_batch_processing, INI_TOOLS__BOOL, nullptr, 0, 0,
     launch_batch_process},
    {n_batch_session_counter, batch_session_counter, sec_batch_processing, INI_TOOLS__NUM, nullptr, 0, 65535,
     batch_session_counter},
    {n_session_delay, session_delay, sec_batch_processing, INI_TOOLS__NUM, nullptr, 0, 200, session_delay},
    {n_batch_nb_simultaneous_start, batch_nb_simultaneous_start, sec_batch_processing, INI_TOOLS__NUM, nullptr, 1,
     65535, batch_nb_simultaneous_start},
    {n_mode, auto_build_mode, sec_batch_auto_build, INI_TOOLS__STR_ID, vn_auto_build_mode, 0, 0, auto_build_mode},
    {n_number_of_sessions, auto_build_number_of_sessions, sec_batch_auto_build, INI_TOOLS__NUM, nullptr, 0, 9999,
     auto_build_number_of_sessions},
    {n_session_reference, auto_build_session_reference, sec_batch_auto_build, INI_TOOLS__FILE, nullptr, 0, 0,
     auto_build_session_reference},
    {n_session_reference_2, auto_build_session_reference_2, sec_batch_auto_build, INI_TOOLS__FILE, nullptr, 0, 0,
     auto_build_session_reference_2},
    {n_path_of_trace_files, auto_build_path_of_trace_files, sec_batch_auto_build, INI_TOOLS__FILE, nullptr, 0, 0,
     auto_build_path_of_trace_files},
    {n_mode, statistic_mode, sec_batch_statistics, INI_TOOLS__STR_ID, vn_statistic_mode, 0, 0, statistic_mode},
    {n_statistic_timer, statistic_timer, sec_batch_statistics, INI_TOOLS__NUM, nullptr, 5, 65535, statistic_timer},
    {n_sip_incoming_call_mode, sip_incoming_call_mode, sec_sip, INI_TOOLS__STR_ID, vn_incoming_call_mode, 0, 0,
     sip_incoming_call_mode},
    {n_sip_operating_mode, sip_operating_mode, sec_sip, INI_TOOLS__STR_ID, vn_operating_mode, 0, 0, sip_operating_mode},
    {n_sip_delay, sip_delay, sec_sip, INI_TOOLS__NUM, nullptr, 100, 50000, sip_delay},
    {n_local_sip_domain_name, local_sip_domain_name, sec_sip, INI_TOOLS__STRING, nullptr, 0, 64, local_sip_domain_name},
    {n_local_sip_ip_address, local_sip_ip_address, sec_sip, INI_TOOLS__IP_ADD, nullptr, 0, 0, local_sip_ip_address},
    {n_local_sip_port, local_sip_port, sec_sip, INI_TOOLS__NUM, nullptr, 0, 65535, local_sip_port},
    {n_nat_support, nat_support, sec_sip, INI_TOOLS__BOOL, nullptr, 0, 0, nat_support},
    {n_nat_local_sip_domain_name, nat_local_sip_domain_name, sec_sip, INI_TOOLS__STRING, nullptr, 0, 64,
     nat_local_sip_domain_name},
    {n_nat_local_sip_ip_address, nat_local_sip_ip_address, sec_sip, INI_TOOLS__IP_ADD, nullptr, 0, 0,
     nat_local_sip_ip_address},
    {n_nat_local_sip_port, nat_local_sip_port, sec_sip, INI_TOOLS__NUM, nullptr, 0, 65535, nat_local_sip_port},
    {n_outbound_domain_name, outbound_proxy_domain_name, sec_sip_outbound_proxy, INI_TOOLS__STRING, nullptr, 0, 64,
     outbound_proxy_domain_name},
    {n_outbound_ip_address, outbound_proxy_ip_address, sec_sip_outbound_proxy, INI_TOOLS__IP_ADD, nullptr, 0, 0,
     outbound_proxy_ip_address},
    {n_outbound_port, outbound_proxy_port, sec_sip_outbound_proxy, INI_TOOLS__NUM, nullptr, 0, 65535,
     outbound_proxy_port},
    {n_registrar_domain_name, registrar_domain_name, sec_sip_registrar, INI_TOOLS__STRING, nullptr, 0, 64,
     registrar_domain_name},
    {n_registrar_ip_address, registrar_ip_address, sec_sip_registrar, INI_TOOLS__IP_ADD, nullptr, 0, 0,
     registrar_ip_address},
    {n_registrar_port, registrar_port, sec_sip_registrar, INI_TOOLS__NUM, nullptr, 0, 65535, registrar_port},
    {n_session_file_name, session_file_name, sec_session_configurations, INI_TOOLS__FILE, nullptr, 0, 0,
     session_file_name},
    {n_display_event, display_event, sec_traces, INI_TOOLS__BFI, vn_event, 1, 0, display_event},
    {n_level_displayed, level_of_sip_event_displayed, sec_traces, INI_TOOLS__NUM, nullptr, 1, 3,
     level_of_sip_event_displayed},
    {n_record_event, record_event, sec_traces, INI_TOOLS__BFI, vn_event, 1, 0, record_event},
    {n_level_recorded, level_of_sip_event_recorded, sec_traces, INI_TOOLS__NUM, nullptr, 1, 3,
     level_of_sip_event_recorded},
    {n_event_file_name, event_file_name, sec_traces, INI_TOOLS__FILE, nullptr, 0, 0, event_file_name},
    {n_max_length_event, max_length_of_event_file, sec_traces, INI_TOOLS__NUM, nullptr, 0, 65535,
     max_length_of_event_file},
    {n_max_number_event, max_number_of_event_files, sec_traces, INI_TOOLS__NUM, nullptr, 1, 127,
     max_number_of_event_files},
    {n_audit_file_name, audit_file_name, sec_traces, INI_TOOLS__FILE, nullptr, 0, 0, audit_file_name},
    {n_max_length_audit, max_length_of_audit_file, sec_traces, INI_TOOLS__NUM, nullptr, 0, 65535,
     max_length_of_audit_file},
    {n_max_number_audit, max_number_of_audit_files, sec_traces, INI_TOOLS__NUM, nullptr, 1, 127,
     max_number_of_audit_files},
    {n_log_options, log_options, sec_traces, INI_TOOLS__BFI, vn_log_options, 1, 0, log_options},
    {n_filter_mode, filter_mode, sec_audit_filtering, INI_TOOLS__STR_ID, vn_filter_mode, 0, 0, filter_mode},
    {n_entity_from, filter_entity_from, sec_audit_filtering, INI_TOOLS__STR_ID, vn_entities, 0, 0, filter_entity_from},
    {n_entity_to, filter_entity_to, sec_audit_filtering, INI_TOOLS__STR_ID, vn_entities, 0, 0, filter_entity_to},
    {n_primitive_code, filter_primitive_code, sec_audit_filtering, INI_TOOLS__CHAR, nullptr, 0, 0,
     filter_primitive_code},
    {n_ascii_primitive_code, filter_ascii_primitive_code, sec_audit_filtering, INI_TOOLS__STRING, nullptr, 0, 30,
     filter_ascii_primitive_code},
    {n_tag_debug_field, tag_debug_field, sec_debug, INI_TOOLS__NUM, nullptr, 0, kMaxI32, tag_debug_field},
    {n_debug_field_1, debug_field_1, sec_debug, INI_TOOLS__NUM, nullptr, 0, kMaxI32, debug_field_1},
    {n_debug_field_2, debug_field_2, sec_debug, INI_TOOLS__NUM, nullptr, 0, kMaxI32, debug_field_2},
    {nullptr, 0, 0, 0, nullptr, 0, 0, 0},
};

// ---------------------------------------------------------------------------
// Default values, in the order of the file

const ini_tools__value app_foip_ini__glb_defaults[] = {
    INI_D_BOOL(display_progress_bar, sec_general, D, 0,
               INI_KC("Shows a progress line on the console: counters of batches, T.38")
                   INI_KL("sessions and SIP calls, and one letter per T.38 session.")),
    INI_D_WITH_FN(INI_TOOLS__BFI, assert_control, sec_general, D, ini_tools__datum{.num = 0},
                  app_foip_ini__assert_control_comment),
    INI_D_BOOL(overwrite_rcv_fax_pages, sec_general, D, 0,
               INI_KC("TRUE: a received fax overwrites the file of an earlier one of the same name.")),
    INI_D_FILE(path_of_session_files, sec_general, D,
               INI_KC("Folder put in front of every session file name of the array")
                   INI_KL("[[Session configurations]]; none: the names are used as written.")),
    INI_D_FILE(path_of_trace_files, sec_general, D, INI_KC("Folder put in front of the event and audit file names.")),
    INI_D_NUM(nb_simultaneous_start, sec_general, D, 10,
              INI_KC("Sessions started or stopped at the same time (at most 62 are used).")),
    INI_D_NUM(local_ipc_port, sec_ipc, I, 2000, nullptr),
    INI_D_NUM(remote_ipc_port, sec_ipc, I, 2010, nullptr),
    INI_D_BOOL(launch_batch_process, sec_batch_processing, D, 0, INI_KC("TRUE: the sessions are run as batches.")),
    INI_D_NUM(batch_session_counter, sec_batch_processing, D, 1, INI_KC("Number of batches to run.")),
    INI_D_NUM(session_delay, sec_batch_processing, D, 5, INI_KC("Delay between two session starts, in seconds.")),
    INI_D_NUM(batch_nb_simultaneous_start, sec_batch_processing, D, 10,
              INI_KC("Sessions started at the same time when [General] does not set")
                  INI_KL("its keyword of that name.")),
    INI_D_WITH_FN(INI_TOOLS__STR_ID, auto_build_mode, sec_batch_auto_build, D, ini_tools__datum{.id = 0},
                  app_foip_ini__auto_build_mode_comment),
    INI_D_NUM(auto_build_number_of_sessions, sec_batch_auto_build, D, 10, INI_KC("Number of sessions to build.")),
    INI_D_FILE(auto_build_session_reference, sec_batch_auto_build, U,
               INI_KC("Session file copied for the built sessions.")),
    INI_D_FILE(auto_build_session_reference_2, sec_batch_auto_build, U,
               INI_KC("Second session file, used for every other built session.")),
    INI_D_FILE(auto_build_path_of_trace_files, sec_batch_auto_build, D,
               INI_KC("Folder of the trace files of the built sessions.")),
    INI_D_STR_ID(statistic_mode, sec_batch_statistics, D, 0, INI_KC("When the batch statistics are printed.")),
    INI_D_NUM(statistic_timer, sec_batch_statistics, D, 10, INI_KC("Period of the statistic timer, in seconds.")),
    INI_D_STR_ID(sip_incoming_call_mode, sec_sip, D, 2,
                 INI_KC("How incoming calls are taken: every session registers, or a session")
                     INI_KL("is chosen when the call arrives.")),
    INI_D_STR_ID(sip_operating_mode, sec_sip, D, 1,
                 INI_KC("How T.38 is reached in a call: wait for or send a re-INVITE, with or")
                     INI_KL("without an audio offer first.")),
    INI_D_NUM(sip_delay, sec_sip, D, 10000, INI_KC("Delay before the re-INVITE, in milliseconds.")),
    INI_D_STRING(local_sip_domain_name, sec_sip, D, nullptr, INI_KC("Local SIP domain name.")),
    INI_D_IP(local_sip_ip_address, sec_sip, D, INI_KC("Local SIP IPv4 address; empty: the host's own address.")),
    INI_D_NUM(local_sip_port, sec_sip, D, 5060, INI_KC("Local SIP UDP port.")),
    INI_D_BOOL(nat_support, sec_sip, D, 0, INI_KC("TRUE: the (NAT) values below are announced in SIP and SDP.")),
    INI_D_STRING(nat_local_sip_domain_name, sec_sip, D, nullptr, INI_KC("SIP domain name seen from outside the NAT.")),
    INI_D_IP(nat_local_sip_ip_address, sec_sip, D, INI_KC("SIP IPv4 address seen from outside the NAT.")),
    INI_D_NUM(nat_local_sip_port, sec_sip, D, 5060, INI_KC("SIP port seen from outside the NAT.")),
    INI_D_STRING(outbound_proxy_domain_name, sec_sip_outbound_proxy, D, nullptr,
                 INI_KC("Domain name of the outbound proxy.")),
    INI_D_IP(outbound_proxy_ip_address, sec_sip_outbound_proxy, D, INI_KC("IPv4 address of the outbound proxy.")),
    INI_D_NUM(outbound_proxy_port, sec_sip_outbound_proxy, D, 5060, INI_KC("SIP port of the outbound proxy.")),
    INI_D_STRING(registrar_domain_name, sec_sip_registrar, D, nullptr, INI_KC("Domain name of the registrar.")),
    INI_D_IP(registrar_ip_address, sec_sip_registrar, D, INI_KC("IPv4 address of the registrar.")),
    INI_D_NUM(registrar_port, sec_sip_registrar, D, 5060, INI_KC("SIP port of the registrar.")),
    INI_D_FILE(session_file_name, sec_session_configurations, U, INI_KC("Configuration file of the session.")),
    INI_D_COMMENT(sec_traces, INI_CL("Log files: when a file reaches its maximum length it is closed and a")
                                  INI_CL("new one is opened; the names end with a counter, and the oldest file")
                                      INI_CL("is removed once the maximum number of files is reached.")),
    INI_D_BFI(display_event, sec_traces, D, 0, INI_KC("Classes of events shown on the console.")),
    INI_D_NUM(level_of_sip_event_displayed, sec_traces, D, 1, INI_KC("Detail of the SIP events shown (1 to 3).")),
    INI_D_BFI(record_event, sec_traces, D, 0, INI_KC("Classes of events recorded in the event file.")),
    INI_D_NUM(level_of_sip_event_recorded, sec_traces, D, 1, INI_KC("Detail of the SIP events recorded (1 to 3).")),
    INI_D_FILE(event_file_name, sec_traces, D, INI_KC("Event file; none: events are not recorded.")),
    INI_D_NUM(max_length_of_event_file, sec_traces, D, 0, INI_KC("Longest event file before a new one is opened.")),
    INI_D_NUM(max_number_of_event_files, sec_traces, D, 5, INI_KC("Event files kept.")),
    INI_D_FILE(audit_file_name, sec_traces, D, INI_KC("Message audit file; none: no audit.")),
    INI_D_NUM(max_length_of_audit_file, sec_traces, D, 0, INI_KC("Longest audit file before a new one is opened.")),
    INI_D_NUM(max_number_of_audit_files, sec_traces, D, 5, INI_KC("Audit files kept.")),
    INI_D_BFI(log_options, sec_traces, D, 256 | 512, INI_KC("Runtime operations written to the audit file.")),
    INI_D_STR_ID(filter_mode, sec_audit_filtering, D, 2,
                 INI_KC("check all fields: entities and code must match; ignore field code:")
                     INI_KL("the entities alone select the messages.")),
    INI_D_STR_ID(filter_entity_from, sec_audit_filtering, U, 0, INI_KC("Sending entity of the filtered messages.")),
    INI_D_STR_ID(filter_entity_to, sec_audit_filtering, U, 0, INI_KC("Receiving entity of the filtered messages.")),
    INI_D_CHAR(filter_primitive_code, sec_audit_filtering, U, 0, INI_KC("Primitive code of the filtered messages.")),
    INI_D_STRING(filter_ascii_primitive_code, sec_audit_filtering, D, " ",
                 INI_KC("Name of the primitive, for the reader of the file.")),
    INI_D_NUM(tag_debug_field, sec_debug, D, 0, INI_KC("Debug fields are loaded when not 0.")),
    INI_D_NUM(debug_field_1, sec_debug, D, 0, INI_KC("Free value handed to the program for debugging.")),
    INI_D_NUM(debug_field_2, sec_debug, D, 0, INI_KC("Free value handed to the program for debugging.")),
    INI_D_END,
};

const ini_tools__array_size app_foip_ini__glb_array_sizes[] = {
    {sec_session_configurations, max_session_files},
    {sec_audit_filtering, max_audit_filters},
    {0, 0},
};

ini_tools__table app_foip_ini__new_glb_table() {
  return ini_tools__table(app_foip_ini__glb_defaults, app_foip_ini__glb_array_sizes);
}
