// Carries datagrams the whole way up: ENT_SIP (parser, admission, dialogs),
// ENT_SSC (calls, routing, SDP glue, digest on a 401/407) and ENT_FOIP (the
// call automaton and its SDP checks), with the T.38 and fax layers opening
// at once.  What ENT_SIP sends back through the socket entity is kept and,
// once the input is used up, checked: every datagram we send is one whole
// SIP message that our own parser reads back, a response has a status from
// 100 to 699 and answers a request that came in (a response to a method we
// do not know, whose CSeq our parser leaves unread, by the number of its
// CSeq line), and a request is one of the methods we send; the runtime
// drains after every datagram.
//
// Input: records of {u16 length (little-endian), bytes[length]}, each the
// SIP text of one datagram from 127.0.0.1:5060; bit 15 of the length marks
// the datagram as one the socket layer cut to its receive size.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "runtime/buffer.h"
#include "runtime/entity.h"
#include "runtime/msg.h"
#include "runtime/om_os.h"
#include "runtime/sm.h"
#include "runtime/sock.h"
#include "session/foip/app_foip_prim.h"
#include "session/foip/foip.h"
#include "session/config/foip_sip_cfg.h"
#include "session/foip/foip_sip_mgt.h"
#include "session/trace/foip_trc.h"
#include "session/foip/support/foip_sip_side.h"  // under tests/
#include "sip/text/sip_parse.h"
#include "sip/text/sip_scan.h"
#include "sip/ent/sip_config.h"
#include "sip/ent/sip_entity.h"
#include "sip/ssc/ssc_handler.h"
#include "sip/support/loopback_stack.h"

