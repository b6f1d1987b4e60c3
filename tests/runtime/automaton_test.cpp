#include "runtime/automaton.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

namespace fsm = kv::fsm;

enum class st : u8 { idle, calling, connected, releasing, count_ };
enum class ev : u8 { start, answer, hang_up, released, count_ };

struct call {
  st state = st::idle;
  std::vector<std::string> done;
};
using act = void (*)(call&);

void start(call& c) { c.done.emplace_back("start"); }
void connect(call& c) { c.done.emplace_back("connect"); }
void hang_up(call& c) {
  c.done.emplace_back("hang_up");
  c.state = st::releasing;
}
void released(call& c) { c.done.emplace_back("released"); }
void ignore(call& c) { c.done.emplace_back("ignore"); }

constexpr fsm::row<st, ev, act> kRows[] = {
    {st::idle, ev::start, start, st::calling},           {st::calling, ev::answer, connect, st::connected},
    {st::calling, ev::hang_up, hang_up, fsm::by_action}, {st::connected, ev::hang_up, hang_up, fsm::by_action},
    {st::connected, ev::answer, ignore, fsm::keep},      {st::releasing, ev::released, released, st::idle},
};
constexpr auto kTable = fsm::compile(kRows, fsm::cell<act>{ignore, fsm::kKeep});
constexpr auto kPlain = fsm::plain(kRows);
constexpr u8 kTargets[] = {static_cast<u8>(st::releasing)};

void step(call& c, ev e) {
  const auto& cell = kTable.at(c.state, e);
  cell.action(c);
  c.state = static_cast<st>(fsm::next_of(cell, static_cast<u8>(c.state)));
}

TEST(Automaton, RowsDriveTheCallThroughItsStatesAndUnnamedCellsRunTheDefault) {
  call c;
  const struct {
    ev e;
    st after;
    const char* action;
  } steps[] = {
      {ev::answer, st::idle, "ignore"},  // no row: default cell, state kept
      {ev::start, st::calling, "start"},       {ev::answer, st::connected, "connect"},
      {ev::answer, st::connected, "ignore"},    // a row with keep
      {ev::hang_up, st::releasing, "hang_up"},  // the action chose
      {ev::released, st::idle, "released"},
  };
  for (const auto& s : steps) {
    step(c, s.e);
    EXPECT_EQ(c.state, s.after) << s.action;
    EXPECT_EQ(c.done.back(), s.action);
  }
}

TEST(Automaton, FindRefusesNumbersOutOfRange) {
  EXPECT_NE(kTable.find(0, 0), nullptr);
  EXPECT_EQ(kTable.find(4, 0), nullptr);
  EXPECT_EQ(kTable.find(0, 4), nullptr);
  EXPECT_EQ(kTable.find(0xFF, 0xFF), nullptr);
}

fsm::machine_view view(std::span<const fsm::plain_row> rows, std::span<const u8> targets = kTargets,
                       std::span<const u8> entries = {}) {
  return {"call", 4, 4, 0, rows, targets, entries};
}

TEST(Automaton, CheckFindsNothingInASoundMachine) { EXPECT_TRUE(fsm::check(view(kPlain)).empty()); }

TEST(Automaton, CheckReportsEachFaultOfARowList) {
  using R = fsm::plain_row;
  const struct {
    const char* name;
    std::vector<R> rows;
    std::vector<u8> targets;
    std::vector<u8> entries;
    const char* fault;
  } cases[] = {
      {"unreachable", {{0, 0, 1}, {1, 1, 0}, {3, 3, 0}, {2, 0, fsm::kKeep}}, {}, {}, "state 3 cannot be reached"},
      {"duplicate", {{0, 0, 1}, {1, 1, 0}, {1, 1, 2}, {2, 0, 3}, {3, 0, 0}}, {}, {}, "a second row for state 1"},
      {"unknown next", {{0, 0, 9}}, {}, {}, "next state 9 unknown"},
      {"by action, nothing declared", {{0, 0, fsm::kByAction}}, {}, {}, "no state is declared"},
      {"state without a row", {{0, 0, 1}, {1, 1, 2}, {2, 0, 0}}, {}, {}, "state 3 has no row"},
      {"out of range", {{7, 0, 0}}, {}, {}, "out of range"},
  };
  for (const auto& c : cases) {
    const auto faults = fsm::check(view(c.rows, c.targets, c.entries));
    std::string all;
    for (const auto& f : faults) all += f + "\n";
    EXPECT_NE(all.find(c.fault), std::string::npos) << c.name << ":\n" << all;
  }
  // An entry state makes its rows reachable.
  const std::vector<R> entered = {{0, 0, 1}, {1, 1, 0}, {3, 3, 2}, {2, 0, 0}};
  const u8 three[] = {3};
  EXPECT_TRUE(fsm::check(view(entered, {}, three)).empty());
}

}  // namespace
