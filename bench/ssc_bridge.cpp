// SSC-to-SIP bridge speed, both directions, in messages per second:
//   down: an SSC INVITE with a T.38 offer, built as the fax session builds it
//         -> SDP body glue -> record codec (primitive body) -> downward
//         dispatch (element decoders, header work area) -> SIP text encoder;
//   up:   the text of a 200 answer with T.38 SDP -> SIP parser -> upward
//         primitive body -> record codec decode walk (handle) -> SDP glue
//         (SSC SDP headers).
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "runtime/entity.h"
#include "runtime/msg.h"
#include "runtime/om_os.h"
#include "sip/prim/sip_elem.h"
#include "sip/text/sip_encode.h"
#include "sip/text/sip_parse.h"
#include "sip/prim/sip_prim_dispatch.h"
#include "sip/prim/ssc_record_codec.h"
#include "sip/prim/ssc_sdp_glue.h"
#include "tests/sip/prim/support/ssc_invite.h"
#include "tests/sip/support/quiet_runtime.h"

namespace {

using H = ssc_header_id;

void start_runtime() { sip_rt::start_once(); }

ssc_handle* t38_invite() {
  ssc_handle* h = Ssc_alloc_handle();
  Ssc_init_handle(h, ssc_msg_type::INVITE);
  ssc_test::invite_fields f;
  f.call_id_host = "tessaly.example";
  f.from_user = "sender";
  f.party_host = "example.org";
  f.contact_user = nullptr;
  f.local_port = 5062;
  ssc_test::add_invite_headers(h, f);
  ssc_test::add_t38_body(h, {});
  return h;
}

std::size_t text_bytes = 0;

void BM_HandleToText(benchmark::State& state) {
  start_runtime();
  // The transaction entity's side, reduced to what the chain needs.
  sip_encode_env = sip_encode_services{};
  sip_encode_env.cseq_request = [] {
    sip_hdr_area.cseq.number = 1;
    sip_hdr_area.cseq.method = 0xC1;
    sip_hdr_area.count[sip_hdr_slot(sip_header_id::cseq)] = 1;
  };
  sip_encode_env.send_by_kind = [](buffer_t* chain) -> std::uint8_t {
    text_bytes = Buffer_chain_length(chain);
    Free_buffer(chain);
    return 2;
  };
  sip_dispatch_env = sip_dispatch_hooks{};
  sip_dispatch_env.endpoint_ready = [] { return true; };
  sip_dispatch_env.call_check = [](std::uint16_t) -> std::uint8_t { return 2; };
  sip_dispatch_env.send_prim = []() -> std::uint8_t {
    sip_encode_kind = sip_dispatch_code_copy;
    return sip_encode_message(SIP_ENCODE_CALL);
  };
  static bool failed;
  failed = false;
  sip_dispatch_env.send_error_in = [](std::uint16_t, std::uint8_t, std::uint8_t, std::uint8_t, std::uint8_t) {
    failed = true;
  };
  for (auto _ : state) {
    ssc_handle* h = t38_invite();
    if (ssc_sdp_encode_body(h) != 2) state.SkipWithError("glue");
    buffer_t* body = nullptr;
    if (ssc_encode_to_sip(h, &body, nullptr) != SSC_RC_OK) state.SkipWithError("record codec");
    msg_t* m = Alloc_msg();
    m->code = 'A';
    m->conn_id = 1;
    Msg_attach_chain(m, body);
    text_bytes = 0;
    sip_prim_dispatch_down(m);
    if (failed || text_bytes == 0) state.SkipWithError("dispatch or encoder");
    Free_msg(m);
    Ssc_free_handle(h);
    sip_work__release();
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_HandleToText);

const char* const ANSWER =
    "SIP/2.0 200 OK\r\n"
    "Via: SIP/2.0/UDP 127.0.0.1:5062;branch=z9hG4bK-1-1\r\n"
    "From: <sip:sender@example.org>;tag=1928301774\r\n"
    "To: <sip:fax@example.org>;tag=5\r\n"
    "Call-ID: a84b4c76e66710@tessaly.example\r\n"
    "CSeq: 1 INVITE\r\n"
    "Contact: <sip:fax@127.0.0.1:5060>\r\n"
    "Content-Type: application/sdp\r\n"
    "Content-Length: 286\r\n\r\n"
    "v=0\r\no=peer 53655765 2353687637 IN IP4 127.0.0.1\r\ns=-\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
    "m=image 6000 udptl t38\r\na=T38FaxVersion:0\r\na=T38MaxBitRate:14400\r\n"
    "a=T38FaxRateManagement:transferredTCF\r\na=T38FaxMaxBuffer:2000\r\na=T38FaxMaxDatagram:400\r\n"
    "a=T38FaxUdpEC:t38UDPRedundancy\r\n";

void BM_TextToHandle(benchmark::State& state) {
  start_runtime();
  const std::string answer = [] {
    std::string a = ANSWER;
    const std::size_t body = a.find("\r\n\r\n") + 4;
    const std::string len = std::to_string(a.size() - body);
    a.replace(a.find("286"), 3, len);
    return a;
  }();
  std::vector<char> text;
  std::vector<u8> flat(65536);
  for (auto _ : state) {
    text.assign(answer.begin(), answer.end());
    sip_work__release();
    sip_parser parser;
    sip_parse__start(parser, text.data(), text.size());
    if (sip_parse_message(parser, 1) != SIP_PARSE_DONE) state.SkipWithError("parse");
    buffer_t* body = nullptr;
    if (sip_prim__build_up(sip_kind_index_rs[1], 0, &body) != 2) state.SkipWithError("build");
    u32 len = 0;
    Reassemble_buffers(flat.data(), static_cast<u32>(flat.size()), body, &len);
    ssc_handle* h = Ssc_alloc_handle();
    Ssc_init_handle(h, ssc_msg_type::INVITE_RS);
    if (ssc_decode_from_sip(h, flat.data(), static_cast<u16>(len), nullptr) != SSC_RC_OK)
      state.SkipWithError("record codec");
    if (ssc_sdp_decode_body(h) != 2 || Ssc_first<ssc_hdr_sdp_t38>(h, H::T38_CNCT_DESCR) == nullptr)
      state.SkipWithError("glue");
    Free_buffer(body);
    Ssc_free_handle(h);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TextToHandle);

}  // namespace

BENCHMARK_MAIN();
