#include "runtime/packet_filter.h"

u8 T38__ip_packet_filter(nai_t, u8, const msg_t* m, u32 next_seq) {
  if (next_seq != 0 || !m) return T38__IP_PACKET_KEEP;
  if (Msg_data_size(m) == 0) return T38__IP_PACKET_KEEP;  // nothing to look at
  const u8 first = Msg_data(m)[0];
  return (first & 0xC0) == 0x80 ? T38__IP_PACKET_DROP : T38__IP_PACKET_KEEP;
}
