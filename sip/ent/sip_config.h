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

inline constexpr std::size_t SIP_CONFIG_SIZE = 468;
inline constexpr std::size_t SIP_CONFIG_ENDPOINT_SIZE = 144;
inline constexpr std::size_t SIP_CONFIG_ENDPOINT_OFFSET = 28;
inline constexpr std::uint16_t SIP_CONFIG_MAX_ENDPOINTS = 3;
inline constexpr std::size_t SIP_PROXY_HOST_SIZE = 65;
inline constexpr std::uint32_t SIP_TIMER_NEVER = 0xFFFFFFFFu;
inline constexpr std::uint16_t SIP_NO_NAI = 0xFFFF;

// Option flags of an endpoint entry.
inline constexpr std::uint16_t SIP_OPT_PROXY_ADDRESS = 0x0004;
inline constexpr std::uint16_t SIP_OPT_FROM_TAG_MATCH = 0x0008;
inline constexpr std::uint16_t SIP_OPT_LENIENT = 0x0020;
inline constexpr std::uint16_t SIP_OPT_PROXY_NAME = 0x0080;
inline constexpr std::uint16_t SIP_OPT_PROXY_PORT = 0x0100;
// Endpoint flag: keep the name cache fresh by a timer.
inline constexpr std::uint8_t SIP_EP_CACHE_REFRESH = 0x01;

// One endpoint entry as it lies in the body.
struct sip_config_endpoint {
  std::uint16_t nai = 0;                               // 0
  std::uint8_t address_type = 0;                       // 2 (1 = IPv4)
  std::uint16_t options = 0;                           // 4
  std::uint8_t address_length = 0;                     // 6
  std::array<std::uint8_t, 5> address{};               // 7
  std::uint16_t default_port = 0;                      // 12
  std::uint8_t user_entity = 0;                        // 14
  std::uint32_t hold_ms = 0;                           // 20
  std::uint32_t t1_ms = 0;                             // 24
  std::uint32_t t2_ms = 0;                             // 28
  std::uint32_t supervision_ms = 0;                    // 32
  std::uint16_t max_calls = 0;                         // 36
  std::uint32_t lookup_table_size = 0;                 // 40
  std::uint16_t callid_buckets = 0;                    // 44
  std::uint8_t transport_entity = 0;                   // 46
  std::uint16_t transport_nai = 0;                     // 48 (65535 = none)
  std::uint8_t datagram_room = 0;                      // 50
  std::uint8_t other_room = 0;                         // 51
  std::uint8_t resolver_entity = 0;                    // 52
  std::uint8_t endpoint_flags = 0;                     // 53
  std::uint32_t invite_resend_ms = 0;                  // 56
  std::uint32_t provisional_wait_ms = 0;               // 60
  std::uint32_t lookup_life_ms = 0;                    // 64
  std::uint32_t bye_hold_ms = 0;                       // 68
  std::uint16_t branch_buckets = 0;                    // 72
  std::array<char, SIP_PROXY_HOST_SIZE> proxy_host{};  // 74, NUL-terminated
  std::uint16_t proxy_port = 0;                        // 140
};

struct sip_config {
  std::uint32_t relay_word = 0;                                           // 0, ENT_SM's
  std::uint32_t server_tx_count = 0;                                      // 4
  std::uint32_t call_count = 0;                                           // 12
  std::uint32_t cache_count = 0;                                          // 16
  std::uint32_t lookup_count = 0;                                         // 20
  std::uint16_t endpoint_count = 0;                                       // 24 (read: at most 3)
  std::array<sip_config_endpoint, SIP_CONFIG_MAX_ENDPOINTS> endpoints{};  // 28
  std::uint32_t tick_period_ms = 0;                                       // 460 (0xFFFFFFFF = one tick only)
  std::uint16_t tick_window = 0;                                          // 464
};

// Writes the 468-byte body.
void sip_config_pack(const sip_config& cfg, std::uint8_t out[SIP_CONFIG_SIZE]);

// Reads a body of `length` bytes; false when it is shorter than 468 bytes.
// The endpoint count is cut to the three entries the body holds and every
// proxy host name is terminated.
[[nodiscard]] bool sip_config_read(const std::uint8_t* body, std::size_t length, sip_config* out);

// Pool sizes and tick settings with their defaults applied.
struct sip_global_settings {
  std::uint32_t server_tx_count, call_count, cache_count, lookup_count;
  std::uint32_t tick_period_ms;
  std::uint16_t tick_window;
};
sip_global_settings sip_config_resolve_global(const sip_config& cfg);

// What an endpoint runs with: an entry with its defaults applied.
struct sip_endpoint_settings {
  std::uint16_t nai, transport_nai;
  std::uint8_t address_type, address_length;
  std::array<std::uint8_t, 4> address;
  std::array<char, SIP_PROXY_HOST_SIZE> proxy_host;
  std::uint16_t proxy_host_length;
  std::uint16_t options, proxy_port, default_port;
  std::uint8_t user_entity, transport_entity, resolver_entity;
  std::uint8_t endpoint_flags;
  // Header room in front of the text: rounded up to even, the datagram
  // room with the 28-byte address record added.
  std::uint16_t datagram_room, other_room;
  std::uint32_t hold_ms, ack_life_ms, t1_ms, t2_ms, supervision_ms;
  std::uint32_t invite_resend_ms, provisional_wait_ms, bye_hold_ms, lookup_life_ms;
  std::uint16_t max_calls;
  std::uint32_t lookup_table_size;
  std::uint16_t callid_buckets, branch_buckets;
};
sip_endpoint_settings sip_config_resolve(const sip_config_endpoint& e);
