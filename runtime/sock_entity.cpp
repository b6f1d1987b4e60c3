// The socket entity ENT_IP: configuration, the entity state and the messages
// of the receive thread.  The socket table (sock_table.cpp), the descriptors
// (sock_desc.cpp), the send queues (sock_flow.cpp) and the requests of the
// users (sock_requests.cpp) share sock_internal.h with it.
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
using namespace sock_ent;

namespace sock_rt {
shared_state sh;
}

namespace sock_ent {

// Copies up to n bytes of the message data (chain or inline) into out;
// returns the bytes copied.
u32 copy_data(const msg_t* m, u8* out, u32 n) {
  if (!m->p_buffer) {
    u32 k = m->data_size < n ? m->data_size : n;
    std::memcpy(out, Msg_inline_data(m), k);
    return k;
  }
  u32 done = 0;
  for (const buffer_t* b = m->p_buffer; b && done < n; b = b->next) {
    u32 k = b->data_size < n - done ? b->data_size : n - done;
    std::memcpy(out + done, Buffer_data(b), k);
    done += k;
  }
  return done;
}

// Turns a request round: answer from the entity to the requester.
void answer(msg_t* m, code_t code) { Reply_msg(m, sh.own_id, code); }

// ---------------------------------------------------------------------------
// Entity state.

struct deferred_confirm {
  msg_t* m;
  u32 round;
};

struct entity_state {
  bool rx_started = false;
  std::vector<deferred_confirm> deferred;
  u8 error1 = 0, error2 = 0;
};
entity_state* es = nullptr;

// ---------------------------------------------------------------------------
// Configuration.

struct cfg_result {
  u8 e1 = 0, e2 = 0;
  bool ok() const { return e1 == 0; }
};

cfg_result fail(u8 e1, u8 e2) {
  cfg_result c;
  c.e1 = e1;
  c.e2 = e2;
  return c;
}

sock_rec* new_record(const sock_config_entry& e) {
  sock_rec* r = new (std::nothrow) sock_rec;
  if (!r) return nullptr;
  r->sapi = e.sapi;
  r->nai = e.nai;
  r->conn_id = e.conn_id;
  r->address_count = e.address_count;
  r->address_net = get_host32(e.address);
  r->bind_address = e.bind_address;
  r->port = e.port;
  r->kind = e.kind == 0 ? SOCK_KIND_UDP : e.kind;
  r->control = e.control_entity;
  r->data = e.data_entity;
  r->state_letter = e.state;
  r->receive_size = e.receive_size ? e.receive_size : 1500;
  r->rcvbuf_size = e.rcvbuf_size;
  r->retry_delay_ms = e.retry_delay_ms ? e.retry_delay_ms : 100;
  r->retry_limit = e.retry_limit ? e.retry_limit : 10;
  r->listening = (r->kind == SOCK_KIND_TCP && e.tcp_listen == 1) ? 1 : 0;
  r->backlog = e.tcp_backlog ? e.tcp_backlog : 1;
  r->keep_coalescing = e.tcp_keep_coalescing;
  r->tos = e.tos;
  r->cut_up = e.cut_up == 1 ? 1 : 0;
  r->desc = new (std::nothrow) sock_desc;
  if (!r->desc) {
    delete r;
    return nullptr;
  }
  r->desc->owner = r;
  return r;
}

// A child of a listening socket: a copy with its own conn_id, timer cell and
// a descriptor marked for creation.
sock_rec* new_child(const sock_rec* p, u16 conn_id) {
  sock_rec* c = new (std::nothrow) sock_rec;
  if (!c) return nullptr;
  c->sapi = p->sapi;
  c->nai = p->nai;
  c->conn_id = conn_id;
  c->address_count = p->address_count;
  c->address_net = p->address_net;
  c->bind_address = p->bind_address;
  c->port = p->port;
  c->kind = p->kind;
  c->control = p->control;
  c->data = p->data;
  c->state_letter = p->state_letter;
  c->receive_size = p->receive_size;
  c->rcvbuf_size = p->rcvbuf_size;
  c->retry_delay_ms = p->retry_delay_ms;
  c->retry_limit = p->retry_limit;
  c->keep_coalescing = p->keep_coalescing;
  c->tos = p->tos;
  c->cut_up = p->cut_up;
  c->parent = const_cast<sock_rec*>(p);
  c->desc = new (std::nothrow) sock_desc;
  c->timer = Timer_alloc(sh.own_id, c->nai, c->sapi, c->conn_id);
  if (!c->desc || !c->timer) {
    delete c->desc;
    Timer_free(c->timer);
    delete c;
    return nullptr;
  }
  c->desc->owner = c;
  return c;
}

cfg_result configure_entry(const sock_config_entry& e, u8 index) {
  if (e.nai == 0xFFFF) return fail(SOCK_CFG_ERR_NAI, index);
  if (e.address_count > 1) return fail(SOCK_CFG_ERR_COUNT, e.address_count);
  if (e.kind != 0 && e.kind != SOCK_KIND_UDP && e.kind != SOCK_KIND_TCP && e.kind != SOCK_KIND_RAW)
    return fail(SOCK_CFG_ERR_KIND, index);
  if (e.control_entity == 0) return cfg_result{};  // entry skipped
  if (e.state != 0 && e.state != 's') return fail(SOCK_CFG_ERR_STATE, index);
  const bool listening = e.kind == SOCK_KIND_TCP && e.tcp_listen == 1;
  if (listening && e.conn_id != 0) return fail(SOCK_CFG_ERR_LISTEN_CONN, index);
  if (table_find(e.sapi, e.nai, e.conn_id)) return fail(SOCK_CFG_ERR_EXISTS, index);
  const u32 backlog = e.tcp_backlog ? e.tcp_backlog : 1;
  if (listening) {
    for (u32 c = 1; c <= backlog && c <= 0xFFFF; ++c)
      if (table_find(e.sapi, e.nai, static_cast<u16>(c))) return fail(SOCK_CFG_ERR_EXISTS, index);
  }
  // One slot always stays empty so that a search for a missing key ends.
  const u64 needed = 1 + (listening ? static_cast<u64>(backlog) : 0);
  if (tbl.count + needed >= tbl.slots.size()) return fail(SOCK_CFG_ERR_TABLE_FULL, index);

  sock_rec* r = new_record(e);
  if (!r) return fail(SOCK_CFG_ERR_MEMORY, SOCK_CFG_ERR_NO_RECORD);
  r->timer = Timer_alloc(sh.own_id, r->nai, r->sapi, r->conn_id);
  if (!r->timer) {
    destroy_record(r);
    return fail(SOCK_CFG_ERR_TIMER, index);
  }
  if (r->state_letter == 's') {
    msg_t* probe = Alloc_msg();
    if (!probe) {
      destroy_record(r);
      return fail(SOCK_CFG_ERR_NO_MSG, SOCK_CFG_ERR_NO_MESSAGE);
    }
    Free_msg(probe);
    u16 err = 0;
    u8 code = create_platform_socket(r, &err);
    if (code) {
      destroy_record(r);
      return fail(code, static_cast<u8>(err));
    }
  }
  std::vector<sock_rec*> children;
  if (r->listening) {
    for (u32 c = 1; c <= backlog; ++c) {
      sock_rec* child = new_child(r, static_cast<u16>(c));
      if (!child) {
        for (sock_rec* k : children) destroy_record(k);
        destroy_record(r);
        return fail(SOCK_CFG_ERR_MEMORY, SOCK_CFG_ERR_NO_RECORD);
      }
      children.push_back(child);
    }
  }
  tbl.list.push_back(r);
  table_insert(r);
  for (sock_rec* c : children) {
    tbl.list.push_back(c);
    table_insert(c);
    desc_link(c->desc);
  }
  sock_hold hold;
  r->spare = children;
  return cfg_result{};
}

bool start_receiver() {
  if (es->rx_started) return true;
  sh.stop = 0;
  int err = 0;
  sh.rx_thread = plat_thread_start([](void*) { ip_receive_thread(); }, nullptr, PLAT_PRIO_HIGHEST, &err);
  if (!sh.rx_thread) {
    es->error1 = SOCK_CFG_ERR_THREAD;
    es->error2 = static_cast<u8>(err);
    return false;
  }
  es->rx_started = true;
  return true;
}

void defer_confirm(msg_t* m) {
  u32 round{};
  {
    sock_hold hold;
    sh.config_pending = 1;
    round = sh.rounds.load() + 1;
  }
  es->deferred.push_back(deferred_confirm{m, round});
  wake_receiver();
}

void answer_config(msg_t* m, code_t code, u8 status, u8 e1, u8 e2, bool deferred) {
  const u8 body[3] = {status, e1, e2};
  Msg_set_inline_body(m, body, 3);
  Msg_set_route(m, sh.own_id, ENT_SM, code);
  if (deferred) defer_confirm(m);
  else Send_msg(m);
}

void handle_config(msg_t* m) {
  if (m->to >= OM_OS_ENT_FIRST && m->to <= OM_OS_ENT_LAST && m->to != sh.own_id) {
    // The receive thread and the resolvers address their messages with it.
    {
      sock_hold hold;
      sh.own_id = m->to;
    }
  }
  // The body, contiguous.
  const u8* body = nullptr;
  u32 length = 0;
  u8* tmp = nullptr;
  if (m->p_buffer && m->p_buffer->next) {
    u32 total = 0;
    tmp = Reassemble_buffers(nullptr, 0, m->p_buffer, &total);
    if (!tmp) {
      answer_config(m, SM_CONFIG_CO, OM_OS_NOK, SOCK_CFG_ERR_MEMORY, sh.own_id, false);
      return;
    }
    body = tmp;
    length = total;
  } else {
    body = Msg_data(m);
    length = Msg_data_size(m);
  }
  cfg_result res;
  if (tbl.slots.empty()) {
    tbl.slots.assign(table_size_for(om_os_get_max_nai()), nullptr);
    tbl.count = 0;
  }
  if (!start_receiver()) {
    res = fail(es->error1, es->error2);
  } else if (length < SOCK_CONFIG_HEADER_SIZE) {
    res = fail(SOCK_CFG_ERR_COUNT, 0);
  } else {
    const u16 count = get_le16(body + 4);
    if (count > 1 || length < SOCK_CONFIG_HEADER_SIZE + count * SOCK_CONFIG_ENTRY_SIZE) {
      res = fail(SOCK_CFG_ERR_COUNT, static_cast<u8>(count));
    } else if (count == 1) {
      res = configure_entry(sock_config_entry_unpack(body + SOCK_CONFIG_HEADER_SIZE), 0);
    }
  }
  if (tmp) Free_tmp_block(tmp);
  es->error1 = res.e1;
  es->error2 = res.e2;
  if (res.ok()) answer_config(m, SM_CONFIG_CO, OM_OS_OK, 0, 0, true);
  else answer_config(m, SM_CONFIG_CO, OM_OS_NOK, res.e1, res.e2, false);
}

void handle_reset(msg_t* m) {
  u8 sapi = m->sapi;
  u16 nai = m->nai, conn_id = m->conn_id;
  if (Msg_total_size(m) == SOCK_KEY_BODY_SIZE) {
    u8 b[SOCK_KEY_BODY_SIZE];
    copy_data(m, b, SOCK_KEY_BODY_SIZE);
    sapi = b[4];
    nai = get_le16(b + 6);
    conn_id = get_le16(b + 8);
  }
  sock_rec* r = table_find(sapi, nai, conn_id);
  if (!r || r->parent) {
    answer_config(m, SM_RST_CFG_CO, OM_OS_NOK, SOCK_CFG_ERR_NAI, 0, false);
    return;
  }
  remove_socket(r);
  answer_config(m, SM_RST_CFG_CO, OM_OS_OK, 0, 0, true);
}

void handle_mip_rout(msg_t* m) {
  sock_rec* r = table_find(m->sapi, m->nai, m->conn_id);
  u8 status = OM_OS_OK, e1 = 0, e2 = 0;
  u8 b[2] = {0, 0};
  const u32 n = copy_data(m, b, 2);
  if (!r) {
    status = OM_OS_NOK;
    e1 = SOCK_CFG_ERR_NAI;
  } else if (n >= 1 && b[0] == 0) {
    // nothing to do
  } else if (n >= 2 && b[0] == 1) {
    // The receive thread applies it to a child it accepts into.
    {
      sock_hold hold;
      r->tos = b[1];
    }
    const int fd = r->desc ? r->desc->fd.load() : PLAT_SOCK_NONE;
    if (fd != PLAT_SOCK_NONE) {
      u16 err = plat_sock_set_tos(fd, r->tos);
      if (err) {
        status = OM_OS_NOK;
        e1 = SOCK_CFG_ERR_TOS;
        e2 = static_cast<u8>(err);
      }
    }
  } else {
    status = OM_OS_NOK;
    e1 = SOCK_ERR_NOT_LISTENING;
  }
  const u8 body[3] = {status, e1, e2};
  Msg_set_inline_body(m, body, 3);
  Msg_set_route(m, sh.own_id, ENT_SM, SM_MIP_ROUT_CO);
  Send_msg(m);
}

void handle_sm(msg_t* m) {
  switch (m->code) {
    case SM_CONFIG_RQ: handle_config(m); return;
    case SM_RST_CFG_RQ: handle_reset(m); return;
    case SM_INIT_RQ: answer(m, SM_INIT_CO); return;
    case SM_STOP_RQ: answer(m, SM_STOP_CO); return;
    case SM_MIP_ROUT_RQ: handle_mip_rout(m); return;
    default: Free_msg(m); return;
  }
}

// ---------------------------------------------------------------------------
// Messages of the receive thread.

void release_round(msg_t* m) {
  u8 b[4] = {0, 0, 0, 0};
  copy_data(m, b, 4);
  Free_msg(m);
  const u32 round = get_le32(b);
  auto& q = es->deferred;
  for (auto it = q.begin(); it != q.end();) {
    if (static_cast<i32>(round - it->round) >= 0) {
      Send_msg(it->m);
      it = q.erase(it);
    } else {
      ++it;
    }
  }
  if (q.empty()) {
    {
      sock_hold hold;
      sh.config_pending = 0;
    }
  }
}

void handle_internal(msg_t* m) {
  switch (m->code) {
    case SOCK_IT_ROUND: release_round(m); return;
    case SOCK_IT_RESOLVED: handle_resolved(m); return;
    case SOCK_IT_NOTHING: Free_msg(m); return;
    default: break;
  }
  sock_rec* r = table_find(m->sapi, m->nai, m->conn_id);
  if (!r) {
    Free_msg(m);
    return;
  }
  switch (m->code) {
    case SOCK_IT_PEER_CLOSED: {
      u8 letter = 0;
      copy_data(m, &letter, 1);
      if (close_connection(r)) {
        send_rel_in(r, m, letter);
        return;
      }
      break;
    }
    case SOCK_IT_CLOSE_LISTENER:
      if (r->desc && r->desc->state == DESC_LISTENING) {
        bool none_spare;
        {
          sock_hold hold;
          none_spare = r->spare.empty();
        }
        if (none_spare) close_for_recreate(r);
      }
      break;
    case SOCK_IT_LISTEN_AGAIN:
      if (r->listen_started && r->desc && r->desc->state == DESC_RECREATE) {
        bool spare;
        {
          sock_hold hold;
          spare = !r->spare.empty();
        }
        // A failure leaves the descriptor in DESC_RECREATE, as it was.
        if (spare) (void)start_listening(r);
      }
      break;
    case SOCK_IT_SHUT_DOWN: close_connection(r); break;
    default: break;
  }
  Free_msg(m);
}

void handle_timer(msg_t* m) {
  sock_rec* r = table_find(m->sapi, m->nai, m->conn_id);
  if (r && m->code == SOCK_TIMER_RETRY && Timer_expiry_id(m) == r->timer_seq && r->retry_pending) {
    r->retry_pending = false;
    send_queue(r);
  }
  Free_msg(m);
}

}  // namespace sock_ent

