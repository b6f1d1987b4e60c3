// Headers of an SSC INVITE as the fax session fills them in, for tests,
// benches and fuzz targets: the request line, dialog and routing headers,
// and the SDP headers of a T.38 offer. The caller allocates and initialises
// the handle; the builders only add headers, in the order the session does.
#pragma once
#include <cstring>

#include "sip/text/sdp.h"
#include "sip/prim/ssc_msg.h"

namespace ssc_test {

template <class R>
R* add(ssc_handle* h, ssc_header_id id) {
  return static_cast<R*>(Ssc_alloc_header(h, id));
}

inline constexpr u8 LOOPBACK[4] = {127, 0, 0, 1};

// What differs between the INVITEs built here; hosts left null are 127.0.0.1.
struct invite_fields {
  u16 addr_port = 5060;  // where the request goes
  u16 uri_port = 5060;   // port of the request-URI
  const char* call_id = "a84b4c76e66710";
  const char* call_id_host = nullptr;  // a name instead of the address
  const char* from_user = "tessaly";
  const char* party_host = nullptr;  // host of From and To, by name
  const char* from_tag = "1928301774";
  const char* contact_user = "tessaly";  // null: no user part
  u16 local_port = 5060;                 // Contact and Via port
};

// Request-URI, Call-ID, From, To, Contact, Via and Max-Forwards.
inline void add_invite_headers(ssc_handle* h, const invite_fields& f) {
  using H = ssc_header_id;
  h->addr_family = '4';
  h->addr_port = f.addr_port;
  std::memcpy(h->addr_v4, LOOPBACK, 4);
  auto* ru = add<ssc_hdr_request_uri>(h, H::REQUEST_URI);
  ru->uri.scheme = 1;
  ru->uri.user = "fax";
  ru->uri.host_family = '4';
  std::memcpy(ru->uri.host_v4, LOOPBACK, 4);
  ru->uri.port = f.uri_port;
  auto* ci = add<ssc_hdr_call_id>(h, H::CALL_ID);
  ci->local = f.call_id;
  if (f.call_id_host != nullptr) {
    ci->family = 'N';
    ci->host = f.call_id_host;
  } else {
    ci->family = '4';
    std::memcpy(ci->v4, LOOPBACK, 4);
  }
  for (H id : {H::FROM, H::TO}) {
    auto* n = add<ssc_hdr_name_addr>(h, id);
    n->b1 = 0;
    n->uri.scheme = 1;
    n->uri.user = id == H::FROM ? f.from_user : "fax";
    if (f.party_host != nullptr) {
      n->uri.host_family = 'N';
      n->uri.host_name = f.party_host;
    } else {
      n->uri.host_family = '4';
      std::memcpy(n->uri.host_v4, LOOPBACK, 4);
    }
    n->uri.port = 0xFFFF;
    if (id == H::FROM) n->s3 = f.from_tag;
  }
  auto* c = add<ssc_hdr_contact>(h, H::CONTACT);
  c->b1 = 0;
  c->uri.scheme = 1;
  if (f.contact_user != nullptr) c->uri.user = f.contact_user;
  c->uri.host_family = '4';
  std::memcpy(c->uri.host_v4, LOOPBACK, 4);
  c->uri.port = f.local_port;
  auto* v = add<ssc_hdr_via>(h, H::VIA);
  v->protocol = 1;
  v->s2 = "2.0";
  v->transport = 'U';
  v->family1 = '4';
  std::memcpy(v->v4_1, LOOPBACK, 4);
  v->port = f.local_port;
  v->w2 = 0xFFFF;
  v->b3 = 0xFF;
  add<ssc_hdr_u32>(h, ssc_header_id::MAX_FORWARDS)->value = 70;
}

// What differs between the T.38 offers built here.
struct t38_offer_fields {
  const u8* addr = LOOPBACK;  // session and origin address
  const char* user = "tessaly";
  const char* session_id = "1";
  u16 port = 40000;
};

// The SDP session, origin and T.38 media headers of an offer.
inline void add_t38_offer(ssc_handle* h, const t38_offer_fields& f) {
  using H = ssc_header_id;
  auto* s = add<ssc_hdr_sdp_session>(h, H::SDP_MAIN_BODY);
  s->net_type = 'I';
  s->family = '4';
  std::memcpy(s->v4, f.addr, 4);
  s->session_name = "-";
  s->start_time = "0";
  s->stop_time = "0";
  auto* o = add<ssc_hdr_sdp_origin>(h, H::ORIGIN_CNCT_DESCR);
  o->net_type = 'I';
  o->user = f.user;
  o->session_id = f.session_id;
  o->version = "1";
  o->family = '4';
  std::memcpy(o->v4, f.addr, 4);
  auto* t = add<ssc_hdr_sdp_t38>(h, H::T38_CNCT_DESCR);
  t->kind = 'I';
  t->format = '8';
  t->port = f.port;
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

// Content-Type application/sdp and the T.38 offer as the body.
inline void add_t38_body(ssc_handle* h, const t38_offer_fields& f) {
  auto* ct = add<ssc_hdr_content_type>(h, ssc_header_id::CONTENT_TYPE);
  ct->type = 'A';
  ct->subtype = 'H';
  add_t38_offer(h, f);
}

}  // namespace ssc_test
