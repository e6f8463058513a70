// The state a running session publishes in its entry, and the control channel: what another
// process asks of it, and what a request to a download that is not (or no longer) there gets.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>

#include "platform/control.h"
#include "engine/overview.h"
#include "queue/queue_store.h"
#include "queue/scheduler.h"
#include "session/batch.h"
#include "script_server.h"
#include "session/ending.h"
#include "session_helpers.h"

namespace {

std::string leaseOf(pid_t pid, bool rightStamp) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string stat, field;
  std::getline(f, stat);
  std::istringstream rest(stat.substr(stat.rfind(')') + 2));
  for (int i = 3; i <= 22 && rest >> field; ++i) {
  }
  return std::to_string(pid) + ":" + (rightStamp ? field : field + "1");
}

// A request from another thread, as another process would send it, while the session runs.
std::optional<std::string> ask(const std::string& path, const std::string& word) {
  std::optional<std::string> answer;
  bool over = false;
  std::thread t([&] {
    answer = ControlRequest(path, word);
    over = true;
  });
  spinUntil([&] { return over; }, 5000);
  t.join();
  return answer;
}

struct Case {
  const char* word;
  const char* answer;
  bool endsSession;
  bool entryKept;
  const char* phaseAfter;
  int status;  // an ended session's exit status (-1: it goes on)
};

TEST(Control, ARunningSessionPublishesItsStateAndObeysItsChannel) {
  for (const Case& k : {Case{"pause", "ok paused", false, true, "paused", -1},
                        Case{"cancel", "ok cancelled; the entry is kept", true, true, "", 2},
                        Case{"forget", "ok removed", true, false, "", 1}}) {
    SCOPED_TRACE(k.word);
    TestEnvironment env;
    const std::string body = bytesOf(60000, 3);
    ScriptServer srv([&](ScriptConn& c, int i) {
      c.readUntil("\r\n\r\n");
      if (i == 0) c.send(partialReply(body, 0, "", 10000));
      c.readUntil("never", 4000);
      c.close();
    });
    env.ui().saveAnswers.push_back(env.path("f.bin"));
    env.ui().endSessionAtRest = false;
    env.app().m_lpCmdLine = "http://127.0.0.1:" + std::to_string(srv.port()) + "/f.bin";
    CDownloadDlg dlg;
    QObject scope;
    std::optional<std::string> answer;
    QTimer::singleShot(0, &scope, [&] {
      // Published within a second or so of the bytes, with the resume point.
      // In the store's words, which scripts read too.
      EXPECT_TRUE(spinUntil([] { return QueueEntry::readText("00", QueueValue::Phase) == "receiving"; }, 3000));
      QueueEntry e = QueueEntry::load("00");
      EXPECT_EQ(e.live.size, 60000);
      EXPECT_EQ(e.live.done, 10000);
      EXPECT_EQ(e.start, 10000);
      EXPECT_EQ(e.live.connections, 1);
      auto rows = readOverview();
      ASSERT_EQ(rows.size(), 1u);
      EXPECT_EQ(rows[0].pid, ::getpid());
      EXPECT_EQ(rows[0].phase, JobPhase::Receiving);

      // A client that sends its request a byte now and then holds neither the download nor
      // the next request: both go on while it dawdles, and it is dropped at its deadline.
      std::atomic<bool> dawdled{false};
      std::thread slow([&] {
        int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::string path = controlPathOf(ownLease());
        std::memcpy(a.sun_path, path.c_str(), path.size());
        if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
          for (char c : std::string("pau")) {
            [[maybe_unused]] auto n = ::send(fd, &c, 1, MSG_NOSIGNAL);
            ::usleep(700 * 1000);
          }
        ::close(fd);
        dawdled = true;
      });
      ::usleep(100 * 1000);
      auto asked = std::chrono::steady_clock::now();
      answer = ask(controlPathOf(ownLease()), k.word);
      EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::milliseconds(700));
      spinUntil([&] { return dawdled.load(); }, 5000);
      slow.join();
      if (!k.endsSession) {
        EXPECT_TRUE(dlg.m_paused);
        EXPECT_TRUE(spinUntil([&] { return QueueEntry::readText("00", QueueValue::Phase) == k.phaseAfter; }, 3000));
        EXPECT_EQ(QueueEntry::load("00").live.connections, 0);
        EXPECT_EQ(QueueEntry::load("00").live.size, 60000);  // the whole file, not counted twice
        EXPECT_EQ(ask(controlPathOf(ownLease()), "resume"), "ok resumed");
        EXPECT_TRUE(spinUntil([&] { return !dlg.m_paused && dlg.m_job.connectionOpen(); }, 3000));
        dlg.EndDialog(IDCANCEL);
      }
    });
    QTimer::singleShot(9000, &scope, [&] { dlg.EndDialog(-1); });
    dlg.DoModal();
    env.app().FlushProfile();
    EXPECT_EQ(answer, k.answer);
    EXPECT_EQ(QueueEntry::exists("00"), k.entryKept);
    if (k.status >= 0) {
      EXPECT_EQ(sessionStatus(dlg), k.status);
    }
    // Nothing of a forgotten entry is left behind by a late publication.
    if (!k.entryKept) {
      EXPECT_TRUE(env.app().GetProfileSection(kSectionFileQueue).empty());
    }
    dlg.releaseLease();
    // The download has ended: a request to it finds nobody, and says so.
    EXPECT_EQ(ControlRequest(controlPathOf(ownLease()), "pause", 500), std::nullopt);
    ControlAnswer late = controlEntry("00", ControlAction::Pause);
    EXPECT_EQ(late.done, k.entryKept);
    EXPECT_EQ(late.text, k.entryKept ? "#00 is not running." : "There is no download #00.");
  }
}

