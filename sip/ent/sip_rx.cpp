// Receive path and admission of ENT_SIP.
#include "platform/int_types.h"
#include "sip/ent/sip_rx.h"

#include <cstring>
#include <string_view>

#include "runtime/buffer.h"
#include "runtime/msg.h"
#include "runtime/om_os.h"
#include "sip/prim/sip_elem.h"
#include "sip/text/sip_encode.h"
#include "sip/text/sip_hdr.h"
#include "sip/text/sip_hdr_parse.h"
#include "sip/text/sip_parse.h"
#include "sip/prim/sip_prim_dispatch.h"
#include "sip/text/sip_prim_kind.h"
#include "sip/text/sip_response.h"
#include "sip/ent/sip_call.h"
#include "sip/ent/sip_dialog_sm.h"
#include "sip/ent/sip_entity.h"
#include "sip/ent/sip_entity_int.h"
#include "sip/ent/sip_tx.h"
#include "sip/ent/sip_slot_sm.h"

namespace {

constexpr u8 INVITE_IN = SIP_METHOD_INVITE;  // 225
constexpr u8 ACK_IN = SIP_METHOD_ACK;
constexpr u8 OPTIONS_IN = SIP_METHOD_OPTIONS;
constexpr u8 CANCEL_IN = SIP_METHOD_CANCEL;
constexpr u8 REGISTER_IN = SIP_METHOD_REGISTER;
constexpr u8 INVITE_CO = 193;

// Dialog states set when a request opens a dialog.
constexpr u8 DLG_INVITE_RECEIVED = 8;
constexpr u8 DLG_OPTIONS_RECEIVED = 16;
constexpr u8 DLG_REGISTER_RECEIVED = 18;

sip_endpoint* rx_ep = nullptr;
// The datagram being handled as it came, before the parser rewrote it.
std::vector<char> rx_original;

void report(u16 cause, u8 detail) { sip_report_error(cause, detail); }

void answer(u16 status, const char* reason, u16 retry_after = 0) {
  (void)sip_build_response(status, reason, retry_after, SIP_ENCODE_STATELESS);
}

// Seconds a client refused for want of records waits before it tries again:
// 1 to 9, so that the clients of a burst do not all come back at once.
u16 retry_after() { return static_cast<u16>(1 + om_os_tick() % 9); }

// Stateless datagrams of the encoder go to the source of the datagram being
// handled.
void sip_send_to_transport(buffer_t* chain, u8) {
  const std::vector<u8> text = sip_tx__take_chain(chain, 0);
  if (rx_ep != nullptr) sip_tx__send_datagram(*rx_ep, sip_mod.rx_address, sip_mod.rx_port, text.data(), text.size());
}

u8 call_check(u16 conn_id) { return rx_ep != nullptr && sip_call__check(*rx_ep, conn_id) != SIP_NONE ? 2 : 3; }

sip_stx_key key_of_message() {
  const sip_hdr_area_t& w = sip_hdr_area;
  const sip_via_rec& v = w.via[0];
  sip_stx_key k;
  k.branch = v.branch;
  k.sent_by = v.host.len > 0 ? v.host : v.sent_by;
  k.sent_by_is_address = v.host_ipv4.len == 4;
  k.cseq = w.cseq.number;
  k.cseq_method = w.cseq.method;
  k.callid_word = w.call_id.word;
  k.callid_host = w.call_id.host;
  k.to_tag = w.to.tag;
  k.from_tag = w.from.tag;
  return k;
}

// The dialog whose remote tag is `tag`, or SIP_NO_INDEX.
u8 dialog_by_tag(const sip_call& c, sip_str tag) {
  for (u8 d = 0; d < SIP_DIALOGS; ++d)
    if (c.dialogs[d].state != SIP_DLG_IDLE && sip_tag_equal(c.dialogs[d].remote_tag, tag)) return d;
  return SIP_NO_INDEX;
}

// Sends the primitive of the message in the work area up: 2, or the
// builder's failure after the request was answered.
u16 sip_rx__deliver(sip_endpoint& ep, u32 ci, u8 dialog, u8 code, bool request) {
  const char letter = static_cast<char>((code & 0x1F) - 1 + (request ? 'A' : 'a'));
  const sip_kind_index_entry& entry =
      request ? sip_kind_index_rq[letter - 'A' + 1] : sip_kind_index_rs[letter - 'a' + 1];
  if (entry.table == nullptr) return 3;
  sip_prim_env.allow_missing_mandatory = (ep.cfg.options & SIP_OPT_LENIENT) != 0;
  buffer_t* chain = nullptr;
  // A request tells its user where it really came from (received, rport).
  sip_prim_area.rl_dest_port = request ? sip_mod.rx_port : 0xFFFF;
  sip_prim_area.rl_dest_addr =
      request ? sip_str{4, reinterpret_cast<const char*>(sip_mod.rx_address.data())} : sip_str{};
  const u16 r = sip_prim__build_up(entry, request ? 1 : 0, &chain);
  sip_prim_area.rl_dest_port = 0xFFFF;
  sip_prim_area.rl_dest_addr = {};
  if (r != 2) {
    // Not built (no buffer, or an element no buffer holds): reported with
    // cause 37 detail 2; a request is answered and the entity goes on.
    if (r != 400) report(SIP_CAUSE_PARSE, 2);
    if (request && code != ACK_IN) {
      if (r == 400) answer(400, "Bad Request");
      else answer(500, "Internal Server Error");
    }
    return r;
  }
  sip_call& c = sip_mod.pools.calls[ci];
  if (ep.running == 0) {
    Free_buffer(chain);
    return 2;
  }
  msg_t* m = Alloc_msg_with_buffer(chain, 0);
  if (m == nullptr) {
    Free_buffer(chain);
    return 3;
  }
  sip_send_msg(m, ep.cfg.user_entity, ep.cfg.nai, 0, c.conn_id, code);
  if (request && code != ACK_IN && dialog < SIP_DIALOGS) sip_dialog__arm_supervision(ep, c, dialog);
  return 2;
}

void drop_new_stx(sip_endpoint& ep, u32 stx) {
  if (stx != SIP_NONE && sip_mod.pools.server_txs[stx].state == SIP_STX_NEW) sip_server_tx__free(ep, stx);
}

// The dialog machine's event for the message in the work area.
sip_dlg_event dialog_event(const sip_call& c, const sip_dialog& d, u8 code, u16 status) {
  const sip_hdr_area_t& w = sip_hdr_area;
  sip_dlg_event e;
  e.code = code;
  e.status = status;
  e.from_tag = sip_tag_present(w.from.tag);
  e.to_tag = sip_tag_present(w.to.tag);
  e.not_available = sip_seq_window.not_available != 0;
  e.call_flags = c.flags;
  e.active_dialogs = c.dialog_count;
  e.remote_tag = d.remote_tag[0] != '\0';
  return e;
}

// Runs the dialog machine for a request received in a dialog.  True when
// the request goes on; otherwise it was answered (491, 500) or refused and
// its server transaction is dropped.
bool dialog_admits(sip_endpoint& ep, sip_call& c, u8 dialog, u8 code, u32 stx) {
  sip_dialog& d = c.dialogs[dialog];
  const u8 before = d.state;
  const sip_dlg_outcome o = sip_dialog_sm_step(d.state, d.flags, dialog_event(c, d, code, 0));
  if (o.result == SIP_DLG_BAD_STATE) {
    report(SIP_CAUSE_TRANSACTION, before);
    drop_new_stx(ep, stx);
    return false;
  }
  if (d.state != before) sip_report_dialog_event(SIP_DIALOG_EVENT_ANY, &c, dialog);
  if ((o.actions & SIP_DLGA_ANSWER) != 0) {
    const u16 retry = (o.actions & SIP_DLGA_RETRY_AFTER) != 0 ? static_cast<u16>(1 + om_os_tick() % 9) : 0;
    answer(o.answer, o.reason, retry);
    drop_new_stx(ep, stx);
    return false;
  }
  if ((o.actions & SIP_DLGA_RX_INVITE_CSEQ) != 0) d.received_invite_cseq = sip_hdr_area.cseq.number;
  if ((o.actions & SIP_DLGA_STATUS_500) != 0) answer(500, "Internal Server Error");
  if (o.result != SIP_DLG_GO_ON) {
    report(SIP_CAUSE_TRANSACTION, code);
    drop_new_stx(ep, stx);
    return false;
  }
  return true;
}

// What the dialog machine asked for on a received response, but the
// release, which waits until the response went up.
void carry_out_response_actions(sip_endpoint& ep, sip_call& c, u8 dialog, u32 actions) {
  sip_dialog& d = c.dialogs[dialog];
  if ((actions & SIP_DLGA_CALL_FAILED) != 0) c.flags |= SIP_CALLF_FAILED;
  if ((actions & SIP_DLGA_FORK_TIMER) != 0 && c.dialog_count > 1 && c.fork.running == 0)
    c.fork.start(ep.cfg.hold_ms, SIP_TIMER_CODE_FORK);
  if ((actions & SIP_DLGA_END_EARLY) != 0) sip_call__end_early_dialogs(c, dialog);
  if ((actions & SIP_DLGA_INVITE_TIMEOUT) != 0)
    for (sip_transaction_slot& s : c.slots)
      if (s.state != SIP_SLOT_FREE && s.kind == INVITE_CO && s.dialog == dialog)
        s.timeout.start(64u * ep.cfg.t1_ms, s.index);
  if ((actions & SIP_DLGA_SUPERVISE) != 0) sip_dialog__arm_supervision(ep, c, dialog);
  if ((actions & SIP_DLGA_BYE_HOLD) != 0) d.bye_hold.start(ep.cfg.bye_hold_ms, dialog);
}

void request(sip_endpoint& ep) {
  const sip_hdr_area_t& w = sip_hdr_area;
  const u8 code = w.method;
  if (code < INVITE_IN || code > REGISTER_IN) return;  // the parser answered it
  const sip_stx_key k = key_of_message();
  u32 ci = SIP_NONE;
  u32 stx = sip_server_tx__match(ep, code, k, SIP_NO_CONN, false, false);
  u32 ack_stx = SIP_NONE;
  if (stx != SIP_NONE) {
    const sip_server_transaction& t = sip_mod.pools.server_txs[stx];
    if (t.request_code == code) {
      report(SIP_CAUSE_RETRANSMISSION, code);
      (void)sip_server_tx__resend(ep, stx);
      return;
    }
    if (code == ACK_IN && t.awaiting_ack != 0) {  // the ACK of a refusal: it ends its transaction
      sip_server_tx__free(ep, stx);
      return;
    }
    ack_stx = stx;
    ci = t.call;
    stx = SIP_NONE;
  }
  u16 cancel_conn = SIP_NO_CONN;
  if (code != ACK_IN) {
    stx = sip_server_tx__alloc(ep, code);
    if (stx == SIP_NONE) {
      report(SIP_CAUSE_NO_SERVER_TX, 0);
      ++sip_mod.pools.refused_no_server_tx;
      answer(503, "Service Unavailable", retry_after());
      return;
    }
    sip_server_tx__fill(ep, stx, k);
    sip_mod.pools.server_txs[stx].request_text = rx_original;
    if (code == CANCEL_IN) {
      const u32 inv = sip_server_tx__match(ep, INVITE_IN, k, SIP_NO_CONN, false, true);
      if (inv != SIP_NONE && sip_mod.pools.server_txs[inv].call != SIP_NONE &&
          sip_mod.pools.server_txs[inv].state != SIP_STX_ANSWERED) {
        ci = sip_mod.pools.server_txs[inv].call;
        cancel_conn = sip_mod.pools.server_txs[inv].conn_id;
      }
    }
  }
  if (ci == SIP_NONE) ci = sip_call__by_callid(ep, w.call_id);
  if (ci != SIP_NONE && sip_mod.pools.calls[ci].closing != 0) ci = SIP_NONE;

  u8 dialog = 0;
  bool release_after_ack = false;
  if (ci == SIP_NONE) {
    if (code == ACK_IN) {
      report(SIP_CAUSE_NO_CALL, code);
      return;
    }
    if (code != INVITE_IN && code != OPTIONS_IN && code != REGISTER_IN) {
      report(SIP_CAUSE_NO_CALL, code);
      answer(481, "Call/Transaction Does Not Exist");
      drop_new_stx(ep, stx);
      return;
    }
    if (sip_tag_present(w.to.tag)) {  // names a dialog we do not have
      answer(481, "Call/Transaction Does Not Exist");
      drop_new_stx(ep, stx);
      return;
    }
    if (code == INVITE_IN && sip_seq_window.not_available != 0) {
      answer(480, "Not available");
      drop_new_stx(ep, stx);
      return;
    }
    const u8 r = sip_call__alloc_incoming(ep, code, w.cseq.number, &ci);
    if (r != SIP_CALL_OK) {
      report(SIP_CAUSE_NO_CALL_RECORD, r);
      ++sip_mod.pools.refused_no_call;
      answer(503, "Service Unavailable", retry_after());
      drop_new_stx(ep, stx);
      return;
    }
    sip_call& c = sip_mod.pools.calls[ci];
    sip_call__enter_callid(ep, ci, w.call_id);
    c.dest_address = sip_mod.rx_address;
    c.dest_address_length = 4;
    c.dest_port = w.via[0].port != SIP_PORT_NONE ? w.via[0].port : sip_mod.rx_port;
    sip_dialog& d = c.dialogs[0];
    sip_tag_copy(d.remote_tag, w.from.tag);
    d.received_invite_cseq = code == INVITE_IN ? w.cseq.number : 0;
    d.state = code == INVITE_IN    ? DLG_INVITE_RECEIVED
              : code == OPTIONS_IN ? DLG_OPTIONS_RECEIVED
                                   : DLG_REGISTER_RECEIVED;
    c.dialog_count = 1;
    c.highest_dialog = 0;
    sip_report_dialog_event(SIP_DIALOG_EVENT_ANY, &c, 0);
  } else {
    sip_call& c = sip_mod.pools.calls[ci];
    if (ack_stx != SIP_NONE) {
      if (sip_mod.pools.server_txs[ack_stx].conn_id != c.conn_id) ack_stx = SIP_NONE;
      else sip_server_tx__free(ep, ack_stx);
    }
    if (code == CANCEL_IN && cancel_conn != SIP_NO_CONN && cancel_conn != c.conn_id) {
      answer(481, "Call/Transaction Does Not Exist");
      drop_new_stx(ep, stx);
      return;
    }
    if (sip_tag_present(w.to.tag) && c.local_tag[0] != '\0' && !sip_tag_equal(c.local_tag, w.to.tag)) {
      report(SIP_CAUSE_NO_CALL, code);
      if (code != ACK_IN) answer(481, "Call/Transaction Does Not Exist");
      drop_new_stx(ep, stx);
      return;
    }
    dialog = dialog_by_tag(c, w.from.tag);
    if (dialog == SIP_NO_INDEX) {
      if (code != ACK_IN) answer(481, "Call/Transaction Does Not Exist");
      report(SIP_CAUSE_NO_CALL, code);
      drop_new_stx(ep, stx);
      return;
    }
    sip_dialog& d = c.dialogs[dialog];
    if (code == ACK_IN) {
      bool ended = false;
      for (sip_transaction_slot& s : c.slots)
        if (s.state != SIP_SLOT_FREE && s.kind == 226 && s.dialog == dialog) {
          sip_tx_slot__release(s);
          ended = true;
          break;
        }
      if (!ended) {
        report(SIP_CAUSE_TRANSACTION, 6);
        return;
      }
      const u8 before = d.state;
      const sip_dlg_outcome o = sip_dialog_sm_step(d.state, d.flags, dialog_event(c, d, code, 0));
      if (d.state != before) sip_report_dialog_event(SIP_DIALOG_EVENT_ANY, &c, dialog);
      if ((o.actions & (SIP_DLGA_RELEASE | SIP_DLGA_RELEASE_BUT_ACK)) != 0) release_after_ack = true;
    } else if (code == CANCEL_IN) {
      if (d.received_invite_cseq != w.cseq.number) {
        answer(500, "Internal Server Error");
        drop_new_stx(ep, stx);
        return;
      }
      if (d.pending_request != 0 && d.pending_request != INVITE_IN) {
        report(SIP_CAUSE_PENDING, d.pending_request);
        drop_new_stx(ep, stx);
        return;
      }
      if (!dialog_admits(ep, c, dialog, code, stx)) return;
    } else {
      if (d.remote_cseq != 0xFFFFFFFFu && w.cseq.number <= d.remote_cseq) {
        if (w.cseq.number == d.remote_cseq && d.pending_request != 0) {
          report(SIP_CAUSE_PENDING, d.pending_request);
        } else {
          report(SIP_CAUSE_TRANSACTION, 9);
          answer(500, "Internal Server Error");
        }
        drop_new_stx(ep, stx);
        return;
      }
      if (!dialog_admits(ep, c, dialog, code, stx)) {
        d.remote_cseq = w.cseq.number;
        return;
      }
      if (d.pending_request != 0) {
        report(SIP_CAUSE_PENDING, d.pending_request);
        drop_new_stx(ep, stx);
        return;
      }
      d.remote_cseq = w.cseq.number;
      d.pending_request = code;
      if (code == INVITE_IN) d.received_invite_cseq = w.cseq.number;
    }
  }
  if (stx != SIP_NONE) sip_server_tx__link_call(ep, stx, ci);
  const u16 r = sip_rx__deliver(ep, ci, dialog, code, true);
  if (r == 2) {
    if (stx != SIP_NONE) sip_mod.pools.server_txs[stx].state = SIP_STX_DELIVERED;
  } else {
    drop_new_stx(ep, stx);
    sip_dialog__close(sip_mod.pools.calls[ci], dialog);
  }
  if (release_after_ack && dialog < SIP_DIALOGS) sip_dialog__close(sip_mod.pools.calls[ci], dialog);
  sip_call__cleanup(ep, ci);
}

// Opens the next dialog of the call for a response with a new To tag (the
// INVITE's CSeq as its own); the caller has checked there is room.
u8 open_forked_dialog(sip_call& c, sip_str tag, u32 invite_cseq) {
  const u8 d = c.dialog_count;
  sip_dialog& nd = c.dialogs[d];
  sip_tag_copy(nd.remote_tag, tag);
  nd.local_cseq = nd.our_invite_cseq = invite_cseq;
  nd.state = static_cast<u8>(sip_dlg_st::invite_sent);
  ++c.dialog_count;
  c.highest_dialog = d;
  return d;
}

void response(sip_endpoint& ep) {
  const sip_hdr_area_t& w = sip_hdr_area;
  const u8 code = w.cseq.method;  // 0xC1 .. 0xC6
  if (code == 0xC2) {
    report(SIP_CAUSE_PARSE, 1);
    return;
  }
  if (sip_hdr_count(sip_header_id::status_line) == 0) {
    report(SIP_CAUSE_HEADER_MISSING, 2);
    return;
  }
  if (code < 0xC1 || code > 0xC6) return;
  const u16 status = w.status_line.code;
  const u32 ci = sip_call__by_callid(ep, w.call_id);
  if (ci == SIP_NONE) {
    report(SIP_CAUSE_NO_CALL, code);
    return;
  }
  sip_call& c = sip_mod.pools.calls[ci];
  sip_transaction_slot* slot = nullptr;
  for (sip_transaction_slot& s : c.slots) {
    if (s.state == SIP_SLOT_FREE) continue;
    const bool kind_ok = code == INVITE_CO ? (s.kind == INVITE_CO || s.kind == 'B' || s.kind == 0) : s.kind == code;
    if (kind_ok && sip_str__cmp_cstr(s.branch.data(), w.via[0].branch) == 0) {
      slot = &s;
      break;
    }
  }
  if (slot == nullptr) return;
  u8 dialog = slot->dialog;
  if (code != INVITE_CO) {
    if (status < 200) {
      if (slot->state == SIP_SLOT_PROCEEDING && status == 100) {
        report(SIP_CAUSE_TRANSACTION, 4);
        return;
      }
      slot->interval_ms = ep.cfg.t2_ms;
      slot->retransmit.start(ep.cfg.t2_ms, slot->index);
      slot->state = sip_slot_next(slot->state, sip_slot_ev::provisional);
    } else {
      sip_tx_slot__release(*slot);
    }
  } else if (slot->state == SIP_SLOT_ACCEPTED) {
    // After the first 2xx only the 2xx of another fork goes on: a dialog of
    // its own, handed up so that it is acknowledged and ended.  A copy of a
    // 2xx already taken, or anything else, stops here.
    const bool other_fork = status >= 200 && status < 300 && sip_tag_present(w.to.tag) &&
                            dialog_by_tag(c, w.to.tag) == SIP_NO_INDEX && c.dialog_count < SIP_DIALOGS;
    if (!other_fork) {
      if (status >= 200 && status < 300) report(SIP_CAUSE_TRANSACTION, 5);
      else report(SIP_CAUSE_TRANSACTION, 2);
      return;
    }
    dialog = open_forked_dialog(c, w.to.tag, w.cseq.number);
  } else {
    // A new To tag takes the next dialog, up to three.
    if (sip_tag_present(w.to.tag)) {
      u8 d = dialog_by_tag(c, w.to.tag);
      if (d == SIP_NO_INDEX && c.dialogs[0].remote_tag[0] == '\0') {
        sip_tag_copy(c.dialogs[0].remote_tag, w.to.tag);
        d = 0;
      }
      if (d == SIP_NO_INDEX) {
        if (c.dialog_count >= SIP_DIALOGS) {
          report(SIP_CAUSE_TRANSACTION, 3);
          return;
        }
        d = open_forked_dialog(c, w.to.tag, w.cseq.number);
      }
      dialog = d;
    }
    if (status < 200) {
      if ((c.flags & 0x01) != 0) {
        slot->retransmit.start(ep.cfg.invite_resend_ms, slot->index);
        slot->timeout.start(64u * ep.cfg.t1_ms, slot->index);
      } else {
        slot->retransmit.stop();
        slot->timeout.start(ep.cfg.provisional_wait_ms, slot->index);
      }
      slot->state = sip_slot_next(slot->state, sip_slot_ev::provisional);
    } else {
      slot->stored.clear();
      slot->kind = 'B';
      slot->retransmit.stop();
      slot->timeout.stop();
      slot->state = sip_slot_next(slot->state, status < 300 ? sip_slot_ev::final_2xx : sip_slot_ev::final_failure);
      slot->dialog = dialog;
      if (status < 300) c.dialogs[dialog].accepted_slot = slot->index;
    }
  }
  if (dialog >= SIP_DIALOGS) {
    (void)sip_rx__deliver(ep, ci, dialog, code, false);
    sip_call__cleanup(ep, ci);
    return;
  }
  // The dialog machine decides whether the response goes up and what the
  // records do with it.
  sip_dialog& d = c.dialogs[dialog];
  const u8 before = d.state;
  const sip_dlg_outcome o = sip_dialog_sm_step(d.state, d.flags, dialog_event(c, d, code, status));
  if (o.result == SIP_DLG_BAD_STATE) {
    report(SIP_CAUSE_TRANSACTION, before);
    sip_dialog__close(c, dialog);
    sip_call__cleanup(ep, ci);
    return;
  }
  if (d.state != before) sip_report_dialog_event(SIP_DIALOG_EVENT_ANY, &c, dialog);
  carry_out_response_actions(ep, c, dialog, o.actions);
  if (o.result == SIP_DLG_GO_ON) {
    (void)sip_rx__deliver(ep, ci, dialog, code, false);
    // A failure to our INVITE ends the forks still early.
    if ((c.flags & SIP_CALLF_FAILED) != 0) {
      c.flags = static_cast<u8>(c.flags & ~SIP_CALLF_FAILED);
      sip_call__end_early_dialogs(c, dialog);
    }
  }
  if ((o.actions & SIP_DLGA_RELEASE) != 0) sip_dialog__close(c, dialog);
  sip_call__cleanup(ep, ci);
}

bool required_headers_present() {
  static constexpr struct {
    sip_header_id id;
    u8 number;
  } required[] = {{sip_header_id::call_id, 10},
                  {sip_header_id::cseq, 18},
                  {sip_header_id::from, 23},
                  {sip_header_id::to, 56},
                  {sip_header_id::via, 59}};
  for (const auto& r : required)
    if (sip_hdr_count(r.id) == 0) {
      report(SIP_CAUSE_HEADER_MISSING, r.number);
      return false;
    }
  return true;
}

// A body goes up to the session-control entity in one runtime buffer (the
// block the SSC message keeps it in, less its alignment): a longer one can
// be read but not carried, and the request is answered at once.
bool bodies_go_up() {
  const u32 room = om_os_get_buffer_room() > 8 ? om_os_get_buffer_room() - 8u : 0u;
  const unsigned n = sip_hdr_count(sip_header_id::body);
  for (unsigned i = 0; i < n && i < SIP_MAX_BODY; ++i)
    if (sip_hdr_area.body[i].text.len > room) return false;
  return true;
}

// Reported like a primitive no buffer holds; a request other than ACK is
// told that the size is the reason, a response is dropped.
void refuse_body() {
  report(SIP_CAUSE_PARSE, 2);
  const u8 m = sip_hdr_area.method;
  if (m != SIP_METHOD_RESPONSE && m != SIP_METHOD_ACK) answer(413, "Request Entity Too Large");
}

}  // namespace

