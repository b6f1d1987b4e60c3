// The rows of every protocol machine of the fax engine pass the automaton
// check: each state reachable, no cell named twice, every next state known.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fax/fax_session.h"
#include "fax/fc.h"
#include "fax/t30_channel.h"
#include "runtime/automaton.h"

namespace {

TEST(FaxMachines, EveryMachinePassesTheRowCheck) {
  const kv::fsm::machine_view machines[] = {
      fax_auto__machine(),
      fc__page_machine(),
      t30_machine_view(t30_machine_0),
      t30_machine_view(t30_machine_1),
      t30_machine_view(t30_machine_2),
      t30_machine_view(t30_machine_4),
      t30_machine_view(t30_machine_5),
  };
  for (const auto& m : machines) {
    EXPECT_FALSE(m.rows.empty()) << m.name;
    EXPECT_THAT(kv::fsm::check(m), ::testing::IsEmpty()) << m.name;
  }
}

}  // namespace
