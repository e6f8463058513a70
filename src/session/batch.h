// A batch: many queue entries started by one process as their turns come. In the terminal
// each runs as a session of this process (a window without a loop of its own); on the desktop
// each gets its own process and window, started only when its turn has come.
#pragma once
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/timer.h"
#include "transfer/connection_pool.h"
#include "transfer/request_options.h"

class CDialog;
class CDownloadDlg;

// The request options an entry for url keeps: those for its server, encoded.
std::string entryRequest(const std::string& url, const RequestOptions& request);

// Makes the entries of a new batch in one transaction, each saved in folder under its URL's
// name (a name that is taken gets ".1", ...), with request's options for its server, in line
// in the order given. The batch's id; slots gets the entries' slots.
std::string queueBatch(const std::vector<std::string>& urls, const std::string& folder, bool nameFromServer,
                       const RequestOptions& request, std::vector<std::string>& slots);

// Takes up, in one transaction, every queued entry that no live process runs or will start
// (its process or batch has ended, or it had none) as a new batch held by this process; the
// batch's id ("" when there is none), slots gets the entries in the order they will start.
std::string adoptQueuedEntries(std::vector<std::string>& slots);
// The entries of batch id that no process runs, in the order of their turns.
std::vector<std::string> batchEntries(const std::string& id);

class BatchRun {
 public:
  enum class Mode { Sessions, Copies };
  // id: the batch (held by this process); slots: its entries. Sessions: each runs here, its
  // ending said in the lines copies print; Copies: each is started as a copy ("#NN").
  BatchRun(std::string id, const std::vector<std::string>& slots, Mode mode);
  ~BatchRun();
  BatchRun(const BatchRun&) = delete;
  BatchRun& operator=(const BatchRun&) = delete;

  // Runs until every entry has ended (Sessions) or started (Copies), or stop() was called and
  // the running ones have ended. The exit statuses of the sessions in the order they ended;
  // entries never started count as kept (2).
  std::vector<int> run();
  // Ends every running session keeping its entry; no further one starts.
  void stop();
  bool running() const { return m_loop != nullptr; }

 private:
  // Starts the next ones whose turn has come; reread: the line's order read from the queue.
  void startDue(bool reread);
  void readLine();
  bool start(const std::string& slot);
  void ended(CDialog& dlg);
  void finishIfDone();
  // A control request ("pause 05") for an entry of this batch that no session runs now.
  std::string onControl(const std::string& word, const std::string& slot);
  // Entries another process took up (resumed by hand): what became of them, once it has ended.
  void settleElsewhere();

  std::string m_id;
  Mode m_mode;
  std::set<std::string> m_waiting;  // this batch's entries not started yet
  std::deque<std::string> m_line;   // the same in the order they start, as last read
  std::set<std::string> m_elsewhere;  // this batch's entries another process runs
  std::map<std::string, std::string> m_urls;  // what each entry fetches, to know it completed
  // The batch's connections kept alive between its files: it outlives every session.
  ConnectionPool m_pool;
  std::map<std::string, std::unique_ptr<CDownloadDlg>> m_sessions;
  std::vector<int> m_statuses;
  bool m_stopped = false;
  CTimer m_tick;
  CEventLoop* m_loop = nullptr;  // while run() waits
};
