#include "controller/fax_file.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "fax/fax_bit.h"
#include "fax/t4t6.h"
#include "fax/tiff.h"
#include "platform/process.h"

namespace {

// Pages are cut at this many lines, and at this many bitmap bytes (a few
// bits of MMR can stand for a long white page).
constexpr std::uint32_t kMaxPageLines = 65535;
constexpr std::size_t kMaxPageBytes = std::size_t{32} << 20;

struct TiffCloser {
  void operator()(tiff__ctx* c) const {
    tiff__close(c);
    delete c;
  }
};
using TiffPtr = std::unique_ptr<tiff__ctx, TiffCloser>;

TiffPtr NewTiff() { return TiffPtr(new tiff__ctx()); }

// A scratch file for the page data fax/tiff.h moves through files; removed
// when the holder goes.
class ScratchFile {
 public:
  ScratchFile() {
    static std::atomic<unsigned> counter{0};
    std::error_code ec;
    auto dir = std::filesystem::temp_directory_path(ec);
    if (ec) dir = ".";
    path_ =
        (dir / ("marrock-" + std::to_string(platform::ProcessId()) + "-" + std::to_string(counter++) + ".pg")).string();
  }
  ~ScratchFile() {
    std::error_code ec;
    std::filesystem::remove(path_, ec);
  }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;
  const char* c_str() const { return path_.c_str(); }

  bool Load(std::vector<std::uint8_t>* out) const {
    std::FILE* f = std::fopen(path_.c_str(), "rb");
    if (!f) return false;
    out->clear();
    std::uint8_t buf[65536];
    for (;;) {
      const std::size_t n = std::fread(buf, 1, sizeof buf, f);
      out->insert(out->end(), buf, buf + n);
      if (n < sizeof buf) break;
    }
    const bool ok = !std::ferror(f);
    (void)std::fclose(f);
    return ok;
  }
  bool Store(const std::uint8_t* data, std::size_t n) const {
    std::FILE* f = std::fopen(path_.c_str(), "wb");
    if (!f) return false;
    bool ok = n == 0 || std::fwrite(data, 1, n, f) == n;
    ok = (std::fclose(f) == 0) && ok;
    return ok;
  }

