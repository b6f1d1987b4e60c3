// Error tables of the FOIP entity, the text lookups of the confirm part, and
// the trap routine with its pool of report messages.
#include "session/foip/foip_err.h"

#include <cstring>
#include <deque>

#include "runtime/buffer.h"
#include "runtime/entity.h"
#include "session/foip/foip_ctx.h"
#include "session/foip/foip_long_data.h"
#include "t38/t38_report.h"

namespace {

// ---------------------------------------------------------------------------
// Tables: row 0 is the default text.

constexpr foip__name_entry foip_err__start_src_tbl[] = {
    {0, "Error source unknown"},
    {240, "FOIP__START_ERR_SRC__FOIP_CHK_PARAM, Check Session parameters provided thru foip__session_param structure"},
    {239,
     "FOIP__START_ERR_SRC__T38_COMMON_CONFIG, Process: Common Configuration of T.38 entity (T38__SET_CONFIG_RQ "
     "(T38__COMMON_CNF))"},
    {238,
     "FOIP__START_ERR_SRC__T38_SESSION_CONFIG, Process: Session Configuration of T.38 entity (T38__SET_CONFIG_RQ "
     "(T38__SESSION_CNF))"},
    {237, "FOIP__START_ERR_SRC__SOCKET_CONFIG, Process: Configuration of Socket entity (SM_SET_CONFIG_RQ)"},
    {236, "FOIP__START_ERR_SRC__T38_ACTIVATE, Process: T.38 entity activation (T38__ACT_RQ)"},
    {235, "FOIP__START_ERR_SRC__FAX_CONFIG, Process: Configuration of FAX entity (SM_SET_CONFIG_RQ)"},
    {234, "FOIP__START_ERR_SRC__FAX_ACT__API, Process: FAX entity activation (FAX__ACT_RQ / CO API error)"},
    {233,
     "FOIP__START_ERR_SRC__FAX_ACT__ORG, Process: FAX entity activation (FAX__ACT_RQ / CO Send Fax parameters error)"},
    {232,
     "FOIP__START_ERR_SRC__FAX_ACT__ANS, Process: FAX entity activation (FAX__ACT_RQ / CO Received Fax parameters "
     "error)"},
    {0,
     "FOIP__START_ERR_SRC__SIP_RCODE_0XX, Process: SIP connection failure range 0xx (Error detected by SIP, SIP_SC or "
     "FOIP entity)"},
    {3, "FOIP__START_ERR_SRC__SIP_RCODE_3XX, Process: SIP connection failure range 3xx (Redirection)"},
    {4, "FOIP__START_ERR_SRC__SIP_RCODE_4XX, Process: SIP connection failure range 4xx (Request Failure)"},
    {5, "FOIP__START_ERR_SRC__SIP_RCODE_5XX, Process: SIP connection failure range 5xx (Server Failure)"},
    {6, "FOIP__START_ERR_SRC__SIP_RCODE_6XX, Process: SIP connection failure range 6xx (Global Failures)"},
    {230,
     "FOIP__START_ERR_SRC__SOCKET_LISTEN, Process: an error has been returned by SOCK_START_LISTEN_CO (TCP socket "
     "activation)"},
    {229,
     "FOIP__START_ERR_SRC__SOCKET_EST_CO, Process: an error has been returned by SOCK_EST_CO (TCP socket activation)"},
    {228, "FOIP__START_ERR_SRC__SOCKET_EST_IN, Process: Receive bad SOCK_EST_IN (TCP socket activation)"},
    {227, "FOIP__START_ERR_SRC__TCP_CONNECT_FAILURE, Process: Error during TCP connection establishment"},
    {226, "FOIP__START_ERR_SRC__DNS_REQUEST, Error during DNS request to resolve domain name of remote T/38 media"},
    {225, "FOIP__START_ERR_SRC__OTHER_ERRORS: Other Errors source"},
    {0, ""},
};

constexpr foip__name_entry foip_err__cfg_src_tbl[] = {
    {0, "Error source unknown"},
    {255, "FOIP__CFG_ERR_SRC__FOIP_CHK_PARAM, Check Global parameters provided thru foip__global_param structure"},
    {254, "FOIP__CFG_ERR_SRC__T38_CAPABILITIES, Process: T.38 capabilities request (T38__CAPABILITIES_RQ)"},
    {253, "FOIP__CFG_ERR_SRC__SIP_CONFIG, Process: Configuration of SIP entity (SM_SET_CONFIG_RQ)"},
    {252, "FOIP__CFG_ERR_SRC__SOCKET_CONFIG, Process: Configuration of Socket entity (SM_SET_CONFIG_RQ)"},
    {0, ""},
};

constexpr foip__name_entry foip_err__register_src_tbl[] = {
    {0, "Error source unknown"},
    {200,
     "FOIP__REGISTER_ERR_SRC__FOIP_CHK_PARAM, Check Register parameters provided thru FOIP__SIP_REGISTER_RQ primitive"},
    {0,
     "FOIP__REGISTER_ERR_SRC__SIP_RCODE_0XX, Process: SIP connection failure range 0xx (Error detected by SIP, SIP_SC "
     "or FOIP entity)"},
    {3, "FOIP__REGISTER_ERR_SRC__SIP_RCODE_3XX, Process: SIP connection failure range 3xx (Redirection)"},
    {4, "FOIP__REGISTER_ERR_SRC__SIP_RCODE_4XX, Process: SIP connection failure range 4xx (Request Failure)"},
    {5, "FOIP__REGISTER_ERR_SRC__SIP_RCODE_5XX, Process: SIP connection failure range 5xx (Server Failure)"},
    {6, "FOIP__REGISTER_ERR_SRC__SIP_RCODE_6XX, Process: SIP connection failure range 6xx (Global Failures)"},
    {0, ""},
};

constexpr foip__name_entry foip_err__src225_tbl[] = {
    {0, "Error code unknown"},
    {1, "FOIP__START_ERR__FOIP_ENTITY_NOT_READY, FOIP Entity is not yet ready to process FOIP__START_RQ message"},
    {2, "FOIP__START_ERR__GLB_FOIP_ENTITY_CNF_NOK, A FOIP__SET_CONFIG_CO (NOK) has been returned"},
    {0, ""},
};

constexpr foip__name_entry foip_err__src226_tbl[] = {
    {0, "Error code unknown"},
    {1, "DNS_CAUSE_NO_DATA, Valid name, no data record of requested type"},
    {2, "DNS_CAUSE_HOST_NOT_FOUND, Authoritative answer host not found"},
    {3, "DNS_CAUSE_UNKNOWN, Unknown DNS error"},
    {4, "DNS_CAUSE_NO_THREAD, Not enough system resource to create a thread"},
    {0, ""},
};

constexpr foip__name_entry foip_err__src232_tbl[] = {
    {0, "Error code unknown"},
    {31, "FAX__NO_RCV_FNAME, No generic Rcv filename (described into configuration structure)"},
    {32, "FAX__POLL_NO_SND_FAX_PG, Polling mode: No Fax page to send"},
    {0, ""},
};

constexpr foip__name_entry foip_err__src233_tbl[] = {
    {0, "Error code unknown"},
    {21, "FAX__NO_SND_FAX_PG, No Fax page to send described into configuration structure"},
    {22, "FAX__POLL_NO_RCV_FNAME, Polling mode: No generic Rcv filename"},
    {0, ""},
};

constexpr foip__name_entry foip_err__src234_tbl[] = {
    {0, "Error code unknown"},
    {11, "FAX__NOT_READY, FAX Entity not yet ready (Timer FAX__TI_START not yet ended up)"},
    {12, "FAX__SESSION_ALREADY_RUNNING, Session has been already launched (FAX__ACT_RQ already received)"},
    {13, "FAX__UNKNOWN_ACTION, Unknown act_action field"},
    {0, ""},
};

constexpr foip__name_entry foip_err__src235_tbl[] = {
    {0, "Error code unknown"},
    {10, "FAX__CFG_ERR_NA, NA ID > Na_nb (NA ID > Max authorized NA for whole system)"},
    {11, "FAX__CFG_ERR_ACCESS_NA, NA already configured"},
    {12, "FAX__CFG_ERR_ALLOC_RESOURCE, Memory allocation error (Mem_alloc)"},
    {13, "FAX__CFG_ERR_TIMER_RESOURCE, Can't alloc new timer cell (Timer_alloc)"},
    {14,
     "FAX__CFG_ERR_ONLY_1_NA, If FAX launchs ACU, CF, ... entities configuration then only one Ctx must be described "
     "into fax__config structure (FAX__LOW_ENTITY_CONFIG == ON)"},
    {21, "FAX__CFG_ERR_FNAME_TIFF_TMP_PG, Error Config: <sz_fname_tiff_tmp_pg> is empty"},
    {31, "FAX__CFG_ERR_OPEN_TX_TIFF_FNAME, Can't open Tx Tiff file name"},
    {32, "FAX__CFG_ERR_OPEN_TX_TMP_FNAME, Can't open Temporary file used to extract Fax page from input Tiff file"},
    {33, "FAX__CFG_ERR_TIFF_ERR0, Internal error (Init twice times the same Tiff Ctx)"},
    {34, "FAX__CFG_ERR_TIFF_ERR__FOPEN_FAILURE, Error reported by TIFF module: Can't open file"},
    {35, "FAX__CFG_ERR_TIFF_ERR__WRONG_TIFF_HEADER, Error reported by TIFF module: Bad TIFF ID into file header"},
    {36, "FAX__CFG_ERR_TIFF_ERR__WRONG_TIFF_FILE, Error reported by TIFF module: TIFF file too short, .... ?"},
    {37,
     "FAX__CFG_ERR_TIFF_ERR__TOO_MUCH_IFD_ENTRIES, Error reported by TIFF module: Error into TIFF fields of Page "
     "Header"},
    {38, "FAX__CFG_ERR_TIFF_ERR__STRIP_ENTRY, Error reported by TIFF module: Error into TIFF fields of Page Header"},
    {39, "FAX__CFG_ERR_TIFF_ERR__ROWS_PER_STRIP, Error reported by TIFF module: Error into TIFF fields of Page Header"},
    {40,
     "FAX__CFG_ERR_TIFF_ERR__STRIP_BYTE_ENTRY, Error reported by TIFF module: Error into TIFF fields of Page Header"},
    {41,
     "FAX__CFG_ERR_TIFF_ERR__TOO_MUCH_BUF_IFD_VALUE_8_ENTRIES, Error reported by TIFF module: Error into TIFF fields "
     "of Page Header"},
    {42,
     "FAX__CFG_ERR_TIFF_ERR__TOO_MUCH_BUF_IFD_VALUE_16_ENTRIES, Error reported by TIFF module: Error into TIFF fields "
     "of Page Header"},
    {43, "FAX__CFG_ERR_TIFF_PG_HDR_COLOR, Fax page to send is not Bilevel color image"},
    {44, "FAX__CFG_ERR_TIFF_PG_HDR_NB_BITS_PER_PIXEL, Fax page to send: Not 1 bit per pixel"},
    {45, "FAX__CFG_ERR_TIFF_PG_HDR_COLOR_FORMAT, Fax page to send: Color format is not \"White pixel is zero\""},
    {46, "FAX__CFG_ERR_TIFF_PG_HDR_BAD_ENCODING_METHOD, Fax page to send: Not T.4 mono / Bi or T.6 encoding method"},
    {47, "FAX__CFG_ERR_TIFF_PG_HDR_BAD_NB_PIXEL, Fax page to send: Not supported Nb pixels per line"},
    {48, "FAX__CFG_ERR_TIFF_PG_HDR_BAD_RESOLUTION,  Fax page to send: Bad resolution"},
    {0, ""},
};

constexpr foip__name_entry foip_err__src236_tbl[] = {
    {0, "Error code unknown"},
    {1, "T38GW__MSG_ERR__CANT_CONNECT_TDM, The user macro: T38gw__tdm_bus_connect returns an error"},
    {2, "T38GW__MSG_ERR__SMODEM_ERROR, Error while Smodem object initialisation"},
    {3, "T38__MSG_ERR__IFP_ERROR, Error while IFP packet is built (ASN.1 encoding)"},
    {4, "T38GW__MSG_ERR__MEMORY_ALLOC, Error while memory allocation"},
    {5, "T38GW__MSG_ERR__AUTOMATON_0, A DCS value can't converted into known modulation"},
    {6, "T38GW__MSG_ERR__AUTOMATON_1, A demodulator has been launched but CTS event has been received"},
    {7, "T38GW__MSG_ERR__AUTOMATON_2, A modulator has been launched but CD event has been received"},
    {0, ""},
};

constexpr foip__name_entry foip_err__t38_cfg_tbl[] = {
    {0, "Error code unknown"},
    {12, "T38__CFG_ERR_ALLOC_RESOURCE, Can't allocate memory ressource (Msg/Buffer or context)"},
    {13, "T38__CFG_ERR_TIMER_RESOURCE, Can't allocate timer cell"},
    {100, "T38__CFG_ERR_UNKNOWN_KIND_OF_CFG, Bad kind_of_cfg field (!= T38__SESSION_CNF / T38__COMMON_CNF)"},
    {101,
     "T38__CFG_ERR_T38_SESSION_IN_PROGRESS, A T.38 session is activated (Gateway / IAF) so common config (kind_of_cfg "
     "== T38__COMMON_CNF) can't be processed"},
    {102,
     "T38__CFG_ERR_COMM_CNF_NOT_RECEIVED, Common config (kind_of_cfg == T38__COMMON_CNF) not yet received, so NA can't "
     "be initialized"},
    {103,
     "T38__CFG_ERR_TOO_MUCH_SESSION_IN_PROGRESS, Too Much T.38 session in progress (T38__MAX_NA reached) so new "
     "SM_SET_CONFIG_RQ is rejected"},
    {104, "T38__CFG_ERR_T38_SESSION_ALREADY_DEFINED, Try to initialize a T.38 session which is already defined"},
    {105, "T38__CFG_ERR_GATEWAY_NOT_COMPILED, kind_of_session == T38__GATEWAY_SESSION but T38__GATEWAY = OFF"},
    {106, "T38__CFG_ERR_IAF_NOT_COMPILED, kind_of_session == T38__IAF_SESSION but T38__IAF = OFF"},
    {107, "T38__CFG_ERR_TCP_NOT_COMPILED, media_transport == T38__TCP but T38__TCP_TRANSPORT = OFF"},
    {108,
     "T38__CFG_ERR_T38_CAP__1_DRATE_MGT_METHOD, T38__cap__drate_mgt_method == T38__LOCAL_TCF but T38__LCL_TCF == OFF"},
    {109,
     "T38__CFG_ERR_T38_CAP__2_DRATE_MGT_METHOD, T38__cap__drate_mgt_method == T38__TRANSFERED_TCF but T38__TRANS_TCF "
     "== OFF"},
    {110, "T38__CFG_ERR_T38_CAP__1_FAX_MAX_BUFFER_SIZE, T38__cap__fax_max_buffer_size == 0"},
    {111, "T38__CFG_ERR_T38_CAP__2_FAX_MAX_BUFFER_SIZE, T38__cap__fax_max_buffer_size < T38__cap__max_datagram_size"},
    {112, "T38__CFG_ERR_T38_CAP__MAX_DATAGRAM_SIZE, T38__cap__max_datagram_size == 0"},
    {113, "T38__CFG_ERR_T38_CAP__UDP_EC, T38__cap__udp_ec == T38__EC_FEC but T38__UDPTL_FEC == OFF"},
    {150, "T38IAF__CFG_ERR_TIMER_RESOURCE, Can't allocate VXL timer cell"},
    {160, "T38IAF__CFG_ERR_VXL_BUFF_TOO_SMALL, ECM frame (260bytes) can't be stored into VXL buffer"},
    {161, "T38IAF__CFG_ERR_BAD_FLOW_CTRL_THR, flow_ctrl_thr_high <= flow_ctrl_thr_low"},
    {170, "T38__CFG_ERR_UDP_EC__RED, T38__UDPTL_REDUNDANCY = OFF and udp_ec = T38__EC_REDUNDANCY"},
    {171, "T38__CFG_ERR_UDP_EC__FEC, T38__UDPTL_FEC = OFF and udp_ec = T38__EC_FEC"},
    {172, "T38__CFG_ERR_UDP_EC__FEC_NOT_SUPPORTED, udp_ec = T38__EC_FEC"},
    {190, "T38GW__CFG_ERR_T38_SESSION_NOT_INITIALIZED, Try to release a context not initialized"},
    {0, ""},
};

constexpr foip__name_entry foip_err__src240_tbl[] = {
    {0, "Error code unknown"},
    {1,
     "FOIP__START_ERR__GLB_CNF_NOT_SET, Global configuration not set: FOIP__SET_CONFIG_RQ not called or "
     "FOIP__SET_CONFIG_CO (NOK)"},
    {2, "FOIP__START_ERR__REASSEMBLE_BUFF, Can't reassemble buffers configuration"},
    {3, "FOIP__START_ERR__NAI, <nai> value > Na_nb"},
    {4, "FOIP__START_ERR__NAI_2, <nai> value > R_msg_nai stored into FOIP__START_RQ"},
    {5, "FOIP__START_ERR__NAI_ALREADY_USED, Session already initialized"},
    {6, "FOIP__START_ERR__ALLOC_RESOURCE, Mem_alloc function returns P_NIL"},
    {7, "FOIP__START_ERR__TIMER_RESOURCE, Timer_alloc function returns P_NIL"},
    {8,
     "FOIP__START_ERR__LOCAL_USER_PHONE_NUMBER_TOO_LONG,  <sz_local_user_phone_number> too long or forbidden "
     "character"},
    {9,
     "FOIP__START_ERR__REMOTE_USER_PHONE_NUMBER_TOO_LONG, <sz_remote_user_phone_number> too long or forbidden "
     "character"},
    {13, "FOIP__START_ERR__FAX__FNAME_FAX_PG_ACCESS, File access error <sz_fname_fax_pg>"},
    {14,
     "FOIP__START_ERR__FAX__GENERIC_FNAME_RCV_FAX_PG_ACCESS, File access error <sz_generic_fname_rcv_fax_pg> or "
     "<sz_tiff_fname_rcv_fax_pg>"},
    {15,
     "FOIP__START_ERR__DIRECTION_1, dir = FOIP__DIR_OUT & flag_poll = FALSE: Fax will start an outgoing call AND will "
     "send Fax pages BUT foip__fax_pg_descriptor empty"},
    {16,
     "FOIP__START_ERR__DIRECTION_2, dir = FOIP__DIR_OUT & flag_poll = TRUE: (Polling mode) Fax will start an outgoing "
     "call AND will receive pages BUT sz_generic_fname_rcv_fax_pg empty"},
    {17,
     "FOIP__START_ERR__DIRECTION_3, dir = FOIP__DIR_IN & flag_poll = FALSE: Fax will accept an incoming call AND will "
     "receive pages BUT sz_generic_fname_rcv_fax_pg empty"},
    {18,
     "FOIP__START_ERR__DIRECTION_4, dir = FOIP__DIR_IN & flag_poll = TRUE: (Polling mode) Fax will accept an incoming "
     "call AND will send Fax pages BUT foip__fax_pg_descriptor empty"},
    {19, "FOIP__START_ERR__FNAME_EVT_ACCESS, File access error <sz_fname_event>"},
    {20, "FOIP__START_ERR__FNAME_AUDIT_ACCESS, File access error <sz_fname_audit>"},
    {21, "FOIP__START_ERR__FNAME_T38_TRC_ACCESS, File access error <sz_fname_t38_trc>"},
    {22, "FOIP__START_ERR__FNAME_SMP_RX_ACCESS, File access error <sz_fname_rx_samples>"},
    {23, "FOIP__START_ERR__FNAME_SMP_TX_ACCESS, File access error <sz_fname_tx_samples>"},
    {24,
     "FOIP__START_ERR__LOCAL_MEDIA_PORT, <local_media_ip_addr.ip_port> is 0, or a media port (port + 2) would exceed "
     "65535"},
    {84, "FOIP__START_ERR__FAX__TIFF_FNAME_FAX_PG_ACCESS, File access error <sz_tiff_fname_fax_pg>"},
    {84, "FOIP__START_ERR__FAX__TMP_TIFF_FILE, Wrong value loaded into <sz_fname_tiff_tmp_pg>"},
    {85, "FOIP__START_ERR__FAX__TMP_TIFF_FILE_ACCESS, File access error <sz_fname_tiff_tmp_pg>"},
    {86, "FOIP__START_ERR__LINE_PADDING_MODE, Wrong value loaded into <tx_fax_page_settings.line_padding_mode>"},
    {90, "FOIP__START_ERR_TIFF_ERR__FOPEN_FAILURE, Error reported by TIFF module: Can't open file"},
    {91, "FOIP__START_ERR_TIFF_ERR__WRONG_TIFF_HEADER, Error reported by TIFF module: Bad TIFF ID into file header"},
    {92, "FOIP__START_ERR_TIFF_ERR__WRONG_TIFF_FILE, Error reported by TIFF module: TIFF file too short, .... ?"},
    {93,
     "FOIP__START_ERR_TIFF_ERR__TOO_MUCH_IFD_ENTRIES, Error reported by TIFF module: Error into TIFF fields of Page "
     "Header"},
    {94, "FOIP__START_ERR_TIFF_ERR__STRIP_ENTRY, Error reported by TIFF module: Error into TIFF fields of Page Header"},
    {95,
     "FOIP__START_ERR_TIFF_ERR__ROWS_PER_STRIP, Error reported by TIFF module: Error into TIFF fields of Page Header"},
    {96,
     "FOIP__START_ERR_TIFF_ERR__STRIP_BYTE_ENTRY, Error reported by TIFF module: Error into TIFF fields of Page "
     "Header"},
    {97,
     "FOIP__START_ERR_TIFF_ERR__TOO_MUCH_BUF_IFD_VALUE_8_ENTRIES, Error reported by TIFF module: Error into TIFF "
     "fields of Page Header"},
    {98,
     "FOIP__START_ERR_TIFF_ERR__TOO_MUCH_BUF_IFD_VALUE_16_ENTRIES, Error reported by TIFF module: Error into TIFF "
     "fields of Page Header"},
    {99, "FOIP__START_ERR_TIFF_PG_HDR_COLOR, Fax page to send is not Bilevel color image"},
    {100, "FOIP__START_ERR_TIFF_PG_HDR_NB_BITS_PER_PIXEL, Fax page to send: Not 1 bit per pixel"},
    {101, "FOIP__START_ERR_TIFF_PG_HDR_COLOR_FORMAT, Fax page to send: Color format is not \"White pixel is zero\""},
    {102,
     "FOIP__START_ERR_TIFF_PG_HDR_BAD_ENCODING_METHOD, Fax page to send: Not T.4 mono / Bi or T.6 encoding method"},
    {103, "FOIP__START_ERR_TIFF_PG_HDR_BAD_NB_PIXEL, Fax page to send: Not supported Nb pixels per line"},
    {104, "FOIP__START_ERR_TIFF_PG_HDR_BAD_RESOLUTION, Fax page to send: Bad resolution"},
    {0, ""},
};

constexpr foip__name_entry foip_err__src253_tbl[] = {
    {0, "Error code unknown"},
    {16, "SIP_ERR_CFG_TMP_MEMORY, failed to reassemble large configuration buffers"},
    {13, "SIP_ERR_UNKNOWN_NAI, NAI not configured yet"},
    {11, "SIP_ERR_WRONG_NAI, NAI out of range or duplicated"},
    {12, "SIP_ERR_WRONG_EQUIPMENT, Wrong equipment type"},
    {15, "SIP_ERR_TI_ALLOC, Timer allocation failure"},
    {10, "SIP_ERR_MEMORY, lack of memory resource"},
    {0, ""},
};

constexpr foip__name_entry foip_err__src255_tbl[] = {
    {0, "Error code unknown"},
    {2, "FOIP__CFG_ERR__FOIP__REPORT_IN_BUF_TOO_SMALL, Can't store FOIP__REPORT_IN error into one buffer"},
    {3, "FOIP__CFG_ERR__REASSEMBLE_BUFF, Can't reassemble VXL buffers of FOIP__SET_CONFIG_RQ primitive"},
    {4, "FOIP__CFG_ERR__ALLOC_RESOURCE, Mem_alloc function returns P_NIL"},
    {5, "FOIP__CFG_ERR__TIMER_RESOURCE, Timer_alloc function returns P_NIL"},
    {6, "FOIP__CFG_ERR__MSG_BUFF_RESOURCE, Can't allocate a Msg or a buffer"},
    {7, "FOIP__CFG_ERR__FNAME_GLB_EVENT_ACCES_FILE, Can't create <sz_fname_event> (fopen error)"},
    {8, "FOIP__CFG_ERR__FNAME_GLB_AUDIT_ACCES_FILE, Can't create <sz_fname_audit> (fopen error)"},
    {39, "FOIP__CFG_ERR__ALLOC_MEM_SSC_ALLOC_HANDLE, Ssc_alloc_handle can't allocate buffer"},
    {0, ""},
};

constexpr foip__name_entry foip_err__src190_tbl[] = {
    {0, "Error code unknown"},
    {1, "FOIP__T38_CAP_ERR__MSG_BUFF_RESOURCE, Can't alloc Msg/Buffer to send T38__CAPABILITIES_RQ"},
    {2,
     "FOIP__T38_CAP_ERR__PREPARE_CO_1, Build FOIP__T38_CAPABILITIES_CO: foip_proc_api__prepare_long_data_to_send "
     "returns NOK"},
    {3, "FOIP__T38_CAP_ERR__PREPARE_CO_2, FOIP__T38_CAPABILITIES_CO: foip_proc_api__eof_long_data_to_send returns NOK"},
    {0, ""},
};

constexpr foip__name_entry foip_err__src200_tbl[] = {
    {0, "Error code unknown"},
    {1, "FOIP__REGISTER_ERR__GLB_CNF_NOT_SET, Global configuration not loaded"},
    {2,
     "FOIP__REGISTER_ERR__NO_MORE_RESOURCE, Can't build new SIP Register (no more memory ressource increase: "
     "FOIP__MAX_SIP_REGISTER"},
    {3,
     "FOIP__REGISTER_ERR__NO_REGISTRAR_NO_OUTPROXY, No Outbound Proxy and No Registrar server defined into Global "
     "configuration"},
    {4, "FOIP__REGISTER_ERR__USER_IDENTIFICATION, Wrong value loaded into <local_user_identification>"},
    {5, "FOIP__REGISTER_ERR__USER_PHONE_NUMBER_TOO_LONG, Wrong value loaded into <sz_user_phone_number>"},
    {6,
     "FOIP__REGISTER_ERR__NO_USER_NAME__USER_PHONE_NB, Wrong value loaded into <sz_user_name / sz_user_phone_number> "
     "(empty fields)"},
    {7, "FOIP__REGISTER_ERR__REGISTERED_IP_FAMILY, Wrong value loaded into <registered_addr.ip_addr.ip_family>"},
    {8, "FOIP__REGISTER_ERR__NO_DNAME_NO_IP_ADDR, No Domain and No IP Address defined into <registered_addr>"},
    {9, "FOIP__REGISTER_ERR__BOTH_DNAME_IP_ADDR, Domain and IP Address are defined into <registered_addr>"},
    {10, "FOIP__REGISTER_ERR__REGISTERED_IPV4_ADDR, Wrong value loaded into <registered_addr.ip_addr.addr.v4>"},
    {11, "FOIP__REGISTER_ERR__REGISTERED_IPV6_ADDR, Wrong value loaded into <registered_addr.ip_addr.addr.v6>"},
    {12, "FOIP__REGISTER_ERR__EXPIRES_SEC, Wrong value loaded into <expires_sec>"},
    {13, "FOIP__REGISTER_ERR__AUTH__FLAG_ENABLE, Wrong value loaded into <sip_authentication.flag_enable>"},
    {14,
     "FOIP__REGISTER_ERR__AUTH__MISSING_FIELD, Wrong value loaded into <sip_authentication.sz_user_name / "
     "sz_user_password / sz_realm>"},
    {0, ""},
};

constexpr foip__name_entry foip_err__ret_code_tbl[] = {
    {0, "Unknown error"},
    {1, "Bad media (1 internal FOIP)"},
    {2, "Bad SDP (2 internal FOIP)"},
    {3, "No remote media IP address (3 internal FOIP)"},
    {4, "Media address is a domain name (4 internal FOIP)"},
    {5, "No reinvite received (5 internal FOIP)"},
    {6, "Call failure (6 internal FOIP)"},
    {7, "Wrong user alert response (7 User error)"},
    {10, "Lack of memory resource (10 internal SIP)"},
    {11, "Session out of range or duplicated (11 internal SIP)"},
    {12, "Wrong equipment type specified (12 internal SIP)"},
    {13, "Session not yet configured (13 internal SIP)"},
    {14, "Session inactive (14 internal SIP)"},
    {15, "Timer allocation failure (15 internal SIP)"},
    {16, "Memory error in configuration buffer (16 internal SIP)"},
    {17, "Connection ID already in use (17 internal SIP)"},
    {18, "Parameter length error (18 internal SIP)"},
    {19, "Parameter content error (19 internal SIP)"},
    {20, "Parameter number error (20 internal SIP)"},
    {21, "Parameter overflow (21 internal SIP)"},
    {22, "Event ID error (22 internal SIP)"},
    {24, "No response from remote gateway (24 internal SIP)"},
    {25, "No response from local server (25 internal SIP)"},
    {26, "Parameter missing (26 internal SIP)"},
    {27, "Unknown call error (27 internal SIP)"},
    {28, "Connection error (28 internal SIP)"},
    {29, "No address (29 internal SIP)"},
    {30, "No more call (30 internal SIP)"},
    {31, "Data size error (31 internal SIP)"},
    {32, "Connection ID too high (32 internal SIP)"},
    {33, "Incomplete message (33 internal SIP)"},
    {34, "No transaction (34 internal SIP)"},
    {35, "Internal error (35 internal SIP)"},
    {36, "No final response (36 internal SIP)"},
    {37, "Error in received message (37 internal SIP)"},
    {38, "Transaction error (38 internal SIP)"},
    {39, "Upper response error (39 internal SIP)"},
    {40, "Error in received call (40 internal SIP)"},
    {100, "Trying (100)"},
    {180, "Ringing (180)"},
    {181, "Call Is Being Forwarded (181)"},
    {182, "Queued (182)"},
    {183, "Session Progress (183)"},
    {200, "OK (200)"},
    {202, "Accepted (for referrals) (202)"},
    {300, "300 - Multiple Choices"},
    {301, "301 - Moved Permanently"},
    {302, "302 - Moved Temporarily"},
    {305, "305 - Use Proxy"},
    {380, "380 - Alternative Service"},
    {400, "Network Error (400 - Bad Request)"},
    {401, "Network Error (401 - Unauthorized)"},
    {402, "Network Error (402 - Payment Required)"},
    {403, "Network Error (403 - Forbidden)"},
    {404, "Network Error (404 - User Not Found)"},
    {405, "Network Error (405 - Method Not Allowed)"},
    {406, "Network Error (406 - Not Acceptable)"},
    {407, "Network Error (407 - Proxy Authentication Required)"},
    {408, "Network Error (408 - Request Timeout (couldn't find the user in time))"},
    {409, "SIP Error (409)"},
    {410, "SIP Error (410)"},
    {411, "SIP Error (411)"},
    {413, "SIP Error (413)"},
    {414, "SIP Error (414 - Request-URI Too Long)"},
    {415, "SIP Error (415 - Unsupported Media Type)"},
    {416, "SIP Error (416 - Unsupported URI Scheme)"},
    {420, "SIP Error (420 - Bad SIP Protocol Extension)"},
    {421, "SIP Error (421 - Extension Required)"},
    {422, "SIP Error (422 - Session Interval Too Small)"},
    {423, "SIP Error (423 - Interval Too Brief)"},
    {480, "SIP Error (480 - Temporarily Unavailable)"},
    {481, "SIP Error (481 - Call/Transaction Does Not Exist)"},
    {482, "SIP Error (482 - Loop Detected)"},
    {483, "SIP Error (483 - Too Many Hops)"},
    {484, "SIP Error (484 - Address Incomplete)"},
    {485, "SIP Error (485 - Ambiguous)"},
    {486, "SIP Error (486 - Busy Here)"},
    {487, "SIP Error (487 - Request Terminated)"},
    {488, "SIP Error (488 - Not Acceptable Here)"},
    {489, "SIP Error (489 - Bad Event)"},
    {491, "SIP Error (491 - Request Pending)"},
    {493, "SIP Error (493 - Could not decrypt S/MIME body part)"},
    {500, "Server Internal Error (500)"},
    {501, "The SIP request method is not implemented here (501)"},
    {502, "Bad Gateway (502)"},
    {503, "SIP Error - Service Unavailable, problem with line (503)"},
    {504, "Server Time-out (504)"},
    {505, "The server does not support this version of the SIP protocol (505)"},
    {513, "Message Too Large (513)"},
    {600, "Busy Everywhere (600)"},
    {603, "Decline (603)"},
    {604, "Does Not Exist Anywhere (604)"},
    {606, "Not Acceptable (606)"},
    {0, ""},
};

constexpr foip__name_entry foip_err__socket_tbl[] = {
    {0, "Error code unknown"}, {1, "TPIP error (1)"},   {2, "TPIP error (2)"},
    {3, "TPIP error (3)"},     {8, "TPIP error (4)"},   {9, "TPIP error (5)"},
    {10, "TPIP error (6)"},    {11, "TPIP error (7)"},  {13, "TPIP error (8)"},
    {14, "TPIP error (9)"},    {15, "TPIP error (10)"}, {16, "TPIP error (11)"},
    {17, "TPIP error (12)"},   {18, "TPIP error (13)"}, {19, "TPIP error (14)"},
    {20, "TPIP error (15)"},   {21, "TPIP error (16)"}, {22, "TPIP error (17)"},
    {23, "TPIP error (18)"},   {24, "TPIP error (19)"}, {25, "TPIP error (20)"},
    {32, "TPIP error (21)"},   {33, "TPIP error (22)"}, {34, "TPIP error (23)"},
    {35, "TPIP error (24)"},   {36, "TPIP error (25)"}, {37, "TPIP error (26)"},
    {38, "TPIP error (27)"},   {39, "TPIP error (28)"}, {40, "TPIP error (29)"},
    {41, "TPIP error (30)"},   {42, "TPIP error (31)"}, {48, "TPIP error (32)"},
    {49, "TPIP error (33)"},   {50, "TPIP error (34)"}, {51, "TPIP error (35)"},
    {53, "TPIP error (35)"},   {80, "TPIP error (50)"}, {81, "TPIP error (51)"},
    {82, "TPIP error (52)"},   {83, "TPIP error (53)"}, {0, ""},
};

constexpr foip__name_entry foip_err__diag_cf_tbl[] = {
    {0, "(CFF_xxxxxxxx) unknown code"},
    {1, "(CFF_LOCAL_OK) disconnection ok, local"},
    {2, "(CFF_REMOTE_OK) disconnection ok, remote"},
    {3, "(CFF_UNSPEC_OK) disconnection ok, unspecified"},
    {4, "(CFF_FORCED_DISC) forced disconnection"},
    {5, "(CFF_REMOTE_DISC) disconnection nok, remote"},
    {6, "(CFF_INTERNAL_TIME_OUT) internal time-out"},
    {7, "(CFF_USER_TIME_OUT) CF user time-out error"},
    {8, "(CFF_USER_DISCONNECTION) Control Functions user initiated disconnection"},
    {9, "(CFF_NO_CD) no Carrier Detect"},
    {10, "(CFF_INTERNAL_ERROR) internal error"},
    {11, "(CFF_NO_INV_FRAME) no or invalid frame received"},
    {13, "(CFF_NODIS_R) T1 exp, no DIS received"},
    {15, "(CFF_NOANS_DIS) T1 timer expired while sending DIS, no peer entity answer"},
    {21, "(CFF_PROTOCOL_ERROR) protocol error: incompatible received DCS/DTC, etc."},
    {23, "(CFF_NO_CFR) no CFR received"},
    {24, "(CFF_TRIES_EXHAUSTED_X) training (TCF) transmission tries exhausted"},
    {29, "(CFF_NO_MCF) no MCF/RTN/RTP/PIN/PIP received"},
    {33, "(CFF_NO_MPS) no \"end of page\" frame received"},
    {34, "(CFF_NO_TCF) abnormal received training (TCF) probably too long"},
    {35, "(CFF_TRIES_EXHAUSTED_R) ECM: too many errors signalled by remote"},
    {36, "(CFF_REMOTE_TIME_OUT) ECM: T5 (RNR/RR) inactivity timer expired"},
    {37, "(CFF_NO_RR) ECM: no RR received in time"},
    {38, "(CFF_NO_ANSWER) receive watchdog timer expiration"},
    {39, "(CFF_PAGE_TOO_LONG) too many T.4 lines received"},
    {40, "(CFF_LINE_TOO_LONG) too many bits received for a T.4 line"},
    {42, "(CFF_NO_MCF_EOP) no MCF/RTN/RTP/PIN/PIP received at the very end of transmission"},
    {0, ""},
};

constexpr foip__name_entry foip_err__diag_acu_tbl[] = {
    {0, "(ACURC_xxxxxxxx) unknown code"},
    {98, "(ACURC_BUSY) busy"},
    {112, "(ACURC_NOPROCEED) no proceed indication (dial tone)"},
    {97, "(ACURC_NOANSWER) no answer"},
    {99, "(ACURC_CONGESTED) GSTN or System is congested"},
    {105, "(ACURC_INCOMING) incoming call detected while try to dial"},
    {108, "(ACURC_NOLINE) (analog) line is seized by another equipment"},
    {104, "(ACURC_HUNGUP) remote has hung up or incident on connection"},
    {84, "(ACURC_TIMEOUT) time-out error"},
    {73, "(ACURC_INTERNAL) other internal error"},
    {0, ""},
};

constexpr foip__name_entry foip_err__diag_fax_tbl[] = {
    {0, "(FAX__xxxxxxxx) unknown code"},
    {2, "(OK) No more available information"},
    {10, "(FAX__RCV_PG_FILE_DESCRIPTOR_FULL) rcv_pg_descriptor array into fax__session_status structure is full"},
    {11, "(FAX__CANT_OPEN_FNAME_SND_PG) Can't open file of fax page to send"},
    {12, "(FAX__CANT_OPEN_FNAME_RCV_PG) Can't open file to store received fax page"},
    {13, "(FAX__CANT_WRITE_FNAME_RCV_PG) Can't write Rcv fax page into rcv file"},
    {14,
     "(FAX__ALGO_DCS_SENT_VS_SND_PG) Negotiated algorithm (thru DCS) doesn't match with encoding of Fax page to send"},
    {15,
     "(FAX__RESOL_DCS_SENT_VS_SND_PG) Negotiated resolution (thru DCS) doesn't match with resolution of Fax page to "
     "send"},
    {16, "(FAX__WIDTH_DCS_SENT_VS_SND_PG) Negotiated width (thru DCS) doesn't match with width of Fax page to send"},
    {17,
     "(FAX__PG_LENGTH_DCS_SENT_VS_SND_PG) Negotiated Pg length (thru DCS) doesn't match with width of Fax page to "
     "send"},
    {18, "(FAX__ECM_DATA_ALWAYS_BAD) Remote Fax machine is not able to receive good ECM frames"},
    {19, "(FAX__V27TER_2400_TCF_FALL_BACK) Tries TCF to V.27ter 2400 Remote Fax machine is not able to receive Fax pg"},
    {20,
     "(FAX__ERR_RX_PG_ANALYZER) Error detected during RX fax pg analyze (compute Nb line of fax page with TDC engine)"},
    {21,
     "(FAX__CANT_PERFORM_RESOLUTION_CONVERSION) A resolution conversion should be done but this one is not supported "
     "by FC module"},
    {22, "(FAX__NO_COMMON_ALGO__DIS__FAX_PG) Fax Page algorithm not supported by the remote Fax machine"},
    {23, "(FAX__T6_FAX_PG__DIS_NO_ECM) Fax Page is T.6 encoded BUT ECM is not supported by the remote"},
    {24, "(FAX__NO_COMMON_RESOLUTION__DIS__FAX_PG) Fax Page resolution not supported by the remote Fax machine"},
    {25, "(FAX__NO_COMMON_PG_WIDTH__DIS__FAX_PG) Fax Page Width not supported by the remote Fax machine"},
    {30,
     "(FAX__MAX_NB_RX_PAGE_REACHED) User's limitation: The max number of Rx page is reached (Config: max_rx_nb_page)"},
    {31,
     "(FAX__MAX_RX_DATA_SIZE_REACHED) User's limitation: The max of Rx Fax page data is reached (Config: "
     "max_rx_fax_data_size)"},
    {0, ""},
};

constexpr foip__name_entry foip_err__diag_fc_tbl[] = {
    {0, "(FC_xxxxxxxx) unknown code"},
    {15, "(FC__INIT_ERR__BAD_PG_ID) Can't restore PG context (bad pg_id (Msg NAI) or SM_SET_CONFIG_RQ never calls)"},
    {16, "(FC__INIT_ERR__CONV_IN_PROGRESS) A conversion is already running for this Pg ID"},
    {17, "(FC__INIT_ERR__NO_INIT_DATA) No fc__init_pg_conv structure"},
    {18, "(FC__INIT_ERR__INPG_ENCODING) Bad parameter: encoding of Input page"},
    {19, "(FC__INIT_ERR__INPG_LINE_LENGTH) Bad parameter: line_length of Input page"},
    {20, "(FC__INIT_ERR__INPG_LINE_PADDING_MODE) Bad parameter: line_padding_mode of Input page"},
    {21, "(FC__INIT_ERR__INPG_VERTICAL_RESOLUTION) Bad parameter: vertical_resolution of Input page"},
    {23, "(FC__INIT_ERR__INPG_KIND_OF_COLOR) Bad parameter: kind_of_color of Input page"},
    {24, "(FC__INIT_ERR__INPG_FLAG_WHITE_IS_ZERO) Bad parameter: flag_white_is_zero of Input page"},
    {25, "(FC__INIT_ERR__OUTPG_ENCODING) Bad parameter: encoding of Output page"},
    {26, "(FC__INIT_ERR__OUTPG_LINE_LENGTH) Bad parameter: line_length of Output page"},
    {27, "(FC__INIT_ERR__OUTPG_VERTICAL_RESOLUTION) Bad parameter: vertical_resolution of Output page"},
    {28, "(FC__INIT_ERR__OUTPG_NB_LINES) Bad parameter: nb_lines of Output page"},
    {30, "(FC__INIT_ERR__OUTPG_KIND_OF_COLOR) Bad parameter: kind_of_color of Output page"},
    {31, "(FC__INIT_ERR__OUTPG_FLAG_WHITE_IS_ZERO) Bad parameter: flag_white_is_zero of Output page"},
    {32, "(FC__INIT_ERR__LINE_LENGTH) Bad parameters: In line_length > Out line_length"},
    {33,
     "(FC__INIT_ERR__BAD_RESOL_CONV_REQUEST) Bad parameters: in resolution != out resolution AND not 200 -> 100 lpi "
     "conversion"},
    {34, "(FC__INIT_ERR__ALLOC) Can't allocate Memory array"},
    {65, "(FC__COLOR_INIT_ERR__CTX_NOT_FREE) Internal error, Color Conversion Ctx not free"},
    {66, "(FC__COLOR_INIT_ERR__CALLBACK_PUT_DATA) Internal error, color_config: bad paramter callback_put_data"},
    {45, "(FC__RESOL_INIT_ERR__CTX_NOT_FREE) Internal error, Resolution Conversion Ctx not free"},
    {46, "(FC__RESOL_INIT_ERR__CALLBACK_PUT_DATA) Internal error, resol_config: bad paramter callback_put_data"},
    {47, "(FC__RESOL_INIT_ERR__ALLOC) Can't allocate Memory array"},
    {55, "(FC__T4T6_INIT_ERR__CTX_NOT_FREE) Internal error, T.4/T.6 Conversion Ctx not free"},
    {56, "(FC__T4T6_INIT_ERR__OP_MODE) Internal error, t4t6_config: bad paramter op_mode"},
    {57, "(FC__T4T6_INIT_ERR__ALGO) Internal error, t4t6_config: bad paramter algo"},
    {58, "(FC__T4T6_INIT_ERR__CALLBACK_PUT_DATA) Internal error, t4t6_config: bad paramter callback_put_data"},
    {59, "(FC__T4T6_INIT_ERR__TCMNINIT) tcmninit function returns NOK"},
    {60, "(FC__T4T6_INIT_ERR__ALLOC) Can't allocate Memory array"},
    {75, "(FC__TXT_ERR__LEN_OF_SZ_INPUT_STRING) Internal error, bad paramter len_of_sz_input_string"},
    {76, "(FC__TXT_ERR__BMP_LINE_LENGTH) Internal error, bad paramter bmp_line_length"},
    {77, "(FC__TXT_ERR__VERTICAL_RESOLUTION) Internal error, bad paramter vertical_resolution"},
    {78, "(FC__TXT_ERR__TGC_INIT) Internal error, tcg_init returns NOK"},
    {79, "(FC__TXT_ERR__OUTPUT_BUFFER_TOO_SMALL) Internal error, Allocated buffer (p_output_bmp_buffer) is too small"},
    {0, ""},
};
constexpr foip__name_entry foip_err__src254_tbl[] = {{0, "Error code unknown"}, {0, ""}};

constexpr const char* kSourceUnknown = "Error source unknown";
constexpr const char* kCodeUnknown = "Error code unknown";

const foip__name_entry* start_code_table(u8 source) {
  switch (source) {
    case 225: return foip_err__src225_tbl;
    case 226: return foip_err__src226_tbl;
    case 229:
    case 230:
    case 237: return foip_err__socket_tbl;
    case 232: return foip_err__src232_tbl;
    case 233: return foip_err__src233_tbl;
    case 234: return foip_err__src234_tbl;
    case 235: return foip_err__src235_tbl;
    case 236: return foip_err__src236_tbl;
    case 238:
    case 239: return foip_err__t38_cfg_tbl;
    case 240: return foip_err__src240_tbl;
    case 252: return foip_err__socket_tbl;
    case 253: return foip_err__src253_tbl;
    case 254: return foip_err__src254_tbl;
    case 255: return foip_err__src255_tbl;
    default: return nullptr;
  }
}

bool is_sip_class(u8 source) { return source == 0 || (source >= 3 && source <= 6); }

}  // namespace

