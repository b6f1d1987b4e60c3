// Two IAF sessions back to back in one T.38 entity, on the virtual clock:
// what session 1 sends to ENT_IP arrives at session 2 as a received
// datagram and the other way round.  A recording fake of the fax modem
// layer (ENT_FM) notes every indication with the virtual time it arrived.
#pragma once

#include <functional>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/support/rt_harness.h"
#include "t38/support/t38_session_fixtures.h"
#include "t38/t38_trace.h"
#include "t38/t38iaf.h"

namespace kv::t38::testing {

struct fm_event {
  nai_t nai;
  ent_id_t from;
  u8 sapi;
  code_t code;
  std::vector<u8> data;  // the chain's bytes when a chain is attached
  std::vector<u8> inline_data;
  u32 at;  // virtual ms
};

inline constexpr nai_t kA = 1;  // the sending session in most tests
inline constexpr nai_t kB = 2;

class T38IafB2B : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // An IAF session entry with the data-control group filled.
  static t38_session_entry entry(nai_t nai);
  // Configures and activates sessions 1 and 2 (entries from entry() unless given).
  void start(const std::function<void(t38_session_entry&)>& tweak = nullptr);
  std::vector<u8> request(ent_id_t from, code_t code, const std::vector<u8>& body, nai_t nai, u8 sapi);

  // Primitives of the fax user (ENT_FM).
  void fax_act(nai_t nai, u16 direction, u16 mode, u16 short_train = 0, u16 options = 0);
  void fax_dea(nai_t nai);
  void fax_da(nai_t nai, const std::vector<u8>& bytes, u16 last);
  void signal(nai_t nai, code_t code, u16 action, u16 tone);

  // Runs the clock `ms` further, one polling tick at a time.
  void advance(u32 ms);
  // Runs until pred holds (bounded by max_ms); false when it never did.
  bool run_until(const std::function<bool()>& pred, u32 max_ms = 60000);

  std::vector<fm_event> events(nai_t nai, code_t code) const;
  // Progress codes of a session, in order.
  std::vector<u16> progress(nai_t nai) const;
  // First progress indication with this code (time), or -1.
  long progress_time(nai_t nai, u16 code) const;
  // Traps raised on a session so far (-1 without the session).
  int error_reports(nai_t nai) const;
  // Received bytes of T38IAF__FAX_DA_IN, one entry per indication.
  std::vector<std::vector<u8>> received(nai_t nai) const;

  t38iaf_service iaf;
  t38_trace_writer trace;

 public:
  static std::vector<fm_event>* fm_log;
  static bool drop_all;  // ENT_IP loses every datagram while set
  // When set, ENT_IP hands every datagram (without its address record) to
  // this tap instead of the other session.
  static std::function<void(nai_t, const std::vector<u8>&)> ip_tap;
  // A datagram from the far side to a session.
  void deliver(nai_t nai, const std::vector<u8>& datagram);
};

}  // namespace kv::t38::testing
