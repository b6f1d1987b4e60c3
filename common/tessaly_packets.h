// Packets between a device controller (marrock) and the fax-over-IP manager
// (tessaly), and the program-start packet both programs send to MORVATH.
// Every packet is a ServerPacket (server_packet.h): little-endian, packed,
// status 0, device id at +6 the DeviceId of the device controller concerned.
//
// Requests, class RT_TESSALY (10), from the controller to the slot "TESSALY":
//   1 REGISTER_DEVICE  94 bytes  +8 char[86] reply slot name
//   2 SEND_FAX        464 bytes  +8 char[9] message name, +20 i32, +24 i16 job
//                                values, +26 char[257] folder, +283 char[13]
//                                file name, +296 char[41] telephone number,
//                                +337 char[31] recipient, +368 u16 pages,
//                                +370 char[40] sender number, +410 char[31]
//                                sender name, +441 char[20] sender CSID
//   3 RECV_FAX        284 bytes  +8 char[257] folder, +265 char[13] file name,
//                                +280 u32 accept (1 take the call)
//   4 ABORT_FAX         8 bytes
//   5 DEVICE_STATUS    10 bytes  +8 u16 receive enabled
//   6 SHUTDOWN          8 bytes (6 or more are accepted)
// Replies and events, class RT_TESSALY_REPLY (11), to the reply slot:
//   1 FaxStatusPacket        268 bytes  +8 u16 kind, +10 u16 value,
//                                       +12 char[256] text
//   2 ReceiveConnectedPacket  90 bytes  +8 char[41] remote CSID, +49 char[41] DID
//   3 RingInPacket           112 bytes  +8 char[31] called name or number,
//                                       +39 char[41] caller's fax number,
//                                       +80 char[31] caller's IP address
//
// Writers cut a text to its field less one byte and always end it with NUL.
// Readers take a text up to its first NUL or the end of its field (a full
// field without NUL is kept whole) and always terminate the copy; a reader
// fails, leaving the record untouched, when the packet is shorter than its
// layout or of another class or type.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/server_packet.h"
#include "platform/int_types.h"

inline constexpr u8 RT_TESSALY_REPLY = 11;

enum TessalyRequestType : u8 {
  RST_TESSALY_REGISTER_DEVICE = 1,
  RST_TESSALY_SEND_FAX = 2,
  RST_TESSALY_RECV_FAX = 3,
  RST_TESSALY_ABORT_FAX = 4,
  RST_TESSALY_DEVICE_STATUS = 5,
  RST_TESSALY_SHUTDOWN = 6,
};

enum TessalyReplyType : u8 {
  TESSALY_FAX_STATUS = 1,
  TESSALY_RECEIVE_CONNECTED = 2,
  TESSALY_RING_IN = 3,
};

// Status kinds of a FaxStatusPacket.
enum FaxStatusKind : u16 {
  FAX_STATUS_REQUEST_DONE = 0,
  FAX_STATUS_REQUEST_FAILED = 1,
  FAX_STATUS_FAX_SENT = 2,
  FAX_STATUS_FAX_RECEIVED = 3,
  FOIP_STATUS_FAX_NOT_SENT = 4,
  FAX_STATUS_CONNECTED = 7,
  FOIP_STATUS_FAX_NOT_CONNECTED = 8,
  FAX_STATUS_FAX_NOT_RECEIVED = 9,
  FAX_STATUS_PAGE_SENT = 10,
  FAX_STATUS_PAGE_RECEIVED = 11,
  FAX_STATUS_SESSION_LOST = 15,
  FAX_STATUS_CALL_CONNECTED = 17,
};

inline constexpr std::size_t kRegisterDeviceSize = 94;
inline constexpr std::size_t kSendFaxSize = 464;
inline constexpr std::size_t kRecvFaxSize = 284;
inline constexpr std::size_t kAbortFaxSize = 8;
inline constexpr std::size_t kDeviceStatusSize = 10;
inline constexpr std::size_t kShutdownSize = 8;
inline constexpr std::size_t kShutdownMinSize = 6;
inline constexpr std::size_t kFaxStatusSize = 268;
inline constexpr std::size_t kReceiveConnectedSize = 90;
inline constexpr std::size_t kRingInSize = 112;
inline constexpr std::size_t kMorvathProgramStartSize = 24;
// The largest packet of the conversation (a reader's buffer).
inline constexpr std::size_t kTessalyRequestMaxSize = kSendFaxSize;
inline constexpr std::size_t kTessalyReplyMaxSize = kFaxStatusSize;

