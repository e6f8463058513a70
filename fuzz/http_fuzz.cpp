// An HTTP reply as a hostile server may send it: the status line, header lines and a chunked
// body, the body fed to the decoder in blocks of random sizes as the socket would deliver them.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "check.h"
#include "transfer/http_parse.h"
#include "transfer/url.h"

namespace {
void checkLine(const std::string& line) {
  int code = -1;
  std::string reason;
  if (parseStatusLine(line, code, reason)) FUZZ_CHECK(code >= 0 && code <= 999);
  HeaderLine h = splitHeaderLine(line);
  headerIs(h.name, "Content-Length:");
  std::int64_t length = -1;
  if (parseContentLength(h.value, length)) FUZZ_CHECK(length >= 0 && length <= kMaxWireNumber);
  std::int64_t first = -1, last = -1;
  if (parseContentRange(h.value, first, last)) FUZZ_CHECK(first >= 0 && first <= last && last <= kMaxWireNumber);
  // A server's name is never a path, a hidden file or a control character once cleaned.
  std::string name = serverFileName(contentDispositionName(h.value));
  FUZZ_CHECK(name.find('/') == std::string::npos && (name.empty() || name[0] != '.'));
  for (unsigned char c : name) FUZZ_CHECK(c >= 0x20 && c != 0x7F);
  for (bool legacy : {false, true}) {
    std::string digest = wholeFileDigest(h.value, legacy);
    FUZZ_CHECK(digest.empty() || digest.size() == 7 + 64 || digest.size() == 7 + 128);
  }
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The first four bytes choose the block sizes, the rest is the reply.
  if (size < 4) return 0;
  std::uint32_t blockSeed = std::uint32_t{data[0]} << 24 | std::uint32_t{data[1]} << 16 | std::uint32_t{data[2]} << 8 | data[3];
  std::string input(reinterpret_cast<const char*>(data) + 4, size - 4);

  for (std::size_t b = 0; b <= input.size();) {
    auto e = input.find('\n', b);
    if (e == std::string::npos) e = input.size();
    std::string line = input.substr(b, e - b);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    checkLine(line);
    b = e + 1;
  }

  // The decoder's result must not depend on how the body was cut into blocks.
  ChunkedDecoder whole;
  std::string all;
  whole.decode(input.data(), input.size(), all);
  FUZZ_CHECK(all.size() <= input.size());
  FUZZ_CHECK(!(whole.done() && whole.failed()));

  ChunkedDecoder pieces;
  std::string parts;
  std::uint32_t seed = blockSeed;
  for (std::size_t pos = 0; pos < input.size();) {
    seed = seed * 1103515245u + 12345u;
    std::size_t n = std::min<std::size_t>(input.size() - pos, 1 + (seed >> 16) % 64);
    pieces.decode(input.data() + pos, n, parts);
    pos += n;
  }
  FUZZ_CHECK(parts == all);
  FUZZ_CHECK(pieces.done() == whole.done() && pieces.failed() == whole.failed());
  return 0;
}
