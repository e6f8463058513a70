// Pieces of the FTP control conversation that need no connection.
#pragma once
#include <cstdint>
#include <string>

// The three-digit code a reply line starts with; 0 when it starts with no digit.
int ftpReplyCode(const std::string& line);

// Follows the lines of one connection's replies: a multi-line reply ("ddd-") ends only at a
// line starting with its own code followed by a blank (or the code alone).
class FtpReplyReader {
 public:
  // True when line ends a reply (code is its ftpReplyCode).
  bool endsReply(const std::string& line, int code);

 private:
  int m_multiCode = 0;  // the code of the multi-line reply under way, 0 none
};

// The data port of a passive reply "227 ... (h1,h2,h3,h4,p1,p2)", with the host it names
// ("h1.h2.h3.h4"); 0 when it names none.
std::uint16_t parsePassiveReply(const std::string& line, std::string& host);

// The size a RETR reply names ("150 ... (1234 bytes)."); false when it names none, or
// none that is a plain number up to 2^62.
bool parseRetrSize(const std::string& line, std::int64_t& size);
// The size a SIZE reply names ("213 1234"); false for any other reply.
bool parseSizeReply(const std::string& line, std::int64_t& size);
// The time an MDTM reply names ("213 YYYYMMDDHHMMSS", fractions of a second kept), as
// sent; false for any other reply.
bool parseMdtmReply(const std::string& line, std::string& stamp);
// Whether the reply names a size at all (readable or not).
bool namesRetrSize(const std::string& line);
