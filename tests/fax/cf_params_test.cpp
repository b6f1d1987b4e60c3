// The session layer's parameter record: each field against its limit, the
// block it lands in, and the confirmation's result byte.
#include <gtest/gtest.h>

#include <vector>

#include "common/byte_order.h"
#include "fax/cf_params.h"

namespace {

cf_params limited() {
  cf_params p;
  p.limit.resolution = 0x001 | 0x002 | 0x004;
  p.limit.min_speed = 1;  // 4800
  p.limit.max_speed = 3;  // 9600
  p.limit.width = 1;      // '2'
  p.limit.length = 2;     // 'U'
  p.limit.letter = 0;
  p.limit.legal = 1;
  p.limit.coding = 0x3;
  p.limit.ecm = 2;
  p.limit.ecm_frame = 2;
  p.limit.scan = 3;
  p.limit.flags[CF_FLAG_PASSWORD] = 1;
  return p;
}

std::vector<u8> record(std::initializer_list<std::pair<size_t, u8>> pairs) {
  std::vector<u8> r(CF_SETPARM_SIZE, 0);
  r[3] = 'P';
  for (auto [at, v] : pairs) {
    r[at] = 1;
    r[at + 1] = v;
  }
  return r;
}

struct field_case {
  const char* what;
  std::vector<u8> rec;
  u8 result;
  cf_param_set want;  // configured set after the request
};

TEST(CfSetparm, FirstBlockFieldsAgainstTheirLimits) {
  const cf_param_set start = limited().configured;
  auto with = [&](auto change) {
    cf_param_set s = start;
    change(s);
    return s;
  };
  const std::vector<field_case> cases = {
      {"speed within", record({{8, 7}}), 2, with([](cf_param_set& s) { s.max_speed = 2; })},
      {"speed above the limit is lowered", record({{8, 14}}), 3, with([](cf_param_set& s) { s.max_speed = 3; })},
      {"unknown speed code", record({{8, 5}}), 3, start},
      {"width above the limit", record({{10, '3'}}), 3, with([](cf_param_set& s) { s.width = 1; })},
      {"length", record({{12, 'B'}}), 2, with([](cf_param_set& s) { s.length = 1; })},
      {"letter flag refused by its limit", record({{14, 1}}), 3, start},
      {"legal flag taken as 1", record({{16, 7}}), 2, with([](cf_param_set& s) { s.legal = 1; })},
      {"coding low bits as given", record({{18, 0xF6}}), 2, with([](cf_param_set& s) { s.coding = 6; })},
      {"ECM 256", record({{20, '2'}}), 2, with([](cf_param_set& s) { s.ecm = 2; })},
      {"ECM frame size 64 counts 2", record({{22, '6'}}), 2, with([](cf_param_set& s) { s.ecm_frame = 2; })},
      {"scan time below the limit is raised", record({{24, '1'}}), 3, with([](cf_param_set& s) { s.scan = 3; })},
      {"missing option set", record({{26, 1}}), 3, start},
      {"missing option clear", record({{26, 0}}), 2, start},
      {"password flag", record({{30, 1}}), 2, with([](cf_param_set& s) { s.flags[CF_FLAG_PASSWORD] = 1; })},
      {"subaddress refused", record({{28, 1}}), 3, start},
      {"unit preference 2", record({{42, 2}}), 2, with([](cf_param_set& s) { s.flags[CF_FLAG_UNIT] = 2; })},
      {"unit preference 3 refused", record({{42, 3}}), 3, start},
      {"not present",
       [] {
         auto r = record({});
         r[8] = 2;
         r[9] = 14;
         return r;
       }(),
       2, start},
  };
  for (const field_case& c : cases) {
    cf_params p = limited();
    std::vector<u8> r = c.rec;
    ASSERT_TRUE(cf_apply_setparm(p, r)) << c.what;
    EXPECT_EQ(r[0], c.result) << c.what;
    EXPECT_TRUE(p.configured == c.want) << c.what;
    EXPECT_TRUE(p.session == c.want) << c.what;
  }
}

TEST(CfSetparm, ResolutionMasksOfBothBlocks) {
  cf_params p = limited();
  std::vector<u8> r = record({});
  r[5] = 1;  // first block: mask 0 stores 0x001
  ASSERT_TRUE(cf_apply_setparm(p, r));
  EXPECT_EQ(r[0], 2);
  EXPECT_EQ(p.configured.resolution, 0x001);
  r = record({});
  r[5] = 1;
  put_le16(r.data() + 6, 0x022);  // 0x020 is beyond the limit
  ASSERT_TRUE(cf_apply_setparm(p, r));
  EXPECT_EQ(p.configured.resolution, 0x003);
  r = record({});
  r[46] = 1;  // second block: mask 0 refused
  ASSERT_TRUE(cf_apply_setparm(p, r));
  EXPECT_EQ(r[0], 3);
  EXPECT_EQ(p.session.resolution, 0x003);
}

TEST(CfSetparm, SecondBlockLeavesTheConfiguredSet) {
  cf_params p = limited();
  std::vector<u8> r = record({{52, 2}, {50, 9}, {62, 0x7}, {70, 1}});
  ASSERT_TRUE(cf_apply_setparm(p, r));
  EXPECT_EQ(r[0], 3) << "minimum raised to the limit, and the missing option";
  EXPECT_EQ(p.session.min_speed, 1);
  EXPECT_EQ(p.session.max_speed, 3);
  EXPECT_EQ(p.session.coding, 0x3) << "coding AND the limit";
  EXPECT_EQ(p.negotiated.max_speed, 3);
  EXPECT_EQ(p.configured.max_speed, limited().configured.max_speed);
}

TEST(CfSetparm, KeptValuesAndDroppedRequests) {
  cf_params p = limited();
  std::vector<u8> r = record({{90, 1}, {96, 1}, {98, 2}, {392, 1}, {382, 0xF5}});
  r[386] = 1;
  put_le16(r.data() + 388, 700);
  ASSERT_TRUE(cf_apply_setparm(p, r));
  EXPECT_EQ(r[0], 2);
  EXPECT_EQ(p.info_flag, 1);
  EXPECT_EQ(p.doc_ready, 1);
  EXPECT_EQ(p.polling, 2);
  EXPECT_EQ(p.bit_order, 1);
  EXPECT_EQ(p.value_382, 5);
  EXPECT_EQ(p.value_386, 700);
  std::vector<u8> other = record({{8, 7}});
  other[3] = 'S';
  EXPECT_FALSE(cf_apply_setparm(p, other));
  EXPECT_EQ(other[0], 0) << "left unchanged";
  std::vector<u8> short_record(100, 0);
  short_record[3] = 'P';
  EXPECT_FALSE(cf_apply_setparm(p, short_record));
}

}  // namespace