 private:
  std::string path_;
};

StatusWord StatusOfTiff(std::uint8_t code) {
  switch (code) {
    case TIFF_ERR_FOPEN:
    case TIFF_ERR_WRITE: return STATUS_IO_FAILURE;
    case TIFF_ERR_MAGIC: return STATUS_NOT_TIFF;
    case TIFF_ERR_STRIP_OFFSETS:
    case TIFF_ERR_STRIP_BYTE_COUNTS:
    case TIFF_ERR_STRIP_COUNTS: return STATUS_TIFF_STRIPS;
    default: return STATUS_TIFF_DIRECTORY;
  }
}

// Resolution of a page header in dots per inch.
bool InchResolution(const tiff__pg_header& h, std::uint16_t* x, std::uint16_t* y) {
  switch (h.resolution_unit) {
    case 1:  // no unit: taken as given
    case 2:
      *x = h.x_resolution;
      *y = h.y_resolution;
      return true;
    case 3:  // centimetre
      *x = static_cast<std::uint16_t>((h.x_resolution * 254u + 50) / 100);
      *y = static_cast<std::uint16_t>((h.y_resolution * 254u + 50) / 100);
      return true;
    default: return false;
  }
}

std::uint8_t CodingOf(std::uint16_t compression) {
  switch (compression) {
    case TIFF_T4_MONO: return T4T6_MH;
    case TIFF_T4_BI: return T4T6_MR;
    case TIFF_T6: return T4T6_MMR;
    default: return 0;
  }
}

// Decodes coded page data (most significant bit first) into the bitmap.
StatusWord DecodeCoded(std::uint8_t coding, const std::vector<std::uint8_t>& data, FaxBitmap* page) {
  t4t6_decoder* h = nullptr;
  if (t4t6__open(&h, coding, page->width) != T4T6_OPEN_OK) return STATUS_TIFF_DIRECTORY;
  const std::uint32_t stride = page->stride();
  std::vector<std::uint8_t> line(stride + 8, 0);
  page->bits.clear();
  page->lines = 0;
  h->line = line.data();
  h->data = data.data();
  h->data_len = static_cast<std::uint32_t>(data.size());
  auto take = [&] {
    if (!h->line_ready || page->lines >= kMaxPageLines || page->bits.size() + stride > kMaxPageBytes) return;
    page->bits.insert(page->bits.end(), line.begin(), line.begin() + stride);
    ++page->lines;
  };
  for (std::uint32_t guard = 0; guard < 4 * kMaxPageLines + 16; ++guard) {
    t4t6__decode_page(h);
    take();
    if (h->page_status != T4T6_PAGE_DECODING) break;
    if (h->end_of_data) {
      t4t6__finish_page(h);
      take();
      break;
    }
  }
  t4t6__release(h);
  return STATUS_OK;
}

// Turns one page as fax/tiff.h delivers it into a bitmap.
StatusWord DecodePage(const tiff__pg_header& h, std::vector<std::uint8_t>& data, FaxBitmap* page) {
  if (h.image_type != TIFF_BILEVEL_IMAGE || h.bits_per_sample > 1) return STATUS_TIFF_NOT_T4;
  if (h.image_width == 0 || h.image_width > T4T6_MAX_WIDTH) return STATUS_TIFF_DIRECTORY;
  if (!InchResolution(h, &page->x_res, &page->y_res)) return STATUS_TIFF_RES_UNIT;
  if (page->x_res == 0) page->x_res = 204;
  if (page->y_res == 0) page->y_res = 98;
  page->width = h.image_width;
  if (h.fill_order == TIFF_LOWEST_BIT_FIRST)
    fax_bit__copy_reversed(data.data(), data.data(), static_cast<std::uint32_t>(data.size()));
  if (h.compression == TIFF_UNCOMPRESSED) {
    const std::uint32_t stride = page->stride();
    const std::uint64_t rows =
        std::min<std::uint64_t>(std::min<std::uint64_t>(h.image_length, data.size() / stride), kMaxPageLines);
    page->lines = static_cast<std::uint32_t>(rows);
    page->bits.assign(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(rows * stride));
    if (h.color_format == TIFF_BLACKISZERO)
      for (auto& b : page->bits) b = static_cast<std::uint8_t>(~b);
    if (const std::uint32_t spare = stride * 8 - page->width)  // pad bits stay white
      for (std::uint32_t y = 0; y < page->lines; ++y)
        page->row(y)[stride - 1] &= static_cast<std::uint8_t>(0xFF << spare);
    return STATUS_OK;
  }
  const std::uint8_t coding = CodingOf(h.compression);
  if (!coding) return STATUS_TIFF_NOT_T4;
  return DecodeCoded(coding, data, page);
}

// Walks the pages of a file: `fn(header, data or null)` for each page;
// data are read only for the page `want` (or every page when want < 0).
template <typename Fn>
StatusWord ForEachPage(const std::string& path, long want, Fn fn) {
  TiffPtr ctx = NewTiff();
  std::uint8_t rc = tiff__start_read(ctx.get(), tiff__get_ctx_size(), path.c_str());
  if (rc != TIFF_DONE) return StatusOfTiff(rc);
  ScratchFile scratch;
  std::vector<std::uint8_t> data;
  for (long page = 0;; ++page) {
    tiff__pg_header h;
    const bool read_data = want < 0 || page == want;
    rc = tiff__read_page(ctx.get(), &h, read_data ? scratch.c_str() : nullptr);
    if (rc != TIFF_NEXT_PAGE && rc != TIFF_DONE) return StatusOfTiff(rc);
    if (read_data && !scratch.Load(&data)) return STATUS_IO_FAILURE;
    const StatusWord s = fn(h, read_data ? &data : nullptr);
    if (s != STATUS_OK) return s;
    if (rc == TIFF_DONE) return STATUS_OK;
  }
}

}  // namespace

std::uint16_t FaxLinesPerInch(std::uint16_t y_res) {
  if (y_res % 100 == 0) return y_res;
  return static_cast<std::uint16_t>((y_res / 98) * 100);
}

// ---------------------------------------------------------------------------
// Writing

struct FaxFileWriter::Impl {
  TiffPtr tiff;
  std::vector<std::uint8_t> page;  // coded page, most significant bit first
  std::size_t used = 0;            // whole bytes of `page` in use
  t4t6_encoder* enc = nullptr;

  ~Impl() { t4t6__release_encoder(enc); }
};

FaxFileWriter::FaxFileWriter() = default;
FaxFileWriter::~FaxFileWriter() {
  if (open_) (void)Finish();
}

