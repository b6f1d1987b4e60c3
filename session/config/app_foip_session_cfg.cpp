// sessionx.cfg: section table, keyword table, named values and the session
// default value table.
#include "platform/int_types.h"
#include "session/config/app_foip_session_cfg.h"

#include "session/config/app_foip_ini.h"
#include "session/config/ini_tables.h"

using namespace session_cfg;

namespace {

constexpr u8 U = INI_TOOLS__UNDEFINED;
constexpr u8 D = INI_TOOLS__DEFAULT;
constexpr u8 I = INI_TOOLS__IGNORED;

constexpr u16 NUM = INI_TOOLS__NUM;
constexpr u16 BOOL = INI_TOOLS__BOOL;
constexpr u16 FILE_ = INI_TOOLS__FILE;
constexpr u16 STR_ID = INI_TOOLS__STR_ID;
constexpr u16 STRING = INI_TOOLS__STRING;
constexpr u16 IP = INI_TOOLS__IP_ADD;
constexpr u16 BFI = INI_TOOLS__BFI;

constexpr i32 kMaxI32 = 2147483647;

// ---------------------------------------------------------------------------
// Named values

constexpr ini_tools__value_name vn_kind_of_session[] = {{"T.38 IAF", 73}, {"IAF", 73},     {"T.38 GATEWAY", 71},
                                                        {"GW", 71},       {"GATEWAY", 71}, {"", 0}};
constexpr ini_tools__value_name vn_transport[] = {{"UDP", 85}, {"TCP", 84}, {"UDP_TCP", 88}, {"TCP_UDP", 120}, {"", 0}};
constexpr ini_tools__value_name vn_direction[] = {
    {"DIR IN", 2}, {"DIR OUT", 1}, {"TCP Server (No SIP)", 2}, {"TCP Client (No SIP)", 1}, {"", 0}};
constexpr ini_tools__value_name vn_user_identification[] = {
    {"by name", 2}, {"by phone number", 1}, {"use local user name/phone nb", 3}, {"", 0}};
constexpr ini_tools__value_name vn_registering_identification[] = {
    {"by name", 2}, {"by phone number", 1}, {"no registering", 3}, {"", 0}};
constexpr ini_tools__value_name vn_identification[] = {{"by name", 2}, {"by phone number", 1}, {"", 0}};
constexpr ini_tools__value_name vn_rate_management[] = {{"localTCF", 1}, {"transferredTCF", 2}, {"", 0}};
constexpr ini_tools__value_name vn_udp_ec[] = {{"t38UDPFEC", 1}, {"t38UDPRedundancy", 2}, {"", 0}};
constexpr ini_tools__value_name vn_force_udp[] = {{"T38FaxVersion", 1},
                                                  {"T38MaxBitRate", 2},
                                                  {"T38FaxRateManagement", 4},
                                                  {"T38FaxFillBitRemoval", 64},
                                                  {"T38FaxTranscodingMMR", 128},
                                                  {"T38FaxTranscodingJBIG", 256},
                                                  {"T38FaxMaxBuffer", 8},
                                                  {"T38FaxMaxDatagram", 16},
                                                  {"T38FaxUdpEC", 32},
                                                  {"Version", 1},
                                                  {"MaxBitRate", 2},
                                                  {"RateManagement", 4},
                                                  {"FillBitRemoval", 64},
                                                  {"TranscodingMMR", 128},
                                                  {"TranscodingJBIG", 256},
                                                  {"FaxMaxBuffer", 8},
                                                  {"MaxDatagram", 16},
                                                  {"UdpEC", 32},
                                                  {"", 0}};
constexpr ini_tools__value_name vn_force_tcp[] = {{"T38FaxVersion", 1},
                                                  {"T38MaxBitRate", 2},
                                                  {"T38FaxRateManagement", 4},
                                                  {"T38FaxFillBitRemoval", 64},
                                                  {"T38FaxTranscodingMMR", 128},
                                                  {"T38FaxTranscodingJBIG", 256},
                                                  {"Version", 1},
                                                  {"MaxBitRate", 2},
                                                  {"RateManagement", 4},
                                                  {"FillBitRemoval", 64},
                                                  {"TranscodingMMR", 128},
                                                  {"TranscodingJBIG", 256},
                                                  {"", 0}};
constexpr ini_tools__value_name vn_port_rules[] = {{"INC", 1}, {"UPD", 2}, {"", 0}};
constexpr ini_tools__value_name vn_speed[] = {{"2400", 2},   {"4800", 4},   {"7200", 7}, {"9600", 9},
                                              {"12000", 12}, {"14400", 14}, {"", 0}};
constexpr ini_tools__value_name vn_ecm_frame_size[] = {{"No Ecm", 48}, {"0", 48}, {"64", 54}, {"256", 50}, {"", 0}};
constexpr ini_tools__value_name vn_page_algorithm[] = {
    {"T.4 Mono", 1}, {"MH", 1},  {"Modified Huffman", 1},       {"T.4 Bi", 2}, {"MR", 2}, {"Modified Read", 2},
    {"T.6", 4},      {"MMR", 4}, {"Modified Modified Read", 4}, {"", 0}};
constexpr ini_tools__value_name vn_page_resolution[] = {
    {"200dpi / 100dpi", 1},    {"200 / 100", 1},         {"200dpi / 200dpi", 2},
    {"200 / 200", 2},          {"200dpi / 400dpi", 64},  {"200 / 400", 64},
    {"300dpi / 300dpi", 4},    {"300 / 300", 4},         {"400dpi / 400dpi", 8},
    {"400 / 400", 8},          {"600dpi / 600dpi", 16},  {"600 / 600", 16},
    {"1200dpi / 1200dpi", 32}, {"1200 / 1200", 32},      {"300dpi / 600dpi", 128},
    {"300 / 600", 128},        {"400dpi / 800dpi", 256}, {"400 / 800", 256},
    {"600dpi / 1200dpi", 512}, {"600 / 1200", 512},      {"", 0}};
constexpr ini_tools__value_name vn_page_width[] = {{"215mm", 49}, {"215", 49}, {"255mm", 50}, {"255", 50},
                                                   {"303mm", 51}, {"303", 51}, {"", 0}};
constexpr ini_tools__value_name vn_page_length[] = {{"A4", 65}, {"B4", 66}, {"unlimited", 85}, {"", 0}};
constexpr ini_tools__value_name vn_line_padding[] = {{"FOIP__LINE_PADDING__BOTH_MARGIN", 0},
                                                     {"FOIP__LINE_PADDING__LEFT_MARGIN", 1},
                                                     {"FOIP__LINE_PADDING__RIGHT_MARGIN", 2},
                                                     {"Both", 0},
                                                     {"Left", 1},
                                                     {"Right", 2},
                                                     {"", 0}};
constexpr ini_tools__value_name vn_event[] = {{"CNF_SESSION", 2},
                                              {"T38_EVT", 4},
                                              {"T38_STAT", 8},
                                              {"FAX_EVT", 16},
                                              {"USR_MNGT_EVT", 1024},
                                              {"USR_MSG", 2048},
                                              {"USR_MSG_FULL", 4096},
                                              {"USER_1", 1024},
                                              {"USER_2", 2048},
                                              {"USER_3", 4096},
                                              {"", 0}};
constexpr ini_tools__value_name vn_t38_events[] = {{"CNG<IP", 1},
                                                   {"CNG<TDM", 2},
                                                   {"CED<IP", 4},
                                                   {"CED<TDM", 8},
                                                   {"T30<IP", 16},
                                                   {"T30>IP", 32},
                                                   {"T30<TDM", 64},
                                                   {"TCF<IP", 128},
                                                   {"TCF>IP", 256},
                                                   {"TCF<TDM", 512},
                                                   {"PG<IP", 1024},
                                                   {"PG>IP", 2048},
                                                   {"PG<TDM", 4096},
                                                   {"LEN<IP", 8192},
                                                   {"LEN>IP", 16384},
                                                   {"LEN<TDM", 32768},
                                                   {"GW_CPU_LOAD", 65536},
                                                   {"GW_DEMOD_INFO", 131072},
                                                   {"", 0}};
constexpr ini_tools__value_name vn_t38_traces[] = {{"MSG", 2},
                                                   {"CNF", 4},
                                                   {"ASN1", 8},
                                                   {"T38_PCK", 32},
                                                   {"UDP_SIMUL", 64},
                                                   {"T30", 128},
                                                   {"T38_AUTO", 256},
                                                   {"UDPTL_LOST", 2048},
                                                   {"SM_CONG", 4096},
                                                   {"DFIELD_CONG", 8192},
                                                   {"IFP_PCK_CONG", 16384},
                                                   {"ECM_FRM_TOO_LONG", 32768},
                                                   {"BAD_HDLC_FRM", 65536},
                                                   {"MEM_ALLOC", 131072},
                                                   {"GW_SMP_UNDER_OVERRUN", 512},
                                                   {"GW_SMODEM", 16},
                                                   {"GW_HW_CAL", 524288},
                                                   {"GW_TX_UNDERRUN", 1024},
                                                   {"UDPTL", 32},
                                                   {"", 0}};

// ---------------------------------------------------------------------------
// Keyword names

// "General"
INI_NAMES(n_kind_of_session, INI_V("kind of T.38 session"), INI_V("kind of session"), INI_C("kind_of_session"))
INI_NAMES(n_kind_of_transport, INI_V("kind of T.38 transport"), INI_C("kind_of_t38_transport"))
INI_NAMES(n_delay_end, INI_V("delay end of fax session"), INI_C("delay_wait_eof_t30_session"))
INI_NAMES(n_direction, INI_V("Direction (T.38GW)"))
INI_NAMES(n_path_send, INI_V("path of fax pages to send"))
INI_NAMES(n_path_rcv, INI_V("path of rcv fax pages"))
INI_NAMES(n_path_trace, INI_V("path of trace files"))
INI_NAMES(n_path_samples, INI_V("path of samples files"))
INI_NAMES(n_path_tiff_tmp, INI_V("path of TIFF temporary files"))
// "IAF Enhanced"
INI_NAMES(n_iaf_equipment, INI_V("IAF equipment"), INI_C("flag_iaf_equipement"))
INI_NAMES(n_udp_rate, INI_V("UDP IP data rate"), INI_C("udp_ip_data_rate_bps"))
INI_NAMES(n_tcp_flow, INI_V("TCP flow control"))
INI_NAMES(n_tcp_rate, INI_V("TCP IP data rate"), INI_C("tcp_ip_data_rate_bps"))
// "SIP"
INI_NAMES(n_remote_sip_domain, INI_V("remote SIP Domain Name"), INI_C("remote_sip_addr.sz_fqdn"))
INI_NAMES(n_remote_sip_ip, INI_V("remote SIP IP address"), INI_V("remote SIP IPv4 address"),
          INI_C("remote_sip_addr.ip_addr.addr.vX"))
INI_NAMES(n_remote_sip_port, INI_V("remote SIP IP port"), INI_V("remote SIP port"), INI_C("remote_sip_addr.ip_port"))
// "SIP Authentication"
INI_NAMES(n_auth_user, INI_V("authentication User Name"), INI_C("sip_authentication.sz_user_name"))
INI_NAMES(n_auth_password, INI_V("authentication Password"), INI_C("sip_authentication.sz_user_password"))
INI_NAMES(n_auth_realm, INI_V("authentication Realm"), INI_C("sip_authentication.sz_realm"))
// "SIP Register"
INI_NAMES(n_send_register, INI_V("send SIP register"))
INI_NAMES(n_user_identification, INI_V("user identification"), INI_C("user_identification"))
INI_NAMES(n_user_name, INI_V("user name"), INI_C("sz_user_name"))
INI_NAMES(n_user_phone, INI_V("user phone number"), INI_V("local user phone number"), INI_C("sz_user_phone_number"))
INI_NAMES(n_registered_domain, INI_V("registered Domain Name"), INI_C("registered_addr.sz_fqdn"))
INI_NAMES(n_registered_ip, INI_V("registered IP address"), INI_C("registered_addr.ip_addr.addr.vX"))
INI_NAMES(n_registering_identification, INI_V("Registering user_identification"),
          INI_C("registering.user_identification"))
INI_NAMES(n_registering_user, INI_V("Registering sz_user_name"), INI_C("registering.sz_user_name"))
INI_NAMES(n_registering_phone, INI_V("Registering sz_user_phone_number"), INI_C("registering.sz_user_phone_number"))
INI_NAMES(n_registering_domain, INI_V("Registering addr.sz_fqdn"), INI_C("registering.addr.sz_fqdn"))
INI_NAMES(n_registering_ip, INI_V("Registering addr.ip_addr"), INI_C("registering.addr.ip_addr.addr.vX"))
INI_NAMES(n_registering_port, INI_V("Registering addr.ip_port"), INI_C("registering.addr.ip_port"))
INI_NAMES(n_expire_delay, INI_V("register expire delay"), INI_C("expires_sec"))
INI_NAMES(n_use_auth, INI_V("use Authentication parameters"))
INI_NAMES(n_register_to_registrar, INI_V("send SIP Register to registrar"), INI_C("flag_snd_sip_register_to_registrar"))
// "T.38 remote capabilities"
INI_NAMES(n_rem_udp_version, INI_V("T38FaxVersion [UDP]"), INI_V("T38FaxVersion"), INI_V("t38 version"),
          INI_C("udptl_param.t38_version"))
INI_NAMES(n_rem_udp_rate, INI_V("T38MaxBitRate [UDP]"), INI_V("T38MaxBitRate"), INI_V("fax max bit rate"),
          INI_C("udptl_param.fax_max_bit_rate"))
INI_NAMES(n_rem_udp_mgt, INI_V("T38FaxRateManagement [UDP]"), INI_V("T38FaxRateManagement"), INI_V("drate mgt method"),
          INI_C("udptl_param.drate_mgt_method"))
INI_NAMES(n_rem_udp_fill, INI_V("T38FaxFillBitRemoval [UDP]"), INI_V("T38FaxFillBitRemoval"),
          INI_V("remove fill bits t4"), INI_C("udptl_param.remove_fill_bits_t4"))
INI_NAMES(n_rem_udp_mmr, INI_V("T38FaxTranscodingMMR [UDP]"), INI_V("T38FaxTranscodingMMR"), INI_V("transcode mmr"),
          INI_C("udptl_param.transcode_mmr"))
INI_NAMES(n_rem_udp_jbig, INI_V("T38FaxTranscodingJBIG [UDP]"), INI_V("T38FaxTranscodingJBIG"), INI_V("transcode jbig"),
          INI_C("udptl_param.transcode_jbig"))
INI_NAMES(n_rem_udp_buffer, INI_V("T38FaxMaxBuffer [UDP]"), INI_V("T38FaxMaxBuffer"), INI_V("fax max buffer size"),
          INI_C("udptl_param.fax_max_buffer_size"))
INI_NAMES(n_rem_udp_datagram, INI_V("T38FaxMaxDatagram [UDP]"), INI_V("T38FaxMaxDatagram"), INI_V("max datagram size"),
          INI_C("udptl_param.max_datagram_size"))
INI_NAMES(n_rem_udp_ec, INI_V("T38FaxUdpEC [UDP]"), INI_V("T38FaxUdpEC"), INI_V("udp ec"), INI_C("udptl_param.udp_ec"))
INI_NAMES(n_rem_udp_force, INI_V("force t38 remote cap [UDP]"), INI_V("force t38 remote cap"),
          INI_C("udptl_param.test_mode__force_t38_rem_cap_bfi"))
INI_NAMES(n_rem_tcp_version, INI_V("T38FaxVersion [TCP]"), INI_C("tpkt_param.t38_version"))
INI_NAMES(n_rem_tcp_rate, INI_V("T38MaxBitRate [TCP]"), INI_C("tpkt_param.fax_max_bit_rate"))
INI_NAMES(n_rem_tcp_mgt, INI_V("T38FaxRateManagement [TCP]"), INI_C("tpkt_param.drate_mgt_method"))
INI_NAMES(n_rem_tcp_fill, INI_V("T38FaxFillBitRemoval [TCP]"), INI_C("tpkt_param.remove_fill_bits_t4"))
INI_NAMES(n_rem_tcp_mmr, INI_V("T38FaxTranscodingMMR [TCP]"), INI_C("tpkt_param.transcode_mmr"))
INI_NAMES(n_rem_tcp_jbig, INI_V("T38FaxTranscodingJBIG [TCP]"), INI_C("tpkt_param.transcode_jbig"))
INI_NAMES(n_rem_tcp_force, INI_V("force t38 remote cap [TCP]"), INI_C("tpkt_param.test_mode__force_t38_rem_cap_bfi"))
// "T.38 local capabilities"
INI_NAMES(n_lcl_udp_version, INI_V("T38FaxVersion [UDP]"), INI_C("udptl_param.t38_version"))
INI_NAMES(n_lcl_udp_rate, INI_V("T38MaxBitRate [UDP]"), INI_C("udptl_param.fax_max_bit_rate"))
INI_NAMES(n_lcl_udp_mgt, INI_V("T38FaxRateManagement [UDP]"), INI_C("udptl_param.drate_mgt_method"))
INI_NAMES(n_lcl_udp_fill, INI_V("T38FaxFillBitRemoval [UDP]"), INI_C("udptl_param.remove_fill_bits_t4"))
INI_NAMES(n_lcl_udp_mmr, INI_V("T38FaxTranscodingMMR [UDP]"), INI_C("udptl_param.transcode_mmr"))
INI_NAMES(n_lcl_udp_jbig, INI_V("T38FaxTranscodingJBIG [UDP]"), INI_C("udptl_param.transcode_jbig"))
INI_NAMES(n_lcl_udp_buffer, INI_V("T38FaxMaxBuffer [UDP]"), INI_C("udptl_param.fax_max_buffer_size"))
INI_NAMES(n_lcl_udp_datagram, INI_V("T38FaxMaxDatagram [UDP]"), INI_C("udptl_param.max_datagram_size"))
INI_NAMES(n_lcl_udp_ec, INI_V("T38FaxUdpEC [UDP]"), INI_C("udptl_param.udp_ec"))
INI_NAMES(n_lcl_tcp_version, INI_V("T38FaxVersion [TCP]"), INI_C("tpkt_param.t38_version"))
INI_NAMES(n_lcl_tcp_rate, INI_V("T38MaxBitRate [TCP]"), INI_C("tpkt_param.fax_max_bit_rate"))
INI_NAMES(n_lcl_tcp_mgt, INI_V("T38FaxRateManagement [TCP]"), INI_C("tpkt_param.drate_mgt_method"))
INI_NAMES(n_lcl_tcp_fill, INI_V("T38FaxFillBitRemoval [TCP]"), INI_C("tpkt_param.remove_fill_bits_t4"))
INI_NAMES(n_lcl_tcp_mmr, INI_V("T38FaxTranscodingMMR [TCP]"), INI_C("tpkt_param.transcode_mmr"))
INI_NAMES(n_lcl_tcp_jbig, INI_V("T38FaxTranscodingJBIG [TCP]"), INI_C("tpkt_param.transcode_jbig"))
// "T.38 media address"
INI_NAMES(n_no_filter, INI_V("incoming call no filter"), INI_C("flag_invite_in__no_filter"))
INI_NAMES(n_local_identification, INI_V("local user identification"), INI_C("local_user_identification"))
INI_NAMES(n_local_user_name, INI_V("local user name"), INI_C("sz_local_user_name"))
INI_NAMES(n_local_user_phone, INI_V("local user phone number"), INI_C("sz_local_user_phone_number"))
INI_NAMES(n_remote_identification, INI_V("remote user identification"), INI_C("remote_user_identification"))
INI_NAMES(n_remote_user_name, INI_V("remote user name"), INI_C("sz_remote_user_name"))
INI_NAMES(n_remote_user_phone, INI_V("remote user phone number"), INI_C("sz_remote_user_phone_number"))
INI_NAMES(n_remote_media_ip, INI_V("remote media IP address"), INI_V("remote media IP addr"),
          INI_V("remote media IPv4 addr"), INI_C("remote_media_ip_addr.addr.vX"))
INI_NAMES(n_remote_media_port, INI_V("remote media IP port"), INI_V("remote media port"), INI_C("remote_media_port"))
INI_NAMES(n_local_media_domain, INI_V("local media Domain Name"), INI_C("local_media_ip_addr.sz_fqdn"))
INI_NAMES(n_local_media_ip, INI_V("local media IP address"), INI_C("local_media_ip_addr.ip_addr.addr.vX"))
INI_NAMES(n_local_media_port, INI_V("local media IP port"), INI_V("local media port"),
          INI_C("local_media_ip_addr.ip_port"))
INI_NAMES(n_port_rules, INI_V("update media port rules"), INI_C("upd_local_media_port_rules"))
INI_NAMES(n_nat_media_domain, INI_V("(NAT) local media Domain Name"), INI_C("nat_local_media_ip_addr.sz_fqdn"))
INI_NAMES(n_nat_media_ip, INI_V("(NAT) local media IP address"), INI_C("nat_local_media_ip_addr.ip_addr.addr.vX"))
INI_NAMES(n_nat_media_port, INI_V("(NAT) local media IP port"), INI_V("(NAT) local media port"),
          INI_C("nat_local_media_ip_addr.ip_port"))
// "FAX common"
INI_NAMES(n_fax_id, INI_V("fax id"), INI_C("fax_common_param.fax_id"))
INI_NAMES(n_max_speed, INI_V("max speed"), INI_C("fax_common_param.max_speed"))
INI_NAMES(n_min_speed, INI_V("min speed"), INI_C("fax_common_param.min_speed"))
INI_NAMES(n_ecm_frame_size, INI_V("ecm frame size"), INI_C("fax_common_param.ecm_frame_size"))
INI_NAMES(n_tiff_tmp, INI_V("Temporary tiff file name"), INI_C("fax_common_param.sz_fname_tiff_tmp_pg"))
INI_NAMES(n_rx_ecm, INI_V("(Rx path) ECM frame size"), INI_C("fax_common_param.rx_max_fax_cap.ecm_frame_size"))
INI_NAMES(n_rx_algorithm, INI_V("(Rx path) page algorithm"), INI_C("fax_common_param.rx_max_fax_cap.pg_encoding"))
INI_NAMES(n_rx_resolution, INI_V("(Rx path) page resolution"), INI_C("fax_common_param.rx_max_fax_cap.pg_resolution"))
INI_NAMES(n_rx_width, INI_V("(Rx path) page width"), INI_C("fax_common_param.rx_max_fax_cap.pg_width_mm"))
INI_NAMES(n_rx_length, INI_V("(Rx path) page length"), INI_C("fax_common_param.rx_max_fax_cap.pg_length"))
INI_NAMES(n_tx_ecm, INI_V("(Tx path) wished ECM frame size"),
          INI_C("fax_common_param.tx_wished_fax_cap.ecm_frame_size"))
INI_NAMES(n_tx_algorithm, INI_V("(Tx path) wished page algorithm"),
          INI_C("fax_common_param.tx_wished_fax_cap.pg_encoding"))
// "FAX Send", "FAX Send page", "FAX Receive pages"
INI_NAMES(n_counter_send, INI_V("counter send"), INI_C("cnt_send_test"))
INI_NAMES(n_page_header, INI_V("page header"), INI_C("tx_fax_page_settings.sz_pg_header"))
INI_NAMES(n_top_margin, INI_V("Bmp top margin"), INI_C("tx_fax_page_settings.bmp_top_margin_pels"))
INI_NAMES(n_line_padding, INI_V("line padding mode"), INI_C("tx_fax_page_settings.line_padding_mode"))
INI_NAMES(n_page_file, INI_V("Tiff file name"), INI_V("page file name"), INI_C("sz_tiff_fname_fax_pg"))
INI_NAMES(n_page_encoding, INI_V("page encoding"), INI_C("pg_descriptor.pg_encoding"))
INI_NAMES(n_page_resolution, INI_V("page resolution"), INI_C("pg_descriptor.pg_resolution"))
INI_NAMES(n_page_width, INI_V("page width"), INI_C("pg_descriptor.pg_width_mm"))
INI_NAMES(n_page_length, INI_V("page length"), INI_C("pg_descriptor.pg_length"))
INI_NAMES(n_rcv_file, INI_V("TIFF file name"), INI_V("generic file name"), INI_V("file name"),
          INI_V("sz_generic_fname_rcv_fax_pg"), INI_C("sz_tiff_fname_rcv_fax_pg"))
INI_NAMES(n_max_rx_pages, INI_V("Max received fax pages"), INI_C("max_rx_nb_page"))
INI_NAMES(n_max_rx_data, INI_V("Max received fax data"), INI_C("max_rx_fax_data_size"))
// "Traces / Reports"
INI_NAMES(n_display_event, INI_V("display event"), INI_C("event.display_event_bfi"))
INI_NAMES(n_record_event, INI_V("record event"), INI_C("event.record_event_bfi"))
INI_NAMES(n_event_file, INI_V("event file name"), INI_V("file name event"), INI_C("event.sz_fname_event"))
INI_NAMES(n_event_length, INI_V("max length of event file"), INI_V("max length of file event"),
          INI_C("event.max_length_of_event_file"))
INI_NAMES(n_event_files, INI_V("max number of event log files"), INI_C("event.nb_of_multiple_event_files"))
INI_NAMES(n_t38_events, INI_V("list of T.38 events"), INI_C("event.t38_event_bfi"))
INI_NAMES(n_audit_file, INI_V("audit file name"), INI_V("file name audit"), INI_C("audit.sz_fname_audit"))
INI_NAMES(n_audit_length, INI_V("max length of audit file"), INI_V("max length of file audit"),
          INI_C("audit.max_length_of_audit_file"))
INI_NAMES(n_audit_files, INI_V("max number of audit log files"), INI_C("audit.nb_of_multiple_audit_files"))
INI_NAMES(n_append_audit, INI_V("append audit file"), INI_C("audit.append_audit_file"))
INI_NAMES(n_t38_file, INI_V("T.38 trace file name"), INI_V("file name trace T.38"), INI_V("fname trace T.38"),
          INI_C("t38_trc.sz_fname_t38_trc"))
INI_NAMES(n_t38_length, INI_V("max length of T.38 trace file"), INI_V("max length of file trace T.38"),
          INI_C("t38_trc.max_length_of_t38_trc_file"))
INI_NAMES(n_t38_files, INI_V("max number of T.38 log files"), INI_C("t38_trc.nb_of_multiple_t38_trc_files"))
INI_NAMES(n_append_t38, INI_V("append T.38 trace file"), INI_V("append trace T.38 file"),
          INI_C("t38_trc.append_t38_trc_file"))
INI_NAMES(n_t38_list, INI_V("(T.38 Trc) list of T.38 traces"), INI_V("(Trc T.38) list of trace T.38"),
          INI_C("t38_trc.t38_trc_bfi"))
INI_NAMES(n_t38_asn1, INI_V("(T.38 Trc) max ASN.1 nb bytes stored"), INI_V("(Trc T.38) max ASN.1 nb bytes stored"),
          INI_C("t38_trc.max_byte_asn1_hex"))
INI_NAMES(n_t38_full, INI_V("(T.38 Trc) full display T.38 packet"), INI_V("(T.38 Trc) full display udptl"),
          INI_V("(Trc T.38) full display udptl"), INI_C("t38_trc.flag_full_t38_pck_dsp"))
INI_NAMES(n_t38_pck, INI_V("(T.38 Trc) max T.38 pck bytes stored"), INI_V("(T.38 Trc) max udptl bytes stored"),
          INI_V("(Trc T.38) max udptl bytes stored"), INI_C("t38_trc.max_byte_t38_pck_hex"))
INI_NAMES(n_t38_fax, INI_V("(T.38 Trc) max fax data stored"), INI_V("(Trc T.38) max fax data stored"),
          INI_C("t38_trc.max_byte_fax_hex"))
INI_NAMES(n_t38_dfield, INI_V("(T.38 Trc) kept dfield organization"), INI_V("(Trc T.38) kept dfield organization"),
          INI_C("t38_trc.flag_kept_dfield_organization"))
INI_NAMES(n_rx_samples, INI_V("Rx samples file name"), INI_V("file name Rx samples"), INI_V("fname Rx samples"),
          INI_C("sample_streams.sz_fname_rx_samples"))
INI_NAMES(n_tx_samples, INI_V("Tx samples file name"), INI_V("file name Tx samples"), INI_V("fname Tx samples"),
          INI_C("sample_streams.sz_fname_tx_samples"))
// "Pre-Recorded Samples Stream", "Debug Fields"
INI_NAMES(n_sample_stream, INI_V("Sample Stream file name"))
INI_NAMES(n_tag_debug, INI_V("Tag debug Field"), INI_C("tag_dbg_field_are_loaded"))
INI_NAMES(n_debug_1, INI_V("debug field 1"), INI_C("dbg_field1"))
INI_NAMES(n_debug_2, INI_V("debug field 2"), INI_C("dbg_field2"))

// A keyword whose keyword id is its value id.
constexpr ini_tools__keyword kw(const ini_tools__name* names, u16 id, u16 section, u32 kind,
                                const ini_tools__value_name* values = nullptr, i32 min = 0, i32 max = 0) {
  return ini_tools__keyword{names, id, section, kind, values, min, max, id};
}
// A keyword whose keyword id differs from its value id.
constexpr ini_tools__keyword kw2(const ini_tools__name* names, u16 keyword_id, u16 value_id, u16 section, u32 kind,
                                 const ini_tools__value_name* values = nullptr, i32 min = 0, i32 max = 0) {
  return ini_tools__keyword{names, keyword_id, section, kind, values, min, max, value_id};
}

}  // namespace

