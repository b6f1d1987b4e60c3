// The rows of every protocol machine of the session folder: each row
// reachable, no two rows for one cell, every next state known.
#include <gtest/gtest.h>

#include <string>

#include "runtime/automaton.h"
#include "session/app/app_foip_session.h"
#include "session/foip/foip_call.h"
#include "session/foip/foip_ctx.h"
#include "session/foip/foip_fax.h"
#include "session/foip/foip_sip_mgt.h"
#include "session/foip/foip_t38_mgt.h"

namespace {

namespace fsm = kv::fsm;

TEST(SessionMachines, EveryMachineHasSoundRows) {
  const struct {
    fsm::machine_view view;
    std::size_t states;  // as the traces number them
  } machines[] = {
      {app_foip__session_machine(), APP_FOIP__NB_STATES},
      {foip_mgt__machine(), FOIP_MGT__SIP_CLOSE_PROGRESS + 1u},
      {foip_call__machine(), FOIP_CALL__NB_STATES},
      {ssc_mgt__machine(), SIP_MGT__WAIT_SSC_RESET + 1u},
      {sip_register__machine(), SIP_REGISTER__UNREGISTER_ANSWERED + 1u},
      {t38_mgt__machine('U'), T38_MGT__UDP_NB_STATES},
      {t38_mgt__machine('T'), T38_MGT__TCP_NB_STATES},
      {foip_fax__machine(), FOIP_FAX__RESET_CONFIG + 1u},
  };
  for (const auto& m : machines) {
    EXPECT_EQ(m.view.states, m.states) << m.view.name;
    EXPECT_FALSE(m.view.rows.empty()) << m.view.name;
    std::string all;
    for (const std::string& fault : fsm::check(m.view)) all += fault + "\n";
    EXPECT_TRUE(all.empty()) << all;
  }
}

}  // namespace
