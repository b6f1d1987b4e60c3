// Page conversion entity ENT_FC.
#include "fax/fax_msg.h"
#include "fax/fc.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "common/byte_order.h"
#include "fax/page_header.h"
#include "fax/t4t6.h"
#include "runtime/automaton.h"
#include "runtime/om_os.h"
#include "runtime/sm.h"
#include "platform/int_types.h"

namespace fsm = kv::fsm;

namespace {

constexpr u16 FC_TRAP_NO_DATA_BUFFER = 811;
constexpr u32 FC_MR_K = 2;

constexpr u16 kOutLineLengths[] = {864,  1024, 1216, 1728, 2048, 2432, 2592,  3072,  3456,
                                   3648, 4096, 4864, 5184, 6144, 7296, 10368, 12288, 14592};

bool one_resolution_bit(u8 v) { return v != 0 && v <= 64 && (v & (v - 1)) == 0; }

struct encoder_release {
  void operator()(t4t6_encoder* e) const { t4t6__release_encoder(e); }
};
struct decoder_release {
  void operator()(t4t6_decoder* d) const { t4t6__release(d); }
};

std::unique_ptr<u8[]> alloc_bytes(u32 n) {
  std::unique_ptr<u8[]> p(new (std::nothrow) u8[n ? n : 1]);
  if (p) std::memset(p.get(), 0, n ? n : 1);
  return p;
}

// One page context.
struct fc_page {
  u16 id = 0;
  u8 state = FC_PAGE_IDLE;
  ent_id_t requester = 0;
  fc__init_pg_conv rq{};
  u32 flags = 0;       // enabled_conversion_bfi
  bool ready = false;  // every stage was set up
  u32 in_bytes = 0;    // bytes of an input line
  u32 out_bytes = 0;   // bytes of an output line

  // Line assembly (raw bitmap input).
  std::unique_ptr<u8[]> in_line;
  u32 in_fill = 0;

  // Header band: band_lines output lines laid over the first lines.
  std::unique_ptr<u8[]> band;
  u32 band_lines = 0;
  u32 band_next = 0;

  // Lines that reached the encode stage (band lines included).
  u32 lines_out = 0;

  // Resolution and line length.
  std::unique_ptr<u8[]> out_line;
  u32 left_pad = 0, right_pad = 0;
  u8 pad_byte = 0;
  bool halve = false;
  u32 resol_lines = 0;

  // Encoder and its output buffer.
  std::unique_ptr<t4t6_encoder, encoder_release> enc;
  std::unique_ptr<u8[]> enc_buf;
  u32 enc_buf_size = 0;
  u32 enc_worst = 0;  // room of one worst-case coded line, bytes

  // Decoder.
  std::unique_ptr<t4t6_decoder, decoder_release> dec;
  std::unique_ptr<u8[]> dec_line;

  // FC__DA_IN being filled.
  msg_t* out_msg = nullptr;

