// The T.38 session context and what the modules of the T.38 entity offer
// each other and the IAF service: the per-session packet pools, the IFP
// layer over UDPTL (redundancy, receive fifo) and over TPKT, and the
// network simulation.
//
// A session lives from T38__SET_CONFIG_RQ to T38__RESET_CONFIG_RQ in the
// session table of the entity (t38_entity.h).  Everything runs in the
// runtime's SM task; nothing here is locked.
//
// Ownership: data-field lists handed to t38_ifp__send belong to the layer
// from then on (a sent packet keeps them while it stays in the transmit list
// for redundancy); lists returned by t38_ifp__get_ifp_pck belong to the caller,
// who frees them with t38_mem__free_data_objects (or hands them back with
// t38_ifp__store_again_rcv_ifp_pck).  Received messages stay the caller's.
#pragma once

#include <cstdint>
#include <memory>

#include "runtime/msg.h"
#include "runtime/timer.h"
#include "runtime/types.h"
#include "t38/ifp.h"
#include "t38/t38_config.h"
#include "t38/tpkt.h"

namespace kv::t38 {

struct t38_session;

// Session marks.
inline constexpr u32 T38__SESSION_CONFIGURED = 0x87654321;
inline constexpr u32 T38__SESSION_ACTIVATED = 0x55AA55AA;
inline constexpr u32 T38__SESSION_RELEASED = 0x789ABCDE;

inline constexpr u8 T38__SAPI_MANAGEMENT = 'M';
inline constexpr u8 T38IAF__SAPI_SIGNAL = 18;

// Timer slots of a session and their codes.
enum t38_timer_slot_index : u8 {
  TI_ERROR_REPORT = 0,
  TI_TRACE_REPORT,
  TI_IP_INACTIVE,
  TI_START_IP,
  TI_IAF_CED_XMIT,
  TI_RX_SIMUL,
  T38_TI_SLOTS,
};
struct t38_timer_def {
  code_t code;
  u8 sapi;
};
inline constexpr t38_timer_def T38_TIMER_DEFS[T38_TI_SLOTS] = {
    {'s', T38__SAPI_MANAGEMENT}, {'t', T38__SAPI_MANAGEMENT}, {'i', T38__SAPI_MANAGEMENT},
    {'a', T38__SAPI_MANAGEMENT}, {'y', T38IAF__SAPI_SIGNAL},  {'r', T38__SAPI_MANAGEMENT},
};

struct t38_timer_slot {
  u8 armed = 0;
  u8 id = 0;
  timer_cell_t* cell = nullptr;
};

// ---------------------------------------------------------------------------
// Packet pools.

inline constexpr u16 T38__MAX_NB_DATA_FIELD = 300;
inline constexpr u16 T38__MAX_NB_IFP_PACKET = 60;
inline constexpr u16 T38__CONG_THR_DATA_FIELD_LOW_MARK = 10;   // congested below
inline constexpr u16 T38__CONG_THR_DATA_FIELD_HIGH_MARK = 15;  // clear above
inline constexpr u16 T38__CONG_THR_IFP_PACKET_LOW_MARK = 3;
inline constexpr u16 T38__CONG_THR_IFP_PACKET_HIGH_MARK = 6;

struct t38_pool_counters {
  u16 in_use = 0;
  u16 high_water = 0;
  u8 congested = 0;
  u32 congestion_count = 0;
};

inline constexpr u32 t38_pool_area_size(u32 blocks, u32 block_size) {
  return 8 + blocks * (8 + ((block_size + 1) & ~1u));
}

// The two block pools of a session, carved from the session context.
class t38_session_pools final : public t38_field_pool {
 public:
  void init(t38_session& s);
  // Data fields; origin as for the trap routine.
  t38_data_field* alloc_data_object(u8 origin);
  t38_data_field* alloc_data_field() override { return alloc_data_object(0); }
  void free_data_field(t38_data_field* f) override;
  // IFP packet objects (decoded flag 1), and their release with everything
  // they hold (data fields, encoded chain).
  t38_ifp_packet* alloc_ifp_pck();
  void free_ifp_pck(t38_ifp_packet* p);

  const t38_pool_counters& data_fields() const { return df_; }
  const t38_pool_counters& ifp_packets() const { return ifp_; }
  bool congested() const { return df_.congested || ifp_.congested; }
  const void* data_field_pool() const { return df_area_; }
  const void* ifp_pool() const { return ifp_area_; }

 private:
  void df_congestion_test(bool report, u8 origin);
  void ifp_congestion_test(bool report);

