// The dispatcher's reading of the SIP gateway before a send: good addresses
// and ports replace the session's, malformed ones are logged and leave it as
// it was.
#include "host/dispatcher.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "common/program_log.h"
#include "common/server_settings.h"
#include "common/support/temp_folder.h"

namespace {

class GatewaySettings : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(area_.File("K-DB"));
    SystemParams& p = SystemParameters();
    p = SystemParams{};
    std::snprintf(p.ServerArea, sizeof p.ServerArea, "%s/", area_.path().c_str());
    std::snprintf(p.SystemArea, sizeof p.SystemArea, "%s/", area_.path().c_str());
    InitialiseLog(1);
  }
  void TearDown() override {
    SystemParameters() = SystemParams{};
    LogInit(nullptr, nullptr, 3, "TEST");
  }
  std::string Log() const { return kvtest::ReadFile(area_.File("K-DB/TESSALY.log")); }

  kvtest::TempFolder area_;
};

// The session's own gateway before the reread: 198.51.100.1:5060.
foip__session_param Configured() {
  foip__session_param p{};
  const u8 own[4] = {198, 51, 100, 1};
  p.sip_session_param.remote_sip_addr.ip_addr.ip_family = OM_IP_FAMILY_V4;
  std::memcpy(p.sip_session_param.remote_sip_addr.ip_addr.addr.v4.addr, own, 4);
  p.sip_session_param.remote_sip_addr.ip_port = 5060;
  return p;
}

std::string Address(const foip__session_param& p) {
  const u8* a = p.sip_session_param.remote_sip_addr.ip_addr.addr.v4.addr;
  return std::to_string(a[0]) + "." + std::to_string(a[1]) + "." + std::to_string(a[2]) + "." + std::to_string(a[3]);
}

TEST_F(GatewaySettings, WellFormedValuesReplaceTheSessionsAndMalformedOnesAreRefused) {
  struct Case {
    const char* address;
    const char* port;
    const char* want_address;
    u16 want_port;
    const char* error;  // the level-5 line, or null
  };
  const Case cases[] = {
      {"192.0.2.7", "5070", "192.0.2.7", 5070, nullptr},
      {"0.0.0.0", "65535", "0.0.0.0", 65535, nullptr},
      {"10.0.0.300", "5070", "198.51.100.1", 5070, "Invalid SIPGatewayAddress in SETUP.INI: 10.0.0.300"},
      {"10.0.0", "5070", "198.51.100.1", 5070, "Invalid SIPGatewayAddress in SETUP.INI: 10.0.0"},
      {"gw.example.com", "5070", "198.51.100.1", 5070, "Invalid SIPGatewayAddress in SETUP.INI: gw.example.com"},
      {"192.0.2.7x", "5070", "198.51.100.1", 5070, "Invalid SIPGatewayAddress in SETUP.INI: 192.0.2.7x"},
      {"192.0.2.7", "70000", "192.0.2.7", 5060, "Invalid SIPGatewayPort in SETUP.INI: 70000"},
      {"192.0.2.7", "0", "192.0.2.7", 5060, "Invalid SIPGatewayPort in SETUP.INI: 0"},
      {"192.0.2.7", "50x", "192.0.2.7", 5060, "Invalid SIPGatewayPort in SETUP.INI: 50x"},
      {"192.0.2.7", "-5", "192.0.2.7", 5060, "Invalid SIPGatewayPort in SETUP.INI: -5"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.address) + " " + c.port);
    kvtest::WriteFile(area_.File("K-DB/SETUP.INI"),
                      std::string("[TESSALY]\nSIPGatewayAddress: ") + c.address + "\nSIPGatewayPort: " + c.port + "\n");
    InitialiseLog(1);
    foip__session_param p = Configured();
    ReadGatewaySettings(p);
    EXPECT_EQ(Address(p), c.want_address);
    EXPECT_EQ(p.sip_session_param.remote_sip_addr.ip_addr.ip_family, OM_IP_FAMILY_V4);
    EXPECT_EQ(p.sip_session_param.remote_sip_addr.ip_port, c.want_port);
    const std::string log = Log();
    EXPECT_NE(log.find("Completed reading settings from setup.ini"), std::string::npos);
    if (c.error) EXPECT_NE(log.find(c.error), std::string::npos) << log;
    else EXPECT_EQ(log.find("Invalid"), std::string::npos) << log;
  }
}

TEST_F(GatewaySettings, MissingFileOrParagraphKeepsTheSessionsGateway) {
  std::remove(area_.File("K-DB/SETUP.INI").c_str());
  foip__session_param p = Configured();
  ReadGatewaySettings(p);
  EXPECT_EQ(Address(p), "198.51.100.1");
  kvtest::WriteFile(area_.File("K-DB/SETUP.INI"), "[OPTIONS]\nSIPGatewayAddress: 192.0.2.9\n");
  ReadGatewaySettings(p);
  EXPECT_EQ(Address(p), "198.51.100.1");
  EXPECT_EQ(p.sip_session_param.remote_sip_addr.ip_port, 5060);
  const std::string log = Log();
  EXPECT_NE(log.find("Unable to update configuration settings before send"), std::string::npos);
  EXPECT_NE(log.find("TESSALY paragraph not found in SETUP.INI"), std::string::npos);
}

}  // namespace
