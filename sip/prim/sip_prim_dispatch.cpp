#include "sip/prim/sip_prim_dispatch.h"

#include "common/byte_order.h"
#include "runtime/buffer.h"
#include "runtime/mem.h"
#include "sip/prim/sip_elem.h"

sip_dispatch_hooks sip_dispatch_env;
sip_seq_window_t sip_seq_window;
u8 sip_dispatch_code = 0;
u8 sip_dispatch_code_copy = 0;
u8 sip_dispatch_resending = 0;

namespace {

enum class call_rule : u8 { none, take, required };

struct handler_entry {
  call_rule rule;
  sip_msg_kind kind;
};

// Request codes 'A'..'P' and response codes 'a'..'p'; rule none: ignored.
constexpr handler_entry REQUESTS[16] = {
    {call_rule::take, sip_msg_kind::invite_rq},     {call_rule::required, sip_msg_kind::ack_rq},
    {call_rule::take, sip_msg_kind::options_rq},    {call_rule::required, sip_msg_kind::bye_rq},
    {call_rule::required, sip_msg_kind::cancel_rq}, {call_rule::take, sip_msg_kind::register_rq},
};
constexpr handler_entry RESPONSES[16] = {
    {call_rule::required, sip_msg_kind::invite_rs},  {call_rule::none, sip_msg_kind::invite_rs},
    {call_rule::required, sip_msg_kind::options_rs}, {call_rule::required, sip_msg_kind::bye_rs},
    {call_rule::required, sip_msg_kind::cancel_rs},  {call_rule::required, sip_msg_kind::register_rs},
};

void error_in(u16 conn_id, u8 error, u8 d1, u8 d2, u8 d3) {
  if (sip_dispatch_env.send_error_in != nullptr) sip_dispatch_env.send_error_in(conn_id, error, d1, d2, d3);
}

u8 no_dialog() { return sip_dispatch_env.call_has_dialog != nullptr && sip_dispatch_env.call_has_dialog() ? 0 : 1; }

u8 handle(const handler_entry& e, u8 code, u16 conn_id, const u8* body, u16 length) {
  const bool usable = sip_dispatch_env.call_check != nullptr && sip_dispatch_env.call_check(conn_id) == 2;
  if (!usable) {
    if (e.rule != call_rule::take) return SIP_DISPATCH_NO_CALL;
    const u8 r = sip_dispatch_env.call_alloc_outgoing != nullptr ? sip_dispatch_env.call_alloc_outgoing(conn_id) : 3;
    if (r != 2) {
      error_in(conn_id, r, 0, 1, code);
      return SIP_DISPATCH_HANDLED;
    }
  }
  sip_dispatch_code = code;
  sip_dispatch_code_copy = code;
  const sip_kind_hdr_table* table = sip_kind__table(e.kind);
  return sip_prim_decode_elements(conn_id, body, length, *table);
}

// Frees a temporary block on every way out.
struct tmp_block {
  u8* p = nullptr;
  ~tmp_block() {
    if (p != nullptr) Free_tmp_block(p);
  }
};

}  // namespace

u8 sip_prim_decode_elements(u16 conn_id, const u8* body, u16 length, const sip_kind_hdr_table& table) {
  if (sip_dispatch_env.endpoint_ready == nullptr || !sip_dispatch_env.endpoint_ready()) return SIP_DISPATCH_NOT_READY;
  if (body == nullptr || length < 2u * table.row_count) return SIP_DISPATCH_OUTSIDE;
  const u8 code = static_cast<u8>(table.kind);
  sip_prim_code = code;
  sip_header_id failed{};
  const u16 r = sip_prim__decode_body(body, length, table, &failed);
  if (r == SIP_ELEM_MALFORMED) return SIP_DISPATCH_OUTSIDE;
  if (r != SIP_ELEM_OK) {
    error_in(conn_id, static_cast<u8>(r), static_cast<u8>(failed), no_dialog(), code);
    return SIP_DISPATCH_HANDLED;
  }
  if (!sip_kind__is_request(table.kind)) {
    const bool found = sip_dispatch_env.server_tx_match != nullptr &&
                       sip_dispatch_env.server_tx_match(static_cast<u8>(code + 128)) == 2;
    if (!found) return SIP_DISPATCH_NO_SERVER_TX;
  }
  return sip_dispatch_env.send_prim != nullptr ? sip_dispatch_env.send_prim() : SIP_DISPATCH_HANDLED;
}

void sip_prim_dispatch_down(const msg_t* m) {
  if (m == nullptr) return;
  const u8 code = static_cast<u8>(m->code);
  if (code == SIP_TICK_ANSWER) {
    // The answer carries the acknowledged sequence; a shorter one is ignored.
    const u32 size = m->p_buffer ? m->p_buffer->data_size : m->data_size;
    if (size < 2) return;
    sip_seq_window.acknowledged = get_host16(Msg_data(m));
    const u16 lag = static_cast<u16>(sip_seq_window.sequence - sip_seq_window.acknowledged);
    sip_seq_window.not_available = lag > sip_seq_window.window ? 1 : 0;
    return;
  }
  const handler_entry* e = nullptr;
  if (code >= 'A' && code <= 'P') e = &REQUESTS[code - 'A'];
  else if (code >= 'a' && code <= 'p') e = &RESPONSES[code - 'a'];
  if (e == nullptr || e->rule == call_rule::none) return;

  const u8* body = nullptr;
  u32 length = 0;
  tmp_block copy;
  if (m->p_buffer == nullptr) {
    body = Msg_data(m);
    length = m->data_size;
  } else if (m->p_buffer->next == nullptr) {
    body = Msg_data(m);
    length = m->p_buffer->data_size;
  } else {
    const u32 total = Buffer_chain_length(m->p_buffer);
    copy.p = total > 0 && total <= 0xFFFF ? Alloc_tmp_block(total) : nullptr;
    if (copy.p == nullptr || Reassemble_buffers(copy.p, total, m->p_buffer, &length) == nullptr) {
      error_in(m->conn_id, SIP_DISPATCH_NO_COPY, 0, 0, code);
      return;
    }
    body = copy.p;
  }
  if (length > 0xFFFF) length = 0xFFFF;
  const u8 r = handle(*e, code, m->conn_id, body, static_cast<u16>(length));
  if (r != SIP_DISPATCH_DONE && r != SIP_DISPATCH_HANDLED) error_in(m->conn_id, r, 0, sip_dispatch_resending, code);
}
