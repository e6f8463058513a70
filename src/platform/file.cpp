#include "platform/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>

CFile::~CFile() { Close(); }

bool CFile::Open(const std::string& path, Mode mode) {
  Close();
  if (mode == Mode::Read) {
    m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    return m_fd >= 0;
  }
  // A link at the output path would write somewhere the user did not choose.
  // Read as well: bytes fetched again are compared with those on disk.
  m_fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (m_fd < 0) return false;
  // Others may read, but not write: a second writer's lock fails.
  struct flock lk{};
  lk.l_type = F_WRLCK;
  lk.l_whence = SEEK_SET;
  if (::fcntl(m_fd, F_OFD_SETLK, &lk) < 0) {
    int err = errno;
    ::close(m_fd);
    m_fd = -1;
    errno = err;
    return false;
  }
  return true;
}

namespace {
bool isFolder(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The value of XDG_DOWNLOAD_DIR in user-dirs.dirs: "$HOME/..." or an absolute path, quoted.
std::string xdgDownloadDir(const std::string& home, const std::string& configHome) {
  std::ifstream in(configHome + "/user-dirs.dirs");
  std::string line, found;
  while (std::getline(in, line)) {
    std::size_t i = line.find_first_not_of(" \t");
    if (i == std::string::npos || line.compare(i, 17, "XDG_DOWNLOAD_DIR=") != 0) continue;
    std::string v = line.substr(i + 17);
    if (v.size() < 2 || v.front() != '"') continue;
    v = v.substr(1, v.find('"', 1) == std::string::npos ? std::string::npos : v.find('"', 1) - 1);
    if (v.rfind("$HOME", 0) == 0)
      v = home + v.substr(5);
    else if (v.empty() || v[0] != '/')
      continue;
    found = v;  // the last assignment wins, as in the shell that reads the file
  }
  while (found.size() > 1 && found.back() == '/') found.pop_back();
  return found;
}
}  // namespace

std::string DesktopDownloadFolder(const std::string& home, const std::string& configHome, const std::string& fallback) {
  std::string h = home;
  while (h.size() > 1 && h.back() == '/') h.pop_back();
  if (!h.empty()) {
    // A download folder set to home itself means the user turned it off.
    std::string xdg = xdgDownloadDir(h, configHome.empty() ? h + "/.config" : configHome);
    if (xdg != h && isFolder(xdg)) return xdg;
    if (isFolder(h + "/Downloads")) return h + "/Downloads";
  }
  return fallback;
}

std::string DesktopDownloadFolder(const std::string& fallback) {
  const char* home = std::getenv("HOME");
  const char* config = std::getenv("XDG_CONFIG_HOME");
  return DesktopDownloadFolder(home ? home : "", config ? config : "", fallback);
}

std::string CurrentFolder() {
  char buf[4096];
  return ::getcwd(buf, sizeof buf) ? std::string(buf) : std::string(".");
}

std::string FullFolderPath(const std::string& text) {
  std::string path = text;
  const char* home = std::getenv("HOME");
  if ((path == "~" || path.rfind("~/", 0) == 0) && home && *home) path = home + path.substr(1);
  if (path.empty()) return path;
  if (path[0] != '/') path = CurrentFolder() + "/" + path;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? path : std::string();
}

std::string FreePath(const std::string& folder, const std::string& name, const std::vector<std::string>& taken) {
  return FreePath(folder, name, [&](const std::string& p) { return std::find(taken.begin(), taken.end(), p) != taken.end(); });
}

std::string FreePath(const std::string& folder, const std::string& name, const std::function<bool(const std::string&)>& taken) {
  std::string path = folder + "/" + NumberedName(name, 0);
  for (int n = 1; FileExists(path) || taken(path); ++n) path = folder + "/" + NumberedName(name, n);
  return path;
}

std::string FitFileName(const std::string& name, std::size_t room) {
  const std::size_t most = NAME_MAX > room ? NAME_MAX - room : 1;
  if (name.size() <= most) return name;
  // A short extension stays: it says what the file is. A longer "extension" is part of the name.
  std::size_t dot = name.rfind('.');
  std::string ext = dot != std::string::npos && dot > 0 && name.size() - dot <= 16 ? name.substr(dot) : std::string();
  std::size_t cut = most - ext.size();
  // Never half a character: UTF-8 continuation bytes go with the byte that starts them.
  while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
  return name.substr(0, cut) + ext;
}

std::string NumberedName(const std::string& name, int n) {
  if (n == 0) return FitFileName(name);
  std::string suffix = "." + std::to_string(n);
  return FitFileName(name, suffix.size()) + suffix;
}

std::string ResolvedPath(const std::string& path) {
  std::size_t slash = path.rfind('/');
  std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  char* real = ::realpath(folder.c_str(), nullptr);
  if (!real) return path;
  std::string resolved(real);
  std::free(real);
  return (resolved == "/" ? "" : resolved) + "/" + path.substr(slash == std::string::npos ? 0 : slash + 1);
}

bool CreateNewFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

bool CFile::OpenStandardOutput() {
  Close();
  m_fd = ::fcntl(1, F_DUPFD_CLOEXEC, 3);
  m_stream = true;
  return m_fd >= 0;
}

void CFile::Close() {
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
  m_stream = false;
}

bool CFile::Seek(std::int64_t offset) { return m_fd >= 0 && ::lseek(m_fd, offset, SEEK_SET) == offset; }

std::int64_t CFile::GetPosition() const { return m_fd >= 0 ? ::lseek(m_fd, 0, SEEK_CUR) : -1; }

std::int64_t CFile::GetLength() const {
  struct stat st{};
  return m_fd >= 0 && ::fstat(m_fd, &st) == 0 ? st.st_size : -1;
}

bool CFile::Write(const void* data, std::size_t n) {
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    ssize_t w = ::write(m_fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

long CFile::Read(void* data, std::size_t n) {
  ssize_t r;
  do r = ::read(m_fd, data, n);
  while (r < 0 && errno == EINTR);
  return static_cast<long>(r);
}

bool CFile::ReadAt(void* data, std::size_t n, std::int64_t offset) {
  char* p = static_cast<char*>(data);
  while (n > 0) {
    ssize_t r = ::pread(m_fd, p, n, offset);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    p += r;
    offset += r;
    n -= static_cast<std::size_t>(r);
  }
  return true;
}

bool CFile::TruncateHere() {
  std::int64_t pos = GetPosition();
  return pos >= 0 && ::ftruncate(m_fd, pos) == 0;
}

bool CFile::WriteAt(const void* data, std::size_t n, std::int64_t offset) {
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    ssize_t w = m_stream ? ::write(m_fd, p, n) : ::pwrite(m_fd, p, n, offset);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    offset += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

bool CFile::TruncateAt(std::int64_t length) { return m_fd >= 0 && ::ftruncate(m_fd, length) == 0; }

bool CFile::Reserve(std::int64_t length) {
  if (m_fd < 0) return errno = EBADF, false;
  if (GetLength() >= length) return true;
  int rc;
  // The size stays that of the bytes written: it still tells how far a file has come.
  do rc = ::fallocate(m_fd, FALLOC_FL_KEEP_SIZE, 0, length);
  while (rc != 0 && errno == EINTR);
  return rc == 0 || errno == EOPNOTSUPP || errno == ENOSYS;
}

bool FileExists(const std::string& path) {
  struct stat st{};
  return ::lstat(path.c_str(), &st) == 0;
}

std::int64_t FileSize(const std::string& path) {
  struct stat st{};
  return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? st.st_size : -1;
}

bool ReadSmallFile(const std::string& path, std::string& text, std::string& why, std::size_t maxBytes) {
  text.clear();
  why.clear();
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    why = std::strerror(errno);
    return false;
  }
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) why = std::strerror(errno);
    if (n <= 0) break;
    text.append(buf, static_cast<std::size_t>(n));
    if (text.size() > maxBytes) {
      why = "the file is too large";
      n = -1;
      break;
    }
  }
  bool ok = why.empty();
  ::close(fd);
  return ok;
}

bool MakeFolders(const std::string& path, std::string& why) {
  for (std::size_t at = path.find('/', 1);; at = path.find('/', at + 1)) {
    std::string part = path.substr(0, at);
    if (!part.empty() && ::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
      why = part + ": " + std::strerror(errno);
      return false;
    }
    if (at == std::string::npos) break;
  }
  if (!isFolder(path)) {
    why = path + ": not a folder";
    return false;
  }
  return true;
}

bool WriteSmallFile(const std::string& path, const std::string& text, std::string& why) {
  std::string tmp = path + ".tmp" + std::to_string(::getpid());
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  bool ok = fd >= 0;
  for (std::size_t done = 0; ok && done < text.size();) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<std::size_t>(n);
  }
  if (ok) ok = ::fsync(fd) == 0;
  if (!ok) why = path + ": " + std::strerror(errno);
  if (fd >= 0) ::close(fd);
  if (ok && ::rename(tmp.c_str(), path.c_str()) != 0) {
    why = path + ": " + std::strerror(errno);
    ok = false;
  }
  if (!ok) ::unlink(tmp.c_str());
  return ok;
}
