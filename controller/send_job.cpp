// The send path of the device controller: a send job from DRENNIC becomes
// one outgoing fax file (header pages above the message pages) handed to
// tessaly, followed page by page, retried and restarted by the configured
// rules, and answered with a job result.
//
// An attempt runs the connection through FOIPStatus: READY -> WAIT PAGE
// DATA (the data come first) -> WRITING TIFF -> DOCUMENT COMPLETE ->
// DIALLED (number checked) -> HANDED OVER (tessaly has the file) -> READY
// (fax sent, or cancelled).
#include "controller/send_job.h"

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "common/ini_reader.h"
#include "common/server_settings.h"
#include "controller/fax_server_link.h"
#include "controller/tessaly_link.h"
#include "controller/fax_file.h"
#include "controller/file_names.h"
#include "controller/page_header_render.h"
#include "controller/receive_routing.h"
#include "platform/paths.h"

namespace {

constexpr u32 kPollMs = 3000;
constexpr int kPageWaitRounds = 599;
constexpr std::size_t kDialledNumberChars = 40;

// Results after which the whole send is tried again.
bool Retryable(int perc) {
  return perc == PERC_DEVICE_BUSY || perc == PERC_FAULT_JOB_END || perc == PERC_DEVICE_IDLE || perc == PERC_FAX_ERROR;
}

// Results after which the connection is tried again.
bool ConnectRetryable(int perc) { return Retryable(perc) || perc == PERC_UNABLE_TO_CONNECT || perc == PERC_INVALID_ID; }

void RemoveFile(const std::string& path) {
  std::error_code ec;
  if (!path.empty()) std::filesystem::remove(path, ec);
}

}  // namespace

int SendJob::ProcessSendJob() {
  SendRequestView v;
  ReadSendRequestView(fax_server_.waiting_job().job, &v);
  ctx_.status_word = STATUS_FAX_NO_CONNECTION;
  state_ = State::preparing;
  job_number_ = v.job_number;
  connect_time_ = 0;
  pages_ = 0;
  int r = 0;
  const RouteRow* route = FindRoute(v.route);
  if (!route || route->format != v.format) {
    CtlLog(5, "Format %d not valid for route %d", v.format, v.route);
    ctx_.status_word = STATUS_BAD_ARGUMENT;
    r = PERC_INVALID_PARAMETER;
  } else if ((ctx_.config.send_route_mask & (1u << (v.route % 32))) != 0) {
    SendFOIPInfo info;
    SafeStrncpy(info.message_name, v.message_name, sizeof info.message_name);
    info.job_number = static_cast<i32>(v.job_value);
    info.job_sub_number = static_cast<i16>(v.job_sub_value);
    SafeStrncpy(info.recipient, v.recipient, sizeof info.recipient);
    SafeStrncpy(info.sender_telephone, v.sender_telephone, sizeof info.sender_telephone);
    SafeStrncpy(info.sender_name, v.sender_name, sizeof info.sender_name);
    SafeStrncpy(info.sender_csid, v.sender_csid, sizeof info.sender_csid);
    tessaly_.SetFOIPSendInfo(info);
    r = SendToRemote(v, &connect_time_, &pages_);
  } else {
    r = PERC_INVALID_PARAMETER;
  }
  FinishSendJob(r);
  return r;
}

// Sends the job result once, whoever ends the job.
void SendJob::FinishSendJob(int perc) {
  if (state_ == State::idle) return;
  state_ = State::idle;
  bool not_a_fax = false;
  const StatusWord status = SendJobStatusWord(perc, ctx_.status_word, &not_a_fax);
  if (not_a_fax) CtlLog(3, "Not a fax machine");
  fax_server_.SendJobResultToDRENNIC(job_number_, status, connect_time_, pages_);
  if (ctx_.config.demo_mode == DEMO_OFF) CtlLog(2, "SendMsgFinished() %d", status);
}

