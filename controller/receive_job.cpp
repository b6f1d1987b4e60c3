// The receive path of the device controller: an incoming call announced by
// tessaly is taken or refused by the relay and DID rules, followed page by
// page, converted, filed as a receive control file and message file in the
// receive user's K-IN folder, and reported to DRENNIC.
#include <algorithm>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "common/ini_reader.h"
#include "common/server_settings.h"
#include "controller/controller.h"
#include "controller/convert.h"
#include "controller/fax_file.h"
#include "controller/receive_routing.h"
#include "platform/paths.h"

namespace {

constexpr int kConnectRemoteToHost = 13;
constexpr int kDataFirst = 17;
constexpr std::uint32_t kPollMs = 3000;
constexpr std::uint32_t kReceiveLimitMs = 1800 * 1000;
constexpr int kReceiveFormatMh = 4;

std::tm LocalTime(std::int64_t seconds) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  localtime_r(&t, &tm);
  return tm;
}

}  // namespace

std::string Controller::ReceivePath() const {
  return platform::ToLinuxPath(config_.temp_receive_folder) + receive_file_;
}

std::string Controller::ConvertedPath() const {
  return platform::ToLinuxPath(config_.temp_receive_folder) + "c" + receive_file_;
}

int Controller::HandleIncomingCall() {
  if (!config_.recd_user[0]) {
    CtlLog(5, "No user configured for incoming call - ignoring it");
    // tessaly still waits for an answer: the call is refused.
    (void)ProcessRingIn(false);
    return PERC_FAX_ERROR;
  }
  device_log_.BeginCallTrace(SystemParameters().LogFile);
  current_page_ = 0;
  status_word_ = STATUS_FAX_NO_CONNECTION;
  receive_partial_ = false;
  receive_accepted_ = false;
  tessaly_went_ = false;
  receive_format_ = 0;
  job_in_hand_ = JobInHand::kReceive;
  call_taken_s_ = clock_->NowSeconds();
  int r = MakeConnection(kConnectRemoteToHost, kReceiveFormatMh, "", 0);
  if (r == 0) {
    const int p = ProcessDeviceRequests();
    if (p != 0) {
      job_in_hand_ = JobInHand::kNone;
      device_log_.EndCallTrace(true, SystemParameters().LogFile);
      return p;
    }
  }
  const bool coming = r == kDataFirst;
  if (r != 0 && !coming) {
    if (r != PERC_CALL_REFUSED) CtlLog(3, "Error %s connecting on incoming call", PercText(r));
  } else {
    r = WaitForConnect();
  }
  if (r == 0) {
    if (remote_csid_[0] || !caller_number_[0]) CtlLog(3, "Incoming call from %s ID '%s'", "fax", remote_csid_);
    else CtlLog(3, "Incoming call from number '%s'", caller_number_);
    if (coming) {
      SetDeviceState(DS_RECEIVING);
      receive_start_ms_ = clock_->NowMs();
      for (;;) {
        bool page_done = false, doc_done = false;
        r = ReceiveDataFrame(&page_done, &doc_done);
        if (received_pages_ > current_page_) {
          current_page_ = received_pages_;
          SetDeviceState(DS_RECEIVING);
        }
        if (r != 0 && r != PERC_FAX_INTERRUPTED) {
          CtlLog(5, "Error %s receiving page from %s", PercText(r), "Fax");
          break;
        }
        if (doc_done) break;
        const int p = ProcessDeviceRequests();
        if (p != 0 && closedown_) {
          // Closedown while receiving: what arrived is filed as a partial fax.
          r = EndJobInHand();
          return EndReceive(r != 0);
        }
      }
      if (r == PERC_FAX_INTERRUPTED) receive_partial_ = true;
      if (r == 0 || r == PERC_FAX_INTERRUPTED) r = WaitForConnect();
    }
  }
  if (r == 0) r = FileReceivedFax();
  if (r == 0 && receive_partial_) r = PERC_FAX_INTERRUPTED;
  if (r == 0) {
    WaitForJobToFinish();
  } else {
    // A receive cut short by a closedown or by the end of tessaly keeps
    // what was not filed, and its result is sent all the same.
    if ((closedown_ || tessaly_went_) && job_in_hand_ == JobInHand::kReceive) {
      KeepPartialReceive();
      ReportUnfiledReceive();
    }
    const int c = CancelJob();
    r = receive_partial_ ? PERC_FAX_INTERRUPTED : std::max(r, c);
  }
  return EndReceive(r != 0);
}

