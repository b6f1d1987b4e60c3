#include "common/tessaly_packets.h"

#include <algorithm>
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

// Checks a packet's size, class and type, and starts its record afresh with
// the device id; false when the packet is not of that kind.
template <class P>
bool Open(const u8* data, std::size_t size, std::size_t layout, u8 cls, u8 type, P* p) {
  if (!p || !Is(data, size, layout, cls, type)) return false;
  *p = P{};
  p->device_id = DeviceIdOf(data);
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
  Header(out, kRegisterDeviceSize, RT_TESSALY, RST_TESSALY_REGISTER_DEVICE, p.device_id);
  Put(out, kRegReplySlot, p.reply_slot);
  return kRegisterDeviceSize;
}

std::size_t WriteSendFax(const SendFaxPacket& p, u8* out) {
  Header(out, kSendFaxSize, RT_TESSALY, RST_TESSALY_SEND_FAX, p.device_id);
  Put(out, kSendMessage, p.message_name);
  put_le32(out + kSendJobNumber, static_cast<u32>(p.job_number));
  put_le16(out + kSendJobSub, static_cast<u16>(p.job_sub_number));
  Put(out, kSendFolder, p.folder);
  Put(out, kSendFile, p.file_name);
  Put(out, kSendTelephone, p.telephone);
  Put(out, kSendRecipient, p.recipient);
  put_le16(out + kSendPages, p.pages);
  Put(out, kSendSenderTel, p.sender_telephone);
  Put(out, kSendSenderName, p.sender_name);
  Put(out, kSendSenderCsid, p.sender_csid);
  return kSendFaxSize;
}

std::size_t WriteRecvFax(const RecvFaxPacket& p, u8* out) {
  Header(out, kRecvFaxSize, RT_TESSALY, RST_TESSALY_RECV_FAX, p.device_id);
  Put(out, kRecvFolder, p.folder);
  Put(out, kRecvFile, p.file_name);
  put_le32(out + kRecvAccept, p.accept);
  return kRecvFaxSize;
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
  Header(out, kFaxStatusSize, RT_TESSALY_REPLY, TESSALY_FAX_STATUS, p.device_id);
  put_le16(out + kFsKind, p.kind);
  put_le16(out + kFsValue, p.value);
  Put(out, kFsText, p.text);
  return kFaxStatusSize;
}

std::size_t WriteReceiveConnected(const ReceiveConnectedPacket& p, u8* out) {
  Header(out, kReceiveConnectedSize, RT_TESSALY_REPLY, TESSALY_RECEIVE_CONNECTED, p.device_id);
  Put(out, kRcCsid, p.remote_csid);
  Put(out, kRcDid, p.did);
  return kReceiveConnectedSize;
}

std::size_t WriteRingIn(const RingInPacket& p, u8* out) {
  Header(out, kRingInSize, RT_TESSALY_REPLY, TESSALY_RING_IN, p.device_id);
  Put(out, kRiCalled, p.called);
  Put(out, kRiCaller, p.caller_number);
  Put(out, kRiAddress, p.caller_address);
  return kRingInSize;
}

bool ReadRegisterDevice(const u8* data, std::size_t size, RegisterDevicePacket* p) {
  if (!Open(data, size, kRegisterDeviceSize, RT_TESSALY, RST_TESSALY_REGISTER_DEVICE, p)) return false;
  Get(data, kRegReplySlot, p->reply_slot);
  return true;
}

bool ReadSendFax(const u8* data, std::size_t size, SendFaxPacket* p) {
  if (!Open(data, size, kSendFaxSize, RT_TESSALY, RST_TESSALY_SEND_FAX, p)) return false;
  Get(data, kSendMessage, p->message_name);
  p->job_number = static_cast<i32>(get_le32(data + kSendJobNumber));
  p->job_sub_number = static_cast<i16>(get_le16(data + kSendJobSub));
  Get(data, kSendFolder, p->folder);
  Get(data, kSendFile, p->file_name);
  Get(data, kSendTelephone, p->telephone);
  Get(data, kSendRecipient, p->recipient);
  p->pages = get_le16(data + kSendPages);
  Get(data, kSendSenderTel, p->sender_telephone);
  Get(data, kSendSenderName, p->sender_name);
  Get(data, kSendSenderCsid, p->sender_csid);
  return true;
}

bool ReadRecvFax(const u8* data, std::size_t size, RecvFaxPacket* p) {
  if (!Open(data, size, kRecvFaxSize, RT_TESSALY, RST_TESSALY_RECV_FAX, p)) return false;
  Get(data, kRecvFolder, p->folder);
  Get(data, kRecvFile, p->file_name);
  p->accept = get_le32(data + kRecvAccept);
  return true;
}

bool ReadDeviceStatus(const u8* data, std::size_t size, u16* receive_enabled) {
  if (!receive_enabled || !Is(data, size, kDeviceStatusSize, RT_TESSALY, RST_TESSALY_DEVICE_STATUS)) return false;
  *receive_enabled = get_le16(data + kStatusReceive);
  return true;
}

bool ReadFaxStatus(const u8* data, std::size_t size, FaxStatusPacket* p) {
  if (!Open(data, size, kFaxStatusSize, RT_TESSALY_REPLY, TESSALY_FAX_STATUS, p)) return false;
  p->kind = get_le16(data + kFsKind);
  p->value = get_le16(data + kFsValue);
  Get(data, kFsText, p->text);
  return true;
}

bool ReadReceiveConnected(const u8* data, std::size_t size, ReceiveConnectedPacket* p) {
  if (!Open(data, size, kReceiveConnectedSize, RT_TESSALY_REPLY, TESSALY_RECEIVE_CONNECTED, p)) return false;
  Get(data, kRcCsid, p->remote_csid);
  Get(data, kRcDid, p->did);
  return true;
}

bool ReadRingIn(const u8* data, std::size_t size, RingInPacket* p) {
  if (!Open(data, size, kRingInSize, RT_TESSALY_REPLY, TESSALY_RING_IN, p)) return false;
  Get(data, kRiCalled, p->called);
  Get(data, kRiCaller, p->caller_number);
  Get(data, kRiAddress, p->caller_address);
  return true;
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
