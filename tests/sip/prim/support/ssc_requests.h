// Requests as ENT_SIP hands them to ENT_SSC: handles built header by header
// and turned into SIP primitive bodies by the record codec.
#pragma once
#include <cstring>
#include <initializer_list>
#include <utility>
#include <vector>

#include "runtime/buffer.h"
#include "sip/text/sdp.h"
#include "sip/prim/ssc_msg.h"
#include "sip/prim/ssc_record_codec.h"
#include "tests/sip/prim/support/ssc_invite.h"

namespace ssc_test {

// An INVITE from 127.0.0.1 with the usual headers; `require` lists option
// tags as (code, text) pairs (code 0xFF: unknown, by its text); with `t38`
// a T.38 description.
inline ssc_handle* invite(const std::vector<std::pair<u8, const char*>>& require = {}, bool t38 = false,
                          const char* from_tag = "1928301774") {
  ssc_handle* h = Ssc_alloc_handle();
  if (h == nullptr || Ssc_init_handle(h, ssc_msg_type::INVITE) != 2) return nullptr;
  invite_fields f;
  f.addr_port = 5070;
  f.from_user = "caller";
  f.from_tag = from_tag;
  f.contact_user = "caller";
  f.local_port = 5070;
  add_invite_headers(h, f);
  for (const auto& [code, text] : require) {
    auto* r = add<ssc_hdr_code_text>(h, ssc_header_id::REQUIRE);
    r->code = code;
    r->text = text;
  }
  if (t38) {
    t38_offer_fields o;
    o.user = "caller";
    add_t38_body(h, o);
  }
  return h;
}

// The handle as a flat SIP primitive body (empty on failure).
inline std::vector<u8> sip_body(ssc_handle* h) {
  buffer_t* out = nullptr;
  ssc_rc_fail fail;
  if (ssc_encode_to_sip(h, &out, &fail) != SSC_RC_OK) return {};
  std::vector<u8> flat(Buffer_chain_length(out));
  u32 len = 0;
  Reassemble_buffers(flat.data(), static_cast<u32>(flat.size()), out, &len);
  Free_buffer(out);
  flat.resize(len);
  return flat;
}

}  // namespace ssc_test
