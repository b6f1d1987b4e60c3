// Keyword engine: reading file fragments into the glb.cfg and sessionx.cfg
// tables, read and write by id, display.
#include "session/config/ini_tools.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "session/config/app_foip_glb_cfg.h"
#include "session/config/app_foip_session_cfg.h"
#include "session/config/support/cfg_test_support.h"

namespace {

using cfg_test::read_text;
using cfg_test::value_of;

struct read_case {
  const char* what;
  std::string text;
  uint8_t result;
  std::string error;  // the one error message expected, "" for none
  uint16_t id;        // value checked afterwards (0: none)
  uint16_t element;
  std::string value;  // "state:value" as value_of shows it
};

void run_cases(const std::vector<read_case>& cases, const ini_tools__section* sections,
               const ini_tools__keyword* keywords, ini_tools__table (*make)()) {
  for (const read_case& c : cases) {
    SCOPED_TRACE(c.what);
    ini_tools__table table = make();
    cfg_test::read_outcome out = read_text(c.text, sections, keywords, table.values());
    EXPECT_EQ(out.result, c.result);
    if (c.error.empty()) {
      EXPECT_TRUE(out.errors.empty()) << out.errors.front();
    } else {
      ASSERT_EQ(out.errors.size(), 1u);
      EXPECT_EQ(out.errors[0], c.error);
    }
    if (c.id != 0) {
      EXPECT_EQ(value_of(table.values(), c.id, c.element), c.value);
    }
  }
}

constexpr uint16_t NE = INI_TOOLS__NO_ELEMENT;

TEST(IniToolsRead, GlobalFileFragments) {
  using namespace glb_cfg;
  const std::string s65(65, 's');
  const std::string s64(64, 's');
  const std::vector<read_case> cases = {
      // Section headers.
      {"header in lower case", "[sip]\nlocal SIP port = 5070\n", 6, "", local_sip_port, NE, "3:5070"},
      {"header with blanks", "[ SIP ]\nlocal SIP port=5070\n", 6, "", local_sip_port, NE, "3:5070"},
      {"text after the brackets is ignored", "[SIP] trailing\nlocal SIP port = 5070\n", 6, "", local_sip_port, NE,
       "3:5070"},
      {"header without closing bracket", "[SIP\nlocal SIP port = 5070\n", 3, "Unknown keyword: [SIP", local_sip_port,
       NE, "2:5060"},
      {"array section with single brackets", "[Session configurations]\n", 3,
       "Unknown keyword: [Session configurations]", 0, NE, ""},
      {"plain section with double brackets", "[[General]]\n", 3, "Unknown keyword: [[General]]", 0, NE, ""},
      {"keyword before any section", "display progress bar = yes\n", 3, "Unknown keyword: display progress bar = yes",
       display_progress_bar, NE, "2:0"},
      {"keyword of another section", "[SIP]\ndisplay progress bar = yes\n", 3,
       "Unknown keyword: display progress bar = yes", 0, NE, ""},
      {"same name in two sections", "[Batch processing]\nnb simultaneous start = 7\n", 6, "",
       batch_nb_simultaneous_start, NE, "3:7"},
      {"same name leaves the other section", "[Batch processing]\nnb simultaneous start = 7\n", 6, "",
       nb_simultaneous_start, NE, "2:10"},
      // Names.
      {"keyword name in any case with blanks", "[General]\n   DISPLAY Progress BAR   =   yes  \n", 6, "",
       display_progress_bar, NE, "3:1"},
      {"C-path name", "[General]\nglb_common_param.nb_simultaneous_start_stop = 100\n", 6, "", nb_simultaneous_start,
       NE, "3:100"},
      {"second verbose name", "[SIP]\nlocal SIP IP port = 5080\n", 6, "", local_sip_port, NE, "3:5080"},
      // bool.
      {"bool alone sets TRUE", "[General]\ndisplay progress bar\n", 6, "", display_progress_bar, NE, "3:1"},
      {"bool on", "[General]\ndisplay progress bar = on\n", 6, "", display_progress_bar, NE, "3:1"},
      {"bool No", "[General]\noverwrite rcv fax pages = No\n", 6, "", overwrite_rcv_fax_pages, NE, "3:0"},
      {"bool 2 is refused", "[General]\ndisplay progress bar = 2\n", 4, "Bad parameter: display progress bar = 2",
       display_progress_bar, NE, "2:0"},
      {"bool empty is refused", "[General]\ndisplay progress bar =\n", 4,
       "Bad parameter: display progress bar =", display_progress_bar, NE, "2:0"},
      {"num without equals sign", "[General]\nnb simultaneous start\n", 4, "Bad parameter: nb simultaneous start", 0,
       NE, ""},
      // file: Linux paths keep their case, slashes and inner blanks.
      {"file keeps case and slashes", "[General]\npath of trace files = C:/Trace/Run1\n", 6, "", path_of_trace_files,
       NE, "3:\"C:/Trace/Run1\""},
      {"file keeps inner blanks", "[General]\npath of trace files = /var/Log/My Traces/  \n", 6, "",
       path_of_trace_files, NE, "3:\"/var/Log/My Traces/\""},
      {"file keeps backslashes as written", "[General]\npath of session files = sessions\\One\n", 6, "",
       path_of_session_files, NE, "3:\"sessions\\One\""},
      {"file empty", "[General]\npath of trace files =\n", 6, "", path_of_trace_files, NE, "4:<none>"},
      // string.
      {"string quoted", "[SIP]\nlocal SIP domain name = \"sip.example.org\" junk\n", 6, "", local_sip_domain_name, NE,
       "3:\"sip.example.org\""},
      {"string of two quotes", "[SIP]\nlocal SIP domain name = \"\"\n", 6, "", local_sip_domain_name, NE, "3:<none>"},
      {"string empty", "[SIP]\nlocal SIP domain name =\n", 6, "", local_sip_domain_name, NE, "4:<none>"},
      {"string at its limit", "[SIP]\nlocal SIP domain name = \"" + s64 + "\"\n", 6, "", local_sip_domain_name, NE,
       "3:\"" + s64 + "\""},
      {"string over its limit", "[SIP]\nlocal SIP domain name = \"" + s65 + "\"\n", 4,
       "Bad parameter: local SIP domain name = \"" + s65 + "\"", local_sip_domain_name, NE, "2:<none>"},
      {"string without closing quote", "[SIP]\nlocal SIP domain name = \"abc\n", 4,
       "Bad parameter: local SIP domain name = \"abc", 0, NE, ""},
      {"string without quotes", "[SIP]\nlocal SIP domain name = abc\n", 4, "Bad parameter: local SIP domain name = abc",
       0, NE, ""},
      {"semicolon inside quotes starts a comment", "[SIP]\nlocal SIP domain name = \"a;b\"\n", 4,
       "Bad parameter: local SIP domain name = \"a", 0, NE, ""},
      // num.
      {"num with trailing text", "[General]\nnb simultaneous start = 12abc\n", 6, "", nb_simultaneous_start, NE,
       "3:12"},
      {"num without digits is 0 when 0 is in range", "[Debug Fields]\ndebug field 1 = abc\n", 6, "", debug_field_1, NE,
       "3:0"},
      {"num without digits out of range", "[General]\nnb simultaneous start = abc\n", 4,
       "Bad parameter: nb simultaneous start = abc", nb_simultaneous_start, NE, "2:10"},
      {"num above max", "[SIP]\nlocal SIP port = 65536\n", 4, "Bad parameter: local SIP port = 65536", local_sip_port,
       NE, "2:5060"},
      {"num below min", "[Batch processing]\nsession delay = -1\n", 4, "Bad parameter: session delay = -1", 0, NE, ""},
      {"num with plus sign", "[Batch processing]\nsession delay = +200\n", 6, "", session_delay, NE, "3:200"},
      {"num far beyond 32 bits is refused", "[Debug Fields]\ndebug field 2 = 99999999999999999999\n", 4,
       "Bad parameter: debug field 2 = 99999999999999999999", debug_field_2, NE, "2:0"},
      {"num at the signed 32-bit max", "[Debug Fields]\ndebug field 2 = 2147483647\n", 6, "", debug_field_2, NE,
       "3:2147483647"},
      {"num just past the signed 32-bit max", "[Debug Fields]\ndebug field 2 = 2147483648\n", 4,
       "Bad parameter: debug field 2 = 2147483648", 0, NE, ""},
      {"num empty", "[SIP]\nlocal SIP port =\n", 4, "Bad parameter: local SIP port =", 0, NE, ""},
      // ip_add.
      {"ip dotted", "[SIP]\nlocal SIP IP address = 192.168.1.10\n", 6, "", local_sip_ip_address, NE, "3:192.168.1.10"},
      {"ip of three parts", "[SIP]\nlocal SIP IP address = 10.1.258\n", 6, "", local_sip_ip_address, NE, "3:10.1.1.2"},
      {"ip hexadecimal and octal", "[SIP]\nlocal SIP IP address = 0x7f.010.0.1\n", 6, "", local_sip_ip_address, NE,
       "3:127.8.0.1"},
      {"ip broadcast is refused", "[SIP]\nlocal SIP IP address = 255.255.255.255\n", 4,
       "Bad parameter: local SIP IP address = 255.255.255.255", local_sip_ip_address, NE, "2:<none>"},
      {"ip octet of 300", "[SIP]\nlocal SIP IP address = 300.1.1.1\n", 4,
       "Bad parameter: local SIP IP address = 300.1.1.1", 0, NE, ""},
      {"ip of five parts", "[SIP]\nlocal SIP IP address = 1.2.3.4.5\n", 4,
       "Bad parameter: local SIP IP address = 1.2.3.4.5", 0, NE, ""},
      {"ip empty part", "[SIP]\nlocal SIP IP address = 1..3.4\n", 4, "Bad parameter: local SIP IP address = 1..3.4", 0,
       NE, ""},
      {"ip name", "[SIP]\nlocal SIP IP address = gateway\n", 4, "Bad parameter: local SIP IP address = gateway", 0, NE,
       ""},
      {"ip empty stores no address", "[SIP]\nlocal SIP IP address =\n", 6, "", local_sip_ip_address, NE, "3:<none>"},
      // bfi.
      {"bfi ored names with alias", "[Traces / Reports]\ndisplay event = CNF | fax_evt|USER_4\n", 6, "", display_event,
       NE, "3:8209"},
      {"bfi empty", "[Traces / Reports]\nlog options =\n", 6, "", log_options, NE, "3:0"},
      {"bfi unknown name", "[Traces / Reports]\nlog options = SEND_MSG | BOGUS\n", 4,
       "Bad parameter: log options = SEND_MSG | BOGUS", log_options, NE, "2:768"},
      {"bfi empty piece", "[Traces / Reports]\nlog options = SEND_MSG || TIMER\n", 4,
       "Bad parameter: log options = SEND_MSG || TIMER", 0, NE, ""},
      // str_id.
      {"str_id alias", "[SIP]\nSIP operating mode = send RE-INVITE\n", 6, "", sip_operating_mode, NE, "3:2"},
      {"str_id empty", "[SIP]\nSIP operating mode =\n", 4, "Bad parameter: SIP operating mode =", 0, NE, ""},
      {"str_id unknown", "[SIP]\nSIP operating mode = sometimes\n", 4, "Bad parameter: SIP operating mode = sometimes",
       0, NE, ""},
      // Comments and line ends.
      {"comment after value", "[General] ; the general part\ndisplay progress bar = yes ; shown\n", 6, "",
       display_progress_bar, NE, "3:1"},
      {"CR LF line ends", "[General]\r\ndisplay progress bar = yes\r\n", 6, "", display_progress_bar, NE, "3:1"},
      {"last line without newline", "[General]\ndisplay progress bar = yes", 6, "", display_progress_bar, NE, "3:1"},
      {"end-of-file mark ends the reading",
       "[General]\ndisplay progress bar = yes\x1A"
       "garbage that is never read\n",
       6, "", display_progress_bar, NE, "3:1"},
      {"end-of-file mark inside a line",
       "[General]\nnb simultaneous start = 42\x1A"
       "7\nbogus\n",
       6, "", nb_simultaneous_start, NE, "3:42"},
      {"empty file", "", 6, "", nb_simultaneous_start, NE, "2:10"},
      // Ignored keywords are accepted without any check.
      {"ignored keyword", "[Inter Process Communication]\nLocal inter process communication port = 99999\n", 6, "", 0,
       NE, ""},
      // Values before an error stay.
      {"first error ends the reading", "[General]\nnb simultaneous start = 5\nbogus\nsession delay = 1\n", 3,
       "Unknown keyword: bogus", nb_simultaneous_start, NE, "3:5"},
  };
  run_cases(cases, app_foip_ini__glb_sections, app_foip_ini__glb_keywords, app_foip_ini__new_glb_table);
}

TEST(IniToolsRead, GlobalArraySections) {
  using namespace glb_cfg;
  std::string sixty_two;
  for (int i = 0; i < 62; ++i) sixty_two += "{\nsession file name = s" + std::to_string(i) + ".cfg\n}\n";
  std::string twenty;
  for (int i = 0; i < 20; ++i) twenty += "{\nentity from = ENT_IP\n}\n";
  const std::vector<read_case> cases = {
      {"one element", "[[Session configurations]]\n{\nsession file name = /etc/tessaly/Session1.cfg\n}\n", 6, "",
       session_file_name, 0, "3:\"/etc/tessaly/Session1.cfg\""},
      {"aliases of the element keyword",
       "[[Session configurations]]\n{\nfname session = a\n}\n{\nfile name session = b\n}\n", 6, "", session_file_name,
       1, "3:\"b\""},
      {"element not filled is beyond the count", "[[Session configurations]]\n{\nfname session = a\n}\n", 6, "",
       session_file_name, 1, "error 30"},
      {"empty braces", "[[Session configurations]]\n{\n}\n", 5, "Empty array: }", 0, NE, ""},
      {"keyword before the first brace", "[[Session configurations]]\nsession file name = a\n", 5,
       "Wrong array: session file name = a", 0, NE, ""},
      {"closing brace without opening", "[[Session configurations]]\n}\n", 5, "Wrong array: }", 0, NE, ""},
      {"opening brace inside an element", "[[Session configurations]]\n{\n{\n", 3, "Unknown keyword: {", 0, NE, ""},
      {"plain section while an element is open",
       "[[Session configurations]]\n{\nsession file name = a\n[General]\ndisplay progress bar\n", 5,
       "Array not closed: display progress bar", 0, NE, ""},
      {"array section while an element is open",
       "[[Session configurations]]\n{\nsession file name = a\n[[Message Audit Filtering]]\n", 5,
       "Array not closed: [[Message Audit Filtering]]", 0, NE, ""},
      {"file ends inside an open element", "[[Session configurations]]\n{\nsession file name = last.cfg\n", 6, "",
       session_file_name, 0, "3:\"last.cfg\""},
      {"62 elements", "[[Session configurations]]\n" + sixty_two, 6, "", session_file_name, 61, "3:\"s61.cfg\""},
      {"63rd element", "[[Session configurations]]\n" + sixty_two + "{\nsession file name = s62.cfg\n}\n", 5,
       "Too much array into one Array section: {", session_file_name, 61, "3:\"s61.cfg\""},
      {"21st filter", "[[Message Audit Filtering]]\n" + twenty + "{\nentity from = ENT_SM\n}\n", 5,
       "Too much array into one Array section: {", filter_entity_from, 19, "3:73"},
      {"entity name stores its identifier", "[[Message Audit Filtering]]\n{\nentity from = ENT_IP\n}\n", 6, "",
       filter_entity_from, 0, "3:73"},
      {"element keeps defaults it does not set", "[[Message Audit Filtering]]\n{\nentity from = ENT_IP\n}\n", 6, "",
       filter_ascii_primitive_code, 0, "2:\" \""},
      {"char quoted", "[[Message Audit Filtering]]\n{\nprimitive code = 'A'\n}\n", 6, "", filter_primitive_code, 0,
       "3:65"},
      {"char one hex digit", "[[Message Audit Filtering]]\n{\nprimitive code = 0x7\n}\n", 6, "", filter_primitive_code,
       0, "3:7"},
      {"char two hex digits, upper X", "[[Message Audit Filtering]]\n{\nmsg code = 0X4f9\n}\n", 6, "",
       filter_primitive_code, 0, "3:79"},
      {"char hex after other text", "[[Message Audit Filtering]]\n{\nmsg code = code 0x41\n}\n", 6, "",
       filter_primitive_code, 0, "3:65"},
      {"char two characters in quotes", "[[Message Audit Filtering]]\n{\nmsg code = 'AB'\n}\n", 4,
       "Bad parameter: msg code = 'AB'", 0, NE, ""},
      {"char 0x without digit", "[[Message Audit Filtering]]\n{\nmsg code = 0xg\n}\n", 4,
       "Bad parameter: msg code = 0xg", 0, NE, ""},
      {"two arrays are numbered independently",
       "[[Session configurations]]\n{\nfname session = a\n}\n{\nfname session = b\n}\n"
       "[[Message Audit Filtering]]\n{\nentity to = ENT_FAX\n}\n",
       6, "", filter_entity_to, 0, "3:128"},
  };
  run_cases(cases, app_foip_ini__glb_sections, app_foip_ini__glb_keywords, app_foip_ini__new_glb_table);
}

TEST(IniToolsRead, SessionFileFragments) {
  using namespace session_cfg;
  std::string ten;
  for (int i = 0; i < 10; ++i) ten += "{\nTiff file name = /srv/fax/P" + std::to_string(i) + ".tif\n}\n";
  const std::vector<read_case> cases = {
      {"gateway kind accepted", "[General]\nkind of T.38 session = GW\n", 6, "", kind_of_session, NE, "3:71"},
      {"defaults of user names", "", 6, "", local_user_name, NE, "2:\"User_local\""},
      {"defaults of user names (remote)", "", 6, "", remote_user_name, NE, "2:\"User_remote\""},
      {"undefined default", "", 6, "", remote_sip_port, NE, "1:0"},
      {"keyword id differing from its value id", "[T.38 media address]\nlocal media port = 20000\n", 6, "",
       local_media_port, NE, "3:20000"},
      {"shared name looked up in its own section", "[Traces / Reports]\npath of trace files = x\n", 3,
       "Unknown keyword: path of trace files = x", 0, NE, ""},
      {"ten pages", "[[FAX Send page]]\n" + ten, 6, "", page_tiff_file_name, 9, "3:\"/srv/fax/P9.tif\""},
      {"eleventh page", "[[FAX Send page]]\n" + ten + "{\npage file name = x.tif\n}\n", 5,
       "Too much array into one Array section: {", 0, NE, ""},
      {"ignored keyword fills an element", "[[FAX Send page]]\n{\npage encoding = MH\n}\n", 6, "", page_encoding, 0,
       "0:0"},
      {"bfi with aliases of one bit",
       "[FAX common]\n(Rx path) page resolution = 200 / 100 | 200dpi / 100dpi | 300 / 300\n", 6, "", rx_page_resolution,
       NE, "3:5"},
      {"value names with special characters", "[Traces / Reports]\nlist of T.38 events = CNG<IP | LEN>IP\n", 6, "",
       list_of_t38_events, NE, "3:16385"},
      {"phone number limit 25", "[SIP Register]\nuser phone number = \"12345678901234567890123456\"\n", 4,
       "Bad parameter: user phone number = \"12345678901234567890123456\"", 0, NE, ""},
  };
  run_cases(cases, app_foip_ini__session_sections, app_foip_ini__session_keywords, app_foip_ini__new_session_table);
}

TEST(IniToolsRead, LineLongerThanTheBufferIsReadInPieces) {
  // 22 + 278 = 300 characters: the first 254 are one line, the other 46 the next.
  std::string head = "path of trace files = ";
  std::string line = head + std::string(278, 'a');
  ini_tools__table table = app_foip_ini__new_glb_table();
  cfg_test::read_outcome out =
      read_text("[General]\n" + line + "\n", app_foip_ini__glb_sections, app_foip_ini__glb_keywords, table.values());
  EXPECT_EQ(out.result, INI_TOOLS__UNKNOWN_KEYWORD);
  ASSERT_EQ(out.errors.size(), 1u);
  EXPECT_EQ(out.errors[0], "Unknown keyword: " + std::string(46, 'a'));
  EXPECT_EQ(value_of(table.values(), glb_cfg::path_of_trace_files),
            "3:\"" + std::string(254 - head.size(), 'a') + "\"");

  // A line of exactly 254 characters followed by its newline is one line.
  std::string exact = head + std::string(254 - head.size(), 'b');
  ini_tools__table t2 = app_foip_ini__new_glb_table();
  out = read_text("[General]\n" + exact + "\n", app_foip_ini__glb_sections, app_foip_ini__glb_keywords, t2.values());
  EXPECT_EQ(out.result, INI_TOOLS__READ_DONE);
}

TEST(IniToolsRead, VeryLongLinesAndNulBytesNeverOverrun) {
  // Lines far beyond the buffer, with NUL and 0xFF bytes, in every kind of line.
  std::string text = "[General]\n";
  text += std::string(5000, 'x');
  text += '\0';
  text += "\xff\xfe\n";
  ini_tools__table table = app_foip_ini__new_glb_table();
  cfg_test::read_outcome out = read_text(text, app_foip_ini__glb_sections, app_foip_ini__glb_keywords, table.values());
  EXPECT_EQ(out.result, INI_TOOLS__UNKNOWN_KEYWORD);
  ASSERT_EQ(out.errors.size(), 1u);
  EXPECT_LE(out.errors[0].size(), 254u);
}

TEST(IniToolsRead, FileErrors) {
  ini_tools__table table = app_foip_ini__new_glb_table();
  std::vector<std::string> errors;
  auto cb = [&](const char* m) { errors.emplace_back(m); };
  cfg_test::temp_dir dir;
  std::string missing = dir.path() + "/missing.cfg";
  EXPECT_EQ(ini_tools__read_cfg_file(missing.c_str(), app_foip_ini__glb_sections, app_foip_ini__glb_keywords, cb,
                                     table.values()),
            INI_TOOLS__CANT_OPEN);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], "Can't open configuration file: " + missing);

  // A folder opens but cannot be read.
  errors.clear();
  EXPECT_EQ(ini_tools__read_cfg_file(dir.path().c_str(), app_foip_ini__glb_sections, app_foip_ini__glb_keywords, cb,
                                     table.values()),
            INI_TOOLS__CANT_READ);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], "Can't read configuration file: " + dir.path());

  // Without a callback the codes come back alone.
  EXPECT_EQ(ini_tools__read_cfg_file(missing.c_str(), app_foip_ini__glb_sections, app_foip_ini__glb_keywords, nullptr,
                                     table.values()),
            INI_TOOLS__CANT_OPEN);
}

