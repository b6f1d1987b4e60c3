// spandsp's T.38 terminal (with its T.30 and fax file layers) as the far end
// of one of our T.38 sessions in the FmT38Loop fixture, on the virtual clock;
// and the fine-resolution MH fax files it sends from. Test-only.
#pragma once

#if defined(KV_HAVE_SPANDSP) && defined(KV_HAVE_LIBTIFF)

#include <spandsp.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fax/support/fax_test_pages.h"
#include "runtime/types.h"

namespace fm_test {

class spandsp_t38_terminal {
 public:
  // `calling`: spandsp is the calling side; `paced`: it spaces its packets
  // as on a line, otherwise sends as fast as it can. MH only, no ECM.
  spandsp_t38_terminal(bool calling, bool paced);
  ~spandsp_t38_terminal();
  spandsp_t38_terminal(const spandsp_t38_terminal&) = delete;
  spandsp_t38_terminal& operator=(const spandsp_t38_terminal&) = delete;

  t30_state_t* t30();
  // A UDPTL datagram from our side.
  void from_us(const std::vector<uint8_t>& datagram);
  // Lets `ms` pass for spandsp and delivers what it sent to session `to`.
  void step(uint32_t ms, nai_t to);

  bool done = false;    // phase E reached
  int completion = -1;  // its T30_ERR_ code

 private:
  static int on_tx(t38_core_state_t*, void* user, const uint8_t* buf, int len, int count);
  static void on_phase_e(t30_state_t*, void* user, int completion);
  t38_terminal_state_t* s_ = nullptr;
  std::vector<std::vector<uint8_t>> sent_;
  uint16_t tx_seq_ = 0;
};

}  // namespace fm_test

#endif
