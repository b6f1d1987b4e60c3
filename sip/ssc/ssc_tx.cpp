// Open transactions of a call.
#include "sip/ssc/ssc_tx.h"

#include "sip/ssc/ssc_internal.h"

namespace {

ssc_tx_state g_tx;

ssc_hdr_tx_link* next_of(ssc_hdr_tx_link* r) { return static_cast<ssc_hdr_tx_link*>(r->links[0]); }

// Removes r from the call's list of its direction.
void unlink(ssc_call* c, ssc_hdr_tx_link* r) {
  const u8 d = r->flag & 1;
  ssc_hdr_tx_link* prev = nullptr;
  for (auto* p = static_cast<ssc_hdr_tx_link*>(c->tx_first[d]); p; prev = p, p = next_of(p)) {
    if (p != r) continue;
    if (prev) prev->links[0] = r->links[0];
    else c->tx_first[d] = r->links[0];
    if (c->tx_last[d] == r) c->tx_last[d] = prev;
    r->links[0] = nullptr;
    return;
  }
}

void to_closed(ssc_hdr_tx_link* r) {
  r->links[1] = g_tx.closed;
  g_tx.closed = r;
}

ssc_msg_type type_of(const ssc_handle* h) { return h->type; }

}  // namespace

ssc_tx_state& ssc_tx() { return g_tx; }

void ssc_tx_reset() {
  ssc_tx_free_closed();
  g_tx = ssc_tx_state{};
}

ssc_hdr_tx_link* ssc_tx_open(ssc_handle* h, u8 direction) {
  ssc_call* c = ssc_mod().call;
  if (c == nullptr || h == nullptr) return nullptr;
  auto* r = static_cast<ssc_hdr_tx_link*>(Ssc_alloc_header(h, ssc_header_id::TX_LINK));
  if (r == nullptr) return nullptr;
  if (direction == SSC_TX_RECEIVED) {
    h->transaction_number = static_cast<u16>(0x8000u | g_tx.counter);
    g_tx.counter = static_cast<u16>((g_tx.counter + 1) & 0x7FFF);
  }
  r->handle = h;
  r->type = static_cast<u8>(h->type);
  r->flag = direction & 1;
  r->links[0] = nullptr;
  r->links[1] = nullptr;
  ++h->ref_count;
  const u8 d = direction & 1;
  if (c->tx_last[d]) static_cast<ssc_hdr_tx_link*>(c->tx_last[d])->links[0] = r;
  else c->tx_first[d] = r;
  c->tx_last[d] = r;
  g_tx.current = r;
  g_tx.pending = h;
  return r;
}

u8 ssc_tx_find(ssc_msg_type type, u16 number, u8 direction) {
  g_tx.current = nullptr;
  g_tx.pending = nullptr;
  ssc_call* c = ssc_mod().call;
  if (c == nullptr) return 3;
  for (auto* r = static_cast<ssc_hdr_tx_link*>(c->tx_first[direction & 1]); r; r = next_of(r)) {
    if (r->type != static_cast<u8>(type)) continue;
    if (number != 0xFFFF && r->handle->transaction_number != number) continue;
    g_tx.current = r;
    g_tx.pending = r->handle;
    return 2;
  }
  return 3;
}

ssc_hdr_tx_link* ssc_tx_close() {
  ssc_hdr_tx_link* r = g_tx.current;
  ssc_call* c = ssc_mod().call;
  if (r == nullptr) return nullptr;
  if (c) unlink(c, r);
  to_closed(r);
  g_tx.current = nullptr;
  return r;
}

void ssc_tx_free_closed() {
  while (g_tx.closed) {
    ssc_hdr_tx_link* r = g_tx.closed;
    g_tx.closed = static_cast<ssc_hdr_tx_link*>(r->links[1]);
    ssc_handle* h = r->handle;
    if (g_tx.pending == h) g_tx.pending = nullptr;
    ssc_internal::release_handle(h);
  }
}

void ssc_tx_release_call(ssc_call* c) {
  for (u8 d = 0; d < 2; ++d) {
    while (c->tx_first[d]) {
      auto* r = static_cast<ssc_hdr_tx_link*>(c->tx_first[d]);
      unlink(c, r);
      if (g_tx.current == r) g_tx.current = nullptr;
      to_closed(r);
    }
    c->tx_last[d] = nullptr;
  }
}

unsigned ssc_tx_count(const ssc_call* c, u8 direction) {
  unsigned n = 0;
  for (auto* r = static_cast<ssc_hdr_tx_link*>(c->tx_first[direction & 1]); r; r = next_of(r)) ++n;
  return n;
}

u8 ssc_tx_track(ssc_handle* h, u8 direction) {
  if (h == nullptr || ssc_mod().call == nullptr) return 2;
  const ssc_msg_type t = type_of(h);
  const u8 cls = ssc_msg_type_table[ssc_idx(t)].msg_class;
  if (t == ssc_msg_type::CANCEL && direction == SSC_TX_RECEIVED) {
    (void)ssc_tx_find(ssc_msg_type::INVITE, 0xFFFF, SSC_TX_RECEIVED);
    return 2;
  }
  if (t == ssc_msg_type::CANCEL_RS && direction == SSC_TX_SENT) return 2;
  if (cls == 1) {
    (void)ssc_tx_open(h, direction);
    return 2;
  }
  if (cls == 2) {
    const ssc_msg_type req = ssc_msg_type_table[ssc_idx(t)].pair;
    if (direction == SSC_TX_RECEIVED) {
      // Our request, answered from the network.
      if (ssc_tx_find(req, h->transaction_number, SSC_TX_SENT) != 2) return 3;
    }
    if (g_tx.current == nullptr) return 3;
    auto* st = Ssc_first<ssc_hdr_status>(h, ssc_header_id::RETURN_CODE);
    const bool has = ssc_ptr_set(st);
    const u16 code = has ? st->code : 0;
    u8 klass = 4;
    if (has) {
      if (code >= 100 && code <= 199) klass = 0;
      else if (code >= 200 && code <= 299) klass = 1;
      else if (code >= 300 && code <= 399) klass = 2;
      else if (code >= 400 && code <= 699) klass = 3;
    }
    if (req == ssc_msg_type::OPTIONS && (g_tx.current->flag >> 4) != 0) {
      // A repeating OPTIONS: its step decides when the transaction ends.
    } else if (req != ssc_msg_type::INVITE) {
      if (klass >= 1) (void)ssc_tx_close();
    } else if (klass == 1 || klass == 2 || (klass == 4 && code != 35)) {
      (void)ssc_tx_close();
    }
    return 2;
  }
  if (cls == 3) {  // ACK
    if (ssc_tx_find(ssc_msg_type::INVITE, h->transaction_number, direction) == 2) (void)ssc_tx_close();
  }
  return 2;
}
