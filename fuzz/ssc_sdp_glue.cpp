// Feeds arbitrary text as the SDP body of a received INVITE through the body
// glue.  A body that is taken becomes SSC SDP headers; those go back through
// the encoding glue, and the text it writes must be accepted by the SDP
// parser.  Every input must end without a crash or hang, and every buffer
// must come back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "sip/prim/ssc_sdp_glue.h"
#include "tests/sip/prim/support/ssc_fuzz_runtime.h"

namespace {

using ssc_fuzz::held;
using ssc_fuzz::new_handle;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ssc_fuzz::start_glue_runtime();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1500) return 0;
  const int base = held();
  ssc_handle* h = new_handle(ssc_msg_type::INVITE);
  if (h == nullptr) return 0;
  auto* ct = static_cast<ssc_hdr_content_type*>(Ssc_alloc_header(h, ssc_header_id::CONTENT_TYPE));
  auto* b = static_cast<ssc_hdr_body*>(Ssc_alloc_header(h, ssc_header_id::BODY));
  auto* text = static_cast<u8*>(Ssc_alloc_area(h, static_cast<u16>(size + 1)));
  if (ct == nullptr || b == nullptr || text == nullptr) std::abort();
  ct->type = 'A';
  ct->subtype = 'H';
  if (size > 0) std::memcpy(text, data, size);
  b->part = 0xFF;
  b->length = static_cast<u16>(size);
  b->bytes = text;

  if (ssc_sdp_decode_body(h) == 2 && Ssc_first<ssc_hdr_sdp_session>(h, ssc_header_id::SDP_MAIN_BODY) != nullptr) {
    if (ssc_sdp_encode_body(h) == 2) {
      const auto* out = Ssc_first<ssc_hdr_body>(h, ssc_header_id::BODY);
      if (out == nullptr) std::abort();
      // What we write, a peer's parser (ours) accepts.
      static sdp_session session;
      static sdp_origin origin;
      static sdp_media_av av[SDP_MAX_AV];
      static sdp_rtpmap rtpmap[SDP_MAX_RTPMAP];
      static sdp_media_other other[SDP_MAX_OTHER];
      static sdp_media_image image[SDP_MAX_IMAGE];
      session = {};
      origin = {};
      sdp_desc d;
      d.session = &session;
      d.origin = &origin;
      d.av = av;
      d.rtpmap = rtpmap;
      d.other = other;
      d.image = image;
      // Room for ten media lines, each with its extra lines.
      static uint8_t work[4096];
      sdp_work_buf w{work, 0, sizeof work};
      const char* pos = reinterpret_cast<const char*>(out->bytes);
      sdp_reason why = sdp_reason::none;
      const uint8_t r = sdp_parse(&pos, pos + out->length, &d, &w, 0, &why);
      if (r != SDP_PARSE_END && r != SDP_PARSE_EMPTY_LINE) std::abort();
    }
  }
  Ssc_free_handle(h);
  if (held() != base) std::abort();
  return 0;
}
