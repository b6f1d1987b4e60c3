// The device controller (marrock): one process per fax channel.  It takes
// jobs from DRENNIC's requests on its request slot, hands faxes to tessaly
// and learns of calls from it through its reply slot, and reports results
// and its device state to DRENNIC and MORVATH.
//
// One thread; every wait is a Pause of the controller's clock
// (controller_clock.h), which ends as soon as a packet reaches one of the
// two own slots.  The request slot is the console title with '-' turned
// into '\' ("FOIP\G1\3").
//
// Results are PERC codes (device_states.h); before a failure the device
// layer stores a status word, which the main loop reports.
//
// The parts, each in its own file: the link to the fax server
// (fax_server_link.h), the link to tessaly (tessaly_link.h), the send job
// (send_job.h) and the receive job (receive_job.h).  The Controller holds
// them, runs start-up, the main loop, the offline and recovery loops and the
// scan job, and takes a job or call to the part that serves it.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "controller/controller_context.h"
#include "controller/fax_server_link.h"
#include "controller/receive_job.h"
#include "controller/send_job.h"
#include "controller/tessaly_link.h"

inline constexpr const char* kMarrockVersion = "15.0.928";
inline constexpr int kMaxCommandArguments = 20;

struct MarrockCommandLine {
  char server_paragraph[282] = "[SERVER]";
  char devices_paragraph[282] = "[DEVICES]";
  bool service = false;
  std::vector<std::string> remaining;  // program name first, at most 20
};

MarrockCommandLine ParseCommandLine(int argc, const char* const* argv);
// The console title from the remaining arguments.
std::string BuildConsoleTitle(const std::vector<std::string>& args, const char* type_name);

class Controller : private JobFiles {
 public:
  explicit Controller(ControllerClock* clock);
  ~Controller() override;
  Controller(const Controller&) = delete;
  Controller& operator=(const Controller&) = delete;

  // --- start-up and main loop ---
  // Runs the whole program; returns the exit code.
  int AppMain(int argc, const char* const* argv);
  // Returns a PERC; `exit_code()` is 0 or more when the program must end.
  int InitialiseController(const std::vector<std::string>& args);
  int exit_code() const { return exit_code_; }
  // One round of the main loop with the last result `r`; returns the new one.
  int MainLoopRound(int r);
  void Closedown();
  int CheckForIncomingCall();
  int HandleOffline(int r);
  int WaitForFaxToSmile();
  // The scan job: this device has no document feeder.
  int ProcessScanJob();
  // Ends the job in hand at once (closedown): a send is cancelled on
  // tessaly's side and its job result sent; a receive has what arrived
  // filed as a partial fax (job result 0xF016), and a receive file that
  // cannot be filed is kept under a backup name.  Nothing happens without
  // a job in hand.  Returns a PERC.
  int EndJobInHand();
  bool job_in_hand() const { return JobInHand(); }

  // --- the parts ---
  FaxServerLink& fax_server() { return fax_server_; }
  TessalyLink& tessaly() { return tessaly_; }
  SendJob& send_job() { return send_; }
  ReceiveJob& receive_job() { return receive_; }

  // --- access for the programs and tests ---
  ControllerIdentity& identity() { return ctx_.id; }
  ControllerConfig& config() { return ctx_.config; }
  DeviceLog& device_log() { return ctx_.device_log; }
  StatusWord status_word() const { return ctx_.status_word; }
  void set_status_word(StatusWord s) { ctx_.status_word = s; }
  bool closedown_requested() const { return ctx_.closedown; }
  void RequestClosedown() { ctx_.closedown = true; }
  u16 current_page() const { return ctx_.current_page; }
  void set_current_page(u16 page) { ctx_.current_page = page; }
  // Opens the own request slot; false after the fatal log.
  bool OpenRequestSlot();
  // Picks a DeviceId no live controller holds (a lock file beside the
  // mailslots), starting from `seed`'s low 16 bits; never 0.
  u16 ChooseDeviceId(i64 seed);

 private:
  bool JobInHand() const override;
  void DeleteTemporaryFaxFiles() override;
  void Fatal();
  int ParseDeviceArguments(const std::vector<std::string>& args);
  bool ReadConfiguration();
  int DetectRingIn();
  int DeviceCheck();

  ControllerContext ctx_;
  FaxServerLink fax_server_;
  TessalyLink tessaly_;
  SendJob send_;
  ReceiveJob receive_;
  MarrockCommandLine command_line_;
  int exit_code_ = -1;
  int device_id_lock_ = -1;
  FILE* comms_log_ = nullptr;
  bool call_waiting_ = false;
  i64 last_device_check_ = 0;
  bool device_checked_ = false;
};
