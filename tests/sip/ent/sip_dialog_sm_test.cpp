// The dialog automaton: one case per table row (state, flags, event, status
// and call facts in; next state, flags, result, actions and answer out), the
// default for unlisted events, and the call flows of a UAC and a UAS run
// through it step by step.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sip/ent/sip_dialog_sm.h"

namespace {

constexpr std::uint8_t INV_CO = 193, OPT_CO = 195, BYE_CO = 196, CAN_CO = 197, REG_CO = 198;
constexpr std::uint8_t INV_RX = 225, ACK_RX = 226, OPT_RX = 227, BYE_RX = 228, CAN_RX = 229, REG_RX = 230;

constexpr std::uint16_t ACK = SIP_DLGF_ACK, FIN = SIP_DLGF_FINAL, BYEA = SIP_DLGF_BYE_ANSWERED,
                        CDONE = SIP_DLGF_CANCEL_DONE, IND = SIP_DLGF_IN_DIALOG, HOLDF = SIP_DLGF_BYE_HOLD,
                        EARLY = SIP_DLGF_BYE_EARLY;

// Extra facts of a case.
enum extra : std::uint8_t { X_NONE, X_NO_FROM_TAG, X_TO_TAG, X_NOT_AVAIL, X_CANCELLED, X_TWO_DIALOGS, X_REMOTE_TAG };

struct step_case {
  std::uint8_t state;
  std::uint16_t flags;
  std::uint8_t code;
  std::uint16_t status;
  extra x;
  std::uint8_t next;
  std::uint16_t flags_after;
  std::uint16_t result;
  std::uint32_t actions;  // exactly these
  std::uint16_t answer;   // or confirm status
};

sip_dlg_event make_event(const step_case& c) {
  sip_dlg_event e;
  e.code = c.code;
  e.status = c.status;
  e.from_tag = c.x != X_NO_FROM_TAG;
  e.to_tag = c.x == X_TO_TAG;
  e.not_available = c.x == X_NOT_AVAIL;
  e.call_flags = c.x == X_CANCELLED ? SIP_CALLF_CANCELLED : 0;
  e.active_dialogs = c.x == X_TWO_DIALOGS ? 2 : 1;
  e.remote_tag = c.x == X_REMOTE_TAG;
  return e;
}

constexpr std::uint32_t STORE_OWN = SIP_DLGA_STORE_OWN, STORE_RX = SIP_DLGA_STORE_RECEIVED,
                        RX_CSEQ = SIP_DLGA_RX_INVITE_CSEQ, ANS = SIP_DLGA_ANSWER, CLOSE_CALL = SIP_DLGA_CLOSE_CALL,
                        CONF = SIP_DLGA_CONFIRM, REL_ACK = SIP_DLGA_RELEASE_BUT_ACK, REL = SIP_DLGA_RELEASE,
                        BR_ACK = SIP_DLGA_BRANCH_ACK, BR_CAN = SIP_DLGA_BRANCH_CANCEL, SUP = SIP_DLGA_SUPERVISE,
                        FORK = SIP_DLGA_FORK_TIMER, HOLD = SIP_DLGA_BYE_HOLD, STOP = SIP_DLGA_STOP_BYE_HOLD,
                        S500 = SIP_DLGA_STATUS_500, CANCELLED = SIP_DLGA_CALL_CANCELLED, FAILED = SIP_DLGA_CALL_FAILED;

// clang-format off
const step_case cases[] = {
    // 1 idle
    {1, 0, 'A', 0, X_TO_TAG, 1, 0, 481, CLOSE_CALL, 0},
    {1, 0, 'A', 0, X_NO_FROM_TAG, 1, 0, 481, CLOSE_CALL, 0},
    {1, 0, 'A', 0, X_NONE, 2, 0, 2, STORE_OWN, 0},
    {1, 0, 'C', 0, X_NONE, 15, 0, 2, STORE_OWN, 0},
    {1, 0, 'F', 0, X_NONE, 17, 0, 2, STORE_OWN, 0},
    {1, 0, 'F', 0, X_TO_TAG, 1, 0, 481, CLOSE_CALL, 0},
    {1, 0, INV_RX, 0, X_NOT_AVAIL, 1, 0, 4, ANS, 480},
    {1, 0, INV_RX, 0, X_TO_TAG, 1, 0, 481, ANS | CLOSE_CALL, 481},
    {1, 0, INV_RX, 0, X_NONE, 8, 0, 2, RX_CSEQ | STORE_RX, 0},
    {1, 0, OPT_RX, 0, X_NONE, 16, 0, 2, STORE_RX, 0},
    {1, 0, REG_RX, 0, X_NONE, 18, 0, 2, STORE_RX, 0},
    {1, 0, REG_RX, 0, X_TO_TAG, 1, 0, 481, ANS | CLOSE_CALL, 481},
    {1, 0, 'c', 200, X_NONE, 1, 0, 2, 0, 0},
    {1, 0, 'D', 0, X_NONE, 1, 0, 405, 0, 0},
    {1, 0, BYE_RX, 0, X_NONE, 1, 0, 405, ANS, 500},
    // 2 invite_sent
    {2, 0, OPT_RX, 0, X_NONE, 2, 0, 2, 0, 0},
    {2, HOLDF, 'D', 0, X_NONE, 13, 0, 2, STOP, 0},
    {2, 0, INV_CO, 180, X_CANCELLED, 3, 0, 2, 0, 0},
    {2, 0, INV_CO, 100, X_NONE, 4, 0, 2, 0, 0},
    {2, 0, INV_CO, 200, X_NONE, 5, 0, 2, FORK | SUP, 0},
    {2, 0, INV_CO, 486, X_NONE, 6, 0, 2, SUP | FAILED, 0},
    {2, 0, 'E', 0, X_NONE, 2, 0, 405, 0, 0},
    {2, 0, 'A', 0, X_NONE, 2, 0, 44, 0, 0},
    // 3 cancelling
    {3, CDONE, 'B', 0, X_NONE, 3, CDONE | ACK, 2, REL_ACK | BR_ACK, 0},
    {3, 0, 'B', 0, X_NONE, 3, ACK, 2, BR_ACK, 0},
    {3, 0, 'C', 0, X_NONE, 3, 0, 2, 0, 0},
    {3, ACK | FIN, OPT_CO, 200, X_NONE, 3, ACK | FIN, 2, REL, 0},
    {3, 0, INV_CO, 180, X_NONE, 3, 0, 2, 0, 0},
    {3, 0, INV_CO, 100, X_NONE, 3, 0, 4, 0, 0},
    {3, 0, INV_CO, 200, X_NONE, 5, 0, 2, FORK | SUP, 0},
    {3, 0, INV_CO, 487, X_NONE, 3, FIN, 2, SIP_DLGA_END_EARLY | SUP, 0},
    {3, 0, CAN_CO, 100, X_NONE, 3, 0, 2, 0, 0},
    {3, ACK | FIN, CAN_CO, 200, X_NONE, 3, ACK | FIN, 2, REL, 0},
    {3, 0, CAN_CO, 200, X_NONE, 3, CDONE, 2, SIP_DLGA_INVITE_TIMEOUT, 0},
    {3, 0, INV_RX, 0, X_NONE, 3, 0, 405, ANS, 500},
    // 4 proceeding
    {4, 0, 'c', 200, X_NONE, 4, 0, 2, 0, 0},
    {4, HOLDF, 'D', 0, X_NONE, 13, EARLY, 2, STOP, 0},
    {4, IND, 'E', 0, X_NONE, 4, IND, 405, 0, 0},
    {4, 0, 'E', 0, X_NONE, 3, 0, 2, BR_CAN, 0},
    {4, 0, INV_CO, 200, X_NONE, 5, 0, 2, FORK | SUP, 0},
    {4, 0, INV_CO, 603, X_NONE, 6, 0, 2, SUP | FAILED, 0},
    {4, 0, INV_CO, 183, X_NONE, 4, 0, 2, 0, 0},
    {4, IND, INV_CO, 24, X_NONE, 7, 0, 2, 0, 0},
    {4, IND, INV_CO, 100, X_NONE, 4, IND, 2, 0, 0},
    {4, 0, INV_CO, 100, X_NONE, 4, 0, 4, 0, 0},
    {4, 0, INV_RX, 0, X_NONE, 4, 0, 4, ANS, 491},
    {4, 0, BYE_RX, 0, X_NONE, 14, EARLY, 2, 0, 0},
    // 5 accepted
    {5, 0, 'B', 0, X_NONE, 7, ACK, 2, 0, 0},
    {5, 0, CAN_CO, 200, X_NONE, 5, 0, 2, 0, 0},
    {5, 0, 'E', 0, X_CANCELLED, 5, 0, 4, 0, 0},
    {5, 0, 'E', 0, X_NONE, 5, 0, 4, CONF | CANCELLED, 200},
    {5, 0, INV_RX, 0, X_NONE, 5, 0, 4, ANS, 491},
    // 6 rejected
    {6, IND, 'B', 0, X_NONE, 7, IND | ACK, 2, BR_ACK, 0},
    {6, 0, 'B', 0, X_NONE, 6, ACK, 2, REL_ACK | BR_ACK, 0},
    {6, 0, OPT_RX, 0, X_NONE, 6, 0, 2, 0, 0},
    {6, 0, 'D', 0, X_NONE, 6, 0, 4, CONF, 200},
    {6, 0, 'E', 0, X_CANCELLED, 6, 0, 4, 0, 0},
    {6, 0, 'E', 0, X_NONE, 6, 0, 4, CONF | CANCELLED, 200},
    {6, ACK, OPT_CO, 200, X_NONE, 6, ACK, 2, REL, 0},
    {6, 0, OPT_CO, 200, X_NONE, 6, 0, 405, 0, 0},
    {6, 0, INV_RX, 0, X_NONE, 6, 0, 4, ANS, 491},
    // 7 confirmed
    {7, 0, 'A', 0, X_REMOTE_TAG, 7, 0, 44, 0, 0},
    {7, ACK, 'A', 0, X_NONE, 4, IND, 2, 0, 0},
    {7, 0, CAN_CO, 200, X_NONE, 7, 0, 2, 0, 0},
    {7, ACK | HOLDF, 'D', 0, X_NONE, 13, IND, 2, STOP, 0},
    {7, 0, 'E', 0, X_NONE, 7, 0, 405, 0, 0},
    {7, 0, 'E', 0, X_TWO_DIALOGS, 7, 0, 4, 0, 0},
    {7, ACK, INV_RX, 0, X_NONE, 8, IND, 2, RX_CSEQ, 0},
    {7, 0, ACK_RX, 0, X_NONE, 7, 0, 4, 0, 0},
    {7, 0, BYE_RX, 0, X_NONE, 14, 0, 2, 0, 0},
    {7, 0, CAN_RX, 0, X_NONE, 7, 0, 405, ANS, 500},
    // 8 invite_received
    {8, 0, 'A', 0, X_NONE, 8, 0, 4, CONF, 44},
    {8, 0, OPT_CO, 200, X_NONE, 8, 0, 2, 0, 0},
    {8, IND, 'D', 0, X_NONE, 13, IND, 2, STOP, 0},
    {8, 0, 'D', 0, X_NONE, 8, 0, 405, 0, 0},
    {8, 0, 'a', 180, X_NONE, 8, 0, 2, 0, 0},
    {8, 0, 'a', 200, X_NONE, 12, 0, 2, 0, 0},
    {8, 0, 'a', 486, X_NONE, 9, 0, 2, 0, 0},
    {8, 0, INV_RX, 0, X_NONE, 8, 0, 2, ANS | SIP_DLGA_RETRY_AFTER, 500},
    {8, IND, BYE_RX, 0, X_NONE, 10, 0, 2, 0, 0},
    {8, IND, CAN_RX, 0, X_NONE, 8, IND, 405, S500, 0},
    {8, 0, CAN_RX, 0, X_NONE, 11, 0, 2, 0, 0},
    // 9 reject_sent
    {9, 0, 'C', 0, X_NONE, 9, 0, 2, 0, 0},
    {9, IND, 'D', 0, X_NONE, 13, IND, 2, STOP, 0},
    {9, 0, 'D', 0, X_NONE, 9, 0, 405, 0, 0},
    {9, ACK, 'e', 200, X_NONE, 9, ACK, 2, REL, 0},
    {9, IND, ACK_RX, 0, X_NONE, 7, IND, 2, 0, 0},
    {9, 0, ACK_RX, 0, X_NONE, 9, ACK, 2, REL_ACK, 0},
    {9, 0, BYE_RX, 0, X_NONE, 14, 0, 2, 0, 0},
    {9, IND, CAN_RX, 0, X_NONE, 9, IND, 405, S500, 0},
    {9, 0, CAN_RX, 0, X_NONE, 9, 0, 2, 0, 0},
    // 10 bye_while_inviting
    {10, 0, OPT_RX, 0, X_NONE, 10, 0, 2, 0, 0},
    {10, 0, 'D', 0, X_NONE, 10, 0, 4, CONF, 200},
    {10, BYEA, 'a', 487, X_NONE, 9, BYEA, 2, 0, 0},
    {10, 0, 'a', 487, X_NONE, 10, FIN, 2, 0, 0},
    {10, 0, 'd', 100, X_NONE, 10, SIP_DLGF_BYE_PROV, 2, 0, 0},
    {10, FIN, 'd', 200, X_NONE, 9, FIN | BYEA, 2, 0, 0},
    {10, 0, 'd', 200, X_NONE, 10, BYEA, 2, 0, 0},
    {10, 0, 'e', 200, X_NONE, 10, 0, 4, 0, 0},
    {10, 0, ACK_RX, 0, X_NONE, 14, ACK, 2, 0, 0},
    // 11 cancel_received
    {11, 0, OPT_RX, 0, X_NONE, 11, 0, 2, 0, 0},
    {11, CDONE, 'a', 487, X_NONE, 9, CDONE, 2, 0, 0},
    {11, CDONE, 'a', 200, X_NONE, 11, CDONE, 406, 0, 0},
    {11, CDONE, 'a', 180, X_NONE, 11, CDONE, 2, 0, 0},
    {11, 0, 'a', 180, X_NONE, 11, 0, 2, 0, 0},
    {11, 0, 'a', 200, X_NONE, 12, FIN, 2, 0, 0},
    {11, 0, 'a', 487, X_NONE, 11, FIN, 2, 0, 0},
    {11, ACK, 'c', 200, X_NONE, 11, ACK, 2, REL, 0},
    {11, 0, 'e', 100, X_NONE, 11, SIP_DLGF_CANCEL_PROV, 2, 0, 0},
    {11, FIN, 'e', 200, X_NONE, 9, FIN | CDONE, 2, 0, 0},
    {11, FIN | ACK, 'e', 200, X_NONE, 11, FIN | ACK | CDONE, 2, REL, 0},
    {11, 0, 'e', 200, X_NONE, 11, CDONE, 2, 0, 0},
    {11, 0, ACK_RX, 0, X_NONE, 11, ACK, 2, 0, 0},
    {11, 0, BYE_RX, 0, X_NONE, 10, 0, 2, 0, 0},
    // 12 accept_sent
    {12, 0, 'e', 200, X_NONE, 12, 0, 2, 0, 0},
    {12, IND, 'D', 0, X_NONE, 13, IND, 2, STOP, 0},
    {12, 0, 'D', 0, X_NONE, 12, 0, 405, 0, 0},
    {12, 0, INV_RX, 0, X_NONE, 12, 0, 4, ANS, 491},
    {12, 0, ACK_RX, 0, X_NONE, 7, ACK, 2, 0, 0},
    {12, 0, BYE_RX, 0, X_NONE, 14, 0, 2, 0, 0},
    {12, IND, CAN_RX, 0, X_NONE, 12, IND, 405, S500, 0},
    {12, 0, CAN_RX, 0, X_NONE, 12, 0, 2, 0, 0},
    // 13 bye_sent
    {13, 0, 'B', 0, X_NONE, 13, 0, 405, 0, 0},
    {13, EARLY, 'B', 0, X_NONE, 13, EARLY, 2, BR_ACK | REL_ACK, 0},
    {13, 0, BYE_RX, 0, X_NONE, 13, 0, 2, 0, 0},
    {13, HOLDF, 'D', 0, X_NONE, 13, 0, 2, STOP, 0},
    {13, 0, 'D', 0, X_NONE, 13, 0, 405, STOP, 0},
    {13, IND, 'a', 200, X_NONE, 13, IND, 2, 0, 0},
    {13, 0, 'a', 200, X_NONE, 13, 0, 405, 0, 0},
    {13, 0, CAN_CO, 200, X_NONE, 13, 0, 2, REL, 0},
    {13, 0, 'd', 100, X_NONE, 13, 0, 2, 0, 0},
    {13, HOLDF, 'd', 481, X_NONE, 13, HOLDF, 2, 0, 0},
    {13, 0, 'd', 481, X_NONE, 13, 0, 2, REL, 0},
    {13, 0, INV_CO, 487, X_NONE, 13, FIN, 405, SUP, 0},
    {13, EARLY, INV_CO, 487, X_NONE, 13, EARLY | FIN, 2, SUP, 0},
    {13, 0, INV_CO, 180, X_NONE, 13, 0, 405, 0, 0},
    {13, EARLY, INV_CO, 180, X_NONE, 13, EARLY, 2, 0, 0},
    {13, 0, BYE_CO, 100, X_NONE, 13, 0, 2, 0, 0},
    {13, 0, BYE_CO, 200, X_NONE, 13, 0, 2, REL, 0},
    {13, IND, BYE_CO, 481, X_NONE, 7, IND, 2, HOLD, 0},
    {13, 0, BYE_CO, 481, X_NONE, 13, HOLDF, 2, HOLD, 0},
    {13, 0, ACK_RX, 0, X_NONE, 13, 0, 2, REL_ACK, 0},
    // 14 bye_received
    {14, 0, 'A', 0, X_NONE, 14, 0, 4, CONF, 44},
    {14, ACK, 'B', 0, X_NONE, 14, ACK, 4, REL_ACK, 0},
    {14, 0, 'B', 0, X_NONE, 14, ACK, 2, REL_ACK | BR_ACK, 0},
    {14, 0, BYE_RX, 0, X_NONE, 14, 0, 2, 0, 0},
    {14, 0, 'D', 0, X_NONE, 14, 0, 4, CONF, 200},
    {14, 0, 'E', 0, X_NONE, 14, 0, 405, 0, 0},
    {14, EARLY, 'E', 0, X_CANCELLED, 14, EARLY, 4, 0, 0},
    {14, EARLY, 'E', 0, X_NONE, 14, EARLY, 4, CONF | CANCELLED, 200},
    {14, 0, CAN_CO, 200, X_NONE, 14, 0, 2, REL, 0},
    {14, 0, 'd', 486, X_NONE, 14, 0, 2, HOLD, 0},
    {14, EARLY, 'd', 200, X_NONE, 14, EARLY, 2, SIP_DLGA_CLOSE, 0},
    {14, 0, 'e', 100, X_NONE, 14, 0, 2, 0, 0},
    {14, 0, 'e', 481, X_NONE, 14, 0, 2, 0, 0},
    {14, EARLY | IND, 'e', 200, X_NONE, 14, EARLY | IND | BYEA, 2, 0, 0},
    {14, EARLY | IND | ACK, 'd', 200, X_NONE, 14, EARLY | IND | ACK | BYEA, 2, REL, 0},
    {14, 0, 'd', 200, X_NONE, 14, 0, 2, REL, 0},
    {14, 0, INV_CO, 180, X_NONE, 14, 0, 2, 0, 0},
    {14, 0, INV_CO, 200, X_NONE, 14, FIN, 2, SUP, 0},
    {14, 0, ACK_RX, 0, X_NONE, 14, 0, 2, REL_ACK, 0},
    {14, 0, INV_RX, 0, X_NONE, 14, 0, 405, ANS, 500},
    // 15..18
    {15, 0, OPT_CO, 200, X_NONE, 15, 0, 2, REL, 0},
    {15, 0, OPT_CO, 100, X_NONE, 15, 0, 2, 0, 0},
    {15, 0, 'A', 0, X_NONE, 15, 0, 44, 0, 0},
    {16, 0, 'c', 404, X_NONE, 16, 0, 2, REL, 0},
    {16, 0, 'c', 100, X_NONE, 16, 0, 2, 0, 0},
    {17, 0, REG_CO, 401, X_NONE, 17, 0, 2, REL, 0},
    {17, 0, REG_CO, 100, X_NONE, 17, 0, 2, 0, 0},
    {18, 0, 'f', 200, X_NONE, 18, 0, 2, REL, 0},
    {18, 0, 'f', 100, X_NONE, 18, 0, 2, 0, 0},
    {18, 0, ACK_RX, 0, X_NONE, 18, 0, 405, 0, 0},
};
// clang-format on

TEST(DialogSm, EveryRowGivesItsStateFlagsResultAndActions) {
  for (const step_case& c : cases) {
    std::uint8_t state = c.state;
    std::uint16_t flags = c.flags;
    const sip_dlg_outcome o = sip_dialog_sm_step(state, flags, make_event(c));
    SCOPED_TRACE("state " + std::to_string(c.state) + " flags " + std::to_string(c.flags) + " event " +
                 std::to_string(c.code) + " status " + std::to_string(c.status));
    EXPECT_EQ(state, c.next);
    EXPECT_EQ(flags, c.flags_after);
    EXPECT_EQ(o.result, c.result);
    EXPECT_EQ(o.actions, c.actions);
    if ((c.actions & ANS) != 0) {
      EXPECT_EQ(o.answer, c.answer);
      EXPECT_NE(o.reason, nullptr);
    }
    if ((c.actions & CONF) != 0) {
      EXPECT_EQ(o.confirm, c.answer);
    }
  }
}

TEST(DialogSm, ReasonPhrasesOfTheAnswers) {
  struct rc {
    std::uint8_t state;
    std::uint8_t code;
    extra x;
    std::uint16_t status;
    const char* reason;
  };
  const rc rcs[] = {
      {4, INV_RX, X_NONE, 491, "request pending"},         {12, INV_RX, X_NONE, 491, "request pending"},
      {8, INV_RX, X_NONE, 500, "Server Internal Error"},   {1, INV_RX, X_NOT_AVAIL, 480, "Not available"},
      {1, INV_RX, X_TO_TAG, 481, "Dialog does not exist"}, {13, INV_RX, X_NONE, 500, "Internal Server Error"},
  };
  for (const rc& r : rcs) {
    std::uint8_t s = r.state;
    std::uint16_t f = 0;
    const sip_dlg_outcome o = sip_dialog_sm_step(s, f, make_event({r.state, 0, r.code, 0, r.x, 0, 0, 0, 0, 0}));
    EXPECT_EQ(o.answer, r.status);
    EXPECT_STREQ(o.reason, r.reason);
  }
}

TEST(DialogSm, StateOutsideTheTableIsAFault) {
  for (std::uint8_t bad : {0, 19, 255}) {
    std::uint8_t s = bad;
    std::uint16_t f = 0;
    sip_dlg_event e;
    e.code = 'A';
    EXPECT_EQ(sip_dialog_sm_step(s, f, e).result, SIP_DLG_BAD_STATE);
    EXPECT_EQ(s, bad);
  }
}

// A flow: each step's event and status, and the state after it.
struct flow_step {
  std::uint8_t code;
  std::uint16_t status;
  std::uint8_t call_flags;
  std::uint8_t state;
  std::uint16_t result;
};

void run_flow(const std::vector<flow_step>& steps, std::uint16_t* flags_out = nullptr,
              std::uint32_t* last_actions = nullptr) {
  std::uint8_t state = 1;
  std::uint16_t flags = 0;
  for (const flow_step& s : steps) {
    sip_dlg_event e;
    e.code = s.code;
    e.status = s.status;
    e.call_flags = s.call_flags;
    const sip_dlg_outcome o = sip_dialog_sm_step(state, flags, e);
    EXPECT_EQ(state, s.state) << "event " << int(s.code) << " status " << s.status;
    EXPECT_EQ(o.result, s.result) << "event " << int(s.code) << " status " << s.status;
    if (last_actions) *last_actions = o.actions;
  }
  if (flags_out) *flags_out = flags;
}

TEST(DialogSm, UacCallAndCancelFlows) {
  // INVITE 100 180 200 ACK: 2, 4 (100 absorbed), 4, 5, 7.
  run_flow({{'A', 0, 0, 2, 2},
            {INV_CO, 100, 0, 4, 2},
            {INV_CO, 100, 0, 4, 4},
            {INV_CO, 180, 0, 4, 2},
            {INV_CO, 200, 0, 5, 2},
            {'B', 0, 0, 7, 2}});
  // INVITE 180 CANCEL 200 487 ACK: the ACK goes with the INVITE's branch and
  // releases the dialog.
  std::uint32_t act = 0;
  run_flow({{'A', 0, 0, 2, 2},
            {INV_CO, 180, 0, 4, 2},
            {'E', 0, 0, 3, 2},
            {CAN_CO, 200, 0, 3, 2},
            {INV_CO, 487, 0, 3, 2},
            {'B', 0, 0, 3, 2}},
           nullptr, &act);
  EXPECT_EQ(act, REL_ACK | BR_ACK);
}

TEST(DialogSm, UasRejectCancelAndGlareFlows) {
  std::uint32_t act = 0;
  // INVITE 486 ACK: 8, 9, released on the ACK.
  run_flow({{INV_RX, 0, 0, 8, 2}, {'a', 486, 0, 9, 2}, {ACK_RX, 0, 0, 9, 2}}, nullptr, &act);
  EXPECT_EQ(act, REL_ACK);
  // INVITE CANCEL 200 487: a 2xx from the user after the CANCEL was
  // answered is refused with 406; the 487 goes on.
  run_flow({{INV_RX, 0, 0, 8, 2},
            {CAN_RX, 0, 0, 11, 2},
            {'e', 200, 0, 11, 2},
            {'a', 200, 0, 11, 406},
            {'a', 487, 0, 9, 2},
            {ACK_RX, 0, 0, 9, 2}});
  // A re-INVITE answered with a failure returns to confirmed on the ACK.
  std::uint16_t flags = 0;
  run_flow({{INV_RX, 0, 0, 8, 2},
            {'a', 200, 0, 12, 2},
            {ACK_RX, 0, 0, 7, 2},
            {INV_RX, 0, 0, 8, 2},
            {'a', 488, 0, 9, 2},
            {ACK_RX, 0, 0, 7, 2}},
           &flags);
  EXPECT_EQ(flags, IND);
  // Our re-INVITE pending: the far end's crossing INVITE is answered 491.
  run_flow({{'A', 0, 0, 2, 2}, {INV_CO, 200, 0, 5, 2}, {'B', 0, 0, 7, 2}, {'A', 0, 0, 4, 2}, {INV_RX, 0, 0, 4, 4}},
           nullptr, &act);
  EXPECT_EQ(act, ANS);
}

}  // namespace
