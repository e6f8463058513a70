// The HTTP client: the request on the first write event, the reply one line (or one
// block of body) per read event, and the close that ends the file.
#include <cctype>
#include <cstdlib>

#include "settings/options.h"
#include "platform/app.h"
#include "platform/resources.h"
#include "platform/services.h"
#include "transfer/http_request.h"
#include "ui/password_dlg.h"
#include "session/download_dlg.h"
#include "transfer/url.h"

namespace {
// m_protoState of an HTTP connection.
constexpr int kConnected = 0;
constexpr int kRequestSent = 1;
constexpr int kHeaderLines = 2;
constexpr int kBody = 3;

constexpr int kMaxRedirects = 20;
bool iequals(const std::string& a, const char* b) { return toUpper(a) == toUpper(b); }

std::int64_t leadingNumber(const std::string& s) {
  return std::strtoll(s.c_str(), nullptr, 10);
}
}  // namespace

LRESULT CDownloadDlg::onHttpWrite(WPARAM wParam, LPARAM) {
  if (wParam != 0) return 0;
  if (m_protoState != kConnected) {
    m_urlText.SetWindowText("Connected; waiting for reply...");
    return 0;
  }
  if (!m_ctrlSocket) return 0;
  HttpRequestParams p;
  std::string proxy = ConfigString(kProxy);
  p.target = proxy.empty() ? m_object : cutFragment(m_url);
  if (p.target.empty()) p.target = "/";
  p.hostHeader = m_port == 80 ? m_server : m_server + ":" + std::to_string(m_port);
  p.http10 = m_stupidServer == 1;
  if (p.http10) {
    m_startOffset = 0;
    if (m_outFile) m_outFile->Seek(0);
  }
  p.startOffset = m_startOffset;
  p.lastModified = m_lastModified;
  p.user = m_user;
  p.password = m_password;
  std::string request = buildHttpRequest(p);
  m_headers += "----Header Sent----\r\n" + request + "----Header Recv----\r\n";
  if (m_ctrlSocket->sendString(request) < 0) return 0;
  m_protoState = kRequestSent;
  m_urlText.SetWindowText("Connected; waiting for reply...");
  return 0;
}

LRESULT CDownloadDlg::onHttpRead(WPARAM, LPARAM) {
  if (!m_ctrlSocket) return 0;
  if (m_protoState == kRequestSent || m_protoState == kHeaderLines) {
    std::string line;
    int got = m_ctrlSocket->receiveLine(line, true);
    if (got <= 0) return 0;
    line = trim(line);
    m_headers += line + "\r\n";
    std::string name, value;
    if (auto sp = line.find(' '); sp != std::string::npos) {
      name = trim(line.substr(0, sp));
      value = trim(line.substr(sp));
    }
    // The status line goes on through the end-of-header and header-name steps like any line.
    if (m_protoState == kRequestSent && toUpper(value.substr(0, 4)) != "HTTP" && !httpStatusLine(value)) return 0;
    if (line.empty()) {
      if (!m_redirected) m_redirectCount = 0;
      m_urlText.SetWindowText(m_url);
      m_protoState = kBody;
      return 0;
    }
    httpHeaderLine(name, value);
    return 0;
  }
  if (m_protoState == kBody) httpBody();
  return 0;
}

