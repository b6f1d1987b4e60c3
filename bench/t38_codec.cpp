// Per-datagram cost of the T.38 codecs: IFP encode, UDPTL encode with three
// secondaries, and the receive path (UDPTL decode, then IFP decode).
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
  t38_ifp__set_type(pck, T38_IFP__DATA_BIT | T38_DATA__V17_14400, f);
  return pck;
}

void BM_IfpEncode(benchmark::State& state) {
  heap_field_pool fields;
  heap_chain_pool pool;
  t38_ifp_packet pck = page_packet(fields);
  for (auto _ : state) {
    encode_ifp_packet(pck, 0, pool);
    benchmark::DoNotOptimize(pck.encoded.length);
    pool.release(pck.encoded.chain);
  }
  t38_ifp__free_data_fields(fields, pck.fields);
}
BENCHMARK(BM_IfpEncode);

void BM_UdptlEncodeRedundancy3(benchmark::State& state) {
  heap_field_pool fields;
  heap_chain_pool pool;
  t38_ifp_packet pck = page_packet(fields);
  encode_ifp_packet(pck, 0, pool);
  byte_ref secs[3] = {pck.encoded, pck.encoded, pck.encoded};
  t38_udptl_out out{1, pck.encoded, secs, 3};
  for (auto _ : state) {
    t38_udptl_encoded enc;
    t38_udptl__encode(out, 1500, T38_UDPTL__ADDR_RECORD_SIZE, pool, enc);
    benchmark::DoNotOptimize(enc.length);
    pool.release(enc.chain);
  }
  pool.release(pck.encoded.chain);
  t38_ifp__free_data_fields(fields, pck.fields);
}
BENCHMARK(BM_UdptlEncodeRedundancy3);

void BM_UdptlAndIfpDecode(benchmark::State& state) {
  heap_field_pool fields;
  heap_chain_pool pool;
  t38_ifp_packet pck = page_packet(fields);
  encode_ifp_packet(pck, 0, pool);
  byte_ref secs[3] = {pck.encoded, pck.encoded, pck.encoded};
  t38_udptl_out out{1, pck.encoded, secs, 3};
  uint8_t area[1500];
  t38_udptl_encoded enc;
  t38_udptl__encode_flat(out, 1500, area, sizeof area, &pool, enc);
  for (auto _ : state) {
    t38_udptl_in in;
    t38_udptl__decode(byte_ref{enc.data, enc.length, nullptr}, nullptr, pool, in);
    t38_ifp_packet rx;
    rx.encoded = in.primary;
    in.primary = byte_ref{};
    t38_ifp_decode_env env{&pool, &fields, true};
    decode_ifp_packet(T38_IFP__DECODE_RELEASE, env, rx);
    t38_ifp__free_data_fields(fields, rx.fields);
    t38_udptl__release(in, pool);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * enc.length);
  pool.release(pck.encoded.chain);
  t38_ifp__free_data_fields(fields, pck.fields);
}
BENCHMARK(BM_UdptlAndIfpDecode);

}  // namespace

BENCHMARK_MAIN();
