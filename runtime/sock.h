// The socket entity ENT_IP: UDP and TCP sockets as primitives.
//
// A user entity has a socket configured through ENT_SM (SM_CONFIG_RQ with a
// sock_config body, runtime/sock_config.h), then sends and receives on it
// with the SOCK primitives below; the message's sapi, nai and conn_id name
// the socket.  Received data and connection events come from ENT_PH_IT, the
// socket receive thread; host-name lookups run in resolver threads.
//
// Records carried by the primitives (byte offsets, little-endian):
//   address block (SOCK_ADDR_BLOCK_SIZE): u8 family at 0 (4 = IPv4), IPv4
//     address at 4 (first octet first), u16 port at 8 (host order).
//   UDP address header (SOCK_UDP_HEADER_SIZE) in front of the datagram of
//     SOCK_U_DA_RQ / SOCK_U_DA_IN: the remote address block at 0 (family 9
//     and port 65535 for a sender that is not IPv4), the local address
//     {u8 family at 12, IPv4 address at 16}; byte 20 is SOCK_UDP_CUT when
//     the datagram was longer than the socket's receive size and is handed
//     up cut to it (sockets configured for that only), else 0; bytes 21 to
//     27 carry nothing.
//   SOCK_EST_CO body (12 bytes): u8 result (2 ok, 3 failed) at 0, u8 error
//     letter at 1, u16 local port at 4.
//   SOCK_REL_CO / SOCK_LISTEN_CO / 'd' (3 bytes): u8 result, u8 error byte,
//     the request's third byte.  SOCK_REL_IN (2 bytes): error byte, 0.
//   SOCK_DNS_RQ: u32 tag at 0, the host name from 4, NUL-terminated.
//   SOCK_DNS_CO (SOCK_DNS_CO_SIZE): u32 tag at 0, u8 status at 4 (2 ok,
//     3 failed), u8 detail at 5, u8 address count at 7 (at most 10), then 10
//     entries of 12 bytes from 8: {u8 family 4, IPv4 address at +4, u32 0}.
//   SOCKADDDELIP_RQ (SOCK_ADDDEL_BODY_SIZE): the list of addresses to add at
//     0, the list to remove at 12; a list: three bytes not read, u8 count at
//     3, one entry {u8 family at 4, IPv4 address at 8}.
//   SM_REPORT_IN (SOCK_REPORT_SIZE): u8 reporting entity, u8 kind ('e'
//     event, 'r' error), u8 class at 4, u8 sapi at 5, u16 nai at 6, u16
//     conn_id at 8, u8 socket kind at 10, u8 control entity at 11, u32
//     detail at 12.
#pragma once
#include <vector>

#include "runtime/entity.h"
#include "runtime/msg.h"
#include "runtime/types.h"

// Primitive codes.
enum : code_t {
  SOCK_EST_RQ = 'Y',
  SOCK_EST_CO = 'x',
  SOCK_EST_IN = 'y',
  SOCK_REL_RQ = 'W',
  SOCK_REL_IN = 'w',
  SOCK_REL_CO = 'v',
  SOCK_DA_RQ = 'U',
  SOCK_DA_IN = 'u',
  SOCK_U_DA_RQ = 'Z',
  SOCK_U_DA_IN = 'z',
  SOCK_DNS_RQ = 'T',
  SOCK_DNS_CO = 't',
  SOCK_ICMP_RQ = 'S',
  SOCK_ICMP_IN = 's',
  SOCK_RAW_IP_RQ = 'R',
  SOCK_RAW_IP_IN = 'r',
  SOCK_COMMIT_RQ = '(',
  SOCK_COMMIT_CO = ')',
  SOCKADDDELIP_RQ = 'Q',
  SOCKADDDELIP_CO = 'q',
  SOCK_INTSYNC_RQ = '+',
  SOCK_INTSYNC_CO = '-',
  SOCK_LISTEN_RQ = 'A',
  SOCK_LISTEN_CO = 'b',
  SOCK_IREL_RQ = '2',
  SOCK_STOP_LISTEN_RQ = 'C',
  SOCK_STOP_LISTEN_CO = 'd',
  SM_MIP_ROUT_RQ = 'V',
};

// Codes of the messages from the receive thread and the resolvers to ENT_IP.
enum : code_t {
  SOCK_IT_PEER_CLOSED = '2',
  SOCK_IT_CLOSE_LISTENER = '3',
  SOCK_IT_LISTEN_AGAIN = '4',
  SOCK_IT_SHUT_DOWN = '5',
  SOCK_IT_NOTHING = 'f',
  SOCK_IT_ROUND = 'g',
  SOCK_IT_RESOLVED = 't',
};

// Code of the retry timer of a blocked send.
inline constexpr code_t SOCK_TIMER_RETRY = '1';

// Address families of the records.
inline constexpr u8 SOCK_FAMILY_IPV4 = 4;
inline constexpr u8 SOCK_FAMILY_IPV6 = 6;
inline constexpr u8 SOCK_FAMILY_OTHER = 9;

// Socket kinds.
inline constexpr u8 SOCK_KIND_UDP = 1;
inline constexpr u8 SOCK_KIND_TCP = 2;
inline constexpr u8 SOCK_KIND_RAW = 4;

