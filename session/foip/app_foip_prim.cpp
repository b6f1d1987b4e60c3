// The FOIP API: record sizes, long data, builders and readers.
#include "session/foip/app_foip_prim.h"

#include <cstring>

#include "runtime/buffer.h"
#include "runtime/entity.h"
#include "runtime/mem.h"

// Every record must fit one temporary block of the runtime.
static_assert(sizeof(foip__stop) <= 18000 && sizeof(foip__alert) <= 18000 && sizeof(foip__report) <= 18000 &&
              sizeof(foip__start) <= 18000 && sizeof(foip__set_config) <= 18000);

unsigned foip__shown_error_code(const foip__confirm& c) {
  switch (c.error_source) {
    case 0:
    case 3:
    case 4:
    case 5:
    case 6: return c.error_code + 100u * c.error_source;
    default: return c.error_code;
  }
}

const char* foip__trap_class(u16 trap_code, u16 base) {
  const int offset = static_cast<int>(trap_code) - base;
  if (offset < 2000) return "FATAL";
  if (offset < 3000) return "SERIOUS";
  return "INFO";
}

namespace {

struct record_row {
  code_t code;
  u32 size;
};

// The record of each code, in one table.
constexpr record_row kRecords[] = {
    {FOIP__SET_CONFIG_RQ, sizeof(foip__set_config)},
    {FOIP__SET_CONFIG_CO, sizeof(foip__set_config)},
    {FOIP__RESET_CONFIG_RQ, sizeof(foip__reset_config)},
    {FOIP__RESET_CONFIG_CO, sizeof(foip__reset_config)},
    {FOIP__T38_CAPABILITIES_RQ, sizeof(foip__t38_capabilities)},
    {FOIP__T38_CAPABILITIES_CO, sizeof(foip__t38_capabilities)},
    {FOIP__START_RQ, sizeof(foip__start)},
    {FOIP__START_CO, sizeof(foip__start)},
    {FOIP__STOP_RQ, sizeof(foip__stop)},
    {FOIP__STOP_CO, sizeof(foip__stop)},
    {FOIP__STOP_IN, sizeof(foip__stop)},
    {FOIP__ALERT_IN, sizeof(foip__alert)},
    {FOIP__ALERT_RS, sizeof(foip__alert)},
    {FOIP__REPORT_IN, sizeof(foip__report)},
    {FOIP__SIP_REGISTER_RQ, sizeof(foip__sip_register)},
    {FOIP__SIP_REGISTER_CO, sizeof(foip__sip_register)},
    {FOIP__SIP_UNREGISTER_RQ, sizeof(foip__sip_unregister)},
    {FOIP__SIP_UNREGISTER_CO, sizeof(foip__sip_unregister)},
};

}  // namespace

u32 foip__record_size(code_t code) {
  for (const record_row& r : kRecords)
    if (r.code == code) return r.size;
  return 0;
}

// ---------------------------------------------------------------------------
// Long data.

foip_proc_api__long_data::~foip_proc_api__long_data() {
  if (block) Free_tmp_block(block);
  if (msg) Free_msg(msg);
}

msg_t* foip_proc_api__long_data::take_msg() {
  msg_t* m = msg;
  msg = nullptr;
  return m;
}

u8 foip_proc_api__prepare_long_data_to_send(u32 size, foip_proc_api__long_data& ld) {
  ld.size = size;
  ld.is_long = false;
  if (size <= om_os_get_buffer_room()) {
    buffer_t* b = nullptr;
    u8* data = nullptr;
    Alloc_msg_data(&ld.msg, &b, size, &data);
    if (!data) return FOIP_API__ERR_NO_BUFFER;  // (Alloc_msg_data attached the buffer when it took one)
    ld.data = data;
    std::memset(ld.data, 0, size);
    return FOIP_API__OK;
  }
  ld.msg = Alloc_msg();
  if (!ld.msg) return FOIP_API__ERR_NO_BUFFER;
  ld.block = Alloc_tmp_block(size);
  if (!ld.block) {
    Free_msg(ld.msg);
    ld.msg = nullptr;
    return FOIP_API__ERR_NO_BLOCK;
  }
  ld.is_long = true;
  ld.data = ld.block;
  std::memset(ld.data, 0, size);
  return FOIP_API__OK;
}

