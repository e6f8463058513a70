// Pieces of an HTTP reply that need no connection: header lines, the status, chunked bodies.
#pragma once
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

// A reply line split at its first blank: "Content-Length:" and "5". No blank: both empty.
struct HeaderLine {
  std::string name;
  std::string value;
};
HeaderLine splitHeaderLine(const std::string& line);

// A status line "HTTP/1.1 200 OK" (the reason may be empty): false when line is none.
bool parseStatusLine(const std::string& line, int& code, std::string& reason);

// Numbers from the wire beyond this are refused: byte counts and offsets stay far from overflow.
constexpr std::int64_t kMaxWireNumber = std::int64_t{1} << 62;

// A Content-Length value: decimal digits only, at most kMaxWireNumber.
bool parseContentLength(const std::string& value, std::int64_t& length);

// A Content-Range value "bytes first-last/total" (total may be "*"): false unless
// first <= last, all within kMaxWireNumber. total (when given): the whole length, -1 for "*".
bool parseContentRange(const std::string& value, std::int64_t& first, std::int64_t& last,
                       std::int64_t* total = nullptr);

// A Retry-After value, seconds or an HTTP date, as seconds from now (0 for a date past);
// -1 when it is neither.
int parseRetryAfter(const std::string& value, std::time_t now);

// Case-insensitive comparison of a header name.
bool headerIs(const std::string& name, const char* wanted);

// The realm of a WWW-Authenticate or Proxy-Authenticate challenge, as given (quotes kept):
// what follows "realm=", else what follows the scheme.
std::string challengeRealm(const std::string& challenge);

// Takes the chunk framing off a body as it arrives, block by block.
class ChunkedDecoder {
 public:
  // Appends the data bytes among the n bytes at p to out.
  void decode(const char* p, std::size_t n, std::string& out);
  // The last chunk and the trailer have been read.
  bool done() const { return m_state == State::Done; }
  // The framing is broken (a size that is no hex number or too large, no line end after
  // a chunk's data, an endless line): nothing after it is data.
  bool failed() const { return m_state == State::Failed; }
  // Bytes came after the end: not the body's, and its connection cannot carry another reply.
  bool overrun() const { return m_overrun; }

 private:
  enum class State { SizeLine, Data, DataEnd, Trailer, Done, Failed };
  State m_state = State::SizeLine;
  std::int64_t m_left = 0;
  std::string m_line;
  bool m_overrun = false;
};

// The file name a Content-Disposition value gives, as the server wrote it: filename*
// (RFC 8187: charset'language'percent-encoded, UTF-8 or ISO-8859-1) before filename (a token
// or a quoted string); "" when it gives none that can be read. Not yet fit to save under:
// see serverFileName (transfer/url.h).
std::string contentDispositionName(const std::string& value);

// The digest of the whole file a Repr-Digest (RFC 9530, "sha-256=:BASE64:") or, with
// legacy, a Digest (RFC 3230, "SHA-256=BASE64") value gives, as "sha256=HEX" or
// "sha512=HEX" (the stronger when both are given); "" when it gives neither.
std::string wholeFileDigest(const std::string& value, bool legacy);
