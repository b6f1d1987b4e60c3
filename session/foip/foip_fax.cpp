// Fax-session management automaton of ENT_FOIP.
#include "session/foip/foip_fax.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <vector>

#include "common/byte_order.h"
#include "fax/fax_config.h"
#include "fax/fax_entity.h"
#include "runtime/automaton.h"
#include "runtime/buffer.h"
#include "runtime/om_os.h"
#include "runtime/sm.h"
#include "session/foip/app_foip_prim.h"
#include "session/foip/foip_ctx.h"
#include "session/foip/foip_err.h"
#include "session/foip/foip_t38_mgt.h"
#include "session/trace/foip_trc.h"

namespace {

namespace fsm = kv::fsm;

constexpr u32 kStartDelayMs = 600;

enum class st : u8 {
  IDLE = FOIP_FAX__IDLE,
  CONFIG = FOIP_FAX__CONFIG,
  SESSION_ACT = FOIP_FAX__SESSION_ACT,
  SESSION_RUNNING = FOIP_FAX__SESSION_RUNNING,
  SESSION_DEA = FOIP_FAX__SESSION_DEA,
  RESET_CONFIG = FOIP_FAX__RESET_CONFIG,
  count_
};
enum class ev : u8 {
  EVT_USR_ACT_RQ = FAX_MGT__EVT_USR_ACT_RQ,
  EVT_USR_DEA_RQ = FAX_MGT__EVT_USR_DEA_RQ,
  EVT_TI_LAUNCH_FAX = FAX_MGT__EVT_TI_LAUNCH_FAX,
  EVT_SM_SET_CONFIG_CO = FAX_MGT__EVT_SM_SET_CONFIG_CO,
  EVT_SM_RESET_CONFIG_CO = FAX_MGT__EVT_SM_RESET_CONFIG_CO,
  EVT_FAX_ACT_CO = FAX_MGT__EVT_FAX_ACT_CO,
  EVT_FAX_DEA_CO = FAX_MGT__EVT_FAX_DEA_CO,
  EVT_FAX_DEA_IN = FAX_MGT__EVT_FAX_DEA_IN,
  EVT_FAX_REPORT_IN = FAX_MGT__EVT_FAX_REPORT_IN,
  count_
};

struct fax_side {
  st state = st::IDLE;
  u8 result_present = 0;
  u8 return_code = 0, diag = 0, diag_entity = 0;
};
std::map<nai_t, fax_side> g_sides;

std::vector<u8> msg_bytes(const msg_t* m) {
  std::vector<u8> out;
  if (!m) return out;
  if (m->p_buffer) {
    for (const buffer_t* b = m->p_buffer; b; b = b->next)
      out.insert(out.end(), Buffer_data(b), Buffer_data(b) + b->data_size);
  } else {
    out.assign(Msg_inline_data(m), Msg_inline_data(m) + m->data_size);
  }
  return out;
}

bool send_new(ent_id_t to, nai_t nai, u8 sapi, code_t code, const u8* data, u32 n, bool sm_target) {
  msg_t* m = Alloc_msg();
  if (!m) return false;
  if (n > om_os_get_msg_room() || sm_target) {
    if (n) {
      buffer_t* b = Store_data_in_buffers(data, n, nullptr);
      if (!b) {
        Free_msg(m);
        return false;
      }
      Msg_attach_chain(m, b);
    }
  } else {
    m->data_size = static_cast<u8>(n);
    if (n) std::memcpy(Msg_inline_data(m), data, n);
  }
  if (sm_target) {
    Sm_set_target(m, ENT_FAX);
    if (!n) m->data_size = 1;
  }
  Msg_set_head(m, {ENT_FOIP, to, code, nai, sapi, 0xFFFF});
  Send_msg(m);
  return true;
}

void trap_alloc(foip__na_ctx* s, const char* where) {
  char text[96];
  (void)std::snprintf(text, sizeof text, "FOIP: (%s) Can't allocate Msg/buffer", where);
  Foip__trap(s->nai, 0xFFFF, 1, 21007, "FOIP__TRAP__ERR_ALLOC_MSG_BUFFER", text);
}

void error_box(foip__na_ctx* s, const char* via, u8 source, u8 code) {
  const char* st = "";
  const char* ct = "";
  foip_err__start_error_text(source, code, &st, &ct);
  char text[400];
  (void)std::snprintf(text, sizeof text,
                      "Error reported thru %s (nai = %d)\n   error source = (%d) %s\n   error code   = (%d) %s\n", via,
                      s->nai, source, st, code, ct);
  foip_trc__print_event(s->nai, FOIP__FAX_EVT, text);
}

// ---------------------------------------------------------------------------
// Actions; those that move the session set its state.

void start_session(foip__na_ctx* s, fax_side& f) {
  u8 cfg[FAX_CONFIG_SIZE];
  foip_fax__build_config(*s, cfg);
  if (!send_new(ENT_SM, s->nai, FAX_SAPI, SM_CONFIG_RQ, cfg, FAX_CONFIG_SIZE, true)) {
    trap_alloc(s, "FAX start_session");
    f.state = st::IDLE;
    return;
  }
  f.state = st::CONFIG;
}

void process_sm_set_config_co(foip__na_ctx* s, fax_side& f) {
  const std::vector<u8> d = msg_bytes(foip__current_msg());
  if (d.empty() || d[0] != 2) {
    s->failure = 1;
    s->err_source = FOIP__START_ERR_SRC__FAX_CONFIG;
    s->err_code = d.size() > 1 ? d[1] : 0;
    error_box(s, "SM_SET_CONFIG_CO", s->err_source, s->err_code);
    f.state = st::IDLE;
    return;
  }
  foip__send_mgt(FOIP_MGT__START_DONE, s->nai, 0, 0, 0, 0);
  foip__start_launch_timer(s);
}

void act_session(foip__na_ctx* s, fax_side& f) {
  const u8 body[4] = {0, 0, 0, static_cast<u8>(s->direction == 'O' ? 1 : 2)};
  if (!send_new(ENT_FAX, s->nai, FAX_SAPI, FAX__ACT_RQ, body, sizeof body, false)) {
    trap_alloc(s, "FAX act_session");
    f.state = st::IDLE;
    return;
  }
  f.state = st::SESSION_ACT;
}

void reset_config(foip__na_ctx* s, fax_side& f) {
  if (!send_new(ENT_SM, s->nai, FAX_SAPI, SM_RST_CFG_RQ, nullptr, 0, true)) {
    trap_alloc(s, "FAX stop_session");
    f.state = st::IDLE;
    return;
  }
  f.state = st::RESET_CONFIG;
}

// The page fields of a fax page report (`r` at the report's offsets).
void read_page(const u8* r, foip__fax_pg_descriptor& o) {
  std::memcpy(o.sz_tiff_fname, r + fax_rep::FILE_NAME, sizeof o.sz_tiff_fname - 1);
  o.pg_encoding = r[fax_rep::ENCODING];
  o.pg_resolution = get_le16(r + fax_rep::RESOLUTION);
  o.pg_width = r[fax_rep::WIDTH];
  o.pg_length = r[fax_rep::LENGTH];
  o.pg_quality = r[fax_rep::QUALITY];
  o.pg_state = r[fax_rep::POST_KIND];
  o.pg_nb_bytes = get_le32(r + fax_rep::PAGE_BYTES);
}

// The fax session's end: result fields and status, kept for the session.
void stop_session(foip__na_ctx* s, fax_side& f) {
  const msg_t* m = foip__current_msg();
  if (m && (m->code == FAX__DEA_IN || m->code == FAX__DEA_CO)) {
    const std::vector<u8> d = msg_bytes(m);
    if (d.size() >= 4) {
      f.result_present = 1;
      f.return_code = d[0];
      f.diag = d[1];
      f.diag_entity = d[2];
      foip__fax_session_status st{};
      st.present = 1;
      const bool ok = (f.diag_entity == ENT_CF && (f.diag == 1 || f.diag == 2 || f.diag == 3 || f.diag == 42)) ||
                      (f.diag_entity == ENT_FAX && f.return_code == 2);
      st.fax_return_code = ok ? 2 : 3;
      st.source = f.diag_entity;
      st.diag = f.diag;
      const char* text = foip_err__fax_diag_text(f.diag_entity, f.diag);
      (void)std::snprintf(st.sz_diag, sizeof st.sz_diag, "%s", text);
      foip_trc__print_event(s->nai, FOIP__FAX_EVT, text);
      if (d.size() >= 4 + FAX_SESSION_STATUS_SIZE) {
        const u8* p = d.data() + 4;
        std::memcpy(st.remote_fax_id, p + fax_st::REMOTE_ID, sizeof st.remote_fax_id - 1);
        st.nb_pg_to_send = get_le16(p + fax_st::PAGES_TO_SEND);
        st.nb_pg_sent = get_le16(p + fax_st::PAGES_SENT);
        st.nb_pg_sent_good = get_le16(p + fax_st::SENT_GOOD);
        st.nb_pg_sent_medium = get_le16(p + fax_st::SENT_MEDIUM);
        st.nb_pg_sent_bad = get_le16(p + fax_st::SENT_BAD);
        st.nb_pg_received = get_le16(p + fax_st::PAGES_RCV);
        st.nb_pg_received_good = get_le16(p + fax_st::RCV_GOOD);
        st.nb_pg_received_medium = get_le16(p + fax_st::RCV_MEDIUM);
        st.nb_pg_received_bad = get_le16(p + fax_st::RCV_BAD);
        // Rows: only as many as were filled, never more than the table holds.
        auto rows = [&](u32 off, u16 count, foip__fax_pg_descriptor* out) {
          for (u32 i = 0; i < count && i < FOIP__MAX_PG_REPORTS && i < FAX_PG_ROWS; ++i) {
            const u8* r = p + off + i * FAX_PG_ROW_SIZE - fax_rep::FILE_NAME;  // report offsets
            foip__fax_pg_descriptor& o = out[i];
            read_page(r, o);
            o.enabled_conversion = get_le16(r + fax_rep::CONVERSIONS);
            o.nb_discarded_lines = static_cast<i32>(get_le32(r + fax_rep::DISCARDED));
            o.flag_decoding_info = r[fax_rep::DECODED_VALID];
            o.nb_decoded_lines = static_cast<i32>(get_le32(r + fax_rep::DECODED_LINES));
            o.t6_error = r[fax_rep::T6_ERROR];
            const u32 t4 = get_le32(r + fax_rep::T4_ERRORS);
            o.nb_t4_errors = static_cast<u16>(t4 > 0xFFFF ? 0xFFFF : t4);
          }
        };
        rows(fax_st::SENT_ROWS, st.nb_pg_sent, st.sent_pg);
        rows(fax_st::RCV_ROWS, st.nb_pg_received, st.received_pg);
      }
      foip__set_fax_status(s, st);
    }
  }
  reset_config(s, f);
}

void process_fax_act_co(foip__na_ctx* s, fax_side& f) {
  const std::vector<u8> d = msg_bytes(foip__current_msg());
  if (d.size() >= 3 && d[0] == 2) {
    foip__send_mgt(FOIP_MGT__FAX_OPENED, s->nai, 2, 0, 0, 0);
    f.state = st::SESSION_RUNNING;
    return;
  }
  s->failure = 1;
  s->err_code = d.size() > 1 ? d[1] : 0;
  const u8 src = d.size() > 2 ? d[2] : 0;
  s->err_source = src == 20   ? FOIP__START_ERR_SRC__FAX_ACT__ORG
                  : src == 30 ? FOIP__START_ERR_SRC__FAX_ACT__ANS
                              : FOIP__START_ERR_SRC__FAX_ACT__API;
  error_box(s, "FAX__ACT_CO", s->err_source, s->err_code);
  stop_session(s, f);
}

void dea_session(foip__na_ctx* s, fax_side& f) {
  std::vector<u8> body(FAX_DEA_SIZE, 0);
  body[3] = s->sip_call ? 0 : 1;
  if (!send_new(ENT_FAX, s->nai, FAX_SAPI, FAX__DEA_RQ, body.data(), FAX_DEA_SIZE, false)) {
    trap_alloc(s, "dea_session");
    f.state = st::IDLE;
    return;
  }
  f.state = st::SESSION_DEA;
}

void process_fax_report_in(foip__na_ctx* s, fax_side&) {
  const std::vector<u8> d = msg_bytes(foip__current_msg());
  if (d.size() < 4 + FAX_REPORT_RECORD_SIZE || d[0] != 'E') return;
  const u8* r = d.data() + 4;
  foip__report rep{};
  rep.kind_of_report = FOIP__REPORT__EVT;
  rep.kind = r[fax_rep::EVENT];
  switch (rep.kind) {
    case FAX_REM_FAX_ID: std::memcpy(rep.body.remote_fax_id, r + fax_rep::PAGE_NUMBER, 20); break;
    case FAX_REMOTE_IAF:
      // The remote is an IAF device: the T.38 session takes the page data
      // rate of the configuration.
      if (foip__hooks().t38_mgt__automaton) foip__hooks().t38_mgt__automaton(s, T38_MGT__EVT_NEW_FAX_PG_DRATE, 0, 0);
      break;
    case FAX_PG_SENT:
    case FAX_PG_RCV: {
      rep.body.page.pg_number = get_le16(r + fax_rep::PAGE_NUMBER);
      foip__fax_pg_descriptor& o = rep.body.page.pg;
      read_page(r, o);
      break;
    }
    default: return;
  }
  const foip_api__addr a{.from = ENT_FOIP, .to = s->user_entity, .nai = s->nai, .sapi = FOIP__SAPI, .conn_id = 0xFFFF};
  (void)foip_api__send_record(a, FOIP__REPORT_IN, rep);
}

void nothing(foip__na_ctx*, fax_side&) {}

using act = void (*)(foip__na_ctx*, fax_side&);

// Cells not listed: nothing, state unchanged.
constexpr fsm::row<st, ev, act> kRows[] = {
    {st::IDLE, ev::EVT_USR_ACT_RQ, start_session, fsm::by_action},
    {st::SESSION_ACT, ev::EVT_USR_DEA_RQ, dea_session, fsm::by_action},
    {st::SESSION_RUNNING, ev::EVT_USR_DEA_RQ, dea_session, fsm::by_action},
    {st::CONFIG, ev::EVT_SM_SET_CONFIG_CO, process_sm_set_config_co, fsm::by_action},
    {st::CONFIG, ev::EVT_TI_LAUNCH_FAX, act_session, fsm::by_action},
    {st::SESSION_ACT, ev::EVT_FAX_ACT_CO, process_fax_act_co, fsm::by_action},
    {st::SESSION_DEA, ev::EVT_FAX_DEA_CO, stop_session, fsm::by_action},
    {st::SESSION_ACT, ev::EVT_FAX_DEA_IN, stop_session, fsm::by_action},
    {st::SESSION_RUNNING, ev::EVT_FAX_DEA_IN, stop_session, fsm::by_action},
    {st::CONFIG, ev::EVT_FAX_REPORT_IN, process_fax_report_in, fsm::keep},
    {st::SESSION_ACT, ev::EVT_FAX_REPORT_IN, process_fax_report_in, fsm::keep},
    {st::SESSION_RUNNING, ev::EVT_FAX_REPORT_IN, process_fax_report_in, fsm::keep},
    {st::SESSION_DEA, ev::EVT_FAX_REPORT_IN, process_fax_report_in, fsm::keep},
    {st::RESET_CONFIG, ev::EVT_FAX_REPORT_IN, process_fax_report_in, fsm::keep},
    {st::RESET_CONFIG, ev::EVT_SM_RESET_CONFIG_CO, nothing, st::IDLE},
};
constexpr auto kTable = fsm::compile(kRows, fsm::cell<act>{nothing, fsm::kKeep});

// The event numbers are sparse: a number between them is no event.
bool is_event(u8 e) {
  for (const ev known :
       {ev::EVT_USR_ACT_RQ, ev::EVT_USR_DEA_RQ, ev::EVT_TI_LAUNCH_FAX, ev::EVT_SM_SET_CONFIG_CO,
        ev::EVT_SM_RESET_CONFIG_CO, ev::EVT_FAX_ACT_CO, ev::EVT_FAX_DEA_CO, ev::EVT_FAX_DEA_IN, ev::EVT_FAX_REPORT_IN})
    if (e == static_cast<u8>(known)) return true;
  return false;
}
constexpr auto kPlain = fsm::plain(kRows);
constexpr u8 kActionTargets[] = {FOIP_FAX__IDLE,        FOIP_FAX__CONFIG,
                                 FOIP_FAX__SESSION_ACT, FOIP_FAX__SESSION_RUNNING,
                                 FOIP_FAX__SESSION_DEA, FOIP_FAX__RESET_CONFIG};

}  // namespace

