// Pieces: which byte ranges of a file are finished, which are still to fetch, and where a
// further connection starts. Pure values and functions: the job keeps the state, these
// decide.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct Range {
  std::int64_t first = 0;  // the first byte
  std::int64_t end = 0;    // the byte after the last
  std::int64_t size() const { return end - first; }
  bool operator==(const Range&) const = default;
};
using Ranges = std::vector<Range>;  // sorted, neither overlapping nor touching

namespace pieces {
// No connection is opened for less: a new one costs a round trip or two.
constexpr std::int64_t kMinPiece = std::int64_t{1} << 20;

// r added to the set (merged with its neighbours).
void add(Ranges& set, Range r);
// The set without r.
void remove(Ranges& set, Range r);
// The set holds every byte of r.
bool covers(const Ranges& set, Range r);
// The bytes complete from byte 0.
std::int64_t prefix(const Ranges& set);
// The set without the part that lies before `from`.
Ranges from(const Ranges& set, std::int64_t from);
std::int64_t bytes(const Ranges& set);
// What of [0, total) the set lacks.
Ranges missing(const Ranges& set, std::int64_t total);
// Each range's end stepped back by the rollback, as a resume steps back from its point;
// ranges that come to nothing go.
Ranges rollback(const Ranges& set, std::int64_t rollbackBytes);

// Where a further connection starts. free: bytes nobody fetches; busy: what each running
// connection has still to fetch ([its next byte, its end)). A free range is taken whole
// (the largest first); else the second half of the largest busy range, when both halves
// are at least kMinPiece. `from` is the busy range that is split (its end becomes the
// piece's first byte), -1 for a free range. got: what each busy connection has already
// received of its request; those bytes count toward its half (a server that sends each
// request's first second at once then finishes both halves together), as long as it
// keeps a piece.
struct Claim {
  int from = -1;
  Range piece;
  bool operator==(const Claim&) const = default;
};
std::optional<Claim> claim(const Ranges& free, const std::vector<Range>& busy,
                           const std::vector<std::int64_t>& got = {});

// The set as the queue entry keeps it: "first-end,first-end" in bytes; false when text
// is not such a list (the set is then empty).
std::string format(const Ranges& set);
bool parse(const std::string& text, Ranges& set);
}  // namespace pieces
