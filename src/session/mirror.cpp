// Mirror lists: the sites of a list tried in turn, and the queue entry of the session.
#include "platform/app.h"
#include "platform/services.h"
#include "queue/mirror_list.h"
#include "resources/ids.h"
#include "resources/resources.h"
#include "session/download_dlg.h"
#include "transfer/url.h"

bool CDownloadDlg::openMirrorList(const std::string& path) {
  auto file = std::make_unique<CFile>();
  if (!file->Open(path, CFile::Mode::Read)) {
    m_failure = Failure::LocalFile;
    tell(FormatString(LoadString(res::IDS_CANNOT_OPEN_FILE), displayUrl(m_d.m_url)));
    EndDialog(IDOK);
    return false;
  }
  std::string header = readListLine(*file);
  if (toUpper(header.substr(0, 8)) != "FML,1.0,") {
    tell(FormatString(LoadString(res::IDS_UNKNOWN_FILE_FORMAT), displayUrl(m_d.m_url)));
    EndDialog(IDOK);
    return false;
  }
  m_mirrorFile = std::move(file);
  m_useMirrorList = 1;
  m_job.m_mirrorList = true;
  m_listStart = m_mirrorFile->GetPosition();
  m_d.m_url = siteUrlOf(readListLine(*m_mirrorFile));
  if (m_slot.empty() && !allocateQueueSlot()) {
    closeMirrorList();
    EndDialog(IDOK);
    return false;
  }
  m_d.m_localPath.clear();
  m_stateIcon.SetIcon(res::IDI_MIRROR_LIST);
  return prepareDownload(true);
}

LRESULT CDownloadDlg::tryNextSite(WPARAM, LPARAM) {
  closeConnections();
  if (!m_mirrorFile) return 0;
  std::int64_t length = m_mirrorFile->GetLength();
  if (static_cast<std::uint64_t>(m_mirrorFile->GetPosition()) < static_cast<std::uint64_t>(length - 5)) {
    m_d.m_url = siteUrlOf(readListLine(*m_mirrorFile));
    m_job.siteChanged();
    if (prepareDownload(false))
      openConnection();
    else
      PostMessage(WM_TRYNEXTSITE, 0, 0);
    return 0;
  }
  // Every site failed: after a wait the list is tried again from its first site, while
  // tries are left; else nothing is left to resume.
  if (m_job.waitForNextRound("Every site failed")) {
    m_listRoundWait = true;
    return 0;
  }
  closeMirrorList();
  tell(LoadString(res::IDS_NO_SITE_LEFT));
  deleteQueueEntry();
  EndDialog(IDOK);
  return 0;
}

void CDownloadDlg::rewindMirrorList() {
  if (!m_mirrorFile || !m_mirrorFile->Seek(m_listStart)) return;
  m_d.m_url = siteUrlOf(readListLine(*m_mirrorFile));
  m_job.siteChanged();
  if (prepareDownload(false))
    openConnection();
  else
    PostMessage(WM_TRYNEXTSITE, 0, 0);
}

std::vector<DownloadJob::Site> CDownloadDlg::otherSites() {
  std::vector<DownloadJob::Site> sites;
  if (!m_mirrorFile) return sites;
  std::int64_t at = m_mirrorFile->GetPosition();
  std::int64_t length = m_mirrorFile->GetLength();
  if (!m_mirrorFile->Seek(m_listStart)) return sites;
  // The sites as the list is tried: a line within five bytes of the end is none.
  while (static_cast<std::uint64_t>(m_mirrorFile->GetPosition()) < static_cast<std::uint64_t>(length - 5)) {
    DownloadJob::Site site;
    std::string url = siteUrlOf(readListLine(*m_mirrorFile));
    ProxyChoice proxy;
    if (url == m_d.m_url || siteAddress(url, site.address) != 0) continue;
    auto route = routeTo(site.address, proxy);
    if (!route) continue;
    site.route = *route;
    sites.push_back(std::move(site));
  }
  m_mirrorFile->Seek(at);
  return sites;
}

void CDownloadDlg::closeMirrorList() {
  if (m_mirrorFile) m_mirrorFile->Close();
  m_mirrorFile.reset();
  // A list fetched into a temporary file is of no use once closed.
  if (!m_listTempPath.empty()) DeleteFile(m_listTempPath);
  m_listTempPath.clear();
}
