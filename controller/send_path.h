// Outgoing fax file of the send path: every page of the message files, in
// whatever fax coding, width and fill order they were filed, joined below
// its header page into one MH file (1728 pels, least significant bit
// first, one strip per page) that is handed to tessaly.  Message pages in
// MR or MMR are re-coded to MH, and pages of another width are scaled to
// 1728, so that the header and the page always form one valid page.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Builds `out` for fax format 5 (100 lpi) or 6 (200 lpi) from the header
// file (empty: no header) and the message files, in order.  Page p of the
// output is header page p (when the header file has one) followed by the
// message page.  Returns a PERC: 0, 15 (a file could not be read or
// written; `out` is removed) or 16 (another format, or no page at all).
[[nodiscard]] int BuildSendFaxFile(const std::string& out, int format, const std::string& header_file,
                                   const std::vector<std::string>& message_files, std::uint16_t* pages_out);
