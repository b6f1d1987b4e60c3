#include "platform/int_types.h"
#include "host/foip_link.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "common/program_log.h"
#include "common/tessaly_packets.h"
#include "host/device_table.h"
#include "host/dispatcher.h"

namespace {

using Hold = std::lock_guard<std::recursive_mutex>;

// Per device (by its session): whether the receive under way has sent its
// ReceiveConnectedPacket.  Cleared when a call is rung in on that device, so
// that a call offered to another device, or refused, leaves it as it is.
std::vector<bool> g_rcv_connected_sent;

bool RcvConnectedSent(const DeviceEntry& e) {
  return e.session_id < g_rcv_connected_sent.size() && g_rcv_connected_sent[e.session_id];
}
void SetRcvConnectedSent(const DeviceEntry& e, bool sent) {
  if (e.session_id == kNoSession) return;
  if (e.session_id >= g_rcv_connected_sent.size()) g_rcv_connected_sent.resize(e.session_id + 1u, false);
  g_rcv_connected_sent[e.session_id] = sent;
}

// Text of a called number or name from the configured offset on.
void CalledText(u8 kind, const char* number, const char* name, char* out, std::size_t size) {
  const char* src = kind == 1 ? number : kind == 2 ? name : "";
  const std::size_t len = std::strlen(src);
  const std::size_t offset = app_foip__ctx().cnf.setup.called_digits_offset;  // "CalledDigitsOffset:"
  (void)std::snprintf(out, size, "%.65s", offset < len ? src + offset : "");
}

u16 FailureKind(const app_foip__session_ctx* s) {
  return s && s->direction == FOIP__DIR_OUT ? FOIP_STATUS_FAX_NOT_SENT : FAX_STATUS_FAX_NOT_RECEIVED;
}

// The result word of a failed session: not answered, no connection, or the
// diagnostic of the fax result (an ENT_ACU cause letter, else the entity).
u16 FailureValue(const DeviceEntry& e, const foip__fax_session_status& fax) {
  if (e.fax_connected == 0) return STATUS_FAX_NOT_ANSWERED;
  if (fax.fax_return_code == 2) return STATUS_FAX_NO_CONNECTION;
  return GetAcuErrorCode(fax.source == 'u' ? fax.diag : fax.source);
}

// Code of a stop confirm whose session no longer existed.
constexpr u8 kStopSessionGone = 25;

// The device entry of a session that the stack reports on, its watchdog
// started again; null, with the log line at `level`, when no entry holds the
// session.  Called under the lock.
DeviceEntry* WatchedEntry(u16 session_id, int level, const char* missing_line) {
  DeviceEntry* e = GetEntryInfoFromSessionId(session_id);
  if (!e) {
    ProgramLog(level, "%s", missing_line);
    return nullptr;
  }
  StartEntryWatchdog(e->session_id);
  return e;
}

void SetFaxConnected(DeviceEntry* e) {
  if (e->fax_connected) return;
  DeviceEntry copy = *e;
  copy.fax_connected = 1;
  UpdateEntry(copy);
}

void ClearSession(DeviceEntry* e, app_foip__session_ctx* s) {
  DeviceEntry copy = *e;
  copy.session_active = 0;
  copy.abort_state = ABORT_NONE;
  UpdateEntry(copy);
  FreeEntryFaxFile(e);
  if (s) s->direction = FOIP__DIR_IN;
}

}  // namespace

void InstallFoipLinkHooks() {
  app_foip__link_hooks h;
  h.alert_in = foip_link__alert_in;
  h.report_in = foip_link__report_in;
  h.start_co = foip_link__start_co;
  h.stop_in = foip_link__stop_in;
  h.stop_co = foip_link__stop_co;
  app_foip__set_link_hooks(h);
}

