// One download's speed limit, shared by all its connections: a bucket that the clock fills
// at the rate and that holds at most a tenth of a second's bytes (a second's below 4 KiB a
// second), so that the total stays smooth (no burst after a pause, whatever the number of
// connections).
#pragma once
#include <chrono>
#include <cstdint>

class RateLimit {
 public:
  explicit RateLimit(std::int64_t bytesPerSecond);
  // Bytes that may be read now.
  std::int64_t available();
  // A block's worth may be read now: reads of the few bytes the clock adds meanwhile would
  // keep the loop busy for nothing.
  bool ready();
  void consume(std::int64_t n);
  // Milliseconds until a block's worth may be read again.
  int msUntilMore() const;

 private:
  std::int64_t m_rate;
  double m_capacity, m_block, m_tokens;
  std::chrono::steady_clock::time_point m_last;
};
