// SSC packed message and header catalogue: byte-exact frames per message
// type, value encodings, pack -> unpack round trips, chaining past one
// buffer, and refusal of malformed bodies.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
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

// Expected bytes, written field by field.
struct bytes {
  std::vector<u8> v;
  bytes& b(u8 x) {
    v.push_back(x);
    return *this;
  }
  bytes& w(u16 x) { return b(static_cast<u8>(x)).b(static_cast<u8>(x >> 8)); }  // host order (little-endian)
  bytes& d(u32 x) { return w(static_cast<u16>(x)).w(static_cast<u16>(x >> 16)); }
  bytes& be(u16 x) { return b(static_cast<u8>(x >> 8)).b(static_cast<u8>(x)); }
  bytes& s(const char* t) {
    if (t)
      for (const char* p = t; *p; ++p) v.push_back(static_cast<u8>(*p));
    return b(0);
  }
  bytes& raw(std::initializer_list<u8> xs) {
    v.insert(v.end(), xs);
    return *this;
  }
  bytes& fill(size_t n, u8 x) {
    v.insert(v.end(), n, x);
    return *this;
  }
  bytes& cat(const bytes& o) {
    v.insert(v.end(), o.v.begin(), o.v.end());
    return *this;
  }
  // One element: id, L (big-endian, counting itself), value.
  bytes& elem(H id, const bytes& value) {
    b(static_cast<u8>(id)).be(static_cast<u16>(value.v.size() + 2));
    return cat(value);
  }
};

// Frame head of a handle straight from Ssc_init_handle (no address).
bytes head(T type, u16 number = 0xFFFF) {
  bytes h;
  h.b(0xFF).be(15).b(static_cast<u8>(type)).w(0xFFFF).w(0xFFFF).b(0).w(number).b(0xFF).b(0xFF).b(0).w(0);
  return h;
}

// Packed form of an ssc_uri with user name, host name and all else absent.
bytes uri_plain(const char* user, const char* host) {
  bytes u;
  u.b(1).s(nullptr).b('U').b(0xFF).s(user);  // scheme, absolute text, user form, user param, user
  u.s(nullptr).b('N').s(host).w(0xFFFF);     // password, family, host name, port
  u.s(nullptr).b('U').s(nullptr).b(0xFF).s(nullptr).b(0xFF).b(0xFF).s(nullptr).s(nullptr);
  return u;
}
void set_uri_plain(ssc_uri& u, const char* user, const char* host) {
  u.scheme = 1;
  u.user_form = 'U';
  u.user = user;
  u.host_family = 'N';
  u.host_name = host;
  u.transport = 'U';
}

class SscPacked : public ::testing::Test {
 public:
  void SetUp() override {
    start_manual(TABLE);
    pump();
    rec().clear();
    base_ = held();
    h_ = Ssc_alloc_handle();
    ASSERT_NE(h_, nullptr);
  }
  void TearDown() override {
    EXPECT_EQ(Ssc_free_handle(h_), OM_OS_OK);
    EXPECT_EQ(held(), base_) << "buffers leaked";
    stop();
  }
  static int held() { return om_os_buffer_pool_stats().in_use - om_os_it_buffer_pool_stats().count; }
  template <class R>
  R* add(H id) {
    auto* r = static_cast<R*>(Ssc_alloc_header(h_, id));
    EXPECT_NE(r, nullptr) << static_cast<int>(id);
    return r;
  }
  // The body SIP_sc_format_rq builds for the handle (without the ENT_SM prefix).
  std::vector<u8> packed(u16 skip = 0) {
    msg_t* m = SIP_sc_format_rq(1, 2, 3, h_);
    EXPECT_NE(m, nullptr);
    if (!m) return {};
    auto v = chain_bytes(m->p_buffer);
    Free_msg(m);
    return std::vector<u8>(v.begin() + skip, v.end());
  }
  // Unpacks raw frame bytes (one buffer) into handle r; the result byte.
  u8 unpack_bytes(const std::vector<u8>& frame, ssc_handle* r, code_t code = SSC_INVITE_RQ) {
    msg_t* m = Alloc_msg();
    buffer_t* b = Store_data_in_buffers(frame.data(), static_cast<u32>(frame.size()), nullptr);
    Msg_attach_chain(m, b);
    m->code = code;
    m->from = ENT_FOIP;
    m->to = ENT_SSC;
    const u8 res = Ssc_unformat_msg(r, m);
    Free_msg(m);
    return res;
  }
  int base_ = 0;
  ssc_handle* h_ = nullptr;
};

// ---------------------------------------------------------------------------

TEST_F(SscPacked, EmptyHandlePacksHeadOnlyWithAddressOfItsFamily) {
  struct tc {
    u8 family;
    size_t size;
    u16 L;
  } cases[] = {{0xFF, 16, 15}, {'4', 20, 19}, {'6', 32, 31}, {'N', 16, 15}};
  for (const auto& c : cases) {
    ASSERT_EQ(Ssc_init_handle(h_, T::BYE), OM_OS_OK);
    h_->addr_family = c.family;
    for (u8 i = 0; i < 16; ++i) h_->addr_v6[i] = static_cast<u8>(0xA0 + i);
    for (u8 i = 0; i < 4; ++i) h_->addr_v4[i] = static_cast<u8>(10 + i);
    h_->addr_port = 5060;
    h_->carried_word_1 = 0x1122;
    h_->carried_word_2 = 0x3344;
    h_->carried_byte_0 = 0x55;
    h_->transaction_number = 0x8001;
    h_->carried_byte_1 = 0x66;
    h_->carried_byte_2 = 0x77;
    bytes want;
    want.b(0xFF).be(c.L).b(1).w(0x1122).w(0x3344).b(0x55).w(0x8001).b(0x66).b(0x77).b(c.family);
    if (c.family == '4') want.raw({10, 11, 12, 13});
    if (c.family == '6')
      for (u8 i = 0; i < 16; ++i) want.b(static_cast<u8>(0xA0 + i));
    want.w(5060);
    const auto got = packed();
    EXPECT_EQ(got.size(), c.size) << c.family;
    EXPECT_EQ(got, want.v) << c.family;

    // The fixed part reads back unchanged.
    ssc_handle* r = Ssc_alloc_handle();
    ASSERT_EQ(unpack_bytes(got, r, SSC_BYE_RQ), OM_OS_OK);
    EXPECT_EQ(r->carried_word_1, 0x1122);
    EXPECT_EQ(r->carried_word_2, 0x3344);
    EXPECT_EQ(r->carried_byte_0, 0x55);
    EXPECT_EQ(r->transaction_number, 0x8001);
    EXPECT_EQ(r->carried_byte_1, 0x66);
    EXPECT_EQ(r->carried_byte_2, 0x77);
    EXPECT_EQ(r->addr_family, c.family);
    EXPECT_EQ(r->addr_port, 5060);
    if (c.family == '4') {
      EXPECT_EQ(r->addr_v4[3], 13);
    }
    if (c.family == '6') {
      EXPECT_EQ(r->addr_v6[15], 0xAF);
    }
    Ssc_free_handle(r);
  }
}

