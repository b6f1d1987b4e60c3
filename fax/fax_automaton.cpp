// Fax automaton of ENT_FAX: 23 events x 8 states, written as rows of
// {state, event, action, next state} compiled into one table.
#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

#include "common/byte_order.h"
#include "fax/fax_msg.h"
#include "fax/fax_session.h"
#include "fax/fc.h"
#include "runtime/automaton.h"
#include "runtime/buffer.h"
#include "runtime/om_os.h"

namespace fsm = kv::fsm;

namespace {

// States, with the numbers that the session record and the trace hold.
enum class st : u8 {
  IDLE = FAX_IDLE,
  FAX_WAIT_V25_CONN = ::FAX_WAIT_V25_CONN,
  FAX_START_SESSION = ::FAX_START_SESSION,
  FAX_CNF_SESSION = ::FAX_CNF_SESSION,
  FAX_T30_DIS_DCS_NEGO = ::FAX_T30_DIS_DCS_NEGO,
  FAX_PAGE = ::FAX_PAGE,
  FAX_END_OF_SND_PAGE = ::FAX_END_OF_SND_PAGE,
  FAX_STOP_SESSION = ::FAX_STOP_SESSION,
  count_
};
static_assert(fsm::count_of<st> == FAX_STATE_COUNT);

// Events: the number goes into the step trace (as e x 8).
enum class ev : u8 {
  MDM_SETPARM,
  START_FAX_ORG,
  START_FAX_ANS,
  ACU_CONN_CO,
  CF_INIT_CO,
  CF_SETPARM_CO,
  CF_CONN_CO,
  CF_INFO_IN,
  CF_CAPBILITY_CO,
  CF_CAPBILITY_IN,
  CF_DATA_MSG,
  CF_MAJR_SYNC_CO,
  CF_DISC_IN,
  CF_DISC_CO,
  TI_WAIT_EOF_T30_SESSION,
  CF_STOP_CO,
  STOP_CONNECTION,
  ACU_CLEAR_CO,
  ACU_CLEAR_IN,
  FC_INIT_PG_CONV_CO,
  FC_DATA_MSG,
  FC_STOP_PG_CONV_CO,
  FC_STOP_PG_CONV_IN,
  count_
};
static_assert(fsm::count_of<ev> == FAX_EVENT_COUNT);

// What one step learns from its action: the action's name for the trace,
// and whether the action chose the next state.
struct step {
  const char* name = "";
  bool state_chosen = false;
};

void set_state(step& t, fax_auto__session* s, u8 next) {
  s->state = next;
  t.state_chosen = true;
}

// ---------------------------------------------------------------------------
// Sending to the lower entities.

void send_acu(fax_auto__session* s, code_t code, const u8* data, u32 n) {
  if (!fax_send_new(ENT_ACU, s->nai, ACU_SAPI, 0, code, data, n)) om_os_trap(742);
}

// The end of a sent page. The last page asks for a retrain: a far side that
// refuses it (RTN) gets a new training and the page again instead of the
// end of the call; the pages before it are sent again after an RTN in any
// case (the next page goes on after a new training).
void send_majr_sync_rq(fax_auto__session* s, u8 kind) {
  u8 d[16] = {};
  d[3] = kind;
  if (kind == 'S') d[5] = 1;
  if (!fax_send_new(ENT_CF, s->nai, CF_SAPI, 0, CF_MAJR_SYNC_RQ, d, sizeof d)) om_os_trap(742);
}

// Session parameters: CF_SETPARM_RQ filled by the user-event function.
void send_setparm(step& t, fax_auto__session* s);
void user_disconnect(fax_auto__session* s);

// Converter requests: FC__INIT_PG_RQ goes from the user-event function;
// data always travel in a buffer.
void send_fc(fax_auto__session* s, code_t code, const u8* data, u32 n) {
  msg_t* m = Alloc_msg();
  buffer_t* b = m && n ? Store_data_in_buffers(data, n, nullptr) : nullptr;
  if (!m || (n && !b)) {
    if (m) Free_msg(m);
    om_os_trap(742);
    return;
  }
  if (b) Msg_attach_chain(m, b);
  Msg_set_head(m, {ENT_FAX, ENT_FC, code, s->nai, FC_SAPI, 0xFFFF});
  Send_msg(m);
}

// Page data for the session layer travel in a buffer however few they are:
// below it, the inline room of a data message holds its parameter word.
void send_cf_data(fax_auto__session* s, const u8* data, u32 n) {
  msg_t* m = Alloc_msg();
  buffer_t* b = m ? Store_data_in_buffers(data, n, nullptr) : nullptr;
  if (!b) {
    if (m) Free_msg(m);
    om_os_trap(742);
    return;
  }
  Msg_attach_chain(m, b);
  Msg_set_head(m, {ENT_FAX, ENT_CF, CF_DA_RQ, s->nai, CF_SAPI, 0});
  Send_msg(m);
}

void stop_conversion(fax_auto__session* s, u8 reason) {
  u8 d[FC_STOP_PG_RQ_SIZE] = {};
  d[FC_STOP_REASON_OFFSET] = reason;
  send_fc(s, FC__STOP_PG_RQ, d, sizeof d);
}

// A conversion that runs is stopped (the session is ending).
void abort_conversion(fax_auto__session* s) {
  if (s->conv_state == FAX_CONV_FEEDING || s->conv_state == FAX_CONV_PAUSED || s->conv_stop_pending)
    stop_conversion(s, 1);
  s->conv_state = FAX_CONV_NONE;  // late converter data are dropped
  s->conv_stop_pending = 0;
  s->conv_queue.clear();
}

// Raw page data to the converter, up to five blocks, then FC__SYNC_RQ so
// that feeding goes on when the converter has taken them.  False when the
// session is being ended.
bool feed_converter(step& t, fax_auto__session* s) {
  bool sent = false;
  for (int pass = 0; pass < 5 && s->conv_state == FAX_CONV_FEEDING; ++pass) {
    u8 buf[FAX_CONV_FEED_MAX];
    u32 len = sizeof buf;
    const u8 r = fax_auto__user_event_fn(FAX_AUTO__EVT_FAX_PG_CONV, buf, &len, nullptr, 0, FAX_CONV_READ, s);
    if (r == FAX_UE_FAILED) {
      abort_conversion(s);
      fax_auto__send_cf(s, CF_DISC_RQ);
      set_state(t, s, FAX_STOP_SESSION);
      return false;
    }
    if (len) {
      send_fc(s, FC__DA_RQ, buf, len);
      sent = true;
    }
    if (r == FAX_UE_CONV_END_OF_FILE) {
      s->conv_state = FAX_CONV_DONE;
      s->conv_stop_pending = 1;
      stop_conversion(s, FC_STOP_FINISH);
      break;
    }
    if (s->conv_queue.size() >= FAX_CONV_QUEUE_HIGH) s->conv_state = FAX_CONV_PAUSED;
  }
  if (sent && s->conv_state == FAX_CONV_FEEDING) send_fc(s, FC__SYNC_RQ, nullptr, 0);
  return true;
}

// Page data while ENT_CF takes them (up to five buffers per call).
void send_page_data(step& t, fax_auto__session* s) {
  bool sent = false;
  for (int pass = 0; pass < 5 && !s->cf_busy && !s->int_sync_pending; ++pass) {
    const u32 room = om_os_get_buffer_room();
    std::vector<u8> buf(room);
    u32 len = room;
    // The conversion counts as finished only once the converter has
    // confirmed the end of the page: its last data are then queued.
    const u8 mode = s->conv_state == FAX_CONV_NONE                            ? 0
                    : s->conv_state == FAX_CONV_DONE && !s->conv_stop_pending ? 2
                                                                              : 1;
    const u8 r = fax_auto__user_event_fn(FAX_AUTO__EVT_TX_RX_FAX_PG, buf.data(), &len, nullptr, 0, mode, s);
    if (r == FAX_UE_FAILED) {
      fax_auto__send_cf(s, CF_DISC_RQ);
      set_state(t, s, FAX_STOP_SESSION);
      return;
    }
    if (len) {
      send_cf_data(s, buf.data(), len);
      sent = true;
    }
    if (r != FAX_UE_OK) {
      if (r == FAX_UE_END_PAGE_RENEG) {
        send_majr_sync_rq(s, 'N');
        set_state(t, s, FAX_T30_DIS_DCS_NEGO);
      } else if (r == FAX_UE_LAST_PAGE) {
        send_majr_sync_rq(s, 'S');
        set_state(t, s, FAX_STOP_SESSION);
      } else {
        send_majr_sync_rq(s, 'P');
        set_state(t, s, FAX_END_OF_SND_PAGE);
      }
      break;
    }
    if (s->conv_state == FAX_CONV_PAUSED && s->conv_queue.size() < FAX_CONV_QUEUE_LOW) {
      s->conv_state = FAX_CONV_FEEDING;
      if (!feed_converter(t, s)) return;
    }
  }
  if (sent) {
    s->int_sync_pending = 1;
    fax_auto__send_cf(s, CF_INT_SYNC_RQ);
  }
}

// Prepares the next page and starts sending it; false to stop the session.
bool start_page(step& t, fax_auto__session* s) {
  s->conv_state = FAX_CONV_NONE;
  s->conv_stop_pending = 0;
  const u8 r = fax_auto__user_event_fn(FAX_AUTO__EVT_FAX_PARAM_PG_CONV, nullptr, nullptr, nullptr, 0, 0, s);
  if (r == FAX_UE_FAILED) return false;
  s->cf_busy = 0;
  // The page before has ended (its end was confirmed): an internal sync
  // answered after that end, which the table ignores, must not hold the
  // new page back.
  s->int_sync_pending = 0;
  send_page_data(t, s);
  return true;
}

void start_page_or_stop(step& t, fax_auto__session* s) {
  if (!start_page(t, s)) {
    user_disconnect(s);
    set_state(t, s, FAX_STOP_SESSION);
  } else if (!t.state_chosen) {
    set_state(t, s, FAX_PAGE);
  }
}

// Status byte 0 of a confirm.
u8 status_of(const msg_t* m) { return Msg_data_size(m) ? Msg_data(m)[0] : OM_OS_NOK; }

// ---------------------------------------------------------------------------
// Actions.

#define NAME(n) t.name = n " ()"

void no_action(step& t, msg_t*, fax_auto__session*) { NAME("no_action"); }
void error_process(step& t, msg_t*, fax_auto__session*) { NAME("error_process"); }

void store_modem_parameters(step& t, msg_t*, fax_auto__session* s) {
  NAME("store_modem_parameters");
  fax_auto__user_event_fn(FAX_AUTO__EVT_CONFIG_DONE, nullptr, nullptr, nullptr, 0, 0, s);
}

void start_v25__org(step& t, msg_t*, fax_auto__session* s) {
  NAME("start_v25__org");
  u8 d[140] = {};
  d[0] = 'H';
  d[1] = 1;
  d[2] = 'F';
  d[11] = 3;
  s->direction = 'O';
  s->page_direction = 1;
  send_acu(s, ACU_CONN_RQ, d, sizeof d);
}

void start_v25__ans(step& t, msg_t*, fax_auto__session* s) {
  NAME("start_v25__ans");
  u8 d[116] = {};
  d[0] = 'H';
  d[1] = 'F';
  d[9] = 3;
  s->direction = 'A';
  s->page_direction = 2;
  send_acu(s, ACU_CONN_RS, d, sizeof d);
}

void stop_acu(fax_auto__session* s) {
  u8 d[88] = {};
  d[0] = 'H';
  send_acu(s, ACU_CLEAR_RQ, d, sizeof d);
}

void stop_acu_v25(step& t, msg_t*, fax_auto__session* s) {
  NAME("stop_acu_v25");
  stop_acu(s);
}

// A stop before the T.30 session began: the call is cleared from here.
void stop_before_t30(step& t, msg_t*, fax_auto__session* s) {
  NAME("stop_before_t30");
  s->end_status = 3;
  s->end_source = FAX_SOURCE_SELF;
  s->end_cause = FAX_CAUSE_USER_STOP;
  if (s->state == FAX_WAIT_V25_CONN) {
    stop_acu(s);
  } else {
    fax_auto__send_cf(s, CF_STOP_RQ);
  }
}

void modem_conn_rq(step& t, msg_t*, fax_auto__session* s) {
  NAME("modem_conn_rq");
  fax_auto__send_cf(s, CF_INIT_RQ);
}

void process_acu_clear_in(step& t, msg_t* m, fax_auto__session* s) {
  NAME("process_acu_clear_in");
  const u8 b = Msg_data_size(m) ? Msg_data(m)[0] : 0;
  if (b == 't') {
    fax_auto__send_cf(s, CF_INIT_RQ);
    set_state(t, s, FAX_START_SESSION);
  } else {
    s->end_status = 2;
    s->end_source = ENT_ACU;
    s->end_cause = b;
    set_state(t, s, FAX_IDLE);
  }
}

void set_faxparam(step& t, msg_t* m, fax_auto__session* s) {
  NAME("set_faxparam");
  if (status_of(m) == OM_OS_OK) {
    send_setparm(t, s);  // first parameters: chosen while the state is FAX_START_SESSION
    if (!t.state_chosen) set_state(t, s, FAX_CNF_SESSION);
  } else {
    set_state(t, s, FAX_IDLE);
  }
}

void t30_nego_rq(step& t, msg_t* m, fax_auto__session* s) {
  NAME("t30_nego_rq");
  if (status_of(m) == OM_OS_OK) {
    fax_auto__send_cf(s, CF_CONN_RQ);
    set_state(t, s, FAX_T30_DIS_DCS_NEGO);
  } else {
    set_state(t, s, FAX_IDLE);
  }
}

void t30_nego_rq_3(step& t, msg_t* m, fax_auto__session* s) {
  NAME("t30_nego_rq_3");
  if (status_of(m) == OM_OS_OK) {
    fax_auto__send_cf(s, s->page_direction == 2 ? CF_CAPBILITY_RS : CF_CAPBILITY_RQ);
    set_state(t, s, FAX_T30_DIS_DCS_NEGO);
  } else {
    set_state(t, s, FAX_IDLE);
  }
}

void t30_nego_rq_2(step& t, msg_t* m, fax_auto__session* s) {
  NAME("t30_nego_rq_2");
  if (status_of(m) != OM_OS_OK) {
    set_state(t, s, FAX_IDLE);
  } else if (s->page_direction == 2) {
    set_state(t, s, FAX_PAGE);
  } else if (s->page_direction == 1) {
    send_setparm(t, s);
  }
}

void check_cf_conn_co(step& t, msg_t* m, fax_auto__session* s) {
  NAME("check_cf_conn_co");
  if (status_of(m) != OM_OS_OK) set_state(t, s, FAX_IDLE);
}

void give_t30_info_to_user(step& t, msg_t* m, fax_auto__session* s) {
  NAME("give_t30_info_to_user");
  const std::vector<u8> rec = fax_msg_bytes(m);
  if (rec.size() < CF_INFO_SIZE) {
    om_os_trap(744);
    return;
  }
  if (fax_auto__user_event_fn(FAX_AUTO__EVT_FAX_INFO_IN, nullptr, nullptr, rec.data(), CF_INFO_SIZE, 0, s) ==
      FAX_UE_FAILED) {
    user_disconnect(s);
    set_state(t, s, FAX_STOP_SESSION);
    return;
  }
  if (rec[3] == 'c') {
    s->page_direction = 2;
    set_state(t, s, FAX_PAGE);
  } else if (rec[3] == 't') {
    s->page_direction = 1;
    set_state(t, s, FAX_T30_DIS_DCS_NEGO);
    send_setparm(t, s);
  }
}

void process_cf_capability_in(step& t, msg_t*, fax_auto__session* s) {
  NAME("process_cf_capability_in");
  send_setparm(t, s);
}

void process_cf_cap_co__start_sending_fax_page(step& t, msg_t*, fax_auto__session* s) {
  NAME("process_cf_cap_co__start_sending_fax_page");
  start_page_or_stop(t, s);
}

void fax_pg_processing(step& t, msg_t* m, fax_auto__session* s) {
  NAME("fax_pg_processing");
  switch (m->code) {
    case CF_BUSY_IN:
      s->cf_busy = 1;
      set_state(t, s, FAX_PAGE);
      return;
    case CF_INT_SYNC_CO:
    case CF_CLR_BUSY_IN:
      if (m->code == CF_INT_SYNC_CO) s->int_sync_pending = 0;
      else s->cf_busy = 0;
      send_page_data(t, s);
      if (!t.state_chosen) set_state(t, s, FAX_PAGE);
      return;
    case CF_DA_IN: {
      const std::vector<u8> d = fax_msg_bytes(m);
      if (fax_auto__user_event_fn(FAX_AUTO__EVT_TX_RX_FAX_PG, nullptr, nullptr, d.data(), static_cast<u32>(d.size()), 0,
                                  s) == FAX_UE_FAILED) {
        user_disconnect(s);
        set_state(t, s, FAX_STOP_SESSION);
      } else {
        set_state(t, s, FAX_PAGE);
      }
      return;
    }
    case CF_MAJR_SYNC_IN: {
      const std::vector<u8> d = fax_msg_bytes(m);
      u8 rec[16] = {};
      std::memcpy(rec, d.data(), d.size() < 16 ? d.size() : 16);
      const u8 r = fax_auto__user_event_fn(FAX_AUTO__EVT_EOF_RCV_FAX_PG, nullptr, nullptr, rec, 16, 0, s);
      if (r == FAX_UE_FAILED) {
        user_disconnect(s);
        set_state(t, s, FAX_STOP_SESSION);
        return;
      }
      s->verdict = r;
      fax_auto__send_cf(s, CF_MAJR_SYNC_RS);
      // A page refused (RTN) comes again after a new training within the
      // same document: its data must find the session still taking pages
      // (the session layer stays ready to receive it, and tells of no new
      // negotiation). Only a new document negotiates again.
      set_state(t, s, rec[3] == 'N' ? FAX_T30_DIS_DCS_NEGO : FAX_PAGE);
      return;
    }
    default: set_state(t, s, FAX_PAGE); return;
  }
}

void fax_mps_process__start_sending_fax_page(step& t, msg_t* m, fax_auto__session* s) {
  NAME("fax_mps_process__start_sending_fax_page");
  s->cf_busy = 0;
  const std::vector<u8> d = fax_msg_bytes(m);
  const u8 r = fax_auto__user_event_fn(FAX_AUTO__EVT_EOF_SND_FAX_PG, nullptr, nullptr, d.data(),
                                       static_cast<u32>(d.size()), 'P', s);
  if (r != FAX_UE_OK) {
    user_disconnect(s);
    set_state(t, s, FAX_STOP_SESSION);
    return;
  }
  start_page_or_stop(t, s);
}

void fax_eom_process__start_reneg(step& t, msg_t* m, fax_auto__session* s) {
  NAME("fax_eom_process__start_reneg");
  s->cf_busy = 0;
  const std::vector<u8> d = fax_msg_bytes(m);
  if (fax_auto__user_event_fn(FAX_AUTO__EVT_EOF_SND_FAX_PG, nullptr, nullptr, d.data(), static_cast<u32>(d.size()), 'N',
                              s) == FAX_UE_FAILED) {
    user_disconnect(s);
    set_state(t, s, FAX_STOP_SESSION);
    return;
  }
  send_setparm(t, s);
}

void fax_eop_process__RTN_start_sending_fax_page(step& t, msg_t* m, fax_auto__session* s) {
  NAME("fax_eop_process__RTN_start_sending_fax_page");
  const std::vector<u8> d = fax_msg_bytes(m);
  const bool rtn = d.size() > 4 && d[4] == 'B';
  if (fax_auto__user_event_fn(FAX_AUTO__EVT_EOF_SND_FAX_PG, nullptr, nullptr, d.data(), static_cast<u32>(d.size()),
                              rtn ? 'N' : 'S', s) == FAX_UE_FAILED) {
    user_disconnect(s);
    set_state(t, s, FAX_STOP_SESSION);
  } else if (rtn) {
    fax_auto__send_cf(s, CF_CAPBILITY_RQ);
    set_state(t, s, FAX_T30_DIS_DCS_NEGO);
  } else {
    set_state(t, s, FAX_STOP_SESSION);
  }
}

void user_disconnect(fax_auto__session* s) {
  abort_conversion(s);
  fax_auto__send_cf(s, CF_DISC_RQ);
}

void fax_user_disconnect_rq(step& t, msg_t*, fax_auto__session* s) {
  NAME("fax_user_disconnect_rq");
  user_disconnect(s);
}

void start_eof_timer(fax_auto__session* s, u32 ms) {
  ++s->eof_seq;
  s->eof_armed = 1;
  Timer_start(s->ti_eof, ms, s->eof_seq, FAX__TI_WAIT_EOF_T30_SESSION);
}

void disconnect_in_co(step& t, msg_t* m, fax_auto__session* s) {
  NAME("disconnect_in_co");
  const u8 b = Msg_data_size(m) ? Msg_data(m)[0] : 0;
  // A failure decided here before the disconnection keeps its cause.
  if (m->code == CF_DISC_IN && s->end_status != 3) {
    s->end_status = 2;
    s->end_source = ENT_CF;
    s->end_cause = b;
  }
  if (b != 2 && s->stop_reason != 1) start_eof_timer(s, s->eof_ms);
  else fax_auto__send_cf(s, CF_STOP_RQ);
}

void update_ti_wait_eof_t30_session(step& t, msg_t*, fax_auto__session* s) {
  NAME("update_ti_wait_eof_t30_session");
  if (s->eof_armed) {
    Timer_stop(s->ti_eof);
    start_eof_timer(s, 25);
  }
}

void send_cf_stop_rq(step& t, msg_t*, fax_auto__session* s) {
  NAME("send_cf_stop_rq");
  fax_auto__send_cf(s, CF_STOP_RQ);
}

// Ends the session from a conversion action.
void conversion_failed(step& t, fax_auto__session* s) {
  abort_conversion(s);
  user_disconnect(s);
  set_state(t, s, FAX_STOP_SESSION);
}

// Page sending after a conversion event, in FAX_PAGE only (between pages
// nothing is sent).
void resume_page_sending(step& t, fax_auto__session* s) {
  if (s->state != FAX_PAGE) return;
  send_page_data(t, s);
  if (!t.state_chosen) set_state(t, s, FAX_PAGE);
}

void start_fax_pg_conversion(step& t, msg_t* m, fax_auto__session* s) {
  NAME("start_fax_pg_conversion");
  const std::vector<u8> d = fax_msg_bytes(m);
  const u8 r = fax_auto__user_event_fn(FAX_AUTO__EVT_FAX_PG_CONV, nullptr, nullptr, d.data(),
                                       static_cast<u32>(d.size()), FAX_CONV_INIT_CO, s);
  if (r == FAX_UE_FAILED) {
    s->conv_state = FAX_CONV_NONE;  // the converter holds nothing for a refused page
    return conversion_failed(t, s);
  }
  if (r == FAX_UE_NO_CONVERSION) {
    // Nothing to convert after all: the page goes as it is stored.
    stop_conversion(s, 1);
    s->conv_state = FAX_CONV_NONE;
    s->conv_queue.clear();
    return resume_page_sending(t, s);  // from the page file, already open and counted
  }
  if (!feed_converter(t, s)) return;
  set_state(t, s, FAX_PAGE);
}

void fax_pg_conv_processing(step& t, msg_t* m, fax_auto__session* s) {
  NAME("fax_pg_conv_processing");
  if (m->code == FC__SYNC_CO) {
    if (s->conv_state == FAX_CONV_FEEDING && !feed_converter(t, s)) return;
    return;
  }
  if (!m->p_buffer && Msg_data_size(m)) {
    om_os_trap(745);
    return;
  }
  if (s->conv_state == FAX_CONV_NONE) return;  // a page no longer converted
  const std::vector<u8> d = fax_msg_bytes(m);
  (void)fax_auto__user_event_fn(FAX_AUTO__EVT_FAX_PG_CONV, nullptr, nullptr, d.data(), static_cast<u32>(d.size()),
                                FAX_CONV_DATA_IN, s);
  if (s->conv_state == FAX_CONV_PAUSED && s->conv_queue.size() < FAX_CONV_QUEUE_LOW) {
    s->conv_state = FAX_CONV_FEEDING;
    if (!feed_converter(t, s)) return;
  } else if (s->conv_state == FAX_CONV_FEEDING && s->conv_queue.size() >= FAX_CONV_QUEUE_HIGH) {
    s->conv_state = FAX_CONV_PAUSED;
  }
  resume_page_sending(t, s);
}

void process_fc__stop_pg_conv_co(step& t, msg_t* m, fax_auto__session* s) {
  NAME("process_fc__stop_pg_conv_co");
  if (!s->conv_stop_pending) return;  // the answer to an abort, or to a page already complete
  const std::vector<u8> d = fax_msg_bytes(m);
  (void)fax_auto__user_event_fn(FAX_AUTO__EVT_FAX_PG_CONV, nullptr, nullptr, d.data(), static_cast<u32>(d.size()),
                                FAX_CONV_STOP_CO, s);
  s->conv_stop_pending = 0;
  if (!s->int_sync_pending) resume_page_sending(t, s);
}

void process_fc__stop_pg_conv_in(step& t, msg_t* m, fax_auto__session* s) {
  NAME("process_fc__stop_pg_conv_in");
  if (s->conv_state == FAX_CONV_NONE) return;
  const std::vector<u8> d = fax_msg_bytes(m);
  (void)fax_auto__user_event_fn(FAX_AUTO__EVT_FAX_PG_CONV, nullptr, nullptr, d.data(), static_cast<u32>(d.size()),
                                FAX_CONV_STOP_IN, s);
  s->conv_state = FAX_CONV_DONE;
  s->conv_stop_pending = 0;
  if (!s->int_sync_pending) resume_page_sending(t, s);
}

#undef NAME

using action = void (*)(step&, msg_t*, fax_auto__session*);
using row = fsm::row<st, ev, action>;

// The table: one row per cell that does more than `error_process` with the
// state kept. "-" cells run `no_action`.
constexpr row kRows[] = {
    {st::IDLE, ev::MDM_SETPARM, store_modem_parameters, fsm::keep},
    {st::IDLE, ev::START_FAX_ORG, start_v25__org, st::FAX_WAIT_V25_CONN},
    {st::IDLE, ev::START_FAX_ANS, start_v25__ans, st::FAX_WAIT_V25_CONN},
    {st::IDLE, ev::STOP_CONNECTION, no_action, fsm::keep},
    {st::IDLE, ev::ACU_CLEAR_CO, no_action, fsm::keep},
    {st::IDLE, ev::ACU_CLEAR_IN, no_action, st::IDLE},
    {st::IDLE, ev::FC_INIT_PG_CONV_CO, no_action, st::IDLE},
    {st::IDLE, ev::FC_DATA_MSG, no_action, st::IDLE},
    {st::IDLE, ev::FC_STOP_PG_CONV_CO, no_action, st::IDLE},
    {st::IDLE, ev::FC_STOP_PG_CONV_IN, no_action, st::IDLE},

    {st::FAX_WAIT_V25_CONN, ev::ACU_CONN_CO, modem_conn_rq, st::FAX_START_SESSION},
    {st::FAX_WAIT_V25_CONN, ev::STOP_CONNECTION, stop_before_t30, st::FAX_STOP_SESSION},
    {st::FAX_WAIT_V25_CONN, ev::ACU_CLEAR_CO, no_action, fsm::keep},
    {st::FAX_WAIT_V25_CONN, ev::ACU_CLEAR_IN, process_acu_clear_in, fsm::by_action},
    {st::FAX_WAIT_V25_CONN, ev::FC_INIT_PG_CONV_CO, no_action, fsm::keep},
    {st::FAX_WAIT_V25_CONN, ev::FC_DATA_MSG, no_action, fsm::keep},
    {st::FAX_WAIT_V25_CONN, ev::FC_STOP_PG_CONV_CO, no_action, fsm::keep},
    {st::FAX_WAIT_V25_CONN, ev::FC_STOP_PG_CONV_IN, no_action, fsm::keep},

    {st::FAX_START_SESSION, ev::CF_INIT_CO, set_faxparam, fsm::by_action},
    {st::FAX_START_SESSION, ev::STOP_CONNECTION, stop_before_t30, st::FAX_STOP_SESSION},
    {st::FAX_START_SESSION, ev::ACU_CLEAR_CO, no_action, fsm::keep},
    {st::FAX_START_SESSION, ev::ACU_CLEAR_IN, no_action, fsm::keep},
    {st::FAX_START_SESSION, ev::FC_INIT_PG_CONV_CO, no_action, fsm::keep},
    {st::FAX_START_SESSION, ev::FC_DATA_MSG, no_action, fsm::keep},
    {st::FAX_START_SESSION, ev::FC_STOP_PG_CONV_CO, no_action, fsm::keep},
    {st::FAX_START_SESSION, ev::FC_STOP_PG_CONV_IN, no_action, fsm::keep},

    {st::FAX_CNF_SESSION, ev::CF_SETPARM_CO, t30_nego_rq, fsm::by_action},
    {st::FAX_CNF_SESSION, ev::STOP_CONNECTION, stop_before_t30, st::FAX_STOP_SESSION},
    {st::FAX_CNF_SESSION, ev::ACU_CLEAR_CO, no_action, fsm::keep},
    {st::FAX_CNF_SESSION, ev::ACU_CLEAR_IN, no_action, fsm::keep},
    {st::FAX_CNF_SESSION, ev::FC_INIT_PG_CONV_CO, no_action, fsm::keep},
    {st::FAX_CNF_SESSION, ev::FC_DATA_MSG, no_action, fsm::keep},
    {st::FAX_CNF_SESSION, ev::FC_STOP_PG_CONV_CO, no_action, fsm::keep},
    {st::FAX_CNF_SESSION, ev::FC_STOP_PG_CONV_IN, no_action, fsm::keep},

    {st::FAX_T30_DIS_DCS_NEGO, ev::CF_SETPARM_CO, t30_nego_rq_3, fsm::by_action},
    {st::FAX_T30_DIS_DCS_NEGO, ev::CF_CONN_CO, t30_nego_rq_2, fsm::by_action},
    {st::FAX_T30_DIS_DCS_NEGO, ev::CF_INFO_IN, give_t30_info_to_user, fsm::by_action},
    {st::FAX_T30_DIS_DCS_NEGO, ev::CF_CAPBILITY_CO, process_cf_cap_co__start_sending_fax_page, fsm::by_action},
    {st::FAX_T30_DIS_DCS_NEGO, ev::CF_CAPBILITY_IN, process_cf_capability_in, fsm::keep},
    {st::FAX_T30_DIS_DCS_NEGO, ev::CF_DATA_MSG, no_action, fsm::keep},
    {st::FAX_T30_DIS_DCS_NEGO, ev::CF_MAJR_SYNC_CO, fax_eom_process__start_reneg, fsm::by_action},
    {st::FAX_T30_DIS_DCS_NEGO, ev::CF_DISC_IN, disconnect_in_co, st::FAX_STOP_SESSION},
    {st::FAX_T30_DIS_DCS_NEGO, ev::STOP_CONNECTION, fax_user_disconnect_rq, st::FAX_STOP_SESSION},
    {st::FAX_T30_DIS_DCS_NEGO, ev::ACU_CLEAR_CO, no_action, fsm::keep},
    {st::FAX_T30_DIS_DCS_NEGO, ev::ACU_CLEAR_IN, no_action, fsm::keep},
    {st::FAX_T30_DIS_DCS_NEGO, ev::FC_INIT_PG_CONV_CO, no_action, fsm::keep},
    {st::FAX_T30_DIS_DCS_NEGO, ev::FC_DATA_MSG, no_action, fsm::keep},
    {st::FAX_T30_DIS_DCS_NEGO, ev::FC_STOP_PG_CONV_CO, no_action, fsm::keep},
    {st::FAX_T30_DIS_DCS_NEGO, ev::FC_STOP_PG_CONV_IN, no_action, fsm::keep},

    {st::FAX_PAGE, ev::CF_CONN_CO, check_cf_conn_co, fsm::by_action},
    {st::FAX_PAGE, ev::CF_INFO_IN, give_t30_info_to_user, fsm::by_action},
    {st::FAX_PAGE, ev::CF_CAPBILITY_CO, no_action, fsm::keep},
    {st::FAX_PAGE, ev::CF_DATA_MSG, fax_pg_processing, fsm::by_action},
    {st::FAX_PAGE, ev::CF_DISC_IN, disconnect_in_co, st::FAX_STOP_SESSION},
    {st::FAX_PAGE, ev::STOP_CONNECTION, fax_user_disconnect_rq, st::FAX_STOP_SESSION},
    {st::FAX_PAGE, ev::ACU_CLEAR_CO, no_action, fsm::keep},
    {st::FAX_PAGE, ev::ACU_CLEAR_IN, no_action, fsm::keep},
    {st::FAX_PAGE, ev::FC_INIT_PG_CONV_CO, start_fax_pg_conversion, fsm::by_action},
    {st::FAX_PAGE, ev::FC_DATA_MSG, fax_pg_conv_processing, fsm::by_action},
    {st::FAX_PAGE, ev::FC_STOP_PG_CONV_CO, process_fc__stop_pg_conv_co, fsm::keep},
    {st::FAX_PAGE, ev::FC_STOP_PG_CONV_IN, process_fc__stop_pg_conv_in, fsm::keep},

    {st::FAX_END_OF_SND_PAGE, ev::CF_SETPARM_CO, no_action, fsm::keep},
    {st::FAX_END_OF_SND_PAGE, ev::CF_CONN_CO, check_cf_conn_co, fsm::by_action},
    {st::FAX_END_OF_SND_PAGE, ev::CF_INFO_IN, no_action, fsm::keep},
    {st::FAX_END_OF_SND_PAGE, ev::CF_CAPBILITY_CO, no_action, fsm::keep},
    {st::FAX_END_OF_SND_PAGE, ev::CF_DATA_MSG, no_action, fsm::keep},
    {st::FAX_END_OF_SND_PAGE, ev::CF_MAJR_SYNC_CO, fax_mps_process__start_sending_fax_page, fsm::by_action},
    {st::FAX_END_OF_SND_PAGE, ev::CF_DISC_IN, disconnect_in_co, st::FAX_STOP_SESSION},
    {st::FAX_END_OF_SND_PAGE, ev::STOP_CONNECTION, fax_user_disconnect_rq, st::FAX_STOP_SESSION},
    {st::FAX_END_OF_SND_PAGE, ev::ACU_CLEAR_CO, no_action, fsm::keep},
    {st::FAX_END_OF_SND_PAGE, ev::ACU_CLEAR_IN, no_action, fsm::keep},
    {st::FAX_END_OF_SND_PAGE, ev::FC_INIT_PG_CONV_CO, no_action, fsm::keep},
    {st::FAX_END_OF_SND_PAGE, ev::FC_DATA_MSG, fax_pg_conv_processing, fsm::by_action},
    {st::FAX_END_OF_SND_PAGE, ev::FC_STOP_PG_CONV_CO, process_fc__stop_pg_conv_co, fsm::keep},
    {st::FAX_END_OF_SND_PAGE, ev::FC_STOP_PG_CONV_IN, process_fc__stop_pg_conv_in, fsm::keep},

    {st::FAX_STOP_SESSION, ev::ACU_CONN_CO, no_action, fsm::keep},
    {st::FAX_STOP_SESSION, ev::CF_CONN_CO, check_cf_conn_co, fsm::by_action},
    {st::FAX_STOP_SESSION, ev::CF_INFO_IN, no_action, fsm::keep},
    {st::FAX_STOP_SESSION, ev::CF_CAPBILITY_CO, no_action, fsm::keep},
    {st::FAX_STOP_SESSION, ev::CF_CAPBILITY_IN, no_action, fsm::keep},
    {st::FAX_STOP_SESSION, ev::CF_DATA_MSG, no_action, fsm::keep},
    {st::FAX_STOP_SESSION, ev::CF_MAJR_SYNC_CO, fax_eop_process__RTN_start_sending_fax_page, fsm::by_action},
    {st::FAX_STOP_SESSION, ev::CF_DISC_IN, disconnect_in_co, st::FAX_STOP_SESSION},
    {st::FAX_STOP_SESSION, ev::CF_DISC_CO, disconnect_in_co, st::FAX_STOP_SESSION},
    {st::FAX_STOP_SESSION, ev::TI_WAIT_EOF_T30_SESSION, send_cf_stop_rq, st::FAX_STOP_SESSION},
    {st::FAX_STOP_SESSION, ev::CF_STOP_CO, stop_acu_v25, st::FAX_STOP_SESSION},
    {st::FAX_STOP_SESSION, ev::STOP_CONNECTION, update_ti_wait_eof_t30_session, fsm::keep},
    {st::FAX_STOP_SESSION, ev::ACU_CLEAR_CO, no_action, st::IDLE},
    {st::FAX_STOP_SESSION, ev::ACU_CLEAR_IN, no_action, fsm::keep},
    {st::FAX_STOP_SESSION, ev::FC_INIT_PG_CONV_CO, no_action, fsm::keep},
    {st::FAX_STOP_SESSION, ev::FC_DATA_MSG, no_action, fsm::keep},
    {st::FAX_STOP_SESSION, ev::FC_STOP_PG_CONV_CO, no_action, fsm::keep},
    {st::FAX_STOP_SESSION, ev::FC_STOP_PG_CONV_IN, no_action, fsm::keep},
};
constexpr auto kTable = fsm::compile(kRows, fsm::cell<action>{error_process, fsm::kKeep});
constexpr auto kPlainRows = fsm::plain(kRows);
// The states that by_action rows lead to.
constexpr u8 kActionTargets[] = {FAX_IDLE, FAX_START_SESSION,   FAX_CNF_SESSION, FAX_T30_DIS_DCS_NEGO,
                                 FAX_PAGE, FAX_END_OF_SND_PAGE, FAX_STOP_SESSION};

constexpr const char* kStateNames[FAX_STATE_COUNT] = {
    "IDLE",     "FAX_WAIT_V25_CONN",   "FAX_START_SESSION", "FAX_CNF_SESSION", "FAX_T30_DIS_DCS_NEGO",
    "FAX_PAGE", "FAX_END_OF_SND_PAGE", "FAX_STOP_SESSION"};

// The event of a message; none when it is none of the automaton's.
std::optional<ev> event_of(const msg_t* m) {
  if (m->from == ENT_ACU) {
    switch (m->code) {
      case ACU_CONN_CO: return ev::ACU_CONN_CO;
      case ACU_CLEAR_CO: return ev::ACU_CLEAR_CO;
      case ACU_CLEAR_IN: return ev::ACU_CLEAR_IN;
      default: return std::nullopt;
    }
  }
  if (m->from == ENT_CF) {
    switch (m->code) {
      case CF_INIT_CO: return ev::CF_INIT_CO;
      case CF_SETPARM_CO: return ev::CF_SETPARM_CO;
      case CF_CONN_CO: return ev::CF_CONN_CO;
      case CF_INFO_IN: return ev::CF_INFO_IN;
      case CF_CAPBILITY_CO: return ev::CF_CAPBILITY_CO;
      case CF_CAPBILITY_IN: return ev::CF_CAPBILITY_IN;
      case CF_BUSY_IN:
      case CF_INT_SYNC_CO:
      case CF_CLR_BUSY_IN:
      case CF_DA_IN:
      case CF_MAJR_SYNC_IN: return ev::CF_DATA_MSG;
      case CF_MAJR_SYNC_CO: return ev::CF_MAJR_SYNC_CO;
      case CF_DISC_IN: return ev::CF_DISC_IN;
      case CF_DISC_CO: return ev::CF_DISC_CO;
      case CF_STOP_CO: return ev::CF_STOP_CO;
      default: return std::nullopt;
    }
  }
  if (m->from == ENT_TI)
    return m->code == FAX__TI_WAIT_EOF_T30_SESSION ? std::optional{ev::TI_WAIT_EOF_T30_SESSION} : std::nullopt;
  if (m->from == ENT_FC) {
    switch (m->code) {
      case 'a': return ev::FC_INIT_PG_CONV_CO;
      case 'd':
      case 's': return ev::FC_DATA_MSG;
      case 'b': return ev::FC_STOP_PG_CONV_CO;
      case 'C': return ev::FC_STOP_PG_CONV_IN;
      default: return std::nullopt;
    }
  }
  return std::nullopt;
}

std::optional<ev> event_of_request(u16 rq) {
  switch (rq) {
    case FAX_AUTO__MDM_SETPARM_RQ: return ev::MDM_SETPARM;
    case FAX_AUTO__STOP_CONNECTION_RQ: return ev::STOP_CONNECTION;
    case FAX_AUTO__START_FAX_ORG_RQ: return ev::START_FAX_ORG;
    case FAX_AUTO__START_FAX_ANS_RQ: return ev::START_FAX_ANS;
    default: return std::nullopt;
  }
}

// The end of a session: FAX__DEA_CO (a stop was asked) or FAX__DEA_IN.
u8 send_end_of_session(fax_auto__session* s) {
  std::vector<u8> body(FAX_DEA_SIZE, 0);
  body[0] = s->end_status;
  body[1] = s->end_cause;
  body[2] = s->end_source;
  std::memcpy(body.data() + 4, s->status.data(), FAX_SESSION_STATUS_SIZE);
  if (!fax_send_new(s->user, s->nai, FAX_SAPI, 0xFFFF, s->stop_requested ? FAX__DEA_CO : FAX__DEA_IN, body.data(),
                    FAX_DEA_SIZE)) {
    om_os_trap(742);
    return OM_OS_NOK;
  }
  s->user = ENT_NIL;
  return OM_OS_OK;
}

}  // namespace

