// Displays of the application: management lines by kind, primitive lines,
// confirm and page report texts, the note past twenty pages, and the names
// of the FOIP API primitives in the message decoder.
#include "session/app/app_foip_dsp.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "runtime/dcod.h"
#include "session/app/app_foip.h"

namespace {

TEST(AppDisplays, ManagementLinesByKind) {
  struct row {
    u8 kind;
    const char* line;
  };
  const row rows[] = {
      {1, "(nai   7)                                     Start session\n"},
      {2, "          (session cnt   12)                  Start session\n"},
      {3, "(nai   7) (session cnt   12)                  Start session\n"},
      {4, "                             (batch cnt    3) Start session\n"},
      {5, "(nai   7)                    (batch cnt    3) Start session\n"},
      {6, "          (session cnt   12) (batch cnt    3) Start session\n"},
      {7, "(nai   7) (session cnt   12) (batch cnt    3) Start session\n"},
      {9, "                                              Start session\n"},
  };
  for (const row& r : rows) EXPECT_EQ(app_foip_dsp__format_mngt_event(r.kind, "Start session", 7, 12, 3), r.line);
}

TEST(AppDisplays, PrimitiveLines) {
  EXPECT_EQ(app_foip_dsp__format_primitive_short_form(1, 'S', "FOIP__START_RQ", 4, 0, nullptr, nullptr),
            "(nai   4)                                     Snd Msg: FOIP__START_RQ                    \n");
  EXPECT_EQ(app_foip_dsp__format_primitive_short_form(3, 'R', "FOIP__ALERT_IN", 100, 9, nullptr, nullptr),
            "(nai 100) (conn_id   9)                       Rcv Msg: FOIP__ALERT_IN                    \n");
  EXPECT_EQ(app_foip_dsp__format_primitive_short_form(0, 'C', "FOIP__STOP_CO", 0, 0, nullptr, "OK"),
            "                                              Rcv Msg: FOIP__STOP_CO (OK)                \n");
  const std::string with_address =
      app_foip_dsp__format_primitive_short_form(1, 'S', "X", 1, 0, reinterpret_cast<void*>(0x1234), nullptr);
  EXPECT_NE(with_address.find(" (0x00001234)\n"), std::string::npos);
  EXPECT_EQ(app_foip_dsp__format_primitive_hdr("FOIP__STOP_IN", 3, false, 0, 2, 1),
            "\n(nai   3) (session cnt    2) (batch cnt    1) -------------------------------------------\n"
            "Display contents of FOIP__STOP_IN (nai 3) \n");
  EXPECT_EQ(app_foip_dsp__format_primitive_hdr("FOIP__SET_CONFIG_CO", 0xFFFF, false, 0, 0, 0),
            "\n          (session cnt    0) (batch cnt    0) -------------------------------------------\n"
            "Display contents of FOIP__SET_CONFIG_CO \n");
}

TEST(AppDisplays, ConfirmAndPageReport) {
  foip__confirm c{};
  c.return_code = 3;
  c.error_source = 4;
  c.error_code = 86;
  std::strcpy(c.sz_error_source, "SIP");
  std::strcpy(c.sz_error_code, "SIP Error (486 - Busy Here)");
  std::string out;
  app_foip_dsp__foip__confirm(out, "FOIP__START_CO", c);
  EXPECT_NE(out.find("           FOIP__START_CO Return code : NOK\n"), std::string::npos);
  EXPECT_NE(out.find("Error Code  : (486) SIP Error (486 - Busy Here)\n"), std::string::npos);

  foip__fax_pg_descriptor pg{};
  pg.pg_nb_bytes = FOIP__PG_LENGTH_UNKNOWN;
  pg.nb_discarded_lines = -1;
  pg.pg_encoding = 4;
  pg.pg_resolution = 0x40;
  pg.pg_quality = 'X';
  out.clear();
  app_foip_dsp__foip__fax_pg_descriptor(out, 1, pg);
  EXPECT_NE(out.find("0 (Page length unknown)"), std::string::npos);
  EXPECT_NE(out.find("?? (Can't be computed)"), std::string::npos);
  EXPECT_NE(out.find("T.6 (MMR)"), std::string::npos);
  EXPECT_NE(out.find("200 ppi *  400 lpi (B&W only)"), std::string::npos);
  EXPECT_NE(out.find("unknown MCF, RTN or RTP not detected"), std::string::npos);
  EXPECT_STREQ(app_foip_dsp__pg_width_name('4'), "unknown");
  EXPECT_STREQ(app_foip_dsp__pg_length_name('U'), "Unlimited length");
}

TEST(AppDisplays, PagesPastTwentyAreANote) {
  std::vector<std::string> lines;
  static std::vector<std::string>* sink = nullptr;
  sink = &lines;
  app_foip_dsp__set_output([](nai_t, u16 cls, const char* text) {
    EXPECT_EQ(cls, USR_MSG_FULL);
    sink->emplace_back(text);
  });
  auto fax = std::make_unique<foip__fax_session_status>();
  fax->present = 1;
  fax->nb_pg_sent = 23;
  app_foip_dsp__foip__fax_session_status(5, fax.get());
  app_foip_dsp__foip__fax_session_status(5, nullptr);
  app_foip_dsp__set_output(nullptr);
  ASSERT_EQ(lines.size(), 2u);
  std::size_t pages = 0;
  for (std::size_t at = 0; (at = lines[0].find("Pg number", at)) != std::string::npos; ++at) ++pages;
  EXPECT_EQ(pages, 20u);
  EXPECT_NE(lines[0].find(">> Information of following pages is not available, "), std::string::npos);
  EXPECT_NE(lines[0].find("Remote Fax ID                : [               empty]"), std::string::npos);
  EXPECT_EQ(lines[1], "Fax status: EMPTY\n");
}

TEST(AppDisplays, T38Capabilities) {
  foip__t38_capabilities c{};
  c.confirm.return_code = FOIP__RC_OK;
  c.cap.udptl_param.drate_mgt_method = 3;
  c.cap.udptl_param.udp_ec = 1;
  c.cap.udptl_param.transcode_jbig = 1;
  c.t38_over_tcp = 1;
  const std::string out = app_foip_dsp__format_t38_capabilities(c);
  EXPECT_NE(out.find("[UDP] T38FaxRateManagement  = localTCF | transferredTCF\n"), std::string::npos);
  EXPECT_NE(out.find("[UDP] T38FaxUdpEC           = t38UDPFEC\n"), std::string::npos);
  EXPECT_NE(out.find("[UDP] T38FaxTranscodingJBIG = ON\n"), std::string::npos);
  EXPECT_NE(out.find("T.38 over TCP is supported\n[TCP] T38FaxVersion"), std::string::npos);
  c.confirm.return_code = 3;
  EXPECT_EQ(app_foip_dsp__format_t38_capabilities(c), "");
}

TEST(AppDisplays, TheDecoderNamesTheFoipApiPrimitives) {
  dcod__init();
  dcod__register_vocabulary(ENT_APP_FOIP, APP_FOIP_ENTITY_ROW.names);
  dcod__msg_view v;
  v.from = ENT_APP_FOIP;
  v.to = ENT_FOIP;
  v.code = FOIP__START_RQ;
  char line[400] = "";
  dcod__format_view(v, line, sizeof line, 0);
  EXPECT_NE(std::string(line).find("APP-FOI|FOIP__START_RQ"), std::string::npos) << line;
  v.from = ENT_FOIP;
  v.to = ENT_APP_FOIP;
  v.code = FOIP__SET_CONFIG_CO;
  line[0] = 0;
  dcod__format_view(v, line, sizeof line, 0);
  EXPECT_NE(std::string(line).find("FOI-APP|FOIP_SET_CNF_CO"), std::string::npos) << line;
}

TEST(AppDisplays, SipStatusShowsMediaAndEachHeaderImage) {
  auto call = std::make_unique<foip__call_info>();
  call->sip_ret_code = 200;
  call->media.rem_media_family = 4;
  const u8 media[4] = {192, 0, 2, 7};
  std::memcpy(call->media.rem_media_ipv4, media, 4);
  call->media.rem_media_port = 40960;
  call->media.loc_media_family = 4;
  const u8 local[4] = {198, 51, 100, 2};
  std::memcpy(call->media.loc_media_ipv4, local, 4);
  call->media.loc_media_port = 20002;
  call->remote_addr.ip_addr.ip_family = OM_IP_FAMILY_V4;
  const u8 private_addr[4] = {10, 0, 0, 9};
  std::memcpy(call->remote_addr.ip_addr.addr.v4.addr, private_addr, 4);
  call->remote_addr.ip_port = 5062;
  std::strcpy(call->source_addr.sz_fqdn, "gw.example.net");
  call->source_addr.ip_port = 5060;
  // A telephone user at an IPv4 host with its parameters, and a name at a
  // domain behind a display name; unused images show nothing.
  foip__sip_header_image& to = call->headers[0];
  to.kind = FOIP__HDR_TO;
  to.user_kind = 1;
  std::strcpy(to.user.tel.number, "+331234");
  std::strcpy(to.user.tel.isub, "12");
  std::strcpy(to.user.tel.param_1, "example.net");
  to.host_kind = 2;
  const u8 host[4] = {127, 0, 0, 1};
  std::memcpy(to.host.ipv4, host, 4);
  to.port = 5060;
  to.transport = 1;
  to.user_param = 1;
  to.ttl = 255;
  foip__sip_header_image& from = call->headers[1];
  from.kind = FOIP__HDR_FROM;
  std::strcpy(from.display_name, "Fax");
  from.user_kind = 2;
  std::strcpy(from.user.name, "alice");
  from.host_kind = 1;
  std::strcpy(from.host.fqdn, "example.com");
  from.ttl = 255;
  from.lr = 1;
  std::strcpy(from.maddr, "239.1.1.1");
  std::string out;
  app_foip_dsp__foip__sip_ret_code(out, *call);
  // The private and public remote SIP addresses, then our media and the
  // peer's, in that order.
  EXPECT_NE(out.find("private remote_sip_addr : 10.0.0.9\nprivate remote_sip_addr : 5062\n"
                     "public remote_sip_addr : gw.example.net\npublic remote_sip_addr : 5060\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("loc_media_addr              : 198.51.100.2\nloc_media_port              : 20002\n"
                     "rem_media_addr              : 192.0.2.7\nrem_media_port              : 40960\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("SIP Header / SIP URI\n"
                     "To:  <sip:+331234@127.0.0.1:5060;transport=udp;user=phone;isub=12;phone-context=example.net>\n"
                     "From: Fax <sip:alice@example.com;maddr=239.1.1.1;lr>\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(out.find("Request-URI"), std::string::npos);

  // Media not negotiated yet: both sides empty, by domain name when one is set.
  auto idle = std::make_unique<foip__call_info>();
  idle->media.loc_media_family = OM_IP_FAMILY_NONE;
  std::strcpy(idle->media.sz_rem_media_fqdn, "media.example.net");
  std::string none;
  app_foip_dsp__foip__sip_ret_code(none, *idle);
  EXPECT_NE(none.find("loc_media_addr              : empty\nloc_media_port              : 0\n"
                      "rem_media_addr              : media.example.net\n"),
            std::string::npos)
      << none;
}

}  // namespace
