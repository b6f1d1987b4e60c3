// The configuration body of the SIP transaction entity (SM_CONFIG_RQ to
// ENT_SIP): 468 bytes, little-endian, a global part and room for three
// endpoint entries of 144 bytes.
//
// The byte layout is written once, in sip_config.cpp, as a list of fields
// that both sip_config_pack and sip_config_read walk, so a writer (the FOIP
// entity's SIP side) and this reader cannot drift apart.  Values are kept as
// they lie on the wire (0 = "use the default"); sip_config_resolve turns an
// entry into the settings an endpoint runs with.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "platform/int_types.h"

inline constexpr std::size_t SIP_CONFIG_SIZE = 468;
inline constexpr std::size_t SIP_CONFIG_ENDPOINT_SIZE = 144;
inline constexpr std::size_t SIP_CONFIG_ENDPOINT_OFFSET = 28;
inline constexpr u16 SIP_CONFIG_MAX_ENDPOINTS = 3;
inline constexpr std::size_t SIP_PROXY_HOST_SIZE = 65;
inline constexpr u32 SIP_TIMER_NEVER = 0xFFFFFFFFu;
inline constexpr u16 SIP_NO_NAI = 0xFFFF;

// Option flags of an endpoint entry.
inline constexpr u16 SIP_OPT_PROXY_ADDRESS = 0x0004;
inline constexpr u16 SIP_OPT_FROM_TAG_MATCH = 0x0008;
inline constexpr u16 SIP_OPT_LENIENT = 0x0020;
inline constexpr u16 SIP_OPT_PROXY_NAME = 0x0080;
inline constexpr u16 SIP_OPT_PROXY_PORT = 0x0100;
// Endpoint flag: keep the name cache fresh by a timer.
inline constexpr u8 SIP_EP_CACHE_REFRESH = 0x01;

// One endpoint entry as it lies in the body.
struct sip_config_endpoint {
  u16 nai = 0;                                         // 0
  u8 address_type = 0;                                 // 2 (1 = IPv4)
  u16 options = 0;                                     // 4
  u8 address_length = 0;                               // 6
  std::array<u8, 5> address{};                         // 7
  u16 default_port = 0;                                // 12
  u8 user_entity = 0;                                  // 14
  u32 hold_ms = 0;                                     // 20
  u32 t1_ms = 0;                                       // 24
  u32 t2_ms = 0;                                       // 28
  u32 supervision_ms = 0;                              // 32
  u16 max_calls = 0;                                   // 36
  u32 lookup_table_size = 0;                           // 40
  u16 callid_buckets = 0;                              // 44
  u8 transport_entity = 0;                             // 46
  u16 transport_nai = 0;                               // 48 (65535 = none)
  u8 datagram_room = 0;                                // 50
  u8 other_room = 0;                                   // 51
  u8 resolver_entity = 0;                              // 52
  u8 endpoint_flags = 0;                               // 53
  u32 invite_resend_ms = 0;                            // 56
  u32 provisional_wait_ms = 0;                         // 60
  u32 lookup_life_ms = 0;                              // 64
  u32 bye_hold_ms = 0;                                 // 68
  u16 branch_buckets = 0;                              // 72
  std::array<char, SIP_PROXY_HOST_SIZE> proxy_host{};  // 74, NUL-terminated
  u16 proxy_port = 0;                                  // 140
};

struct sip_config {
  u32 relay_word = 0;                                                     // 0, ENT_SM's
  u32 server_tx_count = 0;                                                // 4
  u32 call_count = 0;                                                     // 12
  u32 cache_count = 0;                                                    // 16
  u32 lookup_count = 0;                                                   // 20
  u16 endpoint_count = 0;                                                 // 24 (read: at most 3)
  std::array<sip_config_endpoint, SIP_CONFIG_MAX_ENDPOINTS> endpoints{};  // 28
  u32 tick_period_ms = 0;                                                 // 460 (0xFFFFFFFF = one tick only)
  u16 tick_window = 0;                                                    // 464
};

// Writes the 468-byte body.
void sip_config_pack(const sip_config& cfg, u8 out[SIP_CONFIG_SIZE]);

// Reads a body of `length` bytes; false when it is shorter than 468 bytes.
// The endpoint count is cut to the three entries the body holds and every
// proxy host name is terminated.
[[nodiscard]] bool sip_config_read(const u8* body, std::size_t length, sip_config* out);

// Pool sizes and tick settings with their defaults applied.
struct sip_global_settings {
  u32 server_tx_count, call_count, cache_count, lookup_count;
  u32 tick_period_ms;
  u16 tick_window;
};
sip_global_settings sip_config_resolve_global(const sip_config& cfg);

// What an endpoint runs with: an entry with its defaults applied.
struct sip_endpoint_settings {
  u16 nai, transport_nai;
  u8 address_type, address_length;
  std::array<u8, 4> address;
  std::array<char, SIP_PROXY_HOST_SIZE> proxy_host;
  u16 proxy_host_length;
  u16 options, proxy_port, default_port;
  u8 user_entity, transport_entity, resolver_entity;
  u8 endpoint_flags;
  // Header room in front of the text: rounded up to even, the datagram
  // room with the 28-byte address record added.
  u16 datagram_room, other_room;
  u32 hold_ms, ack_life_ms, t1_ms, t2_ms, supervision_ms;
  u32 invite_resend_ms, provisional_wait_ms, bye_hold_ms, lookup_life_ms;
  u16 max_calls;
  u32 lookup_table_size;
  u16 callid_buckets, branch_buckets;
};
sip_endpoint_settings sip_config_resolve(const sip_config_endpoint& e);
