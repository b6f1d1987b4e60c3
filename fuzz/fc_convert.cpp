// Converts arbitrary page data through ENT_FC with conversion requests built
// from the input: every input must end with the page stopped, no crash, no
// overrun and no message left behind.
//
// Input: 12 selector bytes (codings, widths, resolutions, colours, padding,
// line limit, top margin, header text length, message size, stop reason),
// then the header text, then the page data.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "common/byte_order.h"
#include "fax/fc.h"
#include "runtime/entity.h"
#include "runtime/msg.h"
#include "runtime/om_os.h"
#include "runtime/sm.h"

namespace {

void free_handler(msg_t* m) { Free_msg(m); }

const entity_table_row_t TABLE[] = {
    {ENT_SM, free_handler, 0, 0, nullptr, 0},
    FC_ENTITY_ROW,
    {ENT_FAX, free_handler, 0, 0, nullptr, 0},
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

void ignore_trap(u16, const char*) {}

constexpr u16 kWidths[] = {864, 1024, 1216, 1728, 2048, 2432, 864, 1728};

void send(code_t code, const u8* body, u32 n) {
  msg_t* m = Alloc_msg();
  if (!m) return;
  m->from = ENT_FAX;
  m->to = ENT_FC;
  m->nai = 0;
  m->sapi = FC_SAPI;
  m->conn_id = 0xFFFF;
  m->code = code;
  if (n) {
    buffer_t* chain = Store_data_in_buffers(body, n, nullptr);
    if (!chain) {
      Free_msg(m);
      return;
    }
    Msg_attach_chain(m, chain);
  }
  Send_msg(m);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 12) return 0;
  om_os_set_trap_handler(ignore_trap);
  om_os_start_options o;
  o.table = TABLE;
  o.sm_thread = false;
  o.timer_thread = false;
  o.bkgr_thread = false;
  om_os_start_with(o);

  u8 cfg[FC_CONFIG_SIZE] = {ENT_FC};
  put_le16(cfg + 4, 1);
  put_le16(cfg + 6, static_cast<u16>(1 + data[9] % 300));
  msg_t* c = Alloc_msg();
  c->from = ENT_SM;
  c->to = ENT_FC;
  c->code = SM_CONFIG_RQ;
  std::memcpy(Msg_inline_data(c), cfg, sizeof cfg);
  c->data_size = sizeof cfg;
  Send_msg(c);
  om_os_run_ready(0);

  fc__init_pg_conv r;
  r.in_pg__encoding = data[0] % 4;
  r.out_pg__encoding = static_cast<u8>(1 + data[1] % 3);
  r.out_pg__line_length = kWidths[data[2] & 7];
  r.in_pg__line_length = kWidths[(data[2] >> 3) & 7];
  if (r.in_pg__line_length > r.out_pg__line_length) r.in_pg__line_length = r.out_pg__line_length;
  r.in_pg__vertical_resolution = static_cast<u8>(1 + (data[3] & 1));
  r.out_pg__vertical_resolution = (data[3] & 2) ? static_cast<u8>(FC_LPI_100) : r.in_pg__vertical_resolution;
  r.in_pg__color_bilevel__flag_white_is_zero = data[4] & 1;
  r.out_pg__color_bilevel__flag_white_is_zero = (data[4] >> 1) & 1;
  r.in_pg__line_padding_mode = static_cast<u8>(((data[4] >> 2) & 3) % 3);
  r.in_pg__nb_lines = data[5];
  r.out_pg__nb_lines = data[6] ? data[6] : FC_NO_LINE_LIMIT;
  r.bmp_top_margin_pels = static_cast<u16>(data[7] * 13);
  size_t at = 12;
  const size_t text = std::min<size_t>(data[8] % 134, size - at);
  std::memcpy(r.sz_page_header, data + at, text);
  at += text;
  u8 rec[FC_INIT_PG_CONV_SIZE];
  fc__init_pg_conv_pack(r, rec);
  send(FC__INIT_PG_RQ, rec, sizeof rec);
  om_os_run_ready(0);

  const size_t chunk = 1 + data[10] % 400;
  for (; at < size; at += chunk) {
    send(FC__DA_RQ, data + at, static_cast<u32>(std::min(chunk, size - at)));
    om_os_run_ready(0);
  }
  u8 stop[FC_STOP_PG_RQ_SIZE] = {};
  stop[FC_STOP_REASON_OFFSET] = (data[11] & 1) ? FC_STOP_FINISH : 1;
  send(FC__STOP_PG_RQ, stop, sizeof stop);
  om_os_run_ready(0);
  if (fc__page_state(0) != FC_PAGE_IDLE) std::abort();
  if (om_os_msg_pool_stats().in_use != om_os_it_msg_pool_stats().count) std::abort();  // a message was kept
  om_os_stop();
  om_os_set_trap_handler(nullptr);
  return 0;
}