StatusWord FaxFileWriter::Start(const std::string& path, std::uint16_t y_res, std::uint32_t width) {
  if (open_) return STATUS_BAD_ARGUMENT;
  if (width == 0 || width > T4T6_MAX_WIDTH) return STATUS_BAD_ARGUMENT;
  impl_ = std::make_unique<Impl>();
  impl_->tiff = NewTiff();
  if (tiff__start_write(impl_->tiff.get(), tiff__get_ctx_size(), path.c_str()) != TIFF_DONE) {
    impl_.reset();
    return STATUS_IO_FAILURE;
  }
  path_ = path;
  y_res_ = FaxLinesPerInch(y_res);
  width_ = width;
  pages_ = 0;
  last_lines_ = 0;
  open_ = true;
  return STATUS_OK;
}

void FaxFileWriter::Reserve(std::size_t extra) {
  if (impl_->page.size() < impl_->used + extra + 8) impl_->page.resize((impl_->used + extra + 8) * 2);
}

void FaxFileWriter::Abort() {
  impl_.reset();
  open_ = false;
  std::error_code ec;
  std::filesystem::remove(path_, ec);
}

StatusWord FaxFileWriter::WriteData(const std::uint8_t* data, std::size_t length, bool end_of_page,
                                    bool end_of_document) {
  if (!open_) return STATUS_IO_FAILURE;
  if (length && !data) return STATUS_BAD_ARGUMENT;
  Reserve(length);
  fax_bit__copy_reversed(impl_->page.data() + impl_->used, data, static_cast<std::uint32_t>(length));
  impl_->used += length;
  return (end_of_page || end_of_document) ? EndPage(end_of_document) : STATUS_OK;
}

StatusWord FaxFileWriter::WriteLine(const std::uint8_t* row, std::uint32_t width_bytes, bool end_of_page,
                                    bool end_of_document) {
  if (!open_) return STATUS_IO_FAILURE;
  Impl& m = *impl_;
  const std::uint32_t stride = (width_ + 7) / 8;
  if (!m.enc) {
    if (t4t6__open_encoder(&m.enc, T4T6_MH, width_, 1) != T4T6_OPEN_OK) return STATUS_IO_FAILURE;
    Reserve(4);
    m.enc->out = {m.page.data(), static_cast<std::uint32_t>(m.used), 0, 32};
    (void)t4t6__end_page(m.enc, 0);  // the page starts with an EOL
    AlignOutput();
  }
  // The row as wide as the page: cut or padded with white.
  std::vector<std::uint8_t> line(stride, 0);
  if (row) std::memcpy(line.data(), row, std::min(width_bytes, stride));
  if (const std::uint32_t spare = stride * 8 - width_) line[stride - 1] &= static_cast<std::uint8_t>(0xFF << spare);
  const std::uint32_t room = t4t6__max_line_bytes(width_) + 16;
  Reserve(room);
  m.enc->line = line.data();
  m.enc->out = {m.page.data(), static_cast<std::uint32_t>(m.used), 0, static_cast<std::int32_t>(room * 8)};
  if (!t4t6__encode_line(m.enc)) return STATUS_IO_FAILURE;
  AlignOutput();  // each row padded to whole bytes
  return (end_of_page || end_of_document) ? EndPage(end_of_document) : STATUS_OK;
}

void FaxFileWriter::AlignOutput() {
  fax_bit_cursor& c = impl_->enc->out;
  impl_->used = c.byte_index + (c.bit_offset ? 1 : 0);
}

StatusWord FaxFileWriter::WritePage(const FaxBitmap& page, bool end_of_document) {
  if (page.lines == 0) return WriteLine(nullptr, 0, true, end_of_document);
  for (std::uint32_t y = 0; y < page.lines; ++y) {
    const bool last = y + 1 == page.lines;
    const StatusWord s = WriteLine(page.row(y), page.stride(), last, last && end_of_document);
    if (s != STATUS_OK) return s;
  }
  return STATUS_OK;
}