TEST(IniToolsRead, ReplacedTextsAreReleased) {
  // The same keyword three times: each new text replaces and frees the old one
  // (the sanitizer build reports a leak otherwise).
  ini_tools__table table = app_foip_ini__new_glb_table();
  auto out = read_text(
      "[General]\npath of trace files = /a\npath of trace files = /b\npath of trace files =\n"
      "[SIP]\nlocal SIP IP address = 1.2.3.4\nlocal SIP IP address = 5.6.7.8\n",
      app_foip_ini__glb_sections, app_foip_ini__glb_keywords, table.values());
  EXPECT_EQ(out.result, INI_TOOLS__READ_DONE);
  EXPECT_EQ(value_of(table.values(), glb_cfg::path_of_trace_files), "4:<none>");
  EXPECT_EQ(value_of(table.values(), glb_cfg::local_sip_ip_address), "3:5.6.7.8");
}

TEST(IniToolsRead, TablesThatDisagreeGiveInternalErrors) {
  // A keyword without its value record, and one whose record has another kind.
  static constexpr ini_tools__name kMissing[] = {{"missing", INI_TOOLS__VERBOSE_NAME}, {"", 0}};
  static constexpr ini_tools__name kOtherKind[] = {{"other kind", INI_TOOLS__VERBOSE_NAME}, {"", 0}};
  static constexpr ini_tools__section kSections[] = {{"S", 1, nullptr, ""}, {"", 0, nullptr, nullptr}};
  static constexpr ini_tools__keyword kKeywords[] = {{kMissing, 1, 1, INI_TOOLS__NUM, nullptr, 0, 10, 1},
                                                     {kOtherKind, 2, 1, INI_TOOLS__NUM, nullptr, 0, 10, 2},
                                                     {nullptr, 0, 0, 0, nullptr, 0, 0, 0}};
  const ini_tools__value values[] = {
      ini_tools__value{2, 1, INI_TOOLS__DEFAULT, INI_TOOLS__BOOL, ini_tools__datum{.byte = 0}, 0, 0, nullptr, nullptr},
      ini_tools__value{}};
  ini_tools__table table(values, nullptr);
  auto out = read_text("[S]\nmissing = 1\n", kSections, kKeywords, table.values());
  EXPECT_EQ(out.result, INI_TOOLS__INTERNAL_ERR_1);
  EXPECT_EQ(out.errors, std::vector<std::string>{"Internal error (INI_TOOLS__INTERNAL_ERR_1): missing = 1"});
  out = read_text("[S]\nother kind = 1\n", kSections, kKeywords, table.values());
  EXPECT_EQ(out.result, INI_TOOLS__INTERNAL_ERR_2);
  EXPECT_EQ(out.errors, std::vector<std::string>{"Internal error (INI_TOOLS__INTERNAL_ERR_2): other kind = 1"});
}

