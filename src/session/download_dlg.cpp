// The session window: start-up from each kind of command line, Pause/Resume, Cancel,
// the two endings of a connection, and keeping the window's place in the queue entry.
#include "session/download_dlg.h"

#include "platform/app.h"
#include "platform/digest.h"
#include "platform/ui.h"
#include "platform/services.h"
#include "queue/scheduler.h"
#include "resources/ids.h"
#include "resources/resources.h"
#include "settings/options.h"
#include "transfer/url.h"
#include "ui/about_dlg.h"
#include "ui/headers_dlg.h"

namespace {
constexpr const char* kUsage =
    "TARNWICK - Web and FTP downloading with request-resume.\nProgram Usage:\n"
    "  TARNWICK http://...   = Start getting the specified URL.\n"
    "  TARNWICK ftp://...    = Start getting the specified URL.\n"
    "  TARNWICK #xx          = Resume getting a previous request (number xx)\n"
    "  TARNWICK /DROP        = Start Tarnwick as web browser link drop target.\n"
    "  TARNWICK /RESUME      = Resume all working requests.\n"
    "  TARNWICK /RESUMEDLG   = Show window for resuming connections.\n"
    "  TARNWICK /LIST        = Show every download, live, to pause, resume or remove it.\n"
    "  TARNWICK /CONFIG      = Configure Tarnwick.\n";
}  // namespace

const char* UsageText() { return kUsage; }

CDownloadDlg::CDownloadDlg() : CDialog(res::IDD_DOWNLOAD) {}

CDownloadDlg::~CDownloadDlg() {
  stopListening();
  m_dropTarget.Revoke();
  releaseLease();
}

bool CDownloadDlg::OnWndMsg(UINT msg, WPARAM wParam, LPARAM lParam, LRESULT& result) {
  using D = CDownloadDlg;
  static const MessageEntry<D> kMessages[] = {
      {WM_SYSCOMMAND, &D::OnSysCommand},
      {WM_PAINT, &D::OnPaint},
      {WM_QUERYDRAGICON, &D::OnQueryDragIcon},
      {WM_TIMER, &D::OnTimer},
      {WM_DESTROY, &D::OnDestroy},
      {WM_MOVE, &D::OnMove},
      {WM_SIZE, &D::OnSize},
      {WM_TRYNEXTSITE, &D::tryNextSite},
  };
  return DispatchMessage(this, kMessages, msg, wParam, lParam, result) ||
         CDialog::OnWndMsg(msg, wParam, lParam, result);
}

bool CDownloadDlg::OnCmdMsg(int id) {
  static const CommandEntry<CDownloadDlg> kCommands[] = {
      {res::IDC_PAUSE, &CDownloadDlg::OnPauseButton},
      {IDCANCEL, &CDownloadDlg::OnCancelButton},
  };
  return DispatchCommand(this, kCommands, id) || CDialog::OnCmdMsg(id);
}

void CDownloadDlg::DoDataExchange(CDataExchange& dx) {
  CDialog::DoDataExchange(dx);
  DDX_Control(dx, res::IDC_NO_RESUME_NOTE, m_noResumeNote);
  DDX_Control(dx, res::IDC_STATE_ICON, m_stateIcon);
  DDX_Control(dx, res::IDC_LOCAL_FILE_ICON, m_line1Icon);
  DDX_Control(dx, res::IDC_TIME_ICON, m_line2Icon);
  DDX_Control(dx, res::IDC_PAUSE, m_pauseButton);
  DDX_Control(dx, IDCANCEL, m_cancelButton);
  DDX_Control(dx, res::IDC_STATUS_ICON, m_statusIcon);
  DDX_Control(dx, res::IDC_TIME_TEXT, m_line3Text);
  DDX_Control(dx, res::IDC_PROGRESS, m_progress);
  DDX_Control(dx, res::IDC_LOCAL_FILE_TEXT, m_line1Text);
  DDX_Control(dx, res::IDC_URL_TEXT, m_urlText);
  DDX_Control(dx, res::IDC_SIZE_TEXT, m_line2Text);
}

