#include "host/support/foip_standin.h"

#include <atomic>
#include <cstdio>
#include <memory>

#include "common/program_log.h"
#include "host/host.h"
#include "session/foip/app_foip_prim.h"

namespace {

std::atomic<FoipStandinMode> g_mode{FoipStandinMode::kRefuseStarts};

template <class T>
void answer(code_t code, const msg_t* m, const T& record) {
  foip_api__addr a;
  a.from = ENT_FOIP;
  a.to = ENT_APP_FOIP;
  a.nai = m->nai;
  a.sapi = m->sapi;
  a.conn_id = m->conn_id;
  if (foip_api__send_record(a, code, record) != FOIP_API__OK)
    ProgramLog(5, "FOIP stand-in - answer '%c' not sent", char(code));
}

void refuse_start(const msg_t* m) {
  auto r = std::make_unique<foip__start>();
  r->confirm.return_code = 3;
  std::snprintf(r->confirm.sz_error_source, sizeof r->confirm.sz_error_source, "FOIP stand-in");
  std::snprintf(r->confirm.sz_error_code, sizeof r->confirm.sz_error_code, "FOIP entity not available");
  answer(FOIP__START_CO, m, *r);
}

void open_call(const msg_t* m) {
  auto r = std::make_unique<foip__report>();
  r->kind_of_report = FOIP__REPORT__EVT;
  r->kind = FOIP__EVENT__SIP_CALL_OPEN;
  r->body.call_open.sip_ret_code = 200;
  r->body.call_open.local.kind = 1;
  std::snprintf(r->body.call_open.local.sz_phone_number, sizeof r->body.call_open.local.sz_phone_number, "0123");
  answer(FOIP__REPORT_IN, m, *r);
}

}  // namespace

void foip_standin__set_mode(FoipStandinMode mode) { g_mode = mode; }

void foip_standin__use(HostOptions& o, FoipStandinMode mode) {
  foip_standin__set_mode(mode);
  o.foip_row = FOIP_STANDIN_ENTITY_ROW;
}

void foip_standin_handler(msg_t* m) {
  switch (m->code) {
    case FOIP__SET_CONFIG_RQ: {
      auto r = std::make_unique<foip__set_config>();
      r->confirm.return_code = FOIP__RC_OK;
      ProgramLog(3, "FOIP stand-in - configuration accepted; sessions will not start");
      answer(FOIP__SET_CONFIG_CO, m, *r);
      break;
    }
    case FOIP__T38_CAPABILITIES_RQ: {
      foip__t38_capabilities r{};
      r.confirm.return_code = FOIP__RC_OK;
      r.cap.udptl_param.t38_version = 0;
      answer(FOIP__T38_CAPABILITIES_CO, m, r);
      break;
    }
    case FOIP__START_RQ:
      if (g_mode == FoipStandinMode::kRefuseStarts) refuse_start(m);
      else open_call(m);
      break;
    case FOIP__STOP_RQ: {
      auto r = std::make_unique<foip__stop>();
      r->confirm.return_code = FOIP__RC_OK;
      answer(FOIP__STOP_CO, m, *r);
      break;
    }
    case FOIP__SIP_REGISTER_RQ: {
      auto r = std::make_unique<foip__sip_register>();
      r->confirm.return_code = 3;
      answer(FOIP__SIP_REGISTER_CO, m, *r);
      break;
    }
    case FOIP__SIP_UNREGISTER_RQ: {
      foip__sip_unregister r{};
      r.confirm.return_code = FOIP__RC_OK;
      answer(FOIP__SIP_UNREGISTER_CO, m, r);
      break;
    }
    case FOIP__RESET_CONFIG_RQ: answer(FOIP__RESET_CONFIG_CO, m, foip__reset_config{}); break;
    default: break;
  }
  Free_msg(m);
}
