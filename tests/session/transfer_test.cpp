// A transfer on its own, with no window: what it sends, what it writes, what it reports.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>

#include "platform/file.h"
#include "script_server.h"
#include "session_helpers.h"
#include "transfer/transfer.h"

namespace {

struct Recorder : TransferEvents {
  std::vector<std::pair<Outcome, std::string>> outcomes;
  std::vector<Note> notes;
  std::int64_t writes = 0;
  bool acceptRedirect = true;
  bool transferOutcome(Outcome what, int, const std::string& text) override {
    outcomes.emplace_back(what, text);
    return what != Outcome::Redirected || acceptRedirect;
  }
  void transferNote(Note what, const std::string&) override { notes.push_back(what); }
  void transferWrote() override { ++writes; }
};

void runUntilOutcome(Recorder& r, std::size_t count = 1, int ms = 5000) {
  QElapsedTimer t;
  t.start();
  while (r.outcomes.size() < count && t.elapsed() < ms) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
}

TEST(Transfer, HttpResumeThroughAProxyWritesAtTheResumePoint) {
  TestEnvironment env;
  const std::string body = bytesOf(70000, 3);
  ScriptServer proxy([&](ScriptConn& c, int) {
    c.readUntil("\r\n\r\n");
    c.send(httpReply("206 Partial Content", "Last-Modified: X\r\n", body.substr(1024)));
    c.close();
  });
  writeWholeFile(env.path("f.bin"), body.substr(0, 1024) + "stale tail that must go");
  Download d;
  d.m_url = "http://files.example/f.bin#frag";
  d.m_service = 3;
  d.m_server = "files.example";
  d.m_port = 80;
  d.m_object = "/f.bin";
  d.m_localPath = env.path("f.bin");
  d.m_startOffset = 1024;
  Recorder r;
  std::string why;
  auto t = makeTransfer(d, r, OpenOutputFile(d.m_localPath, d.m_startOffset, why));
  int error = 0, id = 0;
  ASSERT_TRUE(t->createSockets(error, id));
  ASSERT_TRUE(t->connect(Route{true, "127.0.0.1", static_cast<std::uint16_t>(proxy.port())}, error));
  runUntilOutcome(r);
  ASSERT_EQ(r.outcomes.size(), 1u);
  EXPECT_EQ(r.outcomes[0].first, Outcome::Finished);
  EXPECT_EQ(readWholeFile(env.path("f.bin")), body);
  EXPECT_EQ(d.m_bytesThisConn, 70000 - 1024);
  EXPECT_EQ(d.m_lastModified, "X");
  EXPECT_GE(r.writes, 1);
  // Through a proxy the request names the whole URL (without its fragment) and the origin.
  EXPECT_EQ(proxy.requests().at(0).rfind(
                "GET http://files.example/f.bin HTTP/1.1 \r\nRange: bytes=1024- \r\nHost: files.example\r\n", 0),
            0u);
}

TEST(Transfer, HttpRedirectHandsTheNewAddressToTheSession) {
  TestEnvironment env;
  ScriptServer srv([&](ScriptConn& c, int) {
    c.readUntil("\r\n\r\n");
    c.send("HTTP/1.1 302 Found\r\nLocation: /other/g.bin\r\nContent-Length: 5\r\n\r\nmoved");
    c.close();
  });
  Download d;
  d.m_url = "http://127.0.0.1:" + std::to_string(srv.port()) + "/f.bin";
  d.m_service = 3;
  d.m_server = "127.0.0.1";
  d.m_port = static_cast<std::uint16_t>(srv.port());
  d.m_object = "/f.bin";
  d.m_localPath = env.path("f.bin");
  Recorder r;
  std::string why;
  auto t = makeTransfer(d, r, OpenOutputFile(d.m_localPath, d.m_startOffset, why));
  int error = 0, id = 0;
  ASSERT_TRUE(t->createSockets(error, id));
  ASSERT_TRUE(t->connect(Route{false, d.m_server, d.m_port}, error));
  // The redirect's body is read out, never written; its close asks for the next connection.
  runUntilOutcome(r, 2);
  ASSERT_EQ(r.outcomes.size(), 2u);
  EXPECT_EQ(r.outcomes[0].first, Outcome::Redirected);
  EXPECT_EQ(d.m_url, "http://127.0.0.1:" + std::to_string(srv.port()) + "/other/g.bin");
  EXPECT_EQ(r.outcomes[1].first, Outcome::Reconnect);
  EXPECT_TRUE(t->bodyDiscarded());
  EXPECT_EQ(readWholeFile(env.path("f.bin")), "");
}

}  // namespace