void foip_link__alert_in(const msg_t* m, const foip__alert* alert, u8 read_result) {
  const foip__alert empty{};
  const foip__alert& call = alert ? *alert : empty;
  CallAddress address{m->from, m->to, m->nai, m->sapi, m->conn_id};
  Hold hold(app_foip__lock());
  DeviceEntry* e = GetAvailableEntryForReceive();
  bool ok = false;
  if (!e) {
    ProgramLog(4, "Unable to reserve a device for receiving, all devices are busy");
  } else {
    SetRcvConnectedSent(*e, false);
    StartEntryWatchdog(e->session_id);
    if (read_result != FOIP_API__OK || !alert) {
      ProgramLog(4, "Unable to retrieve message ring-in information for incoming fax, Error Code: %d\n", read_result);
    } else if (!SetEntryFaxFile(e, call, address)) {
      ProgramLog(4, "Device is not available for receiving, Device ID: %d\n", e->DeviceId);
    } else {
      DeviceEntry copy = *e;
      copy.session_active = 1;
      copy.page_sent = copy.page_received = 0;
      UpdateEntry(copy);
      char ip[32];
      const u8* a = call.media.media_count > 0 ? call.media.media[0].ipv4 : call.remote_addr.ip_addr.addr.v4.addr;
      (void)std::snprintf(ip, sizeof ip, "%d.%d.%d.%d", a[0], a[1], a[2], a[3]);
      char called[66];
      CalledText(call.called_kind, call.sz_called_phone_number, call.sz_called_user_name, called, sizeof called);
      (void)SendRingInPacket(e->DeviceId, called, call.calling.sz_user_name, ip);
      ok = true;
    }
  }
  if (!ok) {
    ProgramLog(1, "app_foip - Rejecting call from ALERT_IN");
    (void)app_foip_mngt__accept_reject_sip_incoming_call(call, m->nai, m->sapi, m->conn_id, nullptr);
  }
}

void foip_link__report_in(const msg_t* m, const foip__report* report, u8 read_result) {
  Hold hold(app_foip__lock());
  DeviceEntry* e = WatchedEntry(m->nai, 1, "app_foip - FOIP_REPORT_IN Unable to get device entry");
  if (!e) return;
  if (read_result != FOIP_API__OK || !report) {
    ProgramLog(2, "Unable to get message info for FOIP_REPORT_IN, SessionID: %d Error Code: %d", e->session_id,
               read_result);
    return;
  }
  if (report->kind_of_report != FOIP__REPORT__EVT) {
    ProgramLog(2, "FOIP_REPORT_IN received with kind of event: %d", report->kind);
    return;
  }
  app_foip__session_ctx* s = app_foip__get_session_ctx(e->session_id);
  switch (report->kind) {
    case FOIP__EVENT__FAX_REMOTE_FAX_ID: {
      char csid[66] = "";
      if (s) {
        (void)std::snprintf(csid, sizeof csid, "%.64s", report->body.remote_fax_id);
        if (s->direction != FOIP__DIR_IN) {
          (void)SendFaxStatusPacket(e->DeviceId, FAX_STATUS_CONNECTED, csid, 65, 0);
        } else {
          (void)SendReceiveConnectedPacket(e->DeviceId, csid, e->did);
          SetRcvConnectedSent(*e, true);
        }
      }
      SetFaxConnected(e);
      break;
    }
    case FOIP__EVENT__FAX_PG_SENT: {
      const foip__report_page& pg = report->body.page;
      if (pg.pg.pg_state == 'S') {
        DeviceEntry copy = *e;
        copy.page_sent = 1;
        UpdateEntry(copy);
      }
      (void)SendFaxStatusPacket(e->DeviceId, FAX_STATUS_PAGE_SENT, nullptr, 0, pg.pg_number);
      SetFaxConnected(e);
      break;
    }
    case FOIP__EVENT__FAX_PG_RECEIVED: {
      const foip__report_page& pg = report->body.page;
      const auto* name = reinterpret_cast<const unsigned char*>(pg.pg.sz_tiff_fname);
      const bool excluded = (name[0] == 0x48 && name[1] == 0x2F) || (name[0] == 0x46 && name[1] == 0x33);
      if (s && s->direction == FOIP__DIR_IN && !excluded) {
        if (!RcvConnectedSent(*e)) {
          ProgramLog(1, "No CSID received, sending receive connected as 1 page has been received");
          (void)SendReceiveConnectedPacket(e->DeviceId, "", e->did);
          SetRcvConnectedSent(*e, true);
        }
        if (pg.pg.pg_state == 'S') {
          DeviceEntry copy = *e;
          copy.page_received = 1;
          UpdateEntry(copy);
        } else {
          ProgramLog(1, "FOIP__EVENT__FAX_PG_RECEIVED page number %d received", pg.pg_number);
          (void)SendFaxStatusPacket(e->DeviceId, FAX_STATUS_PAGE_RECEIVED, nullptr, 0, pg.pg_number);
        }
      }
      break;
    }
    case FOIP__EVENT__SIP_CALL_OPEN: {
      const foip__call_info& ci = report->body.call_open;
      DeviceEntry copy = *e;
      CalledText(ci.local.kind, ci.local.sz_phone_number, ci.local.sz_user_name, copy.did, sizeof copy.did);
      copy.sip_status = ci.sip_ret_code;
      copy.call_open = 1;
      UpdateEntry(copy);
      ProgramLog(1, "Called number is: %s", e->did);
      (void)SendFaxStatusPacket(e->DeviceId, FAX_STATUS_CALL_CONNECTED, e->did, 65, 0);
      break;
    }
    default: ProgramLog(2, "FOIP_REPORT_IN received with kind of event: %d", report->kind); break;
  }
}

