// Entry points of the send, scan and receive paths.  Until those paths are
// in place a job ends at once with a fixed result, so that DRENNIC always
// gets its answer and the channel goes back to IDLE.
#include "controller/controller.h"

int Controller::ProcessSendJob() {
  SendRequestView v;
  ReadSendRequestView(job_.job, &v);
  const int r = PERC_INVALID_PARAMETER;
  bool not_a_fax = false;
  SendJobResultToDRENNIC(v.job_number, SendJobStatusWord(r, status_word_, &not_a_fax), 0, 0);
  return r;
}

int Controller::ProcessScanJob() {
  const int r = PERC_NO_DOCUMENT_ON_SCANNER;
  SendScanResultToDRENNIC(job_.job_number, job_.scan_value, ScanJobStatusWord(r));
  return r;
}

int Controller::HandleIncomingCall() {
  // Without a receive path every offered call is refused.
  int r = ProcessRingIn(false);
  WaitForJobToFinish();
  return r == PERC_INCOMING_CALL ? 0 : (r > kLastNonFaultPerc ? r : 0);
}
