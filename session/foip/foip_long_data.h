// Long data of the FOIP entity: the API's long-data services with the
// entity's own result codes, each failure reported as a FOIP trap (nai
// 0xFFFF).  The fax engine reads its long records through
// foip__get_long_data_received too.
#pragma once

#include "runtime/msg.h"
#include "runtime/types.h"
#include "session/foip/app_foip_prim.h"

enum : u8 {
  FOIP__LD_OK = 2,
  FOIP__LD_NOK = 3,                // no message, or a temporary block could not be freed
  FOIP__LD_NO_MSG_OR_BUFFER = 12,  // no message, no data room, or no buffer for the chain
  FOIP__LD_NO_TMP_BLOCK = 13,      // no temporary block for a long record
  FOIP__LD_REASSEMBLE = 15,        // a received chain could not be reassembled
  FOIP__LD_LENGTH = 16,            // a received record has not the expected length
};

[[nodiscard]] u8 foip__prepare_long_data_to_send(u32 size, foip_proc_api__long_data& ld);
[[nodiscard]] u8 foip__eof_long_data_to_send(foip_proc_api__long_data& ld);
[[nodiscard]] u8 foip__get_long_data_received(const msg_t* m, u32 expected, foip_proc_api__long_data& ld);
void foip__release_long_data(foip_proc_api__long_data& ld);

// Prepares, fills and ends a long record, then sends it with the header
// given; the result is the first failure's code, else FOIP__LD_OK.
[[nodiscard]] u8 foip__send_long_record(const foip_api__addr& addr, code_t code, const void* record, u32 size);
