// The receive job: an incoming call announced by tessaly is taken or refused
// by the relay and DID rules, followed page by page, converted, filed as a
// receive control file and message file in the receive user's K-IN folder,
// and reported to DRENNIC.
#pragma once

#include <string>

#include "controller/controller_context.h"

class FaxServerLink;
class TessalyLink;

class ReceiveJob {
 public:
  // Where the call in hand stands: offered by tessaly (not yet taken), or
  // taken (tessaly was told to accept it, so a result is owed).  Back to
  // idle once the fax is filed or its result sent.
  enum class State : u8 { idle, offered, accepted, count_ };

  ReceiveJob(ControllerContext& ctx, FaxServerLink& fax_server, TessalyLink& tessaly)
      : ctx_(ctx), fax_server_(fax_server), tessaly_(tessaly) {}

  // The call waiting on tessaly's side; returns a PERC (CheckRingIn's
  // result after a call that ended).
  int HandleIncomingCall();
  int AcceptIncomingCall();
  // The device connection for a receive (remote to host): kDataFirst once
  // the call is taken, 0 when the fax has ended already, or a PERC.
  int MakeConnection();
  int WaitForConnect();
  // `state` is the device state the connection is looked at in.
  int WaitForReceiveConnect(unsigned state);
  // One round of the receive: polls tessaly once; `page_done` when a new
  // page was reported, `doc_done` when the fax has ended and the received
  // file is converted.  Returns a PERC (PERC_FAX_INTERRUPTED: the fax ended
  // part way and what arrived was converted).
  int ReceiveDataFrame(bool* page_done, bool* doc_done);
  // Ends the call in hand at once (closedown): what arrived is filed as a
  // partial fax, and a receive file that cannot be filed is kept under a
  // backup name.  Returns a PERC.
  int EndInHand();
  // Removes the receive files of a cancelled fax (kept aside when the
  // closedown cut a receive).
  void DeleteTemporaryFiles();

  State state() const { return state_; }

 private:
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

  ControllerContext& ctx_;
  FaxServerLink& fax_server_;
  TessalyLink& tessaly_;

  State state_ = State::idle;
  bool partial_ = false;  // what is filed is part of the fax
  std::string caller_address_;
  std::string relay_user_;
  std::string relay_dest_;
  int format_ = 0;
  u32 start_ms_ = 0;
  i64 call_taken_s_ = 0;
};
