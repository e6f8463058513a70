// One download as a value: what is fetched from where, into which file, and from which
// byte on. The session keeps it; a transfer works on it for one connection.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

class CFile;

struct Download {
  // The address, and its parts as URL parsing gives them.
  std::string m_url;
  int m_service = 0;
  std::string m_server;
  std::uint16_t m_port = 0;
  bool m_secure = false;  // https: HTTP over TLS
  std::string m_object;
  std::string m_user;
  std::string m_password;

  // The output file and the resume point: m_startOffset is the bytes already in the file
  // when the current connection began, the offset asked of the server.
  std::string m_localPath;
  std::int64_t m_startOffset = 0;
  // What the server announced for this connection (not the whole file when resuming), 0 unknown.
  std::int64_t m_totalSize = 0;
  // Bytes received and written on the current connection.
  std::int64_t m_bytesThisConn = 0;

  // What is known of the server's file: its stamp, and whether it resumes at all.
  std::string m_lastModified;
  int m_stupidServer = 0;
  // Redirects followed in a row; reset once a reply is not a redirect.
  int m_redirectCount = 0;

  // The current connection's request and reply headers or FTP dialogue, for the viewer.
  std::string m_headers;
};

// The resume point stepped back by rollbackBytes, on a 1024-byte boundary, never below 0.
std::int64_t StepBack(std::int64_t offset, std::int64_t rollbackBytes);

// The resume point checked against the file on disk: a point beyond the file's end steps
// back from that end. False when the file cannot be opened, with why.
bool ClampToFile(const std::string& path, std::int64_t& startOffset, std::int64_t rollbackBytes, std::string& why);

// The output file opened for writing at the resume point (0 when it cannot be positioned
// there); null when it cannot be opened, with why.
std::unique_ptr<CFile> OpenOutputFile(const std::string& path, std::int64_t& startOffset, std::string& why);
