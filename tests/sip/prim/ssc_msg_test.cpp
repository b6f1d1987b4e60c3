// SSC message handle: life cycle, area growth, reference counts, copies that
// outlive their source, option tags, and the conversion to and from entity
// messages (codes, ENT_SM prefix, refusals).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "runtime/om_os.h"
#include "runtime/support/rt_harness.h"
#include "sip/prim/ssc_msg.h"
#include "sip/prim/ssc_packed.h"

using namespace rt_test;
using H = ssc_header_id;
using T = ssc_msg_type;

namespace {

const entity_table_row_t TABLE[] = {
    {ENT_SM, record_handler, 0, 0, nullptr, 0},
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

buffer_t* own_buffer(ssc_handle* h) { return reinterpret_cast<buffer_t*>(h) - 1; }

class SscHandle : public ::testing::Test {
 protected:
  void SetUp() override {
    start_manual(TABLE);
    pump();
    rec().clear();
    base_ = held();
  }
  void TearDown() override {
    EXPECT_EQ(held(), base_) << "buffers leaked";
    stop();
  }
  static int held() { return om_os_buffer_pool_stats().in_use - om_os_it_buffer_pool_stats().count; }
  static ssc_handle* fresh(T type) {
    ssc_handle* h = Ssc_alloc_handle();
    EXPECT_NE(h, nullptr);
    EXPECT_EQ(Ssc_init_handle(h, type), OM_OS_OK);
    return h;
  }
  // A received message: the handle packed by SIP_sc_format_rq, with the
  // given code and sender.
  static msg_t* received(ssc_handle* h, code_t code, ent_id_t from = ENT_SSC, ent_id_t to = ENT_FOIP) {
    msg_t* m = SIP_sc_format_rq(0, 0, 0, h);
    EXPECT_NE(m, nullptr);
    if (m) {
      m->code = code;
      m->from = from;
      m->to = to;
    }
    return m;
  }
  int base_ = 0;
};

TEST_F(SscHandle, AllocAndInitSetTheRecord) {
  ssc_handle* h = Ssc_alloc_handle();
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(held(), base_ + 1);
  EXPECT_EQ(h->kind, SSC_HANDLE_KIND);
  EXPECT_EQ(h->type, T::NONE);
  EXPECT_EQ(h->ref_count, 1);
  EXPECT_EQ(h->rx_buffer, nullptr);
  EXPECT_EQ(own_buffer(h)->link_count, 1);
  EXPECT_EQ(own_buffer(h)->data_size, om_os_get_buffer_room());
  ASSERT_EQ(Ssc_init_handle(h, T::INVITE_RS), OM_OS_OK);
  EXPECT_EQ(h->type, T::INVITE_RS);
  EXPECT_EQ(h->area_total, 1600);
  EXPECT_EQ(h->area_free, 1600 - SSC_HANDLE_RECORD_SIZE);
  EXPECT_EQ(h->area_next, reinterpret_cast<u8*>(h) + SSC_HANDLE_RECORD_SIZE);
  EXPECT_EQ(h->transaction_number, 0xFFFF);
  EXPECT_EQ(h->carried_word_1, 0xFFFF);
  EXPECT_EQ(h->carried_word_2, 0xFFFF);
  EXPECT_EQ(h->carried_byte_1, 0xFF);
  EXPECT_EQ(h->carried_byte_2, 0xFF);
  for (void* head : h->lists) EXPECT_EQ(head, nullptr);
  EXPECT_EQ(Ssc_free_handle(h), OM_OS_OK);
}

TEST_F(SscHandle, InitRefusals) {
  ssc_handle* h = fresh(T::INVITE);
  EXPECT_EQ(Ssc_init_handle(nullptr, T::INVITE), OM_OS_NOK);
  EXPECT_EQ(Ssc_init_handle(h, static_cast<T>(41)), OM_OS_NOK);
  // Shared: refused and left as it is.
  auto* sub = static_cast<ssc_hdr_str1*>(Ssc_alloc_header(h, H::SUBJECT));
  ASSERT_NE(sub, nullptr);
  h->ref_count = 2;
  EXPECT_EQ(Ssc_init_handle(h, T::BYE), OM_OS_NOK);
  EXPECT_EQ(h->type, T::INVITE);
  EXPECT_EQ(Ssc_first<ssc_hdr_str1>(h, H::SUBJECT), sub);
  // Two holders: the first free keeps everything.
  EXPECT_EQ(Ssc_free_handle(h), OM_OS_OK);
  EXPECT_EQ(held(), base_ + 1);
  EXPECT_EQ(h->ref_count, 1);
  // Not a handle.
  h->kind = 0x44;
  EXPECT_EQ(Ssc_init_handle(h, T::BYE), OM_OS_NOK);
  EXPECT_EQ(Ssc_free_handle(h), OM_OS_NOK);
  EXPECT_EQ(Ssc_grow_handle(h), nullptr);
  h->kind = SSC_HANDLE_KIND_ALT;  // also a handle
  EXPECT_EQ(Ssc_init_handle(h, T::BYE), OM_OS_OK);
  EXPECT_EQ(h->kind, SSC_HANDLE_KIND);
  EXPECT_EQ(Ssc_free_handle(h), OM_OS_OK);
}

TEST_F(SscHandle, AllocHeaderRefusesIdsWithoutList) {
  ssc_handle* h = fresh(T::INVITE);
  const unsigned no_list[] = {19, 47, 48, 69, 70, 71, 73, 74, 76, 77, 78, 79, 80, 81, 82, 83, 86, 87, 88, 97, 200};
  for (unsigned id : no_list) EXPECT_EQ(Ssc_alloc_header(h, static_cast<H>(id)), nullptr) << id;
  // Any id with a list is accepted, whatever the type allows.
  EXPECT_NE(Ssc_alloc_header(h, H::WARNING), nullptr);
  EXPECT_NE(Ssc_alloc_header(h, H::TX_LINK), nullptr);
  EXPECT_EQ(Ssc_alloc_header(nullptr, H::WARNING), nullptr);
  Ssc_free_handle(h);
}

TEST_F(SscHandle, InstancesKeepTheirOrderAndStartAllOnes) {
  ssc_handle* h = fresh(T::INVITE);
  std::vector<void*> made;
  for (int i = 0; i < 3; ++i) made.push_back(Ssc_alloc_header(h, H::VIA));
  unsigned n = 0;
  for (auto* v = Ssc_first<ssc_hdr_via>(h, H::VIA); v && n < 10; v = v->next, ++n) {
    EXPECT_EQ(v, made[n]);
    EXPECT_EQ(v->port, 0xFFFF);
    EXPECT_EQ(v->protocol, 0xFF);
    EXPECT_EQ(v->s4, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(v) % 8, 0u);
  }
  EXPECT_EQ(n, 3u);
  Ssc_free_handle(h);
}

TEST_F(SscHandle, AreaGrowsIntoChainedBuffersAndFreeReleasesThemAll) {
  ssc_handle* h = fresh(T::INVITE);
  const u16 via_size = ssc_header_row(H::VIA)->size;
  const unsigned per_block = 1600 / via_size;
  unsigned added = 0;
  while (chain_count(own_buffer(h)) < 3 && added < 100) {
    ASSERT_NE(Ssc_alloc_header(h, H::VIA), nullptr);
    ++added;
  }
  EXPECT_EQ(chain_count(own_buffer(h)), 3u);
  EXPECT_EQ(held(), base_ + 3);
  EXPECT_EQ(h->area_total, 3 * 1600);
  EXPECT_GE(added, per_block + 2);
  // An instance never straddles two blocks.
  for (auto* v = Ssc_first<ssc_hdr_via>(h, H::VIA); v; v = v->next) {
    bool inside = false;
    for (buffer_t* b = own_buffer(h); b; b = b->next) {
      const u8* s = Buffer_room(b);
      inside = inside || (reinterpret_cast<u8*>(v) >= s && reinterpret_cast<u8*>(v) + via_size <= s + 1600);
    }
    EXPECT_TRUE(inside);
  }
  // Re-initialising gives the chained blocks back.
  ASSERT_EQ(Ssc_init_handle(h, T::BYE), OM_OS_OK);
  EXPECT_EQ(held(), base_ + 1);
  EXPECT_EQ(h->area_total, 1600);
  // Areas: larger than a block is refused, other sizes come aligned.
  EXPECT_EQ(Ssc_alloc_area(h, 1601), nullptr);
  u8* a = static_cast<u8*>(Ssc_alloc_area(h, 3));
  u8* b = static_cast<u8*>(Ssc_alloc_area(h, 5));
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(b - a, 8);
  Ssc_free_handle(h);
  EXPECT_EQ(held(), base_);
}

TEST_F(SscHandle, GrowOfAnAreaOutsideTheHandleTrapsAndFails) {
  ssc_handle* h = fresh(T::INVITE);
  u8 elsewhere[8];
  h->area_next = elsewhere;
  EXPECT_EQ(Ssc_grow_handle(h), nullptr);
  const auto traps = rec().traps();
  ASSERT_EQ(traps.size(), 1u);
  EXPECT_EQ(traps[0], SSC_TRAP_AREA_LOST);
  Ssc_free_handle(h);
}

TEST_F(SscHandle, ExhaustedBuffersFailWithoutLeaks) {
  ssc_handle* h = fresh(T::INVITE);
  std::vector<buffer_t*> hog;
  for (int i = 0; i < 7000; ++i) {
    buffer_t* b = Alloc_buffer();
    if (!b) break;
    hog.push_back(b);
  }
  rec().clear();
  EXPECT_EQ(Ssc_alloc_handle(), nullptr);
  unsigned added = 0;
  while (Ssc_alloc_header(h, H::VIA) && added < 100) ++added;
  EXPECT_LT(added, 100u);
  EXPECT_EQ(SIP_sc_format_rq(0, 0, 0, h), nullptr);
  for (buffer_t* b : hog) Free_buffer(b);
  hog.clear();

  // A copy that needs a second block when none can be had is reported.
  ssc_handle* dst = Ssc_alloc_handle();
  ASSERT_NE(dst, nullptr);
  for (unsigned i = 0; chain_count(own_buffer(h)) < 2 && i < 100; ++i) ASSERT_NE(Ssc_alloc_header(h, H::VIA), nullptr);
  for (int i = 0; i < 7000; ++i) {
    buffer_t* b = Alloc_buffer();
    if (!b) break;
    hog.push_back(b);
  }
  EXPECT_EQ(Ssc_copy_msg(dst, h), nullptr);
  EXPECT_EQ(*Ssc_list_head(dst, H::VIA), nullptr);
  for (buffer_t* b : hog) Free_buffer(b);
  Ssc_free_handle(dst);
  pump();  // congestion notices to ENT_SM
  rec().clear();
  Ssc_free_handle(h);
}

TEST_F(SscHandle, AddHeaderToListAppendsToTheCallersHead) {
  ssc_handle* h = fresh(T::INVITE);
  void* head = nullptr;
  auto* a = static_cast<ssc_hdr_route*>(Ssc_add_header_to_list(h, &head, H::ROUTE));
  auto* b = static_cast<ssc_hdr_route*>(Ssc_add_header_to_list(h, &head, H::ROUTE));
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(head, a);
  EXPECT_EQ(a->next, b);
  EXPECT_EQ(b->next, nullptr);
  EXPECT_EQ(b->s1, nullptr);  // initialised like any instance
  EXPECT_EQ(b->b1, 0xFF);
  EXPECT_EQ(*Ssc_list_head(h, H::ROUTE), nullptr);  // the handle's own list is untouched
  EXPECT_EQ(Ssc_add_header_to_list(h, &head, static_cast<H>(19)), nullptr);
  Ssc_free_handle(h);
}

TEST_F(SscHandle, ReceivedHandleHoldsTheChainUntilReleased) {
  ssc_handle* tx = fresh(T::INVITE);
  auto* sub = static_cast<ssc_hdr_str1*>(Ssc_alloc_header(tx, H::SUBJECT));
  sub->text = "fax call";
  msg_t* m = received(tx, SSC_INVITE_IN);
  ASSERT_NE(m, nullptr);
  buffer_t* body = m->p_buffer;
  EXPECT_EQ(body->link_count, 1);

  ssc_handle* rx = Ssc_alloc_handle();
  ASSERT_EQ(Ssc_unformat_msg(rx, m), OM_OS_OK);
  EXPECT_EQ(rx->rx_buffer, body);
  EXPECT_EQ(body->link_count, 2);
  const char* text = Ssc_first<ssc_hdr_str1>(rx, H::SUBJECT)->text;
  EXPECT_GE(text, reinterpret_cast<const char*>(Buffer_room(body)));  // points into the body, not copied
  EXPECT_LT(text, reinterpret_cast<const char*>(Buffer_room(body) + 1600));
  Free_msg(m);
  EXPECT_EQ(body->link_count, 1);
  EXPECT_STREQ(text, "fax call");  // still held by the handle (ASan checks the read)
  // Re-initialising releases the chain.
  const int with_body = held();
  ASSERT_EQ(Ssc_init_handle(rx, T::BYE), OM_OS_OK);
  EXPECT_EQ(held(), with_body - 1);
  EXPECT_EQ(rx->rx_buffer, nullptr);
  Ssc_free_handle(rx);
  Ssc_free_handle(tx);
}

TEST_F(SscHandle, ReceivedChainOfSeveralBuffersIsHeldWhole) {
  ssc_handle* tx = fresh(T::INVITE);
  const std::string text(700, 'q');
  for (int i = 0; i < 5; ++i) static_cast<ssc_hdr_str1*>(Ssc_alloc_header(tx, H::SUBJECT))->text = text.c_str();
  msg_t* m = received(tx, SSC_INVITE_IN);
  ASSERT_NE(m, nullptr);
  ASSERT_EQ(chain_count(m->p_buffer), 3u);
  // A buffer whose count is 0 counts as one holder.
  m->p_buffer->next->link_count = 0;
  ssc_handle* rx = Ssc_alloc_handle();
  ASSERT_EQ(Ssc_unformat_msg(rx, m), OM_OS_OK);
  for (buffer_t* b = m->p_buffer; b; b = b->next) EXPECT_EQ(b->link_count, 2);
  Free_msg(m);
  unsigned n = 0;
  for (auto* s = Ssc_first<ssc_hdr_str1>(rx, H::SUBJECT); s && n < 10; s = s->next, ++n)
    EXPECT_EQ(std::string(s->text), text);
  EXPECT_EQ(n, 5u);
  Ssc_free_handle(rx);
  Ssc_free_handle(tx);
}

TEST_F(SscHandle, CopyOutlivesItsSource) {
  ssc_handle* tx = fresh(T::INVITE_RS);
  tx->transaction_number = 0x8005;
  tx->carried_word_1 = 7;
  auto* from = static_cast<ssc_hdr_name_addr*>(Ssc_alloc_header(tx, H::FROM));
  from->s1 = "Fax";
  from->uri.user_form = 'U';
  from->uri.user_param = 0xFF;
  from->uri.user = "alice";
  from->uri.host_family = 'N';
  from->uri.host_name = "example.org";
  auto* body = static_cast<ssc_hdr_body*>(Ssc_alloc_header(tx, H::BODY));
  body->part = 0xFF;
  body->length = 4;
  body->bytes = reinterpret_cast<const u8*>("v=0\r");
  auto* pa = static_cast<ssc_hdr_challenge*>(Ssc_alloc_header(tx, H::PROXY_AUTHENTICATE));
  pa->s1 = "realm";
  pa->count = 0xFFFF;
  msg_t* m = received(tx, SSC_INVITE_CO);
  ASSERT_NE(m, nullptr);
  ssc_handle* rx = Ssc_alloc_handle();
  ASSERT_EQ(Ssc_unformat_msg(rx, m), OM_OS_OK);

  ssc_handle* copy = Ssc_alloc_handle();
  ASSERT_EQ(Ssc_copy_msg(copy, rx), copy);
  // The source and its message go; the copy's strings live in its own area.
  Free_msg(m);
  Ssc_free_handle(rx);
  Ssc_free_handle(tx);
  EXPECT_EQ(copy->type, T::INVITE_RS);
  EXPECT_EQ(copy->transaction_number, 0x8005);
  EXPECT_EQ(copy->carried_word_1, 0xFFFF);  // only the number is copied
  auto* f = Ssc_first<ssc_hdr_name_addr>(copy, H::FROM);
  ASSERT_NE(f, nullptr);
  EXPECT_STREQ(f->s1, "Fax");
  EXPECT_STREQ(f->uri.user, "alice");
  EXPECT_STREQ(f->uri.host_name, "example.org");
  EXPECT_EQ(f->uri.maddr, nullptr);
  auto* b = Ssc_first<ssc_hdr_body>(copy, H::BODY);
  ASSERT_NE(b, nullptr);
  ASSERT_EQ(b->length, 4);
  EXPECT_EQ(std::memcmp(b->bytes, "v=0\r", 4), 0);
  auto* c = Ssc_first<ssc_hdr_challenge>(copy, H::PROXY_AUTHENTICATE);
  EXPECT_STREQ(c->s1, "realm");
  EXPECT_EQ(c->bytes, nullptr);
  Ssc_free_handle(copy);
}

TEST_F(SscHandle, TransactionLinkAndSecondRouteListAreNotCopied) {
  ssc_handle* src = fresh(T::INVITE);
  Ssc_alloc_header(src, H::TX_LINK);
  static_cast<ssc_hdr_route*>(Ssc_alloc_header(src, H::ROUTE_2))->s1 = "r";
  static_cast<ssc_hdr_route*>(Ssc_alloc_header(src, H::ROUTE))->s1 = "r";
  ssc_handle* dst = Ssc_alloc_handle();
  ASSERT_EQ(Ssc_copy_msg(dst, src), dst);
  EXPECT_EQ(*Ssc_list_head(dst, H::TX_LINK), nullptr);
  EXPECT_EQ(*Ssc_list_head(dst, H::ROUTE_2), nullptr);
  ASSERT_NE(Ssc_first<ssc_hdr_route>(dst, H::ROUTE), nullptr);
  EXPECT_STREQ(Ssc_first<ssc_hdr_route>(dst, H::ROUTE)->s1, "r");
  Ssc_free_handle(dst);
  Ssc_free_handle(src);
}

TEST_F(SscHandle, CopyThatDoesNotFitIsReportedNotHalfDone) {
  ssc_handle* src = fresh(T::INVITE);
  const std::string big(1700, 'z');
  static_cast<ssc_hdr_str1*>(Ssc_alloc_header(src, H::ORGANIZATION))->text = "ok";
  static_cast<ssc_hdr_str1*>(Ssc_alloc_header(src, H::SUBJECT))->text = big.c_str();
  ssc_handle* dst = Ssc_alloc_handle();
  EXPECT_EQ(Ssc_copy_msg(dst, src), nullptr);
  EXPECT_EQ(*Ssc_list_head(dst, H::ORGANIZATION), nullptr);
  EXPECT_EQ(*Ssc_list_head(dst, H::SUBJECT), nullptr);
  // Other refusals.
  ASSERT_EQ(Ssc_init_handle(src, T::TYPE_39), OM_OS_OK);
  EXPECT_EQ(Ssc_copy_msg(dst, src), nullptr);  // no list
  EXPECT_EQ(Ssc_copy_msg(nullptr, src), nullptr);
  EXPECT_EQ(Ssc_copy_msg(dst, nullptr), nullptr);
  dst->ref_count = 2;
  ASSERT_EQ(Ssc_init_handle(src, T::BYE), OM_OS_OK);
  EXPECT_EQ(Ssc_copy_msg(dst, src), nullptr);  // shared target
  dst->ref_count = 1;
  Ssc_free_handle(dst);
  Ssc_free_handle(src);
}

TEST_F(SscHandle, CopyOfManagementRequestKeepsOneRecordWithTheSourceValues) {
  ssc_handle* src = fresh(T::SM_RQ);
  auto* mg = Ssc_first<ssc_hdr_mgmt>(src, H::MANAGEMENT);
  ASSERT_NE(mg, nullptr);
  mg->w1 = 0x4242;
  ssc_handle* dst = Ssc_alloc_handle();
  ASSERT_EQ(Ssc_copy_msg(dst, src), dst);
  auto* got = Ssc_first<ssc_hdr_mgmt>(dst, H::MANAGEMENT);
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(got->w1, 0x4242);
  EXPECT_EQ(got->next, nullptr);
  Ssc_free_handle(dst);
  Ssc_free_handle(src);
}

TEST_F(SscHandle, OptionTags) {
  ssc_handle* h = fresh(T::INVITE);
  auto add = [&](H id, u8 code) { static_cast<ssc_hdr_code_text*>(Ssc_alloc_header(h, id))->code = code; };
  add(H::SUPPORTED, 't');
  add(H::SUPPORTED, 'r');
  add(H::REQUIRE, '1');
  EXPECT_TRUE(Ssc_supported_has_tag(h, 't'));
  EXPECT_TRUE(Ssc_supported_has_tag(h, 'r'));
  EXPECT_FALSE(Ssc_supported_has_tag(h, '1'));
  EXPECT_TRUE(Ssc_require_has_tag(h, '1'));
  EXPECT_FALSE(Ssc_require_has_tag(h, 't'));
  Ssc_free_handle(h);

  struct tc {
    std::vector<u8> codes;
    u32 mask;
  } cases[] = {
      {{}, 0},       {{'f'}, 0x80}, {{'1'}, 0x01},  {{'t'}, 0x02},           {{'r'}, 0x04},           {{'p'}, 0x08},
      {{'h'}, 0x10}, {{'l'}, 0x20}, {{0xFF}, 0x80}, {{'1', 't', 'r'}, 0x07}, {{'t', 'f', 'l'}, 0xA2},
  };
  for (const auto& c : cases) {
    std::vector<ssc_hdr_code_text> list(c.codes.size());
    for (size_t i = 0; i < list.size(); ++i) {
      list[i].code = c.codes[i];
      list[i].next = i + 1 < list.size() ? &list[i + 1] : nullptr;
    }
    EXPECT_EQ(Ssc_option_tags_mask(list.empty() ? nullptr : &list[0]), c.mask);
  }
}

TEST_F(SscHandle, UnformatTakesTheTypeFromTheCode) {
  struct tc {
    code_t code;
    T type;  // the type the body is packed as, and the one it reads back as
  } cases[] = {
      {SSC_INVITE_RQ, T::INVITE},
      {SSC_INVITE_IN, T::INVITE},
      {SSC_BYE_RQ, T::BYE},
      {SSC_BYE_IN, T::BYE},
      {SSC_REGISTER_RQ, T::REGISTER},
      {SSC_REGISTER_IN, T::REGISTER},
      {SSC_ACK_RQ, T::ACK},
      {SSC_ACK_IN, T::ACK},
      {SSC_OPTIONS_RQ, T::OPTIONS},
      {SSC_OPTIONS_IN, T::OPTIONS},
      {SSC_CANCEL_RQ, T::CANCEL},
      {SSC_CANCEL_IN, T::CANCEL},
      {SSC_INVITE_RS, T::INVITE_RS},
      {SSC_INVITE_CO, T::INVITE_RS},
      {SSC_BYE_RS, T::BYE_RS},
      {SSC_BYE_CO, T::BYE_RS},
      {SSC_REGISTER_RS, T::REGISTER_RS},
      {SSC_REGISTER_CO, T::REGISTER_RS},
      {SSC_OPTIONS_RS, T::OPTIONS_RS},
      {SSC_OPTIONS_CO, T::OPTIONS_RS},
      {SSC_CANCEL_RS, T::CANCEL_RS},
      {SSC_CANCEL_CO, T::CANCEL_RS},
      {SSC_PROF_REG_RQ, T::PROF_REG},
      {SSC_PROF_REG_CO, T::PROF_REG},
      {SSC_PROF_REM_RQ, T::PROF_REM},
      {SSC_PROF_REM_CO, T::PROF_REM},
      {CLOSE_SESS_RQ, T::CLOSE_SESSION},
      {SESS_CLOSED_IN, T::CLOSE_SESSION},
      {CLOSE_SESS_RS, T::CLOSE_SESSION_CO},
      {CLOSE_SESS_CO, T::CLOSE_SESSION_CO},
      {SSC_SET_PARM_RQ, T::SET_PARM},
      {SSC_LOCAL_ADDR_RQ, T::LOCAL_ADDR},
      {SSC_LOCAL_ADDR_RS, T::LOCAL_ADDR_RS},
  };
  ssc_handle* rx = Ssc_alloc_handle();
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.code));
    ssc_handle* tx = fresh(c.type);
    msg_t* m = received(tx, c.code);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(Ssc_unformat_msg(rx, m), OM_OS_OK);
    EXPECT_EQ(rx->type, c.type);
    Free_msg(m);
    Ssc_free_handle(tx);
  }
  Ssc_free_handle(rx);
}

