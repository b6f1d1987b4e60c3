#include "platform/int_types.h"
#include "controller/send_path.h"

#include <cctype>
#include <cstdio>
#include <memory>

#include "controller/convert.h"
#include "controller/device_log.h"
#include "controller/device_states.h"
#include "controller/fax_file.h"

namespace {

constexpr RouteRow kRoutes[] = {
    {100, "FAX-ANY", "Fax", 0, 0x2},
    {101, "PRINTER-ANY", "Printer", 0, 0x4},
    {102, "FAX-PRINTER-ANY", "Fax printer", 0, 0x4},
    {103, "HP-PRINTER-ANY", "Laserjet printer", 0, 0x4},
    {104, "PS-PRINTER-ANY", "Postscript printer", 0, 0x4},
    {105, "LAN-ANY", "LAN", 0, 0x40},
    {106, "PREVIEW-ANY", "Preview", 0, 0x80},
    {107, "SMS-ANY", "Short Messaging Service", 0, 0x100},
    {0, "none", "none", 0, 0x1},
    {1, "BINARY", "File transfer", 1, 0x20},
    {2, "FAX", "Fax", 5, 0x2},
    {3, "FAX-FINE", "Fax fine", 6, 0x2},
    {4, "FAX-SFINE", "Fax s/fine", 7, 0x2},
    {5, "HQFAX", "HQ-fax", 8, 0x2},
    {6, "FAX-ASCII", "ASCII fax", 2, 0x2},
    {7, "EMAIL", "Email", 2, 0x8},
    {8, "PS-PRINTER", "Postscript printer", 3, 0x4},
    {10, "HP-PRINTER-DRAFT", "Laserjet 100 dpi", 9, 0x4},
    {11, "HP-PRINTER", "Laserjet 300 dpi", 10, 0x4},
    {13, "SCAN", "Scan", 5, 0x10},
    {14, "SCAN-FINE", "Scan fine", 6, 0x10},
    {15, "SCAN-SUPERFINE", "Scan s/fine", 7, 0x10},
    {16, "FAX-PRINTER", "Fax print", 5, 0x4},
    {17, "FAX-PRINTER-FINE", "Fax print fine", 6, 0x4},
    {18, "FAX-PRINTER-SFINE", "Fax print s/fine", 7, 0x4},
    {19, "LAN", "LAN", 5, 0x40},
    {20, "LAN-FINE", "LAN fine", 6, 0x40},
    {21, "LAN-SUPERFINE", "LAN s/fine", 7, 0x40},
    {22, "PREVIEW", "Preview", 5, 0x80},
    {23, "PREVIEW-FINE", "Preview fine", 6, 0x80},
    {24, "PREVIEW-SUPERFINE", "Preview s/fine", 7, 0x80},
    {27, "PREVIEW-ASCII", "Preview text", 2, 0x80},
    {25, "SMS", "Short Messaging Service", 2, 0x100},
    {31, "DIAL-INTERNAL", "Internal numbers", 0, 0x1},
    {30, "FAX-INCOMING", "Incoming faxes", 0, 0x1},
    {29, "SMS-INCOMING", "Incoming SMS", 0, 0x1},
};
static_assert(sizeof kRoutes / sizeof kRoutes[0] == 36);

constexpr std::size_t kDialledChars = 59;
constexpr std::size_t kDialStringChars = 99;
constexpr std::size_t kCsidChars = 20;

// The raw strips of a file in marrock's own layout (TiffStartRead takes
// it), page by page; empty when the file has another layout.  Such pages go
// out as they are filed.  Files of other layouts (other codings, widths,
// fill orders, byte orders: among them the faxes tessaly receives, which
// are stored in the coding and fill order of the call) are not refused:
// they are decoded and coded again below.
std::vector<std::vector<u8>> RawPagesOf(const std::string& path) {
  std::vector<std::vector<u8>> pages;
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), "rb"), &std::fclose);
  TiffReadState st;
  u16 x = 0, y = 0;
  if (!f || TiffStartRead(f.get(), &st, &x, &y) != STATUS_OK || st.width != FAX_PAGE_WIDTH) return {};
  pages.emplace_back();
  for (int guard = 0; guard < 1 << 20; ++guard) {
    u8 block[TIFF_READ_BLOCK];
    std::size_t n = 0;
    bool end_of_page = false, last_page = false;
    if (TiffReadData(f.get(), &st, block, sizeof block, &n, &end_of_page, &last_page) != STATUS_OK) return {};
    if (st.width != FAX_PAGE_WIDTH) return {};
    pages.back().insert(pages.back().end(), block, block + n);
    if (end_of_page && last_page) return pages;
    if (end_of_page) pages.emplace_back();
  }
  return {};
}

