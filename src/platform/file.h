// Files: the output file is opened for writing, created if missing, never truncated,
// and locked so that no other writer (another download of the same file) can open it.
#pragma once
#include <cstdint>
#include <string>

class CFile {
 public:
  enum class Mode { WriteShareRead, Read };
  CFile() = default;
  ~CFile();
  CFile(const CFile&) = delete;
  CFile& operator=(const CFile&) = delete;

  bool Open(const std::string& path, Mode mode);
  void Close();
  bool IsOpen() const { return m_fd >= 0; }
  // Returns false when positioning fails.
  bool Seek(std::int64_t offset);
  std::int64_t GetPosition() const;
  std::int64_t GetLength() const;
  // Writes all n bytes at the current position; false on any failure.
  bool Write(const void* data, std::size_t n);
  // Cuts the file at the current position.
  bool TruncateHere();
  // Reads up to n bytes at the current position; -1 on failure.
  long Read(void* data, std::size_t n);

 private:
  int m_fd = -1;
};
