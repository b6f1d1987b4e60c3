// Fuzzes the TIFF reader and writer.  The input is a TIFF file.
// Round trip 1: every page read (with its page data, which for T.4/T.6
//   pages runs the codec over it too) is written with the writer into a
//   second file, which is read again: each page must come back with the
//   header fields the writer stores and the same page data (an uncompressed
//   strip cut or completed to whole rows, as the writer does).
// Round trip 2: a page built from the input (parameters from its last 8
//   bytes, bitmap from its bytes) is coded, written twice and read back: both
//   pages must come back, and the decoded rows must number ImageLength and
//   equal the bitmap.
// Its files live on /dev/shm (RAM) when it can be written, and are removed
// after every input.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>
#include <unistd.h>

#include "fax/fax_bit.h"
#include "fax/t4t6.h"
#include "fax/tiff.h"

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

using bytes = std::vector<uint8_t>;

struct files {
  std::string in, page, again, out;
};

// Four files of this process, removed after every input.
const files& paths() {
  static const files f = [] {
    const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    const std::string base = std::string(dir) + "/kvfuzz-tiff-" + std::to_string(getpid());
    return files{base + "-in.tif", base + "-page.dat", base + "-again.dat", base + "-out.tif"};
  }();
  return f;
}

void remove_files() {
  const files& f = paths();
  for (const std::string* s : {&f.in, &f.page, &f.again, &f.out}) (void)std::remove(s->c_str());
}

bool save(const std::string& name, const uint8_t* data, size_t size) {
  std::FILE* f = std::fopen(name.c_str(), "wb");
  if (!f) return false;
  const bool written = size == 0 || std::fwrite(data, 1, size, f) == size;
  return std::fclose(f) == 0 && written;
}

bytes load(const std::string& name) {
  bytes b;
  if (std::FILE* f = std::fopen(name.c_str(), "rb")) {
    uint8_t buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) b.insert(b.end(), buf, buf + n);
    (void)std::fclose(f);  // read only
  }
  return b;
}

struct page {
  tiff__pg_header hdr;
  bytes data;
};

// The header a written page reads back as.
tiff__pg_header as_written(const tiff__pg_header& h) {
  tiff__pg_header w = h;
  if (h.image_type == TIFF_BILEVEL_IMAGE) w.bits_per_sample = 1;
  if (h.image_type == TIFF_RGB_IMAGE) w.bits_per_sample = static_cast<uint16_t>(3 * (h.bits_per_sample / 3));
  if (h.compression == TIFF_UNCOMPRESSED) w.fill_order = TIFF_HIGHEST_BIT_FIRST;
  return w;
}

void check_same_header(const tiff__pg_header& want, const tiff__pg_header& got) {
  check(got.image_type == want.image_type && got.image_width == want.image_width &&
        got.image_length == want.image_length && got.bits_per_sample == want.bits_per_sample &&
        got.fill_order == want.fill_order && got.compression == want.compression &&
        got.color_format == want.color_format && got.resolution_unit == want.resolution_unit &&
        got.x_resolution == want.x_resolution && got.y_resolution == want.y_resolution);
  check(std::strcmp(got.sz_software, want.sz_software) == 0 &&
        std::strcmp(got.sz_image_description, want.sz_image_description) == 0 &&
        std::strcmp(got.sz_tiff_artist, want.sz_tiff_artist) == 0);
}

// Bytes of one row of an uncompressed strip as the writer lays it out.
uint64_t row_bytes(const tiff__pg_header& h) {
  uint32_t bits = 1;
  if (h.image_type == TIFF_GRAYSCALE_IMAGE) bits = 8;
  else if (h.image_type == TIFF_RGB_IMAGE) bits = 24;
  else if (h.image_type == TIFF_PALETTE_IMAGE) bits = std::max<uint32_t>(h.bits_per_sample, 1);
  return (uint64_t{bits} * h.image_width + 7) / 8;
}

// The page data a written page reads back as.
bytes data_as_written(const page& p) {
  if (p.hdr.compression != TIFF_UNCOMPRESSED) return p.data;
  const uint64_t row = row_bytes(p.hdr);
  if (row == 0) return {};
  const uint64_t keep = std::min<uint64_t>(p.data.size(), uint64_t{p.hdr.image_length} * row);
  bytes d(p.data.begin(), p.data.begin() + static_cast<std::ptrdiff_t>(keep));
  d.resize((keep + row - 1) / row * row, 0);
  return d;
}

