// The automaton check over every machine of ENT_SIP and ENT_SSC: each row
// reachable, no state named twice for one event, every next state known.
// State numbers a machine leaves unused (the records keep the old values)
// are the only states allowed to have no row.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sip/sip_dialog_sm.h"
#include "sip/sip_slot_sm.h"
#include "sip/ssc_call_sm.h"
#include "sip/ssc_entry_sm.h"

namespace {

struct machine {
  kv::fsm::machine_view view;
  std::vector<unsigned> unused;  // state numbers without a meaning
};

bool unused_state_fault(const std::string& fault, const std::vector<unsigned>& unused) {
  for (const unsigned s : unused)
    if (fault.ends_with(": state " + std::to_string(s) + " has no row")) return true;
  return false;
}

TEST(SipMachines, EveryMachinePassesTheAutomatonCheck) {
  const machine machines[] = {
      {sip_dialog_machine(), {0}},
      {sip_slot_machine(), {}},
      {ssc_call_machine(), {0, 4, 9}},
      {ssc_entry_machine(), {0, 2, 3, 4, 5, 6, 12, 13, 15}},
  };
  for (const machine& m : machines) {
    const std::vector<std::string> faults = kv::fsm::check(m.view);
    std::vector<std::string> real;
    std::vector<std::string> unused;
    for (const std::string& f : faults) (unused_state_fault(f, m.unused) ? unused : real).push_back(f);
    std::string all;
    for (const std::string& f : real) all += f + "\n";
    EXPECT_TRUE(real.empty()) << m.view.name << ":\n" << all;
    // The unused numbers are exactly the states without rows.
    EXPECT_EQ(unused.size(), m.unused.size()) << m.view.name;
  }
}

}  // namespace
