// Incoming-call routing and receive filing: relay digits and rules, DID
// rules with ROUTING.INI (the directory answers "not found"), the receive
// control file, cleaned call fields, formats and routes, the partial
// receive status and the kept name of a partial receive.
#include "controller/receive_routing.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "controller/device_states.h"

namespace {

namespace fs = std::filesystem;

class RoutingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("marrock_routing_" + std::to_string(::getpid()) + "_" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    ini_ = (dir_ / "ROUTING.INI").string();
    std::ofstream(ini_) << "[OTHER]\n55:NOPE\n[SUBADDR]\n12:ALICE\n34:@relay\n56:BOB\n";
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
  std::string ini_;
};

TEST(RelayDigitsTest, SplitsNumberAndDid) {
  struct Case {
    const char* digits;
    const char* id;
    int result;
    const char* number;
    const char* did;
  } cases[] = {
      {"*12*456", "*", 1, "456", "12"},
      {"*456", "*", 1, "456", ""},
      {"*", "*", 0, "", ""},
      {"456", "*", 0, "", ""},
      {"##7##89", "##", 1, "89", "7"},
      {"*1\r\n2*4\x01"
       "56",
       "*", 1, "456", "12"},                                                       // control characters dropped
      {"*123456789012345678901234567890*9", "*", 1, "9", "12345678901234567890"},  // DID cut to 20
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.digits);
    std::string number, did;
    EXPECT_EQ(GetRelayInfoFromDTMF(c.digits, c.id, &number, &did), c.result);
    if (c.result) {
      EXPECT_EQ(number, c.number);
      EXPECT_EQ(did, c.did);
    }
  }
  std::string number, did;
  EXPECT_EQ(GetRelayInfoFromDTMF("*" + std::string(100, '5'), "*", &number, &did), 1);
  EXPECT_EQ(number.size(), 59u);  // digits cut to 60 first, then the identifier removed
  EXPECT_EQ(GetRelayInfoFromDTMF("*1", "", &number, &did), 0);
}

TEST_F(RoutingTest, DidRulesAndRelayRules) {
  UserDirectory none;  // the Linux directory finds nobody
  CallRouter r(ini_, &none);
  std::string user;
  EXPECT_EQ(r.UserFromDid("12", &user), 1);
  EXPECT_EQ(user, "ALICE");
  EXPECT_EQ(r.UserFromDid("34", &user), 0);  // '@' names no relay user
  EXPECT_EQ(r.UserFromDid("55", &user), 0);  // other paragraph
  EXPECT_EQ(r.UserFromDid("", &user), 0);
  EXPECT_EQ(r.IsKnownDid(""), 1);
  EXPECT_EQ(r.IsKnownDid("56"), 1);
  EXPECT_EQ(r.IsKnownDid("99"), 0);
  EXPECT_EQ(r.IsKnownDid("1\r\n2"), 1);  // cleaned first
  CallRouter missing((dir_ / "NONE.INI").string(), nullptr);
  EXPECT_EQ(missing.IsKnownDid("99"), 1);  // unreadable rules refuse nobody
  EXPECT_EQ(missing.UserFromDid("12", &user), 0);

  struct Case {
    const char* digits;
    bool enabled, anonymous, reject_unmatched;
    const char* default_user;
    int result;
    bool reject;
    const char* user;
    const char* dest;
  } cases[] = {
      {"*12*456", true, false, true, "", 1, false, "ALICE", "456"},
      {"*456", true, false, true, "DEF", 1, true, "", ""},
      {"*456", true, true, true, "DEF", 1, false, "DEF", "456"},
      {"*99*456", true, true, true, "DEF", 1, true, "", ""},
      {"*99*456", true, true, false, "DEF", 1, false, "DEF", "456"},
      {"*99*456", true, true, false, "", 1, true, "", ""},
      {"*34*456", true, false, true, "", 1, true, "", ""},
      {"456", true, true, false, "DEF", 0, false, "", ""},
      {"*12*456", false, true, false, "DEF", 0, false, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.digits);
    RelaySettings relay;
    relay.enabled = c.enabled;
    relay.anonymous_send = c.anonymous;
    relay.reject_unmatched = c.reject_unmatched;
    relay.default_user = c.default_user;
    bool reject = false;
    std::string ru, rd;
    EXPECT_EQ(r.ProcessRelayCall(relay, c.digits, "10.0.0.1", &reject, &ru, &rd), c.result);
    EXPECT_EQ(reject, c.reject);
    if (c.result && !c.reject) {
      EXPECT_EQ(ru, c.user);
      EXPECT_EQ(rd, c.dest);
    }
  }
}

TEST(DirectoryFilterTest, DidIsEscaped) {
  EXPECT_EQ(DirectoryFilterForDid("12"), "(&(halvornConnectorUserDID=12)(halvornConnectorUserReceiveDID=TRUE))");
  EXPECT_EQ(DirectoryFilterForDid("*)(cn=*"),
            "(&(halvornConnectorUserDID=\\2a\\29\\28cn=\\2a)(halvornConnectorUserReceiveDID=TRUE))");
  EXPECT_EQ(DirectoryFilterForDid("a\\b"), "(&(halvornConnectorUserDID=a\\5cb)(halvornConnectorUserReceiveDID=TRUE))");
}

