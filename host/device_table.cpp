#include "platform/int_types.h"
#include "host/device_table.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "common/program_log.h"
#include "runtime/om_os.h"
#include "session/app/app_foip.h"

namespace {

struct Table {
  Table() { entries.reserve(kMaxDeviceEntries); }  // entry pointers stay valid
  std::vector<DeviceEntry> entries;
  u16 next_session = 1;
  int watchdog_limit = kWatchdogLimitDefault;
};

Table& table() {
  static Table t;
  return t;
}

using Hold = std::lock_guard<std::recursive_mutex>;

DeviceEntry* find_id(u16 id) {
  for (auto& e : table().entries)
    if (e.DeviceId == id) return &e;
  return nullptr;
}

DeviceEntry* find_slot(const char* slot) {
  if (!slot[0]) return nullptr;
  for (auto& e : table().entries)
    if (std::strcmp(e.reply_slot, slot) == 0) return &e;
  return nullptr;
}

// Replaces an existing entry by a new registration, keeping its session id.
void reset_entry(DeviceEntry* old, DeviceEntry fresh) {
  if (old->session_active == 1) {
    old->abort_state = ABORT_SEND_NOT_STARTED;
    (void)AbortFax(old->session_id);
    // The stop confirm of that session still comes: it must find the abort
    // state, so that the new controller gets no answer meant for the old one.
    fresh.abort_state = ABORT_SEND_NOT_STARTED;
  }
  fresh.session_id = old->session_id;
  *old = std::move(fresh);
}

}  // namespace

DeviceEntry CreateEntry(const RegisterDevicePacket& packet) {
  DeviceEntry e;
  e.DeviceId = packet.device_id;
  (void)std::snprintf(e.reply_slot, sizeof e.reply_slot, "%.86s", packet.reply_slot);
  return e;
}

int RegisterDeviceEntry(const RegisterDevicePacket& packet) {
  Hold hold(app_foip__lock());
  Table& t = table();
  DeviceEntry fresh = CreateEntry(packet);
  if (DeviceEntry* known = find_id(packet.device_id)) {
    reset_entry(known, std::move(fresh));
    ProgramLog(1, "Device Controller %x has already been registered.  Resetting entry", packet.device_id);
    return 1;
  }
  if (DeviceEntry* same_slot = find_slot(fresh.reply_slot)) {
    // The controller of this channel restarted with a new id: its old entry
    // is taken over.
    const u16 old_id = same_slot->DeviceId;
    reset_entry(same_slot, std::move(fresh));
    ProgramLog(1, "Device Controller %x replaces %x on slot %s", packet.device_id, old_id, same_slot->reply_slot);
    return 1;
  }
  if (t.entries.size() >= kMaxDeviceEntries) {
    ProgramLog(5, "Device Controller can not be registered due to maximum number limit!");
    return 0;
  }
  fresh.session_id = t.next_session++;
  t.entries.push_back(std::move(fresh));
  ProgramLog(1, "New Device Controller %x is registered with session ID %d.", packet.device_id,
             t.entries.back().session_id);
  if (t.entries.back().session_id >= GetMaxSessions())
    ProgramLog(5, "Device controller %d has session %d but TESSALY has sessions 1 to %d only: its jobs are refused",
               packet.device_id, t.entries.back().session_id, GetMaxSessions() - 1);
  return 1;
}

int SetEntryFaxFile(DeviceEntry* entry, const foip__alert& call, const CallAddress& address) {
  Hold hold(app_foip__lock());
  if (entry->call || entry->call_address) return 0;
  entry->call = std::make_shared<foip__alert>(call);
  entry->call_address = std::make_shared<CallAddress>(address);
  return 1;
}

void FreeEntryFaxFile(DeviceEntry* entry) {
  Hold hold(app_foip__lock());
  entry->call.reset();
  entry->call_address.reset();
}

int EntryExists(u16 device_id) {
  Hold hold(app_foip__lock());
  ProgramLog(1, "EntryExists() Device ID: %d, Number of Devices: %d", device_id, int(table().entries.size()));
  const bool found = find_id(device_id) != nullptr;
  ProgramLog(1, found ? "EntryExists() Found device" : "EntryExists() Failed to find device");
  return found ? 1 : 0;
}

DeviceEntry* GetEntryInfo(u16 device_id) {
  Hold hold(app_foip__lock());
  ProgramLog(1, "GetEntryInfo() Device ID: %d", device_id);
  DeviceEntry* e = find_id(device_id);
  ProgramLog(1, e ? "GetEntryInfo() Found device" : "GetEntryInfo() Failed to find device");
  return e;
}

DeviceEntry* GetEntryInfoFromSessionId(u16 session_id) {
  Hold hold(app_foip__lock());
  ProgramLog(1, "GetEntryInfoFromSessionId() Session ID: %d, Number of Devices: %d", session_id,
             int(table().entries.size()));
  for (auto& e : table().entries) {
    if (e.session_id == session_id) {
      ProgramLog(1, "GetEntryInfoFromSessionId() Found device ID: %d", e.DeviceId);
      return &e;
    }
  }
  ProgramLog(1, "GetEntryInfoFromSessionId() Failed to find device");
  return nullptr;
}

DeviceEntry* GetEntryHoldingCall(nai_t nai, u16 conn_id) {
  Hold hold(app_foip__lock());
  for (auto& e : table().entries)
    if (e.call_address && e.call_address->nai == nai && e.call_address->conn_id == conn_id) return &e;
  return nullptr;
}

