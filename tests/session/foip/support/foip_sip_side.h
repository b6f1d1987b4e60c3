// The FOIP entity's SIP side over the real ENT_SSC and ENT_SIP, as the SIPp
// tests and benchmarks run it: stand-ins for ENT_SM and ENT_T38, a T.38
// layer that opens and closes at once, the configuration of ENT_SIP and
// ENT_SSC, and the global parameters that put the SIP side on 127.0.0.1.
// The socket under ENT_SIP is ssc_test's loopback socket.  Header only:
// benchmarks build it in too.
#pragma once
#include <cstring>
#include <vector>

#include "runtime/buffer.h"
#include "runtime/msg.h"
#include "runtime/sm.h"
#include "runtime/support/msg_make.h"
#include "session/foip/app_foip_prim.h"
#include "session/foip/foip.h"
#include "session/foip/foip_ctx.h"
#include "session/config/foip_sip_cfg.h"
#include "session/foip/foip_sip_mgt.h"
#include "session/foip/support/layers_at_once.h"
#include "sip/ssc/ssc_handler.h"
#include "sip/support/loopback_stack.h"
#include "t38/t38_entity.h"

namespace foip_sip_test {

inline constexpr u8 LOOPBACK[4] = {127, 0, 0, 1};

// `a` is 127.0.0.1 (its port left as it is).
inline void set_loopback(om_ip_addr_t& a) {
  a.ip_family = OM_IP_FAMILY_V4;
  std::memcpy(a.addr.v4.addr, LOOPBACK, 4);
}

// ENT_T38: the capabilities of a UDPTL terminal; anything else is dropped.
inline void t38_capabilities_handler(msg_t* m) {
  if (m->code == kv::t38::T38__CAPABILITIES_RQ) {
    std::vector<u8> cap(kv::t38::T38__CAPABILITIES_CO_SIZE, 0);
    cap[0] = 2;
    cap[4 + 1] = 0x40, cap[4 + 2] = 0x38;   // 14400
    cap[4 + 3] = 2;                         // transferredTCF
    cap[4 + 7] = 0xD0, cap[4 + 8] = 0x07;   // max buffer 2000
    cap[4 + 9] = 0x90, cap[4 + 10] = 0x01;  // max datagram 400
    cap[4 + 11] = 2;                        // t38UDPRedundancy
    if (msg_t* co = rt_test::make_msg(ENT_T38, ENT_FOIP, kv::t38::T38__CAPABILITIES_CO, cap, m->nai, m->conn_id))
      Send_msg(co);
  }
  Free_msg(m);
}

// ENT_SM: the SIP entities are configured by the program itself; ENT_FOIP's
// configuration requests are confirmed.
inline void sm_confirm_handler(msg_t* m) {
  if (m->from == ENT_FOIP && m->code == SM_CONFIG_RQ) {
    if (msg_t* co = rt_test::make_msg(ENT_SM, ENT_FOIP, SM_CONFIG_CO, {2, 2, Sm_target(m)}, m->nai, m->conn_id))
      Send_msg(co);
  }
  Free_msg(m);
}

// The SIP side's layer hooks with the T.38 layer at once and `fax_hook`.
inline void plug_hooks(void (*fax_hook)(foip__na_ctx*, u8)) {
  foip__layer_hooks h;
  foip_sip__plug(h);
  h.t38_mgt__automaton = foip_test::t38_hook_at_once;
  h.fax_mgt__automaton = fax_hook;
  foip__set_layer_hooks(h);
}

// ENT_SIP's endpoint and the ENT_SSC profile the FOIP entity makes for
// signalling NAI 1, each handed to `send(to, body)` to go as SM_CONFIG_RQ
// from ENT_SM and be handled before it returns; then selects the user
// agent.  Whether it is there.
template <class Send>
[[nodiscard]] bool configure_sip_entities(Send&& send) {
  send(ENT_SIP, ssc_test::stack_sip_config_body());
  foip__glb_sip_param sp{};
  sp.sig_nai = ssc_test::STACK_USER_NAI;
  send(ENT_SSC, foip_sip__ssc_config_body(sp));
  return ssc_ua__select(ssc_test::STACK_USER_NAI) == 2;
}

// The SIP side of `g`: signalling NAI 1, `mode`, a 200 ms re-INVITE delay,
// 127.0.0.1:`port`.
inline void sip_side_param(foip__global_param& g, u8 mode, u16 port) {
  g.glb_sip_param.sig_nai = ssc_test::STACK_USER_NAI;
  g.glb_sip_param.operating_mode = mode;
  g.glb_sip_param.re_invite_delay = 200;
  set_loopback(g.glb_sip_param.local_sip_addr.ip_addr);
  g.glb_sip_param.local_sip_addr.ip_port = port;
}

}  // namespace foip_sip_test
