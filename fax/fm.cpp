// The fax modem layer: channels, messages, the management entity and the
// training check. The control programs and the automaton are in
// fm_sched.cpp, the HDLC frame collection in fm_hdlc.cpp.
#include "fax/fm.h"

#include <cstring>

#include "common/byte_order.h"
#include "fax/fax_msg.h"
#include "fax/fm_channel.h"
#include "runtime/entity.h"
#include "runtime/om_os.h"
#include "runtime/sm.h"

namespace {

// TCF rows by ((modulation >> 1) AND 0x403F); rows not listed are zero.
constexpr fm_tcf_row kZeroRow{0, 0, 0, 0};
constexpr auto kTcfRows = [] {
  std::array<fm_tcf_row, FM_TCF_ROWS> t{};
  t[1] = {450, 383, 540, 5};       // 2400 bit/s
  t[2] = {900, 765, 1080, 11};     // 4800 bit/s
  t[4] = {1350, 1148, 1620, 16};   // 7200 bit/s
  t[8] = {1800, 1530, 2160, 22};   // 9600 bit/s
  t[16] = {2250, 1913, 2700, 28};  // 12000 bit/s
  t[32] = {2700, 2295, 3240, 33};  // 14400 bit/s
  return t;
}();

struct fm_layer {
  bool built = false;
  u16 slots = 0;
  std::vector<std::unique_ptr<fm_channel>> channels;
};
fm_layer g_layer;

}  // namespace

// ---------------------------------------------------------------------------
// Training check.

const fm_tcf_row& fm_tcf__row(u16 modulation) {
  const u32 index = (static_cast<u32>(modulation) >> 1) & 0x403F;
  return index < FM_TCF_ROWS ? kTcfRows[index] : kZeroRow;
}

void fm_tcf_check::start(u16 modulation) {
  *this = {};
  row_ = &fm_tcf__row(modulation);
}

bool fm_tcf_check::add(std::span<const u8> bytes) {
  const u32 stop = row_ ? row_->maximum : 0;
  for (u8 b : bytes) {
    if (bytes_ > stop) break;
    ++bytes_;
    ++win_bytes_;
    if (b != 0) {
      ++nonzero_;
      ++win_nonzero_;
    }
    if (win_bytes_ == FM_TCF_WINDOW) {
      ++windows_;
      if (win_nonzero_ != 0) ++bad_windows_;
      win_bytes_ = win_nonzero_ = 0;
    }
  }
  return bytes_ > stop;
}

fm_tcf_check::result fm_tcf_check::verdict() const {
  const fm_tcf_row& r = row_ ? *row_ : kZeroRow;
  if (bytes_ < r.minimum) {
    u32 missing = r.nominal > bytes_ ? (r.nominal - bytes_) * 1500u / r.nominal : 0;
    if (missing == 0) missing = 100;
    return {FM_TCF_SHORT, static_cast<u16>(missing)};
  }
  if (bytes_ > r.maximum) return {FM_TCF_BAD, 0};
  return {bad_windows_ <= r.bad_windows ? FM_TCF_GOOD : FM_TCF_BAD, 0};
}

// ---------------------------------------------------------------------------
// Messages.

msg_t* fm_new_msg(const fm_channel& ch, ent_id_t to, code_t code, u8 sapi, std::span<const u8> body) {
  return fax_new_msg(ENT_FM, to, code, ch.nai, sapi, ch.conn_id, body);
}

void fm_up(const fm_channel& ch, code_t code, std::span<const u8> body) {
  if (msg_t* m = fm_new_msg(ch, ch.user, code, 0xFF, body)) Send_msg(m);
}

void fm_confirm(const fm_channel& ch, char kind, u16 result, u32 value) {
  u8 body[8];
  put_le16(body, static_cast<u8>(kind));
  put_le16(body + 2, result);
  put_le32(body + 4, value);
  fm_up(ch, FM_CONTROL_CO, body);
}

void fm_down(const fm_channel& ch, code_t code, std::span<const u8> body) {
  if (msg_t* m = fm_new_msg(ch, ch.lower, code, FM_IAF_SAPI, body)) Send_msg(m);
}

void fm_readdress(fm_channel& ch, msg_t* m, ent_id_t to, code_t code, u8 sapi) {
  Msg_set_head(m, {ENT_FM, to, code, ch.nai, sapi, ch.conn_id});
  Send_msg(m);
}

void fm_note(fm_channel& ch, i16 a, i16 b, i16 c) {
  ch.notes[ch.note_count % ch.notes.size()] = {a, b, c};
  ++ch.note_count;
}

// ---------------------------------------------------------------------------
// Timers.

