// The session layer's information record: its defaults, the far side's
// reports (identity cut and padded, address records, non-standard data),
// and the sets after a parameter request.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fax/cf_info.h"
#include "fax/cf_map.h"

namespace {

std::vector<u8> written(const cf_info_state& s, u8 kind = 'r') {
  std::vector<u8> out(CF_INFO_SIZE, 0);
  cf_write_info(s, kind, std::span<u8, CF_INFO_SIZE>(out.data(), CF_INFO_SIZE));
  return out;
}

std::span<const u8> text(const char* t) { return {reinterpret_cast<const u8*>(t), std::strlen(t)}; }

u16 host16(const std::vector<u8>& r, size_t at) {
  u16 v;
  std::memcpy(&v, r.data() + at, 2);
  return v;
}

TEST(CfInfo, DefaultsBeforeAnyReportOrParameter) {
  const cf_info_state s;
  const std::vector<u8> r = written(s, 'f');
  EXPECT_EQ(r[0], 2);
  EXPECT_EQ(r[3], 'f');
  for (size_t i = 53; i <= 73; ++i) EXPECT_EQ(r[i], 0) << i;
  EXPECT_EQ(std::string(r.begin() + 499, r.begin() + 539), std::string(40, ' '));
  EXPECT_EQ(r[776], 3);
  EXPECT_EQ(r[777], 10);
  EXPECT_EQ(host16(r, 778), 12);
  u32 v;
  std::memcpy(&v, r.data() + 780, 4);
  EXPECT_EQ(v, 3000u);
  EXPECT_EQ(r[788], 1) << "no clearing cause yet";
}

TEST(CfInfo, FarSideReports) {
  cf_info_state s;
  s.remote.id.keep(text("4711"));
  s.remote.password.keep(text("a password longer than twenty"));
  const u8 address[] = {7, 200, 'x', 'y', 'z'};
  cf_remote::keep_address(s.remote.addresses[1], address);
  std::vector<u8> nsf(80, 0xAB);
  s.remote.keep_nsf(nsf);
  s.remote.set.max_speed = cf_remote_speeds(0x1106).max_index;
  const std::vector<u8> r = written(s);
  EXPECT_EQ(r[53], 20);
  EXPECT_EQ(std::string(r.begin() + 54, r.begin() + 74), "4711" + std::string(16, ' '));
  EXPECT_EQ(r[332], 20);
  EXPECT_EQ(std::string(r.begin() + 333, r.begin() + 353), "a password longer th");
  EXPECT_EQ(r[153], 7);
  EXPECT_EQ(r[154], 3) << "length cut to what came";
  EXPECT_EQ(r[155], 'x');
  EXPECT_EQ(r[395], 50) << "non-standard data cut to 50";
  EXPECT_EQ(r[445], 0xAB);
  EXPECT_EQ(r[34], 4) << "CF_SPD_4800";
}

TEST(CfInfo, SetsAfterAParameterRequest) {
  cf_info_state s;
  s.params.limit.max_speed = 3;
  s.params.limit.resolution = 0x003;
  std::vector<u8> rq(CF_SETPARM_SIZE, 0);
  rq[3] = 'P';
  rq[8] = 1;
  rq[9] = 14;  // above the limit
  rq[392] = 1;
  rq[393] = 1;
  ASSERT_TRUE(cf_apply_setparm(s.params, rq));
  EXPECT_EQ(rq[0], 3);
  s.params.negotiated.coding = 0x6;
  s.cause = cf_session_cause(41);
  const std::vector<u8> r = written(s);
  EXPECT_EQ(r[9], 9) << "the limit's speed";
  EXPECT_EQ(r[448], 9);
  EXPECT_EQ(r[471], 9);
  EXPECT_EQ(r[476], 7) << "coding 4 in the negotiated mask";
  EXPECT_EQ(r[785], 1) << "bit order";
  EXPECT_EQ(r[788], 9);
}

}  // namespace