void foip_link__start_co(const msg_t* m, app_foip__session_ctx* s, const foip__confirm* c, u8 read_result) {
  ProgramLog(1, "FOIP__START_CO received");
  Hold hold(app_foip__lock());
  DeviceEntry* e = WatchedEntry(m->nai, 5, "Unable to get device controller entry given by call setup");
  if (!e) return;
  ProgramLog(1, "getting confirm result");
  if (!s) {
    ProgramLog(5, "Unable to get session %d for device controller during fax call setup", m->nai);
    (void)SendFaxStatusPacket(e->DeviceId, FAX_STATUS_SESSION_LOST, nullptr, 0, 'b');
  } else if (read_result != FOIP_API__OK || !c) {
    ProgramLog(5, "Unable to get message info for SessionID: %d Error Code: %d during fax call setup", m->nai,
               read_result);
  } else if (c->return_code == 2 && c->error_code == 2) {
    ProgramLog(1, "app_foip - FOIP__START_CO was OK");
    (void)SendFaxStatusPacket(e->DeviceId, FAX_STATUS_CALL_CONNECTED, nullptr, 0, 0);
    return;
  } else {
    ProgramLog(5, "Error: %s", c->sz_error_code);
    ProgramLog(1, "Error source: %s", c->sz_error_source);
    ProgramLog(1, "Error cause %d", c->error_code);
  }
  if (e->session_active == 1 && e->abort_state != ABORT_NONE) {
    // A stop is already under way (the controller's abort, or tessaly's own):
    // the start failed because of it.  Its confirm answers the controller;
    // neither another stop nor another answer is due.
    ProgramLog(1, "app_foip - start of session %d ended by the abort under way", e->session_id);
    return;
  }
  DeviceEntry copy = *e;
  copy.abort_state = ABORT_CALL_SETUP_FAILED;
  UpdateEntry(copy);
  ProgramLog(1, "Calling abort with session %d", e->session_id);
  if (AbortFax(e->session_id) != STATUS_OK)
    (void)SendFaxStatusPacket(e->DeviceId, FAX_STATUS_SESSION_LOST, nullptr, 0, 2);
}

void foip_link__stop_in(const msg_t* m, app_foip__session_ctx* s, const foip__confirm* c,
                        const foip__fax_session_status* fax, u8 read_result) {
  ProgramLog(1, "FOIP__STOP_IN received");
  Hold hold(app_foip__lock());
  // An incoming call that ended while its controller was still ringing (the
  // caller gave up) is reported on the call's connection id, with no
  // session: the controller hears that the call is gone and its entry is
  // free for the next call.
  if (m->conn_id != FOIP__CONN_NONE) {
    if (DeviceEntry* rung = GetEntryHoldingCall(m->nai, m->conn_id)) {
      ProgramLog(1, "app_foip - incoming call (conn_id %d) ended before device %d answered it", m->conn_id,
                 rung->DeviceId);
      (void)StopEntryWatchdog(rung->session_id);
      (void)SendFaxStatusPacket(rung->DeviceId, FAX_STATUS_FAX_NOT_RECEIVED, nullptr, 0, STATUS_FAX_NOT_ANSWERED);
      ClearSession(rung, nullptr);
      return;
    }
  }
  DeviceEntry* e = WatchedEntry(m->nai, 1, "Unable to get device controller entry for call termination");
  if (!e) return;
  if (!s) {
    ProgramLog(5, "Unable to get device controller session %d for call termination", m->nai);
    (void)SendFaxStatusPacket(e->DeviceId, FAX_STATUS_SESSION_LOST, nullptr, 0, 'F');
    ProgramLog(1, "app_foip - FOIP__STOP_IN completed processing");
    return;
  }
  const u16 failure = FailureKind(s);
  if (read_result != FOIP_API__OK || !c || !fax) {
    ProgramLog(5, "Unable to get message info for call termination, SessionID: %d Error Code: %d", m->nai, read_result);
    (void)SendFaxStatusPacket(e->DeviceId, failure, nullptr, 0, 0);
  } else {
    ProgramLog(2, "app_foip - FOIP__STOP_IN received - fax status: %d", fax->received_pg[0].pg_encoding);
    if (c->return_code == 2) {
      ProgramLog(2, "app_foip - FOIP__STOP_IN received - confirm cause: %d, fax session state for rcv %d, for send %d",
                 c->error_code, fax->received_pg[0].pg_state, fax->sent_pg[0].pg_state);
      const bool pages = s->direction == FOIP__DIR_OUT ? e->page_sent != 0 : e->page_received != 0;
      if (c->error_code != 26 && pages) {
        (void)SendFaxStatusPacket(e->DeviceId, FAX_STATUS_PAGE_RECEIVED, nullptr, 0, fax->nb_pg_received);
        (void)SendFaxStatusPacket(
            e->DeviceId, s->direction == FOIP__DIR_OUT ? FAX_STATUS_FAX_SENT : FAX_STATUS_FAX_RECEIVED, nullptr, 0, 0);
      } else {
        (void)SendFaxStatusPacket(e->DeviceId, failure, nullptr, 0, FailureValue(*e, *fax));
      }
    } else {
      ProgramLog(5, "Error during call termination. Status of %s from %s", c->sz_error_code, c->sz_error_source);
      (void)SendFaxStatusPacket(e->DeviceId, failure, nullptr, 0, FailureValue(*e, *fax));
    }
  }
  ProgramLog(1, "app_foip - clearing state for session %d", m->nai);
  ClearSession(e, s);
  ProgramLog(1, "app_foip - FOIP__STOP_IN completed processing");
}

