#pragma once
#include <optional>
#include <string>
#include <vector>

#include "app/browser_host.h"
#include "platform/app.h"
#include "transfer/request_options.h"

class BatchRun;

class CDownloadApp : public CWinApp {
 public:
  bool InitInstance() override;
  void OnTerminate() override;

  // Takes the GNU-style options (-h/--help, --version, -o/--output FILE, -q/--quiet) out of
  // the arguments, leaving the rest for the command line. The exit status when the process
  // ends here: help, version, or a bad option (said on standard error).
  std::optional<int> takeOptions(int& argc, char** argv);

  std::string m_outputPath;  // -o: the new download's file, no Save As question ("-": standard output)
  // For scripts: --list [--json], --pause SLOT, --remove SLOT; they need no window.
  // The browser's host (started by the browser) and its manifests' install need none either.
  enum class Script { None, List, Pause, Resume, Remove, BrowserHost, InstallBrowserHost };
  Script m_script = Script::None;
  bool m_json = false;
  bool m_deleteFile = false;  // --delete: --remove deletes the partial file too
  std::string m_scriptSlot;  // "all": every download (--pause, --resume)
  BrowserCaller m_browserCaller;  // who started the browser's host
  bool m_quiet = false;      // -q: no progress lines
  std::vector<std::string> m_urls;  // the URLs given (arguments and -i), each with its scheme
  std::string m_checksum;           // --checksum, as "sha256=hex"
  bool m_nameFromServer = false;    // -J: the name the server gives, no Save As question
  std::string m_retries;            // --retries, as given ("" none)
  RequestOptions m_request;         // --header, -U, --referer, --load-cookies: kept in the entry only
  std::string m_copyOptions;        // " --connections=N --limit-rate=R" as given, for the copies
  // A signal told the copies to stop: no more are started.
  bool m_copiesStopped = false;
  // In a terminal the jobs that start copies wait for them, passing signals on.
  bool m_superviseCopies = false;
  // The terminal view, not windows.
  bool m_terminal = false;
  // Copies started by this process are being waited for.
  bool waitsForCopies() const { return m_waitsForCopies; }
  // A signal for a batch running here: its sessions end keeping their entries. False when none runs.
  bool stopBatch();

 private:
  void runSession();
  // Several URLs: one entry and one copy of the program each, waited for.
  void runBatch();
  void runConfig();
  int runScript();
  int runBrowserHost();
  // /RESUME: every entry nobody runs or will start, as a batch of this process.
  void resumeQueue();
  // Runs the batch whose entries another process queued (the browser's links): /BATCH id.
  void runQueuedBatch(const std::string& id);
  // Runs batch id's entries: as sessions here (the summary said; the exit status), or as
  // copies started when their turns come.
  int runHere(const std::string& id, const std::vector<std::string>& slots, bool sessions);
  // The batch's last line ("N downloads: ..."); its joint exit status.
  int summarize(std::size_t total, const std::vector<int>& statuses);
  bool m_waitsForCopies = false;
  BatchRun* m_batch = nullptr;
  std::vector<std::string> m_arguments;  // what takeOptions leaves, the command line's words
};

// A new queue entry for url saved as localPath ("": Save As asks when it starts, proposing
// proposedName or else the URL's name), with the options its server is sent; the entry's
// slot, "" when the queue is full. A copy started with "#slot" fetches it. localPath is a
// name given by the rule (queue/local_name.h), its file made when it starts (newFile: the
// entry's NewFile).
std::string queueNewDownload(const std::string& url, const std::string& localPath, bool nameFromServer,
                             const RequestOptions& request, const std::string& proposedName = "", int newFile = 1);

// The usage text shown for an empty command line.
const char* UsageText();