// One message of every type that can be sent, packed to the byte.
TEST_F(SscPacked, FramesOfEveryTypeAreByteExact) {
  struct tc {
    const char* name;
    T type;
    std::function<void(SscPacked*)> build;
    bytes elements;
  };
  const std::vector<tc> cases = {
      {"INVITE", T::INVITE,
       [](SscPacked* t) {
         auto* ta = t->add<ssc_hdr_transport_addr>(H::TRANSPORT_ADDR);
         ta->port = 5060;
         ta->family = '4';
         std::memcpy(ta->v4, "\x0a\x00\x00\x01", 4);
         auto* ct = t->add<ssc_hdr_content_type>(H::CONTENT_TYPE);
         ct->type = 'A';
         ct->subtype = 'H';
         auto* ru = t->add<ssc_hdr_request_uri>(H::REQUEST_URI);
         set_uri_plain(ru->uri, "fax", "example.com");
         t->add<ssc_hdr_u32>(H::MAX_FORWARDS)->value = 70;
       },
       bytes()
           .elem(H::TRANSPORT_ADDR, bytes().w(5060).b('4').raw({10, 0, 0, 1}))
           .elem(H::REQUEST_URI, bytes().s(nullptr).cat(uri_plain("fax", "example.com")))
           .elem(H::CONTENT_TYPE, bytes().b('A').b('H').s(nullptr).s(nullptr).s(nullptr).b(0xFF).s(nullptr)
                                      .s(nullptr).s(nullptr))
           .elem(H::MAX_FORWARDS, bytes().d(70))},
      {"BYE", T::BYE,
       [](SscPacked* t) {
         auto* ci = t->add<ssc_hdr_call_id>(H::CALL_ID);  // not in BYE's list: never packed
         ci->local = "abc";
         auto* sv = t->add<ssc_hdr_product>(H::USER_AGENT);
         sv->product = "Korvane";
         sv->version = "1.0";
       },
       bytes().elem(H::USER_AGENT, bytes().s("Korvane").s("1.0").s(nullptr))},
      {"REGISTER", T::REGISTER,
       [](SscPacked* t) {
         t->add<ssc_hdr_u32>(H::EXPIRES)->value = 3600;
         auto* ci = t->add<ssc_hdr_call_id>(H::CALL_ID);
         ci->local = "abc";
         ci->family = '4';
         std::memcpy(ci->v4, "\x01\x02\x03\x04", 4);
         auto* fr = t->add<ssc_hdr_name_addr>(H::FROM);
         fr->b1 = 1;
         fr->uri.scheme = 1;
         fr->uri.user_form = 'P';
         fr->uri.user_param = 'P';
         fr->uri.tel_global = 1;
         fr->uri.tel_number = "4930123";
         fr->uri.host_family = '4';
         std::memcpy(fr->uri.host_v4, "\xc0\xa8\x01\x02", 4);
         fr->uri.port = 5060;
       },
       bytes()
           .elem(H::CALL_ID, bytes().s("abc").b('4').raw({1, 2, 3, 4}).s(nullptr))
           .elem(H::EXPIRES, bytes().d(3600))
           .elem(H::FROM, bytes()
                              .b(1).s(nullptr).s(nullptr).s(nullptr)
                              .b(1).s(nullptr).b('P').b('P').s(nullptr)
                              .b(1).s("4930123").s(nullptr).s(nullptr).s(nullptr).s(nullptr).s(nullptr)
                              .s(nullptr).b('4').s(nullptr).raw({192, 168, 1, 2}).w(5060)
                              .s(nullptr).b(0xFF).s(nullptr).b(0xFF).s(nullptr).b(0xFF).b(0xFF).s(nullptr)
                              .s(nullptr))},
      {"ACK", T::ACK, [](SscPacked* t) { t->add<ssc_hdr_status>(H::RETURN_CODE); },
       // A fresh instance: u16 all ones, string a single 0.
       bytes().elem(H::RETURN_CODE, bytes().w(0xFFFF).s(nullptr))},
      {"OPTIONS", T::OPTIONS,
       [](SscPacked* t) {
         t->add<ssc_hdr_u32>(H::OPTIONS_VALUE)->value = 7;
         auto* su = t->add<ssc_hdr_code_text>(H::SUPPORTED);
         su->code = 't';
         su->text = "timer";
       },
       bytes().elem(H::SUPPORTED, bytes().b('t').s("timer")).elem(H::OPTIONS_VALUE, bytes().d(7))},
      {"CANCEL", T::CANCEL,
       [](SscPacked* t) {
         auto* v = t->add<ssc_hdr_via>(H::VIA);
         v->protocol = 1;
         v->transport = 'U';
         v->s2 = "2.0";
         v->port = 5060;
         v->family1 = '6';
         v->s4 = "h";
         for (u8 i = 0; i < 16; ++i) v->v6_1[i] = i;
         v->family2 = 0xFF;
       },
       bytes().elem(H::VIA, bytes()
                                .b(1).s(nullptr).b('U').s(nullptr).s("2.0").w(5060)
                                .b('6').s("h").raw({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15})
                                .b(0xFF).s(nullptr).s(nullptr).s(nullptr).w(0xFFFF).b(0xFF))},
      {"INVITE response", T::INVITE_RS,
       [](SscPacked* t) {
         auto* st = t->add<ssc_hdr_status>(H::RETURN_CODE);
         st->code = 200;
         st->reason = "OK";
         t->add<ssc_hdr_none>(H::P_MEDIA_AUTHORIZATION);
         auto* bd = t->add<ssc_hdr_body>(H::BODY);
         bd->part = 0xFF;
         auto* bd2 = t->add<ssc_hdr_body>(H::BODY);
         bd2->part = 1;
         bd2->length = 3;
         bd2->bytes = reinterpret_cast<const u8*>("v=0");
       },
       bytes()
           .raw({4, 0, 7, 200, 0, 'O', 'K', 0})  // status 200 "OK": id 4, L 7
           .raw({31, 0, 2})                      // P-Media-Authorization: no value
           .elem(H::BODY, bytes().b(0xFF).w(0))
           .elem(H::BODY, bytes().b(1).w(3).raw({'v', '=', '0'}))},
      {"BYE response", T::BYE_RS,
       [](SscPacked* t) {
         auto* w = t->add<ssc_hdr_warning>(H::WARNING);
         w->code = 399;
         w->family = 'N';
         w->host_name = "h";
         w->w2 = 0x1234;
         w->s1 = "x";
       },
       bytes().elem(H::WARNING, bytes().w(399).b('N').s("h").w(0x1234).s("x").s(nullptr))},
      {"REGISTER response", T::REGISTER_RS,
       [](SscPacked* t) {
         t->add<ssc_hdr_u32>(H::MIN_EXPIRES)->value = 60;
         auto* sr = t->add<ssc_hdr_route>(H::SERVICE_ROUTE);
         sr->s2 = "lr";
         set_uri_plain(sr->uri, nullptr, "p");
       },
       bytes()
           .elem(H::MIN_EXPIRES, bytes().d(60))
           .elem(H::SERVICE_ROUTE, bytes().s(nullptr).b(0xFF).cat(uri_plain(nullptr, "p")).s("lr"))},
      {"OPTIONS response", T::OPTIONS_RS, [](SscPacked* t) { t->add<ssc_hdr_allow>(H::ALLOW); },
       bytes().elem(H::ALLOW, bytes().raw({1, 1, 0, 1, 0, 1}).fill(23, 0))},
      {"CANCEL response", T::CANCEL_RS,
       [](SscPacked* t) {
         auto* st = t->add<ssc_hdr_status>(H::RETURN_CODE);
         st->code = 487;
         st->reason = "RT";
       },
       bytes().elem(H::RETURN_CODE, bytes().w(487).s("RT"))},
      {"profile register", T::PROF_REG,
       [](SscPacked* t) {
         auto* pp = t->add<ssc_hdr_profile_parms>(H::PROFILE_PARMS);
         const u8 v[4] = {1, 2, 3, 4};
         std::memcpy(pp->parm, v, 4);
         t->add<ssc_hdr_byte>(H::PROFILE_BYTE)->value = 9;
       },
       bytes().elem(H::PROFILE_PARMS, bytes().raw({1, 2, 4})).elem(H::PROFILE_BYTE, bytes().b(9))},
      {"profile remove", T::PROF_REM,
       [](SscPacked* t) {
         auto* ua = t->add<ssc_hdr_str4>(H::USER_AUTH);
         ua->s1 = "realm";
         ua->s2 = "user";
         ua->s3 = "pw";
       },
       bytes().elem(H::USER_AUTH, bytes().s("realm").s("user").s("pw").s(nullptr))},
      {"close session", T::CLOSE_SESSION,
       [](SscPacked* t) {
         auto* st = t->add<ssc_hdr_status>(H::RETURN_CODE);
         st->code = 486;
         st->reason = "Busy";
       },
       bytes().elem(H::RETURN_CODE, bytes().w(486).s("Busy"))},
      {"close-session confirm", T::CLOSE_SESSION_CO,
       [](SscPacked* t) {
         auto* sv = t->add<ssc_hdr_product>(H::SERVER);
         sv->product = "K";
         sv->version = "1";
       },
       bytes().elem(H::SERVER, bytes().s("K").s("1").s(nullptr))},
      {"set parameters", T::SET_PARM,
       [](SscPacked* t) {
         t->add<ssc_hdr_u32>(H::MAX_FORWARDS)->value = 70;
         auto* ua = t->add<ssc_hdr_product>(H::USER_AGENT);
         ua->product = "K";
       },
       bytes().elem(H::MAX_FORWARDS, bytes().d(70)).elem(H::USER_AGENT, bytes().s("K").s(nullptr).s(nullptr))},
      {"local addresses", T::LOCAL_ADDR,
       [](SscPacked* t) {
         auto* rt = t->add<ssc_hdr_route>(H::ROUTE);
         rt->uri.scheme = 1;
         rt->uri.host_family = '4';
         std::memcpy(rt->uri.host_v4, "\x7f\x00\x00\x01", 4);
         rt->uri.port = 5062;
       },
       bytes().elem(H::ROUTE, bytes()
                                  .s(nullptr).b(0xFF).s(nullptr)
                                  .b(1).s(nullptr).b(0xFF).b(0xFF).s(nullptr)
                                  .s(nullptr).b('4').s(nullptr).raw({127, 0, 0, 1}).w(5062)
                                  .s(nullptr).b(0xFF).s(nullptr).b(0xFF).s(nullptr).b(0xFF).b(0xFF)
                                  .s(nullptr).s(nullptr))},
      {"local addresses answer", T::LOCAL_ADDR_RS,
       [](SscPacked* t) {
         auto* st = t->add<ssc_hdr_status>(H::RETURN_CODE);
         st->code = 200;
         st->reason = "";  // an empty string packs as its 0 alone
       },
       bytes().elem(H::RETURN_CODE, bytes().w(200).s(nullptr))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(Ssc_init_handle(h_, c.type), OM_OS_OK);
    c.build(this);
    const bytes want = head(c.type).cat(c.elements);
    EXPECT_EQ(packed(), want.v);
  }
}

TEST_F(SscPacked, ManagementRequestCarriesPrefixThenFrame) {
  ASSERT_EQ(Ssc_init_handle(h_, T::SM_RQ), OM_OS_OK);
  auto* mg = Ssc_first<ssc_hdr_mgmt>(h_, H::MANAGEMENT);
  ASSERT_NE(mg, nullptr);  // made by Ssc_init_handle
  mg->w1 = 0x0102;
  mg->b1 = 3;
  mg->b2 = 4;
  mg->w2 = 0x0506;
  mg->b3 = 7;
  mg->d1 = 8;
  mg->d2 = 9;
  mg->b4 = 10;
  mg->b5 = 11;
  mg->b6 = 12;
  mg->spare = 13;  // not packed
  mg->b7 = 14;
  msg_t* m = SIP_sc_format_rq(5, 6, 7, h_);
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->to, ENT_SM);
  EXPECT_EQ(m->from, ENT_NIL);
  EXPECT_EQ(m->code, SSC_SM_RQ);
  EXPECT_EQ(m->nai, 5);
  EXPECT_EQ(m->conn_id, 6);
  EXPECT_EQ(m->sapi, 7);
  const bytes want =
      bytes()
          .raw({ENT_SSC, 0})
          .w(0x0102)
          .w(0x0506)
          .b(3)
          .b(4)
          .cat(head(T::SM_RQ))
          .elem(H::MANAGEMENT, bytes().w(0x0102).b(3).b(4).w(0x0506).b(7).d(8).d(9).b(10).b(11).b(12).b(14));
  EXPECT_EQ(chain_bytes(m->p_buffer), want.v);
  EXPECT_EQ(m->chain_size, want.v.size());
  Free_msg(m);
}

