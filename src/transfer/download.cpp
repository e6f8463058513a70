#include "transfer/download.h"

#include <fcntl.h>
#include <stdio.h>

#include <algorithm>
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
  if (path == kStandardOutput) return true;
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
  if (path == kStandardOutput) {
    if (file->OpenStandardOutput()) return file;
    why = std::strerror(errno);
    return nullptr;
  }
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

std::string RenameNewFile(const std::string& path, const std::string& name, std::string& why,
                          const std::function<bool(const std::string&)>& taken) {
  auto slash = path.rfind('/');
  std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
  if (name.empty() || folder + "/" + NumberedName(name, 0) == path) return std::string();
  for (int n = 0; n < 1000; ++n) {
    std::string target = folder + "/" + NumberedName(name, n);
    if (target == path) return std::string();
    if (taken && taken(target)) continue;
    // No other file is ever replaced, even one made in between.
    if (::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) return target;
    if (errno != EEXIST) break;
  }
  why = std::strerror(errno);
  return std::string();
}
