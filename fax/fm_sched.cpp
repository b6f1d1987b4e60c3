// The fax modem layer's control programs, scheduler and automaton.
#include <cstring>

#include "common/byte_order.h"
#include "fax/fm_channel.h"
#include "runtime/entity.h"

namespace {

// Handlers of the event map.
enum fm_handler : i16 {
  H_NONE = -1,
  H_UNEXPECTED = 0,
  H_CONTROL,
  H_DELAY_END,
  H_READY,
  H_HOLD_END,
  H_DATA_END,
  H_IDLE_SENDING,
  H_GUARD_1106,
  H_GUARD_1107,
  H_TCF_END,
  H_CARRIER_ON,
  H_CARRIER_OFF,
  H_STOP_WAIT_END,
  H_RX_TIMEOUT,
  H_FLAGS,
  H_FRAME_TIMEOUT,
  H_DATA,
  H_GUARD_1126,
};

// Sub-state rows: the handlers of events 12 to 30.
using sub_row = std::array<i16, FM_SUB_EVENTS>;
constexpr i16 _ = H_NONE;
enum row_id : u8 {
  R_NONE,
  R_PREPARE,
  R_WAIT_READY,
  R_LS_HOLD,
  R_SENDING,
  R_TRAINING,
  R_RX0,
  R_HDLC1,
  R_HDLC2,
  R_HS_RX1
};
//                       12           13          14       15              16            17             18 19 20 21 22
//                       23          24               25            26            27            28         29 30
constexpr sub_row kRows[] = {
    /* R_NONE */ {_, _, _, _, _, _, _, _, _, _, _, _, _, _, _, _, _, _, _},
    /* R_PREPARE */ {_, _, _, _, _, _, _, _, _, H_DELAY_END, _, _, _, _, _, _, _, _, _},
    /* R_WAIT_READY */ {H_READY, _, _, _, _, _, _, _, _, _, _, _, _, _, _, H_GUARD_1106, _, _, _},
    /* R_LS_HOLD */ {_, _, _, _, _, _, _, _, _, _, _, H_HOLD_END, _, _, _, _, _, _, _},
    /* R_SENDING */ {_, H_DATA_END, _, H_IDLE_SENDING, _, _, _, _, _, _, _, H_HOLD_END, _, _, _, H_GUARD_1107, _, _, _},
    /* R_TRAINING */ {_, _, _, _, _, _, _, _, _, _, _, _, _, _, _, _, H_TCF_END, _, _},
    /* R_RX0 */
    {_, _, _, _, H_CARRIER_ON, H_CARRIER_OFF, H_STOP_WAIT_END, _, _, _, H_RX_TIMEOUT, _, _, H_RX_TIMEOUT, H_RX_TIMEOUT,
     _, _, _, _},
    /* R_HDLC1 */
    {_, _, H_FLAGS, _, H_CARRIER_ON, H_CARRIER_OFF, H_STOP_WAIT_END, _, _, _, _, _, _, H_RX_TIMEOUT, H_RX_TIMEOUT, _, _,
     _, _},
    /* R_HDLC2 */
    {_, _, _, H_DATA, H_CARRIER_ON, H_CARRIER_OFF, H_STOP_WAIT_END, _, _, _, _, _, H_FRAME_TIMEOUT, H_RX_TIMEOUT,
     H_RX_TIMEOUT, _, _, _, _},
    /* R_HS_RX1 */
    {_, _, _, _, H_CARRIER_ON, H_CARRIER_OFF, H_STOP_WAIT_END, _, _, _, _, _, _, _, _, _, _, H_GUARD_1126, _},
};

// Row of (operation, sub-state).
row_id row_of(u16 op, u16 sub) {
  switch (op) {
    case FM_OP_LS_TX: return sub == 0 ? R_PREPARE : sub == 1 ? R_WAIT_READY : R_LS_HOLD;
    case FM_OP_LS_RX:
    case FM_OP_HS_TX:
    case FM_OP_HS_RX: return sub == 0 ? R_PREPARE : R_NONE;
    case FM_OP_SEND_HDLC: return sub == 0 ? R_SENDING : R_NONE;
    case FM_OP_SEND_TCF:
    case FM_OP_SEND_PAGE: return sub == 0 ? R_SENDING : sub == 1 ? R_WAIT_READY : R_TRAINING;
    case FM_OP_RECV_CMD:
    case FM_OP_RECV_RSP: return sub == 0 ? R_RX0 : sub == 1 ? R_HDLC1 : R_HDLC2;
    case FM_OP_RECV_TCF:
    case FM_OP_RECV_PAGE: return sub == 0 ? R_RX0 : sub == 1 ? R_HS_RX1 : R_NONE;
    default: return R_NONE;
  }
}

// Allowed operations by base state: the operation itself, kKeep (dropped
// silently) or kRefused.
constexpr u16 kKeep = 0xFFFE, kRefused = 0xFFFF;
constexpr u16 kAllowed[5][FM_OPS] = {
    // 0     1         2         3         4         5         6         7         8         9         10        11 12
    {0, kRefused, 2, 3, 4, 5, kRefused, kRefused, kRefused, kRefused, kRefused, kRefused, kRefused},  // idle
    {0, kRefused, kKeep, kRefused, kRefused, kRefused, 6, kRefused, kRefused, kRefused, kRefused, kRefused, kRefused},
    {0, kRefused, kRefused, kRefused, kRefused, kRefused, kRefused, kRefused, kRefused, 9, 10, kRefused, kRefused},
    {0, kRefused, kRefused, kRefused, kRefused, kRefused, kRefused, kRefused, kRefused, kRefused, kRefused, 11, 12},
    {0, kRefused, kRefused, kRefused, kRefused, kRefused, kRefused, 7, 8, kRefused, kRefused, kRefused, kRefused},
};

// Turnaround delays by operation kind and previous direction (32767: none).
constexpr u32 kNoDelay = 32767;
constexpr u32 kDelays[12] = {75, kNoDelay, 75, kNoDelay, 75, kNoDelay, 75, kNoDelay, 75, kNoDelay, kNoDelay, kNoDelay};

constexpr u16 kGroup = 0x8F80;
constexpr u8 kDirTx = 1, kDirRx = 2;

bool high_speed(u16 op) {
  return op == FM_OP_SEND_TCF || op == FM_OP_SEND_PAGE || op == FM_OP_RECV_TCF || op == FM_OP_RECV_PAGE;
}

void enter_sub(fm_channel& ch, u16 sub) {
  ch.sub = sub;
  const sub_row& r = kRows[row_of(ch.op, sub)];
  for (size_t i = 0; i < FM_SUB_EVENTS; ++i) ch.map[FM_SUB_FIRST_EVENT + i] = r[i];
}

void base_map(fm_channel& ch) {
  for (size_t i = 0; i < FM_SUB_FIRST_EVENT; ++i) ch.map[i] = H_UNEXPECTED;
  for (size_t i = FM_EV_CONTROL_FIRST; i <= FM_EV_CONTROL_LAST; ++i) ch.map[i] = H_CONTROL;
}

void schedule(fm_channel& ch);

// The delay-table entry before an operation, by its kind and the direction
// before it.
u32 turnaround(const fm_channel& ch, u16 op) {
  const u8 before = ch.dir;
  size_t i = 0;
  switch (op) {
    case FM_OP_HS_TX: i = before == kDirTx ? 2 : 4; break;
    case FM_OP_HS_RX: i = before == kDirTx ? 3 : 5; break;
    case FM_OP_LS_TX: i = before == kDirTx ? 6 : before == kDirRx ? 8 : (ch.v34_mode ? 10 : 0); break;
    default: i = before == kDirTx ? 7 : before == kDirRx ? 9 : (ch.v34_mode ? 11 : 1); break;
  }
  const u32 d = kDelays[i];
  return d == 0 ? 75 : d;
}

void activate(fm_channel& ch, u8 direction) {
  const u16 op = ch.op;
  const bool hs = high_speed(op);
  u16 dir = direction;
  if (ch.v34_mode) dir = static_cast<u16>(dir + (hs ? 16 : 4));
  u16 mode = ch.mod_cur;
  if (hs && !ch.v34_mode && (mode & 0x2000)) mode |= 0x4000;
  u16 short_train = 0;
  if (hs && !ch.v34_mode) {
    short_train =
        (op == FM_OP_SEND_PAGE || op == FM_OP_RECV_PAGE) && (ch.mod_cur & 0x0800) && !(ch.item.options & FM_OPT_LONG)
            ? 1
            : 0;
  } else if (hs) {
    short_train = ch.mod_cur == 0x6104 ? 0xFFFF : ch.mod_cur == 0x6840 ? 1 : 0;
  } else if (direction == kDirRx && ch.v34_mode && (ch.item.options & FM_OPT_V34_RATE)) {
    short_train = 1;
  }
  u16 options = 0;
  if (!ch.v34_mode && direction == kDirTx && op == FM_OP_SEND_TCF) options = 1;
  if (!ch.v34_mode && direction == kDirRx && (op == FM_OP_RECV_TCF || op == FM_OP_RECV_PAGE)) {
    options = static_cast<u16>((ch.tcf_failed ? 2 : 0) | ((ch.item.options & FM_OPT_FLAG_WAIT) ? 8 : 0));
  }
  u8 body[10];
  put_le16(body, dir);
  put_le16(body + 2, mode);
  put_le16(body + 4, short_train);
  put_le16(body + 6, 0xFFFF);
  put_le16(body + 8, options);
  ch.dir_before = ch.dir;
  ch.dir = direction;
  fm_down(ch, T38IAF__FAX_ACT_RQ_CODE, body);
}

void deactivate(fm_channel& ch) {
  if (!ch.v34_mode) fm_down(ch, T38IAF__FAX_DEA_RQ_CODE, {});
}

void start_ls_transmit(fm_channel& ch) {
  if (ch.item.options & FM_OPT_LONG) fm_confirm(ch, 'c', 1);
  activate(ch, kDirTx);
  fm_timer_start(ch, TO_XGUARD, 5000);
  enter_sub(ch, 1);
}

void release_held(fm_channel& ch) {
  const bool any = !ch.held.empty();
  while (!ch.held.empty()) {
    msg_t* m = ch.held.front();
    ch.held.pop_front();
    fm_readdress(ch, m, ch.lower, T38IAF__FAX_DA_RQ_CODE, FM_IAF_SAPI);
  }
  if (any) fm_up(ch, FM_CLR_BUSY_IN, {});
}

// Entry routines of the operations.
void run_op(fm_channel& ch) {
  fm_item& it = ch.item;
  switch (it.op) {
    case FM_OP_RELEASE: fm_release(ch, it.cause); return;
    case FM_OP_LS_TX: {
      ch.tx_kind = FM_KIND_HDLC;
      const u16 mod = it.modulation ? it.modulation : ch.mod_low;
      const bool same_group = (mod & kGroup) == (ch.mod_cur & kGroup);
      ch.mod_cur = ch.mod_low = mod;
      if (!(it.options & FM_OPT_LONG) && same_group && (mod & 0x2000)) {
        ch.mod_cur |= 0x2000;
        start_ls_transmit(ch);
        return;
      }
      const u32 d = (it.options & FM_OPT_LONG) ? 2650 : turnaround(ch, it.op);
      enter_sub(ch, 0);
      if (d == kNoDelay) {
        start_ls_transmit(ch);
      } else {
        fm_timer_start(ch, TO_75MS, d);
      }
      return;
    }
    case FM_OP_LS_RX: {
      const u16 mod = it.modulation ? it.modulation : ch.mod_low;
      const bool changed = (mod & kGroup) != (ch.mod_cur & kGroup);
      ch.mod_cur = ch.mod_low = mod;
      const u32 d = changed ? turnaround(ch, it.op) : kNoDelay;
      enter_sub(ch, 0);
      if (d == kNoDelay) {
        fm_finish(ch, 2);
      } else {
        fm_timer_start(ch, TO_75MS, d);
      }
      return;
    }
    case FM_OP_HS_TX:
    case FM_OP_HS_RX: {
      const u16 mod = it.modulation ? it.modulation : ch.mod_high;
      const bool same_group = (mod & kGroup) == (ch.mod_cur & kGroup);
      ch.mod_cur = ch.mod_high = mod;
      ch.ready = false;
      enter_sub(ch, 0);
      if (it.op == FM_OP_HS_RX && same_group) {
        fm_finish(ch, 3);
        return;
      }
      const u32 d = turnaround(ch, it.op);
      if (d == kNoDelay) {
        fm_finish(ch, it.op == FM_OP_HS_TX ? 4 : 3);
      } else {
        fm_timer_start(ch, TO_75MS, d);
      }
      return;
    }
    case FM_OP_SEND_HDLC: {
      enter_sub(ch, 0);
      ch.extra_timer = it.extra;
      size_t sent = 0;
      if (it.crp) {
        t30_frame_set crp;
        crp.octets[0] = 0xFF;
        crp.octets[1] = T30_CONTROL_FINAL;
        crp.octets[2] = 0x58;
        crp.frames[0] = {0, 3};
        crp.count = 1;
        crp.used = 3;
        sent = fm_send_frames(ch, crp);
      } else if (const t30_frame_set* set = t30_fm__frame_set(it.value)) {
        sent = fm_send_frames(ch, *set);
      }
      if (sent == 0) {
        // Nothing to send: the modem stays ready for the next frames.
        ch.extra_timer = 0;
        fm_finish(ch, 1);
        return;
      }
      fm_timer_start(ch, TO_XGUARD, 5000);
      return;
    }
    case FM_OP_SEND_TCF:
    case FM_OP_SEND_PAGE:
      ch.tx_kind = it.op == FM_OP_SEND_TCF ? FM_KIND_TCF : FM_KIND_PAGE;
      activate(ch, kDirTx);
      fm_timer_start(ch, TO_XGUARD, 5000);
      enter_sub(ch, 1);
      return;
    case FM_OP_RECV_CMD:
    case FM_OP_RECV_RSP: {
      ch.rx_kind = FM_KIND_HDLC;
      ch.rx_record = it.value;
      ch.rx_options = it.options;
      ch.stored = ch.refused = 0;
      ch.carrier_count = 0;
      ch.carrier_stage = 1;
      if (it.options & FM_OPT_REPEAT) {
        ++ch.crp_count;
      } else {
        ch.crp_count = 0;
      }
      if (t30_frame_set* set = t30_fm__frame_set(ch.rx_record)) *set = {};
      enter_sub(ch, 0);
      activate(ch, kDirRx);
      if (it.op == FM_OP_RECV_CMD) {
        fm_timer_start(ch, TO_T2);
      } else {
        fm_timer_start(ch, TO_T4, (it.options & FM_OPT_LONG) ? 5700 : 3000);
      }
      return;
    }
    case FM_OP_RECV_TCF:
    case FM_OP_RECV_PAGE:
      ch.rx_kind = it.op == FM_OP_RECV_TCF ? FM_KIND_TCF : FM_KIND_PAGE;
      ch.rx_options = it.options;
      ch.carrier_count = 0;
      ch.carrier_stage = 1;
      enter_sub(ch, 0);
      activate(ch, kDirRx);
      fm_timer_start(ch, TO_CD, ch.v34_mode ? 6000 : 3500);
      return;
    default: return;
  }
}

void schedule(fm_channel& ch) {
  if (ch.sched_busy) return;
  ch.sched_busy = true;
  while (!ch.released && ch.op == FM_OP_NONE && !ch.pending.empty()) {
    fm_item it = ch.pending.front();
    ch.pending.pop_front();
    const u16 verdict = it.op < FM_OPS && ch.base < 5 ? kAllowed[ch.base][it.op] : kRefused;
    if (verdict == kKeep) continue;
    if (verdict >= FM_OPS) {
      fm_note(ch, -1, static_cast<i16>(ch.base), static_cast<i16>(it.op));
      continue;
    }
    ch.op = it.op;
    ch.item = it;
    run_op(ch);
  }
  ch.sched_busy = false;
}

// Abandons the running program and stops the modem.
void restart(fm_channel& ch) {
  ch.pending.clear();
  if (ch.op != FM_OP_NONE || ch.base != 0) {
    for (size_t i = 0; i < FM_TIMER_COUNT; ++i) fm_timer_stop(ch, static_cast<fm_timer>(i));
    deactivate(ch);
  }
  ch.op = FM_OP_NONE;
  ch.base = 0;
  ch.carrier_stage = 1;
  ch.ready = false;
  ch.rx_kind = ch.tx_kind = FM_KIND_NONE;
  base_map(ch);
  enter_sub(ch, 0);
}

// The engine gives ECM codes as the page code with 0x4000; the fax service
// knows them as HDLC codes (0x2000).
u16 service_modulation(u16 mod) {
  if ((mod & 0x4000) && !(mod & 0x2000)) mod = static_cast<u16>((mod & ~0x5000) | 0x2000);
  return mod;
}

u16 tcf_modulation(u16 mod) { return static_cast<u16>((mod & ~0x2000) | 0x1000); }

void stop_hdlc_timers(fm_channel& ch) {
  fm_timer_stop(ch, TO_3S);
  fm_timer_stop(ch, TO_T2);
  fm_timer_stop(ch, TO_T4);
}

}  // namespace