// The first page of a fax file, or false when it cannot be read.
bool FirstPageOf(const std::string& path, FaxBitmap* page) {
  std::vector<FaxBitmap> pages;
  if (ReadFaxFile(path, &pages) != STATUS_OK || pages.empty()) return false;
  *page = std::move(pages.front());
  return true;
}

}  // namespace

const RouteRow* FindRoute(int route) {
  for (const RouteRow& r : kRoutes)
    if (r.route == route) return &r;
  return nullptr;
}

int NormaliseTelephoneNumber(const std::string& number, const std::string& prefix, const std::string& suffix,
                             std::string* out, std::string* ext_csid) {
  std::string n = number;
  ext_csid->clear();
  const std::size_t colon = n.find(':');
  if (colon != std::string::npos) {
    *ext_csid = n.substr(colon + 1);
    n.resize(colon);
    CtlLog(2, "Ext CSID (%s) removed from tel number", ext_csid->c_str());
  }
  std::string dial;
  if (!n.empty() && (n[0] == 'x' || n[0] == 'X')) dial = n.substr(1);
  else dial = prefix + n + suffix;
  if (dial.size() > kDialStringChars) {
    CtlLog(5, "Telephone number too long");
    return PERC_INVALID_PARAMETER;
  }
  std::string kept;
  for (const char c : dial) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x80 && (std::isalnum(u) || std::ispunct(u))) kept += c;
  }
  if (kept.size() > kDialledChars) {
    CtlLog(5, "Telephone number too long");
    return PERC_INVALID_PARAMETER;
  }
  if (kept != n) CtlLog(3, "Phone number changed to: %s", kept.c_str());
  if (kept.empty()) {
    CtlLog(5, "Invalid telephone number %s", number.c_str());
    return PERC_INVALID_PARAMETER;
  }
  *out = kept;
  return 0;
}

std::string SendCsid(const std::string& phone_num, const std::string& sub_address, const std::string& separator) {
  std::string csid = phone_num.substr(0, kCsidChars);
  if (!sub_address.empty() && sub_address.size() <= kCsidChars) {
    const std::size_t tail = separator.size() + sub_address.size();
    if (tail <= kCsidChars) {
      if (csid.size() + tail > kCsidChars) csid.resize(kCsidChars - tail);
      csid += separator + sub_address;
      CtlLog(3, "Routing sub-address set to '%s'", sub_address.c_str());
    }
  }
  return csid;
}

void RestartSkip(int pages_sent, int total, int split_pages, int initial_pages, int* from, int* to) {
  *from = 0;
  *to = -1;
  if (split_pages != 0 && pages_sent >= split_pages && initial_pages < pages_sent) {
    *from = initial_pages + 1;
    *to = pages_sent < total ? pages_sent : total;
  }
}

int BuildSendFaxFile(const std::string& out, int format, const std::string& header_file,
                     const std::vector<std::string>& message_files, u16* pages_out) {
  SendFilePlan plan;
  plan.header_file = header_file;
  plan.message_files = message_files;
  std::vector<int> numbers;
  const int r = BuildSendFaxFile(out, format, plan, &numbers);
  if (pages_out) *pages_out = r == 0 ? static_cast<u16>(numbers.size()) : 0;
  return r;
}

