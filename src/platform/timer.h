// Timers and deferred calls for objects that are no windows (the download job, its
// connections): a callback on the event loop, cancelled when the timer goes.
#pragma once
#include <functional>
#include <memory>

class CTimer {
 public:
  CTimer();
  ~CTimer();
  CTimer(const CTimer&) = delete;
  CTimer& operator=(const CTimer&) = delete;

  // Calls fn every ms milliseconds (once when single), from the event loop; restarts a
  // running timer. False when no timer can be had (the no-timer path of the tests).
  bool start(int ms, std::function<void()> fn, bool single = false);
  void stop();
  bool active() const;
  // Calls fn once from the event loop, after whatever runs now has returned.
  void defer(std::function<void()> fn) { start(0, std::move(fn), true); }

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

// Calls fn once from the event loop after ms milliseconds; nothing to own or stop.
void CallLater(int ms, std::function<void()> fn);

// Work done on another thread hands its result back this way: OpenLoopMailbox, on the
// loop's thread before the work starts, makes the way; PostToLoop, from any thread, calls fn
// from the event loop (not at all once the application has gone).
void OpenLoopMailbox();
void PostToLoop(std::function<void()> fn);

// A loop of the event loop run inside whatever calls exec(), until exit() is called (a
// batch of sessions waits in one while they run).
class CEventLoop {
 public:
  CEventLoop();
  ~CEventLoop();
  CEventLoop(const CEventLoop&) = delete;
  CEventLoop& operator=(const CEventLoop&) = delete;
  void exec();
  void exit();

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};
