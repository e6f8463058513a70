#include "transfer/download.h"

#include "platform/file.h"

std::int64_t StepBack(std::int64_t offset, std::int64_t rollbackBytes) {
  std::int64_t v = (offset - rollbackBytes) / 1024 * 1024;  // division truncates toward zero
  return v < 0 ? 0 : v;
}

bool ClampToFile(const std::string& path, std::int64_t& startOffset, std::int64_t rollbackBytes) {
  CFile f;
  if (!f.Open(path, CFile::Mode::WriteShareRead)) return false;
  std::int64_t length = f.GetLength();
  if (startOffset > 0 && startOffset > length) startOffset = StepBack(length, rollbackBytes);
  return true;
}

std::unique_ptr<CFile> OpenOutputFile(const std::string& path, std::int64_t& startOffset) {
  auto file = std::make_unique<CFile>();
  if (!file->Open(path, CFile::Mode::WriteShareRead)) return nullptr;
  if (!file->Seek(startOffset)) {
    startOffset = 0;
    file->Seek(0);
  }
  return file;
}
