// Many refused calls in one lifetime of tessaly.  With no device free for
// receiving, sipp sends thousands of INVITEs (each refused at once with 404
// and acknowledged) and as many OPTIONS beside them; every request gets its
// final answer.  A fax sent afterwards goes through; then a burst of INVITEs
// that are never acknowledged: each still gets its final answer at once
// (404, or 503 should a record run out), never silence, and only the server
// transactions wait for the ACKs.
// When the hold times have run out, the SIP entities' tables and the
// runtime's pools are back at their idle level.
//
// SIP_FLOOD_COUNT (requests of each kind, default 3000) and SIP_FLOOD_RATE
// (per second, default 400) make the run longer or faster.  One case per
// program: tessaly runs once in a process.
#include "host/support/sip_road.h"

#if defined(KV_HAVE_SPANDSP) && defined(KV_HAVE_LIBTIFF)

#include <netinet/in.h>
#include <spandsp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "host/support/milestone_fixture.h"
#include "host/support/t38_live_peer.h"
#include "runtime/msg.h"
#include "runtime/om_os.h"
#include "runtime/timer.h"
#include "sip/ent/sip_call.h"
#include "sip/ent/sip_entity.h"
#include "sip/ssc/ssc_entity.h"

namespace sip_road {
namespace {

using clock_type = std::chrono::steady_clock;

// A UDP port of loopback that nobody holds now, with `also` (an offset) free
// as well; 0 when none was found.
uint16_t free_udp_port(uint16_t also = 0) {
  for (int attempt = 0; attempt < 20; ++attempt) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return 0;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    uint16_t port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n) == 0)
      port = ntohs(a.sin_port);
    bool ok = port != 0 && port < 60000;
    if (ok && also != 0) {
      const int fd2 = socket(AF_INET, SOCK_DGRAM, 0);
      sockaddr_in b = a;
      b.sin_port = htons(static_cast<uint16_t>(port + also));
      ok = fd2 >= 0 && bind(fd2, reinterpret_cast<sockaddr*>(&b), sizeof b) == 0;
      if (fd2 >= 0) (void)close(fd2);
    }
    (void)close(fd);
    if (ok) return port;
  }
  return 0;
}

int EnvCount(const char* name, int fallback) {
  const char* v = std::getenv(name);
  const int n = v != nullptr ? std::atoi(v) : 0;
  return n > 0 ? n : fallback;
}

// What one lifetime holds of the records that calls take.  Read from the
// test thread while the SM thread runs: only when nothing goes on, and read
// again until two readings agree.
struct levels {
  std::uint32_t sip_calls = 0, server_txs = 0, ssc_calls = 0, ssc_entries = 0;
  std::uint16_t messages = 0, buffers = 0, timers = 0;
  bool operator==(const levels&) const = default;
  std::string text() const {
    char b[200];
    (void)std::snprintf(b, sizeof b,
                        "sip calls %u, server transactions %u, ssc calls %u, ssc entries %u, messages %u, buffers %u, "
                        "timer cells %u",
                        sip_calls, server_txs, ssc_calls, ssc_entries, messages, buffers, timers);
    return b;
  }
};

levels Now() {
  levels l;
  const sip_entity_view v = sip_entity_state();
  if (v.pools != nullptr) {
    l.sip_calls = v.pools->calls.in_use();
    l.server_txs = v.pools->server_txs.in_use();
  }
  for (const auto& ua : ssc_mod().agents) {
    if (!ua) continue;
    l.ssc_calls += ua->calls_in_use;
    l.ssc_entries += ua->entries_in_use;
  }
  l.messages = om_os_msg_pool_stats().in_use;
  l.buffers = om_os_buffer_pool_stats().in_use;
  l.timers = om_os_timer_pool_stats().in_use;
  return l;
}

std::string HighWater() {
  const sip_entity_view v = sip_entity_state();
  char b[200];
  (void)std::snprintf(b, sizeof b,
                      "high-water: sip calls %u of %u, server transactions %u of %u, messages %u, buffers %u, timer "
                      "cells %u",
                      v.pools ? v.pools->calls.high_water() : 0, v.pools ? v.pools->calls.capacity() : 0,
                      v.pools ? v.pools->server_txs.high_water() : 0, v.pools ? v.pools->server_txs.capacity() : 0,
                      om_os_msg_pool_stats().high_water, om_os_buffer_pool_stats().high_water,
                      om_os_timer_pool_stats().high_water);
  return b;
}

