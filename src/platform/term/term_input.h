// Standard input for terminal mode: whole lines for prompts, single keys for the session panel.
#pragma once
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace term {

// A terminal this process may use: it is in the terminal's foreground group.
bool stdinIsTty();
bool stderrIsTty();
// Panel, keys and questions on the terminal: standard input and error are both terminals.
bool interactive();

// Quiet (-q): no progress lines; messages and the final lines stay.
bool& quiet();
// Progress in lines, never the panel (the download goes to standard output).
bool& linesOnly();

// Writes to standard error as one write, so lines of several processes do not mix; control
// characters and bidirectional overrides in text are shown replaced (displayText). Every line
// begun here starts with the line prefix.
void writeErr(const std::string& text);
// Writes text as a line of its own.
void writeLine(const std::string& text);

// Asks prompt and reads one line while the event loop goes on; nullopt at the end of input
// (or once endInput was called). With standard error elsewhere and standard input a
// terminal, the prompt is also shown on that terminal, where it is answered. When standard
// input is no terminal the prompt is written only once an answer's first byte has come.
std::optional<std::string> readLine(const std::string& prompt, bool echo = true);

// Lines being read, and any read later, end as at the end of input.
void endInput();

// Runs the event loop until fd reaches its end (or endInput is called), then closes it.
void waitForEnd(int fd);

// Whether a line is being read (a question is open).
bool readingLine();
// Ctrl-C at a question: the line being read ends as at the end of input, once, and
// lineInterrupted() says so until the next read. A question is never asked inside another.
void interruptLine();
bool lineInterrupted();
// After a read that asked nothing (the end of input came first): says the question, when
// given, and the answer taken in its place, "<answer> (end of input)".
void sayTaken(const std::string& answer, const std::string& question = "");

// The panel: lines kept below everything else written to standard error and redrawn in place,
// the cursor resting on its first line. render gives them for the terminal's width (each
// shorter than it) and at most rows() of them (more would scroll its first lines away, out of
// reach of the next redraw: only the first rows() are drawn); the panel is drawn again on
// every redrawPanel and every resize. An empty render removes it.
void setPanel(std::function<std::vector<std::string>(int columns)> render);
void redrawPanel();
// Draws the panel a last time and leaves it in place; output goes on below it.
void endPanel();
// The terminal's width and height (80 and 24 when standard error is no terminal).
int columns();
int rows();
// text shortened in the middle with "…" to at most width characters (at its end when
// atEnd: a table's line keeps its first columns whole).
std::string fitWidth(const std::string& text, int width, bool atEnd = false);
// text in lines of at most width characters, broken at blanks and never inside a word (a word
// wider than a line is shortened with fitWidth); lines after the first begin with indent.
std::vector<std::string> wrapWords(const std::string& text, int width, const std::string& indent = "");

// Keys typed while no line is being read go to handler (the session panel).
void setKeyHandler(std::function<void(char)> handler);

// Puts the terminal back as it was (raw key mode off).
void restoreTerminal();

// Prefix for every line a hand-off copy prints ("[05] "), empty otherwise.
std::string& linePrefix();
// Many sessions share this process's lines (a batch): each line carries the tag of the window
// it is said for, the acting window's (ActingWindow) when there is one, else linePrefix.
bool& tagPerWindow();

}  // namespace term