void fm_timer_start(fm_channel& ch, fm_timer slot, u32 ms) {
  fm_timer_slot& t = ch.timers[slot];
  if (!t.cell || ms == 0) return;
  ++t.seq;
  t.armed = true;
  Timer_start(t.cell, ms, t.seq, t.code);
}

void fm_timer_start(fm_channel& ch, fm_timer slot) { fm_timer_start(ch, slot, ch.timers[slot].ms); }

void fm_timer_stop(fm_channel& ch, fm_timer slot) {
  fm_timer_slot& t = ch.timers[slot];
  if (!t.armed) return;
  t.armed = false;
  if (t.cell) Timer_stop(t.cell);
}

namespace {

bool alloc_timers(fm_channel& ch) {
  for (size_t i = 0; i < FM_TIMER_COUNT; ++i) {
    fm_timer_slot& t = ch.timers[i];
    t.ms = fm_timer_table[i].ms;
    t.code = fm_timer_table[i].code;
    if (t.code == 0) continue;
    t.cell = Timer_alloc(ENT_FM, ch.nai, 0, ch.conn_id);
    if (!t.cell) return false;
  }
  return true;
}

void free_channel_resources(fm_channel& ch) {
  for (fm_timer_slot& t : ch.timers) {
    if (t.cell) Timer_free(t.cell);
    t.cell = nullptr;
    t.armed = false;
  }
  for (msg_t* m : ch.held) Free_msg(m);
  ch.held.clear();
}

fm_channel* channel_of(nai_t nai) {
  if (!g_layer.built || nai >= g_layer.slots) return nullptr;
  return g_layer.channels[nai].get();
}

void connect(msg_t* m) {
  const nai_t nai = m->nai;
  if (!g_layer.built || nai == 0xFFFF || nai >= g_layer.slots || g_layer.channels[nai]) return;
  auto ch = std::make_unique<fm_channel>();
  ch->nai = nai;
  ch->sapi = m->sapi;
  ch->conn_id = m->conn_id;
  ch->user = m->from;
  const u8* d = Msg_data(m);
  const u16 n = Msg_data_size(m);
  ch->conn_param = n >= 1 ? d[0] : 0;
  ch->lower = n >= 2 ? d[1] : ENT_T38;
  if (!alloc_timers(*ch)) {
    om_os_trap(FM_TRAP_TIMER_CELL);
    free_channel_resources(*ch);
    return;
  }
  ch->flags = 3;
  fm_init_channel(*ch);
  fm_channel& c = *ch;
  g_layer.channels[nai] = std::move(ch);
  const u8 body[2] = {0, 0};
  fm_up(c, FM_CONN_IN, body);
}

void on_progress(fm_channel& ch, const msg_t* m) {
  const u8* d = Msg_data(m);
  const u16 n = Msg_data_size(m);
  const u16 code = n >= 2 ? get_le16(d) : 0;
  const u16 rate = n >= 4 ? get_le16(d + 2) : 0;
  const u16 extra = n >= 6 ? get_le16(d + 4) : 0;
  auto up_progress = [&](u16 what) {
    if (rate < 301) return;
    u8 body[6];
    put_le16(body, what);
    put_le16(body + 2, rate);
    put_le16(body + 4, extra);
    fm_up(ch, FM_PROGRESS_IN, body);
  };
  switch (code) {
    case '[':
      up_progress('X');
      fm_event(ch, FM_EV_READY, code, nullptr);
      break;
    case ']': fm_event(ch, FM_EV_END_OF_DATA, code, nullptr); break;
    case 'f': fm_event(ch, FM_EV_FLAGS, code, nullptr); break;
    case '0':
    case '1':
    case '2': fm_event(ch, FM_EV_IDLE_SENDING, code, nullptr); break;
    case '<':
      up_progress('R');
      fm_event(ch, FM_EV_CARRIER_ON, code, nullptr);
      break;
    case 'a': fm_event(ch, FM_EV_CARRIER_ON, code, nullptr); break;
    case '>': fm_event(ch, FM_EV_CARRIER_OFF, code, nullptr); break;
    default: break;
  }
}

void on_expiry(fm_channel& ch, const msg_t* m) {
  const code_t ev = m->code;
  const u16 id = Timer_expiry_id(m);
  for (size_t i = 0; i < FM_TIMER_COUNT; ++i) {
    fm_timer_slot& t = ch.timers[i];
    if (t.code != 0 && t.code == ev && t.armed && t.seq == static_cast<u8>(id)) {
      t.armed = false;
      fm_event(ch, ev, 0, nullptr);
      return;
    }
  }
}

}  // namespace

