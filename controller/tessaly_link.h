// The device controller's link to tessaly: the reply slot, the registration,
// requests and the wait for their answers, the fax status packets, the
// FOIPStatus word that tracks where the fax in hand stands on tessaly's side,
// and the device operations built on them (initialise, cancel, closedown).
//
// Slots: the reply slot is "F" + the request slot name ("FFOIP\G1\3"), so
// that channels of different groups never share one.
//
// FOIPStatus moves (the send and receive jobs cause the steps):
//   send:    READY -> WAIT PAGE DATA -> WRITING TIFF -> DOCUMENT COMPLETE
//            -> DIALLED -> HANDED OVER -> READY
//   receive: READY -> RECEIVING -> FAX RECEIVED or FAX NOT RECEIVED
//            -> POST PROCESSING -> READY
// and back to READY from anywhere on a registration, a cancel or a time-out.
#pragma once

#include <cstddef>
#include <cstdio>

#include "common/mailslot.h"
#include "common/tessaly_packets.h"
#include "controller/controller_context.h"
#include "controller/device_states.h"

class FaxServerLink;

// FOIPStatus values.
enum FoipStatusValue : u16 {
  FOIP_READY = 1,
  FOIP_WAIT_PAGE_DATA = 2,
  FOIP_WRITING_TIFF = 3,
  FOIP_DOCUMENT_COMPLETE = 4,
  FOIP_DIALLED = 5,
  FOIP_HANDED_OVER = 6,
  FOIP_RECEIVING = 8,
  FOIP_FAX_RECEIVED = 9,
  FOIP_FAX_NOT_RECEIVED = 10,
  FOIP_STATUS_FAX_POST_PROCESSING = 12,
};

// Connection kinds of the device (MakeConnection).
enum ConnectionKind : int {
  kConnectNone = 0,
  kConnectHostToRemote = 11,
  kConnectHostToPrint = 12,
  kConnectRemoteToHost = 13,
  kConnectRemoteToHostNoUser = 14,
  kConnectScanToHost = 15,
};
// MakeConnection's result when the data must come first.
inline constexpr int kDataFirst = 17;

// Sizes of the call fields (text and terminator).
inline constexpr std::size_t kDidSize = 61;
inline constexpr std::size_t kCallerNumberSize = 21;
inline constexpr std::size_t kRemoteCsidSize = 21;

// Send information of the fax in hand.
struct SendFOIPInfo {
  char message_name[10] = "";
  i32 job_number = 0;
  i16 job_sub_number = 0;
  char telephone[42] = "";
  char recipient[32] = "";
  char sender_telephone[41] = "";
  char sender_name[32] = "";
  char sender_csid[21] = "";
  u16 pages = 0;
};

// What the link asks of the jobs above it.
class JobFiles {
 public:
  virtual ~JobFiles() = default;
  // True while a send or receive job is in hand.
  [[nodiscard]] virtual bool JobInHand() const = 0;
  // Removes the temporary files of the fax in hand (a cancelled fax).
  virtual void DeleteTemporaryFaxFiles() = 0;
};

class TessalyLink {
 public:
  // CheckTESSALYPackets' result when a packet was stored as the last
  // packet for a waiting caller; HandleTessalyPacket's when the next packet
  // is to be read.
  static constexpr int kPacketStored = 1;
  static constexpr int kReadOn = -1;

  TessalyLink(ControllerContext& ctx, FaxServerLink& fax_server, JobFiles& jobs)
      : ctx_(ctx), fax_server_(fax_server), jobs_(jobs) {}
  ~TessalyLink();
  TessalyLink(const TessalyLink&) = delete;
  TessalyLink& operator=(const TessalyLink&) = delete;

  int reply_fd() const { return reply_handle_.fd; }

  // --- device operations ---
  int InitialiseDevice(int kind);
  int InitialiseFOIPDevice(int kind);
  int CancelJob();
  int ClosedownDevice();
  // The offline and online steps of an offline request.
  int DeviceOffline() { return ClosedownDevice(); }
  int DeviceOnline() { return InitialiseDevice(4); }
  void WaitForJobToFinish();
  void TidyUpOnClosedown();

