// The parts of the IAF services that their source files share: the fax
// automaton's actions (t38iaf_fax.cpp, t38iaf_tx.cpp, t38iaf_rx.cpp) and
// the helpers they call.  Internal to t38/t38iaf*.cpp.
#pragma once

#include "t38/t38iaf.h"

namespace kv::t38 {

// Trace names of an IFP type byte (indicator, or 0x80 + data) and of a
// data field type.
const char* type_name(u8 type_byte);
const char* field_name(u8 t);
u32 msg_ref(const msg_t* m);

// A message from this entity to the fax user, on the fax SAP.
void address_to_fax_user(const t38iaf_session& c, msg_t* m, code_t code);
// A fresh message of n data bytes to the fax user, or null (trap 12182).
msg_t* fax_msg(t38iaf_session& c, code_t code, u32 n, u8** p, const char* who);
void ifp_error(t38iaf_session& c);
// Sends one IFP packet; on failure the user hears of it (T38__DEA_IN): 2 or 3.
u8 send_ifp(t38iaf_session& c, u8 type_byte, t38_data_field* fields);
// A data field of the session's pool, or null (trap 12183).
t38_data_field* new_field(t38iaf_session& c, u8 type, const char* who);
void free_rx_buffer(t38iaf_session& c);
void release_current(t38iaf_session& c);
// Whether IAF/IAF mode runs the high-speed part at the page rate.
bool iaf_iaf_page(const t38iaf_session& c);
// The description of a speed mode; false for a mode not supported.
[[nodiscard]] bool t38iaf__speed_mode(u16 mode, t38iaf_speed_mode& out);

// Receive side helpers (t38iaf_rx.cpp).
void send_fax_da_in(t38iaf_session& c);
void cd_off_once(t38iaf_session& c);
// The effect of a complete V.21 frame, sent or received.
void frame_check(t38iaf_session& c, bool fcs_ok, u8 direction);
// Whether the receive fifo holds a v21-preamble newer than the packet just
// taken from it.
bool newer_v21_preamble_waiting(const t38_session& s);

// The fax automaton's actions and the routines they share.  An action
// returns 2, or 3 when the session is to stop.
struct t38iaf_actions {
  // Automaton (t38iaf_fax.cpp).
  static u8 no_action(t38iaf_service& svc, t38iaf_session& c, msg_t** m);
  static u8 discard_packet(t38iaf_service& svc, t38iaf_session& c, msg_t** m);
  static u8 idle_t30_ind(t38iaf_service& svc, t38iaf_session& c, msg_t** m);
  static u8 restore_packet(t38iaf_service& svc, t38iaf_session& c, msg_t** m);
  static u8 fax_act_rq(t38iaf_service& svc, t38iaf_session& c, msg_t** m);
  static u8 fax_dea_rq(t38iaf_service& svc, t38iaf_session& c, msg_t** m);

  // Transmit side (t38iaf_tx.cpp).
  static void store_fax_da_rq(t38iaf_session& c, msg_t** m);
  static u8 queue_fax_da_rq(t38iaf_service& svc, t38iaf_session& c, msg_t** m);
  static u8 fax_da_rq(t38iaf_service& svc, t38iaf_session& c, msg_t** m);
  static u8 ti_eof_handshake_tx(t38iaf_service& svc, t38iaf_session& c, msg_t** m);
  static u8 ti_data_tx(t38iaf_service& svc, t38iaf_session& c, msg_t** m);
  static void data_timer(t38iaf_service& svc, t38iaf_session& c, u32 bytes);
  static bool take_next(t38iaf_session& c);
  static void append(t38_data_field*& first, t38_data_field*& last, t38_data_field* f);
  // A new field of the type appended to the list, or null: then the list is
  // freed and the user hears of it (T38__DEA_IN).
  static t38_data_field* append_new_field(t38iaf_session& c, u8 type, const char* who, t38_data_field*& first,
                                          t38_data_field*& last);
  static u8 send_idle_data(t38iaf_service& svc, t38iaf_session& c);
  static u8 send_xmit_fifo(t38iaf_service& svc, t38iaf_session& c);
  static u8 send_packet(t38iaf_service& svc, t38iaf_session& c);

  // Receive side (t38iaf_rx.cpp).
  static bool rx_checks(t38iaf_session& c);
  static u8 ifp_t30_ind(t38iaf_service& svc, t38iaf_session& c, msg_t** m);
  static u8 hdsk_rx_data(t38iaf_service& svc, t38iaf_session& c, msg_t** m);
  static void protocol_error(t38iaf_session& c, u32 counter, const char* err, u8 field_type);
  static u8 ifp_data(t38iaf_service& svc, t38iaf_session& c, msg_t** m);
};

}  // namespace kv::t38