void Controller::ReportUnfiledReceive() {
  if (job_in_hand_ != JobInHand::kReceive) return;
  job_in_hand_ = JobInHand::kNone;
  if (!receive_accepted_) return;
  CtlLog(5, "Received fax not filed (%d pages arrived) - reported as not received", received_pages_);
  SendJobResultToDRENNIC(0, STATUS_FAX_NOT_RECEIVED_DEFAULT, 0, received_pages_);
}

int Controller::EndReceive(bool failed) {
  job_in_hand_ = JobInHand::kNone;
  std::error_code ec;
  std::filesystem::remove(ConvertedPath(), ec);
  std::filesystem::remove(ReceivePath(), ec);
  device_log_.EndCallTrace(failed, SystemParameters().LogFile);
  return CheckRingIn();
}

int Controller::AcceptIncomingCall() {
  RingInPacket ri;
  if (ring_in_flag_) {
    ri = ring_in_record_;
  } else if (!ReadRingIn(last_packet_, last_packet_size_, &ri)) {
    CtlLog(5, "Unexpected packet received. Expected ring-in");
    status_word_ = STATUS_FAX_PORT_ACCESS;
    return PERC_UNABLE_TO_CONNECT;
  }
  caller_address_ = CleanCallField(ri.caller_address, CALL_IP_CHARS);
  const std::string cli = CleanCallField(ri.caller_number, CALL_CLI_CHARS);
  const std::string digits = CleanCallField(ri.called, CALL_DID_CHARS);
  SafeStrncpy(caller_number_, cli.c_str(), sizeof caller_number_);
  SafeStrncpy(did_, digits.c_str(), sizeof did_);
  if (!caller_address_.empty()) CtlLog(1, "Incoming call from: %s", caller_address_.c_str());
  if (!cli.empty()) CtlLog(1, "Call CLI is: %s", cli.c_str());
  if (!digits.empty()) CtlLog(1, "Call DTMF is: %s", digits.c_str());

  const std::string routing = platform::ToLinuxPath(std::string(SystemParameters().SystemArea) + "K-DB\\ROUTING.INI");
  UserDirectory directory;  // no directory on this system: ROUTING.INI decides
  CallRouter router(routing, &directory);
  RelaySettings relay;
  relay.enabled = config_.relay.enabled != 0;
  relay.identifier = config_.relay.identifier;
  relay.reject_unmatched = config_.relay.reject_unknown_id != 0;
  relay.anonymous_send = config_.relay.anonymous_send != 0;
  relay.default_user = config_.relay.default_user;
  bool reject = false;
  relay_user_.clear();
  relay_dest_.clear();
  const int relayed = router.ProcessRelayCall(relay, digits, caller_address_, &reject, &relay_user_, &relay_dest_);
  if (relayed && reject) {
    (void)ProcessRingIn(false);
    return PERC_CALL_REFUSED;
  }
  if (!relayed && config_.reject_incoming_did && router.IsKnownDid(digits) == 0) {
    CtlLog(4, "Rejecting call to unknown DID number: %s", digits.c_str());
    (void)ProcessRingIn(false);
    return PERC_CALL_REFUSED;
  }
  int r = ProcessRingIn(true);
  if (r != 0) {
    device_log_.Write(1, "Error while processing incoming call: %d", r);
    return r;
  }
  receive_accepted_ = true;
  r = WaitForReceiveConnectedFromTESSALY();
  if (r != 0) return r;
  TakeReceiveConnectedInfo();
  // What tessaly reports of the call is cleaned like the ring-in fields.
  SafeStrncpy(remote_csid_, CleanCallField(remote_csid_, CALL_CSID_CHARS).c_str(), sizeof remote_csid_);
  SafeStrncpy(did_, CleanCallField(did_, CALL_DID_CHARS).c_str(), sizeof did_);
  SetFOIPStatus(FOIP_RECEIVING);
  return 0;
}

