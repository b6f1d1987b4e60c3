#include "common/tessaly_packets.h"

#include <algorithm>
#include <concepts>
#include <type_traits>
#include <cstring>

#include "common/byte_order.h"

namespace {

// One text field of a layout.
struct Text {
  std::size_t offset;
  std::size_t width;
};

// REGISTER_DEVICE
constexpr Text kRegReplySlot{8, 86};
// SEND_FAX
constexpr Text kSendMessage{8, 9};
constexpr std::size_t kSendJobNumber = 20;
constexpr std::size_t kSendJobSub = 24;
constexpr Text kSendFolder{26, 257};
constexpr Text kSendFile{283, 13};
constexpr Text kSendTelephone{296, 41};
constexpr Text kSendRecipient{337, 31};
constexpr std::size_t kSendPages = 368;
constexpr Text kSendSenderTel{370, 40};
constexpr Text kSendSenderName{410, 31};
constexpr Text kSendSenderCsid{441, 20};
static_assert(kSendSenderCsid.offset + kSendSenderCsid.width + 3 == kSendFaxSize);
// RECV_FAX
constexpr Text kRecvFolder{8, 257};
constexpr Text kRecvFile{265, 13};
constexpr std::size_t kRecvAccept = 280;
static_assert(kRecvAccept + 4 == kRecvFaxSize);
// DEVICE_STATUS
constexpr std::size_t kStatusReceive = 8;
// FaxStatusPacket
constexpr std::size_t kFsKind = 8;
constexpr std::size_t kFsValue = 10;
constexpr Text kFsText{12, 256};
static_assert(kFsText.offset + kFsText.width == kFaxStatusSize);
// ReceiveConnectedPacket
constexpr Text kRcCsid{8, 41};
constexpr Text kRcDid{49, 41};
static_assert(kRcDid.offset + kRcDid.width == kReceiveConnectedSize);
// RingInPacket
constexpr Text kRiCalled{8, 31};
constexpr Text kRiCaller{39, 41};
constexpr Text kRiAddress{80, 31};
static_assert(kRiAddress.offset + kRiAddress.width + 1 == kRingInSize);
// Program start to MORVATH
constexpr std::size_t kPsName = 6;
constexpr std::size_t kPsFlag = 20;

void Header(u8* out, std::size_t size, u8 cls, u8 type, u16 device_id) {
  std::memset(out, 0, size);
  ServerPacketHeader h;
  h.length = static_cast<u16>(size);
  h.packet_class = cls;
  h.type = type;
  h.device_id = device_id;
  WriteServerPacketHeader(h, out, size);
}

void Put(u8* out, const Text& t, const char* text) { PutTextField(out + t.offset, t.width, text); }

template <std::size_t N>
void Get(const u8* data, const Text& t, char (&out)[N]) {
  static_assert(N >= 2);
  GetTextField(data + t.offset, t.width, out, N);
}

bool Is(const u8* data, std::size_t size, std::size_t layout, u8 cls, u8 type) {
  return data && size >= layout && data[kServerPacketClassOffset] == cls && data[kServerPacketTypeOffset] == type;
}

u16 DeviceIdOf(const u8* data) { return get_le16(data + kServerPacketDeviceIdOffset); }

// The walkers of a packet's fields after its header: text(layout, field)
// and number(offset, field), 2 or 4 bytes by the field's size.
struct FieldWriter {
  u8* out;
  void text(const Text& t, const char* s) { Put(out, t, s); }
  template <class T>
  void number(std::size_t at, T v) {
    if constexpr (sizeof(T) == 2) put_le16(out + at, static_cast<u16>(v));
    else put_le32(out + at, static_cast<u32>(v));
  }
};

struct FieldReader {
  const u8* data;
  template <std::size_t N>
  void text(const Text& t, char (&s)[N]) {
    Get(data, t, s);
  }
  template <class T>
  void number(std::size_t at, T& v) {
    if constexpr (sizeof(T) == 2) v = static_cast<T>(get_le16(data + at));
    else v = static_cast<T>(get_le32(data + at));
  }
};

// The field list of each packet, walked alike to write and to read it (P is
// the packet, const for writing).
template <class P, class Packet>
concept PacketOf = std::same_as<std::remove_const_t<P>, Packet>;

template <class IO, PacketOf<RegisterDevicePacket> P>
void Fields(IO& io, P& p) {
  io.text(kRegReplySlot, p.reply_slot);
}

template <class IO, PacketOf<SendFaxPacket> P>
void Fields(IO& io, P& p) {
  io.text(kSendMessage, p.message_name);
  io.number(kSendJobNumber, p.job_number);
  io.number(kSendJobSub, p.job_sub_number);
  io.text(kSendFolder, p.folder);
  io.text(kSendFile, p.file_name);
  io.text(kSendTelephone, p.telephone);
  io.text(kSendRecipient, p.recipient);
  io.number(kSendPages, p.pages);
  io.text(kSendSenderTel, p.sender_telephone);
  io.text(kSendSenderName, p.sender_name);
  io.text(kSendSenderCsid, p.sender_csid);
}

template <class IO, PacketOf<RecvFaxPacket> P>
void Fields(IO& io, P& p) {
  io.text(kRecvFolder, p.folder);
  io.text(kRecvFile, p.file_name);
  io.number(kRecvAccept, p.accept);
}

template <class IO, PacketOf<FaxStatusPacket> P>
void Fields(IO& io, P& p) {
  io.number(kFsKind, p.kind);
  io.number(kFsValue, p.value);
  io.text(kFsText, p.text);
}

template <class IO, PacketOf<ReceiveConnectedPacket> P>
void Fields(IO& io, P& p) {
  io.text(kRcCsid, p.remote_csid);
  io.text(kRcDid, p.did);
}

template <class IO, PacketOf<RingInPacket> P>
void Fields(IO& io, P& p) {
  io.text(kRiCalled, p.called);
  io.text(kRiCaller, p.caller_number);
  io.text(kRiAddress, p.caller_address);
}

// A whole packet of `size` bytes: header, then its fields.
template <class P>
std::size_t WritePacket(const P& p, u8* out, std::size_t size, u8 cls, u8 type) {
  Header(out, size, cls, type, p.device_id);
  FieldWriter w{out};
  Fields(w, p);
  return size;
}

// Checks a packet's size, class and type, and starts its record afresh with
// the device id; false when the packet is not of that kind.
template <class P>
bool Open(const u8* data, std::size_t size, std::size_t layout, u8 cls, u8 type, P* p) {
  if (!p || !Is(data, size, layout, cls, type)) return false;
  *p = P{};
  p->device_id = DeviceIdOf(data);
  return true;
}

// Reads a packet of that kind into *p; false when it is not one.
template <class P>
bool ReadPacket(const u8* data, std::size_t size, std::size_t layout, u8 cls, u8 type, P* p) {
  if (!Open(data, size, layout, cls, type, p)) return false;
  FieldReader r{data};
  Fields(r, *p);
  return true;
}

}  // namespace

