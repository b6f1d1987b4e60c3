// Names of the FOIP API primitives (between ENT_APP_FOIP and ENT_FOIP, whose
// interface the application owns in the trace) and of the application's
// timers, for the message trace.
#include "runtime/dcod.h"
#include "session/app/app_foip.h"
#include "session/app/app_foip_session.h"
#include "session/foip/app_foip_prim.h"

namespace {

constexpr dcod__name kApiNames[] = {{FOIP__SET_CONFIG_RQ, "FOIP_SET_CNF_RQ"},
                                    {FOIP__SET_CONFIG_CO, "FOIP_SET_CNF_CO"},
                                    {FOIP__RESET_CONFIG_RQ, "FOIP_RST_CNF_RQ"},
                                    {FOIP__RESET_CONFIG_CO, "FOIP_RST_CNF_CO"},
                                    {FOIP__T38_CAPABILITIES_RQ, "FOIP__T38_CAPABILITIES_RQ"},
                                    {FOIP__T38_CAPABILITIES_CO, "FOIP__T38_CAPABILITIES_CO"},
                                    {FOIP__START_RQ, "FOIP__START_RQ"},
                                    {FOIP__START_CO, "FOIP__START_CO"},
                                    {FOIP__STOP_RQ, "FOIP__STOP_RQ"},
                                    {FOIP__STOP_CO, "FOIP__STOP_CO"},
                                    {FOIP__STOP_IN, "FOIP__STOP_IN"},
                                    {FOIP__ALERT_IN, "FOIP__ALERT_IN"},
                                    {FOIP__ALERT_RS, "FOIP__ALERT_RS"},
                                    {FOIP__REPORT_IN, "FOIP__REPORT_IN"},
                                    {FOIP__SIP_REGISTER_RQ, "FOIP__SIP_REGISTER_RQ"},
                                    {FOIP__SIP_REGISTER_CO, "FOIP__SIP_REGISTER_CO"},
                                    {FOIP__SIP_UNREGISTER_RQ, "FOIP__SIP_UNREGISTER_RQ"},
                                    {FOIP__SIP_UNREGISTER_CO, "FOIP__SIP_UNREGISTER_CO"},
                                    {DCOD__END, nullptr}};

constexpr dcod__name kTimers[] = {{APP_FOIP__TI_DELAYED_START, "TI_DELAYED_START"},
                                  {APP_FOIP__TI_USER_EVT, "TI_USER_EVT"},
                                  {APP_FOIP__TI_IPC, "TI_IPC"},
                                  {DCOD__END, nullptr}};

}  // namespace

const dcod__vocabulary app_foip_vocabulary = {kApiNames, nullptr, kTimers};
