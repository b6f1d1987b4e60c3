// Drives a block pool with arbitrary get / free / foreign-free / double-free
// sequences against a model: blocks handed out are distinct, lie inside the
// area and never overlap; misuse is reported, never acted on.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <vector>

#include "runtime/blk_pool.h"

namespace {
int reports = 0;
void on_error(u16, const char*, u32) { ++reports; }
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  om_os_set_blk_error_handler(on_error);
  const u32 block_size = 1 + data[0] % 40;
  const u32 area_size = data[1] * 2u + (data[2] & 1);
  std::vector<u8> area(area_size + 1);
  u8* base = area.data() + (data[2] & 2 ? 1 : 0);  // odd or even start
  om_os_blk_init(base, area_size, block_size);
  const u32 count = om_os_blk_count(base, area_size, block_size);
  const u32 stride = ((block_size + 1) & ~1u) + 8;
  std::set<u8*> taken;
  std::vector<u8*> history;
  for (size_t i = 3; i < size; ++i) {
    const u8 op = data[i];
    switch (op & 3) {
      case 0: {  // get
        u8* p = static_cast<u8*>(om_os_blk_get(base));
        if (!p) {
          if (taken.size() != count) std::abort();  // a free block was lost
          break;
        }
        if (p < base || p + stride - 8 > base + area_size) std::abort();
        if (!taken.insert(p).second) std::abort();  // handed out twice
        std::memset(p, op, stride - 8);             // the owner writes its whole block
        history.push_back(p);
        break;
      }
      case 1:  // free one taken (or already freed) block
        if (!history.empty()) {
          u8* p = history[(op >> 2) % history.size()];
          const int before = reports;
          om_os_blk_free(p);
          if (taken.count(p)) {
            if (reports != before) std::abort();  // a good free was refused
            taken.erase(p);
          } else if (reports == before) {
            std::abort();  // a double free went unreported
          }
        }
        break;
      case 2: {  // a pointer into the area that is not a block's data
        u8* p = base + (op >> 2) % (area_size + 1);
        if (taken.count(p)) break;
        const int before = reports;
        om_os_blk_free(p);
        if (reports == before) std::abort();
        break;
      }
      default:
        (void)om_os_blk_get(area.data() + 2 == base ? base + 1 : base + 2);  // a wrong pool address
        break;
    }
  }
  om_os_set_blk_error_handler(nullptr);
  return 0;
}
