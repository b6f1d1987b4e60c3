// The device controller against the test's DRENNIC and MORVATH slots and a
// scripted TESSALY slot, on a virtual clock: start-up packets, usage and
// fatal texts, busy answers, offline and online, abort, tessaly missing or
// silent, re-registration, fax status packets, device logs, two controllers
// at once, SIGTERM, and the packet-to-handling time on the real clock.
#include "controller/controller.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "common/byte_order.h"
#include "common/tessaly_packets.h"
#include "controller/support/controller_harness.h"
#include "platform/mailslot.h"
#include "platform/process.h"

namespace {

using kvtest::Bytes;
using kvtest::ControllerWorld;
using kvtest::PeerSlot;
using kvtest::TessalyMode;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

const std::vector<std::string> kGroupArgs = {"marrock", "GROUP", "G1", "3", "5"};

std::uint8_t TypeOf(const Bytes& b) { return b.size() > 3 ? b[3] : 0; }
std::uint16_t U16(const Bytes& b, std::size_t at) { return get_le16(b.data() + at); }

std::vector<int> Types(const std::vector<Bytes>& packets) {
  std::vector<int> t;
  for (const Bytes& b : packets) t.push_back(TypeOf(b));
  return t;
}

class ControllerTest : public ::testing::Test {
 protected:
  // Starts a controller "GROUP G1 3 5" against an answering tessaly and
  // takes the start-up packets out of the slots.
  int Start(Controller& c) {
    world_.SetTessaly(TessalyMode::kAnswer);
    int r = c.InitialiseController(kGroupArgs);
    world_.DrennicPackets();
    world_.MorvathPackets();
    world_.tessaly_requests().clear();
    return r;
  }
  ControllerWorld world_;
};

TEST_F(ControllerTest, StartUpRegistersAndReportsIdle) {
  Controller c(&world_.clock);
  world_.SetTessaly(TessalyMode::kAnswer);
  ASSERT_EQ(c.InitialiseController(kGroupArgs), 0);
  EXPECT_EQ(c.exit_code(), -1);
  EXPECT_STREQ(c.identity().title, "FOIP-G1-3");
  EXPECT_STREQ(c.identity().request_slot, "FOIP\\G1\\3");
  EXPECT_STREQ(c.tessaly().reply_slot(), "FFOIP\\G1\\3");
  EXPECT_NE(c.identity().device_id, 0);

  // tessaly: registration with the reply slot, then the receive status.
  auto& req = world_.tessaly_requests();
  ASSERT_EQ(Types(req), (std::vector<int>{RST_TESSALY_REGISTER_DEVICE, RST_TESSALY_DEVICE_STATUS}));
  EXPECT_EQ(U16(req[0], 6), c.identity().device_id);
  EXPECT_EQ(world_.reply_slot, "FFOIP\\G1\\3");
  EXPECT_EQ(U16(req[1], 8), 1);  // receive enabled

  // DRENNIC: device start; MORVATH: port init, then program start.
  auto drennic = world_.DrennicPackets();
  ASSERT_EQ(Types(drennic), (std::vector<int>{RST_DRENNIC_DEVICE_START}));
  EXPECT_EQ(U16(drennic[0], 104), c.identity().device_id);
  EXPECT_EQ(get_le32(drennic[0].data() + 108), 0x4000000Cu);
  auto morvath = world_.MorvathPackets();
  ASSERT_EQ(Types(morvath), (std::vector<int>{RST_MORVATH_PORT_INIT, RST_MORVATH_PROGRAM_START}));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(morvath[0].data() + 104)), "FOIP5");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(morvath[1].data() + 6)), "FOIP-G1-3");
  EXPECT_TRUE(world_.Logged("3 Device controller for FOIP-G1-3 - Version 15.0.928"));
  EXPECT_TRUE(world_.Logged("2 Initialising completed"));

  // The first IDLE is reported with code 1; a second one is not.
  c.MainLoopRound(0);
  auto status = world_.DrennicPackets();
  ASSERT_EQ(Types(status), (std::vector<int>{RST_DRENNIC_DEVICE_STATUS}));
  EXPECT_EQ(U16(status[0], 18), DS_IDLE);
  EXPECT_EQ(world_.CountLogged("Device status now IDLE"), 1);
  c.MainLoopRound(0);
  EXPECT_TRUE(world_.DrennicPackets().empty());
  EXPECT_EQ(world_.CountLogged("Device status now IDLE"), 1);
}

