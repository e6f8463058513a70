// Whose turn it is: the limit, the line, Start now, paused ones.
#include <gtest/gtest.h>

#include "queue/scheduler.h"

namespace {

TurnRow run(const char* slot, bool paused = false) { return {slot, 0, true, paused, false, false}; }
TurnRow wait(const char* slot, std::int64_t turn, bool owned = true, bool now = false) {
  return {slot, turn, false, false, owned, now};
}

TEST(Scheduler, WhoMayStart) {
  struct Case {
    const char* what;
    std::vector<TurnRow> rows;
    const char* slot;
    int limit;
    bool may;
  };
  const Case cases[] = {
      {"alone", {wait("00", 1)}, "00", 3, true},
      {"room and first in line", {run("01"), run("02"), wait("00", 5), wait("03", 6)}, "00", 3, true},
      {"the limit is reached", {run("01"), run("02"), run("03"), wait("00", 1)}, "00", 3, false},
      {"paused ones leave room", {run("01", true), run("02", true), run("03"), wait("00", 1)}, "00", 2, true},
      {"an earlier one goes first", {wait("04", 2), wait("00", 3)}, "00", 3, false},
      {"an earlier one nobody starts does not block", {wait("04", 2, false), wait("00", 3)}, "00", 3, true},
      {"Start now jumps the limit and the line", {run("01"), wait("04", 1), wait("00", 9, true, true)}, "00", 1, true},
      {"a later one is no obstacle", {wait("00", 3), wait("04", 7)}, "00", 1, true},
      {"not in line: let in already", {run("01"), {"00", 0, true, false, false, false}}, "00", 1, true},
      {"unknown slot", {run("01")}, "00", 3, false},
      // A started one keeps word of its place (below 0): it is running, not in line.
      {"a running one with its old place counts", {{"01", -1, true, false, false, false}, wait("00", 4)}, "00", 1, false},
      {"a paused one with its old place leaves room", {{"01", -1, true, true, false, false}, wait("00", 4)}, "00", 1, true},
      {"resumed, it takes its old place before later ones", {wait("01", 1), wait("00", 4)}, "00", 3, false},
  };
  for (const auto& c : cases) EXPECT_EQ(mayStart(c.rows, c.slot, c.limit), c.may) << c.what;
}

TEST(Scheduler, HowManyAhead) {
  struct Case {
    const char* what;
    std::vector<TurnRow> rows;
    const char* slot;
    int ahead;
  };
  const Case cases[] = {
      {"first in line", {run("01"), wait("00", 2), wait("03", 3)}, "00", 0},
      {"those earlier who will start", {wait("01", 1), wait("02", 2), wait("00", 5), wait("03", 6)}, "00", 2},
      {"paused or ownerless ones do not count", {wait("01", 1, false), wait("02", 2), wait("00", 5)}, "00", 1},
      {"Start now goes ahead of it", {wait("01", 9, true, true), wait("00", 5)}, "00", 1},
      {"told to start now itself", {wait("01", 1), wait("00", 5, true, true)}, "00", 0},
      {"running ones are not ahead", {run("01"), run("02"), wait("00", 5)}, "00", 0},
      {"not in line", {run("00"), wait("01", 1)}, "00", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(aheadOf(c.rows, c.slot), c.ahead) << c.what;
}

}  // namespace