// ---------------------------------------------------------------------------
// Sections

const ini_tools__section app_foip_ini__session_sections[] = {
    {"General", sec_general, INI_SC("Kind of session and transport, and the folders of the session's files."),
     "struct foip__session_general_param"},
    {"IAF Enhanced", sec_iaf_enhanced, INI_SC("Data rates of an internet-aware fax device."),
     "struct foip__t38iaf_enhanced"},
    {"Traces / Reports", sec_traces,
     INI_SC("Events shown and recorded for this session, its message audit file and") INI_SL("its T.38 trace file."),
     "struct foip__trc_param"},
    {"SIP", sec_sip, INI_SC("Remote SIP side of the session: the gateway or device that is called."),
     "struct foip__session_sip_param"},
    {"SIP Authentication", sec_sip_authentication, INI_SC("Credentials answered to a digest challenge."),
     "struct foip__sip_authentication"},
    {"SIP Register", sec_sip_register, INI_SC("Registration of the session's user at the registrar."),
     "struct foip__sip_register"},
    {"T.38 remote capabilities", sec_t38_remote_cap,
     INI_SC("T.38 capabilities imposed on the remote side, for UDPTL and for TPKT."),
     "struct foip__t38_capabilites_param"},
    {"T.38 local capabilities", sec_t38_local_cap,
     INI_SC("T.38 capabilities announced for the local side; 0 or empty keeps the") INI_SL("T.38 module's own value."),
     "struct foip__overwrite_lcl_t38_cap"},
    {"T.38 media address", sec_t38_media_address,
     INI_SC("User identities of the call and the media addresses and ports of T.38."),
     "struct foip__t38_media_add_param"},
    {"FAX common", sec_fax_common, INI_SC("Fax parameters: identity, speeds, error correction, page capabilities."),
     "struct foip__fax_common_param"},
    {"FAX Send", sec_fax_send, INI_SC("Settings of the pages sent: header line, margin, padding."),
     "struct foip__fax_send_pg"},
    {"FAX Send page", sec_fax_send_page, INI_SC("One element per file of pages to send, in sending order."),
     "struct foip__fax_send_pg"},
    {"FAX Receive pages", sec_fax_receive_pages, INI_SC("File of the received pages and the limits of a reception."),
     "struct foip__fax_rcv_pg"},
    {"Pre-Recorded Samples Stream", sec_samples_stream, INI_SC("Kept for older files; has no effect."), ""},
    {"Debug Fields", sec_debug, INI_SC("Values handed to the session for debugging only."),
     "struct foip__session_general_param"},
    {"", 0, nullptr, nullptr},
};

