// The dialog automaton of ENT_SIP as one table: for each state the events it
// takes, under which condition, the next state, the flag changes, the
// actions and the result.  Rows are tried in order; the first that matches
// is taken.  An event no row takes gets the default of the machine.
#include "sip/ent/sip_dialog_sm.h"

#include <array>
#include <cstddef>

namespace {

// Events: requests and responses sent, responses and requests received.
constexpr std::uint8_t INV_CO = 193, OPT_CO = 195, BYE_CO = 196, CAN_CO = 197, REG_CO = 198;
constexpr std::uint8_t INV_RX = 225, ACK_RX = 226, OPT_RX = 227, BYE_RX = 228, CAN_RX = 229, REG_RX = 230;

// Extra conditions on the message or the call.
enum guard : std::uint8_t {
  G_NONE,
  G_BAD_OWN_TAGS,      // our request has no From tag, or has a To tag
  G_TO_TAG,            // the message has a To tag
  G_NOT_AVAILABLE,     // the user lags
  G_ONE_DIALOG,        // the call has one active dialog
  G_MORE_DIALOGS,      // the call has more than one
  G_REMOTE_TAG_NO_TO,  // the dialog knows the far tag and the request has no To tag
};

constexpr std::uint16_t ANY_HI = 0xFFFF;

struct row {
  std::uint8_t state;
  std::array<std::uint8_t, 5> ev;     // events, unused ones 0
  std::uint16_t lo = 0, hi = ANY_HI;  // status range
  std::uint16_t req = 0, forbid = 0;  // dialog flags required / forbidden
  std::uint8_t call_req = 0, call_forbid = 0;
  guard g = G_NONE;
  std::uint8_t next = 0;  // 0: the state stays
  std::uint16_t set = 0, clear = 0;
  bool assign = false;  // flags := set
  std::uint32_t act = 0;
  std::uint16_t result = SIP_DLG_GO_ON;
  std::uint16_t answer = 0;
  const char* reason = nullptr;
  std::uint16_t confirm = 0;
};

// Status ranges.
constexpr std::uint16_t PROV_HI = 199, OK_LO = 200, OK_HI = 299, FAIL_LO = 300;

constexpr const char* PENDING = "request pending";
constexpr const char* NO_DIALOG = "Dialog does not exist";

constexpr std::uint32_t STORE_OWN = SIP_DLGA_STORE_OWN, STORE_RX = SIP_DLGA_STORE_RECEIVED,
                        RX_CSEQ = SIP_DLGA_RX_INVITE_CSEQ, ANSWER = SIP_DLGA_ANSWER, CLOSE_CALL = SIP_DLGA_CLOSE_CALL,
                        CONFIRM = SIP_DLGA_CONFIRM, REL_ACK = SIP_DLGA_RELEASE_BUT_ACK, REL = SIP_DLGA_RELEASE,
                        BR_ACK = SIP_DLGA_BRANCH_ACK, BR_CAN = SIP_DLGA_BRANCH_CANCEL, SUP = SIP_DLGA_SUPERVISE,
                        FORK = SIP_DLGA_FORK_TIMER, HOLD = SIP_DLGA_BYE_HOLD, STOP = SIP_DLGA_STOP_BYE_HOLD,
                        S500 = SIP_DLGA_STATUS_500, CANCELLED = SIP_DLGA_CALL_CANCELLED;

constexpr row sip_dialog_table[] = {
    // 1 idle
    {.state = 1, .ev = {'A'}, .g = G_BAD_OWN_TAGS, .act = CLOSE_CALL, .result = SIP_DLG_NO_DIALOG},
    {.state = 1, .ev = {'A'}, .next = 2, .act = STORE_OWN},
    {.state = 1, .ev = {'C'}, .g = G_BAD_OWN_TAGS, .act = CLOSE_CALL, .result = SIP_DLG_NO_DIALOG},
    {.state = 1, .ev = {'C'}, .next = 15, .act = STORE_OWN},
    {.state = 1, .ev = {'F'}, .g = G_BAD_OWN_TAGS, .act = CLOSE_CALL, .result = SIP_DLG_NO_DIALOG},
    {.state = 1, .ev = {'F'}, .next = 17, .act = STORE_OWN},
    {.state = 1,
     .ev = {INV_RX},
     .g = G_NOT_AVAILABLE,
     .act = ANSWER,
     .result = SIP_DLG_ABSORBED,
     .answer = 480,
     .reason = "Not available"},
    {.state = 1,
     .ev = {INV_RX},
     .g = G_TO_TAG,
     .act = ANSWER | CLOSE_CALL,
     .result = SIP_DLG_NO_DIALOG,
     .answer = 481,
     .reason = NO_DIALOG},
    {.state = 1, .ev = {INV_RX}, .next = 8, .act = RX_CSEQ | STORE_RX},
    {.state = 1,
     .ev = {OPT_RX, REG_RX},
     .g = G_TO_TAG,
     .act = ANSWER | CLOSE_CALL,
     .result = SIP_DLG_NO_DIALOG,
     .answer = 481,
     .reason = NO_DIALOG},
    {.state = 1, .ev = {OPT_RX}, .next = 16, .act = STORE_RX},
    {.state = 1, .ev = {REG_RX}, .next = 18, .act = STORE_RX},
    {.state = 1, .ev = {'c', OPT_CO}},
    // 2 invite_sent
    {.state = 2, .ev = {'C', 'c', OPT_CO, OPT_RX}},
    {.state = 2, .ev = {'D'}, .next = 13, .act = STOP},
    {.state = 2, .ev = {INV_CO}, .hi = PROV_HI, .call_req = SIP_CALLF_CANCELLED, .next = 3},
    {.state = 2, .ev = {INV_CO}, .hi = PROV_HI, .next = 4},
    {.state = 2, .ev = {INV_CO}, .lo = OK_LO, .hi = OK_HI, .next = 5, .act = FORK | SUP},
    {.state = 2, .ev = {INV_CO}, .lo = FAIL_LO, .next = 6, .act = SUP | SIP_DLGA_CALL_FAILED},
    // 3 cancelling
    {.state = 3, .ev = {'B'}, .req = SIP_DLGF_CANCEL_DONE, .set = SIP_DLGF_ACK, .act = REL_ACK | BR_ACK},
    {.state = 3, .ev = {'B'}, .set = SIP_DLGF_ACK, .act = BR_ACK},
    {.state = 3, .ev = {'C', OPT_RX}},
    {.state = 3, .ev = {'c', OPT_CO}, .req = SIP_DLGF_ACK | SIP_DLGF_FINAL, .act = REL},
    {.state = 3, .ev = {INV_CO}, .lo = 101, .hi = PROV_HI},
    {.state = 3, .ev = {INV_CO}, .hi = 100, .result = SIP_DLG_ABSORBED},
    {.state = 3, .ev = {INV_CO}, .lo = OK_LO, .hi = OK_HI, .next = 5, .act = FORK | SUP},
    {.state = 3, .ev = {INV_CO}, .lo = FAIL_LO, .set = SIP_DLGF_FINAL, .act = SIP_DLGA_END_EARLY | SUP},
    {.state = 3, .ev = {CAN_CO}, .hi = PROV_HI},
    {.state = 3, .ev = {CAN_CO}, .lo = OK_LO, .req = SIP_DLGF_ACK | SIP_DLGF_FINAL, .act = REL},
    {.state = 3, .ev = {CAN_CO}, .lo = OK_LO, .set = SIP_DLGF_CANCEL_DONE, .act = SIP_DLGA_INVITE_TIMEOUT},
    // 4 proceeding
    {.state = 4, .ev = {'C', 'c', OPT_CO, OPT_RX}},
    {.state = 4, .ev = {'D'}, .next = 13, .set = SIP_DLGF_BYE_EARLY, .act = STOP},
    {.state = 4, .ev = {'E'}, .req = SIP_DLGF_IN_DIALOG, .result = SIP_DLG_REFUSED},
    {.state = 4, .ev = {'E'}, .next = 3, .act = BR_CAN},
    {.state = 4, .ev = {INV_CO}, .lo = OK_LO, .hi = OK_HI, .next = 5, .act = FORK | SUP},
    {.state = 4, .ev = {INV_CO}, .lo = FAIL_LO, .next = 6, .act = SUP | SIP_DLGA_CALL_FAILED},
    {.state = 4, .ev = {INV_CO}, .lo = 101, .hi = PROV_HI},
    {.state = 4, .ev = {INV_CO}, .lo = 24, .hi = 24, .req = SIP_DLGF_IN_DIALOG, .next = 7, .clear = SIP_DLGF_IN_DIALOG},
    {.state = 4, .ev = {INV_CO}, .hi = 100, .req = SIP_DLGF_IN_DIALOG},
    {.state = 4, .ev = {INV_CO}, .hi = 100, .result = SIP_DLG_ABSORBED},
    {.state = 4, .ev = {INV_RX}, .act = ANSWER, .result = SIP_DLG_ABSORBED, .answer = 491, .reason = PENDING},
    {.state = 4, .ev = {BYE_RX}, .next = 14, .set = SIP_DLGF_BYE_EARLY},
    // 5 accepted
    {.state = 5, .ev = {'B'}, .next = 7, .set = SIP_DLGF_ACK},
    {.state = 5, .ev = {'C', 'c', OPT_CO, CAN_CO, OPT_RX}},
    {.state = 5, .ev = {'E'}, .call_req = SIP_CALLF_CANCELLED, .result = SIP_DLG_ABSORBED},
    {.state = 5, .ev = {'E'}, .act = CONFIRM | CANCELLED, .result = SIP_DLG_ABSORBED, .confirm = 200},
    {.state = 5, .ev = {INV_RX}, .act = ANSWER, .result = SIP_DLG_ABSORBED, .answer = 491, .reason = PENDING},
    // 6 rejected
    {.state = 6, .ev = {'B'}, .req = SIP_DLGF_IN_DIALOG, .next = 7, .set = SIP_DLGF_ACK, .act = BR_ACK},
    {.state = 6, .ev = {'B'}, .set = SIP_DLGF_ACK, .act = REL_ACK | BR_ACK},
    {.state = 6, .ev = {'C', OPT_RX}},
    {.state = 6, .ev = {'D'}, .act = CONFIRM, .result = SIP_DLG_ABSORBED, .confirm = 200},
    {.state = 6, .ev = {'E'}, .call_req = SIP_CALLF_CANCELLED, .result = SIP_DLG_ABSORBED},
    {.state = 6, .ev = {'E'}, .act = CONFIRM | CANCELLED, .result = SIP_DLG_ABSORBED, .confirm = 200},
    {.state = 6, .ev = {'c', OPT_CO}, .req = SIP_DLGF_ACK, .act = REL},
    {.state = 6, .ev = {INV_RX}, .act = ANSWER, .result = SIP_DLG_ABSORBED, .answer = 491, .reason = PENDING},
    // 7 confirmed
    {.state = 7, .ev = {'A'}, .g = G_REMOTE_TAG_NO_TO, .result = SIP_DLG_INVITE_REFUSED},
    {.state = 7, .ev = {'A'}, .next = 4, .set = SIP_DLGF_IN_DIALOG, .assign = true},
    {.state = 7, .ev = {'C', 'c', OPT_CO, CAN_CO, OPT_RX}},
    {.state = 7, .ev = {'D'}, .next = 13, .set = SIP_DLGF_IN_DIALOG, .assign = true, .act = STOP},
    {.state = 7, .ev = {'E'}, .g = G_ONE_DIALOG, .result = SIP_DLG_REFUSED},
    {.state = 7, .ev = {'E'}, .result = SIP_DLG_ABSORBED},
    {.state = 7, .ev = {INV_RX}, .next = 8, .set = SIP_DLGF_IN_DIALOG, .assign = true, .act = RX_CSEQ},
    {.state = 7, .ev = {ACK_RX}, .result = SIP_DLG_ABSORBED},
    {.state = 7, .ev = {BYE_RX}, .next = 14},
    // 8 invite_received
    {.state = 8, .ev = {'A'}, .act = CONFIRM, .result = SIP_DLG_ABSORBED, .confirm = 44},
    {.state = 8, .ev = {'C', 'c', OPT_CO, OPT_RX}},
    {.state = 8, .ev = {'D'}, .req = SIP_DLGF_IN_DIALOG, .next = 13, .act = STOP},
    {.state = 8, .ev = {'D'}, .result = SIP_DLG_REFUSED},
    {.state = 8, .ev = {'a'}, .hi = PROV_HI},
    {.state = 8, .ev = {'a'}, .lo = OK_LO, .hi = OK_HI, .next = 12},
    {.state = 8, .ev = {'a'}, .lo = FAIL_LO, .next = 9},
    {.state = 8,
     .ev = {INV_RX},
     .act = ANSWER | SIP_DLGA_RETRY_AFTER,
     .answer = 500,
     .reason = "Server Internal Error"},
    {.state = 8, .ev = {BYE_RX}, .next = 10, .clear = SIP_DLGF_IN_DIALOG},
    {.state = 8, .ev = {CAN_RX}, .req = SIP_DLGF_IN_DIALOG, .act = S500, .result = SIP_DLG_REFUSED},
    {.state = 8, .ev = {CAN_RX}, .next = 11},
    // 9 reject_sent
    {.state = 9, .ev = {'C', OPT_RX}},
    {.state = 9, .ev = {'D'}, .req = SIP_DLGF_IN_DIALOG, .next = 13, .act = STOP},
    {.state = 9, .ev = {'D'}, .result = SIP_DLG_REFUSED},
    {.state = 9, .ev = {'c', 'e', OPT_CO}, .req = SIP_DLGF_ACK, .act = REL},
    {.state = 9, .ev = {ACK_RX}, .req = SIP_DLGF_IN_DIALOG, .next = 7},
    {.state = 9, .ev = {ACK_RX}, .set = SIP_DLGF_ACK, .act = REL_ACK},
    {.state = 9, .ev = {BYE_RX}, .next = 14},
    {.state = 9, .ev = {CAN_RX}, .req = SIP_DLGF_IN_DIALOG, .act = S500, .result = SIP_DLG_REFUSED},
    {.state = 9, .ev = {CAN_RX}},
    // 10 bye_while_inviting
    {.state = 10, .ev = {'C', 'c', OPT_CO, OPT_RX}},
    {.state = 10, .ev = {'D'}, .act = CONFIRM, .result = SIP_DLG_ABSORBED, .confirm = 200},
    {.state = 10, .ev = {'a'}, .lo = OK_LO, .req = SIP_DLGF_BYE_ANSWERED, .next = 9},
    {.state = 10, .ev = {'a'}, .lo = OK_LO, .set = SIP_DLGF_FINAL},
    {.state = 10, .ev = {'d'}, .hi = PROV_HI, .set = SIP_DLGF_BYE_PROV},
    {.state = 10, .ev = {'d'}, .lo = OK_LO, .req = SIP_DLGF_FINAL, .next = 9, .set = SIP_DLGF_BYE_ANSWERED},
    {.state = 10, .ev = {'d'}, .lo = OK_LO, .set = SIP_DLGF_BYE_ANSWERED},
    {.state = 10, .ev = {'e'}, .result = SIP_DLG_ABSORBED},
    {.state = 10, .ev = {ACK_RX}, .next = 14, .set = SIP_DLGF_ACK},
    // 11 cancel_received
    {.state = 11, .ev = {'C', OPT_RX}},
    {.state = 11, .ev = {'a'}, .lo = FAIL_LO, .req = SIP_DLGF_CANCEL_DONE, .next = 9},
    {.state = 11, .ev = {'a'}, .lo = OK_LO, .hi = OK_HI, .req = SIP_DLGF_CANCEL_DONE, .result = SIP_DLG_CANCELLED_2XX},
    {.state = 11, .ev = {'a'}, .hi = PROV_HI},
    {.state = 11, .ev = {'a'}, .lo = OK_LO, .hi = OK_HI, .next = 12, .set = SIP_DLGF_FINAL},
    {.state = 11, .ev = {'a'}, .lo = FAIL_LO, .set = SIP_DLGF_FINAL},
    {.state = 11, .ev = {'c', OPT_CO}, .req = SIP_DLGF_ACK, .act = REL},
    {.state = 11, .ev = {'e'}, .hi = PROV_HI, .set = SIP_DLGF_CANCEL_PROV},
    {.state = 11,
     .ev = {'e'},
     .lo = OK_LO,
     .req = SIP_DLGF_FINAL,
     .forbid = SIP_DLGF_ACK,
     .next = 9,
     .set = SIP_DLGF_CANCEL_DONE},
    {.state = 11,
     .ev = {'e'},
     .lo = OK_LO,
     .req = SIP_DLGF_FINAL | SIP_DLGF_ACK,
     .set = SIP_DLGF_CANCEL_DONE,
     .act = REL},
    {.state = 11, .ev = {'e'}, .lo = OK_LO, .set = SIP_DLGF_CANCEL_DONE},
    {.state = 11, .ev = {ACK_RX}, .set = SIP_DLGF_ACK},
    {.state = 11, .ev = {BYE_RX}, .next = 10},
    // 12 accept_sent
    {.state = 12, .ev = {'C', 'c', 'e', OPT_CO, OPT_RX}},
    {.state = 12, .ev = {'D'}, .req = SIP_DLGF_IN_DIALOG, .next = 13, .act = STOP},
    {.state = 12, .ev = {'D'}, .result = SIP_DLG_REFUSED},
    {.state = 12, .ev = {INV_RX}, .act = ANSWER, .result = SIP_DLG_ABSORBED, .answer = 491, .reason = PENDING},
    {.state = 12, .ev = {ACK_RX}, .next = 7, .set = SIP_DLGF_ACK},
    {.state = 12, .ev = {BYE_RX}, .next = 14},
    {.state = 12, .ev = {CAN_RX}, .req = SIP_DLGF_IN_DIALOG, .act = S500, .result = SIP_DLG_REFUSED},
    {.state = 12, .ev = {CAN_RX}},
    // 13 bye_sent
    {.state = 13, .ev = {'B'}, .forbid = SIP_DLGF_BYE_EARLY, .result = SIP_DLG_REFUSED},
    {.state = 13, .ev = {'B'}, .act = BR_ACK | REL_ACK},
    {.state = 13, .ev = {'C', OPT_RX, BYE_RX}},
    {.state = 13, .ev = {'D'}, .req = SIP_DLGF_BYE_HOLD, .act = STOP},
    {.state = 13, .ev = {'D'}, .act = STOP, .result = SIP_DLG_REFUSED},
    {.state = 13, .ev = {'a'}, .req = SIP_DLGF_IN_DIALOG},
    {.state = 13, .ev = {'a'}, .result = SIP_DLG_REFUSED},
    {.state = 13, .ev = {'c', OPT_CO, CAN_CO}, .act = REL},
    {.state = 13, .ev = {'d'}, .hi = PROV_HI},
    {.state = 13, .ev = {'d'}, .lo = FAIL_LO, .req = SIP_DLGF_BYE_HOLD},
    {.state = 13, .ev = {'d'}, .act = REL},
    {.state = 13,
     .ev = {INV_CO},
     .lo = OK_LO,
     .forbid = SIP_DLGF_BYE_EARLY,
     .set = SIP_DLGF_FINAL,
     .act = SUP,
     .result = SIP_DLG_REFUSED},
    {.state = 13, .ev = {INV_CO}, .lo = OK_LO, .set = SIP_DLGF_FINAL, .act = SUP},
    {.state = 13, .ev = {INV_CO}, .forbid = SIP_DLGF_BYE_EARLY, .result = SIP_DLG_REFUSED},
    {.state = 13, .ev = {INV_CO}},
    {.state = 13, .ev = {BYE_CO}, .hi = PROV_HI},
    {.state = 13, .ev = {BYE_CO}, .lo = OK_LO, .hi = OK_HI, .act = REL},
    {.state = 13, .ev = {BYE_CO}, .lo = FAIL_LO, .req = SIP_DLGF_IN_DIALOG, .next = 7, .act = HOLD},
    {.state = 13, .ev = {BYE_CO}, .lo = FAIL_LO, .set = SIP_DLGF_BYE_HOLD, .act = HOLD},
    {.state = 13, .ev = {ACK_RX}, .act = REL_ACK},
    // 14 bye_received
    {.state = 14, .ev = {'A'}, .act = CONFIRM, .result = SIP_DLG_ABSORBED, .confirm = 44},
    {.state = 14, .ev = {'B'}, .req = SIP_DLGF_ACK, .act = REL_ACK, .result = SIP_DLG_ABSORBED},
    {.state = 14, .ev = {'B'}, .set = SIP_DLGF_ACK, .act = REL_ACK | BR_ACK},
    {.state = 14, .ev = {'C', OPT_RX, BYE_RX}},
    {.state = 14, .ev = {'D'}, .act = CONFIRM, .result = SIP_DLG_ABSORBED, .confirm = 200},
    {.state = 14, .ev = {'E'}, .forbid = SIP_DLGF_BYE_EARLY, .result = SIP_DLG_REFUSED},
    {.state = 14, .ev = {'E'}, .call_req = SIP_CALLF_CANCELLED, .result = SIP_DLG_ABSORBED},
    {.state = 14, .ev = {'E'}, .act = CONFIRM | CANCELLED, .result = SIP_DLG_ABSORBED, .confirm = 200},
    {.state = 14, .ev = {'c', OPT_CO, CAN_CO}, .act = REL},
    {.state = 14, .ev = {'d'}, .lo = 301, .act = HOLD},
    {.state = 14,
     .ev = {'d'},
     .lo = OK_LO,
     .hi = 300,
     .req = SIP_DLGF_BYE_EARLY,
     .forbid = SIP_DLGF_IN_DIALOG,
     .act = SIP_DLGA_CLOSE},
    {.state = 14, .ev = {'d', 'e'}, .hi = PROV_HI},
    {.state = 14, .ev = {'d', 'e'}, .lo = FAIL_LO},
    {.state = 14,
     .ev = {'d', 'e'},
     .lo = OK_LO,
     .hi = OK_HI,
     .req = SIP_DLGF_BYE_EARLY,
     .forbid = SIP_DLGF_ACK,
     .set = SIP_DLGF_BYE_ANSWERED},
    {.state = 14,
     .ev = {'d', 'e'},
     .lo = OK_LO,
     .hi = OK_HI,
     .req = SIP_DLGF_BYE_EARLY | SIP_DLGF_ACK,
     .set = SIP_DLGF_BYE_ANSWERED,
     .act = REL},
    {.state = 14, .ev = {'d', 'e'}, .lo = OK_LO, .hi = OK_HI, .act = REL},
    {.state = 14, .ev = {INV_CO}, .hi = PROV_HI},
    {.state = 14, .ev = {INV_CO}, .lo = OK_LO, .set = SIP_DLGF_FINAL, .act = SUP},
    {.state = 14, .ev = {ACK_RX}, .act = REL_ACK},
    // 15..18 one-transaction dialogs
    {.state = 15, .ev = {OPT_CO}, .lo = OK_LO, .act = REL},
    {.state = 15, .ev = {OPT_CO}},
    {.state = 16, .ev = {'c'}, .lo = OK_LO, .act = REL},
    {.state = 16, .ev = {'c'}},
    {.state = 17, .ev = {REG_CO}, .lo = OK_LO, .act = REL},
    {.state = 17, .ev = {REG_CO}},
    {.state = 18, .ev = {'f'}, .lo = OK_LO, .act = REL},
    {.state = 18, .ev = {'f'}},
};

constexpr bool table_sound() {
  for (const row& r : sip_dialog_table) {
    if (r.state < 1 || r.state > 18 || r.next > 18 || r.ev[0] == 0 || r.lo > r.hi) return false;
    if (((r.act & ANSWER) != 0) != (r.reason != nullptr)) return false;
  }
  return true;
}
static_assert(table_sound(), "dialog table row out of range");

bool has_event(const row& r, std::uint8_t code) {
  for (const std::uint8_t e : r.ev)
    if (e == code) return true;
  return false;
}

bool guard_holds(guard g, const sip_dlg_event& ev) {
  switch (g) {
    case G_NONE: return true;
    case G_BAD_OWN_TAGS: return !ev.from_tag || ev.to_tag;
    case G_TO_TAG: return ev.to_tag;
    case G_NOT_AVAILABLE: return ev.not_available;
    case G_ONE_DIALOG: return ev.active_dialogs <= 1;
    case G_MORE_DIALOGS: return ev.active_dialogs > 1;
    case G_REMOTE_TAG_NO_TO: return ev.remote_tag && !ev.to_tag;
  }
  return false;
}

bool matches(const row& r, std::uint8_t state, std::uint16_t flags, const sip_dlg_event& ev) {
  return r.state == state && has_event(r, ev.code) && ev.status >= r.lo && ev.status <= r.hi &&
         (flags & r.req) == r.req && (flags & r.forbid) == 0 && (ev.call_flags & r.call_req) == r.call_req &&
         (ev.call_flags & r.call_forbid) == 0 && guard_holds(r.g, ev);
}

}  // namespace