const char* foip__get_name(const foip__name_entry* table, u32 value) {
  for (const foip__name_entry* e = table + 1; e->name[0] != '\0'; ++e)
    if (e->value == value) return e->name;
  return table[0].name;
}

const char* foip_err__ret_code_text(u32 value) { return foip__get_name(foip_err__ret_code_tbl, value); }

void foip_err__start_error_text(u8 source, u8 code, const char** source_text, const char** code_text) {
  *source_text = kSourceUnknown;
  *code_text = kCodeUnknown;
  if (is_sip_class(source)) {
    *source_text = foip__get_name(foip_err__start_src_tbl, source);
    *code_text = foip__get_name(foip_err__ret_code_tbl, source * 100u + code);
  } else if (source == FOIP__T38_CAP_ERR_SRC) {
    *source_text = "FOIP__T38_CAP_ERR_SRC";
    *code_text = foip__get_name(foip_err__src190_tbl, code);
  } else if (source == 227) {
    *source_text = foip__get_name(foip_err__start_src_tbl, source);
    *code_text = "Wdog timer (FOIP__WDOG_TCP_CONNECT) is ended up before TCP connection has been established";
  } else if (source == 228) {
    *source_text = foip__get_name(foip_err__start_src_tbl, source);
    *code_text = "Receive SOCK_EST_IN with wrong remote IP address";
  } else if (source >= 252) {
    *source_text = foip__get_name(foip_err__cfg_src_tbl, source);
    *code_text = foip__get_name(start_code_table(source), code);
  } else if (const foip__name_entry* t = start_code_table(source)) {
    *source_text = foip__get_name(foip_err__start_src_tbl, source);
    *code_text = foip__get_name(t, code);
  }
}