std::string SendJob::RetransmissionHeader(const char* name, const char* fallback, int format, bool additional) {
  const std::string folder = platform::ToLinuxPath(std::string(SystemParameters().ServerArea) + "K-DB\\");
  const std::string ext = std::string(".") + FormatExtension(format);
  std::vector<FaxBitmap> pages;
  if (name[0]) {
    std::string path = folder + name + ext;
    if (ReadFaxFile(path, &pages) == STATUS_OK && !pages.empty()) return path;
    CtlLog(4, "Unable to open file %s", path.c_str());
  }
  std::string path = folder + fallback + ext;
  if (!platform::FileExists(path)) {
    if (additional) CtlLog(5, "Unable to open file %s. Re-transmit does not contain header", path.c_str());
    else CtlLog(5, "Unable to open default header file %s", path.c_str());
    return "";
  }
  const StatusWord s = ReadFaxFile(path, &pages);
  if (s != STATUS_OK || pages.empty()) {
    CtlLog(5, "Error 0x%X reading file %s", s ? s : STATUS_IO_FAILURE, path.c_str());
    return "";
  }
  return path;
}

int SendJob::SendToRemote(const SendRequestView& v, u16* connect_time, u16* pages_out) {
  int pages_sent = v.pages_sent;
  *connect_time = 0;
  *pages_out = 0;
  const std::string folder = platform::ToLinuxPath(v.folder);
  const std::string sep = folder.empty() || folder.back() == '/' ? "" : "/";
  std::vector<std::string> files = {folder + sep + v.file_name};
  if (v.second_file_name[0]) {
    files.push_back(folder + sep + v.second_file_name);
    CtlLog(2, "Sending files '%s', '%s'", v.file_name, v.second_file_name);
  } else {
    CtlLog(2, "Sending file '%s'", v.file_name);
  }
  // Files are taken from the server's folders only, and only regular files
  // (a FIFO would block the controller until a writer came).
  for (const std::string& f : files) {
    // (A folder that does not exist is reported as a missing file below.)
    if (v.file_name[0] && !platform::ResolvedPath(f).empty() && !InsideServerArea(f)) {
      CtlLog(5, "Send file '%s' lies outside the server area - refused", f.c_str());
      ctx_.status_word = STATUS_BAD_ARGUMENT;
      return PERC_INVALID_PARAMETER;
    }
    const platform::FileKind kind = v.file_name[0] ? platform::RegularFileForReading(f) : platform::FileKind::kMissing;
    if (kind == platform::FileKind::kNotRegular) {
      CtlLog(5, "Send file '%s' is not a regular file - refused", f.c_str());
      ctx_.status_word = STATUS_FILE_FAILURE;
      return PERC_FILE_ERROR;
    }
    if (kind != platform::FileKind::kRegular) {
      CtlLog(5, "Error opening send file '%s'", f.c_str());
      ctx_.status_word = STATUS_FILE_FAILURE;
      return PERC_FILE_ERROR;
    }
  }
  const int format = v.format;
  int total = 0;
  for (const std::string& f : files) {
    u32 n = 0;
    const StatusWord s = FaxFilePageCount(f, &n);
    if (s != STATUS_OK) {
      CtlLog(5, "Error 0x%X initialising reading Tiff file", s);
      ctx_.status_word = STATUS_FILE_FAILURE;
      return PERC_FILE_ERROR;
    }
    total += static_cast<int>(n);
  }
  // Every page must read and decode before a call is placed: a file that
  // breaks half way would only be found out after dialling.
  for (const std::string& f : files) {
    std::vector<FaxBitmap> pages;
    const StatusWord s = ReadFaxFile(f, &pages);
    const bool blank = std::any_of(pages.begin(), pages.end(), [](const FaxBitmap& p) { return p.lines == 0; });
    if (s != STATUS_OK || blank) {
      CtlLog(5, "Error 0x%X reading Tiff file '%s' - nothing sent", s != STATUS_OK ? s : STATUS_TIFF_DIRECTORY,
             f.c_str());
      ctx_.status_word = STATUS_FILE_FAILURE;
      return PERC_FILE_ERROR;
    }
  }
  if (total < 1) {
    CtlLog(5, "No Tiff data to send");
    ctx_.status_word = STATUS_FILE_FAILURE;
    return PERC_FILE_ERROR;
  }

  // The header file: one header page per page of the fax.
  std::string header_file;
  {
    const std::string temp = std::string(SystemParameters().ServerArea) + "K-TEMP\\";
    char name[16] = "";
    if (MakeUniqueFileName("TOPL", FormatExtension(format), temp.c_str(), name, sizeof name) != UNIQUE_OK) {
      CtlLog(5, "Unable to create Header file %s*.%s", (temp + "~TOPL").c_str(), FormatExtension(format));
    } else {
      header_file = platform::ToLinuxPath(temp) + name;
      HeaderSettings hs;
      hs.date_pattern = ctx_.config.date_format_short;
      hs.phone_num = ctx_.config.phone_num;
      hs.organisation = ctx_.config.organisation;
      const std::time_t now = static_cast<std::time_t>(ctx_.clock->NowSeconds());
      std::tm tm{};
      localtime_r(&now, &tm);
      SetCalendarFields(hs, tm);
      const std::string fonts = platform::ToLinuxPath(std::string(SystemParameters().ServerArea) + "K-DB\\");
      if (RenderHeaderFile(format, total, v.sender_name, v.recipient, v.header_value, hs, fonts, header_file) != 0) {
        RemoveFile(header_file);
        header_file.clear();
      }
    }
  }

  const bool retransmit_all = ctx_.config.restart_split_pages == 0 && ctx_.config.restart_initial_pages == 0 &&
                              ctx_.config.retransmit_head_all != 0;
  // Each attempt either advances the pages sent or counts as a try; the
  // whole job is bounded all the same.
  const int attempt_limit = std::max<int>(ctx_.config.send_msg_tries, 1) + total;
  int tries = 0, attempts = 0, r = 0, reached = pages_sent;
  for (;;) {
    ++attempts;
    if (state_ != State::idle) state_ = State::attempting;
    fax_server_.SetDeviceState(DS_WAIT_CONNECT);
    if (pages_sent >= total) pages_sent = total - 1;
    SendFilePlan plan;
    plan.message_files = files;
    plan.header_file = header_file;
    if (!header_file.empty()) {
      RestartSkip(pages_sent, total, ctx_.config.restart_split_pages, ctx_.config.restart_initial_pages,
                  &plan.skip_from, &plan.skip_to);
      if (plan.skip_from <= plan.skip_to) {
        plan.first_page_header = RetransmissionHeader(ctx_.config.retransmission_head, "RETRYHDR", format, false);
      } else if (retransmit_all && pages_sent > 0) {
        plan.first_page_header = RetransmissionHeader(ctx_.config.retransmission_head, "RETRYHDR", format, false);
        plan.later_page_header =
            RetransmissionHeader(ctx_.config.retransmission_additional, "RETRYHDRADD", format, true);
      }
    }
    ctx_.device_log.BeginCallTrace(SystemParameters().LogFile);
    std::vector<int> numbers;
    connection_time_ = -1;
    outgoing_pages_ = static_cast<u16>(total);
    r = SendAttempt(v, plan, &numbers);
    int attempt_reached = pages_sent;
    if (tessaly_.pages_confirmed() > 0 && tessaly_.pages_confirmed() <= numbers.size())
      attempt_reached = std::max(pages_sent, numbers[tessaly_.pages_confirmed() - 1U]);
    reached = std::max(reached, attempt_reached);
    if (v.route >= 2 && v.route <= 4 && connection_time_ >= 0) {
      const i64 seconds = std::max<i64>(0, ctx_.clock->NowSeconds() - connection_time_);
      *connect_time = static_cast<u16>(std::min<i64>(*connect_time + seconds, 0xFFFF));
      const char* ok = r == 0 ? "OK" : "ERROR";
      if (plan.skip_from <= plan.skip_to)
        CtlLog(3, "Connect time - %.2d:%.2d, Pages - %d to %d, Status - %s", static_cast<int>(seconds / 60),
               static_cast<int>(seconds % 60), plan.skip_to + 1, attempt_reached, ok);
      else
        CtlLog(3, "Connect time - %.2d:%.2d, Pages - %d, Status - %s", static_cast<int>(seconds / 60),
               static_cast<int>(seconds % 60), attempt_reached, ok);
    }
    if (r == 0) {
      ctx_.device_log.EndCallTrace(false, SystemParameters().LogFile);
      break;
    }
    if (ctx_.config.demo_mode == DEMO_OFF) r = std::max(r, tessaly_.CancelJob());
    ctx_.device_log.EndCallTrace(true, SystemParameters().LogFile);
    RemoveFile(outgoing_file_);
    if (!Retryable(r) || ctx_.closedown) {
      CtlLog(5, "Error %s while sending message to remote", PercText(r));
      break;
    }
    const int sent_now = attempt_reached - pages_sent;
    if (ctx_.config.min_send_retry_pages != 0 && sent_now >= ctx_.config.min_send_retry_pages) tries = 0;
    else ++tries;
    pages_sent = std::max(pages_sent, attempt_reached);
    if (tries >= ctx_.config.send_msg_tries || attempts >= attempt_limit) break;
  }
  if (!header_file.empty() && !ctx_.config.no_delete) RemoveFile(header_file);
  RemoveFile(outgoing_file_);
  outgoing_file_.clear();
  if (tessaly_.CheckRingIn() == PERC_INCOMING_CALL) ctx_.device_log.Write(1, "Ring-in waiting after the send");
  *pages_out = static_cast<u16>(std::max({pages_sent, reached, r == 0 ? total : 0}));
  return r;
}

