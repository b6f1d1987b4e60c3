// Packets between the device controller and the fax server's DRENNIC
// (queue manager) and MORVATH (system manager).  Little-endian ServerPackets;
// every layout is written and read here only.
//
// To DRENNIC (class RT_DRENNIC 1), each with the device fields +6 char[10]
// device type name and +16 u16 device type number:
//   6 JOB_RESULT       26  +4 status, +18 job, +20 state code, +22 connect s, +24 pages
//   7 SCAN_RESULT      24  +4 status, +18 job, +20 state code, +22 value
//   8 MESSAGE_RECEIVED 40  +18 char[9] user, +27 char[13] control file name
//   9 DEVICE_STATUS    22  +18 state code, +20 page
//  10 DEVICE_START    116  +18 char[86] request slot, +104 DeviceId,
//                          +108 u32 send-route mask, +112 u32 print mask
// To MORVATH (class RT_MORVATH 6): 3 PROGRAM_START (tessaly_packets.h),
//   5 PORT_INIT 118  +6 char[10] type name, +16 u16 type number,
//                    +18 char[86] request slot, +104 char[13] port name
//   7 FAULT      12  +8 u32 process id
// Offline reply (class 8, type 1, 8 bytes): +4 status, +6 the request's id.
//
// Requests to the controller (class RT_DEVICE 2, or RT_SHUTDOWN 99), +6 the
// addressed device id (0 = any):
//   send (11, 620 bytes), old send (5, 424 bytes, converted to 11), scan (6,
//   620 bytes), offline (7: +8 u32 may wait, +12 u32 interrupt), offline with
//   id (9: as 7, +16 u16 id, +18 char[14] reply slot), online (8), online
//   with id (10: +8 u16 id), closedown (2), abort (3), initialise (1),
//   status enquiry (4).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/int_types.h"
#include "common/status_words.h"

inline constexpr u8 RT_DRENNIC = 1;
inline constexpr u8 RT_DEVICE = 2;
inline constexpr u8 RT_OFFLINE_REPLY = 8;

enum DrennicPacketType : u8 {
  RST_DRENNIC_JOB_RESULT = 6,
  RST_DRENNIC_SCAN_RESULT = 7,
  RST_DRENNIC_MESSAGE_RECEIVED = 8,
  RST_DRENNIC_DEVICE_STATUS = 9,
  RST_DRENNIC_DEVICE_START = 10,
};
inline constexpr u8 RST_MORVATH_PORT_INIT = 5;
inline constexpr u8 RST_MORVATH_FAULT = 7;

enum DeviceRequestType : u8 {
  RST_DEVICE_INITIALISE = 1,
  RST_DEVICE_CLOSEDOWN = 2,
  RST_DEVICE_ABORT = 3,
  RST_DEVICE_STATUS_ENQUIRY = 4,
  RST_DEVICE_SEND_OLD = 5,
  RST_DEVICE_SCAN = 6,
  RST_DEVICE_OFFLINE = 7,
  RST_DEVICE_ONLINE = 8,
  RST_DEVICE_OFFLINE_ID = 9,
  RST_DEVICE_ONLINE_ID = 10,
  RST_DEVICE_SEND = 11,
};

inline constexpr std::size_t kJobResultSize = 26;
inline constexpr std::size_t kScanResultSize = 24;
inline constexpr std::size_t kMessageReceivedSize = 40;
inline constexpr std::size_t kDrennicDeviceStatusSize = 22;
inline constexpr std::size_t kDeviceStartSize = 116;
inline constexpr std::size_t kPortInitSize = 118;
inline constexpr std::size_t kFaultSize = 12;
inline constexpr std::size_t kOfflineReplySize = 8;
inline constexpr std::size_t kDeviceRequestSize = 620;  // the request buffer
inline constexpr std::size_t kOldSendRequestSize = 424;
inline constexpr std::size_t kOfflineIdKeptSize = 32;  // what is kept of an offline-with-id request

// The device fields of every packet to DRENNIC and of the port init.
struct DeviceFields {
  const char* type_name = "FOIP";
  u16 type_number = 0;
};

void WriteJobResult(const DeviceFields& d, StatusWord status, u16 job, u16 state_code, u16 connect_seconds, u16 pages,
                    u8* out);
void WriteScanResult(const DeviceFields& d, StatusWord status, u16 job, u16 state_code, u16 value, u8* out);
void WriteMessageReceived(const DeviceFields& d, const char* user, const char* control_file, u8* out);
void WriteDrennicDeviceStatus(const DeviceFields& d, u16 state_code, u16 page, u8* out);
void WriteDeviceStart(const DeviceFields& d, const char* request_slot, u16 device_id, u32 send_mask, u32 print_mask,
                      u8* out);
void WritePortInit(const DeviceFields& d, const char* request_slot, const char* port_name, u8* out);
void WriteFault(u32 process_id, u8* out);
void WriteOfflineReply(StatusWord status, u16 id, u8* out);

// One line describing a packet the controller writes to DRENNIC, MORVATH or
// an offline reply slot, field by field, e.g.
//   "JOB_RESULT FOIP/5 status=0xF101 job=7 state=3 connect=0 pages=0".
// A packet shorter than its layout, or unknown, is described by its header.
std::string DescribeControllerPacket(const u8* data, std::size_t size);

// A request as read from the request slot.
struct DeviceRequest {
  u8 packet_class = 0;
  u8 type = 0;
  u16 device_id = 0;
  // send and scan: the whole request in the send layout (an old send is
  // converted), zero-filled behind what arrived.
  u8 job[kDeviceRequestSize] = {};
  u16 job_number = 0;
  u16 scan_value = 0;  // +104 of a scan request
  // offline / online
  u32 may_wait = 0;
  u32 interrupt = 0;
  u16 id = 0;                        // offline with id: +16; online with id: +8
  char reply_slot[15] = "";          // offline with id: +18
  u8 kept[kOfflineIdKeptSize] = {};  // offline with id: its first bytes
};

enum class RequestRead {
  kOk,
  kTooShort,  // shorter than its type's layout: dropped
};

// Reads `size` bytes of a request.  Class 99 becomes a closedown (class 2,
// type 2, device id 0) whatever its length.  A packet of another class or an
// unknown type is read by its header only.
[[nodiscard]] RequestRead ReadDeviceRequest(const u8* data, std::size_t size, DeviceRequest* r);

// The minimum length of a request type (8 for types without fields).
std::size_t DeviceRequestMinSize(u8 type);

// Fields of the send request used by the send path (offsets of the layout).
struct SendRequestView {
  u16 job_number;
  char message_name[10];
  u32 job_value;
  u16 job_sub_value;
  char folder[258];
  char file_name[14];
  char second_file_name[14];
  u16 format;
  u16 route;
  char telephone[42];
  char field_355[32];
  char recipient[32];
  char field_417[42];
  u32 header_value;
  char sender_telephone[42];
  char sender_name[32];
  char sender_csid[42];
  char connection[42];
  u16 pages_sent;
};
void ReadSendRequestView(const u8* job, SendRequestView* v);