void foip_err__register_error_text(u8 source, u8 code, const char** source_text, const char** code_text) {
  *source_text = kSourceUnknown;
  *code_text = kCodeUnknown;
  if (is_sip_class(source)) {
    *source_text = foip__get_name(foip_err__register_src_tbl, source);
    *code_text = foip__get_name(foip_err__ret_code_tbl, source * 100u + code);
  } else if (source == FOIP__REGISTER_ERR_SRC__FOIP_CHK_PARAM) {
    *source_text = foip__get_name(foip_err__register_src_tbl, source);
    *code_text = foip__get_name(foip_err__src200_tbl, code);
  }
}

const char* foip_err__fax_diag_text(u8 entity, u32 diag) {
  switch (entity) {
    case ENT_CF: return foip__get_name(foip_err__diag_cf_tbl, diag);
    case ENT_ACU: return foip__get_name(foip_err__diag_acu_tbl, diag);
    case ENT_FAX: return foip__get_name(foip_err__diag_fax_tbl, diag);
    case ENT_FC: return foip__get_name(foip_err__diag_fc_tbl, diag);
    default: return "Unknown diagnostic";
  }
}

void foip__fill_confirm(code_t primitive, u8 return_code, u8 error_source, u8 error_code, foip__confirm* out) {
  out->return_code = return_code;
  out->error_code = error_code;
  out->error_source = error_source;
  out->sz_error_source[0] = '\0';
  out->sz_error_code[0] = '\0';
  if (return_code == FOIP__RC_OK) return;
  const char* src = kSourceUnknown;
  const char* code = kCodeUnknown;
  switch (primitive) {
    case 'F':
    case 'a':
    case 'b':
    case 'e':
    case 't': foip_err__start_error_text(error_source, error_code, &src, &code); break;
    case 'n':
    case 'r': foip_err__register_error_text(error_source, error_code, &src, &code); break;
    default: break;
  }
  foip__copy_text(out->sz_error_source, src);
  foip__copy_text(out->sz_error_code, code);
}

