// Reading and writing 16-, 32- and 64-bit integers at unaligned byte
// positions, in a stated byte order:
//   *_le*    least significant byte first
//   *_be*    most significant byte first (network order)
//   *_host*  the machine's own order, for layouts that travel only between
//            the programs of one machine
// get_* reads the integer that starts at p; put_* writes v there.
#pragma once

#include <cstdint>
#include <cstring>

#include "platform/int_types.h"

inline u16 get_le16(const u8* p) { return static_cast<u16>(p[0] | (p[1] << 8)); }
inline u32 get_le32(const u8* p) {
  return static_cast<u32>(p[0]) | (static_cast<u32>(p[1]) << 8) | (static_cast<u32>(p[2]) << 16) |
         (static_cast<u32>(p[3]) << 24);
}
inline void put_le16(u8* p, u16 v) {
  p[0] = static_cast<u8>(v);
  p[1] = static_cast<u8>(v >> 8);
}
inline void put_le32(u8* p, u32 v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<u8>(v >> (8 * i));
}

inline u16 get_be16(const u8* p) { return static_cast<u16>((p[0] << 8) | p[1]); }
inline u32 get_be32(const u8* p) {
  return (static_cast<u32>(p[0]) << 24) | (static_cast<u32>(p[1]) << 16) | (static_cast<u32>(p[2]) << 8) |
         static_cast<u32>(p[3]);
}
inline u64 get_be64(const u8* p) { return (static_cast<u64>(get_be32(p)) << 32) | get_be32(p + 4); }
inline void put_be16(u8* p, u16 v) {
  p[0] = static_cast<u8>(v >> 8);
  p[1] = static_cast<u8>(v);
}
inline void put_be32(u8* p, u32 v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<u8>(v >> (24 - 8 * i));
}

inline u16 get_host16(const u8* p) {
  u16 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline u32 get_host32(const u8* p) {
  u32 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void put_host16(u8* p, u16 v) { std::memcpy(p, &v, sizeof v); }
inline void put_host32(u8* p, u32 v) { std::memcpy(p, &v, sizeof v); }
