// A connection on its own, with no window: what it sends, what it writes, what it reports.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <map>

#include "platform/file.h"
#include "platform/services.h"
#include "script_server.h"
#include "session_helpers.h"
#include "transfer/connection_pool.h"
#include "transfer/download.h"
#include "transfer/route.h"
#include "transfer_helpers.h"

namespace {

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

// Kept-alive connections: a server's files one after another, through one pool.

// Every request on the connection answered with the file it names, kept alive, until the
// peer closes (or once, with close set: the next request read and left unanswered).
void serveKept(ScriptConn& c, const std::map<std::string, std::string>& files, bool dropNext = false) {
  for (;;) {
    std::string req = c.readUntil("\r\n\r\n", 3000);
    if (req.size() < 4 || req.compare(req.size() - 4, 4, "\r\n\r\n") != 0 || dropNext) return;
    std::string path = req.substr(4, req.find(' ', 4) - 4);
    std::string body = files.at(path);
    if (path == "/chunked")
      c.send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1000\r\n" + body.substr(0, 4096) + "\r\n" +
             Format("%zx", body.size() - 4096) + "\r\n" + body.substr(4096) + "\r\n0\r\n\r\n");
    else
      c.send(httpReply("200 OK", "", body));
  }
}

TEST(ConnectionPool, FilesOfOneServerGoOverOneConnection) {
  TestEnvironment env;
  const std::map<std::string, std::string> files{
      {"/big", bytesOf(300000, 1)}, {"/chunked", bytesOf(9000, 2)}, {"/empty", ""}, {"/last", bytesOf(1000, 3)}};
  ScriptServer srv([&](ScriptConn& c, int) { serveKept(c, files); });
  auto pool = std::make_unique<ConnectionPool>();
  auto make = pooledConnectionFactory(*pool);
  for (const char* name : {"big", "chunked", "empty", "last"}) {
    auto got = fetch(make, env, srv.port(), name);
    ASSERT_EQ(got.size(), 1u) << name;
    EXPECT_EQ(got[0].first, Outcome::Finished) << name;
    EXPECT_EQ(readWholeFile(env.path(name)), files.at(std::string("/") + name)) << name;
  }
  EXPECT_EQ(pool->idle(), 1u);
  pool.reset();  // the server's side ends with the pool's connection
  EXPECT_EQ(srv.connections(), 1);
  EXPECT_EQ(srv.requests().at(0).find("Connection:"), std::string::npos);
}