void PutTextField(u8* field, std::size_t width, const char* text) {
  if (!field || width == 0) return;
  std::memset(field, 0, width);
  if (!text) return;
  std::size_t n = 0;
  while (n + 1 < width && text[n]) ++n;
  std::memcpy(field, text, n);
}

void GetTextField(const u8* field, std::size_t width, char* out, std::size_t out_size) {
  if (!out || out_size == 0) return;
  std::size_t n = 0;
  const std::size_t limit = std::min(width, out_size - 1);
  while (field && n < limit && field[n]) ++n;
  if (n) std::memcpy(out, field, n);
  out[n] = '\0';
}

std::size_t WriteRegisterDevice(const RegisterDevicePacket& p, u8* out) {
  return WritePacket(p, out, kRegisterDeviceSize, RT_TESSALY, RST_TESSALY_REGISTER_DEVICE);
}

std::size_t WriteSendFax(const SendFaxPacket& p, u8* out) {
  return WritePacket(p, out, kSendFaxSize, RT_TESSALY, RST_TESSALY_SEND_FAX);
}

std::size_t WriteRecvFax(const RecvFaxPacket& p, u8* out) {
  return WritePacket(p, out, kRecvFaxSize, RT_TESSALY, RST_TESSALY_RECV_FAX);
}

