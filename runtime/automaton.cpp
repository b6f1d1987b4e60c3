#include "runtime/automaton.h"

#include <cstdio>

namespace kv::fsm {

namespace {

std::string line(const machine_view& m, const char* fmt, unsigned a, unsigned b = 0, unsigned c = 0) {
  char text[160];
  (void)std::snprintf(text, sizeof text, fmt, a, b, c);
  return std::string(m.name) + ": " + text;
}

}  // namespace

std::vector<std::string> check(const machine_view& m) {
  std::vector<std::string> faults;
  if (m.states == 0 || m.states >= kKeep) {
    faults.push_back(line(m, "state count %u out of range", static_cast<unsigned>(m.states)));
    return faults;
  }
  if (m.initial >= m.states) faults.push_back(line(m, "initial state %u out of range", m.initial));
  bool any_by_action = false;
  std::vector<bool> seen(m.states * m.events, false);
  for (std::size_t i = 0; i < m.rows.size(); ++i) {
    const plain_row& r = m.rows[i];
    const auto n = static_cast<unsigned>(i);
    if (r.state >= m.states || r.event >= m.events) {
      faults.push_back(line(m, "row %u: state %u or event %u out of range", n, r.state, r.event));
      continue;
    }
    if (r.next != kKeep && r.next != kByAction && r.next >= m.states)
      faults.push_back(line(m, "row %u: next state %u unknown", n, r.next));
    if (r.next == kByAction) any_by_action = true;
    const std::size_t k = static_cast<std::size_t>(r.event) * m.states + r.state;
    if (seen[k]) faults.push_back(line(m, "row %u: a second row for state %u and event %u", n, r.state, r.event));
    seen[k] = true;
  }
  for (const u8 s : m.action_targets)
    if (s >= m.states) faults.push_back(line(m, "action target %u unknown", s));
  for (const u8 s : m.entry_states)
    if (s >= m.states) faults.push_back(line(m, "entry state %u unknown", s));
  if (any_by_action && m.action_targets.empty())
    faults.push_back(line(m, "rows leave the next state to their action, but no state is declared for it", 0));
  if (!faults.empty()) return faults;

  // States reachable from the initial and entry states through the rows.
  std::vector<bool> reached(m.states, false);
  std::vector<u8> todo{m.initial};
  for (const u8 s : m.entry_states) todo.push_back(s);
  while (!todo.empty()) {
    const u8 s = todo.back();
    todo.pop_back();
    if (reached[s]) continue;
    reached[s] = true;
    for (const plain_row& r : m.rows) {
      if (r.state != s) continue;
      if (r.next == kByAction) {
        for (const u8 t : m.action_targets) todo.push_back(t);
      } else if (r.next != kKeep) {
        todo.push_back(r.next);
      }
    }
  }
  for (std::size_t i = 0; i < m.rows.size(); ++i)
    if (!reached[m.rows[i].state])
      faults.push_back(line(m, "row %u: state %u cannot be reached", static_cast<unsigned>(i), m.rows[i].state));
  std::vector<bool> named(m.states, false);
  named[m.initial] = true;
  for (const plain_row& r : m.rows) named[r.state] = true;
  for (std::size_t s = 0; s < m.states; ++s)
    if (!named[s]) faults.push_back(line(m, "state %u has no row", static_cast<unsigned>(s)));
  return faults;
}

}  // namespace kv::fsm
