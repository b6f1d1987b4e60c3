// The device controller's link to the fax server: the request slot that
// DRENNIC writes jobs, offline and online requests and the closedown to, the
// packets sent to DRENNIC (device state, job and scan results, a received
// message, device start) and to MORVATH (port init, program start), and the
// device state that DRENNIC is told of.
//
// A send or scan request taken while the device is idle waits here for the
// main loop (`job_waiting`); an offline request is held as pending until the
// main loop takes the device offline.
#pragma once

#include <cstddef>

#include "common/mailslot.h"
#include "controller/controller_context.h"
#include "controller/device_states.h"
#include "controller/drennic_packets.h"

class FaxServerLink {
 public:
  // ProcessDeviceRequests' result when a send or scan job was copied for
  // the main loop; HandleDeviceRequest's when the next packet is to be read.
  static constexpr int kJobCopied = 1;
  static constexpr int kReadOn = -1;

  explicit FaxServerLink(ControllerContext& ctx) : ctx_(ctx) {}
  ~FaxServerLink();
  FaxServerLink(const FaxServerLink&) = delete;
  FaxServerLink& operator=(const FaxServerLink&) = delete;

  // Opens the own request slot; false after its fatal log line.
  [[nodiscard]] bool OpenRequestSlot();
  int request_fd() const { return request_handle_.fd; }

  // --- requests from DRENNIC ---
  int ProcessDeviceRequests();
  // Handles one packet read from the request slot; returns what
  // ProcessDeviceRequests returns for it (kReadOn: go on reading).
  int HandleDeviceRequest(const u8* data, std::size_t size);

  // --- device state ---
  int SetDeviceState(unsigned state);
  unsigned device_state() const { return device_state_; }
  // Whether SetDeviceState changed the state since the last device check.
  bool state_changed() const { return state_changed_; }
  void clear_state_changed() { state_changed_ = false; }

  // --- packets to DRENNIC and MORVATH ---
  StatusWord SendJobResultToDRENNIC(u16 job, StatusWord status, u16 connect_time, u16 pages);
  StatusWord SendScanResultToDRENNIC(u16 job, u16 value, StatusWord status);
  StatusWord SendMessageReceivedToDRENNIC(const char* user, const char* control_file);
  StatusWord SendDeviceStartToDRENNIC();
  StatusWord SendPortInitToMORVATH();
  StatusWord SendProgramStartToMORVATH(const char* title);
  StatusWord SendOfflineReply(StatusWord status, const u8* request);

  // --- offline requests and the waiting job ---
  bool offline_pending() const { return offline_pending_; }
  // Sends the offline reply (status 0) the last offline request asked for.
  void AnswerOfflineRequest();
  bool job_waiting() const { return job_waiting_; }
  void TakeWaitingJob() { job_waiting_ = false; }
  const DeviceRequest& waiting_job() const { return job_; }

 private:
  StatusWord SendToDrennic(u8* packet, std::size_t size);
  int OfflineRequest(const DeviceRequest& r);

  ControllerContext& ctx_;
  MailslotHandle request_handle_;
  unsigned device_state_ = DS_STARTUP;
  bool state_changed_ = false;
  bool offline_pending_ = false;
  bool job_waiting_ = false;
  DeviceRequest job_;
  u8 last_offline_id_[kOfflineIdKeptSize] = {};
  bool have_last_offline_id_ = false;
  u16 last_offline_id_value_ = 0;
  bool offline_reply_wanted_ = false;
};
