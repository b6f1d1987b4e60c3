// The transaction slot's rows.
#include "sip/ent/sip_slot_sm.h"

namespace {

namespace fsm = kv::fsm;
using S = sip_slot_st;
using E = sip_slot_ev;

// The slot's state is all there is to change: the rows carry no action.
struct none {};
using slot_row = fsm::row<S, E, none>;
constexpr auto keep = fsm::keep;

// A response to our INVITE moves the slot from whatever it was, but once a
// 2xx came the slot stays accepted (later 2xx are other forks).
constexpr slot_row kRows[] = {
    {S::free, E::request_sent, {}, S::calling},
    {S::free, E::answer_sent, {}, S::completed},

    {S::calling, E::provisional, {}, S::proceeding},
    {S::calling, E::final_2xx, {}, S::accepted},
    {S::calling, E::final_failure, {}, S::completed},
    {S::calling, E::released, {}, S::free},

    {S::proceeding, E::provisional, {}, keep},
    {S::proceeding, E::final_2xx, {}, S::accepted},
    {S::proceeding, E::final_failure, {}, S::completed},
    {S::proceeding, E::released, {}, S::free},

    {S::completed, E::ack_sent, {}, S::ack_sent},
    {S::completed, E::provisional, {}, S::proceeding},
    {S::completed, E::final_2xx, {}, S::accepted},
    {S::completed, E::final_failure, {}, keep},
    {S::completed, E::released, {}, S::free},

    {S::ack_sent, E::ack_sent, {}, keep},
    {S::ack_sent, E::provisional, {}, S::proceeding},
    {S::ack_sent, E::final_2xx, {}, S::accepted},
    {S::ack_sent, E::final_failure, {}, S::completed},
    {S::ack_sent, E::released, {}, S::free},

    {S::accepted, E::ack_sent, {}, keep},
    {S::accepted, E::released, {}, S::free},
};

constexpr auto kTable = fsm::compile(kRows, fsm::cell<none>{{}, fsm::kKeep});
constexpr auto kPlain = fsm::plain(kRows);

}  // namespace

u8 sip_slot_next(u8 state, sip_slot_ev e) {
  const auto* cell = kTable.find(state, static_cast<u8>(e));
  return cell != nullptr ? fsm::next_of(*cell, state) : state;
}

kv::fsm::machine_view sip_slot_machine() {
  return {"sip slot", fsm::count_of<S>, fsm::count_of<E>, static_cast<u8>(S::free), kPlain, {}, {}};
}