// ---------------------------------------------------------------------------
// Trap pool and trap routine.

namespace {

struct pool_state {
  std::deque<msg_t*> msgs;
  bool too_big = false;
};
pool_state g_pool;

void fill_pool() {
  while (g_pool.msgs.size() < FOIP_ERR__POOL_MAX) {
    msg_t* m = Alloc_msg();
    if (m == nullptr) break;
    g_pool.msgs.push_back(m);
  }
}

// Writes the report into the data made for it in `m` and sends it to the
// user entity `to`.
void send_report(msg_t* m, u8* data, const foip__report& r, ent_id_t to, nai_t nai, u16 conn_id) {
  std::memcpy(data, &r, FOIP__REPORT_SHORT_SIZE);
  Msg_set_head(m, {ENT_FOIP, to, FOIP__REPORT_IN, nai, FOIP__SAPI, conn_id});
  Send_msg(m);
}

}  // namespace

void foip_err__init_pool() {
  foip_err__release_pool();
  g_pool.too_big = FOIP__REPORT_SHORT_SIZE > om_os_get_buffer_room();
  fill_pool();
}

void foip_err__refill_pool() {
  if (foip__glb().configured_mark != FOIP__MARK_VALID) return;
  if (g_pool.msgs.size() >= FOIP_ERR__POOL_REFILL_BELOW) return;
  fill_pool();
}

