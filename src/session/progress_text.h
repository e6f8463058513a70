// The display's texts and arithmetic.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "engine/pieces.h"

// The time and speed line. nothingSinceSample: no byte arrived since the last sample.
// elapsedSinceFirst: whole seconds since the process's first refresh (for an unknown size).
std::string timeSpeedLine(double averageKps, bool nothingSinceSample, std::int64_t totalSize, std::int64_t startOffset,
                          std::int64_t bytesThisConn, unsigned elapsedSinceFirst);

struct SizeTexts {
  std::string line;
  std::string title;
  int percent = -1;  // -1: size unknown, the bar stays
};
SizeTexts sizeTexts(std::int64_t have, std::int64_t totalSize, std::int64_t startOffset);

// A file of total bytes in width characters: '#' finished, '>' where a connection is, '.'
// still to fetch (a character is '#' only when all its bytes are in).
std::string pieceMap(const Ranges& finished, const std::vector<Range>& running, std::int64_t total, int width);

// A piece map drawn width characters wide: a character is '#' when all it covers is, '>'
// when a connection is anywhere in it (a narrow panel keeps the map inside its bar).
std::string scaleMap(const std::string& map, int width);
