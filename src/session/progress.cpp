// The display: animations on the 200 ms timer, and once a second the size line, title,
// progress bar, time left and the speed, the job's rate as every view shows it.
#include <algorithm>

#include "platform/services.h"
#include "resources/ids.h"
#include "session/download_dlg.h"
#include "session/progress_text.h"

DWORD CDownloadDlg::s_firstRefreshTick = 0;

namespace {
constexpr int kPieceMapWidth = 40;  // the terminal panel's widest bar
}  // namespace

LRESULT CDownloadDlg::OnTimer(WPARAM, LPARAM) {
  m_statusIcon.SetIcon(res::IDI_ACTIVITY_FRAMES[m_animFrame1]);
  if (++m_animFrame1 == 13) m_animFrame1 = 0;
  // A coarse timer may tick early: the refresh waits until a whole second has passed.
  if (++m_timerTicks >= 5 && GetTickCount() - m_lastSampleTick >= 1000) {
    updateProgress(true, true);
    m_timerTicks = 0;
  } else if (m_timerTicks == 3) {
    m_line2Icon.SetIcon(res::IDI_CLOCK_FRAMES[m_animFrame2]);
    if (++m_animFrame2 == 8) m_animFrame2 = 0;
  }
  return 0;
}

void CDownloadDlg::showState(JobPhase state) {
  SetTaskState(state, m_d.m_localPath);
  showBarRange();
}

void CDownloadDlg::showBarRange() {
  bool busy = m_job.totalSize() == 0 && !phaseAtRest(GetTaskState());
  m_progress.SetRange(0, busy ? 0 : 100);
}

void CDownloadDlg::updateProgress(bool speedLine, bool sizeLine) {
  const std::int64_t bytesThisConn = m_job.bytesThisConn(), startOffset = m_job.startOffset();
  const std::int64_t totalSize = m_job.totalSize();
  DWORD now = GetTickCount();
  if (s_firstRefreshTick == 0) s_firstRefreshTick = now;
  if (speedLine) {
    double kps = static_cast<double>(m_job.snapshot().rate) / 1024.0;
    std::string line = timeSpeedLine(kps, bytesThisConn == m_bytesAtSample, totalSize, startOffset, bytesThisConn,
                                     (now - s_firstRefreshTick) / 1000);
    // A download in pieces says how many connections carry it, and where they are.
    if (m_job.inPieces()) {
      if (int n = m_job.connections(); n > 0) line += Format("  %d connection%s", n, n == 1 ? "" : "s");
      m_progress.SetWindowText(pieceMap(m_job.finished(), m_job.running(), totalSize + startOffset, kPieceMapWidth));
    }
    m_line3Text.SetWindowText(line);
    m_bytesAtSample = bytesThisConn;
    m_lastSampleTick = now;
  }
  if (sizeLine) {
    SizeTexts t = sizeTexts(bytesThisConn + startOffset, totalSize, startOffset);
    showBarRange();
    if (t.percent >= 0) m_progress.SetPos(t.percent);
    // While a mirror site has sent nothing, its "Trying:" title stays.
    if (m_useMirrorList == 1 && bytesThisConn == 0) return;
    m_line2Text.SetWindowText(t.line);
    if (GetWindowText() != t.title) SetWindowText(t.title);
  }
}