// One attempt: dial first (tessaly learns that data come), write the
// outgoing file, dial again with the complete document, then one page
// marker per page.
int SendJob::SendAttempt(const SendRequestView& v, const SendFilePlan& plan, std::vector<int>* numbers) {
  tessaly_.clear_pages_confirmed();
  int r = ConnectLoop(v, true);
  const bool data_first = r == kDataFirst;
  if (r == 0 && !data_first) r = WriteOutgoingFile(plan, numbers);
  if (r == 0) fax_server_.SetDeviceState(DS_SENDING);
  if (data_first) {
    r = WriteOutgoingFile(plan, numbers);
    if (r == 0) r = ConnectLoop(v, false);
  }
  if (r != 0) return r;
  for (std::size_t i = 0; i < numbers->size() && r == 0; ++i) {
    const int page = (*numbers)[i];
    if (page > ctx_.current_page) {
      ctx_.current_page = static_cast<u16>(page);
      fax_server_.SetDeviceState(fax_server_.device_state());
    }
    r = SendPageMarker(i + 1 == numbers->size());
  }
  if (r == 0) tessaly_.WaitForJobToFinish();
  return r;
}

int SendJob::ConnectLoop(const SendRequestView& v, bool first_pass) {
  const int tries = std::max<int>(ctx_.config.connect_tries, 1);
  for (int t = 1;; ++t) {
    ctx_.current_page = 0;
    ctx_.status_word = STATUS_FAX_NO_CONNECTION;
    if (first_pass && t == 1) CtlLog(3, "Attempting connection to phone number: %s", v.telephone);
    int r = MakeConnection(kConnectHostToRemote, v.format, v.telephone, outgoing_pages_);
    if (r == kDataFirst) return r;
    if (r == 0) {
      // The send's connection is made when tessaly takes the fax: nothing
      // to wait for here.
      ctx_.device_log.Write(1, "WaitForSendConnect()");
      if (connection_time_ < 0) connection_time_ = ctx_.clock->NowSeconds();
      return 0;
    }
    const int c = tessaly_.CancelJob();
    if (ConnectRetryable(r)) {
      if (c != 0) return c;
      if (t >= tries) return PERC_UNABLE_TO_CONNECT;
      continue;
    }
    return std::max(r, c);
  }
}