  // --- requests and answers ---
  int InitTESSALYMessagePipe();
  int RegisterDeviceWithTESSALY();
  int SendPacketToTESSALY(u8* packet, u16 length);
  int WaitForTESSALYPacketResponse(int expected_type, bool abort);
  int CheckTESSALYPackets();
  // Handles one packet of the reply slot: returns kReadOn to go on reading,
  // else CheckTESSALYPackets' result.
  int HandleTessalyPacket(const u8* data, std::size_t size);
  int CheckRingIn();
  int ProcessFaxStatusPacket(const FaxStatusPacket& p);
  int FOIPErrorToPERC(StatusWord status);
  int SendReceiveStatusToTESSALY(int wanted);
  int SendAbortToTESSALY();
  int SendFaxToTESSALY(const char* folder, const char* file_name, u16 pages);
  int ProcessRingIn(bool accept);
  int ReRegisterIfRequired(int result);
  int WaitForSendConnectedFromTESSALY();
  int WaitForReceiveConnectedFromTESSALY();
  void TakeReceiveConnectedInfo();
  // True when the process holding "TESSALY" is not the one this device
  // registered with (it ended, or another one started since).
  bool TessalyLost();
  // Idle check: a tessaly that started since the registration gets the
  // registration again at once; one that is gone is waited for.
  void CheckTessalyHolder();

  // --- send information ---
  void SetFOIPSendInfo(const SendFOIPInfo& info);
  void AddToFOIPSendInfo(const char* telephone, const char* sender_csid);

  // --- state ---
  void SetFOIPStatus(FoipStatusValue value);
  FoipStatusValue foip_status() const { return foip_status_; }
  const char* reply_slot() const { return reply_slot_; }
  bool ring_in() const { return ring_in_flag_; }
  bool reregistration_required() const { return reregister_; }
  const RingInPacket& ring_in_record() const { return ring_in_record_; }
  // The last class-11 packet (fax status, receive connected or ring-in).
  const u8* last_packet() const { return last_packet_; }
  std::size_t last_packet_size() const { return last_packet_size_; }
  void ForgetLastPacket() { last_packet_[kServerPacketTypeOffset] = 0; }
  void ClearLastPacket() {
    ForgetLastPacket();
    last_packet_size_ = 0;
  }
  // The tessaly that held the job in hand has gone.
  bool tessaly_went() const { return tessaly_went_; }
  void clear_tessaly_went() { tessaly_went_ = false; }
  // Pages tessaly reported received, and the last page it reported sent.
  u16 received_pages() const { return received_pages_; }
  void set_received_pages(u16 pages) { received_pages_ = pages; }
  u16 pages_confirmed() const { return pages_confirmed_; }
  void clear_pages_confirmed() { pages_confirmed_ = 0; }
  // The receive file tessaly writes (in the temporary receive folder).
  const char* receive_file() const { return receive_file_; }
  ConnectionKind connection_kind() const { return connection_kind_; }
  void set_connection_kind(ConnectionKind kind) { connection_kind_ = kind; }

  // --- fields of the call in hand ---
  char* did() { return did_; }
  char* remote_csid() { return remote_csid_; }
  char* caller_number() { return caller_number_; }
  const char* sub_address() const { return sub_address_; }
  void ClearCallFields();

 private:
  int ConnectWaitFailed();
  void StoreLastPacket(const u8* data, std::size_t size);
  void StoreStatus(const FaxStatusPacket& p);

  ControllerContext& ctx_;
  FaxServerLink& fax_server_;
  JobFiles& jobs_;

  MailslotHandle reply_handle_;
  char reply_slot_[100] = "";
  FoipStatusValue foip_status_ = FOIP_READY;
  ConnectionKind connection_kind_ = kConnectNone;
  bool request_in_progress_ = false;
  bool reregister_ = false;
  bool registering_ = false;
  u64 tessaly_holder_ = 0;  // who held "TESSALY" at the last registration
  bool tessaly_missing_logged_ = false;
  bool tessaly_went_ = false;
  bool ring_in_flag_ = false;
  u8 last_packet_[kTessalyReplyMaxSize] = {};
  std::size_t last_packet_size_ = 0;
  RingInPacket ring_in_record_;
  SendFOIPInfo send_info_;
  u16 received_pages_ = 0;
  u16 pages_confirmed_ = 0;
  char did_[kDidSize] = "";
  char sub_address_[kDidSize] = "";
  char caller_number_[kCallerNumberSize] = "";
  char remote_csid_[kRemoteCsidSize] = "";
  char receive_file_[16] = "";
};