TEST_F(SscHandle, UnformatRefusals) {
  ssc_handle* tx = fresh(T::INVITE);
  ssc_handle* rx = Ssc_alloc_handle();
  // Unknown code: an empty handle of type NONE and 3.
  msg_t* m = received(tx, 'Q');
  EXPECT_EQ(Ssc_unformat_msg(rx, m), OM_OS_NOK);
  EXPECT_EQ(rx->type, T::NONE);
  EXPECT_EQ(rx->rx_buffer, nullptr);
  // CALL_CLOSED_IN: empty, type NONE, 2, with or without a body.
  m->code = CALL_CLOSED_IN;
  EXPECT_EQ(Ssc_unformat_msg(rx, m), OM_OS_OK);
  EXPECT_EQ(rx->type, T::NONE);
  EXPECT_EQ(rx->rx_buffer, nullptr);
  Free_msg(m);
  msg_t* bare = make_msg(ENT_SSC, ENT_FOIP, CALL_CLOSED_IN);
  EXPECT_EQ(Ssc_unformat_msg(rx, bare), OM_OS_OK);
  // A known code without a body is refused.
  bare->code = SSC_INVITE_IN;
  EXPECT_EQ(Ssc_unformat_msg(rx, bare), OM_OS_NOK);
  Free_msg(bare);
  EXPECT_EQ(Ssc_unformat_msg(rx, nullptr), OM_OS_NOK);
  // A shared handle is not overwritten.
  m = received(tx, SSC_INVITE_IN);
  rx->ref_count = 2;
  EXPECT_EQ(Ssc_unformat_msg(rx, m), OM_OS_NOK);
  rx->ref_count = 1;
  Free_msg(m);
  Ssc_free_handle(rx);
  Ssc_free_handle(tx);
}