int SendJob::MakeConnection(int kind, int format, const char* telephone, u16 pages) {
  ctx_.device_log.Write(1, "MakeConnection()");
  if (format != 2 && format != 4 && format != 5 && format != 6) {
    CtlLog(5, "MakeConnection() invalid format %d", format);
    ctx_.status_word = STATUS_BAD_ARGUMENT;
    return PERC_INVALID_PARAMETER;
  }
  switch (kind) {
    case kConnectHostToRemote:
      if (pages < 1) {
        CtlLog(5, "Page count is 0");
        ctx_.status_word = STATUS_BAD_ARGUMENT;
        return PERC_INVALID_PARAMETER;
      }
      switch (tessaly_.foip_status()) {
        case FOIP_READY:
          ctx_.device_log.Write(1, "Changing idle state to wait data");
          tessaly_.set_connection_kind(kConnectHostToRemote);
          connection_format_ = format;
          tessaly_.SetFOIPStatus(FOIP_WAIT_PAGE_DATA);
          if (tessaly_.SendReceiveStatusToTESSALY(0) != 0) return PERC_COMMAND_REJECTED;
          return kDataFirst;
        case FOIP_DOCUMENT_COMPLETE: {
          const int r = ConnectHostToRemote(pages, telephone);
          if (r != 0) {
            CtlLog(5, "Error with connection to remote host");
            ctx_.device_log.Write(1, "ConnectHostToRemote() - Failed");
            return r;
          }
          tessaly_.set_connection_kind(kConnectHostToRemote);
          connection_format_ = format;
          tessaly_.SetFOIPStatus(FOIP_DIALLED);
          return 0;
        }
        case FOIP_DIALLED: return 0;
        default:
          CtlLog(2, "MakeConnection called in state %d", tessaly_.foip_status());
          ctx_.status_word = STATUS_FAX_BUSY;
          return PERC_UNABLE_TO_CONNECT;
      }
    case kConnectScanToHost:
      CtlLog(5, "MakeConnection() CONNECT_SCAN_TO_HOST not supported");
      ctx_.status_word = STATUS_BAD_ARGUMENT;
      return PERC_INVALID_PARAMETER;
    case kConnectHostToPrint:
    case kConnectRemoteToHostNoUser:
      CtlLog(5, "MakeConnection() CONNECT_HOST_TO_PRINT not supported");
      ctx_.status_word = STATUS_BAD_ARGUMENT;
      return PERC_INVALID_PARAMETER;
    default:
      CtlLog(5, "MakeConnection() - invalid connection %d", kind);
      ctx_.status_word = STATUS_BAD_ARGUMENT;
      return PERC_INVALID_PARAMETER;
  }
}

