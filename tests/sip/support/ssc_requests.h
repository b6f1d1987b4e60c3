// Requests as ENT_SIP hands them to ENT_SSC: handles built header by header
// and turned into SIP primitive bodies by the record codec.
#pragma once
#include <cstring>
#include <initializer_list>
#include <utility>
#include <vector>

#include "runtime/buffer.h"
#include "sip/codec/sdp.h"
#include "sip/codec/ssc_msg.h"
#include "sip/codec/ssc_record_codec.h"

namespace ssc_test {

template <class R>
R* add(ssc_handle* h, ssc_header_id id) {
  return static_cast<R*>(Ssc_alloc_header(h, id));
}

// An INVITE from 127.0.0.1 with the usual headers; `require` lists option
// tags as (code, text) pairs (code 0xFF: unknown, by its text); with `t38`
// a T.38 description.
inline ssc_handle* invite(const std::vector<std::pair<u8, const char*>>& require = {}, bool t38 = false,
                          const char* from_tag = "1928301774") {
  using H = ssc_header_id;
  ssc_handle* h = Ssc_alloc_handle();
  if (h == nullptr || Ssc_init_handle(h, ssc_msg_type::INVITE) != 2) return nullptr;
  const u8 lo[4] = {127, 0, 0, 1};
  h->addr_family = '4';
  h->addr_port = 5070;
  std::memcpy(h->addr_v4, lo, 4);
  auto* ru = add<ssc_hdr_request_uri>(h, H::REQUEST_URI);
  ru->uri.scheme = 1;
  ru->uri.user = "fax";
  ru->uri.host_family = '4';
  std::memcpy(ru->uri.host_v4, lo, 4);
  ru->uri.port = 5060;
  auto* ci = add<ssc_hdr_call_id>(h, H::CALL_ID);
  ci->local = "a84b4c76e66710";
  ci->family = '4';
  std::memcpy(ci->v4, lo, 4);
  for (H id : {H::FROM, H::TO}) {
    auto* n = add<ssc_hdr_name_addr>(h, id);
    n->b1 = 0;
    n->uri.scheme = 1;
    n->uri.user = id == H::FROM ? "caller" : "fax";
    n->uri.host_family = '4';
    std::memcpy(n->uri.host_v4, lo, 4);
    n->uri.port = 0xFFFF;
    if (id == H::FROM) n->s3 = from_tag;
  }
  auto* c = add<ssc_hdr_contact>(h, H::CONTACT);
  c->b1 = 0;
  c->uri.scheme = 1;
  c->uri.user = "caller";
  c->uri.host_family = '4';
  std::memcpy(c->uri.host_v4, lo, 4);
  c->uri.port = 5070;
  auto* v = add<ssc_hdr_via>(h, H::VIA);
  v->protocol = 1;
  v->s2 = "2.0";
  v->transport = 'U';
  v->family1 = '4';
  std::memcpy(v->v4_1, lo, 4);
  v->port = 5070;
  v->w2 = 0xFFFF;
  v->b3 = 0xFF;
  add<ssc_hdr_u32>(h, H::MAX_FORWARDS)->value = 70;
  for (const auto& [code, text] : require) {
    auto* r = add<ssc_hdr_code_text>(h, H::REQUIRE);
    r->code = code;
    r->text = text;
  }
  if (t38) {
    auto* ct = add<ssc_hdr_content_type>(h, H::CONTENT_TYPE);
    ct->type = 'A';
    ct->subtype = 'H';
    auto* s = add<ssc_hdr_sdp_session>(h, H::SDP_MAIN_BODY);
    s->net_type = 'I';
    s->family = '4';
    std::memcpy(s->v4, lo, 4);
    s->session_name = "-";
    s->start_time = "0";
    s->stop_time = "0";
    auto* o = add<ssc_hdr_sdp_origin>(h, H::ORIGIN_CNCT_DESCR);
    o->net_type = 'I';
    o->user = "caller";
    o->session_id = "1";
    o->version = "1";
    o->family = '4';
    std::memcpy(o->v4, lo, 4);
    auto* t = add<ssc_hdr_sdp_t38>(h, H::T38_CNCT_DESCR);
    t->kind = 'I';
    t->format = '8';
    t->port = 40000;
    t->transport = SDP_TRANSPORT_UDPTL;
    t->version = 0;
    t->max_bit_rate = 14400;
    t->fill_bit_removal = 0;
    t->mmr = 0;
    t->jbig = 0;
    t->rate_management = SDP_RATEMGMT_TRANSFERRED_TCF;
    t->max_buffer = 2000;
    t->max_datagram = 400;
    t->udp_ec = SDP_UDPEC_REDUNDANCY;
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
