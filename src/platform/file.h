// Files: the output file is opened for writing, created if missing, never truncated,
// and locked so that no other writer (another download of the same file) can open it.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Whether anything stands at path (a link counts, even one that points nowhere).
bool FileExists(const std::string& path);
// The process's working folder ("." when it cannot be named).
std::string CurrentFolder();
// The desktop's download folder: XDG_DOWNLOAD_DIR from user-dirs.dirs when it names an
// existing folder other than home, else ~/Downloads when it exists, else fallback.
std::string DesktopDownloadFolder(const std::string& home, const std::string& configHome, const std::string& fallback);
std::string DesktopDownloadFolder(const std::string& fallback);  // home and config from the environment
// The folder text names, made whole ("~/x" in the home folder, a relative one in the working
// folder); "" when it is no folder.
std::string FullFolderPath(const std::string& text);
// The name a file system takes (NAME_MAX bytes) made of name, room bytes left for a suffix:
// cut at a character's boundary, its extension kept.
std::string FitFileName(const std::string& name, std::size_t room = 0);
// The n-th name tried for name: name itself (n = 0), then name.1, name.2, ..., each fitted.
std::string NumberedName(const std::string& name, int n);
// The path with its folder resolved (links, "..") as the system sees it, so that two
// spellings of one file compare equal; the path unchanged when its folder cannot be.
std::string ResolvedPath(const std::string& path);
// Makes a new, empty file at path, only where nothing stands (O_EXCL, a link never
// followed); false with errno set.
bool CreateNewFile(const std::string& path);
// A path in folder for name that no file has yet, nor is in taken: NumberedName(name, 0),
// then 1, 2, ...
std::string FreePath(const std::string& folder, const std::string& name, const std::vector<std::string>& taken = {});
// The same with taken asked of a function (a set, for thousands of names).
std::string FreePath(const std::string& folder, const std::string& name, const std::function<bool(const std::string&)>& taken);
// The size of the file at path, -1 when there is none.
std::int64_t FileSize(const std::string& path);
// The whole of a small file (at most maxBytes); false with why when it cannot be read.
bool ReadSmallFile(const std::string& path, std::string& text, std::string& why, std::size_t maxBytes = 16 << 20);

// Makes the folder at path and those above it (0755, as mkdir -p); false with why when one
// cannot be made.
bool MakeFolders(const std::string& path, std::string& why);
// Puts text in the file at path, whole or not at all (a temporary file renamed over it).
bool WriteSmallFile(const std::string& path, const std::string& text, std::string& why);

class CFile {
 public:
  enum class Mode { WriteShareRead, Read };
  CFile() = default;
  ~CFile();
  CFile(const CFile&) = delete;
  CFile& operator=(const CFile&) = delete;

  // False with errno set; a symbolic link at path is never followed for writing (ELOOP).
  bool Open(const std::string& path, Mode mode);
  // This process's standard output (a pipe, say), written in order: it cannot seek back.
  bool OpenStandardOutput();
  void Close();
  bool IsOpen() const { return m_fd >= 0; }
  // The descriptor, for writes the kernel does on its own (bytes spliced from a socket).
  int Handle() const { return m_fd; }
  // Standard output: bytes go in order, with no offsets.
  bool IsStream() const { return m_stream; }
  // Returns false when positioning fails.
  bool Seek(std::int64_t offset);
  std::int64_t GetPosition() const;
  std::int64_t GetLength() const;
  // Writes all n bytes at the current position; false on any failure.
  bool Write(const void* data, std::size_t n);
  // Cuts the file at the current position.
  bool TruncateHere();
  // Positional: several connections write one file, each at its own offsets, the
  // descriptor's position untouched. Standard output is written in order, offsets aside.
  bool WriteAt(const void* data, std::size_t n, std::int64_t offset);
  bool TruncateAt(std::int64_t length);
  // Reserves the disk space of length bytes now (the file's size unchanged), so that a full
  // disk shows before the download; a file system that cannot is no failure. False with
  // errno set.
  bool Reserve(std::int64_t length);
  // Reads up to n bytes at the current position; -1 on failure.
  long Read(void* data, std::size_t n);
  // Reads n bytes at offset, the position untouched; false when fewer are there.
  bool ReadAt(void* data, std::size_t n, std::int64_t offset);

 private:
  int m_fd = -1;
  bool m_stream = false;
};
