// One SDP offer/answer round of the FOIP entity: a peer's offer (audio and
// T.38) as SDP text read into SSC SDP headers, the INVITE packed as ENT_SSC
// sends it and read back as ENT_FOIP receives it, the description read, the
// answer media chosen and negotiated, the answer built as SSC SDP headers,
// packed for ENT_SSC and written as SDP text.
#include <benchmark/benchmark.h>

#include <cstring>

#include "runtime/entity.h"
#include "runtime/msg.h"
#include "runtime/om_os.h"
#include "session/foip/foip_sdp.h"
#include "sip/prim/ssc_codes.h"
#include "sip/prim/ssc_sdp_glue.h"

namespace {

void free_handler(msg_t* m) { Free_msg(m); }

const entity_table_row_t TABLE[] = {
    {ENT_SM, free_handler, 0, 0, nullptr, 0},
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

constexpr char OFFER[] =
    "v=0\r\n"
    "o=peer 1 7 IN IP4 192.0.2.7\r\n"
    "s=-\r\n"
    "c=IN IP4 192.0.2.7\r\n"
    "t=0 0\r\n"
    "m=audio 5000 RTP/AVP 0 8\r\n"
    "a=rtpmap:0 PCMU/8000\r\n"
    "a=rtpmap:8 PCMA/8000\r\n"
    "m=image 6000 udptl t38\r\n"
    "a=T38FaxVersion:0\r\n"
    "a=T38MaxBitRate:9600\r\n"
    "a=T38FaxRateManagement:transferredTCF\r\n"
    "a=T38FaxMaxBuffer:800\r\n"
    "a=T38FaxMaxDatagram:200\r\n"
    "a=T38FaxUdpEC:t38UDPRedundancy\r\n";

ssc_handle* new_handle(ssc_msg_type type) {
  ssc_handle* h = Ssc_alloc_handle();
  if (h != nullptr && Ssc_init_handle(h, type) != 2) {
    Ssc_free_handle(h);
    return nullptr;
  }
  return h;
}

void BM_OfferAnswerRound(benchmark::State& state) {
  om_os_start_options o;
  o.table = TABLE;
  o.sm_thread = false;
  o.timer_thread = false;
  o.bkgr_thread = false;
  om_os_start_with(o);
  foip_sdp__t38_param local{};
  local.udptl_param.fax_max_bit_rate = 14400;
  local.udptl_param.udp_ec = FOIP_SDP__BOTH;
  local.udptl_param.drate_mgt_method = FOIP_SDP__TRANSFERRED_TCF;
  local.udptl_param.fax_max_buffer_size = 2000;
  local.udptl_param.max_datagram_size = 400;
  foip_sdp__env env;
  env.local = &local;
  env.user_name = "fax";
  env.audio_port = 4000;
  env.udp_t38_port = 4002;
  env.local_media_ip_addr.ip_addr.ip_family = OM_IP_FAMILY_V4;
  static sip_mgt__sdp_contents sdp;
  ssc_handle* rx = Ssc_alloc_handle();
  const u16 n = sizeof OFFER - 1;
  for (auto _ : state) {
    ssc_handle* in = new_handle(ssc_msg_type::INVITE);
    auto* ct = static_cast<ssc_hdr_content_type*>(Ssc_alloc_header(in, ssc_header_id::CONTENT_TYPE));
    auto* b = static_cast<ssc_hdr_body*>(Ssc_alloc_header(in, ssc_header_id::BODY));
    auto* text = static_cast<u8*>(Ssc_alloc_area(in, n));
    ct->type = 'A';
    ct->subtype = 'H';
    std::memcpy(text, OFFER, n);
    b->part = 0xFF;
    b->length = n;
    b->bytes = text;
    if (ssc_sdp_decode_body(in) != 2) state.SkipWithError("glue decode");
    // ENT_SSC to ENT_FOIP: the INVITE packed, then read into the receive handle.
    msg_t* up = SIP_sc_format_rq(5, 62, 0xFF, in);
    if (up == nullptr) state.SkipWithError("pack INVITE");
    up->code = SSC_INVITE_IN;
    if (Ssc_unformat_msg(rx, up) != 2) state.SkipWithError("unpack INVITE");
    if (decode_sdp__remote(SSC_INVITE_IN, rx, env, sdp, nullptr) != FOIP_SDP__DECODED) state.SkipWithError("decode");
    if (check_t38_cap_remote_vs_local(sdp, env, nullptr, nullptr, nullptr) != 2) state.SkipWithError("choose");
    foip_sdp__make_answer(sdp, env, FOIP_SDP__ORIGIN_SEED, nullptr);
    ssc_handle* out = new_handle(ssc_msg_type::INVITE_RS);
    if (foip_sdp__build_headers(sdp, out) != 2) state.SkipWithError("build");
    // ENT_FOIP to ENT_SSC: the answer packed, then written as SDP text.
    msg_t* down = SIP_sc_format_rq(5, 62, 0xFF, out);
    if (down == nullptr) state.SkipWithError("pack answer");
    if (ssc_sdp_encode_body(out) != 2) state.SkipWithError("glue encode");
    benchmark::DoNotOptimize(Ssc_first<ssc_hdr_body>(out, ssc_header_id::BODY));
    Free_msg(down);
    Free_msg(up);
    Ssc_free_handle(out);
    Ssc_free_handle(in);
  }
  (void)Ssc_init_handle(rx, ssc_msg_type::NONE);
  Ssc_free_handle(rx);
  om_os_stop();
}
BENCHMARK(BM_OfferAnswerRound)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