bool sip_tag_equal(const sip_text& stored, sip_str tag) {
  // Whole tags: the same characters, none more (a decoded tag may count its
  // terminating NUL).
  const std::size_t n = std::strlen(stored.data());
  return tag.ptr != nullptr && n == sip_str__chars(tag) && std::memcmp(stored.data(), tag.ptr, n) == 0;
}
bool sip_tag_present(sip_str tag) { return tag.ptr != nullptr && sip_str__chars(tag) > 0; }
void sip_tag_copy(sip_text& dst, sip_str s) {
  const std::size_t n = s.ptr != nullptr ? std::min<std::size_t>(sip_str__chars(s), dst.size() - 1) : 0;
  if (n) std::memcpy(dst.data(), s.ptr, n);
  dst[n] = '\0';
}

void sip_rx__install_hooks(sip_endpoint* ep) {
  rx_ep = ep;
  sip_parse_env.report_error = sip_report_error;
  sip_parse_env.build_response = sip_build_response__for_parser;
  sip_prim_env.report_error = sip_report_error;
  sip_prim_env.call_check = call_check;
  sip_encode_env.send_to_transport = sip_send_to_transport;
  sip_encode_env.header_room = 0;
  if (ep != nullptr) sip_encode_env.compact = false;
}

void sip_rx__datagram(sip_endpoint& ep, char* text, std::size_t length, const std::array<u8, 4>& from, u16 port) {
  sip_rx__install_hooks(&ep);
  sip_mod.rx_address = from;
  sip_mod.rx_port = port;
  rx_original.assign(text, text + length);
  sip_parser parser;
  sip_parse__start(parser, text, length);
  for (;;) {
    const u8 r = sip_parse_message(parser, 1);
    if (r == SIP_PARSE_INCOMPLETE) break;
    if (r != SIP_PARSE_MORE && r != SIP_PARSE_DONE) {
      report(SIP_CAUSE_PARSE, 0);
      break;
    }
    if (required_headers_present()) {
      if (!bodies_go_up()) refuse_body();
      else if (sip_hdr_area.method == SIP_METHOD_RESPONSE) response(ep);
      else request(ep);
    }
    if (r == SIP_PARSE_DONE) break;
  }
}

