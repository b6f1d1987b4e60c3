// SSC message handle: life cycle, bump area, header lists, copies, and the
// conversion to and from entity messages.
#include "sip/prim/ssc_msg.h"

#include <cstring>

#include "runtime/om_os.h"
#include "sip/prim/ssc_packed.h"

namespace {

constexpr u32 ALIGN = 8;

buffer_t* own_buffer(ssc_handle* h) { return reinterpret_cast<buffer_t*>(h) - 1; }
u8* block_start(buffer_t* b) { return Buffer_room(b); }

// Aligns area_next; false when the alignment eats the rest of the block.
void align_area(ssc_handle* h) {
  const auto at = reinterpret_cast<std::uintptr_t>(h->area_next);
  const u32 pad = static_cast<u32>((ALIGN - at % ALIGN) % ALIGN);
  if (pad > h->area_free) {
    h->area_free = 0;
    return;
  }
  h->area_next += pad;
  h->area_free = static_cast<u16>(h->area_free - pad);
}

// n bytes of the area, growing once when the current block is short.
u8* take(ssc_handle* h, u32 n) {
  if (!ssc_is_handle(h)) return nullptr;
  align_area(h);
  if (h->area_free < n) {
    if (!Ssc_grow_handle(h)) return nullptr;
    align_area(h);
    if (h->area_free < n) return nullptr;  // larger than a whole block
  }
  u8* p = h->area_next;
  h->area_next += n;
  h->area_free = static_cast<u16>(h->area_free - n);
  return p;
}

void* next_of(void* inst) {
  void* n;
  std::memcpy(&n, inst, sizeof n);
  return n;
}
void set_next(void* inst, void* n) { std::memcpy(inst, &n, sizeof n); }

void append(void** head, void* inst) {
  void** at = head;
  for (unsigned guard = 0; *at && guard < 0x10000; ++guard) at = static_cast<void**>(*at);
  *at = inst;
}

// Adds one reference to every buffer of a chain; a count of 0 counts as one.
void hold_chain(buffer_t* chain) {
  om_os_lock();
  for (buffer_t* b = chain; b; b = b->next) b->link_count = b->link_count == 0 ? 2 : b->link_count + 1;
  om_os_unlock();
}

bool has_code_tag(ssc_handle* h, ssc_header_id id, u8 tag) {
  for (auto* c = Ssc_first<ssc_hdr_code_text>(h, id); c; c = c->next)
    if (c->code == tag) return true;
  return false;
}

// Primitive code -> message type of a received body.
struct code_type {
  code_t code;
  ssc_msg_type type;
};
using MT = ssc_msg_type;
constexpr code_type CODE_TYPES[] = {
    {SSC_INVITE_RQ, MT::INVITE},
    {SSC_INVITE_IN, MT::INVITE},
    {SSC_BYE_RQ, MT::BYE},
    {SSC_BYE_IN, MT::BYE},
    {SSC_REGISTER_RQ, MT::REGISTER},
    {SSC_REGISTER_IN, MT::REGISTER},
    {SSC_ACK_RQ, MT::ACK},
    {SSC_ACK_IN, MT::ACK},
    {SSC_OPTIONS_RQ, MT::OPTIONS},
    {SSC_OPTIONS_IN, MT::OPTIONS},
    {SSC_CANCEL_RQ, MT::CANCEL},
    {SSC_CANCEL_IN, MT::CANCEL},
    {SSC_INVITE_RS, MT::INVITE_RS},
    {SSC_INVITE_CO, MT::INVITE_RS},
    {SSC_BYE_RS, MT::BYE_RS},
    {SSC_BYE_CO, MT::BYE_RS},
    {SSC_REGISTER_RS, MT::REGISTER_RS},
    {SSC_REGISTER_CO, MT::REGISTER_RS},
    {SSC_OPTIONS_RS, MT::OPTIONS_RS},
    {SSC_OPTIONS_CO, MT::OPTIONS_RS},
    {SSC_CANCEL_RS, MT::CANCEL_RS},
    {SSC_CANCEL_CO, MT::CANCEL_RS},
    {SSC_PROF_REG_RQ, MT::PROF_REG},
    {SSC_PROF_REG_CO, MT::PROF_REG},
    {SSC_PROF_REM_RQ, MT::PROF_REG},
    {SSC_PROF_REM_CO, MT::PROF_REG},
    {CLOSE_SESS_RQ, MT::CLOSE_SESSION},
    {SESS_CLOSED_IN, MT::CLOSE_SESSION},
    {CLOSE_SESS_RS, MT::CLOSE_SESSION_CO},
    {CLOSE_SESS_CO, MT::CLOSE_SESSION_CO},
    {SSC_SET_PARM_RQ, MT::SET_PARM},
    {SSC_LOCAL_ADDR_RQ, MT::LOCAL_ADDR},
    {SSC_LOCAL_ADDR_RS, MT::LOCAL_ADDR_RS},
};

// Types that travel to ENT_SSC.
bool to_ssc(ssc_msg_type t) {
  const unsigned k = ssc_idx(t);
  return k <= 5 || (k >= 13 && k <= 17) || (k >= 29 && k <= 33) || k == 35 || k == 36;
}

}  // namespace