void foip_fax__build_config(const foip__na_ctx& s, u8* out) {
  fax_config_writer w;
  const foip__session_param& p = s.param;
  w.u16_at(fax_cfg::NB_SESSIONS, 1);
  w.u16_at(fax_cfg::NAI, s.nai);
  w.u32_at(fax_cfg::START_TIMER_MS, kStartDelayMs);
  w.byte(16, s.kind_of_session == 'G' ? u8{'G'} : u8{ENT_T38});  // lower entity of the session
  w.u32_at(fax_cfg::EOF_T30_MS, p.session_general_param.delay_wait_eof_t30_session);
  const foip__fax_common_param& c = p.fax_common_param;
  w.text(fax_cfg::LOCAL_ID, 20, c.fax_id);
  w.byte(fax_cfg::MAX_SPEED, c.max_speed);
  w.byte(fax_cfg::MIN_SPEED_ORG, c.min_speed);
  w.byte(fax_cfg::RCV_FILL_ORDER, c.keep_bit_order__rx);
  w.text(fax_cfg::TMP_PG_FORMAT, fax_cfg::NAME_SIZE, c.sz_fname_tiff_tmp_pg);
  w.byte(fax_cfg::ECM_OFFERED, c.rx_max_fax_cap.ecm_frame_size);
  w.byte(fax_cfg::CODINGS_ANS, c.rx_max_fax_cap.pg_encoding);
  w.u16_at(fax_cfg::RESOLUTIONS_ANS, c.rx_max_fax_cap.pg_resolution);
  w.byte(fax_cfg::WIDTH_ANS, c.rx_max_fax_cap.pg_width_mm);
  w.byte(fax_cfg::LENGTH_ANS, c.rx_max_fax_cap.pg_length);
  w.byte(fax_cfg::LOCAL_ECM, c.tx_wished_fax_cap.ecm_frame_size);
  w.byte(fax_cfg::LOCAL_CODINGS, c.tx_wished_fax_cap.pg_encoding);
  const foip__fax_polling_param& poll = p.fax_polling_param;
  w.byte(fax_cfg::POLLING, poll.flag_poll);
  w.text(fax_cfg::PWD, 20, poll.pwd);
  w.text(fax_cfg::SEP, 20, poll.sep);
  w.text(fax_cfg::PSA, 20, poll.psa);
  const foip__fax_send_pg& snd = p.fax_send_pg;
  for (u32 i = 0; i < fax_cfg::SEND_FILE_COUNT && i < FOIP__MAX_SND_TIFF_FILE; ++i)
    w.send_file(i, std::string(snd.sz_tiff_fname_fax_pg[i], strnlen(snd.sz_tiff_fname_fax_pg[i], FOIP__FNAME_MAX_LEN)));
  w.u16_at(fax_cfg::COPIES, snd.cnt_send_test);
  w.byte(fax_cfg::PADDING_MODE, snd.tx_fax_page_settings.line_padding_mode);
  w.text(fax_cfg::PAGE_HEADER, fax_cfg::PAGE_HEADER_SIZE, snd.tx_fax_page_settings.sz_pg_header);
  w.u16_at(fax_cfg::TOP_MARGIN, snd.tx_fax_page_settings.bmp_top_margin_pels);
  const foip__fax_rcv_pg& rcv = p.fax_rcv_pg;
  w.text(fax_cfg::RCV_FORMAT, fax_cfg::NAME_SIZE, rcv.sz_tiff_fname_rcv_fax_pg);
  w.u16_at(fax_cfg::RCV_NUMBER, rcv.usr_val);
  w.u16_at(fax_cfg::MAX_RCV_PAGES, rcv.max_rx_nb_page);
  w.u32_at(fax_cfg::MAX_RCV_BYTES, rcv.max_rx_fax_data_size);
  w.u16_at(fax_cfg::CF_FLAG, p.session_general_param.t38iaf_enh.flag_iaf_equipement == 1 ? 1 : 0);
  std::memcpy(out, w.p, FAX_CONFIG_SIZE);
}

