// The automaton check over the machines of ENT_SSC: each row reachable, one
// row per state and event, every next state known.
#include <gtest/gtest.h>

#include "sip/ssc/ssc_call_sm.h"
#include "sip/ssc/ssc_entry_sm.h"
#include "sip/support/machine_check.h"

TEST(SscAutomata, CallAndEntryMachinesPassTheCheck) {
  std::size_t unused = 0;
  EXPECT_EQ(machine_faults(ssc_call_machine(), {0, 4, 9}, &unused), "");
  EXPECT_EQ(unused, 3u) << "call states 4 and 9 have no handler";
  EXPECT_EQ(machine_faults(ssc_entry_machine(), {0, 2, 3, 4, 5, 6, 12, 13, 15}, &unused), "");
  EXPECT_EQ(unused, 9u);
}
