// SDP offers and answers: the media of each operating mode, the reading of
// a received description from SSC SDP headers, the choice of the answer
// media, T.38 negotiation and the o= version rule.
#include "session/foip/foip_sdp.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "runtime/support/rt_harness.h"
#include "sip/prim/ssc_codes.h"
#include "sip/prim/ssc_header.h"
#include "sip/prim/ssc_sdp_glue.h"

namespace {

foip_sdp__t38_param local_params(u8 ec = FOIP_SDP__UDP_REDUNDANCY, u8 rate = FOIP_SDP__TRANSFERRED_TCF) {
  foip_sdp__t38_param p{};
  p.udptl_param.t38_version = 0;
  p.udptl_param.fax_max_bit_rate = 14400;
  p.udptl_param.drate_mgt_method = rate;
  p.udptl_param.remove_fill_bits_t4 = 1;
  p.udptl_param.fax_max_buffer_size = 2000;
  p.udptl_param.max_datagram_size = 400;
  p.udptl_param.udp_ec = ec;
  p.tpkt_param.t38_version = 0;
  p.tpkt_param.fax_max_bit_rate = 14400;
  p.tpkt_param.drate_mgt_method = rate;
  return p;
}

struct Env {
  foip_sdp__t38_param local = local_params();
  foip_sdp__env env;
  Env() {
    env.local = &local;
    env.audio_port = 4000;
    env.udp_t38_port = 4002;
    env.tcp_t38_port = 4004;
    env.user_name = "fax";
    env.local_media_ip_addr.ip_addr.ip_family = OM_IP_FAMILY_V4;
    const u8 a[4] = {127, 0, 0, 1};
    std::memcpy(env.local_media_ip_addr.ip_addr.addr.v4.addr, a, 4);
  }
};

class FoipSdp : public ::testing::Test {
 protected:
  void SetUp() override {
    rt_test::use_virtual_clock(1000);
    rt_test::start_manual(TABLE);
  }
  void TearDown() override {
    if (h_) Ssc_free_handle(h_);
    rt_test::stop();
  }
  static constexpr entity_table_row_t TABLE[] = {{ENT_SM, rt_test::record_handler, 0, 0, nullptr, 0},
                                                 {ENT_NIL, nullptr, 0, 0, nullptr, 0}};

  // A received INVITE with a session header (address 192.0.2.7 unless
  // `no_addr`).
  ssc_handle* offer(bool no_addr = false) {
    h_ = Ssc_alloc_handle();
    EXPECT_EQ(Ssc_init_handle(h_, ssc_msg_type::INVITE), 2);
    auto* s = static_cast<ssc_hdr_sdp_session*>(Ssc_alloc_header(h_, ssc_header_id::SDP_MAIN_BODY));
    s->family = no_addr ? 0xFF : '4';
    const u8 a[4] = {192, 0, 2, 7};
    std::memcpy(s->v4, a, 4);
    s->host = nullptr;
    s->session_name = "peer";
    s->start_time = "0";
    s->stop_time = "0";
    auto* o = static_cast<ssc_hdr_sdp_origin*>(Ssc_alloc_header(h_, ssc_header_id::ORIGIN_CNCT_DESCR));
    o->user = "peer";
    o->session_id = "1";
    o->version = "7";
    o->net_type = 'I';
    o->family = 0xFF;
    o->host = nullptr;
    return h_;
  }
  void audio(std::vector<u8> formats, u16 port = 5000) {
    formats_.push_back(formats);
    auto* m = static_cast<ssc_hdr_sdp_media*>(Ssc_alloc_header(h_, ssc_header_id::AUDIO_CNCT_DESCR));
    m->kind = 'U';
    m->port = port;
    m->transport = 0;
    m->family = 0xFF;
    m->host = nullptr;
    m->format_count = static_cast<u16>(formats_.back().size());
    m->formats = formats_.back().data();
    m->direction = 0xFF;
  }
  void rtpmap(u8 pt, const char* name) {
    auto* r = static_cast<ssc_hdr_sdp_rtpmap*>(Ssc_alloc_header(h_, ssc_header_id::RTP_CNCT_DESCR));
    r->payload_type = pt;
    r->clock_rate = 8000;
    r->encoding = name;
    r->fmtp = nullptr;
  }
  ssc_hdr_sdp_t38* image(u8 transport = FOIP_SDP__UDPTL, u16 port = 6000) {
    auto* t = static_cast<ssc_hdr_sdp_t38*>(Ssc_alloc_header(h_, ssc_header_id::T38_CNCT_DESCR));
    t->kind = 'I';
    t->format = '8';
    t->transport = transport;
    t->port = port;
    t->family = 0xFF;
    t->host_name = nullptr;
    t->version = 0xFF;
    t->max_bit_rate = 0xFFFFFFFFu;
    t->rate_management = 0xFF;
    t->max_buffer = 0xFFFFFFFFu;
    t->max_datagram = 0xFFFFFFFFu;
    t->udp_ec = 0xFF;
    t->fill_bit_removal = 0;
    t->mmr = 0;
    t->jbig = 0;
    return t;
  }

