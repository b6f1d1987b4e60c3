// Names of the SSC primitives for the message trace.
#include "runtime/dcod.h"
#include "sip/prim/ssc_codes.h"
#include "sip/ssc/ssc_handler.h"

namespace {

constexpr dcod__name kSscNames[] = {{SSC_SM_RQ, "SSC_SM_RQ"},
                                    {SSC_SM_ANSWER, "SSC_SM_ANSWER"},
                                    {SSC_SET_PARM_RQ, "SSC_SET_PARM_RQ"},
                                    {SSC_SET_PARM_CO, "SSC_SET_PARM_CO"},
                                    {SSC_PROF_REG_RQ, "SSC_PROF_REG_RQ"},
                                    {SSC_PROF_REG_CO, "SSC_PROF_REG_CO"},
                                    {SSC_PROF_REM_RQ, "SSC_PROF_REM_RQ"},
                                    {SSC_PROF_REM_CO, "SSC_PROF_REM_CO"},
                                    {SSC_ERROR_IN, "SSC_ERROR_IN"},
                                    {SSC_INVITE_RQ, "SSC_INVITE_RQ"},
                                    {SSC_INVITE_RS, "SSC_INVITE_RS"},
                                    {SSC_INVITE_CO, "SSC_INVITE_CO"},
                                    {SSC_INVITE_IN, "SSC_INVITE_IN"},
                                    {SSC_ACK_RQ, "SSC_ACK_RQ"},
                                    {SSC_ACK_IN, "SSC_ACK_IN"},
                                    {SSC_OPTIONS_RQ, "SSC_OPTIONS_RQ"},
                                    {SSC_OPTIONS_RS, "SSC_OPTIONS_RS"},
                                    {SSC_OPTIONS_CO, "SSC_OPTIONS_CO"},
                                    {SSC_OPTIONS_IN, "SSC_OPTIONS_IN"},
                                    {SSC_BYE_RQ, "SSC_BYE_RQ"},
                                    {SSC_BYE_RS, "SSC_BYE_RS"},
                                    {SSC_BYE_CO, "SSC_BYE_CO"},
                                    {SSC_BYE_IN, "SSC_BYE_IN"},
                                    {SSC_CANCEL_RQ, "SSC_CANCEL_RQ"},
                                    {SSC_CANCEL_RS, "SSC_CANCEL_RS"},
                                    {SSC_CANCEL_CO, "SSC_CANCEL_CO"},
                                    {SSC_CANCEL_IN, "SSC_CANCEL_IN"},
                                    {SSC_REGISTER_RQ, "SSC_REGISTER_RQ"},
                                    {SSC_REGISTER_RS, "SSC_REGISTER_RS"},
                                    {SSC_REGISTER_CO, "SSC_REGISTER_CO"},
                                    {SSC_REGISTER_IN, "SSC_REGISTER_IN"},
                                    {CLOSE_SESS_RQ, "SSC_CLOSE_SESSION_RQ"},
                                    {CLOSE_SESS_RS, "SSC_CLOSE_SESSION_RS"},
                                    {CLOSE_SESS_CO, "SSC_CLOSE_SESSION_CO"},
                                    {CALL_CLOSED_IN, "SSC_CALL_CLOSED_IN"},
                                    {SESS_CLOSED_IN, "SSC_SESSION_CLOSED_IN"},
                                    {SSC_LOCAL_ADDR_RQ, "SSC_LOCAL_ADDR_RQ"},
                                    {SSC_LOCAL_ADDR_RS, "SSC_LOCAL_ADDR_RS"},
                                    {DCOD__END, nullptr}};

}  // namespace

const dcod__vocabulary ssc_vocabulary = {kSscNames, nullptr, nullptr};
