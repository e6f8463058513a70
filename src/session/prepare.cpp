// Preparing a download: the URL's parts, and the output file with its resume point.
#include <sys/stat.h>

#include <cctype>
#include <cstdlib>

#include "platform/app.h"
#include "platform/file.h"
#include "platform/services.h"
#include "platform/ui.h"
#include "queue/local_name.h"
#include "session/download_dlg.h"
#include "settings/options.h"
#include "transfer/download.h"
#include "transfer/url.h"

namespace {
// A mirror list is known by its name's ending.
bool isMirrorListName(const std::string& object) {
  std::string upper = toUpper(urlFileName(object));
  return upper.size() >= 4 && upper.compare(upper.size() - 4, 4, ".FML") == 0;
}
}  // namespace

bool useNetrcLogin(Download& d) {
  if (d.m_options.leftHttps && !d.m_secure) return false;
  const char* named = std::getenv("NETRC");
  const char* home = std::getenv("HOME");
  std::string path = named && *named ? named : home && *home ? std::string(home) + "/.netrc" : "";
  std::string text, why;
  if (path.empty() || !ReadSmallFile(path, text, why)) return false;
  auto login = netrcLogin(text, d.m_server);
  if (!login) return false;
  // Used all the same, as ftp and curl do, but said once: its passwords are not the user's alone.
  static bool warned = false;
  struct stat st {};
  if (!warned && ::stat(path.c_str(), &st) == 0 && (st.st_mode & (S_IRGRP | S_IROTH)) != 0) {
    warned = true;
    ui().statusLine("Warning: " + path + " can be read by other users; make it yours alone (chmod 600).");
  }
  d.m_user = login->login;
  d.m_password = login->password;
  return true;
}

int siteAddress(std::string& url, Download& d) {
  // A login in the URL ("user:password@host") is the server's login, not part of its name.
  std::string user, password;
  bool parsed = parseUrl(splitCredentials(url, user, password), d.m_service, d.m_server, d.m_object, d.m_port);
  if (!parsed || d.m_service == svc::kUnknown) {
    // Schemes match case-sensitively; lower-casing the first six characters admits HTTP:// and FTP://.
    for (std::size_t i = 0; i < url.size() && i < 6; ++i)
      url[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(url[i])));
    parsed = parseUrl(splitCredentials(url, user, password), d.m_service, d.m_server, d.m_object, d.m_port);
  }
  if (!parsed || d.m_service == svc::kUnknown) return res::IDS_SERVICE_UNKNOWN;
  d.m_url = url;
  d.m_secure = isSecureUrl(url);
  if (d.m_port == 0) d.m_port = defaultPort(d.m_service, d.m_secure);
  if (d.m_service != svc::kHttp && d.m_service != svc::kFtp) return res::IDS_ONLY_HTTP_FTP;
  if (d.m_service == svc::kFtp) {
    d.m_user = "anonymous";
    d.m_password = ConfigString(kEMail);
  }
  // A login kept from before (a redirect on the same server, or one the user typed) stays.
  if (user.empty() && (d.m_user.empty() || d.m_service == svc::kFtp)) useNetrcLogin(d);
  if (!user.empty()) {
    d.m_user = user;
    d.m_password = password;
  }
  d.m_object = cutFragment(d.m_object);
  return 0;
}

bool CDownloadDlg::makeNewFile(bool showMessages) {
  std::string why;
  // The browser's own empty file for this download may still stand at its name for a moment.
  std::string made = makeLocalFile(m_d.m_localPath, m_slot, why, m_newFile == 2 ? 5000 : 0);
  m_newFile = 0;
  if (made.empty()) {
    m_failure = Failure::LocalFile;
    if (showMessages) tell(FormatString(LoadString(res::IDS_CANNOT_OPEN_OUTPUT), m_d.m_localPath + "\n  " + why));
    m_keepEntry = m_fromQueue != 0;  // a new download leaves no entry behind
    closeMirrorList();
    EndDialog(IDOK);
    return false;
  }
  m_d.m_localPath = made;
  m_createdFile = true;
  return true;
}

