// Reading mirror list files: a header "FML,1.0," and one site per line.
#pragma once
#include <string>

class CFile;

// The next line (at most 255 bytes), trimmed; advances the file past it.
std::string readListLine(CFile& file);
// The URL part of a site line: after its third comma, or the whole line.
std::string siteUrlOf(const std::string& line);
