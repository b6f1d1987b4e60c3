// The dialog automaton of ENT_SIP: for each state the events it takes,
// under which condition, the next state, the flag changes, the actions and
// the result.  The rows of one state and event are tried in order; the first
// that matches is taken.  The rows compile into a table that gives, for each
// state and event, the first of its rows; an event no row takes gets the
// default of the machine.
#include "sip/ent/sip_dialog_sm.h"

#include <array>
#include <cstddef>
#include <utility>

namespace {

namespace fsm = kv::fsm;
using S = sip_dlg_st;
using E = sip_dlg_ev;

// Not a state: the row keeps the dialog's state.
constexpr S STAYS = S{0};

// Extra conditions on the message or the call.
enum guard : u8 {
  G_NONE,
  G_BAD_OWN_TAGS,      // our request has no From tag, or has a To tag
  G_TO_TAG,            // the message has a To tag
  G_NOT_AVAILABLE,     // the user lags
  G_ONE_DIALOG,        // the call has one active dialog
  G_MORE_DIALOGS,      // the call has more than one
  G_REMOTE_TAG_NO_TO,  // the dialog knows the far tag and the request has no To tag
};

constexpr u16 ANY_HI = 0xFFFF;

struct row {
  S state;
  std::array<E, 5> ev;      // events, unused ones E{0}
  u16 lo = 0, hi = ANY_HI;  // status range
  u16 req = 0, forbid = 0;  // dialog flags required / forbidden
  u8 call_req = 0, call_forbid = 0;
  guard g = G_NONE;
  S next = STAYS;
  u16 set = 0, clear = 0;
  bool assign = false;  // flags := set
  u32 act = 0;
  u16 result = SIP_DLG_GO_ON;
  u16 answer = 0;
  const char* reason = nullptr;
  u16 confirm = 0;
};

// Status ranges.
constexpr u16 PROV_HI = 199, OK_LO = 200, OK_HI = 299, FAIL_LO = 300;

constexpr const char* PENDING = "request pending";
constexpr const char* NO_DIALOG = "Dialog does not exist";

constexpr u32 STORE_OWN = SIP_DLGA_STORE_OWN, STORE_RX = SIP_DLGA_STORE_RECEIVED, RX_CSEQ = SIP_DLGA_RX_INVITE_CSEQ,
              ANSWER = SIP_DLGA_ANSWER, CLOSE_CALL = SIP_DLGA_CLOSE_CALL, CONFIRM = SIP_DLGA_CONFIRM,
              REL_ACK = SIP_DLGA_RELEASE_BUT_ACK, REL = SIP_DLGA_RELEASE, BR_ACK = SIP_DLGA_BRANCH_ACK,
              BR_CAN = SIP_DLGA_BRANCH_CANCEL, SUP = SIP_DLGA_SUPERVISE, FORK = SIP_DLGA_FORK_TIMER,
              HOLD = SIP_DLGA_BYE_HOLD, STOP = SIP_DLGA_STOP_BYE_HOLD, S500 = SIP_DLGA_STATUS_500,
              CANCELLED = SIP_DLGA_CALL_CANCELLED;

constexpr row sip_dialog_table[] = {
    // 1 idle
    {.state = S::idle, .ev = {E::invite_rq}, .g = G_BAD_OWN_TAGS, .act = CLOSE_CALL, .result = SIP_DLG_NO_DIALOG},
    {.state = S::idle, .ev = {E::invite_rq}, .next = S::invite_sent, .act = STORE_OWN},
    {.state = S::idle, .ev = {E::options_rq}, .g = G_BAD_OWN_TAGS, .act = CLOSE_CALL, .result = SIP_DLG_NO_DIALOG},
    {.state = S::idle, .ev = {E::options_rq}, .next = S::options_sent, .act = STORE_OWN},
    {.state = S::idle, .ev = {E::register_rq}, .g = G_BAD_OWN_TAGS, .act = CLOSE_CALL, .result = SIP_DLG_NO_DIALOG},
    {.state = S::idle, .ev = {E::register_rq}, .next = S::register_sent, .act = STORE_OWN},
    {.state = S::idle,
     .ev = {E::invite_in},
     .g = G_NOT_AVAILABLE,
     .act = ANSWER,
     .result = SIP_DLG_ABSORBED,
     .answer = 480,
     .reason = "Not available"},
    {.state = S::idle,
     .ev = {E::invite_in},
     .g = G_TO_TAG,
     .act = ANSWER | CLOSE_CALL,
     .result = SIP_DLG_NO_DIALOG,
     .answer = 481,
     .reason = NO_DIALOG},
    {.state = S::idle, .ev = {E::invite_in}, .next = S::invite_received, .act = RX_CSEQ | STORE_RX},
    {.state = S::idle,
     .ev = {E::options_in, E::register_in},
     .g = G_TO_TAG,
     .act = ANSWER | CLOSE_CALL,
     .result = SIP_DLG_NO_DIALOG,
     .answer = 481,
     .reason = NO_DIALOG},
    {.state = S::idle, .ev = {E::options_in}, .next = S::options_received, .act = STORE_RX},
    {.state = S::idle, .ev = {E::register_in}, .next = S::register_received, .act = STORE_RX},
    {.state = S::idle, .ev = {E::options_rs, E::options_co}},
    // 2 invite_sent
    {.state = S::invite_sent, .ev = {E::options_rq, E::options_rs, E::options_co, E::options_in}},
    {.state = S::invite_sent, .ev = {E::bye_rq}, .next = S::bye_sent, .act = STOP},
    {.state = S::invite_sent,
     .ev = {E::invite_co},
     .hi = PROV_HI,
     .call_req = SIP_CALLF_CANCELLED,
     .next = S::cancelling},
    {.state = S::invite_sent, .ev = {E::invite_co}, .hi = PROV_HI, .next = S::proceeding},
    {.state = S::invite_sent, .ev = {E::invite_co}, .lo = OK_LO, .hi = OK_HI, .next = S::accepted, .act = FORK | SUP},
    {.state = S::invite_sent,
     .ev = {E::invite_co},
     .lo = FAIL_LO,
     .next = S::rejected,
     .act = SUP | SIP_DLGA_CALL_FAILED},
    // 3 cancelling
    {.state = S::cancelling,
     .ev = {E::ack_rq},
     .req = SIP_DLGF_CANCEL_DONE,
     .set = SIP_DLGF_ACK,
     .act = REL_ACK | BR_ACK},
    {.state = S::cancelling, .ev = {E::ack_rq}, .set = SIP_DLGF_ACK, .act = BR_ACK},
    {.state = S::cancelling, .ev = {E::options_rq, E::options_in}},
    {.state = S::cancelling, .ev = {E::options_rs, E::options_co}, .req = SIP_DLGF_ACK | SIP_DLGF_FINAL, .act = REL},
    {.state = S::cancelling, .ev = {E::invite_co}, .lo = 101, .hi = PROV_HI},
    {.state = S::cancelling, .ev = {E::invite_co}, .hi = 100, .result = SIP_DLG_ABSORBED},
    {.state = S::cancelling, .ev = {E::invite_co}, .lo = OK_LO, .hi = OK_HI, .next = S::accepted, .act = FORK | SUP},
    {.state = S::cancelling,
     .ev = {E::invite_co},
     .lo = FAIL_LO,
     .set = SIP_DLGF_FINAL,
     .act = SIP_DLGA_END_EARLY | SUP},
    {.state = S::cancelling, .ev = {E::cancel_co}, .hi = PROV_HI},
    {.state = S::cancelling, .ev = {E::cancel_co}, .lo = OK_LO, .req = SIP_DLGF_ACK | SIP_DLGF_FINAL, .act = REL},
    {.state = S::cancelling,
     .ev = {E::cancel_co},
     .lo = OK_LO,
     .set = SIP_DLGF_CANCEL_DONE,
     .act = SIP_DLGA_INVITE_TIMEOUT},
    // 4 proceeding
    {.state = S::proceeding, .ev = {E::options_rq, E::options_rs, E::options_co, E::options_in}},
    {.state = S::proceeding, .ev = {E::bye_rq}, .next = S::bye_sent, .set = SIP_DLGF_BYE_EARLY, .act = STOP},
    {.state = S::proceeding, .ev = {E::cancel_rq}, .req = SIP_DLGF_IN_DIALOG, .result = SIP_DLG_REFUSED},
    {.state = S::proceeding, .ev = {E::cancel_rq}, .next = S::cancelling, .act = BR_CAN},
    {.state = S::proceeding, .ev = {E::invite_co}, .lo = OK_LO, .hi = OK_HI, .next = S::accepted, .act = FORK | SUP},
    {.state = S::proceeding,
     .ev = {E::invite_co},
     .lo = FAIL_LO,
     .next = S::rejected,
     .act = SUP | SIP_DLGA_CALL_FAILED},
    {.state = S::proceeding, .ev = {E::invite_co}, .lo = 101, .hi = PROV_HI},
    {.state = S::proceeding,
     .ev = {E::invite_co},
     .lo = 24,
     .hi = 24,
     .req = SIP_DLGF_IN_DIALOG,
     .next = S::confirmed,
     .clear = SIP_DLGF_IN_DIALOG},
    {.state = S::proceeding, .ev = {E::invite_co}, .hi = 100, .req = SIP_DLGF_IN_DIALOG},
    {.state = S::proceeding, .ev = {E::invite_co}, .hi = 100, .result = SIP_DLG_ABSORBED},
    {.state = S::proceeding,
     .ev = {E::invite_in},
     .act = ANSWER,
     .result = SIP_DLG_ABSORBED,
     .answer = 491,
     .reason = PENDING},
    {.state = S::proceeding, .ev = {E::bye_in}, .next = S::bye_received, .set = SIP_DLGF_BYE_EARLY},
    // 5 accepted
    {.state = S::accepted, .ev = {E::ack_rq}, .next = S::confirmed, .set = SIP_DLGF_ACK},
    {.state = S::accepted, .ev = {E::options_rq, E::options_rs, E::options_co, E::cancel_co, E::options_in}},
    {.state = S::accepted, .ev = {E::cancel_rq}, .call_req = SIP_CALLF_CANCELLED, .result = SIP_DLG_ABSORBED},
    {.state = S::accepted,
     .ev = {E::cancel_rq},
     .act = CONFIRM | CANCELLED,
     .result = SIP_DLG_ABSORBED,
     .confirm = 200},
    {.state = S::accepted,
     .ev = {E::invite_in},
     .act = ANSWER,
     .result = SIP_DLG_ABSORBED,
     .answer = 491,
     .reason = PENDING},
    // 6 rejected
    {.state = S::rejected,
     .ev = {E::ack_rq},
     .req = SIP_DLGF_IN_DIALOG,
     .next = S::confirmed,
     .set = SIP_DLGF_ACK,
     .act = BR_ACK},
    {.state = S::rejected, .ev = {E::ack_rq}, .set = SIP_DLGF_ACK, .act = REL_ACK | BR_ACK},
    {.state = S::rejected, .ev = {E::options_rq, E::options_in}},
    {.state = S::rejected, .ev = {E::bye_rq}, .act = CONFIRM, .result = SIP_DLG_ABSORBED, .confirm = 200},
    {.state = S::rejected, .ev = {E::cancel_rq}, .call_req = SIP_CALLF_CANCELLED, .result = SIP_DLG_ABSORBED},
    {.state = S::rejected,
     .ev = {E::cancel_rq},
     .act = CONFIRM | CANCELLED,
     .result = SIP_DLG_ABSORBED,
     .confirm = 200},
    {.state = S::rejected, .ev = {E::options_rs, E::options_co}, .req = SIP_DLGF_ACK, .act = REL},
    {.state = S::rejected,
     .ev = {E::invite_in},
     .act = ANSWER,
     .result = SIP_DLG_ABSORBED,
     .answer = 491,
     .reason = PENDING},
    // 7 confirmed
    {.state = S::confirmed, .ev = {E::invite_rq}, .g = G_REMOTE_TAG_NO_TO, .result = SIP_DLG_INVITE_REFUSED},
    {.state = S::confirmed, .ev = {E::invite_rq}, .next = S::proceeding, .set = SIP_DLGF_IN_DIALOG, .assign = true},
    {.state = S::confirmed, .ev = {E::options_rq, E::options_rs, E::options_co, E::cancel_co, E::options_in}},
    {.state = S::confirmed,
     .ev = {E::bye_rq},
     .next = S::bye_sent,
     .set = SIP_DLGF_IN_DIALOG,
     .assign = true,
     .act = STOP},
    {.state = S::confirmed, .ev = {E::cancel_rq}, .g = G_ONE_DIALOG, .result = SIP_DLG_REFUSED},
    {.state = S::confirmed, .ev = {E::cancel_rq}, .result = SIP_DLG_ABSORBED},
    {.state = S::confirmed,
     .ev = {E::invite_in},
     .next = S::invite_received,
     .set = SIP_DLGF_IN_DIALOG,
     .assign = true,
     .act = RX_CSEQ},
    {.state = S::confirmed, .ev = {E::ack_in}, .result = SIP_DLG_ABSORBED},
    {.state = S::confirmed, .ev = {E::bye_in}, .next = S::bye_received},
    // 8 invite_received
    {.state = S::invite_received, .ev = {E::invite_rq}, .act = CONFIRM, .result = SIP_DLG_ABSORBED, .confirm = 44},
    {.state = S::invite_received, .ev = {E::options_rq, E::options_rs, E::options_co, E::options_in}},
    {.state = S::invite_received, .ev = {E::bye_rq}, .req = SIP_DLGF_IN_DIALOG, .next = S::bye_sent, .act = STOP},
    {.state = S::invite_received, .ev = {E::bye_rq}, .result = SIP_DLG_REFUSED},
    {.state = S::invite_received, .ev = {E::invite_rs}, .hi = PROV_HI},
    {.state = S::invite_received, .ev = {E::invite_rs}, .lo = OK_LO, .hi = OK_HI, .next = S::accept_sent},
    {.state = S::invite_received, .ev = {E::invite_rs}, .lo = FAIL_LO, .next = S::reject_sent},
    {.state = S::invite_received,
     .ev = {E::invite_in},
     .act = ANSWER | SIP_DLGA_RETRY_AFTER,
     .answer = 500,
     .reason = "Server Internal Error"},
    {.state = S::invite_received, .ev = {E::bye_in}, .next = S::bye_while_inviting, .clear = SIP_DLGF_IN_DIALOG},
    {.state = S::invite_received,
     .ev = {E::cancel_in},
     .req = SIP_DLGF_IN_DIALOG,
     .act = S500,
     .result = SIP_DLG_REFUSED},
    {.state = S::invite_received, .ev = {E::cancel_in}, .next = S::cancel_received},
    // 9 reject_sent
    {.state = S::reject_sent, .ev = {E::options_rq, E::options_in}},
    {.state = S::reject_sent, .ev = {E::bye_rq}, .req = SIP_DLGF_IN_DIALOG, .next = S::bye_sent, .act = STOP},
    {.state = S::reject_sent, .ev = {E::bye_rq}, .result = SIP_DLG_REFUSED},
    {.state = S::reject_sent, .ev = {E::options_rs, E::cancel_rs, E::options_co}, .req = SIP_DLGF_ACK, .act = REL},
    {.state = S::reject_sent, .ev = {E::ack_in}, .req = SIP_DLGF_IN_DIALOG, .next = S::confirmed},
    {.state = S::reject_sent, .ev = {E::ack_in}, .set = SIP_DLGF_ACK, .act = REL_ACK},
    {.state = S::reject_sent, .ev = {E::bye_in}, .next = S::bye_received},
    {.state = S::reject_sent, .ev = {E::cancel_in}, .req = SIP_DLGF_IN_DIALOG, .act = S500, .result = SIP_DLG_REFUSED},
    {.state = S::reject_sent, .ev = {E::cancel_in}},
    // 10 bye_while_inviting
    {.state = S::bye_while_inviting, .ev = {E::options_rq, E::options_rs, E::options_co, E::options_in}},
    {.state = S::bye_while_inviting, .ev = {E::bye_rq}, .act = CONFIRM, .result = SIP_DLG_ABSORBED, .confirm = 200},
    {.state = S::bye_while_inviting,
     .ev = {E::invite_rs},
     .lo = OK_LO,
     .req = SIP_DLGF_BYE_ANSWERED,
     .next = S::reject_sent},
    {.state = S::bye_while_inviting, .ev = {E::invite_rs}, .lo = OK_LO, .set = SIP_DLGF_FINAL},
    {.state = S::bye_while_inviting, .ev = {E::bye_rs}, .hi = PROV_HI, .set = SIP_DLGF_BYE_PROV},
    {.state = S::bye_while_inviting,
     .ev = {E::bye_rs},
     .lo = OK_LO,
     .req = SIP_DLGF_FINAL,
     .next = S::reject_sent,
     .set = SIP_DLGF_BYE_ANSWERED},
    {.state = S::bye_while_inviting, .ev = {E::bye_rs}, .lo = OK_LO, .set = SIP_DLGF_BYE_ANSWERED},
    {.state = S::bye_while_inviting, .ev = {E::cancel_rs}, .result = SIP_DLG_ABSORBED},
    {.state = S::bye_while_inviting, .ev = {E::ack_in}, .next = S::bye_received, .set = SIP_DLGF_ACK},
    // 11 cancel_received
    {.state = S::cancel_received, .ev = {E::options_rq, E::options_in}},
    {.state = S::cancel_received,
     .ev = {E::invite_rs},
     .lo = FAIL_LO,
     .req = SIP_DLGF_CANCEL_DONE,
     .next = S::reject_sent},
    {.state = S::cancel_received,
     .ev = {E::invite_rs},
     .lo = OK_LO,
     .hi = OK_HI,
     .req = SIP_DLGF_CANCEL_DONE,
     .result = SIP_DLG_CANCELLED_2XX},
    {.state = S::cancel_received, .ev = {E::invite_rs}, .hi = PROV_HI},
    {.state = S::cancel_received,
     .ev = {E::invite_rs},
     .lo = OK_LO,
     .hi = OK_HI,
     .next = S::accept_sent,
     .set = SIP_DLGF_FINAL},
    {.state = S::cancel_received, .ev = {E::invite_rs}, .lo = FAIL_LO, .set = SIP_DLGF_FINAL},
    {.state = S::cancel_received, .ev = {E::options_rs, E::options_co}, .req = SIP_DLGF_ACK, .act = REL},
    {.state = S::cancel_received, .ev = {E::cancel_rs}, .hi = PROV_HI, .set = SIP_DLGF_CANCEL_PROV},
    {.state = S::cancel_received,
     .ev = {E::cancel_rs},
     .lo = OK_LO,
     .req = SIP_DLGF_FINAL,
     .forbid = SIP_DLGF_ACK,
     .next = S::reject_sent,
     .set = SIP_DLGF_CANCEL_DONE},
    {.state = S::cancel_received,
     .ev = {E::cancel_rs},
     .lo = OK_LO,
     .req = SIP_DLGF_FINAL | SIP_DLGF_ACK,
     .set = SIP_DLGF_CANCEL_DONE,
     .act = REL},
    {.state = S::cancel_received, .ev = {E::cancel_rs}, .lo = OK_LO, .set = SIP_DLGF_CANCEL_DONE},
    {.state = S::cancel_received, .ev = {E::ack_in}, .set = SIP_DLGF_ACK},
    {.state = S::cancel_received, .ev = {E::bye_in}, .next = S::bye_while_inviting},
    // 12 accept_sent
    {.state = S::accept_sent, .ev = {E::options_rq, E::options_rs, E::cancel_rs, E::options_co, E::options_in}},
    {.state = S::accept_sent, .ev = {E::bye_rq}, .req = SIP_DLGF_IN_DIALOG, .next = S::bye_sent, .act = STOP},
    {.state = S::accept_sent, .ev = {E::bye_rq}, .result = SIP_DLG_REFUSED},
    {.state = S::accept_sent,
     .ev = {E::invite_in},
     .act = ANSWER,
     .result = SIP_DLG_ABSORBED,
     .answer = 491,
     .reason = PENDING},
    {.state = S::accept_sent, .ev = {E::ack_in}, .next = S::confirmed, .set = SIP_DLGF_ACK},
    {.state = S::accept_sent, .ev = {E::bye_in}, .next = S::bye_received},
    {.state = S::accept_sent, .ev = {E::cancel_in}, .req = SIP_DLGF_IN_DIALOG, .act = S500, .result = SIP_DLG_REFUSED},
    {.state = S::accept_sent, .ev = {E::cancel_in}},
    // 13 bye_sent
    {.state = S::bye_sent, .ev = {E::ack_rq}, .forbid = SIP_DLGF_BYE_EARLY, .result = SIP_DLG_REFUSED},
    {.state = S::bye_sent, .ev = {E::ack_rq}, .act = BR_ACK | REL_ACK},
    {.state = S::bye_sent, .ev = {E::options_rq, E::options_in, E::bye_in}},
    {.state = S::bye_sent, .ev = {E::bye_rq}, .req = SIP_DLGF_BYE_HOLD, .act = STOP},
    {.state = S::bye_sent, .ev = {E::bye_rq}, .act = STOP, .result = SIP_DLG_REFUSED},
    {.state = S::bye_sent, .ev = {E::invite_rs}, .req = SIP_DLGF_IN_DIALOG},
    {.state = S::bye_sent, .ev = {E::invite_rs}, .result = SIP_DLG_REFUSED},
    {.state = S::bye_sent, .ev = {E::options_rs, E::options_co, E::cancel_co}, .act = REL},
    {.state = S::bye_sent, .ev = {E::bye_rs}, .hi = PROV_HI},
    {.state = S::bye_sent, .ev = {E::bye_rs}, .lo = FAIL_LO, .req = SIP_DLGF_BYE_HOLD},
    {.state = S::bye_sent, .ev = {E::bye_rs}, .act = REL},
    {.state = S::bye_sent,
     .ev = {E::invite_co},
     .lo = OK_LO,
     .forbid = SIP_DLGF_BYE_EARLY,
     .set = SIP_DLGF_FINAL,
     .act = SUP,
     .result = SIP_DLG_REFUSED},
    {.state = S::bye_sent, .ev = {E::invite_co}, .lo = OK_LO, .set = SIP_DLGF_FINAL, .act = SUP},
    {.state = S::bye_sent, .ev = {E::invite_co}, .forbid = SIP_DLGF_BYE_EARLY, .result = SIP_DLG_REFUSED},
    {.state = S::bye_sent, .ev = {E::invite_co}},
    {.state = S::bye_sent, .ev = {E::bye_co}, .hi = PROV_HI},
    {.state = S::bye_sent, .ev = {E::bye_co}, .lo = OK_LO, .hi = OK_HI, .act = REL},
    {.state = S::bye_sent,
     .ev = {E::bye_co},
     .lo = FAIL_LO,
     .req = SIP_DLGF_IN_DIALOG,
     .next = S::confirmed,
     .act = HOLD},
    {.state = S::bye_sent, .ev = {E::bye_co}, .lo = FAIL_LO, .set = SIP_DLGF_BYE_HOLD, .act = HOLD},
    {.state = S::bye_sent, .ev = {E::ack_in}, .act = REL_ACK},
    // 14 bye_received
    {.state = S::bye_received, .ev = {E::invite_rq}, .act = CONFIRM, .result = SIP_DLG_ABSORBED, .confirm = 44},
    {.state = S::bye_received, .ev = {E::ack_rq}, .req = SIP_DLGF_ACK, .act = REL_ACK, .result = SIP_DLG_ABSORBED},
    {.state = S::bye_received, .ev = {E::ack_rq}, .set = SIP_DLGF_ACK, .act = REL_ACK | BR_ACK},
    {.state = S::bye_received, .ev = {E::options_rq, E::options_in, E::bye_in}},
    {.state = S::bye_received, .ev = {E::bye_rq}, .act = CONFIRM, .result = SIP_DLG_ABSORBED, .confirm = 200},
    {.state = S::bye_received, .ev = {E::cancel_rq}, .forbid = SIP_DLGF_BYE_EARLY, .result = SIP_DLG_REFUSED},
    {.state = S::bye_received, .ev = {E::cancel_rq}, .call_req = SIP_CALLF_CANCELLED, .result = SIP_DLG_ABSORBED},
    {.state = S::bye_received,
     .ev = {E::cancel_rq},
     .act = CONFIRM | CANCELLED,
     .result = SIP_DLG_ABSORBED,
     .confirm = 200},
    {.state = S::bye_received, .ev = {E::options_rs, E::options_co, E::cancel_co}, .act = REL},
    {.state = S::bye_received, .ev = {E::bye_rs}, .lo = 301, .act = HOLD},
    {.state = S::bye_received,
     .ev = {E::bye_rs},
     .lo = OK_LO,
     .hi = 300,
     .req = SIP_DLGF_BYE_EARLY,
     .forbid = SIP_DLGF_IN_DIALOG,
     .act = SIP_DLGA_CLOSE},
    {.state = S::bye_received, .ev = {E::bye_rs, E::cancel_rs}, .hi = PROV_HI},
    {.state = S::bye_received, .ev = {E::bye_rs, E::cancel_rs}, .lo = FAIL_LO},
    {.state = S::bye_received,
     .ev = {E::bye_rs, E::cancel_rs},
     .lo = OK_LO,
     .hi = OK_HI,
     .req = SIP_DLGF_BYE_EARLY,
     .forbid = SIP_DLGF_ACK,
     .set = SIP_DLGF_BYE_ANSWERED},
    {.state = S::bye_received,
     .ev = {E::bye_rs, E::cancel_rs},
     .lo = OK_LO,
     .hi = OK_HI,
     .req = SIP_DLGF_BYE_EARLY | SIP_DLGF_ACK,
     .set = SIP_DLGF_BYE_ANSWERED,
     .act = REL},
    {.state = S::bye_received, .ev = {E::bye_rs, E::cancel_rs}, .lo = OK_LO, .hi = OK_HI, .act = REL},
    {.state = S::bye_received, .ev = {E::invite_co}, .hi = PROV_HI},
    {.state = S::bye_received, .ev = {E::invite_co}, .lo = OK_LO, .set = SIP_DLGF_FINAL, .act = SUP},
    {.state = S::bye_received, .ev = {E::ack_in}, .act = REL_ACK},
    // 15..18 one-transaction dialogs
    {.state = S::options_sent, .ev = {E::options_co}, .lo = OK_LO, .act = REL},
    {.state = S::options_sent, .ev = {E::options_co}},
    {.state = S::options_received, .ev = {E::options_rs}, .lo = OK_LO, .act = REL},
    {.state = S::options_received, .ev = {E::options_rs}},
    {.state = S::register_sent, .ev = {E::register_co}, .lo = OK_LO, .act = REL},
    {.state = S::register_sent, .ev = {E::register_co}},
    {.state = S::register_received, .ev = {E::register_rs}, .lo = OK_LO, .act = REL},
    {.state = S::register_received, .ev = {E::register_rs}},
};

constexpr bool table_sound() {
  for (const row& r : sip_dialog_table) {
    if (r.ev[0] == E{0} || r.lo > r.hi) return false;
    if (((r.act & ANSWER) != 0) != (r.reason != nullptr)) return false;
  }
  return true;
}
static_assert(table_sound(), "dialog table row without an event or with a bad status range");

constexpr bool has_event(const row& r, E code) {
  for (const E e : r.ev)
    if (e == code) return true;
  return false;
}

// The cell of a state and event: the first of its rows.
struct first_row {
  u8 index;
};
constexpr u8 NO_ROW = 0xFF;
static_assert(std::size(sip_dialog_table) < NO_ROW);

constexpr bool first_of_cell(std::size_t i, E e) {
  for (std::size_t j = 0; j < i; ++j)
    if (sip_dialog_table[j].state == sip_dialog_table[i].state && has_event(sip_dialog_table[j], e)) return false;
  return true;
}

// The next state of a cell: the one its rows share, keep when none moves, by
// action when its rows differ.
constexpr fsm::target<S> cell_next(S state, E e) {
  bool any = false;
  S next = STAYS;
  for (const row& r : sip_dialog_table) {
    if (r.state != state || !has_event(r, e)) continue;
    if (any && r.next != next) return fsm::by_action;
    any = true;
    next = r.next;
  }
  if (next == STAYS) return fsm::keep;
  return next;
}

using dialog_row = fsm::row<S, E, first_row>;

constexpr std::size_t count_cells() {
  std::size_t n = 0;
  for (std::size_t i = 0; i < std::size(sip_dialog_table); ++i)
    for (const E e : sip_dialog_table[i].ev)
      if (e != E{0} && first_of_cell(i, e)) ++n;
  return n;
}
constexpr std::size_t kCells = count_cells();

// One automaton row per state and event named in the dialog table.
struct cell_rows {
  dialog_row r[kCells];
};
// Built in one pass over the table, so that the compile-time evaluation stays
// linear in its size.
consteval cell_rows make_cells() {
  cell_rows out{};
  std::size_t k = 0;
  for (std::size_t i = 0; i < std::size(sip_dialog_table); ++i)
    for (const E e : sip_dialog_table[i].ev)
      if (e != E{0} && first_of_cell(i, e)) {
        const S st = sip_dialog_table[i].state;
        out.r[k++] = {st, e, first_row{static_cast<u8>(i)}, cell_next(st, e)};
      }
  if (k != kCells) throw "dialog cells miscounted";
  return out;
}
constexpr cell_rows kRows = make_cells();
constexpr auto kTable = fsm::compile(kRows.r, fsm::cell<first_row>{{NO_ROW}, fsm::kKeep});
constexpr auto kPlain = fsm::plain(kRows.r);

// The states rows lead to.
constexpr auto kTargets = [] {
  std::array<u8, fsm::count_of<S>> out{};
  std::size_t n = 0;
  for (u8 s = 1; s < fsm::count_of<S>; ++s)
    for (const row& r : sip_dialog_table)
      if (r.next == S{s}) {
        out[n++] = s;
        break;
      }
  return std::pair{out, n};
}();

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

bool matches(const row& r, u16 flags, const sip_dlg_event& ev) {
  return ev.status >= r.lo && ev.status <= r.hi && (flags & r.req) == r.req && (flags & r.forbid) == 0 &&
         (ev.call_flags & r.call_req) == r.call_req && (ev.call_flags & r.call_forbid) == 0 && guard_holds(r.g, ev);
}

// The first row of the state and event whose conditions hold, or null.
const row* find_row(u8 state, const sip_dlg_event& ev, u16 flags) {
  const auto* cell = kTable.find(state, ev.code);
  if (cell == nullptr || cell->action.index == NO_ROW) return nullptr;
  const E e = static_cast<E>(ev.code);
  for (std::size_t i = cell->action.index; i < std::size(sip_dialog_table); ++i) {
    const row& r = sip_dialog_table[i];
    if (static_cast<u8>(r.state) == state && has_event(r, e) && matches(r, flags, ev)) return &r;
  }
  return nullptr;
}

}  // namespace

