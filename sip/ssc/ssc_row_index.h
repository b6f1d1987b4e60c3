// The row behind each cell of a compiled machine, for the steps that name
// the row they took (traces, tests).
#pragma once
#include <array>
#include <cstddef>

#include "runtime/automaton.h"

template <class S, class E, class Action, std::size_t N>
struct ssc_row_index {
  std::array<short, kv::fsm::count_of<S> * kv::fsm::count_of<E>> at{};

  explicit constexpr ssc_row_index(const kv::fsm::row<S, E, Action> (&rows)[N]) {
    for (auto& i : at) i = -1;
    for (std::size_t i = 0; i < N; ++i)
      at[static_cast<std::size_t>(rows[i].event) * kv::fsm::count_of<S> + static_cast<std::size_t>(rows[i].state)] =
          static_cast<short>(i);
  }
  // The row of a state and event inside the table's range; -1 for none.
  [[nodiscard]] constexpr int of(u8 state, u8 event) const {
    return at[static_cast<std::size_t>(event) * kv::fsm::count_of<S> + state];
  }
};
