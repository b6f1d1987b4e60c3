// The device table: one DeviceEntry per device controller (marrock process)
// that registered with RST_TESSALY_REGISTER_DEVICE.  An entry binds the
// controller's DeviceId and reply slot to one application session (ids 1 to
// 19), records whether it takes incoming calls, holds the incoming call that
// waits for its answer and carries the flags from which the application
// chooses its final status packets.
//
// Locking: the table is shared by the main thread (dispatcher, watchdog) and
// the SM thread (the application's link hooks).  Every function here takes
// the application lock (app_foip__lock, recursive); a caller that keeps an
// entry pointer must hold that lock for as long as it uses it.
//
// Reclaiming entries: a controller that restarts comes back with a new
// DeviceId but the same reply slot name (the slot is its channel).  Its
// registration takes over the entry that holds that slot name (keeping the
// session id, aborting a session still running there), so the table holds
// at most one entry per channel and restarts never fill it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/int_types.h"
#include "common/status_words.h"
#include "common/tessaly_packets.h"
#include "runtime/msg.h"
#include "session/foip/app_foip_prim.h"

inline constexpr std::size_t kMaxDeviceEntries = 199;
inline constexpr u16 kNoSession = 0xFFFF;
inline constexpr int kWatchdogLimitDefault = 1500;  // ticks (seconds) without an event

// Abort states of an entry.
enum : i32 {
  ABORT_NONE = -1,
  ABORT_BY_CONTROLLER = 0,
  ABORT_SEND_NOT_STARTED = 1,  // no start within 60 s, or registered again during a session
  ABORT_CALL_SETUP_FAILED = 2,
  ABORT_WATCHDOG = 4,
};

// Addressing fields of the incoming call's indication.
struct CallAddress {
  ent_id_t from = 0;
  ent_id_t to = 0;
  nai_t nai = 0;
  u8 sapi = 0;
  u16 conn_id = 0;
};

struct DeviceEntry {
  u16 DeviceId = 0;
  char reply_slot[87] = "";
  u16 receive_enabled = 0;
  u16 session_id = kNoSession;
  u32 session_active = 0;
  u32 page_sent = 0;
  u32 page_received = 0;
  std::shared_ptr<foip__alert> call;  // held copy of the waiting call
  std::shared_ptr<CallAddress> call_address;
  i32 abort_state = ABORT_NONE;
  char did[66] = "";
  u16 sip_status = 0;
  i32 watchdog = -1;
  u32 call_open = 0;
  u32 fax_connected = 0;
};

// Registration.  1 registered, 0 refused (table full).
int RegisterDeviceEntry(const RegisterDevicePacket& packet);
DeviceEntry CreateEntry(const RegisterDevicePacket& packet);

// Held call copies.  1 stored, 0 refused while copies are held.
int SetEntryFaxFile(DeviceEntry* entry, const foip__alert& call, const CallAddress& address);
void FreeEntryFaxFile(DeviceEntry* entry);

int EntryExists(u16 device_id);
DeviceEntry* GetEntryInfo(u16 device_id);
DeviceEntry* GetEntryInfoFromSessionId(u16 session_id);
// The entry whose held incoming call came with this nai and connection id.
DeviceEntry* GetEntryHoldingCall(nai_t nai, u16 conn_id);
int GetEntryIndex(const DeviceEntry& entry);
DeviceEntry* GetAvailableEntryForReceive();
int GetMaxSessions();
int CountActiveSessions();
std::vector<u16> GetSessionsNotInUse();
// Writes a caller's copy back into the table entry of the same device id.
int UpdateEntry(const DeviceEntry& copy);

// One watchdog pass (about once a second); an entry aborts after more than
// `limit` passes without an event of its session.
void WatchdogTick();
void SetWatchdogLimit(int limit);
int StartEntryWatchdog(u16 session_id);
int StopEntryWatchdog(u16 session_id);

// Stops one application session (an entry's session that is aborted):
// 0, or kNoSessionRecord when the application refuses.
inline constexpr StatusWord kNoSessionRecord = 0xF000;
StatusWord AbortFax(u16 session_id);

// Number of entries, and a fresh table (tests, program start).
std::size_t DeviceCount();
void ResetDeviceTable();