TEST(IniToolsNames, MatchIgnoresCaseAndSurroundingBlanks) {
  struct {
    const char* a;
    const char* b;
    bool match;
  } cases[] = {
      {"SIP", " sip ", true},
      {"display event", "DISPLAY EVENT\t\r\n", true},
      {"display event", "display  event", false},
      {"SIP", "SIPS", false},
      {"", "   ", true},
      {"T.38 IAF", "t.38 iaf", true},
  };
  for (const auto& c : cases) EXPECT_EQ(ini_tools__names_match(c.a, c.b), c.match) << c.a << " / " << c.b;
  // Only the first 127 characters count.
  std::string long_a = std::string(127, 'n') + "A";
  std::string long_b = std::string(127, 'n') + "B";
  EXPECT_TRUE(ini_tools__names_match(long_a.c_str(), long_b.c_str()));
}

// ---------------------------------------------------------------------------
// Read and write by id

struct error_log {
  std::vector<std::string> texts;
  ini_tools__error_cb cb() {
    return [this](const char* m) { texts.emplace_back(m); };
  }
};

TEST(IniToolsById, ErrorsOfTheFamily) {
  using namespace glb_cfg;
  ini_tools__table table = app_foip_ini__new_glb_table();
  error_log log;
  uint8_t b = 0;
  uint32_t n = 0;
  const char* text = nullptr;

  EXPECT_EQ(ini_tools__read_bool(table.values(), sip_delay, NE, log.cb(), &b), INI_TOOLS__ERR_BAD_KIND);
  EXPECT_EQ(ini_tools__read_num(table.values(), 999, NE, log.cb(), &n), INI_TOOLS__ERR_ID_NOT_FOUND);
  EXPECT_EQ(ini_tools__read_num(table.values(), sip_delay, 0, log.cb(), &n), INI_TOOLS__ERR_NOT_ARRAY);
  EXPECT_EQ(ini_tools__read_file(table.values(), session_file_name, 0, log.cb(), &text), INI_TOOLS__ERR_ELEMENT_INDEX);
  EXPECT_EQ(ini_tools__read_file(table.values(), session_file_name, NE, log.cb(), &text), INI_TOOLS__ERR_ID_NOT_FOUND);
  EXPECT_EQ(ini_tools__write_num(table.values(), display_progress_bar, NE, 1, log.cb()), INI_TOOLS__ERR_BAD_KIND);
  const std::vector<std::string> expected = {
      "(ini_tools__read_bool) Bad kind of parameter", "(ini_tools__read_num) ID Not found",
      "(ini_tools__read_num) Not array section",      "(ini_tools__read_file) ID Not found",
      "(ini_tools__write_num) Bad kind of parameter",
  };
  EXPECT_EQ(log.texts, expected);  // the read beyond the count reports no text
  EXPECT_EQ(value_of(table.values(), display_progress_bar), "2:0");
}

