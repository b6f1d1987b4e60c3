// spandsp's T.30 as the far end of one engine channel on the fake modem
// layer: its HDLC frames, training and page data are carried in memory, its
// timers run on the virtual clock. Test-only.
#pragma once

#if defined(KV_HAVE_SPANDSP)

#include <spandsp.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "fax/support/t30_fake_modem.h"

namespace t30_test {

// What spandsp logged since the last peer was made.
std::string& spandsp_log();

class spandsp_peer {
 public:
  // `calling`: spandsp is the calling side. `channel`: the engine channel
  // at the other end of the line.
  spandsp_peer(bool calling, uint16_t channel);
  ~spandsp_peer();
  spandsp_peer(const spandsp_peer&) = delete;
  spandsp_peer& operator=(const spandsp_peer&) = delete;

  t30_state_t* state() { return s_; }
  // Starts the call (after the files and options are set).
  void start();
  // Runs the front end: pending transmit steps and held received items;
  // advances spandsp's timers to the virtual clock.
  void drive();
  bool done() const { return done_; }
  int completion() const { return completion_; }
  // ECM data frames that spandsp sends (line order) for which this returns
  // true are lost on the way.
  std::function<bool(const std::vector<uint8_t>&)> drop_data_frame;

 private:
  static void set_rx_type(void* user, int type, int bit_rate, int short_train, int use_hdlc);
  static void set_tx_type(void* user, int type, int bit_rate, int short_train, int use_hdlc);
  static void send_hdlc(void* user, const uint8_t* msg, int len);
  static void phase_e(t30_state_t* s, void* user, int completion);

  void from_line(const line_item& item);
  bool deliver(const line_item& item);  // false: not ready for it yet
  uint16_t modulation_of(int type, int bit_rate) const;

  t30_state_t* s_ = nullptr;
  uint16_t channel_;
  bool done_ = false;
  int completion_ = -1;
  // Transmitter.
  int tx_type_ = T30_MODEM_NONE;
  int tx_rate_ = 0;
  int steps_ = 0;  // SEND_STEP_COMPLETE owed
  std::vector<std::vector<uint8_t>> tx_set_;
  bool next_fast_is_tcf_ = false;
  bool tx_fast_pending_ = false;
  // Receiver.
  int rx_type_ = T30_MODEM_NONE;
  int rx_rate_ = 0;
  bool rx_hdlc_ = false;
  bool rx_signal_ = false;
  std::deque<line_item> inbox_;
  uint32_t last_tick_ = 0;
};

}  // namespace t30_test

#endif
