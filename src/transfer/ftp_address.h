// The data connection's address in FTP commands and replies: PORT and PASV over IPv4,
// their extended forms EPRT and EPSV (RFC 2428) over IPv6, which PORT and PASV cannot name.
#pragma once
#include <cstdint>
#include <string>

// An address of the IPv6 family (the only ones with a colon).
bool isIpv6(const std::string& address);
// "PORT h1,h2,h3,h4,p1,p2" for an IPv4 address, "EPRT |2|address|port|" for an IPv6 one.
std::string ftpPortCommand(const std::string& localAddress, unsigned port);
// "PASV" over an IPv4 control connection, "EPSV" over an IPv6 one.
std::string ftpPassiveCommand(const std::string& localAddress);
// The port of an extended passive reply "229 ... (|||port|)"; 0 when it names none.
std::uint16_t parseExtendedPassiveReply(const std::string& line);
