#include "controller/send_path.h"

#include <filesystem>

#include "controller/convert.h"
#include "controller/device_log.h"
#include "controller/device_states.h"
#include "controller/fax_file.h"

int BuildSendFaxFile(const std::string& out, int format, const std::string& header_file,
                     const std::vector<std::string>& message_files, std::uint16_t* pages_out) {
  if (pages_out) *pages_out = 0;
  if (format != 5 && format != 6) {
    CtlLog(5, "Invalid format for fax message: %d", format);
    return PERC_INVALID_PARAMETER;
  }
  std::vector<FaxBitmap> headers;
  if (!header_file.empty()) {
    const StatusWord s = ReadFaxFile(header_file, &headers);
    if (s != STATUS_OK) {
      CtlLog(5, "Error 0x%X initialising reading Tiff header file", s);
      return PERC_FILE_ERROR;
    }
  }
  std::vector<FaxBitmap> pages;
  for (const std::string& m : message_files) {
    std::vector<FaxBitmap> some;
    const StatusWord s = ReadFaxFile(m, &some);
    if (s != STATUS_OK) {
      CtlLog(5, "Error 0x%X initialising reading Tiff file", s);
      return PERC_FILE_ERROR;
    }
    for (FaxBitmap& p : some) pages.push_back(std::move(p));
  }
  if (pages.empty()) {
    CtlLog(5, "No Tiff data to send");
    return PERC_INVALID_PARAMETER;
  }
  FaxFileWriter w;
  if (w.Start(out, format == 5 ? 100 : 200, FAX_PAGE_WIDTH) != STATUS_OK) {
    CtlLog(5, "Error initialising Tiff file");
    return PERC_FILE_ERROR;
  }
  StatusWord st = STATUS_OK;
  for (std::size_t i = 0; i < pages.size() && st == STATUS_OK; ++i) {
    const bool last_page = i + 1 == pages.size();
    const FaxBitmap body = ScaleToFaxWidth(pages[i]);
    if (i < headers.size()) {
      const FaxBitmap head = ScaleToFaxWidth(headers[i]);
      for (std::uint32_t y = 0; y < head.lines && st == STATUS_OK; ++y)
        st = w.WriteLine(head.row(y), head.stride(), false, false);
    }
    if (st == STATUS_OK) st = w.WritePage(body, last_page);
  }
  if (st != STATUS_OK) {
    CtlLog(5, "Error writing to temporary message file");
    CtlLog(5, "Error getting data, deleting temporary file");
    std::error_code ec;
    std::filesystem::remove(out, ec);
    return PERC_FILE_ERROR;
  }
  if (pages_out) *pages_out = static_cast<std::uint16_t>(pages.size());
  return 0;
}
