#include "transfer/rate_limit.h"

#include <algorithm>
#include <atomic>
#include <chrono>

#include "platform/control.h"
#include "platform/shared_word.h"

namespace bucket {
namespace {
constexpr double kNsPerSecond = 1e9;
constexpr std::int64_t kMostOwedNs = 1'000'000'000;

std::int64_t nsFor(double bytes, std::int64_t rate) {
  return static_cast<std::int64_t>(bytes * kNsPerSecond / static_cast<double>(rate));
}
}  // namespace

Shape::Shape(std::int64_t bytesPerSecond) : rate(std::max<std::int64_t>(bytesPerSecond, 1)) {
  double capacity = std::max(static_cast<double>(rate) / 10.0, std::min(4096.0, static_cast<double>(rate)));
  capacityNs = nsFor(capacity, rate);
  blockNs = nsFor(std::min(capacity, 16384.0), rate);
}

std::int64_t settled(const Shape& s, std::int64_t emptyAt, std::int64_t now) {
  // Never written so far ahead: a word from before the clock began again. Read as a full
  // bucket, so that the next take writes it afresh (an empty one would never be taken from).
  if (emptyAt > now + kMostOwedNs) return now - s.capacityNs;
  return std::max(emptyAt, now - s.capacityNs);
}

std::int64_t bytesIn(const Shape& s, std::int64_t emptyAt, std::int64_t now) {
  double ns = static_cast<double>(now - settled(s, emptyAt, now));
  return std::max<std::int64_t>(static_cast<std::int64_t>(ns * static_cast<double>(s.rate) / kNsPerSecond), 0);
}

std::int64_t afterTaking(const Shape& s, std::int64_t emptyAt, std::int64_t now, std::int64_t bytes) {
  return std::min(settled(s, emptyAt, now) + nsFor(static_cast<double>(bytes), s.rate), now + kMostOwedNs);
}

int msUntilBlock(const Shape& s, std::int64_t emptyAt, std::int64_t now) {
  std::int64_t needNs = s.blockNs - (now - settled(s, emptyAt, now));
  return static_cast<int>(std::clamp<std::int64_t>(needNs / 1'000'000, 5, 1000));
}
}  // namespace bucket

namespace {
std::int64_t nowNs() {
  // The steady clock is the system's monotonic one: every process reads the same.
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
}  // namespace

RateLimit::RateLimit(std::int64_t bytesPerSecond, std::shared_ptr<RateLimit> total)
    : m_shape(bytesPerSecond), m_total(std::move(total)), m_own(nowNs()), m_emptyAt(&m_own) {}

RateLimit::RateLimit(std::int64_t bytesPerSecond, std::shared_ptr<SharedWord> word)
    : m_shape(bytesPerSecond), m_shared(std::move(word)), m_emptyAt(m_shared->word()) {}

RateLimit::~RateLimit() = default;

std::int64_t RateLimit::available() {
  std::int64_t have = bucket::bytesIn(m_shape, std::atomic_ref(*m_emptyAt).load(std::memory_order_relaxed), nowNs());
  return m_total ? std::min(have, m_total->available()) : have;
}

bool RateLimit::ready() {
  std::int64_t now = nowNs();
  std::int64_t at = bucket::settled(m_shape, std::atomic_ref(*m_emptyAt).load(std::memory_order_relaxed), now);
  return now - at >= m_shape.blockNs && (!m_total || m_total->ready());
}

void RateLimit::consume(std::int64_t n) {
  // Other processes take from a shared bucket meanwhile: the change is made on the value
  // it was made from, or made again.
  std::atomic_ref word(*m_emptyAt);
  std::int64_t seen = word.load(std::memory_order_relaxed);
  while (!word.compare_exchange_weak(seen, bucket::afterTaking(m_shape, seen, nowNs(), n), std::memory_order_relaxed)) {
  }
  if (m_total) m_total->consume(n);
}

int RateLimit::msUntilMore() const {
  std::int64_t now = nowNs();
  int ms = bucket::msUntilBlock(m_shape, std::atomic_ref(*m_emptyAt).load(std::memory_order_relaxed), now);
  return m_total ? std::max(ms, m_total->msUntilMore()) : ms;
}

std::shared_ptr<RateLimit> TotalRateLimit(std::int64_t bytesPerSecond) {
  static std::weak_ptr<RateLimit> last;
  static std::int64_t lastRate = 0;
  static std::shared_ptr<SharedWord> word;
  if (auto limit = last.lock(); limit && lastRate == bytesPerSecond) return limit;
  if (!word) {
    std::string folder = ControlFolder();
    if (!folder.empty()) word = SharedWord::open(folder + "/total-rate");
  }
  auto limit = word ? std::make_shared<RateLimit>(bytesPerSecond, word) : std::make_shared<RateLimit>(bytesPerSecond);
  last = limit;
  lastRate = bytesPerSecond;
  return limit;
}