TEST_F(ControllerTest, UsageAndFatalTexts) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    const char* ini_body;  // null: the default device paragraph
    const char* printed;
    const char* logged;
  };
  const Case cases[] = {
      {"group channel not a number",
       {"marrock", "GROUP", "G1", "x", "5"},
       nullptr,
       "Usage -- marrock GROUP groupnumber channelnumber devtypenum",
       nullptr},
      {"group word too long",
       {"marrock", "GROUP", std::string(61, 'G'), "3", "5"},
       nullptr,
       "Usage -- marrock GROUP groupnumber channelnumber devtypenum",
       nullptr},
      {"group too few arguments",
       {"marrock", "GROUP", "G1", "3"},
       nullptr,
       "Usage -- marrock GROUP groupnumber channelnumber devtypenum",
       nullptr},
      {"type 0", {"marrock", "0"}, nullptr, "Error -- invalid device type number 0", nullptr},
      {"type 201", {"marrock", "201"}, nullptr, "Error -- invalid device type number 201", nullptr},
      {"type not a number", {"marrock", "abc"}, nullptr, "Usage -- marrock devtypenum", nullptr},
      {"group type 300",
       {"marrock", "GROUP", "G1", "3", "300"},
       nullptr,
       "Error -- invalid device type number 300",
       nullptr},
      {"no Port", kGroupArgs, "RecdUser: FAXIN\n", nullptr, "6 Port: line missing from Init file"},
      {"empty Port", kGroupArgs, "Port: \"\"\n", nullptr, "6 Port not specified in Init file"},
      {"no device paragraph",
       {"marrock", "GROUP", "G9", "3", "5"},
       nullptr,
       nullptr,
       "6 [FOIP-G9] paragraph missing in Init file"},
  };
  for (const Case& k : cases) {
    world_.WriteIni(k.ini_body ? k.ini_body : "Port: FOIP\nRecdUser: FAXIN\n");
    world_.ClearLog();
    Controller c(&world_.clock);
    ::testing::internal::CaptureStdout();
    c.InitialiseController(k.args);
    std::string out = ::testing::internal::GetCapturedStdout();
    EXPECT_EQ(c.exit_code(), 1) << k.name;
    if (k.printed) {
      EXPECT_THAT(out, HasSubstr(k.printed)) << k.name;
    }
    if (k.logged) {
      EXPECT_TRUE(world_.Logged(k.logged)) << k.name;
      EXPECT_TRUE(world_.Logged("6 ** Fatal Error - exiting **")) << k.name;
    }
    EXPECT_TRUE(world_.DrennicPackets().empty()) << k.name << ": nothing sent before the end";
  }
  // A missing [DRENNIC] paragraph stops the program at start.
  world_.WriteIni("Port: FOIP\n", "", /*drennic=*/false);
  world_.ClearLog();
  Controller c(&world_.clock);
  c.InitialiseController(kGroupArgs);
  EXPECT_EQ(c.exit_code(), 1);
  EXPECT_TRUE(world_.Logged("6 [DRENNIC] paragraph missing in Init file"));
  // A second controller for the same channel cannot hold its request slot.
  world_.WriteIni("Port: FOIP\n");
  world_.SetTessaly(TessalyMode::kAnswer);
  {
    Controller first(&world_.clock);
    ASSERT_EQ(first.InitialiseController(kGroupArgs), 0);
    world_.ClearLog();
    Controller second(&world_.clock);
    second.InitialiseController(kGroupArgs);
    EXPECT_EQ(second.exit_code(), 1);
    EXPECT_TRUE(world_.Logged("6 FATAL Error 0xF00C creating message queue 'FOIP\\G1\\3'"));
  }
  // Unreadable system parameters.
  setenv("KORVANE_INI_PATH", world_.tmp.File("missing.ini").c_str(), 1);
  {
    Controller c(&world_.clock);
    ::testing::internal::CaptureStdout();
    c.InitialiseController(kGroupArgs);
    EXPECT_THAT(::testing::internal::GetCapturedStdout(), HasSubstr("Error reading system parameters"));
    EXPECT_EQ(c.exit_code(), 1);
  }
  setenv("KORVANE_INI_PATH", world_.tmp.File("KORVANE.INI").c_str(), 1);
  // The log level argument.
  ::testing::internal::CaptureStdout();
  Controller d(&world_.clock);
  std::vector<std::string> args = kGroupArgs;
  args.push_back("2");
  world_.WriteIni("Port: FOIP\n");
  d.InitialiseController(args);
  EXPECT_THAT(::testing::internal::GetCapturedStdout(), HasSubstr("(Logging level set to 2)"));
  EXPECT_EQ(d.identity().log_level, 2);
}

TEST_F(ControllerTest, CommandLineAndTitle) {
  const char* argv[] = {"marrock", "[SRV2]", "GROUP", "G1", "/service", "3", "[DEV2]", "5"};
  MarrockCommandLine cl = ParseCommandLine(8, argv);
  EXPECT_STREQ(cl.server_paragraph, "[SRV2]");
  EXPECT_STREQ(cl.devices_paragraph, "[DEV2]");
  EXPECT_TRUE(cl.service);
  EXPECT_THAT(cl.remaining, ElementsAre("marrock", "GROUP", "G1", "3", "5"));
  EXPECT_EQ(BuildConsoleTitle({"m"}, "FOIP"), "FOIP-1");
  EXPECT_EQ(BuildConsoleTitle({"m", "7"}, "FOIP"), "FOIP-7");
  EXPECT_EQ(BuildConsoleTitle({"m", "1000"}, "FOIP"), "FOIP-?");
  EXPECT_EQ(BuildConsoleTitle({"m", "GROUP", "G1"}, "FOIP"), "FOIP-?");
  EXPECT_EQ(BuildConsoleTitle({"m", "GROUP", "G1", "0", "5"}, "FOIP"), "FOIP-?");
}

TEST_F(ControllerTest, BusyAnswersCarryTheRequestsJob) {
  Controller c(&world_.clock);
  ASSERT_EQ(Start(c), 0);
  struct Case {
    unsigned state;
    std::uint8_t type;
    std::uint8_t answer;
    StatusWord status;
  } cases[] = {{DS_SENDING, RST_DEVICE_SEND, RST_DRENNIC_JOB_RESULT, 0xF101},
               {DS_DEVICE_OFFLINE, RST_DEVICE_SEND, RST_DRENNIC_JOB_RESULT, 0xF102},
               {DS_DEVICE_FAILED, RST_DEVICE_SEND, RST_DRENNIC_JOB_RESULT, 0xF100},
               {DS_CALL_RECEIVED, RST_DEVICE_SCAN, RST_DRENNIC_SCAN_RESULT, 0xF101}};
  for (const auto& k : cases) {
    c.fax_server().SetDeviceState(k.state);
    world_.DrennicPackets();
    Bytes req = kvtest::SendRequestPacket(0x0777, 0);
    req[3] = k.type;
    ASSERT_EQ(world_.SendRequest("FOIP\\G1\\3", req), 0);
    EXPECT_EQ(c.fax_server().ProcessDeviceRequests(), 0);
    auto out = world_.DrennicPackets();
    ASSERT_EQ(out.size(), 1u) << k.state;
    EXPECT_EQ(TypeOf(out[0]), k.answer);
    EXPECT_EQ(U16(out[0], 4), k.status);
    EXPECT_EQ(U16(out[0], 18), 0x0777);
    EXPECT_EQ(U16(out[0], 20), DeviceStateCode(k.state));
  }
  // Idle: the job is taken; another device's request is dropped.
  c.fax_server().SetDeviceState(DS_IDLE);
  world_.SendRequest("FOIP\\G1\\3",
                     kvtest::SendRequestPacket(5, static_cast<std::uint16_t>(c.identity().device_id + 1)));
  EXPECT_EQ(c.fax_server().ProcessDeviceRequests(), 0);
  EXPECT_TRUE(world_.Logged("4 Request received for previous device (11)"));
  world_.SendRequest("FOIP\\G1\\3", kvtest::SendRequestPacket(5, 0));
  EXPECT_EQ(c.fax_server().ProcessDeviceRequests(), 1);
  EXPECT_TRUE(c.fax_server().job_waiting());
  EXPECT_EQ(c.fax_server().waiting_job().job_number, 5);
  EXPECT_EQ(c.fax_server().ProcessDeviceRequests(), 1);  // already waiting: nothing read
}

