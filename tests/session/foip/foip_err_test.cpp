// Error texts of the FOIP entity, the string and file checks of the session
// parameters, and the dump texts (golden files).
#include "session/foip/foip_err.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <string>

#include "session/foip/foip.h"
#include "session/foip/foip_dump.h"
#include "session/config/support/cfg_test_support.h"
#include "session/foip/support/foip_test_support.h"

namespace {

const std::string kGolden = std::string(KV_SOURCE_DIR) + "/tests/session/golden/";

struct text_row {
  u8 source, code;
  const char* source_text;  // prefix
  const char* code_text;    // prefix
};

TEST(FoipErrTexts, StartAndConfigurationSourcesAndCodes) {
  const text_row rows[] = {
      {4, 86, "FOIP__START_ERR_SRC__SIP_RCODE_4XX,", "SIP Error (486 - Busy Here)"},
      {0, 6, "FOIP__START_ERR_SRC__SIP_RCODE_0XX,", "Call failure (6 internal FOIP)"},
      {3, 2, "FOIP__START_ERR_SRC__SIP_RCODE_3XX,", "302 - Moved Temporarily"},
      {5, 3, "FOIP__START_ERR_SRC__SIP_RCODE_5XX,", "SIP Error - Service Unavailable, problem with line (503)"},
      {6, 6, "FOIP__START_ERR_SRC__SIP_RCODE_6XX,", "Not Acceptable (606)"},
      {4, 12, "FOIP__START_ERR_SRC__SIP_RCODE_4XX,", "Unknown error"},
      {1, 1, "Error source unknown", "Error code unknown"},
      {2, 2, "Error source unknown", "Error code unknown"},
      {231, 1, "Error source unknown", "Error code unknown"},
      {100, 1, "Error source unknown", "Error code unknown"},
      {190, 1, "FOIP__T38_CAP_ERR_SRC", "FOIP__T38_CAP_ERR__MSG_BUFF_RESOURCE,"},
      {190, 3, "FOIP__T38_CAP_ERR_SRC", "FOIP__T38_CAP_ERR__PREPARE_CO_2,"},
      {225, 2, "FOIP__START_ERR_SRC__OTHER_ERRORS:", "FOIP__START_ERR__GLB_FOIP_ENTITY_CNF_NOK,"},
      {226, 4, "FOIP__START_ERR_SRC__DNS_REQUEST,", "DNS_CAUSE_NO_THREAD,"},
      {227, 0, "FOIP__START_ERR_SRC__TCP_CONNECT_FAILURE,", "Wdog timer (FOIP__WDOG_TCP_CONNECT)"},
      {228, 9, "FOIP__START_ERR_SRC__SOCKET_EST_IN,", "Receive SOCK_EST_IN with wrong remote IP address"},
      {229, 13, "FOIP__START_ERR_SRC__SOCKET_EST_CO,", "TPIP error (8)"},
      {230, 53, "FOIP__START_ERR_SRC__SOCKET_LISTEN,", "TPIP error (35)"},
      {237, 83, "FOIP__START_ERR_SRC__SOCKET_CONFIG,", "TPIP error (53)"},
      {237, 4, "FOIP__START_ERR_SRC__SOCKET_CONFIG,", "Error code unknown"},
      {232, 32, "FOIP__START_ERR_SRC__FAX_ACT__ANS,", "FAX__POLL_NO_SND_FAX_PG,"},
      {233, 21, "FOIP__START_ERR_SRC__FAX_ACT__ORG,", "FAX__NO_SND_FAX_PG,"},
      {234, 13, "FOIP__START_ERR_SRC__FAX_ACT__API,", "FAX__UNKNOWN_ACTION,"},
      {235, 48, "FOIP__START_ERR_SRC__FAX_CONFIG,", "FAX__CFG_ERR_TIFF_PG_HDR_BAD_RESOLUTION,"},
      {236, 7, "FOIP__START_ERR_SRC__T38_ACTIVATE,", "T38GW__MSG_ERR__AUTOMATON_2,"},
      {238, 190, "FOIP__START_ERR_SRC__T38_SESSION_CONFIG,", "T38GW__CFG_ERR_T38_SESSION_NOT_INITIALIZED,"},
      {239, 12, "FOIP__START_ERR_SRC__T38_COMMON_CONFIG,", "T38__CFG_ERR_ALLOC_RESOURCE,"},
      {240, 84, "FOIP__START_ERR_SRC__FOIP_CHK_PARAM,", "FOIP__START_ERR__FAX__TIFF_FNAME_FAX_PG_ACCESS,"},
      {240, 104, "FOIP__START_ERR_SRC__FOIP_CHK_PARAM,", "FOIP__START_ERR_TIFF_PG_HDR_BAD_RESOLUTION,"},
      {240, 10, "FOIP__START_ERR_SRC__FOIP_CHK_PARAM,", "Error code unknown"},
      {252, 1, "FOIP__CFG_ERR_SRC__SOCKET_CONFIG,", "TPIP error (1)"},
      {253, 16, "FOIP__CFG_ERR_SRC__SIP_CONFIG,", "SIP_ERR_CFG_TMP_MEMORY,"},
      {254, 1, "FOIP__CFG_ERR_SRC__T38_CAPABILITIES,", "Error code unknown"},
      {255, 2, "FOIP__CFG_ERR_SRC__FOIP_CHK_PARAM,", "FOIP__CFG_ERR__FOIP__REPORT_IN_BUF_TOO_SMALL,"},
      {255, 39, "FOIP__CFG_ERR_SRC__FOIP_CHK_PARAM,", "FOIP__CFG_ERR__ALLOC_MEM_SSC_ALLOC_HANDLE,"},
  };
  for (const text_row& r : rows) {
    SCOPED_TRACE(std::to_string(r.source) + "/" + std::to_string(r.code));
    const char* s = nullptr;
    const char* c = nullptr;
    foip_err__start_error_text(r.source, r.code, &s, &c);
    EXPECT_EQ(std::string(s).rfind(r.source_text, 0), 0u) << s;
    EXPECT_EQ(std::string(c).rfind(r.code_text, 0), 0u) << c;
  }
}

TEST(FoipErrTexts, RegistrationSourcesAndCodes) {
  const text_row rows[] = {
      {200, 14, "FOIP__REGISTER_ERR_SRC__FOIP_CHK_PARAM,", "FOIP__REGISTER_ERR__AUTH__MISSING_FIELD,"},
      {200, 15, "FOIP__REGISTER_ERR_SRC__FOIP_CHK_PARAM,", "Error code unknown"},
      {4, 1, "FOIP__REGISTER_ERR_SRC__SIP_RCODE_4XX,", "Network Error (401 - Unauthorized)"},
      {240, 1, "Error source unknown", "Error code unknown"},
  };
  for (const text_row& r : rows) {
    const char* s = nullptr;
    const char* c = nullptr;
    foip_err__register_error_text(r.source, r.code, &s, &c);
    EXPECT_EQ(std::string(s).rfind(r.source_text, 0), 0u) << s;
    EXPECT_EQ(std::string(c).rfind(r.code_text, 0), 0u) << c;
  }
}

TEST(FoipErrTexts, ConfirmTextsByPrimitiveAndCut) {
  foip__confirm c{};
  foip__fill_confirm(FOIP__START_CO, 2, 240, 3, &c);
  EXPECT_STREQ(c.sz_error_source, "");
  EXPECT_STREQ(c.sz_error_code, "");
  foip__fill_confirm(FOIP__SIP_REGISTER_CO, 3, 200, 1, &c);
  EXPECT_STREQ(c.sz_error_code, "FOIP__REGISTER_ERR__GLB_CNF_NOT_SET, Global configuration not loaded");
  foip__fill_confirm(FOIP__SET_CONFIG_CO, 3, 200, 1, &c);  // not a start source
  EXPECT_STREQ(c.sz_error_source, "Error source unknown");
  // A code text longer than its field is cut to 179 characters.
  foip__fill_confirm(FOIP__START_CO, 3, 238, 101, &c);
  const char* s = nullptr;
  const char* full = nullptr;
  foip_err__start_error_text(238, 101, &s, &full);
  ASSERT_GT(std::strlen(full), 140u);
  EXPECT_EQ(std::string(c.sz_error_code), std::string(full).substr(0, 179));
}

TEST(FoipErrTexts, FaxDiagnosticsByEntity) {
  EXPECT_STREQ(foip_err__fax_diag_text(ENT_CF, 42),
               "(CFF_NO_MCF_EOP) no MCF/RTN/RTP/PIN/PIP received at the very end of transmission");
  EXPECT_STREQ(foip_err__fax_diag_text(ENT_CF, 99), "(CFF_xxxxxxxx) unknown code");
  EXPECT_STREQ(foip_err__fax_diag_text(ENT_ACU, 98), "(ACURC_BUSY) busy");
  EXPECT_STREQ(foip_err__fax_diag_text(ENT_FAX, 31),
               "(FAX__MAX_RX_DATA_SIZE_REACHED) User's limitation: The max of Rx Fax page data is reached "
               "(Config: max_rx_fax_data_size)");
  EXPECT_STREQ(foip_err__fax_diag_text(ENT_FC, 79),
               "(FC__TXT_ERR__OUTPUT_BUFFER_TOO_SMALL) Internal error, Allocated buffer (p_output_bmp_buffer) is "
               "too small");
  EXPECT_STREQ(foip_err__fax_diag_text(ENT_T38, 1), "Unknown diagnostic");
}

// ---------------------------------------------------------------------------
// String checks.

TEST(FoipChecks, PhoneNumbers) {
  struct row {
    const char* in;
    u8 result;
    const char* out;
  } rows[] = {
      {"+33 1 23 45 67 89", 2, "+33123456789"},
      {"(01)23-45.67", 1, "(01)23-45.67"},
      {"12%2A34", 1, "12%2A34"},
      {"12%2", 3, nullptr},
      {"12%G0", 3, nullptr},
      {"%n%s", 3, nullptr},
      {"123456789012345678901234", 1, "123456789012345678901234"},
      {"1234567890123456789012345", 3, nullptr},
      {"", 1, ""},
      {"x1y", 2, "1"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.in);
    char out[25] = "unchanged";
    EXPECT_EQ(foip__chk_phone_number(out, r.in, sizeof out), r.result);
    if (r.out) {
      EXPECT_STREQ(out, r.out);
    }
  }
}

TEST(FoipChecks, UserNames) {
  struct row {
    const char* name;
    bool ok;
  } rows[] = {
      {"", true},
      {"fax.1_A-b!~*'()&=+$,;?/#", true},
      {"a%41b", true},
      {"a b", false},
      {"fax%4", false},
      {"fax%", false},
      {"%n%s", false},
      {"@host", false},
      {"caf\xc3\xa9", false},
  };
  for (const row& r : rows) EXPECT_EQ(foip__chk_user_name(r.name), r.ok) << r.name;
  const std::string long_name(255, 'a');
  EXPECT_TRUE(foip__chk_user_name(long_name.c_str()));
}

// File names are never printf formats: only the integer directives are
// substituted, with the two arguments in order; the rest is text.
TEST(FoipChecks, FileNamePatternsSubstituteOnlyIntegers) {
  struct row {
    const char* pattern;
    const char* out;
  } rows[] = {
      {"rcv_%d_%d.tif", "rcv_1234_7.tif"},
      {"tmp%03d.%x", "tmp1234.7"},
      {"%n%s", "%n%s"},
      {"%s_%d", "%s_1234"},
      {"100%%_%d", "100%_1234"},
      {"%d%d%d", "12347%d"},
      {"%99999d", "%99999d"},
      {"end%", "end%"},
      {"plain", "plain"},
  };
  for (const row& r : rows) {
    char out[128];
    ASSERT_TRUE(foip__format_fname(out, sizeof out, r.pattern, 1234, 7)) << r.pattern;
    EXPECT_STREQ(out, r.out) << r.pattern;
  }
  char small[8];
  EXPECT_FALSE(foip__format_fname(small, sizeof small, "%d%d%d", 1234567, 7654321));
}

// Access checks never delete or truncate an existing file.
TEST(FoipChecks, FileAccessLeavesExistingFilesAlone) {
  cfg_test::temp_dir dir;
  const std::string existing = dir.write("kept.tif", "precious data");
  EXPECT_EQ(foip__chk_file_access(existing.c_str(), 2), 2);
  EXPECT_EQ(cfg_test::read_file(existing), "precious data");
  EXPECT_EQ(foip__chk_file_access(existing.c_str(), 3), 2);
  EXPECT_EQ(cfg_test::read_file(existing), "precious data");
  EXPECT_EQ(foip__chk_file_access(existing.c_str(), 1), 2);
  const std::string fresh = dir.path() + "/fresh.tif";
  EXPECT_EQ(foip__chk_file_access(fresh.c_str(), 2), 2);
  struct stat st;
  EXPECT_NE(::stat(fresh.c_str(), &st), 0) << "a file created for the check is removed";
  EXPECT_EQ(foip__chk_file_access((dir.path() + "/no/x").c_str(), 2), 3);
  EXPECT_EQ(foip__chk_file_access((dir.path() + "/none").c_str(), 1), 3);
  EXPECT_EQ(foip__chk_file_access("", 1), 2);
}

TEST(FoipChecks, NormalisedPathsUseSlashesAndKeepCase) {
  char name[] = "C:\\Fax\\In/Page.TIF";
  foip__norm_path(name);
  EXPECT_STREQ(name, "C:/Fax/In/Page.TIF");
}

TEST(FoipChecks, TiffPages) {
  cfg_test::temp_dir dir;
  struct row {
    unsigned x, y;
    bool bad_compression;
    u8 result;
  } rows[] = {
      {200, 100, false, 2},
      {200, 200, false, 2},
      {300, 300, false, 2},
      {1200, 1200, false, 2},
      {200, 300, false, 104},
      {100, 100, false, 104},
      {200, 200, true, 102},
      // The common fax forms, 204 dpi across, are pages the fax engine sends.
      {204, 98, false, 2},
      {204, 196, false, 2},
      {204, 391, false, 2},
  };
  for (const row& r : rows) {
    const std::string path = dir.path() + "/p" + std::to_string(r.x) + "_" + std::to_string(r.y) + ".tif";
    ASSERT_TRUE(foip_test::write_tiff(path, r.x, r.y, r.bad_compression));
    EXPECT_EQ(foip__chk_tiff_file(path.c_str(), false, 1), r.result) << path;
  }
  EXPECT_EQ(foip__chk_tiff_file((dir.path() + "/missing.tif").c_str(), false, 1), 90);
  const std::string junk = dir.write("junk.tif", "II*\0garbage");
  EXPECT_NE(foip__chk_tiff_file(junk.c_str(), false, 1), 2);
  EXPECT_EQ(foip__chk_tiff_file("", false, 1), 2);
}

// ---------------------------------------------------------------------------
// Dumps.

constexpr foip__name_entry kBits[] = {
    {0, ""}, {1, "BIT_ONE"}, {2, "BIT_TWO"}, {4, "BIT_FOUR"}, {0x80000000u, "BIT_TOP"}, {0, ""},
};

TEST(FoipDump, BitFieldNames) {
  EXPECT_EQ(foip__dsp_bfi(4, 0, kBits, 200), "");
  EXPECT_EQ(foip__dsp_bfi(4, 5, kBits, 200), "BIT_ONE\n    BIT_FOUR\n");
  EXPECT_EQ(foip__dsp_bfi(2, 0x80000002u, kBits, 200), "BIT_TWO\n  BIT_TOP\n");
  EXPECT_EQ(foip__dsp_bfi(2, 7, kBits, 24), "BIT_ONE\n  ...\n");
  EXPECT_EQ(foip__dsp_bfi(500, 3, kBits, 400).find(std::string(100, ' ')), std::string::npos);
}

TEST(FoipDump, TiffPageBlock) {
  tiff__pg_header h;
  h.image_width = 1728;
  h.image_length = 1100;
  h.compression = TIFF_T4_MONO;
  h.resolution_unit = 2;
  h.x_resolution = 200;
  h.y_resolution = 100;
  std::strcpy(h.sz_software, "%n%s");
  const std::string t = foip__tiff_page_text(2, h);
  EXPECT_EQ(t.rfind("           Header Fax page 2\n", 0), 0u);
  EXPECT_NE(t.find("               image_width = 1728 (Tiff Tag ID : ImageWidth)\n"), std::string::npos);
  EXPECT_NE(t.find("               compression = 2 (T.4 MH) (Tiff Tag ID : Compression)\n"), std::string::npos);
  EXPECT_NE(t.find("               sz_software = %n%s\n"), std::string::npos);
  EXPECT_EQ(t.find("sz_tiff_artist"), std::string::npos);
}

TEST(FoipDump, AddressTexts) {
  char buf[298];
  om_ip_addr_t a;
  foip__set_ipv4(a, 0x0100007F);
  foip__ip_addr_text(buf, sizeof buf, "addr ", a);
  EXPECT_STREQ(buf, "addr (127.0.0.1)");
  a.ip_family = 6;
  foip__ip_addr_text(buf, sizeof buf, "addr ", a);
  EXPECT_STREQ(buf, "addr (IPv6 not supported)");
  a.ip_family = 9;
  foip__ip_addr_text(buf, sizeof buf, "", a);
  EXPECT_STREQ(buf, "(empty)");
}

// An accepted registration request as the global event display shows it;
// the password stays out of the trace, unterminated texts are cut.
TEST(FoipDump, SipRegisterParameters) {
  foip__sip_register_param p{};
  p.user_identification = 2;
  foip__copy_text(p.sz_user_name, "fax-server");
  foip__copy_text(p.sz_user_phone_number, "+33123456789");
  foip__set_ipv4(p.registered_addr.ip_addr, 0x050200C0);
  p.registered_addr.ip_port = 5060;
  p.registering.user_identification = 1;
  std::memset(p.registering.sz_user_name, 'n', sizeof p.registering.sz_user_name);  // no end
  foip__copy_text(p.registering.sz_user_phone_number, "0123");
  foip__copy_text(p.registering.addr.sz_fqdn, "registrar.example");
  p.registering.addr.ip_addr.ip_family = OM_IP_FAMILY_NONE;
  p.registering.addr.ip_port = 5070;
  p.expires_sec = 3600;
  p.sip_authentication.flag_enable = 1;
  foip__copy_text(p.sip_authentication.sz_user_name, "alice");
  foip__copy_text(p.sip_authentication.sz_user_password, "s3cret-pass");
  foip__copy_text(p.sip_authentication.sz_realm, "example");
  p.flag_snd_sip_register_to_registrar = 1;
  const std::string t = foip__sip_register_param_text(p);
  EXPECT_EQ(cfg_test::check_golden(kGolden + "foip_sip_register_param.txt", t), "");
  EXPECT_EQ(t.find("s3cret"), std::string::npos);
}

TEST(FoipDump, GoldenTexts) {
  EXPECT_EQ(cfg_test::check_golden(kGolden + "foip_module_info.txt", foip__module_info_text()), "");
  foip__global_param g;
  foip_test::global_param(g, 10);
  g.glb_trc_param.event.display_event_bfi = 0x0103;
  foip__copy_text(g.glb_trc_param.event.sz_fname_event, "trace/evt");
  g.glb_trc_param.event.max_length_of_event_file = 100;
  g.glb_trc_param.event.nb_of_multiple_event_files = 3;
  foip__set_ipv4(g.glb_sip_param.local_sip_addr.ip_addr, 0x0100007F);
  g.glb_sip_param.local_sip_addr.ip_port = 5060;
  EXPECT_EQ(cfg_test::check_golden(kGolden + "foip_glb_config.txt", foip__glb_config_text(g)), "");
  // An incoming session without polling: the send page list is ignored.
  foip__session_param p;
  foip_test::incoming_param(p, 5, "/srv/fax");
  EXPECT_EQ(cfg_test::check_golden(kGolden + "foip_session_param_in.txt", foip__session_param_text(p, nullptr)), "");
  foip_test::outgoing_param(p, 6, "/srv/fax", "/srv/fax/out.tif");
  foip__na_ctx* none = nullptr;
  EXPECT_EQ(foip__session_param_text(p, none).find("Local T.38 capabalities"), std::string::npos);
  const std::string out = foip__session_param_text(p, nullptr);
  EXPECT_NE(out.find("/srv/fax/out.tif)\n               (Empty) >>> End of list\n"), std::string::npos) << out;
}

}  // namespace