kv::fsm::machine_view sip_dialog_machine() {
  return {"sip dialog",
          fsm::count_of<S>,
          fsm::count_of<E>,
          static_cast<u8>(S::idle),
          kPlain,
          std::span<const u8>(kTargets.first.data(), kTargets.second),
          {}};
}

sip_dlg_outcome sip_dialog_sm_step(u8& state, u16& flags, const sip_dlg_event& ev) {
  sip_dlg_outcome out;
  if (state < static_cast<u8>(S::idle) || state >= fsm::count_of<S>) {
    out.result = SIP_DLG_BAD_STATE;
    return out;
  }
  if (const row* found = find_row(state, ev, flags)) {
    const row& r = *found;
    if (r.assign) flags = r.set;
    else flags = static_cast<u16>((flags | r.set) & ~r.clear);
    if ((r.act & STOP) != 0) flags = static_cast<u16>(flags & ~SIP_DLGF_BYE_HOLD);
    if (r.next != STAYS) state = static_cast<u8>(r.next);
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
  if (sip_dlg_is_received_request(ev.code) && ev.code != static_cast<u8>(E::ack_in)) {
    out.actions = ANSWER;
    out.answer = 500;
    out.reason = "Internal Server Error";
  }
  const S st = static_cast<S>(state);
  const bool invite_405 = st == S::idle || st == S::confirmed || st == S::invite_received || st == S::bye_received;
  out.result = ev.code == static_cast<u8>(E::invite_rq) && !invite_405 ? SIP_DLG_INVITE_REFUSED : SIP_DLG_REFUSED;
  return out;
}