// pack -> unpack -> pack gives the same bytes for a message carrying every
// header its type allows, each with set fields.
TEST_F(SscPacked, RoundTripOfEveryAllowedHeaderPerType) {
  for (unsigned t = 0; t < SSC_MSG_TYPE_COUNT; ++t) {
    const auto type = static_cast<T>(t);
    const ssc_msg_type_row& row = ssc_msg_type_table[t];
    if (!row.allowed || type == T::SM_ANSWER || type == T::TYPE_39) continue;
    SCOPED_TRACE(t);
    ASSERT_EQ(Ssc_init_handle(h_, type), OM_OS_OK);
    h_->addr_family = '4';
    h_->addr_port = 1234;
    unsigned n = 0;
    for (const u8* id = row.allowed; *id != SSC_LIST_END; ++id) {
      const auto hid = static_cast<H>(*id);
      if (hid == H::MANAGEMENT && type == T::SM_RQ) continue;  // already there
      ASSERT_NE(Ssc_alloc_header(h_, hid), nullptr) << int(*id);
      ++n;
    }
    auto* name = Ssc_first<ssc_hdr_name_addr>(h_, H::FROM);
    if (name) {
      name->s1 = "display";
      name->uri.user_param = 'P';
      name->uri.tel_number = "123";
      name->uri.host_family = 'N';
      name->uri.host_name = "host.example";
    }
    const auto first = packed(type == T::SM_RQ ? SSC_SM_PREFIX_SIZE : 0);
    ASSERT_FALSE(first.empty());
    EXPECT_GT(n, 0u);

    ssc_handle* r = Ssc_alloc_handle();
    const code_t code = row.code == 0 ? CLOSE_SESS_CO : row.code;
    const u8 res = type == T::SM_RQ ? OM_OS_OK : unpack_bytes(first, r, code);
    if (type != T::SM_RQ) {
      ASSERT_EQ(res, OM_OS_OK);
      EXPECT_EQ(r->type, type);
      std::swap(h_, r);
      EXPECT_EQ(packed(), first);
      std::swap(h_, r);
      if (name) {
        auto* got = Ssc_first<ssc_hdr_name_addr>(r, H::FROM);
        ASSERT_NE(got, nullptr);
        EXPECT_STREQ(got->s1, "display");
        EXPECT_STREQ(got->uri.tel_number, "123");
        EXPECT_STREQ(got->uri.host_name, "host.example");
        EXPECT_EQ(got->uri.tel_2, nullptr);
      }
    }
    Ssc_free_handle(r);
  }
}

