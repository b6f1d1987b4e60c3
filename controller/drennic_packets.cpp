#include "platform/int_types.h"
#include "controller/drennic_packets.h"

#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "common/byte_order.h"
#include "common/server_packet.h"
#include "common/tessaly_packets.h"

namespace {

constexpr std::size_t kDevTypeName = 6;
constexpr std::size_t kDevTypeNameWidth = 10;
constexpr std::size_t kDevTypeNumber = 16;

void Begin(u8* out, std::size_t size, u8 cls, u8 type, const DeviceFields* d) {
  std::memset(out, 0, size);
  ServerPacketHeader h;
  h.length = static_cast<u16>(size);
  h.packet_class = cls;
  h.type = type;
  WriteServerPacketHeader(h, out, kServerPacketDeviceIdOffset);
  if (d) {
    PutTextField(out + kDevTypeName, kDevTypeNameWidth, d->type_name);
    put_le16(out + kDevTypeNumber, d->type_number);
  }
}

// Send request fields: offset in the current layout, offset in the old
// layout, width (0 for numbers, whose width is given by `number`).
struct Field {
  std::size_t now;
  std::size_t old;
  std::size_t width;
};
// Texts and numbers moved by the conversion of an old send request; the
// header and the fields up to +25 keep their place.
constexpr std::array<Field, 16> kOldSendMoves{{
    {26, 26, 64},    // directory (64 characters in the old layout)
    {283, 90, 13},   // file name
    {296, 103, 13},  // second file name
    {310, 116, 2},   // format
    {312, 118, 2},   // route
    {314, 120, 41},  // telephone number
    {355, 161, 31},
    {386, 192, 31},  // recipient name
    {417, 223, 41},
    {460, 264, 4},
    {464, 268, 41},  // sender telephone number
    {505, 309, 31},  // sender name
    {536, 340, 41},  // sender CSID
    {577, 381, 41},  // connection parameter
    {618, 422, 2},   // pages already sent
    {0, 0, 0},
}};

void ConvertOldSend(const u8* old, u8* job) {
  std::memset(job, 0, kDeviceRequestSize);
  std::memcpy(job, old, 26);
  for (const Field& f : kOldSendMoves) {
    if (f.width == 0) break;
    if (f.width <= 4) {
      std::memcpy(job + f.now, old + f.old, f.width);
    } else {
      // A text is moved up to its NUL, and the target stays terminated.
      char text[80];
      GetTextField(old + f.old, f.width, text, sizeof text);
      PutTextField(job + f.now, f.width + (f.width == 64 ? 1 : 0), text);
    }
  }
  put_le16(job + kServerPacketLengthOffset, static_cast<u16>(kDeviceRequestSize));
  job[kServerPacketTypeOffset] = RST_DEVICE_SEND;
}

}  // namespace

void WriteJobResult(const DeviceFields& d, StatusWord status, u16 job, u16 state_code, u16 connect_seconds, u16 pages,
                    u8* out) {
  Begin(out, kJobResultSize, RT_DRENNIC, RST_DRENNIC_JOB_RESULT, &d);
  put_le16(out + 4, status);
  put_le16(out + 18, job);
  put_le16(out + 20, state_code);
  put_le16(out + 22, connect_seconds);
  put_le16(out + 24, pages);
}

void WriteScanResult(const DeviceFields& d, StatusWord status, u16 job, u16 state_code, u16 value, u8* out) {
  Begin(out, kScanResultSize, RT_DRENNIC, RST_DRENNIC_SCAN_RESULT, &d);
  put_le16(out + 4, status);
  put_le16(out + 18, job);
  put_le16(out + 20, state_code);
  put_le16(out + 22, value);
}

void WriteMessageReceived(const DeviceFields& d, const char* user, const char* control_file, u8* out) {
  Begin(out, kMessageReceivedSize, RT_DRENNIC, RST_DRENNIC_MESSAGE_RECEIVED, &d);
  PutTextField(out + 18, 9, user);
  PutTextField(out + 27, 13, control_file);
}

void WriteDrennicDeviceStatus(const DeviceFields& d, u16 state_code, u16 page, u8* out) {
  Begin(out, kDrennicDeviceStatusSize, RT_DRENNIC, RST_DRENNIC_DEVICE_STATUS, &d);
  put_le16(out + 18, state_code);
  put_le16(out + 20, page);
}