bool CDownloadDlg::OnInitDialog() {
  CDialog::OnInitDialog();
  if (!LoadString(res::IDS_HELP).empty()) {
    AppendSystemMenu(0, "");
    AppendSystemMenu(res::IDM_HELP, LoadString(res::IDS_HELP));
  }
  if (!LoadString(res::IDS_VIEW_HEADER).empty())
    AppendSystemMenu(res::IDM_VIEW_HEADER, LoadString(res::IDS_VIEW_HEADER));
  if (!LoadString(res::IDS_ABOUTBOX).empty()) {
    AppendSystemMenu(0, "");
    AppendSystemMenu(res::IDM_ABOUTBOX, LoadString(res::IDS_ABOUTBOX));
  }
  SetIcon(m_hIcon);
  m_job.startFresh();

  const std::string& cmd = m_commandLine.empty() ? AfxGetApp()->m_lpCmdLine : m_commandLine;
  if (cmd.empty()) {
    AfxMessageBox(kUsage, MB_OK);
    EndDialog(IDOK);
    return true;
  }
  m_d.m_url = cmd;
  if (m_d.m_url[0] == '#') {
    m_fromQueue = 1;
    if (!readQueueEntry(true)) {
      EndDialog(IDOK);
      return true;
    }
  } else if (isLocalListPath(m_d.m_url)) {
    openMirrorList(m_d.m_url);
  } else if (m_outputPath != kStandardOutput && !allocateQueueSlot()) {
    EndDialog(IDOK);
    return true;
  }
  if (IsEnded()) return true;
  m_dropTarget.Register(this);
  if (prepareDownload(true))
    startWhenItsTurn();
  else if (!m_keepEntry)
    abandonSite(true, true);
  return true;
}

LRESULT CDownloadDlg::OnSysCommand(WPARAM wParam, LPARAM lParam) {
  switch (wParam) {
    case res::IDM_ABOUTBOX: ShowAboutBox(); return 0;
    case res::IDM_HELP: WinHelp(0); return 0;
    case res::IDM_VIEW_HEADER: {
      CHeadersDlg dlg;
      dlg.m_text = m_job.headers();
      dlg.DoModal();
      return 0;
    }
    default: return DefWindowProc(WM_SYSCOMMAND, wParam, lParam);
  }
}

LRESULT CDownloadDlg::OnDestroy(WPARAM, LPARAM) {
  stopListening();
  closeConnections();
  sayFailure();
  // A session that failed leaves no empty file of its own making (a kept entry makes it again
  // when resumed), and no list it fetched unless its entry is kept; one the user paused or
  // interrupted keeps its file with its entry.
  const std::string& path = m_d.m_localPath;
  bool kept = !m_slot.empty() && QueueEntry::exists(m_slot);
  if (!m_finished && !path.empty() &&
      ((m_createdFile && FileSize(path) == 0 && (!kept || !m_stoppedByUser)) || (m_isListDownload && !kept)))
    DeleteFile(path);
  closeMirrorList();
  AfxGetApp()->FlushProfile();
  return 0;
}

LRESULT CDownloadDlg::OnMove(WPARAM, LPARAM lParam) {
  // A finished download has no entry (nor its slot) to keep the place in.
  if (!IsIconic() && !m_slot.empty() && !m_finished) {
    QueueEntry::write(m_slot, QueueValue::WindowX, LOWORD_S(lParam));
    QueueEntry::write(m_slot, QueueValue::WindowY, HIWORD_S(lParam));
  }
  return 0;
}

LRESULT CDownloadDlg::OnSize(WPARAM wParam, LPARAM) {
  if (m_slot.empty() || m_finished) return 0;
  if (wParam == SIZE_MINIMIZED)
    QueueEntry::write(m_slot, QueueValue::Minimized, 1);
  else if (wParam == SIZE_RESTORED)
    QueueEntry::clear(m_slot, QueueValue::Minimized);
  return 0;
}

