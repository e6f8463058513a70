#include <gtest/gtest.h>

#include "transfer/rate_limit.h"

namespace {
constexpr std::int64_t kMs = 1'000'000;

// One word taken from in turn, as processes sharing it do: what each finds after its take.
TEST(RateLimit, OneWordSharedByTakersKeepsTheirSumUnderTheRate) {
  struct Step {
    const char* what;
    std::int64_t rate, atMs, take;
    std::int64_t bytesAfter;
    int msAfter;
  };
  // 200 KiB/s: a tenth of a second (20 KiB) in the bucket at most, a block is 16 KiB.
  const Step steps[] = {
      {"idle for long: the capacity, no burst", 200 << 10, 10'000, 0, 20 << 10, 5},
      {"one takes it all", 200 << 10, 10'000, 20 << 10, 0, 80},
      {"another takes as much: the word owes it", 200 << 10, 10'000, 20 << 10, 0, 180},
      {"half the debt paid", 200 << 10, 10'050, 0, 0, 130},
      {"paid, then filling at the rate", 200 << 10, 10'150, 0, 10 << 10, 30},
      {"full again, never over", 200 << 10, 10'900, 0, 20 << 10, 5},
      {"a slow rate holds a second's bytes", 1 << 10, 60'000, 1 << 10, 0, 1000},
      {"and a whole block takes that second", 1 << 10, 60'500, 0, 512, 500},
      {"no rate counts as one byte a second", 0, 70'000, 0, 1, 5},
  };
  std::int64_t word = 0;
  for (const Step& s : steps) {
    SCOPED_TRACE(s.what);
    bucket::Shape shape(s.rate);
    std::int64_t now = s.atMs * kMs;
    word = bucket::afterTaking(shape, word, now, s.take);
    EXPECT_EQ(bucket::bytesIn(shape, word, now), s.bytesAfter);
    EXPECT_EQ(bucket::msUntilBlock(shape, word, now), s.msAfter);
  }
}

// The bucket owes a second at most; a word further ahead is from before the clock began
// again (a reboot, with the folder kept) and must not stop every download for good.
TEST(RateLimit, DebtIsASecondAtMostAndAWordFromAnotherBootIsEmpty) {
  bucket::Shape shape(200 << 10);
  std::int64_t now = 5'000 * kMs;
  EXPECT_EQ(bucket::afterTaking(shape, 0, now, 1 << 30), now + 1'000 * kMs);
  std::int64_t stale = now + 86'400'000 * kMs;
  EXPECT_EQ(bucket::bytesIn(shape, stale, now), 20 << 10);
  EXPECT_EQ(bucket::msUntilBlock(shape, bucket::afterTaking(shape, stale, now, 20 << 10), now), 80);
}
}  // namespace