bool CDownloadDlg::httpStatusLine(const std::string& value) {
  std::string codeText, reason;
  if (auto sp = value.find(' '); sp != std::string::npos) {
    codeText = value.substr(0, sp);
    reason = trim(value.substr(sp));
  }
  int code = static_cast<int>(leadingNumber(codeText));
  if (code == 200) {
    m_startOffset = 0;
    if (m_outFile) m_outFile->Seek(0);
    setNoResumeNote(false);
  } else if (code == 206 || code == 401) {
    // Go on: a 401 is answered by its WWW-Authenticate line, not by the HTTP/1.0 retry.
  } else if (code == 404 || code == 410) {
    bool show = !m_useMirrorList;
    giveUpReply();
    if (show) {
      AfxMessageBox(FormatString(LoadString(144), m_url));
      deleteQueueEntry();
    }
    abandonSite(true, false);
    return false;
  } else if (code >= 400 && code <= 599 && m_stupidServer == 0) {
    // Taken to come from the range request: read this reply out, then retry as HTTP/1.0 from 0.
    m_dropConnection = 1;
    m_reconnectOnClose = 1;
    m_stupidServer = 1;
    AfxGetApp()->WriteProfileInt(kSectionFileQueue, queueName("StupidServer"), 1);
    setNoResumeNote(false);
  } else if (code >= 400 && code <= 499) {
    bool show = !m_useMirrorList;
    giveUpReply();
    if (show) {
      deleteQueueEntry();
      AfxMessageBox(Format(LoadString(121).c_str(), code, reason.c_str()));
    }
    abandonSite(true, false);
    return false;
  } else if (code >= 500 && code <= 599) {
    bool show = !m_useMirrorList;
    giveUpReply();
    if (show && AfxMessageBox(Format(LoadString(122).c_str(), code, reason.c_str()), MB_YESNO) == IDNO)
      deleteQueueEntry();
    abandonSite(true, false);
    return false;
  }
  m_httpStatus = code;
  m_protoState = kHeaderLines;
  return true;
}

// Stops reading a reply that is being given up, before any box is shown.
bool CDownloadDlg::giveUpReply() {
  m_dropConnection = 1;
  m_reconnectOnClose = 0;
  closeConnections();
  return true;
}

void CDownloadDlg::httpHeaderLine(const std::string& name, const std::string& value) {
  if (iequals(name, "Location:")) {
    if (++m_redirectCount > kMaxRedirects) {
      giveUpReply();
      if (!m_useMirrorList) AfxMessageBox("Too many redirections for:\n  " + m_url + "\nAborting.");
      abandonSite(true, true);
      return;
    }
    std::string oldServer = m_server;
    std::uint16_t oldPort = m_port;
    m_url = resolveLocation(m_url, value);
    // No reconnect is armed until the new address is known to be usable: a close during a
    // message box of the preparation must not open a connection to it.
    m_dropConnection = 1;
    m_reconnectOnClose = 0;
    m_redirected = 1;
    if (m_outFile) {
      m_outFile->Close();
      m_outFile.reset();
    }
    if (!prepareDownload(!m_useMirrorList)) {
      giveUpReply();
      abandonSite(true, true);
      return;
    }
    if (m_peerClosed) {
      // The server closed while the preparation was asking: go to the new address now.
      m_dropConnection = 0;
      closeConnections();
      openConnection();
      return;
    }
    m_reconnectOnClose = 1;
    // Credentials belong to the server they were given for.
    if (m_service == 3 && (m_server != oldServer || m_port != oldPort)) {
      m_user.clear();
      m_password.clear();
    }
  } else if (iequals(name, "Content-Length:")) {
    m_totalSize = leadingNumber(value);
  } else if (iequals(name, "Content-Range:")) {
    // Recognised; the start it names is not checked.
  } else if (iequals(name, "WWW-Authenticate:")) {
    if (m_httpStatus == 401) httpAuthenticate(value);
  } else if (iequals(name, "Last-Modified:")) {
    httpValidator(value);
  } else if (iequals(name, "Transfer-Encoding:")) {
    if (toUpper(value).find("CHUNKED") != std::string::npos) {
      m_chunked = true;
      m_chunkState = 0;
      m_chunkLeft = 0;
      m_chunkLine.clear();
    }
  }
}

void CDownloadDlg::httpAuthenticate(const std::string& value) {
  if (toUpper(value.substr(0, 5)) != "BASIC") {
    bool show = !m_useMirrorList;
    giveUpReply();
    if (show) {
      AfxMessageBox(116);
      if (AfxMessageBox(119, MB_YESNO) == IDNO) {
        deleteQueueEntry();
        closeConnections();
        DeleteFile(m_localPath);
      }
    }
    abandonSite(true, false);
    return;
  }
  m_dropConnection = 1;
  m_reconnectOnClose = 0;
  closeConnections();
  std::string realm;
  auto at = toUpper(value).find("REALM=");
  if (at != std::string::npos && at > 0)
    realm = value.substr(at + 6);
  else
    realm = value.size() > 5 ? value.substr(5) : std::string();
  realm = trim(realm);
  CPasswordDlg dlg;
  dlg.m_prompt = "Enter username and password for " + realm + " at " + m_server;
  if (dlg.DoModal() == IDOK) {
    m_user = dlg.m_user;
    m_password = dlg.m_password;
    m_paused = 1;
    openConnection();
    m_paused = 0;
    return;
  }
  if (!m_useMirrorList && AfxMessageBox(119, MB_YESNO) == IDNO) {
    deleteQueueEntry();
    closeConnections();
    DeleteFile(m_localPath);
  }
  abandonSite(true, false);
}