TEST_F(ControllerTest, ShortAndUnknownRequestsAreLoggedAndDropped) {
  Controller c(&world_.clock);
  ASSERT_EQ(Start(c), 0);
  Bytes short_send = kvtest::SendRequestPacket(1, 0);
  short_send.resize(300);
  put_le16(short_send.data(), 300);
  world_.SendRequest("FOIP\\G1\\3", short_send);
  world_.SendRequest("FOIP\\G1\\3", kvtest::DeviceRequestPacket(12, 0, 8));
  world_.SendRequest("FOIP\\G1\\3", kvtest::DeviceRequestPacket(1, 0, 8));
  world_.SendRequest("FOIP\\G1\\3", kvtest::DeviceRequestPacket(4, 0, 8));
  EXPECT_EQ(c.fax_server().ProcessDeviceRequests(), 0);
  EXPECT_FALSE(c.fax_server().job_waiting());
  EXPECT_TRUE(world_.Logged("Request of type 11 too short (300 bytes) - ignored"));
  EXPECT_TRUE(world_.Logged("5 Invalid request subtype received (12)"));
  EXPECT_TRUE(world_.Logged("5 Device initialise - Not supported"));
  EXPECT_TRUE(world_.Logged("5 Device status enquiry in state ??? - Not supported"));
}

TEST_F(ControllerTest, AbortAndClosedown) {
  Controller c(&world_.clock);
  ASSERT_EQ(Start(c), 0);
  c.fax_server().SetDeviceState(DS_IDLE);
  world_.SendRequest("FOIP\\G1\\3", kvtest::DeviceRequestPacket(RST_DEVICE_ABORT, 0, 8));
  EXPECT_EQ(c.fax_server().ProcessDeviceRequests(), 0);
  EXPECT_TRUE(world_.Logged("3 Abort received in state IDLE"));
  c.fax_server().SetDeviceState(DS_SENDING);
  world_.SendRequest("FOIP\\G1\\3", kvtest::DeviceRequestPacket(RST_DEVICE_ABORT, 0, 8));
  EXPECT_EQ(c.fax_server().ProcessDeviceRequests(), PERC_ABORT_REQUEST);
  // Class 99 closes down even with another device's id.
  Bytes shutdown = kvtest::DeviceRequestPacket(1, 0x4321, 8);
  shutdown[2] = 99;
  world_.SendRequest("FOIP\\G1\\3", shutdown);
  EXPECT_EQ(c.fax_server().ProcessDeviceRequests(), PERC_SHUTDOWN_REQUESTED);
  EXPECT_TRUE(c.closedown_requested());
}

TEST_F(ControllerTest, SigtermActsAsShutdownPacket) {
  Controller c(&world_.clock);
  ASSERT_EQ(Start(c), 0);
  platform::InstallTerminationFlag();
  raise(SIGTERM);
  EXPECT_EQ(c.fax_server().ProcessDeviceRequests(), PERC_SHUTDOWN_REQUESTED);
  EXPECT_TRUE(c.closedown_requested());
  signal(SIGTERM, SIG_DFL);
  signal(SIGINT, SIG_DFL);
}

// A crash sends the prepared RST_MORVATH_FAULT from the signal handler,
// then ends the process as the signal would.
TEST_F(ControllerTest, CrashSendsFaultToMorvath) {
  std::string morvath;
  ASSERT_TRUE(platform::MailslotPath("MORVATH", &morvath).ok());
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::uint8_t fault[kFaultSize];
    WriteFault(platform::ProcessId(), fault);
    platform::InstallCrashPacket(morvath, fault, sizeof fault);
    raise(SIGABRT);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status));
  auto packets = world_.MorvathPackets();
  ASSERT_EQ(packets.size(), 1u);
  EXPECT_EQ(TypeOf(packets[0]), RST_MORVATH_FAULT);
  EXPECT_EQ(get_le32(packets[0].data() + 8), static_cast<std::uint32_t>(child));
}

