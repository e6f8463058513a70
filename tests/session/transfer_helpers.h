// A connection driven on its own, with no window or job: what it reports, and a fetch.
#pragma once
#include <QCoreApplication>
#include <QElapsedTimer>
#include <string>
#include <utility>
#include <vector>

#include "platform/file.h"
#include "scripted_ui.h"
#include "transfer/transfer.h"

struct Recorder : ConnectionEvents {
  std::vector<std::pair<Outcome, std::string>> outcomes;
  std::vector<ReplyFacts> replies;
  std::int64_t writes = 0, end = 0;
  void connectionOutcome(const ConnectionResult& r) override { outcomes.emplace_back(r.what, r.text); }
  void connectionNote(Note, const std::string&) override {}
  bool connectionReply(const ReplyFacts& f) override {
    replies.push_back(f);
    return true;
  }
  void connectionWrote(std::int64_t offset, std::int64_t n) override {
    ++writes;
    end = offset + n;
  }
};

inline ConnectionRequest request(const std::string& url, const std::string& server, int port, const Route& route) {
  ConnectionRequest q;
  q.address.m_url = url;
  q.address.m_service = 3;
  q.address.m_server = server;
  q.address.m_port = static_cast<std::uint16_t>(port);
  q.address.m_object = url.substr(url.find('/', 8));
  q.route = route;
  return q;
}

inline void runUntilOutcome(Recorder& r, std::size_t count = 1, int ms = 5000) {
  QElapsedTimer t;
  t.start();
  while (r.outcomes.size() < count && t.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
}

// Fetches /name from 127.0.0.1:port (https when secure) into the test's folder with one
// connection that make gives; what it reported in the end.
inline std::vector<std::pair<Outcome, std::string>> fetch(const ConnectionFactory& make, TestEnvironment& env,
                                                          int port, const std::string& name, bool secure = false) {
  auto q = request(std::string(secure ? "https" : "http") + "://127.0.0.1:" + std::to_string(port) + "/" + name,
                   "127.0.0.1", port, Route{false, "127.0.0.1", static_cast<std::uint16_t>(port)});
  q.address.m_secure = secure;
  Recorder r;
  std::string why;
  std::int64_t at = 0;
  auto t = make(q, r, OpenOutputFile(env.path(name), at, why));
  ConnectionResult failed;
  if (!t->start(failed)) return {{failed.what, failed.text}};
  runUntilOutcome(r);
  return r.outcomes;
}

inline void pump(int ms) {
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
}

