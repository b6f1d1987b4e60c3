// FOIP API records in messages: a record larger than a buffer travels as a
// chain and comes back whole; every body whose length is not the record's is
// refused before it is read; the long-data services give back what they took.
#include "session/foip/app_foip_prim.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "runtime/mem.h"
#include "runtime/om_os.h"
#include "runtime/support/rt_harness.h"

namespace {

using namespace rt_test;

// The fake FOIP entity keeps the last message it received.
msg_t* g_kept = nullptr;
void keep_handler(msg_t* m) {
  if (g_kept) Free_msg(g_kept);
  g_kept = m;
}

const entity_table_row_t TABLE[] = {
    {ENT_FOIP, keep_handler, 0, 0, nullptr, 0},
    {ENT_APP_FOIP, record_handler, 0, 0, nullptr, 0},
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

// Records taken from the pools and not given back (the interrupt-side pools
// keep freed records of the normal pools: they count as free).
int held_msgs() { return int(om_os_msg_pool_stats().in_use) - int(om_os_it_msg_pool_stats().count); }
int held_buffers() { return int(om_os_buffer_pool_stats().in_use) - int(om_os_it_buffer_pool_stats().count); }

class FoipApi : public ::testing::Test {
 protected:
  void SetUp() override {
    start_manual(TABLE);
    pump();
    msgs_ = held_msgs();  // the interrupt-side pools hold some
    buffers_ = held_buffers();
  }
  void TearDown() override {
    if (g_kept) Free_msg(g_kept);
    g_kept = nullptr;
    EXPECT_EQ(held_msgs(), msgs_);
    EXPECT_EQ(held_buffers(), buffers_);
    stop();
  }
  int msgs_ = 0, buffers_ = 0;
};

// A message from ENT_FOIP with `n` bytes of data (inline, one buffer or a
// chain, as the size asks).
msg_t* foip_msg(code_t code, u32 n, u8 fill = 0) {
  std::vector<u8> bytes(n, fill);
  msg_t* m = Alloc_msg();
  if (n <= om_os_get_msg_room()) {
    m->data_size = static_cast<u8>(n);
    if (n) std::memcpy(Msg_inline_data(m), bytes.data(), n);
  } else {
    Msg_attach_chain(m, Store_data_in_buffers(bytes.data(), n, nullptr));
  }
  m->from = ENT_FOIP;
  m->to = ENT_APP_FOIP;
  m->code = code;
  m->nai = 3;
  return m;
}

TEST_F(FoipApi, AStopRecordTravelsAsAChainAndArrivesWhole) {
  static_assert(sizeof(foip__stop) > 15000);
  auto sent = std::make_unique<foip__stop>();
  u8* raw = reinterpret_cast<u8*>(sent.get());
  for (std::size_t i = 0; i < sizeof(foip__stop); ++i) raw[i] = static_cast<u8>(i * 7 + 3);
  foip_api__addr a;
  a.nai = 5;
  ASSERT_EQ(foip_api__send_record(a, FOIP__STOP_RQ, *sent), FOIP_API__OK);
  pump();
  ASSERT_NE(g_kept, nullptr);
  EXPECT_EQ(g_kept->nai, 5);
  EXPECT_EQ(g_kept->code, FOIP__STOP_RQ);
  EXPECT_EQ(g_kept->from, ENT_APP_FOIP);
  EXPECT_EQ(chain_count(g_kept->p_buffer),
            (sizeof(foip__stop) + om_os_get_buffer_room() - 1) / om_os_get_buffer_room());
  EXPECT_EQ(Msg_total_size(g_kept), sizeof(foip__stop));
  // The reader takes it back from the chain through a temporary block.
  g_kept->code = FOIP__STOP_CO;
  auto back = std::make_unique<foip__stop>();
  ASSERT_EQ(foip_api__read_stop(g_kept, FOIP__STOP_CO, &back->confirm, &back->fax, &back->t38, &back->sip),
            FOIP_API__OK);
  EXPECT_EQ(std::memcmp(&back->confirm, &sent->confirm, sizeof back->confirm), 0);
  EXPECT_EQ(std::memcmp(&back->fax, &sent->fax, sizeof back->fax), 0);
  EXPECT_EQ(std::memcmp(&back->t38, &sent->t38, sizeof back->t38), 0);
  EXPECT_EQ(std::memcmp(&back->sip, &sent->sip, sizeof back->sip), 0);
  // The block was given back: all three are free again.
  u8* blocks[3] = {Alloc_tmp_block(18000), Alloc_tmp_block(18000), Alloc_tmp_block(18000)};
  for (u8* b : blocks) {
    EXPECT_NE(b, nullptr);
    Free_tmp_block(b);
  }
}

TEST_F(FoipApi, SmallRecordsTravelInOneBuffer) {
  ASSERT_EQ(foip_api__send_sip_unregister_rq(4, 77), FOIP_API__OK);
  pump();
  ASSERT_NE(g_kept, nullptr);
  EXPECT_EQ(g_kept->conn_id, 77);
  EXPECT_EQ(chain_count(g_kept->p_buffer), 1u);
  EXPECT_EQ(Msg_total_size(g_kept), sizeof(foip__sip_unregister));
  ASSERT_EQ(foip_api__send_t38_capabilities_rq(0), FOIP_API__OK);
  pump();
  EXPECT_EQ(g_kept->sapi, FOIP__SAPI_T38_CAPABILITIES);
  EXPECT_EQ(g_kept->nai, 0);
}

TEST_F(FoipApi, BodiesOfAnotherLengthAreRefusedBeforeTheyAreRead) {
  struct row {
    const char* what;
    code_t code;
    u32 length;
  };
  const u32 stop = sizeof(foip__stop);
  const row rows[] = {
      {"inline, short", FOIP__STOP_IN, 10},
      {"one buffer, short", FOIP__STOP_IN, 900},
      {"chain, one byte short", FOIP__STOP_IN, stop - 1},
      {"chain, one byte long", FOIP__STOP_CO, stop + 1},
      {"empty", FOIP__STOP_CO, 0},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    msg_t* m = foip_msg(r.code, r.length, 0xAB);
    foip__confirm c{};
    EXPECT_EQ(foip_api__read_stop(m, r.code, &c, nullptr, nullptr, nullptr), FOIP_API__ERR_LENGTH);
    EXPECT_EQ(c.return_code, 0);  // nothing copied
    Free_msg(m);
  }
  // Wrong code and missing argument.
  msg_t* m = foip_msg(FOIP__START_CO, sizeof(foip__start));
  foip__confirm c{};
  EXPECT_EQ(foip_api__read_confirm(m, FOIP__SET_CONFIG_CO, &c), FOIP_API__ERR_ARG);
  EXPECT_EQ(foip_api__read_stop(m, FOIP__START_CO, &c, nullptr, nullptr, nullptr), FOIP_API__ERR_ARG);
  EXPECT_EQ(foip_api__read_confirm(m, FOIP__START_CO, nullptr), FOIP_API__ERR_ARG);
  EXPECT_EQ(foip_api__read_confirm(m, FOIP__START_CO, &c), FOIP_API__OK);
  Free_msg(m);
}

TEST_F(FoipApi, ReportsComeWholeOrInTheShortFormOfErrors) {
  // An error report in its short form.
  auto rep = std::make_unique<foip__report>();
  rep->kind_of_report = FOIP__REPORT__TRAP;
  rep->kind = FOIP__ERROR__TRAP_FOIP;
  rep->body.error.trap_foip.trap_code = 21005;
  std::strcpy(rep->body.error.trap_foip.sz_trap_name, "TRAP_NAME");
  msg_t* m = foip_msg(FOIP__REPORT_IN, FOIP__REPORT_SHORT_SIZE);
  std::memcpy(Buffer_data(m->p_buffer), rep.get(), FOIP__REPORT_SHORT_SIZE);
  auto out = std::make_unique<foip__report>();
  ASSERT_EQ(foip_api__read_report(m, out.get()), FOIP_API__OK);
  EXPECT_EQ(out->body.error.trap_foip.trap_code, 21005);
  EXPECT_STREQ(out->body.error.trap_foip.sz_trap_name, "TRAP_NAME");
  EXPECT_STREQ(foip__trap_class(21005, 20000), "FATAL");
  EXPECT_STREQ(foip__trap_class(22500, 20000), "SERIOUS");
  EXPECT_STREQ(foip__trap_class(13000, 10000), "INFO");
  // An event cannot come in the short form.
  Buffer_data(m->p_buffer)[0] = FOIP__REPORT__EVT;
  EXPECT_EQ(foip_api__read_report(m, out.get()), FOIP_API__ERR_LENGTH);
  Free_msg(m);
  // The full form of a page event.
  m = foip_msg(FOIP__REPORT_IN, sizeof(foip__report));
  *rep = foip__report{};
  rep->kind_of_report = FOIP__REPORT__EVT;
  rep->kind = FOIP__EVENT__FAX_PG_SENT;
  rep->body.page.pg_number = 4;
  rep->body.page.pg.pg_quality = 'G';
  buffer_t* chain = m->p_buffer;
  m->p_buffer = nullptr;
  Free_buffer(chain);
  Msg_attach_chain(m, Store_data_in_buffers(rep.get(), sizeof(foip__report), nullptr));
  ASSERT_EQ(foip_api__read_report(m, out.get()), FOIP_API__OK);
  EXPECT_EQ(out->body.page.pg_number, 4);
  EXPECT_EQ(out->body.page.pg.pg_quality, 'G');
  Free_msg(m);
}

TEST_F(FoipApi, LongDataServicesGiveBackWhatTheyTook) {
  // No temporary block: the message is given back, nothing is kept.
  u8* blocks[3] = {Alloc_tmp_block(18000), Alloc_tmp_block(18000), Alloc_tmp_block(18000)};
  {
    foip_proc_api__long_data ld;
    EXPECT_EQ(foip_proc_api__prepare_long_data_to_send(sizeof(foip__stop), ld), FOIP_API__ERR_NO_BLOCK);
    EXPECT_EQ(ld.msg, nullptr);
    EXPECT_EQ(held_msgs(), msgs_);
    const auto before = held_msgs();
    EXPECT_EQ(foip_api__send_stop_rq(1), FOIP_API__ERR_NO_BLOCK);
    EXPECT_EQ(held_msgs(), before);
  }
  for (u8* b : blocks) Free_tmp_block(b);
  // A prepared record that is never sent is freed with its block.
  {
    foip_proc_api__long_data ld;
    ASSERT_EQ(foip_proc_api__prepare_long_data_to_send(sizeof(foip__alert), ld), FOIP_API__OK);
    EXPECT_TRUE(ld.is_long);
  }
  EXPECT_EQ(held_msgs(), msgs_);
  u8* again = Alloc_tmp_block(18000);
  EXPECT_NE(again, nullptr);
  // Releasing a block that is not in use is reported.
  foip_proc_api__long_data ld;
  ld.block = again;
  Free_tmp_block(again);
  EXPECT_EQ(foip_proc_api__release_long_data(ld), FOIP_API__ERR_FREE_BLOCK);
  // End without a message.
  foip_proc_api__long_data none;
  EXPECT_EQ(foip_proc_api__eof_long_data_to_send(none), FOIP_API__ERR_NO_MSG);
}

TEST(FoipApiRecords, EveryCodeHasItsRecordAndOthersNone) {
  EXPECT_EQ(foip__record_size(FOIP__STOP_IN), sizeof(foip__stop));
  EXPECT_EQ(foip__record_size(FOIP__ALERT_RS), sizeof(foip__alert));
  EXPECT_EQ(foip__record_size(FOIP__SIP_UNREGISTER_CO), sizeof(foip__confirm));
  EXPECT_EQ(foip__record_size('Z'), 0u);
  EXPECT_EQ(foip__record_size(0), 0u);
  foip__confirm c{};
  c.error_source = 4;
  c.error_code = 86;
  EXPECT_EQ(foip__shown_error_code(c), 486u);  // SIP 486
  c.error_source = 240;
  EXPECT_EQ(foip__shown_error_code(c), 86u);
}

}  // namespace
