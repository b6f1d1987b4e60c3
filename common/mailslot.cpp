#include "common/mailslot.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "common/byte_order.h"
#include "common/program_log.h"
#include "common/server_packet.h"
#include "platform/mailslot.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kRetryStep = std::chrono::milliseconds(500);
constexpr auto kBusyLimit = std::chrono::seconds(10);
constexpr unsigned kSharingViolation = 0x20;  // reported for a slot that stays full
constexpr unsigned kFileNotFound = 2;         // reported for a reader that went away

std::atomic<bool> g_send_trace{false};
std::atomic<bool> g_make_trace{false};

bool NameUsable(const char* slot_name) { return slot_name && *slot_name && std::strlen(slot_name) <= kMailslotMaxName; }

}  // namespace

void MsgSetSendTrace(bool on) { g_send_trace.store(on); }
void MsgSetMakePipeTrace(bool on) { g_make_trace.store(on); }

StatusWord OpenMailslot(u16 missing_timeout, const char* slot_name, MailslotHandle* handle) {
  if (!handle || !NameUsable(slot_name)) return STATUS_BAD_ARGUMENT;
  std::string path;
  if (!platform::MailslotPath(slot_name, &path).ok()) return STATUS_BAD_ARGUMENT;
  const auto start = Clock::now();
  for (;;) {
    int fd = -1;
    const platform::MailslotStatus st = platform::MailslotOpenWriter(slot_name, &fd);
    if (st.ok()) {
      handle->fd = fd;
      handle->owner = 0;
      handle->path = path;
      handle->reader = false;
      return STATUS_OK;
    }
    if (st.code == platform::MailslotCode::kMissing) {
      if (missing_timeout == 0 || Clock::now() - start >= std::chrono::seconds(missing_timeout)) {
        return STATUS_MAILSLOT_MISSING;
      }
      std::this_thread::sleep_for(kRetryStep);
      continue;
    }
    LogMessage(5, "Error 0x%X opening mailslot %s", static_cast<unsigned>(st.error), path.c_str());
    return STATUS_IO_FAILURE;
  }
}

StatusWord WriteData(u16 timeout, const MailslotHandle& handle, const u8* packet, u16 length) {
  const auto start = Clock::now();
  for (;;) {
    const platform::MailslotStatus st = platform::MailslotWrite(handle.fd, packet, length);
    if (st.ok()) return STATUS_OK;
    const auto waited = Clock::now() - start;
    if (st.code == platform::MailslotCode::kBusy) {
      if (waited < kBusyLimit) {
        std::this_thread::sleep_for(kRetryStep);
        continue;
      }
      LogMessage(5, "Error 0x%X opening mailslot %s", kSharingViolation, handle.path.c_str());
      return STATUS_IO_FAILURE;
    }
    if (st.code == platform::MailslotCode::kMissing) {
      if (timeout == 0 || waited >= std::chrono::seconds(timeout)) {
        LogMessage(5, "Error 0x%X opening mailslot in WriteData.", kFileNotFound);
        return STATUS_MAILSLOT_MISSING;
      }
      std::this_thread::sleep_for(kRetryStep);
      continue;
    }
    LogMessage(5, "Unable to write complete message to mailslot (%d/%d)", 0, static_cast<int>(length));
    return STATUS_IO_FAILURE;
  }
}

void CloseMailslot(MailslotHandle* handle) {
  if (!handle || !handle->valid()) return;
  platform::MailslotClose(handle->fd);
  handle->fd = -1;
}

StatusWord MsgSendRequest(const char* slot_name, u16 class_argument, u8* packet, u16 length, u32 flags) {
  if (class_argument > kMailslotMaxClass || length < kServerPacketMinLength || length > kServerPacketMaxLength ||
      flags != 0 || !packet) {
    return STATUS_BAD_ARGUMENT;
  }
  put_le16(packet + kServerPacketLengthOffset, length);

  MailslotHandle handle;
  StatusWord st = OpenMailslot(0, slot_name, &handle);
  if (st != STATUS_OK) {
    if (g_send_trace.load()) LogMessage(5, "MsgSendRequest() - error 0x%X opening queue", st);
    return st;
  }
  st = WriteData(0, handle, packet, length);
  if (st != STATUS_OK) {
    if (g_send_trace.load()) LogMessage(5, "MsgSendRequest() - error 0x%X writing request", st);
    CloseMailslot(&handle);
    return st;
  }
  if (g_send_trace.load()) LogMessage(3, "MsgSendRequest() - request sent to '%s'", slot_name);
  CloseMailslot(&handle);
  return STATUS_OK;
}

StatusWord MsgMakePipe(const char* slot_name, u16 owner, MailslotHandle* handle) {
  if (!handle || !NameUsable(slot_name)) return STATUS_BAD_ARGUMENT;
  std::string path;
  if (!platform::MailslotPath(slot_name, &path).ok()) return STATUS_BAD_ARGUMENT;
  int fd = -1;
  const platform::MailslotStatus st = platform::MailslotCreate(slot_name, &fd);
  if (!st.ok()) {
    LogMessage(5, "MsgMakePipe() - error 0x%X creating mailslot '%s'", static_cast<unsigned>(st.error), path.c_str());
    return STATUS_IO_FAILURE;
  }
  handle->fd = fd;
  handle->owner = owner;
  handle->path = path;
  handle->reader = true;
  if (g_make_trace.load()) LogMessage(3, "MsgMakePipe() - created queue '%s'", path.c_str());
  return STATUS_OK;
}

void MsgClosePipe(MailslotHandle* handle) {
  if (!handle || !handle->valid()) return;
  platform::MailslotClose(handle->fd, handle->reader ? handle->path : std::string());
  handle->fd = -1;
}

StatusWord MsgReadRequest(const MailslotHandle& handle, u8* buffer, u16 buffer_size, u16* length) {
  if (buffer_size == 0 || !buffer) return STATUS_BAD_ARGUMENT;
  // Messages are read into a scratch buffer so that a skipped one leaves the
  // caller's buffer untouched.
  std::vector<u8> scratch(buffer_size);
  for (;;) {
    std::size_t next = 0;
    platform::MailslotStatus st = platform::MailslotNextSize(handle.fd, &next);
    if (st.code == platform::MailslotCode::kEmpty) return STATUS_NOTHING_WAITING;
    if (!st.ok()) return STATUS_IO_FAILURE;

    if (next > buffer_size) {
      LogMessage(5, "Invalid packet received - ignored");
      if (!platform::MailslotDiscard(handle.fd).ok()) {
        LogMessage(5, "Unable to read from mailslot");
        return STATUS_IO_FAILURE;
      }
      continue;
    }
    std::size_t got = 0;
    st = platform::MailslotRead(handle.fd, scratch.data(), scratch.size(), &got);
    if (st.code == platform::MailslotCode::kEmpty) return STATUS_NOTHING_WAITING;
    if (!st.ok()) {
      LogMessage(5, "Unable to read request");
      return STATUS_IO_FAILURE;
    }
    if (got >= 2 && get_le16(scratch.data()) == got) {
      std::memcpy(buffer, scratch.data(), got);
      if (length) *length = static_cast<u16>(got);
      return STATUS_OK;
    }
    LogMessage(5, "Invalid packet received - ignored");
  }
}