// ---------------------------------------------------------------------------
// Shared helpers.

namespace sock_rt {

void sock_lock() { om_os_enter(OM_OS_CS_INIT); }
void sock_unlock() { om_os_leave(OM_OS_CS_INIT); }

void wake_receiver() {
  if (sh.poller) sh.poller->wake();
}

void send_report(const sock_rec* r, u8 kind, u8 cls, u32 detail) {
  msg_t* m = Alloc_msg({sh.own_id, ENT_SM, SM_REPORT_IN, r->nai, r->sapi, r->conn_id});
  if (!m) return;
  u8* b = Msg_inline_data(m);
  std::memset(b, 0, SOCK_REPORT_SIZE);
  b[0] = sh.own_id;
  b[1] = kind;
  b[4] = cls;
  b[5] = r->sapi;
  put_le16(b + 6, r->nai);
  put_le16(b + 8, r->conn_id);
  b[10] = r->kind;
  b[11] = r->control;
  put_le32(b + 12, detail);
  m->data_size = SOCK_REPORT_SIZE;
  Send_msg(m);
}

u8 apply_socket_options(const sock_rec* r, int fd, u16* err) {
  if (r->rcvbuf_size && (*err = plat_sock_set_rcvbuf(fd, r->rcvbuf_size)) != 0) return SOCK_CFG_ERR_RCVBUF;
  if (r->kind == SOCK_KIND_TCP && !r->keep_coalescing && (*err = plat_sock_set_nodelay(fd)) != 0)
    return SOCK_CFG_ERR_NODELAY;
  if (r->tos && (*err = plat_sock_set_tos(fd, r->tos)) != 0) return SOCK_CFG_ERR_TOS;
  return 0;
}

}  // namespace sock_rt