TEST(IniToolsById, WritesMarkOverwrittenAndGrowArrays) {
  using namespace glb_cfg;
  ini_tools__table table = app_foip_ini__new_glb_table();
  error_log log;
  EXPECT_EQ(ini_tools__write_num(table.values(), nb_simultaneous_start, NE, 62, log.cb()), INI_TOOLS__OVERWRITTEN);
  EXPECT_EQ(value_of(table.values(), nb_simultaneous_start), "5:62");
  EXPECT_EQ(ini_tools__write_bool(table.values(), nat_support, NE, 1, log.cb()), INI_TOOLS__OVERWRITTEN);
  EXPECT_EQ(ini_tools__write_str_id(table.values(), sip_operating_mode, NE, 3, log.cb()), INI_TOOLS__OVERWRITTEN);
  EXPECT_EQ(ini_tools__write_bfi(table.values(), log_options, NE, 0x300, log.cb()), INI_TOOLS__OVERWRITTEN);
  EXPECT_EQ(ini_tools__write_ip_add(table.values(), registrar_ip_address, NE,
                                    ini_tools__ip{INI_TOOLS__IP_V4, 0x0100007f}, log.cb()),
            INI_TOOLS__OVERWRITTEN);
  EXPECT_EQ(value_of(table.values(), registrar_ip_address), "5:127.0.0.1");

  // A write at element 5 of an empty array makes it hold six elements.
  EXPECT_EQ(ini_tools__write_file(table.values(), session_file_name, 5, "/etc/Tessaly/S6.cfg", log.cb()),
            INI_TOOLS__OVERWRITTEN);
  EXPECT_EQ(value_of(table.values(), session_file_name, 5), "5:\"/etc/Tessaly/S6.cfg\"");
  EXPECT_EQ(value_of(table.values(), session_file_name, 4), "1:<none>");
  EXPECT_EQ(value_of(table.values(), session_file_name, 6), "error 30");
  EXPECT_TRUE(log.texts.empty());
}

