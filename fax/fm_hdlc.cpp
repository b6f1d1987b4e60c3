// The fax modem layer's data paths: HDLC frames out (bit-reversed, one
// message per frame), received frames into the engine's receive record,
// received training bytes into the training check and page data up.
#include <cstring>
#include <vector>

#include "common/byte_order.h"
#include "fax/fax_bit.h"
#include "fax/fm_channel.h"
#include "runtime/entity.h"

namespace {

constexpr size_t kMaxFrames = 9 < t30_frame_set::max_frames ? 9 : t30_frame_set::max_frames;

u8 line_fcf(const u8* line) { return static_cast<u8>(fax_bit_tables.reverse[line[2]] & 0x7F); }

// One received frame (line bit order) into the receive record.
void take_frame(fm_channel& ch, const msg_t* m, const std::vector<u8>& line) {
  fm_timer_start(ch, TO_3S);
  t30_frame_set* set = t30_fm__frame_set(ch.rx_record);
  const u16 status = m->data_size >= 2 ? get_le16(Msg_inline_data(m)) : 0;
  if (!set || status != 0 || set->count >= kMaxFrames || set->used + line.size() >= t30_frame_set::max_octets) {
    ++ch.refused;
    return;
  }
  if (line.size() <= 2 || line[0] != 0xFF) return;
  const u8 fcf = line_fcf(line.data());
  if (fcf == 0x60 || fcf == 0x61) return;
  const u16 len = static_cast<u16>(line.size());
  if (set->count > 0) {
    const t30_frame_set::ref prev = set->frames[set->count - 1];
    if (prev.length >= 3 && set->octets[prev.offset + 2] == fax_bit_tables.reverse[line[2]]) {
      // The same frame again: only its final-frame bit counts.
      set->octets[prev.offset + 1] = fax_bit_tables.reverse[line[1]];
      return;
    }
  }
  fax_bit__copy_reversed(set->octets.data() + set->used, line.data(), len);
  set->frames[set->count] = {set->used, len};
  set->used = static_cast<u16>(set->used + len);
  ++set->count;
  ++ch.stored;
}

std::vector<u8> bytes_of(const msg_t* m) {
  std::vector<u8> out;
  for (const buffer_t* b = m->p_buffer; b; b = b->next)
    out.insert(out.end(), Buffer_data(b), Buffer_data(b) + b->data_size);
  return out;
}

}  // namespace

size_t fm_send_frames(fm_channel& ch, const t30_frame_set& set) {
  const size_t n = set.count < t30_frame_set::max_frames ? set.count : t30_frame_set::max_frames;
  size_t sent = 0;
  for (size_t i = 0; i < n; ++i) {
    const std::span<const u8> f = set.frame(i);
    if (f.empty() || static_cast<size_t>(set.frames[i].offset) + f.size() > t30_frame_set::max_octets) continue;
    u8 line[t30_frame_set::max_octets];
    fax_bit__copy_reversed(line, f.data(), static_cast<u32>(f.size()));
    buffer_t* b = Store_data_in_buffers(line, static_cast<u32>(f.size()), nullptr);
    if (!b) continue;
    u8 status[2];
    put_le16(status, i + 1 == n ? 1 : 0);
    msg_t* m = fm_new_msg(ch, ch.lower, T38IAF__FAX_DA_RQ_CODE, FM_IAF_SAPI, status);
    if (!m) {
      Free_buffer(b);
      continue;
    }
    Msg_attach_chain(m, b);
    Send_msg(m);
    ++sent;
  }
  return sent;
}

bool fm_received_data(fm_channel& ch, msg_t* m) {
  if (ch.op == FM_OP_NONE) return false;
  switch (ch.rx_kind) {
    case FM_KIND_TCF: {
      if (ch.carrier_stage != 0) return false;  // not counting before the carrier
      const std::vector<u8> bytes = bytes_of(m);
      if (ch.tcf.add(bytes)) {
        // A training longer than any at its rate: judged at once.
        fm_stop_receive(ch);
      }
      return false;
    }
    case FM_KIND_PAGE: {
      const std::vector<u8> bytes = bytes_of(m);
      if (bytes.size() == 4 && bytes[0] == 0xFF && line_fcf(bytes.data()) == 0x73) {
        take_frame(ch, m, bytes);
        return false;
      }
      if (ch.mod_cur & 0x2000) fm_timer_start(ch, TO_RGUARD, 40000);
      fm_readdress(ch, m, ch.user, FM_DA_IN, 0xFF);
      return true;
    }
    case FM_KIND_HDLC: take_frame(ch, m, bytes_of(m)); return false;
    default: return false;
  }
}
