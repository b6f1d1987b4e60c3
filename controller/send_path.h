// Outgoing fax file of the send path: every page of the message files, in
// whatever fax coding, width and fill order they were filed, joined below
// its header page into one MH file (1728 pels, least significant bit
// first, one strip per page) that is handed to tessaly.  Message pages in
// MR or MMR are re-coded to MH, and pages of another width are scaled to
// 1728, so that the header and the page always form one valid page.
//
// Also the rules of a send job that need no controller state: the route
// table, the telephone number and sender CSID rules, and the choice of the
// pages a restart skips.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/int_types.h"

// Builds `out` for fax format 5 (100 lpi) or 6 (200 lpi) from the header
// file (empty: no header) and the message files, in order.  Page p of the
// output is header page p (when the header file has one) followed by the
// message page.  Returns a PERC: 0, 15 (a file could not be read or
// written; `out` is removed) or 16 (another format, or no page at all).
[[nodiscard]] int BuildSendFaxFile(const std::string& out, int format, const std::string& header_file,
                                   const std::vector<std::string>& message_files, u16* pages_out);

// What one attempt of a send puts into the outgoing file.
struct SendFilePlan {
  std::vector<std::string> message_files;
  std::string header_file;        // header page p above message page p (empty: none)
  std::string first_page_header;  // replaces the header of page 1 (empty: none)
  std::string later_page_header;  // replaces the header of pages 2.. (empty: none)
  int skip_from = 0;              // message pages skip_from..skip_to are left out
  int skip_to = -1;
};
// As above; `page_numbers` gets the message page number of every page of
// the outgoing file, in order.
[[nodiscard]] int BuildSendFaxFile(const std::string& out, int format, const SendFilePlan& plan,
                                   std::vector<int>* page_numbers);

// One row of the fixed route table.
struct RouteRow {
  u16 route;
  const char* name;
  const char* description;
  u16 format;
  u16 route_class;
};
// The row of `route`, or null when the table has none.
const RouteRow* FindRoute(int route);

// The dialled form of a telephone number: a ":" suffix is cut off into
// `ext_csid`; a number starting with 'x' or 'X' is taken as it follows,
// any other gets the dial prefix and suffix; blanks and control characters
// are dropped.  Returns 0 with `out` set, or PERC 16 (empty or too long,
// logged).
int NormaliseTelephoneNumber(const std::string& number, const std::string& prefix, const std::string& suffix,
                             std::string* out, std::string* ext_csid);

// The sender CSID: the configured number (at most 20 characters); a
// routing sub-address of at most 20 characters is appended behind the
// separator, the CSID cut so that the whole fits 20 characters.
std::string SendCsid(const std::string& phone_num, const std::string& sub_address, const std::string& separator);

// Pages a restart leaves out: with `pages_sent` at least `split_pages`
// (non-zero) and above `initial_pages`, pages initial_pages + 1 ..
// pages_sent (bounded by `total`); else none (*from > *to).
void RestartSkip(int pages_sent, int total, int split_pages, int initial_pages, int* from, int* to);