void sip_rx__too_large(sip_endpoint& ep, const char* text, std::size_t length, const std::array<u8, 4>& from,
                       u16 port) {
  sip_rx__install_hooks(&ep);
  sip_mod.rx_address = from;
  sip_mod.rx_port = port;
  report(SIP_CAUSE_PARSE, 0);
  // Only the header lines that came whole are read: up to the blank line,
  // or up to the last line end of what was received, then a blank line.
  const std::string_view all(text, length);
  std::size_t end = all.find("\r\n\r\n");
  if (end != std::string_view::npos) {
    end += 2;
  } else {
    end = all.rfind('\n');
    if (end == std::string_view::npos) return;
    ++end;
  }
  std::vector<char> head(text, text + end);
  head.push_back('\r');
  head.push_back('\n');
  // The parser's own answers (a body shorter than its Content-Length) are
  // not the reason here: this parser has none.
  sip_parse_services no_answers = sip_parse_env;
  no_answers.build_response = nullptr;
  sip_parser parser(sip_hdr_area, no_answers);
  sip_parse__start(parser, head.data(), head.size());
  (void)sip_parse_message(parser, 1);
  const sip_hdr_area_t& w = sip_hdr_area;
  const bool request =
      sip_hdr_count(sip_header_id::request_line) != 0 && w.method != SIP_METHOD_RESPONSE && w.method != SIP_METHOD_ACK;
  if (request && required_headers_present()) answer(513, "Message Too Large");
}