  ssc_handle* h_ = nullptr;
  std::vector<std::vector<u8>> formats_;
  Env e_;
  sip_mgt__sdp_contents sdp_;
};

TEST_F(FoipSdp, DecodeResults) {
  u16 on = 99;
  // Not an SDP-carrying primitive, then no session header.
  offer();
  EXPECT_EQ(decode_sdp__remote(SSC_BYE_IN, h_, e_.env, sdp_, &on), FOIP_SDP__NO_SDP);
  EXPECT_EQ(on, 0);
  Ssc_free_handle(h_);
  h_ = Ssc_alloc_handle();
  ASSERT_EQ(Ssc_init_handle(h_, ssc_msg_type::INVITE), 2);
  EXPECT_EQ(decode_sdp__remote(SSC_INVITE_IN, h_, e_.env, sdp_, &on), FOIP_SDP__NO_SDP);
  EXPECT_EQ(sdp_.present, 0);
  Ssc_free_handle(h_);
  // A session without media.
  offer();
  EXPECT_EQ(decode_sdp__remote(SSC_INVITE_IN, h_, e_.env, sdp_, &on), FOIP_SDP__BAD_SDP);
  EXPECT_EQ(sdp_.present, 1);
  Ssc_free_handle(h_);
  // An enabled media without any connection address.
  offer(true);
  image();
  EXPECT_EQ(decode_sdp__remote(SSC_INVITE_IN, h_, e_.env, sdp_, &on), FOIP_SDP__NO_ADDRESS);
  Ssc_free_handle(h_);
  // ... which a disabled one does not need.
  offer(true);
  image(FOIP_SDP__UDPTL, 0);
  EXPECT_EQ(decode_sdp__remote(SSC_INVITE_IN, h_, e_.env, sdp_, &on), FOIP_SDP__DECODED);
  EXPECT_EQ(on, 0);
}

TEST_F(FoipSdp, DecodeCopiesSessionMediaAndT38Attributes) {
  offer();
  audio({8, 0});
  rtpmap(8, "PCMA");
  rtpmap(0, "PCMU");
  rtpmap(101, "telephone-event");  // not a format of the line
  ssc_hdr_sdp_t38* t = image();
  t->version = 1;
  t->max_bit_rate = 9600;
  t->rate_management = 2;
  t->udp_ec = 3;
  t->max_datagram = 1000000;  // wild: kept within its field
  t->fill_bit_removal = 1;
  u16 on = 0, total = 0;
  ASSERT_EQ(decode_sdp__remote(SSC_INVITE_IN, h_, e_.env, sdp_, &on, &total), FOIP_SDP__DECODED);
  EXPECT_EQ(on, 2);
  EXPECT_EQ(total, 2);
  EXPECT_STREQ(sdp_.session_name, "peer");
  EXPECT_STREQ(sdp_.version, "7");
  EXPECT_EQ(sdp_.conn.family, 4);
  ASSERT_EQ(sdp_.media_count, 2);
  const foip_sdp__media& a = sdp_.media[0];
  EXPECT_EQ(a.type, 'U');
  EXPECT_EQ(a.format_count, 2);
  EXPECT_EQ(a.attr[0].present, 1);
  EXPECT_STREQ(a.attr[1].encoding, "PCMU");
  EXPECT_EQ(a.attr[2].present, 0);
  const foip_sdp__media& m = sdp_.media[1];
  EXPECT_EQ(m.type, 'I');
  EXPECT_EQ(m.t38.udptl_param.t38_version, 1);
  EXPECT_EQ(m.t38.udptl_param.fax_max_bit_rate, 9600);
  EXPECT_EQ(m.t38.udptl_param.drate_mgt_method, 2);
  EXPECT_EQ(m.t38.udptl_param.udp_ec, 3);
  EXPECT_EQ(m.t38.udptl_param.max_datagram_size, 0xFFFF);
  EXPECT_EQ(m.t38.udptl_param.remove_fill_bits_t4, 1);
  const u8 want_state[9] = {1, 1, 1, 1, 1, 1, 0, 1, 1};
  for (int k = 0; k < 9; ++k) EXPECT_EQ(m.t38_state[k], want_state[k]) << k;
}

// An audio line listing nine formats with G.711 last still finds it.
TEST_F(FoipSdp, ManyPayloadFormatsStillFindG711) {
  offer();
  audio({18, 4, 3, 97, 98, 99, 100, 101, 0});
  ASSERT_EQ(decode_sdp__remote(SSC_INVITE_IN, h_, e_.env, sdp_, nullptr), FOIP_SDP__DECODED);
  EXPECT_EQ(sdp_.media[0].format_count, 9);
  u16 idx = 99;
  EXPECT_EQ(check_t38_cap_remote_vs_local(sdp_, e_.env, &idx, nullptr, nullptr), 1);
  EXPECT_EQ(idx, 0);
  adjust_sdp__audio_answer(sdp_.media[0]);
  EXPECT_EQ(sdp_.media[0].format_count, 1);
  EXPECT_EQ(sdp_.media[0].formats[0], 0);
}

// Twelve media lines: ten kept, twelve counted, so the caller can refuse.
TEST_F(FoipSdp, TwelveMediaKeepTenAndCountTwelve) {
  offer();
  for (int i = 0; i < 12; ++i) audio({8}, static_cast<u16>(5000 + 2 * i));
  u16 on = 0, total = 0;
  ASSERT_EQ(decode_sdp__remote(SSC_INVITE_IN, h_, e_.env, sdp_, &on, &total), FOIP_SDP__DECODED);
  EXPECT_EQ(sdp_.media_count, 10);
  EXPECT_EQ(on, 10);
  EXPECT_EQ(total, 12);
}

TEST(FoipSdpCompat, Table) {
  struct row {
    u8 transport, tcp_enabled, local_ec, remote_ec, local_rate, remote_rate, want;
  };
  const row rows[] = {
      {FOIP_SDP__UDPTL, 0, 1, 2, 2, 2, 3},  // FEC only against redundancy only
      {FOIP_SDP__UDPTL, 0, 2, 1, 2, 2, 3},
      {FOIP_SDP__UDPTL, 0, 3, 2, 2, 2, 2},  // local both takes anything
      {FOIP_SDP__UDPTL, 0, 1, 3, 2, 2, 2},
      {FOIP_SDP__UDPTL, 0, 2, 2, 1, 2, 3},  // localTCF only against transferredTCF only
      {FOIP_SDP__UDPTL, 0, 2, 2, 3, 1, 2},
      {FOIP_SDP__TCP, 0, 0, 0, 2, 2, 3},  // TCP not available
      {FOIP_SDP__TCP, 1, 0, 0, 2, 2, 2},
      {FOIP_SDP__TCP, 1, 0, 0, 2, 1, 3},
  };
  for (const row& r : rows) {
    foip_sdp__t38_param l = local_params(r.local_ec, r.local_rate);
    foip_sdp__t38_param rem = local_params(r.remote_ec, r.remote_rate);
    EXPECT_EQ(check_t38_cap_compatibility(l, r.transport, rem, r.tcp_enabled), r.want)
        << int(r.transport) << " " << int(r.local_ec) << "/" << int(r.remote_ec) << " " << int(r.local_rate) << "/"
        << int(r.remote_rate);
  }
}

TEST_F(FoipSdp, RedundancyOnlyOfferAgainstLocalFecFallsBackToAudio) {
  offer();
  audio({8, 0});
  image()->udp_ec = 2;
  e_.local = local_params(FOIP_SDP__UDP_FEC);
  ASSERT_EQ(decode_sdp__remote(SSC_INVITE_IN, h_, e_.env, sdp_, nullptr), FOIP_SDP__DECODED);
  u16 idx = 99, port = 0;
  EXPECT_EQ(check_t38_cap_remote_vs_local(sdp_, e_.env, &idx, &port, nullptr), 1);
  EXPECT_EQ(idx, 0);
  EXPECT_EQ(port, 4000);
  EXPECT_EQ(sdp_.media[1].selected, 0);
}

TEST_F(FoipSdp, AnswerNegotiatesT38AndKeepsMediaCount) {
  offer();
  audio({0, 8});
  ssc_hdr_sdp_t38* t = image();
  t->udp_ec = 2;
  t->max_bit_rate = 9600;
  t->max_buffer = 800;
  t->max_datagram = 200;
  image(FOIP_SDP__TCP);  // a TCP line the session may not use
  e_.local = local_params(FOIP_SDP__BOTH);
  ASSERT_EQ(decode_sdp__remote(SSC_INVITE_IN, h_, e_.env, sdp_, nullptr), FOIP_SDP__DECODED);
  u16 idx = 99, port = 0;
  ASSERT_EQ(check_t38_cap_remote_vs_local(sdp_, e_.env, &idx, &port, nullptr), 2);
  EXPECT_EQ(idx, 1);
  EXPECT_EQ(port, 4002);
  foip_sdp__t38_param run{};
  foip_sdp__make_answer(sdp_, e_.env, FOIP_SDP__ORIGIN_SEED, &run);
  ASSERT_EQ(sdp_.media_count, 3);
  EXPECT_EQ(sdp_.media[0].format_count, 1);  // audio cut to one G.711 format
  EXPECT_EQ(sdp_.media[0].formats[0], 0);
  const foip_sdp__media& m = sdp_.media[1];
  EXPECT_EQ(m.port, 4002);
  EXPECT_EQ(m.t38.udptl_param.udp_ec, FOIP_SDP__UDP_REDUNDANCY);
  EXPECT_EQ(m.t38.udptl_param.fax_max_bit_rate, 9600);
  EXPECT_EQ(m.t38.udptl_param.fax_max_buffer_size, 2000);  // announces the local sizes
  EXPECT_EQ(run.udptl_param.fax_max_buffer_size, 800);     // runs with the remote's
  EXPECT_EQ(run.udptl_param.max_datagram_size, 200);
  EXPECT_EQ(sdp_.media[2].transport, FOIP_SDP__TCP);
  EXPECT_EQ(sdp_.media[2].port, 0);  // refused
  EXPECT_STREQ(sdp_.version, "890844526");
  EXPECT_STREQ(sdp_.origin_user, "fax");
  EXPECT_EQ(sdp_.conn.family, 4);
}

// The first `n` media lines of `sdp`, one word each: type, transport
// (u UDPTL, t TCP, - RTP), + for a port or 0, and an audio line's formats.
std::string media_summary(const sip_mgt__sdp_contents& sdp, u16 n) {
  std::string got;
  for (u16 i = 0; i < n; ++i) {
    const foip_sdp__media& m = sdp.media[i];
    if (i) got += ' ';
    got += static_cast<char>(m.type);
    got += m.transport == FOIP_SDP__UDPTL ? 'u' : m.transport == FOIP_SDP__TCP ? 't' : '-';
    got += m.port ? '+' : '0';
    for (u8 f = 0; m.type == 'U' && f < m.format_count; ++f) got += static_cast<char>('0' + m.formats[f]);
  }
  return got;
}

TEST(FoipSdpOffer, MediaByOperatingMode) {
  struct row {
    u8 mode;
    u8 kind;
    u8 tcp;
    const char* want;  // per media: type letter, transport ('u', 't', '-'), port state ('+' on, '0' off), formats
  };
  const row rows[] = {
      {1, 'U', 0, "Iu+"},       {1, 'T', 0, ""},  // nothing to offer: no INVITE
      {1, 'T', 1, "It+"},       {1, 'X', 0, "Iu+ It0"},   {1, 'x', 1, "It+ Iu+"}, {2, 'U', 0, "U-+8 U-+0 Iu+"},
      {3, 'U', 0, "U-+8 U-+0"}, {4, 'U', 0, "U-+8 U-+0"}, {5, 'U', 0, "U-+80"},   {6, 'U', 0, "U-+80 Iu+"},
      {7, 'U', 0, "U-+80"},     {8, 'U', 0, "U-+80"},
  };
  for (const row& r : rows) {
    Env e;
    e.env.operating_mode = r.mode;
    e.env.kind_of_t38_transport = r.kind;
    e.env.tcp_enabled = r.tcp;
    sip_mgt__sdp_contents sdp;
    const u16 n = foip_sdp__create_offer(e.env, FOIP_SDP__ORIGIN_SEED, sdp);
    for (u16 i = 0; i < n; ++i) {
      const foip_sdp__media& m = sdp.media[i];
      for (u8 f = 0; m.type == 'U' && f < m.format_count; ++f)
        EXPECT_STREQ(m.attr[f].encoding, m.formats[f] == 8 ? "PCMA" : "PCMU");
    }
    EXPECT_EQ(media_summary(sdp, n), r.want) << "mode " << int(r.mode) << " kind " << r.kind;
    EXPECT_STREQ(sdp.version, "890844526");
    EXPECT_STREQ(sdp.session_name, "-");
    EXPECT_STREQ(sdp.origin_session_id, "2890844526");
  }
}

TEST(FoipSdpOffer, VersionGrowsOnlyWhenTheDescriptionChanges) {
  Env e;
  e.env.operating_mode = 2;
  u32 counter = FOIP_SDP__ORIGIN_SEED;
  sip_mgt__sdp_contents sdp, last;
  ASSERT_EQ(foip_sdp__create_offer(e.env, counter, sdp), 3);
  last = sdp;  // the first offer is stored as sent
  // Re-INVITE with the same media: same version.
  create_sdp__t38_media(FOIP_SDP__NO_INDEX, sdp, e.env);
  ASSERT_TRUE(create_sdp__main_body__origin__dscp(e.env, counter, sdp));
  EXPECT_FALSE(foip_sdp__update_version(sdp, last, counter));
  EXPECT_STREQ(sdp.version, "890844526");
  EXPECT_EQ(sdp.media_count, 3);  // rebuilt in place, not appended
  // Audio replaced by T.38: one more.
  sdp.media_count = 0;
  create_sdp__t38_media(FOIP_SDP__NO_INDEX, sdp, e.env);
  ASSERT_TRUE(create_sdp__main_body__origin__dscp(e.env, counter, sdp));
  EXPECT_TRUE(foip_sdp__update_version(sdp, last, counter));
  EXPECT_STREQ(sdp.version, "890844527");
  EXPECT_EQ(counter, 890844527u);
}

// The re-offer to T.38 keeps every line of the previous description in its
// place (disabled) and places one T.38 line per transport to offer.
TEST(FoipSdpOffer, ReofferKeepsEveryPreviousLine) {
  const auto lines_of = [](const sip_mgt__sdp_contents& sdp) { return media_summary(sdp, sdp.media_count); };
  struct row {
    u8 prev_mode;   // the first offer; 0: no previous description
    u8 first_kind;  // its transports
    u8 kind;
    u8 tcp;
    bool replace_audio;
    u16 placed;
    const char* want;
  };
  const row rows[] = {
      {4, 'U', 'U', 0, true, 1, "Iu+ U-00"},
      {4, 'X', 'X', 1, true, 2, "Iu+ It+"},
      {4, 'X', 'X', 0, true, 2, "Iu+ It0"},  // TCP announced off, as in a first offer
      {5, 'X', 'X', 1, true, 2, "Iu+ It+"},
      {8, 'X', 'X', 1, false, 2, "U-080 Iu+ It+"},
      {2, 'U', 'x', 1, false, 2, "U-08 U-00 Iu+ It+"},  // UDPTL in its place, TCP appended
      {6, 'U', 'U', 0, false, 1, "U-080 Iu+"},
      {2, 'x', 'x', 1, false, 2, "U-08 U-00 It+ Iu+"},  // both in their places
      {1, 'X', 'X', 1, false, 2, "Iu+ It+"},
      {0, 'U', 'U', 0, false, 1, "Iu+"},
      {5, 'U', 'T', 0, true, 0, "U-080"},  // nothing to offer
  };
  for (const row& r : rows) {
    Env e;
    e.env.operating_mode = r.prev_mode ? r.prev_mode : 1;
    e.env.kind_of_t38_transport = r.kind;
    e.env.tcp_enabled = r.tcp;
    sip_mgt__sdp_contents prev, sdp;
    if (r.prev_mode) {
      Env first;
      first.env.operating_mode = r.prev_mode;
      first.env.kind_of_t38_transport = r.first_kind;
      first.env.tcp_enabled = r.tcp;
      ASSERT_GT(foip_sdp__create_offer(first.env, 1, prev), 0);
    }
    sdp.media_count = 7;  // whatever the call held before is not kept
    EXPECT_EQ(foip_sdp__create_t38_reoffer(e.env, prev, r.replace_audio, sdp), r.placed)
        << "mode " << int(r.prev_mode) << " kind " << r.kind;
    EXPECT_EQ(lines_of(sdp), r.want) << "mode " << int(r.prev_mode) << " kind " << r.kind;
  }

  // Ten lines already: T.38 takes a line that was off, else an audio line.
  Env e;
  sip_mgt__sdp_contents prev, sdp;
  prev.present = 1;
  prev.media_count = FOIP_SDP__MAX_MEDIA;
  for (foip_sdp__media& m : prev.media) create_sdp__audio_codec(FOIP_SDP__PT_PCMA, m, e.env);
  prev.media[6].port = 0;
  ASSERT_EQ(foip_sdp__create_t38_reoffer(e.env, prev, false, sdp), 1);
  EXPECT_EQ(sdp.media_count, FOIP_SDP__MAX_MEDIA);
  EXPECT_EQ(lines_of(sdp), "U-08 U-08 U-08 U-08 U-08 U-08 Iu+ U-08 U-08 U-08");
  prev.media[6].port = 4000;
  ASSERT_EQ(foip_sdp__create_t38_reoffer(e.env, prev, false, sdp), 1);
  EXPECT_EQ(lines_of(sdp), "Iu+ U-08 U-08 U-08 U-08 U-08 U-08 U-08 U-08 U-08");
}

TEST(FoipSdpOffer, UnknownMediaAddressFamilyOffersNothing) {
  Env e;
  e.env.local_media_ip_addr.ip_addr.ip_family = 7;
  sip_mgt__sdp_contents sdp;
  EXPECT_EQ(foip_sdp__create_offer(e.env, 1, sdp), 0);
}

}  // namespace

