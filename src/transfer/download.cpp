#include "transfer/download.h"

#include <cerrno>
#include <cstring>

#include "platform/file.h"

namespace {
// Why the output file could not be opened, in the user's words where errno's are unclear.
std::string openFailure(int err) {
  if (err == ELOOP) return "It is a symbolic link; downloads are not written through links.";
  if (err == EAGAIN) return "Another download is writing to it.";
  return std::strerror(err);
}
}  // namespace

std::int64_t StepBack(std::int64_t offset, std::int64_t rollbackBytes) {
  std::int64_t v = (offset - rollbackBytes) / 1024 * 1024;  // division truncates toward zero
  return v < 0 ? 0 : v;
}

bool ClampToFile(const std::string& path, std::int64_t& startOffset, std::int64_t rollbackBytes, std::string& why) {
  CFile f;
  if (!f.Open(path, CFile::Mode::WriteShareRead)) {
    why = openFailure(errno);
    return false;
  }
  std::int64_t length = f.GetLength();
  if (startOffset > 0 && startOffset > length) startOffset = StepBack(length, rollbackBytes);
  return true;
}

std::unique_ptr<CFile> OpenOutputFile(const std::string& path, std::int64_t& startOffset, std::string& why) {
  auto file = std::make_unique<CFile>();
  if (!file->Open(path, CFile::Mode::WriteShareRead)) {
    why = openFailure(errno);
    return nullptr;
  }
  if (!file->Seek(startOffset)) {
    startOffset = 0;
    file->Seek(0);
  }
  return file;
}
