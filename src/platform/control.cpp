#include "platform/control.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>
#include <cstdlib>
#include <cstring>

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
  int fd = -1;
  std::string path;
  std::unique_ptr<QSocketNotifier> notifier;
  std::function<std::string(const std::string&)> onRequest;

  void accept() {
    int c = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) return;
    ucred cred{};
    socklen_t len = sizeof cred;
    std::string line;
    // Only the user's own processes are answered; a request comes whole at once.
    if (::getsockopt(c, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 && cred.uid == ::getuid() &&
        readLine(c, line, 1000))
      writeAll(c, onRequest(line) + "\n");
    ::close(c);
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
