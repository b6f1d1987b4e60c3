// ServerPacket: the header of every mailslot packet between the server
// programs.  Little-endian, packed:
//   0  u16 length     total length of the packet, header included
//   2  u8  class      peer and family (RT_TESSALY, RT_MORVATH, ...)
//   3  u8  type       packet type within the class
//   4  u16 status     status word of result packets (0 otherwise)
//   6  u16 device id  DeviceId of the device controller concerned (0: none)
//   8  payload        per class and type
// A packet is 3 to 1000 bytes; the header fields a short packet lacks are
// simply absent.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/int_types.h"

inline constexpr std::size_t kServerPacketLengthOffset = 0;
inline constexpr std::size_t kServerPacketClassOffset = 2;
inline constexpr std::size_t kServerPacketTypeOffset = 3;
inline constexpr std::size_t kServerPacketStatusOffset = 4;
inline constexpr std::size_t kServerPacketDeviceIdOffset = 6;
inline constexpr std::size_t kServerPacketHeaderSize = 8;
inline constexpr std::size_t kServerPacketMinLength = 3;
inline constexpr std::size_t kServerPacketMaxLength = 1000;

// Packet classes.
inline constexpr u8 RT_MORVATH = 6;
inline constexpr u8 RT_TESSALY = 10;
inline constexpr u8 RT_SHUTDOWN = 99;

struct ServerPacketHeader {
  u16 length = 0;
  u8 packet_class = 0;
  u8 type = 0;
  u16 status = 0;
  u16 device_id = 0;
};

// Reads the header fields that `size` bytes hold; absent fields read as 0.
// Returns how many header bytes were present (at most 8).
std::size_t ReadServerPacketHeader(const u8* data, std::size_t size, ServerPacketHeader* header);

// Writes the header fields that fit into `size` bytes.
void WriteServerPacketHeader(const ServerPacketHeader& header, u8* data, std::size_t size);
