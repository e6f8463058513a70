// Splitting URLs into service, server, port and object.
#pragma once
#include <cstdint>
#include <string>

namespace svc {
constexpr int kFtp = 1;
constexpr int kGopher = 2;
constexpr int kHttp = 3;
constexpr int kUnknown = 4096;
constexpr int kFile = 4097;
constexpr int kMail = 4098;
constexpr int kMid = 4099;
constexpr int kCid = 4100;
constexpr int kNews = 4101;
constexpr int kNntp = 4102;
constexpr int kProspero = 4103;
constexpr int kTelnet = 4104;
constexpr int kWais = 4105;
constexpr int kAfs = 4106;
}  // namespace svc

// Splits text; fails for an empty text, a text with no known prefix, or one holding
// control characters (they would end up in request lines or FTP commands).
bool parseUrl(const std::string& text, int& service, std::string& server, std::string& object, std::uint16_t& port);

// An https URL: service HTTP over TLS.
bool isSecureUrl(const std::string& text);
// The port a URL of service means when it names none.
std::uint16_t defaultPort(int service, bool secure);

// The file name of an object: the last segment of its path (never of its query), trimmed.
std::string urlFileName(const std::string& object);

// Drops the fragment from an object and keeps the query: "a?q#f" -> "a?q", "a#f?q" -> "a".
std::string cutFragment(const std::string& object);

// Resolves a Location value against the URL it came from.
std::string resolveLocation(const std::string& base, const std::string& location);

bool hasControlChars(const std::string& text);
std::string toUpper(std::string s);
std::string trim(const std::string& s);

// Takes "user:password@" off the server part of url: the URL without it, with user and
// password set (both untouched when it names none).
std::string splitCredentials(const std::string& url, std::string& user, std::string& password);

// The URL as it may be shown: a password in it replaced by "***"; also a proxy setting
// without its scheme ("user:password@host:port"). The one mask for every place a URL shows.
std::string displayUrl(const std::string& url);
// The same mask over an argument in place, as `ps` reads it: the text never grows (a password
// shorter than the mask is starred byte by byte) and what it loses becomes NUL bytes.
void hidePassword(char* arg);

// A request target with every character that RFC 3986 does not allow there (blanks,
// quotes, angle brackets, bytes beyond ASCII, ...) percent-encoded; "%" stays as it is.
std::string encodeRequestTarget(const std::string& target);

// A file name taken from a URL as a user would name the file: "%20" becomes a blank. Escapes
// that would yield "/", NUL or another control character stay encoded, and so does the whole
// name when decoding would give "." or ".." or bytes that are not UTF-8, or a C1 control or
// bidirectional override (those are encoded even when they came raw). Leading dots and
// blanks are dropped: never a hidden file.
std::string decodeFileName(const std::string& name);

// Whether a command line's word is a local mirror list's path ("/..." or a drive "X:\\...")
// rather than a URL.
bool isLocalListPath(const std::string& word);
// The name a file fetched from url takes by default: its path's last segment, decoded
// (decodeFileName); "" when the URL names no file or cannot be read.
std::string urlSaveName(const std::string& url);

// A name a server gave (Content-Disposition) made fit to save under, as URL names are: no
// folder (only what follows the last "/" or "\"), no leading dot, no control characters.
std::string serverFileName(const std::string& name);

// A URL typed without a scheme ("example.org/f.iso") is an http:// one, as wget takes it;
// true when text is such a URL (and url then has the scheme). Paths, queue numbers ("#05")
// and switches are no URLs.
bool addDefaultScheme(const std::string& text, std::string& url);