// Waits (at most `ms`) until the levels equal `idle`; the last reading.
levels WaitForIdle(const levels& idle, int ms) {
  const auto end = clock_type::now() + std::chrono::milliseconds(ms);
  levels now = Now();
  while (clock_type::now() < end) {
    if (now == idle) {
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      const levels again = Now();
      if (again == idle) return again;
      now = again;
      continue;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    now = Now();
  }
  return now;
}

// The calls and SSC calls left, for a failure.
std::string LeftOver() {
  std::string out;
  const sip_entity_view v = sip_entity_state();
  int shown = 0;
  for (std::uint32_t i = 0; v.pools != nullptr && i < v.pools->calls.capacity() && shown < 8; ++i) {
    const sip_call& c = v.pools->calls[i];
    if (c.conn_id == SIP_NO_CONN) continue;
    ++shown;
    char b[160];
    (void)std::snprintf(b, sizeof b, "sip call conn %u closing %u dialog 0 state %u pending %u\n", c.conn_id, c.closing,
                        c.dialogs[0].state, c.dialogs[0].pending_request);
    out += b;
  }
  // Server transactions left, by state: answered ones wait on the finished
  // list until their hold is over; the others belong to a call.
  std::uint32_t fresh = 0, delivered = 0, answered = 0, overdue = 0, with_call = 0;
  const std::uint32_t now = om_os_tick();
  for (std::uint32_t i = 0; v.pools != nullptr && i < v.pools->server_txs.capacity(); ++i) {
    const sip_server_transaction& t = v.pools->server_txs[i];
    if (t.request_code == 0) continue;  // free
    if (t.call != SIP_NONE) ++with_call;
    if (t.state == SIP_STX_NEW) ++fresh;
    else if (t.state == SIP_STX_DELIVERED) ++delivered;
    else if (t.state == SIP_STX_ANSWERED) ++answered;
    if (t.state == SIP_STX_ANSWERED && static_cast<std::int32_t>(t.deadline - now) <= 0) ++overdue;
  }
  char b[200];
  (void)std::snprintf(b, sizeof b,
                      "server transactions: new %u, delivered %u, answered %u (%u past their hold), %u on a call\n",
                      fresh, delivered, answered, overdue, with_call);
  out += b;
  return out;
}

TEST_F(SipRoadTest, RefusedCallsAndProbesByTheThousandLeaveTessalyAsItWas) {
  const int count = EnvCount("SIP_FLOOD_COUNT", 3000);
  const std::string rate = std::to_string(EnvCount("SIP_FLOOD_RATE", 400));
  const std::string n = std::to_string(count);
  constexpr int kUnacknowledged = 400;
  const uint16_t sip = free_udp_port(), gateway = free_udp_port(), caller = free_udp_port(), prober = free_udp_port(),
                 media = free_udp_port(2);
  ASSERT_TRUE(sip && gateway && caller && prober && media) << "no free port";
  MakeArea(sip, gateway, media);
  const std::vector<fax_test::page> pages = milestone::three_pages(5);
  WriteFaxTiff(PagesFile(), pages);
  StartTessaly(false);  // no device takes incoming calls: each INVITE is refused
  if (HasFatalFailure()) return;
  // A few calls first: what the first call of a lifetime takes for good
  // (coding handles and their buffers) is part of the idle level.
  {
    sipp_process invites(peer_dir_.path(), Scenario("uac-refused-flood.xml"), caller, sip,
                         {{"media_port", std::to_string(media + 10)}}, {"-m", "5", "-r", "50"});
    sipp_process probes(peer_dir_.path(), Scenario("uac-options-flood.xml"), prober, sip, {}, {"-m", "5", "-r", "50"});
    ASSERT_EQ(invites.wait(20000), 0) << invites.errors();
    ASSERT_EQ(probes.wait(20000), 0) << probes.errors();
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  levels idle = Now();
  idle.server_txs = 0;  // those of the OPTIONS are kept a while (absorbing copies)

  // Refused INVITEs (acknowledged) and OPTIONS side by side, at most 50 of
  // each at a time: together they stay below the 124 calls the SIP side
  // holds, so none may be refused for want of a call record.
  auto started = clock_type::now();
  {
    sipp_process invites(peer_dir_.path(), Scenario("uac-refused-flood.xml"), caller, sip,
                         {{"media_port", std::to_string(media + 10)}}, {"-m", n, "-r", rate, "-l", "50"});
    sipp_process probes(peer_dir_.path(), Scenario("uac-options-flood.xml"), prober, sip, {},
                        {"-m", n, "-r", rate, "-l", "50"});
    EXPECT_EQ(invites.wait(240000), 0) << invites.errors();
    EXPECT_EQ(probes.wait(240000), 0) << probes.errors();
  }
  std::printf("[ sip flood ] %s refused INVITEs and %s OPTIONS, each answered, in %.1f s\n", n.c_str(), n.c_str(),
              std::chrono::duration<double>(clock_type::now() - started).count());
  std::printf("[ sip flood ] %s\n", HighWater().c_str());
  if (HasFailure()) return;

  // A fax still goes through.
  {
    milestone::peer_options po;
    po.calling = false;
    po.listen = true;
    po.rx_file = peer_dir_.File("rx.tif");
    po.remote_port = static_cast<uint16_t>(media + 2);
    po.limit_ms = 60000;
    milestone::t38_live_peer peer(po);
    ASSERT_NE(peer.port(), 0);
    peer.start();
    sipp_process called(peer_dir_.path(), Scenario("uas-t38-answer.xml"), gateway, 0,
                        {{"peer_port", std::to_string(peer.port())}});
    ASSERT_TRUE(RequestDone(controller_->Send("0612345678")));
    int pages_sent = 0;
    const std::optional<tessaly_test::Reply> r =
        CountPagesUntil(FAX_STATUS_PAGE_SENT,
                        {FAX_STATUS_PAGE_SENT, FAX_STATUS_FAX_SENT, FOIP_STATUS_FAX_NOT_SENT,
                         FOIP_STATUS_FAX_NOT_CONNECTED, FAX_STATUS_SESSION_LOST},
                        pages_sent);
    ASSERT_TRUE(r.has_value()) << "no final status";
    EXPECT_EQ(r->status.kind, FAX_STATUS_FAX_SENT) << "value " << r->status.value << " " << r->status.text;
    EXPECT_EQ(pages_sent, 3);
    ASSERT_TRUE(peer.wait(20000));
    EXPECT_EQ(peer.completion.load(), T30_ERR_OK);
    ExpectPages(po.rx_file, pages);
    EXPECT_EQ(called.wait(20000), 0) << called.errors() << called.messages();
  }

  // INVITEs never acknowledged: their server transactions re-send the 404
  // until the hold time ends them (the calls are free at once); every
  // INVITE has its final answer within seconds.
  started = clock_type::now();
  {
    sipp_process burst(peer_dir_.path(), Scenario("uac-refused-noack.xml"), caller, sip,
                       {{"media_port", std::to_string(media + 10)}},
                       {"-m", std::to_string(kUnacknowledged), "-r", "200", "-l", "400"});
    EXPECT_EQ(burst.wait(60000), 0) << burst.errors();
  }
  std::printf("[ sip flood ] %d unacknowledged INVITEs, each answered, in %.1f s\n", kUnacknowledged,
              std::chrono::duration<double>(clock_type::now() - started).count());

  // Hold times of 32 s: everything back within 45 s.
  const levels after = WaitForIdle(idle, 45000);
  std::printf("[ sip flood ] idle before: %s\n[ sip flood ] at the end:  %s\n", idle.text().c_str(),
              after.text().c_str());
  std::printf("[ sip flood ] %s\n", HighWater().c_str());
  EXPECT_EQ(after, idle) << LeftOver();
  EXPECT_TRUE(StopTessaly());
}

}  // namespace
}  // namespace sip_road

#endif
