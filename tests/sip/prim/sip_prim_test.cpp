// Primitive body writer and reader: index, node packing across buffers, the
// order of a slot's list, and the refusals of an overfull or malformed body.
#include "sip/prim/sip_prim.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/byte_order.h"
#include "runtime/om_os.h"
#include "runtime/support/rt_harness.h"

namespace {

const entity_table_row_t TABLE[] = {
    {ENT_SM, rt_test::record_handler, 0, 0, nullptr, 0},
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

class SipPrim : public ::testing::Test {
 protected:
  void SetUp() override {
    rt_test::start_manual(TABLE);
    rt_test::pump();
    base_held = held();
  }
  void TearDown() override {
    EXPECT_EQ(held(), base_held);  // every buffer handed back
    rt_test::stop();
  }
  static int held() { return om_os_buffer_pool_stats().in_use - om_os_it_buffer_pool_stats().count; }
  int base_held = 0;
};

// Adds one node of `fixed` bytes with one text on `slot` (byte offset).
bool add(sip_prim_cursor& c, std::uint16_t slot, std::uint16_t fixed, const std::string& text) {
  if (!sip_prim__add_element(slot, c)) return false;
  std::uint8_t* node = sip_prim__begin_fixed(fixed, c);
  if (node == nullptr) return false;
  const std::uint16_t len = sip_prim__put(text.data(), static_cast<std::uint16_t>(text.size()), true, c);
  if (fixed >= 4) put_host16(node + 2, len);
  return !c.failed;
}

// The chain's data as one flat body.
std::vector<std::uint8_t> flat(const buffer_t* chain) {
  std::vector<std::uint8_t> out;
  for (const buffer_t* b = chain; b != nullptr; b = b->next)
    out.insert(out.end(), Buffer_data(b), Buffer_data(b) + b->data_size);
  return out;
}

// The texts of one slot's list, read back through the reader.
std::vector<std::string> texts(const std::vector<std::uint8_t>& body, unsigned slot, std::uint16_t fixed) {
  sip_prim_cursor r;
  sip_prim__open(body.data(), static_cast<std::uint16_t>(body.size()), r);
  std::vector<std::string> out;
  std::uint8_t n = sip_prim__first_element(body.data() + slot, fixed, r);
  EXPECT_NE(n, SIP_PRIM_BAD_LIST);
  for (std::uint8_t left = n; left > 0;) {
    const std::uint16_t len = get_host16(r.element + 2);
    const std::uint8_t* p = sip_prim__take(len, r);
    EXPECT_NE(p, nullptr);
    if (p == nullptr) break;
    out.emplace_back(reinterpret_cast<const char*>(p), len > 0 ? len - 1 : 0);
    const std::uint8_t next = sip_prim__next_element(fixed, r);
    EXPECT_EQ(next, left - 1);
    left = next;
  }
  return out;
}

}  // namespace

TEST_F(SipPrim, EmptyBodyIsTheEvenIndex) {
  struct Case {
    std::uint16_t index_bytes;
    std::uint16_t size;
  } cases[] = {{116, 116}, {3, 4}, {0, 0}, {2, 2}};
  for (const auto& k : cases) {
    buffer_t* b = Alloc_buffer();
    sip_prim_cursor c;
    sip_prim__init(k.index_bytes, b, c);
    EXPECT_EQ(sip_prim__finish(c), k.size) << k.index_bytes;
    for (unsigned i = 0; i < k.size; ++i) EXPECT_EQ(Buffer_data(b)[i], 0);
    EXPECT_EQ(b->next, nullptr);
    Free_buffer(b);
  }
}

TEST_F(SipPrim, OddNodesArePaddedAndListsKeepTheirOrder) {
  buffer_t* b = Alloc_buffer();
  sip_prim_cursor c;
  sip_prim__init(6, b, c);
  // Slot 0 gets three nodes with nodes of slots 1 and 2 in between.
  ASSERT_TRUE(add(c, 0, 4, "a"));   // 4 + 2 = 6 bytes
  ASSERT_TRUE(add(c, 2, 4, "bb"));  // 4 + 3 = 7: one pad byte follows
  ASSERT_TRUE(add(c, 0, 4, "ccc"));
  ASSERT_TRUE(add(c, 4, 4, "d"));
  ASSERT_TRUE(add(c, 0, 4, "eeeee"));
  const std::uint16_t size = sip_prim__finish(c);
  ASSERT_FALSE(c.failed);
  EXPECT_EQ(b->next, nullptr);  // everything packed into the first buffer
  const auto body = flat(b);
  EXPECT_EQ(body.size(), size);
  EXPECT_EQ(get_host16(body.data()), 6);       // first node behind the index
  EXPECT_EQ(get_host16(body.data() + 2), 12);  // "bb" node
  EXPECT_EQ(get_host16(body.data() + 6), 20);  // link of node "a" -> "ccc" at even 20
  EXPECT_EQ(body[19], 0);                      // the pad byte after "bb"
  EXPECT_EQ(texts(body, 0, 4), (std::vector<std::string>{"a", "ccc", "eeeee"}));
  EXPECT_EQ(texts(body, 2, 4), (std::vector<std::string>{"bb"}));
  EXPECT_EQ(texts(body, 4, 4), (std::vector<std::string>{"d"}));

  // First returns the list length, next counts down and ends at 0.
  sip_prim_cursor r;
  sip_prim__open(body.data(), size, r);
  EXPECT_EQ(sip_prim__first_element(body.data(), 4, r), 3);
  EXPECT_EQ(sip_prim__next_element(4, r), 2);
  EXPECT_EQ(sip_prim__next_element(4, r), 1);
  EXPECT_EQ(sip_prim__next_element(4, r), 0);
  EXPECT_EQ(r.element, r.base);
  EXPECT_EQ(sip_prim__next_element(4, r), 0);
  Free_buffer(b);
}

TEST_F(SipPrim, NodesOverflowIntoFurtherBuffersWithOffsetsCountingOn) {
  const std::uint16_t room = om_os_get_buffer_room();
  buffer_t* b = Alloc_buffer();
  sip_prim_cursor c;
  sip_prim__init(4, b, c);
  std::vector<std::string> a, d;
  for (int i = 0; i < 12; ++i) {
    a.push_back(std::string(300, static_cast<char>('a' + i)));
    ASSERT_TRUE(add(c, 0, 4, a.back()));
    d.push_back(std::to_string(i));
    ASSERT_TRUE(add(c, 2, 4, d.back()));
  }
  sip_prim__finish(c);
  ASSERT_FALSE(c.failed);
  ASSERT_NE(b->next, nullptr);
  unsigned buffers = 0;
  for (const buffer_t* x = b; x != nullptr; x = x->next) {
    ++buffers;
    EXPECT_LE(x->data_size, room);
  }
  EXPECT_GE(buffers, 3u);
  const auto body = flat(b);
  EXPECT_GT(body.size(), 2u * room);
  EXPECT_EQ(texts(body, 0, 4), a);
  EXPECT_EQ(texts(body, 2, 4), d);
  Free_buffer(b);
}

TEST_F(SipPrim, WriterFailsCleanlyInsteadOfOverrunning) {
  const std::uint16_t room = om_os_get_buffer_room();
  {  // No buffer at all.
    sip_prim_cursor c;
    sip_prim__init(4, nullptr, c);
    EXPECT_TRUE(c.failed);
    EXPECT_FALSE(sip_prim__add_element(0, c));
  }
  {  // A node larger than one buffer's room goes on in the next buffer; one
     // that finds no buffer left fails the body, and stays failed.
    buffer_t* b = Alloc_buffer();
    sip_prim_cursor c;
    sip_prim__init(4, b, c);
    std::string big(room, 'x');
    EXPECT_TRUE(add(c, 0, 4, big));
    std::vector<buffer_t*> hoard;
    for (buffer_t* x; (x = Alloc_buffer()) != nullptr;) hoard.push_back(x);
    EXPECT_FALSE(add(c, 2, 4, big));
    EXPECT_TRUE(c.failed);
    EXPECT_FALSE(sip_prim__add_element(0, c));  // sticky
    sip_prim__finish(c);
    for (buffer_t* x : hoard) Free_buffer(x);
    Free_buffer(b);
  }
  {  // A flat area larger than the offsets can name: the node that would pass
     // offset 65,534 is refused.
    std::vector<std::uint8_t> area(70000);
    sip_prim_cursor c;
    sip_prim__init_flat(2, area.data(), static_cast<std::uint32_t>(area.size()), c);
    std::string text(1000, 'y');
    int added = 0;
    while (add(c, 0, 4, text)) ++added;
    EXPECT_EQ(added, 65);  // 65 x 1006 bytes fit below 65,534
    EXPECT_TRUE(c.failed);
    EXPECT_LE(c.write - c.base, 65534);
  }
  {  // A chained body that grows past the largest offset stops there: the
     // offset base never wraps round to name an earlier node.
    buffer_t* b = Alloc_buffer();
    sip_prim_cursor c;
    sip_prim__init(2, b, c);
    const std::string text(room - 8, 'w');  // one node per buffer
    std::uint32_t logical_end = 2;
    int added = 0;
    while (added < 80 && add(c, 0, 4, text)) {
      ++added;
      logical_end += 4 + static_cast<std::uint32_t>(text.size()) + 1;
    }
    EXPECT_TRUE(c.failed);
    EXPECT_LT(added, 80);
    EXPECT_GE(om_os_buffer_pool_stats().limit - held(), 1);  // stopped by the offsets, not the pool
    EXPECT_LE(logical_end, 65535u);
    sip_prim__finish(c);
    // The list still reads, forward only, up to the node that did not fit
    // (the failed body is refused by its builder).
    const auto body = flat(b);
    const auto read = texts(body, 0, 4);
    ASSERT_GE(read.size(), static_cast<std::size_t>(added));
    EXPECT_EQ(read[static_cast<std::size_t>(added) - 1], text);
    Free_buffer(b);
  }
  {  // The buffer pool runs dry while nodes are added.
    std::vector<buffer_t*> hoard;
    buffer_t* b = Alloc_buffer();
    sip_prim_cursor c;
    sip_prim__init(2, b, c);
    ASSERT_TRUE(add(c, 0, 4, "first"));
    for (buffer_t* x; (x = Alloc_buffer()) != nullptr;) hoard.push_back(x);
    bool ok = true;
    for (int i = 0; i < 10 && ok; ++i) ok = add(c, 0, 4, std::string(room / 2, 'z'));
    EXPECT_FALSE(ok);
    EXPECT_TRUE(c.failed);
    for (buffer_t* x : hoard) Free_buffer(x);
    sip_prim__finish(c);
    Free_buffer(b);
  }
}

TEST_F(SipPrim, ReaderRefusesListsThatDoNotHoldTogether) {
  // A 40-byte body: index of one slot, nodes of fixed length 4.
  auto body_with = [](std::uint16_t slot, std::vector<std::pair<std::uint16_t, std::uint16_t>> nodes) {
    std::vector<std::uint8_t> b(40, 0);
    put_host16(b.data(), slot);
    for (auto [at, link] : nodes) put_host16(b.data() + at, link);
    return b;
  };
  struct Case {
    const char* what;
    std::vector<std::uint8_t> body;
    std::uint8_t expect;
  } cases[] = {
      {"good list of two", body_with(4, {{4, 12}, {12, 0}}), 2},
      {"link back to itself", body_with(4, {{4, 4}}), SIP_PRIM_BAD_LIST},
      {"link backwards", body_with(12, {{12, 4}, {4, 0}}), SIP_PRIM_BAD_LIST},
      {"node past the end", body_with(60, {}), SIP_PRIM_BAD_LIST},
      {"fixed part past the end", body_with(38, {{38, 0}}), SIP_PRIM_BAD_LIST},
      {"link past the end", body_with(4, {{4, 200}}), SIP_PRIM_BAD_LIST},
  };
  for (auto& k : cases) {
    sip_prim_cursor r;
    sip_prim__open(k.body.data(), static_cast<std::uint16_t>(k.body.size()), r);
    EXPECT_EQ(sip_prim__first_element(k.body.data(), 4, r), k.expect) << k.what;
  }
  // A variable field longer than what is left of the body.
  auto b = body_with(4, {{4, 0}});
  put_host16(b.data() + 6, 100);
  sip_prim_cursor r;
  sip_prim__open(b.data(), static_cast<std::uint16_t>(b.size()), r);
  ASSERT_EQ(sip_prim__first_element(b.data(), 8, r), 1);
  EXPECT_EQ(sip_prim__take(100, r), nullptr);
  EXPECT_NE(sip_prim__take(28, r), nullptr);  // the rest of the body
}
