// How a session ended, said in the lines a terminal shows last.
#pragma once
#include <string>
#include <vector>

class CDownloadDlg;

// status: the process's exit status (0 complete, 2 entry kept, 1 otherwise); signalled: ended
// by SIGTERM or SIGHUP. A plain success says where the file is; any other ending says why in
// one line, and one that keeps its queue entry says how to go on.
std::vector<std::string> endingLines(const CDownloadDlg& dlg, int status, bool signalled);

// A message's text in one line: its first line (with the next when it ends in ":"), and
// the socket error when there is one.
std::string oneLine(const std::string& message);