StatusWord FaxFileWriter::EndPage(bool end_of_document) {
  Impl& m = *impl_;
  if (m.enc) {  // rows written by WriteLine end with RTC
    Reserve(16);
    m.enc->out = {m.page.data(), static_cast<std::uint32_t>(m.used), 0, 16 * 8};
    (void)t4t6__end_page(m.enc, 1);
    AlignOutput();
    t4t6__release_encoder(m.enc);
    m.enc = nullptr;
  }
  // Lines as the decoder finds them (RTC is not a line).
  std::uint32_t lines = 0;
  t4t6_decoder* h = nullptr;
  if (t4t6__open(&h, T4T6_MH, width_) != T4T6_OPEN_OK) return STATUS_IO_FAILURE;
  h->data = m.page.data();
  h->data_len = static_cast<std::uint32_t>(m.used);
  for (std::uint32_t guard = 0; guard < 4 * kMaxPageLines + 16; ++guard) {
    t4t6__decode_page(h);
    lines += h->line_ready;
    if (h->page_status != T4T6_PAGE_DECODING) break;
    if (h->end_of_data) {
      t4t6__finish_page(h);
      lines += h->line_ready;
      break;
    }
  }
  t4t6__release(h);

  StatusWord s = STATUS_OK;
  if (m.used > 0 || pages_ == 0) {
    fax_bit__copy_reversed(m.page.data(), m.page.data(), static_cast<std::uint32_t>(m.used));
    ScratchFile scratch;
    tiff__pg_header hdr;
    hdr.image_type = TIFF_BILEVEL_IMAGE;
    hdr.image_width = width_;
    hdr.image_length = lines;
    hdr.fill_order = TIFF_LOWEST_BIT_FIRST;
    hdr.compression = TIFF_T4_MONO;
    hdr.color_format = TIFF_WHITEISZERO;
    hdr.resolution_unit = 2;
    hdr.x_resolution = (y_res_ % 100 == 0) ? 200 : 204;
    hdr.y_resolution = y_res_;
    hdr.fax_tags = true;
    if (!scratch.Store(m.page.data(), m.used) || tiff__write_page(m.tiff.get(), &hdr, scratch.c_str()) != TIFF_DONE)
      s = STATUS_IO_FAILURE;
    ++pages_;
    last_lines_ = lines;
  }
  m.used = 0;
  if (s != STATUS_OK) {
    Abort();
    return s;
  }
  if (end_of_document) {
    tiff__ctx* c = m.tiff.get();
    const bool failed = c->io_error;
    impl_.reset();
    open_ = false;
    if (failed) return STATUS_IO_FAILURE;
  }
  return STATUS_OK;
}

StatusWord FaxFileWriter::Finish() {
  if (!open_) return STATUS_OK;
  if (impl_->used > 0 || impl_->enc || pages_ == 0) return EndPage(true);
  impl_.reset();
  open_ = false;
  return STATUS_OK;
}

// ---------------------------------------------------------------------------
// Reading

StatusWord FaxFilePageCount(const std::string& path, std::uint32_t* pages) {
  std::uint32_t n = 0, first_lines = 0;
  const StatusWord s = ForEachPage(path, -2, [&](const tiff__pg_header& h, std::vector<std::uint8_t>*) {
    if (n == 0) first_lines = h.image_length;
    ++n;
    return STATUS_OK;
  });
  if (s != STATUS_OK) return s;
  if (n == 1 && first_lines == 0) n = 0;
  if (pages) *pages = n;
  return STATUS_OK;
}

StatusWord ReadFaxFile(const std::string& path, std::vector<FaxBitmap>* pages) {
  pages->clear();
  return ForEachPage(path, -1, [&](const tiff__pg_header& h, std::vector<std::uint8_t>* data) {
    FaxBitmap page;
    const StatusWord s = DecodePage(h, *data, &page);
    if (s == STATUS_OK) pages->push_back(std::move(page));
    return s;
  });
}

int FaxPageReader::OpenPage(const std::string& path, std::uint32_t page, std::uint32_t* width, std::uint32_t* lines,
                            std::uint32_t* max_lines) {
  open_ = false;
  next_ = 0;
  std::uint32_t n = 0, most = 0;
  bool found = false;
  const StatusWord s = ForEachPage(path, page, [&](const tiff__pg_header& h, std::vector<std::uint8_t>* data) {
    most = std::max(most, h.image_length);
    if (n++ != page) return STATUS_OK;
    const StatusWord d = DecodePage(h, *data, &page_);
    found = d == STATUS_OK;
    return d;
  });
  if (s != STATUS_OK || !found) return 0;
  most = std::max(most, page_.lines);
  if (width) *width = page_.width;
  if (lines) *lines = page_.lines;
  if (max_lines) *max_lines = most;
  open_ = true;
  return 1;
}

