// Two complete fax stacks in one runtime on the virtual clock: T.30 engine
// channels 1 and 2, the fax modem layer, and the T.38 entity with two IAF
// sessions (nai 1 and 2) whose datagrams a fake ENT_IP hands to each other.
// The session layer is the scripted user of fax/support/t30_fake_modem.h;
// the V.25 call set-up service runs beside them for a recording ENT_FAX.
// Every FM_CONTROL_CO and FM_PROGRESS_IN that reaches the engine is noted.
#pragma once

#include <functional>
#include <vector>

#include <gtest/gtest.h>

#include "fax/support/t30_fake_modem.h"
#include "t38/support/t38_session_fixtures.h"
#include "t38/t38iaf.h"

namespace fm_test {

inline constexpr nai_t kCaller = 1;
inline constexpr nai_t kAnswerer = 2;

// An FM_CONTROL_CO (kind, result) or an FM_PROGRESS_IN ('R' carrier or
// 'X' ready, with the rate as result) that reached the engine.
struct confirm_note {
  nai_t nai;
  char kind;
  uint16_t result;
};

class FmT38Loop : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  t30_test::fake_user& user(nai_t n) { return t30_test::fake_users::get()[n]; }
  // Runs in 5 ms steps until done holds or limit_ms passed; the time used.
  uint32_t run_until(const std::function<bool()>& done, uint32_t limit_ms);
  bool both_ended() { return user(kCaller).disconnected && user(kAnswerer).disconnected; }

  kv::t38::t38iaf_service iaf;

 public:
  static std::vector<confirm_note>* confirms;
  // Sees every datagram; false drops it.
  static std::function<bool(nai_t from, const std::vector<uint8_t>&)> line_filter;
  // When set, every datagram (UDPTL) goes to the tap instead of the other
  // session.
  static std::function<void(nai_t from, const std::vector<uint8_t>&)> ip_tap;
  // A datagram from the far side to a session.
  static void deliver(nai_t to, const std::vector<uint8_t>& datagram);
  // The handlers behind the session layer's row (ENT_CF, the scripted user
  // by default) and the fax automaton's row (ENT_FAX, a recorder by default).
  static void (*session_layer)(msg_t*);
  static void (*fax_user)(msg_t*);
  // The handler behind ENT_SM's row (a recorder by default).
  static void (*sm_layer)(msg_t*);
};

// An IAF session entry over UDP towards 127.0.0.1:remote_port.
kv::t38::t38_session_entry iaf_entry(nai_t nai, u16 remote_port);
// A management request to ENT_T38 from ENT_FOIP; the answer's data.
std::vector<uint8_t> t38_request(code_t code, const std::vector<uint8_t>& body, nai_t nai);
// Configures the modem layer (ENT_MFM).
void start_fax_layers();

}  // namespace fm_test