int SendJob::ConnectHostToRemote(u16 pages, const char* telephone) {
  ctx_.device_log.Write(1, "ConnectHostToRemote()");
  if (pages < 1) {
    CtlLog(5, "Page count is 0");
    ctx_.status_word = STATUS_BAD_ARGUMENT;
    return PERC_INVALID_PARAMETER;
  }
  ctx_.device_log.Write(1, "Dial Prefix: %s", ctx_.config.dial_prefix);
  std::string number, sub_address;
  if (NormaliseTelephoneNumber(telephone, ctx_.config.dial_prefix, ctx_.config.dial_suffix, &number, &sub_address) !=
      0) {
    ctx_.status_word = STATUS_BAD_ARGUMENT;
    return PERC_INVALID_PARAMETER;
  }
  if (number.size() > kDialledNumberChars) {
    // The send request to tessaly holds 40 characters: a longer number would be dialled cut.
    CtlLog(5, "Telephone number too long");
    ctx_.status_word = STATUS_BAD_ARGUMENT;
    return PERC_INVALID_PARAMETER;
  }
  ctx_.current_page = 0;
  ctx_.device_log.Write(1, "GetCSIDForSend()");
  const std::string csid = SendCsid(ctx_.config.phone_num, sub_address, ctx_.config.csid_separator);
  ctx_.device_log.Write(1, "Sender CSID is: %s", csid.c_str());
  tessaly_.AddToFOIPSendInfo(number.c_str(), csid.c_str());
  return 0;
}

int SendJob::WriteOutgoingFile(const SendFilePlan& plan, std::vector<int>* numbers) {
  if (tessaly_.foip_status() != FOIP_WAIT_PAGE_DATA) return 0;
  ctx_.device_log.Write(1, "WAITDATA state");
  if (connection_format_ != 5 && connection_format_ != 6) {
    CtlLog(5, "Invalid format for fax message: %d", connection_format_);
    ctx_.status_word = STATUS_BAD_ARGUMENT;
    return PERC_INVALID_PARAMETER;
  }
  char name[32];
  (void)std::snprintf(name, sizeof name, "KV%dP001.TIF", ctx_.id.channel);
  outgoing_file_ = platform::ToLinuxPath(ctx_.config.temp_folder) + name;
  CtlLog(2, "Opened new message file '%s'", outgoing_file_.c_str());
  tessaly_.SetFOIPStatus(FOIP_WRITING_TIFF);
  const int r = BuildSendFaxFile(outgoing_file_, connection_format_, plan, numbers);
  if (r != 0) {
    ctx_.status_word = r == PERC_FILE_ERROR ? STATUS_IO_FAILURE : STATUS_BAD_ARGUMENT;
    return r;
  }
  ctx_.device_log.Write(1, "End of document");
  outgoing_pages_ = static_cast<u16>(numbers->size());
  tessaly_.SetFOIPStatus(FOIP_DOCUMENT_COMPLETE);
  return 0;
}