TEST_F(ControllerTest, OfflineAndOnlineWithAndWithoutId) {
  Controller c(&world_.clock);
  ASSERT_EQ(Start(c), 0);
  PeerSlot reply("OFFREPLY");
  ASSERT_TRUE(reply.ok());

  // While sending, "may wait" and "interrupt": the job is aborted, the
  // offline stays pending, and the reply with status 0 comes with HandleOffline.
  c.fax_server().SetDeviceState(DS_SENDING);
  world_.SendRequest("FOIP\\G1\\3", kvtest::OfflineRequestPacket(true, 1, 1, 42, "OFFREPLY"));
  EXPECT_EQ(c.fax_server().ProcessDeviceRequests(), PERC_ABORT_REQUEST);
  EXPECT_TRUE(c.fax_server().offline_pending());
  EXPECT_TRUE(reply.Drain().empty());
  // A second offline with id while pending is refused with 0xF101.
  world_.SendRequest("FOIP\\G1\\3", kvtest::OfflineRequestPacket(true, 1, 0, 43, "OFFREPLY"));
  EXPECT_EQ(c.fax_server().ProcessDeviceRequests(), 0);
  auto refused = reply.Drain();
  ASSERT_EQ(refused.size(), 1u);
  EXPECT_EQ(kvtest::Hex(refused[0]), "0800080101f12b00");
  EXPECT_TRUE(world_.Logged("3 Device already processing an offline request - ignoring request"));

  // The main loop takes the device offline; an online with another id is
  // ignored, the matching one (a minute later) ends the offline windows.
  c.fax_server().SetDeviceState(DS_DEVICE_OFFLINE);
  world_.SendRequest("FOIP\\G1\\3", kvtest::OnlineRequestPacket(true, 99));
  const std::uint64_t start = world_.clock.elapsed_ms();
  world_.ScheduleRequest(start + 60000, "FOIP\\G1\\3", kvtest::OnlineRequestPacket(true, 42));
  world_.tessaly_requests().clear();
  EXPECT_EQ(c.HandleOffline(0), 0);
  EXPECT_GE(world_.clock.elapsed_ms() - start, 60000u);
  EXPECT_LT(world_.clock.elapsed_ms() - start, 80000u);
  EXPECT_FALSE(c.fax_server().offline_pending());
  EXPECT_TRUE(world_.Logged("3 Online request id does not match last offline - ignoring request"));
  // Replies: status 0 when the offline began, 0xF101 to the pending offline at the online.
  auto replies = reply.Drain();
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_EQ(kvtest::Hex(replies[0]), "0800080100002a00");
  EXPECT_EQ(kvtest::Hex(replies[1]), "0800080101f12a00");
  // Offline while idle: tessaly is told first that no call is to be rung
  // in; online again: registered with tessaly.
  ASSERT_GE(world_.tessaly_requests().size(), 2u);
  EXPECT_EQ(TypeOf(world_.tessaly_requests()[0]), RST_TESSALY_DEVICE_STATUS);
  EXPECT_EQ(world_.tessaly_requests()[0][8], 0);
  EXPECT_EQ(TypeOf(world_.tessaly_requests()[1]), RST_TESSALY_REGISTER_DEVICE);

  // Offline without id while idle: pending, no reply; busy without "may wait".
  c.fax_server().SetDeviceState(DS_IDLE);
  world_.SendRequest("FOIP\\G1\\3", kvtest::OfflineRequestPacket(false, 0, 0, 0, ""));
  EXPECT_EQ(c.fax_server().ProcessDeviceRequests(), 0);
  EXPECT_TRUE(c.fax_server().offline_pending());
  world_.SendRequest("FOIP\\G1\\3", kvtest::OnlineRequestPacket(false, 0));
  EXPECT_EQ(c.fax_server().ProcessDeviceRequests(), 0);
  EXPECT_FALSE(c.fax_server().offline_pending());
  // The online answers the last offline-with-id request.
  EXPECT_EQ(reply.Drain().size(), 1u);
  c.fax_server().SetDeviceState(DS_SENDING);
  world_.SendRequest("FOIP\\G1\\3", kvtest::OfflineRequestPacket(false, 0, 0, 0, ""));
  EXPECT_EQ(c.fax_server().ProcessDeviceRequests(), 0);
  EXPECT_FALSE(c.fax_server().offline_pending());
  EXPECT_TRUE(world_.Logged("3 Device not idle - ignoring offline request"));
  EXPECT_TRUE(reply.Drain().empty());
}

TEST_F(ControllerTest, OfflineWithoutRequestComesBackAfterFirstWindow) {
  Controller c(&world_.clock);
  ASSERT_EQ(Start(c), 0);
  c.fax_server().SetDeviceState(DS_DEVICE_OFFLINE);
  const std::uint64_t before = world_.clock.elapsed_ms();
  EXPECT_EQ(c.HandleOffline(2), 0);
  const std::uint64_t took = world_.clock.elapsed_ms() - before;
  EXPECT_GE(took, 20000u);
  EXPECT_LT(took, 25000u);
  // Receive status 0 as it went offline; back online: registered again.
  ASSERT_GE(world_.tessaly_requests().size(), 2u);
  EXPECT_EQ(world_.tessaly_requests()[0][3], RST_TESSALY_DEVICE_STATUS);
  EXPECT_EQ(world_.tessaly_requests()[0][8], 0);
  EXPECT_EQ(world_.tessaly_requests()[1][3], RST_TESSALY_REGISTER_DEVICE);
}

TEST_F(ControllerTest, TessalyMissingThenRecovery) {
  Controller c(&world_.clock);
  world_.SetTessaly(TessalyMode::kMissing);
  EXPECT_EQ(c.InitialiseController(kGroupArgs), PERC_FAX_NOT_CONNECTED);
  EXPECT_EQ(world_.CountLogged("5 Error 0xF023 sending message to TESSALY"), 2);
  EXPECT_TRUE(world_.Logged("4 Failed to register. Device will be re-registered"));
  EXPECT_TRUE(world_.Logged("6 Failed to register device with TESSALY"));
  EXPECT_TRUE(world_.Logged("5 Error FAX DEVICE NOT CONNECTED initialising device"));
  EXPECT_EQ(c.status_word(), 233);
  EXPECT_LT(world_.clock.elapsed_ms(), 1000u);  // both attempts fail at once
  // The packets of the start still go out.
  EXPECT_EQ(Types(world_.DrennicPackets()), (std::vector<int>{RST_DRENNIC_DEVICE_START}));

  // Recovery: tessaly appears after 1900 s of virtual time.
  world_.tessaly_from_ms = world_.clock.elapsed_ms() + 1900 * 1000;
  int r = c.MainLoopRound(PERC_FAX_NOT_CONNECTED);
  EXPECT_EQ(r, 0);
  auto states = world_.DrennicPackets();
  std::vector<int> codes;
  for (const Bytes& b : states)
    if (TypeOf(b) == RST_DRENNIC_DEVICE_STATUS) codes.push_back(U16(b, 18));
  EXPECT_EQ(codes, (std::vector<int>{DS_DEVICE_ERROR, DS_DEVICE_FAILED, DS_IDLE}));
  EXPECT_EQ(world_.CountLogged("5 Error FAX DEVICE NOT CONNECTED checking fax device"), 1);
  EXPECT_EQ(world_.CountLogged("5 Failing device - error FAX DEVICE NOT CONNECTED"), 1);
  EXPECT_TRUE(world_.Logged("3 Device recovered"));
}

