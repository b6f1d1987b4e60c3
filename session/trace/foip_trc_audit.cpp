// foip_trc: message audit and trap audit.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/byte_order.h"
#include "platform/clock.h"
#include "runtime/om_os.h"
#include "runtime/sm.h"
#include "runtime/sock.h"
#include "runtime/timer.h"
#include "session/trace/foip_trc_internal.h"

using namespace foip_trc_detail;

namespace {

constexpr u32 HEAD_MAX = 128;
constexpr u32 TEXT_MAX = 4551;  // 4550 characters and the NUL
// The text buffer also holds the head in front and the line end.
constexpr u32 AUDIT_LINE_MAX = TEXT_MAX + HEAD_MAX + 1;
constexpr u32 REPORT_MAX = 254;  // 253 characters and the NUL

// Primitive codes the audit writer recognises (owned by the SIP side).
constexpr code_t SSC_ERROR_IN_CODE = '?';
constexpr code_t SSC_CALL_CLOSED_IN_CODE = 'X';

foip_trc__report_writer_t sm_report_writer = nullptr;
foip_trc__report_writer_t ssc_error_writer = nullptr;

// Congestion counters of the last moment without congestion.
std::atomic<u16> calm_episodes[4] = {};

// ---------------------------------------------------------------------------
// SSC header names of the audit's header list.

struct ssc_header_name {
  u8 id;
  const char* name;
};
constexpr ssc_header_name SSC_HEADER_NAMES[] = {
    {0, "Unknow Header"},
    {1, "SEND_TO"},
    {3, "REQUEST_URI"},
    {4, "RETURN_CODE"},
    {5, "ACCEPT"},
    {6, "ACCEPT_ENCODING"},
    {7, "ACCEPT_LANGUAGE"},
    {8, "ALERT_INFO"},
    {9, "ALLOW"},
    {10, "AUTHENTICATION_INFO"},
    {11, "AUTHORIZATION"},
    {12, "CALL_ID"},
    {13, "CALL_INFO"},
    {14, "CONTACT"},
    {15, "CONTENT_DISPOSITION"},
    {16, "CONTENT_ENCODING"},
    {17, "CONTENT_LANGUAGE"},
    {18, "CONTENT_TYPE"},
    {20, "DATE"},
    {21, "ERROR_INFO"},
    {22, "EXPIRES"},
    {23, "FROM"},
    {24, "IN_REPLY_TO"},
    {25, "MAX_FORWARDS"},
    {26, "MIME_VERSION"},
    {27, "MIN_EXPIRES"},
    {28, "MIN_SE"},
    {29, "ORGANIZATION"},
    {30, "P_ASSERTED_IDENTITY"},
    {31, "P_MEDIA_AUTH"},
    {32, "P_PREFERRED_IDENTITY"},
    {33, "PATH"},
    {34, "PRIORITY"},
    {35, "PRIVACY"},
    {36, "PROXY_AUTHENTICATE"},
    {37, "PROXY_AUTHORIZATION"},
    {38, "PROXY_REQUIRE"},
    {39, "REASON"},
    {40, "RECORD_ROUTE"},
    {41, "REPLACES"},
    {42, "REPLY_TO"},
    {43, "REQUIRE"},
    {44, "RETRY_AFTER"},
    {45, "ROUTE"},
    {46, "SERVER"},
    {49, "SERVICE_ROUTE"},
    {50, "SESSION_EXPIRES"},
    {51, "SUBJECT"},
    {52, "SUPPORTED"},
    {53, "TIMESTAMP"},
    {54, "TO"},
    {55, "UNSUPPORTED"},
    {56, "USER_AGENT"},
    {57, "VIA"},
    {58, "WARNING"},
    {59, "WWW_AUTHENTICATE"},
    {60, "MESSAGE_BODY"},
    {61, "SDP_MAIN_BODY"},
    {62, "AUDIO_CNCT_DESCR"},
    {63, "RTP_CNCT_DESCR"},
    {64, "OTHER_CNCT_DESCR"},
    {65, "ORIGIN_CNCT_DESCR"},
    {66, "CONTENT_TYPE_BODY"},
    {67, "CONTENT_DISP_BODY"},
    {68, "CONTENT_DISP_SDP"},
    {75, "T38_CNCT_DESCR"},
    {84, "USER_AUTH"},
    {85, "DIVERSION"},
    {97, "HEADER_NB"},
};

const char* ssc_header_name_of(u8 id) {
  for (const ssc_header_name& h : SSC_HEADER_NAMES)
    if (h.id == id) return h.name;
  return SSC_HEADER_NAMES[0].name;
}

const char* filter_mode_name(u8 mode) {
  switch (mode) {
    case FOIP_TRC__FILTER_LAST_ITEM: return "FILTER_LAST_ITEM";
    case FOIP_TRC__FILTER_DEFAULT: return "FILTER_DEFAULT";
    case FOIP_TRC__FILTER_IGNORE_CODE: return "FILTER_IGNORE_CODE";
    default: return "Unknown";
  }
}

const char* congestion_text(u8 c) {
  switch (c) {
    case 0: return " None ";
    case 1: return " Msg  ";
    case 2: return " Buf  ";
    case 3: return "Msg IT";
    case 4: return "Buf IT";
    default: return " ???  ";
  }
}

char id_char(u8 c) { return c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '.'; }

// True when a filter entry removes the message from the audit.  The walk
// ends at the first entry whose mode is not 2 or 3, and after the last entry.
bool filtered(const std::atomic<u32>* words, const msg_t* m) {
  for (u16 i = 0; i < FOIP_TRC__NB_FILTER; ++i) {
    const u32 w = words[i].load(std::memory_order_relaxed);
    const u8 mode = static_cast<u8>(w);
    const bool pair = static_cast<u8>(w >> 8) == m->from && static_cast<u8>(w >> 16) == m->to;
    if (mode == FOIP_TRC__FILTER_DEFAULT) {
      if (pair && static_cast<u8>(w >> 24) == m->code) return true;
    } else if (mode == FOIP_TRC__FILTER_IGNORE_CODE) {
      if (pair) return true;
    } else {
      return false;
    }
  }
  return false;
}

// Fills the fields every record has: counters, time and congestion.
void fill_common(audit_rec* r) {
  const om_os_pool_stats msgs = om_os_msg_pool_stats(), bufs = om_os_buffer_pool_stats();
  const om_os_it_pool_stats it_msgs = om_os_it_msg_pool_stats(), it_bufs = om_os_it_buffer_pool_stats();
  r->counters[0] = msgs.in_use;
  r->counters[1] = bufs.in_use;
  r->counters[2] = om_os_timer_pool_stats().in_use;
  r->counters[3] = it_msgs.count;
  r->counters[4] = it_bufs.count;
  const u16 episodes[4] = {msgs.episodes, bufs.episodes, it_msgs.episodes, it_bufs.episodes};
  r->congestion = 0;
  if (om_os_get_congestion()) {
    for (u8 i = 0; i < 4; ++i)
      if (episodes[i] != calm_episodes[i].load()) r->congestion = static_cast<u8>(i + 1);
  } else {
    for (u8 i = 0; i < 4; ++i) calm_episodes[i].store(episodes[i]);
  }
  const u32 now = om_os_tick();
  const i32 d = plat_tick_diff(now, g().audit_start);
  r->time_ms = d > 0 ? static_cast<u32>(d) : 0;
}

// Takes a free record (the last queued one gets the lost flag when none).
audit_rec* take() {
  om_os_lock();
  audit_rec* r = g().audit.take_locked();
  om_os_unlock();
  return r;
}

void queue(audit_rec* r) {
  om_os_lock();
  g().audit.append_locked(r);
  om_os_unlock();
}

// Copies what the audit keeps of a message.
void capture(audit_rec* r, const msg_t* m) {
  r->has_msg = true;
  r->msg_addr = static_cast<u32>(reinterpret_cast<uintptr_t>(m));
  // The header as the decoder reads it; the data are the copy below, which
  // the writer points the view at.
  dcod__msg_view& v = r->view;
  v = dcod__view_of(m);
  v.data = nullptr;
  i32 room;
  u32 n;
  const u8* src;
  if (const buffer_t* b = m->p_buffer) {
    r->has_buf = true;
    r->buf_addr = static_cast<u32>(reinterpret_cast<uintptr_t>(b));
    r->link_count = b->link_count;
    r->chained = b->next != nullptr;
    r->total_size = static_cast<u16>(Buffer_chain_length(b));
    room = b->data_offset < BUFFER_HEADER_SIZE ? 0 : static_cast<i32>(om_os_get_buffer_size()) - b->data_offset;
    n = b->data_size;
    src = Buffer_data(b);
  } else {
    room = m->data_offset < MSG_HEADER_SIZE ? 0 : static_cast<i32>(om_os_get_msg_size()) - m->data_offset;
    n = m->data_size;
    r->total_size = m->data_size;
    src = Msg_inline_data(m);
  }
  if (room < 0) room = 0;
  if (n > static_cast<u32>(room)) n = static_cast<u32>(room);
  if (n > FOIP_TRC__AUDIT_DATA_MAX) n = FOIP_TRC__AUDIT_DATA_MAX;
  std::memcpy(r->data, src, n);
  r->length = static_cast<u16>(n);
  v.length = n;
}

// ---------------------------------------------------------------------------
// Writer.

void line_head(const audit_rec& r, char* head) {
  int n = std::snprintf(head, HEAD_MAX, "%4d-%4d-%3d|%4d-%4d|", r.counters[0], r.counters[1], r.counters[2],
                        r.counters[3], r.counters[4]);
  if (r.has_msg) n += std::snprintf(head + n, HEAD_MAX - n, "%08lx-", static_cast<unsigned long>(r.msg_addr));
  else n += std::snprintf(head + n, HEAD_MAX - n, "        -");
  if (r.has_buf) n += std::snprintf(head + n, HEAD_MAX - n, "%08lx", static_cast<unsigned long>(r.buf_addr));
  else n += std::snprintf(head + n, HEAD_MAX - n, "        ");
  char blist[8] = "     ", blcnt[8] = "     ";
  if (r.chained) (void)std::snprintf(blist, sizeof blist, "%5d", r.total_size);
  if (r.has_buf) (void)std::snprintf(blcnt, sizeof blcnt, "%5d", r.link_count);
  (void)std::snprintf(head + n, HEAD_MAX - n, "|%8ld.%03ld-%c|%s|%s|%s|", static_cast<long>(r.time_ms / 1000),
                      static_cast<long>(r.time_ms % 1000), r.kind, congestion_text(r.congestion), blist, blcnt);
}

std::string ipv4(const u8* a) {
  char s[20];
  (void)std::snprintf(s, sizeof s, "%d.%d.%d.%d", a[0], a[1], a[2], a[3]);
  return s;
}

// The SSC body's header list: after the frame head (0xFF, big-endian L),
// items of {u8 id, big-endian u16 L counting its own two bytes, value}.  The
// walk ends at an item that is shorter than 2 or runs past the data.
void ssc_header_list(trc_file& t, const u8* d, u32 n) {
  std::string s = "-- List of SIP Headers --\n     ";
  if (n >= 3 && d[0] == 0xFF) {
    u32 at = 1 + static_cast<u32>(get_be16(d + 1));
    unsigned shown = 0;
    while (at + 3 <= n) {
      const u8 id = d[at];
      const u16 l = get_be16(d + at + 1);
      if (l < 2 || at + 1 + l > n) break;
      if (shown && shown % 6 == 0) s += "\n     ";
      s += ssc_header_name_of(id);
      s += "  -  ";
      ++shown;
      at += 1u + l;
    }
  }
  s += "\n-------------------------\n\n";
  put(t, s.c_str(), s.size());
}

// Detail blocks of the global audit file for received messages.
void detail_blocks(trc_file& t, const audit_rec& r) {
  const dcod__msg_view& v = r.view;
  const u8* d = r.data;
  const u32 n = r.length;
  if ((v.from == ENT_PH_IT && v.to == ENT_SIP && v.code == SOCK_U_DA_IN) ||
      (v.from == ENT_SIP && v.to == ENT_IP && v.code == SOCK_U_DA_RQ)) {
    const char* dir = v.code == SOCK_U_DA_IN ? "From" : "To";
    if (n >= SOCK_UDP_HEADER_SIZE && d[0] == SOCK_FAMILY_IPV4)
      putf(t, "-- SIP Primitive --\n%s Remote IP address: %s (%d)\n\n", dir, ipv4(d + 4).c_str(), get_le16(d + 8));
    else put(t, "-- SIP Primitive --\nRemote IP address: ???\n\n");
    std::string text;
    if (n > SOCK_UDP_HEADER_SIZE) keep_lines(d + SOCK_UDP_HEADER_SIZE, n - SOCK_UDP_HEADER_SIZE, &text);
    text += "\n-------------------\n\n";
    put(t, text.c_str(), text.size());
    return;
  }
  // A report the writer of its layer decodes, between `before` and `after`.
  auto put_report = [&](foip_trc__report_writer_t w, const char* before, const char* after) {
    if (!w) return;
    char out[REPORT_MAX] = {};
    w(d, n, v.nai, v.conn_id, out, sizeof out);
    out[REPORT_MAX - 1] = '\0';
    std::string s = before;
    keep_lines(reinterpret_cast<const u8*>(out), std::strlen(out), &s);
    s += after;
    put(t, s.c_str(), s.size());
  };
  if (v.from == ENT_SIP && v.to == ENT_SM && v.code == SM_REPORT_IN) {
    put_report(sm_report_writer, "  ", "\n");
    return;
  }
  if (v.from == ENT_SSC && v.to == ENT_FOIP && v.code == SSC_ERROR_IN_CODE) {
    put_report(ssc_error_writer, "", "");
    return;
  }
  if (v.to == ENT_IP && v.code == SOCK_DNS_RQ) {
    const u32 tag = n >= 4 ? get_le32(d) : 0;
    std::string name;
    if (n > 4) {
      const u8* p = d + 4;
      const u8* end = static_cast<const u8*>(std::memchr(p, 0, n - 4));
      size_t len = end ? static_cast<size_t>(end - p) : n - 4;
      if (len > SOCK_DNS_NAME_MAX) len = SOCK_DNS_NAME_MAX;
      for (size_t i = 0; i < len; ++i) name.push_back(id_char(p[i]));
    }
    putf(t, "-- DNS Request --\nCorrelation: %lu  Domain name: \"%s\"\n-----------------\n\n",
         static_cast<unsigned long>(tag), name.c_str());
    return;
  }
  if ((v.from == ENT_IP || v.from == ENT_PH_IT) && v.code == SOCK_DNS_CO) {
    if (n < 8) return;
    const unsigned long tag = get_le32(d);
    if (d[4] == OM_OS_NOK) {
      putf(t, "-- DNS Confirmation --\nCorrelation: %lu  Rcode: NOK  Cause: %d\n----------------------\n\n", tag, d[5]);
    } else if (n >= 16 && d[7] > 0 && d[8] == SOCK_FAMILY_IPV4) {
      putf(t,
           "-- DNS Confirmation --\nCorrelation: %lu  Rcode: OK  Nb Add IP: %d  IP address; %s\n"
           "----------------------\n\n",
           tag, d[7], ipv4(d + 12).c_str());
    }
    return;
  }
  if (((v.from == ENT_SSC && v.to == ENT_FOIP) || (v.from == ENT_FOIP && v.to == ENT_SSC)) &&
      v.code != SSC_ERROR_IN_CODE && v.code != SSC_CALL_CLOSED_IN_CODE)
    ssc_header_list(t, d, n);
}

void write_trap(const audit_rec& r) {
  glb_ctx& c = g();
  char head[HEAD_MAX];
  (void)std::snprintf(head, sizeof head, "\n%4d-%4d-%3d|%4d-%4d|        -        |%4ld.%03ld-T|%s|     |[TRAP] ",
                      r.counters[0], r.counters[1], r.counters[2], r.counters[3], r.counters[4],
                      static_cast<long>(r.time_ms / 1000), static_cast<long>(r.time_ms % 1000),
                      congestion_text(r.congestion));
  std::string text;
  keep_lines(r.data, strnlen(reinterpret_cast<const char*>(r.data), r.length), &text);
  char code[16];
  (void)std::snprintf(code, sizeof code, "%d", r.trap_code);
  const std::string box = "\n===============================================\n[TRAP] code: " + std::string(code) +
                          " diagnostic: " + text + "\n===============================================\n\n";
  const std::string line = std::string(head) + "code: " + code + " diagnostic: " + text + "\n\n";
  console(box.c_str());
  if (r.lost) put(c.audit_file, LOST_WARNING);
  put(c.audit_file, line.c_str(), line.size());
  put(c.event, box.c_str(), box.size());
  for (nai_t n = 0; n < FOIP_TRC__MAX_SESSIONS; ++n) {
    session_ctx* s = session(n);
    if (!s) continue;
    if (r.lost) put(s->audit, LOST_WARNING);
    put(s->audit, line.c_str(), line.size());
    put(s->event, box.c_str(), box.size());
    put(s->t38, box.c_str(), box.size());
  }
}

void write_record(audit_rec& r, char* text) {
  glb_ctx& c = g();
  if (r.kind == 'T') {
    write_trap(r);
    return;
  }
  session_ctx* ses = session(r.view.nai);
  const bool to_session = ses && ses->audit.f;
  if (!c.audit_file.f && !to_session) {
    // No file takes the line: only the lost warning can still be written.
    if (r.lost)
      for (nai_t n = 0; n < FOIP_TRC__MAX_SESSIONS; ++n)
        if (session_ctx* s = session(n)) put(s->audit, LOST_WARNING);
    return;
  }
  char head[HEAD_MAX];
  line_head(r, head);
  r.view.data = r.data;
  r.view.length = r.length;
  text[0] = '\0';
  dcod__format_view(r.view, text, TEXT_MAX, FOIP_TRC__AUDIT_DATA_MAX);
  // Head, text and line end in one write.
  const size_t head_len = std::strlen(head);
  const size_t text_len = std::strlen(text);
  std::memmove(text + head_len, text, text_len);
  std::memcpy(text, head, head_len);
  text[head_len + text_len] = '\n';
  const size_t line_len = head_len + text_len + 1;
  if (c.audit_file.f) {
    put(c.audit_file, text, line_len);
    if (r.kind == 'I' || r.kind == 'R') detail_blocks(c.audit_file, r);
    if (r.lost) put(c.audit_file, LOST_WARNING);
    check_rotate(c.audit_file);
  }
  if (to_session) {
    put(ses->audit, text, line_len);
    check_rotate(ses->audit);
  }
  if (r.lost)
    for (nai_t n = 0; n < FOIP_TRC__MAX_SESSIONS; ++n)
      if (session_ctx* s = session(n)) put(s->audit, LOST_WARNING);
}

}  // namespace

