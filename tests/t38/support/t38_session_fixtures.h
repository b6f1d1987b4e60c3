// Test stand-ins for the IAF fax service and the T.38 trace writer, and
// helpers to configure T.38 sessions and build received datagrams.
//
// The IAF stand-in activates every session on T38__ACT_RQ and, for every
// received datagram or stream, stores it in the session's receive fifo and
// (unless told not to) takes every packet that the fifo delivers, recording
// it per nai.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "runtime/msg.h"
#include "t38/support/ifp_fixtures.h"
#include "t38/t38_config.h"
#include "t38/t38_iaf_port.h"
#include "t38/t38_session.h"

namespace kv::t38::testing {

struct delivered {
  uint32_t ext_seq = 0;
  uint8_t type_byte = 0;
  std::vector<field_def> fields;
  std::vector<uint8_t> lost_flags;  // data_lost of each field
};

class stub_iaf final : public t38_iaf_port {
 public:
  u8 main_automaton(u8 kind, msg_t** m, t38_session& s) override;
  u8 polling_setup(t38_session&) override { return polling_result; }
  u8 session_setup(t38_session&) override { return setup_result; }
  void session_reset(t38_session&) override { ++resets; }
  u8 update_drate(t38_session&, u32 v32, u16 v16, u8* cause) override;
  void polling_expiry(msg_t**) override {}
  void statistics(const t38_session&, u32 stats[T38IAF__STAT_WORDS], u16 enh[T38IAF__ENH_COUNTERS]) override;

  // Takes what the session's fifo delivers now.
  void drain(t38_session& s);

  bool take_packets = true;
  u8 polling_result = 2;
  u8 setup_result = 2;
  int resets = 0;
  std::vector<code_t> user_codes;
  std::vector<u8> stores;  // result of every store call
  std::map<nai_t, std::vector<delivered>> got;
};

class stub_trace final : public t38_trace_port {
 public:
  u8 setup(t38_session&) override { return 2; }
  void line(t38_session&, u8, u32 trace_class, const char* text) override;
  void error_record(t38_session&, u16 code, const char*, const char*) override { errors.push_back(code); }
  void packet(t38_session&, u8 direction, const t38_ifp_packet& primary, u16 secondaries) override {
    packets.push_back({direction, primary.ext_seq, primary.type_value, secondaries});
  }
  void asn1_dump(t38_session&, u8 direction, const byte_ref& bytes) override {
    dumps.emplace_back(direction, bytes.length);
  }
  void flush_timer(t38_session&) override { ++flushes; }
  void congestion(t38_session&) override { ++congestions; }
  void end_of_session(t38_session&, bool trapped) override { ends.push_back(trapped); }

  // Lines of a class that contain `part`.
  int count(const std::string& part) const;

  std::vector<std::pair<u32, std::string>> lines;
  std::vector<u16> errors;
  struct packet_trace {
    u8 direction;
    u32 ext_seq;
    u8 type_byte;
    u16 secondaries;
    bool operator==(const packet_trace&) const = default;
  };
  std::vector<packet_trace> packets;
  std::vector<std::pair<u8, u32>> dumps;  // direction, length
  std::vector<bool> ends;
  int flushes = 0;
  int congestions = 0;
};

// A UDP session entry towards 127.0.0.1:remote_port, sockets sapi 1 / conn 0.
t38_session_entry udp_entry(nai_t nai, u16 remote_port = 4000, u8 redundancy = 2);
t38_session_entry tcp_entry(nai_t nai, u16 remote_port = 4000);

// The IFP encoding of a packet (type byte and fields).
std::vector<uint8_t> ifp(uint8_t type_byte, const std::vector<field_def>& fields = {});
// A UDPTL datagram: the primary and the secondaries newest first.
std::vector<uint8_t> udptl(uint16_t seq, const std::vector<uint8_t>& primary,
                           const std::vector<std::vector<uint8_t>>& secondaries = {});
// The 28-byte address record of 127.0.0.1:port (or of `addr`) in front of a datagram.
std::vector<uint8_t> with_source(const std::vector<uint8_t>& datagram, u16 port = 4000,
                                 const uint8_t addr[4] = nullptr);
// A SOCK_U_DA_IN / SOCK_DA_IN message from ENT_IP for a nai; chained when large.
msg_t* socket_msg(code_t code, nai_t nai, const std::vector<uint8_t>& data);

}  // namespace kv::t38::testing

#include <gtest/gtest.h>

#include "runtime/support/rt_harness.h"

namespace kv::t38::testing {

// ENT_T38 with recording fakes of ENT_SM, the user (ENT_FOIP) and ENT_IP, in
// manual mode on a virtual clock, the stand-ins installed.  The common
// configuration is accepted in SetUp.
class T38EntityTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Sends a request from `from` and returns the body of the answer that
  // comes back to it (empty when none).
  std::vector<u8> request(ent_id_t from, code_t code, const std::vector<u8>& body, nai_t nai = 0);
  // Configures sessions; returns the confirm body.
  std::vector<u8> configure(const std::vector<t38_session_entry>& entries, ent_id_t from = ENT_FOIP);
  t38_session& session(nai_t nai);
  // Runs the timers up to `ms` later and the SM task.
  void advance(u32 ms);
  // Hands a received datagram (behind its address record) to the entity.
  void receive(nai_t nai, const std::vector<uint8_t>& datagram, u16 port = 4000);
  // Messages the fakes recorded, to one entity with one code.
  std::vector<rt_test::seen_msg> sent(ent_id_t to, code_t code);
  // The datagrams the session sent to ENT_IP (behind their address record).
  std::vector<std::vector<uint8_t>> datagrams();
  // A field list of the session's pool.
  t38_data_field* fields(nai_t nai, const std::vector<field_def>& defs);

  stub_iaf iaf;
  stub_trace trace;
};

}  // namespace kv::t38::testing
