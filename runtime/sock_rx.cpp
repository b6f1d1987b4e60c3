// The socket receive thread (ENT_PH_IT) and the name resolvers.
//
// The receive thread waits on every open socket at once, with a wake-up
// descriptor so that a new socket, a connect or a close is taken into the
// wait at once; without any event it starts a new round every second.
#include <atomic>
#include <cstring>

#include "common/byte_order.h"
#include "platform/clock.h"
#include "runtime/om_os.h"
#include "runtime/sock.h"
#include "runtime/sock_internal.h"

using namespace sock_rt;

namespace {

constexpr u32 MAX_RECEIVE_BUFFERS = 64;
constexpr u32 RECEIVES_PER_ROUND = 64;  // per socket, so that one busy socket does not starve the others
constexpr u32 RESOLVER_WAIT_LIMIT_MS = 10000;

// Buffers of earlier receives that held no data (receive thread only), and
// their count for other threads.
std::vector<buffer_t*> spare_buffers;
std::atomic<u32> spare_count{0};

buffer_t* take_buffer() {
  if (!spare_buffers.empty()) {
    buffer_t* b = spare_buffers.back();
    spare_buffers.pop_back();
    spare_count = static_cast<u32>(spare_buffers.size());
    return b;
  }
  return Alloc_buffer();
}

void keep_buffer(buffer_t* b) {
  b->next = nullptr;
  b->link_count = 0;
  b->data_offset = BUFFER_HEADER_SIZE;
  b->data_size = 0;
  spare_buffers.push_back(b);
  spare_count = static_cast<u32>(spare_buffers.size());
}

msg_t* new_msg(code_t code, ent_id_t to, const sock_rec* r, u16 conn_id) {
  return Alloc_msg({ENT_PH_IT, to, code, r->nai, r->sapi, conn_id});
}

void peer_closed(sock_desc* d, const sock_rec* r, u8 letter) {
  d->state = DESC_CLOSING;  // no longer watched
  post_to_entity(SOCK_IT_PEER_CLOSED, r, &letter, 1);
}

// Receives until the socket has nothing more; false when no message or
// buffer could be had (the data stay in the platform).
bool receive_on(sock_desc* d, const sock_rec* r) {
  const bool stream = r->kind == SOCK_KIND_TCP;
  const u32 header = stream ? 0 : SOCK_UDP_HEADER_SIZE;
  const u32 room = om_os_get_buffer_room();
  u32 n = r->receive_size / room + 1;
  if (!stream && n * room - header < r->receive_size) ++n;
  if (n > sh.buffer_cap) n = sh.buffer_cap;
  if (n > MAX_RECEIVE_BUFFERS) n = MAX_RECEIVE_BUFFERS;

  for (u32 k = 0; k < RECEIVES_PER_ROUND; ++k) {
    msg_t* m = new_msg(stream ? SOCK_DA_IN : (r->kind == SOCK_KIND_RAW ? SOCK_RAW_IP_IN : SOCK_U_DA_IN), r->data, r,
                       r->conn_id);
    if (!m) return false;
    buffer_t* bufs[MAX_RECEIVE_BUFFERS];
    plat_sock_piece pieces[MAX_RECEIVE_BUFFERS];
    u32 got = 0, capacity = 0;
    for (; got < n && capacity < r->receive_size; ++got) {
      buffer_t* b = take_buffer();
      if (!b) break;
      bufs[got] = b;
      b->data_offset = BUFFER_HEADER_SIZE;
      const u32 start = got == 0 ? header : 0;
      u32 size = room - start;
      if (size > r->receive_size - capacity) size = r->receive_size - capacity;
      pieces[got] = plat_sock_piece{Buffer_data(b) + start, size};
      capacity += size;
    }
    if (capacity < r->receive_size && got < n) {  // pool exhausted
      for (u32 i = 0; i < got; ++i) keep_buffer(bufs[i]);
      Free_msg(m);
      return false;
    }
    const plat_sock_recv_result res = plat_sock_recvv(d->fd, pieces, got);
    const bool empty_stream = stream && res.bytes == 0;
    // A datagram longer than the receive size: the platform keeps no more
    // of it than the buffers hold, so it never takes more of the pools than
    // a datagram of the receive size.  Reported; handed up cut and marked
    // when the socket's user asked for that (it answers the sender), else
    // dropped.
    const bool cut = !stream && res.bytes >= 0 && res.truncated;
    if (cut) send_report(r, 'e', SOCK_REPORT_OVERSIZE, r->receive_size);
    if (res.bytes < 0 || empty_stream || (cut && r->cut_up == 0)) {
      for (u32 i = 0; i < got; ++i) keep_buffer(bufs[i]);
      Free_msg(m);
      if (res.bytes < 0) {
        const u16 err = static_cast<u16>(-res.bytes);
        if (err == PLAT_WSAEWOULDBLOCK) return true;
        if (stream) {
          peer_closed(d, r, sock_error_letter(err));
          return true;
        }
        continue;  // a datagram socket goes on (an ICMP error of an earlier send)
      }
      if (empty_stream) {
        peer_closed(d, r, 0);
        return true;
      }
      continue;  // a datagram larger than the receive size, reported above
    }
    if (r->kind == SOCK_KIND_RAW && r->address_count == 1 && res.bytes >= 20) {
      u32 dest;
      std::memcpy(&dest, static_cast<const u8*>(pieces[0].data) + 16, 4);
      if (dest != r->address_net) {
        for (u32 i = 0; i < got; ++i) keep_buffer(bufs[i]);
        Free_msg(m);
        continue;
      }
    }
    // Data sizes from the length received; unused buffers are kept.
    u32 left = static_cast<u32>(res.bytes);
    u32 used = 0;
    for (u32 i = 0; i < got; ++i) {
      const u32 len = left < pieces[i].size ? left : static_cast<u32>(pieces[i].size);
      if (i > 0 && len == 0) {
        keep_buffer(bufs[i]);
        continue;
      }
      buffer_t* b = bufs[i];
      b->data_size = static_cast<u16>((i == 0 ? header : 0) + len);
      b->link_count = 1;
      b->next = nullptr;
      if (used > 0) bufs[used - 1]->next = b;
      bufs[used++] = b;
      left -= len;
    }
    if (!stream) {
      sock_addr remote;
      if (res.from_ipv4) {
        remote.addr_net = res.addr_net;
        remote.port = res.port;
      } else {
        remote.family = SOCK_FAMILY_OTHER;
        remote.port = 65535;
      }
      sock_udp_header_pack(remote, SOCK_FAMILY_IPV4, r->address_net, Buffer_data(bufs[0]));
      if (cut) Buffer_data(bufs[0])[SOCK_UDP_CUT_AT] = SOCK_UDP_CUT;
    }
    Msg_attach_chain(m, bufs[0]);
    Send_msg(m);
  }
  return true;
}

void accept_on(sock_desc* d, sock_rec* r) {
  if (r->spare.empty()) return;
  sock_rec* c = r->spare.front();
  msg_t* m = new_msg(SOCK_EST_IN, r->control, r, c->conn_id);
  if (!m) return;
  u32 addr = 0;
  u16 port = 0, err = 0;
  const int fd = plat_sock_accept(d->fd, &addr, &port, &err);
  if (fd == PLAT_SOCK_NONE) {
    Free_msg(m);
    return;
  }
  // An accepted connection is kept even when an option cannot be set on it.
  (void)apply_socket_options(c, fd, &err);
  c->desc->fd = fd;
  c->desc->family = SOCK_FAMILY_IPV4;
  c->desc->local_port = plat_sock_local_port(fd);
  c->desc->state = DESC_CONNECTED;
  r->spare.erase(r->spare.begin());
  r->accepted.push_back(c);
  sock_addr a;
  a.addr_net = addr;
  a.port = port;
  sock_addr_pack(a, Msg_inline_data(m));
  m->data_size = SOCK_ADDR_BLOCK_SIZE;
  Send_msg(m);
}

void connect_done(sock_desc* d, const sock_rec* r) {
  msg_t* m = new_msg(SOCK_EST_CO, r->control, r, r->conn_id);
  if (!m) return;  // seen again next round
  const u16 err = plat_sock_pending_error(d->fd);
  u8* b = Msg_inline_data(m);
  std::memset(b, 0, SOCK_EST_CO_SIZE);
  if (err == 0) {
    d->state = DESC_CONNECTED;
    b[0] = OM_OS_OK;
  } else {
    d->state = DESC_CLOSING;
    b[0] = OM_OS_NOK;
    b[1] = sock_error_letter(err);
    post_to_entity(SOCK_IT_SHUT_DOWN, r, nullptr, 0);
  }
  put_le16(b + 4, d->local_port);
  m->data_size = SOCK_EST_CO_SIZE;
  Send_msg(m);
}

// Builds the poll set of a round (inside INIT).
void build_set(plat_poller& p, u32 serial) {
  p.clear();
  for (sock_desc* d : sh.descs) {
    sock_rec* r = d->owner;
    if (d->family != SOCK_FAMILY_IPV4) continue;
    const u8 st = d->state;
    const int fd = d->fd;
    u8 want = 0;
    if (r->kind == SOCK_KIND_TCP && r->listening && !r->parent) {
      if (!r->listen_started) continue;
      const bool spare = !r->spare.empty();
      if (st == DESC_LISTENING && !spare) {
        post_to_entity(SOCK_IT_CLOSE_LISTENER, r, nullptr, 0);
        continue;
      }
      if (st == DESC_RECREATE && spare) {
        post_to_entity(SOCK_IT_LISTEN_AGAIN, r, nullptr, 0);
        continue;
      }
      if (st == DESC_LISTENING) want = plat_poller::READ;
    } else if (r->kind == SOCK_KIND_TCP) {
      if (st == DESC_CONNECTING) want = plat_poller::WRITE;
      else if (st == DESC_CONNECTED) want = plat_poller::READ;
    } else if (st == DESC_BOUND) {
      want = plat_poller::READ;
    }
    if (!want || fd == PLAT_SOCK_NONE) continue;
    d->poll_slot = p.add(fd, want);
    d->poll_serial = serial;
    d->poll_fd = fd;
  }
}

// Handles the descriptors with events (inside INIT); false when the pools
// ran dry.
bool handle_events(plat_poller& p, u32 serial) {
  bool fed = true;
  // Accepting changes no list entry, so the walk may go on by index.
  for (size_t i = 0; i < sh.descs.size(); ++i) {
    sock_desc* d = sh.descs[i];
    if (d->poll_serial != serial || d->poll_fd != d->fd) continue;
    const u8 ev = p.events(d->poll_slot);
    if (!ev) continue;
    sock_rec* r = d->owner;
    const u8 st = d->state;
    if (r->kind == SOCK_KIND_TCP && r->listening && !r->parent) {
      if (st == DESC_LISTENING) accept_on(d, r);
    } else if (st == DESC_CONNECTING) {
      connect_done(d, r);
    } else if (st == DESC_CONNECTED || (r->kind != SOCK_KIND_TCP && st == DESC_BOUND)) {
      if (!receive_on(d, r)) fed = false;
    }
  }
  return fed;
}

}  // namespace

