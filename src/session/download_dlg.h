// One download: the "Getting File" window is the session. It holds the download job (the
// one owner of the download's state), shows what the job does, and is the one place that
// asks the user anything.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/control.h"
#include "platform/file.h"
#include "platform/wnd.h"
#include "queue/queue_store.h"
#include "resources/ids.h"
#include "settings/env_proxy.h"
#include "engine/job.h"
#include "session/ending.h"
#include "ui/link_drop_target.h"

constexpr UINT WM_TRYNEXTSITE = WM_USER + 101;

class CDownloadDlg : public CDialog, private JobEvents {
 public:
  CDownloadDlg();
  ~CDownloadDlg() override;

  void DoDataExchange(CDataExchange& dx) override;
  bool OnInitDialog() override;
  void OnCancel() override;
  bool IsAtRest() const override;
  std::string Tag() const override { return m_slot; }

  // The download job, and the address and file it fetches.
  DownloadJob m_job{*this};
  Download& m_d = m_job.m_d;

  // ---- the session record ----
  // Window controls (bound to their ids in DoDataExchange).
  CCtl m_noResumeNote;
  CCtl m_stateIcon;
  CCtl m_line1Icon;
  CCtl m_line2Icon;
  CCtl m_pauseButton;
  CCtl m_cancelButton;
  CCtl m_statusIcon;
  CCtl m_line3Text;
  CCtl m_progress;
  CCtl m_line1Text;
  CCtl m_urlText;
  CCtl m_line2Text;

  // State flags and counters of the window (the download's own are the job's).
  int m_paused = 0;
  int m_finished = 0;
  int m_useMirrorList = 0;
  int m_isListDownload = 0;
  int m_fromQueue = 0;
  int m_hIcon = res::IDR_MAINFRAME;
  int m_lastSockError = 0;
  std::int64_t m_bytesAtSample = 0;
  int m_animFrame1 = 0;
  int m_animFrame2 = 0;
  int m_timerTicks = 0;
  int m_noTimer = 0;
  DWORD m_lastSampleTick = 0;

  // The output file named on the command line (-o): taken in place of the Save As question;
  // kStandardOutput for standard output, a download with no queue entry.
  std::string m_outputPath;
  // The checksum the file must have when complete ("sha256=hex", --checksum), kept in the entry.
  std::string m_checksum;
  // -J: no Save As question; the file takes the name the server gives (Content-Disposition)
  // in the download folder, the URL's name until then.
  bool m_nameFromServer = false;
  std::string m_proposedName;  // Save As proposes it, not the URL's name, when set (the browser's)

  // Why the session failed, should it end without its file: the last failure seen.
  Failure m_failure = Failure::Other;
  // The user paused or interrupted it (Pause, Cancel keeping the entry, a control request, a
  // signal), or said No to resuming it later: its kept entry is the reason it ended, not a
  // failure, and an entry it let go leaves no word of a failure.
  bool m_stoppedByUser = false;

  // The command line of one session of a batch ("#05"); empty: the process's own.
  std::string m_commandLine;
  // Its turn was claimed for it (a batch's session, a copy its launcher started): it starts
  // at once. A resume claims again.
  bool m_turnClaimed = false;
  // A session of a batch run in this process: paused on request, it ends and waits in line
  // (m_pausedInLine), started again by its batch when resumed.
  bool m_inBatch = false;
  bool m_pausedInLine = false;

  // The queue slot: the session's identity in the store; empty = no queue entry.
  std::string m_slot;

  // The open mirror list.
  std::unique_ptr<CFile> m_mirrorFile;

  CLinkDropTarget m_dropTarget;

  // ---- session operations ----
  void togglePause();
  void onConnectionClosed(int error);
  void finishDownload();
  // The complete file's digest (got, else why not) against the checksum expected; false
  // (and the session ended) when it does not match.
  bool checksumHolds(const std::string& expected, const std::optional<std::string>& got, const std::string& why);
  // The file is whole (and its checksum holds): the entry goes, the window says so.
  void completeDownload();
  void connectionBroken();
  // Stopped by a failure: the job's phase says so with why, and the window shows it.
  void failed();
  // A failure stays in the lists with its reason until the user removes it: the kept entry
  // publishes it, else word of its own (QueueEntry::recordFailed) does.
  void sayFailure();
  void setNoResumeNote(bool clear);
  void updateProgress(bool speedLine, bool sizeLine);
  bool prepareDownload(bool showMessages);
  void openConnection();
  // The first connection waits, when as many of the user's downloads run as may, for its turn.
  void startWhenItsTurn();
  void closeConnections();
  void abandonSite(bool closeWindow, bool removeEntry);
  bool allocateQueueSlot();
  bool readQueueEntry(bool showMessages);
  void takeOverTwinEntry();
  // The state in the views' words, and the bar with it: busy (no range) while bytes come
  // for a file of no announced size.
  void showState(JobPhase state);
  void showBarRange();
  void deleteQueueEntry();
  bool openMirrorList(const std::string& path);
  LRESULT tryNextSite(WPARAM = 0, LPARAM = 0);
  void closeMirrorList();
  // Back to the list's first site, for a new round.
  void rewindMirrorList();
  // Every site of the open list but the current one that can be reached: for pieces.
  std::vector<DownloadJob::Site> otherSites();
  // The control channel (pause, resume, cancel, forget from another process): opened with
  // the first connection, named by this process's lease.
  void listenForControl();
  std::string onControl(const std::string& request);
  // Told that a place may have freed ("turn"): a waiting one claims at once.
  std::string turnMayHaveCome();
  void stopListening();
  // While a batch runs, the process's control socket stays open between its sessions, and
  // others answers for the batch's entries that no session runs (word, slot).
  static void keepControlOpen(bool keep,
                              std::function<std::string(const std::string&, const std::string&)> others = nullptr);
  // The slot reservation of this process (released when the session ends).
  void releaseLease() { m_lease.release(); }