void sip_rx__local_ack(sip_endpoint& ep, u32 ci, u8 dialog) {
  sip_call& c = sip_mod.pools.calls[ci];
  sip_dialog& d = c.dialogs[dialog];
  const u8 before = d.state;
  (void)sip_dialog_sm_step(d.state, d.flags, dialog_event(c, d, ACK_IN, 0));
  if (d.state != before) sip_report_dialog_event(SIP_DIALOG_EVENT_ANY, &c, dialog);
  // The refusal's headers (Via, From, To with our tag, Call-ID) are the
  // ACK's; its Request-URI is our own address as the To names it.
  sip_hdr_area_t& w = sip_hdr_area;
  w.method = ACK_IN;
  w.request_line = w.to.addr;
  sip_hdr_count(sip_header_id::request_line) = 1;
  sip_hdr_count(sip_header_id::status_line) = 0;
  w.cseq.method = 0xC2;
  w.cseq.method_text = sip_str{};
  const std::array<u8, 4> rx_address = sip_mod.rx_address;
  const u16 rx_port = sip_mod.rx_port;
  sip_mod.rx_address = c.dest_address;
  sip_mod.rx_port = c.dest_port;
  (void)sip_rx__deliver(ep, ci, dialog, ACK_IN, true);
  sip_mod.rx_address = rx_address;
  sip_mod.rx_port = rx_port;
  sip_dialog__close(c, dialog);
}

