#include "platform/shared_word.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

std::unique_ptr<SharedWord> SharedWord::open(const std::string& path, std::string* why) {
  auto fail = [&](const std::string& text) {
    if (why) *why = path + ": " + text;
    return nullptr;
  };
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return fail(std::strerror(errno));
  struct stat st;
  std::string refused;
  if (::fstat(fd, &st) != 0)
    refused = std::strerror(errno);
  else if (!S_ISREG(st.st_mode) || st.st_uid != ::getuid() || (st.st_mode & 077) != 0)
    refused = "not a file of this user's alone";
  // A new file is zeros: the word reads 0. Growing it never changes bytes already there,
  // so two processes that create it at once agree.
  else if (st.st_size < static_cast<off_t>(sizeof(std::int64_t)) && ::ftruncate(fd, sizeof(std::int64_t)) != 0)
    refused = std::strerror(errno);
  void* at = MAP_FAILED;
  if (refused.empty()) {
    at = ::mmap(nullptr, sizeof(std::int64_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (at == MAP_FAILED) refused = std::strerror(errno);
  }
  ::close(fd);  // the mapping stays
  if (!refused.empty()) return fail(refused);
  return std::unique_ptr<SharedWord>(new SharedWord(static_cast<std::int64_t*>(at)));
}

SharedWord::~SharedWord() { ::munmap(m_word, sizeof(std::int64_t)); }