// A page marker: the first hands the file over; each waits for tessaly to
// confirm a page, the last also for the fax to be sent.
int SendJob::SendPageMarker(bool last) {
  ctx_.device_log.Write(1, "Page End or Doc End Received");
  if (tessaly_.foip_status() == FOIP_READY) return 0;  // tessaly reported the fax sent already
  if (tessaly_.foip_status() == FOIP_DIALLED) {
    // tessaly gets the server's own form of the temporary folder.
    const std::string file = outgoing_file_.substr(outgoing_file_.rfind('/') + 1);
    int r = tessaly_.SendFaxToTESSALY(ctx_.config.temp_folder, file.c_str(), outgoing_pages_);
    if (r != 0) return r;
    tessaly_.SetFOIPStatus(FOIP_HANDED_OVER);
    tessaly_.clear_pages_confirmed();
    r = tessaly_.WaitForSendConnectedFromTESSALY();
    if (r != 0) {
      ctx_.device_log.Write(1, "WaitForSendConnectedFromTESSALY returned an error");
      return r;
    }
    fax_server_.SetDeviceState(DS_SENDING);
  }
  const u16 before = tessaly_.pages_confirmed();
  for (int round = 0; round < kPageWaitRounds; ++round) {
    const int r = tessaly_.CheckTESSALYPackets();
    if (r != 0 && r != 1) {
      ctx_.device_log.Write(1, "TESSALY check for packet return is not OK or a packet");
      return r;
    }
    if (tessaly_.foip_status() == FOIP_READY) return WaitForFaxSent();
    if (tessaly_.pages_confirmed() != before) {
      if (tessaly_.pages_confirmed() < outgoing_pages_ && !last) return 0;
      return WaitForFaxSent();
    }
    const int p = fax_server_.ProcessDeviceRequests();
    if (p != 0) {
      ctx_.device_log.Write(1, "Message received - aborting wait");
      return p;
    }
    if (r == 0) ctx_.clock->Pause(kPollMs, ControllerClock::kWakeOnBoth);
  }
  CtlLog(3, "Connection not made or was broken");
  ctx_.status_word = STATUS_FAX_TIMEOUT;
  return PERC_FAX_ERROR;
}

int SendJob::WaitForFaxSent() {
  ctx_.device_log.Write(1, "Waiting for end of fax notification");
  const u32 start = ctx_.clock->NowMs();
  // A limit beyond what the millisecond clock can measure waits as long as it can.
  const u32 limit_ms = static_cast<u32>(std::min<u64>(u64{ctx_.config.last_page_complete_timeout} * 1000, 0x7FFFFFFF));
  int r = 0;
  while (tessaly_.foip_status() != FOIP_READY) {
    if (ctx_.Elapsed(start, limit_ms)) {
      CtlLog(4, "Timed out waiting for TESSALY fax successful message");
      RemoveFile(outgoing_file_);
      ctx_.status_word = STATUS_FAX_TIMEOUT;
      return PERC_FAX_ERROR;
    }
    r = tessaly_.CheckTESSALYPackets();
    if (r != 0 && r != 1) {
      ctx_.device_log.Write(1, "Error receiving 'fax sent successfully' message");
      RemoveFile(outgoing_file_);
      return r;
    }
    if (tessaly_.foip_status() == FOIP_READY) break;
    const int p = fax_server_.ProcessDeviceRequests();
    if (p != 0) {
      ctx_.device_log.Write(1, "Message received - aborting wait");
      return p;
    }
    ctx_.clock->Pause(kPollMs, ControllerClock::kWakeOnBoth);
  }
  RemoveFile(outgoing_file_);
  return 0;
}

int SendJob::EndInHand() {
  if (state_ == State::idle) return 0;
  const int r = tessaly_.CancelJob();
  FinishSendJob(PERC_SHUTDOWN_REQUESTED);
  return r;
}

void SendJob::DeleteOutgoingFile() { RemoveFile(outgoing_file_); }