// A lease whose process has ended, or whose id another process has taken since, names no
// running download: the entry is treated as queued and nobody is asked. A live holder that
// does not answer keeps its entry; when the socket folder is refused, that is what is said.
TEST(Control, AStaleOrSilentHolderIsNeverTakenForTheDownload) {
  std::optional<std::string> runtime;
  if (const char* r = std::getenv("XDG_RUNTIME_DIR")) runtime = r;
  pid_t stranger = ::fork();
  if (stranger == 0) {
    ::pause();
    ::_exit(0);
  }
  struct Case {
    std::string lease;
    ControlAction action;
    bool done;
    const char* text;
    bool entryKept;
    bool openFolder = false;  // the socket folder may be entered by others
  };
  for (const Case& k : {Case{leaseOf(stranger, false), ControlAction::Pause, true, "#05 is not running.", true},
                        Case{leaseOf(stranger, false), ControlAction::Forget, true, "#05 removed.", false},
                        Case{"999999999:1", ControlAction::Forget, true, "#05 removed.", false},
                        Case{leaseOf(stranger, true), ControlAction::Forget, false, "", true},
                        Case{leaseOf(stranger, true), ControlAction::Pause, false, "", true, true}}) {
    SCOPED_TRACE(k.lease);
    TestEnvironment env;
    ::setenv("XDG_RUNTIME_DIR", env.dir().c_str(), 1);
    if (k.openFolder) {
      ::mkdir(env.path("tarnwick").c_str(), 0700);
      ::chmod(env.path("tarnwick").c_str(), 0755);
    }
    env.app().WriteProfileString(kSectionFileQueue, "Get05", "http://u:secret@h/a.zip");
    env.app().WriteProfileString("Running", "05", k.lease);
    auto rows = readOverview();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].url, "http://u:***@h/a.zip");
    EXPECT_EQ(rows[0].running(), k.text[0] == '\0');
    ControlAnswer a = controlEntry("05", k.action);
    EXPECT_EQ(a.done, k.done);
    std::string silent = "#05 runs in process " + std::to_string(stranger) +
                         (k.openFolder ? ", which cannot be asked: " + env.path("tarnwick") + " is open to other users."
                                       : ", which does not answer.");
    EXPECT_EQ(a.text, k.text[0] ? std::string(k.text) : silent);
    EXPECT_EQ(QueueEntry::exists("05"), k.entryKept);
  }
  runtime ? ::setenv("XDG_RUNTIME_DIR", runtime->c_str(), 1) : ::unsetenv("XDG_RUNTIME_DIR");
  ::kill(stranger, SIGKILL);
  ::waitpid(stranger, nullptr, 0);
}

// A batch: its sessions run without loops of their own in one process, which answers on one
// socket for all of them, each request reaching the session of the slot it names.
TEST(Control, ABatchsSessionsShareOneSocketThatRoutesBySlot) {
  TestEnvironment env;
  const std::string body = bytesOf(60000, 5);
  ScriptServer srv([&](ScriptConn& c, int) {
    c.readUntil("\r\n\r\n");
    c.send(partialReply(body, 0, "", 10000));
    c.readUntil("never", 4000);
    c.close();
  });
  env.ui().endSessionAtRest = false;
  const std::string url = "http://127.0.0.1:" + std::to_string(srv.port()) + "/f.bin";
  std::vector<std::string> made;
  std::string id = queueBatch({url, url}, env.dir(), false, RequestOptions(), made);
  ASSERT_EQ(made, (std::vector<std::string>{"00", "01"}));
  EXPECT_EQ(QueueEntry::load("01").localPath, env.path("f.bin.1"));  // the second name is free too
  BatchRun batch(id, made, BatchRun::Mode::Sessions);
  QObject scope;
  std::vector<std::optional<std::string>> answers;
  QTimer::singleShot(0, &scope, [&] {
    EXPECT_TRUE(spinUntil([] { return QueueEntry::load("01").start == 10000 && QueueEntry::load("00").start == 10000; }, 5000));
    // 01 paused waits in line, answered for by the batch, until it is cancelled.
    for (const char* request : {"pause", "pause 01", "pause 07", "pause 01", "forget 00", "cancel 01"})
      answers.push_back(ask(controlPathOf(ownLease()), request));
  });
  QTimer::singleShot(9000, &scope, [&] { batch.stop(); });
  std::vector<int> statuses = batch.run();
  EXPECT_EQ(answers, (std::vector<std::optional<std::string>>{"error it does not run here", "ok paused",
                                                               "error it does not run here", "ok already paused",
                                                               "ok removed", "ok cancelled; the entry is kept"}));
  std::sort(statuses.begin(), statuses.end());
  EXPECT_EQ(statuses, (std::vector<int>{1, 2}));
  EXPECT_FALSE(QueueEntry::exists("00"));
  EXPECT_TRUE(QueueEntry::exists("01"));
  EXPECT_FALSE(batchAlive(id));
  EXPECT_EQ(ControlRequest(controlPathOf(ownLease()), "pause 01", 500), std::nullopt);
}

