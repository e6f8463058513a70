// A mirror list file as a stranger may offer it: every line is read, each read moves on, and
// no line is longer than the reader's limit.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "check.h"
#include "platform/file.h"
#include "queue/mirror_list.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The reader works on a file: one in memory, rewritten for each input, opened by its path.
  static const int fd = ::memfd_create("mirror-list", MFD_CLOEXEC);
  static const std::string path = "/proc/self/fd/" + std::to_string(fd);
  FUZZ_CHECK(fd >= 0 && ::ftruncate(fd, 0) == 0);
  FUZZ_CHECK(::pwrite(fd, data, size, 0) == static_cast<ssize_t>(size));

  CFile file;
  FUZZ_CHECK(file.Open(path, CFile::Mode::Read));
  std::int64_t length = file.GetLength();
  while (file.GetPosition() < length) {
    std::int64_t before = file.GetPosition();
    std::string line = readListLine(file);
    FUZZ_CHECK(file.GetPosition() > before);
    FUZZ_CHECK(line.size() <= 255);
    FUZZ_CHECK(siteUrlOf(line).size() <= line.size());
  }
  return 0;
}
