#include "platform/run.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <fstream>

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

// A copy is started detached (its starter's child ends at once); as a subreaper this process
// becomes its parent all the same, and the parent of the copies it starts.
void AdoptCopies() { ::prctl(PR_SET_CHILD_SUBREAPER, 1); }

void SignalCopies(int sig) {
  DIR* tasks = ::opendir("/proc/self/task");
  if (!tasks) return;
  while (dirent* t = ::readdir(tasks)) {
    if (t->d_name[0] == '.') continue;
    std::ifstream children(std::string("/proc/self/task/") + t->d_name + "/children");
    for (long pid; children >> pid;) ::kill(static_cast<pid_t>(pid), sig);
  }
  ::closedir(tasks);
}

std::vector<int> WaitForCopies() {
  std::vector<int> statuses;
  QEventLoop loop;
  auto reap = [&] {
    for (;;) {
      int status = 0;
      pid_t pid = ::waitpid(-1, &status, WNOHANG);
      if (pid > 0) {
        statuses.push_back(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
        continue;
      }
      if (pid < 0 && errno != EINTR) loop.exit(0);  // no child left
      return;
    }
  };
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, reap);
  poll.start(50);
  QTimer::singleShot(0, reap);
  loop.exec();
  return statuses;
}