TEST(IniToolsById, WriteBeyondTheArrayAreaIsRefused) {
  using namespace glb_cfg;
  ini_tools__table table = app_foip_ini__new_glb_table();
  error_log log;
  EXPECT_EQ(ini_tools__write_file(table.values(), session_file_name, 61, "last", log.cb()), INI_TOOLS__OVERWRITTEN);
  EXPECT_EQ(ini_tools__write_file(table.values(), session_file_name, max_session_files, "beyond", log.cb()),
            INI_TOOLS__ERR_ELEMENT_INDEX);
  EXPECT_EQ(ini_tools__write_str_id(table.values(), filter_entity_from, 20, 73, log.cb()),
            INI_TOOLS__ERR_ELEMENT_INDEX);
  EXPECT_EQ(ini_tools__write_str_id(table.values(), filter_entity_from, 65534, 73, log.cb()),
            INI_TOOLS__ERR_ELEMENT_INDEX);
  ASSERT_EQ(log.texts.size(), 3u);
  EXPECT_EQ(log.texts[0], "(ini_tools__write_file) Element index 62 out of array (max 62)");
  // The array still holds 62 elements and the other array none.
  EXPECT_EQ(value_of(table.values(), session_file_name, 61), "5:\"last\"");
  EXPECT_EQ(value_of(table.values(), session_file_name, 62), "error 30");
  EXPECT_EQ(value_of(table.values(), filter_entity_from, 0), "error 30");
}