// ---------------------------------------------------------------------------
// Records of the primitives.

u8 sock_error_letter(u16 wsa_error) {
  switch (wsa_error) {
    case PLAT_WSAEADDRINUSE: return '$';
    case PLAT_WSAECONNABORTED: return '%';
    case PLAT_WSAECONNRESET: return '\'';
    case PLAT_WSAENOTCONN: return '(';
    case PLAT_WSAECONNREFUSED: return '&';
    default: return 'R';
  }
}

void sock_addr_pack(const sock_addr& a, u8 out[SOCK_ADDR_BLOCK_SIZE]) {
  std::memset(out, 0, SOCK_ADDR_BLOCK_SIZE);
  out[0] = a.family;
  std::memcpy(out + 4, &a.addr_net, 4);
  put_le16(out + 8, a.port);
}

sock_addr sock_addr_unpack(const u8 in[SOCK_ADDR_BLOCK_SIZE]) {
  sock_addr a;
  a.family = in[0];
  a.addr_net = get_host32(in + 4);
  a.port = get_le16(in + 8);
  return a;
}

void sock_udp_header_pack(const sock_addr& remote, u8 local_family, u32 local_addr_net, u8 out[SOCK_UDP_HEADER_SIZE]) {
  std::memset(out, 0, SOCK_UDP_HEADER_SIZE);
  sock_addr_pack(remote, out);
  out[12] = local_family;
  std::memcpy(out + 16, &local_addr_net, 4);
}