int GetEntryIndex(const DeviceEntry& entry) {
  Hold hold(app_foip__lock());
  const auto& es = table().entries;
  ProgramLog(1, "GetEntryIndex() Device ID: %d, Number of entries: %d", entry.DeviceId, int(es.size()));
  for (std::size_t i = 0; i < es.size(); ++i) {
    if (es[i].DeviceId == entry.DeviceId) {
      ProgramLog(1, "GetEntryIndex() Found device, Index: %d", int(i));
      return int(i);
    }
  }
  ProgramLog(1, "GetEntryIndex() Failed to find device");
  return -1;
}

DeviceEntry* GetAvailableEntryForReceive() {
  Hold hold(app_foip__lock());
  ProgramLog(1, "GetAvailableEntryForReceive()");
  auto& es = table().entries;
  for (auto it = es.rbegin(); it != es.rend(); ++it) {
    if (it->receive_enabled == 1 && it->session_active == 0) {
      ProgramLog(1, "GetAvailableEntryForReceiving() Found device for receive (sequential search)");
      return &*it;
    }
  }
  return nullptr;
}

int GetMaxSessions() {
  ProgramLog(1, "GetMaxSessions()");
  return 20;
}

int CountActiveSessions() {
  Hold hold(app_foip__lock());
  return int(std::count_if(table().entries.begin(), table().entries.end(),
                           [](const DeviceEntry& e) { return e.session_active == 1; }));
}

std::vector<u16> GetSessionsNotInUse() {
  Hold hold(app_foip__lock());
  ProgramLog(1, "GetSessionsNotInUse()");
  std::vector<u16> out;
  const int max_sessions = GetMaxSessions();
  for (u16 id = 1; id < max_sessions; ++id) {
    const bool used = std::any_of(table().entries.begin(), table().entries.end(),
                                  [id](const DeviceEntry& e) { return e.session_active == 1 && e.session_id == id; });
    if (!used) out.push_back(id);
  }
  return out;
}

int UpdateEntry(const DeviceEntry& copy) {
  Hold hold(app_foip__lock());
  DeviceEntry* e = find_id(copy.DeviceId);
  if (!e) {
    ProgramLog(5, "Device Controller %x has not been registered!", copy.DeviceId);
    return 0;
  }
  const std::vector<u16> free_ids = GetSessionsNotInUse();
  if (e->receive_enabled != copy.receive_enabled) {
    e->receive_enabled = copy.receive_enabled;
    ProgramLog(1, "Device Controller %x status is changed %x ", e->DeviceId, e->receive_enabled);
  }
  if (e->session_id != copy.session_id &&
      std::find(free_ids.begin(), free_ids.end(), copy.session_id) != free_ids.end()) {
    e->session_id = copy.session_id;
    ProgramLog(1, "Device Controller %x has a new session %x ", e->DeviceId, e->session_id);
  }
  if (e->session_active != copy.session_active) {
    e->session_active = copy.session_active;
    ProgramLog(1, "Device Controller %x session active flag set to %x ", e->DeviceId, e->session_active);
  }
  if (e->abort_state != copy.abort_state) {
    e->abort_state = copy.abort_state;
    ProgramLog(1, "Device Controller %x abort status flag set to %x ", e->DeviceId, unsigned(e->abort_state));
  }
  e->page_sent = copy.page_sent;
  e->page_received = copy.page_received;
  if (e != &copy) std::memcpy(e->did, copy.did, sizeof e->did);
  e->sip_status = copy.sip_status;
  e->call_open = copy.call_open;
  e->fax_connected = copy.fax_connected;
  return 1;
}

void SetWatchdogLimit(int limit) {
  Hold hold(app_foip__lock());
  table().watchdog_limit = limit;
}

void WatchdogTick() {
  Hold hold(app_foip__lock());
  for (auto& e : table().entries) {
    if (e.session_active != 1 || e.watchdog < 0) continue;
    if (++e.watchdog > table().watchdog_limit) {
      DeviceEntry copy = e;
      copy.abort_state = ABORT_WATCHDOG;
      UpdateEntry(copy);
      (void)AbortFax(e.session_id);
      e.watchdog = -1;
    }
  }
}

int StartEntryWatchdog(u16 session_id) {
  Hold hold(app_foip__lock());
  for (auto& e : table().entries) {
    if (e.session_id == session_id) {
      e.watchdog = 0;
      return 1;
    }
  }
  return 0;
}

int StopEntryWatchdog(u16 session_id) {
  Hold hold(app_foip__lock());
  for (auto& e : table().entries) {
    if (e.session_id == session_id) {
      e.watchdog = -1;
      return 1;
    }
  }
  return 0;
}

std::size_t DeviceCount() {
  Hold hold(app_foip__lock());
  return table().entries.size();
}

void ResetDeviceTable() {
  Hold hold(app_foip__lock());
  table() = Table{};
}

StatusWord AbortFax(u16 session_id) {
  ProgramLog(2, "DeviceControllerDispatcher - AbortFax() called");
  ProgramLog(1, "DeviceControllerDispatcher - AbortFax() session ID: %d", session_id);
  const char* text = "";
  if (__app_foip__stop(session_id, &text) != OM_OS_OK) {
    ProgramLog(5, "Error aborting fax message. Error: %s", text);
    return kNoSessionRecord;
  }
  return STATUS_OK;
}
