#include "platform/run.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QApplication>
#include <QCoreApplication>
#include <QSocketNotifier>
#include <algorithm>
#include <cstdlib>
#include <memory>

#include "platform/app.h"
#include "platform/qt/qt_ui.h"
#include "platform/services.h"
#include "platform/term/term_input.h"
#include "platform/ui.h"
#include "platform/wnd.h"

namespace {
int g_sigPipe[2] = {-1, -1};

void onSignal(int sig) {
  unsigned char b = static_cast<unsigned char>(sig);
  [[maybe_unused]] auto n = ::write(g_sigPipe[1], &b, 1);
}
}  // namespace

int AfxWinMain(CWinApp& app, int argc, char** argv) {
  bool display = (std::getenv("DISPLAY") && *std::getenv("DISPLAY")) ||
                 (std::getenv("WAYLAND_DISPLAY") && *std::getenv("WAYLAND_DISPLAY"));
  std::unique_ptr<QCoreApplication> qapp;
  if (display) {
    qapp = std::make_unique<QApplication>(argc, argv);
    setUi(makeQtUi());
  } else {
    qapp = std::make_unique<QCoreApplication>(argc, argv);
  }
  std::string exe = argv[0] ? argv[0] : "tarnwick";
  SetAppName(exe.substr(exe.rfind('/') + 1));

  std::string cmd;
  for (int i = 1; i < argc; ++i) cmd += (i > 1 ? " " : "") + std::string(argv[i]);
  // The command line is what follows the program name and the blanks after it.
  app.m_lpCmdLine = cmd.substr(std::min(cmd.size(), cmd.find_first_not_of(" \t")));

  ::signal(SIGPIPE, SIG_IGN);
  std::unique_ptr<QSocketNotifier> sigNotifier;
  if (::pipe2(g_sigPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
    struct sigaction sa{};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(s, &sa, nullptr);
    sigNotifier = std::make_unique<QSocketNotifier>(g_sigPipe[0], QSocketNotifier::Read);
    QObject::connect(sigNotifier.get(), &QSocketNotifier::activated, [&app] {
      unsigned char b;
      while (::read(g_sigPipe[0], &b, 1) == 1) {
        app.FlushProfile();
        if (b == SIGINT && app.m_pMainWnd && app.m_pMainWnd->IsRunning()) {
          app.m_pMainWnd->ViewCommand(IDCANCEL);  // Cancel, with its question
          continue;
        }
        // Terminate and hang-up: Cancel answered Yes, entry and partial file kept.
        term::restoreTerminal();
        app.OnTerminate();
        app.FlushProfile();
        ::_exit(app.m_exitCode);
      }
    });
  }

  app.InitInstance();
  app.FlushProfile();
  term::restoreTerminal();
  return app.m_exitCode;
}