TEST_F(SscHandle, ManagementMessagesFromAndToSm) {
  ssc_handle* tx = fresh(T::SM_RQ);
  auto* mg = Ssc_first<ssc_hdr_mgmt>(tx, H::MANAGEMENT);
  mg->w1 = 0x1111;
  mg->b1 = 1;
  mg->b2 = 2;
  ssc_handle* rx = Ssc_alloc_handle();

  // ' ' to ENT_SM: type 37.
  msg_t* m = SIP_sc_format_rq(0, 0, 0, tx);
  ASSERT_NE(m, nullptr);
  m->from = ENT_SSC;
  ASSERT_EQ(Ssc_unformat_msg(rx, m), OM_OS_OK);
  EXPECT_EQ(rx->type, T::SM_RQ);
  EXPECT_EQ(Ssc_first<ssc_hdr_mgmt>(rx, H::MANAGEMENT)->b1, 1);
  EXPECT_EQ(Buffer_data(m->p_buffer)[0], ENT_SSC);  // the prefix is the message's as before

  // '!' from ENT_SM: type 38, the record's two bytes from prefix bytes 6 and 7.
  m->from = ENT_SM;
  m->to = ENT_SSC;
  m->code = SSC_SM_ANSWER;
  Buffer_data(m->p_buffer)[6] = 0x66;
  Buffer_data(m->p_buffer)[7] = 0x77;
  ASSERT_EQ(Ssc_unformat_msg(rx, m), OM_OS_OK);
  EXPECT_EQ(rx->type, T::SM_ANSWER);
  auto* got = Ssc_first<ssc_hdr_mgmt>(rx, H::MANAGEMENT);
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(got->b1, 0x66);
  EXPECT_EQ(got->b2, 0x77);
  EXPECT_EQ(got->w1, 0x1111);

  // Any other code from ENT_SM: 3, handle untouched.
  m->code = SSC_INVITE_IN;
  EXPECT_EQ(Ssc_unformat_msg(rx, m), OM_OS_NOK);
  EXPECT_EQ(rx->type, T::SM_ANSWER);
  // A body shorter than the prefix.
  m->code = SSC_SM_ANSWER;
  const u16 size = m->p_buffer->data_size;
  m->p_buffer->data_size = 5;
  EXPECT_EQ(Ssc_unformat_msg(rx, m), OM_OS_NOK);
  m->p_buffer->data_size = size;
  Free_msg(m);
  Ssc_free_handle(rx);
  Ssc_free_handle(tx);
}

