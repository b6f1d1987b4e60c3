// Runtime heap, temporary blocks, byte and string helpers, random generator.
#include "runtime/mem.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "runtime/om_os_internal.h"

using namespace om_os_rt;

namespace {

constexpr u32 HEAP_MAGIC = 0x4B56484Du;

struct alignas(16) heap_header {
  heap_header* prev;
  heap_header* next;
  u32 size;
  u32 magic;
  u8 kind;
};
static_assert(sizeof(heap_header) % 16 == 0, "heap header keeps 16-byte alignment");

heap_header* heap_list = nullptr;
u32 heap_count = 0;
u32 long_term_total = 0;
u32 long_term_high = 0;

struct tmp_block {
  tmp_block* next;
  u32 capacity;
  u16 in_use;
  u8* data;
};
tmp_block* tmp_list = nullptr;
u32 tmp_largest = 0;

std::atomic<u32> rand_seed{1};

heap_header* header_of(void* memory) { return reinterpret_cast<heap_header*>(memory) - 1; }

}  // namespace

void* om_os_mem_alloc(u32 size, u8 kind) {
  void* raw = std::malloc(sizeof(heap_header) + static_cast<size_t>(size));
  if (!raw) return nullptr;
  heap_header* h = new (raw) heap_header{};
  h->size = size;
  h->magic = HEAP_MAGIC;
  h->kind = kind;
  void* mem = h + 1;
  if (kind == OM_OS_MEM_LONG_TERM) std::memset(mem, 0, size);
  om_os_lock_hold hold;
  h->next = heap_list;
  if (heap_list) heap_list->prev = h;
  heap_list = h;
  ++heap_count;
  if (kind == OM_OS_MEM_LONG_TERM) {
    long_term_total += size;
    if (long_term_total > long_term_high) long_term_high = long_term_total;
  }
  return mem;
}

void om_os_mem_free(void* memory, u8 kind) {
  if (!memory) return;
  heap_header* h = header_of(memory);
  bool ours = false;
  {
    om_os_lock_hold hold;
    ours = h->magic == HEAP_MAGIC;  // else not ours, or released already
    if (ours) {
      if (kind == OM_OS_MEM_LONG_TERM && h->kind == OM_OS_MEM_LONG_TERM) long_term_total -= h->size;
      if (h->prev) h->prev->next = h->next;
      else heap_list = h->next;
      if (h->next) h->next->prev = h->prev;
      --heap_count;
      h->magic = 0;
    }
  }
  if (!ours) {
    om_os_trap(OM_OS_TRAP_SYSTEM);
    return;
  }
  std::free(h);
}

// Any thread allocates and frees: the totals are read under the pool lock
// that guards their changes.
u32 om_os_mem_long_term_total() {
  om_os_lock_hold hold;
  u32 n = long_term_total;
  return n;
}
u32 om_os_mem_long_term_high() {
  om_os_lock_hold hold;
  u32 n = long_term_high;
  return n;
}
u32 om_os_mem_count() {
  om_os_lock_hold hold;
  u32 n = heap_count;
  return n;
}

void om_os_rt::mem_reset() {
  om_os_lock_hold hold;
  tmp_list = nullptr;
  tmp_largest = 0;
  long_term_total = 0;
  long_term_high = 0;
}

void om_os_rt::mem_free_all() {
  heap_header* h = nullptr;
  {
    om_os_lock_hold hold;
    h = heap_list;
    heap_list = nullptr;
    heap_count = 0;
    tmp_list = nullptr;
    long_term_total = 0;
  }
  while (h) {
    heap_header* next = h->next;
    h->magic = 0;
    std::free(h);
    h = next;
  }
}

// ---------------------------------------------------------------------------
// Temporary blocks.

u8 om_os_rt::tmp_blocks_apply(const om_os_config& c) {
  for (int i = 0; i < 4 && c.tmp_blocks[i] != 0; ++i) {
    u32 cap = c.tmp_blocks[i];
    auto* b = static_cast<tmp_block*>(om_os_mem_alloc(sizeof(tmp_block) + cap, OM_OS_MEM_LONG_TERM));
    if (!b) {
      om_os_trap(OM_OS_TRAP_TMP_BLOCKS);
      return OM_OS_NOK;
    }
    b->capacity = cap;
    b->in_use = 0;
    b->data = reinterpret_cast<u8*>(b + 1);
    {
      om_os_lock_hold hold;
      tmp_block** at = &tmp_list;
      while (*at && (*at)->capacity < cap) at = &(*at)->next;
      b->next = *at;
      *at = b;
    }
  }
  return OM_OS_OK;
}

u8* Alloc_tmp_block(u32 size) {
  om_os_lock_hold hold;
  if (size > tmp_largest) tmp_largest = size;
  for (tmp_block* b = tmp_list; b; b = b->next) {
    if (!b->in_use && b->capacity >= size) {
      b->in_use = 1;
      return b->data;
    }
  }
  return nullptr;
}

u8 Free_tmp_block(const void* data) {
  om_os_lock_hold hold;
  for (tmp_block* b = tmp_list; b; b = b->next) {
    if (b->data == data) {
      if (b->in_use != 1) return OM_OS_NOK;
      b->in_use = 0;
      return OM_OS_OK;
    }
  }
  return OM_OS_NOK;
}

u32 om_os_tmp_block_largest_request() {
  om_os_lock_hold hold;
  u32 n = tmp_largest;
  return n;
}

// ---------------------------------------------------------------------------
// Byte and string helpers.

u32 om_os_memcmp(const void* a, const void* b, u32 n) {
  const u8* x = static_cast<const u8*>(a);
  const u8* y = static_cast<const u8*>(b);
  for (u32 i = 0; i < n; ++i)
    if (x[i] != y[i]) return n - i;
  return 0;
}

u16 om_os_strncpy(char* dst, const char* src, u16 n) {
  if (!dst || !src || n == 0) return 0;
  for (u16 i = 0; i < n; ++i) {
    dst[i] = src[i];
    if (src[i] == '\0') return static_cast<u16>(i + 1);
  }
  dst[n - 1] = '\0';
  return n;
}

int om_os_strcmp(const char* a, const char* b) {
  if (a == b) return 0;
  if (!a || !b) return a ? 1 : -1;
  for (;; ++a, ++b) {
    auto x = static_cast<signed char>(*a);
    auto y = static_cast<signed char>(*b);
    if (x != y) return x - y;
    if (x == 0) return 0;
  }
}

u32 om_os_strlen(const char* s) { return s ? static_cast<u32>(std::strlen(s)) : 0; }

void om_os_srand(u32 seed) { rand_seed.store(seed); }

u16 om_os_rand() {
  u32 s = rand_seed.load(std::memory_order_relaxed);
  u32 next;
  do {
    next = s * 1103515245u + 12345u;
  } while (!rand_seed.compare_exchange_weak(s, next, std::memory_order_relaxed));
  return static_cast<u16>((next >> 16) & 0x7FFF);
}

void om_os_rt::rand_seed_from_clock() { om_os_srand(om_os_tick() * 9200u); }
