// The device controller (marrock): one process per fax channel.  It takes
// jobs from DRENNIC's requests on its request slot, hands faxes to tessaly
// and learns of calls from it through its reply slot, and reports results
// and its device state to DRENNIC and MORVATH.
//
// One thread; every wait is a Pause of the controller's clock
// (controller_clock.h), which ends as soon as a packet reaches one of the
// two own slots.  Slots: the request slot is the console title with '-'
// turned into '\' ("FOIP\G1\3"); the reply slot for tessaly is "F" + the
// request slot name ("FFOIP\G1\3"), so that channels of different groups
// never share one.
//
// Results are PERC codes (device_states.h); before a failure the device
// layer stores a status word, which the main loop reports.
//
// Entry points of the send and receive paths: ProcessSendJob,
// ProcessScanJob and HandleIncomingCall (controller_jobs.cpp).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "common/mailslot.h"
#include "common/tessaly_packets.h"
#include "controller/controller_clock.h"
#include "controller/controller_config.h"
#include "controller/device_log.h"
#include "controller/device_states.h"
#include "controller/drennic_packets.h"
#include "controller/send_path.h"

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

// FOIPStatus values.
enum FoipStatusValue : std::uint16_t {
  FOIP_READY = 1,
  FOIP_WAIT_PAGE_DATA = 2,
  FOIP_WRITING_TIFF = 3,
  FOIP_DOCUMENT_COMPLETE = 4,
  FOIP_DIALLED = 5,
  FOIP_HANDED_OVER = 6,
  FOIP_RECEIVING = 8,
  FOIP_FAX_RECEIVED = 9,
  FOIP_FAX_NOT_RECEIVED = 10,
  FOIP_STATUS_FAX_POST_PROCESSING = 12,
};

// Send information of the fax in hand.
struct SendFOIPInfo {
  char message_name[10] = "";
  std::int32_t job_number = 0;
  std::int16_t job_sub_number = 0;
  char telephone[42] = "";
  char recipient[32] = "";
  char sender_telephone[41] = "";
  char sender_name[32] = "";
  char sender_csid[21] = "";
  std::uint16_t pages = 0;
};

class Controller {
 public:
  explicit Controller(ControllerClock* clock);
  ~Controller();
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

  // --- states ---
  int SetDeviceState(unsigned state);
  unsigned device_state() const { return device_state_; }
  int FOIPErrorToPERC(StatusWord status);

  // --- requests from DRENNIC ---
  int ProcessDeviceRequests();
  // Handles one packet read from the request slot; returns what
  // ProcessDeviceRequests returns for it (-1: go on reading).
  int HandleDeviceRequest(const std::uint8_t* data, std::size_t size);
  StatusWord SendJobResultToDRENNIC(std::uint16_t job, StatusWord status, std::uint16_t connect_time,
                                    std::uint16_t pages);
  StatusWord SendScanResultToDRENNIC(std::uint16_t job, std::uint16_t value, StatusWord status);
  StatusWord SendMessageReceivedToDRENNIC(const char* user, const char* control_file);
  StatusWord SendDeviceStartToDRENNIC();
  StatusWord SendPortInitToMORVATH();
  StatusWord SendProgramStartToMORVATH(const char* title);
  StatusWord SendOfflineReply(StatusWord status, const std::uint8_t* request);

