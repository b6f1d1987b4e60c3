// Message trace decoder: golden lines for a table of messages, bounds of the
// line and of the data, and the service table's registration.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "runtime/dcod.h"
#include "runtime/sm.h"
#include "runtime/sock.h"
#include "runtime/support/rt_harness.h"

namespace {

struct line_case {
  const char* what;
  ent_id_t from, to;
  code_t code;
  std::vector<u8> data;
  bool chained;
  const char* expected;
};

std::string format(const dcod__msg_view& v, size_t size = 5000, u32 max = 1500) {
  std::vector<char> line(size, 'Z');
  line[0] = '\0';
  dcod__format_view(v, line.data(), size, max);
  return line.data();
}

dcod__msg_view view(ent_id_t from, ent_id_t to, code_t code, const std::vector<u8>& data, bool chained = false) {
  dcod__msg_view v;
  v.from = from;
  v.to = to;
  v.code = code;
  v.nai = 0x12;
  v.sapi = 3;
  v.conn_id = 0x1f;
  v.chained = chained;
  v.data = data.data();
  v.length = static_cast<u32>(data.size());
  return v;
}

// Vocabularies of the entities above the runtime, as they bring them along in
// their entity table rows: only the names these tests read.
constexpr dcod__name kFoipTimers[] = {{'l', "TI_LAUNCH_FAX"}, {'t', "TI_TRC"}, {DCOD__END, nullptr}};
constexpr dcod__name kAppTimers[] = {{'d', "TI_DELAYED_START"}, {DCOD__END, nullptr}};
constexpr dcod__name kSscNames[] = {{65, "SSC_INVITE_RQ"}, {242, "SSC_SESSION_CLOSED_IN"}, {DCOD__END, nullptr}};
constexpr dcod__vocabulary kFoip = {nullptr, nullptr, kFoipTimers};
constexpr dcod__vocabulary kApp = {nullptr, nullptr, kAppTimers};
constexpr dcod__vocabulary kSsc = {kSscNames, nullptr, nullptr};

void register_vocabularies() {
  dcod__register_vocabulary(ENT_FOIP, &kFoip);
  dcod__register_vocabulary(ENT_APP_FOIP, &kApp);
  dcod__register_vocabulary(ENT_SSC, &kSsc);
}

std::vector<u8> udp(const char* text, u8 family = SOCK_FAMILY_IPV4) {
  std::vector<u8> d(SOCK_UDP_HEADER_SIZE, 0);
  d[0] = family;
  d[4] = 192, d[5] = 168, d[6] = 1, d[7] = 20;
  d[8] = 0xC4, d[9] = 0x13;  // 5060
  d.insert(d.end(), text, text + std::strlen(text));
  return d;
}

TEST(Dcod, GoldenLines) {
  dcod__init();
  register_vocabularies();
  const std::string dots28(28, '.');
  const line_case cases[] = {
      {"confirm ok",
       ENT_SM,
       ENT_FOIP,
       SM_CONFIG_CO,
       {2, 0, ENT_IP},
       false,
       "SM -FOI|SM_CONFIG_CO   |  12: 3:  1f|3: Config IP OK"},
      {"confirm refused, printable cause",
       ENT_SM,
       ENT_FOIP,
       SM_CONFIG_CO,
       {3, 'x', ENT_SIP},
       false,
       "SM -FOI|SM_CONFIG_CO   |  12: 3:  1f|3: Config SIP NOK : cause 78h('x')"},
      {"confirm refused, other cause",
       ENT_SM,
       ENT_FOIP,
       SM_CONFIG_CO,
       {3, 1, ENT_SSC, 9},
       false,
       "SM -FOI|SM_CONFIG_CO   |  12: 3:  1f|4: Config SSC NOK : cause 01h 09"},
      {"confirm too short for the decoder",
       ENT_SM,
       ENT_FOIP,
       SM_CONFIG_CO,
       {2},
       false,
       "SM -FOI|SM_CONFIG_CO   |  12: 3:  1f|1: 02"},
      {"report",
       ENT_IP,
       ENT_SM,
       SM_REPORT_IN,
       {ENT_IP, 'e', 1, 2},
       true,
       "IP -SM |SM_REPORT_IN   |  12: 3:  1f#4: IP-Event : 01 02"},
      {"ids without a row", 0xF0, 0x90, 0x07, {}, false, "L0 -L0 |(0x07)         |  12: 3:  1f|0:"},
      {"printable unknown code",
       ENT_FOIP,
       ENT_APP_FOIP,
       'x',
       {1, 2, 0xab},
       false,
       "FOI-APP|'x'            |  12: 3:  1f|3: 01 02 ab"},
      {"timer expiry",
       ENT_TI,
       ENT_FOIP,
       'l',
       {5, 0, 0, 0},
       false,
       "TI -FOI|TI_LAUNCH_FAX  |  12: 3:  1f|4: Seq nb = 5 00 00"},
      {"timer of the application",
       ENT_TI,
       ENT_APP_FOIP,
       'd',
       {1, 1},
       false,
       "TI -APP|TI_DELAYED_STAR|  12: 3:  1f|2: Seq nb = 257"},
      {"SSC names, owner SSC", ENT_FOIP, ENT_SSC, 65, {}, false, "FOI-SSC|SSC_INVITE_RQ  |  12: 3:  1f|0:"},
      {"long name cut", ENT_SSC, ENT_FOIP, 242, {}, false, "SSC-FOI|SSC_SESSION_CLO|  12: 3:  1f|0:"},
      {"socket names from the other row",
       ENT_T38,
       ENT_IP,
       SOCK_DA_RQ,
       {0xde},
       true,
       "T38-IP |SOCK_DA_RQ     |  12: 3:  1f#1: de"},
      {"datagram with address, not SIP", ENT_FOIP, ENT_IP, SOCK_U_DA_RQ, udp("\x01"), false,
       "FOI-IP |SOCK_U_DA_RQ   |  12: 3:  1f|29: 192.168.1.20:5060 01"},
      {"SIP datagram as text, control characters as dots", ENT_SIP, ENT_IP, SOCK_U_DA_RQ, udp("OPTIONS\r\n\x1b[2J"),
       false, nullptr},
      {"receive side to SIP", ENT_PH_IT, ENT_SIP, SOCK_U_DA_IN, udp("SIP/2.0 200 OK"), false, nullptr},
      {"receive side to FOIP", ENT_PH_IT, ENT_FOIP, 't', {}, false, "IT -FOI|SOCK_DNS_CO    |  12: 3:  1f|0:"},
      {"receive side to T.38", ENT_PH_IT, ENT_T38, SOCK_U_DA_IN, {}, false, "IT -T38|SOCK_U_DA_IN   |  12: 3:  1f|0:"},
      {"receive side, state word",
       ENT_PH_IT,
       ENT_IP,
       'f',
       {3, 0, 7, 0},
       false,
       "IT -IP |'f'            |  12: 3:  1f|4: code 3  state F7"},
  };
  for (const line_case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string got = format(view(c.from, c.to, c.code, c.data, c.chained));
    if (c.expected) {
      EXPECT_EQ(got, c.expected);
    } else {
      // Text forms: the whole datagram as text, no control character left.
      EXPECT_EQ(got.find('\x1b'), std::string::npos);
      EXPECT_EQ(got.find('\r'), std::string::npos);
      EXPECT_EQ(got.find('\n'), std::string::npos);
      EXPECT_NE(got.find(dots28), std::string::npos);
      EXPECT_TRUE(got.find("OPTIONS...[2J") != std::string::npos || got.find("SIP/2.0 200 OK") != std::string::npos)
          << got;
    }
  }
}

TEST(Dcod, CommaFormAndByteOrder) {
  dcod__init();
  register_vocabularies();
  dcod__set_pipe_form(false);
  dcod__set_byte_order(false);
  std::vector<u8> d = {0, 5};
  EXPECT_EQ(format(view(ENT_TI, ENT_FOIP, 't', d, true)), "TI ,FOI,TI_TRC         ,  12, 3,  1f,B,2: Seq nb = 5");
  dcod__init();  // back to the defaults
  EXPECT_EQ(format(view(ENT_TI, ENT_FOIP, 't', d)), "TI -FOI|TI_TRC         |  12: 3:  1f|2: Seq nb = 1280");
}

TEST(Dcod, BoundsOfLineAndData) {
  dcod__init();
  std::vector<u8> d(1600);
  for (size_t i = 0; i < d.size(); ++i) d[i] = static_cast<u8>(i);
  // The hex dump stops at max_bytes.
  EXPECT_EQ(format(view(ENT_FOIP, ENT_APP_FOIP, 'x', d), 5000, 2), "FOI-APP|'x'            |  12: 3:  1f|1600: 00 01");
  // A short line keeps its text, is cut and stays terminated.
  std::vector<char> line(40, 'Z');
  std::strcpy(line.data(), "head ");
  dcod__format_view(view(ENT_FOIP, ENT_APP_FOIP, 'x', d), line.data(), line.size(), 1500);
  EXPECT_EQ(std::string(line.data()), std::string("head FOI-APP|'x'            |  12: 3:  1f").substr(0, 39));
  // A line already full gets nothing; size 0 and 1 are safe.
  dcod__format_view(view(ENT_FOIP, ENT_APP_FOIP, 'x', d), line.data(), 1, 1500);
  EXPECT_EQ(line[0], '\0');
  dcod__format_view(view(ENT_FOIP, ENT_APP_FOIP, 'x', d), line.data(), 0, 1500);
  // A length without data counts as no data.
  dcod__msg_view no_data = view(ENT_SM, ENT_FOIP, SM_CONFIG_CO, d);
  no_data.data = nullptr;
  EXPECT_EQ(format(no_data), "SM -FOI|SM_CONFIG_CO   |  12: 3:  1f|0:");
  // Every length from 0 to the buffer room through every row pair: no read
  // past the data (ASan) and a terminated line.
  const ent_id_t ids[] = {0, ENT_SM, ENT_PH_IT, ENT_IP, ENT_SIP, ENT_SSC, ENT_FOIP, ENT_TI, ENT_T38, 0xFF};
  for (u32 n = 0; n <= 1600; n += (n < 40 ? 1 : 97)) {
    std::vector<u8> exact(d.begin(), d.begin() + n);
    for (ent_id_t a : ids)
      for (ent_id_t b : ids)
        for (code_t c : std::vector<code_t>{SM_CONFIG_CO, SM_REPORT_IN, 'o', SOCK_U_DA_IN, SOCK_U_DA_RQ, 'f', 't'}) {
          dcod__msg_view v = view(a, b, c, exact);
          char small[96];
          small[0] = '\0';
          dcod__format_view(v, small, sizeof small, 1500);
          ASSERT_LT(std::strlen(small), sizeof small);
        }
  }
}

TEST(Dcod, AnEntityVocabularyNamesItsMessagesUntilTakenBack) {
  dcod__init();
  const std::vector<u8> seq = {5, 0};
  const dcod__msg_view invite = view(ENT_FOIP, ENT_SSC, 65, {});
  const dcod__msg_view timer = view(ENT_TI, ENT_FOIP, 'l', seq);
  dcod__register_vocabulary(ENT_SSC, nullptr);
  dcod__register_vocabulary(ENT_FOIP, nullptr);
  EXPECT_EQ(format(invite), "FOI-SSC|'A'            |  12: 3:  1f|0:");
  EXPECT_EQ(format(timer), "TI -FOI|'l'            |  12: 3:  1f|2: Seq nb = 5");
  register_vocabularies();
  EXPECT_EQ(format(invite), "FOI-SSC|SSC_INVITE_RQ  |  12: 3:  1f|0:");
  EXPECT_EQ(format(timer), "TI -FOI|TI_LAUNCH_FAX  |  12: 3:  1f|2: Seq nb = 5");
  // A vocabulary without primitive names leaves the names of the other
  // entity of the interface in place.
  EXPECT_EQ(format(view(ENT_FOIP, ENT_IP, SOCK_U_DA_RQ, udp("\x01"))),
            "FOI-IP |SOCK_U_DA_RQ   |  12: 3:  1f|29: 192.168.1.20:5060 01");
  // Registered with the entity: a row that carries names brings them.
  static const entity_table_row_t table[] = {{ENT_SSC, rt_test::record_handler, 0, 0, nullptr, 0, &kSsc},
                                             {ENT_NIL, nullptr, 0, 0, nullptr, 0}};
  dcod__register_vocabulary(ENT_SSC, nullptr);
  rt_test::start_manual(table);
  EXPECT_EQ(format(invite), "FOI-SSC|SSC_INVITE_RQ  |  12: 3:  1f|0:");
  rt_test::stop();
}

TEST(Dcod, ServiceNames) {
  dcod__init();
  EXPECT_STREQ(dcod__entity_name(ENT_SM), "SM");
  EXPECT_STREQ(dcod__entity_name(ENT_FOIP), "FOI");
  EXPECT_STREQ(dcod__entity_name(ENT_APP_FOIP), "APP");
  EXPECT_STREQ(dcod__entity_name('['), "CCE");
  EXPECT_STREQ(dcod__entity_name(2), "ML1");
  EXPECT_STREQ(dcod__entity_name('\''), "MGC");
  EXPECT_STREQ(dcod__entity_name(0xF0), "L0");
  EXPECT_STREQ(dcod__entity_name(0), "L0");
  EXPECT_STREQ(dcod__lookup(nullptr, 1), "?");
  // 101 rows behind "L0".
  size_t rows = 0;
  for (const dcod__service* s = &dcod__services[1]; s->entity != 0; ++s) ++rows;
  EXPECT_EQ(rows, 101u);
}

TEST(Dcod, RuntimeMessages) {
  static const entity_table_row_t table[] = {{ENT_FOIP, rt_test::record_handler, 0, 0, nullptr, 1},
                                             {ENT_NIL, nullptr, 0, 0, nullptr, 0}};
  rt_test::start_manual(table);
  dcod__init();
  msg_t* inl = rt_test::make_msg(ENT_SM, ENT_FOIP, SM_RST_CFG_CO, {2, 0, ENT_SSC}, 4, 9);
  std::vector<u8> big(300, 0x41);
  msg_t* chained = rt_test::make_msg(ENT_FOIP, ENT_APP_FOIP, 'x', big, 4, 9);
  ASSERT_TRUE(inl && chained);
  char line[200] = "";
  dcod__format_msg(inl, line, sizeof line, 16);
  EXPECT_STREQ(line, "SM -FOI|SM_RST_CFG_CO  |   4: 0:   9|3: 02 00 83");
  line[0] = '\0';
  dcod__format_msg(chained, line, sizeof line, 2);
  EXPECT_STREQ(line, "FOI-APP|'x'            |   4: 0:   9#300: 41 41");
  Free_msg(inl);
  Free_msg(chained);
  rt_test::stop();
}

}  // namespace