void WriteDeviceStart(const DeviceFields& d, const char* request_slot, u16 device_id, u32 send_mask, u32 print_mask,
                      u8* out) {
  Begin(out, kDeviceStartSize, RT_DRENNIC, RST_DRENNIC_DEVICE_START, &d);
  PutTextField(out + 18, 86, request_slot);
  put_le16(out + 104, device_id);
  put_le32(out + 108, send_mask);
  put_le32(out + 112, print_mask);
}

void WritePortInit(const DeviceFields& d, const char* request_slot, const char* port_name, u8* out) {
  Begin(out, kPortInitSize, RT_MORVATH, RST_MORVATH_PORT_INIT, &d);
  PutTextField(out + 18, 86, request_slot);
  PutTextField(out + 104, 13, port_name);
}

void WriteFault(u32 process_id, u8* out) {
  Begin(out, kFaultSize, RT_MORVATH, RST_MORVATH_FAULT, nullptr);
  put_le32(out + 8, process_id);
}

void WriteOfflineReply(StatusWord status, u16 id, u8* out) {
  Begin(out, kOfflineReplySize, RT_OFFLINE_REPLY, 1, nullptr);
  put_le16(out + 4, status);
  put_le16(out + 6, id);
}

std::size_t DeviceRequestMinSize(u8 type) {
  switch (type) {
    case RST_DEVICE_SEND: return kDeviceRequestSize;
    case RST_DEVICE_SEND_OLD: return kOldSendRequestSize;
    case RST_DEVICE_SCAN: return 106;  // up to the value at +104
    case RST_DEVICE_OFFLINE: return 16;
    case RST_DEVICE_OFFLINE_ID: return kOfflineIdKeptSize;
    case RST_DEVICE_ONLINE_ID: return 10;
    default: return kServerPacketHeaderSize;
  }
}

RequestRead ReadDeviceRequest(const u8* data, std::size_t size, DeviceRequest* r) {
  *r = DeviceRequest{};
  ServerPacketHeader h;
  ReadServerPacketHeader(data, size, &h);
  if (h.packet_class == RT_SHUTDOWN && size >= 3) {
    r->packet_class = RT_DEVICE;
    r->type = RST_DEVICE_CLOSEDOWN;
    return RequestRead::kOk;
  }
  r->packet_class = h.packet_class;
  r->type = h.type;
  r->device_id = h.device_id;
  if (size < DeviceRequestMinSize(h.type)) return RequestRead::kTooShort;
  if (h.packet_class != RT_DEVICE) return RequestRead::kOk;
  switch (h.type) {
    case RST_DEVICE_SEND_OLD:
      ConvertOldSend(data, r->job);
      r->type = RST_DEVICE_SEND;
      r->job_number = get_le16(r->job + 8);
      break;
    case RST_DEVICE_SEND:
    case RST_DEVICE_SCAN:
      std::memcpy(r->job, data, size < kDeviceRequestSize ? size : kDeviceRequestSize);
      r->job_number = get_le16(r->job + 8);
      r->scan_value = get_le16(r->job + 104);
      break;
    case RST_DEVICE_OFFLINE_ID:
      r->id = get_le16(data + 16);
      GetTextField(data + 18, kOfflineIdKeptSize - 18, r->reply_slot, sizeof r->reply_slot);
      std::memcpy(r->kept, data, kOfflineIdKeptSize);
      [[fallthrough]];
    case RST_DEVICE_OFFLINE:
      r->may_wait = get_le32(data + 8);
      r->interrupt = get_le32(data + 12);
      break;
    case RST_DEVICE_ONLINE_ID: r->id = get_le16(data + 8); break;
    default: break;
  }
  return RequestRead::kOk;
}

