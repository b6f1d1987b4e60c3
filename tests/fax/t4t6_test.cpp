#include "fax/t4t6.h"

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "fax/support/fax_test_pages.h"

namespace {

using bytes = std::vector<uint8_t>;
using fax_test::page;

// Codes the given lines with the encoder directly (no leading EOL).
bytes encode_lines(uint8_t coding, uint32_t width, uint32_t k, const std::vector<bytes>& lines, int final = 1) {
  t4t6_encoder* e = nullptr;
  EXPECT_EQ(t4t6__open_encoder(&e, coding, width, k), 0);
  bytes out(4096 + lines.size() * t4t6__max_line_bytes(width));
  e->out = fax_bit_cursor{out.data(), 0, 0, static_cast<int32_t>(out.size() * 8)};
  for (const auto& l : lines) {
    e->line = l.data();
    EXPECT_TRUE(t4t6__encode_line(e));
  }
  if (final >= 0) {
    EXPECT_TRUE(t4t6__end_page(e, final));
  }
  out.resize(e->out.byte_index + (e->out.bit_offset ? 1 : 0));
  t4t6__release_encoder(e);
  return out;
}

bytes white(uint32_t width) { return bytes((width + 7) / 8, 0); }
bytes black(uint32_t width) {
  bytes b((width + 7) / 8, 0xFF);
  if (width % 8) b.back() = static_cast<uint8_t>(0xFF00 >> (width % 8));
  return b;
}

TEST(T4T6Encoder, KnownCodings) {
  const uint32_t w = 1728;
  struct {
    const char* what;
    uint8_t coding;
    uint32_t width, k;
    std::vector<bytes> lines;
    bytes want;
  } cases[] = {
      {"MH white lines: 1728 make-up, terminating 0, aligned EOL 00 01, RTC",
       T4T6_MH,
       w,
       0,
       {white(w), white(w)},
       {0x4D, 0x9A, 0x80, 0x00, 0x01, 0x4D, 0x9A, 0x80, 0x00, 0x01,
        0x00, 0x01, 0x00, 0x01, 0x00, 0x01, 0x00, 0x01, 0x00, 0x01}},
      {"MR K=2 alternates 1-D and 2-D lines, tags 02/03",
       T4T6_MR,
       w,
       2,
       {white(w), white(w), white(w), white(w)},
       {0x4D, 0x9A, 0x80, 0x00, 0x02, 0x80, 0x00, 0x03, 0x4D, 0x9A, 0x80, 0x00, 0x02,
        0x80, 0x00, 0x03, 0x00, 0x03, 0x00, 0x03, 0x00, 0x03, 0x00, 0x03, 0x00, 0x03}},
      {"MMR white lines are V0, EOFB follows unaligned",
       T4T6_MMR,
       w,
       0,
       {white(w), white(w)},
       {0xC0, 0x04, 0x00, 0x40}},
  };
  for (auto& c : cases) EXPECT_EQ(encode_lines(c.coding, c.width, c.k, c.lines), c.want) << c.what;
}

TEST(T4T6Encoder, LongRunsUseExtendedMakeupCodes) {
  // 5000 = 2560 + 2432 (1792 + 64 x 10) + 8; no colour make-up code.
  EXPECT_EQ(encode_lines(T4T6_MH, 5000, 0, {white(5000)}, -1), (bytes{0x01, 0xF0, 0x1D, 0x98}));
  // Black: white run 0 first, black terminating 8 last.
  EXPECT_EQ(encode_lines(T4T6_MH, 5000, 0, {black(5000)}, -1), (bytes{0x35, 0x01, 0xF0, 0x1D, 0x14}));
  for (uint8_t coding : {T4T6_MH, T4T6_MR, T4T6_MMR}) {
    page p;
    p.width = 6000;
    p.height = 4;
    p.bits = black(6000);
    auto w = white(6000);
    p.bits.insert(p.bits.end(), w.begin(), w.end());
    auto mixed = white(6000);
    for (uint32_t x = 1790; x < 4400; ++x) mixed[x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
    p.bits.insert(p.bits.end(), mixed.begin(), mixed.end());
    p.bits.insert(p.bits.end(), mixed.begin(), mixed.end());
    const auto d = fax_test::decode(fax_test::encode(p, coding), coding, p.width);
    EXPECT_EQ(d.pg, p) << int(coding) << fax_test::describe_difference(p, d.pg);
  }
}

TEST(T4T6Encoder, RunsOutOfRoomWithoutOverrun) {
  t4t6_encoder* e = nullptr;
  ASSERT_EQ(t4t6__open_encoder(&e, T4T6_MH, 1728, 0), 0);
  const page noisy = fax_test::make_page(fax_test::kind::noise, 1728, 1);
  bytes out(40, 0xEE);
  e->out = fax_bit_cursor{out.data(), 0, 0, 30 * 8};
  e->line = noisy.row(0);
  EXPECT_FALSE(t4t6__encode_line(e));
  EXPECT_LE(e->out.byte_index, 30u);
  for (size_t i = 30; i < out.size(); ++i) EXPECT_EQ(out[i], 0xEE);
  t4t6__release_encoder(e);
}

TEST(T4T6Open, RefusesBadArguments) {
  t4t6_decoder* d = nullptr;
  t4t6_encoder* e = nullptr;
  EXPECT_EQ(t4t6__open(nullptr, T4T6_MH, 1728), T4T6_OPEN_NO_HANDLE);
  EXPECT_EQ(t4t6__open_encoder(nullptr, T4T6_MH, 1728, 2), T4T6_OPEN_NO_HANDLE);
  EXPECT_EQ(t4t6__open(&d, 0, 1728), T4T6_OPEN_BAD_PARAM);
  EXPECT_EQ(t4t6__open(&d, 4, 1728), T4T6_OPEN_BAD_PARAM);
  EXPECT_EQ(t4t6__open(&d, T4T6_MMR, 0), T4T6_OPEN_BAD_PARAM);
  EXPECT_EQ(t4t6__open_encoder(&e, T4T6_MR, T4T6_MAX_WIDTH + 1, 2), T4T6_OPEN_BAD_PARAM);
  EXPECT_EQ(d, nullptr);
  EXPECT_EQ(e, nullptr);
  t4t6__release(nullptr);
  t4t6__release_encoder(nullptr);
}

TEST(T4T6Decoder, PageEndsAtRtcOrEofb) {
  const uint32_t w = 1728;
  // MH: leading EOL (an empty line), two lines, RTC; the first EOL of RTC ends
  // the last line and the fifth ends the page, leaving the sixth unread.
  bytes mh{0x00, 0x01, 0x4D, 0x9A, 0x80, 0x00, 0x01, 0x4D, 0x9A, 0x80};
  for (int i = 0; i < 6; ++i) mh.insert(mh.end(), {0x00, 0x01});
  mh.insert(mh.end(), {0xDE, 0xAD});  // whatever follows the page is not read
  // MMR: the page ends at the first EOL of EOFB.
  const bytes mmr{0xC0, 0x04, 0x00, 0x40};
  struct {
    uint8_t coding;
    bytes data;
    uint32_t lines, end_bit;
  } cases[] = {{T4T6_MH, mh, 2, (10 + 10) * 8}, {T4T6_MMR, mmr, 2, 14}};
  for (auto& c : cases) {
    t4t6_decoder* h = nullptr;
    ASSERT_EQ(t4t6__open(&h, c.coding, w), 0);
    bytes line(w / 8, 0xAA);
    h->line = line.data();
    h->data = c.data.data();
    h->data_len = static_cast<uint32_t>(c.data.size());
    uint32_t lines = 0;
    for (int i = 0; i < 20 && h->page_status == T4T6_PAGE_DECODING; ++i) {
      t4t6__decode_page(h);
      if (h->line_ready) {
        ++lines;
        EXPECT_EQ(line, white(w));
        if (c.coding == T4T6_MH && lines == 1) {
          EXPECT_EQ(t4t6__line_bits(h), 17u + 7 + 16);  // the line and its EOL
        }
      }
      ASSERT_FALSE(h->end_of_data);
    }
    EXPECT_EQ(h->page_status, T4T6_PAGE_END);
    EXPECT_EQ(lines, c.lines);
    EXPECT_EQ(t4t6__lines_decoded(h), c.lines);
    EXPECT_EQ(h->end_bit_pos, c.end_bit);
    EXPECT_EQ(h->error_lines, 0u);
    // A finished page stays finished.
    t4t6__decode_page(h);
    EXPECT_EQ(h->page_status, T4T6_PAGE_END);
    EXPECT_FALSE(h->line_ready);
    t4t6__release(h);
  }
}

TEST(T4T6Decoder, MmrLineLongerThanWidthStopsWithError) {
  // Horizontal mode, white run 20 on a line of 16 pels.
  const bytes data{0x22, 0x00, 0xFF, 0xFF};
  const auto d = fax_test::decode(data, T4T6_MMR, 16);
  EXPECT_EQ(d.status, T4T6_PAGE_ERROR);
  EXPECT_EQ(d.error_lines, 1u);
  EXPECT_EQ(d.pg.height, 0u);
  // Vertical mode past the width (VR3 on a white reference line) is an error too.
  EXPECT_EQ(fax_test::decode(bytes{0x06, 0x00}, T4T6_MMR, 16).status, T4T6_PAGE_ERROR);
}

TEST(T4T6Decoder, MhLineWithoutEolOrWithWrongLengthIsAnErrorLine) {
  const uint32_t w = 1728;
  // Line 2 reaches the width but a code follows instead of its EOL; line 3 ends
  // early at an EOL.  Both come out white as error lines, line 4 is good.
  bytes data{0x00, 0x01, 0x4D, 0x9A, 0x80, 0x00, 0x01};
  data.insert(data.end(), {0x4D, 0x9A, 0xF0, 0x00, 0x01});        // + white run 7 after the line
  data.insert(data.end(), {0x4D, 0x00, 0x01});                    // 1728 make-up only, EOL
  data.insert(data.end(), {0x35, 0x03, 0x28, 0x6E, 0x00, 0x01});  // white 0, black 1728
  for (int i = 0; i < 5; ++i) data.insert(data.end(), {0x00, 0x01});
  const auto d = fax_test::decode(data, T4T6_MH, w);
  EXPECT_EQ(d.status, T4T6_PAGE_END);
  EXPECT_EQ(d.error_lines, 2u);
  ASSERT_EQ(d.pg.height, 4u);
  EXPECT_EQ(bytes(d.pg.row(1), d.pg.row(1) + w / 8), white(w));
  EXPECT_EQ(bytes(d.pg.row(2), d.pg.row(2) + w / 8), white(w));
  EXPECT_EQ(bytes(d.pg.row(3), d.pg.row(3) + w / 8), black(w));
}

// Decodes `data` in blocks of `block` bytes and, when the data are used up
// before the page ends, tells the decoder that no more will come.
fax_test::decoded decode_to_end(const bytes& data, uint8_t coding, uint32_t width, uint32_t block) {
  fax_test::decoded d;
  d.pg.width = width;
  t4t6_decoder* h = nullptr;
  EXPECT_EQ(t4t6__open(&h, coding, width), 0);
  bytes line((width + 7) / 8, 0xAA);
  h->line = line.data();
  size_t pos = 0;
  auto take_line = [&] {
    if (!h->line_ready) return;
    d.pg.bits.insert(d.pg.bits.end(), line.begin(), line.end());
    ++d.pg.height;
  };
  for (int guard = 0; guard < 1'000'000 && h->page_status == T4T6_PAGE_DECODING; ++guard) {
    if (guard == 0 || h->end_of_data) {
      if (pos >= data.size()) {
        t4t6__finish_page(h);
        take_line();
        break;
      }
      const size_t n = std::min<size_t>(block, data.size() - pos);
      h->data = data.data() + pos;
      h->data_len = static_cast<uint32_t>(n);
      pos += n;
    }
    t4t6__decode_page(h);
    take_line();
  }
  d.status = h->page_status;
  d.error_lines = h->error_lines;
  t4t6__release(h);
  return d;
}

TEST(T4T6Decoder, LastLineWithoutEolIsDeliveredWhenTheDataEnd) {
  const page p = fax_test::make_page(fax_test::kind::text, 1728, 31, 7);
  std::vector<bytes> rows;
  for (uint32_t y = 0; y < p.height; ++y) rows.emplace_back(p.row(y), p.row(y) + p.stride());
  struct {
    uint8_t coding;
    uint32_t k;
    int final;  // 1 RTC / EOFB, 0 one EOL (MMR: only padding), -1 nothing after the last line
  } cases[] = {
      {T4T6_MH, 0, 1},  {T4T6_MH, 0, 0},  {T4T6_MH, 0, -1},
      {T4T6_MR, 2, 1},  {T4T6_MR, 2, 0},  {T4T6_MR, 2, -1},  // line 31 of K = 2 is one-dimensional
      {T4T6_MR, 4, -1},                                      // line 31 of K = 4 is two-dimensional
      {T4T6_MMR, 0, 1}, {T4T6_MMR, 0, 0},
  };
  for (auto& c : cases)
    for (uint32_t block : {1u, 5u, 100000u}) {
      const bytes data = encode_lines(c.coding, p.width, c.k, rows, c.final);
      const auto d = decode_to_end(data, c.coding, p.width, block);
      const std::string what = "coding " + std::to_string(c.coding) + " K " + std::to_string(c.k) + " final " +
                               std::to_string(c.final) + " block " + std::to_string(block);
      EXPECT_EQ(d.status, T4T6_PAGE_END) << what;
      EXPECT_EQ(d.error_lines, 0u) << what;
      EXPECT_TRUE(d.pg == p) << what << fax_test::describe_difference(p, d.pg);
      // The tests' own decoder finishes the page the same way.
      const auto t = fax_test::decode(data, c.coding, p.width, block);
      EXPECT_EQ(t.status, T4T6_PAGE_END) << what;
      EXPECT_TRUE(t.pg == p) << what << fax_test::describe_difference(p, t.pg);
    }
}

TEST(T4T6Decoder, DataEndingInsideALineGiveAnErrorLine) {
  const page p = fax_test::make_page(fax_test::kind::noise, 1728, 20, 3);  // long coded lines
  std::vector<bytes> rows;
  for (uint32_t y = 0; y < p.height; ++y) rows.emplace_back(p.row(y), p.row(y) + p.stride());
  for (uint8_t coding : {T4T6_MH, T4T6_MR, T4T6_MMR}) {
    bytes data = encode_lines(coding, p.width, 2, rows, -1);
    data.resize(data.size() - 3);  // the last line loses its end
    const auto d = decode_to_end(data, coding, p.width, 64);
    if (coding == T4T6_MMR) {  // no way to resynchronise: the page failed
      EXPECT_EQ(d.status, T4T6_PAGE_ERROR);
      EXPECT_EQ(d.pg.height, p.height - 1);
    } else {  // the cut line comes out white, as an error line
      EXPECT_EQ(d.status, T4T6_PAGE_END) << int(coding);
      ASSERT_EQ(d.pg.height, p.height) << int(coding);
      EXPECT_EQ(bytes(d.pg.row(p.height - 1), d.pg.row(p.height - 1) + p.stride()), white(p.width));
    }
    EXPECT_EQ(d.error_lines, 1u) << int(coding);
    for (uint32_t y = 0; y + 1 < std::min(d.pg.height, p.height); ++y)
      EXPECT_TRUE(std::equal(p.row(y), p.row(y) + p.stride(), d.pg.row(y)))
          << "coding " << int(coding) << " line " << y;
  }
}

// Byte offsets of the end of each coded line (MH/MR data from fax_test::encode
// layout: leading EOL, then EOL before every line but the first).
std::vector<size_t> line_ends(const page& p, uint8_t coding, uint32_t k) {
  t4t6_encoder* e = nullptr;
  EXPECT_EQ(t4t6__open_encoder(&e, coding, p.width, k), 0);
  bytes out(size_t{t4t6__max_line_bytes(p.width)} * (p.height + 2));
  e->out = fax_bit_cursor{out.data(), 0, 0, static_cast<int32_t>(out.size() * 8)};
  t4t6__end_page(e, 0);
  std::vector<size_t> ends;
  for (uint32_t y = 0; y < p.height; ++y) {
    e->line = p.row(y);
    t4t6__encode_line(e);
    ends.push_back(e->out.byte_index + (e->out.bit_offset ? 1 : 0));
  }
  t4t6__release_encoder(e);
  return ends;
}

TEST(T4T6Decoder, CorruptLinesResynchroniseAtTheNextEol) {
  const page p = fax_test::make_page(fax_test::kind::text, 1728, 120, 3);
  struct {
    uint8_t coding;
    uint32_t k, bad_line, good_from;
  } cases[] = {{T4T6_MH, 0, 50, 51}, {T4T6_MR, 4, 49, 52}, {T4T6_MR, 4, 52, 56}};
  for (auto& c : cases) {
    bytes data = fax_test::encode(p, c.coding, c.k);
    const auto ends = line_ends(p, c.coding, c.k);
    for (size_t i = ends[c.bad_line - 1] + 2; i + 1 < ends[c.bad_line]; ++i) data[i] = 0xFF;
    const auto d = fax_test::decode(data, c.coding, p.width);
    EXPECT_EQ(d.status, T4T6_PAGE_END);
    EXPECT_GE(d.error_lines, 1u);
    ASSERT_EQ(d.pg.height, p.height) << int(c.coding);
    for (uint32_t y = 0; y < p.height; ++y) {
      if (y >= c.bad_line && y < c.good_from) continue;
      EXPECT_TRUE(std::equal(p.row(y), p.row(y) + p.stride(), d.pg.row(y)))
          << "coding " << int(c.coding) << " line " << y;
    }
  }
}

TEST(T4T6Decoder, TruncatedAndGarbageDataNeverOverrun) {
  const page p = fax_test::make_page(fax_test::kind::text, 1728, 60, 5);
  for (uint8_t coding : {T4T6_MH, T4T6_MR, T4T6_MMR}) {
    const bytes full = fax_test::encode(p, coding);
    for (size_t cut : {size_t{1}, full.size() / 3, full.size() - 3}) {
      const bytes part(full.begin(), full.begin() + static_cast<long>(cut));
      const auto d = fax_test::decode(part, coding, p.width);
      // The data end: the page is closed, never read past them.
      EXPECT_TRUE(d.status == T4T6_PAGE_END || d.status == T4T6_PAGE_ERROR) << d.status;
      EXPECT_LE(d.pg.height, p.height);
    }
    bytes junk(3000);
    uint32_t x = 12345;
    for (auto& b : junk) b = static_cast<uint8_t>((x = x * 1103515245 + 12345) >> 16);
    (void)fax_test::decode(junk, coding, 1728);
  }
}

struct round_trip_case {
  fax_test::kind kind;
  uint32_t height;
  uint8_t coding;
};

class T4T6RoundTrip : public ::testing::TestWithParam<round_trip_case> {};

TEST_P(T4T6RoundTrip, DecodesToTheSameBitmapInAnyBlockSize) {
  const auto& c = GetParam();
  const page p = fax_test::make_page(c.kind, 1728, c.height, 11);
  const bytes data = fax_test::encode(p, c.coding);
  for (uint32_t block : {0u, 1u, 7u, 301u}) {
    if (block == 1 && c.height > 1200) continue;  // one byte blocks: the short page is enough
    const auto d = fax_test::decode(data, c.coding, p.width, block);
    EXPECT_EQ(d.status, T4T6_PAGE_END) << "block " << block;
    EXPECT_EQ(d.error_lines, 0u);
    EXPECT_TRUE(d.pg == p) << "block " << block << fax_test::describe_difference(p, d.pg);
  }
#ifdef KV_HAVE_LIBTIFF
  // libtiff's CCITT codec reads what we write, and we read what it writes.
  fax_test::temp_dir dir;
  const page by_libtiff = fax_test::libtiff_decode_raw(dir.file("ours.tif"), data, c.coding, p.width, p.height);
  EXPECT_TRUE(by_libtiff == p) << "libtiff decode of ours:" << fax_test::describe_difference(p, by_libtiff);
  bytes theirs = fax_test::libtiff_encode_raw(dir.file("theirs.tif"), p, c.coding);
  if (c.coding != T4T6_MMR)  // libtiff ends its strips without RTC
    for (int i = 0; i < 6; ++i) theirs.insert(theirs.end(), {0x00, uint8_t(c.coding == T4T6_MR ? 0x03 : 0x01)});
  const auto d = fax_test::decode(theirs, c.coding, p.width);
  EXPECT_EQ(d.status, T4T6_PAGE_END);
  EXPECT_TRUE(d.pg == p) << "our decode of libtiff's:" << fax_test::describe_difference(p, d.pg);
#endif
}

std::vector<round_trip_case> round_trip_cases() {
  std::vector<round_trip_case> v;
  for (auto k : {fax_test::kind::blank, fax_test::kind::text, fax_test::kind::lines, fax_test::kind::noise})
    for (uint32_t h : {1143u, 2287u})
      for (uint8_t coding : {T4T6_MH, T4T6_MR, T4T6_MMR}) v.push_back({k, h, coding});
  return v;
}

std::string round_trip_name(const ::testing::TestParamInfo<round_trip_case>& info) {
  static const char* names[] = {"", "MH", "MR", "MMR"};
  return std::string(fax_test::kind_name(info.param.kind)) + "_" +
         std::to_string(info.param.height == 1143 ? 98 : 196) + "lpi_" + names[info.param.coding];
}

INSTANTIATE_TEST_SUITE_P(Pages, T4T6RoundTrip, ::testing::ValuesIn(round_trip_cases()), round_trip_name);

TEST(T4T6Codec, OddWidthsRoundTrip) {
  // 123: the line ends inside the last byte of a whole 64-pel word.
  for (uint32_t w : {1u, 7u, 9u, 123u, 215u, 1731u})
    for (uint8_t coding : {T4T6_MH, T4T6_MR, T4T6_MMR}) {
      page p = fax_test::make_page(fax_test::kind::noise, w, 40, w);
      for (uint32_t y = 0; y < p.height; ++y)  // keep the pad bits clear
        if (w % 8) p.row(y)[p.stride() - 1] &= static_cast<uint8_t>(0xFF00 >> (w % 8));
      const auto d = fax_test::decode(fax_test::encode(p, coding), coding, w);
      EXPECT_TRUE(d.pg == p) << "width " << w << " coding " << int(coding) << fax_test::describe_difference(p, d.pg);
    }
}

TEST(T4T6Codec, SmallPagesOfEveryKindRoundTrip) {
  // Pages smaller than the drawings of a kind are made at once, clipped.
  const auto start = std::chrono::steady_clock::now();
  for (auto k : {fax_test::kind::blank, fax_test::kind::text, fax_test::kind::lines, fax_test::kind::noise})
    for (uint32_t w : {1u, 64u, 215u, 1728u})
      for (uint32_t h : {1u, 8u, 119u}) {
        const page p = fax_test::make_page(k, w, h, 5);
        ASSERT_EQ(p.bits.size(), size_t{p.stride()} * h);
        const auto d = fax_test::decode(fax_test::encode(p, T4T6_MR), T4T6_MR, w);
        EXPECT_TRUE(d.pg == p) << fax_test::kind_name(k) << " " << w << "x" << h
                               << fax_test::describe_difference(p, d.pg);
      }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

TEST(T4T6NextChangingElement, FindsColourChanges) {
  bytes line(24, 0);
  line[3] = 0x01;   // pel 31 black
  line[4] = 0xFF;   // 32..39 black
  line[20] = 0x80;  // 160 black
  EXPECT_EQ(t4t6__next_changing_element(line.data(), 192, 0, 0), 31u);
  EXPECT_EQ(t4t6__next_changing_element(line.data(), 192, 31, 1), 40u);
  EXPECT_EQ(t4t6__next_changing_element(line.data(), 192, 40, 0), 160u);
  EXPECT_EQ(t4t6__next_changing_element(line.data(), 192, 161, 0), 192u);
  EXPECT_EQ(t4t6__next_changing_element(line.data(), 150, 40, 0), 150u);  // bounded by the width
}

}  // namespace