TEST_F(SscPacked, MessageLongerThanOneBufferChainsWholeElements) {
  ASSERT_EQ(Ssc_init_handle(h_, T::INVITE), OM_OS_OK);
  const std::string text(90, 'x');
  std::vector<std::string> texts;
  for (int i = 0; i < 40; ++i) texts.push_back(text + (i < 10 ? "0" : "") + std::to_string(i));
  for (const auto& s : texts) {
    auto* sub = static_cast<ssc_hdr_str1*>(Ssc_alloc_header(h_, H::SUBJECT));
    ASSERT_NE(sub, nullptr);
    sub->text = s.c_str();
  }
  msg_t* m = SIP_sc_format_rq(0, 0, 0, h_);
  ASSERT_NE(m, nullptr);
  const buffer_t* b = m->p_buffer;
  ASSERT_EQ(chain_count(b), 3u);  // 40 elements of 96 bytes behind a 16-byte head
  EXPECT_EQ(m->chain_size, Buffer_chain_length(b));
  // Every buffer holds whole elements: each one begins with an element.
  const u16 per_buffer = 1600 / 96;
  EXPECT_EQ(b->data_size, 16 + (1600 - 16) / 96 * 96);
  EXPECT_EQ(b->next->data_size, per_buffer * 96);
  EXPECT_EQ(Buffer_data(b->next)[0], static_cast<u8>(H::SUBJECT));
  EXPECT_EQ(b->next->data_offset, BUFFER_HEADER_SIZE);

  ssc_handle* r = Ssc_alloc_handle();
  ASSERT_EQ(Ssc_unformat_msg(r, m), OM_OS_OK);
  unsigned i = 0;
  for (auto* s = Ssc_first<ssc_hdr_str1>(r, H::SUBJECT); s && i < 100; s = s->next, ++i)
    EXPECT_EQ(std::string(s->text), texts[i]);
  EXPECT_EQ(i, 40u);
  Free_msg(m);
  Ssc_free_handle(r);
}

TEST_F(SscPacked, ElementLargerThanABufferRefusesTheWholeMessage) {
  ASSERT_EQ(Ssc_init_handle(h_, T::INVITE), OM_OS_OK);
  const std::string big(1700, 'y');
  static_cast<ssc_hdr_str1*>(Ssc_alloc_header(h_, H::SUBJECT))->text = "small";
  static_cast<ssc_hdr_str1*>(Ssc_alloc_header(h_, H::SUBJECT))->text = big.c_str();
  const int before = held();
  EXPECT_EQ(SIP_sc_format_rq(0, 0, 0, h_), nullptr);
  EXPECT_EQ(held(), before);

  // ssc_pack_msg leaves a buffer it was given as it found it.
  buffer_t* b = Alloc_buffer();
  b->link_count = 1;
  b->data_size = 4;
  EXPECT_EQ(ssc_pack_msg(b, h_, T::INVITE), OM_OS_NOK);
  EXPECT_EQ(b->data_size, 4);
  EXPECT_EQ(b->next, nullptr);
  Free_buffer(b);
}

TEST_F(SscPacked, TypesWithoutDestinationOrListAreNotFormatted) {
  for (unsigned t : {6u, 12u, 18u, 28u, 34u, 38u, 39u, 40u}) {
    ASSERT_EQ(Ssc_init_handle(h_, static_cast<T>(t)), OM_OS_OK);
    EXPECT_EQ(SIP_sc_format_rq(0, 0, 0, h_), nullptr) << t;
  }
  // Type 37 without its management record.
  ASSERT_EQ(Ssc_init_handle(h_, T::SM_RQ), OM_OS_OK);
  *Ssc_list_head(h_, H::MANAGEMENT) = nullptr;
  EXPECT_EQ(SIP_sc_format_rq(0, 0, 0, h_), nullptr);
  EXPECT_EQ(held(), base_ + 1);
}

