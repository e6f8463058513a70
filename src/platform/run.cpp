#include "platform/run.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <algorithm>

namespace {
// Written by the signal handler, read from the event loop: the handler itself does nothing else.
int g_sigPipe[2] = {-1, -1};

void onSignal(int sig) {
  unsigned char b = static_cast<unsigned char>(sig);
  [[maybe_unused]] auto n = ::write(g_sigPipe[1], &b, 1);
}

struct CoreEventLoop : EventLoop {
  CoreEventLoop(int& argc, char** argv) : app(argc, argv) {}
  QCoreApplication app;
};
}  // namespace

std::unique_ptr<EventLoop> makeCoreEventLoop(int& argc, char** argv) {
  return std::make_unique<CoreEventLoop>(argc, argv);
}

std::string CommandLineOf(int argc, char** argv) {
  std::string cmd;
  for (int i = 1; i < argc; ++i) cmd += (i > 1 ? " " : "") + std::string(argv[i]);
  return cmd.substr(std::min(cmd.size(), cmd.find_first_not_of(" \t")));
}

struct SignalWatch::Impl {
  std::function<void(int)> onSignal;
  std::unique_ptr<QSocketNotifier> notifier;
};

SignalWatch::SignalWatch(std::function<void(int)> onSignal) : m_impl(std::make_unique<Impl>()) {
  m_impl->onSignal = std::move(onSignal);
  ::signal(SIGPIPE, SIG_IGN);
  if (::pipe2(g_sigPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  struct sigaction sa{};
  sa.sa_handler = ::onSignal;
  sigemptyset(&sa.sa_mask);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(s, &sa, nullptr);
  m_impl->notifier = std::make_unique<QSocketNotifier>(g_sigPipe[0], QSocketNotifier::Read);
  QObject::connect(m_impl->notifier.get(), &QSocketNotifier::activated, [impl = m_impl.get()] {
    unsigned char b;
    while (::read(g_sigPipe[0], &b, 1) == 1) impl->onSignal(b);
  });
}

SignalWatch::~SignalWatch() = default;