struct RegisterDevicePacket {
  u16 device_id = 0;
  char reply_slot[87] = "";
};

struct SendFaxPacket {
  u16 device_id = 0;
  char message_name[10] = "";
  i32 job_number = 0;
  i16 job_sub_number = 0;
  char folder[258] = "";
  char file_name[14] = "";
  char telephone[42] = "";
  char recipient[32] = "";
  u16 pages = 0;
  char sender_telephone[41] = "";
  char sender_name[32] = "";
  char sender_csid[21] = "";
};

struct RecvFaxPacket {
  u16 device_id = 0;
  char folder[258] = "";
  char file_name[14] = "";
  u32 accept = 0;
};

struct FaxStatusPacket {
  u16 device_id = 0;
  u16 kind = 0;
  u16 value = 0;
  char text[257] = "";
};

struct ReceiveConnectedPacket {
  u16 device_id = 0;
  char remote_csid[42] = "";
  char did[42] = "";
};

struct RingInPacket {
  u16 device_id = 0;
  char called[32] = "";
  char caller_number[42] = "";
  char caller_address[32] = "";
};

// Writers: fill exactly the packet's size (`out` must hold it), the length
// field included; return that size.
std::size_t WriteRegisterDevice(const RegisterDevicePacket& p, u8* out);
std::size_t WriteSendFax(const SendFaxPacket& p, u8* out);
std::size_t WriteRecvFax(const RecvFaxPacket& p, u8* out);
std::size_t WriteAbortFax(u16 device_id, u8* out);
std::size_t WriteDeviceStatus(u16 device_id, u16 receive_enabled, u8* out);
std::size_t WriteShutdown(u16 device_id, u8* out);
std::size_t WriteFaxStatus(const FaxStatusPacket& p, u8* out);
std::size_t WriteReceiveConnected(const ReceiveConnectedPacket& p, u8* out);
std::size_t WriteRingIn(const RingInPacket& p, u8* out);

// Readers: true when `size` bytes hold the whole layout of that packet.
[[nodiscard]] bool ReadRegisterDevice(const u8* data, std::size_t size, RegisterDevicePacket* p);
[[nodiscard]] bool ReadSendFax(const u8* data, std::size_t size, SendFaxPacket* p);
[[nodiscard]] bool ReadRecvFax(const u8* data, std::size_t size, RecvFaxPacket* p);
[[nodiscard]] bool ReadDeviceStatus(const u8* data, std::size_t size, u16* receive_enabled);
[[nodiscard]] bool ReadFaxStatus(const u8* data, std::size_t size, FaxStatusPacket* p);
[[nodiscard]] bool ReadReceiveConnected(const u8* data, std::size_t size, ReceiveConnectedPacket* p);
[[nodiscard]] bool ReadRingIn(const u8* data, std::size_t size, RingInPacket* p);

// Program start to MORVATH (class RT_MORVATH, type 3, 24 bytes): +6 the
// program name cut to `max_chars` characters (at most 10) and NUL-ended,
// +16 u8 0, +20 u32 1.  The device controller
// gives its console title and 10, tessaly "TESSALY" and 8 (ending by +14).
inline constexpr u8 RST_MORVATH_PROGRAM_START = 3;
std::size_t WriteMorvathProgramStart(const char* name, std::size_t max_chars, u8* out);

// Bounded text fields, shared by the packet modules of both programs.
// Copies at most width - 1 characters of `text` into the field and pads it
// with NULs.
void PutTextField(u8* field, std::size_t width, const char* text);
// Copies the field up to its first NUL (or all `width` bytes) into `out`
// of `out_size` bytes (at least width + 1 to keep a full field), always
// terminated.
void GetTextField(const u8* field, std::size_t width, char* out, std::size_t out_size);
