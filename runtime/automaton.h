// Table-driven automata: one form for every protocol machine of the runtime.
//
// A machine is written as a list of rows, each naming a state, an event, the
// action to run and the state that follows:
//
//   enum class st : u8 { idle, calling, connected, count_ };
//   enum class ev : u8 { start, answer, hang_up, count_ };
//   using act = void (*)(call_ctx&, msg_t*);
//   constexpr fsm::row<st, ev, act> kRows[] = {
//       {st::idle,      ev::start,   start_call, st::calling},
//       {st::calling,   ev::answer,  connect,    st::connected},
//       {st::connected, ev::hang_up, release,    fsm::by_action},
//   };
//   constexpr auto kTable = fsm::compile(kRows, fsm::cell<act>{ignore, fsm::keep});
//
// `compile` turns the rows into a dense [event][state] table at compile time;
// two rows for one (state, event) or a state or event out of range stop the
// build.  A cell that no row names runs the default cell.  The next state of a
// row is a state, `keep` (the state stays) or `by_action` (the action chose
// the state; the machine declares which states its actions may choose).
//
// `check` runs over any machine's rows and reports what a table cannot show
// by itself: rows whose state cannot be reached from the initial state, and
// states named nowhere.  Each folder's tests run it over each of its machines.
//
// Stepping stays with the machine (its actions take what they need); `next_of`
// gives the state after a cell.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "runtime/types.h"

namespace kv::fsm {

// Next-state markers that are not states.
inline constexpr u8 kKeep = 0xFE;
inline constexpr u8 kByAction = 0xFF;

struct keep_t {};
struct by_action_t {};
inline constexpr keep_t keep{};
inline constexpr by_action_t by_action{};

// The state a row leads to: a state of `S`, keep or by_action.
template <typename S>
struct target {
  u8 raw = kKeep;
  constexpr target() = default;
  constexpr target(S s) : raw(static_cast<u8>(s)) {}  // NOLINT(google-explicit-constructor)
  constexpr target(keep_t) : raw(kKeep) {}            // NOLINT(google-explicit-constructor)
  constexpr target(by_action_t) : raw(kByAction) {}   // NOLINT(google-explicit-constructor)
};

template <typename S, typename E, typename Action>
struct row {
  S state;
  E event;
  Action action;
  target<S> next;
};

template <typename Action>
struct cell {
  Action action;
  u8 next;  // a state, kKeep or kByAction
};

// Count of an enum whose last enumerator is `count_`.
template <typename T>
inline constexpr std::size_t count_of = static_cast<std::size_t>(T::count_);

template <typename S, typename E, typename Action>
struct table {
  static constexpr std::size_t kStates = count_of<S>;
  static constexpr std::size_t kEvents = count_of<E>;
  std::array<cell<Action>, kStates * kEvents> cells;

  [[nodiscard]] constexpr const cell<Action>& at(S s, E e) const {
    return cells[static_cast<std::size_t>(e) * kStates + static_cast<std::size_t>(s)];
  }
  // Bounds-checked look-up for raw numbers read from a message or a record:
  // nullptr when either is out of range.
  [[nodiscard]] constexpr const cell<Action>* find(u8 s, u8 e) const {
    if (s >= kStates || e >= kEvents) return nullptr;
    return &cells[static_cast<std::size_t>(e) * kStates + s];
  }
};

// Builds the dense table; a fault in the rows is a compile error when the
// result initialises a constexpr variable.
template <typename S, typename E, typename Action, std::size_t N>
consteval table<S, E, Action> compile(const row<S, E, Action> (&rows)[N], cell<Action> otherwise) {
  using T = table<S, E, Action>;
  T t{};
  std::array<bool, T::kStates * T::kEvents> named{};
  for (auto& c : t.cells) c = otherwise;
  for (const auto& r : rows) {
    const auto s = static_cast<std::size_t>(r.state);
    const auto e = static_cast<std::size_t>(r.event);
    if (s >= T::kStates) throw "automaton row: state out of range";
    if (e >= T::kEvents) throw "automaton row: event out of range";
    if (r.next.raw != kKeep && r.next.raw != kByAction && r.next.raw >= T::kStates)
      throw "automaton row: next state out of range";
    if (named[e * T::kStates + s]) throw "automaton rows: two rows for one state and event";
    named[e * T::kStates + s] = true;
    t.cells[e * T::kStates + s] = {r.action, r.next.raw};
  }
  return t;
}

// The state after a cell ran: `current` for keep, the action's choice (the
// state the machine holds now) for by_action.
template <typename Action>
[[nodiscard]] constexpr u8 next_of(const cell<Action>& c, u8 current) {
  return c.next == kKeep || c.next == kByAction ? current : c.next;
}

// A machine's rows without their types, for `check` and for traces.
struct plain_row {
  u8 state, event, next;
};

template <typename S, typename E, typename Action, std::size_t N>
constexpr std::array<plain_row, N> plain(const row<S, E, Action> (&rows)[N]) {
  std::array<plain_row, N> out{};
  for (std::size_t i = 0; i < N; ++i)
    out[i] = {static_cast<u8>(rows[i].state), static_cast<u8>(rows[i].event), rows[i].next.raw};
  return out;
}

struct machine_view {
  std::string_view name;
  std::size_t states = 0;
  std::size_t events = 0;
  u8 initial = 0;
  std::span<const plain_row> rows;
  // States that actions of by_action rows may choose.
  std::span<const u8> action_targets;
  // States entered from outside the rows (a reset, a start from a record).
  std::span<const u8> entry_states;
};

// Faults in a machine's rows, one line each; empty when sound.
[[nodiscard]] std::vector<std::string> check(const machine_view& m);

}  // namespace kv::fsm