u8 foip_proc_api__eof_long_data_to_send(foip_proc_api__long_data& ld) {
  if (!ld.msg) return FOIP_API__ERR_NO_MSG;
  if (!ld.is_long) return FOIP_API__OK;
  buffer_t* chain = Store_data_in_buffers(ld.block, ld.size, nullptr);
  const u8 freed = Free_tmp_block(ld.block);
  ld.block = nullptr;
  ld.data = nullptr;
  if (!chain) return FOIP_API__ERR_NO_BUFFER;
  Msg_attach_chain(ld.msg, chain);
  ld.is_long = false;
  if (freed != OM_OS_OK) return FOIP_API__ERR_FREE_BLOCK;
  return FOIP_API__OK;
}

u8 foip_proc_api__get_long_data_received(const msg_t* m, u32 expected, foip_proc_api__long_data& ld) {
  if (!m) return FOIP_API__ERR_ARG;
  const u32 total = Msg_total_size(m);
  // The length is checked before any byte is read: a short body is never
  // read past its end.
  if (expected != 0 && total != expected) return FOIP_API__ERR_LENGTH;
  if (m->p_buffer && m->p_buffer->next) {
    u32 got = 0;
    u8* block = Reassemble_buffers(nullptr, 0, m->p_buffer, &got);
    if (!block) return FOIP_API__ERR_REASSEMBLE;
    ld.block = block;
    ld.data = block;
    ld.size = got;
    if (expected != 0 && got != expected) return FOIP_API__ERR_LENGTH;
    return FOIP_API__OK;
  }
  ld.data = const_cast<u8*>(Msg_data(m));
  ld.size = total;
  return FOIP_API__OK;
}

u8 foip_proc_api__release_long_data(foip_proc_api__long_data& ld) {
  if (!ld.block) return FOIP_API__OK;
  const u8 r = Free_tmp_block(ld.block);
  ld.block = nullptr;
  ld.data = nullptr;
  return r == OM_OS_OK ? FOIP_API__OK : FOIP_API__ERR_FREE_BLOCK;
}

// ---------------------------------------------------------------------------
// Whole records.

void foip_api__post(foip_proc_api__long_data& ld, const foip_api__addr& addr, code_t code) {
  msg_t* m = ld.take_msg();
  Msg_set_head(m, {addr.from, addr.to, code, addr.nai, addr.sapi, addr.conn_id});
  Send_msg(m);
}

namespace {

// Sends `size` bytes of `record`, or as many zero bytes without a record.
u8 send_prepared(const foip_api__addr& addr, code_t code, const void* record, u32 size) {
  foip_proc_api__long_data ld;
  u8 r = foip_proc_api__prepare_long_data_to_send(size, ld);
  if (r != FOIP_API__OK) return r;
  if (record && size) std::memcpy(ld.data, record, size);
  r = foip_proc_api__eof_long_data_to_send(ld);
  if (r != FOIP_API__OK) return r;
  foip_api__post(ld, addr, code);
  return FOIP_API__OK;
}

// Reads the first `want` bytes of a body whose length must be one of the
// lengths given (the record's own size first).
u8 read_prefix(const msg_t* m, code_t code, void* out, u32 want, u32 full) {
  if (!m || !out || m->code != code) return FOIP_API__ERR_ARG;
  foip_proc_api__long_data ld;
  const u8 r = foip_proc_api__get_long_data_received(m, full, ld);
  if (r != FOIP_API__OK) return r;
  std::memcpy(out, ld.data, want);
  return foip_proc_api__release_long_data(ld);
}

}  // namespace

u8 foip_api__send(const foip_api__addr& addr, code_t code, const void* record, u32 size) {
  if (!record && size) return FOIP_API__ERR_ARG;
  return send_prepared(addr, code, record, size);
}

u8 foip_api__read(const msg_t* m, code_t code, void* out, u32 size) { return read_prefix(m, code, out, size, size); }

namespace {

// Sends a zeroed record whose one field holds `value`.
template <class Record, class Field>
u8 send_holding(const foip_api__addr& addr, code_t code, Field Record::*field, const Field& value) {
  Record rec{};
  rec.*field = value;
  return foip_api__send_record(addr, code, rec);
}

}  // namespace

u8 foip_api__send_set_config_rq(const foip__global_param& glb) {
  return send_holding(foip_api__addr{}, FOIP__SET_CONFIG_RQ, &foip__set_config::global_param, glb);
}

u8 foip_api__send_reset_config_rq() {
  return foip_api__send_record(foip_api__addr{}, FOIP__RESET_CONFIG_RQ, foip__reset_config{});
}

u8 foip_api__send_t38_capabilities_rq(nai_t nai) {
  const foip_api__addr a{.nai = nai, .sapi = FOIP__SAPI_T38_CAPABILITIES};
  return foip_api__send_record(a, FOIP__T38_CAPABILITIES_RQ, foip__t38_capabilities{});
}

