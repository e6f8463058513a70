// Kept-alive HTTP/1.1 connections of one process: a connection whose reply ended whole stays
// open for the next request along the same way (TLS ones with their session), until the
// server closes it or it has idled too long. Whoever makes the pool owns it (a batch of
// downloads); it must outlive every connection made with it.
#pragma once
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "platform/timer.h"
#include "transfer/session_socket.h"

struct Download;
struct Route;

class ConnectionPool {
 public:
  static constexpr std::size_t kPerWay = 4;   // idle connections along one way
  static constexpr std::size_t kTotal = 32;   // idle connections in all
  static constexpr int kIdleMs = 15000;       // an idle connection is dropped after this

  explicit ConnectionPool(int idleMs = kIdleMs);
  ~ConnectionPool();
  ConnectionPool(const ConnectionPool&) = delete;
  ConnectionPool& operator=(const ConnectionPool&) = delete;

  // What makes a connection fit for a request: the scheme, the server and its port, and the
  // route (straight, or the proxy; a tunnel through it also by its end).
  static std::string wayOf(const Download& d, const Route& route);

  // An idle connection along way, now reporting to handler; null when none is fit.
  std::unique_ptr<CSessionSocket> take(const std::string& way, SocketHandler* handler);
  // Keeps a connection whose reply ended whole; false (s left with the caller) when it is
  // not fit to keep: bytes or a close came after the reply.
  bool keep(const std::string& way, std::unique_ptr<CSessionSocket>& s);
  // Idle connections kept now.
  std::size_t idle();

 private:
  struct Idle;
  // Lets go of connections that closed, spoke or idled too long.
  void sweep();
  void drop(std::size_t i);
  int m_idleMs;
  std::vector<std::unique_ptr<Idle>> m_idle;  // oldest first
  CTimer m_sweep;
};