namespace sock_rt {

void post_to_entity(code_t code, const sock_rec* r, const u8* body, u8 size) {
  msg_t* m = new_msg(code, sh.own_id, r, r->conn_id);
  if (!m) return;
  if (size) std::memcpy(Msg_inline_data(m), body, size);
  m->data_size = size;
  Send_msg(m);
}

void release_spare_buffers() {
  for (buffer_t* b : spare_buffers) Free_buffer(b);
  spare_buffers.clear();
  spare_count = 0;
}

}  // namespace sock_rt

void ip_receive_thread() {
  plat_poller& p = *sh.poller;
  u32 serial = 0;
  for (;;) {
    {
      sock_hold hold;
      ++serial;
      build_set(p, serial);
      const u32 round = ++sh.rounds;
      if (sh.config_pending) {
        u8 b[4];
        for (int i = 0; i < 4; ++i) b[i] = static_cast<u8>(round >> (8 * i));
        (void)Send_new_msg({ENT_PH_IT, sh.own_id, SOCK_IT_ROUND}, b, 4);
      }
      if (sh.stop) return;
    }
    const int n = p.wait(1000);
    if (n <= 0) continue;
    bool fed = false;
    {
      sock_hold hold;
      fed = handle_events(p, serial);
    }
    if (!fed) plat_sleep_ms(10);  // pools exhausted: the data wait in the platform
  }
}

