// Sessions driven by a mirror list: sites tried in turn without message boxes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <filesystem>

#include "script_server.h"
#include "session_helpers.h"

namespace {

// Temporary files go to a folder of the test's own while it lives.
struct TempFolder {
  std::string dir;
  std::string old;
  explicit TempFolder(TestEnvironment& env) : dir(env.path("tmp")) {
    ::mkdir(dir.c_str(), 0700);
    if (const char* t = std::getenv("TMPDIR")) old = t;
    ::setenv("TMPDIR", dir.c_str(), 1);
  }
  ~TempFolder() {
    if (old.empty())
      ::unsetenv("TMPDIR");
    else
      ::setenv("TMPDIR", old.c_str(), 1);
  }
  int files() const {
    int n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir)) ++n;
    return n;
  }
};

TEST(MirrorSession, UnusableSitesAreSkippedUntilOneDelivers) {
  TestEnvironment env;
  ScriptServer good([&](ScriptConn& c, int) {
    c.readUntil("\r\n\r\n");
    c.send(httpReply("206 Partial Content", "", "mirrored bytes"));
    c.close();
  });
  ScriptServer missing([&](ScriptConn& c, int) {
    c.readUntil("\r\n\r\n");
    c.send(httpReply("404 Not Found", "", ""));
    c.close();
  });
  std::string list = "fml,1.0,anything\r\n"
                     "Closed,Here,Fast,http://127.0.0.1:" + std::to_string(closedPort()) + "/f.zip\r\n"
                     "\r\n"
                     "gopher://nowhere/f.zip\n"
                     "Gone,There,Slow,http://127.0.0.1:" + std::to_string(missing.port()) + "/f.zip\n"
                     "Good,There,Slow,http://127.0.0.1:" + std::to_string(good.port()) + "/f.zip\n";
  writeWholeFile(env.path("sites.fml"), list);
  env.ui().saveAnswers.push_back(env.path("f.zip"));
  auto dlg = runSession(env, env.path("sites.fml"));
  EXPECT_TRUE(dlg->m_finished);
  EXPECT_TRUE(env.ui().boxes.empty()) << env.ui().boxes[0].text;
  EXPECT_EQ(env.ui().proposedNames, std::vector<std::string>{"f.zip"});
  EXPECT_EQ(readWholeFile(env.path("f.zip")), "mirrored bytes");
  EXPECT_FALSE(dlg->m_mirrorFile);
  EXPECT_TRUE(queueEmpty(env, dlg->m_slot));
}

// With tries allowed, a site that fails for now gives way to the next; when all have
// failed the list starts again from its first site after a wait.
TEST(MirrorSession, AFailedRoundStartsAgainAfterAWait) {
  TestEnvironment env;
  env.app().WriteProfileInt(kSectionConfig, kRetries, 2);
  std::vector<std::chrono::steady_clock::time_point> at;
  std::mutex m;
  ScriptServer flaky([&](ScriptConn& c, int i) {
    {
      std::lock_guard<std::mutex> lock(m);
      at.push_back(std::chrono::steady_clock::now());
    }
    c.readUntil("\r\n\r\n");
    if (i > 0) c.send(httpReply("206 Partial Content", "", "second round"));
    c.close();
  });
  std::string list = "FML,1.0,\nA,B,C,http://127.0.0.1:" + std::to_string(flaky.port()) +
                     "/f.zip\nA,B,C,http://127.0.0.1:" + std::to_string(closedPort()) + "/f.zip\n";
  writeWholeFile(env.path("l.fml"), list);
  env.ui().saveAnswers.push_back(env.path("f.zip"));
  auto dlg = runSession(env, env.path("l.fml"));
  EXPECT_TRUE(dlg->m_finished);
  EXPECT_EQ(readWholeFile(env.path("f.zip")), "second round");
  std::lock_guard<std::mutex> lock(m);
  ASSERT_EQ(at.size(), 2u);
  EXPECT_GE(std::chrono::duration<double>(at[1] - at[0]).count(), 0.9);
}

// Every site dead: no entry is left pointing at the last one.
TEST(MirrorSession, AUsedUpListLeavesNoEntry) {
  TestEnvironment env;
  std::string dead = "http://127.0.0.1:" + std::to_string(closedPort());
  writeWholeFile(env.path("l.fml"), "FML,1.0,\nA,B,C," + dead + "/a.zip\nA,B,C," + dead + "/b.zip\n");
  env.ui().saveAnswers.push_back(env.path("a.zip"));
  auto dlg = runSession(env, env.path("l.fml"));
  ASSERT_FALSE(env.ui().boxes.empty());
  EXPECT_EQ(env.ui().boxes.back().text, "Unable to download from any site!\nAborting.");
  EXPECT_TRUE(queueEmpty(env, dlg->m_slot));
}