int FaxPageReader::ReadLine(int line, std::uint8_t* row) {
  if (!open_ || !row) return -1;
  const std::uint32_t y = line < 0 ? next_ : static_cast<std::uint32_t>(line);
  if (y >= page_.lines) return -1;
  std::memcpy(row, page_.row(y), page_.stride());
  next_ = y + 1;
  return static_cast<int>(page_.width);
}

// ---------------------------------------------------------------------------
// Raw strip reading.

namespace {

constexpr std::uint16_t kMaxDirectoryEntries = 256;
constexpr std::size_t kMaxRawPages = 4096;

bool ReadAt(std::FILE* f, std::uint64_t at, std::uint8_t* out, std::size_t n) {
  if (std::fseek(f, static_cast<long>(at), SEEK_SET) != 0) return false;
  return std::fread(out, 1, n, f) == n;
}
std::uint16_t Le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t Le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

struct RawDirectory {
  std::uint16_t compression = 1, fill_order = 1, unit = 2;
  std::uint32_t width = 0, length = 0, rows_per_strip = 0xFFFFFFFF;
  std::uint32_t strip_offset = 0, strip_bytes = 0;
  std::uint32_t offsets_count = 0, bytes_count = 0, rows_count = 1;
  std::uint16_t x_type = 0, y_type = 0;
  std::uint32_t x_at = 0, y_at = 0;
  std::uint32_t next = 0;
};

// A SHORT or LONG value held in an entry.
std::uint32_t EntryValue(const std::uint8_t* e) { return Le16(e + 2) == 3 ? Le16(e + 8) : Le32(e + 8); }

// Reads and checks the directory at `at`; positions nothing.
StatusWord ReadRawDirectory(std::FILE* f, TiffReadState* st, std::uint32_t at, std::uint16_t* x_res,
                            std::uint16_t* y_res) {
  if (st->directories.size() >= kMaxRawPages ||
      std::find(st->directories.begin(), st->directories.end(), at) != st->directories.end())
    return STATUS_TIFF_DIRECTORY;
  st->directories.push_back(at);
  std::uint8_t two[2];
  if (at < 8 || at + 2ull > st->file_size || !ReadAt(f, at, two, 2)) return STATUS_TIFF_DIRECTORY;
  const std::uint16_t count = Le16(two);
  if (count == 0 || count > kMaxDirectoryEntries || at + 2ull + count * 12ull + 4 > st->file_size)
    return STATUS_TIFF_DIRECTORY;
  std::vector<std::uint8_t> d(count * 12u + 4u);
  if (!ReadAt(f, at + 2ull, d.data(), d.size())) return STATUS_IO_FAILURE;
  RawDirectory r;
  for (std::uint16_t i = 0; i < count; ++i) {
    const std::uint8_t* e = d.data() + i * 12u;
    switch (Le16(e)) {
      case 256: r.width = EntryValue(e); break;
      case 257: r.length = EntryValue(e); break;
      case 259: r.compression = static_cast<std::uint16_t>(EntryValue(e)); break;
      case 266: r.fill_order = static_cast<std::uint16_t>(EntryValue(e)); break;
      case 273:
        r.offsets_count = Le32(e + 4);
        r.strip_offset = EntryValue(e);
        break;
      case 278:
        r.rows_count = Le32(e + 4);
        r.rows_per_strip = EntryValue(e);
        break;
      case 279:
        r.bytes_count = Le32(e + 4);
        r.strip_bytes = EntryValue(e);
        break;
      case 282:
        r.x_type = Le16(e + 2);
        r.x_at = Le32(e + 8);
        break;
      case 283:
        r.y_type = Le16(e + 2);
        r.y_at = Le32(e + 8);
        break;
      case 296: r.unit = static_cast<std::uint16_t>(EntryValue(e)); break;
      default: break;
    }
  }
  r.next = Le32(d.data() + count * 12u);
  if (r.compression != 3) return STATUS_TIFF_NOT_T4;
  if (r.offsets_count != 1 || r.bytes_count != 1 || r.rows_count != 1 || r.rows_per_strip < r.length)
    return STATUS_TIFF_STRIPS;
  if (r.unit != 2) return STATUS_TIFF_RES_UNIT;
  if (r.x_type != 5 || r.y_type != 5) return STATUS_TIFF_RES_TYPE;
  std::uint8_t xr[8], yr[8];
  if (r.x_at + 8ull > st->file_size || r.y_at + 8ull > st->file_size || !ReadAt(f, r.x_at, xr, 8) ||
      !ReadAt(f, r.y_at, yr, 8))
    return STATUS_TIFF_DIRECTORY;
  double x = Le32(xr + 4) ? double(Le32(xr)) / Le32(xr + 4) : 0;
  double y = Le32(yr + 4) ? double(Le32(yr)) / Le32(yr + 4) : 0;
  if (r.fill_order != 2) {
    // Files of one old writer: FillOrder 1 on T.4 data that are in fact
    // least significant bit first, and the resolutions stored as doubles.
    double xd = 0, yd = 0;
    const std::uint64_t xb = Le32(xr) | (std::uint64_t{Le32(xr + 4)} << 32);
    const std::uint64_t yb = Le32(yr) | (std::uint64_t{Le32(yr + 4)} << 32);
    std::memcpy(&xd, &xb, sizeof xd);
    std::memcpy(&yd, &yb, sizeof yd);
    if (r.fill_order != 1 || xd != 200.0) return STATUS_TIFF_DIRECTORY;
    x = xd;
    y = yd;
  }
  if (r.strip_offset + std::uint64_t{r.strip_bytes} > st->file_size) return STATUS_TIFF_DIRECTORY;
  if (x_res) *x_res = static_cast<std::uint16_t>(x > 0 && x < 65536 ? x : 0);
  if (y_res) *y_res = FaxLinesPerInch(static_cast<std::uint16_t>(y > 0 && y < 65536 ? y : 0));
  st->next_directory = r.next;
  st->strip_offset = r.strip_offset;
  st->strip_bytes = r.strip_bytes;
  st->strip_read = 0;
  st->width = r.width;
  st->lines = r.length;
  return STATUS_OK;
}

}  // namespace

