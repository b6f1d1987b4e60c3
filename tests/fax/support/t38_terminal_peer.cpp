#include "fax/support/t38_terminal_peer.h"

#if defined(KV_HAVE_SPANDSP) && defined(KV_HAVE_LIBTIFF)

#include <gtest/gtest.h>
#include <tiffio.h>

#include "fax/support/fm_t38_loop.h"
#include "t38/support/t38_session_fixtures.h"
#include "t38/udptl.h"

namespace fm_test {

spandsp_t38_terminal::spandsp_t38_terminal(bool calling, bool paced) {
  s_ = t38_terminal_init(nullptr, calling, &on_tx, this);
  t38_terminal_set_config(s_, paced ? 0 : T38_TERMINAL_OPTION_NO_PACING);
  t30_state_t* t = t38_terminal_get_t30_state(s_);
  t30_set_phase_e_handler(t, &on_phase_e, this);
  t30_set_tx_ident(t, "SPANDSP T38");
  t30_set_supported_modems(t, T30_SUPPORT_V27TER | T30_SUPPORT_V29 | T30_SUPPORT_V17);
  t30_set_supported_compressions(t, T30_SUPPORT_T4_1D_COMPRESSION);
  t30_set_ecm_capability(t, false);
}

spandsp_t38_terminal::~spandsp_t38_terminal() { t38_terminal_free(s_); }

t30_state_t* spandsp_t38_terminal::t30() { return t38_terminal_get_t30_state(s_); }

void spandsp_t38_terminal::from_us(const std::vector<uint8_t>& datagram) {
  using namespace kv::t38;
  heap_chain_pool pool;
  t38_udptl_in in;
  if (t38_udptl__decode(byte_ref{datagram.data(), static_cast<uint32_t>(datagram.size()), nullptr}, nullptr, pool,
                        in) != 0)
    return;
  std::vector<uint8_t> ifp(in.primary.length);
  copy_bytes(&pool, in.primary, ifp.data(), ifp.size());
  t38_udptl__release(in, pool);
  t38_core_rx_ifp_packet(t38_terminal_get_t38_core_state(s_), ifp.data(), static_cast<int>(ifp.size()), in.seq);
}

void spandsp_t38_terminal::step(uint32_t ms, nai_t to) {
  t38_terminal_send_timeout(s_, static_cast<int>(ms * 8));
  for (const auto& ifp : sent_) FmT38Loop::deliver(to, kv::t38::testing::udptl(tx_seq_++, ifp));
  sent_.clear();
}

int spandsp_t38_terminal::on_tx(t38_core_state_t*, void* user, const uint8_t* buf, int len, int count) {
  auto* self = static_cast<spandsp_t38_terminal*>(user);
  if (count > 0) self->sent_.emplace_back(buf, buf + len);
  return 0;
}

void spandsp_t38_terminal::on_phase_e(t30_state_t*, void* user, int completion) {
  auto* self = static_cast<spandsp_t38_terminal*>(user);
  self->done = true;
  self->completion = completion;
}

}  // namespace fm_test

#endif
