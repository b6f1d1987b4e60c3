// IFP packets over UDPTL: the send path with redundancy (the transmit list,
// shedding to the datagram size, page-data splitting, idle resends), the
// receive fifo ordered by extended sequence number with duplicates, loss
// detection and the data-lost flag, and the inactivity and redundancy
// updates of the IAF service.
#include <algorithm>
#include <cstring>

#include "common/byte_order.h"
#include "runtime/mem.h"
#include "runtime/om_os.h"
#include "runtime/packet_filter.h"
#include "runtime/sock.h"
#include "t38/runtime_chain.h"
#include "t38/t38_entity.h"
#include "t38/t38_iaf_port.h"
#include "t38/t38_report.h"
#include "t38/t38_session.h"
#include "t38/t38_traps.h"
#include "t38/udptl.h"
#include "platform/int_types.h"

namespace kv::t38 {

namespace {

constexpr u32 NONE = 0xFFFFFFFFu;

u32 msg_ref(const msg_t* m) { return static_cast<u32>(reinterpret_cast<uintptr_t>(m)); }

u16 datagram_limit(const t38_session& s) { return s.adjusted.max_datagram_size; }

// ---------------------------------------------------------------------------
// Lists.

void tx_append(t38_ifp_state& st, t38_ifp_packet* p) {
  p->next = nullptr;
  p->prev = st.tx_last;
  if (st.tx_last != nullptr) st.tx_last->next = p;
  else st.tx_first = p;
  st.tx_last = p;
  ++st.tx_count;
}

void tx_unlink(t38_ifp_state& st, t38_ifp_packet* p) {
  if (p->prev != nullptr) p->prev->next = p->next;
  else st.tx_first = p->next;
  if (p->next != nullptr) p->next->prev = p->prev;
  else st.tx_last = p->prev;
  p->next = p->prev = nullptr;
  --st.tx_count;
}

void tx_drop_oldest(t38_session& s) {
  t38_ifp_packet* p = s.ifp.tx_first;
  tx_unlink(s.ifp, p);
  s.pools.free_ifp_pck(p);
}

void rx_link_after(t38_ifp_state& st, t38_ifp_packet* q, t38_ifp_packet* p) {
  // q null: p becomes the head.
  p->prev = q;
  p->next = q != nullptr ? q->next : st.rx_head;
  if (p->next != nullptr) p->next->prev = p;
  else st.rx_tail = p;
  if (q != nullptr) q->next = p;
  else st.rx_head = p;
  ++st.rx_count;
}

t38_ifp_packet* rx_pop_head(t38_ifp_state& st) {
  t38_ifp_packet* p = st.rx_head;
  if (p == nullptr) return nullptr;
  st.rx_head = p->next;
  if (st.rx_head != nullptr) st.rx_head->prev = nullptr;
  else st.rx_tail = nullptr;
  p->next = p->prev = nullptr;
  --st.rx_count;
  return p;
}

t38_ifp_decode_env decode_env(t38_session& s) {
  return t38_ifp_decode_env{&t38_runtime_chains(), &s.pools, s.ip.flag_optimize_filling_dfield != 0};
}

// Decodes a received packet, keeping its encoded length for the counters.
// 0 or the decoder's trap code.
u16 decode_received(t38_ifp_packet& p, t38_session& s) {
  if (p.decoded) return 0;
  if (s.pools.data_fields().congested) t38_ifp__release_redundancy(s);
  const u32 length = p.encoded.length;
  const u16 trap = decode_ifp_packet(T38_IFP__DECODE_RELEASE, decode_env(s), p);
  p.encoded.length = length;
  return trap;
}

enum class insert_result { inserted, duplicate, bad };

// Inserts in order, walking from the newest entry; the packet is decoded
// once its place is known.
insert_result search_and_insert_ifp_pck(t38_ifp_packet* p, t38_session& s) {
  t38_ifp_state& st = s.ifp;
  t38_ifp_packet* q = st.rx_tail;
  for (; q != nullptr; q = q->prev) {
    if (q->ext_seq == p->ext_seq) return insert_result::duplicate;
    if (q->ext_seq < p->ext_seq) break;
  }
  const u16 trap = decode_received(*p, s);
  if (trap != 0) {
    ++st.cnt.decode_errors;
    t38__trap(s, trap, nullptr);
    t38__trap(s, T38__TRAP__IFP_PCK__ERR_DECOD_SEC_IFP_PCK,
              "T38->search_and_insert_ifp_pck: decode_ifp_packet returns NOK");
    return insert_result::bad;
  }
  const bool retrieved = q != st.rx_tail;
  rx_link_after(st, q, p);
  if (retrieved) {
    ++st.cnt.retrieved;
    t38__log(s, T38_TRC__PACKET, "Warning: IFP packet %u (Ext #%lu) lost / retrieved \n", p->ext_seq & 0xFFFF,
             static_cast<unsigned long>(p->ext_seq));
  }
  return insert_result::inserted;
}

// Points `ref` at the bytes of m behind `skip` bytes; false when m has fewer.
bool data_after(msg_t* m, u32 skip, byte_ref& ref) {
  if (m->p_buffer == nullptr) {
    if (m->data_size < skip) return false;
    ref = byte_ref{Msg_inline_data(m) + skip, static_cast<u32>(m->data_size - skip), nullptr};
    return true;
  }
  buffer_t* b = m->p_buffer;
  const u32 total = Buffer_chain_length(b);
  if (total < skip) return false;
  u32 left = skip;
  while (b != nullptr && left >= b->data_size && b->next != nullptr) {
    left -= b->data_size;
    b = b->next;
  }
  ref = byte_ref{Buffer_data(b) + left, total - skip, as_chain(b)};
  return true;
}

// Moves the start of the data that `a` holds (a message's inline data or a
// buffer's) n bytes on, or back when n is negative.
template <class Area>
void skip_data(Area& a, int n) {
  a.data_offset = static_cast<decltype(a.data_offset)>(a.data_offset + n);
  a.data_size = static_cast<decltype(a.data_size)>(a.data_size - n);
}

// The RTP check of the packet filter, on the datagram behind the address
// record (the message's data are positioned on it for the call).
u8 apply_filter(msg_t* m, t38_session& s) {
  const u32 next = s.ifp.last_delivered + 1;
  buffer_t* b = m->p_buffer;
  if (b == nullptr ? m->data_size < SOCK_UDP_HEADER_SIZE : b->data_size <= SOCK_UDP_HEADER_SIZE) {
    return T38__IP_PACKET_KEEP;
  }
  auto skip_header = [&](int n) {
    if (b == nullptr) skip_data(*m, n);
    else skip_data(*b, n);
  };
  skip_header(SOCK_UDP_HEADER_SIZE);
  const u8 r = T38__ip_packet_filter(s.nai, s.ip.media_transport, m, next);
  skip_header(-static_cast<int>(SOCK_UDP_HEADER_SIZE));
  return r;
}

bool from_peer(msg_t* m, const t38_session& s) {
  u8 record[SOCK_ADDR_BLOCK_SIZE];
  byte_ref all;
  if (!data_after(m, 0, all) || copy_bytes(&t38_runtime_chains(), all, record, sizeof record) != sizeof record) {
    return false;
  }
  const sock_addr a = sock_addr_unpack(record);
  u32 peer = 0;
  std::memcpy(&peer, s.addr.remote_ipv4_addr, 4);
  return a.family == SOCK_FAMILY_IPV4 && a.addr_net == peer;
}

void count_fields(t38_session& s, const t38_data_field* f) {
  t38_ifp_counters& c = s.ifp.cnt;
  for (; f != nullptr; f = f->next) {
    if (f->length == 0) continue;
    ++c.dfield_count;
    c.dfield_bytes += f->length;
    c.largest_dfield = std::max(c.largest_dfield, f->length);
  }
}

void after_send(t38_session& s) {
  t38_ifp_state& st = s.ifp;
  if (st.inact_current != 0) {
    if (st.inact_pending != 0 && --st.inact_pending == 0) {
      st.inact_current = st.inact_requested;
      s.timer_val[TI_IP_INACTIVE] = st.inact_current;
    }
    if (st.inact_current != 0) {
      t38__timer_start_for(s, TI_IP_INACTIVE, st.inact_current);
    } else {
      t38__timer_stop(s, TI_IP_INACTIVE);
    }
  }
  if (st.red_pending != 0 && --st.red_pending == 0) {
    t38__log(s, T38_TRC__PACKET, "Update Nb of redundancy IFP pck (%d > %d)\n", st.red_current, st.red_requested);
    st.red_current = st.red_requested;
    const u16 before = st.max_dfield_size;
    st.max_dfield_size = t38_udptl__max_data_field_size(st.red_current, datagram_limit(s));
    t38__log(s, T38_TRC__PACKET, "Update max size of Data field object (%d > %d)\n", before, st.max_dfield_size);
  }
}

u32 list_length(const t38_data_field* f, u32* count) {
  u32 n = 0, bytes = 0;
  for (; f != nullptr; f = f->next) {
    ++n;
    bytes += f->length;
  }
  *count = n;
  return bytes;
}

}  // namespace

// ---------------------------------------------------------------------------

u8 t38_ifp__init_session(t38_session& s) {
  t38_ifp_state& st = s.ifp;
  st = t38_ifp_state{};
  st.inact_current = st.inact_requested = s.ip.idle_ip_inactivity_ms;
  st.red_current = st.red_requested = s.ip.nb_red_ifp_pck__default;
  if (s.is_udp()) {
    const u16 r = std::max({s.ip.nb_red_ifp_pck__default, s.ip.nb_red_ifp_pck__tcf, s.ip.nb_red_ifp_pck__fax_pg_no_ecm,
                            s.ip.nb_red_ifp_pck__fax_pg_ecm});
    st.max_dfield_size = t38_udptl__max_data_field_size(r, datagram_limit(s));
  } else {
    st.max_dfield_size = T38__MAX_SIZE_DATA_FIELD;
    s.tpkt = std::make_unique<t38_tpkt_reassembler>(t38_runtime_chains());
  }
  return T38__CAUSE_OK;
}

u8 t38_ifp__send(u8 mode, u8 type_byte, t38_data_field* fields, t38_session& s) {
  if (mode == T38_IFP__MODE_IDLE) return send_udptl_pck(mode, type_byte, fields, s);
  if (!s.is_udp()) return send_tpkt_pck(mode, type_byte, fields, s);
  if (fields == nullptr) return send_udptl_pck(mode, type_byte, fields, s);
  u32 n = 0;
  u32 total = list_length(fields, &n);
  const u16 r = s.ifp.red_current;
  const u16 d = datagram_limit(s);
  u32 room = t38_udptl__estimate_data_room(r, d, n);
  if (total <= room) return send_udptl_pck(mode, type_byte, fields, s);
  t38__log(s, T38_TRC__PACKET, "Split IFP packet (total_data_len = %d  nb Data field = %d) to send\n",
           static_cast<int>(total), static_cast<int>(n));
  t38__log(s, T38_TRC__PACKET,
           "    (estimated_max_data_into_ifp_pck = %d  nb_redundancy_pck = %d  max_datagram_size = %d)\n",
           static_cast<int>(room), r, d);
  int part = 0;
  while (fields != nullptr) {
    t38_data_field* one = fields;
    fields = fields->next;
    one->next = nullptr;
    --n;
    total -= one->length;
    t38__log(s, T38_TRC__PACKET, " #%d split IFP packet\n", ++part);
    if (send_udptl_pck(mode, type_byte, one, s) != OM_OS_OK) {
      t38_mem__free_data_objects(fields, s);
      return OM_OS_NOK;
    }
    room = t38_udptl__estimate_data_room(r, d, n);
    if (total <= room) {
      t38__log(s, T38_TRC__PACKET, "Now all remain data fields of current IFP packet may be sent\n");
      t38__log(s, T38_TRC__PACKET,
               "    (remain total_data_len = %d  nb Data field = %d) (estimated_max_data_into_ifp_pck = %d)\n",
               static_cast<int>(total), static_cast<int>(n), static_cast<int>(room));
      return fields == nullptr ? OM_OS_OK : send_udptl_pck(mode, type_byte, fields, s);
    }
  }
  return OM_OS_OK;
}

u8 send_udptl_pck(u8 mode, u8 type_byte, t38_data_field* fields, t38_session& s) {
  t38_ifp_state& st = s.ifp;
  t38_ifp_counters& c = st.cnt;
  t38_ifp_packet* primary = nullptr;
  const bool idle = mode == T38_IFP__MODE_IDLE;
  if (idle) {
    t38_mem__free_data_objects(fields, s);
    primary = st.tx_last;
    if (primary == nullptr) return OM_OS_NOK;  // nothing sent yet
  }
  ++c.udptl_sent;
  if (idle) {
    ++c.idle_sent;
    c.asn1_idle += primary->encoded.length;
  } else {
    primary = t38_ifp__alloc_pck_for(fields, s, "T38->send_udptl_pck: t38_mem__alloc_ifp_pck_object returns P_NIL");
    if (primary == nullptr) return OM_OS_NOK;
    if (s.pools.ifp_packets().congested) t38_ifp__release_redundancy(s);
    tx_append(st, primary);
    while (st.tx_count > st.red_current + 1u) tx_drop_oldest(s);
    auto fail = [&](u16 code, const char* text) {
      t38_mem__free_data_objects(fields, s);
      tx_unlink(st, primary);
      s.pools.free_ifp_pck(primary);
      t38__trap(s, code, text);
      return OM_OS_NOK;
    };
    if (st.tx_seq == NONE) {
      return fail(T38__TRAP__IFP_PCK__SND_TOO_MUCH_UDPTL_PCK,
                  "T38->send_udptl_pck: 0xFFFFFFFFL UDPTL packets have been sent");
    }
    primary->ext_seq = st.tx_seq++;
    const u16 type_trap = t38_ifp__set_type(*primary, type_byte, fields);
    if (type_trap != 0) {
      return fail(
          type_trap,
          type_trap == T38__TRAP__IFP_PCK__MISSING_DATA_FIELD
              ? "T38->send_udptl_pck: Type of IFP packet = T38_IFP__TYPE_DATA but there is no data_field"
              : "T38->send_udptl_pck: Type of IFP packet = T38_IFP__TYPE_T30_INDICATOR but there is data_field");
    }
    fields = nullptr;  // the packet holds them now
    count_fields(s, primary->fields);
    if (encode_ifp_packet(*primary, 0, t38_runtime_chains()) != 0) {
      return fail(T38__TRAP__IFP_PCK__ERR_COD_IFP_PCK,
                  "T38->send_udptl_pck: Type of IFP packet = Error while coding IFP packet");
    }
    c.asn1_efficiency += primary->encoded.length;
  }
  c.asn1_total += primary->encoded.length;

  byte_ref secondaries[256];
  u16 n_sec = 0;
  for (t38_ifp_packet* q = primary->prev; q != nullptr && n_sec < 256; q = q->prev) {
    secondaries[n_sec++] = q->encoded;
    c.asn1_total += q->encoded.length;
    c.asn1_redundancy += q->encoded.length;
    if (idle) c.asn1_idle += q->encoded.length;
  }
  t38_udptl_out out{static_cast<u16>(primary->ext_seq), primary->encoded, secondaries, n_sec};
  t38_udptl_encoded enc;
  const u16 trap = t38_udptl__encode(out, datagram_limit(s), T38_UDPTL__ADDR_RECORD_SIZE, t38_runtime_chains(), enc);
  if (trap == T38__TRAP__IFP_PCK__ASN1__TOO_LONG) {
    t38__log(s, T38_TRC__PACKET,
             "ERROR: can't rebuild Rebuild UDPTL packet %u (Ext #%lu) because there is no redundancy packet\n",
             primary->ext_seq & 0xFFFF, static_cast<unsigned long>(primary->ext_seq));
    t38__log(s, T38_TRC__PACKET, "its ASN.1 size (%d) is > to max datagram size (%d)\n",
             static_cast<int>(t38_udptl__encoded_size(out, 0)), datagram_limit(s));
    t38__trap(s, trap, "T38->send_udptl_pck: ASN.1 UDPTL packet size is > T38__set_cap__max_datagram_size");
    return OM_OS_NOK;
  }
  if (trap != 0) {
    t38__trap(s, trap, nullptr);
    return OM_OS_NOK;
  }
  for (u16 k = n_sec; k > enc.secondaries_sent; --k) {
    const u32 shed = primary->ext_seq - k;
    t38__log(s, T38_TRC__PACKET, "Rebuild UDPTL packet %u (Ext #%lu)\n", primary->ext_seq & 0xFFFF,
             static_cast<unsigned long>(primary->ext_seq));
    t38__log(s, T38_TRC__PACKET,
             " because its ASN.1 size (%d) is > to max datagram size (%d) (remove redundancy IFP packet %u)\n",
             static_cast<int>(t38_udptl__encoded_size(out, k)), datagram_limit(s), shed & 0xFFFF);
  }
  if (!idle && t38__tracing(s, T38_TRC__PACKET)) t38_trace()->packet(s, T38_TRC__TX, *primary, enc.secondaries_sent);
  if (t38__tracing(s, T38_TRC__ASN1_HEX)) {
    t38_trace()->asn1_dump(s, T38_TRC__TX, byte_ref{enc.data, enc.length, enc.chain});
  }
  if (mode == T38_IFP__MODE_ENCODE_ONLY) {
    t38_runtime_chains().release(enc.chain);
    return OM_OS_OK;
  }
  msg_t* m = Alloc_msg();
  if (m == nullptr) {
    t38_runtime_chains().release(enc.chain);
    t38__trap(s, T38__TRAP__IFP_PCK__NO_MORE_MSG, "T38->send_udptl_pck: Alloc_msg returns P_NIL");
    return OM_OS_NOK;
  }
  buffer_t* b = as_buffer(enc.chain);
  sock_addr peer;
  peer.family = SOCK_FAMILY_IPV4;
  std::memcpy(&peer.addr_net, s.addr.remote_ipv4_addr, 4);
  peer.port = s.addr.remote_port;
  sock_udp_header_pack(peer, 0, 0, Buffer_data(b));
  Msg_attach_chain(m, b);
  Msg_set_head(m, t38__socket_head(s, SOCK_U_DA_RQ));
  t38__log(s, T38_TRC__MSG, "SOCK_U_DA_RQ (p_msg = 0x%8X)\n", msg_ref(m));
  Send_msg(m);
  if (c.datagram_bytes + enc.length < c.datagram_bytes) {
    c.datagram_bytes = 0;
    c.datagrams = 0;
  }
  ++c.datagrams;
  c.datagram_bytes += enc.length;
  c.largest_datagram = static_cast<u16>(std::max<u32>(c.largest_datagram, enc.length));
  after_send(s);
  return OM_OS_OK;
}

u8 t38_ifp__store_rcv_udptl_pck(msg_t* m, t38_session& s) {
  t38_ifp_state& st = s.ifp;
  t38_ifp_counters& c = st.cnt;
  ++c.received;
  if (s.pools.congested() || om_os_get_congestion() != 0) {
    t38__log(s, T38_TRC__PACKET, "A congestion state has been detected then ignore this SOCK_U_DA_IN 0x%X\n",
             msg_ref(m));
    return OM_OS_NOK;
  }
  byte_ref datagram;
  if (!data_after(m, SOCK_UDP_HEADER_SIZE, datagram)) {
    ++c.decode_errors;
    t38__trap(s, T38__TRAP__IFP_PCK__ERR_DECOD_UDPTL_1,
              "T38->t38_ifp__store_rcv_udptl_pck (asnp_get_sequence): no optional parameters");
    return OM_OS_NOK;
  }
  // Peers behind NAT send from other addresses than they announce: such
  // datagrams are counted and still taken.
  if (!from_peer(m, s)) ++c.foreign_source;
  if (t38__tracing(s, T38_TRC__ASN1_HEX)) t38_trace()->asn1_dump(s, T38_TRC__RX, datagram);
  if (s.dcn_seen) {
    t38__log(s, T38_TRC__PACKET, "Rx UDP packet has been ignored because DCN has ben detected\n");
    return OM_OS_OK;
  }
  if (apply_filter(m, s) == T38__IP_PACKET_DROP) {
    ++c.rejected;
    t38__log(s, T38_TRC__PACKET, "Rx IP packet has been filtered by the user (T38__ip_packet_filter)\n");
    return OM_OS_OK;
  }
  t38_udptl_in in;
  const u16 trap = t38_udptl__decode(datagram, &t38_runtime_chains(), t38_runtime_chains(), in);
  if (trap != 0) {
    ++c.decode_errors;
    t38__trap(s, trap, nullptr);
    return OM_OS_NOK;
  }
  const u32 p_last = st.last_delivered;
  const u32 ext = t38_udptl__extend_seq(in.seq, p_last);
  if (ext == NONE) {
    ++c.decode_errors;
    t38_udptl__release(in, t38_runtime_chains());
    t38__trap(s, T38__TRAP__IFP_PCK__RCV_TOO_MUCH_UDPTL_PCK,
              "T38->t38_ifp__store_rcv_udptl_pck: 0xFFFFFFFF UDPTL packets have been received");
    return OM_OS_NOK;
  }
  c.asn1_received += in.primary.length;
  if (in.recovery_trap != 0) {
    ++c.decode_errors;
    t38__trap(s, in.recovery_trap, "T38->t38_ifp__store_rcv_udptl_pck: Only redundancy error recovery is supported");
    t38__log(s, T38_TRC__PACKET, "Secundary packet stored in FEC mode; Ignore them\n");
  } else if (in.secondary_trap != 0) {
    t38__log(s, T38_TRC__PACKET, "Secundary packet ASN.1 decoding error; Ignore them\n");
  }
  // The estimate rests on the secondaries kept, never on the count the
  // peer claims, so that it stays within what the pool can hold.
  if (in.n_secondaries > st.peer_redundancy) st.peer_redundancy = in.n_secondaries;

  if (p_last != NONE && ext <= p_last) {
    t38__log(s, T38_TRC__PACKET, "Discard this RX UDPTL Packet seq-number= %u (Ext #%lu) (already received)\n", in.seq,
             static_cast<unsigned long>(ext));
    ++c.already_received;
    t38_udptl__release(in, t38_runtime_chains());
    return OM_OS_OK;
  }
  t38_ifp_packet* p = s.pools.alloc_ifp_pck();
  if (p == nullptr) {
    t38_udptl__release(in, t38_runtime_chains());
    t38__trap(s, T38__TRAP__IFP_PCK__NO_MORE_IFP_PCK,
              "T38->t38_ifp__store_rcv_udptl_pck: t38_mem__alloc_ifp_pck_object returns P_NIL");
    return OM_OS_NOK;
  }
  p->decoded = 0;
  p->ext_seq = ext;
  p->encoded = in.primary;
  in.primary = byte_ref{};
  const insert_result r = search_and_insert_ifp_pck(p, s);
  if (r != insert_result::inserted) {
    if (r == insert_result::duplicate) {
      t38__log(s, T38_TRC__PACKET,
               "Discard primary IFP pck seq-number= %u (Ext #%lu) of RX UDPTL Packet (already received)\n", in.seq,
               static_cast<unsigned long>(ext));
      ++c.already_received;
    }
    s.pools.free_ifp_pck(p);
  } else if (t38__tracing(s, T38_TRC__PACKET)) {
    t38_trace()->packet(s, T38_TRC__RX, *p, in.n_secondaries);
  }
  for (u16 i = 0; i < in.n_secondaries; ++i) {
    const u32 back = i + 1u;
    if (ext < back || (p_last != NONE && ext - back <= p_last)) break;
    t38_ifp_packet* q = s.pools.alloc_ifp_pck();
    if (q == nullptr) {
      t38__trap(s, T38__TRAP__IFP_PCK__NO_MORE_IFP_PCK,
                "T38->t38_ifp__store_rcv_udptl_pck: t38_mem__alloc_ifp_pck_object returns P_NIL");
      break;
    }
    q->decoded = 0;
    q->ext_seq = ext - back;
    q->encoded = in.secondaries[i];
    in.secondaries[i] = byte_ref{};
    if (search_and_insert_ifp_pck(q, s) != insert_result::inserted) s.pools.free_ifp_pck(q);
  }
  t38_udptl__release(in, t38_runtime_chains());
  return OM_OS_OK;
}

u8 t38_ifp__get_ifp_pck(t38_rx_packet& out, t38_session& s) {
  t38_ifp_state& st = s.ifp;
  out = t38_rx_packet{};
  t38_ifp_packet* head = st.rx_head;
  if (head == nullptr) return OM_OS_OK;
  const u32 expected = st.last_delivered + 1;
  if (s.is_udp() && head->ext_seq != expected) {
    // Later datagrams may still bring the missing packet, unless the fifo
    // already holds more than the peer repeats, or the pool runs short.
    if (st.rx_count <= st.peer_redundancy && !s.pools.ifp_packets().congested) {
      out.remaining = st.rx_count;
      return OM_OS_OK;
    }
    // One gap is declared at once, however long it is.
    const u32 lost = head->ext_seq - expected;
    st.cnt.lost += lost;
    t38__log(s, T38_TRC__PACKET,
             "Error: IFP packet %u (Ext #%lu) is lost (estimated nb_redundancy_ifp_pck = %d is reached)\n",
             expected & 0xFFFF, static_cast<unsigned long>(expected), st.peer_redundancy);
    if (lost > 1) {
      t38__log(s, T38_TRC__PACKET, "Error: %u IFP packets are lost, up to %u (Ext #%lu)\n", lost,
               (head->ext_seq - 1) & 0xFFFF, static_cast<unsigned long>(head->ext_seq - 1));
    }
    st.data_lost = 1;
    t38_report__trap(0, T38__ERR_REPORT__UDPTL_LOST, 0, "", "", s, lost);
  }
  t38_ifp_packet* p = rx_pop_head(st);
  if (p->type == T38_IFP__TYPE_DATA) {
    for (t38_data_field* f = p->fields; f != nullptr; f = f->next) {
      if (f->field_type >= T38_FIELD__HDLC_FCS_OK && f->field_type <= T38_FIELD__HDLC_FCS_BAD_SIG_END) {
        f->data_lost = st.data_lost;
        if (st.data_lost) {
          t38__log(s, T38_TRC__PACKET, "Set flag data lost = TRUE into Data Field 0x%X   Seq-Number %u (Ext #%lu)\n",
                   static_cast<u32>(reinterpret_cast<uintptr_t>(f)), p->ext_seq & 0xFFFF,
                   static_cast<unsigned long>(p->ext_seq));
        }
        st.data_lost = 0;
      } else if (f->field_type == T38_FIELD__HDLC_SIG_END || f->field_type == T38_FIELD__T4_NON_ECM_SIG_END) {
        st.data_lost = 0;
      }
    }
  } else {
    st.data_lost = 0;
  }
  st.last_delivered = p->ext_seq;
  st.cnt.asn1_delivered += p->encoded.length;
  out.ext_seq = p->ext_seq;
  out.type_byte = p->type_value;
  out.fields = p->fields;
  p->fields = nullptr;
  s.pools.free_ifp_pck(p);
  out.remaining = st.rx_count;
  return OM_OS_OK;
}

void t38_ifp__rx_append(t38_ifp_state& st, t38_ifp_packet* p) { rx_link_after(st, st.rx_tail, p); }

t38_ifp_packet* t38_ifp__alloc_pck_for(t38_data_field* fields, t38_session& s, const char* text) {
  t38_ifp_packet* p = s.pools.alloc_ifp_pck();
  if (p == nullptr) {
    t38_mem__free_data_objects(fields, s);
    t38__trap(s, T38__TRAP__IFP_PCK__NO_MORE_IFP_PCK, text);
  }
  return p;
}

u8 t38_ifp__store_again_rcv_ifp_pck(u8 type_byte, t38_data_field* fields, t38_session& s) {
  t38_ifp_state& st = s.ifp;
  t38_ifp_packet* p = t38_ifp__alloc_pck_for(
      fields, s, "T38->t38_ifp__store_again_rcv_ifp_pck: t38_mem__alloc_ifp_pck_object returns P_NIL");
  if (p == nullptr) return OM_OS_NOK;
  if (s.pools.ifp_packets().congested) t38_ifp__release_redundancy(s);
  const u16 trap = t38_ifp__set_type(*p, type_byte, fields);
  if (trap != 0) {
    t38_mem__free_data_objects(fields, s);
    s.pools.free_ifp_pck(p);
    t38__trap(s, trap,
              trap == T38__TRAP__IFP_PCK__MISSING_DATA_FIELD
                  ? "T38->t38_ifp__store_again_rcv_ifp_pck: Type of IFP packet = T38_IFP__TYPE_DATA but there is no "
                    "data_field"
                  : "T38->t38_ifp__store_again_rcv_ifp_pck: Type of IFP packet = T38_IFP__TYPE_T30_INDICATOR but there "
                    "is data_field");
    return OM_OS_NOK;
  }
  p->ext_seq = st.last_delivered;
  rx_link_after(st, nullptr, p);
  st.last_delivered = st.last_delivered - 1;
  return OM_OS_OK;
}

void t38_ifp__update_inactivity(u32 ms, t38_session& s) {
  t38_ifp_state& st = s.ifp;
  if (!s.is_udp()) {
    t38__timer_stop(s, TI_IP_INACTIVE);
    return;
  }
  if (ms == st.inact_current) {
    st.inact_pending = 0;
    return;
  }
  if (ms == 0xFFFF) {
    t38__log(s, T38_TRC__PACKET, "Stop Ip inactivity timer\n");
    st.inact_current = 0;
    st.inact_pending = 0;
    t38__timer_stop(s, TI_IP_INACTIVE);
    return;
  }
  if (st.inact_current != 0 && (ms == 0 || ms > st.inact_current)) {
    st.inact_requested = ms;
    st.inact_pending = 5;
    t38__log(s, T38_TRC__PACKET, "Ip inactivity timer (%d ms -> %d ms) will be updated after %d times\n",
             static_cast<int>(st.inact_current), static_cast<int>(ms), 5);
    return;
  }
  t38__log(s, T38_TRC__PACKET, "Update Ip inactivity timer (%d ms -> %d ms)\n", static_cast<int>(st.inact_current),
           static_cast<int>(ms));
  st.inact_current = st.inact_requested = ms;
  st.inact_pending = 0;
  s.timer_val[TI_IP_INACTIVE] = ms;
  if (ms != 0) t38__timer_start(s, TI_IP_INACTIVE);
  else t38__timer_stop(s, TI_IP_INACTIVE);
}

void t38_ifp__update_redundancy(u16 n, t38_session& s) {
  t38_ifp_state& st = s.ifp;
  if (!s.is_udp()) return;
  if (n == st.red_current) {
    st.red_pending = 0;
    return;
  }
  const u16 m = st.red_current;
  if (!s.ip.fast_switch_redundancy && m != 0 && (n < m || n == 0)) {
    st.red_requested = n;
    st.red_pending = m;
    t38__log(s, T38_TRC__PACKET, "Nb of redundancy IFP pck (%d -> %d) will be updated after %d times\n", m, n, m);
    return;
  }
  t38__log(s, T38_TRC__PACKET, "Update Nb of redundancy IFP pck (%d -> %d)\n", m, n);
  st.red_current = st.red_requested = n;
  st.red_pending = 0;
  const u16 before = st.max_dfield_size;
  st.max_dfield_size = t38_udptl__max_data_field_size(n, datagram_limit(s));
  t38__log(s, T38_TRC__PACKET, "Update max size of Data field object (%d -> %d)\n", before, st.max_dfield_size);
}

void t38_ifp__release_redundancy(t38_session& s) {
  if (!s.is_udp()) return;
  while (s.ifp.tx_count > 1) {
    t38__log(s, T38_TRC__PACKET, "Congestion process: release redundancy IFP packet #%u\n",
             s.ifp.tx_first->ext_seq & 0xFFFF);
    tx_drop_oldest(s);
  }
}

void t38_ifp__send_idle(t38_session& s) {
  const t38_ifp_packet* last = s.ifp.tx_last;
  if (last == nullptr) return;
  t38__log(s, T38_TRC__PACKET, "Send IDLE UDPTL Packet: TX UDPTL Packet seq-number= %u (Ext #%lu)\n",
           last->ext_seq & 0xFFFF, static_cast<unsigned long>(last->ext_seq));
  (void)send_udptl_pck(T38_IFP__MODE_IDLE, 0, nullptr, s);
}

void t38_ifp__release_lists(t38_session& s) {
  t38__timer_stop(s, TI_IP_INACTIVE);
  while (s.ifp.tx_first != nullptr) tx_drop_oldest(s);
  while (t38_ifp_packet* p = rx_pop_head(s.ifp)) s.pools.free_ifp_pck(p);
  if (s.tpkt) s.tpkt->reset();
}

bool t38_ifp__has_sent(const t38_session& s) { return s.is_udp() ? s.ifp.tx_seq != 0 : s.ifp.tpkt_tx_counter != 0; }

void t38_ifp__statistics(const t38_session& s, u8* record) {
  const t38_ifp_counters& c = s.ifp.cnt;
  if (s.is_udp()) {
    u8* p = record + 84;
    const u32 tx[6] = {c.udptl_sent, c.idle_sent, c.asn1_total, c.asn1_efficiency, c.asn1_redundancy, c.asn1_idle};
    for (u32 i = 0; i < 6; ++i) put_le32(p + 4 * i, tx[i]);
    p = record + 108;
    const u16 sizes[6] = {static_cast<u16>(c.datagrams != 0 ? c.datagram_bytes / c.datagrams : 0),
                          static_cast<u16>(c.datagrams != 0 ? c.largest_datagram : 0),
                          s.adjusted.max_datagram_size,
                          static_cast<u16>(c.dfield_count != 0 ? c.dfield_bytes / c.dfield_count : 0),
                          static_cast<u16>(c.dfield_count != 0 ? c.largest_dfield : 0),
                          T38__MAX_SIZE_DATA_FIELD};
    for (u32 i = 0; i < 6; ++i) put_le16(p + 2 * i, sizes[i]);
    p = record + 120;
    const u32 rx[8] = {c.received, c.received - c.rejected, c.rejected, c.asn1_received, c.asn1_delivered, c.retrieved,
                       c.lost,     c.decode_errors};
    for (u32 i = 0; i < 8; ++i) put_le32(p + 4 * i, rx[i]);
  } else {
    u8* p = record + 152;
    const u32 tcp[5] = {c.tpkt_sent, c.tpkt_bytes_sent, c.tpkt_received, c.tpkt_bytes_received, c.tpkt_errors};
    for (u32 i = 0; i < 5; ++i) put_le32(p + 4 * i, tcp[i]);
  }
}

}  // namespace kv::t38
