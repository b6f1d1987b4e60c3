// Test harness of ENT_SIP: the runtime in manual mode on a virtual clock with
// ENT_SIP between recording fakes of ENT_SM, the session-control user
// (ENT_SSC) and the socket entity (ENT_IP).  No threads: messages run when
// the test pumps, timers when it advances the clock.
#pragma once

#include <cstdint>
#include <vector>

#include "runtime/support/rt_harness.h"
#include "sip/ent/sip_config.h"

namespace sip_test {

inline constexpr std::uint16_t USER_NAI = 1;
inline constexpr std::uint16_t TRANSPORT_NAI = 2;

// A configuration of one endpoint (user nai 1, transport nai 2, ENT_SSC
// above, ENT_IP below and as resolver) with short timers: T1 100, T2 800.
sip_config one_endpoint(std::uint16_t user_nai = USER_NAI);

class harness {
 public:
  explicit harness(std::uint32_t start_ms = 100000);
  ~harness();
  harness(const harness&) = delete;
  harness& operator=(const harness&) = delete;

  // SM_CONFIG_RQ with the packed body (in a buffer chain, as ENT_SM sends
  // it); returns the confirm's three bytes.
  std::vector<std::uint8_t> configure(const sip_config& cfg);
  std::vector<std::uint8_t> configure_raw(const std::vector<std::uint8_t>& body);
  // A management request without body; the confirm's data.
  std::vector<std::uint8_t> manage(code_t code, std::uint16_t nai);
  // Any message to ENT_SIP, inline data or, above 64 bytes, a chain.
  void send(ent_id_t from, code_t code, const std::vector<std::uint8_t>& data, std::uint16_t nai,
            std::uint16_t conn_id = 0);
  // Moves the virtual clock ms by ms, turning the timer wheel and pumping.
  void advance(std::uint32_t ms);
  // Messages the fakes received since the last take, optionally one entity's.
  std::vector<rt_test::seen_msg> take();
  std::vector<rt_test::seen_msg> take_for(ent_id_t to);
};

}  // namespace sip_test
