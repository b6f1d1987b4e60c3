// The session layer's mappings: speed indexes, masks, causes and end-of-page
// words; and what the end-of-page words do with the T.30 engine over the
// whole stack: an RTN on the last page with the retrain request sends the
// page again; without it the call ends.
#include <gtest/gtest.h>

#include "fax/cf_map.h"
#include "fax/support/fax_test_pages.h"
#include "fax/support/fm_t38_loop.h"
#include "fax/t30_cause.h"

namespace {

TEST(CfMap, SpeedIndexesAndCodes) {
  EXPECT_EQ(cf_speed_index(0x1208), 2);
  EXPECT_EQ(cf_speed_index(0x9000), 6);
  EXPECT_EQ(cf_speed_index(0x2081), 0) << "not a page modulation";
  EXPECT_EQ(cf_speed_code(5), 14);
  EXPECT_EQ(cf_speed_code(200), 2) << "index bounded";
  EXPECT_EQ(cf_speed_index_of_code(33), 6);
  EXPECT_EQ(cf_speed_index_of_code(5), -1);
}

TEST(CfMap, SpeedMasks) {
  EXPECT_EQ(cf_speed_mask(0, 5, false), 0x1B7E);
  EXPECT_EQ(cf_speed_mask(3, 5, false), 0x1A70);
  EXPECT_EQ(cf_speed_mask(0, 2, false), 0x130E);
  EXPECT_EQ(cf_speed_mask(0, 2, true), 0x1106);
  EXPECT_EQ(cf_speed_mask(9, 9, false), 0x9B7E) << "indexes bounded";
  struct row {
    u16 mask;
    u8 low, high;
  };
  const row rows[] = {{0x1106, 0, 1}, {0x1102, 0, 0}, {0x1B7E, 0, 5}, {0x1F7E, 0, 5},
                      {0x9B7E, 0, 6}, {0x1A70, 3, 5}, {0x1234, 0, 6}};
  for (const row& r : rows) {
    const cf_speed_range got = cf_remote_speeds(r.mask);
    EXPECT_EQ(got.min_index, r.low) << std::hex << r.mask;
    EXPECT_EQ(got.max_index, r.high) << std::hex << r.mask;
  }
  EXPECT_EQ(cf_speed_code(cf_remote_speeds(0x1106).max_index), 4);
  EXPECT_EQ(cf_speed_code(cf_remote_speeds(0x0001).max_index), 33) << "unknown mask: up to 33600";
}

TEST(CfMap, ClearingCauses) {
  const std::pair<u16, u8> rows[] = {{0, 10}, {12, 8},  {22, 21}, {41, 9},         {42, 42},
                                     {5, 5},  {43, 10}, {63, 10}, {0x4000 | 41, 9}};
  for (const auto& [from, to] : rows) EXPECT_EQ(cf_session_cause(from), to) << from;
}

TEST(CfMap, EndOfPageWords) {
  EXPECT_EQ(cf_end_page_rq('P', false, false), 513);
  EXPECT_EQ(cf_end_page_rq('N', false, false), 514);
  EXPECT_EQ(cf_end_page_rq('S', false, false), 0);
  EXPECT_EQ(cf_end_page_rq('S', true, false), T30_EPQ_PRI);
  EXPECT_EQ(cf_end_page_rq('S', false, true), T30_EPQ_RESEND);
  EXPECT_EQ(cf_end_page_rq('P', true, true), 513 | T30_EPQ_PRI | T30_EPQ_RESEND);
  EXPECT_EQ(cf_end_page_rs('G', false), 0);
  EXPECT_EQ(cf_end_page_rs('M', true), 5);
  EXPECT_EQ(cf_end_page_rs('B', false), 2);
  EXPECT_EQ(cf_quality_letter(1), 'M');
  EXPECT_EQ(cf_quality_letter(7), 'B');
  EXPECT_EQ(cf_processing_letter(T30_PM_PRI_MPS), 'P');
  EXPECT_EQ(cf_processing_letter(T30_PM_EOM), 'N');
  EXPECT_EQ(cf_processing_letter(T30_PM_PRI_EOP), 'S');
}

using fm_test::kAnswerer;
using fm_test::kCaller;

class CfEndOfPage : public fm_test::FmT38Loop {
 protected:
  void one_page_call(u16 eop_word, std::vector<u16> answers) {
    t30_test::fake_user& c = user(kCaller);
    c.sender = true;
    c.fields = t30_test::user_fields(false);
    c.selection = {T30_RES_FINE, T30_CODING_MH, T30_WIDTH_A4};
    c.fields.resolution = c.selection.resolution;
    c.fields.coding = c.selection.coding;
    c.fields.width = c.selection.width;
    c.to_send.push_back({fax_test::encode(page, 1)});
    c.eop_bits = eop_word;
    t30_test::fake_user& a = user(kAnswerer);
    a.fields = t30_test::user_fields(false);
    a.fields.service = T30_SVC_TRANSMIT;
    for (u16 x : answers) a.end_page_answers.push_back(x);
    t30_test::connect(kAnswerer, 1, false, 9600);
    t30_test::connect(kCaller, 2, false, 9600);
    run_until([&] { return both_ended(); }, 300000);
  }
  fax_test::page page = fax_test::make_page(fax_test::kind::text, 1728, 40, 11);
};

TEST_F(CfEndOfPage, RtnOnTheLastPageWithRetrainSendsThePageAgain) {
  one_page_call(cf_end_page_rq('S', false, true), {2});
  ASSERT_TRUE(both_ended());
  EXPECT_EQ(user(kCaller).cause, WT3C | WLOCDCOK);
  EXPECT_EQ(user(kCaller).end_page_co, (std::vector<u16>{T30_RSP_RTN, T30_RSP_MCF}));
  ASSERT_EQ(user(kAnswerer).received.size(), 2u) << "the page came twice";
  EXPECT_EQ(user(kAnswerer).received[0], user(kAnswerer).received[1]);
}

TEST_F(CfEndOfPage, RtnOnTheLastPageWithoutRetrainEndsTheCall) {
  one_page_call(cf_end_page_rq('S', false, false), {2});
  ASSERT_TRUE(both_ended());
  EXPECT_EQ(user(kCaller).end_page_co, (std::vector<u16>{T30_RSP_RTN}));
  EXPECT_EQ(user(kAnswerer).received.size(), 1u);
}

}  // namespace