void fm_init_channel(fm_channel& ch) {
  base_map(ch);
  enter_sub(ch, 0);
}

void fm_finish(fm_channel& ch, u16 base) {
  ch.base = base;
  ch.op = FM_OP_NONE;
  enter_sub(ch, 0);
  schedule(ch);
}

void fm_disconnect(fm_channel& ch, u16 cause, bool at_once) {
  if (at_once) {
    fm_release(ch, cause);
    return;
  }
  fm_item it;
  it.op = FM_OP_RELEASE;
  it.cause = cause;
  ch.pending.push_back(it);
  schedule(ch);
}

void fm_control(fm_channel& ch, const msg_t* m) {
  u8 body[FM_CONTROL_RQ_SIZE] = {};
  const u16 n = Msg_data_size(m);
  std::memcpy(body, Msg_data(m), n < sizeof body ? n : sizeof body);
  const u8 mode = body[0];
  const u16 sub = get_le16(body + 2);
  const bool restart_first = get_le16(body + 4) == 1;
  const u32 frames = get_le32(body + 8);
  const u32 record = get_le32(body + 12);
  const u16 mod = service_modulation(get_le16(body + 16));
  const u32 extra = get_le32(body + 20);
  if (sub < 'a' || sub > 'i') return;

  std::vector<fm_item> prog;
  auto add = [&](u16 op, u16 modulation = 0, u16 options = 0, u32 value = 0, u32 x = 0) {
    fm_item it;
    it.op = op;
    it.modulation = modulation;
    it.options = options;
    it.value = value;
    it.extra = x;
    prog.push_back(it);
  };
  auto set_v34 = [&] {
    ch.v34_mode = (mode & 1) != 0;
    ch.v34_option = static_cast<u8>((mode >> 1) & 3);
  };
  // Flag-wait (waiting for a lost carrier to come back, listening for V.21
  // while a page is received) is for the 2400 bit/s modulation only: at
  // other rates the commands are answered when their carrier ends.
  const u16 flag_wait = (mod & 0x807F) == 2 ? FM_OPT_FLAG_WAIT : 0;
  bool do_restart = false;
  switch (sub) {
    case 'a':
      add(FM_OP_HS_TX, mod);
      add(FM_OP_SEND_PAGE, 0, (mode & 1) ? FM_OPT_LONG : 0);
      break;
    case 'b':
      do_restart = restart_first;
      add(FM_OP_LS_TX);
      add(FM_OP_SEND_HDLC, 0, 0, frames);
      if (!ch.v34_mode && ch.v34_option != 1) {
        add(FM_OP_HS_TX, tcf_modulation(mod));
        add(FM_OP_SEND_TCF);
      }
      add(FM_OP_LS_RX);
      add(FM_OP_RECV_RSP, 0, ch.v34_option == 1 ? FM_OPT_LONG : 0, record);
      break;
    case 'c':
      set_v34();
      do_restart = restart_first;
      add(FM_OP_LS_TX, mod);
      add(FM_OP_SEND_HDLC, 0, 0, frames);
      add(FM_OP_LS_RX);
      add(FM_OP_RECV_RSP, 0, 0, record);
      break;
    case 'd':
      do_restart = restart_first;
      add(FM_OP_LS_TX);
      add(FM_OP_SEND_HDLC, 0, 0, frames, extra);
      break;
    case 'e':
      add(FM_OP_LS_RX);
      add(FM_OP_RECV_CMD, 0, 0, record);
      break;
    case 'f':
      add(FM_OP_HS_RX, mod);
      add(FM_OP_RECV_PAGE, 0, static_cast<u16>(((mode & 1) ? FM_OPT_LONG : 0) | ((mode & 2) ? flag_wait : 0)));
      add(FM_OP_LS_RX);
      add(FM_OP_RECV_CMD, 0, FM_OPT_NO_CRP, record);
      break;
    case 'g':
      set_v34();
      add(FM_OP_LS_RX, mod);
      add(FM_OP_RECV_CMD, 0, FM_OPT_NO_CRP | flag_wait, record);
      break;
    case 'h':
      add(FM_OP_LS_RX);
      add(FM_OP_RECV_RSP, 0, mod == 0x6102 ? FM_OPT_V34_RATE : 0, record);
      break;
    case 'i':
      if (ch.v34_option == 1) {
        add(FM_OP_LS_TX, 0, FM_OPT_LONG);
      } else if (ch.v34_mode) {
        fm_confirm(ch, 'c', 1);
        ch.base = 0;
        add(FM_OP_LS_TX);
      } else {
        add(FM_OP_HS_RX, tcf_modulation(mod));
        add(FM_OP_RECV_TCF);
        add(FM_OP_LS_TX);
      }
      break;
    default: return;
  }
  if (do_restart) restart(ch);
  if (ch.pending.size() + prog.size() > FM_ITEMS) {
    fm_release(ch, FM_CAUSE_NO_ITEM);
    return;
  }
  for (const fm_item& it : prog) ch.pending.push_back(it);
  schedule(ch);
}

