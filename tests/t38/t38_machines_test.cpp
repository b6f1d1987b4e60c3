// The rows of every protocol machine of the T.38 services pass the
// automaton check: each state reachable, no cell named twice, every next
// state known.
#include <gtest/gtest.h>

#include <string>

#include "runtime/automaton.h"
#include "t38/t38iaf.h"

namespace {

TEST(T38Machines, EveryMachinePassesTheRowCheck) {
  const kv::fsm::machine_view machines[] = {kv::t38::t38iaf_fax_machine()};
  for (const auto& m : machines) {
    EXPECT_FALSE(m.rows.empty()) << m.name;
    std::string faults;
    for (const auto& f : kv::fsm::check(m)) faults += f + "\n";
    EXPECT_TRUE(faults.empty()) << m.name << ":\n" << faults;
  }
}

}  // namespace
