// What is fetched from where, into which file: the address as URL parsing gives it, the
// login, and the local path. A value: the job keeps one, each connection gets a copy.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "transfer/request_options.h"

class CFile;

struct Download {
  std::string m_url;
  int m_service = 0;
  std::string m_server;
  std::uint16_t m_port = 0;
  bool m_secure = false;  // https: HTTP over TLS
  std::string m_object;
  std::string m_user;
  std::string m_password;
  // Over plain http the login goes only once this server asked for one (401): a login from
  // the URL or .netrc is held back until then. Over https it goes at once.
  bool m_loginAsked = false;
  std::string m_localPath;
  RequestOptions m_options;  // what every HTTP request adds: headers, agent, referer, cookies
};

// The local path that stands for standard output (-o -): bytes are written in order, never
// twice, and nothing is kept in the queue.
inline constexpr const char* kStandardOutput = "-";

// The resume point stepped back by rollbackBytes, on a 1024-byte boundary, never below 0.
std::int64_t StepBack(std::int64_t offset, std::int64_t rollbackBytes);

// The resume point checked against the file on disk: a point beyond the file's end steps
// back from that end. False when the file cannot be opened, with why.
bool ClampToFile(const std::string& path, std::int64_t& startOffset, std::int64_t rollbackBytes, std::string& why);

// The output file opened for writing at the resume point (0 when it cannot be positioned
// there); null when it cannot be opened, with why.
std::unique_ptr<CFile> OpenOutputFile(const std::string& path, std::int64_t& startOffset, std::string& why);

// The new file at path renamed to name in the same folder, never over another file nor to a
// name in taken (a taken name gets ".1", ".2", ... as wget does; names fitted as
// NumberedName fits them): the new path, or "" when name is empty, already the file's, or
// the rename failed (why: the reason).
std::string RenameNewFile(const std::string& path, const std::string& name, std::string& why,
                          const std::function<bool(const std::string&)>& taken = {});

