// Preparing a download: the URL's parts, and the output file with its resume point.
#include <cctype>

#include "platform/app.h"
#include "platform/services.h"
#include "platform/ui.h"
#include "session/download_dlg.h"
#include "settings/options.h"
#include "transfer/url.h"

bool CDownloadDlg::prepareDownload(bool showMessages) {
  // URL steps.
  std::string& m_url = m_d.m_url;
  m_urlText.SetWindowText(displayUrl(m_url));
  // A login in the URL ("user:password@host") is the server's login, not part of its name.
  std::string user, password;
  bool parsed = parseUrl(splitCredentials(m_url, user, password), m_d.m_service, m_d.m_server, m_d.m_object, m_d.m_port);
  if (!parsed || m_d.m_service == svc::kUnknown) {
    // Schemes match case-sensitively; lower-casing the first six characters admits HTTP:// and FTP://.
    for (std::size_t i = 0; i < m_url.size() && i < 6; ++i)
      m_url[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(m_url[i])));
    parsed = parseUrl(splitCredentials(m_url, user, password), m_d.m_service, m_d.m_server, m_d.m_object, m_d.m_port);
  }
  if (!parsed || m_d.m_service == svc::kUnknown) {
    if (showMessages) tell(FormatString(LoadString(res::IDS_SERVICE_UNKNOWN), displayUrl(m_url)));
    return false;
  }
  m_d.m_secure = isSecureUrl(m_url);
  if (m_d.m_port == 0) m_d.m_port = defaultPort(m_d.m_service, m_d.m_secure);
  if (m_d.m_service != svc::kHttp && m_d.m_service != svc::kFtp) {
    if (showMessages) tell(LoadString(res::IDS_ONLY_HTTP_FTP));
    return false;
  }
  // A list's site that is a list itself is no site: lists do not nest.
  std::string upperObject = toUpper(urlFileName(cutFragment(m_d.m_object)));
  if (m_useMirrorList && upperObject.size() >= 4 && upperObject.compare(upperObject.size() - 4, 4, ".FML") == 0)
    return false;
  if (m_d.m_service == svc::kFtp) {
    m_d.m_user = "anonymous";
    m_d.m_password = ConfigString(kEMail);
  }
  if (!user.empty()) {
    m_d.m_user = user;
    m_d.m_password = password;
  }
  m_d.m_object = cutFragment(m_d.m_object);

  // File steps: the local path.
  if (m_d.m_localPath.empty()) {
    std::string name = urlFileName(m_d.m_object);
    std::string upper = toUpper(name);
    if (upper.size() >= 4 && upper.compare(upper.size() - 4, 4, ".FML") == 0) {
      m_d.m_localPath = CreateTempFile("FML");
      if (m_d.m_localPath.empty()) {
        // No temporary file to receive the list: reported as the output file it would have been.
        if (showMessages) AfxMessageBox(FormatString(LoadString(res::IDS_CANNOT_OPEN_OUTPUT), "FML (temporary file)"));
        EndDialog(IDOK);
        return false;
      }
      QueueEntry::write(m_slot, QueueValue::Local, m_d.m_localPath);
      m_isListDownload = 1;
    } else {
      auto chosen = m_outputPath.empty() ? ui().saveAs(decodeFileName(name)) : std::optional(m_outputPath);
      if (!chosen) {
        if (showMessages) tell(LoadString(res::IDS_SAVE_AS_CANCELLED));
        closeMirrorList();
        EndDialog(IDOK);
        return false;
      }
      m_d.m_localPath = *chosen;
      takeOverTwinEntry();
      QueueEntry::write(m_slot, QueueValue::Local, m_d.m_localPath);
    }
  }

  // The resume point against what is really on disk. A file that cannot be opened fails a
  // queued session now (its entry kept for when the file can be had again), any other at
  // connection time.
  bool existed = FileExists(m_d.m_localPath);
  std::string why;
  if (!m_job.clampToFile(RollbackBytes(), why)) {
    if (AfxGetApp()->m_lpCmdLine.rfind('#', 0) != 0) return true;
    if (showMessages) tell(FormatString(LoadString(res::IDS_CANNOT_OPEN_OUTPUT), m_d.m_localPath + "\n  " + why));
    m_keepEntry = true;
    EndDialog(IDOK);
    return false;
  }
  if (!existed) m_createdFile = true;
  return true;
}
