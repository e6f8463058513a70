#include "platform/control.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <list>
#include <string_view>

namespace {
bool fillAddress(const std::string& path, sockaddr_un& a) {
  std::memset(&a, 0, sizeof a);
  a.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof a.sun_path) return false;
  std::memcpy(a.sun_path, path.c_str(), path.size());
  return true;
}

// Reads one line (without its end) within timeoutMs; false on a close, an error or no line.
bool readLine(int fd, std::string& line, int timeoutMs) {
  line.clear();
  char c;
  while (line.size() < 4096) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return false;
    ssize_t n = ::read(fd, &c, 1);
    if (n <= 0) return !line.empty() && n == 0;
    if (c == '\n') return true;
    line += c;
  }
  return false;
}

void writeAll(int fd, const std::string& text) {
  std::size_t off = 0;
  while (off < text.size()) {
    ssize_t n = ::send(fd, text.data() + off, text.size() - off, MSG_NOSIGNAL);
    if (n <= 0 && errno != EINTR) return;
    if (n > 0) off += static_cast<std::size_t>(n);
  }
}
}  // namespace

std::string ControlFolder(std::string* refused) {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  std::string dir = runtime && *runtime ? std::string(runtime) + "/tarnwick" : "/tmp/tarnwick-" + std::to_string(::getuid());
  ::mkdir(dir.c_str(), 0700);
  struct stat st;
  // Another user's folder, or one others may enter, is not used.
  std::string why;
  if (::lstat(dir.c_str(), &st) != 0)
    why = dir + " cannot be made (" + std::strerror(errno) + ")";
  else if (!S_ISDIR(st.st_mode))
    why = dir + " is not a folder";
  else if (st.st_uid != ::getuid())
    why = dir + " is not yours: it belongs to user " + std::to_string(st.st_uid);
  else if ((st.st_mode & 077) != 0)
    why = dir + " is open to other users";
  if (refused) *refused = why;
  return why.empty() ? dir : std::string();
}

struct ControlServer::Impl {
  // A client that connected and has not sent its whole line yet. Its bytes are read as they
  // come, never waited for: a client that sends slowly, or nothing, holds nobody up, and
  // is dropped at its deadline.
  struct Client {
    int fd = -1;
    std::string line;
    std::unique_ptr<QSocketNotifier> notifier;
    std::unique_ptr<QTimer> deadline;
  };
  static constexpr int kDeadlineMs = 2000;
  static constexpr std::size_t kMaxClients = 16;
  static constexpr std::size_t kMaxLine = 4096;

  int fd = -1;
  std::string path;
  std::unique_ptr<QSocketNotifier> notifier;
  std::function<std::string(const std::string&)> onRequest;
  std::list<Client> clients;

