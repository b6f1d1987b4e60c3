// Shared record pools of the SIP transaction entity and the per-endpoint name
// cache and pending name lookups.
//
// A pool is one allocation of fixed capacity with a free list; it counts the
// records in use and their high-water mark so that tests and benchmarks can
// see that everything went back.  Runs in the SM thread only.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

#include "sip/sip_config.h"

template <class T>
class sip_pool {
 public:
  void build(std::uint32_t capacity) {
    recs_.assign(capacity, T{});
    free_.clear();
    free_.reserve(capacity);
    for (std::uint32_t i = capacity; i > 0; --i) free_.push_back(i - 1);
    in_use_ = high_water_ = 0;
  }
  void clear() {
    recs_.clear();
    recs_.shrink_to_fit();
    free_.clear();
    free_.shrink_to_fit();
    in_use_ = high_water_ = 0;
  }
  // Index of a fresh record, or npos when none is free.
  static constexpr std::uint32_t npos = 0xFFFFFFFFu;
  [[nodiscard]] std::uint32_t take() {
    if (free_.empty()) return npos;
    const std::uint32_t i = free_.back();
    free_.pop_back();
    recs_[i] = T{};
    if (++in_use_ > high_water_) high_water_ = in_use_;
    return i;
  }
  void give_back(std::uint32_t i) {
    if (i >= recs_.size()) return;
    free_.push_back(i);
    --in_use_;
  }
  T& operator[](std::uint32_t i) { return recs_[i]; }
  const T& operator[](std::uint32_t i) const { return recs_[i]; }
  std::uint32_t capacity() const { return static_cast<std::uint32_t>(recs_.size()); }
  std::uint32_t in_use() const { return in_use_; }
  std::uint32_t high_water() const { return high_water_; }

 private:
  std::vector<T> recs_;
  std::vector<std::uint32_t> free_;
  std::uint32_t in_use_ = 0, high_water_ = 0;
};

inline constexpr std::uint32_t SIP_LOOKUP_RESOLVED = 0xFFFFFFFFu;
inline constexpr std::uint16_t SIP_NO_CONN = 0xFFFF;
inline constexpr std::size_t SIP_CACHE_NAME_SIZE = 64;

// A name the cache has learnt.
struct sip_name_cache_entry {
  std::uint32_t lookup_number = SIP_LOOKUP_RESOLVED;  // a number while a refresh runs
  std::uint32_t ttl_ms = 0;
  std::uint32_t expiry_tick = 0;
  std::array<char, SIP_CACHE_NAME_SIZE> name{};
  std::uint16_t hash = 0;
  std::uint8_t family = 4;
  std::array<std::uint8_t, 4> address{};
};

// A name lookup sent to the resolver and not yet answered.
struct sip_pending_lookup {
  std::uint16_t conn_id = SIP_NO_CONN;
  std::uint32_t number = 0;
  std::array<char, SIP_PROXY_HOST_SIZE> name{};
  std::uint16_t hash = 0;
  std::uint32_t timeout_tick = 0;
};

// Placeholders of the call and server-transaction records: the pools exist
// and are sized by the configuration.
struct sip_call_rec {
  std::uint16_t conn_id = SIP_NO_CONN;
};
struct sip_server_tx_rec {
  std::uint32_t index = 0;
};

// The shared pools, built at the first configuration.
struct sip_shared_pools {
  sip_pool<sip_call_rec> calls;
  sip_pool<sip_server_tx_rec> server_txs;
  sip_pool<sip_name_cache_entry> cache;
  sip_pool<sip_pending_lookup> lookups;
  bool built = false;
};

// One address of a SOCK_DNS_CO.
struct sip_dns_address {
  std::array<std::uint8_t, 4> address;
  std::uint32_t ttl_s;
};
// A SOCK_DNS_CO as read: the count is bounded by the data length and by the
// ten entries the confirm can carry.
struct sip_dns_answer {
  std::uint32_t number = 0;
  std::uint8_t count = 0;
  std::array<sip_dns_address, 10> addrs{};
};
[[nodiscard]] bool sip_dns_answer_read(const std::uint8_t* data, std::size_t length, sip_dns_answer* out);

// Case-insensitive compare of a cache or lookup name with a host.
bool sip_name_equal(const char* stored, std::string_view host);
