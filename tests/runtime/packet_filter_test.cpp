#include <gtest/gtest.h>

#include "runtime/om_os.h"
#include "runtime/packet_filter.h"
#include "runtime/support/rt_harness.h"

using namespace rt_test;

TEST(PacketFilter, DropsRtpVersion2OnlyBeforeTheFirstAcceptedPacket) {
  start_manual(nullptr);
  struct tc {
    std::vector<u8> data;
    bool chained;
    u32 next_seq;
    u8 expect;
  } cases[] = {
      {{0x80, 0x00}, false, 0, T38__IP_PACKET_DROP}, {{0xBF}, true, 0, T38__IP_PACKET_DROP},
      {{0x80, 0x00}, false, 1, T38__IP_PACKET_KEEP},  // bypassed once packets were accepted
      {{0x00, 0x01}, false, 0, T38__IP_PACKET_KEEP}, {{0xC0}, true, 0, T38__IP_PACKET_KEEP},
      {{0x40}, false, 0, T38__IP_PACKET_KEEP},       {{}, false, 0, T38__IP_PACKET_KEEP},  // empty: nothing read
  };
  for (const auto& c : cases) {
    msg_t* m = Alloc_msg();
    if (c.chained) {
      Msg_attach_chain(m, Store_data_in_buffers(c.data.data(), static_cast<u32>(c.data.size()), nullptr));
    } else {
      // Positioned behind a 28-byte address record, as the receive path leaves it.
      m->data_offset = MSG_HEADER_SIZE + 28;
      m->data_size = static_cast<u8>(c.data.size());
      std::copy(c.data.begin(), c.data.end(), Msg_inline_data(m));
    }
    EXPECT_EQ(T38__ip_packet_filter(0, 'U', m, c.next_seq), c.expect);
    Free_msg(m);
  }
  stop();
}