void foip_link__stop_co(const msg_t* m, app_foip__session_ctx* s, const foip__confirm* c, u8 read_result) {
  ProgramLog(1, "FOIP__STOP_CO received");
  Hold hold(app_foip__lock());
  DeviceEntry* e =
      WatchedEntry(m->nai, 5, "FOIP__STOP_CO Unable to get device controller entry for fax abort response");
  if (!e) return;
  if (!s) {
    ProgramLog(5, "Unable to get device controller session %d for fax abort response", m->nai);
    (void)SendFaxStatusPacket(e->DeviceId, FAX_STATUS_SESSION_LOST, nullptr, 0, 'e');
    return;
  }
  const bool ok = read_result == FOIP_API__OK && c && c->return_code == 2;
  if (ok && c->error_code == kStopSessionGone && e->session_active == 0 && e->abort_state == ABORT_NONE) {
    // The session's end was reported and cleared already: nothing to tell.
    ProgramLog(1, "app_foip - FOIP__STOP_CO of session %d that has already ended: no answer", m->nai);
    return;
  }
  if (read_result != FOIP_API__OK || !c) ProgramLog(1, "app_foip - FOIP__STOP_CO, couldn't find confirm result");
  else
    ProgramLog(1,
               ok ? "app_foip - FOIP__STOP_CO return code was OK" : "app_foip - FOIP__STOP_CO return code was not OK");
  u16 kind = FAX_STATUS_SESSION_LOST, value = STATUS_FAX_FAILED;
  switch (e->abort_state) {
    case ABORT_BY_CONTROLLER:
      kind = ok ? FAX_STATUS_REQUEST_DONE : FAX_STATUS_REQUEST_FAILED;
      value = 4;
      break;
    case ABORT_SEND_NOT_STARTED:
      // The controller has failed the send by its own time-out, or has
      // registered again: an answer now would meet its next request.
      ProgramLog(1, "app_foip - FOIP__STOP_CO of a send not started in time: no answer");
      kind = 0xFFFF;
      break;
    case ABORT_CALL_SETUP_FAILED:
      kind = FOIP_STATUS_FAX_NOT_CONNECTED;
      value = GetSipErrorCode(e->sip_status);
      break;
    case ABORT_WATCHDOG:
      kind = s->direction == FOIP__DIR_IN ? FAX_STATUS_FAX_NOT_RECEIVED : FOIP_STATUS_FAX_NOT_SENT;
      value = GetSipErrorCode(e->sip_status);
      break;
    default: break;
  }
  if (kind != 0xFFFF) (void)SendFaxStatusPacket(e->DeviceId, kind, nullptr, 0, value);
  if (!ok) return;
  StopEntryWatchdog(e->session_id);
  ClearSession(e, s);
}
