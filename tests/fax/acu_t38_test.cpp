// The V.25 call set-up service of two stacks over the IAF signal service of
// two T.38 sessions back to back (virtual clock): the caller sends CNG and
// connects when the answerer's CED arrives; the answerer connects once its
// CED has been sent.
#include <gtest/gtest.h>

#include "common/byte_order.h"
#include "fax/acu.h"
#include "fax/support/fm_t38_loop.h"
#include "runtime/sm.h"
#include "runtime/support/rt_harness.h"

namespace fm_test {
namespace {

std::vector<u8> acu_record(nai_t nai) {
  std::vector<u8> r(ACU_HEADER_SIZE + ACU_ENTRY_SIZE, 0);
  put_le16(r.data() + 4, 1);
  u8* e = r.data() + ACU_HEADER_SIZE;
  put_le16(e, nai);
  e[2] = ENT_T38;
  e[3] = 18;
  put_le32(e + 16, 300);    // 'I' delay
  put_le32(e + 20, 6000);   // inter-call
  put_le32(e + 56, 20000);  // watchdog
  put_le32(e + 64, 500);    // answer delay
  put_le32(e + 68, 0);      // no hold after CED
  return r;
}

class AcuOverT38 : public FmT38Loop {
 protected:
  void configure(nai_t nai) {
    msg_t* m = Alloc_msg();
    const std::vector<u8> body = acu_record(nai);
    Msg_attach_chain(m, Store_data_in_buffers(body.data(), static_cast<u32>(body.size()), nullptr));
    m->from = ENT_SM;
    m->to = ENT_ACU;
    m->code = SM_CONFIG_RQ;
    m->nai = 0;
    m->sapi = 0;
    m->conn_id = OM_OS_CONN_NONE;
    Send_msg(m);
    rt_test::pump();
  }
  static std::vector<rt_test::seen_msg> to_fax(nai_t nai, code_t code) {
    std::vector<rt_test::seen_msg> out;
    for (const auto& m : rt_test::rec().messages())
      if (m.to == ENT_FAX && m.nai == nai && m.code == code) out.push_back(m);
    return out;
  }
};

TEST_F(AcuOverT38, CallSetUpWithCngAndCed) {
  configure(kCaller);
  configure(kAnswerer);
  run_until([] { return false; }, 500);  // start-up strings
  rt_test::rec().clear();
  Send_msg(rt_test::make_msg(ENT_FAX, ENT_ACU, ACU_CONN_RS, {0, 'F', 0, 0, 0, 0, 0, 0, 0, 0}, kAnswerer, 1));
  Send_msg(rt_test::make_msg(ENT_FAX, ENT_ACU, ACU_CONN_RQ, {0, 0, 'F', 0, 0, 0, 0, 0, 0, 0, 0, 0}, kCaller, 1));
  const uint32_t used =
      run_until([] { return !to_fax(kCaller, ACU_CONN_CO).empty() && !to_fax(kAnswerer, ACU_CONN_CO).empty(); }, 20000);
  ASSERT_EQ(to_fax(kCaller, ACU_CONN_CO).size(), 1u);
  ASSERT_EQ(to_fax(kAnswerer, ACU_CONN_CO).size(), 1u);
  EXPECT_EQ(to_fax(kCaller, ACU_CONN_CO)[0].data[0], 'F');
  EXPECT_GE(used, 500u) << "CED waits for the answer delay";
  EXPECT_TRUE(to_fax(kCaller, ACU_CLEAR_IN).empty());
}

TEST_F(AcuOverT38, NoAnswerEndsWithTheWatchdog) {
  configure(kCaller);
  run_until([] { return false; }, 500);
  rt_test::rec().clear();
  Send_msg(rt_test::make_msg(ENT_FAX, ENT_ACU, ACU_CONN_RQ, {0, 0, 'F', 0, 0, 0, 0, 0, 0, 0, 0, 0}, kCaller, 1));
  run_until([] { return !to_fax(kCaller, ACU_CLEAR_IN).empty(); }, 25000);
  ASSERT_EQ(to_fax(kCaller, ACU_CLEAR_IN).size(), 1u);
  EXPECT_EQ(to_fax(kCaller, ACU_CLEAR_IN)[0].data[0], 't');
  EXPECT_TRUE(to_fax(kCaller, ACU_CONN_CO).empty());
}

}  // namespace
}  // namespace fm_test