TEST(IniToolsById, TextsArePointerSizedCopiesThatSurviveTheCaller) {
  static_assert(sizeof(ini_tools__datum) == sizeof(void*));
  using namespace session_cfg;
  ini_tools__table table = app_foip_ini__new_session_table();
  error_log log;
  {
    std::string caller = "gw.example.org";
    ASSERT_EQ(ini_tools__write_string(table.values(), remote_sip_domain_name, NE, caller.c_str(), log.cb()),
              INI_TOOLS__OVERWRITTEN);
    caller.assign(40, 'z');
  }
  const char* text = nullptr;
  EXPECT_EQ(ini_tools__read_string(table.values(), remote_sip_domain_name, NE, log.cb(), &text),
            INI_TOOLS__OVERWRITTEN);
  ASSERT_NE(text, nullptr);
  EXPECT_STREQ(text, "gw.example.org");

  // A copy of the table is deep: changing it leaves the original alone, and
  // each one frees its own texts.
  ini_tools__table copy = table;
  ASSERT_EQ(ini_tools__write_string(copy.values(), remote_sip_domain_name, NE, "other", log.cb()),
            INI_TOOLS__OVERWRITTEN);
  ASSERT_EQ(ini_tools__write_file(copy.values(), page_tiff_file_name, 2, "/p/Page3.tif", log.cb()),
            INI_TOOLS__OVERWRITTEN);
  EXPECT_EQ(value_of(table.values(), remote_sip_domain_name), "5:\"gw.example.org\"");
  EXPECT_EQ(value_of(table.values(), page_tiff_file_name, 0), "error 30");
  EXPECT_EQ(value_of(copy.values(), page_tiff_file_name, 2), "5:\"/p/Page3.tif\"");
  ini_tools__ip ip{};
  EXPECT_EQ(ini_tools__read_ip_add(copy.values(), remote_sip_ip_address, NE, log.cb(), &ip), INI_TOOLS__DEFAULT);
  EXPECT_EQ(ip.family, INI_TOOLS__IP_NONE);
  EXPECT_EQ(ip.addr, 0u);
  EXPECT_TRUE(log.texts.empty());
}

