// The replies of a hostile FTP server, line by line: the reply codes and multi-line replies,
// the passive replies (227 and 229), the size a RETR reply names and the time MDTM names.
#include <cstddef>
#include <cstdint>
#include <string>

#include "check.h"
#include "transfer/ftp_address.h"
#include "transfer/ftp_parse.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string input(reinterpret_cast<const char*>(data), size);
  FtpReplyReader reader;
  for (std::size_t b = 0; b <= input.size();) {
    auto e = input.find('\n', b);
    if (e == std::string::npos) e = input.size();
    std::string line = input.substr(b, e - b);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    b = e + 1;

    int code = ftpReplyCode(line);
    FUZZ_CHECK(code >= 0 && code <= 999);
    reader.endsReply(line, code);
    std::string host;
    parsePassiveReply(line, host);
    FUZZ_CHECK(host.size() <= line.size());
    parseExtendedPassiveReply(line);
    std::int64_t bytes = 0;
    parseRetrSize(line, bytes);
    std::string stamp;
    if (parseMdtmReply(line, stamp)) FUZZ_CHECK(stamp.size() >= 14 && stamp.size() < line.size());
  }
  return 0;
}
