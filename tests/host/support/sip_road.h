// A fax through the whole of tessaly over SIP and T.38: tessaly's real
// entities (host, application, FOIP with its SIP side, ENT_SSC, ENT_SIP,
// T.38, fax engine, sockets) run in this process on a temporary server
// area; a scripted device controller talks to it on the mailslots; sipp is
// the far SIP side on loopback and spandsp's T.38 terminal the far fax,
// its UDPTL port given to tessaly by sipp's SDP.  Every wait is bounded.
// Test-only.
//
// Fixed ports of the real-time tests.  Tests that run in parallel under
// ctest take fixed loopback ports ("Ports of this program: ..." in each
// test), and peers such as spandsp, sipp and kamailio, and our own sockets,
// bind port 0 at the same time.  Linux hands those out from the ephemeral
// range (/proc/sys/net/ipv4/ip_local_port_range, 32768-60999 by default),
// so a fixed port there may already be held by another test's peer.  Every
// fixed test port therefore stays below 32768, clear of the shipped server
// area's defaults (SIP 5060, gateway 5070, media 20000-20199) and of the
// balancer test's free blocks (21000-29999).  Ranges in use, one test each:
//   13000-14019  T.38 milestones, a media base each (base + 0..19)
//   14160-14161, 14180-14181  system receive and recovery SIP ports, their
//                media 16000-16199 and 16400-16599
//   14700-14999, 15100-15159  T.38 milestones: conversion and ECM
//   15200-15599  SIP fax roads, 40 each: SIP, gateway, then the media of
//                sessions 1 and 2 from + 20
//   17060-17599  demo, tessaly and run command areas
//   18000-18599  bench/t38_fax (run alone)
//   10000-11000  far media ports named in SDP offers (nothing binds them)
#pragma once

#if defined(KV_HAVE_SPANDSP) && defined(KV_HAVE_LIBTIFF)

#include <gtest/gtest.h>
#include <sys/types.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/support/temp_folder.h"
#include "fax/support/fax_test_pages.h"
#include "host/scripted_controller.h"

namespace sip_road {

// sipp in a child process, its messages and errors logged in `dir`.
class sipp_process {
 public:
  // `scenario` is a file of tests/host/sipp/; `remote` the port sipp
  // calls (0: sipp only answers); `keys` pairs of -key name value.  With
  // `run` (sipp's options of a load: "-m", "5000", "-r", "500" ...) in place
  // of one call with its message trace, the trace is not kept.
  sipp_process(const std::string& dir, const std::string& scenario, uint16_t local, uint16_t remote,
               const std::vector<std::pair<std::string, std::string>>& keys, const std::vector<std::string>& run = {});
  ~sipp_process();
  sipp_process(const sipp_process&) = delete;
  sipp_process& operator=(const sipp_process&) = delete;

  // sipp's exit code (0: its scenario passed), or -1 when it has not ended
  // within `ms` (it is killed then).
  int wait(int ms);
  // What sipp wrote: its message trace and its errors.
  std::string messages() const;
  std::string errors() const;

 private:
  std::string dir_;
  std::string name_;
  pid_t pid_ = -1;
};

// One SIP message of sipp's message trace.
struct sipp_message {
  bool received = false;  // sipp received it (else sipp sent it)
  double at = -1.0;       // when, in seconds of sipp's day
  std::string text;
};
std::vector<sipp_message> sipp_messages(const std::string& trace);
// The texts of the messages sipp received whose first line starts with
// `start` ("INVITE ", "SIP/2.0 200"), in order; a retransmission (the same
// text again) is left out.
std::vector<std::string> received_messages(const std::string& trace, const std::string& start);
// When sipp received (or sent) the first message whose text starts with
// `start` and holds `holding`, in seconds of its day; -1 when none.
double time_of(const std::string& trace, bool received, const std::string& start, const std::string& holding = "");
// The m= lines of a message's SDP as written, without the "m=".
std::vector<std::string> media_lines(const std::string& message);
// The version of a message's o= line; -1 when it has none.
long long origin_version(const std::string& message);

class SipRoadTest : public ::testing::Test {
 protected:
  // A server area whose SIP side listens on `sip_port`, calls the gateway at
  // `gateway_port`, its media ports from `media_port` (UDPTL + 2).
  void MakeArea(uint16_t sip_port, uint16_t gateway_port, uint16_t media_port);
  // After MakeArea: the SIP side's operating mode (one of the names of "SIP
  // operating mode") and its wait before a re-INVITE ("SIP delay", ms).
  void SetSipMode(const std::string& mode, unsigned delay_ms);
  // Starts tessaly, registers the controller (receive enabled or not) and
  // waits until the SIP side is configured.
  void StartTessaly(bool receive);
  bool StopTessaly();
  void TearDown() override;

  // Status packets until one of `kinds` comes (returned); with no kinds, the
  // next packet that is not a status.  Nothing within `ms`: none.
  std::optional<tessaly_test::Reply> NextOf(std::initializer_list<uint16_t> kinds, int ms);
  // The controller's request, whose sending returned `sent`, is taken:
  // FAX_STATUS_REQUEST_DONE comes within 5 s.
  ::testing::AssertionResult RequestDone(StatusWord sent);
  // Status packets of `kinds` (`page_kind` among them) until one that is not
  // `page_kind` (returned; none when 60 s pass without one of `kinds`);
  // `pages` counts those of `page_kind` on the way.
  std::optional<tessaly_test::Reply> CountPagesUntil(uint16_t page_kind, std::initializer_list<uint16_t> kinds,
                                                     int& pages);
  // Every page of `path` equals `pages`, pixel for pixel (libtiff).
  void ExpectPages(const std::string& path, const std::vector<fax_test::page>& pages);
  static void WriteFaxTiff(const std::string& path, const std::vector<fax_test::page>& pages) {
    fax_test::libtiff_write_fax(path, pages);
  }

  std::string PagesFile() const { return area_.File("Tessaly/pages/page1.tif"); }
  std::string ReceivedFile() const { return area_.File("Tessaly/rcv/in.tif"); }
  std::string Log() const { return kvtest::ReadFile(area_.File("K-DB/TESSALY.log")); }
  // The FOIP entity's event and trace files of the area, for failures.
  std::string Traces() const;
  static std::string Scenario(const std::string& name);

  kvtest::TempFolder area_;
  kvtest::TempFolder peer_dir_;
  std::unique_ptr<tessaly_test::ScriptedController> controller_;
  std::thread tessaly_;
  int exit_code_ = -1;
};

}  // namespace sip_road

#endif
