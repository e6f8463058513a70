#include "platform/qt/desktop.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace qtui {
namespace {
bool isFolder(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}
}  // namespace

QPoint cascadePosition(const QRect& available, const QSize& window, const std::vector<QRect>& taken, int step,
                       std::optional<QPoint> own) {
  step = std::max(step, 1);
  QPoint start = own.value_or(QPoint(available.x() + std::max(0, (available.width() - window.width()) / 2),
                                     available.y() + std::max(0, (available.height() - window.height()) / 2)));
  auto fits = [&](QPoint p) {
    return p.x() >= available.left() && p.y() >= available.top() && p.x() + window.width() <= available.right() + 1 &&
           p.y() + window.height() <= available.bottom() + 1;
  };
  auto clear = [&](QPoint p) {
    for (const QRect& t : taken)
      if (!t.size().isEmpty() && t.intersects(QRect(p, window))) return false;
    return true;
  };
  auto apart = [&](QPoint p) {
    for (const QRect& t : taken)
      if (std::abs(t.x() - p.x()) < step / 2 + 1 && std::abs(t.y() - p.y()) < step / 2 + 1) return false;
    return true;
  };
  auto free = [&](QPoint p) { return apart(p) && clear(p); };
  QPoint p = start;
  int restarts = 0;
  for (int i = 0; i < 200; ++i) {
    if (!fits(p) && p != start) {
      // Off the screen: a new run from the top left, shifted right by the runs made so far.
      p = available.topLeft() + QPoint(++restarts * step, 0);
      if (!fits(p)) break;
    }
    if (free(p)) return p;
    p += QPoint(step, step);
  }
  const int gap = step / 2;
  // No room beside one either (a small screen): the place beside one that covers least.
  auto covered = [&](QPoint q) {
    long long area = 0;
    for (const QRect& t : taken)
      if (!t.size().isEmpty()) {
        QRect both = t.intersected(QRect(q, window));
        area += static_cast<long long>(both.width()) * both.height();
      }
    return area;
  };
  QPoint least = start;
  long long leastArea = covered(start);
  for (const QRect& t : taken) {
    if (t.size().isEmpty()) continue;
    for (QPoint q : {QPoint(t.right() + 1 + gap, t.top()), QPoint(t.left() - gap - window.width(), t.top()),
                     QPoint(t.left(), t.bottom() + 1 + gap), QPoint(t.left(), t.top() - gap - window.height())}) {
      // Kept on the screen along the side it is beside (a step spare below for the frame's
      // title bar, which the window's size leaves out).
      q.setY(std::clamp(q.y(), available.top(), std::max(available.top(), available.bottom() + 1 - window.height() - step)));
      q.setX(std::clamp(q.x(), available.left(), std::max(available.left(), available.right() + 1 - window.width())));
      // Taken by another window beside it (windows opening together): the cascade from there.
      for (int k = 0; k < 50 && fits(q + QPoint(k, k) * step); ++k)
        if (free(q + QPoint(k, k) * step)) return q + QPoint(k, k) * step;
      if (fits(q) && covered(q) < leastArea) least = q, leastArea = covered(q);
    }
  }
  // Windows that must cover it alike do not cover one another: they cascade from there.
  for (int k = 0; k < 50; ++k) {
    QPoint q = least + QPoint(k, k) * step;
    if (!fits(q)) q = QPoint(std::max(available.left(), least.x() - k * step), std::max(available.top(), least.y() - k * step));
    if (apart(q)) return q;
  }
  return least;
}

// ---- the registry ----

namespace {
std::string defaultRegistryDir() {
  std::string runtime = env("XDG_RUNTIME_DIR");
  if (runtime.empty() || !isFolder(runtime)) runtime = "/tmp";
  return runtime + "/tarnwick-windows-" + std::to_string(::getuid());
}

class DirLock {
 public:
  explicit DirLock(const std::string& dir)
      : m_fd(::open((dir + "/.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600)) {
    if (m_fd >= 0) ::flock(m_fd, LOCK_EX);
  }
  ~DirLock() {
    if (m_fd >= 0) ::close(m_fd);  // closing releases the lock
  }

 private:
  int m_fd;
};

std::atomic<int> g_serial{0};
}  // namespace

WindowRegistry::WindowRegistry() : WindowRegistry(defaultRegistryDir()) {}

WindowRegistry::WindowRegistry(std::string dir) : m_dir(std::move(dir)) {
  ::mkdir(m_dir.c_str(), 0700);
  m_file = m_dir + "/" + std::to_string(::getpid()) + "-" + std::to_string(++g_serial);
}

WindowRegistry::~WindowRegistry() { ::unlink(m_file.c_str()); }

void WindowRegistry::record(const QPoint& pos, const QSize& keepClear) {
  // Written aside and renamed, so a reader never sees half a position.
  std::string tmp = m_file + ".new";
  {
    std::ofstream out(tmp, std::ios::trunc);
    out << pos.x() << ' ' << pos.y();
    if (!keepClear.isEmpty()) out << ' ' << keepClear.width() << ' ' << keepClear.height();
    out << '\n';
  }
  ::rename(tmp.c_str(), m_file.c_str());
}

std::vector<QRect> WindowRegistry::others() const {
  std::vector<QRect> out;
  DIR* d = ::opendir(m_dir.c_str());
  if (!d) return out;
  std::string own = m_file.substr(m_dir.size() + 1);
  while (dirent* e = ::readdir(d)) {
    std::string name = e->d_name;
    if (name == own || name.empty() || name[0] == '.' || name.find('.') != std::string::npos) continue;
    pid_t pid = static_cast<pid_t>(std::atol(name.c_str()));
    if (pid <= 0) continue;
    if (::kill(pid, 0) != 0 && errno == ESRCH) {
      ::unlink((m_dir + "/" + name).c_str());  // left behind by a process that was killed
      continue;
    }
    std::ifstream in(m_dir + "/" + name);
    int x = 0, y = 0, w = 0, h = 0;
    if (!(in >> x >> y)) continue;
    if (!(in >> w >> h)) w = h = 0;
    out.emplace_back(x, y, w, h);
  }
  ::closedir(d);
  return out;
}

QPoint WindowRegistry::claim(const QRect& available, const QSize& window, int step, std::optional<QPoint> own) {
  DirLock lock(m_dir);
  QPoint p = cascadePosition(available, window, others(), step, own);
  record(p);
  return p;
}

}  // namespace qtui
