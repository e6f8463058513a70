// Loopback servers that script byte-exact replies and faults, and record what they receive.
#pragma once
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// One accepted connection, used from the server's thread.
class ScriptConn {
 public:
  explicit ScriptConn(int fd) : m_fd(fd) {}
  ~ScriptConn();
  // Reads until text has arrived (or the peer closes); returns everything read up to it.
  std::string readUntil(const std::string& text, int timeoutMs = 5000);
  std::string readLine(int timeoutMs = 5000) { return readUntil("\r\n", timeoutMs); }
  bool send(const std::string& data);
  void close();          // orderly close
  void reset();          // close with a reset
  void shutdownWrite();  // half close
  int fd() const { return m_fd; }
  std::string received;  // everything this connection received

 private:
  int m_fd;
  std::string m_buf;
};

class ScriptServer {
 public:
  using Handler = std::function<void(ScriptConn&, int index)>;
  // Serves each accepted connection with handler, in order, on a thread of its own.
  explicit ScriptServer(Handler handler);
  ~ScriptServer();
  int port() const { return m_port; }
  // What every connection received so far, in order.
  std::vector<std::string> requests();
  int connections() const { return m_count.load(); }

 private:
  void run();
  Handler m_handler;
  int m_listenFd = -1;
  int m_port = 0;
  std::atomic<bool> m_stop{false};
  std::atomic<int> m_count{0};
  std::atomic<int> m_done{0};
  std::mutex m_mutex;
  std::vector<std::string> m_requests;
  std::vector<std::thread> m_workers;
  std::thread m_thread;
};

// A port on which nothing listens.
int closedPort();
// Listens on a loopback port and returns the fd (for data connections); port set.
int listenLoopback(int& port);
int acceptWithTimeout(int listenFd, int timeoutMs);
int connectLoopback(const std::string& host, int port);
