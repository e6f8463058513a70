#include "script_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

ScriptConn::~ScriptConn() { close(); }

std::string ScriptConn::readUntil(const std::string& text, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    auto at = m_buf.find(text);
    if (at != std::string::npos) {
      std::string out = m_buf.substr(0, at + text.size());
      m_buf.erase(0, at + text.size());
      return out;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || m_fd < 0) break;
    pollfd p{m_fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    char buf[65536];
    ssize_t n = ::recv(m_fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    m_buf.append(buf, static_cast<std::size_t>(n));
    received.append(buf, static_cast<std::size_t>(n));
  }
  std::string out = m_buf;
  m_buf.clear();
  return out;
}

bool ScriptConn::send(const std::string& data) {
  std::size_t off = 0;
  while (off < data.size()) {
    ssize_t n = ::send(m_fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return false;
    off += static_cast<std::size_t>(n);
  }
  return true;
}

void ScriptConn::close() {
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
}

void ScriptConn::reset() {
  if (m_fd < 0) return;
  linger l{1, 0};
  ::setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  close();
}

void ScriptConn::shutdownWrite() {
  if (m_fd >= 0) ::shutdown(m_fd, SHUT_WR);
}

int listenLoopback(int& port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::listen(fd, 16);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  port = ntohs(a.sin_port);
  return fd;
}

int acceptWithTimeout(int listenFd, int timeoutMs) {
  pollfd p{listenFd, POLLIN, 0};
  if (::poll(&p, 1, timeoutMs) <= 0) return -1;
  return ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
}

int connectLoopback(const std::string& host, int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  ::inet_pton(AF_INET, host.c_str(), &a.sin_addr);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) < 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

int closedPort() {
  int port = 0;
  int fd = listenLoopback(port);
  ::close(fd);
  return port;
}

ScriptServer::ScriptServer(Handler handler) : m_handler(std::move(handler)) {
  m_listenFd = listenLoopback(m_port);
  m_thread = std::thread([this] { run(); });
}

ScriptServer::~ScriptServer() {
  m_stop = true;
  m_thread.join();
  for (auto& w : m_workers) w.join();
  ::close(m_listenFd);
}

void ScriptServer::run() {
  while (!m_stop) {
    int fd = acceptWithTimeout(m_listenFd, 50);
    if (fd < 0) continue;
    int index = m_count++;
    m_workers.emplace_back([this, fd, index] {
      ScriptConn conn(fd);
      m_handler(conn, index);
      // Whatever arrives until the peer closes belongs to this connection too.
      if (conn.fd() >= 0) conn.readUntil("\x01\x02never", 300);
      std::lock_guard<std::mutex> lock(m_mutex);
      if (m_requests.size() <= static_cast<std::size_t>(index)) m_requests.resize(static_cast<std::size_t>(index) + 1);
      m_requests[static_cast<std::size_t>(index)] = conn.received;
      ++m_done;
    });
  }
}

std::vector<std::string> ScriptServer::requests() {
  // Connections still being served finish first, so every request is complete.
  for (int i = 0; i < 400 && m_done.load() < m_count.load(); ++i) ::usleep(10000);
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_requests;
}