TEST_F(ControllerTest, TessalySilentTimesOutAndReRegistersOncePerRequest) {
  Controller c(&world_.clock);
  world_.SetTessaly(TessalyMode::kSilent);
  EXPECT_EQ(c.InitialiseController(kGroupArgs), PERC_FAX_NOT_CONNECTED);
  EXPECT_EQ(world_.CountLogged("4 Timed out while waiting for acknowledgement from TESSALY"), 2);
  EXPECT_GE(world_.clock.elapsed_ms(), 120000u);
  EXPECT_LT(world_.clock.elapsed_ms(), 125000u);
  EXPECT_TRUE(c.tessaly().reregistration_required());

  // Only registrations answered: each request re-registers once at most.
  world_.SetTessaly(TessalyMode::kRegisterOnly);
  world_.tessaly_requests().clear();
  world_.ClearLog();
  EXPECT_EQ(c.tessaly().InitialiseDevice(4), 0);
  EXPECT_EQ(Types(world_.tessaly_requests()), (std::vector<int>{1, 5}));
  EXPECT_TRUE(c.tessaly().reregistration_required());
  world_.tessaly_requests().clear();
  c.tessaly().SendReceiveStatusToTESSALY(1);
  EXPECT_EQ(Types(world_.tessaly_requests()), (std::vector<int>{5, 1, 5}));
  EXPECT_EQ(world_.CountLogged("Device re-registration required"), 1);
  EXPECT_EQ(c.status_word(), 0xF108);
}

TEST_F(ControllerTest, FaxStatusAndReplyPackets) {
  Controller c(&world_.clock);
  ASSERT_EQ(Start(c), 0);
  const std::uint16_t id = c.identity().device_id;
  auto deliver = [&](const Bytes& b) {
    world_.QueueToController(b);
    world_.ServeTessaly();
  };
  // A packet for another device is dropped.
  deliver(kvtest::FaxStatusBytes(static_cast<std::uint16_t>(id + 1), FAX_STATUS_FAX_SENT, 0));
  EXPECT_EQ(c.tessaly().CheckTESSALYPackets(), 0);
  EXPECT_TRUE(world_.Logged("4 Request received for previous device (1)"));

  // Not sent: the status word and PERC follow tessaly's value.
  deliver(kvtest::FaxStatusBytes(id, FOIP_STATUS_FAX_NOT_SENT, 0xF10A));
  EXPECT_EQ(c.tessaly().CheckTESSALYPackets(), PERC_UNABLE_TO_CONNECT);
  EXPECT_EQ(c.status_word(), 0xF10A);
  EXPECT_TRUE(world_.Logged("3 Phone number engaged"));
  deliver(kvtest::FaxStatusBytes(id, FOIP_STATUS_FAX_NOT_SENT, 0));
  EXPECT_EQ(c.tessaly().CheckTESSALYPackets(), PERC_UNABLE_TO_CONNECT);
  EXPECT_EQ(c.status_word(), 0xF013);

  // Call connected: the DID, cut to 60 characters; text is never a format.
  deliver(kvtest::FaxStatusBytes(id, FAX_STATUS_CALL_CONNECTED, 0, "%s%n%x-200"));
  EXPECT_EQ(c.tessaly().CheckTESSALYPackets(), 0);
  EXPECT_STREQ(c.tessaly().did(), "%s%n%x-200");
  EXPECT_TRUE(world_.Logged("3 Direct dial routing '%s%n%x-200' (DID)"));

  // Kind 15 makes the device register again.
  world_.tessaly_requests().clear();
  deliver(kvtest::FaxStatusBytes(id, FAX_STATUS_SESSION_LOST, 0));
  EXPECT_EQ(c.tessaly().CheckTESSALYPackets(), 0);
  EXPECT_TRUE(world_.Logged("4 Unknown status type received from TESSALY (15)"));
  EXPECT_EQ(Types(world_.tessaly_requests()), (std::vector<int>{1, 5}));

  // A ring-in whose fields are full: kept bounded.
  Bytes ring(kRingInSize, 'A');
  put_le16(ring.data(), kRingInSize);
  ring[2] = RT_TESSALY_REPLY;
  ring[3] = TESSALY_RING_IN;
  put_le16(ring.data() + 6, 0);
  deliver(ring);
  EXPECT_EQ(c.tessaly().CheckRingIn(), PERC_INCOMING_CALL);
  EXPECT_EQ(std::strlen(c.tessaly().ring_in_record().called), 31u);
  EXPECT_EQ(std::strlen(c.tessaly().ring_in_record().caller_address), 31u);
  EXPECT_EQ(c.tessaly().CheckRingIn(), PERC_INCOMING_CALL);  // the flag holds it

  // A short fax status is dropped; an unknown subtype is logged.
  Bytes short_status = kvtest::FaxStatusBytes(id, FAX_STATUS_FAX_SENT, 0);
  short_status.resize(20);
  put_le16(short_status.data(), 20);
  deliver(short_status);
  Bytes other = kvtest::FaxStatusBytes(id, 0, 0);
  other[3] = 9;
  deliver(other);
  EXPECT_EQ(c.tessaly().CheckTESSALYPackets(), 0);
  EXPECT_TRUE(world_.Logged("Packet of type 1 too short (20 bytes) - ignored"));
  EXPECT_TRUE(world_.Logged("5 Invalid request subtype received (9)"));
}