void CDownloadDlg::togglePause() {
  if (m_paused == 0) {
    // A wait to try again that the user stops leaves its reason, not its countdown.
    if (m_job.waiting()) m_urlText.SetWindowText(m_job.waitReason() + ".");
    m_paused = 1;
    closeConnections();  // its bytes join the resume point; a wait to try again ends
    // The count shown is the count on disk, not the last sample's.
    if (m_job.startOffset() > 0 || !m_line2Text.GetWindowText().empty()) updateProgress(false, true);
    m_statusIcon.SetIcon(res::IDI_PAUSE);
    showState(JobPhase::Paused);
    m_line3Text.SetWindowText("");
    m_pauseButton.SetWindowText("Resume");
    m_bytesAtSample = 0;
    m_stateIcon.SetIcon(res::IDI_PAUSED_STATE);
    if (m_waitingTurn) {
      // Said in the queue: a download paused in line holds back nobody behind it.
      LiveState paused;
      paused.phase = JobPhase::Paused;
      QueueEntry::publish(m_slot, std::nullopt, paused);
    } else if (!m_slot.empty()) {
      // Said now, not at the next publishing: the limit no longer counts it, and the next in
      // line may start.
      QueueEntry::publish(m_slot, std::nullopt, m_job.snapshot());
      wakeWaiting();
    }
  } else {
    resumeDownload(true);
  }
}

void CDownloadDlg::resumeDownload(bool stepBack) {
  m_paused = 0;
  m_stoppedByUser = false;
  m_statusIcon.SetIcon(res::IDR_MAINFRAME);
  showState(JobPhase::Connecting);
  m_pauseButton.SetWindowText("Pause");
  if (stepBack) m_job.stepBack(RollbackBytes());
  if (!stepBack) {
    openConnection();  // a wait to try again: it was counted as running all along
    return;
  }
  // After a pause, which the limit did not count: it asks for its turn again, at its place.
  m_turnClaimed = false;
  m_turnPolls = 0;
  startWhenItsTurn();
}

void CDownloadDlg::OnCancel() {
  if (m_finished == 0) {
    int answer;
    {
      DownloadJob::Asking asking(m_job);
      answer = AfxMessageBox(res::IDS_RESUME_LATER, MB_YESNOCANCEL | MB_ICONQUESTION);
    }
    if (answer == IDCANCEL) return;
    // The download completed while the question was open: the file stays, and nothing is kept.
    if (m_finished != 0) {
      EndDialog(IDOK);
      return;
    }
    m_job.setEndReason("Cancelled.");
    m_failure = Failure::Other;
    m_stoppedByUser = true;
    if (answer == IDNO) dropEntryAndFile();
    if (answer == IDYES && !m_slot.empty()) keepEntry();
  }
  EndDialog(IDCANCEL);
}

bool CDownloadDlg::IsAtRest() const {
  // Paused with nothing open (a break or failed connect), or finished and left open.
  return (m_paused != 0 && !connectionOpen()) || m_finished != 0;
}

void CDownloadDlg::onConnectionClosed(int error) {
  if (error != 0) {
    connectionBroken();
    return;
  }
  if (m_isListDownload) {
    updateProgress(true, true);
    m_progress.SetPos(100);
    closeConnections();
    m_isListDownload = 0;
    m_listTempPath = m_d.m_localPath;
    if (openMirrorList(m_d.m_localPath)) {
      if (prepareDownload(true))
        openConnection();
      else
        abandonSite(true, true);
    } else if (m_mirrorFile) {
      // The list's first site could not be prepared: move on as a named list does.
      abandonSite(true, true);
    }
    m_line3Text.SetWindowText("");
    m_line2Text.SetWindowText("");
    m_progress.SetPos(0);
    return;
  }
  finishDownload();
}