bool fm_page_data(fm_channel& ch, msg_t* m) {
  if (ch.ready) {
    fm_readdress(ch, m, ch.lower, T38IAF__FAX_DA_RQ_CODE, FM_IAF_SAPI);
    return true;
  }
  const bool first = ch.held.empty();
  ch.held.push_back(m);
  if (first) fm_up(ch, FM_BUSY_IN, {});
  return true;
}

void fm_stop_receive(fm_channel& ch) {
  deactivate(ch);
  ch.carrier_stage = 1;
  fm_timer_stop(ch, TO_RGUARD);
  fm_timer_stop(ch, TO_200MS);
  fm_timer_stop(ch, TO_CD);
  switch (ch.rx_kind) {
    case FM_KIND_TCF: {
      fm_tcf_check::result r = ch.tcf.verdict();
      if (ch.tcf.bytes() > fm_tcf__row(ch.mod_cur).maximum) ch.tcf_failed = true;
      if (r.verdict == FM_TCF_GOOD && (ch.mod_cur & 0x0400)) r.verdict = FM_TCF_BAD;
      fm_confirm(ch, 'c', r.verdict, r.verdict == FM_TCF_SHORT ? r.missing_ms : 0);
      break;
    }
    case FM_KIND_HDLC: {
      stop_hdlc_timers(ch);
      const t30_frame_set* set = t30_fm__frame_set(ch.rx_record);
      const bool crp_first = set && set->count > 0 && set->frame(0).size() >= 3 && (set->frame(0)[2] & 0x7F) == 0x58;
      if (set && ch.stored > 0 && set->count > 0 && set->frame(0).size() >= 1 && !crp_first) {
        fm_confirm(ch, 'f', 0, ch.rx_record);
      } else if (ch.op == FM_OP_RECV_CMD && (ch.refused > 0 || (ch.rx_options & FM_OPT_REPEAT_OK)) &&
                 ch.crp_limit != 0 && !(ch.rx_options & FM_OPT_NO_CRP) && ch.crp_count < ch.crp_limit) {
        if (t30_frame_set* s = t30_fm__frame_set(ch.rx_record)) s->count = 0;
        fm_item repeat[4];
        repeat[0].op = FM_OP_LS_TX;
        repeat[1].op = FM_OP_SEND_HDLC;
        repeat[1].crp = true;
        repeat[2].op = FM_OP_LS_RX;
        repeat[3].op = FM_OP_RECV_CMD;
        repeat[3].value = ch.rx_record;
        repeat[3].options = static_cast<u16>(FM_OPT_REPEAT | (ch.rx_options & FM_OPT_REPEAT_OK));
        for (int i = 3; i >= 0; --i) ch.pending.push_front(repeat[i]);
      } else {
        fm_confirm(ch, ch.op == FM_OP_RECV_CMD ? 'a' : 'b', 0);
      }
      break;
    }
    case FM_KIND_PAGE: fm_confirm(ch, 'e', 0); break;
    default: break;
  }
  ch.rx_kind = FM_KIND_NONE;
  fm_finish(ch, 0);
}

