// The V.25 call set-up entity ENT_ACU fed primitives from its user (ENT_FAX
// and any other entity asking for parameters), tone indications and
// confirms from its signal service (ENT_T38), configuration and reset from
// ENT_SM, with time passing so that its start-up, answer, hold, inter-call
// and watchdog timers run.
//
// Checked: every configuration or reset request is answered once to
// ENT_SM; the runtime drains; after the entity dropped its
// contexts every message and buffer is back in its pool.
//
// Input: byte 0 picks the configuration (bit 0: the built-in entry, else a
// record with short times from bytes 1..5 and the options of byte 6), then
// the records of fuzz/entity_fuzz.h.
#include <cstddef>
#include <cstdint>

#include "common/byte_order.h"
#include "fax/acu.h"
#include "fuzz/entity_fuzz.h"

namespace {

using entity_fuzz::bytes;
constexpr nai_t kNai = 3;

const entity_table_row_t TABLE[] = {
    {ENT_SM, entity_fuzz::stand_in, 0, 0, nullptr, 0},  {ENT_FAX, entity_fuzz::stand_in, 0, 0, nullptr, 0},
    {ENT_T38, entity_fuzz::stand_in, 0, 0, nullptr, 0}, ACU_ENTITY_ROW,
    {'x', entity_fuzz::stand_in, 0, 0, nullptr, 0},     {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

bytes record(entity_fuzz::reader& in) {
  bytes r(ACU_HEADER_SIZE + ACU_ENTRY_SIZE, 0);
  put_le16(r.data() + 4, 1);
  u8* e = r.data() + ACU_HEADER_SIZE;
  put_le16(e, kNai);
  e[2] = ENT_T38;
  e[3] = 18;
  put_le32(e + 16, (in.byte() + 1u) * 10u);   // 'I' delay
  put_le32(e + 20, (in.byte() + 1u) * 20u);   // inter-call
  put_le32(e + 56, (in.byte() + 1u) * 100u);  // watchdog
  put_le32(e + 64, (in.byte() + 1u) * 10u);   // answer delay
  put_le32(e + 68, in.byte() * 10u);          // hold after CED
  const u8 options = in.byte();
  for (int i = 0; i < 3; ++i) e[4 + i] = (options >> i) & 1;
  return r;
}

void configure(entity_fuzz::reader& in) {
  const u8 how = in.byte();
  const bytes body = (how & 1) != 0 ? bytes{} : record(in);
  entity_fuzz::post(ENT_SM, ENT_ACU, SM_CONFIG_RQ, 0, 0, OM_OS_CONN_NONE, body, true);
}

// Every configuration or reset request has its one answer, to ENT_SM.
void check() {
  int answers = 0;
  for (const entity_fuzz::note& n : entity_fuzz::notes()) {
    if (n.to == ENT_SM && (n.code == SM_CONFIG_CO || n.code == SM_RST_CFG_CO)) ++answers;
  }
  const int asked = entity_fuzz::posted_count(ENT_SM, SM_CONFIG_RQ) + entity_fuzz::posted_count(ENT_SM, SM_RST_CFG_RQ);
  if (entity_fuzz::notes().size() < entity_fuzz::kNotes && answers != asked) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const entity_fuzz::target t{
      TABLE,
      ENT_ACU,
      {
          {ENT_FAX,
           0,
           {ACU_CONN_RQ, ACU_CONN_RS, ACU_CLEAR_RQ, ACU_CLEAR_RS, ACU_INFO_RQ, ACU_INIT_RQ, ACU_SETPARM_RQ}},
          {ENT_T38, 18, {'g', 'y', 'Y', '0', '1'}},
          {'x', 0, {ACU_INFO_RQ, ACU_INIT_RQ, ACU_SETPARM_RQ}},
          {ENT_SM, 0, {SM_CONFIG_RQ, SM_RST_CFG_RQ}},
      },
      {kNai, 0, 7, 62, 63, 0xFFFF},
      configure,
      acu_release_all,
      check,
  };
  return entity_fuzz::run(t, data, size);
}
