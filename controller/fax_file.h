// Fax file layer of the device controller: the single-strip G3 TIFF files
// marrock writes (outgoing faxes, received messages, header pages and
// converted faxes) and the page-by-page and line-by-line reading of any
// bilevel fax TIFF.  A thin layer over fax/tiff.h (file layout) and
// fax/t4t6.h (coding): no TIFF parsing or run-length coding of its own.
//
// Files written: little-endian, one IFD and one strip per page, 15 tags
// (Compression 3 with T4Options 0, FillOrder 2, XResolution 200 or 204,
// YResolution 100/200/400 per inch, ResolutionUnit inch), page data MH
// coded least significant bit first, starting with an EOL and ending with
// RTC.  Line counts come from decoding the page (RTC is not counted).
//
// Reading accepts every page fax/tiff.h reads: MH, MR, MMR or raw, either
// fill order and byte order, any number of strips.  Status words: 0xF00C
// read or write failure, 0xF01C not a TIFF file, 0xF01E compression not a
// fax coding (or not bilevel), 0xF020 resolution unit neither inch nor
// centimetre, 0xF022 a broken directory or strip layout.
//
// Usage:
//   FaxFileWriter w;
//   if (w.Start("out.g3f", 200, 1728)) fail;
//   w.WriteLine(row, 216, false, false); ... w.WriteLine(row, 216, true, true);
//
//   FaxPageReader r;                       // one per concurrent reader
//   if (r.OpenPage("in.g3f", 0, &width, &lines) == 1)
//     while (r.ReadLine(-1, row) >= 0) ...
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "common/status_words.h"

inline constexpr StatusWord STATUS_NOT_TIFF = 0xF01C;
inline constexpr StatusWord STATUS_TIFF_BIG_ENDIAN = 0xF01D;
inline constexpr StatusWord STATUS_TIFF_NOT_T4 = 0xF01E;
inline constexpr StatusWord STATUS_TIFF_STRIPS = 0xF01F;
inline constexpr StatusWord STATUS_TIFF_RES_UNIT = 0xF020;
inline constexpr StatusWord STATUS_TIFF_RES_TYPE = 0xF021;
inline constexpr StatusWord STATUS_TIFF_DIRECTORY = 0xF022;

inline constexpr std::uint32_t FAX_PAGE_WIDTH = 1728;

// One page as a bitmap: rows of (width + 7) / 8 bytes, bit 0x80 of byte 0
// the first pel, a set bit black.
struct FaxBitmap {
  std::uint32_t width = 0;
  std::uint32_t lines = 0;
  std::uint16_t x_res = 204;  // pels per inch
  std::uint16_t y_res = 98;   // lines per inch
  std::vector<std::uint8_t> bits;

  std::uint32_t stride() const { return (width + 7) / 8; }
  std::uint8_t* row(std::uint32_t y) { return bits.data() + std::size_t{y} * stride(); }
  const std::uint8_t* row(std::uint32_t y) const { return bits.data() + std::size_t{y} * stride(); }
};

// Vertical resolution as filed: 98 -> 100, 196 -> 200, 392 -> 400; other
// values that are not a multiple of 100 alike, (res / 98) * 100.
std::uint16_t FaxLinesPerInch(std::uint16_t y_res);

class FaxFileWriter {
 public:
  FaxFileWriter();
  ~FaxFileWriter();
  FaxFileWriter(const FaxFileWriter&) = delete;
  FaxFileWriter& operator=(const FaxFileWriter&) = delete;

  // Creates the file (TiffStartWrite).  y_res is 100, 200 or 400 (other
  // values are filed as FaxLinesPerInch gives them).
  [[nodiscard]] StatusWord Start(const std::string& path, std::uint16_t y_res, std::uint32_t width);
  // Appends MH data, least significant bit first (TiffWriteData).
  [[nodiscard]] StatusWord WriteData(const std::uint8_t* data, std::size_t length, bool end_of_page,
                                     bool end_of_document);
  // Codes one bitmap row (TiffWriteLine); a null row is a white line.
  [[nodiscard]] StatusWord WriteLine(const std::uint8_t* row, std::uint32_t width_bytes, bool end_of_page,
                                     bool end_of_document);
  // Writes a whole page (convenience over WriteLine).
  [[nodiscard]] StatusWord WritePage(const FaxBitmap& page, bool end_of_document);
  // Closes the file; a document not ended yet is ended with the page
  // written so far when it holds data.
  [[nodiscard]] StatusWord Finish();

