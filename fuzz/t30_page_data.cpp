// Fuzz target: received page data through the line check, and the same data
// as a page to send through the re-framing.
//
// Input: byte 0 = options (bit 0: MR, bits 1-2: block size, bit 3: small
// line limit, bit 4: small bit limit); the rest is page data.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "fax/t30_page_check.h"
#include "fax/t4t6.h"

namespace {

constexpr uint32_t kWidth = 1728;

// Decodes data passed up for an MH page; returns the error lines.
uint32_t error_lines_of(const std::vector<uint8_t>& data) {
  t4t6_decoder* h = nullptr;
  if (t4t6__open(&h, T4T6_MH, kWidth) != T4T6_OPEN_OK) abort();
  h->data = data.data();
  h->data_len = static_cast<uint32_t>(data.size());
  for (size_t guard = data.size() * 8 + 16; guard > 0; --guard) {
    t4t6__decode_page(h);
    if (h->page_status != T4T6_PAGE_DECODING || h->end_of_data) break;
  }
  const uint32_t errors = h->error_lines;
  t4t6__release(h);
  return errors;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t opt = data[0];
  const std::span<const uint8_t> page(data + 1, size - 1);
  static constexpr size_t kBlocks[4] = {1, 7, 64, 100000};
  const size_t block = kBlocks[(opt >> 1) & 3];

  t30_page_format f;
  f.coding = (opt & 1) ? T30_CODING_MR : T30_CODING_MH;
  f.width = kWidth;
  f.max_lines = (opt & 8) ? 5 : T30_NO_LINE_LIMIT;
  f.max_line_bits = (opt & 16) ? 400 : 188064;
  f.min_octets = 9;

  t30_rx_page_check chk;
  if (!chk.start(f)) abort();
  std::vector<uint8_t> up;
  for (size_t at = 0; at < page.size() && !chk.finished(); at += block) {
    chk.feed(page.subspan(at, std::min(block, page.size() - at)));
    const std::vector<uint8_t> part = chk.take();
    up.insert(up.end(), part.begin(), part.end());
  }
  chk.end_of_data();
  const std::vector<uint8_t> rest = chk.take();
  up.insert(up.end(), rest.begin(), rest.end());
  if (chk.status() == t30_rx_status::ok && chk.bad_lines() > chk.good_lines() + chk.bad_lines()) abort();
  (void)chk.response();
  // What goes up of an MH page holds only lines that decode without error.
  if (f.coding == T30_CODING_MH && error_lines_of(up) != 0) abort();

  t30_tx_page_framer fr;
  fr.start(f, 64);
  size_t out_size = 0;
  for (size_t at = 0; at < page.size(); at += block) {
    const size_t n = std::min(block, page.size() - at);
    for (const t30_tx_message& m : fr.feed(page.subspan(at, n), at + n == page.size())) out_size += m.data.size();
  }
  // Each line copy grows by at most its EOL and fill.
  if (out_size > 2 * page.size() + 64 + size_t{fr.copies_written()} * 16) abort();
  return 0;
}
