// A control channel for one process: a Unix socket that takes one request line and answers
// one line, reachable by the user alone (a folder of mode 0700 that the user owns, a socket
// of mode 0600, and the peer's user checked on every connection).
#pragma once
#include <functional>
#include <memory>
#include <optional>
#include <string>

// The folder of the program's sockets: $XDG_RUNTIME_DIR/tarnwick, else /tmp/tarnwick-<uid>.
// Made when missing; "" when it is not the user's alone, and then refused says why.
std::string ControlFolder(std::string* refused = nullptr);

class ControlServer {
 public:
  ControlServer();
  ~ControlServer();  // stops listening and removes the socket
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

  // Listens at path; each request line reaches onRequest from the event loop, and what it
  // returns is the answer. False when the socket cannot be made.
  bool listen(const std::string& path, std::function<std::string(const std::string&)> onRequest);
  void close();

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

// Sends one request to the socket at path and waits for its answer (at most timeoutMs);
// nothing when nobody listens there (the process has ended) or it did not answer.
std::optional<std::string> ControlRequest(const std::string& path, const std::string& request, int timeoutMs = 3000);
// The same without waiting: done gets the answer (or nothing) from the event loop, which
// goes on meanwhile (a window asking stays responsive).
void ControlRequestAsync(const std::string& path, const std::string& request, int timeoutMs,
                         std::function<void(std::optional<std::string>)> done);
