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

#include "sip/ent/sip_config.h"
#include "sip/ent/sip_timer_owner.h"

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

inline constexpr std::size_t SIP_TEXT_SIZE = 65;  // 64 characters and the NUL
using sip_text = std::array<char, SIP_TEXT_SIZE>;
inline constexpr std::uint8_t SIP_DIALOGS = 3;
inline constexpr std::uint8_t SIP_SLOTS = 6;
inline constexpr std::uint8_t SIP_NO_INDEX = 255;

// Dialog states 1..18 (the dialog machine's).
inline constexpr std::uint8_t SIP_DLG_IDLE = 1;

struct sip_dialog {
  sip_text remote_tag{};
  std::uint32_t our_invite_cseq = 0;
  std::uint32_t received_invite_cseq = 0;
  std::uint32_t local_cseq = 0;
  std::uint32_t remote_cseq = 0xFFFFFFFFu;
  sip_timer_owner supervision;
  std::uint32_t supervision_deadline = 0;
  sip_timer_owner bye_hold;
  std::uint16_t flags = 0;
  std::uint8_t pending_request = 0;
  std::uint8_t state = SIP_DLG_IDLE;
  std::uint8_t pending_answers = 0;
  std::uint8_t accepted_slot = SIP_NO_INDEX;
};

// Slot states.
enum : std::uint8_t {
  SIP_SLOT_FREE = 0,
  SIP_SLOT_CALLING = 1,
  SIP_SLOT_PROCEEDING = 2,
  SIP_SLOT_COMPLETED = 3,
  SIP_SLOT_ACK_SENT = 4,
  SIP_SLOT_ACCEPTED = 5,
};

struct sip_transaction_slot {
  std::uint8_t mark = 0;
  sip_text branch{};
  std::uint16_t via_word = 0xFFFF;
  std::vector<std::uint8_t> stored;  // text last sent on the slot
  std::uint32_t interval_ms = 0;
  std::uint32_t last_use = 0;
  sip_timer_owner retransmit, timeout;
  std::uint8_t kind = 0;
  std::uint8_t index = 0;
  std::uint8_t dialog = 0;
  std::uint8_t state = SIP_SLOT_FREE;
  std::uint32_t cseq = 0;
};

struct sip_call {
  std::vector<std::uint32_t> parked;  // held downward messages (unused yet)
  sip_text resolved_name{};
  std::array<std::uint8_t, 4> dest_address{};
  std::uint8_t dest_address_length = 0;
  std::uint16_t dest_port = 0;
  std::uint16_t conn_id = SIP_NO_CONN;
  sip_text callid_word{};
  sip_text callid_host{};
  std::array<std::uint8_t, 4> callid_addr{};
  std::uint16_t callid_addr_len = 0;
  std::uint16_t callid_hash = 0;
  bool in_bucket = false;
  std::uint32_t first_invite_cseq = 0;
  std::uint8_t creating_code = 0;
  sip_text local_tag{};
  sip_timer_owner fork;
  std::uint8_t dialog_count = 0;
  std::uint8_t highest_dialog = 0;
  std::uint8_t closing = 0;
  std::uint8_t flags = 0;
  std::array<sip_dialog, SIP_DIALOGS> dialogs{};
  std::array<sip_transaction_slot, SIP_SLOTS> slots{};
  std::vector<std::uint32_t> server_txs;
};

// Server transaction states.
enum : std::uint8_t { SIP_STX_NEW = 0, SIP_STX_DELIVERED = 1, SIP_STX_ANSWERED = 3 };

struct sip_server_transaction {
  std::uint8_t kind = 'S';
  std::uint16_t bucket = 0xFFFF;
  std::vector<std::uint8_t> stored;  // response last sent, for retransmitted requests
  bool has_stored = false;
  std::vector<char> request_text;  // the datagram that carried the request, for a late answer
  std::uint32_t deadline = 0;
  std::uint32_t cseq = 0;
  std::uint8_t cseq_method = 0;
  std::uint32_t index = 0;
  sip_text sent_by{};
  std::uint16_t sent_by_addr_len = 0;
  sip_text callid_word{};
  sip_text callid_host{};
  sip_text to_tag{};
  sip_text from_tag{};
  std::uint8_t cookie = 0;
  sip_text branch{};
  std::uint8_t request_code = 0;
  std::uint16_t conn_id = SIP_NO_CONN;
  std::uint32_t call = 0xFFFFFFFFu;
  std::uint8_t state = SIP_STX_NEW;
  // An INVITE refused outside any dialog: the transaction alone re-sends
  // the final response (T1 doubling up to T2) to where it went until the
  // ACK comes or it ends; its call is gone.
  std::uint8_t awaiting_ack = 0;
  sip_timer_owner resend;
  std::uint32_t resend_ms = 0;
  std::array<std::uint8_t, 4> dest_address{};
  std::uint16_t dest_port = 0;
};

// The shared pools, built at the first configuration.
struct sip_shared_pools {
  sip_pool<sip_call> calls;
  sip_pool<sip_server_transaction> server_txs;
  sip_pool<sip_name_cache_entry> cache;
  sip_pool<sip_pending_lookup> lookups;
  bool built = false;
  // Requests answered 503 at once because no call record, or no server
  // transaction, was free.
  std::uint32_t refused_no_call = 0;
  std::uint32_t refused_no_server_tx = 0;
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
