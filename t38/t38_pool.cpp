// The per-session pools of data-field objects and IFP packet objects, their
// congestion marks, and the mapping of block-pool errors to T.38 traps.
#include <cstring>
#include <new>

#include "runtime/blk_pool.h"
#include "t38/runtime_chain.h"
#include "t38/t38_entity.h"
#include "t38/t38_report.h"
#include "t38/t38_session.h"

namespace kv::t38 {

namespace {

static_assert(sizeof(t38_data_field) % 8 == 0 && sizeof(t38_ifp_packet) % 8 == 0,
              "pool blocks keep the objects 8-byte aligned");

// The pool an om_os_blk call of this module works on, for the error handler.
const void* pool_in_use = nullptr;

struct pool_call {
  explicit pool_call(const void* pool) { pool_in_use = pool; }
  ~pool_call() { pool_in_use = nullptr; }
  pool_call(const pool_call&) = delete;
  pool_call& operator=(const pool_call&) = delete;
};

struct pool_trap_row {
  u16 alloc_used, alloc_invalid, free_twice;
};
constexpr pool_trap_row kIfpTraps = {T38__TRAP__IFP_OM_OS_BLOCK_MEM_ERROR_ALLOC_USED,
                                     T38__TRAP__IFP_OM_OS_BLOCK_MEM_ERROR_ALLOC_INVALID,
                                     T38__TRAP__IFP_OM_OS_BLOCK_MEM_ERROR_FREE_TWICE};
constexpr pool_trap_row kDfTraps = {T38__TRAP__DF_OM_OS_BLOCK_MEM_ERROR_ALLOC_USED,
                                    T38__TRAP__DF_OM_OS_BLOCK_MEM_ERROR_ALLOC_INVALID,
                                    T38__TRAP__DF_OM_OS_BLOCK_MEM_ERROR_FREE_TWICE};

void trap_for(u16 error, const pool_trap_row& row, t38_session& s) {
  switch (error) {
    case OM_OS_BLK_ERR_HEAD_USED:
      t38__trap(s, row.alloc_used, "T38->t38__om_os_fatal_error_blk (alloc error)", 1);
      break;
    case OM_OS_BLK_ERR_HEAD_BAD_TAG:
      t38__trap(s, row.alloc_invalid, "T38->t38__om_os_fatal_error_blk (alloc error)", 1);
      break;
    case OM_OS_BLK_ERR_FREED_TWICE:
      t38__trap(s, row.free_twice, "T38->t38__om_os_fatal_error_blk (free error)", 1);
      break;
    default:
      t38__trap(s, T38__TRAP__OM_OS_BLOCK_MEM_ERROR_UNKNOWN, "T38->t38__om_os_fatal_error_blk (unknow error)", 1);
      break;
  }
}

// Block-pool errors: the session whose pool failed gets the trap; without
// a known pool every session does.
void t38__om_os_fatal_error_blk(u16 error, const char*, u32) {
  const bool search = error != OM_OS_BLK_ERR_BAD_POOL && error != OM_OS_BLK_ERR_BAD_BLOCK;
  for (u16 i = 0; search && pool_in_use != nullptr && i < t38__table_size(); ++i) {
    t38_session* s = t38__find_session(i);
    if (s == nullptr) continue;
    if (pool_in_use == s->pools.ifp_pool()) return trap_for(error, kIfpTraps, *s);
    if (pool_in_use == s->pools.data_field_pool()) return trap_for(error, kDfTraps, *s);
  }
  for (u16 i = 0; i < t38__table_size(); ++i) {
    t38_session* s = t38__find_session(i);
    if (s == nullptr) continue;
    if (error == OM_OS_BLK_ERR_BAD_POOL) {
      t38__trap(*s, T38__TRAP__OM_OS_BLOCK_MEM_ERROR_PART, "T38->t38__om_os_fatal_error_blk (bad partition)", 1);
    } else if (error == OM_OS_BLK_ERR_BAD_BLOCK) {
      t38__trap(*s, OM_OS_BLOCK_MEMORY_ERROR_FREE_INVALID, "T38->t38__om_os_fatal_error_blk (corrupted block)", 1);
    } else {
      t38__trap(*s, T38__TRAP__OM_OS_BLOCK_MEM_ERROR_UNKNOWN, "T38->t38__om_os_fatal_error_blk (unknow error)", 1);
    }
  }
}

void count_in(t38_pool_counters& c) {
  ++c.in_use;
  if (c.in_use > c.high_water) c.high_water = c.in_use;
}

}  // namespace

void t38_session_pools::init(t38_session& s) {
  s_ = &s;
  df_ = t38_pool_counters{};
  ifp_ = t38_pool_counters{};
  om_os_set_blk_error_handler(t38__om_os_fatal_error_blk);
  om_os_blk_init(df_area_, sizeof df_area_, sizeof(t38_data_field));
  om_os_blk_init(ifp_area_, sizeof ifp_area_, sizeof(t38_ifp_packet));
  df_blocks_ = static_cast<u16>(om_os_blk_count(df_area_, sizeof df_area_, sizeof(t38_data_field)));
  ifp_blocks_ = static_cast<u16>(om_os_blk_count(ifp_area_, sizeof ifp_area_, sizeof(t38_ifp_packet)));
  s.ifp.max_dfield_size = T38__MAX_SIZE_DATA_FIELD;
}

void t38_session_pools::df_congestion_test(bool report, u8 origin) {
  const u16 free_blocks = static_cast<u16>(df_blocks_ - df_.in_use);
  if (free_blocks < T38__CONG_THR_DATA_FIELD_LOW_MARK && !df_.congested) {
    ++df_.congestion_count;
    df_.congested = 1;
    if (report) t38_report__trap(origin, T38__ERR_REPORT__DFIELD_CONGESTION, 0, "", "", *s_);
  } else if (free_blocks > T38__CONG_THR_DATA_FIELD_HIGH_MARK) {
    df_.congested = 0;
  }
}

void t38_session_pools::ifp_congestion_test(bool report) {
  const u16 free_blocks = static_cast<u16>(ifp_blocks_ - ifp_.in_use);
  if (free_blocks < T38__CONG_THR_IFP_PACKET_LOW_MARK && !ifp_.congested) {
    ++ifp_.congestion_count;
    ifp_.congested = 1;
    if (report) t38_report__trap(0, T38__ERR_REPORT__IFP_PCK_CONGESTION, 0, "", "", *s_);
  } else if (free_blocks > T38__CONG_THR_IFP_PACKET_HIGH_MARK) {
    ifp_.congested = 0;
  }
}

t38_data_field* t38_session_pools::alloc_data_object(u8 origin) {
  void* block = nullptr;
  {
    pool_call call(df_area_);
    block = om_os_blk_get(df_area_);
  }
  if (block == nullptr) return nullptr;
  count_in(df_);
  df_congestion_test(true, origin);
  t38_data_field* f = new (block) t38_data_field{};
  return f;
}

void t38_session_pools::free_data_field(t38_data_field* f) {
  if (f == nullptr) return;
  df_congestion_test(false, 0);
  f->~t38_data_field();
  {
    pool_call call(df_area_);
    om_os_blk_free(f);
  }
  if (df_.in_use > 0) --df_.in_use;
}

t38_ifp_packet* t38_session_pools::alloc_ifp_pck() {
  void* block = nullptr;
  {
    pool_call call(ifp_area_);
    block = om_os_blk_get(ifp_area_);
  }
  if (block == nullptr) return nullptr;
  t38_ifp_packet* p = new (block) t38_ifp_packet{};
  p->decoded = 1;
  count_in(ifp_);
  ifp_congestion_test(true);
  return p;
}

void t38_session_pools::free_ifp_pck(t38_ifp_packet* p) {
  if (p == nullptr) return;
  t38_ifp__free_data_fields(*this, p->fields);
  p->fields = nullptr;
  t38_runtime_chains().release(p->encoded.chain);
  p->encoded = byte_ref{};
  p->~t38_ifp_packet();
  {
    pool_call call(ifp_area_);
    om_os_blk_free(p);
  }
  if (ifp_.in_use > 0) --ifp_.in_use;
  ifp_congestion_test(false);
}

}  // namespace kv::t38
