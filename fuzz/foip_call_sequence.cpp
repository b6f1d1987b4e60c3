// Drives the FOIP entity's SIP side with a sequence of primitives read from
// the input: sessions started and stopped, SSC primitives with built bodies
// (INVITE, answers of every kind, ACK, with hostile SDP: up to twelve media,
// no or held addresses, wild T.38 values) or with raw bodies (what
// Ssc_unformat_msg must refuse), the far end closing, OPTIONS, error and
// report indications, answers of the application and the passing of time.
// Every sequence must end without a crash or hang, every call record in a
// known state, and, once ENT_SSC has closed every call, every record free.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "fax/tiff.h"

#include "runtime/entity.h"
#include "runtime/msg.h"
#include "runtime/om_os.h"
#include "runtime/sm.h"
#include "runtime/timer.h"
#include "session/foip/app_foip_prim.h"
#include "session/foip/foip.h"
#include "session/foip/foip_call.h"
#include "session/foip/foip_sip_mgt.h"
#include "session/trace/foip_trc.h"
#include "sip/text/sdp.h"
#include "sip/prim/ssc_codes.h"
#include "sip/prim/ssc_header.h"
#include "sip/prim/ssc_msg.h"
#include "t38/t38_entity.h"
#include "tests/session/foip/support/layers_at_once.h"