StatusWord TiffStartRead(std::FILE* file, TiffReadState* st, std::uint16_t* x_res, std::uint16_t* y_res) {
  if (!file || !st) return STATUS_IO_FAILURE;
  *st = TiffReadState{};
  if (std::fseek(file, 0, SEEK_END) != 0) return STATUS_IO_FAILURE;
  const long size = std::ftell(file);
  if (size < 0) return STATUS_IO_FAILURE;
  st->file_size = static_cast<std::uint64_t>(size);
  std::uint8_t h[8];
  if (!ReadAt(file, 0, h, sizeof h)) return STATUS_NOT_TIFF;
  if (h[0] == 'M' && h[1] == 'M') return STATUS_TIFF_BIG_ENDIAN;
  if (h[0] != 'I' || h[1] != 'I' || Le16(h + 2) != 42) return STATUS_NOT_TIFF;
  const StatusWord s = ReadRawDirectory(file, st, Le32(h + 4), x_res, y_res);
  if (s != STATUS_OK) return s;
  return std::fseek(file, static_cast<long>(st->strip_offset), SEEK_SET) == 0 ? STATUS_OK : STATUS_IO_FAILURE;
}

StatusWord TiffReadData(std::FILE* file, TiffReadState* st, std::uint8_t* buffer, std::size_t size, std::size_t* length,
                        bool* end_of_page, bool* last_page) {
  *length = 0;
  *end_of_page = false;
  *last_page = st->next_directory == 0;
  if (st->strip_read >= st->strip_bytes && st->next_directory != 0) {
    const StatusWord s = ReadRawDirectory(file, st, st->next_directory, nullptr, nullptr);
    if (s != STATUS_OK) return s;
    *last_page = st->next_directory == 0;
  }
  const std::size_t want = std::min<std::size_t>(size, st->strip_bytes - st->strip_read);
  if (want && !ReadAt(file, std::uint64_t{st->strip_offset} + st->strip_read, buffer, want)) return STATUS_IO_FAILURE;
  st->strip_read += static_cast<std::uint32_t>(want);
  *length = want;
  *end_of_page = st->strip_read >= st->strip_bytes;
  return STATUS_OK;
}

StatusWord TiffNextPage(std::FILE*, TiffReadState* st, bool* last_page) {
  st->strip_read = st->strip_bytes;
  *last_page = st->next_directory == 0;
  return STATUS_OK;
}