TEST(CallFieldsTest, CleaningUsersFormatsAndStatus) {
  EXPECT_EQ(CleanCallField("AB\r\nC\tD\x7f"
                           "E",
                           20),
            "ABCDE");
  EXPECT_EQ(CleanCallField(std::string(30, 'x'), 20), std::string(20, 'x'));
  for (const char* ok : {"ALICE", "A", "BOB_2", "12345678"}) EXPECT_TRUE(IsPlainUserName(ok)) << ok;
  for (const char* bad : {"", ".", "..", "../ETC", "A\\B", "A/B", "C:", "A*", "123456789", "A\r\n"})
    EXPECT_FALSE(IsPlainUserName(bad)) << bad;
  struct Case {
    std::uint16_t y_res;
    int format, route;
    const char* ext;
  } cases[] = {{98, 5, 2, "G3N"},  {100, 5, 2, "G3N"}, {196, 6, 3, "G3F"},
               {200, 6, 3, "G3F"}, {392, 7, 4, "G3S"}, {400, 7, 4, "G3S"}};
  for (const Case& c : cases) {
    EXPECT_EQ(ReceiveFormat(c.y_res), c.format) << c.y_res;
    EXPECT_EQ(ReceiveRoute(c.format), c.route);
    EXPECT_STREQ(FormatExtension(c.format), c.ext);
  }
  EXPECT_STREQ(FormatName(7), "TIFF-SUPERFINE");
  EXPECT_STREQ(FormatExtension(42), "???");
  EXPECT_EQ(ReceiveJobStatus(true), 0xF016);
  EXPECT_EQ(ReceiveJobStatus(false), 0);
}

TEST_F(RoutingTest, ReceiveControlFileLines) {
  const std::string area = dir_.string() + "/";
  fs::create_directories(dir_ / "ALICE" / "K-IN");
  ReceiveCallInfo call;
  call.csid = "  ACME:23\r\nType: SEND";
  call.cli = "0123\n4";
  call.did = "12";
  call.subaddr = "7";
  call.year = 2010, call.month = 3, call.day = 5, call.hour = 14, call.minute = 7, call.second = 9;
  std::string ctl, msg;
  ASSERT_EQ(WriteReceiveControlFile(area, "ALICE", 4, 7, call, ":", &ctl, &msg), 0);
  EXPECT_EQ(ctl.substr(0, 5), "~RECD");
  EXPECT_EQ(msg, ctl.substr(0, ctl.size() - 3) + "G3S");
  EXPECT_TRUE(fs::exists(dir_ / "ALICE" / "K-IN" / msg));
  std::ifstream in(dir_ / "ALICE" / "K-IN" / ctl, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  const std::string text = ss.str();
  const std::string want =
      "[KORVANE]\r\nType: ReceiveControl\r\nRevision: A\r\n\r\n[DOCUMENT]\r\nFile: " + msg +
      "\r\nComment: From: ACME\r\n[MESSAGE]\r\nAssocFile:\r\nFormat: TIFF-SUPERFINE\r\n"
      "Accepted: 10-03-05 14:07:09\r\nType: RECEIVE\r\nStatus: Re\r\nUserStatus: Wa\r\nFrom: FAX-SFINE 'ACME'\r\n"
      "MsgType: FAX\r\nActionFlag: N\r\n\r\n[ROUTING]\r\nDTMF: 12\r\nExtCSID: 23Type: SEND\r\nSubAddr: 7\r\n"
      "FullCSID: ACME\r\nCLI: 01234\r\nRelayUser: \r\nRelayDest: \r\n";
  EXPECT_EQ(text, want);

  // Not a plain folder name: refused, nothing written outside.
  EXPECT_EQ(WriteReceiveControlFile(area, "..\\..", 3, 6, call, ":", &ctl, &msg), PERC_FILE_ERROR);
  EXPECT_EQ(WriteReceiveControlFile(area, "NOBODY", 3, 6, call, ":", &ctl, &msg), PERC_FILE_ERROR);
}

TEST_F(RoutingTest, PartialReceiveBackupNeverOverwrites) {
  const std::string path = (dir_ / "ct101.TIF").string();
  // 1:23 and 12:03 give different names.
  EXPECT_NE(PartialReceiveBackupName(path, 5, 3, 2010, 1, 23), PartialReceiveBackupName(path, 5, 3, 2010, 12, 3));
  const std::string first = PartialReceiveBackupName(path, 5, 3, 2010, 1, 23);
  EXPECT_EQ(first, path + "_5.3.2010.1.23.TIF");
  std::ofstream(first) << "kept";
  const std::string second = PartialReceiveBackupName(path, 5, 3, 2010, 1, 23);
  EXPECT_NE(second, first);
  EXPECT_FALSE(fs::exists(second));
}

}  // namespace

namespace {

TEST_F(RoutingTest, MailNamesFromMaillist) {
  const std::string path = (dir_ / "MAILLIST.INI").string();
  std::ofstream(path) << "[USER]\nEmailname: alice@example.org\nKorvname: alice\nProfile: 0\nEMailKorvname: nope\n"
                         "[USER]\nEmailname: Bob@Example.org\nKorvname: bob\nEMailKorvname: bobmail\n"
                         "[USER]\nEmailname: carol@example.org\nKorvname:\n"
                         "[USER]\nEmailname: carol@example.org\nKorvname: carol2\nProfile: 1\n";
  struct Case {
    const char* name;
    int found;
    const char* user;
  } cases[] = {
      {"ALICE@example.org", 1, "ALICE"},   // profile 0 keeps Korvname
      {"bob@example.org", 1, "BOBMAIL"},   // no profile: EMailKorvname replaces it
      {"carol@example.org", 1, "CAROL2"},  // an empty user goes on to the next paragraph
      {"dave@example.org", 0, ""},
  };
  for (const Case& c : cases) {
    std::string user;
    EXPECT_EQ(SearchEmailnameMail(path, c.name, &user), c.found) << c.name;
    EXPECT_EQ(user, c.user) << c.name;
  }
  std::string user;
  EXPECT_EQ(SearchEmailnameMail((dir_ / "MISSING.INI").string(), "alice@example.org", &user), 0);
}

}  // namespace