void ip_resolver_thread(void* context) {
  resolver_ctx* c = static_cast<resolver_ctx*>(context);
  std::vector<u32> addrs;
  const plat_dns_result r = plat_resolve_ipv4(c->name, &addrs);
  u8 body[SOCK_DNS_CO_SIZE];
  if (r == PLAT_DNS_OK) sock_dns_co_pack(c->tag, OM_OS_OK, 0, addrs, body);
  else sock_dns_co_pack(c->tag, OM_OS_NOK, static_cast<u8>(r), {}, body);
  {
    // An abandoned context is no longer listed: this thread frees it.
    sock_hold hold;
    if (!c->abandoned) {
      msg_t* m = c->msg;
      buffer_t* b = nullptr;
      u8* data = nullptr;
      Alloc_msg_data(&m, &b, SOCK_DNS_CO_SIZE, &data);
      if (data) {
        std::memcpy(data, body, SOCK_DNS_CO_SIZE);
      } else {
        // No buffer for the whole body: the short form, inline.
        sock_dns_co_pack(c->tag, OM_OS_NOK, SOCK_DNS_DETAIL_OTHER, {}, body);
        Alloc_msg_data(&m, &b, 8, &data);
        if (data) std::memcpy(data, body, 8);
      }
      Msg_set_route(m, ENT_PH_IT, sh.own_id, SOCK_IT_RESOLVED);
      c->finished = true;
      --sh.resolver_count;
      Send_msg(m);
      return;
    }
  }
  delete c;
}

void ip_wait_resolvers() {
  for (u32 waited = 0; waited < RESOLVER_WAIT_LIMIT_MS; waited += 10) {
    u32 n = 0;
    {
      sock_hold hold;
      n = sh.resolver_count;
    }
    if (n == 0) break;
    plat_sleep_ms(10);
  }
  std::vector<resolver_ctx*> done;
  {
    sock_hold hold;
    for (resolver_ctx* c : sh.resolvers) {
      if (c->finished) {
        done.push_back(c);
        continue;
      }
      // Still looking up: the thread ends on its own and frees its context.
      c->abandoned = true;
      Free_msg(c->msg);
      plat_thread_detach(c->thread);
    }
    sh.resolvers.clear();
    sh.resolver_count = 0;
  }
  for (resolver_ctx* c : done) {
    plat_thread_join(c->thread);
    delete c;
  }
}

u32 ip_spare_buffer_count() { return spare_count; }
