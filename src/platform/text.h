// Text from outside (server replies, headers, URLs, file names) as it may be shown.
#pragma once
#include <functional>
#include <string>
#include <string_view>

// The text with every character that could drive a terminal or reorder what is shown
// replaced by U+FFFD: C0 controls, DEL, C1 controls (so ESC, BEL, CSI), the bidirectional
// overrides and isolates, and bytes that are no UTF-8. Line breaks ("\n", "\r\n") stay.
std::string displayText(std::string_view text);

// The text on one line with those characters written out as escapes: "\t", "\n", "\r",
// "\xHH" for other bytes below 0x20, DEL and bytes that are no UTF-8, "\u202E" for the rest
// (names in a table, where a tab or a line break would break its columns or rows).
std::string escapedText(std::string_view text);

// The same walk with a replacement of one's own for each such character (given its bytes);
// line breaks are replaced too unless keepBreaks.
std::string replaceUnshowable(std::string_view text, bool keepBreaks,
                              const std::function<std::string(std::string_view)>& with);
