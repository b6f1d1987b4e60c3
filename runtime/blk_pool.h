// Fixed-size block pools carved out of a caller's memory area.
//
// Layout in the area: an 8-byte pool header at the first even address (u32
// pool identity, u32 free-list head), then as many blocks as fit, each an
// 8-byte block header (u32 tag, u32 link) and the data, whose size is the
// requested block size rounded up to even.  Tags are "FREE" (0x46524545) and
// "USED" (0x55534544).  Links are 32-bit offsets from the pool header (0 =
// none); a taken block links back to its pool header.  The last block of the
// area is handed out first.  A pool has no lock: one entity uses it.
#pragma once
#include "runtime/types.h"

inline constexpr u32 OM_OS_BLK_TAG_FREE = 0x46524545;
inline constexpr u32 OM_OS_BLK_TAG_USED = 0x55534544;

enum : u16 {
  OM_OS_BLK_ERR_BAD_POOL = 40001,      // pool identity word does not match
  OM_OS_BLK_ERR_HEAD_USED = 40002,     // free-list head tagged USED
  OM_OS_BLK_ERR_HEAD_BAD_TAG = 40003,  // free-list head with another tag
  OM_OS_BLK_ERR_FREED_TWICE = 40004,   // block already free
  OM_OS_BLK_ERR_BAD_BLOCK = 40005,     // not a block of any pool
};

// Builds a pool in area (area_size bytes) of blocks of block_size bytes.
void om_os_blk_init(void* area, u32 area_size, u32 block_size);
// A block's data, or null (empty pool: no report; errors: reported).
[[nodiscard]] void* om_os_blk_get(void* pool);
void om_os_blk_free(void* data);

// Number of blocks om_os_blk_init builds for this area and size.
u32 om_os_blk_count(const void* area, u32 area_size, u32 block_size);

// Receiver of block-pool errors (the T.38 entity installs its own):
// (error code, routine name "om_os_blk_get" / "om_os_blk_free", detail).
// The detail is the pool's identity (40001, 40002, 40003), the block's first
// data word (40004) or 0 (40005).
typedef void (*om_os_blk_error_handler_t)(u16 code, const char* routine, u32 detail);
void om_os_set_blk_error_handler(om_os_blk_error_handler_t handler);
