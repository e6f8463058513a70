#include "queue/mirror_list.h"

#include <cctype>
#include <cstring>

#include "platform/file.h"
#include "platform/resources.h"
#include "platform/services.h"
#include "session/download_dlg.h"
#include "transfer/url.h"

std::string readListLine(CFile& file) {
  std::int64_t start = file.GetPosition();
  char buf[256];
  std::memset(buf, 0, sizeof buf);
  long n = file.Read(buf, 255);
  if (n < 0) n = 0;
  std::size_t textLen = strnlen(buf, static_cast<std::size_t>(n));
  std::string text(buf, textLen);
  std::string line;
  auto lf = text.find('\n');
  if (n == 255 && lf == std::string::npos && textLen == 255) {
    line = text;
    file.Seek(start + 256);
  } else if (lf != std::string::npos) {
    line = text.substr(0, lf);
    file.Seek(start + static_cast<std::int64_t>(lf) + 1);
  } else {
    line = text;
    // A zero byte would stop the reader on the same place for ever: step over it.
    std::int64_t advance = static_cast<std::int64_t>(textLen) + (textLen < static_cast<std::size_t>(n) ? 1 : 0);
    file.Seek(start + advance);
  }
  return trim(line);
}

std::string siteUrlOf(const std::string& line) {
  std::string rest = line;
  for (int i = 0; i < 3; ++i) {
    auto comma = rest.find(',');
    if (comma == std::string::npos) return line;
    rest = rest.substr(comma + 1);
  }
  return rest;
}

bool CDownloadDlg::openMirrorList(const std::string& path) {
  auto file = std::make_unique<CFile>();
  if (!file->Open(path, CFile::Mode::Read)) {
    AfxMessageBox(FormatString(LoadString(141), m_url));
    EndDialog(IDOK);
    return false;
  }
  std::string header = readListLine(*file);
  if (toUpper(header.substr(0, 8)) != "FML,1.0,") {
    AfxMessageBox(FormatString(LoadString(143), m_url));
    EndDialog(IDOK);
    return false;
  }
  m_mirrorFile = std::move(file);
  m_useMirrorList = 1;
  m_url = siteUrlOf(readListLine(*m_mirrorFile));
  if (m_slot.empty() && !allocateQueueSlot()) {
    closeMirrorList();
    AfxMessageBox(105);
    EndDialog(IDOK);
    return false;
  }
  m_localPath.clear();
  m_stateIcon.SetIcon(177);
  return prepareDownload(true);
}

LRESULT CDownloadDlg::tryNextSite(WPARAM, LPARAM) {
  closeConnections();
  if (!m_mirrorFile) return 0;
  std::int64_t length = m_mirrorFile->GetLength();
  if (static_cast<std::uint64_t>(m_mirrorFile->GetPosition()) < static_cast<std::uint64_t>(length - 5)) {
    m_url = siteUrlOf(readListLine(*m_mirrorFile));
    if (prepareDownload(false))
      openConnection();
    else
      PostMessage(WM_TRYNEXTSITE, 0, 0);
    return 0;
  }
  closeMirrorList();
  AfxMessageBox(145);
  EndDialog(IDOK);
  return 0;
}

void CDownloadDlg::closeMirrorList() {
  if (m_mirrorFile) m_mirrorFile->Close();
  m_mirrorFile.reset();
}