// Malformed bodies: each is refused, with no instance left behind and no
// read outside the data (ASan).
TEST_F(SscPacked, MalformedBodiesAreRefused) {
  const bytes ok = head(T::INVITE).elem(H::SUBJECT, bytes().s("hi"));
  struct tc {
    const char* name;
    std::vector<u8> frame;
  };
  auto with = [&](std::function<void(std::vector<u8>&)> f) {
    std::vector<u8> v = ok.v;
    f(v);
    return v;
  };
  const std::vector<tc> cases = {
      {"element L below 2", with([](auto& v) { v[17] = 0, v[18] = 1; })},
      {"element L zero", with([](auto& v) { v[17] = 0, v[18] = 0; })},
      {"element past the end", with([](auto& v) { v[18] = 6; })},
      {"element head cut", with([](auto& v) { v.resize(18); })},
      {"string without its 0", with([](auto& v) { v.back() = 'x'; })},
      {"id 97", with([](auto& v) { v[16] = 97; })},
      {"id 255", with([](auto& v) { v[16] = 255; })},
      {"type 41", with([](auto& v) { v[3] = 41; })},
      {"frame L past the data", with([](auto& v) { v[2] = 200; })},
      {"frame L too short for the fixed part", with([](auto& v) { v[2] = 10; })},
      {"IPv6 family without its address", with([](auto& v) { v[13] = '6'; })},
      {"no marker", with([](auto& v) { v[0] = 0; })},
      {"two bytes", {0xFF, 0}},
      {"value shorter than its fields", head(T::INVITE).elem(H::MAX_FORWARDS, bytes().w(1)).v},
      {"counted bytes past the value", head(T::INVITE).elem(H::BODY, bytes().b(0xFF).w(9).raw({1, 2})).v},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ssc_handle* r = Ssc_alloc_handle();
    EXPECT_EQ(unpack_bytes(c.frame, r), OM_OS_NOK);
    EXPECT_EQ(r->type, T::NONE);
    EXPECT_EQ(Ssc_first<ssc_hdr_str1>(r, H::SUBJECT), nullptr);
    EXPECT_EQ(r->rx_buffer, nullptr);
    Ssc_free_handle(r);
  }
  ssc_handle* r = Ssc_alloc_handle();
  EXPECT_EQ(unpack_bytes(ok.v, r), OM_OS_OK);
  EXPECT_STREQ(Ssc_first<ssc_hdr_str1>(r, H::SUBJECT)->text, "hi");
  Ssc_free_handle(r);
}

TEST_F(SscPacked, ElementsWithoutUnpackFunctionAreSteppedOver) {
  const bytes frame = head(T::INVITE)
                          .elem(H::TX_LINK, bytes().raw({1, 2, 3}))
                          .elem(H::ROUTE_2, bytes())
                          .raw({19, 0, 3, 0x55})
                          .elem(H::SUBJECT, bytes().s(""))              // empty string reads back as null
                          .elem(H::EXPIRES, bytes().d(9).raw({7, 7}));  // extra bytes behind the value
  ssc_handle* r = Ssc_alloc_handle();
  ASSERT_EQ(unpack_bytes(frame.v, r), OM_OS_OK);
  EXPECT_EQ(*Ssc_list_head(r, H::TX_LINK), nullptr);
  EXPECT_EQ(*Ssc_list_head(r, H::ROUTE_2), nullptr);
  auto* s = Ssc_first<ssc_hdr_str1>(r, H::SUBJECT);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->text, nullptr);
  EXPECT_EQ(Ssc_first<ssc_hdr_u32>(r, H::EXPIRES)->value, 9u);
  Ssc_free_handle(r);
}

TEST_F(SscPacked, BodyCountsAndNeverSetPointers) {
  ASSERT_EQ(Ssc_init_handle(h_, T::INVITE), OM_OS_OK);
  auto* b1 = static_cast<ssc_hdr_body*>(Ssc_alloc_header(h_, H::BODY));
  b1->part = 0xFF;
  b1->length = 0xFFFF;  // absent: no bytes
  auto* b2 = static_cast<ssc_hdr_body*>(Ssc_alloc_header(h_, H::BODY));
  b2->part = 2;
  b2->length = 5;  // a count with no bytes behind it goes as 0
  auto* t38 = static_cast<ssc_hdr_sdp_t38*>(Ssc_alloc_header(h_, H::T38_CNCT_DESCR));
  t38->family = 'N';  // host name never set: packs as an empty string
  const auto got = packed();
  bytes want = head(T::INVITE)
                   .elem(H::BODY, bytes().b(0xFF).w(0xFFFF))
                   .elem(H::BODY, bytes().b(2).w(0))
                   .elem(H::T38_CNCT_DESCR, bytes()
                                                .b(0xFF)
                                                .b(0xFF)
                                                .w(0xFFFF)
                                                .b(0xFF)
                                                .b(0xFF)
                                                .b(0xFF)
                                                .w(0xFFFF)
                                                .b(0xFF)
                                                .b(0xFF)
                                                .b(0xFF)
                                                .d(0xFFFFFFFF)
                                                .b(0xFF)
                                                .b(0xFF)
                                                .b(0xFF)
                                                .b(0xFF)
                                                .d(0xFFFFFFFF)
                                                .d(0xFFFFFFFF)
                                                .b(0xFF)
                                                .b('N')
                                                .s(nullptr)
                                                .s(nullptr)
                                                .s(nullptr)
                                                .b(0xFF));
  EXPECT_EQ(got, want.v);
  ssc_handle* r = Ssc_alloc_handle();
  ASSERT_EQ(unpack_bytes(got, r), OM_OS_OK);
  auto* rb = Ssc_first<ssc_hdr_body>(r, H::BODY);
  EXPECT_EQ(rb->length, 0xFFFF);
  EXPECT_EQ(rb->bytes, nullptr);
  EXPECT_EQ(rb->next->length, 0);
  EXPECT_EQ(rb->next->bytes, nullptr);
  Ssc_free_handle(r);
}

// ---------------------------------------------------------------------------
// Catalogue.

TEST(SscCatalogue, IdsWithoutRowAndListSlots) {
  const unsigned no_row[] = {19, 47, 48, 69, 70, 71, 73, 74, 76, 77, 78, 79, 80, 81, 82, 83, 86, 87, 88};
  for (unsigned id : no_row) EXPECT_EQ(ssc_header_row(static_cast<H>(id)), nullptr) << id;
  EXPECT_EQ(ssc_header_row(static_cast<H>(97)), nullptr);
  unsigned rows = 0;
  for (unsigned id = 0; id < SSC_HEADER_ID_COUNT; ++id) rows += ssc_header_row(static_cast<H>(id)) != nullptr;
  EXPECT_EQ(rows, SSC_LIST_SLOTS);
  // List heads: 0, 1, 91, 2, 90, 95 first, then 3 upward.
  const unsigned first[] = {0, 1, 91, 2, 90, 95, 3, 4};
  for (unsigned i = 0; i < 8; ++i) EXPECT_EQ(ssc_header_row(static_cast<H>(first[i]))->slot, i) << first[i];
  EXPECT_EQ(ssc_header_row(H::ROUTE_2)->slot, SSC_LIST_SLOTS - 1);
  for (H id : {H::TX_LINK, H::ROUTE_2}) {
    EXPECT_FALSE(ssc_header_row(id)->pack);
    EXPECT_FALSE(ssc_header_row(id)->copy);
    EXPECT_GT(ssc_header_row(id)->size, 0);
  }
  EXPECT_EQ(ssc_header_row(H::ROUTE_2)->size, ssc_header_row(H::ROUTE)->size);
}