void foip_err__release_pool() {
  for (msg_t* m : g_pool.msgs) Free_msg(m);
  g_pool.msgs.clear();
}

u16 foip_err__pool_count() { return static_cast<u16>(g_pool.msgs.size()); }
bool foip_err__report_too_big() { return g_pool.too_big; }

void Foip__trap(nai_t nai, u16 conn_id, u16 trap_class, u16 code, const char* name, const char* text) {
  if (g_pool.msgs.empty()) return;  // lost; the next refill restores the pool
  msg_t* m = g_pool.msgs.front();
  g_pool.msgs.pop_front();
  buffer_t* b = nullptr;
  u8* data = nullptr;
  Alloc_msg_data(&m, &b, FOIP__REPORT_SHORT_SIZE, &data);
  if (data == nullptr) {
    Free_msg(m);
    return;
  }
  if (trap_class != FOIP__TRAP_CLASS) {
    Free_msg(m);
    return;
  }
  foip__report r{};
  r.kind_of_report = FOIP__REPORT__TRAP;
  r.kind = FOIP__ERROR__TRAP_FOIP;
  r.body.error.trap_foip.kind_of_foip_error = trap_class;
  r.body.error.trap_foip.trap_code = code;
  foip__copy_text(r.body.error.trap_foip.sz_trap_name, name);
  foip__copy_text(r.body.error.trap_foip.sz_diag, text);

  const foip__glb_context& g = foip__glb();
  ent_id_t to = g.user_entity;
  nai_t to_nai = FOIP__NAI_GLOBAL;
  u16 to_conn_id = FOIP__CONN_NONE;
  if (nai != FOIP__NAI_GLOBAL) {
    if (nai == g.sip.sig_nai && g.configured_mark == FOIP__MARK_VALID) {
      to_nai = nai;
      to_conn_id = conn_id;
    } else if (const foip__na_ctx* s = foip__get_na_ctx(nai)) {
      to = s->user_entity;
      to_nai = nai;
    }
  }
  send_report(m, data, r, to, to_nai, to_conn_id);
}

