#include "app/startup.h"

#include "app/download_app.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "platform/app.h"
#include "platform/run.h"
#include "platform/services.h"
#include "platform/term/term_input.h"
#include "platform/term/term_ui.h"
#include "platform/term/term_views.h"
#include "platform/widget_view.h"
#include "platform/wnd.h"
#include "resources/ids.h"
#include "session/download_term_view.h"
#include "transfer/download.h"
#include "ui/term_views.h"

namespace {
bool hasDisplay() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY"})
    if (const char* v = std::getenv(name); v && *v) return true;
  return false;
}

// The dialogs whose terminal rendering is their own; the rest are shown by the generic form.
void registerTerminalViews() {
  term::setView(res::IDD_DOWNLOAD, makeDownloadTermView);
  term::setView(res::IDD_CONFIG, makeConfigTermView);
  term::setView(res::IDD_PASSWORD, makePasswordTermView);
  term::setView(res::IDD_ENTERURL, makeEnterUrlTermView);
  term::setView(res::IDD_HEADERS, makeHeadersTermView);
  term::setView(res::IDD_RESUME, makeResumeTermView);
  term::setView(res::IDD_DROPWND, makeDropTermView);
  term::setView(res::IDD_OVERVIEW, makeOverviewTermView);
}
}  // namespace

int RunProcess(CDownloadApp& app, int& argc, char** argv) {
  const WidgetView* widgets = nullptr;
  // A download into a pipe, and what scripts ask for, are the command line's: no window,
  // whatever the display.
  // A quiet batch (-q with several URLs) opens no windows either: it runs in this process.
  bool quietBatch = app.m_quiet && app.m_urls.size() > 1;
  if (hasDisplay() && app.m_outputPath != kStandardOutput && app.m_script == CDownloadApp::Script::None && !quietBatch) {
    std::string error;
    widgets = LoadWidgetView(error);
    // Without its widgets the program still works in the terminal.
    if (!widgets) std::fprintf(stderr, "tarnwick: no widget view (%s); using the terminal\n", error.c_str());
  }
  std::unique_ptr<EventLoop> loop = widgets ? widgets->makeEventLoop(argc, argv) : makeCoreEventLoop(argc, argv);
  if (widgets) {
    setUi(widgets->makeUi());
  } else {
    registerTerminalViews();
    setUi(makeTerminalUi());
    // Standard output carries the download: progress goes in lines, and only to a terminal.
    bool streams = app.m_outputPath == kStandardOutput;
    term::quiet() = app.m_quiet || (streams && !term::stderrIsTty());
    term::linesOnly() = streams;
    app.m_superviseCopies = true;  // on a desktop the copies stay detached
    app.m_terminal = true;
  }
  std::string exe = argv[0] ? argv[0] : "tarnwick";
  SetAppName(exe.substr(exe.rfind('/') + 1));
  SetInvokedName(exe);
  app.m_lpCmdLine = CommandLineOf(argc, argv);

  SignalWatch signalWatch([&app](int sig) {
    app.FlushProfile();
    // A batch running here: each of its sessions ends keeping its entry.
    if (app.stopBatch()) return;
    if (app.waitsForCopies()) {
      // Every copy stops keeping its entry (it cannot be asked), the job's window reads no
      // more, and this process ends once the copies have.
      app.m_copiesStopped = true;
      SignalCopies(SIGTERM);
      term::endInput();
      if (app.m_pMainWnd && app.m_pMainWnd->IsRunning()) app.m_pMainWnd->ViewCommand(IDCANCEL);
      return;
    }
    // Ctrl-C at an open question ends it as the end of input would (the cancel question:
    // Yes, the entry kept), Save As cancelled: a second question would take the answers
    // typed for the first.
    if (sig == SIGINT && term::readingLine()) {
      term::interruptLine();
      return;
    }
    if (sig == SIGINT && app.m_pMainWnd && app.m_pMainWnd->IsRunning()) {
      app.m_pMainWnd->ViewCommand(IDCANCEL);  // Cancel, with its question
      return;
    }
    // Terminate and hang-up: Cancel answered Yes, entry and partial file kept.
    term::restoreTerminal();
    app.OnTerminate();
    app.FlushProfile();
    ::_exit(app.m_exitCode);
  });

  app.InitInstance();
  app.FlushProfile();
  term::restoreTerminal();
  return app.m_exitCode;
}