// ---------------------------------------------------------------------------
// Keywords

const ini_tools__keyword app_foip_ini__session_keywords[] = {
    kw(n_kind_of_session, kind_of_session, sec_general, STR_ID, vn_kind_of_session),
    kw(n_kind_of_transport, kind_of_t38_transport, sec_general, STR_ID, vn_transport),
    kw(n_delay_end, delay_end_of_fax_session, sec_general, NUM, nullptr, 0, 50000),
    kw(n_direction, direction, sec_general, STR_ID, vn_direction),
    kw(n_path_send, path_of_fax_pages_to_send, sec_general, FILE_),
    kw(n_path_rcv, path_of_rcv_fax_pages, sec_general, FILE_),
    kw(n_path_trace, path_of_trace_files, sec_general, FILE_),
    kw(n_path_samples, path_of_samples_files, sec_general, FILE_),
    kw(n_path_tiff_tmp, path_of_tiff_temporary_files, sec_general, FILE_),

    kw(n_iaf_equipment, iaf_equipment, sec_iaf_enhanced, BOOL),
    kw(n_udp_rate, udp_ip_data_rate, sec_iaf_enhanced, NUM, nullptr, 1000, 5000000),
    kw(n_tcp_flow, tcp_flow_control, sec_iaf_enhanced, BOOL),
    kw(n_tcp_rate, tcp_ip_data_rate, sec_iaf_enhanced, NUM, nullptr, 1000, 5000000),

    kw(n_remote_sip_domain, remote_sip_domain_name, sec_sip, STRING, nullptr, 0, 64),
    kw(n_remote_sip_ip, remote_sip_ip_address, sec_sip, IP),
    kw(n_remote_sip_port, remote_sip_port, sec_sip, NUM, nullptr, 0, 65535),

    kw(n_auth_user, auth_user_name, sec_sip_authentication, STRING, nullptr, 0, 64),
    kw(n_auth_password, auth_password, sec_sip_authentication, STRING, nullptr, 0, 64),
    kw(n_auth_realm, auth_realm, sec_sip_authentication, STRING, nullptr, 0, 64),

    kw(n_send_register, send_sip_register, sec_sip_register, BOOL),
    kw(n_user_identification, user_identification, sec_sip_register, STR_ID, vn_user_identification),
    kw(n_user_name, user_name, sec_sip_register, STRING, nullptr, 0, 64),
    kw(n_user_phone, user_phone_number, sec_sip_register, STRING, nullptr, 0, 25),
    kw(n_registered_domain, registered_domain_name, sec_sip_register, STRING, nullptr, 0, 64),
    kw(n_registered_ip, registered_ip_address, sec_sip_register, IP),
    kw(n_registering_identification, registering_user_identification, sec_sip_register, STR_ID,
       vn_registering_identification),
    kw(n_registering_user, registering_user_name, sec_sip_register, STRING, nullptr, 0, 64),
    kw(n_registering_phone, registering_user_phone_number, sec_sip_register, STRING, nullptr, 0, 25),
    kw(n_registering_domain, registering_domain_name, sec_sip_register, STRING, nullptr, 0, 64),
    kw(n_registering_ip, registering_ip_address, sec_sip_register, IP),
    kw(n_registering_port, registering_port, sec_sip_register, NUM, nullptr, 0, 65535),
    kw(n_expire_delay, register_expire_delay, sec_sip_register, NUM, nullptr, 1, 65535),
    kw(n_use_auth, use_authentication_parameters, sec_sip_register, BOOL),
    kw(n_register_to_registrar, send_sip_register_to_registrar, sec_sip_register, BOOL),

    kw(n_rem_udp_version, rem_udp_t38_version, sec_t38_remote_cap, NUM, nullptr, 0, 65535),
    kw(n_rem_udp_rate, rem_udp_max_bit_rate, sec_t38_remote_cap, NUM, nullptr, 0, 65535),
    kw(n_rem_udp_mgt, rem_udp_rate_management, sec_t38_remote_cap, BFI, vn_rate_management),
    kw(n_rem_udp_fill, rem_udp_fill_bit_removal, sec_t38_remote_cap, BOOL),
    kw(n_rem_udp_mmr, rem_udp_transcoding_mmr, sec_t38_remote_cap, BOOL),
    kw(n_rem_udp_jbig, rem_udp_transcoding_jbig, sec_t38_remote_cap, BOOL),
    kw(n_rem_udp_buffer, rem_udp_max_buffer, sec_t38_remote_cap, NUM, nullptr, 0, 65535),
    kw(n_rem_udp_datagram, rem_udp_max_datagram, sec_t38_remote_cap, NUM, nullptr, 0, 65535),
    kw(n_rem_udp_ec, rem_udp_ec, sec_t38_remote_cap, BFI, vn_udp_ec),
    kw(n_rem_udp_force, rem_udp_force_cap, sec_t38_remote_cap, BFI, vn_force_udp, 1),
    kw(n_rem_tcp_version, rem_tcp_t38_version, sec_t38_remote_cap, NUM, nullptr, 0, 65535),
    kw(n_rem_tcp_rate, rem_tcp_max_bit_rate, sec_t38_remote_cap, NUM, nullptr, 0, 65535),
    kw(n_rem_tcp_mgt, rem_tcp_rate_management, sec_t38_remote_cap, BFI, vn_rate_management),
    kw(n_rem_tcp_fill, rem_tcp_fill_bit_removal, sec_t38_remote_cap, BOOL),
    kw(n_rem_tcp_mmr, rem_tcp_transcoding_mmr, sec_t38_remote_cap, BOOL),
    kw(n_rem_tcp_jbig, rem_tcp_transcoding_jbig, sec_t38_remote_cap, BOOL),
    kw(n_rem_tcp_force, rem_tcp_force_cap, sec_t38_remote_cap, BFI, vn_force_tcp, 1),

    kw(n_lcl_udp_version, lcl_udp_t38_version, sec_t38_local_cap, NUM, nullptr, 0, 20),
    kw(n_lcl_udp_rate, lcl_udp_max_bit_rate, sec_t38_local_cap, NUM, nullptr, 0, 14400),
    kw(n_lcl_udp_mgt, lcl_udp_rate_management, sec_t38_local_cap, BFI, vn_rate_management, 1),
    kw(n_lcl_udp_fill, lcl_udp_fill_bit_removal, sec_t38_local_cap, BOOL),
    kw(n_lcl_udp_mmr, lcl_udp_transcoding_mmr, sec_t38_local_cap, BOOL),
    kw(n_lcl_udp_jbig, lcl_udp_transcoding_jbig, sec_t38_local_cap, BOOL),
    kw(n_lcl_udp_buffer, lcl_udp_max_buffer, sec_t38_local_cap, NUM, nullptr, 0, 65535),
    kw(n_lcl_udp_datagram, lcl_udp_max_datagram, sec_t38_local_cap, NUM, nullptr, 0, 65535),
    kw(n_lcl_udp_ec, lcl_udp_ec, sec_t38_local_cap, BFI, vn_udp_ec, 1),
    kw(n_lcl_tcp_version, lcl_tcp_t38_version, sec_t38_local_cap, NUM, nullptr, 0, 20),
    kw(n_lcl_tcp_rate, lcl_tcp_max_bit_rate, sec_t38_local_cap, NUM, nullptr, 0, 14400),
    kw(n_lcl_tcp_mgt, lcl_tcp_rate_management, sec_t38_local_cap, BFI, vn_rate_management, 1),
    kw(n_lcl_tcp_fill, lcl_tcp_fill_bit_removal, sec_t38_local_cap, BOOL),
    kw(n_lcl_tcp_mmr, lcl_tcp_transcoding_mmr, sec_t38_local_cap, BOOL),
    kw(n_lcl_tcp_jbig, lcl_tcp_transcoding_jbig, sec_t38_local_cap, BOOL),

    kw(n_no_filter, incoming_call_no_filter, sec_t38_media_address, BOOL),
    kw(n_local_identification, local_user_identification, sec_t38_media_address, STR_ID, vn_identification),
    kw(n_local_user_name, local_user_name, sec_t38_media_address, STRING, nullptr, 0, 64),
    kw(n_local_user_phone, local_user_phone_number, sec_t38_media_address, STRING, nullptr, 0, 25),
    kw(n_remote_identification, remote_user_identification, sec_t38_media_address, STR_ID, vn_identification),
    kw(n_remote_user_name, remote_user_name, sec_t38_media_address, STRING, nullptr, 0, 64),
    kw(n_remote_user_phone, remote_user_phone_number, sec_t38_media_address, STRING, nullptr, 0, 25),
    kw(n_remote_media_ip, remote_media_ip_address, sec_t38_media_address, IP),
    kw(n_remote_media_port, remote_media_port, sec_t38_media_address, NUM, nullptr, 0, 65535),
    kw2(n_local_media_domain, 54, local_media_domain_name, sec_t38_media_address, STRING, nullptr, 0, 64),
    kw2(n_local_media_ip, 49, local_media_ip_address, sec_t38_media_address, IP),
    kw2(n_local_media_port, 50, local_media_port, sec_t38_media_address, NUM, nullptr, 0, 65535),
    kw2(n_port_rules, 53, update_media_port_rules, sec_t38_media_address, BFI, vn_port_rules),
    kw2(n_nat_media_domain, 55, nat_local_media_domain_name, sec_t38_media_address, STRING, nullptr, 0, 64),
    kw2(n_nat_media_ip, 51, nat_local_media_ip_address, sec_t38_media_address, IP),
    kw2(n_nat_media_port, 52, nat_local_media_port, sec_t38_media_address, NUM, nullptr, 0, 65535),

    kw(n_fax_id, fax_id, sec_fax_common, STRING, nullptr, 0, 20),
    kw(n_max_speed, max_speed, sec_fax_common, STR_ID, vn_speed),
    kw(n_min_speed, min_speed, sec_fax_common, STR_ID, vn_speed),
    kw(n_ecm_frame_size, ecm_frame_size, sec_fax_common, STR_ID, vn_ecm_frame_size),
    kw(n_tiff_tmp, temporary_tiff_file_name, sec_fax_common, FILE_),
    kw(n_rx_ecm, rx_ecm_frame_size, sec_fax_common, STR_ID, vn_ecm_frame_size),
    kw(n_rx_algorithm, rx_page_algorithm, sec_fax_common, BFI, vn_page_algorithm),
    kw(n_rx_resolution, rx_page_resolution, sec_fax_common, BFI, vn_page_resolution),
    kw(n_rx_width, rx_page_width, sec_fax_common, STR_ID, vn_page_width),
    kw(n_rx_length, rx_page_length, sec_fax_common, STR_ID, vn_page_length),
    kw(n_tx_ecm, tx_wished_ecm_frame_size, sec_fax_common, STR_ID, vn_ecm_frame_size),
    kw(n_tx_algorithm, tx_wished_page_algorithm, sec_fax_common, BFI, vn_page_algorithm),

    kw(n_counter_send, counter_send, sec_fax_send, NUM, nullptr, 0, 65535),
    kw(n_page_header, page_header, sec_fax_send, STRING, nullptr, 0, 133),
    kw(n_top_margin, bmp_top_margin, sec_fax_send, NUM, nullptr, 0, 500),
    kw(n_line_padding, line_padding_mode, sec_fax_send, STR_ID, vn_line_padding),

    kw(n_page_file, page_tiff_file_name, sec_fax_send_page, FILE_),
    kw(n_page_encoding, page_encoding, sec_fax_send_page, STR_ID, vn_page_algorithm),
    kw(n_page_resolution, page_resolution, sec_fax_send_page, STR_ID, vn_page_resolution),
    kw(n_page_width, page_width, sec_fax_send_page, STR_ID, vn_page_width),
    kw(n_page_length, page_length, sec_fax_send_page, STR_ID, vn_page_length),

    kw(n_rcv_file, rcv_tiff_file_name, sec_fax_receive_pages, FILE_),
    kw(n_max_rx_pages, max_received_fax_pages, sec_fax_receive_pages, NUM, nullptr, 0, 65535),
    kw(n_max_rx_data, max_received_fax_data, sec_fax_receive_pages, NUM, nullptr, 0, kMaxI32),

    kw(n_display_event, display_event, sec_traces, BFI, vn_event, 1),
    kw(n_record_event, record_event, sec_traces, BFI, vn_event, 1),
    kw(n_event_file, event_file_name, sec_traces, FILE_),
    kw(n_event_length, max_length_of_event_file, sec_traces, NUM, nullptr, 0, 65535),
    kw(n_event_files, max_number_of_event_files, sec_traces, NUM, nullptr, 1, 127),
    kw(n_t38_events, list_of_t38_events, sec_traces, BFI, vn_t38_events),
    kw(n_audit_file, audit_file_name, sec_traces, FILE_),
    kw(n_audit_length, max_length_of_audit_file, sec_traces, NUM, nullptr, 0, 65535),
    kw(n_audit_files, max_number_of_audit_files, sec_traces, NUM, nullptr, 1, 127),
    kw(n_append_audit, append_audit_file, sec_traces, BOOL),
    kw(n_t38_file, t38_trace_file_name, sec_traces, FILE_),
    kw(n_t38_length, max_length_of_t38_trace_file, sec_traces, NUM, nullptr, 0, 65535),
    kw(n_t38_files, max_number_of_t38_trace_files, sec_traces, NUM, nullptr, 1, 127),
    kw(n_append_t38, append_t38_trace_file, sec_traces, BOOL),
    kw(n_t38_list, t38_trace_list, sec_traces, BFI, vn_t38_traces, 1),
    kw(n_t38_asn1, t38_trace_max_asn1_bytes, sec_traces, NUM, nullptr, 0, 1500),
    kw(n_t38_full, t38_trace_full_display, sec_traces, BOOL),
    kw(n_t38_pck, t38_trace_max_pck_bytes, sec_traces, NUM, nullptr, 0, 1500),
    kw(n_t38_fax, t38_trace_max_fax_data, sec_traces, NUM, nullptr, 0, 5000),
    kw(n_t38_dfield, t38_trace_kept_dfield, sec_traces, BOOL),
    kw(n_rx_samples, rx_samples_file_name, sec_traces, FILE_),
    kw(n_tx_samples, tx_samples_file_name, sec_traces, FILE_),

    kw(n_sample_stream, sample_stream_file_name, sec_samples_stream, FILE_),
    kw(n_tag_debug, tag_debug_field, sec_debug, NUM, nullptr, 0, kMaxI32),
    kw(n_debug_1, debug_field_1, sec_debug, NUM, nullptr, 0, kMaxI32),
    kw(n_debug_2, debug_field_2, sec_debug, NUM, nullptr, 0, kMaxI32),
    ini_tools__keyword{nullptr, 0, 0, 0, nullptr, 0, 0, 0},
};

