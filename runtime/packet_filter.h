// Filter that the T.38 receive path applies to each UDP datagram on a T.38
// port before the session has accepted its first packet.
#pragma once
#include "runtime/msg.h"
#include "runtime/types.h"

inline constexpr u8 T38__IP_PACKET_DROP = 4;
inline constexpr u8 T38__IP_PACKET_KEEP = 5;

// m: the received datagram, its data already positioned on the payload
// (behind the 28-byte address record).  next_seq: the next expected UDPTL
// sequence number, 0 until a first packet was accepted.  Keeps everything
// once next_seq is not 0; before that, drops a datagram whose first byte has
// the top bits 10 (an RTP version 2 packet arriving on the T.38 port).
u8 T38__ip_packet_filter(nai_t nai, u8 media_transport, const msg_t* m, u32 next_seq);
