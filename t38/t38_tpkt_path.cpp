// IFP packets over TCP in TPKT frames: one frame per packet on the way out;
// on the way in, frames reassembled from the byte stream (which splits and
// joins them at will) and queued in the receive fifo in arrival order.
#include "runtime/sock.h"
#include "t38/runtime_chain.h"
#include "t38/t38_iaf_port.h"
#include "t38/t38_report.h"
#include "t38/t38_session.h"
#include "t38/t38_traps.h"
#include "platform/int_types.h"

namespace kv::t38 {

namespace {

u32 msg_ref(const msg_t* m) { return static_cast<u32>(reinterpret_cast<uintptr_t>(m)); }

void take_frame(const byte_ref& payload, t38_session& s) {
  t38_ifp_state& st = s.ifp;
  ++st.cnt.tpkt_received;
  st.cnt.tpkt_bytes_received += payload.length;
  t38_ifp_packet* p = s.pools.alloc_ifp_pck();
  if (p == nullptr) {
    t38_runtime_chains().release(payload.chain);
    t38__trap(s, T38__TRAP__IFP_PCK__NO_MORE_IFP_PCK,
              "T38->t38_ifp__store_rcv_tpkt_pck: t38_mem__alloc_ifp_pck_object returns P_NIL");
    return;
  }
  p->decoded = 0;
  p->encoded = payload;
  if (t38__tracing(s, T38_TRC__ASN1_HEX)) t38_trace()->asn1_dump(s, T38_TRC__RX, payload);
  if (s.pools.data_fields().congested) t38_ifp__release_redundancy(s);
  const t38_ifp_decode_env env{&t38_runtime_chains(), &s.pools, s.ip.flag_optimize_filling_dfield != 0};
  const u32 length = payload.length;
  const u16 trap = decode_ifp_packet(T38_IFP__DECODE_RELEASE, env, *p);
  p->encoded.length = length;
  if (trap != 0) {
    ++st.cnt.tpkt_errors;
    s.pools.free_ifp_pck(p);
    t38__trap(s, trap, nullptr);
    t38__trap(s, T38__TRAP__IFP_PCK__ERR_DECOD_PRI_IFP_PCK,
              "T38->t38_ifp__store_rcv_tpkt_pck: decode_ifp_packet returns NOK");
    return;
  }
  p->ext_seq = ++st.tpkt_rx_counter;
  if (t38__tracing(s, T38_TRC__PACKET)) t38_trace()->packet(s, T38_TRC__RX, *p, 0);
  t38_ifp__rx_append(st, p);
}

}  // namespace

u8 send_tpkt_pck(u8 mode, u8 type_byte, t38_data_field* fields, t38_session& s) {
  t38_ifp_state& st = s.ifp;
  ++st.cnt.tpkt_sent;
  t38_ifp_packet* p =
      t38_ifp__alloc_pck_for(fields, s, "T38->send_tpkt_pck: t38_mem__alloc_ifp_pck_object returns P_NIL");
  if (p == nullptr) return OM_OS_NOK;
  auto fail = [&](u16 code, const char* text) {
    t38_mem__free_data_objects(fields, s);
    s.pools.free_ifp_pck(p);
    t38__trap(s, code, text);
    return OM_OS_NOK;
  };
  if (st.tpkt_tx_counter == 0xFFFFFFFFu) {
    return fail(T38__TRAP__IFP_PCK__SND_TOO_MUCH_UDPTL_PCK,
                "T38->send_tpkt_pck: 0xFFFFFFFFL TPKT packets have been sent");
  }
  p->ext_seq = st.tpkt_tx_counter++;
  const u16 type_trap = t38_ifp__set_type(*p, type_byte, fields);
  if (type_trap != 0) {
    return fail(type_trap,
                type_trap == T38__TRAP__IFP_PCK__MISSING_DATA_FIELD
                    ? "T38->send_tpkt_pck: Type of IFP packet = T38_IFP__TYPE_DATA but there is no data_field"
                    : "T38->send_tpkt_pck: Type of IFP packet = T38_IFP__TYPE_T30_INDICATOR but there is "
                      "data_field");
  }
  fields = nullptr;
  if (t38_tpkt__encode(*p, t38_runtime_chains()) != 0) {
    return fail(T38__TRAP__IFP_PCK__ERR_COD_IFP_PCK,
                "T38->send_tpkt_pck: Type of IFP packet = Error while coding IFP packet");
  }
  st.cnt.tpkt_bytes_sent += p->encoded.length - T38_TPKT__HEADER_SIZE;
  if (t38__tracing(s, T38_TRC__PACKET)) t38_trace()->packet(s, T38_TRC__TX, *p, 0);
  if (t38__tracing(s, T38_TRC__ASN1_HEX)) t38_trace()->asn1_dump(s, T38_TRC__TX, p->encoded);
  if (mode == T38_IFP__MODE_ENCODE_ONLY) {
    s.pools.free_ifp_pck(p);
    return OM_OS_OK;
  }
  msg_t* m = Alloc_msg();
  if (m == nullptr) {
    return fail(T38__TRAP__IFP_PCK__NO_MORE_MSG, "T38->send_tpkt_pck: Alloc_msg returns P_NIL");
  }
  Msg_attach_chain(m, as_buffer(p->encoded.chain));
  p->encoded = byte_ref{};  // the message owns the frame
  s.pools.free_ifp_pck(p);
  Msg_set_head(m, t38__socket_head(s, SOCK_DA_RQ));
  t38__log(s, T38_TRC__MSG, "SOCK_DA_RQ (p_msg = 0x%8X)\n", msg_ref(m));
  Send_msg(m);
  return OM_OS_OK;
}

u8 t38_ifp__store_rcv_tpkt_pck(msg_t* m, t38_session& s) {
  if (!s.tpkt) return OM_OS_NOK;
  byte_ref data;
  if (m->p_buffer != nullptr) {
    data = byte_ref{Buffer_data(m->p_buffer), Buffer_chain_length(m->p_buffer), as_chain(m->p_buffer)};
  } else {
    data = byte_ref{Msg_inline_data(m), m->data_size, nullptr};
  }
  const t38_tpkt_reassembler::feed_result r =
      s.tpkt->feed(data, &t38_runtime_chains(), [&s](const byte_ref& payload) { take_frame(payload, s); });
  if (r.trap == T38__TRAP__IFP_PCK__BAD_LEN_TPKT) {
    t38__log(s, T38_TRC__PACKET, "Fatal error: Bad ASN.1 IFP length into TPKT header\n");
    t38__trap(s, r.trap, "T38->t38_ifp__store_rcv_tpkt_pck: Bad ASN.1 IFP length into TPKT header");
  } else if (r.trap != 0) {
    t38__trap(s, r.trap, "T38->t38_ifp__store_rcv_tpkt_pck: No more VXL buffer");
  }
  return r.result;
}

}  // namespace kv::t38
