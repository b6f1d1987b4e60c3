#include "platform/int_types.h"
#include "controller/convert.h"

#include <strings.h>

#include <filesystem>
#include <system_error>
#include <vector>

#include "controller/device_log.h"
#include "controller/device_states.h"

namespace {

namespace fs = std::filesystem;

// Fax targets: formats 5 to 7 count as 58.
bool IsFaxTarget(int format) {
  return format == FORMAT_G3_FAX || format == FORMAT_G3_KEEP_RES || (format >= 5 && format <= 7);
}

bool SameText(const std::string& a, const std::string& b) { return ::strcasecmp(a.c_str(), b.c_str()) == 0; }

std::string ExtensionWithoutDot(const fs::path& p) {
  std::string e = p.extension().string();
  return e.empty() ? e : e.substr(1);
}

}  // namespace

FaxBitmap ScaleToFaxWidth(const FaxBitmap& page) {
  if (page.width == FAX_PAGE_WIDTH || page.width == 0) return page;
  FaxBitmap out;
  out.width = FAX_PAGE_WIDTH;
  out.x_res = page.x_res;
  out.y_res = page.y_res;
  const u64 scaled = u64{page.lines} * FAX_PAGE_WIDTH / page.width;
  out.lines = static_cast<u32>(std::min<u64>(scaled, FAX_MAX_SCALED_LINES));
  if (page.lines > 0 && out.lines == 0) out.lines = 1;
  out.bits.assign(std::size_t{out.stride()} * out.lines, 0);
  // Source columns covered by each target column: a target pel is black
  // when any pel it covers is (thin strokes survive a reduction).
  std::vector<u32> x0(FAX_PAGE_WIDTH + 1);
  for (u32 x = 0; x <= FAX_PAGE_WIDTH; ++x) x0[x] = static_cast<u32>(u64{x} * page.width / FAX_PAGE_WIDTH);
  for (u32 y = 0; y < out.lines; ++y) {
    const u32 sy = static_cast<u32>(u64{y} * page.lines / out.lines);
    const u8* src = page.row(sy);
    u8* dst = out.row(y);
    for (u32 x = 0; x < FAX_PAGE_WIDTH; ++x) {
      const u32 end = std::max(x0[x + 1], x0[x] + 1);
      bool black = false;
      for (u32 sx = x0[x]; sx < end && sx < page.width && !black; ++sx) black = (src[sx >> 3] >> (7 - (sx & 7))) & 1;
      if (black) dst[x >> 3] |= static_cast<u8>(0x80 >> (x & 7));
    }
  }
  return out;
}

StatusWord ConvertGraphicsFile(const std::string& source, int target_format, const std::string& target_ext,
                               std::string* dest_out) {
  if (!IsFaxTarget(target_format)) {
    CtlLog(5, "ConvertGraphicsFile - Unsupported conversion format %d", target_format);
    return STATUS_CONVERT_FAILED;
  }
  CtlLog(2,
         "ConvertGraphicsFile - Check to make sure the source and destination aren't the same, and correct it if "
         "necessary");
  fs::path src(source);
  fs::path dest(source);
  dest.replace_extension(target_ext.empty() ? std::string("G3F") : target_ext);
  std::error_code ec;
  bool temporary = false;
  if (SameText(ExtensionWithoutDot(src), ExtensionWithoutDot(dest))) {
    CtlLog(2, "ConvertGraphicsFile - SOURCE ext: %s, Dest Ext: %s", ExtensionWithoutDot(src).c_str(),
           ExtensionWithoutDot(dest).c_str());
    fs::path moved = src;
    moved.replace_extension(".TIFF");
    if (fs::exists(moved, ec)) {
      if (!fs::remove(moved, ec)) {
        CtlLog(2, "ConvertGraphicsFile - Problem removing the file %s, error code: %d", moved.c_str(), ec.value());
        return STATUS_CONVERT_FAILED;
      }
    }
    fs::rename(src, moved, ec);
    if (ec) {
      CtlLog(2, "ConvertGraphicsFile - Problem renaming file, error code: %d", ec.value());
      return STATUS_CONVERT_FAILED;
    }
    CtlLog(2, "ConvertGraphicsFile - Source file: %s, renamed file: %s", src.c_str(), moved.c_str());
    src = moved;
    temporary = true;
  }
  auto done = [&](StatusWord s) {
    if (temporary && !fs::remove(src, ec))
      CtlLog(4, "ConvertGraphicsFile - Could not delete temporary tiff file %s, please delete manually.", src.c_str());
    if (s == STATUS_OK && dest_out) *dest_out = dest.string();
    return s;
  };

  std::vector<FaxBitmap> pages;
  const StatusWord read = ReadFaxFile(src.string(), &pages);
  if (read == STATUS_TIFF_NOT_T4) {
    CtlLog(2, "ConvertGraphicsFile - Call to convert colour bitmap to mono failed");
    return done(STATUS_CONVERT_FAILED);
  }
  if (read != STATUS_OK || pages.empty()) {
    CtlLog(2, "ConvertGraphicsFile - Cannot open file for reading %s", src.c_str());
    return done(STATUS_CONVERT_READ);
  }
  CtlLog(2, "ConvertGraphicsFile - Number of pages is %d", static_cast<int>(pages.size()));
  fs::remove(dest, ec);

  const bool forced_200 = target_format != FORMAT_G3_KEEP_RES;
  const u16 y_res = forced_200 ? 200 : FaxLinesPerInch(pages[0].y_res);
  FaxFileWriter writer;
  if (writer.Start(dest.string(), y_res, FAX_PAGE_WIDTH) != STATUS_OK) {
    CtlLog(2, "ConvertGraphicsFile - Cannot open file for reading/writing %s", dest.c_str());
    return done(STATUS_CONVERT_READ);
  }
  for (std::size_t i = 0; i < pages.size(); ++i) {
    CtlLog(2, "ConvertGraphicsFile - Processing page %d", static_cast<int>(i));
    const FaxBitmap scaled = ScaleToFaxWidth(pages[i]);
    if (writer.WritePage(scaled, i + 1 == pages.size()) != STATUS_OK) {
      CtlLog(2, "ConvertGraphicsFile - Call to save image failed (2)");
      fs::remove(dest, ec);
      return done(STATUS_CONVERT_READ);
    }
  }
  return done(STATUS_OK);
}

int ConvertFile(const std::string& converted_path, const std::string& receive_path, bool delete_source,
                StatusWord* status) {
  if (converted_path.empty() || receive_path.empty()) {
    CtlLog(1, "ConvertFile called with NULL or empty parameters");
    if (status) *status = STATUS_BAD_ARGUMENT;
    return PERC_FILE_ERROR;
  }
  CtlLog(1, "ConvertFile(%s, %s)", converted_path.c_str(), receive_path.c_str());
  std::string g3x;
  if (ConvertGraphicsFile(receive_path, FORMAT_G3_KEEP_RES, "G3X", &g3x) != STATUS_OK) {
    CtlLog(1, "Failed to convert file");
    if (status) *status = STATUS_IO_FAILURE;
    return PERC_FILE_ERROR;
  }
  std::error_code ec;
  fs::remove(converted_path, ec);
  fs::rename(g3x, converted_path, ec);
  // When the rename fails, the converted file keeps its "G3X" name.
  if (delete_source && receive_path != converted_path) fs::remove(receive_path, ec);
  if (status) *status = STATUS_OK;
  return 0;
}