// Each value layout in its packed order (which differs from the record order
// for several ids), with a distinct value in every field; the value reads
// back to the same bytes.
TEST(SscCatalogue, ValueLayoutsInPackedOrder) {
  alignas(8) static u8 rec[SSC_MAX_RECORD_SIZE];
  struct tc {
    H id;
    std::function<void(void*)> set;
    bytes value;
  };
  const u8 v6[16] = {0x20, 1, 0xd, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 9};
  auto v6b = [&]() { return bytes().raw({0x20, 1, 0xd, 0xb8}).fill(11, 0).b(9); };
  const std::vector<tc> cases = {
      {H::ACCEPT,
       [](void* p) {
         auto* r = static_cast<ssc_hdr_accept*>(p);
         r->b1 = 1, r->b2 = 2, r->s1 = "a", r->s2 = "b", r->s3 = "c", r->s4 = "d", r->s5 = "e";
       },
       bytes().b(1).b(2).s("a").s("b").s("e").s("c").s("d")},
      {H::CONTACT,
       [](void* p) {
         auto* r = static_cast<ssc_hdr_contact*>(p);
         r->b1 = 1, r->s1 = "a", r->s2 = "b", r->d1 = 3600, r->s3 = "c", r->b2 = 2, r->s4 = "d", r->s5 = "e";
         r->uri.scheme = 'S', r->uri.uri_byte_1 = 4;
       },
       bytes()
           .b(1)
           .s("a")
           .s("b")
           .d(3600)
           .s("c")
           .b(2)
           .b(4)
           .s("d")
           .s("e")
           .b('S')
           .s(nullptr)
           .b(0xFF)
           .b(0xFF)
           .s(nullptr)
           .s(nullptr)
           .b(0xFF)
           .s(nullptr)
           .w(0xFFFF)
           .s(nullptr)
           .b(0xFF)
           .s(nullptr)
           .b(0xFF)
           .s(nullptr)
           .b(4)
           .b(0xFF)
           .s(nullptr)
           .s(nullptr)},
      {H::CONTENT_TYPE,
       [](void* p) {
         auto* r = static_cast<ssc_hdr_content_type*>(p);
         r->type = 'M', r->subtype = 'X', r->s1 = "1", r->s2 = "2", r->b3 = 3, r->s3 = "3", r->s4 = "4";
         r->s5 = "5", r->s6 = "6";
       },
       bytes().b('M').b('X').s("1").s("2").s("4").b(3).s("3").s("5").s("6")},
      {H::IN_REPLY_TO,
       [](void* p) {
         auto* r = static_cast<ssc_hdr_in_reply_to*>(p);
         r->s1 = "id", r->family = 'N', r->host_name = "h.example";
       },
       bytes().s("id").b('N').s("h.example")},
      {H::REPLACES,
       [&](void* p) {
         auto* r = static_cast<ssc_hdr_replaces*>(p);
         r->w1 = 0x0102, r->b1 = 3, r->s1 = "cid", r->family = '6', r->s2 = "t1", r->s3 = "t2", r->s4 = "x";
         std::memcpy(r->v6, v6, 16);
       },
       bytes().w(0x0102).b(3).s("cid").b('6').cat(v6b()).s("t1").s("t2").s("x")},
      {H::AUTHORIZATION,
       [](void* p) {
         auto* r = static_cast<ssc_hdr_credentials*>(p);
         r->scheme = 'D', r->algorithm = 'M', r->b3 = 0xFF, r->qop = 'A', r->nonce_count = 10;
         r->s[0] = "user", r->s[11] = "last";
       },
       bytes().b('D').b('M').b(0xFF).b('A').d(10).s("user").fill(10, 0).s("last")},
      {H::PROXY_AUTHENTICATE,
       [](void* p) {
         auto* r = static_cast<ssc_hdr_challenge*>(p);
         r->b1 = 'D', r->b2 = 'T', r->b3 = 'M', r->b4 = 4, r->s1 = "realm", r->s3 = "n";
         r->count = 2, r->bytes = reinterpret_cast<const u8*>("AI"), r->s7 = "z";
       },
       bytes()
           .b('D')
           .b('T')
           .b('M')
           .b(4)
           .s("realm")
           .s(nullptr)
           .s("n")
           .s(nullptr)
           .s(nullptr)
           .w(2)
           .raw({'A', 'I'})
           .s(nullptr)
           .s("z")},
      {H::REASON,
       [](void* p) {
         auto* r = static_cast<ssc_hdr_reason*>(p);
         r->protocol = 'S', r->s1 = "a", r->cause = 486, r->s2 = "Busy", r->s3 = "p";
       },
       bytes().b('S').s("a").w(486).s("Busy").s("p")},
      {H::RETRY_AFTER,
       [](void* p) {
         auto* r = static_cast<ssc_hdr_retry_after*>(p);
         r->d1 = 5, r->d2 = 6, r->s1 = "c", r->s2 = "p";
       },
       bytes().d(5).d(6).s("c").s("p")},
      {H::TIMESTAMP,
       [](void* p) {
         auto* r = static_cast<ssc_hdr_timestamp*>(p);
         r->d1 = 1, r->d2 = 2, r->d3 = 3, r->d4 = 4, r->s1 = "t";
       },
       bytes().d(1).d(2).d(3).d(4).s("t")},
      {H::SESSION_EXPIRES,
       [](void* p) {
         auto* r = static_cast<ssc_hdr_session_expires*>(p);
         r->delta = 1800, r->refresher = 'u', r->s1 = "x";
       },
       bytes().d(1800).b('u').s("x")},
      {H::SDP_MAIN_BODY,
       [](void* p) {
         auto* r = static_cast<ssc_hdr_sdp_session*>(p);
         r->net_type = 'I', r->bw_type = 0xFF, r->bw_value = 64, r->family = '4';
         std::memcpy(r->v4, "\x0a\x01\x02\x03", 4);
         r->host = nullptr, r->session_name = "s", r->start_time = "0", r->stop_time = "0", r->extra = nullptr;
         r->media_lines = 12;
       },
       bytes().b('I').b(0xFF).w(64).b('4').raw({10, 1, 2, 3}).s(nullptr).s("s").s("0").s("0").s(nullptr).b(12)},
      {H::AUDIO_CNCT_DESCR,
       [](void* p) {
         auto* r = static_cast<ssc_hdr_sdp_media*>(p);
         r->kind = 'A', r->port = 49170, r->port_count = 1, r->transport = 'R', r->net_type = 'I';
         r->bw_type = 2, r->bw_value = 3, r->direction = 's', r->ptime = 20, r->maxptime = 40, r->key_method = 9;
         r->family = 0xFF, r->host = "h", r->format_count = 3, r->formats = reinterpret_cast<const u8*>("\x00\x08\x65");
         r->key = nullptr, r->extra = "a=x", r->media_pos = 1;
       },
       bytes()
           .b('A')
           .w(49170)
           .b(1)
           .b('R')
           .b('I')
           .b(2)
           .w(3)
           .b('s')
           .w(20)
           .w(40)
           .b(9)
           .b(0xFF)
           .s("h")
           .w(3)
           .raw({0, 8, 0x65})
           .s(nullptr)
           .s("a=x")
           .b(1)},
      {H::RTP_CNCT_DESCR,
       [](void* p) {
         auto* r = static_cast<ssc_hdr_sdp_rtpmap*>(p);
         r->payload_type = 101, r->codec = 'T', r->clock_rate = 8000, r->channels = 1, r->encoding = "telephone-event";
         r->fmtp = "0-15";
       },
       bytes().b(101).b('T').d(8000).b(1).s("telephone-event").s("0-15")},
      {H::OTHER_CNCT_DESCR,
       [](void* p) {
         auto* r = static_cast<ssc_hdr_sdp_other_media*>(p);
         r->port = 9, r->port_count = 1, r->net_type = 'I', r->bw_type = 0xFF, r->bw_value = 0xFFFF;
         r->key_method = 0xFF, r->media_name = "text", r->transport = "RTP/AVP", r->family = '4';
         std::memcpy(r->v4, "\x01\x01\x01\x01", 4);
         r->host = nullptr, r->format = "98", r->format2 = nullptr, r->key = nullptr;
         r->extra_count = 2, r->extra = reinterpret_cast<const u8*>("ab"), r->media_pos = 2;
       },
       bytes()
           .w(9)
           .b(1)
           .b('I')
           .b(0xFF)
           .w(0xFFFF)
           .b(0xFF)
           .s("text")
           .s("RTP/AVP")
           .b('4')
           .raw({1, 1, 1, 1})
           .s(nullptr)
           .s("98")
           .s(nullptr)
           .s(nullptr)
           .w(2)
           .raw({'a', 'b'})
           .b(2)},
      {H::ORIGIN_CNCT_DESCR,
       [](void* p) {
         auto* r = static_cast<ssc_hdr_sdp_origin*>(p);
         r->net_type = 'I', r->user = "-", r->session_id = "1", r->version = "2", r->family = 'N', r->host = "h";
       },
       bytes().b('I').s("-").s("1").s("2").b('N').s("h")},
      {H::T38_CNCT_DESCR,
       [](void* p) {
         auto* r = static_cast<ssc_hdr_sdp_t38*>(p);
         r->kind = 'I', r->format = '8', r->port = 5004, r->transport = 'U', r->net_type = 'I', r->bw_type = 0xFF;
         r->bw_value = 0xFFFF, r->direction = 0xFF, r->key_method = 0xFF, r->version = 0, r->max_bit_rate = 14400;
         r->fill_bit_removal = 0, r->mmr = 0, r->jbig = 0, r->rate_management = 2, r->max_buffer = 200;
         r->max_datagram = 72, r->udp_ec = 2, r->family = '4', r->key = nullptr, r->extra = nullptr;
         r->media_pos = 0;
         std::memcpy(r->v4, "\xc0\x00\x02\x01", 4);
       },
       bytes()
           .b('I')
           .b('8')
           .w(5004)
           .b('U')
           .b('I')
           .b(0xFF)
           .w(0xFFFF)
           .b(0xFF)
           .b(0xFF)
           .b(0)
           .d(14400)
           .b(0)
           .b(0)
           .b(0)
           .b(2)
           .d(200)
           .d(72)
           .b(2)
           .b('4')
           .raw({192, 0, 2, 1})
           .s(nullptr)
           .s(nullptr)
           .b(0)},
      {H::DIVERSION,
       [](void* p) {
         auto* r = static_cast<ssc_hdr_diversion*>(p);
         r->b1 = 1, r->s1 = "d", r->b2 = 2, r->b3 = 3, r->b4 = 4, r->b5 = 5, r->b6 = 6, r->s2 = "w", r->s3 = "x";
         r->s4 = "y", r->s5 = "z", r->uri.scheme = 1;
       },
       bytes()
           .b(1)
           .s("d")
           .b(2)
           .b(3)
           .b(4)
           .b(5)
           .b(6)
           .s("w")
           .s("x")
           .s("y")
           .s("z")
           .b(1)
           .s(nullptr)
           .b(0xFF)
           .b(0xFF)
           .s(nullptr)
           .s(nullptr)
           .b(0xFF)
           .s(nullptr)
           .w(0xFFFF)
           .s(nullptr)
           .b(0xFF)
           .s(nullptr)
           .b(0xFF)
           .s(nullptr)
           .b(0xFF)
           .b(0xFF)
           .s(nullptr)
           .s(nullptr)},
      {H::REFERRED_BY,
       [](void* p) {
         auto* r = static_cast<ssc_hdr_referred_by*>(p);
         r->s1 = "a", r->s4 = "d", r->uri.scheme = 'A', r->uri.uri_text_0 = "urn:x";
       },
       bytes()
           .b(0)
           .s("a")
           .s(nullptr)
           .s(nullptr)
           .s("d")
           .b('A')
           .s("urn:x")
           .b(0xFF)
           .b(0xFF)
           .s(nullptr)
           .s(nullptr)
           .b(0xFF)
           .s(nullptr)
           .w(0xFFFF)
           .s(nullptr)
           .b(0xFF)
           .s(nullptr)
           .b(0xFF)
           .s(nullptr)
           .b(0xFF)
           .b(0xFF)
           .s(nullptr)
           .s(nullptr)},
      {H::P_ASSERTED_IDENTITY,
       [](void* p) {
         auto* r = static_cast<ssc_hdr_identity*>(p);
         r->s1 = "Fax", r->b1 = 1, r->uri.scheme = '*';
       },
       bytes()
           .s("Fax")
           .b(1)
           .b('*')
           .s(nullptr)
           .b(0xFF)
           .b(0xFF)
           .s(nullptr)
           .s(nullptr)
           .b(0xFF)
           .s(nullptr)
           .w(0xFFFF)
           .s(nullptr)
           .b(0xFF)
           .s(nullptr)
           .b(0xFF)
           .s(nullptr)
           .b(0xFF)
           .b(0xFF)
           .s(nullptr)
           .s(nullptr)},
      {H::CALL_INFO,
       [](void* p) {
         auto* r = static_cast<ssc_hdr_call_info*>(p);
         r->purpose = 'I', r->s1 = "icon", r->s2 = "<u>", r->s3 = nullptr;
       },
       bytes().b('I').s("icon").s("<u>").s(nullptr)},
      {H::PART_CONTENT_TYPE,
       [](void* p) {
         auto* r = static_cast<ssc_hdr_part_type*>(p);
         r->part = 1, r->type = 'A', r->subtype = 'H', r->b4 = 4, r->s1 = "1", r->s6 = "6";
       },
       bytes().b(1).b('A').b('H').b(4).s("1").s(nullptr).s(nullptr).s(nullptr).s(nullptr).s("6")},
      {H::PART_HEADERS,
       [](void* p) {
         auto* r = static_cast<ssc_hdr_part_headers*>(p);
         r->part = 2, r->b2 = 3, r->b3 = 4, r->s1 = "a", r->s3 = "c";
       },
       bytes().b(2).b(3).b(4).s("a").s(nullptr).s("c")},
      {H::AUTHENTICATION_INFO,
       [](void* p) {
         auto* r = static_cast<ssc_hdr_auth_info*>(p);
         r->b1 = 'A', r->d1 = 7, r->s1 = "n", r->s4 = "q";
       },
       bytes().b('A').d(7).s("n").s(nullptr).s(nullptr).s("q")},
      {H::MIN_SE,
       [](void* p) {
         auto* r = static_cast<ssc_hdr_min_se*>(p);
         r->value = 90, r->s1 = "p";
       },
       bytes().d(90).s("p")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.id));
    const u16 size = ssc_header_row(c.id)->size;
    std::memset(rec, 0xFF, size);
    ssc_header_init(c.id, rec);
    c.set(rec);
    u8 out[600];
    const u16 n = ssc_header_pack(c.id, rec, out, sizeof out);
    ASSERT_EQ(n, c.value.v.size() + 2);
    EXPECT_EQ((out[0] << 8) | out[1], n);
    EXPECT_EQ(std::vector<u8>(out + 2, out + n), c.value.v);
    // Too little room: nothing.
    EXPECT_EQ(ssc_header_pack(c.id, rec, out, n - 1u), 0);
    // Read back and packed again: the same bytes.
    alignas(8) u8 back[SSC_MAX_RECORD_SIZE];
    std::memset(back, 0xFF, size);
    ssc_header_init(c.id, back);
    EXPECT_EQ(ssc_header_unpack(c.id, back, out + 2, n - 2u), n - 2);
    EXPECT_EQ(ssc_header_unpack(c.id, back, out + 2, n - 3u), -1);  // one byte short
    std::memset(back, 0xFF, size);
    ssc_header_init(c.id, back);
    ssc_header_unpack(c.id, back, out + 2, n - 2u);
    u8 again[600];
    ASSERT_EQ(ssc_header_pack(c.id, back, again, sizeof again), n);
    EXPECT_EQ(std::memcmp(out, again, n), 0);
  }
}