  fc__decoder_report report;
};

struct fc_entity_state {
  u32 marker = FC_MARKER_STARTED;
  u16 count = 0;
  u16 max_data = 0;
  std::unique_ptr<fc_page[]> pages;
};

fc_entity_state fc;

fc_page* find_page(nai_t id) { return fc.pages && id < fc.count ? &fc.pages[id] : nullptr; }

// ---------------------------------------------------------------------------
// Message helpers.

// Copies up to max bytes of the message's data (chain or inline); returns the
// number copied.
u32 copy_data(const msg_t* m, u8* out, u32 max) {
  u32 n = 0;
  if (m->p_buffer) {
    for (const buffer_t* b = m->p_buffer; b && n < max; b = b->next) {
      const u32 k = std::min<u32>(b->data_size, max - n);
      std::memcpy(out + n, Buffer_data(b), k);
      n += k;
    }
  } else {
    n = std::min<u32>(m->data_size, max);
    std::memcpy(out, Msg_inline_data(m), n);
  }
  return n;
}

// Replaces the message's data by n bytes: inline when they fit, else in a
// buffer chain.  Without a buffer only the first three bytes (result, cause,
// entity) are kept.
void set_body(msg_t* m, const u8* body, u32 n) {
  if (n <= om_os_get_msg_room()) {
    Msg_set_inline_body(m, body, static_cast<u8>(n));
    return;
  }
  Msg_set_inline_body(m, nullptr, 0);
  if (buffer_t* chain = Store_data_in_buffers(body, n, nullptr)) Msg_attach_chain(m, chain);
  else Msg_set_inline_body(m, body, 3);
}

void answer(msg_t* m, code_t code) {
  m->to = m->from;
  m->from = ENT_FC;
  m->sapi = FC_SAPI;
  m->code = code;
  Send_msg(m);
}

void address_to_requester(const fc_page& p, msg_t* m, code_t code) {
  Msg_set_head(m, {ENT_FC, p.requester, code, p.id, FC_SAPI, 0xFFFF});
}

// ---------------------------------------------------------------------------
// Output: FC__DA_IN messages of at most max_data bytes, each in one buffer.

void send_output(fc_page& p) {
  msg_t* m = p.out_msg;
  p.out_msg = nullptr;
  if (!m) return;
  if (m->chain_size == 0) {
    Free_msg(m);
    return;
  }
  address_to_requester(p, m, FC__DA_IN);
  Send_msg(m);
}

void emit(fc_page& p, const u8* data, u32 n) {
  while (n > 0) {
    if (!p.out_msg) {
      msg_t* m = Alloc_msg();
      if (!m) return;  // the rest of this output is lost
      buffer_t* b = Alloc_buffer();
      if (!b) {
        Free_msg(m);
        return;
      }
      b->link_count = 1;
      Msg_attach_chain(m, b);
      p.out_msg = m;
    }
    buffer_t* b = p.out_msg->p_buffer;
    const u32 k = std::min<u32>(n, fc.max_data - b->data_size);
    std::memcpy(Buffer_data(b) + b->data_size, data, k);
    b->data_size = static_cast<u16>(b->data_size + k);
    p.out_msg->chain_size = b->data_size;
    data += k;
    n -= k;
    if (b->data_size >= fc.max_data) send_output(p);
  }
}

// Hands on the encoder's whole bytes (all of them when final); a partial
// last byte moves to the start of the buffer.
void flush_encoder(fc_page& p, bool final) {
  fax_bit_cursor& out = p.enc->out;
  const u32 whole = out.byte_index;
  const bool partial = out.bit_offset != 0;
  emit(p, p.enc_buf.get(), whole + (final && partial ? 1 : 0));
  if (!final && partial) p.enc_buf[0] = p.enc_buf[whole];
  const i32 offset = final ? 0 : out.bit_offset;
  out = fax_bit_cursor{p.enc_buf.get(), 0, offset, static_cast<i32>(p.enc_buf_size * 8) - offset};
}

// ---------------------------------------------------------------------------
// The line pipeline.

// Encode stage: the header band replaces the first lines; lines beyond the
// output line count are dropped.
void encode_stage(fc_page& p, const u8* line) {
  if (p.band_next < p.band_lines) line = p.band.get() + size_t{p.band_next++} * p.out_bytes;
  if (p.lines_out >= p.rq.out_pg__nb_lines) return;
  ++p.lines_out;
  p.enc->line = line;
  (void)t4t6__encode_line(p.enc.get());  // the room below rules out an overflow
  if (p.enc->out.bits_left < static_cast<i32>(p.enc_worst * 8)) flush_encoder(p, false);
}

// A line of in_bytes (ours to change) goes through colour and resolution.
void push_line(fc_page& p, u8* line) {
  if (p.flags & FC_CONV_COLOUR)
    for (u32 i = 0; i < p.in_bytes; ++i) line[i] = static_cast<u8>(~line[i]);
  if (p.flags & FC_CONV_RESOLUTION) {
    if (p.halve && (p.resol_lines++ & 1)) return;  // 200 -> 100 lpi keeps lines 1, 3, 5 ...
    u8* out = p.out_line.get();
    std::memset(out, p.pad_byte, p.left_pad);
    std::memcpy(out + p.left_pad, line, p.in_bytes);
    std::memset(out + p.left_pad + p.in_bytes, p.pad_byte, p.right_pad);
    line = out;
  }
  encode_stage(p, line);
}

void assemble_lines(fc_page& p, const u8* data, u32 n) {
  while (n > 0) {
    const u32 k = std::min(n, p.in_bytes - p.in_fill);
    std::memcpy(p.in_line.get() + p.in_fill, data, k);
    p.in_fill += k;
    data += k;
    n -= k;
    if (p.in_fill == p.in_bytes) {
      p.in_fill = 0;
      push_line(p, p.in_line.get());
    }
  }
}

void decode_data(fc_page& p, const u8* data, u32 n) {
  t4t6_decoder* d = p.dec.get();
  if (d->page_status != T4T6_PAGE_DECODING || n == 0) return;
  d->data = data;
  d->data_len = n;
  for (;;) {
    t4t6__decode_page(d);
    if (d->line_ready) push_line(p, p.dec_line.get());
    if (d->page_status != T4T6_PAGE_DECODING || d->end_of_data) return;
  }
}

// ---------------------------------------------------------------------------
// Stages: set-up and closing.

// Runs the renderer over the header text as the band needs it: rows of 1728
// pels, cut to the output line when that is narrower.  Counts the rows and
// copies them into `band` when one is given.  A header taller than a page
// does not fit any band (cause 79).
u8 render_header(const fc_page& p, const u8* chars, u32 n, u8* band, u32* rows) {
  tcg_handle h;
  h.font = n - 1 <= TCG_FONT0_MAX_TEXT ? 0 : 1;
  h.vertical_mode = p.rq.out_pg__vertical_resolution == FC_LPI_100 ? TCG_VERTICAL_100 : TCG_VERTICAL_OTHER;
  h.top_margin = p.rq.bmp_top_margin_pels;
  if (tcg_init(&h) != TCG_INIT_OK) return FC__TXT_ERR__TGC_INIT;
  struct release_renderer {
    tcg_handle* h;
    ~release_renderer() { tcg_release(h); }
  } guard{&h};
  const u32 keep = std::min(TCG_ROW_BYTES, p.out_bytes);
  u8 row[TCG_ROW_BYTES];
  u32 count = 0;
  h.text = chars;
  h.text_left = n;
  while (!h.text_done) {
    const bool page_used = h.page_full;
    h.dest = row;
    h.dest_room = TCG_ROW_BYTES;
    tcg_put_rows(&h);
    if (h.dest == row) continue;
    if (page_used || (band && count >= *rows)) return FC__TXT_ERR__OUTPUT_BUFFER_TOO_SMALL;
    if (band) std::memcpy(band + size_t{count} * p.out_bytes, row, keep);
    ++count;
  }
  *rows = count;
  return FC__INIT_OK;
}

// The band holds the top margin and every text line of the header, at every
// output resolution.
u8 setup_header(fc_page& p) {
  const char* text = p.rq.sz_page_header;
  const u32 len = static_cast<u32>(strnlen(text, FC_PAGE_HEADER_SIZE - 1));
  u8 chars[FC_PAGE_HEADER_SIZE];
  std::memcpy(chars, text, len);
  chars[len] = TCG_END_OF_TEXT;
  u32 rows = 0;
  u8 cause = render_header(p, chars, len + 1, nullptr, &rows);
  if (cause != FC__INIT_OK) return cause;
  p.band = alloc_bytes(rows * p.out_bytes);
  if (!p.band) return FC__INIT_ERR__ALLOC;
  cause = render_header(p, chars, len + 1, p.band.get(), &rows);
  if (cause != FC__INIT_OK) return cause;
  p.band_lines = rows;
  if (!p.rq.out_pg__color_bilevel__flag_white_is_zero)
    for (u32 i = 0; i < p.band_lines * p.out_bytes; ++i) p.band[i] = static_cast<u8>(~p.band[i]);
  return FC__INIT_OK;
}

u8 setup_resolution(fc_page& p) {
  const u32 extra = p.out_bytes - p.in_bytes;
  switch (p.rq.in_pg__line_padding_mode) {
    case FC_PAD_LEFT: p.left_pad = extra; break;
    case FC_PAD_RIGHT: p.left_pad = 0; break;
    default: p.left_pad = extra / 2; break;
  }
  p.right_pad = extra - p.left_pad;
  // Padding is white in the output's colour convention.
  p.pad_byte = p.rq.out_pg__color_bilevel__flag_white_is_zero ? 0x00 : 0xFF;
  p.halve = p.rq.in_pg__vertical_resolution != p.rq.out_pg__vertical_resolution;
  p.resol_lines = 0;
  p.out_line = alloc_bytes(p.out_bytes);
  return p.out_line ? FC__INIT_OK : FC__RESOL_INIT_ERR__ALLOC;
}

u8 setup_encoder(fc_page& p) {
  t4t6_encoder* e = nullptr;
  if (t4t6__open_encoder(&e, p.rq.out_pg__encoding, p.rq.out_pg__line_length, FC_MR_K) != T4T6_OPEN_OK)
    return FC__T4T6_INIT_ERR__TCMNINIT;
  p.enc.reset(e);
  p.enc_worst = t4t6__max_line_bytes(p.rq.out_pg__line_length);
  p.enc_buf_size = 2 * p.enc_worst;
  p.enc_buf = alloc_bytes(p.enc_buf_size);
  if (!p.enc_buf) return FC__T4T6_INIT_ERR__ALLOC;
  e->out = fax_bit_cursor{p.enc_buf.get(), 0, 0, static_cast<i32>(p.enc_buf_size * 8)};
  // A T.4 page starts with an EOL.
  if (p.rq.out_pg__encoding != FC_MMR) (void)t4t6__end_page(e, 0);
  return FC__INIT_OK;
}

u8 setup_decoder(fc_page& p) {
  p.dec_line = alloc_bytes(p.in_bytes);
  if (!p.dec_line) return FC__T4T6_INIT_ERR__ALLOC;
  t4t6_decoder* d = nullptr;
  if (t4t6__open(&d, p.rq.in_pg__encoding, p.rq.in_pg__line_length) != T4T6_OPEN_OK) return FC__T4T6_INIT_ERR__DECODER;
  p.dec.reset(d);
  d->line = p.dec_line.get();
  return FC__INIT_OK;
}

u8 setup_stages(fc_page& p) {
  p.in_bytes = p.rq.in_pg__line_length / 8u;
  p.out_bytes = p.rq.out_pg__line_length / 8u;
  p.lines_out = 0;
  p.band_next = 0;
  p.in_fill = 0;
  u8 cause = FC__INIT_OK;
  if (p.flags & FC_CONV_HEADER) cause = setup_header(p);
  if (cause == FC__INIT_OK && (p.flags & FC_CONV_ENCODE) && !(p.flags & FC_CONV_DECODE)) {
    p.in_line = alloc_bytes(p.in_bytes);
    if (!p.in_line) cause = FC__INIT_ERR__ALLOC;
  }
  if (cause == FC__INIT_OK && (p.flags & FC_CONV_RESOLUTION)) cause = setup_resolution(p);
  if (cause == FC__INIT_OK && (p.flags & FC_CONV_ENCODE)) cause = setup_encoder(p);
  if (cause == FC__INIT_OK && (p.flags & FC_CONV_DECODE)) cause = setup_decoder(p);
  return cause;
}

// Closes every stage and frees the page's buffers; the decoder's report is
// kept for FC__STOP_PG_CO.
void close_stages(fc_page& p) {
  if (p.dec) {
    p.report.valid = 1;
    p.report.lines_decoded = t4t6__lines_decoded(p.dec.get());
    p.report.ended_by_error = p.dec->page_status == T4T6_PAGE_ERROR ? 1 : 0;
    p.report.error_lines = p.dec->error_lines;
  }
  p.dec.reset();
  p.dec_line.reset();
  p.enc.reset();
  p.enc_buf.reset();
  p.out_line.reset();
  p.band.reset();
  p.band_lines = p.band_next = 0;
  p.in_line.reset();
  p.ready = false;
}

void abort_page(fc_page& p) {
  close_stages(p);
  Free_msg(p.out_msg);
  p.out_msg = nullptr;
  p.state = FC_PAGE_IDLE;
}

// Ends the page normally: RTC or EOFB, the last bytes and the pending
// FC__DA_IN go out.
void finish_page(fc_page& p) {
  if (p.ready && p.enc) {
    (void)t4t6__end_page(p.enc.get(), 1);
    flush_encoder(p, true);
  }
  send_output(p);
  close_stages(p);
  p.state = FC_PAGE_IDLE;
}

// Input lines left out of a page cut at its output line count.
u32 lines_left_out(const fc__init_pg_conv& r) {
  if (r.in_pg__nb_lines == 0) return 0xFFFFFFFF;
  u32 in = r.in_pg__nb_lines;
  if (r.in_pg__vertical_resolution != r.out_pg__vertical_resolution) in = in / 2 + (in & 1);
  return in < r.out_pg__nb_lines ? 0xFFFFFFFF : in - r.out_pg__nb_lines;
}

void send_stop_in(const fc_page& p) {
  msg_t* m = Alloc_msg();
  if (!m) return;
  u8 body[FC_STOP_PG_IN_SIZE] = {};
  body[0] = FC_OK;
  body[1] = FC__INIT_ERR__BAD_PG_ID;
  body[2] = ENT_FC;
  put_le32(body + 4, lines_left_out(p.rq));
  set_body(m, body, sizeof body);
  address_to_requester(p, m, FC__STOP_PG_IN);
  Send_msg(m);
}

// ---------------------------------------------------------------------------
// Primitives.

void answer_init(msg_t* m, fc__init_pg_conv& r, u8 result, u8 cause) {
  r.result = result;
  r.cause = cause;
  r.entity = ENT_FC;
  u8 body[FC_INIT_PG_CONV_SIZE];
  fc__init_pg_conv_pack(r, body);
  set_body(m, body, sizeof body);
  answer(m, FC__INIT_PG_CO);
}

// The page machine: a page is idle, passes its data through, or converts
// them.  The state numbers are those of fc__page_state.
enum class page_st : u8 {
  IDLE = FC_PAGE_IDLE,
  PASS_THROUGH = FC_PAGE_PASS_THROUGH,
  CONVERTING = FC_PAGE_CONVERTING,
  count_
};
enum class page_ev : u8 { INIT_PG_RQ, DA_RQ, STOP_PG_RQ, count_ };

// One request for a page; the action answers it (or frees it).
struct page_step {
  msg_t* m;
  fc_page& p;
};
using page_action = void (*)(page_step&);

void init_page(page_step& t) {
  msg_t* m = t.m;
  fc_page* p = &t.p;
  u8 body[FC_INIT_PG_CONV_SIZE] = {};
  const u32 n = copy_data(m, body, sizeof body);
  fc__init_pg_conv r = fc__init_pg_conv_unpack(body);
  if (n < FC_INIT_PG_CONV_SIZE) {
    const u8 refusal[3] = {FC_NOK, FC__INIT_ERR__NO_INIT_DATA, ENT_FC};
    set_body(m, refusal, sizeof refusal);
    return answer(m, FC__INIT_PG_CO);
  }
  if (fc__check_init_pg_conv_param(&r) != FC_OK) return answer_init(m, r, r.result, r.cause);
  p->rq = r;
  p->requester = m->from;
  p->flags = r.enabled_conversion_bfi;
  p->report = fc__decoder_report{};
  p->state = p->flags ? FC_PAGE_CONVERTING : FC_PAGE_PASS_THROUGH;
  const u8 cause = setup_stages(*p);
  if (cause != FC__INIT_OK) {
    // The page stays started, with nothing set up, until it is stopped.
    close_stages(*p);
    return answer_init(m, r, FC_NOK, cause);
  }
  p->ready = true;
  answer_init(m, r, FC_OK, FC__INIT_OK);
}

void refuse_init(page_step& t) {
  u8 body[FC_INIT_PG_CONV_SIZE] = {};
  copy_data(t.m, body, sizeof body);
  fc__init_pg_conv r = fc__init_pg_conv_unpack(body);
  answer_init(t.m, r, FC_NOK, FC__INIT_ERR__CONV_IN_PROGRESS);
}

void drop_data(page_step& t) { Free_msg(t.m); }

// Data without a buffer are refused whatever the page does with data.
bool data_in_buffer(msg_t* m) {
  if (m->p_buffer) return true;
  om_os_trap(FC_TRAP_NO_DATA_BUFFER);
  Free_msg(m);
  return false;
}

void pass_data(page_step& t) {
  if (!data_in_buffer(t.m)) return;
  address_to_requester(t.p, t.m, FC__DA_IN);
  Send_msg(t.m);
}

void convert_data(page_step& t) {
  msg_t* m = t.m;
  fc_page* p = &t.p;
  if (!data_in_buffer(m)) return;
  if (p->ready) {
    for (const buffer_t* b = m->p_buffer; b; b = b->next) {
      if (p->dec) decode_data(*p, Buffer_data(b), b->data_size);
      else if (p->in_line) assemble_lines(*p, Buffer_data(b), b->data_size);
    }
  }
  Free_msg(m);
  if (p->ready && p->lines_out >= p->rq.out_pg__nb_lines) {
    finish_page(*p);
    send_stop_in(*p);
  }
}

// The stop's answer carries the decoder report of the page.
void answer_stop(page_step& t) {
  u8 body[FC_STOP_PG_CO_SIZE] = {};
  body[0] = FC_OK;
  body[1] = FC__INIT_OK;
  body[2] = ENT_FC;
  body[3] = t.p.report.valid;
  put_le32(body + 4, t.p.report.lines_decoded);
  body[8] = t.p.report.ended_by_error;
  put_le32(body + 12, t.p.report.error_lines);
  set_body(t.m, body, sizeof body);
  answer(t.m, FC__STOP_PG_CO);
}

void stop_page(page_step& t) {
  u8 rq[FC_STOP_PG_RQ_SIZE] = {};
  copy_data(t.m, rq, sizeof rq);
  if (rq[FC_STOP_REASON_OFFSET] == FC_STOP_FINISH) finish_page(t.p);
  else abort_page(t.p);
  answer_stop(t);
}

constexpr fsm::row<page_st, page_ev, page_action> kPageRows[] = {
    {page_st::IDLE, page_ev::INIT_PG_RQ, init_page, fsm::by_action},
    {page_st::IDLE, page_ev::DA_RQ, drop_data, fsm::keep},
    {page_st::IDLE, page_ev::STOP_PG_RQ, answer_stop, fsm::keep},

    {page_st::PASS_THROUGH, page_ev::INIT_PG_RQ, refuse_init, fsm::keep},
    {page_st::PASS_THROUGH, page_ev::DA_RQ, pass_data, fsm::keep},
    {page_st::PASS_THROUGH, page_ev::STOP_PG_RQ, stop_page, page_st::IDLE},

    {page_st::CONVERTING, page_ev::INIT_PG_RQ, refuse_init, fsm::keep},
    {page_st::CONVERTING, page_ev::DA_RQ, convert_data, fsm::by_action},
    {page_st::CONVERTING, page_ev::STOP_PG_RQ, stop_page, page_st::IDLE},
};
constexpr auto kPageTable = fsm::compile(kPageRows, fsm::cell<page_action>{drop_data, fsm::kKeep});
constexpr auto kPagePlain = fsm::plain(kPageRows);
// An accepted page passes through or converts; a converted page ends when
// its last line is out.
constexpr u8 kPageTargets[] = {FC_PAGE_IDLE, FC_PAGE_PASS_THROUGH, FC_PAGE_CONVERTING};

void run_page(fc_page& p, page_ev e, msg_t* m) {
  const auto* cell = kPageTable.find(p.state, static_cast<u8>(e));
  if (cell == nullptr) {  // a state no page can hold
    Free_msg(m);
    return;
  }
  page_step t{m, p};
  cell->action(t);
  p.state = fsm::next_of(*cell, p.state);
}

void handle_page_request(msg_t* m, page_ev e) {
  fc_page* p = find_page(m->nai);
  if (p) return run_page(*p, e, m);
  if (e == page_ev::DA_RQ) return Free_msg(m);
  if (e == page_ev::INIT_PG_RQ) {
    u8 body[FC_INIT_PG_CONV_SIZE] = {};
    copy_data(m, body, sizeof body);
    fc__init_pg_conv r = fc__init_pg_conv_unpack(body);
    return answer_init(m, r, FC_NOK, FC__INIT_ERR__BAD_PG_ID);
  }
  u8 body[FC_STOP_PG_CO_SIZE] = {};
  body[0] = FC_NOK;
  body[1] = FC__INIT_ERR__BAD_PG_ID;
  body[2] = ENT_FC;
  set_body(m, body, sizeof body);
  answer(m, FC__STOP_PG_CO);
}

// ---------------------------------------------------------------------------
// Configuration and reset (from ENT_SM).

void release_pages() {
  for (u16 i = 0; fc.pages && i < fc.count; ++i) abort_page(fc.pages[i]);
  fc.pages.reset();
  fc.count = 0;
}

void answer_sm(msg_t* m, code_t code, u8 result, u8 cause) {
  if (Msg_data_size(m) >= 3) {
    u8* d = Msg_data(m);
    d[0] = result;
    d[1] = cause;
    d[2] = ENT_FC;
  } else {
    const u8 body[3] = {result, cause, ENT_FC};
    set_body(m, body, sizeof body);
  }
  answer(m, code);
}

u8 configure(const u8* body, u32 n) {
  if (n < FC_CONFIG_SIZE) return FC_CFG_ERR_NO_BODY;
  if (fc.marker == FC_MARKER_CONFIGURED) return FC_CFG_ERR_TWICE;
  const u16 count = get_le16(body + 4);
  const u16 max_data = get_le16(body + 6);
  if (count > FC_MAX_PAGE_CONTEXTS) return FC_CFG_ERR_CONTEXTS;
  if (max_data == 0 || max_data > om_os_get_buffer_room()) return FC_CFG_ERR_DATA_SIZE;
  std::unique_ptr<fc_page[]> pages(new (std::nothrow) fc_page[count ? count : 1]);
  if (!pages) return FC_CFG_ERR_MEMORY;
  for (u16 i = 0; i < count; ++i) pages[i].id = i;
  fc.pages = std::move(pages);
  fc.count = count;
  fc.max_data = max_data;
  fc.marker = FC_MARKER_CONFIGURED;
  return FC_CFG_OK;
}

void handle_config(msg_t* m) {
  u8 body[FC_CONFIG_SIZE] = {};
  const u8 cause = configure(body, copy_data(m, body, sizeof body));
  answer_sm(m, SM_CONFIG_CO, cause != FC_CFG_OK ? FC_NOK : FC_OK, cause);
}

void handle_reset(msg_t* m) {
  release_pages();
  fc.marker = FC_MARKER_STARTED;
  answer_sm(m, SM_RST_CFG_CO, FC_OK, 0);
}

}  // namespace

