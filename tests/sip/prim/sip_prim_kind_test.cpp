// Primitive kinds and value codes: the header tables' shape and order, the
// kind index, and the lookups of the value code tables.
#include "sip/text/sip_prim_kind.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sip/prim/sip_elem_layout.h"

namespace {

std::vector<unsigned> ids(const sip_kind_hdr_table& t) {
  std::vector<unsigned> v;
  for (unsigned i = 0; i < t.row_count; ++i) v.push_back(static_cast<unsigned>(t.rows[i].id));
  return v;
}
std::vector<unsigned> mandatory(const sip_kind_hdr_table& t) {
  std::vector<unsigned> v;
  for (unsigned i = 0; i < t.row_count; ++i)
    if (t.rows[i].presence == SIP_ROW_MANDATORY) v.push_back(static_cast<unsigned>(t.rows[i].id));
  return v;
}
int pos(const sip_kind_hdr_table& t, unsigned id) {
  for (unsigned i = 0; i < t.row_count; ++i)
    if (static_cast<unsigned>(t.rows[i].id) == id) return static_cast<int>(i);
  return -1;
}

}  // namespace

TEST(SipPrimKind, TablesHaveTheirRowsAndMandatoryHeaders) {
  struct Case {
    char kind;
    unsigned rows;
    std::vector<unsigned> mandatory;
  } cases[] = {
      {'A', 58, {1, 10, 12, 23, 56, 59}}, {'a', 55, {2, 23, 56, 59}}, {'B', 37, {1, 23, 56, 59}},
      {'C', 47, {1, 10, 23, 56, 59}},     {'c', 45, {2, 23, 56, 59}}, {'D', 41, {1, 23, 56, 59}},
      {'d', 42, {2, 23, 56, 59}},         {'E', 20, {1, 23, 56, 59}}, {'e', 20, {2, 23, 56, 59}},
      {'F', 47, {1, 10, 23, 56, 59}},     {'f', 47, {2, 23, 56, 59}},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(std::string(1, k.kind));
    const sip_kind_hdr_table* t = sip_kind__table(static_cast<sip_msg_kind>(k.kind));
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(static_cast<char>(t->kind), k.kind);
    EXPECT_EQ(t->row_count, k.rows);
    EXPECT_EQ(mandatory(*t), k.mandatory);
    // Every header a table lists has exactly one element layout.
    for (unsigned id : ids(*t)) EXPECT_NE(sip_elem__layout(static_cast<sip_header_id>(id)), nullptr) << id;
  }
}

TEST(SipPrimKind, SlotOrderIsTheTablesOrderNotTheNumbers) {
  const auto& A = *sip_kind__table(sip_msg_kind::invite_rq);
  EXPECT_EQ(pos(A, 78), pos(A, 42) + 1);  // Referred-By between Record-Route and Replaces
  EXPECT_EQ(pos(A, 43), pos(A, 78) + 1);
  // OPTIONS puts it between Reason and Record-Route; BYE and REGISTER
  // requests after Record-Route, before Request-Disposition.
  const auto& C = *sip_kind__table(sip_msg_kind::options_rq);
  EXPECT_EQ(pos(C, 78), pos(C, 41) + 1);
  EXPECT_EQ(pos(C, 42), pos(C, 78) + 1);
  for (char k : {'D', 'F'}) {
    const auto& t = *sip_kind__table(static_cast<sip_msg_kind>(k));
    EXPECT_EQ(pos(t, 78), pos(t, 42) + 1) << k;
    EXPECT_EQ(pos(t, 45), pos(t, 78) + 1) << k;
  }
  const auto& a = *sip_kind__table(sip_msg_kind::invite_rs);
  EXPECT_EQ(pos(a, 6), pos(a, 7) + 1);  // Alert-Info after Allow
  const auto& B = *sip_kind__table(sip_msg_kind::ack_rq);
  EXPECT_EQ(ids(B)[0], 2u);  // ACK leads with an optional status line
  EXPECT_EQ(B.rows[0].presence, SIP_ROW_OPTIONAL);
  EXPECT_EQ(ids(B)[1], 1u);
  // No slot for a body in a CANCEL response; none for CSeq or the parser's
  // Content-Length anywhere.
  EXPECT_EQ(pos(*sip_kind__table(sip_msg_kind::cancel_rs), 62), -1);
  for (char k : {'A', 'a', 'B', 'C', 'c', 'D', 'd', 'E', 'e', 'F', 'f'}) {
    EXPECT_EQ(pos(*sip_kind__table(static_cast<sip_msg_kind>(k)), 18), -1);
    EXPECT_EQ(pos(*sip_kind__table(static_cast<sip_msg_kind>(k)), 16), -1);
  }
  // Contact is optional in OPTIONS, mandatory in INVITE.
  EXPECT_EQ(C.rows[pos(C, 12)].presence, SIP_ROW_OPTIONAL);
  EXPECT_EQ(A.rows[pos(A, 12)].presence, SIP_ROW_MANDATORY);
}