  void accept() {
    for (;;) {
      int c = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (c < 0) return;
      ucred cred{};
      socklen_t len = sizeof cred;
      // Only the user's own processes are answered.
      if (::getsockopt(c, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.uid != ::getuid()) {
        ::close(c);
        continue;
      }
      if (clients.size() >= kMaxClients) drop(clients.begin());  // the oldest has had its time
      clients.emplace_back();
      auto it = std::prev(clients.end());
      it->fd = c;
      it->notifier = std::make_unique<QSocketNotifier>(c, QSocketNotifier::Read);
      it->deadline = std::make_unique<QTimer>();
      it->deadline->setSingleShot(true);
      QObject::connect(it->notifier.get(), &QSocketNotifier::activated, [this, it] { read(it); });
      QObject::connect(it->deadline.get(), &QTimer::timeout, [this, it] { drop(it); });
      it->deadline->start(kDeadlineMs);
    }
  }

  void read(std::list<Client>::iterator it) {
    char buf[512];
    ssize_t n = ::recv(it->fd, buf, sizeof buf, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0) return drop(it);  // closed before its line ended: nothing asked
    std::string_view got(buf, static_cast<std::size_t>(n));
    std::size_t end = got.find('\n');
    it->line.append(got.substr(0, end));
    if (end == std::string_view::npos) {
      if (it->line.size() > kMaxLine) drop(it);
      return;
    }
    // The answer is a short line into an empty socket buffer: sent without waiting, or not at all.
    std::string answer = onRequest(it->line) + "\n";
    [[maybe_unused]] ssize_t sent = ::send(it->fd, answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    drop(it);
  }

  void drop(std::list<Client>::iterator it) {
    // A notifier's or timer's own handler may be what runs now: they go from the event loop.
    it->notifier->setEnabled(false);  // its socket is closed before it goes
    it->deadline->stop();
    for (QObject* o : {static_cast<QObject*>(it->notifier.release()), static_cast<QObject*>(it->deadline.release())}) {
      QObject::disconnect(o, nullptr, nullptr, nullptr);
      o->deleteLater();
    }
    ::close(it->fd);
    clients.erase(it);
  }
};

ControlServer::ControlServer() : m_impl(std::make_unique<Impl>()) {}
ControlServer::~ControlServer() { close(); }

bool ControlServer::listen(const std::string& path, std::function<std::string(const std::string&)> onRequest) {
  close();
  sockaddr_un a;
  if (!fillAddress(path, a)) return false;
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  ::unlink(path.c_str());  // a socket left by a process with this identity, which has ended
  mode_t old = ::umask(077);
  bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::umask(old);
  if (!ok || ::chmod(path.c_str(), 0600) != 0 || ::listen(fd, 8) != 0) {
    ::close(fd);
    return false;
  }
  m_impl->fd = fd;
  m_impl->path = path;
  m_impl->onRequest = std::move(onRequest);
  m_impl->notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
  QObject::connect(m_impl->notifier.get(), &QSocketNotifier::activated, [impl = m_impl.get()] { impl->accept(); });
  return true;
}

void ControlServer::close() {
  while (!m_impl->clients.empty()) m_impl->drop(m_impl->clients.begin());
  if (m_impl->fd < 0) return;
  m_impl->notifier.reset();
  ::close(m_impl->fd);
  ::unlink(m_impl->path.c_str());
  m_impl->fd = -1;
}

std::optional<std::string> ControlRequest(const std::string& path, const std::string& request, int timeoutMs) {
  sockaddr_un a;
  if (!fillAddress(path, a)) return std::nullopt;
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::nullopt;
  std::optional<std::string> answer;
  std::string line;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
    writeAll(fd, request + "\n");
    if (readLine(fd, line, timeoutMs)) answer = line;
  }
  ::close(fd);
  return answer;
}

namespace {
// One request on its way: connected, the line sent, the answer read as it comes.
struct ControlCall {
  int fd = -1;
  std::string answer;
  std::function<void(std::optional<std::string>)> done;
  std::unique_ptr<QSocketNotifier> notifier;
  QTimer deadline;

  void finish(std::optional<std::string> result) {
    if (notifier) {
      notifier->setEnabled(false);  // its socket is closed before it goes
      QObject::disconnect(notifier.get(), nullptr, nullptr, nullptr);
      notifier.release()->deleteLater();
    }
    QObject::disconnect(&deadline, nullptr, nullptr, nullptr);
    deadline.stop();
    if (fd >= 0) ::close(fd);
    fd = -1;
    auto callback = std::move(done);
    // Gone from the event loop: this may run inside its own notifier's or timer's handler.
    QTimer::singleShot(0, [call = this, callback = std::move(callback), result = std::move(result)] {
      delete call;
      if (callback) callback(result);
    });
  }
};
}  // namespace

void ControlRequestAsync(const std::string& path, const std::string& request, int timeoutMs,
                         std::function<void(std::optional<std::string>)> done) {
  auto* call = new ControlCall;
  call->done = std::move(done);
  sockaddr_un a;
  call->fd = fillAddress(path, a) ? ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0) : -1;
  const std::string line = request + "\n";
  // A local socket connects at once or not at all (nobody listens, or its queue is full);
  // the short request fits its buffer.
  if (call->fd < 0 || ::connect(call->fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::send(call->fd, line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT) != static_cast<ssize_t>(line.size()))
    return call->finish(std::nullopt);
  call->notifier = std::make_unique<QSocketNotifier>(call->fd, QSocketNotifier::Read);
  QObject::connect(call->notifier.get(), &QSocketNotifier::activated, [call] {
    char buf[512];
    ssize_t n = ::recv(call->fd, buf, sizeof buf, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0) return call->finish(call->answer.empty() ? std::nullopt : std::optional<std::string>(call->answer));
    std::string_view got(buf, static_cast<std::size_t>(n));
    std::size_t end = got.find('\n');
    call->answer.append(got.substr(0, end));
    if (end != std::string_view::npos) call->finish(call->answer);
    else if (call->answer.size() > 4096) call->finish(std::nullopt);
  });
  call->deadline.setSingleShot(true);
  QObject::connect(&call->deadline, &QTimer::timeout, [call] { call->finish(std::nullopt); });
  call->deadline.start(timeoutMs);
}
