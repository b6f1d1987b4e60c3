// The socket entity's requests of the users: establish, release, listen,
// data, commit, address changes and name look-ups.
#include <cstring>
#include <new>

#include "common/byte_order.h"
#include "runtime/mem.h"
#include "runtime/om_os.h"
#include "runtime/sm.h"
#include "runtime/sock.h"
#include "runtime/sock_config.h"
#include "runtime/sock_internal.h"

using namespace sock_rt;

namespace sock_ent {

// ---------------------------------------------------------------------------
// Requests of the users.

// Three-byte answer of a TCP close, listen or stop-listen request.
void answer3(msg_t* m, code_t code, u8 result, u8 error) {
  u8 third = 0;
  u8 b[3] = {0, 0, 0};
  if (copy_data(m, b, 3) == 3) third = b[2];
  const u8 body[3] = {result, error, third};
  Msg_set_inline_body(m, body, 3);
  answer(m, code);
}

// UDP and raw sockets answer these at once with the request's first bytes.
void answer_unchanged(msg_t* m, code_t code, u32 keep) {
  if (!m->p_buffer && m->data_size > keep) m->data_size = static_cast<u8>(keep);
  answer(m, code);
}

void answer_est_co(msg_t* m, u8 result, u8 letter, u16 local_port) {
  u8 body[SOCK_EST_CO_SIZE] = {};
  body[0] = result;
  body[1] = letter;
  put_le16(body + 4, local_port);
  Msg_set_inline_body(m, body, SOCK_EST_CO_SIZE);
  answer(m, SOCK_EST_CO);
}

void handle_est(sock_rec* r, msg_t* m) {
  if (r->kind != SOCK_KIND_TCP) {
    answer_unchanged(m, SOCK_EST_CO, 6);
    return;
  }
  if (r->listening) {
    answer_est_co(m, OM_OS_NOK, SOCK_ERR_NOT_LISTENING, r->port);
    return;
  }
  if (Msg_total_size(m) < SOCK_ADDR_BLOCK_SIZE) {
    answer_est_co(m, OM_OS_NOK, SOCK_ERR_SHORT_BODY, r->port);
    return;
  }
  u8 b[SOCK_ADDR_BLOCK_SIZE];
  copy_data(m, b, SOCK_ADDR_BLOCK_SIZE);
  const sock_addr a = sock_addr_unpack(b);
  if (a.family != SOCK_FAMILY_IPV4) {
    answer_est_co(m, OM_OS_NOK, SOCK_ERR_FAMILY, r->port);
    return;
  }
  sock_desc* d = r->desc;
  const u8 st = d->state;
  if (st != DESC_BOUND && st != DESC_RECREATE) {
    // Connecting or connected already: a second request leaves the
    // connection alone.
    answer_est_co(m, OM_OS_NOK, sock_error_letter(PLAT_WSAEISCONN), r->port);
    return;
  }
  if (d->fd == PLAT_SOCK_NONE) {
    u16 err = 0;
    if (create_platform_socket(r, &err) != 0) {
      answer_est_co(m, OM_OS_NOK, sock_error_letter(err), r->port);
      return;
    }
  }
  const u16 err = plat_sock_connect(d->fd, a.addr_net, a.port);
  if (err == 0 || err == PLAT_WSAEWOULDBLOCK || err == PLAT_WSAEINPROGRESS) {
    {
      sock_hold hold;
      d->state = DESC_CONNECTING;
    }
    wake_receiver();
    Free_msg(m);  // the receive thread answers when the connect completes
    return;
  }
  // Refused at once: the descriptor is closed and kept for a new attempt.
  close_for_recreate(r);
  answer_est_co(m, OM_OS_NOK, sock_error_letter(err), r->port);
}

void handle_rel(sock_rec* r, msg_t* m) {
  if (r->kind != SOCK_KIND_TCP) {
    answer_unchanged(m, SOCK_REL_CO, 3);
    return;
  }
  const bool ok = close_connection(r);
  answer3(m, SOCK_REL_CO, ok ? OM_OS_OK : OM_OS_NOK, ok ? 0 : SOCK_ERR_STATE);
}

// Listen and stop-listen apply to TCP sockets configured to listen; any
// other socket is answered here.  True when the request goes on.
bool listen_request_applies(sock_rec* r, msg_t* m, code_t co) {
  if (r->kind != SOCK_KIND_TCP) {
    answer_unchanged(m, co, 3);
    return false;
  }
  if (!r->listening) {
    answer3(m, co, OM_OS_NOK, SOCK_ERR_NOT_LISTENING);
    return false;
  }
  return true;
}

void handle_listen(sock_rec* r, msg_t* m) {
  if (!listen_request_applies(r, m, SOCK_LISTEN_CO)) return;
  const u8 err = start_listening(r);
  answer3(m, SOCK_LISTEN_CO, err ? OM_OS_NOK : OM_OS_OK, err);
}

void handle_stop_listen(sock_rec* r, msg_t* m) {
  if (!listen_request_applies(r, m, SOCK_STOP_LISTEN_CO)) return;
  {
    sock_hold hold;
    r->listen_started = 0;
  }
  close_for_recreate(r);
  answer3(m, SOCK_STOP_LISTEN_CO, OM_OS_OK, 0);
}

void send_rel_in(sock_rec* r, msg_t* m, u8 error) {
  const u8 body[2] = {error, 0};
  Msg_set_inline_body(m, body, 2);
  Msg_set_head(m, {sh.own_id, r->control, SOCK_REL_IN, r->nai, r->sapi, r->conn_id});
  Send_msg(m);
}

void handle_data(sock_rec* r, msg_t* m) {
  sock_desc* d = r->desc;
  if (r->kind == SOCK_KIND_TCP) {
    const u8 st = d ? d->state.load() : static_cast<u8>(DESC_RECREATE);
    if (st == DESC_CLOSING) {
      close_connection(r);
      send_rel_in(r, m, 0);
      return;
    }
    if (m->code != SOCK_DA_RQ || st != DESC_CONNECTED) {
      Free_msg(m);
      return;
    }
  } else if (m->code != SOCK_U_DA_RQ || !d) {
    Free_msg(m);
    return;
  }
  d->queue.push_back(m);
  if (!r->retry_pending) send_queue(r);
}

void handle_commit(sock_rec* r, msg_t* m) {
  sock_desc* d = r->desc;
  const size_t queued = d ? d->queue.size() : 0;
  if (queued == 0) {
    answer(m, SOCK_COMMIT_CO);
    return;
  }
  const u32 flow = r->flow + static_cast<u32>(queued);
  r->flow = static_cast<u16>(flow > 0xFFFF ? 0xFFFF : flow);
  r->commits.push_back(m);
}

void handle_adddel(sock_rec* r, msg_t* m) {
  u8 b[SOCK_ADDDEL_BODY_SIZE];
  bool overflow = false;
  if (copy_data(m, b, SOCK_ADDDEL_BODY_SIZE) == SOCK_ADDDEL_BODY_SIZE) {
    // The receive thread reads the local address for the address headers.
    {
      sock_hold hold;
      const u8* add = b;
      const u8* del = b + 12;
      if (del[3] >= 1 && del[4] == SOCK_FAMILY_IPV4 && r->address_count == 1 && get_host32(del + 8) == r->address_net) {
        r->address_count = 0;
        r->address_net = 0;
      }
      if (add[3] >= 1 && add[4] == SOCK_FAMILY_IPV4) {
        const u32 a = get_host32(add + 8);
        if (!(r->address_count == 1 && r->address_net == a)) {
          if (r->address_count == 0) {
            r->address_count = 1;
            r->address_net = a;
          } else {
            overflow = true;
          }
        }
      }
    }
  }
  if (overflow) send_report(r, 'r', SOCK_REPORT_ADDRESS_LIST, r->address_count);
  Free_msg(m);
}

// Starts a resolver thread for the request; answers at once when none can
// be started.
void handle_dns(msg_t* m) {
  resolver_ctx* c = new (std::nothrow) resolver_ctx;
  u8 head[4 + SOCK_DNS_NAME_MAX + 1] = {};
  const u32 n = copy_data(m, head, sizeof head - 1);
  const u32 tag = n >= 4 ? get_le32(head) : 0;
  if (c) {
    c->msg = m;
    c->requester = m->from;
    c->tag = tag;
    if (n > 4) {
      u32 len = 0;
      while (len < n - 4 && head[4 + len] != 0 && len < SOCK_DNS_NAME_MAX) ++len;
      std::memcpy(c->name, head + 4, len);
      c->name[len] = 0;
    }
    {
      sock_hold hold;
      sh.resolvers.push_back(c);
      ++sh.resolver_count;
    }
    c->thread = plat_thread_start(ip_resolver_thread, c, PLAT_PRIO_NORMAL, nullptr);
    if (c->thread) return;
    {
      sock_hold hold;
      sh.resolvers.pop_back();
      --sh.resolver_count;
    }
    delete c;
  }
  u8 body[SOCK_DNS_CO_SIZE];
  sock_dns_co_pack(tag, OM_OS_NOK, SOCK_DNS_DETAIL_NO_THREAD, {}, body);
  // The short form fits inline: tag, status, detail, no address.
  Msg_set_inline_body(m, body, 8);
  answer(m, SOCK_DNS_CO);
}

void handle_resolved(msg_t* m) {
  resolver_ctx* c = nullptr;
  {
    sock_hold hold;
    for (auto it = sh.resolvers.begin(); it != sh.resolvers.end(); ++it) {
      if ((*it)->msg == m) {
        c = *it;
        sh.resolvers.erase(it);
        break;
      }
    }
  }
  if (!c) {
    Free_msg(m);
    return;
  }
  Msg_set_route(m, sh.own_id, c->requester, SOCK_DNS_CO);
  Send_msg(m);
  plat_thread_join(c->thread);
  delete c;
}

void handle_user(msg_t* m) {
  if (m->code == SOCK_DNS_RQ) {
    handle_dns(m);
    return;
  }
  sock_rec* r = table_find(m->sapi, m->nai, m->conn_id);
  if (!r) {
    Free_msg(m);
    return;
  }
  switch (m->code) {
    case SOCK_EST_RQ: handle_est(r, m); return;
    case SOCK_REL_RQ: handle_rel(r, m); return;
    case SOCK_LISTEN_RQ: handle_listen(r, m); return;
    case SOCK_STOP_LISTEN_RQ: handle_stop_listen(r, m); return;
    case SOCK_U_DA_RQ:
    case SOCK_DA_RQ: handle_data(r, m); return;
    case SOCK_COMMIT_RQ: handle_commit(r, m); return;
    case SOCKADDDELIP_RQ: handle_adddel(r, m); return;
    case SOCK_INTSYNC_RQ: answer(m, SOCK_INTSYNC_CO); return;
    default: Free_msg(m); return;
  }
}

}  // namespace sock_ent
