// The T.38 trace writer: line headers, the trace store hook, trace reports,
// hex dumps, packet traces and error records.
#include "t38/t38_trace.h"

#include <cstdio>
#include <cstring>
#include <iterator>
#include <vector>

#include "common/byte_order.h"
#include "runtime/msg.h"
#include "runtime/om_os.h"
#include "t38/runtime_chain.h"
#include "t38/t38_report.h"

namespace kv::t38 {

namespace {

t38_trace_store_fn g_store = nullptr;

struct class_label {
  u32 trace_class;
  const char* label;
  char letter;
};
constexpr class_label kClassLabels[] = {
    {0x2, "MSG            :M: ", 'M'},     {0x4, "CNF            :c: ", 'c'},    {0x8, "ASN.1 HEX      :A: ", 'A'},
    {0x20, "T.38 PCK       :8: ", '8'},    {0x40, "UDP SIMUL      :D: ", 'D'},   {0x80, "T.30           :3: ", '3'},
    {0x100, "T.38 AUTOMATON :T: ", 'T'},   {0x800, "UDPTL LOST     :e: ", 'e'},  {0x1000, "SM CONGESTION  :C: ", 'C'},
    {0x2000, "DFIELD CONG    :F: ", 'F'},  {0x4000, "IFP PCK CONG   :I: ", 'I'}, {0x8000, "ECM TOO LONG   :Y: ", 'Y'},
    {0x10000, "BAD HDLC FRAME :Z: ", 'Z'},
};
constexpr const char* kDirections[] = {
    "from IP  : ", "to   IP  : ", "from TDM : ", "to   TDM : ", "from ENT : ", "to   ENT : ", "         : "};

constexpr const char* kIndicatorNames[] = {"no-signal",
                                           "cng",
                                           "ced",
                                           "v21-preamble",
                                           "v27-2400-training",
                                           "v27-4800-training",
                                           "v29-7200-training",
                                           "v29-9600-training",
                                           "v17-7200-short-training",
                                           "v17-7200-long-training",
                                           "v17-9600-short-training",
                                           "v17-9600-long-training",
                                           "v17-12000-short-training",
                                           "v17-12000-long-training",
                                           "v17-14400-short-training",
                                           "v17-14400-long-training"};
constexpr const char* kDataNames[] = {"v21",      "v27-2400", "v27-4800",  "v29-7200", "v29-9600",
                                      "v17-7200", "v17-9600", "v17-12000", "v17-14400"};
constexpr const char* kFieldNames[] = {"hdlc-data",       "hdlc-sig-end",        "hdlc-fcs-OK",
                                       "hdlc-fcs-BAD",    "hdlc-fcs-OK-sig-end", "hdlc-fcs-BAD-sig-end",
                                       "t4-non-ecm-data", "t4-non-ecm-sig-end"};

const char* value_name(const t38_ifp_packet& p) { return t38_trace__type_name(p.type_value); }
const char* field_name(u8 t) { return t38_trace__field_name(t); }

t38_trace_writer* writer() { return dynamic_cast<t38_trace_writer*>(t38_trace()); }

u16 at_least_10(u16 v) { return v < 10 ? 10 : v; }

std::string hex_bytes(const u8* p, u32 n) {
  std::string out;
  char b[4];
  for (u32 i = 0; i < n; ++i) {
    (void)std::snprintf(b, sizeof b, "%02X ", p[i]);
    out += b;
  }
  return out;
}

}  // namespace

const char* t38_trace__type_name(u8 type_byte) {
  const u8 v = type_byte & 0x7F;
  if (type_byte & 0x80) return v < std::size(kDataNames) ? kDataNames[v] : "";
  return v < std::size(kIndicatorNames) ? kIndicatorNames[v] : "";
}

const char* t38_trace__field_name(u8 field_type) {
  return field_type < std::size(kFieldNames) ? kFieldNames[field_type] : "";
}

void t38_trace__set_store(t38_trace_store_fn fn) { g_store = fn; }

u32 t38_trace__format_number(i32 value, char* out, u32 flags) {
  const u32 base = flags & 0xFF;
  out[0] = '\0';
  if (base < 2 || base > 36) return 0;
  const u32 width = (flags >> 8) & 0x3F;
  const char* digits =
      (flags & T38_FMT__UPPER) ? "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ" : "0123456789abcdefghijklmnopqrstuvwxyz";
  const bool negative = base == 10 && !(flags & T38_FMT__UNSIGNED) && value < 0;
  u32 v = negative ? 0u - static_cast<u32>(value) : static_cast<u32>(value);
  char rev[40];
  u32 n = 0;
  do {
    rev[n++] = digits[v % base];
    v /= base;
  } while (v != 0 && n < 32);
  while (n < width && n < 32) rev[n++] = '0';
  u32 len = 0;
  if (negative) out[len++] = '-';
  while (n != 0) out[len++] = rev[--n];
  out[len] = '\0';
  return len;
}

std::string t38_trace__format(const char* fmt, t38_trace_arg a1, t38_trace_arg a2, t38_trace_arg a3, t38_trace_arg a4) {
  const t38_trace_arg args[4] = {a1, a2, a3, a4};
  std::string out;
  u32 used = 0;
  for (const char* p = fmt; *p != '\0'; ++p) {
    if (*p != '%') {
      out += *p;
      continue;
    }
    const char* q = p + 1;
    u32 width = 0;
    if (*q >= '0' && *q <= '9') width = static_cast<u32>(*q++ - '0');
    if (*q == 'l') ++q;
    const char conv = *q;
    const bool known = conv == 'd' || conv == 'u' || conv == 'x' || conv == 'X' || conv == 's' || conv == 'c';
    if (!known || used >= 4) {
      out += '%';  // written unchanged; what follows is plain text
      continue;
    }
    const t38_trace_arg& a = args[used++];
    char num[48];
    switch (conv) {
      case 'd':
        t38_trace__format_number(a.value, num, 10 | (width << 8));
        out += num;
        break;
      case 'u':
        t38_trace__format_number(a.value, num, 10 | (width << 8) | T38_FMT__UNSIGNED);
        out += num;
        break;
      case 'x':
      case 'X':
        t38_trace__format_number(a.value, num, 16 | (width << 8) | T38_FMT__UNSIGNED | T38_FMT__UPPER);
        out += num;
        break;
      case 's': out += a.text != nullptr ? a.text : ""; break;
      default: out += static_cast<char>(a.value); break;
    }
    p = q;
  }
  return out;
}

namespace {
// The 19-character label of a trace class and the 11-character label of a
// direction.
const char* t38_trace__class_label(u32 trace_class) {
  for (const class_label& c : kClassLabels) {
    if (c.trace_class == trace_class) return c.label;
  }
  return "????           :?: ";
}

const char* t38_trace__direction_label(u8 direction) {
  return direction < std::size(kDirections) ? kDirections[direction] : kDirections[0];
}
}  // namespace

std::string t38_trace__header(u32 age_ms, u32 trace_class, u8 direction) {
  char out[64];
  if (direction & T38_DIR__CONTINUATION) {
    char letter = '?';
    for (const class_label& c : kClassLabels) {
      if (c.trace_class == trace_class) letter = c.letter;
    }
    if (letter == '?') return "             : ????           :?:          : ";
    (void)std::snprintf(out, sizeof out, "             :                :%c:          : ", letter);
    return out;
  }
  (void)std::snprintf(out, sizeof out, "%09u ms : %s%s", age_ms % 1000000000u, t38_trace__class_label(trace_class),
                      t38_trace__direction_label(direction));
  return out;
}

void t38_trace__line(t38_session& s, u8 direction, u32 trace_class, const char* text) {
  if (t38_trace_writer* w = writer()) {
    w->write(s, 0, direction, trace_class, text);
  } else if (t38_trace() != nullptr) {
    t38_trace()->line(s, 0, trace_class, text);
  }
}

void t38_trace__hex(t38_session& s, u8 direction, u32 trace_class, const char* title, const u8* bytes, u32 count,
                    u32 total) {
  if (!t38__tracing(s, trace_class)) return;
  if (total == 0) total = count;
  u32 first_room = 32;
  if (title != nullptr) {
    const u32 cut = static_cast<u32>(std::strlen(title)) / 3;
    first_room = cut >= 31 ? 1 : 32 - cut;
  }
  u32 pos = 0;
  bool first = true;
  do {
    const u32 room = first ? first_room : 32;
    const u32 n = count - pos < room ? count - pos : room;
    std::string hex = hex_bytes(bytes + pos, n);
    pos += n;
    if (pos >= count && count < total) hex += "...";
    std::string line;
    if (first) {
      char head[160];
      if (title != nullptr) {
        (void)std::snprintf(head, sizeof head, "%s (len = %u) ", title, total);
      } else {
        (void)std::snprintf(head, sizeof head, "(len = %u) ", total);
      }
      line = head + hex + "\n";
      t38_trace__line(s, direction, trace_class, line.c_str());
    } else {
      line = hex + "\n";
      t38_trace__line(s, static_cast<u8>(direction | T38_DIR__CONTINUATION), trace_class, line.c_str());
    }
    first = false;
  } while (pos < count);
}

// ---------------------------------------------------------------------------

u8 t38_trace_writer::setup(t38_session& s) {
  t38__report_param& r = s.report_cfg;
  if (r.trace_flush_timer < 100) r.trace_flush_timer = 100;
  if (r.freq_error_report_ms < 100) r.freq_error_report_ms = 100;
  r.max_byte_asn1_hex = at_least_10(r.max_byte_asn1_hex);
  r.max_byte_udptl_hex = at_least_10(r.max_byte_udptl_hex);
  r.max_byte_fax_hex = at_least_10(r.max_byte_fax_hex);
  chains_.erase(&s);
  return T38__CAUSE_OK;
}

void t38_trace_writer::line(t38_session& s, u8 origin, u32 trace_class, const char* text) {
  write(s, origin, T38_DIR__NONE, trace_class, text);
}

void t38_trace_writer::write(t38_session& s, u8, u8 direction, u32 trace_class, const char* text) {
  const u8 macro = s.report_cfg.report__macro_ctrl_bfi;
  if ((macro & 0x3) == 0x3) return;
  if ((s.report_cfg.trace_report_bfi & trace_class) == 0) return;
  if (om_os_get_congestion()) return;
  std::string line = t38_trace__header(s.age_ms(), trace_class, direction);
  line += text;
  if ((macro & 0x2) == 0 && g_store != nullptr) {
    g_store(s.nai, trace_class, line.c_str(), static_cast<u32>(line.size()));
  }
  if (macro & 0x1) return;
  std::string& chain = chains_[&s];
  chain += line;
  if (s.report_cfg.trace_flush_nb_char != 0 && chain.size() >= s.report_cfg.trace_flush_nb_char) {
    send_report(s);
  } else if (!chain.empty() && !s.timers[TI_TRACE_REPORT].armed) {
    t38__timer_start_for(s, TI_TRACE_REPORT, s.report_cfg.trace_flush_timer);
  }
}

std::string t38_trace_writer::pending(const t38_session& s) const {
  auto it = chains_.find(&s);
  return it == chains_.end() ? std::string() : it->second;
}

void t38_trace_writer::send_report(t38_session& s) {
  auto it = chains_.find(&s);
  if (it == chains_.end() || it->second.empty()) return;
  const std::string& text = it->second;
  // The text length travels as a u16: a longer text is cut.
  const u32 len =
      text.size() > 0xFFFF - T38__REPORT_BODY_SIZE ? 0xFFFF - T38__REPORT_BODY_SIZE : static_cast<u32>(text.size());
  std::vector<u8> body(T38__REPORT_BODY_SIZE + len, 0);
  body[0] = 'T';
  body[1] = s.kind_of_session;
  put_le32(body.data() + 4, s.age_ms());
  put_le16(body.data() + 8, static_cast<u16>(len));
  std::memcpy(body.data() + T38__REPORT_BODY_SIZE, text.data(), len);
  msg_t* m = Alloc_msg();
  buffer_t* chain = m != nullptr ? Store_data_in_buffers(body.data(), static_cast<u32>(body.size()), nullptr) : nullptr;
  if (chain == nullptr) {
    if (m != nullptr) Free_msg(m);
    chains_.erase(it);
    t38__trap(s, 13152, "T38->send_t38__report_in__trace: No more message");
    return;
  }
  Msg_attach_chain(m, chain);
  t38_report__address_to_user(m, s);
  chains_.erase(it);
  Send_msg(m);
}

void t38_trace_writer::error_record(t38_session& s, u16 code, const char* name, const char* text) {
  if (s.report_cfg.report__macro_ctrl_bfi & 0x2) return;
  char line[400];
  (void)std::snprintf(line, sizeof line, "             : ERROR          :R:          : Err Id: %u  %s  %s\n", code,
                      name != nullptr ? name : "", text != nullptr ? text : "");
  if (g_store != nullptr) g_store(s.nai, 1, line, static_cast<u32>(std::strlen(line)));
}

void t38_trace_writer::flush_timer(t38_session& s) { send_report(s); }

void t38_trace_writer::congestion(t38_session& s) { chains_.erase(&s); }

void t38_trace_writer::end_of_session(t38_session& s, bool trapped) {
  if (!trapped) send_report(s);
  chains_.erase(&s);
}

namespace {

// Data fields in the short form: consecutive objects of one field type make
// one group, with at most `max_hex` bytes of data per group.
void short_fields(t38_session& s, u8 ldir, const t38_data_field* f, u16 max_hex) {
  char b[200];
  while (f != nullptr) {
    const u8 type = f->field_type;
    int n = 0;
    bool continued = false;
    int packed = 0;
    std::vector<u8> bytes;
    const t38_data_field* g = f;
    for (; g != nullptr && g->field_type == type; g = g->next) {
      ++n;
      continued = continued || g->continued;
      if (g->packed > packed) packed = g->packed;
      for (u16 i = 0; i < g->length && bytes.size() < max_hex; ++i) bytes.push_back(g->data[i]);
    }
    if (packed >= 2) {
      (void)std::snprintf(b, sizeof b, "            data-field (%s) (nb_data_field=%d) [Opt Rx data-field=%d] %s\n",
                          field_name(type), n, packed, continued ? "[Alloc new Dfield]" : "");
    } else {
      (void)std::snprintf(b, sizeof b, "            data-field (%s) (nb_data_field=%d) %s\n", field_name(type), n,
                          continued ? "[Alloc new Dfield]" : "");
    }
    t38_trace__line(s, ldir, T38_TRC__PACKET, b);
    for (std::size_t i = 0; i < bytes.size(); i += 32) {
      const u32 k = static_cast<u32>(bytes.size() - i < 32 ? bytes.size() - i : 32);
      const std::string line = "           " + hex_bytes(bytes.data() + i, k) + "\n";
      t38_trace__line(s, static_cast<u8>(ldir | T38_DIR__CONTINUATION), T38_TRC__PACKET, line.c_str());
    }
    f = g;
  }
}

// Data fields in the detailed form (secondaries indented further).
void detailed_fields(t38_session& s, u8 ldir, const t38_data_field* f, u16 max_hex, bool secondary) {
  char b[200];
  const char* pad = secondary ? "    " : "";
  for (; f != nullptr; f = f->next) {
    (void)std::snprintf(b, sizeof b, secondary ? "            data-field {\n" : "       data-field {\n");
    t38_trace__line(s, ldir, T38_TRC__PACKET, b);
    (void)std::snprintf(b, sizeof b, "%s           field-type : %s\n", pad, field_name(f->field_type));
    t38_trace__line(s, ldir, T38_TRC__PACKET, b);
    if (f->packed >= 2) {
      (void)std::snprintf(b, sizeof b, "           [Opt Rx data-field: %d]\n", f->packed);
      t38_trace__line(s, ldir, T38_TRC__PACKET, b);
    }
    if (f->continued) t38_trace__line(s, ldir, T38_TRC__PACKET, "           [Alloc new Dfield]\n");
    if (f->length != 0) {
      t38_trace__hex(s, ldir, T38_TRC__PACKET,
                     secondary ? "               field-data :" : "           field-data :", f->data,
                     f->length < max_hex ? f->length : max_hex, f->length);
    }
    t38_trace__line(s, ldir, T38_TRC__PACKET, secondary ? "           }\n" : "       }\n");
  }
}

}  // namespace

void t38_trace_writer::packet(t38_session& s, u8 direction, const t38_ifp_packet& p, u16 secondaries) {
  if (!t38__tracing(s, T38_TRC__PACKET)) return;
  const char* dir = direction == T38_TRC__RX ? "RX " : "TX ";
  const u8 ldir = direction == T38_TRC__RX ? T38_DIR__FROM_IP : T38_DIR__TO_IP;
  const bool data = (p.type_value & 0x80) != 0;
  const bool udp = s.is_udp();
  const bool detailed = s.report_cfg.detailed_packet_trace == 1;
  const u16 max_hex = at_least_10(s.report_cfg.max_byte_udptl_hex);
  char b[200];
  auto out = [&](const char* text) { t38_trace__line(s, ldir, T38_TRC__PACKET, text); };
  // The secondaries of a sent packet are the packets sent before it, still
  // held for redundancy: the newest first.
  auto secondary = [&](u16 k) -> const t38_ifp_packet* {
    const t38_ifp_packet* q = &p;
    for (u16 i = 0; i < k && q != nullptr; ++i) q = q->prev;
    return q;
  };
  if (!detailed) {
    if (udp) {
      (void)std::snprintf(b, sizeof b, "%sUDPTL Packet seq-number= %u (Ext #%lu)\n", dir, p.ext_seq & 0xFFFF,
                          static_cast<unsigned long>(p.ext_seq));
    } else {
      (void)std::snprintf(b, sizeof b, "%sTPKT (seq-number= #%lu (Internal value)\n", dir,
                          static_cast<unsigned long>(p.ext_seq));
    }
    out(b);
    (void)std::snprintf(b, sizeof b, data ? "  Prim-ifp: data (%s)\n" : "  Prim-ifp: t30ind (%s)\n", value_name(p));
    out(b);
    short_fields(s, ldir, p.fields, max_hex);
    for (u16 k = 1; udp && k <= secondaries; ++k) {
      const u32 ext = p.ext_seq - k;
      const t38_ifp_packet* q = secondary(k);
      if (q == nullptr) {
        (void)std::snprintf(b, sizeof b, "  Sec-ifp (#%u (Ext #%lu))\n", ext & 0xFFFF, static_cast<unsigned long>(ext));
        out(b);
        continue;
      }
      (void)std::snprintf(b, sizeof b,
                          (q->type_value & 0x80) ? "  Sec-ifp (#%u (Ext #%lu)): data (%s)\n"
                                                 : "  Sec-ifp (#%u (Ext #%lu)): t30ind (%s)\n",
                          ext & 0xFFFF, static_cast<unsigned long>(ext), value_name(*q));
      out(b);
      short_fields(s, ldir, q->fields, max_hex);
    }
    out("\n");
    return;
  }
  if (udp) {
    (void)std::snprintf(b, sizeof b, "%sUDPTL Packet {\n", dir);
    out(b);
    (void)std::snprintf(b, sizeof b, "   seq-number : %u (Ext #%lu)\n", p.ext_seq & 0xFFFF,
                        static_cast<unsigned long>(p.ext_seq));
    out(b);
    out("   primary-ifp_packet {\n");
  } else {
    (void)std::snprintf(b, sizeof b, "%sTPKT Packet {\n", dir);
    out(b);
    (void)std::snprintf(b, sizeof b, "   (seq-number : %lu Internal value)\n", static_cast<unsigned long>(p.ext_seq));
    out(b);
  }
  (void)std::snprintf(b, sizeof b, "       type-of-msg : %s (%s)\n", data ? "data" : "t30_indicator", value_name(p));
  out(b);
  detailed_fields(s, ldir, p.fields, max_hex, false);
  out("   }\n");
  if (udp) {
    out("   error-recovery : redundancy {\n");
    for (u16 k = 1; k <= secondaries; ++k) {
      const u32 ext = p.ext_seq - k;
      const t38_ifp_packet* q = secondary(k);
      out("       Secondary IFP Packet {\n");
      (void)std::snprintf(b, sizeof b, "           (seq-number : %u (Ext #%lu))\n", ext & 0xFFFF,
                          static_cast<unsigned long>(ext));
      out(b);
      if (q != nullptr) {
        (void)std::snprintf(b, sizeof b, "           type-of-msg : %s (%s)\n",
                            (q->type_value & 0x80) ? "data" : "t30_indicator", value_name(*q));
        out(b);
        detailed_fields(s, ldir, q->fields, max_hex, true);
      }
      out("       }\n");
    }
    out("   }\n");
  }
  out("}\n");
}

void t38_trace_writer::asn1_dump(t38_session& s, u8 direction, const byte_ref& bytes) {
  if (!t38__tracing(s, T38_TRC__ASN1_HEX)) return;
  const u16 max_hex = at_least_10(s.report_cfg.max_byte_asn1_hex);
  const u32 n = bytes.length < max_hex ? bytes.length : max_hex;
  std::vector<u8> flat(n);
  const std::size_t got = copy_bytes(bytes.chain != nullptr ? &t38_runtime_chains() : nullptr, bytes, flat.data(), n);
  const u8 ldir = direction == T38_TRC__RX ? T38_DIR__FROM_IP : T38_DIR__TO_IP;
  char b[80];
  const u32 ref = static_cast<u32>(reinterpret_cast<uintptr_t>(bytes.first));
  if (s.is_udp()) {
    (void)std::snprintf(b, sizeof b, "ASN.1 packet size = %d\n", static_cast<int>(bytes.length));
    t38_trace__line(s, ldir, T38_TRC__ASN1_HEX, b);
    (void)std::snprintf(b, sizeof b, "p_buffer = 0x%8X\n", ref);
    t38_trace__line(s, ldir, T38_TRC__ASN1_HEX, b);
    t38_trace__hex(s, ldir, T38_TRC__ASN1_HEX, nullptr, flat.data(), static_cast<u32>(got), bytes.length);
    return;
  }
  (void)std::snprintf(b, sizeof b, "TPKT + ASN.1 packet size = %d\n", static_cast<int>(bytes.length));
  t38_trace__line(s, ldir, T38_TRC__ASN1_HEX, b);
  (void)std::snprintf(b, sizeof b, "              (p_buffer = 0x%8X)\n", ref);
  t38_trace__line(s, ldir, T38_TRC__ASN1_HEX, b);
  const u32 head = got < 4 ? static_cast<u32>(got) : 4;
  t38_trace__hex(s, ldir, T38_TRC__ASN1_HEX, "TPKT Header :", flat.data(), head, 4);
  if (got > 4) {
    t38_trace__hex(s, ldir, T38_TRC__ASN1_HEX, "ASN.1       :", flat.data() + 4, static_cast<u32>(got - 4),
                   bytes.length - 4);
  }
}

}  // namespace kv::t38