const char* fax_state_name(u8 state) { return state < FAX_STATE_COUNT ? kStateNames[state] : "??"; }

void fax_auto__send_cf(fax_auto__session* s, code_t code) {
  u8 d[60] = {};
  u32 n = 0;
  switch (code) {
    case CF_INIT_RQ: {
      n = 60;
      d[3] = s->direction;
      d[4] = 'F';
      const fax_config_view c = s->config();
      d[56] = c.byte(fax_cfg::CF_FLAG) == 1 ? c.byte(fax_cfg::CF_VALUE) : 0;
      break;
    }
    case CF_STOP_RQ: n = 3; break;
    case CF_MAJR_SYNC_RS:
      n = 16;
      d[4] = s->verdict == FAX_UE_MEDIUM ? 'M' : s->verdict == FAX_UE_BAD ? 'B' : 'G';
      break;
    case CF_CAPBILITY_RQ:
    case CF_CAPBILITY_RS: n = 4; break;
    default: n = 0; break;
  }
  if (!fax_send_new(ENT_CF, s->nai, CF_SAPI, 0, code, d, n)) om_os_trap(742);
}

// Defined here to see the state helpers; declared above for the actions.
namespace {
void send_setparm(step& t, fax_auto__session* s) {
  u8 rec[CF_SETPARM_SIZE] = {};
  u8 event;
  if (s->page_direction == 1)
    event = s->state == FAX_START_SESSION ? FAX_AUTO__EVT_FAX_PARAM_ORG : FAX_AUTO__EVT_FAX_MORE_PARAM__TX;
  else event = s->state == FAX_START_SESSION ? FAX_AUTO__EVT_FAX_PARAM_ANS : FAX_AUTO__EVT_FAX_MORE_PARAM__RX;
  u32 len = CF_SETPARM_SIZE;
  const u8 r = fax_auto__user_event_fn(event, rec, &len, nullptr, 0, 0, s);
  if (r == FAX_UE_FAILED) {
    set_state(t, s, FAX_STOP_SESSION);
    user_disconnect(s);
    return;
  }
  if (r == FAX_UE_POLLING) s->page_direction = 3;
  rec[3] = 'P';
  rec[4] = 1;
  if (!fax_send_new(ENT_CF, s->nai, CF_SAPI, 0, CF_SETPARM_RQ, rec, CF_SETPARM_SIZE)) om_os_trap(742);
}
}  // namespace

