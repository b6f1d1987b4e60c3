// Downward primitive dispatch: the handler tables (ignored codes, call
// rules), the decode of an SSC-built body into the work area, the error
// indications with their details, tick answers and the sequence window, and
// bodies that are short, chained or hostile.
#include "sip/prim/sip_prim_dispatch.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "sip/prim/sip_elem.h"
#include "tests/sip/prim/ssc_bridge_fixture.h"

using namespace ssc_bridge_test;
using H = ssc_header_id;
using T = ssc_msg_type;

namespace {

struct Fake {
  static inline bool ready = true;
  static inline bool call = true;
  static inline std::uint8_t alloc_result = 2;
  static inline bool server_tx = true;
  static inline std::uint8_t send_result = 2;
  static inline int sends = 0;
  static inline int allocs = 0;
  static inline std::vector<std::array<int, 5>> errors;
  static void reset() {
    ready = call = server_tx = true;
    alloc_result = send_result = 2;
    sends = allocs = 0;
    errors.clear();
  }
};

sip_dispatch_hooks fake_hooks() {
  sip_dispatch_hooks h;
  h.endpoint_ready = [] { return Fake::ready; };
  h.call_check = [](std::uint16_t) -> std::uint8_t { return Fake::call ? 2 : 3; };
  h.call_alloc_outgoing = [](std::uint16_t) -> std::uint8_t {
    ++Fake::allocs;
    return Fake::alloc_result;
  };
  h.call_has_dialog = [] { return false; };
  h.server_tx_match = [](std::uint8_t code) -> std::uint8_t {
    EXPECT_GE(code, 'a' + 128);
    return Fake::server_tx ? 2 : 3;
  };
  h.send_prim = []() -> std::uint8_t {
    ++Fake::sends;
    return Fake::send_result;
  };
  h.send_error_in = [](std::uint16_t conn, std::uint8_t e, std::uint8_t d1, std::uint8_t d2, std::uint8_t d3) {
    Fake::errors.push_back({conn, e, d1, d2, d3});
  };
  return h;
}

class SipPrimDispatch : public Runtime {
 protected:
  void SetUp() override {
    Runtime::SetUp();
    Fake::reset();
    sip_dispatch_env = fake_hooks();
    sip_seq_window = {};
    sip_dispatch_resending = 0;
  }
  void TearDown() override {
    for (msg_t* m : msgs_) Free_msg(m);
    sip_dispatch_env = {};
    Runtime::TearDown();
  }
  // A message with the body inline or in a buffer chain of `pieces`.
  msg_t* message(char code, const std::vector<u8>& body, unsigned pieces = 1, std::uint16_t conn = 7) {
    msg_t* m = Alloc_msg();
    EXPECT_NE(m, nullptr);
    msgs_.push_back(m);
    m->code = static_cast<code_t>(code);
    m->conn_id = conn;
    if (body.size() <= 64 && pieces == 1) {
      Msg_set_inline_body(m, body.data(), static_cast<u8>(body.size()));
      return m;
    }
    buffer_t* chain = nullptr;
    buffer_t* last = nullptr;
    std::size_t at = 0;
    for (unsigned p = 0; p < pieces; ++p) {
      const std::size_t n = p + 1 == pieces ? body.size() - at : body.size() / pieces;
      buffer_t* b = Alloc_buffer();
      std::memcpy(Buffer_data(b), body.data() + at, n);
      b->data_size = static_cast<u16>(n);
      at += n;
      if (last) last->next = b;
      else chain = b;
      last = b;
    }
    Msg_attach_chain(m, chain);
    return m;
  }
  // An INVITE as session control sends it.
  std::vector<u8> invite(u8 addr_family = 0xFF) {
    ssc_handle* h = handle(T::INVITE);
    h->addr_family = addr_family;
    auto* ru = add<ssc_hdr_request_uri>(h, H::REQUEST_URI);
    ru->uri.scheme = 1;
    ru->uri.host_family = 'N';
    ru->uri.host_name = "peer.example";
    ru->uri.port = 0xFFFF;
    auto* ci = add<ssc_hdr_call_id>(h, H::CALL_ID);
    ci->local = "c1";
    ci->family = 'N';
    ci->host = "here";
    for (H id : {H::FROM, H::TO}) {
      auto* n = add<ssc_hdr_name_addr>(h, id);
      n->uri.scheme = 1;
      n->uri.host_family = 'N';
      n->uri.host_name = "d.example";
      n->uri.port = 0xFFFF;
      n->b1 = 0;
    }
    auto* c = add<ssc_hdr_contact>(h, H::CONTACT);
    c->uri.scheme = 1;
    c->uri.host_family = 'N';
    c->uri.host_name = "me.example";
    c->uri.port = 0xFFFF;
    c->b1 = 0;
    auto* v = add<ssc_hdr_via>(h, H::VIA);
    v->protocol = 1;
    v->transport = 'U';
    v->family1 = 'N';
    v->s4 = "me.example";
    v->port = 5060;
    v->w2 = 0xFFFF;
    v->b3 = 0xFF;
    return encode(h);
  }
  std::vector<msg_t*> msgs_;
};

TEST_F(SipPrimDispatch, IgnoredCodesAndTickAnswers) {
  for (char code : {'G', 'P', 'b', 'g', 'p', 'Z', '!'}) sip_prim_dispatch_down(message(code, {0, 0}));
  EXPECT_TRUE(Fake::errors.empty());
  EXPECT_EQ(Fake::sends, 0);

  const struct {
    u16 seq, ack;
    u8 flag;
  } ticks[] = {{5, 65533, 0}, {40, 20, 1}, {30, 20, 0}, {0, 65525, 1}};
  for (const auto& t : ticks) {
    sip_seq_window.sequence = t.seq;
    sip_seq_window.not_available = 1 - t.flag;
    u8 b[2];
    put_host16(b, t.ack);
    sip_prim_dispatch_down(message(')', {b[0], b[1]}));
    EXPECT_EQ(sip_seq_window.acknowledged, t.ack);
    EXPECT_EQ(sip_seq_window.not_available, t.flag) << t.seq << " " << t.ack;
  }
  // An answer under two bytes changes nothing.
  sip_seq_window.acknowledged = 1234;
  sip_prim_dispatch_down(message(')', {9}));
  sip_prim_dispatch_down(message(')', {}));
  EXPECT_EQ(sip_seq_window.acknowledged, 1234);
}

TEST_F(SipPrimDispatch, InviteReachesTheSendPath) {
  const auto body = invite();
  sip_prim_dispatch_down(message('A', body));
  EXPECT_TRUE(Fake::errors.empty());
  EXPECT_EQ(Fake::sends, 1);
  EXPECT_EQ(sip_dispatch_code, 'A');
  EXPECT_EQ(std::string(sip_hdr_area.call_id.word.ptr), "c1");
  // The same body over a chain of three buffers.
  sip_prim_dispatch_down(message('A', body, 3));
  EXPECT_TRUE(Fake::errors.empty());
  EXPECT_EQ(Fake::sends, 2);
}

TEST_F(SipPrimDispatch, ErrorIndications) {
  const auto body = invite();
  const std::vector<u8> empty_index(2 * 58, 0);
  struct Case {
    const char* what;
    char code;
    std::vector<u8> body;
    void (*setup)();
    std::array<int, 5> error;  // conn, number, d1, d2, d3
    int allocs;
  };
  const Case cases[] = {
      {"BYE without call", 'D', std::vector<u8>(2 * 41, 0), [] { Fake::call = false; }, {7, 27, 0, 0, 'D'}, 0},
      {"INVITE, no call to take",
       'A',
       body,
       [] {
         Fake::call = false;
         Fake::alloc_result = 5;
       },
       {7, 5, 0, 1, 'A'},
       1},
      {"endpoint not ready", 'A', body, [] { Fake::ready = false; }, {7, 14, 0, 0, 'A'}, 0},
      {"mandatory header missing", 'A', empty_index, [] {}, {7, 26, 1, 1, 'A'}, 0},
      {"response without server transaction",
       'a',
       std::vector<u8>(),
       [] { Fake::server_tx = false; },
       {7, 38, 0, 0, 'a'},
       0},
      {"body shorter than the index", 'A', std::vector<u8>(10, 0), [] {}, {7, 21, 0, 0, 'A'}, 0},
      {"send path refuses, resending",
       'A',
       body,
       [] {
         Fake::send_result = 9;
         sip_dispatch_resending = 1;
       },
       {7, 9, 0, 1, 'A'},
       0},
      {"IPv6 destination", 'A', invite('6'), [] {}, {7, 18, 1, 1, 'A'}, 0},
  };
  for (const Case& c : cases) {
    Fake::reset();
    sip_dispatch_resending = 0;
    c.setup();
    std::vector<u8> b = c.body;
    if (c.code == 'a') {
      // A minimal INVITE response: status line, From, To, Via, Call-ID.
      ssc_handle* h = handle(T::INVITE_RS);
      add<ssc_hdr_status>(h, H::RETURN_CODE)->code = 200;
      for (H id : {H::FROM, H::TO}) {
        auto* n = add<ssc_hdr_name_addr>(h, id);
        n->uri.scheme = 1;
        n->uri.host_family = 'N';
        n->uri.host_name = "x";
        n->uri.port = 0xFFFF;
        n->b1 = 0;
      }
      auto* v = add<ssc_hdr_via>(h, H::VIA);
      v->protocol = 1;
      v->transport = 'U';
      v->family1 = 'N';
      v->s4 = "x";
      v->port = 5060;
      v->w2 = 0xFFFF;
      v->b3 = 0xFF;
      v->s7 = "z9hG4bK1";
      b = encode(h);
    }
    sip_prim_dispatch_down(message(c.code, b));
    ASSERT_EQ(Fake::errors.size(), 1u) << c.what;
    EXPECT_EQ(Fake::errors[0], c.error) << c.what;
    EXPECT_EQ(Fake::allocs, c.allocs) << c.what;
    if (c.error[1] != 9) {
      EXPECT_EQ(Fake::sends, 0) << c.what;
    }
  }
}

}  // namespace