bool sip_rx__answer_timed_out(sip_endpoint& ep, sip_call& c, u8 request_code) {
  sip_server_transaction* t = nullptr;
  for (const u32 i : c.server_txs) {
    sip_server_transaction& s = sip_mod.pools.server_txs[i];
    if (s.request_code == request_code && s.state != SIP_STX_ANSWERED && !s.request_text.empty()) t = &s;
  }
  if (t == nullptr) return false;
  std::vector<char> text = t->request_text;  // the parser rewrites it
  sip_rx__install_hooks(&ep);
  sip_mod.rx_address = c.dest_address;
  sip_mod.rx_port = c.dest_port;
  sip_parser parser;
  sip_parse__start(parser, text.data(), text.size());
  for (;;) {
    const u8 r = sip_parse_message(parser, 1);
    if (r != SIP_PARSE_MORE && r != SIP_PARSE_DONE) return false;
    if (sip_hdr_area.method == request_code && sip_hdr_area.cseq.number == t->cseq) break;
    if (r == SIP_PARSE_DONE) return false;
  }
  // The tag the user gave the dialog, when it answered before.
  if (c.local_tag[0] != '\0' && !sip_tag_present(sip_hdr_area.to.tag))
    sip_hdr_area.to.tag = sip_str{static_cast<u16>(std::strlen(c.local_tag.data())), c.local_tag.data()};
  answer(408, "Request Timeout");
  t->request_text.clear();
  return true;
}