namespace {

const std::string* g_checked = nullptr;  // the datagram being checked, shown on a failure

void check(bool ok) {
  if (ok) return;
  if (g_checked != nullptr) (void)std::fprintf(stderr, "failed check on what we sent:\n%s\n", g_checked->c_str());
  __builtin_trap();
}

std::vector<std::string> g_sent;  // what ENT_SIP handed to the socket entity

void ip_capture(msg_t* m) {
  if (m->code == SOCK_U_DA_RQ) {
    std::vector<u8> d;
    if (m->p_buffer != nullptr) {
      d.resize(Buffer_chain_length(m->p_buffer));
      u32 len = 0;
      Reassemble_buffers(d.data(), static_cast<u32>(d.size()), m->p_buffer, &len);
      d.resize(len);
    } else {
      d.assign(Msg_data(m), Msg_data(m) + m->data_size);
    }
    if (d.size() > SOCK_UDP_HEADER_SIZE)
      g_sent.emplace_back(reinterpret_cast<const char*>(d.data()) + SOCK_UDP_HEADER_SIZE,
                          d.size() - SOCK_UDP_HEADER_SIZE);
  }
  Free_msg(m);
}

void free_handler(msg_t* m) { Free_msg(m); }

const entity_table_row_t TABLE[] = {
    SIP_ENTITY_ROW,
    SSC_ENTITY_ROW,
    FOIP_ENTITY_ROW,
    {ENT_APP_FOIP, free_handler, 0, 0, nullptr, 0},
    {ENT_SM, foip_sip_test::sm_confirm_handler, 0, 0, nullptr, 0},
    {ENT_IP, ip_capture, 0, 0, nullptr, 0},
    {ENT_T38, foip_sip_test::t38_capabilities_handler, 0, 0, nullptr, 0},
    {ENT_FAX, free_handler, 0, 0, nullptr, 0},
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

u32 g_tick = 100000;
u32 fixed_tick() { return g_tick += 10; }
void ignore_trap(u16, const char*) {}
void quiet(const char*) {}

void pump() {
  if (om_os_run_ready(0, 100000) >= 100000) __builtin_trap();  // must drain
}

void send(ent_id_t from, ent_id_t to, code_t code, const u8* data, std::size_t n, nai_t nai) {
  msg_t* m = Alloc_msg();
  if (m == nullptr) std::abort();
  if (n > 0) {
    buffer_t* b = Store_data_in_buffers(data, static_cast<u32>(n), nullptr);
    if (b == nullptr) std::abort();
    Msg_attach_chain(m, b);
  }
  m->from = from;
  m->to = to;
  m->nai = nai;
  m->sapi = 0;
  m->conn_id = 0;
  m->code = code;
  Send_msg(m);
  pump();
}

// Reads every message of a datagram with our own parser, answers and error
// reports switched off so that reading sends nothing; `each` sees the work
// area of each message (a refused one included).  The parser's result of
// the last message.
template <class Each>
u8 read_all(const std::string& text, Each&& each) {
  const sip_parse_services saved = sip_parse_env;
  sip_parse_env.build_response = nullptr;
  sip_parse_env.report_error = nullptr;
  std::vector<char> buf(text.begin(), text.end());
  sip_work__release();
  sip_parser parser;
  sip_parse__start(parser, buf.data(), buf.size());
  u8 r = 0;
  for (int n = 0; n < 64; ++n) {
    r = sip_parse_message(parser, 1);
    // A refused or cut request is answered too, from what was read of it.
    if (sip_hdr_area.count[static_cast<unsigned>(sip_header_id::request_line)] != 0 ||
        sip_hdr_area.count[static_cast<unsigned>(sip_header_id::status_line)] != 0)
      each();
    if (r != SIP_PARSE_MORE) break;
    sip_hdr_count__reset();
    sip_hdr_area.index = 0;
  }
  sip_work__release();
  sip_parse_env = saved;
  return r;
}

// Call-ID word and CSeq number of the message in the work area.
std::string key_of_message() {
  if (sip_hdr_area.count[static_cast<unsigned>(sip_header_id::call_id)] == 0 ||
      sip_hdr_area.count[static_cast<unsigned>(sip_header_id::cseq)] == 0)
    return {};
  const sip_str& w = sip_hdr_area.call_id.word;
  return std::string(w.ptr, w.len) + "/" + std::to_string(sip_hdr_area.cseq.number);
}

std::vector<std::string> g_received;   // keys of the requests that came in
std::vector<std::string> g_extension;  // those of them with a method we do not know

// The key of a response to an extension method: our parser reads such a
// CSeq only in a request of an unknown method, so the number is taken from
// the response's text.
std::string key_of_extension_answer(const std::string& text) {
  if (sip_hdr_area.count[static_cast<unsigned>(sip_header_id::call_id)] == 0) return {};
  const std::size_t at = text.find("\r\nCSeq: ");
  if (at == std::string::npos) return {};
  std::size_t i = at + 8;
  std::string number;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9' && number.size() < 10) number += text[i++];
  if (number.empty()) return {};
  const sip_str& w = sip_hdr_area.call_id.word;
  return std::string(w.ptr, w.len) + "/" + std::to_string(std::stoul(number));
}

// One of our datagrams: one whole message; a response answers a request that
// came in (same Call-ID and CSeq) with a status from 100 to 699; a request
// is one of the methods we send.
void check_sent(const std::string& text) {
  g_checked = &text;
  int messages = 0;
  const u8 r = read_all(text, [&] {
    ++messages;
    if (sip_hdr_area.method == SIP_METHOD_RESPONSE) {
      check(sip_hdr_area.status_line.code >= 100 && sip_hdr_area.status_line.code <= 699);
      bool answered = false;
      if (sip_hdr_area.count[static_cast<unsigned>(sip_header_id::cseq)] != 0) {
        const std::string key = key_of_message();
        for (const std::string& k : g_received) answered = answered || k == key;
      } else {
        const std::string key = key_of_extension_answer(text);
        for (const std::string& k : g_extension) answered = answered || k == key;
      }
      check(answered);
    } else {
      const u8 m = sip_hdr_area.method;
      check(m == SIP_METHOD_INVITE || m == SIP_METHOD_ACK || m == SIP_METHOD_BYE || m == SIP_METHOD_CANCEL ||
            m == SIP_METHOD_OPTIONS || m == SIP_METHOD_REGISTER);
    }
  });
  check(r == SIP_PARSE_DONE && messages == 1);
  g_checked = nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 20000) return 0;
  g_sent.clear();
  g_received.clear();
  g_extension.clear();
  om_os_set_trap_handler(ignore_trap);
  om_os_set_tick_source(fixed_tick);
  om_os_start_options o;
  o.table = TABLE;
  o.sm_thread = false;
  o.timer_thread = false;
  o.bkgr_thread = false;
  om_os_start_with(o);
  om_os_run_ready(0);
  foip_sip_test::plug_hooks(foip_test::fax_side_at_once);
  sip_mgt__glb_init();
  foip_trc__set_console(quiet);
  ssc_entity_reset(8);
  {
    // ENT_SIP with pools a storm in one input can fill (the defaults of 200
    // calls and transactions cost more to build than the input to run).
    sip_config c;
    const std::vector<u8> stack = ssc_test::stack_sip_config_body();
    check(sip_config_read(stack.data(), stack.size(), &c));
    c.call_count = 24;
    c.server_tx_count = 24;
    c.lookup_count = 8;
    std::vector<u8> body(SIP_CONFIG_SIZE);
    sip_config_pack(c, body.data());
    send(ENT_SM, ENT_SIP, SM_CONFIG_RQ, body.data(), body.size(), 0);
    foip__glb_sip_param sp{};
    sp.sig_nai = ssc_test::STACK_USER_NAI;
    const std::vector<u8> ssc = foip_sip__ssc_config_body(sp);
    send(ENT_SM, ENT_SSC, SM_CONFIG_RQ, ssc.data(), ssc.size(), 0);
    check(ssc_ua__select(ssc_test::STACK_USER_NAI) == 2);
  }
  {
    auto g = std::make_unique<foip__global_param>();
    g->glb_common_param.nb_simultaneous_start_stop = 4;
    foip_sip_test::sip_side_param(*g, 2, 5060);
    g->glb_trc_param.event.max_length_of_event_file = 65535;
    g->glb_trc_param.audit.max_length_of_audit_file = 65535;
    (void)foip_api__send_set_config_rq(*g);
    pump();
  }

  std::size_t at = 0;
  while (at + 2 <= size) {
    std::size_t n = data[at] | (data[at + 1] << 8);
    const bool cut = (n & 0x8000) != 0;
    n &= 0x7FFF;
    at += 2;
    if (n > size - at) n = size - at;
    std::vector<u8> d(SOCK_UDP_HEADER_SIZE + n);
    sock_addr from;
    from.addr_net = htonl(INADDR_LOOPBACK);
    from.port = 5060;
    sock_addr_pack(from, d.data());
    if (cut) d[SOCK_UDP_CUT_AT] = SOCK_UDP_CUT;
    if (n) std::memcpy(&d[SOCK_UDP_HEADER_SIZE], data + at, n);
    const auto note_request = [] {
      if (sip_hdr_area.method != SIP_METHOD_RESPONSE) g_received.push_back(key_of_message());
      if (sip_hdr_area.method == SIP_METHOD_UNKNOWN) g_extension.push_back(key_of_message());
    };
    const std::string text(reinterpret_cast<const char*>(data + at), n);
    (void)read_all(text, note_request);
    // A cut datagram is answered from its header lines that came whole: up
    // to the blank line, else up to the last line end.
    if (cut) {
      std::size_t end = text.find("\r\n\r\n");
      if (end != std::string::npos) end += 2;
      else if ((end = text.rfind('\n')) != std::string::npos) ++end;
      if (end != std::string::npos) (void)read_all(text.substr(0, end) + "\r\n", note_request);
    }
    at += n;
    send(ENT_PH_IT, ENT_SIP, SOCK_U_DA_IN, d.data(), d.size(), ssc_test::STACK_TRANSPORT_NAI);
  }

  const std::vector<std::string> sent = g_sent;
  foip_trc__set_console(nullptr);
  foip_entity_stop();
  sip_mgt__glb_init();
  ssc_entity_reset(0);
  om_os_stop();
  foip__set_layer_hooks({});
  for (const std::string& s : sent) check_sent(s);
  return 0;
}
