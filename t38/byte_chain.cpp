#include "t38/byte_chain.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace kv::t38 {

namespace {

struct heap_buf {
  heap_buf* next;
  u16 size;
  u8* data() { return reinterpret_cast<u8*>(this + 1); }
};

heap_buf* as_heap(chain_buf b) { return static_cast<heap_buf*>(b); }

}  // namespace

chain_buf heap_chain_pool::alloc_for_writing() {
  if (live_ >= limit_) return nullptr;
  void* raw = ::operator new(sizeof(heap_buf) + capacity_, std::nothrow);
  if (raw == nullptr) return nullptr;
  ++live_;
  return new (raw) heap_buf{nullptr, 0};
}

void heap_chain_pool::release(chain_buf first) {
  heap_buf* b = as_heap(first);
  while (b != nullptr) {
    heap_buf* next = b->next;
    b->~heap_buf();
    ::operator delete(b);
    --live_;
    b = next;
  }
}

u8* heap_chain_pool::data(chain_buf b) { return as_heap(b)->data(); }
u16 heap_chain_pool::size(chain_buf b) const { return as_heap(b)->size; }
void heap_chain_pool::set_size(chain_buf b, u16 size) { as_heap(b)->size = std::min(size, capacity_); }
chain_buf heap_chain_pool::next(chain_buf b) const { return as_heap(b)->next; }
void heap_chain_pool::set_next(chain_buf b, chain_buf next) { as_heap(b)->next = as_heap(next); }

std::size_t copy_bytes(chain_pool* pool, const byte_ref& ref, u8* out, std::size_t room) {
  std::size_t want = std::min<std::size_t>(ref.length, room);
  if (ref.chain == nullptr || pool == nullptr) {
    if (want > 0) std::memcpy(out, ref.first, want);
    return want;
  }
  std::size_t done = 0;
  chain_buf b = ref.chain;
  const u8* p = ref.first;
  while (b != nullptr && done < want) {
    const u8* begin = pool->data(b);
    const u8* end = begin + pool->size(b);
    if (p == nullptr || p < begin || p > end) p = begin;
    std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(end - p), want - done);
    if (n > 0) std::memcpy(out + done, p, n);
    done += n;
    b = pool->next(b);
    p = nullptr;
  }
  return done;
}

chain_buf store_in_chain(chain_pool& pool, const u8* bytes, std::size_t length) {
  chain_buf first = nullptr;
  chain_buf last = nullptr;
  std::size_t done = 0;
  do {
    chain_buf b = pool.alloc();
    if (b == nullptr) {
      pool.release(first);
      return nullptr;
    }
    std::size_t n = std::min<std::size_t>(pool.capacity(), length - done);
    if (n > 0) std::memcpy(pool.data(b), bytes + done, n);
    pool.set_size(b, static_cast<u16>(n));
    if (last == nullptr) first = b;
    else pool.set_next(last, b);
    last = b;
    done += n;
  } while (done < length);
  return first;
}

}  // namespace kv::t38
