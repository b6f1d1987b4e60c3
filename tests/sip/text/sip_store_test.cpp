#include "sip/text/sip_store.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "runtime/om_os.h"
#include "runtime/support/rt_harness.h"

namespace {

const entity_table_row_t TABLE[] = {
    {ENT_SM, rt_test::record_handler, 0, 0, nullptr, 0},
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

class SipStore : public ::testing::Test {
 protected:
  void SetUp() override {
    rt_test::start_manual(TABLE);
    rt_test::pump();
  }
  void TearDown() override { rt_test::stop(); }
  static int held_bufs() { return om_os_buffer_pool_stats().in_use - om_os_it_buffer_pool_stats().count; }
};

buffer_t* filled(size_t n, char c) {
  buffer_t* b = Alloc_buffer();
  std::memset(Buffer_data(b), c, n);
  b->data_size = static_cast<uint16_t>(n);
  return b;
}

}  // namespace

TEST_F(SipStore, StoreCopiesWithNulAndChainsNewHeads) {
  const int b0 = held_bufs();
  buffer_t* head = nullptr;
  sip_str with_nul;
  sip_str__from_cstr(&with_nul, "abc");
  const char* a = sip_str__store(&head, with_nul);
  ASSERT_NE(a, nullptr);
  EXPECT_STREQ(a, "abc");
  EXPECT_EQ(head->data_size, 4);
  const char* e = sip_str__store(&head, sip_str{});
  ASSERT_NE(e, nullptr);
  EXPECT_STREQ(e, "");
  EXPECT_EQ(e, a + 4);

  // A copy that would fill the head to its room goes into a new head.
  const uint16_t room = om_os_get_buffer_room();
  std::string big(room - 5u - 1u, 'x');  // 5 used + this + NUL == room
  buffer_t* old = head;
  const char* c = sip_str__store(&head, sip_str{static_cast<uint16_t>(big.size()), big.data()});
  ASSERT_NE(c, nullptr);
  EXPECT_NE(head, old);
  EXPECT_EQ(head->next, old);
  EXPECT_EQ(std::string(c), big);
  EXPECT_STREQ(a, "abc");  // earlier copies stay where they are

  // Too long for any buffer: null, nothing allocated.
  std::string huge(room - 1u, 'y');
  const int before = held_bufs();
  EXPECT_EQ(sip_str__store(&head, sip_str{static_cast<uint16_t>(huge.size()), huge.data()}), nullptr);
  EXPECT_EQ(held_bufs(), before);
  Free_buffer(head);
  EXPECT_EQ(held_bufs(), b0);
}

TEST_F(SipStore, SmallBlockIsCopiedInlineBehindTheHeaderRoom) {
  const int b0 = held_bufs();
  buffer_t* b = filled(40, 'q');
  msg_t* m = sip_msg__from_block(b, 20);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->p_buffer, nullptr);
  EXPECT_EQ(m->data_offset, MSG_HEADER_SIZE + 20);
  EXPECT_EQ(m->data_size, 40);
  EXPECT_EQ(Msg_inline_data(m)[0], 'q');
  EXPECT_EQ(held_bufs(), b0);  // the buffer went back
  Free_msg(m);
}

TEST_F(SipStore, LargeOrChainedBlocksAreAttachedWithOneMoreLink) {
  const int b0 = held_bufs();
  // Too large for the inline room behind the header room: attached, counts 0 -> 1.
  buffer_t* b = filled(50, 'r');
  msg_t* m = sip_msg__from_block(b, 20);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->p_buffer, b);
  EXPECT_EQ(b->link_count, 1);
  EXPECT_EQ(Msg_data_size(m), 50);
  Free_msg(m);
  EXPECT_EQ(held_bufs(), b0);

  // A shared chain of two: each count grows by one, and the sender's hold
  // survives the message.
  buffer_t* first = filled(10, 's');
  buffer_t* second = filled(10, 't');
  first->next = second;
  first->link_count = 1;
  second->link_count = 1;
  msg_t* m2 = sip_msg__from_block(first, 0);
  ASSERT_NE(m2, nullptr);
  EXPECT_EQ(first->link_count, 2);
  EXPECT_EQ(second->link_count, 2);
  EXPECT_EQ(Msg_data_size(m2), 10);
  Free_msg(m2);
  EXPECT_EQ(held_bufs(), b0 + 2);
  EXPECT_EQ(first->link_count, 1);
  Free_buffer(first);
  EXPECT_EQ(held_bufs(), b0);

  EXPECT_EQ(sip_msg__from_block(nullptr, 0), nullptr);
}