void** Ssc_list_head(ssc_handle* h, ssc_header_id id) {
  const ssc_header_desc_row* row = ssc_header_row(id);
  return h && row ? &h->lists[row->slot] : nullptr;
}

ssc_handle* Ssc_alloc_handle() {
  buffer_t* b = Alloc_buffer();
  if (!b) return nullptr;
  b->link_count = 1;
  b->data_size = om_os_get_buffer_room();
  auto* h = reinterpret_cast<ssc_handle*>(block_start(b));
  // With a buffer too small for the record only its head is written here;
  // Ssc_init_handle then refuses the handle.
  const size_t clear = sizeof *h < b->data_size ? sizeof *h : b->data_size;
  std::memset(h, 0, clear);
  h->kind = SSC_HANDLE_KIND;
  h->type = ssc_msg_type::NONE;
  h->ref_count = 1;
  h->rx_buffer = nullptr;
  h->area_next = nullptr;
  return h;
}

u8 Ssc_init_handle(ssc_handle* h, ssc_msg_type type) {
  if (!ssc_is_handle(h) || h->ref_count != 1 || ssc_idx(type) >= SSC_MSG_TYPE_COUNT) return OM_OS_NOK;
  buffer_t* b = own_buffer(h);
  if (SSC_HANDLE_RECORD_SIZE > b->data_size) {
    om_os_trap(SSC_TRAP_RECORD_SIZE);
    return OM_OS_NOK;
  }
  Free_buffer(h->rx_buffer);
  Free_buffer(b->next);
  b->next = nullptr;

  std::memset(h, 0, sizeof *h);
  h->kind = SSC_HANDLE_KIND;
  h->type = type;
  h->area_total = b->data_size;
  h->area_free = static_cast<u16>(b->data_size - SSC_HANDLE_RECORD_SIZE);
  h->area_next = block_start(b) + SSC_HANDLE_RECORD_SIZE;
  h->transaction_number = SSC_NO_NUMBER;
  h->carried_word_1 = 0xFFFF;
  h->carried_word_2 = 0xFFFF;
  h->carried_byte_1 = 0xFF;
  h->carried_byte_2 = 0xFF;
  h->ref_count = 1;
  if (type == ssc_msg_type::SM_RQ && !Ssc_alloc_header(h, ssc_header_id::MANAGEMENT)) return OM_OS_NOK;
  return OM_OS_OK;
}

void* Ssc_add_header_to_list(ssc_handle* h, void** head, ssc_header_id id) {
  const ssc_header_desc_row* row = ssc_header_row(id);
  if (!row || !head) return nullptr;
  u8* inst = take(h, row->size);
  if (!inst) return nullptr;
  std::memset(inst, 0xFF, row->size);
  ssc_header_init(id, inst);
  set_next(inst, nullptr);
  append(head, inst);
  return inst;
}

void* Ssc_alloc_header(ssc_handle* h, ssc_header_id id) {
  void** head = Ssc_list_head(h, id);
  return head ? Ssc_add_header_to_list(h, head, id) : nullptr;
}