// Writes `pages` into the output file; false when the writer refused one
// (then nothing is checked).  Only refusals the writer documents are allowed.
bool write_pages(tiff__ctx* ctx, std::vector<page>& pages) {
  const files& f = paths();
  ctx->marker = 0;
  check(tiff__start_write(ctx, tiff__get_ctx_size(), f.out.c_str()) == TIFF_DONE);
  bool ok = true;
  for (page& p : pages) {
    if (!save(f.page, p.data.data(), p.data.size())) std::abort();
    tiff__pg_header h = p.hdr;
    const uint8_t r = tiff__write_page(ctx, &h, f.page.c_str());
    if (r != TIFF_DONE) {
      check((r == TIFF_ERR && p.hdr.compression == TIFF_UNSUPPORTED_COMPRESSION) ||
            (r == TIFF_ERR_WRITE && p.hdr.compression == TIFF_UNCOMPRESSED && row_bytes(p.hdr) > 87552));
      ok = false;
      break;
    }
  }
  tiff__close(ctx);
  return ok;
}

// Reads the output file back; every page must match what was written.
void read_back(tiff__ctx* ctx, const std::vector<page>& pages) {
  const files& f = paths();
  ctx->marker = 0;
  check(tiff__start_read(ctx, tiff__get_ctx_size(), f.out.c_str()) == TIFF_DONE);
  for (size_t i = 0; i < pages.size(); ++i) {
    tiff__pg_header got;
    const uint8_t r = tiff__read_page(ctx, &got, f.again.c_str());
    check(r == (i + 1 < pages.size() ? TIFF_NEXT_PAGE : TIFF_DONE));
    check_same_header(as_written(pages[i].hdr), got);
    const bytes want = data_as_written(pages[i]);
    check(load(f.again) == want && got.image_nb_bytes == want.size());
  }
  tiff__close(ctx);
}

// Decodes a coded page; the rows go to `rows` (whole bytes, stride each).
uint32_t decode_rows(const bytes& coded, const tiff__pg_header& h, bytes* rows) {
  const uint8_t coding = h.compression == TIFF_T4_MONO ? T4T6_MH : h.compression == TIFF_T4_BI ? T4T6_MR : T4T6_MMR;
  bytes msb = coded;
  if (h.fill_order == TIFF_LOWEST_BIT_FIRST)
    fax_bit__copy_reversed(msb.data(), msb.data(), static_cast<uint32_t>(msb.size()));
  t4t6_decoder* d = nullptr;
  check(t4t6__open(&d, coding, h.image_width) == T4T6_OPEN_OK);
  const uint32_t stride = (h.image_width + 7) / 8;
  bytes line(stride);
  d->line = line.data();
  d->data = msb.data();
  d->data_len = static_cast<uint32_t>(msb.size());
  uint32_t got = 0;
  while (d->page_status == T4T6_PAGE_DECODING && !d->end_of_data) {
    t4t6__decode_page(d);
    if (d->line_ready) {
      check(!d->error_line);
      rows->insert(rows->end(), line.begin(), line.end());
      ++got;
    }
  }
  check(d->page_status == T4T6_PAGE_END);
  t4t6__release(d);
  return got;
}

