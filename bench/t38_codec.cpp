// Per-datagram cost of the T.38 codecs: IFP encode, UDPTL encode with three
// secondaries, and the receive path (UDPTL decode, then IFP decode).
#include <cstdlib>
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "t38/ifp.h"
#include "t38/udptl.h"

using namespace kv::t38;

namespace {

t38_ifp_packet page_packet(heap_field_pool& fields) {
  t38_ifp_packet pck;
  t38_data_field* f = fields.alloc_data_field();
  f->field_type = T38_FIELD__T4_NON_ECM_DATA;
  f->length = T38__MAX_SIZE_DATA_FIELD;
  for (int i = 0; i < f->length; ++i) f->data[i] = static_cast<uint8_t>(i * 37);
  if (t38_ifp__set_type(pck, T38_IFP__DATA_BIT | T38_DATA__V17_14400, f) != 0) std::abort();
  return pck;
}

// The page packet, IFP-encoded, as the primary and the three secondaries of
// a UDPTL datagram; released again at the end of the benchmark.
struct encoded_page {
  heap_field_pool fields;
  heap_chain_pool pool;
  t38_ifp_packet pck = page_packet(fields);
  byte_ref secs[3];
  t38_udptl_out out;
  encoded_page() {
    benchmark::DoNotOptimize(encode_ifp_packet(pck, 0, pool));
    secs[0] = secs[1] = secs[2] = pck.encoded;
    out = t38_udptl_out{1, pck.encoded, secs, 3};
  }
  ~encoded_page() {
    pool.release(pck.encoded.chain);
    t38_ifp__free_data_fields(fields, pck.fields);
  }
  encoded_page(const encoded_page&) = delete;
  encoded_page& operator=(const encoded_page&) = delete;
};

void BM_IfpEncode(benchmark::State& state) {
  heap_field_pool fields;
  heap_chain_pool pool;
  t38_ifp_packet pck = page_packet(fields);
  for (auto _ : state) {
    benchmark::DoNotOptimize(encode_ifp_packet(pck, 0, pool));
    benchmark::DoNotOptimize(pck.encoded.length);
    pool.release(pck.encoded.chain);
  }
  t38_ifp__free_data_fields(fields, pck.fields);
}
BENCHMARK(BM_IfpEncode);

void BM_UdptlEncodeRedundancy3(benchmark::State& state) {
  encoded_page page;
  for (auto _ : state) {
    t38_udptl_encoded enc;
    t38_udptl__encode(page.out, 1500, T38_UDPTL__ADDR_RECORD_SIZE, page.pool, enc);
    benchmark::DoNotOptimize(enc.length);
    page.pool.release(enc.chain);
  }
}
BENCHMARK(BM_UdptlEncodeRedundancy3);

void BM_UdptlAndIfpDecode(benchmark::State& state) {
  encoded_page page;
  uint8_t area[1500];
  t38_udptl_encoded enc;
  t38_udptl__encode_flat(page.out, 1500, area, sizeof area, &page.pool, enc);
  for (auto _ : state) {
    t38_udptl_in in;
    benchmark::DoNotOptimize(t38_udptl__decode(byte_ref{enc.data, enc.length, nullptr}, nullptr, page.pool, in));
    t38_ifp_packet rx;
    rx.encoded = in.primary;
    in.primary = byte_ref{};
    t38_ifp_decode_env env{&page.pool, &page.fields, true};
    benchmark::DoNotOptimize(decode_ifp_packet(T38_IFP__DECODE_RELEASE, env, rx));
    t38_ifp__free_data_fields(page.fields, rx.fields);
    t38_udptl__release(in, page.pool);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * enc.length);
}
BENCHMARK(BM_UdptlAndIfpDecode);

}  // namespace

BENCHMARK_MAIN();