void fm_release(fm_channel& ch, u16 cause) {
  if (ch.released) return;
  ch.released = true;
  ch.pending.clear();
  ch.base = 0;
  ch.op = FM_OP_NONE;
  for (size_t i = 0; i < FM_TIMER_COUNT; ++i) fm_timer_stop(ch, static_cast<fm_timer>(i));
  if (!ch.v34_mode) fm_down(ch, T38IAF__FAX_DEA_RQ_CODE, {});
  if (cause != 0) {
    u8 body[2];
    put_le16(body, static_cast<u16>((cause & 0xDFFF) | 0x4000));
    fm_up(ch, FM_DISC_IN, body);
  }
  if (ch.v34_mode) fm_down(ch, T38IAF__FAX_DEA_RQ_CODE, {});
  free_channel_resources(ch);
  // The record goes back to the pool when the message that released it has
  // been handled (see fm_entity_handler).
}

void fm_entity_handler(msg_t* m) {
  fm_channel* ch = channel_of(m->nai);
  bool kept = false;
  if (m->from == ENT_T30 && m->code == FM_CONN_RQ) {
    if (!ch) connect(m);
  } else if (ch && !ch->released) {
    const u8* d = Msg_data(m);
    const u16 n = Msg_data_size(m);
    if (m->from == ch->user) {
      switch (m->code) {
        case FM_DISC_RQ: {
          const u16 cause = n >= 2 ? get_le16(d) : 0;
          const bool at_once = n >= 6 && get_le16(d + 4) == 1;
          fm_disconnect(*ch, cause, at_once);
          break;
        }
        case FM_CONTROL_RQ: fm_control(*ch, m); break;
        case FM_DA_RQ: kept = fm_page_data(*ch, m); break;
        case FM_SYNC_RQ:
          std::swap(m->from, m->to);
          m->code = FM_SYNC_CO;
          Send_msg(m);
          kept = true;
          break;
        default: break;
      }
    } else if (m->from == ch->lower && m->sapi == FM_IAF_SAPI) {
      switch (m->code) {
        case ')': fm_up(*ch, FM_BUSY_IN, {}); break;
        case ']': fm_up(*ch, FM_CLR_BUSY_IN, {}); break;
        case 'c': kept = fm_received_data(*ch, m); break;
        case 'p': on_progress(*ch, m); break;
        default: break;
      }
    } else if (m->from == ENT_MFM) {
      if (m->code == MFM_CONN_RS) {
        if (n >= 4 && get_le32(d) == 1) {
          ch->flags = 3;
          u8 body[2];
          put_le16(body, ch->conn_param);
          fm_up(*ch, FM_CONN_IN, body);
        } else {
          fm_release(*ch, 0);
        }
      } else if (m->code == MFM_DISC_RQ) {
        fm_disconnect(*ch, n >= 2 ? get_le16(d) : 0, n >= 6 && get_le16(d + 4) == 1);
      }
    } else if (m->from == ENT_TI) {
      on_expiry(*ch, m);
    }
  }
  if (!kept) Free_msg(m);
  if (ch && ch->released) {
    free_channel_resources(*ch);
    g_layer.channels[ch->nai].reset();
  }
}

void fm_release_all() {
  for (auto& ch : g_layer.channels)
    if (ch) free_channel_resources(*ch);
  g_layer = {};
}

void mfm_entity_init() { om_os_set_entity_stop(ENT_MFM, fm_release_all); }

// ---------------------------------------------------------------------------
// Management entity.

void mfm_entity_handler(msg_t* m) {
  u8 body[3] = {2, 0, ENT_MFM};
  if (m->code == SM_CONFIG_RQ) {
    if (!g_layer.built) {
      if (om_os_get_msg_size() < 60) {
        om_os_trap(FM_TRAP_MSG_SIZE);
        body[0] = 3;
        body[1] = 1;
      } else {
        const u8* d = Msg_data(m);
        u16 slots = Msg_data_size(m) >= 5 ? get_le16(d + 3) : 0;
        if (slots == 0) slots = FM_DEFAULT_CHANNELS;
        g_layer.slots = slots;
        g_layer.channels.resize(slots);
        g_layer.built = true;
      }
    }
    Msg_set_inline_body(m, body, 3);
    m->code = SM_CONFIG_CO;
  } else if (m->code == SM_RST_CFG_RQ) {
    Msg_set_inline_body(m, body, 3);
    m->code = SM_RST_CFG_CO;
  } else {
    Free_msg(m);
    return;
  }
  std::swap(m->from, m->to);
  m->from = ENT_MFM;
  Send_msg(m);
}