namespace foip_trc_detail {

void write_audit_head(trc_file& t) {
  const foip_trc__audit_filter* f = g().s.audit_filter;
  static const char rule[] =
      "    +---------------------+------------------------------+------------------------------+"
      "----------------------------------------+\n";
  if (f[0].item_mode != FOIP_TRC__FILTER_LAST_ITEM) {
    std::string s = "  List of filtered messages:\n";
    s += rule;
    s += "    : Mode                : Entity From                  : Entity To                    : Primitive "
         "Code                         :\n";
    s += rule;
    put(t, s.c_str(), s.size());
    for (u16 i = 0; i < FOIP_TRC__NB_FILTER && f[i].item_mode != FOIP_TRC__FILTER_LAST_ITEM; ++i) {
      const foip_trc__audit_filter& e = f[i];
      putf(t, "    : %-20s: %-20.20s(%c-0x%X) : %-20.20s(%c-0x%X) : %-30.30s(%c-0x%X) :\n",
           filter_mode_name(e.item_mode), e.sz_from.c_str(), id_char(e.from), e.from, e.sz_to.c_str(), id_char(e.to),
           e.to, e.sz_code.c_str(), id_char(e.code), e.code);
    }
    put(t, rule);
    put(t, "\n\n");
  }
  put(t,
      "   M-   B- TC|  iM-  iB| p_msg  -p_buffer|       s.ms -D| Cong |BList|BLcnt|from-to|     code      | na "
      ":sp: ad |size:\n");
  std::string eq(122, '=');
  eq += '\n';
  put(t, eq.c_str(), eq.size());
}

}  // namespace foip_trc_detail