// Round trip 2: a page of our own, coded, written twice and read back.
void own_page(tiff__ctx* ctx, const uint8_t* data, size_t size) {
  if (size < 8) return;
  const uint8_t* p = data + size - 8;
  page pg;
  tiff__pg_header& h = pg.hdr;
  h.compression = static_cast<uint16_t>(1 + p[0] % 4);
  h.fill_order = (p[1] & 1) ? TIFF_LOWEST_BIT_FIRST : TIFF_HIGHEST_BIT_FIRST;
  h.image_type = (h.compression == TIFF_UNCOMPRESSED && (p[1] & 2)) ? TIFF_RGB_IMAGE : TIFF_BILEVEL_IMAGE;
  h.bits_per_sample = h.image_type == TIFF_RGB_IMAGE ? 24 : 1;
  h.color_format = (p[1] >> 2) & 1;
  h.resolution_unit = static_cast<uint16_t>(1 + (p[1] >> 3 & 3));
  h.image_width = 1 + ((p[2] << 8 | p[3]) % T4T6_MAX_WIDTH);
  h.x_resolution = static_cast<uint16_t>(p[6] * 4);
  h.y_resolution = static_cast<uint16_t>(p[7] * 2);
  const uint32_t stride = (h.image_width * (h.image_type == TIFF_RGB_IMAGE ? 24 : 1) + 7) / 8;
  // Up to 255 lines, at most 4 KiB of bitmap.
  h.image_length = std::min<uint32_t>(p[4], (4u << 10) / stride);
  // A page of no rows is written with RowsPerStrip 0, which the reader
  // refuses as no fax page: there is nothing to read back.
  if (h.image_length == 0) return;
  // Texts of the lengths p[5] gives, from the input's bytes (NUL ends them early).
  auto text = [&](char* dst, size_t room, unsigned len) {
    len = std::min<unsigned>(len, static_cast<unsigned>(std::min<size_t>(room - 1, size)));
    std::memcpy(dst, data, len);
    dst[len] = 0;
  };
  text(h.sz_software, sizeof h.sz_software, p[5] & 0x7F);
  text(h.sz_image_description, sizeof h.sz_image_description, (p[5] >> 2) & 0x3F);
  text(h.sz_tiff_artist, sizeof h.sz_tiff_artist, (p[5] & 0x80) ? 49 : 0);

  bytes bitmap(size_t{h.image_length} * stride);
  for (size_t i = 0; i < bitmap.size(); ++i) bitmap[i] = data[i % size];
  if (h.image_type == TIFF_BILEVEL_IMAGE && h.image_width % 8)
    for (uint32_t y = 0; y < h.image_length; ++y)
      bitmap[size_t{y} * stride + stride - 1] &= uint8_t(0xFF00 >> (h.image_width % 8));

  if (h.compression == TIFF_UNCOMPRESSED) {
    pg.data = bitmap;
  } else {
    const uint8_t coding = h.compression == TIFF_T4_MONO ? T4T6_MH : h.compression == TIFF_T4_BI ? T4T6_MR : T4T6_MMR;
    t4t6_encoder* e = nullptr;
    check(t4t6__open_encoder(&e, coding, h.image_width, 1 + p[0] / 4 % 4) == T4T6_OPEN_OK);
    pg.data.resize(size_t{t4t6__max_line_bytes(h.image_width)} * (h.image_length + 2) + 64);
    e->out = fax_bit_cursor{pg.data.data(), 0, 0, static_cast<int32_t>(pg.data.size() * 8)};
    if (coding != T4T6_MMR) check(t4t6__end_page(e, 0));
    for (uint32_t y = 0; y < h.image_length; ++y) {
      e->line = bitmap.data() + size_t{y} * stride;
      check(t4t6__encode_line(e));
    }
    check(t4t6__end_page(e, 1));
    pg.data.resize(e->out.byte_index + (e->out.bit_offset ? 1 : 0));
    t4t6__release_encoder(e);
    if (h.fill_order == TIFF_LOWEST_BIT_FIRST)
      fax_bit__copy_reversed(pg.data.data(), pg.data.data(), static_cast<uint32_t>(pg.data.size()));
  }
  std::vector<page> pages{pg, pg};
  pages[1].hdr.sz_software[0] = 0;
  pages[1].hdr.sz_tiff_artist[0] = 0;
  if (!write_pages(ctx, pages)) return;
  read_back(ctx, pages);
  if (h.compression == TIFF_UNCOMPRESSED) return;
  // The coded page read back decodes to ImageLength rows: the bitmap.
  bytes rows;
  check(decode_rows(load(paths().again), h, &rows) == h.image_length && rows == bitmap);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 200000) return 0;
  const files& f = paths();
  static auto ctx = std::make_unique<tiff__ctx>();
  if (!save(f.in, data, size)) return 0;
  // Round trip 1: the input's pages, read, written and read again.
  std::vector<page> pages;
  ctx->marker = 0;
  if (tiff__start_read(ctx.get(), tiff__get_ctx_size(), f.in.c_str()) == TIFF_DONE) {
    for (int n = 0; n < 16; ++n) {
      page p;
      const uint8_t r = tiff__read_page(ctx.get(), &p.hdr, f.page.c_str());
      if (r != TIFF_NEXT_PAGE && r != TIFF_DONE) break;
      p.data = load(f.page);
      check(p.hdr.image_nb_bytes == p.data.size());
      pages.push_back(std::move(p));
      if (r == TIFF_DONE) break;
    }
  }
  tiff__close(ctx.get());
  if (!pages.empty() && write_pages(ctx.get(), pages)) read_back(ctx.get(), pages);
  // Round trip 2: a page of our own.
  own_page(ctx.get(), data, size);
  remove_files();
  return 0;
}