void sock_dns_co_pack(u32 tag, u8 status, u8 detail, const std::vector<u32>& addrs_net, u8 out[SOCK_DNS_CO_SIZE]) {
  std::memset(out, 0, SOCK_DNS_CO_SIZE);
  put_le32(out, tag);
  out[4] = status;
  out[5] = detail;
  const u32 n = addrs_net.size() < SOCK_DNS_MAX_ADDRS ? static_cast<u32>(addrs_net.size()) : SOCK_DNS_MAX_ADDRS;
  out[7] = static_cast<u8>(n);
  for (u32 i = 0; i < n; ++i) {
    u8* e = out + 8 + 12 * i;
    e[0] = SOCK_FAMILY_IPV4;
    std::memcpy(e + 4, &addrs_net[i], 4);
  }
}

// ---------------------------------------------------------------------------
// The entity.

void ip_entity_init() {
  // A record of an earlier run of the runtime is gone with its memory.
  tbl.slots.clear();
  tbl.list.clear();
  tbl.count = 0;
  delete es;
  es = new entity_state;
  sh.descs.clear();
  sh.resolvers.clear();
  sh.resolver_count = 0;
  sh.rounds = 0;
  sh.config_pending = 0;
  sh.stop = 0;
  sh.own_id = ENT_IP;
  sh.rx_thread = nullptr;
  sh.buffer_cap = 16;
  if (!sh.poller) sh.poller = new plat_poller;
  om_os_entity_attrs_t a{};
  a.wants_clr_busy = 0;
  a.wants_busy = 0;
  a.long_config = 1;
  a.stop = ip_entity_stop;
  om_os_update_entity(ip_entity_handler, &a);
}

