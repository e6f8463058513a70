// How a session ended, said in the lines a terminal shows last.
#pragma once
#include <optional>
#include <string>
#include <vector>

#include "transfer/transfer.h"

class CDownloadDlg;

// Why a session failed, as its exit status tells a script: a local file (disk full, no
// permission), the network (name, connect, reset, timeout), TLS verification, a refused
// login, an error the server answered (404, 550, ...), a checksum mismatch; Other for
// anything else (a bad option, the user's Cancel).
enum class Failure { Other = 1, LocalFile = 3, Network = 4, Tls = 5, Login = 6, ServerError = 8, Checksum = 9 };

// The failure an outcome of the job stands for; nullopt for one that is none (a redirect,
// a restart, the file complete).
std::optional<Failure> failureOf(const ConnectionResult& r);

// The exit status of an ended session: 0 complete, 3 a local file error (its entry may be
// kept), 2 its queue entry kept for a later resume, else its failure's.
int sessionStatus(const CDownloadDlg& dlg);

// status: the process's exit status (0 complete, 2 entry kept, else why it failed); signalled: ended
// by SIGTERM or SIGHUP. A plain success says where the file is; any other ending says why in
// one line, and one that keeps its queue entry says how to go on.
std::vector<std::string> endingLines(const CDownloadDlg& dlg, int status, bool signalled);

// A message's text in one line: its first line (with the next when it ends in ":"), and
// the socket error when there is one.
std::string oneLine(const std::string& message);
