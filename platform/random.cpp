#include "platform/random.h"

#include <sys/random.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace {

// Mixes the monotonic and real-time clocks: only used when getrandom fails
// (a kernel without the call), so that two runs still differ.
void fallback_fill(unsigned char* out, std::size_t count) {
  timespec a{}, b{};
  clock_gettime(CLOCK_MONOTONIC, &a);
  clock_gettime(CLOCK_REALTIME, &b);
  u64 x = static_cast<u64>(a.tv_nsec) ^ (static_cast<u64>(b.tv_sec) << 20) ^ static_cast<u64>(b.tv_nsec) ^
          reinterpret_cast<std::uintptr_t>(out);
  for (std::size_t i = 0; i < count; ++i) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    out[i] = static_cast<unsigned char>(x >> 24);
  }
}

}  // namespace

bool plat_random_bytes(void* out, std::size_t count) {
  auto* p = static_cast<unsigned char*>(out);
  std::size_t done = 0;
  int failures = 0;
  while (done < count) {
    ssize_t n = getrandom(p + done, count - done, 0);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR && ++failures < 100) continue;
    fallback_fill(p + done, count - done);
    return false;
  }
  return true;
}

u32 plat_random_u32() {
  u32 v = 0;
  (void)plat_random_bytes(&v, sizeof v);
  return v;
}
