// The message trace decoder's service table, and the vocabularies of the
// runtime's own entities (ENT_SM, ENT_IP, ENT_PH_IT).
//
// Every other entity brings its names along in its entity table row
// (entity_table_row_t::names), written beside its message codes.
#include <cstring>

#include "common/byte_order.h"
#include "runtime/dcod.h"
#include "runtime/sm.h"
#include "runtime/sock.h"

namespace {

bool printable(u8 c) { return c >= 0x20 && c < 0x7F; }

// ---------------------------------------------------------------------------
// ENT_SM

constexpr dcod__name sm_names[] = {{SM_CONFIG_RQ, "SM_CONFIG_RQ"},
                                   {SM_CONFIG_CO, "SM_CONFIG_CO"},
                                   {SM_RST_CFG_RQ, "SM_RST_CFG_RQ"},
                                   {SM_RST_CFG_CO, "SM_RST_CFG_CO"},
                                   {SM_INIT_RQ, "SM_INIT_RQ"},
                                   {SM_INIT_CO, "SM_INIT_CO"},
                                   {SM_STOP_RQ, "SM_STOP_RQ"},
                                   {SM_STOP_CO, "SM_STOP_CO"},
                                   {SM_INFO_RQ, "SM_INFO_RQ"},
                                   {SM_INFO_CO, "SM_INFO_CO"},
                                   {SM_INFO_IN, "SM_INFO_IN"},
                                   {SM_INFO_RS, "SM_INFO_RS"},
                                   {SM_BUSY_IN, "SM_BUSY_IN"},
                                   {SM_BUSY_RQ, "SM_BUSY_RQ"},
                                   {SM_CLR_BUSY_IN, "SM_CLR_BUSY_IN"},
                                   {SM_CLR_BUSY_RQ, "SM_CLR_BUSY_RQ"},
                                   {SM_REPORT_IN, "SM_REPORT_IN"},
                                   {SM_REPORT_RQ, "SM_REPORT_RQ"},
                                   {SM_SET_TRIG_IN, "SM_SET_TRIG_IN"},
                                   {SM_SET_RPORT_IN, "SM_SET_RPORT_IN"},
                                   {'i', "SM_POWER_ON_IN"},
                                   {'I', "SM_POWER_ON_RQ"},
                                   {'j', "SM_POWER_OFF_IN"},
                                   {'J', "SM_POWER_OFF_RQ"},
                                   {'w', "SM_PUT_UPDAT_IN"},
                                   {'W', "SM_PUT_UPDAT_RS"},
                                   {'x', "SM_GET_UPDAT_IN"},
                                   {'X', "SM_GET_UPDAT_RS"},
                                   {'>', "SM_FLUSH_UPD_IN"},
                                   {'<', "SM_FLUSH_UPD_RS"},
                                   {'Y', "SM_CHN_MAINT_RQ"},
                                   {'y', "SM_CHN_MAINT_CO"},
                                   {'0', "SM_CFG_UPDAT_IN"},
                                   {'v', "SM_MIP_ROUT_CO"},
                                   {'o', "SM_DL_DLCI_IN"},
                                   {'t', "SM_DL_TEI_IN"},
                                   {'p', "SM_DL_AT_SAP_IN"},
                                   {'q', "SM_DL_DT_SAP_IN"},
                                   {'r', "SM_DL_SAPI_CO"},
                                   {'m', "SM_TEI_IN"},
                                   {'n', "SM_TEI_REG_IN"},
                                   {'u', "SM_DL_TEI_CO"},
                                   {'z', "SM_MIP_ECHO_CO"},
                                   {'O', "SM_DL_DLCI_RQ"},
                                   {'R', "SM_DL_AT_SAP_RQ"},
                                   {'S', "SM_DL_DT_SAP_RQ"},
                                   {'Q', "SM_DL_SAPI_RS"},
                                   {'M', "SM_TEI_RQ"},
                                   {'T', "SM_DL_TEI_RQ"},
                                   {'U', "SM_DL_TEI_RS"},
                                   {'V', "SM_MIP_ROUT_RQ"},
                                   {'Z', "SM_MIP_ECHO_RQ"},
                                   {DCOD__END, nullptr}};

const char* report_kind(u8 k) {
  switch (k) {
    case 'r': return "Error";
    case 'e': return "Event";
    case 's': return "Status";
    default: return "?";
  }
}

u32 sm_body(dcod__body& b) {
  const dcod__msg_view& m = *b.m;
  switch (m.code) {
    case SM_CONFIG_CO: {
      if (m.length < 3) return 0;
      const u8 status = m.data[0], cause = m.data[1];
      const char* who = dcod__entity_name(m.data[2]);
      if (status == OM_OS_OK) {
        b.out->printf(" Config %s OK", who);
      } else {
        b.out->printf(" Config %s NOK : cause %02xh", who, cause);
        if (printable(cause)) b.out->printf("('%c')", cause);
      }
      return 3;
    }
    case SM_REPORT_IN:
      if (m.length < 2) return 0;
      b.out->printf(" %s-%s :", dcod__entity_name(m.data[0]), report_kind(m.data[1]));
      return 2;
    case 'o':
      if (m.length < 6) return 0;
      b.out->printf(" SAPI %d, TEI %d, CES %d", b.word(0), b.word(2), b.word(4));
      return 6;
    default: return 0;
  }
}

// ---------------------------------------------------------------------------
// ENT_IP (socket entity)

constexpr dcod__name sock_names[] = {{SOCK_U_DA_RQ, "SOCK_U_DA_RQ"},       {SOCK_U_DA_IN, "SOCK_U_DA_IN"},
                                     {SOCK_EST_RQ, "SOCK_EST_RQ"},         {SOCK_EST_IN, "SOCK_EST_IN"},
                                     {SOCK_EST_CO, "SOCK_EST_CO"},         {SOCK_REL_RQ, "SOCK_REL_RQ"},
                                     {SOCK_REL_IN, "SOCK_REL_IN"},         {SOCK_REL_CO, "SOCK_REL_CO"},
                                     {SOCK_DA_RQ, "SOCK_DA_RQ"},           {SOCK_DA_IN, "SOCK_DA_IN"},
                                     {SOCK_DNS_RQ, "SOCK_DNS_RQ"},         {SOCK_DNS_CO, "SOCK_DNS_CO"},
                                     {SOCK_ICMP_RQ, "SOCK_ICMP_RQ"},       {SOCK_ICMP_IN, "SOCK_ICMP_IN"},
                                     {SOCK_RAW_IP_RQ, "SOCK_RAW_IP_RQ"},   {SOCK_RAW_IP_IN, "SOCK_RAW_IP_IN"},
                                     {SOCK_COMMIT_RQ, "SOCK_COMMIT_RQ"},   {SOCK_COMMIT_CO, "SOCK_COMMIT_CO"},
                                     {SOCKADDDELIP_RQ, "SOCKADDDELIP_RQ"}, {SOCKADDDELIP_CO, "SOCKADDDELIP_CO"},
                                     {SOCK_INTSYNC_RQ, "SOCK_INTSYNC_RQ"}, {SOCK_INTSYNC_CO, "SOCK_INTSYNC_CO"},
                                     {SOCK_LISTEN_RQ, "SOCK_LISTEN_RQ"},   {SOCK_LISTEN_CO, "SOCK_LISTEN_CO"},
                                     {SOCK_IREL_RQ, "SOCK_IREL_RQ"},       {DCOD__END, nullptr}};

bool is_socket_data(code_t c) { return c == SOCK_U_DA_RQ || c == SOCK_U_DA_IN || c == SOCK_DA_RQ || c == SOCK_DA_IN; }

// Socket data: to or from ENT_SIP the data as text; else, for a datagram
// with an IPv4 address header, the remote address.
u32 ip_body(dcod__body& b) {
  const dcod__msg_view& m = *b.m;
  if (!is_socket_data(m.code) || !m.data) return 0;
  if (m.from == ENT_SIP || m.to == ENT_SIP) {
    b.out->text(" ");
    size_t n = b.out->room();
    if (n > m.length) n = m.length;
    b.out->printable(m.data, n);
    return static_cast<u32>(n);
  }
  if ((m.code == SOCK_U_DA_RQ || m.code == SOCK_U_DA_IN) && m.length >= SOCK_UDP_HEADER_SIZE &&
      m.data[0] == SOCK_FAMILY_IPV4) {
    const u8* a = m.data + 4;
    b.out->printf(" %d.%d.%d.%d", a[0], a[1], a[2], a[3]);
    if (m.sapi != 4) b.out->printf(":%d", b.word(8));
    return SOCK_UDP_HEADER_SIZE;
  }
  return 0;
}

// ---------------------------------------------------------------------------
// ENT_PH_IT (socket receive side)

// The three named primitives of the interrupt side carry no code of their
// own in this program; the row names what reaches the user entities by the
// socket primitive names (below).
u32 it_body(dcod__body& b) {
  const dcod__msg_view& m = *b.m;
  switch (m.to) {
    case ENT_T38:
      if (m.code == SOCK_DA_IN || m.code == SOCK_U_DA_IN) b.prims = sock_names;
      return 0;
    case ENT_SIP: b.prims = sock_names; return ip_body(b);
    case ENT_FOIP: b.fixed_name = "SOCK_DNS_CO"; return 0;
    default: break;
  }
  if (m.code == 'f' && m.length >= 4) {
    b.out->printf(" code %d  state F%d", b.word(0), b.word(2));
    return 4;
  }
  return 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// The service table, in decoding order.  A row's position decides which of
// two entities owns the interface between them: the earlier one.

const dcod__service dcod__services[] = {
    {0, "L0"},
    {ENT_SM, "SM", sm_names, sm_body},
    {ENT_PH_IT, "IT", nullptr, it_body},
    {ENT_T38, "T38"},
    {ENT_IP, "IP", sock_names, ip_body},
    {ENT_SIP, "SIP"},
    {ENT_SSC, "SSC"},
    {ENT_ACU, "ACU"},
    {'[', "CCE"},
    {ENT_MFM, "MFM"},
    {ENT_FM, "FM"},
    {ENT_MT30, "M30"},
    {ENT_T30, "T30"},
    {ENT_CF, "CF"},
    {ENT_FC, "FC"},
    {ENT_FAX, "FAX"},
    {ENT_FOIP, "FOI"},
    {ENT_APP_FOIP, "APP"},
    {ENT_TI, "TI"},
    {ENT_NIL, "nil"},
    // Services that this program does not contain: names only.
    {'0', "STS"},
    {'r', "DIT"},
    {2, "ML1"},
    {'5', "MCP"},
    {'P', "MPH"},
    {'W', "MPD"},
    {')', "MPd"},
    {'Q', "MPB"},
    {3, "L1"},
    {'p', "PH"},
    {'D', "PHD"},
    {'(', "PHd"},
    {'c', "PHB"},
    {'H', "MDM"},
    {'=', "MGS"},
    {'G', "GST"},
    {'U', "ACP"},
    {'6', "SMI"},
    {4, "ML2"},
    {'m', "MDL"},
    {'h', "MAL"},
    {5, "L2"},
    {'l', "DL"},
    {'d', "DLD"},
    {'+', "LCR"},
    {'b', "DLB"},
    {'2', "DL2"},
    {'g', "DLR"},
    {']', "DLF"},
    {'k', "DL4"},
    {'y', "AAL"},
    {'{', "DPN"},
    {'4', "MNP"},
    {'v', "DLM"},
    {'R', "PHR"},
    {'?', "STC"},
    {'7', "120"},
    {6, "ML3"},
    {'X', "M25"},
    {'M', "MNS"},
    {'w', "MAS"},
    {',', "MA2"},
    {'3', "L3"},
    {'Y', "ANS"},
    {'S', "NS"},
    {'x', "X25"},
    {1, "MLP"},
    {'$', "A2P"},
    {7, "ML4"},
    {8, "L4"},
    {'B', "BL"},
    {'9', "ACC"},
    {'C', "CC"},
    {'}', "A2N"},
    {9, "ML5"},
    {10, "L5"},
    {'!', "MPP"},
    {'V', "DC"},
    {'<', "ILM"},
    {11, "ML6"},
    {12, "L6"},
    {'L', "FS"},
    {'N', "FT"},
    {'\'', "MGC"},
    {'8', "MEG"},
    {'Z', "EF"},
    {':', "ECL"},
    {'a', "PAD"},
    {13, "ML7"},
    {14, "L7"},
    {'i', "DTE"},
    {'>', "RC"},
    {'/', "PHZ"},
    {'-', "LTC"},
    {'.', "POT"},
    {'_', "ATE"},
    {'@', "ATV"},
    {'1', "API"},
    {15, "ML8"},
    {16, "L8"},
    {17, "ML9"},
    {18, "L9"},
    {0, nullptr},
};
