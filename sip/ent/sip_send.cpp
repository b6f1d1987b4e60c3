// Send path of ENT_SIP: a primitive of the user, decoded into the header work
// area by the downward dispatch, is checked against its dialog, given its
// destination and CSeq, encoded and handed to the sending side.
#include "platform/int_types.h"
#include "sip/ent/sip_send.h"

#include <cstring>

#include "runtime/buffer.h"
#include "runtime/msg.h"
#include "runtime/om_os.h"
#include "sip/text/sip_encode.h"
#include "sip/text/sip_hdr.h"
#include "sip/prim/sip_prim_dispatch.h"
#include "sip/text/sip_prim_kind.h"
#include "sip/prim/sip_elem.h"
#include "sip/ent/sip_call.h"
#include "sip/ent/sip_dialog_sm.h"
#include "sip/ent/sip_entity.h"
#include "sip/ent/sip_entity_int.h"
#include "sip/ent/sip_rx.h"
#include "sip/ent/sip_tx.h"

namespace {

u8 dialog_by_tag(const sip_call& c, sip_str tag) {
  for (u8 d = 0; d < SIP_DIALOGS; ++d)
    if (c.dialogs[d].state != SIP_DLG_IDLE && c.dialogs[d].remote_tag[0] != '\0' &&
        sip_tag_equal(c.dialogs[d].remote_tag, tag))
      return d;
  return SIP_NO_INDEX;
}

bool is_request(u8 code) { return code <= 'Q'; }

// Set while the message being encoded is a final refusal of an INVITE that
// opened no dialog (sip_tx_msg).
bool refusal_outside_dialog = false;

// No dialog for the tag: SIP_ERROR_IN 481 to the user (the dispatch's result
// byte cannot carry it), nothing sent.
u8 no_dialog(const sip_endpoint& ep, const sip_call& c, u8 code) {
  // from=%.*s to=%.*s d0=%s st=%d\n", sip_hdr_area.from.tag.len, sip_hdr_area.from.tag.ptr, sip_hdr_area.to.tag.len,
  // sip_hdr_area.to.tag.ptr, c.dialogs[0].remote_tag.data(), c.dialogs[0].state);
  sip_send_error_in(ep.cfg.user_entity, ep.cfg.nai, c.conn_id, 481, 0, 0, code);
  return SIP_DISPATCH_HANDLED;
}

// Destination of a request: a numeric Request-URI host, else the proxy
// address (option 0x0004), else a name from the cache.  False when none.
bool next_hop_request(sip_endpoint& ep, sip_call& c) {
  const sip_addr& uri = sip_hdr_area.request_line;
  u16 port = ep.cfg.default_port;
  if ((ep.cfg.options & SIP_OPT_PROXY_PORT) != 0) port = ep.cfg.proxy_port;
  else if (uri.port != SIP_PORT_NONE) port = uri.port;
  if (uri.ipv4.len == 4 && uri.ipv4.ptr != nullptr) {
    std::memcpy(c.dest_address.data(), uri.ipv4.ptr, 4);
  } else if ((ep.cfg.options & SIP_OPT_PROXY_ADDRESS) != 0) {
    c.dest_address = ep.cfg.address;
  } else if (uri.host.len > 0) {
    std::array<u8, 4> a{};
    const std::string_view host(uri.host.ptr, uri.host.len);
    if (sip_dns__resolve(ep.cfg.nai, host, c.conn_id, &a) != 2) return false;
    c.dest_address = a;
  } else {
    return false;
  }
  c.dest_address_length = 4;
  c.dest_port = port;
  return true;
}

// Destination of a response: the top Via (rport, received, sent-by).
void next_hop_response(sip_call& c) {
  if (sip_hdr_count(sip_header_id::via) == 0) return;
  sip_via_rec& v = sip_hdr_area.via[0];
  if (v.rport != 0xFFFF && v.rport != 0) c.dest_port = v.rport;
  else if (v.port != SIP_PORT_NONE) c.dest_port = v.port;
  if (v.received.len == 4 && v.received.ptr != nullptr) std::memcpy(c.dest_address.data(), v.received.ptr, 4);
  else if (v.host_ipv4.len == 4 && v.host_ipv4.ptr != nullptr) std::memcpy(c.dest_address.data(), v.host_ipv4.ptr, 4);
}

void stop_supervision_if_done(sip_dialog& d) {
  if (d.pending_answers > 0) --d.pending_answers;
  if (d.pending_answers == 0) d.supervision.stop();
}

// The dialog's new state and flags after what the user sent, and what the
// machine asked for once the message is out.
void commit_dialog(const sip_endpoint& ep, sip_call& c, u8 di, u8 state, u16 flags, u32 actions) {
  sip_dialog& d = c.dialogs[di];
  const bool was_idle = d.state == SIP_DLG_IDLE;
  const bool changed = d.state != state;
  d.state = state;
  d.flags = flags;
  if ((actions & SIP_DLGA_STOP_BYE_HOLD) != 0) d.bye_hold.stop();
  if ((actions & SIP_DLGA_BYE_HOLD) != 0) d.bye_hold.start(ep.cfg.bye_hold_ms, di);
  if (was_idle && d.state != SIP_DLG_IDLE) {
    ++c.dialog_count;
    if (di > c.highest_dialog) c.highest_dialog = di;
  }
  if (changed) sip_report_dialog_event(SIP_DIALOG_EVENT_ANY, &c, di);
  if ((actions & (SIP_DLGA_RELEASE | SIP_DLGA_CLOSE | SIP_DLGA_CLOSE_CALL)) != 0) sip_dialog__close(c, di);
  else if ((actions & SIP_DLGA_RELEASE_BUT_ACK) != 0) sip_dialog__release_if_idle_but_ack(c, di);
}

// The INVITE's branch back in the work area's top Via, for a CANCEL (from
// the INVITE's client slot) or an ACK of a failure (from the slot that
// took the INVITE's final response).
void restore_branch(const sip_call& c, u8 di, u8 kind) {
  if (sip_hdr_count(sip_header_id::via) == 0) return;
  for (const sip_transaction_slot& s : c.slots) {
    if (s.state == SIP_SLOT_FREE || s.dialog != di || s.branch[0] == '\0') continue;
    const bool match = kind == 'B' ? s.kind == 'B' : s.kind == 193;
    if (!match) continue;
    sip_hdr_area.via[0].branch = sip_str{static_cast<u16>(std::strlen(s.branch.data())), s.branch.data()};
    return;
  }
}

// A local confirm of the user's request `code`: the work area given the
// status and built as the request's response primitive, sent up with the
// confirm code; nothing goes on the wire.
void sip_confirm_local(const sip_endpoint& ep, const sip_call& c, u8 code, u16 status) {
  if (!is_request(code)) return;
  const sip_kind_index_entry& entry = sip_kind_index_rs[code - 'A' + 1];
  if (entry.table == nullptr) return;
  sip_hdr_area.status_line.code = status;
  sip_hdr_area.status_line.reason = sip_str{};
  sip_hdr_count(sip_header_id::status_line) = 1;
  buffer_t* chain = nullptr;
  if (sip_prim__build_up(entry, 0, &chain) != 2) {
    if (chain != nullptr) Free_buffer(chain);
    return;
  }
  msg_t* m = Alloc_msg_with_buffer(chain, 0);
  if (m == nullptr) {
    Free_buffer(chain);
    return;
  }
  sip_send_msg(m, ep.cfg.user_entity, ep.cfg.nai, 0, c.conn_id, static_cast<code_t>(code + 128));
}

u8 send_prim() {
  sip_endpoint* ep = sip_mod.ep;
  if (ep == nullptr || sip_mod.call == SIP_NONE) return 27;
  sip_call& c = sip_mod.pools.calls[sip_mod.call];
  const u8 code = sip_dispatch_code;
  const u16 status = sip_hdr_area.status_line.code;
  const sip_hdr_area_t& w = sip_hdr_area;

  u8 di = SIP_NO_INDEX;
  if (code == 'A' || code == 'C' || code == 'F') {
    if (c.dialog_count > 0 && sip_tag_present(w.to.tag)) {
      di = dialog_by_tag(c, w.to.tag);
      if (di == SIP_NO_INDEX) return no_dialog(*ep, c, code);
    } else {
      di = 0;
    }
  } else {
    if (code == 'a') {
      if (c.local_tag[0] != '\0') {
        if (!sip_tag_equal(c.local_tag, w.to.tag)) return no_dialog(*ep, c, code);
      } else {
        sip_tag_copy(c.local_tag, w.to.tag);
      }
    }
    const sip_str remote = is_request(code) ? w.to.tag : w.from.tag;
    if (sip_tag_present(remote)) {
      di = dialog_by_tag(c, remote);
      if (di == SIP_NO_INDEX) return no_dialog(*ep, c, code);
    } else {
      di = 0;
    }
  }
  sip_mod.dialog = di;

  if (is_request(code)) {
    if (!next_hop_request(*ep, c)) return 29;
  } else {
    next_hop_response(c);
  }
  if (code == 'A' && c.creating_code == 0) {
    c.creating_code = code;
    if (!c.in_bucket && sip_hdr_count(sip_header_id::call_id) > 0) sip_call__enter_callid(*ep, sip_mod.call, w.call_id);
    sip_tag_copy(c.local_tag, w.from.tag);
    if (sip_hdr_count(sip_header_id::via) > 0 && w.via[0].rport == 0) c.flags |= 0x01;
  }
  if ((code == 'C' || code == 'F') && !c.in_bucket && sip_hdr_count(sip_header_id::call_id) > 0) {
    sip_call__enter_callid(*ep, sip_mod.call, w.call_id);
    sip_tag_copy(c.local_tag, w.from.tag);
  }

  sip_dialog& d = c.dialogs[di];
  if (!is_request(code) && d.pending_answers > 0) {
    if (status < 200) {
      if (ep->cfg.provisional_wait_ms != SIP_TIMER_NEVER) {
        d.supervision.start(ep->cfg.provisional_wait_ms, static_cast<code_t>(di + 6));
        d.supervision_deadline = om_os_tick() + ep->cfg.provisional_wait_ms;
      }
    } else {
      stop_supervision_if_done(d);
    }
  } else if (code == 'B' && d.pending_answers > 0) {
    stop_supervision_if_done(d);
  }

  // The Call-ID written is the call's own.
  if (c.in_bucket) {
    sip_callid_parsed& id = sip_hdr_area.call_id;
    id.word = sip_str{static_cast<u16>(std::strlen(c.callid_word.data())), c.callid_word.data()};
    id.host = sip_str{static_cast<u16>(std::strlen(c.callid_host.data())), c.callid_host.data()};
    id.addr_len = c.callid_addr_len;
    id.addr = c.callid_addr_len != 0 ? c.callid_addr.data() : nullptr;
    sip_hdr_count(sip_header_id::call_id) = 1;
  }
  // The dialog machine decides whether the message goes out.
  u8 next_state = d.state;
  u16 next_flags = d.flags;
  sip_dlg_event ev;
  ev.code = code;
  ev.status = status;
  ev.from_tag = sip_tag_present(w.from.tag);
  ev.to_tag = sip_tag_present(w.to.tag);
  ev.call_flags = c.flags;
  ev.active_dialogs = c.dialog_count;
  ev.remote_tag = d.remote_tag[0] != '\0';
  const sip_dlg_outcome o = sip_dialog_sm_step(next_state, next_flags, ev);
  if ((o.actions & SIP_DLGA_CALL_CANCELLED) != 0) c.flags |= SIP_CALLF_CANCELLED;
  if (o.result == SIP_DLG_ABSORBED) {
    if ((o.actions & SIP_DLGA_CONFIRM) != 0) sip_confirm_local(*ep, c, code, o.confirm);
    commit_dialog(*ep, c, di, next_state, next_flags, o.actions & ~SIP_DLGA_CONFIRM);
    sip_call__cleanup(*ep, sip_mod.call);
    return SIP_DISPATCH_HANDLED;
  }
  if (o.result != SIP_DLG_GO_ON) {
    sip_send_error_in(ep->cfg.user_entity, ep->cfg.nai, c.conn_id, o.result == SIP_DLG_BAD_STATE ? 806 : o.result,
                      d.state, 0, code);
    if ((o.actions & SIP_DLGA_CLOSE_CALL) != 0) sip_dialog__close(c, di);
    sip_call__cleanup(*ep, sip_mod.call);
    return SIP_DISPATCH_HANDLED;
  }
  if (code == 'E') c.flags |= SIP_CALLF_CANCELLED;
  if ((o.actions & SIP_DLGA_BRANCH_CANCEL) != 0) restore_branch(c, di, 'E');
  if ((o.actions & SIP_DLGA_BRANCH_ACK) != 0) restore_branch(c, di, 'B');
  sip_encode_kind = code;
  refusal_outside_dialog = code == 'a' && status >= 300 && next_state == SIP_DLG_S_REJECT_SENT &&
                           (next_flags & SIP_DLGF_IN_DIALOG) == 0 && c.dialog_count <= 1 && sip_mod.stx != SIP_NONE;
  const u8 r = sip_encode_message(SIP_ENCODE_CALL);
  const bool refused = refusal_outside_dialog;
  refusal_outside_dialog = false;
  if (r == 2) commit_dialog(*ep, c, di, next_state, next_flags, o.actions);
  if (r == 2 && refused) sip_rx__local_ack(*ep, sip_mod.call, di);
  sip_call__cleanup(*ep, sip_mod.call);
  return r == 2 ? 2 : r;
}

u8 server_tx_match(u8 indication) {
  if (sip_mod.call == SIP_NONE) return 3;
  const sip_call& c = sip_mod.pools.calls[sip_mod.call];
  for (u32 t : c.server_txs) {
    const sip_server_transaction& s = sip_mod.pools.server_txs[t];
    if (s.request_code == indication && s.state != SIP_STX_ANSWERED) {
      sip_mod.stx = t;
      return 2;
    }
  }
  return 3;
}

void cseq_request() {
  sip_call& c = sip_mod.pools.calls[sip_mod.call];
  sip_dialog& d = c.dialogs[sip_mod.dialog < SIP_DIALOGS ? sip_mod.dialog : 0];
  const u8 code = sip_encode_kind;
  u32 n;
  if (code == 'B' || code == 'E') {
    n = d.our_invite_cseq;
  } else {
    n = d.local_cseq >= 0x7fffffffu ? 1 : d.local_cseq + 1;
    d.local_cseq = n;
    if (code == 'A') {
      d.our_invite_cseq = n;
      if (c.first_invite_cseq == 0) c.first_invite_cseq = n;
    }
  }
  sip_hdr_area.cseq.number = n;
  sip_hdr_area.cseq.method = static_cast<u8>(0xC0 + (code - 'A' + 1));
  sip_hdr_area.cseq.method_text = sip_str{};
  if (sip_hdr_count(sip_header_id::cseq) == 0) sip_hdr_count(sip_header_id::cseq) = 1;
}

void cseq_response() {
  sip_call& c = sip_mod.pools.calls[sip_mod.call];
  sip_dialog& d = c.dialogs[sip_mod.dialog < SIP_DIALOGS ? sip_mod.dialog : 0];
  const u8 code = sip_encode_kind;
  u32 n;
  if (code == 'a' || code == 'e') n = d.received_invite_cseq;
  else if (sip_mod.stx != SIP_NONE) n = sip_mod.pools.server_txs[sip_mod.stx].cseq;
  else n = d.remote_cseq;
  if (sip_hdr_area.status_line.code >= 200) d.pending_request = 0;
  sip_hdr_area.cseq.number = n;
  sip_hdr_area.cseq.method = static_cast<u8>(0xC0 + (code - 'a' + 1));
  sip_hdr_area.cseq.method_text = sip_str{};
  if (sip_hdr_count(sip_header_id::cseq) == 0) sip_hdr_count(sip_header_id::cseq) = 1;
}

u8 send_by_kind(buffer_t* chain) {
  const std::vector<u8> text = sip_tx__take_chain(chain, 0);
  if (sip_mod.ep == nullptr || sip_mod.call == SIP_NONE) return 3;
  const sip_hdr_area_t& w = sip_hdr_area;
  const char* branch = nullptr;
  char room[SIP_TEXT_SIZE] = {};
  if (sip_hdr_count(sip_header_id::via) > 0 && w.via[0].branch.ptr != nullptr) {
    std::memcpy(room, w.via[0].branch.ptr, std::min<std::size_t>(w.via[0].branch.len, SIP_TEXT_SIZE - 1));
    branch = room;
  }
  const sip_tx_msg m{sip_mod.call,    sip_mod.dialog < SIP_DIALOGS ? sip_mod.dialog : u8{0},
                     sip_encode_kind, w.status_line.code,
                     w.cseq.number,   branch,
                     sip_mod.stx,     refusal_outside_dialog};
  return sip_tx__send_by_kind(*sip_mod.ep, m, text);
}

}  // namespace

void sip_send__install_hooks() {
  sip_dispatch_env.server_tx_match = server_tx_match;
  sip_dispatch_env.send_prim = send_prim;
  sip_encode_env.cseq_request = cseq_request;
  sip_encode_env.cseq_response = cseq_response;
  sip_encode_env.send_by_kind = send_by_kind;
}
