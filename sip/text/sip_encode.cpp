// SIP message text encoder: the output chain, the per-kind header order
// tables and sip_encode_message.
#include <cstring>

#include "sip/text/sip_encode_int.h"

sip_encode_services sip_encode_env;
u8 sip_encode_kind = SIP_KIND_DEFAULT;
sip_out_chain sip_encode_chain;
bool sip_encode_failed = false;

// ---------------------------------------------------------------------------
// Output chain

namespace {

void start_writer(buffer_t* b) {
  const auto room = static_cast<std::size_t>(om_os_get_buffer_size() - b->data_offset);
  sip_out__start(reinterpret_cast<char*>(Buffer_data(b)), room);
}

}  // namespace

bool sip_chain__open(sip_out_chain& c, u16 room) {
  if (static_cast<u32>(BUFFER_HEADER_SIZE) + room >= om_os_get_buffer_size()) return false;
  buffer_t* b = Alloc_buffer();
  if (b == nullptr) return false;
  b->data_offset = static_cast<u16>(b->data_offset + room);
  b->data_size = 0;
  c.cur = b;
  start_writer(b);
  return true;
}

u16 sip_chain__pending(const sip_out_chain& c) {
  if (c.cur == nullptr || sip_out.ptr == nullptr) return 0;
  return static_cast<u16>(sip_out.ptr - reinterpret_cast<const char*>(Buffer_data(c.cur)));
}

bool sip_chain__commit(sip_out_chain& c) {
  if (c.cur == nullptr || sip_out.overflow) return false;
  const u16 n = sip_chain__pending(c);
  if (c.last == nullptr) {
    c.cur->data_size = n;
    c.first = c.last = c.cur;
    c.cur = nullptr;
    buffer_t* b = Alloc_buffer();
    if (b == nullptr) return false;
    c.cur = b;
  } else if (static_cast<u32>(c.last->data_offset) + c.last->data_size + n <= om_os_get_buffer_size()) {
    std::memcpy(Buffer_data(c.last) + c.last->data_size, Buffer_data(c.cur), n);
    c.last->data_size = static_cast<u16>(c.last->data_size + n);
  } else {
    c.cur->data_size = n;
    c.last->next = c.cur;
    c.last = c.cur;
    c.cur = nullptr;
    buffer_t* b = Alloc_buffer();
    if (b == nullptr) return false;
    c.cur = b;
  }
  start_writer(c.cur);
  return true;
}

void sip_chain__free(sip_out_chain& c) {
  if (c.first != nullptr) Free_buffer(c.first);
  if (c.cur != nullptr) Free_buffer(c.cur);
  c = sip_out_chain{};
  sip_out__start(nullptr, 0);
}