void* no_memory(std::size_t) { return nullptr; }

TEST(IniToolsById, ExhaustedHeap) {
  using namespace glb_cfg;
  ini_tools__table table = app_foip_ini__new_glb_table();
  error_log log;
  ASSERT_EQ(ini_tools__write_string(table.values(), registrar_domain_name, NE, "before", log.cb()),
            INI_TOOLS__OVERWRITTEN);
  ini_tools__set_allocator(no_memory);
  EXPECT_EQ(ini_tools__write_string(table.values(), registrar_domain_name, NE, "after", log.cb()),
            INI_TOOLS__ERR_ALLOC);
  EXPECT_EQ(ini_tools__write_ip_add(table.values(), registrar_ip_address, NE, ini_tools__ip{4, 1}, log.cb()),
            INI_TOOLS__ERR_MEM_ALLOC);
  cfg_test::read_outcome out = read_text("[General]\npath of trace files = /t\n", app_foip_ini__glb_sections,
                                         app_foip_ini__glb_keywords, table.values());
  ini_tools__set_allocator(nullptr);
  EXPECT_EQ(out.result, INI_TOOLS__ERR_MEM_ALLOC);
  ASSERT_EQ(out.errors.size(), 1u);
  EXPECT_EQ(out.errors[0], "Memory allocation error (INI_TOOLS__ERR_MEM_ALLOC): path of trace files = /t");
  ASSERT_EQ(log.texts.size(), 2u);
  EXPECT_EQ(log.texts[0], "(ini_tools__write_string) Ini_tools__malloc: Can't alloc memory");
  EXPECT_EQ(log.texts[1], "(ini_tools__write_ip_add) Ini_tools__malloc: Can't alloc memory");
  EXPECT_EQ(value_of(table.values(), registrar_domain_name), "1:<none>");
  EXPECT_EQ(value_of(table.values(), registrar_ip_address), "2:<none>");
  EXPECT_EQ(value_of(table.values(), path_of_trace_files), "2:<none>");
}

// ---------------------------------------------------------------------------
// Display

