// Test harness for the entity runtime: a recorder that fake entities write
// every received message into, a trap recorder, a virtual clock and helpers
// to start the runtime with a table of fake entities.
#pragma once
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "runtime/entity.h"
#include "runtime/msg.h"
#include "runtime/om_os.h"
#include "runtime/support/msg_make.h"

namespace rt_test {

// What a fake entity saw of one message.
struct seen_msg {
  ent_id_t from, to;
  nai_t nai;
  u8 sapi;
  u16 conn_id;
  code_t code;
  std::vector<u8> data;  // whole data (chain or inline)
  bool chained;
  u8 calling_task;  // task slot of the thread that handled it
};

// Thread-safe log of received messages and traps.
class recorder {
 public:
  void add(const seen_msg& m);
  void add_trap(u16 code);
  std::vector<seen_msg> messages();
  std::vector<u16> traps();
  // Waits (bounded) until at least n messages were recorded.
  bool wait_for(size_t n, unsigned ms = 5000);
  void clear();

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<seen_msg> msgs_;
  std::vector<u16> traps_;
};

recorder& rec();

seen_msg describe(const msg_t* m);

// The data of a buffer chain, end to end, and the number of its buffers.
std::vector<u8> chain_bytes(const buffer_t* b);
unsigned chain_count(const buffer_t* b);

// A handler that records and frees every message.
void record_handler(msg_t* m);

// make_msg (runtime/support/msg_make.h): a message from `from` to `to`
// with the given code and data.

// Virtual clock: the runtime reads it once installed.
void use_virtual_clock(u32 start_ms);
void advance_clock(u32 ms);
u32 virtual_now();
void use_real_clock();

// Traps raised while the last start ran (the recorder is cleared after it).
std::vector<u16> start_traps();

// Starts the runtime with the given table.  Manual: the calling thread is the
// SM task and the timer and background threads do not run.
void start_manual(const entity_table_row_t* table);
void start_threaded(const entity_table_row_t* table, bool timer_thread = true);
// Stops the runtime and resets every hook the harness installed.
void stop();

// Runs the SM task (manual mode) until nothing is waiting.
u32 pump();

// Installs a configuration hook that applies `c` instead of the shipped
// configuration (the next start only).
void use_config(const om_os_config& c);

}  // namespace rt_test