namespace {

// The SDP text of a description: its SSC headers through the body glue.
std::string sdp_text(const sip_mgt__sdp_contents& sdp) {
  ssc_handle* h = Ssc_alloc_handle();
  EXPECT_EQ(Ssc_init_handle(h, ssc_msg_type::INVITE), 2);
  EXPECT_EQ(foip_sdp__build_headers(sdp, h), 2);
  EXPECT_EQ(ssc_sdp_encode_body(h), 2) << int(ssc_sdp_error.number) << " " << ssc_sdp_error.detail;
  std::string out;
  if (const auto* b = Ssc_first<ssc_hdr_body>(h, ssc_header_id::BODY))
    out.assign(reinterpret_cast<const char*>(b->bytes), b->length);
  Ssc_free_handle(h);
  return out;
}

class FoipSdpText : public FoipSdp {
 protected:
  // Reads an offer's SDP text through the body glue into the description.
  u8 read_text(const std::string& text, u16* total = nullptr) {
    ssc_handle* h = Ssc_alloc_handle();
    EXPECT_EQ(Ssc_init_handle(h, ssc_msg_type::INVITE), 2);
    auto* ct = static_cast<ssc_hdr_content_type*>(Ssc_alloc_header(h, ssc_header_id::CONTENT_TYPE));
    ct->type = 'A';
    ct->subtype = 'H';
    auto* b = static_cast<ssc_hdr_body*>(Ssc_alloc_header(h, ssc_header_id::BODY));
    b->part = 0xFF;
    b->length = static_cast<u16>(text.size());
    b->bytes = reinterpret_cast<const u8*>(text.data());
    EXPECT_EQ(ssc_sdp_decode_body(h), 2);
    const u8 r = decode_sdp__remote(SSC_INVITE_IN, h, e_.env, sdp_, nullptr, total);
    Ssc_free_handle(h);
    return r;
  }
};

constexpr char TEXT_HEAD[] = "v=0\r\no=peer 1 7 IN IP4 192.0.2.7\r\ns=-\r\nc=IN IP4 192.0.2.7\r\nt=0 0\r\n";

// RFC 3264: the answer has the offer's m-lines in the offer's order, the
// ones not taken with port 0.
TEST_F(FoipSdpText, AnswerKeepsTheOffersMediaOrder) {
  const std::string offer_text = std::string(TEXT_HEAD) +
                                 "m=image 6000 udptl t38\r\na=T38FaxUdpEC:t38UDPRedundancy\r\n"
                                 "m=audio 5000 RTP/AVP 0 8\r\n";
  ASSERT_EQ(read_text(offer_text), FOIP_SDP__DECODED);
  ASSERT_EQ(sdp_.media_count, 2);
  EXPECT_EQ(sdp_.media[0].type, FOIP_SDP__IMAGE);
  EXPECT_EQ(sdp_.media[1].type, FOIP_SDP__AUDIO);
  ASSERT_EQ(check_t38_cap_remote_vs_local(sdp_, e_.env, nullptr, nullptr, nullptr), 2);
  sdp_.media[1].port = 0;
  foip_sdp__make_answer(sdp_, e_.env, 890844530, nullptr);
  const std::string t = sdp_text(sdp_);
  const std::size_t image_line = t.find("m=image 4002 udptl t38\r\n");
  const std::size_t audio_line = t.find("m=audio 0 RTP/AVP");
  ASSERT_NE(image_line, std::string::npos) << t;
  ASSERT_NE(audio_line, std::string::npos) << t;
  EXPECT_LT(image_line, audio_line) << t;
}

// The m-lines of an SDP text, in order.
std::vector<std::string> media_lines(const std::string& t) {
  std::vector<std::string> out;
  for (std::size_t p = 0, e; (e = t.find("\r\n", p)) != std::string::npos; p = e + 2)
    if (t.compare(p, 2, "m=") == 0) out.push_back(t.substr(p, e - p));
  return out;
}

// Ten media of every kind (audio, video, T.38 over UDPTL and TCP, other
// media of several names): the T.38 line is taken, every other one is
// answered in its place with port 0, other media as offered.
TEST_F(FoipSdpText, TenMediaOfEveryKindAnsweredInOrder) {
  const std::string offer_text = std::string(TEXT_HEAD) +
                                 "m=audio 5000 RTP/AVP 0 8\r\n"
                                 "m=video 5002 RTP/AVP 31\r\n"
                                 "m=application 5004 udp wb\r\na=orient:portrait\r\n"
                                 "m=image 6000 udptl t38\r\na=T38FaxUdpEC:t38UDPRedundancy\r\n"
                                 "m=message 5006 TCP/MSRP *\r\na=path:msrp://192.0.2.7:5006/x;tcp\r\n"
                                 "m=text 5008 RTP/AVP 98\r\na=rtpmap:98 t140/1000\r\n"
                                 "m=image 6002 tcp t38\r\n"
                                 "m=audio 5010 RTP/AVP 8\r\n"
                                 "m=application 5012 TCP/BFCP *\r\n"
                                 "m=video 5014 RTP/AVP 34\r\n";
  u16 total = 0;
  ASSERT_EQ(read_text(offer_text, &total), FOIP_SDP__DECODED);
  EXPECT_EQ(total, 10);
  ASSERT_EQ(sdp_.media_count, 10);
  EXPECT_EQ(sdp_.media[2].type, FOIP_SDP__OTHER);
  EXPECT_STREQ(sdp_.media[2].other.name, "application");
  EXPECT_EQ(sdp_.media[2].port, 5004);
  EXPECT_STREQ(sdp_.media[4].other.transport, "TCP/MSRP");
  EXPECT_STREQ(sdp_.media[4].other.format, "*");
  u16 idx = 0, port = 0;
  ASSERT_EQ(check_t38_cap_remote_vs_local(sdp_, e_.env, &idx, &port, nullptr), 2);
  EXPECT_EQ(idx, 3);
  for (u16 i = 0; i < sdp_.media_count; ++i) sdp_.media[i].port = i == idx ? port : 0;
  foip_sdp__make_answer(sdp_, e_.env, 890844530, nullptr);
  const std::string t = sdp_text(sdp_);
  EXPECT_EQ(media_lines(t),
            (std::vector<std::string>{"m=audio 0 RTP/AVP 0 8", "m=video 0 RTP/AVP 31", "m=application 0 udp wb",
                                      "m=image 4002 udptl t38", "m=message 0 TCP/MSRP *", "m=text 0 RTP/AVP 98",
                                      "m=image 0 tcp t38", "m=audio 0 RTP/AVP 8", "m=application 0 TCP/BFCP *",
                                      "m=video 0 RTP/AVP 34"}))
      << t;
  // What the other media carried beside their m-line is not answered.
  EXPECT_EQ(t.find("a=orient"), std::string::npos) << t;
  EXPECT_EQ(t.find("a=path"), std::string::npos) << t;
}

// More media lines than a description holds: counted through the text
// codec, so that the offer can be refused rather than answered short.
TEST_F(FoipSdpText, ElevenAndTwelveMediaLinesAreCounted) {
  for (int n : {11, 12}) {
    std::string text = TEXT_HEAD;
    for (int i = 0; i < n; ++i)
      text += (i % 3 == 0   ? "m=image "
               : i % 3 == 1 ? "m=audio "
                            : "m=application ") +
              std::to_string(5000 + 2 * i) +
              (i % 3 == 0   ? " udptl t38\r\n"
               : i % 3 == 1 ? " RTP/AVP 0\r\n"
                            : " udp wb\r\n");
    u16 total = 0;
    ASSERT_EQ(read_text(text, &total), FOIP_SDP__DECODED) << n;
    EXPECT_EQ(sdp_.media_count, FOIP_SDP__MAX_MEDIA) << n;
    EXPECT_EQ(total, n);
  }
}

// Nine payload formats on one line, PCMU last, through the SDP text codec.
TEST_F(FoipSdpText, NineFormatsThroughTheTextCodecStillFindG711) {
  ASSERT_EQ(read_text(std::string(TEXT_HEAD) + "m=audio 5000 RTP/AVP 18 4 3 97 98 99 101 9 0\r\n"
                                               "a=rtpmap:97 iLBC/8000\r\na=rtpmap:98 speex/8000\r\n"
                                               "a=rtpmap:99 GSM-EFR/8000\r\na=rtpmap:101 telephone-event/8000\r\n"),
            FOIP_SDP__DECODED);
  ASSERT_EQ(sdp_.media_count, 1);
  EXPECT_EQ(sdp_.media[0].format_count, 9);
  EXPECT_EQ(check_t38_cap_remote_vs_local(sdp_, e_.env, nullptr, nullptr, nullptr), 1);
  adjust_sdp__audio_answer(sdp_.media[0]);
  EXPECT_EQ(sdp_.media[0].formats[0], 0);
}

TEST_F(FoipSdpText, OfferOfModeTwoAsText) {
  e_.env.operating_mode = 2;
  ASSERT_EQ(foip_sdp__create_offer(e_.env, FOIP_SDP__ORIGIN_SEED, sdp_), 3);
  const std::string t = sdp_text(sdp_);
  EXPECT_NE(t.find("o=fax 2890844526 890844526 IN IP4 tessaly.invalid\r\n"), std::string::npos) << t;
  EXPECT_NE(t.find("s=-\r\n"), std::string::npos) << t;
  EXPECT_NE(t.find("c=IN IP4 127.0.0.1\r\n"), std::string::npos) << t;
  const std::size_t a = t.find("m=audio 4000 RTP/AVP 8\r\n");
  const std::size_t b = t.find("m=audio 4000 RTP/AVP 0\r\n");
  const std::size_t c = t.find("m=image 4002 udptl t38\r\n");
  ASSERT_NE(a, std::string::npos) << t;
  ASSERT_NE(b, std::string::npos) << t;
  ASSERT_NE(c, std::string::npos) << t;
  EXPECT_LT(a, b);
  EXPECT_LT(b, c);
  EXPECT_NE(t.find("a=rtpmap:8 PCMA/8000\r\n"), std::string::npos) << t;
  EXPECT_NE(t.find("a=T38FaxMaxDatagram:400\r\n"), std::string::npos) << t;
  EXPECT_NE(t.find("a=T38FaxUdpEC:t38UDPRedundancy\r\n"), std::string::npos) << t;
  EXPECT_NE(t.find("a=T38FaxFillBitRemoval\r\n"), std::string::npos) << t;
}

TEST_F(FoipSdpText, AnswerAsText) {
  offer();
  ssc_hdr_sdp_t38* t38 = image();
  t38->max_bit_rate = 9600;
  t38->udp_ec = 2;
  ASSERT_EQ(decode_sdp__remote(SSC_INVITE_IN, h_, e_.env, sdp_, nullptr), FOIP_SDP__DECODED);
  ASSERT_EQ(check_t38_cap_remote_vs_local(sdp_, e_.env, nullptr, nullptr, nullptr), 2);
  foip_sdp__make_answer(sdp_, e_.env, 890844530, nullptr);
  const std::string t = sdp_text(sdp_);
  EXPECT_NE(t.find("o=fax 2890844526 890844530 IN IP4 tessaly.invalid\r\n"), std::string::npos) << t;
  EXPECT_NE(t.find("m=image 4002 udptl t38\r\n"), std::string::npos) << t;
  EXPECT_NE(t.find("a=T38MaxBitRate:9600\r\n"), std::string::npos) << t;
  EXPECT_EQ(t.find("m=audio"), std::string::npos) << t;
}

}  // namespace