void* Ssc_alloc_area(ssc_handle* h, u16 n) { return take(h, n); }

ssc_handle* Ssc_grow_handle(ssc_handle* h) {
  if (!ssc_is_handle(h)) return nullptr;
  // The block that holds the free area.
  buffer_t* holder = nullptr;
  for (buffer_t* b = own_buffer(h); b && !holder; b = b->next) {
    const u8* start = block_start(b);
    if (h->area_next >= start && h->area_next <= start + b->data_size) holder = b;
  }
  if (!holder) {
    om_os_trap(SSC_TRAP_AREA_LOST);
    return nullptr;
  }
  buffer_t* nb = holder->next;
  if (!nb) {
    nb = Alloc_buffer();
    if (!nb) return nullptr;
    nb->link_count = 1;
    holder->next = nb;
  }
  nb->data_size = om_os_get_buffer_room();
  h->area_next = block_start(nb);
  h->area_free = nb->data_size;
  h->area_total = static_cast<u16>(h->area_total + nb->data_size);
  return h;
}

u8 Ssc_free_handle(ssc_handle* h) {
  if (!ssc_is_handle(h)) return OM_OS_NOK;
  om_os_lock();
  const u8 left = h->ref_count ? --h->ref_count : 0;
  om_os_unlock();
  if (left > 0) return OM_OS_OK;
  buffer_t* rx = h->rx_buffer;
  h->rx_buffer = nullptr;
  h->kind = 0;  // a stale pointer to the handle is no longer taken for one
  Free_buffer(rx);
  Free_buffer(own_buffer(h));
  return OM_OS_OK;
}

ssc_handle* Ssc_copy_msg(ssc_handle* target, const ssc_handle* source) {
  if (!ssc_is_handle(target) || !ssc_is_handle(source) || source == target) return nullptr;
  const unsigned t = ssc_idx(source->type);
  if (t >= SSC_MSG_TYPE_COUNT || !ssc_msg_type_table[t].allowed) return nullptr;
  if (Ssc_init_handle(target, source->type) != OM_OS_OK) return nullptr;
  target->transaction_number = source->transaction_number;

  auto* src = const_cast<ssc_handle*>(source);
  const u8* list = ssc_msg_type_table[t].allowed;
  for (unsigned i = 0; i < SSC_HEADER_ID_COUNT + 1 && list[i] != SSC_LIST_END; ++i) {
    const auto id = static_cast<ssc_header_id>(list[i]);
    const ssc_header_desc_row* row = ssc_header_row(id);
    if (!row || !row->pack) continue;  // 95, 96: never copied
    void* s = src->lists[row->slot];
    if (!s) continue;
    // The source's instances replace what initialisation put there (the
    // management record of a type-37 handle).
    target->lists[row->slot] = nullptr;
    for (unsigned guard = 0; s && guard < 0x10000; ++guard, s = next_of(s)) {
      const u32 extra = ssc_header_size(id, s);
      const u32 n = row->size + extra;
      u8* inst = n <= 0xFFFF ? static_cast<u8*>(Ssc_alloc_area(target, static_cast<u16>(n))) : nullptr;
      if (!inst) {
        // No partial copy: the caller learns that the message did not fit.
        Ssc_init_handle(target, source->type);
        return nullptr;
      }
      std::memcpy(inst, s, row->size);
      set_next(inst, nullptr);
      append(&target->lists[row->slot], inst);
      ssc_header_copy(id, inst, inst + row->size);
    }
  }
  return target;
}

bool Ssc_supported_has_tag(ssc_handle* h, u8 tag) { return has_code_tag(h, ssc_header_id::SUPPORTED, tag); }
bool Ssc_require_has_tag(ssc_handle* h, u8 tag) { return has_code_tag(h, ssc_header_id::REQUIRE, tag); }

