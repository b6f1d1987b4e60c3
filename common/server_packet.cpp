#include "common/server_packet.h"

#include "common/byte_order.h"

namespace {

// Header fields by offset and width.
struct HeaderField {
  std::size_t offset;
  std::size_t width;
};
constexpr HeaderField kLength{kServerPacketLengthOffset, 2};
constexpr HeaderField kClass{kServerPacketClassOffset, 1};
constexpr HeaderField kType{kServerPacketTypeOffset, 1};
constexpr HeaderField kStatus{kServerPacketStatusOffset, 2};
constexpr HeaderField kDeviceId{kServerPacketDeviceIdOffset, 2};
static_assert(kDeviceId.offset + kDeviceId.width == kServerPacketHeaderSize);

bool Fits(const HeaderField& f, std::size_t size) { return f.offset + f.width <= size; }

}  // namespace

std::size_t ReadServerPacketHeader(const u8* data, std::size_t size, ServerPacketHeader* header) {
  *header = ServerPacketHeader{};
  if (!data) return 0;
  if (Fits(kLength, size)) header->length = get_le16(data + kLength.offset);
  if (Fits(kClass, size)) header->packet_class = data[kClass.offset];
  if (Fits(kType, size)) header->type = data[kType.offset];
  if (Fits(kStatus, size)) header->status = get_le16(data + kStatus.offset);
  if (Fits(kDeviceId, size)) header->device_id = get_le16(data + kDeviceId.offset);
  return size < kServerPacketHeaderSize ? size : kServerPacketHeaderSize;
}

void WriteServerPacketHeader(const ServerPacketHeader& header, u8* data, std::size_t size) {
  if (!data) return;
  if (Fits(kLength, size)) put_le16(data + kLength.offset, header.length);
  if (Fits(kClass, size)) data[kClass.offset] = header.packet_class;
  if (Fits(kType, size)) data[kType.offset] = header.type;
  if (Fits(kStatus, size)) put_le16(data + kStatus.offset, header.status);
  if (Fits(kDeviceId, size)) put_le16(data + kDeviceId.offset, header.device_id);
}