int Controller::WaitForReceiveConnect() {
  CtlLog(2, "Waiting for receive connection");
  if (device_state_ == DS_CALL_RECEIVED) {
    device_log_.Write(1, "State - STATE_INCOMING_CALL");
    if (foip_status_ != FOIP_RECEIVING && foip_status_ != FOIP_FAX_RECEIVED) {
      status_word_ = STATUS_FAX_F106;
      return PERC_UNABLE_TO_CONNECT;
    }
    call_taken_s_ = clock_->NowSeconds();
    return 0;
  }
  if (device_state_ == DS_RECEIVING) {
    device_log_.Write(1, "State - STATE_RECEIVING");
    if (foip_status_ != FOIP_STATUS_FAX_POST_PROCESSING) {
      CtlLog(1, "WaitForReceiveConnect - unexpected state %d,%d. Possibly due to timeout.", device_state_,
             foip_status_);
      status_word_ = STATUS_FAX_TIMEOUT;
      return PERC_FAX_ERROR;
    }
    device_log_.Write(1, "FOIPDeviceStatus - FOIP_STATUS_FAX_POST_PROCESSING");
    const std::string converted = ConvertedPath();
    if (!platform::FileExists(converted)) {
      CtlLog(5, "File error accessing '%s'", converted.c_str());
      status_word_ = STATUS_IO_FAILURE;
      return PERC_FILE_ERROR;
    }
    std::vector<FaxBitmap> pages;
    if (ReadFaxFile(converted, &pages) != STATUS_OK || pages.empty()) {
      CtlLog(5, "Received file has invalid format 's'");
      status_word_ = STATUS_IO_FAILURE;
      return PERC_FILE_ERROR;
    }
    receive_format_ = ReceiveFormat(pages.front().y_res);
    CtlLog(3, "File format read as: %s (%d Y-DPI)", FormatExtension(receive_format_),
           FaxLinesPerInch(pages.front().y_res));
    return 0;
  }
  CtlLog(5, "WaitForReceiveConnect - unexpected state %d,%d", device_state_, foip_status_);
  status_word_ = STATUS_FOLDER_LOOKUP_FAILED;
  return PERC_FAX_ERROR;
}

int Controller::ReceiveDataFrame(bool* page_done, bool* doc_done) {
  device_log_.Write(1, "ReceiveDataFrame()");
  *page_done = *doc_done = false;
  if (foip_status_ == FOIP_READY) {
    *doc_done = true;  // cancelled
    return 0;
  }
  if (foip_status_ == FOIP_STATUS_FAX_POST_PROCESSING) {
    *doc_done = true;
    return 0;
  }
  if (Elapsed(receive_start_ms_, kReceiveLimitMs)) {
    CtlLog(5, "Timed out while waiting for receive fax messages from TESSALY");
    (void)SendAbortToTESSALY();
    *doc_done = true;
    const int r = ConvertReceivedFax(true);
    if (r != 0) {
      status_word_ = STATUS_FAX_TIMEOUT;
      return PERC_FILE_ERROR;
    }
    return PERC_FAX_INTERRUPTED;
  }
  last_packet_[kServerPacketTypeOffset] = 0;
  last_packet_size_ = 0;
  const int r = CheckTESSALYPackets();
  FaxStatusPacket fs;
  const bool status = ReadFaxStatus(last_packet_, last_packet_size_, &fs);
  if (r != 0) {
    if (status && fs.kind == FAX_STATUS_FAX_NOT_RECEIVED) {
      *doc_done = true;
      const int c = ConvertReceivedFax(true);
      if (c != 0) return c;
      CtlLog(4, "Converted partially received message");
      return PERC_FAX_INTERRUPTED;
    }
    if (r == PERC_FAX_ERROR && tessaly_went_) {
      // tessaly ended in the middle of the fax.  The receive file only ever
      // holds whole pages (each is published once complete, the status
      // follows), so what it holds is the partial fax.
      *doc_done = true;
      if (received_pages_ == 0 && platform::FileExists(ReceivePath())) received_pages_ = 1;
      const int c = ConvertReceivedFax(true);
      if (c != 0) return c;
      CtlLog(4, "Converted partially received message");
      return PERC_FAX_INTERRUPTED;
    }
    if (r > PERC_INCOMING_CALL) {
      (void)SendAbortToTESSALY();
      return r;
    }
    return 0;
  }
  if (!status) {
    clock_->Pause(kPollMs, ControllerClock::kWakeOnBoth);
    return 0;
  }
  device_log_.Write(1, "SubType: %d, Status: %d, Param: %d", TESSALY_FAX_STATUS, fs.kind, fs.value);
  if (fs.kind == FAX_STATUS_PAGE_RECEIVED) {
    if (fs.value > received_pages_) {
      received_pages_ = fs.value;
      *page_done = true;
    }
    return 0;
  }
  if (fs.kind == FAX_STATUS_FAX_RECEIVED) {
    if (received_pages_ < 1) received_pages_ = 1;
    *doc_done = true;
    return ConvertReceivedFax(false);
  }
  return 0;
}