TEST_F(ControllerTest, FirstReceiveConnectedPacketIsKept) {
  Controller c(&world_.clock);
  ASSERT_EQ(Start(c), 0);
  ReceiveConnectedPacket rc;
  std::strcpy(rc.remote_csid, "REMOTE CSID 0123456789");
  std::strcpy(rc.did, "200");
  Bytes b(kReceiveConnectedSize);
  WriteReceiveConnected(rc, b.data());
  world_.QueueToController(b);
  EXPECT_EQ(c.tessaly().WaitForReceiveConnectedFromTESSALY(), 0);
  EXPECT_TRUE(world_.Logged("Receive connected message from TESSALY"));
  c.tessaly().TakeReceiveConnectedInfo();
  EXPECT_STREQ(c.tessaly().did(), "200");
  EXPECT_STREQ(c.tessaly().remote_csid(), "REMOTE CSID 01234567");  // 20 characters
}

TEST_F(ControllerTest, RingInWhileWaitingForAnAnswerIsServedAfterIt) {
  Controller c(&world_.clock);
  ASSERT_EQ(Start(c), 0);
  RingInPacket ri;
  std::strcpy(ri.caller_address, "127.0.0.1");
  Bytes b(kRingInSize);
  WriteRingIn(ri, b.data());
  world_.QueueToController(b);
  world_.ServeTessaly();  // the ring-in is waiting before the request goes out
  EXPECT_EQ(c.tessaly().SendReceiveStatusToTESSALY(1), 0);
  EXPECT_TRUE(world_.Logged("Ring-in detected while waiting for TESSALY response"));
  EXPECT_TRUE(c.tessaly().ring_in());
  EXPECT_EQ(c.tessaly().CheckRingIn(), PERC_INCOMING_CALL);
  // Refused (no receive path yet): RST_TESSALY_RECV_FAX with accept 0.
  world_.tessaly_requests().clear();
  EXPECT_EQ(c.tessaly().ProcessRingIn(false), PERC_UNABLE_TO_CONNECT);
  EXPECT_EQ(c.status_word(), 0xF029);
  ASSERT_FALSE(world_.tessaly_requests().empty());
  const Bytes& recv = world_.tessaly_requests().front();
  EXPECT_EQ(TypeOf(recv), RST_TESSALY_RECV_FAX);
  EXPECT_EQ(get_le32(recv.data() + 280), 0u);
}

// A caller gives up while this controller has not yet answered its ring-in:
// tessaly's report of the ended call is in the slot before the answer to the
// late RST_TESSALY_RECV_FAX.  The report is not the answer: the request takes
// its own, and the next request its own, with no registration between.
TEST_F(ControllerTest, ReportOfACallGivenUpBeforeTheAnswerLeavesRequestsInStep) {
  Controller c(&world_.clock);
  ASSERT_EQ(Start(c), 0);
  const u16 id = c.identity().device_id;
  RingInPacket ri;
  std::strcpy(ri.caller_address, "127.0.0.1");
  Bytes ring(kRingInSize);
  WriteRingIn(ri, ring.data());
  world_.QueueToController(ring);
  world_.QueueToController(kvtest::FaxStatusBytes(id, FAX_STATUS_FAX_NOT_RECEIVED, 0xF10B));
  world_.ServeTessaly();
  ASSERT_EQ(c.tessaly().CheckRingIn(), PERC_INCOMING_CALL);
  EXPECT_EQ(c.tessaly().ProcessRingIn(true), 0);
  EXPECT_TRUE(world_.Logged("Fax status 9 of an ended session discarded while waiting for TESSALY response"));
  EXPECT_EQ(c.tessaly().SendReceiveStatusToTESSALY(1), 0);
  EXPECT_EQ(Types(world_.tessaly_requests()), (std::vector<int>{RST_TESSALY_RECV_FAX, RST_TESSALY_DEVICE_STATUS}));
  // Nothing is left behind to be taken for a later answer.
  EXPECT_EQ(c.tessaly().CheckTESSALYPackets(), 0);
  EXPECT_FALSE(world_.Logged("Unknown status type received from TESSALY"));
  EXPECT_FALSE(world_.Logged("Failed to register device with TESSALY"));
}

// During closedown a request that cannot be written returns at once instead
// of waiting 60 s for an answer that cannot come.
TEST_F(ControllerTest, FailedWriteDuringClosedownReturnsAtOnce) {
  Controller c(&world_.clock);
  ASSERT_EQ(Start(c), 0);
  c.tessaly().SetFOIPStatus(FOIP_DIALLED);
  world_.SetTessaly(TessalyMode::kMissing);
  c.RequestClosedown();
  const std::uint64_t before = world_.clock.elapsed_ms();
  EXPECT_EQ(c.tessaly().ClosedownDevice(), PERC_PORT_FAULT);  // the abort could not be delivered
  EXPECT_LT(world_.clock.elapsed_ms() - before, 1000u);
  EXPECT_EQ(c.status_word(), 0xF10E);
  EXPECT_FALSE(world_.Logged("sending message to TESSALY"));  // not logged while closing down
}

TEST_F(ControllerTest, SenderNumberAndCsidAreCutWithAWarning) {
  Controller c(&world_.clock);
  ASSERT_EQ(Start(c), 0);
  world_.SetTessaly(TessalyMode::kAnswer);
  SendFOIPInfo info;
  std::snprintf(info.sender_telephone, sizeof info.sender_telephone, "%s", std::string(40, '1').c_str());
  c.tessaly().SetFOIPSendInfo(info);
  EXPECT_TRUE(world_.Logged("4 Sender telephone number too long, cut to 39 characters"));
  c.tessaly().AddToFOIPSendInfo("0123456", "CSID-0123456789-ABCDEFG");
  EXPECT_TRUE(world_.Logged("4 Sender CSID too long, cut to 19 characters"));
  c.tessaly().AddToFOIPSendInfo("", "");  // empty values leave the fields alone
  world_.tessaly_requests().clear();
  c.tessaly().SetFOIPStatus(FOIP_DIALLED);
  EXPECT_EQ(c.tessaly().SendFaxToTESSALY("/tmp/x\\", "KV1P001.TIF", 2), 0);
  ASSERT_EQ(world_.tessaly_requests().size(), 1u);
  SendFaxPacket p;
  const Bytes& b = world_.tessaly_requests()[0];
  ASSERT_TRUE(ReadSendFax(b.data(), b.size(), &p));
  EXPECT_EQ(std::string(p.sender_telephone), std::string(39, '1'));
  EXPECT_STREQ(p.telephone, "0123456");  // the dialled number
  EXPECT_STREQ(p.sender_csid, "CSID-0123456789-ABC");
  EXPECT_EQ(p.pages, 2);
  EXPECT_EQ(p.device_id, c.identity().device_id);
}

