// Process start: the view for this session (widgets with a display, else the terminal), the
// event loop, the command line and the signals; then the application's InitInstance.
#pragma once

class CDownloadApp;

// Runs app with the process's arguments; returns the process's exit status. argc is kept by
// reference for the event loop's life.
int RunProcess(CDownloadApp& app, int& argc, char** argv);
