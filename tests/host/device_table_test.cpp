// The device table and the result-word tables, in process (no runtime: the
// application is not configured, so an abort is refused but still counted).
#include "host/device_table.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "host/dispatcher.h"

namespace {

RegisterDevicePacket Reg(std::uint16_t id, const char* slot) {
  RegisterDevicePacket p;
  p.device_id = id;
  std::snprintf(p.reply_slot, sizeof p.reply_slot, "%s", slot);
  return p;
}

class DeviceTable : public ::testing::Test {
 protected:
  void SetUp() override { ResetDeviceTable(); }
  void TearDown() override { ResetDeviceTable(); }
  void SetActive(std::uint16_t id, std::uint32_t active, std::uint16_t receive = 0) {
    DeviceEntry copy = *GetEntryInfo(id);
    copy.session_active = active;
    copy.receive_enabled = receive;
    ASSERT_EQ(UpdateEntry(copy), 1);
  }
};

TEST_F(DeviceTable, RegistrationGivesSessionsInOrderAndKeepsThemOnReRegistration) {
  ASSERT_EQ(RegisterDeviceEntry(Reg(10, "F1\\1")), 1);
  ASSERT_EQ(RegisterDeviceEntry(Reg(11, "F1\\2")), 1);
  EXPECT_EQ(GetEntryInfo(10)->session_id, 1);
  EXPECT_EQ(GetEntryInfo(11)->session_id, 2);
  SetActive(11, 1, 1);
  GetEntryInfo(11)->watchdog = 7;
  ASSERT_EQ(RegisterDeviceEntry(Reg(11, "F1\\2")), 1);
  const DeviceEntry* e = GetEntryInfo(11);
  EXPECT_EQ(e->session_id, 2);
  EXPECT_EQ(e->session_active, 0u);
  EXPECT_EQ(e->receive_enabled, 0);
  EXPECT_EQ(e->watchdog, -1);
  EXPECT_EQ(e->abort_state, ABORT_SEND_NOT_STARTED) << "the running session's stop is still to come";
  EXPECT_EQ(DeviceCount(), 2u);
}

TEST_F(DeviceTable, RestartsOnTheSameSlotReuseTheEntryAndAFullTableRefuses) {
  // Every controller restarts three times with a new id: the table holds one
  // entry per slot.
  for (int round = 0; round < 3; ++round)
    for (int ch = 0; ch < 150; ++ch) {
      char slot[16];
      std::snprintf(slot, sizeof slot, "F1\\%d", ch);
      ASSERT_EQ(RegisterDeviceEntry(Reg(std::uint16_t(1000 * round + ch + 1), slot)), 1);
    }
  EXPECT_EQ(DeviceCount(), 150u);
  EXPECT_EQ(EntryExists(1), 0);
  EXPECT_EQ(GetEntryInfo(2001)->session_id, 1);
  for (int ch = 150; ch < 199; ++ch) {
    char slot[16];
    std::snprintf(slot, sizeof slot, "F2\\%d", ch);
    ASSERT_EQ(RegisterDeviceEntry(Reg(std::uint16_t(5000 + ch), slot)), 1);
  }
  EXPECT_EQ(DeviceCount(), kMaxDeviceEntries);
  EXPECT_EQ(RegisterDeviceEntry(Reg(9999, "F3\\1")), 0);
  EXPECT_EQ(RegisterDeviceEntry(Reg(5150, "F2\\150")), 1) << "a known id is still reset when full";
}

TEST_F(DeviceTable, ReceiveGoesToTheLastFreeControllerWithReceiveOn) {
  ASSERT_EQ(RegisterDeviceEntry(Reg(1, "F1\\1")), 1);
  ASSERT_EQ(RegisterDeviceEntry(Reg(2, "F1\\2")), 1);
  ASSERT_EQ(RegisterDeviceEntry(Reg(3, "F1\\3")), 1);
  EXPECT_EQ(GetAvailableEntryForReceive(), nullptr);
  SetActive(1, 0, 1);
  SetActive(2, 0, 1);
  EXPECT_EQ(GetAvailableEntryForReceive()->DeviceId, 2);
  SetActive(2, 1, 1);
  EXPECT_EQ(GetAvailableEntryForReceive()->DeviceId, 1);
  EXPECT_EQ(CountActiveSessions(), 1);
  const std::vector<std::uint16_t> free_ids = GetSessionsNotInUse();
  EXPECT_EQ(free_ids.size(), 18u);
  EXPECT_EQ(std::count(free_ids.begin(), free_ids.end(), 2), 0);
}

TEST_F(DeviceTable, UpdateEntryKeepsSessionIdsInUseAndIgnoresUnknownIds) {
  ASSERT_EQ(RegisterDeviceEntry(Reg(1, "F1\\1")), 1);
  ASSERT_EQ(RegisterDeviceEntry(Reg(2, "F1\\2")), 1);
  SetActive(2, 1);
  DeviceEntry copy = *GetEntryInfo(1);
  copy.session_id = 2;  // in use
  ASSERT_EQ(UpdateEntry(copy), 1);
  EXPECT_EQ(GetEntryInfo(1)->session_id, 1);
  copy.session_id = 7;
  ASSERT_EQ(UpdateEntry(copy), 1);
  EXPECT_EQ(GetEntryInfo(1)->session_id, 7);
  DeviceEntry stranger;
  stranger.DeviceId = 77;
  stranger.session_active = 1;
  EXPECT_EQ(UpdateEntry(stranger), 0);
  EXPECT_EQ(CountActiveSessions(), 1);
}

TEST_F(DeviceTable, WatchdogAbortsOnTheTickAfterTheLimit) {
  ASSERT_EQ(RegisterDeviceEntry(Reg(1, "F1\\1")), 1);
  SetActive(1, 1);
  WatchdogTick();
  EXPECT_EQ(GetEntryInfo(1)->watchdog, -1) << "stopped until an event starts it";
  ASSERT_EQ(StartEntryWatchdog(1), 1);
  for (int i = 0; i < kWatchdogLimitDefault; ++i) WatchdogTick();
  EXPECT_EQ(GetEntryInfo(1)->watchdog, kWatchdogLimitDefault);
  EXPECT_EQ(GetEntryInfo(1)->abort_state, ABORT_NONE);
  WatchdogTick();
  EXPECT_EQ(GetEntryInfo(1)->abort_state, ABORT_WATCHDOG);
  EXPECT_EQ(GetEntryInfo(1)->watchdog, -1);
  EXPECT_EQ(StopEntryWatchdog(5), 0);
}

TEST_F(DeviceTable, HeldCallCopiesAreNotOverwritten) {
  ASSERT_EQ(RegisterDeviceEntry(Reg(1, "F1\\1")), 1);
  DeviceEntry* e = GetEntryInfo(1);
  foip__alert call{};
  call.called_kind = 1;
  CallAddress a{'0', 'A', 3, 1, 44};
  ASSERT_EQ(SetEntryFaxFile(e, call, a), 1);
  a.conn_id = 45;
  EXPECT_EQ(SetEntryFaxFile(e, call, a), 0);
  EXPECT_EQ(e->call_address->conn_id, 44);
  FreeEntryFaxFile(e);
  EXPECT_EQ(SetEntryFaxFile(e, call, a), 1);
  EXPECT_EQ(e->call_address->conn_id, 45);
}

TEST(ResultWords, AcuAndSipTables) {
  const std::pair<char, std::uint16_t> acu[] = {{'T', 0xF103}, {'s', 0xF103}, {'a', 0xF10B}, {'b', 0xF10A},
                                                {'c', 0xF10A}, {'h', 0xF105}, {'l', 0xF101}, {'p', 0xF10C},
                                                {'u', 0xF100}, {0, 0xF100}};
  for (const auto& [cause, word] : acu) EXPECT_EQ(GetAcuErrorCode(std::uint8_t(cause)), word) << cause;
  const std::pair<std::uint16_t, std::uint16_t> sip[] = {{24, 0xF103},  {484, 0xF10B}, {486, 0xF10A}, {503, 28},
                                                         {600, 0xF10A}, {0, 0xF100},   {404, 0xF100}};
  for (const auto& [status, word] : sip) EXPECT_EQ(GetSipErrorCode(status), word) << status;
}

}  // namespace
