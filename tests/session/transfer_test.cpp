// A connection on its own, with no window: what it sends, what it writes, what it reports.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>

#include "platform/file.h"
#include "script_server.h"
#include "session_helpers.h"
#include "transfer/transfer.h"

namespace {

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

ConnectionRequest request(const std::string& url, const std::string& server, int port, const Route& route) {
  ConnectionRequest q;
  q.address.m_url = url;
  q.address.m_service = 3;
  q.address.m_server = server;
  q.address.m_port = static_cast<std::uint16_t>(port);
  q.address.m_object = url.substr(url.find('/', 8));
  q.route = route;
  return q;
}

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
    c.send(partialReply(body, 1024, "Last-Modified: X\r\n"));
    c.close();
  });
  writeWholeFile(env.path("f.bin"), body.substr(0, 1024) + "stale tail that must go");
  auto q = request("http://files.example/f.bin#frag", "files.example", 80,
                   Route{true, "127.0.0.1", static_cast<std::uint16_t>(proxy.port())});
  q.address.m_object = "/f.bin";
  q.first = 1024;
  Recorder r;
  std::string why;
  auto t = makeTransfer(q, r, OpenOutputFile(env.path("f.bin"), q.first, why));
  int error = 0, id = 0;
  ASSERT_TRUE(t->createSockets(error, id));
  ASSERT_TRUE(t->connect(error));
  runUntilOutcome(r);
  ASSERT_EQ(r.outcomes.size(), 1u);
  EXPECT_EQ(r.outcomes[0].first, Outcome::Finished);
  EXPECT_EQ(readWholeFile(env.path("f.bin")), body);
  EXPECT_EQ(t->bytesWritten(), 70000 - 1024);
  EXPECT_EQ(r.end, 70000);
  ASSERT_EQ(r.replies.size(), 1u);
  EXPECT_EQ(r.replies[0].validator, "X");
  EXPECT_EQ(r.replies[0].first, 1024);
  EXPECT_GE(r.writes, 1);
  // Through a proxy the request names the whole URL (without its fragment) and the origin.
  EXPECT_EQ(proxy.requests().at(0).rfind(
                "GET http://files.example/f.bin HTTP/1.1\r\nRange: bytes=1024- \r\nHost: files.example\r\n", 0),
            0u);
}

TEST(Transfer, HttpRedirectHandsTheNewAddressToTheSession) {
  TestEnvironment env;
  ScriptServer srv([&](ScriptConn& c, int) {
    c.readUntil("\r\n\r\n");
    c.send("HTTP/1.1 302 Found\r\nLocation: /other/g.bin\r\nContent-Length: 5\r\n\r\nmoved");
    c.close();
  });
  std::string base = "http://127.0.0.1:" + std::to_string(srv.port());
  auto q = request(base + "/f.bin", "127.0.0.1", srv.port(),
                   Route{false, "127.0.0.1", static_cast<std::uint16_t>(srv.port())});
  Recorder r;
  std::string why;
  std::int64_t at = 0;
  auto t = makeTransfer(q, r, OpenOutputFile(env.path("f.bin"), at, why));
  int error = 0, id = 0;
  ASSERT_TRUE(t->createSockets(error, id));
  ASSERT_TRUE(t->connect(error));
  // The redirect's body is never written; the connection ends with the new address.
  runUntilOutcome(r);
  ASSERT_EQ(r.outcomes.size(), 1u);
  EXPECT_EQ(r.outcomes[0].first, Outcome::Redirected);
  EXPECT_EQ(r.outcomes[0].second, base + "/other/g.bin");
  EXPECT_FALSE(t->isOpen());
  EXPECT_EQ(readWholeFile(env.path("f.bin")), "");
}

}  // namespace