TEST(SscCatalogue, InitSetsStringsNullAndKeepsOtherFieldsAllOnes) {
  alignas(8) u8 rec[SSC_MAX_RECORD_SIZE];
  auto fresh = [&](H id) {
    std::memset(rec, 0xFF, sizeof rec);
    ssc_header_init(id, rec);
    return static_cast<void*>(rec);
  };
  auto* allow = static_cast<ssc_hdr_allow*>(fresh(H::ALLOW));
  const u8 want_allow[6] = {1, 1, 0, 1, 0, 1};  // INVITE, BYE, ACK, CANCEL
  EXPECT_EQ(std::memcmp(allow->allowed, want_allow, 6), 0);
  EXPECT_EQ(allow->allowed[28], 0);
  EXPECT_EQ(static_cast<ssc_hdr_referred_by*>(fresh(H::REFERRED_BY))->b1, 0);
  auto* via = static_cast<ssc_hdr_via*>(fresh(H::VIA));
  EXPECT_EQ(via->s1, nullptr);
  EXPECT_EQ(via->s7, nullptr);
  EXPECT_EQ(via->port, 0xFFFF);
  EXPECT_EQ(via->family1, 0xFF);
  auto* na = static_cast<ssc_hdr_name_addr*>(fresh(H::TO));
  EXPECT_EQ(na->uri.uri_text_0, nullptr);
  EXPECT_EQ(na->uri.host_name, nullptr);
  EXPECT_EQ(na->uri.port, 0xFFFF);
  auto* ch = static_cast<ssc_hdr_challenge*>(fresh(H::WWW_AUTHENTICATE));
  EXPECT_EQ(ch->count, 0);
  EXPECT_EQ(ch->bytes, nullptr);
  // The host name of an a+N record stays "never set".
  auto* rp = static_cast<ssc_hdr_replaces*>(fresh(H::REPLACES));
  EXPECT_FALSE(ssc_ptr_set(rp->host_name));
  EXPECT_EQ(rp->host_name, SSC_PTR_NEVER_SET);
  EXPECT_EQ(rp->s1, nullptr);
  // Ids without an init of their own keep the fill.
  EXPECT_EQ(static_cast<ssc_hdr_u32*>(fresh(H::EXPIRES))->value, 0xFFFFFFFFu);
}