std::size_t WriteAbortFax(u16 device_id, u8* out) {
  Header(out, kAbortFaxSize, RT_TESSALY, RST_TESSALY_ABORT_FAX, device_id);
  return kAbortFaxSize;
}

std::size_t WriteDeviceStatus(u16 device_id, u16 receive_enabled, u8* out) {
  Header(out, kDeviceStatusSize, RT_TESSALY, RST_TESSALY_DEVICE_STATUS, device_id);
  put_le16(out + kStatusReceive, receive_enabled);
  return kDeviceStatusSize;
}

std::size_t WriteShutdown(u16 device_id, u8* out) {
  Header(out, kShutdownSize, RT_TESSALY, RST_TESSALY_SHUTDOWN, device_id);
  return kShutdownSize;
}

std::size_t WriteFaxStatus(const FaxStatusPacket& p, u8* out) {
  return WritePacket(p, out, kFaxStatusSize, RT_TESSALY_REPLY, TESSALY_FAX_STATUS);
}

std::size_t WriteReceiveConnected(const ReceiveConnectedPacket& p, u8* out) {
  return WritePacket(p, out, kReceiveConnectedSize, RT_TESSALY_REPLY, TESSALY_RECEIVE_CONNECTED);
}

std::size_t WriteRingIn(const RingInPacket& p, u8* out) {
  return WritePacket(p, out, kRingInSize, RT_TESSALY_REPLY, TESSALY_RING_IN);
}

bool ReadRegisterDevice(const u8* data, std::size_t size, RegisterDevicePacket* p) {
  return ReadPacket(data, size, kRegisterDeviceSize, RT_TESSALY, RST_TESSALY_REGISTER_DEVICE, p);
}

bool ReadSendFax(const u8* data, std::size_t size, SendFaxPacket* p) {
  return ReadPacket(data, size, kSendFaxSize, RT_TESSALY, RST_TESSALY_SEND_FAX, p);
}

bool ReadRecvFax(const u8* data, std::size_t size, RecvFaxPacket* p) {
  return ReadPacket(data, size, kRecvFaxSize, RT_TESSALY, RST_TESSALY_RECV_FAX, p);
}

bool ReadDeviceStatus(const u8* data, std::size_t size, u16* receive_enabled) {
  if (!receive_enabled || !Is(data, size, kDeviceStatusSize, RT_TESSALY, RST_TESSALY_DEVICE_STATUS)) return false;
  *receive_enabled = get_le16(data + kStatusReceive);
  return true;
}

bool ReadFaxStatus(const u8* data, std::size_t size, FaxStatusPacket* p) {
  return ReadPacket(data, size, kFaxStatusSize, RT_TESSALY_REPLY, TESSALY_FAX_STATUS, p);
}

bool ReadReceiveConnected(const u8* data, std::size_t size, ReceiveConnectedPacket* p) {
  return ReadPacket(data, size, kReceiveConnectedSize, RT_TESSALY_REPLY, TESSALY_RECEIVE_CONNECTED, p);
}

bool ReadRingIn(const u8* data, std::size_t size, RingInPacket* p) {
  return ReadPacket(data, size, kRingInSize, RT_TESSALY_REPLY, TESSALY_RING_IN, p);
}

std::size_t WriteMorvathProgramStart(const char* name, std::size_t max_chars, u8* out) {
  std::memset(out, 0, kMorvathProgramStartSize);
  ServerPacketHeader h;
  h.length = static_cast<u16>(kMorvathProgramStartSize);
  h.packet_class = RT_MORVATH;
  h.type = RST_MORVATH_PROGRAM_START;
  WriteServerPacketHeader(h, out, kServerPacketDeviceIdOffset);  // the name starts at +6
  PutTextField(out + kPsName, std::min<std::size_t>(max_chars, 10) + 1, name);
  put_le32(out + kPsFlag, 1);
  return kMorvathProgramStartSize;
}
