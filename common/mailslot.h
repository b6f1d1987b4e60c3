// Mailslot messaging of the server programs: creating the program's own
// mailslot, reading one packet from it and sending one packet to another
// program's mailslot.  Every message is one ServerPacket (server_packet.h).
//
// Slot names are given below the common root (the mailslot folder on this
// system): "TESSALY", "MORVATH", "DRENNIC", a device controller's request
// slot "<group>\<channel>" and its reply slot "F<group>\<channel>".
#pragma once

#include <cstdint>
#include <string>

#include "common/status_words.h"
#include "platform/int_types.h"

// A slot name has at most 228 characters (the root and the name must fit
// the 257-byte mailslot path), and its socket path must fit a socket address.
inline constexpr std::size_t kMailslotMaxName = 228;
inline constexpr u16 kMailslotMaxClass = 120;

struct MailslotHandle {
  int fd = -1;
  u16 owner = 0;     // the owner word given to MsgMakePipe
  std::string path;  // socket path (for messages and clean-up)
  bool reader = false;
  bool valid() const { return fd >= 0; }
};

// Sends one packet of `length` bytes (3..1000) to `slot_name`, storing the
// length in the packet's first u16.  0xF001 for a class argument above 120,
// a bad length, non-zero flags or a bad name; 0xF023 at once when the slot
// does not exist; a full slot is retried every 500 ms for 10 seconds, then
// 0xF00C.
StatusWord MsgSendRequest(const char* slot_name, u16 class_argument, u8* packet, u16 length, u32 flags);

// Creates the program's own mailslot, writable by every local account.
// 0xF001 for a bad or too long name; 0xF00C when it cannot be created, also
// when another live process holds it.
StatusWord MsgMakePipe(const char* slot_name, u16 owner, MailslotHandle* handle);

// Closes the program's own mailslot and removes its name.
void MsgClosePipe(MailslotHandle* handle);

// Reads the next valid packet into `buffer`: a message larger than the
// buffer, or whose byte count differs from its own length field, is logged
// "Invalid packet received - ignored" and skipped.  Returns 0 with the length
// in `length`, 232 when nothing (valid) is waiting (buffer untouched), 0xF001
// for a buffer size of 0, 0xF00C when the slot cannot be read.
StatusWord MsgReadRequest(const MailslotHandle& handle, u8* buffer, u16 buffer_size, u16* length);

// The steps of MsgSendRequest.  OpenMailslot waits up to `missing_timeout`
// seconds (in 500 ms steps) for a slot that does not exist yet; 0 returns
// 0xF023 at once.  WriteData retries a full slot every 500 ms for 10 seconds
// (then 0xF00C) and a slot whose reader went away until `timeout` seconds
// have passed (then 0xF023).
StatusWord OpenMailslot(u16 missing_timeout, const char* slot_name, MailslotHandle* handle);
StatusWord WriteData(u16 timeout, const MailslotHandle& handle, const u8* packet, u16 length);
void CloseMailslot(MailslotHandle* handle);

// Trace switches (off unless the program switches them on).
void MsgSetSendTrace(bool on);
void MsgSetMakePipeTrace(bool on);