// ---------------------------------------------------------------------------
// Record and checks.

namespace {

// The fixed-width fields of the record with their offsets, named once for
// packing and unpacking: `io` is called with each offset and field.
template <class Rec, class Io>
void visit_init_pg_conv(Rec& r, Io&& io) {
  using namespace fc_rec;
  io(RESULT, r.result);
  io(CAUSE, r.cause);
  io(ENTITY, r.entity);
  io(BFI, r.enabled_conversion_bfi);
  io(IN_ENCODING, r.in_pg__encoding);
  io(IN_LINE_LENGTH, r.in_pg__line_length);
  io(IN_PADDING, r.in_pg__line_padding_mode);
  io(IN_VRES, r.in_pg__vertical_resolution);
  io(IN_NB_LINES, r.in_pg__nb_lines);
  io(IN_KIND, r.in_pg__kind_of_color);
  io(IN_WHITE_IS_ZERO, r.in_pg__color_bilevel__flag_white_is_zero);
  io(OUT_ENCODING, r.out_pg__encoding);
  io(OUT_LINE_LENGTH, r.out_pg__line_length);
  io(OUT_VRES, r.out_pg__vertical_resolution);
  io(OUT_NB_LINES, r.out_pg__nb_lines);
  io(OUT_KIND, r.out_pg__kind_of_color);
  io(OUT_WHITE_IS_ZERO, r.out_pg__color_bilevel__flag_white_is_zero);
  io(TOP_MARGIN, r.bmp_top_margin_pels);
}

// Writes a field little-endian at its offset.
struct pack_field {
  u8* out;
  void operator()(u32 at, u8 v) const { out[at] = v; }
  void operator()(u32 at, u16 v) const { put_le16(out + at, v); }
  void operator()(u32 at, u32 v) const { put_le32(out + at, v); }
};

// Reads a field little-endian from its offset.
struct unpack_field {
  const u8* in;
  void operator()(u32 at, u8& v) const { v = in[at]; }
  void operator()(u32 at, u16& v) const { v = get_le16(in + at); }
  void operator()(u32 at, u32& v) const { v = get_le32(in + at); }
};

}  // namespace