  // A connection is open (connecting, or exchanging data).
  bool connectionOpen() const { return m_job.connectionOpen(); }
  // The process-wide first-refresh tick of the display.
  static DWORD s_firstRefreshTick;

 protected:
  bool OnWndMsg(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) override;
  bool OnCmdMsg(int id) override;

 private:
  LRESULT OnSysCommand(WPARAM wParam, LPARAM lParam);
  LRESULT OnTimer(WPARAM wParam, LPARAM lParam);
  LRESULT OnDestroy(WPARAM wParam, LPARAM lParam);
  LRESULT OnMove(WPARAM wParam, LPARAM lParam);
  LRESULT OnSize(WPARAM wParam, LPARAM lParam);
  LRESULT OnPaint(WPARAM, LPARAM) { return 0; }
  LRESULT OnQueryDragIcon(WPARAM, LPARAM) { return m_hIcon; }
  void OnPauseButton() {
    if (!m_paused) m_stoppedByUser = true;
    togglePause();
  }
  void OnCancelButton() { OnCancel(); }

  // What the job tells: each outcome mapped to what the user sees and the queue keeps.
  void jobOutcome(const ConnectionResult& r) override;
  void jobNote(Note what, const std::string& text) override;
  void jobWrote() override;
  void jobWaiting(int secondsLeft, const std::string& why) override;
  void jobRetry() override;
  // A message box whose text is also why the session ends, should it end now.
  int tell(const std::string& text, UINT type = MB_OK);
  // Opens the connection again after a pause (a little before the last bytes, stepBack) or
  // a wait (where the job left its resume point).
  void resumeDownload(bool stepBack);

  // message: the box's text when it is not a socket error.
  void failConnect(int error, const std::string& serverName, const std::string& message = std::string());
  void pauseWithError(int error, const std::string& serverName, const std::string& message = std::string());
  void replyRefused(int code, const std::string& reason);
  void ftpLoginRefused(const std::string& reply);
  void askCredentials(const std::string& realm);
  void proxyLoginRefused(int status, const std::string& realm);
  void redirected();
  // Makes the new file at the local path (the next free name when one stands there).
  bool makeNewFile(bool showMessages);
  void reopenConnection();
  // "Resume later?": No removes the entry and the partial file; then the site is given up.
  void askResumeLaterAndGiveUp(bool permanent);
  void dropEntryAndFile();
  void socketFailed(int error, const std::string& text);
  void keepEntry();

  bool m_keepEntry = false;    // the session ends with its entry kept for a later resume
  bool m_createdFile = false;  // the output file did not exist before this session
  int m_newFile = 0;           // the entry's NewFile: its file is made now, where nothing stands
  std::string m_listTempPath;  // a fetched mirror list's temporary file, deleted with the list
  std::int64_t m_listStart = 0;  // where the list's first site is
  bool m_listRoundWait = false;  // every site failed: the list starts again after the wait
  SlotLease m_lease;
  std::shared_ptr<void> m_digest;  // the complete file being read back for its checksum
  bool m_controlOpen = false;  // this session is reachable through the process's control socket
  CTimer m_controlTimer;
  CTimer m_turnTimer;
  bool m_waitingTurn = false;
  int m_turnPolls = 0;  // claims made while it waits
};

// The usage text shown for an empty command line.
const char* UsageText();

// url's parts into d, with the FTP login defaults: 0, or the message that says why not (the
// scheme of a URL written in capitals is lower-cased in url).
int siteAddress(std::string& url, Download& d);
// The login .netrc ($NETRC, else ~/.netrc) gives for d's server, taken when there is one;
// none for a plain address a redirect from https led to. A file others can read is warned of.
bool useNetrcLogin(Download& d);

// The way to d's server: direct or through the proxy of its service (configured, else from
// the environment); none when the proxy setting cannot be read.
std::optional<Route> routeTo(const Download& d, ProxyChoice& proxy);

// A socket failure's message: prefix, then the text for the error code.
std::string socketErrorMessage(int code, const std::string& prefix);
