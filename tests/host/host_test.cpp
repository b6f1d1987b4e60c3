// The host's own tables and hooks, in process.
#include "host/host.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "session/config/app_foip_cnf.h"

namespace {

TEST(Host, StartupErrorTexts) {
  EXPECT_STREQ(GetStartupErrorText(30001), "Memory allocation error");
  EXPECT_STREQ(GetStartupErrorText(30015), "Xchg_msg__func__is_rem_process_connected returned NOK ");
  EXPECT_STREQ(GetStartupErrorText(30034),
               "SIP port or Default media port range (20000+) in use, or incorrect local IP");
  EXPECT_STREQ(GetStartupErrorText(30046), "xchg_tdm__timeslot returns NOK");
  for (u16 code : {0, 30000, 30023, 30047, 82})
    EXPECT_STREQ(GetStartupErrorText(code), "Unknown error on startup") << code;
}

TEST(Host, StartupBodyOfTheApplicationGetsSessionNais) {
  app_foip_cnf__startup_record record;
  std::snprintf(record.glb_cfg_path, sizeof record.glb_cfg_path, ".\\Tessaly\\glb.cfg");
  std::vector<u8> body(APP_FOIP_CNF__STARTUP_RECORD_SIZE);
  app_foip_cnf__pack_startup_record(record, body.data());
  const std::vector<u8> untouched = body;
  host_startup_config_hook(ENT_FOIP, body.data(), u32(body.size()));
  EXPECT_EQ(body, untouched) << "another entity's body is left alone";
  host_startup_config_hook(ENT_APP_FOIP, body.data(), u32(body.size()));
  app_foip_cnf__startup_record out;
  ASSERT_TRUE(app_foip_cnf__unpack_startup_record(body.data(), body.size(), &out));
  for (std::size_t i = 0; i < FOIP__MAX_MEDIA_NA; ++i) EXPECT_EQ(out.session_nai[i], i + 1) << i;
  EXPECT_STREQ(out.glb_cfg_path, ".\\Tessaly\\glb.cfg");
}

}  // namespace