TEST_F(ControllerTest, AbortSendsNothingWhenReady) {
  Controller c(&world_.clock);
  ASSERT_EQ(Start(c), 0);
  EXPECT_EQ(c.tessaly().SendAbortToTESSALY(), 0);
  EXPECT_TRUE(world_.tessaly_requests().empty());
}

// A tessaly started since the registration refuses every request of the
// device as unknown: the refusal ends the wait at once (an abort too, which
// waits for its own answer otherwise) and the device registers again.
TEST_F(ControllerTest, RefusalAsAnUnknownDeviceRegistersAgain) {
  struct Case {
    const char* name;
    std::function<int(Controller&)> request;
    int first_type;
  } cases[] = {
      {"abort",
       [](Controller& c) {
         c.tessaly().SetFOIPStatus(FOIP_HANDED_OVER);
         return c.tessaly().SendAbortToTESSALY();
       },
       4},
      {"receive status", [](Controller& c) { return c.tessaly().SendReceiveStatusToTESSALY(1); }, 5},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Controller c(&world_.clock);
    ASSERT_EQ(Start(c), 0);
    world_.SetTessaly(TessalyMode::kUnknownDevice);
    world_.tessaly_requests().clear();
    world_.ClearLog();
    const std::uint64_t before = world_.clock.elapsed_ms();
    EXPECT_NE(k.request(c), 0);
    EXPECT_TRUE(world_.Logged("4 TESSALY does not know this device - it will be registered again"));
    EXPECT_LT(world_.clock.elapsed_ms() - before, 10000u);
    EXPECT_EQ(c.status_word(), 0xF102);
    // Registered again, by the abort itself or by the next request.
    if (k.first_type == 5) (void)c.tessaly().SendReceiveStatusToTESSALY(1);
    const std::vector<int> types = Types(world_.tessaly_requests());
    ASSERT_GE(types.size(), 3u);
    EXPECT_EQ(types[0], k.first_type);
    EXPECT_EQ(types[1], RST_TESSALY_REGISTER_DEVICE);
    EXPECT_FALSE(c.tessaly().reregistration_required());
    EXPECT_EQ(c.tessaly().foip_status(), FOIP_READY);
    world_.SetTessaly(TessalyMode::kAnswer);
    (void)c.tessaly().ClosedownDevice();
  }
}

TEST_F(ControllerTest, TwoControllersStartedInTheSameSecond) {
  world_.WriteIni("Port: FOIP\nRecdUser: FAXIN\n", "[FOIP-G2]\nPort: FOIP\nRecdUser: FAXIN\n");
  world_.SetTessaly(TessalyMode::kAnswer);
  Controller a(&world_.clock), b(&world_.clock);
  ASSERT_EQ(a.InitialiseController(kGroupArgs), 0);
  ASSERT_EQ(b.InitialiseController({"marrock", "GROUP", "G2", "3", "5"}), 0);
  EXPECT_NE(a.identity().device_id, b.identity().device_id);
  EXPECT_NE(b.identity().device_id, 0);
  EXPECT_STRNE(a.tessaly().reply_slot(), b.tessaly().reply_slot());
  EXPECT_EQ(world_.reply_slots.size(), 2u);
  // Both work side by side: each gets its own answers.
  world_.tessaly_requests().clear();
  EXPECT_EQ(a.tessaly().SendReceiveStatusToTESSALY(1), 0);
  EXPECT_EQ(b.tessaly().SendReceiveStatusToTESSALY(1), 0);
  EXPECT_EQ(world_.tessaly_requests().size(), 2u);
  // The id 0 is never taken.
  Controller z(&world_.clock);
  EXPECT_NE(z.ChooseDeviceId(0x10000), 0);
}

TEST_F(ControllerTest, ConfigurationValuesAndCuts) {
  world_.WriteIni(
      "Port: FOIP\nRecdUser: FAXIN\nSendMsgTries: 0\nChannelsReserved: 2\nChannelsReservedFrom: 2\n"
      "TraceLog: bogus\n",
      "[FOIP-G1-3]\nRecdUser: LONGUSERNAME\nPhoneNum: 01234567890123456789012345678901234567890123\n"
      "[RELAY]\nRelayIdentifier: #12345\n");
  {
    Controller c(&world_.clock);
    world_.SetTessaly(TessalyMode::kAnswer);
    ASSERT_EQ(c.InitialiseController(kGroupArgs), 0);
    const ControllerConfig& k = c.config();
    EXPECT_STREQ(k.recd_user, "LONGUSER");
    EXPECT_TRUE(world_.Logged("4 Value of RecdUser: too long, cut to 8 characters"));
    EXPECT_EQ(std::strlen(k.phone_num), 40u);
    EXPECT_STREQ(k.relay.identifier, "#123");
    EXPECT_TRUE(world_.Logged("4 Relay Identifier too long, truncating value"));
    EXPECT_TRUE(world_.Logged("3 No immediate redial on interrupted calls"));
    EXPECT_TRUE(world_.Logged("3 Device reserved for incoming calls"));  // channel 3 in 2 < c <= 4
    EXPECT_EQ(k.send_route_mask, 0x4000000Cu & 0x7FFFFFA3u);
    EXPECT_TRUE(world_.Logged("5 TraceLog: parameter invalid"));
    EXPECT_EQ(k.trace_log, 0);
  }

  // "#1234" is cut with the warning too; a quoted "0" port is demonstration mode.
  world_.WriteIni("Port: \"0\"\n", "[RELAY]\nRelayIdentifier: #1234\n");
  world_.ClearLog();
  Controller d(&world_.clock);
  world_.tessaly_requests().clear();
  ASSERT_EQ(d.InitialiseController(kGroupArgs), 0);
  EXPECT_STREQ(d.config().relay.identifier, "#123");
  EXPECT_TRUE(world_.Logged("Relay Identifier too long, truncating value"));
  EXPECT_EQ(d.config().demo_mode, DEMO_SLOW);
  EXPECT_TRUE(world_.tessaly_requests().empty());  // demonstration: no tessaly
}

