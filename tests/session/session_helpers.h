#pragma once
#include <QTimer>
#include <memory>
#include <string>

#include "settings/options.h"
#include "scripted_ui.h"
#include "session/download_dlg.h"

// Runs one session for cmdLine to its end (at most ms), as its process would; output: -o.
inline std::unique_ptr<CDownloadDlg> runSession(TestEnvironment& env, const std::string& cmdLine, int ms = 10000,
                                                const std::string& output = "") {
  env.app().m_lpCmdLine = cmdLine;
  auto dlg = std::make_unique<CDownloadDlg>();
  dlg->m_outputPath = output;
  bool timedOut = false;
  QTimer guard;
  guard.setSingleShot(true);
  QObject::connect(&guard, &QTimer::timeout, [&] {
    timedOut = true;
    dlg->EndDialog(-1);
  });
  guard.start(ms);
  dlg->DoModal();
  env.app().FlushProfile();
  if (timedOut) ADD_FAILURE() << "session did not come to rest in time";
  return dlg;
}

inline std::string queueValue(TestEnvironment& env, const std::string& name) {
  return env.app().GetProfileString(kSectionFileQueue, name, "");
}
inline bool queueEmpty(TestEnvironment& env, const std::string& slot) {
  for (const char* v : {"Get", "Local", "Start", "LastMod", "StupidServer"})
    if (!queueValue(env, v + slot).empty()) return false;
  return true;
}

inline std::string httpReply(const std::string& status, const std::string& headers, const std::string& body) {
  return "HTTP/1.1 " + status + "\r\n" + headers + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
         body;
}

// A 206 that answers "bytes=from-" of the whole file exactly; n: how much of it to send.
inline std::string partialReply(const std::string& whole, std::size_t from, const std::string& headers = "",
                                std::size_t n = std::string::npos) {
  return "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " + std::to_string(from) + "-" +
         std::to_string(whole.size() - 1) + "/" + std::to_string(whole.size()) + "\r\n" + headers +
         "Content-Length: " + std::to_string(whole.size() - from) + "\r\n\r\n" + whole.substr(from, n);
}

inline std::string bytesOf(std::size_t n, unsigned seed = 1) {
  std::string s(n, '\0');
  unsigned v = seed;
  for (auto& c : s) {
    v = v * 1103515245u + 12345u;
    c = static_cast<char>(v >> 16);
  }
  return s;
}
