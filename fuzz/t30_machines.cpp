// Fuzz target: the T.30 engine's machines fed random HDLC frames, ECM data
// frames, PPS with every frame count, modem-layer confirms, user primitives
// and timer expiries, in random order, after the call was led into one of
// six phases. Every session must end with T30_DISC_IN (no hang) and nothing
// may crash.
//
// Input: byte 0 selects the phase (0 caller waiting for DIS, 1 answerer
// after its DIS, 2 caller sending a page, 3 answerer receiving a page, 4 ECM
// transmit, 5 ECM receive) and, in bit 3, the ECM frame size (64 or 256).
// Then records of a kind byte and its operands (see feed()).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/byte_order.h"
#include "fax/t30_capability.h"
#include "fax/t30_engine.h"
#include "fax/t30_frame_set.h"
#include "runtime/entity.h"
#include "runtime/msg.h"
#include "runtime/om_os.h"
#include "runtime/timer.h"

namespace {

using bytes = std::vector<uint8_t>;
constexpr uint16_t kChannel = 0;

uint32_t g_now = 0;
uint32_t read_clock() { return g_now; }
void ignore_trap(u16, const char*) {}

// What the fake entities saw.
struct world {
  bool ended = false;
  uint16_t cause = 0;
  bool fm_receiving = false;  // a receive program waits for frames
  char fm_receive = 0;        // its sub-code
  bool fm_page_tx = false;
  uint32_t page_tx_since = 0;
  bool want_data = false;
  uint16_t end_page_bits = 0;
  uint16_t end_page_answer = 0;
  t30_capability fields;
  t30_selection selection;
} g;

msg_t* make(ent_id_t from, code_t code, const bytes& body) {
  msg_t* m = nullptr;
  buffer_t* b = nullptr;
  u8* p = nullptr;
  Alloc_msg_data(&m, &b, static_cast<u32>(body.size()), &p);
  if (!p) return nullptr;
  if (!body.empty()) std::memcpy(p, body.data(), body.size());
  m->from = from;
  m->to = ENT_T30;
  m->code = code;
  m->nai = 0;
  m->sapi = 0;
  m->conn_id = kChannel;
  return m;
}

void send(ent_id_t from, code_t code, const bytes& body) {
  if (msg_t* m = make(from, code, body)) Send_msg(m);
}

void send_data(ent_id_t from, code_t code, const bytes& octets, uint16_t param) {
  msg_t* m = Alloc_msg();
  if (!m) return;
  m->from = from;
  m->to = ENT_T30;
  m->code = code;
  m->nai = 0;
  m->sapi = 0;
  m->conn_id = kChannel;
  m->data_size = 2;
  put_le16(Msg_inline_data(m), param);
  if (!octets.empty())
    if (buffer_t* b = Store_data_in_buffers(octets.data(), static_cast<u32>(octets.size()), nullptr))
      Msg_attach_chain(m, b);
  Send_msg(m);
}

void confirm(char kind, uint16_t result, uint32_t value = 0) {
  bytes body(FM_CONTROL_CO_SIZE);
  put_le16(body.data(), static_cast<uint8_t>(kind));
  put_le16(body.data() + 2, result);
  put_le32(body.data() + 4, value);
  send(ENT_FM, FM_CONTROL_CO, body);
}

// Frames reach the engine through its receive record.
void deliver_frames(const std::vector<bytes>& frames) {
  const uint32_t handle = (uint32_t{kChannel} + 1) << 4 | 2;
  t30_frame_set* set = t30_fm__frame_set(handle);
  if (!set) return;
  *set = {};
  for (const bytes& f : frames) {
    if (set->count >= t30_frame_set::max_frames || set->used + f.size() > t30_frame_set::max_octets) break;
    if (!f.empty()) std::memcpy(set->octets.data() + set->used, f.data(), f.size());
    set->frames[set->count++] = {set->used, static_cast<uint16_t>(f.size())};
    set->used = static_cast<uint16_t>(set->used + f.size());
  }
  // A training check under way is not ended by frames.
  if (g.fm_receive != 'i') g.fm_receiving = false;
  confirm('f', 0, handle);
}

void fm_handler(msg_t* m) {
  switch (m->code) {
    case FM_CONN_RQ: send(ENT_FM, FM_CONN_IN, {0, 0}); break;
    case FM_DISC_RQ: {
      const uint16_t cause = Msg_data_size(m) >= 2 ? get_le16(Msg_data(m)) : 0;
      bytes body(2);
      put_le16(body.data(), static_cast<uint16_t>((cause & 0xDFFF) | 0x4000 | (cause ? 0 : 1)));
      send(ENT_FM, FM_DISC_IN, body);
      break;
    }
    case FM_CONTROL_RQ: {
      const uint8_t* d = Msg_data(m);
      const char sub = static_cast<char>(get_le16(d + 2));
      if (get_le16(d + 4) == 1) g.fm_receiving = false;
      if (sub == 'a') {
        g.fm_page_tx = true;
        g.page_tx_since = g_now;
      } else if (sub != 'd') {
        g.fm_receiving = true;
        g.fm_receive = sub;
      }
      const uint32_t extra = get_le32(d + 20);
      if (sub == 'd' && extra) (void)t30_fm__start_timer(extra);
      break;
    }
    case FM_DA_RQ:
      if (m->data_size >= 2 && get_le16(Msg_inline_data(m)) == 1 && g.fm_page_tx) {
        g.fm_page_tx = false;
        confirm('d', 0);
      }
      break;
    default: break;
  }
  Free_msg(m);
}

void user_handler(msg_t* m) {
  switch (m->code) {
    case T30_DISC_IN:
      g.ended = true;
      g.cause = Msg_data_size(m) >= 2 ? get_le16(Msg_data(m)) : 0;
      break;
    case T30_WhatToDo_IN: {
      bytes area(T30_CAP_AREA_SIZE);
      t30_cap__write_area(std::span<uint8_t, T30_CAP_AREA_SIZE>(area.data(), T30_CAP_AREA_SIZE),
                          {g.fields, g.selection, 0});
      send(ENT_CF, T30_WhatToDo_RS, area);
      break;
    }
    case T30_EONEG_IN:
      if (g.want_data) {
        send_data(ENT_CF, T30_DA_RQ, bytes(300, 0x55), 0);
        send_data(ENT_CF, T30_DA_RQ, {}, 1);
        bytes w(2);
        put_le16(w.data(), g.end_page_bits);
        send(ENT_CF, T30_END_PAGE_RQ, w);
      }
      break;
    case T30_END_PAGE_IN: {
      bytes w(2);
      put_le16(w.data(), g.end_page_answer);
      send(ENT_CF, T30_END_PAGE_RS, w);
      break;
    }
    default: break;
  }
  Free_msg(m);
}

void free_handler(msg_t* m) { Free_msg(m); }

const entity_table_row_t TABLE[] = {
    {ENT_T30, t30_entity_handler, 0, 0, nullptr, 0}, {ENT_FM, fm_handler, 0, 0, nullptr, 0},
    {ENT_CF, user_handler, 0, 0, nullptr, 0},        {ENT_MT30, free_handler, 0, 0, nullptr, 0},
    {ENT_T38, free_handler, 0, 0, nullptr, 0},       {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

void pump() { om_os_run_ready(0, 100000); }

void advance(uint32_t ms) {
  g_now += ms;
  om_os_timer_poll();
  pump();
}

bytes frame(uint8_t control, uint8_t fcf, const bytes& fif = {}) {
  bytes f = {0xFF, control, fcf};
  f.insert(f.end(), fif.begin(), fif.end());
  return f;
}

// A DIS or DCS set as a peer would send it.
bytes capability_frame(t30_set_kind kind, bool ecm, uint8_t frame_size) {
  t30_capability c = t30_cap__defaults();
  if (kind == t30_set_kind::dcs) {
    c.service = T30_SVC_TRANSMIT;
    c.resolution = T30_RES_FINE;
    c.coding = T30_CODING_MH;
    c.width = T30_WIDTH_A4;
    c.length = T30_LENGTH_A4;
    c.scan_time = 0;
  }
  c.ecm = ecm ? frame_size : 0;
  c.ecm_frame_size = ecm ? frame_size : 0;
  t30_build_options o;
  o.fif.dcs_modulation = 0x1840;
  t30_frame_set set;
  if (t30_build_set(kind, c, t30_local_params{}, o, set) != t30_build_status::ok) return {};
  const auto f = set.frame(set.count - 1);
  return bytes(f.begin(), f.end());
}

uint8_t rev(uint8_t v) {
  uint8_t r = 0;
  for (int i = 0; i < 8; ++i)
    if (v & (1 << i)) r = static_cast<uint8_t>(r | (0x80 >> i));
  return r;
}

// Leads the call into the chosen phase.
void lead_into(unsigned phase, bool ecm, uint8_t frame_size) {
  g.fields = t30_cap__defaults();
  g.fields.ecm = ecm ? frame_size : 0;
  g.fields.ecm_frame_size = ecm ? frame_size : 0;
  g.selection = {T30_RES_FINE, T30_CODING_MH, T30_WIDTH_A4};
  const bool caller = phase == 0 || phase == 2 || phase == 4;
  if (caller) {
    g.fields.resolution = T30_RES_FINE;
    g.fields.coding = T30_CODING_MH;
    g.fields.width = T30_WIDTH_A4;
    g.want_data = true;
  } else {
    g.fields.service = T30_SVC_TRANSMIT;
  }
  bytes conn(9, 0);
  put_le16(conn.data(), caller ? 2 : 1);
  send(ENT_CF, T30_CONN_RQ, conn);
  pump();
  if (phase == 2 || phase == 4) {
    deliver_frames({capability_frame(t30_set_kind::dis, ecm, 3)});
    pump();
    deliver_frames({frame(0xC8, 0x21)});  // CFR
    pump();
  } else if (phase == 3 || phase == 5) {
    deliver_frames({capability_frame(t30_set_kind::dcs, ecm, frame_size)});
    pump();
    confirm('c', 1);  // good training
    pump();
    confirm('d', 1);  // page carrier
    pump();
  }
}

void feed(const uint8_t* data, size_t size, uint8_t frame_size_code) {
  const uint16_t frame_size = frame_size_code == 1 ? 64 : 256;
  size_t at = 0;
  auto next = [&]() -> uint8_t { return at < size ? data[at++] : 0; };
  int records = 0;
  while (at < size && records++ < 200 && !g.ended) {
    const uint8_t kind = next();
    switch (kind % 8) {
      case 0: {  // a raw frame set: count, then length-prefixed frames
        std::vector<bytes> frames;
        const unsigned n = next() % 10;
        for (unsigned i = 0; i < n && at < size; ++i) {
          // The length byte is taken before what is left is measured.
          const size_t want = next();
          const size_t len = std::min<size_t>(want, size - at);
          frames.emplace_back(data + at, data + at + len);
          at += len;
        }
        deliver_frames(frames);
        break;
      }
      case 1: {  // one well-formed command or response frame, X bit random
        static constexpr uint8_t fcfs[] = {0x01, 0x81, 0x41, 0x21, 0x5F, 0x22, 0x72, 0x71, 0x74, 0x31,
                                           0x32, 0x33, 0x34, 0x35, 0x3D, 0x48, 0x23, 0x38, 0x76, 0x37};
        const uint8_t pick = next();
        uint8_t fcf = fcfs[pick % sizeof fcfs];
        if (pick & 0x80) fcf |= 0x80;
        bytes fif;
        if ((fcf & 0x7F) == 0x3D) fif.assign(data + std::min(at, size), data + std::min(at + 32, size));
        if ((fcf & 0x7F) == 0x48) fif = {next(), next()};
        if (fcf == 0x01 || fcf == 0x41 || fcf == 0x81)
          fif = {next(), static_cast<uint8_t>(next() | 0x01), static_cast<uint8_t>(next() & 0xFE)};
        fif.resize(fcf == 0x3D || fcf == 0xBD ? 32 : fif.size());
        deliver_frames({frame(0xC8, fcf, fif)});
        break;
      }
      case 2: {  // PPS or EOR with any command, page, block and count 1..256
        const bool eor = next() & 1;
        static constexpr uint8_t cmds[] = {0x00, 0xF2, 0xF1, 0xF4, 0xFA, 0xF9, 0xFC, 0x03};
        const uint8_t cmd = cmds[next() % 8];
        if (eor) deliver_frames({frame(0xC8, 0x73, {cmd})});
        else deliver_frames({frame(0xC8, 0x7D, {cmd, rev(next()), rev(next()), rev(next())})});
        break;
      }
      case 3: {  // an ECM data frame: any number (repeats too), any length
        const uint8_t number = next();
        const size_t len = (static_cast<size_t>(next()) * 2) % (frame_size + 40);
        bytes f = {0xFF, 0x03, 0x06, number};
        for (size_t i = 0; i < len; ++i) f.push_back(static_cast<uint8_t>(number + i));
        if (len == 0) f = {0xFF, 0x03, 0x86};  // RCP
        send_data(ENT_FM, FM_DA_IN, f, 0);
        break;
      }
      case 4: {  // a modem-layer confirm (the modem layer's program goes on)
        const char sub = static_cast<char>('a' + next() % 7);
        confirm(sub, next() % 5, next());
        break;
      }
      case 5:  // time passes
        advance(static_cast<uint32_t>(next()) * 100);
        break;
      case 6: {  // a user primitive
        static constexpr code_t codes[] = {T30_END_PAGE_RQ, T30_END_PAGE_RS, T30_WhatToDo_RS, T30_BUSY_RQ,
                                           T30_CLR_BUSY_RQ, T30_DISC_RQ,     T30_SETPARM_RQ,  T30_SYNC_RQ};
        const code_t code = codes[next() % 8];
        bytes body = {next(), next()};
        if (code == T30_WhatToDo_RS) body.resize(T30_CAP_AREA_SIZE, next());
        send(ENT_CF, code, body);
        break;
      }
      case 7: {  // page data, flow control, V.34 answers, stale expiries
        const uint8_t what = next() % 6;
        if (what == 0) send_data(ENT_FM, FM_DA_IN, bytes(data + std::min(at, size), data + std::min(at + 40, size)), 0);
        if (what == 1) send(ENT_FM, FM_BUSY_IN, {});
        if (what == 2) send(ENT_FM, FM_CLR_BUSY_IN, {});
        if (what == 3) send(ENT_T38, 'a', {next(), next()});
        if (what == 4) {
          bytes expiry(TI_EXPIRY_DATA_SIZE, 0);
          expiry[0] = next();
          expiry[1] = next() % T30_TIMER_COUNT;
          send(ENT_TI, t30_timer_table[expiry[1]].code, expiry);
        }
        if (what == 5) send_data(ENT_CF, T30_DA_RQ, bytes(next(), 0x11), next() & 1);
        break;
      }
    }
    pump();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  g = world{};
  g_now = 1000;
  om_os_set_trap_handler(ignore_trap);
  om_os_set_tick_source(read_clock);
  om_os_start_options o;
  o.table = TABLE;
  o.sm_thread = false;
  o.timer_thread = false;
  o.bkgr_thread = false;
  om_os_start_with(o);
  pump();

  bytes cfg(12, 0);
  cfg[2] = ENT_MT30;
  put_le16(cfg.data() + 3, 1);
  cfg[5] = 1;
  put_le16(cfg.data() + 6, 2);
  cfg[10] = ENT_T38;
  send(ENT_MT30, MT30_CONFIG_RQ, cfg);
  pump();

  const unsigned phase = (data[0] & 7) % 6;
  const uint8_t frame_size = (data[0] & 8) ? 1 : 2;
  g.end_page_bits = (data[0] & 0x10) ? 0x201 : 0;
  g.end_page_answer = (data[0] >> 5) & 7;
  lead_into(phase, phase >= 4, frame_size);
  feed(data + 1, size - 1, frame_size);

  // Drain: the fake modem layer times out whatever it waits for, as a
  // modem layer does; the session must end within the virtual hour.
  for (int step = 0; step < 3600 && !g.ended; ++step) {
    if (g.fm_receiving) {
      g.fm_receiving = false;
      switch (g.fm_receive) {
        case 'b':
        case 'c':
        case 'h': confirm('b', 0); break;
        case 'i': confirm('c', 2); break;
        case 'f':
          // No carrier: the page ends at once and the program goes on
          // receiving frames.
          confirm('d', 1);
          confirm('e', 0);
          g.fm_receiving = true;
          g.fm_receive = 'e';
          break;
        default: confirm('a', 0); break;
      }
    }
    if (g.fm_page_tx && g_now - g.page_tx_since > 60000) {
      // The modem layer's guard time ends a page that never ends.
      g.fm_page_tx = false;
      bytes body(2);
      put_le16(body.data(), 0x4107);
      send(ENT_FM, FM_DISC_IN, body);
    }
    advance(1000);
  }
  if (!g.ended) abort();
  t30_release_all();
  om_os_stop();
  om_os_set_tick_source(nullptr);
  om_os_set_trap_handler(nullptr);
  return 0;
}