bool CDownloadDlg::prepareDownload(bool showMessages) {
  // URL steps.
  std::string& m_url = m_d.m_url;
  m_urlText.SetWindowText(displayUrl(m_url));
  if (int why = siteAddress(m_url, m_d)) {
    if (showMessages) tell(why == res::IDS_SERVICE_UNKNOWN ? FormatString(LoadString(why), displayUrl(m_url)) : LoadString(why));
    return false;
  }
  // A list's site that is a list itself is no site: lists do not nest.
  if (m_useMirrorList && isMirrorListName(m_d.m_object)) return false;

  // File steps: the local path.
  if (m_d.m_localPath.empty()) {
    std::string name = urlFileName(m_d.m_object);
    if (isMirrorListName(m_d.m_object)) {
      m_d.m_localPath = CreateTempFile("FML");
      if (m_d.m_localPath.empty()) {
        // No temporary file to receive the list: reported as the output file it would have been.
        m_failure = Failure::LocalFile;
        if (showMessages) AfxMessageBox(FormatString(LoadString(res::IDS_CANNOT_OPEN_OUTPUT), "FML (temporary file)"));
        EndDialog(IDOK);
        return false;
      }
      QueueEntry::write(m_slot, QueueValue::Local, m_d.m_localPath);
      m_isListDownload = 1;
    } else {
      // -J asks nothing: the URL's name (or index.html) in the download folder until the server names the file.
      std::string proposed = m_proposedName.empty() ? decodeFileName(name) : m_proposedName;
      // Save As proposes a name no file and no queued download has, as every download's name is.
      if (!m_nameFromServer && m_outputPath.empty() && !proposed.empty()) {
        std::string free = freeLocalPath(ui().saveFolder(ConfigString(kDownloadDir)), proposed);
        proposed = free.substr(free.rfind('/') + 1);
      }
      auto chosen = !m_outputPath.empty() ? std::optional(m_outputPath)
                    : m_nameFromServer ? std::optional(freeLocalPath(DownloadFolder(), proposed.empty() ? "index.html" : proposed))
                                       : ui().saveAs(ConfigString(kDownloadDir), proposed);
      // A name given here that no file has is made now, where nothing stands; a file the user
      // chose to replace (or named with -o) is theirs to write.
      if (chosen && m_outputPath.empty() && !FileExists(*chosen)) m_newFile = 1;
      if (!chosen) {
        m_failure = Failure::Other;
        if (showMessages) tell(LoadString(res::IDS_SAVE_AS_CANCELLED));
        closeMirrorList();
        EndDialog(IDOK);
        return false;
      }
      // A file a queued download of another address will write is not this one's to choose.
      if (std::string holder = m_outputPath == kStandardOutput ? "" : otherHolder(*chosen, m_d.m_url, m_slot);
          !holder.empty()) {
        m_failure = Failure::LocalFile;
        if (showMessages)
          tell(FormatString(LoadString(res::IDS_CANNOT_OPEN_OUTPUT), *chosen + "\n  Queued download #" + holder + " writes it."));
        closeMirrorList();
        EndDialog(IDOK);
        return false;
      }
      m_d.m_localPath = *chosen;
      if (m_newFile && !makeNewFile(showMessages)) return false;
      takeOverTwinEntry();
      QueueEntry::write(m_slot, {{QueueValue::Local, m_d.m_localPath},
                                 {QueueValue::NewFile, ProfileData()},
                                 {QueueValue::Checksum, m_checksum.empty() ? ProfileData() : ProfileData(m_checksum)},
                                 {QueueValue::NameFromServer, m_nameFromServer ? ProfileData(std::int64_t{1}) : ProfileData()},
                                 {QueueValue::Name, ProfileData()}});
    }
  }

  // A queued entry's name, given when it was queued, becomes its file now.
  if (m_newFile) {
    if (!makeNewFile(showMessages)) return false;
    QueueEntry::write(m_slot, {{QueueValue::Local, m_d.m_localPath}, {QueueValue::NewFile, ProfileData()}});
  }

  // The resume point against what is really on disk. A file that cannot be opened fails a
  // queued session now (its entry kept for when the file can be had again), any other at
  // connection time.
  bool existed = FileExists(m_d.m_localPath);
  std::string why;
  if (!m_job.clampToFile(RollbackBytes(), why)) {
    if (AfxGetApp()->m_lpCmdLine.rfind('#', 0) != 0) return true;
    m_failure = Failure::LocalFile;
    if (showMessages) tell(FormatString(LoadString(res::IDS_CANNOT_OPEN_OUTPUT), m_d.m_localPath + "\n  " + why));
    m_keepEntry = true;
    EndDialog(IDOK);
    return false;
  }
  if (!existed) m_createdFile = true;
  m_job.m_nameFromServer = m_nameFromServer && m_createdFile;
  return true;
}