void foip_err__relay_t38_report() {
  using namespace kv::t38;
  foip__glb_context& g = foip__glb();
  msg_t* in = g.cur_msg;
  if (!in || Msg_total_size(in) < T38__REPORT_BODY_SIZE) return;
  u8 body[T38__REPORT_BODY_SIZE];
  {
    foip_proc_api__long_data ld;
    if (foip__get_long_data_received(in, 0, ld) != FOIP__LD_OK) return;
    std::memcpy(body, ld.data, sizeof body);
  }
  if (body[0] != 'R') return;
  // The received message joins the pool in place of the one used, without
  // its data: a pool message waits for its next report holding no buffer.
  g.cur_msg = nullptr;
  if (in->p_buffer != nullptr) {
    Free_buffer(in->p_buffer);
    in->p_buffer = nullptr;
    in->chain_size = 0;
  }
  in->data_offset = MSG_HEADER_SIZE;
  in->data_size = 0;
  if (g_pool.msgs.empty()) {
    g_pool.msgs.push_back(in);
    return;
  }
  msg_t* m = g_pool.msgs.front();
  g_pool.msgs.pop_front();
  g_pool.msgs.push_back(in);
  buffer_t* b = nullptr;
  u8* data = nullptr;
  Alloc_msg_data(&m, &b, FOIP__REPORT_SHORT_SIZE, &data);
  if (!data) {
    Free_msg(m);
    return;
  }
  u32 bit, count;
  u16 code;
  std::memcpy(&bit, body + 8, 4);
  std::memcpy(&code, body + 12, 2);
  std::memcpy(&count, body + T38__REPORT_COUNT_OFFSET, 4);
  char name[T38__REPORT_NAME_SIZE + 1] = {};
  char text[T38__REPORT_TEXT_SIZE + 1] = {};
  std::memcpy(name, body + T38__REPORT_NAME_OFFSET, T38__REPORT_NAME_SIZE);
  std::memcpy(text, body + T38__REPORT_TEXT_OFFSET, T38__REPORT_TEXT_SIZE);
  foip__report r{};
  if (bit == T38__ERR_REPORT__TRAP) {
    r.kind_of_report = FOIP__REPORT__TRAP;
    r.kind = FOIP__ERROR__TRAP_T38;
    r.body.error.trap_t38.kind_of_t38_error = bit;
    r.body.error.trap_t38.trap_code = code;
    foip__copy_text(r.body.error.trap_t38.sz_trap_name, name);
    foip__copy_text(r.body.error.trap_t38.sz_diag, text);
  } else {
    r.kind_of_report = FOIP__REPORT__ERR;
    r.kind = FOIP__ERROR__T38;
    r.body.error.t38.t38_error_kind = bit;
    r.body.error.t38.error_count = count;
  }
  if (const foip__na_ctx* s = foip__get_na_ctx(in->nai)) {
    send_report(m, data, r, s->user_entity, in->nai, FOIP__CONN_NONE);
  } else {
    send_report(m, data, r, g.user_entity, FOIP__NAI_GLOBAL, FOIP__CONN_NONE);
  }
}
