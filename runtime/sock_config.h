// The sock_config record: the body of SM_CONFIG_RQ for ENT_IP, and the
// socket-key body of SM_RST_CFG_RQ.
//
// Layout, little-endian, packed (byte offsets):
//   0  u32 leading word (its first byte is the target entity of the relay;
//          not read by ENT_IP)
//   4  u16 number of socket entries (0 or 1)
//   6  the entries, SOCK_CONFIG_ENTRY_SIZE bytes each:
//        0 u8 sapi            1 u16 nai            3 u16 conn_id
//        5 u8 local address count (0 or 1)          6 4 bytes IPv4 address
//                                                      (first octet first)
//       10 u16 local port    12 u8 bind to the configured address (1 yes)
//       13 u8 kind (0/1 UDP, 2 TCP, 4 raw)
//       14 u8 control entity 15 u8 data entity     16 u8 state letter (0, 's')
//       17 u32 receive size  21 u32 platform receive-buffer size
//       25 u32 retry delay of a blocked send (ms)  29 u8 retry limit
//       30 u8 TCP listening  31 u32 TCP backlog
//       35 u8 TCP: keep the platform's send coalescing
//       36 u8 type of service
//       37 u8 cut datagrams: 1 = a datagram longer than the receive size is
//          handed up cut to that size and marked (UDP address header byte
//          20, runtime/sock.h); anything else = it is dropped and reported
//
// Socket-key body of SM_RST_CFG_RQ (SOCK_KEY_BODY_SIZE bytes): u32 leading
// word, u8 sapi at 4, u16 nai at 6, u16 conn_id at 8.
#pragma once
#include <vector>

#include "runtime/types.h"

inline constexpr u32 SOCK_CONFIG_HEADER_SIZE = 6;
inline constexpr u32 SOCK_CONFIG_ENTRY_SIZE = 38;
inline constexpr u32 SOCK_KEY_BODY_SIZE = 10;

// One socket entry as written and read.
struct sock_config_entry {
  u8 sapi = 0;
  u16 nai = 0;
  u16 conn_id = 0;
  u8 address_count = 0;
  u8 address[4] = {0, 0, 0, 0};  // IPv4, first octet first
  u16 port = 0;
  u8 bind_address = 0;
  u8 kind = 1;
  ent_id_t control_entity = 0;
  ent_id_t data_entity = 0;
  u8 state = 's';
  u32 receive_size = 0;
  u32 rcvbuf_size = 0;
  u32 retry_delay_ms = 0;
  u8 retry_limit = 0;
  u8 tcp_listen = 0;
  u32 tcp_backlog = 0;
  u8 tcp_keep_coalescing = 0;
  u8 tos = 0;
  u8 cut_up = 0;
};

// Writes one entry at out (SOCK_CONFIG_ENTRY_SIZE bytes).
void sock_config_entry_pack(const sock_config_entry& e, u8* out);
// Reads one entry from in (SOCK_CONFIG_ENTRY_SIZE bytes).
sock_config_entry sock_config_entry_unpack(const u8* in);

// A whole body: leading word, count, the entries.
std::vector<u8> sock_config_body(u32 leading_word, const std::vector<sock_config_entry>& entries);

// The socket-key body of SM_RST_CFG_RQ.
void sock_key_body_pack(u8 sapi, u16 nai, u16 conn_id, u8 out[SOCK_KEY_BODY_SIZE]);