  t38_session* s_ = nullptr;
  t38_pool_counters df_;
  t38_pool_counters ifp_;
  u16 df_blocks_ = 0;
  u16 ifp_blocks_ = 0;
  alignas(16) u8 df_area_[t38_pool_area_size(T38__MAX_NB_DATA_FIELD, sizeof(t38_data_field))];
  alignas(16) u8 ifp_area_[t38_pool_area_size(T38__MAX_NB_IFP_PACKET, sizeof(t38_ifp_packet))];
};

// ---------------------------------------------------------------------------
// IFP layer state.

struct t38_ifp_counters {
  // Transmit.
  u32 udptl_sent = 0, idle_sent = 0;
  u32 asn1_total = 0, asn1_efficiency = 0, asn1_redundancy = 0, asn1_idle = 0;
  u32 datagrams = 0, datagram_bytes = 0;
  u16 largest_datagram = 0;
  u32 dfield_count = 0, dfield_bytes = 0;
  u16 largest_dfield = 0;
  // Receive.
  u32 received = 0, rejected = 0, already_received = 0, retrieved = 0, lost = 0;
  u32 asn1_received = 0, asn1_delivered = 0, decode_errors = 0;
  // Datagrams whose source is not the negotiated peer address.
  u32 foreign_source = 0;
  // TCP.
  u32 tpkt_sent = 0, tpkt_bytes_sent = 0, tpkt_received = 0, tpkt_bytes_received = 0, tpkt_errors = 0;
};

struct t38_ifp_state {
  t38_ifp_packet* tx_first = nullptr;  // oldest
  t38_ifp_packet* tx_last = nullptr;
  u16 tx_count = 0;
  u32 tx_seq = 0;
  u16 red_current = 0, red_requested = 0, red_pending = 0;
  u32 inact_current = 0, inact_requested = 0;
  u8 inact_pending = 0;
  u16 max_dfield_size = T38__MAX_SIZE_DATA_FIELD;
  t38_ifp_packet* rx_head = nullptr;  // oldest
  t38_ifp_packet* rx_tail = nullptr;
  u16 rx_count = 0;
  u32 last_delivered = 0xFFFFFFFFu;
  u16 peer_redundancy = 1;
  u8 data_lost = 0;
  u32 tpkt_tx_counter = 0;
  u32 tpkt_rx_counter = 0xFFFFFFFFu;
  t38_ifp_counters cnt;
};

// ---------------------------------------------------------------------------
// Network simulation state.

inline constexpr u32 T38_SIM__MAX_HELD = 256;
struct t38_sim_state {
  u32 datagrams = 0;
  u16 loss_counter = 0;
  u8 loss_burst = 0;
  u16 delay_counter = 0;
  u8 delay_burst = 0;
  u8 delay_complete = 0;
  u32 held_count = 0;
  msg_t* held[T38_SIM__MAX_HELD] = {};
};

// ---------------------------------------------------------------------------
// Report state (traps and error counters).

// Error classes, in the order of the periodic report.
inline constexpr u32 T38__ERR_CLASSES = 8;
struct t38_report_state {
  u16 trap_count = 0;
  msg_t* prealloc = nullptr;  // the report message kept for the next trap
  u32 count[T38__ERR_CLASSES] = {};
  u8 pending[T38__ERR_CLASSES] = {};
  u8 error_timer_running = 0;
  u32 error_timer_duration = 0;
};

// ---------------------------------------------------------------------------
// The session context.

struct t38_session {
  u32 mark = 0;
  u8 kind_of_session = 0;
  ent_id_t user = 0;
  code_t report_code = 0;
  nai_t nai = 0;
  ent_id_t act_entity = 0;  // source of the T38__ACT_RQ
  t38__t38_capabilities negotiated;
  t38__t38_capabilities adjusted;
  t38__addr_param addr;
  t38__ip_param ip;
  t38__udp_simulation sim_cfg;
  t38__report_param report_cfg;
  t38iaf__data_ctrl_param iaf_cfg;
  u8 dcn_seen = 0;
  u32 timer_val[T38_TI_SLOTS] = {};
  t38_timer_slot timers[T38_TI_SLOTS];
  u32 start_time = 0;
  t38_ifp_state ifp;
  std::unique_ptr<t38_tpkt_reassembler> tpkt;
  t38_session_pools pools;
  t38_sim_state sim;
  t38_report_state rep;
  void* iaf_context = nullptr;  // the IAF service's own record

