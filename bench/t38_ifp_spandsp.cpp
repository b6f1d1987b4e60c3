// One IFP packet through the codec and back, ours against spandsp's t38_core
// on the same packets, in one run: the ratios printed at the end are taken
// from the medians.
//
//   ours, flat:  encode_ifp_packet_flat into a caller area, then
//                decode_ifp_packet of that area into data-field objects of a
//                block pool (what the UDPTL receive path does per primary);
//   ours, chain: the same through pool buffers, as the T.38 entity sends
//                (encode into a chain with header room, decode, release);
//   spandsp:     t38_core_send_data, whose packet handler feeds
//                t38_core_rx_ifp_packet of a second state (sequence numbers
//                counted up, so that nothing is taken for a repeat).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "bench/ratio_reporter.h"
#include "t38/ifp.h"

#ifdef KV_HAVE_SPANDSP
#include <spandsp.h>
#endif

using namespace kv::t38;

namespace {

// The packets of the comparison: a page-data packet with one full field, a
// V.21 HDLC frame piece, and a training indicator.
struct packet_case {
  const char* name;
  u8 type_byte;
  u8 field_type;  // with length 0: no field
  u16 length;
};

constexpr packet_case kCases[] = {
    {"v17_data_50", T38_IFP__DATA_BIT | T38_DATA__V17_14400, T38_FIELD__T4_NON_ECM_DATA, 50},
    {"v21_hdlc_20", T38_IFP__DATA_BIT | T38_DATA__V21, T38_FIELD__HDLC_DATA, 20},
    {"indicator", T38_IND__V17_14400_LONG_TRAINING, 0, 0},
};

// Data-field objects from a free list over one array, as a session's block
// pool hands them out.
class block_field_pool final : public t38_field_pool {
 public:
  block_field_pool() {
    for (auto& f : blocks_) {
      f.next = free_;
      free_ = &f;
    }
  }
  t38_data_field* alloc_data_field() override {
    t38_data_field* f = free_;
    if (f == nullptr) return nullptr;
    free_ = f->next;
    *f = t38_data_field{};
    return f;
  }
  void free_data_field(t38_data_field* f) override {
    if (f == nullptr) return;
    f->next = free_;
    free_ = f;
  }

 private:
  t38_data_field blocks_[16];
  t38_data_field* free_ = nullptr;
};

// Buffers from a free list, as the runtime's pool adapter hands them out
// (cleared, unless taken for writing).
class block_chain_pool final : public chain_pool {
 public:
  block_chain_pool() {
    for (auto& b : bufs_) release(&b);
  }
  chain_buf alloc() override {
    chain_buf b = alloc_for_writing();
    if (b != nullptr) std::memset(data(b), 0, capacity());
    return b;
  }
  chain_buf alloc_for_writing() override {
    buf* b = free_;
    if (b == nullptr) return nullptr;
    free_ = b->next;
    b->next = nullptr;
    b->size = 0;
    return b;
  }
  void release(chain_buf first) override {
    for (buf* b = static_cast<buf*>(first); b != nullptr;) {
      buf* n = b->next;
      b->next = free_;
      free_ = b;
      b = n;
    }
  }
  u16 capacity() const override { return sizeof(buf::data); }
  u8* data(chain_buf b) override { return static_cast<buf*>(b)->data; }
  u16 size(chain_buf b) const override { return static_cast<const buf*>(b)->size; }
  void set_size(chain_buf b, u16 size) override { static_cast<buf*>(b)->size = size; }
  chain_buf next(chain_buf b) const override { return static_cast<const buf*>(b)->next; }
  void set_next(chain_buf b, chain_buf next) override { static_cast<buf*>(b)->next = static_cast<buf*>(next); }
  chain_buf alloc_area(u8** area, u16* room) override {
    chain_buf b = alloc_for_writing();
    if (b != nullptr) {
      *area = static_cast<buf*>(b)->data;
      *room = sizeof(buf::data);
    }
    return b;
  }
  u32 bytes_from(chain_buf b, const u8** at) override {
    const u8* begin = static_cast<buf*>(b)->data;
    const u8* end = begin + static_cast<buf*>(b)->size;
    if (*at == nullptr || *at < begin || *at > end) *at = begin;
    return static_cast<u32>(end - *at);
  }

