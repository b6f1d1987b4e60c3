// The socket entity's reports and flow control: the send queues of the
// records, sent in order, and the reports that end them.
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
// Reports and flow control.

void flow_done(sock_rec* r) {
  if (r->flow == 0) return;
  if (--r->flow != 0) return;
  for (msg_t* c : r->commits) {
    Msg_set_route(c, sh.own_id, r->control, SOCK_COMMIT_CO);
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

}  // namespace sock_ent