// A batch that completes makes its sound once, at its end, not once per file; a 404 among
// its files stays listed as failed, with why, its entry gone.
TEST(Control, ABatchSoundsOnceAndKeepsWordOfItsFailure) {
  TestEnvironment env;
  const std::string body = bytesOf(3000, 7);
  ScriptServer srv([&](ScriptConn& c, int) {
    std::string request = c.readUntil("\r\n\r\n");
    c.send(request.find("/missing.bin") != std::string::npos ? httpReply("404 Not Found", "", "")
                                                              : httpReply("200 OK", "", body));
    c.close();
  });
  const std::string site = "http://127.0.0.1:" + std::to_string(srv.port());
  std::vector<std::string> made;
  std::string id = queueBatch({site + "/a.bin", site + "/missing.bin", site + "/b.bin", site + "/c.bin"}, env.dir(),
                              false, RequestOptions(), made);
  ASSERT_EQ(made.size(), 4u);
  BatchRun batch(id, made, BatchRun::Mode::Sessions);
  std::vector<int> statuses = batch.run();
  EXPECT_EQ(std::count(statuses.begin(), statuses.end(), 0), 3);
  EXPECT_EQ(env.ui().beeps, std::vector<bool>{false});
  auto rows = readOverview();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].slot, made[1]);
  EXPECT_EQ(rows[0].phase, JobPhase::Failed);
  EXPECT_TRUE(rows[0].entryGone);
  EXPECT_NE(rows[0].reason.find("missing.bin"), std::string::npos) << rows[0].reason;
}

// The coordinator reads the head of the line: a removed entry's place is passed over, one
// paused where it waits holds back nobody, one that someone will start goes first.
TEST(Control, ClaimsLookAtTheHeadOfTheLine) {
  TestEnvironment env;
  std::vector<std::string> made;
  std::string id = queueBatch({"http://h/a", "http://h/b", "http://h/c", "http://h/d"}, env.dir(), false,
                              RequestOptions(), made);
  ASSERT_EQ(made, (std::vector<std::string>{"00", "01", "02", "03"}));
  setMaxActive(1);
  EXPECT_FALSE(claimTurn("02"));
  EXPECT_EQ(turnsAhead("03"), 3);
  QueueEntry::remove("00");
  pauseInLine("01", false);
  EXPECT_EQ(turnsAhead("03"), 1);
  EXPECT_TRUE(claimTurn("02"));
  EXPECT_EQ(env.app().GetProfileString("Places", "0000000000000000001", ""), "");  // 00's, gone with it
  EXPECT_FALSE(claimTurn("03"));  // 02 runs: the limit
  env.app().WriteProfileString("Running", "02", nullptr);
  resumeInLine("01");
  EXPECT_FALSE(claimTurn("03"));  // 01 is back at its place
  EXPECT_TRUE(claimTurn("01"));
  setMaxActive(0);
  releaseBatch(id);
}

// Slots are counted, not searched for: removed entries' slots are taken again, lowest first,
// and one used behind the count's back (an entry another program wrote) is passed over.
TEST(Control, FreedSlotsAreTakenAgainLowestFirst) {
  TestEnvironment env;
  std::vector<std::string> made;
  releaseBatch(queueBatch({"http://h/a", "http://h/b", "http://h/c"}, env.dir(), false, RequestOptions(), made));
  ASSERT_EQ(made, (std::vector<std::string>{"00", "01", "02"}));
  QueueEntry::remove("01");
  QueueEntry::remove("00");
  env.app().WriteProfileString("FileQueue", "Get00", "http://h/x");
  std::vector<std::string> next;
  env.app().ProfileTransaction([&] { next = freeSlots(3); });
  EXPECT_EQ(next, (std::vector<std::string>{"01", "03", "04"}));
  // A failed download's word holds its slot until it is removed.
  QueueEntry::remove("03");
  QueueEntry::recordFailed("03", "http://h/z", "", "Not found");
  env.app().ProfileTransaction([&] { next = freeSlots(1); });
  EXPECT_EQ(next, (std::vector<std::string>{"05"}));
  QueueEntry::forgetFailed("03");
  env.app().ProfileTransaction([&] { next = freeSlots(1); });
  EXPECT_EQ(next, (std::vector<std::string>{"03"}));
}

}  // namespace