 private:
  struct buf {
    buf* next = nullptr;
    u16 size = 0;
    u8 data[1600] = {};
  };
  buf bufs_[4];
  buf* free_ = nullptr;
};

std::vector<u8> field_bytes(u16 length) {
  std::vector<u8> v(length);
  for (u16 i = 0; i < length; ++i) v[i] = static_cast<u8>(i * 37 + 11);
  return v;
}

// Builds the case's packet with its field (if any) from `fields`.
t38_ifp_packet make_packet(const packet_case& c, t38_field_pool& fields) {
  t38_ifp_packet pck;
  t38_data_field* f = nullptr;
  if (c.length != 0) {
    f = fields.alloc_data_field();
    f->field_type = c.field_type;
    f->length = c.length;
    const std::vector<u8> bytes = field_bytes(c.length);
    std::memcpy(f->data, bytes.data(), c.length);
  }
  if (t38_ifp__set_type(pck, c.type_byte, f) != 0) std::abort();
  return pck;
}

void BM_ours_flat(benchmark::State& state) {
  const packet_case& c = kCases[state.range(0)];
  block_field_pool fields;
  t38_ifp_packet pck = make_packet(c, fields);
  u8 area[256];
  u32 received = 0;
  for (auto _ : state) {
    u32 length = 0;
    if (encode_ifp_packet_flat(pck, area, sizeof area, &length) != 0) std::abort();
    t38_ifp_packet rx;
    rx.encoded = byte_ref{area, length, nullptr};
    t38_ifp_decode_env env{nullptr, &fields, true};
    if (decode_ifp_packet(T38_IFP__DECODE_KEEP, env, rx) != 0) std::abort();
    for (const t38_data_field* f = rx.fields; f != nullptr; f = f->next) received += f->length;
    received += rx.type_value;
    t38_ifp__free_data_fields(fields, rx.fields);
  }
  benchmark::DoNotOptimize(received);
  t38_ifp__free_data_fields(fields, pck.fields);
}

void BM_ours_chain(benchmark::State& state) {
  const packet_case& c = kCases[state.range(0)];
  block_field_pool fields;
  block_chain_pool chains;
  t38_ifp_packet pck = make_packet(c, fields);
  u32 received = 0;
  for (auto _ : state) {
    if (encode_ifp_packet(pck, 16, chains) != 0) std::abort();
    // The receiving packet takes the encoding by its three fields, as the
    // receive path builds its reference (a copy of the whole reference would
    // read back the fields just written in one wider load, which the
    // processor cannot forward from the narrower stores: a stall that belongs
    // to this loop, not to the codec).
    t38_ifp_packet rx;
    rx.encoded.first = pck.encoded.first;
    rx.encoded.length = pck.encoded.length;
    rx.encoded.chain = pck.encoded.chain;
    pck.encoded = byte_ref{};
    t38_ifp_decode_env env{&chains, &fields, true};
    if (decode_ifp_packet(T38_IFP__DECODE_RELEASE, env, rx) != 0) std::abort();
    for (const t38_data_field* f = rx.fields; f != nullptr; f = f->next) received += f->length;
    received += rx.type_value;
    t38_ifp__free_data_fields(fields, rx.fields);
  }
  benchmark::DoNotOptimize(received);
  t38_ifp__free_data_fields(fields, pck.fields);
}

#ifdef KV_HAVE_SPANDSP
struct spandsp_pair {
  t38_core_state_t* tx = nullptr;
  t38_core_state_t* rx = nullptr;
  uint16_t seq = 0;
  uint32_t received = 0;
};

int rx_indicator(t38_core_state_t*, void* user, int indicator) {
  static_cast<spandsp_pair*>(user)->received += static_cast<uint32_t>(indicator);
  return 0;
}

int rx_data(t38_core_state_t*, void* user, int, int, const uint8_t*, int len) {
  static_cast<spandsp_pair*>(user)->received += static_cast<uint32_t>(len);
  return 0;
}

int rx_missing(t38_core_state_t*, void*, int, int) { return 0; }

int tx_packet(t38_core_state_t*, void* user, const uint8_t* buf, int len, int) {
  auto* p = static_cast<spandsp_pair*>(user);
  return t38_core_rx_ifp_packet(p->rx, buf, len, p->seq++);
}

void BM_spandsp(benchmark::State& state) {
  const packet_case& c = kCases[state.range(0)];
  spandsp_pair p;
  p.rx = t38_core_init(nullptr, rx_indicator, rx_data, rx_missing, &p, nullptr, nullptr);
  p.tx = t38_core_init(nullptr, rx_indicator, rx_data, rx_missing, &p, tx_packet, &p);
  if (p.rx == nullptr || p.tx == nullptr) {
    state.SkipWithError("t38_core_init failed");
    return;
  }
  // One copy of each packet: the redundancy of the transport is not the codec's.
  t38_set_redundancy_control(p.tx, T38_PACKET_CATEGORY_INDICATOR, 1);
  t38_set_redundancy_control(p.tx, T38_PACKET_CATEGORY_IMAGE_DATA, 1);
  t38_set_redundancy_control(p.tx, T38_PACKET_CATEGORY_CONTROL_DATA, 1);
  const std::vector<u8> bytes = field_bytes(c.length);
  const bool is_data = (c.type_byte & T38_IFP__DATA_BIT) != 0;
  const int data_type = c.type_byte & 0x7F;
  const int category =
      c.field_type == T38_FIELD__T4_NON_ECM_DATA ? T38_PACKET_CATEGORY_IMAGE_DATA : T38_PACKET_CATEGORY_CONTROL_DATA;
  for (auto _ : state) {
    if (is_data) {
      t38_core_send_data(p.tx, data_type, c.field_type, bytes.data(), c.length, category);
    } else {
      // Each call sends: spandsp leaves out an indicator equal to the last one.
      t38_core_send_indicator(p.tx, data_type);
      t38_core_send_indicator(p.tx, T38_IND_NO_SIGNAL);
    }
  }
  benchmark::DoNotOptimize(p.received);
  // Two packets went through for each indicator round.
  if (!is_data) state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * 2);
  t38_core_free(p.tx);
  t38_core_free(p.rx);
}
#endif

}  // namespace

