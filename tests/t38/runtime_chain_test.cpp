// The T.38 codecs over the runtime's own buffer chains: a datagram larger
// than one buffer is encoded behind the 28-byte address record, read back
// from the chain, and TCP data in runtime buffers is reframed; every buffer
// goes back to the pool.
#include "t38/runtime_chain.h"

#include <gtest/gtest.h>

#include <vector>

#include "runtime/msg.h"
#include "runtime/om_os.h"
#include "runtime/support/rt_harness.h"
#include "t38/ifp.h"
#include "t38/support/ifp_fixtures.h"
#include "t38/tpkt.h"
#include "t38/udptl.h"

namespace kv::t38 {
namespace {

using bytes = std::vector<uint8_t>;

const entity_table_row_t kTable[] = {
    {ENT_SM, rt_test::record_handler, 0, 0, nullptr, 0},
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

class RuntimeChains : public ::testing::Test {
 protected:
  void SetUp() override {
    rt_test::start_manual(kTable);
    rt_test::pump();
    base_ = held();
  }
  void TearDown() override {
    EXPECT_EQ(held(), base_);
    rt_test::stop();
  }
  static int held() { return om_os_buffer_pool_stats().in_use - om_os_it_buffer_pool_stats().count; }
  int base_ = 0;
};

TEST_F(RuntimeChains, DatagramSpanningBuffersBehindTheAddressRecord) {
  runtime_chain_pool& pool = t38_runtime_chains();
  const uint16_t room = pool.capacity();
  bytes primary(room - 100, 0x3C);
  bytes secondary(900, 0x4D);
  byte_ref secs[] = {{secondary.data(), static_cast<uint32_t>(secondary.size()), nullptr}};
  t38_udptl_out out{777, {primary.data(), static_cast<uint32_t>(primary.size()), nullptr}, secs, 1};
  t38_udptl_encoded enc;
  ASSERT_EQ(t38_udptl__encode(out, 4000, T38_UDPTL__ADDR_RECORD_SIZE, pool, enc), 0);

  buffer_t* first = as_buffer(enc.chain);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(first->next, nullptr);  // the datagram runs on into a second buffer
  EXPECT_EQ(first->data_offset, BUFFER_HEADER_SIZE);
  EXPECT_EQ(first->link_count, 1);
  EXPECT_EQ(first->data_size, room);
  EXPECT_EQ(Buffer_chain_length(first), T38_UDPTL__ADDR_RECORD_SIZE + enc.length);
  EXPECT_EQ(enc.data, Buffer_data(first) + T38_UDPTL__ADDR_RECORD_SIZE);

  t38_udptl_in in;
  ASSERT_EQ(t38_udptl__decode(byte_ref{enc.data, enc.length, enc.chain}, &pool, pool, in), 0);
  EXPECT_EQ(in.seq, 777);
  EXPECT_EQ(testing::bytes_of(&pool, in.primary), primary);
  ASSERT_EQ(in.n_secondaries, 1);
  EXPECT_EQ(testing::bytes_of(&pool, in.secondaries[0]), secondary);
  t38_udptl__release(in, pool);
  Free_buffer(first);
}

// The IFP codec's road through one runtime buffer: the encoding behind its
// header room, ready to hang on a message, then decoded and given back.
TEST_F(RuntimeChains, IfpPacketInOneBufferIsDecodedAndReleased) {
  runtime_chain_pool& pool = t38_runtime_chains();
  heap_field_pool fields;
  const bytes payload(50, 0x5A);
  t38_ifp_packet pck;
  t38_data_field* list = testing::make_fields(fields, {{T38_FIELD__T4_NON_ECM_DATA, payload}});
  ASSERT_EQ(t38_ifp__set_type(pck, T38_IFP__DATA_BIT | T38_DATA__V17_14400, list), 0);
  ASSERT_EQ(encode_ifp_packet(pck, 16, pool), 0);
  buffer_t* b = as_buffer(pck.encoded.chain);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->link_count, 1);
  EXPECT_EQ(b->next, nullptr);
  EXPECT_EQ(pck.encoded.first, Buffer_data(b) + 16);
  EXPECT_EQ(b->data_size, 16 + pck.encoded.length);
  t38_ifp_packet rx;
  rx.encoded = pck.encoded;
  t38_ifp_decode_env env{&pool, &fields, false};
  ASSERT_EQ(decode_ifp_packet(T38_IFP__DECODE_RELEASE, env, rx), 0);
  EXPECT_EQ(testing::fields_of(rx.fields), testing::fields_of(list));
  t38_ifp__free_data_fields(fields, rx.fields);
  t38_ifp__free_data_fields(fields, list);
  EXPECT_EQ(fields.live(), 0u);
}

TEST_F(RuntimeChains, TcpDataInRuntimeBuffersIsReframedAndDecoded) {
  runtime_chain_pool& pool = t38_runtime_chains();
  heap_field_pool fields;
  bytes ifp = testing::encode_flat(T38_IFP__DATA_BIT | T38_DATA__V21, {{T38_FIELD__HDLC_DATA, {0xFF, 0x13, 0x80}}});
  bytes stream;
  for (int i = 0; i < 3; ++i) {
    uint8_t h[4];
    ASSERT_TRUE(t38_tpkt__put_header(h, static_cast<uint32_t>(ifp.size())));
    stream.insert(stream.end(), h, h + 4);
    stream.insert(stream.end(), ifp.begin(), ifp.end());
  }
  buffer_t* rx = Store_data_in_buffers(stream.data(), static_cast<u32>(stream.size()), nullptr);
  ASSERT_NE(rx, nullptr);
  t38_tpkt_reassembler reasm(pool);
  int decoded = 0;
  auto r = reasm.feed(byte_ref{Buffer_data(rx), static_cast<uint32_t>(stream.size()), rx}, &pool,
                      [&](const byte_ref& payload) {
                        t38_ifp_packet pck;
                        pck.encoded = payload;
                        t38_ifp_decode_env env{&pool, &fields, false};
                        if (decode_ifp_packet(T38_IFP__DECODE_RELEASE, env, pck) == 0) ++decoded;
                        EXPECT_EQ(testing::fields_of(pck.fields).at(0).data, (bytes{0xFF, 0x13, 0x80}));
                        t38_ifp__free_data_fields(fields, pck.fields);
                      });
  EXPECT_EQ(r.frames, 3u);
  EXPECT_EQ(decoded, 3);
  Free_buffer(rx);
}

}  // namespace
}  // namespace kv::t38
