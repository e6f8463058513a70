#include "platform/timer.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>
#include <mutex>

#include "platform/wnd.h"

struct CTimer::Impl {
  QTimer timer;
  std::function<void()> fn;
};

CTimer::CTimer() : m_impl(std::make_unique<Impl>()) {
  // Precise: a coarse timer may fire 5% early, and "Trying again in 2 s" must not come sooner.
  m_impl->timer.setTimerType(Qt::PreciseTimer);
  QObject::connect(&m_impl->timer, &QTimer::timeout, [impl = m_impl.get()] {
    // The callback may restart or stop this timer: it runs from a copy.
    auto fn = impl->fn;
    if (fn) fn();
  });
}

CTimer::~CTimer() = default;

bool CTimer::start(int ms, std::function<void()> fn, bool single) {
  if (ms > 0 && !CWnd::TimersAvailable()) return false;
  m_impl->fn = std::move(fn);
  m_impl->timer.setSingleShot(single);
  m_impl->timer.start(ms);
  return true;
}

void CTimer::stop() { m_impl->timer.stop(); }
bool CTimer::active() const { return m_impl->timer.isActive(); }

void CallLater(int ms, std::function<void()> fn) { QTimer::singleShot(ms, [fn = std::move(fn)] { fn(); }); }

namespace {
// Workers report through this object on the application's thread. It goes with the
// application; a worker that finishes later finds none and drops its result. The mutex is
// never destroyed, as a worker may still run when the process exits.
std::mutex& mailboxMutex() {
  static auto* m = new std::mutex;
  return *m;
}
struct LoopMailbox;
LoopMailbox* g_mailbox = nullptr;  // under mailboxMutex
struct LoopMailbox : QObject {
  using QObject::QObject;
  ~LoopMailbox() override {
    std::lock_guard lock(mailboxMutex());
    g_mailbox = nullptr;
  }
};
}  // namespace

void OpenLoopMailbox() {
  std::lock_guard lock(mailboxMutex());
  if (!g_mailbox) g_mailbox = new LoopMailbox(QCoreApplication::instance());
}

void PostToLoop(std::function<void()> fn) {
  std::lock_guard lock(mailboxMutex());
  if (g_mailbox) QMetaObject::invokeMethod(g_mailbox, std::move(fn), Qt::QueuedConnection);
}

struct CEventLoop::Impl {
  QEventLoop loop;
};
CEventLoop::CEventLoop() : m_impl(std::make_unique<Impl>()) {}
CEventLoop::~CEventLoop() = default;
void CEventLoop::exec() { m_impl->loop.exec(); }
void CEventLoop::exit() { m_impl->loop.exit(0); }
