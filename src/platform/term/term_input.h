// Standard input for terminal mode: whole lines for prompts, single keys for the session panel.
#pragma once
#include <functional>
#include <optional>
#include <string>

namespace term {

bool stdinIsTty();
bool stderrIsTty();

// Writes to standard error as one write, so lines of several processes do not mix.
void writeErr(const std::string& text);

// Asks prompt and reads one line while the event loop goes on; nullopt at the end of input.
std::optional<std::string> readLine(const std::string& prompt, bool echo = true);

// Keys typed while no line is being read go to handler (the session panel).
void setKeyHandler(std::function<void(char)> handler);

// Puts the terminal back as it was (raw key mode off).
void restoreTerminal();

// Prefix for every line a hand-off copy prints ("[05] "), empty otherwise.
std::string& linePrefix();

}  // namespace term
