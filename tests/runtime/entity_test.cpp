// Entities, registration, both queue kinds, dispatch, start/stop, traps and
// the trace ring, with fake entities.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "common/byte_order.h"
#include "runtime/entity.h"
#include "runtime/mem.h"
#include "runtime/om_os.h"
#include "runtime/support/rt_harness.h"

using namespace rt_test;

namespace {

constexpr ent_id_t ENT_P = 'P', ENT_Q = 'Q', ENT_R = 'R';

const u8* ring_record(u32 i) { return om_os_trace_ring() + i * OM_OS_TRACE_RECORD_SIZE; }

// The newest record written.
const u8* newest_record() {
  u32 n = om_os_trace_next_index();
  return ring_record(n == 1 ? OM_OS_TRACE_RECORDS - 1 : n - 1);
}

void send(ent_id_t from, ent_id_t to, code_t code, std::vector<u8> data = {}) {
  msg_t* m = make_msg(from, to, code, data);
  ASSERT_NE(m, nullptr);
  Send_msg(m);
}

// P: on 'x' sends 'y' to Q (same task), then records.
std::atomic<u16> current_in_handler{0};
void p_handler(msg_t* m) {
  current_in_handler = om_os_current_entity();
  if (m->code == 'x') send(ENT_P, ENT_Q, 'y');
  record_handler(m);
}

const entity_table_row_t PQ_TABLE[] = {
    {ENT_P, p_handler, 0, 0, nullptr, 0},
    {ENT_Q, record_handler, 0, 0, nullptr, 0},
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

std::string codes(const std::vector<seen_msg>& v) {
  std::string s;
  for (const auto& m : v) s += static_cast<char>(m.code);
  return s;
}

class Manual : public ::testing::Test {
 protected:
  void TearDown() override { stop(); }
};

TEST_F(Manual, InternalQueueRunsToCompletionBeforeExternal) {
  start_manual(PQ_TABLE);
  std::thread other([] { send(ENT_NIL, ENT_Q, 'z'); });  // a foreign thread: external queue
  other.join();
  send(ENT_NIL, ENT_P, 'x');  // the SM task's own thread: internal queue
  EXPECT_EQ(pump(), 3u);
  EXPECT_EQ(codes(rec().messages()), "xyz");
  EXPECT_EQ(current_in_handler, ENT_P);
  EXPECT_EQ(om_os_current_entity(), ENT_NIL);
  EXPECT_TRUE(rec().traps().empty());
}

TEST_F(Manual, NewMessagesAndRepliesCarryTheirWholeHeader) {
  start_manual(PQ_TABLE);
  const u8 body[] = {1, 2, 3};
  ASSERT_TRUE(Send_new_msg({ENT_P, ENT_Q, 'n', 7, 2, 9}, body, 3));
  ASSERT_TRUE(Send_new_msg({ENT_P, ENT_Q, 'i'}));  // runtime-internal: no session
  // A body longer than the inline room is refused and nothing is sent.
  const std::vector<u8> big(om_os_get_msg_room() + 1u, 0);
  EXPECT_FALSE(Send_new_msg({ENT_P, ENT_Q, 'b'}, big.data(), static_cast<u8>(big.size())));
  msg_t* m = make_msg(ENT_Q, ENT_P, 'q', {4, 5});
  ASSERT_NE(m, nullptr);
  m->nai = 3;
  Reply_msg(m, ENT_Q, 'r');  // back to ENT_Q's source, data and session kept
  pump();
  const auto seen = rec().messages();
  ASSERT_EQ(seen.size(), 3u);
  const struct {
    ent_id_t from, to;
    code_t code;
    nai_t nai;
    u8 sapi;
    u16 conn;
    std::vector<u8> data;
  } want[] = {{ENT_P, ENT_Q, 'n', 7, 2, 9, {1, 2, 3}},
              {ENT_P, ENT_Q, 'i', OM_OS_NAI_NONE, OM_OS_SAPI_NONE, OM_OS_CONN_NONE, {}},
              {ENT_Q, ENT_Q, 'r', 3, seen[2].sapi, seen[2].conn_id, {4, 5}}};
  for (size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(seen[i].from, want[i].from);
    EXPECT_EQ(seen[i].to, want[i].to);
    EXPECT_EQ(seen[i].code, want[i].code);
    EXPECT_EQ(seen[i].nai, want[i].nai);
    EXPECT_EQ(seen[i].sapi, want[i].sapi);
    EXPECT_EQ(seen[i].conn_id, want[i].conn);
    EXPECT_EQ(seen[i].data, want[i].data);
  }
}

TEST_F(Manual, BufferChainsArriveWhole) {
  start_manual(PQ_TABLE);
  std::vector<u8> big(3500);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<u8>(i * 7);
  auto make_chained = [&](ent_id_t to) {
    msg_t* m = Alloc_msg();
    buffer_t* chain = Store_data_in_buffers(big.data(), static_cast<u32>(big.size()), nullptr);
    EXPECT_NE(chain, nullptr);
    Msg_attach_chain(m, chain);
    EXPECT_EQ(m->chain_size, 3500);
    m->from = ENT_NIL;
    m->to = to;
    m->code = 'L';
    return m;
  };
  Send_msg(make_chained(ENT_Q));                              // internal
  std::thread other([&] { Send_msg(make_chained(ENT_Q)); });  // external
  other.join();
  pump();
  auto got = rec().messages();
  ASSERT_EQ(got.size(), 2u);
  for (const auto& m : got) {
    EXPECT_TRUE(m.chained);
    EXPECT_EQ(m.data, big);
  }
  EXPECT_EQ(om_os_buffer_pool_stats().in_use, om_os_it_buffer_pool_stats().count);
}

void init_sends_around() {
  send(ENT_Q, ENT_Q, '1');  // to itself
  send(ENT_Q, ENT_P, '2');  // to an earlier entity
  send(ENT_Q, ENT_R, '3');  // to a later one: not registered yet
}
const entity_table_row_t INIT_TABLE[] = {
    {ENT_P, record_handler, 0, 0, nullptr, 0},
    {ENT_Q, record_handler, 0, 0, init_sends_around, 0},
    {ENT_R, record_handler, 0, 0, nullptr, 0},
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

TEST_F(Manual, InitRoutinesMaySendToThemselvesAndEarlierEntities) {
  start_manual(INIT_TABLE);
  // The later entity, then ENT_SM (absent from this table) for the start message.
  EXPECT_EQ(start_traps(), (std::vector<u16>{OM_OS_TRAP_UNREGISTERED, OM_OS_TRAP_UNREGISTERED}));
  pump();
  EXPECT_EQ(codes(rec().messages()), "12");
}

TEST_F(Manual, RegistrationRefusesBadAndDoubleIds) {
  start_manual(PQ_TABLE);
  struct tc {
    u32 id;
    u16 trap;
  } cases[] = {{31, OM_OS_TRAP_ENTITY_ID}, {151, OM_OS_TRAP_ENTITY_ID}, {ENT_P, OM_OS_TRAP_ENTITY_TWICE}};
  for (const auto& c : cases) {
    rec().clear();
    const entity_table_row_t t[] = {{c.id, record_handler, 0, 0, nullptr, 0}, {ENT_NIL, nullptr, 0, 0, nullptr, 0}};
    EXPECT_EQ(om_os_register_entities(0, t), OM_OS_NOK) << c.id;
    EXPECT_EQ(rec().traps(), std::vector<u16>{c.trap}) << c.id;
  }
  EXPECT_EQ(om_os_entity_task(31), OM_OS_NO_TASK);
  EXPECT_EQ(om_os_entity_task(ENT_P), 0);
  EXPECT_EQ(om_os_entity_task(ENT_R), OM_OS_NO_TASK);
  EXPECT_EQ(om_os_register_entities(OM_OS_FREE_TASK_ID, PQ_TABLE), OM_OS_NOK);
}

TEST_F(Manual, NoFreeTaskSlotTraps32) {
  start_manual(nullptr);  // task 0 claims slot 0 of 2
  std::thread t1([] { EXPECT_EQ(om_os_register_entities(7, nullptr), OM_OS_OK); });
  t1.join();
  rec().clear();
  std::thread t2([] { EXPECT_EQ(om_os_register_entities(8, nullptr), OM_OS_NOK); });
  t2.join();
  EXPECT_EQ(rec().traps(), std::vector<u16>{OM_OS_TRAP_TASK_SLOT});
}

TEST_F(Manual, UnregisteredDestinationsAndMissingHandlers) {
  const entity_table_row_t t[] = {{ENT_P, nullptr, 0, 0, nullptr, 0}, {ENT_NIL, nullptr, 0, 0, nullptr, 0}};
  start_manual(t);
  auto held = [] { return om_os_msg_pool_stats().in_use - om_os_it_msg_pool_stats().count; };
  const int msgs_before = held();
  const u32 at = om_os_trace_next_index();
  send(ENT_NIL, ENT_R, 'a');  // nobody registered R
  EXPECT_EQ(rec().traps(), std::vector<u16>{OM_OS_TRAP_UNREGISTERED});
  EXPECT_EQ(ring_record(at)[4], 'e');
  EXPECT_EQ(ring_record(at + 1)[4], 't');
  EXPECT_EQ(ring_record(at + 2)[4], 'T');
  send(ENT_NIL, ENT_P, 'b');
  pump();
  EXPECT_EQ(rec().traps(), (std::vector<u16>{OM_OS_TRAP_UNREGISTERED, OM_OS_TRAP_NO_HANDLER}));
  // Neither message is lost for good.
  EXPECT_EQ(held(), msgs_before);
}

std::atomic<int> stop_calls{0};
std::atomic<u8> stop_thread_task{0};
void q_stop() {
  ++stop_calls;
  stop_thread_task = om_os_calling_task();
  // While stopping, a send is dropped without a trap and a trap is ignored.
  msg_t* m = Alloc_msg();
  if (m) {
    m->from = ENT_Q;
    m->to = ENT_P;
    Send_msg(m);
  }
  om_os_trap(99);
}
void q_init() {
  om_os_entity_attrs_t a{1, 0, 1, q_stop};
  om_os_update_entity(record_handler, &a);
}
const entity_table_row_t STOP_TABLE[] = {
    {ENT_Q, record_handler, 0, 0, q_init, 0},
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

TEST_F(Manual, UpdateEntityAndStopRoutines) {
  stop_calls = 0;
  start_manual(STOP_TABLE);
  om_os_entity_attrs_t a{};
  om_os_get_entity_attrs(ENT_Q, &a);
  EXPECT_EQ(a.wants_clr_busy, 1);
  EXPECT_EQ(a.long_config, 1);
  EXPECT_EQ(a.stop, q_stop);
  EXPECT_EQ(om_os_get_entity_flag(ENT_Q, 0), 1);
  EXPECT_EQ(om_os_get_entity_flag(ENT_Q, 1), 0);
  EXPECT_EQ(om_os_get_entity_flag(200, 1), 0);
  EXPECT_EQ(om_os_stop(), OM_OS_OK);
  EXPECT_EQ(stop_calls, 1);
  EXPECT_TRUE(rec().traps().empty());
  EXPECT_EQ(om_os_mem_count(), 0u);  // everything released
}

TEST_F(Manual, TrapsReachTheHandlerAndTheRing) {
  start_manual(nullptr);
  EXPECT_EQ(om_os_config_apply(&om_os_default_config), OM_OS_NOK);  // applied once per start
  om_os_trap(4321);
  EXPECT_EQ(rec().traps(), std::vector<u16>{4321});
  const u8* r = newest_record();
  EXPECT_EQ(r[4], 'T');
  EXPECT_EQ(r[5], ENT_NIL);
  EXPECT_EQ(get_le16(r + 44), 40);
  EXPECT_EQ(get_le16(r + 46), 4321);
}

TEST_F(Manual, TraceRingWrapsAndKeepsItsDescription) {
  start_manual(nullptr);
  const u8* d = ring_record(0);
  EXPECT_EQ(get_le32(d), 0x89ABCDEFu);
  EXPECT_EQ(d[4], 0x12);
  EXPECT_EQ(get_le16(d + 8), 0x1616);
  EXPECT_EQ(get_le16(d + 16), 0x3333);
  EXPECT_EQ(get_le16(d + 32), 0xBBBB);
  EXPECT_EQ(get_le32(d + 36), 0xCCCCCCCCu);
  EXPECT_EQ(get_le16(d + 44), 0xEEEE);
  const u8 tail[6] = {0xFF, 0x01, '@', 0x01, 1, 0x02};
  EXPECT_EQ(std::memcmp(d + 46, tail, 6), 0);

  msg_t* m = make_msg(ENT_P, ENT_Q, 'X', {1, 2, 3});
  const u32 start = om_os_trace_next_index();
  for (u32 i = 0; i < OM_OS_TRACE_RECORDS - 1; ++i) om_os_trace_record('X', m);
  EXPECT_EQ(om_os_trace_next_index(), start);  // a full turn over records 1..49999
  for (u32 i = 0; i < OM_OS_TRACE_RECORDS - start; ++i) om_os_trace_record('X', m);
  EXPECT_EQ(om_os_trace_next_index(), 1u);
  EXPECT_EQ(std::memcmp(ring_record(1), "????", 4), 0);
  EXPECT_EQ(ring_record(OM_OS_TRACE_RECORDS - 1)[4], 'X');
  EXPECT_EQ(get_le32(ring_record(0)), 0x89ABCDEFu);
  const u8* r = ring_record(OM_OS_TRACE_RECORDS - 1);
  EXPECT_EQ(r[5], ENT_P);
  EXPECT_EQ(r[6], ENT_Q);
  EXPECT_EQ(get_le16(r + 44), 3);
  EXPECT_EQ(r[46 + 2], 3);
  Free_msg(m);
}

std::vector<u8> audit_letters;
void audit_hook(u8 letter, const msg_t*) { audit_letters.push_back(letter); }

TEST_F(Manual, TraceMaskSelectsWhatIsRecordedAndAudited) {
  start_manual(PQ_TABLE);
  om_os_set_audit_hook(audit_hook);
  struct tc {
    u32 set;
    u32 mask;
    std::string letters;  // of: alloc, send within the task, receive, release
  } cases[] = {
      {1, 0x300, "iI"},
      {0, 0xFFFF83FF, "iI"},
      {0x1700, 0x1700, "AiIP"},  // released into the interrupt-side pool, below its normal level
  };
  for (const auto& c : cases) {
    om_os_set_trace_mask(c.set);
    EXPECT_EQ(om_os_get_trace_mask(), c.mask);
    audit_letters.clear();
    msg_t* m = Alloc_msg();
    m->from = ENT_P;
    m->to = ENT_Q;
    m->code = 'k';
    Send_msg(m);
    pump();
    EXPECT_EQ(std::string(audit_letters.begin(), audit_letters.end()), c.letters) << std::hex << c.set;
  }
}

// ---------------------------------------------------------------------------
// With the SM thread running.

std::atomic<u8> seen_task{0};
void sm_side_handler(msg_t* m) {
  seen_task = om_os_calling_task();
  record_handler(m);
}
const entity_table_row_t APP_TABLE[] = {
    {ENT_APP_FOIP, sm_side_handler, 0, 0, nullptr, 0},
    {ENT_FOIP, sm_side_handler, 0, 0, nullptr, 0},
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

std::atomic<bool> slow_init_done{false};
void slow_init() {
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  slow_init_done = true;
}
const entity_table_row_t SLOW_TABLE[] = {
    {ENT_P, record_handler, 0, 0, slow_init, 0},
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

class Threaded : public ::testing::Test {
 protected:
  void TearDown() override { stop(); }
};

TEST_F(Threaded, SendsFromOtherThreadsTakeTheExternalQueueInOrder) {
  start_threaded(APP_TABLE, false);
  ASSERT_EQ(om_os_started(), 1);
  ASSERT_EQ(om_os_calling_task(), 255);
  // The main thread sends on behalf of ENT_APP_FOIP to ENT_FOIP: both are
  // entities of the SM task, yet the send must go through the external queue.
  constexpr int N = 2000;
  std::thread other([] {
    for (int i = 0; i < N; ++i) send(ENT_PH_IT, ENT_FOIP, 'o', {static_cast<u8>(i), static_cast<u8>(i >> 8)});
  });
  for (int i = 0; i < N; ++i) send(ENT_APP_FOIP, ENT_FOIP, 'm', {static_cast<u8>(i), static_cast<u8>(i >> 8)});
  other.join();
  ASSERT_TRUE(rec().wait_for(2 * N));
  int next_m = 0, next_o = 0;
  for (const auto& m : rec().messages()) {
    EXPECT_EQ(m.calling_task, 0);  // handled in the SM thread
    int seq = m.data[0] | (m.data[1] << 8);
    if (m.code == 'm') EXPECT_EQ(seq, next_m++);
    else EXPECT_EQ(seq, next_o++);
  }
  EXPECT_EQ(next_m, N);
  EXPECT_EQ(next_o, N);
  EXPECT_TRUE(rec().traps().empty());
}

TEST_F(Threaded, PoolRecordsOfOtherThreadsNameTheEntityTheSmTaskRuns) {
  start_threaded(APP_TABLE, false);
  om_os_set_trace_mask(OM_OS_TRACE_SEND | OM_OS_TRACE_RECEIVE | OM_OS_TRACE_MSG_POOL);
  // The sending thread writes pool records naming the entity the SM thread
  // is running at that moment, while the SM thread changes it.
  constexpr int N = 500;
  std::thread other([] {
    for (int i = 0; i < N; ++i) send(ENT_PH_IT, ENT_FOIP, 'o', {static_cast<u8>(i)});
  });
  other.join();
  ASSERT_TRUE(rec().wait_for(N));
  ASSERT_EQ(om_os_stop(), OM_OS_OK);  // every thread has ended: the ring stays still
  int pool_records = 0;
  for (u32 i = 1; i < om_os_trace_next_index(); ++i) {
    const u8* r = ring_record(i);
    if (r[4] != 'A' && r[4] != 'F') continue;
    ++pool_records;
    EXPECT_TRUE(r[5] == ENT_NIL || r[5] == ENT_FOIP) << "record " << i << " names " << int{r[5]};
  }
  EXPECT_GE(pool_records, N);
}

TEST_F(Threaded, StartReturnsOnceTheSmThreadHasRunEveryInit) {
  slow_init_done = false;
  start_threaded(SLOW_TABLE);
  EXPECT_TRUE(slow_init_done);
  EXPECT_EQ(om_os_started(), 1);
  // A second start while running changes nothing.
  om_os_start_with(om_os_start_options{});
  EXPECT_EQ(om_os_entity_task(ENT_P), 0);
}

TEST_F(Manual, TraceCopiesNoMoreThanTheRoomOfABadHeader) {
  start_manual(PQ_TABLE);
  msg_t* m = Alloc_msg();
  m->data_offset = 200;  // nonsense offsets and sizes from a faulty sender
  m->data_size = 250;
  m->from = ENT_NIL;
  m->to = ENT_Q;
  om_os_trace_record('X', m);  // ASan: no read outside the record
  m->data_offset = MSG_HEADER_SIZE;
  m->data_size = 0;
  Free_msg(m);
}

TEST_F(Threaded, StartAndStopAreClean) {
  for (int round = 0; round < 3; ++round) {
    start_threaded(APP_TABLE);
    EXPECT_EQ(om_os_state(), OM_OS_STATE_RUNNING);
    send(ENT_NIL, ENT_APP_FOIP, 's');
    ASSERT_TRUE(rec().wait_for(1));
    // Messages left queued at stop are released with the rest.
    for (int i = 0; i < 50; ++i) send(ENT_NIL, ENT_FOIP, 'w');
    EXPECT_EQ(om_os_stop(), OM_OS_OK);
    EXPECT_EQ(om_os_state(), OM_OS_STATE_STOPPING);
    EXPECT_EQ(om_os_mem_count(), 0u);
    stop();
  }
}

}  // namespace
