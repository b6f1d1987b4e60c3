// SIP answers and requests of a call as SSC message handles.
#include "session/foip/foip_sip_build.h"

#include <cstdio>
#include <cstring>

#include "runtime/entity.h"
#include "runtime/entity_ids.h"
#include "session/foip/foip_err.h"
#include "session/trace/foip_trc.h"
#include "sip/prim/ssc_header.h"

void foip_sip__trap(nai_t nai, u16 conn_id, u16 code, const char* name, const char* who, const char* what) {
  char text[160];
  (void)std::snprintf(text, sizeof text, "FOIP: (%s) %s", who, what);
  Foip__trap(nai, conn_id, FOIP__TRAP_CLASS, code, name, text);
}

void* foip_sip__add_header(ssc_handle* h, ssc_header_id id, nai_t nai, const char* who) {
  void* p = Ssc_alloc_header(h, id);
  if (!p)
    foip_sip__trap(nai, 0xFFFF, FOIP__TRAP__SSC_ALLOC_HEADER, "FOIP__TRAP__SSC_ALLOC_HEADER", who,
                   "Ssc_alloc_header returns P_NIL");
  return p;
}

bool foip_sip__open_handle(ssc_handle* h, ssc_msg_type type, nai_t nai, u16 conn_id, const char* who) {
  if (Ssc_init_handle(h, type) == 2) return true;
  foip_sip__trap(nai, conn_id, FOIP__TRAP__SIP_SC_BAD_HNDL, "FOIP__TRAP__SIP_SC_BAD_HNDL", who,
                 "Ssc_init_handle returns NOK");
  return false;
}

u8 foip_sip__send_handle(ssc_handle* h, nai_t nai, u16 conn_id, code_t code, const char* who) {
  msg_t* m = SIP_sc_format_rq(nai, conn_id, 0xFF, h);
  if (!m) {
    foip_sip__trap(nai, conn_id, FOIP__TRAP__SIP_SC_FORMAT_RQ, "FOIP__TRAP__SIP_SC_FORMAT_RQ", who,
                   "SIP_sc_format_rq returns P_NIL");
    return 3;
  }
  m->to = ENT_SSC;
  m->from = ENT_FOIP;
  m->code = code;
  Send_msg(m);
  return 2;
}

namespace {

using H = ssc_header_id;

void event(nai_t nai, const char* line) { foip_trc__print_event(nai, FOIP__SIP_EVT_1, line); }

bool status(ssc_handle* h, nai_t nai, u16 code, const char* reason, const char* who) {
  auto* s = static_cast<ssc_hdr_status*>(foip_sip__add_header(h, H::RETURN_CODE, nai, who));
  if (!s) return false;
  s->code = code;
  s->reason = reason;
  return true;
}

u8 product(ssc_handle* h, H id, nai_t nai, const char* who) {
  auto* p = static_cast<ssc_hdr_product*>(foip_sip__add_header(h, id, nai, who));
  if (!p) return 3;
  p->product = FOIP_SIP__PRODUCT;
  p->version = FOIP_SIP__VERSION;
  p->comment = FOIP_SIP__COMMENT;
  return 2;
}

}  // namespace

u8 build_sip_header__max_forwards(ssc_handle* h, nai_t nai) {
  auto* p = static_cast<ssc_hdr_u32*>(foip_sip__add_header(h, H::MAX_FORWARDS, nai, "build_sip_header__max_forwards"));
  if (!p) return 3;
  p->value = FOIP_SIP__MAX_FORWARDS;
  return 2;
}

u8 build_sip_header__user_agent(ssc_handle* h, nai_t nai) {
  return product(h, H::USER_AGENT, nai, "build_sip_header__user_agent");
}

u8 build_sip_header__server(ssc_handle* h, nai_t nai) { return product(h, H::SERVER, nai, "build_sip_header__server"); }

u8 build_sip_header__content_type(ssc_handle* h, nai_t nai) {
  auto* p = static_cast<ssc_hdr_content_type*>(
      foip_sip__add_header(h, H::CONTENT_TYPE, nai, "build_sip_header__content_type"));
  if (!p) return 3;
  p->type = 'A';
  p->subtype = 'H';
  return 2;
}

u8 build_sip_header__allow(ssc_handle* h, nai_t nai) {
  auto* p = static_cast<ssc_hdr_allow*>(foip_sip__add_header(h, H::ALLOW, nai, "build_sip_header__allow"));
  if (!p) return 3;
  std::memset(p->allowed, 0, sizeof p->allowed);
  for (ssc_msg_type t :
       {ssc_msg_type::INVITE, ssc_msg_type::BYE, ssc_msg_type::ACK, ssc_msg_type::OPTIONS, ssc_msg_type::CANCEL})
    p->allowed[static_cast<u8>(t)] = 1;
  return 2;
}

