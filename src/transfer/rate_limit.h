// A speed limit: a bucket that the clock fills at the rate and that holds at most a tenth
// of a second's bytes (a second's below 4 KiB a second), so that the total stays smooth (no
// burst after a pause, whatever the number of connections). One download's limit is shared
// by its connections; the user's total limit is one bucket for every process of the user,
// kept in a word of shared memory, and each download's limit draws from it too.
#pragma once
#include <cstdint>
#include <memory>

class SharedWord;

// The bucket's arithmetic. Its whole state is one number, the moment (steady clock,
// nanoseconds) at which it is empty: it holds (now - emptyAt) * rate bytes, at most its
// capacity, and owes bytes while emptyAt is ahead. One number can be changed atomically,
// and a process that dies in between leaves nothing half done.
namespace bucket {
struct Shape {
  explicit Shape(std::int64_t bytesPerSecond);
  std::int64_t rate;        // bytes a second, at least 1
  std::int64_t capacityNs;  // what the bucket holds, as the time it takes to fill
  std::int64_t blockNs;     // a block's worth
};
// emptyAt as it counts now: never below a full bucket. The bucket owes a second at most,
// so a word further ahead is from before the clock began again (a reboot) and counts as a
// full bucket.
std::int64_t settled(const Shape& s, std::int64_t emptyAt, std::int64_t now);
std::int64_t bytesIn(const Shape& s, std::int64_t emptyAt, std::int64_t now);
std::int64_t afterTaking(const Shape& s, std::int64_t emptyAt, std::int64_t now, std::int64_t bytes);
// Milliseconds until a block's worth is in, at least a few apart and at most a second.
int msUntilBlock(const Shape& s, std::int64_t emptyAt, std::int64_t now);
}  // namespace bucket

class RateLimit {
 public:
  // A bucket of this process's own, within total's when that is given.
  explicit RateLimit(std::int64_t bytesPerSecond, std::shared_ptr<RateLimit> total = nullptr);
  // The bucket in word, shared with every process that maps it.
  RateLimit(std::int64_t bytesPerSecond, std::shared_ptr<SharedWord> word);
  ~RateLimit();
  RateLimit(const RateLimit&) = delete;
  RateLimit& operator=(const RateLimit&) = delete;

  // Bytes that may be read now (within the total too).
  std::int64_t available();
  // A block's worth may be read now, here and in the total: reads of the few bytes the
  // clock adds meanwhile would keep the loop busy for nothing.
  bool ready();
  void consume(std::int64_t n);
  // Milliseconds until a block's worth may be read again: the longer wait of this bucket
  // and the total's.
  int msUntilMore() const;

 private:
  bucket::Shape m_shape;
  std::shared_ptr<RateLimit> m_total;
  std::shared_ptr<SharedWord> m_shared;
  std::int64_t m_own = 0;
  std::int64_t* m_emptyAt;  // m_own, or the shared word
};

// The user's total limit at bytesPerSecond, shared by every download of every process of
// the user (a word in the control folder); this process's own bucket when that folder
// cannot be used. One per process and rate. The word holds time, not bytes: a process
// given a rate of its own (--total-limit-rate) counts what it takes at that rate, so the
// processes share the time and each keeps to its own figure.
std::shared_ptr<RateLimit> TotalRateLimit(std::int64_t bytesPerSecond);
