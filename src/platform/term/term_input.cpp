#include "platform/term/term_input.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <QEventLoop>
#include <QSocketNotifier>
#include <algorithm>
#include <memory>

#include "platform/text.h"
#include "platform/wnd.h"

namespace term {
namespace {
std::function<void(char)> g_keyHandler;
std::unique_ptr<QSocketNotifier> g_keyNotifier;
bool g_inLine = false;
bool g_inputEnded = false;
bool g_interruptAsked = false;  // Ctrl-C came while a line was read
bool g_lastInterrupted = false;
bool g_promptSkipped = false;  // the last read ended before its prompt was written
bool g_midLine = false;  // the last text written left its line open (a prompt answered from a pipe)
QEventLoop* g_lineLoop = nullptr;
QEventLoop* g_waitLoop = nullptr;  // waitForEnd's
bool g_rawSet = false;
termios g_saved{};

std::function<std::vector<std::string>(int)> g_panel;
bool g_panelShown = false;  // drawn, with the cursor on its first line
int g_winchPipe[2] = {-1, -1};
std::unique_ptr<QSocketNotifier> g_winchNotifier;

void setRaw(bool raw) {
  if (!stdinIsTty()) return;
  if (raw && !g_rawSet) {
    ::tcgetattr(0, &g_saved);
    termios t = g_saved;
    t.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    ::tcsetattr(0, TCSANOW, &t);
    g_rawSet = true;
  } else if (!raw && g_rawSet) {
    ::tcsetattr(0, TCSANOW, &g_saved);
    g_rawSet = false;
  }
}

void armKeys() {
  bool want = g_keyHandler && !g_inLine && stdinIsTty();
  if (want && !g_keyNotifier) {
    g_keyNotifier = std::make_unique<QSocketNotifier>(0, QSocketNotifier::Read);
    QObject::connect(g_keyNotifier.get(), &QSocketNotifier::activated, [] {
      char c;
      if (::read(0, &c, 1) == 1 && g_keyHandler) {
        auto handler = g_keyHandler;
        handler(c);
      }
    });
  }
  if (g_keyNotifier) g_keyNotifier->setEnabled(want);
  setRaw(want);
}

struct RestoreAtExit {
  ~RestoreAtExit() { setRaw(false); }
} g_restore;

void rawWrite(const std::string& text) {
  std::size_t off = 0;
  while (off < text.size()) {
    ssize_t n = ::write(2, text.data() + off, text.size() - off);
    if (n <= 0) break;
    off += static_cast<std::size_t>(n);
  }
}

// Everything from the cursor down is cleared first, so whatever a resize made of the old
// panel's lines goes with it; afterwards the cursor goes back up to the first line.
std::string panelText() {
  std::string out = "\r\x1b[J";
  auto lines = g_panel(columns());
  if (lines.size() > static_cast<std::size_t>(rows())) lines.resize(static_cast<std::size_t>(rows()));
  for (std::size_t i = 0; i < lines.size(); ++i) out += (i ? "\n" : "") + displayText(lines[i]);
  out += "\r";
  if (lines.size() > 1) out += "\x1b[" + std::to_string(lines.size() - 1) + "A";
  g_panelShown = true;
  return out;
}

void onWinch(int) {
  char b = 0;
  [[maybe_unused]] auto n = ::write(g_winchPipe[1], &b, 1);
}

void watchResizes() {
  if (g_winchNotifier || ::pipe2(g_winchPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  struct sigaction sa{};
  sa.sa_handler = onWinch;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  ::sigaction(SIGWINCH, &sa, nullptr);
  g_winchNotifier = std::make_unique<QSocketNotifier>(g_winchPipe[0], QSocketNotifier::Read);
  QObject::connect(g_winchNotifier.get(), &QSocketNotifier::activated, [] {
    char b;
    while (::read(g_winchPipe[0], &b, 1) == 1) {
    }
    redrawPanel();
  });
}
}  // namespace

void restoreTerminal() {
  endPanel();
  setRaw(false);
}

// A process outside the terminal's foreground group (started with "&") is stopped when it
// changes the terminal's modes: to it the terminal is no terminal, and it works in lines.
static bool usableTerminal(int fd) { return ::isatty(fd) == 1 && ::tcgetpgrp(fd) == ::getpgrp(); }
bool stdinIsTty() { return usableTerminal(0); }
bool stderrIsTty() { return usableTerminal(2); }
bool interactive() { return stdinIsTty() && stderrIsTty(); }

bool& quiet() {
  static bool q = false;
  return q;
}

bool& linesOnly() {
  static bool l = false;
  return l;
}

void writeErr(const std::string& rawText) {
  if (rawText == "\a") return rawWrite(rawText);  // a bell moves nothing on the screen
  // Everything written here may hold a server's words: none of it may drive the terminal.
  std::string text = displayText(rawText);
  // A copy's every line says whose it is, also the second line of a message.
  std::string prefix = linePrefix();
  if (tagPerWindow())
    if (auto* dlg = dynamic_cast<CDialog*>(ActingWindow()); dlg && !dlg->Tag().empty()) prefix = "[" + dlg->Tag() + "] ";
  if (!prefix.empty()) {
    std::string marked;
    bool lineStart = !g_midLine;
    for (char c : text) {
      if (lineStart && c != '\n') marked += prefix;
      marked += c;
      lineStart = c == '\n';
    }
    text = std::move(marked);
  }
  std::string out;
  if (g_panelShown) {
    out = "\r\x1b[J";  // the panel makes way, and is drawn again below a whole line
    g_panelShown = false;
  }
  out += text;
  if (!text.empty()) g_midLine = text.back() != '\n';
  if (g_panel && !g_inLine && !text.empty() && text.back() == '\n') out += panelText();
  rawWrite(out);
}

void writeLine(const std::string& text) { writeErr((g_midLine ? "\n" : "") + text + "\n"); }

std::string& linePrefix() {
  static std::string prefix;
  return prefix;
}

bool& tagPerWindow() {
  static bool perWindow = false;
  return perWindow;
}

std::optional<std::string> readLine(const std::string& prompt, bool echo) {
  g_lastInterrupted = g_interruptAsked = false;
  g_promptSkipped = true;
  if (g_inputEnded) return std::nullopt;
  g_inLine = true;
  armKeys();
  termios saved{};
  bool noEcho = !echo && stdinIsTty();
  if (noEcho) {
    ::tcgetattr(0, &saved);
    termios t = saved;
    t.c_lflag &= static_cast<tcflag_t>(~ECHO);
    ::tcsetattr(0, TCSANOW, &t);
  }
  // From a pipe or a file the prompt waits for the answer's first byte: at the end of input
  // nothing is asked, and a log holds no question nobody saw.
  bool deferred = ::isatty(0) != 1;
  if (!deferred) writeErr(prompt);
  if (stdinIsTty() && !stderrIsTty()) {
    // Standard error goes elsewhere: the question is shown where it is answered.
    int tty = ::open("/dev/tty", O_WRONLY | O_CLOEXEC);
    if (tty >= 0) {
      std::string shown = displayText(prompt);
      [[maybe_unused]] auto n = ::write(tty, shown.data(), shown.size());
      ::close(tty);
    }
  }
  std::string line;
  bool eof = false, done = false;
  {
    QEventLoop loop;
    QSocketNotifier n(0, QSocketNotifier::Read);
    QObject::connect(&n, &QSocketNotifier::activated, [&] {
      char buf[1];
      ssize_t r = ::read(0, buf, 1);
      if (r > 0 && deferred) {
        writeErr(prompt);
        deferred = false;
      }
      if (r <= 0) {
        eof = true;
        loop.exit(0);
        return;
      }
      if (buf[0] == '\n') {
        done = true;
        loop.exit(0);
        return;
      }
      line += buf[0];
    });
    g_lineLoop = &loop;
    loop.exec();
    g_lineLoop = nullptr;
  }
  if (g_inputEnded || g_interruptAsked) eof = true, done = false, line.clear();
  g_lastInterrupted = g_interruptAsked;
  g_interruptAsked = false;
  if (noEcho) {
    ::tcsetattr(0, TCSANOW, &saved);
    writeErr("\n");
  }
  g_inLine = false;
  armKeys();
  if (!line.empty() && line.back() == '\r') line.pop_back();
  g_promptSkipped = deferred;
  if (eof && !noEcho && !deferred) writeErr("\n");  // the prompt's line is ended, as Enter would have
  if (stdinIsTty()) g_midLine = false;  // the terminal's echo ended the line
  redrawPanel();
  if (eof && line.empty() && !done) return std::nullopt;
  return line;
}

bool readingLine() { return g_lineLoop != nullptr; }

void interruptLine() {
  if (!g_lineLoop) return;
  g_interruptAsked = true;
  g_lineLoop->exit(0);
}

bool lineInterrupted() { return g_lastInterrupted; }

void sayTaken(const std::string& answer, const std::string& question) {
  if (!g_promptSkipped) return;
  // One write: another copy's line never comes between the question and its answer.
  writeErr((question.empty() && g_midLine ? "\n" : "") + question + answer + " (end of input)\n");
}

void endInput() {
  g_inputEnded = true;
  if (g_lineLoop) g_lineLoop->exit(0);
  if (g_waitLoop) g_waitLoop->exit(0);
}

void waitForEnd(int fd) {
  if (fd < 0) return;
  if (!g_inputEnded) {
    QEventLoop loop;
    QSocketNotifier n(fd, QSocketNotifier::Read);
    QObject::connect(&n, &QSocketNotifier::activated, [&] {
      char buf[64];
      if (::read(fd, buf, sizeof buf) <= 0) loop.exit(0);
    });
    g_waitLoop = &loop;
    loop.exec();
    g_waitLoop = nullptr;
  }
  ::close(fd);
}

void setKeyHandler(std::function<void(char)> handler) {
  g_keyHandler = std::move(handler);
  if (!g_keyHandler) g_keyNotifier.reset();
  armKeys();
}

void setPanel(std::function<std::vector<std::string>(int)> render) {
  if (g_panelShown && !render) rawWrite("\r\x1b[J");
  g_panelShown = false;
  g_panel = std::move(render);
  if (g_panel) {
    watchResizes();
    redrawPanel();
  }
}

void redrawPanel() {
  if (g_panel && !g_inLine) rawWrite(panelText());
}

void endPanel() {
  if (!g_panel) return;
  std::string out = "\r\x1b[J";
  for (const auto& line : g_panel(columns())) out += displayText(line) + "\n";
  g_panel = nullptr;
  g_panelShown = false;
  rawWrite(out);
}

int columns() {
  winsize ws{};
  if (::ioctl(2, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  return 80;
}

int rows() {
  winsize ws{};
  if (::ioctl(2, TIOCGWINSZ, &ws) == 0 && ws.ws_row > 0) return ws.ws_row;
  return 24;
}

std::string fitWidth(const std::string& text, int width, bool atEnd) {
  // Counted in characters (UTF-8 sequences), which is what a terminal shows for most texts.
  std::vector<std::size_t> starts;
  for (std::size_t i = 0; i < text.size(); ++i)
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) starts.push_back(i);
  if (static_cast<int>(starts.size()) <= width) return text;
  if (width < 1) return std::string();
  std::size_t keep = static_cast<std::size_t>(width - 1), head = atEnd ? keep : (keep + 1) / 2, tail = keep - head;
  return text.substr(0, starts[head]) + "\u2026" + (tail ? text.substr(starts[starts.size() - tail]) : std::string());
}

std::vector<std::string> wrapWords(const std::string& text, int width, const std::string& indent) {
  auto length = [](const std::string& s) {
    return static_cast<int>(std::count_if(s.begin(), s.end(), [](char c) { return (c & 0xC0) != 0x80; }));
  };
  // Two blanks or more part the text's segments ("0:01 left  (Average ...)  4 connections"):
  // a segment that fits a line is never broken; words are, between them, when it does not.
  std::vector<std::string> lines;
  std::string line;
  auto put = [&](const std::string& gap, const std::string& piece) {
    if (!line.empty() && length(line) + length(gap) + length(piece) > width) {
      lines.push_back(line);
      line.clear();
    }
    if (line.empty()) line = lines.empty() ? text.substr(0, text.find_first_not_of(' ')) : indent;
    else line += gap;
    line += fitWidth(piece, std::max(1, width - length(line)));
  };
  std::size_t at = text.find_first_not_of(' ');
  std::string gap;
  while (at != std::string::npos && at < text.size()) {
    std::size_t end = text.find("  ", at);
    if (end == std::string::npos) end = text.size();
    std::string segment = text.substr(at, end - at);
    int room = width - (line.empty() ? length(indent) : length(line) + length(gap));
    if (length(segment) <= room || length(segment) <= width - length(indent)) {
      put(gap, segment);
    } else {
      for (std::size_t w = 0; w < segment.size();) {
        std::size_t e = std::min(segment.find(' ', w), segment.size());
        if (e > w) put(w == 0 ? gap : " ", segment.substr(w, e - w));
        w = e + 1;
      }
    }
    std::size_t next = text.find_first_not_of(' ', end);
    gap = text.substr(end, (next == std::string::npos ? text.size() : next) - end);
    at = next;
  }
  if (!line.empty() || lines.empty()) lines.push_back(line);
  return lines;
}

}  // namespace term
