// The socket entity ENT_IP: configuration, the socket table, requests of the
// users, the send queues and the messages of the receive thread.
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

namespace sock_rt {
shared_state sh;
}

namespace {

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
void answer(msg_t* m, code_t code) {
  ent_id_t to = m->from;
  m->from = sh.own_id;
  m->to = to;
  m->code = code;
  Send_msg(m);
}

// ---------------------------------------------------------------------------
// Socket table: open addressing, downward probing.

constexpr u32 TABLE_PRIMES[] = {
    2, 3, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37,
    41, 43, 47, 53, 59, 61, 67, 71, 73, 79, 83, 89,
    97, 101, 103, 107, 109, 113, 127, 137, 149, 151, 157, 163,
    167, 173, 179, 181, 191, 193, 197, 199, 211, 223, 227, 229,
    233, 239, 241, 251, 257, 263, 269, 271, 277, 281, 283, 293,
    307, 311, 313, 317, 331, 337, 347, 353, 367, 373, 379, 389,
    401, 419, 421, 433, 443, 457, 467, 479, 499, 509, 521, 541,
    547, 563, 577, 593, 607, 631, 641, 659, 673, 691, 709, 727,
    751, 769, 787, 809, 829, 853, 877, 907, 919, 947, 971, 997,
    1019, 1049, 1087, 1103, 1151, 1163, 1193, 1223, 1259, 1289, 1327, 1361,
    1399, 1433, 1471, 1511, 1549, 1597, 1637, 1693, 1721, 1777, 1811, 1861,
    1907, 1973, 2011, 2063, 2129, 2179, 2237, 2287, 2347, 2411, 2473, 2539,
    2609, 2677, 2749, 2819, 2897, 2969, 3049, 3137, 3209, 3299, 3389, 3469,
    3559, 3659, 3761, 3851, 3967, 4057, 4177, 4271, 4391, 4507, 4621, 4751,
    4871, 4999, 5147, 5261, 5407, 5557, 5689, 5839, 6007, 6151, 6317, 6481,
    6653, 6827, 7013, 7193, 7393, 7577, 7789, 7993, 8209, 8419, 8641, 8861,
    9103, 9337, 9587, 9833, 10093, 10369, 10631, 10937, 11213, 11497, 11801, 12113,
    12433, 12763, 13099, 13441, 13799, 14173, 14537, 14923, 15313, 15727, 16139, 16561,
    16993, 17443, 17903, 18379, 18869, 19373, 19889, 20399, 20939, 21487, 22063, 22637,
    23251, 23857, 24481, 25121, 25793, 26479, 27179, 27883, 28619, 29383, 30161, 30949,
    31769, 32603, 33461, 34351, 35251, 36187, 37139, 38119, 39133, 40153, 41213, 42307,
    43427, 44579, 45751, 46957, 48187, 49463, 50767, 52121, 53503, 54907, 56359, 57829,
    59357, 60923, 62533, 64187, 65881, 67619, 69401, 71233, 73121, 75079, 77029, 79063,
    81157, 83299, 85487, 87743, 90059, 92459, 94889, 97381, 99961, 102593, 105319, 108079,
    110933, 113891, 116867, 119953, 123121, 126397, 129707, 133153, 136649, 140263, 143971, 147761,
    151667, 155663, 159769, 163987, 168323, 172759, 177319, 182009, 186841, 191747, 196799, 201997,
    207329, 212801, 218417, 224197, 230101, 236207, 242413, 248813, 255383, 262121, 269041, 276151,
    283447, 290923, 298601, 306479, 314569, 322877, 331399, 340169, 349133, 358349, 367819, 377513,
    387493, 397721, 408209, 418987, 430057, 441403, 453053, 465011, 477293, 489887, 502829, 516127,
    529723, 543707, 558067, 572791, 587927, 603443, 619363, 635729, 652499, 669733, 687403, 705559,
    724187, 743297, 762917, 783077, 803729, 824947, 846733, 869081, 892027, 915587, 939749, 964559,
    990013,
};
static_assert(sizeof TABLE_PRIMES / sizeof TABLE_PRIMES[0] == 373, "socket table sizes");

struct table_state {
  std::vector<sock_rec*> slots;  // empty before the first configuration
  std::vector<sock_rec*> list;   // creation order
  u32 count = 0;
};
table_state tbl;

u32 table_home(u8 sapi, u16 nai, u16 conn_id) {
  const u32 key = ((static_cast<u32>(sapi) * 16u) | nai) * 16u + conn_id;
  return key % static_cast<u32>(tbl.slots.size());
}

u32 table_index_of(u8 sapi, u16 nai, u16 conn_id, bool* found) {
  const u32 size = static_cast<u32>(tbl.slots.size());
  u32 i = table_home(sapi, nai, conn_id);
  for (u32 probes = 0; probes < size; ++probes) {
    sock_rec* r = tbl.slots[i];
    if (!r) break;
    if (r->sapi == sapi && r->nai == nai && r->conn_id == conn_id) {
      *found = true;
      return i;
    }
    i = i == 0 ? size - 1 : i - 1;
  }
  *found = false;
  return i;
}

sock_rec* table_find(u8 sapi, u16 nai, u16 conn_id) {
  if (tbl.slots.empty()) return nullptr;
  bool found = false;
  u32 i = table_index_of(sapi, nai, conn_id, &found);
  return found ? tbl.slots[i] : nullptr;
}

void table_insert(sock_rec* r) {
  bool found = false;
  u32 i = table_index_of(r->sapi, r->nai, r->conn_id, &found);
  tbl.slots[i] = r;
  ++tbl.count;
}

// Removes a record; later entries of its probe run move back so that no
// search stops early at the freed slot.
void table_remove(sock_rec* r) {
  if (tbl.slots.empty()) return;
  bool found = false;
  u32 i = table_index_of(r->sapi, r->nai, r->conn_id, &found);
  if (!found) return;
  const u32 size = static_cast<u32>(tbl.slots.size());
  tbl.slots[i] = nullptr;
  --tbl.count;
  u32 j = i;
  for (;;) {
    j = j == 0 ? size - 1 : j - 1;
    sock_rec* e = tbl.slots[j];
    if (!e) break;
    const u32 home = table_home(e->sapi, e->nai, e->conn_id);
    // Probing runs downwards from home: e may fill the hole at i when i lies
    // on its path between home and j.
    const u32 dist_hole = (home + size - i) % size;
    const u32 dist_here = (home + size - j) % size;
    if (dist_hole <= dist_here) {
      tbl.slots[i] = e;
      tbl.slots[j] = nullptr;
      i = j;
    }
  }
}

void list_remove(sock_rec* r) {
  for (auto it = tbl.list.begin(); it != tbl.list.end(); ++it) {
    if (*it == r) {
      tbl.list.erase(it);
      return;
    }
  }
}

u32 table_size_for(u16 max_nai) {
  const u32 want = 2u * max_nai + 1u;
  for (u32 p : TABLE_PRIMES)
    if (p > want) return p;
  return TABLE_PRIMES[sizeof TABLE_PRIMES / sizeof TABLE_PRIMES[0] - 1];
}

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
// Descriptors.

void desc_link(sock_desc* d) {
  {
    sock_hold hold;
    if (!d->listed) {
      sh.descs.push_back(d);
      d->listed = true;
    }
  }
  wake_receiver();
}

void desc_unlink(sock_desc* d) {
  sock_hold hold;
  if (d->listed) {
    for (auto it = sh.descs.begin(); it != sh.descs.end(); ++it) {
      if (*it == d) {
        sh.descs.erase(it);
        break;
      }
    }
    d->listed = false;
  }
}

void free_queue(sock_desc* d) {
  for (msg_t* m : d->queue) Free_msg(m);
  d->queue.clear();
  d->head_sent = 0;
  d->retries = 0;
}

// Creates the platform socket of a record into its descriptor (bound,
// options applied, state 10).  0, or the configuration error byte with the
// system error in *err.
u8 create_platform_socket(sock_rec* r, u16* err) {
  *err = 0;
  plat_sock_kind kind;
  switch (r->kind) {
    case SOCK_KIND_UDP: kind = PLAT_SOCK_UDP; break;
    case SOCK_KIND_TCP: kind = PLAT_SOCK_TCP; break;
    case SOCK_KIND_RAW: kind = PLAT_SOCK_RAW; break;
    default: return SOCK_CFG_ERR_UNKNOWN_KIND;
  }
  int fd = plat_sock_open(kind, err);
  if (fd == PLAT_SOCK_NONE) return SOCK_CFG_ERR_SOCKET;
  u8 fail = 0;
  if ((*err = plat_sock_set_nonblocking(fd)) != 0) fail = SOCK_CFG_ERR_NONBLOCKING;
  if (!fail && r->kind != SOCK_KIND_UDP && (*err = plat_sock_set_reuseaddr(fd)) != 0) fail = SOCK_CFG_ERR_REUSEADDR;
  if (!fail) fail = apply_socket_options(r, fd, err);
  if (!fail) {
    const u32 addr = (r->bind_address == 1 && r->address_count == 1) ? r->address_net : 0;
    if ((*err = plat_sock_bind(fd, addr, r->port)) != 0) fail = SOCK_CFG_ERR_BIND;
  }
  if (fail) {
    plat_sock_close(fd);
    return fail;
  }
  if (r->port == 0) r->port = plat_sock_local_port(fd);
  sock_desc* d = r->desc;
  {
    sock_hold hold;
    d->local_port = r->port;
    d->family = SOCK_FAMILY_IPV4;
    d->fd = fd;
    d->state = DESC_BOUND;
  }
  desc_link(d);
  return 0;
}

// Shuts a connection down and keeps the descriptor for creation again.
// false when the state allows no shutdown.
bool close_connection(sock_rec* r) {
  sock_desc* d = r->desc;
  if (!d) return false;
  const u8 st = d->state;
  if (st != DESC_CONNECTING && st != DESC_CONNECTED && st != DESC_CLOSING) return false;
  Timer_stop(r->timer);
  r->retry_pending = false;
  free_queue(d);
  r->flow = 0;
  for (msg_t* c : r->commits) Free_msg(c);
  r->commits.clear();
  int fd = PLAT_SOCK_NONE;
  {
    sock_hold hold;
    fd = d->fd.exchange(PLAT_SOCK_NONE);
    d->state = DESC_RECREATE;
    if (sock_rec* p = r->parent) {
      for (auto it = p->accepted.begin(); it != p->accepted.end(); ++it) {
        if (*it == r) {
          p->accepted.erase(it);
          p->spare.push_back(r);
          break;
        }
      }
    }
  }
  plat_sock_shutdown(fd);
  plat_sock_close(fd);
  wake_receiver();
  return true;
}

// Closes the socket's descriptor (a listener's, or one whose connect was
// refused), keeping it for creation again.
void close_for_recreate(sock_rec* r) {
  sock_desc* d = r->desc;
  int fd{};
  {
    sock_hold hold;
    fd = d->fd.exchange(PLAT_SOCK_NONE);
    d->state = DESC_RECREATE;
  }
  plat_sock_close(fd);
  wake_receiver();
}

// Creates (when needed) and opens the listening descriptor; 0 or an error
// byte.
u8 start_listening(sock_rec* r) {
  sock_desc* d = r->desc;
  if (d->fd == PLAT_SOCK_NONE) {
    u16 err = 0;
    if (create_platform_socket(r, &err) != 0) return SOCK_ERR_LISTEN;
  }
  if (plat_sock_listen(d->fd, r->backlog ? static_cast<int>(r->backlog) : 5) != 0) return SOCK_ERR_LISTEN;
  {
    sock_hold hold;
    d->state = DESC_LISTENING;
    r->listen_started = 1;
  }
  wake_receiver();
  return 0;
}

// Closes a descriptor for good and frees it.
void destroy_desc(sock_rec* r) {
  sock_desc* d = r->desc;
  if (!d) return;
  desc_unlink(d);
  free_queue(d);
  int fd = d->fd.exchange(PLAT_SOCK_NONE);
  if (fd != PLAT_SOCK_NONE) {
    if (r->kind == SOCK_KIND_TCP) plat_sock_shutdown(fd);
    plat_sock_close(fd);
  }
  delete d;
  r->desc = nullptr;
  wake_receiver();
}

void destroy_record(sock_rec* r) {
  destroy_desc(r);
  Timer_free(r->timer);
  r->timer = nullptr;
  for (msg_t* c : r->commits) Free_msg(c);
  r->commits.clear();
  delete r;
}

// Removes a socket (and the children of a listening one) from the table and
// the list and frees everything.
void remove_socket(sock_rec* r) {
  std::vector<sock_rec*> children;
  {
    sock_hold hold;
    children = r->spare;
    children.insert(children.end(), r->accepted.begin(), r->accepted.end());
    r->spare.clear();
    r->accepted.clear();
  }
  for (sock_rec* c : children) {
    table_remove(c);
    list_remove(c);
    destroy_record(c);
  }
  table_remove(r);
  list_remove(r);
  destroy_record(r);
}

// ---------------------------------------------------------------------------
// Reports and flow control.

void flow_done(sock_rec* r) {
  if (r->flow == 0) return;
  if (--r->flow != 0) return;
  for (msg_t* c : r->commits) {
    c->from = sh.own_id;
    c->to = r->control;
    c->code = SOCK_COMMIT_CO;
    Send_msg(c);
  }
  r->commits.clear();
}

// Drops the first queued message (sent or given up).
void pop_head(sock_rec* r) {
  sock_desc* d = r->desc;
  Free_msg(d->queue.front());
  d->queue.pop_front();
  d->head_sent = 0;
  flow_done(r);
}

// Pieces of a message's data from byte `skip` on, one per buffer.
size_t data_pieces(msg_t* m, u32 skip, plat_sock_piece* out, size_t max, u32* total) {
  size_t n = 0;
  *total = 0;
  if (!m->p_buffer) {
    if (m->data_size > skip && max > 0) {
      out[n++] = plat_sock_piece{Msg_inline_data(m) + skip, static_cast<size_t>(m->data_size - skip)};
      *total = m->data_size - skip;
    }
    return n;
  }
  for (buffer_t* b = m->p_buffer; b; b = b->next) {
    u32 size = b->data_size;
    if (skip >= size) {
      skip -= size;
      continue;
    }
    if (n == max) return SIZE_MAX;
    out[n++] = plat_sock_piece{Buffer_data(b) + skip, static_cast<size_t>(size - skip)};
    *total += size - skip;
    skip = 0;
  }
  return n;
}

// Gives up every queued message after a report.
void give_up_queue(sock_rec* r, u8 cls, u32 detail) {
  send_report(r, 'e', cls, detail);
  sock_desc* d = r->desc;
  while (!d->queue.empty()) pop_head(r);
  d->retries = 0;
}

// Sends the queue in order.
void send_queue(sock_rec* r) {
  sock_desc* d = r->desc;
  if (!d) return;
  constexpr size_t MAX_PIECES = 64;
  plat_sock_piece pieces[MAX_PIECES];
  while (!d->queue.empty()) {
    msg_t* m = d->queue.front();
    const int fd = d->fd;
    bool to = false;
    u32 dest = 0;
    u16 port = 0;
    u32 skip = d->head_sent;
    if (r->kind != SOCK_KIND_TCP) {
      if (Msg_total_size(m) <= SOCK_UDP_HEADER_SIZE) {
        pop_head(r);
        continue;
      }
      u8 h[SOCK_UDP_HEADER_SIZE];
      copy_data(m, h, SOCK_UDP_HEADER_SIZE);
      if (h[0] == SOCK_FAMILY_IPV6) {
        send_report(r, 'e', SOCK_REPORT_IPV6, 0);
        pop_head(r);
        continue;
      }
      if (h[0] != SOCK_FAMILY_IPV4) {
        send_report(r, 'e', SOCK_REPORT_BAD_FAMILY, h[0]);
        pop_head(r);
        continue;
      }
      const sock_addr a = sock_addr_unpack(h);
      to = true;
      dest = a.addr_net;
      port = a.port;
      skip = SOCK_UDP_HEADER_SIZE;
    }
    u32 total = 0;
    size_t n = data_pieces(m, skip, pieces, MAX_PIECES, &total);
    if (n == SIZE_MAX || fd == PLAT_SOCK_NONE) {
      ++d->send_errors;
      d->last_error = fd == PLAT_SOCK_NONE ? PLAT_WSAENOTSOCK : PLAT_WSAEMSGSIZE;
      pop_head(r);
      continue;
    }
    if (total == 0) {
      pop_head(r);
      continue;
    }
    long sent = plat_sock_sendv(fd, pieces, n, to, dest, port);
    if (sent >= 0) {
      d->retries = 0;
      if (r->kind == SOCK_KIND_TCP && static_cast<u32>(sent) < total) {
        d->head_sent += static_cast<u32>(sent);  // the rest stays at the head
        continue;
      }
      pop_head(r);
      continue;
    }
    const u16 err = static_cast<u16>(-sent);
    ++d->send_errors;
    d->last_error = err;
    if (err == PLAT_WSAEWOULDBLOCK || err == PLAT_WSAENOBUFS) {
      if (d->retries < r->retry_limit) {
        ++d->retries;
        r->retry_pending = true;
        Timer_start(r->timer, r->retry_delay_ms, ++r->timer_seq, SOCK_TIMER_RETRY);
        return;
      }
      give_up_queue(r, SOCK_REPORT_RETRY_LIMIT, err);
      return;
    }
    if (err == PLAT_WSAENETUNREACH) {
      give_up_queue(r, SOCK_REPORT_UNREACHABLE, err);
      return;
    }
    pop_head(r);  // any other error: this message only
  }
}

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
  m->to = ENT_SM;
  m->from = sh.own_id;
  m->code = code;
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
  m->from = sh.own_id;
  m->to = ENT_SM;
  m->code = SM_MIP_ROUT_CO;
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
  m->from = sh.own_id;
  m->to = r->control;
  m->sapi = r->sapi;
  m->nai = r->nai;
  m->conn_id = r->conn_id;
  m->code = SOCK_REL_IN;
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
      if (del[3] >= 1 && del[4] == SOCK_FAMILY_IPV4 && r->address_count == 1 &&
          get_host32(del + 8) == r->address_net) {
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
  m->from = sh.own_id;
  m->to = c->requester;
  m->code = SOCK_DNS_CO;
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
        if (spare) start_listening(r);
      }
      break;
    case SOCK_IT_SHUT_DOWN:
      close_connection(r);
      break;
    default:
      break;
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

}  // namespace

// ---------------------------------------------------------------------------
// Shared helpers.

namespace sock_rt {

void sock_lock() { om_os_enter(OM_OS_CS_INIT); }
void sock_unlock() { om_os_leave(OM_OS_CS_INIT); }

void wake_receiver() {
  if (sh.poller) sh.poller->wake();
}

void send_report(const sock_rec* r, u8 kind, u8 cls, u32 detail) {
  msg_t* m = Alloc_msg();
  if (!m) return;
  m->from = sh.own_id;
  m->to = ENT_SM;
  m->nai = r->nai;
  m->sapi = r->sapi;
  m->conn_id = r->conn_id;
  m->code = SM_REPORT_IN;
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
