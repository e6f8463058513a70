// Process start: the event loop, the views for this display, signals; then the app's InitInstance.
#pragma once

class CWinApp;

// Runs app with the process's arguments joined by single blanks as its command line;
// returns the process's exit status.
int AfxWinMain(CWinApp& app, int argc, char** argv);