void fc__init_pg_conv_pack(const fc__init_pg_conv& r, u8 out[FC_INIT_PG_CONV_SIZE]) {
  std::memset(out, 0, FC_INIT_PG_CONV_SIZE);
  visit_init_pg_conv(r, pack_field{out});
  std::memcpy(out + fc_rec::PAGE_HEADER, r.sz_page_header, FC_PAGE_HEADER_SIZE);
}

fc__init_pg_conv fc__init_pg_conv_unpack(const u8 in[FC_INIT_PG_CONV_SIZE]) {
  fc__init_pg_conv r;
  visit_init_pg_conv(r, unpack_field{in});
  std::memcpy(r.sz_page_header, in + fc_rec::PAGE_HEADER, FC_PAGE_HEADER_SIZE);
  r.sz_page_header[FC_PAGE_HEADER_SIZE - 1] = '\0';
  return r;
}

u8 fc__check_init_pg_conv_param(fc__init_pg_conv* r) {
  if (!r) return FC_NOK;
  r->entity = ENT_FC;
  r->enabled_conversion_bfi = 0;
  auto refuse = [r](u8 cause) {
    r->result = FC_NOK;
    r->cause = cause;
    return FC_NOK;
  };
  // Input page.
  if (r->in_pg__encoding > FC_MMR) return refuse(FC__INIT_ERR__INPG_ENCODING);
  // A line of no pels could never be assembled or decoded.
  if (r->in_pg__line_length == 0 || r->in_pg__line_length % 8 != 0) return refuse(FC__INIT_ERR__INPG_LINE_LENGTH);
  if (r->in_pg__line_padding_mode > FC_PAD_RIGHT) return refuse(FC__INIT_ERR__INPG_LINE_PADDING_MODE);
  if (!one_resolution_bit(r->in_pg__vertical_resolution)) return refuse(FC__INIT_ERR__INPG_VERTICAL_RESOLUTION);
  if (r->in_pg__kind_of_color != 0) return refuse(FC__INIT_ERR__INPG_KIND_OF_COLOR);
  if (r->in_pg__color_bilevel__flag_white_is_zero > 1) return refuse(FC__INIT_ERR__INPG_FLAG_WHITE_IS_ZERO);
  // Output page.
  if (r->out_pg__encoding < FC_MH || r->out_pg__encoding > FC_MMR) return refuse(FC__INIT_ERR__OUTPG_ENCODING);
  if (std::find(std::begin(kOutLineLengths), std::end(kOutLineLengths), r->out_pg__line_length) ==
      std::end(kOutLineLengths))
    return refuse(FC__INIT_ERR__OUTPG_LINE_LENGTH);
  if (r->in_pg__line_length > r->out_pg__line_length) return refuse(FC__INIT_ERR__LINE_LENGTH);
  if (!one_resolution_bit(r->out_pg__vertical_resolution)) return refuse(FC__INIT_ERR__OUTPG_VERTICAL_RESOLUTION);
  if (r->out_pg__nb_lines == 0) return refuse(FC__INIT_ERR__OUTPG_NB_LINES);
  if (r->out_pg__kind_of_color != 0) return refuse(FC__INIT_ERR__OUTPG_KIND_OF_COLOR);
  if (r->out_pg__color_bilevel__flag_white_is_zero > 1) return refuse(FC__INIT_ERR__OUTPG_FLAG_WHITE_IS_ZERO);
  // Stages.
  const bool header = r->sz_page_header[0] != '\0';
  const bool colour = r->in_pg__color_bilevel__flag_white_is_zero != r->out_pg__color_bilevel__flag_white_is_zero;
  const bool resolution = r->in_pg__line_length != r->out_pg__line_length ||
                          r->in_pg__vertical_resolution != r->out_pg__vertical_resolution;
  const bool cut = r->in_pg__nb_lines > r->out_pg__nb_lines;
  bool decode = r->in_pg__encoding != FC_RAW_BITMAP;
  bool encode = true;
  if (r->in_pg__encoding == r->out_pg__encoding && !header && !colour && !resolution && !cut) decode = encode = false;
  if (r->in_pg__vertical_resolution != r->out_pg__vertical_resolution &&
      !(r->in_pg__vertical_resolution == FC_LPI_200 && r->out_pg__vertical_resolution == FC_LPI_100))
    return refuse(FC__INIT_ERR__BAD_RESOL_CONV_REQUEST);
  r->result = FC_OK;
  r->cause = FC__INIT_OK;
  u32 bits = 0;
  if (header) bits |= FC_CONV_HEADER;
  if (decode) bits |= FC_CONV_DECODE;
  if (colour) bits |= FC_CONV_COLOUR;
  if (resolution) bits |= FC_CONV_RESOLUTION;
  if (encode) bits |= FC_CONV_ENCODE;
  r->enabled_conversion_bfi = bits;
  return FC_OK;
}

