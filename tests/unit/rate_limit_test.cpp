#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "platform/shared_word.h"
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

// The shared word steers every download of the user: a file others may write (a link, a
// folder or a file with loose modes) is refused, and a new one is the user's alone.
TEST(SharedWord, OnlyAPlainFileOfTheUsersAlone) {
  char dir[] = "/tmp/tarnwick-word-XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  const std::string d = dir;
  auto mode = [](const std::string& p) {
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 0777) : -1;
  };
  std::string why;
  ASSERT_TRUE(SharedWord::open(d + "/new", &why)) << why;
  EXPECT_EQ(mode(d + "/new"), 0600);
  for (int loose : {0644, 0660, 0606}) {
    std::string p = d + "/loose" + std::to_string(loose);
    std::ofstream(p).put('\0');
    ASSERT_EQ(::chmod(p.c_str(), static_cast<mode_t>(loose)), 0);
    why.clear();
    EXPECT_FALSE(SharedWord::open(p, &why)) << loose;
    EXPECT_NE(why.find(p), std::string::npos) << why;
  }
  ASSERT_EQ(::symlink((d + "/new").c_str(), (d + "/link").c_str()), 0);
  EXPECT_FALSE(SharedWord::open(d + "/link"));
  EXPECT_FALSE(SharedWord::open(d));
  std::system(("rm -rf " + d).c_str());
}

// A download's own limit draws from the user's total too: what it takes leaves less for
// every other download.
TEST(RateLimit, AnOwnLimitDrawsFromTheTotal) {
  auto total = std::make_shared<RateLimit>(100 << 10);
  RateLimit own(100 << 20, total);
  // A second's worth of the total taken through the own limit: the total owes it.
  own.consume(100 << 10);
  EXPECT_GT(total->msUntilMore(), 500);
  EXPECT_GT(own.msUntilMore(), 500);
}
}  // namespace