u8 foip_api__send_start_rq(nai_t nai, const foip__session_param& param) {
  return send_holding(foip_api__addr{.nai = nai}, FOIP__START_RQ, &foip__start::session_param, param);
}

u8 foip_api__send_stop_rq(nai_t nai) {
  // All zero: written without a record on the stack.
  return send_prepared(foip_api__addr{.nai = nai}, FOIP__STOP_RQ, nullptr, sizeof(foip__stop));
}

u8 foip_api__send_alert_rs(const foip__alert& alert, nai_t nai, u8 sapi, u16 conn_id) {
  return foip_api__send_record(foip_api__addr{.nai = nai, .sapi = sapi, .conn_id = conn_id}, FOIP__ALERT_RS, alert);
}

u8 foip_api__send_sip_register_rq(nai_t nai, const foip__sip_register_param& reg) {
  return send_holding(foip_api__addr{.nai = nai}, FOIP__SIP_REGISTER_RQ, &foip__sip_register::reg, reg);
}

u8 foip_api__send_sip_unregister_rq(nai_t nai, u16 conn_id) {
  const foip_api__addr a{.nai = nai, .conn_id = conn_id};
  return foip_api__send_record(a, FOIP__SIP_UNREGISTER_RQ, foip__sip_unregister{});
}

u8 foip_api__read_confirm(const msg_t* m, code_t code, foip__confirm* out) {
  switch (code) {
    case FOIP__SET_CONFIG_CO:
    case FOIP__START_CO:
    case FOIP__RESET_CONFIG_CO:
    case FOIP__SIP_UNREGISTER_CO:
    case FOIP__SIP_REGISTER_CO:
    case FOIP__STOP_CO:
    case FOIP__STOP_IN:
    case FOIP__T38_CAPABILITIES_CO: return read_prefix(m, code, out, sizeof(foip__confirm), foip__record_size(code));
    default: return FOIP_API__ERR_ARG;
  }
}

u8 foip_api__read_sip_register_co(const msg_t* m, foip__confirm* out, u16* conn_id) {
  if (!conn_id) return FOIP_API__ERR_ARG;
  const u8 r = foip_api__read_confirm(m, FOIP__SIP_REGISTER_CO, out);
  if (r == FOIP_API__OK) *conn_id = m->conn_id;
  return r;
}

u8 foip_api__read_stop(const msg_t* m, code_t code, foip__confirm* confirm, foip__fax_session_status* fax,
                       foip__t38_session_status* t38, foip__sip_status* sip) {
  if (code != FOIP__STOP_CO && code != FOIP__STOP_IN) return FOIP_API__ERR_ARG;
  if (!m || !confirm || m->code != code) return FOIP_API__ERR_ARG;
  foip_proc_api__long_data ld;
  const u8 r = foip_proc_api__get_long_data_received(m, sizeof(foip__stop), ld);
  if (r != FOIP_API__OK) return r;
  std::memcpy(confirm, ld.data + offsetof(foip__stop, confirm), sizeof *confirm);
  if (fax) std::memcpy(fax, ld.data + offsetof(foip__stop, fax), sizeof *fax);
  if (t38) std::memcpy(t38, ld.data + offsetof(foip__stop, t38), sizeof *t38);
  if (sip) std::memcpy(sip, ld.data + offsetof(foip__stop, sip), sizeof *sip);
  return foip_proc_api__release_long_data(ld);
}

u8 foip_api__read_report(const msg_t* m, foip__report* out) {
  if (!m || !out || m->code != FOIP__REPORT_IN) return FOIP_API__ERR_ARG;
  const u32 total = Msg_total_size(m);
  const bool short_form = total == FOIP__REPORT_SHORT_SIZE;
  foip_proc_api__long_data ld;
  const u8 r =
      foip_proc_api__get_long_data_received(m, short_form ? FOIP__REPORT_SHORT_SIZE : sizeof(foip__report), ld);
  if (r != FOIP_API__OK) return r;
  const u8 kind_of_report = ld.data[offsetof(foip__report, kind_of_report)];
  if (short_form && kind_of_report != FOIP__REPORT__ERR && kind_of_report != FOIP__REPORT__TRAP) {
    foip_proc_api__release_long_data(ld);
    return FOIP_API__ERR_LENGTH;
  }
  *out = foip__report{};
  std::memcpy(static_cast<void*>(out), ld.data, ld.size);
  return foip_proc_api__release_long_data(ld);
}