int BuildSendFaxFile(const std::string& out, int format, const SendFilePlan& plan, std::vector<int>* page_numbers) {
  page_numbers->clear();
  if (format != 5 && format != 6) {
    CtlLog(5, "Invalid format for fax message: %d", format);
    return PERC_INVALID_PARAMETER;
  }
  std::vector<FaxBitmap> headers;
  if (!plan.header_file.empty()) {
    const StatusWord s = ReadFaxFile(plan.header_file, &headers);
    if (s != STATUS_OK) {
      CtlLog(5, "Error 0x%X initialising reading Tiff header file", s);
      return PERC_FILE_ERROR;
    }
  }
  FaxBitmap first_header, later_header;
  const bool have_first = !plan.first_page_header.empty() && FirstPageOf(plan.first_page_header, &first_header);
  const bool have_later = !plan.later_page_header.empty() && FirstPageOf(plan.later_page_header, &later_header);
  std::vector<FaxBitmap> pages;
  std::vector<std::vector<u8>> raw;  // per page: its strip as filed, or empty
  for (const std::string& m : plan.message_files) {
    std::vector<FaxBitmap> some;
    const StatusWord s = ReadFaxFile(m, &some);
    if (s != STATUS_OK) {
      CtlLog(5, "Error 0x%X initialising reading Tiff file", s);
      return PERC_FILE_ERROR;
    }
    std::vector<std::vector<u8>> strips = RawPagesOf(m);
    if (strips.size() != some.size()) strips.assign(some.size(), {});
    for (FaxBitmap& p : some) pages.push_back(std::move(p));
    for (auto& r : strips) raw.push_back(std::move(r));
  }
  if (pages.empty()) {
    CtlLog(5, "No Tiff data to send");
    return PERC_INVALID_PARAMETER;
  }
  std::vector<int> numbers;
  for (int p = 1; p <= static_cast<int>(pages.size()); ++p)
    if (p < plan.skip_from || p > plan.skip_to) numbers.push_back(p);
  if (numbers.empty()) {
    CtlLog(5, "No Tiff data to send");
    return PERC_FILE_ERROR;
  }
  if (plan.skip_from <= plan.skip_to) CtlLog(2, "Skipping pages %d to %d", plan.skip_from, plan.skip_to);
  FaxFileWriter w;
  if (w.Start(out, format == 5 ? 100 : 200, FAX_PAGE_WIDTH) != STATUS_OK) {
    CtlLog(5, "Error initialising Tiff file");
    return PERC_FILE_ERROR;
  }
  StatusWord st = STATUS_OK;
  for (std::size_t i = 0; i < numbers.size() && st == STATUS_OK; ++i) {
    const int p = numbers[i];
    const FaxBitmap body = ScaleToFaxWidth(pages[static_cast<std::size_t>(p - 1)]);
    const FaxBitmap* header = nullptr;
    if (p == 1 && have_first) header = &first_header;
    else if (p > 1 && have_later) header = &later_header;
    else if (static_cast<std::size_t>(p - 1) < headers.size()) header = &headers[static_cast<std::size_t>(p - 1)];
    const std::vector<u8>& strip = raw[static_cast<std::size_t>(p - 1)];
    if (!header && !strip.empty()) {
      st = w.WriteData(strip.data(), strip.size(), true, i + 1 == numbers.size());
      continue;
    }
    if (header) {
      const FaxBitmap head = ScaleToFaxWidth(*header);
      for (u32 y = 0; y < head.lines && st == STATUS_OK; ++y)
        st = w.WriteLine(head.row(y), head.stride(), false, false);
    }
    if (st == STATUS_OK) st = w.WritePage(body, i + 1 == numbers.size());
  }
  if (st != STATUS_OK) {
    CtlLog(5, "Error writing to temporary message file");
    CtlLog(5, "Error getting data, deleting temporary file");
    w.Abort();
    return PERC_FILE_ERROR;
  }
  *page_numbers = numbers;
  return 0;
}
