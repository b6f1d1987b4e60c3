// The scan job: this device has no document feeder, so the job waits the
// configured time for a document that never comes and ends with PERC 6.
#include "controller/controller.h"

namespace {
constexpr std::uint32_t kScanPollMs = 3000;
constexpr int kConnectHostToPrint = 12;
}  // namespace

int Controller::ProcessScanJob() {
  CtlLog(2, "Waiting for document to Scan");
  device_log_.Write(1, "Waiting for document on ADF");
  // The scan-status text would be printed; this device prints nothing.
  (void)MakeConnection(kConnectHostToPrint, 2, config_.scan_waiting_file, 1);
  int r = PERC_NO_DOCUMENT_ON_SCANNER;
  const std::uint32_t start = clock_->NowMs();
  const std::uint32_t limit = static_cast<std::uint32_t>(config_.scan_doc_wait > 0 ? config_.scan_doc_wait : 0) * 1000;
  while (!Elapsed(start, limit)) {
    const int p = ProcessDeviceRequests();
    if (p != 0) {
      r = p;
      break;
    }
    clock_->Pause(kScanPollMs, ControllerClock::kWakeOnRequest);
  }
  if (r == PERC_NO_DOCUMENT_ON_SCANNER) status_word_ = STATUS_FAX_TIMEOUT;
  SendScanResultToDRENNIC(job_.job_number, job_.scan_value, ScanJobStatusWord(r));
  return r;
}