// A connection goes back to the pool only when its reply ended where its length said, and
// the server means to keep it; the next file then takes a new connection and comes whole.
TEST(ConnectionPool, ConnectionsThatCannotCarryAnotherReplyAreNotReused) {
  const std::string body = bytesOf(5000, 4);
  const std::map<std::string, std::string> files{{"/one", body}, {"/two", bytesOf(7000, 5)}};
  const std::string whole = httpReply("200 OK", "", body);
  // What the first connection does after its reply.
  enum class Then { Serve, Close, Reset, DropNext };
  struct Case {
    const char* name;
    std::string reply;
    Then then;
    Outcome firstOutcome;
    std::size_t keptAfterFirst;
    bool pooled = true;
  };
  const std::vector<Case> cases{
      {"no length, ends at the close", "HTTP/1.1 200 OK\r\n\r\n" + body, Then::Close, Outcome::Finished, 0},
      {"Connection: close", httpReply("200 OK", "Connection: close\r\n", body), Then::Serve, Outcome::Finished, 0},
      {"HTTP/1.0 without keep-alive", "HTTP/1.0 200 OK\r\nContent-Length: 5000\r\n\r\n" + body, Then::Serve,
       Outcome::Finished, 0},
      {"broken mid-body", "HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n" + body.substr(0, 2000), Then::Reset,
       Outcome::Broken, 0},
      {"an error reply", httpReply("404 Not Found", "", "gone"), Then::Serve, Outcome::Refused, 0},
      // A whole reply nobody asked for: on a reused connection it would be taken for the next file's.
      {"bytes behind the body", whole + httpReply("200 OK", "", "stale"), Then::Serve, Outcome::Finished, 0},
      {"closed by the server while idle", whole, Then::Close, Outcome::Finished, 0},
      // Taken while the server closes it: the request goes again, on a new connection, and
      // the file comes with no failure told.
      {"closed by the server as the next request came", whole, Then::DropNext, Outcome::Finished, 1},
      {"no pool: a connection of its own", whole, Then::Serve, Outcome::Finished, 0, false},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    TestEnvironment env;
    ScriptServer srv([&](ScriptConn& c, int index) {
      if (index > 0) return serveKept(c, files);
      c.readUntil("\r\n\r\n");
      c.send(k.reply);
      if (k.then == Then::Serve || k.then == Then::DropNext) serveKept(c, files, k.then == Then::DropNext);
      if (k.then == Then::Reset) c.reset();
      c.close();
    });
    auto pool = std::make_unique<ConnectionPool>();
    ConnectionFactory make = k.pooled ? pooledConnectionFactory(*pool) : ConnectionFactory(makeTransfer);
    auto first = fetch(make, env, srv.port(), "one");
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].first, k.firstOutcome);
    if (k.firstOutcome == Outcome::Finished) {
      EXPECT_EQ(readWholeFile(env.path("one")), body);
    }
    pump(150);
    EXPECT_EQ(pool->idle(), k.keptAfterFirst);
    auto second = fetch(make, env, srv.port(), "two");
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0].first, Outcome::Finished);
    EXPECT_EQ(readWholeFile(env.path("two")), files.at("/two"));
    pool.reset();
    EXPECT_EQ(srv.connections(), 2);
    EXPECT_EQ(srv.requests().at(0).find("Connection: close") != std::string::npos, !k.pooled);
  }
}

// A kept connection serves only requests along its own way: the same scheme, server and
// port, through the same proxy; a tunnel through a proxy leads to one server alone.
TEST(ConnectionPool, WayNamesEverythingAConnectionIsBoundTo) {
  auto way = [](const char* scheme, const char* server, std::uint16_t port, const char* proxy = "",
                const char* proxyUser = "") {
    Download d;
    d.m_secure = std::string(scheme) == "https";
    d.m_server = server;
    d.m_port = port;
    Route r;
    r.viaProxy = *proxy != 0;
    r.host = *proxy ? proxy : server;
    r.port = *proxy ? 3128 : port;
    r.proxyUser = proxyUser;
    return ConnectionPool::wayOf(d, r);
  };
  struct Case {
    const char* what;
    std::string a, b;
    bool same;
  };
  const Case cases[] = {
      {"the same server", way("http", "a.test", 80), way("http", "a.test", 80), true},
      {"another port", way("http", "a.test", 80), way("http", "a.test", 8080), false},
      {"another scheme", way("http", "a.test", 443), way("https", "a.test", 443), false},
      {"another server", way("http", "a.test", 80), way("http", "b.test", 80), false},
      {"straight or through a proxy", way("http", "a.test", 80), way("http", "a.test", 80, "px"), false},
      {"plain requests name their server to the proxy", way("http", "a.test", 80, "px"),
       way("http", "b.test", 80, "px"), true},
      {"a tunnel leads to one server", way("https", "a.test", 443, "px"), way("https", "b.test", 443, "px"), false},
      {"a tunnel to one port", way("https", "a.test", 443, "px"), way("https", "a.test", 8443, "px"), false},
      {"the proxy's login", way("http", "a.test", 80, "px", "u1"), way("http", "a.test", 80, "px", "u2"), false},
  };
  for (const auto& c : cases) EXPECT_EQ(c.a == c.b, c.same) << c.what;
}
}  // namespace
