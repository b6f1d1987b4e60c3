// Test stand-ins around the T.30 engine: a fake modem layer ('f') that
// carries HDLC frames, training and page data in memory between two channels
// (or between a channel and another peer, such as spandsp's T.30), and a
// scripted session-layer user ('s') that sends and receives pages.
//
// The line carries frames in the notation of the T.30 tables and page data in
// line bit order (first bit = least significant bit), as the engine sends them.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "fax/t30_capability.h"
#include "fax/t30_engine.h"
#include "runtime/entity.h"
#include "runtime/timer.h"

namespace t30_test {

struct line_item {
  enum kind_t : uint8_t { frames, tcf, page_data } kind = frames;
  std::vector<std::vector<uint8_t>> frame_list;  // frames: the set, final frame last
  uint16_t modulation = 0;                       // tcf, page_data
  bool good = true;                              // tcf: a clean training
  std::vector<uint8_t> data;                     // page_data
  bool last = false;                             // page_data: the page's last data
  uint8_t final_fcf() const {                    // frames: FCF of the last frame, X bit removed
    if (kind != frames || frame_list.empty() || frame_list.back().size() < 3) return 0;
    const uint8_t f = frame_list.back()[2];
    return f >= 0x90 ? static_cast<uint8_t>(f & 0x7F) : f;
  }
};

// Receive durations of the fake modem (ms of the virtual clock).
inline constexpr uint32_t FAKE_T2_MS = 6000;   // waiting for a command
inline constexpr uint32_t FAKE_T4_MS = 3000;   // waiting for a response
inline constexpr uint32_t FAKE_HDLC_MS = 200;  // a frame set on the line

class fake_modem {
 public:
  static fake_modem& get();
  void reset();
  // Two engine channels on one line.
  void link(uint16_t a, uint16_t b);
  // Items sent by channel `ch` go to `far_end` instead of another channel.
  void attach(uint16_t ch, std::function<void(const line_item&)> far_end);
  // An item arrives at channel `ch`'s modem from the far end.
  void deliver(uint16_t ch, line_item item);
  // Called for every item that a channel sends; false drops it.
  std::function<bool(uint16_t from, line_item&)> filter;
  // FM_CONN_RQ goes unanswered.
  bool silent_connect = false;
  // Every item sent, in order (for tests that look at the exchange).
  std::vector<std::pair<uint16_t, line_item>> sent;

  static void handler(msg_t* m);

 private:
  enum class rx_mode : uint8_t { none, hdlc_cmd, hdlc_resp, tcf, page };
  struct port {
    bool connected = false;
    nai_t nai = 0;
    rx_mode rx = rx_mode::none;
    uint16_t rx_modulation = 0;
    uint32_t rx_handle = 0;
    bool carrier = false;
    bool tx_page = false;
    uint16_t tx_modulation = 0;
    std::deque<line_item> pending;
    timer_cell_t* timer = nullptr;
    uint16_t timer_seq = 0;
    bool timer_running = false;
    int peer = -1;
    // Items on their way to this port, in order, with the time they arrive.
    std::deque<std::pair<uint32_t, line_item>> in_flight;
    timer_cell_t* line_timer = nullptr;
    uint16_t line_seq = 0;
    std::function<void(const line_item&)> far_end;
  };
  void on_message(msg_t* m);
  void send_item(uint16_t ch, line_item item);
  void consume(uint16_t ch);
  void start_receive(uint16_t ch, rx_mode mode, uint16_t modulation, uint32_t handle);
  void arm(uint16_t ch, uint32_t ms);
  void disarm(uint16_t ch);
  void timeout(uint16_t ch);
  void arrive(uint16_t ch);
  void confirm(uint16_t ch, char kind, uint16_t result, uint32_t value = 0);
  void up(uint16_t ch, code_t code, const std::vector<uint8_t>& body);
  port& at(uint16_t ch) { return ports_[ch]; }
  std::map<uint16_t, port> ports_;
};

// A page to send (codec bit order) and what the user saw of each received page.
struct user_page {
  std::vector<uint8_t> data;
};

// The scripted session-layer user of one channel.
struct fake_user {
  bool sender = false;
  std::vector<user_page> to_send;
  size_t next_page = 0;
  // The user's answer to T30_WhatToDo_IN: capability fields and selection.
  t30_capability fields;
  t30_selection selection;
  bool answer_what_to_do = true;
  bool answer_end_page = true;
  std::deque<uint16_t> end_page_answers;  // answer indexes to give first; then the engine's verdict
  bool send_end_page_rq = true;
  bool hold_at_page_start = false;  // T30_BUSY_RQ on T30_EONEG_IN
  std::string identity;             // given with T30_SETPARM_RQ before the answer
  uint16_t eop_bits = 0;            // T30_END_PAGE_RQ for the last page
  // What happened.
  std::vector<std::vector<uint8_t>> received;
  std::vector<uint8_t> current;
  std::vector<std::pair<uint16_t, uint16_t>> end_page_in;  // verdict, command
  std::vector<uint16_t> end_page_co;                       // responses
  std::vector<code_t> codes;
  std::vector<std::pair<uint16_t, std::vector<uint8_t>>> progress;  // T30_PROGRESS_IN items
  bool disconnected = false;
  uint16_t cause = 0;
  int what_to_do_count = 0;
};

class fake_users {
 public:
  static fake_users& get();
  void reset() { users_.clear(); }
  fake_user& operator[](uint16_t ch) { return users_[ch]; }
  static void handler(msg_t* m);

 private:
  void on_message(msg_t* m);
  void send_page(uint16_t ch, nai_t nai);
  std::map<uint16_t, fake_user> users_;
};

// Messages to the engine.
void send_to_engine(ent_id_t from, code_t code, uint16_t ch, const std::vector<uint8_t>& body, nai_t nai = 0);
// MT30_CONFIG_RQ for one channel; returns the confirm's result byte (pumps).
uint8_t configure_channel(uint16_t ch, uint16_t slots, ent_id_t lower);
// T30_CONN_RQ: role 1 answering, 2 calling.
void connect(uint16_t ch, uint16_t role, bool v34 = false, uint16_t max_speed = 0);

// The entity table of the loop: the engine, the fake modem and the users.
const entity_table_row_t* loop_table();

// Runs the SM task, turning the virtual clock in 100 ms steps while nothing
// is waiting, until `done` holds or `limit_ms` of virtual time have passed.
// Returns the virtual time used.
uint32_t run_until(const std::function<bool()>& done, uint32_t limit_ms = 600000,
                   const std::function<void()>& each_step = {});

// Capability fields and selection that a user gives for a plain call.
t30_capability user_fields(bool ecm, uint8_t frame_size = 2);

}  // namespace t30_test