  bool is_udp() const { return ip.media_transport != T38__MEDIA_TPKT; }
  u32 age_ms() const;
};

// The entity's session of a nai (configured or activated), or null.
t38_session* t38__find_session(nai_t nai);
// Sessions by table index (0 to t38__table_size() - 1), as t38__find_session.
u16 t38__table_size();

// Starts a slot: new identifier, its duration (or `duration` when given), armed.
void t38__timer_start(t38_session& s, t38_timer_slot_index slot);
void t38__timer_start_for(t38_session& s, t38_timer_slot_index slot, u32 duration);
void t38__timer_stop(t38_session& s, t38_timer_slot_index slot);

// Whether the session traces a class and a trace writer is installed.
bool t38__tracing(const t38_session& s, u32 trace_class);
// A trace line of the session (formatted only while a trace writer is installed).
void t38__log(t38_session& s, u32 trace_class, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

// The header of a message to the socket entity on the session's socket.
inline msg_head t38__socket_head(const t38_session& s, code_t code) {
  return {ENT_T38, ENT_IP, code, s.nai, s.addr.sock_sapi, s.addr.sock_conn_id};
}

// ---------------------------------------------------------------------------
// Pools (module t38_pool).
inline t38_data_field* t38_mem__alloc_data_object(u8 origin, t38_session& s) {
  return s.pools.alloc_data_object(origin);
}
inline void t38_mem__free_data_objects(t38_data_field* list, t38_session& s) {
  t38_ifp__free_data_fields(s.pools, list);
}

// ---------------------------------------------------------------------------
// IFP layer (modules t38_udptl_path, t38_tpkt_path).

inline constexpr u8 T38_IFP__MODE_IDLE = 1;
inline constexpr u8 T38_IFP__MODE_SEND = 2;
inline constexpr u8 T38_IFP__MODE_ENCODE_ONLY = 3;
inline constexpr u8 T38_IFP__NOTHING = 0xFF;  // type byte: nothing to deliver

// Session check at configuration (IFP part): 2.
[[nodiscard]] u8 t38_ifp__init_session(t38_session& s);
// Send entry: one IFP packet (split when its fields do not fit): 2 or 3.
[[nodiscard]] u8 t38_ifp__send(u8 mode, u8 type_byte, t38_data_field* fields, t38_session& s);
[[nodiscard]] u8 send_udptl_pck(u8 mode, u8 type_byte, t38_data_field* fields, t38_session& s);
[[nodiscard]] u8 send_tpkt_pck(u8 mode, u8 type_byte, t38_data_field* fields, t38_session& s);
// Receive: a SOCK_U_DA_IN / SOCK_DA_IN of the session into the fifo: 2 or 3.
u8 t38_ifp__store_rcv_udptl_pck(msg_t* m, t38_session& s);
u8 t38_ifp__store_rcv_tpkt_pck(msg_t* m, t38_session& s);

struct t38_rx_packet {
  u32 ext_seq = 0;
  u8 type_byte = T38_IFP__NOTHING;
  t38_data_field* fields = nullptr;  // the caller's
  u16 remaining = 0;
};
// Next packet in sequence, or type byte 0xFF: 2.
u8 t38_ifp__get_ifp_pck(t38_rx_packet& out, t38_session& s);
// Puts a packet back in front of the fifo: 2 or 3.
u8 t38_ifp__store_again_rcv_ifp_pck(u8 type_byte, t38_data_field* fields, t38_session& s);
// Puts a packet at the end of the receive fifo.
void t38_ifp__rx_append(t38_ifp_state& st, t38_ifp_packet* p);
// An IFP packet from the session's pool for `fields` to go in; when the pool
// is empty the fields are freed, the trap T38__TRAP__IFP_PCK__NO_MORE_IFP_PCK
// raised with `text` and null returned.
t38_ifp_packet* t38_ifp__alloc_pck_for(t38_data_field* fields, t38_session& s, const char* text);

void t38_ifp__update_inactivity(u32 ms, t38_session& s);
void t38_ifp__update_redundancy(u16 n, t38_session& s);
void t38_ifp__release_redundancy(t38_session& s);
void t38_ifp__send_idle(t38_session& s);
void t38_ifp__release_lists(t38_session& s);
bool t38_ifp__has_sent(const t38_session& s);
// Statistics of the IFP part (offsets 84 to 171 of the statistics record).
void t38_ifp__statistics(const t38_session& s, u8* record);

// ---------------------------------------------------------------------------
// Network simulation (module t38_netsim).

// Applies loss and delay to the current received datagram: true when it
// goes on now; false when it was destroyed (*m freed) or held (*m null).
bool t38_udp_simul__filter_rx(msg_t** m, t38_session& s);
// TI_RX_SIMUL: hands the held datagrams on in arrival order.
void t38_udp_simul__release_held(t38_session& s);
// Frees held datagrams (session release).
void t38_udp_simul__drop_held(t38_session& s);

}  // namespace kv::t38