sip_dlg_outcome sip_dialog_sm_step(std::uint8_t& state, std::uint16_t& flags, const sip_dlg_event& ev) {
  sip_dlg_outcome out;
  if (state < 1 || state > 18) {
    out.result = SIP_DLG_BAD_STATE;
    return out;
  }
  for (const row& r : sip_dialog_table) {
    if (!matches(r, state, flags, ev)) continue;
    if (r.assign) flags = r.set;
    else flags = static_cast<std::uint16_t>((flags | r.set) & ~r.clear);
    if ((r.act & STOP) != 0) flags = static_cast<std::uint16_t>(flags & ~SIP_DLGF_BYE_HOLD);
    if (r.next != 0) state = r.next;
    out.result = r.result;
    out.actions = r.act;
    out.answer = r.answer;
    out.reason = r.reason;
    out.confirm = r.confirm;
    return out;
  }
  // No row: a received request other than ACK is answered 500; the request
  // is refused (an INVITE of ours with 44, but in the states that never
  // take one).
  if (sip_dlg_is_received_request(ev.code) && ev.code != ACK_RX) {
    out.actions = ANSWER;
    out.answer = 500;
    out.reason = "Internal Server Error";
  }
  const bool invite_405 = state == 1 || state == 7 || state == 8 || state == 14;
  out.result = ev.code == 'A' && !invite_405 ? SIP_DLG_INVITE_REFUSED : SIP_DLG_REFUSED;
  return out;
}
