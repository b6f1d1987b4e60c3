// The receive path of the device controller: an incoming call announced by
// tessaly is taken or refused by the relay and DID rules, followed page by
// page, converted, filed as a receive control file and message file in the
// receive user's K-IN folder, and reported to DRENNIC.
#include "controller/receive_job.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "common/ini_reader.h"
#include "common/server_settings.h"
#include "controller/fax_server_link.h"
#include "controller/tessaly_link.h"
#include "controller/convert.h"
#include "controller/fax_file.h"
#include "controller/receive_routing.h"
#include "platform/paths.h"

namespace {

constexpr u32 kPollMs = 3000;
constexpr u32 kReceiveLimitMs = 1800 * 1000;

std::tm LocalTime(i64 seconds) {
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  localtime_r(&t, &tm);
  return tm;
}

}  // namespace

std::string ReceiveJob::ReceivePath() const {
  return platform::ToLinuxPath(ctx_.config.temp_receive_folder) + tessaly_.receive_file();
}

std::string ReceiveJob::ConvertedPath() const {
  return platform::ToLinuxPath(ctx_.config.temp_receive_folder) + "c" + tessaly_.receive_file();
}

int ReceiveJob::HandleIncomingCall() {
  if (!ctx_.config.recd_user[0]) {
    CtlLog(5, "No user configured for incoming call - ignoring it");
    // tessaly still waits for an answer: the call is refused.
    (void)tessaly_.ProcessRingIn(false);
    return PERC_FAX_ERROR;
  }
  ctx_.device_log.BeginCallTrace(SystemParameters().LogFile);
  ctx_.current_page = 0;
  ctx_.status_word = STATUS_FAX_NO_CONNECTION;
  partial_ = false;
  tessaly_.clear_tessaly_went();
  format_ = 0;
  state_ = State::offered;
  call_taken_s_ = ctx_.clock->NowSeconds();
  int r = MakeConnection();
  if (r == 0) {
    const int p = fax_server_.ProcessDeviceRequests();
    if (p != 0) {
      state_ = State::idle;
      ctx_.device_log.EndCallTrace(true, SystemParameters().LogFile);
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
    const char* csid = tessaly_.remote_csid();
    const char* caller = tessaly_.caller_number();
    if (csid[0] || !caller[0]) CtlLog(3, "Incoming call from %s ID '%s'", "fax", csid);
    else CtlLog(3, "Incoming call from number '%s'", caller);
    if (coming) {
      fax_server_.SetDeviceState(DS_RECEIVING);
      start_ms_ = ctx_.clock->NowMs();
      for (;;) {
        bool page_done = false, doc_done = false;
        r = ReceiveDataFrame(&page_done, &doc_done);
        if (tessaly_.received_pages() > ctx_.current_page) {
          ctx_.current_page = tessaly_.received_pages();
          fax_server_.SetDeviceState(DS_RECEIVING);
        }
        if (r != 0 && r != PERC_FAX_INTERRUPTED) {
          CtlLog(5, "Error %s receiving page from %s", PercText(r), "Fax");
          break;
        }
        if (doc_done) break;
        const int p = fax_server_.ProcessDeviceRequests();
        if (p != 0 && ctx_.closedown) {
          // Closedown while receiving: what arrived is filed as a partial fax.
          r = EndInHand();
          return EndReceive(r != 0);
        }
      }
      if (r == PERC_FAX_INTERRUPTED) partial_ = true;
      if (r == 0 || r == PERC_FAX_INTERRUPTED) r = WaitForConnect();
    }
  }
  if (r == 0) r = FileReceivedFax();
  if (r == 0 && partial_) r = PERC_FAX_INTERRUPTED;
  if (r == 0) {
    tessaly_.WaitForJobToFinish();
  } else {
    // A receive cut short by a closedown or by the end of tessaly keeps
    // what was not filed, and its result is sent all the same.
    if ((ctx_.closedown || tessaly_.tessaly_went()) && state_ != State::idle) {
      KeepPartialReceive();
      ReportUnfiledReceive();
    }
    const int c = tessaly_.CancelJob();
    r = partial_ ? PERC_FAX_INTERRUPTED : std::max(r, c);
  }
  return EndReceive(r != 0);
}

void ReceiveJob::ReportUnfiledReceive() {
  if (state_ == State::idle) return;
  const bool taken = state_ == State::accepted;
  state_ = State::idle;
  if (!taken) return;
  CtlLog(5, "Received fax not filed (%d pages arrived) - reported as not received", tessaly_.received_pages());
  fax_server_.SendJobResultToDRENNIC(0, STATUS_FAX_NOT_RECEIVED_DEFAULT, 0, tessaly_.received_pages());
}

int ReceiveJob::EndReceive(bool failed) {
  state_ = State::idle;
  std::error_code ec;
  std::filesystem::remove(ConvertedPath(), ec);
  std::filesystem::remove(ReceivePath(), ec);
  ctx_.device_log.EndCallTrace(failed, SystemParameters().LogFile);
  return tessaly_.CheckRingIn();
}

int ReceiveJob::AcceptIncomingCall() {
  RingInPacket ri;
  if (tessaly_.ring_in()) {
    ri = tessaly_.ring_in_record();
  } else if (!ReadRingIn(tessaly_.last_packet(), tessaly_.last_packet_size(), &ri)) {
    CtlLog(5, "Unexpected packet received. Expected ring-in");
    ctx_.status_word = STATUS_FAX_PORT_ACCESS;
    return PERC_UNABLE_TO_CONNECT;
  }
  caller_address_ = CleanCallField(ri.caller_address, CALL_IP_CHARS);
  const std::string cli = CleanCallField(ri.caller_number, CALL_CLI_CHARS);
  const std::string digits = CleanCallField(ri.called, CALL_DID_CHARS);
  SafeStrncpy(tessaly_.caller_number(), cli.c_str(), kCallerNumberSize);
  SafeStrncpy(tessaly_.did(), digits.c_str(), kDidSize);
  if (!caller_address_.empty()) CtlLog(1, "Incoming call from: %s", caller_address_.c_str());
  if (!cli.empty()) CtlLog(1, "Call CLI is: %s", cli.c_str());
  if (!digits.empty()) CtlLog(1, "Call DTMF is: %s", digits.c_str());

  const std::string routing = platform::ToLinuxPath(std::string(SystemParameters().SystemArea) + "K-DB\\ROUTING.INI");
  UserDirectory directory;  // no directory on this system: ROUTING.INI decides
  CallRouter router(routing, &directory);
  RelaySettings relay;
  relay.enabled = ctx_.config.relay.enabled != 0;
  relay.identifier = ctx_.config.relay.identifier;
  relay.reject_unmatched = ctx_.config.relay.reject_unknown_id != 0;
  relay.anonymous_send = ctx_.config.relay.anonymous_send != 0;
  relay.default_user = ctx_.config.relay.default_user;
  bool reject = false;
  relay_user_.clear();
  relay_dest_.clear();
  const int relayed = router.ProcessRelayCall(relay, digits, caller_address_, &reject, &relay_user_, &relay_dest_);
  if (relayed && reject) {
    (void)tessaly_.ProcessRingIn(false);
    return PERC_CALL_REFUSED;
  }
  if (!relayed && ctx_.config.reject_incoming_did && router.IsKnownDid(digits) == 0) {
    CtlLog(4, "Rejecting call to unknown DID number: %s", digits.c_str());
    (void)tessaly_.ProcessRingIn(false);
    return PERC_CALL_REFUSED;
  }
  int r = tessaly_.ProcessRingIn(true);
  if (r != 0) {
    ctx_.device_log.Write(1, "Error while processing incoming call: %d", r);
    return r;
  }
  state_ = State::accepted;
  r = tessaly_.WaitForReceiveConnectedFromTESSALY();
  if (r != 0) return r;
  tessaly_.TakeReceiveConnectedInfo();
  // What tessaly reports of the call is cleaned like the ring-in fields.
  SafeStrncpy(tessaly_.remote_csid(), CleanCallField(tessaly_.remote_csid(), CALL_CSID_CHARS).c_str(), kRemoteCsidSize);
  SafeStrncpy(tessaly_.did(), CleanCallField(tessaly_.did(), CALL_DID_CHARS).c_str(), kDidSize);
  tessaly_.SetFOIPStatus(FOIP_RECEIVING);
  return 0;
}

int ReceiveJob::MakeConnection() {
  ctx_.device_log.Write(1, "MakeConnection()");
  switch (tessaly_.foip_status()) {
    case FOIP_READY: {
      tessaly_.set_connection_kind(kConnectRemoteToHost);
      const int r = AcceptIncomingCall();
      if (r != 0) {
        ctx_.device_log.Write(1, "Error with connection to remote device - ConnectRemoteToHost()");
        return r;
      }
      tessaly_.SetFOIPStatus(FOIP_RECEIVING);
      return kDataFirst;
    }
    case FOIP_RECEIVING: return kDataFirst;
    case FOIP_FAX_RECEIVED:
    case FOIP_FAX_NOT_RECEIVED: tessaly_.SetFOIPStatus(FOIP_READY); return 0;
    default:
      CtlLog(2, "MakeConnection called in state %d", tessaly_.foip_status());
      ctx_.status_word = STATUS_FAX_BUSY;
      return PERC_UNABLE_TO_CONNECT;
  }
}

// The connection last made on the device: a receive's, or (a call that
// came while a send's connection stood) the send's, which waits for nothing.
int ReceiveJob::WaitForConnect() {
  switch (tessaly_.connection_kind()) {
    case kConnectHostToRemote: ctx_.device_log.Write(1, "WaitForSendConnect()"); return 0;
    case kConnectRemoteToHost: return WaitForReceiveConnect(fax_server_.device_state());
    default:
      CtlLog(6, "WaitForConnect() - invalid connection %d", tessaly_.connection_kind());
      ctx_.status_word = STATUS_BAD_ARGUMENT;
      return PERC_INVALID_PARAMETER;
  }
}

int ReceiveJob::WaitForReceiveConnect(unsigned state) {
  CtlLog(2, "Waiting for receive connection");
  if (state == DS_CALL_RECEIVED) {
    ctx_.device_log.Write(1, "State - STATE_INCOMING_CALL");
    if (tessaly_.foip_status() != FOIP_RECEIVING && tessaly_.foip_status() != FOIP_FAX_RECEIVED) {
      ctx_.status_word = STATUS_FAX_F106;
      return PERC_UNABLE_TO_CONNECT;
    }
    call_taken_s_ = ctx_.clock->NowSeconds();
    return 0;
  }
  if (state == DS_RECEIVING) {
    ctx_.device_log.Write(1, "State - STATE_RECEIVING");
    if (tessaly_.foip_status() != FOIP_STATUS_FAX_POST_PROCESSING) {
      CtlLog(1, "WaitForReceiveConnect - unexpected state %d,%d. Possibly due to timeout.", state,
             tessaly_.foip_status());
      ctx_.status_word = STATUS_FAX_TIMEOUT;
      return PERC_FAX_ERROR;
    }
    ctx_.device_log.Write(1, "FOIPDeviceStatus - FOIP_STATUS_FAX_POST_PROCESSING");
    const std::string converted = ConvertedPath();
    if (!platform::FileExists(converted)) {
      CtlLog(5, "File error accessing '%s'", converted.c_str());
      ctx_.status_word = STATUS_IO_FAILURE;
      return PERC_FILE_ERROR;
    }
    std::vector<FaxBitmap> pages;
    if (ReadFaxFile(converted, &pages) != STATUS_OK || pages.empty()) {
      CtlLog(5, "Received file has invalid format 's'");
      ctx_.status_word = STATUS_IO_FAILURE;
      return PERC_FILE_ERROR;
    }
    format_ = ReceiveFormat(pages.front().y_res);
    CtlLog(3, "File format read as: %s (%d Y-DPI)", FormatExtension(format_), FaxLinesPerInch(pages.front().y_res));
    return 0;
  }
  CtlLog(5, "WaitForReceiveConnect - unexpected state %d,%d", state, tessaly_.foip_status());
  ctx_.status_word = STATUS_FOLDER_LOOKUP_FAILED;
  return PERC_FAX_ERROR;
}

int ReceiveJob::ReceiveDataFrame(bool* page_done, bool* doc_done) {
  ctx_.device_log.Write(1, "ReceiveDataFrame()");
  *page_done = *doc_done = false;
  if (tessaly_.foip_status() == FOIP_READY) {
    *doc_done = true;  // cancelled
    return 0;
  }
  if (tessaly_.foip_status() == FOIP_STATUS_FAX_POST_PROCESSING) {
    *doc_done = true;
    return 0;
  }
  if (ctx_.Elapsed(start_ms_, kReceiveLimitMs)) {
    CtlLog(5, "Timed out while waiting for receive fax messages from TESSALY");
    (void)tessaly_.SendAbortToTESSALY();
    *doc_done = true;
    const int r = ConvertReceivedFax(true);
    if (r != 0) {
      ctx_.status_word = STATUS_FAX_TIMEOUT;
      return PERC_FILE_ERROR;
    }
    return PERC_FAX_INTERRUPTED;
  }
  tessaly_.ClearLastPacket();
  const int r = tessaly_.CheckTESSALYPackets();
  FaxStatusPacket fs;
  const bool status = ReadFaxStatus(tessaly_.last_packet(), tessaly_.last_packet_size(), &fs);
  if (r != 0) {
    if (status && fs.kind == FAX_STATUS_FAX_NOT_RECEIVED) {
      *doc_done = true;
      const int c = ConvertReceivedFax(true);
      if (c != 0) return c;
      CtlLog(4, "Converted partially received message");
      return PERC_FAX_INTERRUPTED;
    }
    if (r == PERC_FAX_ERROR && tessaly_.tessaly_went()) {
      // tessaly ended in the middle of the fax.  The receive file only ever
      // holds whole pages (each is published once complete, the status
      // follows), so what it holds is the partial fax.
      *doc_done = true;
      if (tessaly_.received_pages() == 0 && platform::FileExists(ReceivePath())) tessaly_.set_received_pages(1);
      const int c = ConvertReceivedFax(true);
      if (c != 0) return c;
      CtlLog(4, "Converted partially received message");
      return PERC_FAX_INTERRUPTED;
    }
    if (r > PERC_INCOMING_CALL) {
      (void)tessaly_.SendAbortToTESSALY();
      return r;
    }
    return 0;
  }
  if (!status) {
    ctx_.clock->Pause(kPollMs, ControllerClock::kWakeOnBoth);
    return 0;
  }
  ctx_.device_log.Write(1, "SubType: %d, Status: %d, Param: %d", TESSALY_FAX_STATUS, fs.kind, fs.value);
  if (fs.kind == FAX_STATUS_PAGE_RECEIVED) {
    if (fs.value > tessaly_.received_pages()) {
      tessaly_.set_received_pages(fs.value);
      *page_done = true;
    }
    return 0;
  }
  if (fs.kind == FAX_STATUS_FAX_RECEIVED) {
    if (tessaly_.received_pages() < 1) tessaly_.set_received_pages(1);
    *doc_done = true;
    return ConvertReceivedFax(false);
  }
  return 0;
}

int ReceiveJob::ConvertReceivedFax(bool partial) {
  tessaly_.SetFOIPStatus(FOIP_STATUS_FAX_POST_PROCESSING);
  if (tessaly_.received_pages() == 0) {
    ctx_.device_log.Write(1, "No pages written to file during receive fax process");
    ctx_.status_word = STATUS_IO_FAILURE;
    return PERC_FILE_ERROR;
  }
  const std::string receive = ReceivePath();
  if (!platform::FileExists(receive)) {
    CtlLog(5, "File error accessing '%s'", receive.c_str());
    ctx_.status_word = STATUS_IO_FAILURE;
    return PERC_FILE_ERROR;
  }
  StatusWord st = STATUS_OK;
  if (ConvertFile(ConvertedPath(), receive, true, &st) != 0 || !platform::FileExists(ConvertedPath())) {
    CtlLog(5, "Error converting received fax");
    ctx_.status_word = STATUS_IO_FAILURE;
    return PERC_FILE_ERROR;
  }
  if (partial) partial_ = true;
  return 0;
}

// Control file and message file in the receive user's K-IN folder, the
// message-received report and the job result.
int ReceiveJob::FileReceivedFax() {
  const int format = format_ ? format_ : 5;
  const int route = ReceiveRoute(format);
  ReceiveCallInfo call;
  call.csid = tessaly_.remote_csid();
  call.cli = tessaly_.caller_number();
  call.did = tessaly_.did();
  call.subaddr = tessaly_.sub_address();
  call.relay_user = relay_user_;
  call.relay_dest = relay_dest_;
  const std::tm tm = LocalTime(ctx_.clock->NowSeconds());
  SetCalendarFields(call, tm);
  std::string control, message;
  const std::string folder =
      platform::ToLinuxPath(std::string(SystemParameters().AllUserArea) + ctx_.config.recd_user + "\\K-IN\\");
  // The message file is complete before DRENNIC hears of it; a fax that
  // cannot be filed whole (a full disk) leaves neither file behind, its
  // pages are kept aside and DRENNIC gets a failed result for it.
  auto unfile = [&] {
    std::error_code ec;
    if (!message.empty()) std::filesystem::remove(folder + message, ec);
    if (!control.empty()) std::filesystem::remove(folder + control, ec);
    CtlLog(5, "Received fax could not be filed in '%s' - its pages are kept", folder.c_str());
    KeepPartialReceive();
    fax_server_.SendJobResultToDRENNIC(0, STATUS_IO_FAILURE, 0, tessaly_.received_pages());
    state_ = State::idle;
    ctx_.status_word = STATUS_IO_FAILURE;
    return PERC_FILE_ERROR;
  };
  int r = WriteReceiveControlFile(SystemParameters().AllUserArea, ctx_.config.recd_user, route, format, call,
                                  ctx_.config.csid_separator, &control, &message);
  if (r != 0) return unfile();
  std::vector<FaxBitmap> pages;
  StatusWord st = ReadFaxFile(ConvertedPath(), &pages);
  if (st != STATUS_OK || pages.empty()) {
    CtlLog(5, "Error %s receiving page from %s", PercText(PERC_FILE_ERROR), "Fax");
    return unfile();
  }
  const u16 y_res = format == 5 ? 100 : format == 6 ? 200 : 400;
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
  fax_server_.SendMessageReceivedToDRENNIC(ctx_.config.recd_user, control.c_str());
  const i64 seconds = std::max<i64>(0, ctx_.clock->NowSeconds() - call_taken_s_);
  ctx_.device_log.Write(1, "Connect time - %d", static_cast<int>(seconds));
  // The pages reported are the pages filed (a receive ended early may hold
  // more than tessaly confirmed).
  fax_server_.SendJobResultToDRENNIC(0, ReceiveJobStatus(partial_), static_cast<u16>(std::min<i64>(seconds, 0xFFFF)),
                                     static_cast<u16>(pages.size()));
  state_ = State::idle;
  return 0;
}

void ReceiveJob::KeepPartialReceive() {
  const std::tm tm = LocalTime(ctx_.clock->NowSeconds());
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

void ReceiveJob::DeleteTemporaryFiles() {
  std::error_code ec;
  if (ctx_.closedown && tessaly_.foip_status() == FOIP_RECEIVING) KeepPartialReceive();
  std::filesystem::remove(ConvertedPath(), ec);
  std::filesystem::remove(ReceivePath(), ec);
}

int ReceiveJob::EndInHand() {
  if (state_ == State::idle) return 0;
  int r = tessaly_.received_pages() > 0 ? ConvertReceivedFax(true) : PERC_FILE_ERROR;
  if (r == 0 && format_ == 0) r = WaitForReceiveConnect(DS_RECEIVING);
  if (r == 0) r = FileReceivedFax();
  if (r != 0) {
    KeepPartialReceive();
    ReportUnfiledReceive();
  }
  state_ = State::idle;
  const int c = tessaly_.CancelJob();
  return r != 0 ? r : c;
}