TEST_F(SscHandle, FormatSetsAddressingAndKeepsTheHandle) {
  ssc_handle* h = fresh(T::SET_PARM);
  static_cast<ssc_hdr_u32*>(Ssc_alloc_header(h, H::MAX_FORWARDS))->value = 70;
  for (int i = 0; i < 2; ++i) {  // packed and sent any number of times
    msg_t* m = SIP_sc_format_rq(9, 10, 255, h);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->code, SSC_SET_PARM_RQ);
    EXPECT_EQ(m->to, ENT_SSC);
    EXPECT_EQ(m->from, ENT_NIL);
    EXPECT_EQ(m->nai, 9);
    EXPECT_EQ(m->conn_id, 10);
    EXPECT_EQ(m->sapi, 255);
    EXPECT_EQ(m->p_buffer->link_count, 1);
    EXPECT_EQ(m->chain_size, m->p_buffer->data_size);
    Free_msg(m);
  }
  EXPECT_EQ(Ssc_first<ssc_hdr_u32>(h, H::MAX_FORWARDS)->value, 70u);
  Ssc_free_handle(h);
}

// A buffer too small for the handle record: trap 397 and a refusal, with
// nothing written past the buffer.
TEST(SscHandleConfig, RecordLargerThanABufferIsRefused) {
  om_os_config c = om_os_default_config;
  c.buffer_size = 512 + BUFFER_HEADER_SIZE;
  use_config(c);
  start_manual(TABLE);
  ASSERT_LT(om_os_get_buffer_room(), SSC_HANDLE_RECORD_SIZE);
  ssc_handle* h = Ssc_alloc_handle();
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(Ssc_init_handle(h, T::INVITE), OM_OS_NOK);
  const auto traps = rec().traps();
  ASSERT_EQ(traps.size(), 1u);
  EXPECT_EQ(traps[0], SSC_TRAP_RECORD_SIZE);
  EXPECT_EQ(Ssc_free_handle(h), OM_OS_OK);
  stop();
}

}  // namespace
