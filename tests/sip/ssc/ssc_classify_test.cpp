// Classification tables of ENT_SSC: every row of every sender.
#include "sip/ssc/ssc_classify.h"

#include <gtest/gtest.h>

namespace {

struct Want {
  u8 code;
  u8 route;
  u8 event;
};

void check_table(ssc_class_table t, const Want* want, unsigned n, const char* name) {
  ASSERT_EQ(t.count, n) << name << ": a row was added or lost";
  for (unsigned i = 0; i < n; ++i) {
    bool found = false;
    for (unsigned k = 0; k < t.count; ++k) {
      if (t.rows[k].code != want[i].code) continue;
      found = true;
      EXPECT_EQ(t.rows[k].route, want[i].route) << name << " code " << int(want[i].code);
      EXPECT_EQ(t.rows[k].event, want[i].event) << name << " code " << int(want[i].code);
    }
    EXPECT_TRUE(found) << name << " code " << int(want[i].code);
  }
}

}  // namespace

TEST(SscClassify, TimerRows) {
  const Want w[] = {{'0', 'C', 54}, {'1', 'C', 69}, {'2', 'G', 85}, {'3', 'G', 90}};
  check_table(ssc_timer_table(), w, 4, "timer");
  EXPECT_TRUE(ssc_timer_row('1').steps & SSC_STEP_IDLE_TO_F);  // idle entry: call machine
  EXPECT_EQ(ssc_timer_row('2').sel, ssc_sel::keepalive);
  EXPECT_EQ(ssc_timer_row('9').route, SSC_ROUTE_NONE);
  EXPECT_EQ(ssc_timer_row('9').event, SSC_EVENT_NONE);
}

TEST(SscClassify, SipRows) {
  const Want w[] = {{40, SSC_ROUTE_NONE, SSC_EVENT_NONE},
                    {63, 'F', 56},
                    {193, 'C', 4},
                    {195, 'C', 43},
                    {196, 'C', 12},
                    {197, 'F', 10},
                    {198, 'C', 21},
                    {225, 'C', 5},
                    {226, 'C', 6},
                    {227, 'C', 41},
                    {228, 'C', 13},
                    {229, 'C', 8},
                    {230, 'C', 22}};
  check_table(ssc_sip_table(), w, 13, "sip");
  EXPECT_TRUE(ssc_sip_row(195).steps & SSC_STEP_IDLE_TO_F);
  EXPECT_TRUE(ssc_sip_row(198).steps & SSC_STEP_REG_LINK);  // the REGISTER's entry is saved
  EXPECT_EQ(ssc_sip_row(231).route, SSC_ROUTE_NONE);
}

TEST(SscClassify, UserRows) {
  const Want w[] = {{38, 'F', 62}, {40, 'A', 0},   {43, 'A', 55}, {65, 'F', 1},   {66, 'C', 3},  {67, 'C', 40},
                    {68, 'C', 11}, {69, 'C', 7},   {70, 'F', 20}, {82, 'F', 19},  {91, 'G', 66}, {97, 'C', 2},
                    {99, 'C', 42}, {100, 'C', 14}, {101, 'C', 9}, {102, 'C', 23}, {114, 'F', 68}};
  check_table(ssc_user_table(), w, 17, "user");
  // Transactions the answers find (request message types).
  EXPECT_EQ(ssc_user_row(97).tx_type, 0);
  EXPECT_EQ(ssc_user_row(99).tx_type, 4);
  EXPECT_EQ(ssc_user_row(100).tx_type, 1);
  EXPECT_EQ(ssc_user_row(101).tx_type, 0);
  EXPECT_EQ(ssc_user_row(102).tx_type, 2);
  EXPECT_EQ(ssc_user_row(65).tx_type, 255);
  EXPECT_TRUE(ssc_user_row(67).steps & SSC_STEP_IDLE_TO_F);
  EXPECT_TRUE(ssc_user_row(69).steps & SSC_STEP_FIND_SENT_INVITE);
  EXPECT_TRUE(ssc_user_row(70).steps & SSC_STEP_REG_LINK);
  EXPECT_EQ(ssc_user_row(70).sel, ssc_sel::entry0);
  EXPECT_EQ(ssc_user_row(102).sel, ssc_sel::entry0);
  EXPECT_TRUE(ssc_user_row(65).steps & SSC_STEP_AUX_KEEP);
  EXPECT_TRUE(ssc_user_row(65).steps & SSC_STEP_SLOT);
  EXPECT_EQ(ssc_user_row(40).sel, ssc_sel::aux_only);
  EXPECT_EQ(ssc_user_row(91).sel, ssc_sel::none);
  EXPECT_EQ(ssc_user_row(200).route, SSC_ROUTE_NONE);
  EXPECT_EQ(ssc_user_row(200).event, SSC_EVENT_NONE);
}

TEST(SscClassify, ManagementSubCodes) {
  struct Case {
    u8 sub;
    u8 event;
    bool checked;
  };
  const Case cases[] = {{'A', 82, true}, {'B', 83, true}, {'C', 84, true}, {'D', 86, false}, {'E', 87, false}};
  for (const Case& c : cases) {
    const ssc_mgmt_row* r = ssc_mgmt_row_of(c.sub);
    ASSERT_NE(r, nullptr) << c.sub;
    EXPECT_EQ(r->event, c.event);
    EXPECT_EQ(r->checked, c.checked);
  }
  EXPECT_EQ(ssc_mgmt_row_of('F'), nullptr);  // result 3, cause 'A'
  EXPECT_EQ(ssc_mgmt_row_of(0), nullptr);
}

TEST(SscClassify, DialogGoneStatuses) {
  EXPECT_TRUE(ssc_status_ends_dialog(481));
  EXPECT_TRUE(ssc_status_ends_dialog(408));
  EXPECT_TRUE(ssc_status_ends_dialog(50));
  EXPECT_FALSE(ssc_status_ends_dialog(486));
  EXPECT_FALSE(ssc_status_ends_dialog(200));
}

TEST(SscClassify, RelayedSipErrorIsEightBytes) {
  const u8 sip[5] = {0x34, 0x12, 7, 8, 67};  // error 0x1234, details 7, 8, code 67
  u8 out[SSC_ERROR_IN_SIZE];
  std::fill(std::begin(out), std::end(out), 0xEE);
  ASSERT_TRUE(ssc_relay_error_body(sip, sizeof sip, out));
  const u8 want[8] = {'~', 0, 0x34, 0x12, 255, 7, 8, 67};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(out[i], want[i]) << i;
  EXPECT_FALSE(ssc_relay_error_body(sip, 4, out));  // cut short
  EXPECT_FALSE(ssc_relay_error_body(nullptr, 5, out));

  ssc_error_in_body(900, 0, 65, out);
  const u8 own[8] = {0x83, 0, 0x84, 0x03, 255, 0, 0, 65};
  for (int i = 0; i < 8; ++i) EXPECT_EQ(out[i], own[i]) << i;
}