TEST_F(ControllerTest, TraceLogFullAndErr) {
  kvtest::WriteFile(world_.tmp.File("server/K-DB/FOIP-G1-3.log"), "old line\n");
  world_.WriteIni("Port: FOIP\nRecdUser: FAXIN\nTraceLog: FULL\n");
  {
    Controller c(&world_.clock);
    ASSERT_EQ(Start(c), 0);
    c.device_log().InitLogFile(nullptr);
    c.device_log().Write(2, "level two line");
    c.device_log().Write(1, "level one line");
    std::string text = kvtest::ReadFile(world_.tmp.File("server/K-DB/FOIP-G1-3.log"));
    EXPECT_EQ(text.find("old line"), std::string::npos);
    EXPECT_THAT(text, HasSubstr("  FOIP-G1-3 - level two line"));
    EXPECT_EQ(text.find("level one line"), std::string::npos);
  }
  world_.WriteIni("Port: FOIP\nRecdUser: FAXIN\nTraceLog: ERR\n");
  kvtest::WriteFile(world_.tmp.File("server/K-DB/FOIP-G1-3.log"), "kept\n");
  Controller c(&world_.clock);
  ASSERT_EQ(Start(c), 0);
  DeviceLog& log = c.device_log();
  log.BeginCallTrace(nullptr);
  log.Write(1, "good attempt");
  log.EndCallTrace(false, nullptr);
  EXPECT_EQ(kvtest::ReadFile(log.log_path()), "kept\n");
  log.BeginCallTrace(nullptr);
  log.Write(1, "failed attempt");
  log.EndCallTrace(true, nullptr);
  std::string text = kvtest::ReadFile(log.log_path());
  EXPECT_THAT(text, HasSubstr("kept\n"));
  EXPECT_THAT(text, HasSubstr("failed attempt"));
  EXPECT_EQ(text.find("good attempt"), std::string::npos);
}

TEST_F(ControllerTest, CallTraceEndKeepsTheConfiguredConsoleLevel) {
  world_.WriteIni("Port: FOIP\nRecdUser: FAXIN\nTraceLog: ERR\n");
  world_.SetTessaly(TessalyMode::kAnswer);
  Controller c(&world_.clock);
  std::vector<std::string> args = kGroupArgs;
  args.push_back("1");  // log level 1
  ASSERT_EQ(c.InitialiseController(args), 0);
  c.device_log().BeginCallTrace(nullptr);
  c.device_log().EndCallTrace(false, nullptr);
  SetControllerLogSink(nullptr);  // the real console
  testing::internal::CaptureStdout();
  CtlLog(2, "detail after the call");
  const std::string console = testing::internal::GetCapturedStdout();
  EXPECT_THAT(console, HasSubstr("detail after the call"));
}

TEST_F(ControllerTest, LongLinesAreCut) {
  Controller c(&world_.clock);
  ASSERT_EQ(Start(c), 0);
  std::string long_name(200, 'x');
  CtlLog(3, "%s", long_name.c_str());
  const std::string& last = world_.log().back();
  EXPECT_EQ(last.size(), 2u + 150u);
  EXPECT_EQ(last.substr(last.size() - 3), "...");
}

// The real clock: a request reaches its handling well within 50 ms of its
// arrival, not at the next 3 s step.
TEST_F(ControllerTest, PacketToHandlingTimeOnTheRealClock) {
  world_.WriteIni("Port: 0\nRecdUser: FAXIN\n");  // demonstration mode: no tessaly needed
  SystemControllerClock clock;
  Controller c(&clock);
  std::vector<std::string> args = kGroupArgs;
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  std::thread program([&] { c.AppMain(static_cast<int>(argv.size()), argv.data()); });
  // Wait for the device start and the first IDLE report.
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  int seen = 0;
  while (seen < 2 && std::chrono::steady_clock::now() < until) {
    seen += static_cast<int>(world_.DrennicPackets().size());
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ASSERT_EQ(seen, 2);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the loop is in its pause
  double worst_ms = 0;
  for (int i = 0; i < 5; ++i) {
    const auto sent = std::chrono::steady_clock::now();
    ASSERT_EQ(world_.SendRequest("FOIP\\G1\\3", kvtest::SendRequestPacket(static_cast<std::uint16_t>(100 + i), 0)), 0);
    std::vector<Bytes> got;
    while (got.empty() && std::chrono::steady_clock::now() < sent + std::chrono::seconds(5)) {
      for (Bytes& b : world_.DrennicPackets())
        if (TypeOf(b) == RST_DRENNIC_JOB_RESULT) got.push_back(b);
      if (got.empty()) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    ASSERT_FALSE(got.empty());
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - sent).count();
    worst_ms = std::max(worst_ms, ms);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  std::printf("packet-to-handling time: worst of 5 = %.2f ms\n", worst_ms);
  EXPECT_LT(worst_ms, 50.0);
  Bytes closedown = kvtest::DeviceRequestPacket(RST_DEVICE_CLOSEDOWN, 0, 8);
  world_.SendRequest("FOIP\\G1\\3", closedown);
  program.join();
}

}  // namespace