namespace {
constexpr const char* kEventNames[FAX_EVENT_COUNT] = {"FAX_AUTO__MDM_SETPARM",
                                                      "FAX_AUTO__START_FAX_ORG",
                                                      "FAX_AUTO__START_FAX_ANS",
                                                      "ACU_CONN_CO",
                                                      "CF_INIT_CO",
                                                      "CF_SETPARM_CO",
                                                      "CF_CONN_CO",
                                                      "CF_INFO_IN",
                                                      "CF_CAPBILITY_CO",
                                                      "CF_CAPBILITY_IN",
                                                      "CF_DATA_MSG",
                                                      "CF_MAJR_SYNC_CO",
                                                      "CF_DISC_IN",
                                                      "CF_DISC_CO",
                                                      "FAX__TI_WAIT_EOF_T30_SESSION",
                                                      "CF_STOP_CO",
                                                      "FAX_AUTO__STOP_CONNECTION",
                                                      "ACU_CLEAR_CO",
                                                      "ACU_CLEAR_IN",
                                                      "FC__INIT_PG_CONV_CO",
                                                      "FC__DATA_MSG",
                                                      "FC__STOP_PG_CONV_CO",
                                                      "FC__STOP_PG_CONV_IN"};

// The step's trace record (FAX__DBG_AUTO): written to the trace ring and
// the message audit, never sent.
void trace_step(fax_auto__session* s, u8 e, u8 old, u8 now, const char* action_name) {
  const u32 room = om_os_get_buffer_room();
  std::vector<u8> d(room, 0);
  d[0] = static_cast<u8>(e * 8);
  d[1] = old;
  d[2] = now;
  d[3] = static_cast<u8>('a' + e);
  d[4] = static_cast<u8>('a' + old);
  char* text = reinterpret_cast<char*>(d.data() + 5);
  const size_t max = room > 17 ? room - 17 : 0;
  (void)std::snprintf(text, max + 1, "Evt: %s  Cur state: %s  New state: %s  Branch (%c%c) Func: %s", kEventNames[e],
                      fax_state_name(old), fax_state_name(now), 'a' + e, 'a' + old, action_name);
  const u32 n = static_cast<u32>(std::strlen(text)) + 6;
  msg_t* m = Alloc_msg();
  if (!m) return;
  if (!fax_attach_copy(m, {d.data(), n})) return;
  Msg_set_head(m, {ENT_FAX, ENT_FAX, FAX__DBG_AUTO, s->nai, 20, 0xFFFF});
  om_os_trace_record('X', m);
  Free_msg(m);
}
}  // namespace

u8 fax_auto__run(msg_t* m, u16 user_request, fax_auto__session* s) {
  const std::optional<ev> e = user_request ? event_of_request(user_request) : (m ? event_of(m) : std::nullopt);
  if (!e) return OM_OS_NOK;
  const u8 old = s->state;
  const auto* c = kTable.find(old, static_cast<u8>(*e));
  if (!c) return OM_OS_NOK;
  step t;
  c->action(t, m, s);
  s->state = fsm::next_of(*c, s->state);
  const u8 now = s->state;
  trace_step(s, static_cast<u8>(*e), old, now, t.name);
  if (now != old && now == FAX_IDLE) {
    abort_conversion(s);  // the converter's page is free for the next session
    fax_auto__user_event_fn(FAX_AUTO__EVT_IDLE, nullptr, nullptr, nullptr, 0, 0, s);
    if (s->user != ENT_NIL) return send_end_of_session(s);
  }
  return OM_OS_OK;
}

kv::fsm::machine_view fax_auto__machine() {
  return {"fax automaton", FAX_STATE_COUNT, FAX_EVENT_COUNT, FAX_IDLE, kPlainRows, kActionTargets, {}};
}
