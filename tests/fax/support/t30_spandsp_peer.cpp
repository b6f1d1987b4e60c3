#include "fax/support/t30_spandsp_peer.h"

#if defined(KV_HAVE_SPANDSP)

#include "fax/fax_bit.h"
#include "runtime/support/rt_harness.h"

namespace t30_test {

std::string& spandsp_log() {
  static std::string log;
  return log;
}

namespace {

std::vector<uint8_t> reversed(const uint8_t* p, size_t n) {
  std::vector<uint8_t> out(n);
  fax_bit__copy_reversed(out.data(), p, static_cast<uint32_t>(n));
  return out;
}

bool is_fast(int type) { return type == T30_MODEM_V27TER || type == T30_MODEM_V29 || type == T30_MODEM_V17; }

}  // namespace

spandsp_peer::spandsp_peer(bool calling, uint16_t channel) : channel_(channel) {
  s_ = t30_init(nullptr, calling, set_rx_type, this, set_tx_type, this, send_hdlc, this);
  t30_set_phase_e_handler(s_, phase_e, this);
  logging_state_t* log = t30_get_logging_state(s_);
  span_log_set_level(log, static_cast<int>(SPAN_LOG_FLOW) | static_cast<int>(SPAN_LOG_SHOW_TAG));
  // spandsp's log handler takes no user pointer: one peer logs at a time.
  spandsp_log().clear();
  span_log_set_message_handler(log, [](int, const char* text) { spandsp_log() += text; });
  fake_modem::get().attach(channel_, [this](const line_item& item) { from_line(item); });
  last_tick_ = rt_test::virtual_now();
}

spandsp_peer::~spandsp_peer() {
  fake_modem::get().attach(channel_, nullptr);
  t30_free(s_);
}

void spandsp_peer::start() { t30_restart(s_); }

void spandsp_peer::phase_e(t30_state_t*, void* user, int completion) {
  auto* p = static_cast<spandsp_peer*>(user);
  p->done_ = true;
  p->completion_ = completion;
}

void spandsp_peer::set_rx_type(void* user, int type, int bit_rate, int, int use_hdlc) {
  auto* p = static_cast<spandsp_peer*>(user);
  p->rx_type_ = type;
  p->rx_rate_ = bit_rate;
  p->rx_hdlc_ = use_hdlc != 0;
  p->rx_signal_ = false;
}

void spandsp_peer::set_tx_type(void* user, int type, int bit_rate, int, int use_hdlc) {
  auto* p = static_cast<spandsp_peer*>(user);
  p->tx_type_ = type;
  p->tx_rate_ = bit_rate;
  switch (type) {
    case T30_MODEM_PAUSE:
    case T30_MODEM_CED: ++p->steps_; break;
    case T30_MODEM_V27TER:
    case T30_MODEM_V29:
    case T30_MODEM_V17:
      if (!use_hdlc) p->tx_fast_pending_ = true;
      break;
    default: break;
  }
}

void spandsp_peer::send_hdlc(void* user, const uint8_t* msg, int len) {
  auto* p = static_cast<spandsp_peer*>(user);
  if (len > 0 && msg) {
    p->tx_set_.push_back(reversed(msg, static_cast<size_t>(len)));
    ++p->steps_;
    return;
  }
  // End of the frames of this transmission.
  if (!p->tx_set_.empty()) {
    line_item item;
    const bool fast = is_fast(p->tx_type_);
    if (fast) {
      // ECM data frames travel as page data, one frame per item.
      for (size_t i = 0; i < p->tx_set_.size(); ++i) {
        line_item d;
        d.kind = line_item::page_data;
        d.modulation = p->modulation_of(p->tx_type_, p->tx_rate_);
        d.data = reversed(p->tx_set_[i].data(), p->tx_set_[i].size());
        d.last = i + 1 == p->tx_set_.size();
        if (p->drop_data_frame && !d.last && p->drop_data_frame(d.data)) continue;
        fake_modem::get().deliver(p->channel_, d);
      }
    } else {
      item.kind = line_item::frames;
      item.frame_list = p->tx_set_;
      const uint8_t fcf = item.final_fcf();
      p->next_fast_is_tcf_ = fcf == 0x41;  // DCS: the training follows
      fake_modem::get().deliver(p->channel_, item);
    }
    p->tx_set_.clear();
  }
  ++p->steps_;
}

uint16_t spandsp_peer::modulation_of(int type, int bit_rate) const {
  uint16_t m = T30_MOD_DATA;
  switch (type) {
    case T30_MODEM_V27TER: m |= T30_MOD_V27; break;
    case T30_MODEM_V29: m |= T30_MOD_V29; break;
    case T30_MODEM_V17: m |= T30_MOD_V17; break;
    default: break;
  }
  switch (bit_rate) {
    case 2400: m |= T30_MOD_2400; break;
    case 4800: m |= T30_MOD_4800; break;
    case 7200: m |= T30_MOD_7200; break;
    case 9600: m |= T30_MOD_9600; break;
    case 12000: m |= T30_MOD_12000; break;
    case 14400: m |= T30_MOD_14400; break;
    default: break;
  }
  return m;
}

void spandsp_peer::from_line(const line_item& item) { inbox_.push_back(item); }

bool spandsp_peer::deliver(const line_item& item) {
  switch (item.kind) {
    case line_item::frames: {
      if (rx_type_ != T30_MODEM_V21 && !(rx_hdlc_ && rx_type_ != T30_MODEM_NONE)) {
        // Not listening for frames: a transmitter still busy holds them.
        if (tx_type_ != T30_MODEM_NONE && tx_type_ != T30_MODEM_DONE && tx_type_ != T30_MODEM_CNG) return false;
      }
      for (const auto& f : item.frame_list) {
        const auto line = reversed(f.data(), f.size());
        t30_hdlc_accept(s_, line.data(), static_cast<int>(line.size()), 1);
      }
      t30_hdlc_accept(s_, nullptr, SIG_STATUS_CARRIER_DOWN, 1);
      return true;
    }
    case line_item::tcf: {
      // Nobody listens to a training or page data that come at the wrong
      // time, unless spandsp is still finishing a transmission.
      if (!is_fast(rx_type_) || rx_hdlc_) return !(steps_ > 0 || tx_fast_pending_);
      t30_non_ecm_put_bit(s_, SIG_STATUS_TRAINING_SUCCEEDED);
      // A spoiled training carries ones where zeros belong.
      std::vector<uint8_t> zeros(static_cast<size_t>(rx_rate_ * 3 / 2 / 8), item.good ? 0x00 : 0x5A);
      t30_non_ecm_put_chunk(s_, zeros.data(), static_cast<int>(zeros.size()));
      t30_front_end_status(s_, T30_FRONT_END_RECEIVE_COMPLETE);
      return true;
    }
    case line_item::page_data: {
      if (!is_fast(rx_type_)) return !(steps_ > 0 || tx_fast_pending_);
      if (rx_hdlc_) {
        // ECM: each item is one frame in line order.
        if (!item.data.empty()) t30_hdlc_accept(s_, item.data.data(), static_cast<int>(item.data.size()), 1);
        if (item.last) t30_hdlc_accept(s_, nullptr, SIG_STATUS_CARRIER_DOWN, 1);
        return true;
      }
      if (!rx_signal_) {
        t30_non_ecm_put_bit(s_, SIG_STATUS_TRAINING_SUCCEEDED);
        rx_signal_ = true;
      }
      if (!item.data.empty()) t30_non_ecm_put_chunk(s_, item.data.data(), static_cast<int>(item.data.size()));
      if (item.last) {
        rx_signal_ = false;
        t30_front_end_status(s_, T30_FRONT_END_RECEIVE_COMPLETE);
      }
      return true;
    }
  }
  return true;
}

void spandsp_peer::drive() {
  const uint32_t now = rt_test::virtual_now();
  const uint32_t elapsed = now - last_tick_;
  last_tick_ = now;
  for (int round = 0; round < 1000; ++round) {
    bool progress = false;
    if (tx_fast_pending_) {
      tx_fast_pending_ = false;
      progress = true;
      const uint16_t mod = modulation_of(tx_type_, tx_rate_);
      if (next_fast_is_tcf_) {
        next_fast_is_tcf_ = false;
        uint8_t buf[1024];
        while (t30_non_ecm_get_chunk(s_, buf, sizeof buf) == static_cast<int>(sizeof buf)) {}
        line_item t;
        t.kind = line_item::tcf;
        t.modulation = mod;
        fake_modem::get().deliver(channel_, t);
      } else {
        uint8_t buf[1024];
        while (true) {
          const int n = t30_non_ecm_get_chunk(s_, buf, sizeof buf);
          line_item d;
          d.kind = line_item::page_data;
          d.modulation = mod;
          d.data.assign(buf, buf + (n > 0 ? n : 0));
          d.last = n < static_cast<int>(sizeof buf);
          fake_modem::get().deliver(channel_, d);
          if (d.last) break;
        }
      }
      ++steps_;
    }
    if (steps_ > 0) {
      --steps_;
      progress = true;
      t30_front_end_status(s_, T30_FRONT_END_SEND_STEP_COMPLETE);
    }
    if (!inbox_.empty() && deliver(inbox_.front())) {
      inbox_.pop_front();
      progress = true;
    }
    if (!progress) break;
  }
  if (elapsed) t30_timer_update(s_, static_cast<int>(elapsed * 8));
}

}  // namespace t30_test

#endif
