// Network simulation on the receive side of a UDP session: bursts of
// destroyed datagrams and bursts of datagrams held for a while, counted in
// datagrams received (not in UDPTL sequence numbers).
#include "t38/t38_iaf_port.h"
#include "t38/t38_session.h"

namespace kv::t38 {

namespace {
u32 msg_ref(const msg_t* m) { return static_cast<u32>(reinterpret_cast<uintptr_t>(m)); }

// The trace of a datagram destroyed or held; with the burst position when
// bursts are longer than one datagram.
void log_datagram(t38_session& s, const char* verb, const msg_t* m, const char* gap, u8 burst, u8 burst_length) {
  if (burst_length <= 1) {
    t38__log(s, T38_TRC__UDP_SIMUL, "%s UDP packet #%d (not T.38 Seq-Nb) SOCK_U_DA_IN p_msg: 0x%x\n", verb,
             static_cast<int>(s.sim.datagrams), msg_ref(m));
  } else {
    t38__log(s, T38_TRC__UDP_SIMUL,
             "%s UDP packet #%d (not T.38 Seq-Nb) SOCK_U_DA_IN p_msg: 0x%x%s(Burst mode: %d/%d)\n", verb,
             static_cast<int>(s.sim.datagrams), msg_ref(m), gap, burst, burst_length);
  }
}
}  // namespace

bool t38_udp_simul__filter_rx(msg_t** m, t38_session& s) {
  t38_sim_state& st = s.sim;
  const t38__udp_simulation& cfg = s.sim_cfg;
  ++st.datagrams;
  if (cfg.nb_of_pck_lost != 0) {
    ++st.loss_counter;
    if (st.loss_counter >= cfg.freq_pck_lost) {
      ++st.loss_burst;
      if (st.loss_burst <= cfg.nb_of_pck_lost) {
        log_datagram(s, "Destroy", *m, "   ", st.loss_burst, cfg.nb_of_pck_lost);
        Free_msg(*m);
        *m = nullptr;
        return false;
      }
      st.loss_counter = 0;
      st.loss_burst = 0;
    }
  }
  if (cfg.pck_delayed_ms != 0 && !st.delay_complete) {
    ++st.delay_counter;
    if (st.delay_counter < cfg.freq_pck_delayed) return true;
    ++st.delay_burst;
    if (st.delay_burst > cfg.nb_of_pck_delayed || st.held_count >= T38_SIM__MAX_HELD) {
      st.delay_complete = 1;
      return true;
    }
    log_datagram(s, "Delay", *m, "  ", st.delay_burst, cfg.nb_of_pck_delayed);
    if (st.held_count == 0) {
      t38__log(s, T38_TRC__UDP_SIMUL, " (Start delay timer %dms)\n", static_cast<int>(cfg.pck_delayed_ms));
      t38__timer_start(s, TI_RX_SIMUL);
    }
    st.held[st.held_count++] = *m;
    *m = nullptr;
    return false;
  }
  return true;
}

void t38_udp_simul__release_held(t38_session& s) {
  t38_sim_state& st = s.sim;
  const u32 n = st.held_count;
  msg_t* held[T38_SIM__MAX_HELD];
  for (u32 i = 0; i < n; ++i) {
    held[i] = st.held[i];
    st.held[i] = nullptr;
  }
  st.held_count = 0;
  const nai_t nai = s.nai;
  for (u32 i = 0; i < n; ++i) {
    msg_t* m = held[i];
    // The session may end while its datagrams are handed on.
    if (t38__find_session(nai) != &s) {
      Free_msg(m);
      continue;
    }
    t38__log(s, T38_TRC__UDP_SIMUL, "Give delayed UDP packet to T.38 automaton (SOCK_U_DA_IN p_msg: 0x%x)\n",
             msg_ref(m));
    t38_iaf_port* iaf = t38_iaf();
    if (iaf != nullptr && s.kind_of_session == T38__IAF_SESSION) iaf->main_automaton(T38IAF__KIND_UDPTL, &m, s);
    if (m != nullptr) Free_msg(m);
  }
  if (t38__find_session(nai) != &s) return;
  st.delay_counter = 0;
  st.delay_burst = 0;
  st.delay_complete = 0;
}

void t38_udp_simul__drop_held(t38_session& s) {
  for (u32 i = 0; i < s.sim.held_count; ++i) {
    Free_msg(s.sim.held[i]);
    s.sim.held[i] = nullptr;
  }
  s.sim.held_count = 0;
}

}  // namespace kv::t38