u32 Ssc_option_tags_mask(const ssc_hdr_code_text* first) {
  u32 mask = 0;
  for (unsigned guard = 0; first && guard < 0x10000; ++guard, first = first->next) {
    switch (first->code) {
      case '1': mask |= 1u << 0; break;
      case 't': mask |= 1u << 1; break;
      case 'r': mask |= 1u << 2; break;
      case 'p': mask |= 1u << 3; break;
      case 'h': mask |= 1u << 4; break;
      case 'l': mask |= 1u << 5; break;
      default: mask |= 1u << 7; break;
    }
  }
  return mask;
}

msg_t* SIP_sc_format_rq(u16 nai, u16 conn_id, u8 sap, ssc_handle* h) {
  if (!ssc_is_handle(h)) return nullptr;
  const ssc_msg_type t = h->type;
  ent_id_t dest;
  if (to_ssc(t)) {
    dest = ENT_SSC;
  } else if (t == ssc_msg_type::SM_RQ) {
    dest = ENT_SM;
  } else {
    return nullptr;
  }
  const auto* mgmt = Ssc_first<ssc_hdr_mgmt>(h, ssc_header_id::MANAGEMENT);
  if (dest == ENT_SM && !mgmt) return nullptr;

  buffer_t* b = Alloc_buffer();
  if (!b) return nullptr;
  b->link_count = 1;
  if (dest == ENT_SM) {
    u8* p = Buffer_data(b);
    p[0] = ENT_SSC;
    p[1] = 0;
    std::memcpy(p + 2, &mgmt->w1, 2);
    std::memcpy(p + 4, &mgmt->w2, 2);
    p[6] = mgmt->b1;
    p[7] = mgmt->b2;
    b->data_size = SSC_SM_PREFIX_SIZE;
  }
  if (ssc_pack_msg(b, h, t) != OM_OS_OK) {
    Free_buffer(b);
    return nullptr;
  }
  msg_t* m = Alloc_msg();
  if (!m) {
    Free_buffer(b);
    return nullptr;
  }
  Msg_attach_chain(m, b);
  Msg_set_head(m, {ENT_NIL, dest, ssc_msg_type_table[ssc_idx(t)].code, nai, sap, conn_id});
  return m;
}

u8 Ssc_unformat_msg(ssc_handle* h, const msg_t* m) {
  if (!m) return OM_OS_NOK;
  const bool sm = m->from == ENT_SM || m->to == ENT_SM;
  u16 skip = 0;
  ssc_msg_type type = ssc_msg_type::NONE;
  if (sm) {
    if (m->code != SSC_SM_RQ && m->code != SSC_SM_ANSWER) return OM_OS_NOK;
    if (!m->p_buffer || m->p_buffer->data_size < SSC_SM_PREFIX_SIZE) return OM_OS_NOK;
    type = ssc_msg_type::SM_ANSWER;
    skip = SSC_SM_PREFIX_SIZE;
  } else if (m->code == CALL_CLOSED_IN) {
    return Ssc_init_handle(h, ssc_msg_type::NONE);
  } else {
    bool known = false;
    for (const auto& ct : CODE_TYPES) {
      if (ct.code == m->code) {
        type = ct.type;
        known = true;
        break;
      }
    }
    if (!known) {
      Ssc_init_handle(h, ssc_msg_type::NONE);
      return OM_OS_NOK;
    }
  }
  if (!m->p_buffer) return OM_OS_NOK;
  if (Ssc_init_handle(h, type) != OM_OS_OK) return OM_OS_NOK;
  if (ssc_unpack_msg(m->p_buffer, h, skip) != OM_OS_OK) {
    // The strings of what was read point into the caller's message: leave
    // nothing behind that could outlive it.
    Ssc_init_handle(h, ssc_msg_type::NONE);
    return OM_OS_NOK;
  }
  if (sm && m->code == SSC_SM_ANSWER) {
    const u8* prefix = Buffer_data(m->p_buffer);
    if (auto* mg = Ssc_first<ssc_hdr_mgmt>(h, ssc_header_id::MANAGEMENT)) {
      mg->b1 = prefix[6];
      mg->b2 = prefix[7];
    }
    h->type = ssc_msg_type::SM_ANSWER;
  }
  h->rx_buffer = m->p_buffer;
  hold_chain(m->p_buffer);
  return OM_OS_OK;
}