void CDownloadDlg::httpValidator(const std::string& value) {
  if (!m_lastModified.empty() && m_lastModified != value && m_startOffset != 0) {
    // The file on the server has changed: fetch it again from its start.
    m_lastModified.clear();
    m_startOffset = 0;
    m_paused = 1;
    closeConnections();
    openConnection();
    m_paused = 0;
    return;
  }
  m_lastModified = value;
  AfxGetApp()->WriteProfileString(kSectionFileQueue, queueName("LastMod"), m_lastModified);
}

void CDownloadDlg::httpBody() {
  if (m_useMirrorList && m_bytesThisConn == 0) m_stateIcon.SetIcon(172);
  // While blocks come full, take several per read event: one event per 16 KiB costs a
  // loop wake-up, a peek and a posted message each, more than the copy itself.
  for (int i = 0; i < kBlocksPerRead; ++i) {
    int n = m_ctrlSocket->Receive(m_recvBuf, sizeof m_recvBuf);
    if (n < 0) {
      // Running dry after the first block is no failure.
      if (i == 0 || CAsyncSocket::GetLastError() != WSAEWOULDBLOCK) m_lastSockError = CAsyncSocket::GetLastError();
      return;
    }
    if (m_chunked) {
      if (!httpChunkedBody(n)) return;
    } else {
      m_bytesThisConn += n;
      if (m_outFile && !m_redirected && !writeBlock(m_recvBuf, n)) return;
    }
    // The block may have ended the session or its connection.
    if (n < static_cast<int>(sizeof m_recvBuf) || !m_ctrlSocket || m_protoState != kBody) return;
  }
}

// Takes the chunk framing off the n bytes in m_recvBuf and writes the data.
bool CDownloadDlg::httpChunkedBody(std::int64_t n) {
  const char* p = m_recvBuf;
  const char* end = m_recvBuf + n;
  std::string data;
  while (p < end && m_chunkState != 4) {
    if (m_chunkState == 1) {
      std::int64_t take = std::min<std::int64_t>(m_chunkLeft, end - p);
      data.append(p, static_cast<std::size_t>(take));
      p += take;
      m_chunkLeft -= take;
      if (m_chunkLeft == 0) m_chunkState = 2;
      continue;
    }
    char c = *p++;
    if (c != '\n') {
      if (m_chunkLine.size() < 4096) m_chunkLine += c;
      continue;
    }
    std::string line = trim(m_chunkLine);
    m_chunkLine.clear();
    if (m_chunkState == 0) {
      if (line.empty()) continue;
      m_chunkLeft = std::strtoll(line.c_str(), nullptr, 16);
      m_chunkState = m_chunkLeft > 0 ? 1 : 3;
    } else if (m_chunkState == 2) {
      m_chunkState = 0;
    } else if (m_chunkState == 3 && line.empty()) {
      m_chunkState = 4;
    }
  }
  m_bytesThisConn += static_cast<std::int64_t>(data.size());
  if (!m_outFile || m_redirected) return true;
  return writeBlock(data.data(), static_cast<std::int64_t>(data.size()));
}

LRESULT CDownloadDlg::onHttpClose(WPARAM wParam, LPARAM) {
  int error = static_cast<int>(wParam);
  m_peerClosed = true;
  if (error == 0 && !m_paused && !m_dropConnection) {
    // A clean close before the reply is whole is a broken connection, not a finished file.
    bool shortBody = m_protoState == kBody && !m_chunked && m_totalSize > 0 && m_bytesThisConn < m_totalSize;
    bool unfinishedChunks = m_protoState == kBody && m_chunked && m_chunkState != 4;
    if (m_protoState != kBody || shortBody || unfinishedChunks) error = WSAECONNRESET;
  }
  onConnectionClosed(error);
  return 0;
}