std::string display(const ini_tools__table& t, const ini_tools__section* s, const ini_tools__keyword* k) {
  return cfg_test::collect(
      [&](const ini_tools__output_cb& out) { return ini_tools__display_values(t.values(), s, k, out); });
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t b = 0;
  while (b < text.size()) {
    std::size_t e = text.find('\n', b);
    if (e == std::string::npos) e = text.size();
    lines.push_back(text.substr(b, e - b));
    b = e + 1;
  }
  return lines;
}

TEST(IniToolsDisplay, LabelsValuesAndAlignment) {
  using namespace glb_cfg;
  ini_tools__table table = app_foip_ini__new_glb_table();
  auto out = read_text(
      "[General]\ndisplay progress bar\n[SIP]\nlocal SIP IP address = 10.0.0.7\nlocal SIP domain name =\n"
      "[[Message Audit Filtering]]\n{\nentity from = ENT_IP\nprimitive code = 0x05\n}\n{\nmsg code = 'K'\n}\n",
      app_foip_ini__glb_sections, app_foip_ini__glb_keywords, table.values());
  ASSERT_EQ(out.result, INI_TOOLS__READ_DONE);
  ASSERT_EQ(ini_tools__write_num(table.values(), nb_simultaneous_start, NE, 62, nullptr), INI_TOOLS__OVERWRITTEN);
  std::string text = display(table, app_foip_ini__glb_sections, app_foip_ini__glb_keywords);

  auto has_line = [&](const std::string& label, const std::string& name, const std::string& value) {
    for (const std::string& l : lines_of(text)) {
      if (l.rfind(label, 0) == 0 && l.find(" " + name + " ") != std::string::npos && l.size() >= value.size() &&
          l.compare(l.size() - value.size(), value.size(), value) == 0)
        return true;
    }
    return false;
  };
  EXPECT_TRUE(has_line("    (user)        ", "display progress bar", "= TRUE"));
  EXPECT_TRUE(has_line("    (overwritten) ", "nb simultaneous start", "= 62"));
  EXPECT_TRUE(has_line("    (default)     ", "SIP operating mode", "= FOIP__WAIT_RE_INVITE"));
  EXPECT_TRUE(has_line("    (user)        ", "local SIP IP address", "= 10.0.0.7"));
  EXPECT_TRUE(has_line("    (user)        ", "local SIP domain name", "= \"\""));
  EXPECT_TRUE(has_line("    (default)     ", "log options", "= SEND_MSG | RCV_MSG"));
  EXPECT_TRUE(has_line("    (default)     ", "display event", "= Empty bit field"));
  EXPECT_TRUE(has_line("    (default)     ", "audit file name", "= no filename"));
  EXPECT_TRUE(has_line("    (undef)       ", "session reference", "= no filename"));
  EXPECT_TRUE(has_line("        (user)        ", "entity from", "= ENT_IP"));
  EXPECT_TRUE(has_line("        (user)        ", "primitive code", "= 0x05"));
  EXPECT_TRUE(has_line("        (user)        ", "primitive code", "= 'K' 0x4B"));
  EXPECT_TRUE(has_line("        (undef)       ", "entity from", "= Error: unknown parameter"));
  // Ignored keywords are not shown; the element count shows in the braces.
  EXPECT_EQ(text.find("inter process"), std::string::npos);
  EXPECT_NE(text.find("\n[[Message Audit Filtering]]\n    {\n"), std::string::npos);
  EXPECT_NE(text.find("\n[[Session configurations]]\n\n[Traces / Reports]\n"), std::string::npos);

  // Every plain record's '=' stands in one column; every element's in another.
  std::size_t plain_col = 0, element_col = 0;
  for (const std::string& l : lines_of(text)) {
    std::size_t eq = l.find(" = ");
    if (eq == std::string::npos) continue;
    std::size_t& col = l.rfind("        (", 0) == 0 ? element_col : plain_col;
    if (col == 0) col = eq;
    EXPECT_EQ(eq, col) << l;
  }
  EXPECT_EQ(plain_col, element_col);
}

TEST(IniToolsDisplay, OutputStopsAtOnce) {
  ini_tools__table table = app_foip_ini__new_glb_table();
  int calls = 0;
  auto stop = [&](const char*) {
    ++calls;
    return INI_TOOLS__OUTPUT_STOP;
  };
  EXPECT_EQ(ini_tools__display_values(table.values(), app_foip_ini__glb_sections, app_foip_ini__glb_keywords, stop),
            INI_TOOLS__OUTPUT_STOP);
  EXPECT_EQ(calls, 1);
  calls = 0;
  EXPECT_EQ(ini_tools__write_skeleton(1, table.values(), app_foip_ini__glb_sections, app_foip_ini__glb_keywords, stop),
            INI_TOOLS__OUTPUT_STOP);
  EXPECT_EQ(calls, 1);
}

TEST(IniToolsDisplay, UnknownSectionAndKeyword) {
  // A value table naming a section and a keyword the tables lack.
  const ini_tools__value values[] = {
      ini_tools__value{7, 99, INI_TOOLS__DEFAULT, INI_TOOLS__NUM, ini_tools__datum{.num = 3}, 0, 0, nullptr, nullptr},
      ini_tools__value{}};
  ini_tools__table table(values, nullptr);
  std::string text = display(table, app_foip_ini__glb_sections, app_foip_ini__glb_keywords);
  EXPECT_EQ(text, "[Error: unknown section]\n    (default)     Error: unknown keyword\n");
}

}  // namespace
