// Feeds arbitrary text as the SDP body of a received INVITE: the body glue
// turns it into SSC SDP headers, then the FOIP entity reads the description,
// chooses the answer media and builds the answer and a re-INVITE offer.
// Every input must end without a crash or hang, keep every text terminated
// and every count within its array, and every buffer must come back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "session/foip/foip_sdp.h"
#include "sip/prim/ssc_codes.h"
#include "sip/prim/ssc_sdp_glue.h"
#include "tests/sip/prim/support/ssc_fuzz_runtime.h"

namespace {

using ssc_fuzz::held;
using ssc_fuzz::new_handle;

template <std::size_t N>
void check_text(const char (&t)[N]) {
  if (std::memchr(t, '\0', N) == nullptr) std::abort();
}

void check(const sip_mgt__sdp_contents& s) {
  if (s.media_count > FOIP_SDP__MAX_MEDIA) std::abort();
  check_text(s.version);
  check_text(s.session_name);
  check_text(s.origin_user);
  check_text(s.conn.host);
  for (u16 i = 0; i < s.media_count; ++i) {
    const foip_sdp__media& m = s.media[i];
    if (m.format_count > FOIP_SDP__MAX_FORMATS) std::abort();
    check_text(m.conn.host);
    check_text(m.other.name);
    check_text(m.other.transport);
    check_text(m.other.format);
    for (const foip_sdp__attr& a : m.attr) {
      check_text(a.encoding);
      check_text(a.fmtp);
    }
  }
}

foip_sdp__t38_param g_local{};
foip_sdp__env g_env;
sip_mgt__sdp_contents g_sdp, g_last;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ssc_fuzz::start_glue_runtime();
  g_local.udptl_param.fax_max_bit_rate = 14400;
  g_local.udptl_param.udp_ec = FOIP_SDP__BOTH;
  g_local.udptl_param.drate_mgt_method = FOIP_SDP__BOTH;
  g_local.udptl_param.fax_max_buffer_size = 2000;
  g_local.udptl_param.max_datagram_size = 400;
  g_local.tpkt_param.fax_max_bit_rate = 14400;
  g_local.tpkt_param.drate_mgt_method = FOIP_SDP__TRANSFERRED_TCF;
  g_env.local = &g_local;
  g_env.user_name = "fax";
  g_env.audio_port = 4000;
  g_env.udp_t38_port = 4002;
  g_env.tcp_t38_port = 4004;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1500 || size < 1) return 0;
  const int base = held();
  ssc_handle* h = new_handle(ssc_msg_type::INVITE);
  if (h == nullptr) return 0;
  auto* ct = static_cast<ssc_hdr_content_type*>(Ssc_alloc_header(h, ssc_header_id::CONTENT_TYPE));
  auto* b = static_cast<ssc_hdr_body*>(Ssc_alloc_header(h, ssc_header_id::BODY));
  auto* text = static_cast<u8*>(Ssc_alloc_area(h, static_cast<u16>(size)));
  if (ct == nullptr || b == nullptr || text == nullptr) std::abort();
  ct->type = 'A';
  ct->subtype = 'H';
  // The first byte picks the session's transport kind and TCP availability.
  static constexpr u8 KINDS[4] = {'U', 'T', 'X', 'x'};
  g_env.kind_of_t38_transport = KINDS[data[0] & 3];
  g_env.tcp_enabled = (data[0] >> 2) & 1;
  g_env.operating_mode = static_cast<u8>(1 + ((data[0] >> 3) & 7));
  std::memcpy(text, data, size);
  b->part = 0xFF;
  b->length = static_cast<u16>(size);
  b->bytes = text;

  if (ssc_sdp_decode_body(h) == 2) {
    u16 on = 0, total = 0;
    const u8 r = decode_sdp__remote(SSC_INVITE_IN, h, g_env, g_sdp, &on, &total);
    if (r < 1 || r > 4 || on > total) std::abort();
    // Every media line is kept while there are at most ten.
    if (total <= FOIP_SDP__MAX_MEDIA && g_sdp.media_count != total) std::abort();
    check(g_sdp);
    if (r == FOIP_SDP__DECODED) {
      u16 idx = FOIP_SDP__NO_INDEX, port = 0, nat = 0;
      const u8 c = check_t38_cap_remote_vs_local(g_sdp, g_env, &idx, &port, &nat);
      if (c > 2 || (c != 0 && idx >= g_sdp.media_count)) std::abort();
      const u16 before = g_sdp.media_count;
      foip_sdp__t38_param run{};
      foip_sdp__make_answer(g_sdp, g_env, FOIP_SDP__ORIGIN_SEED, &run);
      if (g_sdp.media_count != before) std::abort();
      check(g_sdp);
      // The answer goes out as SDP text with as many m-lines as were kept.
      if (ssc_handle* out = new_handle(ssc_msg_type::INVITE_RS)) {
        if (foip_sdp__build_headers(g_sdp, out) == 2 && ssc_sdp_encode_body(out) == 2) {
          const auto* ab = Ssc_first<ssc_hdr_body>(out, ssc_header_id::BODY);
          if (ab == nullptr) std::abort();
          u16 mlines = 0;
          for (u16 i = 0; i + 2 < ab->length; ++i)
            if ((i == 0 || ab->bytes[i - 1] == '\n') && ab->bytes[i] == 'm' && ab->bytes[i + 1] == '=') ++mlines;
          // Audio or video lines without any format are the only ones left out.
          u16 want = 0;
          for (u16 i = 0; i < g_sdp.media_count; ++i)
            if (g_sdp.media[i].type == FOIP_SDP__IMAGE || g_sdp.media[i].type == FOIP_SDP__OTHER ||
                g_sdp.media[i].format_count != 0)
              ++want;
          if (mlines != want) std::abort();
        }
        Ssc_free_handle(out);
      }
      u32 counter = FOIP_SDP__ORIGIN_SEED;
      (void)foip_sdp__update_version(g_sdp, g_last, counter);
      create_sdp__t38_media(FOIP_SDP__NO_INDEX, g_sdp, g_env);
      check(g_sdp);
    }
  }
  Ssc_free_handle(h);
  if (held() != base) std::abort();
  return 0;
}
