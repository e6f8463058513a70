// What a process needs before its application starts: an event loop, its command line and
// its signals. The application chooses and combines them (src/app/).
#pragma once
#include <functional>
#include <memory>
#include <string>
#include <vector>

// The process's event loop; windows, sockets and timers need one. Kept for the process's life.
class EventLoop {
 public:
  virtual ~EventLoop() = default;
};

// An event loop without widgets, for the terminal. argc is kept by reference.
std::unique_ptr<EventLoop> makeCoreEventLoop(int& argc, char** argv);

// The command line as the program sees it: the arguments after the program's name joined by
// single blanks, leading blanks dropped.
std::string CommandLineOf(int argc, char** argv);

// While it lives, SIGINT, SIGTERM and SIGHUP reach onSignal from the event loop, one call per
// signal, and SIGPIPE is ignored (a write to a closed socket is reported as an error).
class SignalWatch {
 public:
  explicit SignalWatch(std::function<void(int signal)> onSignal);
  ~SignalWatch();
  SignalWatch(const SignalWatch&) = delete;
  SignalWatch& operator=(const SignalWatch&) = delete;

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

// Copies of the program started from now on (WinExec), and those they start in turn, stay
// this process's to wait for; they keep their own sessions, so the terminal's Ctrl-C reaches
// only this process, which passes it on.
void AdoptCopies();
// Sends sig to every copy still running.
void SignalCopies(int sig);
// Runs the event loop until every adopted copy has ended; their exit statuses in the order
// they ended (1 for one ended by a signal).
std::vector<int> WaitForCopies();
