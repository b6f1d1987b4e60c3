// The automaton check over one machine, allowing only the state numbers the
// machine leaves unused (the records keep the old values) to have no row.
#pragma once
#include <string>
#include <vector>

#include "runtime/automaton.h"

// The faults of `m` other than "state N has no row" for the unused numbers,
// one line each; empty when sound.  `unused_found` counts the unused
// numbers that indeed have no row.
inline std::string machine_faults(const kv::fsm::machine_view& m, const std::vector<unsigned>& unused,
                                  std::size_t* unused_found) {
  std::string out;
  *unused_found = 0;
  for (const std::string& f : kv::fsm::check(m)) {
    bool allowed = false;
    for (const unsigned s : unused) allowed = allowed || f.ends_with(": state " + std::to_string(s) + " has no row");
    if (allowed) ++*unused_found;
    else out += f + "\n";
  }
  return out;
}