void CDownloadDlg::finishDownload() {
  updateProgress(true, true);
  m_progress.SetPos(100);
  closeConnections();
  // Asked for, else the server's; read back from the disk, since spliced bytes never pass
  // through this process, and off the event loop, which every download of a batch shares.
  std::string expected = m_checksum.empty() ? m_job.serverDigest() : m_checksum;
  if (expected.empty() || m_job.streaming()) {
    completeDownload();
    return;
  }
  m_digest = FileDigestLater(m_d.m_localPath, expected.substr(0, expected.find('=')),
                             [this, expected](const std::optional<std::string>& got, const std::string& why) {
                               m_digest.reset();
                               // Ended meanwhile (cancelled): what it decided stands.
                               if (IsEnded() || m_finished) return;
                               if (checksumHolds(expected, got, why)) completeDownload();
                             });
}

void CDownloadDlg::completeDownload() {
  m_statusIcon.SetIcon(res::IDI_COMPLETE);
  showState(JobPhase::Finished);
  m_line3Text.SetWindowText("");
  m_pauseButton.EnableWindow(false);
  m_cancelButton.SetWindowText("Close");
  // One transaction ends what one began: the entry goes with word of its end, and the slot
  // with it (the finished window writes nothing more into it; the next entry of a
  // ResumeSerial chain may be this process's successor).
  endFinished(m_slot);
  releaseLease();
  m_finished = 1;
  closeMirrorList();
  // A batch's sessions leave the sound to the batch, which makes it once at its end.
  if (ConfigInt(kDoneBeep) != 0 && m_commandLine.empty() && !IsBatchCopy()) MessageBeep(false);
  if (ConfigInt(kExit) != 0) EndDialog(IDOK);
  if (m_fromQueue == 1 && ConfigInt(kResumeSerial) != 0 && !IsBatchCopy() && m_commandLine.empty())
    resumeQueuedDownloads();
}

bool CDownloadDlg::checksumHolds(const std::string& expected, const std::optional<std::string>& got,
                                 const std::string& why) {
  if (got && *got == expected) {
    ui().statusLine(Format("Checksum %s: %s", m_checksum.empty() ? "given by the server verified" : "verified",
                           expected.c_str()));
    return true;
  }
  // The file stays for the user to look at; a download that failed its check is no longer queued.
  deleteQueueEntry();
  m_failure = got ? Failure::Checksum : Failure::LocalFile;
  tell(got ? Format("Checksum mismatch for %s:\n  %s %s\n  computed: %s", m_d.m_localPath.c_str(),
                    m_checksum.empty() ? "the server's:" : "expected:", expected.c_str(), got->c_str())
           : Format("Cannot check the checksum of %s:\n  %s", m_d.m_localPath.c_str(), why.c_str()),
       MB_OK | MB_ICONEXCLAMATION);
  EndDialog(IDOK);
  return false;
}

void CDownloadDlg::connectionBroken() {
  if (m_job.streaming()) {
    // Bytes already on standard output cannot wait for a later resume.
    closeConnections();
    if (m_job.endReason().empty()) m_job.setEndReason("The connection broke.");
    EndDialog(IDOK);
    return;
  }
  m_paused = 0;
  togglePause();
  m_statusIcon.SetIcon(res::IDI_BROKEN);
  failed();
  if (ConfigInt(kErrorBeep) != 0) MessageBeep(true);
  AfxGetApp()->FlushProfile();
}

void CDownloadDlg::failed() {
  m_job.fail("The connection broke.");
  showState(JobPhase::Failed);
}

void CDownloadDlg::sayFailure() {
  if (m_finished || m_stoppedByUser || m_slot.empty() || m_job.endReason().empty()) return;
  // A reason the user was not shown as a failure (a pause asked for) is none.
  if (m_failure == Failure::Other && !m_job.endReasonSaid() && m_job.phase() != JobPhase::Failed) return;
  if (QueueEntry::exists(m_slot))
    m_job.fail(std::string());
  else
    QueueEntry::recordFailed(m_slot, m_d.m_url, m_d.m_localPath, m_job.endReason());
}

void CDownloadDlg::setNoResumeNote(bool clear) {
  m_noResumeNote.SetWindowText(clear ? "" : LoadString(res::IDS_NO_RESUME_NOTE));
}
