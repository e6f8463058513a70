// Downloads in pieces against a scripted range server: what a further connection asks,
// and every reply to it that is not exactly its part.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>

#include "script_server.h"
#include "session_helpers.h"
#include "settings/options.h"

namespace {

constexpr std::size_t kSize = 4 << 20;
const std::string kEtag = "ETag: \"v1\"\r\nLast-Modified: Tue, 01 Dec 2026 10:00:00 GMT\r\n";

std::string part(const std::string& whole, long long a, long long b, const std::string& headers, long long total = -1) {
  return "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " + std::to_string(a) + "-" + std::to_string(b) + "/" +
         std::to_string(total < 0 ? whole.size() : total) + "\r\n" + headers +
         "Content-Length: " + std::to_string(b - a + 1) + "\r\n\r\n" + whole.substr(a, b - a + 1);
}

// The range a request asks: a = -1 without one, b = -1 for an open end.
std::pair<long long, long long> asked(const std::string& req) {
  long long a = -1, b = -1;
  auto at = req.find("\r\nRange: bytes=");
  if (at != std::string::npos) std::sscanf(req.c_str() + at + 15, "%lld-%lld", &a, &b);
  return {a, b};
}

// A first taste of the reply (header and 64 KiB of a body of `body` bytes), then the rest
// once ready() says that further connections have had their chances (or after 5 s: a
// loaded machine may take that long).
void sendSlowly(ScriptConn& c, const std::string& reply, std::size_t body, const std::function<bool()>& ready) {
  std::size_t taste = reply.size() - body + 65536;
  c.send(reply.substr(0, taste));
  for (int i = 0; i < 500 && !ready(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  c.send(reply.substr(taste));
  c.close();
}

TEST(Pieces, FurtherConnectionsTakeExactlyTheirPartOrNothing) {
  const std::string v1 = bytesOf(kSize, 5), v2 = bytesOf(kSize, 6);
  struct Case {
    const char* name;
    // The reply to a further connection asking [a, b].
    std::function<std::string(long long a, long long b)> further;
    const std::string& want;
    // Requests in all: a part that is not taken is not asked again, and the first
    // connection takes it back.
    std::size_t requests = 2;
    bool ranges = true;  // the first reply honours ranges
  };
  const Case cases[] = {
      // Taken; once it is in, the idle connection may race the first one's slow rest.
      {"its part", [&](long long a, long long b) { return part(v1, a, b, kEtag); }, v1, 0},
      {"the whole file", [&](long long, long long) { return httpReply("200 OK", kEtag, v1); }, v1},
      {"another part", [&](long long a, long long b) { return part(v1, a + 1024, b, kEtag); }, v1},
      // Another length is another file: fetched again from its start, on one connection.
      {"another length", [&](long long a, long long b) { return part(v1, a, b, kEtag, kSize + 1); }, v1, 3},
      {"busy", [&](long long, long long) { return httpReply("503 Busy", "Retry-After: 1\r\n", ""); }, v1},
      {"refused", [&](long long, long long) { return std::string(); }, v1},
      // The file changed under the download: fetched again whole, never mixed.
      {"another version",
       [&](long long a, long long b) { return part(v2, a, b, "ETag: \"v2\"\r\n"); }, v2, 0},
      {"no ranges", nullptr, v1, 1, false},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    TestEnvironment env;
    env.app().WriteProfileInt(kSectionConfig, kConnections, 2);
    std::atomic<int> further{0};
    std::atomic<bool> changed{false};
    ScriptServer srv([&](ScriptConn& c, int) {
      auto [a, b] = asked(c.readUntil("\r\n\r\n"));
      a = std::max(a, 0LL);
      if (b >= 0) {
        if (tc.want == v2) changed = true;
        std::string reply = tc.further(a, b);
        reply.empty() ? c.reset() : (c.send(reply), c.close());
        ++further;
        return;
      }
      const std::string& data = changed ? v2 : v1;
      if (!tc.ranges) {
        c.send(httpReply("200 OK", "", data));
        return c.close();
      }
      std::string reply = part(data, a, static_cast<long long>(data.size()) - 1, changed ? "ETag: \"v2\"\r\n" : kEtag);
      sendSlowly(c, reply, data.size() - static_cast<std::size_t>(a), [&] { return further > 0; });
    });
    env.ui().saveAnswers.push_back(env.path("f.bin"));
    auto dlg = runSession(env, "http://127.0.0.1:" + std::to_string(srv.port()) + "/f.bin", 20000);
    EXPECT_TRUE(dlg->m_finished);
    EXPECT_TRUE(readWholeFile(env.path("f.bin")) == tc.want);
    EXPECT_TRUE(queueEmpty(env, "00"));
    auto requests = srv.requests();
    if (tc.requests) {
      EXPECT_EQ(requests.size(), tc.requests);
    }
    if (!tc.ranges) continue;
    // The second half of what the first connection had left, asked closed, with the validator.
    ASSERT_GE(requests.size(), 2u);
    auto [a, b] = asked(requests[1]);
    EXPECT_EQ(b, static_cast<long long>(kSize) - 1) << requests[1];
    EXPECT_GE(a, static_cast<long long>(kSize / 2));
    EXPECT_LE(a, static_cast<long long>(kSize / 2) + 65536);
    EXPECT_NE(requests[1].find("If-Range: \"v1\"\r\n"), std::string::npos) << requests[1];
  }
}

// Further connections opened together talk at once; the header log keeps each one's
// exchange whole, under its own line.
TEST(Pieces, EachConnectionsExchangeStaysTogetherInTheLog) {
  TestEnvironment env;
  env.app().WriteProfileInt(kSectionConfig, kConnections, 3);
  const std::string data = bytesOf(2 * kSize, 9);
  ScriptServer srv([&](ScriptConn& c, int) {
    auto [a, b] = asked(c.readUntil("\r\n\r\n"));
    std::string reply = part(data, a, b < 0 ? static_cast<long long>(data.size()) - 1 : b, kEtag);
    // The first connection slowly, so that two more open at once.
    c.send(reply.substr(0, b < 0 ? 65536 : reply.size()));
    if (b < 0) std::this_thread::sleep_for(std::chrono::milliseconds(500)), c.send(reply.substr(65536));
    c.close();
  });
  env.ui().saveAnswers.push_back(env.path("f.bin"));
  auto dlg = runSession(env, "http://127.0.0.1:" + std::to_string(srv.port()) + "/f.bin", 20000);
  EXPECT_TRUE(readWholeFile(env.path("f.bin")) == data);
  std::string log = dlg->m_job.headers(), mark = "----Connection for bytes ";
  std::size_t further = 0;
  for (auto at = log.find(mark); at != std::string::npos; at = log.find(mark, at + 1), ++further) {
    std::string range = log.substr(at + mark.size(), log.find("----", at + mark.size()) - at - mark.size());
    std::string own = log.substr(at, log.find(mark, at + 1) - at);
    EXPECT_NE(own.find("\r\nRange: bytes=" + range + "\r\n"), std::string::npos) << log;
    // A racer at the end may be stopped before its reply: the others made it needless.
    if (own.find("HTTP/1.1 206") != std::string::npos) {
      EXPECT_NE(own.find("\r\nContent-Range: bytes " + range + "/"), std::string::npos) << log;
    }
  }
  EXPECT_GE(further, 2u);
  EXPECT_EQ(further + 1, srv.requests().size());
}

// A mirror list's second site joins once its first byte's reply shows the same file; one
// that shows another, or fails, drops out, and is never asked for bytes it did not show.
TEST(Pieces, OtherSitesOfAListJoinOnlyWithTheSameFile) {
  const std::string v1 = bytesOf(kSize, 9);
  const std::string date = "Last-Modified: Tue, 01 Dec 2026 10:00:00 GMT\r\n";
  struct Case {
    const char* name;
    std::string firstHeaders;
    std::function<std::string(long long a, long long b)> reply;  // the second site's, to [a, b]
    std::size_t asked;                                            // requests the second site sees
    const char* ifRange = "";                                     // its pieces' condition
  };
  const Case cases[] = {
      {"the same date", date, [&](long long a, long long b) { return part(v1, a, b, date); }, 2, "Tue, 01 Dec"},
      {"the same ETag", kEtag, [&](long long a, long long b) { return part(v1, a, b, "ETag: \"v1\"\r\n"); }, 2, "\"v1\""},
      {"another ETag", kEtag, [&](long long a, long long b) { return part(v1, a, b, "ETag: \"v9\"\r\n" + date); }, 1},
      {"another date", date, [&](long long a, long long b) { return part(v1, a, b, "Last-Modified: Mon\r\n"); }, 1},
      {"another length", date, [&](long long a, long long b) { return part(v1, a, b, date, kSize / 2); }, 1},
      {"a failing site", date, [&](long long, long long) { return std::string(); }, 1},
      // Nothing ties it to the first site: another file of the same length is never joined.
      {"no validators", "", [&](long long a, long long b) { return part(bytesOf(kSize, 3), a, b, ""); }, 1},
      // Busy: asked again on one connection fewer, then no more.
      {"a busy site", date, [&](long long a, long long b) { return b > 0 ? httpReply("503 Busy", "", "") : part(v1, a, b, date); }, 3},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    TestEnvironment env;
    env.app().WriteProfileInt(kSectionConfig, kConnections, 2);
    std::atomic<int> seen{0};
    ScriptServer second([&](ScriptConn& c, int) {
      auto [a, b] = asked(c.readUntil("\r\n\r\n"));
      std::string reply = a >= 0 && b >= a ? tc.reply(a, b) : std::string();
      reply.empty() ? c.reset() : (c.send(reply), c.close());
      ++seen;
    });
    ScriptServer first([&](ScriptConn& c, int) {
      c.readUntil("\r\n\r\n");
      sendSlowly(c, part(v1, 0, kSize - 1, tc.firstHeaders), kSize, [&] { return seen >= static_cast<int>(tc.asked); });
    });
    auto site = [](const ScriptServer& s) { return "x,y,z,http://127.0.0.1:" + std::to_string(s.port()) + "/f.bin\n"; };
    writeWholeFile(env.path("sites.fml"), "FML,1.0,\n" + site(first) + site(second));
    env.ui().saveAnswers.push_back(env.path("f.bin"));
    auto dlg = runSession(env, env.path("sites.fml"), 20000);
    EXPECT_TRUE(dlg->m_finished);
    EXPECT_TRUE(readWholeFile(env.path("f.bin")) == v1);
    auto asked = second.requests();
    // A tied site, the faster one here, may also race the first site's range at the end.
    if (*tc.ifRange) {
      ASSERT_GE(asked.size(), tc.asked) << asked.back();
    } else {
      ASSERT_EQ(asked.size(), tc.asked) << asked.back();
    }
    // First its first byte only, unconditionally; then pieces on the validator both share.
    EXPECT_NE(asked[0].find("\r\nRange: bytes=0-0\r\n"), std::string::npos) << asked[0];
    EXPECT_EQ(asked[0].find("If-Range"), std::string::npos) << asked[0];
    if (asked.size() > 1) {
      EXPECT_NE(asked[1].find(std::string("\r\nIf-Range: ") + tc.ifRange), std::string::npos) << asked[1];
    }
  }
}

// A resume whose bytes on disk are of another version starts over: an entry of finished
// pieces (dated), and one of an ETag-only server killed mid-way, whether the server honours
// If-Range (the new file whole) or not (a part of it).
TEST(Pieces, BytesOfAnotherVersionAreNotKept) {
  struct Case {
    const char* name;
    const char* stored;  // the entry's validator value
    const char* value;
    const char* served;  // the new version's validator header
    bool honoursIfRange;
    const char* pieces;
  };
  const Case cases[] = {
      {"finished pieces, another date", "LastMod07", "A", "Last-Modified: B\r\n", false, "2097152-3145728"},
      {"ETag only, If-Range ignored", "ETag07", "\"v1\"", "ETag: \"v2\"\r\n", false, ""},
      {"ETag only, If-Range honoured", "ETag07", "\"v1\"", "ETag: \"v2\"\r\n", true, ""},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    TestEnvironment env;
    const std::string v1 = bytesOf(kSize, 7), v2 = bytesOf(kSize, 8);
    writeWholeFile(env.path("f.bin"), v1.substr(0, kSize / 2));
    ScriptServer srv([&](ScriptConn& c, int) {
      std::string req = c.readUntil("\r\n\r\n");
      auto [a, b] = asked(req);
      if (tc.honoursIfRange && req.find("If-Range: \"v1\"") != std::string::npos)
        c.send(httpReply("200 OK", tc.served, v2));
      else
        c.send(part(v2, std::max(a, 0LL), b < 0 ? kSize - 1 : b, tc.served));
      c.close();
    });
    CWinApp& app = env.app();
    app.WriteProfileString(kSectionFileQueue, "Get07", "http://127.0.0.1:" + std::to_string(srv.port()) + "/f.bin");
    app.WriteProfileString(kSectionFileQueue, "Local07", env.path("f.bin"));
    app.WriteProfileInt(kSectionFileQueue, "Start07", kSize / 2);
    app.WriteProfileString(kSectionFileQueue, tc.stored, tc.value);
    if (*tc.pieces) app.WriteProfileString(kSectionFileQueue, "Pieces07", tc.pieces);
    auto dlg = runSession(env, "#07", 20000);
    EXPECT_TRUE(dlg->m_finished);
    EXPECT_TRUE(readWholeFile(env.path("f.bin")) == v2);
    if (!*tc.pieces) {
      EXPECT_NE(srv.requests()[0].find("\r\nIf-Range: \"v1\"\r\n"), std::string::npos) << srv.requests()[0];
    }
  }
}

}  // namespace
