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

#include "platform/int_types.h"
#include "common/status_words.h"

inline constexpr StatusWord STATUS_NOT_TIFF = 0xF01C;
inline constexpr StatusWord STATUS_TIFF_BIG_ENDIAN = 0xF01D;
inline constexpr StatusWord STATUS_TIFF_NOT_T4 = 0xF01E;
inline constexpr StatusWord STATUS_TIFF_STRIPS = 0xF01F;
inline constexpr StatusWord STATUS_TIFF_RES_UNIT = 0xF020;
inline constexpr StatusWord STATUS_TIFF_RES_TYPE = 0xF021;
inline constexpr StatusWord STATUS_TIFF_DIRECTORY = 0xF022;

inline constexpr u32 FAX_PAGE_WIDTH = 1728;

// One page as a bitmap: rows of (width + 7) / 8 bytes, bit 0x80 of byte 0
// the first pel, a set bit black.
struct FaxBitmap {
  u32 width = 0;
  u32 lines = 0;
  u16 x_res = 204;  // pels per inch
  u16 y_res = 98;   // lines per inch
  std::vector<u8> bits;

  u32 stride() const { return (width + 7) / 8; }
  u8* row(u32 y) { return bits.data() + std::size_t{y} * stride(); }
  const u8* row(u32 y) const { return bits.data() + std::size_t{y} * stride(); }
};

// Vertical resolution as filed: 98 -> 100, 196 -> 200, 392 -> 400; other
// values that are not a multiple of 100 alike, (res / 98) * 100.
u16 FaxLinesPerInch(u16 y_res);

class FaxFileWriter {
 public:
  FaxFileWriter();
  ~FaxFileWriter();
  FaxFileWriter(const FaxFileWriter&) = delete;
  FaxFileWriter& operator=(const FaxFileWriter&) = delete;

  // Creates the file (TiffStartWrite).  y_res is 100, 200 or 400 (other
  // values are filed as FaxLinesPerInch gives them).
  [[nodiscard]] StatusWord Start(const std::string& path, u16 y_res, u32 width);
  // Appends MH data, least significant bit first (TiffWriteData).
  [[nodiscard]] StatusWord WriteData(const u8* data, std::size_t length, bool end_of_page, bool end_of_document);
  // Codes one bitmap row (TiffWriteLine); a null row is a white line.
  [[nodiscard]] StatusWord WriteLine(const u8* row, u32 width_bytes, bool end_of_page, bool end_of_document);
  // Writes a whole page (convenience over WriteLine).
  [[nodiscard]] StatusWord WritePage(const FaxBitmap& page, bool end_of_document);
  // Closes the file; a document not ended yet is ended with the page
  // written so far when it holds data.
  [[nodiscard]] StatusWord Finish();
  // Gives the file up: closes it unfinished and removes it.
  void Abort();

  u32 pages_written() const { return pages_; }
  u32 last_page_lines() const { return last_lines_; }

 private:
  StatusWord EndPage(bool end_of_document);
  void Reserve(std::size_t extra);
  void AlignOutput();

  struct Impl;
  std::unique_ptr<Impl> impl_;
  std::string path_;
  u16 y_res_ = 200;
  u32 width_ = FAX_PAGE_WIDTH;
  u32 pages_ = 0;
  u32 last_lines_ = 0;
  bool open_ = false;
};

// Number of pages of a fax file, without decoding; a single page without
// lines counts as 0 pages (TiffPageCount).  0 or a status word.
[[nodiscard]] StatusWord FaxFilePageCount(const std::string& path, u32* pages);

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
//   std::FILE* f = ...; TiffReadState st; u16 x, y;
//   if (TiffStartRead(f, &st, &x, &y)) refuse;
//   u8 b[TIFF_READ_BLOCK]; std::size_t n; bool eop, last;
//   do { if (TiffReadData(f, &st, b, sizeof b, &n, &eop, &last)) fail; use b, n; } while (!(eop && last));
inline constexpr std::size_t TIFF_READ_BLOCK = 1024;
struct TiffReadState {
  u32 next_directory = 0;  // offset of the next page's directory (0: none)
  u32 strip_offset = 0;
  u32 strip_bytes = 0;  // bytes of the current strip
  u32 strip_read = 0;   // bytes read of it
  u32 width = 0, lines = 0;
  u64 file_size = 0;
  std::vector<u32> directories;  // read so far (a loop is refused)
};
[[nodiscard]] StatusWord TiffStartRead(std::FILE* file, TiffReadState* st, u16* x_res, u16* y_res);
// Up to `size` bytes of the current strip (least significant bit first, as
// filed).  At the end of a strip `end_of_page` is set, and `last_page` when
// no directory follows; a call at the end of a strip moves to the next
// page's strip first.
[[nodiscard]] StatusWord TiffReadData(std::FILE* file, TiffReadState* st, u8* buffer, std::size_t size,
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
  int OpenPage(const std::string& path, u32 page, u32* width, u32* lines, u32* max_lines = nullptr);
  // Copies line `line` (or the next line for -1) into `row` ((width + 7) / 8
  // bytes): returns the bits of the line (its width), or -1 past the end of
  // the page or before OpenPage.
  int ReadLine(int line, u8* row);

 private:
  FaxBitmap page_;
  u32 next_ = 0;
  bool open_ = false;
};
