// The automaton check over the machines of ENT_SIP: each row reachable, one
// row per state and event, every next state known.
#include <gtest/gtest.h>

#include "sip/ent/sip_dialog_sm.h"
#include "sip/ent/sip_slot_sm.h"
#include "sip/support/machine_check.h"

TEST(SipAutomata, DialogAndSlotMachinesPassTheCheck) {
  std::size_t unused = 0;
  EXPECT_EQ(machine_faults(sip_dialog_machine(), {0}, &unused), "");
  EXPECT_EQ(unused, 1u) << "dialog states are 1..18";
  EXPECT_EQ(machine_faults(sip_slot_machine(), {}, &unused), "");
}