inline constexpr u32 SOCK_ADDR_BLOCK_SIZE = 12;
inline constexpr u32 SOCK_UDP_HEADER_SIZE = 28;
inline constexpr u32 SOCK_UDP_CUT_AT = 20;  // byte of the UDP address header
inline constexpr u8 SOCK_UDP_CUT = 1;
inline constexpr u32 SOCK_EST_CO_SIZE = SOCK_ADDR_BLOCK_SIZE;
inline constexpr u32 SOCK_DNS_MAX_ADDRS = 10;
inline constexpr u32 SOCK_DNS_CO_SIZE = 8 + 12 * SOCK_DNS_MAX_ADDRS;
inline constexpr u32 SOCK_DNS_NAME_MAX = 255;
inline constexpr u32 SOCK_ADDDEL_BODY_SIZE = 24;
inline constexpr u32 SOCK_REPORT_SIZE = 20;

// Results and details of SOCK_DNS_CO.
inline constexpr u8 SOCK_DNS_DETAIL_NO_DATA = 1;
inline constexpr u8 SOCK_DNS_DETAIL_NOT_FOUND = 2;
inline constexpr u8 SOCK_DNS_DETAIL_OTHER = 3;
inline constexpr u8 SOCK_DNS_DETAIL_NO_THREAD = 4;

// Event classes of the send path's reports ('e').
inline constexpr u8 SOCK_REPORT_RETRY_LIMIT = 1;  // detail: system error
inline constexpr u8 SOCK_REPORT_UNREACHABLE = 2;  // detail: 10051
inline constexpr u8 SOCK_REPORT_BAD_FAMILY = 3;   // detail: the family
inline constexpr u8 SOCK_REPORT_IPV6 = 4;
inline constexpr u8 SOCK_REPORT_OVERSIZE = 5;  // detail: receive size
// Error class of an address list that overflows ('r').
inline constexpr u8 SOCK_REPORT_ADDRESS_LIST = 1;  // detail: addresses held

// Error bytes of configuration confirms.
enum : u8 {
  SOCK_CFG_ERR_MEMORY = 1,
  SOCK_CFG_ERR_NO_MSG = 2,
  SOCK_CFG_ERR_THREAD = 3,
  SOCK_CFG_ERR_SOCKET = 8,
  SOCK_CFG_ERR_BIND = 9,
  SOCK_CFG_ERR_NONBLOCKING = 10,
  SOCK_CFG_ERR_RCVBUF = 14,
  SOCK_CFG_ERR_NODELAY = 18,
  SOCK_CFG_ERR_REUSEADDR = 19,
  SOCK_CFG_ERR_COUNT = 22,
  SOCK_CFG_ERR_TABLE_FULL = 26,
  SOCK_CFG_ERR_KIND = ' ',
  SOCK_CFG_ERR_LISTEN_CONN = '!',
  SOCK_CFG_ERR_STATE = '"',
  SOCK_CFG_ERR_NAI = '#',
  SOCK_CFG_ERR_EXISTS = '$',
  SOCK_CFG_ERR_TIMER = ')',
  SOCK_CFG_ERR_NO_RECORD = 'A',
  SOCK_CFG_ERR_NO_MESSAGE = 'a',
  SOCK_CFG_ERR_TOS = 'e',
  SOCK_CFG_ERR_UNKNOWN_KIND = 'P',
};

// Error bytes of request confirms.
enum : u8 {
  SOCK_ERR_SHORT_BODY = '3',
  SOCK_ERR_NOT_LISTENING = 'S',
  SOCK_ERR_FAMILY = 24,
  SOCK_ERR_LISTEN = '*',
  SOCK_ERR_STATE = '(',
};

// The error letter of a Windows socket error number (connects, closes).
u8 sock_error_letter(u16 wsa_error);

// Address block and UDP address header.
struct sock_addr {
  u8 family = SOCK_FAMILY_IPV4;
  u32 addr_net = 0;  // IPv4, first octet in the lowest byte
  u16 port = 0;
};
void sock_addr_pack(const sock_addr& a, u8 out[SOCK_ADDR_BLOCK_SIZE]);
sock_addr sock_addr_unpack(const u8 in[SOCK_ADDR_BLOCK_SIZE]);
void sock_udp_header_pack(const sock_addr& remote, u8 local_family, u32 local_addr_net, u8 out[SOCK_UDP_HEADER_SIZE]);

// SOCK_DNS_CO body from a lookup: at most the first 10 addresses are kept.
void sock_dns_co_pack(u32 tag, u8 status, u8 detail, const std::vector<u32>& addrs_net, u8 out[SOCK_DNS_CO_SIZE]);

// The entity.
void ip_entity_init();
void ip_entity_handler(msg_t* m);
void ip_entity_stop();

// Thread functions of the receive thread and of one resolver.
void ip_receive_thread();
void ip_resolver_thread(void* context);
// Waits for every running resolver, then releases the contexts.
void ip_wait_resolvers();

// The entity-table row of ENT_IP.
inline constexpr entity_table_row_t IP_ENTITY_ROW = {ENT_IP, ip_entity_handler, 0, 0, ip_entity_init, 1};

// State, for reports and tests.
u32 ip_socket_count();        // socket records in the table
u32 ip_spare_buffer_count();  // buffers the receive thread keeps for its next receives
u32 ip_table_size();          // 0 before the first configuration
u32 ip_receive_rounds();      // rounds of the receive thread so far
u32 ip_resolvers_running();
// The local port of a socket (read back after binding); 0 when unknown.
u16 ip_socket_port(u8 sapi, u16 nai, u16 conn_id);
