// Inside ENT_SIP: the endpoint record and the module state shared by the
// entity's source files.  Not for other modules.
#pragma once

#include <array>
#include <cstdint>
#include <list>
#include <memory>
#include <vector>

#include "platform/int_types.h"
#include "runtime/msg.h"
#include "runtime/timer.h"
#include "sip/ent/sip_config.h"
#include "sip/ent/sip_records.h"
#include "sip/ent/sip_timer_owner.h"
#include "sip/text/sip_str.h"

// ENT_SIP's message to itself that starts a slot's timers once its message
// has left (sip_tx.h).
inline constexpr code_t SIP_SLOT_ARM_RQ = 0xA0;
inline constexpr u8 SIP_SLOT_ARM_SIZE = 3;

struct sip_endpoint {
  sip_endpoint_settings cfg{};
  u8 running = 0;
  u16 next_incoming_conn_id = 0;
  sip_timer_owner lookup_sweep, finished_sweep, cache_refresh;
  // Name cache (record indexes, earliest expiry first) and pending lookups
  // (deadline order) with their table by lookup number.
  std::list<u32> cache;
  std::list<u32> pending;
  // Answered server transactions, oldest deadline first.
  std::list<u32> finished;
  std::vector<u32> lookup_table;  // record index or npos, by number
  u32 lookup_next = 0;            // lowest free number
  u32 lookup_high = 0;            // one past the highest used
  // Calls by conn_id (active and closing) and the two hash tables.
  std::vector<u32> active_calls, closing_calls;
  std::vector<std::vector<u32>> callid_hash, branch_hash;
};

struct sip_module {
  std::list<std::unique_ptr<sip_endpoint>> endpoints;  // newest first
  std::vector<sip_endpoint*> by_user_nai, by_transport_nai;
  sip_shared_pools pools;
  // The current message and endpoint of the handler run.
  msg_t* msg = nullptr;
  bool msg_owned = false;
  sip_endpoint* ep = nullptr;
  u32 call = 0xFFFFFFFFu;  // current call, pool index
  u8 dialog = 255;         // current dialog of the call
  u32 stx = 0xFFFFFFFFu;   // current server transaction
  // Source of the datagram being handled: where stateless answers go.
  std::array<u8, 4> rx_address{};
  u16 rx_port = 0;
  u16 pending_error_nai = 0xFFFF;
  u16 pending_error_conn = 0;
  // Module tick.
  sip_timer_owner tick;
  u32 tick_period_ms = 1000;
};
extern sip_module sip_mod;

// Addresses a message from ENT_SIP and sends it (sip_entity.cpp).
void sip_send_msg(msg_t* m, ent_id_t to, u16 nai, u8 sapi, u16 conn_id, code_t code);
// A message holding a copy of the n bytes at data, addressed and sent as
// above; false (nothing sent) when no message can be had.
bool sip_send_data(ent_id_t to, u16 nai, u8 sapi, u16 conn_id, code_t code, const u8* data, u32 n);

// Dialog tags as the records keep them (sip_rx.cpp): whether a stored tag
// is the received one, whether a received tag is there at all, and a copy
// of it cut to the record's room.
bool sip_tag_equal(const sip_text& stored, sip_str tag);
bool sip_tag_present(sip_str tag);
void sip_tag_copy(sip_text& dst, sip_str s);

sip_endpoint* sip_endpoint_by_user_nai(u16 nai);
sip_endpoint* sip_endpoint_by_transport_nai(u16 nai);

// The socket side: datagrams, lookup answers, commits (sip_transport.cpp).
void sip_transport_event();
// Timer expiries of the name cache and the pending lookups.
void sip_dns__lookup_sweep(sip_endpoint& ep);
void sip_dns__cache_refresh(sip_endpoint& ep);
// Gives back every cache and lookup record of the endpoint.
void sip_dns__release_all(sip_endpoint& ep);
