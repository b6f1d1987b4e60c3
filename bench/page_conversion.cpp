// Converts an A4 fine page from MH to MMR through ENT_FC (300-byte data
// messages in, FC__DA_IN messages out, as the fax management entity drives
// it) and with the T.4/T.6 codec alone (decode each line, encode it), and
// prints pages per second for both: the entity's cost is the difference.
#include <cstdlib>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "common/byte_order.h"
#include "fax/fc.h"
#include "fax/t4t6.h"
#include "runtime/entity.h"
#include "runtime/msg.h"
#include "runtime/om_os.h"
#include "runtime/sm.h"

namespace {

constexpr uint32_t kWidth = 1728;
constexpr uint32_t kStride = kWidth / 8;
constexpr uint32_t kLines = 2287;  // A4 at 196 lpi
constexpr uint16_t kChunk = 300;

// A text-like page: rows of glyph-sized strokes with margins.
std::vector<uint8_t> make_page() {
  std::vector<uint8_t> bits(size_t{kLines} * kStride, 0);
  std::mt19937 rng(7);
  auto fill = [&](uint32_t x0, uint32_t y0, uint32_t w, uint32_t h) {
    for (uint32_t y = y0; y < y0 + h && y < kLines; ++y)
      for (uint32_t x = x0; x < x0 + w && x < kWidth; ++x) bits[y * kStride + x / 8] |= uint8_t(0x80 >> (x % 8));
  };
  for (uint32_t top = 120; top + 60 < kLines - 120; top += 60)
    for (uint32_t x = 160 + rng() % 40; x + 20 < kWidth - 160; x += 22) {
      if (rng() % 7 == 0) continue;
      const uint32_t h = 24 + rng() % 14, base = top + 48;
      fill(x, base - h, 3, h);
      fill(x + 3, base - h / 2, 12, 3);
      if (rng() % 2) fill(x + 14, base - h / 2, 3, h / 2);
    }
  return bits;
}

std::vector<uint8_t> encode_mh(const std::vector<uint8_t>& bits) {
  std::vector<uint8_t> out(size_t{kLines} * t4t6__max_line_bytes(kWidth) + 64);
  t4t6_encoder* e = nullptr;
  if (t4t6__open_encoder(&e, T4T6_MH, kWidth, 1) != 0) std::abort();
  e->out = fax_bit_cursor{out.data(), 0, 0, int32_t(out.size() * 8)};
  t4t6__end_page(e, 0);
  for (uint32_t y = 0; y < kLines; ++y) {
    e->line = bits.data() + size_t{y} * kStride;
    t4t6__encode_line(e);
  }
  t4t6__end_page(e, 1);
  out.resize(e->out.byte_index + (e->out.bit_offset ? 1 : 0));
  t4t6__release_encoder(e);
  return out;
}

const std::vector<uint8_t>& mh_page() {
  static const std::vector<uint8_t> page = encode_mh(make_page());
  return page;
}

// The codec alone: MH decode, line by line into an MMR encoder.
void BM_CodecMhToMmr(benchmark::State& state) {
  const auto& in = mh_page();
  std::vector<uint8_t> line(kStride), out(2 * t4t6__max_line_bytes(kWidth));
  size_t out_bytes = 0;
  for (auto _ : state) {
    t4t6_decoder* d = nullptr;
    t4t6_encoder* e = nullptr;
    if (t4t6__open(&d, T4T6_MH, kWidth) != 0) std::abort();
    if (t4t6__open_encoder(&e, T4T6_MMR, kWidth, 2) != 0) std::abort();
    e->out = fax_bit_cursor{out.data(), 0, 0, int32_t(out.size() * 8)};
    d->line = line.data();
    out_bytes = 0;
    for (size_t at = 0; at < in.size() && d->page_status == T4T6_PAGE_DECODING; at += kChunk) {
      d->data = in.data() + at;
      d->data_len = uint32_t(std::min<size_t>(kChunk, in.size() - at));
      for (;;) {
        t4t6__decode_page(d);
        if (d->line_ready) {
          e->line = line.data();
          t4t6__encode_line(e);
          if (e->out.byte_index > out.size() / 2) {  // hand on the whole bytes
            out_bytes += e->out.byte_index;
            out[0] = out[e->out.byte_index];
            e->out = fax_bit_cursor{out.data(), 0, e->out.bit_offset, int32_t(out.size() * 8) - e->out.bit_offset};
          }
        }
        if (d->page_status != T4T6_PAGE_DECODING || d->end_of_data) break;
      }
    }
    t4t6__end_page(e, 1);
    out_bytes += e->out.byte_index + (e->out.bit_offset ? 1 : 0);
    t4t6__release(d);
    t4t6__release_encoder(e);
  }
  benchmark::DoNotOptimize(out_bytes);
  state.counters["pages/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["MH bytes"] = double(in.size());
  state.counters["MMR bytes"] = double(out_bytes);
}
BENCHMARK(BM_CodecMhToMmr)->Unit(benchmark::kMillisecond);

// Through the entity: the fake fax entity counts and frees what comes back.
size_t received = 0;
bool page_done = false;
void fax_sink(msg_t* m) {
  if (m->code == FC__DA_IN) received += m->chain_size;
  if (m->code == FC__STOP_PG_CO) page_done = true;
  Free_msg(m);
}
void sm_sink(msg_t* m) { Free_msg(m); }
void quiet_trap(u16, const char*) {}

const entity_table_row_t TABLE[] = {
    {ENT_SM, sm_sink, 0, 0, nullptr, 0},
    FC_ENTITY_ROW,
    {ENT_FAX, fax_sink, 0, 0, nullptr, 0},
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

msg_t* request(code_t code, const uint8_t* body, uint32_t n) {
  msg_t* m = Alloc_msg();
  m->from = ENT_FAX;
  m->to = ENT_FC;
  m->nai = 0;
  m->sapi = FC_SAPI;
  m->conn_id = 0xFFFF;
  m->code = code;
  if (n) Msg_attach_chain(m, Store_data_in_buffers(body, n, nullptr));
  return m;
}

void BM_EntityMhToMmr(benchmark::State& state) {
  om_os_set_trap_handler(quiet_trap);
  om_os_start_options o;
  o.table = TABLE;
  o.sm_thread = false;
  o.timer_thread = false;
  o.bkgr_thread = false;
  om_os_start_with(o);
  uint8_t cfg[FC_CONFIG_SIZE] = {ENT_FC};
  put_le16(cfg + 4, 63);
  put_le16(cfg + 6, kChunk);
  msg_t* c = Alloc_msg();
  c->from = ENT_SM;
  c->to = ENT_FC;
  c->code = SM_CONFIG_RQ;
  std::memcpy(Msg_inline_data(c), cfg, sizeof cfg);
  c->data_size = sizeof cfg;
  Send_msg(c);
  om_os_run_ready(0);

  fc__init_pg_conv r;
  r.in_pg__encoding = FC_MH;
  r.in_pg__line_length = kWidth;
  r.in_pg__vertical_resolution = FC_LPI_200;
  r.in_pg__nb_lines = kLines;
  r.in_pg__color_bilevel__flag_white_is_zero = 1;
  r.out_pg__encoding = FC_MMR;
  r.out_pg__line_length = kWidth;
  r.out_pg__vertical_resolution = FC_LPI_200;
  r.out_pg__nb_lines = FC_NO_LINE_LIMIT;
  r.out_pg__color_bilevel__flag_white_is_zero = 1;
  uint8_t rec[FC_INIT_PG_CONV_SIZE];
  fc__init_pg_conv_pack(r, rec);
  uint8_t stop[FC_STOP_PG_RQ_SIZE] = {};
  stop[FC_STOP_REASON_OFFSET] = FC_STOP_FINISH;
  const auto& in = mh_page();

  for (auto _ : state) {
    received = 0;
    page_done = false;
    Send_msg(request(FC__INIT_PG_RQ, rec, sizeof rec));
    om_os_run_ready(0);
    // Five data messages, then the entity runs: the pace of the fax entity.
    for (size_t at = 0; at < in.size(); at += kChunk) {
      Send_msg(request(FC__DA_RQ, in.data() + at, uint32_t(std::min<size_t>(kChunk, in.size() - at))));
      if ((at / kChunk) % 5 == 4) om_os_run_ready(0);
    }
    Send_msg(request(FC__STOP_PG_RQ, stop, sizeof stop));
    om_os_run_ready(0);
    if (!page_done) state.SkipWithError("no FC__STOP_PG_CO");
  }
  state.counters["pages/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["MMR bytes"] = double(received);
  om_os_stop();
  om_os_set_trap_handler(nullptr);
}
BENCHMARK(BM_EntityMhToMmr)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