u8 foip_fax__automaton(foip__na_ctx* s, u8 event) {
  if (!s || !is_event(event)) return FOIP__RC_NOK;
  fax_side& f = g_sides[s->nai];
  const auto* c = kTable.find(static_cast<u8>(f.state), event);
  if (!c) return FOIP__RC_NOK;
  const st old = f.state;
  c->action(s, f);
  f.state = static_cast<st>(fsm::next_of(*c, static_cast<u8>(f.state)));
  if (f.state != old && f.state == st::IDLE) {
    if (s->failure) foip__send_mgt(FOIP_MGT__FAX_OPENED, s->nai, FOIP__RC_NOK, 0, s->err_source, s->err_code);
    else foip__send_mgt(FOIP_MGT__FAX_CLOSED, s->nai, 0, 0, 0, 0);
  }
  return FOIP__RC_OK;
}

kv::fsm::machine_view foip_fax__machine() {
  return {"fax session", fsm::count_of<st>, fsm::count_of<ev>, FOIP_FAX__IDLE, kPlain, kActionTargets, {}};
}

void foip_fax__release(foip__na_ctx* s) {
  if (s) g_sides.erase(s->nai);
}

u8 foip_fax__state(nai_t nai) {
  const auto it = g_sides.find(nai);
  return it == g_sides.end() ? u8{FOIP_FAX__IDLE} : static_cast<u8>(it->second.state);
}
