#include "session/foip/foip_long_data.h"

#include <cstring>

#include "runtime/buffer.h"
#include "runtime/entity.h"
#include "session/foip/foip_err.h"

namespace {

void trap(u16 code, const char* name, const char* text) {
  Foip__trap(FOIP__NAI_GLOBAL, FOIP__CONN_NONE, FOIP__TRAP_CLASS, code, name, text);
}

}  // namespace

u8 foip__prepare_long_data_to_send(u32 size, foip_proc_api__long_data& ld) {
  const bool fits = size <= om_os_get_buffer_room();
  switch (foip_proc_api__prepare_long_data_to_send(size, ld)) {
    case FOIP_API__OK: return FOIP__LD_OK;
    case FOIP_API__ERR_NO_BLOCK:
      trap(FOIP__TRAP__ERR_NO_MORE_SEGMENTED_BUFFER, "FOIP__TRAP__ERR_NO_MORE_SEGMENTED_BUFFER",
           "FOIP: (foip__prepare_long_data_to_send) Alloc_tmp_block returns P_NIL");
      return FOIP__LD_NO_TMP_BLOCK;
    default:
      trap(FOIP__TRAP__ERR_ALLOC_MSG_BUFFER__, "FOIP__TRAP__ERR_ALLOC_MSG_BUFFER__",
           fits ? "FOIP: (foip__prepare_long_data_to_send) Can't alloc message or buffer"
                : "FOIP: (foip__prepare_long_data_to_send) Can't alloc message");
      return FOIP__LD_NO_MSG_OR_BUFFER;
  }
}

u8 foip__eof_long_data_to_send(foip_proc_api__long_data& ld) {
  switch (foip_proc_api__eof_long_data_to_send(ld)) {
    case FOIP_API__OK: return FOIP__LD_OK;
    case FOIP_API__ERR_NO_MSG:
      trap(FOIP__TRAP__ERR_MSG_NOT_ALLOCATED, "FOIP__TRAP__ERR_MSG_NOT_ALLOCATED",
           "FOIP: (foip__eof_long_data_to_send) p_msg = P_NIL");
      return FOIP__LD_NOK;
    case FOIP_API__ERR_FREE_BLOCK:
      trap(FOIP__TRAP__ERR__P_DATA, "FOIP__TRAP__ERR__P_DATA", "FOIP: (foip__eof_long_data_to_send) wrong p_data");
      return FOIP__LD_NOK;
    default: return FOIP__LD_NO_MSG_OR_BUFFER;
  }
}

u8 foip__get_long_data_received(const msg_t* m, u32 expected, foip_proc_api__long_data& ld) {
  switch (foip_proc_api__get_long_data_received(m, expected, ld)) {
    case FOIP_API__OK: return FOIP__LD_OK;
    case FOIP_API__ERR_REASSEMBLE: return FOIP__LD_REASSEMBLE;
    case FOIP_API__ERR_LENGTH: foip__release_long_data(ld); return FOIP__LD_LENGTH;
    default: return FOIP__LD_NOK;
  }
}

void foip__release_long_data(foip_proc_api__long_data& ld) {
  if (foip_proc_api__release_long_data(ld) != FOIP_API__OK)
    trap(FOIP__TRAP__ERR__P_DATA, "FOIP__TRAP__ERR__P_DATA", "FOIP: (foip__eof_long_data_to_send) wrong p_data");
}

u8 foip__send_long_record(const foip_api__addr& addr, code_t code, const void* record, u32 size) {
  if (!record && size) return FOIP__LD_NOK;
  foip_proc_api__long_data ld;
  u8 r = foip__prepare_long_data_to_send(size, ld);
  if (r != FOIP__LD_OK) return r;
  if (size) std::memcpy(ld.data, record, size);
  r = foip__eof_long_data_to_send(ld);
  if (r != FOIP__LD_OK) return r;
  foip_api__post(ld, addr, code);
  return FOIP__LD_OK;
}