  // --- link to tessaly ---
  int InitialiseDevice(int kind);
  int InitialiseFOIPDevice(int kind);
  int InitTESSALYMessagePipe();
  int RegisterDeviceWithTESSALY();
  int SendPacketToTESSALY(std::uint8_t* packet, std::uint16_t length);
  int WaitForTESSALYPacketResponse(int expected_type, bool abort);
  int CheckTESSALYPackets();
  // Handles one packet of the reply slot: returns -1 to go on reading, else
  // CheckTESSALYPackets' result.
  int HandleTessalyPacket(const std::uint8_t* data, std::size_t size);
  int CheckRingIn();
  int ProcessFaxStatusPacket(const FaxStatusPacket& p);
  int SendReceiveStatusToTESSALY(int wanted);
  int SendAbortToTESSALY();
  int SendFaxToTESSALY(const char* folder, const char* file_name, std::uint16_t pages);
  int ProcessRingIn(bool accept);
  int ReRegisterIfRequired(int result);
  void SetFOIPSendInfo(const SendFOIPInfo& info);
  void AddToFOIPSendInfo(const char* telephone, const char* sender_csid);
  void SetFOIPStatus(std::uint16_t value);
  void TidyUpOnClosedown();
  int CancelJob();
  int ClosedownDevice();
  // The offline and online steps of an offline request.
  int DeviceOffline() { return ClosedownDevice(); }
  int DeviceOnline() { return InitialiseDevice(4); }
  void WaitForJobToFinish();
  int WaitForSendConnectedFromTESSALY();
  int WaitForReceiveConnectedFromTESSALY();
  void TakeReceiveConnectedInfo();
  // True when the process holding "TESSALY" is not the one this device
  // registered with (it ended, or another one started since).
  bool TessalyLost();
  // Idle check: a tessaly that started since the registration gets the
  // registration again at once; one that is gone is waited for.
  void CheckTessalyHolder();

  // --- entry points of the send and receive paths ---
  int ProcessSendJob();
  int ProcessScanJob();
  int HandleIncomingCall();
  // Ends the job in hand at once (closedown): a send is cancelled on
  // tessaly's side and its job result sent; a receive has what arrived
  // filed as a partial fax (job result 0xF016), and a receive file that
  // cannot be filed is kept under a backup name.  Nothing happens without
  // a job in hand.  Returns a PERC.
  int EndJobInHand();
  bool job_in_hand() const { return job_in_hand_ != JobInHand::kNone; }

  // --- send path ---
  // One send job to a remote fax: header, attempts and retries.  Returns a
  // PERC; `connect_time` in seconds, `pages` the highest page reached.
  int SendToRemote(const SendRequestView& v, std::uint16_t* connect_time, std::uint16_t* pages);
  int MakeConnection(int kind, int format, const char* telephone, std::uint16_t pages);
  int ConnectHostToRemote(std::uint16_t pages, const char* telephone);
  int WaitForConnect();

  // --- receive path ---
  int AcceptIncomingCall();
  int WaitForReceiveConnect();
  // One round of the receive: polls tessaly once; `page_done` when a new
  // page was reported, `doc_done` when the fax has ended and the received
  // file is converted.  Returns a PERC (36: the fax ended part way and
  // what arrived was converted).
  int ReceiveDataFrame(bool* page_done, bool* doc_done);

  // --- access for the programs and tests ---
  ControllerIdentity& identity() { return id_; }
  ControllerConfig& config() { return config_; }
  DeviceLog& device_log() { return device_log_; }
  const char* reply_slot() const { return reply_slot_; }
  std::uint16_t foip_status() const { return foip_status_; }
  StatusWord status_word() const { return status_word_; }
  void set_status_word(StatusWord s) { status_word_ = s; }
  bool closedown_requested() const { return closedown_; }
  void RequestClosedown() { closedown_ = true; }
  bool offline_pending() const { return offline_pending_; }
  bool job_waiting() const { return job_waiting_; }
  bool ring_in() const { return ring_in_flag_; }
  bool reregistration_required() const { return reregister_; }
  const DeviceRequest& waiting_job() const { return job_; }
  const char* did() const { return did_; }
  const char* remote_csid() const { return remote_csid_; }
  const RingInPacket& ring_in_record() const { return ring_in_record_; }
  std::uint16_t current_page() const { return current_page_; }
  void set_current_page(std::uint16_t page) { current_page_ = page; }
  // Opens the own request slot; false after the fatal log.
  bool OpenRequestSlot();
  // Picks a DeviceId no live controller holds (a lock file beside the
  // mailslots), starting from `seed`'s low 16 bits; never 0.
  std::uint16_t ChooseDeviceId(std::int64_t seed);

 private:
  void Fatal();
  int ParseDeviceArguments(const std::vector<std::string>& args);
  bool ReadConfiguration();
  int DetectRingIn();
  int DeviceCheck();
  StatusWord SendToDrennic(std::uint8_t* packet, std::size_t size);
  void StoreLastPacket(const std::uint8_t* data, std::size_t size);
  int OfflineRequest(const DeviceRequest& r);
  void ClearCallFields();
  void DeleteTemporaryFaxFiles();
  bool Elapsed(std::uint32_t since, std::uint32_t ms);

