// Open transactions of a call: every request received from or sent to the
// network while it waits for its answer, so that a response, an ACK or a
// CANCEL finds the request it belongs to.
//
// Contract: the record is the request handle's own transaction header (one
// per handle, never packed); a list per direction per call, in order of
// opening; the record holds one reference of its handle until the closed
// records are freed (ssc_tx_free_closed, once per handler run) or the call
// is released (ssc_tx_release_call).  Received requests are numbered from a
// module counter with bit 15 set; requests of the user keep their number.
#pragma once
#include "sip/prim/ssc_msg.h"
#include "sip/ssc/ssc_entity.h"

inline constexpr u8 SSC_TX_RECEIVED = 0;
inline constexpr u8 SSC_TX_SENT = 1;

struct ssc_tx_state {
  ssc_hdr_tx_link* current = nullptr;
  ssc_handle* pending = nullptr;  // request of the current record
  ssc_hdr_tx_link* closed = nullptr;
  u16 counter = 0;
};
ssc_tx_state& ssc_tx();
void ssc_tx_reset();

// Opens a record for the request handle on the current call; null when no
// call is current or the handle has no room.
ssc_hdr_tx_link* ssc_tx_open(ssc_handle* h, u8 direction);
// First record of the direction with the type and number (0xFFFF: any): 2
// and current, else 3 and none current.
[[nodiscard]] u8 ssc_tx_find(ssc_msg_type type, u16 number, u8 direction);
// The current record leaves its list for the closed list.
ssc_hdr_tx_link* ssc_tx_close();
// Releases the handles of the closed records.
void ssc_tx_free_closed();
// Updates the lists for a message passing with the current call; 2, or 3
// when a response found no request.
u8 ssc_tx_track(ssc_handle* h, u8 direction);
// Closes every record of the call (at its release).
void ssc_tx_release_call(ssc_call* c);
// Records open on the call in one direction.
[[nodiscard]] unsigned ssc_tx_count(const ssc_call* c, u8 direction);
