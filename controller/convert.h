// Image conversion of the device controller: a received or submitted fax
// TIFF becomes the fax server's own fax file form, with our own converter
// on fax/ (no imaging library): every bilevel page fax/tiff.h reads (MH, MR,
// MMR or raw; either fill order or byte order; any strips) is decoded,
// scaled to 1728 pels when it has another width (height by the same ratio,
// at most 2400 lines), and written by the fax file layer as MH, least
// significant bit first, one strip per page ending in its own EOLs.
//
// Targets: the fax formats 69 (G3 TIFF, resolution kept) and 58 (G3 TIFF,
// resolution filed as 200 lpi; formats 5 to 7 are treated as 58).  Every
// other target, and colour, grey or palette pages, fail with 0xF217.
#pragma once

#include <cstdint>
#include <string>

#include "platform/int_types.h"
#include "common/status_words.h"
#include "controller/fax_file.h"

inline constexpr StatusWord STATUS_CONVERT_FAILED = 0xF217;
inline constexpr StatusWord STATUS_CONVERT_READ = 0xF218;

inline constexpr int FORMAT_G3_FAX = 58;
inline constexpr int FORMAT_G3_KEEP_RES = 69;
inline constexpr u32 FAX_MAX_SCALED_LINES = 2400;

// The page at 1728 pels: unchanged when already 1728 wide; else resized to
// 1728 x min(lines * 1728 / width, 2400).
FaxBitmap ScaleToFaxWidth(const FaxBitmap& page);

// Converts `source` into the destination named by the source with its
// extension replaced by `target_ext` (a source that already has that
// extension is first moved to ".TIFF" and that temporary file removed at
// the end).  `dest_out` (optional) gets the destination path.  0 or a
// status word: 0xF217 unsupported target, colour page or failed rename;
// 0xF218 the source could not be read or the destination written.
[[nodiscard]] StatusWord ConvertGraphicsFile(const std::string& source, int target_format,
                                             const std::string& target_ext, std::string* dest_out);

// Converts the receive file to format 69 and files it under
// `converted_path` (ConvertFile).  Returns a PERC: 0, or PERC_FILE_ERROR
// with *status 0xF00C when the conversion failed (the receive file stays).
int ConvertFile(const std::string& converted_path, const std::string& receive_path, bool delete_source,
                StatusWord* status);