bool sip_out__commit_line() {
  if (sip_encode_failed) return false;
  if (!sip_chain__commit(sip_encode_chain)) {
    sip_encode__fail();
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Header order tables

namespace {

using hid = sip_header_id;

constexpr u8 BODY = 62;
constexpr u8 SDP_BODY = 63;

// Header ids of each kind, in writing order (the body rows last).
constexpr u8 order_invite[] = {1,  3,  4,  5,  6,  7,  9,  10, 11, 12, 13, 14, 15, 17, 18, 19,   20,
                               22, 23, 24, 25, 26, 27, 29, 30, 31, 32, 33, 34, 36, 37, 39, 40,   41,
                               42, 78, 43, 44, 45, 46, 48, 51, 52, 53, 54, 55, 56, 58, 59, BODY, SDP_BODY};
constexpr u8 order_ack[] = {1,  7,  9,  10, 12, 13, 14, 15, 17, 18, 19, 23, 26,   27,      37,
                            39, 40, 41, 42, 45, 46, 48, 52, 55, 56, 58, 59, BODY, SDP_BODY};
constexpr u8 order_options[] = {1,  3,  4,  5,  7,  9,  10, 11, 12, 13, 14, 15, 17, 18, 19, 23, 24, 26, 27,   30,
                                31, 34, 37, 39, 40, 41, 42, 78, 45, 46, 48, 52, 53, 54, 55, 56, 58, 59, BODY, SDP_BODY};
constexpr u8 order_bye[] = {1,  3,  4,  5,  7,  9,  10, 13, 14, 15, 17, 18, 19, 23, 26, 27,   31,      34,
                            37, 39, 40, 41, 42, 78, 45, 46, 48, 52, 54, 55, 56, 58, 59, BODY, SDP_BODY};
constexpr u8 order_cancel[] = {1, 3, 4, 5, 7, 9, 10, 18, 19, 23, 26, 37, 41, 42, 45, 48, 52, 54, 55, 56, 58, 59};
constexpr u8 order_register[] = {1,  3,  4,  5,  7,  9,  10, 11, 12, 13, 14,   15,      17, 18,
                                 19, 22, 23, 24, 26, 27, 30, 35, 37, 39, 40,   41,      42, 78,
                                 45, 46, 48, 52, 53, 54, 55, 56, 58, 59, BODY, SDP_BODY};
constexpr u8 order_invite_rs[] = {2,  3,  4,  5,  6,  7,  8,  10, 11, 12, 13, 14, 15, 17, 18,   19,
                                  20, 21, 22, 23, 24, 27, 29, 30, 31, 32, 33, 34, 37, 38, 41,   42,
                                  44, 46, 47, 49, 51, 52, 54, 55, 56, 57, 58, 59, 60, 61, BODY, SDP_BODY};
constexpr u8 order_options_rs[] = {2,  3,  4,  5,  7,  8,  10, 11, 12, 13, 14, 15,   17,
                                   18, 19, 21, 23, 24, 27, 30, 31, 34, 37, 38, 42,   46,
                                   47, 49, 52, 54, 55, 56, 57, 58, 59, 60, 61, BODY, SDP_BODY};
constexpr u8 order_bye_rs[] = {2,  3,  4,  5,  7,  8,  10, 12, 13, 14, 15, 17, 18, 19, 21, 23, 27,   31,
                               34, 37, 38, 42, 46, 47, 49, 52, 54, 55, 56, 57, 58, 59, 60, 61, BODY, SDP_BODY};
constexpr u8 order_cancel_rs[] = {2, 3, 4, 5, 7, 10, 18, 19, 21, 23, 37, 38, 42, 47, 49, 52, 54, 55, 56, 58, 59, 60};
constexpr u8 order_register_rs[] = {2,  3,  4,  5,  7,  8,  10, 11, 12, 13, 14, 15,   17,      18,
                                    19, 21, 22, 23, 24, 27, 28, 30, 35, 37, 38, 42,   46,      47,
                                    49, 50, 52, 54, 55, 56, 57, 58, 59, 60, 61, BODY, SDP_BODY};
// The short stateless response: status line, Allow, Call-ID, CSeq, From,
// Record-Route, Retry-After, Session-ID, To, Via.
constexpr u8 order_default[] = {2, 7, 10, 18, 23, 42, 47, 52, 56, 59};

struct order_table {
  const u8* ids;
  u8 count;
};

template <std::size_t N>
constexpr order_table table(const u8 (&ids)[N]) {
  return {ids, static_cast<u8>(N)};
}

// Index by kind letter: requests 'A'..'F', responses 'a'..'f' ('b' none).
constexpr order_table request_tables[] = {table(order_invite), table(order_ack),    table(order_options),
                                          table(order_bye),    table(order_cancel), table(order_register)};
constexpr order_table response_tables[] = {table(order_invite_rs), {nullptr, 0},           table(order_options_rs),
                                           table(order_bye_rs),    table(order_cancel_rs), table(order_register_rs)};
constexpr order_table default_table = table(order_default);

const order_table* table_of(u8 kind) {
  if (kind == SIP_KIND_DEFAULT) return &default_table;
  const order_table* t = nullptr;
  if (kind >= 'A' && kind <= 'F') t = &request_tables[kind - 'A'];
  if (kind >= 'a' && kind <= 'f') t = &response_tables[kind - 'a'];
  return t != nullptr && t->ids != nullptr ? t : nullptr;
}

// The default table's parsed-form rows; every other row uses the per-kind
// encoder of its id.
sip_hdr_encoder default_encoder(u8 id) {
  switch (id) {
    case 10: return sip_out__call_id_parsed;
    case 59: return sip_out__via_parsed;
    default: return sip_hdr_encoder_of(static_cast<hid>(id));
  }
}

}  // namespace

u8 sip_encode_message(u8 mode) {
  const u8 kind = sip_encode_kind;
  const order_table* t = table_of(kind);
  if (t == nullptr) return SIP_ENCODE_NO_TABLE;

  sip_encode_chain = sip_out_chain{};
  sip_encode_failed = false;
  if (!sip_chain__open(sip_encode_chain, sip_encode_env.header_room)) {
    sip_out__start(nullptr, 0);
    return SIP_RESULT_NOK;
  }
  if (mode == SIP_ENCODE_CALL) {
    u8& calls = sip_hdr_count(hid::call_id);
    if (calls == 0) calls = 1;
    if (kind != SIP_KIND_DEFAULT) {
      if (kind < 'a' && sip_encode_env.cseq_request != nullptr) sip_encode_env.cseq_request();
      if (kind >= 'a' && sip_encode_env.cseq_response != nullptr) sip_encode_env.cseq_response();
    }
  }

  // A message without its start line is not sent.
  const u8 start_line = kind >= 'A' && kind <= 'F' ? 1 : 2;
  if (sip_hdr_area.count[start_line] == 0) sip_encode__fail();
  bool has_body = false;
  for (u8 r = 0; r < t->count && !sip_encode_failed; ++r) {
    const u8 id = t->ids[r];
    const u8 count = sip_hdr_area.count[id];
    if (id == BODY || id == SDP_BODY) has_body = has_body || count != 0;
    if (count == 0) continue;
    if (id == 1 && !sip_out__request_line()) {
      // A request without its start line is no request: not sent.
      sip_encode__fail();
      break;
    }
    sip_hdr_area.index = 0;
    if (id != 1) {
      sip_hdr_encoder e = kind == SIP_KIND_DEFAULT ? default_encoder(id) : sip_hdr_encoder_of(static_cast<hid>(id));
      if (e == nullptr) continue;
      e(count);
    }
    (void)sip_out__commit_line();
  }
  if (!has_body && !sip_encode_failed) {
    sip_out__content_length(0);
    put_crlf();
    (void)sip_out__commit_line();
  }
  sip_hdr_area.index = 0;

  sip_out_chain c = sip_encode_chain;
  sip_encode_chain = sip_out_chain{};
  if (sip_encode_failed || c.first == nullptr) {
    sip_chain__free(c);
    return SIP_RESULT_NOK;
  }
  Free_buffer(c.cur);
  sip_out__start(nullptr, 0);
  if (mode == SIP_ENCODE_CALL) {
    if (sip_encode_env.send_by_kind == nullptr) {
      Free_buffer(c.first);
      return SIP_RESULT_NOK;
    }
    return sip_encode_env.send_by_kind(c.first);
  }
  if (sip_encode_env.send_to_transport == nullptr) {
    Free_buffer(c.first);
    return SIP_RESULT_NOK;
  }
  sip_encode_env.send_to_transport(c.first, SIP_SEND_DATAGRAM);
  return SIP_RESULT_OK;
}

bool sip_encode__table_has(u8 kind, u8 id) {
  const order_table* t = table_of(kind);
  if (t == nullptr) return false;
  for (u8 r = 0; r < t->count; ++r)
    if (t->ids[r] == id) return true;
  return false;
}