// The next site of a list goes on from the bytes an earlier one left only when tied to
// them (the same strong ETag, or the same date and length) or when the bytes it sends
// again match them: else it sends the file from its start, never a file made of both.
TEST(MirrorSession, TheNextSiteGoesOnOnlyFromBytesItIsTiedTo) {
  const std::string first = bytesOf(20000, 1), other = bytesOf(20000, 2);
  struct Case {
    const char* name;
    std::string headersA, headersB;
    bool sameFile;
  };
  const Case cases[] = {
      {"no validators", "", "", false},
      {"the same weak ETag", "ETag: W/\"v\"\r\n", "ETag: W/\"v\"\r\n", false},
      {"the same date and length", "Last-Modified: D\r\n", "Last-Modified: D\r\n", true},
  };
  for (const auto& tc : cases) {
    SCOPED_TRACE(tc.name);
    TestEnvironment env;
    env.app().WriteProfileInt(kSectionConfig, kRetries, 2);
    const std::string& servedB = tc.sameFile ? first : other;
    // The first site breaks after half the file, then answers nothing.
    ScriptServer a([&](ScriptConn& c, int i) {
      c.readUntil("\r\n\r\n");
      if (i == 0) {
        std::string r = partialReply(first, 0, tc.headersA);
        c.send(r.substr(0, r.size() - 10000));
        ::usleep(200000);
        c.reset();
        return;
      }
      c.close();
    });
    std::vector<std::size_t> asked;
    std::mutex m;
    ScriptServer b([&](ScriptConn& c, int) {
      std::string req = c.readUntil("\r\n\r\n");
      auto at = req.find("Range: bytes=");
      std::size_t from = at == std::string::npos ? 0 : std::stoul(req.substr(at + 13));
      {
        std::lock_guard<std::mutex> lock(m);
        asked.push_back(from);
      }
      c.send(partialReply(servedB, from, tc.headersB));
      c.close();
    });
    writeWholeFile(env.path("l.fml"), "FML,1.0,\nA,B,C,http://127.0.0.1:" + std::to_string(a.port()) +
                                          "/f.zip\nA,B,C,http://127.0.0.1:" + std::to_string(b.port()) + "/f.zip\n");
    env.ui().saveAnswers.push_back(env.path("f.zip"));
    auto dlg = runSession(env, env.path("l.fml"));
    EXPECT_TRUE(dlg->m_finished);
    EXPECT_TRUE(readWholeFile(env.path("f.zip")) == servedB);
    std::lock_guard<std::mutex> lock(m);
    ASSERT_FALSE(asked.empty());
    EXPECT_GT(asked.front(), 0u);  // the bytes on disk were offered to it
    EXPECT_EQ(asked.back() == 0, !tc.sameFile);
  }
}

TEST(MirrorSession, UsedUpListAndBadFiles) {
  const std::pair<std::string, std::string> cases[] = {
      {"FML,1.0,\n", "Unable to download from any site!\nAborting."},
      {"not a list\nhttp://h/x\n", "Unknown file format:\n  %PATH%\nAborting."},
  };
  for (const auto& [content, message] : cases) {
    TestEnvironment env;
    std::string path = env.path("l.fml");
    writeWholeFile(path, content);
    runSession(env, path);
    ASSERT_FALSE(env.ui().boxes.empty());
    std::string want = message;
    if (auto at = want.find("%PATH%"); at != std::string::npos) want.replace(at, 6, path);
    EXPECT_EQ(env.ui().boxes.back().text, want);
  }
  TestEnvironment env;
  runSession(env, env.path("absent.fml"));
  ASSERT_EQ(env.ui().boxes.size(), 1u);
  EXPECT_EQ(env.ui().boxes[0].text, "Could not open file:\n  " + env.path("absent.fml") + "\nAborting.");
}

TEST(MirrorSession, ADownloadedListIsOpenedAndItsSitesTried) {
  TestEnvironment env;
  ScriptServer site([&](ScriptConn& c, int) {
    c.readUntil("\r\n\r\n");
    c.send(httpReply("206 Partial Content", "", "from the list"));
    c.close();
  });
  std::string list = "FML,1.0,\nA,B,C,http://127.0.0.1:" + std::to_string(site.port()) + "/real.zip\n";
  ScriptServer lists([&](ScriptConn& c, int) {
    c.readUntil("\r\n\r\n");
    c.send(httpReply("206 Partial Content", "", list));
    c.close();
  });
  env.ui().saveAnswers.push_back(env.path("real.zip"));
  TempFolder tmp(env);
  auto dlg = runSession(env, "http://127.0.0.1:" + std::to_string(lists.port()) + "/LIST.FML");
  // The list's temporary file goes with the list.
  EXPECT_EQ(tmp.files(), 0);
  EXPECT_TRUE(dlg->m_finished);
  EXPECT_EQ(env.ui().proposedNames, std::vector<std::string>{"real.zip"});
  EXPECT_EQ(readWholeFile(env.path("real.zip")), "from the list");
}

// A list whose sites are lists again is used up, not followed round and round; no
// temporary file is left behind.
TEST(MirrorSession, ListsDoNotNest) {
  TestEnvironment env;
  int listPort = 0;
  ScriptServer lists([&](ScriptConn& c, int) {
    c.readUntil("\r\n\r\n");
    c.send(httpReply("206 Partial Content", "",
                     "FML,1.0,\nA,B,C,http://127.0.0.1:" + std::to_string(listPort) + "/AGAIN.FML\n"));
    c.close();
  });
  listPort = lists.port();
  TempFolder tmp(env);
  auto dlg = runSession(env, "http://127.0.0.1:" + std::to_string(listPort) + "/LIST.FML");
  EXPECT_EQ(tmp.files(), 0);
  EXPECT_FALSE(dlg->m_finished);
  EXPECT_EQ(lists.connections(), 1);
  ASSERT_FALSE(env.ui().boxes.empty());
  EXPECT_EQ(env.ui().boxes.back().text, "Unable to download from any site!\nAborting.");
  EXPECT_TRUE(queueEmpty(env, dlg->m_slot));
}

}  // namespace
