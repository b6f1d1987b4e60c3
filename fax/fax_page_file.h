// Page files of the fax management entity: the pages to send, read from TIFF
// files into one temporary file of coded data each, and the TIFF file that
// received pages are appended to.
//
// Codings: a page record's encoding is 0 uncompressed, 1 MH, 2 MR, 4 MMR (the
// T.30 coding bits).  The TIFF header's compression values and the codec's
// coding numbers are both one off from those; fax_coding maps all three here
// and nowhere else.
//
// Pages to send are checked strictly when they are read: a page that this
// side cannot send as it stands (bad byte-order mark, RowsPerStrip 0, a
// compression other than T.4/T.6, more than one bit per pel, width or height
// 0, or coded data that end before ImageLength rows) is refused with a
// configuration error code, before any call goes on.
//
// Received pages: fax_rcv_file appends each page to a working copy of the
// TIFF file and, once the page is complete on disk, publishes the copy under
// the received file's name by renaming a flushed snapshot over it.  The
// name therefore always holds a complete TIFF file of the pages received so
// far: a crash or a full disk while a page is written leaves the previous
// pages, never a torn page.  The working files are "<name>.part" and
// "<name>.tmp".
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "fax/tiff.h"
#include "runtime/types.h"

// Page record encodings (T.30 coding bits).
enum : u8 {
  FAX_ENC_NONE = 0,
  FAX_ENC_MH = 1,
  FAX_ENC_MR = 2,
  FAX_ENC_MMR = 4,
};

// The one map between TIFF header compressions, page encodings and codec codings.
namespace fax_coding {
// TIFF header compression -> page encoding; 0xFF when it cannot be sent.
u8 encoding_of_tiff(u16 compression);
// Page encoding -> TIFF header compression; 0 (unsupported) for none.
u16 tiff_of_encoding(u8 encoding);
// Page encoding -> t4t6 coding; 0 for none.
u8 codec_of_encoding(u8 encoding);
}  // namespace fax_coding

// Resolution codes (pels per inch x lines per inch).
enum : u16 {
  FAX_RES_200_100 = 1,
  FAX_RES_200_200 = 2,
  FAX_RES_300_300 = 4,
  FAX_RES_400_400 = 8,
  FAX_RES_600_600 = 16,
  FAX_RES_1200_1200 = 32,
  FAX_RES_200_400 = 64,
  FAX_RES_300_600 = 128,
  FAX_RES_400_800 = 256,
  FAX_RES_600_1200 = 512,
};

// Page resolution unit codes (page record): 2 inch, 1 metric, 0 none.
enum : u8 { FAX_RU_NONE = 0, FAX_RU_METRIC = 1, FAX_RU_INCH = 2 };

// Resolution code of a TIFF page: its (x, y) resolution in its TIFF unit
// (1 none, 2 inch, 3 centimetre); the common fax values (204 x 98/196/391
// dpi, 8 x 3.85/7.7/15.4 lines/mm) are accepted as well.  0 when none fits.
u16 fax_resolution_code(u16 x, u16 y, u16 tiff_unit);
// Width code ('1', '2', '3') of `pels` at a resolution: the first row of the
// width table whose pixel count is at least `pels`; 0 when none.
char fax_width_code(u32 pels, u16 res_code);
// Pixels per line of a width code at a resolution; 0 when none.
u32 fax_width_pels(char width_code, u16 res_code);
// Vertical class (1, 2, 4, 8, 16, 32, 64: 100 to 1200 lpi) of a resolution
// code; 0 when unknown.
u8 fax_vertical_class(u16 res_code);
// Most lines of a length code ('A' or 'B') for a vertical class, in the inch
// column when `res_unit` is inch; 0xFFFFFFFF for any other code.
u32 fax_length_limit(char length_code, u8 vclass, u8 res_unit);
// Length code of a page ('A', 'B', 'U'), with the width adjustments.
char fax_length_code(u32 lines, u16 res_code, u8 res_unit, char width_code);

// One page to send, or the page being received.
struct fax_page {
  std::string tmp_name;  // temporary file of the page's coded data
  std::string src_name;  // TIFF file the page came from (or was written to)
  u8 renegotiate = 0;
  u8 copied_byte = 0;  // fax__config offset 1218
  u8 encoding = FAX_ENC_MH;
  u16 resolution = FAX_RES_200_100;
  char width_code = '1';
  char length_code = 'A';
  char quality = 0;
  char post_kind = 0;
  u32 length = 0xFFFFFFFFu;  // page bytes; unknown until a byte passed
  u16 enabled_conversion_bfi = 0;
  i32 discarded_lines = 0;
  u8 decoded_valid = 0;
  u32 decoded_lines = 0;
  u8 t6_error = 0;
  u32 t4_errors = 0;
  u8 fill_order = TIFF_HIGHEST_BIT_FIRST;
  u8 res_unit = FAX_RU_INCH;
  u32 lines = 0;
  u32 pels = 0;
  u8 white_is_zero = 1;
};

// Reads the pages of the TIFF files `files` (in order; empty names end the
// list) into temporary files named from `tmp_format` (printf with the nai
// and the running counter).  Returns 2 with the pages appended to `pages`,
// or a configuration error code with nothing left behind (temporary files
// removed).
[[nodiscard]] u8 fax_open_send_pages(const std::vector<std::string>& files, const std::string& tmp_format, nai_t nai,
                                     u16* counter, u8 copied_byte, std::vector<fax_page>* pages);
// Removes the temporary files of the pages and empties the list.
void fax_free_send_pages(std::vector<fax_page>* pages);
// Marks pages that differ from the page before (and the first one, when the
// last differs from it); returns the number of pages.
u16 fax_count_send_pages(std::vector<fax_page>* pages);

// Temporary page file name; empty when the format is unusable.
std::string fax_tmp_page_name(const std::string& format, nai_t nai, u16* counter);
// A name from a format with two %d directives (first, second); empty when the
// format holds another directive or the name is 100 characters or more.
std::string fax_format_name(const std::string& format, unsigned first, unsigned second);

// Received TIFF file (see the top of this file).
class fax_rcv_file {
 public:
  fax_rcv_file() = default;
  fax_rcv_file(const fax_rcv_file&) = delete;
  fax_rcv_file& operator=(const fax_rcv_file&) = delete;
  ~fax_rcv_file() { close(); }

  // Starts the file; false when the name is empty or cannot be written.
  [[nodiscard]] bool open(const std::string& name);
  // Appends a page (header, data file) and publishes the file under its
  // name.  False (nothing published for this page) on any failure.
  [[nodiscard]] bool write_page(tiff__pg_header* hdr, const std::string& page_data_file);
  // Closes the working file and removes the working copies; the published
  // file stays.
  void close();
  bool is_open() const { return ctx_ != nullptr; }
  const std::string& name() const { return name_; }
  u32 pages() const { return pages_; }

 private:
  std::unique_ptr<tiff__ctx> ctx_;
  std::string name_;
  u32 pages_ = 0;
};

// Fills the TIFF header of a received page: resolution unit inch with the
// code's dots per inch, the compression of the encoding, fill order from
// the configured flag, the quality text and the remote identity.  False
// when the width, encoding or resolution has no TIFF value.
[[nodiscard]] bool fax_rcv_page_header(const fax_page& pg, char width_code, u8 fill_flag, const char* remote_id,
                                       tiff__pg_header* hdr);