// ---------------------------------------------------------------------------
// Default values, in the order of the file

const ini_tools__value app_foip_ini__session_defaults[] = {
    // General
    INI_D_COMMENT(sec_general, INI_CL("Direction of the fax session: a session that sends pages has elements in")
                                   INI_CL("[[FAX Send page]]; a session that receives has a file name in")
                                       INI_CL("[FAX Receive pages].")),
    INI_D_STR_ID(kind_of_session, sec_general, D, 73,
                 INI_KC("T.38 IAF: the far end is reached as an internet-aware fax device.")),
    INI_D_STR_ID(kind_of_t38_transport, sec_general, D, 85,
                 INI_KC("Transport of T.38: UDPTL over UDP, TPKT over TCP, or both in the order named.")),
    INI_D_NUM(delay_end_of_fax_session, sec_general, D, 5000,
              INI_KC("Time given to the fax session to end, in milliseconds.")),
    INI_D_STR_ID(direction, sec_general, I, 1, nullptr),
    INI_D_FILE(path_of_fax_pages_to_send, sec_general, U, INI_KC("Folder of the files of pages to send.")),
    INI_D_FILE(path_of_rcv_fax_pages, sec_general, U, INI_KC("Folder of the files of received pages.")),
    INI_D_FILE(path_of_trace_files, sec_general, U, INI_KC("Folder of the session's trace files.")),
    INI_D_FILE(path_of_samples_files, sec_general, I, nullptr),
    INI_D_FILE(path_of_tiff_temporary_files, sec_general, U, INI_KC("Folder of the temporary TIFF files.")),
    // IAF Enhanced
    INI_D_COMMENT(sec_iaf_enhanced, INI_CL("An internet-aware fax device sends T.38 as fast as the network allows;")
                                        INI_CL("the data rates below pace the packets sent to it.")),
    INI_D_BOOL(iaf_equipment, sec_iaf_enhanced, D, 0, INI_KC("TRUE: the far end is an internet-aware fax device.")),
    INI_D_NUM(udp_ip_data_rate, sec_iaf_enhanced, D, 100000, INI_KC("Data rate over UDP, in bit/s.")),
    INI_D_BOOL(tcp_flow_control, sec_iaf_enhanced, I, 0, nullptr),
    INI_D_NUM(tcp_ip_data_rate, sec_iaf_enhanced, D, 100000, INI_KC("Data rate over TCP, in bit/s.")),
    // SIP
    INI_D_COMMENT(sec_sip, INI_CL("SIP without NAT: the remote SIP address below is called; the local SIP")
                               INI_CL("address is the one of glb.cfg and the media address the one of")
                                   INI_CL("[T.38 media address].")),
    INI_D_COMMENT(sec_sip, INI_CL("SIP with NAT: the (NAT) addresses and ports of glb.cfg and of")
                               INI_CL("[T.38 media address] are announced in SIP and SDP instead of the local ones.")),
    INI_D_COMMENT(sec_sip, INI_CL("Without SIP: T.38 runs straight towards the remote media address;")
                               INI_CL("the SIP keywords are not used.")),
    INI_D_STRING(remote_sip_domain_name, sec_sip, D, nullptr, INI_KC("Domain name of the remote SIP side.")),
    INI_D_IP(remote_sip_ip_address, sec_sip, D, INI_KC("IPv4 address of the remote SIP side.")),
    INI_D_NUM(remote_sip_port, sec_sip, U, 0, INI_KC("SIP port of the remote SIP side.")),
    // SIP Authentication
    INI_D_COMMENT(sec_sip_authentication,
                  INI_CL("Used when the remote side or the registrar challenges a request; the three")
                      INI_CL("values are needed together.")),
    INI_D_STRING(auth_user_name, sec_sip_authentication, D, nullptr, INI_KC("User name of the digest answer.")),
    INI_D_STRING(auth_password, sec_sip_authentication, D, nullptr, INI_KC("Password of the digest answer.")),
    INI_D_STRING(auth_realm, sec_sip_authentication, D, nullptr, INI_KC("Realm the credentials belong to.")),
    // SIP Register
    INI_D_COMMENT(sec_sip_register, INI_CL("The session registers its user (by name or by phone number) at the")
                                        INI_CL("registered address, and renews the registration before it expires.")),
    INI_D_BOOL(send_sip_register, sec_sip_register, D, 0, INI_KC("TRUE: the session sends REGISTER.")),
    INI_D_STR_ID(user_identification, sec_sip_register, U, 0, INI_KC("How the registered user is named.")),
    INI_D_STRING(user_name, sec_sip_register, U, nullptr, INI_KC("Registered user name.")),
    INI_D_STRING(user_phone_number, sec_sip_register, U, nullptr, INI_KC("Registered phone number.")),
    INI_D_STRING(registered_domain_name, sec_sip_register, U, nullptr, INI_KC("Domain of the registration.")),
    INI_D_IP(registered_ip_address, sec_sip_register, U, INI_KC("Address of the registration.")),
    INI_D_STR_ID(registering_user_identification, sec_sip_register, D, 3,
                 INI_KC("How a third party registering for the user is named.")),
    INI_D_STRING(registering_user_name, sec_sip_register, U, nullptr, INI_KC("Name of the registering party.")),
    INI_D_STRING(registering_user_phone_number, sec_sip_register, U, nullptr,
                 INI_KC("Phone number of the registering party.")),
    INI_D_STRING(registering_domain_name, sec_sip_register, U, nullptr, INI_KC("Domain of the registering party.")),
    INI_D_IP(registering_ip_address, sec_sip_register, U, INI_KC("Address of the registering party.")),
    INI_D_NUM(registering_port, sec_sip_register, D, 0, INI_KC("Port of the registering party.")),
    INI_D_NUM(register_expire_delay, sec_sip_register, D, 1, INI_KC("Expires value of the registration, in seconds.")),
    INI_D_BOOL(use_authentication_parameters, sec_sip_register, U, 0,
               INI_KC("TRUE: the [SIP Authentication] values answer the registrar's challenge.")),
    INI_D_BOOL(send_sip_register_to_registrar, sec_sip_register, D, 0,
               INI_KC("TRUE: REGISTER goes to the registrar of glb.cfg.")),
    // T.38 remote capabilities
    INI_D_COMMENT(sec_t38_remote_cap, INI_CL("Capabilities imposed on the remote side: the values offered or answered")
                                          INI_CL("in SDP are limited to these, per transport.")),
    INI_D_COMMENT_FN(sec_t38_remote_cap, app_foip_ini__t38_capabilities_comment),
    INI_D_NUM(rem_udp_t38_version, sec_t38_remote_cap, D, 0, INI_KC("T.38 version (UDPTL).")),
    INI_D_NUM(rem_udp_max_bit_rate, sec_t38_remote_cap, D, 14400, INI_KC("Highest fax bit rate (UDPTL).")),
    INI_D_BFI(rem_udp_rate_management, sec_t38_remote_cap, D, 2, INI_KC("Training check method (UDPTL).")),
    INI_D_BOOL(rem_udp_fill_bit_removal, sec_t38_remote_cap, D, 0, INI_KC("Fill bit removal (UDPTL).")),
    INI_D_BOOL(rem_udp_transcoding_mmr, sec_t38_remote_cap, D, 0, INI_KC("MMR transcoding (UDPTL).")),
    INI_D_BOOL(rem_udp_transcoding_jbig, sec_t38_remote_cap, D, 0, INI_KC("JBIG transcoding (UDPTL).")),
    INI_D_NUM(rem_udp_max_buffer, sec_t38_remote_cap, U, 0, INI_KC("Largest fax buffer of the remote side.")),
    INI_D_NUM(rem_udp_max_datagram, sec_t38_remote_cap, U, 0, INI_KC("Largest UDPTL datagram of the remote side.")),
    INI_D_BFI(rem_udp_ec, sec_t38_remote_cap, D, 2, INI_KC("UDPTL error correction.")),
    INI_D_BFI(rem_udp_force_cap, sec_t38_remote_cap, D, 0,
              INI_KC("Capabilities taken from this file even when the remote side offers") INI_KL("others (tests).")),
    INI_D_NUM(rem_tcp_t38_version, sec_t38_remote_cap, D, 0, INI_KC("T.38 version (TPKT).")),
    INI_D_NUM(rem_tcp_max_bit_rate, sec_t38_remote_cap, D, 14400, INI_KC("Highest fax bit rate (TPKT).")),
    INI_D_BFI(rem_tcp_rate_management, sec_t38_remote_cap, D, 2, INI_KC("Training check method (TPKT).")),
    INI_D_BOOL(rem_tcp_fill_bit_removal, sec_t38_remote_cap, D, 0, INI_KC("Fill bit removal (TPKT).")),
    INI_D_BOOL(rem_tcp_transcoding_mmr, sec_t38_remote_cap, D, 0, INI_KC("MMR transcoding (TPKT).")),
    INI_D_BOOL(rem_tcp_transcoding_jbig, sec_t38_remote_cap, D, 0, INI_KC("JBIG transcoding (TPKT).")),
    INI_D_BFI(rem_tcp_force_cap, sec_t38_remote_cap, D, 0,
              INI_KC("Capabilities taken from this file even when the remote side offers") INI_KL("others (tests).")),
    // T.38 local capabilities
    INI_D_NUM(lcl_udp_t38_version, sec_t38_local_cap, D, 0, INI_KC("Announced T.38 version (UDPTL).")),
    INI_D_NUM(lcl_udp_max_bit_rate, sec_t38_local_cap, D, 0, INI_KC("Announced highest bit rate (UDPTL).")),
    INI_D_BFI(lcl_udp_rate_management, sec_t38_local_cap, D, 0, INI_KC("Announced training check method (UDPTL).")),
    INI_D_BOOL(lcl_udp_fill_bit_removal, sec_t38_local_cap, D, 0, INI_KC("Announced fill bit removal (UDPTL).")),
    INI_D_BOOL(lcl_udp_transcoding_mmr, sec_t38_local_cap, D, 0, INI_KC("Announced MMR transcoding (UDPTL).")),
    INI_D_BOOL(lcl_udp_transcoding_jbig, sec_t38_local_cap, D, 0, INI_KC("Announced JBIG transcoding (UDPTL).")),
    INI_D_NUM(lcl_udp_max_buffer, sec_t38_local_cap, D, 0, INI_KC("Announced fax buffer size (UDPTL).")),
    INI_D_NUM(lcl_udp_max_datagram, sec_t38_local_cap, D, 0, INI_KC("Announced datagram size (UDPTL).")),
    INI_D_BFI(lcl_udp_ec, sec_t38_local_cap, D, 0, INI_KC("Announced error correction (UDPTL).")),
    INI_D_NUM(lcl_tcp_t38_version, sec_t38_local_cap, D, 0, INI_KC("Announced T.38 version (TPKT).")),
    INI_D_NUM(lcl_tcp_max_bit_rate, sec_t38_local_cap, D, 0, INI_KC("Announced highest bit rate (TPKT).")),
    INI_D_BFI(lcl_tcp_rate_management, sec_t38_local_cap, D, 0, INI_KC("Announced training check method (TPKT).")),
    INI_D_BOOL(lcl_tcp_fill_bit_removal, sec_t38_local_cap, D, 0, INI_KC("Announced fill bit removal (TPKT).")),
    INI_D_BOOL(lcl_tcp_transcoding_mmr, sec_t38_local_cap, D, 0, INI_KC("Announced MMR transcoding (TPKT).")),
    INI_D_BOOL(lcl_tcp_transcoding_jbig, sec_t38_local_cap, D, 0, INI_KC("Announced JBIG transcoding (TPKT).")),
    // T.38 media address
    INI_D_BOOL(incoming_call_no_filter, sec_t38_media_address, D, 0,
               INI_KC("TRUE: an incoming call is taken whatever user it names.")),
    INI_D_STR_ID(local_user_identification, sec_t38_media_address, D, 2, INI_KC("How the local user is named.")),
    INI_D_STRING(local_user_name, sec_t38_media_address, D, "User_local", INI_KC("Local user name.")),
    INI_D_STRING(local_user_phone_number, sec_t38_media_address, D, nullptr, INI_KC("Local phone number.")),
    INI_D_STR_ID(remote_user_identification, sec_t38_media_address, D, 2, INI_KC("How the remote user is named.")),
    INI_D_STRING(remote_user_name, sec_t38_media_address, D, "User_remote", INI_KC("Remote user name.")),
    INI_D_STRING(remote_user_phone_number, sec_t38_media_address, D, nullptr, INI_KC("Remote phone number.")),
    INI_D_IP(remote_media_ip_address, sec_t38_media_address, I, nullptr),
    INI_D_NUM(remote_media_port, sec_t38_media_address, I, 0, nullptr),
    INI_D_STRING(local_media_domain_name, sec_t38_media_address, D, nullptr, INI_KC("Local media domain name.")),
    INI_D_IP(local_media_ip_address, sec_t38_media_address, D,
             INI_KC("Local media IPv4 address; empty: the host's own address.")),
    INI_D_NUM(local_media_port, sec_t38_media_address, U, 0, INI_KC("Local media port.")),
    INI_D_BFI(update_media_port_rules, sec_t38_media_address, D, 2,
              INI_KC("INC: the audio port is the T.38 port + 1; UPD: the ports are updated") INI_KL("per session.")),
    INI_D_STRING(nat_local_media_domain_name, sec_t38_media_address, D, nullptr,
                 INI_KC("Media domain name seen from outside the NAT.")),
    INI_D_IP(nat_local_media_ip_address, sec_t38_media_address, D, INI_KC("Media address seen from outside the NAT.")),
    INI_D_NUM(nat_local_media_port, sec_t38_media_address, U, 0, INI_KC("Media port seen from outside the NAT.")),
    // FAX common
    INI_D_STRING(fax_id, sec_fax_common, D, nullptr, INI_KC("Fax identity (CSID/TSI) sent to the far end.")),
    INI_D_STR_ID(max_speed, sec_fax_common, D, 14, INI_KC("Highest fax speed, in bit/s.")),
    INI_D_STR_ID(min_speed, sec_fax_common, D, 2, INI_KC("Lowest fax speed, in bit/s.")),
    INI_D_STR_ID(ecm_frame_size, sec_fax_common, I, 50, nullptr),
    INI_D_FILE(temporary_tiff_file_name, sec_fax_common, D, INI_KC("Temporary TIFF file of the page conversion.")),
    INI_D_STR_ID(rx_ecm_frame_size, sec_fax_common, D, 50, INI_KC("Largest ECM frame accepted on reception.")),
    INI_D_BFI(rx_page_algorithm, sec_fax_common, D, 1, INI_KC("Page codings accepted on reception.")),
    INI_D_BFI(rx_page_resolution, sec_fax_common, D, 3, INI_KC("Page resolutions accepted on reception.")),
    INI_D_STR_ID(rx_page_width, sec_fax_common, D, 49, INI_KC("Widest page accepted on reception.")),
    INI_D_STR_ID(rx_page_length, sec_fax_common, D, 85, INI_KC("Longest page accepted on reception.")),
    INI_D_STR_ID(tx_wished_ecm_frame_size, sec_fax_common, D, 48, INI_KC("ECM frame size wished when sending.")),
    INI_D_BFI(tx_wished_page_algorithm, sec_fax_common, D, 1, INI_KC("Page codings wished when sending.")),
    // FAX Send
    INI_D_COMMENT(sec_fax_send, INI_CL("Dynamic fax page conversion: each page is converted when it is sent to the")
                                    INI_CL("coding, resolution and width that the receiver accepts.")),
    INI_D_NUM(counter_send, sec_fax_send, D, 1, INI_KC("Times the pages are sent.")),
    INI_D_STRING(page_header, sec_fax_send, D, nullptr, INI_KC("Header line printed at the top of each page.")),
    INI_D_NUM(bmp_top_margin, sec_fax_send, D, 10, INI_KC("Top margin of the header, in pels.")),
    INI_D_STR_ID(line_padding_mode, sec_fax_send, D, 0, INI_KC("Margins filled when a line is widened.")),
    // FAX Send page
    INI_D_FILE(page_tiff_file_name, sec_fax_send_page, D, INI_KC("TIFF file of the pages.")),
    INI_D_STR_ID(page_encoding, sec_fax_send_page, I, 0, nullptr),
    INI_D_STR_ID(page_resolution, sec_fax_send_page, I, 0, nullptr),
    INI_D_STR_ID(page_width, sec_fax_send_page, I, 0, nullptr),
    INI_D_STR_ID(page_length, sec_fax_send_page, I, 0, nullptr),
    // FAX Receive pages
    INI_D_FILE(rcv_tiff_file_name, sec_fax_receive_pages, D, INI_KC("TIFF file of the received pages.")),
    INI_D_NUM(max_received_fax_pages, sec_fax_receive_pages, D, 0, INI_KC("Most pages received; 0: no limit.")),
    INI_D_NUM(max_received_fax_data, sec_fax_receive_pages, D, 0, INI_KC("Most bytes received; 0: no limit.")),
    // Traces / Reports
    INI_D_WITH_FN(BFI, display_event, sec_traces, D, ini_tools__datum{.num = 0}, app_foip_ini__display_event_comment),
    INI_D_BFI(record_event, sec_traces, D, 0, INI_KC("Classes of events recorded in the event file.")),
    INI_D_FILE(event_file_name, sec_traces, D, INI_KC("Event file of the session.")),
    INI_D_NUM(max_length_of_event_file, sec_traces, D, 0, INI_KC("Longest event file before a new one is opened.")),
    INI_D_NUM(max_number_of_event_files, sec_traces, D, 5, INI_KC("Event files kept.")),
    INI_D_BFI(list_of_t38_events, sec_traces, D, 1 | 4 | 16 | 32 | 128 | 256 | 1024 | 2048 | 8192 | 16384,
              INI_KC("T.38 events shown and recorded.")),
    INI_D_FILE(audit_file_name, sec_traces, D, INI_KC("Message audit file of the session.")),
    INI_D_NUM(max_length_of_audit_file, sec_traces, D, 0, INI_KC("Longest audit file before a new one is opened.")),
    INI_D_NUM(max_number_of_audit_files, sec_traces, D, 5, INI_KC("Audit files kept.")),
    INI_D_BOOL(append_audit_file, sec_traces, D, 0, INI_KC("TRUE: the audit file is appended to, not emptied.")),
    INI_D_FILE(t38_trace_file_name, sec_traces, D, INI_KC("T.38 trace file of the session.")),
    INI_D_NUM(max_length_of_t38_trace_file, sec_traces, D, 0,
              INI_KC("Longest T.38 trace file before a new one is opened.")),
    INI_D_NUM(max_number_of_t38_trace_files, sec_traces, D, 5, INI_KC("T.38 trace files kept.")),
    INI_D_BOOL(append_t38_trace_file, sec_traces, D, 0, INI_KC("TRUE: the T.38 trace file is appended to.")),
    INI_D_BFI(t38_trace_list, sec_traces, D, 0, INI_KC("What the T.38 trace holds.")),
    INI_D_NUM(t38_trace_max_asn1_bytes, sec_traces, D, 50, INI_KC("ASN.1 bytes of a packet written in hexadecimal.")),
    INI_D_BOOL(t38_trace_full_display, sec_traces, D, 0, INI_KC("TRUE: every field of a T.38 packet is written.")),
    INI_D_NUM(t38_trace_max_pck_bytes, sec_traces, D, 10, INI_KC("Packet bytes written in hexadecimal.")),
    INI_D_NUM(t38_trace_max_fax_data, sec_traces, D, 1000, INI_KC("Fax data bytes written in hexadecimal.")),
    INI_D_WITH_FN(BOOL, t38_trace_kept_dfield, sec_traces, D, ini_tools__datum{.byte = 1},
                  app_foip_ini__kept_dfield_comment),
    INI_D_FILE(rx_samples_file_name, sec_traces, I, nullptr),
    INI_D_FILE(tx_samples_file_name, sec_traces, I, nullptr),
    // Pre-Recorded Samples Stream
    INI_D_FILE(sample_stream_file_name, sec_samples_stream, I, nullptr),
    // Debug Fields
    INI_D_NUM(tag_debug_field, sec_debug, D, 0, INI_KC("Debug fields are loaded when not 0.")),
    INI_D_NUM(debug_field_1, sec_debug, D, 0, INI_KC("Free value handed to the session for debugging.")),
    INI_D_NUM(debug_field_2, sec_debug, D, 0, INI_KC("Free value handed to the session for debugging.")),
    INI_D_END,
};

const ini_tools__array_size app_foip_ini__session_array_sizes[] = {
    {sec_fax_send_page, max_send_pages},
    {0, 0},
};

ini_tools__table app_foip_ini__new_session_table() {
  return ini_tools__table(app_foip_ini__session_defaults, app_foip_ini__session_array_sizes);
}