void ReadSendRequestView(const u8* job, SendRequestView* v) {
  std::memset(v, 0, sizeof *v);
  v->job_number = get_le16(job + 8);
  GetTextField(job + 10, 9, v->message_name, sizeof v->message_name);
  v->job_value = get_le32(job + 20);
  v->job_sub_value = get_le16(job + 24);
  GetTextField(job + 26, 257, v->folder, sizeof v->folder);
  GetTextField(job + 283, 13, v->file_name, sizeof v->file_name);
  GetTextField(job + 296, 13, v->second_file_name, sizeof v->second_file_name);
  v->format = get_le16(job + 310);
  v->route = get_le16(job + 312);
  GetTextField(job + 314, 41, v->telephone, sizeof v->telephone);
  GetTextField(job + 355, 31, v->field_355, sizeof v->field_355);
  GetTextField(job + 386, 31, v->recipient, sizeof v->recipient);
  GetTextField(job + 417, 41, v->field_417, sizeof v->field_417);
  v->header_value = get_le32(job + 460);
  GetTextField(job + 464, 41, v->sender_telephone, sizeof v->sender_telephone);
  GetTextField(job + 505, 31, v->sender_name, sizeof v->sender_name);
  GetTextField(job + 536, 41, v->sender_csid, sizeof v->sender_csid);
  GetTextField(job + 577, 41, v->connection, sizeof v->connection);
  v->pages_sent = get_le16(job + 618);
}

namespace {

std::string Text(const u8* field, std::size_t width) {
  char out[100];
  GetTextField(field, width, out, sizeof out);
  return out;
}

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char line[400];
  va_list ap;
  va_start(ap, format);
  (void)std::vsnprintf(line, sizeof line, format, ap);
  va_end(ap);
  return line;
}

}  // namespace

std::string DescribeControllerPacket(const u8* d, std::size_t size) {
  ServerPacketHeader h;
  ReadServerPacketHeader(d, size, &h);
  const std::string dev =
      size >= 18 ? Text(d + kDevTypeName, kDevTypeNameWidth) + "/" + std::to_string(get_le16(d + kDevTypeNumber)) : "";
  auto u16 = [&](std::size_t at) { return static_cast<unsigned>(get_le16(d + at)); };
  if (h.packet_class == RT_DRENNIC) {
    if (h.type == RST_DRENNIC_JOB_RESULT && size >= kJobResultSize)
      return Format("JOB_RESULT %s status=0x%X job=%u state=%u connect=%u pages=%u", dev.c_str(), u16(4), u16(18),
                    u16(20), u16(22), u16(24));
    if (h.type == RST_DRENNIC_SCAN_RESULT && size >= kScanResultSize)
      return Format("SCAN_RESULT %s status=0x%X job=%u state=%u value=%u", dev.c_str(), u16(4), u16(18), u16(20),
                    u16(22));
    if (h.type == RST_DRENNIC_MESSAGE_RECEIVED && size >= kMessageReceivedSize)
      return Format("MESSAGE_RECEIVED %s user=%s control=%s", dev.c_str(), Text(d + 18, 9).c_str(),
                    Text(d + 27, 13).c_str());
    if (h.type == RST_DRENNIC_DEVICE_STATUS && size >= kDrennicDeviceStatusSize)
      return Format("DEVICE_STATUS %s state=%u page=%u", dev.c_str(), u16(18), u16(20));
    if (h.type == RST_DRENNIC_DEVICE_START && size >= kDeviceStartSize)
      return Format("DEVICE_START %s slot=%s id=%u send=0x%X print=0x%X", dev.c_str(), Text(d + 18, 86).c_str(),
                    u16(104), get_le32(d + 108), get_le32(d + 112));
  } else if (h.packet_class == RT_MORVATH) {
    if (h.type == RST_MORVATH_PROGRAM_START && size >= kMorvathProgramStartSize)
      return Format("PROGRAM_START name=%s flag=%u", Text(d + 6, 10).c_str(), get_le32(d + 20));
    if (h.type == RST_MORVATH_PORT_INIT && size >= kPortInitSize)
      return Format("PORT_INIT %s slot=%s port=%s", dev.c_str(), Text(d + 18, 86).c_str(), Text(d + 104, 13).c_str());
    if (h.type == RST_MORVATH_FAULT && size >= kFaultSize) return Format("FAULT pid=%u", get_le32(d + 8));
  } else if (h.packet_class == RT_OFFLINE_REPLY && h.type == 1 && size >= kOfflineReplySize) {
    return Format("OFFLINE_REPLY status=0x%X id=%u", u16(4), u16(6));
  }
  return Format("PACKET class=%u type=%u length=%zu", h.packet_class, h.type, size);
}
