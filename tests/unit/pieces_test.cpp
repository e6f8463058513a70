#include <gtest/gtest.h>

#include "engine/pieces.h"
#include "session/progress_text.h"
#include "settings/options.h"

namespace {
constexpr std::int64_t M = pieces::kMinPiece;

TEST(Pieces, ClaimsSplitTheLargestRangeAndKeepPiecesWhole) {
  struct Case {
    const char* what;
    Ranges free;
    std::vector<Range> busy;
    std::optional<pieces::Claim> want;
    std::vector<std::int64_t> got = {};
  };
  const Case cases[] = {
      {"second half of the one range", {}, {{0, 32 * M}}, pieces::Claim{0, {16 * M, 32 * M}}},
      {"the largest of several", {}, {{0, 3 * M}, {3 * M, 10 * M}, {10 * M, 12 * M}}, pieces::Claim{1, {13 * M / 2, 10 * M}}},
      {"two halves of a piece each", {}, {{5, 5 + 2 * M}}, pieces::Claim{0, {5 + M, 5 + 2 * M}}},
      {"under two pieces: none", {}, {{0, 2 * M - 1}, {4 * M, 5 * M}}, std::nullopt},
      {"a free range first, whole, however small", {{100, 200}, {7 * M, 8 * M}}, {{0, 64 * M}}, pieces::Claim{-1, {7 * M, 8 * M}}},
      {"nothing at all", {}, {}, std::nullopt},
      {"bytes received count toward the half", {}, {{2 * M, 32 * M}}, pieces::Claim{0, {16 * M, 32 * M}}, {2 * M}},
      {"but the running one keeps a piece", {}, {{10 * M, 13 * M}}, pieces::Claim{0, {11 * M, 13 * M}}, {10 * M}},
      {"and never less than half is split off", {}, {{8 * M, 32 * M}, {0, 8 * M}}, pieces::Claim{0, {20 * M, 32 * M}}, {0, 8 * M}},
  };
  for (const auto& c : cases) EXPECT_EQ(pieces::claim(c.free, c.busy, c.got), c.want) << c.what;
}

TEST(Pieces, SetsMergeAndTellWhatIsMissing) {
  Ranges s;
  pieces::add(s, {10, 20});
  pieces::add(s, {30, 40});
  pieces::add(s, {20, 25});  // touching: merged
  pieces::add(s, {0, 0});    // empty: nothing
  EXPECT_EQ(s, (Ranges{{10, 25}, {30, 40}}));
  EXPECT_EQ(pieces::prefix(s), 0);
  EXPECT_EQ(pieces::missing(s, 50), (Ranges{{0, 10}, {25, 30}, {40, 50}}));
  pieces::add(s, {0, 12});
  EXPECT_EQ(pieces::prefix(s), 25);
  EXPECT_EQ(pieces::from(s, 25), (Ranges{{30, 40}}));
  EXPECT_EQ(pieces::bytes(s), 35);
}

TEST(Pieces, RollbackStepsBackEachEndAndTheListReadsBack) {
  // Rollback 4096: each end steps back on a 1 KiB boundary; a range that comes to nothing goes.
  EXPECT_EQ(pieces::rollback({{0, 10000}, {20000, 22000}, {30000, 50000}}, 4096),
            (Ranges{{0, 5120}, {30000, 45056}}));
  struct Case {
    const char* text;
    bool ok;
    Ranges set;
  };
  const Case cases[] = {
      {"", true, {}},
      {"1048576-2097152,3000000-4000000", true, {{1048576, 2097152}, {3000000, 4000000}}},
      {"5-3", false, {}},          // backwards
      {"1-5,4-8", false, {}},      // overlapping
      {"1-5;7-9", false, {}},      // not a list
      {"-1-5", false, {}},
      {"12", false, {}},
  };
  for (const auto& c : cases) {
    Ranges got{{1, 2}};
    EXPECT_EQ(pieces::parse(c.text, got), c.ok) << c.text;
    EXPECT_EQ(got, c.set) << c.text;
    if (c.ok) {
      EXPECT_EQ(pieces::format(got), c.text);
    }
  }
}
TEST(Pieces, MapAndRatesReadAsShown) {
  // 8 characters of 800 bytes: a character is '#' only when all its bytes are in.
  EXPECT_EQ(pieceMap({{0, 250}, {400, 800}}, {{250, 400}, {700, 800}}, 800, 8), "##>.###>");
  EXPECT_EQ(pieceMap({}, {}, 0, 8), "");
  // Narrower for a narrow panel: '#' only where all is in, every connection still shown.
  EXPECT_EQ(scaleMap("##>.###>", 4), "#>#>");
  EXPECT_EQ(scaleMap("####....", 3), "#..");
  EXPECT_EQ(scaleMap("#>", 4), "##>>");
  struct Case {
    const char* text;
    std::int64_t want;  // -1: refused
  };
  const Case cases[] = {{"500k", 512000}, {"2M", 2097152}, {"1.5m", 1572864}, {"1G", 1073741824},
                        {"4096", 4096},   {"2X", -1},      {"", -1},         {"-1k", -1},
                        {"0", -1},        {"k", -1}};
  for (const auto& c : cases) {
    std::int64_t got = -1;
    bool ok = ParseRate(c.text, got);
    EXPECT_EQ(ok ? got : -1, c.want) << c.text;
  }
}
}  // namespace