BENCHMARK(BM_ours_flat)->DenseRange(0, 2);
BENCHMARK(BM_ours_chain)->DenseRange(0, 2);
#ifdef KV_HAVE_SPANDSP
BENCHMARK(BM_spandsp)->DenseRange(0, 2);
#endif

int main(int argc, char** argv) {
  kv_bench::initialize_with_medians(argc, argv);
  kv_bench::ratio_reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nOur time / spandsp t38_core's time for one IFP packet, encode and decode (goal: <= 1.0),\n");
  std::printf("wall time and CPU time:\n");
  std::printf("  %-12s  %6s  %6s  %8s  %9s\n", "packet", "flat", "chain", "flat cpu", "chain cpu");
  for (int i = 0; i < 3; ++i) {
    std::string n = "/";
    n += std::to_string(i);
    // The spandsp indicator round carries two packets: compare per packet.
    const double per = (kCases[i].length == 0) ? 2.0 : 1.0;
    const double flat = reporter.ratio("BM_ours_flat" + n, "BM_spandsp" + n);
    const double chain = reporter.ratio("BM_ours_chain" + n, "BM_spandsp" + n);
    const double flat_cpu = reporter.cpu_ratio("BM_ours_flat" + n, "BM_spandsp" + n);
    const double chain_cpu = reporter.cpu_ratio("BM_ours_chain" + n, "BM_spandsp" + n);
    std::printf("  %-12s  %6.2f  %6.2f  %8.2f  %9.2f\n", kCases[i].name, flat < 0 ? -1.0 : flat * per,
                chain < 0 ? -1.0 : chain * per, flat_cpu < 0 ? -1.0 : flat_cpu * per,
                chain_cpu < 0 ? -1.0 : chain_cpu * per);
  }
  benchmark::Shutdown();
  return 0;
}