  ControllerClock* clock_;
  ControllerIdentity id_;
  ControllerConfig config_;
  DeviceLog device_log_;
  MarrockCommandLine command_line_;
  int exit_code_ = -1;

  MailslotHandle request_handle_;
  MailslotHandle reply_handle_;
  char reply_slot_[100] = "";
  int device_id_lock_ = -1;

  // main loop
  unsigned device_state_ = DS_STARTUP;
  bool state_changed_ = false;
  StatusWord status_word_ = 0;
  std::uint16_t current_page_ = 0;
  bool closedown_ = false;
  bool offline_pending_ = false;
  bool job_waiting_ = false;
  DeviceRequest job_;
  std::uint8_t last_offline_id_[kOfflineIdKeptSize] = {};
  bool have_last_offline_id_ = false;
  std::uint16_t last_offline_id_value_ = 0;
  bool offline_reply_wanted_ = false;
  bool call_waiting_ = false;
  std::int64_t last_device_check_ = 0;
  bool device_checked_ = false;

  // link to tessaly
  std::uint16_t foip_status_ = FOIP_READY;
  bool request_in_progress_ = false;
  bool reregister_ = false;
  bool registering_ = false;
  std::uint64_t tessaly_holder_ = 0;  // who held "TESSALY" at the last registration
  bool tessaly_missing_logged_ = false;
  bool tessaly_went_ = false;  // the tessaly that held the job in hand has gone
  bool ring_in_flag_ = false;
  bool connected_ = false;
  bool last_page_ = false;
  bool sip_connected_seen_ = false;
  std::uint8_t last_packet_[kTessalyReplyMaxSize] = {};
  std::size_t last_packet_size_ = 0;
  RingInPacket ring_in_record_;
  SendFOIPInfo send_info_;
  std::uint16_t received_pages_ = 0;
  char did_[61] = "";
  char sub_address_[61] = "";
  char caller_number_[21] = "";
  char remote_csid_[21] = "";
  char receive_file_[16] = "";
  FILE* comms_log_ = nullptr;

  // job in hand
  enum class JobInHand { kNone, kSend, kReceive };
  JobInHand job_in_hand_ = JobInHand::kNone;
  std::uint16_t send_job_number_ = 0;
  std::uint16_t send_connect_time_ = 0;
  std::uint16_t send_pages_ = 0;
  // send attempt
  int connection_kind_ = 0;
  int connection_format_ = 0;
  std::string outgoing_file_;  // Linux path of the file handed to tessaly
  std::uint16_t outgoing_pages_ = 0;
  std::uint16_t pages_confirmed_ = 0;  // last page tessaly reported sent
  std::int64_t connection_time_ = -1;
  int SendAttempt(const SendRequestView& v, const SendFilePlan& plan, std::vector<int>* page_numbers);
  int ConnectLoop(const SendRequestView& v, bool first_pass);
  int WriteOutgoingFile(const SendFilePlan& plan, std::vector<int>* page_numbers);
  int SendPageMarker(bool last);
  int WaitForFaxSent();
  void FinishSendJob(int perc);
  std::string RetransmissionHeader(const char* name, const char* fallback, int format, bool additional);
  // receive
  std::string caller_address_;
  std::string relay_user_;
  std::string relay_dest_;
  bool receive_partial_ = false;
  bool receive_accepted_ = false;  // tessaly was told to take the call
  int receive_format_ = 0;
  std::uint32_t receive_start_ms_ = 0;
  std::int64_t call_taken_s_ = 0;
  std::string ReceivePath() const;
  std::string ConvertedPath() const;
  int ConvertReceivedFax(bool partial);
  int FileReceivedFax();
  int EndReceive(bool failed);
  // Moves the receive and converted files aside instead of deleting them
  // (at a closedown, or when what arrived could not be filed).
  void KeepPartialReceive();
  // A taken call that ends without a filed fax (closedown, tessaly gone)
  // still gets its job result: not received, with the pages that arrived.
  void ReportUnfiledReceive();
};
