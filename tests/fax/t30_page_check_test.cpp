// Page data outside ECM: page limits, the received-page line check and its
// MCF/RTP/RTN decision on pages with known numbers of corrupted lines (coded
// with our encoder), and the re-framing of a page to send.
#include "fax/t30_page_check.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <vector>

#include "fax/support/fax_test_pages.h"
#include "fax/t4t6.h"

namespace {

using bytes = std::vector<uint8_t>;
constexpr uint32_t kWidth = 1728;

// One MH line coded on its own (no EOL), from the line's first octet.
bytes mh_line(const uint8_t* row) {
  t4t6_encoder* e = nullptr;
  EXPECT_EQ(t4t6__open_encoder(&e, T4T6_MH, kWidth, 1), T4T6_OPEN_OK);
  bytes out(t4t6__max_line_bytes(kWidth));
  e->out = {out.data(), 0, 0, static_cast<int32_t>(out.size() * 8)};
  e->line = row;
  EXPECT_TRUE(t4t6__encode_line(e));
  out.resize(e->out.byte_index + (e->out.bit_offset ? 1 : 0));
  t4t6__release_encoder(e);
  return out;
}

// Eight zeros then a 1: no code starts that way, so the line is in error.
const bytes kCorruptLine = {0x00, 0x80, 0xFF, 0xFF};
// A line of 8 bits (white 3, then nothing): with its EOL 24 bits in all.
const bytes kShortErrorLine = {0x80};

enum class line_kind { good, corrupt, short_error };

struct test_page {
  fax_test::page pg;
  bytes data;                  // EOL, lines each followed by EOL, then five more EOLs
  std::vector<uint32_t> good;  // rows that went in good
};

test_page mh_page(const std::vector<line_kind>& kinds, uint32_t seed = 3) {
  test_page t;
  t.pg = fax_test::make_page(fax_test::kind::text, kWidth, static_cast<uint32_t>(kinds.size()), seed);
  t.data = {0x00, 0x01};
  for (uint32_t y = 0; y < kinds.size(); ++y) {
    if (kinds[y] == line_kind::good) {
      const bytes l = mh_line(t.pg.row(y));
      t.data.insert(t.data.end(), l.begin(), l.end());
      t.good.push_back(y);
    } else {
      const bytes& l = kinds[y] == line_kind::corrupt ? kCorruptLine : kShortErrorLine;
      t.data.insert(t.data.end(), l.begin(), l.end());
    }
    t.data.push_back(0x00);
    t.data.push_back(0x01);
  }
  for (int i = 0; i < 5; ++i) {
    t.data.push_back(0x00);
    t.data.push_back(0x01);
  }
  return t;
}

t30_page_format mh_format() {
  t30_page_format f;
  f.coding = T30_CODING_MH;
  f.width = kWidth;
  f.max_lines = T30_NO_LINE_LIMIT;
  f.max_line_bits = 188064;
  return f;
}

struct checked {
  t30_rx_status status;
  uint32_t good, bad, run;
  t30_page_response response;
  bytes out;
};

checked run_check(const bytes& data, const t30_page_format& f, size_t block = 0) {
  t30_rx_page_check chk;
  EXPECT_TRUE(chk.start(f));
  checked r;
  if (block == 0) block = data.size();
  for (size_t at = 0; at < data.size() && !chk.finished(); at += block) {
    chk.feed({data.data() + at, std::min(block, data.size() - at)});
    const bytes part = chk.take();
    r.out.insert(r.out.end(), part.begin(), part.end());
  }
  chk.end_of_data();
  const bytes rest = chk.take();
  r.out.insert(r.out.end(), rest.begin(), rest.end());
  r.status = chk.status();
  r.good = chk.good_lines();
  r.bad = chk.bad_lines();
  r.run = chk.longest_run();
  r.response = chk.response();
  return r;
}

// The good rows of a page, in order.
fax_test::page rows_of(const fax_test::page& pg, const std::vector<uint32_t>& rows) {
  fax_test::page out;
  out.width = pg.width;
  out.height = static_cast<uint32_t>(rows.size());
  for (uint32_t y : rows) out.bits.insert(out.bits.end(), pg.row(y), pg.row(y) + pg.stride());
  return out;
}

// ---------------------------------------------------------------------------
// Decision and limits.

TEST(T30PageDecision, Thresholds) {
  using R = t30_page_response;
  struct Case {
    uint32_t lines, bad, run;
    R want;
  };
  const Case cases[] = {
      {1000, 70, 8, R::mcf},  {1000, 71, 8, R::rtp},  {1000, 100, 8, R::rtp}, {1000, 101, 8, R::rtn},
      {1000, 5, 41, R::rtn},  {1000, 5, 9, R::rtp},   {1000, 5, 8, R::mcf},   {1000, 0, 500, R::mcf},
      {1000, 50, 40, R::rtp}, {1000, 80, 45, R::rtn}, {10, 1, 1, R::rtp},     {14, 1, 1, R::rtp},
      {100, 7, 3, R::mcf},    {100, 8, 3, R::rtp},    {0, 0, 0, R::empty},    {1, 1, 1, R::rtn},
  };
  for (const Case& k : cases)
    EXPECT_EQ(t30_page__decide(k.lines, k.bad, k.run), k.want) << k.lines << " " << k.bad << " " << k.run;
}

TEST(T30PageDecision, PageEnd) {
  uint32_t empty = 0;
  t30_page_end e = t30_page__end(t30_rx_status::too_many_bits, 10, 0, 0, empty);
  EXPECT_EQ(e.action, t30_page_end::stop);
  EXPECT_EQ(e.cause, 0x1228);  // W2BITS
  e = t30_page__end(t30_rx_status::too_many_lines, 10, 0, 0, empty);
  EXPECT_EQ(e.cause, 0x1227);                               // W2LINES
  e = t30_page__end(t30_rx_status::ok, 929, 71, 2, empty);  // 71 of 1000
  EXPECT_EQ(e.action, t30_page_end::respond);
  EXPECT_EQ(e.response, t30_page_response::rtp);
  // Empty pages: the command is awaited again, the fourth stops.
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(t30_page__end(t30_rx_status::ok, 0, 0, 0, empty).action, t30_page_end::wait_again);
  e = t30_page__end(t30_rx_status::ok, 0, 0, 0, empty);
  EXPECT_EQ(e.action, t30_page_end::stop);
  EXPECT_EQ(e.cause, 0x1221);  // WNOEOPR
  EXPECT_EQ(empty, 4u);
}

TEST(T30PageFormat, LimitsFromTheNegotiatedRecord) {
  struct Case {
    const char* name;
    uint16_t resolution;
    uint8_t width, length, legal;
    uint16_t modulation;
    uint8_t selection_width;
    uint32_t pels;
    uint16_t lines;
    uint32_t bits;
  };
  const Case cases[] = {
      {"A4 normal 2400", T30_RES_NORMAL, 1, 1, 0, 0x1102, 0xFF, 1728, 1258, 31344},
      {"A4 fine 14400", T30_RES_FINE, 1, 1, 0, 0x1840, 0xFF, 1728, 2516, 188064},
      {"B4 length", T30_RES_NORMAL, 2, 2, 0, 0x1210, 0xFF, 2048, 1540, 96 * 1306},
      {"legal raises A4", T30_RES_NORMAL, 1, 1, 1, 0x1102, 0xFF, 1728, 1505, 31344},
      {"legal leaves B4", T30_RES_NORMAL, 1, 2, 1, 0x1102, 0xFF, 1728, 1540, 31344},
      {"unlimited fine", T30_RES_FINE, 1, 4, 0, 0x1102, 0xFF, 1728, 32766, 31344},
      {"unlimited 1200", T30_RES_1200, 4, 4, 0, 0x1840, 0xFF, 2432 * 6, 32767, 144 * 3710},
      {"A4 1200", T30_RES_1200, 1, 1, 0, 0x1840, 0xFF, 1728 * 6, 15096, 144 * 3710},
      {"300", T30_RES_300, 1, 1, 0, 0x1208, 0xFF, 2592, 3774, 72 * 1306},
      {"R16", T30_RES_R16, 1, 1, 0, 0x1104, 0xFF, 3456, 5032, 48 * 1306},
      {"superfine", T30_RES_SUPERFINE, 1, 1, 0, 0x1104, 0xFF, 1728, 5032, 48 * 1306},
      {"600", T30_RES_600, 1, 1, 0, 0x1820, 0xFF, 5184, 7548, 120 * 1910},
      {"300x600", T30_RES_300_600, 1, 1, 0, 0x1820, 0xFF, 2592, 7548, 120 * 1306},
      {"400x800", T30_RES_400_800, 1, 1, 0, 0x1820, 0xFF, 3456, 10064, 120 * 1306},
      {"600x1200", T30_RES_600_1200, 1, 1, 0, 0x1820, 0xFF, 5184, 15096, 120 * 1910},
      {"selection width", T30_RES_NORMAL, 7, 1, 0, 0x1102, T30_WIDTH_B4, 2048, 1258, 31344},
      {"selection A3", T30_RES_NORMAL, 1, 1, 0, 0x1102, T30_WIDTH_A3, 2432, 1258, 31344},
  };
  for (const Case& k : cases) {
    t30_capability c;
    c.resolution = k.resolution;
    c.width = k.width;
    c.length = k.length;
    c.legal = k.legal;
    c.coding = T30_CODING_MR;
    t30_selection sel;
    sel.width = k.selection_width;
    const t30_page_format f = t30_page__format(c, sel, k.modulation);
    EXPECT_EQ(f.width, k.pels) << k.name;
    EXPECT_EQ(f.max_lines, k.lines) << k.name;
    EXPECT_EQ(f.max_line_bits, k.bits) << k.name;
    EXPECT_EQ(f.coding, T30_CODING_MR) << k.name;
  }
}

TEST(T30PageFormat, MinimumOctetsAndConversion) {
  const uint8_t want[8][6] = {
      {0, 0, 0, 0, 0, 0},
      {2, 3, 5, 6, 8, 9},
      {255, 255, 255, 255, 255, 255},
      {3, 6, 9, 12, 15, 18},
      {255, 255, 255, 255, 255, 255},
      {6, 12, 18, 24, 30, 36},
      {255, 255, 255, 255, 255, 255},
      {12, 24, 36, 48, 60, 72},
  };
  const uint16_t speeds[6] = {0x1102, 0x1104, 0x1208, 0x1210, 0x1820, 0x1840};
  for (uint8_t code = 0; code < 8; ++code)
    for (int s = 0; s < 6; ++s)
      EXPECT_EQ(t30_page__min_octets(code, speeds[s]), want[code][s]) << int(code) << " " << s;

  t30_capability c;
  c.width = 1;
  c.length = 1;
  c.scan_time = 3;
  c.resolution = T30_RES_FINE;
  EXPECT_EQ(t30_page__format(c, {T30_RES_NORMAL, 0xFF, 0xFF}, 0x1210).conversion, t30_line_conversion::twice);
  EXPECT_EQ(t30_page__format(c, {T30_RES_FINE, 0xFF, 0xFF}, 0x1210).conversion, t30_line_conversion::once);
  EXPECT_EQ(t30_page__format(c, {}, 0x1210).min_octets, 12);
  c.resolution = T30_RES_NORMAL;
  EXPECT_EQ(t30_page__format(c, {T30_RES_FINE, 0xFF, 0xFF}, 0x1210).conversion, t30_line_conversion::odd_only);
  EXPECT_EQ(t30_page__format(c, {T30_RES_NORMAL, 0xFF, 0xFF}, 0x1210).conversion, t30_line_conversion::once);
}

TEST(T30PageFormat, EndOfPagePatterns) {
  bytes mh = {0x00, 0x10, 0x01, 0x00, 0x10, 0x01, 0x00, 0x10, 0x01};
  EXPECT_EQ(t30_page__end_pattern(T30_CODING_MH, false), mh);
  mh.resize(mh.size() + 8, 0);
  EXPECT_EQ(t30_page__end_pattern(T30_CODING_MH, true), mh);
  bytes mr = {0x00, 0x06, 0x00, 0x30, 0x01, 0x80, 0x0C, 0x00, 0x60, 0x03};
  EXPECT_EQ(t30_page__end_pattern(T30_CODING_MR, false), mr);
  mr.resize(mr.size() + 8, 0);
  EXPECT_EQ(t30_page__end_pattern(T30_CODING_MR, true), mr);
  EXPECT_TRUE(t30_page__end_pattern(T30_CODING_MMR, true).empty());
  EXPECT_TRUE(t30_page__end_pattern(T30_CODING_T85, true).empty());
}

TEST(T30PageFormat, FindEol) {
  // 11 zeros then a 1 is an EOL; the zero count carries across data.
  const bytes a = {0x80, 0x00};  // a 1, then 8 zeros... (15 bits left after it)
  uint32_t zeros = 0;
  bool one = false;
  fax_bit_cursor c{const_cast<uint8_t*>(a.data()), 0, 0, 16};
  EXPECT_EQ(t30__find_eol(c, zeros, &one), 0u);
  EXPECT_TRUE(one);
  EXPECT_EQ(zeros, 15u);
  const bytes b = {0x10};  // 3 more zeros then the 1
  fax_bit_cursor d{const_cast<uint8_t*>(b.data()), 0, 0, 8};
  one = false;
  EXPECT_EQ(t30__find_eol(d, zeros, &one), 4u);
  EXPECT_FALSE(one);
  EXPECT_EQ(zeros, 0u);
  // Ten zeros then a 1 is not an EOL; the 16 zeros and the 1 after it are.
  const bytes e = {0x00, 0x20, 0x00, 0x10};
  fax_bit_cursor f{const_cast<uint8_t*>(e.data()), 0, 0, 32};
  uint32_t run = 0;
  EXPECT_EQ(t30__find_eol(f, zeros, nullptr, &run), 28u);
  EXPECT_EQ(run, 16u);
}

// ---------------------------------------------------------------------------
// Received page.

TEST(T30RxPage, CleanPagePassesEveryLineUp) {
  std::vector<line_kind> kinds(60, line_kind::good);
  const test_page t = mh_page(kinds);
  for (size_t block : {size_t{0}, size_t{1}, size_t{7}, size_t{64}}) {
    const checked r = run_check(t.data, mh_format(), block);
    EXPECT_EQ(r.status, t30_rx_status::ok);
    EXPECT_EQ(r.good, 60u) << block;
    EXPECT_EQ(r.bad, 0u);
    EXPECT_EQ(r.response, t30_page_response::mcf);
    // Octet form: EOL first, RTC of six EOLs last; it decodes to the page.
    ASSERT_GE(r.out.size(), 14u);
    EXPECT_EQ(r.out[0], 0x00);
    EXPECT_EQ(r.out[1], 0x01);
    for (size_t i = r.out.size() - 12; i < r.out.size(); i += 2) {
      EXPECT_EQ(r.out[i], 0x00);
      EXPECT_EQ(r.out[i + 1], 0x01);
    }
    const fax_test::decoded d = fax_test::decode(r.out, T4T6_MH, kWidth);
    EXPECT_EQ(d.status, T4T6_PAGE_END);
    EXPECT_EQ(d.error_lines, 0u);
    EXPECT_EQ(d.pg, t.pg) << fax_test::describe_difference(t.pg, d.pg);
  }
}

TEST(T30RxPage, CorruptedLinesAreDroppedAndCounted) {
  std::vector<line_kind> kinds(30, line_kind::good);
  kinds[3] = kinds[10] = kinds[11] = line_kind::corrupt;
  const test_page t = mh_page(kinds);
  const checked r = run_check(t.data, mh_format(), 5);
  EXPECT_EQ(r.good, 27u);
  EXPECT_EQ(r.bad, 3u);
  EXPECT_EQ(r.run, 2u);
  const fax_test::decoded d = fax_test::decode(r.out, T4T6_MH, kWidth);
  EXPECT_EQ(d.error_lines, 0u);
  EXPECT_EQ(d.pg, rows_of(t.pg, t.good)) << fax_test::describe_difference(rows_of(t.pg, t.good), d.pg);
}

// RTP/RTN on 1000-line pages whose corrupted lines are known.
TEST(T30RxPage, ResponseByCorruptedLines) {
  struct Case {
    const char* name;
    std::vector<uint32_t> corrupt;
    t30_page_response want;
  };
  auto spread = [](uint32_t n) {
    std::vector<uint32_t> v;
    for (uint32_t i = 0; i < n; ++i) v.push_back(5 + i * 13);
    return v;
  };
  auto run = [](uint32_t start, uint32_t n) {
    std::vector<uint32_t> v;
    for (uint32_t i = 0; i < n; ++i) v.push_back(start + i);
    return v;
  };
  const Case cases[] = {
      {"70 spread", spread(70), t30_page_response::mcf},
      {"71 spread", spread(71), t30_page_response::rtp},
      {"74 spread", spread(74), t30_page_response::rtp},
      {"run of 8", run(400, 8), t30_page_response::mcf},
      {"run of 9", run(400, 9), t30_page_response::rtp},
      {"run of 41", run(400, 41), t30_page_response::rtn},
      {"none", {}, t30_page_response::mcf},
  };
  for (const Case& k : cases) {
    std::vector<line_kind> kinds(1000, line_kind::good);
    for (uint32_t y : k.corrupt) kinds[y] = line_kind::corrupt;
    const test_page t = mh_page(kinds, 7);
    const checked r = run_check(t.data, mh_format(), 1500);
    EXPECT_EQ(r.good + r.bad, 1000u) << k.name;
    EXPECT_EQ(r.bad, k.corrupt.size()) << k.name;
    EXPECT_EQ(r.response, k.want) << k.name;
  }
  // 101 of 1000 lines: above 10 %.
  std::vector<line_kind> kinds(1000, line_kind::good);
  for (uint32_t i = 0; i < 101; ++i) kinds[3 + i * 9] = line_kind::corrupt;
  const checked r = run_check(mh_page(kinds, 9).data, mh_format());
  EXPECT_EQ(r.bad, 101u);
  EXPECT_EQ(r.response, t30_page_response::rtn);
}

TEST(T30RxPage, HeldLines) {
  using L = line_kind;
  struct Case {
    const char* name;
    std::vector<line_kind> kinds;
    uint32_t good, bad;
  };
  const Case cases[] = {
      {"errors before the first good line", {L::corrupt, L::corrupt, L::short_error, L::good, L::good}, 2, 0},
      {"short error then good", {L::good, L::short_error, L::good}, 2, 1},
      {"short then long error", {L::good, L::short_error, L::corrupt, L::good}, 2, 2},
      {"two short errors end the count", {L::good, L::short_error, L::short_error, L::good, L::corrupt, L::good}, 1, 0},
  };
  for (const Case& k : cases) {
    const test_page t = mh_page(k.kinds);
    const checked r = run_check(t.data, mh_format(), 3);
    EXPECT_EQ(r.good, k.good) << k.name;
    EXPECT_EQ(r.bad, k.bad) << k.name;
  }
  // Lines after the end of counting are not passed up either.
  const test_page t = mh_page({L::good, L::short_error, L::short_error, L::good});
  const checked r = run_check(t.data, mh_format());
  const fax_test::decoded d = fax_test::decode(r.out, T4T6_MH, kWidth);
  EXPECT_EQ(d.pg.height, 1u);
}

TEST(T30RxPage, TooManyLines) {
  // An A4 page at fine resolution allows 2516 lines.
  t30_capability c;
  c.resolution = T30_RES_FINE;
  c.width = T30_WIDTH_A4;
  c.length = T30_LENGTH_A4;
  c.coding = T30_CODING_MH;
  const t30_page_format f = t30_page__format(c, {}, 0x1840);
  ASSERT_EQ(f.max_lines, 2516);
  const std::vector<uint8_t> white(kWidth / 8, 0);
  const bytes blank = mh_line(white.data());
  auto page_of = [&](uint32_t n) {
    bytes data = {0x00, 0x01};
    for (uint32_t i = 0; i < n; ++i) {
      data.insert(data.end(), blank.begin(), blank.end());
      data.push_back(0x00);
      data.push_back(0x01);
    }
    return data;
  };
  const checked ok = run_check(page_of(2516), f, 100);
  EXPECT_EQ(ok.status, t30_rx_status::ok);
  EXPECT_EQ(ok.good, 2516u);
  const checked over = run_check(page_of(2517), f, 100);
  EXPECT_EQ(over.status, t30_rx_status::too_many_lines);
  EXPECT_EQ(over.good, 2517u);
}

// A bit string: an EOL, `ones` 1 bits (a line without EOL), then an EOL of
// eleven 0 bits and a 1.
bytes long_line(uint32_t ones) {
  bytes out = {0x00, 0x01};
  uint32_t bit = 16;
  auto put = [&](bool one) {
    if (bit % 8 == 0) out.push_back(0);
    if (one) out.back() = static_cast<uint8_t>(out.back() | (0x80 >> (bit % 8)));
    ++bit;
  };
  for (uint32_t i = 0; i < ones; ++i) put(true);
  for (int i = 0; i < 11; ++i) put(false);
  put(true);
  return out;
}

TEST(T30RxPage, TooManyBitsInOneLine) {
  // V.27 ter 2400 at normal resolution: 31344 bits per line are allowed.
  t30_page_format f = mh_format();
  f.max_line_bits = 31344;
  EXPECT_EQ(run_check(long_line(31344 - 12), f, 333).status, t30_rx_status::ok);
  EXPECT_EQ(run_check(long_line(31345 - 12), f, 333).status, t30_rx_status::too_many_bits);
  // A line that never ends is caught without waiting for its EOL.
  bytes endless(8000, 0xFF);
  EXPECT_EQ(run_check(endless, f, 100).status, t30_rx_status::too_many_bits);
}

TEST(T30RxPage, LineLongerThanTheLineBufferIsABadLine) {
  // 1200 x 1200 at 14400 allows 534240 bits per line, more than the 16420
  // octets of the line buffer.
  t30_page_format f = mh_format();
  f.max_line_bits = 144 * 3710;
  std::vector<line_kind> kinds(4, line_kind::good);
  test_page t = mh_page(kinds);
  // Good line, then a line of over 17000 octets of codes, then good lines
  // (the long line is sized so that the next one starts on an octet).
  const bytes first_line = mh_line(t.pg.row(0));
  bytes page = {0x00, 0x01};
  page.insert(page.end(), first_line.begin(), first_line.end());
  const bytes huge = long_line(17000 * 8 + 4);
  page.insert(page.end(), huge.begin(), huge.end());  // EOL, the long line, EOL
  for (uint32_t y = 1; y < 4; ++y) {
    const bytes l = mh_line(t.pg.row(y));
    page.insert(page.end(), l.begin(), l.end());
    page.push_back(0x00);
    page.push_back(0x01);
  }
  const checked r = run_check(page, f, 1000);
  EXPECT_EQ(r.status, t30_rx_status::ok);
  EXPECT_EQ(r.good, 4u);
  EXPECT_EQ(r.bad, 1u);
}

TEST(T30RxPage, MrPageWithTags) {
  const fax_test::page pg = fax_test::make_page(fax_test::kind::text, kWidth, 80, 11);
  const bytes data = fax_test::encode(pg, T4T6_MR, 4);
  t30_page_format f = mh_format();
  f.coding = T30_CODING_MR;
  for (size_t block : {size_t{0}, size_t{1}, size_t{13}}) {
    const checked r = run_check(data, f, block);
    EXPECT_EQ(r.good, 80u) << block;
    EXPECT_EQ(r.bad, 0u) << block;
    EXPECT_EQ(r.out[1], 0x03);
    const fax_test::decoded d = fax_test::decode(r.out, T4T6_MR, kWidth);
    EXPECT_EQ(d.error_lines, 0u);
    EXPECT_EQ(d.pg, pg) << fax_test::describe_difference(pg, d.pg);
  }
}

TEST(T30RxPage, LinesAreJudgedInTheFormTheyGoUp) {
  // A corrupted line whose last code takes some of the zeros before the next
  // EOL: a decoder reading the stream runs it into the following line. Cut
  // at the EOLs, the first two lines are in error and the third (a white
  // line) is good; what goes up decodes without error.
  const bytes data = {0x00, 0x14, 0x3a, 0xa8, 0x00, 0x80, 0x7f, 0xff, 0xfc, 0x00, 0x53,
                      0x66, 0xa0, 0x02, 0x00, 0x20, 0x02, 0x00, 0x20, 0x02, 0x00, 0x20};
  for (size_t block : {size_t{0}, size_t{1}, size_t{3}}) {
    const checked r = run_check(data, mh_format(), block);
    EXPECT_EQ(r.good, 1u) << block;
    const fax_test::decoded d = fax_test::decode(r.out, T4T6_MH, kWidth);
    EXPECT_EQ(d.error_lines, 0u) << block;
    EXPECT_EQ(d.pg.height, 1u) << block;
    EXPECT_EQ(d.pg.bits, bytes(kWidth / 8, 0)) << block;
  }
}

TEST(T30RxPage, NothingFollowsAPageWithoutGoodLines) {
  const test_page t = mh_page({line_kind::corrupt, line_kind::corrupt});
  const checked r = run_check(t.data, mh_format());
  EXPECT_EQ(r.good, 0u);
  EXPECT_EQ(r.out, (bytes{0x00, 0x01}));
  EXPECT_EQ(r.response, t30_page_response::empty);
}

// ---------------------------------------------------------------------------
// Page to send.

struct framed {
  bytes all;
  std::vector<t30_tx_message> messages;
  uint32_t lines = 0, copies = 0;
};

framed frame_page(const bytes& data, const t30_page_format& f, size_t block, size_t room = 1588) {
  t30_tx_page_framer fr;
  fr.start(f, room);
  framed out;
  for (size_t at = 0; at < data.size(); at += block) {
    const size_t n = std::min(block, data.size() - at);
    for (auto& m : fr.feed({data.data() + at, n}, at + n == data.size())) out.messages.push_back(std::move(m));
  }
  for (const auto& m : out.messages) out.all.insert(out.all.end(), m.data.begin(), m.data.end());
  out.lines = fr.lines_found();
  out.copies = fr.copies_written();
  return out;
}

TEST(T30TxPage, LinesAreReframedWithFill) {
  // Blank lines at V.29 9600 with 10 ms scan time: every copy 14 octets.
  const fax_test::page pg = fax_test::make_page(fax_test::kind::blank, kWidth, 20, 1);
  const bytes data = fax_test::encode(pg, T4T6_MH);
  t30_page_format f = mh_format();
  f.min_octets = t30_page__min_octets(3, 0x1210);
  const framed r = frame_page(data, f, 9);
  EXPECT_EQ(r.lines, 20u);
  EXPECT_EQ(r.copies, 20u);
  const bytes end = t30_page__end_pattern(T30_CODING_MH, true);
  ASSERT_EQ(r.all.size(), 20 * 14 + end.size());
  for (size_t i = 0; i < 20; ++i) {
    EXPECT_EQ(r.all[i * 14], 0x00);
    EXPECT_EQ(r.all[i * 14 + 1], 0x01);  // line started on an octet boundary
  }
  EXPECT_TRUE(std::equal(end.begin(), end.end(), r.all.end() - static_cast<long>(end.size())));
  ASSERT_FALSE(r.messages.empty());
  EXPECT_TRUE(r.messages.back().last);
  for (size_t i = 0; i + 1 < r.messages.size(); ++i) EXPECT_FALSE(r.messages[i].last);
  const fax_test::decoded d = fax_test::decode(r.all, T4T6_MH, kWidth);
  EXPECT_EQ(d.pg, pg);
}

TEST(T30TxPage, PagesDecodeAfterReframing) {
  // Blank MR lines under a blank line code as tag 0 and V0: two bits.
  for (fax_test::kind kind : {fax_test::kind::text, fax_test::kind::blank})
    for (uint8_t coding : {T30_CODING_MH, T30_CODING_MR}) {
      const fax_test::page pg = fax_test::make_page(kind, kWidth, 120, 5);
      const bytes data = fax_test::encode(pg, coding == T30_CODING_MH ? T4T6_MH : T4T6_MR, 4);
      t30_page_format f = mh_format();
      f.coding = coding;
      f.min_octets = 36;
      const framed r = frame_page(data, f, 100);
      EXPECT_EQ(r.lines, 120u) << fax_test::kind_name(kind) << " " << int(coding);
      const fax_test::decoded d = fax_test::decode(r.all, coding == T30_CODING_MH ? T4T6_MH : T4T6_MR, kWidth);
      EXPECT_EQ(d.error_lines, 0u);
      EXPECT_EQ(d.pg, pg) << fax_test::describe_difference(pg, d.pg);
    }
}

#ifdef KV_HAVE_LIBTIFF
// libtiff's CCITT decoder, a second reader, takes both what the line check
// passes up and what the re-framing sends.
TEST(T30PageLibtiff, ReframedAndPassedUpDataDecode) {
  fax_test::temp_dir dir;
  const fax_test::page pg = fax_test::make_page(fax_test::kind::text, kWidth, 150, 4);
  for (uint8_t coding : {T30_CODING_MH, T30_CODING_MR}) {
    const uint8_t c = coding == T30_CODING_MH ? T4T6_MH : T4T6_MR;
    const bytes data = fax_test::encode(pg, c, 4);
    t30_page_format f = mh_format();
    f.coding = coding;
    f.min_octets = 24;
    const framed sent = frame_page(data, f, 700);
    EXPECT_EQ(fax_test::libtiff_decode_raw(dir.file("tx.tif"), sent.all, c, kWidth, pg.height), pg) << int(coding);
    const checked got = run_check(sent.all, f, 300);
    EXPECT_EQ(got.good, pg.height);
    EXPECT_EQ(fax_test::libtiff_decode_raw(dir.file("rx.tif"), got.out, c, kWidth, pg.height), pg) << int(coding);
  }
}
#endif

TEST(T30TxPage, LineKeepsItsBitPosition) {
  // 18 zeros and a 1 end an EOL at bit 18: the line (1111 0000 1111) starts
  // at bit 3 of its octet; then an EOL of eleven zeros and a 1.
  const bytes data = {0x00, 0x00, 0x3E, 0x1E, 0x00, 0x20};
  const framed r = frame_page(data, mh_format(), data.size());
  ASSERT_EQ(r.lines, 1u);
  // The copy puts 18 zeros before the EOL's 1, so that the line starts at
  // bit 3 again, then the line as it stands.
  ASSERT_GE(r.all.size(), 4u);
  EXPECT_EQ(bytes(r.all.begin(), r.all.begin() + 4), (bytes{0x00, 0x00, 0x3E, 0x1E}));
  // A line at bit 4 needs only 11 zeros; at bit 0, 15.
  const bytes at4 = {0x00, 0x10, 0xF0, 0xF0, 0x00, 0x08};
  const framed r4 = frame_page(at4, mh_format(), at4.size());
  ASSERT_EQ(r4.lines, 1u);
  EXPECT_EQ(bytes(r4.all.begin(), r4.all.begin() + 4), (bytes{0x00, 0x10, 0xF0, 0xF0}));
}

TEST(T30TxPage, ResolutionConversion) {
  const fax_test::page pg = fax_test::make_page(fax_test::kind::text, kWidth, 21, 8);
  const bytes data = fax_test::encode(pg, T4T6_MH);
  t30_page_format f = mh_format();
  f.conversion = t30_line_conversion::twice;
  framed r = frame_page(data, f, 50);
  EXPECT_EQ(r.lines, 21u);
  EXPECT_EQ(r.copies, 42u);
  fax_test::decoded d = fax_test::decode(r.all, T4T6_MH, kWidth);
  std::vector<uint32_t> twice;
  for (uint32_t y = 0; y < 21; ++y) twice.insert(twice.end(), {y, y});
  EXPECT_EQ(d.pg, rows_of(pg, twice));

  f.conversion = t30_line_conversion::odd_only;
  r = frame_page(data, f, 50);
  EXPECT_EQ(r.copies, 11u);
  d = fax_test::decode(r.all, T4T6_MH, kWidth);
  std::vector<uint32_t> odd;
  for (uint32_t y = 0; y < 21; y += 2) odd.push_back(y);
  EXPECT_EQ(d.pg, rows_of(pg, odd));
}

TEST(T30TxPage, MessagesAreFilledWithWholeCopies) {
  const fax_test::page pg = fax_test::make_page(fax_test::kind::blank, kWidth, 5, 1);
  const bytes data = fax_test::encode(pg, T4T6_MH);
  t30_page_format f = mh_format();
  f.min_octets = 12;  // copies of 14 octets
  const framed r = frame_page(data, f, data.size(), 30);
  // 14 + 14 fit in 30, the third copy starts a new message; the end pattern
  // (17 octets) does not fit after the fifth copy.
  std::vector<size_t> sizes;
  for (const auto& m : r.messages) sizes.push_back(m.data.size());
  EXPECT_EQ(sizes, (std::vector<size_t>{28, 28, 14, 17}));
  EXPECT_TRUE(r.messages.back().last);
}

TEST(T30TxPage, DataWithoutEolIsDropped) {
  // An EOL, then 8300 octets without 11 zeros in a row, then a page (which
  // starts with an EOL): the long stretch is not sent as a line, however the
  // data arrive.
  bytes data = {0x00, 0x01};
  data.resize(2 + 8300, 0xFF);
  const fax_test::page pg = fax_test::make_page(fax_test::kind::text, kWidth, 3, 2);
  const bytes page = fax_test::encode(pg, T4T6_MH);
  data.insert(data.end(), page.begin(), page.end());
  for (size_t block : {size_t{1000}, size_t{9000}, size_t{100000}}) {
    const framed r = frame_page(data, mh_format(), block);
    EXPECT_EQ(r.lines, 3u) << block;
    const fax_test::decoded d = fax_test::decode(r.all, T4T6_MH, kWidth);
    EXPECT_EQ(d.pg, pg) << block;
  }
}

}  // namespace