  std::uint32_t pages_written() const { return pages_; }
  std::uint32_t last_page_lines() const { return last_lines_; }

 private:
  StatusWord EndPage(bool end_of_document);
  void Reserve(std::size_t extra);
  void AlignOutput();
  void Abort();

  struct Impl;
  std::unique_ptr<Impl> impl_;
  std::string path_;
  std::uint16_t y_res_ = 200;
  std::uint32_t width_ = FAX_PAGE_WIDTH;
  std::uint32_t pages_ = 0;
  std::uint32_t last_lines_ = 0;
  bool open_ = false;
};

// Number of pages of a fax file, without decoding; a single page without
// lines counts as 0 pages (TiffPageCount).  0 or a status word.
[[nodiscard]] StatusWord FaxFilePageCount(const std::string& path, std::uint32_t* pages);

// Reads every page of a file as bitmaps.  Grey, colour and palette pages
// give 0xF01E.  0 or a status word.
[[nodiscard]] StatusWord ReadFaxFile(const std::string& path, std::vector<FaxBitmap>* pages);

// Raw strip reading of the fax files marrock writes: one directory and one
// strip per page, little-endian, Compression 3 (T.4), FillOrder 2,
// ResolutionUnit inch, RATIONAL resolutions.  TiffStartRead refuses any
// other layout: "MM" 0xF01D, no TIFF header 0xF01C, another compression
// 0xF01E, more than one strip or RowsPerStrip below ImageLength 0xF01F,
// another unit 0xF020, resolutions not RATIONAL 0xF021, FillOrder 1 or a
// directory or strip that the file does not hold 0xF022.  One exception:
// a T.4 file with FillOrder 1 whose XResolution holds the IEEE double 200.0
// is read with both resolutions as doubles, as FillOrder 2.  The same
// checks apply to every later page.
//
//   std::FILE* f = ...; TiffReadState st; std::uint16_t x, y;
//   if (TiffStartRead(f, &st, &x, &y)) refuse;
//   std::uint8_t b[TIFF_READ_BLOCK]; std::size_t n; bool eop, last;
//   do { if (TiffReadData(f, &st, b, sizeof b, &n, &eop, &last)) fail; use b, n; } while (!(eop && last));
inline constexpr std::size_t TIFF_READ_BLOCK = 1024;
struct TiffReadState {
  std::uint32_t next_directory = 0;  // offset of the next page's directory (0: none)
  std::uint32_t strip_offset = 0;
  std::uint32_t strip_bytes = 0;  // bytes of the current strip
  std::uint32_t strip_read = 0;   // bytes read of it
  std::uint32_t width = 0, lines = 0;
  std::uint64_t file_size = 0;
  std::vector<std::uint32_t> directories;  // read so far (a loop is refused)
};
[[nodiscard]] StatusWord TiffStartRead(std::FILE* file, TiffReadState* st, std::uint16_t* x_res, std::uint16_t* y_res);
// Up to `size` bytes of the current strip (least significant bit first, as
// filed).  At the end of a strip `end_of_page` is set, and `last_page` when
// no directory follows; a call at the end of a strip moves to the next
// page's strip first.
[[nodiscard]] StatusWord TiffReadData(std::FILE* file, TiffReadState* st, std::uint8_t* buffer, std::size_t size,
                                      std::size_t* length, bool* end_of_page, bool* last_page);
// Skips the rest of the current page.
[[nodiscard]] StatusWord TiffNextPage(std::FILE* file, TiffReadState* st, bool* last_page);

// Line-by-line reading of one page (TiffOpenPage / TiffReadLine).  Each
// reader is independent, so a message page and its header page can be read
// side by side.
class FaxPageReader {
 public:
  // 1 when the page exists and decodes, else 0.  `max_lines` (optional)
  // gets the largest line count of all pages of the file.
  int OpenPage(const std::string& path, std::uint32_t page, std::uint32_t* width, std::uint32_t* lines,
               std::uint32_t* max_lines = nullptr);
  // Copies line `line` (or the next line for -1) into `row` ((width + 7) / 8
  // bytes): returns the bits of the line (its width), or -1 past the end of
  // the page or before OpenPage.
  int ReadLine(int line, std::uint8_t* row);

 private:
  FaxBitmap page_;
  std::uint32_t next_ = 0;
  bool open_ = false;
};