const char* fc__cause_text(u8 cause) {
  switch (cause) {
    case 15:
      return "(FC__INIT_ERR__BAD_PG_ID) Can't restore PG context (bad pg_id (Msg NAI) or SM_SET_CONFIG_RQ never calls)";
    case 16: return "(FC__INIT_ERR__CONV_IN_PROGRESS) A conversion is already running for this Pg ID";
    case 17: return "(FC__INIT_ERR__NO_INIT_DATA) No fc__init_pg_conv structure";
    case 18: return "(FC__INIT_ERR__INPG_ENCODING) Bad parameter: encoding of Input page";
    case 19: return "(FC__INIT_ERR__INPG_LINE_LENGTH) Bad parameter: line_length of Input page";
    case 20: return "(FC__INIT_ERR__INPG_LINE_PADDING_MODE) Bad parameter: line_padding_mode of Input page";
    case 21: return "(FC__INIT_ERR__INPG_VERTICAL_RESOLUTION) Bad parameter: vertical_resolution of Input page";
    case 23: return "(FC__INIT_ERR__INPG_KIND_OF_COLOR) Bad parameter: kind_of_color of Input page";
    case 24: return "(FC__INIT_ERR__INPG_FLAG_WHITE_IS_ZERO) Bad parameter: flag_white_is_zero of Input page";
    case 25: return "(FC__INIT_ERR__OUTPG_ENCODING) Bad parameter: encoding of Output page";
    case 26: return "(FC__INIT_ERR__OUTPG_LINE_LENGTH) Bad parameter: line_length of Output page";
    case 27: return "(FC__INIT_ERR__OUTPG_VERTICAL_RESOLUTION) Bad parameter: vertical_resolution of Output page";
    case 28: return "(FC__INIT_ERR__OUTPG_NB_LINES) Bad parameter: nb_lines of Output page";
    case 30: return "(FC__INIT_ERR__OUTPG_KIND_OF_COLOR) Bad parameter: kind_of_color of Output page";
    case 31: return "(FC__INIT_ERR__OUTPG_FLAG_WHITE_IS_ZERO) Bad parameter: flag_white_is_zero of Output page";
    case 32: return "(FC__INIT_ERR__LINE_LENGTH) Bad parameters: In line_length > Out line_length";
    case 33:
      return "(FC__INIT_ERR__BAD_RESOL_CONV_REQUEST) Bad parameters: in resolution != out resolution AND not 200 -> "
             "100 lpi conversion";
    case 34: return "(FC__INIT_ERR__ALLOC) Can't allocate Memory array";
    case 45: return "(FC__RESOL_INIT_ERR__CTX_NOT_FREE) Internal error, Resolution Conversion Ctx not free";
    case 46:
      return "(FC__RESOL_INIT_ERR__CALLBACK_PUT_DATA) Internal error, resol_config: bad paramter callback_put_data";
    case 47: return "(FC__RESOL_INIT_ERR__ALLOC) Can't allocate Memory array";
    case 55: return "(FC__T4T6_INIT_ERR__CTX_NOT_FREE) Internal error, T.4/T.6 Conversion Ctx not free";
    case 56: return "(FC__T4T6_INIT_ERR__OP_MODE) Internal error, t4t6_config: bad paramter op_mode";
    case 57: return "(FC__T4T6_INIT_ERR__ALGO) Internal error, t4t6_config: bad paramter algo";
    case 58:
      return "(FC__T4T6_INIT_ERR__CALLBACK_PUT_DATA) Internal error, t4t6_config: bad paramter callback_put_data";
    case 59: return "(FC__T4T6_INIT_ERR__TCMNINIT) tcmninit function returns NOK";
    case 60: return "(FC__T4T6_INIT_ERR__ALLOC) Can't allocate Memory array";
    case 65: return "(FC__COLOR_INIT_ERR__CTX_NOT_FREE) Internal error, Color Conversion Ctx not free";
    case 66:
      return "(FC__COLOR_INIT_ERR__CALLBACK_PUT_DATA) Internal error, color_config: bad paramter callback_put_data";
    case 75: return "(FC__TXT_ERR__LEN_OF_SZ_INPUT_STRING) Internal error, bad paramter len_of_sz_input_string";
    case 76: return "(FC__TXT_ERR__BMP_LINE_LENGTH) Internal error, bad paramter bmp_line_length";
    case 77: return "(FC__TXT_ERR__VERTICAL_RESOLUTION) Internal error, bad paramter vertical_resolution";
    case 78: return "(FC__TXT_ERR__TGC_INIT) Internal error, tcg_init returns NOK";
    case 79:
      return "(FC__TXT_ERR__OUTPUT_BUFFER_TOO_SMALL) Internal error, Allocated buffer (p_output_bmp_buffer) is too "
             "small";
    default: return "(FC_xxxxxxxx) unknown code";
  }
}

