#include "platform/int_types.h"
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
constexpr u32 kMaxPageLines = 65535;
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

  bool Load(std::vector<u8>* out) const {
    std::FILE* f = std::fopen(path_.c_str(), "rb");
    if (!f) return false;
    out->clear();
    u8 buf[65536];
    for (;;) {
      const std::size_t n = std::fread(buf, 1, sizeof buf, f);
      out->insert(out->end(), buf, buf + n);
      if (n < sizeof buf) break;
    }
    const bool ok = !std::ferror(f);
    (void)std::fclose(f);
    return ok;
  }
  bool Store(const u8* data, std::size_t n) const {
    std::FILE* f = std::fopen(path_.c_str(), "wb");
    if (!f) return false;
    bool ok = n == 0 || std::fwrite(data, 1, n, f) == n;
    ok = (std::fclose(f) == 0) && ok;
    return ok;
  }

 private:
  std::string path_;
};

StatusWord StatusOfTiff(u8 code) {
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
bool InchResolution(const tiff__pg_header& h, u16* x, u16* y) {
  switch (h.resolution_unit) {
    case 1:  // no unit: taken as given
    case 2:
      *x = h.x_resolution;
      *y = h.y_resolution;
      return true;
    case 3:  // centimetre
      *x = static_cast<u16>((h.x_resolution * 254u + 50) / 100);
      *y = static_cast<u16>((h.y_resolution * 254u + 50) / 100);
      return true;
    default: return false;
  }
}

u8 CodingOf(u16 compression) {
  switch (compression) {
    case TIFF_T4_MONO: return T4T6_MH;
    case TIFF_T4_BI: return T4T6_MR;
    case TIFF_T6: return T4T6_MMR;
    default: return 0;
  }
}

// Decodes coded page data (most significant bit first) into the bitmap.
StatusWord DecodeCoded(u8 coding, const std::vector<u8>& data, FaxBitmap* page) {
  t4t6_decoder* h = nullptr;
  if (t4t6__open(&h, coding, page->width) != T4T6_OPEN_OK) return STATUS_TIFF_DIRECTORY;
  const u32 stride = page->stride();
  std::vector<u8> line(stride + 8, 0);
  page->bits.clear();
  page->lines = 0;
  h->line = line.data();
  h->data = data.data();
  h->data_len = static_cast<u32>(data.size());
  auto take = [&] {
    if (!h->line_ready || page->lines >= kMaxPageLines || page->bits.size() + stride > kMaxPageBytes) return;
    page->bits.insert(page->bits.end(), line.begin(), line.begin() + stride);
    ++page->lines;
  };
  for (u32 guard = 0; guard < 4 * kMaxPageLines + 16; ++guard) {
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
StatusWord DecodePage(const tiff__pg_header& h, std::vector<u8>& data, FaxBitmap* page) {
  if (h.image_type != TIFF_BILEVEL_IMAGE || h.bits_per_sample > 1) return STATUS_TIFF_NOT_T4;
  if (h.image_width == 0 || h.image_width > T4T6_MAX_WIDTH) return STATUS_TIFF_DIRECTORY;
  if (!InchResolution(h, &page->x_res, &page->y_res)) return STATUS_TIFF_RES_UNIT;
  if (page->x_res == 0) page->x_res = 204;
  if (page->y_res == 0) page->y_res = 98;
  page->width = h.image_width;
  if (h.fill_order == TIFF_LOWEST_BIT_FIRST)
    fax_bit__copy_reversed(data.data(), data.data(), static_cast<u32>(data.size()));
  if (h.compression == TIFF_UNCOMPRESSED) {
    const u32 stride = page->stride();
    const u64 rows = std::min<u64>(std::min<u64>(h.image_length, data.size() / stride), kMaxPageLines);
    page->lines = static_cast<u32>(rows);
    page->bits.assign(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(rows * stride));
    if (h.color_format == TIFF_BLACKISZERO)
      for (auto& b : page->bits) b = static_cast<u8>(~b);
    if (const u32 spare = stride * 8 - page->width)  // pad bits stay white
      for (u32 y = 0; y < page->lines; ++y) page->row(y)[stride - 1] &= static_cast<u8>(0xFF << spare);
    return STATUS_OK;
  }
  const u8 coding = CodingOf(h.compression);
  if (!coding) return STATUS_TIFF_NOT_T4;
  return DecodeCoded(coding, data, page);
}

// Walks the pages of a file: `fn(header, data or null)` for each page;
// data are read only for the page `want` (or every page when want < 0).
template <typename Fn>
StatusWord ForEachPage(const std::string& path, long want, Fn fn) {
  TiffPtr ctx = NewTiff();
  u8 rc = tiff__start_read(ctx.get(), tiff__get_ctx_size(), path.c_str());
  if (rc != TIFF_DONE) return StatusOfTiff(rc);
  ScratchFile scratch;
  std::vector<u8> data;
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

u16 FaxLinesPerInch(u16 y_res) {
  if (y_res % 100 == 0) return y_res;
  return static_cast<u16>((y_res / 98) * 100);
}

// ---------------------------------------------------------------------------
// Writing

struct FaxFileWriter::Impl {
  TiffPtr tiff;
  std::vector<u8> page;  // coded page, most significant bit first
  std::size_t used = 0;  // whole bytes of `page` in use
  t4t6_encoder* enc = nullptr;

  ~Impl() { t4t6__release_encoder(enc); }
};

FaxFileWriter::FaxFileWriter() = default;
FaxFileWriter::~FaxFileWriter() {
  if (open_) (void)Finish();
}

StatusWord FaxFileWriter::Start(const std::string& path, u16 y_res, u32 width) {
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

StatusWord FaxFileWriter::WriteData(const u8* data, std::size_t length, bool end_of_page, bool end_of_document) {
  if (!open_) return STATUS_IO_FAILURE;
  if (length && !data) return STATUS_BAD_ARGUMENT;
  Reserve(length);
  fax_bit__copy_reversed(impl_->page.data() + impl_->used, data, static_cast<u32>(length));
  impl_->used += length;
  return (end_of_page || end_of_document) ? EndPage(end_of_document) : STATUS_OK;
}

StatusWord FaxFileWriter::WriteLine(const u8* row, u32 width_bytes, bool end_of_page, bool end_of_document) {
  if (!open_) return STATUS_IO_FAILURE;
  Impl& m = *impl_;
  const u32 stride = (width_ + 7) / 8;
  if (!m.enc) {
    if (t4t6__open_encoder(&m.enc, T4T6_MH, width_, 1) != T4T6_OPEN_OK) return STATUS_IO_FAILURE;
    Reserve(4);
    m.enc->out = {m.page.data(), static_cast<u32>(m.used), 0, 32};
    (void)t4t6__end_page(m.enc, 0);  // the page starts with an EOL
    AlignOutput();
  }
  // The row as wide as the page: cut or padded with white.
  std::vector<u8> line(stride, 0);
  if (row) std::memcpy(line.data(), row, std::min(width_bytes, stride));
  if (const u32 spare = stride * 8 - width_) line[stride - 1] &= static_cast<u8>(0xFF << spare);
  const u32 room = t4t6__max_line_bytes(width_) + 16;
  Reserve(room);
  m.enc->line = line.data();
  m.enc->out = {m.page.data(), static_cast<u32>(m.used), 0, static_cast<i32>(room * 8)};
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
  for (u32 y = 0; y < page.lines; ++y) {
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
    m.enc->out = {m.page.data(), static_cast<u32>(m.used), 0, 16 * 8};
    (void)t4t6__end_page(m.enc, 1);
    AlignOutput();
    t4t6__release_encoder(m.enc);
    m.enc = nullptr;
  }
  // Lines as the decoder finds them (RTC is not a line).
  u32 lines = 0;
  t4t6_decoder* h = nullptr;
  if (t4t6__open(&h, T4T6_MH, width_) != T4T6_OPEN_OK) return STATUS_IO_FAILURE;
  h->data = m.page.data();
  h->data_len = static_cast<u32>(m.used);
  for (u32 guard = 0; guard < 4 * kMaxPageLines + 16; ++guard) {
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
    fax_bit__copy_reversed(m.page.data(), m.page.data(), static_cast<u32>(m.used));
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

StatusWord FaxFilePageCount(const std::string& path, u32* pages) {
  u32 n = 0, first_lines = 0;
  const StatusWord s = ForEachPage(path, -2, [&](const tiff__pg_header& h, std::vector<u8>*) {
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
  return ForEachPage(path, -1, [&](const tiff__pg_header& h, std::vector<u8>* data) {
    FaxBitmap page;
    const StatusWord s = DecodePage(h, *data, &page);
    if (s == STATUS_OK) pages->push_back(std::move(page));
    return s;
  });
}

int FaxPageReader::OpenPage(const std::string& path, u32 page, u32* width, u32* lines, u32* max_lines) {
  open_ = false;
  next_ = 0;
  u32 n = 0, most = 0;
  bool found = false;
  const StatusWord s = ForEachPage(path, page, [&](const tiff__pg_header& h, std::vector<u8>* data) {
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

int FaxPageReader::ReadLine(int line, u8* row) {
  if (!open_ || !row) return -1;
  const u32 y = line < 0 ? next_ : static_cast<u32>(line);
  if (y >= page_.lines) return -1;
  std::memcpy(row, page_.row(y), page_.stride());
  next_ = y + 1;
  return static_cast<int>(page_.width);
}

// ---------------------------------------------------------------------------
// Raw strip reading.

namespace {

constexpr u16 kMaxDirectoryEntries = 256;
constexpr std::size_t kMaxRawPages = 4096;

bool ReadAt(std::FILE* f, u64 at, u8* out, std::size_t n) {
  if (std::fseek(f, static_cast<long>(at), SEEK_SET) != 0) return false;
  return std::fread(out, 1, n, f) == n;
}
u16 Le16(const u8* p) { return static_cast<u16>(p[0] | (p[1] << 8)); }
u32 Le32(const u8* p) {
  return static_cast<u32>(p[0]) | (static_cast<u32>(p[1]) << 8) | (static_cast<u32>(p[2]) << 16) |
         (static_cast<u32>(p[3]) << 24);
}

struct RawDirectory {
  u16 compression = 1, fill_order = 1, unit = 2;
  u32 width = 0, length = 0, rows_per_strip = 0xFFFFFFFF;
  u32 strip_offset = 0, strip_bytes = 0;
  u32 offsets_count = 0, bytes_count = 0, rows_count = 1;
  u16 x_type = 0, y_type = 0;
  u32 x_at = 0, y_at = 0;
  u32 next = 0;
};

// A SHORT or LONG value held in an entry.
u32 EntryValue(const u8* e) { return Le16(e + 2) == 3 ? Le16(e + 8) : Le32(e + 8); }

// Reads and checks the directory at `at`; positions nothing.
StatusWord ReadRawDirectory(std::FILE* f, TiffReadState* st, u32 at, u16* x_res, u16* y_res) {
  if (st->directories.size() >= kMaxRawPages ||
      std::find(st->directories.begin(), st->directories.end(), at) != st->directories.end())
    return STATUS_TIFF_DIRECTORY;
  st->directories.push_back(at);
  u8 two[2];
  if (at < 8 || at + 2ull > st->file_size || !ReadAt(f, at, two, 2)) return STATUS_TIFF_DIRECTORY;
  const u16 count = Le16(two);
  if (count == 0 || count > kMaxDirectoryEntries || at + 2ull + count * 12ull + 4 > st->file_size)
    return STATUS_TIFF_DIRECTORY;
  std::vector<u8> d(count * 12u + 4u);
  if (!ReadAt(f, at + 2ull, d.data(), d.size())) return STATUS_IO_FAILURE;
  RawDirectory r;
  for (u16 i = 0; i < count; ++i) {
    const u8* e = d.data() + i * 12u;
    switch (Le16(e)) {
      case 256: r.width = EntryValue(e); break;
      case 257: r.length = EntryValue(e); break;
      case 259: r.compression = static_cast<u16>(EntryValue(e)); break;
      case 266: r.fill_order = static_cast<u16>(EntryValue(e)); break;
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
      case 296: r.unit = static_cast<u16>(EntryValue(e)); break;
      default: break;
    }
  }
  r.next = Le32(d.data() + count * 12u);
  if (r.compression != 3) return STATUS_TIFF_NOT_T4;
  if (r.offsets_count != 1 || r.bytes_count != 1 || r.rows_count != 1 || r.rows_per_strip < r.length)
    return STATUS_TIFF_STRIPS;
  if (r.unit != 2) return STATUS_TIFF_RES_UNIT;
  if (r.x_type != 5 || r.y_type != 5) return STATUS_TIFF_RES_TYPE;
  u8 xr[8], yr[8];
  if (r.x_at + 8ull > st->file_size || r.y_at + 8ull > st->file_size || !ReadAt(f, r.x_at, xr, 8) ||
      !ReadAt(f, r.y_at, yr, 8))
    return STATUS_TIFF_DIRECTORY;
  double x = Le32(xr + 4) ? double(Le32(xr)) / Le32(xr + 4) : 0;
  double y = Le32(yr + 4) ? double(Le32(yr)) / Le32(yr + 4) : 0;
  if (r.fill_order != 2) {
    // Files of one old writer: FillOrder 1 on T.4 data that are in fact
    // least significant bit first, and the resolutions stored as doubles.
    double xd = 0, yd = 0;
    const u64 xb = Le32(xr) | (u64{Le32(xr + 4)} << 32);
    const u64 yb = Le32(yr) | (u64{Le32(yr + 4)} << 32);
    std::memcpy(&xd, &xb, sizeof xd);
    std::memcpy(&yd, &yb, sizeof yd);
    if (r.fill_order != 1 || xd != 200.0) return STATUS_TIFF_DIRECTORY;
    x = xd;
    y = yd;
  }
  if (r.strip_offset + u64{r.strip_bytes} > st->file_size) return STATUS_TIFF_DIRECTORY;
  if (x_res) *x_res = static_cast<u16>(x > 0 && x < 65536 ? x : 0);
  if (y_res) *y_res = FaxLinesPerInch(static_cast<u16>(y > 0 && y < 65536 ? y : 0));
  st->next_directory = r.next;
  st->strip_offset = r.strip_offset;
  st->strip_bytes = r.strip_bytes;
  st->strip_read = 0;
  st->width = r.width;
  st->lines = r.length;
  return STATUS_OK;
}

}  // namespace

StatusWord TiffStartRead(std::FILE* file, TiffReadState* st, u16* x_res, u16* y_res) {
  if (!file || !st) return STATUS_IO_FAILURE;
  *st = TiffReadState{};
  if (std::fseek(file, 0, SEEK_END) != 0) return STATUS_IO_FAILURE;
  const long size = std::ftell(file);
  if (size < 0) return STATUS_IO_FAILURE;
  st->file_size = static_cast<u64>(size);
  u8 h[8];
  if (!ReadAt(file, 0, h, sizeof h)) return STATUS_NOT_TIFF;
  if (h[0] == 'M' && h[1] == 'M') return STATUS_TIFF_BIG_ENDIAN;
  if (h[0] != 'I' || h[1] != 'I' || Le16(h + 2) != 42) return STATUS_NOT_TIFF;
  const StatusWord s = ReadRawDirectory(file, st, Le32(h + 4), x_res, y_res);
  if (s != STATUS_OK) return s;
  return std::fseek(file, static_cast<long>(st->strip_offset), SEEK_SET) == 0 ? STATUS_OK : STATUS_IO_FAILURE;
}

StatusWord TiffReadData(std::FILE* file, TiffReadState* st, u8* buffer, std::size_t size, std::size_t* length,
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
  if (want && !ReadAt(file, u64{st->strip_offset} + st->strip_read, buffer, want)) return STATUS_IO_FAILURE;
  st->strip_read += static_cast<u32>(want);
  *length = want;
  *end_of_page = st->strip_read >= st->strip_bytes;
  return STATUS_OK;
}

StatusWord TiffNextPage(std::FILE*, TiffReadState* st, bool* last_page) {
  st->strip_read = st->strip_bytes;
  *last_page = st->next_directory == 0;
  return STATUS_OK;
}