void ip_entity_handler(msg_t* m) {
  if (!m) return;
  if (!es) {
    Free_msg(m);
    return;
  }
  if (m->from == ENT_TI) {
    handle_timer(m);
    return;
  }
  if (m->from == ENT_PH_IT) {
    handle_internal(m);
    return;
  }
  if (m->from == ENT_SM) {
    handle_sm(m);
    return;
  }
  handle_user(m);
}

void ip_entity_stop() {
  if (!es) return;
  if (es->rx_started) {
    {
      sock_hold hold;
      sh.stop = 1;
    }
    wake_receiver();
    plat_thread_join(sh.rx_thread);
    sh.rx_thread = nullptr;
    es->rx_started = false;
  }
  ip_wait_resolvers();
  release_spare_buffers();
  while (!tbl.list.empty()) {
    sock_rec* r = tbl.list.back();
    tbl.list.pop_back();
    destroy_record(r);
  }
  tbl.slots.clear();
  tbl.count = 0;
  for (deferred_confirm& d : es->deferred) Free_msg(d.m);
  es->deferred.clear();
  sh.descs.clear();
}

u32 ip_socket_count() { return tbl.count; }
u32 ip_table_size() { return static_cast<u32>(tbl.slots.size()); }
u32 ip_receive_rounds() { return sh.rounds.load(); }
u32 ip_resolvers_running() {
  sock_hold hold;
  u32 n = sh.resolver_count;
  return n;
}

u16 ip_socket_port(u8 sapi, u16 nai, u16 conn_id) {
  sock_rec* r = table_find(sapi, nai, conn_id);
  return r ? r->port : 0;
}
