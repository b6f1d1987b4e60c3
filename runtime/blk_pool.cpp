// Fixed-size block pools in caller memory.
#include "runtime/blk_pool.h"

#include <cstring>
#include <vector>

#include "common/byte_order.h"
#include "platform/event.h"

namespace {

constexpr u32 POOL_HEADER = 8;
constexpr u32 BLOCK_HEADER = 8;

// Every pool built here is remembered by the range of its blocks, so that a
// pointer that belongs to no pool is refused before any of its bytes are read.
struct pool_range {
  uintptr_t header;
  uintptr_t first_block;
  u32 stride;
  u32 count;
};
plat_cs registry_cs;
std::vector<pool_range> registry;

om_os_blk_error_handler_t error_handler = nullptr;

u32 identity_of(const void* area) { return static_cast<u32>(reinterpret_cast<uintptr_t>(area)); }

void report(u16 code, const char* routine, u32 detail) {
  om_os_blk_error_handler_t h = error_handler;
  if (h) h(code, routine, detail);
}

bool find_by_header(uintptr_t header, pool_range* out) {
  plat_cs_hold hold(registry_cs);
  for (const auto& r : registry)
    if (r.header == header) {
      *out = r;
      return true;
    }
  return false;
}

bool find_by_block(uintptr_t block, pool_range* out) {
  plat_cs_hold hold(registry_cs);
  for (const auto& r : registry) {
    if (block < r.first_block) continue;
    uintptr_t off = block - r.first_block;
    if (off % r.stride == 0 && off / r.stride < r.count) {
      *out = r;
      return true;
    }
  }
  return false;
}

u32 data_bytes(u32 block_size) { return (block_size + 1u) & ~1u; }

}  // namespace

u32 om_os_blk_count(const void* area, u32 area_size, u32 block_size) {
  if (!area) return 0;
  u32 pad = static_cast<u32>(reinterpret_cast<uintptr_t>(area) & 1u);
  if (area_size < pad + POOL_HEADER) return 0;
  u32 stride = data_bytes(block_size) + BLOCK_HEADER;
  return (area_size - pad - POOL_HEADER) / stride;
}

void om_os_blk_init(void* area, u32 area_size, u32 block_size) {
  if (!area) return;
  u8* base = static_cast<u8*>(area);
  u32 pad = static_cast<u32>(reinterpret_cast<uintptr_t>(area) & 1u);
  if (area_size < pad + POOL_HEADER) return;  // no room even for the header
  u8* header = base + pad;
  const u32 dsize = data_bytes(block_size);
  const u32 stride = dsize + BLOCK_HEADER;
  const u32 count = om_os_blk_count(area, area_size, block_size);
  const u32 ident = identity_of(area);
  put_host32(header, ident);
  u32 head = 0;  // offset of the free-list head from the header; 0 = none
  for (u32 i = 0; i < count; ++i) {
    u8* blk = header + POOL_HEADER + i * stride;
    put_host32(blk, OM_OS_BLK_TAG_FREE);
    put_host32(blk + 4, head);
    std::memcpy(blk + BLOCK_HEADER, &ident, dsize < 4 ? dsize : 4);
    head = static_cast<u32>(blk - header);
  }
  put_host32(header + 4, head);

  pool_range r{reinterpret_cast<uintptr_t>(header), reinterpret_cast<uintptr_t>(header + POOL_HEADER), stride, count};
  const uintptr_t lo = reinterpret_cast<uintptr_t>(base);
  const uintptr_t hi = lo + area_size;
  plat_cs_hold hold(registry_cs);
  // A pool built again over the same memory replaces the older one.
  std::erase_if(registry, [&](const pool_range& o) {
    uintptr_t olo = o.header, ohi = o.first_block + static_cast<uintptr_t>(o.stride) * o.count;
    return olo < hi && lo < ohi;
  });
  registry.push_back(r);
}

void* om_os_blk_get(void* pool) {
  static const char routine[] = "om_os_blk_get";
  if (!pool) {
    report(OM_OS_BLK_ERR_BAD_POOL, routine, 0);
    return nullptr;
  }
  u8* header = static_cast<u8*>(pool) + (reinterpret_cast<uintptr_t>(pool) & 1u);
  pool_range r{};
  if (!find_by_header(reinterpret_cast<uintptr_t>(header), &r) || get_host32(header) != identity_of(pool)) {
    report(OM_OS_BLK_ERR_BAD_POOL, routine, identity_of(pool));
    return nullptr;
  }
  u32 head = get_host32(header + 4);
  if (head == 0) return nullptr;  // empty: no report
  u8* blk = header + head;
  uintptr_t off = reinterpret_cast<uintptr_t>(blk) - r.first_block;
  if (reinterpret_cast<uintptr_t>(blk) < r.first_block || off % r.stride != 0 || off / r.stride >= r.count) {
    report(OM_OS_BLK_ERR_HEAD_BAD_TAG, routine, identity_of(pool));  // list broken
    return nullptr;
  }
  u32 tag = get_host32(blk);
  if (tag == OM_OS_BLK_TAG_USED) {
    report(OM_OS_BLK_ERR_HEAD_USED, routine, identity_of(pool));
    return nullptr;
  }
  if (tag != OM_OS_BLK_TAG_FREE) {
    report(OM_OS_BLK_ERR_HEAD_BAD_TAG, routine, identity_of(pool));
    return nullptr;
  }
  put_host32(header + 4, get_host32(blk + 4));
  put_host32(blk, OM_OS_BLK_TAG_USED);
  put_host32(blk + 4, head);  // back to the pool header
  return blk + BLOCK_HEADER;
}

void om_os_blk_free(void* data) {
  static const char routine[] = "om_os_blk_free";
  if (!data) {
    report(OM_OS_BLK_ERR_BAD_BLOCK, routine, 0);
    return;
  }
  u8* blk = static_cast<u8*>(data) - BLOCK_HEADER;
  pool_range r{};
  if (!find_by_block(reinterpret_cast<uintptr_t>(blk), &r)) {
    report(OM_OS_BLK_ERR_BAD_BLOCK, routine, 0);
    return;
  }
  // NOLINTNEXTLINE(performance-no-int-to-ptr): pool ranges are kept as addresses to compare
  u8* header = reinterpret_cast<u8*>(r.header);
  const u32 dsize = r.stride - BLOCK_HEADER;
  u32 tag = get_host32(blk);
  if (tag == OM_OS_BLK_TAG_FREE) {
    u32 first = 0;
    std::memcpy(&first, blk + BLOCK_HEADER, dsize < 4 ? dsize : 4);
    report(OM_OS_BLK_ERR_FREED_TWICE, routine, first);
    return;
  }
  const u32 self = static_cast<u32>(blk - header);
  if (tag != OM_OS_BLK_TAG_USED || get_host32(blk + 4) != self) {
    report(OM_OS_BLK_ERR_BAD_BLOCK, routine, 0);
    return;
  }
  const u32 ident = get_host32(header);
  put_host32(blk, OM_OS_BLK_TAG_FREE);
  std::memcpy(blk + BLOCK_HEADER, &ident, dsize < 4 ? dsize : 4);
  put_host32(blk + 4, get_host32(header + 4));
  put_host32(header + 4, self);
}

void om_os_set_blk_error_handler(om_os_blk_error_handler_t handler) { error_handler = handler; }