int Controller::ConvertReceivedFax(bool partial) {
  SetFOIPStatus(FOIP_STATUS_FAX_POST_PROCESSING);
  if (received_pages_ == 0) {
    device_log_.Write(1, "No pages written to file during receive fax process");
    status_word_ = STATUS_IO_FAILURE;
    return PERC_FILE_ERROR;
  }
  const std::string receive = ReceivePath();
  if (!platform::FileExists(receive)) {
    CtlLog(5, "File error accessing '%s'", receive.c_str());
    status_word_ = STATUS_IO_FAILURE;
    return PERC_FILE_ERROR;
  }
  StatusWord st = STATUS_OK;
  if (ConvertFile(ConvertedPath(), receive, true, &st) != 0 || !platform::FileExists(ConvertedPath())) {
    CtlLog(5, "Error converting received fax");
    status_word_ = STATUS_IO_FAILURE;
    return PERC_FILE_ERROR;
  }
  if (partial) receive_partial_ = true;
  return 0;
}

// Control file and message file in the receive user's K-IN folder, the
// message-received report and the job result.
int Controller::FileReceivedFax() {
  const int format = receive_format_ ? receive_format_ : 5;
  const int route = ReceiveRoute(format);
  ReceiveCallInfo call;
  call.csid = remote_csid_;
  call.cli = caller_number_;
  call.did = did_;
  call.subaddr = sub_address_;
  call.relay_user = relay_user_;
  call.relay_dest = relay_dest_;
  const std::tm tm = LocalTime(clock_->NowSeconds());
  call.year = tm.tm_year + 1900;
  call.month = tm.tm_mon + 1;
  call.day = tm.tm_mday;
  call.hour = tm.tm_hour;
  call.minute = tm.tm_min;
  call.second = tm.tm_sec;
  std::string control, message;
  const std::string folder =
      platform::ToLinuxPath(std::string(SystemParameters().AllUserArea) + config_.recd_user + "\\K-IN\\");
  // The message file is complete before DRENNIC hears of it; a fax that
  // cannot be filed whole (a full disk) leaves neither file behind, its
  // pages are kept aside and DRENNIC gets a failed result for it.
  auto unfile = [&] {
    std::error_code ec;
    if (!message.empty()) std::filesystem::remove(folder + message, ec);
    if (!control.empty()) std::filesystem::remove(folder + control, ec);
    CtlLog(5, "Received fax could not be filed in '%s' - its pages are kept", folder.c_str());
    KeepPartialReceive();
    SendJobResultToDRENNIC(0, STATUS_IO_FAILURE, 0, received_pages_);
    job_in_hand_ = JobInHand::kNone;
    status_word_ = STATUS_IO_FAILURE;
    return PERC_FILE_ERROR;
  };
  int r = WriteReceiveControlFile(SystemParameters().AllUserArea, config_.recd_user, route, format, call,
                                  config_.csid_separator, &control, &message);
  if (r != 0) return unfile();
  std::vector<FaxBitmap> pages;
  StatusWord st = ReadFaxFile(ConvertedPath(), &pages);
  if (st != STATUS_OK || pages.empty()) {
    CtlLog(5, "Error %s receiving page from %s", PercText(PERC_FILE_ERROR), "Fax");
    return unfile();
  }
  const std::uint16_t y_res = format == 5 ? 100 : format == 6 ? 200 : 400;
  FaxFileWriter w;
  st = w.Start(folder + message, y_res, FAX_PAGE_WIDTH);
  if (st != STATUS_OK) {
    CtlLog(5, "Error 0x%X initialising writing Tiff file", st);
    return unfile();
  }
  for (std::size_t i = 0; i < pages.size() && st == STATUS_OK; ++i)
    st = w.WritePage(ScaleToFaxWidth(pages[i]), i + 1 == pages.size());
  if (st == STATUS_OK) st = w.Finish();
  if (st != STATUS_OK) {
    CtlLog(5, "Error 0x%X writing to recd msg file", st);
    return unfile();
  }
  SendMessageReceivedToDRENNIC(config_.recd_user, control.c_str());
  const std::int64_t seconds = std::max<std::int64_t>(0, clock_->NowSeconds() - call_taken_s_);
  device_log_.Write(1, "Connect time - %d", static_cast<int>(seconds));
  // The pages reported are the pages filed (a receive ended early may hold
  // more than tessaly confirmed).
  SendJobResultToDRENNIC(0, ReceiveJobStatus(receive_partial_),
                         static_cast<std::uint16_t>(std::min<std::int64_t>(seconds, 0xFFFF)),
                         static_cast<std::uint16_t>(pages.size()));
  job_in_hand_ = JobInHand::kNone;
  return 0;
}