TEST(SscCatalogue, SizeCountsSetStringsAndCountedBytesOnly) {
  ssc_hdr_challenge ch;
  std::memset(&ch, 0xFF, sizeof ch);
  ssc_header_init(H::PROXY_AUTHENTICATE, &ch);
  ch.s1 = "realm";
  ch.count = 0xFFFF;
  ch.bytes = reinterpret_cast<const u8*>("AI");
  EXPECT_EQ(ssc_header_size(H::PROXY_AUTHENTICATE, &ch), 6u);  // count 0xFFFF: no bytes
  ch.count = 2;
  EXPECT_EQ(ssc_header_size(H::PROXY_AUTHENTICATE, &ch), 8u);
  ch.s7 = SSC_PTR_NEVER_SET;
  EXPECT_EQ(ssc_header_size(H::PROXY_AUTHENTICATE, &ch), 8u);

  ssc_hdr_name_addr na;
  std::memset(&na, 0xFF, sizeof na);
  ssc_header_init(H::FROM, &na);
  na.s1 = "ab";
  na.uri.user = "c";
  na.uri.uri_text_0 = "";
  EXPECT_EQ(ssc_header_size(H::FROM, &na), 3u + 2u + 1u);
  EXPECT_EQ(ssc_header_size(H::EXPIRES, &na), 0u);  // no size function
}

TEST(SscCatalogue, HeaderAllowedFollowsTheTypeLists) {
  struct tc {
    unsigned type, id;
    bool allowed;
  } cases[] = {
      {0, 1, true},   {0, 92, true},  {0, 4, false},  {3, 4, true},   {1, 94, false}, {2, 94, true},  {13, 58, true},
      {29, 0, true},  {30, 84, true}, {33, 54, true}, {33, 3, false}, {32, 10, true}, {35, 91, true}, {36, 45, true},
      {37, 91, true}, {38, 84, true}, {39, 1, false}, {40, 1, false}, {6, 1, false},  {41, 1, false}, {255, 1, false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(Ssc_header_allowed(static_cast<T>(c.type), static_cast<H>(c.id)), c.allowed) << c.type << "/" << c.id;
  // One code for the session-parameter request.
  EXPECT_EQ(ssc_msg_type_table[ssc_idx(T::SET_PARM)].code, SSC_SET_PARM_RQ);
  EXPECT_EQ(SSC_SET_PARM_RQ, '&');
}

}  // namespace