// ---------------------------------------------------------------------------

const char* foip_trc__ssc_header_name(u8 id) { return ssc_header_name_of(id); }

void foip_trc__set_report_writers(foip_trc__report_writer_t sm_report_in, foip_trc__report_writer_t ssc_error_in) {
  sm_report_writer = sm_report_in;
  ssc_error_writer = ssc_error_in;
}

void foip_trc__stop_audit() { g().audit_stopped.store(true); }

void foip_trc__msg_audit(u8 kind, const msg_t* m) {
  glb_ctx& c = g();
  // Without an audit file nothing would be written: the common case first.
  if (!c.audit_file_open.load(std::memory_order_relaxed)) return;
  if (kind != 'i' && kind != 'e' && kind != 'I' && kind != 'R' && kind != 'X') return;
  if (!m || c.ready.load() != READY_WORD || c.audit_stopped.load()) return;
  if (!c.audit.exists()) return;
  if (filtered(c.filter_words, m)) return;
  audit_rec* r = take();
  if (!r) return;
  std::memset(static_cast<void*>(r), 0, sizeof *r);
  fill_common(r);
  r->kind = kind;
  capture(r, m);
  queue(r);
}

void foip_trc__trap_audit(u16 code, const char* text) {
  glb_ctx& c = g();
  if (c.ready.load() != READY_WORD || c.audit_stopped.load() || !c.audit.exists()) return;
  audit_rec* r = take();
  if (r) {
    std::memset(static_cast<void*>(r), 0, sizeof *r);
    fill_common(r);
    r->kind = 'T';
    r->trap_code = code;
    const unsigned char first = text ? static_cast<unsigned char>(text[0]) : 0;
    const char* t = (first < 32 || first > 127) ? "not ascii string" : text;
    size_t n = strnlen(t, FOIP_TRC__AUDIT_DATA_MAX - 1);
    std::memcpy(r->data, t, n);
    r->data[n] = 0;
    r->length = static_cast<u16>(n);
    queue(r);
  }
  if (io_held_by_this_thread()) {
    request_trap_flush();  // written when this thread's flush ends
    return;
  }
  foip_trc__flush_audit();
}

u8 foip_trc__flush_audit() {
  glb_ctx& c = g();
  io_section io;
  static char text[AUDIT_LINE_MAX];
  for (;;) {
    om_os_lock();
    audit_rec* r = c.audit.pop_locked();
    om_os_unlock();
    if (!r) break;
    write_record(*r, text);
    om_os_lock();
    c.audit.release_locked(r);
    om_os_unlock();
  }
  return OM_OS_OK;
}

foip_trc__queue_stats foip_trc__audit_queue_stats() { return g().audit.stats(); }
