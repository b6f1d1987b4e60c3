// The socket entity's descriptors: creating, connecting, listening on,
// shutting down and closing the platform sockets behind the records.
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

}  // namespace sock_ent
