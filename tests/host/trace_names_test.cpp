// The message trace names every entity's messages from the vocabulary that
// the entity's table row brings along, as tessaly registers them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fax/fax_entity.h"
#include "runtime/dcod.h"
#include "session/app/app_foip.h"
#include "session/foip/app_foip_prim.h"
#include "session/foip/foip.h"
#include "session/foip/foip_ctx.h"
#include "sip/prim/ssc_codes.h"
#include "sip/ssc/ssc_handler.h"

namespace {

std::string line_of(ent_id_t from, ent_id_t to, code_t code, const std::vector<u8>& data, u8 sapi = 3) {
  dcod__msg_view v;
  v.from = from;
  v.to = to;
  v.code = code;
  v.nai = 1;
  v.sapi = sapi;
  v.conn_id = 2;
  v.data = data.data();
  v.length = static_cast<u32>(data.size());
  char line[300] = "";
  dcod__format_view(v, line, sizeof line, 64);
  return line;
}

TEST(TraceNames, EachEntityRowBringsItsVocabulary) {
  dcod__init();
  const entity_table_row_t rows[] = {SSC_ENTITY_ROW, FOIP_ENTITY_ROW, APP_FOIP_ENTITY_ROW, FAX_ENTITY_ROW};
  for (const entity_table_row_t& r : rows) {
    ASSERT_NE(r.names, nullptr) << static_cast<char>(r.id);
    dcod__register_vocabulary(static_cast<ent_id_t>(r.id), r.names);
  }
  const std::vector<u8> none;
  const std::vector<u8> seq = {7, 0};
  const std::vector<u8> step = {1, 2, 3, 'A', 'B', 'i', 'd', 'l', 'e', 0, 9};
  const std::vector<u8> debug = {1, 2, 3, 4, 5, 'p', 'g', ' ', '1', 0x1b, 0, 'x'};
  const struct {
    const char* what;
    std::string got;
    const char* want;
  } cases[] = {
      {"SSC primitive", line_of(ENT_FOIP, ENT_SSC, SSC_INVITE_RQ, none), "FOI-SSC|SSC_INVITE_RQ  |   1: 3:   2|0:"},
      {"SSC name cut to its field", line_of(ENT_SSC, ENT_FOIP, SESS_CLOSED_IN, none),
       "SSC-FOI|SSC_SESSION_CLO|   1: 3:   2|0:"},
      {"FOIP timer", line_of(ENT_TI, ENT_FOIP, FOIP__TI_LAUNCH_FAX, seq),
       "TI -FOI|TI_LAUNCH_FAX  |   1: 3:   2|2: Seq nb = 7"},
      {"FOIP internal message sharing a user code", line_of(ENT_FOIP, ENT_FOIP, FOIP_MGT__SIP_CALL_CLOSED, none),
       "FOI-FOI|FOIP_MGT__SIP_C|   1: 3:   2|0:"},
      {"FOIP automaton step as text", line_of(ENT_FOIP, ENT_FOIP, AUTO_FOIP_MGT, step),
       "FOI-FOI|AUTO_FOIP_MGT  |   1: 3:   2|11:idle"},
      {"FOIP API primitive, named by the application", line_of(ENT_APP_FOIP, ENT_FOIP, FOIP__START_RQ, none),
       "APP-FOI|FOIP__START_RQ |   1: 3:   2|0:"},
      {"application timer", line_of(ENT_TI, ENT_APP_FOIP, 'd', seq),
       "TI -APP|TI_DELAYED_STAR|   1: 3:   2|2: Seq nb = 7"},
      {"fax debug text", line_of(ENT_FAX, ENT_FAX, 'D', debug, 20), "FAX-FAX|FAX__DBG_AUTO  |   1:14:   2|12: pg 1."},
      {"fax message on another SAP", line_of(ENT_FAX, ENT_FAX, 'D', debug, 19),
       "FAX-FAX|'D'            |   1:13:   2|12: 01 02 03 04 05 70 67 20 31 1b 00 78"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.want) << c.what;
  for (const entity_table_row_t& r : rows) dcod__register_vocabulary(static_cast<ent_id_t>(r.id), nullptr);
}

}  // namespace
