// The send job: a send request from DRENNIC becomes one outgoing fax file
// (header pages above the message pages) handed to tessaly, followed page by
// page, retried and restarted by the configured rules, and answered with one
// job result.
#pragma once

#include <string>
#include <vector>

#include "controller/controller_context.h"
#include "controller/drennic_packets.h"
#include "controller/send_path.h"

class FaxServerLink;
class TessalyLink;

class SendJob {
 public:
  // Where the job in hand stands: its files and header are being checked
  // and made, or a call attempt runs.  Back to idle once its result is sent.
  enum class State : u8 { idle, preparing, attempting, count_ };

  SendJob(ControllerContext& ctx, FaxServerLink& fax_server, TessalyLink& tessaly)
      : ctx_(ctx), fax_server_(fax_server), tessaly_(tessaly) {}

  // The waiting send request of the fax server; returns a PERC and always
  // ends with the job result.
  int ProcessSendJob();
  // One send job to a remote fax: header, attempts and retries.  Returns a
  // PERC; `connect_time` in seconds, `pages` the highest page reached.
  int SendToRemote(const SendRequestView& v, u16* connect_time, u16* pages);
  // The device connection for a send (host to remote): 0, kDataFirst when
  // the data must come first, or a PERC.  Other kinds are refused here.
  int MakeConnection(int kind, int format, const char* telephone, u16 pages);
  int ConnectHostToRemote(u16 pages, const char* telephone);
  // Ends the job in hand at once (closedown): cancelled on tessaly's side
  // and its job result sent.  Returns a PERC.
  int EndInHand();
  // Removes the outgoing file of a cancelled fax.
  void DeleteOutgoingFile();

  State state() const { return state_; }

 private:
  int SendAttempt(const SendRequestView& v, const SendFilePlan& plan, std::vector<int>* page_numbers);
  int ConnectLoop(const SendRequestView& v, bool first_pass);
  int WriteOutgoingFile(const SendFilePlan& plan, std::vector<int>* page_numbers);
  int SendPageMarker(bool last);
  int WaitForFaxSent();
  void FinishSendJob(int perc);
  std::string RetransmissionHeader(const char* name, const char* fallback, int format, bool additional);

  ControllerContext& ctx_;
  FaxServerLink& fax_server_;
  TessalyLink& tessaly_;

  State state_ = State::idle;
  u16 job_number_ = 0;
  u16 connect_time_ = 0;
  u16 pages_ = 0;
  int connection_format_ = 0;
  std::string outgoing_file_;  // Linux path of the file handed to tessaly
  u16 outgoing_pages_ = 0;
  i64 connection_time_ = -1;
};
