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

#include "platform/int_types.h"
#include "sip/ent/sip_config.h"
#include "sip/ent/sip_timer_owner.h"

template <class T>
class sip_pool {
 public:
  void build(u32 capacity) {
    recs_.assign(capacity, T{});
    free_.clear();
    free_.reserve(capacity);
    for (u32 i = capacity; i > 0; --i) free_.push_back(i - 1);
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
  static constexpr u32 npos = 0xFFFFFFFFu;
  [[nodiscard]] u32 take() {
    if (free_.empty()) return npos;
    const u32 i = free_.back();
    free_.pop_back();
    recs_[i] = T{};
    if (++in_use_ > high_water_) high_water_ = in_use_;
    return i;
  }
  void give_back(u32 i) {
    if (i >= recs_.size()) return;
    free_.push_back(i);
    --in_use_;
  }
  T& operator[](u32 i) { return recs_[i]; }
  const T& operator[](u32 i) const { return recs_[i]; }
  u32 capacity() const { return static_cast<u32>(recs_.size()); }
  u32 in_use() const { return in_use_; }
  u32 high_water() const { return high_water_; }

 private:
  std::vector<T> recs_;
  std::vector<u32> free_;
  u32 in_use_ = 0, high_water_ = 0;
};

inline constexpr u32 SIP_LOOKUP_RESOLVED = 0xFFFFFFFFu;
inline constexpr u16 SIP_NO_CONN = 0xFFFF;
inline constexpr std::size_t SIP_CACHE_NAME_SIZE = 64;

// A name the cache has learnt.
struct sip_name_cache_entry {
  u32 lookup_number = SIP_LOOKUP_RESOLVED;  // a number while a refresh runs
  u32 ttl_ms = 0;
  u32 expiry_tick = 0;
  std::array<char, SIP_CACHE_NAME_SIZE> name{};
  u16 hash = 0;
  u8 family = 4;
  std::array<u8, 4> address{};
};

// A name lookup sent to the resolver and not yet answered.
struct sip_pending_lookup {
  u16 conn_id = SIP_NO_CONN;
  u32 number = 0;
  std::array<char, SIP_PROXY_HOST_SIZE> name{};
  u16 hash = 0;
  u32 timeout_tick = 0;
};

inline constexpr std::size_t SIP_TEXT_SIZE = 65;  // 64 characters and the NUL
using sip_text = std::array<char, SIP_TEXT_SIZE>;
inline constexpr u8 SIP_DIALOGS = 3;
inline constexpr u8 SIP_SLOTS = 6;
inline constexpr u8 SIP_NO_INDEX = 255;

// Dialog states 1..18 (the dialog machine's).
inline constexpr u8 SIP_DLG_IDLE = 1;

struct sip_dialog {
  sip_text remote_tag{};
  u32 our_invite_cseq = 0;
  u32 received_invite_cseq = 0;
  u32 local_cseq = 0;
  u32 remote_cseq = 0xFFFFFFFFu;
  sip_timer_owner supervision;
  u32 supervision_deadline = 0;
  sip_timer_owner bye_hold;
  u16 flags = 0;
  u8 pending_request = 0;
  u8 state = SIP_DLG_IDLE;
  u8 pending_answers = 0;
  u8 accepted_slot = SIP_NO_INDEX;
};

// Slot states.
enum : u8 {
  SIP_SLOT_FREE = 0,
  SIP_SLOT_CALLING = 1,
  SIP_SLOT_PROCEEDING = 2,
  SIP_SLOT_COMPLETED = 3,
  SIP_SLOT_ACK_SENT = 4,
  SIP_SLOT_ACCEPTED = 5,
};

struct sip_transaction_slot {
  u8 mark = 0;
  sip_text branch{};
  u16 via_word = 0xFFFF;
  std::vector<u8> stored;  // text last sent on the slot
  u32 interval_ms = 0;
  u32 last_use = 0;
  sip_timer_owner retransmit, timeout;
  u8 kind = 0;
  u8 index = 0;
  u8 dialog = 0;
  u8 state = SIP_SLOT_FREE;
  u32 cseq = 0;
};

struct sip_call {
  std::vector<u32> parked;  // held downward messages (unused yet)
  sip_text resolved_name{};
  std::array<u8, 4> dest_address{};
  u8 dest_address_length = 0;
  u16 dest_port = 0;
  u16 conn_id = SIP_NO_CONN;
  sip_text callid_word{};
  sip_text callid_host{};
  std::array<u8, 4> callid_addr{};
  u16 callid_addr_len = 0;
  u16 callid_hash = 0;
  bool in_bucket = false;
  u32 first_invite_cseq = 0;
  u8 creating_code = 0;
  sip_text local_tag{};
  sip_timer_owner fork;
  u8 dialog_count = 0;
  u8 highest_dialog = 0;
  u8 closing = 0;
  u8 flags = 0;
  std::array<sip_dialog, SIP_DIALOGS> dialogs{};
  std::array<sip_transaction_slot, SIP_SLOTS> slots{};
  std::vector<u32> server_txs;
};

// Server transaction states.
enum : u8 { SIP_STX_NEW = 0, SIP_STX_DELIVERED = 1, SIP_STX_ANSWERED = 3 };

struct sip_server_transaction {
  u8 kind = 'S';
  u16 bucket = 0xFFFF;
  std::vector<u8> stored;  // response last sent, for retransmitted requests
  bool has_stored = false;
  std::vector<char> request_text;  // the datagram that carried the request, for a late answer
  u32 deadline = 0;
  u32 cseq = 0;
  u8 cseq_method = 0;
  u32 index = 0;
  sip_text sent_by{};
  u16 sent_by_addr_len = 0;
  sip_text callid_word{};
  sip_text callid_host{};
  sip_text to_tag{};
  sip_text from_tag{};
  u8 cookie = 0;
  sip_text branch{};
  u8 request_code = 0;
  u16 conn_id = SIP_NO_CONN;
  u32 call = 0xFFFFFFFFu;
  u8 state = SIP_STX_NEW;
  // An INVITE refused outside any dialog: the transaction alone re-sends
  // the final response (T1 doubling up to T2) to where it went until the
  // ACK comes or it ends; its call is gone.
  u8 awaiting_ack = 0;
  sip_timer_owner resend;
  u32 resend_ms = 0;
  std::array<u8, 4> dest_address{};
  u16 dest_port = 0;
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
  u32 refused_no_call = 0;
  u32 refused_no_server_tx = 0;
};

// One address of a SOCK_DNS_CO.
struct sip_dns_address {
  std::array<u8, 4> address;
  u32 ttl_s;
};
// A SOCK_DNS_CO as read: the count is bounded by the data length and by the
// ten entries the confirm can carry.
struct sip_dns_answer {
  u32 number = 0;
  u8 count = 0;
  std::array<sip_dns_address, 10> addrs{};
};
[[nodiscard]] bool sip_dns_answer_read(const u8* data, std::size_t length, sip_dns_answer* out);

// Case-insensitive compare of a cache or lookup name with a host.
bool sip_name_equal(const char* stored, std::string_view host);
