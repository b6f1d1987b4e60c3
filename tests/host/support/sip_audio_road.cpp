#include "host/support/sip_audio_road.h"

#if defined(KV_HAVE_SPANDSP) && defined(KV_HAVE_LIBTIFF)

#include <spandsp.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "host/support/milestone_fixture.h"
#include "host/support/t38_live_peer.h"

namespace sip_road {

using clock_type = std::chrono::steady_clock;
using tessaly_test::Reply;

namespace {

double since(clock_type::time_point t) { return std::chrono::duration<double>(clock_type::now() - t).count(); }

// Waits up to `ms` for a file to appear.
bool appears(const std::string& path, int ms) {
  const auto end = clock_type::now() + std::chrono::milliseconds(ms);
  while (clock_type::now() < end) {
    if (std::filesystem::exists(path)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return std::filesystem::exists(path);
}

// Waits up to `ms` until the pools and tables are back to `want`.  Buffers
// are left out: the SIP side's SSC handles keep the last message they read
// and the block they built into (two buffers from the first call on, no
// more after a second call), which a one-call program cannot tell from a
// leak.
bool settles_to(milestone::resources want, int ms) {
  const auto now = [&want] {
    milestone::resources r = milestone::in_use();
    r.buffers = want.buffers;
    return r;
  };
  const auto end = clock_type::now() + std::chrono::milliseconds(ms);
  while (clock_type::now() < end) {
    if (milestone::within(now(), want)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return milestone::within(now(), want);
}

// The run's final status is `want`, after three pages; the timing line.
void expect_three_pages(const std::optional<Reply>& r, uint16_t want, int pages, const road_run& run, double seconds) {
  EXPECT_TRUE(r.has_value()) << "no final status";
  if (r) {
    EXPECT_EQ(r->status.kind, want) << "value " << r->status.value << " " << r->status.text;
  }
  EXPECT_EQ(pages, 3);
  std::printf("[ sip road ] %s: INVITE to final status %.2f s\n", run.label.c_str(), seconds);
}

// The call leaves nothing behind: messages, buffers, timers, sockets and
// sessions are back to what they were `before` it.
void expect_nothing_left(const milestone::resources& before) {
  EXPECT_TRUE(settles_to(before, 10000)) << milestone::describe(milestone::in_use())
                                         << "; before the call: " << milestone::describe(before);
}

}  // namespace

void SipAudioRoadTest::SendThreePages(const road_run& run) {
  const std::vector<fax_test::page> pages = milestone::three_pages(run.ports.sip);
  milestone::peer_options po;
  po.calling = false;
  po.listen = true;
  po.rx_file = peer_dir_.File("rx.tif");
  po.remote_port = static_cast<uint16_t>(run.ports.media + 2);
  po.limit_ms = 60000;
  milestone::t38_live_peer peer(po);
  ASSERT_NE(peer.port(), 0);
  MakeArea(run.ports.sip, run.ports.gateway, run.ports.media);
  SetSipMode(run.mode, run.delay_ms);
  WriteFaxTiff(PagesFile(), pages);
  peer.start();
  sipp_process sipp(peer_dir_.path(), Scenario(run.scenario), run.ports.gateway, 0,
                    {{"peer_port", std::to_string(peer.port())}});
  StartTessaly(false);
  if (HasFatalFailure()) return;
  const milestone::resources before = milestone::quiet_in_use(2000);

  const auto started = clock_type::now();
  ASSERT_TRUE(RequestDone(controller_->Send("0612345678")));
  int pages_sent = 0;
  const std::optional<Reply> r = CountPagesUntil(FAX_STATUS_PAGE_SENT,
                                                 {FAX_STATUS_PAGE_SENT, FAX_STATUS_FAX_SENT, FOIP_STATUS_FAX_NOT_SENT,
                                                  FOIP_STATUS_FAX_NOT_CONNECTED, FAX_STATUS_SESSION_LOST},
                                                 pages_sent);
  seconds_ = since(started);
  expect_three_pages(r, FAX_STATUS_FAX_SENT, pages_sent, run, seconds_);

  EXPECT_TRUE(peer.wait(20000));
  EXPECT_EQ(peer.completion.load(), T30_ERR_OK);
  if (std::filesystem::exists(po.rx_file)) {
    ExpectPages(po.rx_file, pages);
  } else {
    ADD_FAILURE() << "the terminal received nothing";
  }
  EXPECT_EQ(sipp.wait(20000), 0) << sipp.errors() << sipp.messages();
  trace_ = sipp.messages();
  EXPECT_EQ(received_messages(trace_, "BYE ").size(), 1u) << "tessaly ends the call";
  expect_nothing_left(before);
  EXPECT_TRUE(StopTessaly());
}

void SipAudioRoadTest::ReceiveThreePages(const road_run& run) {
  const std::vector<fax_test::page> pages = milestone::three_pages(run.ports.sip);
  milestone::peer_options po;
  po.calling = true;
  po.listen = false;
  po.tx_file = peer_dir_.File("tx.tif");
  po.remote_port = static_cast<uint16_t>(run.ports.media + 2);
  po.limit_ms = 60000;
  WriteFaxTiff(po.tx_file, pages);
  milestone::t38_live_peer peer(po);
  ASSERT_NE(peer.port(), 0);
  MakeArea(run.ports.sip, run.ports.gateway, run.ports.media);
  SetSipMode(run.mode, run.delay_ms);
  StartTessaly(true);
  if (HasFatalFailure()) return;
  const milestone::resources before = milestone::quiet_in_use(2000);

  const auto started = clock_type::now();
  const std::string remote_file = peer_dir_.File("remote.txt");
  sipp_process sipp(peer_dir_.path(), Scenario(run.scenario), run.ports.gateway, run.ports.sip,
                    {{"peer_port", std::to_string(peer.port())}, {"did", "0000001"}, {"remote_file", remote_file}});
  std::optional<Reply> r = NextOf({}, 10000);
  ASSERT_TRUE(r && r->type == TESSALY_RING_IN) << "no ring";
  EXPECT_STREQ(r->ring.called, "0000001");
  ASSERT_TRUE(RequestDone(controller_->Receive(1)));
  // The terminal sends once the T.38 exchange has named tessaly's port.
  ASSERT_TRUE(appears(remote_file, 20000)) << "no T.38 exchange\n" << sipp.errors() << sipp.messages();
  peer.start();
  int pages_received = 0;
  r = CountPagesUntil(
      FAX_STATUS_PAGE_RECEIVED,
      {FAX_STATUS_PAGE_RECEIVED, FAX_STATUS_FAX_RECEIVED, FAX_STATUS_FAX_NOT_RECEIVED, FAX_STATUS_SESSION_LOST},
      pages_received);
  seconds_ = since(started);
  expect_three_pages(r, FAX_STATUS_FAX_RECEIVED, pages_received, run, seconds_);

  EXPECT_TRUE(peer.wait(20000));
  EXPECT_EQ(peer.completion.load(), T30_ERR_OK);
  ExpectPages(ReceivedFile(), pages);
  EXPECT_EQ(sipp.wait(20000), 0) << sipp.errors() << sipp.messages();
  trace_ = sipp.messages();
  // tessaly's UDPTL port on loopback, as the T.38 exchange gave it.
  EXPECT_EQ(kvtest::ReadFile(remote_file), "127.0.0.1 " + std::to_string(run.ports.media + 2) + "\n");
  EXPECT_EQ(received_messages(trace_, "BYE ").size(), 1u) << "tessaly ends the call";
  expect_nothing_left(before);
  EXPECT_TRUE(StopTessaly());
}

void SipAudioRoadTest::ExpectOfferThenReInvite(const lines& offer, const lines& reinvite) {
  const lines invites = received_messages(trace_, "INVITE ");
  ASSERT_EQ(invites.size(), 2u) << trace_;
  EXPECT_EQ(media_lines(invites[0]), offer) << invites[0];
  EXPECT_EQ(media_lines(invites[1]), reinvite) << invites[1];
  EXPECT_GE(origin_version(invites[0]), 0);
  EXPECT_EQ(origin_version(invites[1]), origin_version(invites[0]) + 1) << invites[1];
  // The re-INVITE waits "SIP delay" after our ACK of the audio answer.
  const double wait = time_of(trace_, true, "INVITE ", "CSeq: 2 INVITE") - time_of(trace_, true, "ACK ", "CSeq: 1 ACK");
  EXPECT_GE(wait, 0.45);
  EXPECT_LT(wait, 3.0);
}

}  // namespace sip_road

#endif
