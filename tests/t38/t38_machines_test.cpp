// The rows of every protocol machine of the T.38 services pass the
// automaton check: each state reachable, no cell named twice, every next
// state known.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "runtime/automaton.h"
#include "t38/t38iaf.h"

namespace {

TEST(T38Machines, EveryMachinePassesTheRowCheck) {
  const kv::fsm::machine_view machines[] = {kv::t38::t38iaf_fax_machine()};
  for (const auto& m : machines) {
    EXPECT_FALSE(m.rows.empty()) << m.name;
    EXPECT_THAT(kv::fsm::check(m), ::testing::IsEmpty()) << m.name;
  }
}

}  // namespace