// ---------------------------------------------------------------------------
// Entity.

void fc_entity_init() {
  // Messages of an earlier run of the runtime are gone with its pools.
  for (u16 i = 0; fc.pages && i < fc.count; ++i) {
    fc.pages[i].out_msg = nullptr;
    close_stages(fc.pages[i]);
  }
  fc.pages.reset();
  fc.count = 0;
  fc.max_data = 0;
  fc.marker = FC_MARKER_STARTED;
}

void fc_entity_handler(msg_t* m) {
  if (m->from == ENT_SM) {
    switch (m->code) {
      case SM_CONFIG_RQ: return handle_config(m);
      case SM_RST_CFG_RQ: return handle_reset(m);
      default: Free_msg(m); return;
    }
  }
  switch (m->code) {
    case FC__INIT_PG_RQ: return handle_page_request(m, page_ev::INIT_PG_RQ);
    case FC__DA_RQ: return handle_page_request(m, page_ev::DA_RQ);
    case FC__STOP_PG_RQ: return handle_page_request(m, page_ev::STOP_PG_RQ);
    case FC__SYNC_RQ: return answer(m, FC__SYNC_CO);
    default: Free_msg(m); return;
  }
}

u32 fc__marker() { return fc.marker; }

kv::fsm::machine_view fc__page_machine() {
  return {
      "page conversion", fsm::count_of<page_st>, fsm::count_of<page_ev>, FC_PAGE_IDLE, kPagePlain, kPageTargets, {}};
}

u8 fc__page_state(u16 page_id) {
  const fc_page* p = find_page(page_id);
  return p ? p->state : 0xFF;
}