TEST(SipPrimKind, IndexByMethodNumber) {
  for (unsigned m = 0; m < 16; ++m) {
    const bool used = m >= 1 && m <= 6;
    EXPECT_EQ(sip_kind_index_rq[m].table != nullptr, used) << m;
    EXPECT_EQ(sip_kind_index_rs[m].table != nullptr, used && m != 2) << m;
    if (sip_kind_index_rq[m].table != nullptr) {
      EXPECT_EQ(sip_kind_index_rq[m].index_bytes, 2u * sip_kind_index_rq[m].table->row_count);
      EXPECT_EQ(static_cast<char>(sip_kind_index_rq[m].table->kind), static_cast<char>('A' + m - 1));
    }
    if (sip_kind_index_rs[m].table != nullptr) {
      EXPECT_EQ(static_cast<char>(sip_kind_index_rs[m].table->kind), static_cast<char>('a' + m - 1));
    }
  }
  EXPECT_EQ(sip_kind_index_rq[1].index_bytes, 116u);
  sip_msg_kind k;
  EXPECT_FALSE(sip_kind__of_method(2, true, &k));  // no ACK response
  EXPECT_FALSE(sip_kind__of_method(7, false, &k));
  ASSERT_TRUE(sip_kind__of_method(6, true, &k));
  EXPECT_EQ(k, sip_msg_kind::register_rs);
  EXPECT_EQ(sip_kind__table(static_cast<sip_msg_kind>('b')), nullptr);
}

TEST(SipPrimKind, ValueCodeLookups) {
  struct Case {
    const char* what;
    const sip_value_table* table;
    std::uint8_t code;
    int result;
    const char* text;
  } cases[] = {
      {"later duplicate wins: TCP", &sip_vt_sdp_transport, 0x11, 2, "tcp"},
      {"later duplicate wins: UDPTL", &sip_vt_sdp_transport, 0x10, 2, "udptl"},
      {"later duplicate wins: UDP", &sip_vt_sdp_transport, 2, 2, "udp"},
      {"later duplicate wins: T.38", &sip_vt_sdp_t38_format, SDP_FORMAT_T38, 2, "t38"},
      {"absent where the table lists 255", &sip_vt_uri_transport, 0xFF, 2, nullptr},
      {"absent where the table does not list 255", &sip_vt_auth_scheme, 0xFF, 19, nullptr},
      {"unknown code", &sip_vt_method, 'Z', 19, nullptr},
      {"method", &sip_vt_method, 'F', 2, "REGISTER"},
      {"scheme without text", &sip_vt_scheme, '*', 2, nullptr},
      {"scheme", &sip_vt_scheme, 'S', 2, "sips:"},
      {"global number", &sip_vt_global, 0, 2, ""},
      {"codec from the SDP codec table", &sip_vt_sdp_codec, 8, 2, "PCMA"},
      {"diversion reason", &sip_vt_diversion_reason, 11, 2, "away"},
      {"rate management none", &sip_vt_t38_rate_management, 3, 2, nullptr},
      {"request disposition without 255", &sip_vt_request_disposition, 0xFF, 19, nullptr},
      {"option tag", &sip_vt_option_tag, 'l', 2, "recipient-list-invite"},
  };
  for (const auto& k : cases) {
    const char* text = "unset";
    EXPECT_EQ(sip_value__lookup(*k.table, k.code, &text), k.result) << k.what;
    if (k.result == 2) {
      if (k.text == nullptr) {
        EXPECT_EQ(text, nullptr) << k.what;
      } else {
        EXPECT_STREQ(text, k.text) << k.what;
      }
    }
  }
}

TEST(SipPrimKind, MediaSubtypesByMediaType) {
  const char* text = nullptr;
  ASSERT_NE(sip_vt__subtypes('A'), nullptr);
  EXPECT_EQ(sip_vt__subtypes('A')->count + 1, 58);  // with 255
  EXPECT_EQ(sip_value__lookup(*sip_vt__subtypes('A'), 'H', &text), 2);
  EXPECT_STREQ(text, "sdp");
  EXPECT_EQ(sip_value__lookup(*sip_vt__subtypes('V'), 129, &text), 2);
  EXPECT_STREQ(text, "MP4V-ES");
  EXPECT_EQ(sip_value__lookup(*sip_vt__subtypes('I'), '8', &text), 2);
  EXPECT_STREQ(text, "t38");
  EXPECT_EQ(sip_value__lookup(*sip_vt__subtypes('*'), 0xFF, &text), 19);
  EXPECT_EQ(sip_vt__subtypes('Q'), nullptr);
}
