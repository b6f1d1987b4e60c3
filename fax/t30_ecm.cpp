// T.30 error-correction mode: partial pages of up to 256 frames with the
// PPS/PPR/CTC/EOR/RR/RNR exchange, machine 4 (transmitting side) and machine
// 5 (receiving side).
#include "fax/t30_channel.h"

struct t30_ecm_state {};
void t30_ecm_deleter::operator()(t30_ecm_state* p) const { delete p; }

void t30_ecm_call_start(t30_channel&) {}
bool t30_ecm_active(const t30_channel&) { return false; }
void t30_ecm_tx_start_page(t30_channel&) {}
void t30_ecm_tx_turn(t30_channel&) {}
void t30_ecm_rx_start_page(t30_channel&) {}
void t30_ecm_rx_data(t30_channel&, msg_t*) {}
void t30_ecm_user_clear_busy(t30_channel&) {}
void t30_ecm_send_pps(t30_channel&) {}

namespace {
constexpr t30_cell m4_table[1][4] = {{U, U, U, U}};
constexpr t30_cell m5_table[1][4] = {{U, U, U, U}};
}  // namespace

const t30_machine t30_machine_4{"ecm transmit", 4, 1, {}, {}, &m4_table[0][0]};
const t30_machine t30_machine_5{"ecm receive", 4, 1, {}, {}, &m5_table[0][0]};
