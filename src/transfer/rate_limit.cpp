#include "transfer/rate_limit.h"

#include <algorithm>

RateLimit::RateLimit(std::int64_t bytesPerSecond)
    : m_rate(std::max<std::int64_t>(bytesPerSecond, 1)),
      m_capacity(std::max(m_rate / 10.0, std::min(4096.0, static_cast<double>(m_rate)))),
      m_block(std::min(m_capacity, 16384.0)),
      m_tokens(0),
      m_last(std::chrono::steady_clock::now()) {}

std::int64_t RateLimit::available() {
  auto now = std::chrono::steady_clock::now();
  double seconds = std::chrono::duration<double>(now - m_last).count();
  m_last = now;
  m_tokens = std::min(m_capacity, m_tokens + seconds * static_cast<double>(m_rate));
  return static_cast<std::int64_t>(std::max(m_tokens, 0.0));
}

bool RateLimit::ready() { return static_cast<double>(available()) >= m_block; }

void RateLimit::consume(std::int64_t n) { m_tokens -= static_cast<double>(n); }

int RateLimit::msUntilMore() const {
  // What a block still lacks at the rate, at least a few milliseconds apart.
  double need = m_block - m_tokens;
  return std::clamp(static_cast<int>(need * 1000.0 / static_cast<double>(m_rate)), 5, 1000);
}
