// The fax-server link: the request slot "TESSALY", the handlers of the
// device controllers' requests, and the writers of the packets sent back to
// a controller's reply slot.
//
// Everything here runs in the main thread.  Each request is handled holding
// the application lock, so the application entity (SM thread) never meets a
// handler on a session record or device entry.
//
// Requests are checked before use: a packet of class RT_TESSALY must have
// exactly its type's length (a shutdown 6 bytes or more; class 99 any
// length), and its texts are terminated by the packet readers.  Anything
// else is logged "Invalid packet received" and dropped.
//
// A send waits for its session's start mark without holding up the loop:
// when the mark is not there at once the send is kept pending and looked at
// on every pass (ServicePendingSends); after 60 s it is aborted and left
// unanswered (the controller fails it by its own time-out).
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/int_types.h"
#include "common/status_words.h"
#include "common/tessaly_packets.h"
#include "session/config/foip_param.h"

inline constexpr u16 kDispatchShutdown = 99;
inline constexpr u32 kSendStartWaitMs = 60000;
// How long a send waits for its start mark (kSendStartWaitMs unless set).
void SetSendStartWait(u32 ms);

int InitialisePipeInterface();
void DestroyPipeInterface();
bool PipeInterfaceValid();

// Reads and handles every waiting request; 99 when a shutdown request was
// read (the packets behind it stay in the slot), else 0.
u16 ProcessDeviceControllerRequests();
// Handles one packet as read from the slot (`size` bytes); 99 for a shutdown.
u16 DispatchPacket(const u8* packet, std::size_t size);

StatusWord ProcessRegisterDeviceController(const RegisterDevicePacket& p);
// 0 answered now; kSendPending when the start mark is awaited; else refused.
inline constexpr StatusWord kSendPending = 0xFFFE;
StatusWord ProcessSendFax(const SendFaxPacket& p);
StatusWord ProcessReceiveFax(const RecvFaxPacket& p);
StatusWord ProcessAbortFax(u16 device_id);
StatusWord ProcessDeviceStatus(u16 device_id, u16 receive_enabled);
// Rereads the SIP gateway of "[TESSALY]" in the system folder's SETUP.INI into
// a session's parameters before its send.  A value that is no IPv4 address
// (four decimal numbers 0 to 255) or no port (1 to 65535) is logged at level 5
// and leaves the parameter as it was.
void ReadGatewaySettings(foip__session_param& param);

// Looks at the pending sends (start mark, stop mark, 60 s limit).  `now_ms`
// is a monotonic clock in ms.
void ServicePendingSends(u64 now_ms);
std::size_t PendingSendCount();
void ClearPendingSends();

// Ends every session (serving the slot while they end, at most `max_passes`
// passes `pause_ms` apart), then asks the application to exit and closes the
// slot.  0 or 0xF000.
StatusWord ProcessTESSALYShutdown(int max_passes = 30, unsigned pause_ms = 1000);

StatusWord SendFaxStatusPacket(u16 device_id, u16 kind, const char* text, int text_length, u16 value);
StatusWord SendReceiveConnectedPacket(u16 device_id, const char* remote_csid, const char* did);
StatusWord SendRingInPacket(u16 device_id, const char* called, const char* caller_number, const char* caller_address);

u16 GetAcuErrorCode(u8 cause);
u16 GetSipErrorCode(u16 status);

// Monotonic milliseconds of the host.
u64 HostNowMs();
