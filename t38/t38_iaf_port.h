// What the T.38 entity needs of the IAF fax service and of the T.38 trace
// writer, which are built on top of it.  Each installs itself with the
// setter below; until then the entity runs without them (no activation, no
// delivery of received packets, no trace lines).
//
// The IAF side is handed: every user primitive and the IAF timer expiries
// (kind 1), every received UDP datagram after the network simulation (kind
// 2) and every received TCP data message (kind 3).  It reads received
// packets through t38_ifp__store_rcv_udptl_pck / t38_ifp__store_rcv_tpkt_pck
// and t38_ifp__get_ifp_pck, and sends through t38_ifp__send (t38_ifp.h).
#pragma once

#include "runtime/msg.h"
#include "runtime/types.h"
#include "t38/byte_chain.h"
#include "t38/ifp.h"

namespace kv::t38 {

struct t38_session;

inline constexpr u8 T38IAF__KIND_USER = 1;
inline constexpr u8 T38IAF__KIND_UDPTL = 2;
inline constexpr u8 T38IAF__KIND_TPKT = 3;

inline constexpr u32 T38IAF__STAT_WORDS = 21;
inline constexpr u32 T38IAF__ENH_COUNTERS = 11;

class t38_iaf_port {
 public:
  virtual ~t38_iaf_port() = default;
  // `t38iaf__main_automaton`: 2 or 3.  The message stays the caller's
  // unless the automaton sets *m to null (it sent the message on or kept it).
  virtual u8 main_automaton(u8 kind, msg_t** m, t38_session& s) = 0;
  // Set-ups at configuration of a kind 'I' session: 2 or a cause.
  virtual u8 polling_setup(t38_session& s) = 0;
  virtual u8 session_setup(t38_session& s) = 0;
  // At T38__RESET_CONFIG_RQ, before the session's packets are released.
  virtual void session_reset(t38_session& s) = 0;
  // T38__SET_PARAM_RQ kind 1 (new page data rate): 2, or 3 with *cause.
  virtual u8 update_drate(t38_session& s, u32 value32, u16 value16, u8* cause) = 0;
  // The IAF polling timer ('p'): no session.
  virtual void polling_expiry(msg_t** m) = 0;
  // Statistics words and enhanced return-code counters of T38__DEA_IN.
  virtual void statistics(const t38_session& s, u32 stats[T38IAF__STAT_WORDS], u16 enh[T38IAF__ENH_COUNTERS]) = 0;
  // Count of fax protocol errors (the first word of the error block).
  virtual u32 protocol_errors(const t38_session&) { return 0; }
};

// Trace classes of the session's trace_report_bfi.
enum : u32 {
  T38_TRC__CNF_A = 0x2,
  T38_TRC__CNF_B = 0x4,
  T38_TRC__ASN1_HEX = 0x8,
  T38_TRC__PACKET = 0x20,
  T38_TRC__UDP_SIMUL = 0x40,
  T38_TRC__T30 = 0x80,
  T38_TRC__AUTOMATON = 0x100,
  T38_TRC__UDPTL_LOST = 0x800,
  T38_TRC__SM_CONGESTION = 0x1000,
  T38_TRC__DFIELD_CONG = 0x2000,
  T38_TRC__IFP_CONG = 0x4000,
  T38_TRC__ECM_TOO_LONG = 0x8000,
  T38_TRC__BAD_HDLC = 0x10000,
};
// Lines the entity writes about its primitives go under the message class.
inline constexpr u32 T38_TRC__MSG = T38_TRC__CNF_A;
inline constexpr u8 T38_TRC__RX = 0;
inline constexpr u8 T38_TRC__TX = 1;

class t38_trace_port {
 public:
  virtual ~t38_trace_port() = default;
  // Trace set-up at configuration: 2 or a cause.
  virtual u8 setup(t38_session& s) = 0;
  // One formatted line of a trace class (the writer checks the class).
  virtual void line(t38_session& s, u8 origin, u32 trace_class, const char* text) = 0;
  // Packet traces (class 0x20): a UDPTL or TPKT packet sent (direction 1)
  // or received (0), its primary decoded, with the number of secondaries
  // that travel with it (their sequence numbers follow the primary's down).
  virtual void packet(t38_session& s, u8 direction, const t38_ifp_packet& primary, u16 secondaries) = 0;
  // ASN.1 hex dumps (class 0x8) of a datagram or frame as it travels.
  virtual void asn1_dump(t38_session& s, u8 direction, const byte_ref& bytes) = 0;
  // The error record of a trap.
  virtual void error_record(t38_session& s, u16 code, const char* name, const char* text) = 0;
  // TI_TRACE_REPORT expiry.
  virtual void flush_timer(t38_session& s) = 0;
  // Runtime congestion began: pending trace buffers are released.
  virtual void congestion(t38_session& s) = 0;
  // End of the session: write out (or, after a trap, drop) what is pending.
  virtual void end_of_session(t38_session& s, bool trapped) = 0;
};

void t38_set_iaf_port(t38_iaf_port* port);
void t38_set_trace_port(t38_trace_port* port);
t38_iaf_port* t38_iaf();
t38_trace_port* t38_trace();

}  // namespace kv::t38