void Controller::KeepPartialReceive() {
  const std::tm tm = LocalTime(clock_->NowSeconds());
  bool logged = false;
  for (const std::string& path : {ConvertedPath(), ReceivePath()}) {
    if (!platform::FileExists(path)) continue;
    if (!logged) CtlLog(3, "Shutdown whilst receiving fax, attempting to back up");
    logged = true;
    const std::string kept =
        PartialReceiveBackupName(path, tm.tm_mday, tm.tm_mon + 1, tm.tm_year + 1900, tm.tm_hour, tm.tm_min);
    std::error_code ec;
    std::filesystem::rename(path, kept, ec);
    if (!ec) CtlLog(3, "Partially received fax stored in %s", kept.c_str());
  }
}

void Controller::DeleteTemporaryFaxFiles() {
  std::error_code ec;
  if (closedown_ && foip_status_ == FOIP_RECEIVING) KeepPartialReceive();
  std::filesystem::remove(ConvertedPath(), ec);
  std::filesystem::remove(ReceivePath(), ec);
  if (!outgoing_file_.empty()) std::filesystem::remove(outgoing_file_, ec);
}

int Controller::EndJobInHand() {
  switch (job_in_hand_) {
    case JobInHand::kNone: return 0;
    case JobInHand::kSend: {
      const int r = CancelJob();
      FinishSendJob(PERC_SHUTDOWN_REQUESTED);
      return r;
    }
    case JobInHand::kReceive: {
      int r = received_pages_ > 0 ? ConvertReceivedFax(true) : PERC_FILE_ERROR;
      if (r == 0 && receive_format_ == 0) {
        const unsigned state = device_state_;
        device_state_ = DS_RECEIVING;
        r = WaitForReceiveConnect();
        device_state_ = state;
      }
      if (r == 0) r = FileReceivedFax();
      if (r != 0) {
        KeepPartialReceive();
        ReportUnfiledReceive();
      }
      job_in_hand_ = JobInHand::kNone;
      const int c = CancelJob();
      return r != 0 ? r : c;
    }
  }
  return 0;
}
