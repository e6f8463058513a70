#include "platform/term/term_input.h"

#include <termios.h>
#include <unistd.h>

#include <QEventLoop>
#include <QSocketNotifier>
#include <memory>

namespace term {
namespace {
std::function<void(char)> g_keyHandler;
std::unique_ptr<QSocketNotifier> g_keyNotifier;
bool g_inLine = false;
bool g_rawSet = false;
termios g_saved{};

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
}  // namespace

void restoreTerminal() { setRaw(false); }

bool stdinIsTty() { return ::isatty(0) == 1; }
bool stderrIsTty() { return ::isatty(2) == 1; }

void writeErr(const std::string& text) {
  std::size_t off = 0;
  while (off < text.size()) {
    ssize_t n = ::write(2, text.data() + off, text.size() - off);
    if (n <= 0) break;
    off += static_cast<std::size_t>(n);
  }
}

std::string& linePrefix() {
  static std::string prefix;
  return prefix;
}

std::optional<std::string> readLine(const std::string& prompt, bool echo) {
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
  writeErr(prompt);
  std::string line;
  bool eof = false, done = false;
  {
    QEventLoop loop;
    QSocketNotifier n(0, QSocketNotifier::Read);
    QObject::connect(&n, &QSocketNotifier::activated, [&] {
      char buf[1];
      ssize_t r = ::read(0, buf, 1);
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
    loop.exec();
  }
  if (noEcho) {
    ::tcsetattr(0, TCSANOW, &saved);
    writeErr("\n");
  }
  g_inLine = false;
  armKeys();
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (eof && !noEcho) writeErr("\n");  // the prompt's line is ended, as Enter would have
  if (eof && line.empty() && !done) return std::nullopt;
  return line;
}

void setKeyHandler(std::function<void(char)> handler) {
  g_keyHandler = std::move(handler);
  if (!g_keyHandler) g_keyNotifier.reset();
  armKeys();
}

}  // namespace term