namespace {

using H = ssc_header_id;

constexpr nai_t SIG = 5;
constexpr u8 LOOP[4] = {127, 0, 0, 1};
u32 g_clock = 1000;

u32 now() { return g_clock; }
void quiet(const char*) {}
void ignore_trap(u16, const char*) {}
void free_handler(msg_t* m) { Free_msg(m); }

msg_t* msg(ent_id_t from, code_t code, const u8* body, u32 n, nai_t nai, u16 conn_id) {
  msg_t* m = Alloc_msg();
  if (!m) return nullptr;
  m->from = from;
  m->to = ENT_FOIP;
  m->nai = nai;
  m->sapi = 0;
  m->conn_id = conn_id;
  m->code = code;
  if (n) Msg_set_inline_body(m, body, n);
  return m;
}

void fake_t38(msg_t* m) {
  if (m->code == kv::t38::T38__CAPABILITIES_RQ) {
    u8 cap[kv::t38::T38__CAPABILITIES_CO_SIZE] = {};
    cap[0] = 2;
    cap[4 + 1] = 0x40, cap[4 + 2] = 0x38;
    cap[4 + 3] = 3;
    cap[4 + 11] = 3;
    cap[4 + 12] = 1;  // TCP too
    cap[4 + 13] = 0x40, cap[4 + 14] = 0x38;
    if (msg_t* a = msg(ENT_T38, kv::t38::T38__CAPABILITIES_CO, cap, sizeof cap, m->nai, m->conn_id)) Send_msg(a);
  }
  Free_msg(m);
}

void fake_sm(msg_t* m) {
  const u8 target = Sm_target(m);
  const u8 ok[3] = {2, 2, target};
  if (m->code == SM_CONFIG_RQ)
    if (msg_t* a = msg(ENT_SM, SM_CONFIG_CO, ok, sizeof ok, m->nai, m->conn_id)) Send_msg(a);
  if (m->code == SM_RST_CFG_RQ)
    if (msg_t* a = msg(ENT_SM, SM_RST_CFG_CO, ok, sizeof ok, m->nai, m->conn_id)) Send_msg(a);
  Free_msg(m);
}

const entity_table_row_t TABLE[] = {
    {ENT_APP_FOIP, free_handler, 0, 0, nullptr, 0}, FOIP_ENTITY_ROW,
    {ENT_T38, fake_t38, 0, 0, nullptr, 0},          {ENT_SM, fake_sm, 0, 0, nullptr, 0},
    {ENT_IP, free_handler, 0, 0, nullptr, 0},       {ENT_SSC, free_handler, 0, 0, nullptr, 0},
    {ENT_FAX, free_handler, 0, 0, nullptr, 0},      {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

void pump() { (void)om_os_run_ready(0, 20000); }

// A one-page TIFF file for outgoing sessions to send.
std::string g_page;
void write_page() {
  g_page = "/tmp/fuzz_foip_call_page_" + std::to_string(static_cast<long>(getpid())) + ".tif";
  const std::string data_path = g_page + ".dat";
  {
    std::ofstream d(data_path, std::ios::binary);
    std::vector<char> zeros(1728 / 8 * 4, 0);
    d.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
  }
  auto ctx = std::make_unique<tiff__ctx>();
  if (tiff__start_write(ctx.get(), tiff__get_ctx_size(), g_page.c_str()) == TIFF_DONE) {
    tiff__pg_header h;
    h.image_width = 1728;
    h.image_length = 4;
    h.compression = TIFF_UNCOMPRESSED;
    h.resolution_unit = 2;
    h.x_resolution = 200;
    h.y_resolution = 200;
    (void)tiff__write_page(ctx.get(), &h, data_path.c_str());
    tiff__close(ctx.get());
  }
  (void)std::remove(data_path.c_str());
}

void configure() {
  auto g = std::make_unique<foip__global_param>();
  g->glb_common_param.nb_simultaneous_start_stop = 4;
  auto& sp = g->glb_sip_param;
  sp.sig_nai = SIG;
  sp.operating_mode = 2;
  sp.re_invite_delay = 100;
  sp.local_sip_addr.ip_addr.ip_family = OM_IP_FAMILY_V4;
  std::memcpy(sp.local_sip_addr.ip_addr.addr.v4.addr, LOOP, 4);
  sp.local_sip_addr.ip_port = 5060;
  g->glb_trc_param.event.max_length_of_event_file = 65535;
  g->glb_trc_param.audit.max_length_of_audit_file = 65535;
  (void)foip_api__send_set_config_rq(*g);
  pump();
  foip_trc__set_console(quiet);
}

// A byte reader that gives zeros once the input is used up.
struct input {
  const u8* p;
  size_t n;
  size_t at = 0;
  bool more() const { return at < n; }
  u8 b() { return at < n ? p[at++] : 0; }
  u16 w() { return static_cast<u16>(b() | (b() << 8)); }
};

void start_session(input& in, bool outgoing) {
  auto p = std::make_unique<foip__session_param>();
  const nai_t nai = in.b() % 4;
  auto& g = p->session_general_param;
  g.kind_of_session = 'I';
  g.direction = outgoing ? 'O' : 'I';
  g.nai = nai;
  static constexpr u8 KINDS[] = {'U', 'T', 'X', 'x'};
  g.kind_of_t38_transport = KINDS[in.b() % 4];
  auto& id = p->t38_media_add_param.sip_media_identification;
  id.local_user_identification = FOIP__USR_ID__NAME;
  id.remote_user_identification = FOIP__USR_ID__NAME;
  id.flag_invite_in__no_filter = in.b() & 1;
  std::strcpy(id.sz_local_user_name, "fax");
  std::strcpy(id.sz_remote_user_name, "peer");
  auto& lm = p->t38_media_add_param.local_media_add.local_media_ip_addr;
  lm.ip_addr.ip_family = OM_IP_FAMILY_V4;
  std::memcpy(lm.ip_addr.addr.v4.addr, LOOP, 4);
  lm.ip_port = 20000;
  auto& r = p->sip_session_param.remote_sip_addr;
  r.ip_addr.ip_family = OM_IP_FAMILY_V4;
  std::memcpy(r.ip_addr.addr.v4.addr, LOOP, 4);
  r.ip_port = 5070;
  std::strcpy(p->trc_param.common.sz_user_id_string, "s");
  p->trc_param.event.max_length_of_event_file = 65535;
  (void)std::snprintf(p->fax_common_param.sz_fname_tiff_tmp_pg, sizeof p->fax_common_param.sz_fname_tiff_tmp_pg,
                      "/tmp/fuzz_foip_call_tmp_%%d.%%d");
  if (outgoing)
    (void)std::snprintf(p->fax_send_pg.sz_tiff_fname_fax_pg[0], sizeof p->fax_send_pg.sz_tiff_fname_fax_pg[0], "%s",
                        g_page.c_str());
  else
    (void)std::snprintf(p->fax_rcv_pg.sz_tiff_fname_rcv_fax_pg, sizeof p->fax_rcv_pg.sz_tiff_fname_rcv_fax_pg,
                        "/tmp/fuzz_foip_call_rcv_%%d_%%d.tif");
  (void)foip_api__send_start_rq(nai, *p);
  pump();
}

void add_sdp(ssc_handle* h, input& in) {
  const u8 shape = in.b();
  auto* s = static_cast<ssc_hdr_sdp_session*>(Ssc_alloc_header(h, H::SDP_MAIN_BODY));
  if (!s) return;
  s->net_type = 'I';
  if (shape & 1) {
    s->family = '4';
    static constexpr u8 HOLD[4] = {0, 0, 0, 0};
    std::memcpy(s->v4, (shape & 2) ? HOLD : LOOP, 4);
  } else if (shape & 2) {
    s->family = 'N';
    s->host = "peer.example";
  }
  s->session_name = "-";
  s->start_time = "0";
  s->stop_time = "0";
  if (shape & 4) {
    auto* o = static_cast<ssc_hdr_sdp_origin*>(Ssc_alloc_header(h, H::ORIGIN_CNCT_DESCR));
    if (o) {
      o->net_type = 'I';
      o->user = "peer";
      o->session_id = "7";
      o->version = (shape & 8) ? "99999999999999999999" : "1";
      o->family = '4';
      std::memcpy(o->v4, LOOP, 4);
    }
  }
  const u8 count = in.b() % 13;
  static const u8 FORMATS[10] = {18, 4, 3, 97, 98, 99, 101, 9, 0, 8};
  for (u8 k = 0; k < count; ++k) {
    const u8 kind = in.b();
    const u16 port = (kind & 0x80) ? 0 : static_cast<u16>(40000 + 2 * k);
    if ((kind & 3) == 0) {
      auto* a = static_cast<ssc_hdr_sdp_media*>(Ssc_alloc_header(h, H::AUDIO_CNCT_DESCR));
      if (!a) return;
      a->kind = (kind & 4) ? 'V' : 'U';
      a->port = port;
      a->transport = SDP_TRANSPORT_RTP_AVP;
      a->format_count = static_cast<u16>(1 + in.b() % 10);
      a->formats = FORMATS;
      a->media_pos = in.b() % 16;
      if (kind & 8) {
        a->family = '4';
        std::memcpy(a->v4, LOOP, 4);
      }
    } else {
      auto* t = static_cast<ssc_hdr_sdp_t38*>(Ssc_alloc_header(h, H::T38_CNCT_DESCR));
      if (!t) return;
      t->kind = 'I';
      t->format = (kind & 4) ? '8' : 'x';
      t->port = port;
      t->transport = (kind & 8) ? SDP_TRANSPORT_TCP : (kind & 0x10) ? 0x42 : SDP_TRANSPORT_UDPTL;
      t->version = in.b();
      t->max_bit_rate = static_cast<u32>(in.w()) * 7;
      t->fill_bit_removal = in.b() & 1;
      t->mmr = in.b() & 1;
      t->jbig = in.b() & 1;
      t->rate_management = in.b() % 5;
      t->max_buffer = in.w();
      t->max_datagram = in.w();
      t->udp_ec = in.b() % 5;
      t->media_pos = in.b() % 16;
      if (kind & 0x20) {
        t->family = '4';
        std::memcpy(t->v4, LOOP, 4);
      }
    }
  }
}

void add_party(ssc_handle* h, H id, const char* user) {
  auto* n = static_cast<ssc_hdr_name_addr*>(Ssc_alloc_header(h, id));
  if (!n) return;
  n->b1 = 0;
  n->uri.scheme = 1;
  n->uri.user_form = 'U';
  n->uri.user = user;
  n->uri.host_family = '4';
  std::memcpy(n->uri.host_v4, LOOP, 4);
  n->uri.port = 0xFFFF;
}

u16 conn_of(input& in) {
  const u8 c = in.b();
  return (c & 0x80) ? static_cast<u16>(123 - (c & 7)) : static_cast<u16>(62 + (c & 7));
}

void ssc_built(input& in) {
  static constexpr code_t CODES[] = {SSC_INVITE_IN, SSC_INVITE_CO, SSC_ACK_IN};
  static constexpr ssc_msg_type TYPES[] = {ssc_msg_type::INVITE, ssc_msg_type::INVITE_RS, ssc_msg_type::ACK};
  static constexpr u16 STATUS[] = {100, 180, 200, 200, 200, 486, 491, 603, 99, 0};
  const u8 which = in.b() % 3;
  const u16 conn = conn_of(in);
  const u8 flags = in.b();
  ssc_handle* h = Ssc_alloc_handle();
  if (!h) return;
  if (Ssc_init_handle(h, TYPES[which]) == 2) {
    const u16 status = STATUS[in.b() % 10];
    if (status != 0) {
      if (auto* st = static_cast<ssc_hdr_status*>(Ssc_alloc_header(h, H::RETURN_CODE))) {
        st->code = status;
        st->reason = "r";
      }
    }
    if (flags & 1) add_party(h, H::FROM, "peer");
    if (flags & 2) add_party(h, H::TO, (flags & 4) ? "fax" : "other");
    if (flags & 8) add_sdp(h, in);
    if (msg_t* m = SIP_sc_format_rq(SIG, conn, 0xFF, h)) {
      m->from = ENT_SSC;
      m->to = ENT_FOIP;
      m->code = CODES[which];
      Send_msg(m);
    }
  }
  (void)Ssc_free_handle(h);
  pump();
}

void ssc_raw(input& in) {
  static constexpr code_t CODES[] = {SSC_INVITE_IN, SSC_INVITE_CO,  SSC_ACK_IN,     SSC_ERROR_IN,   SSC_SET_PARM_CO,
                                     CLOSE_SESS_CO, SESS_CLOSED_IN, SSC_OPTIONS_IN, SSC_REGISTER_CO};
  const code_t code = CODES[in.b() % 9];
  const u16 conn = (in.b() & 1) ? conn_of(in) : static_cast<u16>(in.b() % 62);
  u8 body[64];
  const u8 n = in.b() % sizeof body;
  for (u8 i = 0; i < n; ++i) body[i] = in.b();
  if (msg_t* m = msg(ENT_SSC, code, body, n, SIG, conn)) Send_msg(m);
  pump();
}

void ssc_simple(input& in) {
  static constexpr code_t CODES[] = {CALL_CLOSED_IN, SESS_CLOSED_IN, SSC_OPTIONS_IN};
  const code_t code = CODES[in.b() % 3];
  if (msg_t* m = msg(ENT_SSC, code, nullptr, 0, SIG, conn_of(in))) Send_msg(m);
  pump();
}

void sm_report(input& in) {
  u8 body[7];
  for (u8& x : body) x = in.b();
  body[0] = (body[0] & 1) ? ENT_SIP : ENT_SSC;
  body[1] = (body[1] & 1) ? 'e' : 'r';
  const u16 conn = (in.b() & 1) ? conn_of(in) : 0xFFFF;
  if (msg_t* m = msg(ENT_SM, SM_REPORT_IN, body, sizeof body, SIG, conn)) Send_msg(m);
  pump();
}

void alert_rs(input& in) {
  auto a = std::make_unique<foip__alert>();
  a->answer = in.b() % 8;
  a->sip_status = in.w();
  a->sz_text[0] = (in.b() & 1) ? 'x' : '\0';
  a->session_param.session_general_param.nai = in.b() % 4;
  a->session_param.session_general_param.direction = 'I';
  a->session_param.session_general_param.kind_of_t38_transport = 'U';
  (void)foip_api__send_alert_rs(*a, SIG, FOIP__SAPI, conn_of(in));
  pump();
}

void pass_time(input& in) {
  const u32 ms = 10u * (1 + in.b());
  for (u32 t = 0; t < ms; t += 50) {
    g_clock += 50;
    (void)om_os_timer_poll();
    pump();
  }
}

void check_records() {
  for (u16 i = 0; i <= FOIP__MAX_SIP_CALL; ++i)
    if (foip_call__record(i).state > FREE_PROGRESS) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  om_os_set_trap_handler(ignore_trap);
  om_os_set_tick_source(now);
  write_page();
  foip__layer_hooks hooks;
  foip_sip__plug(hooks);
  // T.38 and fax layers that open and close at once.
  hooks.t38_mgt__automaton = foip_test::t38_hook_at_once;
  hooks.fax_mgt__automaton = foip_test::fax_side_at_once;
  foip__set_layer_hooks(hooks);
  om_os_start_options o;
  o.table = TABLE;
  o.sm_thread = false;
  o.timer_thread = false;
  o.bkgr_thread = false;
  om_os_start_with(o);
  pump();
  foip_trc__set_console(quiet);
  configure();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  input in{data, size};
  for (int steps = 0; in.more() && steps < 64; ++steps) {
    switch (in.b() % 9) {
      case 0: start_session(in, true); break;
      case 1: start_session(in, false); break;
      case 2:
        (void)foip_api__send_stop_rq(in.b() % 4);
        pump();
        break;
      case 3: ssc_built(in); break;
      case 4: ssc_raw(in); break;
      case 5: ssc_simple(in); break;
      case 6: sm_report(in); break;
      case 7: alert_rs(in); break;
      default: pass_time(in); break;
    }
    check_records();
  }
  // ENT_SSC closes every call, the sessions stop, time passes: every record
  // is free again and the next input starts from the same state.
  for (int round = 0; round < 3; ++round) {
    for (u16 c = FOIP__SIP_CALL_CONN_BASE; c < FOIP__SIP_CALL_CONN_BASE + FOIP__MAX_SIP_CALL; ++c)
      if (foip_call__record(static_cast<u16>(c - FOIP__SIP_CALL_CONN_BASE)).state != CALL_FREE)
        if (msg_t* m = msg(ENT_SSC, CALL_CLOSED_IN, nullptr, 0, SIG, c)) Send_msg(m);
    pump();
    for (nai_t n = 0; n < 4; ++n) (void)foip_api__send_stop_rq(n);
    pump();
    for (int t = 0; t < 40; ++t) {
      g_clock += 50;
      (void)om_os_timer_poll();
      pump();
    }
  }
  for (u16 i = 0; i < FOIP__MAX_SIP_CALL; ++i)
    if (foip_call__record(i).state != CALL_FREE) std::abort();
  return 0;
}
