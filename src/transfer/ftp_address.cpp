#include "transfer/ftp_address.h"

#include <cstdlib>

#include "platform/services.h"

bool isIpv6(const std::string& address) { return address.find(':') != std::string::npos; }

std::string ftpPortCommand(const std::string& localAddress, unsigned port) {
  if (isIpv6(localAddress)) return Format("EPRT |2|%s|%u|\r\n", localAddress.c_str(), port);
  std::string address = localAddress;
  for (auto& c : address)
    if (c == '.') c = ',';
  return Format("PORT %s,%u,%u\r\n", address.c_str(), port / 256, port % 256);
}

std::string ftpPassiveCommand(const std::string& localAddress) {
  return isIpv6(localAddress) ? "EPSV\r\n" : "PASV\r\n";
}

std::uint16_t parseExtendedPassiveReply(const std::string& line) {
  // The delimiter is the first character inside the parentheses; the address fields stay
  // empty: the data connection goes to the control connection's peer anyway.
  auto open = line.find('(');
  if (open == std::string::npos || open + 4 >= line.size()) return 0;
  char d = line[open + 1];
  if (line[open + 2] != d || line[open + 3] != d) return 0;
  const char* p = line.c_str() + open + 4;
  char* end = nullptr;
  long port = std::strtol(p, &end, 10);
  if (end == p || *end != d || port <= 0 || port > 65535) return 0;
  return static_cast<std::uint16_t>(port);
}
