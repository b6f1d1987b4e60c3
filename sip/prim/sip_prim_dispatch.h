// Downward primitive dispatch of the SIP transaction entity: a SIP primitive
// from session control ('A' INVITE .. 'F' REGISTER requests, 'a' .. 'f'
// responses) is checked against its call, its body's elements are decoded
// into the header work area through the kind's header table, and it is
// handed to the send path.  The tick answer ')' from session control updates
// the sequence window.  Everything runs in the entity's thread.
//
// What the dispatch needs of the SIP transaction entity comes through
// `sip_dispatch_env` (faked in tests).  Failures go up once as SIP_ERROR_IN
// through its send_error_in hook:
//   14 endpoint not ready, 21 an element offset outside the body (or a body
//   shorter than its index area), 26 a mandatory header missing (with its
//   header id), 27 no call for a primitive that needs one, 31 a chained body
//   could not be copied into one block, 38 a response without its server
//   transaction, or a decoder's, allocator's or the send path's number.
#pragma once

#include <cstdint>

#include "runtime/msg.h"
#include "sip/text/sip_prim_kind.h"
#include "platform/int_types.h"

inline constexpr u8 SIP_TICK_ANSWER = ')';

inline constexpr u8 SIP_DISPATCH_DONE = 2;
inline constexpr u8 SIP_DISPATCH_HANDLED = 4;
inline constexpr u8 SIP_DISPATCH_NOT_READY = 14;
inline constexpr u8 SIP_DISPATCH_OUTSIDE = 21;
inline constexpr u8 SIP_DISPATCH_MISSING = 26;
inline constexpr u8 SIP_DISPATCH_NO_CALL = 27;
inline constexpr u8 SIP_DISPATCH_NO_COPY = 31;
inline constexpr u8 SIP_DISPATCH_NO_SERVER_TX = 38;

struct sip_dispatch_hooks {
  // The current endpoint is ready to send.
  bool (*endpoint_ready)() = nullptr;
  // sip_call__check: 2 when a usable call of the conn_id exists (it becomes
  // the current call).
  u8 (*call_check)(u16 conn_id) = nullptr;
  // sip_call__alloc_outgoing: 2 when a call was taken for the conn_id.
  u8 (*call_alloc_outgoing)(u16 conn_id) = nullptr;
  // The current call has an active dialog.
  bool (*call_has_dialog)() = nullptr;
  // sip_server_tx__match with the indication code of the request answered:
  // 2 when the server transaction exists.
  u8 (*server_tx_match)(u8 indication_code) = nullptr;
  // sip_send_prim: the send path's result (2 or 4 done).
  u8 (*send_prim)() = nullptr;
  // sip_send_error_in: SIP_ERROR_IN to the endpoint's user.
  void (*send_error_in)(u16 conn_id, u8 error, u8 detail1, u8 detail2, u8 detail3) = nullptr;
};
extern sip_dispatch_hooks sip_dispatch_env;

// Sequence window shared with the tick: while the acknowledged sequence lags
// the sent one by more than `window`, new INVITEs are answered "Not
// available".
struct sip_seq_window_t {
  u16 sequence = 0;
  u16 acknowledged = 0;
  u16 window = 10;
  u8 not_available = 0;
};
extern sip_seq_window_t sip_seq_window;

// The current code and the copy the encoder reads; 1 while held messages are
// being sent again after a name lookup.
extern u8 sip_dispatch_code;
extern u8 sip_dispatch_code_copy;
extern u8 sip_dispatch_resending;

// Dispatches the message (the caller keeps it).
void sip_prim_dispatch_down(const msg_t* m);

// Decodes the body (index area first, length bytes) through `table` into the
// work area and hands it to the send path: 14, 21, 38, 4, or the send path's
// result.
[[nodiscard]] u8 sip_prim_decode_elements(u16 conn_id, const u8* body, u16 length, const sip_kind_hdr_table& table);
