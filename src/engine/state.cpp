#include "engine/state.h"

#include <algorithm>
#include <chrono>
#include <ctime>

#include "platform/services.h"
#include "platform/timer.h"

const Checkout* DownloadState::checkout(int conn) const {
  auto it = std::find_if(out.begin(), out.end(), [conn](const Checkout& c) { return c.conn == conn; });
  return it == out.end() ? nullptr : &*it;
}

Checkout* DownloadState::checkout(int conn) {
  return const_cast<Checkout*>(static_cast<const DownloadState&>(*this).checkout(conn));
}

namespace {
class LoopTimer : public JobTimer {
 public:
  bool start(int ms, std::function<void()> fn, bool single) override { return m_timer.start(ms, std::move(fn), single); }
  void stop() override { m_timer.stop(); }
  bool active() const override { return m_timer.active(); }

 private:
  CTimer m_timer;
};

class LoopClock : public JobClock {
 public:
  // 64 bits: a tick count of 32 would wrap after 49.7 days, and every rate and wait with it.
  std::int64_t ms() const override {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
  }
  std::int64_t seconds() const override { return static_cast<std::int64_t>(std::time(nullptr)); }
  std::unique_ptr<JobTimer> timer() override { return std::make_unique<LoopTimer>(); }
};
}  // namespace

JobClock& systemClock() {
  static LoopClock clock;
  return clock;
}
