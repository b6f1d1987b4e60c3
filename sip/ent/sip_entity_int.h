// Inside ENT_SIP: the endpoint record and the module state shared by the
// entity's source files.  Not for other modules.
#pragma once

#include <array>
#include <cstdint>
#include <list>
#include <memory>
#include <vector>

#include "runtime/msg.h"
#include "runtime/timer.h"
#include "sip/ent/sip_config.h"
#include "sip/ent/sip_records.h"
#include "sip/ent/sip_timer_owner.h"

// ENT_SIP's message to itself that starts a slot's timers once its message
// has left (sip_tx.h).
inline constexpr code_t SIP_SLOT_ARM_RQ = 0xA0;
inline constexpr std::uint8_t SIP_SLOT_ARM_SIZE = 3;

struct sip_endpoint {
  sip_endpoint_settings cfg{};
  std::uint8_t running = 0;
  std::uint16_t next_incoming_conn_id = 0;
  sip_timer_owner lookup_sweep, finished_sweep, cache_refresh;
  // Name cache (record indexes, earliest expiry first) and pending lookups
  // (deadline order) with their table by lookup number.
  std::list<std::uint32_t> cache;
  std::list<std::uint32_t> pending;
  // Answered server transactions, oldest deadline first.
  std::list<std::uint32_t> finished;
  std::vector<std::uint32_t> lookup_table;  // record index or npos, by number
  std::uint32_t lookup_next = 0;            // lowest free number
  std::uint32_t lookup_high = 0;            // one past the highest used
  // Calls by conn_id (active and closing) and the two hash tables.
  std::vector<std::uint32_t> active_calls, closing_calls;
  std::vector<std::vector<std::uint32_t>> callid_hash, branch_hash;
};

struct sip_module {
  std::list<std::unique_ptr<sip_endpoint>> endpoints;  // newest first
  std::vector<sip_endpoint*> by_user_nai, by_transport_nai;
  sip_shared_pools pools;
  // The current message and endpoint of the handler run.
  msg_t* msg = nullptr;
  bool msg_owned = false;
  sip_endpoint* ep = nullptr;
  std::uint32_t call = 0xFFFFFFFFu;  // current call, pool index
  std::uint8_t dialog = 255;         // current dialog of the call
  std::uint32_t stx = 0xFFFFFFFFu;   // current server transaction
  // Source of the datagram being handled: where stateless answers go.
  std::array<std::uint8_t, 4> rx_address{};
  std::uint16_t rx_port = 0;
  std::uint16_t pending_error_nai = 0xFFFF;
  std::uint16_t pending_error_conn = 0;
  // Module tick.
  sip_timer_owner tick;
  std::uint32_t tick_period_ms = 1000;
};
extern sip_module sip_mod;

sip_endpoint* sip_endpoint_by_user_nai(std::uint16_t nai);
sip_endpoint* sip_endpoint_by_transport_nai(std::uint16_t nai);

// The socket side: datagrams, lookup answers, commits (sip_transport.cpp).
void sip_transport_event();
// Timer expiries of the name cache and the pending lookups.
void sip_dns__lookup_sweep(sip_endpoint& ep);
void sip_dns__cache_refresh(sip_endpoint& ep);
// Gives back every cache and lookup record of the endpoint.
void sip_dns__release_all(sip_endpoint& ep);
