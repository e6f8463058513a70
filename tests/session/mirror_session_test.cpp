// Sessions driven by a mirror list: sites tried in turn without message boxes.
#include <gtest/gtest.h>

#include "script_server.h"
#include "session_helpers.h"

namespace {

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
  auto dlg = runSession(env, "http://127.0.0.1:" + std::to_string(lists.port()) + "/LIST.FML");
  EXPECT_TRUE(dlg->m_finished);
  EXPECT_EQ(env.ui().proposedNames, std::vector<std::string>{"real.zip"});
  EXPECT_EQ(readWholeFile(env.path("real.zip")), "from the list");
}

}  // namespace
