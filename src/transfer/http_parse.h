// Pieces of an HTTP reply that need no connection: header lines, the status, chunked bodies.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// A reply line split at its first blank: "Content-Length:" and "5". No blank: both empty.
struct HeaderLine {
  std::string name;
  std::string value;
};
HeaderLine splitHeaderLine(const std::string& line);

// The status code of a status line's value ("200 OK"), with its reason phrase; 0 when the
// code is not followed by a blank.
int statusCodeOf(const std::string& value, std::string& reason);

// Case-insensitive comparison of a header name.
bool headerIs(const std::string& name, const char* wanted);

// Takes the chunk framing off a body as it arrives, block by block.
class ChunkedDecoder {
 public:
  // Appends the data bytes among the n bytes at p to out.
  void decode(const char* p, std::size_t n, std::string& out);
  // The last chunk and the trailer have been read.
  bool done() const { return m_state == State::Done; }

 private:
  enum class State { SizeLine, Data, DataEnd, Trailer, Done };
  State m_state = State::SizeLine;
  std::int64_t m_left = 0;
  std::string m_line;
};