void fm_event(fm_channel& ch, u8 event, u16 code, msg_t* m) {
  if (ch.released || event >= FM_EVENTS) return;
  const i16 h = ch.map[event];
  switch (h) {
    case H_NONE:
    case H_CONTROL: return;
    case H_UNEXPECTED: fm_note(ch, -2, -1, event); return;
    case H_DELAY_END:
      if (ch.op == FM_OP_LS_TX) {
        start_ls_transmit(ch);
      } else if (ch.op == FM_OP_LS_RX) {
        fm_finish(ch, 2);
      } else if (ch.op == FM_OP_HS_TX) {
        fm_finish(ch, 4);
      } else if (ch.op == FM_OP_HS_RX) {
        fm_finish(ch, 3);
      }
      return;
    case H_READY:
      fm_timer_stop(ch, TO_XGUARD);
      if (ch.tx_kind == FM_KIND_TCF) {
        fm_timer_start(ch, TO_XTRAIN);
        enter_sub(ch, 2);
      } else if (ch.tx_kind == FM_KIND_PAGE) {
        if (ch.mod_cur & 0x2000) {
          fm_timer_start(ch, TO_FLECM, ch.v34_mode ? 400 : 200);
          fm_timer_start(ch, TO_XGUARD, 40000);
        } else {
          fm_timer_start(ch, TO_XGUARD, 6000);
          ch.ready = true;
          release_held(ch);
        }
        enter_sub(ch, 0);
      } else {
        if (ch.v34_mode) {
          fm_timer_start(ch, TO_1S, 200);
        } else if (ch.mod_low == 0x2102) {
          fm_timer_start(ch, TO_FL24);
        } else {
          fm_timer_start(ch, TO_1S);
        }
        enter_sub(ch, 2);
      }
      return;
    case H_HOLD_END:
      if (ch.tx_kind == FM_KIND_PAGE) {
        fm_confirm(ch, 'g', 0);
        ch.ready = true;
        release_held(ch);
      } else {
        fm_finish(ch, 1);
      }
      return;
    case H_TCF_END: {
      u8 last[2];
      put_le16(last, 1);
      fm_down(ch, T38IAF__FAX_DA_RQ_CODE, last);
      fm_timer_start(ch, TO_XGUARD, 5000);
      enter_sub(ch, 0);
      return;
    }
    case H_DATA_END:
      fm_timer_stop(ch, TO_XGUARD);
      deactivate(ch);
      if (ch.tx_kind == FM_KIND_PAGE) fm_confirm(ch, 'd', 0);
      if (ch.tx_kind == FM_KIND_HDLC && ch.extra_timer != 0) {
        (void)t30_fm__start_timer(ch.extra_timer);
        ch.extra_timer = 0;
      }
      ch.ready = false;
      fm_finish(ch, 0);
      return;
    case H_IDLE_SENDING:
      if (code == '1') {
        fm_timer_stop(ch, TO_XGUARD);
      } else {
        fm_timer_start(ch, TO_XGUARD, (ch.mod_cur & 0x2000) ? 40000 : 6000);
      }
      return;
    case H_GUARD_1106: fm_release(ch, FM_CAUSE_NO_READY); return;
    case H_GUARD_1107: fm_release(ch, FM_CAUSE_NO_END); return;
    case H_GUARD_1126:
      // A training that started but never ended is judged on what came.
      if (ch.rx_kind == FM_KIND_TCF) {
        fm_stop_receive(ch);
      } else {
        fm_release(ch, FM_CAUSE_PAGE_GUARD);
      }
      return;
    case H_CARRIER_ON:
      if (code == 'a') {
        deactivate(ch);
        fm_timer_stop(ch, TO_CD);
        fm_confirm(ch, 'd', 2);
        ch.rx_kind = FM_KIND_NONE;
        fm_finish(ch, 0);
        return;
      }
      if (ch.carrier_stage == 1) {
        ch.carrier_stage = 0;
        fm_timer_stop(ch, TO_CD);
        ++ch.carrier_count;
        if (ch.rx_kind == FM_KIND_HDLC) {
          if (ch.carrier_count == 1) {
            if (ch.op == FM_OP_RECV_CMD) {
              fm_timer_start(ch, TO_T2);
            } else {
              fm_timer_start(ch, TO_T4, (ch.rx_options & FM_OPT_LONG) ? 5700 : 3000);
            }
          }
          enter_sub(ch, 1);
        } else if (ch.carrier_count == 1 && ch.rx_kind == FM_KIND_PAGE) {
          enter_sub(ch, 1);
          if (ch.mod_cur & 0x2000) fm_timer_start(ch, TO_RGUARD, 40000);
          fm_confirm(ch, 'd', 1);
        } else if (ch.carrier_count == 1 && ch.rx_kind == FM_KIND_TCF) {
          ch.tcf.start(ch.mod_cur);
          enter_sub(ch, 1);
          fm_timer_start(ch, TO_RGUARD, FM_TCF_GUARD_MS);
        }
      } else if (ch.carrier_stage == 2) {
        fm_timer_stop(ch, TO_200MS);
        ch.carrier_stage = 0;
      }
      return;
    case H_CARRIER_OFF:
      if (ch.rx_kind == FM_KIND_HDLC && (ch.rx_options & FM_OPT_FLAG_WAIT) && ch.stored > 0) {
        ch.carrier_stage = 2;
        fm_timer_start(ch, TO_200MS, 800);
      } else if (ch.rx_kind == FM_KIND_HDLC && ch.stored == 0) {
        ch.carrier_stage = 2;
        fm_timer_start(ch, TO_200MS);
      } else {
        fm_stop_receive(ch);
      }
      return;
    case H_STOP_WAIT_END: fm_stop_receive(ch); return;
    case H_RX_TIMEOUT:
      ch.carrier_stage = 1;
      deactivate(ch);
      fm_timer_stop(ch, TO_CD);
      fm_timer_stop(ch, TO_200MS);
      if (ch.rx_kind == FM_KIND_HDLC) {
        fm_confirm(ch, ch.op == FM_OP_RECV_CMD ? 'a' : 'b', 0);
        stop_hdlc_timers(ch);
      } else if (ch.rx_kind == FM_KIND_PAGE) {
        fm_confirm(ch, 'd', 1);
        fm_confirm(ch, 'e', 0);
      } else if (ch.rx_kind == FM_KIND_TCF) {
        fm_confirm(ch, 'c', FM_TCF_NO_CARRIER);
      }
      ch.rx_kind = FM_KIND_NONE;
      fm_finish(ch, 0);
      return;
    case H_FLAGS:
      fm_timer_stop(ch, TO_T2);
      fm_timer_stop(ch, TO_T4);
      fm_timer_start(ch, TO_3S);
      enter_sub(ch, 2);
      return;
    case H_FRAME_TIMEOUT:
      if (ch.stored > 0) {
        // Frames came but their carrier never ended (the far side's gateway
        // may stop relaying after a DCN): they are handed over all the same.
        fm_stop_receive(ch);
        return;
      }
      fm_timer_stop(ch, TO_200MS);
      ch.carrier_stage = 1;
      deactivate(ch);
      stop_hdlc_timers(ch);
      fm_confirm(ch, 'a', 0);
      ch.rx_kind = FM_KIND_NONE;
      fm_finish(ch, 0);
      return;
    case H_DATA: (void)m; return;
    default: return;
  }
}
