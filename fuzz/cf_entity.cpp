// The fax session layer ENT_CF fed primitives from its user (ENT_FAX),
// events and page data from the T.30 engine (ENT_T30), configuration,
// reset and busy requests from ENT_SM, with time passing.  The engine's
// stand-in confirms every channel configuration, so that the layer's
// sessions exist and its user's requests and the engine's events reach
// them; the fuzz input's first records usually open one (CF_INIT_RQ in
// mode 'F').
//
// Checked: the runtime drains; every configuration or reset request is
// answered once to ENT_SM; what goes down to the engine names a channel the
// layer has (nai below its slot count); after the layer released its
// contexts every message and buffer (held page data included) is back in
// its pool.
//
// Input: bytes 0..3 the limits of the configuration record (speeds, ECM,
// width), then the records of fuzz/entity_fuzz.h.
#include <cstddef>
#include <cstdint>

#include "common/byte_order.h"
#include "fax/cf.h"
#include "fax/t30_engine.h"
#include "fuzz/entity_fuzz.h"

namespace {

using entity_fuzz::bytes;
constexpr nai_t kNai = 2;

// The engine's stand-in: a channel configuration is confirmed.
void engine(msg_t* m) {
  entity_fuzz::remember(m);
  if (m->code == MT30_CONFIG_RQ) {
    m->code = MT30_CONFIG_CO;
    m->to = m->from;
    m->from = ENT_T30;
    const u8 ok[3] = {2, 0, 0};
    Msg_set_inline_body(m, ok, sizeof ok);
    Send_msg(m);
    return;
  }
  Free_msg(m);
}

const entity_table_row_t TABLE[] = {
    {ENT_SM, entity_fuzz::stand_in, 0, 0, nullptr, 0},
    {ENT_FAX, entity_fuzz::stand_in, 0, 0, nullptr, 0},
    {ENT_T30, engine, 0, 0, nullptr, 0},
    {ENT_T38, entity_fuzz::stand_in, 0, 0, nullptr, 0},
    CF_ENTITY_ROW,
    {'x', entity_fuzz::stand_in, 0, 0, nullptr, 0},
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

bytes record(entity_fuzz::reader& in, nai_t nai) {
  bytes r(CF_CONFIG_SIZE, 0);
  put_le16(r.data() + 4, 1);
  put_le16(r.data() + 8, nai);
  const u8 speeds = in.byte();
  r[32] = static_cast<u8>('0' + speeds % 8);
  r[33] = static_cast<u8>('0' + (speeds >> 3) % 8);
  put_le16(r.data() + 34, static_cast<u16>(0x7F & in.byte()));
  const u8 other = in.byte();
  r[36] = static_cast<u8>(1 + (other & 3));
  r[37] = static_cast<u8>('1' + (other >> 2) % 3);
  r[38] = "ABU"[(other >> 4) % 3];
  r[39] = static_cast<u8>('0' + (other >> 6));
  r[40] = "062"[in.byte() % 3];
  put_le16(r.data() + 66, 8);
  return r;
}

void configure(entity_fuzz::reader& in) {
  entity_fuzz::post(ENT_SM, ENT_CF, SM_CONFIG_RQ, 0, 0, OM_OS_CONN_NONE, record(in, kNai), true);
}

void check() {
  int answers = 0;
  for (const entity_fuzz::note& n : entity_fuzz::notes()) {
    if (n.to == ENT_SM && (n.code == SM_CONFIG_CO || n.code == SM_RST_CFG_CO)) ++answers;
    // Down to the engine: the nai is the channel, and a known nai.
    if (n.to == ENT_T30 && n.nai >= 8) __builtin_trap();
  }
  const int asked = entity_fuzz::posted_count(ENT_SM, SM_CONFIG_RQ) + entity_fuzz::posted_count(ENT_SM, SM_RST_CFG_RQ);
  if (entity_fuzz::notes().size() < entity_fuzz::kNotes && answers != asked) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const entity_fuzz::target t{
      TABLE,
      ENT_CF,
      {
          {ENT_FAX,
           CF_SAPI,
           {CF_INIT_RQ, CF_STOP_RQ, CF_CONN_RQ, CF_DISC_RQ, CF_DA_RQ, CF_FLUSH_RQ, CF_SIGNAL_RQ, CF_INFO_RQ,
            CF_SETPARM_RQ, CF_CAPBILITY_RQ, CF_CAPBILITY_RS, CF_MAJR_SYNC_RQ, CF_MAJR_SYNC_RS, CF_INT_SYNC_RQ,
            CF_BUSY_RQ, CF_CLR_BUSY_RQ}},
          {ENT_T30,
           CF_SAPI,
           {T30_CONN_CO, T30_DISC_IN, T30_DA_IN, T30_END_PAGE_CO, T30_END_PAGE_IN, T30_WhatToDo_IN, T30_EONEG_IN,
            T30_PROGRESS_IN, T30_BUSY_IN, T30_CLR_BUSY_IN, T30_SYNC_CO, MT30_CONFIG_CO, MT30_RELEASE_CO}},
          {'x', 0, {CF_INIT_RQ, CF_INFO_RQ, CF_SETPARM_RQ, CF_BUSY_RQ, CF_CLR_BUSY_RQ}},
          {ENT_SM, 0, {SM_CONFIG_RQ, SM_RST_CFG_RQ, SM_BUSY_RQ, SM_CLR_BUSY_RQ}},
      },
      {kNai, 0, 1, 7, 8, 0xFFFF},
      configure,
      cf_release_all,
      check,
  };
  return entity_fuzz::run(t, data, size);
}