u8 send_ssc_invite_rs_PROVISIONAL(ssc_handle* h, nai_t nai, u16 conn_id, u8 kind) {
  static constexpr char WHO[] = "send_ssc_invite_rs_PROVISIONAL";
  if (!foip_sip__open_handle(h, ssc_msg_type::INVITE_RS, nai, conn_id, WHO)) return 3;
  const bool ringing = kind == 5;
  char line[253];
  (void)std::snprintf(line, sizeof line, "\n(nai %d, conn_id %3d) SSC Evt: Send SSC_INVITE_RS (%s)", nai, conn_id,
                      ringing ? "180 Ringing" : "100 Trying");
  event(nai, line);
  if (!status(h, nai, ringing ? 180 : 100, ringing ? "Ringing" : "Trying", WHO)) return 3;
  return foip_sip__send_handle(h, nai, conn_id, FOIP_SIP__INVITE_RS, WHO);
}

u8 send_ssc_invite_rs_NOK(ssc_handle* h, nai_t nai, u16 conn_id, u16 code, const char* reason) {
  static constexpr char WHO[] = "send_ssc_invite_rs_NOK";
  if (!foip_sip__open_handle(h, ssc_msg_type::INVITE_RS, nai, conn_id, WHO)) return 3;
  const char* r = reason ? reason : "";
  char line[648];
  (void)std::snprintf(line, sizeof line, "\n(nai %d, conn_id %3d) SSC Evt: Send SSC_INVITE_RS (ret_code: %d (%.500s))",
                      nai, conn_id, code, r);
  event(nai, line);
  if (!status(h, nai, code, r, WHO)) return 3;
  return foip_sip__send_handle(h, nai, conn_id, FOIP_SIP__INVITE_RS, WHO);
}

u8 send_ssc_invite_rs_OK(ssc_handle* h, nai_t nai, u16 conn_id, const sip_mgt__sdp_contents& sdp) {
  static constexpr char WHO[] = "send_ssc_invite_rs_OK";
  if (!foip_sip__open_handle(h, ssc_msg_type::INVITE_RS, nai, conn_id, WHO)) return 3;
  char line[253];
  (void)std::snprintf(line, sizeof line, "\n(nai %d, conn_id %3d) SSC Evt: Send SSC_INVITE_RS (ret_code: %d (%s))", nai,
                      conn_id, 200, "OK");
  event(nai, line);
  if (!status(h, nai, 200, "OK", WHO)) return 3;
  if (sdp.present) {
    (void)build_sip_header__content_type(h, nai);
    (void)foip_sdp__build_headers(sdp, h);
  }
  return foip_sip__send_handle(h, nai, conn_id, FOIP_SIP__INVITE_RS, WHO);
}

u8 send_ssc_ack_rq(ssc_handle* h, nai_t nai, u16 conn_id) {
  static constexpr char WHO[] = "send_ssc_ack_rq";
  char line[198];
  (void)std::snprintf(line, sizeof line, "\n(nai %d, conn_id %3d) SSC Evt: Send SSC_ACK_RQ", nai, conn_id);
  event(nai, line);
  if (!foip_sip__open_handle(h, ssc_msg_type::ACK, nai, conn_id, WHO)) return 3;
  return foip_sip__send_handle(h, nai, conn_id, FOIP_SIP__ACK_RQ, WHO);
}

u8 send_ssc_close_session_rq(ssc_handle* h, nai_t nai, u16 conn_id, u16 code, const char* reason) {
  static constexpr char WHO[] = "send_ssc_close_session_rq";
  char line[198];
  (void)std::snprintf(line, sizeof line, "\n(nai %d, conn_id %3d) SSC Evt: Send SSC_CLOSE_SESSION_RQ", nai, conn_id);
  event(nai, line);
  if (!foip_sip__open_handle(h, ssc_msg_type::CLOSE_SESSION, nai, conn_id, WHO)) return 3;
  if (reason != nullptr && !status(h, nai, code, reason, WHO)) return 3;
  return foip_sip__send_handle(h, nai, conn_id, FOIP_SIP__CLOSE_SESSION_RQ, WHO);
}

u8 send_ssc_options_rs_OK(ssc_handle* h, nai_t nai, u16 conn_id) {
  static constexpr char WHO[] = "send_ssc_options_rs_OK";
  char line[198];
  (void)std::snprintf(line, sizeof line, "\n(nai %d, conn_id %3d) SSC Evt: Send SSC_OPTIONS_RS (200 \"OK\")", nai,
                      conn_id);
  event(nai, line);
  if (!foip_sip__open_handle(h, ssc_msg_type::OPTIONS_RS, nai, conn_id, WHO)) return 3;
  if (!status(h, nai, 200, "OK", WHO)) return 3;
  (void)build_sip_header__server(h, nai);
  (void)build_sip_header__allow(h, nai);
  return foip_sip__send_handle(h, nai, conn_id, FOIP_SIP__OPTIONS_RS, WHO);
}
